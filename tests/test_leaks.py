"""Every module's main operations, failures included, run many times must not
grow the memory held by Python objects: a reference leaked in C++ shows up
here as objects that are never freed."""
import copy
import gc
import pickle
import tracemalloc

import pytest

from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag


def grows(fn, runs=1000, warmup=100):
    """Bytes still held per call over a second batch of `runs` calls. The
    first batch fills free lists and caches, which then stay level; a leak
    keeps growing."""
    for _ in range(warmup):
        fn()
    tracemalloc.start()
    try:
        for _ in range(runs):
            fn()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(runs):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return (after - before) / runs


def raises(exc, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc}")
    return run


DOC = {"a": {"b": {"c": 1, "d": [1, 2]}}, "e": "x", "f": {"g": {}}}


def memberbag_ops():
    bag = NestedMemberBag(DOC)

    def build():
        NestedMemberBag(DOC, extra=1)
        MemberBag(DOC, x=1)

    def reads():
        bag["a.b.c"], bag.a.b.d, "a.b.c" in bag, "a.zz" in bag, bag.get("a.zz"), repr(bag)

    def writes():
        bag["n.m.o"] = 1
        del bag["n.m.o"]
        bag.setdefault("p.q", 2)
        bag.pop("p.q")
        bag.update({"a": {"b": {"c": 1}}}, k=2)

    def copies():
        pickle.loads(pickle.dumps(bag))
        copy.deepcopy(bag)
        copy.copy(bag)

    bag["v"] = 5
    return {
        "build": build,
        "reads": reads,
        "writes": writes,
        "copies": copies,
        "conflict": raises(KeyError, bag.__setitem__, "v.x", 1),
        "missing": raises(KeyError, bag.__getitem__, "zz.y"),
        "bad update": raises(TypeError, bag.update, [("a", 1, 2)]),
        "arg error": raises(TypeError, bag.__getitem__, 1, 2),
        "self kw": raises(TypeError, MemberBag, self=1),
        "deep": raises(RecursionError, NestedMemberBag, _self_containing()),
    }


def _self_containing():
    d = {}
    d["d"] = d
    return d


OPS = {f"memberbag {name}": fn for name, fn in memberbag_ops().items()}


@pytest.mark.parametrize("name", sorted(OPS))
def test_no_growth(name):
    # A leaked object costs at least 32 bytes a call; allocator and cache
    # noise stays a few kilobytes in all, whatever the number of calls.
    per_call = grows(OPS[name])
    assert per_call < 12, f"{name}: {per_call:.1f} bytes kept per call"
