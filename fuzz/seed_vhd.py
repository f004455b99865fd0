#!/usr/bin/env python3
"""Writes a raw disk as a small dynamic VHD seed: 4096-byte blocks, only the blocks holding
data stored, creator "win " (the disk is sized by its current size).

usage: seed_vhd.py RAW OUT
"""
import struct
import sys

BLOCK = 4096


def checksum(b):
    return (~sum(b)) & 0xFFFFFFFF


def footer(size):
    f = bytearray(512)
    struct.pack_into(">8sIIQI4sI4sQQHBBI", f, 0, b"conectix", 2, 0x00010000, 512, 0, b"win ",
                     0x000A0000, b"Wi2k", size, size, 1024, 16, 63, 3)
    f[68:84] = bytes(range(1, 17))
    struct.pack_into(">I", f, 64, checksum(f))
    return bytes(f)


def main():
    raw = open(sys.argv[1], "rb").read()
    raw += bytes(-len(raw) % BLOCK)
    entries = len(raw) // BLOCK
    table_bytes = (entries * 4 + 511) // 512 * 512
    header = bytearray(1024)
    struct.pack_into(">8sQQIII", header, 0, b"cxsparse", 0xFFFFFFFFFFFFFFFF, 1536, 0x00010000,
                     entries, BLOCK)
    struct.pack_into(">I", header, 36, checksum(header))
    bat = [0xFFFFFFFF] * entries
    blocks = bytearray()
    pos = (1536 + table_bytes) // 512
    for i in range(entries):
        data = raw[i * BLOCK:(i + 1) * BLOCK]
        if not any(data):
            continue
        bat[i] = pos
        blocks += b"\xff" + bytes(511) + data
        pos += 1 + BLOCK // 512
    table = b"".join(struct.pack(">I", e) for e in bat)
    table += b"\xff" * (table_bytes - len(table))
    foot = footer(len(raw))
    open(sys.argv[2], "wb").write(foot + bytes(header) + table + bytes(blocks) + foot)


main()
