"""Check a repaired wheel: python check_wheel.py WHEEL PYTHON_TAG

Runs `auditwheel show` on WHEEL and fails (exit 1, with the reason) unless
- auditwheel finds it consistent with a manylinux tag for this machine's
  architecture, and that tag is the wheel's own (first) platform tag;
- that tag asks for no newer glibc than TAVRIN_MAX_GLIBC (default 2.28, the
  oldest glibc of the Linux releases still in wide use);
- its Python and ABI tags are PYTHON_TAG (e.g. cp311), and its version is the
  package's __version__;
- nothing was grafted into it: the modules need only the system's C and C++
  runtime libraries, so a bundled library means an unexpected dependency.
On success prints one line: the wheel's name and what auditwheel reported.
"""
import email.parser
import os
import platform
import re
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def package_version():
    text = (ROOT / "src/tavrin/datastructures/__init__.py").read_text(encoding="utf-8")
    match = re.search(r'^__version__ = "([^"]+)"$', text, re.M)
    if not match:
        sys.exit("src/tavrin/datastructures/__init__.py: no __version__ line")
    return match.group(1)


def main(wheel_path, python_tag):
    wheel = Path(wheel_path)
    problems = []
    show = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    # auditwheel wraps its report at 72 columns: read it as one line.
    report = " ".join(show.stdout.split())
    if show.returncode != 0:
        sys.exit(f"{wheel.name}: auditwheel show failed:\n{show.stdout}{show.stderr}")
    consistent = re.search(r'consistent with the following platform tag: "([^"]+)"', report)
    if not consistent:
        sys.exit(f"{wheel.name}: auditwheel show names no platform tag:\n{show.stdout}")
    shown = consistent.group(1)

    # name-version-pythontag-abitag-platformtags.whl
    parts = wheel.name[:-len(".whl")].split("-")
    if len(parts) != 5:
        sys.exit(f"{wheel.name}: not a wheel file name")
    _, version, py, abi, plats = parts
    arch = platform.machine()
    glibc = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{re.escape(arch)}", shown)
    if not glibc:
        problems.append(f"auditwheel show says {shown!r}, not a manylinux tag for {arch}")
    else:
        ceiling = tuple(int(n) for n in os.environ.get("TAVRIN_MAX_GLIBC", "2.28").split("."))
        if (int(glibc.group(1)), int(glibc.group(2))) > ceiling:
            problems.append(f"{shown} needs a glibc newer than {'.'.join(map(str, ceiling))}")
    if plats.split(".")[0] != shown:
        problems.append(f"platform tag {plats!r} is not {shown!r}, the one auditwheel show reports")
    if (py, abi) != (python_tag, python_tag):
        problems.append(f"tags {py}-{abi}, expected {python_tag}-{python_tag}")
    expected_version = package_version()
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        meta = email.parser.Parser().parsestr(
            zf.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode())
    if version != expected_version or meta["Version"] != expected_version:
        problems.append(f"version {version} / {meta['Version']}, expected {expected_version}")
    grafted = sorted({n.split("/")[0] for n in names if n.split("/")[0].endswith(".libs")})
    if grafted:
        problems.append(f"libraries were grafted into it ({', '.join(grafted)})")
    if problems:
        sys.exit(f"{wheel.name}:\n  " + "\n  ".join(problems) + f"\nauditwheel show:\n{show.stdout}")
    # "lib.so.6 with versions {'B', 'A'}, ..." with each set sorted.
    symbols = sorted((lib, sorted(re.findall(r"'([^']+)'", versions))) for lib, versions in
                     re.findall(r"(\S+\.so[.\d]*) with versions \{([^}]*)\}", report))
    print(f"{wheel.name}: auditwheel show: consistent with {shown}; versioned symbols: "
          + ("; ".join(f"{lib} {' '.join(v)}" for lib, v in symbols) or "none"))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
