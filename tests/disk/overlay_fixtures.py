#!/usr/bin/env python3
"""Builds "NVT " overlay fixtures and an independent model of what they must read.

usage: overlay_fixtures.py model|big|longname|hostile|chains DIR

The model keeps the base as a dict of written patches over zeros and the overlay as a dict of
64 KiB blocks; expected bytes come from those dicts, never from parsing the tables written.
Every fixture directory gets a cases.txt the test walks line by line:
    read <overlay> <offset> <length> <expected-file>
    empty <overlay> <first-sector> <count> <0|1>
    open <overlay> <expected-result> [reason]
    readfail <overlay> <offset> <length> <expected-result> [reason]
where the reason, when given, is the refusal recorded by the check that refused.
"""
import os
import random
import struct
import sys

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
TIB = 1024 * GIB
BLOCK = 64 * KIB
SECTOR = 512


def write_overlay(path, name, blocks, raw=None, second_word=0, size=None, l1_override=None,
                  l2_override=None, l3_override=None):
    """Writes an overlay. blocks: {byte offset (64 KiB aligned): 64 KiB of data}.
    raw: None for a probed base, else (data offset, total sectors, heads, sectors, bps).
    *_override: {(indices...): entry} patched into the tables after layout."""
    name = name.encode() if isinstance(name, str) else name
    assert len(name) <= 512
    l1 = [0] * 256
    l2 = {}  # l1 index -> list
    l3 = {}  # (l1, l2) -> list
    for off in sorted(blocks):
        assert off % BLOCK == 0
        i1, i2, i3 = off >> 32, (off >> 24) & 255, (off >> 16) & 255
        l2.setdefault(i1, [0] * 256)
        l3.setdefault((i1, i2), [0] * 256)
    # Layout: header 2048 bytes, then the level-2 tables, the level-3 tables, the data blocks.
    pos = 2048
    l2_pos = {}
    for i1 in sorted(l2):
        l2_pos[i1] = pos
        l1[i1] = pos // 512
        pos += 1024
    l3_pos = {}
    for key in sorted(l3):
        l3_pos[key] = pos
        l2[key[0]][key[1]] = pos // 512
        pos += 1024
    data_pos = {}
    for off in sorted(blocks):
        i1, i2, i3 = off >> 32, (off >> 24) & 255, (off >> 16) & 255
        data_pos[off] = pos
        l3[(i1, i2)][i3] = pos // 512
        pos += BLOCK
    for k, v in (l1_override or {}).items():
        l1[k] = v
    for (i1, i2), v in (l2_override or {}).items():
        l2[i1][i2] = v
    for (i1, i2, i3), v in (l3_override or {}).items():
        l3[(i1, i2)][i3] = v

    header = bytearray(2048)
    header[0:4] = b"NVT "
    struct.pack_into("<I", header, 4, second_word)
    if raw is not None:
        offset, total, heads, spt, bps = raw
        struct.pack_into("<IIIIQIII", header, 8, 1, 0, offset, 0, total, heads, spt, bps)
    header[512:512 + len(name)] = name
    struct.pack_into("<256I", header, 1024, *l1)
    with open(path, "wb") as f:
        f.write(header)
        for i1 in sorted(l2):
            f.seek(l2_pos[i1])
            f.write(struct.pack("<256I", *l2[i1]))
        for key in sorted(l3):
            f.seek(l3_pos[key])
            f.write(struct.pack("<256I", *l3[key]))
        for off in sorted(blocks):
            f.seek(data_pos[off])
            f.write(blocks[off])
        f.truncate(pos if size is None else size)


class Model:
    def __init__(self, base_size):
        self.base_size = base_size
        self.patches = {}  # offset -> bytes (non-overlapping)
        self.blocks = {}

    def base_read(self, off, length):
        out = bytearray(length)
        for p, data in self.patches.items():
            lo, hi = max(off, p), min(off + length, p + len(data))
            if lo < hi:
                out[lo - off:hi - off] = data[lo - p:hi - p]
        return bytes(out)

    def read(self, off, length):
        out = bytearray()
        pos, end = off, off + length
        while pos < end:
            blk = pos - pos % BLOCK
            n = min(end, blk + BLOCK) - pos
            if blk in self.blocks:
                out += self.blocks[blk][pos - blk:pos - blk + n]
            else:
                out += self.base_read(pos, n)
            pos += n
        return bytes(out)

    def write_base(self, path):
        with open(path, "wb") as f:
            for p, data in self.patches.items():
                f.seek(p)
                f.write(data)
            f.truncate(self.base_size)


class Cases:
    def __init__(self, directory):
        self.dir = directory
        self.lines = []
        self.n = 0

    def read(self, overlay, model, off, length):
        name = "expect%d.bin" % self.n
        self.n += 1
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(model.read(off, length))
        self.lines.append("read %s %d %d %s" % (overlay, off, length, name))

    def empty(self, overlay, first, count, expected):
        self.lines.append("empty %s %d %d %d" % (overlay, first, count, expected))

    def open(self, overlay, expected, reason=""):
        self.lines.append(("open %s %d %s" % (overlay, expected, reason)).rstrip())

    def save(self):
        with open(os.path.join(self.dir, "cases.txt"), "w") as f:
            f.write("\n".join(self.lines) + "\n")


def rnd(seed, n):
    return random.Random(seed).randbytes(n)


def build_model(d):
    base_size = 8 * GIB + MIB
    m = Model(base_size)
    # Random base data around every boundary the tables have.
    m.patches[0] = rnd(99, 512 * KIB)
    for i, p in enumerate([16 * MIB - 128 * KIB, 32 * MIB - 128 * KIB, 0x5000000 - 64 * KIB,
                           4 * GIB - 128 * KIB, 0x105000000 - 64 * KIB, 8 * GIB - 64 * KIB]):
        m.patches[p] = rnd(100 + i, 256 * KIB)
    # Overlay blocks: around 64 KiB (0 and 2 stored, 1 from the base), a zero block over random
    # base data (3), around 16 MiB and 4 GiB, and two level-3 tables with the same level-2
    # index under different level-1 entries.
    blocks = {
        0: rnd(1, BLOCK),
        2 * BLOCK: rnd(2, BLOCK),
        3 * BLOCK: bytes(BLOCK),
        16 * MIB - BLOCK: rnd(3, BLOCK),
        16 * MIB: rnd(4, BLOCK),
        32 * MIB - BLOCK: rnd(5, BLOCK),
        0x5000000: rnd(6, BLOCK),
        4 * GIB - BLOCK: rnd(7, BLOCK),
        4 * GIB: rnd(8, BLOCK),
        0x105000000: rnd(9, BLOCK),
    }
    m.blocks = blocks
    m.write_base(os.path.join(d, "base.img"))
    total = base_size // SECTOR
    with open(os.path.join(d, "base.ndi"), "w") as f:
        f.write("NDI 0 %d 16 63 512" % total)
    write_overlay(os.path.join(d, "probe.nvt"), "base.img", blocks)
    write_overlay(os.path.join(d, "raw.nvt"), "base.img", blocks, raw=(0, total, 16, 63, 512))
    write_overlay(os.path.join(d, "zero.nvt"), "base.img", {}, raw=(0, total, 16, 63, 512))

    c = Cases(d)
    reads = [
        (0, 512), (BLOCK - 100, 200), (BLOCK - 16, 2 * BLOCK + 32), (0, 4 * BLOCK),
        (16 * MIB - 1000, 2000), (16 * MIB - BLOCK - 7, 2 * BLOCK + 14),
        (32 * MIB - 100, 200), (32 * MIB - 2 * BLOCK, 3 * BLOCK),
        (4 * GIB - 5000, 10000), (4 * GIB - BLOCK - 1, 2 * BLOCK + 2),
        (4 * GIB - 3 * MIB, 6 * MIB),
        # Same level-2 index under level-1 entries 0 and 1, alternately.
        (0x5000000, 4096), (0x105000000, 4096), (0x5000000 + 100, 4096), (0x105000000 + 7, 999),
        (8 * GIB - 70000, 70000 + MIB),  # level-1 entry 0 up to the base's last byte
    ]
    for overlay in ("probe.nvt", "raw.nvt"):
        for off, length in reads:
            c.read(overlay, m, off, length)
        c.empty(overlay, 0, 128, 0)
        c.empty(overlay, 3 * BLOCK // SECTOR, 128, 1)       # zero block over random base
        c.empty(overlay, 3 * BLOCK // SECTOR, 129, 0)       # ... and one sector of the base
        c.empty(overlay, 6 * GIB // SECTOR, 8192, 1)        # base zeros, no overlay
        c.empty(overlay, (4 * GIB - 1 * MIB) // SECTOR, 8192, 0)
    plain = Model(base_size)
    plain.patches = m.patches
    for off, length in reads:
        c.read("zero.nvt", plain, off, length)
    c.empty("zero.nvt", 3 * BLOCK // SECTOR, 128, 0)
    c.save()


def build_big(d):
    # A base above 1 TiB: what lies past the 256-entry level-1 table comes from the base.
    base_size = TIB + MIB
    m = Model(base_size)
    m.patches[TIB - 256 * KIB] = rnd(20, 512 * KIB)
    m.blocks = {TIB - BLOCK: rnd(21, BLOCK), TIB - 4 * BLOCK: rnd(22, BLOCK)}
    m.write_base(os.path.join(d, "big.img"))
    total = base_size // SECTOR
    write_overlay(os.path.join(d, "big.nvt"), "big.img", m.blocks, raw=(0, total, 255, 63, 512))
    c = Cases(d)
    c.read("big.nvt", m, TIB - 70000, 140000)
    c.read("big.nvt", m, TIB + 4096, 8192)
    c.read("big.nvt", m, TIB - 5 * BLOCK, 5 * BLOCK + 100 * KIB)
    c.empty("big.nvt", (TIB + 256 * KIB) // SECTOR, 1024, 1)
    c.empty("big.nvt", TIB // SECTOR, 128, 0)
    c.save()


def build_longname(d):
    # A name that fills its 512 bytes without a NUL; the level-1 table right behind it starts
    # with a non-zero entry.
    parts = ["a" * 250, "b" * 250]
    leaf = "c" * (512 - sum(len(p) + 1 for p in parts))
    name = "/".join(parts + [leaf])
    assert len(name) == 512
    os.makedirs(os.path.join(d, *parts))
    m = Model(MIB)
    m.patches[0] = rnd(30, MIB)
    m.blocks = {BLOCK: rnd(31, BLOCK)}
    m.write_base(os.path.join(d, name))
    write_overlay(os.path.join(d, "long.nvt"), name, m.blocks, raw=(0, MIB // SECTOR, 16, 63, 512))
    c = Cases(d)
    c.read("long.nvt", m, 0, MIB)
    c.save()


def build_hostile(d):
    total = MIB // SECTOR
    m = Model(MIB)
    m.patches[0] = rnd(40, MIB)
    m.write_base(os.path.join(d, "base.img"))
    with open(os.path.join(d, "base.ndi"), "w") as f:
        f.write("NDI 0 %d 16 63 512" % total)
    raw = (0, total, 16, 63, 512)
    blk = {0: rnd(41, BLOCK)}
    c = Cases(d)

    write_overlay(os.path.join(d, "short.nvt"), "base.img", {}, raw=raw, size=2047)
    c.open("short.nvt", -206, "overlay file: shorter than its header and table")
    write_overlay(os.path.join(d, "word.nvt"), "base.img", {}, raw=raw, second_word=1)
    c.open("word.nvt", -206, "overlay header: unknown version")
    write_overlay(os.path.join(d, "exact.nvt"), "base.img", {}, raw=raw, size=2048)
    c.open("exact.nvt", 0)
    write_overlay(os.path.join(d, "noname.nvt"), "", {}, raw=raw)
    c.open("noname.nvt", -206, "overlay header: no base name")
    write_overlay(os.path.join(d, "nobase.nvt"), "missing.img", {}, raw=raw)
    c.open("nobase.nvt", -201)
    write_overlay(os.path.join(d, "rawbps0.nvt"), "base.img", {}, raw=(0, total, 16, 63, 0))
    c.open("rawbps0.nvt", -206, "overlay header: raw base geometry out of range")
    # Table entries pointing outside the overlay file: answered on read.
    table_out = "overlay table: table lies past the end of the file"
    cases = [
        ("l1out.nvt", dict(l1_override={0: 100000}), table_out),
        ("l2out.nvt", dict(l2_override={(0, 0): 100000}), table_out),
        ("l3out.nvt", dict(l3_override={(0, 0, 0): 100000}),
         "overlay table: block lies past the end of the file"),
    ]
    for name, kw, reason in cases:
        write_overlay(os.path.join(d, name), "base.img", blk, raw=raw, **kw)
        c.open(name, 0)
        c.lines.append("readfail %s 0 512 -206 %s" % (name, reason))
    # A data block whose 64 KiB pass the end of the file by one byte.
    write_overlay(os.path.join(d, "blkcut.nvt"), "base.img", blk, raw=raw,
                  size=2048 + 2 * 1024 + BLOCK - 1)
    c.open("blkcut.nvt", 0)
    c.lines.append("readfail blkcut.nvt 0 512 -206 overlay table: block lies past the end of the file")
    # A table lying partly past the end of the file.
    write_overlay(os.path.join(d, "tblcut.nvt"), "base.img", blk, raw=raw, size=2048 + 1023)
    c.open("tblcut.nvt", 0)
    c.lines.append("readfail tblcut.nvt 0 512 -206 %s" % table_out)
    # Ranges outside the base.
    c.lines.append("readfail exact.nvt %d 1 -207" % MIB)
    c.lines.append("readfail exact.nvt %d 513 -207" % (MIB - 512))
    c.save()


def build_chains(d):
    # Overlays over overlays: itself, a loop of two, and a chain that ends in a real base.
    total = MIB // SECTOR
    m = Model(MIB)
    m.patches[0] = rnd(50, MIB)
    m.write_base(os.path.join(d, "base.img"))
    with open(os.path.join(d, "base.ndi"), "w") as f:
        f.write("NDI 0 %d 16 63 512" % total)
    c = Cases(d)
    write_overlay(os.path.join(d, "self.nvt"), "self.nvt", {})
    nested = "overlay header: base is itself an overlay"
    c.open("self.nvt", -206, nested)
    write_overlay(os.path.join(d, "loopa.nvt"), "loopb.nvt", {})
    write_overlay(os.path.join(d, "loopb.nvt"), "loopa.nvt", {})
    c.open("loopa.nvt", -206, nested)
    c.open("loopb.nvt", -206, nested)
    write_overlay(os.path.join(d, "upper.nvt"), "lower.nvt", {})
    write_overlay(os.path.join(d, "lower.nvt"), "base.img", {})
    c.open("upper.nvt", -206, nested)
    c.open("lower.nvt", 0)
    c.read("lower.nvt", m, 0, MIB)
    # The same chain with a raw-flag upper: the lower overlay is then only bytes of a raw base.
    write_overlay(os.path.join(d, "rawover.nvt"), "lower.nvt", {}, raw=(0, 4, 1, 4, 512))
    c.open("rawover.nvt", 0)
    # A small overlay with stored blocks (one of them zeros) for a whole-disk conversion.
    m.blocks = {0: rnd(51, BLOCK), 5 * BLOCK: bytes(BLOCK), 15 * BLOCK: rnd(52, BLOCK)}
    write_overlay(os.path.join(d, "conv.nvt"), "base.img", m.blocks, raw=(0, total, 16, 63, 512))
    c.read("conv.nvt", m, 0, MIB)
    c.save()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    what, d = sys.argv[1], sys.argv[2]
    os.makedirs(d, exist_ok=True)
    {"model": build_model, "big": build_big, "longname": build_longname,
     "hostile": build_hostile, "chains": build_chains}[what](d)


if __name__ == "__main__":
    main()
