import inspect
import subprocess
import sys
import textwrap

import pytest

from tavrin.datastructures import typegetter as module
from tavrin.datastructures.typegetter import TypeGetterDescriptor, typegetter


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def make_host(calls=None):
    class Host:
        @typegetter
        def name(cls):
            if calls is not None:
                calls.append(cls)
            return cls.__name__

    class Child(Host):
        pass

    return Host, Child


# --------------------------------------------------------------- the class


def test_module_names_and_class_shape():
    assert [n for n in vars(module) if not n.startswith("__")] == ["TypeGetterDescriptor", "typegetter"]
    assert module.__doc__ is None and not hasattr(module, "__all__")
    assert typegetter is TypeGetterDescriptor and typegetter.__name__ == "TypeGetterDescriptor"
    assert TypeGetterDescriptor.__bases__ == (object,) and type(TypeGetterDescriptor) is type
    assert (TypeGetterDescriptor.__module__, TypeGetterDescriptor.__qualname__) == (
        "tavrin.datastructures.typegetter", "TypeGetterDescriptor")
    own = [n for n in vars(TypeGetterDescriptor) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["__init__", "__get__"]
    assert "decorator" in TypeGetterDescriptor.__doc__
    for missing in ("__set__", "__delete__", "__set_name__"):
        assert not hasattr(TypeGetterDescriptor, missing)


@pytest.mark.parametrize("method, sig", [
    (TypeGetterDescriptor.__init__, "(self, /, func)"),
    (TypeGetterDescriptor.__get__, "(self, /, obj, owner)"),
])
def test_signatures(method, sig):
    assert str(inspect.signature(method)) == sig


def test_the_decorated_object_is_kept_as_func_and_nothing_is_copied():
    def compute(cls):
        """docs"""

    desc = typegetter(func=compute)
    assert type(desc) is TypeGetterDescriptor and desc.func is compute
    assert vars(desc) == {"func": compute} and desc.__doc__ == TypeGetterDescriptor.__doc__
    Host, _ = make_host()
    assert isinstance(vars(Host)["name"], typegetter) and vars(Host)["name"].func.__name__ == "name"


ORACLE = {}
exec(textwrap.dedent("""
    class TypeGetterDescriptor:
        def __init__(self, func): pass
        def __get__(self, obj, owner): pass
"""), ORACLE)
ORACLE = ORACLE["TypeGetterDescriptor"]


@pytest.mark.parametrize("call", [
    lambda cls: cls(),
    lambda cls: cls(1, 2),
    lambda cls: cls(1, func=2),
    lambda cls: cls(fn=1),
    lambda cls: cls(len).__get__(None),
    lambda cls: cls(len).__get__(None, int, 3),
    lambda cls: cls(len).__get__(obj=None),
    lambda cls: cls(len).__get__(None, owner=int, obj=1),
])
def test_argument_errors_use_the_interpreter_wording(call):
    assert error_of(lambda: call(TypeGetterDescriptor)) == error_of(lambda: call(ORACLE))


# ----------------------------------------------------------------- reading


def test_reads_through_class_subclass_and_instances():
    Host, Child = make_host()
    assert (Host.name, Host().name, Child.name, Child().name) == ("Host", "Host", "Child", "Child")


def test_the_function_runs_on_every_read_with_the_class_reached_through():
    calls = []
    Host, Child = make_host(calls)
    Host.name, Child().name, Host.name, getattr(Child, "name")
    assert calls == [Host, Child, Host, Child]


def test_the_function_gets_exactly_the_owner_positionally():
    seen = []
    desc = typegetter(lambda *args, **kwargs: seen.append((args, kwargs)) or "r")
    assert desc.__get__(1, int) == "r" and desc.__get__(owner=str, obj=None) == "r"
    assert desc.__get__(None, None) == "r"
    assert seen == [((int,), {}), ((str,), {}), ((None,), {})]


def test_instance_assignment_shadows_and_class_assignment_replaces():
    Host, Child = make_host()
    shadowed, other = Host(), Host()
    shadowed.name = 5
    assert (shadowed.name, other.name, Host.name) == (5, "Host", "Host")
    del shadowed.name
    assert shadowed.name == "Host"
    Host.name = 5
    assert (Host.name, Child.name, Child().name) == (5, 5, 5)
    del Host.name
    with pytest.raises(AttributeError):
        Child.name


def test_a_subclass_overriding_the_attribute_wins():
    Host, _ = make_host()

    class Other(Host):
        name = "fixed"

    assert (Other.name, Other().name) == ("fixed", "fixed")


def test_func_is_looked_up_on_every_read():
    Host, _ = make_host()
    desc = vars(Host)["name"]
    desc.func = lambda cls: "replaced"
    assert Host.name == "replaced"
    del desc.func
    with pytest.raises(AttributeError, match="func"):
        Host.name


@pytest.mark.parametrize("func", [42, None, "text"])
def test_a_func_that_is_not_callable_fails_on_read(func):
    class Host:
        name = typegetter(func)

    expected = error_of(lambda: func(Host))
    assert error_of(lambda: Host.name) == expected and error_of(lambda: Host().name) == expected


@pytest.mark.parametrize("wrapper", [classmethod, staticmethod])
def test_wrapped_functions_are_called_as_they_stand(wrapper):
    wrapped = wrapper(lambda cls: "called")

    class Host:
        name = typegetter(wrapped)

    try:
        expected = wrapped(Host)   # staticmethod objects are callable from 3.10 on
    except TypeError as exc:
        with pytest.raises(TypeError, match=str(exc)):
            Host.name
    else:
        assert Host.name == expected


def test_errors_of_the_function_propagate_unchanged():
    error = LookupError("from func")

    def fail(cls):
        raise error

    class Host:
        name = typegetter(fail)

    with pytest.raises(LookupError) as info:
        Host().name
    assert info.value is error


# ----------------------------------------------------- subclassing the class


def test_subclasses_of_the_descriptor():
    class Plain(TypeGetterDescriptor):
        pass

    class Own(TypeGetterDescriptor):
        def __get__(self, obj, owner):
            return ("own", obj is None, owner.__name__)

    class Host:
        a = Plain(lambda cls: cls.__name__)
        b = Own(lambda cls: "unused")

    host = Host()
    assert (Host.a, host.a) == ("Host", "Host")
    assert (Host.b, host.b) == (("own", True, "Host"), ("own", False, "Host"))


def test_changing_get_on_the_class_itself_is_honoured():
    # In a child process: the change would otherwise outlive this test.
    code = textwrap.dedent("""
        from tavrin.datastructures.typegetter import typegetter
        class Host:
            @typegetter
            def name(cls):
                return cls.__name__
        before = Host.name
        original = typegetter.__get__
        typegetter.__get__ = lambda self, obj, owner: ("patched", owner.__name__)
        patched = Host.name, Host().name
        del typegetter.__get__
        removed = type(Host.name).__name__
        typegetter.__get__ = original
        print(before, patched, removed, Host.name)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split("\n")[0] == "Host (('patched', 'Host'), ('patched', 'Host')) TypeGetterDescriptor Host"


@pytest.mark.parametrize("members, error", [
    ({"func": property(lambda self: len)}, AttributeError),
    ({"__setattr__": lambda self, name, value: {}[name]}, KeyError),
])
def test_a_func_that_cannot_be_stored_fails_as_the_store_does(members, error):
    with pytest.raises(error):
        type("Stubborn", (TypeGetterDescriptor,), members)(len)
