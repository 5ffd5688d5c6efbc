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
    (("unpaths",), '"a" = 1\n"a" = 2\n', '<stdin>:2: "a" is given a different value'),
    # Numbers that JSON cannot hold are refused, not rewritten.
    (("unpaths",), '"a" = NaN\n', "<stdin>:1: broken value: NaN is not a JSON number"),
    (("paths",), '{"a": [1, -Infinity]}', "<stdin>: -Infinity is not a JSON number"),
    (("paths", "--filter-eval", "And(lambda line: 1 / 0)"), '{"a": 1}',
     "--filter-eval: ZeroDivisionError: division by zero, on the line '\"a\" = 1'"),
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
