#!/bin/bash
# One interleaved series of conversions, each timed against `qemu-img convert` and against a
# plain copy of just the used bytes (every command followed by `sync`), with medians, min-max,
# output sizes (apparent and allocated) and peak memory (/usr/bin/time -v's maximum resident
# set). Works:
#   dynamic VHD, fixed VHD, sparse VMDK and stream-optimised VMDK written from the disk below;
#   reading: a qemu-made dynamic VHD and sparse VMDK of that disk converted back to raw, and each
#   converted to the other format;
#   dense: a disk of random bytes without a file system (nothing to skip) to VHD and VMDK.
# The disk: an MBR with one ext4 partition from sector 2048, the file system made by mke2fs over
# a file already filled with random bytes (so blocks mkfs never writes hold garbage, as on a
# reused disk), with files of random data added by -d (about 45 % of the volume).
#
#   bench/bench_all.sh [--size-gib N] [--dense-gib N] [--runs N] [--dir DIRECTORY] [--build DIR]
#
# Defaults: a 4 GiB disk, a 2 GiB dense disk, 5 runs, a fresh directory under $TMPDIR (or /tmp)
# removed at the end, the release build directory build-bench next to this folder. Needs cmake,
# mke2fs, dumpe2fs, python3, qemu-img and /usr/bin/time. Never run by the test suite.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
size_gib=4
dense_gib=2
runs=5
base=${TMPDIR:-/tmp}
build="$here/../build-bench"
while [ $# -gt 0 ]; do
    case "$1" in
        --size-gib) size_gib=$2; shift 2 ;;
        --dense-gib) dense_gib=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --dir) base=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        *) echo "usage: $0 [--size-gib N] [--dense-gib N] [--runs N] [--dir DIR] [--build DIR]" >&2; exit 2 ;;
    esac
done
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target convert_bench -j4 >/dev/null
driver=$(find "$build" -name convert_bench -type f -perm -u+x | head -n 1)

work=$(mktemp -d "$base/bench_all.XXXXXX")
trap 'rm -rf "$work"' EXIT
disk="$work/disk.raw"
fs="$work/fs.img"
dense="$work/dense.raw"

echo "making a $size_gib GiB disk over random bytes in $work"
total=$((size_gib * 1024 * 1024 * 1024))
part_bytes=$((total - 1048576))
head -c "$part_bytes" /dev/urandom > "$fs"
mkdir "$work/root"
python3 - "$work/root" "$((part_bytes * 9 / 20))" <<'PY'
import os, sys
root, budget = sys.argv[1], int(sys.argv[2])
blob = os.urandom(64 << 20)
used, i = 0, 0
while used < budget:
    size = min((1 + i % 24) << 20, budget - used)
    folder = os.path.join(root, "d%02d" % (i % 16))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        start = (i * 7919 << 12) % (len(blob) - size) if size < len(blob) else 0
        f.write(blob[start:start + size])
    used += size
    i += 1
PY
mke2fs -q -F -t ext4 -E nodiscard -d "$work/root" "$fs"
rm -rf "$work/root"
used_bytes=$(dumpe2fs -h "$fs" 2>/dev/null | python3 -c '
import re, sys
t = sys.stdin.read()
g = lambda k: int(re.search(r"^" + k + r":\s+(\d+)", t, re.M).group(1))
print((g("Block count") - g("Free blocks")) * g("Block size"))')
python3 - "$disk" "$((part_bytes / 512))" <<'PY'
import struct, sys
disk, sectors = sys.argv[1], int(sys.argv[2])
mbr = bytearray(512)
struct.pack_into("<B3sB3sII", mbr, 446, 0, b"\xfe\xff\xff", 0x83, b"\xfe\xff\xff", 2048, sectors)
mbr[510:512] = b"\x55\xaa"
with open(disk, "wb") as f:
    f.write(mbr)
    f.truncate(1048576)
PY
cat "$fs" >> "$disk"
rm -f "$fs"
head -c "$used_bytes" /dev/urandom > "$work/used.bin"
head -c "$((dense_gib * 1024 * 1024 * 1024))" /dev/urandom > "$dense"
# Reading sources, made by qemu-img.
qemu-img convert -f raw -O vpc -o subformat=dynamic "$disk" "$work/src.vhd"
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$disk" "$work/src.vmdk"
sync
echo "used bytes of the ext4 volume: $used_bytes"

results="$work/results.txt"
: > "$results"
measure() {  # work tool source output command...: one timed run with sync, peak memory and sizes
    local w=$1 tool=$2 src=$3 out=$4
    shift 4
    rm -f "$out"
    sync
    cat "$src" > /dev/null  # every run starts with its source in the page cache
    local t0 t1
    t0=$(date +%s.%N)
    /usr/bin/time -v -o "$work/time.txt" "$@" > "$work/cmd.log" 2>&1 || { cat "$work/cmd.log" >&2; exit 1; }
    sync
    t1=$(date +%s.%N)
    local rss
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    echo "$w $tool $(echo "$t1 - $t0" | bc -l) $(stat -c %s "$out") $(( $(stat -c %b "$out") * 512 )) $rss" >> "$results"
    rm -f "$out"
}

for run in $(seq "$runs"); do
    echo "run $run of $runs"
    measure copy copy "$work/used.bin" "$work/copy.bin" cp "$work/used.bin" "$work/copy.bin"
    measure vhd ours "$disk" "$work/o.vhd" "$driver" vhd "$disk" "$work/o.vhd"
    measure vhd qemu "$disk" "$work/q.vhd" qemu-img convert -f raw -O vpc -o subformat=dynamic "$disk" "$work/q.vhd"
    measure fixed ours "$disk" "$work/o.vhd" "$driver" fixed "$disk" "$work/o.vhd"
    measure fixed qemu "$disk" "$work/q.vhd" qemu-img convert -f raw -O vpc -o subformat=fixed "$disk" "$work/q.vhd"
    measure sparse ours "$disk" "$work/o.vmdk" "$driver" sparse "$disk" "$work/o.vmdk"
    measure sparse qemu "$disk" "$work/q.vmdk" qemu-img convert -f raw -O vmdk "$disk" "$work/q.vmdk"
    measure stream ours "$disk" "$work/o.vmdk" "$driver" stream "$disk" "$work/o.vmdk"
    measure stream qemu "$disk" "$work/q.vmdk" qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$disk" "$work/q.vmdk"
    measure read-vhd ours "$work/src.vhd" "$work/o.img" "$driver" raw "$work/src.vhd" "$work/o.img"
    measure read-vhd qemu "$work/src.vhd" "$work/q.img" qemu-img convert -f vpc -O raw "$work/src.vhd" "$work/q.img"
    measure read-vmdk ours "$work/src.vmdk" "$work/o.img" "$driver" raw "$work/src.vmdk" "$work/o.img"
    measure read-vmdk qemu "$work/src.vmdk" "$work/q.img" qemu-img convert -f vmdk -O raw "$work/src.vmdk" "$work/q.img"
    measure vhd-to-vmdk ours "$work/src.vhd" "$work/o.vmdk" "$driver" sparse "$work/src.vhd" "$work/o.vmdk"
    measure vhd-to-vmdk qemu "$work/src.vhd" "$work/q.vmdk" qemu-img convert -f vpc -O vmdk "$work/src.vhd" "$work/q.vmdk"
    measure vmdk-to-vhd ours "$work/src.vmdk" "$work/o.vhd" "$driver" vhd "$work/src.vmdk" "$work/o.vhd"
    measure vmdk-to-vhd qemu "$work/src.vmdk" "$work/q.vhd" qemu-img convert -f vmdk -O vpc -o subformat=dynamic "$work/src.vmdk" "$work/q.vhd"
    measure dense-vhd ours "$dense" "$work/o.vhd" "$driver" vhd "$dense" "$work/o.vhd"
    measure dense-vhd qemu "$dense" "$work/q.vhd" qemu-img convert -f raw -O vpc -o subformat=dynamic "$dense" "$work/q.vhd"
    measure dense-vmdk ours "$dense" "$work/o.vmdk" "$driver" sparse "$dense" "$work/o.vmdk"
    measure dense-vmdk qemu "$dense" "$work/q.vmdk" qemu-img convert -f raw -O vmdk "$dense" "$work/q.vmdk"
done

python3 - "$results" "$used_bytes" "$(nproc)" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
by = {}
for w, tool, t, size, alloc, rss in rows:
    by.setdefault((w, tool), []).append((float(t), int(size), int(alloc), int(rss)))
copy = statistics.median(x[0] for x in by[("copy", "copy")])
print("\nused bytes %s, %s cores, copy of the used bytes %.2f s (median)\n" % (sys.argv[2], sys.argv[3], copy))
print("| work | ours s (min-max) | qemu-img s (min-max) | ours / qemu-img | ours / used-bytes copy | output ours / qemu-img (allocated MB) | peak memory ours / qemu-img (MiB) |")
print("|---|---|---|---|---|---|---|")
for w in ["vhd", "fixed", "sparse", "stream", "read-vhd", "read-vmdk", "vhd-to-vmdk", "vmdk-to-vhd", "dense-vhd", "dense-vmdk"]:
    o, q = by[(w, "ours")], by[(w, "qemu")]
    mo, mq = statistics.median(x[0] for x in o), statistics.median(x[0] for x in q)
    print("| %s | %.2f (%.2f-%.2f) | %.2f (%.2f-%.2f) | %.2f | %.2f | %d / %d | %.1f / %.1f |" % (
        w, mo, min(x[0] for x in o), max(x[0] for x in o), mq, min(x[0] for x in q), max(x[0] for x in q),
        mo / mq, mo / copy, o[0][2] / 1e6, q[0][2] / 1e6, max(x[3] for x in o) / 1024, max(x[3] for x in q) / 1024))
PY
