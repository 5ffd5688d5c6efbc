"""memberbag against plain dicts and objects, and against the attribute-dict
libraries users pick instead (python-box, addict, munch)."""
import json
import random

from harness import compare, report

from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag


def make_document(target_bytes=1_000_000, seed=7):
    """A nested JSON-like document of about `target_bytes` when serialised."""
    rng = random.Random(seed)

    def leaf():
        return rng.choice([rng.randint(0, 10**6), rng.random(), f"value-{rng.randint(0, 10**4)}", True, None])

    def node(depth):
        if depth > 4 or rng.random() < 0.15:
            return leaf()
        if rng.random() < 0.2:
            return [leaf() for _ in range(rng.randint(1, 4))]
        return {f"key_{i}": node(depth + 1) for i in range(rng.randint(2, 6))}

    doc = {}
    i = 0
    while len(json.dumps(doc)) < target_bytes:
        for _ in range(50):
            doc[f"section_{i}"] = node(1)
            i += 1
    return doc


def main():
    out = []
    d = {"a": {"b": {"c": 1}}}
    bag = NestedMemberBag(d)

    class O:
        pass

    o = O(); o.a = O(); o.a.b = O(); o.a.b.c = 1
    t = compare({
        "bag['a.b.c']": lambda: bag["a.b.c"],
        "d['a']['b']['c']": lambda: d["a"]["b"]["c"],
    })
    out.append(report("dotted read: bag['a.b.c'] (target: at most 3x the chained dict read)", t,
                      "bag['a.b.c']", ["d['a']['b']['c']"]))
    t = compare({
        "bag.a.b.c": lambda: bag.a.b.c,
        "obj.a.b.c (plain objects)": lambda: o.a.b.c,
    })
    out.append(report("attribute chain: bag.a.b.c (target: at most 1.5x plain objects)", t,
                      "bag.a.b.c", ["obj.a.b.c (plain objects)"]))

    small = {"x": 1, "y": 2, "z": 3}
    t = compare({
        "MemberBag(d, x=1)": lambda: MemberBag(small, x=1),
        "dict(d, x=1)": lambda: dict(small, x=1),
    })
    out.append(report("construction: MemberBag(d, x=1) (target: at most 3x dict)", t,
                      "MemberBag(d, x=1)", ["dict(d, x=1)"]))

    doc = make_document()
    cases = {"NestedMemberBag(doc)": lambda: NestedMemberBag(doc)}
    peers = []
    try:
        from box import Box

        def box_all():
            # Box converts levels lazily: read every level so all do the same work.
            def walk(b):
                for v in b.values():
                    if isinstance(v, Box):
                        walk(v)
            b = Box(doc)
            walk(b)
            return b

        cases["Box(doc) + read every level"] = box_all
        peers.append("Box(doc) + read every level")
    except ImportError:
        pass
    try:
        from addict import Dict
        cases["addict Dict(doc)"] = lambda: Dict(doc)
        peers.append("addict Dict(doc)")
    except ImportError:
        pass
    try:
        from munch import munchify
        cases["munchify(doc)"] = lambda: munchify(doc)
        peers.append("munchify(doc)")
    except ImportError:
        pass
    t = compare(cases, rounds=5, min_time=0.2)
    out.append(report(f"build from a {len(json.dumps(doc)) // 1000} kB nested document "
                      "(target: at least 10x faster than the fastest peer)", t, "NestedMemberBag(doc)", peers))
    return "\n".join(out)


if __name__ == "__main__":
    main()
