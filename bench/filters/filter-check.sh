#!/bin/bash
# filter-check.sh MESSAGE-FILE...
#
# Runs Debian 12's SpamAssassin and rspamd offline on delivered messages (Maildir files, with
# the headers the receiving Postfix added) and prints, for each message, SpamAssassin's score
# with every rule hit and its score, and rspamd's action and score with every symbol.
#
# SpamAssassin: "spamassassin -L -t" (local tests only), the rules the package ships
#   (/usr/share/spamassassin, no sa-update), /etc/spamassassin, a private HOME, no auto-learning.
# rspamd: Debian's /etc/rspamd with a small override (one normal worker on 127.0.0.1:PORT, no
#   controller or proxy), started here in a network namespace of its own with only "lo", where
#   a silent socket on 127.0.0.1:53 takes every DNS query: each lookup fails the same way (time
#   out) and nothing leaves the machine. The envelope is read from the topmost Received, the
#   Return-Path and X-Original-To headers. Namespace and daemons are gone at exit.
# A missing spamassassin or rspamd is installed with apt-get. Needs root.
#
# Environment: FILTER_STATE (SpamAssassin's HOME, rspamd's configuration, database and log;
#   default /var/cache/brevant-filter-check), RSPAMD_PORT (default 11333).
# Exit status: 0 when both filters gave a result for every file, 1 otherwise.

set -euo pipefail

REPORT=$(cd "$(dirname "$0")" && pwd -P)/filter_report.py
STATE=${FILTER_STATE:-/var/cache/brevant-filter-check}
PORT=${RSPAMD_PORT:-11333}
NS=brfilter$$
TMP=
NS_MADE=0
die() {
    echo "filter-check: $*" >&2
    exit 1
}
cleanup() {
    if [ "$NS_MADE" -eq 1 ]; then
        # What runs in the namespace was started here: the DNS socket, rspamd and its workers.
        for signal in TERM KILL; do
            for i in $(seq 100); do
                pids=$(ip netns pids "$NS")
                [ -n "$pids" ] || break 2
                [ "$i" -gt 1 ] || kill -"$signal" $pids 2>/dev/null || true
                sleep 0.1
            done
        done
        ip netns delete "$NS" || echo "filter-check: cannot delete namespace $NS" >&2
    fi
    [ -z "$TMP" ] || rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

[ $# -ge 1 ] || die "usage: filter-check.sh MESSAGE-FILE..."
[ "$(id -u)" -eq 0 ] || die "needs root (installs packages, network namespace, rspamd as _rspamd)"
for f in "$@"; do [ -f "$f" ] && [ -r "$f" ] || die "cannot read '$f'"; done

missing=()
for p in spamassassin rspamd python3; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "filter-check: installing ${missing[*]}" >&2
    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${missing[@]}"; } >&2 || die "apt-get install ${missing[*]} failed"
    # spamassassin's postinst leaves a gpg-agent for its sa-update keyring running.
    gpgconf --homedir /var/lib/spamassassin/sa-update-keys --kill gpg-agent 2>/dev/null || true
fi

TMP=$(mktemp -d /tmp/filter-check.XXXXXX)
# A message without Date and Message-ID hits MISSING_DATE in both filters, which shows that
# each one has loaded its rules.
printf 'From: canary@example.test\r\nTo: canary@example.test\r\nSubject: canary\r\n\r\ncanary\r\n' >"$TMP/canary"
mkdir -p "$STATE/sa-home" "$STATE/rspamd/conf/override.d" "$STATE/rspamd/conf/local.d" \
    "$STATE/rspamd/db" "$STATE/rspamd/run" "$STATE/rspamd/log"

sa() { # FILE OUT
    HOME=$STATE/sa-home nice spamassassin -L -t -x -C /usr/share/spamassassin \
        --siteconfigpath=/etc/spamassassin --cf='bayes_auto_learn 0' \
        --cf='add_header all Tests _TESTSSCORES(,)_' <"$1" >"$2" 2>"$2.err"
}
sa "$TMP/canary" "$TMP/canary.sa" || die "spamassassin failed: $(cat "$TMP/canary.sa.err")"
grep -q 'MISSING_DATE=' "$TMP/canary.sa" || die "SpamAssassin did not load its rules"

ip netns add "$NS" || die "cannot create network namespace $NS"
NS_MADE=1
innet() { ip netns exec "$NS" "$@"; }
innet ip link set lo up
innet python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
while True:
    s.recv(4096)' </dev/null >/dev/null 2>&1 &
conf=$STATE/rspamd/conf
echo "bind_socket = \"127.0.0.1:$PORT\"; count = 1;" >"$conf/override.d/worker-normal.inc"
echo 'enabled = false;' >"$conf/override.d/worker-controller.inc"
echo 'enabled = false;' >"$conf/override.d/worker-proxy.inc"
echo 'dns { nameserver = ["127.0.0.1:53"]; timeout = 1s; retransmits = 1; }' >"$conf/local.d/options.inc"
chown -R _rspamd:_rspamd "$STATE/rspamd/db" "$STATE/rspamd/run" "$STATE/rspamd/log"
# Started without the function, so that $! is rspamd itself.
ip netns exec "$NS" nice rspamd -f -u _rspamd -g _rspamd -c /etc/rspamd/rspamd.conf \
    --var "LOCAL_CONFDIR=$conf" --var "DBDIR=$STATE/rspamd/db" --var "RUNDIR=$STATE/rspamd/run" \
    --var "LOGDIR=$STATE/rspamd/log" </dev/null >"$STATE/rspamd/log/stdout.log" 2>&1 &
RSPAMD=$!

rspamd_check() { # FILE OUT [RSPAMC-OPTIONS...]
    innet nice rspamc -h "127.0.0.1:$PORT" -t 60 -j "${@:3}" symbols "$1" >"$2" 2>"$2.err"
}
deadline=$((SECONDS + 180)) # the first start compiles its hyperscan cache
until rspamd_check "$TMP/canary" "$TMP/canary.json" && grep -q '"action"' "$TMP/canary.json"; do
    kill -0 $RSPAMD 2>/dev/null || die "rspamd exited: $(tail -n 20 "$STATE/rspamd/log/rspamd.log")"
    [ $SECONDS -lt $deadline ] || die "rspamd did not answer on 127.0.0.1:$PORT within 180 s"
    sleep 1
done
grep -q '"MISSING_DATE"' "$TMP/canary.json" || die "rspamd did not load its rules"

sa_version=$(spamassassin -V | sed -n '1s/.*version //p')
rspamd_version=$(rspamd -v | sed -n '1s/.*version //Ip')
rc=0
n=0
for f in "$@"; do
    n=$((n + 1))
    echo "=================================================================="
    echo "MESSAGE $f"
    echo "--- SpamAssassin $sa_version (spamassassin -L -t, rules /usr/share/spamassassin)"
    sa "$f" "$TMP/$n.sa" && python3 "$REPORT" sa "$TMP/$n.sa" ||
        { cat "$TMP/$n.sa.err" >&2; echo "FAILED: SpamAssassin gave no result for $f" >&2; rc=1; }
    envelope=()
    text=$(python3 "$REPORT" envelope "$f") || { echo "FAILED: no envelope in $f" >&2; rc=1; }
    [ -z "$text" ] || mapfile -t envelope <<<"$text"
    echo "--- rspamd $rspamd_version (127.0.0.1:$PORT; rspamc ${envelope[*]:-<no envelope>})"
    rspamd_check "$f" "$TMP/$n.json" "${envelope[@]}" && python3 "$REPORT" rspamd "$TMP/$n.json" ||
        { cat "$TMP/$n.json.err" "$TMP/$n.json" >&2; echo "FAILED: rspamd gave no result for $f" >&2; rc=1; }
done
echo "=================================================================="
[ $rc -ne 0 ] || echo "filter-check: $n message(s) checked by both filters"
exit $rc
