#!/usr/bin/env bash
# Runs the many-queries, bulk-loading and files benchmark (bench/batch_bench.py):
#   bash bench/run_batch.sh [batch_bench.py options, e.g. --quick, --sections search --sizes 1000000x128]
#
# With numpy, faiss, threadpoolctl and the threaded OpenBLAS in the
# benchmark's own interpreter prefix, and the compute_limit probe built beside
# the modules (bench/lib/peers.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib/peers.sh
peers_build
peers_exec bench/batch_bench.py --compute-limit "$build_dir/compute_limit" "$@"
