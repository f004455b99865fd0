// Parallels opens over the input: a single image file (first byte even) or a bundle whose
// "DiskDescriptor.xml" is the input's text up to the first NUL byte, every data file it names
// being the bytes after that NUL. Files are served from memory through the file opener.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/disk.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "foundation/platform.h"
#include "foundation/stream.h"

namespace {

struct MemoryFile {
    const uint8_t* data;
    size_t size;
};

bool MemRead(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    const MemoryFile* f = static_cast<MemoryFile*>(impl);
    if (offset > f->size || length > f->size - offset) return false;
    if (length != 0) std::memcpy(buffer, f->data + offset, length);
    return true;
}
bool MemWrite(void*, uint64_t, uint32_t, const void*) { return false; }
bool MemClose(void* impl)
{
    delete static_cast<MemoryFile*>(impl);
    return true;
}
bool MemSize(void* impl, uint64_t* size)
{
    *size = static_cast<MemoryFile*>(impl)->size;
    return true;
}
const ByteStreamOps kOps = {MemRead, MemWrite, MemClose, MemSize, nullptr};

struct Files {
    MemoryFile descriptor;
    MemoryFile data;
};

int Open(const char* path, bool, ByteStream** out, void* user)
{
    const Files* files = static_cast<Files*>(user);
    const size_t n = std::strlen(path);
    const char name[] = "DiskDescriptor.xml";
    const bool isDescriptor =
        n >= sizeof name - 1 && std::strcmp(path + n - (sizeof name - 1), name) == 0;
    MemoryFile* f = new MemoryFile(isDescriptor ? files->descriptor : files->data);
    *out = Stream_Alloc(f, &kOps);
    if (*out == nullptr) {
        delete f;
        return -1;
    }
    return 0;
}

// Reads a few pieces of the disk and asks the queries about them.
template <typename Read, typename Empty>
void Exercise(const DiskGeometry& g, Read read, Empty empty)
{
    const uint64_t total = Geometry_GetTotalSectors(&g);
    if (total == 0) return;
    std::vector<uint8_t> buf(64 * 512);
    const uint64_t starts[] = {0, total / 2, total > 64 ? total - 64 : 0};
    for (uint64_t s : starts) {
        const uint32_t n = static_cast<uint32_t>(total - s < 64 ? total - s : 64);
        read(s * 512, n * 512, buf.data());
        bool e = false;
        empty(s, n, &e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    Files files;
    if ((data[0] & 1) == 0) {
        files.data = MemoryFile{data, size};
        files.descriptor = MemoryFile{data, 0};
        ParallelsImage image;
        Parallels_Init(&image);
        FileOpener opener = {Open, &files};
        if (Parallels_OpenWithHandler(&image, &opener, "f.hdd", true) == DISK_OK) {
            Exercise(
                image.geometry,
                [&](uint64_t o, uint32_t n, void* b) { Parallels_Read(&image, o, n, b); },
                [&](uint64_t f, uint32_t n, bool* e) {
                    Parallels_IsRangeEmpty(&image, nullptr, f, n, e, nullptr, nullptr);
                });
            Parallels_Close(&image);
        }
        return 0;
    }
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data + 1, 0, size - 1));
    const size_t textLength = nul ? static_cast<size_t>(nul - (data + 1)) : size - 1;
    files.descriptor = MemoryFile{data + 1, textLength};
    files.data = nul ? MemoryFile{nul + 1, size - (nul + 1 - data)} : MemoryFile{data, 0};
    const char* guid = (data[0] & 2) ? "{5fbaabe3-6958-40ff-92a7-860e329aab41}" : nullptr;
    ParallelsBundle bundle;
    ParallelsBundle_Init(&bundle);
    if (ParallelsBundle_OpenWithCallback(&bundle, Open, &files, "b.hdd/DiskDescriptor.xml", true,
                                         guid) == DISK_OK) {
        Exercise(
            bundle.geometry,
            [&](uint64_t o, uint32_t n, void* b) { ParallelsBundle_Read(&bundle, o, n, b); },
            [&](uint64_t f, uint32_t n, bool* e) {
                ParallelsBundle_IsRangeEmpty(&bundle, nullptr, f, n, e, nullptr, nullptr);
                ParallelsBundle_IsRangeUnallocated(&bundle, nullptr, f, n, e);
            });
        ParallelsBundle_CanCompact(&bundle);
        ParallelsBundle_HasParent(&bundle);
        ParallelsBundle_Close(&bundle);
    }
    ParallelsSnapshotList list;
    if (ParallelsBundle_ReadSnapshotListWithCallback(&list, Open, &files,
                                                     "b.hdd/DiskDescriptor.xml") == DISK_OK)
        ParallelsBundle_FreeSnapshotList(&list);
    return 0;
}
