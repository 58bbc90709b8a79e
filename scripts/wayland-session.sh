#!/usr/bin/env bash
# A private headless Wayland session with the desktop portal and PipeWire,
# for the screen library's portal binding (tests and local runs).
#
#   wayland-session.sh install          the packages (scripts/setup.sh), the
#                                       session's user, the portal backend
#                                       built for a machine without a GPU
#   wayland-session.sh start DIR [WxH]  install if needed, then start the
#                                       session in the empty folder DIR with
#                                       one output of WxH (default 1920x1080)
#                                       painted in four quadrants (red, green
#                                       / blue, white); prints the client's
#                                       environment as KEY=VALUE lines
#   wayland-session.sh stop DIR         end every process started for DIR
#                                       (by pid, newest first)
#
# The session: a session bus of its own (no service activation), PipeWire and
# WirePlumber, sway on the headless backend with the software renderer,
# swaybg, the permission store, the wlr portal backend (it casts the first
# output without asking and hands out restore tokens) and the portal itself.
# Everything runs as one unprivileged user: sway refuses to run as root, and
# the portal answers only clients of its own user. As root that is the user
# "mirvo-wayland" (made by install); otherwise the caller. A client runs as
# MIRVO_WAYLAND_USER (e.g. through setpriv) with the printed environment.
#
# The wlr backend of Debian 12 (0.7.0) needs three changes, so install
# rebuilds Debian's source package with them, once per change set
# (xdpw_patches below), into MIRVO_CACHE_DIR (default /var/cache/mirvo as
# root, else ~/.cache/mirvo):
# - it refuses to cast unless the compositor also offers DMA-BUF buffers,
#   which a compositor without a GPU never does: shared memory is enough;
# - every copy of the screen waits for new damage, which wlroots tracks per
#   screen-copy client, and the backend is one client for all its casts: a
#   new cast on a still screen got no first picture until the screen
#   changed, and an ended cast kept its waiting copy (and the next damage)
#   until then. Each cast's first copy is now taken at once, and an ended
#   cast drops the copy it waits for;
# - that first picture goes out as soon as the backend's stream runs, which
#   can be before the consumer's side of the link is ready: the buffer is
#   then lost, and a still screen sends no other. A consumer's request for
#   a frame (pw_stream_trigger_process, which the screen library sends when
#   no picture has come) was ignored; it now takes a copy at once.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -eq 0 ]; then
  user=mirvo-wayland sudo=""
  cache=${MIRVO_CACHE_DIR:-/var/cache/mirvo}
else
  user=$(id -un) sudo=sudo
  cache=${MIRVO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/mirvo}
fi
xdpw_version=0.7.0
xdpw_patches=3  # the change set below; a new one builds a new binary
xdpw_dsc=$cache/src/xdg-desktop-portal-wlr_$xdpw_version-1.dsc
xdpw=$cache/xdg-desktop-portal-wlr-$xdpw_version-mirvo$xdpw_patches

say() { echo "wayland-session: $*" >&2; }
die() { say "$*"; exit 1; }
usage() { die "usage: $0 install | start DIR [WxH] | stop DIR"; }

install_all() {
  "$root/scripts/setup.sh"
  if [ "$(id -u)" -eq 0 ] && ! id "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
  fi
  [ -x "$xdpw" ] && return 0
  mkdir -p "$cache/src"
  if [ ! -f "$xdpw_dsc" ]; then
    if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      $sudo tee /etc/apt/sources.list.d/mirvo-bookworm-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      $sudo apt-get update -qq
    fi
    (cd "$cache/src" && apt-get source --download-only -qq "xdg-desktop-portal-wlr=$xdpw_version-1" \
      >/dev/null 2>&1) || die "apt-get source xdg-desktop-portal-wlr=$xdpw_version-1 failed"
  fi
  # A fresh tree of its own, so that two installs at once do not meet.
  local tree
  tree=$(mktemp -d "$cache/src/build.XXXXXX")
  dpkg-source -x "$xdpw_dsc" "$tree/src" >/dev/null 2>&1 || die "unpacking $xdpw_dsc failed"
  xdpw_patch "$tree/src" || die "patching the portal backend in $tree/src failed"
  (cd "$tree/src" &&
    nice meson setup build --buildtype=release -Dsd-bus-provider=libsystemd \
      -Dman-pages=disabled >/dev/null && nice ninja -C build >/dev/null) ||
    die "building the portal backend in $tree/src failed"
  cp "$tree/src/build/xdg-desktop-portal-wlr" "$xdpw.tmp.$$" && mv "$xdpw.tmp.$$" "$xdpw"
  rm -rf "$tree"
}

xdpw_patch() {  # xdpw_patch DIR: the changes to the backend's source in DIR
  # Cast when the compositor offers a shared-memory format, DMA-BUF or not.
  patch -s -d "$1" -p1 <<'EOF' || return 1
--- a/src/screencast/screencast.c
+++ b/src/screencast/screencast.c
@@ -196,9 +196,7 @@
 	wl_display_dispatch(cast->ctx->state->wl_display);
 	wl_display_roundtrip(cast->ctx->state->wl_display);
 
-	if (cast->screencopy_frame_info[WL_SHM].format == DRM_FORMAT_INVALID ||
-			(cast->ctx->state->screencast_version >= 3 &&
-			 cast->screencopy_frame_info[DMABUF].format == DRM_FORMAT_INVALID)) {
+	if (cast->screencopy_frame_info[WL_SHM].format == DRM_FORMAT_INVALID) {
 		logprint(INFO, "wlroots: unable to receive a valid format from wlr_screencopy");
 		return -1;
 	}
EOF
  # A cast's first copy at once, not on damage; an ended cast's waiting copy
  # dropped with it.
  patch -s -d "$1" -p1 <<'EOF' || return 1
--- a/include/screencast_common.h
+++ b/include/screencast_common.h
@@ -178,6 +178,7 @@
 	int err;
 	bool quit;
 	bool teardown;
+	bool copied;
 	enum buffer_type buffer_type;
 
 	// fps limit
--- a/src/core/session.c
+++ b/src/core/session.c
@@ -6,6 +6,7 @@
 #include "xdpw.h"
 #include "screencast.h"
 #include "logger.h"
+#include "wlr-screencopy-unstable-v1-client-protocol.h"
 
 static const char interface_name[] = "org.freedesktop.impl.portal.Session";
 
@@ -71,6 +72,13 @@
 			if (cast->frame_state == XDPW_FRAME_STATE_NONE) {
 				logprint(TRACE, "xdpw: screencast instance not streaming, destroy it");
 				xdpw_screencast_instance_destroy(cast);
+			} else if (cast->frame_state == XDPW_FRAME_STATE_STARTED) {
+				// A copy waiting for damage would keep the ended cast, and
+				// the damage it takes, until the screen changes: drop it.
+				logprint(TRACE, "xdpw: screencast instance waits for a copy, destroy it");
+				zwlr_screencopy_frame_v1_destroy(cast->frame_callback);
+				cast->wlr_frame = NULL;
+				xdpw_screencast_instance_destroy(cast);
 			} else if (cast->teardown) {
 				logprint(TRACE, "xdpw: screencast instance marked for teardown, destroy it");
 				xdpw_screencast_instance_destroy(cast);
--- a/src/screencast/wlr_screencast.c
+++ b/src/screencast/wlr_screencast.c
@@ -173,8 +173,20 @@
 		return;
 	}
 
-	cast->current_frame.damage_count = 0;
-	zwlr_screencopy_frame_v1_copy_with_damage(frame, cast->current_frame.xdpw_buffer->buffer);
+	if (cast->copied) {
+		cast->current_frame.damage_count = 0;
+		zwlr_screencopy_frame_v1_copy_with_damage(frame, cast->current_frame.xdpw_buffer->buffer);
+	} else {
+		// The cast's first copy is taken at once: the compositor tracks
+		// damage per client, and this client may have used it up for
+		// another cast, so a still screen would give nothing.
+		struct xdpw_frame_damage whole = {0, 0,
+			cast->screencopy_frame_info[cast->buffer_type].width,
+			cast->screencopy_frame_info[cast->buffer_type].height};
+		cast->current_frame.damage[0] = whole;
+		cast->current_frame.damage_count = 1;
+		zwlr_screencopy_frame_v1_copy(frame, cast->current_frame.xdpw_buffer->buffer);
+	}
 	logprint(TRACE, "wlroots: frame copied");
 
 	fps_limit_measure_start(&cast->fps_limit, cast->framerate);
@@ -223,6 +235,7 @@
 	logprint(TRACE, "wlroots: timestamp %"PRIu64":%"PRIu32, cast->current_frame.tv_sec, cast->current_frame.tv_nsec);
 
 	cast->frame_state = XDPW_FRAME_STATE_SUCCESS;
+	cast->copied = true;
 
 	xdpw_wlr_frame_finish(cast);
 }
EOF
  # A consumer's request for a frame: a copy at once.
  patch -s -d "$1" -p1 <<'EOF'
--- a/src/screencast/pipewire_screencast.c
+++ b/src/screencast/pipewire_screencast.c
@@ -15,6 +15,7 @@
 #include "wlr_screencast.h"
 #include "xdpw.h"
 #include "logger.h"
+#include "wlr-screencopy-unstable-v1-client-protocol.h"
 
 static struct spa_pod *build_buffer(struct spa_pod_builder *b, uint32_t blocks, uint32_t size,
 		uint32_t stride, uint32_t datatype) {
@@ -406,12 +407,30 @@
 	buffer->user_data = NULL;
 }
 
+static void pwr_handle_stream_command(void *data, const struct spa_command *command) {
+	struct xdpw_screencast_instance *cast = data;
+	if (SPA_NODE_COMMAND_ID(command) != SPA_NODE_COMMAND_RequestProcess) {
+		return;
+	}
+	// A consumer asks for a picture: the next copy is taken at once, not on
+	// damage (the cast's first picture may have gone out before the
+	// consumer was linked, and a still screen gives no damage).
+	logprint(DEBUG, "pipewire: a frame requested");
+	cast->copied = false;
+	if (cast->frame_state == XDPW_FRAME_STATE_STARTED && cast->wlr_frame) {
+		zwlr_screencopy_frame_v1_destroy(cast->wlr_frame);
+		cast->wlr_frame = NULL;
+		xdpw_wlr_frame_start(cast);
+	}
+}
+
 static const struct pw_stream_events pwr_stream_events = {
 	PW_VERSION_STREAM_EVENTS,
 	.state_changed = pwr_handle_stream_state_changed,
 	.param_changed = pwr_handle_stream_param_changed,
 	.add_buffer = pwr_handle_stream_add_buffer,
 	.remove_buffer = pwr_handle_stream_remove_buffer,
+	.command = pwr_handle_stream_command,
 };
 
 void xdpw_pwr_dequeue_buffer(struct xdpw_screencast_instance *cast) {
EOF
}

# The stack's environment: nothing of the caller's but PATH.
stack_env() {
  local dir=$1
  echo PATH=/usr/local/bin:/usr/bin:/bin HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" \
    XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data" \
    XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/run/bus"
}

as_user() {  # as_user DIR CMD...: CMD as the session's user in its environment
  local dir=$1; shift
  local -a env
  read -r -a env <<<"$(stack_env "$dir") ${WAYLAND_DISPLAY:+WAYLAND_DISPLAY=$WAYLAND_DISPLAY}"
  if [ "$(id -u)" -eq 0 ]; then
    ${exec_user:-} setpriv --reuid="$user" --regid="$user" --init-groups -- env -i "${env[@]}" "$@"
  else
    ${exec_user:-} env -i "${env[@]}" "$@"
  fi
}

launch() {  # launch DIR NAME CMD...: in the background, its pid recorded
  local dir=$1 name=$2; shift 2
  exec_user=exec as_user "$dir" setsid "$@" </dev/null >"$dir/logs/$name.log" 2>&1 &
  echo "$! $name" >>"$dir/pids"
}

wait_for() {  # wait_for DIR SECONDS WHAT CMD...
  local dir=$1 tries=$(($2 * 10)) what=$3; shift 3
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { say "no $what within the time; logs in $dir/logs"; stop "$dir"; exit 1; }
    sleep 0.1
  done
}

has_name() {
  as_user "$1" dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$2" | grep -q 'boolean true'
}

start() {
  local dir=$1 size=${2:-1920x1080}
  [[ $size =~ ^[0-9]+x[0-9]+$ ]] || usage
  [ -x "$xdpw" ] && id "$user" >/dev/null 2>&1 || install_all >&2
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [ -e "$dir/pids" ] && die "$dir is in use"
  mkdir -p "$dir/run" "$dir/logs" "$dir/home" "$dir/state" "$dir/data" \
    "$dir/config/sway" "$dir/config/xdg-desktop-portal-wlr"
  local w=${size%x*} h=${size#*x}
  /usr/bin/convert \( -size $((w / 2))x$((h / 2)) xc:'#ff0000' -size $((w - w / 2))x$((h / 2)) \
    xc:'#00ff00' +append \) \( -size $((w / 2))x$((h - h / 2)) xc:'#0000ff' \
    -size $((w - w / 2))x$((h - h / 2)) xc:'#ffffff' +append \) -append "$dir/config/quadrants.png"
  cat >"$dir/config/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/run/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow user="$user"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  cat >"$dir/config/sway/config" <<EOF
xwayland disable
default_border none
output HEADLESS-1 resolution $size position 0,0 bg $dir/config/quadrants.png stretch
EOF
  cat >"$dir/config/xdg-desktop-portal-wlr/config" <<EOF
[screencast]
chooser_type=none
output_name=HEADLESS-1
EOF
  : >"$dir/pids"
  chmod 755 "$dir"
  chmod 700 "$dir/run"
  [ "$(id -u)" -eq 0 ] && chown -R "$user:$user" "$dir"/{run,logs,home,state,data,config}

  launch "$dir" bus dbus-daemon --nofork --nopidfile --config-file="$dir/config/bus.conf"
  wait_for "$dir" 10 "session bus" test -S "$dir/run/bus"
  launch "$dir" pipewire pipewire
  wait_for "$dir" 10 "PipeWire" test -S "$dir/run/pipewire-0"
  launch "$dir" wireplumber wireplumber
  wait_for "$dir" 20 "WirePlumber" sh -c \
    "XDG_RUNTIME_DIR='$dir/run' pw-cli ls Client | grep -qi 'application.name = \"wireplumber\"'"
  launch "$dir" sway env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "$dir/config/sway/config"
  wait_for "$dir" 20 "sway" sh -c "ls '$dir/run'/sway-ipc.*.sock && ls '$dir/run'/wayland-[0-9]"
  WAYLAND_DISPLAY=$(basename "$(ls "$dir/run"/wayland-[0-9] | head -n1)")
  local swaysock
  swaysock=$(ls "$dir/run"/sway-ipc.*.sock | head -n1)
  wait_for "$dir" 10 "swaybg" sh -c "ps -u '$user' -o comm= | grep -qx swaybg"
  launch "$dir" permission-store /usr/libexec/xdg-permission-store --replace
  wait_for "$dir" 10 "permission store" has_name "$dir" org.freedesktop.impl.portal.PermissionStore
  launch "$dir" portal-wlr env XDPW_PERSIST_MODE=permanent "$xdpw" -l INFO
  wait_for "$dir" 15 "wlr portal backend" has_name "$dir" org.freedesktop.impl.portal.desktop.wlr
  launch "$dir" portal /usr/libexec/xdg-desktop-portal -r
  wait_for "$dir" 15 "desktop portal" has_name "$dir" org.freedesktop.portal.Desktop

  stack_env "$dir" | tr ' ' '\n' | grep -v '^PATH='
  echo "WAYLAND_DISPLAY=$WAYLAND_DISPLAY"
  echo "SWAYSOCK=$swaysock"
  echo "MIRVO_WAYLAND_USER=$user"
}

alive() {  # a pid that exists and is not a zombie
  local st
  st=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ $st != Z* ]]
}

stop() {
  local dir=$1 pid name tries
  [ -f "$dir/pids" ] || return 0
  tac "$dir/pids" | while read -r pid name; do
    alive "$pid" || continue
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || continue
    tries=30
    while alive "$pid" && [ "$tries" -gt 0 ]; do tries=$((tries - 1)); sleep 0.1; done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
  done
  rm -f "$dir/pids"
}

[ $# -ge 1 ] || usage
case $1 in
  install) install_all ;;
  start) [ $# -ge 2 ] && [ $# -le 3 ] || usage; start "$2" "${3:-}" ;;
  stop) [ $# -eq 2 ] || usage; stop "$2" ;;
  *) usage ;;
esac
