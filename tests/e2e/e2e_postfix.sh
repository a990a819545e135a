#!/bin/bash
# Catches: messages that a real, strict Postfix refuses or stores other than the job says.
# Usage: e2e_postfix.sh PATH/TO/e2e_postfix_tests [GTEST-ARGUMENTS...]; needs root, else exits 77.
# Runs the test binary against a private Postfix on 127.0.0.1:25 in a network namespace of its
# own (postfix/*.cf: strict envelopes, bare line ends refused, no headers added, a catch-all
# Maildir), stopped and deleted afterwards; E2E_KEEP=1 keeps its folder for a look.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
BINARY=$(readlink -f "$1")
shift
[ "$(id -u)" -eq 0 ] || { echo "e2e_postfix: needs root for the network namespace; skipped"; exit 77; }

NS=bre2e$$
WORK=$(mktemp -d /tmp/e2e-postfix.XXXXXX)
ETC=$WORK/etc
cleanup() {
    MAIL_CONFIG=$ETC postfix -c "$ETC" stop >/dev/null 2>&1 || true
    for pid in $(ip netns pids "$NS" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    sleep 0.5
    ip netns delete "$NS" 2>/dev/null || true
    [ -n "${E2E_KEEP:-}" ] && echo "e2e_postfix: kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
exec </dev/null

# The Maildir is written by nobody, so every folder above it must be searchable.
chmod 755 "$WORK"
mkdir -p "$ETC" "$WORK/spool" "$WORK/data" "$WORK/log" "$WORK/Maildir"/{new,cur,tmp}
chown -R nobody "$WORK/Maildir"
chown postfix "$WORK/data"
echo "@example.test Maildir/" >"$ETC/vmailbox"
cp "$HERE"/postfix/*.cf "$ETC"
postconf -c "$ETC" -e "syslog_name = postfix-$NS" "virtual_uid_maps = static:$(id -u nobody)" \
    "virtual_gid_maps = static:$(id -g nobody)"

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
ip netns exec "$NS" env MAIL_CONFIG="$ETC" postfix -c "$ETC" start >"$WORK/log/start" 2>&1 ||
    { cat "$WORK/log/start" >&2; exit 1; }
for _ in $(seq 150); do # until it greets
    ip netns exec "$NS" timeout 1 bash -c 'exec 3<>/dev/tcp/127.0.0.1/25 && head -c 3 <&3' 2>/dev/null |
        grep -q 220 && break || sleep 0.2
done

rc=0
ip netns exec "$NS" env MAIL_CONFIG="$ETC" QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" \
    BREVANT_E2E_MAILDIR="$WORK/Maildir" BREVANT_CHECK_MAILDIR="$HERE/check_maildir.py" \
    "$BINARY" "$@" || rc=$?
[ $rc -eq 0 ] || tail -n 30 "$WORK/log/maillog" >&2
exit $rc
