#!/usr/bin/env bash
# A short fuzzing run of each target in fuzz/ (libFuzzer, with
# AddressSanitizer and UndefinedBehaviorSanitizer), from the address build of
# scripts/stages/20-sanitizers.sh (build-asan/ or $MIRVO_ASAN_DIR; made here
# if it is missing). Every kept input (fuzz/corpus/<target>/ and
# fuzz/regressions/<target>/) is replayed first; then each target fuzzes for
# $MIRVO_FUZZ_SECONDS (default 20) from a scratch copy of its corpus, so the
# tree is never written. Any crash fails the stage; its input is left in the
# scratch directory named in the message.
#
#   30-fuzz.sh [build|run]   (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/clang-build.sh"
phase=${1:-all}
build=${MIRVO_ASAN_DIR:-$root/build-asan}
seconds=${MIRVO_FUZZ_SECONDS:-20}
start=$(date +%s)
targets=$(fuzz_targets)

if [ "$phase" != run ]; then
  for target in $targets; do
    [ -x "$build/fuzz/${target}_fuzz" ] || { clang_build "$build" address,undefined "$(printf '%s_fuzz ' $targets)" -DMIRVO_BUILD_FUZZ=ON; break; }
  done
  echo "fuzz: built in $(( $(date +%s) - start )) s"
fi
[ "$phase" = build ] && exit 0

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-fuzz.XXXXXX")
for target in $targets; do
  bin=$build/fuzz/${target}_fuzz
  mkdir -p "$scratch/$target"
  cp "$root/fuzz/corpus/$target/"* "$scratch/$target/" 2>/dev/null || true
  # The library's diagnostic lines would flood the log: the target's
  # standard error is closed, the fuzzer's reports still come through.
  flags=(-close_fd_mask=2 -rss_limit_mb=2048 -timeout=30 -artifact_prefix="$scratch/$target-")
  regressions=("$root/fuzz/regressions/$target/"*)
  if [ -e "${regressions[0]}" ]; then
    "$bin" "${flags[@]}" "${regressions[@]}" >"$scratch/$target-replay.log" 2>&1 ||
      { cat "$scratch/$target-replay.log"; echo "fuzz: $target regression failed" >&2; exit 1; }
  fi
  if ! "$bin" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 "$scratch/$target" \
      >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "fuzz: $target failed; input in $scratch/$target-*" >&2
    exit 1
  fi
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$scratch/$target.log")
  echo "fuzz: $target: ${runs:-?} runs in $seconds s, corpus $(ls "$scratch/$target" | wc -l) inputs"
done
rm -rf "$scratch"
echo "fuzz: passed in $(( $(date +%s) - start )) s"
