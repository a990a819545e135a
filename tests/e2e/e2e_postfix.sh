#!/bin/bash
# Catches: messages that a real, strict Postfix refuses or stores other than the job says.
# Usage: e2e_postfix.sh PROGRAM [ARGUMENTS...]; needs root, else exits 77. PROGRAM is the test
# binary e2e_postfix_tests, or restart_test.sh with the program.
# Runs the test binary against a private Postfix on 127.0.0.1:25 in a network namespace of its
# own (scripts/mail-server/postfix/*.cf: strict envelopes, bare line ends refused, no headers added, a catch-all
# Maildir), stopped and deleted afterwards; E2E_KEEP=1 keeps its folder for a look.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
BINARY=$(readlink -f "$1")
shift
[ "$(id -u)" -eq 0 ] || { echo "e2e_postfix: needs root for the network namespace; skipped"; exit 77; }
SERVER=$HERE/../../scripts/mail-server
. "$SERVER/postfix_instance.sh"

instance_begin e2e-postfix
mkdir -p "$WORK/Maildir"/{new,cur,tmp}
chown -R nobody "$WORK/Maildir"
# example.test takes every address; list.test only those listed, so that the others get
# "550 5.1.1 ... User unknown in virtual mailbox table".
{
    echo "@example.test Maildir/"
    for user in anna boris vera gleb dina egor; do echo "$user@list.test Maildir/"; done
} >"$ETC/vmailbox"
cp "$SERVER"/postfix/*.cf "$ETC"
postconf -c "$ETC" -e "syslog_name = postfix-$NS" "virtual_uid_maps = static:$(id -u nobody)" \
    "virtual_gid_maps = static:$(id -g nobody)"
instance_start

rc=0
innet env MAIL_CONFIG="$ETC" QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" \
    BREVANT_E2E_MAILDIR="$WORK/Maildir" BREVANT_CHECK_MAILDIR="$HERE/check_maildir.py" \
    "$BINARY" "$@" || rc=$?
[ $rc -eq 0 ] || tail -n 30 "$WORK/log/maillog" >&2
exit $rc
