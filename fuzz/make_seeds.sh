#!/bin/sh
# Builds the seed corpora of the fuzz targets into OUT/<target>/ from small images made here:
# file systems (mkfs.fat, mke2fs) with and without a partition table (sfdisk), their VHD and
# VMDK forms (qemu-img), the emulator images of the test fixture builder, descriptor texts,
# XML documents, catalogue lines and a font file. Nothing is committed; missing tools only
# leave their seeds out.
#   make_seeds.sh OUT
set -u
OUT=${1:?usage: make_seeds.sh OUT}
SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vdxseeds.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
have() { command -v "$1" >/dev/null 2>&1; }
for t in disk_open used_map vmdk_descriptor vhd_maintain vmdk_maintain emulator_headers xml catalogue; do
  mkdir -p "$OUT/${t}_fuzz"
done
cd "$WORK"

# Raw disks: a bare FAT12 and ext2 volume, and both inside an MBR partition.
if have mkfs.fat; then
  mkfs.fat -C -n SEED fat.raw 256 >/dev/null 2>&1 && (mcopy -i fat.raw "$SRC/README.md" ::r.txt 2>/dev/null || true)
fi
if have mke2fs; then
  truncate -s 256K ext.raw && mke2fs -q -F -t ext2 -b 1024 ext.raw >/dev/null 2>&1 || rm -f ext.raw
fi
if have sfdisk; then
  for fs in fat ext; do
    [ -f $fs.raw ] || continue
    truncate -s 320K mbr-$fs.raw
    type=06; [ $fs = ext ] && type=83
    printf 'label: dos\nstart=64, size=512, type=%s\n' $type | sfdisk -q mbr-$fs.raw >/dev/null 2>&1 &&
      dd if=$fs.raw of=mbr-$fs.raw bs=512 seek=64 conv=notrunc status=none
  done
  truncate -s 128K gpt.raw && printf 'label: gpt\nstart=40, size=64\n' | sfdisk -q gpt.raw >/dev/null 2>&1 || rm -f gpt.raw
fi
# The hand-made tables of the volume fixtures: an extended chain, and a PC-98 table whose
# partition (cylinders 1 to 4 of 8 heads x 17 sectors, the geometry of the used-map target)
# holds the FAT volume.
if have python3; then
  VF="$SRC/tests/volume/volume_fixtures.py"
  python3 "$VF" chain.raw '{"size": 131072, "mbr": [{"sector": 0, "records": [[6, 8, 16], [5, 32, 200]]},
    {"sector": 32, "records": [[131, 4, 40], [5, 80, 100]]}, {"sector": 112, "records": [[11, 2, 60]]}]}' \
    >/dev/null 2>&1 || rm -f chain.raw
  if [ -f fat.raw ] && python3 "$VF" pc98.raw '{"size": 360448, "mbr": [{"sector": 0}], "pc98": {"mark": [85, 170],
      "records": [{"index": 0, "start": 1, "end": 4, "fill": 0}]}}' >/dev/null 2>&1; then
    dd if=fat.raw of=pc98.raw bs=512 seek=136 conv=notrunc status=none
  else
    rm -f pc98.raw
  fi
fi
for f in *.raw; do [ -f "$f" ] && cp "$f" "$OUT/used_map_fuzz/$f" && cp "$f" "$OUT/disk_open_fuzz/$f"; done
# FAT volumes of 1024- and 2048-byte sectors; the used-map target reads the sector size from the
# last byte (2: 1024, 3: 2048).
if have mkfs.fat; then
  for bps in 1024:2 2048:3; do
    b=${bps%:*}; sel=${bps#*:}
    mkfs.fat -C -S "$b" "fat$b.img" 512 >/dev/null 2>&1 || continue
    printf "\\$(printf %o "$sel")" | dd of="fat$b.img" bs=1 seek=$((512 * 1024 - 1)) conv=notrunc status=none
    cp "fat$b.img" "$OUT/used_map_fuzz/fat$b.raw"
  done
fi

# VHD and VMDK forms of the raw disks.
if have qemu-img; then
  for f in *.raw; do
    [ -f "$f" ] || continue
    b=${f%.raw}
    python3 "$SRC/fuzz/seed_vhd.py" "$f" "$b.vhd" 2>/dev/null
    qemu-img convert -q -f raw -O vmdk "$f" "$b.vmdk" 2>/dev/null
    qemu-img convert -q -f raw -O vmdk -o subformat=streamOptimized "$f" "$b-stream.vmdk" 2>/dev/null
  done
  qemu-img convert -q -f raw -O vpc -o subformat=fixed fat.raw fixed.vhd 2>/dev/null
  qemu-img create -q -f vpc empty.vhd 1M 2>/dev/null
  qemu-img create -q -f vmdk empty.vmdk 1M 2>/dev/null
  qemu-img create -q -f vmdk -b empty.vmdk -F vmdk child.vmdk 2>/dev/null
  qemu-img create -q -f vpc -b empty.vhd -F vpc child.vhd 2>/dev/null
  qemu-img create -q -f vmdk -o subformat=monolithicFlat flat.vmdk 64K 2>/dev/null
  qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse split.vmdk 64K 2>/dev/null
  for f in *.vhd; do [ -f "$f" ] && cp "$f" "$OUT/vhd_maintain_fuzz/" && cp "$f" "$OUT/disk_open_fuzz/"; done
  for f in *.vmdk; do
    [ -f "$f" ] || continue
    case $f in
      flat.vmdk|split.vmdk) cp "$f" "$OUT/vmdk_descriptor_fuzz/$f.txt"; continue;;
      flat*|split*) continue;;
    esac
    cp "$f" "$OUT/vmdk_maintain_fuzz/" && cp "$f" "$OUT/disk_open_fuzz/"
    # The embedded descriptor text (sector 1 on) of a sparse file.
    dd if="$f" bs=512 skip=1 count=20 status=none | tr -d '\000' > "$OUT/vmdk_descriptor_fuzz/$f.embedded"
  done
  # qemu-img's Parallels layout ("WithouFreSpacExt": whole-block entries, header data start).
  qemu-img convert -q -f raw -O parallels -o cluster_size=4k fat.raw qemu.hdd 2>/dev/null &&
    cp qemu.hdd "$OUT/disk_open_fuzz/"
fi

# VHDX files (qemu-img, and the differencing and 4096-byte-sector files of the test fixture
# builder) in the sparse form of the VHDX target: non-zero 4 KiB pages, payload pages cut short.
if have qemu-img && have python3; then
  mkdir -p "$OUT/vhdx_open_fuzz"
  VX="$SRC/tests/formats/vhdx/vhdx_fixtures.py"
  head -c 3145728 /dev/urandom > vx.raw
  qemu-img convert -q -f raw -O vhdx -o block_size=1M vx.raw vx-dyn.vhdx 2>/dev/null
  qemu-img create -q -f vhdx -o subformat=fixed,block_size=1M vx-fixed.vhdx 2M 2>/dev/null
  qemu-img create -q -f vhdx vx-empty.vhdx 64M 2>/dev/null
  python3 "$VX" build '{"path": "vx-child.vhdx", "size": 3145728, "parent": {"relative": "p.vhdx"},
    "blocks": [{"index": 0, "state": 7, "sectors": [[1, 3]]}, {"index": 1, "state": 6}]}' 2>/dev/null
  python3 "$VX" build '{"path": "vx-4k.vhdx", "size": 3145728, "lss": 4096,
    "blocks": [{"index": 0, "state": 6}, {"index": 2, "state": 2}]}' 2>/dev/null
  python3 - "$OUT/vhdx_open_fuzz" vx-*.vhdx <<'PY'
import os, struct, sys
for name in sys.argv[2:]:
    d = open(name, "rb").read()
    out = bytearray([1, (((len(d) + (1 << 20) - 1) >> 20) - 1) % 64])
    for page in range(len(d) // 4096):
        chunk = d[page * 4096:(page + 1) * 4096].rstrip(b"\0")
        if chunk:
            if page * 4096 >= 4 << 20:
                chunk = chunk[:64]
            out += struct.pack("<HH", page, len(chunk)) + chunk
    open(os.path.join(sys.argv[1], name + ".seed"), "wb").write(out)
PY
fi

# Emulator images from the fixture builder.
if have python3; then
  head -c 16384 /dev/urandom > data.bin
  for k in hdi thd nhd vhd100 hdim unz; do
    python3 "$SRC/tests/disk/emulator_fixtures.py" build $k "$OUT/emulator_headers_fuzz/seed.$k" \
      --data data.bin --cyl 4 --heads 4 --spt 2 --bps 512 >/dev/null 2>&1
  done
  python3 "$SRC/tests/disk/emulator_fixtures.py" vhdfixed "$OUT/emulator_headers_fuzz/seed.fixedvhd" \
    --data data.bin --creator 'vpc ' --cyl 4 --heads 4 --spt 2 >/dev/null 2>&1
  cp "$OUT"/emulator_headers_fuzz/seed.* "$OUT/disk_open_fuzz/" 2>/dev/null
fi

# Texts.
cat > "$OUT/xml_fuzz/job.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<!-- a job -->
<Job version="1"><Source path="/a/b &amp; c.vhd" kind="6"/><Disk>text &lt;x&gt;</Disk>
  <Options><Split>0</Split><Name quote="&quot;&apos;">é</Name></Options></Job>
XML
head -c 4096 "$SRC/gui/frame/vdxmsg.txt" > "$OUT/catalogue_fuzz/vdxmsg.txt"
printf 'first\\nline\r\nsecond\\tx\rthird' > "$OUT/catalogue_fuzz/escapes.txt"
printf '\016\000\000\000Sans,90,normal' > "$OUT/catalogue_fuzz/font"
exit 0
