#!/usr/bin/env bash
# Runs the many-queries, bulk-loading and files benchmark (bench/batch_bench.py):
#   bash bench/run_batch.sh [batch_bench.py options, e.g. --quick, --sections search --sizes 1000000x128]
#
# Like bench/run.sh: provisions numpy, faiss, threadpoolctl and the threaded
# OpenBLAS into the benchmark's own interpreter prefix, builds both modules
# and the compute_limit probe for it (into build/bench, or BUILD_DIR), and
# runs the benchmark with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset (set,
# they make OpenBLAS run an older, slower kernel) and the peers' idle threads
# sleeping.
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSARAY_PY_PREFIX="${TESSARAY_BENCH_PY_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaray/py314-bench}"
python=$(bash scripts/provision-python.sh python3-numpy python3-faiss python3-threadpoolctl libopenblas0-pthread)
build_dir=${BUILD_DIR:-build/bench}
PYTHON="$python" BUILD_DIR="$build_dir" bash scripts/build.sh -DTESSARAY_BUILD_TESTS=OFF >/dev/null

export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-PASSIVE}" OPENBLAS_THREAD_TIMEOUT="${OPENBLAS_THREAD_TIMEOUT:-4}"
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH="$build_dir/python" \
  "$python" bench/batch_bench.py --compute-limit "$build_dir/compute_limit" "$@"
