# The library on Linux against a private Xvfb, from a host's side: sizes and
# rates the X11 binding serves, frames on change, a screen that changes size
# or monitors, a reader that stalls, a server that stops answering, and
# threads that cannot be created.
import os
import signal
import subprocess
import time

import pytest

from conftest import (BLACK, BLUE, GREEN, RED, WHITE, nv12_bytes, pixel, read_exactly, send,
                      wait_eof)

INT32_MAX = 2**31 - 1

# Starts a capture into the descriptor argv[1], prints the result, then
# obeys standard input: "stop" calls mirvo_sck_stop, "exit" ends the host.
HOST = """
fd, w, h, fps = map(int, sys.argv[1:5])
print(lib.mirvo_sck_start(w, h, fps, fd), flush=True)
for line in sys.stdin:
    if line == "stop\\n":
        lib.mirvo_sck_stop()
    elif line == "exit\\n":
        break
"""


@pytest.fixture
def host(py_host, xvfb):
    """Starts HOST on a fresh pipe; returns (child, read end, start result)."""
    ends = []

    def start(w, h, fps):
        r, w_end = os.pipe()
        ends.append(r)
        child = py_host(HOST, xvfb.env, (w_end, w, h, fps), stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, pass_fds=(w_end,))
        os.close(w_end)
        result = read_exactly(child.proc.stdout.fileno(), 2, 20)
        return child, r, result

    yield start
    for r in ends:
        os.close(r)




def end(child):
    send(child, "exit")
    assert child.wait(10, "the host") == 0


def paint(build, xvfb, *args):
    """Runs the painter once (no redrawing child) on the server."""
    subprocess.run([build.painter, *map(str, args)], env=dict(xvfb.env, MIRVO_PAINT_REDRAW="0"),
                   check=True, timeout=30)


@pytest.fixture
def still(monkeypatch):
    """Asked for before xvfb: its server shows a picture nothing redraws."""
    monkeypatch.setenv("MIRVO_PAINT_REDRAW", "0")






def quadrants(frame, w, h, x, y, pw, ph):
    """The colours in the picture's quadrants (off their centres, where a
    shrunk screen keeps its pointer) and at the centre of its bars."""
    got = [pixel(frame, w, h, x + pw * i // 4 - pw // 16, y + ph * j // 4 - ph // 16)
           for j in (1, 3) for i in (1, 3)]
    return got + [pixel(frame, w, h, x // 2, y // 2)] if x or y else got


def frame_where(r, w, h, ok, timeout):
    """The first frame for which ok(frame) holds, or None."""
    deadline = time.monotonic() + timeout
    while (left := deadline - time.monotonic()) > 0:
        frame = read_exactly(r, nv12_bytes(w, h), left)
        if len(frame) < nv12_bytes(w, h):
            return None
        if ok(frame):
            return frame
    return None


@pytest.mark.parametrize("w, h, ok", [
    (INT32_MAX, INT32_MAX, False),
    (16385, 480, False),
    (640, 16385, False),
    (16384, 2, True),
])
def test_sizes_beyond_the_ceiling_fail_the_start_and_close_the_descriptor(host, w, h, ok):
    child, r, result = host(w, h, 30)
    if ok:
        assert result == b"0\n"
        assert len(read_exactly(r, nv12_bytes(w, h), 10)) == nv12_bytes(w, h)
        send(child, "stop")
    else:
        assert result == b"1\n"
    assert wait_eof(r, 5)
    end(child)
    assert child.err == (b"" if ok else
                         f"sck-video: the frame size {w}x{h} is larger than this platform "
                         f"serves (16384x16384)\n".encode())


# A mode of 2000 x 1100 pixel clocks at 44 MHz shows 20 pictures a second;
# the server's own mode gives no timings, and the ceiling is then 60.
@pytest.mark.parametrize("refresh", [None, 20])
def test_rate_is_capped_at_the_monitors_refresh(host, xvfb, refresh):
    if refresh:
        for args in (["--newmode", "m20", "44", "1920", "1930", "1940", "2000", "1080", "1085",
                      "1090", "1100"], ["--addmode", "screen", "m20"],
                     ["--output", "screen", "--mode", "m20"]):
            subprocess.run(["xrandr", *args], env=xvfb.env, check=True, timeout=30)
    child, r, result = host(320, 240, INT32_MAX)
    assert result == b"0\n"
    frames = len(read_exactly(r, 1 << 30, 3.0)) // nv12_bytes(320, 240)
    cap = refresh or 60
    assert cap <= frames <= cap * 3 * 1.25, frames
    send(child, "stop")
    assert wait_eof(r, 5)
    end(child)


def test_frames_come_on_change_and_never_above_fps(still, build, host, xvfb):
    child, r, result = host(320, 240, 10)
    assert result == b"0\n"
    frame = nv12_bytes(320, 240)
    assert quadrants(read_exactly(r, frame, 10), 320, 240, 0, 30, 320, 180) == [
        RED, GREEN, BLUE, WHITE, BLACK]
    assert read_exactly(r, 1, 1.0) == b""  # a still screen: nothing after the first
    paint(build, xvfb, 0, 0, 960, 540, "0000ff")
    assert pixel(read_exactly(r, frame, 3), 320, 240, 80, 75) == BLUE
    paint(build, xvfb, 480, 270)  # the pointer, drawn in the frames, onto the blue
    assert pixel(read_exactly(r, frame, 3), 320, 240, 80, 75) != BLUE
    painter = subprocess.Popen([build.painter, "0", "0", "64", "64", "500"], env=xvfb.env)
    try:
        frames = len(read_exactly(r, 1 << 30, 2.0)) // frame
    finally:
        painter.kill()
        painter.wait()
    assert 5 <= frames <= 10 * 2 * 1.25 + 1, frames
    send(child, "stop")
    assert wait_eof(r, 5)
    end(child)


# The server's own mode is 1920x1080; xrandr switches it to modes of other
# sizes (their timings do not matter), then back. Before each switch the
# screen is painted black (and seen so), after it the painter paints four
# quadrants of the new size: frames of 640x480 keep coming with that
# picture, fitted anew.
@pytest.mark.parametrize("steps", [[(1280, 720, 0, 60, 640, 360), (1080, 1080, 80, 0, 480, 480),
                                    (1920, 1080, 0, 60, 640, 360)]])
def test_frames_follow_the_display_through_size_changes(build, host, xvfb, steps):
    child, r, result = host(640, 480, 30)
    assert result == b"0\n"
    for sw, sh, x, y, pw, ph in steps:
        paint(build, xvfb, 0, 0, 16000, 16000, "000000")
        assert frame_where(r, 640, 480, lambda f: pixel(f, 640, 480, 320, 240) == BLACK, 5)
        name = f"m{sw}x{sh}"
        if (sw, sh) != (1920, 1080):
            for args in (["--newmode", name, "60", sw, sw + 8, sw + 16, sw + 24, sh, sh + 1,
                          sh + 2, sh + 3], ["--addmode", "screen", name]):
                subprocess.run(["xrandr", *map(str, args)], env=xvfb.env, check=True, timeout=30)
        subprocess.run(["xrandr", "--output", "screen", "--mode",
                        name if (sw, sh) != (1920, 1080) else "1920x1080"],
                       env=xvfb.env, check=True, timeout=30)
        paint(build, xvfb)
        want = [RED, GREEN, BLUE, WHITE] + ([BLACK] if x or y else [])
        assert frame_where(r, 640, 480, lambda f: quadrants(f, 640, 480, x, y, pw, ph) == want,
                           5), (sw, sh)
    send(child, "stop")
    assert wait_eof(r, 5)
    end(child)
    assert child.err == b""


# The right half of the screen as a monitor of its own is listed first, so
# it is what the library captures. A monitor added or removed beside it
# changes nothing; once it is removed itself, the capture ends with one line.
def test_capture_follows_its_monitor_until_it_is_removed(build, host, xvfb):
    def xrandr(*args):
        subprocess.run(["xrandr", *args], env=xvfb.env, check=True, timeout=30)

    xrandr("--setmonitor", "right", "960/254x1080/286+960+0", "none")
    child, r, result = host(480, 540, 30)
    assert result == b"0\n"
    frame = nv12_bytes(480, 540)
    assert quadrants(read_exactly(r, frame, 10), 480, 540, 0, 0, 480, 540)[::2] == [GREEN, WHITE]
    xrandr("--setmonitor", "left", "960/254x1080/286+0+0", "none")
    xrandr("--delmonitor", "left")
    paint(build, xvfb, 960, 0, 960, 540, "0000ff")
    assert frame_where(r, 480, 540, lambda f: pixel(f, 480, 540, 240, 135) == BLUE, 5)
    assert child.err == b""
    xrandr("--delmonitor", "right")
    deadline = time.monotonic() + 5
    while not child.err and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    assert child.err == f'sck-video: the display is no longer on X display "{xvfb.display}"\n'.encode()
    send(child, "stop")
    assert wait_eof(r, 5)
    end(child)


def cpu_and_wakeups(pid):
    """CPU seconds of the process and voluntary context switches of all its threads."""
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        for line in open(f"/proc/{pid}/task/{task}/status"):
            if line.startswith("voluntary_ctxt_switches:"):
                switches += int(line.split()[1])
    return cpu, switches


def test_stalled_reader_costs_no_cpu_and_no_wakeups(host):
    child, r, result = host(320, 240, INT32_MAX)
    assert result == b"0\n"
    time.sleep(1)  # the pipe is full and every buffer is held by now
    cpu0, woke0 = cpu_and_wakeups(child.pid)
    time.sleep(2)
    cpu1, woke1 = cpu_and_wakeups(child.pid)
    assert cpu1 - cpu0 < 0.1 and woke1 - woke0 <= 4, (cpu1 - cpu0, woke1 - woke0)
    send(child, "stop")
    assert wait_eof(r, 5)
    end(child)


def test_stop_closes_the_descriptor_while_the_server_is_stopped(host, xvfb):
    child, r, result = host(320, 240, 30)
    assert result == b"0\n"
    assert len(read_exactly(r, nv12_bytes(320, 240), 10)) == nv12_bytes(320, 240)
    os.kill(xvfb.pid(), signal.SIGSTOP)
    time.sleep(0.3)  # the capture thread now waits on the server
    send(child, "stop")
    assert wait_eof(r, 3)
    os.kill(xvfb.pid(), signal.SIGCONT)
    end(child)
    assert child.err == b""


# A host whose pthread_create fails with EAGAIN from the Nth call on; the
# library's calls reach it by interposition.
FAILING_THREADS = r"""
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <mirvo_sck.h>
static int calls, failFrom;
int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg) {
    int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    *(void **)&real = dlsym(RTLD_NEXT, "pthread_create");
    if (__atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST) >= failFrom) return EAGAIN;
    return real(t, a, f, arg);
}
int main(int argc, char **argv) {
    failFrom = atoi(argv[1]);
    int fd = atoi(argv[2]), r = mirvo_sck_start(640, 360, 30, fd);
    printf("%d %d %d\n", r, calls, fcntl(fd, F_GETFD) == -1);
    fflush(stdout);
    _exit(0);
}
"""


@pytest.mark.parametrize("n, result, closed", [
    (1, 1, False),  # the start task
    (2, 1, False),  # listing the displays
    (3, 1, True),   # the sample queue, after the sink took the descriptor
    (4, 1, True),   # the capture thread
    (5, 0, False),  # none fails: a start makes four threads
])
def test_start_that_cannot_create_a_thread_fails_with_one_line(
        build, c_host, spawn, xvfb, n, result, closed):
    exe = c_host(FAILING_THREADS, "-rdynamic", str(build.library),
                 f"-Wl,-rpath,{build.library.parent}")
    r, w_end = os.pipe()
    try:
        child = spawn([exe, n, w_end], env=xvfb.env, stdout=subprocess.PIPE, pass_fds=(w_end,))
        os.close(w_end)
        # The result, the calls made, whether the descriptor was closed.
        assert read_exactly(child.proc.stdout.fileno(), 6, 10) == b"%d %d %d\n" % (
            result, min(n, 4), closed)
        assert child.wait(10, "the host") == 0
        assert child.err == (b"" if result == 0 else
                             b"sck-video: Resource temporarily unavailable\n")
    finally:
        os.close(r)
