#!/usr/bin/env python3
"""Test oracle for the encoding conversion tests: converts records with python3's codecs.

Usage: encoding_oracle.py JOBFILE
Each line of JOBFILE is "FROM TO INPUT OUTPUT": every record of INPUT is decoded strictly
from codec FROM and encoded strictly into codec TO, and the results are written to OUTPUT.
Record files are sequences of [u32 little-endian length][bytes]; a record that fails is
written with the length 0xFFFFFFFF and no bytes.
"""
import struct
import sys

FAILED = 0xFFFFFFFF


def read_records(path):
    with open(path, "rb") as f:
        data = f.read()
    pos = 0
    while pos < len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        pos += 4
        yield data[pos:pos + n]
        pos += n


def run(source, target, src, dst):
    out = bytearray()
    for rec in read_records(src):
        try:
            res = rec.decode(source).encode(target)
        except (UnicodeDecodeError, UnicodeEncodeError):
            out += struct.pack("<I", FAILED)
            continue
        out += struct.pack("<I", len(res)) + res
    with open(dst, "wb") as f:
        f.write(out)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if parts:
                run(*parts)


if __name__ == "__main__":
    main()
