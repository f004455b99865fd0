// COWD sparse disks: version 3 (DISK_KIND_COWD3 and its child kind, one or more extent files)
// and version 1 (DISK_KIND_COWD1 and its child kind, one file). A 2048-byte header per extent,
// a grain directory at sector 4, grain tables of 512 entries and grains of 128 sectors. Child
// disks name their parent file and read unallocated grains from it.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    COWD_MAGIC = 0x44574F43u,
    COWD_HEADER_BYTES = 2048,
    COWD_GRAIN_SECTORS = 128,
    COWD_TABLE_ENTRIES = 512,
    COWD_TABLE_SECTORS = COWD_GRAIN_SECTORS * COWD_TABLE_ENTRIES,  // 65536
    COWD_EXTENT_SECTORS = 0x3FF800,
    COWD_MAX_EXTENTS = 64,
    COWD_MAX_IDE_SECTORS = 0x10000000,
    COWD_MAX_SCSI_SECTORS = 268430085,
    // Parents opened below one child at most.
    COWD_MAX_PARENT_DEPTH = 16,
    COWD_PATH_CAPACITY = 4096
};

struct CowdExtent {
    ByteStream* stream;
    uint8_t header[COWD_HEADER_BYTES];
    uint32_t extentSectors;
    uint32_t directoryEntries;
    uint32_t* directory;   // host order, owned
    uint32_t cachedTable;  // index of the table in `table`; all ones when none
    uint32_t table[COWD_TABLE_ENTRIES];
    uint64_t firstSector;  // first sector of the extent in the disk
};

// Kinds 1 and 2: several extents; kinds 3 and 4: one.
struct CowdImage {
    DiskGeometry geometry;
    uint32_t extentCount;
    CowdExtent* extents;  // owned
    DiskHandle* parent;   // owned (children only)
    bool child;
};
typedef CowdImage CowdSplitImage;

// ---- Table entries (the object is a CowdImage) --------------------------------------------
int Disk_OpenCowdV3(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenCowdV3Child(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenCowdV1(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenCowdV1Child(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenCowdV3WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                               bool readOnly);
int Disk_OpenCowdV3ChildWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                    bool readOnly);
int Disk_OpenCowdV1WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                               bool readOnly);
int Disk_OpenCowdV1ChildWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                    bool readOnly);

CowdImage* Cowd_Alloc();
void Cowd_Init(CowdImage* image);
void Cowd_Close(void* object);

// Opens through the opener. 1 cancelled, -201 opener, -202 short read, -204 size, -205 memory,
// -206 header or geometry rule violated (grains other than 128 sectors included), wrong extent
// index or flags, parent size mismatch, a parent chain deeper than COWD_MAX_PARENT_DEPTH; -207
// a name that does not fit.
int Cowd_OpenV3WithHandler(CowdImage* image, const FileOpener* opener, const char* path,
                           bool readOnly);
int Cowd_OpenV3ChildWithHandler(CowdImage* image, const FileOpener* opener, const char* path,
                                bool readOnly);
int Cowd_OpenV1WithHandler(CowdImage* image, const FileOpener* opener, const char* path,
                           bool readOnly);
int Cowd_OpenV1ChildWithHandler(CowdImage* image, const FileOpener* opener, const char* path,
                                bool readOnly);
int Cowd_OpenV3(CowdImage* image, const char* path, bool readOnly);
int Cowd_OpenV3Child(CowdImage* image, const char* path, bool readOnly);
int Cowd_OpenV1(CowdImage* image, const char* path, bool readOnly);
int Cowd_OpenV1Child(CowdImage* image, const char* path, bool readOnly);

void Cowd_GetGeometry(void* object, DiskGeometry* out);
int Cowd_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Cowd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);
// The per-kind names of the table entries.
int Cowd_ReadV3(void* object, uint64_t offset, uint32_t length, void* buffer);
int Cowd_ReadV3Child(void* object, uint64_t offset, uint32_t length, void* buffer);
int Cowd_ReadV1(void* object, uint64_t offset, uint32_t length, void* buffer);
int Cowd_ReadV1Child(void* object, uint64_t offset, uint32_t length, void* buffer);
int Cowd_IsRangeEmptyV3(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                        bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
int Cowd_IsRangeEmptyV3Child(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* empty, RangeProgressAdapter adapter,
                             RangeProgressRecord* record);
int Cowd_IsRangeEmptyV1(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                        bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
int Cowd_IsRangeEmptyV1Child(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* empty, RangeProgressAdapter adapter,
                             RangeProgressRecord* record);

// 0 when the total fits 32 bits and sectors are 512 bytes (version 3 also: the total is one the
// reader's geometry rules accept, at most COWD_MAX_IDE_SECTORS).
int Cowd_CheckGeometryV3(const DiskGeometry* geometry);
// 0 when sectors are 512 bytes and the total fits one version-1 file (Cowd_ClampCapacityV1):
// a larger source is refused, never cut.
int Cowd_CheckGeometryV1(const DiskGeometry* geometry);
bool Cowd_FitsOneExtent(const DiskGeometry* geometry);
uint32_t Cowd_ClampCapacityV1(const DiskGeometry* geometry);

// Writers. Each grain is read once; grains that read as zeros are not stored, nor tables
// without stored grains. The progress callback gets (0, total) first and (total, total) last.
// Version 3:
// one extent up to COWD_EXTENT_SECTORS, else numbered extents beside the path. The geometry
// written is the one the reader accepts: one-extent disks must be whole cylinders of the
// source's heads and sectors (IDE) or of the SCSI size class (64 x 32, 128 x 32, 255 x 63);
// DISK_ERR_ARG otherwise. -208 file not created, -203 write failure, 1 cancelled.
int Cowd_CreateV3(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  ProgressCallback callback, void* user, bool scsi);
int Cowd_CreateV1(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  ProgressCallback callback, void* user, bool scsi);
// The SCSI heads and sectors per track the reader requires for a total.
void Cowd_ScsiGeometry(uint32_t total, uint32_t* heads, uint32_t* sectorsPerTrack);
