// VHDX files (DISK_KIND_VHDX): dynamic, fixed and differencing images. Open (headers, region
// table with its copy, metadata items, parent locator), read through the block allocation table
// with partially present blocks merged over the parent, the empty-range query and the per-layer
// query.
//
// All structures are little-endian and protected by CRC-32C. The log is never replayed: an image
// whose current header names a log (log GUID not zero) has pending updates and is refused with
// DISK_ERR_UNSUPPORTED; it must be repaired by the program that wrote it.
//
// The object functions of the operation tables take the object as void* (a VhdxImage).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    VHDX_MIB = 1048576,
    VHDX_HEADER_1_OFFSET = 65536,
    VHDX_HEADER_2_OFFSET = 131072,
    VHDX_HEADER_BYTES = 4096,
    VHDX_REGION_1_OFFSET = 196608,
    VHDX_REGION_2_OFFSET = 262144,
    VHDX_REGION_BYTES = 65536,
    VHDX_MAX_TABLE_ENTRIES = 2047,
    VHDX_METADATA_TABLE_BYTES = 65536,
    // Parents opened below one image at most; a longer chain is refused as corrupt.
    VHDX_MAX_PARENT_DEPTH = 32,
    VHDX_PATH_CAPACITY = 4096,
    // Work buffer of the empty-range query.
    VHDX_WORK_BYTES = 0x200000,
    VHDX_NO_BLOCK = 0xFFFFFFFFu
};

// Largest virtual size: 64 TiB.
const uint64_t VHDX_MAX_VIRTUAL_SIZE = 0x400000000000ull;

// BAT entry states.
enum : uint32_t {
    VHDX_BLOCK_NOT_PRESENT = 0,
    VHDX_BLOCK_UNDEFINED = 1,
    VHDX_BLOCK_ZERO = 2,
    VHDX_BLOCK_UNMAPPED = 3,
    VHDX_BLOCK_FULLY_PRESENT = 6,
    VHDX_BLOCK_PARTIALLY_PRESENT = 7,
    VHDX_BITMAP_PRESENT = 6
};
const uint64_t VHDX_BAT_OFFSET_MASK = ~0xFFFFFull;

// The 16-byte binary GUIDs of the format.
extern const uint8_t VHDX_GUID_BAT_REGION[16];
extern const uint8_t VHDX_GUID_METADATA_REGION[16];
extern const uint8_t VHDX_GUID_FILE_PARAMETERS[16];
extern const uint8_t VHDX_GUID_VIRTUAL_DISK_SIZE[16];
extern const uint8_t VHDX_GUID_VIRTUAL_DISK_ID[16];
extern const uint8_t VHDX_GUID_LOGICAL_SECTOR_SIZE[16];
extern const uint8_t VHDX_GUID_PHYSICAL_SECTOR_SIZE[16];
extern const uint8_t VHDX_GUID_PARENT_LOCATOR[16];
extern const uint8_t VHDX_GUID_PARENT_LOCATOR_TYPE[16];

// A header in host order (the checksum as stored).
struct VhdxHeader {
    uint32_t signature;
    uint32_t checksum;
    uint64_t sequenceNumber;
    uint8_t fileWriteGuid[16];
    uint8_t dataWriteGuid[16];
    uint8_t logGuid[16];
    uint16_t logVersion;
    uint16_t version;
    uint32_t logLength;
    uint64_t logOffset;
};

// A stored path key of the parent locator.
struct VhdxPathValue {
    bool present;
    uint32_t length;  // bytes of UTF-16LE
    uint8_t* value;   // owned
};

struct VhdxImage {
    DiskGeometry geometry;  // 512-byte sectors, the VHD CHS rule on the virtual size
    ByteStream* stream;     // owned
    uint64_t* bat;          // host order, owned
    uint32_t cachedBlock;   // payload block whose sector bits are in `bitmap`, or VHDX_NO_BLOCK
    uint8_t* bitmap;        // one payload block's sector bits (bitmapBytesPerBlock), owned
    uint32_t fileSizeMiB;
    uint32_t blockSize;
    uint32_t logicalSectorSize;
    uint32_t bitmapBytesPerBlock;
    uint32_t chunkRatio;
    VhdxImage* parent;  // owned; NULL when none
    uint64_t batOffset;
    uint32_t batEntryCount;
    uint64_t batRegionLength;
    uint8_t usedRegionCopy;  // the region table copy at 262144 was used

    // Metadata items.
    bool hasFileParameters;
    uint32_t paramBlockSize;
    uint32_t paramFlags;  // bit 0 leave blocks allocated, bit 1 has parent
    bool hasVirtualSize;
    uint64_t virtualSize;
    bool hasDiskId;
    uint8_t diskId[16];
    bool hasLogicalSectorSize;
    bool hasPhysicalSectorSize;
    uint32_t physicalSectorSize;
    bool hasLinkage;
    uint8_t linkage[76];
    bool hasLinkage2;
    uint8_t linkage2[76];
    VhdxPathValue relativePath;
    VhdxPathValue absoluteWin32Path;
    VhdxPathValue volumePath;

    uint8_t* work;  // VHDX_WORK_BYTES, owned
    uint64_t fileSize;
    char* path;  // the path the file was opened with (UTF-8), owned
};

// ---- Table entries -------------------------------------------------------------------
// Allocate and initialise a VhdxImage, open it and on success store kind and object in the
// handle; on failure the object is freed and the handle is left as it was.
int Disk_OpenVhdx(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVhdxWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int parentMode, void* openProgress);

// ---- Object --------------------------------------------------------------------------
VhdxImage* Vhdx_Alloc();
void Vhdx_Init(VhdxImage* image);
// Closes the stream and the parent chain, frees every buffer and clears the record.
void Vhdx_Close(void* object);

// Opens the file through the callback; every failure leaves the image cleared and answers:
// DISK_CANCELLED, DISK_ERR_OPEN, DISK_ERR_SIZE, DISK_ERR_READ, DISK_ERR_NOMEM, DISK_ERR_FORMAT
// (any structural mismatch, a parent chain deeper than VHDX_MAX_PARENT_DEPTH or naming a file
// twice), DISK_ERR_UNSUPPORTED (a log with pending updates), or the parent's failure.
int Vhdx_OpenWithCallback(VhdxImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly);
int Vhdx_OpenWithHandler(VhdxImage* image, const FileOpener* opener, const char* path,
                         bool readOnly);
int Vhdx_Open(VhdxImage* image, const char* path, bool readOnly);

// Reads and checks a 4096-byte header / the 65536-byte region table (signature and CRC-32C
// over the structure with its checksum field zeroed). DISK_ERR_READ or DISK_ERR_FORMAT.
int Vhdx_ReadHeader(ByteStream* stream, uint64_t offset, VhdxHeader* out, const uint32_t* crcTable);
int Vhdx_ReadRegionTable(ByteStream* stream, uint64_t offset, uint8_t* buffer,
                         const uint32_t* crcTable);
// CRC-32C of a structure whose 4-byte checksum field at byte 4 is taken as zero.
uint32_t Vhdx_StructureChecksum(const uint32_t* crcTable, const uint8_t* data, uint32_t length);

void Vhdx_GetGeometry(void* object, DiskGeometry* out);
int Vhdx_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Vhdx_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);
// *unallocated = 1 when no used sector of the range is stored in this file (the parent is never
// asked). Sector bitmaps are consulted for partially present blocks only.
int Vhdx_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* unallocated);
bool Vhdx_CanCompact(void* object);
bool Vhdx_HasParent(void* object);

// 0 when a VHDX can hold the geometry: 512-byte sectors, at least one sector, at most 64 TiB;
// else -1.
int32_t Vhdx_CheckGeometry(const DiskGeometry* geometry);
