# The library on Linux against a private Xvfb, from a host's side: the
# picture and its bars, sizes and rates the X11 binding serves, frames on
# change, a screen that changes size or monitors, displays it cannot
# capture, a reader that goes away, a server that stops answering or is
# killed, start/stop cycles, and threads that cannot be created.
import os
import signal
import subprocess
import time

import pytest

from conftest import (BLACK, BLUE, CYCLES, GREEN, WHITE, RED, colours, drain, frame_showing,
                      nv12_bytes, pixel, quadrants, read_exactly, send, stop_and_end,
                      wait_for_line)

INT32_MAX = 2**31 - 1


@pytest.fixture
def host(screen_host, xvfb):
    return lambda w, h, fps: screen_host(xvfb.env, w, h, fps)


# Runs the painter once (no redrawing child) on the server.
def paint(build, xvfb, *args):
    subprocess.run([build.painter, *map(str, args)], env=dict(xvfb.env, MIRVO_PAINT_REDRAW="0"),
                   check=True, timeout=30)


def xrandr(xvfb, *args):
    subprocess.run(["xrandr", *map(str, args)], env=xvfb.env, check=True, timeout=30)


# Asked for before xvfb: its server shows a picture nothing redraws.
@pytest.fixture
def still(monkeypatch):
    monkeypatch.setenv("MIRVO_PAINT_REDRAW", "0")


# 1920x1080 into 320x240: the picture 320x180 on rows 30..209, black bars
# (luma and chroma) above and below; the same through MIT-SHM and without it.
@pytest.mark.parametrize("xvfb", [(), ("-extension", "MIT-SHM")], ids=["shm", "no-shm"],
                         indirect=True)
def test_picture_between_bars_and_stop_ends_the_stream_in_whole_frames(host, xvfb):
    child, r, line = host(320, 240, 30)
    assert line == b"0 \n"
    expect = {**quadrants(0, 30, 320, 180), (40, 29): BLACK, (40, 30): RED, (280, 209): WHITE,
              (280, 210): BLACK}
    assert colours(read_exactly(r, nv12_bytes(320, 240), 10), 320, 240, expect) == expect
    stop_and_end(child, r, nv12_bytes(320, 240))
    assert child.err == b""


SIZE = "the frame size {w}x{h} is larger than this platform serves (16384x16384)"
DEPTH = 'unsupported pixel layout on X display "{display}" (depth %d)'


# Starts the library cannot serve fail with one line and result 1: sizes
# above the ceiling and servers whose root is not 24 bits deep (after the
# sink took the descriptor), no server at all (the descriptor stays the
# host's). The ceiling itself is served.
@pytest.mark.parametrize("xvfb, w, h, display, line, message", [
    ((), INT32_MAX, INT32_MAX, None, b"1 False\n", SIZE),
    ((), 16385, 480, None, b"1 False\n", SIZE),
    ((), 640, 16385, None, b"1 False\n", SIZE),
    ((), 16384, 2, None, b"0 \n", ""),
    *[(("-screen", "0", f"640x480x{d}"), 640, 360, None, b"1 False\n", DEPTH % d) for d in (16, 8, 30)],
    ((), 640, 360, ":unused", b"1 True\n", 'cannot open X display ":unused"'),
], ids=["max", "wide", "tall", "ceiling", "depth16", "depth8", "depth30", "no-server"],
    indirect=["xvfb"])
def test_a_start_it_cannot_serve_fails_with_one_line(screen_host, xvfb, w, h, display, line,
                                                      message):
    env = dict(xvfb.env, DISPLAY=display or xvfb.display)
    child, r, got = screen_host(env, w, h, 30)
    assert got == line
    if line == b"0 \n":
        assert len(read_exactly(r, nv12_bytes(w, h), 10)) == nv12_bytes(w, h)
        send(child, "stop")
    send(child, "exit")
    assert child.wait(10, "the host") == 0
    assert child.err.decode() == (message and "sck-video: " + message.format(
        w=w, h=h, display=env["DISPLAY"]) + "\n")


# A mode of 2000 x 1100 pixel clocks at 44 MHz shows 20 pictures a second;
# the server's own mode gives no timings, and the ceiling is then 60.
@pytest.mark.parametrize("refresh", [None, 20])
def test_rate_is_capped_at_the_monitors_refresh(host, xvfb, refresh):
    if refresh:
        xrandr(xvfb, "--newmode", "m20", 44, 1920, 1930, 1940, 2000, 1080, 1085, 1090, 1100)
        xrandr(xvfb, "--addmode", "screen", "m20")
        xrandr(xvfb, "--output", "screen", "--mode", "m20")
    child, r, line = host(320, 240, INT32_MAX)
    assert line == b"0 \n"
    frames = len(read_exactly(r, 1 << 30, 3.0)) // nv12_bytes(320, 240)
    cap = refresh or 60
    assert cap <= frames <= cap * 3 * 1.25, frames
    stop_and_end(child, r)


def test_frames_come_on_change_and_never_above_fps(still, build, host, xvfb):
    child, r, line = host(320, 240, 10)
    assert line == b"0 \n"
    frame = nv12_bytes(320, 240)
    assert len(read_exactly(r, frame, 10)) == frame
    assert read_exactly(r, 1, 1.0) == b""  # a still screen: nothing after the first
    paint(build, xvfb, 0, 0, 960, 540, "0000ff")
    assert pixel(read_exactly(r, frame, 3), 320, 240, 80, 75) == BLUE
    paint(build, xvfb, 480, 270)  # the pointer, drawn in the frames, onto the blue
    assert pixel(read_exactly(r, frame, 3), 320, 240, 80, 75) != BLUE
    painter = subprocess.Popen([build.painter, "0", "0", "64", "64", "500"], env=xvfb.env)
    try:
        t0 = time.monotonic()
        frames = len(read_exactly(r, 1 << 30, 2.0)) // frame
        seconds = time.monotonic() - t0
    finally:
        painter.kill()
        painter.wait()
    assert 5 <= frames <= seconds * 10 + 2, frames
    stop_and_end(child, r)


# The server's own mode is 1920x1080; xrandr switches it to modes of other
# sizes (their timings do not matter), then back. Before each switch the
# screen is painted black (and seen so), after it the painter paints four
# quadrants of the new size: frames of 640x480 keep coming with that
# picture, fitted anew.
def test_frames_follow_the_display_through_size_changes(build, host, xvfb):
    child, r, line = host(640, 480, 30)
    assert line == b"0 \n"
    for sw, sh, x, y, pw, ph in [(1280, 720, 0, 60, 640, 360), (1080, 1080, 80, 0, 480, 480),
                                 (1920, 1080, 0, 60, 640, 360)]:
        paint(build, xvfb, 0, 0, 16000, 16000, "000000")
        assert frame_showing(r, 640, 480, {(320, 240): BLACK}, 5)
        name = f"m{sw}x{sh}" if (sw, sh) != (1920, 1080) else "1920x1080"
        if (sw, sh) != (1920, 1080):
            xrandr(xvfb, "--newmode", name, 60, sw, sw + 8, sw + 16, sw + 24, sh, sh + 1, sh + 2,
                   sh + 3)
            xrandr(xvfb, "--addmode", "screen", name)
        xrandr(xvfb, "--output", "screen", "--mode", name)
        paint(build, xvfb)
        assert frame_showing(r, 640, 480, quadrants(x, y, pw, ph), 5), (sw, sh)
    stop_and_end(child, r)
    assert child.err == b""


# The right half of the screen as a monitor of its own is listed first, so
# it is what the library captures. A monitor added or removed beside it
# changes nothing; once it is removed itself, the capture ends with one line.
def test_capture_follows_its_monitor_until_it_is_removed(build, host, xvfb):
    xrandr(xvfb, "--setmonitor", "right", "960/254x1080/286+960+0", "none")
    child, r, line = host(480, 540, 30)
    assert line == b"0 \n"
    frame = nv12_bytes(480, 540)
    expect = {(360, 135): GREEN, (360, 405): WHITE}
    assert colours(read_exactly(r, frame, 10), 480, 540, expect) == expect
    xrandr(xvfb, "--setmonitor", "left", "960/254x1080/286+0+0", "none")
    xrandr(xvfb, "--delmonitor", "left")
    paint(build, xvfb, 960, 0, 960, 540, "0000ff")
    assert frame_showing(r, 480, 540, {(240, 135): BLUE}, 5)
    assert child.err == b""
    xrandr(xvfb, "--delmonitor", "right")
    wait_for_line(child, r)
    assert child.err == f'sck-video: the display is no longer on X display "{xvfb.display}"\n'.encode()
    stop_and_end(child, r)


# A host whose first 320x240 frame has arrived.
def streaming(host):
    child, r, line = host(320, 240, 30)
    assert line == b"0 \n"
    assert len(read_exactly(r, nv12_bytes(320, 240), 10)) == nv12_bytes(320, 240)
    return child, r


def test_killed_server_gives_one_line_and_stop_still_closes(host, xvfb):
    child, r = streaming(host)
    os.kill(xvfb.pid(), signal.SIGKILL)
    wait_for_line(child, r)
    assert child.err == f'sck-video: lost the connection to X display "{xvfb.display}"\n'.encode()
    stop_and_end(child, r)


# CPU seconds of the process and voluntary context switches of all its threads.
def cpu_and_wakeups(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    switches = sum(int(line.split()[1]) for task in os.listdir(f"/proc/{pid}/task")
                   for line in open(f"/proc/{pid}/task/{task}/status")
                   if line.startswith("voluntary_ctxt_switches:"))
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), switches


# A reader that stops reading: once the pipe is full and every buffer is
# held, the capture waits for one to come back instead of polling for it.
def test_stalled_reader_costs_no_cpu_and_no_wakeups(host):
    child, r, line = host(320, 240, INT32_MAX)
    assert line == b"0 \n"
    time.sleep(1)
    cpu0, woke0 = cpu_and_wakeups(child.pid)
    time.sleep(2)
    cpu1, woke1 = cpu_and_wakeups(child.pid)
    assert cpu1 - cpu0 < 0.1 and woke1 - woke0 <= 4, (cpu1 - cpu0, woke1 - woke0)
    stop_and_end(child, r)


def test_stop_closes_the_descriptor_while_the_server_is_stopped(host, xvfb):
    child, r = streaming(host)
    os.kill(xvfb.pid(), signal.SIGSTOP)
    time.sleep(0.3)  # the capture thread now waits on the server
    send(child, "stop")
    assert drain(r, 3)[1]
    os.kill(xvfb.pid(), signal.SIGCONT)
    send(child, "exit")
    assert child.wait(10, "the host") == 0
    assert child.err == b""


# The reader closes its end mid-stream: the host lives whether SIGPIPE is
# ignored or not, the descriptor stays open while frames fail to write, and
# stop closes it.
READER_GOES = """
signal = __import__("signal")
signal.signal(signal.SIGPIPE, getattr(signal, sys.argv[1]))
r, w = os.pipe()
assert lib.mirvo_sck_start(320, 240, 30, w) == 0 and os.read(r, 1)
os.close(r)
time.sleep(1.5)
print(os.path.exists(f"/proc/self/fd/{w}"), end=" ")
lib.mirvo_sck_stop()
t = time.monotonic()
while os.path.exists(f"/proc/self/fd/{w}") and time.monotonic() < t + 5:
    time.sleep(0.05)
print(os.path.exists(f"/proc/self/fd/{w}"), flush=True)
"""


@pytest.mark.parametrize("sigpipe", ["SIG_DFL", "SIG_IGN"])
def test_reader_closing_early_leaves_the_host_alive_and_stop_closes(py_host, xvfb, sigpipe):
    child = py_host(READER_GOES, xvfb.env, (sigpipe,))
    assert child.wait(20, "the host") == 0
    assert (child.out, child.err) == (b"True False\n", b"")


def test_start_stop_cycles_leave_no_descriptors_or_threads_behind(py_host, xvfb):
    child = py_host(CYCLES, xvfb.env, (30,))
    assert child.wait(60, "the cycles") == 0, child.err
    assert child.out.startswith(b"True "), child.out


def test_the_library_exports_exactly_its_two_functions(build):
    nm = subprocess.run(["nm", "-D", "--defined-only", build.library], capture_output=True,
                        text=True, check=True, timeout=30)
    assert sorted(line.split()[-1] for line in nm.stdout.splitlines()) == [
        "mirvo_sck_start", "mirvo_sck_stop"]


# Loaded before the library into a host: pthread_create fails with EAGAIN
# from the call numbered $MIRVO_FAIL_FROM on.
FAILING_THREADS = r"""
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
static int calls;
int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg) {
    int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    *(void **)&real = dlsym(RTLD_NEXT, "pthread_create");
    if (__atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST) >= atoi(getenv("MIRVO_FAIL_FROM")))
        return EAGAIN;
    return real(t, a, f, arg);
}
"""


@pytest.mark.parametrize("n, line", [
    (1, b"1 True\n"),   # the start task
    (2, b"1 True\n"),   # listing the displays
    (3, b"1 False\n"),  # the sample queue, after the sink took the descriptor
    (4, b"1 False\n"),  # the capture thread
    (5, b"0 \n"),       # none fails: a start makes four threads
])
def test_start_that_cannot_create_a_thread_fails_with_one_line(c_host, screen_host, xvfb, n, line):
    preload = c_host(FAILING_THREADS, "-shared", "-fPIC")
    child, r, got = screen_host(dict(xvfb.env, LD_PRELOAD=str(preload),
                                                 MIRVO_FAIL_FROM=str(n)), 640, 360, 30)
    assert got == line
    send(child, "exit")
    assert child.wait(10, "the host") == 0
    assert child.err == (b"sck-video: Resource temporarily unavailable\n" if n < 5 else b"")
