#!/usr/bin/env bash
# Arm check: cross-builds the platform-neutral code and the unit tests of
# what has processor paths for aarch64 (Debian's g++-aarch64-linux-gnu, GoogleTest built from
# /usr/src/googletest with the same compiler) and runs them under qemu-user,
# so the NEON paths are held byte for byte to the plain forms like the x86
# ones. No bindings, deliverables, tools or benchmarks in this build; the
# pixel kernels (pixel/) are pure code and are tested in full.
#
# Excluded under emulation (they run natively in ctest):
# - ConvertPaths.EveryFloatBitPatternMatchesScalar: all 2^32 floats, about
#   10 s natively and nearly 5 minutes under qemu. The random path-vs-
#   reference tests of every kernel still run.
#
#   10-aarch64.sh [build|run]   (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${MIRVO_AARCH64_BUILD_DIR:-$root/build-aarch64}
sysroot=/usr/aarch64-linux-gnu
phase=${1:-all}
start=$(date +%s)
mkdir -p "$build"

qemu=$(command -v qemu-aarch64 || command -v qemu-aarch64-static || true)
if ! command -v aarch64-linux-gnu-g++ >/dev/null || [ -z "$qemu" ] ||
   [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "10-aarch64: needs g++-aarch64-linux-gnu, qemu-user and googletest (scripts/setup.sh)" >&2
  exit 1
fi

probe="$build/paths-probe"
if [ "$phase" != run ]; then
  # Without debug information: nothing is debugged here, and it saves about
  # a quarter of the compile time.
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64-linux-gnu.cmake" \
    -DMIRVO_NEUTRAL_ONLY=ON -DMIRVO_BUILD_BENCH=OFF -DMIRVO_GTEST_SOURCE=/usr/src/googletest \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
  # The tests of what has processor paths (the pixel kernels, the sample
  # conversion with the audio core); the rest is plain C++ tested on x86.
  cmake --build "$build" -j2 --target nv12_tests rgb_nv12_tests audio_tests >"$build/build.log" 2>&1 ||
    { tail -50 "$build/build.log" >&2; exit 1; }
  echo "10-aarch64: built in $(( $(date +%s) - start )) s"
  # The paths registry (one for every kernel family) must offer NEON and take
  # it as the first choice: a probe linked against the cross-built code.
  cat >"$probe.cpp" <<'CPP'
#include <cstdio>
#include "cpu_paths.h"
int main() {
    for (const char* p : common::availablePaths()) std::printf(" %s", p);
    std::printf("\n");
}
CPP
  aarch64-linux-gnu-g++ -std=c++20 -O1 -I"$root/common" "$probe.cpp" \
    "$build/common/libmirvo_common.a" -o "$probe"
fi
[ "$phase" = build ] && exit 0

paths=$("$qemu" -L "$sysroot" "$probe")
echo "10-aarch64: paths$paths"
case "$paths" in
  *" neon") ;;
  *) echo "10-aarch64: NEON is not the first choice here" >&2; exit 1 ;;
esac

# ctest runs each test through the toolchain's emulator (qemu-aarch64 -L).
(cd "$build" && ctest --output-on-failure --timeout 600 -j2 \
  -E '^ConvertPaths\.EveryFloatBitPatternMatchesScalar$|_NOT_BUILT$')
echo "10-aarch64: passed in $(( $(date +%s) - start )) s"
