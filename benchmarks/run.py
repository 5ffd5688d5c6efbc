"""Run every module's benchmark and regenerate the report.

    python benchmarks/run.py                   # run all, rewrite the report
    python benchmarks/run.py --only rankmap    # run one again, rewrite the report
    python benchmarks/run.py --report-only     # rewrite the report from the last results

Each benchmarks/bench_<module>.py runs in a fresh interpreter, timing our
module against its baselines in interleaved rounds (harness.py); its results
are kept as a pyperf suite in benchmarks/results/<module>.json (`python -m
pyperf stats benchmarks/results/rankmap.json` shows every round). From those
files this script writes benchmarks/README.md (one table of every
comparison, the machine and versions, each module's targets with whether they
are met), the charts ratios.png and scaling.png, and the performance rows of
each module's section in the top-level README.md.

Each module's notes in benchmarks/README.md (between `<!-- notes:MODULE -->`
and `<!-- /notes:MODULE -->`) are written by hand and kept as they are; so are
the command-line tool's table (`<!-- notes:cli -->`), which bench_cli.py
measures on its own, and the before-and-after table (`<!-- notes:history -->`).
Needs the `bench` extra (pyperf, matplotlib and the peer libraries) and the
package built: installed, or built in place (the README's development build),
which is then preferred.
"""
import argparse
import datetime
import importlib.metadata
import os
import re
import subprocess
import sys
from pathlib import Path

import pyperf

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"
REPORT = HERE / "README.md"
TOP_README = ROOT / "README.md"
MODULES = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")
PEER_PACKAGES = ("pyperf", "matplotlib", "python-box", "addict", "munch", "flatten-dict", "anytree", "treelib")

# How each table a script prints reads in the report: (title pattern,
# operation, size, in the module's README section). `n` (the first number
# of the size) counts the elements the operation handles, for the cost per
# element; "per object"/"per entry" figures are per element already.
N = r"(\d[\d,]*)"
LABELS = {
    "memberbag": [
        (r"^dotted read", "`bag['a.b.c']`", "3 levels", True),
        (r"^attribute chain", "`bag.a.b.c`", "3 levels", True),
        (r"^construction", "`MemberBag(d, x=1)`", "4 keys", True),
        (rf"^build from a {N} kB", "`NestedMemberBag(doc)`", r"\1 kB document", True),
    ],
    "pathtable": [
        (rf"^flatten: ~1 MB JSON.*?{N} entries", "`PathTable(doc)`", r"1 MB JSON, \1 entries", True),
        (r"^back: ~1 MB JSON", "`table.reconstruct()`", "1 MB JSON", True),
        (rf"^flatten: depth-200.*?{N} entries", "`PathTable(doc)`", r"depth 200, \1 entries", False),
        (r"^back: depth-200", "`table.reconstruct()`", "depth 200", False),
        (r"^PathTable per entry, depth (\d+)", "`PathTable(doc)` per entry", r"depth \1", False),
        (r"^reconstruct per entry, depth (\d+)", "`reconstruct()` per entry", r"depth \1", False),
    ],
    "logic": [
        (rf"^plain words, {N} items?", "`And(...)(*items)`, word patterns", r"\1 items", None),
        (rf"^regular expressions, {N} items?", "`And(...)(*items)`, regular expressions", r"\1 items", None),
    ],
    "rankmap": [
        (rf"^build from {N} pairs", "`RankMap(pairs)`", r"\1 pairs", True),
        (rf"^m\[k\] for each of {N} keys", "`m[k]`", r"\1 keys", True),
        (rf"^m\[k\] = v for each of {N} existing", "`m[k] = v`, existing keys", r"\1 keys", False),
        (rf"^iterate over {N} keys", "`iter(m)`", r"\1 keys", False),
        (rf"^items\(\) at {N} keys", "`m.items()`", r"\1 keys", None),
        (rf"^k in m for each of {N} keys", "`k in m`", r"\1 keys", False),
        (rf"^m\.get\(k\) for each of {N} keys", "`m.get(k)`", r"\1 keys", False),
        (rf"^move every key to the front, {N} keys", "`move(k, 0)`, every key", r"\1 keys", False),
        (rf"^build by inserting every key at the front, {N} keys", "`insert(k, v, 0)`, every key",
         r"\1 keys", False),
    ],
    "wispseq": [
        (rf"^append of {N} objects", "`append`", r"\1 objects", True),
        (rf"^iteration over {N} objects", "iterate", r"\1 objects", True),
        (rf"^`in` for the last of {N} objects", "`in` (the last object)", r"\1 objects", False),
        (rf"^finalizing {N} objects one by one", "finalize one by one, per object", r"\1 objects", False),
        (rf"^finalizing {N} objects all at once", "finalize all at once, per object", r"\1 objects", False),
    ],
    "branchlet": [
        (rf"^{N} nodes, 10 children per node", "`str(tree)`, 10 children per node", r"\1 nodes", True),
        (rf"^chain {N} deep", "`str(tree)`, a chain", r"\1 deep", True),
    ],
    "typegetter": [
        (r"^read through the class", "`Cls.attr`", "one read", True),
        (r"^read through an instance", "`obj.attr`", "one read", True),
    ],
}
# Rows whose headline flag is None go to the module's README section only at
# these sizes.
HEADLINE_SIZES = {"logic": ("1000 items",), "rankmap": ("100,000 keys",)}


class Row:
    def __init__(self, module, title, ours, peers):
        self.module, self.title = module, title
        self.ours = ours  # (case, seconds)
        self.peers = peers  # [(case, seconds)]
        self.op, self.size, self.headline = title, "", False
        for pattern, op, size, headline in LABELS.get(module, ()):
            m = re.search(pattern, title)
            if m:
                self.op, self.size = op, m.expand(size)
                self.headline = headline if headline is not None else self.size in HEADLINE_SIZES.get(module, ())
                break
        if self.size.startswith("1 ") and self.size.endswith("items"):
            self.size = self.size[:-1]
        m = re.match(r"(\d[\d,]*)", self.size)
        self.n = int(m.group(1).replace(",", "")) if m and not self.size.startswith("depth") else None
        self.per_element = "per object" in self.op or "per entry" in self.op

    def time(self, case=None):
        if case is None:
            return self.ours[1]
        for name, t in self.peers:
            if name == case:
                return t
        raise KeyError(f"{self.module}: no case {case!r} in {self.title!r}")


# ---------------------------------------------------------------- running


def package_env():
    """Prefer the in-place development build when there is one."""
    env = dict(os.environ)
    src = ROOT / "src"
    built = list((src / "tavrin" / "datastructures").glob(f"memberbag.cpython-{sys.version_info[0]}{sys.version_info[1]}*.so"))
    if built:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(src), env.get("PYTHONPATH")]))
    return env


def parse_time(text):
    m = re.fullmatch(r"\s*([\d.]+) (s|ms|us|ns)\s*", text)
    if not m:
        return None
    return float(m.group(1)) * {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}[m.group(2)]


def printed_tables(text):
    """{title: [cells of each row]} for every "### title" markdown table printed."""
    tables, title = {}, None
    for line in text.splitlines():
        if line.startswith("### "):
            title = line[4:].strip()
            tables[title] = []
        elif title and line.startswith("|") and not line.startswith("|---"):
            tables[title].append([c.strip() for c in line.strip().strip("|").split("|")])
    return {t: rows[1:] for t, rows in tables.items()}  # without the header row


def tables_from_output(module, text):
    """Figures a script prints in tables of its own rather than through
    report(): (title, ours, peers) with seconds per element."""
    out = []
    tables = printed_tables(text)
    if module == "wispseq":
        for title, rows in tables.items():
            if title.startswith("finalizing"):
                cases = [(r[0], parse_time(r[1])) for r in rows if r[0] != "objects in no container"]
                cases = [c for c in cases if c[1] is not None]
                out.append((title, cases[0], cases[1:]))
    if module == "pathtable":
        rows = {r[0]: r for r in tables.get("cost per entry by depth", [])}
        for ours, peer in (("PathTable", "flatten"), ("reconstruct", "unflatten")):
            if ours in rows and peer in rows:
                for col, depth in ((1, 10), (2, 200)):
                    out.append((f"{ours} per entry, depth {depth}", (ours, parse_time(rows[ours][col])),
                                [(f"flatten-dict {peer}", parse_time(rows[peer][col]))]))
    return out


def run_module(module):
    script = HERE / f"bench_{module}.py"
    out = RESULTS / f"{module}.json"
    env = package_env()
    env["TAVRIN_BENCH_OUT"] = str(out)
    env["TAVRIN_BENCH_COMMIT"] = current_commit()
    print(f"== {module}: {script.name}", flush=True)
    proc = subprocess.run([sys.executable, str(script)], cwd=HERE, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    print(proc.stdout, flush=True)
    if proc.returncode != 0:
        raise SystemExit(f"{script.name} failed with status {proc.returncode}")
    suite = pyperf.BenchmarkSuite.load(str(out))
    extra = []
    first = max([b.get_metadata().get("tavrin_table", -1) for b in suite.get_benchmarks()] + [-1]) + 1
    for index, (title, ours, peers) in enumerate(tables_from_output(module, proc.stdout), first):
        for role, (case, seconds) in [("ours", ours)] + [("peer", p) for p in peers]:
            metadata = dict(name=f"{title} :: {case}", unit="second", loops=1, tavrin_table=index,
                            tavrin_title=title, tavrin_case=case, tavrin_role=role, tavrin_best=seconds,
                            tavrin_commit=env["TAVRIN_BENCH_COMMIT"])
            extra.append(pyperf.Benchmark([pyperf.Run([seconds], metadata=metadata, collect_metadata=False)]))
    if extra:
        pyperf.BenchmarkSuite(suite.get_benchmarks() + extra).dump(str(out), replace=True)


# ---------------------------------------------------------------- reading


def load_rows():
    rows, meta = [], {}
    for module in MODULES:
        path = RESULTS / f"{module}.json"
        if not path.exists():
            continue
        suite = pyperf.BenchmarkSuite.load(str(path))
        tables = {}
        for bench in suite.get_benchmarks():
            md = bench.get_metadata()
            if md.get("tavrin_role") not in ("ours", "peer"):
                continue
            if "cpu_model_name" in md:
                meta[module] = md
            entry = tables.setdefault(md["tavrin_table"], {"title": md["tavrin_title"], "ours": None, "peers": []})
            case = (md["tavrin_case"], float(md["tavrin_best"]))
            if md["tavrin_role"] == "ours":
                entry["ours"] = case
            else:
                entry["peers"].append(case)
        for _, entry in sorted(tables.items()):
            rows.append(Row(module, entry["title"], entry["ours"], entry["peers"]))
    return rows, meta


class Results:
    def __init__(self, rows):
        self.rows = rows

    def row(self, module, op, size):
        for r in self.rows:
            if r.module == module and r.op == op and r.size == size:
                return r
        raise KeyError(f"no result for {module}: {op} at {size} (did a benchmark's title change?)")

    def ratio(self, module, op, size, peer):
        r = self.row(module, op, size)
        return r.time() / r.time(peer)


# ---------------------------------------------------------------- targets
# Each target: (what, figure function -> (value, shown), passes(value)).


def at_most(limit):
    return lambda v: v <= limit


def at_least(limit):
    return lambda v: v >= limit


def ratio_target(module, op, size, peer):
    def figure(res):
        v = res.ratio(module, op, size, peer)
        return v, f"{v:.2f}x"
    return figure


def faster_target(module, op, size, peers=None):
    def figure(res):
        r = res.row(module, op, size)
        names = peers or [name for name, _ in r.peers]
        v = min(r.time(p) for p in names) / r.time()
        return v, f"{v:.2f}x faster"
    return figure


def growth_target(module, op, small, big, peer=None):
    """Cost per element at the bigger size over that at the smaller size."""
    def figure(res):
        a, b = res.row(module, op, small), res.row(module, op, big)
        if a.per_element:
            v = b.time(peer) / a.time(peer)
        else:
            v = (b.time(peer) / b.n) / (a.time(peer) / a.n)
        return v, f"{v:.1f}x"
    return figure


def targets():
    words, regex = "`And(...)(*items)`, word patterns", "`And(...)(*items)`, regular expressions"
    re_search = "any/all over re.search"
    t = {
        "memberbag": [
            ("`bag['a.b.c']` at most 3x the chained dict read",
             ratio_target("memberbag", "`bag['a.b.c']`", "3 levels", "d['a']['b']['c']"),
             at_most(3)),
            ("`bag.a.b.c` at most 1.5x plain objects",
             ratio_target("memberbag", "`bag.a.b.c`", "3 levels", "obj.a.b.c (plain objects)"),
             at_most(1.5)),
            ("`MemberBag(d, x=1)` at most 3x `dict(d, x=1)`",
             ratio_target("memberbag", "`MemberBag(d, x=1)`", "4 keys", "dict(d, x=1)"),
             at_most(3)),
        ],
        "pathtable": [],
        "logic": [],
        "rankmap": [
            ("building within 3x of OrderedDict",
             ratio_target("rankmap", "`RankMap(pairs)`", "100,000 pairs", "OrderedDict"), at_most(3)),
            ("reads within 1.5x of OrderedDict, 1,000 keys",
             ratio_target("rankmap", "`m[k]`", "1,000 keys", "OrderedDict"), at_most(1.5)),
            ("reads within 1.5x of OrderedDict, 100,000 keys",
             ratio_target("rankmap", "`m[k]`", "100,000 keys", "OrderedDict"), at_most(1.5)),
            ("`items()` cost per key within 2x between 1,000 and 100,000 keys",
             growth_target("rankmap", "`m.items()`", "1,000 keys", "100,000 keys"), at_most(2)),
        ],
        "wispseq": [
            ("append at least 2x faster than the Python list of references",
             faster_target("wispseq", "`append`", "100,000 objects", ["list of weakref.ref (Python)"]),
             at_least(2)),
            ("iteration at least 2x faster than the Python list of references",
             faster_target("wispseq", "iterate", "100,000 objects", ["list of weakref.ref (Python)"]),
             at_least(2)),
        ],
        "branchlet": [
            ("at least 10x faster than the faster peer, 100,000 nodes",
             faster_target("branchlet", "`str(tree)`, 10 children per node", "100,000 nodes"), at_least(10)),
            ("at least 10x faster than the faster peer, chain 1,000 deep",
             faster_target("branchlet", "`str(tree)`, a chain", "1,000 deep"), at_least(10)),
        ],
        "typegetter": [
            ("at least 1.5x faster than the pure-Python descriptor, through the class",
             faster_target("typegetter", "`Cls.attr`", "one read", ["pure-Python descriptor"]), at_least(1.5)),
            ("at least 1.5x faster than the pure-Python descriptor, through an instance",
             faster_target("typegetter", "`obj.attr`", "one read", ["pure-Python descriptor"]), at_least(1.5)),
        ],
    }
    t["memberbag"].append((
        "`NestedMemberBag(doc)` at least 10x faster than the fastest peer",
        lambda res: faster_target("memberbag", "`NestedMemberBag(doc)`",
                                  next(r.size for r in res.rows if r.op == "`NestedMemberBag(doc)`"))(res),
        at_least(10)))
    for label, op in (("word patterns", words), ("regular expressions", regex)):
        for n in ("1", "10", "1000"):
            limit = 0.5 if label == "word patterns" and n != "1" else 1.0
            t["logic"].append((f"{label}, {n} item{'s' if n != '1' else ''}: at most {limit:g}x plain Python",
                               ratio_target("logic", op, f"{n} item{'s' if n != '1' else ''}", re_search),
                               at_most(limit)))
    for what, op, peer in (("walk", "`PathTable(doc)`", "flatten(doc, enumerate_types=(list,))"),
                           ("back", "`table.reconstruct()`", "unflatten(flat)")):
        for doc, size in (("1 MB JSON", None), ("depth-200 document", None)):
            def figure(res, op=op, peer=peer, doc=doc):
                r = next(r for r in res.rows if r.module == "pathtable" and r.op == op
                         and (r.size.startswith("1 MB") if doc == "1 MB JSON" else r.size.startswith("depth 200")))
                v = r.time(peer) / r.time()
                return v, f"{v:.2f}x faster"
            t["pathtable"].append((f"{what} at least 5x faster than flatten-dict, {doc}", figure, at_least(5)))
    for op in ("`PathTable(doc)` per entry", "`reconstruct()` per entry"):
        t["pathtable"].append((f"{op.replace(' per entry', '')}: cost per entry within 2x between depth 10 and 200",
                               growth_target("pathtable", op, "depth 10", "depth 200"), at_most(2)))
    return t


# ---------------------------------------------------------------- writing


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def kept_notes():
    notes = {}
    if REPORT.exists():
        for m in re.finditer(r"<!-- notes:(\w+) -->\n(.*?)<!-- /notes:\1 -->", REPORT.read_text(), re.S):
            notes[m.group(1)] = m.group(2)
    return notes


def current_commit():
    """The checkout's commit, marked when it has local changes."""
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h (%cs)"],
                                capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"
    return commit + (" with local changes" if dirty else "") if commit else "unknown"


def versions(meta):
    out = {}
    for name in PEER_PACKAGES:
        try:
            out[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            out[name] = "not installed"
    # The commit each script ran at, as recorded with its results.
    commits = sorted({m.get("tavrin_commit", "unknown") for m in meta.values()})
    return out, ", ".join(commits)


def machine_section(meta):
    any_meta = next(iter(meta.values()), {})
    loads = [float(m["load_avg_1min"]) for m in meta.values() if "load_avg_1min" in m]
    dates = sorted(m["date"][:16] for m in meta.values() if "date" in m)
    peers, commit = versions(meta)
    lines = ["| | |", "|---|---|"]
    lines.append(f"| run | {dates[0]} to {dates[-1]}, one script after another |" if dates else "| run | |")
    lines.append(f"| CPU | {any_meta.get('cpu_model_name', '?')}, {any_meta.get('cpu_count', '?')} cores, "
                 "shared with other work (times drift; ratios much less) |")
    if loads:
        lines.append(f"| load average (1 min) at the end of each script | {min(loads):.2f} to {max(loads):.2f} |")
    lines.append(f"| system | {any_meta.get('platform', '?')} |")
    lines.append(f"| Python | CPython {any_meta.get('python_version', '?')}, {any_meta.get('python_compiler', '')} |")
    lines.append(f"| package | tavrin.datastructures at commit {commit}, CMake release build |")
    lines.append("| peers and tools | " + ", ".join(f"{k} {v}" for k, v in peers.items()) + " |")
    return "\n".join(lines)


def results_table(rows):
    lines = ["| module | operation | size | ours | peer | peer's time | ours / peer |",
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        for i, (name, t) in enumerate(r.peers):
            head = (r.module, r.op, r.size, fmt_time(r.time())) if i == 0 else ("", "", "", "")
            lines.append(f"| {' | '.join(head)} | {name} | {fmt_time(t)} | {r.time() / t:.2f}x |")
    return "\n".join(lines)


def module_rows(rows, module):
    lines = ["| operation | size | ours | theirs (ours / theirs) |", "|---|---|---|---|"]
    for r in rows:
        if r.module == module and r.headline:
            theirs = "; ".join(f"{name}: {fmt_time(t)} ({r.time() / t:.2f}x)" for name, t in r.peers)
            lines.append(f"| {r.op} | {r.size} | {fmt_time(r.time())} | {theirs} |")
    return "\n".join(lines)


def targets_section(res, notes):
    out, missed = [], []
    for module, items in targets().items():
        out += [f"## {module}", "", "| target | this run | met |", "|---|---|---|"]
        for what, figure, passes in items:
            try:
                value, shown = figure(res)
            except (KeyError, StopIteration) as exc:
                out.append(f"| {what} | not measured ({exc}) | |")
                continue
            met = passes(value)
            if not met:
                missed.append(f"{module}: {what}: {shown}")
            out.append(f"| {what} | {shown} | {'yes' if met else '**no**'} |")
        out += ["", f"<!-- notes:{module} -->", notes.get(module, "(no notes yet)\n").rstrip("\n"),
                f"<!-- /notes:{module} -->", ""]
    return "\n".join(out), missed


INTRO = """\
# Benchmarks

Every `bench_<module>.py` times our module side by side with its baselines
(built-ins, plain Python, and the peer libraries of the `bench` extra) in one
process, in interleaved rounds, and reports the best round of each. Absolute
times on this shared machine drift between runs, ratios much less; take a
ratio within about 20% of a target as a tie. Ratios are our time over theirs:
below 1 we are faster.

This file, the charts and the performance rows of the top-level README are
regenerated by one command (after `pip install '.[bench]'` or a development
build):

    python benchmarks/run.py

which keeps every round of every case in `results/<module>.json` (pyperf's
format: `python -m pyperf stats benchmarks/results/rankmap.json`). The notes
under each module's targets are written by hand and kept across runs.
"""


def write_charts(rows):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {m: plt.get_cmap("tab10")(i) for i, m in enumerate(MODULES)}
    # Ratios: one bar per comparison.
    bars = [(f"{r.module}: {r.op.replace('`', '')} [{r.size}] vs {name if len(name) < 40 else name[:38] + '...'}",
             r.time() / t, r.module)
            for r in rows for name, t in r.peers]
    fig, ax = plt.subplots(figsize=(13, 0.24 * len(bars) + 1.5))
    ys = list(range(len(bars)))[::-1]
    ratios = [b[1] for b in bars]
    # Bars grow from 1 (a tie): left is faster, right is slower.
    ax.barh(ys, [r - 1 for r in ratios], left=1, color=[colors[b[2]] for b in bars])
    for y, r in zip(ys, ratios):
        ax.text(r * (1.08 if r >= 1 else 1 / 1.08), y, f"{r:.3g}x", va="center",
                ha="left" if r >= 1 else "right", fontsize=6)
    ax.set_yticks(ys)
    ax.set_yticklabels([b[0] for b in bars], fontsize=7)
    ax.set_xscale("log")
    ax.set_xlim(min(ratios + [0.5]) / 4, max(ratios + [2]) * 4)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("our time / their time (log scale; left of 1: we are faster)")
    ax.set_title("tavrin.datastructures against its baselines and peers (one run)")
    ax.grid(axis="x", which="major", alpha=0.3)
    fig.tight_layout()
    fig.savefig(HERE / "ratios.png", dpi=90)
    plt.close(fig)

    # Scaling: cost per element against size, for operations run at several sizes.
    series = {}
    for r in rows:
        if r.size.startswith("depth"):
            continue
        if r.n:
            for i, (name, t) in enumerate([r.ours] + r.peers):
                per = t if r.per_element else t / r.n
                series.setdefault((r.module, r.op, name, i == 0), []).append((r.n, per))
    groups = {}
    for (module, op, name, ours), points in series.items():
        if len({n for n, _ in points}) > 1:
            groups.setdefault((module, op), []).append((name, ours, sorted(points)))
    depth = {}
    for r in rows:
        if r.per_element and re.fullmatch(r"depth \d+", r.size):
            d = int(r.size.split()[1])
            for i, (name, t) in enumerate([r.ours] + r.peers):
                depth.setdefault((r.op, name, i == 0), []).append((d, t))
    panels = list(groups.items()) + ([("per entry against depth", None)] if depth else [])
    cols = 3
    nrows = (len(panels) + cols - 1) // cols
    fig, axes = plt.subplots(nrows, cols, figsize=(15, 3.6 * nrows), squeeze=False)
    for ax, (key, lines) in zip(axes.flat, panels):
        if lines is None:
            for (op, name, ours), points in sorted(depth.items()):
                xs, ys = zip(*sorted(points))
                ax.plot(xs, ys, marker="o", linewidth=2.2 if ours else 1,
                        label=f"{op.replace('`', '').replace(' per entry', '')} (ours)" if ours else name)
            ax.set_title("pathtable: cost per entry against depth", fontsize=9)
            ax.set_xlabel("depth of every entry")
        else:
            module, op = key
            for name, ours, points in lines:
                xs, ys = zip(*points)
                ax.plot(xs, ys, marker="o", linewidth=2.2 if ours else 1, color=colors[module] if ours else None,
                        label=f"{name} (ours)" if ours else name)
            ax.set_title(f"{module}: {op.replace('`', '')}", fontsize=9)
            ax.set_xlabel("elements")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_ylabel("time per element (s)")
        ax.grid(which="both", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    fig.suptitle("Cost per element against size (flat: linear; rising: worse than linear)")
    fig.tight_layout()
    fig.savefig(HERE / "scaling.png", dpi=80)
    plt.close(fig)


def write_report(rows, meta):
    res = Results(rows)
    notes = kept_notes()
    targets_text, missed = targets_section(res, notes)
    text = "\n".join([
        INTRO,
        "## The machine",
        "",
        machine_section(meta),
        "",
        "## All results",
        "",
        "[Ratios as a chart](ratios.png); [cost per element against size](scaling.png).",
        "",
        "![ratios](ratios.png)",
        "",
        results_table(rows),
        "",
        "![cost per element against size](scaling.png)",
        "",
        "# Targets",
        "",
        "Each module's targets, judged on this run. Figures near a limit move across it between "
        "runs on this machine; the notes say what repeated runs showed and why a target is missed.",
        "",
        targets_text,
        "# The command-line tool",
        "",
        "`bench_cli.py` times `tavrin-ds` against gron and jq on ~50 MB of real JSON (it is not run by this "
        "script: it installs gron and jq, and takes minutes). Its last table, with the figures before and "
        "after the changes it judged, is kept here by hand.",
        "",
        "<!-- notes:cli -->",
        notes.get("cli", "(no figures yet)\n").rstrip("\n"),
        "<!-- /notes:cli -->",
        "",
        "# Before and after",
        "",
        "Every module's ratios before and after a round of changes, each from one run of this script; "
        "kept here by hand.",
        "",
        "<!-- notes:history -->",
        notes.get("history", "(no figures yet)\n").rstrip("\n"),
        "<!-- /notes:history -->",
    ])
    REPORT.write_text(text.rstrip("\n") + "\n")
    if TOP_README.exists():
        readme = TOP_README.read_text()
        for module in MODULES:
            readme = re.sub(rf"(<!-- perf:{module} -->\n).*?(<!-- /perf -->)",
                            lambda m, module=module: m.group(1) + module_rows(rows, module) + "\n" + m.group(2),
                            readme, flags=re.S)
        TOP_README.write_text(readme)
    return missed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="+", choices=MODULES, help="run only these modules' benchmarks")
    parser.add_argument("--report-only", action="store_true", help="rewrite the report from the last results")
    args = parser.parse_args(argv)
    RESULTS.mkdir(exist_ok=True)
    if not args.report_only:
        started = datetime.datetime.now()
        for module in args.only or MODULES:
            run_module(module)
        print(f"benchmarks took {datetime.datetime.now() - started}")
    rows, meta = load_rows()
    write_charts(rows)
    missed = write_report(rows, meta)
    print(f"wrote {REPORT.relative_to(ROOT)}, ratios.png, scaling.png and the rows in README.md")
    if missed:
        print("targets missed in this run:\n  " + "\n  ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
