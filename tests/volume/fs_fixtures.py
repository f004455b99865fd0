#!/usr/bin/env python3
"""Hand-built FAT volumes for the file-system driver tests.

  fat OUT [options]            a FAT12/16/32 or Human68k volume with an exact cluster count
  fat32-addfile IMG NAME SIZE SEED
                               stores a file of SIZE random bytes in the root directory of a
                               FAT32 volume made by mkfs.fat (whatever its cluster count), in
                               both tables, and prints the clusters it took, one per line

Volumes are written sparsely: only the boot sector, the tables and the used clusters' first
bytes are written.
"""
import argparse
import random
import struct
import sys


def ceil_div(a, b):
    return (a + b - 1) // b


def entry_bytes(bits, entries):
    if bits == 12:
        return (entries * 3 + 1) // 2
    return entries * bits // 8


def set_entry(table, bits, k, value, big_endian=False):
    if bits == 12:
        at = k * 3 // 2
        cur = struct.unpack_from('<H', table, at)[0]
        if k & 1:
            cur = (cur & 0x000F) | ((value & 0xFFF) << 4)
        else:
            cur = (cur & 0xF000) | (value & 0xFFF)
        struct.pack_into('<H', table, at, cur)
    elif bits == 16:
        struct.pack_into('>H' if big_endian else '<H', table, k * 2, value & 0xFFFF)
    else:
        struct.pack_into('<I', table, k * 4, value & 0xFFFFFFFF)


def build_fat(a):
    bps, spc, bits = a.bps, a.spc, a.bits
    root_sectors = ceil_div(a.root * 32, bps)
    spf = a.spf if a.spf else ceil_div(entry_bytes(bits, a.clusters + 2), bps)
    meta = a.reserved + a.fats * spf + root_sectors
    total = meta + a.clusters * spc + a.extra
    spf16 = 0 if bits == 32 and not a.spf16_nonzero else spf

    table = bytearray(spf * bps)
    eoc = {12: 0xFFF, 16: 0xFFFF, 32: 0x0FFFFFFF}[bits]
    be16 = a.human68k and bits == 16
    set_entry(table, bits, 0, (0xFFFFF00 | 0xF8) if bits == 32 else (eoc & ~0xFF) | 0xF8, be16)
    set_entry(table, bits, 1, eoc if a.entry1 is None else a.entry1, be16)
    used = [int(x) for x in a.used.split(',')] if a.used else []
    for c in used:
        set_entry(table, bits, c, eoc, be16)

    boot = bytearray(max(bps, 512))
    if a.human68k:
        boot[0:2] = b'\x60\x3c'
        boot[2:14] = b'SHARP/KG    '
        t16 = total if total < 0x10000 else 0
        t32 = 0 if t16 else total
        if spf > 255:
            sys.exit('Human68k tables hold at most 255 sectors')
        struct.pack_into('>HBBHHHBBI', boot, 18, bps, spc, a.fats, a.reserved, a.root, t16,
                         0xF8, spf, t32)
    else:
        boot[0:3] = b'\xeb\x3c\x90'
        boot[3:11] = b'HANDMADE'
        t16 = total if total < 0x10000 and bits != 32 else 0
        t32 = 0 if t16 else total
        struct.pack_into('<HBHBHHBHHHII', boot, 11, bps, spc, a.reserved, a.fats, a.root, t16,
                         a.media, spf16, 32, 2, 0, t32)
        if bits == 32:
            struct.pack_into('<IHHI', boot, 36, spf, 0, 0, 2)
        boot[510:512] = b'\x55\xaa'

    data_start = meta * bps
    with open(a.out, 'wb') as f:
        f.truncate(total * bps)
        f.write(boot)
        for i in range(a.fats):
            f.seek((a.reserved + i * spf) * bps)
            t = table
            if a.diff_copy and i == 1:
                t = bytearray(table)
                t[6] ^= 0x01  # inside the entries of the first clusters
            f.write(t)
        for c in used:
            f.seek(data_start + (c - 2) * spc * bps)
            f.write(b'used cluster %d' % c)


def fat32_addfile(a):
    with open(a.img, 'r+b') as f:
        bs = f.read(512)
        bps, spc, reserved, fats = struct.unpack_from('<HBHB', bs, 11)
        spf16 = struct.unpack_from('<H', bs, 22)[0]
        total = struct.unpack_from('<H', bs, 19)[0] or struct.unpack_from('<I', bs, 32)[0]
        spf = struct.unpack_from('<I', bs, 36)[0]
        root_cluster = struct.unpack_from('<I', bs, 44)[0]
        fsinfo = struct.unpack_from('<H', bs, 48)[0]
        if spf16 != 0:
            sys.exit('not FAT32 by its parameter block')
        cluster_bytes = bps * spc
        data_start = (reserved + fats * spf) * bps
        clusters = (total - reserved - fats * spf) // spc
        f.seek(reserved * bps)
        table = bytearray(f.read(spf * bps))
        need = max(1, ceil_div(a.size, cluster_bytes))
        chain = []
        k = 2
        while len(chain) < need:
            if k >= clusters + 2:
                sys.exit('volume full')
            if struct.unpack_from('<I', table, k * 4)[0] & 0x0FFFFFFF == 0:
                chain.append(k)
            k += 1
        for i, c in enumerate(chain):
            nxt = chain[i + 1] if i + 1 < len(chain) else 0x0FFFFFFF
            struct.pack_into('<I', table, c * 4, nxt)
        for i in range(fats):
            f.seek((reserved + i * spf) * bps)
            f.write(table)
        rnd = random.Random(a.seed)
        content = bytes(rnd.getrandbits(8) for _ in range(a.size))
        for i, c in enumerate(chain):
            f.seek(data_start + (c - 2) * cluster_bytes)
            f.write(content[i * cluster_bytes:(i + 1) * cluster_bytes])
        # Directory entry in the first free slot of the root directory's first cluster.
        root_at = data_start + (root_cluster - 2) * cluster_bytes
        f.seek(root_at)
        root = f.read(cluster_bytes)
        slot = next(i for i in range(0, cluster_bytes, 32) if root[i] in (0, 0xE5))
        name, _, ext = a.name.upper().partition('.')
        entry = struct.pack('<8s3sBBBHHHHHHHI', name.ljust(8).encode(), ext.ljust(3).encode(),
                            0x20, 0, 0, 0, 0x21, 0x21, chain[0] >> 16, 0, 0x21, chain[0] & 0xFFFF,
                            a.size)
        f.seek(root_at + slot)
        f.write(entry)
        # Keep the free-cluster summary right.
        f.seek(fsinfo * bps + 488)
        free_count = struct.unpack('<I', f.read(4))[0]
        if free_count != 0xFFFFFFFF:
            f.seek(fsinfo * bps + 488)
            f.write(struct.pack('<II', free_count - len(chain), chain[-1] + 1))
    for c in chain:
        print(c)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest='cmd', required=True)
    f = sub.add_parser('fat')
    f.add_argument('out')
    f.add_argument('--bps', type=int, default=512)
    f.add_argument('--spc', type=int, default=1)
    f.add_argument('--reserved', type=int, default=1)
    f.add_argument('--fats', type=int, default=2)
    f.add_argument('--root', type=int, default=16)
    f.add_argument('--clusters', type=int, required=True)
    f.add_argument('--bits', type=int, choices=(12, 16, 32), required=True)
    f.add_argument('--spf', type=int, default=0, help='sectors per FAT (default: just enough)')
    f.add_argument('--spf16-nonzero', action='store_true',
                   help='FAT32 entries, but the size also in the 16-bit field')
    f.add_argument('--media', type=lambda s: int(s, 0), default=0xF8)
    f.add_argument('--extra', type=int, default=0, help='sectors after the last cluster')
    f.add_argument('--used', default='', help='comma-separated cluster numbers (from 2)')
    f.add_argument('--entry1', type=lambda s: int(s, 0), default=None,
                   help='table entry 1 (default: end of chain, all flags set)')
    f.add_argument('--human68k', action='store_true')
    f.add_argument('--diff-copy', action='store_true', help='second table differs in a byte')
    f.set_defaults(run=build_fat)
    g = sub.add_parser('fat32-addfile')
    g.add_argument('img')
    g.add_argument('name')
    g.add_argument('size', type=int)
    g.add_argument('seed', type=int)
    g.set_defaults(run=fat32_addfile)
    a = p.parse_args()
    a.run(a)


if __name__ == '__main__':
    main()
