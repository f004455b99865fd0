// The Bochs redolog and sparse opens and reads over the input as the image file.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/bochs/bochs.h"
#include "fuzz/image_memory_file.h"

namespace {

template <typename Read, typename Empty>
void ReadAll(void* object, const DiskGeometry& g, Read read, Empty empty)
{
    const uint64_t total = Geometry_GetTotalSectors(&g);
    std::vector<uint8_t> buffer(65536);
    for (uint64_t s = 0; s < total && s < 8192; s += 128) {
        const uint32_t n = total - s < 128 ? static_cast<uint32_t>(total - s) : 128;
        read(object, s * 512, n * 512, buffer.data());
        bool flag = false;
        empty(object, nullptr, s, n, &flag, nullptr, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imagefuzz::MemoryFile file = {data, size};
    const FileOpener opener = {imagefuzz::Open, &file};
    BochsImage redolog;
    Bochs_Init(&redolog);
    if (Bochs_OpenWithHandler(&redolog, &opener, "image", true) == DISK_OK) {
        ReadAll(&redolog, redolog.geometry, Bochs_Read, Bochs_IsRangeEmpty);
        Bochs_Close(&redolog);
    }
    BochsSparseImage sparse;
    BochsSparse_Init(&sparse);
    if (BochsSparse_OpenWithHandler(&sparse, &opener, "image", true) == DISK_OK) {
        ReadAll(&sparse, sparse.geometry, BochsSparse_Read, BochsSparse_IsRangeEmpty);
        BochsSparse_Close(&sparse);
    }
    return 0;
}
