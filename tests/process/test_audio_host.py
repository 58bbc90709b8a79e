# mirvo-sck-audio as a host runs it: the built program on real pipes and
# terminals against a private PulseAudio server, stopped, killed, signalled,
# read slowly or not at all.
import array
import fcntl
import os
import pathlib
import signal
import termios
import time

import pytest

from conftest import read_exactly


def wait_until(pred, guard, what):
    deadline = time.monotonic() + guard
    while not pred():
        if time.monotonic() > deadline:
            pytest.fail(f"{what} within {guard} s")
        time.sleep(0.02)


def server_pid(pulse):
    return int(pathlib.Path(pulse.dir, "pid").read_text())


def connected(child):
    return any(os.readlink(f).startswith("socket:")
               for f in pathlib.Path(f"/proc/{child.pid}/fd").iterdir())


@pytest.mark.parametrize("capturing, status", [(False, -signal.SIGTERM), (True, 0)],
                         ids=["during-setup", "capturing"])
def test_sigterm_with_the_sound_server_stopped(spawn, build, pulse, capturing, status):
    # While setup waits for the server's answer the signal has its default
    # effect; once capturing, the teardown does not wait on the server.
    if not capturing:
        os.kill(server_pid(pulse), signal.SIGSTOP)
    child = spawn([build.audio], env=pulse.env)
    if capturing:
        wait_until(lambda: child.out_path.stat().st_size >= 4, 20, "no capture")
        os.kill(server_pid(pulse), signal.SIGSTOP)
    else:
        wait_until(lambda: connected(child), 10, "no connection to the server")
    child.signal(signal.SIGTERM)
    try:
        assert child.wait(5) == status
    finally:
        os.kill(server_pid(pulse), signal.SIGCONT)
    assert child.err == b""
    assert len(child.out) % 4 == 0 and (capturing or child.out == b"")


def pending(fd):
    n = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, n)
    return n[0]


def wait_pipe_full(fd):
    """Until the program has filled the pipe and is blocked on it."""
    seen = [-1, time.monotonic()]

    def still():
        n = pending(fd)
        if n != seen[0]:
            seen[:] = [n, time.monotonic()]
        return n >= 32768 and time.monotonic() - seen[1] > 0.3

    wait_until(still, 20, "the pipe was not filled")


@pytest.mark.parametrize("blocking", [True, False], ids=["blocking", "non-blocking"])
def test_a_stalled_reader_is_waited_for_and_sigterm_still_ends_the_program(
        spawn, build, pulse, blocking):
    r, w = os.pipe()
    os.set_blocking(w, blocking)
    child = spawn([build.audio], env=pulse.env, stdout=w)
    os.close(w)
    wait_pipe_full(r)
    assert child.alive()
    assert len(read_exactly(r, 4 * 48000, 10)) == 4 * 48000
    wait_pipe_full(r)
    child.signal(signal.SIGTERM)
    assert child.wait(3) == 0
    assert len(read_exactly(r, 1 << 24, 5)) % 4 == 0
    assert child.err == b""


def hung_up_terminal():
    master, slave = os.openpty()
    os.close(master)
    return slave


@pytest.mark.parametrize("stdout, closed, error", [
    (lambda: os.open("/dev/full", os.O_WRONLY), (), "No space left on device"),
    (hung_up_terminal, (), "Input/output error"),
    (lambda: os.open("/dev/null", os.O_RDONLY), (), "Bad file descriptor"),
    # The program's own descriptors must not take the free 0 and 1.
    (lambda: os.open("/dev/null", os.O_WRONLY), (0, 1), "Bad file descriptor"),
], ids=["full", "hung-up-terminal", "read-only", "closed"])
def test_a_failing_stdout_ends_in_order_with_one_line_and_status_1(
        spawn, build, pulse, stdout, closed, error):
    fd = stdout()
    child = spawn([build.audio], env=pulse.env, stdout=fd,
                  preexec_fn=lambda: [os.close(c) for c in closed])
    os.close(fd)
    assert child.wait(10) == 1
    assert child.err == f"pelko: write to standard output: {error}\n".encode()


def test_a_killed_sound_server_is_reported_as_the_device_lost(spawn, build, pulse):
    child = spawn([build.audio], env=pulse.env)
    wait_until(lambda: child.out_path.stat().st_size >= 4, 20, "no capture")
    os.kill(server_pid(pulse), signal.SIGKILL)
    assert child.wait(30) == 1
    assert child.err == b"pelko: device lost 1937010544\n"
    assert len(child.out) % 4 == 0


@pytest.mark.parametrize("breaks, line", [
    (lambda server: server.stop(), "CreateProcessTap 1937010544"),
    (lambda server: server.pactl("unload-module", "module-null-sink"), "no default output"),
], ids=["no-server", "no-sink"])
def test_setup_failing_on_the_real_server(spawn, build, pulse, breaks, line):
    breaks(pulse)
    child = spawn([build.audio], env=pulse.env)
    assert child.wait(30) == 1
    assert (child.out, child.err) == (b"", f"pelko: {line}\n".encode())
