// Split-set opens over the input, written to a scratch file: as the first part of a set (first
// byte even; the part questions are answered with the suggested name once, then refused) or as a
// descriptor naming parts. The disk is then read forward through its window.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/split_disk.h"
#include "foundation/platform.h"

namespace {

std::string Scratch(const char* name)
{
    const char* dir = getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/split_fuzz_" + std::to_string(getpid()) + "_" + name;
}

bool Answer(SplitPartRequest* request, void*) { return request->flag == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string path = Scratch((data[0] & 1) ? "set.txt" : "set.p00");
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    SplitDisk* disk = SplitDisk_Alloc();
    SplitDisk_Init(disk);
    const int rc = (data[0] & 1) ? SplitDisk_OpenDescriptor(disk, path.c_str(), true)
                                 : SplitDisk_OpenFirstPart(disk, path.c_str(), true);
    if (rc == DISK_OK) {
        SplitDisk_SetPartRequestCallback(disk, Answer, nullptr);
        DiskGeometry g = {};
        SplitDisk_GetGeometry(disk, &g);
        const uint64_t total = Geometry_GetTotalSectors(&g);
        std::vector<uint8_t> buf(64 * 512);
        for (uint64_t s = 0; s < total && s < 4096; s += 64) {
            const uint32_t n = static_cast<uint32_t>(total - s < 64 ? total - s : 64);
            bool empty = false;
            if (SplitDisk_IsRangeEmpty(disk, nullptr, s, n, &empty, nullptr, nullptr) != DISK_OK)
                break;
            if (SplitDisk_Read(disk, s * 512, n * 512, buf.data()) != DISK_OK) break;
        }
    }
    SplitDisk_Destroy(disk);
    Mem_Free(disk);
    unlink(path.c_str());
    return 0;
}
