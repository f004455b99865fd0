#!/usr/bin/python3
"""Reads a VMDK image through libvmdk (pyvmdk) and compares it with a raw file.

usage: vmdk_libvmdk_compare.py IMAGE RAW

Every sector is read in reads of 1 MiB and of 37 sectors, which cross extent and grain
boundaries at every phase, and the first 1024 sectors also one by one. Exit status 0 when both agree with the raw file (sectors past the raw
file's end must read as zeros), 1 with the first differing sector on stdout, 2 when libvmdk
cannot open the image.
"""
import sys

import pyvmdk


def main():
    image_path, raw_path = sys.argv[1], sys.argv[2]
    with open(raw_path, "rb") as f:
        raw = f.read()
    handle = pyvmdk.handle()
    try:
        handle.open(image_path)
        handle.open_extent_data_files()
    except Exception as error:  # pylint: disable=broad-except
        print("libvmdk cannot open the image: %s" % error)
        return 2
    size = handle.get_media_size()
    if size < len(raw):
        print("libvmdk size %d is below the source's %d" % (size, len(raw)))
        return 1
    expected = raw + bytes(size - len(raw))
    for piece, end in ((512, min(size, 1024 * 512)), (37 * 512, size), (1 << 20, size)):
        at = 0
        while at < end:
            n = min(piece, end - at)
            data = handle.read_buffer_at_offset(n, at)
            if data != expected[at:at + n]:
                for s in range(0, n, 512):
                    if data[s:s + 512] != expected[at + s:at + s + 512]:
                        print("libvmdk reads sector %d wrongly (reads of %d bytes)" % ((at + s) // 512, piece))
                        return 1
                print("libvmdk reads %d bytes at %d wrongly" % (n, at))
                return 1
            at += n
    handle.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
