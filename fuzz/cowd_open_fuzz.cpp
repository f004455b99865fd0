// The COWD opens (all four kinds) and reads over the input as the image file.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/cowd/cowd.h"
#include "fuzz/image_memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imagefuzz::MemoryFile file = {data, size};
    const FileOpener opener = {imagefuzz::Open, &file};
    typedef int (*OpenFn)(CowdImage*, const FileOpener*, const char*, bool);
    // Children are left out: their parent is looked up by name on the disk.
    const OpenFn opens[] = {Cowd_OpenV3WithHandler, Cowd_OpenV1WithHandler};
    for (OpenFn open : opens) {
        CowdImage image;
        Cowd_Init(&image);
        if (open(&image, &opener, "image", true) != DISK_OK) continue;
        const uint64_t total = Geometry_GetTotalSectors(&image.geometry);
        std::vector<uint8_t> buffer(65536);
        for (uint64_t s = 0; s < total && s < 4096; s += 128) {
            const uint32_t n = total - s < 128 ? static_cast<uint32_t>(total - s) : 128;
            Cowd_Read(&image, s * 512, n * 512, buffer.data());
            bool flag = false;
            Cowd_IsRangeEmpty(&image, nullptr, s, n, &flag, nullptr, nullptr);
        }
        Cowd_Close(&image);
    }
    return 0;
}
