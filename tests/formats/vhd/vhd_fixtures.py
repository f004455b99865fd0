#!/usr/bin/env python3
"""Builds small dynamic and differencing VHD files with python struct, independently of the code
under test, and writes the disk content a correct reader must see.

usage: vhd_fixtures.py build SPEC_JSON      (one spec or a list of them)
       vhd_fixtures.py inspect VHD          (prints the layout as JSON)
       vhd_fixtures.py libvhdi OUT CHILD [PARENT ...]   (reads a chain with pyvhdi)

SPEC keys (all optional except path and sectors):
  path             output file
  sectors          total sectors the disk must read as (the expected content's length)
  disk_type        3 dynamic (default) or 4 differencing
  creator          four characters (default "vpc ")
  creator_version  default 0x00050000
  chs              [cylinders, heads, sectors per track] (default: sectors/1/1, or 65535/16/255
                   for 65536 sectors and more)
  current_size     bytes (default sectors x 512)
  block_size       bytes (default 4096)
  header_offset    default 512
  table_offset     default 1536
  max_entries      default ceil(sectors x 512 / block_size)
  locators         list of {slot, code, text, encoding ("utf-16-le" / "shift_jis"), space,
                   length, reserved, space_field} whose data follow the table in order
                   (length, reserved and space_field override the stored fields)
  parent_name      text stored as UTF-16 big-endian
  unique_id        hex (default: derived from the file name)
  parent_id        hex (default: derived from parent_name, so it matches a parent built here)
  gap_sectors      zero sectors between the metadata and the first block
  pad_sectors      zero sectors after every block
  blocks           list of {index, sectors: "all" | [sector, ...], zero: [sector, ...], seed}
                   a stored block whose listed sectors have their bitmap bit set and hold
                   pseudo-random data (sectors in "zero" are set but hold zeros; sectors with
                   a clear bit hold zeros too unless "dirty" is true)
  bat_override     [[index, value], ...] stored in the table as given
  footer_511       drop the last byte of the file
  footer_checksum_zero   store 0 as the footer checksum
  header_fields    {field: value} stored after the layout is built (checksum recomputed unless
                   header_checksum is given)
  header_checksum  a raw value for the header checksum
  footer_fields    {field: value} likewise for both footer copies
  parent_raw       file holding the parent disk's content (for the expected content)
  expect           file to receive the expected content
"""
import hashlib
import json
import os
import random
import struct
import sys

FOOTER_FIELDS = {
    "features": (8, ">I"), "version": (12, ">I"), "data_offset": (16, ">Q"),
    "timestamp": (24, ">I"), "creator": (28, "4s"), "creator_version": (32, ">I"),
    "original_size": (40, ">Q"), "current_size": (48, ">Q"), "cylinders": (56, ">H"),
    "heads": (58, ">B"), "spt": (59, ">B"), "disk_type": (60, ">I"), "checksum": (64, ">I"),
    "reserved": (100, ">B"),
}
HEADER_FIELDS = {
    "data_offset": (8, ">Q"), "table_offset": (16, ">Q"), "version": (24, ">I"),
    "max_entries": (28, ">I"), "block_size": (32, ">I"), "checksum": (36, ">I"),
    "reserved1": (60, ">I"), "cookie": (0, "8s"), "reserved2": (800, ">B"),
}


def checksum(data):
    return (~sum(data)) & 0xFFFFFFFF


def put(buf, fields, name, value):
    off, fmt = fields[name]
    if fmt.endswith("s"):
        value = value.encode("latin-1") if isinstance(value, str) else bytes(value)
    struct.pack_into(fmt, buf, off, value)


def spec_id(given, name):
    """A unique id: given as hex, or derived from a file name (so that a child naming its parent
    by file name also carries the parent's id)."""
    if given:
        return bytes.fromhex(given)
    return hashlib.md5(name.encode("utf-8")).digest()


def block_data(seed, index, size):
    rnd = random.Random(seed * 1000003 + index)
    return bytearray(rnd.randbytes(size))


def build(spec):
    sectors = spec["sectors"]
    disk_type = spec.get("disk_type", 3)
    block_size = spec.get("block_size", 4096)
    bs_sectors = max(block_size // 512, 1)
    header_offset = spec.get("header_offset", 512)
    table_offset = spec.get("table_offset", 1536)
    max_entries = spec.get("max_entries", -(-sectors // bs_sectors))
    bitmap_bytes = -(-(-(-bs_sectors // 8)) // 512) * 512
    table_len = -(-(max_entries * 4) // 512) * 512
    current = spec.get("current_size", sectors * 512)
    chs = spec.get("chs")
    if chs is None:
        # A CHS whose product is the total (one head, one sector per track when nothing else fits).
        chs = [sectors, 1, 1] if sectors < 65536 else [65535, 16, 255]

    out = bytearray()

    def reserve(end):
        if len(out) < end:
            out.extend(bytes(end - len(out)))

    # Table and locator data after it.
    pos = table_offset + table_len
    reserve(pos)
    locs = []
    for loc in spec.get("locators", []):
        data = loc["text"].encode(loc.get("encoding", "utf-16-le"))
        space = loc.get("space", -(-len(data) // 512) * 512)
        reserve(pos + space)
        out[pos:pos + len(data)] = data
        locs.append((loc["slot"], loc["code"], loc.get("space_field", space),
                     loc.get("length", len(data)), loc.get("reserved", 0), pos))
        pos += space
    pos = -(-pos // 512) * 512 + 512 * spec.get("gap_sectors", 0)
    reserve(pos)

    # Blocks.
    bat = [0xFFFFFFFF] * max_entries
    # The expected content only when asked for (a disk of terabytes is built without it).
    expected = bytearray(sectors * 512) if spec.get("expect") else None
    parent_raw = spec.get("parent_raw")
    if parent_raw and expected is not None:
        with open(parent_raw, "rb") as f:
            pdata = f.read()[: sectors * 512]
        expected[: len(pdata)] = pdata
    for blk in spec.get("blocks", []):
        index = blk["index"]
        bat[index] = pos // 512
        data = block_data(blk.get("seed", 1), index, block_size)
        bitmap = bytearray(bitmap_bytes)
        listed = range(bs_sectors) if blk.get("sectors", "all") == "all" else set(blk["sectors"])
        zero = set(blk.get("zero", []))
        # Sectors whose bit is clear hold zeros unless the block is "dirty", so that readers
        # that ignore the bitmap of a dynamic disk see the same disk.
        for s in range(bs_sectors):
            if s in zero or (s not in listed and not blk.get("dirty")):
                data[s * 512:(s + 1) * 512] = bytes(512)
        for s in listed:
            bitmap[s // 8] |= 0x80 >> (s % 8)
            disk_sector = index * bs_sectors + s
            if disk_sector < sectors and expected is not None:
                expected[disk_sector * 512:(disk_sector + 1) * 512] = data[s * 512:(s + 1) * 512]
        reserve(pos + bitmap_bytes + block_size)
        out[pos:pos + bitmap_bytes] = bitmap
        out[pos + bitmap_bytes:pos + bitmap_bytes + block_size] = data
        pos += bitmap_bytes + block_size + 512 * spec.get("pad_sectors", 0)
        reserve(pos)
    for index, value in spec.get("bat_override", []):
        bat[index] = value
    for i, entry in enumerate(bat):
        struct.pack_into(">I", out, table_offset + 4 * i, entry)

    # Header.
    header = bytearray(1024)
    header[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", header, 8, 0xFFFFFFFFFFFFFFFF, table_offset, 0x10000, max_entries,
                     block_size)
    if disk_type == 4:
        header[40:56] = spec_id(spec.get("parent_id"), spec.get("parent_name", ""))
        name = spec.get("parent_name", "").encode("utf-16-be")[:512]
        header[64:64 + len(name)] = name
        for slot, code, space, length, reserved, offset in locs:
            struct.pack_into(">4sIIIQ", header, 576 + 24 * slot, code.encode("latin-1"), space,
                             length, reserved, offset)
    for name, value in spec.get("header_fields", {}).items():
        put(header, HEADER_FIELDS, name, value)
    struct.pack_into(">I", header, 36, 0)
    struct.pack_into(">I", header, 36, spec.get("header_checksum", checksum(header)))
    reserve(header_offset + 1024)
    out[header_offset:header_offset + 1024] = header

    # Footer, at 0 and at the end.
    footer = bytearray(512)
    footer[0:8] = b"conectix"
    struct.pack_into(">IIQI", footer, 8, 2, 0x10000, header_offset, 0)
    footer[28:32] = spec.get("creator", "vpc ").encode("latin-1")
    struct.pack_into(">I4sQQHBBI", footer, 32, spec.get("creator_version", 0x50000), b"Wi2k",
                     current, current, chs[0], chs[1], chs[2], disk_type)
    footer[68:84] = spec_id(spec.get("unique_id"), os.path.basename(spec["path"]))
    for name, value in spec.get("footer_fields", {}).items():
        put(footer, FOOTER_FIELDS, name, value)
    struct.pack_into(">I", footer, 64, 0)
    if not spec.get("footer_checksum_zero"):
        struct.pack_into(">I", footer, 64, checksum(footer))
    out[0:512] = footer
    out += footer
    if spec.get("footer_511"):
        out = out[:-1]

    with open(spec["path"], "wb") as f:
        f.write(out)
    if spec.get("expect"):
        with open(spec["expect"], "wb") as f:
            f.write(expected)


def inspect(path):
    with open(path, "rb") as f:
        data = f.read()
    flen = 512 if len(data) % 512 == 0 else 511
    foot = data[-flen:] + bytes(512 - flen)
    hoff = struct.unpack_from(">Q", foot, 16)[0]
    head = data[hoff:hoff + 1024]
    table_offset, _, max_entries, block_size = struct.unpack_from(">QIII", head, 16)
    bat = list(struct.unpack_from(">%dI" % max_entries, data, table_offset))
    bs_sectors = block_size // 512
    bitmap_bytes = -(-(-(-bs_sectors // 8)) // 512) * 512
    bitmaps = {}
    for i, e in enumerate(bat):
        if e != 0xFFFFFFFF:
            bitmaps[i] = data[e * 512:e * 512 + bitmap_bytes].hex()
    locators = []
    for slot in range(8):
        code, space, length, res, off = struct.unpack_from(">4sIIIQ", head, 576 + 24 * slot)
        if code != b"\0\0\0\0":
            locators.append({"slot": slot, "code": code.decode("latin-1"), "space": space,
                             "length": length, "offset": off,
                             "data": data[off:off + length].hex()})
    fsum = struct.unpack_from(">I", foot, 64)[0]
    fcheck = bytearray(foot[:flen])
    struct.pack_into(">I", fcheck, 64, 0)
    hcheck = bytearray(head)
    struct.pack_into(">I", hcheck, 36, 0)
    cyl, heads, spt = struct.unpack_from(">HBB", foot, 56)
    print(json.dumps({
        "size": len(data), "footer_length": flen, "footer_copy_equal": data[:flen] == foot[:flen],
        "footer_checksum_ok": fsum == checksum(fcheck),
        "header_checksum_ok": struct.unpack_from(">I", head, 36)[0] == checksum(hcheck),
        "creator": foot[28:32].decode("latin-1"), "creator_version": struct.unpack_from(">I", foot, 32)[0],
        "current_size": struct.unpack_from(">Q", foot, 48)[0], "chs": [cyl, heads, spt],
        "disk_type": struct.unpack_from(">I", foot, 60)[0], "data_offset": hoff,
        "unique_id": foot[68:84].hex(), "parent_id": head[40:56].hex(),
        "parent_timestamp": struct.unpack_from(">I", head, 56)[0],
        "parent_name": head[64:576].decode("utf-16-be").split("\0")[0],
        "table_offset": table_offset, "max_entries": max_entries, "block_size": block_size,
        "bat": bat, "bitmaps": bitmaps, "locators": locators,
    }))


def read_with_libvhdi(out, chain):
    import pyvhdi
    files = []
    for path in chain:
        f = pyvhdi.file()
        f.open(path)
        files.append(f)
    for child, parent in zip(files, files[1:]):
        child.set_parent(parent)
    top = files[0]
    with open(out, "wb") as o:
        remaining = top.get_media_size()
        offset = 0
        while remaining:
            n = min(remaining, 1 << 20)
            o.write(top.read_buffer_at_offset(n, offset))
            offset += n
            remaining -= n
    print(json.dumps({"media_size": top.get_media_size(),
                      "parent_filename": files[0].get_parent_filename()}))


if __name__ == "__main__":
    if sys.argv[1] == "build":
        specs = json.loads(sys.argv[2])
        for one in specs if isinstance(specs, list) else [specs]:
            build(one)
    elif sys.argv[1] == "inspect":
        inspect(sys.argv[2])
    elif sys.argv[1] == "libvhdi":
        read_with_libvhdi(sys.argv[2], sys.argv[3:])
