"""typegetter: a read-only attribute computed from the class it is read through."""
from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

class TypeGetterDescriptor(Generic[_T]):
    """Decorator: reading the attribute calls the function with the class it
    was read through (also through an instance)."""

    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    def __get__(self, obj: object, owner: type[Any]) -> _T: ...

typegetter = TypeGetterDescriptor
