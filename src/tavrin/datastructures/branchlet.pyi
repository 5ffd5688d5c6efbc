"""Branchlet: a named tree node that prints as a tree."""
from collections.abc import Sequence
from typing import Any

class Branchlet:
    """A node with a name and children; str() draws the whole tree."""

    name: str
    # Usually Branchlets; any object prints through its own str().
    children: list[Any]
    def __init__(self, name: str, children: Sequence[Any] | None = None) -> None: ...
    def add_child(self, item: Any) -> None: ...
