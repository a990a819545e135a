#!/bin/bash
# Peer side of the delivery benchmarks: Postfix's smtp-sink as the server on
# 127.0.0.1:PORT inside a network namespace of its own, and Postfix's smtp-source as a
# reference client whose figures our sender's are set against.
#
#   smtp_peer.sh sink-start NAME WORKDIR [PORT]   start smtp-sink (namespace created if
#                                                 missing; PORT defaults to 25, the port
#                                                 the sender always uses)
#   smtp_peer.sh sink-stop  NAME WORKDIR [PORT]
#   smtp_peer.sh down       NAME WORKDIR          stop every sink and delete the namespace
#   smtp_peer.sh rate       NAME WORKDIR N [PORT] N messages of 1024 bytes, one session at
#                                                 a time, one message per connection;
#                                                 prints "smtp-source: N messages in S s:
#                                                 R messages/s"
#   smtp_peer.sh big        NAME WORKDIR [BYTES] [PORT]
#                                                 one message of BYTES (default 92000000,
#                                                 64 MiB of attachment once uuencoded);
#                                                 prints "smtp-source: one message of
#                                                 BYTES bytes in S s"
#   smtp_peer.sh baseline   [N]                   all of the above in a throw-away
#                                                 namespace: rate with N (default 200),
#                                                 then big, then cleanup
#
# Run the program under test in the same namespace (postfix-netns.sh exec NAME WORKDIR
# ...) with its job's host set to 127.0.0.1. Needs root.

set -euo pipefail

PROG=${0##*/}
HERE=$(cd "$(dirname "$0")" && pwd -P)
PFNS=$HERE/../../tests/e2e/postfix-netns.sh
SMTP_SOURCE=/usr/sbin/smtp-source
BIG_BYTES=92000000

die() {
    echo "$PROG: $*" >&2
    exit 1
}

usage() {
    sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

# Runs smtp-source in the namespace against the sink; prints the elapsed seconds.
# Its running counter (-c) goes to stderr; it stops at the first refused reply.
run_source() {
    local port=$1
    shift
    [ -x "$SMTP_SOURCE" ] || die "$SMTP_SOURCE not found (package postfix)"
    [ -f "$WORKDIR/sink-$port.pid" ] || die "no smtp-sink on port $port here (run: $PROG sink-start $NAME $WORKDIR $port)"
    # Timed inside the namespace, so entering it is not counted.
    local times
    times=$("$PFNS" exec "$NAME" "$WORKDIR" bash -c \
        't0=$EPOCHREALTIME; "$@" >&2 || exit 1; echo "$t0 $EPOCHREALTIME"' \
        _ "$SMTP_SOURCE" "$@" -c "127.0.0.1:$port") || die "smtp-source failed"
    echo >&2
    echo "$times" | awk '{ printf "%.3f\n", $2 - $1 }'
}

cmd_rate() {
    local n=$1 port=${2:-25} s
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || die "bad message count '$n'"
    s=$(run_source "$port" -s 1 -m "$n" -l 1024)
    echo "$n $s" | awk '{ printf "smtp-source: %d messages in %.3f s: %.1f messages/s\n", $1, $2, $1 / $2 }'
}

cmd_big() {
    local bytes=${1:-$BIG_BYTES} port=${2:-25} s
    [[ "$bytes" =~ ^[0-9]+$ ]] || die "bad size '$bytes'"
    s=$(run_source "$port" -s 1 -m 1 -l "$bytes")
    echo "smtp-source: one message of $bytes bytes in $s s"
}

cmd_baseline() {
    local n=${1:-200}
    NAME=brbench$$
    WORKDIR=$(mktemp -d /tmp/smtp-peer.XXXXXX)
    trap '"$PFNS" down "$NAME" "$WORKDIR" >/dev/null 2>&1; rm -rf "$WORKDIR"' EXIT
    "$PFNS" sink-start "$NAME" "$WORKDIR" 25
    cmd_rate "$n" 25
    cmd_big "$BIG_BYTES" 25
}

[ $# -ge 1 ] || usage
MODE=$1
shift
[ "$(id -u)" -eq 0 ] || die "must run as root (network namespace)"
if [ "$MODE" = baseline ]; then
    cmd_baseline "$@"
    exit
fi
[ $# -ge 2 ] || usage
NAME=$1
WORKDIR=$2
shift 2
case $MODE in
sink-start) "$PFNS" sink-start "$NAME" "$WORKDIR" "${1:-25}" ;;
sink-stop) "$PFNS" sink-stop "$NAME" "$WORKDIR" "${1:-25}" ;;
down) "$PFNS" down "$NAME" "$WORKDIR" ;;
rate)
    [ $# -ge 1 ] || usage
    WORKDIR=$(cd "$WORKDIR" && pwd -P)
    cmd_rate "$@"
    ;;
big)
    WORKDIR=$(cd "$WORKDIR" && pwd -P)
    cmd_big "$@"
    ;;
*) usage ;;
esac
