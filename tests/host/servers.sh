# Sourced by the end-to-end scripts of tests/host and tests/interop: a
# private PulseAudio server with a known tone playing into it and a private
# Xvfb showing four quadrants (red, green / blue, white), both stopped on
# exit. Needs $root (the source tree), $painter and $work set.
#
# The tone is 1 kHz, left at half scale and right at a quarter, so a wrong
# sample format or swapped channels show in the peaks.

servers_pids=()
servers_display=""
servers_cleanup() {
  for p in "${servers_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "$servers_display" ] && "$root/scripts/xvfb-server.sh" stop "$servers_display" || true
  "$root/scripts/pulse-server.sh" stop "$work/pulse" || true
  rm -rf "$work"
}
trap servers_cleanup EXIT

fail() { echo "${0##*/}: $*" >&2; exit 1; }

servers_start() {
  eval "$("$root/scripts/pulse-server.sh" start "$work/pulse" | sed 's/^/export /')" ||
    fail "no PulseAudio server"
  python3 - "$work/tone.wav" <<'PY'
import math, struct, sys, wave
rate, secs = 48000, 2
w = wave.open(sys.argv[1], "wb")
w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate)
frames = bytearray()
for i in range(rate * secs):
    s = math.sin(2 * math.pi * 1000 * i / rate)
    frames += struct.pack("<hh", round(0.5 * 32767 * s), round(0.25 * 32767 * s))
w.writeframes(bytes(frames))
w.close()
PY
  ( while :; do paplay "$work/tone.wav" || sleep 0.2; done ) >/dev/null 2>&1 &
  servers_pids+=($!)
  servers_display=$("$root/scripts/xvfb-server.sh" start "$painter") || fail "no Xvfb"
  export DISPLAY=$servers_display
}

# wav_peaks FILE: "L R" peak absolute sample values of a 16-bit stereo WAV.
wav_peaks() {
  python3 - "$1" <<'PY'
import array, sys, wave
w = wave.open(sys.argv[1])
assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (2, 2, 48000), w.getparams()
a = array.array("h", w.readframes(w.getnframes()))
print(max(map(abs, a[0::2]), default=0), max(map(abs, a[1::2]), default=0))
PY
}

# The tone's peaks arrive unchanged: 16384 left, 8192 right (a little less
# when no sample falls on the crest).
check_tone() {
  read -r l r < <(wav_peaks "$1")
  [ "$l" -ge 16300 ] && [ "$l" -le 16384 ] && [ "$r" -ge 8150 ] && [ "$r" -le 8192 ] ||
    fail "$1: peaks L $l R $r, expected about 16384 and 8192"
}

# probe FILE ENTRIES: ffprobe's stream entries as key=value lines.
probe() {
  ffprobe -v error -count_frames -show_entries "stream=$2" -of default=noprint_wrappers=1 "$1"
}
