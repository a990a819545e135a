#!/bin/bash
# Proves the test Postfix instance and the Maildir checker with a client written by
# somebody else (Python's smtplib), before either is trusted with our own sender:
#
#   1. a mailing of three messages, one connection each, with a Windows-1251 subject,
#      message lines that start with "." and two uuencoded attachments (one of 14 bytes,
#      whose data line starts with "."), lands in the Maildir and check_maildir.py
#      accepts it byte for byte and in list order;
#   2. check_maildir.py refuses the same Maildir when the expectation is wrong in any
#      one respect (order, subject, text, attachment bytes or order, sender);
#   3. the server refuses what the sender must never send: a bare LF in the data,
#      addresses without angle brackets, a recipient outside the test domain.
#
# Needs root (network namespace); exits 77 (skip) otherwise. No display, no stdin.
# SMOKE_KEEP=1 leaves the instance and its folder in place for a look afterwards.
# Prints one line per case and "N passed, N failed" at the end.

set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd -P)
PFNS=$HERE/postfix-netns.sh
CHECK=$HERE/check_maildir.py
PYTHON=${PYTHON:-$(test -x /usr/bin/python3 && echo /usr/bin/python3 || command -v python3)}

if [ "$(id -u)" -ne 0 ]; then
    echo "postfix_smoke_test: needs root for the network namespace; skipped"
    exit 77
fi

NS=brsmoke$$
TMP=$(mktemp -d /tmp/postfix-smoke.XXXXXX)
chmod 755 "$TMP" # the Maildir below it is written by an unprivileged user
cleanup() {
    if [ -n "${SMOKE_KEEP:-}" ]; then
        echo "postfix_smoke_test: kept $TMP and namespace $NS (SMOKE_KEEP)"
        return
    fi
    "$PFNS" down "$NS" "$TMP/pf" >/dev/null 2>&1 || echo "postfix_smoke_test: cleanup of $NS failed" >&2
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
exec </dev/null

PASSED=0
FAILED=0
pass() {
    echo "PASS: $*"
    PASSED=$((PASSED + 1))
}
fail() {
    echo "FAIL: $*"
    FAILED=$((FAILED + 1))
}

"$PFNS" up "$NS" "$TMP/pf"
MAILDIR=$TMP/pf/Maildir

# --- the job: three addresses (CR LF, CR alone, no terminator; spaces around one),
# a Russian subject in Windows-1251, message lines with dots, a bare LF and an empty line.
JOB=$TMP/job
mkdir -p "$JOB"
"$PYTHON" - "$JOB" <<'EOF'
import os, sys
job = sys.argv[1]
def put(name, data):
    with open(os.path.join(job, name), "wb") as f:
        f.write(data)
put("mail.txt", b"first@example.test\r\n second@example.test \rthird@example.test")
put("smtp.txt", b"127.0.0.1\r\n")
put("sender.txt", b" sender@example.test\r\n")
put("tema.txt", "Проверка доставки: тест №1".encode("cp1251") + b"\r\nnot the subject\r\n")
put("message.txt", "Здравствуйте!".encode("cp1251") + b"\r\n.\r\n..two dots\r\n.leading dot\r\n"
    b"\r\nbare\nLF inside a line\r\n   spaces kept   \r\nlast line")
# 14 bytes: the only data line starts with "." (length character of 14).
put("a14.bin", bytes([0, 1, 2, 46, 13, 10, 32, 96, 255, 254, 46, 46, 10, 13]))
put("отчёт 2.dat", bytes(range(256)) * 3 + b"tail 45+" + b"\x00" * 5)
EOF
ATT1="$JOB/a14.bin"
ATT2="$JOB/отчёт 2.dat"

# --- the sender: smtplib, one connection per address, "HELO" with the sender's local
# part, the data composed line by line with CR LF; smtplib doubles leading dots.
"$PFNS" exec "$NS" "$TMP/pf" "$PYTHON" - "$JOB" "$ATT1" "$ATT2" <<'EOF'
import binascii, os, smtplib, sys

job, attachments = sys.argv[1], sys.argv[2:]
def read(name):
    with open(os.path.join(job, name), "rb") as f:
        return f.read()
def lines(data):  # line ends: CR LF or CR; LF stays inside the line
    return data.replace(b"\r\n", b"\r").split(b"\r")[: -1 if data.endswith(b"\r") else None] if data else []

def uu(name, data):
    out = b"begin 664 " + name + b"\n"
    blocks = [data[i:i + 45] for i in range(0, len(data) // 45 * 45, 45)] + [data[len(data) // 45 * 45:]]
    for b in blocks:
        padded = b + b" " * (-len(b) % 3)
        line = binascii.b2a_uu(padded, backtick=True)[1:-1] if padded else b""
        out += (bytes([32 + len(b)]) + line).replace(b" ", b"`") + b"\n"
    return out + b"`\nend\n"

sender = lines(read("sender.txt"))[0].strip(b" ")
subject = lines(read("tema.txt"))[0]
text = [b""] + lines(read("message.txt")) + [b""]
for path in attachments:
    with open(path, "rb") as f:
        text += uu(os.path.basename(path).encode("cp1251"), f.read()).split(b"\n")[:-1] + [b""]
text += [b""]
data = b"Subject:" + subject + b"\r\n\r\n" + b"".join(l.replace(b"\n", b"\r\n") + b"\r\n" for l in text)

for rcpt in lines(read("mail.txt")):
    with smtplib.SMTP("127.0.0.1", 25, timeout=30) as s:
        s.helo(sender.split(b"@")[0].decode())
        refused = s.sendmail(sender.decode(), [rcpt.strip(b" ").decode()], data)
        assert not refused, refused
EOF

GOOD=no
# Wait (bounded) until the three messages are delivered and the queue is empty.
for _ in $(seq 150); do
    n=$(find "$MAILDIR/new" "$MAILDIR/cur" -type f | wc -l)
    if [ "$n" -ge 3 ] && "$PFNS" exec "$NS" "$TMP/pf" postqueue -p | grep -q 'Mail queue is empty'; then break; fi
    sleep 0.2
done

if out=$("$PYTHON" "$CHECK" "$MAILDIR" --job "$JOB" --attach "$ATT1" --attach "$ATT2" --recipients-in-order 2>&1); then
    pass "smtplib mailing delivered as sent: $out"
    GOOD=yes
else
    fail "smtplib mailing: $out"
fi

# --- the checker must notice every kind of difference. Each case: a description, the
# part of the checker's complaint that names the difference, and a shell snippet that
# spoils a copy of the job in $BAD (or the attachment list in ATTS).
spoil_cases=(
    "recipients in another order|went to|printf 'second@example.test\r\nfirst@example.test\r\nthird@example.test' >\$BAD/mail.txt"
    "one recipient fewer|3 messages in|printf 'first@example.test\r\nsecond@example.test\r\n' >\$BAD/mail.txt"
    "other subject|Subject header: line 1|printf 'Other\r\n' >\$BAD/tema.txt"
    "subject with a space added|Subject header: line 1|{ printf ' '; cat \$JOB/tema.txt; } >\$BAD/tema.txt"
    "message text one line short|body: line 10 differs|head -c -9 \$JOB/message.txt >\$BAD/message.txt"
    "the \".\" line expected as \"..\"|body: line 3 differs|sed -i 's/^\\.\r\$/..\r/' \$BAD/message.txt"
    "other sender|Return-Path|printf 'other@example.test\r\n' >\$BAD/sender.txt"
    "attachments in the other order|body: line 12 differs|ATTS=(\"\$ATT2\" \"\$ATT1\")"
    "one attachment missing|body: line 17 differs|ATTS=(\"\$ATT1\")"
    "attachment byte changed|body: line 13 differs|cp \$ATT1 \$BAD/a14.bin && printf 'X' | dd of=\$BAD/a14.bin bs=1 seek=3 conv=notrunc status=none && ATTS=(\"\$BAD/a14.bin\" \"\$ATT2\")"
)
for case in "${spoil_cases[@]}"; do
    IFS='|' read -r what expect snippet <<<"$case"
    if [ "$GOOD" != yes ]; then
        fail "checker refuses: $what (not tried: the correct mailing did not pass)"
        continue
    fi
    BAD=$TMP/bad
    rm -rf "$BAD"
    cp -a "$JOB" "$BAD"
    ATTS=("$ATT1" "$ATT2")
    eval "$snippet"
    args=()
    for a in "${ATTS[@]}"; do args+=(--attach "$a"); done
    rc=0
    out=$("$PYTHON" "$CHECK" "$MAILDIR" --job "$BAD" "${args[@]}" --recipients-in-order 2>&1) || rc=$?
    if [ $rc -eq 1 ] && [[ "$out" == *"MISMATCH"*"$expect"* ]]; then
        pass "checker refuses: $what"
    else
        fail "checker refuses: $what: exit $rc, expected 1 and \"$expect\": $out"
    fi
done

# --- what the server must refuse. Each case: description|expected code|commands, sent
# over one connection after HELO; the reply to the last one is checked.
refusals_rc=0
"$PFNS" exec "$NS" "$TMP/pf" "$PYTHON" - <<'EOF' >"$TMP/refusals" || refusals_rc=$?
import smtplib
cases = [
    ("bare LF in the message data", 550,
     [b"MAIL FROM:<sender@example.test>", b"RCPT TO:<first@example.test>", b"DATA",
      b"Subject:bare\r\n\r\nline one\nline two\r\n.\r\n"]),
    # After a bare LF, "." CR LF is an ordinary line, not the end of the data: only the
    # second end mark ends it, and the whole message is refused.
    ("a \".\" line after a bare LF (smuggling)", 550,
     [b"MAIL FROM:<sender@example.test>", b"RCPT TO:<first@example.test>", b"DATA",
      b"Subject:bare\r\n\r\nline one\n.\r\nMAIL FROM:<x@example.test>\r\n.\r\n"]),
    ("MAIL FROM without angle brackets", 501, [b"MAIL FROM:sender@example.test"]),
    ("RCPT TO without angle brackets", 501,
     [b"MAIL FROM:<sender@example.test>", b"RCPT TO:first@example.test"]),
    ("recipient outside the test domain", 554,
     [b"MAIL FROM:<sender@example.test>", b"RCPT TO:<someone@elsewhere.test>"]),
]
for what, want, commands in cases:
    try:
        with smtplib.SMTP("127.0.0.1", 25, timeout=30) as s:
            s.helo("sender")
            for c in commands:
                if c.endswith(b".\r\n"):
                    s.send(c)
                    code, msg = s.getreply()
                else:
                    code, msg = s.docmd(c.decode())
                if code >= 400:
                    break
    except smtplib.SMTPServerDisconnected as e:
        code, msg = 0, str(e).encode()
    ok = code == want
    print(f"{'PASS' if ok else 'FAIL'}: server refuses {what}: {code} {msg.decode(errors='replace')}")
EOF
while IFS= read -r line; do
    case $line in
    PASS:*) pass "${line#PASS: }" ;;
    *) fail "${line#FAIL: }" ;;
    esac
done <"$TMP/refusals"
[ "$refusals_rc" -eq 0 ] && [ "$(wc -l <"$TMP/refusals")" -eq 5 ] || fail "refusal cases did not all run (exit $refusals_rc)"

# Nothing refused may have reached the Maildir.
sleep 1
n=$(find "$MAILDIR/new" "$MAILDIR/cur" -type f | wc -l)
if [ "$n" -eq 3 ]; then pass "refused messages were not delivered"; else fail "Maildir holds $n messages, expected 3"; fi

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
