import abc
import collections.abc
import copy
import inspect
import itertools
import pickle

import pytest
from conftest import expect, outcome, qual, swapped_pair
from hypothesis import given, settings, strategies as st

from tavrin.datastructures import memberbag
from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag

# Module-level subclasses so that pickle can find them.
class BagChild(MemberBag):
    pass


class NestedChild(NestedMemberBag):
    pass


def plain(obj):
    """A nested bag as plain dicts, checking every level is of the bag's class."""
    if isinstance(obj, NestedMemberBag):
        return {k: plain(v) for k, v in dict.items(obj)}
    return obj


# --------------------------------------------------------------- the module


def test_module_names_in_body_order():
    names = [n for n in vars(memberbag) if not n.startswith("__")]
    assert names == ["itertools", "Mapping", "MutableMapping", "MemberBag", "NestedMemberBag"]
    assert memberbag.itertools is itertools
    assert memberbag.Mapping is collections.abc.Mapping
    assert memberbag.MutableMapping is collections.abc.MutableMapping
    assert memberbag.__doc__ and "obj.key" in memberbag.__doc__


def test_memberbag_class_shape():
    assert MemberBag.__bases__ == (dict,)
    assert type(MemberBag) is type
    assert (MemberBag.__module__, MemberBag.__qualname__, MemberBag.__name__) == (
        "tavrin.datastructures.memberbag", "MemberBag", "MemberBag")
    own = [n for n in vars(MemberBag) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["__init__", "__repr__", "__reduce__", "__setstate__"]
    assert "cannot be reached with the dot" in MemberBag.__doc__ and MemberBag.__init__.__doc__


def test_nested_class_shape():
    assert NestedMemberBag.__bases__ == (MemberBag, collections.abc.MutableMapping)
    assert type(NestedMemberBag) is abc.ABCMeta
    assert NestedMemberBag.__doc__ is None
    assert NestedMemberBag.__mro__[:5] == (
        NestedMemberBag, MemberBag, dict, collections.abc.MutableMapping, collections.abc.Mapping)
    own = [n for n in vars(NestedMemberBag) if not n.startswith("_abc") and n not in ("__module__", "__doc__")]
    assert own[:9] == ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__",
                       "get", "pop", "setdefault", "update"]
    mm = collections.abc.MutableMapping
    assert NestedMemberBag.get is mm.get and NestedMemberBag.pop is mm.pop
    assert NestedMemberBag.setdefault is mm.setdefault
    assert not NestedMemberBag.__abstractmethods__


@pytest.mark.parametrize("method, sig", [
    (MemberBag.__init__, "(self, /, *args, **kwargs)"),
    (NestedMemberBag.__getitem__, "(self, /, key)"),
    (NestedMemberBag.__setitem__, "(self, /, key, value)"),
    (NestedMemberBag.update, "(self, /, *args, **kwargs)"),
])
def test_methods_carry_names_and_signatures(method, sig):
    assert str(inspect.signature(method)) == sig
    assert method.__qualname__.split(".")[0] in ("MemberBag", "NestedMemberBag")


# ------------------------------------------------------- argument binding


def stub_error(owner, params, *args, **kwargs):
    """The TypeError a Python function of this signature raises."""
    ns = {}
    exec(f"def f({params}): pass", ns)
    f = ns["f"]
    f.__qualname__ = owner
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    return str(info.value).replace("f()", "")


@pytest.mark.parametrize("call, owner, params, args, kwargs", [
    (lambda b: b.__getitem__(1, 2), "NestedMemberBag.__getitem__", "self, key", (0, 1, 2), {}),
    (lambda b: b.__getitem__(), "NestedMemberBag.__getitem__", "self, key", (0,), {}),
    (lambda b: b.__getitem__(k=1), "NestedMemberBag.__getitem__", "self, key", (0,), {"k": 1}),
    (lambda b: b.__setitem__(1, key=2), "NestedMemberBag.__setitem__", "self, key, value", (0, 1), {"key": 2}),
    (lambda b: b.__contains__(), "NestedMemberBag.__contains__", "self, key", (0,), {}),
    (lambda b: b.update(self=1), "NestedMemberBag.update", "self, *args, **kwargs", (0,), {"self": 1}),
])
def test_argument_errors_use_the_interpreter_wording(call, owner, params, args, kwargs):
    ns = {}
    exec(f"def {owner.split('.')[1]}({params}): pass", ns)
    f = ns[owner.split(".")[1]]
    f.__qualname__ = owner
    with pytest.raises(TypeError) as expected:
        f(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        call(NestedMemberBag())
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("cls", [MemberBag, NestedMemberBag])
def test_self_keyword_collides_with_the_instance(cls):
    with pytest.raises(TypeError, match=f"{qual(cls.__name__, '__init__')}\\(\\) got multiple values for argument 'self'"):
        cls(self=1)
    assert cls({"self": 1})["self"] == 1


def test_keywords_are_bound_by_name():
    bag = NestedMemberBag()
    bag.__setitem__(value=2, key="a.b")
    assert bag.__getitem__(key="a.b") == 2
    assert bag.__contains__(key="a")


# --------------------------------------------------------------- MemberBag


def test_entries_are_attributes():
    bag = MemberBag({"first": "A"}, last="B")
    assert (bag.first, bag["last"], len(bag)) == ("A", "B", 2)
    bag.x = 1
    assert "x" in bag and bag["x"] == 1 and len(bag) == 3
    del bag.x
    assert "x" not in bag
    bag["y"] = 2
    assert bag.y == 2
    assert bag.__dict__ is bag and vars(bag) is bag


def test_missing_names():
    bag = MemberBag()
    with pytest.raises(AttributeError):
        bag.missing
    with pytest.raises(AttributeError):
        del bag.missing
    with pytest.raises(KeyError) as info:
        bag["missing"]
    assert info.value.args == ("missing",)


def test_entries_shadow_methods_but_not_data_descriptors():
    bag = MemberBag(keys=5, __class__=int)
    assert bag.keys == 5
    assert list(MemberBag.keys(bag)) == ["keys", "__class__"]
    assert bag.__class__ is MemberBag
    assert repr(bag) == "MemberBag({'keys': 5, '__class__': <class 'int'>})"
    assert getattr(MemberBag({"a-b": 1}), "a-b") == 1


@pytest.mark.parametrize("bag, text", [
    (MemberBag(), "MemberBag({})"),
    (MemberBag(a=1), "MemberBag({'a': 1})"),
    (BagChild(a=1), "BagChild({'a': 1})"),
    (MemberBag(inner=MemberBag(x=1)), "MemberBag({'inner': MemberBag({'x': 1})})"),
    (NestedMemberBag(a={"b": 1}), "NestedMemberBag({'a': NestedMemberBag({'b': 1})})"),
])
def test_repr(bag, text):
    assert repr(bag) == text


def test_repr_of_a_bag_containing_itself():
    bag = MemberBag()
    bag.me = bag
    assert repr(bag) == "MemberBag({'me': MemberBag({...})})"


@pytest.mark.parametrize("args, exc", [((1, 2), TypeError), ((1,), TypeError), (([(1, 2, 3)],), ValueError)])
def test_constructor_errors_come_from_dict(args, exc):
    with pytest.raises(exc) as ours:
        MemberBag(*args)
    with pytest.raises(exc) as theirs:
        dict(*args)
    assert str(ours.value) == str(theirs.value)


def test_init_goes_through_the_next_class_in_the_mro():
    calls = []

    class Recorder(dict):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Mixed(MemberBag, Recorder):
        pass

    bag = Mixed({"a": 1}, b=2)
    assert calls == [(({"a": 1},), {"b": 2})]
    assert bag.__dict__ is bag and bag.b == 2


def test_attribute_writes_bypass_setitem():
    bag = NestedMemberBag()
    setattr(bag, "a.b", 1)
    bag.cfg = {"a": 1}
    assert dict(bag) == {"a.b": 1, "cfg": {"a": 1}}
    assert type(bag["cfg"]) is dict
    with pytest.raises(KeyError) as info:
        bag["a.b"]
    assert info.value.args == ("a",)


# ---------------------------------------------------------- NestedMemberBag


def test_levels_from_constructor():
    bag = NestedMemberBag({"a": {"b": {"c": 1}}})
    assert bag["a.b.c"] == 1 and bag.a.b.c == 1
    assert type(bag["a"]) is NestedMemberBag and type(bag["a"]["b"]) is NestedMemberBag


@pytest.mark.parametrize("bag", [NestedMemberBag({"a.b": 1}), NestedMemberBag(**{"a.b": 1})])
def test_dotted_keys_in_input_make_levels(bag):
    assert bag == {"a": {"b": 1}} and type(bag["a"]) is NestedMemberBag


def test_copy_by_construction_makes_new_levels_and_shares_leaves():
    leaf = [1, 2]
    other = NestedMemberBag({"a": {"b": leaf}})
    dup = NestedMemberBag(other)
    assert dup["a"] is not other["a"] and dup["a.b"] is leaf
    dup["a.c"] = 3
    assert "c" not in other["a"]


def test_path_writes_make_levels():
    bag = NestedMemberBag()
    bag["x.y.z"] = 1
    assert plain(bag) == {"x": {"y": {"z": 1}}}
    assert ("x.y.z" in bag, "x.y" in bag, "x.q" in bag, "q.y" in bag) == (True, True, False, False)


CONFLICT = 'target key "a" is a value, cannot update value against another NestedMemberBag'


@pytest.mark.parametrize("stored", [5, "text", [1], {"x": 1}, MemberBag(x=1)])
def test_path_write_through_a_non_level_changes_nothing(stored):
    bag = NestedMemberBag()
    dict.__setitem__(bag, "a", stored)
    before = repr(bag)
    with pytest.raises(KeyError) as info:
        bag["a.b"] = 1
    assert info.value.args == (CONFLICT,)
    assert repr(bag) == before and bag["a"] is stored


def test_level_of_another_bag_class_conflicts_in_a_subclass():
    bag = NestedChild()
    dict.__setitem__(bag, "a", NestedMemberBag())
    with pytest.raises(KeyError) as info:
        bag["a.b"] = 1
    assert info.value.args == ('target key "a" is a value, cannot update value against another NestedChild',)


@pytest.mark.parametrize("key, exc, arg", [
    ("a.b", KeyError, "a"),
    ("p.zz", KeyError, "zz"),
    ("d.x.y", KeyError, "x.y"),
])
def test_read_errors(key, exc, arg):
    bag = NestedMemberBag(p={"q": 1})
    bag["d"] = {"x": {"y": 1}}
    with pytest.raises(exc) as info:
        bag[key]
    assert info.value.args == (arg,)


def test_plain_dict_values_take_the_remainder_as_one_key():
    bag = NestedMemberBag()
    bag["a"] = {"x": 1, "y.z": 2}
    assert type(bag["a"]) is dict
    assert bag["a.x"] == 1 and bag["a.y.z"] == 2
    with pytest.raises(KeyError) as info:
        bag["a.y"] = 2
    assert "a plain" not in str(info.value) and info.value.args[0].startswith('target key "a"')


def test_get_pop_setdefault_understand_paths():
    bag = NestedMemberBag()
    assert bag.get("a.b") is None and bag.get("a.b", 7) == 7
    assert bag.setdefault("p.q", 3) == 3 and bag.setdefault("p.q", 4) == 3
    assert plain(bag) == {"p": {"q": 3}}
    assert bag.pop("p.q") == 3 and plain(bag) == {"p": {}}
    assert bag.pop("p.zz", 0) == 0
    with pytest.raises(KeyError):
        bag.pop("p.zz")
    bag["n"] = 5
    with pytest.raises(TypeError):
        bag.get("n.b")


def test_membership_delegates_to_the_value():
    bag = NestedMemberBag(s="hello", l=[1, "x"], d={"k.j": 1})
    bag["d"] = {"k.j": 1}
    assert "s.ell" in bag and "l.x" in bag and "d.k.j" in bag
    assert "s.zz" not in bag
    bag["n"] = 5
    with pytest.raises(TypeError):
        "n.x" in bag


def test_deletes():
    bag = NestedMemberBag({"a": {"b": 1, "c": 2}})
    del bag["a.b"]
    assert plain(bag) == {"a": {"c": 2}}
    del bag["a.c"]
    assert plain(bag) == {"a": {}}
    with pytest.raises(KeyError) as info:
        del bag["zz.y"]
    assert info.value.args == ("zz",)
    del bag["a"]
    assert bag == {}


@pytest.mark.parametrize("key", [(1, 2), 1.5, 7, None, b"a.b"])
def test_non_string_keys_behave_as_in_dict(key):
    bag, d = NestedMemberBag(), {}
    bag[key] = d[key] = 3
    assert bag[key] == 3 and key in bag
    del bag[key]
    assert key not in bag
    with pytest.raises(KeyError):
        del bag[key]


def test_str_subclass_keys_use_their_own_split():
    class Weird(str):
        def split(self, sep, maxsplit):
            return ["left", "right"]

    bag = NestedMemberBag()
    bag[Weird("a.b")] = 1
    assert plain(bag) == {"left": {"right": 1}}
    assert Weird("x.y") in bag


# ------------------------------------------------------------------ update

def test_update_merge_rules():
    bag = NestedMemberBag({"a": {"b": 1}})
    level = bag["a"]
    bag.update({"a": {"c": 2}})
    assert bag["a"] is level and plain(bag) == {"a": {"b": 1, "c": 2}}
    bag.update({"a": 7})
    assert bag == {"a": 7}
    with pytest.raises(AttributeError):
        bag.update({"a": {"d": 1}})
    bag["p"] = {"x": {"y": 1}}
    bag.update({"p": {"x": {"z": 2}}})
    assert bag["p"] == {"x": {"z": 2}} and type(bag["p"]["x"]) is dict


@pytest.mark.parametrize("args, message", [
    ((1, 2), "expected at most 1 arguments, got 2"),
    (([("a", 1), ("b", 2, 3)],), "cannot convert dictionary update sequence element #1 to a sequence"),
    ((((("a", 1), "xyz")),), "cannot convert dictionary update sequence element #1 to a sequence"),
])
def test_update_errors_apply_what_came_before(args, message):
    bag = NestedMemberBag()
    with pytest.raises(TypeError) as info:
        bag.update(*args)
    assert str(info.value) == message
    assert bag == ({} if len(args) == 2 else {"a": 1})


@pytest.mark.parametrize("source, expected", [
    (["xy"], {"x": "y"}),
    ([["k", 1]], {"k": 1}),
    ([{"k": 1, "v": 2}], {"k": "v"}),
    (iter([("a.b", 1)]), {"a": {"b": 1}}),
])
def test_update_takes_any_length_two_element(source, expected):
    bag = NestedMemberBag()
    bag.update(source)
    assert plain(bag) == expected


@pytest.mark.parametrize("element, exc", [(5, TypeError), (object(), TypeError)])
def test_update_element_without_length(element, exc):
    with pytest.raises(exc, match="has no len"):
        NestedMemberBag([element])


def test_update_unpacking_errors_are_the_interpreters():
    class LiesAboutLength:
        def __len__(self):
            return 2

        def __iter__(self):
            return iter([1, 2, 3])

    with pytest.raises(ValueError, match="too many values to unpack"):
        NestedMemberBag([LiesAboutLength()])


def test_update_source_without_index():
    with pytest.raises(AttributeError):
        NestedMemberBag(iter([("a", 1, 2)]))


def test_update_keys_only_object_is_a_sequence_of_pairs():
    class KeysOnly:
        def keys(self):
            return ["a"]

        def __iter__(self):
            return iter([("p", 1)])

        def __getitem__(self, k):
            return "from getitem"

    assert NestedMemberBag(KeysOnly()) == {"p": 1}


def test_update_with_registered_mapping_uses_items():
    class Reg:
        def items(self):
            return [("a", {"b": 1})]

    collections.abc.Mapping.register(Reg)
    bag = NestedMemberBag(Reg())
    assert plain(bag) == {"a": {"b": 1}} and type(bag["a"]) is NestedMemberBag


def test_positional_pairs_come_before_keywords():
    bag = NestedMemberBag([("a", 1)], a=2)
    assert bag == {"a": 2}
    order = NestedMemberBag([("b", 1)], a=2, c=3)
    assert list(order) == ["b", "a", "c"]


# ------------------------------------------- methods looked up on the object


def test_subclass_levels_and_overrides():
    calls = []

    class Child(NestedMemberBag):
        def update(self, *args, **kwargs):
            calls.append(("update", args, kwargs))
            super().update(*args, **kwargs)

        def __setitem__(self, key, value):
            calls.append(("set", key))
            super().__setitem__(key, value)

    bag = Child({"a": {"b": 1}}, c=2)
    assert type(bag["a"]) is Child
    assert calls[0] == ("update", ({"a": {"b": 1}},), {"c": 2})
    assert ("set", "c") in calls and ("set", "b") in calls
    with pytest.raises(KeyError, match="another Child"):
        bag["c.x"] = 1


def test_entry_named_setdefault_is_called_by_path_writes():
    seen = []

    def fake_setdefault(key, default):
        seen.append((key, type(default).__name__))
        return default

    bag = NestedMemberBag()
    bag["setdefault"] = fake_setdefault
    bag["a.b"] = 1
    assert seen == [("a", "NestedMemberBag")]
    assert "a" not in bag  # the entry returned the new level without storing it


def test_entry_named_update_on_a_level_is_called_by_merges():
    seen = []
    bag = NestedMemberBag()
    level = NestedMemberBag()
    level["update"] = lambda value: seen.append(value)
    dict.__setitem__(bag, "a", level)
    bag.update({"a": {"x": 1}})
    assert seen == [{"x": 1}] and "x" not in level


def test_base_between_nested_and_dict_is_honoured():
    reads = []

    class Logged(MemberBag):
        def __getitem__(self, key):
            reads.append(key)
            return super().__getitem__(key)

    class Mixed(NestedMemberBag, Logged):
        pass

    bag = Mixed()
    dict.__setitem__(bag, "a", Mixed())
    dict.__setitem__(bag["a"], "b", 1)
    assert bag["a.b"] == 1
    assert reads == ["a", "a", "b"]


def test_missing_hook_is_honoured_by_reads_and_setdefault():
    class Defaulting(NestedMemberBag):
        def __missing__(self, key):
            return f"default-{key}"

    bag = Defaulting()
    assert bag["x"] == "default-x" and bag.setdefault("y", 1) == "default-y"
    assert "y" not in bag


@pytest.mark.parametrize("name, replacement, probe, expected", [
    ("__contains__", lambda self, key: key == "magic", lambda b: "magic" in b, True),
    ("__getitem__", lambda self, key: "patched", lambda b: b["nothing"], "patched"),
    ("__init__", lambda self, *a, **k: dict.__setitem__(self, "init", "patched"), lambda b: dict(b), {"init": "patched"}),
])
def test_patching_the_class_takes_effect(name, replacement, probe, expected):
    original = NestedMemberBag.__dict__[name]
    try:
        setattr(NestedMemberBag, name, replacement)
        assert probe(NestedMemberBag()) == expected
    finally:
        setattr(NestedMemberBag, name, original)
    bag = NestedMemberBag(a={"b": 1})
    assert bag["a.b"] == 1 and "a.b" in bag and "magic" not in bag


def test_setdefault_store_failure_keeps_the_keyerror_as_context():
    bag = NestedMemberBag()
    bag["n"] = 5
    with pytest.raises(KeyError) as info:
        bag["n.x"] = 1
    assert info.value.__context__ is None
    class Refusing(NestedMemberBag):
        def __setitem__(self, key, value):
            if "." in key:
                return super().__setitem__(key, value)
            raise ValueError("refused")

    with pytest.raises(ValueError) as info:
        Refusing().setdefault("k", 1)
    assert isinstance(info.value.__context__, KeyError)
    with pytest.raises(ValueError) as info:
        Refusing()["a.b"] = 1
    assert isinstance(info.value.__context__, KeyError)


# ------------------------------------------------------------ copy, pickle


@pytest.mark.parametrize("make", [
    lambda: MemberBag(a=1, b=[1]),
    lambda: BagChild(a=1),
    lambda: NestedMemberBag({"a": {"b": [1]}, "c": 2}),
    lambda: NestedChild({"a": {"b": 1}}),
])
@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_copies_are_their_own_attribute_dictionary(make, how):
    original = make()
    if how == "copy":
        dup = copy.copy(original)
    elif how == "deepcopy":
        dup = copy.deepcopy(original)
    else:
        dup = pickle.loads(pickle.dumps(original, int(how[6:])))
    assert type(dup) is type(original) and dup == original and dup is not original
    assert dup.__dict__ is dup
    dup.new = 1
    assert dup["new"] == 1 and "new" not in original
    if isinstance(original, NestedMemberBag):
        assert type(dup["a"]) is type(original)
        assert (dup["a"] is original["a"]) == (how == "copy")
        assert dup["a"].__dict__ is dup["a"]


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))])
def test_copies_keep_dotted_top_level_keys(how):
    bag = NestedMemberBag()
    setattr(bag, "a.b", 1)
    dup = how(bag)
    assert dict(dup) == {"a.b": 1}


def test_deepcopy_and_pickle_of_self_containing_bag():
    bag = NestedMemberBag(x=1)
    bag.me = bag
    for dup in (copy.deepcopy(bag), pickle.loads(pickle.dumps(bag))):
        assert dup["me"] is dup and dup.__dict__ is dup


# --------------------------------------------------------------- bad input


def test_self_containing_mapping_ends_in_recursion_error():
    d = {}
    d["d"] = d
    with pytest.raises(RecursionError):
        NestedMemberBag(d)


def test_deep_nesting_ends_in_recursion_error():
    doc = leaf = {}
    for _ in range(100_000):
        leaf["n"] = {}
        leaf = leaf["n"]
    with pytest.raises(RecursionError):
        NestedMemberBag(doc)


def test_deep_but_legal_paths_read_iteratively():
    bag = NestedMemberBag()
    level = bag
    for _ in range(5000):
        child = NestedMemberBag()
        dict.__setitem__(level, "n", child)
        level = child
    dict.__setitem__(level, "leaf", 1)
    assert bag[".".join(["n"] * 5000 + ["leaf"])] == 1


class Hostile:
    def __init__(self, bag=None, mode="raise"):
        self.bag, self.mode = bag, mode

    def __hash__(self):
        if self.mode == "clear" and self.bag is not None:
            self.bag.clear()
        if self.mode == "raise":
            raise RuntimeError("hash")
        return 1

    def __eq__(self, other):
        if self.mode == "eq":
            raise RuntimeError("eq")
        return self is other


@pytest.mark.parametrize("op", [
    lambda b, k: b[k],
    lambda b, k: b.__setitem__(k, 1),
    lambda b, k: k in b,
    lambda b, k: b.__delitem__(k),
    lambda b, k: b.update([(k, {"x": 1})]),
])
def test_keys_whose_hash_raises(op):
    bag = NestedMemberBag(a={"b": 1})
    with pytest.raises(RuntimeError):
        op(bag, Hostile())
    assert plain(bag) == {"a": {"b": 1}}


def test_key_that_clears_the_bag_while_hashed():
    bag = NestedMemberBag(a={"b": 1})
    key = Hostile(bag, "clear")
    bag.update([(key, {"x": 1})])
    assert list(bag) == [key] and plain(list(bag.values())[0]) == {"x": 1}


def test_mapping_whose_items_raise_or_mutate():
    class BadItems(dict):
        def items(self):
            raise RuntimeError("items")

    with pytest.raises(RuntimeError):
        NestedMemberBag(BadItems(a=1))

    bag = NestedMemberBag()

    class Mutating(dict):
        def items(self):
            yield ("a", 1)
            bag.clear()
            yield ("b", 2)

    bag.update(Mutating(x=1))
    assert bag == {"b": 2}


def test_update_with_itself():
    bag = NestedMemberBag(a={"b": 1}, c=2)
    bag.update(bag)
    assert plain(bag) == {"a": {"b": 1}, "c": 2}


# ---------------------------------------------- property test against a model

SEG = st.sampled_from(["a", "b", "c"])
PATH = st.lists(SEG, min_size=1, max_size=3)
LEAF = st.integers(0, 9)
DOC = st.recursive(LEAF, lambda kids: st.dictionaries(SEG, kids, max_size=3), max_leaves=6)


def model_walk(model, segs):
    """The container holding the last segment, or the exception the bag raises."""
    cur = model
    for s in segs[:-1]:
        if not isinstance(cur, dict):
            return TypeError
        if s not in cur:
            return KeyError(s)
        cur = cur[s]
    if not isinstance(cur, dict):
        return TypeError
    return cur


def model_get(model, segs):
    cur = model_walk(model, segs)
    if not isinstance(cur, dict):
        return cur
    return cur[segs[-1]] if segs[-1] in cur else KeyError(segs[-1])


def model_set(model, segs, value):
    cur = model
    for s in segs[:-1]:
        if s not in cur:
            cur[s] = {}
        elif not isinstance(cur[s], dict):
            return KeyError(f'target key "{s}" is a value, cannot update value against another NestedMemberBag')
        cur = cur[s]
    cur[segs[-1]] = value
    return None


def model_update(model, doc):
    for k, v in doc.items():
        if isinstance(v, dict):
            if k not in model:
                model[k] = {}
            if not isinstance(model[k], dict):
                return AttributeError
            err = model_update(model[k], v)
            if err is not None:
                return err
        else:
            model[k] = v
    return None


OPS = st.lists(st.one_of(
    st.tuples(st.just("get"), PATH),
    st.tuples(st.just("set"), PATH, LEAF),
    st.tuples(st.just("contains"), PATH),
    st.tuples(st.just("delete"), PATH),
    st.tuples(st.just("update"), st.dictionaries(SEG, DOC, max_size=3)),
), max_size=25)


@settings(max_examples=150, deadline=None)
@given(start=st.dictionaries(SEG, DOC, max_size=3), ops=OPS)
def test_dotted_operations_match_a_nested_dict_model(start, ops):
    bag = NestedMemberBag(copy.deepcopy(start))
    model = copy.deepcopy(start)
    for op in ops:
        kind, path = op[0], ".".join(op[1]) if op[0] != "update" else None
        if kind == "get":
            want = model_get(model, op[1])
            got = outcome(lambda: plain(bag[path]))
            assert got == expect(want)
        elif kind == "set":
            want = model_set(model, op[1], op[2])
            got = outcome(lambda: bag.__setitem__(path, op[2]))
            assert got == expect(want)
        elif kind == "contains":
            cur = model_walk(model, op[1])
            want = (cur if not isinstance(cur, dict) else op[1][-1] in cur)
            if isinstance(want, KeyError):
                want = False
            got = outcome(lambda: path in bag)
            assert got == expect(want)
        elif kind == "delete":
            cur = model_walk(model, op[1])
            if isinstance(cur, dict):
                want = KeyError(op[1][-1]) if op[1][-1] not in cur else cur.pop(op[1][-1])
                want = want if isinstance(want, KeyError) else None
            else:
                want = cur
            got = outcome(lambda: bag.__delitem__(path))
            assert got == expect(want)
        else:
            want = model_update(model, op[1])
            got = outcome(lambda: bag.update(copy.deepcopy(op[1])))
            assert got == expect(want)
        assert plain(bag) == model


def test_init_assigns_dict_through_attribute_setting():
    seen = []

    class Watch(NestedMemberBag):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    bag = Watch(a={"b": 1})
    assert seen == ["__dict__", "__dict__"] and bag.__dict__ is bag and bag.a.__dict__ is bag.a


def test_each_proxy_is_asked_what_it_stands_for():
    # A weak proxy answers isinstance through its referent's class, so the
    # answer for one proxy says nothing about the next.
    import weakref

    class Seq(list):
        pass

    class Doc(dict):
        pass

    items, doc = Seq([1]), Doc(x=1)
    bag = NestedMemberBag(a=weakref.proxy(items), b=weakref.proxy(doc))
    assert type(dict.__getitem__(bag, "a")) is weakref.ProxyType
    assert type(bag["b"]) is NestedMemberBag and bag["b.x"] == 1


@pytest.mark.parametrize("base", [tuple, list])
def test_update_unpacks_pair_subclasses_by_iterating_them(base):
    bag = NestedMemberBag()
    bag.update([swapped_pair(base, "k", {"x": 1})])
    assert plain(bag) == {"k": {"x": 1}} and type(bag["k"]) is NestedMemberBag


def test_a_path_head_that_is_a_str_subclass_is_asked_whether_it_is_a_path():
    class Head(str):
        def __contains__(self, sub):
            return True

        def split(self, sep, maxsplit):
            return ["x1", "x2"]

    class Key(str):
        def split(self, sep, maxsplit):
            return [Head("x"), "y"]

    bag = NestedMemberBag(x1={"x2": {"z": 0}})
    bag[Key("a.b")] = 1
    assert plain(bag) == {"x1": {"x2": {"z": 0, "y": 1}}}
