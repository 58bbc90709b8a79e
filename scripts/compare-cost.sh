#!/usr/bin/env bash
# Compares the CPU cost of the two deliverables with the usual tools on the
# same private servers, in one run (by hand, not in CI):
#   - the library at 1920x1080, 30 frames a second, for 10 s each, in a
#     minimal host that only drains the pipe (so the figure is the
#     library's own), on three screens: still (nothing redrawn: the library
#     sends its first frame only), full motion (the whole screen turns black
#     and white 60 times a second) and a small animated region (128x128 at
#     the same rate); beside ffmpeg's x11grab converting the full-motion
#     display to NV12 (its cost does not depend on motion: it grabs every
#     frame);
#   - mirvo-sck-audio against parec --latency-msec=20 (s16le stereo 48 kHz)
#     recording the same tone from a private PulseAudio null sink for 20 s.
# Each side runs alone (one after the other) and is measured by the rusage
# of the waited process, all its threads included. The X server's, the
# painter's and the sound server's own CPU is counted for neither side.
#
#   scripts/compare-cost.sh [BUILD_DIR]     (default: build; built if needed)
# Prints CPU seconds (user + sys) per captured second (and, for the screen,
# per second of capture) and the ratios. MIRVO_COST_AUDIO_SECONDS=0 leaves
# the sound out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd || echo "${1:-$root/build}")
video_seconds=${MIRVO_COST_VIDEO_SECONDS:-10}
audio_seconds=${MIRVO_COST_AUDIO_SECONDS:-20}
W=1920 H=1080 FPS=30

for tool in ffmpeg parec pacat sox cc Xvfb pulseaudio; do
  command -v "$tool" >/dev/null || { echo "compare-cost: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target mirvo_sck mirvo-sck-audio >/dev/null
lib=$(find "$build/screen" -maxdepth 1 -name 'libmirvo_sck.so' | head -n1)
audio="$build/audio/mirvo-sck-audio"

work=$(mktemp -d /tmp/mirvo-cost.XXXXXX)
display="" tone="" painter=""
cleanup() {
  [ -n "$painter" ] && kill "$painter" 2>/dev/null || true
  [ -n "$tone" ] && kill "$tone" 2>/dev/null || true
  [ -n "$display" ] && "$root/scripts/xvfb-server.sh" stop "$display" >/dev/null 2>&1 || true
  "$root/scripts/pulse-server.sh" stop "$work/pulse" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# cost SECONDS SIGNAL PROGRAM ARGS...: runs the program; after SECONDS sends
# SIGNAL (0: none, wait for it to end); prints "user+sys wall" seconds of
# the waited process on descriptor 3.
cat >"$work/cost.c" <<'C'
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec / 1e9; }
int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const double seconds = atof(argv[1]);
    const int sig = atoi(argv[2]);
    const double t0 = now();
    const pid_t pid = fork();
    if (pid == 0) { execvp(argv[3], argv + 3); _exit(127); }
    if (sig) {
        struct timespec d = {(time_t)seconds, (long)((seconds - (time_t)seconds) * 1e9)};
        while (nanosleep(&d, &d) != 0) {}
        kill(pid, sig);
    }
    int status; struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) return 2;
    const double cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    dprintf(3, "%.3f %.3f\n", cpu, now() - t0);
    return 0;
}
C
# drain LIBRARY W H FPS SECONDS: starts a capture into a pipe, reads and
# discards it for SECONDS, stops, reads to the end; prints the frame count.
cat >"$work/drain.c" <<'C'
#include <dlfcn.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec / 1e9; }
int main(int argc, char** argv) {
    if (argc != 6) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 2; }
    int32_t (*start)(int32_t, int32_t, int32_t, int32_t);
    void (*stop)(void);
    *(void**)(&start) = dlsym(lib, "mirvo_sck_start");
    *(void**)(&stop) = dlsym(lib, "mirvo_sck_stop");
    const long w = atol(argv[2]) & ~1L, h = atol(argv[3]) & ~1L;
    const double seconds = atof(argv[5]);
    int fds[2];
    if (!start || !stop || pipe(fds) != 0) return 2;
    if (start((int32_t)w, (int32_t)h, atoi(argv[4]), fds[1]) != 0) return 1;
    static char buf[1 << 20];
    long long bytes = 0;
    const double end = now() + seconds;
    int stopped = 0;
    for (;;) {
        if (!stopped && now() >= end) { stop(); stopped = 1; }
        /* A still screen sends nothing: wait for frames only until the end. */
        struct pollfd p = {fds[0], POLLIN, 0};
        if (!stopped && poll(&p, 1, (int)((end - now()) * 1000) + 1) == 0) continue;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        bytes += n;
    }
    printf("%lld\n", bytes / (w * h * 3 / 2));
    return 0;
}
C
cc -O2 -o "$work/cost" "$work/cost.c"
cc -O2 -o "$work/drain" "$work/drain.c" -ldl
# The tests' painter: quadrants, and a rectangle turning black and white.
cc -O2 -o "$work/paint" "$root/tests/screen_e2e/paint_root.c" $(pkg-config --cflags --libs xcb)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
per() { awk -v c="$1" -v s="$2" 'BEGIN { printf "%.4f", (s > 0 ? c / s : 0) }'; }

# ---- video ---------------------------------------------------------------
display=$("$root/scripts/xvfb-server.sh" start)
export DISPLAY=$display
frame=$(( W * H * 3 / 2 ))

# library NAME: a capture of video_seconds; "NAME frames cpu wall" into $work/video.
library() {
  local frames cpu wall
  frames=$("$work/cost" 0 0 "$work/drain" "$lib" $W $H $FPS "$video_seconds" 3>"$work/lib.cost")
  read -r cpu wall <"$work/lib.cost"
  echo "$1 $frames $cpu $wall" >>"$work/video"
}
animate() { "$work/paint" "$@" & painter=$!; sleep 1; }
still() { kill "$painter"; wait "$painter" 2>/dev/null || true; }

library still
animate 0 0 $W $H 60
library motion
bytes=$("$work/cost" 0 0 ffmpeg -nostdin -v error -f x11grab -framerate $FPS \
  -video_size ${W}x${H} -i "$display" -t "$video_seconds" -pix_fmt nv12 -f rawvideo - \
  3>"$work/ff.cost" | wc -c)
read -r ff_cpu ff_wall <"$work/ff.cost"
echo "ffmpeg $(( bytes / frame )) $ff_cpu $ff_wall" >>"$work/video"
still
animate 896 476 128 128 60
library region
still

# ---- audio ---------------------------------------------------------------
if [ "$audio_seconds" != 0 ]; then
eval "$("$root/scripts/pulse-server.sh" start "$work/pulse" mirvo_null | sed 's/^/export /')"
# A 440 Hz tone into the null sink for as long as both recordings take.
sox -q -n -r 48000 -c 2 -b 16 -e signed -t raw - synth $(( 2 * audio_seconds + 30 )) sine 440 vol 0.5 |
  pacat --format=s16le --rate=48000 --channels=2 --device=mirvo_null &
tone=$!
sleep 2

abytes=$("$work/cost" "$audio_seconds" 2 "$audio" 3>"$work/audio.cost" | wc -c)
read -r au_cpu au_wall <"$work/audio.cost"
pbytes=$("$work/cost" "$audio_seconds" 2 parec --latency-msec=20 --format=s16le --rate=48000 \
  --channels=2 --device=mirvo_null.monitor 3>"$work/parec.cost" | wc -c)
read -r pa_cpu pa_wall <"$work/parec.cost"
au_s=$(awk -v b="$abytes" 'BEGIN { printf "%.3f", b / 192000 }')
pa_s=$(awk -v b="$pbytes" 'BEGIN { printf "%.3f", b / 192000 }')
fi

printf '%-44s %8s %10s %12s %12s\n' "" "CPU s" "captured s" "CPU s per s" "per wall s"
while read -r name frames cpu wall; do
  case $name in
    still) label="libmirvo_sck ${W}x${H}@${FPS}, still screen" ;;
    motion) label="libmirvo_sck ${W}x${H}@${FPS}, full motion" ;;
    region) label="libmirvo_sck ${W}x${H}@${FPS}, 128x128 moving" ;;
    ffmpeg) label="ffmpeg x11grab -> nv12, full motion" ;;
  esac
  s=$(awk -v f="$frames" -v r=$FPS 'BEGIN { printf "%.3f", f / r }')
  printf '%-44s %8s %10s %12s %12s\n' "$label" "$cpu" "$s" "$(per "$cpu" "$s")" "$(per "$cpu" "$wall")"
  eval "${name}_per=$(per "$cpu" "$s") ${name}_wall=$(per "$cpu" "$wall")"
done <"$work/video"
echo "video, full motion: library / ffmpeg = $(ratio "$motion_per" "$ffmpeg_per")x (target at most 0.35x)"
echo "video, still screen: library $still_wall CPU s per s (target at most 0.01)"
echo "video, 128x128 moving: $(ratio "$region_per" "$motion_per")x the full-motion cost per frame"
if [ "$audio_seconds" != 0 ]; then
  ar=$(ratio "$(per "$au_cpu" "$au_s")" "$(per "$pa_cpu" "$pa_s")")
  printf '%-44s %8s %10s %12s\n' "mirvo-sck-audio" "$au_cpu" "$au_s" "$(per "$au_cpu" "$au_s")"
  printf '%-44s %8s %10s %12s\n' "parec --latency-msec=20 (s16le)" "$pa_cpu" "$pa_s" "$(per "$pa_cpu" "$pa_s")"
  echo "audio: mirvo-sck-audio / parec = ${ar}x (target at most 1.2x)"
fi
