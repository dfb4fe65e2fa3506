#!/usr/bin/env bash
# The Python tests again on the debug interpreter, where the total reference
# count is visible: tests/python/conftest.py repeats each test and fails it
# when the total grows on every repeated run.
set -euo pipefail
cd "$(dirname "$0")/../.."
debug_python=$(bash scripts/provision-python.sh --dbg)
cmake -S . -B build-dbg -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$debug_python" \
  -DTESSARAY_BUILD_TESTS=OFF -DTESSARAY_BUILD_BENCH=OFF >/dev/null
cmake --build build-dbg -j "$(nproc)" --target tessaray tessaray_bulk >/dev/null
# The cluster tests (tessaray_dask.ShardedStore) are pure Python over dask
# and reach the module only through calls the rest of the suite covers; on the
# debug interpreter they would start every worker process at a crawl.
TESSARAY_SKIP_CLUSTER="the release stage runs the cluster tests" \
  PYTHONPATH="$PWD/build-dbg/python" "$debug_python" -m pytest -q -p no:cacheprovider tests/python
