#!/usr/bin/env python3
"""Writes one small image of each fixed-header kind into OUTDIR for the probing tests.

  probe_fixtures.py OUTDIR

For every image NAME.KIND it also writes NAME.data, the disk's sectors as the image should
present them (for the PC98E image only its first MiB). The layouts are written here from the
format descriptions, independently of the code under test.
"""
import os
import struct
import sys


def pattern(length, seed):
    return bytes(((i * 31 + seed * 17 + (i >> 9)) & 0xFF) for i in range(length))


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def hdi(cyl, heads, spt, bps, data):
    header = struct.pack("<8I", 0, 0, 4096, len(data), bps, spt, heads, cyl)
    return header + bytes(4096 - len(header)) + data


def thd(cyl, data):
    return struct.pack("<I", cyl) + bytes(252) + data


def nhd(cyl, heads, spt, bps, data):
    header = b"T98HDDIMAGE.R0\0\0" + bytes(256) + struct.pack("<IIHHH", 512, cyl, heads, spt, bps)
    return header + bytes(512 - len(header)) + data


def vhd100(cyl, heads, spt, bps, data):
    total = cyl * heads * spt
    header = b"VHD1.00\0" + bytes(132) + struct.pack(
        "<HHBBHI", (total * bps // 1048576) & 0xFFFF, bps, spt, heads, cyl, total)
    return header + bytes(220 - len(header)) + data


def hdim(cyl, heads, spt, bps, data):
    header = b"HDIM" + struct.pack("<QIIII", len(data), bps, cyl, heads, spt)
    header += b"20240102-030405-000\0"
    return header + bytes(512 - len(header)) + data


def main():
    out = sys.argv[1]
    cyl, heads, spt, bps = 3, 4, 17, 512
    data = pattern(cyl * heads * spt * bps, 1)
    images = {
        "img.hdi": (hdi(cyl, heads, spt, bps, data), data),
        "img.thd": (thd(2, pattern(2 * 67584, 2)), pattern(2 * 67584, 2)),
        "img.nhd": (nhd(cyl, heads, spt, bps, data), data),
        "img.vhd100": (vhd100(cyl, heads, spt, bps, data), data),
        "img.hdim": (hdim(cyl, heads, spt, 256, pattern(cyl * heads * spt * 256, 3)),
                     pattern(cyl * heads * spt * 256, 3)),
        "img.unz": (pattern(1048576, 4), pattern(1048576, 4)),
    }
    for name, (image, sectors) in images.items():
        write(os.path.join(out, name), image)
        write(os.path.join(out, name + ".data"), sectors)

    # PC98E: exactly 0x4200000 bytes, data at the start, zeros after sector 128000.
    head = pattern(1048576, 5)
    path = os.path.join(out, "img.pc98e")
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(0x4200000)
    write(path + ".data", head)

    # An NDI image: 1024 header bytes, then 40 sectors of 256 bytes.
    ndi = pattern(40 * 256, 6)
    write(os.path.join(out, "img.ndiimage"), pattern(1024, 7) + ndi)
    write(os.path.join(out, "img.ndiimage.data"), ndi)
    write(os.path.join(out, "img.ndi"), b"NDI 1024 40 2 20 256")


if __name__ == "__main__":
    main()
