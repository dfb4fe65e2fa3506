# Shared by the benchmark runners: the benchmark's own interpreter with its
# peers, the modules built for it, and the environment the peers run in.
#
#   source bench/lib/peers.sh
#   peers_build [more Debian packages]   # sets $python and $build_dir
#   peers_exec SCRIPT [arguments]         # runs SCRIPT with the modules on its path
#
# The interpreter prefix is the benchmarks' own (TESSARAY_BENCH_PY_PREFIX), so
# the test prefix stays as it is; the modules go into build/bench, or
# BUILD_DIR.  OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE are unset for the run:
# set, they make OpenBLAS run an older, slower kernel.  The peers' idle
# threads sleep instead of spinning, so that a thread left over from one
# method's call does not take a core from the method timed next.

peers_build() {
  export TESSARAY_PY_PREFIX="${TESSARAY_BENCH_PY_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaray/py314-bench}"
  python=$(bash scripts/provision-python.sh python3-numpy python3-faiss python3-threadpoolctl libopenblas0-pthread "$@")
  build_dir=${BUILD_DIR:-build/bench}
  PYTHON="$python" BUILD_DIR="$build_dir" bash scripts/build.sh -DTESSARAY_BUILD_TESTS=OFF >/dev/null
}

peers_exec() {
  export OMP_WAIT_POLICY="${OMP_WAIT_POLICY:-PASSIVE}" OPENBLAS_THREAD_TIMEOUT="${OPENBLAS_THREAD_TIMEOUT:-4}"
  exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH="$build_dir/python" "$python" "$@"
}
