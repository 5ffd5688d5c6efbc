"""PathTable, its walk and reconstruct against inputs that fight back: values
and keys that change what is being walked or rebuilt, generators re-entered
from inside their own walk, classes patched mid-walk, markers and paths
that lie, self-containing and very deep structures.

Every attack ends in an exception or a result; afterwards the table is
still a list of the entries it held (a failed call changes nothing), a walk
can be run again and reconstruct never changes the table.
"""
import gc
import sys
from collections import namedtuple
from collections.abc import MutableMapping

import pytest

from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable

PAIR_ERROR = "PathTable only accepts a tuple of path/obj"


def snapshot(table):
    return [id(e) for e in table], list(table)


def check(table, before=None):
    """The invariant: still a PathTable (a list), holding `before` exactly
    when given; reconstruct leaves it as it is, and tables work again."""
    assert isinstance(table, PathTable) and isinstance(table, list)
    if before is not None:
        assert snapshot(table) == before
    entries = list(table)
    try:
        rebuilt = table.reconstruct()
    except (Exception, KeyboardInterrupt):  # noqa: BLE001  -- what the entries make it raise
        pass
    else:
        assert type(rebuilt) is dict
        assert list(table) == entries  # reconstruct leaves the table alone
    again = PathTable({"x": [1, {"y": 2}]})
    assert again.reconstruct() == {"x": [1, {"y": 2}]}


# ------------------------------------------------ the walk's input changes


class Truthy:
    """A leaf-or-level stand-in whose truth test runs an action once."""

    def __init__(self, action, truth=False):
        self.action, self.truth = action, truth

    def __bool__(self):
        act, self.action = self.action, None
        if act:
            act()
        return self.truth


class Level(list):
    """A list level whose truth test runs an action (lists are walked)."""

    def __init__(self, items, action):
        super().__init__(items)
        self.action = action

    def __bool__(self):
        act, self.action = self.action, None
        if act:
            act()
        return len(self) > 0


def walk_changes(doc, lst):
    return {
        "dict-add": lambda: doc.__setitem__("new", 1),
        "dict-del": lambda: doc.pop("z", None),
        "dict-clear": doc.clear,
        "dict-swap": lambda: (doc.pop("z", None), doc.__setitem__("w", 0)),  # same size, other keys
        "list-append": lambda: lst.append(9),
        "list-clear": lst.clear,
        "list-extend-self": lambda: lst.extend(lst),
        "list-holds-doc": lambda: lst.append(doc),
        "gc": gc.collect,
    }


@pytest.mark.parametrize("change", sorted(walk_changes({}, [])))
@pytest.mark.parametrize("where", ["dict-level", "list-level"])
def test_inputs_changed_while_they_are_walked(where, change):
    lst = [1, 2, 3]
    doc = {"a": 1, "l": lst, "z": 2}
    act = walk_changes(doc, lst)[change]
    if where == "dict-level":
        doc["a"] = Level([5], act)
    else:
        lst[0] = Level([5], act)
    try:
        entries = list(PathTable.__flatten__(doc))
    except (RuntimeError, RecursionError):
        entries = None
    if entries is not None:
        for entry in entries:
            assert type(entry) is DictItem and type(entry.path) is tuple
    try:
        table = PathTable(doc)
    except (RuntimeError, RecursionError):
        return
    check(table)


def test_a_dict_whose_keys_change_at_the_same_size_while_walked():
    # The walk goes on over the dict as its items iterator would.
    def churn(doc):
        del doc["b"]
        doc["b2"] = 2

    def walk(doc):
        for key, value in doc.items():
            if isinstance(value, list) and value:
                for i, item in enumerate(value):
                    yield (key, i), item
            else:
                yield (key,), value

    outcomes = []
    for run in (lambda d: [(tuple(c if not isinstance(c, IndexMarker) else c.index for c in e.path), e.value)
                           for e in PathTable.__flatten__(d)], lambda d: list(walk(d))):
        doc = {"a": 1, "b": 2, "c": 3}
        doc["a"] = Level([0], lambda d=doc: churn(d))
        try:
            outcomes.append(run(doc))
        except RuntimeError as exc:
            outcomes.append(str(exc))
    assert outcomes[0] == outcomes[1]


def dict_in_itself():
    doc = {"x": 1}
    doc["me"] = doc
    return doc


def list_in_itself():
    lst = [1]
    lst.append(lst)
    return {"l": lst}


def tuple_list_cycle():
    lst = []
    lst.append((lst,))
    return {"t": (lst,)}


@pytest.mark.parametrize("make", [dict_in_itself, list_in_itself, tuple_list_cycle])
def test_self_containing_inputs(make):
    doc = make()
    with pytest.raises(RecursionError):
        PathTable(doc)
    gen = PathTable.__flatten__(doc)
    with pytest.raises(RecursionError):
        list(gen)
    assert list(gen) == []  # finished by the error


def test_deep_and_wide_inputs():
    doc = leaf = {}
    for _ in range(20000):
        leaf["n"] = leaf = {}
    with pytest.raises(RecursionError):
        PathTable(doc)
    limit = sys.getrecursionlimit()
    ok = leaf = {}
    for _ in range(limit - 50):
        leaf["n"] = leaf = {}
    leaf["v"] = 1
    table = PathTable(ok)
    assert len(table) == 1 and len(table[0].path) == limit - 49
    assert table.reconstruct() == ok
    wide = {f"k{i}": [i, (i, {"v": i})] for i in range(5000)}
    table = PathTable(wide)
    assert len(table) == 15000 and table.reconstruct() == wide


# ------------------------------------------------ mappings that misbehave


class Items(MutableMapping):
    """A mutable mapping whose items() is whatever it is told to be."""

    def __init__(self, items):
        self._items = items

    def items(self):
        if isinstance(self._items, BaseException):
            raise self._items
        return self._items() if callable(self._items) else self._items

    def __getitem__(self, key):
        raise KeyError(key)

    def __setitem__(self, key, value):
        pass

    def __delitem__(self, key):
        pass

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 1


@pytest.mark.parametrize("items, outcome", [
    (5, TypeError),
    (None, TypeError),
    ([("a", 1), "abc"], ValueError),
    ([("a", 1), 5], TypeError),
    (RuntimeError("items"), RuntimeError),
    (KeyboardInterrupt(), KeyboardInterrupt),
    (lambda: iter([("a", 1), ("b", 2)]), [(("a",), 1), (("b",), 2)]),
    (["ab"], [(("a",), "b")]),
], ids=["int", "none", "short", "non-iterable", "raises", "interrupt", "iterator", "string-pair"])
def test_mappings_whose_items_misbehave(items, outcome):
    doc = {"m": Items(items)}
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            PathTable(doc)
    else:
        assert [(e.path[1:], e.value) for e in PathTable(doc)] == outcome


def test_a_mapping_whose_items_yield_itself_without_end():
    m = Items(None)
    m._items = lambda: iter([("again", m)])
    with pytest.raises(RecursionError):
        PathTable({"m": m})


class Nesting(Items):
    """A mapping whose items() is the walk of another such mapping."""

    def __init__(self):
        super().__init__(lambda: PathTable.__flatten__(Nesting()))


class NestingList(list):
    """A list whose iteration is the walk of another such list."""

    def __iter__(self):
        return PathTable.__flatten__([NestingList([1])])


@pytest.mark.parametrize("make", [
    lambda: PathTable(Nesting()),
    lambda: list(PathTable.__flatten__({"m": Nesting()})),
    lambda: list(PathTable.__flatten__({"l": NestingList([1])})),
    lambda: PathTable({"l": NestingList([1])}),
], ids=["table-of-mapping", "walk-of-mapping", "walk-of-list", "table-of-list"])
def test_inputs_whose_iteration_is_another_walk_without_end(make):
    # Each walk steps the next one from inside its own step: the steps count
    # towards the recursion limit, as generator frames do.
    with pytest.raises(RecursionError):
        make()
    gen = PathTable.__flatten__({"m": Nesting()})
    with pytest.raises(RecursionError):
        next(gen)
    assert list(gen) == []  # finished by the error
    check(PathTable({"a": [1, 2]}))


class Pretender:
    """Says it is a dict through __class__, but is not one."""

    def __init__(self, truth=True):
        self.truth = truth

    @property
    def __class__(self):
        return dict

    def __bool__(self):
        return self.truth


def test_values_that_pretend_to_be_containers():
    with pytest.raises(AttributeError):
        PathTable({"p": Pretender()})  # walked as a mapping: it has no items()
    assert PathTable({"p": Pretender(False)})[0].value.truth is False  # empty: a leaf


# ------------------------------------------ classes patched mid-walk


# (Not IndexMarker.__new__: once assigned and deleted, a class's instances
# can no longer be made with arguments, so it can't be undone in-process.)
@pytest.mark.parametrize("patch", ["marker-init", "marker-setattr", "dictitem-new", "dictitem-init"])
def test_classes_patched_while_a_walk_runs(monkeypatch, patch):
    def apply():
        if patch == "marker-init":
            monkeypatch.setattr(IndexMarker, "__init__", lambda self, obj, index: setattr(self, "index", -index))
        elif patch == "marker-setattr":
            monkeypatch.setattr(IndexMarker, "__setattr__", lambda self, n, v: object.__setattr__(self, n, 7),
                                raising=False)
        elif patch == "dictitem-new":
            monkeypatch.setattr(DictItem, "__new__", lambda cls, path, value: ("patched", value))
        else:
            monkeypatch.setattr(DictItem, "__init__", lambda self, *a: None, raising=False)

    doc = {"a": [1, Level([], apply), 3], "b": [4]}
    table = PathTable(doc)
    assert len(table) == 4 and table[0].value == 1
    last = table[-1]
    if patch == "dictitem-new":
        assert last == ("patched", 4)
    elif patch == "marker-init":
        assert last.path[1].index == 0 and not hasattr(last.path[1], "type_")
    elif patch == "marker-setattr":
        assert last.path[1].index == 7 and last.path[1].type_ == 7
    monkeypatch.undo()
    check(PathTable(doc))


# ---------------------------------------------- the generator re-entered


def test_the_generator_used_from_inside_its_own_walk():
    seen = []

    def inside():
        for op in (lambda: next(gen), gen.close, lambda: gen.throw(KeyError("in")), lambda: gen.send(None)):
            try:
                op()
            except ValueError as exc:
                seen.append(str(exc))
        seen.append(gen.gi_running)
        gc.collect()

    gen = PathTable.__flatten__({"a": 1, "b": Level([], inside), "c": [3]})
    assert [e.value for e in gen] == [1, [], 3]
    assert seen == ["generator already executing"] * 4 + [True]
    gen = PathTable.__flatten__({"a": Level([5], inside)})
    assert [e.value for e in gen] == [5]
    assert len(seen) == 10


def test_a_suspended_generator_whose_input_is_dropped_or_collected():
    doc = {"a": [1, 2], "b": {"c": 3}}
    gen = PathTable.__flatten__(doc)
    assert next(gen).value == 1
    doc["b"]["c"] = 4  # changed, not resized: seen when the walk gets there
    del doc
    gc.collect()
    assert [e.value for e in gen] == [2, 4]  # the walk holds what it walks
    cycle = {"x": [1, 2]}
    cycle["gen"] = PathTable.__flatten__(cycle)
    next(cycle["gen"])
    del cycle
    gc.collect()  # a generator in a cycle with its own input


@pytest.mark.parametrize("path, outcome", [
    ([1], TypeError),  # a list can't be extended with a tuple
    (type("Sliced", (tuple,), {"__getitem__": lambda self, i: "str"})(("p",)), TypeError),
    # path[:] of a tuple subclass is a plain tuple: its own + is never used
    (type("Added", (tuple,), {"__add__": lambda self, other: ["list"]})(("p",)), ("p", "a")),
    (type("Falsy", (tuple,), {"__bool__": lambda self: 1 / 0})(("p",)), ZeroDivisionError),
    (type("Lying", (tuple,), {"__len__": lambda self: -1})(("p",)), ValueError),
])
def test_path_prefixes_that_misbehave(path, outcome):
    gen = PathTable.__flatten__({"a": 1}, path)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            list(gen)
    else:
        entries = list(gen)
        assert len(entries) == 1 and entries[0].path == outcome


# ---------------------------------------------- reconstruct attacked


class Marker(IndexMarker):
    """A marker whose attributes are computed and can act."""

    def __init__(self, type_, index, action=None):
        self._type, self._index, self.action = type_, index, action

    @property
    def type_(self):
        return self._type

    @property
    def index(self):
        act, self.action = self.action, None
        if act:
            act()
        if isinstance(self._index, BaseException):
            raise self._index
        return self._index


def table_changes(table):
    return {
        "clear": lambda: list.clear(table),
        "append": lambda: list.append(table, (("late",), 1)),
        "drop-next": lambda: list.__delitem__(table, slice(1, 2)),
        "reverse": lambda: list.reverse(table),
        "gc": gc.collect,
    }


@pytest.mark.parametrize("change", sorted(table_changes([])))
def test_markers_that_change_the_table_while_it_is_rebuilt(change):
    table = PathTable()
    act = table_changes(table)[change]
    list.extend(table, [(("a", Marker(list, 0)), 1), (("a", Marker(list, 0, act)), 2), (("b",), 3)])
    result = table.reconstruct()
    assert type(result) is dict
    check(table)


@pytest.mark.parametrize("type_, index, exc", [
    (5, 0, TypeError),
    (dict, 0, TypeError),
    (list, "x", TypeError),
    (list, 2 ** 100, None),  # past any end: appends
    (list, -2 ** 100, None),
    (list, RuntimeError("index"), RuntimeError),
    (list, KeyboardInterrupt(), KeyboardInterrupt),
    (type("NoMake", (tuple,), {"_make": None}), 0, TypeError),
    (type("Raising", (tuple,), {"__new__": lambda cls, *a: 1 / 0}), 0, ZeroDivisionError),
    (type("Odd", (list,), {"__init__": lambda self, *a: None}), 0, None),
    (namedtuple("Pt", "x y"), 0, None),  # two values at a tuple level: Pt(1, 2)
])
def test_markers_that_lie_about_their_sequence(type_, index, exc):
    table = PathTable([(("a", Marker(type_, 0)), 1), (("a", Marker(type_, index)), 2)])
    before = snapshot(table)
    if exc is None:
        assert type(table.reconstruct()) is dict
    else:
        with pytest.raises(exc):
            table.reconstruct()
    check(table, before)


class Path:
    """A path object whose iteration acts on the table."""

    def __init__(self, comps, action=None):
        self.comps, self.action = comps, action

    def __iter__(self):
        act, self.action = self.action, None
        if act:
            act()
        return iter(self.comps)


@pytest.mark.parametrize("change", sorted(table_changes([])))
def test_paths_whose_iteration_changes_the_table(change):
    table = PathTable()
    act = table_changes(table)[change]
    list.extend(table, [(("a", "b"), 1), (Path(["a", "c"], act), 2), (("d",), 3)])
    assert type(table.reconstruct()) is dict
    check(table)


def test_paths_that_are_not_paths():
    for path, exc in ((5, TypeError), (Path(RuntimeError), TypeError), ((), ValueError),
                      ((IndexMarker([], 0), "a"), ValueError), (iter(()), ValueError)):
        table = PathTable([(path, 1)])
        with pytest.raises(exc):
            table.reconstruct()
    table = PathTable([("abc", 1), (["a", "b", "d"], 2), (iter(["x"]), 3)])
    assert table.reconstruct() == {"a": {"b": {"c": 1, "d": 2}}, "x": 3}


class Grabber(str):
    """A key that, when hashed, reaches the result being built through the
    cycle collector and changes it."""

    def __new__(cls, text, how):
        obj = super().__new__(cls, text)
        obj.how = how
        return obj

    def __hash__(self):
        how, self.how = self.how, None
        if how:
            for holder in gc.get_referrers(self):
                if type(holder) is dict:
                    {"clear": holder.clear, "nest": lambda: holder.__setitem__("loop", holder),
                     "list": lambda: holder.__setitem__(self, [holder])}[how]()
        return str.__hash__(self)


@pytest.mark.parametrize("how", ["clear", "nest", "list"])
def test_keys_that_reach_into_the_result_being_built(how):
    shared = Grabber("k", None)
    table = PathTable([((shared, "x"), 1), (("y", IndexMarker([], 0), "z"), 2), ((shared, "w"), 3)])
    shared.how = how
    try:
        result = table.reconstruct()
    except (TypeError, RecursionError):
        return
    assert type(result) is dict
    shared.how = None
    check(table)


def test_values_replaced_in_the_result_finalize_mid_rebuild():
    log = []

    class Noisy:
        def __del__(self):
            log.append("del")
            gc.collect()
            list.append(table, (("late",), 0)) if len(table) < 6 else None

    table = PathTable()
    list.extend(table, [(("a", "b"), 0), (("a", "b"), 1)])
    table[0] = (("a", "b"), Noisy())  # held by the table only
    list.__setitem__(table, 0, list(table[0]))  # now by a list entry
    entry = table[0]
    del table[0]
    list.insert(table, 0, entry)
    del entry
    result = table.reconstruct()
    assert result["a"]["b"] == 1
    check(table)


def test_a_table_that_holds_itself():
    table = PathTable([(("a",), 1)])
    list.append(table, (("me",), table))
    assert table.reconstruct()["me"] is table
    list.append(table, table)  # an entry that is the table: three elements, not two
    with pytest.raises(ValueError):
        table.reconstruct()
    list.pop(table)
    # Below the table stored at ('me',): a copy of it, which gains {'deeper': 2}
    # and is made a PathTable again at the end, which refuses that element.
    table.append((("me", "deeper"), 2))
    with pytest.raises(ValueError, match=PAIR_ERROR):
        table.reconstruct()
    assert len(table) == 3 and table[1][1] is table


def test_very_long_paths_and_many_entries():
    path = tuple(range(20000))
    table = PathTable([(path, "leaf"), (path[:-1] + ("other",), 2)])
    result = table.reconstruct()
    node = result
    for k in path[:-1]:
        node = node[k]
    assert node == {path[-1]: "leaf", "other": 2}
    del result, node
    big = PathTable([((i % 97, IndexMarker([], i)), i) for i in range(20000)])
    rebuilt = big.reconstruct()
    assert sum(len(v) for v in rebuilt.values()) == 20000


# ------------------------------------------------ list operations attacked


class Pair:
    """Unpacks into two values, running an action while it does."""

    def __init__(self, action, values=(("p",), 1)):
        self.action, self.values = action, values

    def __iter__(self):
        act, self.action = self.action, None
        if act:
            act()
        return iter(self.values)


def op_changes(table):
    return {
        "clear": lambda: list.clear(table),
        "append": lambda: list.append(table, (("x",), 0)),
        "reinit": lambda: table.__init__({"r": 1}),
        "extend-self": lambda: list.extend(table, table),
        "gc": gc.collect,
    }


OPS = {
    "append": lambda t, item: t.append(item),
    "insert": lambda t, item: t.insert(0, item),
    "insert-end": lambda t, item: t.insert(sys.maxsize, item),
    "setitem": lambda t, item: t.__setitem__(-1, item),
    "setitem-slice": lambda t, item: t.__setitem__(slice(0, 1), item),
    "extend": lambda t, item: t.extend([(("e",), 1), item]),
    "init": lambda t, item: t.__init__([item]),
}


@pytest.mark.parametrize("change", sorted(op_changes([])))
@pytest.mark.parametrize("op", sorted(OPS))
def test_items_that_change_the_table_while_they_are_unpacked(op, change):
    table = PathTable({"a": 1, "b": 2})
    item = Pair(op_changes(table)[change])
    try:
        OPS[op](table, item)
    except IndexError:
        assert op == "setitem" and change == "clear"
    check(table)


@pytest.mark.parametrize("bad", [
    Pair(None, ()), Pair(None, (1, 2, 3)), Pair(lambda: 1 / 0), 5, "abc", None,
])
@pytest.mark.parametrize("op", sorted(OPS))
def test_bad_items_leave_the_table_unchanged(op, bad):
    table = PathTable({"a": 1, "b": 2})
    before = snapshot(table)
    with pytest.raises(ValueError, match=PAIR_ERROR):
        OPS[op](table, Pair(bad.action, bad.values) if isinstance(bad, Pair) else bad)
    check(table, before)


class Position:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        act, self.action = self.action, None
        if act:
            act()
        return self.value


@pytest.mark.parametrize("change", sorted(op_changes([])))
@pytest.mark.parametrize("op", ["insert", "setitem"])
def test_positions_that_change_the_table(op, change):
    table = PathTable({"a": 1, "b": 2})
    pos = Position(1, op_changes(table)[change])
    try:
        if op == "insert":
            table.insert(pos, (("n",), 0))
        else:
            table[pos] = (("n",), 0)
    except IndexError:
        assert change in ("clear", "reinit")
    check(table)


def test_extend_from_iterables_that_fight_back():
    table = PathTable({"a": 1})

    def feed():
        yield (("b",), 2)
        list.clear(table)
        yield (("c",), 3)

    table.extend(feed())
    assert [e.path for e in table] == [("b",), ("c",)]

    def failing():
        yield (("d",), 4)
        raise KeyboardInterrupt

    before = snapshot(table)
    with pytest.raises(KeyboardInterrupt):
        table.extend(failing())
    check(table, before)
    table.extend(table)  # from itself: read before anything is added
    table.extend(iter(table))
    assert len(table) == 8
    check(table)


def test_extend_while_a_patched_entry_class_walks_every_list(monkeypatch):
    # Making an entry runs the patched __new__, which reads every list the
    # collector tracks: extend's half-filled list of entries must not be one.
    made = DictItem.__new__

    def new(cls, *args):
        for o in gc.get_objects():
            if type(o) is list:
                list(o)
        return made(cls, *args)

    monkeypatch.setattr(DictItem, "__new__", new)
    table = PathTable({})
    table.extend([(("a",), 1), (("b",), 2), (("c",), 3)])
    assert list(table) == [(("a",), 1), (("b",), 2), (("c",), 3)]
