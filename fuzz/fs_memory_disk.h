// A read-only disk over a byte buffer for the file-system driver fuzz targets: it takes the
// operation-table slot that no disk kind uses, so the targets need nothing but the engine.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/disk.h"

namespace fsfuzz {

const DiskKind kMemoryKind = 15;  // empty in every operation table

struct MemoryDisk {
    std::vector<uint8_t> bytes;
    DiskGeometry geometry;
};

inline void MemoryGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<MemoryDisk*>(object)->geometry;
}

inline int MemoryRead(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    const MemoryDisk* d = static_cast<MemoryDisk*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &d->geometry)) {
        return DISK_ERR_ARG;
    }
    std::memcpy(buffer, d->bytes.data() + offset, length);
    return DISK_OK;
}

// A handle over `disk` (whose bytes are a whole number of sectors of bytesPerSector).
inline DiskHandle Open(MemoryDisk* disk, uint32_t bytesPerSector)
{
    DiskGeometryTable[kMemoryKind] = MemoryGeometry;
    DiskReadTable[kMemoryKind] = MemoryRead;
    disk->geometry = DiskGeometry{};
    disk->geometry.heads = 8;
    disk->geometry.sectors_per_track = 17;
    disk->geometry.bytes_per_sector = bytesPerSector;
    Geometry_SetTotalSectors(&disk->geometry, disk->bytes.size() / bytesPerSector);
    DiskHandle h;
    h.kind = kMemoryKind;
    h.object = disk;
    return h;
}

// Sector size picked by the input's last byte (its first bytes hold the signatures).
inline uint32_t PickSectorSize(const uint8_t* data, size_t size)
{
    static const uint32_t kSizes[] = {512, 256, 1024, 4096};
    return size == 0 ? 512 : kSizes[data[size - 1] % 4];
}

}  // namespace fsfuzz
