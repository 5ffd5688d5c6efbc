"""logic: And('eth', Not('down'), Or('up', str.isdigit)) called on 1, 10 and
1000 items against the same test written as plain Python (all/any over
re.search and the callable), with plain-word patterns and with real regular
expressions.

Targets: with plain words at least 2x faster than plain Python at 10 and 1000
items and at least as fast at 1 item; with real regular expressions at least
as fast at every size.
"""
import re

from harness import compare, report

from tavrin.datastructures.logic import And, Not, Or


def make_items(n):
    """Interface status lines, as a command-line filter would see them.
    Loopback and wireless lines come first, so 'eth' is found a few items in;
    nothing is down, so Not('down') has to look at every item."""
    kinds = ("lo", "wlan", "eth")
    return [f"{kinds[i % 3]}{i} up mtu {1400 + i % 3 * 50} 10.0.{i % 250}.2/24" for i in range(n)]


def plain_python(p_eth, p_down, p_up):
    """The same test as And(p_eth, Not(p_down), Or(p_up, str.isdigit))."""
    def test(*items):
        return (any(re.search(p_eth, i) for i in items)
                and not any(re.search(p_down, i) for i in items)
                and (any(re.search(p_up, i) for i in items) or any(str.isdigit(i) for i in items)))
    return test


def plain_compiled(p_eth, p_down, p_up):
    """As plain_python with the patterns compiled beforehand (the fastest
    plain-Python form)."""
    eth, down, up = re.compile(p_eth).search, re.compile(p_down).search, re.compile(p_up).search

    def test(*items):
        return (any(eth(i) for i in items)
                and not any(down(i) for i in items)
                and (any(up(i) for i in items) or any(str.isdigit(i) for i in items)))
    return test


def main():
    out = []
    verdicts = []
    for label, pats in (("plain words", ("eth", "down", "up")),
                        ("regular expressions", (r"^eth\d+", r"\bdown\b", r"\bup\b"))):
        ours_fn = And(pats[0], Not(pats[1]), Or(pats[2], str.isdigit))
        by_re = plain_python(*pats)
        by_compiled = plain_compiled(*pats)
        for n in (1, 10, 1000):
            items = make_items(n)
            expected = by_re(*items)
            assert ours_fn(*items) is expected is by_compiled(*items)
            t = compare({
                "And(...)(*items)": lambda: ours_fn(*items),
                "any/all over re.search": lambda: by_re(*items),
                "any/all over compiled .search": lambda: by_compiled(*items),
            })
            need = 0.5 if label == "plain words" and n > 1 else 1.0
            ratio = t["And(...)(*items)"] / t["any/all over re.search"]
            ratio_c = t["And(...)(*items)"] / t["any/all over compiled .search"]
            met = "met" if ratio <= need else "NOT met"
            title = (f"{label}, {n} item{'s' if n > 1 else ''} "
                     f"(target: at most {need:g}x plain Python; {met})")
            out.append(report(title, t, "And(...)(*items)",
                              ["any/all over re.search", "any/all over compiled .search"]))
            verdicts.append(f"| {label} | {n} | {ratio:.2f}x | {ratio_c:.2f}x | {need:g}x | {met} |")
    summary = ["### Summary (ours / plain Python; lower is faster)", "",
               "| patterns | items | vs re.search | vs compiled .search | target | |",
               "|---|---|---|---|---|---|", *verdicts]
    print("\n".join(summary))


if __name__ == "__main__":
    main()
