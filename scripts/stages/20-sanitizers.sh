#!/usr/bin/env bash
# Every test, unit and end to end, once under AddressSanitizer with
# UndefinedBehaviorSanitizer and once under ThreadSanitizer, built with clang
# at -O1 into build-asan/ and build-tsan/ (or $MIRVO_ASAN_DIR,
# $MIRVO_TSAN_DIR). Benchmarks are not built, and the exhaustive 2^32 sample
# conversion test is left to the plain build (it would take minutes here),
# and so are the two tests whose hosts are built or run outside this build
# (Python, an installed consumer, the process-level hosts): they cannot carry the sanitizer runtime.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
start=$(date +%s)
skip='ConvertPaths.EveryFloatBitPatternMatchesScalarSat|interop_ffmpeg_python|install_consumer|process_'

# A huge allocation must fail as in production (the sink drops the frame)
# instead of ending the run; everything else is fatal at the first report.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1:suppressions=$root/fuzz/sanitizer/tsan.supp"

run() {  # name build-dir sanitizers
  local name=$1 dir=$2 san=$3 t0
  t0=$(date +%s)
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DMIRVO_BUILD_BENCH=OFF -DMIRVO_SANITIZE="$san" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  echo "sanitizers: $name built in $(( $(date +%s) - t0 )) s"
  # One test at a time: the X tests pick the lowest free display number, and a
  # test that stops its server can meet a neighbour's new one under that number.
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j1 -E "$skip")
  echo "sanitizers: $name passed in $(( $(date +%s) - t0 )) s"
}

run address,undefined "${MIRVO_ASAN_DIR:-$root/build-asan}" address,undefined
run thread "${MIRVO_TSAN_DIR:-$root/build-tsan}" thread
echo "sanitizers: both passed in $(( $(date +%s) - start )) s"
