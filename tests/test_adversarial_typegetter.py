"""typegetter against functions that fight back: they re-enter the
attribute (through Python or through C callables), delete or replace what
is being read, or raise.

Afterwards the descriptor still holds its `func` and reading works again.
"""
import functools
import gc
import operator
import weakref

import pytest

from tavrin.datastructures.typegetter import TypeGetterDescriptor, typegetter


def check(host, name, func, expected):
    """The invariant: the descriptor in the class still holds `func` and a
    read through the class and through an instance calls it again."""
    desc = vars(host)[name]
    assert type(desc) is typegetter or isinstance(desc, TypeGetterDescriptor)
    assert desc.func is func
    assert getattr(host, name) == expected == getattr(host(), name)


# ------------------------------------------------- reading re-enters itself


@pytest.mark.parametrize("through", ["class", "instance", "subclass", "direct"])
def test_a_c_callable_that_reads_the_attribute_again(through):
    # attrgetter is C: without the descriptor counting towards the
    # recursion limit nothing would stop the circle before the C stack ends.
    class Host:
        name = typegetter(operator.attrgetter("name"))

    class Child(Host):
        pass

    read = {
        "class": lambda: Host.name,
        "instance": lambda: Host().name,
        "subclass": lambda: Child.name,
        "direct": lambda: vars(Host)["name"].__get__(None, Host),
    }[through]
    with pytest.raises(RecursionError):
        read()
    vars(Host)["name"].func = lambda cls: "fine"
    assert Host.name == "fine" and Child().name == "fine"


def test_two_descriptors_that_read_each_other_through_c():
    class Host:
        a = typegetter(operator.attrgetter("b"))
        b = typegetter(operator.attrgetter("a"))

    for read in (lambda: Host.a, lambda: Host().b):
        with pytest.raises(RecursionError):
            read()


@pytest.mark.parametrize("make", [
    lambda: functools.partial(getattr, name="x"),  # keyword that getattr refuses
    lambda: functools.partial(operator.attrgetter("name")),
    lambda: operator.methodcaller("__getattribute__", "name"),
], ids=["partial-getattr", "partial-attrgetter", "methodcaller"])
def test_other_c_callables_that_reenter(make):
    class Host:
        name = typegetter(make())

    with pytest.raises((RecursionError, TypeError)):
        Host.name


def test_a_python_function_that_reads_the_attribute_again():
    class Host:
        @typegetter
        def name(cls):
            return cls.name

    with pytest.raises(RecursionError):
        Host.name
    # The limit is still there afterwards: a deep but finite read works.
    depth = [0]

    class Counted:
        @typegetter
        def name(cls):
            depth[0] += 1
            return depth[0] if depth[0] >= 200 else cls.name

    assert Counted.name == 200


def test_a_descriptor_on_the_metaclass_that_reenters():
    class Meta(type):
        name = typegetter(operator.attrgetter("name"))

    class Host(metaclass=Meta):
        pass

    with pytest.raises(RecursionError):
        Host.name


# -------------------------------------- the function changes what is read


def test_a_function_that_deletes_its_own_attribute_from_the_class():
    class Host:
        @typegetter
        def name(cls):
            del Host.name
            gc.collect()  # nothing but the running read holds the descriptor now
            return "last"

    ref = weakref.ref(vars(Host)["name"])
    assert Host.name == "last"
    assert ref() is None
    with pytest.raises(AttributeError):
        Host.name


def test_a_function_that_deletes_or_replaces_func_while_it_runs():
    calls = []

    def first(cls):
        calls.append("first")
        desc.func = second
        return 1

    def second(cls):
        calls.append("second")
        del desc.func
        return 2

    class Host:
        name = typegetter(first)

    desc = vars(Host)["name"]
    assert (Host.name, Host().name) == (1, 2)
    with pytest.raises(AttributeError):
        Host.name
    assert calls == ["first", "second"]
    stable = operator.attrgetter("__name__")
    desc.func = stable
    check(Host, "name", stable, "Host")


def test_a_function_that_empties_the_descriptors_dict():
    def wipe(cls):
        vars(Host)["name"].__dict__.clear()
        return "wiped"

    class Host:
        name = typegetter(wipe)

    assert Host.name == "wiped"
    with pytest.raises(AttributeError):
        Host.name
    vars(Host)["name"].func = wipe
    assert Host().name == "wiped"


def test_a_function_that_replaces_the_descriptors_class():
    class Plain:
        def __get__(self, obj, owner):
            return "plain"

    def swap(cls):
        vars(Host)["name"].__class__ = Plain
        return "swapped"

    class Host:
        name = TypeGetterDescriptor(swap)

    class Sub(TypeGetterDescriptor):
        pass

    vars(Host)["name"].__class__ = Sub
    assert Host.name == "swapped"
    assert Host.name == "plain"


class FuncProperty(TypeGetterDescriptor):
    """A descriptor whose `func` is computed, and can misbehave."""

    def __init__(self, how):
        self.how = how

    @property
    def func(self):
        if self.how == "raise":
            raise KeyError("func")
        if self.how == "self":
            return self  # a descriptor is not callable
        if self.how == "base":
            raise KeyboardInterrupt
        return lambda cls: ("computed", cls.__name__)


@pytest.mark.parametrize("how, outcome", [
    ("raise", KeyError), ("self", TypeError), ("base", KeyboardInterrupt), ("ok", ("computed", "Host")),
])
def test_a_func_attribute_that_misbehaves(how, outcome):
    class Host:
        name = FuncProperty(how)

    if isinstance(outcome, tuple):
        assert Host.name == outcome == Host().name
    else:
        with pytest.raises(outcome):
            Host.name


@pytest.mark.parametrize("func", [typegetter(len), staticmethod(len).__func__, type, object])
def test_funcs_that_are_classes_or_descriptors(func):
    class Host:
        name = typegetter(func)

    try:
        expected = func(Host)
    except TypeError:
        with pytest.raises(TypeError):
            Host.name
    else:
        assert type(Host.name) is type(expected)


def test_a_function_that_raises_a_base_exception_leaves_the_descriptor_working():
    state = {"raise": True}

    def maybe(cls):
        if state.pop("raise", False):
            raise SystemExit(3)
        return "again"

    class Host:
        name = typegetter(maybe)

    with pytest.raises(SystemExit):
        Host.name
    check(Host, "name", maybe, "again")


def test_many_reads_and_many_descriptors():
    namespace = {f"a{i}": typegetter(functools.partial(lambda i, cls: i, i)) for i in range(2000)}
    Host = type("Host", (), namespace)
    assert sum(getattr(Host, f"a{i}") for i in range(2000)) == sum(range(2000))
    # A chain of classes each reading its parent's value.
    cls = type("Root", (), {"depth": typegetter(lambda cls: 0)})
    for _ in range(300):
        parent = cls
        cls = type("Level", (parent,), {"depth": typegetter(lambda cls, p=parent: p.depth + 1)})
    assert cls.depth == 300
