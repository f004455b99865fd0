// The VMDK compaction (with and without a used-sector map, preallocated or not), the rewrite
// without free space (compressed or not), the capacity expansion and the descriptor parameter
// change of a fuzzed image, chosen by the input's last byte and its size. A committed result
// must read the same used sectors as the source (sectors added by an expansion read as zeros);
// a failed operation leaves the image's file byte for byte as it was and no other file.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_maintain.h"
#include "foundation/path.h"
#include "fuzz/fuzz_support.h"
#include "volume/used_map.h"

namespace {
VmdkDescriptorEdits g_edits;

int OpenImage(DiskHandle* disk, const std::string& path, bool readOnly)
{
    return Disk_OpenVmdkWithHandler(disk, nullptr, path.c_str(), readOnly, VMDK_PARENT_OPTIONAL,
                                    nullptr);
}

// Whether every file of the image lies in the target's own directory: a descriptor may name any
// path, and the operations write over the image's files.
bool FilesAreOurs(const DiskHandle* disk)
{
    const VmdkImage* image = static_cast<const VmdkImage*>(disk->object);
    const std::string prefix = fuzz::Dir() + "/";
    for (uint32_t i = 0; i < image->extentCount; ++i) {
        const char* p = image->flat ? image->flatExtents[i].path : image->sparseExtents[i].path;
        if (std::string(p).compare(0, prefix.size(), prefix) != 0 ||
            std::strstr(p, "/../") != nullptr)
            return false;
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    // The last byte and the size choose: the last bytes of a stream-optimised file are its
    // end-of-stream marker, always zero.
    const uint8_t sel = static_cast<uint8_t>(fuzz::Selector(data, size) ^ (size % 251));
    const int op =
        sel % 5;  // 0/1 compaction with/without a map, 2 rewrite, 3 expansion, 4 parameters
    const std::vector<uint8_t> input(data, data + size);
    const std::string path = fuzz::WriteInput("in.vmdk", data, size);
    DiskHandle disk;
    Disk_Init(&disk);
    if (OpenImage(&disk, path, false) != DISK_OK) {
        fuzz::ClearDir();
        return 0;
    }
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    const uint64_t total = Geometry_GetTotalSectors(&g);
    uint64_t bytes = 0;
    if (total == 0 || g.bytes_per_sector != 512 || !Math_MulU64(total, 512, &bytes) ||
        bytes > FUZZ_MAX_READ_BYTES || !FilesAreOurs(&disk)) {
        Disk_Close(&disk);
        fuzz::ClearDir();
        return 0;
    }
    // The source's contents as the result is read back: through a read-only open (a writable
    // one accepts table entries past the end of the file, which a read-only one refuses).
    std::vector<uint8_t> before;
    bool readable = false;
    {
        DiskHandle reader;
        Disk_Init(&reader);
        readable = OpenImage(&reader, path, true) == DISK_OK &&
                   fuzz::ReadDisk(&reader, &before) == DISK_OK;
        Disk_Close(&reader);
    }

    UsedSectorMap* map = nullptr;
    if (op == 0) {
        int result = DISK_OK;
        uint32_t known = 0;
        map = UsedMap_Create(&disk, &result, &known);
    }
    VmdkCompactSet compactSet;
    Vmdk_InitCompactSet(&compactSet);
    VmdkTempFileSet set;
    Vmdk_InitTempFileSet(&set);
    const uint64_t newTotal = total + 1 + sel;
    int r;
    bool inPlace = false;
    switch (op) {
    case 0:
    case 1:
        r = Vmdk_Compact(&disk, map, &compactSet, (sel & 0x80) != 0, nullptr, nullptr);
        break;
    case 2:
        r = Vmdk_RewriteWithoutFreeSpace(path.c_str(), &disk, map, &set, (sel & 0x80) != 0, nullptr,
                                         nullptr);
        break;
    case 3:
        r = Vmdk_ExpandCapacity(path.c_str(), &disk, map, &set, newTotal, nullptr, nullptr);
        break;
    default:
        inPlace = true;
        Vmdk_ClearDescriptorEdits(&g_edits);
        g_edits.extentCount = static_cast<VmdkImage*>(disk.object)->descriptor.extentCount;
        g_edits.adapter.set = 1;
        g_edits.adapter.value = sel % 3;
        g_edits.cid.set = 1;
        Text_FromCStringUtf8(&g_edits.cid.value, "0badc0de");
        r = Vmdk_ChangeParameters(&disk, &g_edits, nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8);
        break;
    }
    Disk_Close(&disk);

    if (r != DISK_OK) {
        Vmdk_DiscardCompact(&compactSet);
        Vmdk_DiscardTempFileSet(&set);
        FUZZ_CHECK(fuzz::ReadFile(path) == input);
        FUZZ_CHECK(fuzz::ListDir() == std::vector<std::string>{"in.vmdk"});
    } else {
        if (!inPlace) {
            r = op <= 1 ? Vmdk_CommitCompact(&compactSet, Path_DeleteSuffix(TEXT_ENC_UTF8), false)
                        : Vmdk_CommitTempFileSet(&set, Path_DeleteSuffix(TEXT_ENC_UTF8), false);
            FUZZ_CHECK(r == DISK_OK);
            FUZZ_CHECK(fuzz::ReadFile(path + "_del") == input);
        }
        DiskHandle again;
        Disk_Init(&again);
        FUZZ_CHECK(OpenImage(&again, path, true) == DISK_OK);
        FUZZ_CHECK(fuzz::TotalSectors(&again) == (op == 3 ? newTotal : total));
        std::vector<uint8_t> after;
        const int readAgain = fuzz::ReadDisk(&again, &after);
        if (readable) {
            FUZZ_CHECK(readAgain == DISK_OK);
            fuzz::CheckUsedSectorsEqual(map, total, 512, before, after);
            if (op == 3)
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
    return 0;
}
