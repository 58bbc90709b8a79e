#!/usr/bin/env bash
# Long fuzzing runs, by hand:
#
#   scripts/fuzz-long.sh [SECONDS] [TARGET...]
#
# Defaults: 3600 s for each of nv12, ioproc and startstop, one after
# another, on one core each way ($MIRVO_FUZZ_JOBS parallel jobs, default 1).
# Builds like scripts/stages/30-fuzz.sh, grows fuzz/corpus/<target>/ in place
# (merge new inputs in with -merge=1 before committing) and leaves any crash
# input as fuzz/regressions/<target>/crash-*: fix the defect, keep the file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(nv12 ioproc startstop)
build=${MIRVO_FUZZ_DIR:-$root/build-fuzz}
jobs=${MIRVO_FUZZ_JOBS:-1}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DMIRVO_BUILD_BENCH=OFF -DMIRVO_BUILD_TESTS=OFF -DMIRVO_BUILD_FUZZ=ON \
  -DMIRVO_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j "$(nproc)" --target nv12_fuzz ioproc_fuzz startstop_fuzz >/dev/null

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  mkdir -p "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"
  echo "fuzz-long: $target for $seconds s"
  "$build/fuzz/${target}_fuzz" -close_fd_mask=2 -rss_limit_mb=2048 -timeout=30 \
    -max_total_time="$seconds" -jobs="$jobs" -workers="$jobs" -print_final_stats=1 \
    -artifact_prefix="$root/fuzz/regressions/$target/" "$root/fuzz/corpus/$target"
done
