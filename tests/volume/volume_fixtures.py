#!/usr/bin/env python3
"""Builds small disk images with hand-made partition tables and boot sectors.

Usage: volume_fixtures.py OUT.img 'JSON'

The JSON object describes the image:
  "size":  image size in bytes (the file is sparse)
  "bps":   bytes per sector used for every "sector" and "lba" value (default 512)
  "mbr":   list of MBR/EBR sectors {"sector": s, "records": [[type, first, count], ...],
           "sig": true|false}; records fill slots 0.. in order (missing slots stay zero)
  "gpt":   {"lba": 1, "signature": "EFI PART", "revision": 0x10000, "header_size": 92,
            "my_lba": 1, "array_lba": 2, "entries": 128, "entry_size": 128,
            "parts": [{"index": i, "type": "linux"|"lvm"|"zero"|hex, "first": a, "last": b}]}
  "pc98":  {"mark": [b254, b255] or null, "records": [{"index": i, "start": c, "end": c,
            "fill": byte}]}  (table in the disk's second sector, "fill" for the 28 other bytes)
  "human68k": list of {"at": byte offset, "sig": text, "bps", "spc", "nfats", "reserved",
            "root", "total16", "media", "spf", "total32"}  (big-endian fields)
  "writes": list of {"at": byte offset, "hex": bytes} written last
  "extend_to": final (sparse) file size in bytes, at least "size"
"""
import json
import struct
import sys
import uuid

GUID_LINUX = uuid.UUID("0FC63DAF-8483-4772-8E79-3D69D8477DE4").bytes_le
GUID_LVM = uuid.UUID("E6D6D379-F507-44C2-A23C-238F2A3DF928").bytes_le


class SparseImage:
    """An image of a given size whose written pieces are kept apart (the rest stays a hole)."""

    def __init__(self, size):
        self.size = size
        self.pieces = []

    def __len__(self):
        return self.size

    def save(self, path):
        with open(path, "wb") as f:
            f.truncate(self.size)
            for at, data in self.pieces:
                f.seek(at)
                f.write(data)


def put(img, at, data):
    if at < 0 or at + len(data) > len(img):
        raise SystemExit("write past the image end at %d" % at)
    img.pieces.append((at, bytes(data)))


def mbr_sector(spec):
    sector = bytearray(512)
    for i, rec in enumerate(spec.get("records", [])):
        rtype, first, count = rec
        struct.pack_into("<BBHBBHII", sector, 446 + 16 * i, 0, 0, 0, rtype, 0, 0, first, count)
    if spec.get("sig", True):
        sector[510] = 0x55
        sector[511] = 0xAA
    return bytes(sector)


def gpt(img, bps, spec):
    header = bytearray(512)
    header[0:8] = spec.get("signature", "EFI PART").encode("ascii")
    struct.pack_into("<IIIIQQQQ16sQIII", header, 8,
                     spec.get("revision", 0x10000), spec.get("header_size", 92), 0, 0,
                     spec.get("my_lba", 1), 0, 34, 0, uuid.uuid4().bytes,
                     spec.get("array_lba", 2), spec.get("entries", 128),
                     spec.get("entry_size", 128), 0)
    put(img, spec.get("lba", 1) * bps, header)
    base = spec.get("array_lba", 2) * bps
    for part in spec.get("parts", []):
        entry = bytearray(128)
        ptype = part.get("type", "linux")
        if ptype == "linux":
            tbytes = GUID_LINUX
        elif ptype == "lvm":
            tbytes = GUID_LVM
        elif ptype == "zero":
            tbytes = bytes(16)
        else:
            tbytes = bytes.fromhex(ptype)
        entry[0:16] = tbytes
        entry[16:32] = uuid.uuid4().bytes
        struct.pack_into("<QQ", entry, 32, part["first"], part["last"])
        put(img, base + part["index"] * 128, entry)


def pc98(img, bps, spec):
    mark = spec.get("mark")
    if mark is not None:
        put(img, 254, bytes(mark))
    table = bytearray(256)
    for rec in spec.get("records", []):
        raw = bytearray([rec.get("fill", 0x11)] * 32)
        struct.pack_into("<H", raw, 10, rec["start"])
        struct.pack_into("<H", raw, 14, rec["end"])
        table[rec["index"] * 32:rec["index"] * 32 + 32] = raw
    put(img, bps, table)


def human68k(img, spec):
    sector = bytearray(34)
    sector[0] = 0x60  # a 68000 branch
    sig = spec.get("sig", "SHARP/KG    ").encode("latin-1")
    sector[2:2 + len(sig)] = sig
    struct.pack_into(">HBBHHHBBI", sector, 18, spec.get("bps", 1024), spec.get("spc", 1),
                     spec.get("nfats", 1), spec.get("reserved", 1), spec.get("root", 512),
                     spec.get("total16", 0), spec.get("media", 0xF8), spec.get("spf", 1),
                     spec.get("total32", 0))
    put(img, spec["at"], sector)


def main():
    out, spec = sys.argv[1], json.loads(sys.argv[2])
    bps = spec.get("bps", 512)
    img = SparseImage(max(spec["size"], spec.get("extend_to", 0)))
    for s in spec.get("mbr", []):
        put(img, s["sector"] * bps, mbr_sector(s))
    if "gpt" in spec:
        gpt(img, bps, spec["gpt"])
    if "pc98" in spec:
        pc98(img, bps, spec["pc98"])
    for h in spec.get("human68k", []):
        human68k(img, h)
    for w in spec.get("writes", []):
        put(img, w["at"], bytes.fromhex(w["hex"]))
    img.save(out)


if __name__ == "__main__":
    main()
