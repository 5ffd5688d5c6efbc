"""WispSeq against the two ways Python code keeps objects weakly without it.

- a hand-written list of weakref.ref with a removal callback, the code a
  WispSeq replaces;
- weakref.WeakSet, the standard library's weak container (unordered, no
  duplicates, so not a drop-in replacement, but the usual reference point).

Measured: append of 100,000 objects into a fresh container, iteration over
100,000, `in` for the last of 100,000 (a full scan for both lists), and the
cost per object of finalizing every object a container holds, one by one (in
the order they were added) and all at once (dropping the one list that held
them, which releases them last to first), at 1,000 and 100,000 entries.

Run: python benchmarks/bench_wispseq.py [--quick]
"""
import gc
import sys
import time
import weakref

from harness import compare, fmt_time, report

from tavrin.datastructures.wispseq import WispSeq


class RefList:
    """The hand-written list of weak references a WispSeq replaces."""

    def __init__(self, items=()):
        self._refs = []
        for obj in items:
            self.append(obj)

    def _remove(self, ref):
        self._refs.remove(ref)

    def append(self, obj):
        self._refs.append(weakref.ref(obj, self._remove))

    def __iter__(self):
        for ref in self._refs:
            obj = ref()
            if obj is not None:
                yield obj

    def __contains__(self, obj):
        return weakref.ref(obj) in self._refs

    def __len__(self):
        return len(self._refs)


class Item:
    """A plain user object (compares by identity)."""


OURS = "WispSeq"
HAND = "list of weakref.ref (Python)"
WSET = "weakref.WeakSet"
KINDS = {OURS: (WispSeq, "append"), HAND: (RefList, "append"), WSET: (weakref.WeakSet, "add")}


def timed_fill(kind, objs):
    """Seconds to add every object to a fresh container of `kind`.

    Only the additions are timed: tearing the container down (at once for a
    WispSeq, at the next collection for the two that are reference cycles)
    happens outside the clock for all three alike.
    """
    cls, method = KINDS[kind]
    container = cls()
    add = getattr(container, method)
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for obj in objs:
            add(obj)
        return time.perf_counter() - t0
    finally:
        gc.enable()
        del add, container


def bench_append(objs, out, rounds=9):
    best = {kind: float("inf") for kind in KINDS}
    for _ in range(rounds):
        for kind in KINDS:
            best[kind] = min(best[kind], timed_fill(kind, objs))
    out.append(report(f"append of {len(objs):,} objects", best, OURS, [HAND, WSET]))
    return best


def bench_iterate(objs, out):
    containers = {name: cls(objs) for name, (cls, _) in KINDS.items()}

    def case(container):
        def run():
            for _ in container:
                pass

        return run

    times = compare({name: case(c) for name, c in containers.items()}, rounds=5)
    out.append(report(f"iteration over {len(objs):,} objects", times, OURS, [HAND, WSET]))
    return times


def bench_contains(objs, out):
    containers = {name: cls(objs) for name, (cls, _) in KINDS.items()}
    last = objs[-1]
    times = compare({name: (lambda c=c: last in c) for name, c in containers.items()}, rounds=5)
    out.append(report(f"`in` for the last of {len(objs):,} objects", times, OURS, [HAND, WSET]))
    return times


def finalize_once(kind, n, how):
    """Seconds to finalize n objects held by a container of `kind` (None: no container)."""
    objs = [Item() for _ in range(n)]
    container = None
    if kind is not None:
        cls, _ = KINDS[kind]
        container = cls(objs)
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        if how == "one by one":
            for i in range(n):
                objs[i] = None
        else:
            del objs
        elapsed = time.perf_counter() - t0
    finally:
        gc.enable()
    if container is not None:
        assert len(container) == 0
    return elapsed


def bench_finalize(n, how, rounds, out, skip=()):
    cases = [None, OURS, HAND, WSET]
    best = {case: float("inf") for case in cases}
    for _ in range(rounds):
        for case in cases:
            if case in skip:
                continue
            best[case] = min(best[case], finalize_once(case, n, how))
    lines = [f"### finalizing {n:,} objects {how}", "",
             "| case | per object | callback cost per object | ours / this |", "|---|---|---|---|"]
    bare = best[None]
    for case in [OURS, HAND, WSET]:
        if case in skip:
            lines.append(f"| {case} | not measured (quadratic: see note) | | |")
            continue
        per = best[case] / n
        extra = max(best[case] - bare, 0.0) / n
        lines.append(f"| {case} | {fmt_time(per)} | {fmt_time(extra)} | {best[OURS] / best[case]:.2f}x |")
    lines.append(f"| objects in no container | {fmt_time(bare / n)} | | |")
    text = "\n".join(lines) + "\n"
    print(text)
    out.append(text)
    return best


def main(argv):
    quick = "--quick" in argv
    out = []
    objs = [Item() for _ in range(100_000)]
    bench_append(objs, out)
    bench_iterate(objs, out)
    bench_contains(objs, out)
    for n in (1_000, 100_000):
        big = n >= 100_000
        rounds = 1 if (big and quick) else (5 if big else 9)
        for how in ("one by one", "all at once"):
            # The Python list's remove scans from the front, comparing every
            # entry before the dead one: dropping the holder of 100,000
            # objects last to first costs it n*n/2 comparisons (minutes).
            skip = (HAND,) if (big and how == "all at once") else ()
            bench_finalize(n, how, rounds, out, skip)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
