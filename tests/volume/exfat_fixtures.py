#!/usr/bin/env python3
"""Changes to exFAT volumes made by mkfs.exfat, for the driver tests (Debian has no offline
exFAT file writer).

  addfile IMG NAME SIZE SEED   stores SIZE random bytes as a contiguous file in the root
                               directory (allocation bitmap, entry set with checksums); prints
                               its first cluster and cluster count
  delete IMG NAME              frees the file's clusters and marks its entries unused
  fragment-bitmap IMG          moves every cluster of the allocation bitmap but the first to
                               free clusters far apart, linked through the FAT; prints them
"""
import random
import struct
import sys


class Volume:
    def __init__(self, path):
        self.path = path
        with open(path, 'rb') as f:
            self.img = bytearray(f.read())
        b = self.img
        self.bps = 1 << b[108]
        self.cluster = self.bps << b[109]
        self.fat_offset = struct.unpack_from('<I', b, 80)[0] * self.bps
        self.heap = struct.unpack_from('<I', b, 88)[0] * self.bps
        self.count = struct.unpack_from('<I', b, 92)[0]
        self.root = struct.unpack_from('<I', b, 96)[0]
        self.bitmap_entry = None
        root = self.off(self.root)
        for at in range(root, root + self.cluster, 32):
            if b[at] == 0x81:
                self.bitmap_entry = at
                break
        self.bitmap_first, self.bitmap_len = struct.unpack_from('<IQ', b, self.bitmap_entry + 20)

    def save(self):
        with open(self.path, 'wb') as f:
            f.write(self.img)

    def off(self, c):
        return self.heap + (c - 2) * self.cluster

    def fat(self, c):
        return struct.unpack_from('<I', self.img, self.fat_offset + 4 * c)[0]

    def set_fat(self, c, v):
        struct.pack_into('<I', self.img, self.fat_offset + 4 * c, v)

    def bitmap_clusters(self):
        out = [self.bitmap_first]
        need = (self.bitmap_len + self.cluster - 1) // self.cluster
        while len(out) < need:
            out.append(self.fat(out[-1]))
        return out

    def bit_at(self, n):
        # byte n // 8 of the bitmap data, along its chain
        cl = self.bitmap_clusters()
        byte = n // 8
        return self.off(cl[byte // self.cluster]) + byte % self.cluster

    def used(self, c):
        return (self.img[self.bit_at(c - 2)] >> ((c - 2) % 8)) & 1

    def set_used(self, c, v):
        at = self.bit_at(c - 2)
        if v:
            self.img[at] |= 1 << ((c - 2) % 8)
        else:
            self.img[at] &= ~(1 << ((c - 2) % 8)) & 0xFF

    def free_run(self, n, start=2):
        run = 0
        for c in range(start, self.count + 2):
            run = 0 if self.used(c) else run + 1
            if run == n:
                return c - n + 1
        sys.exit('no room')


def set_checksum(entries):
    chk = 0
    for i, byte in enumerate(entries):
        if i in (2, 3):
            continue
        chk = (((chk << 15) | (chk >> 1)) + byte) & 0xFFFF
    return chk


def name_hash(name):
    h = 0
    for ch in name.upper():
        for byte in struct.pack('<H', ord(ch)):
            h = (((h << 15) | (h >> 1)) + byte) & 0xFFFF
    return h


def addfile(v, name, size, seed):
    n = max(1, (size + v.cluster - 1) // v.cluster)
    first = v.free_run(n)
    data = random.Random(seed).randbytes(size)
    at = v.off(first)
    v.img[at:at + size] = data
    for c in range(first, first + n):
        v.set_used(c, 1)
    assert len(name) <= 15
    f = bytearray(32)
    f[0] = 0x85
    f[1] = 2
    struct.pack_into('<H', f, 4, 0x20)
    stamp = ((2024 - 1980) << 25) | (1 << 21) | (1 << 16)
    struct.pack_into('<III', f, 8, stamp, stamp, stamp)
    s = bytearray(32)
    s[0] = 0xC0
    s[1] = 0x03  # allocation possible, no FAT chain
    s[3] = len(name)
    struct.pack_into('<H', s, 4, name_hash(name))
    struct.pack_into('<Q', s, 8, size)
    struct.pack_into('<IQ', s, 20, first, size)
    nm = bytearray(32)
    nm[0] = 0xC1
    enc = name.encode('utf-16-le')
    nm[2:2 + len(enc)] = enc
    entries = f + s + nm
    struct.pack_into('<H', entries, 2, set_checksum(entries))
    root = v.off(v.root)
    for slot in range(root, root + v.cluster - 96, 32):
        if v.img[slot] == 0:
            v.img[slot:slot + 96] = entries
            break
    else:
        sys.exit('root directory full')
    print(first, n)


def delete(v, name):
    root = v.off(v.root)
    for slot in range(root, root + v.cluster - 96, 32):
        if v.img[slot] != 0x85:
            continue
        nm = v.img[slot + 66:slot + 66 + 2 * len(name)].decode('utf-16-le')
        if nm != name:
            continue
        first, size = struct.unpack_from('<IQ', v.img, slot + 52)
        n = max(1, (size + v.cluster - 1) // v.cluster)
        for c in range(first, first + n):
            v.set_used(c, 0)
        for k in range(3):
            v.img[slot + 32 * k] &= 0x7F
        print(first, n)
        return
    sys.exit('not found')


def fragment_bitmap(v):
    old = v.bitmap_clusters()
    if len(old) < 2:
        sys.exit('the bitmap fits one cluster')
    new = [old[0]]
    start = v.count // 2
    for c in old[1:]:
        target = v.free_run(1, start)
        v.img[v.off(target):v.off(target) + v.cluster] = v.img[v.off(c):v.off(c) + v.cluster]
        new.append(target)
        start = target + 7
    for i, c in enumerate(new):
        v.set_fat(c, new[i + 1] if i + 1 < len(new) else 0xFFFFFFFF)
    for c in old[1:]:
        v.set_fat(c, 0)
    # the bits live in the moved clusters now: mark the new ones used, the old ones free
    for c in old[1:]:
        v.set_used(c, 0)
    for c in new[1:]:
        v.set_used(c, 1)
    for c in old[1:]:
        v.img[v.off(c):v.off(c) + v.cluster] = bytes(v.cluster)
    print(' '.join(str(c) for c in new))


def main():
    cmd, path = sys.argv[1], sys.argv[2]
    v = Volume(path)
    if cmd == 'addfile':
        addfile(v, sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif cmd == 'delete':
        delete(v, sys.argv[3])
    elif cmd == 'fragment-bitmap':
        fragment_bitmap(v)
    else:
        sys.exit('unknown command')
    v.save()


if __name__ == '__main__':
    main()
