"""A short tour of every module on a small bundled nested configuration.

Each module has its own section here (``tour/<module>.py`` with a
``show(config, out)`` function); the tour ends by pointing to the
command-line tool.
"""
import copy
import importlib
import json
import sys

SECTIONS = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")


def load_example():
    """The bundled example configuration, as plain dicts and lists."""
    from importlib import resources

    text = resources.files(__name__).joinpath("example.json").read_text(encoding="utf-8")
    return json.loads(text)


def run(out=None):
    out = sys.stdout if out is None else out
    config = load_example()
    print("tavrin.datastructures tour on this configuration:", file=out)
    print(json.dumps(config, indent=2), file=out)
    for name in SECTIONS:
        section = importlib.import_module(f"{__name__}.{name}")
        print(f"\n== {name} ==", file=out)
        section.show(copy.deepcopy(config), out)
    print(COMMAND_LINE, file=out)
    return 0


COMMAND_LINE = """
== on the command line ==
The same configuration, from a shell (tavrin-ds is python -m tavrin.datastructures):
  tavrin-ds example > config.json           # this example, to try the commands on
  tavrin-ds paths config.json               # every leaf as one line: path = value
  tavrin-ds paths config.json --filter mtu  # the lines a regular expression is found in
  tavrin-ds paths config.json | sort | tavrin-ds unpaths   # lines, in any order, back to JSON
  tavrin-ds tree config.json --depth 2
  tavrin-ds get config.json 'network.interfaces[0].name'
Paths, one syntax per purpose:
  cfg['network.dns.search']                 NestedMemberBag: dotted keys of nested dicts
  ('network', 'interfaces', list[0], 'mtu') PathTable: a tuple, list positions as IndexMarkers
  "network"."interfaces".list[0]."mtu"      tavrin-ds paths: keys as JSON strings, so that any
                                            key (dots, quotes, newlines) reads back exactly
  network.interfaces[0].mtu                 tavrin-ds get: the short form to type by hand
                                            (get also takes a path as paths prints it)
See tavrin-ds --help."""
