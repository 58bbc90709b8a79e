#!/usr/bin/env bash
# Configures and builds everything into build/ (or $MIRVO_BUILD_DIR).
# Extra arguments go to the configure step, e.g. -DMIRVO_BUILD_BENCH=OFF.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRVO_BUILD_DIR:-$root/build}
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRVO_WERROR=$werror "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
