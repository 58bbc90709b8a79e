# Sourced by the server scripts: stops the processes they started.
#
#   stop_pids TRIES PID...   SIGTERM to each PID, then up to TRIES tenths of
#                            a second (all of them together) for them to end;
#                            whatever is left then gets SIGKILL.
stop_pids() {
    _tries_left=$1
    shift
    for _pid in "$@"; do kill -TERM "$_pid" 2>/dev/null || true; done
    for _pid in "$@"; do
        while kill -0 "$_pid" 2>/dev/null; do
            if [ "$_tries_left" -le 0 ]; then
                kill -KILL "$_pid" 2>/dev/null || true
                break
            fi
            _tries_left=$((_tries_left - 1))
            sleep 0.1
        done
    done
}
