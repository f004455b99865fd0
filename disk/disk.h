// Disk handles, disk kinds and the dispatch of the five disk operations.
//
// Every disk the engine reads is reached through a DiskHandle {kind, object}. Kinds 0..22 select
// a format handler through eight operation tables indexed by kind; negative kinds select the
// built-in disks through fixed switches. A dispatch on a handle without an object (a fresh or
// closed handle, or the "password needed" state) never runs a kind's code: it answers
// DISK_ERR_ARG or leaves its output untouched.
#pragma once

#include <cstdint>

#include "foundation/result_codes.h"

struct UsedSectorMap;

// ---- Kinds ------------------------------------------------------------------
typedef int32_t DiskKind;
enum : int32_t {
    DISK_KIND_VMDK = 0,
    DISK_KIND_COWD3 = 1,
    DISK_KIND_COWD3_CHILD = 2,
    DISK_KIND_COWD1 = 3,
    DISK_KIND_COWD1_CHILD = 4,
    DISK_KIND_VHDX = 5,
    DISK_KIND_VHD = 6,
    DISK_KIND_VHD_FIXED = 7,
    DISK_KIND_PARALLELS = 8,
    DISK_KIND_PARALLELS_BUNDLE = 9,
    DISK_KIND_BOCHS_REDOLOG = 10,
    DISK_KIND_BOCHS_SPARSE = 11,
    DISK_KIND_QCOW = 12,
    DISK_KIND_QCOW2 = 13,
    DISK_KIND_VDI = 14,
    // 15 is an empty slot in every table and is never stored in a handle.
    DISK_KIND_HDI = 16,
    DISK_KIND_THD = 17,
    DISK_KIND_NHD = 18,
    DISK_KIND_VHD100 = 19,
    DISK_KIND_PC98E = 20,
    DISK_KIND_HDIM = 21,
    DISK_KIND_UNZ = 22,
    DISK_KIND_NONE = 23,

    // Built-in disks (-4 and -8 are not used).
    DISK_KIND_RAW = -1,
    DISK_KIND_OVERLAY = -2,
    DISK_KIND_SPLIT = -3,
    DISK_KIND_RESIZE = -5,
    DISK_KIND_ZERO = -6,
    DISK_KIND_DEVICE = -7,
    DISK_KIND_PLUGIN = -9
};

// Number of slots of every operation table (kinds 0..23).
enum : uint32_t { DISK_TABLE_SLOTS = 24 };

// ---- Handle -----------------------------------------------------------------
struct DiskHandle {
    DiskKind kind;
    void* object;  // the kind's own object, owned by the handle; NULL when nothing is open
};

// ---- Geometry ---------------------------------------------------------------
// Copied by value. Exactly one of the two counts carries the total: sectors32 when the total
// fits 32 bits, else sectors64 with sectors32 = 0. Read the total only through
// Geometry_GetTotalSectors.
struct DiskGeometry {
    uint32_t sectors32;
    uint32_t heads;
    uint32_t sectors_per_track;
    uint32_t bytes_per_sector;
    uint64_t sectors64;
};

uint64_t Geometry_GetTotalSectors(const DiskGeometry* g);
void Geometry_SetTotalSectors(DiskGeometry* g, uint64_t n);
// Total below 2^32.
bool Geometry_FitsIn32Bits(const DiskGeometry* g);
// The byte size (total x bytes per sector) fits 63 bits; false for 0 bytes per sector.
bool Geometry_ByteSizeFitsInt64(const DiskGeometry* g);
// offset + length <= total x bytes per sector, computed without wrapping.
bool Geometry_IsByteRangeInside(uint64_t offset, uint32_t length, const DiskGeometry* g);
// first + count <= total, computed without wrapping.
bool Geometry_IsSectorRangeInside(uint64_t first, uint32_t count, const DiskGeometry* g);

// ---- Progress -----------------------------------------------------------------
// Called with done 0 before the first block and done = total at the end; false asks the
// running operation to stop, which then returns DISK_CANCELLED.
typedef bool (*ProgressCallback)(uint64_t done, uint64_t total, void* user);

// Lets a long empty-range query continue a writer's own progress reporting.
struct RangeProgressRecord {
    ProgressCallback callback;  // the writer's callback
    void* user;                 // its user pointer
    uint64_t base;              // amount done before this range
    uint64_t total;             // total passed to the callback
    uint64_t offset;            // amount added to every report
};

// The range progress adapter: reports (done + base + offset, total) through the record.
typedef bool (*RangeProgressAdapter)(uint64_t done, RangeProgressRecord* record);

// ---- Operation tables ---------------------------------------------------------
// open(handle, path, read-only): on success stores kind and object in the handle.
typedef int (*DiskOpenFn)(DiskHandle* handle, const char* path, bool readOnly);
// destroy(object): releases what the object holds, but not the object's own memory.
typedef void (*DiskCloseFn)(void* object);
typedef void (*DiskGeometryFn)(void* object, DiskGeometry* out);
typedef int (*DiskReadFn)(void* object, uint64_t offset, uint32_t length, void* buffer);
typedef int (*DiskRangeEmptyFn)(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                                bool* empty, RangeProgressAdapter adapter,
                                RangeProgressRecord* record);
typedef bool (*DiskCanCompactFn)(void* object);
typedef bool (*DiskHasParentFn)(void* object);
typedef int (*DiskRangeUnallocatedFn)(void* object, UsedSectorMap* map, uint64_t first,
                                      uint32_t count, bool* out);

// Fills the operation tables from the format rows (disk/format_registry.h); only the first call
// does anything, and every access to a table runs it, so callers need not.
void DiskRegistry_Fill();

// An operation table: one slot per kind 0..23, a NULL slot meaning that the kind lacks the
// operation. Slots 15 and 23 are NULL in every table. The registry fills the slots from the
// format rows when a table is first used (tests may substitute slots afterwards).
template <typename Fn>
struct DiskOperationTable {
    Fn slots[DISK_TABLE_SLOTS];
    Fn& operator[](uint32_t kind)
    {
        DiskRegistry_Fill();
        return slots[kind];
    }
};

extern DiskOperationTable<DiskOpenFn> DiskOpenTable;
extern DiskOperationTable<DiskCloseFn> DiskCloseTable;
extern DiskOperationTable<DiskGeometryFn> DiskGeometryTable;
extern DiskOperationTable<DiskReadFn> DiskReadTable;
extern DiskOperationTable<DiskRangeEmptyFn> DiskRangeEmptyTable;
extern DiskOperationTable<DiskCanCompactFn> DiskCanCompactTable;
extern DiskOperationTable<DiskHasParentFn> DiskHasParentTable;
extern DiskOperationTable<DiskRangeUnallocatedFn> DiskRangeUnallocatedTable;

// ---- Handle functions ---------------------------------------------------------
// New uninitialised handle, or NULL when out of memory. Free it with Mem_Free after Disk_Close.
DiskHandle* Disk_Alloc();
// Kind DISK_KIND_NONE, no object.
void Disk_Init(DiskHandle* handle);
DiskKind Disk_GetKind(const DiskHandle* handle);
void* Disk_GetObject(const DiskHandle* handle);
// Destroys and frees the object (with every parent image and file it opened) and leaves the
// handle with kind DISK_KIND_NONE and no object.
void Disk_Close(DiskHandle* handle);
// For a resizing view: destroys the view without closing the disk it wraps, leaves the handle
// empty and returns the wrapped handle (now owned by the caller). Any other kind: NULL, nothing
// changes.
DiskHandle* Disk_DetachResizeView(DiskHandle* handle);

// ---- Dispatch (the handle itself is not changed) --------------------------------
// Leaves *out untouched for a kind without the operation or a handle without an object.
void Disk_GetGeometry(const DiskHandle* handle, DiskGeometry* out);
int Disk_Read(const DiskHandle* handle, uint64_t offset, uint32_t length, void* buffer);
// *empty = 1 when every sector of the range that the map marks used (every sector without a
// map) reads as zero or is not stored. A format kind without the operation answers *empty = 0.
int Disk_IsRangeEmpty(const DiskHandle* handle, UsedSectorMap* map, uint64_t first, uint32_t count,
                      bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
bool Disk_CanCompact(const DiskHandle* handle);
bool Disk_HasParent(const DiskHandle* handle);
// Whether no block of the range is stored in this layer of a layered image.
int Disk_IsRangeUnallocated(const DiskHandle* handle, UsedSectorMap* map, uint64_t first,
                            uint32_t count, bool* out);
// *zero = true when every sector of [first, first + count) is known to read as zeros without
// reading any data: the zero disk, the blocks that an image without a parent does not store,
// and the holes of the files under raw images, devices, split sets, resizing views and the
// fixed-header emulator images.
// Never reads data; a kind that cannot tell answers false. The writers ask it before reading a
// block, so that holes are skipped unread.
int Disk_IsRangeKnownZero(const DiskHandle* handle, uint64_t first, uint32_t count, bool* zero);
RangeProgressAdapter Disk_GetRangeProgressAdapter();
