# Sourced by the stages and scripts/fuzz-long.sh (they set $root).

# The fuzz targets, by their short names (fuzz/<name>_fuzz.cpp).
fuzz_targets() {
  (cd "$root/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//')
}

# Configures one clang build at -O1 with the given sanitizers (benchmarks
# off) and builds the given targets.
# Usage: clang_build DIR SANITIZERS "TARGET..." [cmake args...]
clang_build() {
  local dir=$1 san=$2 targets=$3
  shift 3
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DMIRVO_BUILD_BENCH=OFF -DMIRVO_SANITIZE="$san" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; return 1; }
  # shellcheck disable=SC2086  # the targets are words
  cmake --build "$dir" -j "$(nproc)" --target $targets >"$dir.build.log" 2>&1 ||
    { tail -n 60 "$dir.build.log" >&2; return 1; }
}
