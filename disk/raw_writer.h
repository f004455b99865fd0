// The raw writer shared by the creators of contiguous images (header, sectors, gap, trailer),
// and the flat raw image with its ".txt" description.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct UsedSectorMap;

// Size of the copy buffer of the creators.
enum : uint32_t { RAW_WRITER_CHUNK = 0x200000 };

// Writes a new file: zeros up to the data offset, the source's total sectors from the data
// offset, `gap` zero bytes after the data, the trailer (when given), and last the header at 0
// (when given), so that a partial file carries neither header nor trailer. The file is created
// preallocated to its final size. The source is read in chunks of
// chunkSize / bytesPerSector sectors with one buffer for the whole operation; the callback (may
// be NULL) gets (0, total) first, (done, total) after every chunk and (total, total) at the end,
// and a false answer stops the writer with DISK_CANCELLED, leaving the partial file.
// DISK_ERR_ARG for sizes that do not fit (header past the data offset, a chunk smaller than one
// sector, an end beyond 2^64), DISK_ERR_CREATE, DISK_ERR_NOMEM, DISK_ERR_WRITE, or the source's
// read failure.
int RawWriter_Write(const char* path, const DiskHandle* source, ProgressCallback callback,
                    void* user, uint64_t totalSectors, uint32_t bytesPerSector, const void* header,
                    uint32_t headerLength, uint64_t dataOffset, uint64_t gapLength,
                    const void* trailer, uint32_t trailerLength, uint32_t chunkSize);
// The same with a used-sector map (NULL: every sector used): a chunk that holds nothing the map marks used is not read; a
// used chunk is read once, its free sectors are cleared and it is written only when it holds
// something other than zeros. What is not written stays a hole in the file (not preallocated),
// which is given its full length at the end; the output is written on a write-only descriptor.
// RawWriter_Write reads and writes every chunk into a preallocated file.
int RawWriter_WriteWithMap(const char* path, const DiskHandle* source, UsedSectorMap* map,
                           ProgressCallback callback, void* user, uint64_t totalSectors,
                           uint32_t bytesPerSector, const void* header, uint32_t headerLength,
                           uint64_t dataOffset, uint64_t gapLength, const void* trailer,
                           uint32_t trailerLength, uint32_t chunkSize);
// Writes exactly `length` zero bytes at the offset in pieces of at most bufferSize bytes; the
// buffer is cleared first. DISK_ERR_WRITE on a failed write, DISK_ERR_ARG for an empty buffer.
int RawWriter_ZeroFill(ByteStream* file, uint64_t offset, uint64_t length, void* buffer,
                       uint32_t bufferSize);

// ---- Flat raw image -----------------------------------------------------------------------
// 0 when the byte size fits 63 bits, else -1.
int32_t FlatImage_CheckGeometry(const DiskGeometry* geometry);
// Writes the ".txt" description beside the image path (same directory and stem), naming the
// image, its geometry and the mode word. DISK_ERR_ARG when the path or the text (at most 2048
// bytes) does not fit, DISK_ERR_CREATE when the file cannot be created, DISK_ERR_WRITE.
int FlatImage_WriteTxtFile(const char* imagePath, const DiskGeometry* geometry, const char* mode);
// The ".txt" description with mode "flat", then the source's sectors from byte 0. Free space
// that the map knows of is not read.
int FlatImage_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     ProgressCallback callback, void* user);
