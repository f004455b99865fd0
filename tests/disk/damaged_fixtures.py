#!/usr/bin/env python3
"""Writes damaged images of known formats into OUTDIR, made with qemu-img and then cut or
patched here, together with sound ones and a file of no format, for the tests of what opening
answers for them.

  damaged_fixtures.py OUTDIR

Files written (every damaged one keeps the marks of its format):
  sound.vhd            dynamic VHD of 16 MiB with data
  sound.vmdk           monolithic sparse VMDK of 16 MiB with data
  truncated.vhd        sound.vhd cut to half its length (the footer at the end is gone)
  cut-footer.vhd       sound.vhd without its last 4096 bytes
  bat-past-end.vhd     the dynamic header's table offset points past the end of the file
  zero-gte.vmdk        the sparse header states 0 grain-table entries per table
  zero-grain.vmdk      the sparse header states a grain size of 0
  bad-descriptor.vmdk  a text descriptor whose extent line names no file
  bad-checksum.vhd     a fixed VHD whose footer checksum is wrong
  nodata.bin           random bytes of no format
"""
import os
import random
import struct
import subprocess
import sys

MIB = 1 << 20


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def read(path):
    with open(path, "rb") as f:
        return bytearray(f.read())


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def vhd_checksum(block, at):
    """Ones' complement of the byte sum, the checksum field itself counted as zero."""
    total = sum(block) - sum(block[at:at + 4])
    return (~total) & 0xFFFFFFFF


def with_data(fmt, path, options=()):
    run("qemu-img", "create", "-q", "-f", fmt, *options, path, "16M")
    run("qemu-io", "-f", fmt, "-c", "write -P 0x5a 0 1M", "-c", "write -P 0xa5 9M 512k", path)


def main(out):
    sound_vhd = os.path.join(out, "sound.vhd")
    sound_vmdk = os.path.join(out, "sound.vmdk")
    with_data("vpc", sound_vhd)
    with_data("vmdk", sound_vmdk)

    vhd = read(sound_vhd)
    write(os.path.join(out, "truncated.vhd"), vhd[:len(vhd) // 2 // 512 * 512])
    write(os.path.join(out, "cut-footer.vhd"), vhd[:len(vhd) - 4096])

    # Dynamic header: at the footer's data offset (big-endian u64 at 16); the table offset is
    # the big-endian u64 at 16 of the header, its checksum the u32 at 36.
    data = bytearray(vhd)
    header = struct.unpack(">Q", data[16:24])[0]
    struct.pack_into(">Q", data, header + 16, len(data) + 65536)
    struct.pack_into(">I", data, header + 36, vhd_checksum(data[header:header + 1024], 36))
    write(os.path.join(out, "bat-past-end.vhd"), data)

    # Sparse header: "KDMV", version, flags, capacity, grain size (u64 at 20), descriptor offset
    # and size, grain-table entries per table (u32 at 44).
    vmdk = read(sound_vmdk)
    data = bytearray(vmdk)
    struct.pack_into("<I", data, 44, 0)
    write(os.path.join(out, "zero-gte.vmdk"), data)
    data = bytearray(vmdk)
    struct.pack_into("<Q", data, 20, 0)
    write(os.path.join(out, "zero-grain.vmdk"), data)

    write(os.path.join(out, "bad-descriptor.vmdk"),
          b"# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
          b"createType=\"monolithicFlat\"\n\nRW 32768 FLAT\n\n"
          b"ddb.virtualHWVersion = \"4\"\n")

    fixed = os.path.join(out, "fixed.vhd")
    run("qemu-img", "create", "-q", "-f", "vpc", "-o", "subformat=fixed", fixed, "4M")
    data = read(fixed)
    footer = len(data) - 512
    struct.pack_into(">I", data, footer + 64, vhd_checksum(data[footer:], 64) ^ 0x5A5A)
    write(os.path.join(out, "bad-checksum.vhd"), data)
    os.remove(fixed)

    rng = random.Random(12)
    write(os.path.join(out, "nodata.bin"), bytes(rng.getrandbits(8) for _ in range(3 * 65536)))


if __name__ == "__main__":
    main(sys.argv[1])
