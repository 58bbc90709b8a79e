# mirvo-record as a user runs it, on private servers: how a recording ends
# and with which status when a deliverable stalls, fails or is stopped.
import os
import re
import signal
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
    ("exec sleep 30", 0, "mirvo-record: 0 frames, 0.00 s of audio in {out}"),
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
