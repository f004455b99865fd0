// Btrfs driver of the used-sector map (file-system kind FS_KIND_BTRFS).
//
// The driver reads the superblock at 64 KiB, maps logical addresses to partition offsets from the
// system chunk array and the chunk tree, finds the extent tree through the root tree, and
// collects every block group and extent item. It then lets the volume go: Btrfs partitions are
// never accepted, so all their sectors count as used. The reading exists so that what the
// structures say can be checked; it must end on any volume, whatever its bytes.
//
// Every node is checked before it is used: its own address, its level (one below its parent's,
// at most BTRFS_MAX_LEVELS levels), its item count against the node size, and each item's data
// inside the node; a chunk needs at least one stripe inside the item; the walk reads at most as
// many nodes as the partition can hold, so shared or looping pointers end it.
//
// Units: byte offsets from the partition start (first sector x the disk's bytes per sector B).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/array.h"
#include "volume/used_map.h"

enum : uint32_t {
    BTRFS_SUPER_OFFSET = 0x10000,
    BTRFS_SUPER_COPY = 3872,  // superblock bytes kept
    BTRFS_SYS_CHUNK_ARRAY = 811,
    BTRFS_SYS_CHUNK_ARRAY_MAX = 2048,
    BTRFS_HEADER_SIZE = 101,
    BTRFS_KEY_SIZE = 17,
    BTRFS_ITEM_SIZE = 25,     // key, u32 data offset, u32 data size
    BTRFS_KEY_PTR_SIZE = 33,  // key, u64 child, u64 generation
    BTRFS_CHUNK_HEADER = 48,
    BTRFS_STRIPE_SIZE = 32,
    BTRFS_MAX_LEVELS = 8,  // deeper trees are refused

    BTRFS_TYPE_EXTENT_ITEM = 0xA8,
    BTRFS_TYPE_METADATA_ITEM = 0xA9,
    BTRFS_TYPE_ROOT_ITEM = 0x84,
    BTRFS_TYPE_BLOCK_GROUP = 0xC0,
    BTRFS_TYPE_DEV_ITEM = 0xD8,
    BTRFS_TYPE_CHUNK_ITEM = 0xE4,

    BTRFS_ROOT_ITEM_MIN = 239,  // the root item's original size; later ones are longer
    BTRFS_ROOT_ITEM_BYTENR = 176,
    BTRFS_EXTENT_TREE_ID = 2,
    BTRFS_BLOCK_GROUP_DATA = 0x1,
    BTRFS_BLOCK_GROUP_SYSTEM = 0x2,
    BTRFS_BLOCK_GROUP_METADATA = 0x4
};

struct BtrfsKey {
    uint64_t objectId;
    uint8_t type;
    uint64_t offset;
};

// One stripe of a chunk: logical [logical, logical + length) lies at partition byte physical.
struct BtrfsChunkMapping {
    uint64_t logical;
    uint64_t length;
    uint64_t physical;
    const DiskHandle* disk;
    uint64_t firstSector;
};

// A block group {start, length, flags} or an extent {start, length, references}.
struct BtrfsRange {
    uint64_t start;
    uint64_t length;
    uint64_t value;
};

struct BtrfsPathEntry {
    uint64_t node;   // logical address of the node
    uint32_t items;  // item count of the node
    uint32_t slot;   // current slot
};

// What a tree walk reads through: the disk, the partition, the node size and a read map (an
// Array of BtrfsChunkMapping sorted by logical start). nodesLeft bounds the nodes read.
struct BtrfsReader {
    const DiskHandle* disk;
    uint64_t base;  // byte offset of the partition
    uint64_t partBytes;
    uint32_t nodeSize;
    const Array* map;
    uint64_t nodesLeft;
};

// A path from the root to a leaf, with one node buffer per level (index 0 = the root).
struct BtrfsPath {
    BtrfsPathEntry entries[BTRFS_MAX_LEVELS];
    uint32_t depth;    // entries in use
    uint8_t* buffers;  // BTRFS_MAX_LEVELS x node size bytes
};

// Called for every leaf item in key order: the leaf (its item data at leaf + 101 + data offset,
// already checked to lie inside the node), the item's key and its data size.
typedef int (*BtrfsVisitorFn)(void* context, const BtrfsReader* reader, const uint8_t* leaf,
                              const BtrfsKey* key, const uint8_t* data, uint32_t size);

// The driver object (Btrfs_Alloc, Btrfs_Init).
struct BtrfsVolume {
    uint64_t firstSector;
    uint32_t bytesPerSector;
    uint32_t nodeSize;
    uint8_t super[BTRFS_SUPER_COPY];  // as read (little-endian)
    Array readMap;  // first stripe of every chunk (BtrfsChunkMapping), sorted by logical
    Array stripes;  // every stripe of every chunk (BtrfsChunkMapping), sorted by logical
    uint64_t extentRoot;
    Array blockGroups;  // BtrfsRange
    Array extents;      // BtrfsRange, ascending and not overlapping
};

// Attach slot of kind FS_KIND_BTRFS. Reads the volume through Btrfs_Open and always refuses it
// (DISK_ERR_FS_CORRUPT, or the code of what failed first): Btrfs partitions count as wholly used.
int Fs_AttachBtrfs(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

BtrfsVolume* Btrfs_Alloc();
void Btrfs_Init(BtrfsVolume* volume);
// Reads the chunks, the root tree and the extent tree of the partition at sectors
// [first, first + count) into the volume. DISK_OK when every structure read is consistent
// (the attach slot still refuses the volume), DISK_ERR_FS_CORRUPT for any breach,
// DISK_ERR_NOMEM, DISK_ERR_ARG for a disk without bytes per sector, or a read code. On failure
// the volume's lists are freed.
int Btrfs_Open(BtrfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Superblock and system chunk array, then the chunk tree: fills the volume's read map and
// stripe list.
int Btrfs_ReadChunks(BtrfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
void Btrfs_Destroy(void* volume);
// Used bits: a sector is free only when it lies in a data block group (neither metadata nor
// system) outside every extent and outside the superblock copies.
int Btrfs_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                       uint32_t bitOffset);

// Reads logical bytes [address, address + length) through the reader's map.
// DISK_ERR_FS_CORRUPT for an address in no chunk or a gap between chunks.
int Btrfs_ReadLogical(const BtrfsReader* reader, uint64_t address, uint32_t length,
                      uint8_t* buffer);
// Searches the tree at root for the key: *result 0 for an equal key, 1 for the last item below
// it, -1 when every item sorts after it. With a path the descent is kept in it; *leaf and *item
// receive the leaf address and slot.
int Btrfs_SearchTree(BtrfsReader* reader, uint64_t root, const BtrfsKey* key, int* result,
                     BtrfsPath* path, uint64_t* leaf, uint32_t* item);
// Descends along slot 0 from the root: *found = false when the tree holds no item.
int Btrfs_FirstItem(BtrfsReader* reader, uint64_t root, BtrfsPath* path, bool* found);
// Moves the path to the next item; *found = false when the walk is over. DISK_ERR_ARG for an
// empty path.
int Btrfs_NextItem(BtrfsReader* reader, BtrfsPath* path, uint64_t* leaf, uint32_t* item,
                   bool* found);
// Calls the visitor for every item of the tree in key order until it answers an error.
int Btrfs_WalkTree(BtrfsReader* reader, uint64_t root, BtrfsVisitorFn visitor, void* context);
// -1, 0, 1 by object id, type, offset.
int Btrfs_CompareKey(const BtrfsKey* a, const BtrfsKey* b);
// Sets bits bitOffset .. bitOffset + count - 1 of a bitmap to value.
void Btrfs_SetBits(uint32_t bitOffset, uint32_t count, uint8_t* bitmap, bool value);
