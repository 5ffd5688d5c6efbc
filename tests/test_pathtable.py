"""tavrin.datastructures.pathtable: flattening walk, IndexMarker, PathTable list
operations and reconstruct."""
import copy
import gc
import pickle
import subprocess
import sys
import types
import weakref
from collections import OrderedDict, UserDict, namedtuple
from collections.abc import Generator, Mapping, MutableMapping

import pytest
from conftest import outcome, run, swapped_pair
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrin.datastructures import pathtable
from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable

PAIR_ERROR = "PathTable only accepts a tuple of path/obj"


# ---------------------------------------------------------------- models


def model_flatten(indict, path=None):
    """The walk in its recursive form: one generator per nesting level."""
    if path:
        path = path[:]
    else:
        path = ()
    if isinstance(indict, MutableMapping):
        for key, value in indict.items():
            if isinstance(value, (MutableMapping, list, tuple)) and value:
                yield from model_flatten(value, path + (key,))
            else:
                yield DictItem(path + (key,), value)
    elif isinstance(indict, (list, tuple)):
        for index, value in enumerate(indict):
            if isinstance(value, (MutableMapping, list, tuple)) and value:
                yield from model_flatten(value, path + (IndexMarker(indict, index),))
            else:
                yield DictItem(path + (IndexMarker(indict, index),), value)
    else:
        yield indict


def model_reconstruct(table):
    """The way back as plain steps (mutating, tuple-replacing), for tables
    without the cases where the module deliberately does better."""
    ret = {}
    prev_ptr = prev_k = tuple_ptr = tuple_k = k = None
    for path, obj in table:
        ptr = ret
        path = list(path)
        while path:
            k = path.pop(0)
            if isinstance(k, IndexMarker):
                if type(ptr) is not k.type_:
                    prev_ptr[prev_k] = k.type_(({},))
                else:
                    try:
                        ptr[k.index]
                    except IndexError:
                        ptr += k.type_(({},))
                if k.type_ is tuple:
                    tuple_ptr, tuple_k = prev_ptr, prev_k
                prev_ptr = prev_ptr[prev_k]
                prev_k = -1
                ptr = prev_ptr[prev_k]
            else:
                if isinstance(ptr, MutableMapping):
                    ptr[k] = ptr.get(k, {})
                else:
                    ptr += type(ptr)(({k: {}},))
                    ptr = ptr[-1]
                prev_ptr, prev_k = ptr, k
                ptr = ptr[k]
        if isinstance(k, IndexMarker) and k.type_ is tuple:
            if tuple_ptr[tuple_k] == ({},):
                tuple_ptr[tuple_k] = (obj,)
            else:
                prev_ptr += (obj,)
                tuple_ptr[tuple_k] = prev_ptr
        else:
            prev_ptr[prev_k] = obj
    return ret


def shape(path):
    """A path with markers shown as their text form (markers compare by identity)."""
    return tuple(repr(c) if isinstance(c, IndexMarker) else c for c in path)


def shapes(entries):
    return [(shape(p), v) if isinstance(p, tuple) else p for p, v in entries]


def M(type_, index):
    marker = IndexMarker.__new__(IndexMarker)
    marker.type_, marker.index = type_, index
    return marker


def typed(x):
    """Structure with container types spelled out, for exact round trips."""
    if isinstance(x, Mapping):
        return ("map", [(k, typed(v)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [typed(v) for v in x])
    return x


leaves = st.one_of(st.integers(-5, 5), st.text("ab", max_size=2), st.none(), st.just({}), st.just([]), st.just(()))
nested = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.dictionaries(st.text("abc", min_size=1, max_size=2), inner, max_size=3),
        st.lists(inner, max_size=3),
        st.lists(inner, max_size=3).map(tuple),
    ),
    max_leaves=12,
)
documents = st.dictionaries(st.text("abc", min_size=1, max_size=2), nested, max_size=4)
quick = settings(max_examples=60, deadline=None)


# ------------------------------------------------------------ module frame


def test_module_names_in_body_order():
    names = [n for n in vars(pathtable) if not n.startswith("__")]
    assert names == ["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "PathTable"]
    from collections import namedtuple as nt

    assert pathtable.namedtuple is nt and pathtable.MutableMapping is MutableMapping
    assert not hasattr(pathtable, "__all__")


def test_dictitem_is_a_namedtuple_of_this_module():
    assert issubclass(DictItem, tuple) and DictItem._fields == ("path", "value")
    item = DictItem(("a", "b"), 1)
    assert repr(item) == "DictItem(path=('a', 'b'), value=1)"
    assert DictItem.__module__ == "tavrin.datastructures.pathtable"
    assert pickle.loads(pickle.dumps(item)) == item


def test_classes_are_ordinary_classes():
    assert PathTable.__bases__ == (list,) and type(PathTable) is type
    assert IndexMarker.__bases__ == (object,) and IndexMarker.__doc__ is None
    for cls in (PathTable, IndexMarker):
        assert cls.__module__ == "tavrin.datastructures.pathtable"
    assert PathTable.__qualname__ == "PathTable"
    own = [n for n in vars(PathTable) if n not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                                              "__slotnames__")]  # copyreg caches it on first pickle
    assert own == ["__init__", "__flatten__", "__setitem__", "append", "extend", "insert", "reconstruct"]
    assert isinstance(vars(PathTable)["__flatten__"], staticmethod)
    assert "new\ndictionary" in PathTable.__doc__
    assert PathTable.__setitem__.__doc__ is None
    assert "new dict every time" in PathTable.reconstruct.__doc__
    for name in ("append", "insert", "extend", "__init__", "__flatten__"):
        assert getattr(PathTable, name).__doc__


def test_second_import_in_a_fresh_module_object_is_refused():
    code = (
        "import importlib.util, sys\n"
        "import tavrin.datastructures.pathtable as m\n"
        "spec = importlib.util.find_spec('tavrin.datastructures.pathtable')\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec).__loader__.exec_module(importlib.util.module_from_spec(spec))\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=_env())
    assert "Module 'pathtable' has already been imported. Re-initialisation is not supported." in out.stdout


def _env():
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


# ------------------------------------------------------------- IndexMarker


class Row(list):
    pass


@pytest.mark.parametrize(
    "seq, index, text",
    [([1], 0, "list[0]"), ((1, 2, 3), 2, "tuple[2]"), (Row(), 1, "Row[1]"), ([], "7", "list[7]"), ([], 3.9, "list[3]")],
)
def test_marker_attributes_and_text(seq, index, text):
    marker = IndexMarker(seq, index)
    assert marker.type_ is type(seq) and marker.index == int(index) and type(marker.index) is int
    assert repr(marker) == text
    assert vars(marker) == {"type_": type(seq), "index": int(index)}


def test_marker_keeps_an_int_index_and_not_the_sequence():
    big = 10**30
    seq = [1]
    marker = IndexMarker(seq, big)
    assert marker.index is big
    assert seq not in vars(marker).values()


def test_marker_sets_type_then_index():
    log = []

    class Spy(IndexMarker):
        def __setattr__(self, name, value):
            log.append(name)
            super().__setattr__(name, value)

    Spy([], 1)
    assert log == ["type_", "index"]


@pytest.mark.parametrize("index, exc", [("x", ValueError), (None, TypeError), ([], TypeError)])
def test_marker_bad_index_leaves_type_set(index, exc):
    marker = IndexMarker.__new__(IndexMarker)
    with pytest.raises(exc):
        marker.__init__((), index)
    assert marker.type_ is tuple and not hasattr(marker, "index")


def test_marker_equality_and_hash_are_identity():
    a, b = IndexMarker([], 0), IndexMarker([], 0)
    assert a == a and a != b and len({a, b}) == 2 and hash(a) == object.__hash__(a)


def test_marker_text_uses_current_attributes():
    marker = IndexMarker([], 0)
    marker.type_, marker.index = Row, "five"
    assert repr(marker) == "Row[five]"
    marker.type_ = 5
    with pytest.raises(AttributeError):
        repr(marker)


# ------------------------------------------------------------------- walk


def test_flatten_examples():
    t = PathTable({"a": {"b": 1}, "c": [5, 6]})
    assert repr(t) == (
        "[DictItem(path=('a', 'b'), value=1), DictItem(path=('c', list[0]), value=5), "
        "DictItem(path=('c', list[1]), value=6)]"
    )
    assert list(PathTable({"a": {"b": {"c": 1, "d": 2}}})) == [(("a", "b", "c"), 1), (("a", "b", "d"), 2)]
    assert shapes(PathTable({"a": [[1, 2]]})) == [(("a", "list[0]", "list[0]"), 1), (("a", "list[0]", "list[1]"), 2)]
    assert all(type(e) is DictItem for e in PathTable({"a": [1, {"b": 2}]}))


def test_empty_containers_and_other_leaves_are_the_inputs_objects():
    doc = {"a": {}, "b": [], "c": (), "d": "", "e": frozenset(), "f": types.MappingProxyType({"x": 1}), "g": b"xy"}
    t = PathTable(doc)
    assert [e.path for e in t] == [(k,) for k in doc]
    assert all(e.value is doc[e.path[0]] for e in t)


def test_one_marker_per_element_shared_below_it():
    t = PathTable({"a": [1, {"b": 2, "c": 3}]})
    m0, m1, m1b = t[0].path[1], t[1].path[1], t[2].path[1]
    assert m1 is m1b and m0 is not m1
    assert (m0.type_, m0.index, m1.type_, m1.index) == (list, 0, list, 1)


def test_named_tuples_and_subclasses_are_walked_with_their_type():
    Point = namedtuple("Point", "x y")
    t = PathTable({"p": Point(1, 2), "r": Row([3])})
    assert shapes(t) == [(("p", "Point[0]"), 1), (("p", "Point[1]"), 2), (("r", "Row[0]"), 3)]


def test_tables_compare_equal_only_without_markers():
    assert PathTable({"a": {"b": 1}}) == PathTable({"a": {"b": 1}})
    assert PathTable({"a": [1]}) != PathTable({"a": [1]})


@quick
@given(documents)
def test_walk_order_matches_the_recursive_form(doc):
    assert shapes(PathTable(doc)) == shapes(model_flatten(doc))
    assert shapes(PathTable.__flatten__(doc, ("root",))) == shapes(model_flatten(doc, ("root",)))


@pytest.mark.parametrize(
    "indict, expected",
    [
        (5, [5]),
        ("ab", ["ab"]),
        ([1, 2], [(("list[0]",), 1), (("list[1]",), 2)]),
        ((), []),
        ({}, []),
    ],
)
def test_flatten_of_non_mappings(indict, expected):
    assert shapes_or_objects(PathTable.__flatten__(indict)) == expected


def shapes_or_objects(gen):
    return [(shape(x.path), x.value) if isinstance(x, DictItem) else x for x in gen]


@pytest.mark.parametrize(
    "path, first",
    [
        (None, ("a",)),
        ((), ("a",)),
        (0, ("a",)),
        ("", ("a",)),
        (("p", "q"), ("p", "q", "a")),
        (DictItem("p", "q"), ("p", "q", "a")),
    ],
)
def test_flatten_path_prefix(path, first):
    assert next(PathTable.__flatten__({"a": 1}, path)).path == first
    assert next(PathTable.__flatten__(indict={"a": 1}, path=path)).path == first


@pytest.mark.parametrize(
    "path, exc, text",
    [
        (5, TypeError, "'int' object is unsliceable"),
        (object(), TypeError, "'object' object is unsliceable"),
        (["p"], TypeError, 'can only concatenate list (not "tuple") to list'),
        ("ab", TypeError, 'can only concatenate str (not "tuple") to str'),
    ],
)
def test_flatten_bad_path_fails_on_first_advance(path, exc, text):
    gen = PathTable.__flatten__({"a": 1}, path)  # returns at once
    with pytest.raises(exc) as info:
        next(gen)
    assert str(info.value) == text
    assert next(gen, "done") == "done"


def test_path_objects_of_other_types_are_extended_with_plus():
    class P(tuple):
        def __getitem__(self, i):
            return Q(tuple.__getitem__(self, i))

    class Q(tuple):
        def __add__(self, other):
            return Q(tuple(self) + other + ("+",))

        def __bool__(self):
            return True

    got = shapes(PathTable.__flatten__({"a": {"b": 1}, "c": [2]}, P(("p",))))
    assert got == shapes(model_flatten({"a": {"b": 1}, "c": [2]}, P(("p",))))
    assert got[0][0] == ("p", "a", "+", "b")


# ----------------------------------------------------- calls on the input


def recording_types(log):
    class RDict(dict):
        def items(self):
            log.append(("items", self.get("name")))
            return super().items()

        def __bool__(self):
            log.append(("bool", self.get("name")))
            return bool(len(self))

    class RList(list):
        def __iter__(self):
            log.append(("iter", len(self)))
            return super().__iter__()

        def __bool__(self):
            log.append(("bool-list", len(self)))
            return bool(len(self))

    class Leaf:
        def __init__(self, name):
            self.name = name

        @property
        def __class__(self):
            log.append(("class", self.name))
            return Leaf

    class MM(MutableMapping):
        def __init__(self, **kw):
            self.d = dict(kw)

        def __getitem__(self, k):
            return self.d[k]

        def __setitem__(self, k, v):
            self.d[k] = v

        def __delitem__(self, k):
            del self.d[k]

        def __iter__(self):
            log.append(("mm-iter",))
            return iter(self.d)

        def __len__(self):
            log.append(("mm-len",))
            return len(self.d)

    return RDict, RList, Leaf, MM


def build_recorded(log):
    RDict, RList, Leaf, MM = recording_types(log)
    return RDict(
        name="top",
        a=RDict(name="inner", x=Leaf("x"), e=RDict()),
        b=RList([Leaf("l0"), RList([]), (Leaf("t0"),), RDict(name="in-list", y=1)]),
        c=MM(k=Leaf("k"), m=MM()),
    )


def named(entries):
    return [(shape(p), getattr(v, "name", v)) for p, v in entries]


def test_same_calls_on_the_input_as_the_recursive_form():
    model_log, our_log = [], []
    model_doc, our_doc = build_recorded(model_log), build_recorded(our_log)
    model_log.clear()
    our_log.clear()
    expected = named(model_flatten(model_doc))
    model_calls = list(model_log)
    got = named(PathTable(our_doc))
    our_calls = list(our_log)  # comparing the empty mapping leaf iterates it
    assert got == expected
    assert our_calls == model_calls
    assert ("items", "top") in our_log and ("class", "x") in our_log and ("mm-iter",) in our_log


def test_generator_is_lazy_and_interleaves_like_the_recursive_form():
    log = []
    doc = build_recorded(log)
    log.clear()
    gen = PathTable.__flatten__(doc)
    assert log == []
    first = next(gen)
    assert log and first.path == ("name",)
    steps = []
    for entry in gen:
        steps.append((len(log), shape(entry.path)))
    model_log = []
    doc2 = build_recorded(model_log)
    model_log.clear()
    mgen = model_flatten(doc2)
    next(mgen)
    model_steps = [(len(model_log), shape(e.path)) for e in mgen]
    assert steps == model_steps


# -------------------------------------------------------- generator object


def test_generator_identity():
    gen = PathTable.__flatten__({})
    assert gen.__name__ == "__flatten__" and gen.__qualname__ == "PathTable.__flatten__"
    assert repr(gen).startswith("<generator object PathTable.__flatten__ at 0x")
    assert isinstance(gen, Generator) and iter(gen) is gen and gen.gi_running is False
    gen.__name__ = "renamed"
    assert gen.__name__ == "renamed"
    with pytest.raises(TypeError):
        gen.__qualname__ = 5
    assert weakref.ref(gen)() is gen
    assert PathTable().__flatten__ is PathTable.__flatten__
    with pytest.raises(TypeError):
        type(gen)()


def reference_gen():
    yield ("a",), 1
    yield ("b",), 2


def two_entries():
    return PathTable.__flatten__({"a": 1, "b": 2})


OPERATIONS = {
    "next": lambda g: next(g),
    "send(None)": lambda g: g.send(None),
    "send(1)": lambda g: g.send(1),
    "throw(ValueError)": lambda g: g.throw(ValueError("x")),
    "throw(StopIteration)": lambda g: g.throw(StopIteration),
    "throw(GeneratorExit)": lambda g: g.throw(GeneratorExit),
    "throw(5)": lambda g: g.throw(5),
    "throw()": lambda g: g.throw(),
    "close": lambda g: g.close(),
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("state", ["new", "suspended", "finished"])
@pytest.mark.parametrize("op", list(OPERATIONS))
def test_generator_protocol_matches_the_interpreters_generators(state, op):
    results = []
    for make in (reference_gen, two_entries):
        gen = make()
        if state == "suspended":
            next(gen)
        elif state == "finished":
            list(gen)
        # The protocol's exceptions are the point: GeneratorExit included.
        first = outcome(lambda: OPERATIONS[op](gen), BaseException)
        after = outcome(lambda: next(gen), BaseException)
        results.append((first, after))
    assert results[0] == results[1]


def test_thrown_exception_is_the_one_given():
    gen = two_entries()
    next(gen)
    exc = KeyError("k")
    with pytest.raises(KeyError) as info:
        gen.throw(exc)
    assert info.value is exc


def test_reentering_a_running_generator_is_refused():
    box = {}

    class Sneaky(dict):
        def __bool__(self):
            box["err"] = outcome(lambda: next(box["gen"]), BaseException)
            box["running"] = box["gen"].gi_running
            box["close"] = outcome(lambda: box["gen"].close(), BaseException)
            return True

    box["gen"] = PathTable.__flatten__({"a": Sneaky(b=1)})
    assert list(box["gen"]) == [(("a", "b"), 1)]
    assert box["err"] == (ValueError, ("generator already executing",), type(None))
    assert box["close"] == box["err"] and box["running"] is True


class Hooked(MutableMapping):
    """A mapping whose items() runs `hook` between its two entries."""

    def __init__(self, hook):
        self.hook = hook

    def items(self):
        yield "a", 0
        self.hook()
        yield "b", 1

    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None


def hooked_reference(hook):
    yield ("a",), 0
    hook()
    yield ("b",), 1


def run_reentered(make, op):
    """Steps a generator to its end while `op` is applied to it from inside
    its own second step; every outcome, in order."""
    inside = []
    gen = make(lambda: inside.append(outcome(lambda: op(gen))))
    steps = [outcome(lambda: next(gen)) for _ in range(3)]
    return inside, steps


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("op", list(OPERATIONS))
def test_generator_used_from_inside_its_items_as_a_python_one(op):
    ours = run_reentered(lambda hook: PathTable.__flatten__(Hooked(hook)), OPERATIONS[op])
    assert ours == run_reentered(hooked_reference, OPERATIONS[op])


INIT_ACTIONS = {
    "next": lambda g: next(g),
    "close": lambda g: g.close(),
    "throw": lambda g: g.throw(KeyError("inner")),
}


@pytest.mark.parametrize("state", ["new", "suspended", "finished"])
@pytest.mark.parametrize("action", list(INIT_ACTIONS))
def test_thrown_exception_whose_init_uses_the_generator(state, action):
    # The exception is made before the generator runs: its __init__ may
    # advance, throw into or close the very generator it is thrown into.
    box = {}

    class Thrown(Exception):
        def __init__(self):
            super().__init__()
            box["seen"].append(outcome(lambda: INIT_ACTIONS[action](box["gen"])))

    results = []
    for make in (reference_gen, two_entries):
        gen = box["gen"] = make()
        seen = box["seen"] = []
        if state == "suspended":
            next(gen)
        elif state == "finished":
            list(gen)
        results.append((outcome(lambda: gen.throw(Thrown)), seen, outcome(lambda: next(gen)), gen.gi_running))
    assert results[0] == results[1]


def test_suspended_generator_in_a_cycle_is_collected():
    doc = {"a": [1, 2]}
    gen = PathTable.__flatten__(doc)
    next(gen)
    doc["self"] = gen
    ref = weakref.ref(gen)
    del gen, doc
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------- bad input


def self_containing_dict():
    d = {"a": 1}
    d["me"] = d
    return d


def self_containing_list():
    lst = [1]
    lst.append(lst)
    return {"l": lst}


@pytest.mark.parametrize("make", [self_containing_dict, self_containing_list])
def test_self_containing_input_ends_in_recursion_error(make):
    with pytest.raises(RecursionError):
        PathTable(make())
    gen = PathTable.__flatten__(make())
    with pytest.raises(RecursionError):
        list(gen)
    assert next(gen, "done") == "done"


def test_deep_but_finite_input_is_fine():
    doc = leaf = {}
    for _ in range(300):
        leaf["k"] = {}
        leaf = leaf["k"]
    leaf["v"] = 1
    (entry,) = PathTable(doc)
    assert entry.path == ("k",) * 300 + ("v",)


class Boom(Exception):
    pass


class ItemsRaise(dict):
    def items(self):
        raise Boom("items")


class BoolRaise(list):
    def __bool__(self):
        raise Boom("bool")


class IterRaise(list):
    def __iter__(self):
        yield 1
        raise Boom("iter")


class OddItems(dict):
    def items(self):
        return [("a", 1), ("b",)]


@pytest.mark.parametrize(
    "doc, exc, text",
    [
        ({"x": ItemsRaise(a=1)}, Boom, "items"),
        ({"x": BoolRaise([1])}, Boom, "bool"),
        ({"x": IterRaise([1, 2])}, Boom, "iter"),
        ({"x": OddItems(a=1)}, ValueError, "not enough values to unpack (expected 2, got 1)"),
    ],
)
def test_errors_of_the_input_propagate_and_finish_the_walk(doc, exc, text):
    with pytest.raises(exc, match=r"^" + __import__("re").escape(text) + "$"):
        PathTable(doc)
    gen = PathTable.__flatten__(doc)
    with pytest.raises(exc):
        list(gen)
    assert next(gen, "done") == "done"


class ItemsStop(dict):
    def items(self):
        raise StopIteration


class BoolStop(list):
    def __bool__(self):
        raise StopIteration


@pytest.mark.parametrize("inner", [ItemsStop(a=1), BoolStop([1])])
def test_stop_iteration_from_the_input_is_no_quiet_end(inner):
    doc = {"a": 1, "x": inner, "z": 2}
    for walk in (model_flatten, PathTable.__flatten__):
        gen = walk(doc)
        assert next(gen) == (("a",), 1)
        with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
            next(gen)
        assert type(info.value.__cause__) is StopIteration and next(gen, "done") == "done"
    with pytest.raises(RuntimeError) as info:
        PathTable(doc)
    assert type(info.value.__cause__) is StopIteration


def test_input_mutated_during_the_walk():
    class Grows(dict):
        def __bool__(self):
            doc["new"] = 1
            return True

    doc = {"a": Grows(x=1), "b": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        PathTable(doc)

    class Shrinks(list):
        def __bool__(self):
            outer.clear()
            return True

    outer = [Shrinks([1]), 2, 3]
    assert shapes(PathTable({"o": outer})) == [(("o", "list[0]", "Shrinks[0]"), 1)]


def test_mutation_between_advances_is_seen_like_the_recursive_form():
    doc = {"l": [1, 2, 3]}
    gen = PathTable.__flatten__(doc)
    next(gen)
    doc["l"].append(4)
    assert [e.value for e in gen] == [2, 3, 4]


# ------------------------------------------------------------ construction


def test_construction_from_mappings():
    assert PathTable() == [] and PathTable({}) == []
    assert list(PathTable(OrderedDict(b=1, a=2))) == [(("b",), 1), (("a",), 2)]
    assert list(PathTable(UserDict(a={"b": 1}))) == [(("a", "b"), 1)]


def test_construction_from_pairs_stores_them_unchanged():
    pairs = [(("a",), 1), [("b",), 2], "xy", DictItem(("c",), 3)]
    t = PathTable(pairs)
    assert list(t) == pairs and all(a is b for a, b in zip(t, pairs))
    assert type(t[0]) is tuple


def test_construction_reads_a_one_shot_iterable_once():
    t = PathTable(iter([(("a",), 1), (("b",), 2)]))
    assert list(t) == [(("a",), 1), (("b",), 2)]
    t = PathTable((p, v) for p, v in [(("x",), 1)])
    assert list(t) == [(("x",), 1)]


def test_construction_from_a_read_only_mapping_uses_its_keys():
    assert list(PathTable(types.MappingProxyType({"ab": 1}))) == ["ab"]
    with pytest.raises(ValueError, match=PAIR_ERROR):
        PathTable(types.MappingProxyType({"abc": 1}))


class IterBoom:
    def __iter__(self):
        raise Boom("no")


@pytest.mark.parametrize(
    "arg, context",
    [
        (5, TypeError),
        ([(("a",), 1, 2)], ValueError),
        ([5], TypeError),
        ([(("a",), 1), ("b",)], ValueError),
        (IterBoom(), Boom),
    ],
)
def test_construction_refuses_non_pairs_with_context(arg, context):
    with pytest.raises(ValueError) as info:
        PathTable(arg)
    assert str(info.value) == PAIR_ERROR
    assert type(info.value.__context__) is context


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_pass_through_the_checks(exc):
    class Stop:
        def __iter__(self):
            raise exc("stop")

    with pytest.raises(exc):
        PathTable(Stop())
    with pytest.raises(exc):
        PathTable([Stop()])
    t = PathTable()
    for op in (t.append, lambda x: t.insert(0, x), lambda x: t.__setitem__(0, x), lambda x: t.extend([x])):
        with pytest.raises(exc):
            op(Stop())
    assert t == []


def test_construction_argument_errors():
    def __init__(self, *args):
        pass

    __init__.__qualname__ = "PathTable.__init__"
    with pytest.raises(TypeError) as ours:
        PathTable(a=1)
    with pytest.raises(TypeError) as theirs:
        __init__(None, a=1)
    assert str(ours.value) == str(theirs.value)
    with pytest.raises(TypeError, match="expected at most 1 argument"):
        PathTable([], [])
    with pytest.raises(ValueError, match=PAIR_ERROR):
        PathTable([1], [])  # the check comes first


def test_walk_errors_propagate_from_construction():
    with pytest.raises(Boom):
        PathTable({"x": ItemsRaise(a=1)})


def test_subclass_overrides_do_not_change_construction_or_extend():
    class Loud(PathTable):
        def append(self, item):
            raise AssertionError("not used")

        @staticmethod
        def __flatten__(indict, path=None):
            raise AssertionError("not used")

    t = Loud({"a": [1]})
    t.extend([(("b",), 2)])
    assert shapes(t) == [(("a", "list[0]"), 1), (("b",), 2)]
    assert type(t) is Loud


def test_next_class_in_the_mro_is_used():
    calls = []

    class Middle(list):
        def __init__(self, *args):
            calls.append(("init", len(args)))
            super().__init__(*args)

        def append(self, x):
            calls.append(("append", type(x).__name__))
            super().append(x)

        def insert(self, i, x):
            calls.append(("insert", i))
            super().insert(i, x)

        def extend(self, xs):
            calls.append(("extend", len(xs)))
            super().extend(xs)

        def __setitem__(self, i, x):
            calls.append(("setitem", i))
            super().__setitem__(i, x)

    class Mixed(PathTable, Middle):
        pass

    t = Mixed({"a": 1})
    t.append((("b",), 2))
    t.insert(0, (("c",), 3))
    t.extend([(("d",), 4)])
    t[0] = (("e",), 5)
    m = Mixed([(("z",), 0)])
    assert calls == [
        ("init", 1),
        ("append", "DictItem"),
        ("insert", 0),
        ("extend", 1),
        ("setitem", 0),
        ("init", 1),
    ]
    assert list(t) == [(("e",), 5), (("a",), 1), (("b",), 2), (("d",), 4)]
    assert list(m) == [(("z",), 0)]


def test_reinitialising_replaces_the_entries():
    t = PathTable({"a": 1})
    t.__init__({"b": 2})
    assert list(t) == [(("b",), 2)]


# ----------------------------------------------------------- list operations


@pytest.mark.parametrize(
    "item, stored",
    [
        ((("x",), 1), DictItem(("x",), 1)),
        ([("x",), 1], DictItem(("x",), 1)),
        ("ab", DictItem("a", "b")),
        (iter([("x",), 1]), DictItem(("x",), 1)),
    ],
)
def test_append_and_insert_store_dictitems(item, stored):
    t = PathTable()
    t.append(item)
    assert type(t[0]) is DictItem and t[0] == stored
    t2 = PathTable([(("z",), 0)])
    t2.insert(index=0, item=item if not isinstance(item, type(iter([]))) else iter(stored))
    assert type(t2[0]) is DictItem and t2[0] == stored


def test_setitem_stores_plain_tuples():
    t = PathTable([(("a",), 1), (("b",), 2), (("c",), 3)])
    t[0] = [("x",), 1]
    assert type(t[0]) is tuple and t[0] == (("x",), 1)
    item = DictItem(("y",), 2)
    t[1] = item
    assert type(t[1]) is tuple and t[1] == item
    same = (("z",), 3)
    t.__setitem__(index=2, item=same)
    assert t[2] is same
    t[0] = iter([("one",), "shot"])
    assert t[0] == (("one",), "shot")


def test_slice_assignment_takes_the_pair_as_the_new_entries():
    p, q = (("p",), 1), (("q",), 2)
    t = PathTable([(("a",), 1), (("b",), 2), (("c",), 3)])
    t[0:2] = [p, q]
    assert t[0] is p and t[1] is q and len(t) == 3
    with pytest.raises(ValueError, match=PAIR_ERROR):
        t[0:1] = [p]


BAD_ITEMS = [5, (1, 2, 3), "abc", None, ()]


@pytest.mark.parametrize("bad", BAD_ITEMS)
@pytest.mark.parametrize(
    "op",
    [
        lambda t, x: t.append(x),
        lambda t, x: t.insert(0, x),
        lambda t, x: t.insert("not an index", x),
        lambda t, x: t.__setitem__(0, x),
        lambda t, x: t.__setitem__(99, x),
        lambda t, x: t.extend([(("ok",), 1), x]),
    ],
)
def test_operations_refuse_non_pairs_and_leave_the_table_alone(op, bad):
    t = PathTable([(("a",), 1)])
    before = list(t)
    with pytest.raises(ValueError) as info:
        op(t, bad)
    assert str(info.value) == PAIR_ERROR and info.value.__context__ is not None
    assert list(t) == before


@pytest.mark.parametrize(
    "op, exc",
    [
        (lambda t: t.__setitem__(5, (("x",), 1)), IndexError),
        (lambda t: t.__setitem__("k", (("x",), 1)), TypeError),
        (lambda t: t.insert("k", (("x",), 1)), TypeError),
        (lambda t: t.extend(5), TypeError),
    ],
)
def test_list_errors_after_a_passed_check(op, exc):
    t = PathTable([(("a",), 1)])
    with pytest.raises(exc):
        op(t)
    assert list(t) == [(("a",), 1)]


def test_insert_positions_as_list_insert():
    t = PathTable([(("a",), 1), (("b",), 2)])
    t.insert(-1, (("m",), 0))
    t.insert(100, (("z",), 9))
    t.insert(-100, (("first",), 0))
    assert [e[0][0] for e in t] == ["first", "a", "m", "b", "z"]


def test_extend_is_all_or_nothing_and_reads_once():
    t = PathTable()
    t.extend(iter([(("a",), 1), (("b",), 2)]))
    assert list(t) == [(("a",), 1), (("b",), 2)] and all(type(e) is DictItem for e in t)
    t.extend(t)
    assert len(t) == 4 and t[2] == t[0] and t[2] is not t[0]
    t.extend(items=[])
    with pytest.raises(ValueError, match=PAIR_ERROR):
        t.extend([(("c",), 3), (("d",), 4), 5])
    assert len(t) == 4
    t.extend({"xy": 0})  # a mapping's keys are its elements
    assert t[-1] == ("x", "y")


def test_inherited_operations_neither_check_nor_convert():
    t = PathTable([(("a",), 1)])
    t += [("b",)]
    assert t[-1] == ("b",)
    assert type(t[:]) is list and type(t + t) is list and type(t.copy()) is list
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        t.reconstruct()  # the entry added by += breaks the pair rule
    t.sort(key=len)
    t.reverse()
    del t[1]
    assert t == [(("a",), 1)] and t.reconstruct() == {"a": 1}


def test_pickle_and_copy_round_trip():
    t = PathTable({"a": [1, {"b": (2, 3)}]})
    for clone in (pickle.loads(pickle.dumps(t)), copy.copy(t), copy.deepcopy(t)):
        assert type(clone) is PathTable and shapes(clone) == shapes(t)
        assert clone.reconstruct() == t.reconstruct()


# ------------------------------------------------------------- reconstruct


def test_reconstruct_returns_a_new_dict_each_time():
    for t in (PathTable(), PathTable({})):
        a, b = t.reconstruct(), t.reconstruct()
        assert a == {} and a is not b


def test_round_trip_keeps_leaf_identity():
    d = {"a": {"b": 1, "c": [1, {"d": 2}, [3, 4]]}, "e": (5, 6), "f": [(7, 8)], "g": [], "o": OrderedDict(x=1)}
    r = PathTable(d).reconstruct()
    assert r == d and typed(r) == typed(d)
    assert type(r["o"]) is dict
    assert r["g"] is d["g"]
    assert r["a"]["c"][1]["d"] is d["a"]["c"][1]["d"]


@quick
@given(documents)
def test_round_trip_of_any_nesting(doc):
    table = PathTable(doc)
    rebuilt = table.reconstruct()
    assert rebuilt == doc and typed(rebuilt) == typed(doc)
    assert shapes(table) == shapes(PathTable(doc))  # the table is unchanged


L0, L1, L5, T0, T1 = M(list, 0), M(list, 1), M(list, 5), M(tuple, 0), M(tuple, 1)


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([(("a",), 1), (("a",), 2)], {"a": 2}),
        ([(("a", L0), 1), (("a", L5), 2)], {"a": [1, 2]}),
        ([(("a", L0), 1), (("a", L1), 2), (("a", L0), 3)], {"a": [1, 3]}),
        ([(("a", "x"), 1), (("a", L0), 2)], {"a": [2]}),
        ([(("a", L0), 1), (("a", "b"), 2)], {"a": [1, {"b": 2}]}),
        ([(["a", "b"], 1)], {"a": {"b": 1}}),
        ([("ab", 1)], {"a": {"b": 1}}),
        ([(("e", T0), 5), (("e", T1), 6)], {"e": (5, 6)}),
        ([(("e", T0), 5), (("e", T0), 6)], {"e": (5, 6)}),
        ([(("f", L0, T0), 7), (("f", L0, T1), 8)], {"f": [(7, 8)]}),
        ([(("a", "b", "c"), 1), (("a", "d"), 2), (("e",), 3)], {"a": {"b": {"c": 1}, "d": 2}, "e": 3}),
    ],
)
def test_reconstruct_results(entries, expected):
    table = PathTable(entries)
    got = table.reconstruct()
    assert got == expected and typed(got) == typed(expected)
    assert got == model_reconstruct(table)


@pytest.mark.parametrize("leaf", [1, "s", None])
def test_path_below_a_stored_scalar_raises_type_error(leaf):
    with pytest.raises(TypeError):
        PathTable([(("a",), leaf), (("a", "b"), 2)]).reconstruct()


@pytest.mark.parametrize(
    "entry, exc, text",
    [
        ((("a",), 1, 2), ValueError, "too many values to unpack (expected 2)"),
        ((("a",),), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (5, TypeError, "'int' object is not iterable"),
        ((5, 1), TypeError, "'int' object is not iterable"),
        (((), 1), ValueError, "PathTable entry 0 has an empty path"),
        (((L0,), 1), ValueError, "PathTable entry 0 has a path that starts with a sequence position"),
        ((("a", M(dict, 0)), 1), TypeError, "IndexMarker.type_ must be a list or tuple type"),
    ],
)
def test_reconstruct_refuses_bad_entries(entry, exc, text):
    t = PathTable()
    list.append(t, entry)
    with pytest.raises(exc) as info:
        t.reconstruct()
    assert text in str(info.value)


def test_later_bad_entry_is_numbered_and_nothing_is_returned():
    t = PathTable([(("a",), 1), ((), 2)])
    with pytest.raises(ValueError, match="entry 1 has an empty path"):
        t.reconstruct()


# Choices where a table goes beyond what the walk produces.


def test_paths_through_stored_containers_work_on_copies():
    stored = {"x": 1}
    lst = [1, 2]
    tup = (1,)
    t = PathTable([(("m",), stored), (("m", "y"), 2), (("l",), lst), (("l", L0), 9), (("t",), tup), (("t", T0), 2)])
    t.append((("l2",), lst))
    t.append((("l2", "k"), 3))
    r = t.reconstruct()
    assert r == {"m": {"x": 1, "y": 2}, "l": [1, 9], "t": (1, 2), "l2": [1, 2, {"k": 3}]}
    assert stored == {"x": 1} and lst == [1, 2] and tup == (1,)
    assert r["m"] is not stored
    t2 = PathTable([(("m",), UserDict(x=1)), (("m", "y"), 2)])
    assert t2.reconstruct() == {"m": {"x": 1, "y": 2}}


def test_tuples_holding_containers_are_rebuilt_faithfully():
    doc = {"t": ({"a": 1}, {"b": 2}), "u": ([1, 2], (3, {"c": 4})), "v": ({}, 1), "w": [({"x": 1},)]}
    assert PathTable(doc).reconstruct() == doc
    assert PathTable([(("a", T0), 1), (("a", "b"), 2)]).reconstruct() == {"a": (1, {"b": 2})}


def test_sequence_subclasses_come_back_as_their_type():
    Point = namedtuple("Point", "x y")

    class Pair(tuple):
        pass

    doc = {"p": Point(1, {"z": 2}), "r": Row([1, Row([2])]), "q": Pair((1, 2))}
    r = PathTable(doc).reconstruct()
    assert r == doc
    assert type(r["p"]) is Point and type(r["r"]) is Row and type(r["r"][1]) is Row and type(r["q"]) is Pair


def test_named_tuple_with_the_wrong_length_reports_it():
    Point = namedtuple("Point", "x y")
    with pytest.raises(TypeError):
        PathTable([(("p", M(Point, 0)), 1)]).reconstruct()


# A tuple key hashes and compares through its items: no key of the fast path.
@pytest.mark.parametrize("wrap", [lambda k: k, lambda k: (k,)], ids=["key", "tuple of key"])
def test_hostile_keys_are_called_as_the_steps_call_them(wrap):
    calls = []

    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            calls.append(("hash", self.name))
            return hash(self.name)

        def __eq__(self, other):
            calls.append(("eq", self.name))
            return isinstance(other, Key) and other.name == self.name

    a, b = wrap(Key("a")), wrap(Key("b"))
    t = PathTable([((a, b), 1), ((a,), 2)])
    model_reconstruct(t)
    expected = list(calls)
    calls.clear()
    got = t.reconstruct()
    assert calls == expected
    assert got == {a: 2}


def test_table_mutated_during_reconstruct():
    class Key(str):
        def __hash__(self):
            if len(table) < 5:
                list.append(table, (("late",), len(table)))
            return str.__hash__(self)

    table = PathTable([((Key("a"), "b"), 1)])
    got = table.reconstruct()
    assert got == {"a": {"b": 1}, "late": 3} and len(table) == 4
    del table[1:]
    assert model_reconstruct(table) == got


# Shared marker objects make consecutive entries share leading components,
# as tables made by the walk do; the gaps and repeats exercise placement.
MARKER_POOL = [M(list, i) for i in (0, 0, 1, 2, 5)]
TUPLE_POOL = [M(tuple, i) for i in (0, 0, 1, 3)]
keys = st.sampled_from(["a", "b", 0])
list_markers = st.one_of(st.builds(M, st.just(list), st.integers(0, 3)), st.sampled_from(MARKER_POOL))
plain_paths = st.tuples(keys, st.lists(st.one_of(keys, list_markers), max_size=3)).map(lambda p: (p[0], *p[1]))
tuple_paths = st.tuples(st.sampled_from(["T", "U"]), st.sampled_from(TUPLE_POOL))
tables = st.lists(st.tuples(st.one_of(plain_paths, tuple_paths), st.integers()), max_size=10)


@quick
@given(tables)
def test_reconstruct_agrees_with_the_plain_steps_on_lists_and_tuples_of_leaves(entries):
    table = PathTable(entries)
    try:
        expected = model_reconstruct(table)
    except TypeError:
        with pytest.raises(TypeError):
            table.reconstruct()
        return
    got = table.reconstruct()
    assert got == expected and typed(got) == typed(expected)


def test_marker_changed_between_entries_is_read_again():
    marker = M(list, 0)

    class Key(str):
        def __hash__(self):
            marker.index = 7  # the next entry's shared marker now points past the end
            return str.__hash__(self)

    entries = [(("a", marker, Key("x")), 1), (("a", marker, "y"), 2)]
    expected = model_reconstruct(PathTable(entries))
    marker.index = 0
    got = PathTable(entries).reconstruct()
    assert got == expected == {"a": [{"x": 1}, {"y": 2}]}


def advance_until_error(it):
    steps = []
    while not steps or steps[-1][0] == "ok":
        steps.append(outcome(lambda: next(it)))
    return steps


# Between two steps of the walk, the dict it is in changes the way a dict's
# own items iterator notices: grown, or as large as before with other keys.
@pytest.mark.parametrize("change", [lambda d: d.update(c=3), lambda d: (d.pop("a"), d.update(c=3))],
                         ids=["grown", "keys-replaced"])
def test_a_dict_changed_between_steps_fails_as_its_items_iterator_would(change):
    runs = []
    for walk in (lambda d: iter(d.items()), lambda d: ((p[0], v) for p, v in PathTable.__flatten__(d))):
        d = {"a": 1, "b": 2}
        it = walk(d)
        next(it)
        change(d)
        runs.append(advance_until_error(it))
    assert runs[0] == runs[1] and runs[0][-1][0] is RuntimeError


# Negative positions count from the end, as `level[index]` does.
@pytest.mark.parametrize("entries, expected", [
    ([(("a", L0), 1), (("a", M(list, -1)), 2)], {"a": [2]}),
    ([(("a", L0), 1), (("a", L1), 2), (("a", M(list, -2)), 3)], {"a": [1, 3]}),
    ([(("a", L0), 1), (("a", M(list, -2)), 2)], {"a": [1, 2]}),
    ([(("a", L0, "x"), 1), (("a", M(list, -1), "y"), 2)], {"a": [{"x": 1, "y": 2}]}),
])
def test_reconstruct_negative_positions(entries, expected):
    table = PathTable(entries)
    assert table.reconstruct() == expected == model_reconstruct(table)


def test_keys_inside_tuples_are_hashed_as_often_as_the_steps_hash_them():
    calls = []

    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            calls.append(self.name)
            return hash(self.name)

    a, b = (Key("a"),), (Key("b"), 1)
    table = PathTable([((a, b), 1), ((a,), 2)])
    model_reconstruct(table)
    expected, calls[:] = list(calls), []
    got = table.reconstruct()
    assert calls == expected and got == {a: 2}


@pytest.mark.parametrize("base", [tuple, list])
def test_entries_that_are_pair_subclasses_are_unpacked_by_iterating_them(base):
    t = PathTable()
    t.append(swapped_pair(base, ("a",), 1))
    t.insert(0, swapped_pair(base, ("b",), 2))
    t[0] = swapped_pair(base, ("c",), 3)
    assert [(type(e), tuple(e)) for e in t] == [(tuple, (("c",), 3)), (DictItem, (("a",), 1))]
    assert t.reconstruct() == {"c": 3, "a": 1}


def test_reconstruct_reads_markers_through_a_patched_class_for_every_entry(monkeypatch):
    reads = []

    def counting(self, name):
        value = object.__getattribute__(self, name)
        if name != "index":
            return value
        reads.append(value)
        return len(reads) - 1  # a position that moves on with every read

    marker = M(list, 0)
    table = PathTable([(("a", marker, "x"), 1), (("a", marker, "y"), 2), (("a", marker, "z"), 3)])
    monkeypatch.setattr(IndexMarker, "__getattribute__", counting)
    got = table.reconstruct()
    reads.clear()
    assert got == model_reconstruct(table) == {"a": [{"x": 1, "y": 2}, {"z": 3}]}


def test_a_plain_type_registered_as_a_mapping_after_use_is_walked_as_one():
    # In a fresh interpreter: a registration can't be undone.
    r = run(
        "import collections.abc\n"
        "from tavrin.datastructures.pathtable import PathTable\n"
        "print(len(PathTable({'a': b'xy'})))\n"
        "collections.abc.MutableMapping.register(bytes)\n"
        "try:\n    PathTable({'a': b'xy'})\nexcept AttributeError as e:\n    print(e)\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["1", "'bytes' object has no attribute 'items'", ""]


def moving_table(how, marker):
    """Three entries through one marker; Python code run before the third
    entry's steps (by the table's iterator, the entry's or its path's, or
    the second entry's last key) moves the marker past the end of its level."""
    armed = []

    def move():
        if armed:
            marker.index = 7

    first, second = (("a", marker, "x"), 1), (("a", marker, "z"), 3)  # the second resumes at the marker
    if how == "table":
        class Moving(PathTable):
            def __iter__(self):
                yield first
                yield second
                move()
                yield ("a", marker, "y"), 2

        table = Moving()
    elif how == "entry":
        class Entry(tuple):
            def __iter__(self):
                move()
                return tuple.__iter__(self)

        table = PathTable([first, second, Entry((("a", marker, "y"), 2))])
    elif how == "key":
        class Key(str):
            def __hash__(self):
                move()
                return str.__hash__(self)

        table = PathTable([first, (("a", marker, Key("z")), 3), (("a", marker, "y"), 2)])
    else:
        class Path(list):
            def __iter__(self):
                move()
                return list.__iter__(self)

        table = PathTable([first, second, (Path(["a", marker, "y"]), 2)])
    armed.append(1)
    return table


@pytest.mark.parametrize("how", ["table", "entry", "path", "key"])
def test_marker_moved_before_an_entry_is_read_again(how):
    assert moving_table(how, M(list, 0)).reconstruct() == {"a": [{"x": 1, "z": 3}, {"y": 2}]}


REGISTERING = {
    # The input's own iterator registers bytes between two of its values,
    # the answer for bytes being known already.
    "by the input": (
        "PathTable({'warm': b'0'})\n"
        "class Registering(dict):\n"
        "    def items(self):\n"
        "        yield 'a', b'1'\n"
        "        MutableMapping.register(bytes)\n"
        "        yield 'b', b'2'\n"
        "check(lambda: PathTable(Registering()))\n"
    ),
    # A hook registers bytes, and has the new token seen, while the answer
    # for bytes is being worked out; that answer is older than the token.
    "while asked": (
        "from abc import ABCMeta\n"
        "busy = []\n"
        "class HookMeta(ABCMeta):\n"
        "    def __subclasscheck__(cls, sub):\n"
        "        if sub is bytes and not busy:\n"
        "            busy.append(1)\n"
        "            MutableMapping.register(bytes)\n"
        "            check(lambda: PathTable({'k': b'inner'}))\n"
        "        return super().__subclasscheck__(sub)\n"
        "class Hook(MutableMapping, metaclass=HookMeta):\n"
        "    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None\n"
        "PathTable({'a': b'1'})\n"
        "check(lambda: PathTable({'a': b'1'}))\n"
    ),
}


@pytest.mark.parametrize("case", list(REGISTERING))
def test_abc_registration_is_seen_by_the_next_instance_test(case):
    # Registering a built-in with MutableMapping can't be undone: a process of its own.
    code = (
        "from collections.abc import MutableMapping\n"
        "from tavrin.datastructures.pathtable import PathTable\n"
        "def check(build):\n"
        "    try:\n"
        "        build()\n"
        "        print('walked as a leaf')\n"
        "    except AttributeError as e:\n"
        "        print(e)\n"
    ) + REGISTERING[case]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=_env())
    assert out.stdout.splitlines()[-1] == "'bytes' object has no attribute 'items'", out.stdout + out.stderr


TABLE_OPS = {
    "__init__ (mapping)": ("__init__", lambda t: t.__init__({"i": 0})),
    "__init__ (pairs)": ("__init__", lambda t: t.__init__([(("i",), 0)])),
    "__setitem__": ("__setitem__", lambda t: t.__setitem__(0, (("s",), 0))),
    "append": ("append", lambda t: t.append((("a",), 0))),
    "insert": ("insert", lambda t: t.insert(0, (("n",), 0))),
    "extend": ("extend", lambda t: t.extend([(("e",), 0)])),
}


@pytest.mark.parametrize("op", list(TABLE_OPS))
def test_base_and_subclass_used_in_turn_stay_right_while_patched(monkeypatch, op):
    name, apply = TABLE_OPS[op]
    calls = []

    class Middle(list):
        pass

    class Mixed(PathTable, Middle):
        pass

    def hook(self, *args):
        calls.append(name)
        return getattr(list, name)(self, *args)

    tables = [PathTable([(("x",), 0)]), Mixed([(("x",), 0)])]
    for patched in (False, True, False):
        if patched:
            monkeypatch.setattr(Middle, name, hook, raising=False)
        else:
            monkeypatch.undo()
        calls.clear()
        for _ in range(2):
            for t in tables:
                apply(t)
        assert calls == ([name] * 2 if patched else [])
        assert list(tables[0]) == list(tables[1])
