// The qcow open (with and without a key) and a read of
// the whole disk, capped at 64 MiB, over an image made from the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/qcow/qcow.h"
#include "foundation/platform.h"
#include "foundation/stream.h"

namespace {

struct Memory {
    const uint8_t* data;
    size_t size;
};

bool MemRead(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    const Memory* m = static_cast<const Memory*>(impl);
    if (offset > m->size || length > m->size - offset) return false;
    memcpy(buffer, m->data + offset, length);
    return true;
}
bool MemWrite(void*, uint64_t, uint32_t, const void*) { return false; }
bool MemClose(void*) { return true; }
bool MemSize(void* impl, uint64_t* size)
{
    *size = static_cast<const Memory*>(impl)->size;
    return true;
}
const ByteStreamOps kMemOps = {MemRead, MemWrite, MemClose, MemSize, nullptr};

int OpenMemory(const char* path, bool, ByteStream** out, void* user)
{
    if (strcmp(path, "/fuzz/image.qcow") != 0) return 2;
    *out = Stream_Alloc(user, &kMemOps);
    return *out != nullptr ? 0 : 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t options = data[size - 1];
    Memory memory = {data, size - 1};
    static const uint8_t kKey[16] = {'f', 'u', 'z', 'z'};
    QcowImage* image = Qcow_Alloc();
    if (image == nullptr) return 0;
    const bool keyed = options & 1;
    // A backing file other than the image itself does not open; the image itself is refused.
    FileOpener opener = {OpenMemory, &memory};
    int r = Qcow_OpenWithHandlerKey(image, &opener, "/fuzz/image.qcow", true,
                                    keyed ? kKey : nullptr, keyed ? 16 : 0);
    if (r == DISK_OK) {
        DiskGeometry g;
        Qcow_GetGeometry(image, &g);
        uint64_t total = Geometry_GetTotalSectors(&g) * 512;
        if (total > (64u << 20)) total = 64u << 20;
        std::vector<uint8_t> buffer(1 << 20);
        const uint32_t piece = (options & 16) ? 4096 + 512 : 1 << 20;
        for (uint64_t pos = 0; pos < total; pos += piece) {
            const uint32_t n = total - pos < piece ? static_cast<uint32_t>(total - pos) : piece;
            if (Qcow_Read(image, pos, n, buffer.data()) != DISK_OK) break;
        }
        bool flag = false;
        const uint64_t sectors = total / 512;
        if (sectors > 0) {
            const uint32_t count = sectors > 65536 ? 65536 : static_cast<uint32_t>(sectors);
            Qcow_IsRangeEmpty(image, nullptr, 0, count, &flag, nullptr, nullptr);
        }
        Qcow_Close(image);
    }
    Mem_Free(image);
    return 0;
}
