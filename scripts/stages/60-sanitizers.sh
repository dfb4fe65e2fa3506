#!/usr/bin/env bash
# The core tests and the whole Python suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer built into the module (build-asan/).
#
# The release interpreter is not instrumented, so the ASan runtime is
# preloaded into it.  Notes:
# - The runtime is the compiler's own (the one the module was built against);
#   it runs fine on the newer C library of the private interpreter prefix.
#   A smoke run below checks that before the suite starts.
# - libstdc++ is preloaded too: the runtime looks up the real __cxa_throw when
#   it starts, and the interpreter itself does not link libstdc++, so without
#   it the first C++ exception thrown in the module stops the process.
# - Leak detection is off (detect_leaks=0): the interpreter keeps many
#   allocations alive until exit on purpose, which LeakSanitizer would report.
#   Leaks of the module are the debug-interpreter stage's job.
# - The resident-memory test measures the system allocator; ASan's quarantine
#   keeps freed memory resident on purpose, so that one test runs on its own
#   with the quarantine switched off.
set -euo pipefail
cd "$(dirname "$0")/../.."

python=$(BUILD_DIR=build-asan bash scripts/build.sh -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARAY_SANITIZE=address,undefined -DTESSARAY_BUILD_BENCH=OFF)

# allocator_may_return_null=1: a malloc larger than the runtime serves (1 TiB)
# returns null, as the system allocator's would, instead of stopping the
# process.  operator new stops it all the same, so the tests that ask for
# such sizes through it are skipped here (helpers.asan_loaded).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "-- core tests (address,undefined)"
ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

cxx=$(awk -F= '/^CMAKE_CXX_COMPILER:/ {print $2}' build-asan/CMakeCache.txt)
asan_runtime=$(readlink -f "$("$cxx" -print-file-name=libasan.so)")
[ -f "$asan_runtime" ] || { echo "no ASan runtime found for $cxx" >&2; exit 1; }
# The runtime must provide the interface version the compiler emits checks for.
module=$(ls build-asan/python/tessaray.cpython*.so)
# (awk reads to the end: an early exit would kill nm with SIGPIPE under pipefail.)
want=$(nm -D --undefined-only "$module" | awk '/__asan_version_mismatch_check_v[0-9]+/ && !found {print $2; found = 1}')
[ -n "$want" ] || { echo "the module has no ASan version check: not built with ASan?" >&2; exit 1; }
nm -D --defined-only "$asan_runtime" | grep -w "$want" >/dev/null || {
  echo "$asan_runtime does not provide $want, which the module needs" >&2
  exit 1
}
echo "-- ASan runtime: $asan_runtime ($want)"

run() {
  LD_PRELOAD="$asan_runtime libstdc++.so.6" PYTHONPATH="$PWD/build-asan/python" "$python" "$@"
}

# Smoke run: the runtime works under this interpreter, reports a bad read and
# lets a C++ exception from the module through (PanicException).
run - <<'EOF'
import ctypes, subprocess, sys, os
import tessaray
s = tessaray.Vectorstore(2, [([1.0, 0.0], 1)])
assert s.parallel_search([1.0, 0.0], 1, 2) == [(1.0, 1)]
cls = None
try:
    s.insert([1.0], 1)
except ValueError:
    cls = next(c for c in BaseException.__subclasses__() if c.__name__ == "PanicException")
class P:
    def __float__(self):
        raise cls("smoke")
try:
    s.insert([P(), 1.0], 2)
except BaseException as e:
    assert type(e) is cls and e.args == ("smoke",), e
assert len(s) == 1
bad = subprocess.run([sys.executable, "-c",
    "import ctypes; b = ctypes.create_string_buffer(8); "
    "libc = ctypes.CDLL(None); libc.malloc.restype = ctypes.c_void_p; "
    "ctypes.memmove(b, libc.malloc(4), 8)"], capture_output=True, text=True)
assert "AddressSanitizer: heap-buffer-overflow" in bad.stderr, bad.stderr[-2000:]
EOF
echo "-- ASan runtime works under the interpreter"

echo "-- Python tests (address,undefined)"
# pytest captures each test's standard error, and an aborting process takes
# that capture with it: sanitizer reports go to files, shown when the stage ends.
logs="$PWD/build-asan/sanitizer-logs"
rm -rf "$logs" && mkdir -p "$logs"
show_logs() {
  for f in "$logs"/*; do
    [ -f "$f" ] && { echo "-- sanitizer report $f" >&2; cat "$f" >&2; }
  done
  return 0
}
trap show_logs EXIT
export ASAN_OPTIONS=$ASAN_OPTIONS:log_path=$logs/asan
export UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$logs/ubsan
rss_test=tests/python/test_leaks.py::test_resident_memory_flat_after_dropping_stores
# The cluster tests' worker processes would inherit the preloaded runtime and
# run the same module calls the rest of the suite already makes here.
TESSARAY_SKIP_CLUSTER="the release stage runs the cluster tests" \
  run -m pytest -q -p no:cacheprovider tests/python --deselect "$rss_test"
ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=0 run -m pytest -q -p no:cacheprovider "$rss_test"
