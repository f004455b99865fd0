// HFS+ and HFSX driver of the used-sector map (file-system kind FS_KIND_HFSPLUS).
//
// On attach the driver reads the volume header, collects the extents of the extents-overflow
// file and of the allocation file (following the extents-overflow B-tree when a fork has more
// than eight extents), and loads the allocation bitmap (one bit per allocation block, most
// significant bit first); queries then read nothing.
//
// Everything read is checked before it is used: the block size is a power of two of at least 512,
// the volume fits its partition, extents lie inside the volume, every B-tree record with the
// bytes it needs lies inside its node, a search descends at most the tree's depth with heights
// that fall by one, a leaf walk visits at most the tree's node count, and the allocation file
// holds a bit for every block. A volume that was not unmounted cleanly, or is marked
// inconsistent, is refused: its bitmap may lag behind the blocks in use.
//
// Units: the driver works in bytes from the partition start (first sector x the disk's bytes per
// sector B); relative disk sector s is used when any block overlapping [s x B, (s + 1) x B) is
// used or lies at/after the end of the volume.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/used_map.h"

enum : uint32_t {
    HFSPLUS_HEADER_OFFSET = 1024,
    HFSPLUS_HEADER_SIZE = 512,
    HFSPLUS_SIGNATURE = 0x482B,  // "H+"
    HFSX_SIGNATURE = 0x4858,     // "HX"
    HFSPLUS_FORK_ALLOCATION = 112,
    HFSPLUS_FORK_EXTENTS = 192,
    HFSPLUS_EXTENTS_FILE_ID = 3,
    HFSPLUS_ALLOCATION_FILE_ID = 6,
    HFSPLUS_ATTR_UNMOUNTED = 0x100,     // cleanly unmounted
    HFSPLUS_ATTR_INCONSISTENT = 0x800,  // the volume is known to need repair
    HFSPLUS_MAX_DEPTH = 8,              // B-trees deeper than this are refused
    HFSPLUS_EXTENT_KEY_LENGTH = 10
};

// One extent of a fork: allocation blocks [startBlock, startBlock + blockCount) hold file blocks
// [fileBlock, fileBlock + blockCount).
struct HfsExtent {
    uint32_t startBlock;
    uint32_t blockCount;
    uint32_t fileBlock;
};

// The extents-overflow B-tree's header record (host order).
struct HfsBTreeHeader {
    uint16_t depth;
    uint32_t rootNode;
    uint32_t leafRecords;
    uint32_t firstLeaf;
    uint32_t lastLeaf;
    uint16_t nodeSize;
    uint16_t maxKeyLength;
    uint32_t totalNodes;
    uint32_t freeNodes;
};

// Extent key (host order).
struct HfsExtentKey {
    uint16_t keyLength;
    uint8_t forkType;
    uint32_t fileId;
    uint32_t startBlock;
};

// Orders two extent keys by file id, fork type, then start block: -1, 0, 1.
typedef int (*HfsKeyCompareFn)(const HfsExtentKey* a, const HfsExtentKey* b);

// The driver object (HfsPlus_Alloc, HfsPlus_Init; owned by its VolumeRegion).
struct HfsPlusVolume {
    uint64_t firstSector;     // first sector of the partition (disk sectors)
    uint32_t bytesPerSector;  // the disk's B
    uint32_t blockSize;       // allocation block size, a power of two of at least 512
    uint32_t totalBlocks;
    uint32_t isHfsx;
    HfsExtent overflowExtents[8];  // the extents-overflow file
    uint32_t overflowCount;
    uint8_t header[HFSPLUS_HEADER_SIZE];  // the volume header as read (big-endian)
    uint32_t sectorsPerBlock;             // block size / 512
    uint8_t* bitmap;                      // the allocation file's first ceil(total / 8) bytes
};

// Attach slot of kind FS_KIND_HFSPLUS: HfsPlus_Alloc, HfsPlus_Init, HfsPlus_Open; on success the
// region becomes {first, count, FS_KIND_HFSPLUS, volume}.
int Fs_AttachHfsPlus(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

HfsPlusVolume* HfsPlus_Alloc();
void HfsPlus_Init(HfsPlusVolume* volume);
// Opens the HFS+ or HFSX volume of the partition at sectors [first, first + count).
// DISK_ERR_FORMAT for anything that is not a consistent volume this driver can read,
// DISK_ERR_ARG for a disk without bytes per sector, DISK_ERR_NOMEM, or the disk's read code.
// On failure the volume is left cleared.
int HfsPlus_Open(HfsPlusVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Collects the extents of a fork (80-byte fork-data record, big-endian) of file `fileId`: its
// eight inline extents and, unless inlineOnly, the extents-overflow records that follow.
// With extents NULL only counts; with an array of *count entries (the counted number) fills.
// DISK_ERR_FORMAT for extents that exceed the fork or the volume, a shortfall with inlineOnly,
// a missing or inconsistent overflow record, or a damaged tree.
int HfsPlus_GetForkExtents(const HfsPlusVolume* volume, const DiskHandle* disk,
                           const uint8_t* forkData, uint32_t fileId, bool inlineOnly,
                           HfsExtent* extents, uint32_t* count);
// Reads bytes [offset, offset + length) of a fork through its extents. DISK_ERR_ARG for a range
// past the extents.
int HfsPlus_ReadForkBytes(const HfsPlusVolume* volume, const DiskHandle* disk,
                          const HfsExtent* extents, uint32_t extentCount, uint64_t offset,
                          uint64_t length, uint8_t* buffer);
// HfsPlus_ReadForkBytes over the extents-overflow file.
int HfsPlus_ReadExtentsFile(const HfsPlusVolume* volume, const DiskHandle* disk, uint64_t offset,
                            uint64_t length, uint8_t* buffer);
// Searches the tree from `node`, expected at height `height` (the root at the tree's depth,
// leaves at 1), for the key. On DISK_OK *found tells whether an equal key was met, and *leafNode
// and *record give its place; nodeBuffer holds header->nodeSize bytes. DISK_ERR_FORMAT for a
// damaged node, record or key, or a descent that does not fall by one height per level.
int HfsPlus_SearchTree(const HfsPlusVolume* volume, const DiskHandle* disk, uint32_t node,
                       uint32_t height, const HfsBTreeHeader* header, HfsKeyCompareFn compare,
                       const HfsExtentKey* key, uint8_t* nodeBuffer, bool* found,
                       uint32_t* leafNode, uint32_t* record);
int HfsPlus_CompareExtentKey(const HfsExtentKey* a, const HfsExtentKey* b);
// Frees the bitmap and clears the volume (the record itself is freed by its owner).
void HfsPlus_Destroy(void* volume);
// Bits bitOffset .. bitOffset + count - 1 for relative sectors first .. first + count - 1.
int HfsPlus_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                         uint32_t bitOffset);
// Whether any byte of [offset, offset + length) of the partition lies in a used block or beyond
// the volume.
bool HfsPlus_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);
