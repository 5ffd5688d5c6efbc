"""String helpers shared by tavrin command-line tools."""
import os

__all__ = ["decode_cli_string"]


def decode_cli_string(value):
    """Return a command-line argument as text.

    A ``str`` is returned unchanged. ``bytes`` (an argument taken from
    ``sys.argv`` in its raw form, e.g. ``os.fsencode(arg)``) are decoded the
    way the interpreter decodes command-line arguments: with the file system
    encoding and the ``surrogateescape`` error handler, so no byte is lost.
    Anything else is returned unchanged for the caller to judge.
    """
    if isinstance(value, (bytes, bytearray)):
        return os.fsdecode(bytes(value))
    return value
