// VDI images (DISK_KIND_VDI): a header, a map of fixed-size blocks and the stored blocks; read on
// their own or as a chain of differencing images, written from any source disk, and compacted
// in place through a temporary file.
//
// The object functions of the operation tables take the object as void* (a VdiImage).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    VDI_HEADER_BYTES = 472,
    VDI_SIGNATURE = 0xBEDA107Fu,
    VDI_VERSION = 0x00010001u,
    VDI_TYPE_DYNAMIC = 1,
    VDI_TYPE_FIXED = 2,
    VDI_TYPE_DIFFERENCING = 4,
    // Map entries above this value mean "not stored in this file".
    VDI_LAST_STORED_ENTRY = 0xFFFFFFFDu,
    VDI_UNALLOCATED = 0xFFFFFFFFu,
    VDI_WRITE_BLOCK_BYTES = 0x100000,
    // Largest block size read (every known writer uses 1 MiB).
    VDI_MAX_BLOCK_BYTES = 0x4000000,
    // Largest block map read (entries).
    VDI_MAX_BLOCKS = 0x20000000,
    // Parents opened below one image at most.
    VDI_MAX_PARENTS = 64,
    VDI_PATH_CAPACITY = 4096
};

// The header in host order (file order is little-endian, packed as below).
#pragma pack(push, 1)
struct VdiGeometry {
    uint32_t cylinders;
    uint32_t heads;
    uint32_t sectors;
    uint32_t sectorSize;
};

struct VdiHeader {
    char banner[64];
    uint32_t signature;
    uint32_t version;
    uint32_t headerSize;
    uint32_t imageType;
    uint32_t imageFlags;
    char description[256];
    uint32_t blockMapOffset;
    uint32_t dataOffset;
    VdiGeometry legacyGeometry;
    uint32_t reserved;
    uint64_t diskSize;
    uint32_t blockSize;
    uint32_t blockExtraSize;
    uint32_t blocks;
    uint32_t blocksAllocated;
    uint8_t uuidImage[16];
    uint8_t uuidModification[16];
    uint8_t uuidParent[16];
    uint8_t uuidParentModification[16];
    VdiGeometry logicalGeometry;
};
#pragma pack(pop)
static_assert(sizeof(VdiHeader) == VDI_HEADER_BYTES, "VDI header layout");

struct VdiImage {
    DiskGeometry geometry;
    ByteStream* stream;            // owned
    VdiHeader header;              // host order
    uint32_t* blockMap;            // host order, header.blocks entries, owned
    uint32_t stride;               // block size + extra
    VdiImage* parent;              // owned; NULL for none
    uint8_t* work;                 // scratch of the empty-range query (VDI_WORK_BYTES), owned
    uint8_t* usedBits;             // used bits of one block, owned
    char path[VDI_PATH_CAPACITY];  // the file's path as opened
};

struct VdiCreateOptions {
    uint32_t headerVariant;  // 0..3: banner and header layout
    uint8_t fixed;           // store every block
    uint32_t dataAlignment;  // 0, 1 or 2
};

// ---- Table entries -------------------------------------------------------------------
int Disk_OpenVdi(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly);
// Kind 14 with an explicit chain of parents, nearest first. Refuses a handle that holds an
// object (DISK_ERR_ARG).
int Disk_OpenVdiWithParents(DiskHandle* handle, const char* path, bool readOnly,
                            uint32_t parentCount, const char* const* parentPaths);

// ---- Object --------------------------------------------------------------------------
VdiImage* Vdi_Alloc();
void Vdi_Init(VdiImage* image);
// Closes the stream and the parent chain, frees the map, re-initialises.
void Vdi_Close(void* object);

// Header conversion between file order and host order (in place).
void Vdi_HeaderToHost(VdiHeader* header);
void Vdi_UuidToHost(VdiGeometry* geometry);

// Opens path through the callback; with parent paths the first is this image's parent (opened
// read-only with the rest as its own parents). 1 when the callback cancelled, DISK_ERR_OPEN,
// DISK_ERR_SIZE, DISK_ERR_READ, DISK_ERR_NOMEM, DISK_ERR_FORMAT (any structural mismatch, block
// size not a non-zero multiple of 512, too few blocks for the disk size, map entries outside
// the file, a chain longer than VDI_MAX_PARENTS), or the parent's failure. A failed open leaves
// the image initialised.
int Vdi_OpenChainWithCallback(VdiImage* image, FileOpenFn open, void* user, const char* path,
                              bool readOnly, uint32_t parentCount, const char* const* parentPaths);
int Vdi_OpenChain(VdiImage* image, const char* path, bool readOnly, uint32_t parentCount,
                  const char* const* parentPaths);
int Vdi_Open(VdiImage* image, const char* path, bool readOnly);
int Vdi_OpenWithCallback(VdiImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly);
int Vdi_OpenWithHandler(VdiImage* image, const FileOpener* opener, const char* path, bool readOnly);

void Vdi_GetGeometry(void* object, DiskGeometry* out);
// DISK_ERR_ARG beyond the disk, DISK_ERR_READ, or the parent's failure. Bytes past the end of a
// shorter parent read as zeros.
int Vdi_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Vdi_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
int Vdi_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* out);
// Block extra size 0.
bool Vdi_CanCompact(void* object);
bool Vdi_HasParent(void* object);

// 0 when sectors are 512 bytes and the byte size stays below 2^63, else -1.
int Vdi_CheckGeometry(const DiskGeometry* geometry);

VdiCreateOptions* Vdi_AllocCreateOptions();
// Writes the source as a VDI file at path; each block is read once and a block that reads as
// zeros is not stored (a fixed image stores every block). DISK_ERR_ARG for a source Vdi_CheckGeometry refuses
// or unusable options; DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED (1) or
// the source's failure. A failed write leaves its partial file.
int Vdi_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
               ProgressCallback callback, void* user, const VdiCreateOptions* options);

// Rewrites the open image of `source` (kind 14, block extra size 0) without its empty blocks
// into path + "_TEMP" (or the first free "_TEMP1", "_TEMP2"...: never an existing file nor a
// file of the image's chain) and arms the output record. A fixed image becomes a dynamic one;
// a differencing image keeps exactly the blocks it stores. The image is not touched.
// DISK_ERR_FORMAT, before anything is written, for a map whose entries share a stored block.
// DISK_ERR_ARG, DISK_ERR_CREATE, DISK_ERR_SIZE, DISK_ERR_READ, DISK_ERR_WRITE, DISK_ERR_NOMEM,
// DISK_CANCELLED.
int Vdi_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                bool preallocate, ProgressCallback callback, void* user);
int Vdi_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags);
int Vdi_DiscardCompact(OutputFile* output);
OutputFile* Vdi_AllocOutputFile();
void Vdi_InitOutputFile(OutputFile* output);
