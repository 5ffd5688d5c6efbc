"""Distribution: an sdist, and a wheel built from that sdist alone that installs
into a fresh virtual environment and works there.

With TAVRIN_DIST=DIR the files under test are the ones tools/build_wheels.sh
left in DIR (the sdist and the repaired wheel for this interpreter); with
TAVRIN_WHEEL_TEST=1 the tests build them with `python -m build` (about a
minute). Otherwise they are skipped.
"""
import email.parser
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

import tavrin.datastructures

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")
DIST = os.environ.get("TAVRIN_DIST")

pytestmark = [
    pytest.mark.skipif(not DIST and os.environ.get("TAVRIN_WHEEL_TEST") != "1",
                       reason="needs built files: set TAVRIN_DIST=DIR (tools/build_wheels.sh) or TAVRIN_WHEEL_TEST=1"),
    pytest.mark.skipif(not (ROOT / "pyproject.toml").is_file(), reason="needs the source tree"),
]


def run(cmd, **kwargs):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    tag = "cp%d%d" % sys.version_info[:2]
    if DIST:
        out = Path(DIST)
    else:
        pytest.importorskip("build", reason="the `build` package is not installed (the `test` extra brings it)")
        out = tmp_path_factory.mktemp("dist")
        # With no --sdist/--wheel, build makes the sdist and then the wheel from
        # the unpacked sdist: the wheel proves the sdist builds on its own.
        run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)])
    sdists, wheels = list(out.glob("*.tar.gz")), list(out.glob(f"*-{tag}-{tag}-*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, os.listdir(out)
    return sdists[0], wheels[0]


def test_sdist_holds_the_sources(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    expected = {"pyproject.toml", "CMakeLists.txt", "README.md",
                "src/tavrin/utils/strings.py", "src/tavrin/utils/strings.pyi",
                "src/tavrin/datastructures/py.typed", "src/tavrin/datastructures/tour/example.json"}
    expected |= {f"src/tavrin/datastructures/{m}.{ext}" for m in MODULES for ext in ("cpp", "pyi")}
    expected |= {f"src/include/tavrin/{h}.hpp" for h in ("ref", "compat", "args", "classdef", "module")}
    assert expected <= names
    assert not [n for n in names if n.endswith((".so", ".o"))]
    with tarfile.open(sdist) as tar:
        pkg_info = next(m for m in tar.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO"))
        meta = email.parser.Parser().parsestr(tar.extractfile(pkg_info).read().decode())
    assert meta["Version"] == tavrin.datastructures.__version__


def test_wheel_contents_and_metadata(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
        meta = email.parser.Parser().parsestr(zf.read(meta_name).decode())
    pkg = "tavrin/datastructures/"
    for m in MODULES:
        assert f"{pkg}{m}.pyi" in names
        assert [n for n in names if n.startswith(f"{pkg}{m}.") and n.endswith(".so")], m
    assert {f"{pkg}py.typed", "tavrin/utils/py.typed", "tavrin/utils/strings.pyi"} <= names
    # Build inputs stay out of the wheel; `tavrin` stays a namespace package.
    assert not [n for n in names if n.endswith((".cpp", ".hpp"))]
    assert "tavrin/__init__.py" not in names
    assert not [n for n in names if n.startswith(("tests/", "benchmarks/"))]
    assert meta["Name"] in ("tavrin.datastructures", "tavrin-datastructures")
    # One version: the one the package says it is.
    assert meta["Version"] == tavrin.datastructures.__version__
    assert wheel.name.split("-")[1] == meta["Version"]
    assert meta["Summary"] and meta["Requires-Python"] == ">=3.9"
    assert "MIT" in (meta.get("License") or meta.get("License-Expression") or "")
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers and "Programming Language :: C++" in classifiers


def test_wheel_installs_and_imports_in_a_fresh_venv(dist, tmp_path):
    _, wheel = dist
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    py = venv / "bin" / "python"
    # No compiler: pip must take the wheel as it is.
    no_cc = {**os.environ, "CC": "false", "CXX": "false"}
    run([str(py), "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", "--only-binary=:all:", str(wheel)],
        env=no_cc)
    check = textwrap.dedent(f"""
        import importlib, os, sys, warnings
        warnings.simplefilter("error")
        prefix = os.path.realpath(sys.prefix)
        for name in {MODULES!r}:
            mod = importlib.import_module("tavrin.datastructures." + name)
            assert os.path.realpath(mod.__file__).startswith(prefix), mod.__file__
        from tavrin.datastructures.logic import logic_str
        assert logic_str("And('a', Not('b'))")("a")
        print("ok")
    """)
    # Run away from the source tree so only the installed package can be found.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    assert run([str(py), "-c", check], cwd=tmp_path, env=env).stdout.strip() == "ok"
    # The tour reads its bundled example, and the console script is installed.
    tour = run([str(py), "-m", "tavrin.datastructures"], cwd=tmp_path, env=env).stdout
    assert all(f"== {m} ==" in tour for m in MODULES), tour
    assert (venv / "bin" / "tavrin-ds").exists()
    # mypy finds the stubs of the installed package (py.typed in a namespace package).
    if subprocess.run([sys.executable, "-c", "import mypy"], capture_output=True).returncode == 0:
        (tmp_path / "use.py").write_text(
            "from tavrin.datastructures.rankmap import RankMap\n"
            "from tavrin.utils.strings import decode_cli_string\n"
            "reveal_type(RankMap([('a', 1)]))\nreveal_type(decode_cli_string(b''))\n")
        proc = subprocess.run(
            [sys.executable, "-m", "mypy", "--python-executable", str(py), "--no-error-summary",
             "--cache-dir", str(tmp_path / "mypy-cache"), "use.py"],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        revealed = re.findall(r'Revealed type is "([^"]*)"', proc.stdout.replace("builtins.", ""))
        assert revealed == ["tavrin.datastructures.rankmap.RankMap[str, int]", "str"], proc.stdout + proc.stderr
