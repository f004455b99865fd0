// Disk handles and the dispatch of the disk operations (the tables: disk/format_registry.cpp).
#include "disk/disk.h"

#include "disk/builtin_disks.h"
#include "disk/plugin.h"
#include "disk/emulator_images.h"
#include "disk/raw_image.h"
#include "disk/split_disk.h"
#include "foundation/io_failure.h"
#include "foundation/platform.h"

// ---- Geometry -------------------------------------------------------------------

uint64_t Geometry_GetTotalSectors(const DiskGeometry* g)
{
    return g->sectors32 != 0 ? g->sectors32 : g->sectors64;
}

void Geometry_SetTotalSectors(DiskGeometry* g, uint64_t n)
{
    if (n <= 0xFFFFFFFFull) {
        g->sectors32 = static_cast<uint32_t>(n);
        g->sectors64 = 0;
    } else {
        g->sectors32 = 0;
        g->sectors64 = n;
    }
}

bool Geometry_FitsIn32Bits(const DiskGeometry* g)
{
    return Geometry_GetTotalSectors(g) <= 0xFFFFFFFFull;
}

bool Geometry_ByteSizeFitsInt64(const DiskGeometry* g)
{
    if (g->bytes_per_sector == 0) return false;
    return UINT64_MAX / g->bytes_per_sector / 2 >= Geometry_GetTotalSectors(g);
}

bool Geometry_IsByteRangeInside(uint64_t offset, uint32_t length, const DiskGeometry* g)
{
    // Both sides can pass 2^64: compare in 128 bits.
    unsigned __int128 end = static_cast<unsigned __int128>(offset) + length;
    unsigned __int128 size =
        static_cast<unsigned __int128>(Geometry_GetTotalSectors(g)) * g->bytes_per_sector;
    return end <= size;
}

bool Geometry_IsSectorRangeInside(uint64_t first, uint32_t count, const DiskGeometry* g)
{
    uint64_t total = Geometry_GetTotalSectors(g);
    return count <= total && first <= total - count;
}

// ---- Handle ---------------------------------------------------------------------

static bool IsTableKind(DiskKind kind)
{
    return kind >= 0 && kind < static_cast<DiskKind>(DISK_TABLE_SLOTS);
}

DiskHandle* Disk_Alloc() { return static_cast<DiskHandle*>(Mem_Alloc(sizeof(DiskHandle))); }

void Disk_Init(DiskHandle* handle)
{
    handle->kind = DISK_KIND_NONE;
    handle->object = nullptr;
}

DiskKind Disk_GetKind(const DiskHandle* handle) { return handle->kind; }

void* Disk_GetObject(const DiskHandle* handle) { return handle->object; }

void Disk_Close(DiskHandle* handle)
{
    if (handle == nullptr) return;
    void* object = handle->object;
    if (object != nullptr) {
        DiskKind kind = handle->kind;
        if (IsTableKind(kind)) {
            if (DiskCloseTable[kind] != nullptr) DiskCloseTable[kind](object);
        } else {
            switch (kind) {
            case DISK_KIND_RAW:
                RawImage_Destroy(static_cast<RawImage*>(object));
                break;
            case DISK_KIND_OVERLAY:
                Overlay_Destroy(static_cast<OverlayDisk*>(object));
                break;
            case DISK_KIND_RESIZE:
                ResizeDisk_Destroy(static_cast<ResizeView*>(object));
                break;
            case DISK_KIND_DEVICE:
                DeviceDisk_Close(static_cast<DeviceDisk*>(object));
                break;
            case DISK_KIND_PLUGIN:
                PluginDisk_Close(static_cast<PluginDisk*>(object));
                break;
            case DISK_KIND_SPLIT:
                SplitDisk_Destroy(object);
                break;
            case DISK_KIND_ZERO:  // a zero disk holds nothing but its geometry
            default:
                break;
            }
        }
        Mem_Free(object);
    }
    handle->kind = DISK_KIND_NONE;
    handle->object = nullptr;
}

DiskHandle* Disk_DetachResizeView(DiskHandle* handle)
{
    if (handle == nullptr || handle->kind != DISK_KIND_RESIZE || handle->object == nullptr)
        return nullptr;
    ResizeView* view = static_cast<ResizeView*>(handle->object);
    DiskHandle* wrapped = ResizeDisk_DetachSource(view);
    if (wrapped == nullptr) return nullptr;  // not a view over a handle: nothing changes
    Mem_Free(view);
    handle->kind = DISK_KIND_NONE;
    handle->object = nullptr;
    return wrapped;
}

// ---- Dispatch -------------------------------------------------------------------

void Disk_GetGeometry(const DiskHandle* handle, DiskGeometry* out)
{
    if (handle == nullptr || handle->object == nullptr || out == nullptr) return;
    DiskKind kind = handle->kind;
    if (IsTableKind(kind)) {
        if (DiskGeometryTable[kind] != nullptr) DiskGeometryTable[kind](handle->object, out);
        return;
    }
    switch (kind) {
    case DISK_KIND_RAW:
        RawImage_GetGeometry(static_cast<RawImage*>(handle->object), out);
        break;
    case DISK_KIND_OVERLAY:
        Overlay_GetGeometry(static_cast<OverlayDisk*>(handle->object), out);
        break;
    case DISK_KIND_RESIZE:
        ResizeDisk_GetGeometry(static_cast<ResizeView*>(handle->object), out);
        break;
    case DISK_KIND_ZERO:
        ZeroDisk_GetGeometry(static_cast<DiskGeometry*>(handle->object), out);
        break;
    case DISK_KIND_DEVICE:
        DeviceDisk_GetGeometry(static_cast<DeviceDisk*>(handle->object), out);
        break;
    case DISK_KIND_PLUGIN:
        PluginDisk_GetGeometry(static_cast<PluginDisk*>(handle->object), out);
        break;
    case DISK_KIND_SPLIT:
        SplitDisk_GetGeometry(handle->object, out);
        break;
    default:
        break;
    }
}

static int DispatchRead(const DiskHandle* handle, uint64_t offset, uint32_t length, void* buffer);

int Disk_Read(const DiskHandle* handle, uint64_t offset, uint32_t length, void* buffer)
{
    const int r = DispatchRead(handle, offset, length, buffer);
    // The range of a failed read is kept for the report of the job that asked for it.
    if (r != DISK_OK && r != DISK_CANCELLED) IoFailure_RecordRead(offset, length);
    return r;
}

static int DispatchRead(const DiskHandle* handle, uint64_t offset, uint32_t length, void* buffer)
{
    if (handle == nullptr || handle->object == nullptr) return DISK_ERR_ARG;
    DiskKind kind = handle->kind;
    if (IsTableKind(kind)) {
        if (DiskReadTable[kind] == nullptr) return DISK_ERR_ARG;
        return DiskReadTable[kind](handle->object, offset, length, buffer);
    }
    switch (kind) {
    case DISK_KIND_RAW:
        return RawImage_Read(static_cast<RawImage*>(handle->object), offset, length, buffer);
    case DISK_KIND_OVERLAY:
        return Overlay_Read(static_cast<OverlayDisk*>(handle->object), offset, length, buffer);
    case DISK_KIND_RESIZE:
        return ResizeDisk_Read(static_cast<ResizeView*>(handle->object), offset, length, buffer);
    case DISK_KIND_ZERO:
        return ZeroDisk_Read(static_cast<DiskGeometry*>(handle->object), offset, length, buffer);
    case DISK_KIND_DEVICE:
        return DeviceDisk_Read(static_cast<DeviceDisk*>(handle->object), offset, length, buffer);
    case DISK_KIND_PLUGIN:
        return PluginDisk_Read(static_cast<PluginDisk*>(handle->object), offset, length, buffer);
    case DISK_KIND_SPLIT:
        return SplitDisk_Read(handle->object, offset, length, buffer);
    default:
        return DISK_ERR_ARG;
    }
}

int Disk_IsRangeEmpty(const DiskHandle* handle, UsedSectorMap* map, uint64_t first, uint32_t count,
                      bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    if (handle == nullptr || handle->object == nullptr || empty == nullptr) return DISK_ERR_ARG;
    DiskKind kind = handle->kind;
    if (IsTableKind(kind)) {
        if (kind == static_cast<DiskKind>(DISK_KIND_NONE)) return DISK_ERR_ARG;
        if (DiskRangeEmptyTable[kind] == nullptr) {
            *empty = false;
            return DISK_OK;
        }
        return DiskRangeEmptyTable[kind](handle->object, map, first, count, empty, adapter, record);
    }
    switch (kind) {
    case DISK_KIND_RAW:
        return RawImage_IsRangeEmpty(static_cast<RawImage*>(handle->object), map, first, count,
                                     empty, adapter, record);
    case DISK_KIND_OVERLAY:  // reads the range and tests it, so that an overlay can be converted
        return Overlay_IsRangeEmpty(static_cast<OverlayDisk*>(handle->object), map, first, count,
                                    empty, adapter, record);
    case DISK_KIND_RESIZE:
        return ResizeDisk_IsRangeEmpty(static_cast<ResizeView*>(handle->object), map, first, count,
                                       empty, adapter, record);
    case DISK_KIND_ZERO:
        return ZeroDisk_IsRangeEmpty(static_cast<DiskGeometry*>(handle->object), map, first, count,
                                     empty, adapter, record);
    case DISK_KIND_DEVICE:
        return DeviceDisk_IsRangeEmpty(static_cast<DeviceDisk*>(handle->object), map, first, count,
                                       empty, adapter, record);
    case DISK_KIND_PLUGIN:
        return PluginDisk_IsRangeEmpty(static_cast<PluginDisk*>(handle->object), map, first, count,
                                       empty, adapter, record);
    case DISK_KIND_SPLIT:
        return SplitDisk_IsRangeEmpty(handle->object, map, first, count, empty, adapter, record);
    default:
        return DISK_ERR_ARG;
    }
}

bool Disk_CanCompact(const DiskHandle* handle)
{
    if (handle == nullptr || handle->object == nullptr || !IsTableKind(handle->kind)) return false;
    DiskCanCompactFn fn = DiskCanCompactTable[handle->kind];
    return fn != nullptr && fn(handle->object);
}

bool Disk_HasParent(const DiskHandle* handle)
{
    if (handle == nullptr || handle->object == nullptr || !IsTableKind(handle->kind)) return false;
    DiskHasParentFn fn = DiskHasParentTable[handle->kind];
    return fn != nullptr && fn(handle->object);
}

int Disk_IsRangeUnallocated(const DiskHandle* handle, UsedSectorMap* map, uint64_t first,
                            uint32_t count, bool* out)
{
    if (handle == nullptr || out == nullptr) return DISK_ERR_ARG;
    if (static_cast<uint32_t>(handle->kind) > static_cast<uint32_t>(DISK_KIND_UNZ))
        return DISK_ERR_ARG;
    if (handle->object == nullptr) return DISK_ERR_ARG;
    DiskRangeUnallocatedFn fn = DiskRangeUnallocatedTable[handle->kind];
    if (fn == nullptr) {
        *out = false;
        return DISK_OK;
    }
    return fn(handle->object, map, first, count, out);
}

int Disk_IsRangeKnownZero(const DiskHandle* handle, uint64_t first, uint32_t count, bool* zero)
{
    if (handle == nullptr || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (handle->object == nullptr) return DISK_ERR_ARG;
    if (count == 0) return DISK_OK;
    // Files that source raw sectors answer with their holes.
    switch (handle->kind) {
    case DISK_KIND_ZERO:
        *zero = true;
        return DISK_OK;
    case DISK_KIND_RAW:
        return RawImage_IsRangeKnownZero(static_cast<RawImage*>(handle->object), first, count,
                                         zero);
    case DISK_KIND_DEVICE:
        return DeviceDisk_IsRangeKnownZero(static_cast<DeviceDisk*>(handle->object), first, count,
                                           zero);
    case DISK_KIND_SPLIT:
        return SplitDisk_IsRangeKnownZero(handle->object, first, count, zero);
    case DISK_KIND_RESIZE:
        return ResizeDisk_IsRangeKnownZero(static_cast<ResizeView*>(handle->object), first, count,
                                           zero);
    case DISK_KIND_HDI:
    case DISK_KIND_THD:
    case DISK_KIND_NHD:
    case DISK_KIND_VHD100:
    case DISK_KIND_PC98E:
    case DISK_KIND_HDIM:
    case DISK_KIND_UNZ:
        return Emulator_IsRangeKnownZero(handle->kind, handle->object, first, count, zero);
    default:
        break;
    }
    if (!IsTableKind(handle->kind) || Disk_HasParent(handle)) return DISK_OK;
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(handle, &g);
    if (!Geometry_IsSectorRangeInside(first, count, &g)) return DISK_ERR_ARG;
    // A layer that cannot answer for this range (a flat extent, say) only means "not known".
    if (Disk_IsRangeUnallocated(handle, nullptr, first, count, zero) != DISK_OK) *zero = false;
    return DISK_OK;
}

static bool RangeProgressAdapterFn(uint64_t done, RangeProgressRecord* record)
{
    if (record == nullptr || record->callback == nullptr) return true;
    return record->callback(done + record->base + record->offset, record->total, record->user);
}

RangeProgressAdapter Disk_GetRangeProgressAdapter() { return RangeProgressAdapterFn; }
