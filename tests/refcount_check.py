"""Reference-count growth of every leak-check operation, for a debug build of
the interpreter (sys.gettotalrefcount): the total after 1,000 runs must not
exceed the total after 100 runs. Run as a script; exits 1 on growth."""
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from leak_ops import all_ops  # noqa: E402


# The attribute cache keeps a reference to each name string it is asked for
# (see test_leaks.py); emptied before each count, it adds nothing.
clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def total_after(fn, runs):
    for _ in range(runs):
        fn()
    gc.collect()
    clear_caches()
    return sys.gettotalrefcount()


def main():
    if not hasattr(sys, "gettotalrefcount"):
        print("refcount check: needs a debug build of the interpreter")
        return 2
    failed = 0
    for name, fn in sorted(all_ops().items()):
        total_after(fn, 20)
        after_100 = total_after(fn, 100)
        after_1000 = total_after(fn, 900)
        growth = after_1000 - after_100
        # A leaked reference per call grows the total by 900 here; caches
        # settle within the first hundred runs.
        status = "ok" if growth < 90 else "LEAK"
        failed += status != "ok"
        print(f"{status:4s} {name}: {growth:+d} references over 900 runs")
    print(f"refcount check: {len(all_ops()) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
