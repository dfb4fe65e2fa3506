#!/usr/bin/env bash
# The threaded core tests and the Python concurrency tests again with
# ThreadSanitizer built into the core and both modules (build-tsan/).
#
# - Core: the searches whose workers run on threads of their own (parallel and
#   batch search, thread start and join, refused starts, failing workers),
#   several threads reading one store at once, and the store object's borrow
#   flag taken by threads at once (borrow_tests).  The single-threaded kernel
#   tests and most of the long differential sweep gain nothing from the race
#   detector and would take minutes under it; one sweep instance runs.
# - Python: tests/python/test_concurrency.py, where batches run with the
#   interpreter lock released while other threads search, insert and
#   bulk-insert.  The release interpreter is not instrumented, so the runtime
#   is preloaded into it, with libstdc++ (as in the AddressSanitizer stage:
#   the runtime looks up the real __cxa_throw when it starts).  The
#   interpreter lock is a pthread mutex and condition variable, which the
#   runtime sees, so work handed from thread to thread through it is ordered;
#   no report needs a suppression.
# - A report fails the run (halt_on_error); reports from the Python run go to
#   files, shown when the stage ends.
set -euo pipefail
cd "$(dirname "$0")/../.."

python=$(BUILD_DIR=build-tsan bash scripts/build.sh -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARAY_SANITIZE=thread -DTESSARAY_BUILD_BENCH=OFF)

export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4

# Some kernels lay out memory where this runtime cannot shadow it ("unexpected
# memory mapping"); without address-space randomisation it always can.
norandom=()
if ! ./build-tsan/core_tests --gtest_filter='PlanWork*' --gtest_brief=1 >/dev/null 2>&1; then
  norandom=(setarch "$(uname -m)" -R)
fi

cxx=$(awk -F= '/^CMAKE_CXX_COMPILER:/ {print $2}' build-tsan/CMakeCache.txt)

echo "-- core tests (thread)"
# A filter that matches nothing passes quietly, so the count of tests run is checked.
core() {
  local out
  out=$("${norandom[@]}" "$@" --gtest_brief=1 2>&1) || { echo "$out" >&2; exit 1; }
  grep -Eq '^\[==========\] [1-9][0-9]* tests? from' <<<"$out" || { echo "$out" >&2; echo "no test ran: $*" >&2; exit 1; }
  grep -E '^\[(==========|  PASSED  |  SKIPPED )\]' <<<"$out"
}
core ./build-tsan/core_tests \
  --gtest_filter='Search.*:SearchBatch.*:*SpawnFailure*:*WorkerFailure*:ConcurrentReaders.*:*/SearchDifferential.*/dim16_special'
core ./build-tsan/borrow_tests

tsan_runtime=$(readlink -f "$("$cxx" -print-file-name=libtsan.so)")
[ -f "$tsan_runtime" ] || { echo "no TSan runtime found for $cxx" >&2; exit 1; }
for module in build-tsan/python/tessaray.cpython*.so build-tsan/python/tessaray_bulk.cpython*.so; do
  nm -D --undefined-only "$module" | grep -qw __tsan_init || {
    echo "$module has no TSan instrumentation" >&2
    exit 1
  }
done
echo "-- TSan runtime: $tsan_runtime"

run() {
  LD_PRELOAD="$tsan_runtime libstdc++.so.6" PYTHONPATH="$PWD/build-tsan/python" "${norandom[@]}" "$python" "$@"
}

# Smoke run: the runtime works under this interpreter and reports a race
# between two of its threads (a plain write in the module's own memory would
# do; ctypes' memset from two threads is the same kind of access).
run - <<'EOF'
import subprocess, sys
import tessaray, tessaray_bulk
s = tessaray.Vectorstore(2, [([1.0, 0.0], 1)])
assert s.parallel_search([1.0, 0.0], 1, 2) == [(1.0, 1)]
assert tessaray_bulk.search_batch(s, [[1.0, 0.0]] * 3, 1, 2) == [[(1.0, 1)]] * 3
racy = subprocess.run([sys.executable, "-c",
    "import ctypes, threading\n"
    "b = ctypes.create_string_buffer(64)\n"
    "go = threading.Barrier(2)\n"
    "def f():\n"
    "    go.wait()\n"
    "    for _ in range(20000): ctypes.memset(b, 1, 64)\n"
    "ts = [threading.Thread(target=f) for _ in range(2)]\n"
    "[t.start() for t in ts]; [t.join() for t in ts]\n"],
    capture_output=True, text=True, env={**__import__("os").environ, "TSAN_OPTIONS": "halt_on_error=0:exitcode=0"})
assert "WARNING: ThreadSanitizer: data race" in racy.stderr, racy.stderr[-2000:]
EOF
echo "-- TSan runtime works under the interpreter"

echo "-- Python concurrency tests (thread)"
logs="$PWD/build-tsan/sanitizer-logs"
rm -rf "$logs" && mkdir -p "$logs"
show_logs() {
  for f in "$logs"/*; do
    [ -f "$f" ] && { echo "-- sanitizer report $f" >&2; cat "$f" >&2; }
  done
  return 0
}
trap show_logs EXIT
TSAN_OPTIONS=$TSAN_OPTIONS:log_path=$logs/tsan run -m pytest -q -p no:cacheprovider tests/python/test_concurrency.py
