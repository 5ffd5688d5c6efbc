"""Branchlet against trees that fight back while they are drawn: children
whose text changes the tree (appending to the list being drawn, replacing
or deleting attributes, changing classes, making the tree contain itself),
names and children objects that misbehave, text of every string width, and
trees too deep or too wide for a recursive drawing.

Every attack ends in an exception or a text; afterwards every node still
has its name and children and draws as the recursive definition says.
"""
import gc

import pytest
from hypothesis import given, settings, strategies as st

from tavrin.datastructures.branchlet import Branchlet


def draw(node, depth=0):
    """The recursive definition, for trees that hold still."""
    if depth > 200:
        raise RecursionError("too deep for the reference")
    if not isinstance(node, Branchlet):
        return str(node)
    text = node.name
    kids = node.children
    if not kids:
        return text.upper() if isinstance(node, Loud) else text
    kids = list(kids)
    for i, child in enumerate(kids):
        first, rest = ("`-- ", "    ") if i == len(kids) - 1 else ("|-- ", "|   ")
        lines = draw(child, depth + 1).split("\n")
        text += "\n" + first + lines[0] + "".join("\n" + rest + line for line in lines[1:])
    return text.upper() if isinstance(node, Loud) else text


def check(*nodes):
    """The invariant: every node reachable has a str name and a children
    list, and draws as the definition says, twice the same."""
    todo, seen = list(nodes), set()
    while todo:
        node = todo.pop()
        if id(node) in seen or not isinstance(node, Branchlet):
            continue
        seen.add(id(node))
        assert isinstance(node.name, str)
        assert node.children is not None
        todo.extend(node.children)
    for node in nodes:
        assert str(node) == draw(node) == str(node)


class Acting:
    """A child that is not a node: its text runs an action once."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __str__(self):
        act, self.action = self.action, None
        if act:
            act()
        return self.text


def tree():
    b = Branchlet
    leaf = b("leaf")
    mid = b("mid", [b("m1"), b("m2", [b("deep")])])
    return b("root", [b("a", [leaf]), mid, b("z")]), mid, leaf


# ------------------------------------------------------ the tree changes


def changes(root, mid, leaf):
    return {
        "append-to-drawn": lambda: root.children.append(Branchlet("late")),
        "append-self": lambda: mid.children.append(mid),
        "append-root-last": lambda: root.children.append(root),
        "clear-root": lambda: root.children.clear(),
        "clear-mid": lambda: mid.children.clear(),
        "replace-children": lambda: setattr(root, "children", [Branchlet("new")]),
        "delete-children": lambda: delattr(mid, "children"),
        "delete-name": lambda: delattr(root.children[-1], "name"),
        "name-not-str": lambda: setattr(root.children[-1], "name", 5),
        "class-swapped": lambda: setattr(mid, "__class__", Loud),
        "children-to-tuple": lambda: setattr(mid, "children", tuple(mid.children)),
        "children-to-set": lambda: setattr(mid, "children", set(mid.children)),
        "gc": gc.collect,
    }


class Loud(Branchlet):
    def __str__(self):
        return super().__str__().upper()


@pytest.mark.parametrize("where", ["first-child", "inside-mid", "leaf-level"])
@pytest.mark.parametrize("change", sorted(changes(*tree())))
def test_the_tree_changed_while_it_is_drawn(change, where):
    root, mid, leaf = tree()
    act = changes(root, mid, leaf)[change]
    actor = Acting("actor", act)
    {"first-child": root.children[0].children, "inside-mid": mid.children, "leaf-level": leaf.children}[where] \
        .insert(0, actor)
    try:
        text = str(root)
    except (RecursionError, AttributeError, TypeError, IndexError):
        pass
    else:
        assert text.startswith("root\n") and "actor" in text
    # Put right what the change took away, then the tree draws as defined.
    for node in (root, mid, leaf, *root.children):
        if isinstance(node, Branchlet):
            if not hasattr(node, "name") or not isinstance(node.name, str):
                node.name = "restored"
            if not isinstance(getattr(node, "children", None), list):
                node.children = list(getattr(node, "children", []))
            while node in node.children:
                node.children.remove(node)
    if root in mid.children:
        mid.children.remove(root)
    check(root)


def test_a_tree_that_comes_to_contain_itself_while_drawn():
    root, mid, leaf = tree()
    leaf.children.extend([Acting("x", lambda: leaf.children.append(root)), "end"])
    with pytest.raises(RecursionError):
        str(root)  # root is now the last child of leaf, read when its turn comes
    del leaf.children[:]
    check(root)


def test_children_replaced_while_an_earlier_child_is_drawn():
    root = Branchlet("r")
    root.children.extend([Acting("a", lambda: setattr(root, "children", [Branchlet("other")])), "b", "c"])
    text = str(root)
    # The earlier children are those of the list when drawing began; the
    # last is read when its turn comes.
    assert text.split("\n")[:3] == ["r", "|-- a", "|-- b"]
    assert text.split("\n")[3] in ("`-- c", "`-- other")
    check(root)


def test_the_last_sibling_dropped_while_an_earlier_one_is_drawn():
    root = Branchlet("r", [Branchlet("a"), Branchlet("b", [Branchlet("c")])])
    kept = []

    def drop():
        kept.append(root.children.pop())
        root.children.append(Branchlet("new", [Branchlet("x")]))
        gc.collect()

    root.children[0].children.append(Acting("act", drop))
    assert str(root) == "r\n|-- a\n|   `-- act\n`-- new\n    `-- x"
    check(root)


# ---------------------------------------------------- names that misbehave


class Name:
    """A name that is not a str; `+=` does what it is told."""

    def __init__(self, result):
        self.result = result

    def __iadd__(self, other):
        if isinstance(self.result, BaseException):
            raise self.result
        if callable(self.result):
            return self.result(other)
        return self.result

    def __str__(self):
        return "name"


@pytest.mark.parametrize("result, kids, outcome", [
    (lambda text: "n" + text, 1, "n\n`-- c"),
    (lambda text: "n" + text, 2, "n\n|-- c\n`-- c"),
    (lambda text: Name(lambda more: "nn" + more), 2, "nn\n`-- c"),  # the second += is the new object's
    (lambda text: Name(5), 1, TypeError),  # a non-str text
    (5, 2, TypeError),  # int += str
    (RuntimeError("iadd"), 1, RuntimeError),
    (None, 1, TypeError),
])
def test_names_whose_addition_misbehaves(result, kids, outcome):
    node = Branchlet(Name(result), ["c"] * kids)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            str(node)
    else:
        assert str(node) == outcome
    node.name = "fixed"
    check(node)


def test_names_of_every_width_and_odd_characters():
    names = ["a", "\xff", "\u0100", "\U0001f333", "\ud800", "\x00", "\r", "", "a\nb", "\u20ac\n\U0001f333"]
    for order in (names, names[::-1]):
        root = node = Branchlet(order[0])
        for name in order[1:]:
            child = Branchlet(name, [name * 3, Branchlet(name)])
            node.children.append(child)
            node = child
        check(root)


class Odd(str):
    def __add__(self, other):
        return Odd(str.__add__(self, other).upper())


def test_str_subclass_names_take_their_own_addition():
    node = Branchlet(Odd("r"), [Branchlet("a"), "b"])
    assert str(node) == "R\n|-- A\n`-- B"
    node.children[0].name = Odd("x")
    assert str(node) == "R\n|-- X\n`-- B"  # the child's own text is made by its own addition


# ------------------------------------------------- children that misbehave


class Kids(list):
    """A children list whose slicing, indexing or truth misbehaves."""

    def __init__(self, items, how):
        super().__init__(items)
        self.how = how

    def __getitem__(self, index):
        if isinstance(index, slice):
            if self.how == "slice-int":
                return 5
            if self.how == "slice-self":
                return self
            if self.how == "slice-generator":
                return (x for x in list.__getitem__(self, index))
            if self.how == "slice-raises":
                raise KeyError("slice")
        elif self.how == "last-raises":
            raise IndexError("last")
        elif self.how == "last-self-node":
            return self.owner
        return list.__getitem__(self, index)

    def __bool__(self):
        if self.how == "bool-raises":
            raise LookupError("bool")
        return len(self) > 0

    def __len__(self):
        return -1 if self.how == "len-negative" else list.__len__(self)


@pytest.mark.parametrize("how, outcome", [
    ("slice-int", TypeError),
    ("slice-self", "r\n|-- a\n|-- b\n`-- b"),
    ("slice-generator", "r\n|-- a\n`-- b"),
    ("slice-raises", KeyError),
    ("last-raises", IndexError),
    ("last-self-node", RecursionError),
    ("bool-raises", LookupError),
    ("len-negative", ValueError),
])
def test_children_objects_that_misbehave(how, outcome):
    node = Branchlet("r")
    kids = Kids([Branchlet("a"), Branchlet("b")], how)
    kids.owner = node
    node.children = kids
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            str(node)
    else:
        assert str(node) == outcome
    node.children = list(list.__iter__(kids))
    check(node)


def test_add_child_to_children_objects_that_fight_back():
    node = Branchlet("r")

    class Appending(list):
        def append(self, item):
            super().append(item)
            super().append(item)  # twice
            node.children = [item]  # and then replaced anyway

    node.children = Appending()
    node.add_child(Branchlet("x"))
    assert [c.name for c in node.children] == ["x"]
    node.children = (Branchlet("t"),)
    with pytest.raises(AttributeError):
        node.add_child("y")
    assert len(node.children) == 1
    node.children = node  # children that are the node: true, but no append
    with pytest.raises(AttributeError):
        node.add_child("z")
    with pytest.raises(TypeError, match="unsliceable"):
        str(node)
    node.children = []
    check(node)


# ------------------------------------------------------------ deep, wide


def test_deep_trees_whose_nodes_draw_themselves():
    # Nodes with their own __str__ are drawn through it: the drawing recurses
    # and the recursion limit ends it.
    root = node = Loud("0")
    for i in range(1, 5000):
        child = Loud(str(i))
        node.children.append(child)
        node = child
    with pytest.raises(RecursionError):
        str(root)
    # Plain nodes below a deep plain chain, with one self-drawing node at the
    # bottom: drawn without recursion.
    root = node = Branchlet("0")
    for i in range(1, 2000):
        child = Branchlet(str(i))
        node.children.append(child)
        node = child
    node.children.append(Loud("bottom", [Branchlet("b")]))
    lines = str(root).split("\n")
    assert lines[-1].endswith("`-- B") and len(lines) == 2002


def test_wide_trees():
    root = Branchlet("r", [Branchlet(str(i), [str(i)]) for i in range(50000)])
    text = str(root)
    assert text.count("\n") == 100000 and text.endswith("`-- 49999\n    `-- 49999")
    shared = Branchlet("s", [Branchlet("t")] * 1000)
    many = Branchlet("m", [shared] * 100)
    assert str(many).count("\n") == 100 * 1001


names = st.text(alphabet=st.sampled_from("a\n\x00\xff\u0100\ud800\U0001f333"), max_size=3)
trees = st.recursive(
    names.map(Branchlet) | names,
    lambda kids: st.tuples(names, st.lists(kids, max_size=3), st.sampled_from([Branchlet, Loud]))
    .map(lambda t: t[2](t[0], t[1])),
    max_leaves=15,
)


@settings(max_examples=100, deadline=None)
@given(trees)
def test_any_tree_draws_as_defined(tree):
    expected = draw(tree)
    if type(tree) is Loud:
        expected = expected.upper()
    assert str(tree) == expected
