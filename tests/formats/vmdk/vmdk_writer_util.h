// Helpers of the VMDK writer and maintenance tests: raw sources, reading images back through our
// own reader, the qemu-img oracles, and file-system fixtures with garbage in their free space.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace vmdkwtest {

using namespace testsupport;

// A disk handle that closes itself.
struct Disk {
    DiskHandle handle;
    Disk() { Disk_Init(&handle); }
    ~Disk() { Disk_Close(&handle); }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;
    int OpenRaw(const std::string& path, uint32_t heads = 16, uint32_t sectors = 63)
    {
        uint64_t size = 0;
        if (!File_GetSizeByPath(path.c_str(), &size)) return DISK_ERR_OPEN;
        DiskGeometry g{};
        Geometry_SetTotalSectors(&g, size / 512);
        g.heads = heads;
        g.sectors_per_track = sectors;
        g.bytes_per_sector = 512;
        return Disk_OpenRaw(&handle, path.c_str(), true, 0, &g);
    }
    int OpenVmdk(const std::string& path, bool readOnly = true,
                 int parentMode = VMDK_PARENT_REQUIRED)
    {
        return Disk_OpenVmdkWithHandler(&handle, nullptr, path.c_str(), readOnly, parentMode,
                                        nullptr);
    }
    VmdkImage* Image() const { return static_cast<VmdkImage*>(handle.object); }
    uint64_t Total() const
    {
        DiskGeometry g{};
        Disk_GetGeometry(&handle, &g);
        return Geometry_GetTotalSectors(&g);
    }
    void Close() { Disk_Close(&handle); }
};

// A used-sector map that frees itself.
struct Map {
    UsedSectorMap* map = nullptr;
    uint32_t known = 0;
    int Build(const DiskHandle* disk)
    {
        int r = DISK_OK;
        map = UsedMap_Create(disk, &r, &known);
        return map ? DISK_OK : (r != DISK_OK ? r : DISK_ERR_FS_CORRUPT);
    }
    // A map without regions: every sector counts as used.
    void Empty()
    {
        map = UsedMap_Alloc();
        UsedMap_Init(map);
    }
    ~Map()
    {
        if (map) {
            UsedMap_Destroy(map);
            Mem_Free(map);
        }
    }
};

// Every byte of a disk through the core's read.
inline std::vector<uint8_t> ReadDisk(const DiskHandle* disk, int* result = nullptr)
{
    DiskGeometry g{};
    Disk_GetGeometry(disk, &g);
    uint64_t bytes = Geometry_GetTotalSectors(&g) * 512;
    std::vector<uint8_t> out(bytes);
    int r = DISK_OK;
    for (uint64_t at = 0; at < bytes && r == DISK_OK;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1 << 20, bytes - at));
        r = Disk_Read(disk, at, n, out.data() + at);
        at += n;
    }
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, DISK_OK);
    return out;
}

// A disk with random data in some 64 KiB blocks, zeros elsewhere, and data in its last sector.
inline std::vector<uint8_t> PatternDisk(uint64_t bytes, uint32_t seed)
{
    std::vector<uint8_t> disk(bytes, 0);
    std::vector<uint8_t> noise = RandomBytes(bytes, seed);
    for (uint64_t at = 0; at < bytes; at += 65536) {
        uint64_t n = std::min<uint64_t>(65536, bytes - at);
        if ((at / 65536) % 3 == 0) std::memcpy(disk.data() + at, noise.data() + at, n);
    }
    if (bytes >= 65536 * 2) disk[65536 + 4000] = 0x5A;  // one byte in an otherwise empty grain
    if (bytes >= 512) std::memcpy(disk.data() + bytes - 512, noise.data(), 512);
    return disk;
}

struct FreeOptions {
    void operator()(VmdkCreateOptions* o) const { Mem_Free(o); }
};
using Options = std::unique_ptr<VmdkCreateOptions, FreeOptions>;

// The destination page's layouts: 0 sparse, 1 flat, 2 sparse with compressed grains,
// 3 stream-optimised; 4 stands for a vmfs disk (flat 2).
struct Layout {
    const char* name;
    uint32_t choice;
    bool split;
};

// Options as the conversion run fills them: extents of splitSectors (0: one extent), a first
// extent of 63 sectors with firstTrack.
inline Options MakeOptions(uint32_t choice, bool firstTrack, uint64_t total, uint32_t splitSectors,
                           uint32_t adapter = VMDK_ADAPTER_IDE, uint32_t hw = 4)
{
    std::vector<uint32_t> sizes;
    uint64_t rest = total;
    if (firstTrack) {
        sizes.push_back(63);
        rest -= 63;
    }
    if (splitSectors == 0) {
        sizes.push_back(static_cast<uint32_t>(rest));
    } else {
        while (rest) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(rest, splitSectors));
            sizes.push_back(n);
            rest -= n;
        }
    }
    Options o(Vmdk_AllocCreateOptions(static_cast<uint32_t>(sizes.size())));
    o->mode = 0;
    o->split = firstTrack || splitSectors ? 1 : 0;
    o->flat = choice == 1 ? VMDK_LAYOUT_FLAT : choice == 4 ? VMDK_LAYOUT_VMFS : VMDK_LAYOUT_SPARSE;
    o->compressedGrains = choice == 2 || choice == 3;
    o->streamOptimized = choice == 3;
    o->adapter = adapter;
    o->hwVersionIndex = hw;
    o->encodingChoice = VMDK_ENCODING_UTF8;
    for (uint32_t i = 0; i < sizes.size(); ++i)
        Vmdk_CreateOptionsExtent(o.get(), i)->sectors = sizes[i];
    return o;
}

// Writes an image of a raw file with our creator (hardware version "7" unless given).
inline int CreateImage(const std::string& raw, const std::string& out, uint32_t choice,
                       bool firstTrack = false, uint32_t splitSectors = 0, uint32_t hw = 4)
{
    Disk source;
    int r = source.OpenRaw(raw);
    if (r != DISK_OK) return r;
    Options o = MakeOptions(choice, firstTrack, source.Total(), splitSectors, VMDK_ADAPTER_IDE, hw);
    return Vmdk_Create(out.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get());
}

inline bool HaveQemu() { return HaveTool("qemu-img") && HaveTool("qemu-io"); }

inline std::string Run(const std::string& command, int* status = nullptr)
{
    std::string out;
    int r = RunCommand(command + " 2>&1", &out);
    if (status) *status = r;
    return out;
}

inline int Sh(const std::string& command)
{
    int r = 0;
    std::string out = Run(command, &r);
    EXPECT_EQ(r, 0) << command << "\n" << out;
    return r;
}

// qemu-img check of an image: "" when clean, else qemu's answer.
inline std::string QemuCheck(const std::string& image)
{
    int r = 0;
    std::string out = Run("qemu-img check -f vmdk " + Quote(image), &r);
    return r == 0 ? std::string() : out;
}

// qemu-img compare: "" when the contents are identical, else qemu's answer.
inline std::string QemuCompare(const std::string& a, const std::string& fa, const std::string& b,
                               const std::string& fb)
{
    int r = 0;
    std::string out =
        Run("qemu-img compare -f " + fa + " -F " + fb + " " + Quote(a) + " " + Quote(b), &r);
    return r == 0 ? std::string() : out;
}

inline bool HaveLibvmdk()
{
    return RunCommand("/usr/bin/python3 -c 'import pyvmdk' >/dev/null 2>&1") == 0;
}

// Reads an image through libvmdk (python3 pyvmdk) and compares every sector with a raw file
// (in single sectors, in odd-sized reads and in 1 MiB reads): 0 equal, 1 a sector differs, 2
// libvmdk does not open the image; *message gets libvmdk's answer.
inline int LibvmdkCompare(const std::string& image, const std::string& raw,
                          std::string* message = nullptr)
{
    int r = 0;
    std::string out =
        Run(std::string("/usr/bin/python3 ") + VDX_TEST_SOURCE_DIR +
                "/formats/vmdk/vmdk_libvmdk_compare.py " + Quote(image) + " " + Quote(raw),
            &r);
    if (message) *message = out;
    return r == 0 ? 0 : r == 2 ? 2 : 1;
}

inline bool Exists(const std::string& path) { return Os_PathExists(path.c_str()); }

inline uint64_t FileSize(const std::string& path)
{
    uint64_t size = 0;
    File_GetSizeByPath(path.c_str(), &size);
    return size;
}

// Names of the files in a directory, sorted.
inline std::vector<std::string> ListDir(const std::string& dir)
{
    std::string out = Run("ls -1 " + Quote(dir));
    std::vector<std::string> names;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        if (end > at) names.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every file of a directory with its contents.
inline std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& dir)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string& name : ListDir(dir)) files[name] = ReadFile(dir + "/" + name);
    return files;
}

// A disk holding one partition with a file system made by mke2fs or mkfs.fat, files filling
// part of it, and random garbage written into every free block (dirty) — beside the same disk
// with its free space still zero (clean). Built by vmdk_garbage_fs.py; false when a tool is
// missing.
inline bool MakeGarbageVolume(const std::string& dir, const std::string& kind, uint64_t diskSectors,
                              std::string* dirty, std::string* clean, std::string* log = nullptr)
{
    *dirty = dir + "/" + kind + "-dirty.raw";
    *clean = dir + "/" + kind + "-clean.raw";
    int r = 0;
    std::string out = Run(
        std::string("python3 ") + VDX_TEST_SOURCE_DIR + "/formats/vmdk/vmdk_garbage_fs.py " + kind +
            " " + std::to_string(diskSectors) + " " + Quote(*dirty) + " " + Quote(*clean),
        &r);
    if (log) *log = out;
    return r == 0;
}

}  // namespace vmdkwtest
