"""rankmap: the network interfaces as a mapping we reorder by hand."""
from tavrin.datastructures.rankmap import RankMap


def show(config, out):
    ifaces = RankMap((i["name"], i["state"]) for i in config["network"]["interfaces"])
    print(f"interfaces in file order     -> {ifaces!r}", file=out)
    ifaces.move("wlan0", 0)
    print(f"after move('wlan0', 0)       -> {list(ifaces)}", file=out)
    ifaces.insert("lo", "up", 1)
    print(f"after insert('lo', 'up', 1)  -> {list(ifaces)}", file=out)
    ifaces.keys().sort()
    print(f"after keys().sort()          -> {ifaces.items()}", file=out)
    ifaces["eth1"] = "up"
    print(f"eth1 brought up, same place  -> {list(ifaces)}", file=out)
    try:
        ifaces.insert("eth0", "down", 0)
    except KeyError as exc:
        print(f"insert of a present key      -> KeyError: {exc.args[0]}", file=out)
