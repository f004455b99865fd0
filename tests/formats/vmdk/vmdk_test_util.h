// Helpers of the VMDK tests: opening images, reading whole disks, raw sources and fixtures made
// by qemu-img and qemu-io.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vmdk/vmdk.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace vmdktest {

using namespace testsupport;

// An open image that closes and frees itself.
struct Image {
    VmdkImage* image = nullptr;
    Image()
    {
        image = Vmdk_Alloc();
        Vmdk_Init(image);
    }
    ~Image()
    {
        Vmdk_Close(image);
        Mem_Free(image);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    int Open(const std::string& path, bool readOnly = true, int parentMode = VMDK_PARENT_REQUIRED)
    {
        return Vmdk_OpenParentMode(image, path.c_str(), readOnly, parentMode);
    }
    uint64_t Total() const { return Geometry_GetTotalSectors(&image->geometry); }
    DiskHandle Handle() const { return DiskHandle{DISK_KIND_VMDK, image}; }
};

// An open disk handle of any kind that closes and frees itself.
struct Disk {
    DiskHandle* handle = nullptr;
    Disk()
    {
        handle = Disk_Alloc();
        Disk_Init(handle);
    }
    ~Disk()
    {
        Disk_Close(handle);
        Mem_Free(handle);
    }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;
    int OpenRaw(const std::string& path, uint64_t sectors)
    {
        DiskGeometry g{};
        Geometry_SetTotalSectors(&g, sectors);
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        return Disk_OpenRaw(handle, path.c_str(), true, 0, &g);
    }
    uint64_t Total() const
    {
        DiskGeometry g{};
        Disk_GetGeometry(handle, &g);
        return Geometry_GetTotalSectors(&g);
    }
};

// Reads a whole disk through Vmdk_Read in pieces of `piece` bytes.
inline std::vector<uint8_t> ReadAll(VmdkImage* image, uint32_t piece = 1 << 20,
                                    int* result = nullptr)
{
    uint64_t bytes = Geometry_GetTotalSectors(&image->geometry) * 512;
    std::vector<uint8_t> out(bytes);
    int r = DISK_OK;
    for (uint64_t at = 0; at < bytes && r == DISK_OK;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece, bytes - at));
        r = Vmdk_Read(image, at, n, out.data() + at);
        at += n;
    }
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, DISK_OK);
    return out;
}

inline std::vector<uint8_t> ReadRange(VmdkImage* image, uint64_t offset, uint32_t length)
{
    std::vector<uint8_t> out(length);
    EXPECT_EQ(Vmdk_Read(image, offset, length, out.data()), DISK_OK);
    return out;
}

inline std::vector<uint8_t> ReadFileRange(const std::string& path, uint64_t offset, uint32_t length)
{
    std::vector<uint8_t> out(length, 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    fseeko(f, static_cast<off_t>(offset), SEEK_SET);
    size_t got = std::fread(out.data(), 1, length, f);
    (void)got;
    std::fclose(f);
    return out;
}

// A raw disk image with random data in some grains, zeros elsewhere, and a garbage-free tail.
// Every third 64 KiB block holds data; block 1 holds a single non-zero byte at its end.
inline std::vector<uint8_t> PatternDisk(uint64_t bytes, uint32_t seed)
{
    std::vector<uint8_t> disk(bytes, 0);
    std::vector<uint8_t> noise = RandomBytes(bytes, seed);
    for (uint64_t at = 0; at < bytes; at += 65536) {
        uint64_t block = at / 65536;
        uint64_t n = std::min<uint64_t>(65536, bytes - at);
        if (block % 3 == 0) std::memcpy(disk.data() + at, noise.data() + at, n);
        if (block == 1 && n == 65536) disk[at + n - 1] = 0x5A;
    }
    if (bytes >= 512)
        std::memcpy(disk.data() + bytes - 512, noise.data(), 512);  // data in the last sector
    return disk;
}

inline bool Qemu() { return HaveTool("qemu-img") && HaveTool("qemu-io"); }

inline int Sh(const std::string& command)
{
    std::string out;
    int r = RunCommand(command + " 2>&1", &out);
    EXPECT_EQ(r, 0) << command << "\n" << out;
    return r;
}

// A used-sector map over `total` sectors that marks every grain (128 sectors) whose index is odd
// as free; it borrows the placeholder kind's slot of the driver tables while it lives.
inline int FakeUsedBits(void*, uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset)
{
    for (uint32_t i = 0; i < count; ++i)
        Fs_SetBits(bitmap, bitOffset + i, 1, ((first + i) / 128) % 2 == 0);
    return DISK_OK;
}

struct OddGrainsFreeMap {
    UsedSectorMap map;
    FsUsedBitsFn savedFill;
    explicit OddGrainsFreeMap(uint64_t total)
    {
        savedFill = FsUsedBitsTable[FS_KIND_UNSUPPORTED];
        FsUsedBitsTable[FS_KIND_UNSUPPORTED] = FakeUsedBits;
        UsedMap_Init(&map);
        map.bytesPerSector = 512;
        map.regionCount = 1;
        map.regions = static_cast<VolumeRegion*>(Mem_Alloc(sizeof(VolumeRegion)));
        map.regions[0].first = 0;
        map.regions[0].count = total;
        map.regions[0].kind = FS_KIND_UNSUPPORTED;
        map.regions[0].object = Mem_Alloc(8);
    }
    ~OddGrainsFreeMap()
    {
        UsedMap_Destroy(&map);
        FsUsedBitsTable[FS_KIND_UNSUPPORTED] = savedFill;
    }
    OddGrainsFreeMap(const OddGrainsFreeMap&) = delete;
    OddGrainsFreeMap& operator=(const OddGrainsFreeMap&) = delete;
    // The data as a disk read through the map keeps it: free grains zeroed.
    static std::vector<uint8_t> Keep(std::vector<uint8_t> data)
    {
        for (uint64_t at = 0; at < data.size(); at += 65536) {
            if ((at / 65536) % 2 == 1)
                std::memset(data.data() + at, 0, std::min<uint64_t>(65536, data.size() - at));
        }
        return data;
    }
};

}  // namespace vmdktest
