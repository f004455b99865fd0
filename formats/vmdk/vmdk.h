// The VMDK handler (DiskKind 0): an image made of a descriptor and one or more sparse or flat
// extents, optionally a child of a parent image named by parentFileNameHint.
//
// Parent chains are bounded: an image whose parent is already being opened further up the
// chain (A -> B -> A), or a chain deeper than VMDK_MAX_CHAIN_DEPTH images, is refused with
// DISK_ERR_FORMAT.
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "disk/disk_source.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "formats/vmdk/vmdk_sparse.h"
#include "foundation/stream.h"
#include "foundation/text.h"

struct UsedSectorMap;

enum : uint32_t { VMDK_MAX_CHAIN_DEPTH = 32 };

// Parent modes.
enum : int {
    VMDK_PARENT_REQUIRED = 0,    // open the parent and fail without it
    VMDK_PARENT_OPTIONAL = 1,    // open it when possible
    VMDK_PARENT_CHILD_ONLY = 2,  // the image must be a child; its parent is not opened
    VMDK_PARENT_NONE = 3         // the parent is not opened
};

struct VmdkFlatExtent {
    ByteStream* stream;   // owned
    uint64_t dataOffset;  // byte offset of the extent's data in its file
    uint32_t sectors;
    uint64_t firstSector;  // in the whole disk
    char path[4096];       // UTF-8, terminated
};

struct VmdkImage {
    DiskGeometry geometry;
    uint32_t extentCount;
    uint32_t flat;                    // copied from the descriptor
    VmdkSparseExtent* sparseExtents;  // extentCount records when flat is 0
    VmdkFlatExtent* flatExtents;      // extentCount records when flat is 1
    uint8_t childWithoutParent;       // a child whose parent was not opened
    DiskSource* parent;               // owned; NULL without one
    z_stream* zlib;                   // shared by the compressed extents, owned
    VmdkDescriptor descriptor;        // its views point into descriptorText
    TextBuffer descriptorText;        // owned block (Mem_Alloc)
    char path[4096];                  // the image path, UTF-8, terminated
};

// ---- Object ---------------------------------------------------------------------------------
VmdkImage* Vmdk_Alloc();
// Empty geometry, no extents, no parent.
void Vmdk_Init(VmdkImage* image);
// Closes every extent and the parent, frees the zlib stream and the descriptor text, clears.
// The object (a VmdkImage) itself is not freed.
void Vmdk_Close(void* object);

// ---- Opening --------------------------------------------------------------------------------
// Opens the descriptor at path and its extents (read-only or writable), and the parent of a
// child by the parent mode; openProgress is handed on to the open of the parent. 1 when the
// opener cancelled, DISK_ERR_OPEN, DISK_ERR_NOMEM, DISK_ERR_READ, DISK_ERR_FORMAT (descriptor,
// extents, parent hint, parent size, chain loop or depth), DISK_ERR_ARG (path over 4096
// bytes), or the parent's failure in mode 0. A failed open leaves the image cleared.
int Vmdk_OpenWithCallback(VmdkImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly, int parentMode, void* openProgress);
// Default opener, parent mode 0, no open progress.
int Vmdk_Open(VmdkImage* image, const char* path, bool readOnly);
// A caller's FileOpener (NULL: the default one).
int Vmdk_OpenWithHandler(VmdkImage* image, const FileOpener* opener, const char* path,
                         bool readOnly, int parentMode, void* openProgress);
// Default opener with a parent mode.
int Vmdk_OpenParentMode(VmdkImage* image, const char* path, bool readOnly, int parentMode);

// The kind's entries of the disk core's open tables: allocate the object, open it, and on success
// store kind and object in the handle (on failure the object is freed, the handle unchanged).
int Disk_OpenVmdk(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVmdkWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int parentMode, void* openProgress);

// ---- Operation-table functions (object = VmdkImage) -------------------------------------------
void Vmdk_GetGeometry(void* object, DiskGeometry* out);
// DISK_ERR_ARG for a range past the end of the image.
int Vmdk_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Vmdk_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);
// DISK_ERR_ARG for a flat image and for a range past the end.
int Vmdk_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* out);
// True when every extent is sparse with plain grains in fixed tables (not compressed, not
// stream-optimised) and the image is no child opened without its parent.
bool Vmdk_CanCompact(void* object);
// True when a parent is open or the image is a child opened without it.
bool Vmdk_HasParent(void* object);

// ---- Queries ----------------------------------------------------------------------------------
bool Vmdk_IsFlat(const VmdkImage* image);
// The image path (the descriptor's file) as opened, UTF-8.
inline const char* Vmdk_ImagePath(const VmdkImage* image) { return image->path; }
// The number of sparse extents (0 for a flat image) and the file of extent i.
inline uint32_t Vmdk_SparseExtentCount(const VmdkImage* image)
{
    return image->flat == 0 && image->sparseExtents != NULL ? image->extentCount : 0;
}
inline const char* Vmdk_SparseExtentPath(const VmdkImage* image, uint32_t i)
{
    return image->sparseExtents[i].path;
}
// For a child: the parentFileNameHint converted to UTF-8 (into hint), checked as a path and made
// absolute against the image path (work holds the joined text) into result, terminated. False
// when the image is no child, the hint is not a valid path, a buffer is too small, or the hint
// resolves to the image itself.
bool Vmdk_GetParentPath(const VmdkImage* image, TextBuffer* hint, TextBuffer* work,
                        TextBuffer* result);
// The hwVersionIndex of the first image along the parent chain (this one, then each parent that
// is a VMDK image) whose descriptor has a "ddb.virtualHWVersion" line; VMDK_HW_VERSION_DEFAULT
// when none has.
uint32_t Vmdk_GetEffectiveHwVersion(const VmdkImage* image);
// 0 when the geometry's byte size fits 63 bits and its sectors are 512 bytes, else -1.
int Vmdk_CheckGeometry(const DiskGeometry* geometry);

// ---- Flat extents ---------------------------------------------------------------------------
void VmdkFlat_Init(VmdkFlatExtent* extent);
// The file must hold at least dataOffset + sectors x 512 bytes (DISK_ERR_FORMAT; DISK_ERR_SIZE
// when its size cannot be taken). 1 cancelled, DISK_ERR_OPEN, DISK_ERR_ARG for a path too long.
int VmdkFlat_Open(VmdkFlatExtent* extent, FileOpenFn open, void* user, const char* path,
                  bool readOnly, uint64_t dataOffset, uint32_t sectors, uint64_t firstSector);
void VmdkFlat_Close(VmdkFlatExtent* extent);
// Offset within the extent; DISK_ERR_ARG past its end, DISK_ERR_READ.
int VmdkFlat_Read(VmdkFlatExtent* extent, uint64_t offset, uint32_t length, void* buffer);
// Sectors within the extent; the map is asked with whole-disk sectors.
int VmdkFlat_IsRangeEmpty(VmdkFlatExtent* extent, UsedSectorMap* map, uint32_t first,
                          uint32_t count, bool* empty);

// ---- Descriptor queries -------------------------------------------------------------------------
// The number of extents of the open image.
uint32_t Vmdk_ExtentCount(const VmdkImage* image);
// True when the descriptor is a file of its own (split or flat images), false when it is
// embedded in the single sparse extent.
bool Vmdk_HasDescriptorFile(const VmdkImage* image);

// The settings of the descriptor that its parameter lines give, as parsed at open. The texts point
// into the image's descriptor text (valid while the image stays open) and are in textEncoding.
struct VmdkDescriptorSettings {
    uint32_t encodingChoice;  // VMDK_ENCODING_*
    TextEncoding textEncoding;
    uint32_t adapter;  // VMDK_ADAPTER_*; VMDK_ADAPTER_UNSET without a "ddb.adapterType" line
    uint32_t cylinders;
    uint32_t heads;
    uint32_t sectorsPerTrack;
    bool hasUuid;  // a "ddb.uuid" line exists
    TextView uuid;
    TextView parentFileNameHint;  // empty for an image that is no child
};
void Vmdk_GetDescriptorSettings(const VmdkImage* image, VmdkDescriptorSettings* out);
