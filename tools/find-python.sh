#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or fails.
# Order: $PYTHON, python3.13 on PATH, pyenv's copies, the usual prefixes.
set -u
want=${CORVID_PY_VERSION:-3.13}
works() { "$1" -c "import sys, venv; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" >/dev/null 2>&1; }
candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
candidates+=("python$want")
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for d in "$root"/versions/"$want"*/bin/python"$want"; do candidates+=("$d"); done
candidates+=("/usr/local/bin/python$want" "/usr/bin/python$want")
for c in "${candidates[@]}"; do
  p=$(command -v "$c" 2>/dev/null) || continue
  if works "$p"; then echo "$p"; exit 0; fi
done
echo "no working Python $want found (set PYTHON=/path/to/python$want)" >&2
exit 1
