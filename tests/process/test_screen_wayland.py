# The library on a private headless Wayland session, through the desktop
# portal and PipeWire, from a host's side: the picture's bytes, a first frame
# at each start on a still screen, then frames only on change and at most
# fps, a resized output, consent refused or no portal,
# start/stop cycles, and the compositor killed mid-capture (last: it ends
# the session).
import os
import pathlib
import subprocess
import sys
import time

import pytest

from conftest import (BLACK, CYCLES, colours, frame_showing, nv12_bytes, quadrants, read_exactly,
                      send, stop_and_end, wait_for_line)


# py_host options that run a host as the session's user.
@pytest.fixture
def run_as_user(wayland, build):
    return {"preexec_fn": wayland.preexec, "library": wayland.readable(build.library)}


# The screen host on the session (as its user), or with env as the caller.
@pytest.fixture
def host(screen_host, wayland, run_as_user):
    return lambda w, h, fps, env=None: screen_host(env or wayland.env, w, h, fps,
                                                   **({} if env else run_as_user))


def redraw(wayland):
    # A change on the screen for the compositor: the output drawn again, with
    # the same picture.
    assert wayland.swaymsg("output", "HEADLESS-1", "scale", "1").returncode == 0


# 1920x1080 into 501x401: a frame of 500x400, the picture 500x282 with bars
# of 58 and 60 rows.
@pytest.mark.parametrize("w, h, bars", [(1280, 720, {}), (501, 401, {(250, 2): BLACK, (
    250, 397): BLACK})])
def test_quadrants_in_bt709_video_range_and_restore_token(host, wayland, w, h, bars):
    child, r, line = host(w, h, 30)
    assert line == b"0 \n"
    fw, fh = w & ~1, h & ~1
    top = (fh - 282) // 2 if bars else 0
    assert frame_showing(r, fw, fh, {**quadrants(0, top, fw, fh - 2 * top), **bars})
    stop_and_end(child, r, nv12_bytes(fw, fh))
    assert child.err == b""
    token = pathlib.Path(wayland.env["XDG_STATE_HOME"]) / "mirvo" / "screencast-restore-token"
    assert token.stat().st_mode & 0o777 == 0o600 and len(token.read_text().strip()) > 8


def test_still_screen_gives_one_frame_at_each_start_then_frames_on_change_at_most_fps(
        host, wayland):
    # Every cast after the session's first, on a screen nothing draws on: the
    # first picture must not wait for a change, and casts ended earlier must
    # not take the changes meant for the newest.
    w, h, fps = 320, 180, 5
    for cycle in range(3):
        child, r, line = host(w, h, fps)
        assert line == b"0 \n"
        frame = read_exactly(r, nv12_bytes(w, h), 3)
        assert len(frame) == nv12_bytes(w, h), f"no first frame within 3 s (start {cycle})"
        assert colours(frame, w, h, quadrants(0, 0, w, h)) == quadrants(0, 0, w, h)
        assert read_exactly(r, 1, 1) == b"", f"a second frame from a still screen ({cycle})"
        redraw(wayland)
        assert len(read_exactly(r, nv12_bytes(w, h), 3)) == nv12_bytes(w, h), \
            f"no frame within 3 s of a change (start {cycle})"
        t0 = time.monotonic()
        while cycle == 2 and time.monotonic() - t0 < 2:  # the output redrawn again and again
            redraw(wayland)
        frames = len(read_exactly(r, 1 << 24, 0.5)) // nv12_bytes(w, h)
        assert frames <= (time.monotonic() - t0) * fps + 1 and (cycle < 2 or frames >= 3), frames
        stop_and_end(child, r)
        assert child.err == b""


def test_resize_of_the_output_is_followed(host, wayland):
    w, h = 640, 360
    child, r, line = host(w, h, 30)
    assert line == b"0 \n"
    assert frame_showing(r, w, h, quadrants(0, 0, w, h))
    try:
        assert wayland.swaymsg("output", "HEADLESS-1", "resolution", "960x1080").returncode == 0
        # 960x1080 into 640x360: the picture 320x360 between bars of 160.
        assert frame_showing(r, w, h, {(560, 180): BLACK, **quadrants(160, 0, 320, 360)})
    finally:
        wayland.swaymsg("output", "HEADLESS-1", "resolution", "1920x1080")
    stop_and_end(child, r)
    assert child.err == b""


# A session bus that starts no services.
BUS_CONF = """<busconfig><type>session</type><listen>{}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow send_destination="*"/>
<allow receive_sender="*"/><allow own="*"/></policy></busconfig>"""

# A stand-in for the portal on a bus of its own: it grants the session and
# the sources, and the user declines at Start.
DECLINING_PORTAL = """
import dbus, dbus.service, sys
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results): pass
def answer(sender, options, code, results):
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
        sender[1:].replace(".", "_"), options["handle_token"])
    req = Request(bus, path)
    GLib.idle_add(lambda: req.Response(dbus.UInt32(code), dbus.Dictionary(results, signature="sv")))
    return dbus.ObjectPath(path)
class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.Properties", "ss", "v")
    def Get(self, interface, prop):
        return dbus.UInt32(4 if prop == "version" else 3)
    @dbus.service.method("org.freedesktop.portal.ScreenCast", "a{sv}", "o", sender_keyword="s")
    def CreateSession(self, options, s):
        return answer(s, options, 0, {"session_handle": "/org/freedesktop/portal/desktop/session/x"})
    @dbus.service.method("org.freedesktop.portal.ScreenCast", "oa{sv}", "o", sender_keyword="s")
    def SelectSources(self, session, options, s):
        return answer(s, options, 0, {})
    @dbus.service.method("org.freedesktop.portal.ScreenCast", "osa{sv}", "o", sender_keyword="s")
    def Start(self, session, parent, options, s):
        return answer(s, options, 1, {})
Portal(bus, "/org/freedesktop/portal/desktop")
print("ready", flush=True)
GLib.MainLoop().run()
"""


@pytest.mark.parametrize("portal, pipewire, message", [
    (True, True, "the user declined screen capture in the desktop portal's dialog"),
    (False, True, "no screen cast portal on the session bus: The name "
                  "org.freedesktop.portal.Desktop was not provided by any .service files"),
    (True, False, "PipeWire is not running: cannot connect to {}/pipewire-0: "
                  "No such file or directory"),
], ids=["declined", "no-portal", "no-pipewire"])
def test_declined_consent_no_portal_or_no_pipewire_fail_with_one_line_and_leave_the_descriptor(
        host, spawn, tmp_path, wayland, portal, pipewire, message):
    address = f"unix:path={tmp_path}/bus"
    (tmp_path / "bus.conf").write_text(BUS_CONF.format(address))
    bus = spawn(["dbus-daemon", "--nofork", f"--config-file={tmp_path}/bus.conf",
                 "--print-address=1"], stdout=subprocess.PIPE)
    assert bus.proc.stdout.readline().startswith(address.encode())
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, WAYLAND_DISPLAY="wayland-none",
               XDG_RUNTIME_DIR=wayland.env["XDG_RUNTIME_DIR"] if pipewire else str(tmp_path))
    if portal:
        stand_in = spawn([sys.executable, "-c", DECLINING_PORTAL, address],
                         stdout=subprocess.PIPE)
        assert stand_in.proc.stdout.readline() == b"ready\n"
    child, r, line = host(640, 360, 30, env=env)
    assert line == b"1 True\n"
    send(child, "exit")
    assert child.wait(10, "the host") == 0
    assert child.err == b"sck-video: " + message.format(tmp_path).encode() + b"\n"


def test_start_stop_cycles_leave_no_descriptors_or_threads_behind(py_host, wayland, run_as_user):
    child = py_host(CYCLES, wayland.env, (15,), **run_as_user)
    assert child.wait(60, "the cycles") == 0, child.err
    assert child.out.startswith(b"True "), child.out


def test_compositor_killed_mid_capture_gives_one_line_and_stop_closes(host, wayland):
    child, r, line = host(320, 180, 30)
    assert line == b"0 \n"
    os.kill(wayland.pid("sway"), 9)
    wait_for_line(child, r)
    assert child.err.startswith(b"sck-video: the screen cast ended: ")
    assert child.err.count(b"\n") == 1, child.err
    stop_and_end(child, r)
    assert child.err.count(b"\n") == 1, child.err
