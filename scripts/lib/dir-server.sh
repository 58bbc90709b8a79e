# shellcheck shell=sh
# Sourced by the server scripts whose state lives in one directory
# (pulse-server.sh, pipewire-server.sh): their common command line.
#
#   dir_server_main "$@"   "start DIR [SINK]", "stop DIR" or "install": calls
#                          the script's own start DIR SINK / stop DIR, or
#                          setup.sh; anything else prints the usage, status 2.
usage() {
    echo "usage: $0 start DIR [SINK] | stop DIR | install" >&2
    exit 2
}

dir_server_main() {
    [ $# -ge 1 ] || usage
    case $1 in
        start) [ $# -ge 2 ] || usage; start "$2" "${3:-}" ;;
        stop) [ $# -eq 2 ] || usage; stop "$2" ;;
        install) "$(dirname "$0")/setup.sh" ;;
        *) usage ;;
    esac
}
