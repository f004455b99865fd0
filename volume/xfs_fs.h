// XFS driver of the used-sector map (file-system kind FS_KIND_XFS).
//
// XFS keeps its free space per allocation group in B-trees. On attach the driver starts from a
// volume bitmap in which every block is used and clears the blocks that the by-block-number
// free-space B-tree of each allocation group lists as free; queries then read nothing. Only the
// version 4 on-disk format is read (B-tree blocks with the 16-byte short header, magic "ABTB");
// version 5 volumes with checksummed metadata are refused, so they count as wholly used, and so
// are volumes with an external log or whose log was not left clean (its unreplayed transactions
// may allocate blocks the trees still call free). Blocks on an allocation group's free list (not
// in the tree) stay used.
//
// Every tree block is checked before it is trusted: its record count against the block's room,
// its level one below its parent's (so the walk ends), each block visited once, leaf records in
// ascending order inside their group, and their sum equal to the group's free-block count.
//
// Units: the driver works in bytes from the partition start (first sector x the disk's bytes per
// sector B); relative disk sector s is used when any block overlapping [s x B, (s + 1) x B) is
// used or lies at/after the end of the volume.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/used_map.h"

enum : uint32_t {
    XFS_SB_MAGIC = 0x58465342,    // "XFSB"
    XFS_AGF_MAGIC = 0x58414746,   // "XAGF"
    XFS_ABTB_MAGIC = 0x41425442,  // "ABTB": by-block-number free-space B-tree, short header
    XFS_SB_BYTES = 512,           // superblock fields read (sector 0 of every group)
    XFS_BTREE_HEADER = 16,        // short B-tree block header
    XFS_MAX_TREE_LEVELS = 8       // deeper free-space trees are refused
};

// The superblock fields the driver reads, in host order (Xfs_SuperblockToHost).
struct XfsSuperblock {
    uint32_t magic;
    uint32_t blockSize;
    uint64_t dataBlocks;
    uint64_t logStart;  // first block of an internal log (0: external)
    uint32_t agBlocks;  // blocks per allocation group
    uint32_t agCount;
    uint32_t logBlocks;
    uint16_t version;  // low four bits: the on-disk version
    uint16_t sectorSize;
    uint8_t blockLog;
    uint8_t sectorLog;
    uint8_t agBlockLog;
    uint8_t inProgress;  // non-zero while mkfs runs
};

// The fields of an allocation group's free-space header the driver reads (Xfs_AgfToHost).
struct XfsAgf {
    uint32_t magic;
    uint32_t sequence;  // the group's number
    uint32_t length;    // blocks of the group
    uint32_t bnoRoot;   // root block of the by-block-number tree
    uint32_t bnoLevels;
    uint32_t freeBlocks;
};

// The short header of a free-space B-tree block (Xfs_BtreeHeaderToHost).
struct XfsBtreeHeader {
    uint32_t magic;
    uint16_t level;  // 0 = leaf
    uint16_t records;
};

// What a checked superblock says about the volume's layout (Xfs_DeriveLayout).
struct XfsLayout {
    uint32_t blockSize;
    uint32_t sectorSize;
    uint64_t dataBlocks;
    uint32_t agBlocks;
    uint32_t agCount;
    uint64_t logGroup;    // allocation group holding the log
    uint64_t logAgBlock;  // first log block within that group
    uint64_t logBlocks;
};

// The driver object (Xfs_Alloc, Xfs_Init; owned by its VolumeRegion).
struct XfsVolume {
    uint64_t firstSector;      // first sector of the partition (disk sectors)
    uint32_t bytesPerSector;   // the disk's B
    uint32_t sectorsPerBlock;  // block size / 512
    uint32_t blockSize;        // a power of two, 512 .. 65536
    uint64_t blockCount;       // data blocks of the volume
    uint8_t* bitmap;           // bit i = block i (group x blocks per group + block), 1 = used
};

// The state of one group's walk of its by-block-number tree.
struct XfsWalk {
    const DiskHandle* disk;
    uint64_t groupByte;  // byte offset of the group on the disk
    uint64_t groupBit;   // volume bitmap bit of the group's block 0
    uint32_t blockSize;
    uint32_t groupLength;  // blocks of this group
    uint8_t* block;        // one block of buffer per tree level (XFS_MAX_TREE_LEVELS blocks)
    uint8_t* visited;      // one bit per block of the group
    uint8_t* bitmap;       // the volume bitmap
    uint64_t nextFree;     // leaf records must start at or after this block (first: past the
                           // group's header sectors)
    uint64_t logFirst;     // blocks [logFirst, logEnd) of this group hold the log (may be empty)
    uint64_t logEnd;
    uint64_t freeBlocks;  // sum of the records so far
};

// Attach slot of kind FS_KIND_XFS: Xfs_Alloc, Xfs_Init, Xfs_Open; on success the region becomes
// {first, count, FS_KIND_XFS, volume}.
int Fs_AttachXfs(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

// A new uninitialised volume record, NULL when out of memory (free with Mem_Free).
XfsVolume* Xfs_Alloc();
// All fields zero.
void Xfs_Init(XfsVolume* volume);
// Opens the version 4 XFS volume of the partition at sectors [first, first + count) and loads its
// free space. DISK_ERR_FS_CORRUPT for anything that is not a consistent version 4 volume that fits
// the partition (version 5 included), DISK_ERR_ARG for a disk without bytes per sector,
// DISK_ERR_NOMEM, or the disk's read code; a refusal records its reason (Refusal_Get). On
// failure the volume is left zeroed.
int Xfs_Open(XfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Reads tree block `block` of the walk's group, which must be at `level`, and clears the free
// extents below it in the volume bitmap. DISK_ERR_FS_CORRUPT for a wrong magic or level, a
// record count above the block's room, a block outside the group or met twice, or free extents
// out of order, over the group's headers or its log, or past the group.
int Xfs_WalkFreeTree(XfsWalk* walk, uint32_t block, uint32_t level);
// Whether the internal log at byte logByte of the disk, logBlocks blocks of 512 bytes, was left
// clean: its last record, ending where the current cycle ends, is the unmount record alone, and
// nothing of the current cycle follows. DISK_ERR_FS_CORRUPT otherwise (the free-space trees may
// then lack allocations that only the log holds), or the disk's read code.
int Xfs_CheckLogClean(const DiskHandle* disk, uint64_t logByte, uint64_t logBlocks);
// Frees the bitmap and zeroes the volume (the record itself is freed by its owner).
void Xfs_Destroy(void* volume);
// Bits bitOffset .. bitOffset + count - 1 for relative sectors first .. first + count - 1.
int Xfs_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset);
// Whether any byte of [offset, offset + length) of the partition lies in a used block or beyond
// the volume.
bool Xfs_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);

// Converts the first XFS_SB_BYTES bytes of a superblock (primary or group copy) to host order.
void Xfs_SuperblockToHost(const uint8_t* raw, XfsSuperblock* sb);
// DISK_OK when the primary superblock describes a version 4 volume with an internal log that
// fits a partition of partBytes bytes, else DISK_ERR_FS_CORRUPT with the reason recorded.
int Xfs_CheckSuperblock(const XfsSuperblock& sb, uint64_t partBytes);
// DISK_OK when an allocation group's superblock copy agrees with the primary one on block size,
// group size and group count, else DISK_ERR_FS_CORRUPT with the reason recorded.
int Xfs_CheckGroupSuperblock(const XfsSuperblock& copy, const XfsSuperblock& primary);
// The layout of a volume whose superblock passed Xfs_CheckSuperblock.
void Xfs_DeriveLayout(const XfsSuperblock& sb, XfsLayout* layout);
// Converts the free-space header at the start of raw to host order.
void Xfs_AgfToHost(const uint8_t* raw, XfsAgf* agf);
// DISK_OK when the free-space header belongs to group `group` of groupLength blocks and its tree
// depth is one the walk takes, else DISK_ERR_FS_CORRUPT with the reason recorded.
int Xfs_CheckAgf(const XfsAgf& agf, uint32_t group, uint64_t groupLength);
// Converts the short header of a B-tree block to host order.
void Xfs_BtreeHeaderToHost(const uint8_t* raw, XfsBtreeHeader* header);
