"""Rendering a tree as text: Branchlet's str against anytree's RenderTree
text and treelib's show, on the same shapes.

Shapes: 100,000 nodes, ten children per node, filled level by level (wide
and bushy), and a chain 1,000 nodes deep. Each library builds its own tree
once; only the rendering is timed. The three texts are checked to draw the
same tree before anything is timed.

    python benchmarks/bench_branchlet.py
"""
import sys

from anytree import Node, RenderTree
from treelib import Tree

from harness import compare, report
from tavrin.datastructures.branchlet import Branchlet

TARGET = 10.0  # at least this many times faster than the faster peer


def bushy(count, fanout=10):
    """Parent index of every node but the root, filled breadth first."""
    return [(i, (i - 1) // fanout) for i in range(1, count)]


def chain(depth):
    return [(i, i - 1) for i in range(1, depth + 1)]


def build(edges):
    names = ["node-%d" % i for i in range(len(edges) + 1)]
    ours = [Branchlet(names[0])]
    theirs = [Node(names[0])]
    tl = Tree()
    tl.create_node(names[0], 0)
    for child, parent in edges:
        node = Branchlet(names[child])
        ours[parent].add_child(node)
        ours.append(node)
        theirs.append(Node(names[child], parent=theirs[parent]))
        tl.create_node(names[child], child, parent=parent)
    return ours[0], theirs[0], tl


def same_drawing(ours, anytree_text, treelib_text):
    """anytree and treelib draw with box characters; map them to ours."""
    table = str.maketrans({"\u251c": "|", "\u2514": "`", "\u2500": "-", "\u2502": "|"})
    return ours == anytree_text.translate(table) == treelib_text.rstrip("\n").translate(table)


def main():
    # The peers recurse once per level (and then some) while rendering.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 20000))
    lines = []
    for title, edges in [("100,000 nodes, 10 children per node", bushy(100_000)),
                         ("chain 1,000 deep", chain(1000))]:
        ours, theirs, tl = build(edges)
        cases = {
            "Branchlet str": lambda: str(ours),
            "anytree RenderTree text": lambda: RenderTree(theirs).by_attr(),
            "treelib show": lambda: tl.show(stdout=False, sorting=False),
        }
        texts = {name: fn() for name, fn in cases.items()}
        assert same_drawing(*texts.values()), title
        times = compare(cases, rounds=3)
        lines.append(report(title, times, "Branchlet str", ["anytree RenderTree text", "treelib show"]))
        best_peer = min(times["anytree RenderTree text"], times["treelib show"])
        speedup = best_peer / times["Branchlet str"]
        verdict = "met" if speedup >= TARGET else "NOT met"
        print(f"{speedup:.1f}x faster than the faster peer (target {TARGET:g}x: {verdict})\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
