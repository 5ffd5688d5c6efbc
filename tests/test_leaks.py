"""Every module's main operations, failures included, run many times must not
grow the memory held by Python objects: a reference leaked in C++ shows up
here as objects that are never freed."""
import gc
import sys
import time
import tracemalloc

import pytest

from leak_ops import all_ops

RUNS = 200
# The smallest object a leaked reference keeps alive takes 16 bytes (a float
# 24); what the interpreter's caches keep stays under one byte a call.
LIMIT = 8

# The interpreter's attribute cache holds on to the name strings it is asked
# for, in one of 4,096 slots chosen by the string's address: an unpickler's
# fresh class-name strings fill it slowly, which is not ours to count.
clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def grows(fn, runs=RUNS, warmup=50):
    """Bytes still held per call: the smaller growth of two batches of `runs`
    calls after a first one. The warm-up and first batch fill free lists and
    caches, which then stay level, and a one-off step (a dict or free list
    that grows once) shows in one batch only; a leak grows both."""
    for _ in range(warmup):
        fn()
    # Everything alive so far, the test runner's objects included, is left
    # out of the collections that the operations cause, so a collection
    # costs what the operations made, not the size of the whole process.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    try:
        sizes = []
        for _ in range(3):
            for _ in range(runs):
                fn()
            gc.collect()
            clear_caches()
            sizes.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
        gc.unfreeze()
    return min(sizes[1] - sizes[0], sizes[2] - sizes[1]) / runs


def runs_for(fn, budget=0.05):
    """RUNS, or fewer (not under 20) when RUNS untraced calls would take more
    than `budget` seconds: a self-containing structure on an interpreter
    whose C recursion limit is 10,000 levels makes that many objects a call,
    so a leak of its own is seen in 20 calls and the rest is covered by the
    debug interpreter's reference counts."""
    start = time.perf_counter()
    fn()
    took = time.perf_counter() - start
    return max(20, min(RUNS, int(budget / max(took, 1e-9))))


OPS = all_ops()


@pytest.mark.parametrize("name", sorted(OPS))
def test_no_growth(name):
    fn = OPS[name]
    runs = runs_for(fn)
    per_call = grows(fn, runs, warmup=min(50, runs))
    assert per_call < LIMIT, f"{name}: {per_call:.1f} bytes kept per call"


def leaking(make):
    kept = []
    return lambda: kept.append(make())


@pytest.mark.parametrize("make", [object, lambda: float(len("ab"))], ids=["object", "float"])
def test_one_leaked_object_per_call_is_seen(make):
    assert grows(leaking(make)) >= LIMIT
