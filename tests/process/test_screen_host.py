# The screen library's lifecycle as a host lives it: a host that exits or
# forks with a capture running, a start that replaces a capture whose reader
# stalls, descriptors the host got wrong, and a descriptor that fails writes.
import os
import subprocess

import pytest

from conftest import read_exactly, wait_eof

# argv: fd mode. Starts a capture on fd (the test never reads it), then
# exits (the C library's exit handlers run, the library's among them), or
# forks a child that exits so or starts a capture of its own and reads one
# frame of it; the parent prints the child's exit status and leaves without
# running exit handlers.
PY_LIFE = """
fd, mode = int(sys.argv[1]), sys.argv[2]
assert lib.mirvo_sck_start(640, 360, 30, fd) == 0
time.sleep(1)
if mode == "exit" or (pid := os.fork()) == 0:
    if mode == "fork-start":
        r, w = os.pipe()
        assert lib.mirvo_sck_start(64, 64, 30, w) == 0
        frame = b""
        while len(frame) < 6144 and (chunk := os.read(r, 6144 - len(frame))):
            frame += chunk
        assert len(frame) == 6144
    sys.exit(0)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
os._exit(0)
"""


@pytest.mark.parametrize("mode", ["exit", "fork-exit", "fork-start"])
def test_host_ends_with_a_capture_running_and_its_reader_stalled(mode, xvfb, py_host):
    r, w = os.pipe()
    child = py_host(PY_LIFE, xvfb.env, args=[w, mode], pass_fds=[w])
    os.close(w)
    assert child.wait(10, "the host") == 0
    assert (child.out, child.err) == (b"" if mode == "exit" else b"0\n", b"")
    os.close(r)


PY_REPLACE = """
assert lib.mirvo_sck_start(640, 360, 30, int(sys.argv[1])) == 0
time.sleep(1)
r, w = os.pipe()
result = lib.mirvo_sck_start(64, 64, 30, w)
frame = b""
while len(frame) < 6144:
    frame += os.read(r, 6144 - len(frame))
print(result, flush=True)
time.sleep(30)
"""


def test_start_replacing_a_capture_whose_reader_stalls(xvfb, py_host):
    r, w = os.pipe()
    host = py_host(PY_REPLACE, xvfb.env, args=[w], pass_fds=[w], stdout=subprocess.PIPE)
    os.close(w)
    assert read_exactly(host.proc.stdout.fileno(), 2, 10) == b"0\n"
    # Once the earlier reader drains, the earlier capture ends and closes.
    assert wait_eof(r, 10)
    os.close(r)
    assert host.alive()


PY_BAD_FD = """
r, w = os.pipe()
fd = {"none": -1, "closed": 99, "read": r}[sys.argv[1]]
result = lib.mirvo_sck_start(64, 64, 30, fd)
os.fstat(r)  # still open: the host's
print(fd, result)
"""


@pytest.mark.parametrize("which,line", [
    ("none", "descriptor {} is not open"),
    ("closed", "descriptor {} is not open"),
    ("read", "descriptor {} is not open for writing"),
])
def test_a_descriptor_the_host_got_wrong_fails_the_start(which, line, py_host):
    # No X server: the descriptor is checked before anything else is made.
    host = py_host(PY_BAD_FD, dict(os.environ, DISPLAY=":none"), args=[which])
    assert host.wait(10, "the host") == 0
    fd, result = host.out.split()
    assert (result, host.err) == (b"1", f"sck-video: {line.format(int(fd))}\n".encode())


PY_FULL = """
fd = os.open("/dev/full", os.O_WRONLY)
assert lib.mirvo_sck_start(64, 64, 30, fd) == 0
time.sleep(1)
lib.mirvo_sck_stop()
time.sleep(0.5)
"""


def test_a_write_error_is_reported_once_and_ends_the_writes(xvfb, py_host):
    host = py_host(PY_FULL, xvfb.env)
    assert host.wait(10, "the host") == 0
    assert host.err == b"sck-video: frame write failed: No space left on device\n"
