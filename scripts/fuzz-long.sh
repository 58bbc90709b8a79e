#!/usr/bin/env bash
# Long fuzzing runs, by hand:
#
#   scripts/fuzz-long.sh [SECONDS] [TARGET...]
#
# Defaults: 3600 s for each target in fuzz/, one after another, on one core each way ($MIRVO_FUZZ_JOBS parallel jobs, default 1).
# Builds like scripts/stages/30-fuzz.sh (build-asan/), grows fuzz/corpus/<target>/ in place
# (merge new inputs in with -merge=1 before committing) and leaves any crash
# input as fuzz/regressions/<target>/crash-*: fix the defect, keep the file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
shift || true
targets=("$@")
. "$root/scripts/lib/clang-build.sh"
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(fuzz_targets)
build=${MIRVO_ASAN_DIR:-$root/build-asan}
jobs=${MIRVO_FUZZ_JOBS:-1}

clang_build "$build" address,undefined "$(printf '%s_fuzz ' "${targets[@]}")" -DMIRVO_BUILD_FUZZ=ON

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  mkdir -p "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"
  echo "fuzz-long: $target for $seconds s"
  "$build/fuzz/${target}_fuzz" -close_fd_mask=2 -rss_limit_mb=2048 -timeout=30 \
    -max_total_time="$seconds" -jobs="$jobs" -workers="$jobs" -print_final_stats=1 \
    -artifact_prefix="$root/fuzz/regressions/$target/" "$root/fuzz/corpus/$target"
done
