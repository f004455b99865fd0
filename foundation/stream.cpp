#include "foundation/stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
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

bool FileStream_Close(void* impl) { return File_Close(static_cast<FILE*>(impl)); }

bool FileStream_GetSize(void* impl, uint64_t* size)
{
    return File_GetSize(static_cast<FILE*>(impl), size);
}

bool FileStream_FindData(void* impl, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd)
{
    FILE* f = static_cast<FILE*>(impl);
    // Bytes still in the stream's write buffer are not in the file yet.
    if (__fpending(f) != 0 && fflush(f) != 0) return false;
    const int fd = fileno(f);
    return fd >= 0 && File_FindDataInDescriptor(fd, offset, dataStart, dataEnd);
}

const ByteStreamOps FileStreamOps = {FileStream_ReadAt, FileStream_WriteAt, FileStream_Close,
                                     FileStream_GetSize, FileStream_FindData};

// Within the stored run [*start, end) of a descriptor opened for reading only: moves *start past
// the stretch the file system holds as reserved but never written (an unwritten extent, as
// fallocate leaves it), which reads as zeros, and ends *runEnd where the next such stretch
// begins, or earlier, where the batch of extents looked at ends. The extent map is asked after
// the file's dirty pages are written back (written data over a reserved stretch counts only
// once written back); a stretch the map does not cover counts as stored. False when the file
// system has no extent map: the run stays as it was.
static bool SkipUnwritten(int fd, uint64_t* start, uint64_t end, uint64_t* runEnd)
{
    const uint32_t kExtents = 32;
    union {
        struct fiemap map;
        uint8_t room[sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent)];
    } q;
    uint64_t pos = *start;
    bool inData = false;
    uint32_t flags = FIEMAP_FLAG_SYNC;
    while (pos < end) {
        std::memset(&q, 0, sizeof q);
        q.map.fm_start = pos;
        q.map.fm_length = end - pos;
        q.map.fm_flags = flags;
        q.map.fm_extent_count = kExtents;
        if (ioctl(fd, FS_IOC_FIEMAP, &q.map) != 0) return false;
        flags = 0;  // written back once is enough
        const uint32_t n = q.map.fm_mapped_extents <= kExtents ? q.map.fm_mapped_extents : 0;
        if (n == 0) break;  // nothing mapped up to end: stored as far as anyone can tell
        for (uint32_t i = 0; i < n && pos < end; ++i) {
            const struct fiemap_extent& e = q.map.fm_extents[i];
            uint64_t extentEnd = 0;
            if (e.fe_length == 0 || !Math_AddU64(e.fe_logical, e.fe_length, &extentEnd) ||
                extentEnd <= pos)
                return false;  // not an answer that moves forward
            if (e.fe_logical > pos) {
                // A stretch without an extent inside a stored run: counted as stored.
                if (!inData) *start = pos;
                inData = true;
                pos = e.fe_logical < end ? e.fe_logical : end;
                if (pos >= end) break;
            }
            const bool zeros = (e.fe_flags & FIEMAP_EXTENT_UNWRITTEN) != 0 &&
                               (e.fe_flags & FIEMAP_EXTENT_DELALLOC) == 0;
            if (zeros && inData) {
                *runEnd = pos;
                return true;
            }
            if (!zeros && !inData) {
                *start = pos;
                inData = true;
            }
            pos = extentEnd < end ? extentEnd : end;
            if ((e.fe_flags & FIEMAP_EXTENT_LAST) != 0 && pos < end) {
                // Past the last extent, to end: counted as stored.
                if (!inData) *start = pos;
                inData = true;
                pos = end;
            }
        }
        // The run is answered as far as this batch of extents reaches: a caller that goes on
        // past it asks again, and a long file is not walked to its end at every query.
        if (inData) {
            *runEnd = pos;
            return true;
        }
    }
    // No data found in any batch: reserved stretches up to pos, and from there to end nothing
    // mapped, which counts as stored (or nothing left when pos reached end).
    *start = pos < end ? pos : end;
    *runEnd = end;
    return true;
}

bool File_FindDataInDescriptor(int fd, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd)
{
    if (fd < 0 || dataStart == nullptr || dataEnd == nullptr ||
        offset > static_cast<uint64_t>(INT64_MAX))
        return false;
    // The queries move the descriptor's position, on which a FILE over it relies: it is put
    // back before answering.
    const off64_t saved = lseek64(fd, 0, SEEK_CUR);
    if (saved < 0) return false;
    // Reserved, never written stretches are skipped only for a file this descriptor cannot
    // write: a writer's own pages would otherwise be written back at every query.
    const int mode = fcntl(fd, F_GETFL);
    bool refine = mode >= 0 && (mode & O_ACCMODE) == O_RDONLY;
    bool known = false;
    uint64_t from = offset;
    for (;;) {
        const off64_t start = lseek64(fd, static_cast<off64_t>(from), SEEK_DATA);
        if (start >= 0) {
            const off64_t end = lseek64(fd, start, SEEK_HOLE);
            if (end > start && static_cast<uint64_t>(start) >= from) {
                uint64_t runStart = static_cast<uint64_t>(start);
                uint64_t runEnd = static_cast<uint64_t>(end);
                if (refine) {
                    uint64_t writtenStart = runStart, writtenEnd = runEnd;
                    if (SkipUnwritten(fd, &writtenStart, runEnd, &writtenEnd)) {
                        runStart = writtenStart;
                        runEnd = writtenEnd;
                    } else {
                        refine = false;
                    }
                }
                if (runStart >= static_cast<uint64_t>(end)) {
                    // The whole run is reserved and unwritten: look on after it.
                    from = static_cast<uint64_t>(end);
                    continue;
                }
                *dataStart = runStart;
                *dataEnd = runEnd;
                known = true;
            }
        } else if (errno == ENXIO || errno == EINVAL) {
            // ENXIO: nothing stored from `from` on, or `from` at or past the end. EINVAL: the
            // file system cannot tell, so every byte counts as stored.
            const bool nothingStored = errno == ENXIO;
            const off64_t size = lseek64(fd, 0, SEEK_END);
            if (size >= 0 && from < static_cast<uint64_t>(size)) {
                *dataStart = nothingStored ? static_cast<uint64_t>(size) : from;
                *dataEnd = static_cast<uint64_t>(size);
                known = true;
            } else if (size >= 0 && from > offset && from == static_cast<uint64_t>(size)) {
                // Reserved stretches ran to the end of the file.
                *dataStart = *dataEnd = static_cast<uint64_t>(size);
                known = true;
            }
        }
        break;
    }
    if (lseek64(fd, saved, SEEK_SET) != saved) return false;
    return known;
}

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
                                             PreallocFile_Close, PreallocFile_GetSize, nullptr};

// ---- Write-only output files ----------------------------------------------

namespace {

bool WriteOnly_ReadAt(void*, uint64_t, uint32_t, void*) { return false; }

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
                                              WriteOnly_GetSize, nullptr};

bool Stream_CreateWriteOnly(const char* path, uint64_t length, bool preallocate, ByteStream** out)
{
    if (path == nullptr || out == nullptr || length > static_cast<uint64_t>(INT64_MAX))
        return false;
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

bool Stream_FindData(ByteStream* s, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd)
{
    return s != nullptr && s->ops->FindData != nullptr &&
           s->ops->FindData(s->impl, offset, dataStart, dataEnd);
}

bool Stream_IsHole(ByteStream* s, uint64_t offset, uint64_t length)
{
    uint64_t end = 0, dataStart = 0, dataEnd = 0;
    if (!Math_AddU64(offset, length, &end)) return false;
    if (length == 0) return true;
    return Stream_FindData(s, offset, &dataStart, &dataEnd) && dataStart >= end;
}

bool Stream_ReadStoredAt(ByteStream* s, uint64_t offset, uint32_t length, void* buffer)
{
    if (s == nullptr || (buffer == nullptr && length != 0)) return false;
    uint64_t end = 0;
    if (!Math_AddU64(offset, length, &end)) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t pos = offset;
    // Every round moves pos forward past a stored run or ends the loop.
    while (pos < end) {
        uint64_t dataStart = 0, dataEnd = 0;
        if (!Stream_FindData(s, pos, &dataStart, &dataEnd) || dataStart < pos) {
            // Unknown from here on (also at the end of the file): read the rest.
            return Stream_ReadAt(s, pos, static_cast<uint32_t>(end - pos), out + (pos - offset));
        }
        const uint64_t holeEnd = dataStart < end ? dataStart : end;
        memset(out + (pos - offset), 0, static_cast<size_t>(holeEnd - pos));
        pos = holeEnd;
        if (pos == end) break;
        // A run that ends where it starts is the end of the file: the read fails there.
        const uint64_t runEnd = dataEnd <= dataStart ? end : dataEnd < end ? dataEnd : end;
        if (!Stream_ReadAt(s, pos, static_cast<uint32_t>(runEnd - pos), out + (pos - offset)))
            return false;
        pos = runEnd;
    }
    return true;
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
    if (s->ops == &FileStreamOps)
        f = static_cast<FILE*>(s->impl);
    else if (s->ops == &PreallocFileStreamOps)
        f = static_cast<PreallocFile*>(s->impl)->file;
    if (f == nullptr || fflush(f) != 0) return false;
    int fd = fileno(f);
    if (fd < 0) return false;
    return fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
}
