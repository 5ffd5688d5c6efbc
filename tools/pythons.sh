# Sourced by .ci/run and tools/build_wheels.sh: finds the CPython interpreters
# the package supports (3.9 to 3.13) on this machine.
#
#   tavrin_find_pythons    sets PYTHONS (paths, the default python3 first),
#                          PYTHON_VERSIONS (their X.Y, in the same order) and
#                          PYTHONS_MISSING (the X.Y found nowhere)
#
# Each version is looked for as the default python3, then in pyenv (its newest
# patch release), then as pythonX.Y on PATH. TAVRIN_PYTHONS="path ..." names
# the interpreters instead.

TAVRIN_SUPPORTED_PYTHONS="3.9 3.10 3.11 3.12 3.13"

# The X.Y of an interpreter, or nothing if it does not run.
_tavrin_version_of() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

# The real executable behind a command (pyenv's shims are scripts).
_tavrin_real_python() {
  "$1" -c 'import sys; print(sys.executable)' 2>/dev/null || true
}

tavrin_find_pythons() {
  PYTHONS=()
  PYTHON_VERSIONS=()
  PYTHONS_MISSING=()
  local p v
  if [ -n "${TAVRIN_PYTHONS:-}" ]; then
    for p in $TAVRIN_PYTHONS; do
      v=$(_tavrin_version_of "$p")
      if [ -z "$v" ]; then
        echo "tavrin_find_pythons: $p does not run" >&2
        return 1
      fi
      PYTHONS+=("$(_tavrin_real_python "$p")")
      PYTHON_VERSIONS+=("$v")
    done
    return 0
  fi
  local default default_version pyenv_root=""
  default=$(_tavrin_real_python python3)
  default_version=$(_tavrin_version_of python3)
  if command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root); fi
  # The default interpreter comes first: the stages that run once use it.
  if [[ " $TAVRIN_SUPPORTED_PYTHONS " == *" $default_version "* ]]; then
    PYTHONS+=("$default")
    PYTHON_VERSIONS+=("$default_version")
  fi
  for v in $TAVRIN_SUPPORTED_PYTHONS; do
    [ "$v" = "$default_version" ] && continue
    p=""
    if [ -n "$pyenv_root" ]; then
      local patch
      patch=$(pyenv versions --bare 2>/dev/null | grep -E "^${v//./\\.}\.[0-9]+$" | sort -V | tail -1 || true)
      if [ -n "$patch" ] && [ -x "$pyenv_root/versions/$patch/bin/python3" ]; then
        p="$pyenv_root/versions/$patch/bin/python3"
      fi
    fi
    if [ -z "$p" ] && command -v "python$v" >/dev/null 2>&1; then
      p=$(_tavrin_real_python "python$v")
    fi
    if [ -n "$p" ] && [ "$(_tavrin_version_of "$p")" = "$v" ]; then
      PYTHONS+=("$p")
      PYTHON_VERSIONS+=("$v")
    else
      PYTHONS_MISSING+=("$v")
    fi
  done
}
