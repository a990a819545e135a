#!/bin/bash
# Messages a second through a mail provider's server over loopback, with TLS and a login for every
# message: swaks beside the program, each sending N messages back to back, one connection each,
# to the submission service on mail.example.test:587 (STARTTLS required, AUTH PLAIN checked by
# Dovecot) of scripts/mail-server/with_submission.sh, in a network namespace made for the run.
#
#   swaks  N runs of swaks --tls --auth PLAIN, verifying the certificate against the test
#          authority, each sending the same message of 1024 bytes of header and text (as many
#          as delivery_bench's rate mode sends) to anna@remote.test. One process a message: its
#          figure includes starting Perl and its TLS library every time, as a shell script
#          mailing a list with swaks would.
#   ours   delivery_bench's submission mode: the window sending N messages of the same size back
#          to back, shown, to addresses at remote.test, with STARTTLS and AUTH PLAIN each.
#
# Two warm-up messages each first; afterwards every message must have been stored.
# usage: submission_compare.sh [BUILD-DIR] [N]     (defaults: build 50; needs root)
# Prints "result swaks_msgs_per_s VALUE" (and "result ours_msgs_per_s VALUE" when measured).
# Exit status 0, or 1 on errors.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
die() {
    echo "submission_compare: $*" >&2
    exit 1
}

if [ "${1:-}" != --inside ]; then
    BENCH=$(readlink -m "${1:-build}/bench/delivery_bench")
    N=${2:-50}
    [[ $N =~ ^[1-9][0-9]*$ ]] || die "bad count N=$N"
    [ "$(id -u)" -eq 0 ] || die "needs root (network namespace)"
    command -v swaks >/dev/null || die "no swaks (package swaks)"
    rc=0
    "$HERE/../scripts/mail-server/with_submission.sh" "$0" --inside "$BENCH" "$N" || rc=$?
    [ $rc -ne 77 ] || die "the submission server could not be started"
    exit $rc
fi
BENCH=$2
N=$3
WARMUP=2
WORK=$(mktemp -d) # in the server's folder, deleted with it

# The message: 1024 bytes of header and text as sent, CRLF line ends included. The file has LF,
# which swaks sends as CRLF, and no line end after its last line, where swaks adds one before the
# end mark. Lines of text, then one of x's to make up the rest.
sent_size() { echo $(($(wc -c <"$1") + $(wc -l <"$1") + 2)); }
printf '%s\n' "Date: Mon, 7 Dec 2026 10:00:00 +0000" "From: news@example.test" \
    "To: anna@remote.test" "Subject: Weekly notes" "Message-ID: <weekly-notes@example.test>" \
    "MIME-Version: 1.0" "Content-Type: text/plain; charset=us-ascii" "" >"$WORK/message"
line="Weekly notes: a line of ordinary text, about seventy bytes."
while [ $(($(sent_size "$WORK/message") + ${#line} + 2)) -le 1021 ]; do
    echo "$line" >>"$WORK/message"
done
printf '%*s' $((1024 - $(sent_size "$WORK/message"))) "" | tr ' ' x >>"$WORK/message"
[ "$(sent_size "$WORK/message")" -eq 1024 ] || die "the message is not 1024 bytes"

send() {
    swaks --server "$BREVANT_E2E_HOST" --port 587 --tls --tls-verify \
        --tls-ca-path "$BREVANT_E2E_CA" --auth PLAIN --auth-user "$BREVANT_E2E_LOGIN" \
        --auth-password "$BREVANT_E2E_PASSWORD" --from news@example.test --to anna@remote.test \
        --data "@$WORK/message" >"$WORK/swaks.out" 2>&1 ||
        { cat "$WORK/swaks.out" >&2; die "swaks failed"; }
}
for _ in $(seq $WARMUP); do send; done
start=$EPOCHREALTIME
for _ in $(seq "$N"); do send; done
end=$EPOCHREALTIME

# Every message stored: the figure counts only messages that arrived.
stored() { find "$BREVANT_E2E_REMOTE_MAILDIR/new" -type f | wc -l; }
for _ in $(seq 300); do [ "$(stored)" -ge $((WARMUP + N)) ] && break || sleep 0.1; done
[ "$(stored)" -eq $((WARMUP + N)) ] ||
    die "$(stored) messages stored, $((WARMUP + N)) sent by swaks"
last=$(ls -t "$BREVANT_E2E_REMOTE_MAILDIR/new" | head -n 1)
tail -c $(($(wc -c <"$WORK/message") + 1)) "$BREVANT_E2E_REMOTE_MAILDIR/new/$last" |
    cmp -s - <(cat "$WORK/message" && echo) ||
    die "the stored message does not end with the message sent"
swaks_rate=$(awk -v n="$N" -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", n / (e - s) }')
echo "swaks: $N messages, 587 with STARTTLS and AUTH PLAIN, one process and connection each:" \
    "$swaks_rate messages/s"
echo "result swaks_msgs_per_s $swaks_rate"

# --- ours ----------------------------------------------------------------------------------------
# `delivery_bench submission N`: as its rate mode (N messages of 1024 bytes of header and text
# back to back, one connection each, after a warm-up) but to $BREVANT_E2E_HOST:587 with STARTTLS
# and AUTH PLAIN as $BREVANT_E2E_LOGIN, trusting $BREVANT_E2E_CA; "result submission VALUE" in
# messages a second. Its usage line (delivery_bench --help) names the mode.
if [ -x "$BENCH" ] && { "$BENCH" --help 2>&1 || true; } | grep -i usage | grep -qw submission; then
    before=$(stored)
    "$BENCH" submission "$N" >"$WORK/ours.out" 2>"$WORK/ours.err" ||
        die "delivery_bench submission $N failed: $(cat "$WORK/ours.err")"
    ours=$(awk '$1 == "result" && $2 == "submission" { print $3 }' "$WORK/ours.out")
    [ -n "$ours" ] || die "delivery_bench submission gave no figure: $(cat "$WORK/ours.out")"
    for _ in $(seq 300); do [ "$(stored)" -ge $((before + N)) ] && break || sleep 0.1; done
    [ "$(stored)" -ge $((before + N)) ] ||
        die "$(($(stored) - before)) messages stored, $N sent by ours"
    grep -v '^result ' "$WORK/ours.out" || true
    echo "result ours_msgs_per_s $ours"
    awk -v o="$ours" -v s="$swaks_rate" 'BEGIN { printf "ours / swaks: %.2f\n", o / s }'
elif [ -x "$BENCH" ]; then
    echo "ours: not measured yet ($BENCH has no submission mode)"
else
    echo "ours: not measured (no $BENCH)"
fi
