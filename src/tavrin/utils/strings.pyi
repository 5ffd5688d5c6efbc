from typing import TypeVar, overload

__all__ = ["decode_cli_string"]

_T = TypeVar("_T")

@overload
def decode_cli_string(value: str | bytes | bytearray) -> str: ...
@overload
def decode_cli_string(value: _T) -> _T: ...
