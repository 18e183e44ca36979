#!/usr/bin/env bash
# Prints the path of the CPython interpreter to build with, or fails.
# $PYTHON, when set, is the choice: a CPython 3.11 or newer with venv, or an
# error; a bare pythonX.Y that PATH cannot run is also looked for where the
# search below looks. Otherwise: a Python 3.13 (or $CORVID_PY_VERSION), from
# python3.13 on PATH, pyenv's copies, the usual prefixes.
set -u
if [ -n "${PYTHON:-}" ]; then
  want=; [[ $PYTHON =~ ^python(3\.[0-9]+)$ ]] && want=${BASH_REMATCH[1]}
  check="sys.implementation.name == 'cpython' and v >= (3, 11)"
  candidates=("$PYTHON")
else
  want=${CORVID_PY_VERSION:-3.13}
  check="v == tuple(map(int, '$want'.split('.')))"
  candidates=("python$want")
fi
works() { "$1" -c "import sys, venv; v = sys.version_info[:2]; sys.exit(not ($check))" >/dev/null 2>&1; }
if [ -n "$want" ]; then
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for d in "$root"/versions/"$want"*/bin/python"$want"; do candidates+=("$d"); done
  candidates+=("/usr/local/bin/python$want" "/usr/bin/python$want")
fi
for c in "${candidates[@]}"; do
  p=$(command -v "$c" 2>/dev/null) || continue
  if works "$p"; then echo "$p"; exit 0; fi
done
if [ -n "${PYTHON:-}" ]; then
  echo "PYTHON=$PYTHON is not a working CPython 3.11 or newer with venv" >&2
else
  echo "no working Python $want found (set PYTHON=/path/to/python$want)" >&2
fi
exit 1
