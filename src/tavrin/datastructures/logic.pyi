"""Logic tests (And, Or, Not) over regular expressions and callables."""
import logging as logging
import re as re
from collections.abc import Callable
from typing import Any, ClassVar

from tavrin.utils.strings import decode_cli_string as decode_cli_string

__all__ = ["And", "Or", "Not"]

# A string pattern is compiled; a callable (a function, or a nested And, Or
# or Not) is called with each item, or with all items for a nested test.
_Expression = str | Callable[..., object]

logger: logging.Logger

class BaseLogic:
    """The code the tests share; calling it tests nothing."""

    expressions: list[re.Pattern[str] | Callable[..., object]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: _Expression) -> None: ...
    def __call__(self) -> bool:
        """Raises NotImplementedError: only And, Or and Not test."""
    def __eq__(self, other: object) -> bool: ...

class And(BaseLogic):
    """True when every expression is satisfied by at least one item."""

    def __call__(self, *items: object) -> bool: ...

class Or(BaseLogic):
    """True when some expression is satisfied by some item."""

    def __call__(self, *items: object) -> bool: ...

class Not(BaseLogic):
    """True when no expression is satisfied by any item."""

    def __call__(self, *items: object) -> bool: ...

def logic_str(string: str | bytes | bytearray) -> BaseLogic:
    """The test written in `string` (the text form of And, Or, Not),
    evaluated as Python: give it only text you trust."""
