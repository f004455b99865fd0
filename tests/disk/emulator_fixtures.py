#!/usr/bin/env python3
"""Builds PC-98 emulator images and parses their headers and VHD footers, independently of the
code under test.

  build FORMAT OUT --data FILE [--cyl C --heads H --spt S --bps B] [--set FIELD=VALUE]...
        [--size N]
      Writes an image of FORMAT (hdi, thd, nhd, vhd100, hdim, pc98e, unz) holding the bytes of
      FILE as its data, with header fields derived from the geometry; --set overrides a field
      after that (integers, or "str:TEXT" for byte fields), --size cuts or extends the file.
  parse FORMAT FILE
      Prints the header fields as FIELD=VALUE lines, plus data_offset.
  vhdfixed OUT --data FILE --creator CODE --cyl C --heads H --spt S [--current N]
        [--set FIELD=VALUE]... [--footer511 1] [--badsum 1]
      Writes a fixed VHD: the data, zeros up to the current size (default: the data length),
      and a footer with a right checksum (wrong with --badsum); --set overrides a footer field
      (version, disk_type, data_offset, reserved_last, features) before the checksum is made;
      --footer511 drops the footer's last byte.
  batch FILE
      Runs every line of FILE as one command of this tool (arguments split by the shell's rules).
  vhdfooter FILE
      Prints the fields of the VHD footer at the end of FILE (512 bytes, or 511 when the file
      size is 511 modulo 512), with checksum_ok and reserved_zero.
"""
import struct
import sys

# field: (offset, struct format)
LAYOUTS = {
    "hdi": (32, {
        "reserved": (0, "<I"), "type": (4, "<I"), "header_size": (8, "<I"),
        "data_size": (12, "<I"), "bps": (16, "<I"), "spt": (20, "<I"), "heads": (24, "<I"),
        "cyl": (28, "<I"),
    }),
    "thd": (256, {"cyl": (0, "<I")}),
    "nhd": (512, {
        "sig": (0, "16s"), "comment": (16, "256s"), "header_size": (272, "<I"),
        "cyl": (276, "<I"), "heads": (280, "<H"), "spt": (282, "<H"), "bps": (284, "<H"),
    }),
    "vhd100": (220, {
        "sig": (0, "8s"), "comment": (8, "132s"), "size_mib": (140, "<H"), "bps": (142, "<H"),
        "spt": (144, "B"), "heads": (145, "B"), "cyl": (146, "<H"), "total": (148, "<I"),
    }),
    "hdim": (512, {
        "magic": (0, "4s"), "data_size": (4, "<Q"), "bps": (12, "<I"), "cyl": (16, "<I"),
        "heads": (20, "<I"), "spt": (24, "<I"), "time": (28, "20s"),
    }),
    "pc98e": (0, {}),
    "unz": (0, {}),
}

DATA_OFFSET = {"hdi": 4096, "thd": 256, "nhd": 512, "vhd100": 220, "hdim": 512, "pc98e": 0,
               "unz": 0}


def default_fields(fmt, cyl, heads, spt, bps, data_len):
    total = cyl * heads * spt
    if fmt == "hdi":
        return {"reserved": 0, "type": 0, "header_size": 4096, "data_size": data_len,
                "bps": bps, "spt": spt, "heads": heads, "cyl": cyl}
    if fmt == "thd":
        return {"cyl": cyl}
    if fmt == "nhd":
        return {"sig": b"T98HDDIMAGE.R0\0\0", "comment": b"", "header_size": 512, "cyl": cyl,
                "heads": heads, "spt": spt, "bps": bps}
    if fmt == "vhd100":
        return {"sig": b"VHD1.00\0", "comment": b"", "size_mib": (data_len >> 20) & 0xFFFF,
                "bps": bps, "spt": spt, "heads": heads, "cyl": cyl, "total": total}
    if fmt == "hdim":
        return {"magic": b"HDIM", "data_size": data_len, "bps": bps, "cyl": cyl, "heads": heads,
                "spt": spt, "time": b"20240101-000000-000\0"}
    return {}


def parse_value(text):
    if text.startswith("str:"):
        return text[4:].encode("latin-1")
    return int(text, 0)


def build(args):
    fmt, out = args[0], args[1]
    opts = {"cyl": 0, "heads": 0, "spt": 0, "bps": 512}
    sets = {}
    data_file = None
    size = None
    i = 2
    while i < len(args):
        key, val = args[i], args[i + 1]
        i += 2
        if key == "--data":
            data_file = val
        elif key == "--set":
            name, _, value = val.partition("=")
            sets[name] = parse_value(value)
        elif key == "--size":
            size = int(val, 0)
        else:
            opts[key[2:]] = int(val, 0)
    data = open(data_file, "rb").read() if data_file else b""
    header_len, layout = LAYOUTS[fmt]
    fields = default_fields(fmt, opts["cyl"], opts["heads"], opts["spt"], opts["bps"], len(data))
    fields.update(sets)
    # An NHD's data starts at its header size; hostile sizes keep the 512-byte header.
    header_size = DATA_OFFSET[fmt]
    if fmt == "nhd" and 512 <= fields["header_size"] <= 0x10000:
        header_size = fields["header_size"]
    header = bytearray(header_size)
    for name, value in fields.items():
        off, f = layout[name]
        struct.pack_into(f, header, off, value)
    blob = bytes(header) + data
    if fmt == "pc98e" and len(blob) < 0x4200000:
        blob += bytes(0x4200000 - len(blob))
    if size is not None:
        blob = blob[:size] + bytes(max(0, size - len(blob)))
    with open(out, "wb") as f:
        f.write(blob)


def parse(args):
    fmt, path = args[0], args[1]
    header_len, layout = LAYOUTS[fmt]
    with open(path, "rb") as f:
        head = f.read(max(header_len, 1))
    for name, (off, f) in sorted(layout.items()):
        (value,) = struct.unpack_from(f, head, off)
        if isinstance(value, bytes):
            value = value.hex()
        print("%s=%s" % (name, value))
    offset = DATA_OFFSET[fmt]
    if fmt == "nhd":
        offset = struct.unpack_from("<I", head, 272)[0]
    print("data_offset=%d" % offset)


def vhdfooter(args):
    path = args[0]
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        length = 511 if size % 512 == 511 else 512
        f.seek(size - length)
        raw = f.read(length)
    footer = raw + bytes(512 - length)
    (cookie, features, version, data_offset, timestamp, app, app_ver, host, orig, cur, cyl, heads,
     spt, dtype, checksum, uid, saved) = struct.unpack_from(">8sIIQI4sI4sQQHBBII16sB", footer, 0)
    total = sum(raw[:64]) + sum(raw[68:])
    print("cookie=%s" % cookie.decode("latin-1"))
    print("features=%d" % features)
    print("version=%d" % version)
    print("data_offset=%d" % data_offset)
    print("timestamp=%d" % timestamp)
    print("creator_app=%s" % app.hex())
    print("creator_version=%d" % app_ver)
    print("creator_host=%s" % host.decode("latin-1"))
    print("original_size=%d" % orig)
    print("current_size=%d" % cur)
    print("cylinders=%d" % cyl)
    print("heads=%d" % heads)
    print("spt=%d" % spt)
    print("disk_type=%d" % dtype)
    print("checksum_ok=%d" % (1 if checksum == (~total & 0xFFFFFFFF) else 0))
    print("uuid=%s" % uid.hex())
    print("saved_state=%d" % saved)
    print("reserved_zero=%d" % (1 if not any(footer[85:]) else 0))
    print("footer_length=%d" % length)


def vhdfixed(args):
    out = args[0]
    opts = {"cyl": 0, "heads": 0, "spt": 0, "current": -1, "footer511": 0, "badsum": 0, "sparse": 0}
    sets = {}
    data = b""
    creator = b"vpc "
    i = 1
    while i < len(args):
        key, val = args[i], args[i + 1]
        i += 2
        if key == "--data":
            data = open(val, "rb").read()
        elif key == "--creator":
            creator = (val.encode("latin-1") + b"\0\0\0\0")[:4]
        elif key == "--set":
            name, _, value = val.partition("=")
            sets[name] = int(value, 0)
        else:
            opts[key[2:]] = int(val, 0)
    current = len(data) if opts["current"] < 0 else opts["current"]
    fields = {"features": 2, "version": 0x10000, "data_offset": 0xFFFFFFFFFFFFFFFF,
              "disk_type": 2, "reserved_last": 0}
    fields.update(sets)
    footer = bytearray(512)
    struct.pack_into(">8sIIQI4sI4sQQHBBII16sB", footer, 0, b"conectix", fields["features"],
                     fields["version"], fields["data_offset"], 0, creator, 0x00050000, b"Wi2k",
                     current, current, opts["cyl"], opts["heads"], opts["spt"],
                     fields["disk_type"], 0, bytes(range(16)), 0)
    footer[511] = fields["reserved_last"]
    length = 511 if opts["footer511"] else 512
    total = sum(footer[:length])
    checksum = ~total & 0xFFFFFFFF
    if opts["badsum"]:
        checksum ^= 1
    struct.pack_into(">I", footer, 64, checksum)
    if opts["sparse"]:
        # A large disk: the data, a hole up to the current size, the footer.
        with open(out, "wb") as f:
            f.write(data[:current])
            f.seek(current)
            f.write(bytes(footer[:length]))
        return
    blob = data[:current] + bytes(max(0, current - len(data))) + bytes(footer[:length])
    with open(out, "wb") as f:
        f.write(blob)


COMMANDS = {"build": build, "parse": parse, "vhdfooter": vhdfooter, "vhdfixed": vhdfixed}


def batch(args):
    import shlex
    with open(args[0]) as f:
        for line in f:
            words = shlex.split(line)
            if words:
                COMMANDS[words[0]](words[1:])


COMMANDS["batch"] = batch

if __name__ == "__main__":
    COMMANDS[sys.argv[1]](sys.argv[2:])
