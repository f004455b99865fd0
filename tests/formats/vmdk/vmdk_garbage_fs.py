#!/usr/bin/env python3
"""Disk fixtures with garbage in the free space of a real file system.

usage: vmdk_garbage_fs.py ext|fat DISK_SECTORS DIRTY CLEAN

Both outputs are raw disks of DISK_SECTORS 512-byte sectors: an MBR with one partition at
sector 2048 holding a file system made by mke2fs (ext4, files added with -d) or mkfs.fat (FAT16,
files added with mcopy), filled to about 40 %, and a tail after the partition holding data.
CLEAN has the free space as the tools left it (zeros); DIRTY has random garbage written into
every free block, as the tools themselves report them: dumpe2fs's free block lists for ext, the
FAT's free cluster entries for FAT.
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
TAIL = 100


def run(args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def fill_files(root, budget, rng):
    """Files of random data (some with zero stretches) adding up to about `budget` bytes."""
    os.makedirs(os.path.join(root, "sub"), exist_ok=True)
    used, i = 0, 0
    while used < budget:
        size = min(rng.randint(1, 300) * 1024 + rng.randint(0, 4095), budget - used)
        data = bytearray(rng.randbytes(size))
        if i % 4 == 1 and size > 8192:
            data[4096:8192] = bytes(4096)
        folder = root if i % 2 else os.path.join(root, "sub")
        with open(os.path.join(folder, "f%03d.bin" % i), "wb") as f:
            f.write(data)
        used += size
        i += 1


def ext_volume(image, sectors, work, rng):
    with open(image, "wb") as f:
        f.truncate(sectors * 512)
    root = os.path.join(work, "root")
    fill_files(root, sectors * 512 * 2 // 5, rng)
    run(["mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", "-d", root, image])
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
    return 0x83, ranges


def fat_volume(image, sectors, work, rng):
    with open(image, "wb") as f:
        f.truncate(sectors * 512)
    run(["mkfs.fat", "-F", "16", "-s", "4", image])
    root = os.path.join(work, "root")
    fill_files(root, sectors * 512 * 2 // 5, rng)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mcopy", "-s", "-i", image] + [os.path.join(root, n) for n in sorted(os.listdir(root))] + ["::/"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    with open(image, "rb") as f:
        boot = f.read(512)
        bps, spc, reserved, nfats, root_entries, total16, _, fat_size = struct.unpack_from("<HBHBHHBH", boot, 11)
        total = total16 or struct.unpack_from("<I", boot, 32)[0]
        f.seek(reserved * bps)
        fat = f.read(fat_size * bps)
    data_start = (reserved + nfats * fat_size) * bps + root_entries * 32
    clusters = (total * bps - data_start) // (spc * bps)
    ranges = []
    for n in range(2, clusters + 2):
        if struct.unpack_from("<H", fat, 2 * n)[0] == 0:
            ranges.append((data_start + (n - 2) * spc * bps, spc * bps))
    return 0x06, ranges


def main():
    kind, disk_sectors, dirty, clean = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    rng = random.Random(disk_sectors * 7 + len(kind))
    fs_sectors = (disk_sectors - PART_START - TAIL) // 8 * 8
    work = tempfile.mkdtemp()
    try:
        image = os.path.join(work, "fs.img")
        ptype, free = (ext_volume if kind == "ext" else fat_volume)(image, fs_sectors, work, rng)
        with open(image, "rb") as f:
            fs = f.read()
        mbr = bytearray(512)
        struct.pack_into("<B3sB3sII", mbr, 446, 0, b"\xfe\xff\xff", ptype, b"\xfe\xff\xff", PART_START, fs_sectors)
        mbr[510:512] = b"\x55\xaa"
        tail_at = (PART_START + fs_sectors) * 512
        with open(clean, "wb") as f:
            f.truncate(disk_sectors * 512)
            f.write(mbr)
            f.seek(PART_START * 512)
            f.write(fs)
            f.seek(tail_at)
            f.write(rng.randbytes(disk_sectors * 512 - tail_at))
        shutil.copyfile(clean, dirty)
        with open(dirty, "r+b") as f:
            for offset, length in free:
                f.seek(PART_START * 512 + offset)
                f.write(rng.randbytes(length))
        print("free ranges %d, free bytes %d" % (len(free), sum(length for _, length in free)))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
