#!/bin/sh
# Restart script of nimboservice: start | stop | restart | status.
# The service runs "nimboservice.sh restart" itself after a server switch, so "restart"
# must survive the death of its caller: the new instance is started detached (own session,
# standard streams closed) and the old one is waited for before it starts.
#
# Environment: NIMBO_DEVICE_ROOT (simulated terminal) is passed on unchanged.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
PROG="$HERE/nimboservice"
ROOT="${NIMBO_DEVICE_ROOT:-}"
LOCK="$ROOT/tmp/nimbo_service_lock"

pids() {
    # Only instances of this installation: compare the executable path.
    for p in $(pgrep -x nimboservice 2>/dev/null); do
        exe=$(readlink "/proc/$p/exe" 2>/dev/null) || continue
        [ "$exe" = "$PROG" ] && echo "$p"
    done
}

start() {
    if [ -n "$(pids)" ]; then
        echo "nimboservice is already running (pid $(pids | tr '\n' ' '))"
        return 0
    fi
    # setsid: a new session, so the caller's end (the old service) does not take it along.
    # The restart marker must not reach the service: its own next restart must detach again.
    env -u NIMBO_RESTART_DETACHED setsid "$PROG" </dev/null >/dev/null 2>&1 &
    echo "nimboservice started (pid $!)"
}

stop() {
    p=$(pids)
    [ -z "$p" ] && { echo "nimboservice is not running"; return 0; }
    kill -TERM $p 2>/dev/null
    i=0
    while [ -n "$(pids)" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    if [ -n "$(pids)" ]; then
        kill -KILL $(pids) 2>/dev/null
        rm -f "$LOCK"
    fi
    echo "nimboservice stopped"
}

status() {
    p=$(pids)
    if [ -n "$p" ]; then echo "nimboservice is running (pid $(echo $p | tr '\n' ' '))"; return 0; fi
    echo "nimboservice is not running"
    return 3
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    restart)
        # Detach the whole restart from a caller that is about to be stopped by it.
        if [ "${NIMBO_RESTART_DETACHED:-}" != 1 ]; then
            NIMBO_RESTART_DETACHED=1 setsid "$0" restart </dev/null >/dev/null 2>&1 &
            echo "nimboservice restart scheduled"
            exit 0
        fi
        stop
        start
        ;;
    status) status ;;
    *) echo "usage: $0 {start|stop|restart|status}" >&2; exit 2 ;;
esac
