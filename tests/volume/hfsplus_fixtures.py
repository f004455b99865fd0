#!/usr/bin/env python3
"""Hand-built HFS+ volumes for the HFS+ driver tests.

  hfsplus_fixtures.py volume OUT [options]   writes a volume and prints its used blocks as
                                             lines "U first count"
  hfsplus_fixtures.py free IMG FIRST COUNT   clears allocation bits FIRST .. FIRST+COUNT-1 of a
                                             volume (any HFS+ volume whose allocation file has
                                             inline extents) and raises its free-block count

A volume holds only what the driver reads: the volume header (and its copy at the end), the
extents-overflow B-tree (512-byte nodes: a header node, leaves and, with more than one leaf, an
index node) and the allocation file, optionally in many fragments so that its extents spill into
the tree. Options can damage one structure each.
"""
import argparse
import struct
import sys


def ceil_div(a, b):
    return (a + b - 1) // b


NODE = 512


def node_bytes(kind, height, records, flink=0, blink=0, raw_offsets=None, count=None):
    """A node with the records packed from byte 14 and the offset table at the end."""
    n = bytearray(NODE)
    struct.pack_into('>IIbBHH', n, 0, flink, blink, kind, height,
                     len(records) if count is None else count, 0)
    at = 14
    offsets = []
    for r in records:
        offsets.append(at)
        n[at:at + len(r)] = r
        at += len(r)
    offsets.append(at)  # free space
    if raw_offsets:
        for i, v in raw_offsets.items():
            offsets[i] = v
    for i, off in enumerate(offsets):
        struct.pack_into('>H', n, NODE - 2 * (i + 1), off)
    return n


def ext_key(file_id, start):
    return struct.pack('>HBBII', 10, 0, 0, file_id, start)


def ext_record(extents):
    r = bytearray(64)
    for i, (s, c) in enumerate(extents):
        struct.pack_into('>II', r, i * 8, s, c)
    return bytes(r)


def fork(logical, total_blocks, extents):
    return struct.pack('>QII', logical, 0, total_blocks) + ext_record(extents)


def build(a):
    bs, total = a.block_size, a.total
    real_bs = bs if bs else 4096
    used = []
    reserved = ceil_div(1536, real_bs)
    used.append((0, reserved))
    alt = (total * real_bs - 1024) // real_bs
    used.append((alt, total - alt))
    need = ceil_div(total, 8)
    ablocks = max(ceil_div(need, real_bs), a.fragments)
    if a.short_fork:
        ablocks = 1
    # Fragments of the allocation file, each followed by one free block.
    sizes = [ablocks // a.fragments + (1 if i < ablocks % a.fragments else 0)
             for i in range(a.fragments)]
    nxt = reserved + 40  # room for the extents file
    frags = []
    for sz in sizes:
        frags.append((nxt, sz))
        nxt += sz + 1
    used.extend(frags)
    # Overflow records: eight extents each, keyed by the file block where they start.
    records = []
    sums = sum(c for _, c in frags[:8])
    rest = frags[8:]
    while rest:
        chunk, rest = rest[:8], rest[8:]
        records.append((sums, chunk))
        sums += sum(c for _, c in chunk)
    if a.missing_record and records:
        records.pop()
    per_leaf = a.per_leaf
    leaves = [records[i:i + per_leaf] for i in range(0, len(records), per_leaf)] or [[]]
    nodes = [None]  # node 0 is the header
    leaf_ids = list(range(1, 1 + len(leaves)))
    index_id = None
    if len(leaves) > 1:
        index_id = 1 + len(leaves)
    total_nodes = 1 + len(leaves) + (1 if index_id else 0) + 2
    for i, lr in enumerate(leaves):
        recs = [ext_key(6, s) + ext_record(ch) for s, ch in lr]
        raw = {0: 500} if a.bad_offset and i == 0 else None
        count = 300 if a.overcount and i == 0 else None
        flink = leaf_ids[i + 1] if i + 1 < len(leaves) else 0
        blink = leaf_ids[i - 1] if i > 0 else 0
        nodes.append(node_bytes(-1, 1, recs, flink, blink, raw, count))
    depth = 1
    root = leaf_ids[0]
    if index_id:
        depth = 2
        root = index_id
        recs = []
        for i, lr in enumerate(leaves):
            child = index_id if a.cyclic else leaf_ids[i]
            recs.append(ext_key(6, lr[0][0]) + struct.pack('>I', child))
        nodes.append(node_bytes(0, 2, recs))
    leaf_records = max(1, len(records))
    header_rec = struct.pack('>HIIIIHHII', depth, root, leaf_records, leaf_ids[0], leaf_ids[-1],
                             NODE, 10, total_nodes, total_nodes - len(nodes))
    header_rec += struct.pack('>HIBBI', 0, 0, 0, 0, 0x6) + bytes(64)
    assert len(header_rec) == 106
    nodes[0] = node_bytes(1, 0, [header_rec, bytes(128), bytes(NODE - 14 - 106 - 128 - 8)])
    while len(nodes) < total_nodes:
        nodes.append(bytes(NODE))
    ext_bytes = total_nodes * NODE
    ext_blocks = ceil_div(ext_bytes, real_bs)
    if reserved + ext_blocks > reserved + 40:
        sys.exit('extents file too large')
    ext_extent = (reserved, ext_blocks)
    used.append(ext_extent)
    for r in a.used:
        f, c = (int(x) for x in r.split(':'))
        used.append((f, c))

    bitmap = bytearray(max(ablocks * real_bs, need))
    for f, c in used:
        for b in range(f, f + c):
            bitmap[b // 8] |= 0x80 >> (b % 8)

    hdr = bytearray(512)
    sig = b'HX' if a.hfsx else b'H+'
    attrs = 0 if a.unclean else 0x100
    free_blocks = sum(1 for b in range(total) if not bitmap[b // 8] & (0x80 >> (b % 8)))
    bitmap = bitmap[:ablocks * real_bs]
    struct.pack_into('>2sHI', hdr, 0, sig, 5 if a.hfsx else 4, attrs)
    struct.pack_into('>III', hdr, 40, bs, total, free_blocks)
    logical = ablocks * real_bs if not a.short_logical else need - 1
    hdr[112:192] = fork(logical, ablocks, frags[:8])
    hdr[192:272] = fork(ext_bytes, ext_blocks, [ext_extent])

    with open(a.out, 'wb') as f:
        f.truncate(total * real_bs)
        f.seek(1024)
        f.write(hdr)
        f.seek(total * real_bs - 1024)
        f.write(hdr)
        f.seek(ext_extent[0] * real_bs)
        for n in nodes:
            f.write(n)
        pos = 0
        for s, c in frags:
            f.seek(s * real_bs)
            f.write(bitmap[pos:pos + c * real_bs])
            pos += c * real_bs
    # Merge and print the used runs.
    marks = sorted(set(b for f_, c in used for b in range(f_, f_ + c) if b < total))
    runs = []
    for b in marks:
        if runs and runs[-1][0] + runs[-1][1] == b:
            runs[-1][1] += 1
        else:
            runs.append([b, 1])
    for f_, c in runs:
        print('U %d %d' % (f_, c))


def free(a):
    with open(a.img, 'r+b') as f:
        f.seek(1024)
        hdr = bytearray(f.read(512))
        bs = struct.unpack_from('>I', hdr, 40)[0]
        extents = [struct.unpack_from('>II', hdr, 128 + 8 * i) for i in range(8)]
        start = extents[0][0]
        for b in range(a.first, a.first + a.count):
            # The byte of bit b inside the (contiguous) first extent.
            at = start * bs + b // 8
            f.seek(at)
            v = f.read(1)[0]
            if v & (0x80 >> (b % 8)):
                struct.pack_into('>I', hdr, 48, struct.unpack_from('>I', hdr, 48)[0] + 1)
            f.seek(at)
            f.write(bytes([v & ~(0x80 >> (b % 8)) & 0xFF]))
        f.seek(1024)
        f.write(hdr)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest='cmd', required=True)
    v = sub.add_parser('volume')
    v.add_argument('out')
    v.add_argument('--block-size', type=int, default=4096)
    v.add_argument('--total', type=int, default=2048)
    v.add_argument('--fragments', type=int, default=1)
    v.add_argument('--per-leaf', type=int, default=2)
    v.add_argument('--used', action='append', default=[], help='FIRST:COUNT blocks in use')
    v.add_argument('--hfsx', action='store_true')
    v.add_argument('--unclean', action='store_true')
    v.add_argument('--missing-record', action='store_true')
    v.add_argument('--cyclic', action='store_true', help='the index node points to itself')
    v.add_argument('--bad-offset', action='store_true', help='a record past its node')
    v.add_argument('--overcount', action='store_true', help='more records than the node holds')
    v.add_argument('--short-logical', action='store_true', help='logical size below the bits')
    v.add_argument('--short-fork', action='store_true', help='one-block allocation file')
    v.set_defaults(run=build)
    fr = sub.add_parser('free')
    fr.add_argument('img')
    fr.add_argument('first', type=int)
    fr.add_argument('count', type=int)
    fr.set_defaults(run=free)
    a = p.parse_args()
    a.run(a)


if __name__ == '__main__':
    main()
