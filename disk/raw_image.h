// Raw image layer: sectors lying contiguously in one stream after a data offset. It is the
// built-in disk kind DISK_KIND_RAW (opened with a given offset and geometry, or through an NDI
// descriptor) and the embedded base of every fixed-header emulator image.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct UsedSectorMap;

// Size of the work buffer of the empty-range query.
enum : uint32_t { RAW_IMAGE_BUFFER_SIZE = 0x200000 };

struct RawImage {
    ByteStream* stream;   // owned
    uint64_t dataOffset;  // byte offset of sector 0 in the stream
    DiskGeometry geometry;
    uint8_t* buffer;  // RAW_IMAGE_BUFFER_SIZE bytes, owned
    // The stream's last answer about stored bytes: from any offset in [knownFrom, knownEnd) the
    // next stored run is [max(offset, knownStart), knownEnd). A raw disk's file is not expected
    // to change while it is open, so the holes and runs of a walk are asked about once.
    bool known;
    uint64_t knownFrom;
    uint64_t knownStart;
    uint64_t knownEnd;
};

RawImage* RawImage_Alloc();
// No stream, offset 0, zero geometry, no buffer.
void RawImage_Init(RawImage* obj);

// Open callback of the raw layer: the shape of a FileOpener's function.
typedef FileOpenFn RawImageOpenFn;

// Opens path through the callback and checks that the stream holds offset + total x bytes per
// sector. 1 when the callback cancelled, DISK_ERR_OPEN when it failed, DISK_ERR_ARG for an
// incomplete geometry, DISK_ERR_SIZE, DISK_ERR_FORMAT when the stream is too short (or the
// size does not fit 64 bits), DISK_ERR_NOMEM. On failure the object is left cleared.
int RawImage_OpenWithCallback(RawImage* obj, RawImageOpenFn open, void* user, const char* path,
                              bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry);
int RawImage_OpenWithHandler(RawImage* obj, const FileOpener* opener, const char* path,
                             bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry);
int RawImage_Open(RawImage* obj, const char* path, bool readOnly, uint64_t dataOffset,
                  const DiskGeometry* geometry);

// Takes an already open stream (the fixed-header images check size and geometry themselves).
// The geometry must have a non-zero bytes per sector (DISK_ERR_ARG). DISK_ERR_NOMEM (object
// cleared, stream not taken) when the buffer cannot be allocated.
int RawImage_Attach(RawImage* obj, ByteStream* stream, uint64_t dataOffset,
                    const DiskGeometry* geometry);
// Frees the buffer, clears the object and hands back the stream unclosed.
ByteStream* RawImage_Detach(RawImage* obj);
// Closes the stream when present, frees the buffer, clears the object.
void RawImage_Destroy(RawImage* obj);

void RawImage_GetGeometry(RawImage* obj, DiskGeometry* out);
// DISK_ERR_ARG when the range passes the end of the disk, DISK_ERR_READ on a failed read.
int RawImage_Read(RawImage* obj, uint64_t offset, uint32_t length, void* buffer);
// The adapter is not used. DISK_ERR_ARG when the range passes the end of the disk.
// Holes of the stream are not read: they count as zero sectors.
int RawImage_IsRangeEmpty(RawImage* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                          bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// *zero = true when the stream stores no byte of the sectors [first, first + count): they lie
// in a hole of the file. Reads nothing; false when the stream cannot tell. DISK_ERR_ARG when the
// range passes the end of the disk.
int RawImage_IsRangeKnownZero(RawImage* obj, uint64_t first, uint32_t count, bool* zero);

// Opens path as a raw image described by the ".ndi" descriptor beside it (same directory and
// stem). A missing descriptor answers DISK_ERR_ARG, a malformed one DISK_ERR_FORMAT.
int RawImage_OpenNdi(RawImage* obj, const FileOpener* opener, const char* path, bool readOnly);
