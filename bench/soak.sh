#!/usr/bin/env bash
# Months in the tray, compressed: N notifications through the real program on an X server
# with a tray host, beside bench/bare_tray --tls (a Qt Widgets window and tray icon with a
# QSslSocket made, so QtNetwork's TLS backend and OpenSSL are loaded) in the same run.
#   scripts/with-x -- bench/soak.sh --build DIR [--notifications N] [--warmup W] [--step S]
#     --notifications N  checks in all (default 5000); every one opens a notification,
#                        since bench/soak_server alternates the message count
#     --warmup W         the check after which the starting RSS is read (default 500)
#     --step S           also read RSS every S checks after the warm-up (default 1000)
# bench/soak_server is the POP3 server and clicks "Check Now" (XTEST) after each session it
# has served, so one check follows the other. It reads RSS from /proc one second after the
# check of the warm-up, every step and the last, with the notification window up. Prints
# "key morvex-value bare-value" lines:
#   rss_warm_kb, rss_end_kb, and "rss_at_kb CHECK morvex bare" for every step;
#   "growth_per_1000_kb VALUE", "notifications N", "seconds S".
set -euo pipefail

build=""
total=5000
warmup=500
step=1000
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --notifications) total=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --step) step=$2; shift 2 ;;
    *)
        echo "usage: $0 --build DIR [--notifications N] [--warmup W] [--step S]" >&2
        exit 2
        ;;
    esac
done
[ -n "$build" ] || { echo "soak: --build DIR is required" >&2; exit 2; }
[ "$warmup" -lt "$total" ] || { echo "soak: --warmup must be below --notifications" >&2; exit 2; }
[ "${MORVEX_TRAY:-0}" = 1 ] || {
    echo "soak: needs an X server with a tray host; run it through scripts/with-x" >&2
    exit 77
}
command -v xdotool >/dev/null || { echo "soak: xdotool is not installed" >&2; exit 77; }
morvex=$build/morvex
bare=$build/bench/bare_tray
server=$build/bench/soak_server
for program in "$morvex" "$bare" "$server"; do
    [ -x "$program" ] || { echo "soak: $program is missing; build it first" >&2; exit 1; }
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

pause() { sleep "$1"; }

# The server's standard input is a pipe: the start line goes there once the windows are up.
mkfifo "$tmp/start"
"$server" <"$tmp/start" >"$tmp/server.out" 2>"$tmp/server.err" &
server_pid=$!
pids+=("$server_pid")
exec 9>"$tmp/start"
port=""
for _ in $(seq 100); do
    read -r port <"$tmp/server.out" 2>/dev/null || true
    [ -n "$port" ] && break
    pause 0.05
done
[ -n "$port" ] || { echo "soak: soak_server did not start: $(cat "$tmp/server.err")" >&2; exit 1; }

mkdir -p "$tmp/config" "$tmp/runtime" "$tmp/bare"
chmod 700 "$tmp/runtime" "$tmp/bare"
# Password "x" complemented is character 135; the interval keeps automatic checks away.
printf '[Settings]\nServer=127.0.0.1:%s\nUser=soak\nPass=\\x87\nInterval=1440\nAtStart=Max\n' \
    "$port" >"$tmp/config/MoRvEx.conf"
# SOAK_WRAPPER runs Morvex under a tool, e.g. SOAK_WRAPPER="heaptrack -o /tmp/soak"; its
# RSS is then the tool's process, not Morvex.
# shellcheck disable=SC2086
XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" XDG_STATE_HOME="$tmp/state" ${SOAK_WRAPPER:-} "$morvex" 2>/dev/null &
morvex_pid=$!
pids+=("$morvex_pid")
XDG_RUNTIME_DIR="$tmp/bare" "$bare" --tls 2>/dev/null &
bare_pid=$!
pids+=("$bare_pid")

window=""
for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --name '^Morvex$' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && xdotool search --onlyvisible --name '^Bare tray$' >/dev/null 2>&1 && break
    window=""
    pause 0.1
done
[ -n "$window" ] || { echo "soak: the windows did not show in 20 s" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"
# The middle of "Check Now" (210, 35, 115 x 31 inside the one-pixel inset panel).
start=$SECONDS
echo "$((X + 1 + 210 + 57)) $((Y + 1 + 35 + 15)) $total $warmup $step $morvex_pid $bare_pid" >&9
set +e
wait "$server_pid"
status=$?
set -e
[ "$status" = 0 ] || { echo "soak: $(cat "$tmp/server.err")" >&2; exit 1; }
grep '^rss_at_kb' "$tmp/server.out"
read -r _ warm_at warm_morvex warm_bare < <(grep '^rss_at_kb' "$tmp/server.out" | head -n1)
read -r _ done_checks end_morvex end_bare < <(grep '^rss_at_kb' "$tmp/server.out" | tail -n1)
echo "rss_warm_kb $warm_morvex $warm_bare"
echo "rss_end_kb $end_morvex $end_bare"
awk -v a="$warm_morvex" -v b="$end_morvex" -v n="$((done_checks - warm_at))" \
    'BEGIN { printf "growth_per_1000_kb %.1f\n", (b - a) * 1000 / n }'
echo "notifications $done_checks"
echo "seconds $((SECONDS - start))"
