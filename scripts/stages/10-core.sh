#!/usr/bin/env bash
# Builds everything and runs the C++ core tests (GoogleTest through CTest).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/build.sh >/dev/null
ctest --test-dir build --output-on-failure -j "$(nproc)"
# The searches once more on each lower kernel level, so every kernel is
# exercised through the store and the selection, not only on its own.
for level in avx2 baseline; do
  TESSARAY_SIMD=$level ./build/core_tests --gtest_brief=1 --gtest_filter='*Search*:*Parallel*'
done
