#!/usr/bin/env bash
# Incremental developer build, independent of the installed package.
#
#   tools/dev.sh NAME [TARGET...]
#
# Configures build/dev-NAME once, builds the given module targets (default:
# every module) and stages an importable package in build/dev-NAME/stage:
#
#   PYTHONPATH=build/dev-NAME/stage .venv/bin/python -m pytest tests/serve
#
# Several developers can build side by side under different NAMEs.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: tools/dev.sh NAME [TARGET...]}
shift
py=${PYTHON:-.venv/bin/python}
build=build/dev-$name
stage=$build/stage
mkdir -p "$stage/corvid"
# Python sources are linked, so edits need no rebuild.
for f in src/corvid/*; do
  base=$(basename "$f")
  case "$base" in *.so|__pycache__) continue ;; esac
  ln -sfn "$(pwd)/$f" "$stage/corvid/$base"
done
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(cd "$(dirname "$py")" && pwd)/$(basename "$py")" -DCORVID_STAGE_DIR="$(pwd)/$stage" >/dev/null
fi
if [ $# -eq 0 ]; then
  cmake --build "$build" -j 2
else
  cmake --build "$build" -j 2 --target "$@"
fi
echo "staged: $stage"
