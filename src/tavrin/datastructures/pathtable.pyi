"""Nested mappings as flat lists of (path, value) entries, and back."""
import sys
from collections import namedtuple as namedtuple
from collections.abc import Generator, Iterable, MutableMapping as MutableMapping, Sequence
from typing import Any, NamedTuple, SupportsIndex, SupportsInt, TypeVar, overload

from _typeshed import ReadableBuffer

_T = TypeVar("_T")

class DictItem(NamedTuple):
    """One leaf: the tuple of keys (and IndexMarkers) leading to it, and its value."""

    path: tuple[Any, ...]
    value: Any

class IndexMarker:
    """A position in a list or tuple, as it appears in a path."""

    type_: type[Any]
    index: int
    def __init__(self, obj: Sequence[Any], index: str | ReadableBuffer | SupportsInt | SupportsIndex) -> None: ...

# What the table's operations accept as an entry: anything that unpacks into
# exactly (path, value).
_Pair = tuple[Any, Any]

class PathTable(list[DictItem]):
    """A nested mapping as a list of DictItem(path, value) entries, one per leaf."""

    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, mapping: MutableMapping[Any, Any], /) -> None: ...
    @overload
    def __init__(self, entries: Iterable[_Pair], /) -> None: ...
    @overload
    @staticmethod
    def __flatten__(
        indict: MutableMapping[Any, Any] | list[Any] | tuple[Any, ...], path: tuple[Any, ...] | None = None
    ) -> Generator[DictItem, None, None]: ...
    @overload
    @staticmethod
    def __flatten__(indict: _T, path: tuple[Any, ...] | None = None) -> Generator[_T, None, None]: ...
    # Item assignment stores the pair as a plain tuple, not a DictItem.
    @overload  # type: ignore[override]
    def __setitem__(self, index: SupportsIndex, item: _Pair) -> None: ...
    @overload
    def __setitem__(self, index: slice, item: _Pair) -> None: ...
    def append(self, item: _Pair) -> None: ...  # type: ignore[override]
    def extend(self, items: Iterable[_Pair]) -> None: ...  # type: ignore[override]
    def insert(self, index: SupportsIndex, item: _Pair) -> None: ...  # type: ignore[override]
    def reconstruct(self) -> dict[Any, Any]:
        """A new nested dict built from the entries."""
