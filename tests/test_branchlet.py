import inspect
import re
import sys

import pytest
from conftest import chain
from hypothesis import given, settings, strategies as st

from tavrin.datastructures import branchlet
from tavrin.datastructures.branchlet import Branchlet


def oracle_class(source):
    """A plain Python class named Branchlet with the given body: the
    interpreter's own wording for argument errors comes from it."""
    ns = {}
    exec("class Branchlet:\n" + source, ns)
    return ns["Branchlet"]


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def reindent(text, last):
    """One child's text as its parent shows it (the rendering's definition)."""
    first, rest = ("`-- ", "    ") if last else ("|-- ", "|   ")
    lines = text.split("\n")
    return "".join(["\n" + first + lines[0]] + ["\n" + rest + line for line in lines[1:]])


def station(build_with_add_child=False):
    B = Branchlet
    if not build_with_add_child:
        pump = B("pump", [B("valve"), B("gauge")])
        tank = B("tank", [B("sensor", [B("probe"), B("cable")])])
        return B("station", [pump, tank])
    root, pump, tank, sensor = B("station"), B("pump"), B("tank"), B("sensor")
    root.add_child(pump)
    pump.add_child(B("valve"))
    pump.add_child(B("gauge"))
    root.add_child(tank)
    tank.add_child(sensor)
    sensor.add_child(B("probe"))
    sensor.add_child(B("cable"))
    return root


STATION = """\
station
|-- pump
|   |-- valve
|   `-- gauge
`-- tank
    `-- sensor
        |-- probe
        `-- cable"""


# --------------------------------------------------------------- the class


def test_module_and_class_shape():
    assert [n for n in vars(branchlet) if not n.startswith("__")] == ["Branchlet"]
    assert Branchlet.__bases__ == (object,) and type(Branchlet) is type
    assert (Branchlet.__module__, Branchlet.__qualname__) == ("tavrin.datastructures.branchlet", "Branchlet")
    own = [n for n in vars(Branchlet) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["__init__", "add_child", "__str__"]
    assert "tree" in Branchlet.__doc__
    assert all(m.__doc__ for m in (Branchlet.__init__, Branchlet.add_child, Branchlet.__str__))
    assert Branchlet.__repr__ is object.__repr__ and Branchlet.__eq__ is object.__eq__


@pytest.mark.parametrize("method, sig", [
    (Branchlet.__init__, "(self, /, name, children=None)"),
    (Branchlet.add_child, "(self, /, item)"),
    (Branchlet.__str__, "(self, /)"),
])
def test_signatures(method, sig):
    assert str(inspect.signature(method)) == sig


ORACLE = oracle_class(
    "    def __init__(self, name, children=None): pass\n"
    "    def add_child(self, item): pass\n"
    "    def __str__(self): pass\n")


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (("a", [], 1), {}), (("a",), {"name": "b"}), ((), {"children": []}), (("a",), {"other": 1}),
])
def test_init_argument_errors_use_the_interpreter_wording(args, kwargs):
    assert error_of(lambda: Branchlet(*args, **kwargs)) == error_of(lambda: ORACLE(*args, **kwargs))


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"child": 1})])
def test_add_child_argument_errors_use_the_interpreter_wording(args, kwargs):
    ours, theirs = Branchlet("a"), ORACLE("a")
    assert error_of(lambda: ours.add_child(*args, **kwargs)) == error_of(lambda: theirs.add_child(*args, **kwargs))


# ------------------------------------------------------------ construction


@pytest.mark.parametrize("given", [None, [], (), "", 0, False])
def test_false_children_become_a_new_list(given):
    first, second = Branchlet("a", given), Branchlet("b", children=given)
    assert first.children == [] and type(first.children) is list
    assert first.children is not second.children and first.children is not given
    first.add_child("x")
    assert second.children == [] and Branchlet("c").children == []


def test_given_children_are_shared_not_copied():
    empty, kids = [], [Branchlet("x")]
    a, b, c = Branchlet("a", empty), Branchlet("b", kids), Branchlet(name="c", children=kids)
    a.add_child("new")
    b.add_child("y")
    assert empty == [] and b.children is kids and c.children is kids and kids[-1] == "y"
    tup = (1, 2)
    assert Branchlet("d", tup).children is tup


def test_name_is_stored_unchanged_and_set_before_children():
    order = []

    class Recording(Branchlet):
        def __setattr__(self, key, value):
            order.append(key)
            super().__setattr__(key, value)

    name = object()
    node = Recording(name)
    assert order == ["name", "children"] and node.name is name


def test_a_failing_truth_test_leaves_the_node_unset():
    class Hostile:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    node = Branchlet.__new__(Branchlet)
    with pytest.raises(ZeroDivisionError, match="no truth"):
        node.__init__("a", Hostile())
    assert vars(node) == {}


def test_add_child_goes_through_append_of_the_children_object():
    calls = []

    class Log(list):
        def append(self, item):
            calls.append(item)

    node = Branchlet("a", Log([1]))
    assert node.add_child(2) is None and calls == [2] and node.children == [1]
    node.children = (1, 2)
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'append'"):
        node.add_child(3)
    assert node.children == (1, 2)


# --------------------------------------------------------------- rendering


@pytest.mark.parametrize("with_add_child", [False, True])
def test_the_station_example(with_add_child):
    assert str(station(with_add_child)) == STATION


@pytest.mark.parametrize("node, text", [
    (Branchlet("leaf"), "leaf"),
    (Branchlet("r\noot"), "r\noot"),
    (Branchlet("a", [Branchlet("only")]), "a\n`-- only"),
    (Branchlet("a", [Branchlet("b", [Branchlet("c")])]), "a\n`-- b\n    `-- c"),
    (Branchlet("a", ["plain", 42, None]), "a\n|-- plain\n|-- 42\n`-- None"),
    (Branchlet("a", [Branchlet("x\ny"), Branchlet("z\n")]), "a\n|-- x\n|   y\n`-- z\n    "),
    (Branchlet("a", [Branchlet(""), ""]), "a\n|-- \n`-- "),
    (Branchlet("a", (Branchlet("t1"), Branchlet("t2", (Branchlet("t3"),)))), "a\n|-- t1\n`-- t2\n    `-- t3"),
    (Branchlet("é", [Branchlet("\u20ac", ["\U0001f333\nz"])]), "é\n`-- \u20ac\n    `-- \U0001f333\n        z"),
    (Branchlet("a", [Branchlet("b", [Branchlet("c\nd")]), Branchlet("e")]), "a\n|-- b\n|   `-- c\n|       d\n`-- e"),
])
def test_layout(node, text):
    assert str(node) == text


def test_a_leaf_renders_as_its_name_itself():
    name = "leaf name"
    assert str(Branchlet(name)) is name and str(Branchlet(name, None)) is name


def test_a_shared_subtree_renders_at_each_place():
    shared = Branchlet("s", [Branchlet("t")])
    assert str(Branchlet("r", [shared, shared])) == "r\n|-- s\n|   `-- t\n`-- s\n    `-- t"


def test_a_chain_deeper_than_the_recursion_limit_renders():
    depth = max(3000, sys.getrecursionlimit() + 500)
    nodes = chain(depth, Branchlet("0"), lambda node: Branchlet(str(int(node.name) + 1)))
    for parent, child in zip(nodes, nodes[1:]):
        parent.add_child(child)
    lines = str(nodes[0]).split("\n")
    assert len(lines) == depth + 1 and lines[0] == "0"
    assert all(line == "    " * (i - 1) + "`-- " + str(i) for i, line in enumerate(lines[1:], 1))


class Shouting(Branchlet):
    def __str__(self):
        return super().__str__().upper()


class NamedByProperty(Branchlet):
    @property
    def name(self):
        return self.__dict__["name"] + "!"

    @name.setter
    def name(self, value):
        self.__dict__["name"] = value


class Plain(Branchlet):
    pass


def test_children_with_their_own_str_are_rendered_through_it():
    tree = Branchlet("r", [Shouting("s", [Branchlet("inner", [Plain("p")])]), NamedByProperty("n", [Plain("q")])])
    assert str(tree) == "r\n|-- S\n|   `-- INNER\n|       `-- P\n`-- n!\n    `-- q"


def test_a_base_and_an_overriding_subclass_used_in_turn():
    class Base(Branchlet):
        pass

    class Loud(Base):
        def __str__(self):
            return super().__str__().upper()

    tree = Branchlet("r", [Base("b", [Loud("l", [Base("x")])]), Loud("m")])
    assert str(tree) == "r\n|-- b\n|   `-- L\n|       `-- X\n`-- M"
    Base.name = property(lambda self: "p")
    assert str(tree) == "r\n|-- p\n|   `-- P\n|       `-- P\n`-- P"
    del Base.name, Loud.__str__
    assert str(tree) == "r\n|-- b\n|   `-- l\n|       `-- x\n`-- m"


names = st.text(alphabet=st.sampled_from("ab\n\u00e9\u20ac\U0001f333 "), max_size=4)
trees = st.recursive(
    st.one_of(names.map(Branchlet), names, st.integers(-5, 5)),
    lambda kids: st.tuples(names, st.lists(kids, max_size=4), st.sampled_from([Branchlet, Plain, Shouting, list, tuple]))
    .map(lambda t: Branchlet(t[0], t[2](t[1])) if t[2] in (list, tuple) else t[2](t[0], t[1])),
    max_leaves=25,
)


@settings(max_examples=150, deadline=None)
@given(trees)
def test_every_node_is_its_name_then_each_childs_text_reindented(tree):
    todo = [tree]
    while todo:
        node = todo.pop()
        if not isinstance(node, Branchlet):
            continue
        kids = list(node.children)
        expected = node.name + "".join(reindent(str(c), i == len(kids) - 1) for i, c in enumerate(kids))
        assert str(node) == (expected.upper() if isinstance(node, Shouting) else expected)
        todo.extend(kids)


# ------------------------------------------------------- re-entrant children


def test_changes_made_while_rendering_reach_only_the_last_child():
    root = Branchlet("r")

    class Meddler:
        def __str__(self):
            root.children.insert(1, "inserted")
            root.children.append("appended")
            return "m"

    root.children.extend([Meddler(), "second", "third"])
    # The children before the last are those of the list when rendering
    # began; the last is whatever is last when its turn comes.
    assert str(root) == "r\n|-- m\n|-- second\n`-- appended"


def test_children_emptied_while_rendering():
    root = Branchlet("r")

    class Clearer:
        def __str__(self):
            root.children.clear()
            return "c"

    root.children.extend([Clearer(), "last"])
    with pytest.raises(IndexError, match="list index out of range"):
        str(root)


def test_a_failing_child_str_propagates():
    class Broken:
        def __str__(self):
            raise KeyError("broken")

    with pytest.raises(KeyError, match="broken"):
        str(Branchlet("r", [Branchlet("a", [Broken()])]))


def test_a_custom_children_sequence_is_sliced_and_indexed():
    calls = []

    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            calls.append("len")
            return len(self.items)

        def __getitem__(self, index):
            calls.append(index)
            return self.items[index]

    node = Branchlet("r")
    node.children = Seq([Branchlet("a"), Branchlet("b", [Branchlet("c")])])
    assert str(node) == "r\n|-- a\n`-- b\n    `-- c"
    assert calls == ["len", slice(None, -1, None), -1]


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize("name, message", [
    (5, "__str__ returned non-string (type int)"),
    (None, "__str__ returned non-string (type NoneType)"),
    (b"bytes", "__str__ returned non-string (type bytes)"),
])
def test_a_name_that_is_not_a_str(name, message):
    message = re.escape(message)
    with pytest.raises(TypeError, match=message):
        str(Branchlet(name))
    with pytest.raises(TypeError, match=message):
        str(Branchlet("root", [Branchlet(name)]))
    with pytest.raises(TypeError):
        str(Branchlet(name, [Branchlet("child")]))


def test_a_name_that_is_a_str_subclass():
    class Label(str):
        pass

    assert str(Branchlet(Label("r"), [Branchlet(Label("a\nb"))])) == "r\n`-- a\n    b"


def test_a_name_whose_plus_makes_a_str():
    class Label:
        def __add__(self, other):
            return "label" + other

    assert str(Branchlet(Label(), [Branchlet("a"), "b"])) == "label\n|-- a\n`-- b"


@pytest.mark.parametrize("children, type_name", [
    ({1}, "set"), (frozenset({1}), "frozenset"), ((i for i in range(2)), "generator"), (iter([1]), "list_iterator"),
])
def test_unsliceable_children(children, type_name):
    message = f"'{type_name}' object is unsliceable"
    node = Branchlet("a", children)
    with pytest.raises(TypeError, match=message):
        str(node)
    with pytest.raises(TypeError, match=message):
        str(Branchlet("root", [Branchlet("x"), node]))


def cycle_of(length, via=Branchlet):
    nodes = [via(str(i)) for i in range(length)]
    for a, b in zip(nodes, nodes[1:] + nodes[:1]):
        a.add_child(Branchlet("sibling"))
        a.add_child(b)
    return Branchlet("root", [nodes[0]])


@pytest.mark.parametrize("tree", [
    pytest.param(lambda: cycle_of(1), id="self"),
    pytest.param(lambda: cycle_of(3), id="three"),
    pytest.param(lambda: cycle_of(2, Plain), id="subclass"),
    pytest.param(lambda: cycle_of(2, Shouting), id="own-str"),
])
def test_a_tree_that_contains_itself_raises_recursion_error(tree):
    root = tree()
    before = [(n, list(n.children)) for n in [root, *root.children]]
    with pytest.raises(RecursionError):
        str(root)
    assert [(n, list(n.children)) for n, _ in before] == before


def test_a_subclass_whose_str_is_replaced_after_use_renders_through_it():
    class Sub(Branchlet):
        pass

    root = Branchlet("r", [Sub("c")])
    assert str(root) == "r\n`-- c"
    Sub.__str__ = lambda self: "patched"
    assert str(Sub("c")) == "patched" and str(root) == "r\n`-- patched"


# Children, names and nodes of subclasses answer for themselves: truth,
# the text appended to a name, attribute reads.
class FalsyTuple(tuple):
    def __bool__(self):
        return False


class Loud(str):
    def __add__(self, other):
        return Loud(str.__add__(self, other.upper()))


class Masked(Branchlet):
    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        return value.upper() if name == "name" else value


@pytest.mark.parametrize("cls, name, children, expected", [
    (Branchlet, "c", FalsyTuple((Branchlet("d"),)), "r\n`-- c"),
    (Branchlet, Loud("c"), [Branchlet("d")], "r\n`-- c\n    `-- D"),
    (Masked, "c", [Branchlet("d")], "r\n`-- C\n    `-- d"),
])
def test_subclassed_children_and_names_render_as_they_answer(cls, name, children, expected):
    child = cls(name)
    child.children = children
    assert str(Branchlet("r", [child])) == expected
