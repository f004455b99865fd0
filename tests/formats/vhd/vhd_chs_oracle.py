#!/usr/bin/env python3
"""The CHS rule of the published VHD format description, for byte sizes given as arguments.

Prints one line per size: total sectors (ceil(size / 512), not capped), heads, sectors per
track. The cap of the published rule (65535 x 16 x 255 sectors) only limits the cylinder count
and does not change heads and sectors per track.
"""
import sys

for arg in sys.argv[1:]:
    size = int(arg, 0)
    total = -(-size // 512)
    t = min(total, 65535 * 16 * 255)
    if t >= 65535 * 16 * 63:
        spt, heads = 255, 16
    else:
        spt = 17
        cth = t // spt
        heads = (cth + 1023) // 1024
        if heads < 4:
            heads = 4
        if cth >= heads * 1024 or heads > 16:
            spt, heads = 31, 16
            cth = t // spt
        if cth >= heads * 1024:
            spt, heads = 63, 16
    print(total, heads, spt)
