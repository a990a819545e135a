#!/bin/bash
# Catches: messages that a real, strict Postfix refuses or stores other than the job says.
#
# Runs the end-to-end test binary against a private Postfix on 127.0.0.1:25 in a network
# namespace of its own: bare line ends refused with no exclusions, strict RFC 821 envelopes,
# no headers of its own (local_header_rewrite_clients is empty), a catch-all Maildir for
# example.test. Stops it and deletes the namespace afterwards, whatever happened.
#
#   e2e_postfix.sh PATH/TO/e2e_postfix_tests [GTEST-ARGUMENTS...]
#
# Needs root (namespace, Postfix master); exits 77 (skip) otherwise. E2E_KEEP=1 keeps the
# instance's folder (etc/, log/maillog, Maildir/) for a look afterwards.
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
cat >"$ETC/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $WORK/spool
data_directory = $WORK/data
maillog_file = $WORK/log/maillog
maillog_file_prefixes = $WORK/log
syslog_name = postfix-$NS
myhostname = mx.example.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
smtputf8_enable = no
smtpd_peername_lookup = no
enable_long_queue_ids = yes
default_transport = error:nothing leaves this test server
virtual_mailbox_domains = example.test
virtual_mailbox_base = $WORK
virtual_mailbox_maps = texthash:$ETC/vmailbox
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(id -g nobody)
message_size_limit = 200000000
virtual_mailbox_limit = 0
virtual_destination_concurrency_limit = 1
smtpd_forbid_bare_newline = reject
smtpd_forbid_bare_newline_exclusions =
strict_rfc821_envelopes = yes
smtpd_forbid_unauth_pipelining = yes
smtpd_helo_required = yes
smtpd_relay_restrictions = reject_unauth_destination
local_header_rewrite_clients =
in_flow_delay = 0s
smtpd_error_sleep_time = 0s
EOF
# No chroot anywhere: the instance lives only under $WORK.
cat >"$ETC/master.cf" <<'EOF'
25         inet  n       -       n       -       -       smtpd
pickup     unix  n       -       n       60      1       pickup
cleanup    unix  n       -       n       -       0       cleanup
qmgr       unix  n       -       n       300     1       qmgr
rewrite    unix  -       -       n       -       -       trivial-rewrite
bounce     unix  -       -       n       -       0       bounce
defer      unix  -       -       n       -       0       bounce
trace      unix  -       -       n       -       0       bounce
flush      unix  n       -       n       1000?   0       flush
proxymap   unix  -       -       n       -       -       proxymap
showq      unix  n       -       n       -       -       showq
error      unix  -       -       n       -       -       error
retry      unix  -       -       n       -       -       error
virtual    unix  -       n       n       -       -       virtual
anvil      unix  -       -       n       -       1       anvil
scache     unix  -       -       n       -       1       scache
postlog    unix-dgram n  -       n       -       1       postlogd
EOF

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
ip netns exec "$NS" env MAIL_CONFIG="$ETC" postfix -c "$ETC" start >"$WORK/log/start" 2>&1 ||
    { cat "$WORK/log/start" >&2; exit 1; }
for _ in $(seq 150); do
    ip netns exec "$NS" timeout 1 bash -c 'exec 3<>/dev/tcp/127.0.0.1/25 && head -c 3 <&3' 2>/dev/null |
        grep -q 220 && break
    sleep 0.2
done

rc=0
ip netns exec "$NS" env MAIL_CONFIG="$ETC" QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" \
    BREVANT_E2E_MAILDIR="$WORK/Maildir" BREVANT_CHECK_MAILDIR="$HERE/check_maildir.py" \
    "$BINARY" "$@" || rc=$?
[ $rc -eq 0 ] || tail -n 30 "$WORK/log/maillog" >&2
exit $rc
