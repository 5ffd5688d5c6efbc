"""pathtable against flatten-dict, both directions, side by side in one run.

- A nested JSON document of about 1 MB (records with nested objects and
  arrays) and a document nested 200 levels deep: PathTable(doc) against
  flatten(doc, enumerate_types=(list,)), table.reconstruct() against
  unflatten(flat).
- The cost per entry when every entry sits at depth 10 or depth 200. Every
  entry carries its own path tuple, so the per-entry cost includes copying
  the path; the cost per entry-plus-path-component shows whether the walk
  stays linear (no per-level generator chain).

Run: python benchmarks/bench_pathtable.py (needs the `bench` extra).
"""
import json
import random
import sys

from flatten_dict import flatten, unflatten
from harness import compare, fmt_time, report

from tavrin.datastructures.pathtable import PathTable

WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa"]


def json_document(target=1_000_000, seed=7):
    """Records as an API would return them, to about `target` bytes of JSON."""
    rnd = random.Random(seed)

    def record(i):
        return {
            "id": i,
            "name": f"{rnd.choice(WORDS)}-{i}",
            "active": rnd.random() < 0.5,
            "score": round(rnd.random() * 100, 3),
            "tags": [rnd.choice(WORDS) for _ in range(rnd.randint(0, 4))],
            "address": {
                "street": f"{rnd.randint(1, 999)} {rnd.choice(WORDS)} st",
                "city": rnd.choice(WORDS),
                "geo": {"lat": rnd.uniform(-90, 90), "lng": rnd.uniform(-180, 180)},
            },
            "history": [{"ts": rnd.randint(0, 10**9), "event": rnd.choice(WORDS)} for _ in range(rnd.randint(0, 3))],
        }

    doc = {"meta": {"version": 3, "source": "bench"}, "records": []}
    while len(json.dumps(doc)) < target:
        start = len(doc["records"])
        doc["records"].extend(record(start + j) for j in range(200))
    return json.loads(json.dumps(doc))  # the shapes and key sharing of parsed JSON


def deep_document(depth=200, width=8):
    """Nested `depth` levels, with `width` leaves and a list at every level."""
    root = level = {}
    for d in range(depth - 1):
        for i in range(width):
            level[f"k{d}_{i}"] = d * width + i
        level[f"list{d}"] = [d, str(d)]
        level[f"next{d}"] = {}
        level = level[f"next{d}"]
    level["bottom"] = True
    return root


def leaves_at(depth, count=4000):
    """`count` entries, every one of them at nesting depth `depth`."""
    root = level = {}
    for d in range(depth - 1):
        level[f"level{d}"] = {}
        level = level[f"level{d}"]
    for i in range(count):
        level[f"leaf{i}"] = i
    return root


def both_directions(title, doc):
    table = PathTable(doc)
    flat = flatten(doc, enumerate_types=(list,))
    cases = {
        "PathTable(doc)": lambda: PathTable(doc),
        "flatten(doc, enumerate_types=(list,))": lambda: flatten(doc, enumerate_types=(list,)),
        "table.reconstruct()": table.reconstruct,
        "unflatten(flat)": lambda: unflatten(flat),
    }
    times = compare(cases)
    size = len(json.dumps(doc)) / 1e6
    out = report(
        f"flatten: {title} ({size:.2f} MB of JSON, {len(table)} entries)",
        times,
        "PathTable(doc)",
        ["flatten(doc, enumerate_types=(list,))"],
    )
    out += report(f"back: {title}", times, "table.reconstruct()", ["unflatten(flat)"])
    walk = times["flatten(doc, enumerate_types=(list,))"] / times["PathTable(doc)"]
    back = times["unflatten(flat)"] / times["table.reconstruct()"]
    return out, walk, back


def per_entry():
    docs = {d: leaves_at(d) for d in (10, 200)}
    tables = {d: PathTable(doc) for d, doc in docs.items()}
    flats = {d: flatten(doc, enumerate_types=(list,)) for d, doc in docs.items()}
    cases = {}
    for d in docs:
        cases[f"PathTable, depth {d}"] = lambda d=d: PathTable(docs[d])
        cases[f"reconstruct, depth {d}"] = tables[d].reconstruct
        cases[f"flatten, depth {d}"] = lambda d=d: flatten(docs[d], enumerate_types=(list,))
        cases[f"unflatten, depth {d}"] = lambda d=d: unflatten(flats[d])
    times = compare(cases)
    lines = [
        "### cost per entry by depth",
        "",
        "| case | depth 10 per entry | depth 200 per entry | 200 / 10 | per entry + path component, 10 / 200 |",
        "|---|---|---|---|---|",
    ]
    ratios = {}
    for name in ("PathTable", "reconstruct", "flatten", "unflatten"):
        per = {d: times[f"{name}, depth {d}"] / len(tables[d]) for d in docs}
        unit = {d: per[d] / (1 + d) for d in docs}
        ratios[name] = per[200] / per[10]
        lines.append(
            f"| {name} | {fmt_time(per[10])} | {fmt_time(per[200])} | {ratios[name]:.1f}x | "
            f"{fmt_time(unit[10])} / {fmt_time(unit[200])} ({unit[200] / unit[10]:.2f}x) |"
        )
    text = "\n".join(lines) + "\n"
    print(text)
    return text, ratios


def main():
    print(f"Python {sys.version.split()[0]}\n")
    _, walk_json, back_json = both_directions("~1 MB JSON document", json_document())
    _, walk_deep, back_deep = both_directions("depth-200 document", deep_document())
    _, ratios = per_entry()
    print("### summary (target: at least 5x faster than flatten-dict; per entry within 2x across depths)\n")
    print(f"- walk: {walk_json:.1f}x (JSON), {walk_deep:.1f}x (deep) faster than flatten()")
    print(f"- back: {back_json:.1f}x (JSON), {back_deep:.1f}x (deep) faster than unflatten()")
    print(
        f"- per entry, depth 200 / depth 10: PathTable {ratios['PathTable']:.1f}x, "
        f"reconstruct {ratios['reconstruct']:.1f}x (flatten {ratios['flatten']:.1f}x, "
        f"unflatten {ratios['unflatten']:.1f}x)"
    )


if __name__ == "__main__":
    main()
