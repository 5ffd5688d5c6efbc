"""tavrin-ds: look into and edit nested configuration files (JSON, TOML).

    tavrin-ds paths [FILE] [--filter EXPR | --filter-eval EXPR] [--color WHEN]
    tavrin-ds unpaths [FILE] [--indent N]
    tavrin-ds tree [FILE] [--depth N] [--color WHEN]
    tavrin-ds get [FILE] PATH [--raw] [--indent N]
    tavrin-ds example               (the bundled example document)
    tavrin-ds                       (a tour of the package on that example)

`paths` prints every leaf as one line, `path = value`: keys as JSON strings,
list positions as `list[N]`, joined with ".", and the value as JSON; the
document itself has the empty path (`= value`, `= {}` for an empty object).
`unpaths` reads such lines back, in any order, and prints the document. Numbers
keep the exact text they had in the input.

Exit status: 0 on success, 1 when `get` finds no value at the path, 2 for bad
input or output that cannot be written, with one message on standard error
and no traceback.
"""
import argparse
import codecs
import gc
import io
import json
import os
import re
import sys

FILTER_NAMES = ("And", "Or", "Not")


class InputError(Exception):
    """Bad input: reported as one line naming the input, exit status 2."""


class OutputError(Exception):
    """The output cannot be written (a full disk, a closed descriptor)."""


class Number(str):
    """A JSON number as the exact text it had in the input."""

    __slots__ = ()


class _NotANumber(Exception):
    pass


def _refuse_constant(text):
    raise _NotANumber(text)


def _not_json_number(text):
    return f"{text} is not a JSON number; write it as a string or null"


# ---------------------------------------------------------------- reading


def _stdin_bytes():
    if sys.stdin is None:
        raise InputError("standard input is closed")
    try:
        return sys.stdin.buffer.read()
    except OSError as exc:
        raise InputError(f"<stdin>: {exc.strerror or exc}") from None


def _read_bytes(source):
    if source in (None, "-"):
        return _stdin_bytes(), "<stdin>"
    try:
        with open(source, "rb") as handle:
            return handle.read(), source
    except FileNotFoundError:
        raise InputError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{source}: is a directory") from None
    except PermissionError:
        raise InputError(f"{source}: permission denied") from None
    except OSError as exc:
        raise InputError(f"{source}: {exc.strerror or exc}") from None


def _decode(data, name):
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InputError(f"{name}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None


def _document_source(source):
    """`source`, or standard input when no FILE was given and it is not a terminal."""
    if source is None:
        if sys.stdin is None:
            raise InputError("no FILE given, and standard input is closed")
        if sys.stdin.isatty():
            raise InputError("no FILE given, and standard input is a terminal: give a FILE or pipe the document in")
    return source


def load_document(source, fmt=None):
    """The parsed document and the name of its input. JSON numbers come back
    as `Number`s, holding their text; the format is `fmt`, or TOML for a
    name ending in .toml and JSON otherwise."""
    data, name = _read_bytes(_document_source(source))
    if fmt is None:
        fmt = "toml" if name.endswith(".toml") else "json"
    text = _decode(data, name)
    del data
    if fmt == "toml":
        return _load_toml(text, name), name
    try:
        return load_json(text, name), name
    except InputError as exc:
        if not name.endswith(".json") and "invalid JSON" in str(exc):
            raise InputError(f"{exc} (for TOML, give --format toml)") from None
        raise


def parse_json(text):
    """json.loads, numbers as `Number`s, at any depth; raises
    json.JSONDecodeError, or _NotANumber for NaN and the infinities."""
    try:
        return json.loads(text, parse_float=Number, parse_int=Number, parse_constant=_refuse_constant)
    except RecursionError:
        return _parse_iteratively(text)


def load_json(text, name):
    try:
        return parse_json(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"{name}: invalid JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None
    except _NotANumber as exc:
        raise InputError(f"{name}: {_not_json_number(exc.args[0])}") from None


def _toml_float(text):
    if text.lstrip("+-") in ("inf", "nan"):
        raise _NotANumber(text)
    # TOML allows "_" between digits and a leading "+"; JSON neither.
    return Number(text.replace("_", "").lstrip("+"))


def _load_toml(text, name):
    try:
        import tomllib
    except ImportError:
        raise InputError(f"{name}: reading TOML needs Python 3.11 or newer") from None
    try:
        return tomllib.loads(text, parse_float=_toml_float)
    except tomllib.TOMLDecodeError as exc:
        raise InputError(f"{name}: invalid TOML: {exc}") from None
    except _NotANumber as exc:
        raise InputError(f"{name}: {_not_json_number(exc.args[0])}") from None
    except RecursionError:
        raise InputError(f"{name}: nested too deeply to read") from None


_WS = re.compile(r"[ \t\n\r]*")
_NUMBER = re.compile(r"-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][-+]?\d+)?")
_LITERALS = (("true", True), ("false", False), ("null", None))


def _parse_iteratively(text):
    """json.loads (with numbers as `Number`s) without recursion, for
    documents nested deeper than the interpreter's recursion limit."""
    from json.decoder import scanstring

    ws = _WS.match

    def fail(msg, pos):
        raise json.JSONDecodeError(msg, text, pos)

    def key_at(pos):
        if text[pos:pos + 1] != '"':
            fail("Expecting property name enclosed in double quotes", pos)
        key, pos = scanstring(text, pos + 1)
        pos = ws(text, pos).end()
        if text[pos:pos + 1] != ":":
            fail("Expecting ':' delimiter", pos)
        return key, ws(text, pos + 1).end()

    stack = []  # [container, key] of every container still open
    pos = ws(text, 0).end()
    while True:
        ch = text[pos:pos + 1]
        if ch == "{" or ch == "[":
            pos = ws(text, pos + 1).end()
            if text[pos:pos + 1] == ("}" if ch == "{" else "]"):
                value, pos = ({} if ch == "{" else []), pos + 1
            elif ch == "{":
                key, pos = key_at(pos)
                stack.append([{}, key])
                continue
            else:
                stack.append([[], None])
                continue
        elif ch == '"':
            value, pos = scanstring(text, pos + 1)
        else:
            m = _NUMBER.match(text, pos)
            if m:
                value, pos = Number(m.group()), m.end()
            else:
                for word, value in _LITERALS:
                    if text.startswith(word, pos):
                        pos += len(word)
                        break
                else:
                    for word in ("NaN", "Infinity", "-Infinity"):
                        if text.startswith(word, pos):
                            raise _NotANumber(word)
                    fail("Expecting value", pos)
        # Hand the value to its container; close the containers it completes.
        while True:
            pos = ws(text, pos).end()
            if not stack:
                if pos != len(text):
                    fail("Extra data", pos)
                return value
            top = stack[-1]
            container = top[0]
            if type(container) is list:
                container.append(value)
            else:
                container[top[1]] = value
            ch = text[pos:pos + 1]
            if ch == ",":
                pos = ws(text, pos + 1).end()
                if type(container) is dict:
                    top[1], pos = key_at(pos)
                break
            if ch != ("]" if type(container) is list else "}"):
                fail("Expecting ',' delimiter", pos)
            stack.pop()
            value, pos = container, pos + 1


# ---------------------------------------------------------------- writing

_encode_str = json.encoder.encode_basestring  # JSON text of a str, non-ASCII kept
_CONSTANTS = {True: "true", False: "false", None: "null"}


def _other(value):
    """JSON for what TOML has and JSON lacks: dates and times, as strings."""
    isoformat = getattr(value, "isoformat", None)
    return isoformat() if isoformat is not None else str(value)


def value_text(value):
    """JSON text of a leaf (an empty container counts as one)."""
    kind = type(value)
    if kind is str:
        return _encode_str(value)
    if kind is Number:
        return value
    if kind is int:
        return int.__repr__(value)
    if kind is bool or value is None:
        return _CONSTANTS[value]
    if kind is dict or kind is list:
        if not value:
            return "{}" if kind is dict else "[]"
        return dumps(value)
    if kind is float:
        return float.__repr__(value)
    return _encode_str(_other(value))


def _string_text(s):
    return s if type(s) is Number else _encode_str(s)


def dumps(document, indent=None):
    """JSON text of a document, numbers as their input text, at any depth."""
    if indent is None and json.encoder.c_make_encoder is not None:
        try:
            encode = json.encoder.c_make_encoder(None, _other, _string_text, None, ": ", ", ",
                                                 False, False, False)
            return "".join(encode(document, 0))
        except RecursionError:
            pass
    return _dump_iteratively(document, indent)


def _dump_iteratively(document, indent):
    pieces = []
    put = pieces.append
    separator = ", " if indent is None else ","
    stack = []  # [iterator, is a dict, nothing written yet] of every open container
    value = document
    while True:
        kind = type(value)
        if (kind is dict or kind is list) and value:
            put("{" if kind is dict else "[")
            stack.append([iter(value.items()) if kind is dict else iter(value), kind is dict, True])
        else:
            put(value_text(value))
        while stack:
            top = stack[-1]
            item = next(top[0], stack)
            pad = "" if indent is None else "\n" + " " * (indent * (len(stack) - (item is stack)))
            if item is stack:
                stack.pop()
                put(pad + ("}" if top[1] else "]"))
                continue
            put(pad if top[2] else separator + pad)
            top[2] = False
            if top[1]:
                put(_string_text(item[0]) + ": ")
                value = item[1]
            else:
                value = item
            break
        else:
            return "".join(pieces)


def _escape_surrogates(exc):
    """Lone surrogates (from JSON escapes) have no UTF-8 form: write them as
    the JSON escapes they came from. Everything this program writes outside
    a JSON string is ASCII, so the escape lands inside one."""
    if isinstance(exc, UnicodeEncodeError):
        return "".join(f"\\u{ord(c):04x}" for c in exc.object[exc.start:exc.end]), exc.end
    raise exc


codecs.register_error("tavrin-ds-escape", _escape_surrogates)


class Output:
    """Standard output, as UTF-8 whatever the locale; write errors become
    OutputError (a closed pipe stays BrokenPipeError)."""

    def __init__(self, stream):
        if stream is None:
            raise OutputError("standard output is closed")
        try:
            stream.reconfigure(encoding="utf-8", errors="tavrin-ds-escape")
        except (AttributeError, io.UnsupportedOperation, ValueError):
            pass
        self.stream = stream

    def isatty(self):
        try:
            return self.stream.isatty()
        except (AttributeError, ValueError, OSError):
            return False

    def write(self, text):
        try:
            self.stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(exc.strerror or str(exc)) from None

    def flush(self):
        try:
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(exc.strerror or str(exc)) from None


# ------------------------------------------------------------------ colour

_RESET = "\x1b[0m"
_KEY, _MARKER, _STRING, _NUMBER_C, _LITERAL = "\x1b[1;34m", "\x1b[36m", "\x1b[32m", "\x1b[33m", "\x1b[35m"


def use_colour(choice, out):
    if choice == "always":
        return True
    if choice == "never" or os.environ.get("NO_COLOR"):
        return False
    return out.isatty() and os.environ.get("TERM") != "dumb"


def _paint_value(text):
    first = text[:1]
    if first == '"':
        return f"{_STRING}{text}{_RESET}"
    if first in ("{", "["):
        return text
    if first in ("t", "f", "n"):
        return f"{_LITERAL}{text}{_RESET}"
    return f"{_NUMBER_C}{text}{_RESET}"


def _paint_component(m):
    text = m.group()
    return (_KEY if text[0] == '"' else _MARKER) + text + _RESET


def paint_line(line):
    """A `path = value` line as `paths` writes it, in colour."""
    m = _LINE.match(line)
    path = _COMPONENT.sub(_paint_component, m.group(1) or "")
    return f"{path}{line[len(m.group(1) or ''):m.end()]}{_paint_value(line[m.end():])}"


# ----------------------------------------------------------------- filters


class _FilterParser:
    """And/Or/Not over string literals, nothing else: text from a command
    line is parsed, never evaluated."""

    def __init__(self, text):
        self.text = text
        self.pos = 0

    def fail(self, what):
        raise InputError(f"filter {self.text!r}: {what} at position {self.pos}")

    def skip_space(self):
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def parse(self):
        self.skip_space()
        expr = self.expression()
        self.skip_space()
        if self.pos != len(self.text):
            self.fail("unexpected text after the expression")
        return expr

    def expression(self):
        start = self.pos
        while self.pos < len(self.text) and (self.text[self.pos].isalnum() or self.text[self.pos] == "_"):
            self.pos += 1
        name = self.text[start:self.pos]
        if not name:
            self.pos = start
            self.fail("expected And, Or or Not")
        if name not in FILTER_NAMES:
            self.pos = start
            self.fail(f"{name!r} is not allowed (only And, Or, Not and quoted strings)")
        self.skip_space()
        if self.pos >= len(self.text) or self.text[self.pos] != "(":
            self.fail(f"expected '(' after {name}")
        self.pos += 1
        args = []
        while True:
            self.skip_space()
            if self.pos < len(self.text) and self.text[self.pos] == ")":
                self.pos += 1
                break
            args.append(self.argument())
            self.skip_space()
            if self.pos < len(self.text) and self.text[self.pos] == ",":
                self.pos += 1
                continue
            if self.pos < len(self.text) and self.text[self.pos] == ")":
                self.pos += 1
                break
            self.fail("expected ',' or ')'")
        return name, args

    def argument(self):
        if self.pos >= len(self.text):
            self.fail("unexpected end of text")
        ch = self.text[self.pos]
        if ch in "'\"" or (ch in "rR" and self.text[self.pos + 1:self.pos + 2] in ("'", '"')):
            return self.string()
        return self.expression()

    def string(self):
        import ast

        start = self.pos
        if self.text[self.pos] in "rR":
            self.pos += 1
        quote = self.text[self.pos]
        self.pos += 1
        while self.pos < len(self.text):
            ch = self.text[self.pos]
            if ch == "\\":
                self.pos += 2
                continue
            if ch == quote:
                self.pos += 1
                literal = self.text[start:self.pos]
                try:
                    value = ast.literal_eval(literal)
                except (SyntaxError, ValueError) as exc:
                    self.pos = start
                    self.fail(f"bad string literal ({exc.msg if isinstance(exc, SyntaxError) else exc})")
                return value
            if ch == "\n":
                break
            self.pos += 1
        self.pos = start
        self.fail("unterminated string")


# Text that starts like a call is the And/Or/Not notation; anything else is
# one regular expression.
_CALL = re.compile(r"\s*[A-Za-z_]\w*\s*\(")


def parse_filter(text):
    """A logic expression from its text form, or from a bare regular
    expression, without evaluating code."""
    from tavrin.datastructures import logic

    if text.strip() and not _CALL.match(text):
        try:
            return logic.And(text)
        except re.error as exc:
            raise InputError(f"filter {text!r}: not a regular expression: {exc}") from None
    tree = _FilterParser(text).parse()

    def build(node):
        name, args = node
        cls = getattr(logic, name)
        return cls(*(build(a) if isinstance(a, tuple) else a for a in args))

    try:
        return build(tree)
    except Exception as exc:  # an invalid regular expression, for one
        raise InputError(f"filter {text!r}: {exc}") from None


def eval_filter(text):
    from tavrin.datastructures.logic import logic_str

    try:
        return logic_str(text)
    except ValueError as exc:
        cause = exc.__context__
        if type(cause) is AssertionError and not cause.args:
            # The text ran but gave something other than a logic object (a
            # bare lambda or a string): say what it has to give.
            detail = " (it must give And, Or or Not, as in And(lambda line: ...))"
        elif cause is not None:
            detail = f" ({type(cause).__name__}: {cause})"
        else:
            detail = ""
        raise InputError(f"{exc}{detail}") from None


def _filtered(lines, keep, option):
    for line in lines:
        try:
            kept = keep(line)
        except Exception as exc:
            raise InputError(f"{option}: {type(exc).__name__}: {exc}, on the line {line!r}") from None
        if kept:
            yield line


# ------------------------------------------------------------------- paths


def path_lines(document):
    """One `path = value` line per leaf, depth first, lazily, at any depth."""
    kind = type(document)
    if not ((kind is dict or kind is list) and document):
        yield f"= {value_text(document)}"
        return
    keys = {}  # key -> its text: documents repeat their keys a lot
    markers = []  # position -> its text

    def children(value, prefix):
        if type(value) is dict:
            for key, child in value.items():
                text = keys.get(key)
                if text is None:
                    text = _encode_str(key)
                    if len(keys) < 100_000:
                        keys[key] = text
                yield prefix + text, child
        else:
            while len(markers) < len(value) and len(markers) < 100_000:
                markers.append(f"list[{len(markers)}]")
            for i, child in enumerate(value):
                yield prefix + (markers[i] if i < len(markers) else f"list[{i}]"), child

    stack = [children(document, "")]
    while stack:
        for path, value in stack[-1]:
            kind = type(value)
            if kind is str:
                yield f"{path} = {_encode_str(value)}"
            elif (kind is dict or kind is list) and value:
                stack.append(children(value, path + "."))
                break
            else:
                yield f"{path} = {value_text(value)}"
        else:
            stack.pop()


_KEY_RE = r'"(?:[^"\\]|\\.)*"'
_MARKER_RE = r"(?:list|tuple)\[\d+\]"
_COMPONENT = re.compile(rf"{_KEY_RE}|{_MARKER_RE}")
_WHOLE_PATH = re.compile(rf"(?:{_KEY_RE}|{_MARKER_RE})(?:\.(?:{_KEY_RE}|{_MARKER_RE}))*")
_LINE = re.compile(rf"({_WHOLE_PATH.pattern})? ?= ")
_VALUE_CONSTANTS = {"true": True, "false": False, "null": None}
_MISSING = object()
_ROOT = object()  # the one key of the slot that holds the document


class Rebuild:
    """The document described by `path = value` lines, in any order: keys
    keep the order in which they first appear, list items go where their
    positions say. Lines that contradict each other are refused."""

    def __init__(self, source):
        self.source = source
        self.lineno = 0
        self.slot = {}  # {_ROOT: the document}
        self.parents = {}  # text of a parent path -> its container
        self.keys = {}  # text of a key -> the key
        self.pending = {}  # id(list) -> (the list, {position: (value, line number)}) past its end

    def fail(self, what):
        raise InputError(f"{self.source}:{self.lineno}: {what}")

    # -- reading
    def component(self, text):
        key = self.keys.get(text)
        if key is None:
            if text[0] == '"':
                key = text[1:-1] if "\\" not in text else json.loads(text)
            else:
                key = int(text[text.index("[") + 1:-1])
            if len(self.keys) < 100_000:
                self.keys[text] = key
        return key

    def components(self, text):
        if not _WHOLE_PATH.fullmatch(text):
            return None
        return [self.component(m.group()) for m in _COMPONENT.finditer(text)]

    def value(self, text):
        first = text[:1]
        if first == '"' and text.endswith('"') and "\\" not in text and text.count('"') == 2:
            return text[1:-1]
        if first in "-0123456789" and first:
            if _NUMBER.fullmatch(text):
                return Number(text)
        else:
            constant = _VALUE_CONSTANTS.get(text, _MISSING)
            if constant is not _MISSING:
                return constant
        try:
            return parse_json(text)
        except json.JSONDecodeError as exc:
            self.fail(f"broken value: {exc.msg} at column {exc.colno} of the value")
        except _NotANumber as exc:
            self.fail(f"broken value: {_not_json_number(exc.args[0])}")

    def add_lines(self, lines):
        parents, keys, pending = self.parents, self.keys, self.pending
        for line in lines:
            self.lineno += 1
            line = line.rstrip("\n")
            head, sep, value_text = line.partition(" = ")
            if sep and "\\" not in head and head.count('"') % 2 == 0:
                path_text = head  # keys without escapes: the first " = " ends the path
            elif line.startswith("= "):
                path_text, value_text = "", line[2:]
            else:
                if not line.strip():
                    continue
                match = _LINE.match(line)
                if match is None:
                    self.explain_bad_line(line)
                path_text, value_text = match.group(1) or "", line[match.end():]
            if value_text[:1] == '"' and value_text[-1] == '"' and "\\" not in value_text \
                    and value_text.count('"') == 2:
                value = value_text[1:-1]
            else:
                value = self.value(value_text)
            self.path_text = path_text
            if not path_text:
                self.put(self.slot, _ROOT, value, [])
                continue
            if path_text[-1] == '"':
                dot = path_text.rfind(".", 0, len(path_text) - 1)
            else:
                dot = path_text.rfind(".")
            key_text = path_text[dot + 1:]
            key = keys.get(key_text)  # only well-formed components are kept there
            if key is None or not dot:
                if not dot or _COMPONENT.fullmatch(key_text) is None:
                    self.add_slowly(path_text, value, line)
                    continue
                key = self.component(key_text)
            parent_text = path_text[:dot] if dot > 0 else ""
            container = parents.get(parent_text)
            if container is None:
                container = self.container_of(parent_text, key, line)
            # The common cases inline: a new key, the next list item.
            kind = type(container)
            if kind is dict and type(key) is str:
                if key not in container:
                    container[key] = value
                    continue
            elif kind is list and type(key) is int:
                if key == len(container) and id(container) not in pending:
                    container.append(value)
                    continue
            else:
                self.fail(self.kind_conflict(parent_text, container, key))
            self.put(container, key, value, None)

    @staticmethod
    def split_last(path_text):
        """(parent's text, last component's text), or (None, None) when the
        last component is not plain (a key with a dot in it, say)."""
        if path_text[-1] == '"':
            dot = path_text.rfind(".", 0, len(path_text) - 1)
        else:
            dot = path_text.rfind(".")
        if not dot or _COMPONENT.fullmatch(path_text, dot + 1) is None:
            return None, None
        return path_text[:dot] if dot > 0 else "", path_text[dot + 1:]

    def container_of(self, parent_text, key, line):
        """The container at `parent_text` (a path's text), made on the way,
        found from the nearest ancestor already known."""
        parents = self.parents
        # Most often the parent is new and its own parent known: make it there.
        ancestor, last = self.split_last(parent_text) if parent_text else (None, None)
        if last is not None and ancestor:
            above = parents.get(ancestor)
            if above is not None:
                step = self.component(last)
                kind = type(above)
                if kind is dict and type(step) is str and step not in above or \
                        kind is list and step == len(above) and type(step) is int and id(above) not in self.pending:
                    container = {} if type(key) is str else []
                    if kind is dict:
                        above[step] = container
                    else:
                        above.append(container)
                    if len(parents) < 1_000_000:
                        parents[parent_text] = container
                    return container
        texts, keys_below = [], [key]  # the paths walked up, and the key below each
        text = parent_text
        while text and text not in parents:
            ancestor, last = self.split_last(text)
            if last is None:  # not plain: read the whole path
                parts = self.components(parent_text)
                if parts is None:
                    self.explain_bad_line(line)
                container = self.container_at(parts, key)
                break
            texts.append(text)
            keys_below.append(self.component(last))
            text = ancestor
        else:
            container = parents[text] if text else self.child(None, None, keys_below[-1], "")
            for i in range(len(texts) - 1, -1, -1):
                container = self.child(container, keys_below[i + 1], keys_below[i], texts[i])
                if len(parents) < 1_000_000:
                    parents[texts[i]] = container
        if len(parents) < 1_000_000:
            parents[parent_text] = container
        return container

    def child(self, container, key, next_key, text):
        """container[key] (the document, when container is None), made of
        the kind that `next_key` goes into when missing."""
        kind = dict if type(next_key) is str else list
        if container is None:
            container, key = self.slot, _ROOT
        elif (type(key) is str) is not (type(container) is dict):
            self.fail(self.kind_conflict(self.split_last(text)[0], container, key))
        child = self.get(container, key)
        if child is _MISSING:
            child = kind()
            self.put(container, key, child, text)
        elif type(child) is not kind:
            if type(child) in (dict, list):
                self.fail(self.kind_conflict(text, child, next_key))
            self.fail(f"{text or 'the document'} holds a value on an earlier line, so nothing can go below it")
        return child

    def add_slowly(self, path_text, value, line):
        parts = self.components(path_text)
        if parts is None:
            self.explain_bad_line(line)
        key = parts.pop()
        self.put(self.container_at(parts, key), key, value, None)

    def container_at(self, parts, next_key):
        """The container at the path `parts` (made on the way), which must
        be of the kind that `next_key` goes into."""
        container, key = self.slot, _ROOT
        for i, part in enumerate(parts + [next_key]):
            kind = dict if type(part) is str else list
            child = self.get(container, key)
            if child is _MISSING:
                child = kind()
                self.put(container, key, child, parts[:i])
            elif type(child) is not kind:
                if type(child) in (dict, list):
                    self.fail(self.kind_conflict(parts[:i], child, part))
                self.fail(f"{self.shown(parts[:i])} holds a value on an earlier line, so nothing can go below it")
            container, key = child, part
        return container

    def get(self, container, key):
        if type(container) is dict:
            return container.get(key, _MISSING)
        if key < len(container):
            return container[key]
        pending = self.pending.get(id(container))
        if pending is not None and key in pending[1]:
            return pending[1][key][0]
        return _MISSING

    def put(self, container, key, value, path):
        """Sets container[key]; `path` is where that is, None for the line's own path."""
        old = self.get(container, key)
        if old is not _MISSING:
            kind = type(old)
            if kind is type(value) and ((kind is dict or kind is list) and not value or old == value):
                return  # the same value again, or an empty container where there is one
            path = self.shown(path)
            if kind is dict or kind is list:
                self.fail(f"{path} has entries below it on an earlier line, so it cannot be a value")
            self.fail(f"{path} is given a different value on an earlier line")
        if type(container) is dict:
            container[key] = value
            return
        n = len(container)
        if key == n:
            container.append(value)
            pending = self.pending.get(id(container))
            if pending is not None:
                items = pending[1]
                while len(container) in items:
                    container.append(items.pop(len(container))[0])
                if not items:
                    del self.pending[id(container)]
        else:
            self.pending.setdefault(id(container), (container, {}))[1][key] = (value, self.lineno)

    def shown(self, parts):
        if parts is None:
            return self.path_text
        if isinstance(parts, str):
            return parts or "the document"
        return ".".join(_encode_str(p) if type(p) is str else f"list[{p}]" for p in parts) or "the document"

    def kind_conflict(self, parts, child, part):
        what = "an object" if type(child) is dict else "a list"
        step = _encode_str(part) if type(part) is str else f"list[{part}]"
        return f"{self.shown(parts)} is {what} on an earlier line, but {step} here treats it as " + \
            ("a list" if type(child) is dict else "an object")

    def explain_bad_line(self, line):
        """Fails with the message for a line that is not `path = value`."""
        pos = 0
        while True:
            m = _COMPONENT.match(line, pos)
            if m is None:
                if line.startswith(" = ", pos) or line.startswith("= ", pos):
                    break
                if pos == 0 or line[pos - 1:pos] == ".":
                    self.fail(f"broken path component at column {pos + 1}: expected a JSON string or list[N]")
                break
            pos = m.end()
            if line.startswith(".", pos):
                pos += 1
                continue
            break
        self.fail("expected 'path = value'")

    def document(self):
        if not self.lineno or _ROOT not in self.slot:
            raise InputError(f"{self.source}: no path lines")
        for lst, items in self.pending.values():
            position = min(items)
            self.lineno = items[position][1]
            self.fail(f"list[{position}] leaves a gap: no line gives list[{len(lst)}] of its list")
        return self.slot[_ROOT]


def read_path_lines(lines, source):
    rebuild = Rebuild(source)
    try:
        rebuild.add_lines(lines)
    except UnicodeDecodeError as exc:
        raise InputError(f"{source}:{rebuild.lineno + 1}: not UTF-8 text ({exc.reason})") from None
    return rebuild.document()


# --------------------------------------------------------------------- get

_SHORT_PART = re.compile(r'(?:(' + _KEY_RE + r')|([^.\["\]]+))?((?:\[\d+\])*)')
_INDEX = re.compile(r"\[(\d+)\]")


def parse_path(text):
    """A path as `paths` writes it ("a".list[0]."b") or in the short form
    a.b[0].c, as a list of keys (str) and list positions (int); "" and "."
    are the document itself."""
    if text in ("", "."):
        return []
    if _WHOLE_PATH.fullmatch(text):
        return [json.loads(m.group()) if m.group()[0] == '"' else int(m.group()[m.group().index("[") + 1:-1])
                for m in _COMPONENT.finditer(text)]
    parts, pos = [], 0
    while True:
        m = _SHORT_PART.match(text, pos)
        quoted, bare, indexes = m.groups()
        if quoted is None and bare is None and (not indexes or parts):
            raise InputError(f"path {text!r}: expected a key or [N] at column {pos + 1}")
        if quoted is not None:
            try:
                parts.append(json.loads(quoted))
            except json.JSONDecodeError as exc:
                raise InputError(f"path {text!r}: bad quoted key at column {pos + 1}: {exc.msg}") from None
        elif bare is not None:
            parts.append(bare)
        parts.extend(int(i) for i in _INDEX.findall(indexes))
        pos = m.end()
        if pos == len(text):
            return parts
        if text[pos] != ".":
            raise InputError(f"path {text!r}: unexpected {text[pos]!r} at column {pos + 1}")
        pos += 1


def lookup(document, parts):
    """The value at `parts`, or _MISSING."""
    node = document
    for part in parts:
        if type(part) is str:
            if type(node) is not dict or part not in node:
                return _MISSING
        elif type(node) is not list or part >= len(node):
            return _MISSING
        node = node[part]
    return node


# -------------------------------------------------------------------- tree

_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_UNSAFE_IN_VALUES = re.compile("[\x7f-\x9f\u2028\u2029]")
_SHORT_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape_char(m):
    ch = m.group()
    return _SHORT_ESCAPES.get(ch) or f"\\u{ord(ch):04x}"


def shown_key(key):
    """A key as a tree shows it: control characters escaped, so that
    every node stays on one line."""
    return _UNSAFE.sub(_escape_char, key) if _UNSAFE.search(key) else key


def document_tree(document, name, depth=None, colour=False):
    """The document as a Branchlet tree, cut below `depth` levels."""
    from tavrin.datastructures.branchlet import Branchlet

    labels = {}
    paint_key = (lambda text: f"{_KEY}{text}{_RESET}") if colour else (lambda text: text)
    paint = _paint_value if colour else (lambda text: text)

    def label(key):
        text = labels.get(key)
        if text is None:
            text = paint_key(shown_key(key) if type(key) is str else f"[{key}]")
            if len(labels) < 100_000:
                labels[key] = text
        return text

    labels_get = labels.get
    root = Branchlet(paint_key(shown_key(name)))
    stack = [(root.children, document, 0)]
    while stack:
        children, value, level = stack.pop()
        if depth is not None and level >= depth:
            children.append(f"... ({len(value)} more)")
            continue
        append = children.append
        for key, child in (value.items() if type(value) is dict else enumerate(value)):
            text = labels_get(key)
            if text is None:
                text = label(key)
            kind = type(child)
            if kind is str and not colour:
                append(f"{text}: {_encode_str(child)}")
            elif (kind is dict or kind is list) and child:
                node = Branchlet(text)
                append(node)
                stack.append((node.children, child, level + 1))
            else:
                append(f"{text}: {paint(value_text(child))}")
    return root


# -------------------------------------------------------------- subcommands


def cmd_paths(args, out):
    document, name = load_document(args.file, args.format)
    lines = path_lines(document)
    if args.filter is not None:
        lines = _filtered(lines, parse_filter(args.filter), "--filter")
    elif args.filter_eval is not None:
        lines = _filtered(lines, eval_filter(args.filter_eval), "--filter-eval")
    if use_colour(args.color, out):
        lines = map(paint_line, lines)
    batch = []
    for line in lines:
        batch.append(line)
        if len(batch) == 2000:
            batch.append("")
            out.write("\n".join(batch))
            batch.clear()
    if batch:
        batch.append("")
        out.write("\n".join(batch))
    return 0


def cmd_unpaths(args, out):
    if args.file in (None, "-"):
        if sys.stdin is None:
            raise InputError("standard input is closed")
        stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", errors="strict")
        document = read_path_lines(stream, "<stdin>")
    else:
        data, name = _read_bytes(args.file)
        document = read_path_lines(io.StringIO(_decode(data, name), newline=None), name)
    out.write(dumps(document, _indent(args)))
    out.write("\n")
    return 0


def cmd_tree(args, out):
    document, name = load_document(args.file, args.format)
    if args.depth is not None and args.depth < 0:
        raise InputError(f"--depth must be 0 or more, not {args.depth}")
    colour = use_colour(args.color, out)
    name = os.path.basename(name)
    kind = type(document)
    if (kind is dict or kind is list) and document:
        text = str(document_tree(document, name, args.depth, colour))
    else:
        text = f"{shown_key(name)}: {(_paint_value if colour else str)(value_text(document))}"
    if _UNSAFE_IN_VALUES.search(text):
        text = _UNSAFE_IN_VALUES.sub(_escape_char, text)
    out.write(text)
    out.write("\n")
    return 0


def cmd_get(args, out):
    parts = parse_path(args.path)
    document, name = load_document(args.file, args.format)
    value = lookup(document, parts)
    if value is _MISSING:
        hint = ""
        if any(type(p) is str and p.isdigit() for p in parts):
            hint = " (a list position is written [N], as in a.b[0])"
        print(f"tavrin-ds: {name}: no value at {args.path!r}{hint}", file=sys.stderr)
        return 1
    if args.raw and type(value) is str:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise InputError(f"{name}: the string at {args.path!r} holds a lone surrogate, "
                             "which has no raw form: leave out --raw") from None
        out.write(value)
    else:
        out.write(dumps(value, _indent(args)))
    out.write("\n")
    return 0


def cmd_example(args, out):
    from importlib import resources

    out.write(resources.files("tavrin.datastructures.tour").joinpath("example.json").read_text(encoding="utf-8"))
    return 0


def _indent(args):
    if args.indent is not None and not 0 <= args.indent <= 32:
        raise InputError(f"--indent must be 0 to 32, not {args.indent}")
    return args.indent


FILTER_HELP = (
    "Each 'path = value' line is judged on its own, as one text: a filter cannot relate two lines "
    "(to keep the interfaces that are up, find their 'state' lines, then fetch the rest with get)."
)


def build_parser():
    from tavrin.datastructures import __version__

    parser = argparse.ArgumentParser(
        prog="tavrin-ds",
        description="Look into and edit nested configuration files (JSON, or TOML by the .toml ending). "
                    "With no command, takes a tour of tavrin.datastructures on a bundled example; "
                    "'tavrin-ds example > config.json' writes that example for you to try the commands on.")
    parser.add_argument("--version", action="version", version=f"tavrin-ds {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    file_help = "the document ('-' or none: standard input, when it is not a terminal)"
    format_help = "the input's format (default: toml for a name ending in .toml, else json)"
    color_help = "colour the output: auto (on a terminal, unless NO_COLOR is set), always or never"

    p = sub.add_parser("paths", help="print every leaf as 'path = value'",
                       description="Print every leaf of the document as one 'path = value' line: keys as JSON "
                                   "strings, list positions as list[N], joined with '.', the value as JSON "
                                   "(numbers exactly as written). An empty document prints as '= {}' or '= []'. "
                                   + FILTER_HELP)
    p.add_argument("file", metavar="FILE", nargs="?", help=file_help)
    group = p.add_mutually_exclusive_group()
    group.add_argument("--filter", metavar="EXPR",
                       help="keep the lines that EXPR accepts: a regular expression searched in the line "
                            "(--filter mtu), or And, Or, Not over quoted regular expressions, all searched in "
                            "the same line (--filter \"And('interfaces', Not('addresses'))\"); nothing is "
                            "evaluated")
    group.add_argument("--filter-eval", metavar="EXPR",
                       help="like --filter, but EXPR is evaluated as Python (lambdas, built-ins), each line "
                            "given as a str. It RUNS CODE: never pass text you did not write yourself")
    p.add_argument("--format", choices=("json", "toml"), help=format_help)
    p.add_argument("--color", choices=("auto", "always", "never"), default="auto", help=color_help)
    p.set_defaults(run=cmd_paths)

    p = sub.add_parser("unpaths", help="rebuild a document from 'path = value' lines",
                       description="Read 'path = value' lines (as 'paths' prints them, in any order) and print "
                                   "the document they describe as JSON. Object keys keep the order in which "
                                   "they first appear; list items go to their positions. Lines that contradict "
                                   "each other, or list positions that leave a gap, are refused.")
    p.add_argument("file", metavar="FILE", nargs="?", help="the lines (default: standard input)")
    p.add_argument("--indent", type=int, metavar="N", help="pretty-print, indenting N spaces per level")
    p.set_defaults(run=cmd_unpaths)

    p = sub.add_parser("tree", help="draw the document as a tree",
                       description="Draw the document as a tree, objects and arrays as branches.")
    p.add_argument("file", metavar="FILE", nargs="?", help=file_help)
    p.add_argument("--depth", type=int, metavar="N",
                   help="draw at most N levels below the top; deeper parts show as '... (K more)'")
    p.add_argument("--format", choices=("json", "toml"), help=format_help)
    p.add_argument("--color", choices=("auto", "always", "never"), default="auto", help=color_help)
    p.set_defaults(run=cmd_tree)

    p = sub.add_parser("get", help="print the value at a path",
                       description="Print the value at PATH as JSON; exit status 1 when there is none. PATH is "
                                   "written as 'paths' prints it (\"network\".\"interfaces\".list[0].\"name\") or "
                                   "in the short form network.interfaces[0].name, where a key with a dot, a "
                                   "bracket or a quote in it is written as a JSON string: "
                                   "servers.\"db.example.com\".port. '.' is the whole document.")
    p.add_argument("file", metavar="FILE", nargs="?", help=file_help)
    p.add_argument("path", metavar="PATH", help="e.g. network.dns.search or network.interfaces[0].name")
    p.add_argument("-r", "--raw", action="store_true", help="print a string without quotes or escapes")
    p.add_argument("--indent", type=int, metavar="N", help="pretty-print, indenting N spaces per level")
    p.add_argument("--format", choices=("json", "toml"), help=format_help)
    p.set_defaults(run=cmd_get)

    p = sub.add_parser("example", help="print the bundled example document",
                       description="Print the bundled example configuration (JSON), to try the commands on: "
                                   "tavrin-ds example > config.json")
    p.set_defaults(run=cmd_example)
    return parser


def _quiet_stdout():
    """Point standard output at /dev/null, so that the interpreter's last
    flush of what could not be written does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def main(argv=None):
    try:
        args = build_parser().parse_args(argv)
        out = Output(sys.stdout)
        if args.command is None:
            from tavrin.datastructures.tour import run

            status = run(out)
        else:
            # The documents read hold no reference cycles, and collecting
            # while millions of their containers are made costs about half
            # of the time.
            collecting = gc.isenabled()
            gc.disable()
            try:
                status = args.run(args, out)
            finally:
                if collecting:
                    gc.enable()
        out.flush()
        return status
    except InputError as exc:
        message = f"tavrin-ds: {exc}"
    except OutputError as exc:
        _quiet_stdout()
        message = f"tavrin-ds: cannot write the output: {exc}"
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        _quiet_stdout()
        return 0
    except KeyboardInterrupt:
        return 130
    except MemoryError:
        message = "tavrin-ds: out of memory"
    except RecursionError:
        message = "tavrin-ds: nested too deeply"
    except Exception as exc:  # a fault of ours: still one line, never a traceback
        message = f"tavrin-ds: internal error: {type(exc).__name__}: {exc} (please report it)"
    try:
        print(message, file=sys.stderr)
    except (OSError, AttributeError):
        pass
    return 2


if __name__ == "__main__":
    sys.exit(main())
