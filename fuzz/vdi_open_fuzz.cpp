// The VDI open and reads over the input as the image file (and as its own parent).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/vdi/vdi.h"
#include "fuzz/image_memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imagefuzz::MemoryFile file = {data, size};
    const char* parents[1] = {"image"};
    for (uint32_t parentCount = 0; parentCount < 2; parentCount++) {
        VdiImage image;
        Vdi_Init(&image);
        if (Vdi_OpenChainWithCallback(&image, imagefuzz::Open, &file, "image", true, parentCount,
                                      parents) != DISK_OK)
            continue;
        const uint64_t total = Geometry_GetTotalSectors(&image.geometry);
        std::vector<uint8_t> buffer(65536);
        for (uint64_t s = 0; s < total && s < 8192; s += 128) {
            const uint32_t n = total - s < 128 ? static_cast<uint32_t>(total - s) : 128;
            Vdi_Read(&image, s * 512, n * 512, buffer.data());
            bool flag = false;
            Vdi_IsRangeEmpty(&image, nullptr, s, n, &flag, nullptr, nullptr);
            Vdi_IsRangeUnallocated(&image, nullptr, s, n, &flag);
        }
        Vdi_Close(&image);
    }
    return 0;
}
