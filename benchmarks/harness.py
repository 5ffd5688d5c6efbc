"""Side-by-side timing shared by the benchmark scripts.

Cases are timed in interleaved rounds (every case once per round, in turn),
so a slow spell on a shared machine hits all of them alike; each case's
figure is its best round, per call. Ratios are what we report.

Why not pyperf's own runner: it times each benchmark in worker processes of
its own, one benchmark after another, so a comparison would span minutes of
a shared machine's changing load, and its defaults (20 processes per
benchmark) would take hours on the 100,000-element cases. The timing loop
stays here, interleaved; pyperf keeps the results. With TAVRIN_BENCH_OUT set
(benchmarks/run.py sets it), every reported case is written at exit as a
pyperf benchmark (all rounds, with the machine's and interpreter's metadata)
into that JSON file, which `python -m pyperf stats` and `compare_to` read.

The scripts import it by name: a script's own folder is the first entry of
sys.path, so `python benchmarks/bench_rankmap.py` finds it from anywhere.
"""
import atexit
import gc
import os
import time

# Filled as the script runs: every compare() call's cases with all their
# rounds, and every report() table with the cases it compares.
_groups = []
_reports = []


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
    values = {name: [] for name in cases}
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
                values[name].append(elapsed / n)
    finally:
        if gc_was_enabled:
            gc.enable()
    best = {name: min(v) for name, v in values.items()}
    _groups.append({name: [best[name], values[name], numbers[name], False] for name in cases})
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
    cases = {name: times[name] for name in [ours, *baselines]}
    _reports.append((title, ours, list(baselines), cases, {name: _rounds_of(name, cases[name]) for name in cases}))
    return text


def _rounds_of(name, best):
    """All rounds behind a reported time, in the reported unit.

    A script reports a figure of its last compare() call as it is or rescaled
    (per read rather than per loop); one it timed by itself has its best
    value only.
    """
    case = _groups[-1].get(name) if _groups else None
    if case is not None and case[0] > 0:
        case[3] = True
        scale = best / case[0]
        return [v * scale for v in case[1]], case[2]
    return [best], 1


def _dump():
    path = os.environ.get("TAVRIN_BENCH_OUT")
    if not path or not _reports:
        return
    import pyperf

    benchmarks = []

    def add(values, loops, **metadata):
        metadata.update(name=f"{metadata['tavrin_title']} :: {metadata['tavrin_case']}",
                        unit="second", loops=loops)
        if os.environ.get("TAVRIN_BENCH_COMMIT"):
            metadata["tavrin_commit"] = os.environ["TAVRIN_BENCH_COMMIT"]
        # pyperf takes positive values only; 0 would be below the clock's resolution.
        values = [max(v, 1e-12) for v in values]
        run = pyperf.Run(values, metadata=metadata, collect_metadata=not benchmarks)
        benchmarks.append(pyperf.Benchmark([run]))

    for index, (title, ours, baselines, times, rounds) in enumerate(_reports):
        for name in [ours, *baselines]:
            add(*rounds[name], tavrin_table=index, tavrin_title=title, tavrin_case=name,
                tavrin_role="ours" if name == ours else "peer", tavrin_best=times[name])
    # Cases a script timed but printed in a table of its own.
    for index, group in enumerate(_groups):
        for name, (best, values, loops, reported) in group.items():
            if not reported:
                add(values, loops, tavrin_group=index, tavrin_title=f"compare #{index}", tavrin_case=name,
                    tavrin_role="case", tavrin_best=best)
    pyperf.BenchmarkSuite(benchmarks).dump(path, replace=True)


atexit.register(_dump)
