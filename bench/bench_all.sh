#!/bin/bash
# Every writer timed against `qemu-img convert` to the same format in one interleaved series
# (each round runs every work once, ours and qemu-img's back to back, the order swapped every
# round), each command followed by a sync of its output and starting with the data of its
# source in the page cache. Reports medians with min-max, the time ratio, the outputs' allocated
# bytes and the peak resident memory of both tools (/usr/bin/time), as Markdown.
#
# Two sets of disks:
#   random: one disk made over random bytes: an MBR with one ext4 partition from sector 2048,
#     the file system made by mke2fs over a file already filled with random bytes (blocks mkfs
#     never writes hold garbage, as on a reused disk), with random files filling about 45 % of
#     it. Works: every writer, and qemu-made VHDX, qcow2 and VDI images of the disk read back to
#     a raw image. A plain copy of just the used bytes is timed as the bound.
#   sparse: sparse files of each size with a GPT and one ext4 partition (lazy inode tables) over
#     the whole disk, all holding the same files (taken from /usr). Works: every writer.
#
#   bench/bench_all.sh [--quick] [--set random|sparse|all] [--disk-gib N] [--sizes "4 16 ..."]
#                      [--files-mib N] [--runs N] [--big-runs N] [--works "vhd qcow2 ..."]
#                      [--limit SECONDS] [--no-check] [--keep FILE] [--dir DIR] [--build DIR]
#
# Defaults: both sets, a 4 GiB random disk, sparse disks of 4, 16, 64, 256 and 2040 GiB (2040 GiB
# is the largest disk a VHD holds) with 1024 MiB of files, 3 runs (1 for sparse disks above
# 64 GiB), at most 1800 s per command. --quick: a 2 GiB random disk, sparse disks of 4 and 16
# GiB with 256 MiB of files, one run. In the first round every output of ours is checked with
# `qemu-img check` where qemu-img checks that format, and on the sparse disks compared with the
# source by `qemu-img compare` (--no-check leaves both out). --keep copies the raw results.
# Needs cmake, mke2fs, sfdisk, python3, qemu-img, coreutils' timeout and /usr/bin/time.
# Never run by the test suite.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
set_name=all
disk_gib=4
sizes="4 16 64 256 2040"
files_mib=1024
runs=3
big_runs=1
limit=1800
check=1
keep=
writers="vhd fixed vhdx vmdk stream qcow qcow-c qcow2 qcow2-c vdi parallels bundle"
works=
base=${TMPDIR:-/tmp}
build="$here/../build-bench"
usage() {
    sed -n '/^#   bench/,/^#  *\[--limit/p' "$0" | sed 's/^# *//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) disk_gib=2; sizes="4 16"; files_mib=256; runs=1; big_runs=1; shift ;;
        --set) set_name=$2; shift 2 ;;
        --disk-gib) disk_gib=$2; shift 2 ;;
        --sizes) sizes=$2; shift 2 ;;
        --files-mib) files_mib=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --big-runs) big_runs=$2; shift 2 ;;
        --works) works=$2; shift 2 ;;
        --limit) limit=$2; shift 2 ;;
        --no-check) check=0; shift ;;
        --keep) keep=$2; shift 2 ;;
        --dir) base=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        *) usage ;;
    esac
done
case "$set_name" in random|sparse|all) ;; *) usage ;; esac
[ -n "$works" ] || works="$writers read-vhdx read-qcow2 read-vdi"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target convert_bench -j3 >/dev/null
driver=$(find "$build" -name convert_bench -type f -perm -u+x | head -n 1)

work=$(mktemp -d "$base/bench_all.XXXXXX")
trap 'rm -rf "$work"' EXIT
results="$work/results.txt"
: > "$results"

# qemu-img's options for the format each kind writes. It has no bundle writer: the bundle is
# timed against its single Parallels file. Its compressed qcow output fails (7.2 exits with 1
# and no message), so compressed qcow is timed against its compressed qcow2.
qemu_args() {
    case "$1" in
        vhd) echo "-O vpc -o subformat=dynamic" ;;
        fixed) echo "-O vpc -o subformat=fixed" ;;
        vhdx) echo "-O vhdx" ;;
        vmdk) echo "-O vmdk" ;;
        stream) echo "-O vmdk -o subformat=streamOptimized" ;;
        qcow) echo "-O qcow" ;;
        qcow-c) echo "-c -O qcow2" ;;
        qcow2) echo "-O qcow2" ;;
        qcow2-c) echo "-c -O qcow2" ;;
        vdi) echo "-O vdi" ;;
        parallels|bundle) echo "-O parallels" ;;
        raw) echo "-O raw" ;;
    esac
}
source_format() {  # by the extension; a .raw file is a raw disk
    case "$1" in *.raw) echo raw ;; *) echo "${1##*.}" ;; esac
}
# qemu-img's name of the format each kind writes.
image_format() {
    case "$1" in
        vhd|fixed) echo vpc ;; vmdk|stream) echo vmdk ;; qcow|qcow-c) echo qcow ;;
        qcow2|qcow2-c) echo qcow2 ;; parallels|bundle) echo parallels ;; *) echo "$1" ;;
    esac
}
# qemu-img check's format name, empty where it checks nothing.
check_format() {
    case "$1" in
        vhdx) echo vhdx ;; vmdk|stream) echo vmdk ;; qcow2|qcow2-c) echo qcow2 ;;
        vdi) echo vdi ;; parallels) echo parallels ;;
    esac
}

# Reads the data ranges of a file (holes are skipped), so that a run starts with its source's
# data in the page cache whatever ran before it.
warm() {
    python3 - "$1" <<'PY'
import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
end = os.fstat(fd).st_size
at = 0
while at < end:
    try:
        at = os.lseek(fd, at, os.SEEK_DATA)
    except OSError:
        break
    hole = os.lseek(fd, at, os.SEEK_HOLE)
    while at < hole:
        n = min(hole - at, 8 << 20)
        os.pread(fd, n, at)
        at += n
PY
}

sync_output() {  # fsync every file of an output (a file or a bundle directory)
    if [ -d "$1" ]; then
        find "$1" -type f -exec sync {} +
        sync "$1"
    elif [ -e "$1" ]; then
        sync "$1"
    fi
}

# measure DISK WORK TOOL SOURCE OUTPUT COMMAND...: one timed run (command and sync), then one
# results line: disk work tool seconds allocated-bytes apparent-bytes peak-KiB status.
measure() {
    local d=$1 w=$2 tool=$3 src=$4 out=$5
    shift 5
    rm -rf "$out"
    # The removal of the last output (its blocks freed, and discarded where the file system does
    # so) is committed before the clock starts, so that no command pays for its predecessor's.
    sync -f "$work"
    warm "$src"
    local t0 t1 status=ok
    t0=$(date +%s.%N)
    if ! /usr/bin/time -f %M -o "$work/time.txt" timeout -s KILL "$limit" "$@" \
            > "$work/cmd.log" 2>&1; then
        if [ "$(( $(date +%s) - ${t0%.*} ))" -ge "$limit" ]; then status=timeout; else status=failed; fi
        echo "$d $w $tool: $status" >&2
        tail -n 3 "$work/cmd.log" >&2
    fi
    sync_output "$out"
    t1=$(date +%s.%N)
    local rss alloc=0 apparent=0
    rss=$(tail -n 1 "$work/time.txt")
    case "$rss" in *[!0-9]*|'') rss=0 ;; esac
    if [ -e "$out" ]; then
        alloc=$(du -s -B1 "$out" | cut -f1)
        apparent=$(du -s -B1 --apparent-size "$out" | cut -f1)
    fi
    echo "$d $w $tool $(echo "$t1 - $t0" | bc -l) $alloc $apparent $rss $status" >> "$results"
}

# verify KIND OUTPUT SOURCE-FORMAT SOURCE: qemu-img check (and compare, with a source) of ours.
verify() {
    local kind=$1 out=$2 image=$2 f
    [ -d "$out" ] && image=$(find "$out" -name '*.hds' | head -n 1)
    f=$(check_format "$kind")
    if [ -n "$f" ] && ! qemu-img check -q -f "$f" "$image" > "$work/check.log" 2>&1; then
        echo "CHECK FAILED: $kind" >&2
        cat "$work/check.log" >&2
        echo "check $kind failed" >> "$work/notes.txt"
    fi
    if [ $# -ge 4 ] && ! qemu-img compare -q -f "$3" -F "$(image_format "$kind")" "$4" "$image" > "$work/check.log" 2>&1; then
        echo "COMPARE FAILED: $kind" >&2
        cat "$work/check.log" >&2
        echo "compare $kind failed" >> "$work/notes.txt"
    fi
}

# run_works DISK SOURCE ROUNDS COMPARE: every work on one source, interleaved.
run_works() {
    local d=$1 src=$2 rounds=$3 compare=$4 round w kind s out ext
    for round in $(seq "$rounds"); do
        echo "$d: round $round of $rounds"
        if [ "$d" = random ]; then
            measure "$d" copy copy "$work/used.bin" "$work/copy.bin" cp "$work/used.bin" "$work/copy.bin"
            rm -f "$work/copy.bin"
        fi
        for w in $works; do
            kind=$w
            s=$src
            case "$w" in
                read-*) [ "$d" = random ] || continue
                        kind=raw; s="$work/src.${w#read-}" ;;
            esac
            ext=img
            [ "$kind" = bundle ] && ext=hdd
            out="$work/out.$ext"
            local ours=("$driver" "$kind" "$s" "$out")
            # shellcheck disable=SC2046
            local qemu=(qemu-img convert -f "$(source_format "$s")" $(qemu_args "$kind") "$s" "$out")
            if [ $((round % 2)) -eq 1 ]; then
                measure "$d" "$w" ours "$s" "$out" "${ours[@]}"
                if [ "$round" -eq 1 ] && [ "$check" -eq 1 ]; then
                    if [ "$compare" -eq 1 ]; then verify "$kind" "$out" raw "$s"; else verify "$kind" "$out"; fi
                fi
                measure "$d" "$w" qemu "$s" "$out" "${qemu[@]}"
            else
                measure "$d" "$w" qemu "$s" "$out" "${qemu[@]}"
                measure "$d" "$w" ours "$s" "$out" "${ours[@]}"
            fi
            rm -rf "$out"
        done
    done
}

# ---- The disk made over random bytes ------------------------------------------------------------
make_random_disk() {
    local disk=$1 fs="$work/fs.img"
    local total=$((disk_gib * 1024 * 1024 * 1024))
    local part_bytes=$((total - 1048576))
    echo "making a $disk_gib GiB disk over random bytes"
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
    echo "random $disk_gib GiB disk, ext4 used bytes $used_bytes" >> "$work/notes.txt"
}

# ---- Sparse disks holding the same files ----------------------------------------------------------
# Links to files under /usr (sorted, so every run takes the same ones) up to the budget.
stage_files() {
    mkdir "$work/files"
    python3 - "$work/files" "$((files_mib << 20))" <<'PY'
import os, sys
root, budget = sys.argv[1], int(sys.argv[2])
used, n = 0, 0
for top in ("/usr/lib", "/usr/share", "/usr/bin"):
    for folder, dirs, names in os.walk(top):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            try:
                st = os.lstat(path)
            except OSError:
                continue
            if not os.path.isfile(path) or os.path.islink(path) or st.st_size == 0:
                continue
            size = min(st.st_size, budget - used)
            target = os.path.join(root, "d%03d" % (n // 500), "f%06d" % n)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if size == st.st_size:
                try:
                    os.link(path, target)
                except OSError:
                    with open(path, "rb") as a, open(target, "wb") as b:
                        b.write(a.read())
            else:
                with open(path, "rb") as a, open(target, "wb") as b:
                    b.write(a.read(size))
            used += size
            n += 1
            if used >= budget:
                sys.exit(0)
PY
}

make_sparse_disk() {  # PATH GIB: GPT, one partition over the disk, ext4 with the staged files
    local disk=$1 gib=$2
    rm -f "$disk"
    truncate -s "${gib}G" "$disk"
    printf 'label: gpt\nstart=2048, type=linux\n' | sfdisk -q "$disk" >/dev/null
    local sectors
    sectors=$(sfdisk -l -o Sectors "$disk" | tail -n 1 | tr -d ' ')
    mke2fs -q -F -t ext4 -b 4096 -E offset=1048576,lazy_itable_init=1,nodiscard \
        -d "$work/files" "$disk" "$((sectors / 8))"
    echo "sparse $gib GiB disk: $(du -B1 "$disk" | cut -f1) bytes allocated" >> "$work/notes.txt"
}

# ---- Runs ---------------------------------------------------------------------------------------
: > "$work/notes.txt"
if [ "$set_name" != sparse ]; then
    make_random_disk "$work/disk.raw"
    for f in vhdx qcow2 vdi; do
        case " $works " in *" read-$f "*) qemu-img convert -f raw -O "$f" "$work/disk.raw" "$work/src.$f" ;; esac
    done
    run_works random "$work/disk.raw" "$runs" 0
    rm -f "$work/disk.raw" "$work"/src.* "$work/used.bin"
fi
if [ "$set_name" != random ]; then
    stage_files
    echo "files: $(du -s -B1 --apparent-size "$work/files" | cut -f1) bytes in $(find "$work/files" -type f | wc -l) files" >> "$work/notes.txt"
    for gib in $sizes; do
        echo "making a sparse $gib GiB disk"
        make_sparse_disk "$work/sparse.raw" "$gib"
        rounds=$runs
        [ "$gib" -gt 64 ] && rounds=$big_runs
        run_works "${gib}GiB" "$work/sparse.raw" "$rounds" 1
        rm -f "$work/sparse.raw"
    done
fi
[ -z "$keep" ] || { cp "$results" "$keep"; cp "$work/notes.txt" "$keep.notes"; }

# ---- Report -------------------------------------------------------------------------------------
python3 - "$results" "$work/notes.txt" "$(nproc)" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
notes = [l.rstrip() for l in open(sys.argv[2])]
by, disks, works = {}, [], []
for d, w, tool, t, alloc, apparent, rss, status in rows:
    by.setdefault((d, w, tool), []).append((float(t), int(alloc), int(apparent), int(rss), status))
    if d not in disks: disks.append(d)
    if w not in works and w != "copy": works.append(w)
med = lambda xs: statistics.median(x[0] for x in xs)
mib = lambda kib: kib / 1024.0
print("\n%s cores; %s\n" % (sys.argv[3], "; ".join(notes)))

def cell(d, w):
    o, q = by.get((d, w, "ours")), by.get((d, w, "qemu"))
    if not o or not q: return None
    bad = [x[4] for x in o + q if x[4] != "ok"]
    mo, mq = med(o), med(q)
    ao, aq = max(x[1] for x in o), max(x[1] for x in q)
    return dict(o=o, q=q, mo=mo, mq=mq, t=mo / mq if mq > 0 else float("inf"),
                ao=ao, aq=aq, a=ao / aq if aq > 0 else float("inf"),
                po=max(x[3] for x in o), pq=max(x[3] for x in q), bad=bad)

def span(xs):
    ts = [x[0] for x in xs]
    return "%.2f (%.2f-%.2f)" % (statistics.median(ts), min(ts), max(ts)) if len(ts) > 1 else "%.2f" % ts[0]

for d in disks:
    print("\n### %s\n" % ("disk made over random bytes" if d == "random" else "sparse disk of " + d))
    copy = by.get((d, "copy", "copy"))
    if copy: print("copy of the used bytes: %s s\n" % span(copy))
    print("| work | runs | ours s | qemu-img s | time ours / qemu-img | allocated MB ours / qemu-img | allocated ours / qemu-img | peak MiB ours / qemu-img |")
    print("|---|---|---|---|---|---|---|---|")
    for w in works:
        c = cell(d, w)
        if c is None: continue
        flag = (" **%s**" % ",".join(sorted(set(c["bad"])))) if c["bad"] else ""
        print("| %s%s | %d | %s | %s | %.2f | %.0f / %.0f | %.2f | %.1f / %.1f |" % (
            w, flag, len(c["o"]), span(c["o"]), span(c["q"]), c["t"], c["ao"] / 1e6, c["aq"] / 1e6,
            c["a"], mib(c["po"]), mib(c["pq"])))

sparse = [d for d in disks if d != "random"]
if sparse:
    print("\n### sparse disks: time ours / qemu-img, allocated ours / qemu-img, peak MiB of ours\n")
    print("| work | " + " | ".join(sparse) + " |")
    print("|---|" + "---|" * len(sparse))
    for w in works:
        cells = []
        for d in sparse:
            c = cell(d, w)
            cells.append("-" if c is None else "%.2f / %.2f / %.0f%s" % (c["t"], c["a"], mib(c["po"]), " (%s)" % c["bad"][0] if c["bad"] else ""))
        if any(x != "-" for x in cells): print("| %s | %s |" % (w, " | ".join(cells)))
peak = max((x[3] for k, v in by.items() if k[2] == "ours" for x in v), default=0)
print("\nlargest peak memory of ours: %.1f MiB" % mib(peak))
PY
