"""WispSeq against state and objects that fight back: `data` that leads back
to the list, `data` replaced or deleted in the middle of an operation,
positions and comparisons that finalize objects or change the list,
callbacks that misbehave, foreign entries, and large numbers of objects
finalized at once.

Every attack ends in an exception or a result; afterwards the list holds
exact weak references, each once, each with this list's own callback, and
works as a list of the live objects.
"""
import contextlib
import gc
import weakref

import pytest
from conftest import chain

from tavrin.datastructures.wispseq import WispSeq


class Obj:
    """Weakly referenceable, compares by identity."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<{self.name}>"


class Eq(Obj):
    """Compares by name and runs an action once from inside ==."""

    action = None

    def __eq__(self, other):
        act, self.action = self.action, None
        if act:
            act()
        return isinstance(other, Obj) and other.name == self.name

    __hash__ = Obj.__hash__


def check(seq, alive=None):
    """The invariant: `data` is a list of distinct exact weak references
    whose callbacks are this list's own remove; reads agree with it; the
    list takes, finds and drops a new object; and `alive`, when given, is
    exactly the objects it holds, in order."""
    data = seq.data
    assert type(data) is list
    assert all(type(r) is weakref.ref for r in data)
    assert len({id(r) for r in data}) == len(data)
    assert all(r.__callback__.__self__ is seq for r in data)
    objects = list(seq)
    assert len(objects) == len(seq) == len(data)
    if alive is not None:
        assert objects == alive and all(a is b for a, b in zip(objects, alive))
    probe = Obj("probe")
    seq.append(probe)
    assert seq[-1] is probe and probe in seq and seq.index(probe) == len(seq) - 1
    del probe
    assert len(seq) == len(data)


# ------------------------------------------------ data that leads back


def back_references(seq):
    other = WispSeq()
    return {
        "self": lambda: setattr(seq, "data", seq),
        "mutual": lambda: (setattr(seq, "data", other), setattr(other, "data", seq)),
        "own-iterator": lambda: setattr(seq, "data", iter(seq)),
        "own-reversed": lambda: setattr(seq, "data", reversed(seq)),
    }, other


OPS = {
    "contains": lambda s, o: o[0] in s,
    "getitem": lambda s, o: s[0],
    "slice": lambda s, o: s[0:2],
    "len": lambda s, o: len(s),
    "iter": lambda s, o: list(s),
    "index": lambda s, o: s.index(o[0]),
    "count": lambda s, o: s.count(o[0]),
    "remove": lambda s, o: s.remove(o[0]),
    "append": lambda s, o: s.append(o[0]),
    "insert": lambda s, o: s.insert(0, o[0]),
    "extend": lambda s, o: s.extend(o),
    "extend-self": lambda s, o: s.extend(s),
    "setitem": lambda s, o: s.__setitem__(0, o[0]),
    "setslice": lambda s, o: s.__setitem__(slice(0, 1), o[:1]),
    "iadd": lambda s, o: s.__iadd__(o),
    "add": lambda s, o: s + s,
    "eq": lambda s, o: s == o,
    "lt": lambda s, o: s < o,
    "repr": lambda s, o: repr(s),
    "str": lambda s, o: str(s),
    "sort": lambda s, o: s.sort(),
    "reversed": lambda s, o: reversed(s),
    "copy": lambda s, o: s.copy(),
    "pop": lambda s, o: s.pop(0),
    "del": lambda s, o: s.__delitem__(0),
    "clear": lambda s, o: s.clear(),
    "mul": lambda s, o: s * 2,
    "construct-from": lambda s, o: WispSeq(s),
}


@pytest.mark.parametrize("how", ["self", "mutual", "own-iterator", "own-reversed"])
@pytest.mark.parametrize("op", sorted(OPS))
def test_data_that_leads_back_to_the_list(how, op, unraisable):
    # Reading such a list goes round in a circle: the recursion limit (or
    # the type of the stand-in) ends it, never the C stack.
    objs = [Obj(str(i)) for i in range(3)]
    seq = WispSeq(objs)
    data = seq.data
    attacks, other = back_references(seq)
    attacks[how]()
    try:
        OPS[op](seq, objs)
    except (RecursionError, TypeError, AttributeError, ValueError, IndexError):
        pass
    seq.data = data
    other.data = []
    check(seq)
    assert set(map(id, seq)) <= set(map(id, objs)) | {id(o) for o in seq if o.name == "probe"}
    del objs  # no cycles: they go at once, and their entries with them
    assert len(seq) == 0


# ---------------------------------------------- data replaced mid-operation


def replacements(seq):
    return {
        "new-list": lambda: setattr(seq, "data", list(seq.data)),
        "empty": lambda: setattr(seq, "data", []),
        "delete": lambda: delattr(seq, "data"),
        "tuple": lambda: setattr(seq, "data", tuple(seq.data)),
        "clear": lambda: seq.clear(),
        "reinit": lambda: seq.__init__([]),
    }


LOOKUPS = {
    "contains": lambda s, t: t in s,
    "index": lambda s, t: s.index(t),
    "count": lambda s, t: s.count(t),
    "remove": lambda s, t: s.remove(t),
    "eq": lambda s, t: s == [t],
    "sort": lambda s, t: s.sort(key=lambda o: (o == t, o.name)),
}


@pytest.mark.parametrize("what", sorted(replacements(WispSeq())))
@pytest.mark.parametrize("op", sorted(LOOKUPS))
def test_data_replaced_while_objects_compare(op, what, unraisable):
    holder = [Eq(str(i)) for i in range(5)]
    seq = WispSeq(holder)
    holder[1].action = replacements(seq)[what]
    target = Obj("3")
    try:
        LOOKUPS[op](seq, target)
    except (ValueError, AttributeError, TypeError):
        pass
    holder[1].action = None  # a lookup that stopped early never ran it
    if not isinstance(getattr(seq, "data", None), list):
        seq.data = list(getattr(seq, "data", ()))
    check(seq)
    if op != "sort":  # the others keep the order of what is left
        assert all(o is h for o, h in zip(seq, [h for h in holder if any(h is x for x in seq)]))
    del holder
    assert len(seq) == 0
    assert unraisable == [] or all(isinstance(e, ValueError) for e in unraisable)


def test_data_deleted_by_a_finalizer_while_iterating(unraisable):
    holder = [Obj(str(i)) for i in range(4)]
    seq = WispSeq(holder)
    it = iter(seq)
    assert next(it) is holder[0]
    del seq.data  # the iterator keeps the list it walks
    holder.pop(1)
    # Its entry stays in the list the iterator walks: read as None.
    assert [o and o.name for o in it] == [None, "2", "3"]
    # The entry's callback found no data: reported, nothing else.
    assert len(unraisable) == 1 and isinstance(unraisable[0], AttributeError)
    seq.data = []
    check(seq, [])


# -------------------------------------------------- hostile positions


class Position:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        act, self.action = self.action, None
        if act:
            act()
        return self.value


POSITION_OPS = {
    "getitem": lambda s, p, o: s[p],
    "setitem": lambda s, p, o: s.__setitem__(p, o),
    "delitem": lambda s, p, o: s.__delitem__(p),
    "insert": lambda s, p, o: s.insert(p, o),
    "slice": lambda s, p, o: s[p:],
    "setslice": lambda s, p, o: s.__setitem__(slice(p, None), [o]),
    "delslice": lambda s, p, o: s.__delitem__(slice(None, p)),
    "mul": lambda s, p, o: s * p,
    "imul": lambda s, p, o: s.__imul__(p),
}


@pytest.mark.parametrize("change", ["drop-all", "drop-one", "clear", "new-data", "append"])
@pytest.mark.parametrize("op", sorted(POSITION_OPS))
def test_positions_that_finalize_objects_or_change_the_list(op, change, unraisable):
    holder = [Obj(str(i)) for i in range(4)]
    seq = WispSeq(holder)
    extra = Obj("extra")
    acts = {
        "drop-all": holder.clear,
        "drop-one": lambda: holder.pop(0),
        "clear": seq.clear,
        "new-data": lambda: setattr(seq, "data", []),
        "append": lambda: seq.append(extra),
    }
    try:
        POSITION_OPS[op](seq, Position(1, acts[change]), extra)
    except IndexError:
        pass
    check(seq)
    assert unraisable == []


# --------------------------------------------------- callbacks misbehave


@pytest.mark.parametrize("remove, reported", [
    (None, None),  # no callback at all: the dead entry just stays
    (5, TypeError),  # accepted as a callback, fails when called
    (lambda ref: 1 / 0, ZeroDivisionError),
    (print, None),
    (lambda ref: (_ for _ in ()).throw(SystemExit(2)), SystemExit),
])
def test_a_remove_shadowed_on_the_instance(remove, reported, unraisable, capsys):
    seq = WispSeq()
    seq.remove = remove
    obj = Obj("x")
    try:
        seq.append(obj)
    except TypeError:
        assert not callable(remove)
        return
    del obj  # the callback that runs is the shadowing one
    gc.collect()
    if reported is None:
        assert unraisable == []
    else:
        assert len(unraisable) == 1 and isinstance(unraisable[0], reported)
    del seq.remove
    seq.data = [r for r in seq.data if r() is not None]
    check(seq)


born = []


class Stubborn(WispSeq):
    """A subclass whose remove fights the removal of dead entries."""

    how = "readd"

    def remove(self, item):
        if isinstance(item, weakref.ref) and item() is None:
            if self.how == "readd":
                self.data.append(item)  # puts the dead entry back after removing it
                super().remove(item)
                return
            if self.how == "recurse":
                return self.remove(item)
            if self.how == "clear":
                self.data.clear()
                return
            if self.how == "add":
                super().remove(item)
                born.append(Obj("born in remove"))
                self.append(born[-1])
                return
        super().remove(item)


@pytest.mark.parametrize("how", ["readd", "recurse", "clear", "add"])
def test_a_subclass_remove_that_fights_back(how, unraisable):
    Stubborn.how = how
    holder = [Obj(str(i)) for i in range(4)]
    seq = Stubborn(holder)
    holder.pop(1)
    gc.collect()
    if how == "recurse":
        assert len(unraisable) == 1 and isinstance(unraisable[0], RecursionError)
    else:
        assert unraisable == []
    if how in ("recurse", "readd"):  # these leave the dead entry in place
        assert sum(r() is None for r in seq.data) == 1
        seq.data = [r for r in seq.data if r() is not None]
    Stubborn.how = None
    check(seq)


def test_foreign_entries_in_data(unraisable):
    objs = [Obj(str(i)) for i in range(3)]
    seq = WispSeq(objs)
    other = WispSeq([objs[0]])

    class Strange:
        def __call__(self):
            raise LookupError("deref")

    seq.data.insert(1, other.data[0])  # another list's entry
    last = objs[2]
    seq.data.append(lambda: last)  # a callable standing for an entry
    seq.data.append(Strange())
    with pytest.raises(LookupError):
        list(seq)
    assert seq[1] is objs[0] and seq[4] is objs[2]
    with pytest.raises(LookupError):
        repr(seq)
    del objs[0]
    gc.collect()
    # Our own entry for it went; the foreign one, whose callback is the
    # other list's, stays here, dead, and reads as None.
    assert seq[0] is None and seq[1] is objs[0] and len(unraisable) == 0
    seq.data = [r for r in seq.data if type(r) is weakref.ref and r() is not None and r.__callback__.__self__ is seq]
    check(seq, objs)


def test_next_from_inside_a_step_is_refused(unraisable):
    # As a running generator refuses it; the walk then goes on.
    obj = Obj("a")
    seq = WispSeq([obj])
    seen = []

    def entry():
        try:
            next(walk)
        except ValueError as exc:
            seen.append(str(exc))
        return obj

    seq.data.insert(0, entry)
    walk = iter(seq)
    assert next(walk) is obj and next(walk) is obj
    assert seen == ["generator already executing"]


# ------------------------------------------ the collector in the middle


class Garbage(Obj):
    """In a reference cycle: only the cycle collector finalizes it."""

    def __init__(self, name):
        super().__init__(name)
        self.me = self


@contextlib.contextmanager
def collector_at_next_allocation():
    """The cycle collector runs at the next container the interpreter
    allocates (where it runs it there, before 3.12), not one taken from its
    spare list objects."""
    spare = [[] for _ in range(200)]
    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        yield
    finally:
        gc.set_threshold(*old)
        del spare


SLICINGS = {
    "reversed": (lambda s: s.__reversed__(), lambda k: k[::-1]),
    "step": (lambda s: s[EVERY_OTHER], lambda k: k[::2]),
    "tail": (lambda s: s[TAIL], lambda k: k[1:]),
}
EVERY_OTHER, TAIL = slice(None, None, 2), slice(1, None)  # made in advance: making one allocates


@pytest.mark.parametrize("how", sorted(SLICINGS))
def test_a_slice_whose_allocation_runs_the_collector(how, unraisable):
    # The collector finalizes the objects at the end of the list while the
    # snapshot of entries is being taken; their entries go meanwhile.
    take, expected = SLICINGS[how]
    keep = [Obj(str(i)) for i in range(10)]
    for _ in range(20):
        seq = WispSeq(keep)
        trash = Garbage("trash")
        seq.extend([trash, trash, trash])
        del trash
        with collector_at_next_allocation():
            part = take(seq)
        assert list(part) == expected(keep)
        check(seq, keep)
    assert unraisable == []


def test_a_callback_that_comes_while_the_list_sorts(unraisable):
    # The list's sort takes the entries out while it runs; the late callback
    # of an entry whose object was gone before the sort still removes it.
    objs = [Obj(str(i)) for i in range(4)]
    seq = WispSeq(objs)
    late = seq.data[1]
    callback = late.__callback__
    seq.data.remove(late)
    del objs[1]
    seq.data.insert(1, late)  # dead, with its callback still to come
    pending = [lambda: callback(late)]

    def key(obj):
        while pending:
            pending.pop()()
        return obj.name if obj is not None else ""

    unraisable.clear()
    seq.sort(key=key, reverse=True)
    check(seq, objs[::-1])
    assert unraisable == []


# ---------------------------------------------------------- big and deep


def test_many_objects_finalized_at_once():
    holder = [Obj(str(i)) for i in range(10000)]
    seq = WispSeq(holder)
    seq.extend(holder[::-1])
    keep = holder[::500]
    holder.clear()
    assert len(seq) == 2 * len(keep)
    check(seq, keep + keep[::-1])
    del keep
    assert len(seq) == 1 or all(o.name == "probe" for o in seq)


def test_lists_of_lists_deeper_than_the_recursion_limit():
    holder, twin = (chain(20000, WispSeq(), lambda inner: WispSeq([inner])) for _ in range(2))
    inner = holder[-1]
    with pytest.raises(RecursionError):
        repr(inner)
    with pytest.raises(RecursionError):
        inner == twin[-1]  # noqa: B015
    del holder[:-1], twin, inner
    gc.collect()
    assert len(holder[0]) == 0  # everything below it is gone
