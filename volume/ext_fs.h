// ext2/ext3/ext4 driver of the used-sector map (file-system kind FS_KIND_EXT).
//
// On attach the superblock and every block group's block bitmap are read into one in-memory
// bitmap of the whole volume, held in chunks of which only those mixing used and free blocks
// take memory; queries then read nothing. A block is free only when its group's
// bitmap says so and the bitmap agrees with the free-block count of the group's descriptor; a
// group where the two disagree is taken as wholly used. The bitmap of a group flagged
// BLOCK_UNINIT was never written and is not read: such a group's used blocks are its
// superblock and descriptor-table backups (with the reserved descriptor blocks), placed as
// sparse_super or sparse_super2 puts them, and the bitmaps and inode tables of any group that
// lie in it (flex_bg places them in other groups); the rest is free when the descriptor's
// free count agrees, else the group is wholly used. The bitmaps and inode tables of every group
// are used whatever the group bitmaps say. Layouts whose bitmaps cannot be trusted
// or located this way are refused: meta_bg, bigalloc, a journal that still needs recovery, a
// volume not cleanly unmounted or with errors recorded (its bitmaps may be stale), an external
// journal device, and incompatible or read-only features this driver does not know (a read-only
// feature may change how allocation is recorded, as bigalloc does).
//
// Units: the driver works in bytes from the partition start (first sector x the disk's bytes per
// sector B); relative disk sector s is used when any block overlapping [s x B, (s + 1) x B) is
// used, lies before the first data block or at/after the end of the volume.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/used_map.h"

// Superblock fields and feature bits the driver reads.
enum : uint32_t {
    EXT_SUPERBLOCK_OFFSET = 1024,
    EXT_SUPERBLOCK_SIZE = 1024,
    EXT_MAGIC = 0xEF53,
    EXT_MAX_LOG_BLOCK_SIZE = 2,  // block sizes 1024, 2048, 4096

    EXT_COMPAT_SPARSE_SUPER2 = 0x200,  // superblock backups only in two named groups

    EXT_INCOMPAT_COMPRESSION = 0x1,
    EXT_INCOMPAT_FILETYPE = 0x2,
    EXT_INCOMPAT_RECOVER = 0x4,      // the journal needs recovery: bitmaps may be stale
    EXT_INCOMPAT_JOURNAL_DEV = 0x8,  // an external journal, not a file system
    EXT_INCOMPAT_META_BG = 0x10,     // descriptors spread over the volume
    EXT_INCOMPAT_EXTENTS = 0x40,
    EXT_INCOMPAT_64BIT = 0x80,
    EXT_INCOMPAT_MMP = 0x100,
    EXT_INCOMPAT_FLEX_BG = 0x200,
    EXT_INCOMPAT_EA_INODE = 0x400,
    EXT_INCOMPAT_DIRDATA = 0x1000,
    EXT_INCOMPAT_CSUM_SEED = 0x2000,
    EXT_INCOMPAT_LARGEDIR = 0x4000,
    EXT_INCOMPAT_INLINE_DATA = 0x8000,
    EXT_INCOMPAT_ENCRYPT = 0x10000,
    EXT_INCOMPAT_CASEFOLD = 0x20000,

    EXT_RO_COMPAT_SPARSE_SUPER = 0x1,
    EXT_RO_COMPAT_LARGE_FILE = 0x2,
    EXT_RO_COMPAT_BTREE_DIR = 0x4,
    EXT_RO_COMPAT_HUGE_FILE = 0x8,
    EXT_RO_COMPAT_GDT_CSUM = 0x10,
    EXT_RO_COMPAT_DIR_NLINK = 0x20,
    EXT_RO_COMPAT_EXTRA_ISIZE = 0x40,
    EXT_RO_COMPAT_QUOTA = 0x100,
    EXT_RO_COMPAT_BIGALLOC = 0x200,  // bitmaps count clusters, not blocks
    EXT_RO_COMPAT_METADATA_CSUM = 0x400,
    EXT_RO_COMPAT_READONLY = 0x1000,
    EXT_RO_COMPAT_PROJECT = 0x2000,
    EXT_RO_COMPAT_SHARED_BLOCKS = 0x4000,
    EXT_RO_COMPAT_VERITY = 0x8000,
    EXT_RO_COMPAT_ORPHAN_PRESENT = 0x10000,

    EXT_BG_BLOCK_UNINIT = 0x2,  // group descriptor flag: the on-disk bitmap is not initialised

    EXT_STATE_VALID = 0x1,  // cleanly unmounted (or mounted with a journal)
    EXT_STATE_ERROR = 0x2   // errors were detected
};

// The superblock fields the driver reads, in host order (Ext_SuperblockToHost).
struct ExtSuperblock {
    uint32_t blockCount;  // low half
    uint32_t firstDataBlock;
    uint32_t logBlockSize;  // block size = 1024 << this
    uint32_t blocksPerGroup;
    uint32_t inodesPerGroup;
    uint16_t magic;
    uint16_t state;
    uint32_t revisionLevel;  // 0: inodes of 128 bytes
    uint16_t inodeSize;
    uint32_t compat;
    uint32_t incompat;
    uint32_t roCompat;
    uint16_t reservedGdtBlocks;  // descriptor blocks reserved for growth after the table
    uint16_t descriptorSize;     // used on 64-bit volumes only
    uint32_t blockCountHigh;
    uint32_t backupGroups[2];  // the two backup groups of sparse_super2
};

// The group descriptor fields the driver reads, in host order (Ext_GroupDescriptorToHost); the
// high halves are 0 on descriptors of 32 bytes.
struct ExtGroupDescriptor {
    uint32_t blockBitmap;
    uint32_t inodeBitmap;
    uint32_t inodeTable;
    uint16_t freeBlocks;
    uint16_t flags;
    uint32_t blockBitmapHigh;
    uint32_t inodeBitmapHigh;
    uint32_t inodeTableHigh;
    uint16_t freeBlocksHigh;
};

// What a checked superblock says about the volume's layout (Ext_DeriveLayout).
struct ExtLayout {
    uint32_t blockSize;
    uint32_t blockCount;
    uint32_t firstDataBlock;
    uint32_t blocksPerGroup;
    uint32_t descriptorSize;
    uint32_t bits;  // bitmap bits: blocks from the first data block on
    uint32_t groups;
    uint64_t tableStart;  // byte offset of the descriptor table in the partition
    uint64_t tableBytes;
    uint32_t tableBlocks;       // descriptor-table blocks plus reserved descriptor blocks
    uint64_t inodeTableBlocks;  // blocks of one group's inode table
    bool uninitFlagValid;       // BLOCK_UNINIT may be trusted (group descriptors are checksummed)
    bool sparseSuper;
    bool sparseSuper2;
    uint32_t backupGroups[2];  // the two backup groups of sparse_super2 (0 = none)
};

// The driver object (Ext_Alloc, Ext_Init; owned by its VolumeRegion).
struct ExtVolume {
    uint64_t firstSector;     // first sector of the partition (disk sectors)
    uint32_t bytesPerSector;  // the disk's B
    uint32_t blockSize;       // 1024, 2048 or 4096
    uint32_t blockCount;      // blocks of the volume, block 0 included
    uint32_t firstDataBlock;  // block of bitmap bit 0 (1 on 1 KiB-block volumes, else 0)
    uint32_t descriptorSize;  // 32, or the superblock's descriptor size on 64-bit volumes
    // The block bitmap, bit i = block firstDataBlock + i, 1 = used, in chunks of
    // EXT_CHUNK_BITS bits: chunk c holds bits [c x EXT_CHUNK_BITS, (c + 1) x EXT_CHUNK_BITS).
    // A null chunk is wholly free, Ext_FullChunk() wholly used; any other chunk is an owned
    // array of EXT_CHUNK_BITS / 8 bytes. Only chunks that mix used and free blocks take memory.
    uint32_t chunkCount;
    uint8_t** chunks;  // owned; null before the bitmap is set up
};

enum : uint32_t { EXT_CHUNK_SHIFT = 15, EXT_CHUNK_BITS = 1u << EXT_CHUNK_SHIFT };

// Attach slot of kind FS_KIND_EXT: Ext_Alloc, Ext_Init, Ext_Open; on success the region becomes
// {first, count, FS_KIND_EXT, volume}.
int Fs_AttachExt(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

// A new uninitialised volume record, NULL when out of memory (free with Mem_Free).
ExtVolume* Ext_Alloc();
// All fields zero.
void Ext_Init(ExtVolume* volume);
// Opens the file system of the partition at sectors [first, first + count) and loads its block
// bitmap. A volume larger than its partition is refused. DISK_ERR_FS_CORRUPT for anything that
// is not a consistent ext volume this driver can read, DISK_ERR_ARG for a disk without bytes per
// sector, DISK_ERR_NOMEM, or the disk's read code; a refusal records its reason (Refusal_Get).
// On failure the volume is left zeroed.
int Ext_Open(ExtVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Frees the bitmap and zeroes the volume (the record itself is freed by its owner).
void Ext_Destroy(void* volume);
// The shared chunk of a wholly used stretch (EXT_CHUNK_BITS / 8 bytes of 0xFF, never written).
const uint8_t* Ext_FullChunk();
// Sets up an empty (all free) bitmap of `bits` bits; DISK_ERR_NOMEM. The volume holds none.
int Ext_InitBitmap(ExtVolume* volume, uint32_t bits);
// Marks bits [from, from + count) used (inside the bitmap); DISK_ERR_NOMEM.
int Ext_MarkUsed(ExtVolume* volume, uint32_t from, uint32_t count);
// Bit i of the bitmap (i inside it).
bool Ext_TestBit(const ExtVolume* volume, uint32_t i);
// Bits bitOffset .. bitOffset + count - 1 for relative sectors first .. first + count - 1.
int Ext_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset);
// Whether any byte of [offset, offset + length) of the partition lies in a used block, before
// the first data block or beyond the volume. A length of 0 is not used.
bool Ext_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);

// Converts the EXT_SUPERBLOCK_SIZE bytes of a superblock to host order.
void Ext_SuperblockToHost(const uint8_t* raw, ExtSuperblock* sb);
// DISK_OK when the superblock describes a volume this driver can read that fits a partition of
// partBytes bytes, else DISK_ERR_FS_CORRUPT with the reason recorded.
int Ext_CheckSuperblock(const ExtSuperblock& sb, uint64_t partBytes);
// The layout of a volume whose superblock passed Ext_CheckSuperblock.
void Ext_DeriveLayout(const ExtSuperblock& sb, ExtLayout* layout);
// Converts a group descriptor of descriptorSize bytes to host order.
void Ext_GroupDescriptorToHost(const uint8_t* raw, uint32_t descriptorSize,
                               ExtGroupDescriptor* desc);
// DISK_OK when the descriptor's high halves are zero and its bitmaps and inode table lie in the
// volume, else DISK_ERR_FS_CORRUPT with the reason recorded.
int Ext_CheckGroupDescriptor(const ExtGroupDescriptor& desc, const ExtLayout& layout);
