#!/usr/bin/env python3
"""VHDX fixtures that qemu-img cannot make, patches of qemu-made files, and a libvhdi reader.

Usage:
  vhdx_fixtures.py build SPEC_JSON            build a VHDX file (see below)
  vhdx_fixtures.py dirty-log FILE             give the current header a log GUID (CRC kept valid)
  vhdx_fixtures.py damage-region FILE         spoil the first region table's checksum
  vhdx_fixtures.py set-header FILE FIELD VAL  store a header field in both headers (CRC fixed)
  vhdx_fixtures.py set-metadata FILE GUIDNAME HEXBYTES  overwrite a metadata item's value
  vhdx_fixtures.py layout FILE                print the region table as JSON
  vhdx_fixtures.py libvhdi OUT CHILD [PARENT ...]  read a chain with pyvhdi into OUT

SPEC keys:
  path         output file
  size         virtual size in bytes
  block        block size in bytes (default 1 MiB)
  lss          logical sector size (default 512)
  parent       {"relative": text, "absolute": text, "file": parent path for the linkage}
               makes a differencing file
  blocks       [{index, state (6, 7, 2, 0), seed, sectors: [[first, count], ...] for state 7}]
  expect       file to receive the expected content (needs parent_raw for a differencing file)
  parent_raw   the parent's content (raw)
  extra_regions  [{"offset": o, "length": l}] of unknown regions (data pseudo-random)
"""
import json
import os
import random
import struct
import sys
import uuid

MIB = 1 << 20


def crc32c(data, crc=0):
    table = crc32c.table
    if table is None:
        table = []
        for i in range(256):
            c = i
            for _ in range(8):
                c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
            table.append(c)
        crc32c.table = table
    crc ^= 0xFFFFFFFF
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


crc32c.table = None


def with_crc(buf):
    buf = bytearray(buf)
    buf[4:8] = b"\0\0\0\0"
    buf[4:8] = struct.pack("<I", crc32c(bytes(buf)))
    return buf


def guid(text):
    return uuid.UUID(text).bytes_le


BAT = guid("2DC27766-F623-4200-9D64-115E9BFD4A08")
META = guid("8B7CA206-4790-4B9A-B8FE-575F050F886E")
ITEMS = {
    "file_parameters": guid("CAA16737-FA36-4D43-B3B6-33F0AA44E76B"),
    "virtual_size": guid("2FA54224-CD1B-4876-B211-5DBED83BF4B8"),
    "disk_id": guid("BECA12AB-B2E6-4523-93EF-C309E000C746"),
    "logical_sector": guid("8141BF1D-A96F-4709-BA47-F233A8FAAB5F"),
    "physical_sector": guid("CDA348C7-445D-4471-9CC9-E9885251C556"),
    "parent_locator": guid("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C"),
}
LOCATOR_TYPE = guid("B04AEFB7-D19E-4A81-B789-25B8E9445913")


def header(seq):
    h = bytearray(4096)
    h[0:4] = b"head"
    struct.pack_into("<Q", h, 8, seq)
    h[16:32] = os.urandom(16)
    h[32:48] = os.urandom(16)
    struct.pack_into("<HHIQ", h, 64, 0, 1, MIB, MIB)
    return with_crc(h)


def locator(parent):
    entries = []
    if parent.get("relative") is not None:
        entries.append(("relative_path", parent["relative"]))
    if parent.get("absolute") is not None:
        entries.append(("absolute_win32_path", parent["absolute"]))
    linkage = uuid.uuid4()
    if parent.get("file"):
        # The parent's data write GUID, as libvhdi checks it.
        first = read_first(parent["file"])
        at = current_header(first)
        linkage = uuid.UUID(bytes_le=bytes(first[at + 32:at + 48]))
    entries.append(("parent_linkage", "{%s}" % str(linkage)))
    head = bytearray(20)
    head[0:16] = LOCATOR_TYPE
    struct.pack_into("<HH", head, 16, 0, len(entries))
    table = bytearray()
    data = bytearray()
    base = 20 + 12 * len(entries)
    for key, value in entries:
        k = key.encode("utf-16-le")
        v = value.encode("utf-16-le")
        ko = base + len(data)
        data += k
        vo = base + len(data)
        data += v
        table += struct.pack("<IIHH", ko, vo, len(k), len(v))
    return bytes(head + table + data)


def build(spec):
    size = spec["size"]
    block = spec.get("block", MIB)
    lss = spec.get("lss", 512)
    parent = spec.get("parent")
    chunk = (1 << 23) * lss // block
    d = -(-size // block)
    if parent:
        entries = (chunk + 1) * (-(-d // chunk))
    else:
        entries = d + (d - 1) // chunk
    bat_len = -(-(entries * 8) // MIB) * MIB
    meta_off, bat_off = 2 * MIB, 3 * MIB
    pos = bat_off + bat_len
    extra = spec.get("extra_regions", [])

    items = [
        ("file_parameters", struct.pack("<II", block, 2 if parent else 0), 4),
        ("virtual_size", struct.pack("<Q", size), 6),
        ("logical_sector", struct.pack("<I", lss), 6),
        ("physical_sector", struct.pack("<I", 4096), 6),
        ("disk_id", os.urandom(16), 6),
    ]
    if parent:
        items.append(("parent_locator", locator(parent), 6))
    meta = bytearray(MIB)
    meta[0:8] = b"metadata"
    struct.pack_into("<H", meta, 10, len(items))
    off = 65536
    for i, (name, value, flags) in enumerate(items):
        e = 32 + 32 * i
        meta[e:e + 16] = ITEMS[name]
        struct.pack_into("<III", meta, e + 16, off, len(value), flags)
        meta[off:off + len(value)] = value
        off += -(-len(value) // 8) * 8

    bat = [0] * entries
    payload = []  # (offset, bytes)
    bitmaps = {}
    expect = None
    if spec.get("expect"):
        if parent:
            with open(spec["parent_raw"], "rb") as f:
                expect = bytearray(f.read()[:size])
            expect += bytes(size - len(expect))
        else:
            expect = bytearray(size)
    for b in spec.get("blocks", []):
        idx = b["index"]
        state = b["state"]
        at = idx + idx // chunk
        if state in (6, 7):
            rnd = random.Random(b.get("seed", idx + 1))
            data = bytearray(rnd.getrandbits(8) for _ in range(block)) if block <= 4 * MIB else \
                bytearray(os.urandom(block))
            bat[at] = pos | state
            payload.append((pos, bytes(data)))
            start = idx * block
            end = min(start + block, size)
            if state == 6:
                if expect is not None:
                    expect[start:end] = data[:end - start]
            else:
                k = idx // chunk
                bm = bitmaps.setdefault(k, bytearray(MIB))
                bits_per_block = block // lss
                base = (idx % chunk) * bits_per_block
                for first, count in b["sectors"]:
                    for s in range(first, first + count):
                        bm[(base + s) // 8] |= 1 << ((base + s) % 8)
                        if expect is not None:
                            o = start + s * lss
                            if o < size:
                                expect[o:o + lss] = data[s * lss:(s + 1) * lss]
            pos += block
        else:
            bat[at] = state
            if expect is not None and (state != 0 or not parent):
                start = idx * block
                expect[start:min(start + block, size)] = bytes(min(block, size - start))
    for k, bm in sorted(bitmaps.items()):
        if k * (chunk + 1) + chunk >= len(bat):
            bat += [0] * (k * (chunk + 1) + chunk + 1 - len(bat))
        bat[k * (chunk + 1) + chunk] = pos | 6
        payload.append((pos, bytes(bm)))
        pos += MIB
    for r in extra:
        r["data"] = os.urandom(r["length"])

    first = bytearray(MIB)
    first[0:8] = b"vhdxfile"
    first[8:8 + 14] = "fixture".encode("utf-16-le")
    first[65536:65536 + 4096] = header(1)
    first[131072:131072 + 4096] = header(2)
    regi = bytearray(65536)
    regi[0:4] = b"regi"
    regions = [(BAT, bat_off, bat_len), (META, meta_off, MIB)]
    for r in extra:
        regions.append((os.urandom(16), r["offset"], r["length"]))
    struct.pack_into("<I", regi, 8, len(regions))
    for i, (g, o, l) in enumerate(regions):
        regi[16 + 32 * i:16 + 32 * i + 16] = g
        struct.pack_into("<QII", regi, 16 + 32 * i + 16, o, l, 1 if g in (BAT, META) else 0)
    regi = with_crc(regi)
    first[196608:196608 + 65536] = regi
    first[262144:262144 + 65536] = regi
    with open(spec["path"], "wb") as f:
        f.write(first)
        f.write(bytes(MIB))
        f.write(meta)
        f.write(b"".join(struct.pack("<Q", e) for e in bat) + bytes(bat_len - 8 * entries))
        for o, data in payload:
            f.seek(o)
            f.write(data)
        for r in extra:
            f.seek(r["offset"])
            f.write(r["data"])
        end = max([pos] + [r["offset"] + r["length"] for r in extra])
        f.truncate(-(-end // MIB) * MIB)
    if expect is not None:
        with open(spec["expect"], "wb") as f:
            f.write(expect)


def read_first(path):
    with open(path, "rb") as f:
        return bytearray(f.read(MIB))


def write_first(path, first):
    with open(path, "r+b") as f:
        f.write(first)


def current_header(first):
    s1 = struct.unpack_from("<Q", first, 65536 + 8)[0]
    s2 = struct.unpack_from("<Q", first, 131072 + 8)[0]
    return 65536 if s1 > s2 else 131072


def dirty_log(path):
    first = read_first(path)
    at = current_header(first)
    h = first[at:at + 4096]
    h[48:64] = os.urandom(16)
    first[at:at + 4096] = with_crc(h)
    write_first(path, first)


def damage_region(path):
    first = read_first(path)
    first[196608 + 20] ^= 0xFF
    write_first(path, first)


def set_header(path, field, value):
    fields = {"version": ("<H", 66), "sequence": ("<Q", 8), "log_offset": ("<Q", 72),
              "log_length": ("<I", 68)}
    fmt, off = fields[field]
    first = read_first(path)
    for at in (65536, 131072):
        h = first[at:at + 4096]
        struct.pack_into(fmt, h, off, int(value, 0))
        first[at:at + 4096] = with_crc(h)
    write_first(path, first)


def layout(path):
    first = read_first(path)
    out = {}
    for name, at in (("table1", 196608), ("table2", 262144)):
        t = first[at:at + 65536]
        ok = t[0:4] == b"regi" and struct.unpack_from("<I", t, 4)[0] == crc32c(bytes(t[0:4] + b"\0\0\0\0" + t[8:]))
        regions = {}
        for i in range(struct.unpack_from("<I", t, 8)[0]):
            e = t[16 + 32 * i:48 + 32 * i]
            g = bytes(e[0:16])
            name2 = "bat" if g == BAT else "metadata" if g == META else str(uuid.UUID(bytes_le=g))
            regions[name2] = list(struct.unpack_from("<QI", e, 16))
        out[name] = {"crc_ok": bool(ok), "regions": regions}
    at = current_header(first)
    out["log_offset"] = struct.unpack_from("<Q", first, at + 72)[0]
    print(json.dumps(out))


def set_metadata(path, name, hexbytes):
    first = read_first(path)
    t = first[196608:196608 + 65536]
    meta_off = None
    for i in range(struct.unpack_from("<I", t, 8)[0]):
        e = t[16 + 32 * i:48 + 32 * i]
        if bytes(e[0:16]) == META:
            meta_off = struct.unpack_from("<Q", e, 16)[0]
    with open(path, "r+b") as f:
        f.seek(meta_off)
        table = f.read(65536)
        count = struct.unpack_from("<H", table, 10)[0]
        for i in range(count):
            e = table[32 + 32 * i:64 + 32 * i]
            if e[0:16] == ITEMS[name]:
                off = struct.unpack_from("<I", e, 16)[0]
                f.seek(meta_off + off)
                f.write(bytes.fromhex(hexbytes))
                return
    raise SystemExit("item not found")


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


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "build":
        specs = json.loads(sys.argv[2])
        for one in specs if isinstance(specs, list) else [specs]:
            build(one)
    elif cmd == "dirty-log":
        dirty_log(sys.argv[2])
    elif cmd == "damage-region":
        damage_region(sys.argv[2])
    elif cmd == "set-header":
        set_header(sys.argv[2], sys.argv[3], sys.argv[4])
    elif cmd == "set-metadata":
        set_metadata(sys.argv[2], sys.argv[3], sys.argv[4])
    elif cmd == "layout":
        layout(sys.argv[2])
    elif cmd == "libvhdi":
        read_with_libvhdi(sys.argv[2], sys.argv[3:])
    else:
        raise SystemExit("unknown command")
