#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tests against the fakes, the end
# to end tests against private sound, X and Wayland servers (each test starts
# its own), the syntax check of the macOS sources, then every extra stage in
# scripts/stages/ in name order (each a script that exits non-zero on failure,
# with a build phase and a run phase).
#
# The stages' builds run beside the plain build and tests at the lowest
# priority: they take what the plain build leaves idle (configuring, linking)
# and the processor the tests leave while they wait on servers, pipes and
# clocks, without slowing either. The stages then run one after another.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)
stamp() { echo "test.sh: $1 after $(( $(date +%s) - start )) s"; }

"$root/scripts/setup.sh"
build=${MIRVO_BUILD_DIR:-$root/build}
stages=("$root"/scripts/stages/*.sh)
log=$(mktemp "${TMPDIR:-/tmp}/mirvo-stage-builds.XXXXXX")
# A process group of its own (job control) to stop it by, in this session: a
# new session would be a scheduling group of its own, given as much of the
# processor as this one whatever its niceness.
set -m
nice -n 19 bash -c 'for stage; do bash "$stage" build || exit 1; done' - "${stages[@]}" \
  >"$log" 2>&1 &
builds=$!
set +m
trap 'kill -- -$builds 2>/dev/null || true; rm -f "$log"' EXIT

# Minimal debug information (line tables, functions): a fifth less compile
# time than full, the same code.
"$root/scripts/build.sh" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
stamp "build"

# Four at a time: the process tests spend most of their time waiting.
(cd "$build" && ctest --output-on-failure --timeout 600 -j4 "$@")
stamp "ctest"
if ! wait "$builds"; then
  cat "$log"
  echo "test.sh: a stage's build failed" >&2
  exit 1
fi
sed 's/^/test.sh: /' "$log"
stamp "stage builds"
for stage in "${stages[@]}"; do
  echo "test.sh: stage $(basename "$stage")"
  bash "$stage" run
  stamp "stage $(basename "$stage")"
done
echo "test.sh: all passed in $(( $(date +%s) - start )) s"
