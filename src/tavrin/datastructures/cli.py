"""tavrin-ds: look into and edit nested configuration files (JSON, TOML).

    tavrin-ds paths FILE [--filter EXPR | --filter-eval EXPR]
    tavrin-ds unpaths [FILE]
    tavrin-ds tree FILE [--depth N]
    tavrin-ds get FILE a.b.c
    tavrin-ds                       (a tour of the package on a bundled example)

`paths` prints every leaf as one line, `path = value`: keys as JSON strings,
list positions as `list[N]`, joined with ".", and the value as JSON; an empty
path (a document that is a single value) prints as `= value`. `unpaths` reads
such lines back and prints the document; the two round-trip for documents of
objects, arrays and values.

Exit status: 0 on success, 1 when `get` finds no value at the path, 2 for bad
input (a missing file, invalid JSON or TOML, a malformed filter, a broken path
line), with one message on standard error and no traceback.
"""
import argparse
import io
import json
import os
import re
import sys

FILTER_NAMES = ("And", "Or", "Not")


class InputError(Exception):
    """Bad input: reported as one line naming the input, exit status 2."""


# ---------------------------------------------------------------- reading


def _read_text(source):
    if source in (None, "-"):
        return sys.stdin.read(), "<stdin>"
    try:
        with open(source, encoding="utf-8") as handle:
            return handle.read(), source
    except FileNotFoundError:
        raise InputError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{source}: is a directory") from None
    except PermissionError:
        raise InputError(f"{source}: permission denied") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"{source}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise InputError(f"{source}: {exc.strerror or exc}") from None


def load_document(source):
    """The parsed document of a JSON file (or TOML, by the .toml ending)."""
    text, name = _read_text(source)
    if name.endswith(".toml"):
        try:
            import tomllib
        except ImportError:
            raise InputError(f"{name}: reading TOML needs Python 3.11 or newer") from None
        try:
            return tomllib.loads(text), name
        except tomllib.TOMLDecodeError as exc:
            raise InputError(f"{name}: invalid TOML: {exc}") from None
    try:
        return json.loads(text), name
    except json.JSONDecodeError as exc:
        raise InputError(f"{name}: invalid JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None
    except RecursionError:
        raise InputError(f"{name}: nested too deeply to read") from None


def _json(value):
    return json.dumps(value, ensure_ascii=False, default=str)


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


def parse_filter(text):
    """A logic expression from its text form, without evaluating code."""
    from tavrin.datastructures import logic

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
        detail = f" ({type(cause).__name__}: {cause})" if cause is not None else ""
        raise InputError(f"{exc}{detail}") from None


# ------------------------------------------------------------------- paths

_encode_str = json.encoder.encode_basestring  # JSON text of a str, non-ASCII kept
_CONSTANTS = {True: "true", False: "false", None: "null"}


def _value_text(value):
    """JSON text of a leaf; the common exact types without the encoder's set-up."""
    kind = type(value)
    if kind is str:
        return _encode_str(value)
    if kind is int:
        return int.__repr__(value)
    if kind is bool or value is None:
        return _CONSTANTS[value]
    if kind is float and value == value and value not in (float("inf"), float("-inf")):
        return float.__repr__(value)
    return _json(value)


def path_lines(document):
    """One `path = value` line per leaf, in the walk's order, lazily."""
    from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable

    keys = {}  # key -> its text: documents repeat their keys a lot

    def component(c):
        text = keys.get(c) if type(c) is str else None
        if text is None:
            if isinstance(c, IndexMarker):
                return repr(c)
            text = _encode_str(c if isinstance(c, str) else str(c))
            if type(c) is str and len(keys) < 100_000:
                keys[c] = text
        return text

    for entry in PathTable.__flatten__(document):
        if isinstance(entry, DictItem):
            path, value = entry
            yield f"{'.'.join(map(component, path))} = {_value_text(value)}"
        else:  # a document that is one value
            yield f"= {_value_text(entry)}"


_KEY = r'"(?:[^"\\]|\\.)*"'
_MARKER = r"(?:list|tuple)\[\d+\]"
_COMPONENT = re.compile(rf"{_KEY}|{_MARKER}")
_WHOLE_PATH = re.compile(rf"(?:{_KEY}|{_MARKER})(?:\.(?:{_KEY}|{_MARKER}))*")
_LINE = re.compile(rf"({_WHOLE_PATH.pattern})? ?= ")


class _PathReader:
    """Paths as `paths` writes them. Lines under one parent share its
    components (the same key strings and markers), which keeps a table of
    millions of entries small."""

    def __init__(self, source):
        from tavrin.datastructures.pathtable import IndexMarker

        self.IndexMarker = IndexMarker
        self.source = source
        self.keys = {}
        self.prefixes = {}

    def component(self, text):
        if text[0] == '"':
            key = self.keys.get(text)
            if key is None:
                key = text[1:-1] if "\\" not in text else json.loads(text)
                if len(self.keys) < 100_000:
                    self.keys[text] = key
            return key
        kind, _, index = text.partition("[")
        return self.IndexMarker([] if kind == "list" else (), int(index[:-1]))

    def path(self, text):
        if not text:
            return ()
        dot = text.rfind(".", 0, len(text) - 1) if text[-1] == '"' else text.rfind(".")
        # The parent's text ends where the last component starts.
        last = _COMPONENT.fullmatch(text, dot + 1) if dot >= 0 else None
        if last is not None:
            parent = self.prefixes.get(text[:dot])
            if parent is None:
                if not _WHOLE_PATH.fullmatch(text, 0, dot):
                    raise ValueError(text)
                parent = tuple(self.component(m.group()) for m in _COMPONENT.finditer(text, 0, dot))
                if len(self.prefixes) > 10_000:
                    self.prefixes.clear()
                self.prefixes[text[:dot]] = parent
            return parent + (self.component(last.group()),)
        if not _WHOLE_PATH.fullmatch(text):
            raise ValueError(text)
        return tuple(self.component(m.group()) for m in _COMPONENT.finditer(text))


_VALUE_CONSTANTS = {"true": True, "false": False, "null": None}


def _parse_value(text):
    """A JSON value, with the common plain strings and numbers read directly."""
    first = text[:1]
    if first == '"' and text.endswith('"') and "\\" not in text and text.count('"') == 2:
        return text[1:-1]
    if text.isdigit() and (text[0] != "0" or len(text) == 1):
        return int(text)
    constant = _VALUE_CONSTANTS.get(text, _VALUE_CONSTANTS)
    if constant is not _VALUE_CONSTANTS:
        return constant
    return json.loads(text)


def read_path_lines(lines, source):
    """The document described by `path = value` lines."""
    from tavrin.datastructures.pathtable import PathTable

    root = (object(),)  # every path hangs below one private key, so any top level works
    table = PathTable()
    append = table.append
    reader = _PathReader(source)
    for lineno, line in enumerate(lines, 1):
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
                _explain_bad_line(line, source, lineno)
            path_text, value_text = match.group(1) or "", line[match.end():]
        try:
            value = _parse_value(value_text)
        except json.JSONDecodeError as exc:
            raise InputError(f"{source}:{lineno}: broken value: {exc.msg}") from None
        try:
            path = reader.path(path_text)
        except ValueError:
            _explain_bad_line(line, source, lineno)
        append((root + path, value))
    if not table:
        raise InputError(f"{source}: no path lines")
    try:
        return table.reconstruct()[root[0]]
    except (TypeError, ValueError, IndexError) as exc:
        raise InputError(f"{source}: the paths do not fit together ({exc})") from None


def _explain_bad_line(line, source, lineno):
    """Raises the message for a line that is not `path = value`."""
    pos = 0
    while True:
        m = _COMPONENT.match(line, pos)
        if m is None:
            if line.startswith(" = ", pos) or line.startswith("= ", pos):
                break
            if pos == 0 or line[pos - 1:pos] == ".":
                raise InputError(f"{source}:{lineno}: broken path component at column {pos + 1}: "
                                 "expected a JSON string or list[N]")
            raise InputError(f"{source}:{lineno}: expected 'path = value'")
        pos = m.end()
        if line.startswith(".", pos):
            pos += 1
            continue
        if line.startswith(" = ", pos):
            break
        raise InputError(f"{source}:{lineno}: expected 'path = value'")
    raise InputError(f"{source}:{lineno}: expected 'path = value'")


# -------------------------------------------------------------------- tree


def document_tree(document, name, depth=None):
    """The document as a Branchlet tree, cut below `depth` levels."""
    from tavrin.datastructures.branchlet import Branchlet

    root = Branchlet(name)
    stack = [(root, document, 0)]
    while stack:
        node, value, level = stack.pop()
        if isinstance(value, dict):
            items = list(value.items())
        else:
            items = [(f"[{i}]", v) for i, v in enumerate(value)]
        if depth is not None and level >= depth:
            if items:
                node.add_child("...")
            continue
        for key, child in items:
            if isinstance(child, (dict, list)) and child:
                sub = Branchlet(str(key))
                node.add_child(sub)
                stack.append((sub, child, level + 1))
            else:
                node.add_child(Branchlet(f"{key}: {_json(child)}"))
    return root


# -------------------------------------------------------------- subcommands


def cmd_paths(args, out):
    document, name = load_document(args.file)
    keep = None
    if args.filter is not None:
        keep = parse_filter(args.filter)
    elif args.filter_eval is not None:
        keep = eval_filter(args.filter_eval)
    lines = path_lines(document) if keep is None else filter(keep, path_lines(document))
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
        document = read_path_lines(sys.stdin, "<stdin>")
    else:
        text, name = _read_text(args.file)
        document = read_path_lines(io.StringIO(text), name)
    out.write(_json(document))
    out.write("\n")
    return 0


def cmd_tree(args, out):
    document, name = load_document(args.file)
    if args.depth is not None and args.depth < 0:
        raise InputError(f"--depth must be 0 or more, not {args.depth}")
    if not isinstance(document, (dict, list)):
        out.write(f"{os.path.basename(name)}: {_json(document)}\n")
        return 0
    out.write(str(document_tree(document, os.path.basename(name), args.depth)))
    out.write("\n")
    return 0


def cmd_get(args, out):
    from tavrin.datastructures.memberbag import NestedMemberBag

    document, name = load_document(args.file)
    if not isinstance(document, dict):
        raise InputError(f"{name}: the document is not an object, so it has no dotted paths")
    bag = NestedMemberBag(document)
    try:
        value = bag[args.path]
    except (KeyError, TypeError, IndexError):
        print(f"{name}: no value at {args.path!r}", file=sys.stderr)
        return 1
    out.write(_json(value))
    out.write("\n")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tavrin-ds",
        description="Look into and edit nested configuration files (JSON, or TOML by the .toml ending). "
                    "With no command, takes a tour of tavrin.datastructures on a bundled example.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("paths", help="print every leaf as 'path = value'",
                       description="Print every leaf of the document as one 'path = value' line: keys as JSON "
                                   "strings, list positions as list[N], joined with '.', the value as JSON.")
    p.add_argument("file", metavar="FILE", help="the document ('-' for standard input)")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--filter", metavar="EXPR",
                       help="keep the lines this logic expression accepts, e.g. \"And('eth', Not('down'))\"; "
                            "only And, Or, Not and quoted regular expressions: nothing is evaluated")
    group.add_argument("--filter-eval", metavar="EXPR",
                       help="like --filter, but EXPR is evaluated as Python (lambdas, built-ins). "
                            "It RUNS CODE: never pass text you did not write yourself")
    p.set_defaults(run=cmd_paths)

    p = sub.add_parser("unpaths", help="rebuild a document from 'path = value' lines",
                       description="Read 'path = value' lines (as 'paths' prints them) and print the document "
                                   "they describe as JSON.")
    p.add_argument("file", metavar="FILE", nargs="?", help="the lines (default: standard input)")
    p.set_defaults(run=cmd_unpaths)

    p = sub.add_parser("tree", help="draw the document as a tree",
                       description="Draw the document as a tree, objects and arrays as branches.")
    p.add_argument("file", metavar="FILE", help="the document ('-' for standard input)")
    p.add_argument("--depth", type=int, metavar="N", help="draw at most N levels below the top")
    p.set_defaults(run=cmd_tree)

    p = sub.add_parser("get", help="print the value at a dotted path",
                       description="Print the value at a dotted path (a.b.c) as JSON; exit status 1 when "
                                   "there is none.")
    p.add_argument("file", metavar="FILE", help="the document ('-' for standard input)")
    p.add_argument("path", metavar="PATH", help="the dotted path, e.g. network.dns.search")
    p.set_defaults(run=cmd_get)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command is None:
        from tavrin.datastructures.tour import run

        return run()
    out = sys.stdout
    try:
        return args.run(args, out)
    except InputError as exc:
        print(f"tavrin-ds: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
