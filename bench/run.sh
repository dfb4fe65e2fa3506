#!/usr/bin/env bash
# Runs the side-by-side benchmark (bench/bench.py) in one command:
#   bash bench/run.sh [bench.py options, e.g. --sizes 1000x128,100000x128 --no-memory]
#
# Provisions numpy, faiss, hnswlib, threadpoolctl, the threaded OpenBLAS and
# matplotlib into a private interpreter prefix of their own (so the test
# prefix stays as it is), builds the module for that interpreter into
# build/bench together with the read-limit helper and kernel_bench, and runs
# the benchmark, which also draws docs/scaling.png.  OPENBLAS_CORETYPE and
# OPENBLAS_L2_SIZE are unset for this command only: when set they make
# OpenBLAS run an older, slower kernel (the benchmark prints which one runs).
set -euo pipefail
cd "$(dirname "$0")/.."
export TESSARAY_PY_PREFIX="${TESSARAY_BENCH_PY_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaray/py314-bench}"
python=$(bash scripts/provision-python.sh python3-numpy python3-faiss python3-hnswlib python3-threadpoolctl \
  libopenblas0-pthread python3-matplotlib)
build_dir=build/bench
PYTHON="$python" BUILD_DIR="$build_dir" bash scripts/build.sh -DTESSARAY_BUILD_TESTS=OFF >/dev/null

# Debian's matplotlib looks for its data and its matplotlibrc at absolute
# system paths; unpacked into the prefix, point it at the prefix's copies.
root=$(dirname "$(dirname "$(dirname "$python")")")
mpl_dir=$("$python" -c 'import importlib.util, os; s = importlib.util.find_spec("matplotlib"); print(os.path.dirname(s.origin) if s else "")')
if [ -n "$mpl_dir" ] && [ ! -e "$mpl_dir/mpl-data" ] && [ -d "$root/usr/share/matplotlib/mpl-data" ]; then
  ln -sfn "$root/usr/share/matplotlib/mpl-data" "$mpl_dir/mpl-data"
fi
[ -f "$root/etc/matplotlibrc" ] && export MATPLOTLIBRC="${MATPLOTLIBRC:-$root/etc/matplotlibrc}"

# The peers' idle threads sleep instead of spinning: a spinning OpenBLAS or
# OpenMP thread left over from one method's call would otherwise take a core
# from whichever method is timed next.
export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-PASSIVE}" OPENBLAS_THREAD_TIMEOUT="${OPENBLAS_THREAD_TIMEOUT:-4}"
kernel_bench=()
[ -x "$build_dir/kernel_bench" ] && kernel_bench=(--kernel-bench "$build_dir/kernel_bench")
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH="$build_dir/python" \
  "$python" bench/bench.py --read-limit "$build_dir/read_limit" "${kernel_bench[@]}" "$@"
