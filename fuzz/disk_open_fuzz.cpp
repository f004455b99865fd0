// The probing open of a file of any kind (its extension chosen by the input's last byte), a
// read of the whole virtual disk (up to 64 MiB) and the empty-range queries, without and with
// the disk's used-sector map.
#include "disk/disk_open.h"
#include "fuzz/fuzz_support.h"
#include "volume/used_map.h"

static const char* const kExtensions[] = {"vmdk", "vhd", "hdi", "thd", "nhd",   "hdd",
                                          "slh",  "h0",  "img", "dsk", "qcow2", "vdi"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    const uint8_t sel = fuzz::Selector(data, size);
    const char* ext = kExtensions[sel % (sizeof kExtensions / sizeof kExtensions[0])];
    std::string path = fuzz::WriteInput(std::string("in.") + ext, data, size);
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_Open(&disk, path.c_str(), true) == DISK_OK) {
        fuzz::ReadDisk(&disk, nullptr);
        // The empty-range queries with the used-sector map of the disk, as a conversion asks them.
        UsedSectorMap* map = nullptr;
        DiskGeometry g{};
        Disk_GetGeometry(&disk, &g);
        uint64_t bytes = 0;
        if (Math_MulU64(Geometry_GetTotalSectors(&g), g.bytes_per_sector, &bytes) &&
            bytes <= FUZZ_MAX_READ_BYTES) {
            int result = DISK_OK;
            uint32_t known = 0;
            map = UsedMap_Create(&disk, &result, &known);
        }
        fuzz::QueryRanges(&disk, map);
        if (map != nullptr) {
            UsedMap_Destroy(map);
            Mem_Free(map);
        }
    }
    Disk_Close(&disk);
    fuzz::ClearDir();
    return 0;
}
