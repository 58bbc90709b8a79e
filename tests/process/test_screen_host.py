# The screen library's lifecycle as a host lives it: a host that exits or
# forks with a capture running, a start that replaces a capture whose reader
# stalls, descriptors the host got wrong, and a descriptor that fails writes.
import os
import subprocess

import pytest

from conftest import read_exactly, wait_eof

# argv: fd mode. Starts a capture on fd (the test never reads it), then
# exits, or forks a child that exits or starts a capture of its own and
# reads one frame of it; the parent prints the child's exit status and
# leaves without running exit handlers.
C_HOST = r"""
#include <mirvo_sck.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    (void)argc;
    if (mirvo_sck_start(640, 360, 30, atoi(argv[1])) != 0) return 3;
    sleep(1);
    if (strcmp(argv[2], "exit") == 0) exit(0);
    pid_t pid = fork();
    if (pid == 0) {
        if (strcmp(argv[2], "fork-start") == 0) {
            int p[2];
            char frame[64 * 64 * 3 / 2];
            size_t got = 0;
            if (pipe(p) != 0 || mirvo_sck_start(64, 64, 30, p[1]) != 0) exit(4);
            while (got < sizeof frame) {
                ssize_t n = read(p[0], frame + got, sizeof frame - got);
                if (n <= 0) exit(5);
                got += (size_t)n;
            }
        }
        exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    printf("%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fflush(stdout);
    _exit(0);
}
"""

PY_EXIT = """
assert lib.mirvo_sck_start(640, 360, 30, int(sys.argv[1])) == 0
time.sleep(1)
sys.exit(0)
"""


@pytest.mark.parametrize("host,mode", [("c", "exit"), ("py", "exit"), ("c", "fork-exit"),
                                       ("c", "fork-start")])
def test_host_ends_with_a_capture_running_and_its_reader_stalled(
        host, mode, build, xvfb, spawn, c_host, py_host):
    r, w = os.pipe()
    if host == "c":
        exe = c_host(C_HOST, str(build.library), f"-Wl,-rpath,{build.library.parent}")
        child = spawn([exe, w, mode], env=xvfb.env, pass_fds=[w])
    else:
        child = py_host(PY_EXIT, xvfb.env, args=[w], pass_fds=[w])
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
