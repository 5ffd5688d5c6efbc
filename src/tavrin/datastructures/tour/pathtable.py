"""pathtable: the configuration as a flat table of (path, value) entries."""
from tavrin.datastructures.pathtable import IndexMarker, PathTable


def show(config, out):
    table = PathTable(config)
    print(f"PathTable(config) holds {len(table)} entries; the first three:", file=out)
    for entry in table[:3]:
        print(f"  {entry}", file=out)
    print(f"entries ending in 'mtu' -> {[(e.path, e.value) for e in table if e.path[-1] == 'mtu']}", file=out)

    # Edit with list operations: drop the MTU entries (a table is also made
    # from any iterable of pairs), change a value in place, add entries.
    table = PathTable(e for e in table if e.path[-1] != "mtu")
    at = next(i for i, e in enumerate(table) if e.path == ("logging", "level"))
    table[at] = (("logging", "level"), "debug")
    servers = config["network"]["dns"]["servers"]
    table.append((("network", "dns", "servers", IndexMarker(servers, len(servers))), "10.0.0.99"))
    table.insert(0, (("service", "workers"), 4))
    try:
        table.append("not a pair")
    except ValueError as exc:
        print(f"table.append('not a pair') -> ValueError: {exc}", file=out)

    rebuilt = table.reconstruct()
    print("after the edits, reconstruct() gives", file=out)
    print(f"  service    -> {rebuilt['service']}", file=out)
    print(f"  logging    -> {rebuilt['logging']}", file=out)
    print(f"  dns        -> {rebuilt['network']['dns']}", file=out)
    print(f"  interfaces -> {rebuilt['network']['interfaces'][0]}, ...", file=out)
    print(f"a new dict each time: {table.reconstruct() is not rebuilt}; the input is unchanged: "
          f"{config['logging']['level']!r}", file=out)
