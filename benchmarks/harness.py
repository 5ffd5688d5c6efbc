"""Side-by-side timing shared by the benchmark scripts.

Cases are timed in interleaved rounds (every case once per round, in turn),
so a slow spell on a shared machine hits all of them alike; each case's
figure is its best round, per call. Ratios are what we report.
"""
import gc
import time


def _calibrate(fn, min_time):
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_time or number >= 1 << 24:
            return number
        number *= 2 if elapsed == 0 else max(2, int(min_time / max(elapsed, 1e-9) * 1.2))


def compare(cases, rounds=7, min_time=0.05):
    """Time each callable in `cases` (name -> fn); returns name -> seconds per call."""
    numbers = {name: _calibrate(fn, min_time) for name, fn in cases.items()}
    best = {name: float("inf") for name in cases}
    gc_was_enabled = gc.isenabled()
    try:
        for _ in range(rounds):
            for name, fn in cases.items():
                n = numbers[name]
                gc.collect()
                gc.disable()
                t0 = time.perf_counter()
                for _ in range(n):
                    fn()
                elapsed = time.perf_counter() - t0
                if gc_was_enabled:
                    gc.enable()
                best[name] = min(best[name], elapsed / n)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def report(title, times, ours, baselines):
    """Markdown rows: each baseline's time and ours / baseline."""
    lines = [f"### {title}", "", "| case | time | ours / this |", "|---|---|---|"]
    for name in [ours, *baselines]:
        ratio = times[ours] / times[name]
        lines.append(f"| {name} | {fmt_time(times[name])} | {ratio:.2f}x |")
    text = "\n".join(lines) + "\n"
    print(text)
    return text
