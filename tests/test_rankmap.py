"""RankMap: a mutable mapping with a re-orderable key order."""
import collections
import copy
import doctest
import inspect
import pathlib
import pickle
import sys
from collections.abc import MutableMapping

import pytest
from conftest import swapped_pair
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrin.datastructures import rankmap
from tavrin.datastructures.rankmap import RankMap


def abc(**extra):
    m = RankMap([("a", 1), ("b", 2), ("c", 3)])
    m.update(**extra)
    return m


def assert_consistent(m):
    """Store and order list hold the very same key objects, once each."""
    assert len(m._data) == len(m._order)
    assert {id(k) for k in m._data} == {id(k) for k in m._order}


def snapshot(m):
    return list(m._data.items()), list(m._order)


class Key:
    """A key with a chosen hash whose comparisons are logged and can act."""

    def __init__(self, name, h=0, log=None, on_eq=None):
        self.name, self.h, self.log, self.on_eq = name, h, log, on_eq

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if self.log is not None:
            self.log.append(self.name)
        if self.on_eq is not None:
            act, self.on_eq = self.on_eq, None  # once: the action may compare again
            act()
        return isinstance(other, Key) and self.name == other.name

    def __repr__(self):
        return f"Key({self.name!r})"


# ---------------------------------------------------------------- the class


def test_module_and_class_shape():
    assert rankmap.MutableMapping is MutableMapping
    assert not hasattr(rankmap, "__all__")
    assert RankMap.__bases__ == (MutableMapping,)
    assert type(RankMap) is type(MutableMapping)
    assert (RankMap.__module__, RankMap.__name__, RankMap.__qualname__) == (
        "tavrin.datastructures.rankmap", "RankMap", "RankMap")
    own = [n for n in vars(RankMap) if n not in
           ("__module__", "__doc__", "__dict__", "__weakref__", "__hash__", "__abstractmethods__", "_abc_impl",
            "__slotnames__")]  # copyreg caches it on first pickle
    assert own == ["__init__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "items", "clear", "copy",
                   "insert", "move", "keys", "values", "update", "__repr__", "__len__", "__eq__", "fromkeys"]
    assert RankMap.__hash__ is None and not RankMap.__abstractmethods__
    m = RankMap()
    assert isinstance(m, MutableMapping) and not isinstance(m, dict)
    with pytest.raises(TypeError, match="unhashable type: 'RankMap'"):
        hash(m)


def test_docstrings_and_their_examples():
    assert "MutableMapping" in RankMap.__doc__ and "memory" in RankMap.__doc__
    for name in ("insert", "move"):
        method = getattr(RankMap, name)
        assert "position" in method.__doc__
        runner = doctest.DocTestRunner()
        for test in doctest.DocTestFinder().find(method, name, globs={"RankMap": RankMap}):
            runner.run(test)
        assert runner.tries > 0 and runner.failures == 0


def test_signatures():
    assert list(inspect.signature(RankMap.insert).parameters) == ["self", "key", "value", "position"]
    assert list(inspect.signature(RankMap.move).parameters) == ["self", "key", "position"]
    assert str(inspect.signature(RankMap.fromkeys)) == "(keys, value=None)"


def stub(name, params, owner="RankMap"):
    ns = {}
    exec(f"def {name}({params}): pass", ns)
    ns[name].__qualname__ = f"{owner}.{name}"
    return ns[name]


@pytest.mark.parametrize("name, params, args, kwargs", [
    ("insert", "self, key, value, position", ("a", 1), {}),
    ("insert", "self, key, value, position", ("a", 1, 0, 9), {}),
    ("move", "self, key, position", ("a", 0), {"key": "b"}),
    ("move", "self, key, position", ("a", 0), {"where": 1}),
    ("keys", "self", (1,), {}),
    ("__getitem__", "self, name", (), {}),
    ("update", "self, *args, **kwargs", (), {"self": 1}),
])
def test_argument_errors_use_the_interpreters_wording(name, params, args, kwargs):
    m = abc()
    with pytest.raises(TypeError) as ours:
        getattr(m, name)(*args, **kwargs)
    with pytest.raises(TypeError) as theirs:
        stub(name, params)(m, *args, **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_fromkeys_is_a_class_method():
    class Sub(RankMap):
        pass

    assert type(Sub.fromkeys("ab")) is Sub
    assert type(RankMap().fromkeys("ab")) is RankMap
    with pytest.raises(TypeError) as ours:
        RankMap.fromkeys()
    with pytest.raises(TypeError) as theirs:
        stub("fromkeys", "cls, keys, value=None")(RankMap)
    assert str(ours.value) == str(theirs.value)


# ---------------------------------------------------------- building, update


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, []),
    (([("a", 1), ("b", 2), ("c", 3)],), {}, [("a", 1), ("b", 2), ("c", 3)]),
    ((), {"b": 2, "a": 1}, [("b", 2), ("a", 1)]),
    (([("a", 1)],), {"a": 5}, [("a", 5)]),
    (([("a", 1), ("b", 2), ("a", 3)],), {}, [("a", 3), ("b", 2)]),
    (({"ab": 1},), {}, [("a", "b")]),
    (([["k", "v"], "xy"],), {}, [("k", "v"), ("x", "y")]),
    ((((x, x * x) for x in range(3)),), {}, [(0, 0), (1, 1), (2, 4)]),
    (([("a", 1), iter((1, 2))],), {}, None),  # an element without a length
    (([(1, "int"), (1.0, "float"), (True, "bool")],), {}, [(1, "bool")]),
])
def test_construction(args, kwargs, expected):
    if expected is None:
        with pytest.raises(TypeError, match="has no len"):
            RankMap(*args, **kwargs)
        return
    m = RankMap(*args, **kwargs)
    assert list(m.items()) == expected
    assert m._data == dict(expected) and m._order == [k for k, _ in expected]


@pytest.mark.parametrize("args, error, message, applied", [
    (({"a": 1},), ValueError, "update sequence element #0 has length 1; 2 is required", []),
    (([("a", 1, 2)],), ValueError, "update sequence element #0 has length 3; 2 is required", []),
    (([("d", 4), "xyz"],), ValueError, "update sequence element #1 has length 3; 2 is required", [("d", 4)]),
    (([("d", 4), 1],), TypeError, "object of type 'int' has no len()", [("d", 4)]),
    (([("a", 1)], [("b", 2)]), TypeError, "expected at most 1 arguments, got 2", []),
    ((1, 2, 3), TypeError, "expected at most 1 arguments, got 3", []),
    ((5,), TypeError, "'int' object is not iterable", []),
])
def test_update_rejections(args, error, message, applied):
    with pytest.raises(error) as info:
        RankMap(*args)
    assert str(info.value) == message
    m = abc()
    with pytest.raises(error):
        m.update(*args, z=0)
    # Elements before the rejected one stay applied; the keywords never are.
    assert list(m.items()) == [("a", 1), ("b", 2), ("c", 3)] + applied
    assert_consistent(m)


def test_update_unpacks_like_the_interpreter():
    class Liar:
        def __len__(self):
            return 2

        def __iter__(self):
            return iter("abc")

    with pytest.raises(ValueError, match="too many values to unpack"):
        RankMap([Liar()])


# ---------------------------------------------------------- insert and move


@pytest.mark.parametrize("position, expected", [
    (0, "dabc"), (1, "adbc"), (3, "abcd"), (99, "abcd"), (-1, "abdc"), (-3, "dabc"), (-99, "dabc"),
    (True, "adbc"),
])
def test_insert_table(position, expected):
    m = abc()
    assert m.insert("d", 4, position) is None
    assert "".join(m) == expected and m["d"] == 4
    assert_consistent(m)


@pytest.mark.parametrize("key, position, expected", [
    ("c", 0, "cab"), ("a", 1, "bac"), ("a", 2, "bca"), ("a", 99, "bca"), ("a", -1, "bac"),
    ("c", -1, "acb"), ("b", 1, "abc"), ("a", -99, "abc"), ("c", -99, "cab"),
])
def test_move_table(key, position, expected):
    m = abc()
    assert m.move(key, position) is None
    assert "".join(m) == expected
    assert m._data == {"a": 1, "b": 2, "c": 3}


def test_move_keeps_the_stored_key_object():
    stored, probe = "".join(["k", "ey"]), "".join(["ke", "y"])
    m = RankMap([(stored, 1), ("x", 2)])
    m.move(probe, 99)
    assert list(m) == ["x", "key"] and m.keys()[1] is stored


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("position", [1.5, "1", None, Index("x"), 10 ** 30, -10 ** 30])
def test_bad_positions_fail_like_list_insert_and_change_nothing(position):
    with pytest.raises(Exception) as expected:
        [].insert(position, "x")
    for call in (lambda m: m.insert("d", 4, position), lambda m: m.move("a", position)):
        m = abc()
        before = snapshot(m)
        with pytest.raises(type(expected.value)) as info:
            call(m)
        assert str(info.value) == str(expected.value)
        assert snapshot(m) == before


def test_index_objects_are_positions():
    m = abc()
    m.insert("d", 4, Index(0))
    m.move("a", Index(-1))
    assert "".join(m) == "dbac"


@pytest.mark.parametrize("key, message", [
    ("a", "a already exist in Report"),
    (("x", "y"), "('x', 'y') already exist in Report"),
    (7, "7 already exist in Report"),
])
def test_insert_of_a_present_key(key, message):
    m = abc()
    m[key] = 0
    before = snapshot(m)
    with pytest.raises(KeyError) as info:
        m.insert(key, 9, 0)
    assert info.value.args == (message,)
    assert snapshot(m) == before


@pytest.mark.parametrize("key", ["zz", ("t", "u"), 0])
def test_missing_keys_raise_key_error_with_the_key(key):
    m = abc()
    before = snapshot(m)
    for call in (lambda: m.move(key, 0), lambda: m[key], lambda: m.__delitem__(key), lambda: m.pop(key)):
        with pytest.raises(KeyError) as info:
            call()
        assert info.value.args == (key,)
    assert snapshot(m) == before


# ------------------------------------------------------- views and mixins


def test_keys_is_the_order_list_itself():
    m = abc()
    assert m.keys() is m.keys() is m._order
    m.keys().reverse()
    assert list(m) == ["c", "b", "a"] and m.values() == [3, 2, 1]
    m.keys().sort()
    assert list(m.items()) == [("a", 1), ("b", 2), ("c", 3)]


def test_values_and_items_are_new_lists():
    m = abc()
    values, items = m.values(), m.items()
    assert type(values) is list and type(items) is list and items[0] == ("a", 1)
    values.append(9)
    items.clear()
    assert m.values() == [1, 2, 3] and len(m.items()) == 3


def test_assignment_keeps_the_position_and_re_adding_goes_last():
    m = abc()
    m["a"] = 10
    assert list(m) == ["a", "b", "c"]
    del m["a"]
    m["a"] = 11
    assert list(m.items()) == [("b", 2), ("c", 3), ("a", 11)]


def test_clear_replaces_both_structures():
    m = abc()
    old = m.keys()
    assert m.clear() is None
    assert len(m) == 0 and list(m) == [] and repr(m) == "RankMap([])"
    assert old == ["a", "b", "c"] and m.keys() is not old
    m["x"] = 1
    assert list(m) == ["x"]


def test_mixin_members():
    m = abc()
    assert "a" in m and "z" not in m
    assert (m.get("b"), m.get("z"), m.get("z", 0)) == (2, None, 0)
    assert m.popitem() == ("a", 1)  # the first pair, not the last
    assert m.pop("c") == 3 and m.pop("c", "gone") == "gone"
    assert m.setdefault("b", 9) == 2 and m.setdefault("n") is None
    assert list(m.items()) == [("b", 2), ("n", None)]
    assert_consistent(m)
    m.clear()
    with pytest.raises(KeyError):
        m.popitem()


def test_copy():
    value = ["shared"]
    m = abc(v=value)
    c = m.copy()
    assert c == m and type(c) is RankMap and c["v"] is value
    c.move("v", 0)
    assert list(m)[-1] == "v" and list(c)[0] == "v"
    assert copy.copy(m) == m and pickle.loads(pickle.dumps(m)) == m


def test_fromkeys():
    assert list(RankMap.fromkeys("abc").items()) == [("a", None), ("b", None), ("c", None)]
    value = []
    m = RankMap.fromkeys(["x", "x", "y"], value)
    assert list(m) == ["x", "y"] and m["x"] is value and m["y"] is value
    assert list(RankMap.fromkeys(keys="ab", value=0).items()) == [("a", 0), ("b", 0)]


# --------------------------------------------------------- text, equality


@pytest.mark.parametrize("m, text", [
    (RankMap([("a", 1), ("b", 2)]), "RankMap([('a', 1), ('b', 2)])"),
    (RankMap(), "RankMap([])"),
    (RankMap([(("t", 1), "x")]), "RankMap([(('t', 1), 'x')])"),
])
def test_repr(m, text):
    assert repr(m) == text


def test_repr_of_a_mapping_that_holds_itself():
    m = RankMap(a=1)
    m["me"] = m
    assert repr(m) == "RankMap([('a', 1), ('me', ...)])"


class Boom:
    def __init__(self, exc):
        self.exc = exc

    def __eq__(self, other):
        raise self.exc


class NoData:
    @property
    def _data(self):
        raise KeyError("no")


@pytest.mark.parametrize("left, right, expected", [
    (abc(), abc(), True),
    (abc(), RankMap([("b", 2), ("a", 1), ("c", 3)]), False),
    (abc(), abc(d=4), False),
    (RankMap(a=1), {"a": 1}, False),
    (RankMap(a=1), NoData(), False),
    (RankMap(a=1), None, False),
    (RankMap(a=Boom(ValueError())), RankMap(a=Boom(ValueError())), False),
    (RankMap(a=Boom(RecursionError())), RankMap(a=Boom(RecursionError())), False),
])
def test_equality(left, right, expected):
    assert (left == right) is expected
    assert (left != right) is (not expected)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_equality_lets_interrupts_through(exc):
    with pytest.raises(exc):
        RankMap(a=Boom(exc())) == RankMap(a=Boom(exc()))


def test_a_subclass_instance_can_equal_a_rankmap():
    class Sub(RankMap):
        pass

    assert Sub(a=1) == RankMap(a=1) and RankMap(a=1) == Sub(a=1)


# ------------------------------------------------------ failure atomicity


@pytest.mark.parametrize("call", [
    lambda m: m.__setitem__([], 1),
    lambda m: m.insert([], 1, 0),
    lambda m: m.insert({}, 1, "x"),
    lambda m: m.insert("d", 4, "x"),
    lambda m: m.insert("a", 4, "x"),
    lambda m: m.move("a", "x"),
    lambda m: m.move("zz", "x"),
    lambda m: m.__delitem__([]),
    lambda m: m.update([("d", 4), ([], 5)]),
    lambda m: m.update([("d", 4), "xyz"]),
    lambda m: m.update([("d", 4), ({}, 5)], e=6),
    lambda m: m.update({("d", 4): 0, ("x",): 1}),
], ids=["setitem-unhashable", "insert-unhashable", "insert-both-bad", "insert-position", "insert-present",
        "move-position", "move-missing", "delitem-unhashable", "update-unhashable", "update-length",
        "update-then-keywords", "update-mapping"])
def test_failed_calls_leave_both_structures_agreeing(call):
    m = abc()
    with pytest.raises((TypeError, ValueError, KeyError)):
        call(m)
    assert_consistent(m)
    assert list(m)[:3] == ["a", "b", "c"] and set(m) <= {"a", "b", "c", "d"}
    assert "e" not in m


@pytest.mark.parametrize("exc", [ValueError, KeyboardInterrupt])
def test_keys_whose_hash_raises(exc):
    class BadHash:
        def __hash__(self):
            raise exc("hash")

    m = abc()
    before = snapshot(m)
    for call in (lambda: m.__setitem__(BadHash(), 1), lambda: m.insert(BadHash(), 1, 0),
                 lambda: m[BadHash()], lambda: m.__delitem__(BadHash()), lambda: m.update([(BadHash(), 1)])):
        with pytest.raises(exc):
            call()
        assert snapshot(m) == before
    with pytest.raises(KeyError):
        m.move(BadHash(), 0)  # found by comparison, not by hash


def test_keys_whose_eq_raises():
    boom = Key("boom", h=hash("a"))
    boom.__class__ = type("Raising", (Key,), {"__eq__": lambda self, other: 1 / 0, "__hash__": Key.__hash__})
    m = abc()
    before = snapshot(m)
    for call in (lambda: m.__setitem__(boom, 1), lambda: m.insert(boom, 1, 0), lambda: m[boom],
                 lambda: m.__delitem__(boom), lambda: m.move(boom, 0), lambda: boom in m):
        with pytest.raises(ZeroDivisionError):
            call()
        assert snapshot(m) == before


# ----------------------------------------------------------- hostile keys


def mutations(m):
    return {
        "clear": m.clear,
        "delete-other": lambda: m.pop(m._order[0], None),
        "add": lambda: m.__setitem__(Key("added", h=99), 0),
        "move": lambda: m.move(m._order[-1], 0) if len(m) else None,
        "reverse": lambda: m.keys().reverse(),
    }


@pytest.mark.parametrize("what", ["clear", "delete-other", "add", "move", "reverse"])
@pytest.mark.parametrize("op", ["set-new", "set-old", "insert", "delete", "move", "get", "items", "values"])
def test_eq_that_mutates_the_mapping_mid_operation(what, op):
    m = RankMap()
    first, second = Key("first", h=1), Key("second", h=1)
    m[first] = 1
    m[second] = 2
    m["plain"] = 3
    m.keys().reverse()  # out of insertion order, so that items() looks keys up
    probe = Key({"set-old": "second", "delete": "second", "move": "first", "get": "second"}.get(op, "new"), h=1)
    first.on_eq = mutations(m)[what]
    actions = {
        "set-new": lambda: m.__setitem__(probe, 0),
        "set-old": lambda: m.__setitem__(probe, 0),
        "insert": lambda: m.insert(probe, 0, 1),
        "delete": lambda: m.__delitem__(probe),
        "move": lambda: m.move(probe, 0),
        "get": lambda: m[probe],
        "items": lambda: m.items(),
        "values": lambda: m.values(),
    }
    try:
        actions[op]()
    except KeyError:
        pass  # the key went away with the mutation
    assert first.on_eq is None, "the mutation never ran"
    assert_consistent(m)
    assert list(m.items()) == [(k, m._data[k]) for k in m._order]


def test_keys_equal_to_everything_stay_in_step():
    class Sticky(Key):
        def __eq__(self, other):
            return True

        __hash__ = Key.__hash__

    one, two = Sticky("one", h=1), Sticky("two", h=2)
    m = RankMap()
    m[one] = 1
    m[two] = 2
    assert_consistent(m)
    del m[two]
    assert_consistent(m)
    assert m._order == [one]


def test_new_keys_are_not_compared_with_the_existing_ones():
    log = []
    m = RankMap()
    for i in range(50):
        m[Key(i, h=i, log=log)] = i
    m.insert(Key("x", h=-5, log=log), 0, 0)
    m.update([(Key("y", h=-6, log=log), 1)])
    assert log == [] and len(m) == 52


# ------------------------------------------ subclasses and outside changes


def test_subclass_overrides_are_used():
    log = []

    class Logged(RankMap):
        def __setitem__(self, key, value):
            log.append(key)
            super().__setitem__(key, value)

        def __getitem__(self, key):
            return super().__getitem__(key) * 10

        def items(self):
            return [("only", 1)]

    m = Logged([("a", 1)], b=2)
    m.update([("c", 3)])
    Logged.fromkeys("d", 4)
    assert log == ["a", "b", "c", "d"]
    assert m.values() == [10, 20, 30] and m.get("a") == 10
    assert repr(m) == "Logged([('only', 1)])"
    assert type(m.copy()) is Logged and list(m.copy()) == ["only"]


def test_update_is_looked_up_on_the_instance():
    calls = []

    class Quiet(RankMap):
        def update(self, *args, **kwargs):
            calls.append((args, kwargs))

    Quiet(1, 2, x=3)
    assert calls == [((1, 2), {"x": 3})]
    m = RankMap()
    m.update = lambda *a, **k: calls.append("instance")
    m.__init__([("a", 1)])
    assert calls[-1] == "instance" and len(m) == 0


def test_state_attributes_go_through_attribute_lookup():
    reads = []

    class Stored(RankMap):
        @property
        def _data(self):
            reads.append("_data")
            return self.__dict__["store"]

        @_data.setter
        def _data(self, value):
            self.__dict__["store"] = value

    m = Stored(a=1)
    m["b"] = 2
    assert m.__dict__["store"] == {"a": 1, "b": 2} and "_data" not in m.__dict__
    assert reads and m.items() == [("a", 1), ("b", 2)]


def test_instance_dicts_laid_out_differently():
    class Named(RankMap):
        def __init__(self, *args, **kwargs):
            self.name, self.tag = "n", "t"  # attributes ahead of the state
            super().__init__(*args, **kwargs)

    plain, named = RankMap(a=1), Named(a=2)
    odd = RankMap(a=3)
    odd.__dict__ = {"x": 0, "".join(["_or", "der"]): ["a"], "".join(["_da", "ta"]): {"a": 3}}
    for _ in range(3):
        assert (plain["a"], named["a"], odd["a"]) == (1, 2, 3)
        named["b"] = 0
        assert list(named) == ["a", "b"] and len(odd) == 1
        del named["b"]


def far_state(m):
    """`_data` and `_order` behind six other attributes: their position in
    the instance dict is further out than in any dict below."""
    m.__dict__ = {**{f"x{i}": i for i in range(6)}, **m.__dict__}


def emptied_front(m):
    far_state(m)
    for i in range(6):
        delattr(m, f"x{i}")  # deleted entries where the state used to be found


def swapped(m):
    m.__dict__ = {"_order": m._order, "_data": m._data}


def bare(m):
    m.__dict__ = {"_data": m._data, "_order": m._order}


# The state is read at the position where the last instance had it: a
# position another dict handed out must be safe, and right, on every dict.
@pytest.mark.parametrize("first, second", [
    (far_state, bare), (bare, far_state), (emptied_front, bare), (far_state, emptied_front), (swapped, far_state),
])
def test_state_read_from_dicts_of_other_layouts(first, second):
    one, two = RankMap(a=1, b=2), RankMap(a=3)
    first(one)
    second(two)
    for _ in range(3):
        assert (one["a"], two["a"], len(one), len(two)) == (1, 3, 2, 1)
        assert (one.items(), list(two)) == ([("a", 1), ("b", 2)], ["a"])
        two["c"] = 4
        del two["c"]


def test_a_base_and_an_overriding_subclass_used_in_turn():
    class Base(RankMap):
        pass

    class Loud(Base):
        def __getitem__(self, key):
            return "loud", super().__getitem__(key)

        def __len__(self):
            return 99

    base, loud = Base(a=1), Loud(a=1)
    for _ in range(3):
        assert (base["a"], loud["a"], len(base), len(loud)) == (1, ("loud", 1), 1, 99)
    Base.__len__ = lambda self: 7
    for _ in range(3):
        assert (base["a"], loud["a"], len(base), len(loud)) == (1, ("loud", 1), 7, 99)
    del Loud.__getitem__, Base.__len__
    for _ in range(3):
        assert (base["a"], loud["a"], len(base), len(loud)) == (1, 1, 1, 99)


def test_state_changes_on_the_class_are_seen_at_once(monkeypatch):
    m = abc()
    assert m["a"] == 1
    monkeypatch.setattr(RankMap, "_data", property(lambda self: {"a": "class"}), raising=False)
    assert m["a"] == "class" and m.items() == [("a", "class")]
    monkeypatch.undo()
    assert m["a"] == 1 and "_data" not in vars(RankMap)


@pytest.mark.parametrize("name, replacement, probe", [
    ("__getitem__", lambda self, key: "patched", lambda m: (m["a"], m.get("a"), m.values()[0])),
    ("__setitem__", lambda self, key, value: None, lambda m: (m.__setitem__("z", 1), "z" in m)),
    ("__delitem__", lambda self, key: None, lambda m: (m.__delitem__("a"), "a" in m)),
    ("__len__", lambda self: 42, lambda m: (len(m), bool(m))),
    ("__iter__", lambda self: iter("x"), lambda m: list(m)),
])
def test_patching_the_class_is_honoured(monkeypatch, name, replacement, probe):
    m = abc()
    unpatched = probe(m.copy())
    monkeypatch.setattr(RankMap, name, replacement)
    patched = probe(abc())
    monkeypatch.undo()
    assert patched != unpatched and probe(abc()) == unpatched


def test_a_caller_growing_the_order_list_gets_the_documented_rules():
    m = abc()
    m.keys().append("z")  # outside the contract: now the list has a key the store lacks
    m["z"] = 26  # the list already holds it: it is not appended again
    assert m._order == ["a", "b", "c", "z"] and m["z"] == 26
    m._data["q"] = 0  # and now the store has one the list lacks
    with pytest.raises(ValueError, match="is not in list"):
        m.items()
    m["r"] = 1
    assert m._order[-1] == "r"


def test_other_structure_types_work_through_their_methods():
    class Order(list):
        pass

    m = RankMap()
    m._data, m._order = collections.OrderedDict(), Order()
    m.update([("a", 1), ("b", 2), ("c", 3)])
    m.insert("d", 4, 0)
    m.move("a", 99)
    del m["b"]
    assert list(m.items()) == [("d", 4), ("c", 3), ("a", 1)] and m.values() == [4, 3, 1]
    with pytest.raises(TypeError):
        m.move("c", "x")
    assert list(m) == ["d", "c", "a"]


# ------------------------------------------------------ against a model


keys = st.sampled_from("abcdef")
positions = st.integers(-8, 8) | st.just(99)
ops = st.lists(st.one_of(
    st.tuples(st.just("set"), keys, st.integers()),
    st.tuples(st.just("del"), keys),
    st.tuples(st.just("insert"), keys, st.integers(), positions),
    st.tuples(st.just("move"), keys, positions),
    st.tuples(st.just("popitem")),
    st.tuples(st.just("update"), st.lists(st.tuples(keys, st.integers()), max_size=4)),
    st.tuples(st.just("reverse")),
), max_size=25)


@settings(max_examples=80, deadline=None)
@given(ops)
def test_against_a_list_of_pairs(program):
    m, model = RankMap(), []
    index = lambda k: [p[0] for p in model].index(k)  # noqa: E731
    for op, *args in program:
        present = args and args[0] in [p[0] for p in model]
        if op == "set":
            k, v = args
            if present:
                model[index(k)] = (k, v)
            else:
                model.append((k, v))
            m[k] = v
        elif op == "update":
            for k, v in args[0]:
                if k in [p[0] for p in model]:
                    model[index(k)] = (k, v)
                else:
                    model.append((k, v))
            m.update(args[0])
        elif op == "reverse":
            model.reverse()
            m.keys().reverse()
        elif op == "popitem":
            if model:
                assert m.popitem() == model.pop(0)
            else:
                pytest.raises(KeyError, m.popitem)
        elif not present and op != "insert":
            pytest.raises(KeyError, {"del": m.__delitem__, "move": m.move}[op], *args)
        elif op == "del":
            del model[index(args[0])]
            del m[args[0]]
        elif op == "insert":
            k, v, pos = args
            if present:
                pytest.raises(KeyError, m.insert, k, v, pos)
            else:
                model.insert(pos, (k, v))
                m.insert(k, v, pos)
        elif op == "move":
            k, pos = args
            model.insert(pos, model.pop(index(k)))
            m.move(k, pos)
        assert list(m.items()) == model
    assert m.values() == [v for _, v in model] and len(m) == len(model)
    assert m == RankMap(model) and m.copy() == m
    assert repr(m) == f"RankMap({model!r})"


# ------------------------------------------------------------------ docs


def test_readme_section_runs():
    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("no README next to the tests")
    text = readme.read_text(encoding="utf-8")
    section = text.split("\n## rankmap\n", 1)[1].split("\n## ", 1)[0]
    section = "\n".join("" if line.startswith("```") else line for line in section.splitlines())
    test = doctest.DocTestParser().get_doctest(section, {}, "README rankmap", str(readme), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=sys.stdout.write)
    assert runner.tries > 0 and runner.failures == 0


@pytest.mark.parametrize("base", [tuple, list])
def test_update_unpacks_pair_subclasses_by_iterating_them(base):
    m = RankMap()
    m.update([swapped_pair(base, "k", "v")])
    assert list(m.items()) == [("k", "v")]


def test_a_key_in_the_store_but_not_in_the_order_is_inserted_by_the_steps():
    m = RankMap(a=1)
    m._data["x"] = 0
    m.insert("x", 5, 0)
    assert list(m.keys()) == ["x", "a"] and m._data == {"a": 1, "x": 5}


def test_a_store_that_is_a_dict_subclass_answers_reads_itself():
    class Defaulting(dict):
        def __missing__(self, key):
            return f"default-{key}"

    m = RankMap(a=1)
    m._data = Defaulting(m._data)
    assert (m["a"], m["zz"]) == (1, "default-zz")
