"""The README's examples run, so they cannot drift from the code.

- A ```python block with `>>>` prompts is a doctest.
- A ```python block without prompts is a script; the `$ python NAME.py ...`
  commands of the ```console block after it run it, and their output must be
  the lines shown under each command.
- `$ python -m tavrin.datastructures` in a console block is the tour: the
  lines shown, in pieces separated by `...` lines, must appear in its output.
- `$ tavrin-ds ...` lines run in a shell, one directory per block; their
  output (standard output and error) must be the lines shown.
"""
import doctest
import os
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

import tavrin.datastructures

README = Path(__file__).resolve().parent.parent / "README.md"
MODULES = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")

pytestmark = pytest.mark.skipif(not README.is_file(), reason="needs the source tree's README.md")


@dataclass
class Block:
    lang: str
    line: int  # of the opening fence, counted from 1
    section: str
    text: str


def fenced_blocks():
    """Every fenced block of the README; the fences themselves are not text."""
    blocks, section, open_block = [], "", None
    if not README.is_file():
        return blocks
    for number, line in enumerate(README.read_text(encoding="utf-8").splitlines(), 1):
        if open_block is None:
            if line.startswith("## "):
                section = line[3:].strip()
            elif line.startswith("```"):
                open_block = Block(line[3:].strip(), number, section, "")
        elif line.startswith("```"):
            blocks.append(open_block)
            open_block = None
        else:
            open_block.text += line + "\n"
    assert open_block is None, f"README.md:{open_block.line}: fence never closed"
    return blocks


BLOCKS = fenced_blocks()
DOCTESTS = [b for b in BLOCKS if b.lang == "python" and ">>> " in b.text]
CONSOLES = [b for b in BLOCKS if b.lang == "console"]


def env_for_the_package():
    """The environment that imports the package these tests import."""
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.abspath(tavrin.datastructures.__path__[0])))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    return env


@pytest.mark.parametrize("block", DOCTESTS, ids=[f"{b.section}:{b.line}" for b in DOCTESTS])
def test_readme_example(block):
    # lineno is the fence's line: doctest reports example lines one past it.
    test = doctest.DocTestParser().get_doctest(block.text, {"__name__": "readme"},
                                               f"README {block.section}", str(README), block.line)
    runner = doctest.DocTestRunner(verbose=False)
    report = []
    runner.run(test, out=report.append)
    assert runner.tries > 0
    assert runner.failures == 0, "".join(report)


def commands(block):
    """(command line, expected output lines) for every `$ ` line of a console block."""
    out = []
    for line in block.text.splitlines():
        if line.startswith("$ "):
            out.append((line[2:], []))
        else:
            assert out, f"README.md:{block.line}: output before any command"
            out[-1][1].append(line)
    return out


def script_before(block):
    """The prompt-less python block that the console block runs."""
    earlier = [b for b in BLOCKS if b.line < block.line and b.section == block.section
               and b.lang == "python" and ">>> " not in b.text]
    assert earlier, f"README.md:{block.line}: no script before this console block"
    return earlier[-1]


def appears_in_order(expected, actual):
    """Whether the pieces of `expected` (split at `...` lines) appear in
    `actual`, each as consecutive lines, one after another."""
    pieces, piece = [], []
    for line in expected:
        if line.strip() == "...":
            pieces.append(piece)
            piece = []
        else:
            piece.append(line)
    pieces.append(piece)
    pos = 0
    for piece in filter(None, pieces):
        for start in range(pos, len(actual) - len(piece) + 1):
            if actual[start:start + len(piece)] == piece:
                pos = start + len(piece)
                break
        else:
            return False
    return True


@pytest.mark.parametrize("block", CONSOLES, ids=[f"{b.section}:{b.line}" for b in CONSOLES])
def test_readme_console_session(block, tmp_path):
    env = env_for_the_package()
    for command, expected in commands(block):
        argv = shlex.split(command)
        if argv[:3] == ["python", "-m", "tavrin.datastructures"] and len(argv) == 3:
            tour = subprocess.run([sys.executable, "-m", "tavrin.datastructures"], cwd=tmp_path, env=env,
                                  capture_output=True, text=True, timeout=120)
            assert tour.returncode == 0, tour.stderr
            assert appears_in_order(expected, tour.stdout.splitlines()), tour.stdout
        elif argv[0] == "tavrin-ds":
            # A shell line (pipes, redirections) with tavrin-ds on the PATH;
            # the lines of a block share one directory, so files carry over.
            bin_dir = tmp_path / "bin"
            if not bin_dir.exists():
                bin_dir.mkdir()
                (bin_dir / "tavrin-ds").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tavrin.datastructures "$@"\n')
                (bin_dir / "tavrin-ds").chmod(0o755)
            shell_env = dict(env, PATH=f"{bin_dir}{os.pathsep}{env.get('PATH', '')}", NO_COLOR="1")
            proc = subprocess.run(["sh", "-c", command], cwd=tmp_path, env=shell_env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            assert proc.stdout.splitlines() == expected, f"$ {command}\n{proc.stdout}"
        elif argv[0] == "python" and argv[1].endswith(".py"):
            script = tmp_path / argv[1]
            script.write_text(script_before(block).text, encoding="utf-8")
            proc = subprocess.run([sys.executable, *argv[1:]], cwd=tmp_path, env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            assert proc.stdout.splitlines() == expected, f"$ {command}\n{proc.stdout}"
        else:
            pytest.fail(f"README.md:{block.line}: no way to run {command!r} here")


def test_every_python_block_runs():
    scripts = [b for b in BLOCKS if b.lang == "python" and ">>> " not in b.text]
    used = [script_before(c).line for c in CONSOLES
            if any(shlex.split(cmd)[1].endswith(".py") for cmd, _ in commands(c))]
    assert sorted(b.line for b in scripts) == sorted(set(used))
    assert all(b.lang in ("python", "console") for b in BLOCKS), [b.lang for b in BLOCKS]


@pytest.mark.parametrize("module", MODULES)
def test_module_section_has_example_bad_input_and_performance(module):
    text = README.read_text(encoding="utf-8")
    match = re.search(rf"^## {module}\n(.*?)(?=^## )", text, re.M | re.S)
    assert match, f"no section ## {module}"
    section = match.group(1)
    assert "```python\n>>> " in section
    assert "On bad input" in section
    # The performance rows, written by benchmarks/run.py from its last run.
    assert re.search(rf"<!-- perf:{module} -->\n\|.*\|\n\|[-| ]+\|\n(\|.*\|\n)+<!-- /perf -->", section)
