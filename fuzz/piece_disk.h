// Shared by the volume-driver fuzz targets that build a disk from pieces of the input.
//
// Input: byte 0 picks the disk's bytes per sector (512, 256, 1024, 4096; its low two bits); the
// rest is a list of pieces {u32 LE 512-byte unit, u16 LE length, bytes} written into an
// otherwise zero disk of 8 MiB (units wrap round the disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

namespace piecedisk {

constexpr uint64_t kDiskBytes = 8u << 20;

// Writes the disk image of the input; false when it cannot be made.
inline bool MakeDisk(const uint8_t* data, size_t size, const std::string& path,
                     uint32_t* sectorBytes)
{
    static const uint32_t kSizes[4] = {512, 256, 1024, 4096};
    *sectorBytes = size > 0 ? kSizes[data[0] & 3] : 512;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = ftruncate(fd, static_cast<off_t>(kDiskBytes)) == 0;
    size_t at = 1;
    while (ok && at + 6 <= size) {
        uint32_t unit = static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
                        static_cast<uint32_t>(data[at + 2]) << 16 |
                        static_cast<uint32_t>(data[at + 3]) << 24;
        size_t length = static_cast<size_t>(data[at + 4]) | static_cast<size_t>(data[at + 5]) << 8;
        at += 6;
        if (length > size - at) {
            length = size - at;
        }
        uint64_t offset = (static_cast<uint64_t>(unit) * 512) % kDiskBytes;
        if (length > kDiskBytes - offset) {
            length = static_cast<size_t>(kDiskBytes - offset);
        }
        ok = pwrite(fd, data + at, length, static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(length);
        at += length;
    }
    close(fd);
    return ok;
}

inline std::string DiskPath(const char* name)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "_" +
           std::to_string(static_cast<long>(getpid())) + ".img";
}

inline void QueryMap(const UsedSectorMap* map, uint64_t total)
{
    std::vector<uint8_t> bits(8192 / 8 + 1);
    for (uint64_t s = 0; s < total; s += 8192) {
        int32_t n = static_cast<int32_t>(total - s < 8192 ? total - s : 8192);
        UsedMap_GetUsedBits(map, s, n, bits.data());
    }
    bool empty = false;
    uint64_t before = 0;
    UsedMap_ScanRangeForData(map, 0, 1 << 20, nullptr, &empty, &before);
}

// Opens the disk made from the input as a raw disk in `disk`; its sector count in `total`.
inline bool Open(const uint8_t* data, size_t size, const char* name, DiskHandle* disk,
                 uint64_t* total)
{
    static const std::string path = DiskPath(name);
    uint32_t sectorBytes = 512;
    if (!MakeDisk(data, size, path, &sectorBytes)) {
        return false;
    }
    DiskGeometry g{};
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = sectorBytes;
    *total = kDiskBytes / sectorBytes;
    Geometry_SetTotalSectors(&g, *total);
    Disk_Init(disk);
    return Disk_OpenRaw(disk, path.c_str(), true, 0, &g) == DISK_OK;
}

// Builds the map of the disk as a conversion would, queries it, and closes the disk.
inline void MapAndClose(DiskHandle* disk, uint64_t total)
{
    int result = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(disk, &result, &known);
    if (map != nullptr) {
        QueryMap(map, total);
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    Disk_Close(disk);
}

}  // namespace piecedisk
