// The used-sector map over a fuzzed raw disk: partition tables, PC-98 tables and the file-system
// drivers, with a sector size of 256 to 4096 bytes chosen by the input's last byte. Every used
// bit and the data tests over the map's ranges are asked.
#include <algorithm>
#include <vector>

#include "disk/disk_open.h"
#include "fuzz/fuzz_support.h"
#include "volume/used_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    static const uint32_t kSectorSizes[] = {512, 256, 1024, 2048, 4096};
    const uint32_t bps = kSectorSizes[fuzz::Selector(data, size) % 5];
    if (size < bps) return 0;
    std::string path = fuzz::WriteInput("in.img", data, size);
    DiskGeometry g{};
    g.heads = 8;
    g.sectors_per_track = 17;
    g.bytes_per_sector = bps;
    Geometry_SetTotalSectors(&g, size / bps);
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenRaw(&disk, path.c_str(), true, 0, &g) == DISK_OK) {
        int result = DISK_OK;
        uint32_t known = 0;
        UsedSectorMap* map = UsedMap_Create(&disk, &result, &known);
        if (map != nullptr) {
            FUZZ_CHECK(known == UsedMap_CountKnownRegions(map));
            const uint64_t total = size / bps;
            std::vector<uint8_t> bits((total + 7) / 8 + 1);
            FUZZ_CHECK(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(total), bits.data()) ==
                       DISK_OK);
            // The data tests over pieces of the disk, with the disk's own bytes.
            const uint64_t piece = 64;
            for (uint64_t first = 0; first < total; first += piece) {
                uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece, total - first));
                bool empty = false;
                uint64_t before = 0;
                UsedMap_IsDataEmpty(map, first, count, &empty, data + first * bps);
                UsedMap_ScanRangeForData(map, first * bps, static_cast<int32_t>(count * bps),
                                         data + first * bps, &empty, &before);
                if (!empty) FUZZ_CHECK(before < static_cast<uint64_t>(count) * bps);
            }
            fuzz::QueryRanges(&disk, map);
            UsedMap_Destroy(map);
            Mem_Free(map);
        }
    }
    Disk_Close(&disk);
    fuzz::ClearDir();
    return 0;
}
