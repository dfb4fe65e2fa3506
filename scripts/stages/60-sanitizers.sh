#!/usr/bin/env bash
# The core tests and the whole Python suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer built into the core and both modules
# (build-asan/).  The runtime is preloaded into the release interpreter
# (scripts/lib/sanitizers.sh says how).  Notes:
# - Leak detection is off (detect_leaks=0): the interpreter keeps many
#   allocations alive until exit on purpose, which LeakSanitizer would report.
#   Leaks of the module are the debug-interpreter stage's job.
# - The resident-memory test measures the system allocator; ASan's quarantine
#   keeps freed memory resident on purpose, so that one test runs on its own
#   with the quarantine switched off.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/sanitizers.sh

sanitizer_build build-asan address,undefined

# allocator_may_return_null=1: a malloc larger than the runtime serves (1 TiB)
# returns null, as the system allocator's would, instead of stopping the
# process.  operator new stops it all the same, so the tests that ask for
# such sizes through it are skipped here (helpers.asan_loaded).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "-- core tests (address,undefined)"
ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

sanitizer_runtime ASan libasan.so '__asan_version_mismatch_check_v[0-9]+'

# Smoke run: the runtime works under this interpreter, lets a C++ exception
# from the module through (PanicException) and reports a bad read.
sanitizer_smoke "AddressSanitizer: heap-buffer-overflow" '
import ctypes
b = ctypes.create_string_buffer(8)
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.memmove(b, libc.malloc(4), 8)
' <<'EOF'
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
EOF

echo "-- Python tests (address,undefined)"
sanitizer_logs ASAN_OPTIONS=asan UBSAN_OPTIONS=ubsan
rss_test=tests/python/test_leaks.py::test_resident_memory_flat_after_dropping_stores
# The cluster tests' worker processes would inherit the preloaded runtime and
# run the same module calls the rest of the suite already makes here.
TESSARAY_SKIP_CLUSTER="the release stage runs the cluster tests" \
  sanitizer_pytest tests/python --deselect "$rss_test"
ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=0 sanitizer_pytest "$rss_test"
