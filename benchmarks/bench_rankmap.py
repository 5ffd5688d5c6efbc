"""RankMap against collections.OrderedDict and dict, side by side in one run.

Run from a checkout with the package importable, e.g.
    PYTHONPATH=src python benchmarks/bench_rankmap.py
Prints markdown tables (time per call, and ours / each baseline) and, at the
end, the targets with whether they are met.
"""
import sys
from collections import OrderedDict

from harness import compare, report

from tavrin.datastructures.rankmap import RankMap

BIG = 100_000
SMALL = 1_000
ROUNDS = 5


def pairs(n):
    return [(f"key{i}", i) for i in range(n)]


def three_ways(title, make_case, n):
    """Time make_case(cls)'s callable for each of the three classes."""
    data = pairs(n)
    cases = {
        "RankMap": make_case(RankMap, data),
        "OrderedDict": make_case(OrderedDict, data),
        "dict": make_case(dict, data),
    }
    times = compare(cases, rounds=ROUNDS)
    report(title, times, "RankMap", ["OrderedDict", "dict"])
    return times


def build(cls, data):
    return lambda: cls(data)


def reads(cls, data):
    m, keys = cls(data), [k for k, _ in data]

    def run():
        for k in keys:
            m[k]
    return run


def updates(cls, data):
    m, keys = cls(data), [k for k, _ in data]

    def run():
        for k in keys:
            m[k] = 0
    return run


def iteration(cls, data):
    m = cls(data)

    def run():
        for _ in m:
            pass
    return run


def items(cls, data):
    m = cls(data)
    return (lambda: m.items()) if cls is RankMap else (lambda: list(m.items()))


def contains(cls, data):
    m, keys = cls(data), [k for k, _ in data]

    def run():
        for k in keys:
            k in m
    return run


def get(cls, data):
    m, keys = cls(data), [k for k, _ in data]

    def run():
        for k in keys:
            m.get(k)
    return run


def to_front(n):
    data = pairs(n)
    keys = [k for k, _ in data]
    rm, od = RankMap(data), OrderedDict(data)

    def rm_move():
        for k in keys:
            rm.move(k, 0)

    def od_move():
        for k in keys:
            od.move_to_end(k, last=False)

    def rm_insert():
        m = RankMap()
        for k in keys:
            m.insert(k, 0, 0)

    def od_insert():
        m = OrderedDict()
        for k in keys:
            m[k] = 0
            m.move_to_end(k, last=False)

    times = compare({"RankMap.move(k, 0)": rm_move, "OrderedDict.move_to_end(k, last=False)": od_move},
                    rounds=ROUNDS)
    report(f"move every key to the front, {n:,} keys", times, "RankMap.move(k, 0)",
           ["OrderedDict.move_to_end(k, last=False)"])
    times = compare({"RankMap.insert(k, v, 0)": rm_insert,
                     "OrderedDict: m[k] = v; move_to_end(k, last=False)": od_insert}, rounds=ROUNDS)
    report(f"build by inserting every key at the front, {n:,} keys", times, "RankMap.insert(k, v, 0)",
           ["OrderedDict: m[k] = v; move_to_end(k, last=False)"])


def main():
    print(f"Python {sys.version.split()[0]}; best of {ROUNDS} interleaved rounds.\n")
    t_build = three_ways(f"build from {BIG:,} pairs", build, BIG)
    t_reads_small = three_ways(f"m[k] for each of {SMALL:,} keys", reads, SMALL)
    t_reads = three_ways(f"m[k] for each of {BIG:,} keys", reads, BIG)
    three_ways(f"m[k] = v for each of {BIG:,} existing keys", updates, BIG)
    three_ways(f"iterate over {BIG:,} keys", iteration, BIG)
    t_small = three_ways(f"items() at {SMALL:,} keys", items, SMALL)
    t_big = three_ways(f"items() at {BIG:,} keys", items, BIG)
    three_ways(f"k in m for each of {BIG:,} keys (inherited mixin)", contains, BIG)
    three_ways(f"m.get(k) for each of {BIG:,} keys (inherited mixin)", get, BIG)
    to_front(SMALL)
    to_front(10 * SMALL)

    read_small = t_reads_small["RankMap"] / t_reads_small["OrderedDict"]
    read_ratio = t_reads["RankMap"] / t_reads["OrderedDict"]
    build_ratio = t_build["RankMap"] / t_build["OrderedDict"]
    scaling = (t_big["RankMap"] / BIG) / (t_small["RankMap"] / SMALL)
    dict_scaling = (t_big["dict"] / BIG) / (t_small["dict"] / SMALL)
    print("### targets\n")
    print("| target | figure | met |")
    print("|---|---|---|")
    for size, ratio in ((SMALL, read_small), (BIG, read_ratio)):
        print(f"| reads within 1.5x of OrderedDict, {size:,} keys | {ratio:.2f}x | {'yes' if ratio <= 1.5 else 'no'} |")
    print(f"| building within 3x of OrderedDict | {build_ratio:.2f}x | {'yes' if build_ratio <= 3 else 'no'} |")
    print(f"| items() per-key cost, {BIG:,} vs {SMALL:,} keys, within 2x | {scaling:.2f}x | "
          f"{'yes' if scaling <= 2 else 'no'} (list(dict.items()): {dict_scaling:.2f}x) |")


if __name__ == "__main__":
    main()
