// The VHD compaction (with a used-sector map, and preallocated without one) and the capacity
// expansion of a fuzzed image, each in turn on a fresh copy (the last bytes of a VHD are the
// footer's reserved zeros, so no byte of the input chooses). A result that is committed must
// read the same used sectors as the source (the added sectors of an expansion read as zeros);
// a failed operation leaves the image's file byte for byte as it was and no other file.
#include <algorithm>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_writer.h"
#include "foundation/path.h"
#include "fuzz/fuzz_support.h"
#include "volume/used_map.h"

namespace {

// op 0: compaction with a map; 1: preallocated compaction without one; 2: expansion.
void RunOperation(int op, const uint8_t* data, size_t size)
{
    const std::string path = fuzz::WriteInput("in.vhd", data, size);
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenVhd(&disk, path.c_str(), false) != DISK_OK) {
        fuzz::ClearDir();
        return;
    }
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    const uint64_t total = Geometry_GetTotalSectors(&g);
    uint64_t bytes = 0;
    if (total == 0 || g.bytes_per_sector != 512 || !Math_MulU64(total, 512, &bytes) ||
        bytes > FUZZ_MAX_READ_BYTES) {
        Disk_Close(&disk);
        fuzz::ClearDir();
        return;
    }
    // The source's contents as the result is read back: through a read-only open.
    std::vector<uint8_t> before;
    bool readable = false;
    {
        DiskHandle reader;
        Disk_Init(&reader);
        readable = Disk_OpenVhd(&reader, path.c_str(), true) == DISK_OK &&
                   fuzz::ReadDisk(&reader, &before) == DISK_OK;
        Disk_Close(&reader);
    }

    UsedSectorMap* map = nullptr;
    if (op == 0) {
        int result = DISK_OK;
        uint32_t known = 0;
        map = UsedMap_Create(&disk, &result, &known);
    }
    OutputFile output;
    OutputFile_Init(&output);
    const uint32_t newTotal = static_cast<uint32_t>(total + 1 + size % 256);
    int r;
    if (op == 2)
        r = Vhd_ExpandCapacity(path.c_str(), &disk, map, &output, newTotal, nullptr, nullptr);
    else
        r = Vhd_Compact(path.c_str(), &disk, map, &output, op == 1, nullptr, nullptr);
    Disk_Close(&disk);

    if (r != DISK_OK) {
        Vhd_DiscardCompact(&output);
        FUZZ_CHECK(fuzz::ReadFile(path) == std::vector<uint8_t>(data, data + size));
        FUZZ_CHECK(fuzz::ListDir() == std::vector<std::string>{"in.vhd"});
    } else {
        r = Vhd_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false, true);
        FUZZ_CHECK(r == DISK_OK);
        FUZZ_CHECK(fuzz::ReadFile(path + "_del") == std::vector<uint8_t>(data, data + size));
        DiskHandle again;
        Disk_Init(&again);
        FUZZ_CHECK(Disk_OpenVhd(&again, path.c_str(), true) == DISK_OK);
        // An expansion may state whole cylinders more than asked (footers sized by their
        // geometry); the added sectors read as zeros all the same.
        if (op == 2)
            FUZZ_CHECK(fuzz::TotalSectors(&again) >= newTotal);
        else
            FUZZ_CHECK(fuzz::TotalSectors(&again) == total);
        std::vector<uint8_t> after;
        const int readAgain = fuzz::ReadDisk(&again, &after);
        if (readable) {
            FUZZ_CHECK(readAgain == DISK_OK);
            fuzz::CheckUsedSectorsEqual(map, total, 512, before, after);
            if (op == 2)
                FUZZ_CHECK(std::all_of(after.begin() + total * 512, after.end(),
                                       [](uint8_t b) { return b == 0; }));
        }
        Disk_Close(&again);
    }
    if (map != nullptr) {
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    fuzz::ClearDir();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    for (int op = 0; op < 3; ++op) RunOperation(op, data, size);
    return 0;
}
