// Byte streams: an implementation object with a table of four operations and an optional
// fifth (where the file stores data), and the file opener through which every existing image
// file is opened.
#pragma once

#include <cstdint>
#include <cstdio>

struct ByteStreamOps {
    bool (*ReadAt)(void* impl, uint64_t offset, uint32_t length, void* buffer);
    bool (*WriteAt)(void* impl, uint64_t offset, uint32_t length, const void* data);
    // Releases the implementation object. Answers false when data written earlier could not
    // be committed to the file (a failed flush or truncation); the object is released anyway.
    bool (*Close)(void* impl);
    bool (*GetSize)(void* impl, uint64_t* size);
    // Optional: NULL for a stream that cannot tell where its file stores data. Finds the first
    // stored byte at or after offset: *dataStart is that byte and *dataEnd the end of the stored
    // run that begins there (the next hole or the end of the file; a file may answer a shorter
    // run, and the bytes after it are asked again). When nothing is stored from
    // offset to the end of the file, both are the file's size; a file system that keeps no
    // holes answers the whole rest of the file as one run. False when the file cannot answer
    // (offset at or past its end, a failed query): the bytes then count as stored.
    bool (*FindData)(void* impl, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);
};

struct ByteStream {
    void* impl;
    const ByteStreamOps* ops;
};

// A stream over a plain file handle: the handle is the implementation pointer.
bool FileStream_ReadAt(void* impl, uint64_t offset, uint32_t length, void* buffer);
bool FileStream_WriteAt(void* impl, uint64_t offset, uint32_t length, const void* data);
bool FileStream_Close(void* impl);
bool FileStream_GetSize(void* impl, uint64_t* size);
bool FileStream_FindData(void* impl, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);
extern const ByteStreamOps FileStreamOps;

// The FindData answer for an open descriptor, from lseek's SEEK_DATA and SEEK_HOLE; on a
// descriptor opened for reading only, space the file system reserved but never wrote counts as
// a hole too (it reads as zeros). The descriptor's file position is the same afterwards.
bool File_FindDataInDescriptor(int fd, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);

// A preallocated output file that remembers the end of its furthest write.
struct PreallocFile {
    FILE* file;
    uint64_t preallocatedSize;
    uint64_t logicalEnd;
};

PreallocFile* PreallocFile_Alloc();
bool PreallocFile_ReadAt(void* impl, uint64_t offset, uint32_t length, void* buffer);
bool PreallocFile_WriteAt(void* impl, uint64_t offset, uint32_t length, const void* data);
bool PreallocFile_Close(void* impl);
bool PreallocFile_GetSize(void* impl, uint64_t* size);
// Truncates the file at the logical end, closes it and frees the record.
bool PreallocFile_Destroy(PreallocFile* pf);
extern const ByteStreamOps PreallocFileStreamOps;

// An output file on a write-only descriptor: positioned writes, no reads (ReadAt fails). On
// close the file is given its final length, the larger of the furthest write and the length
// named at creation; what was never written stays a hole. preallocate reserves the named length
// at creation instead.
struct WriteOnlyFile {
    int fd;
    uint64_t length;      // at least this long when closed
    uint64_t logicalEnd;  // end of the furthest write
};
extern const ByteStreamOps WriteOnlyFileStreamOps;

ByteStream* Stream_Alloc(void* impl, const ByteStreamOps* ops);
bool Stream_OpenFile(const char* path, bool readOnly, ByteStream** out);
bool Stream_CreateFile(const char* path, ByteStream** out);
bool Stream_CreatePreallocated(const char* path, uint64_t size, ByteStream** out);
bool Stream_CreateWriteOnly(const char* path, uint64_t length, bool preallocate, ByteStream** out);
bool Stream_ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* buffer);
bool Stream_WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data);
bool Stream_GetSize(ByteStream* s, uint64_t* size);
// The stream's FindData; false when the stream has none.
bool Stream_FindData(ByteStream* s, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);
// True when the file is known to store no byte of [offset, offset + length) inside its size:
// the range reads as zeros. False when some byte is stored, the range passes the end of the
// file, or the stream cannot tell. Reads nothing.
bool Stream_IsHole(ByteStream* s, uint64_t offset, uint64_t length);
// Stream_ReadAt that does not read the holes of the range: their bytes are set to zero. A
// stream that cannot tell where it stores data is read in full.
bool Stream_ReadStoredAt(ByteStream* s, uint64_t offset, uint32_t length, void* buffer);
// Closes the implementation and frees the stream. The answer is false when written data
// could not be committed; callers that wrote through the stream must check it.
bool Stream_Close(ByteStream* s);
// Close of a stream made by Stream_CreatePreallocated: answers whether the final flush and
// the truncation at the logical end succeeded.
bool Stream_ClosePreallocated(ByteStream* s);
// Commits the data written so far to stable storage (flush, then fsync; a file system that
// cannot sync counts as done). False when either fails, and for a stream that is not a file.
bool Stream_Sync(ByteStream* s);

// Open callback: 0 opened (*out set), 1 cancelled by the user, anything else failed.
typedef int (*FileOpenFn)(const char* path, bool readOnly, ByteStream** out, void* user);

struct FileOpener {
    FileOpenFn open;
    void* user;
};

int FileOpener_DefaultOpen(const char* path, bool readOnly, ByteStream** out, void* user);
// The default opener record {FileOpener_DefaultOpen, NULL}.
extern const FileOpener FileOpener_Default;
// Opens through an opener and maps its answer to a result code: 0, DISK_CANCELLED or DISK_ERR_OPEN.
int FileOpener_Open(const FileOpener* opener, const char* path, bool readOnly, ByteStream** out);
