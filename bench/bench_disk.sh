# Shared by the conversion benchmarks, sourced after they set bench_target (the driver program):
# reads the options, builds the driver, makes the benchmark disk and defines run().
#
# The disk: an MBR with one Linux partition from sector 2048 to the end, ext4 made by mke2fs
# with files of random data added by -d (40 % of the volume), then random garbage written into
# every free block that dumpe2fs lists. The disk is read once before the runs, so every run
# starts from the page cache.
here=$(cd "$(dirname "$0")" && pwd)
size_gib=4
base=${TMPDIR:-/tmp}
build="$here/../build-bench"
while [ $# -gt 0 ]; do
    case "$1" in
        --size-gib) size_gib=$2; shift 2 ;;
        --dir) base=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        *) echo "usage: $0 [--size-gib N] [--dir DIRECTORY] [--build BUILD_DIRECTORY]" >&2; exit 2 ;;
    esac
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target "$bench_target" -j"$(nproc)" >/dev/null
driver=$(find "$build" -name "$bench_target" -type f -perm -u+x | head -n 1)

work=$(mktemp -d "$base/$bench_target.XXXXXX")
trap 'rm -rf "$work"' EXIT
disk="$work/disk.raw"
fs="$work/fs.img"

now() { date +%s.%N; }

echo "making a $size_gib GiB disk in $work"
total=$((size_gib * 1024 * 1024 * 1024))
part_bytes=$((total - 1048576))
truncate -s "$part_bytes" "$fs"
mkdir "$work/root"
python3 - "$work/root" "$((part_bytes * 2 / 5))" <<'EOF'
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
EOF
mke2fs -q -F -t ext4 -d "$work/root" "$fs"
rm -rf "$work/root"
# Garbage in every free block, as dumpe2fs lists them.
dumpe2fs "$fs" 2>/dev/null | python3 -c '
import os, re, sys
text = sys.stdin.read()
block = int(re.search(r"^Block size:\s+(\d+)", text, re.M).group(1))
noise = os.urandom(8 << 20)
free = 0
with open(sys.argv[1], "r+b") as f:
    for m in re.finditer(r"^\s+Free blocks: (.*)$", text, re.M):
        for item in filter(None, (x.strip() for x in m.group(1).split(","))):
            a, _, b = item.partition("-")
            first, last = int(a), int(b or a)
            at, left = first * block, (last - first + 1) * block
            free += left
            while left:
                n = min(left, len(noise))
                f.seek(at)
                f.write(noise[(at // block * 4096) % (len(noise) - n + 1):][:n])
                at += n
                left -= n
print("ext4 volume: %.1f %% free, garbage written there" % (100.0 * free / os.path.getsize(sys.argv[1])))
' "$fs"
# MBR with one partition from sector 2048, then the volume.
python3 - "$disk" "$fs" "$((part_bytes / 512))" <<'EOF'
import struct, sys
disk, fs, sectors = sys.argv[1], sys.argv[2], int(sys.argv[3])
mbr = bytearray(512)
struct.pack_into("<B3sB3sII", mbr, 446, 0, b"\xfe\xff\xff", 0x83, b"\xfe\xff\xff", 2048, sectors)
mbr[510:512] = b"\x55\xaa"
with open(disk, "wb") as f:
    f.write(mbr)
    f.truncate(1048576)
EOF
cat "$fs" >> "$disk"
rm -f "$fs"
sync
cat "$disk" > /dev/null

run() {  # label command...: prints seconds including sync
    label=$1
    shift
    t0=$(now)
    "$@" >"$work/$label.log" 2>&1 || { cat "$work/$label.log" >&2; exit 1; }
    sync
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}
