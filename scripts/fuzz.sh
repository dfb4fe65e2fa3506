#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer, into build-fuzz/), replays every kept input,
# then fuzzes each target for a while.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET ...]
#   SECONDS  how long each target is fuzzed (default 30; 0 only replays)
#   TARGET   store_file, buffer_format (default: both)
# Environment: FUZZ_ARGS, more libFuzzer flags (for example -runs=10000000).
#
# Inputs, under tests/fuzz/:
#   corpus/TARGET/       seeds (made by make_seeds.py), replayed and fuzzed from;
#   regressions/TARGET/  every input that ever made a target fail, replayed
#                        every run;
#   TARGET.dict          the format's words, handed to the fuzzer.
# What the fuzzer adds to the corpus stays in build-fuzz/corpus/ between runs.
# An input that fails a target is kept in build-fuzz/crashes/; once the fault
# is fixed, copy it into regressions/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(store_file buffer_format)

if ! command -v clang++ >/dev/null || [ -z "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null | grep /)" ]; then
  echo "fuzz: installing clang and its runtime" >&2
  apt-get update -qq >&2 && apt-get install -y -qq clang libclang-rt-14-dev >&2
fi

build=build-fuzz
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARAY_BUILD_MODULE=OFF \
  -DTESSARAY_BUILD_TESTS=OFF -DTESSARAY_BUILD_BENCH=OFF -DTESSARAY_BUILD_FUZZ=ON \
  -DTESSARAY_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

shopt -s nullglob
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "${targets[@]}"; do
  binary=$build/fuzz_$target
  kept=(tests/fuzz/corpus/"$target"/* tests/fuzz/regressions/"$target"/*)
  echo "-- $target: replaying ${#kept[@]} kept inputs"
  "$binary" -runs=1 "${kept[@]}" >"$build/replay-$target.log" 2>&1 || {
    cat "$build/replay-$target.log" >&2
    echo "fuzz: $target fails on a kept input" >&2
    exit 1
  }
  [ "$seconds" -gt 0 ] || continue
  corpus=$build/corpus/$target
  crashes=$build/crashes/$target
  mkdir -p "$corpus" "$crashes"
  cp -n tests/fuzz/corpus/"$target"/* "$corpus"/
  dict=()
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  echo "-- $target: fuzzing for $seconds s"
  log=$build/fuzz-$target.log
  # shellcheck disable=SC2086
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "${dict[@]}" ${FUZZ_ARGS:-} "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target failed; the input is in $crashes" >&2
    exit 1
  fi
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::average_exec_per_sec" "$log" | tail -n 3
done
echo "-- fuzzing found nothing"
