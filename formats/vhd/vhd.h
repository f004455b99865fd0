// Dynamic and differencing VHD files (DISK_KIND_VHD): open, read through per-sector bitmaps
// with fall-through to the parent disk, the empty-range query and the per-layer query.
//
// Fixed VHD files (disk type 2) are refused here; they are DISK_KIND_VHD_FIXED.
//
// The object functions of the operation tables take the object as void* (a VhdImage).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/stream.h"
#include "foundation/text.h"

struct UsedSectorMap;

enum : uint32_t {
    VHD_PATH_CAPACITY = 4096,
    // Parents opened below one image at most (a longer chain is refused as corrupt).
    VHD_MAX_PARENT_DEPTH = 32,
    // Largest locator data the parent lookup reads.
    VHD_MAX_LOCATOR_READ = 8192,
    // Work buffer of the empty-range query.
    VHD_WORK_BYTES = 0x40000,
    VHD_UNALLOCATED = 0xFFFFFFFFu
};

// Parent modes of the open calls.
enum : int {
    VHD_PARENT_REQUIRED =
        0,  // open the parent of a differencing disk; fail when it cannot be opened
    VHD_PARENT_OPTIONAL = 1,  // open it, go on without it when it cannot be opened
    VHD_PARENT_IGNORE = 2     // 2 and 3: neither check the locators nor open the parent
};

struct VhdImage {
    DiskGeometry geometry;  // 512-byte sectors, heads and sectors per track of the footer
    ByteStream* stream;     // the file, owned
    uint32_t* bat;          // host-order entries (sector of the block's bitmap, or all ones)
    uint32_t cachedBlock;   // block whose bitmap is in `bitmap`; all ones when none
    uint8_t* bitmap;        // one block's sector bitmap (bitmapBytes), owned
    VhdFooter footer;       // host order, as read from the end of the file
    uint32_t blockBytes;
    uint32_t blockSectors;
    uint32_t zeroSectorsAfterBlock;  // layout inferred at open
    uint32_t batEntryCount;          // blocks of the disk: ceil(total / block sectors)
    uint64_t tableOffset;
    uint64_t footerPosition;  // file size minus footer length
    uint32_t footerLength;    // 512, or 511 when the last byte of the file is missing
    uint32_t bitmapBytes;     // ceil(block sectors / 8) rounded up to 512
    bool parentMissing;       // differencing disk whose parent was not opened
    DiskHandle* parent;       // owned; NULL when none
    VhdDynamicHeader header;  // host order
    uint32_t batAlignment;    // layout inferred at open
    uint32_t zeroSectorsAfterBat;
    TextBuffer path;  // the file's path (UTF-8) over pathStorage
    uint8_t pathStorage[VHD_PATH_CAPACITY];

    // Entries held in `bat`: the blocks of the disk that the stored table covers (blocks at or
    // beyond the header's max table entries are unallocated).
    uint32_t batStoredEntries;
    // First block sector (smallest entry), or footerPosition / 512 when no block is stored.
    uint64_t firstBlockSector;
    // Result of opening the parent (DISK_OK when opened or when there is none).
    int parentResult;
    // Scratch of the queries, owned: used bits of one block (bitmapBytes) and a read buffer.
    uint8_t* usedBits;
    uint8_t* work;
};

// ---- Table entries -----------------------------------------------------------------
// Allocate and initialise a VhdImage, open it (Disk_OpenVhd with parent mode 0) and on success
// store kind and object in the handle; on failure the object is freed and the handle is left
// as it was. openProgress is not used.
int Disk_OpenVhd(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVhdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly, int parentMode, void* openProgress);

// ---- Object --------------------------------------------------------------------------
// An uninitialised record from Mem_Alloc; NULL when exhausted.
VhdImage* Vhd_Alloc();
// Empty geometry, no stream, no tables, no parent, layout 0, empty path.
void Vhd_Init(VhdImage* image);
// Closes the stream and the parent, frees the tables, then clears as Vhd_Init does.
void Vhd_Close(void* object);

// Opens path through the callback. parentPath (may be NULL) receives the resolved parent path
// of a differencing disk, terminated, when it fits. Every failure leaves the image cleared.
// DISK_CANCELLED, DISK_ERR_OPEN, DISK_ERR_SIZE, DISK_ERR_READ, DISK_ERR_NOMEM, DISK_ERR_FORMAT
// (every structural mismatch, a total of 2^32 sectors or more, a parent chain deeper than
// VHD_MAX_PARENT_DEPTH or leading back to an image already in it), DISK_ERR_ARG (path too
// long), or in parent mode 0 the parent's open failure.
int Vhd_OpenWithCallback(VhdImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly, char* parentPath, uint32_t parentPathSize, int parentMode);
int Vhd_OpenWithHandler(VhdImage* image, const FileOpener* opener, const char* path, bool readOnly,
                        int parentMode);
// The default opener, parent mode 0; the second form takes the mode.
int Vhd_Open(VhdImage* image, const char* path, bool readOnly);
int Vhd_Open(VhdImage* image, const char* path, bool readOnly, int parentMode);

void Vhd_GetGeometry(void* object, DiskGeometry* out);
// DISK_ERR_ARG outside the disk; DISK_ERR_READ; or the parent's failure.
int Vhd_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
// *empty = 1 when every used sector of the range reads as zero or is stored nowhere in the
// chain. DISK_ERR_ARG outside the disk, DISK_ERR_READ, the map's or the parent's failure.
int Vhd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
// *unallocated = 1 when no used sector of the range is stored in this file (the parent is
// never asked).
int Vhd_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* unallocated);
// False only for a differencing disk whose parent was not opened.
bool Vhd_CanCompact(void* object);
// True for every differencing disk, whether or not its parent was opened.
bool Vhd_HasParent(void* object);

// ---- Queries of the maintenance dialog ----------------------------------------------------
// The layout of the open image as the options that would create it: the footer's creator
// application and version, and the BAT alignment, block sectors and zero sectors after the BAT
// and after each block inferred at open.
void Vhd_GetLayoutOptions(const VhdImage* image, VhdCreateOptions* out);

// Reads the data of the first parent locator whose platform code is `platformCode` into buffer
// (capacity bytes): *found tells whether a locator has the code, *length is the number of bytes
// read (0 when none has). False when the data is longer than the capacity or than
// VHD_MAX_LOCATOR_READ, or cannot be read.
bool Vhd_ReadParentLocator(const VhdImage* image, uint32_t platformCode, uint8_t* buffer,
                           uint32_t capacity, uint32_t* length, bool* found);

// Bytes of the header's parent name field.
enum : uint32_t { VHD_PARENT_NAME_BYTES = sizeof(VhdDynamicHeader::parentName) };
// The parent name field of the dynamic header as stored (UTF-16 big-endian, NUL-padded,
// VHD_PARENT_NAME_BYTES long); it lives as long as the image stays open.
TextView Vhd_GetParentName(const VhdImage* image);
