"""MemberBag and NestedMemberBag against keys, values, update sources and
subclasses that fight back.

Every attack ends in an exception or a consistent result; afterwards every
bag reached is still its own attribute dictionary, its entries and its
attributes agree, and it can be read, written and printed.
"""
import gc
import sys

import pytest

from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag
from tavrin.datastructures.rankmap import RankMap


def check(top):
    """The invariant, for the bag and every bag reachable through its values:
    it is its own attribute dictionary, string keys read back as attributes,
    and it takes new entries and prints (or, nested too deep to print,
    raises RecursionError)."""
    seen, todo = set(), [top]
    while todo:
        bag = todo.pop()
        if id(bag) in seen:
            continue
        seen.add(id(bag))
        assert vars(bag) is bag and bag.__dict__ is bag
        items = list(dict.items(bag))
        assert len(items) == len(bag) == len(list(bag))
        for key, value in items:
            if type(key) is str and key.isidentifier() and key not in dir(type(bag)):
                assert getattr(bag, key) is value
            if isinstance(value, MemberBag):
                todo.append(value)
        dict.__setitem__(bag, "__probe__", 1)
        assert bag.__probe__ == 1
        del bag.__probe__
        assert "__probe__" not in dict.keys(bag)
    try:
        repr(top)
    except RecursionError:
        pass


# ------------------------------------------------- keys that split oddly


class Loop(str):
    """A dotted key whose split hands back a key as long as itself."""

    def split(self, sep=None, maxsplit=-1):
        return ["me", self]


class Odd(str):
    def __new__(cls, text, parts):
        obj = super().__new__(cls, text)
        obj.parts = parts
        return obj

    def split(self, sep=None, maxsplit=-1):
        if isinstance(self.parts, BaseException):
            raise self.parts
        return self.parts


PATH_OPS = {
    "get": lambda b, k: b[k],
    "set": lambda b, k: b.__setitem__(k, 1),
    "contains": lambda b, k: k in b,
    "del": lambda b, k: b.__delitem__(k),
    "get-method": lambda b, k: b.get(k),
    "pop": lambda b, k: b.pop(k, None),
    "setdefault": lambda b, k: b.setdefault(k, 1),
    "update": lambda b, k: b.update([(k, 1)]),
}


@pytest.mark.parametrize("op", sorted(PATH_OPS))
def test_a_key_that_splits_into_itself_through_a_self_containing_bag(op):
    # Every step of the walk lands on the same bag with the same key: only
    # the recursion limit can end it, as it ends the recursive definition.
    bag = NestedMemberBag(a=1)
    dict.__setitem__(bag, "me", bag)
    with pytest.raises(RecursionError):
        PATH_OPS[op](bag, Loop("x.y"))
    check(bag)


@pytest.mark.parametrize("parts, exc", [
    (["a"], ValueError),
    (["a", "b", "c"], ValueError),
    (5, TypeError),
    (None, TypeError),
    ([[], "b"], TypeError),  # an unhashable head
    (lambda: iter(["a", "b"]), None),  # any iterable of two serves
    ([1, 2], None),  # non-str parts are keys like any other
    (RuntimeError("split"), RuntimeError),
    (KeyboardInterrupt(), KeyboardInterrupt),
], ids=["one", "three", "int", "none", "unhashable-head", "iterator", "ints", "raises", "interrupt"])
@pytest.mark.parametrize("op", ["get", "set", "contains", "del"])
def test_keys_whose_split_misbehaves(op, parts, exc):
    bag = NestedMemberBag({"a": {"b": 1}, 1: {2: 3}})
    key = Odd("a.b", parts() if callable(parts) else parts)
    if exc is None:
        try:
            PATH_OPS[op](bag, key)
        except (KeyError, TypeError):
            pass
    else:
        with pytest.raises(exc):
            PATH_OPS[op](bag, key)
    check(bag)


def test_a_key_whose_contains_lies():
    class Dotless(str):
        def __contains__(self, sep):
            return False

    class Dotted(str):
        def __contains__(self, sep):
            return True

    bag = NestedMemberBag({"a": {"b": 1}})
    bag[Dotless("a.b")] = 2  # not a path: a top-level entry
    assert dict.__getitem__(bag, "a.b") == 2
    with pytest.raises(ValueError):
        bag[Dotted("ab")]  # a path without a dot: split gives one part
    check(bag)


# ------------------------------------------ self-containing and deep bags


def test_a_bag_that_contains_itself():
    bag = NestedMemberBag(x=1)
    bag["me"] = bag
    assert repr(bag) == "NestedMemberBag({'x': 1, 'me': NestedMemberBag({...})})"
    deep = ".".join(["me"] * 3000)
    assert bag[deep + ".x"] == 1 and bag.get(deep + ".nope", 0) == 0
    # Writes, tests and deletes recurse once per level: they end in
    # RecursionError where the interpreter's C recursion limit is below
    # 3000 (3.11 and older), and reach the bag itself where it is higher.
    try:
        bag[deep + ".y"] = 2
    except RecursionError:
        assert "y" not in bag
    else:
        assert bag["y"] == 2
    try:
        assert (deep + ".x") in bag
        del bag[deep + ".x"]
    except RecursionError:
        pass
    else:
        assert "x" not in bag
        bag["x"] = 1
    assert bag["x"] == 1
    with pytest.raises(RecursionError):
        NestedMemberBag(bag)  # every level merged into a new one, without end
    with pytest.raises(RecursionError):
        bag.update(bag)  # merges bag into bag['me'], which is bag ... without end
    check(bag)


def test_two_bags_that_contain_each_other():
    a, b = NestedMemberBag(), NestedMemberBag()
    a["b"], b["a"] = b, a
    assert a["b.a.b.a.b"] is b
    a["b.a.b.leaf"] = 1
    assert b.leaf == 1 and "b.a.b.leaf" in a and "a.b.a.b.leaf" in b
    with pytest.raises(RecursionError):
        a.update({"b": {"a": a}})  # merges a into b.a, which is a itself ... without end
    check(a)


@pytest.mark.parametrize("dots", [1, 10, 2000])
def test_keys_made_of_dots(dots):
    bag = NestedMemberBag()
    key = "." * dots
    if dots < 500:
        bag[key] = 1
        assert bag[key] == 1 and key in bag
        del bag[key]
        assert key not in bag
    else:
        # One level per dot: RecursionError under a C recursion limit below
        # the depth, the value stored where the limit is higher.
        try:
            bag[key] = 1
        except RecursionError:
            pass
        else:
            assert bag[key] == 1
    check(bag)


def test_wide_and_deep_inputs():
    wide = NestedMemberBag({f"k{i}": {"v": i} for i in range(20000)})
    assert wide["k19999.v"] == 19999 and len(wide) == 20000
    doc = leaf = {}
    for _ in range(50000):
        leaf["n"] = leaf = {}
    with pytest.raises(RecursionError):
        NestedMemberBag(doc)
    chain = bag = MemberBag()
    for _ in range(50000):
        bag.n = bag = MemberBag()
    with pytest.raises(RecursionError):
        repr(chain)
    del chain, bag
    gc.collect()


# ---------------------------------------- keys that change the bag when hashed


class Meddler(str):
    """A str key whose hash and comparisons change the bag holding it."""

    def __new__(cls, text, action):
        obj = super().__new__(cls, text)
        obj.action = action
        return obj

    def __hash__(self):
        act, self.action = self.action, None
        if act:
            act()
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)


def meddlings(bag):
    return {
        "clear": bag.clear,
        "new-dict": lambda: setattr(bag, "__dict__", {}),
        "own-dict": lambda: setattr(bag, "__dict__", bag),
        "class": lambda: setattr(bag, "__class__", MemberBag),
        "fill": lambda: bag.update({f"f{i}": i for i in range(50)}),
        "level": lambda: dict.__setitem__(bag, "a", 7),
    }


@pytest.mark.parametrize("action", sorted(meddlings(MemberBag())))
@pytest.mark.parametrize("op", ["get", "set", "contains", "del", "attr-get", "attr-set", "attr-del", "update",
                                "setdefault", "pop"])
def test_keys_that_change_the_bag_while_hashed(action, op):
    bag = NestedMemberBag({"a": {"b": 1}, "c": 2})
    key = Meddler("a.b" if not op.startswith("attr") else "c", meddlings(bag)[action])
    ops = dict(PATH_OPS, **{
        "attr-get": lambda b, k: getattr(b, k),
        "attr-set": lambda b, k: setattr(b, k, 3),
        "attr-del": lambda b, k: delattr(b, k),
    })
    try:
        ops[op](bag, key)
    except (KeyError, AttributeError, TypeError):
        pass
    if vars(bag) is not bag:
        bag.__dict__ = bag  # the attack gave it another attribute dictionary
    check(bag)


# ------------------------------------------- the class changes mid-write


def test_the_class_replaced_and_dropped_during_a_path_write():
    # type(self) is read after the setdefault call, as the statement that
    # follows it reads it; the class it had before is gone by then.
    def make():
        class Passing(NestedMemberBag):
            made = False

            def __new__(cls, *args, **kwargs):
                if Passing.made:
                    return NestedMemberBag()
                Passing.made = True
                return super().__new__(cls)

            def setdefault(self, key, default):
                self.__class__ = NestedMemberBag
                gc.collect()
                return 5

        return Passing()

    bag = make()
    gc.collect()
    with pytest.raises(KeyError) as info:
        bag["a.b"] = 1
    assert info.value.args == ('target key "a" is a value, cannot update value against another NestedMemberBag',)
    check(bag)


def test_new_levels_whose_constructor_swaps_the_class_of_the_parent():
    def make():
        class Swapper(NestedMemberBag):
            def __new__(cls, *args, **kwargs):
                if parent:
                    parent[0].__class__ = NestedMemberBag
                    parent.clear()
                    gc.collect()
                    return NestedMemberBag()
                return super().__new__(cls)

        return Swapper()

    parent = []
    bag = make()
    parent.append(bag)
    gc.collect()
    bag["a.b"] = 1  # the new level is a NestedMemberBag, as the class now is
    assert type(bag) is NestedMemberBag and type(bag["a"]) is NestedMemberBag and bag["a.b"] == 1
    check(bag)


# ---------------------------------------------------- hostile update sources


class Pair:
    """Reports a length, then iterates whatever it holds."""

    def __init__(self, items, length=2, action=None):
        self.items, self.length, self.action = items, length, action

    def __len__(self):
        act, self.action = self.action, None
        if act:
            act()
        return self.length

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("element, exc", [
    (Pair(["k", "v", "extra"]), ValueError),
    (Pair(["k"]), ValueError),
    (Pair(["k", "v"], length=-1), ValueError),
    (Pair(["k", "v"], length=sys.maxsize + 1), OverflowError),
    (Pair(["k", "v"], length="2"), TypeError),
    (Pair([[], "v"]), TypeError),
    (Pair([[], {"x": 1}]), TypeError),
])
def test_update_elements_that_lie(element, exc):
    bag = NestedMemberBag(a=1)
    with pytest.raises(exc):
        bag.update([("b", 2), element])
    assert bag == {"a": 1, "b": 2}
    check(bag)


def test_update_elements_whose_length_changes_the_bag():
    bag = NestedMemberBag(a={"x": 1})
    bag.update([Pair(["a.y", 2], action=bag.clear), Pair(["b", {"c": 3}], action=lambda: bag.pop("a"))])
    assert bag == {"b": {"c": 3}} and type(bag["b"]) is NestedMemberBag
    check(bag)


class Source(list):
    """A list of pairs whose index() misbehaves."""

    def __init__(self, items, index):
        super().__init__(items)
        self.index_result = index

    def index(self, *args):
        if isinstance(self.index_result, BaseException):
            raise self.index_result
        if callable(self.index_result):
            return self.index_result()
        return self.index_result


@pytest.mark.parametrize("index, exc, text", [
    ("seven", TypeError, "element #seven "),
    (None, TypeError, "element #None "),
    (RuntimeError("index"), RuntimeError, "index"),
    (KeyboardInterrupt(), KeyboardInterrupt, ""),
])
def test_update_source_whose_index_misbehaves(index, exc, text):
    bag = NestedMemberBag()
    with pytest.raises(exc) as info:
        bag.update(Source([("a", 1), ("b", 2, 3)], index))
    assert text in str(info.value)
    assert bag == {"a": 1}
    check(bag)


def test_update_source_whose_index_empties_the_bag():
    bag = NestedMemberBag()
    with pytest.raises(TypeError, match="element #0 "):
        bag.update(Source([("a", 1), "xyz"], lambda: bag.clear() or 0))
    assert bag == {}
    check(bag)


def test_mapping_sources_whose_items_misbehave():
    from collections.abc import Mapping

    class Items(Mapping):
        def __init__(self, result):
            self.result = result

        def __getitem__(self, key):
            raise KeyError(key)

        def __len__(self):
            return 0

        def __iter__(self):
            return iter(())

        def items(self):
            if isinstance(self.result, BaseException):
                raise self.result
            return self.result

    bag = NestedMemberBag(a=1)
    for result, exc in ((5, TypeError), (None, TypeError), (RuntimeError("items"), RuntimeError),
                        ([("b", 2), "c"], TypeError), (iter([("c", 3)]), None), (bag, AttributeError)):
        if exc is None:
            bag.update(Items(result))
        else:
            with pytest.raises(exc):
                bag.update(Items(result))
    # `bag` as its own items(): iterating it gives its keys, one character
    # long, and the bag has no index() to number the bad element with.
    assert bag == {"a": 1, "b": 2, "c": 3}
    check(bag)


def test_a_mapping_value_that_is_the_source_itself():
    source = {"x": 1}
    source["self"] = source
    bag = NestedMemberBag(y=2)
    with pytest.raises(RecursionError):
        bag.update(source)
    assert bag["x"] == 1 and bag["y"] == 2
    check(bag)


# ------------------------------------------- entries that shadow methods


@pytest.mark.parametrize("name, value, exc", [
    ("setdefault", 5, TypeError),
    ("setdefault", lambda key, default: None, KeyError),
    ("setdefault", dict().setdefault, None),  # hands back the new level it was given
    ("update", 5, TypeError),
    ("update", print, None),
    ("setdefault", lambda key, default: (_ for _ in ()).throw(SystemExit(1)), SystemExit),
])
def test_entries_that_shadow_the_methods_writes_call(name, value, exc):
    bag = NestedMemberBag(a={"b": 1})
    level = bag["a"]
    dict.__setitem__(level, name, value)
    op = (lambda: bag.__setitem__("a.c.d", 2)) if name == "setdefault" else (lambda: bag.update({"a": {"c": 2}}))
    if exc is None:
        op()
    else:
        with pytest.raises(exc):
            op()
    assert level["b"] == 1
    check(bag)


def test_missing_hooks_that_write_or_read_the_key_they_miss():
    class Filling(NestedMemberBag):
        def __missing__(self, key):
            dict.__setitem__(self, key, type(self)(auto=1))
            return dict.__getitem__(self, key)

    bag = Filling()
    assert bag["a.b.auto"] == 1 and type(bag["a"]) is Filling
    bag["c.d"] = 2  # setdefault reads first: the hook makes the level
    assert bag["c"] == {"auto": 1, "d": 2}
    check(bag)

    class Looping(NestedMemberBag):
        def __missing__(self, key):
            self[key + ".x"] = 1  # setdefault reads self[key] again ...
            return self[key]

    looping = Looping()
    for op in (lambda: looping["a"], lambda: looping["a.b"], lambda: looping.setdefault("a", 1)):
        with pytest.raises(RecursionError):
            op()
    check(looping)


# ------------------------------------------------------- MemberBag itself


def test_memberbag_repr_when_class_or_name_misbehave():
    class NoClass(MemberBag):
        @property
        def __class__(self):
            raise RuntimeError("class")

    with pytest.raises(RuntimeError):
        repr(NoClass(a=1))
    bag = MemberBag(a=1)
    bag["__class__"] = "ignored"  # a data descriptor of the class wins
    assert repr(bag) == "MemberBag({'a': 1, '__class__': 'ignored'})"
    check(bag)


def test_memberbag_built_from_mappings_that_fight_back():
    class Keys:
        def __init__(self):
            self.made = []

        def keys(self):
            return ["a", "b"]

        def __getitem__(self, key):
            if key == "b":
                raise LookupError("b")
            return key

    with pytest.raises(LookupError):
        MemberBag(Keys())

    class Lies:
        def keys(self):
            return 5

    with pytest.raises(TypeError):
        MemberBag(Lies())


def test_attribute_dictionary_reassigned_and_restored():
    bag = MemberBag(a=1)
    bag.__dict__ = {"b": 2}
    assert bag.b == 2 and "b" not in bag and bag["a"] == 1
    with pytest.raises(TypeError):
        bag.__dict__ = 5
    bag.__init__(c=3)  # the initialiser makes it its own dictionary again
    assert bag.c == 3 and bag.a == 1
    check(bag)


# ------------------------------------------------- keywords that aren't str


class SubNested(NestedMemberBag):
    pass


KWARGS_TAKERS = {
    "dict": (dict, dict.update),
    "MemberBag": (MemberBag, MemberBag.update),
    "NestedMemberBag": (NestedMemberBag, NestedMemberBag.update),
    "subclass": (SubNested, SubNested.update),
    "RankMap": (RankMap, RankMap.update),
}


@pytest.mark.parametrize("form", ["alone", "after-star", "after-keyword", "init"])
@pytest.mark.parametrize("cls", list(KWARGS_TAKERS))
def test_non_string_keywords_are_refused_as_dict_refuses_them(cls, form):
    make, update = KWARGS_TAKERS[cls]
    target = make()
    calls = {
        "alone": [lambda: make(**{1: 1}), lambda: update(target, **{1: 1})],
        "after-star": [lambda: make(*(), **{1: 1}), lambda: update(target, *(), **{1: 1})],
        "after-keyword": [lambda: make(a=1, **{1: 1}), lambda: update(target, a=1, **{1: 1})],
        "init": [lambda: make.__init__(target, **{1: 1}), lambda: make([("b", 2)], **{"a": 1, 2: 2})],
    }[form]
    for call in calls:
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            call()
    assert len(target) == 0
