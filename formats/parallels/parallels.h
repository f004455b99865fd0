// Parallels image files: the single image file (DISK_KIND_PARALLELS), the "Compressed" data
// file of a bundle (ParallelsDataFile) and the "Plain" data file of a bundle
// (ParallelsFlatFile).
//
// The first two share the 64-byte "WithoutFreeSpace" header (little-endian u32 fields) and a
// table of u32 block positions in 512-byte sectors at offset 64; entry 0 is an absent block.
// Every table written here covers a partial last block: the last block is zero-padded, and a
// single file's cylinder count is rounded up so that its disk holds the whole source.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    PARALLELS_HEADER_BYTES = 64,
    PARALLELS_VERSION = 2,
    // Copy pieces of the plain data file's writer and of Parallels_WriteBlock, and the work
    // buffer of the queries.
    PARALLELS_COPY_BYTES = 0x200000,
    // Flag of Parallels_Create: write 0 as the header's total-sectors field.
    PARALLELS_FLAG_NO_TOTAL = 2
};

// Header in host order (twelve u32 after the signature).
struct ParallelsHeader {
    uint8_t signature[16];
    uint32_t version;
    uint32_t heads;
    uint32_t cylinders;
    uint32_t sectorsPerBlock;
    uint32_t entries;
    uint32_t totalSectors;
    uint32_t reserved40;
    uint32_t reserved44;
    uint32_t dataStart;  // offset 48, in sectors
    uint32_t reserved52;
    uint32_t reserved56;
    uint32_t reserved60;
};
static_assert(sizeof(ParallelsHeader) == 64, "Parallels header is 64 bytes");

// Sectors of a block of a data file: one track, or half of one on an even number of heads.
inline uint64_t Parallels_BlockSectors(uint64_t heads, uint64_t sectorsPerTrack)
{
    return heads % 2 == 0 ? heads * sectorsPerTrack / 2 : heads * sectorsPerTrack;
}

// Converts the twelve u32 fields between file (little-endian) and host order.
void ParallelsData_HeaderToHost(ParallelsHeader* header);

// ---- Single image file (kind 8) -----------------------------------------------------------------
// Two layouts are read. "WithoutFreeSpace": entries in sectors, data after the table area,
// the disk is heads x cylinders x sectors per block, the file exactly as long as its blocks.
// "WithouFreSpacExt" (qemu-img's): entries count whole blocks, data from the header's data
// start (offset 48; 0 means right after the table), the disk size is the 64-bit count at
// offset 36, and the file may hold more than its blocks (a header-extension block at the
// sector given at offset 56, space reserved ahead of writes); the words at 44 (in-use mark) and
// 56 are not needed to read the disk.
//
// The table is not kept whole (4 bytes per block: 272 MiB for a disk of 2 TiB in blocks of one
// 63-sector track): it is read in windows of entries as blocks are asked for, a few windows held
// at a time.
enum : uint32_t {
    PARALLELS_TABLE_WINDOW_ENTRIES = 0x10000,  // entries of one window (256 KiB)
    PARALLELS_TABLE_SLOTS = 8                  // windows held at once
};

// The windows of a single file's table held in memory, the least recently used replaced first.
struct ParallelsTableCache {
    uint32_t* slots;  // owned: slotCount windows of windowEntries entries, host order
    uint32_t windowEntries;
    uint32_t slotCount;                      // at most PARALLELS_TABLE_SLOTS
    uint64_t window[PARALLELS_TABLE_SLOTS];  // window held by each slot; UINT64_MAX none
    uint64_t lastUse[PARALLELS_TABLE_SLOTS];
    uint64_t clock;
};

struct ParallelsImage {
    DiskGeometry geometry;
    ByteStream* stream;  // owned
    ParallelsTableCache tableCache;
    uint32_t blockBytes;
    uint32_t sectorsPerBlock;
    uint32_t entries;
    uint32_t allocated;      // present entries, counted at open
    uint64_t fileSectors;    // the file's size at open, in sectors
    ParallelsHeader header;  // host order, as read
    char* path;              // owned copy of the file's path
    bool extended;           // the "WithouFreSpacExt" layout
    uint32_t unit;           // sectors per table unit: 1, or sectors per block when extended
    uint64_t dataStart;      // in sectors
};

int Disk_OpenParallels(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenParallelsWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                  bool readOnly, int parentMode, void* openProgress);

ParallelsImage* Parallels_Alloc();
void Parallels_Init(ParallelsImage* image);
void Parallels_Close(void* object);
// DISK_CANCELLED, DISK_ERR_OPEN, DISK_ERR_READ, DISK_ERR_SIZE, DISK_ERR_NOMEM, DISK_ERR_FORMAT
// (signature, zero heads, cylinders or sectors per block, a table that does not cover the
// disk, a size other than data start + stored blocks, an entry outside the file, a total of
// 2^32 sectors or more; for the extended layout a zero disk size, a table that does not cover
// it, a data start inside the table, an entry before the data start or outside the file). The
// image is left cleared on failure.
int Parallels_OpenWithHandler(ParallelsImage* image, const FileOpener* opener, const char* path,
                              bool readOnly);
int Parallels_Open(ParallelsImage* image, const char* path, bool readOnly);
// Entries per table window of the single files opened from now on (for tests that need a table
// of several windows), at most PARALLELS_TABLE_WINDOW_ENTRIES; 0 restores that.
void Parallels_SetTableWindowEntries(uint32_t entries);
void Parallels_GetGeometry(void* object, DiskGeometry* out);
int Parallels_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Parallels_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
bool Parallels_CanCompact(void* object);
// 0 when the sectors are 512 bytes, heads and sectors per track are set and the total rounded up
// to whole cylinders fits 32 bits, else -1.
int32_t Parallels_CheckGeometry(const DiskGeometry* geometry);

// Writes the source as a single image file: one track per block, cylinders rounded up so that
// the disk covers every source sector (the tail is zero). The source is read once, in batches of
// whole blocks and only where it may hold data (the map's used sectors, ranges that
// Disk_IsRangeKnownZero does not vouch for); blocks that read as zeros stay out of the table.
// Stored blocks go out in batches, the table once its blocks are written, the header last, and
// the file is not synced. DISK_ERR_ARG for a geometry the file
// cannot hold (Parallels_CheckGeometry, zero heads or sectors per track, a rounded total of
// 2^32 sectors or more); DISK_ERR_CREATE, DISK_ERR_NOMEM, DISK_ERR_WRITE, DISK_CANCELLED, or
// the source's failure.
int Parallels_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     ProgressCallback callback, void* user, uint32_t flags);
// Stores `count` source sectors from `first` (zero-padded to a block of `blockSectors`) at
// *position unless they read as zeros (free sectors of the map count as zeros), or with
// keepAllocation unless the source does not allocate them (Disk_IsRangeUnallocated). The block
// is read once, in pieces of PARALLELS_COPY_BYTES through `buffer` (of that size); ranges known
// to be zeros are not read. *entry becomes *position - base or stays 0.
int Parallels_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                         UsedSectorMap* map, uint64_t first, uint32_t count, uint32_t blockSectors,
                         uint8_t* buffer, uint32_t* entry, uint32_t base, bool keepAllocation);

// Rewrites the open file of `source` (kind 8) without its empty blocks into a temporary file
// beside the path and arms the output record. Its absent blocks are not read, the others once.
// The temporary file is not synced here: the commit syncs it before it takes the image's name.
// DISK_ERR_FORMAT, before anything is written, for a
// table whose entries share a block. DISK_ERR_ARG, DISK_ERR_SIZE (preallocation),
// DISK_ERR_CREATE, DISK_ERR_READ, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED.
int Parallels_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                      OutputFile* output, bool preallocate, ProgressCallback callback, void* user);
int Parallels_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags);
int Parallels_DiscardCompact(OutputFile* output);

// ---- Bundle data files -------------------------------------------------------------------------
struct ParallelsStorageImage;

struct ParallelsDataFile {
    DiskGeometry geometry;
    ByteStream* stream;  // owned
    uint32_t* table;     // owned, host order
    uint32_t blockBytes;
    uint32_t sectorsPerBlock;
    uint32_t base;  // the descriptor's "Padding", in sectors
    // The previous snapshot's image of the same storage (not owned): absent blocks read
    // through it.
    const ParallelsStorageImage* previous;
    uint32_t firstSector;  // of the storage in the disk
    uint32_t entries;
    ParallelsHeader header;  // host order
};

struct ParallelsFlatFile {
    DiskGeometry geometry;  // total = the storage's sector count
    ByteStream* stream;     // owned
    uint32_t firstSector;
};

// One image of a storage: type -1 absent, 0 "Compressed", 1 "Plain".
struct ParallelsStorageImage {
    int32_t type;
    ParallelsDataFile data;
    ParallelsFlatFile flat;
    char* path;  // owned
};

void ParallelsData_Init(ParallelsDataFile* file);
void ParallelsData_Close(ParallelsDataFile* file);
int ParallelsData_OpenWithCallback(ParallelsDataFile* file, FileOpenFn open, void* user,
                                   const char* path, bool readOnly, uint32_t base,
                                   const ParallelsStorageImage* previous, uint32_t firstSector);
int ParallelsData_Open(ParallelsDataFile* file, const char* path, bool readOnly, uint32_t base,
                       const ParallelsStorageImage* previous, uint32_t firstSector);
// Offsets within the storage; absent blocks read through the previous images, else zeros.
int ParallelsData_Read(ParallelsDataFile* file, uint64_t offset, uint32_t length, void* buffer);
int ParallelsData_IsRangeEmpty(ParallelsDataFile* file, UsedSectorMap* map, uint64_t first,
                               uint32_t count, bool* empty);
int ParallelsData_IsRangeUnallocated(ParallelsDataFile* file, UsedSectorMap* map, uint64_t first,
                                     uint32_t count, bool* out);
bool ParallelsData_CanCompact(const ParallelsDataFile* file);
// Storage [first, first + count) of the source as a data file with table base `base`.
int ParallelsData_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                         uint32_t first, uint32_t count, uint32_t base, ProgressCallback callback,
                         void* user, uint64_t diskTotal);
int ParallelsData_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                             UsedSectorMap* map, uint64_t first, uint32_t count,
                             uint32_t blockSectors, uint8_t* buffer, uint32_t* entry, uint32_t base,
                             bool keepAllocation);
// Rewrites the data file into tempPath from the bundle `source` (disk-absolute sectors); the
// header (data start included) is kept; the commit syncs the file. DISK_ERR_FORMAT, before the
// file is created, for a table whose entries share a block.
int ParallelsData_Compact(ParallelsDataFile* file, const char* tempPath, const DiskHandle* source,
                          UsedSectorMap* map, bool preallocate, ProgressCallback callback,
                          void* user, uint64_t diskTotal, bool keepAllocation);

void ParallelsFlat_Init(ParallelsFlatFile* file);
void ParallelsFlat_Close(ParallelsFlatFile* file);
int ParallelsFlat_OpenWithCallback(ParallelsFlatFile* file, FileOpenFn open, void* user,
                                   const char* path, bool readOnly, uint32_t sectors,
                                   uint32_t firstSector);
int ParallelsFlat_Open(ParallelsFlatFile* file, const char* path, bool readOnly, uint32_t sectors,
                       uint32_t firstSector);
int ParallelsFlat_Read(ParallelsFlatFile* file, uint64_t offset, uint32_t length, void* buffer);
int ParallelsFlat_IsRangeEmpty(ParallelsFlatFile* file, UsedSectorMap* map, uint64_t first,
                               uint32_t count, bool* empty);
// Storage [first, first + count) of the source as plain sectors; sectors the map marks free are
// zeros, and pieces of zeros are left as holes.
int ParallelsFlat_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                         uint32_t first, uint32_t count, uint32_t unused, ProgressCallback callback,
                         void* user, uint64_t diskTotal);

void ParallelsStorageImage_Init(ParallelsStorageImage* image);
void ParallelsStorageImage_Close(ParallelsStorageImage* image);
int ParallelsStorageImage_Read(const ParallelsStorageImage* image, uint64_t offset, uint32_t length,
                               void* buffer);
