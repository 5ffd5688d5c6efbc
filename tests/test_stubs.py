"""The type stubs: they match the built modules (mypy's stubtest), and mypy
uses them to check calls."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy is not installed (the `test` extra brings it)")

import tavrin.datastructures  # noqa: E402

MODULES = [f"tavrin.datastructures.{name}" for name in
           ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")]
MODULES.append("tavrin.utils.strings")

# What stubtest cannot see, each for a reason:
ALLOWLIST = """
# Entries are the instance's attributes because its __dict__ is the instance
# itself; the stub says so with __getattr__/__setattr__, which the class does
# not define.
tavrin.datastructures.memberbag.MemberBag.__getattr__
tavrin.datastructures.memberbag.MemberBag.__setattr__
# A static method around a C function whose __self__ is the class, which
# stubtest takes for a class method.
tavrin.datastructures.pathtable.PathTable.__flatten__
# Standard-library names the modules import: their stubs are typeshed's.
tavrin\\.(datastructures|utils)\\.\\w+\\.(Mapping|MutableMapping|namedtuple|itertools|re|logging|weakref|collections)\\..*
"""


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, tmp_path, cache):
    """Run a mypy tool on the package the tests import, with a cache of this file's own."""
    env = dict(os.environ)
    # The directory holding `tavrin/` (the source tree's src/ or site-packages).
    root = os.path.dirname(os.path.dirname(os.path.abspath(tavrin.datastructures.__path__[0])))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    env["MYPY_CACHE_DIR"] = str(cache)
    env.pop("MYPYPATH", None)
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


def test_stubs_match_the_modules(tmp_path, mypy_cache):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    proc = run_mypy(["mypy.stubtest", "--allowlist", str(allowlist), "--ignore-unused-allowlist", *MODULES],
                    tmp_path, mypy_cache)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Each line ending in "# error" must draw a mypy error, and no other line may.
USAGE = '''
from typing import Any
from typing_extensions import assert_type
from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag
from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable
from tavrin.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavrin.datastructures.rankmap import RankMap
from tavrin.datastructures.wispseq import WispSeq
from tavrin.datastructures.branchlet import Branchlet
from tavrin.datastructures.typegetter import TypeGetterDescriptor, typegetter
from tavrin.utils.strings import decode_cli_string

bag = MemberBag({"first": "A"}, last="B")
assert_type(bag, MemberBag[str, str])
assert_type(bag.first, str)
bag.middle = "C"
bag.size = 3  # error
loose = MemberBag()
loose.anything = 1
cfg = NestedMemberBag({"db": {"port": 5432}})
cfg["db.port"] = 5433
cfg.update({"db": {"user": "app"}}, debug=True)

table = PathTable({"db": {"host": "localhost"}})
assert_type(table[0], DictItem)
assert_type(table[0].path, tuple[Any, ...])
table.append((("db", "user"), "app"))
table.insert(0, DictItem(("a",), 1))
table.append("a")  # error
PathTable(5)  # error
assert_type(table.reconstruct(), dict[Any, Any])
assert_type(next(PathTable.__flatten__({"a": 1})), DictItem)
assert_type(IndexMarker([5], 0).index, int)

up = And("^eth", Not("down"), Or(str.isdigit))
assert_type(up("eth0", 1), bool)
And(5)  # error
up(items=1)  # error
assert_type(logic_str("And('a')"), BaseLogic)

steps = RankMap([("build", "make")])
assert_type(steps, RankMap[str, str])
steps.insert("lint", "ruff", 0)
steps.insert("lint", 1, 0)  # error
steps.move("lint")  # error
assert_type(steps.keys(), list[str])
assert_type(steps.items(), list[tuple[str, str]])
assert_type(RankMap.fromkeys("ab", 0), RankMap[str, int])

class Job: ...
jobs = WispSeq([Job()])
assert_type(jobs[0], Job)
assert_type(jobs[:1], WispSeq[Job])
assert_type(jobs.pop(0), Job)
jobs.pop()  # error
jobs + [Job()]  # error
jobs += [Job()]

tree = Branchlet("root", [Branchlet("leaf"), "text"])
tree.add_child(Branchlet("more"))
Branchlet(5)  # error

class Section:
    @typegetter
    def key(cls: "type[Section]") -> str:
        return cls.__name__.lower()

assert_type(Section.key, str)
assert_type(Section().key, str)
assert typegetter is TypeGetterDescriptor
assert_type(decode_cli_string(b"x"), str)
'''


def test_mypy_checks_calls(tmp_path, mypy_cache):
    source = tmp_path / "usage.py"
    source.write_text(textwrap.dedent(USAGE))
    proc = run_mypy(["mypy", "--no-error-summary", "--show-error-codes", "--strict-equality",
                     str(source)], tmp_path, mypy_cache)
    reported = {int(n) for n in re.findall(r"usage\.py:(\d+): error", proc.stdout)}
    expected = {n for n, line in enumerate(source.read_text().splitlines(), 1) if line.endswith("# error")}
    assert reported == expected, proc.stdout + proc.stderr
