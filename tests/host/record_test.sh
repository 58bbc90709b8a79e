#!/usr/bin/env bash
# mirvo-record end to end against a private sound server and X server:
#   - a timed recording gives a WAV, Y4M and MP4 that ffprobe reads with the
#     right rate, channels, size and frame count, holding the tone and the
#     quadrants;
#   - on a terminal, the progress line;
#   - SIGINT ends an open-ended recording with status 0 and complete files;
#   - a failing audio program (no sound server) or screen library (no X
#     server) ends it with status 1, showing the deliverable's line and status.
#
#   record_test.sh SOURCE_DIR MIRVO_RECORD PAINTER
set -euo pipefail
root=$1 record=$2 painter=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-record-test.XXXXXX")
# shellcheck source=servers.sh
. "$(dirname "$0")/servers.sh"
servers_start

W=320 H=180 FPS=10
frame_bytes=$((W * H * 3 / 2))
y4m_header="YUV4MPEG2 W$W H$H F$FPS:1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED"

# reported LOG: the frame count of the closing summary line.
reported() {
  sed -n 's/^mirvo-record: \([0-9][0-9]*\) frames, [0-9.]* s of audio in .*/\1/p' "$1"
}

# check_wav FILE: the header (RIFF, 28-byte JUNK, fmt, data) and its sizes
# match the file and hold whole frames.
check_wav() {
  python3 - "$1" <<'PY' || fail "$1: bad WAV header"
import os, struct, sys
b = open(sys.argv[1], "rb").read()
size = os.path.getsize(sys.argv[1])
assert b[0:4] == b"RIFF" and b[8:16] == b"WAVEJUNK" and b[48:52] == b"fmt " and b[72:76] == b"data", b[:80]
riff, = struct.unpack_from("<I", b, 4)
fmt = struct.unpack_from("<IHHIIHH", b, 52)
data, = struct.unpack_from("<I", b, 76)
assert fmt == (16, 1, 2, 48000, 192000, 4, 16), fmt
assert riff == size - 8, (riff, size)
assert data == size - 80 and data % 4 == 0 and data > 0, (data, size)
PY
}

# check_y4m FILE FRAMES: exact size for FRAMES frames, each showing the
# quadrants (BT.709 video range) at their centres.
check_y4m() {
  python3 - "$1" "$2" "$y4m_header" "$W" "$H" <<'PY' || fail "$1: bad Y4M"
import sys
path, frames, header, w, h = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
b = open(path, "rb").read()
head = (header + "\n").encode()
fsize = 6 + w * h * 3 // 2
assert b.startswith(head), b[:80]
assert len(b) == len(head) + frames * fsize, (len(b), frames)
want = {"red": (w // 4, h // 4, 63, 102, 240), "green": (3 * w // 4, h // 4, 173, 42, 26),
        "blue": (w // 4, 3 * h // 4, 32, 240, 118), "white": (3 * w // 4, 3 * h // 4, 235, 128, 128)}
for i in range(frames):
    f = b[len(head) + i * fsize:len(head) + (i + 1) * fsize]
    assert f[:6] == b"FRAME\n"
    y, cb, cr = f[6:6 + w * h], f[6 + w * h:6 + w * h * 5 // 4], f[6 + w * h * 5 // 4:]
    for name, (x, yy, wy, wcb, wcr) in want.items():
        c = (yy // 2) * (w // 2) + x // 2
        got = (y[yy * w + x], cb[c], cr[c])
        assert all(abs(g - e) <= 2 for g, e in zip(got, (wy, wcb, wcr))), (i, name, got)
PY
}

# 1. A timed recording, and what ffprobe makes of its files.
out=$work/timed
"$record" --size ${W}x$H --fps $FPS --duration 3 --out "$out" 2>"$work/timed.log" ||
  { cat "$work/timed.log" >&2; fail "a timed recording failed"; }
n=$(reported "$work/timed.log")
[ -n "$n" ] && [ "$n" -gt 0 ] || fail "no frame count in: $(cat "$work/timed.log")"
check_wav "$out/audio.wav"
check_tone "$out/audio.wav"
check_y4m "$out/video.y4m" "$n"
[ "$(probe "$out/audio.wav" codec_name,sample_rate,channels)" = \
  $'codec_name=pcm_s16le\nsample_rate=48000\nchannels=2' ] || fail "ffprobe on audio.wav"
[ "$(probe "$out/video.y4m" codec_name,width,height,r_frame_rate,nb_read_frames)" = \
  $'codec_name=rawvideo\nwidth='$W$'\nheight='$H$'\nr_frame_rate='$FPS$'/1\nnb_read_frames='$n ] ||
  fail "ffprobe on video.y4m: $(probe "$out/video.y4m" width,height,nb_read_frames)"
mp4=$(ffprobe -v error -count_frames -show_entries \
  stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_frames,color_space,color_range \
  -of compact=nokey=0 "$out/recording.mp4")
grep -qx "stream|codec_name=h264|codec_type=video|width=$W|height=$H|color_range=tv|color_space=bt709|nb_read_frames=$n" \
  <<<"$mp4" || fail "ffprobe on recording.mp4 (video): $mp4"
grep -qx "stream|codec_name=aac|codec_type=audio|sample_rate=48000|channels=2|nb_read_frames=[0-9]*" \
  <<<"$mp4" || fail "ffprobe on recording.mp4 (audio): $mp4"

# 2. On a terminal: the progress line (elapsed, frames, audio seconds, MB).
script -qec "'$record' --size ${W}x$H --fps $FPS --duration 1 --no-mp4 --out '$work/tty'" \
  /dev/null >"$work/tty.log" 2>&1 || { cat "$work/tty.log" >&2; fail "recording on a terminal failed"; }
grep -qaE $'\r\033\\[K00:0[0-9]  frames [0-9]+  audio [0-9]+\\.[0-9]{2} s  [0-9]+\\.[0-9] MB' \
  "$work/tty.log" || fail "no progress line on a terminal: $(cat -v "$work/tty.log")"

# 3. SIGINT ends an open-ended recording cleanly.
out=$work/sigint
"$record" --size ${W}x$H --fps $FPS --no-mp4 --out "$out" 2>"$work/sigint.log" &
pid=$!
# Guard only: wait until both files hold data, then interrupt. Three frames
# written mean at least 0.2 s of timeline, so the recording keeps at least
# two (its length is the time from the first frame to the stop).
for _ in $(seq 300); do
  [ -f "$out/video.y4m" ] && [ "$(stat -c %s "$out/video.y4m")" -ge $((${#y4m_header} + 1 + 3 * (6 + frame_bytes))) ] &&
    [ "$(stat -c %s "$out/audio.wav")" -gt 80 ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
kill -INT $pid
status=0
wait $pid || status=$?
[ $status -eq 0 ] || fail "SIGINT: exit status $status: $(cat "$work/sigint.log")"
n=$(reported "$work/sigint.log")
[ -n "$n" ] && [ "$n" -ge 2 ] || fail "SIGINT: frame count: $(cat "$work/sigint.log")"
check_wav "$out/audio.wav"
check_y4m "$out/video.y4m" "$n"
[ ! -e "$out/recording.mp4" ] || fail "--no-mp4 made an MP4"

# 4. A failing deliverable: exit 1, its line and its status shown.
status=0
PULSE_SERVER=unix:$work/no-such-socket "$record" --size ${W}x$H --duration 2 --no-mp4 \
  --out "$work/noaudio" 2>"$work/noaudio.log" || status=$?
[ $status -eq 1 ] || fail "no sound server: exit status $status"
grep -qE '^mirvo-record: .*/mirvo-sck-audio ended with exit status 1: pelko: CreateProcessTap 1937010544$' \
  "$work/noaudio.log" || fail "no sound server: $(cat "$work/noaudio.log")"

status=0
env -u DISPLAY "$record" --size ${W}x$H --duration 2 --no-mp4 --out "$work/novideo" \
  2>"$work/novideo.log" || status=$?
[ $status -eq 1 ] || fail "no X server: exit status $status"
grep -qx 'sck-video: cannot open X display ""' "$work/novideo.log" &&
  grep -qx 'mirvo-record: the screen library failed to start (result 1)' "$work/novideo.log" ||
  fail "no X server: $(cat "$work/novideo.log")"
echo "record_test: passed"
