#!/usr/bin/env python3
"""Independent reader and builder of split sets (part files with a 104-byte header).

check OUT PART...   validates every header (magics, version, reserved bytes, header CRC), the
                    CRC chain and stream offsets across the parts, the last-part flag on the
                    final part only, and writes the stream (inflated when compressed) to OUT.
build RAW PARTBYTES LEVEL PREFIX [key=value...]
                    writes RAW as parts PREFIX.p00, PREFIX.p01 ... of at most PARTBYTES bytes
                    each (header included); LEVEL 0 stores, 1..9 compresses. Keys override
                    header fields: bps, version, reserved72, heads, spt.
"""
import struct
import sys
import zlib

HDR = 104


def header(last, crc_after, compressed, crc_before, offset, nbytes, heads, spt, total, bps,
           version=2, reserved72=0):
    b = bytearray(HDR)
    struct.pack_into('<HHBIIHBB', b, 0, 0xAA55, version, last, crc_after, 0, compressed, 0, 1)
    struct.pack_into('<IQIB', b, 17, crc_before, offset, nbytes, 0)
    struct.pack_into('<QQQQI', b, 34, heads, 0, spt, total, bps)
    b[72] = reserved72
    struct.pack_into('<H', b, 102, 0xAA55)
    struct.pack_into('<I', b, 9, zlib.crc32(bytes(b)) & 0xFFFFFFFF)
    return bytes(b)


def check(out, parts):
    stream = bytearray()
    crc = 0
    compressed = None
    for i, p in enumerate(parts):
        data = open(p, 'rb').read()
        h = data[:HDR]
        m1, ver, last, crc_after, hcrc, comp, r15, c16 = struct.unpack_from('<HHBIIHBB', h, 0)
        crc_before, off, nbytes = struct.unpack_from('<IQI', h, 17)
        m2, = struct.unpack_from('<H', h, 102)
        assert m1 == 0xAA55 and m2 == 0xAA55, 'magic of part %d' % i
        assert ver == 2 and r15 == 0 and c16 == 1 and h[72:102] == bytes(30), 'fields of part %d' % i
        z = bytearray(h)
        z[9:13] = bytes(4)
        assert zlib.crc32(bytes(z)) & 0xFFFFFFFF == hcrc, 'header CRC of part %d' % i
        assert crc_before == crc, 'CRC chain at part %d' % i
        assert off == len(stream), 'offset of part %d' % i
        assert len(data) == HDR + nbytes, 'size of part %d' % i
        assert last == (1 if i == len(parts) - 1 else 0), 'last flag of part %d' % i
        if compressed is None:
            compressed = comp
        assert comp == compressed
        body = data[HDR:]
        crc = zlib.crc32(body, crc) & 0xFFFFFFFF
        assert crc == crc_after, 'CRC after part %d' % i
        stream += body
        bps, = struct.unpack_from('<I', h, 66)
        assert bps == 512
    if compressed:
        d = zlib.decompressobj()
        plain = d.decompress(bytes(stream)) + d.flush()
        assert d.eof and not d.unused_data, 'one zlib stream, nothing after it'
    else:
        plain = bytes(stream)
    open(out, 'wb').write(plain)


def build(raw, part_bytes, level, prefix, overrides):
    data = open(raw, 'rb').read()
    stream = zlib.compress(data, level) if level else data
    room = part_bytes - HDR
    pieces = [stream[i:i + room] for i in range(0, len(stream), room)] or [b'']
    crc = 0
    off = 0
    o = dict(heads=16, spt=63, bps=512, version=2, reserved72=0)
    o.update({k: int(v) for k, v in overrides})
    for i, piece in enumerate(pieces):
        after = zlib.crc32(piece, crc) & 0xFFFFFFFF
        h = header(1 if i == len(pieces) - 1 else 0, after, 1 if level else 0, crc, off,
                   len(piece), o['heads'], o['spt'], len(data) // 512, o['bps'],
                   o['version'], o['reserved72'])
        with open('%s.p%02d' % (prefix, i) if i <= 99 else '%s.p%d' % (prefix, i), 'wb') as f:
            f.write(h + piece)
        crc = after
        off += len(piece)
    print(len(pieces))


if __name__ == '__main__':
    if sys.argv[1] == 'check':
        check(sys.argv[2], sys.argv[3:])
    else:
        build(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5],
              [a.split('=', 1) for a in sys.argv[6:]])
