// Disk sources over DiskHandles.
#include "disk/disk_source.h"

#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"

static void HandleSource_GetGeometry(void* impl, DiskGeometry* out)
{
    Disk_GetGeometry(static_cast<DiskHandle*>(impl), out);
}

static int HandleSource_Read(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    return Disk_Read(static_cast<DiskHandle*>(impl), offset, length, buffer);
}

static int HandleSource_IsRangeEmpty(void* impl, UsedSectorMap* map, uint64_t first, uint32_t count,
                                     bool* empty, RangeProgressAdapter adapter,
                                     RangeProgressRecord* record)
{
    return Disk_IsRangeEmpty(static_cast<DiskHandle*>(impl), map, first, count, empty, adapter,
                             record);
}

static void BorrowedSource_Close(void*) {}

static void OwnedSource_Close(void* impl)
{
    DiskHandle* handle = static_cast<DiskHandle*>(impl);
    if (handle == nullptr) return;
    Disk_Close(handle);
    Mem_Free(handle);
}

const DiskSourceOps DiskSourceBorrowedOps = {BorrowedSource_Close, HandleSource_GetGeometry,
                                             HandleSource_Read, HandleSource_IsRangeEmpty, nullptr};
const DiskSourceOps DiskSourceOwnedOps = {OwnedSource_Close, HandleSource_GetGeometry,
                                          HandleSource_Read, HandleSource_IsRangeEmpty, nullptr};

static void ResizedSource_Close(void* impl)
{
    ResizeView* view = static_cast<ResizeView*>(impl);
    if (view == nullptr) return;
    ResizeDisk_Destroy(view);
    Mem_Free(view);
}

static void ResizedSource_GetGeometry(void* impl, DiskGeometry* out)
{
    ResizeDisk_GetGeometry(static_cast<ResizeView*>(impl), out);
}

static int ResizedSource_Read(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    return ResizeDisk_Read(static_cast<ResizeView*>(impl), offset, length, buffer);
}

static int ResizedSource_IsRangeEmpty(void* impl, UsedSectorMap* map, uint64_t first,
                                      uint32_t count, bool* empty, RangeProgressAdapter adapter,
                                      RangeProgressRecord* record)
{
    return ResizeDisk_IsRangeEmpty(static_cast<ResizeView*>(impl), map, first, count, empty,
                                   adapter, record);
}

const DiskSourceOps DiskSourceResizedOps = {ResizedSource_Close, ResizedSource_GetGeometry,
                                            ResizedSource_Read, ResizedSource_IsRangeEmpty,
                                            nullptr};

DiskSource* DiskSource_Alloc() { return static_cast<DiskSource*>(Mem_Alloc(sizeof(DiskSource))); }

int DiskSource_WrapDisk(DiskHandle* disk, bool owns, DiskSource** out)
{
    if (disk == nullptr || out == nullptr) return DISK_ERR_ARG;
    DiskSource* source = DiskSource_Alloc();
    if (source == nullptr) return DISK_ERR_NOMEM;
    source->impl = disk;
    source->ops = owns ? &DiskSourceOwnedOps : &DiskSourceBorrowedOps;
    *out = source;
    return DISK_OK;
}

int DiskSource_OpenPathEx(const char* path, bool readOnly, int parentMode, void* openProgress,
                          DiskSource** out)
{
    if (path == nullptr || out == nullptr) return DISK_ERR_ARG;
    DiskSource* source = DiskSource_Alloc();
    if (source == nullptr) return DISK_ERR_NOMEM;
    DiskHandle* handle = Disk_Alloc();
    if (handle == nullptr) {
        Mem_Free(source);
        return DISK_ERR_NOMEM;
    }
    Disk_Init(handle);
    int r = Disk_OpenEx(handle, path, readOnly, parentMode, openProgress);
    if (r != DISK_OK) {
        // A -210 answer leaves a kind without an object; closing resets it.
        Disk_Close(handle);
        Mem_Free(handle);
        Mem_Free(source);
        return r == DISK_ERR_OPEN ? DISK_ERR_OPEN : DISK_ERR_ARG;
    }
    source->impl = handle;
    source->ops = &DiskSourceOwnedOps;
    *out = source;
    return DISK_OK;
}

void* DiskSource_Release(DiskSource* source)
{
    if (source == nullptr) return nullptr;
    void* impl = source->impl;
    Mem_Free(source);
    return impl;
}

void DiskSource_Close(DiskSource* source)
{
    if (source == nullptr) return;
    if (source->ops != nullptr && source->ops->Close != nullptr) source->ops->Close(source->impl);
    Mem_Free(source);
}

void DiskSource_GetGeometry(DiskSource* source, DiskGeometry* out)
{
    source->ops->GetGeometry(source->impl, out);
}

int DiskSource_Read(DiskSource* source, uint64_t offset, uint32_t length, void* buffer)
{
    return source->ops->Read(source->impl, offset, length, buffer);
}

int DiskSource_IsRangeEmpty(DiskSource* source, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return source->ops->IsRangeEmpty(source->impl, map, first, count, empty, adapter, record);
}

static bool IsHandleSource(const DiskSource* source)
{
    return source != nullptr &&
           (source->ops == &DiskSourceBorrowedOps || source->ops == &DiskSourceOwnedOps);
}

bool DiskSource_IsVmdk(const DiskSource* source)
{
    return IsHandleSource(source) && source->impl != nullptr &&
           Disk_GetKind(static_cast<const DiskHandle*>(source->impl)) == DISK_KIND_VMDK;
}

void* DiskSource_GetVmdk(const DiskSource* source)
{
    if (!DiskSource_IsVmdk(source)) return nullptr;
    return Disk_GetObject(static_cast<const DiskHandle*>(source->impl));
}

int DiskSource_OpenResized(DiskSource* source, bool owns, uint64_t declaredTotal, DiskSource** out)
{
    if (source == nullptr || out == nullptr) return DISK_ERR_ARG;
    DiskSource* wrapper = DiskSource_Alloc();
    if (wrapper == nullptr) return DISK_ERR_NOMEM;
    ResizeView* view = ResizeDisk_Alloc();
    if (view == nullptr) {
        Mem_Free(wrapper);
        return DISK_ERR_NOMEM;
    }
    ResizeDisk_Init(view);
    if (ResizeDisk_AttachStream(view, source, owns, declaredTotal) != DISK_OK) {
        Mem_Free(view);
        Mem_Free(wrapper);
        return DISK_ERR_ARG;
    }
    wrapper->impl = view;
    wrapper->ops = &DiskSourceResizedOps;
    *out = wrapper;
    return DISK_OK;
}
