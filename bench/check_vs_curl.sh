#!/usr/bin/env bash
# Check time against curl on the same throwaway Dovecot account (scripts/dovecot-sandbox).
#   bench/check_vs_curl.sh [-n N] [-b path/to/bench_check]
# Three series of N checks each, all reading the same mailbox over loopback:
#   curl        one curl process per check (CAPA, AUTH PLAIN, STAT, QUIT)
#   process     one bench_check --once process per check (CAPA, then USER, PASS, STAT and
#               QUIT pipelined in one flight), timed
#               exactly like curl, process start included
#   in-process  N checks in one bench_check process, connection set-up to QUIT
# The curl and process runs alternate so that drift on the machine hits both alike. Prints
# median and mean of each series and the ratios against curl; it never judges them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
sandbox="$repo/scripts/dovecot-sandbox"

runs=50
bench_check=""
while getopts "n:b:h" opt; do
    case "$opt" in
    n) runs=$OPTARG ;;
    b) bench_check=$OPTARG ;;
    *)
        echo "usage: $0 [-n N] [-b path/to/bench_check]" >&2
        exit 2
        ;;
    esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || {
    echo "check_vs_curl: -n wants a positive number" >&2
    exit 2
}
if [ -z "$bench_check" ]; then
    for candidate in "$repo"/build/bench/bench_check "$repo"/build-*/bench/bench_check; do
        if [ -x "$candidate" ]; then
            bench_check=$candidate
            break
        fi
    done
fi
if [ -z "$bench_check" ] || [ ! -x "$bench_check" ]; then
    echo "check_vs_curl: bench_check not found; build it or pass -b PATH" >&2
    exit 1
fi
command -v curl >/dev/null || {
    echo "check_vs_curl: curl is not installed" >&2
    exit 77
}

dir=$(mktemp -d)
stop_server() {
    "$sandbox" stop "$dir" >/dev/null || true
    rm -rf "$dir"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

set +e
port=$("$sandbox" start "$dir")
status=$?
set -e
[ "$status" = 0 ] || exit "$status"
"$sandbox" add "$dir" 3

user=testuser
password=secret
url="pop3://127.0.0.1:$port/"
curl_check() {
    curl --noproxy '*' --silent --show-error --max-time 10 --head --request STAT \
        --user "$user:$password" "$url"
}
tarvik_check() {
    "$bench_check" --once --port "$port" --user "$user" --password "$password"
}

# What curl sends and what STAT answered, from curl's own trace (credentials masked).
trace=$(curl --noproxy '*' --verbose --no-progress-meter --max-time 10 --head --request STAT \
    --user "$user:$password" "$url" 2>&1 >/dev/null | tr -d '\r')
curl_sent=$(sed -n 's/^> \(.*\)$/\1/p' <<<"$trace" |
    awk '/^(CAPA|AUTH|STAT|QUIT|USER|PASS|APOP)/ { print; next } { print "<credentials>" }' |
    paste -sd '|' | sed 's/|/ | /g')
curl_stat=$(sed -n '/^> STAT/,$ s/^< \(+OK.*\)$/\1/p' <<<"$trace" | head -n1)
case "$curl_stat" in
"+OK 3 "*) ;;
*)
    echo "check_vs_curl: curl's STAT got '$curl_stat', not 3 messages" >&2
    exit 1
    ;;
esac
tarvik_check

# Runs a command and prints how long it took in milliseconds, timed without starting any
# other process.
time_once() {
    local start end
    start=${EPOCHREALTIME/[^0-9]/}
    "$@" >/dev/null
    end=${EPOCHREALTIME/[^0-9]/}
    local us=$((end - start))
    printf '%d.%03d\n' $((us / 1000)) $((us % 1000))
}

curl_times=()
process_times=()
for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
        curl_times+=("$(time_once curl_check)")
        process_times+=("$(time_once tarvik_check)")
    else
        process_times+=("$(time_once tarvik_check)")
        curl_times+=("$(time_once curl_check)")
    fi
done
mapfile -t inprocess_times < <("$bench_check" --repeat "$runs" --port "$port" --user "$user" \
    --password "$password")
[ "${#inprocess_times[@]}" = "$runs" ] || {
    echo "check_vs_curl: the in-process run gave ${#inprocess_times[@]} times, not $runs" >&2
    exit 1
}

# "median mean" of the numbers on stdin.
stats() {
    sort -n | awk '{ v[NR] = $1; s += $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%.3f %.3f\n", m, s / NR }'
}
read -r curl_median curl_mean < <(printf '%s\n' "${curl_times[@]}" | stats)
read -r proc_median proc_mean < <(printf '%s\n' "${process_times[@]}" | stats)
read -r inproc_median inproc_mean < <(printf '%s\n' "${inprocess_times[@]}" | stats)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

dovecot_version=$(PATH="$PATH:/usr/sbin" dovecot --version | cut -d' ' -f1)
curl_version=$(curl --version | head -n1 | cut -d' ' -f2)
echo "check_vs_curl: $runs checks per series; Dovecot $dovecot_version on 127.0.0.1:$port; curl $curl_version"
echo "  curl sends:      $curl_sent (QUIT as it closes)"
echo "  Morvex sends:    CAPA | USER PASS STAT QUIT (one flight: Dovecot lists PIPELINING)"
printf '  %-28s %10s %10s %14s %14s\n' series "median ms" "mean ms" "median ratio" "mean ratio"
printf '  %-28s %10s %10s %14s %14s\n' "curl, process per check" "$curl_median" "$curl_mean" \
    1.00 1.00
printf '  %-28s %10s %10s %14s %14s\n' "Morvex, process per check" "$proc_median" "$proc_mean" \
    "$(ratio "$proc_median" "$curl_median")" "$(ratio "$proc_mean" "$curl_mean")"
printf '  %-28s %10s %10s %14s %14s\n' "Morvex, in one process" "$inproc_median" "$inproc_mean" \
    "$(ratio "$inproc_median" "$curl_median")" "$(ratio "$inproc_mean" "$curl_mean")"
echo "  The check-time target (Morvex <= 0.8x curl) is read from the process-per-check median"
echo "  ratio: both sides then pay process start, as curl always does."
