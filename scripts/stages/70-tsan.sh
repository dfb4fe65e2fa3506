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
#   bulk-insert.  The runtime is preloaded into the release interpreter
#   (scripts/lib/sanitizers.sh says how).  The interpreter lock is a pthread
#   mutex and condition variable, which the runtime sees, so work handed from
#   thread to thread through it is ordered; no report needs a suppression.
# - A report fails the run (halt_on_error); reports from the Python run go to
#   files, shown when the stage ends.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/sanitizers.sh

sanitizer_build build-tsan thread

export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4

# Some kernels lay out memory where this runtime cannot shadow it ("unexpected
# memory mapping"); without address-space randomisation it always can.
if ! ./build-tsan/core_tests --gtest_filter='PlanWork*' --gtest_brief=1 >/dev/null 2>&1; then
  sanitizer_wrap=(setarch "$(uname -m)" -R)
fi

echo "-- core tests (thread)"
# A filter that matches nothing passes quietly, so the count of tests run is checked.
core() {
  local out
  out=$("${sanitizer_wrap[@]}" "$@" --gtest_brief=1 2>&1) || { echo "$out" >&2; exit 1; }
  grep -Eq '^\[==========\] [1-9][0-9]* tests? from' <<<"$out" || { echo "$out" >&2; echo "no test ran: $*" >&2; exit 1; }
  grep -E '^\[(==========|  PASSED  |  SKIPPED )\]' <<<"$out"
}
core ./build-tsan/core_tests \
  --gtest_filter='Search.*:SearchBatch.*:*SpawnFailure*:*WorkerFailure*:ConcurrentReaders.*:*/SearchDifferential.*/dim16_special'
core ./build-tsan/borrow_tests

sanitizer_runtime TSan libtsan.so __tsan_init

# Smoke run: the runtime works under this interpreter and reports a race
# between two of its threads (a plain write in the module's own memory would
# do; ctypes' memset from two threads is the same kind of access).
sanitizer_smoke "WARNING: ThreadSanitizer: data race" '
import ctypes, threading
b = ctypes.create_string_buffer(64)
go = threading.Barrier(2)
def f():
    go.wait()
    for _ in range(20000): ctypes.memset(b, 1, 64)
ts = [threading.Thread(target=f) for _ in range(2)]
[t.start() for t in ts]; [t.join() for t in ts]
' TSAN_OPTIONS=halt_on_error=0:exitcode=0 <<'EOF'
import tessaray, tessaray_bulk
s = tessaray.Vectorstore(2, [([1.0, 0.0], 1)])
assert s.parallel_search([1.0, 0.0], 1, 2) == [(1.0, 1)]
assert tessaray_bulk.search_batch(s, [[1.0, 0.0]] * 3, 1, 2) == [[(1.0, 1)]] * 3
EOF

echo "-- Python concurrency tests (thread)"
sanitizer_logs TSAN_OPTIONS=tsan
sanitizer_pytest tests/python/test_concurrency.py
