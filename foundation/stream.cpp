#include "foundation/stream.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "foundation/platform.h"
#include "foundation/result_codes.h"

// ---- File streams ---------------------------------------------------------

bool FileStream_ReadAt(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    return File_ReadAt(static_cast<FILE*>(impl), offset, length, buffer);
}

bool FileStream_WriteAt(void* impl, uint64_t offset, uint32_t length, const void* data)
{
    return File_WriteAt(static_cast<FILE*>(impl), offset, length, data);
}

bool FileStream_Close(void* impl)
{
    return File_Close(static_cast<FILE*>(impl));
}

bool FileStream_GetSize(void* impl, uint64_t* size)
{
    return File_GetSize(static_cast<FILE*>(impl), size);
}

const ByteStreamOps FileStreamOps = {FileStream_ReadAt, FileStream_WriteAt, FileStream_Close,
                                     FileStream_GetSize};

// ---- Preallocated output files --------------------------------------------

PreallocFile* PreallocFile_Alloc()
{
    PreallocFile* pf = static_cast<PreallocFile*>(Mem_Alloc(sizeof(PreallocFile)));
    if (pf != nullptr) *pf = PreallocFile{nullptr, 0, 0};
    return pf;
}

bool PreallocFile_ReadAt(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    return File_ReadAt(static_cast<PreallocFile*>(impl)->file, offset, length, buffer);
}

bool PreallocFile_WriteAt(void* impl, uint64_t offset, uint32_t length, const void* data)
{
    PreallocFile* pf = static_cast<PreallocFile*>(impl);
    if (!File_WriteAt(pf->file, offset, length, data)) return false;
    uint64_t end = offset + length;  // cannot wrap: File_WriteAt refuses offsets beyond 2^63
    if (end > pf->logicalEnd) pf->logicalEnd = end;
    return true;
}

bool PreallocFile_Destroy(PreallocFile* pf)
{
    if (pf == nullptr) return false;
    bool ok = pf->file != nullptr && File_TruncateAndClose(pf->file, pf->logicalEnd);
    Mem_Free(pf);
    return ok;
}

bool PreallocFile_Close(void* impl)
{
    return PreallocFile_Destroy(static_cast<PreallocFile*>(impl));
}

bool PreallocFile_GetSize(void* impl, uint64_t* size)
{
    if (size == nullptr) return false;
    *size = static_cast<PreallocFile*>(impl)->logicalEnd;
    return true;
}

const ByteStreamOps PreallocFileStreamOps = {PreallocFile_ReadAt, PreallocFile_WriteAt,
                                             PreallocFile_Close, PreallocFile_GetSize};

// ---- Write-only output files ----------------------------------------------

namespace {

bool WriteOnly_ReadAt(void*, uint64_t, uint32_t, void*)
{
    return false;
}

bool WriteOnly_WriteAt(void* impl, uint64_t offset, uint32_t length, const void* data)
{
    WriteOnlyFile* w = static_cast<WriteOnlyFile*>(impl);
    if (!File_WriteAllAt(w->fd, offset, length, data)) return false;
    const uint64_t end = offset + length;  // File_WriteAllAt refused a wrapping end
    if (end > w->logicalEnd) w->logicalEnd = end;
    return true;
}

bool WriteOnly_Close(void* impl)
{
    WriteOnlyFile* w = static_cast<WriteOnlyFile*>(impl);
    const uint64_t length = w->logicalEnd > w->length ? w->logicalEnd : w->length;
    const bool ok = File_SetLengthAndClose(w->fd, length);
    Mem_Free(w);
    return ok;
}

bool WriteOnly_GetSize(void* impl, uint64_t* size)
{
    if (size == nullptr) return false;
    const WriteOnlyFile* w = static_cast<const WriteOnlyFile*>(impl);
    *size = w->logicalEnd > w->length ? w->logicalEnd : w->length;
    return true;
}

}  // namespace

const ByteStreamOps WriteOnlyFileStreamOps = {WriteOnly_ReadAt, WriteOnly_WriteAt, WriteOnly_Close,
                                              WriteOnly_GetSize};

bool Stream_CreateWriteOnly(const char* path, uint64_t length, bool preallocate, ByteStream** out)
{
    if (path == nullptr || out == nullptr || length > static_cast<uint64_t>(INT64_MAX)) return false;
    WriteOnlyFile* w = static_cast<WriteOnlyFile*>(Mem_Alloc(sizeof(WriteOnlyFile)));
    ByteStream* s = w == nullptr ? nullptr : Stream_Alloc(w, &WriteOnlyFileStreamOps);
    if (s == nullptr) {
        Mem_Free(w);
        return false;
    }
    const int fd = File_CreateWriteOnly(path);
    if (fd < 0 || (preallocate && !File_ReserveDescriptor(fd, length))) {
        if (fd >= 0) {
            close(fd);
            remove(path);
        }
        Mem_Free(w);
        Mem_Free(s);
        return false;
    }
    *w = WriteOnlyFile{fd, length, 0};
    *out = s;
    return true;
}

// ---- Streams --------------------------------------------------------------

ByteStream* Stream_Alloc(void* impl, const ByteStreamOps* ops)
{
    ByteStream* s = static_cast<ByteStream*>(Mem_Alloc(sizeof(ByteStream)));
    if (s != nullptr) {
        s->impl = impl;
        s->ops = ops;
    }
    return s;
}

bool Stream_OpenFile(const char* path, bool readOnly, ByteStream** out)
{
    if (out == nullptr) return false;
    FILE* f = nullptr;
    if (!File_Open(path, readOnly, &f)) return false;
    ByteStream* s = Stream_Alloc(f, &FileStreamOps);
    if (s == nullptr) {
        File_Close(f);
        return false;
    }
    *out = s;
    return true;
}

bool Stream_CreateFile(const char* path, ByteStream** out)
{
    if (out == nullptr) return false;
    FILE* f = nullptr;
    if (!File_Create(path, &f)) return false;
    ByteStream* s = Stream_Alloc(f, &FileStreamOps);
    if (s == nullptr) {
        File_Close(f);
        return false;
    }
    *out = s;
    return true;
}

bool Stream_CreatePreallocated(const char* path, uint64_t size, ByteStream** out)
{
    if (out == nullptr) return false;
    PreallocFile* pf = PreallocFile_Alloc();
    if (pf == nullptr) return false;
    ByteStream* s = Stream_Alloc(pf, &PreallocFileStreamOps);
    if (s == nullptr) {
        Mem_Free(pf);
        return false;
    }
    FILE* f = nullptr;
    if (!File_CreatePreallocated(path, size, &f)) {
        Mem_Free(pf);
        Mem_Free(s);
        return false;
    }
    pf->file = f;
    pf->preallocatedSize = size;
    pf->logicalEnd = 0;
    *out = s;
    return true;
}

bool Stream_ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* buffer)
{
    return s != nullptr && s->ops->ReadAt(s->impl, offset, length, buffer);
}

bool Stream_WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data)
{
    return s != nullptr && s->ops->WriteAt(s->impl, offset, length, data);
}

bool Stream_GetSize(ByteStream* s, uint64_t* size)
{
    return s != nullptr && s->ops->GetSize(s->impl, size);
}

bool Stream_Close(ByteStream* s)
{
    if (s == nullptr) return false;
    bool ok = s->ops->Close(s->impl);
    Mem_Free(s);
    return ok;
}

bool Stream_ClosePreallocated(ByteStream* s)
{
    if (s == nullptr) return false;
    bool ok = PreallocFile_Destroy(static_cast<PreallocFile*>(s->impl));
    Mem_Free(s);
    return ok;
}

// ---- File opener ----------------------------------------------------------

int FileOpener_DefaultOpen(const char* path, bool readOnly, ByteStream** out, void*)
{
    return Stream_OpenFile(path, readOnly, out) ? 0 : -1;
}

const FileOpener FileOpener_Default = {FileOpener_DefaultOpen, nullptr};

int FileOpener_Open(const FileOpener* opener, const char* path, bool readOnly, ByteStream** out)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    if (opener->open == nullptr || out == nullptr) return DISK_ERR_ARG;
    ByteStream* s = nullptr;
    int r = opener->open(path, readOnly, &s, opener->user);
    if (r == 1) return DISK_CANCELLED;
    if (r != 0 || s == nullptr) return DISK_ERR_OPEN;
    *out = s;
    return DISK_OK;
}

bool Stream_Sync(ByteStream* s)
{
    if (s == nullptr) return false;
    if (s->ops == &WriteOnlyFileStreamOps) {
        return File_SyncDescriptor(static_cast<WriteOnlyFile*>(s->impl)->fd);
    }
    FILE* f = nullptr;
    if (s->ops == &FileStreamOps) f = static_cast<FILE*>(s->impl);
    else if (s->ops == &PreallocFileStreamOps) f = static_cast<PreallocFile*>(s->impl)->file;
    if (f == nullptr || fflush(f) != 0) return false;
    int fd = fileno(f);
    if (fd < 0) return false;
    return fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
}
