#!/usr/bin/env bash
# Builds everything and runs the C++ core tests (GoogleTest through CTest).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/build.sh >/dev/null
ctest --test-dir build --output-on-failure -j "$(nproc)"
