"""A short tour of every module on a small bundled nested configuration.

Each module has its own section here (``tour/<module>.py`` with a
``show(config, out)`` function); sections of modules not built yet are
skipped.
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
        try:
            section = importlib.import_module(f"{__name__}.{name}")
        except ModuleNotFoundError as exc:
            if exc.name != f"{__name__}.{name}":
                raise
            continue
        print(f"\n== {name} ==", file=out)
        section.show(copy.deepcopy(config), out)
    return 0
