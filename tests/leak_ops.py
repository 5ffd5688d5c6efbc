"""The main operations of every module, failures included, as no-argument
callables: run many times by the leak checks (tracemalloc here, and total
reference counts under a debug interpreter)."""
import copy
import gc
import pickle
import re
import sys
from collections import OrderedDict, namedtuple

from tavrin.datastructures.branchlet import Branchlet
from tavrin.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag
from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable
from tavrin.datastructures.rankmap import RankMap
from tavrin.datastructures.typegetter import typegetter
from tavrin.datastructures.wispseq import WispSeq


def raises(exc, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc}")
    return run


def round_trip(obj):
    return lambda: pickle.loads(pickle.dumps(obj))


def shallow(fn, spare=60):
    """fn with the recursion limit a little above the caller's depth: a
    structure that contains itself then ends in RecursionError after a few
    dozen levels instead of a thousand (where the module's guard follows
    the limit; 3.12+ count C levels against a fixed limit of their own)."""
    def run():
        depth, frame = 0, sys._getframe()
        while frame is not None:
            depth, frame = depth + 1, frame.f_back
        old = sys.getrecursionlimit()
        sys.setrecursionlimit(depth + spare)
        try:
            fn()
        finally:
            sys.setrecursionlimit(old)
    return run


def _self_containing():
    d = {}
    d["d"] = d
    return d


class Obj:
    """A weakly referenceable item that sorts by its value."""

    def __init__(self, v):
        self.v = v

    def __lt__(self, other):
        return self.v < other.v

    def __repr__(self):
        return f"Obj({self.v})"


class Boom(Exception):
    pass


class RaisingEq(Obj):
    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__


class RaisingStr:
    def __str__(self):
        raise Boom


def boom(*args):
    raise Boom


# ---------------------------------------------------------------- memberbag

DOC = {"a": {"b": {"c": 1, "d": [1, 2]}}, "e": "x", "f": {"g": {}}}


def memberbag_ops():
    bag = NestedMemberBag(DOC)

    def build():
        NestedMemberBag(DOC, extra=1)
        MemberBag(DOC, x=1)

    def reads():
        bag["a.b.c"], bag.a.b.d, "a.b.c" in bag, "a.zz" in bag, bag.get("a.zz"), repr(bag)

    def writes():
        bag["n.m.o"] = 1
        del bag["n.m.o"]
        bag.setdefault("p.q", 2)
        bag.pop("p.q")
        bag.update({"a": {"b": {"c": 1}}}, k=2)

    def copies():
        copy.deepcopy(bag)
        copy.copy(bag)

    bag["v"] = 5
    return {
        "build": build,
        "reads": reads,
        "writes": writes,
        "copies": copies,
        "pickle": round_trip(bag),
        "conflict": raises(KeyError, bag.__setitem__, "v.x", 1),
        "missing": raises(KeyError, bag.__getitem__, "zz.y"),
        "bad update": raises(TypeError, bag.update, [("a", 1, 2)]),
        "arg error": raises(TypeError, bag.__getitem__, 1, 2),
        "self kw": raises(TypeError, MemberBag, self=1),
        "deep": shallow(raises(RecursionError, NestedMemberBag, _self_containing())),
    }


# ---------------------------------------------------------------- pathtable

Point = namedtuple("Point", "x y")
TREE = {
    "a": {"b": 1, "c": [1, {"d": 2}, [3, 4]]},
    "e": (5, 6),
    "f": [(7, 8)],
    "g": [],
    "h": OrderedDict(i=Point(1, 2)),
    "j": {"k": {}, "l": ""},
}
PAIRS = [(("a",), 1), (["b", "c"], 2), ("xy", 3)]


def unchecked(entries):
    """A table holding entries that break the pair rule (+= neither checks
    nor converts)."""
    table = PathTable()
    table += entries
    return table


class RaisingMapping(dict):
    def items(self):
        raise Boom


def pathtable_ops():
    table = PathTable(TREE)
    marker = table[2].path[-1]

    def build():
        PathTable(TREE)
        PathTable(PAIRS)
        PathTable()
        IndexMarker((), 3)

    def reads():
        table[0], table[1:4], len(table), table[3] in table, table.index(table[3]), table.count(table[0])
        repr(table), str(table), repr(marker)

    def generator():
        gen = PathTable.__flatten__(TREE, ("top",))
        next(gen), gen.send(None)
        try:
            gen.throw(Boom)
        except Boom:
            pass
        gen.close()
        gen = PathTable.__flatten__(TREE)
        next(gen)
        gen.close()
        list(PathTable.__flatten__([1, (2, {"a": 3})]))
        list(PathTable.__flatten__(5))
        PathTable.__flatten__({})  # dropped unstarted

    def writes():
        t = PathTable(PAIRS)
        t.append((("x",), 1))
        t.insert(0, [("y",), 2])
        t.insert(-99, "ab")
        t.extend([(("z",), 3), DictItem(("w",), 4)])
        t.extend(t)
        t[0] = [("v",), 5]
        t[1:3] = [(("p",), 6), (("q",), 7)]
        del t[0]
        t.pop()

    def reconstruct():
        table.reconstruct()
        PathTable(PAIRS).reconstruct()
        PathTable([
            (("a", IndexMarker([], 0)), 1), (("a", IndexMarker([], 5)), 2), (("a", "b"), 3),
            (("x", "y"), 1), (("x", IndexMarker([], 0)), 2),
            (("t", IndexMarker((), 0)), 1), (("t", IndexMarker((), 1)), 2),
            (("n", IndexMarker(Point(0, 0), 0)), 1), (("n", IndexMarker(Point(0, 0), 1)), 2),
        ]).reconstruct()

    def suspended():
        gen = PathTable.__flatten__(TREE)
        next(gen), next(gen), next(gen)

    def copies():
        copy.deepcopy(table)
        copy.copy(table)
        table.copy()

    def refused_writes():
        for op in (lambda t: t.append(5), lambda t: t.insert(0, (1, 2, 3)),
                   lambda t: t.extend([(("a",), 1), 7]), lambda t: t.__setitem__(0, "abc"),
                   lambda t: t.__setitem__(slice(0, 1), [(("a",), 1)])):
            try:
                op(table)
            except ValueError:
                pass
            else:
                raise AssertionError("accepted")

    return {
        "build": build,
        "reads": reads,
        "generator": generator,
        "writes": writes,
        "reconstruct": reconstruct,
        "copies": copies,
        "pickle": round_trip(table),
        "refused writes": refused_writes,
        "bad pairs": raises(ValueError, PathTable, [(("a",), 1), 5]),
        "not iterable": raises(ValueError, PathTable, 5),
        "list errors": raises(IndexError, table.__setitem__, 99, (("a",), 1)),
        "bad index": raises(TypeError, table.__setitem__, "x", (("a",), 1)),
        "marker index": raises(ValueError, IndexMarker, [], "x"),
        "keywords": raises(TypeError, PathTable, x=1),
        "bad path": raises(TypeError, lambda: list(PathTable.__flatten__(TREE, 5))),
        "bad path type": raises(TypeError, lambda: list(PathTable.__flatten__(TREE, ["p"]))),
        "input raises": raises(Boom, PathTable, RaisingMapping(a=1)),
        "input raises midway": raises(Boom, PathTable, {"a": {"b": [1, 2]}, "c": [RaisingMapping(x=1)]}),
        "dropped suspended": suspended,
        "unhashable key": raises(TypeError, PathTable([((["x"],), 1)]).reconstruct),
        "bad entry": raises(ValueError, unchecked([(("a",), 1), (1, 2, 3)]).reconstruct),
        "below scalar": raises(TypeError, PathTable([(("a",), 1), (("a", "b"), 2)]).reconstruct),
        "empty path": raises(ValueError, PathTable([((), 1)]).reconstruct),
        "deep": shallow(raises(RecursionError, PathTable, _self_containing())),
    }


# ---------------------------------------------------------------- logic

def logic_ops():
    expr = Or(And("a", Not("b", callable)), bool, "x.*y")
    twin = Or(And("a", Not("b", callable)), bool, "x.*y")
    looped = And("a")
    looped.expressions.append(looped)

    def build():
        And("a", "b")
        Or(And("a"), Not("b"), len)
        Not()

    def calls():
        expr("ab", 1, None), expr(), And("a", "b")("a"), Not("a")("xyz", "b"), Or(len)("", "")

    def render():
        str(expr), repr(expr), expr == twin, expr != And("a"), expr == "a"

    def parse():
        logic_str("And('a', Not('b'))")
        logic_str("Or('a', lambda i: i == 3)")

    def copies():
        copy.deepcopy(expr)
        copy.copy(expr)

    return {
        "build": build,
        "calls": calls,
        "render": render,
        "parse": parse,
        "copies": copies,
        "pickle": round_trip(expr),
        "not callable": raises(TypeError, And, "a", 5),
        "bad pattern": raises(re.error, Or, "("),
        "keywords": raises(TypeError, And, x=1),
        "callable raises": raises(Boom, And("a", boom), "a"),
        "item str raises": raises(Boom, Or("a"), "b", RaisingStr()),
        "base call": raises(NotImplementedError, BaseLogic("a")),
        "base call items": raises(TypeError, BaseLogic("a"), "x"),
        "hash": raises(TypeError, hash, expr),
        "parse syntax": raises(ValueError, logic_str, "And('a'"),
        "parse name": raises(ValueError, logic_str, "Foo('a')"),
        "parse not expression": raises(ValueError, logic_str, "string"),
        "deep": shallow(raises(RecursionError, looped, "a")),
        "deep str": shallow(raises(RecursionError, str, looped)),
    }


# ---------------------------------------------------------------- rankmap

def rankmap_ops():
    m = RankMap([("a", 1), ("b", 2), ("c", 3)], d=4)
    twin = RankMap([("a", 1), ("b", 2), ("c", 3)], d=4)

    def build():
        RankMap([("a", 1), ("b", 2)], c=3)
        RankMap.fromkeys("abc", 0)
        RankMap()

    def reads():
        m["a"], m.get("zz"), "b" in m, "zz" in m, list(m), m.keys(), m.values(), m.items(), len(m)
        repr(m), m == twin, m != {"a": 1}, m == 5

    def writes():
        w = RankMap([("a", 1), ("b", 2), ("c", 3)])
        w["a"] = 5
        w["e"] = 6
        w.insert("f", 7, 1)
        w.insert("g", 8, -99)
        w.move("a", -1)
        w.move("g", 99)
        del w["b"]
        w.pop("c"), w.pop("zz", None), w.popitem(), w.setdefault("h", 9)
        w.update([("i", 10), "jk"], l=11)
        w.clear()
        w["m"] = 12

    def copies():
        m.copy()
        copy.deepcopy(m)
        copy.copy(m)

    return {
        "build": build,
        "reads": reads,
        "writes": writes,
        "copies": copies,
        "pickle": round_trip(m),
        "missing": raises(KeyError, m.__getitem__, "zz"),
        "missing del": raises(KeyError, m.__delitem__, "zz"),
        "missing move": raises(KeyError, m.move, "zz", 0),
        "insert present": raises(KeyError, m.insert, "a", 1, 0),
        "update args": raises(TypeError, m.update, [], []),
        "update length": raises(ValueError, m.update, [("a", 1), ("b", 2, 3)]),
        "update no length": raises(TypeError, m.update, [1]),
        "unhashable set": raises(TypeError, m.__setitem__, [], 1),
        "unhashable insert": raises(TypeError, m.insert, [], 1, 0),
        "bad position insert": raises(TypeError, m.insert, "zz", 1, "x"),
        "bad position move": raises(TypeError, m.move, "a", 1.5),
        "empty popitem": raises(KeyError, RankMap().popitem),
        "keywords": raises(TypeError, m.move, key="a", pos=1),
        "hash": raises(TypeError, hash, m),
    }


# ---------------------------------------------------------------- wispseq

def wispseq_ops():
    keep = [Obj(i) for i in range(6)]
    seq = WispSeq(keep)
    other = WispSeq(keep[:2])
    outsider = Obj(-1)
    odd = Branchlet("not orderable")
    hostile = RaisingEq(0)

    def build():
        WispSeq(keep)
        WispSeq(seq)
        WispSeq()

    def reads():
        seq[0], seq[-1], seq[1:4], seq[::-1], reversed(seq), list(seq), len(seq)
        keep[2] in seq, outsider in seq, seq.index(keep[3]), seq.count(keep[0])
        repr(seq), str(seq), seq == keep, seq == other, seq != other, seq < other

    def writes():
        s = WispSeq(keep[:3])
        s.append(keep[3])
        s.insert(0, keep[4])
        s.extend(keep)
        s.extend(other)
        s += keep[:2]
        s *= 2
        s[0] = keep[5]
        s[1:3] = keep[:4]
        s.remove(keep[0])
        s.pop(-1)
        s.sort()
        s.sort(key=lambda o: -o.v, reverse=True)
        del s[0]
        del s[1:3]
        s.reverse()
        s + other, other * 2, 2 * other, keep + s
        s.copy()
        copy.copy(s)
        s.clear()

    def finalized():
        objs = [Obj(i) for i in range(4)]
        s = WispSeq(objs)
        s.append(objs[0])
        t = s[1:]
        it = iter(s)
        next(it)
        objs[0] = None  # its two entries leave, the visited one too
        list(it)
        del objs[1]
        objs.clear()
        assert not s and not t

    def collected():
        a, b = Obj(1), Obj(2)
        a.other, b.other = b, a
        s = WispSeq([a, b, a])
        del a, b
        gc.collect()
        assert not s

    def dropped_list():
        objs = [Obj(i) for i in range(3)]
        s = WispSeq(objs)
        del s  # its entries still point at live objects

    return {
        "build": build,
        "reads": reads,
        "writes": writes,
        "finalized": finalized,
        "collected": collected,
        "dropped list": dropped_list,
        "not weakrefable": raises(TypeError, seq.append, 1),
        "build not weakrefable": raises(TypeError, WispSeq, [keep[0], 1]),
        "probe not weakrefable": raises(TypeError, seq.__contains__, 1),
        "add list": raises(TypeError, seq.__add__, []),
        "out of range": raises(IndexError, seq.__getitem__, 99),
        "set out of range": raises(IndexError, seq.__setitem__, 99, keep[0]),
        "remove missing": raises(ValueError, seq.remove, outsider),
        "index missing": raises(ValueError, seq.index, outsider),
        "eq raises": raises(Boom, lambda: WispSeq([keep[0], hostile]).index(outsider)),
        "unorderable": raises(TypeError, lambda: WispSeq([keep[0], odd]).sort()),
        "pickle": raises(TypeError, pickle.dumps, seq),
        "keywords": raises(TypeError, seq.append, thing=1),
    }


# ---------------------------------------------------------------- branchlet

def branchlet_ops():
    B = Branchlet
    tree = B("station", [B("pump", [B("valve"), B("gauge")]), B("tank", [B("sensor", [B("probe"), "cable"])])])
    chain = node = B("0")
    for i in range(1, 200):
        node.add_child(B(str(i)))
        node = node.children[0]
    looped = B("root", [B("x")])
    looped.children[0].add_child(looped)

    def build():
        root = B("root")
        root.add_child(B("a", [B("b")]))
        root.add_child("leaf")
        B("x", [])

    def render():
        str(tree), str(B("leaf")), str(B("a\nb", [B("c\nd"), B("e")])), str(chain)

    def copies():
        copy.deepcopy(tree)
        copy.copy(tree)

    return {
        "build": build,
        "render": render,
        "copies": copies,
        "pickle": round_trip(tree),
        "name not str": raises(TypeError, str, B(5)),
        "name not str children": raises(TypeError, str, B(5, [B("a")])),
        "unsliceable": raises(TypeError, str, B("a", {1})),
        "child str raises": raises(Boom, str, B("a", [B("b"), RaisingStr()])),
        "tuple children": raises(AttributeError, B("a", (1,)).add_child, 2),
        "keywords": raises(TypeError, B, "a", kids=[]),
        "self-containing": raises(RecursionError, str, looped),
    }


# ---------------------------------------------------------------- typegetter

def typegetter_ops():
    class Host:
        @typegetter
        def name(cls):
            return cls.__name__

        itself = typegetter(lambda cls: cls)
        broken = typegetter(boom)
        uncallable = typegetter(42)

    class Child(Host):
        pass

    host = Host()
    gone = typegetter(len)
    del gone.func

    def reads():
        Host.name, Child.name, host.name, Child().name
        Host.__dict__["name"].__get__(None, Child)
        Host.__dict__["name"].__get__(host, Host)
        Host.__dict__["itself"].__get__(None, None)

    def build():
        typegetter(len)
        typegetter(func=boom)

    return {
        "build": build,
        "reads": reads,
        "func raises": raises(Boom, getattr, Host, "broken"),
        "not callable": raises(TypeError, getattr, host, "uncallable"),
        "func deleted": raises(AttributeError, gone.__get__, None, Host),
        "get args": raises(TypeError, Host.__dict__["name"].__get__, None),
        "keywords": raises(TypeError, typegetter, function=len),
    }


MODULES = [
    ("memberbag", memberbag_ops),
    ("pathtable", pathtable_ops),
    ("logic", logic_ops),
    ("rankmap", rankmap_ops),
    ("wispseq", wispseq_ops),
    ("branchlet", branchlet_ops),
    ("typegetter", typegetter_ops),
]


def all_ops():
    ops = {}
    for module, make in MODULES:
        ops.update({f"{module} {name}": fn for name, fn in make().items()})
    return ops
