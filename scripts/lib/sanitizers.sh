# shellcheck shell=bash
# What the sanitizer stages (scripts/stages/60-sanitizers.sh and 70-tsan.sh)
# share: the instrumented build, the sanitizer runtime preloaded into the
# release interpreter, a smoke run of it, sanitizer reports kept in files, and
# pytest runs that must run something.  Sourced by a stage from the
# repository's root, after `set -euo pipefail`.
#
# The release interpreter is not instrumented, so the runtime is preloaded
# into it:
# - The runtime is the compiler's own (the one the modules were built
#   against); it runs fine on the newer C library of the private interpreter
#   prefix.  The smoke run checks that before a suite starts.
# - libstdc++ is preloaded too: the runtime looks up the real __cxa_throw when
#   it starts, and the interpreter itself does not link libstdc++, so without
#   it the first C++ exception thrown in a module stops the process.
#
# Order of use: sanitizer_build, sanitizer_runtime, then `preloaded` and
# sanitizer_smoke, sanitizer_logs, sanitizer_pytest.  A stage may put a
# command in front of the interpreter through the array sanitizer_wrap.

sanitizer_wrap=()

# sanitizer_build DIR SANITIZERS
# Builds the core tests and both modules with SANITIZERS (address,undefined;
# thread) into DIR.  Sets sanitizer_dir, and sanitizer_python (the release
# interpreter, which the build provisions).
sanitizer_build() {
  sanitizer_dir=$1
  sanitizer_python=$(BUILD_DIR="$1" bash scripts/build.sh -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARAY_SANITIZE="$2" -DTESSARAY_BUILD_BENCH=OFF)
}

# sanitizer_runtime NAME LIBRARY SYMBOL
# Finds LIBRARY (libasan.so, libtsan.so) of the compiler that built
# sanitizer_dir, and checks both modules against it: each must need a symbol
# that matches the extended regular expression SYMBOL, the mark of the
# instrumentation (for ASan the interface version its checks were emitted
# for), and the runtime must provide that symbol.  Sets sanitizer_name and
# sanitizer_runtime.
sanitizer_runtime() {
  local cxx module want wanted=()
  sanitizer_name=$1
  cxx=$(awk -F= '/^CMAKE_CXX_COMPILER:/ {print $2}' "$sanitizer_dir/CMakeCache.txt")
  sanitizer_runtime=$(readlink -f "$("$cxx" -print-file-name="$2")")
  [ -f "$sanitizer_runtime" ] || { echo "no $1 runtime ($2) found for $cxx" >&2; exit 1; }
  for module in "$sanitizer_dir"/python/tessaray.cpython*.so "$sanitizer_dir"/python/tessaray_bulk.cpython*.so; do
    # (awk reads to the end: an early exit would kill nm with SIGPIPE under pipefail.)
    want=$(nm -D --undefined-only "$module" | awk -v re="^($3)\$" '$2 ~ re && !found {print $2; found = 1}')
    [ -n "$want" ] || { echo "$module needs no $3: not built with $1?" >&2; exit 1; }
    nm -D --defined-only "$sanitizer_runtime" | grep -w -- "$want" >/dev/null || {
      echo "$sanitizer_runtime does not provide $want, which $module needs" >&2
      exit 1
    }
    wanted+=("$want")
  done
  echo "-- $1 runtime: $sanitizer_runtime ($(printf '%s\n' "${wanted[@]}" | sort -u | paste -sd ' '))"
}

# preloaded ARGS...
# The release interpreter with the runtime preloaded and the instrumented
# modules first on its path.
preloaded() {
  LD_PRELOAD="$sanitizer_runtime libstdc++.so.6" PYTHONPATH="$PWD/$sanitizer_dir/python" \
    "${sanitizer_wrap[@]}" "$sanitizer_python" "$@"
}

# sanitizer_smoke REPORT PROGRAM [NAME=VALUE...]
# Runs the Python read from standard input (the stage's checks of the modules)
# under the preloaded runtime, then the Python PROGRAM the same way, with
# NAME=VALUE added to its environment: PROGRAM does something wrong, and the
# runtime must say so with REPORT on its standard error.
sanitizer_smoke() {
  local report=$1 program=$2 err
  shift 2
  preloaded - || { echo "the smoke run failed under the $sanitizer_name runtime" >&2; exit 1; }
  # shellcheck disable=SC2163 # "$@" holds NAME=VALUE pairs
  err=$({ [ $# -eq 0 ] || export "$@"; preloaded -c "$program"; } 2>&1 >/dev/null) || true
  grep -F -- "$report" >/dev/null <<<"$err" || {
    tail -c 2000 <<<"$err" >&2
    echo "the $sanitizer_name runtime did not report \"$report\" for a faulty program" >&2
    exit 1
  }
  echo "-- $sanitizer_name runtime works under the interpreter"
}

# sanitizer_logs NAME=FILE...
# From here on, the runtime options variable NAME (ASAN_OPTIONS, ...) sends
# its reports to FILE.<pid> in sanitizer_dir/sanitizer-logs instead of
# standard error: pytest captures each test's standard error, and an aborting
# process takes that capture with it.  The reports are shown when the stage
# ends.
sanitizer_logs() {
  local pair name
  sanitizer_log_dir="$PWD/$sanitizer_dir/sanitizer-logs"
  rm -rf "$sanitizer_log_dir" && mkdir -p "$sanitizer_log_dir"
  trap sanitizer_show_logs EXIT
  for pair in "$@"; do
    name=${pair%%=*}
    export "$name=${!name}:log_path=$sanitizer_log_dir/${pair#*=}"
  done
}

sanitizer_show_logs() {
  local f
  for f in "$sanitizer_log_dir"/*; do
    [ -f "$f" ] && { echo "-- sanitizer report $f" >&2; cat "$f" >&2; }
  done
  return 0
}

# sanitizer_pytest ARGS...
# pytest under the preloaded runtime.  A run that selects no test (pytest's
# status 5) or whose tests all skip fails: a selection that has stopped
# matching must not pass quietly.
sanitizer_pytest() {
  local out="$sanitizer_dir/pytest-last.out" status=0
  preloaded -m pytest -q -p no:cacheprovider "$@" | tee "$out" || status=$?
  if [ "$status" -eq 5 ]; then
    echo "no test selected: pytest $*" >&2
    exit 1
  elif [ "$status" -ne 0 ]; then
    exit "$status"
  fi
  tail -n 1 "$out" | grep -E '(^|[ ,])[1-9][0-9]* passed' >/dev/null || { echo "no test ran: pytest $*" >&2; exit 1; }
}
