// The Btrfs driver and the used-sector map over a disk made from the input, placed after 64 KiB of
// zeros so that it starts with the superblock (the sector size is chosen by the input's last byte).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/platform.h"
#include "fuzz/fs_memory_disk.h"
#include "volume/btrfs_fs.h"
#include "volume/used_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint32_t b = fsfuzz::PickSectorSize(data, size);
    fsfuzz::MemoryDisk memory;
    memory.bytes.assign(0x10000, 0);
    memory.bytes.insert(memory.bytes.end(), data, data + size);
    memory.bytes.resize(memory.bytes.size() / b * b);
    const uint64_t sectors = memory.bytes.size() / b;
    if (sectors == 0) return 0;
    DiskHandle disk = fsfuzz::Open(&memory, b);
    std::vector<uint8_t> bits(sectors / 8 + 2);
    // The reading itself, and the used bits of a volume that reads consistently.
    BtrfsVolume volume;
    if (Btrfs_Open(&volume, &disk, 0, sectors) == DISK_OK) {
        Btrfs_FillUsedBits(&volume, 0, static_cast<uint32_t>(sectors), bits.data(), 3);
    }
    Btrfs_Destroy(&volume);
    // The driver on the whole disk, and every used bit it answers.
    VolumeRegion region;
    VolumeRegion_Init(&region);
    if (Fs_AttachBtrfs(&region, &disk, 0, sectors) == DISK_OK) {
        Btrfs_FillUsedBits(region.object, 0, static_cast<uint32_t>(sectors), bits.data(), 3);
        Btrfs_Destroy(region.object);
        Mem_Free(region.object);
    }
    // The used-sector map over the same disk (partition tables first, then the whole disk).
    int result = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&disk, &result, &known);
    if (map != nullptr) {
        UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(sectors), bits.data());
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    return 0;
}
