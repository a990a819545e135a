#!/bin/bash
# Delivery through the window (delivery_bench) beside Postfix's smtp-source, both to one
# Postfix smtp-sink on 127.0.0.1:25 in a network namespace made for the run and deleted after:
#
#   rate    N messages back to back, one connection each: smtp-source -s 1 -m N -l 1024, then
#           ours with the window shown, and hidden (which tells the cost of repainting)
#   big     one message with a 64 MiB attachment: ours (seconds from the send to the end of the
#           dialogue, peak memory above idle beside the uuencoded size), then smtp-source -m 1
#           -l BYTES, BYTES being as many as our header block and text
#   series  ours, once: ten sends on the 3000 ms series timer, the largest deviation of a tick
#
# smtp-source's payload (-l) stands beside our header block and text; it adds its own four
# header lines. RUNS rounds; the table gives the medians. Builds nothing.
#
# usage: delivery_compare.sh [BUILD-DIR] [N] [RUNS]     (defaults: build 1000 5)
# Exit status: 0 when every goal is met, 3 when one is not, 1 on errors. Needs root.

set -euo pipefail

BENCH=$(readlink -f "${1:-build}/bench/delivery_bench" || true)
N=${2:-1000}
RUNS=${3:-5}
die() {
    echo "delivery_compare: $*" >&2
    exit 1
}
[[ $N =~ ^[1-9][0-9]*$ && $RUNS =~ ^[1-9][0-9]*$ ]] || die "bad count (N=$N, RUNS=$RUNS)"
[ -x "$BENCH" ] || die "${1:-build}/bench/delivery_bench is not built"
[ "$(id -u)" -eq 0 ] || die "needs root (network namespace)"
[ -x /usr/sbin/smtp-sink ] && [ -x /usr/sbin/smtp-source ] || die "no smtp-sink/smtp-source (package postfix)"

NS=brbench$$
WORK=$(mktemp -d /tmp/delivery-compare.XXXXXX)
NS_MADE=0
cleanup() {
    if [ $NS_MADE -eq 1 ]; then
        # Whatever runs in the namespace was started here: the sink, or a benchmark cut short.
        pids=$(ip netns pids "$NS")
        [ -z "$pids" ] || kill $pids 2>/dev/null || true
        for _ in $(seq 50); do [ -n "$(ip netns pids "$NS")" ] && sleep 0.1 || break; done
        pids=$(ip netns pids "$NS")
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
        wait || true
        ip netns delete "$NS" || echo "delivery_compare: cannot delete namespace $NS" >&2
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
exec </dev/null
innet() { ip netns exec "$NS" "$@"; }

ip netns add "$NS" || die "cannot create network namespace $NS"
NS_MADE=1
innet ip link set lo up
innet /usr/sbin/smtp-sink -u nobody 127.0.0.1:25 256 >"$WORK/sink.log" 2>&1 & # -u: drops root
greeted() {
    innet timeout 2 bash -c 'exec 3<>/dev/tcp/127.0.0.1/25 && read -r line <&3 &&
        printf "QUIT\r\n" >&3 && [[ $line == 220* ]]' 2>/dev/null
}
for _ in $(seq 50); do greeted && break || sleep 0.2; done
greeted || die "smtp-sink did not greet with 220: $(cat "$WORK/sink.log")"

# smtp-source against the sink, timed inside the namespace (entering it is not counted): seconds.
peer() {
    innet bash -c 't=$EPOCHREALTIME; "$@" >/dev/null && echo "$t $EPOCHREALTIME"' _ \
        /usr/sbin/smtp-source -s 1 "$@" 127.0.0.1:25 | awk '{ print $2 - $1 }'
}
# delivery_bench in the namespace: its lines go to the log, its figures to the figures file.
ours() {
    innet env QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" "$BENCH" "$@" >"$WORK/out" 2>"$WORK/err" ||
        die "delivery_bench $* failed: $(cat "$WORK/err")"
    grep -v '^result ' "$WORK/out" >>"$WORK/log" || true
    awk '$1 == "result" { print $2, $3 }' "$WORK/out" >>"$WORK/figures"
}
last() { awk -v k="$1" '$1 == k { v = $2 } END { print v }' "$WORK/figures"; }

: >"$WORK/figures"
for run in $(seq "$RUNS"); do
    echo "delivery_compare: run $run of $RUNS" >&2
    : >"$WORK/log" # the lines of the last run are shown
    s=$(peer -m "$N" -l 1024) || die "smtp-source failed"
    echo "peer_rate $(awk -v n="$N" -v s="$s" 'BEGIN { print n / s }')" >>"$WORK/figures"
    ours rate "$N"
    ours rate "$N" hidden
    ours big 64
    s=$(peer -m 1 -l "$(last big_payload)") || die "smtp-source failed"
    echo "peer_big $s" >>"$WORK/figures"
done
echo "delivery_compare: series of ten on the 3000 ms timer" >&2
ours series 10

echo "Delivery to Postfix's smtp-sink on 127.0.0.1:25 in a network namespace; $RUNS runs, medians"
echo "(rate: $N messages, 1024 bytes of header and text each; big: 64 MiB attachment, $(last big_encoded)"
echo " bytes uuencoded, $(last big_payload) bytes of header and text, smtp-source -l $(last big_payload))"
echo
sed 's/^/    /' "$WORK/log"
echo
python3 - "$WORK/figures" "$(last big_encoded)" <<'EOF'
import statistics, sys

runs = {}
for line in open(sys.argv[1]):
    name, value = line.split()
    runs.setdefault(name, []).append(float(value))
m = {name: statistics.median(values) for name, values in runs.items()}
encoded, MiB = float(sys.argv[2]), 2**20
print("| figure | ours | peer | ratio | goal | met? |")
print("|---|---:|---:|---:|---|---|")
missed = False
def row(figure, ours, peer, fmt, goal, met, peer_text=None):
    global missed
    missed |= met is False
    print(f"| {figure} | {fmt % ours} | {peer_text or fmt % peer} | {ours / peer:.2f} | {goal} | "
          f"{'-' if met is None else 'yes' if met else 'NO'} |")
row("messages/s back to back, window shown (peer: smtp-source -s 1)",
    m["rate"], m["peer_rate"], "%.0f", ">= 1.00", m["rate"] >= m["peer_rate"])
row("messages/s back to back, window hidden (peer: smtp-source -s 1)",
    m["rate_hidden"], m["peer_rate"], "%.0f", "(for comparison)", None)
row("64 MiB attachment: seconds from the send to the end of the dialogue (peer: smtp-source, same size)",
    m["big"], m["peer_big"], "%.2f", "<= 1.50", m["big"] <= 1.5 * m["peer_big"])
row("64 MiB attachment: peak MiB above idle (peer: the uuencoded size)",
    m["big_peak"] / MiB, encoded / MiB, "%.1f", "<= 1.50", m["big_peak"] <= 1.5 * encoded)
row("series of ten: largest deviation of a tick from 3000 ms, ms",
    m["series"], 3000, "%.2f", "<= 15 ms", m["series"] <= 15, "3000")
print()
print(f"processor time of our program a message (rate, window shown): {m['rate_cpu_us']:.0f} us")
for name in ("peer_rate", "rate", "rate_hidden", "peer_big", "big", "big_peak"):
    print(f"runs {name}: " + " ".join(f"{v:.6g}" for v in runs[name]))
sys.exit(3 if missed else 0)
EOF
