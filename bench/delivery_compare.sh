#!/bin/bash
# Delivery through the window beside Postfix's smtp-source, against the same smtp-sink, in one
# network namespace made for the run (scripts/postfix-netns.sh, scripts/bench/smtp_peer.sh):
#
#   rate    N messages of 1 KiB of text, one connection each, one session at a time:
#           smtp-source -s 1 -m N -l 1024, then delivery_bench (window shown, and once more
#           hidden, which tells the cost of repainting from the cost of sending)
#   big     one message of the size that our 64 MiB attachment takes on the wire: smtp-source
#           -m 1 -l BYTES, then delivery_bench (time from the send to the end of the dialogue,
#           and peak memory above the idle program beside the uuencoded size)
#   series  delivery_bench: ten sends on the 3000 ms series timer, largest deviation a tick
#
# The peers and ours alternate, RUNS times; the table gives the median of each figure.
# Builds nothing.
#
# usage: delivery_compare.sh [BUILD-DIR] [N] [RUNS]     (defaults: build 1000 5)
# Exit status: 0 when every goal is met, 3 when one is not, 1 on errors. Needs root.

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd -P)
ROOT=$(cd "$HERE/.." && pwd -P)
PFNS=$ROOT/tests/e2e/postfix-netns.sh
PEER=$ROOT/scripts/bench/smtp_peer.sh
BUILD=${1:-build}
N=${2:-1000}
RUNS=${3:-5}
BENCH=$(readlink -f "$BUILD/bench/delivery_bench" 2>/dev/null || true)
PYTHON=${PYTHON:-$(test -x /usr/bin/python3 && echo /usr/bin/python3 || command -v python3)}

die() {
    echo "delivery_compare: $*" >&2
    exit 1
}
[[ "$N" =~ ^[1-9][0-9]*$ ]] || die "bad message count '$N'"
[[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || die "bad run count '$RUNS'"
[ -n "$BENCH" ] && [ -x "$BENCH" ] || die "$BUILD/bench/delivery_bench is not built"
[ "$(id -u)" -eq 0 ] || die "needs root (network namespace)"

NS=brdeliv$$
WORK=$(mktemp -d /tmp/delivery-compare.XXXXXX)
cleanup() {
    "$PFNS" down "$NS" "$WORK" >/dev/null 2>&1 || echo "delivery_compare: cleanup of $NS failed" >&2
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
exec </dev/null

# Our program inside the namespace, on Qt's offscreen platform; its "result" lines.
ours() {
    "$PFNS" exec "$NS" "$WORK" env QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" "$BENCH" "$@" \
        2>"$WORK/bench.err" | tee -a "$WORK/ours.log" | awk '$1 == "result" { print $2, $3 }' ||
        {
            cat "$WORK/bench.err" >&2
            die "delivery_bench $* failed"
        }
}
pick() { awk -v k="$1" '$1 == k { print $2 }'; }

"$PEER" sink-start "$NS" "$WORK" 25 >/dev/null
SIZES=$("$BENCH" --sizes 2>/dev/null | awk '$1 == "result" { print $2, $3 }')
BIG_TEXT=$(echo "$SIZES" | pick big_text_bytes)
BIG_ENCODED=$(echo "$SIZES" | pick big_encoded_bytes)
[ -n "$BIG_TEXT" ] || die "delivery_bench --sizes gave no size"

FIGURES=$WORK/figures # lines "name value", one per run and figure
: >"$FIGURES"
for run in $(seq "$RUNS"); do
    echo "delivery_compare: run $run of $RUNS" >&2
    out=$("$PEER" rate "$NS" "$WORK" "$N" 2>/dev/null) || die "smtp-source rate failed"
    echo "peer_rate $(echo "$out" | sed -n 's/.*: \([0-9.]*\) messages\/s$/\1/p')" >>"$FIGURES"
    r=$(ours --only rate --rate "$N")
    echo "rate $(echo "$r" | pick rate_per_second)" >>"$FIGURES"
    echo "rate_cpu $(echo "$r" | pick rate_cpu_us_per_message)" >>"$FIGURES"
    r=$(ours --only rate --rate "$N" --hidden)
    echo "rate_hidden $(echo "$r" | pick rate_per_second)" >>"$FIGURES"

    out=$("$PEER" big "$NS" "$WORK" "$BIG_TEXT" 2>/dev/null) || die "smtp-source big failed"
    echo "peer_big $(echo "$out" | sed -n 's/.* in \([0-9.]*\) s$/\1/p')" >>"$FIGURES"
    r=$(ours --only big)
    echo "big $(echo "$r" | pick big_seconds)" >>"$FIGURES"
    echo "big_peak $(echo "$r" | pick big_peak_above_idle_bytes)" >>"$FIGURES"
done
echo "delivery_compare: series of ten on the 3000 ms timer" >&2
r=$(ours --only series --series 10)
echo "series $(echo "$r" | pick series_max_deviation_ms)" >>"$FIGURES"

echo "Delivery to Postfix's smtp-sink on 127.0.0.1:25 in a network namespace; $RUNS runs, medians"
echo "(rate: $N messages of 1024 bytes of text; big: 64 MiB attachment, $BIG_ENCODED bytes uuencoded,"
echo " smtp-source sends $BIG_TEXT bytes of text, as much as our message carries)"
echo
grep -E '^(rate|big|series):' "$WORK/ours.log" | grep -vE '^series: tick' | sed 's/^/    /' | tail -n 8
grep -E '^series: tick' "$WORK/ours.log" | sed 's/^/    /'
echo
"$PYTHON" - "$FIGURES" "$BIG_ENCODED" <<'EOF'
import collections, statistics, sys

values = collections.defaultdict(list)
for line in open(sys.argv[1]):
    name, value = line.split()
    values[name].append(float(value))
med = {k: statistics.median(v) for k, v in values.items()}
encoded = float(sys.argv[2])
MiB = 1024 * 1024

rows = [
    # figure, ours, peer, ratio, goal text, met
    ("messages/s back to back, window shown (peer: smtp-source -s 1)",
     f"{med['rate']:.0f}", f"{med['peer_rate']:.0f}", med["rate"] / med["peer_rate"], ">= 1.00",
     med["rate"] >= med["peer_rate"]),
    ("messages/s back to back, window hidden (peer: smtp-source -s 1)",
     f"{med['rate_hidden']:.0f}", f"{med['peer_rate']:.0f}", med["rate_hidden"] / med["peer_rate"],
     "(for comparison)", None),
    ("64 MiB attachment: seconds from the send to the end of the dialogue (peer: smtp-source, same size)",
     f"{med['big']:.2f}", f"{med['peer_big']:.2f}", med["big"] / med["peer_big"], "<= 1.50",
     med["big"] <= 1.5 * med["peer_big"]),
    ("64 MiB attachment: peak MiB above idle (peer: the uuencoded size)",
     f"{med['big_peak'] / MiB:.1f}", f"{encoded / MiB:.1f}", med["big_peak"] / encoded, "<= 1.50",
     med["big_peak"] <= 1.5 * encoded),
    ("series of ten: largest deviation of a tick from 3000 ms, ms",
     f"{med['series']:.2f}", "3000", med["series"] / 3000, "<= 15 ms", med["series"] <= 15),
]
print("| figure | ours | peer | ratio | goal | met? |")
print("|---|---:|---:|---:|---|---|")
for figure, ours, peer, ratio, goal, met in rows:
    print(f"| {figure} | {ours} | {peer} | {ratio:.2f} | {goal} | "
          f"{'-' if met is None else 'yes' if met else 'NO'} |")
print()
print(f"processor time of our program a message (rate, window shown): {med['rate_cpu']:.0f} us")
for name in ("peer_rate", "rate", "rate_hidden", "peer_big", "big", "big_peak"):
    print(f"runs {name}: " + " ".join(f"{v:.6g}" for v in values[name]))
sys.exit(0 if all(met is not False for *_, met in rows) else 3)
EOF
