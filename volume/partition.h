// Partition tables: the PC master boot record with its chain of extended boot records, the GUID
// partition table behind a protective MBR, and the PC-98 partition table. Nothing here writes to
// a disk.
//
// The list operations share one calling pattern: the caller passes a maximum number of entries
// and a count cell; with a NULL array the operation only counts, with an array it also fills
// (the entry under construction is always the one at index *count). Callers count first,
// allocate, and call again to fill; both passes read the same sectors and give the same count.
// An operation stops as soon as the count reaches the maximum.
//
// Sector numbers are the disk's own sectors (the geometry's bytes per sector).
#pragma once

#include <cstdint>

#include "disk/disk.h"

// One element of a partition list (the array is owned by the caller).
struct PartitionEntry {
    uint64_t first;  // first sector, absolute
    uint64_t count;  // sector count
    uint8_t type;    // the MBR type byte; 0 for GPT entries, LVM2 volumes and the whole disk
};

// One of the four records of an MBR or EBR, in host order.
struct MbrPartitionRecord {
    uint8_t bootFlag;
    uint8_t startHead;
    uint16_t startSectorCylinder;
    uint8_t type;
    uint8_t endHead;
    uint16_t endSectorCylinder;
    uint32_t firstSector;
    uint32_t sectorCount;
};

// The 512-byte MBR or EBR sector decoded to host order (boot code not kept).
struct MbrSector {
    MbrPartitionRecord records[4];
    uint8_t signature[2];  // bytes 510 and 511; 0x55 0xAA when the table is present
};

// One 32-byte record of the PC-98 table: the bytes as read, and the two cylinder fields (bytes
// 10-11 and 14-15, little-endian on disk) in host order.
struct Pc98PartitionRecord {
    uint8_t raw[32];
    uint16_t startCylinder;
    uint16_t endCylinder;
};

enum : uint32_t {
    MBR_SECTOR_SIZE = 512,
    GPT_MAX_ENTRIES = 1024,
    GPT_ENTRY_SIZE = 128,
    PC98_TABLE_SIZE = 256,
    PC98_RECORD_SIZE = 32,
    PC98_RECORD_COUNT = 8,
    // Extended boot records visited in one chain before the chain counts as a loop.
    PARTITION_MAX_EBRS = 1024
};

// Decodes a raw 512-byte MBR/EBR sector.
void Partition_MbrToHost(const uint8_t* raw, MbrSector* out);
// Decodes a raw 32-byte PC-98 record.
void Partition_Pc98ToHost(const uint8_t* raw, Pc98PartitionRecord* out);

// Sets *count to 0, then lists the partitions of the MBR at `sector` (callers pass 0). A
// maximum of 0 answers DISK_OK at once. Without 0x55 0xAA the whole disk from `sector` is one
// entry of type 0. Record 0 of type 0xEE with first sector 1 hands over to Partition_ReadGpt;
// types 0x05, 0x0F, 0x85 start an extended chain; 0x8E goes to Lvm2_ReadVolumes; type 0 is
// skipped. DISK_ERR_FS_CORRUPT for positions that do not fit 64 bits.
int Partition_ReadMbr(const DiskHandle* disk, uint64_t sector, uint32_t maximum, uint32_t* count,
                      PartitionEntry* entries);
// Lists the logical partitions of the EBR at ebrSector and of the rest of its chain, appending
// to *count. Nested extended records are relative to extendedBase, logical partitions to the
// EBR that holds them. An EBR without 0x55 0xAA is DISK_ERR_FORMAT; a chain that visits more
// than PARTITION_MAX_EBRS records (a loop) is DISK_ERR_FS_CORRUPT.
int Partition_ReadExtendedChain(const DiskHandle* disk, uint64_t ebrSector, uint64_t extendedBase,
                                uint32_t maximum, uint32_t* count, PartitionEntry* entries);
// Lists the GPT entries (header at LBA 1, that is byte offset = the disk's bytes per sector),
// appending to *count. A header that fails its checks is DISK_ERR_FORMAT; an entry whose last
// LBA lies below its first LBA is DISK_ERR_FS_CORRUPT.
int Partition_ReadGpt(const DiskHandle* disk, uint32_t maximum, uint32_t* count,
                      PartitionEntry* entries);
// Sets *count to 0 and copies the present records (any non-zero byte) of the PC-98 table at
// tableOffset (bytes) into records, in table order. Refused with DISK_ERR_FORMAT only when byte
// 254 of the disk is not 0x55 while byte 255 is 0xAA.
int Partition_ReadPc98(const DiskHandle* disk, uint64_t tableOffset, uint32_t maximum,
                       uint32_t* count, Pc98PartitionRecord* records);

// -1, 0, 1 as entry i starts before, at or after entry j (the collection is a PartitionEntry*).
int PartitionEntry_CompareStart(void* collection, uint32_t i, uint32_t j, void* user);
// Sorts by ascending first sector.
void PartitionEntry_SortByStart(PartitionEntry* entries, uint32_t count);
// First sector, count and type from an MBR record.
void PartitionEntry_FromMbrEntry(const MbrPartitionRecord* record, PartitionEntry* entry);
