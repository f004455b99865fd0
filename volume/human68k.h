// Human68k boot-sector recognition. Partitions of X68000 disks carry a FAT variant whose boot
// sector starts with a jump and an IPL maker's signature and holds its parameter block in
// big-endian order; the FAT driver asks these two operations whether a volume is such a one
// and for its parameter block in host order.
#pragma once

#include <cstdint>

#include "disk/disk.h"

enum : uint32_t { HUMAN68K_BOOT_SECTOR_SIZE = 34 };

// The first 34 bytes of a Human68k volume: the bytes as read, and the parameter-block fields
// (big-endian on disk) in host order.
struct Human68kBootSector {
    uint8_t raw[HUMAN68K_BOOT_SECTOR_SIZE];
    uint16_t bytesPerSector;    // bytes 18-19
    uint8_t sectorsPerCluster;  // byte 20
    uint8_t fatCount;           // byte 21
    uint16_t reservedSectors;   // bytes 22-23
    uint16_t rootEntries;       // bytes 24-25
    uint16_t totalSectors16;    // bytes 26-27
    uint8_t media;              // byte 28
    uint8_t sectorsPerFat;      // byte 29
    uint32_t totalSectors32;    // bytes 30-33
};

// Reads 34 bytes at the byte offset; *isHuman68k = 1 and *variant set when an IPL signature
// matches at byte 2 (the first match wins), else *isHuman68k = 0 and *variant unchanged. A read
// failure is passed on and leaves both outputs untouched.
int X68k_IsHuman68kBootSector(const DiskHandle* disk, uint64_t offset, bool* isHuman68k,
                              int32_t* variant);
// Reads the 34 bytes at the byte offset and converts the parameter-block fields. A read failure
// is passed on and leaves the record untouched.
int X68k_ReadHuman68kBpb(const DiskHandle* disk, uint64_t offset, Human68kBootSector* out);
