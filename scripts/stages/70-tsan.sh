#!/usr/bin/env bash
# The threaded core tests and the threaded Python tests again with
# ThreadSanitizer built into the core and both modules (build-tsan/).
#
# - Core: every test, in any GoogleTest program that CTest runs, defined in
#   one of the files in threaded_sources below: the searches whose workers run
#   on threads of their own (parallel and batch search, thread start and join,
#   refused starts, failing workers), several threads reading one store at
#   once (test_search.cpp), the store object's borrow flag taken by
#   threads at once (test_borrow.cpp), and lost pages of a guarded mapping
#   read on another thread, through its SIGBUS handler
#   (test_guarded_mapping.cpp).  A new test in those files runs here
#   whatever its name; a new file of threaded tests joins by its path in
#   threaded_sources.  Left out are the suites that match left_out_suites:
#   the work plan's arithmetic (Plan*), which starts no thread, and the long
#   differential sweep, which would take minutes under the race detector; one
#   instance of it (sampled_tests) runs.
# - Python: every test in tests/python marked `threads` (registered in
#   tests/python/conftest.py).  All of test_concurrency.py is, through its
#   pytestmark: there batches run with the interpreter lock released while
#   other threads search, insert and bulk-insert.  A test elsewhere that starts
#   threads joins with @pytest.mark.threads.  The runtime is preloaded into the
#   release interpreter (scripts/lib/sanitizers.sh says how).  The interpreter
#   lock is a pthread mutex and condition variable, which the runtime sees, so
#   work handed from thread to thread through it is ordered; no report needs a
#   suppression.
# - A listed file or the sampled instance that gives no test, a program that
#   runs fewer tests than were picked, or a pytest run that selects or runs no
#   test fails the stage, so that a selection that stops matching is noticed.
# - A report fails the run (halt_on_error); reports from the Python run go to
#   files, shown when the stage ends.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/sanitizers.sh

threaded_sources=(tests/core/test_search.cpp tests/core/test_borrow.cpp tests/core/test_guarded_mapping.cpp)
left_out_suites='^(Plan.*|SearchDifferential)$'
sampled_tests='^Stores/SearchDifferential\..*/dim16_special$'

sanitizer_build build-tsan thread

export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4

# Some kernels lay out memory where this runtime cannot shadow it ("unexpected
# memory mapping"); without address-space randomisation it always can.
if ! ./build-tsan/core_tests --gtest_list_tests >/dev/null 2>&1; then
  sanitizer_wrap=(setarch "$(uname -m)" -R)
fi

echo "-- core tests (thread)"
# core COUNT PROGRAM ARGS...: runs the program, which must run COUNT tests.
core() {
  local want=$1 out
  shift
  out=$("${sanitizer_wrap[@]}" "$@" --gtest_brief=1 2>&1) || { echo "$out" >&2; exit 1; }
  grep -Eq "^\[==========\] $want tests? from" <<<"$out" || {
    echo "$out" >&2
    echo "$1 did not run the $want tests picked for it" >&2
    exit 1
  }
  grep -E '^\[(==========|  PASSED  |  SKIPPED )\]' <<<"$out"
}
list=build-tsan/threaded-tests.json
picked=()
for program in $(ctest --test-dir build-tsan --show-only=json-v1 | jq -r '[.tests[].command[0]] | unique[]'); do
  "${sanitizer_wrap[@]}" "$program" --gtest_list_tests --gtest_output=json:"$list" >/dev/null
  # One line per test: the listed file it is defined in, a tab, its full name.
  mapfile -t found < <(jq -r --arg left_out "$left_out_suites" --arg sampled "$sampled_tests" '
    $ARGS.positional as $sources
    | .testsuites[] | .name as $suite
    | .testsuite[] | "\($suite).\(.name)" as $test | .file as $file
    | select(($suite | sub("^.*/"; "") | test($left_out) | not) or ($test | test($sampled)))
    | ($sources[] | select(. as $source | $file | endswith("/" + $source))) as $source
    | "\($source)\t\($test)"' "$list" --args "${threaded_sources[@]}")
  [ ${#found[@]} -gt 0 ] || continue
  picked+=("${found[@]}")
  names=("${found[@]#*$'\t'}")
  core ${#names[@]} "$program" --gtest_filter="$(IFS=:; echo "${names[*]}")"
done
# (grep reads to the end: an early exit would kill printf with SIGPIPE under pipefail.)
for source in "${threaded_sources[@]}"; do
  printf '%s\n' "${picked[@]}" | cut -f1 | grep -xF -- "$source" >/dev/null || {
    echo "no test picked from $source" >&2
    exit 1
  }
done
printf '%s\n' "${picked[@]}" | cut -f2 | grep -E -- "$sampled_tests" >/dev/null || {
  echo "no test matches $sampled_tests" >&2
  exit 1
}

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

echo "-- Python threaded tests (thread)"
sanitizer_logs TSAN_OPTIONS=tsan
sanitizer_pytest -m threads tests/python
