#!/usr/bin/env bash
# The Python tests against the release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
python=$(bash scripts/build.sh)
PYTHONPATH="$PWD/build/python" "$python" -m pytest -q -p no:cacheprovider tests/python
# The filtered, threshold and self searches, and stores read in place, once
# more on each lower kernel level: their sinks test scores with the level's
# own candidate kernel, and a store read in place goes through every scan.
for level in avx2 baseline; do
  TESSARAY_SIMD=$level PYTHONPATH="$PWD/build/python" "$python" -m pytest -q -p no:cacheprovider \
    tests/python/test_bulk_filters.py tests/python/test_open.py
done
