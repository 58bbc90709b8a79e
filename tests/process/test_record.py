# mirvo-record as a user runs it, on private servers: how a recording ends
# and with which status when a deliverable stalls, fails, dies or is stopped,
# or a file cannot be written; bad options; one stream alone; sound and
# picture in step, the files' lengths, colours and WAV header.
import array
import fcntl
import os
import pathlib
import re
import resource
import signal
import struct
import subprocess
import threading
import time

import pytest

from conftest import BLUE, GREEN, RED, WHITE, nv12_bytes, send

W, H, FPS = 160, 90, 10
Y4M = f"YUV4MPEG2 W{W} H{H} F{FPS}:1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED\n".encode()
Y4M_HEAD = len(Y4M)
FRAME = 6 + nv12_bytes(W, H)


def record(spawn, build, out, env, *args, mp4=False, **kw):
    return spawn([build.record, "--size", f"{W}x{H}", "--fps", FPS, "--out", out,
                  *([] if mp4 else ["--no-mp4"]), *args], env=env, **kw)


# ffprobe's view of each stream of path: key=value|... lines.
def streams(path, entries):
    return subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                           f"stream={entries}", "-of", "compact=p=0", path],
                          capture_output=True, text=True).stdout.splitlines()


# Guard: pred() becomes true while child still runs.
def wait_until(pred, child, timeout=10):
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


def test_audio_program_killed_mid_recording_leaves_both_files_readable(
        spawn, build, env, tmp_path):
    rec = record(spawn, build, tmp_path, env)
    wait_until(lambda: size(tmp_path / "video.y4m") >= Y4M_HEAD + 2 * FRAME and
               size(tmp_path / "audio.wav") > 80, rec)
    children = pathlib.Path(f"/proc/{rec.pid}/task").glob("*/children")
    os.kill(int(" ".join(c.read_text() for c in children).split()[0]), signal.SIGKILL)
    assert rec.wait(5, "mirvo-record") == 1
    assert rec.err.decode().splitlines() == [
        f"mirvo-record: {build.audio} ended with killed by signal Killed"]
    wav = (tmp_path / "audio.wav").read_bytes()
    riff, data = struct.unpack_from("<I", wav, 4)[0], struct.unpack_from("<I", wav, 76)[0]
    assert (riff, data, data % 4) == (len(wav) - 8, len(wav) - 80, 0)
    frames, rest = divmod(size(tmp_path / "video.y4m") - Y4M_HEAD, FRAME)
    assert rest == 0 and frames >= 2 and abs(frames / FPS - data / 192000) <= 0.5 / FPS


@pytest.mark.parametrize("args,message", [
    *[(["--duration", v], f"bad duration: {v} (seconds, more than 0, at most 1e9)")
      for v in ["nan", "inf", "-inf", "0", "-1", "1e10", "1x"]],
    *[(["--size", v], f"bad size: {v} (WxH, each 2 to 16384)")
      for v in ["1x90", "160x16385", "160x", "160x90x"]],
    (["-r", "x"], "bad frame rate: x"),
    *[(["--fps", v], "frame rate must be a whole number 1 to 240") for v in ["0", "241", "2.5"]],
    (["--out"], "--out needs a value"),
    (["--bogus"], "unknown option --bogus"),
    (["--no-audio", "--no-video"], "nothing to record"),
])
def test_bad_command_line_shows_why_and_the_usage_and_exits_2(spawn, build, tmp_path, args,
                                                               message):
    usage = subprocess.run([build.record, "--help"], capture_output=True, text=True).stdout
    rec = spawn([build.record, "--out", tmp_path / "out", *args])
    assert rec.wait(5, "mirvo-record") == 2
    assert rec.err.decode() == f"mirvo-record: {message}\n{usage}"
    assert not (tmp_path / "out").exists()


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past it fail with EFBIG


@pytest.mark.parametrize("args,unset,link,fsize,lines", [
    (["--no-video"], {"PULSE_SERVER": "unix:/nonexistent"}, None, False,
     ["mirvo-record: {audio} ended with exit status 1: pelko: CreateProcessTap 1937010544"]),
    (["--no-audio"], {"DISPLAY": None}, None, False,
     ['sck-video: cannot open X display ""',
      "mirvo-record: the screen library failed to start (result 1)"]),
    (["--out", "/dev/full/x"], {}, None, False,
     ["mirvo-record: cannot create /dev/full/x: Not a directory"]),
    ([], {}, "audio.wav", False, ["mirvo-record: cannot write {out}/audio.wav"]),
    ([], {}, "video.y4m", False, ["mirvo-record: cannot write {out}/video.y4m"]),
    (["--no-video"], {}, None, True, ["mirvo-record: writing the recording failed (disk full?)"]),
    (["--no-audio"], {}, None, True, ["mirvo-record: writing the recording failed (disk full?)"]),
], ids=["no-sound-server", "no-x-server", "out-not-a-dir", "wav-on-dev-full", "y4m-on-dev-full",
        "wav-past-size-limit", "y4m-past-size-limit"])
def test_a_recording_that_cannot_be_made_exits_1_with_one_reason(
        spawn, build, env, tmp_path, args, unset, link, fsize, lines):
    out = tmp_path / "out"
    if link:
        out.mkdir()
        (out / link).symlink_to("/dev/full")
    env = {k: v for k, v in dict(env, **unset).items() if v is not None}
    rec = record(spawn, build, out, env, "--duration", "1", *args,
                 preexec_fn=limit_file_size if fsize else None)
    assert rec.wait(10, "mirvo-record") == 1
    assert rec.err.decode().splitlines() == [l.format(audio=build.audio, out=out) for l in lines]


# The samples of a RIFF WAV (80-byte header) as one array, L R L R ...
def wav_samples(path):
    return array.array("h", path.read_bytes()[80:])


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
static void* run(void* frame) {
    for (size_t done = 0; done < size;) done += write(out, (char*)frame + done, size - done);
    while (!__atomic_load_n(&stopped, __ATOMIC_SEQ_CST)) usleep(1000);
    return (void*)(intptr_t)close(out);
}
int32_t mirvo_sck_start(int32_t w, int32_t h, int32_t fps, int32_t fd) {
    pthread_t t;
    size = (size_t)(w & ~1) * (h & ~1) * 3 / 2;
    out = fd;
    return pthread_create(&t, NULL, run, memset(malloc(size), 0x80, size));
}
void mirvo_sck_stop(void) { __atomic_store_n(&stopped, 1, __ATOMIC_SEQ_CST); }
"""


def test_still_screen_fills_every_frame_and_the_duration(spawn, build, pulse, c_host, tmp_path):
    lib = c_host(STILL_LIBRARY, "-shared", "-fPIC")
    rec = record(spawn, build, tmp_path, pulse.env, "--duration", "1.5", "--library", lib)
    assert rec.wait(10, "mirvo-record") == 0, rec.err
    y4m = (tmp_path / "video.y4m").read_bytes()
    assert y4m == Y4M + (b"FRAME\n" + b"\x80" * (FRAME - 6)) * 15
    assert len(wav_samples(tmp_path / "audio.wav")) == 2 * 72000
    assert rec.err.decode() == f"mirvo-record: 15 frames, 1.50 s of audio in {tmp_path}\n"


@pytest.mark.parametrize("limit,riff", [(None, b"RIFF"), ("96000", b"RF64")])
def test_no_video_records_the_sound_alone_rf64_past_the_limit(spawn, build, pulse, tmp_path,
                                                              limit, riff):
    # MIRVO_RECORD_WAV_LIMIT lowers the 4 GiB limit of a data chunk; 1 s of
    # audio is 192000 bytes.
    env = dict(pulse.env, **({"MIRVO_RECORD_WAV_LIMIT": limit} if limit else {}))
    rec = record(spawn, build, tmp_path, env, "--no-video", "--duration", "1", mp4=True)
    assert rec.wait(30, "mirvo-record") == 0, rec.err
    assert rec.err.decode() == f"mirvo-record: 0 frames, 1.00 s of audio in {tmp_path}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["audio.wav", "recording.mp4"]
    assert streams(tmp_path / "recording.mp4", "codec_type,codec_name,sample_rate,channels") == [
        "codec_name=aac|codec_type=audio|sample_rate=48000|channels=2"]
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
    assert streams(wav, "duration") == ["duration=1.000000"]


def test_no_audio_records_the_picture_alone_until_sigint(spawn, build, xvfb, tmp_path):
    rec = record(spawn, build, tmp_path, xvfb.env, "--no-audio", mp4=True)
    wait_until(lambda: size(tmp_path / "video.y4m") >= Y4M_HEAD + 3 * FRAME, rec)
    rec.signal(signal.SIGINT)
    assert rec.wait(30, "mirvo-record") == 0, rec.err
    n = int(re.fullmatch(rf"mirvo-record: (\d+) frames, 0.00 s of audio in {tmp_path}\n",
                         rec.err.decode()).group(1))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["recording.mp4", "video.y4m"]
    entries = "codec_type,codec_name,width,height,color_range,color_space,nb_read_frames"
    assert streams(tmp_path / "recording.mp4", entries) == [
        f"codec_name=h264|codec_type=video|width={W}|height={H}|color_range=tv|"
        f"color_space=bt709|nb_read_frames={n}"]
    y4m = (tmp_path / "video.y4m").read_bytes()
    assert n >= 2 and len(y4m) == Y4M_HEAD + n * FRAME
    # Planar 4:2:0: each quadrant's centre in Y, Cb and Cr.
    want = {(W // 4, H // 4): RED, (3 * W // 4, H // 4): GREEN, (W // 4, 3 * H // 4): BLUE,
            (3 * W // 4, 3 * H // 4): WHITE}
    for f in range(Y4M_HEAD, len(y4m), FRAME):
        y, cb, cr = (y4m[f + 6 + o:] for o in (0, W * H, W * H * 5 // 4))
        c = lambda x, yy: yy // 2 * W // 2 + x // 2
        got = {(x, yy): (y[yy * W + x], cb[c(x, yy)], cr[c(x, yy)]) for x, yy in want}
        assert (y4m[f:f + 6], got) == (b"FRAME\n", want)


def test_progress_line_on_a_terminal(spawn, build, pulse, tmp_path):
    run = spawn(["script", "-qec", f"{build.record} --no-video --duration 1 --no-mp4 "
                 f"--out {tmp_path}", "/dev/null"], env=pulse.env)
    assert run.wait(15, "mirvo-record") == 0, run.out
    assert re.search(rb"\r\x1b\[K00:0[01]  frames 0  audio [01]\.\d\d s  0\.\d MB", run.out)


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


# A flash on the screen and a click into the sink at the same instant. The
# click goes through a player stream that is already running, fed silence
# through a one-page pipe as fast as it takes it, so neither the player's
# start-up nor a backlog adds to its latency (about 10 ms). An idle
# PulseAudio null sink has rendered up to 2 s ahead, and a new player is
# first heard once that has played out: the clapper waits until its player
# takes data.
class Clapper:

    def __init__(self, spawn, c_host, env):
        self.painter = spawn([c_host(FLASH, "-lxcb")], env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
        self.player = spawn(["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
                             "--channels=2", "--latency-msec=10"], env=env, stdin=subprocess.PIPE)
        fcntl.fcntl(self.player.proc.stdin, fcntl.F_SETPIPE_SZ, 4096)
        self.clicks, self.fed, self.running = 0, 0, True
        self.thread = threading.Thread(target=self._feed)
        self.thread.start()
        wait_until(lambda: self.fed >= 4096 + 19200, self.player)  # the pipe, then 100 ms taken

    def _feed(self):
        # Left only: swapped channels lose the click.
        square = (struct.pack("<hh", 32767, 0) * 24 + struct.pack("<hh", -32767, 0) * 24)
        done, fd = 0, self.player.proc.stdin.fileno()
        while self.running:
            if self.clicks > done:  # 20 ms of a 1 kHz full-scale square
                done += 1
                os.write(fd, square * 20)
            self.fed += os.write(fd, bytes(480))

    def clap(self, colour):
        send(self.painter, colour)
        self.clicks += 1
        assert self.painter.proc.stdout.readline() == b"ok\n"

    def close(self):
        self.running = False
        self.thread.join()


def first(values, start, pred):
    return next(i for i in range(start, len(values)) if pred(values[i]))


# Seconds from the start to the first flash and the first click, and to the
# second of each (after the first by 1 s or more), as two pairs.
def onsets(luma, samples, fps):
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
    luma = [y4m[i * FRAME + 6 + (H // 4) * W + W // 4] for i in range(fps * secs)]
    samples = wav_samples(tmp_path / "audio.wav")
    pairs = {"wav/y4m": onsets(luma, samples[0::2], fps)}
    # recording.mp4, decoded.
    decode = lambda *a: subprocess.run(["ffmpeg", "-v", "error", "-i", tmp_path / "recording.mp4",
                                        *a, "-"], capture_output=True, check=True).stdout
    gray = decode("-map", "0:v", "-f", "rawvideo", "-pix_fmt", "gray")
    luma = list(gray[(H // 4) * W + W // 4::W * H])
    pcm = array.array("h", decode("-map", "0:a", "-f", "s16le"))[0::2]
    pairs["mp4"] = onsets(luma, pcm, fps)
    # 40 ms, plus the measurement's own allowance where it acts: a flash is
    # seen by the capture up to 1/fps late and shows from the next frame on
    # the 1/fps grid, so it can only look later. The click's own latency
    # (about 10 ms) makes it look later and counts against the 40 ms.
    assert (len(y4m), len(samples)) == (fps * secs * FRAME, 2 * 48000 * secs)
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
    frames = int(re.search(r"--frames (\d+)", pipe).group(1))
    rate = int(re.search(r"-r (\d+)", pipe).group(1))
    assert streams(tmp_path / "out.mp4", "nb_read_frames,duration") == [
        f"duration={frames / rate:.6f}|nb_read_frames={frames}"]
