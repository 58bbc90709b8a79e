#!/usr/bin/env bash
# Every C++ test (units against the fakes, the pure kernels, the X11 binding
# against a private Xvfb) under AddressSanitizer with
# UndefinedBehaviorSanitizer, and those that run threads under
# ThreadSanitizer, built with clang at -O1 into build-asan/ and build-tsan/
# (or $MIRVO_ASAN_DIR, $MIRVO_TSAN_DIR). The address build also carries the fuzzers' coverage and
# builds the fuzz targets (scripts/stages/30-fuzz.sh runs them). Left to the
# plain build: the exhaustive 2^32 sample conversion test (minutes here) and
# the process tests (their hosts, Python among them, cannot all carry the
# sanitizer runtime).
#
#   20-sanitizers.sh [build|run]   (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/clang-build.sh"
phase=${1:-all}
asan=${MIRVO_ASAN_DIR:-$root/build-asan}
tsan=${MIRVO_TSAN_DIR:-$root/build-tsan}
start=$(date +%s)

if [ "$phase" != run ]; then
  clang_build "$asan" address,undefined "mirvo_cpp_tests $(fuzz_targets | sed 's/$/_fuzz/')" \
    -DMIRVO_BUILD_FUZZ=ON
  echo "sanitizers: address,undefined built in $(( $(date +%s) - start )) s"
  # Only the tests that run threads: the kernels' and the property-list
  # conversion's run on one.
  clang_build "$tsan" thread "audio_tests mirvo_screen_tests screen_x11_tests"
  echo "sanitizers: both built in $(( $(date +%s) - start )) s"
fi
[ "$phase" = build ] && exit 0

# A huge allocation must fail as in production (the sink drops the frame)
# instead of ending the run; everything else is fatal at the first report.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1:suppressions=$root/fuzz/sanitizer/tsan.supp"
skip='EveryFloatBitPattern|process_|macos_syntax|configure_without|_NOT_BUILT$'
for dir in "$asan" "$tsan"; do
  t0=$(date +%s)
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j2 -E "$skip")
  echo "sanitizers: $(basename "$dir") passed in $(( $(date +%s) - t0 )) s"
done
echo "sanitizers: passed in $(( $(date +%s) - start )) s"
