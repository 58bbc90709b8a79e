#!/bin/sh
# A private PulseAudio server for tests and local runs.
#
#   pulse-server.sh start DIR [SINK]   start a server whose socket, home, runtime
#                                      directory and log live in DIR, with one
#                                      48 kHz stereo null sink SINK (default
#                                      "mirvo_null") as the default sink; wait
#                                      until it answers, then print the client
#                                      environment as KEY=VALUE lines
#   pulse-server.sh stop DIR           stop the server started in DIR
#   pulse-server.sh install            install what the build and tests need (setup.sh)
#
# Use:  eval "$(scripts/pulse-server.sh start /tmp/p | sed 's/^/export /')"
# DIR must not contain whitespace (it ends up in module arguments).
set -eu

. "$(dirname "$0")/lib/stop-pids.sh"
. "$(dirname "$0")/lib/dir-server.sh"

start() {
    dir=$1
    sink=${2:-mirvo_null}
    mkdir -p "$dir/home" "$dir/runtime"
    chmod 700 "$dir/runtime"
    rm -f "$dir/native" "$dir/pid"
    # A clean environment: with DISPLAY or a session bus around, the server
    # tries to reach them. setsid keeps it out of our terminal's signals.
    setsid sh -c 'echo $$ > "$1/pid"; shift; exec "$@"' sh "$dir" \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$dir/home" \
        XDG_RUNTIME_DIR="$dir/runtime" \
        pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --realtime=no --high-priority=no --log-target=stderr \
        -L "module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        -L "module-null-sink sink_name=$sink rate=48000 channels=2" \
        </dev/null >"$dir/server.log" 2>&1 &

    export PULSE_SERVER="unix:$dir/native" PULSE_COOKIE="$dir/cookie"
    tries=0
    until pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ -f "$dir/pid" ] && ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
            echo "pulse-server: the server in $dir ended; see $dir/server.log" >&2
            exit 1
        fi
        if [ "$tries" -ge 150 ]; then  # 30 s: a slow, shared machine
            echo "pulse-server: no answer from the server in $dir; see $dir/server.log" >&2
            stop "$dir"
            exit 1
        fi
        sleep 0.2
    done
    pactl set-default-sink "$sink"
    echo "PULSE_SERVER=$PULSE_SERVER"
    echo "PULSE_COOKIE=$PULSE_COOKIE"
}

stop() {
    dir=$1
    [ -f "$dir/pid" ] || return 0
    pid=$(cat "$dir/pid")
    rm -f "$dir/pid"
    stop_pids 100 "$pid"
}

dir_server_main "$@"
