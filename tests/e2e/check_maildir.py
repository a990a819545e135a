#!/usr/bin/env python3
"""Catches: a mailing that Postfix stored differently from its job: a message missing, doubled or
out of list order, a header missing, doubled or wrong, a subject that does not decode to the job's,
a body that differs from message.txt, an attachment that does not decode to its file.

    check_maildir.py MAILDIR --job JOBDIR [--attach FILE ...] [--notice-file FILE]

MAILDIR is the Maildir the test Postfix delivers the test domain into; JOBDIR holds the job files.
They are read as the program reads them, with Python's own codecs: any line end; a file that
starts with the UTF-8 byte-order mark, or is valid UTF-8 with a byte above 0x7F, is UTF-8 and is
compared in Windows-1251. The --attach files are the attached files, in list order.
--notice-file holds the bytes of the notice block put in front of the text of a list of 42 or more.
Exit status 0 with a summary line when everything matches, 1 with the reason otherwise.
"""

import argparse
import binascii
import email.header
import email.utils
import os
import re
import sys

CRLF = b"\r\n"
# Postfix's base-52 digits of a long queue id, which starts with the time the transaction began.
QID_DIGITS = b"0123456789BCDFGHJKLMNPQRSTVWXYZbcdfghjklmnpqrstvwxyz"


class Mismatch(Exception):
    pass


def job_text(path):
    data = open(path, "rb").read()
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8", "replace").encode("cp1251", "replace")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return data
    return text.encode("cp1251", "replace") if max(data, default=0) > 0x7F else data


def job_lines(path):
    lines = re.split(rb"\r\n|\r|\n", job_text(path))
    return lines[:-1] if lines[-1] == b"" else lines


def address(field):
    a = field.strip(b" ")
    return a[1:-1] if len(a) >= 2 and a[:1] == b"<" and a[-1:] == b">" else a


def queue_time(message):
    """When Postfix began the transaction, from the long queue id in its Received field."""
    m = re.search(rb"\(Postfix\) with [A-Z]+ id ([0-9A-Za-z]{6})([0-9A-Za-z]{4})z", message)
    if not m:
        raise Mismatch("no long queue id in the Received field")
    value = lambda digits: sum(QID_DIGITS.index(c) * 52 ** i for i, c in enumerate(reversed(digits)))
    return value(m.group(1)), value(m.group(2))


def fields_of(head):
    """Header fields as (lower-case name, value with folding removed)."""
    unfolded = re.sub(rb"\n[ \t]", b" ", head)
    return [(n.lower().decode(), v.strip()) for n, v in
            (line.split(b":", 1) for line in unfolded.split(b"\n"))]


def decoded_attachments(lines):
    """(name, bytes) of every uuencoded file in the body lines, decoded by Python's binascii."""
    found, i = [], 0
    while i < len(lines):
        if lines[i].startswith(b"begin 664 "):
            name, data = lines[i][10:], b""
            for i in range(i + 1, len(lines)):
                if lines[i] == b"end":
                    break
                count = (lines[i][0] - 32) & 63 if lines[i] else 0
                # The last group is padded with spaces, which binascii would take for garbage.
                data += binascii.a2b_uu(lines[i][:1 + (count * 4 + 2) // 3])
            found.append((name, data))
        i += 1
    return found


def check(args):
    recipients = [address(a) for a in job_lines(os.path.join(args.job, "mail.txt"))]
    sender = address(job_lines(os.path.join(args.job, "sender.txt"))[0])
    subject = job_lines(os.path.join(args.job, "tema.txt"))[0].decode("cp1251")
    text = b"".join(CRLF + line for line in job_lines(os.path.join(args.job, "message.txt")))
    if args.notice_file:
        text = open(args.notice_file, "rb").read() + text
    files = [(os.path.basename(p).encode("cp1251", "replace"), open(p, "rb").read())
             for p in args.attach]
    want_text = text.split(CRLF) + [b""] if files else text.split(CRLF) + [b"", b""]

    paths = [os.path.join(args.maildir, d, n) for d in ("new", "cur")
             for n in os.listdir(os.path.join(args.maildir, d))]
    messages = sorted((open(p, "rb").read() for p in paths), key=queue_time)
    if len(messages) != len(recipients):
        raise Mismatch(f"{len(messages)} messages, expected {len(recipients)}: one per line of mail.txt")
    ids = set()
    for n, (message, recipient) in enumerate(zip(messages, recipients), 1):
        head, _, body = message.partition(b"\n\n")
        fields = fields_of(head)
        values = lambda name: [v for k, v in fields if k == name]

        def one(name):
            v = values(name)
            if len(v) != 1:
                raise Mismatch(f"message {n}: {len(v)} {name} fields, expected one")
            return v[0]

        want = {"x-original-to": recipient, "return-path": b"<" + sender + b">",
                "from": sender, "to": recipient, "mime-version": b"1.0" if not files else None,
                "content-type": None if files else b"text/plain; charset=windows-1251"}
        for name, value in want.items():
            got = one(name) if value is not None else (values(name) or [None])[0]
            if got != value:
                raise Mismatch(f"message {n}: {name} is {got!r}, expected {value!r}")
        if not re.search(rb"^from " + re.escape(sender.split(b"@")[0]) + rb" ", one("received")):
            raise Mismatch(f"message {n}: the HELO in Received is not the sender's local part")
        email.utils.parsedate_to_datetime(one("date").decode())
        mid = one("message-id")
        if not re.fullmatch(rb"<[^@<> ]+@[^@<> ]+\.[^@<> ]+>", mid) or mid in ids:
            raise Mismatch(f"message {n}: Message-ID {mid!r} malformed or not unique")
        ids.add(mid)
        got_subject = str(email.header.make_header(email.header.decode_header(one("subject").decode("ascii"))))
        if got_subject != subject:
            raise Mismatch(f"message {n}: subject {got_subject!r}, expected {subject!r}")

        lines = body.split(b"\n")[:-1]
        if lines[:len(want_text)] != want_text:
            raise Mismatch(f"message {n}: the text differs from message.txt:\n"
                           f"  got  {lines[:len(want_text)]!r}\n  want {want_text!r}")
        if decoded_attachments(lines) != files:
            raise Mismatch(f"message {n}: the attachments do not decode to the files, in order")
    print(f"check_maildir: OK: {len(messages)} messages in list order, headers, text"
          f"{' and ' + str(len(files)) + ' attachments' if files else ''} as the job holds them")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("maildir")
    p.add_argument("--job", required=True)
    p.add_argument("--attach", action="append", default=[])
    p.add_argument("--notice-file")
    try:
        check(p.parse_args())
    except Mismatch as e:
        print(f"check_maildir: MISMATCH: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
