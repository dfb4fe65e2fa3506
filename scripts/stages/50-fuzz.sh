#!/usr/bin/env bash
# The fuzz targets (the store file reader, the buffer format parser) under
# AddressSanitizer and UndefinedBehaviorSanitizer: every kept input replayed,
# then each target fuzzed for a bounded time (FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
