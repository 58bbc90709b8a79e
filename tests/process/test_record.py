# mirvo-record as a user runs it, on private servers: how a recording ends
# and with which status when a deliverable stalls, fails or is stopped; bad
# options; sound and picture in step, the files' lengths and WAV header.
import array
import fcntl
import os
import re
import signal
import struct
import subprocess
import threading
import time

import pytest

from conftest import nv12_bytes

W, H, FPS = 160, 90, 10
Y4M_HEAD = len(f"YUV4MPEG2 W{W} H{H} F{FPS}:1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED\n")
FRAME = 6 + nv12_bytes(W, H)


def record(spawn, build, out, env, *args):
    return spawn([build.record, "--size", f"{W}x{H}", "--fps", FPS, "--no-mp4", "--out", out,
                  *args], env=env)


def wait_until(pred, child, timeout=10):
    """Guard: pred() becomes true while child still runs."""
    deadline = time.monotonic() + timeout
    while not pred():
        if not child.alive() or time.monotonic() > deadline:
            pytest.fail(f"not reached; stderr: {child.err!r}")
        time.sleep(0.05)


def size(path):
    return path.stat().st_size if path.exists() else 0


@pytest.fixture
def env(pulse, xvfb):
    return dict(pulse.env, DISPLAY=xvfb.display)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_signal_during_blocked_start_ends_with_failure(spawn, build, xvfb, env, tmp_path, sig):
    os.kill(xvfb.pid(), signal.SIGSTOP)  # the library's start now blocks
    rec = record(spawn, build, tmp_path, env)
    wait_until(lambda: size(tmp_path / "audio.wav") > 44, rec)
    rec.signal(sig)
    assert rec.wait(3, "mirvo-record") == 1
    assert rec.err.decode().splitlines() == [
        "mirvo-record: the screen library had not started: no video recorded"]
    assert size(tmp_path / "video.y4m") == Y4M_HEAD


def test_lost_screen_ends_recording_with_failure(spawn, build, xvfb, env, tmp_path):
    rec = record(spawn, build, tmp_path, env)
    wait_until(lambda: size(tmp_path / "video.y4m") >= Y4M_HEAD + 2 * FRAME, rec)
    os.kill(xvfb.pid(), signal.SIGKILL)
    assert rec.wait(5, "mirvo-record") == 1
    err = rec.err.decode().splitlines()
    assert len(err) == 2 and err[0].startswith("sck-video: "), err
    n = int(re.fullmatch(r"mirvo-record: the screen capture was lost after (\d+) frames",
                         err[1]).group(1))
    assert n >= 2 and size(tmp_path / "video.y4m") == Y4M_HEAD + n * FRAME


@pytest.mark.parametrize("script,status,line", [
    # Killed by the SIGTERM that ends the recording (as the audio program is
    # before its handlers exist): an orderly end.
    ("exec sleep 30", 0, "mirvo-record: 0 frames, 0.50 s of audio in {out}"),
    # Killed by a SIGTERM from elsewhere: a failure.
    ("kill -TERM $$; sleep 30", 1, "mirvo-record: {prog} ended with killed by signal Terminated"),
])
def test_audio_program_ended_by_sigterm(spawn, build, pulse, tmp_path, script, status, line):
    prog = tmp_path / "audio-program"
    prog.write_text(f"#!/bin/sh\n{script}\n")
    prog.chmod(0o755)
    out = tmp_path / "out"
    rec = record(spawn, build, out, pulse.env, "--no-video", "--duration", "0.5",
                 "--audio-program", prog)
    assert rec.wait(5, "mirvo-record") == status
    assert rec.err.decode().splitlines() == [line.format(out=out, prog=prog)]


@pytest.mark.parametrize("value", ["nan", "inf", "-inf", "0", "-1", "1e10", "1x"])
def test_bad_duration_is_a_usage_error(spawn, build, tmp_path, value):
    rec = spawn([build.record, "--duration", value, "--out", tmp_path])
    assert rec.wait(5, "mirvo-record") == 2
    assert rec.err.decode().splitlines()[0] == (
        f"mirvo-record: bad duration: {value} (seconds, more than 0, at most 1e9)")
    assert not (tmp_path / "audio.wav").exists()


def wav_samples(path):
    """The samples of a PCM WAV (RIFF or RF64) as one array, L R L R ..."""
    b = path.read_bytes()
    pos = 12
    while b[pos:pos + 4] != b"data":
        pos += 8 + int.from_bytes(b[pos + 4:pos + 8], "little")
    return array.array("h", b[pos + 8:])


# Stand-in for the screen library on a platform that sends frames only when
# the picture changes: one frame of value 0x80 at the start, then nothing
# until the stop.
STILL_LIBRARY = r"""
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static int out = -1, stopped;
static size_t size;
static void* run(void* arg) {
    char* frame = malloc(size);
    memset(frame, 0x80, size);
    for (size_t done = 0; done < size;) done += (size_t)write(out, frame + done, size - done);
    free(frame);
    while (!__atomic_load_n(&stopped, __ATOMIC_SEQ_CST)) usleep(1000);
    close(out);
    return arg;
}
int32_t mirvo_sck_start(int32_t w, int32_t h, int32_t fps, int32_t fd) {
    pthread_t t;
    (void)fps;
    size = (size_t)(w & ~1) * (h & ~1) * 3 / 2;
    out = fd;
    return pthread_create(&t, NULL, run, NULL);
}
void mirvo_sck_stop(void) { __atomic_store_n(&stopped, 1, __ATOMIC_SEQ_CST); }
"""


def test_still_screen_fills_every_frame_and_the_duration(spawn, build, pulse, c_host, tmp_path):
    lib = c_host(STILL_LIBRARY, "-shared", "-fPIC")
    rec = record(spawn, build, tmp_path, pulse.env, "--duration", "1.5", "--library", lib)
    assert rec.wait(10, "mirvo-record") == 0, rec.err
    y4m = (tmp_path / "video.y4m").read_bytes()
    assert y4m[Y4M_HEAD:] == (b"FRAME\n" + b"\x80" * (FRAME - 6)) * 15
    assert len(wav_samples(tmp_path / "audio.wav")) == 2 * 72000
    assert rec.err.decode() == f"mirvo-record: 15 frames, 1.50 s of audio in {tmp_path}\n"


@pytest.mark.parametrize("limit,riff", [(None, b"RIFF"), ("96000", b"RF64")])
def test_wav_past_the_size_limit_becomes_rf64(spawn, build, pulse, tmp_path, limit, riff):
    # MIRVO_RECORD_WAV_LIMIT lowers the 4 GiB limit of a data chunk; 1 s of
    # audio is 192000 bytes.
    env = dict(pulse.env, **({"MIRVO_RECORD_WAV_LIMIT": limit} if limit else {}))
    rec = record(spawn, build, tmp_path, env, "--no-video", "--duration", "1")
    assert rec.wait(10, "mirvo-record") == 0, rec.err
    wav = tmp_path / "audio.wav"
    b = wav.read_bytes()
    assert len(b) == 80 + 192000
    big = riff == b"RF64"
    assert b[:80] == b"".join([
        riff, struct.pack("<I", 0xFFFFFFFF if big else 72 + 192000), b"WAVE",
        b"ds64" if big else b"JUNK", struct.pack("<IQQQI", 28, *((72 + 192000, 192000, 48000, 0)
                                                                 if big else (0, 0, 0, 0))),
        b"fmt ", struct.pack("<IHHIIHH", 16, 1, 2, 48000, 192000, 4, 16),
        b"data", struct.pack("<I", 0xFFFFFFFF if big else 192000)])
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=duration",
                            "-of", "csv=p=0", wav], capture_output=True, text=True)
    assert probe.stdout.strip() == "1.000000"


# Paints the whole root in the colour (hex RRGGBB) of each line it reads and
# answers "ok" once the server has done it.
FLASH = r"""
#include <stdio.h>
#include <stdlib.h>
#include <xcb/xcb.h>
int main(void) {
    xcb_connection_t* c = xcb_connect(NULL, NULL);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    unsigned colour;
    while (scanf("%x", &colour) == 1) {
        xcb_change_window_attributes(c, root, XCB_CW_BACK_PIXEL, &colour);
        xcb_clear_area(c, 0, root, 0, 0, 0, 0);
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
        puts("ok");
        fflush(stdout);
    }
    return 0;
}
"""


class Clapper:
    """A flash on the screen and a click into the sink at the same instant.
    The click goes through a player stream that is already running, fed
    silence through a one-page pipe as fast as it takes it, so neither the
    player's start-up nor a backlog adds to its latency (about 10 ms). An
    idle PulseAudio null sink has rendered up to 2 s ahead, and a new player
    is first heard once that has played out: the clapper waits until its
    player takes data."""

    def __init__(self, spawn, c_host, env):
        self.painter = spawn([c_host(FLASH, "-lxcb")], env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
        self.player = spawn(["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
                             "--channels=2", "--latency-msec=10"], env=env, stdin=subprocess.PIPE)
        fcntl.fcntl(self.player.proc.stdin, fcntl.F_SETPIPE_SZ, 4096)
        self.clicks, self.fed, self.running = 0, 0, True
        self.thread = threading.Thread(target=self._feed)
        self.thread.start()
        deadline = time.monotonic() + 5
        while self.fed < 4096 + 19200:  # the pipe, then 100 ms taken
            assert time.monotonic() < deadline, "the player did not start"
            time.sleep(0.01)

    def _feed(self):
        square = (struct.pack("<hh", 32767, 32767) * 24 + struct.pack("<hh", -32767, -32767) * 24)
        done, fd = 0, self.player.proc.stdin.fileno()
        while self.running:
            if self.clicks > done:  # 20 ms of a 1 kHz full-scale square
                done += 1
                os.write(fd, square * 20)
            self.fed += os.write(fd, bytes(480))

    def clap(self, colour):
        self.painter.proc.stdin.write(f"{colour}\n".encode())
        self.painter.proc.stdin.flush()
        self.clicks += 1
        assert self.painter.proc.stdout.readline() == b"ok\n"

    def close(self):
        self.running = False
        self.thread.join()


def first(values, start, pred):
    return next(i for i in range(start, len(values)) if pred(values[i]))


def onsets(luma, samples, fps):
    """Seconds from the start to the first flash and the first click, and to
    the second of each (after the first by 1 s or more), as two pairs."""
    f1 = first(luma, 0, lambda y: y > 150)
    f2 = first(luma, f1 + fps, lambda y: y < 40)
    loud = lambda s: abs(s) > 20000
    c1 = first(samples, 0, loud)
    c2 = first(samples, c1 + 48000, loud)
    return [(f1 / fps, c1 / 48000), (f2 / fps, c2 / 48000)]


def test_clapperboard_flash_and_click_in_sync(spawn, build, env, c_host, tmp_path):
    fps, secs = 60, 4
    clapper = Clapper(spawn, c_host, env)
    try:
        rec = spawn([build.record, "--size", f"{W}x{H}", "--fps", fps, "--duration", secs,
                     "--out", tmp_path], env=env)
        head = Y4M_HEAD - len(str(FPS)) + len(str(fps))
        wait_until(lambda: size(tmp_path / "video.y4m") > head, rec)
        time.sleep(0.5)
        clapper.clap("ffffff")  # the red quadrant turns white
        time.sleep(2)
        clapper.clap("000000")  # and black
        assert rec.wait(30, "mirvo-record") == 0, rec.err
    finally:
        clapper.close()
    # The two files: the top left quadrant's centre, every left sample.
    y4m = (tmp_path / "video.y4m").read_bytes()[head:]
    frame = 6 + nv12_bytes(W, H)
    luma = [y4m[i * frame + 6 + (H // 4) * W + W // 4] for i in range(fps * secs)]
    samples = wav_samples(tmp_path / "audio.wav")
    pairs = {"wav/y4m": onsets(luma, samples[0::2], fps)}
    # recording.mp4, decoded.
    decode = lambda *a: subprocess.run(["ffmpeg", "-v", "error", "-i", tmp_path / "recording.mp4",
                                        *a, "-"], capture_output=True, check=True).stdout
    gray = decode("-map", "0:v", "-f", "rawvideo", "-pix_fmt", "gray")
    luma = list(gray[(H // 4) * W + W // 4::W * H])
    pcm = array.array("h", decode("-map", "0:a", "-f", "s16le", "-ac", "1"))
    pairs["mp4"] = onsets(luma, pcm, fps)
    # 40 ms, plus the measurement's own allowance where it acts: a flash is
    # seen by the capture up to 1/fps late and shows from the next frame on
    # the 1/fps grid, so it can only look later. The click's own latency
    # (about 10 ms) makes it look later and counts against the 40 ms.
    print("flash - click offsets, s:", {k: [round(f - c, 4) for f, c in v]
                                        for k, v in pairs.items()})
    assert (len(y4m), len(samples)) == (fps * secs * frame, 2 * 48000 * secs)
    for name, onset in pairs.items():
        for flash, click in onset:
            assert -0.040 <= flash - click <= 0.040 + 2 / fps, (name, onset)


def test_readme_frame_pipe_lasts_its_frames_on_a_still_screen(spawn, build, c_host, tmp_path):
    # The README's pipe from the Python example into ffmpeg, as written there,
    # with a screen library that sends one frame and then nothing.
    readme = (build.root / "README.md").read_text()
    pipe = re.search(r"```sh\n(python3 examples/python/read_frames.py .*?out\.mp4)\n```", readme,
                     re.S).group(1)
    lib = c_host(STILL_LIBRARY, "-shared", "-fPIC")
    pipe = (pipe.replace("build/screen/libmirvo_sck.so", str(lib))
            .replace("examples/", f"{build.root}/examples/").replace("ffmpeg", "ffmpeg -v error"))
    run = spawn(["bash", "-c", pipe], cwd=tmp_path)
    assert run.wait(15, "the pipe") == 0, run.err
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                            "stream=nb_read_frames,duration", "-of", "csv=p=0",
                            tmp_path / "out.mp4"], capture_output=True, text=True)
    frames = int(re.search(r"--frames (\d+)", pipe).group(1))
    rate = int(re.search(r"-r (\d+)", pipe).group(1))
    assert probe.stdout.split() == [f"{frames / rate:.6f},{frames}"]
