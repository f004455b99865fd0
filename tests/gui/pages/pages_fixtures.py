#!/usr/bin/env python3
"""Raw disks for the conversion-run tests: an MBR with one partition holding a real file system
whose free space is full of garbage.

usage: pages_fixtures.py ext|fat DISK_MIB OUT

The partition starts at sector 2048 and runs to the end of the disk. The file system is made by
mke2fs (ext4, files added with -d) or mkfs.fat (FAT16, files added with mcopy) and filled to
about a third; then every block the file system reports free (dumpe2fs's free block lists, the
FAT's free cluster entries) and the gap before the partition are filled with random bytes, so
that a writer that copies free space shows in its output size and a writer that loses used data
shows in fsck and in a content compare.
"""
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

PART_START = 2048


def run(args, env=None):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)


def fill_files(root, budget, rng):
    os.makedirs(os.path.join(root, "sub"), exist_ok=True)
    used, i = 0, 0
    while used < budget:
        size = min(rng.randint(4, 200) * 1024 + rng.randint(0, 4095), budget - used)
        folder = root if i % 2 else os.path.join(root, "sub")
        with open(os.path.join(folder, "f%03d.bin" % i), "wb") as f:
            f.write(rng.randbytes(size))
        used += size
        i += 1


def ext_free_ranges(image):
    out = subprocess.run(["dumpe2fs", image], check=True, capture_output=True, text=True).stdout
    block = int(re.search(r"^Block size:\s+(\d+)", out, re.M).group(1))
    ranges = []
    for m in re.finditer(r"^\s+Free blocks: (.*)$", out, re.M):
        for item in m.group(1).split(","):
            item = item.strip()
            if not item:
                continue
            a, _, b = item.partition("-")
            first, last = int(a), int(b or a)
            ranges.append((first * block, (last - first + 1) * block))
    return ranges


def fat_free_ranges(image):
    with open(image, "rb") as f:
        boot = f.read(512)
        bps, spc, reserved, nfats, root_entries, total16, _, fat_size = struct.unpack_from(
            "<HBHBHHBH", boot, 11)
        total = total16 or struct.unpack_from("<I", boot, 32)[0]
        f.seek(reserved * bps)
        fat = f.read(fat_size * bps)
    root_sectors = (root_entries * 32 + bps - 1) // bps
    data_start = reserved + nfats * fat_size + root_sectors
    clusters = (total - data_start) // spc
    ranges = []
    for c in range(2, clusters + 2):
        if struct.unpack_from("<H", fat, c * 2)[0] == 0:
            ranges.append(((data_start + (c - 2) * spc) * bps, spc * bps))
    return ranges


def main():
    kind, mib, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = random.Random(0x5EED + (1 if kind == "fat" else 0))
    disk_sectors = mib * 2048
    part_sectors = disk_sectors - PART_START
    work = tempfile.mkdtemp()
    try:
        volume = os.path.join(work, "volume")
        with open(volume, "wb") as f:
            f.truncate(part_sectors * 512)
        root = os.path.join(work, "root")
        fill_files(root, part_sectors * 512 // 3, rng)
        if kind == "ext":
            run(["mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", "-d", root, volume])
            ptype, ranges = 0x83, ext_free_ranges(volume)
        else:
            run(["mkfs.fat", "-F", "16", "-s", "4", volume])
            env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
            names = [os.path.join(root, n) for n in sorted(os.listdir(root))]
            run(["mcopy", "-s", "-i", volume] + names + ["::/"], env=env)
            ptype, ranges = 0x06, fat_free_ranges(volume)
        with open(volume, "r+b") as f:
            for offset, length in ranges:
                f.seek(offset)
                f.write(rng.randbytes(length))
        mbr = bytearray(rng.randbytes(446))
        mbr += struct.pack("<B3sB3sII", 0, b"\x00\x02\x00", ptype, b"\xfe\xff\xff",
                           PART_START, part_sectors)
        mbr += bytes(48) + b"\x55\xaa"
        with open(out, "wb") as f:
            f.write(mbr)
            f.write(rng.randbytes((PART_START - 1) * 512))
            with open(volume, "rb") as v:
                shutil.copyfileobj(v, f)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
