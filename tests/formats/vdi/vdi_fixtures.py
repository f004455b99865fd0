#!/usr/bin/env python3
"""Builds small VDI files with python struct, for the cases that no tool here writes:
differencing images, odd header sizes, hostile block sizes and map entries.

usage: vdi_fixtures.py build JSON
JSON members: path, disk_size (bytes), block_size (default 1 MiB), blocks (default: enough),
type (1, 2 or 4), header_size (400), blocks_data: {"index": [fill byte, ...]} where each stored
block is filled with the byte (the block's entry is its order of appearance), absent: {"index":
entry} for explicit absent entries (0xFFFFFFFE), map_offset (512), data_offset (after the map),
extra (block extra size), tail (bytes appended after the data), entries: {"index": raw entry}
overriding map entries, allocated (overrides the allocated count), signature and version
(override the header's), truncate (keeps only that many bytes of the file).
"""
import json
import struct
import sys


def build(spec):
    block_size = spec.get("block_size", 1 << 20)
    disk_size = spec["disk_size"]
    blocks = spec.get("blocks", (disk_size + block_size - 1) // block_size if block_size else 0)
    map_offset = spec.get("map_offset", 512)
    data_offset = spec.get("data_offset", (map_offset + 4 * blocks + 511) // 512 * 512)
    extra = spec.get("extra", 0)
    entries = [0xFFFFFFFF] * blocks
    data = bytearray()
    stored = spec.get("blocks_data", {})
    for n, idx in enumerate(sorted(stored, key=int)):
        entries[int(idx)] = n
        fill = stored[idx]
        data += bytes(extra) + bytes([fill]) * block_size
    for idx, value in spec.get("absent", {}).items():
        entries[int(idx)] = value
    for idx, value in spec.get("entries", {}).items():
        entries[int(idx)] = value
    allocated = spec.get("allocated", len(stored))
    hdr = bytearray(472)
    banner = b"<<< Oracle VM VirtualBox Disk Image >>>\n"
    hdr[0:len(banner)] = banner
    struct.pack_into("<IIII", hdr, 64, spec.get("signature", 0xBEDA107F),
                     spec.get("version", 0x00010001), spec.get("header_size", 400),
                     spec.get("type", 1))
    struct.pack_into("<II", hdr, 340, map_offset, data_offset)
    struct.pack_into("<IIII", hdr, 348, 0, 0, 0, 512)
    struct.pack_into("<QIIII", hdr, 368, disk_size, block_size, extra, blocks, allocated)
    hdr[392:408] = bytes(range(1, 17))
    if spec.get("type", 1) == 4:
        hdr[424:440] = bytes(range(17, 33))
    struct.pack_into("<IIII", hdr, 456, 1024, 255, 63, 512)
    out = bytearray(max(data_offset, map_offset + 4 * blocks, 472))
    for i, e in enumerate(entries):
        struct.pack_into("<I", out, map_offset + 4 * i, e)
    out[0:472] = hdr
    del out[max(data_offset, 472):]
    out += data
    out += bytes(spec.get("tail", 0))
    if "truncate" in spec:
        del out[spec["truncate"]:]
    with open(spec["path"], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "build":
        sys.exit(__doc__)
    build(json.loads(sys.argv[2]))
