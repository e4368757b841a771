# Sourced by scripts/check and scripts/wheels.

# The interpreter of a CPython version: pyenv's, else one on the PATH.
interpreter_for() {
  local found
  if command -v pyenv >/dev/null; then
    found=$(ls -d "$(pyenv root)"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1)
  fi
  [ -n "${found:-}" ] || found=$(command -v "python$1" || true)
  [ -n "$found" ] || { echo "no CPython $1 found (pyenv install $1, or put python$1 on the PATH)" >&2; exit 1; }
  echo "$found"
}
