#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tests against the fakes, the end
# to end tests against a private sound server and X server (each test starts
# its own), and the syntax check of the macOS sources.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build=${MIRVO_BUILD_DIR:-$root/build}
cd "$build"
ctest --output-on-failure --timeout 600 "$@"
echo "test.sh: done in $(( $(date +%s) - start )) s"
