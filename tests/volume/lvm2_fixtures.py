#!/usr/bin/env python3
"""Hand-built LVM2 physical volumes for the reader tests, where LVM tools need a device.

  pv IMG OFFSET TEXTFILE [options]
      writes a physical volume at byte OFFSET of IMG (which must be large enough): label,
      physical-volume header, metadata-area header and the metadata text of TEXTFILE in the
      first location. Checksums are the LVM2 ones (CRC-32 from 0xf597a6cf, no final complement).

Options change one thing each so that a test can break one rule at a time.
"""
import argparse
import struct
import zlib

INITIAL = 0xf597a6cf
MAGIC = b' LVM2 x[5A%r0N*>'


def crc(data):
    return (~zlib.crc32(data, (~INITIAL) & 0xFFFFFFFF)) & 0xFFFFFFFF


def main():
    p = argparse.ArgumentParser()
    p.add_argument('cmd', choices=['pv'])
    p.add_argument('img')
    p.add_argument('offset', type=int)
    p.add_argument('text')
    p.add_argument('--id', default='fezAx7cV2MEksicPt29ieT3IAGnPUbAw')
    p.add_argument('--label-sector', type=int, default=1)
    p.add_argument('--sector-field', type=int, default=None)
    p.add_argument('--header-at', type=int, default=32)
    p.add_argument('--dev-size', type=int, default=100 << 20)
    p.add_argument('--data-areas', type=int, default=1)
    p.add_argument('--mdas', type=int, default=1)
    p.add_argument('--no-list-end', action='store_true')
    p.add_argument('--mda-offset', type=int, default=4096)
    p.add_argument('--mda-size', type=int, default=1044480)
    p.add_argument('--mda-start-field', type=int, default=None)
    p.add_argument('--mda-version', type=int, default=1)
    p.add_argument('--loc-offset', type=int, default=512)
    p.add_argument('--loc-size', type=int, default=None)
    p.add_argument('--loc-flags', type=int, default=0)
    p.add_argument('--break', dest='broken', choices=['label', 'mda', 'loc', 'magic'])
    a = p.parse_args()

    text = open(a.text, 'rb').read() + b'\0'
    loc_size = a.loc_size if a.loc_size is not None else len(text)

    label = bytearray(1024)  # room for lists that run past the sector; cut below
    label[0:8] = b'LABELONE'
    field = a.label_sector if a.sector_field is None else a.sector_field
    struct.pack_into('<QII', label, 8, field, 0, a.header_at)
    label[24:32] = b'LVM2 001'
    h = a.header_at
    label[h:h + 32] = a.id.encode()
    struct.pack_into('<Q', label, h + 32, a.dev_size)
    at = h + 40
    if a.no_list_end:
        while at + 16 <= 1024:
            struct.pack_into('<QQ', label, at, 1 << 20, 0)
            at += 16
    else:
        for i in range(a.data_areas):
            struct.pack_into('<QQ', label, at, (1 << 20) + i * 4096, 0)
            at += 16
        at += 16
        for i in range(a.mdas):
            struct.pack_into('<QQ', label, at, a.mda_offset + i * 8192, a.mda_size)
            at += 16
        at += 16
    label = label[:512]
    struct.pack_into('<I', label, 16, crc(bytes(label[20:512])))
    if a.broken == 'label':
        label[100] ^= 1

    mda = bytearray(512)
    mda[4:20] = MAGIC
    start = a.mda_offset if a.mda_start_field is None else a.mda_start_field
    struct.pack_into('<IQQ', mda, 20, a.mda_version, start, a.mda_size)
    struct.pack_into('<QQII', mda, 40, a.loc_offset, loc_size, crc(text[:loc_size].ljust(loc_size, b'\0')),
                     a.loc_flags)
    if a.broken == 'loc':
        struct.pack_into('<I', mda, 56, crc(text) ^ 1)
    if a.broken == 'magic':
        mda[5] = ord('X')
    struct.pack_into('<I', mda, 0, crc(bytes(mda[4:512])))
    if a.broken == 'mda':
        mda[300] ^= 1

    with open(a.img, 'r+b') as f:
        f.seek(a.offset + 512 * a.label_sector)
        f.write(label)
        f.seek(a.offset + a.mda_offset)
        f.write(mda)
        f.seek(a.offset + a.mda_offset + a.loc_offset)
        f.write(text)


if __name__ == '__main__':
    main()
