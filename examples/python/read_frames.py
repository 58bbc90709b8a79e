#!/usr/bin/env python3
"""Reads NV12 frames of the first display through libmirvo_sck, from Python.

Loads the library with ctypes, hands it the write end of a pipe, and reads
whole frames from the read end. The library sends a frame at most --fps
times a second, and on some platforms only when the picture changes, so the
example passes frames on at a constant rate: frame k stands for k / fps
seconds after the first arrived and is the newest that had arrived by then
(repeated while the screen is still, skipped when frames come faster). By
default it prints one line per frame: its size and the colour (Y, Cb, Cr) at
the centre of each quadrant. With --raw it writes the frames to standard
output instead, for a pipe into ffmpeg at the same rate:

    python3 read_frames.py --raw --size 640x360 --fps 30 --frames 60 |
        ffmpeg -f rawvideo -pix_fmt nv12 -s 640x360 -r 30 -i - out.mp4

Exit status 0 when all frames were read, 1 when the start failed (the
library has printed its "sck-video: " line) or the stream ended early.
"""
import argparse
import ctypes
import os
import select
import sys
import time


def default_library():
    here = os.path.dirname(os.path.abspath(__file__))
    name = "libmirvo_sck.dylib" if sys.platform == "darwin" else "libmirvo_sck.so"
    for candidate in (os.path.join(here, "..", "..", "build", "screen", name), name):
        if os.path.exists(candidate):
            return candidate
    return name  # left to the dynamic loader's search path


def read_exactly(fd, n):
    """n bytes, or fewer when the stream ends first."""
    chunks, got = [], 0
    while got < n:
        chunk = os.read(fd, n - got)
        if not chunk:
            break
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks)


def frames_at_rate(fd, frame_size, fps, count):
    """count frames at a constant rate (see the top of the file); fewer when
    the stream ends first."""
    newest = read_exactly(fd, frame_size)
    start = time.monotonic()
    for k in range(count):
        due = start + k / fps
        while len(newest) == frame_size:
            left = due - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break  # nothing more arrived by this frame's instant
            newest = read_exactly(fd, frame_size)
        if len(newest) < frame_size:
            return
        yield newest


def quadrant_colours(frame, w, h):
    """(Y, Cb, Cr) at the centres of the four quadrants of an NV12 frame."""
    colours = []
    for x, y in ((w // 4, h // 4), (3 * w // 4, h // 4), (w // 4, 3 * h // 4), (3 * w // 4, 3 * h // 4)):
        c = w * h + (y // 2) * w + (x // 2) * 2
        colours.append((frame[y * w + x], frame[c], frame[c + 1]))
    return colours


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--library", default=default_library(), help="path of libmirvo_sck")
    ap.add_argument("--size", default="640x360", help="WxH (odd values round down)")
    ap.add_argument("--fps", type=int, default=30, help="highest frame rate")
    ap.add_argument("--frames", type=int, default=10, help="frames to pass on, at --fps")
    ap.add_argument("--raw", action="store_true", help="write the frames to standard output")
    args = ap.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    w, h = width & ~1, height & ~1
    frame_size = w * h * 3 // 2

    lib = ctypes.CDLL(args.library)
    lib.mirvo_sck_start.argtypes = [ctypes.c_int32] * 4
    lib.mirvo_sck_start.restype = ctypes.c_int32
    lib.mirvo_sck_stop.argtypes = []
    lib.mirvo_sck_stop.restype = None

    rfd, wfd = os.pipe()
    # The call blocks until frames flow. From a successful start the library
    # owns wfd and closes it when the capture has ended.
    if lib.mirvo_sck_start(width, height, args.fps, wfd) != 0:
        # A start that failed before it found a display leaves wfd ours; a
        # later failure has closed it by the time the call returns.
        try:
            os.close(wfd)
        except OSError:
            pass
        return 1

    read = 0
    try:
        for frame in frames_at_rate(rfd, frame_size, args.fps, args.frames):
            if args.raw:
                sys.stdout.buffer.write(frame)
                sys.stdout.flush()
            else:
                colours = "  ".join("%d,%d,%d" % c for c in quadrant_colours(frame, w, h))
                print(f"frame {read}: {w}x{h} {len(frame)} bytes  quadrants {colours}", flush=True)
            read += 1
        if read < args.frames:
            print(f"stream ended after {read} frames", file=sys.stderr)
            return 1
    finally:
        lib.mirvo_sck_stop()
        # Frames may still arrive until the platform has stopped; then EOF.
        tail = 0
        while True:
            chunk = os.read(rfd, 1 << 16)
            if not chunk:
                break
            tail += len(chunk)
        os.close(rfd)
        sys.stdout.flush()
    print(f"read {read} frames; {tail} bytes after the stop, then end of file", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
