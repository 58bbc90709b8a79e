# Sourced by the stages: configures and builds one clang build at -O1 with
# the given sanitizers (benchmarks off). Usage: clang_build DIR SANITIZERS [cmake args...]
clang_build() {
  local dir=$1 san=$2
  shift 2
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DMIRVO_BUILD_BENCH=OFF -DMIRVO_SANITIZE="$san" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; return 1; }
  cmake --build "$dir" -j "$(nproc)" >"$dir.build.log" 2>&1 ||
    { tail -n 60 "$dir.build.log" >&2; return 1; }
}
