// NTFS driver of the used-sector map (file-system kind FS_KIND_NTFS).
//
// On attach the boot sector, MFT record 0 ($MFT) and MFT record 6 ($Bitmap) are read and the
// whole cluster bitmap is loaded; queries then read nothing. It is the only driver with a data
// test, which looks for the first used cluster of a byte range holding data.
//
// Units: NTFS addresses are bytes from the partition start (first sector x the disk's bytes per
// sector B); a cluster is sectorsPerCluster x 512 bytes. Relative disk sector s is used when any
// cluster overlapping [s x B, (s + 1) x B) is in use or lies at or beyond the cluster count.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/used_map.h"

enum : uint32_t {
    NTFS_SECTOR_BYTES = 512,  // the NTFS sector the boot sector must declare
    NTFS_MIN_RECORD_BYTES = 512,
    NTFS_MAX_RECORD_BYTES = 65536,
    NTFS_MAX_CLUSTER_SHIFT = 12,  // at most 4096 sectors (2 MiB) per cluster
    NTFS_ATTR_STANDARD_INFORMATION = 0x10,
    NTFS_ATTR_FILE_NAME = 0x30,
    NTFS_ATTR_DATA = 0x80,
    NTFS_ATTR_END = 0xFFFFFFFF
};

// One run of a decoded run list: clusters [lcn, lcn + length) of the volume.
struct NtfsRun {
    uint64_t lcn;
    uint64_t length;
};

// The driver object (Ntfs_Alloc, Ntfs_Init; owned by its VolumeRegion).
struct NtfsVolume {
    uint64_t firstSector;        // first sector of the partition (disk sectors)
    uint32_t bytesPerSector;     // the disk's B
    uint32_t sectorsPerCluster;  // 512-byte NTFS sectors per cluster, a power of two
    uint32_t clusterCount;       // total sectors of the boot sector / sectors per cluster
    uint8_t* bitmap;             // ceil(clusterCount / 8) bytes, bit c = cluster c, 1 = in use
};

// File-record header fields (host order).
struct NtfsRecordHeader {
    uint32_t magic;
    uint16_t usaOffset;
    uint16_t usaCount;
    uint64_t logSequence;
    uint16_t sequence;
    uint16_t linkCount;
    uint16_t firstAttribute;
    uint16_t flags;
    uint32_t bytesInUse;
    uint32_t bytesAllocated;
    uint64_t baseRecord;
    uint16_t nextAttributeId;
    uint32_t recordNumber;
};

// Common attribute header, then the resident or non-resident part.
struct NtfsAttrHeader {
    uint32_t type;
    uint32_t length;
    uint8_t nonResident;
    uint8_t nameLength;
    uint16_t nameOffset;
    uint16_t flags;
    uint16_t id;
};
struct NtfsResident {
    uint32_t valueLength;
    uint16_t valueOffset;
};
struct NtfsNonResident {
    uint64_t firstVcn;
    uint64_t lastVcn;
    uint16_t runListOffset;
    uint64_t allocatedSize;
    uint64_t realSize;
    uint64_t initializedSize;
};

// Decoders of the on-disk little-endian records (the caller guarantees the bytes are there:
// 48 bytes of a record, 16 of an attribute header, 24 of a resident and 64 of a non-resident
// attribute).
void Ntfs_RecordHeaderToHost(const uint8_t* raw, NtfsRecordHeader* out);
void Ntfs_AttrHeaderToHost(const uint8_t* raw, NtfsAttrHeader* out);
void Ntfs_ResidentToHost(const uint8_t* raw, NtfsResident* out);
void Ntfs_NonResidentToHost(const uint8_t* raw, NtfsNonResident* out);

// Attach slot of kind FS_KIND_NTFS: Ntfs_Alloc, Ntfs_Init, Ntfs_Open; on success the region
// becomes {first, count, FS_KIND_NTFS, volume}.
int Fs_AttachNtfs(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count);

NtfsVolume* Ntfs_Alloc();
void Ntfs_Init(NtfsVolume* volume);
// Opens the NTFS volume of the partition at sectors [first, first + count) and loads its cluster
// bitmap. A volume larger than its partition is refused. DISK_ERR_FS_CORRUPT for a boot sector
// that is not NTFS or has impossible sizes, DISK_ERR_NTFS_METADATA for MFT records, attributes,
// run lists or a bitmap that do not match, DISK_ERR_ARG for a disk without bytes per sector,
// DISK_ERR_NOMEM, or the disk's read code. On failure the volume is left zeroed.
int Ntfs_Open(NtfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count);
// Frees the bitmap and zeroes the volume (the record itself is freed by its owner).
void Ntfs_Destroy(void* volume);
int Ntfs_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                      uint32_t bitOffset);
// Whether any byte of [offset, offset + length) of the partition lies in a used cluster or at or
// beyond the cluster count.
bool Ntfs_IsByteRangeUsed(const void* volume, uint64_t offset, uint64_t length);
// Data test: data and a bytes-before cell together are DISK_ERR_ARG. The range is cut at cluster
// boundaries; free clusters are skipped unread. Without data the first used piece decides
// (*empty = 0, bytes before it in the cell); with data the first used piece that is not all zero.
int Ntfs_TestData(void* volume, uint64_t offset, uint32_t length, const uint8_t* data, bool* empty,
                  uint64_t* bytesBefore);

// Decodes a run list of at most `limit` bytes: with runs NULL only counts. Length and offset
// fields of at most 4 bytes each; the first offset is absolute, the others relative to the
// previous run. False for a field that does not fit, a sparse run (no offset field), a zero
// length, a run before cluster 0 or past 2^32 clusters, or a list without its terminating 0.
bool Ntfs_DecodeRuns(const uint8_t* bytes, uint32_t limit, NtfsRun* runs, uint32_t* count);
// Checks and undoes the update sequence of a record of N - 1 strides of 512 bytes; false (the
// record unchanged) when a stride's last u16 does not carry the sequence number.
bool Ntfs_ApplyFixups(uint8_t* record, uint16_t usaOffset, uint16_t usaCount);
