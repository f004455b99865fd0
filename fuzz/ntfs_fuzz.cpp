// Fuzz target: the used-sector map over a disk made from the input (see piece_disk.h), aimed at
// the NTFS driver: the driver is attached to the whole disk and queried, then the map is built
// from the disk as the conversion would build it.
#include <cstdint>
#include <vector>

#include "fuzz/piece_disk.h"
#include "volume/ntfs_fs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DiskHandle disk;
    uint64_t total = 0;
    if (!piecedisk::Open(data, size, "ntfs_fuzz", &disk, &total)) {
        return 0;
    }
    VolumeRegion region;
    VolumeRegion_Init(&region);
    if (Fs_AttachNtfs(&region, &disk, 0, total) == DISK_OK) {
        std::vector<uint8_t> bits(total / 8 + 1);
        Ntfs_FillUsedBits(region.object, 0, static_cast<uint32_t>(total), bits.data(), 0);
        std::vector<uint8_t> zeros(65536, 0);
        bool empty = false;
        uint64_t before = 0;
        Ntfs_TestData(region.object, 4095, 65536, zeros.data(), &empty, nullptr);
        Ntfs_TestData(region.object, 0, 1u << 20, nullptr, &empty, &before);
        VolumeRegion_Destroy(&region);
    }

    piecedisk::MapAndClose(&disk, total);
    return 0;
}
