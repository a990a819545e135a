#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only after changing the input layout of a target
(described at the top of its source file). Files are named after what they hold.
"""
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def short(b: bytes) -> bytes:
    assert len(b) < 256
    return bytes([len(b)]) + b


# --- reply_session: five strings, then operations ------------------------------------------

def message(sender=b"me@example.test", recipient=b"you@example.test", subject=b"Hello",
            body=b"\r\nLine one\r\n.dot line\r\nLine\nbare LF", block=b"begin 664 a\n!80``\n`\nend\n\r\n"):
    return short(sender) + short(recipient) + short(subject) + short(body) + short(block)


def feed(data: bytes, piece=255) -> bytes:
    out = b""
    for i in range(0, len(data), piece):
        out += bytes([0]) + short(data[i:i + piece])
    if not data:
        out += bytes([0, 0])
    return out


def run(byte: int, count: int, piece: int) -> bytes:
    assert piece % 64 == 0 and 64 <= piece <= 16384
    return bytes([1]) + struct.pack("<H", count) + bytes([byte, piece // 64 - 1])


def pull(chunks: int, size: int) -> bytes:
    assert 1 <= size <= 64
    return bytes([2 + 4 * (size - 1), chunks])


NEW_DIALOGUE = bytes([3])

GREETING = b"220 mail.example.test ESMTP\r\n"
HELO = b"250 hello\r\n"
MAIL = b"250 2.1.0 Ok\r\n"
RCPT = b"250 2.1.5 Ok\r\n"
DATA = b"354 End data with <CR><LF>.<CR><LF>\r\n"
QUEUED = b"250 2.0.0 Ok: queued\r\n"
BYE = b"221 2.0.0 Bye\r\n"


def whole_dialogue(piece=255, pull_size=64):
    return (feed(GREETING + HELO + MAIL + RCPT + DATA, piece) + pull(50, pull_size) +
            feed(QUEUED + BYE, piece))


REPLY_SEEDS = {
    "dialogue_whole_replies": message() + whole_dialogue(),
    "dialogue_byte_by_byte": message() + whole_dialogue(piece=1, pull_size=1),
    "dialogue_odd_pieces": message() + whole_dialogue(piece=7, pull_size=13),
    "multiline_replies": message() + feed(
        b"220-mail.example.test\r\n220-second line\r\n220 last\r\n"
        b"250-PIPELINING\n250-SIZE 10240000\n250 8BITMIME\n", 5) + feed(MAIL + RCPT + DATA) +
    pull(60, 32) + feed(QUEUED + b"221 bye\r\n"),
    "refused_rcpt": message() + feed(GREETING + HELO + MAIL + b"550 5.1.1 no such user\r\n"),
    "refused_greeting": message() + feed(b"554 go away\r\n" + HELO),
    "short_replies": message() + feed(b"2\n22\n220\n250\n25\n"),
    "reply_before_data_ends": message(body=b"x" * 200) + feed(GREETING + HELO + MAIL + RCPT +
                                                            DATA) + pull(2, 8) + feed(QUEUED),
    "oversized_reply": message() + feed(b"220-") + run(ord("a"), 65535, 256) +
    run(ord("b"), 2000, 64) + feed(b"\r\n220 ok\r\n" + HELO),
    "two_dialogues": message() + whole_dialogue() + NEW_DIALOGUE + whole_dialogue(piece=3),
    "new_dialogue_mid_reply": message() + feed(b"220 half") + NEW_DIALOGUE + feed(GREETING),
    "sender_with_line_break": message(sender=b"me@example.test\n") + whole_dialogue(),
    "recipient_with_nul": message(recipient=b"you\x00@example.test") + whole_dialogue(),
    "spaces_around_fields": message(sender=b"  me@example.test ", recipient=b" you@x ") +
    whole_dialogue(),
    "empty_fields": message(sender=b"", recipient=b"", subject=b"", body=b"", block=b"") +
    whole_dialogue(),
    "data_with_dots": message(body=b".\r\n..\r\n.\r\n", subject=b"a\r\nb\nc\rd") +
    whole_dialogue(pull_size=2),
    "continuation_dash_split": message() + feed(b"220") + feed(b"-") + feed(b"x\r\n220 y\r\n"),
    "quit_refused": message() + feed(GREETING + HELO + MAIL + RCPT + DATA) + pull(50, 64) +
    feed(QUEUED + b"500 no\r\n" + b"250 late\r\n"),
}

# --- job_files: a control byte, then the bytes of every file that exists ---------------------

ALL_FILES = 31


def job(data: bytes, present=ALL_FILES, stop=0):
    return bytes([present | (stop << 5)]) + data


JOB_SEEDS = {
    "demo_list": job(b"a@example.test\r\nb@example.test\r\nc@example.test\r\n"),
    "crlf_cr_lf_mix": job(b"one\rtwo\r\nthree\nfour\r\r\n\r\nfive", stop=2),
    "empty": job(b""),
    "only_terminators": job(b"\r\n\r\r\n\n\r", stop=7),
    "nul_and_0x98": job(b"a\x00b\x98c\r\n\x98\x00\r\x00"),
    "cyrillic_cp1251": job("Привет, мир\r\nТема письма\r\n".encode("cp1251")),
    "all_byte_values": job(bytes(range(256))),
    "some_files_missing": job(b"x@example.test\r\n", present=0b10101, stop=1),
    "no_files": job(b"ignored\r\n", present=0),
    "list_over_notice_threshold": job(b"\r\n".join(b"u%d@x" % i for i in range(45)), stop=3),
    "list_at_capacity": job(b"\r" * 10001, present=0b00001),
    "list_over_capacity": job(b"\r" * 10002, present=0b00001),
    "list_over_capacity_crlf": job(b"\r\n" * 10003, present=0b10001),
}

# --- uuencode: name length, name, data ---------------------------------------------------


def uu(name: bytes, data: bytes):
    return bytes([len(name)]) + name + data


UU_SEEDS = {
    "empty": uu(b"empty.bin", b""),
    "one_byte": uu(b"a", b"\x00"),
    "one_group": uu(b"abc.txt", b"abc"),
    "line_minus_one": uu(b"x", bytes(range(44))),
    "one_line": uu(b"x", bytes(range(45))),
    "line_plus_one": uu(b"x", bytes(range(46))),
    "two_lines": uu(b"two", bytes(range(90))),
    "all_byte_values": uu(b"bytes.bin", bytes(range(256)) * 2),
    "spaces_and_zeros": uu(b"sp", b" " * 50 + b"\x00" * 50),
    "name_with_line_breaks": uu(b"dir/a\r\nb\\c.txt", b"data"),
    "cyrillic_name": uu("папка/файл.txt".encode("cp1251"), b"\xff\xfe\xfd"),
    "no_name": uu(b"", b"hello, world\n"),
    "zeros": uu(b"zeros", bytes(200)),
}


def write(target: str, seeds: dict):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"{target}: {len(seeds)} seeds", file=sys.stderr)


if __name__ == "__main__":
    write("reply_session", REPLY_SEEDS)
    write("job_files", JOB_SEEDS)
    write("uuencode", UU_SEEDS)
