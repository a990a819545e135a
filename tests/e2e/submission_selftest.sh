#!/bin/bash
# Catches: a with_submission.sh server that does not behave as a mail provider's, which the
# program's tests against it take for granted: logins refused or offered before TLS, relaying
# without a login, mail not stored per recipient, logins not logged, a certificate that does not
# verify for mail.example.test, or test certificates (other, unknown, expired) that verify.
# Clients: swaks and openssl s_client. Usage: submission_selftest.sh (needs root, else exits 77).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
if [ $# -eq 0 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "submission_selftest: needs root; skipped"; exit 77; }
    # Four servers side by side, each in a namespace and folder of its own: one as the program
    # meets it, and one presenting each wrong certificate, which must fail verification for its
    # own fault.
    "$HERE/with_submission.sh" "$0" --provider &
    pids=($!)
    for cert in other unknown expired; do
        BREVANT_E2E_SERVER_CERT=$cert "$HERE/with_submission.sh" "$0" --refused "$cert" &
        pids+=($!)
    done
    rc=0
    for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
    [ $rc -eq 1 ] || echo "submission_selftest: OK"
    exit $rc
fi

fail() { echo "FAIL: $*" >&2; exit 1; }
out=$(mktemp)
# EXPECTED-EXIT-STATUS SWAKS-ARGUMENTS...: swaks to mail.example.test, its dialogue in $out
swaks_() {
    local want=$1 rc=0
    shift
    swaks --server "$BREVANT_E2E_HOST" --from news@example.test "$@" >"$out" 2>&1 || rc=$?
    [ $rc -eq "$want" ] || { cat "$out" >&2; fail "swaks $* exited $rc, expected $want"; }
}
login=(--auth-user "$BREVANT_E2E_LOGIN" --auth-password "$BREVANT_E2E_PASSWORD")
# PORT: openssl s_client's verification of the server's certificate for mail.example.test
verify_server() {
    local tls=()
    [ "$1" = 465 ] || tls=(-starttls smtp)
    openssl s_client -verify_return_error -CAfile "$BREVANT_E2E_CA" \
        -servername "$BREVANT_E2E_HOST" -verify_hostname "$BREVANT_E2E_HOST" "${tls[@]}" \
        -connect "$BREVANT_E2E_HOST:$1" </dev/null >"$out" 2>&1
}

if [ "$1" = --refused ]; then
    case $2 in
    other) reason="hostname mismatch" ;;
    unknown) reason="unable to get local issuer certificate" ;;
    expired) reason="certificate has expired" ;;
    esac
    for port in 587 465; do
        ! verify_server $port || fail "the $2 certificate verified on $port"
        grep -q "$reason" "$out" ||
            { cat "$out" >&2; fail "$2 on $port: not refused for \"$reason\""; }
    done
    exit 0
fi

# Submission on 587 and 465, PLAIN and LOGIN; on 587 no AUTH before STARTTLS, AUTH after it.
swaks_ 0 --port 587 --tls --auth PLAIN "${login[@]}" --to anna@remote.test
sed '/^ -> STARTTLS/q' "$out" | grep -q "^<-  250-STARTTLS" || fail "587 offers no STARTTLS"
! sed '/^ -> STARTTLS/q' "$out" | grep -q AUTH || fail "587 offers AUTH before STARTTLS"
grep -q "^<~  250-AUTH PLAIN LOGIN" "$out" || fail "587 offers no AUTH PLAIN LOGIN after STARTTLS"
swaks_ 0 --port 465 --tls-on-connect --auth PLAIN "${login[@]}" --to anna@remote.test
swaks_ 0 --port 587 --tls --auth LOGIN "${login[@]}" --to boris@remote.test
swaks_ 0 --port 465 --tls-on-connect --auth LOGIN "${login[@]}" --to carl@example.test

# Refusals: a wrong password (28: AUTH failed), no TLS (23: MAIL refused) or no login on 587,
# relaying on 25 (24: RCPT refused), while 25 still takes mail for its own domain.
swaks_ 28 --port 587 --tls --auth PLAIN --auth-user "$BREVANT_E2E_LOGIN" --auth-password wrong \
    --to anna@remote.test
grep -q "^<~\* 535 5.7.8 " "$out" || fail "a wrong password is not answered 535 5.7.8"
swaks_ 23 --port 587 --to anna@remote.test
grep -q "^<\*\* 530 5.7.0 Must issue a STARTTLS command first" "$out" ||
    fail "587 takes MAIL before TLS"
swaks_ 24 --port 587 --tls --to anna@remote.test
grep -q "^<~\* 554 5.7.1 <unknown\[127.0.0.1\]>: Client host rejected" "$out" ||
    fail "587 takes mail without a login"
swaks_ 24 --port 25 --to anna@remote.test
grep -q "^<\*\* 554 5.7.1 <anna@remote.test>: Relay access denied" "$out" || fail "25 relays"
swaks_ 0 --port 25 --to dora@example.test

# Stored once per message and recipient (X-Original-To), the logins logged with their method.
count() { find "$1/new" -type f -exec cat {} + | grep -cx "X-Original-To: $2" || true; }
for _ in $(seq 100); do
    postqueue -p | grep -q "^Mail queue is empty" && break || sleep 0.1
done
remote=$BREVANT_E2E_REMOTE_MAILDIR local=$BREVANT_E2E_MAILDIR
got="$(count "$remote" anna@remote.test) $(count "$remote" boris@remote.test)"
got+=" $(count "$local" carl@example.test) $(count "$local" dora@example.test)"
[ "$got" = "2 1 1 1" ] ||
    fail "stored for anna, boris (remote.test), carl, dora (example.test): $got, expected 2 1 1 1"
total=$(($(ls "$remote/new" | wc -l) + $(ls "$local/new" | wc -l)))
[ $total -eq 5 ] || fail "$total messages stored, expected 5"
for method in PLAIN LOGIN; do
    logins=$(grep -c "sasl_method=$method, sasl_username=$BREVANT_E2E_LOGIN\$" \
        "$BREVANT_E2E_MAILLOG")
    [ "$logins" -eq 2 ] || fail "the maillog shows $logins logins by $method, expected 2"
done

# The certificate verifies for mail.example.test on both ports; the three wrong ones, as files,
# fail verification for their own faults.
for port in 587 465; do
    verify_server $port || { cat "$out" >&2; fail "the certificate on $port does not verify"; }
    grep -q "Verify return code: 0 (ok)" "$out" || fail "no verification on $port"
done
cd "$BREVANT_E2E_CERTS"
openssl verify -CAfile ca.pem -verify_hostname mail.example.test server.pem >/dev/null &&
    openssl verify -CAfile ca.pem -verify_ip 127.0.0.1 server.pem >/dev/null ||
    fail "server.pem does not verify for mail.example.test and 127.0.0.1"
for case in "other:62:hostname mismatch" "unknown:20:unable to get local issuer certificate" \
    "expired:10:certificate has expired"; do
    IFS=: read -r name code reason <<<"$case"
    ! openssl verify -CAfile ca.pem -verify_hostname mail.example.test "$name.pem" >"$out" 2>&1 &&
        grep -q "error $code at 0 depth lookup: $reason" "$out" ||
        { cat "$out" >&2; fail "$name.pem is not refused for \"$reason\""; }
done
