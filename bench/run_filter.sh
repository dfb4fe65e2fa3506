#!/usr/bin/env bash
# Runs the filtered-search, self-join and row-removal benchmark (bench/filter_bench.py):
#   bash bench/run_filter.sh [filter_bench.py options, e.g. --quick, --sections search,ids]
#
# With numpy, faiss, threadpoolctl and the threaded OpenBLAS in the
# benchmark's own interpreter prefix (bench/lib/peers.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib/peers.sh
peers_build
peers_exec bench/filter_bench.py "$@"
