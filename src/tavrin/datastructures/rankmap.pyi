"""RankMap: an insertion-ordered mapping with positional insert and move."""
from collections.abc import Iterable, Iterator, MutableMapping as MutableMapping
from typing import Any, ClassVar, SupportsIndex, TypeVar, overload

from typing_extensions import Self

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")
_T = TypeVar("_T")

class RankMap(MutableMapping[_KT, _VT]):
    """A mapping that keeps its keys in insertion order and can insert or
    move a key at a position (positions count like list indices)."""

    _data: dict[_KT, _VT]
    _order: list[_KT]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Positional data is an iterable of (key, value) pairs only: a mapping
    # is read as its keys (pass mapping.items() instead).
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self: RankMap[str, _VT], **kwargs: _VT) -> None: ...
    @overload
    def __init__(self, iterable: Iterable[tuple[_KT, _VT]], /) -> None: ...
    @overload
    def __init__(self: RankMap[str, _VT], iterable: Iterable[tuple[str, _VT]], /, **kwargs: _VT) -> None: ...
    def __getitem__(self, name: _KT, /) -> _VT: ...
    def __setitem__(self, name: _KT, value: _VT, /) -> None: ...
    def __delitem__(self, name: _KT, /) -> None: ...
    def __iter__(self) -> Iterator[_KT]: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def items(self) -> list[tuple[_KT, _VT]]:  # type: ignore[override]
        """A new list of the (key, value) pairs, in order."""
    def clear(self) -> None: ...
    def copy(self) -> Self: ...
    def insert(self, key: _KT, value: _VT, position: SupportsIndex) -> None:
        """Add a new key in front of the key now at `position`."""
    def move(self, key: _KT, position: SupportsIndex) -> None:
        """Move an existing key in front of the key now at `position` among the others."""
    def keys(self) -> list[_KT]:  # type: ignore[override]
        """The order list itself: reordering it reorders the mapping."""
    def values(self) -> list[_VT]:  # type: ignore[override]
        """A new list of the values, in order."""
    @overload  # type: ignore[override]
    def update(self, **kwargs: _VT) -> None: ...
    @overload
    def update(self, iterable: Iterable[tuple[_KT, _VT]], /, **kwargs: _VT) -> None: ...
    @overload
    @classmethod
    def fromkeys(cls, keys: Iterable[_T], value: None = None) -> RankMap[_T, Any | None]: ...
    @overload
    @classmethod
    def fromkeys(cls, keys: Iterable[_T], value: _VT) -> RankMap[_T, _VT]: ...
