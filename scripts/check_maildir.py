#!/usr/bin/env python3
"""Checks what a mailing left in a Postfix Maildir against the job that produced it.

    check_maildir.py MAILDIR --job JOBDIR [--attach FILE ...] [--recipients-in-order]
                     [--notice-file FILE]

MAILDIR is the Maildir that the test Postfix instance (postfix-netns.sh) delivers the
catch-all test domain into; JOBDIR holds the job files mail.txt, sender.txt, tema.txt and
message.txt (Windows-1251, compared as bytes). The --attach files are the files that were
attached, in list order. --notice-file holds the exact bytes of the notice block that goes
in front of the message text when mail.txt has 42 lines or more.

Checked for every message:
  * exactly one message per line of mail.txt, the X-Original-To/Delivered-To of each
    naming that line's address (spaces trimmed); with --recipients-in-order the messages
    taken in the order Postfix received them must follow the list;
  * Return-Path is the trimmed sender address and the HELO name in Received is the part
    of the sender before "@";
  * the Subject header is "Subject:" + the first line of tema.txt, byte for byte;
  * the body (after the header block and its empty line) is exactly the text the client
    must have sent, computed from the job files and the attachments: the notice block (if
    any), the message lines, the separators and every attachment uuencoded, as lines;
  * every uuencoded attachment in the body decodes to the bytes of its file, in order.

Order: Postfix assigns every message a queue id when the client's transaction starts; with
enable_long_queue_ids = yes that id holds the time of that moment in seconds and
microseconds. The sender runs one session after another, so sorting by the time in the
queue id (taken from Postfix's own Received header) gives the order in which the messages
were sent, whatever order the delivery agent later wrote the files in. Without long queue
ids the Maildir file name (delivery time, seconds and microseconds) is used instead, with a
warning.

Exit status 0 with a one-line summary when everything matches, 1 with the reasons
otherwise, 2 for bad arguments or unreadable job files.
"""

import argparse
import binascii
import os
import re
import sys

CR, LF, CRLF = b"\r", b"\n", b"\r\n"

# Postfix's base-52 digits for long queue ids (safe_ultostr): digits and consonants.
QID_DIGITS = b"0123456789BCDFGHJKLMNPQRSTVWXYZbcdfghjklmnpqrstvwxyz"
QID_VALUE = {c: i for i, c in enumerate(QID_DIGITS)}
LONG_QID = re.compile(rb"^([0-9A-Za-z]{6})([0-9A-Za-z]{4})z[0-9A-Za-y]+$")
RECEIVED_ID = re.compile(rb"\(Postfix\) with [A-Z]+ id ([0-9A-Za-z]+)")
RECEIVED_FROM = re.compile(rb"^from (\S+) ")
MAILDIR_NAME = re.compile(r"^(\d+)\.V[0-9a-f]+I[0-9a-f]+M(\d+)\.")


class Mismatch(Exception):
    pass


class JobError(Exception):
    pass


def job_lines(data):
    """Lines of a job file: a line ends at CR or CR LF, a bare LF stays in the line, and a
    terminator at the very end does not start a further line."""
    lines, start, i, n = [], 0, 0, len(data)
    while i < n:
        if data[i] == 13:
            lines.append(data[start:i])
            i += 2 if i + 1 < n and data[i + 1] == 10 else 1
            start = i
        else:
            i += 1
    if start < n:
        lines.append(data[start:])
    return lines


def read_job_file(jobdir, name):
    path = os.path.join(jobdir, name)
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise JobError(f"cannot read {path}: {e.strerror}")


def first_line(jobdir, name):
    lines = job_lines(read_job_file(jobdir, name))
    if not lines:
        raise JobError(f"{os.path.join(jobdir, name)} has no line")
    return lines[0]


def trim_spaces(b):
    return b.strip(b" ")


def uuencode(name, data):
    """The attachment encoding the sender uses: "begin 664 NAME", 45-byte blocks with the
    last (possibly empty) block always present, the last block padded with space bytes,
    every space in a data line written as a grave accent, then "`" and "end"; LF line ends."""
    out = [b"begin 664 " + name + LF]
    blocks = len(data) // 45 + 1
    for i in range(blocks):
        block = data[i * 45:(i + 1) * 45] if i < blocks - 1 else data[i * 45:]
        line = bytearray([32 + len(block)])
        if len(block) % 3:
            block = block + b" " * (3 - len(block) % 3)
        for g in range(0, len(block), 3):
            b1, b2, b3 = block[g], block[g + 1], block[g + 2]
            line += bytes((32 + (b1 >> 2), 32 + ((b1 & 3) << 4 | b2 >> 4),
                           32 + ((b2 & 15) << 2 | b3 >> 6), 32 + (b3 & 63)))
        out.append(bytes(line).replace(b" ", b"`") + LF)
    out.append(b"`\nend\n")
    return b"".join(out)


def header_name(path):
    """The name in the "begin" line for an attached path: the part after the last "/",
    in Windows-1251 with "?" for characters it lacks and for line breaks."""
    name = os.path.basename(path).encode("cp1251", "replace")
    return name.replace(CR, b"?").replace(LF, b"?")


def uudecode_line(line):
    """One data line, decoded by its length character. The encoder pads the last group
    with space bytes, which encode as ordinary characters that binascii's strict decoder
    would take for trailing garbage, so the line is cut to what the length needs."""
    if not line:
        raise Mismatch("empty line inside a uuencoded attachment")
    count = (line[0] - 32) & 63
    need = 1 + (count * 4 + 2) // 3
    if len(line) < need:
        raise Mismatch(f"uuencoded line too short for its length {count}: {line[:80]!r}")
    return binascii.a2b_uu(line[:need])


def expected_text_lines(body, attachment_block):
    """The lines of the message text as the server stores them: body + CR LF CR LF +
    attachment block is cut at every CR LF into pieces, each piece is sent followed by
    CR LF, and a bare LF or CR inside a piece is sent as CR LF."""
    lines = []
    for piece in (body + CRLF + CRLF + attachment_block).split(CRLF):
        lines.extend(re.split(rb"\r|\n", piece))
    return lines


def subject_field(subject):
    """The Subject header as stored, one entry per line: a line break inside the subject
    is sent as CR LF and a space, which folds the header."""
    parts = subject.split(LF)
    return [b"Subject:" + parts[0]] + [b" " + p for p in parts[1:]]


def decode_qid(qid):
    m = LONG_QID.match(qid)
    if not m:
        return None
    value = []
    for digits in m.groups():
        v = 0
        for c in digits:
            v = v * 52 + QID_VALUE[c]
        value.append(v)
    return tuple(value)


class Message:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        with open(path, "rb") as f:
            data = f.read()
        if not data.endswith(LF):
            raise Mismatch(f"{self.name}: file does not end with a line end")
        lines = data[:-1].split(LF)
        try:
            blank = lines.index(b"")
        except ValueError:
            raise Mismatch(f"{self.name}: no empty line after the headers")
        self.fields = []  # (name lower-case, [raw lines])
        for line in lines[:blank]:
            if line[:1] in (b" ", b"\t") and self.fields:
                self.fields[-1][1].append(line)
            else:
                self.fields.append((line.split(b":", 1)[0].lower(), [line]))
        self.body = lines[blank + 1:]
        self.qid = self.order_key = None
        for name, raw in self.fields:
            if name == b"received":
                m = RECEIVED_ID.search(b" ".join(raw))
                if m:
                    self.qid = m.group(1)
                    self.received = b" ".join(x.strip() for x in raw)
                    break
        m = MAILDIR_NAME.match(self.name)
        self.delivered_at = (int(m.group(1)), int(m.group(2))) if m else None

    def values(self, name):
        return [b"".join(raw)[len(name) + 1:].strip() for n, raw in self.fields if n == name]

    def one(self, name):
        v = self.values(name.lower().encode())
        if len(v) != 1:
            raise Mismatch(f"{self.name}: {len(v)} {name} headers, expected 1")
        return v[0]


def read_maildir(maildir):
    paths = []
    for sub in ("new", "cur"):
        d = os.path.join(maildir, sub)
        if not os.path.isdir(d):
            raise JobError(f"{maildir} is not a Maildir: {d} missing")
        paths += [os.path.join(d, n) for n in os.listdir(d) if not n.startswith(".")]
    return [Message(p) for p in paths]


def show(b, limit=100):
    return repr(b if len(b) <= limit else b[:limit] + b"...")


def compare_lines(what, got, want):
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            raise Mismatch(f"{what}: line {i + 1} differs:\n    got  {show(g)}\n    want {show(w)}")
    if len(got) != len(want):
        extra = got[len(want)] if len(got) > len(want) else want[len(got)]
        raise Mismatch(f"{what}: {len(got)} lines, expected {len(want)} "
                       f"(first {'extra' if len(got) > len(want) else 'missing'} line "
                       f"{min(len(got), len(want)) + 1}: {show(extra)})")


def find_attachments(what, body):
    """(name, decoded bytes) of every uuencoded text in the body, in order."""
    found, i = [], 0
    while i < len(body):
        if body[i].startswith(b"begin 664 "):
            name, data, i = body[i][10:], [], i + 1
            while i < len(body) and body[i] != b"end":
                data.append(uudecode_line(body[i]))
                i += 1
            if i == len(body):
                raise Mismatch(f"{what}: attachment {name!r} has no \"end\" line")
            found.append((name, b"".join(data)))
        i += 1
    return found


def check(args):
    mail = job_lines(read_job_file(args.job, "mail.txt"))
    recipients = [trim_spaces(a) for a in mail]
    sender = trim_spaces(first_line(args.job, "sender.txt"))
    subject = first_line(args.job, "tema.txt")
    message_text = b"".join(CRLF + line for line in job_lines(read_job_file(args.job, "message.txt")))
    body, notice = message_text, False
    if len(mail) - 1 > 40:
        if args.notice_file is None:
            raise JobError(f"mail.txt has {len(mail)} lines, so the body starts with the notice "
                           "block: give it with --notice-file")
        with open(args.notice_file, "rb") as f:
            body, notice = f.read() + message_text, True
    attachments = []
    for path in args.attach:
        with open(path, "rb") as f:
            attachments.append((header_name(path), f.read()))
    block = b"".join(uuencode(name, data) + CRLF for name, data in attachments)

    want_subject = subject_field(subject)
    want_body = expected_text_lines(body, block)
    helo = sender.split(b"@", 1)[0] if b"@" in sender else sender

    messages = read_maildir(args.maildir)
    if len(messages) != len(recipients):
        raise Mismatch(f"{len(messages)} messages in {args.maildir}, expected {len(recipients)} "
                       f"(one per line of mail.txt)")

    keys = [decode_qid(m.qid) if m.qid else None for m in messages]
    if all(keys):
        for m, k in zip(messages, keys):
            m.order_key = k
        order_rule = "queue id time"
    elif all(m.delivered_at for m in messages):
        print("check_maildir: warning: no long queue ids, ordering by Maildir delivery time",
              file=sys.stderr)
        for m in messages:
            m.order_key = m.delivered_at
        order_rule = "Maildir delivery time"
    else:
        raise Mismatch("cannot order the messages: neither long queue ids nor Postfix Maildir names")
    messages.sort(key=lambda m: m.order_key)

    got_rcpts = []
    for m in messages:
        what = f"message {m.name} (queue id {(m.qid or b'?').decode()})"
        original = m.one("X-Original-To")
        delivered = m.one("Delivered-To")
        if original.lower() != delivered.lower():
            raise Mismatch(f"{what}: X-Original-To {show(original)} but Delivered-To {show(delivered)}")
        got_rcpts.append(original)

        return_path = m.one("Return-Path")
        if return_path != b"<" + sender + b">":
            raise Mismatch(f"{what}: Return-Path {show(return_path)}, expected {show(b'<' + sender + b'>')}")
        if getattr(m, "received", None) and re.fullmatch(rb"[A-Za-z0-9._-]+", helo):
            fm = RECEIVED_FROM.match(m.received[len(b"Received:"):].strip())
            if not fm or fm.group(1) != helo:
                raise Mismatch(f"{what}: HELO name in Received is {show(fm.group(1) if fm else b'')}, "
                               f"expected {show(helo)}")

        subjects = [raw for n, raw in m.fields if n == b"subject"]
        if len(subjects) != 1:
            raise Mismatch(f"{what}: {len(subjects)} Subject headers, expected 1")
        compare_lines(f"{what}: Subject header", subjects[0], want_subject)
        compare_lines(f"{what}: body", m.body, want_body)

        found = find_attachments(what, m.body)
        if len(found) != len(attachments):
            raise Mismatch(f"{what}: {len(found)} uuencoded attachments, expected {len(attachments)}")
        for i, ((got_name, got_data), (name, data)) in enumerate(zip(found, attachments)):
            if got_name != name:
                raise Mismatch(f"{what}: attachment {i + 1} is named {show(got_name)}, expected {show(name)}")
            if got_data != data:
                at = next((j for j, (a, b) in enumerate(zip(got_data, data)) if a != b),
                          min(len(got_data), len(data)))
                raise Mismatch(f"{what}: attachment {i + 1} ({name.decode(errors='replace')}) decodes to "
                               f"{len(got_data)} bytes, file has {len(data)}; first difference at byte {at}")

    if args.recipients_in_order:
        for i, (got, want) in enumerate(zip(got_rcpts, recipients)):
            if got != want:
                hint = " (differs only in letter case)" if got.lower() == want.lower() else ""
                raise Mismatch(f"message {i + 1} in {order_rule} order went to {show(got)}, "
                               f"but line {i + 1} of mail.txt is {show(want)}{hint}")
    elif sorted(got_rcpts) != sorted(recipients):
        missing = sorted(set(recipients) - set(got_rcpts))
        raise Mismatch(f"recipients do not match mail.txt; missing or doubled: {missing[:5]!r}")

    sizes = (f"{len(attachments)} attachments decoded ("
             + ", ".join(str(len(d)) for _, d in attachments) + " bytes)") if attachments else "no attachments"
    print(f"check_maildir: OK: {len(messages)} messages, one per address of mail.txt"
          f"{' in list order (' + order_rule + ')' if args.recipients_in_order else ''}; "
          f"subject {len(subject)} bytes; body {len(want_body)} lines"
          f"{' with notice block' if notice else ''}; "
          f"{sizes}")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("maildir")
    p.add_argument("--job", required=True, help="folder with mail.txt, sender.txt, tema.txt, message.txt")
    p.add_argument("--attach", action="append", default=[], help="attached file, in list order (repeat)")
    p.add_argument("--recipients-in-order", action="store_true",
                   help="messages must follow the order of mail.txt")
    p.add_argument("--notice-file", help="exact bytes of the notice block (for 42+ addresses)")
    args = p.parse_args(argv)
    try:
        check(args)
    except JobError as e:
        print(f"check_maildir: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"check_maildir: {e}", file=sys.stderr)
        return 2
    except Mismatch as e:
        print(f"check_maildir: MISMATCH: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
