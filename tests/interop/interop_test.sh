#!/usr/bin/env bash
# The streams through the real tools, with the commands the README shows:
#   - mirvo-sck-audio piped into ffmpeg as s16le 48 kHz stereo gives a WAV
#     with the tone in the right channels;
#   - the Python example reads whole frames of the right size and colours,
#     and its raw frames, passed on at a constant rate and piped into ffmpeg
#     as NV12, give an MP4 of the right size, frame count and duration.
#
#   interop_test.sh SOURCE_DIR MIRVO_SCK_AUDIO LIBMIRVO_SCK PAINTER
set -euo pipefail
root=$1 audio=$(realpath "$2") library=$(realpath "$3") painter=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-interop.XXXXXX")
# shellcheck source=../host/servers.sh
. "$root/tests/host/servers.sh"
servers_start
cd "$work"

# 1. The README's audio command. Ended like Ctrl-C would: SIGINT to the
# audio program, after which ffmpeg sees end of file and finishes the file.
bash -c '"$1" | ffmpeg -f s16le -ar 48000 -ac 2 -i - out.wav' _ "$audio" \
  >ffmpeg-audio.log 2>&1 &
pipeline=$!
apid=""
for _ in $(seq 100); do  # guard: until the program runs
  apid=$(pgrep -P $pipeline -f -x "$audio" || true)
  [ -n "$apid" ] && break
  sleep 0.1
done
[ -n "$apid" ] || fail "the audio program did not start"
# Guard only: until some of the tone has gone through (2 s of audio).
for _ in $(seq 300); do
  [ -f out.wav ] && [ "$(stat -c %s out.wav)" -gt 400000 ] && break
  sleep 0.1
done
kill -INT "$apid"
wait $pipeline || fail "the audio pipeline failed: $(cat ffmpeg-audio.log)"
[ "$(probe out.wav codec_name,sample_rate,channels)" = \
  $'codec_name=pcm_s16le\nsample_rate=48000\nchannels=2' ] || fail "ffprobe on out.wav"
check_tone out.wav

# 2. The Python example reading frames: whole frames, the quadrants' colours
# (BT.709 video range: red, green / blue, white).
example=$root/examples/python/read_frames.py
python3 "$example" --library "$library" --size 320x180 --fps 10 --frames 5 >frames.txt ||
  fail "read_frames.py failed"
python3 - frames.txt <<'PY' || fail "read_frames.py: $(cat frames.txt)"
import re, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 5, lines
want = [(63, 102, 240), (173, 42, 26), (32, 240, 118), (235, 128, 128)]
for i, line in enumerate(lines):
    m = re.fullmatch(r"frame (\d+): 320x180 86400 bytes  quadrants (.*)", line)
    assert m and int(m.group(1)) == i, line
    got = [tuple(map(int, q.split(","))) for q in m.group(2).split("  ")]
    assert all(abs(g - e) <= 2 for q, p in zip(got, want) for g, e in zip(q, p)), line
PY
# A start that fails: status 1, the library's line, nothing read.
status=0
env -u DISPLAY python3 "$example" --library "$library" --frames 1 >nodisplay.out 2>nodisplay.err ||
  status=$?
[ $status -eq 1 ] && [ ! -s nodisplay.out ] && grep -qx 'sck-video: cannot open X display ""' nodisplay.err ||
  fail "read_frames.py without a display: status $status, $(cat nodisplay.err)"

# 3. The README's video command: raw NV12 frames at a constant 30 fps into
# ffmpeg, 60 frames making 2 s.
python3 "$example" --library "$library" \
    --raw --size 640x360 --fps 30 --frames 60 |
  ffmpeg -f rawvideo -pix_fmt nv12 -s 640x360 -r 30 -i - out.mp4 >ffmpeg-video.log 2>&1 ||
  fail "the video pipeline failed: $(cat ffmpeg-video.log)"
[ "$(probe out.mp4 width,height,nb_read_frames,duration)" = \
  $'width=640\nheight=360\nduration=2.000000\nnb_read_frames=60' ] ||
  fail "ffprobe on out.mp4: $(probe out.mp4 width,height,nb_read_frames,duration)"
echo "interop_test: passed"
