# Sourced by the benchmark scripts: context switches (voluntary + involuntary) of a process.
# "tid switches" for every thread of a process.
switches() {
    local pid=$1 task
    for task in /proc/"$pid"/task/*; do
        awk -v tid="${task##*/}" '/^(non)?voluntary_ctxt_switches/ { n += $2 }
            END { print tid, n }' "$task/status" 2>/dev/null || true
    done
}
# Switches since `before` (a switches() listing), over the threads alive now.
switches_since() {
    local before=$1 pid=$2
    awk 'NR == FNR { was[$1] = $2; next } { n += $2 - ($1 in was ? was[$1] : 0) }
        END { print n + 0 }' <(printf '%s\n' "$before") <(switches "$pid")
}
