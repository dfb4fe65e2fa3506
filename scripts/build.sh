#!/usr/bin/env bash
# Builds the module (and the C++ tests and benchmark) into build/.
# Usage: scripts/build.sh [extra cmake arguments]
# Environment: BUILD_DIR (default build), PYTHON (an interpreter to build for).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/provision-python.sh)
build_dir=${BUILD_DIR:-build}
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B "$build_dir" -DPython_EXECUTABLE="$python" -DTESSARAY_WERROR="$werror" "$@" >&2
cmake --build "$build_dir" -j "$(nproc)" >&2
echo "$python"
