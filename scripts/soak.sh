#!/usr/bin/env bash
# Long capture of both streams with a resident-memory trace; not part of CI.
#
#   scripts/soak.sh [SECONDS] [WIDTHxHEIGHT] [FPS] [OUT_DIR]
#
# Defaults: 600 s at 1920x1080, 30 frames a second, into out/soak-<time>/.
# Starts a private PulseAudio (a tone playing into its sink) and a private
# Xvfb whose root changes colour every second, runs the audio program and a
# small host of the library side by side, both read by counting readers, and
# samples every 10 s: elapsed time, the program's and the host's resident
# memory (kB), descriptors and threads, bytes and frames so far. Ends with a
# summary line each. Binaries come from $MIRVO_BUILD_DIR (default build/) and
# are copied first, so a rebuild meanwhile does not disturb the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
size=${2:-1920x1080}
fps=${3:-30}
out=${4:-$root/out/soak-$(date +%Y%m%d-%H%M%S)}
build=${MIRVO_BUILD_DIR:-$root/build}
width=${size%x*}
height=${size#*x}

for f in "$build/audio/mirvo-sck-audio" "$build/screen/libmirvo_sck.so" \
    "$build/tests/screen_e2e/mirvo_paint_root"; do
  [ -e "$f" ] || { echo "soak: $f missing; build first (scripts/build.sh)" >&2; exit 1; }
done

mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-soak.XXXXXX")
pids=()
display=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${audio_pid:-}" ] && kill -TERM "$audio_pid" 2>/dev/null || true
  [ -n "${host_pid:-}" ] && kill -KILL "$host_pid" 2>/dev/null || true
  [ -n "$display" ] && "$root/scripts/xvfb-server.sh" stop "$display" || true
  "$root/scripts/pulse-server.sh" stop "$work/pulse" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp "$build/audio/mirvo-sck-audio" "$build/screen/libmirvo_sck.so" "$work/"

# The host: loads the library, captures into a pipe it reads itself, checks
# that the stream is a whole number of frames, and reports on demand.
cat >"$work/host.c" <<'EOF'
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int rd;
static volatile unsigned long long total;
static void* reader(void* arg) {
    (void)arg;
    static char buf[1 << 20];
    ssize_t n;
    while ((n = read(rd, buf, sizeof buf)) > 0) total += (unsigned long long)n;
    return NULL;
}
int main(int argc, char** argv) {
    if (argc != 6) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (!lib) { fprintf(stderr, "dlopen: %s\n", dlerror()); return 2; }
    int32_t (*start)(int32_t, int32_t, int32_t, int32_t);
    void (*stop)(void);
    *(void**)(&start) = dlsym(lib, "mirvo_sck_start");
    *(void**)(&stop) = dlsym(lib, "mirvo_sck_stop");
    const int w = atoi(argv[2]) & ~1, h = atoi(argv[3]) & ~1;
    const unsigned long long frame = (unsigned long long)w * h * 3 / 2;
    const int seconds = atoi(argv[5]);
    int fds[2];
    if (pipe(fds) != 0) return 2;
    rd = fds[0];
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    if (start(w, h, atoi(argv[4]), fds[1]) != 0) return 1;
    for (int s = 0; s < seconds; ++s) {
        sleep(1);
        printf("%d %llu %llu\n", s + 1, total, total / frame);
        fflush(stdout);
    }
    stop();
    pthread_join(t, NULL);  /* end of file once the platform has stopped */
    printf("end %llu %s\n", total, total % frame == 0 ? "whole" : "TORN");
    return total % frame == 0 ? 0 : 1;
}
EOF
cc -O2 -o "$work/host" "$work/host.c" -ldl -lpthread

eval "$("$root/scripts/pulse-server.sh" start "$work/pulse" | sed 's/^/export /')"
# The test painter keeps a small square redrawn, so frames (sent on change)
# come at the full rate; the root's colour also changes once a second.
display=$("$root/scripts/xvfb-server.sh" start "$build/tests/screen_e2e/mirvo_paint_root")
export DISPLAY=$display

sox -q -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 5 sine 440 gain -12 2>/dev/null
( while :; do paplay "$work/tone.wav" 2>/dev/null || sleep 0.5; done ) &
pids+=($!)
( while :; do for c in '#204080' '#c04020' '#20a040' '#e0e0e0'; do
    xsetroot -solid "$c" 2>/dev/null || true; sleep 1; done; done ) &
pids+=($!)

"$work/mirvo-sck-audio" 2>"$out/audio.err" | { wc -c >"$work/audio.bytes"; } &
audio_pipeline=$!
sleep 0.5
audio_pid=$(pgrep -n -f "^$work/mirvo-sck-audio$" || true)
[ -n "$audio_pid" ] || { echo "soak: the audio program did not start" >&2; cat "$out/audio.err" >&2; exit 1; }

"$work/host" "$work/libmirvo_sck.so" "$width" "$height" "$fps" "$seconds" \
  >"$work/host.out" 2>"$out/host.err" &
host_pid=$!

status() {  # pid -> "rss_kB fds threads"
  local rss fds thr
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null) || rss=0
  fds=$( (ls "/proc/$1/fd" 2>/dev/null || true) | wc -l)
  thr=$( (ls "/proc/$1/task" 2>/dev/null || true) | wc -l)
  echo "${rss:-0} $fds $thr"
}

trace=$out/trace.tsv
printf 't_s\taudio_rss_kB\taudio_fds\taudio_threads\thost_rss_kB\thost_fds\thost_threads\tvideo_frames\n' >"$trace"
t=0
while :; do
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    kill -0 "$host_pid" 2>/dev/null || break 2
    sleep 1
  done
  t=$((t + 10))
  read -r ar af at < <(status "$audio_pid")
  read -r hr hf ht < <(status "$host_pid")
  frames=$(tail -n1 "$work/host.out" 2>/dev/null | awk '{print $3}')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$t" "$ar" "$af" "$at" "$hr" "$hf" "$ht" "${frames:-0}" >>"$trace"
done
wait "$host_pid" && host_status=0 || host_status=$?
kill -TERM "$audio_pid"
wait "$audio_pipeline" || true
audio_bytes=$(cat "$work/audio.bytes")

{
  echo "duration ${seconds} s at ${width}x${height}, ${fps} fps"
  echo "video: host exit $host_status; $(tail -n1 "$work/host.out")"
  echo "audio: $audio_bytes bytes ($(( audio_bytes / 192000 )) s of 48 kHz stereo s16)"
  awk -F'\t' 'NR == 2 {a0 = $2; h0 = $5} NR > 1 {
      if ($2 > amax) amax = $2; if ($5 > hmax) hmax = $5; a = $2; h = $5 }
    END { printf "audio RSS kB: first %d, last %d, max %d\nhost RSS kB: first %d, last %d, max %d\n",
      a0, a, amax, h0, h, hmax }' "$trace"
  echo "stderr: audio $(wc -c <"$out/audio.err") bytes, host $(wc -c <"$out/host.err") bytes"
} | tee "$out/summary.txt"
[ "$host_status" -eq 0 ]
