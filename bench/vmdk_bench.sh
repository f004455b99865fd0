#!/bin/sh
# Converts a raw disk holding an ext4 volume about 40 % used, with random garbage in every free
# block, to a monolithicSparse and to a streamOptimized VMDK image, with our creator (vmdk_bench,
# which skips the free space through the used-sector map) and with `qemu-img convert -O vmdk`
# (which copies what it finds), each followed by `sync`. Prints both times, both sizes and the
# ratios, and checks every output with `qemu-img check`.
#
#   bench/vmdk_bench.sh [--size-gib N] [--dir DIRECTORY] [--build BUILD_DIRECTORY]
#
# Defaults: 4 GiB, a fresh directory under $TMPDIR (or /tmp) removed at the end, and the build
# directory build-bench next to this folder (configured as a release build when missing).
# The disk: an MBR with one Linux partition from sector 2048 to the end, ext4 made by mke2fs
# with files of random data added by -d (40 % of the volume), then random garbage written into
# every free block that dumpe2fs lists. The disk is read once before the runs, so every run
# starts from the page cache. Needs cmake, mke2fs, dumpe2fs, python3, qemu-img.
set -eu

bench_target=vmdk_bench
. "$(cd "$(dirname "$0")" && pwd)/bench_disk.sh"

printf '\n%-18s %-18s %10s %14s\n' layout tool seconds bytes
for layout in sparse stream; do
    if [ "$layout" = sparse ]; then sub=monolithicSparse; else sub=streamOptimized; fi
    ours="$work/ours-$layout.vmdk"
    theirs="$work/qemu-$layout.vmdk"
    t_ours=$(run "ours-$layout" "$driver" "$disk" "$ours" "$layout")
    t_qemu=$(run "qemu-$layout" qemu-img convert -f raw -O vmdk -o subformat=$sub "$disk" "$theirs")
    s_ours=$(stat -c %s "$ours")
    s_qemu=$(stat -c %s "$theirs")
    printf '%-18s %-18s %10.2f %14s\n' "$sub" "vmdk_bench" "$t_ours" "$s_ours"
    printf '%-18s %-18s %10.2f %14s\n' "$sub" "qemu-img convert" "$t_qemu" "$s_qemu"
    printf '%-18s %-18s %10.2f %14.3f   (ours / qemu-img: time, size)\n' "$sub" "ratio" \
        "$(echo "$t_ours / $t_qemu" | bc -l)" "$(echo "$s_ours / $s_qemu" | bc -l)"
    sed 's/^/    vmdk_bench: /' "$work/ours-$layout.log"
    for image in "$ours" "$theirs"; do
        qemu-img check -q "$image" || { echo "qemu-img check failed on $image" >&2; exit 1; }
    done
    rm -f "$ours" "$theirs"
done
