"""logic: the configuration's network interfaces filtered with logic strings,
as a program would take them from its command line."""
from tavrin.datastructures.logic import logic_str

# (filter text, what it is given of each interface)
FILTERS = (
    ("And('^(eth|wlan)', Not('^down$'))", "name and state", lambda i: (i["name"], i["state"])),
    ("Or(lambda mtu: mtu < 1500)", "mtu", lambda i: (i["mtu"],)),
    ("Or('^10[.]')", "addresses", lambda i: tuple(i["addresses"])),
)


def show(config, out):
    interfaces = config["network"]["interfaces"]
    for text, what, items_of in FILTERS:
        keep = logic_str(text)
        print(f"logic_str({text!r}), given each interface's {what}:", file=out)
        # Every expression must be satisfied by at least one of the items.
        names = [iface["name"] for iface in interfaces if keep(*items_of(iface))]
        print(f"  kept {names}", file=out)
    keep = logic_str(FILTERS[0][0])
    print(f"str() gives the text back: {keep}", file=out)
    try:
        logic_str("And('eth'")
    except ValueError as exc:
        print(f"a malformed filter -> ValueError: {exc} (from {type(exc.__context__).__name__})", file=out)
