#!/usr/bin/env bash
# Sets up, builds, and records a few seconds of what the machine plays and
# shows with mirvo-record: audio.wav, video.y4m and recording.mp4.
#
#   scripts/main-job.sh [SECONDS] [OUTPUT_DIR]
#
# Sound comes from the running sound server when one answers; otherwise a
# private headless server is started, with a short melody playing into it.
# The picture comes from $DISPLAY when it answers; otherwise a private
# virtual X server is started, showing a changing test pattern.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}
out=${2:-$root/out/recording-$(date +%Y%m%d-%H%M%S)}
build=${MIRVO_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target mirvo-sck-audio mirvo_sck mirvo-record >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-main.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${private_display:-}" ] && "$root/scripts/xvfb-server.sh" stop "$private_display" || true
  [ -n "${private_pulse:-}" ] && "$root/scripts/pulse-server.sh" stop "$work/pulse" || true
  rm -rf "$work"
}
trap cleanup EXIT

if pactl info >/dev/null 2>&1; then
  echo "main-job: recording the running sound server" >&2
else
  echo "main-job: no sound server answers; starting a private one with a melody playing" >&2
  private_pulse=1
  eval "$("$root/scripts/pulse-server.sh" start "$work/pulse" | sed 's/^/export /')"
  sox -q -n -r 48000 -c 2 -b 16 "$work/melody.wav" \
    synth 0.4 pluck C4 : synth 0.4 pluck E4 : synth 0.4 pluck G4 : synth 0.8 pluck C5 \
    gain -6 2>/dev/null
  ( while :; do paplay "$work/melody.wav" || sleep 0.5; done ) &
  pids+=($!)
fi

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "main-job: recording display $DISPLAY" >&2
else
  echo "main-job: no X display answers; starting a private one with a test pattern" >&2
  private_display=$("$root/scripts/xvfb-server.sh" start)
  export DISPLAY=$private_display
  # Change the picture once a second so the video visibly moves.
  ( sleep 1.5; for c in '#204080' '#c04020' '#20a040' '#e0e0e0'; do
      xsetroot -solid "$c"; sleep 1; done ) &
  pids+=($!)
fi

mkdir -p "$out"
"$build/tools/mirvo-record" --duration "$seconds" --out "$out"
ls -l "$out"
if command -v ffprobe >/dev/null 2>&1 && [ -f "$out/recording.mp4" ]; then
  ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate,channels \
    -of compact "$out/recording.mp4"
fi
