// Split sets (DISK_KIND_SPLIT): a disk stored as a row of part files, each beginning with a
// 104-byte header and holding a slice of one data stream (the disk's bytes, stored or as one
// zlib stream). Parts are found through a text descriptor ("file" / "max_size" entries) or one
// after another from the first part, asking a callback where each next part lies.
//
// Reading is forward-only: a read may not start before the start of the previous one. Reads
// and empty-range queries share one window, so a query followed by the read of the same range
// reads the stream once.
#pragma once

#include <cstdint>

#include "disk/disk.h"

enum : uint32_t {
    SPLIT_HEADER_BYTES = 104,
    SPLIT_MAGIC = 0xAA55,
    SPLIT_VERSION = 2,
    SPLIT_MAX_DESCRIPTOR_BYTES = 0xA0000,
    SPLIT_MAX_PARTS = 65536,
    SPLIT_PATH_BYTES = 4096,
    // Part sizes are whole MiB below 4 GiB (the header counts a part's bytes in 32 bits).
    SPLIT_MAX_PART_MIB = 4095
};

// The question for a part file: flag 1 when the previous answer could not be used.
struct SplitPartRequest {
    uint32_t flag;
    uint32_t partIndex;           // counted from 0
    char path[SPLIT_PATH_BYTES];  // suggested on entry, chosen on return (UTF-8, terminated)
};
typedef bool (*SplitPartCallback)(SplitPartRequest* request, void* user);

struct SplitCreateOptions {
    uint32_t firstValue;
    uint32_t cylindersValue;
    uint32_t heads;
    uint32_t sectorsPerTrack;
    uint32_t compressionLevel;  // 0 stored, 1..9 zlib
    bool partsFromDescriptor;   // the output path is a descriptor listing the parts
    uint32_t partMiB;           // 1 .. SPLIT_MAX_PART_MIB
    bool nameWithoutAsking;
};

struct SplitDisk;

SplitCreateOptions* SplitDisk_AllocCreateOptions();
SplitDisk* SplitDisk_Alloc();
void SplitDisk_Init(SplitDisk* disk);
// Close of kind -3: frees everything the object holds (not the object's own memory).
void SplitDisk_Destroy(void* object);

// The path as a descriptor / as the first part. DISK_ERR_NOMEM, DISK_ERR_READ, DISK_ERR_FORMAT,
// DISK_ERR_CREATE (a part that cannot be opened), DISK_ERR_OPEN (the path itself).
int SplitDisk_OpenDescriptor(SplitDisk* disk, const char* path, bool readOnly);
int SplitDisk_OpenFirstPart(SplitDisk* disk, const char* path, bool readOnly);
// Allocates, opens as descriptor then as first part, and stores the kind on success.
int Disk_OpenSplit(DiskHandle* handle, const char* path, bool readOnly);

void SplitDisk_SetPartRequestCallback(SplitDisk* disk, SplitPartCallback callback, void* user);
void SplitDisk_GetGeometry(void* object, DiskGeometry* out);
// DISK_ERR_ARG outside the disk or before the window (reads never go back); 1 when the part
// callback gave up; DISK_ERR_READ, DISK_ERR_FORMAT.
int SplitDisk_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
// A range that lies in holes of the part files is empty without a read. Holes are never read.
int SplitDisk_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// *zero = true when the part files of a set stored without compression hold the range in holes.
// Reads nothing (part files already known may be opened; none is asked for); false for a
// compressed set or a range beyond the parts met so far. DISK_ERR_ARG outside the disk.
int SplitDisk_IsRangeKnownZero(void* object, uint64_t first, uint32_t count, bool* zero);
void SplitDisk_SetHeadsAndSectors(SplitDisk* disk, uint32_t heads, uint32_t sectorsPerTrack);
void SplitDisk_GetHeaderInfo(const SplitDisk* disk, uint32_t* firstValue, uint32_t* cylindersValue,
                             uint32_t* heads, uint32_t* sectorsPerTrack);
int32_t SplitDisk_CheckGeometry(const DiskGeometry* geometry);

// Writes the source as a split set. DISK_ERR_ARG for unusable options (part size 0 or
// 4096 MiB and more, a level above 9), a descriptor whose parts are used up before the stream
// ends, or names that do not fit; DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM, 1 when the
// part callback or the progress callback gave up, or the source's failure.
int SplitDisk_Create(const char* path, const DiskHandle* source, ProgressCallback callback,
                     void* user, SplitPartCallback partCallback, void* partUser,
                     const SplitCreateOptions* options);
