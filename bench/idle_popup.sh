#!/usr/bin/env bash
# Wake-ups of Morvex with a notification window open, against the same with none open. Runs
# on an X server with a window manager, where the notification window is kept on top:
#   scripts/with-x -- bench/idle_popup.sh --build DIR [--idle S]
# A sandbox Dovecot (scripts/dovecot-sandbox, root) holds the mailbox; Morvex starts hidden
# in the tray (a shown main window would blink its text cursor twice a second, with or without
# a notification) and checks 10 s after it starts, then every 1440 minutes. Run "popup": one
# message waits, so the first check opens the notification window, which stays open. Run
# "none": the mailbox is empty, and no window opens. From 2 s after the check, each run counts
# Morvex's context switches (voluntary + involuntary, all threads) over S seconds (default 60).
# Prints "wakeups POPUP NONE".
set -euo pipefail

build=""
idle=60
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    *)
        echo "usage: $0 --build DIR [--idle S]" >&2
        exit 2
        ;;
    esac
done
[ -n "$build" ] && [ -x "$build/morvex" ] || {
    echo "idle_popup: --build DIR with a built morvex is required" >&2
    exit 2
}
[ -n "${DISPLAY:-}" ] || {
    echo "idle_popup: needs an X server; run it through scripts/with-x" >&2
    exit 77
}
here=$(cd "$(dirname "$0")" && pwd)
sandbox=$here/../scripts/dovecot-sandbox

tmp=$(mktemp -d)
chmod 755 "$tmp" # Dovecot's login processes reach the sandbox inside
pids=()
# shellcheck source=stop_started.sh
. "$here/stop_started.sh"
# shellcheck source=switches.sh
. "$here/switches.sh"
cleanup() {
    stop_started
    "$sandbox" stop "$tmp/sandbox" >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$("$sandbox" start "$tmp/sandbox")
log=$tmp/sandbox/dovecot.log
logins() { grep -c 'Login: user=<testuser>' "$log" 2>/dev/null || true; }

# Whether a window of that name is viewable.
shown() {
    local id
    for id in $(xwininfo -root -tree | awk -v n="\"$1\":" 'index($0, n) { print $1 }'); do
        xwininfo -id "$id" 2>/dev/null | grep IsViewable >/dev/null && return 0
    done
    return 1
}

# One run: the messages waiting, then the wake-ups counted.
run() {
    local messages=$1 run_dir=$tmp/run$1 before pid
    local waiting
    waiting=$("$sandbox" count "$tmp/sandbox")
    [ "$waiting" = 0 ] || "$sandbox" remove "$tmp/sandbox" "$waiting" >/dev/null
    [ "$messages" = 0 ] || "$sandbox" add "$tmp/sandbox" "$messages" >/dev/null
    mkdir -p "$run_dir/config" "$run_dir/runtime"
    chmod 700 "$run_dir/runtime"
    # The password "secret", complemented as the settings file holds it.
    printf '[Settings]\nServer=127.0.0.1:%s\nUser=testuser\nPass=\\x8c\\x9a\\x9c\\x8d\\x9a\\x8b\nInterval=1440\nAtStart=Min\n' \
        "$port" >"$run_dir/config/MoRvEx.conf"
    before=$(logins)
    XDG_CONFIG_HOME="$run_dir/config" XDG_RUNTIME_DIR="$run_dir/runtime" \
        XDG_STATE_HOME="$run_dir/state" "$build/morvex" 2>/dev/null &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 300); do
        [ "$(logins)" -gt "$before" ] && break
        sleep 0.1
    done
    [ "$(logins)" -gt "$before" ] || { echo "idle_popup: no check in 30 s" >&2; exit 1; }
    if [ "$messages" != 0 ]; then
        for _ in $(seq 50); do
            shown "Morvex notification" && break
            sleep 0.1
        done
        shown "Morvex notification" || { echo "idle_popup: no notification window" >&2; exit 1; }
    fi
    sleep 2
    before=$(switches "$pid")
    sleep "$idle"
    kill -0 "$pid" 2>/dev/null || { echo "idle_popup: Morvex ended during the run" >&2; exit 1; }
    if [ "$messages" != 0 ] && ! shown "Morvex notification"; then
        echo "idle_popup: the notification window closed during the run" >&2
        exit 1
    fi
    switches_since "$before" "$pid"
    stop_started
}

popup=$(run 1)
none=$(run 0)
echo "wakeups $popup $none"
