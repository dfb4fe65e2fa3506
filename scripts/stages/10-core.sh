#!/usr/bin/env bash
# Builds everything and runs the C++ core tests (GoogleTest through CTest).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/build.sh >/dev/null
ctest --test-dir build --output-on-failure -j "$(nproc)"
# The searches once more on each lower kernel level, so every kernel is
# exercised through the store and the selection, not only on its own.
# (The parallel searches are inside SearchDifferential.)  A filter that
# matches nothing passes quietly, so the count of tests run is checked.
for level in avx2 baseline; do
  out=$(TESSARAY_SIMD=$level ./build/core_tests --gtest_brief=1 --gtest_filter='Search.*:SearchBatch.*:*/SearchDifferential.*')
  echo "$out"
  grep -Eq '^\[==========\] [1-9][0-9]* tests? from' <<<"$out" || { echo "no search test ran on $level" >&2; exit 1; }
done
