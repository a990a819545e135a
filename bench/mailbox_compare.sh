#!/bin/bash
# Reading the sender's mailbox over IMAP on loopback: MailboxReader beside Python's imaplib
# fetching the same, in the same run, from Dovecot (993, TLS) of
# scripts/mail-server/with_mailbox.sh in a network namespace made for the run. The mailbox holds
# COUNT messages (default 10000) of which REPORTS (default 500) are Postfix's delivery reports
# (bench/make_mailbox.py). Both log in, EXAMINE INBOX, UID SEARCH SINCE yesterday, fetch the
# header fields FROM SUBJECT CONTENT-TYPE AUTO-SUBMITTED LIST-UNSUBSCRIBE of every message in
# batches of 1000 and the first 256 KiB of each report in batches of 50 (BODY.PEEK), and log out;
# imaplib does no classification, ours does. One warm-up read first (Dovecot builds its index),
# then RUNS (default 3) timed reads each, medians printed.
# usage: mailbox_compare.sh [BUILD-DIR]      (needs root)
# Prints "result ours_s VALUE" and "result imaplib_s VALUE". Exit status 0, or 1 on errors.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd -P)
die() {
    echo "mailbox_compare: $*" >&2
    exit 1
}
COUNT=${MAILBOX_COUNT:-10000}
REPORTS=${MAILBOX_REPORTS:-500}
RUNS=${MAILBOX_RUNS:-3}
if [ "${1:-}" != --inside ]; then
    BENCH=$(readlink -m "${1:-build}/bench/mailbox_bench")
    [ -x "$BENCH" ] || die "no $BENCH"
    [ "$(id -u)" -eq 0 ] || die "needs root (network namespace)"
    rc=0
    "$HERE/../scripts/mail-server/with_mailbox.sh" "$0" --inside "$BENCH" || rc=$?
    [ $rc -ne 77 ] || die "the mail server could not be started"
    exit $rc
fi
BENCH=$2
python3 "$HERE/make_mailbox.py" "$BREVANT_E2E_NEWS_MAILDIR" "$COUNT" "$REPORTS"
echo "mailbox: $COUNT messages, $REPORTS of them delivery reports"

imaplib_read() {
    python3 - "$1" <<'PY'
import imaplib, os, ssl, sys, time, datetime
runs = int(sys.argv[1])
ctx = ssl.create_default_context(cafile=os.environ["BREVANT_E2E_CA"])
fields = "FROM SUBJECT CONTENT-TYPE AUTO-SUBMITTED LIST-UNSUBSCRIBE"
times = []
for run in range(runs):
    start = time.perf_counter()
    m = imaplib.IMAP4_SSL(os.environ["BREVANT_E2E_HOST"], 993, ssl_context=ctx)
    m.login(os.environ["BREVANT_E2E_LOGIN"], os.environ["BREVANT_E2E_PASSWORD"])
    m.select("INBOX", readonly=True)
    since = (datetime.date.today() - datetime.timedelta(days=2)).strftime("%d-%b-%Y")
    uids = m.uid("SEARCH", "SINCE", since)[1][0].split()
    reports = []
    for i in range(0, len(uids), 1000):
        batch = b",".join(uids[i:i + 1000]).decode()
        data = m.uid("FETCH", batch, "(UID BODY.PEEK[HEADER.FIELDS (%s)])" % fields)[1]
        for item in data:
            if isinstance(item, tuple) and b"multipart/report" in item[1].lower():
                reports.append(item[0].split(b"UID ")[1].split()[0])
    heads = 0
    for i in range(0, len(reports), 50):
        batch = b",".join(reports[i:i + 50]).decode()
        heads += sum(isinstance(x, tuple) for x in m.uid("FETCH", batch, "(UID BODY.PEEK[]<0.262144>)")[1])
    m.logout()
    times.append(time.perf_counter() - start)
    print("run %d: %.3f s, %d messages, %d reports read" % (run + 1, times[-1], len(uids), heads))
times.sort()
print("result imaplib_s %.3f" % times[len(times) // 2])
PY
}
imaplib_read 1 >/dev/null || die "the warm-up read failed"
echo "--- ours (MailboxReader, 993)"
"$BENCH" 993 "$RUNS" || die "mailbox_bench failed"
echo "--- imaplib (993)"
imaplib_read "$RUNS"
