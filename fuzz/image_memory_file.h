// A read-only file opener over the fuzzer's input, for the image-format open targets: the one
// path "image" opens the input; any other path does not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/result_codes.h"
#include "foundation/stream.h"

namespace imagefuzz {

struct MemoryFile {
    const uint8_t* data;
    size_t size;
};

inline bool ReadAt(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    const MemoryFile* f = static_cast<const MemoryFile*>(impl);
    if (offset > f->size || f->size - offset < length) return false;
    std::memcpy(buffer, f->data + offset, length);
    return true;
}
inline bool WriteAt(void*, uint64_t, uint32_t, const void*) { return false; }
inline bool Close(void*) { return true; }
inline bool GetSize(void* impl, uint64_t* size)
{
    *size = static_cast<const MemoryFile*>(impl)->size;
    return true;
}
const ByteStreamOps kOps = {ReadAt, WriteAt, Close, GetSize, nullptr};

inline int Open(const char* path, bool, ByteStream** out, void* user)
{
    if (std::strcmp(path, "image") != 0) return 2;
    *out = Stream_Alloc(user, &kOps);
    return *out != nullptr ? 0 : 2;
}

}  // namespace imagefuzz
