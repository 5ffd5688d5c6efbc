"""Fast paths stand in for a lookup only while the lookup would find our own
code. The answer is remembered per class: a base class and an overriding
subclass used in turn must each keep their own answer, and monkeypatching
either one must be seen at once."""
import pytest

from tavrin.datastructures.memberbag import NestedMemberBag
from tavrin.datastructures.pathtable import PathTable
from tavrin.datastructures.rankmap import RankMap
from tavrin.datastructures.wispseq import WispSeq


class Item:
    pass


KEEP = [Item() for _ in range(3)]


def rankmap_case():
    # values() reads self[k] for every key: through our own structures
    # only while __getitem__ is RankMap's.
    def make(cls):
        return cls([("a", 1), ("b", 2)])

    return RankMap, "__getitem__", make, lambda m: m.values(), lambda self, key: "patched"


def memberbag_case():
    # A missing key is a KeyError unless the class has __missing__.
    def make(cls):
        return cls()

    def op(bag):
        try:
            return bag["zz"]
        except KeyError:
            return "missing"

    return NestedMemberBag, "__missing__", make, op, lambda self, key: "patched"


@pytest.mark.parametrize("case", [rankmap_case, memberbag_case])
def test_base_and_overriding_subclass_in_turn_then_monkeypatched(case):
    cls, name, make, op, patched = case()
    Base = type("Base", (cls,), {})
    Sub = type("Sub", (Base,), {name: patched})
    plain = op(make(Base))
    overridden = op(make(Sub))
    assert plain != overridden
    for _ in range(3):  # each class keeps its own answer
        assert op(make(Base)) == plain
        assert op(make(Sub)) == overridden
    setattr(Base, name, patched)  # the base is patched: both now go its way
    assert op(make(Base)) == overridden
    assert op(make(Sub)) == overridden
    delattr(Base, name)
    delattr(Sub, name)  # both back to the built-in behaviour
    assert op(make(Base)) == plain
    assert op(make(Sub)) == plain


def pathtable_append(t):
    t.append((("k",), 1))
    return list(t)


def wispseq_contains(s):
    return KEEP[0] in s


# super(Cls, self).name is the built-in's own, or whatever a class between
# ours and the built-in in the MRO defines.
@pytest.mark.parametrize(
    "cls, name, op, patched, seen",
    [
        (PathTable, "append", pathtable_append, lambda self, item: None, []),
        (WispSeq, "__contains__", wispseq_contains, lambda self, item: True, True),
    ],
)
def test_super_lands_on_a_class_in_between_once_it_defines_the_method(cls, name, op, patched, seen):
    Between = type("Between", cls.__mro__[1:2], {})
    Table = type("Table", (cls, Between), {})
    plain = op(Table())
    assert plain != seen
    for _ in range(2):
        assert op(cls()) == plain
        assert op(Table()) == plain
    setattr(Between, name, patched)
    assert op(Table()) == seen
    assert op(cls()) == plain  # the class itself is unaffected
    delattr(Between, name)
    assert op(Table()) == plain
