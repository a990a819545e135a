#!/usr/bin/env python3
"""Catches: a mailing stored other than its job says: a message missing, doubled or out of order,
a header, subject, text or attachment that differs from the job and its files.

    check_maildir.py MAILDIR --job JOBDIR [--attach FILE ...]   (exit status 1 with the reason)
"""
import argparse
import binascii
import email.header
import email.utils
import os
import re
import sys


def job_lines(job, name):
    """As the program reads them: any line end; UTF-8 (marked, or valid with a byte above 0x7F)
    taken into Windows-1251."""
    data = open(os.path.join(job, name), "rb").read()
    try:
        text = data.decode("utf-8-sig")
        if data.startswith(b"\xef\xbb\xbf") or max(data, default=0) > 0x7F:
            data = text.encode("cp1251", "replace")
    except UnicodeDecodeError:
        pass
    lines = re.split(rb"\r\n|\r|\n", data)
    return lines[:-1] if lines[-1] == b"" else lines


def address(field):
    a = field.strip(b" ")
    return a[1:-1] if a[:1] == b"<" and a[-1:] == b">" and len(a) > 1 else a


def uudecode(lines):
    """(name, bytes) of every uuencoded file, by Python's binascii; each line is cut to what its
    length character needs, since the space padding looks like trailing garbage to binascii."""
    found, i = [], 0
    while i < len(lines):
        if lines[i].startswith(b"begin 664 "):
            name, data, i = lines[i][10:], b"", i + 1
            while lines[i] != b"end":
                data += binascii.a2b_uu(lines[i][:1 + (((lines[i][0] - 32) & 63) * 4 + 2) // 3])
                i += 1
            found.append((name, data))
        i += 1
    return found


def check(args):
    recipients = [address(a) for a in job_lines(args.job, "mail.txt")]
    sender = address(job_lines(args.job, "sender.txt")[0])
    subject = job_lines(args.job, "tema.txt")[0].decode("cp1251")
    text = b"".join(b"\r\n" + line for line in job_lines(args.job, "message.txt"))
    files = [(os.path.basename(p).encode("cp1251", "replace"), open(p, "rb").read()) for p in args.attach]
    want_text = text.split(b"\r\n") + ([b""] if files else [b"", b""])
    new = os.path.join(args.maildir, "new")
    # Postfix names each file by the second it wrote it, and the messages came 3 s apart.
    messages = [open(os.path.join(new, n), "rb").read() for n in sorted(os.listdir(new))]
    if len(messages) != len(recipients):
        return f"{len(messages)} messages, expected {len(recipients)}: one per line of mail.txt"
    ids = set()
    for n, (message, recipient) in enumerate(zip(messages, recipients), 1):
        head, _, body = message.partition(b"\n\n")
        fields = [(k.lower().decode(), v.strip()) for k, v in
                  (f.split(b":", 1) for f in re.sub(rb"\n[ \t]", b" ", head).split(b"\n"))]
        want = {"x-original-to": recipient, "return-path": b"<" + sender + b">", "from": sender,
                "to": recipient, "date": None, "message-id": None, "subject": None, "received": None,
                "mime-version": None if files else b"1.0",
                "content-type": None if files else b"text/plain; charset=windows-1251"}
        got = {k: [v for name, v in fields if name == k] for k in want}
        for k, v in got.items():
            if len(v) != (0 if files and k in ("mime-version", "content-type") else 1):
                return f"message {n}: {len(v)} {k} fields"
            if v and want[k] is not None and v[0] != want[k]:
                return f"message {n}: {k} is {v[0]!r}, expected {want[k]!r}"
        if not got["received"][0].startswith(b"from " + sender.split(b"@")[0] + b" "):
            return f"message {n}: the HELO in Received is not the sender's local part"
        email.utils.parsedate_to_datetime(got["date"][0].decode())
        mid = got["message-id"][0]
        if not re.fullmatch(rb"<[^@<> ]+@[^@<> ]+\.[^@<> ]+>", mid) or mid in ids:
            return f"message {n}: Message-ID {mid!r} malformed or not unique"
        ids.add(mid)
        decoded = str(email.header.make_header(email.header.decode_header(got["subject"][0].decode("ascii"))))
        if decoded != subject:
            return f"message {n}: subject {decoded!r}, expected {subject!r}"
        lines = body.split(b"\n")[:-1]
        if lines[:len(want_text)] != want_text:
            return f"message {n}: the text differs:\n  {lines[:len(want_text)]!r}\n  {want_text!r}"
        if uudecode(lines) != files:
            return f"message {n}: the attachments do not decode to the files, in order"
    print(f"check_maildir: OK: {len(messages)} messages in list order, headers, text"
          f"{' and ' + str(len(files)) + ' attachments' if files else ''} as the job holds them")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("maildir")
    p.add_argument("--job", required=True)
    p.add_argument("--attach", action="append", default=[])
    problem = check(p.parse_args())
    if problem:
        sys.exit(f"check_maildir: MISMATCH: {problem}")
