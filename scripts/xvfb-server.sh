#!/bin/sh
# A private virtual X server for tests and local runs.
#
#   xvfb-server.sh start [PAINTER [XVFB_ARG...]]
#                                    start Xvfb (1920x1080, 24-bit) on a free
#                                    display number, wait until it answers,
#                                    paint the root with four quadrants (red,
#                                    green / blue, white), print the DISPLAY
#                                    (e.g. ":7") on standard output
#   xvfb-server.sh stop DISPLAY      stop the server started for DISPLAY
#   xvfb-server.sh install           install what the build and tests need (setup.sh)
#
# PAINTER is a program that paints the root of the server in $DISPLAY (the
# tests pass their own, built from tests/screen_e2e/paint_root.c); without
# one (or with "") the pattern is made with ImageMagick. Further arguments go
# to Xvfb, e.g. "-extension MIT-SHM" to run without shared memory.
#
# Use:  export DISPLAY=$(scripts/xvfb-server.sh start)
set -eu

. "$(dirname "$0")/lib/stop-pids.sh"

state_dir=${TMPDIR:-/tmp}

usage() {
    echo "usage: $0 start [PAINTER [XVFB_ARG...]] | stop DISPLAY | install" >&2
    exit 2
}

install_packages() {
    "$(dirname "$0")/setup.sh"
}

paint_with_imagemagick() {
    img=$(mktemp "$state_dir/mirvo-quadrants.XXXXXX.png")
    # Full paths: another "convert" may come first on PATH.
    /usr/bin/convert \( -size 960x540 xc:'#ff0000' xc:'#00ff00' +append \) \
        \( -size 960x540 xc:'#0000ff' xc:'#ffffff' +append \) -append "$img"
    /usr/bin/display -window root "$img"
    rm -f "$img"
}

start() {
    painter=${1:-}
    [ $# -gt 0 ] && shift
    numfile=$(mktemp "$state_dir/mirvo-xvfb.XXXXXX")
    # -displayfd lets the server pick a free number itself (no race with a
    # parallel test) and writes it once it accepts connections. -noreset keeps
    # the painted root when the last client leaves.
    setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset "$@" \
        3>"$numfile" </dev/null >"$numfile.log" 2>&1 &
    pid=$!
    tries=0
    until [ -s "$numfile" ] && grep -q '^[0-9]' "$numfile"; do
        tries=$((tries + 1))
        if ! kill -0 "$pid" 2>/dev/null || [ "$tries" -ge 150 ]; then  # 30 s
            echo "xvfb-server: the server did not start; see $numfile.log" >&2
            kill -TERM "$pid" 2>/dev/null || true
            exit 1
        fi
        sleep 0.2
    done
    display=":$(head -n1 "$numfile" | tr -dc 0-9)"
    rm -f "$numfile"
    echo "$pid" >"$state_dir/mirvo-xvfb$display.pid"
    mv "$numfile.log" "$state_dir/mirvo-xvfb$display.log"
    tries=0
    until DISPLAY=$display xdpyinfo >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -ge 150 ]; then
            echo "xvfb-server: no answer on $display" >&2
            stop "$display"
            exit 1
        fi
        sleep 0.2
    done
    if [ -n "$painter" ]; then
        DISPLAY=$display "$painter" || { stop "$display"; exit 1; }
    else
        DISPLAY=$display paint_with_imagemagick || { stop "$display"; exit 1; }
    fi
    echo "$display"
}

stop() {
    display=$1
    pidfile="$state_dir/mirvo-xvfb$display.pid"
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    rm -f "$pidfile" "$state_dir/mirvo-xvfb$display.log"
    stop_pids 50 "$pid"
}

[ $# -ge 1 ] || usage
case $1 in
    start) shift; start "$@" ;;
    stop) [ $# -eq 2 ] || usage; stop "$2" ;;
    install) install_packages ;;
    *) usage ;;
esac
