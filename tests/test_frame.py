"""The module frame every module shares: import-time behaviour, checked in
fresh interpreters so each import is a first one."""
import sys

import pytest
from conftest import run

MODULES = ["memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter"]


@pytest.mark.parametrize("name", MODULES)
def test_imports_silently_on_the_interpreter_it_was_built_for(name):
    r = run(f"import tavrin.datastructures.{name} as m; print(m.__name__)", "-W", "error")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == f"tavrin.datastructures.{name}"
    assert r.stderr == ""


@pytest.mark.parametrize("name", MODULES)
def test_second_initialisation_is_refused(name):
    code = f"""
import importlib, sys
import tavrin.datastructures.{name}
del sys.modules['tavrin.datastructures.{name}']
try:
    importlib.import_module('tavrin.datastructures.{name}')
except RuntimeError as e:
    print(e)
"""
    r = run(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (
        f"Module '{name}' has already been imported. Re-initialisation is not supported."
    )


SUBINTERPRETER = """
import sys
try:
    import _interpreters as si
except ImportError:
    try:
        import _xxsubinterpreters as si
    except ImportError:
        print("SKIP"); sys.exit(0)
import tavrin.datastructures.{name}
interp = si.create()
code = '''
try:
    import tavrin.datastructures.{name}
except ImportError as e:
    print("ImportError:", e)
'''
if hasattr(si, "run_string"):
    si.run_string(interp, code)
else:
    si.exec(interp, code)
"""


@pytest.mark.parametrize("name", ["memberbag", "typegetter"])
def test_second_interpreter_is_refused(name):
    r = run(SUBINTERPRETER.format(name=name))
    if r.stdout.strip() == "SKIP":
        pytest.skip("no subinterpreter module on this interpreter")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (
        "ImportError: Interpreter change detected - "
        "this module can only be loaded into one interpreter per process."
    )


def test_module_names_are_the_full_names():
    r = run("import tavrin.datastructures.memberbag as m; print(m.MemberBag.__module__)")
    assert r.stdout.strip() == "tavrin.datastructures.memberbag"


def test_tour_runs():
    r = run("import runpy; runpy.run_module('tavrin.datastructures', run_name='__main__')")
    assert r.returncode == 0, r.stderr
    assert "== memberbag ==" in r.stdout
