// File-system dispatch and the used-sector map.
//
// The map cuts a disk into volume regions (partitions and the gaps between them), gives each
// partition to the first file-system driver that recognises it, and answers which sectors hold
// data. The answer is conservative: a sector is free (bit 0) only when a recognised file system
// says that everything stored in it is unallocated. Gaps, unrecognised partitions and anything
// beyond the end of a file system are used (bit 1). A map without regions answers "all used".
//
// Units: one bit per disk sector of B bytes, B = the geometry's bytes per sector (256 to 4096 on
// PC-98 disks, not always 512). Bitmaps are caller-owned byte arrays of at least ceil(count / 8)
// bytes, least significant bit first, bit i for the i-th sector of the asked range.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/partition.h"

// ---- File-system kinds ------------------------------------------------------------
// The number is also the index into the four driver tables.
typedef int32_t FsKind;
enum : int32_t {
    FS_KIND_NTFS = 0,
    FS_KIND_EXT = 1,
    FS_KIND_FAT = 2,  // FAT12/16/32 and Human68k FAT volumes
    FS_KIND_XFS = 3,
    FS_KIND_EXFAT = 4,
    FS_KIND_UNSUPPORTED = 5,  // placeholder that never accepts a volume
    FS_KIND_HFSPLUS = 6,
    FS_KIND_BTRFS = 7,
    FS_KIND_NONE = -1,  // a partition that no driver accepted
    FS_KIND_GAP = -2    // sectors outside every partition
};
// Kinds 0 .. FS_KIND_COUNT - 1 are the known kinds; only they have a driver object.
enum : uint32_t { FS_KIND_COUNT = 8 };

// ---- Regions and the map --------------------------------------------------------------
struct VolumeRegion {
    uint64_t first;  // first sector, absolute
    uint64_t count;  // sector count
    FsKind kind;
    void* object;  // the driver object, owned; NULL for FS_KIND_NONE and FS_KIND_GAP
};

struct UsedSectorMap {
    uint32_t bytesPerSector;  // the disk's, taken from its geometry when the map is built
    uint32_t regionCount;
    VolumeRegion* regions;  // sorted, contiguous, covering sector 0 to the last sector
};

// ---- Driver contract ------------------------------------------------------------------
// Every file-system driver provides these four operations with exactly these types; the object
// is the driver's own record, passed as void*.
//
// Units: the sectors below are disk sectors of B bytes, B = Disk_GetGeometry(disk)
// .bytes_per_sector (never assume 512). A driver works in byte offsets from the partition start
// first x B and marks relative sector s used when any byte of [s x B, (s + 1) x B) is used by
// its file system or lies outside what it knows. A driver refuses B = 0.
//
// attach(region, disk, first sector, sector count): allocates the driver object with Mem_Alloc
//   (the region frees it with Mem_Free after destroy), opens the file system of the partition and only on success fills the region with {first, count, own kind,
//   object}; on failure frees the object, leaves the region untouched and returns its code
//   (DISK_ERR_NOMEM when the object cannot be allocated, DISK_ERR_FS_CORRUPT for a partition
//   that is not its file system or is inconsistent). Everything needed for queries is loaded
//   here: queries read nothing from the disk.
typedef int (*FsAttachFn)(VolumeRegion* region, const DiskHandle* disk, uint64_t first,
                          uint64_t count);
// used-bits fill(object, first sector relative to the partition, count, bitmap, bit offset):
//   writes bits bitOffset .. bitOffset + count - 1 of the bitmap, 1 = used, 0 = free; every bit
//   of the piece is written. The range lies inside the region given to attach.
typedef int (*FsUsedBitsFn)(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                            uint32_t bitOffset);
// destroy(object): releases what the object holds; the region then frees the object itself.
typedef void (*FsDestroyFn)(void* object);
// data test(object, byte offset relative to the partition, length, data or NULL, empty cell,
//   bytes-before cell or NULL): *empty = 1 when no used byte of the range holds data; when
//   *empty = 0 and a bytes-before cell is given, it receives the bytes of the range before the
//   first used data (relative to the range's start).
typedef int (*FsTestDataFn)(void* object, uint64_t offset, uint32_t length, const uint8_t* data,
                            bool* empty, uint64_t* bytesBefore);

// Indexed by kind 0..7. A NULL attach slot refuses every partition (DISK_ERR_UNSUPPORTED); a
// NULL data test slot means "no own data test". Filled in used_map.cpp; tests may substitute
// slots.
extern FsDestroyFn FsDestroyTable[FS_KIND_COUNT];
extern FsAttachFn FsAttachTable[FS_KIND_COUNT];
extern FsUsedBitsFn FsUsedBitsTable[FS_KIND_COUNT];
extern FsTestDataFn FsTestDataTable[FS_KIND_COUNT];

// ---- Region level ---------------------------------------------------------------------
// 0x07 -> 0; 0x83 -> 1; 0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E -> 2; 0xFB -> 5; anything else -> -1.
FsKind Fs_KindFromMbrType(uint8_t type);

VolumeRegion* VolumeRegion_Alloc();
// {0, 0, FS_KIND_NONE, no object}.
void VolumeRegion_Init(VolumeRegion* region);
// For a known kind: the kind's destroy, frees the object, kind becomes FS_KIND_NONE.
void VolumeRegion_Destroy(VolumeRegion* region);
// Destroys every region of the array (the array itself is not freed).
void VolumeRegion_DestroyArray(uint32_t count, VolumeRegion* regions);

// The attach slot of a known kind (DISK_ERR_UNSUPPORTED for an empty slot); any other kind makes
// the region {first, count, FS_KIND_NONE} with DISK_OK.
int Fs_AttachKind(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count,
                  FsKind kind);
// Tries the attach slots of kinds 0..7. Exactly one acceptance wins; when two drivers accept
// the same partition (a stale signature of an earlier file system) both are let go and the
// partition counts as unrecognised. DISK_ERR_ARG when none (or more than one) accepts.
int Fs_AttachAny(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);
// The kind's fill slot; kinds -1 and -2 set every bit of the piece.
int VolumeRegion_FillUsedBits(const VolumeRegion* region, uint64_t first, uint32_t count,
                              uint8_t* bitmap, uint32_t bitOffset);
// The kind's data test where it has one; otherwise *empty = 1 when the data is all zero, else
// 0 (without data the piece counts as holding data at its first byte).
int VolumeRegion_TestData(const VolumeRegion* region, uint64_t offset, uint32_t length,
                          const uint8_t* data, bool* empty, uint64_t* bytesBefore);

// Tiles [0, total sectors) into regions from a list sorted by first sector. With regions NULL
// it only counts (and already clips); with an array of *regionCount regions it also attaches
// drivers. Clips the count of the last entry to the disk end (written into the caller's entry).
// DISK_ERR_FS_CORRUPT for overlapping or empty entries, an entry starting at or past the disk
// end, or one other than the last running past it. DISK_ERR_ARG for a disk without geometry.
int Fs_BuildRegions(uint32_t entryCount, PartitionEntry* entries, const DiskHandle* disk,
                    uint32_t* regionCount, VolumeRegion* regions);
// Used bits of sectors first .. first + count - 1. DISK_ERR_ARG for a negative count, a first
// sector at or past the end of the last region, or a range that leaves the map. With no
// regions every bit is set (all used).
int Fs_BuildBitmap(uint32_t regionCount, const VolumeRegion* regions, uint64_t first, int32_t count,
                   uint8_t* bitmap);
// -1, 0, 1 as the region at index starts (in bytes; user points to the bytes per sector)
// before, at or after the u64 byte offset pointed to by key.
int Fs_CompareRegionStart(const void* collection, uint32_t index, const void* key, void* user);
// Whether the byte range [offset, offset + length) holds data in sectors that are used; see
// VolumeRegion_TestData. On *empty = 0 the bytes-before cell (when given) receives the bytes of
// the range before the first data found. DISK_ERR_ARG for a range that leaves the map.
int Fs_ScanRangeForData(uint32_t regionCount, const VolumeRegion* regions, uint32_t bytesPerSector,
                        uint64_t offset, int32_t length, const uint8_t* data, bool* empty,
                        uint64_t* bytesBefore);

// Sets bits bitOffset .. bitOffset + count - 1 of a bitmap to value (helper for drivers).
void Fs_SetBits(uint8_t* bitmap, uint32_t bitOffset, uint32_t count, bool value);
// Fills bits for relative sectors first .. first + count - 1 of B bytes each from a test of
// byte ranges relative to the partition: bit = isUsed(object, s x B, B). DISK_ERR_ARG for B = 0
// or byte offsets that do not fit 64 bits (helper for drivers).
typedef bool (*FsByteRangeUsedFn)(const void* object, uint64_t offset, uint64_t length);
int Fs_FillBitsFromByteRanges(const void* object, FsByteRangeUsedFn isUsed, uint32_t bytesPerSector,
                              uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset);

// ---- Map level --------------------------------------------------------------------------
// A 16-byte record, uninitialised; NULL when out of memory.
UsedSectorMap* UsedMap_Alloc();
// No regions, bytes per sector 0.
void UsedMap_Init(UsedSectorMap* map);
// Destroys every region, frees the array and re-initialises (the record is freed by its owner).
void UsedMap_Destroy(UsedSectorMap* map);

// From the MBR (with extended chains, GPT and LVM2). A table that lists nothing leaves the map
// empty with DISK_OK. Every failure leaves the map empty.
int UsedMap_BuildFromPartitions(UsedSectorMap* map, const DiskHandle* disk);
// From the PC-98 table in the disk's second sector; partitions span whole cylinders.
int UsedMap_BuildFromPc98Table(UsedSectorMap* map, const DiskHandle* disk);
// Builds the map of a disk: from the MBR; when it lists nothing, from the PC-98 table; when
// that lists nothing either (or is refused as not a table or inconsistent), the whole disk is
// offered to the drivers as one partition (a file system written straight onto the disk).
// Returns the map when at least one region has a known kind (*knownCount set); else NULL with
// *result DISK_OK (or the PC-98 table's refusal when the whole disk was not recognised either);
// NULL with the failure in *result. Without a map every sector counts as used.
UsedSectorMap* UsedMap_Create(const DiskHandle* disk, int* result, uint32_t* knownCount);

// Used bits of the sectors first .. first + count - 1 (Fs_BuildBitmap over the map's regions;
// all used for a map without regions). Sectors after the map's last region count as used (a
// disk grown past the one the map was built for): only a negative count is DISK_ERR_ARG.
int UsedMap_GetUsedBits(const UsedSectorMap* map, uint64_t first, int32_t count, uint8_t* bitmap);
// *empty = 1 when every used sector of the range is all zero in data, which holds the count
// sectors of the map's bytes per sector each.
int UsedMap_IsDataEmpty(const UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                        const uint8_t* data);
// Fs_ScanRangeForData with the map's bytes per sector; bytes after the map's last region count
// as used.
int UsedMap_ScanRangeForData(const UsedSectorMap* map, uint64_t offset, int32_t length,
                             const uint8_t* data, bool* empty, uint64_t* bytesBefore);
// Number of regions of kinds 0..7.
uint32_t UsedMap_CountKnownRegions(const UsedSectorMap* map);
