// FAT12/16/32 driver of the used-sector map (file-system kind FS_KIND_FAT), with the FAT
// variant of X68000 Human68k volumes.
//
// PC volumes are recognised by their BIOS parameter block, Human68k volumes by the IPL signature
// of their boot sector (their big-endian parameter block is turned into the same record). The
// first copy of the allocation table is loaded while opening; queries then read nothing. PC
// volumes that their table or the state byte of their boot sector calls not cleanly unmounted
// are refused. A byte of the partition
// is used when it lies before the data area, beyond the last cluster, or in a cluster whose
// table entry is non-zero or lies beyond the loaded table.
//
// FAT type: a zero 16-bit sectors-per-FAT field means FAT32 whatever the cluster count; with a
// non-zero one the cluster count decides (at most 4084 FAT12, at most 65524 FAT16) and a count of
// 65525 or more is inconsistent, so the volume is refused.
//
// Units: the driver works in bytes from the partition start (first sector x the disk's bytes per
// sector B), independent of the volume's own sector size; relative disk sector s is used when
// any byte of [s x B, (s + 1) x B) is used.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/human68k.h"
#include "volume/used_map.h"

enum : uint32_t {
    FAT_TYPE_12 = 0,
    FAT_TYPE_16 = 1,
    FAT_TYPE_32 = 2,

    FAT_BPB_SIZE = 90,
    FAT12_MAX_CLUSTERS = 4084,
    FAT16_MAX_CLUSTERS = 65524,
    FAT32_MAX_CLUSTERS = 0x0FFFFFF5,
    FAT_MAX_CLUSTER_BYTES = 0x8000,

    // Flags in table entry 1: set = cleanly unmounted, set = no disk errors met.
    FAT16_CLEAN_BITS = 0xC000,
    FAT32_CLEAN_BITS = 0x0C000000,

    // State byte of the boot sector (FAT12/16 and FAT32 layouts): bit set = in use or damaged.
    FAT16_STATE_OFFSET = 37,
    FAT32_STATE_OFFSET = 65,
    FAT_STATE_DIRTY = 0x01
};

// The parameter-block fields the driver uses, in host order (from a PC boot sector, or made from
// a Human68k one).
struct FatBpb {
    uint16_t bytesPerSector;
    uint8_t sectorsPerCluster;
    uint16_t reservedSectors;
    uint8_t fatCount;
    uint16_t rootEntries;
    uint16_t totalSectors16;  // 0: use totalSectors32
    uint8_t media;
    uint16_t sectorsPerFat16;  // 0: use sectorsPerFat32 (and the volume is FAT32)
    uint16_t sectorsPerTrack;
    uint16_t heads;
    uint32_t totalSectors32;
    uint32_t sectorsPerFat32;
};

// Worked out once while opening (sector counts in the volume's own sectors).
struct FatLayout {
    uint32_t rootDirSectors;
    uint32_t sectorsPerFat;
    uint32_t totalSectors;
    uint32_t dataSectors;
    uint32_t clusterCount;
};

// One loaded copy of the allocation table (the same record for the three types).
struct FatTable {
    uint8_t* entries;    // bit k = entry k of the loaded part of the table is non-zero; owned
    uint64_t dataStart;  // bytes from the partition start to cluster 2
    uint32_t clusterCount;
    uint32_t clusterSize;  // bytes
    uint32_t tableBytes;   // bytes of the table loaded
    uint64_t entryCount;   // entries wholly inside them (entries beyond count as used)
    uint32_t entry1;       // table entry 1 (FAT16 and FAT32: the clean-unmount bits)
};

// The driver object (Fat_Alloc, Fat_Init; owned by its VolumeRegion).
struct FatVolume {
    uint32_t type;            // FAT_TYPE_12, FAT_TYPE_16 or FAT_TYPE_32
    uint32_t bytesPerSector;  // the disk's B
    bool human68k;
    FatTable* table;  // owned
};

// Attach slot of kind FS_KIND_FAT: Fat_Alloc, Fat_Init, Fat_Open; on success the region becomes
// {first, count, FS_KIND_FAT, volume}.
int Fs_AttachFat(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

FatVolume* Fat_Alloc();
void Fat_Init(FatVolume* volume);
// Opens the volume of the partition at sectors [first, first + count): Human68k boot sector or
// checked BIOS parameter block, layout, type, table. DISK_ERR_FS_CORRUPT for a parameter block
// that breaks a rule, an inconsistent layout, FAT copies that differ or a volume not cleanly
// unmounted (PC volumes);
// DISK_ERR_ARG for a disk without bytes per sector; DISK_ERR_NOMEM; the disk's read code. The
// volume is zeroed on failure.
int Fat_Open(FatVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Destroys the table of the volume's type, frees it and zeroes the volume.
void Fat_Destroy(void* volume);
// Bits bitOffset .. bitOffset + count - 1 for relative sectors first .. first + count - 1.
int Fat_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset);
// False when entry 1 of a FAT16 or FAT32 table says that the volume was not unmounted cleanly
// or met disk errors: its table may lag behind the clusters in use, so Fat_Open refuses such a
// PC volume. Always true for FAT12.
bool Fat_IsCleanlyUnmounted(const FatTable* table, uint32_t type);
// The is-used test of the volume's table type for a byte range of the partition.
bool Fat_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);

// Converts the first 90 bytes of a PC boot sector to host order (no checks).
void Fat_BpbToHost(const uint8_t* raw, FatBpb* out);
// The parameter block of a Human68k volume: copied fields, media 0xF8, 2 heads, 8 sectors per
// track; the sectors per FAT go to the 16-bit field (and with a zero 16-bit total also to the
// 32-bit one).
void Fat_BpbFromHuman68k(const Human68kBootSector* boot, FatBpb* out);
// DISK_OK when a PC parameter block keeps the rules of a FAT volume, else DISK_ERR_FS_CORRUPT.
int Fat_CheckBpb(const FatBpb* bpb);
// Layout and type of a parameter block; DISK_ERR_FS_CORRUPT when they are inconsistent.
int Fat_ComputeLayout(const FatBpb* bpb, FatLayout* layout, uint32_t* type);

// Table families. Load(table, parameter block, layout, disk, partition byte offset, Human68k
// flag): reads the first copy (as much of it as the clusters need), converts Human68k FAT16
// entries from big-endian, and on PC volumes requires every further copy to be equal.
// IsUsed(table, byte offset from the partition start, length).
FatTable* Fat12Table_Alloc();
void Fat12Table_Init(FatTable* table);
int Fat12Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k);
bool Fat12Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length);
void Fat12Table_Destroy(FatTable* table);

FatTable* Fat16Table_Alloc();
void Fat16Table_Init(FatTable* table);
int Fat16Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k);
bool Fat16Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length);
void Fat16Table_Destroy(FatTable* table);

FatTable* Fat32Table_Alloc();
void Fat32Table_Init(FatTable* table);
int Fat32Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k);
bool Fat32Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length);
void Fat32Table_Destroy(FatTable* table);
