#!/bin/sh
# A private PipeWire server with its PulseAudio protocol server, for tests and
# local runs; the same interface as pulse-server.sh.
#
#   pipewire-server.sh start DIR [SINK]   start pipewire, wireplumber and
#                                         pipewire-pulse with their runtime
#                                         directory, home, session bus and logs
#                                         in DIR; load one 48 kHz stereo null
#                                         sink SINK (default "mirvo_null") and
#                                         make it the default; print the client
#                                         environment as KEY=VALUE lines
#   pipewire-server.sh stop DIR           stop everything started in DIR
#   pipewire-server.sh install            install what the build and tests need (setup.sh)
#
# DIR must not contain whitespace.
set -eu

. "$(dirname "$0")/lib/stop-pids.sh"
. "$(dirname "$0")/lib/dir-server.sh"

# Starts "$@" in its own session with the private environment; its pid goes
# into DIR/pids.
spawn() {
    name=$1
    shift
    setsid sh -c 'echo $$ >> "$1/pids"; shift; exec "$@"' sh "$dir" \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$dir/home" \
        XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home/.config" \
        XDG_STATE_HOME="$dir/home/.state" DBUS_SESSION_BUS_ADDRESS="$bus" \
        PIPEWIRE_RUNTIME_DIR="$dir/runtime" "$@" \
        </dev/null >"$dir/$name.log" 2>&1 &
}

start() {
    dir=$1
    sink=${2:-mirvo_null}
    mkdir -p "$dir/home" "$dir/runtime"
    chmod 700 "$dir/runtime"
    rm -f "$dir/pids"
    # wireplumber needs a session bus; a private one ends with the others.
    bus=$(env -i PATH=/usr/bin:/bin dbus-daemon --session --fork --print-address=1 \
        --print-pid=3 --address="unix:path=$dir/bus" 3>>"$dir/pids" | head -n 1)
    spawn pipewire pipewire
    tries=0
    until [ -S "$dir/runtime/pipewire-0" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 150 ] || fail "pipewire"
        sleep 0.1
    done
    spawn wireplumber wireplumber
    spawn pipewire-pulse pipewire-pulse

    export PULSE_SERVER="unix:$dir/runtime/pulse/native" PULSE_COOKIE="$dir/cookie"
    tries=0
    until pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 150 ] || fail "pipewire-pulse"  # 30 s: a slow, shared machine
        sleep 0.2
    done
    pactl load-module module-null-sink sink_name="$sink" rate=48000 channels=2 >/dev/null ||
        fail "the null sink"
    # The sink appears once the session manager has seen it.
    tries=0
    until pactl set-default-sink "$sink" 2>/dev/null &&
        [ "$(pactl get-default-sink 2>/dev/null)" = "$sink" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 150 ] || fail "the default sink"
        sleep 0.2
    done
    echo "PULSE_SERVER=$PULSE_SERVER"
    echo "PULSE_COOKIE=$PULSE_COOKIE"
}

fail() {
    echo "pipewire-server: $1 in $dir did not come up; see the logs in $dir" >&2
    stop "$dir"
    exit 1
}

stop() {
    dir=$1
    [ -f "$dir/pids" ] || return 0
    pids=$(cat "$dir/pids")
    rm -f "$dir/pids"
    # shellcheck disable=SC2086  # one pid a word
    stop_pids 100 $pids
}

dir_server_main "$@"
