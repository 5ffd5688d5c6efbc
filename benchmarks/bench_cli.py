"""tavrin-ds against gron and jq on a ~50 MB document of real JSON files.

    python benchmarks/bench_cli.py                 # 5 interleaved rounds
    python benchmarks/bench_cli.py --rounds 3 --ours "python old_cli.py"

The document is assembled once (cached in the temporary directory) from the
botocore service descriptions, gzipped JSON files that ship with botocore:
one object whose keys are the files' names and whose values are the files.
gron, jq and GNU time come from Debian packages and are installed when
missing (as root). Every command runs under `/usr/bin/time -v`, writing to
/dev/null; each pair of commands being compared runs back to back in every
round, since the machine is shared and its speed drifts. The table printed
at the end gives the median wall time and peak resident memory of each
command over the rounds, and the ratios the targets are judged on.
"""
import argparse
import glob
import gzip
import json
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TARGET_BYTES = 50_000_000


def botocore_files():
    patterns = []
    try:
        import botocore

        patterns.append(os.path.join(os.path.dirname(botocore.__file__), "data"))
    except ImportError:
        pass
    pyenv = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("pyenv") else ""
    if pyenv:
        patterns += glob.glob(f"{pyenv}/versions/3.11*/lib/python3.11/site-packages/botocore/data")
    for data in patterns:
        files = sorted(glob.glob(f"{data}/*/*/service-2.json.gz"))
        if files:
            return data, files
    raise SystemExit("bench_cli.py: needs botocore's data files (pip install botocore)")


def gron_round_trips(text):
    """Whether gron reads back what it writes for this JSON text."""
    lines = subprocess.run(["gron", "--no-sort", "--monochrome"], input=text.encode(), capture_output=True)
    back = subprocess.run(["gron", "-u", "--monochrome"], input=lines.stdout, capture_output=True)
    return lines.returncode == back.returncode == 0


def assemble(path):
    """One JSON object of whole service descriptions, until ~50 MB. Files
    that gron cannot read back from its own output (a few regular
    expressions with unusual characters) are left out, so that every tool
    gets the same document."""
    data, files = botocore_files()
    doc, size, skipped = {}, 2, []
    for name in files:
        with gzip.open(name, "rt", encoding="utf-8") as handle:
            text = handle.read()
        if not gron_round_trips(text):
            skipped.append(os.path.relpath(name, data))
            continue
        part = json.loads(text)
        doc[os.path.relpath(name, data)[:-len(".json.gz")]] = part
        size += len(json.dumps(part)) + len(name) + 6
        if size >= TARGET_BYTES:
            break
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(doc, handle)
    return len(doc), skipped


def ensure_tools():
    missing = [pkg for pkg, exe in (("gron", "gron"), ("jq", "jq"), ("time", "/usr/bin/time"))
               if not shutil.which(exe)]
    if missing:
        if os.geteuid() != 0:
            raise SystemExit(f"bench_cli.py: install {' '.join(missing)} (Debian packages) first")
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        subprocess.run(["apt-get", "install", "-y", "-qq", *missing], check=True)


def measure(command, stdin=None):
    """(wall seconds, peak RSS in MB) of one run of a shell command."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        shell = f"{command} > /dev/null" + (f" < {shlex.quote(str(stdin))}" if stdin else "")
        proc = subprocess.run(["/usr/bin/time", "-v", "-o", report.name, "sh", "-c", shell],
                              stderr=subprocess.PIPE, text=True)
        text = report.read()
    if proc.returncode != 0:
        raise SystemExit(f"bench_cli.py: {command!r} failed ({proc.returncode}): {proc.stderr[-500:]}")
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", text)
    hours, minutes, seconds = (float(g or 0) for g in wall.groups())
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return hours * 3600 + minutes * 60 + seconds, rss / 1024


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--ours", default=f"{shlex.quote(sys.executable)} -m tavrin.datastructures",
                        help="the command that runs tavrin-ds (default: this interpreter's module)")
    parser.add_argument("--json", metavar="FILE", help="also write every measurement to FILE")
    args = parser.parse_args(argv)
    ensure_tools()

    work = Path(tempfile.gettempdir()) / "tavrin-cli-bench"
    work.mkdir(exist_ok=True)
    doc = work / "doc.json"
    if not doc.exists():
        print(f"assembling {doc} ...", flush=True)
        count, skipped = assemble(doc)
        print(f"  {count} files; left out, as gron cannot read them back: {', '.join(skipped) or 'none'}",
              flush=True)
    print(f"{doc}: {doc.stat().st_size / 1e6:.1f} MB", flush=True)
    py = shlex.quote(sys.executable)
    ours, d = args.ours, shlex.quote(str(doc))
    ours_lines, gron_lines = work / "doc.paths", work / "doc.gron"
    subprocess.run(f"{ours} paths {d} > {shlex.quote(str(ours_lines))}", shell=True, check=True)
    subprocess.run(f"gron --no-sort --monochrome {d} > {shlex.quote(str(gron_lines))}", shell=True, check=True)

    # Each group runs back to back in every round.
    groups = [
        [("paths", f"{ours} paths {d}", None), ("gron --no-sort", f"gron --no-sort --monochrome {d}", None)],
        [("unpaths", f"{ours} unpaths", ours_lines), ("gron -u", "gron -u --monochrome", gron_lines)],
        [("tree", f"{ours} tree {d}", None), ("paths ", f"{ours} paths {d}", None)],
        [("json.load", f"{py} -c 'import json, sys; json.load(open(sys.argv[1]))' {d}", None),
         ("jq .", f"jq . {d}", None), ("jq --stream", f"jq -c --stream . {d}", None)],
    ]
    runs = {}
    for round_ in range(args.rounds):
        for group in groups:
            for name, command, stdin in group:
                runs.setdefault(name, []).append(measure(command, stdin))
        print(f"round {round_ + 1}/{args.rounds} done", flush=True)
    med = {name: (statistics.median(w for w, _ in r), statistics.median(m for _, m in r))
           for name, r in runs.items()}

    print(f"\n### tavrin-ds on {doc.stat().st_size / 1e6:.1f} MB, median of {args.rounds} rounds\n")
    print("| command | wall time | peak memory |")
    print("|---|---|---|")
    for name, (wall, mem) in med.items():
        print(f"| {name.strip()} | {wall:.2f} s | {mem:.0f} MB |")
    print("\n| target | measured |")
    print("|---|---|")
    rows = [
        ("paths at least 2x faster than gron --no-sort", med["gron --no-sort"][0] / med["paths"][0], "x faster"),
        ("paths: less peak memory than gron", med["paths"][1] / med["gron --no-sort"][1], "x gron's"),
        ("unpaths at least 1.5x faster than gron -u", med["gron -u"][0] / med["unpaths"][0], "x faster"),
        ("unpaths: less peak memory than gron -u", med["unpaths"][1] / med["gron -u"][1], "x gron's"),
        ("paths peak memory at most 1.5x json.load's", med["paths"][1] / med["json.load"][1], "x"),
        ("tree at most 2x the time of paths", med["tree"][0] / med["paths "][0], "x"),
    ]
    for what, value, unit in rows:
        print(f"| {what} | {value:.2f}{unit} |")
    if args.json:
        Path(args.json).write_text(json.dumps({"rounds": runs, "median": med}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
