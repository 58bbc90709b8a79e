# Process-level tests: the deliverables driven the way a host drives them,
# as real child processes on real pipes against private servers.
#
# Fixtures:
#   build         paths of the built deliverables and helpers (MIRVO_BUILD_DIR)
#   pulse         a private PulseAudio server with a 48 kHz null sink as default
#   sound_server  the same test against a private PulseAudio and a private PipeWire
#   xvfb          a private Xvfb (1920x1080x24) painted in four quadrants;
#                 parametrise it indirectly with a tuple of further Xvfb arguments
#   wayland       a private headless Wayland session (one per module)
#   spawn         starts a child in its own process group; every child still
#                 running at the end of the test is killed
#   c_host        compiles a C host program against the installed headers
#   py_host       runs a Python host (a string of code) that loads the library
#   screen_host   a Python host that starts a capture and obeys "stop"/"exit"
# Every wait is guarded: a child that does not end in time fails the test
# and is killed, never hangs the suite.
import os
import pathlib
import pwd
import select
import signal
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("MIRVO_BUILD_DIR", ROOT / "build"))


class Build:
    root = ROOT
    dir = BUILD
    audio = BUILD / "audio" / "mirvo-sck-audio"
    library = BUILD / "screen" / "libmirvo_sck.so"
    record = BUILD / "tools" / "mirvo-record"
    painter = BUILD / "tests" / "screen_e2e" / "mirvo_paint_root"
    include = ROOT / "screen" / "include"


@pytest.fixture(scope="session")
def build():
    for p in (Build.audio, Build.library):
        if not p.exists():
            pytest.fail(f"{p} is not built")
    return Build


# A child process in its own process group; its output goes to files
# (out_path, err_path; read as .out and .err) unless stdout/stderr are given.
class Child:
    def __init__(self, argv, env=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None,
                 **popen):
        self._dir = tempfile.TemporaryDirectory(prefix="mirvo-child.")
        self.out_path, self.err_path = (pathlib.Path(self._dir.name) / n for n in ("out", "err"))
        self._out = open(self.out_path, "wb") if stdout is None else None
        self._err = open(self.err_path, "wb") if stderr is None else None
        self.proc = subprocess.Popen([str(a) for a in argv], env=env, stdin=stdin,
                                     stdout=stdout or self._out, stderr=stderr or self._err,
                                     start_new_session=True, **popen)
        self.pid = self.proc.pid

    def signal(self, sig):
        self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None

    # Exit status (negative: killed by that signal); fails the test and
    # kills the child if it has not ended within timeout seconds.
    def wait(self, timeout, what="the child"):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            pytest.fail(f"{what} did not end within {timeout} s")

    def kill(self):
        if self.alive():
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()

    @property
    def out(self):
        return self.out_path.read_bytes() if self._out else b""

    @property
    def err(self):
        return self.err_path.read_bytes() if self._err else b""

    def close(self):
        self.kill()
        for f in (self._out, self._err):
            if f:
                f.close()
        self._dir.cleanup()


@pytest.fixture
def spawn():
    children = []

    def start(argv, **kw):
        children.append(Child(argv, **kw))
        return children[-1]

    yield start
    for c in children:
        c.close()


# n bytes from fd, or fewer if end of file or the time-out comes first.
def read_exactly(fd, n, timeout):
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < n and (left := deadline - time.monotonic()) > 0 \
            and select.select([fd], [], [], left)[0]:
        chunk = os.read(fd, min(1 << 20, n - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


# Reads fd until end of file: (the bytes, whether the end came within timeout s).
def drain(fd, timeout):
    data = read_exactly(fd, 1 << 40, timeout)
    return data, bool(select.select([fd], [], [], 0)[0]) and not os.read(fd, 1)


def wait_eof(fd, timeout):
    return drain(fd, timeout)[1]


def _script(name, *args, env=None):
    return subprocess.run(["sh", str(ROOT / "scripts" / name), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=120)


def _env_from(lines, env):
    return dict(env, **dict(line.partition("=")[::2] for line in lines.splitlines()))


# A private sound server speaking the PulseAudio protocol, started by
# scripts/<script> (pulse-server.sh or pipewire-server.sh, which share their
# interface), with a 48 kHz null sink "mirvo_null" as default.
class SoundServer:
    def __init__(self, directory, script="pulse-server.sh"):
        self.script, self.dir = script, directory
        r = _script(script, "start", directory)
        if r.returncode != 0:
            pytest.fail(f"no private server from {script}: {r.stderr}")
        self.env = _env_from(r.stdout, os.environ)

    def pactl(self, *args):
        return subprocess.run(["pactl", *map(str, args)], env=self.env, capture_output=True,
                              text=True, timeout=30)

    def stop(self):
        _script(self.script, "stop", self.dir)


def _sound_server(script):
    d = tempfile.mkdtemp(prefix="mirvo-sound.", dir="/tmp")
    server = SoundServer(d, script)
    yield server
    server.stop()
    subprocess.run(["rm", "-rf", d])


@pytest.fixture
def pulse():
    yield from _sound_server("pulse-server.sh")


@pytest.fixture(params=["pulse-server.sh", "pipewire-server.sh"], ids=["pulseaudio", "pipewire"])
def sound_server(request):
    yield from _sound_server(request.param)


# A private Xvfb, owned by its process id: once a server is gone its display
# number is reused at once by the next one (another test's), so nothing here
# goes by the number after the start.
class Xvfb:
    def __init__(self, painter, *args):
        r = _script("xvfb-server.sh", "start", painter, *args)
        if r.returncode != 0:
            pytest.fail(f"no private Xvfb: {r.stderr}")
        self.display = r.stdout.strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self._pidfile = pathlib.Path(os.environ.get("TMPDIR", "/tmp"),
                                     f"mirvo-xvfb{self.display}.pid")
        self._pid = int(self._pidfile.read_text())

    def pid(self):
        return self._pid

    def _ours(self):
        try:
            return pathlib.Path(f"/proc/{self._pid}/cmdline").read_bytes().startswith(b"Xvfb")
        except OSError:
            return False

    def stop(self):
        for sig in (signal.SIGCONT, signal.SIGTERM):  # a stopped server takes SIGTERM too
            if self._ours():
                os.kill(self._pid, sig)
        deadline = time.monotonic() + 5
        while self._ours() and time.monotonic() < deadline:
            time.sleep(0.05)
        if self._ours():
            os.kill(self._pid, signal.SIGKILL)
        try:
            if int(self._pidfile.read_text()) == self._pid:
                self._pidfile.unlink()
        except (OSError, ValueError):
            pass


@pytest.fixture
def xvfb(build, request):
    server = Xvfb(build.painter, *getattr(request, "param", ()))
    yield server
    server.stop()


# compile(source, *flags): the C source built into a program; its path.
@pytest.fixture
def c_host(tmp_path, build):
    def compile_host(source, *flags):
        exe = tmp_path / f"host{len(list(tmp_path.glob('host*.c')))}"
        exe.with_suffix(".c").write_text(source)
        r = subprocess.run(["cc", "-std=c11", "-D_GNU_SOURCE", "-O1", "-Wall", "-I", build.include,
                            exe.with_suffix(".c"), "-o", exe, "-ldl", "-lpthread", *flags],
                           capture_output=True, text=True)
        if r.returncode != 0:
            pytest.fail(f"host does not compile:\n{r.stderr}")
        return exe

    return compile_host


# Prelude of every Python host: the library as `lib`, with typed functions.
PY_PRELUDE = """
import ctypes, os, sys, time
lib = ctypes.CDLL(os.environ["MIRVO_SCK_LIBRARY"])
lib.mirvo_sck_start.argtypes = [ctypes.c_int32] * 4
lib.mirvo_sck_start.restype = ctypes.c_int32
lib.mirvo_sck_stop.argtypes = []
lib.mirvo_sck_stop.restype = None
"""


# start(code, env, args): `python3 -c PRELUDE + code ARGS...` with env (e.g.
# xvfb.env) and the built library, or library=another copy; the code finds
# ARGS in sys.argv[1:].
@pytest.fixture
def py_host(spawn, build):
    def start(code, env, args=(), library=None, **kw):
        env = dict(env, MIRVO_SCK_LIBRARY=str(library or build.library))
        return spawn([sys.executable, "-c", PY_PRELUDE + code, *args], env=env, **kw)

    return start


# Starts a capture into the descriptor argv[1], prints the result and, on a
# failure, whether the descriptor is still open; then obeys standard input:
# "stop" calls mirvo_sck_stop, "exit" ends the host.
SCREEN_HOST = """
fd, w, h, fps = map(int, sys.argv[1:5])
r = lib.mirvo_sck_start(w, h, fps, fd)
print(r, "" if r == 0 else os.path.exists(f"/proc/self/fd/{fd}"), flush=True)
for line in sys.stdin:
    if line == "stop\\n":
        lib.mirvo_sck_stop()
    elif line == "exit\\n":
        break
"""


# start(env, w, h, fps, **py_host options) runs SCREEN_HOST on a fresh pipe;
# returns (the child, the pipe's read end, the host's first line).
@pytest.fixture
def screen_host(py_host):
    ends = []

    def start(env, w, h, fps, **kw):
        r, w_end = os.pipe()
        ends.append(r)
        child = py_host(SCREEN_HOST, env, (w_end, w, h, fps), stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, pass_fds=(w_end,), **kw)
        os.close(w_end)
        line = b""
        while not line.endswith(b"\n") and (c := read_exactly(child.proc.stdout.fileno(), 1, 20)):
            line += c
        return child, r, line

    yield start
    for r in ends:
        os.close(r)


def send(child, line):
    child.proc.stdin.write(line.encode() + b"\n")
    child.proc.stdin.flush()


# Stops the host's capture: the stream ends within 5 s in whole frames of
# `frame` bytes; then the host exits with 0.
def stop_and_end(child, r, frame=1):
    send(child, "stop")
    tail, ended = drain(r, 5)
    assert ended and len(tail) % frame == 0, (ended, len(tail))
    send(child, "exit")
    assert child.wait(10, "the host") == 0


# Keeps reading the frames (as a host must: a write its reader holds up would
# hold the capture's report up with it) until the host has said a line, and
# a little longer.
def wait_for_line(child, r, timeout=10):
    deadline = time.monotonic() + timeout
    while b"\n" not in child.err and time.monotonic() < deadline:
        read_exactly(r, 1 << 24, 0.1)
    read_exactly(r, 1 << 24, 0.5)


# Start/stop cycles in a host: prints whether its descriptors and threads
# after the last cycle are those after the first, then the counts.
CYCLES = """
counts = []
for i in range(int(sys.argv[1])):
    r, w = os.pipe()
    assert lib.mirvo_sck_start(640, 360, 30, w) == 0
    lib.mirvo_sck_stop()
    while os.read(r, 1 << 20):
        pass
    os.close(r)
    time.sleep(0.05)
    counts.append((len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))))
print(counts[0] == counts[-1], counts, flush=True)
"""


def nv12_bytes(width, height):
    return (width & ~1) * (height & ~1) * 3 // 2


# BT.709 video-range (Y, Cb, Cr) of the test pattern's colours.
RED, GREEN, BLUE, WHITE, BLACK = (63, 102, 240), (173, 42, 26), (32, 240, 118), \
    (235, 128, 128), (16, 128, 128)


# (Y, Cb, Cr) at (x, y) of a w x h NV12 frame.
def pixel(frame, w, h, x, y):
    c = w * h + y // 2 * w + x // 2 * 2
    return frame[y * w + x], frame[c], frame[c + 1]


# The colours of a w x h frame at the points of expect {(x, y): colour}.
def colours(frame, w, h, expect):
    return {p: pixel(frame, w, h, *p) for p in expect}


# The test pattern in a picture of pw x ph at (x, y) of a frame: its
# quadrants (off their centres, where a shrunk screen keeps its pointer) and
# the bars' centre before it, as {(x, y): colour}.
def quadrants(x, y, pw, ph):
    points = {(x + pw * i // 4 - pw // 16, y + ph * j // 4 - ph // 16): c
              for (i, j), c in zip(((1, 1), (3, 1), (1, 3), (3, 3)), (RED, GREEN, BLUE, WHITE))}
    return {**points, (x // 2, y // 2): BLACK} if x or y else points


# The first frame of w x h read within timeout s that shows expect, or None.
def frame_showing(r, w, h, expect, timeout=10):
    deadline = time.monotonic() + timeout
    while (left := deadline - time.monotonic()) > 0:
        frame = read_exactly(r, nv12_bytes(w, h), left)
        if len(frame) < nv12_bytes(w, h):
            return None
        if colours(frame, w, h, expect) == expect:
            return frame
    return None


# A private headless Wayland session (scripts/wayland-session.sh): sway
# showing four quadrants on HEADLESS-1, PipeWire, the desktop portal. Clients
# run with env, as the session's user (preexec).
class WaylandSession:
    def __init__(self, directory):
        self.dir = pathlib.Path(directory)
        r = subprocess.run(["bash", str(ROOT / "scripts" / "wayland-session.sh"), "start",
                            directory], capture_output=True, text=True, timeout=900)
        if r.returncode != 0:
            pytest.fail(f"no private Wayland session: {r.stderr}")
        self.env = _env_from(r.stdout, os.environ)
        self.env.pop("DISPLAY", None)
        user = pwd.getpwnam(self.env["MIRVO_WAYLAND_USER"])
        self.uid, self.gid = user.pw_uid, user.pw_gid

    def preexec(self):
        if os.getuid() == 0 and self.uid != 0:
            os.setgroups([])
            os.setgid(self.gid)
            os.setuid(self.uid)

    # A copy of path that the session's user can read (a build tree may be
    # private to its owner).
    def readable(self, path):
        copy = self.dir / "lib" / pathlib.Path(path).name
        copy.parent.mkdir(exist_ok=True)
        copy.write_bytes(pathlib.Path(path).read_bytes())
        copy.chmod(0o755)
        return str(copy)

    def swaymsg(self, *args):
        return subprocess.run(["swaymsg", "-q", *map(str, args)], env=self.env,
                              preexec_fn=self.preexec, capture_output=True, timeout=30)

    def pid(self, name):
        for line in (self.dir / "pids").read_text().splitlines():
            pid, _, n = line.partition(" ")
            if n == name:
                return int(pid)
        raise KeyError(name)

    def stop(self):
        subprocess.run(["bash", str(ROOT / "scripts" / "wayland-session.sh"), "stop",
                        str(self.dir)], capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def wayland():
    d = tempfile.mkdtemp(prefix="mirvo-wayland.", dir="/tmp")
    session = WaylandSession(d)
    yield session
    session.stop()
    subprocess.run(["rm", "-rf", d])
