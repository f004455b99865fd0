// Bochs emulator images: redolog images (DISK_KIND_BOCHS_REDOLOG, "Growing" and "Undoable") and
// sparse images (DISK_KIND_BOCHS_SPARSE, chains formed by numbered file names).
//
// Neither format stores a geometry: both objects start with their DiskGeometry, which the
// source-information pages set (Bochs_SetGeometry works on either object).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    BOCHS_HEADER_BYTES = 512,
    BOCHS_VERSION_1 = 0x00010000,
    BOCHS_VERSION_2 = 0x00020000,
    BOCHS_UNSTORED = 0xFFFFFFFFu,
    // Largest catalog (entries) and bitmap (bytes) read.
    BOCHS_MAX_CATALOG = 0x4000000,
    BOCHS_MAX_BITMAP = 0x100000,
    BOCHS_SUBTYPE_GROWING = 0,
    BOCHS_SUBTYPE_UNDOABLE = 1,

    BOCHS_SPARSE_HEADER_BYTES = 256,
    BOCHS_SPARSE_MAGIC = 0x02468ACE,
    BOCHS_SPARSE_MAX_PAGES = 0x4000000,
    BOCHS_SPARSE_WRITE_PAGE = 0x8000,
    BOCHS_PATH_CAPACITY = 4096
};

// The redolog header in host order.
struct BochsHeader {
    char magic[32];
    char type[16];
    char subtype[16];
    uint32_t version;
    uint32_t headerSize;
    uint32_t catalogEntries;
    uint32_t bitmapSize;
    uint32_t extentSize;
    uint64_t diskSize;  // from whichever layout the file uses
};

struct BochsImage {
    DiskGeometry geometry;  // first: see above
    ByteStream* stream;
    BochsHeader header;
    uint32_t* catalog;     // host order, owned
    uint8_t* bitmap;       // one block's bitmap, owned
    int64_t cachedExtent;  // extent whose bitmap is in `bitmap`; -1 none
    uint32_t nextFreeExtent;
    uint32_t extentSectors;
    uint32_t bitmapSectors;
    uint32_t subtype;
    DiskHandle* base;  // owned; NULL for none
};

struct BochsCreateOptions {
    uint32_t version;  // BOCHS_VERSION_1 or BOCHS_VERSION_2
};

struct BochsSparseHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t pageSize;
    uint32_t pages;
    uint64_t diskSize;
};

struct BochsSparseImage {
    DiskGeometry geometry;  // first: see above
    ByteStream* stream;
    BochsSparseHeader header;
    uint32_t* table;  // host order, owned
    uint32_t nextFreePage;
    uint64_t dataStart;
    DiskHandle* parent;  // owned; NULL for none
};

struct BochsSparseCreateOptions {
    uint32_t version;  // 1 or 2
};

static_assert(offsetof(BochsImage, geometry) == 0, "geometry first");
static_assert(offsetof(BochsSparseImage, geometry) == 0, "geometry first");

// ---- Redolog --------------------------------------------------------------------------------
int Disk_OpenBochs(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenBochsWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly);

BochsImage* Bochs_Alloc();
void Bochs_Init(BochsImage* image);
void Bochs_Close(void* object);
// 1 cancelled, DISK_ERR_OPEN, DISK_ERR_READ, DISK_ERR_NOMEM, DISK_ERR_FORMAT (any field out of
// its rules, an extent larger than its bitmap covers, a disk size the catalog cannot hold).
int Bochs_OpenWithHandler(BochsImage* image, const FileOpener* opener, const char* path,
                          bool readOnly);
int Bochs_Open(BochsImage* image, const char* path, bool readOnly);
void Bochs_GetGeometry(void* object, DiskGeometry* out);
// Works on a BochsImage and on a BochsSparseImage alike.
void Bochs_SetGeometry(void* object, uint32_t heads, uint32_t sectorsPerTrack);
bool Bochs_IsUndoable(void* object);
int Bochs_OpenBaseWithHandler(void* object, const FileOpener* opener, const char* path);
int Bochs_OpenBase(void* object, const char* path);
void Bochs_CloseBase(void* object);
int Bochs_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Bochs_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);

int Bochs_CheckGeometry(const DiskGeometry* geometry);
BochsCreateOptions* Bochs_AllocCreateOptions();
// A "Growing" image with the option's header version (and that version's layout), then the
// ".txt" description beside it. DISK_ERR_ARG for a source Bochs_CheckGeometry refuses, bad
// options, or an image path that its own description would overwrite.
int Bochs_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback callback, void* user, const BochsCreateOptions* options);
// The body of a new growing image after its header: the catalog (all unstored) at the header's
// end, then one block (bitmap, then the extent's sectors) per extent that holds data, in order,
// and the catalog again. Each extent is read once, in pieces (the writer kit), and an extent
// that reads as zeros is not stored. The stream stays open.
struct BochsBodyWriter {
    ByteStream* out;
    uint32_t total;          // sectors of the disk
    uint32_t catalog;        // catalog entries
    uint32_t bitmapSectors;  // sectors of one extent's bitmap
    uint32_t extentSectors;  // sectors of one extent
};
int Bochs_WriteBody(const BochsBodyWriter* writer, const DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback callback, void* user);

// ---- Sparse ---------------------------------------------------------------------------------
int Disk_OpenBochsSparse(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenBochsSparseWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                    bool readOnly);

BochsSparseImage* BochsSparse_Alloc();
void BochsSparse_Init(BochsSparseImage* image);
void BochsSparse_Close(void* object);
int BochsSparse_OpenWithHandler(BochsSparseImage* image, const FileOpener* opener, const char* path,
                                bool readOnly);
int BochsSparse_Open(BochsSparseImage* image, const char* path, bool readOnly);
void BochsSparse_GetGeometry(void* object, DiskGeometry* out);
void BochsSparse_SetGeometry(void* object, uint32_t heads, uint32_t sectorsPerTrack);
int BochsSparse_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int BochsSparse_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* empty, RangeProgressAdapter adapter,
                             RangeProgressRecord* record);
int BochsSparse_CheckGeometry(const DiskGeometry* geometry);
BochsSparseCreateOptions* BochsSparse_AllocCreateOptions();
int BochsSparse_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                       ProgressCallback callback, void* user,
                       const BochsSparseCreateOptions* options);
