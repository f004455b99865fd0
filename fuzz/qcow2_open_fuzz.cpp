// The qcow2 open (with and without a key, at the current state or at a snapshot) and a read of
// the whole disk, capped at 64 MiB, over an image made from the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/qcow2/qcow2.h"
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
    if (strcmp(path, "/fuzz/image.qcow2") != 0) return 2;
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
    Qcow2Image* image = Qcow2_Alloc();
    if (image == nullptr) return 0;
    const bool keyed = options & 1;
    const bool snapshot = options & 2;
    // Backing files are never opened: the input is the whole world.
    int r = Qcow2_OpenWithCallback(image, OpenMemory, &memory, "/fuzz/image.qcow2", true,
                                   keyed ? kKey : nullptr, keyed ? 16 : 0, false, snapshot,
                                   (options >> 2) & 3, QCOW2_BACKING_IGNORE);
    if (r == DISK_OK) {
        DiskGeometry g;
        Qcow2_GetGeometry(image, &g);
        uint64_t total = Geometry_GetTotalSectors(&g) * 512;
        if (total > (64u << 20)) total = 64u << 20;
        std::vector<uint8_t> buffer(1 << 20);
        const uint32_t piece = (options & 16) ? 4096 + 512 : 1 << 20;
        for (uint64_t pos = 0; pos < total; pos += piece) {
            const uint32_t n = total - pos < piece ? static_cast<uint32_t>(total - pos) : piece;
            if (Qcow2_Read(image, pos, n, buffer.data()) != DISK_OK) break;
        }
        bool flag = false;
        const uint64_t sectors = total / 512;
        if (sectors > 0) {
            const uint32_t count = sectors > 65536 ? 65536 : static_cast<uint32_t>(sectors);
            Qcow2_IsRangeEmpty(image, nullptr, 0, count, &flag, nullptr, nullptr);
            Qcow2_IsRangeUnallocated(image, nullptr, 0, count, &flag);
        }
        Qcow2_Close(image);
    }
    Mem_Free(image);
    // The header extensions, as the backing-format lookup, the backing-name change and the
    // compaction read them.
    if (memory.size >= QCOW2_HEADER_BYTES) {
        Qcow2Header h;
        Qcow2_HeaderToHost(memory.data, &h);
        if (h.clusterBits >= QCOW2_MIN_CLUSTER_BITS && h.clusterBits <= QCOW2_MAX_CLUSTER_BITS) {
            uint32_t start = 0, end = 0;
            Qcow2_ExtensionArea(&h, 1u << h.clusterBits, memory.size, &start, &end);
            Qcow2ExtensionList* extensions = new Qcow2ExtensionList;
            if (Qcow2_ExtensionsToHost(memory.data, start, end, extensions) == DISK_OK) {
                // Every extension's data must lie inside the input.
                static volatile uint8_t sink;
                for (uint32_t i = 0; i < extensions->count; ++i) {
                    const Qcow2Extension& e = extensions->items[i];
                    for (uint32_t j = 0; j < e.length; ++j) sink = memory.data[e.offset + j];
                }
                (void)sink;
            }
            delete extensions;
        }
    }
    // The snapshot list over the same bytes.
    Qcow2SnapshotList list;
    Qcow2_InitSnapshotList(&list);
    Qcow2_ReadSnapshotListWithCallback(&list, OpenMemory, &memory, "/fuzz/image.qcow2");
    Qcow2_FreeSnapshotList(&list);
    return 0;
}
