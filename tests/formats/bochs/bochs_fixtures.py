#!/usr/bin/env python3
"""Builds small Bochs redolog and sparse images with python struct.

usage: bochs_fixtures.py redolog JSON | sparse JSON
redolog members: path, subtype ("Growing"/"Undoable"), version (0x20000), catalog, bitmap,
extent (bytes), disk (bytes), layout (1 or 2: where the disk size goes; default by version),
extents: {"index": [fill, [sector numbers whose bit is set]]}, type ("Redolog").
sparse members: path, version, page_size, pages, disk (v2), pages_data: {"index": fill}.
"""
import json
import struct
import sys


def redolog(s):
    catalog, bitmap, extent = s["catalog"], s["bitmap"], s["extent"]
    version = s.get("version", 0x20000)
    layout = s.get("layout", 2 if version == 0x20000 else 1)
    h = bytearray(512)
    h[0:22] = b"Bochs Virtual HD Image"
    t = s.get("type", "Redolog").encode()
    h[32:32 + len(t)] = t
    st = s.get("subtype", "Growing").encode()
    h[48:48 + len(st)] = st
    struct.pack_into("<IIIII", h, 64, version, 512, catalog, bitmap, extent)
    if layout == 2:
        struct.pack_into("<IQ", h, 84, 0x12345678, s["disk"])
    else:
        struct.pack_into("<Q", h, 84, s["disk"])
    entries = [0xFFFFFFFF] * catalog
    bsec = (bitmap + 511) // 512
    esec = (extent + 511) // 512
    blocks = bytearray()
    for n, idx in enumerate(sorted(s.get("extents", {}), key=int)):
        fill, sectors = s["extents"][idx]
        entries[int(idx)] = n
        bm = bytearray(bsec * 512)
        for sec in sectors:
            bm[sec // 8] |= 1 << (sec % 8)
        blocks += bm + bytes([fill]) * (esec * 512)
    out = h + b"".join(struct.pack("<I", e) for e in entries) + blocks
    open(s["path"], "wb").write(out)


def sparse(s):
    page, pages, version = s["page_size"], s["pages"], s.get("version", 2)
    h = bytearray(256)
    struct.pack_into("<IIII", h, 0, 0x02468ACE, version, page, pages)
    if version == 2:
        struct.pack_into("<Q", h, 16, s["disk"])
    entries = [0xFFFFFFFF] * pages
    data = bytearray()
    for n, idx in enumerate(sorted(s.get("pages_data", {}), key=int)):
        entries[int(idx)] = n
        data += bytes([s["pages_data"][idx]]) * page
    table = b"".join(struct.pack("<I", e) for e in entries)
    start = (256 + 4 * pages + page - 1) // page * page
    out = h + table
    out += bytes(start - len(out))
    open(s["path"], "wb").write(out + data)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("redolog", "sparse"):
        sys.exit(__doc__)
    {"redolog": redolog, "sparse": sparse}[sys.argv[1]](json.loads(sys.argv[2]))
