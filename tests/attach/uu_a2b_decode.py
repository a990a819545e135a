"""Decodes uuencoded texts with Python's binascii.a2b_uu, one line at a time.

Usage: uu_a2b_decode.py ENCODED OUTPUT [ENCODED OUTPUT ...]

Each ENCODED file must start with a "begin " line and hold an "end" line; every line between
them is passed to a2b_uu and the bytes are written to OUTPUT. a2b_uu refuses characters after
the counted bytes unless they are spaces or grave accents ("Trailing garbage"); such a line is
cut to the characters its length character needs and decoded again, as Python's own uu module
does for encoders that pad.
"""
import binascii
import sys


def decode(text):
    lines = text.split(b"\n")
    if not lines[0].startswith(b"begin "):
        raise ValueError("no begin line")
    data = bytearray()
    for line in lines[1:]:
        if line == b"end":
            return bytes(data)
        try:
            data += binascii.a2b_uu(line)
        except binascii.Error:
            needed = (((line[0] - 32) & 63) * 4 + 5) // 3
            data += binascii.a2b_uu(line[:needed])
    raise ValueError("no end line")


def main(args):
    if not args or len(args) % 2:
        sys.exit(__doc__)
    for encoded, output in zip(args[0::2], args[1::2]):
        with open(encoded, "rb") as source:
            data = decode(source.read())
        with open(output, "wb") as target:
            target.write(data)


if __name__ == "__main__":
    main(sys.argv[1:])
