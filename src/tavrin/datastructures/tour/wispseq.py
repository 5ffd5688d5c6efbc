"""wispseq: the configured interfaces, watched weakly, leaving as they are dropped."""
import gc

from tavrin.datastructures.wispseq import WispSeq


class Interface:
    def __init__(self, entry):
        self.name = entry["name"]
        self.state = entry["state"]

    def __repr__(self):
        return f"Interface({self.name!r}, {self.state!r})"


def show(config, out):
    # `owned` holds the interfaces; the WispSeq only watches them.
    owned = {entry["name"]: Interface(entry) for entry in config["network"]["interfaces"]}
    watched = WispSeq(owned.values())
    print(f"watched                        -> {watched!r}", file=out)
    print(f"watched[0], len(watched)       -> {watched[0]!r}, {len(watched)}", file=out)
    print(f"type(watched.data[0])          -> {type(watched.data[0]).__name__} (reads give the objects)", file=out)

    del owned["eth1"]
    print(f"after del owned['eth1']        -> {watched!r}", file=out)

    was_enabled = gc.isenabled()
    gc.disable()  # so that the collector runs exactly where the tour says
    try:
        wlan = owned.pop("wlan0")
        wlan.myself = wlan  # a reference cycle: only the collector can free it
        del wlan
        print(f"wlan0 dropped, but in a cycle  -> {len(watched)} entries", file=out)
        gc.collect()
        print(f"after gc.collect()             -> {watched!r}", file=out)
    finally:
        if was_enabled:
            gc.enable()

    nobody = WispSeq([Interface({"name": "tmp0", "state": "up"})])
    print(f"an object nobody else holds    -> {nobody!r}", file=out)
    try:
        WispSeq(["eth0"])
    except TypeError as exc:
        print(f"WispSeq(['eth0'])              -> TypeError: {exc}", file=out)
