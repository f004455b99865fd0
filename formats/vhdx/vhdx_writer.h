// VHDX writer and compaction.
//
// A new file has the log (empty) at 1 MiB, the metadata region at 2 MiB, the BAT at 3 MiB and
// the payload blocks behind it; empty blocks are not stored (BAT state "zero"). Compaction
// rewrites an open VHDX without its empty blocks into a temporary file: the regions other than
// the BAT are moved behind the log in table order, the BAT behind them, and both copies of the
// region table get the new offsets and a new CRC-32C.
//
// Copies go in pieces of at most VHDX_COPY_BYTES, each read once (the writer kit): the read serves
// the zero test and the copy, ranges the source knows to be zeros are not read, and sectors that
// the used-sector map marks free are never read and are stored as zeros. A block that reads as
// zeros gets state "zero".
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/vhdx/vhdx.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t { VHDX_COPY_BYTES = 0x200000 };

struct VhdxCreateOptions {
    uint8_t keepEveryBlock;       // store every block, empty or not
    uint32_t blockSizeShift;      // block size = 1 MiB << shift (0..8)
    uint32_t logicalSector4096;   // 4096-byte logical sectors
    uint32_t physicalSector4096;  // 4096-byte physical sectors
};

// An uninitialised options record from Mem_Alloc; NULL when exhausted.
VhdxCreateOptions* Vhdx_AllocCreateOptions();

// Writes the source as a new VHDX at path. With a 4096-byte sector flag the disk is rounded up to
// whole 4096-byte sectors (the tail reads as zeros). DISK_ERR_ARG for a source that no VHDX can
// hold (no sectors, more than 64 TiB, sectors other than 512 bytes) or a block size shift above
// 8; DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED or the source's failure.
// A failed write leaves the partial file.
int Vhdx_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback callback, void* user, const VhdxCreateOptions* options);

// Stores the source's blocks from file offset `offset` on and fills the BAT (host order):
// blocks that read as zeros (unless keepEveryBlock) get state "zero", stored ones their offset with state
// "fully present", every sector-bitmap entry 0.
int Vhdx_WriteBlocks(uint32_t blockSize, uint64_t totalSectors, uint32_t chunkRatio,
                     uint32_t batEntryCount, uint64_t offset, uint64_t* bat, ByteStream* out,
                     const DiskHandle* source, UsedSectorMap* map, ProgressCallback callback,
                     void* user, const VhdxCreateOptions* options);

// Rewrites the open image of `source` (kind 5) without its empty blocks into a temporary file
// beside path and arms the output record (the caller commits or discards). A differencing image
// is written with its parent's data merged in. The image is not touched. DISK_ERR_ARG,
// DISK_ERR_FORMAT (a region table the rewrite cannot follow), DISK_ERR_CREATE, DISK_ERR_SIZE
// (preallocation), DISK_ERR_READ, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED.
int Vhdx_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                 bool preallocate, ProgressCallback callback, void* user);
// The names of a compaction's output: final = path, temporary = path + "_TEMP" or the first
// free numbered variant of it that is no file of the image's chain; the backup name path +
// "_del" must not be a file of the chain either (OutputEntry_ChooseNames). DISK_ERR_ARG,
// DISK_ERR_CREATE.
int Vhdx_SetCompactPaths(OutputFile* output, const char* path, const VhdxImage* image);
// OutputFile_Commit (flags OUTPUT_COMMIT_*) and OutputFile_Rollback; their failures are answered.
int Vhdx_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags);
int Vhdx_DiscardCompact(OutputFile* output);
