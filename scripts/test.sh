#!/usr/bin/env bash
# Runs every test: the C++ core tests, the Python tests, and the Python tests
# again against a debug-interpreter build for reference leaks.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== build"
python=$(bash scripts/build.sh)

echo "== core tests (GoogleTest)"
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== Python tests"
PYTHONPATH="$PWD/build/python" "$python" -m pytest -q -p no:cacheprovider tests/python

echo "== Python tests on the debug interpreter"
debug_python=$(bash scripts/provision-python.sh --dbg)
cmake -S . -B build-dbg -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$debug_python" \
  -DTESSARAY_BUILD_TESTS=OFF -DTESSARAY_BUILD_BENCH=OFF >/dev/null
cmake --build build-dbg -j "$(nproc)" --target tessaray >/dev/null
PYTHONPATH="$PWD/build-dbg/python" "$debug_python" -m pytest -q -p no:cacheprovider tests/python
