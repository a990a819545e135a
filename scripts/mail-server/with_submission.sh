#!/bin/bash
# Runs COMMAND [ARGS...] in a network namespace of its own beside a private mail provider's server:
# Postfix (submission/*.cf over postfix/main.cf) with Dovecot checking the logins, stopped and
# deleted afterwards, the namespace with them. Exit status: the command's; 77 (skipped) when not
# root. In the namespace mail.example.test and other.example.test are 127.0.0.1, and there are:
#   25   plain SMTP, strict as e2e_postfix.sh's server; no AUTH, so nothing is relayed:
#        RCPT TO:<anna@remote.test> gets "554 5.7.1 <anna@remote.test>: Relay access denied"
#   587  submission: STARTTLS required, AUTH PLAIN and LOGIN offered only after it, no mail
#        without a login, then relaying to any domain; 465: the same over TLS from the first byte
# Both TLS services present the certificate of mail.example.test (also IP 127.0.0.1) signed by a
# test authority made afresh by make-certs.sh. Every message accepted for example.test is
# stored as one file in BREVANT_E2E_MAILDIR/new, every one relayed to remote.test in
# BREVANT_E2E_REMOTE_MAILDIR/new; Delivered-To and X-Original-To name the recipient.
#
# Environment of the command:
#   BREVANT_E2E_HOST            mail.example.test, the server's name (its certificate's)
#   BREVANT_E2E_LOGIN           the login: news@example.test
#   BREVANT_E2E_PASSWORD        its password: "news pass:word 1" unless set by the caller
#   BREVANT_E2E_CA              the test authority's certificate (PEM), for the client to trust
#   BREVANT_E2E_CERTS           the folder of every file make-certs.sh made (keys among them)
#   BREVANT_E2E_MAILDIR         the Maildir of example.test (every address there)
#   BREVANT_E2E_REMOTE_MAILDIR  the Maildir of remote.test (every address there)
#   BREVANT_E2E_MAILLOG         Postfix's log; logins show as "sasl_method=PLAIN, sasl_username=..."
#   BREVANT_CHECK_MAILDIR       check_maildir.py, which compares a Maildir with a job
#   MAIL_CONFIG                 the instance's configuration folder (postqueue -p, postconf)
#   QT_QPA_PLATFORM=offscreen, TMPDIR (the instance's folder)
# Read from the caller:
#   BREVANT_E2E_SERVER_CERT     the certificate 587 and 465 present: server (the default), other
#                               (another name), unknown (an unknown authority) or expired
#   BREVANT_E2E_PASSWORD        the password to give the login
#   BREVANT_E2E_MAILBOX=1       the sender's mailbox over IMAP and a far server besides (see
#                               with_mailbox.sh); the environment then also holds
#                               BREVANT_E2E_NEWS_MAILDIR (news@example.test's Maildir) and
#                               BREVANT_E2E_FAR_MAILDIR (what far.test stored)
#   E2E_KEEP=1                  keeps the instance's folder, logs and mail, for a look
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
[ $# -ge 1 ] || { echo "usage: with_submission.sh COMMAND [ARGS...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] ||
    { echo "with_submission: needs root for the network namespace; skipped"; exit 77; }
LOGIN=news@example.test
PASSWORD=${BREVANT_E2E_PASSWORD:-news pass:word 1}
CERT=${BREVANT_E2E_SERVER_CERT:-server}
case $CERT in server | other | unknown | expired) ;; *)
    echo "with_submission: BREVANT_E2E_SERVER_CERT must be server, other, unknown or expired" >&2
    exit 2 ;;
esac
. "$HERE/postfix_instance.sh"

instance_begin submission
"$HERE/make-certs.sh" "$WORK/certs"
for box in Maildir Maildir-remote; do mkdir -p "$WORK/$box"/{new,cur,tmp}; done
chown -R nobody "$WORK"/Maildir*
printf '%s\n' "@example.test Maildir/" "@remote.test Maildir-remote/" >"$ETC/vmailbox"
echo "remote.test virtual:" >"$ETC/transport"
cp "$HERE/postfix/main.cf" "$HERE/submission/master.cf" "$ETC"
mailbox_settings=()
if [ -n "${BREVANT_E2E_MAILBOX:-}" ]; then
    for box in Maildir-news Maildir-far; do mkdir -p "$WORK/$box"/{new,cur,tmp}; done
    mkdir -p "$WORK/dovecot"/{index,control,home}
    chown -R nobody "$WORK"/Maildir-* "$WORK/dovecot"/{index,control,home}
    printf '%s\n' "news@example.test Maildir-news/" "@example.test Maildir/" \
        "@remote.test Maildir-remote/" "@stored.far.test Maildir-far/" >"$ETC/vmailbox"
    echo "far.test smtp:[127.0.0.1]:2525" >>"$ETC/transport"
    echo '/^dead[^@]*@far\.test$/ 550 5.1.1 User unknown' >"$ETC/far_dead"
    echo '/^(.*)@far\.test$/ ${1}@stored.far.test' >"$ETC/far_store"
    grep -v '^#' "$HERE/mailbox/master.cf" >>"$ETC/master.cf"
    mailbox_settings=("virtual_mailbox_domains = example.test list.test stored.far.test")
fi
mapfile -t settings < <(grep -v -e '^#' -e '^[[:space:]]*$' "$HERE/submission/main.cf")
postconf -c "$ETC" -e "${settings[@]}" "syslog_name = postfix-$NS" \
    "virtual_uid_maps = static:$(id -u nobody)" "virtual_gid_maps = static:$(id -g nobody)" \
    "smtpd_tls_chain_files = $WORK/certs/$CERT.key, $WORK/certs/$CERT.pem" "${mailbox_settings[@]}"

# Dovecot: its configuration with the folder filled in, the one user (the password in base64, so
# that any byte, a colon among them, may be in it), readable by Dovecot's auth process alone.
mkdir -p "$WORK/dovecot"
sed "s|@WORK@|$WORK|g" "$HERE/submission/dovecot.conf" >"$ETC/dovecot.conf"
if [ -n "${BREVANT_E2E_MAILBOX:-}" ]; then
    sed -e "s|@WORK@|$WORK|g" -e "s|@CERT@|$WORK/certs/$CERT|g" "$HERE/mailbox/dovecot.conf" \
        >>"$ETC/dovecot.conf"
fi
echo "$LOGIN:{PLAIN.b64}$(printf %s "$PASSWORD" | base64 -w0)::::::" >"$WORK/dovecot/users"
chown root:dovecot "$WORK/dovecot/users"
chmod 640 "$WORK/dovecot/users"

instance_hosts "127.0.0.1 localhost mail.example.test other.example.test"
instance_start
innet dovecot -c "$ETC/dovecot.conf" >"$WORK/log/dovecot-start" 2>&1 ||
    { cat "$WORK/log/dovecot-start" >&2; exit 1; }
for _ in $(seq 100); do [ -S "$WORK/spool/private/auth" ] && break || sleep 0.05; done
[ -S "$WORK/spool/private/auth" ] || { echo "with_submission: Dovecot made no auth socket" >&2;
    cat "$WORK/log/dovecot.log" >&2; exit 1; }

rc=0
innet env MAIL_CONFIG="$ETC" QT_QPA_PLATFORM=offscreen TMPDIR="$WORK" \
    BREVANT_E2E_HOST=mail.example.test BREVANT_E2E_LOGIN="$LOGIN" BREVANT_E2E_PASSWORD="$PASSWORD" \
    BREVANT_E2E_CA="$WORK/certs/ca.pem" BREVANT_E2E_CERTS="$WORK/certs" \
    BREVANT_E2E_MAILDIR="$WORK/Maildir" BREVANT_E2E_REMOTE_MAILDIR="$WORK/Maildir-remote" \
    BREVANT_E2E_NEWS_MAILDIR="$WORK/Maildir-news" BREVANT_E2E_FAR_MAILDIR="$WORK/Maildir-far" \
    BREVANT_E2E_MAILLOG="$WORK/log/maillog" BREVANT_CHECK_MAILDIR="$HERE/../../tests/e2e/check_maildir.py" \
    "$@" || rc=$?
[ $rc -eq 0 ] || tail -n 30 "$WORK/log/maillog" >&2
exit $rc
