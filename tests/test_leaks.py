"""Every module's main operations, failures included, run many times must not
grow the memory held by Python objects: a reference leaked in C++ shows up
here as objects that are never freed."""
import gc
import tracemalloc

import pytest

from leak_ops import all_ops


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


OPS = all_ops()


@pytest.mark.parametrize("name", sorted(OPS))
def test_no_growth(name):
    # A leaked object costs at least 32 bytes a call; allocator and cache
    # noise stays a few kilobytes in all, whatever the number of calls.
    per_call = grows(OPS[name])
    assert per_call < 12, f"{name}: {per_call:.1f} bytes kept per call"
