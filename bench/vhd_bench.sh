#!/bin/sh
# Converts a raw disk holding an ext4 volume about 40 % used, with random garbage in every free
# block, to a dynamic VHD, with our writer (vhd_bench, which skips the free space through the
# used-sector map without reading it) and with `qemu-img convert -O vpc -o subformat=dynamic`
# (which copies what it finds), each followed by `sync`. Prints both times, both sizes and the
# ratios; then checks that qemu-img opens our output at the disk's size and that the volume in
# it is sound (e2fsck over the output read back by qemu-img).
#
#   bench/vhd_bench.sh [--size-gib N] [--dir DIRECTORY] [--build BUILD_DIRECTORY]
#
# Defaults: 4 GiB, a fresh directory under $TMPDIR (or /tmp) removed at the end, and the build
# directory build-bench next to this folder (configured as a release build when missing).
# The disk: an MBR with one Linux partition from sector 2048 to the end, ext4 made by mke2fs
# with files of random data added by -d (40 % of the volume), then random garbage written into
# every free block that dumpe2fs lists. The disk is read once before the runs, so every run
# starts from the page cache. Needs cmake, mke2fs, dumpe2fs, e2fsck, python3, bc, qemu-img.
set -eu

bench_target=vhd_bench
. "$(cd "$(dirname "$0")" && pwd)/bench_disk.sh"

ours="$work/ours.vhd"
theirs="$work/qemu.vhd"
t_ours=$(run ours "$driver" "$disk" "$ours")
t_qemu=$(run qemu qemu-img convert -f raw -O vpc -o subformat=dynamic "$disk" "$theirs")
s_ours=$(stat -c %s "$ours")
s_qemu=$(stat -c %s "$theirs")
printf '\n%-18s %10s %14s\n' tool seconds bytes
printf '%-18s %10.2f %14s\n' "vhd_bench" "$t_ours" "$s_ours"
printf '%-18s %10.2f %14s\n' "qemu-img convert" "$t_qemu" "$s_qemu"
printf '%-18s %10.2f %14.3f   (ours / qemu-img: time, size)\n' "ratio" \
    "$(echo "$t_ours / $t_qemu" | bc -l)" "$(echo "$s_ours / $s_qemu" | bc -l)"
sed 's/^/    vhd_bench: /' "$work/ours.log"

# Our output opens in qemu-img at the disk's size and holds a sound volume.
rm -f "$theirs"
size=$(qemu-img info --output=json "$ours" | python3 -c 'import json,sys; print(json.load(sys.stdin)["virtual-size"])')
[ "$size" = "$total" ] || { echo "qemu-img sees $size bytes, not $total" >&2; exit 1; }
qemu-img convert -f vpc -O raw "$ours" "$work/back.raw"
e2fsck -fn "$work/back.raw?offset=1048576" >"$work/fsck.log" 2>&1 || { cat "$work/fsck.log" >&2; exit 1; }
echo "checked: qemu-img opens the output at $total bytes; e2fsck finds the volume in it clean"
