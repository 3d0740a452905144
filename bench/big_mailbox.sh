#!/usr/bin/env bash
# Check time on a big mailbox against a small one, both on throwaway Dovecot sandboxes.
#   bench/big_mailbox.sh -b path/to/bench_check [-m MESSAGES] [-n RUNS]
# The big mailbox gets MESSAGES (default 100000) small messages written straight into
# Maildir/cur, the small one 3. Each server reads its mailbox once before timing (Dovecot
# builds its index then, as it has long done for a real mailbox); then RUNS checks
# (default 15) in one bench_check process on each. Prints "key value" lines:
#   messages, fill_s, index_s, small_ms and big_ms (median, one bench_check process), and
#   curl_small_ms and curl_big_ms (median, a curl process per check)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sandbox="$here/../scripts/dovecot-sandbox"

messages=100000
runs=15
bench_check=""
while getopts "b:m:n:" opt; do
    case "$opt" in
    b) bench_check=$OPTARG ;;
    m) messages=$OPTARG ;;
    n) runs=$OPTARG ;;
    *)
        echo "usage: $0 -b path/to/bench_check [-m MESSAGES] [-n RUNS]" >&2
        exit 2
        ;;
    esac
done
[ -x "$bench_check" ] || {
    echo "big_mailbox: bench_check not found; pass -b PATH" >&2
    exit 1
}
[[ "$messages" =~ ^[1-9][0-9]*$ && "$runs" =~ ^[1-9][0-9]*$ ]] || {
    echo "big_mailbox: -m and -n want positive numbers" >&2
    exit 2
}

small=$(mktemp -d)
big=$(mktemp -d)
cleanup() {
    "$sandbox" stop "$small" >/dev/null 2>&1 || true
    "$sandbox" stop "$big" >/dev/null 2>&1 || true
    rm -rf "$small" "$big"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

set +e
small_port=$("$sandbox" start "$small")
status=$?
set -e
[ "$status" = 0 ] || exit "$status"
big_port=$("$sandbox" start "$big")
"$sandbox" add "$small" 3

# The messages, written as a mail server delivers them: one file each, named with the size
# (S=) and the size with CRLF line ends (W=) so the server need not read them to know it.
body='From: Sandbox Sender <sender@example.org>
To: testuser@localhost
Subject: Bench message
Message-ID: <bench@morvex-sandbox.invalid>

A small message.
'
size=$(printf '%s' "$body" | wc -c)
lines=$(printf '%s' "$body" | wc -l)
cur="$big/mail/testuser/Maildir/cur"
fill_start=${EPOCHREALTIME/[^0-9]/}
for ((i = 0; i < messages; i++)); do
    printf '%s' "$body" >"$cur/1700000000.M${i}P$$.bench,S=$size,W=$((size + lines)):2,"
done
chown -R 5000:5000 "$cur"
fill_end=${EPOCHREALTIME/[^0-9]/}

# The message count the server answers to STAT, from curl's trace.
stat_count() {
    curl --noproxy '*' --verbose --no-progress-meter --max-time 600 --user testuser:secret \
        --request STAT --head "pop3://127.0.0.1:$1/" 2>&1 >/dev/null | tr -d '\r' |
        sed -n '/^> STAT/,$ s/^< +OK \([0-9]*\) .*/\1/p' | head -n1
}
index_start=${EPOCHREALTIME/[^0-9]/}
big_count=$(stat_count "$big_port")
index_end=${EPOCHREALTIME/[^0-9]/}
small_count=$(stat_count "$small_port")
if [ "$big_count" != "$messages" ] || [ "$small_count" != 3 ]; then
    echo "big_mailbox: the servers count ${big_count:-nothing} and ${small_count:-nothing}, not $messages and 3" >&2
    exit 1
fi
# A check that fails fails loudly here, before anything is timed.
"$bench_check" --once --port "$big_port" >/dev/null

median() { sort -n | awk '{ v[NR] = $1 } END {
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
small_ms=$("$bench_check" --repeat "$runs" --port "$small_port" | median)
big_ms=$("$bench_check" --repeat "$runs" --port "$big_port" | median)
# curl on the same two mailboxes, a process per check: how much of the difference is the server's.
curl_ms() {
    local port=$1 start end i
    for ((i = 0; i < runs; i++)); do
        start=${EPOCHREALTIME/[^0-9]/}
        curl --noproxy '*' --silent --max-time 60 --user testuser:secret --request STAT --head \
            "pop3://127.0.0.1:$port/" >/dev/null
        end=${EPOCHREALTIME/[^0-9]/}
        awk -v us=$((end - start)) 'BEGIN { printf "%.3f\n", us / 1000 }'
    done | median
}
curl_small_ms=$(curl_ms "$small_port")
curl_big_ms=$(curl_ms "$big_port")
echo "messages $messages"
awk -v a="$fill_start" -v b="$fill_end" 'BEGIN { printf "fill_s %.1f\n", (b - a) / 1e6 }'
awk -v a="$index_start" -v b="$index_end" 'BEGIN { printf "index_s %.1f\n", (b - a) / 1e6 }'
echo "small_ms $small_ms"
echo "big_ms $big_ms"
echo "curl_small_ms $curl_small_ms"
echo "curl_big_ms $curl_big_ms"
