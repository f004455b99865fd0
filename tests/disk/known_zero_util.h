// A sweep of the known-zero query over a whole disk, shared by the tests of the disks that
// answer it from the holes of their files.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "foundation/platform.h"

namespace knownzero {

struct SweepResult {
    uint64_t blocks = 0;
    uint64_t knownZero = 0;
};

// Asks Disk_IsRangeKnownZero for every block of blockSectors sectors and then reads the block,
// in ascending order (what a writer does, and what forward-only disks need). Every block
// answered zero must read as zeros; every block that mustBeZero(first, count) names must be
// answered zero.
inline SweepResult Sweep(const DiskHandle* h, uint32_t blockSectors,
                         const std::function<bool(uint64_t, uint32_t)>& mustBeZero)
{
    SweepResult result;
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(h, &g);
    const uint64_t total = Geometry_GetTotalSectors(&g);
    std::vector<uint8_t> buffer(static_cast<size_t>(blockSectors) * g.bytes_per_sector);
    for (uint64_t first = 0; first < total; first += blockSectors) {
        const uint32_t count =
            static_cast<uint32_t>(total - first < blockSectors ? total - first : blockSectors);
        bool zero = false;
        EXPECT_EQ(Disk_IsRangeKnownZero(h, first, count, &zero), DISK_OK) << first;
        ++result.blocks;
        const uint32_t bytes = count * g.bytes_per_sector;
        EXPECT_EQ(Disk_Read(h, first * g.bytes_per_sector, bytes, buffer.data()), DISK_OK);
        if (zero) {
            ++result.knownZero;
            EXPECT_TRUE(Mem_IsZero(buffer.data(), bytes)) << "block at sector " << first;
        } else {
            EXPECT_FALSE(mustBeZero(first, count)) << "hole not found at sector " << first;
        }
    }
    return result;
}

}  // namespace knownzero
