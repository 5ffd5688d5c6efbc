"""Helpers the test modules share: import the plain functions with
`from conftest import ...`; pytest hands out the fixtures by name."""
import subprocess
import sys
from unittest.mock import ANY

import pytest

PY310 = sys.version_info >= (3, 10)


def qual(owner, name):
    """How the running interpreter names a method in argument errors."""
    return f"{owner}.{name}" if PY310 else name


def run(code, *flags):
    """`code` run by a fresh interpreter (the one running the tests)."""
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True, timeout=120)


def outcome(fn, catch=Exception):
    """What calling `fn` did, in a form that compares with ==: ("ok", its
    result), or the exception's type, its args and the type of its cause.
    Exceptions outside `catch` propagate."""
    try:
        return "ok", fn()
    except catch as e:
        return type(e), e.args, type(e.__cause__)


def expect(want):
    """The outcome a model predicts. An exception instance pins its type and
    args; an exception class only its type (the model does not know the
    message); anything else is the result."""
    if isinstance(want, BaseException):
        return type(want), want.args, ANY
    if isinstance(want, type) and issubclass(want, BaseException):
        return want, ANY, ANY
    return "ok", want


def chain(depth, first, link):
    """`first`, `link(first)`, `link(link(first))`, ...: `depth` links after
    `first`, all returned (so that links held only weakly stay alive)."""
    made = [first]
    for _ in range(depth):
        made.append(link(made[-1]))
    return made


@pytest.fixture
def unraisable(monkeypatch):
    """Exceptions the interpreter reports from callbacks and finalizers."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    return seen


def swapped_pair(base, first, second):
    """A `base` (tuple or list) subclass that holds (second, first) and
    iterates as first, second: unpacking it and indexing it disagree."""
    cls = type(f"Swapped{base.__name__.title()}", (base,), {"__iter__": lambda self: iter((self[1], self[0]))})
    return cls((second, first))
