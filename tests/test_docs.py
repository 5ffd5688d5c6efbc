"""The reference's examples run, so they cannot drift from the code.

- On every page of docs/, the ```python blocks with `>>>` prompts are
  doctests, run in order in one namespace: a page reads as one session.
- A ```console block runs its `$ ` commands with bash, in a folder holding the
  page's last ```json block before it as config.json; `tavrin-ds` is this
  interpreter's `-m tavrin.datastructures`. What a command prints (standard
  output and error together) must be the lines shown under it.
- The examples in the modules' own docstrings, which the reference shows,
  are doctests too.
"""
import doctest
import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tavrin.datastructures

DOCS = Path(__file__).resolve().parent.parent / "docs"
MODULES = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")


def fenced_blocks(page):
    """(language, line of the opening fence, text) of every fenced block."""
    blocks, open_block = [], None
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        if open_block is None:
            if line.startswith("```"):
                open_block = [line[3:].strip(), number, ""]
        elif line.startswith("```"):
            blocks.append(tuple(open_block))
            open_block = None
        else:
            open_block[2] += line + "\n"
    assert open_block is None, f"{page.name}:{open_block[1]}: fence never closed"
    return blocks


PAGES = sorted(DOCS.glob("*.md")) if DOCS.is_dir() else []
BLOCKS = [(page, *block) for page in PAGES for block in fenced_blocks(page)]
DOCTEST_PAGES = [p for p in PAGES if any(b[0] == p and b[1] == "python" and ">>> " in b[3] for b in BLOCKS)]
CONSOLES = [b for b in BLOCKS if b[1] == "console"]

pytestmark = pytest.mark.skipif(not PAGES, reason="needs the source tree's docs/")


def run_doctest(test):
    runner = doctest.DocTestRunner(verbose=False)
    report = []
    runner.run(test, out=report.append, clear_globs=False)
    assert runner.tries > 0
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("page", DOCTEST_PAGES, ids=[p.name for p in DOCTEST_PAGES])
def test_page_examples(page):
    namespace = {"__name__": "docs"}
    for _, lang, line, text in [b for b in BLOCKS if b[0] == page]:
        if lang == "python" and ">>> " in text:
            test = doctest.DocTestParser().get_doctest(text, namespace, f"{page.name}:{line}", str(page), line)
            run_doctest(test)
            namespace = test.globs


@pytest.mark.parametrize("page, lang, line, text", CONSOLES, ids=[f"{b[0].name}:{b[2]}" for b in CONSOLES])
def test_page_console_session(page, lang, line, text, tmp_path):
    documents = [b for b in BLOCKS if b[0] == page and b[1] == "json" and b[2] < line]
    assert documents, f"{page.name}:{line}: no json document before this console block"
    (tmp_path / "config.json").write_text(documents[-1][3], encoding="utf-8")
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.abspath(tavrin.datastructures.__path__[0])))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    sessions = []
    for row in text.splitlines():
        if row.startswith("$ "):
            sessions.append((row[2:], []))
        else:
            assert sessions, f"{page.name}:{line}: output before any command"
            sessions[-1][1].append(row)
    for command, expected in sessions:
        script = f'tavrin-ds() {{ "{sys.executable}" -m tavrin.datastructures "$@"; }}\n{command}\n'
        proc = subprocess.run(["bash", "-c", script], cwd=tmp_path, env=env, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        assert proc.returncode == 0, f"$ {command}\n{proc.stdout}"
        assert proc.stdout.splitlines() == expected, f"$ {command}\n{proc.stdout}"


@pytest.mark.parametrize("module", MODULES)
def test_docstring_examples(module):
    mod = importlib.import_module(f"tavrin.datastructures.{module}")
    tests = [t for t in doctest.DocTestFinder().find(mod) if t.examples]
    for test in tests:
        run_doctest(test)


def test_every_page_is_in_the_site():
    index = (DOCS / "index.md").read_text(encoding="utf-8")
    # architecture.md joins the site through conf.py when it exists.
    pages = {p.stem for p in PAGES} - {"index", "architecture"}
    assert pages == {stem for stem in pages if f"\n{stem}\n" in index}
    assert {f"{m}.md" for m in MODULES} <= {p.name for p in PAGES}
