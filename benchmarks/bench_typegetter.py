"""Reading a class-level computed attribute: typegetter against a pure-Python
descriptor that does the same (``__get__`` returning ``self.func(owner)``)
and against a plain ``property`` read on an instance.

Every decorated function returns a constant, so what is timed is the cost of
the attribute machinery around the call. Reads are unrolled twenty to a loop
turn so the loop itself weighs little.

    python benchmarks/bench_typegetter.py
"""
import sys

from harness import compare, report
from tavrin.datastructures.typegetter import typegetter

TARGET = 1.5  # at least this many times faster than the pure-Python descriptor
UNROLL = 20
TURNS = 500


class PyTypeGetter:
    """The pure-Python class-level property."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


class Host:
    @typegetter
    def ours(cls):
        return 1

    @PyTypeGetter
    def pure(cls):
        return 1

    @property
    def prop(self):
        return 1


def reads(expr, **names):
    """A function reading `expr` UNROLL * TURNS times."""
    body = "".join(f"        {expr}\n" for _ in range(UNROLL))
    ns = dict(names)
    exec(f"def run():\n    for _ in range({TURNS}):\n{body}", ns)
    return ns["run"]


def main():
    per_call = UNROLL * TURNS
    host = Host()
    assert Host.ours == Host.pure == host.ours == host.pure == host.prop == 1
    verdicts = []
    for title, cases, baselines in [
        ("read through the class", {
            "typegetter": reads("Host.ours", Host=Host),
            "pure-Python descriptor": reads("Host.pure", Host=Host),
        }, ["pure-Python descriptor"]),
        ("read through an instance", {
            "typegetter": reads("host.ours", host=host),
            "pure-Python descriptor": reads("host.pure", host=host),
            "property": reads("host.prop", host=host),
        }, ["pure-Python descriptor", "property"]),
    ]:
        times = {name: t / per_call for name, t in compare(cases, rounds=15).items()}
        report(title, times, "typegetter", baselines)
        speedup = times["pure-Python descriptor"] / times["typegetter"]
        verdicts.append(speedup >= TARGET)
        print(f"{speedup:.2f}x faster than the pure-Python descriptor "
              f"(target {TARGET:g}x: {'met' if verdicts[-1] else 'NOT met'})\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
