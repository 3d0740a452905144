#!/usr/bin/env bash
# Round trips and client flights per mailbox check over a link with 50 ms round-trip time,
# for plain POP3, STLS and implicit TLS, and for a bare host name's first contact (port 995
# open, or filtered so that STLS on 110 wins the race), beside curl doing the same checks
# on the same servers and beside the protocol floor of each mode (see the README).
#   bench/roundtrips.sh [-n N] [-b path/to/bench_check] [-r path/to/delay_relay]
# Two network namespaces joined by a veth pair, 25 ms of netem delay on each side. Their
# addresses are link-local (169.254.150.0/30) and exist only inside the two namespaces,
# so nothing can leave the machine. Where the kernel has no netem, bench/delay_relay in
# the client's namespace adds the same delay to every byte and to connection set-up, and
# the checks go through it; with netem the relay runs without delay, only to count client
# flights (bursts of client bytes that waited for the server). The server side runs two
# throwaway Dovecots
# (scripts/dovecot-sandbox): one without TLS, one offering STLS and pop3s, with a test
# certificate made here. Each check is timed from connecting to QUIT; curl is timed as a
# whole process (CAPA, AUTH PLAIN, STAT, QUIT). Prints medians, the estimated round trips
# (time / RTT), the mean client flights per connection and the ratios Tarvik/curl; it
# never judges them. Needs root; where network
# namespaces cannot be made it says why and exits 0.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
sandbox="$repo/scripts/dovecot-sandbox"

runs=10
helper=""
relay=""
while getopts "n:b:r:h" opt; do
    case "$opt" in
    n) runs=$OPTARG ;;
    b) helper=$OPTARG ;;
    r) relay=$OPTARG ;;
    *)
        echo "usage: $0 [-n N] [-b path/to/bench_check] [-r path/to/delay_relay]" >&2
        exit 2
        ;;
    esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || {
    echo "roundtrips: -n wants a positive number" >&2
    exit 2
}
skip() {
    echo "roundtrips: skipped: $*"
    exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root for network namespaces and Dovecot"
for tool in ip tc curl openssl nft; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
if [ -z "$helper" ]; then
    for candidate in "$repo"/build/bench/bench_check "$repo"/build-*/bench/bench_check; do
        if [ -x "$candidate" ]; then
            helper=$candidate
            break
        fi
    done
fi
if [ -z "$helper" ] || [ ! -x "$helper" ]; then
    echo "roundtrips: bench_check not found; build it or pass -b PATH" >&2
    exit 1
fi
[ -n "$relay" ] || relay="$(dirname "$helper")/delay_relay"

readonly delay_ms=25
readonly rtt_ms=$((2 * delay_ms))
readonly client_ip=169.254.150.1
readonly server_ip=169.254.150.2
cli="mvx-cli-$$"
srv="mvx-srv-$$"
work=$(mktemp -d)
chmod 755 "$work"
plain_dir="$work/plain"
tls_dir="$work/tls"
relay_pid=""

cleanup() {
    set +e
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null
        wait "$relay_pid" 2>/dev/null
    fi
    for dir in "$plain_dir" "$tls_dir"; do
        [ -f "$dir/dovecot.conf" ] && "$sandbox" stop "$dir" >/dev/null 2>&1
    done
    ip netns del "$cli" 2>/dev/null
    ip netns del "$srv" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! why=$(ip netns add "$cli" 2>&1); then
    skip "ip netns add is not permitted here: $why"
fi
ip netns add "$srv"
ip link add "vc$$" netns "$cli" type veth peer name "vs$$" netns "$srv" ||
    skip "cannot make a veth pair between namespaces"
ip -n "$cli" addr add "$client_ip/30" dev "vc$$"
ip -n "$srv" addr add "$server_ip/30" dev "vs$$"
for ns in "$cli" "$srv"; do
    ip -n "$ns" link set lo up
done
ip -n "$cli" link set "vc$$" up
ip -n "$srv" link set "vs$$" up
[ -x "$relay" ] || skip "no delay_relay (pass -r PATH)"
delay="netem on the veth pair"
relay_delay=0
if ! why=$(tc -n "$cli" qdisc add dev "vc$$" root netem delay "${delay_ms}ms" 2>&1); then
    delay="delay_relay (no netem here: $why)"
    relay_delay=$delay_ms
else
    tc -n "$srv" qdisc add dev "vs$$" root netem delay "${delay_ms}ms"
fi

# A test authority and a certificate for the server's address.
(
    cd "$work"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key \
        -out ca.pem -days 2 -subj "/CN=roundtrips test CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout key.pem \
        -out server.csr -subj "/CN=roundtrips server" \
        -addext "subjectAltName=IP:$server_ip,IP:127.0.0.1"
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -copy_extensions copy -out cert.pem
) >/dev/null 2>&1 || {
    echo "roundtrips: openssl could not make the test certificates" >&2
    exit 1
}

start_server() {
    local dir=$1 ssl=$2
    SANDBOX_SSL=$ssl SANDBOX_SSL_CERT="$work/cert.pem" SANDBOX_SSL_KEY="$work/key.pem" \
        SANDBOX_LISTEN=$server_ip ip netns exec "$srv" "$sandbox" start "$dir"
}
status=0
ports=$(start_server "$plain_dir" no) || status=$?
[ "$status" = 77 ] && skip "Dovecot cannot run here"
[ "$status" = 0 ] || exit 1
plain_port=$ports
ports=$(start_server "$tls_dir" yes)
stls_port=$(sed -n 1p <<<"$ports")
pop3s_port=$(sed -n 2p <<<"$ports")
"$sandbox" add "$plain_dir" 5
"$sandbox" add "$tls_dir" 5

# The client connects to the relay in front of the server.
target=$server_ip
if [ -n "$relay" ]; then
    ip netns exec "$cli" "$relay" --delay-ms "$relay_delay" --map "10110=$server_ip:$plain_port" \
        --map "10111=$server_ip:$stls_port" --map "10995=$server_ip:$pop3s_port" \
        --map "110=$server_ip:$stls_port" --map "995=$server_ip:$pop3s_port" \
        >"$work/relay.out" 2>&1 &
    relay_pid=$!
    for _ in $(seq 100); do
        grep -q ready "$work/relay.out" 2>/dev/null && break
        kill -0 "$relay_pid" 2>/dev/null || break
        sleep 0.05
    done
    grep -q ready "$work/relay.out" || {
        echo "roundtrips: delay_relay did not start: $(cat "$work/relay.out")" >&2
        exit 1
    }
    target=127.0.0.1
    plain_port=10110
    stls_port=10111
    pop3s_port=10995
else
    # A bare host name's ports on the server itself: 995 and 110 in front of the TLS Dovecot.
    ip netns exec "$srv" nft -f - <<RULES
table ip morvex_bench {
    chain prerouting {
        type nat hook prerouting priority -100;
        tcp dport 995 redirect to :$pop3s_port
        tcp dport 110 redirect to :$stls_port
    }
}
RULES
fi

# Connecting and reading the greeting: two round trips (the shortest of five; each
# includes starting bash).
connect_ms() {
    local i start end
    for ((i = 0; i < 5; i++)); do
        start=$(date +%s%N)
        ip netns exec "$cli" bash -c "exec 3<>/dev/tcp/$target/$plain_port; read -r -u 3 _" \
            2>/dev/null
        end=$(date +%s%N)
        echo $(((end - start) / 1000))
    done | sort -n | head -n1 | awk '{ printf "%.1f", $1 / 1000 }'
}
measured=$(connect_ms)

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Tarvik: one warm-up, then runs checks in one process; more options after the server text.
tarvik_ms() {
    local text=$1
    shift
    ip netns exec "$cli" "$helper" --server "$text" --ca "$work/ca.pem" --repeat "$runs" "$@" |
        median
}
# While it is set, whatever the client sends to port 995 is dropped where it arrives (the
# relay in the client's namespace, or the server's): a filtered port, which never answers.
filter_995() {
    local ns
    for ns in "$cli" "$srv"; do
        ip netns exec "$ns" nft -f - <<'RULES'
table inet morvex_filter {
    chain prerouting {
        type filter hook prerouting priority -150;
        tcp dport 995 drop
    }
}
RULES
    done
}
unfilter_995() {
    ip netns exec "$cli" nft delete table inet morvex_filter
    ip netns exec "$srv" nft delete table inet morvex_filter
}
# curl: one process per check.
curl_ms() {
    local url=$1 i start end
    shift
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        ip netns exec "$cli" curl -s -X STAT -I -u testuser:secret --cacert "$work/ca.pem" \
            "$@" "$url" >/dev/null
        end=$(date +%s%N)
        awk -v ns=$((end - start)) 'BEGIN { printf "%.3f\n", ns / 1e6 }'
    done | median
}

# Mean client flights per connection to the relay port since line $2 of its output.
flights() {
    local port=$1 from=$2
    sleep 0.5 # the relay reports a connection once both of its sides have closed
    tail -n +"$((from + 1))" "$work/relay.out" |
        awk -v p="$port" '$1 == "flights" && $2 == p { n++; s += $3 } END { if (n) printf "%.1f", s / n; else print "?" }'
}
lines() { wc -l <"$work/relay.out"; }

echo "roundtrips: $runs checks per series, ${delay_ms} ms delay each way by $delay" \
    "(RTT ${rtt_ms} ms nominal; connect + greeting took ${measured:-?} ms, 2 RTT);" \
    "Dovecot $(dovecot --version | cut -d' ' -f1);" \
    "$(curl --version | head -n1 | cut -d' ' -f1-2)"
printf '%-8s %10s %6s %8s %10s %6s %8s %7s %8s %12s\n' mode "tarvik ms" RTs flights \
    "curl ms" RTs flights "floor" flights "tarvik/curl"
# mode, url for curl, server text for Tarvik, floor RTs and flights, curl's options. The
# port whose flights count is the server text's (BENCH_PORT overrides it); BENCH_OPTIONS go
# to bench_check.
series() {
    local mode=$1 url=$2 text=$3 floor=$4 floor_flights=$5 at ours ours_f theirs theirs_f port
    local curl_port=${url%/}
    port=${BENCH_PORT:-${3##*:}}
    curl_port=${curl_port##*:}
    shift 5
    at=$(lines)
    # shellcheck disable=SC2086
    ours=$(tarvik_ms "$text" ${BENCH_OPTIONS:-})
    ours_f=$(flights "$port" "$at")
    at=$(lines)
    theirs=$(curl_ms "$url" "$@")
    theirs_f=$(flights "$curl_port" "$at")
    awk -v m="$mode" -v a="$ours" -v af="$ours_f" -v b="$theirs" -v bf="$theirs_f" -v r="$rtt_ms" \
        -v f="$floor" -v ff="$floor_flights" \
        'BEGIN { printf "%-8s %10.1f %6.1f %8s %10.1f %6.1f %8s %7s %8s %12.2f\n", m, a, a / r, af, b, b / r, bf, f, ff, a / b }'
}
series plain "pop3://$target:$plain_port/" "$target:$plain_port" 5 3
series STLS "pop3://$target:$stls_port/" "$target:$stls_port" 8 6 --ssl-reqd
series pop3s "pop3s://$target:$pop3s_port/" "pop3s://$target:$pop3s_port" 6 5
# A bare host name, every check a first contact: 995 answers (implicit TLS wins at once),
# or 995 is filtered (STLS on 110 starts after the race's 250 ms and wins). Beside curl's
# STLS check, which is what a bare host name got before.
BENCH_PORT=995 BENCH_OPTIONS=--forget series "bare 995" "pop3://$target:$stls_port/" "$target" \
    6 5 --ssl-reqd
filter_995
BENCH_PORT=110 BENCH_OPTIONS=--forget series "bare 110" "pop3://$target:$stls_port/" "$target" \
    "8+.25s" 6 --ssl-reqd
unfilter_995
echo "RTs: wall time per check / ${rtt_ms} ms; curl's include starting the process."
echo "flights: client flights per connection, counted by the relay; floor: the fewest round"
echo "trips and flights of each mode with TLS 1.3 (README, \"Round trips\"). bare: the server text"
echo "is a bare host name, every check its first contact (--forget); bare 110 has port 995"
echo "filtered, and its floor adds the race's delay."
