#!/usr/bin/env bash
# Idle cost and start-up time of Morvex beside bench/bare_tray (a Qt Widgets program with a
# tray icon and a window, nothing else). Runs on an X server with a tray host and no window
# manager (map_timer watches the root's own children, which a window manager's frames hide):
#   scripts/with-x --no-wm -- bench/idle_startup.sh --build DIR [--port P --log FILE] [--idle S]
#                                                   [--runs N] [--nm]
#     --port P, --log FILE   a sandbox Dovecot (empty mailbox) for Morvex to check, and its
#                            log; without them Morvex checks 127.0.0.1:1, which refuses at
#                            once (and tries again a minute later, after the window)
#     --idle S               the idle window in seconds (default 60)
#     --runs N               start-up runs per program (default 7; 0: idle only)
#     --nm                   NetworkManager (online) and logind, python3-dbusmock's, on the
#                            private system bus both programs get; without it that bus has
#                            neither, as on a machine without NetworkManager
# Idle: Morvex and bench/bare_tray --tls (with a QSslSocket made: QtNetwork's TLS backend and
# OpenSSL loaded, as in a program that has checked its mail) run side by side with their
# windows up. Morvex checks 10 s after it starts, then every 1440 minutes. From 2 s after
# that first check (with --log; without it, from the moment both windows are on screen) it
# counts context switches over S seconds (voluntary + involuntary, per thread, the threads
# alive at the end), then reads VmRSS and, from smaps_rollup, Pss.
# Start-up: alternating runs of bench/map_timer, process start to the main window mapped.
# Prints "key morvex-value bare-value" lines:
#   rss_up_kb (as the windows show, before the first check), rss_kb, pss_kb, wakeups,
#   startup_ms (median); and "checks SINCE-START IN-WINDOW" for Morvex
set -euo pipefail

build=""
port=""
log=""
idle=60
runs=7
nm=0
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --nm) nm=1; shift ;;
    *)
        echo "usage: $0 --build DIR [--port P --log FILE] [--idle S] [--runs N] [--nm]" >&2
        exit 2
        ;;
    esac
done
[ -n "$build" ] || {
    echo "idle_startup: --build DIR is required" >&2
    exit 2
}
[ "${MORVEX_TRAY:-0}" = 1 ] && [ "${MORVEX_WM:-0}" = 0 ] || {
    echo "idle_startup: needs an X server with a tray host and no window manager;" \
        "run it through scripts/with-x --no-wm" >&2
    exit 77
}
morvex=$build/morvex
bare=$build/bench/bare_tray
map_timer=$build/bench/map_timer
for program in "$morvex" "$bare" "$map_timer"; do
    [ -x "$program" ] || {
        echo "idle_startup: $program is missing; build it first" >&2
        exit 1
    }
done

tmp=$(mktemp -d)
pids=()
# shellcheck source=stop_started.sh
. "$(dirname "$0")/stop_started.sh"
cleanup() {
    stop_started
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

flipped() {
    local text=$1 i code out=""
    for ((i = 0; i < ${#text}; i++)); do
        printf -v code '%d' "'${text:i:1}"
        out+=$(printf '\\x%02x' $((255 - code)))
    done
    printf '%s' "$out"
}
mkdir -p "$tmp/idle/config" "$tmp/idle/runtime" "$tmp/start/config" "$tmp/start/runtime" \
    "$tmp/bare/runtime"
chmod 700 "$tmp/idle/runtime" "$tmp/start/runtime" "$tmp/bare/runtime"
if [ -n "$port" ]; then
    printf '[Settings]\nServer=127.0.0.1:%s\nUser=testuser\nPass=%s\nInterval=1440\nAtStart=Max\n' \
        "$port" "$(flipped secret)" >"$tmp/idle/config/MoRvEx.conf"
else
    # Port 1 on loopback: the check fails at once and nothing leaves the machine.
    printf '[Settings]\nServer=127.0.0.1:1\nUser=nobody\nPass=x\nInterval=1440\nAtStart=Max\n' \
        >"$tmp/idle/config/MoRvEx.conf"
fi
printf '[Settings]\nServer=127.0.0.1:1\nInterval=1440\nAtStart=Max\n' >"$tmp/start/config/MoRvEx.conf"

# True when a top-level window with exactly this name is on screen.
shown() {
    local name=$1 id
    for id in $(xwininfo -root -children | awk -v n="\"$name\":" '{ s = $0
        sub(/^ *0x[0-9a-f]+ /, "", s)
        if (index(s, n) == 1) print $1 }'); do
        xwininfo -id "$id" 2>/dev/null | grep IsViewable >/dev/null && return 0
    done
    return 1
}

# shellcheck source=switches.sh
. "$(dirname "$0")/switches.sh"
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
pss_kb() { awk '$1 == "Pss:" { print $2 }' "/proc/$1/smaps_rollup"; }
logins() {
    if [ -n "$log" ] && [ -f "$log" ]; then
        grep -c 'Login: user=<testuser>' "$log" || true
    else
        echo 0
    fi
}

# --- the system bus ----------------------------------------------------------------------
# A private one, so what is on it is known: nothing, or NetworkManager and logind.
command -v dbus-daemon >/dev/null || {
    echo "idle_startup: dbus-daemon is not installed" >&2
    exit 77
}
cat >"$tmp/system.conf" <<END
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=$tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
END
dbus-daemon --config-file="$tmp/system.conf" --nofork --print-address=3 3>"$tmp/bus.address" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$tmp/bus.address" ] && break
    sleep 0.05
done
DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$tmp/bus.address")
[ -n "$DBUS_SYSTEM_BUS_ADDRESS" ] || {
    echo "idle_startup: the private system bus did not start" >&2
    exit 1
}
export DBUS_SYSTEM_BUS_ADDRESS
on_bus() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
if [ "$nm" = 1 ]; then
    site=$("$(dirname "$0")/../scripts/dbusmock" "$build/dbusmock") || exit 77
    for template in networkmanager:org.freedesktop.NetworkManager logind:org.freedesktop.login1; do
        PYTHONPATH=$site /usr/bin/python3 -m dbusmock --system --template "${template%%:*}" \
            >"$tmp/${template%%:*}.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 200); do
            on_bus "${template#*:}" && break
            sleep 0.1
        done
        on_bus "${template#*:}" || {
            echo "idle_startup: dbusmock ${template%%:*} did not come up" >&2
            exit 1
        }
    done
fi

# --- idle --------------------------------------------------------------------------------
bus_pids=("${pids[@]}")
logins_at_start=$(logins)
XDG_CONFIG_HOME="$tmp/idle/config" XDG_RUNTIME_DIR="$tmp/idle/runtime" XDG_STATE_HOME="$tmp/idle/state" "$morvex" 2>/dev/null &
morvex_pid=$!
pids+=("$morvex_pid")
XDG_RUNTIME_DIR="$tmp/bare/runtime" "$bare" --tls 2>/dev/null &
bare_pid=$!
pids+=("$bare_pid")
for _ in $(seq 200); do
    shown Morvex && shown "Bare tray" && break
    sleep 0.1
done
if ! shown Morvex || ! shown "Bare tray"; then
    echo "idle_startup: the windows did not show in 20 s" >&2
    exit 1
fi
rss_up="rss_up_kb $(status_kb "$morvex_pid" VmRSS) $(status_kb "$bare_pid" VmRSS)"
if [ -n "$log" ]; then
    for _ in $(seq 300); do
        [ "$(logins)" -gt "$logins_at_start" ] && break
        sleep 0.1
    done
    sleep 2
fi
logins_before=$(logins)
morvex_before=$(switches "$morvex_pid")
bare_before=$(switches "$bare_pid")
sleep "$idle"
for pid in "$morvex_pid" "$bare_pid"; do
    kill -0 "$pid" 2>/dev/null || {
        echo "idle_startup: process $pid ended during the idle window" >&2
        exit 1
    }
done
echo "$rss_up"
echo "rss_kb $(status_kb "$morvex_pid" VmRSS) $(status_kb "$bare_pid" VmRSS)"
echo "pss_kb $(pss_kb "$morvex_pid") $(pss_kb "$bare_pid")"
echo "wakeups $(switches_since "$morvex_before" "$morvex_pid") $(switches_since "$bare_before" "$bare_pid")"
# Checks Morvex made (Dovecot logins): since its start, and inside the idle window.
logins_after=$(logins)
echo "checks $((logins_after - logins_at_start)) $((logins_after - logins_before))"
pids=("$morvex_pid" "$bare_pid")
stop_started
pids=("${bus_pids[@]}")
[ "$runs" -gt 0 ] || exit 0

# --- start-up ----------------------------------------------------------------------------
morvex_times=()
bare_times=()
time_morvex() {
    XDG_CONFIG_HOME="$tmp/start/config" XDG_RUNTIME_DIR="$tmp/start/runtime" XDG_STATE_HOME="$tmp/start/state" \
        "$map_timer" Morvex "$morvex" 2>/dev/null
}
time_bare() { XDG_RUNTIME_DIR="$tmp/bare/runtime" "$map_timer" "Bare tray" "$bare" 2>/dev/null; }
# One untimed run each: the first start reads the libraries from disk.
time_morvex >/dev/null
time_bare >/dev/null
for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
        morvex_times+=("$(time_morvex)")
        bare_times+=("$(time_bare)")
    else
        bare_times+=("$(time_bare)")
        morvex_times+=("$(time_morvex)")
    fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "startup_ms $(median "${morvex_times[@]}") $(median "${bare_times[@]}")"
