// exFAT driver of the used-sector map (file-system kind FS_KIND_EXFAT), and the placeholder of
// kind FS_KIND_UNSUPPORTED that never accepts a partition (MBR type 0xFB maps to it, so such
// partitions always fall through to the other drivers).
//
// On attach the boot sector and the file allocation table are read, the allocation-bitmap entry
// is taken from the first cluster of the root directory and the allocation bitmap is loaded along
// its cluster chain; queries then read nothing.
//
// Units: exFAT addresses are bytes from the partition start (first sector x the disk's bytes per
// sector B); relative disk sector s is used when any byte of [s x B, (s + 1) x B) lies before the
// cluster heap, in an allocated cluster, or beyond the last cluster.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/used_map.h"

enum : uint32_t {
    EXFAT_MIN_SECTOR_SHIFT = 9,
    EXFAT_MAX_SECTOR_SHIFT = 12,
    EXFAT_MAX_CLUSTER_SHIFT = 25,  // sector shift + sectors-per-cluster shift: 32 MiB clusters
    EXFAT_MAX_CLUSTER_COUNT = 0xFFFFFFF5,
    EXFAT_ENTRY_BITMAP = 0x81,
    EXFAT_ENTRY_END = 0x00
};

// The driver object (Exfat_Alloc, Exfat_Init; owned by its VolumeRegion).
struct ExfatVolume {
    uint64_t firstSector;      // first sector of the partition (disk sectors)
    uint32_t diskSectorBytes;  // the disk's B
    uint32_t bytesPerSector;   // the file system's sector, 2^shift
    uint32_t clusterBytes;
    uint32_t heapOffset;  // in file-system sectors
    uint32_t* fat;        // entries 0 .. clusterCount + 1 in host order; owned
    uint32_t sectorsPerCluster;
    uint32_t rootCluster;
    uint32_t clusterCount;
    uint8_t* bitmap;  // bit n = cluster n + 2, 1 = allocated; owned
};

// Attach slot of kind FS_KIND_EXFAT: Exfat_Alloc, Exfat_Init, Exfat_Open.
int Fs_AttachExfat(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

ExfatVolume* Exfat_Alloc();
void Exfat_Init(ExfatVolume* volume);
// Zeroes the half of the object that Exfat_ReadBootAndFat fills.
void Exfat_Init0(ExfatVolume* volume);
// Frees the loaded FAT.
void Exfat_DestroyFat(ExfatVolume* volume);
// Checks the boot sector (read into bootSector, 512 bytes) and loads the FAT; on failure the FAT
// is freed and that half of the object zeroed. DISK_ERR_FS_CORRUPT for a boot sector that is not
// exFAT or whose sizes are impossible or do not fit the partition [first, first + count).
int Exfat_ReadBootAndFat(ExfatVolume* volume, const DiskHandle* disk, uint64_t first,
                         uint64_t count, uint8_t* bootSector);
// Opens the volume and loads its allocation bitmap. DISK_ERR_FS_CORRUPT for a boot sector that
// breaks a rule, a root directory without an allocation-bitmap entry in its first cluster, a
// bitmap shorter than one bit per cluster or a broken chain; DISK_ERR_ARG for a disk without
// bytes per sector; DISK_ERR_NOMEM; read codes. On failure the object is zeroed.
int Exfat_Open(ExfatVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
void Exfat_Destroy(void* volume);
int Exfat_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                       uint32_t bitOffset);
bool Exfat_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);

// ---- Placeholder of kind FS_KIND_UNSUPPORTED --------------------------------------------------
struct FsUnsupportedVolume {
    uint8_t reserved[32];
};
int Fs_AttachUnsupported(VolumeRegion* region, const DiskHandle* disk, uint64_t first,
                         uint64_t count);
void FsUnsupported_Init(FsUnsupportedVolume* volume);
void FsUnsupported_Destroy(void* volume);
// Always DISK_ERR_UNSUPPORTED.
int FsUnsupported_Open(FsUnsupportedVolume* volume, const DiskHandle* disk, uint64_t first);
// Always DISK_ERR_UNSUPPORTED (no region of this kind is ever made).
int FsUnsupported_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                               uint32_t bitOffset);
