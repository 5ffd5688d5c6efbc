"""tavrin-ds end to end: the tool run in a subprocess on example files."""
import json
import os
import subprocess
import sys
from importlib import resources

import pytest

EXAMPLE = str(resources.files("tavrin.datastructures.tour").joinpath("example.json"))


def tool(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "tavrin.datastructures", *args], input=stdin,
                          capture_output=True, text=True, timeout=120)


def ok(*args, stdin=None):
    r = tool(*args, stdin=stdin)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    return r.stdout


def refused(status, *args, stdin=None):
    r = tool(*args, stdin=stdin)
    assert r.returncode == status, (r.stdout, r.stderr)
    assert "Traceback" not in r.stderr
    assert len(r.stderr.strip().splitlines()) == 1, r.stderr
    return r.stderr.strip()


@pytest.fixture
def write(tmp_path):
    def make(name, text):
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        return str(path)
    return make


def test_paths_lines():
    lines = ok("paths", EXAMPLE).splitlines()
    assert '"service"."name" = "edge-proxy"' in lines
    assert '"network"."interfaces".list[1]."state" = "down"' in lines
    assert '"network"."interfaces".list[1]."addresses" = []' in lines
    assert lines[0] == '"service"."name" = "edge-proxy"'


DOCUMENTS = [
    {"a": {"b": 1, "c": [1, {"d": 2}, [3, 4]]}, "e": [], "f": {}, "g": None},
    {"weird.key": {"quote\"d": "x = y", "": [[], [{}]]}, "ünï": "ßtring\n"},
    [1, {"a": [True, 2.5]}, "x"],
    "just a string",
    {},
]


@pytest.mark.parametrize("doc", DOCUMENTS + [[]])
def test_paths_and_unpaths_round_trip(doc, write):
    src = write("doc.json", json.dumps(doc))
    lines = ok("paths", src)
    assert ok("unpaths", stdin=lines) == json.dumps(doc, ensure_ascii=False) + "\n"  # key order too
    assert json.loads(ok("unpaths", write("doc.paths", lines))) == doc


def test_paths_from_stdin_and_toml(write):
    assert ok("paths", "-", stdin='{"a": [1]}') == '"a".list[0] = 1\n'
    if sys.version_info >= (3, 11):
        src = write("cfg.toml", '[server]\nport = 8080\nhosts = ["a", "b"]\n')
        assert ok("paths", src).splitlines() == [
            '"server"."port" = 8080', '"server"."hosts".list[0] = "a"', '"server"."hosts".list[1] = "b"']


@pytest.mark.parametrize("expr, expected", [
    ("And('eth', Not('down'))", {'"network"."interfaces".list[0]."name" = "eth0"',
                                 '"network"."interfaces".list[1]."name" = "eth1"'}),
    ("And('state', Not('up'))", {'"network"."interfaces".list[1]."state" = "down"'}),
    ("Or(\"wlan\", 'rotate')", {'"network"."interfaces".list[2]."name" = "wlan0"',
                                '"logging"."targets"."file"."rotate" = 7'}),
    (r"And(r'\bmtu\b', '1400')", {'"network"."interfaces".list[2]."mtu" = 1400'}),
])
def test_paths_filter(expr, expected):
    assert set(ok("paths", EXAMPLE, "--filter", expr).splitlines()) == expected


def test_filter_eval_runs_python():
    out = ok("paths", EXAMPLE, "--filter-eval", "And(lambda line: line.endswith('7'))")
    assert out == '"logging"."targets"."file"."rotate" = 7\n'


@pytest.mark.parametrize("expr, fragment", [
    ("__import__('os').system('touch PWNED')", "'__import__' is not allowed"),
    ("And(lambda x: True)", "'lambda' is not allowed"),
    ("And('a').__class__", "unexpected text after the expression at position 8"),
    ("And(str.isdigit)", "'str' is not allowed"),
    ("And('a'", "expected ',' or ')' at position 7"),
    ("And('a", "unterminated string at position 4"),
    ("And('[')", "unterminated character set"),
    ("", "expected And, Or or Not at position 0"),
])
def test_filter_refuses_anything_but_the_notation(expr, fragment, tmp_path):
    r = tool("paths", EXAMPLE, "--filter", expr)
    assert r.returncode == 2 and fragment in r.stderr, r.stderr
    assert r.stdout == "" and "Traceback" not in r.stderr
    assert not os.path.exists("PWNED") and not (tmp_path / "PWNED").exists()


def test_filter_eval_reports_malformed_text():
    msg = refused(2, "paths", EXAMPLE, "--filter-eval", "And(")
    assert "Not a properly formatted logic string: And(" in msg


def test_tree():
    out = ok("tree", EXAMPLE)
    lines = out.splitlines()
    assert lines[0] == "example.json"
    assert "|-- service" in lines and '|   |-- name: "edge-proxy"' in lines
    assert lines[-1] == "            `-- rotate: 7"
    shallow = ok("tree", EXAMPLE, "--depth", "1").splitlines()
    assert shallow == ["example.json", "|-- service", "|   `-- ... (3 more)", "|-- network",
                       "|   `-- ... (2 more)", "`-- logging", "    `-- ... (2 more)"]


@pytest.mark.parametrize("path, value", [
    ("network.dns.search", '"corp.example"'),
    ("service", '{"name": "edge-proxy", "version": "2.4.1", "debug": false}'),
    ("logging.targets.file.rotate", "7"),
])
def test_get(path, value):
    assert ok("get", EXAMPLE, path) == value + "\n"


@pytest.mark.parametrize("path", ["network.zz", "zz.y", "service.name.first", "network.interfaces.0"])
def test_get_missing_path(path):
    assert f"example.json: no value at '{path}'" in refused(1, "get", EXAMPLE, path)


@pytest.mark.parametrize("args, stdin, fragment", [
    (("paths", "no/such/file.json"), None, "no/such/file.json: no such file"),
    (("tree", "-"), "{broken", "<stdin>: invalid JSON: Expecting property name"),
    (("unpaths",), '"a" = 1\n"a" oops\n', "<stdin>:2: expected 'path = value'"),
    (("unpaths",), '"a".dict[0] = 1\n', "<stdin>:1: broken path component at column 5"),
    (("unpaths",), '"a" = {broken\n', "<stdin>:1: broken value"),
    (("unpaths",), "\n", "<stdin>: no path lines"),
    (("tree", "-", "--depth", "-1"), "{}", "--depth must be 0 or more"),
    # Lines that do not describe one document: refused, whatever their order.
    (("unpaths",), '"l".list[1] = 1\n', "<stdin>:1: list[1] leaves a gap: no line gives list[0]"),
    (("unpaths",), '"l".list[99999999999] = 1\n"l".list[0] = 0\n', "<stdin>:1: list[99999999999] leaves a gap"),
    (("unpaths",), '"a" = 1\n"a"."b" = 2\n', '<stdin>:2: "a" holds a value on an earlier line'),
    (("unpaths",), '"a"."b" = 2\n"a" = 1\n', '<stdin>:2: "a" has entries below it on an earlier line'),
    (("unpaths",), '"a".list[0] = 1\n"a"."b" = 2\n', '<stdin>:2: "a" is a list on an earlier line'),
    (("unpaths",), '"a"."b"."c" = 1\n"a".list[0]."d" = 2\n', '<stdin>:2: "a" is an object on an earlier line'),
    (("unpaths",), '"a" = 1\n"a" = 2\n', '<stdin>:2: "a" is given a different value'),
    # Numbers that JSON cannot hold are refused, not rewritten.
    (("unpaths",), '"a" = NaN\n', "<stdin>:1: broken value: NaN is not a JSON number"),
    (("paths",), '{"a": [1, -Infinity]}', "<stdin>: -Infinity is not a JSON number"),
    (("paths", "--filter-eval", "And(lambda line: 1 / 0)"), '{"a": 1}',
     "--filter-eval: ZeroDivisionError: division by zero, on the line '\"a\" = 1'"),
    (("paths", "--filter-eval", "lambda line: True"), "{}", "it must give And, Or or Not"),
    (("paths", "--filter", "x["), "{}", "filter 'x[': not a regular expression"),
    (("get", "-", "a[0"), "{}", "path 'a[0': unexpected '['"),
    (("get", "-", "a", "--raw"), '{"a": "\\ud800"}', "holds a lone surrogate, which has no raw form"),
    (("unpaths", "--indent", "-1"), "= 1\n", "--indent must be 0 to 32"),
])
def test_bad_input_is_one_message_and_status_2(args, stdin, fragment):
    assert fragment in refused(2, *args, stdin=stdin)


def test_toml_errors_name_the_file(write):
    if sys.version_info < (3, 11):
        pytest.skip("tomllib is 3.11+")
    assert "bad.toml: invalid TOML" in refused(2, "paths", write("bad.toml", "a = = 1\n"))


@pytest.mark.parametrize("command", ["paths", "unpaths", "tree", "get"])
def test_every_command_has_help(command):
    assert ok(command, "--help").startswith("usage: tavrin-ds " + command)


def test_no_command_takes_the_tour():
    out = ok()
    assert "== memberbag ==" in out


def test_output_is_streamed_to_a_closed_pipe(write):
    src = write("big.json", json.dumps({f"k{i}": list(range(20)) for i in range(20000)}))
    proc = subprocess.Popen([sys.executable, "-m", "tavrin.datastructures", "paths", src],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=120) == 0
    assert first == b'"k0".list[0] = 0\n' and proc.stderr.read() == b""


# ------------------------------------------------------- lines in any order

from hypothesis import given, settings, strategies as st  # noqa: E402

from tavrin.datastructures.cli import dumps, path_lines, read_path_lines  # noqa: E402

_scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False),
                     st.text(max_size=5))
_documents = st.recursive(_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=12), st.dictionaries(st.text(max_size=4), inner, max_size=5)), max_leaves=40)


@settings(max_examples=150, deadline=None)
@given(_documents, st.randoms(use_true_random=False))
def test_path_lines_in_any_order_rebuild_the_document(doc, rng):
    lines = [line + "\n" for line in path_lines(doc)]
    assert dumps(read_path_lines(lines, "t")) == json.dumps(doc, ensure_ascii=False)  # in order: the same text, key order too
    rng.shuffle(lines)
    assert json.loads(dumps(read_path_lines(lines, "t"))) == doc


# ------------------------------------------------- what used to be lost

EXACT = '{"big": 1e400, "tiny": -1e-400, "long": 0.1000000000000000000000000000000001, "n": [-0, 2.50, 1E+2]}'


def test_numbers_and_lone_surrogates_keep_their_text(write):
    lines = ok("paths", write("exact.json", EXACT)).splitlines()
    assert lines == ['"big" = 1e400', '"tiny" = -1e-400', '"long" = 0.1000000000000000000000000000000001',
                     '"n".list[0] = -0', '"n".list[1] = 2.50', '"n".list[2] = 1E+2']
    assert ok("unpaths", stdin="\n".join(lines)) == EXACT.replace(",", ", ").replace(",  ", ", ") + "\n"
    assert ok("get", "-", "n[1]", stdin=EXACT) == "2.50\n"
    odd = '{"\\ud800k": ["\\udfff", "\\ud83d\\ude00"]}'
    lines = ok("paths", stdin=odd)
    assert lines == '"\\ud800k".list[0] = "\\udfff"\n"\\ud800k".list[1] = "\U0001f600"\n'
    assert json.loads(ok("unpaths", stdin=lines)) == json.loads(odd)


def test_ten_thousand_levels(write):
    deep = '{"k":[' * 10_000 + "1" + "]}" * 10_000
    src = write("deep.json", deep)
    lines = ok("paths", src)
    assert lines == '"k".list[0].' * 9_999 + '"k".list[0] = 1\n'
    assert ok("unpaths", stdin=lines).replace(" ", "") == deep + "\n"
    assert ok("get", src, '"k".list[0].' * 9_999 + '"k"') == "[1]\n"
    assert len(ok("tree", src, "--depth", "3").splitlines()) == 5


def _run_into(stdout, *args):
    return subprocess.run([sys.executable, "-m", "tavrin.datastructures", *args], stdout=stdout,
                          stderr=subprocess.PIPE, text=True, timeout=120)


@pytest.mark.parametrize("args", [("paths", EXAMPLE), ()])
def test_a_closed_pipe_ends_quietly(args):
    read, write_end = os.pipe()
    os.close(read)  # every write fails with EPIPE
    try:
        r = _run_into(write_end, *args)
    finally:
        os.close(write_end)
    assert (r.returncode, r.stderr) == (0, "")


def test_output_that_cannot_be_written_is_one_message():
    with open("/dev/full", "w") as full:
        r = _run_into(full, "paths", EXAMPLE)
    assert (r.returncode, r.stderr) == (2, "tavrin-ds: cannot write the output: No space left on device\n")
    r = subprocess.run(f"{sys.executable} -m tavrin.datastructures paths {EXAMPLE} >&-", shell=True,
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stderr) == (2, "tavrin-ds: cannot write the output: standard output is closed\n")


# ------------------------------------------------------------- conveniences


def test_version_example_and_stdin():
    from tavrin.datastructures import __version__

    assert ok("--version") == f"tavrin-ds {__version__}\n"
    example = ok("example")
    assert json.loads(example) == json.load(open(EXAMPLE, encoding="utf-8"))
    assert ok("paths", stdin=example) == ok("paths", EXAMPLE)
    assert ok("get", "logging.level", stdin=example) == '"info"\n'
    assert ok("get", "-r", "--indent", "1", "--format", "json", "network.dns", stdin=example) == \
        '{\n "servers": [\n  "10.0.0.1",\n  "10.0.0.53"\n ],\n "search": "corp.example"\n}\n'


@pytest.mark.parametrize("path, value", [
    ("network.interfaces[1].name", '"eth1"'),
    ('"network"."interfaces".list[2]."mtu"', "1400"),
    ('network."dns".servers[0]', '"10.0.0.1"'),
    (".", None),
])
def test_get_paths_both_ways(path, value):
    out = ok("get", EXAMPLE, path)
    assert out == (value + "\n" if value else json.dumps(json.load(open(EXAMPLE, encoding="utf-8"))) + "\n")


def test_colour_only_when_asked_or_on_a_terminal():
    coloured = ok("paths", EXAMPLE, "--color", "always", "--filter", "rotate")
    assert coloured == ('\x1b[1;34m"logging"\x1b[0m.\x1b[1;34m"targets"\x1b[0m.\x1b[1;34m"file"\x1b[0m.'
                        '\x1b[1;34m"rotate"\x1b[0m = \x1b[33m7\x1b[0m\n')
    assert "\x1b" not in ok("paths", EXAMPLE) + ok("tree", EXAMPLE)  # not a terminal
    assert "\x1b[" in ok("tree", EXAMPLE, "--color", "always")


def test_tree_keeps_every_node_on_one_line(write):
    src = write("odd.json", json.dumps({"a\nb\x1b[31m": {"c\u2028": "x\x85y"}}))
    assert ok("tree", src).splitlines() == ["odd.json", "`-- a\\nb\\u001b[31m", "    `-- c\\u2028: \"x\\u0085y\""]


def test_toml_numbers_json_cannot_hold(write):
    if sys.version_info < (3, 11):
        pytest.skip("tomllib is 3.11+")
    assert ok("paths", write("n.toml", "a = 1_000.5\nb = +2e3\n")) == '"a" = 1000.5\n"b" = 2e3\n'
    assert "nan is not a JSON number" in refused(2, "paths", write("m.toml", "a = nan\n"))
