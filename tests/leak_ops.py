"""The main operations of every module, failures included, as no-argument
callables: run many times by the leak checks (tracemalloc here, and total
reference counts under a debug interpreter)."""
import copy
import pickle

from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag


def raises(exc, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc}")
    return run


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
        pickle.loads(pickle.dumps(bag))
        copy.deepcopy(bag)
        copy.copy(bag)

    bag["v"] = 5
    return {
        "build": build,
        "reads": reads,
        "writes": writes,
        "copies": copies,
        "conflict": raises(KeyError, bag.__setitem__, "v.x", 1),
        "missing": raises(KeyError, bag.__getitem__, "zz.y"),
        "bad update": raises(TypeError, bag.update, [("a", 1, 2)]),
        "arg error": raises(TypeError, bag.__getitem__, 1, 2),
        "self kw": raises(TypeError, MemberBag, self=1),
        "deep": raises(RecursionError, NestedMemberBag, _self_containing()),
    }


def _self_containing():
    d = {}
    d["d"] = d
    return d


def all_ops():
    ops = {}
    for module, make in [("memberbag", memberbag_ops)]:
        ops.update({f"{module} {name}": fn for name, fn in make().items()})
    return ops



