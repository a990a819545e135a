#!/bin/bash
# Runs the end-to-end test binary against a real, strict Postfix: brings up a private
# instance on 127.0.0.1:25 in a network namespace of its own (postfix-netns.sh:
# bare LF refused with no exclusions, strict RFC 821 envelopes, catch-all Maildir for
# example.test), runs the binary inside that namespace on Qt's offscreen platform, and
# stops the instance and deletes the namespace afterwards, whatever happened.
#
#   e2e_postfix.sh PATH/TO/e2e_postfix_tests [GTEST-ARGUMENTS...]
#
# Needs root (network namespace, Postfix master); exits 77 (skip) otherwise. No display,
# no stdin. E2E_KEEP=1 leaves the instance and its folder in place for a look afterwards.

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd -P)
PFNS=$HERE/postfix-netns.sh

[ $# -ge 1 ] || {
    echo "usage: $0 PATH/TO/e2e_postfix_tests [GTEST-ARGUMENTS...]" >&2
    exit 2
}
BINARY=$(readlink -f "$1")
shift
[ -x "$BINARY" ] || {
    echo "e2e_postfix: $BINARY is not an executable" >&2
    exit 2
}
if [ "$(id -u)" -ne 0 ]; then
    echo "e2e_postfix: needs root for the network namespace; skipped"
    exit 77
fi

NS=bre2e$$
TMP=$(mktemp -d /tmp/e2e-postfix.XXXXXX)
chmod 755 "$TMP" # the Maildir below it is written by an unprivileged user
cleanup() {
    if [ -n "${E2E_KEEP:-}" ]; then
        echo "e2e_postfix: kept $TMP and namespace $NS (E2E_KEEP)"
        return
    fi
    "$PFNS" down "$NS" "$TMP/pf" >/dev/null 2>&1 || echo "e2e_postfix: cleanup of $NS failed" >&2
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
exec </dev/null

"$PFNS" up "$NS" "$TMP/pf"
rc=0
"$PFNS" exec "$NS" "$TMP/pf" env QT_QPA_PLATFORM=offscreen TMPDIR="$TMP" \
    BREVANT_E2E_MAILDIR="$TMP/pf/Maildir" BREVANT_CHECK_MAILDIR="$HERE/check_maildir.py" \
    "$BINARY" "$@" || rc=$?
if [ $rc -ne 0 ]; then
    echo "e2e_postfix: test binary exited $rc; last lines of the Postfix log:" >&2
    tail -n 30 "$TMP/pf/log/maillog" >&2 || true
fi
exit $rc
