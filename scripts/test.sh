#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tests against the fakes, the end
# to end tests against a private sound server and X server (each test starts
# its own), the syntax check of the macOS sources, then every extra stage in
# scripts/stages/ in name order (each a script that exits non-zero on failure).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)
stamp() { echo "test.sh: $1 after $(( $(date +%s) - start )) s"; }

"$root/scripts/setup.sh"
"$root/scripts/build.sh"
stamp "build"
build=${MIRVO_BUILD_DIR:-$root/build}
(cd "$build" && ctest --output-on-failure --timeout 600 -j2 "$@")
stamp "ctest"
for stage in "$root"/scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "test.sh: stage $(basename "$stage")"
  bash "$stage"
  stamp "stage $(basename "$stage")"
done
echo "test.sh: all passed in $(( $(date +%s) - start )) s"
