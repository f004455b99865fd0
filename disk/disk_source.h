// Disk sources: a read-side adapter of four operations over a DiskHandle (borrowed or owned),
// through which handlers read parent images and views read the disk they present.
#pragma once

#include <cstdint>

#include "disk/disk.h"

struct UsedSectorMap;

struct DiskSourceOps {
    void (*Close)(void* impl);
    void (*GetGeometry)(void* impl, DiskGeometry* out);
    int (*Read)(void* impl, uint64_t offset, uint32_t length, void* buffer);
    int (*IsRangeEmpty)(void* impl, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                        RangeProgressAdapter adapter, RangeProgressRecord* record);
    // Optional (null: the source cannot tell): Disk_IsRangeKnownZero of the source.
    int (*IsRangeKnownZero)(void* impl, uint64_t first, uint32_t count, bool* zero);
};

struct DiskSource {
    void* impl;
    const DiskSourceOps* ops;
};

// Over a DiskHandle the source does not own: Close does nothing.
extern const DiskSourceOps DiskSourceBorrowedOps;
// Over a DiskHandle the source owns: Close closes the handle and frees it.
extern const DiskSourceOps DiskSourceOwnedOps;
// Over a resizing view (a ResizeView object): Close destroys the view and frees it.
extern const DiskSourceOps DiskSourceResizedOps;

DiskSource* DiskSource_Alloc();
// Wraps a handle; DISK_ERR_NOMEM when out of memory, DISK_ERR_ARG without a handle.
int DiskSource_WrapDisk(DiskHandle* disk, bool owns, DiskSource** out);
// Opens path with Disk_OpenEx into a new handle and wraps it owning it. DISK_ERR_NOMEM when the
// handle or the wrapper cannot be allocated; an open failure gives DISK_ERR_OPEN when the open
// said so, else DISK_ERR_ARG.
int DiskSource_OpenPathEx(const char* path, bool readOnly, int parentMode, void* openProgress,
                          DiskSource** out);
// Wraps the source in a new resizing view presenting the declared total, under
// DiskSourceResizedOps; the view owns the source when the flag is set. DISK_ERR_NOMEM when the
// view or the wrapper cannot be allocated, DISK_ERR_ARG for any other failure.
int DiskSource_OpenResized(DiskSource* source, bool owns, uint64_t declaredTotal, DiskSource** out);
// Frees the wrapper without calling Close and answers its implementation pointer.
void* DiskSource_Release(DiskSource* source);
// Close slot, then frees the wrapper.
void DiskSource_Close(DiskSource* source);
void DiskSource_GetGeometry(DiskSource* source, DiskGeometry* out);
int DiskSource_Read(DiskSource* source, uint64_t offset, uint32_t length, void* buffer);
int DiskSource_IsRangeEmpty(DiskSource* source, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// True for a source over a DiskHandle (borrowed or owned) of kind DISK_KIND_VMDK.
bool DiskSource_IsVmdk(const DiskSource* source);
// The VMDK object of such a source, else NULL.
void* DiskSource_GetVmdk(const DiskSource* source);
