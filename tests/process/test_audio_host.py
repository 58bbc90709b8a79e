# mirvo-sck-audio as a host runs it: the built program on real pipes and
# terminals against a private PulseAudio server, stopped, signalled, read
# slowly or not at all.
import array
import contextlib
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


@contextlib.contextmanager
def server_stopped(pulse):
    pid = int(pathlib.Path(pulse.dir, "pid").read_text())
    os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGCONT)


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


def start_on_pipe(spawn, build, pulse, blocking=True):
    r, w = os.pipe()
    os.set_blocking(w, blocking)
    child = spawn([build.audio], env=pulse.env, stdout=w)
    os.close(w)
    return child, r


def test_sigterm_while_setup_waits_on_a_stopped_server_takes_its_default_effect(
        spawn, build, pulse):
    with server_stopped(pulse):
        child = spawn([build.audio], env=pulse.env)
        # Setup has connected and waits for the server's answer.
        wait_until(lambda: any(os.readlink(f).startswith("socket:")
                               for f in pathlib.Path(f"/proc/{child.pid}/fd").iterdir()),
                   10, "no connection to the server")
        child.signal(signal.SIGTERM)
        assert child.wait(3) == -signal.SIGTERM
    assert (child.out, child.err) == (b"", b"")


def test_stop_signals_blocked_by_the_parent_end_the_program_in_order(spawn, build, pulse):
    # A host that takes its signals with sigwait or signalfd starts its
    # children with SIGINT and SIGTERM blocked; a burst during setup waits.
    child = spawn([build.audio], env=pulse.env, preexec_fn=lambda: signal.pthread_sigmask(
        signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM}))
    for i in range(40):
        child.signal(signal.SIGINT if i % 2 else signal.SIGTERM)
    assert child.wait(10) == 0
    assert child.err == b""
    assert len(child.out) % 4 == 0


def test_sigterm_wins_over_a_reader_that_stopped_reading(spawn, build, pulse):
    child, r = start_on_pipe(spawn, build, pulse)
    wait_pipe_full(r)
    child.signal(signal.SIGTERM)
    assert child.wait(3) == 0
    assert len(read_exactly(r, 1 << 24, 5)) % 4 == 0
    assert child.err == b""


def test_non_blocking_stdout_waits_for_the_reader(spawn, build, pulse):
    child, r = start_on_pipe(spawn, build, pulse, blocking=False)
    wait_pipe_full(r)
    assert child.alive()
    assert len(read_exactly(r, 4 * 48000, 10)) == 4 * 48000
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


def test_sigterm_with_the_sound_server_stopped_ends_in_order_within_seconds(
        spawn, build, pulse):
    child = spawn([build.audio], env=pulse.env)
    wait_until(lambda: child.out_path.stat().st_size >= 4, 20, "no capture")
    with server_stopped(pulse):
        child.signal(signal.SIGTERM)
        assert child.wait(5) == 0
    assert child.err == b""
