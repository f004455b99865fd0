// Disk handles, the kind tables and the dispatch of the disk operations.
#include "disk/disk.h"

#include "disk/builtin_disks.h"
#include "disk/plugin.h"
#include "disk/emulator_images.h"
#include "disk/raw_image.h"
#include "disk/split_disk.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vmdk/vmdk.h"
#include "foundation/io_failure.h"
#include "foundation/platform.h"

// ---- Operation tables -----------------------------------------------------------
// One slot per kind 0..23. Format kinds 0..14 get their entries when their handlers exist;
// slots 15 and 23 stay NULL for good.

DiskOpenFn DiskOpenTable[DISK_TABLE_SLOTS] = {
    Disk_OpenVmdk,  // 0 VMDK
    Disk_OpenCowdV3,  // 1 COWD3
    Disk_OpenCowdV3Child,  // 2 COWD3 child
    Disk_OpenCowdV1,  // 3 COWD1
    Disk_OpenCowdV1Child,  // 4 COWD1 child
    Disk_OpenVhdx,  // 5 VHDX
    Disk_OpenVhd,  // 6 VHD
    Disk_OpenVhdFixed,  // 7 fixed VHD
    Disk_OpenParallels,  // 8 Parallels
    Disk_OpenParallelsBundle,  // 9 Parallels bundle
    Disk_OpenBochs,  // 10 Bochs redolog
    Disk_OpenBochsSparse,  // 11 Bochs sparse
    Disk_OpenQcow,  // 12 qcow
    Disk_OpenQcow2,  // 13 qcow2
    Disk_OpenVdi,  // 14 VDI
    nullptr,  // 15 unused
    Disk_OpenHdi,  // 16 HDI
    Disk_OpenThd,  // 17 THD
    Disk_OpenNhd,  // 18 NHD
    Disk_OpenVhd100,  // 19 VHD1.00
    Disk_OpenPc98e,  // 20 PC98E
    Disk_OpenHdim,  // 21 HDIM
    Disk_OpenUnz,  // 22 UNZ
    nullptr,  // 23 none
};

DiskCloseFn DiskCloseTable[DISK_TABLE_SLOTS] = {
    Vmdk_Close,  // 0 VMDK
    Cowd_Close,  // 1 COWD3
    Cowd_Close,  // 2 COWD3 child
    Cowd_Close,  // 3 COWD1
    Cowd_Close,  // 4 COWD1 child
    Vhdx_Close,  // 5 VHDX
    Vhd_Close,  // 6 VHD
    VhdFixed_Close,  // 7 fixed VHD
    Parallels_Close,  // 8 Parallels
    ParallelsBundle_Close,  // 9 Parallels bundle
    Bochs_Close,  // 10 Bochs redolog
    BochsSparse_Close,  // 11 Bochs sparse
    Qcow_Close,  // 12 qcow
    Qcow2_Close,  // 13 qcow2
    Vdi_Close,  // 14 VDI
    nullptr,  // 15 unused
    Hdi_Close,  // 16 HDI
    Thd_Close,  // 17 THD
    Nhd_Close,  // 18 NHD
    Vhd100_Close,  // 19 VHD1.00
    Pc98e_Close,  // 20 PC98E
    Hdim_Close,  // 21 HDIM
    Unz_Close,  // 22 UNZ
    nullptr,  // 23 none
};

DiskGeometryFn DiskGeometryTable[DISK_TABLE_SLOTS] = {
    Vmdk_GetGeometry,  // 0 VMDK
    Cowd_GetGeometry,  // 1 COWD3
    Cowd_GetGeometry,  // 2 COWD3 child
    Cowd_GetGeometry,  // 3 COWD1
    Cowd_GetGeometry,  // 4 COWD1 child
    Vhdx_GetGeometry,  // 5 VHDX
    Vhd_GetGeometry,  // 6 VHD
    VhdFixed_GetGeometry,  // 7 fixed VHD
    Parallels_GetGeometry,  // 8 Parallels
    ParallelsBundle_GetGeometry,  // 9 Parallels bundle
    Bochs_GetGeometry,  // 10 Bochs redolog
    BochsSparse_GetGeometry,  // 11 Bochs sparse
    Qcow_GetGeometry,  // 12 qcow
    Qcow2_GetGeometry,  // 13 qcow2
    Vdi_GetGeometry,  // 14 VDI
    nullptr,  // 15 unused
    Hdi_GetGeometry,  // 16 HDI
    Thd_GetGeometry,  // 17 THD
    Nhd_GetGeometry,  // 18 NHD
    Vhd100_GetGeometry,  // 19 VHD1.00
    Pc98e_GetGeometry,  // 20 PC98E
    Hdim_GetGeometry,  // 21 HDIM
    Unz_GetGeometry,  // 22 UNZ
    nullptr,  // 23 none
};

DiskReadFn DiskReadTable[DISK_TABLE_SLOTS] = {
    Vmdk_Read,  // 0 VMDK
    Cowd_ReadV3,  // 1 COWD3
    Cowd_ReadV3Child,  // 2 COWD3 child
    Cowd_ReadV1,  // 3 COWD1
    Cowd_ReadV1Child,  // 4 COWD1 child
    Vhdx_Read,  // 5 VHDX
    Vhd_Read,  // 6 VHD
    VhdFixed_Read,  // 7 fixed VHD
    Parallels_Read,  // 8 Parallels
    ParallelsBundle_Read,  // 9 Parallels bundle
    Bochs_Read,  // 10 Bochs redolog
    BochsSparse_Read,  // 11 Bochs sparse
    Qcow_Read,  // 12 qcow
    Qcow2_Read,  // 13 qcow2
    Vdi_Read,  // 14 VDI
    nullptr,  // 15 unused
    Hdi_Read,  // 16 HDI
    Thd_Read,  // 17 THD
    Nhd_Read,  // 18 NHD
    Vhd100_Read,  // 19 VHD1.00
    Pc98e_Read,  // 20 PC98E
    Hdim_Read,  // 21 HDIM
    Unz_Read,  // 22 UNZ
    nullptr,  // 23 none
};

DiskRangeEmptyFn DiskRangeEmptyTable[DISK_TABLE_SLOTS] = {
    Vmdk_IsRangeEmpty,  // 0 VMDK
    Cowd_IsRangeEmptyV3,  // 1 COWD3
    Cowd_IsRangeEmptyV3Child,  // 2 COWD3 child
    Cowd_IsRangeEmptyV1,  // 3 COWD1
    Cowd_IsRangeEmptyV1Child,  // 4 COWD1 child
    Vhdx_IsRangeEmpty,  // 5 VHDX
    Vhd_IsRangeEmpty,  // 6 VHD
    VhdFixed_IsRangeEmpty,  // 7 fixed VHD
    Parallels_IsRangeEmpty,  // 8 Parallels
    ParallelsBundle_IsRangeEmpty,  // 9 Parallels bundle
    Bochs_IsRangeEmpty,  // 10 Bochs redolog
    BochsSparse_IsRangeEmpty,  // 11 Bochs sparse
    Qcow_IsRangeEmpty,  // 12 qcow
    Qcow2_IsRangeEmpty,  // 13 qcow2
    Vdi_IsRangeEmpty,  // 14 VDI
    nullptr,  // 15 unused
    Hdi_IsRangeEmpty,  // 16 HDI
    Thd_IsRangeEmpty,  // 17 THD
    Nhd_IsRangeEmpty,  // 18 NHD
    Vhd100_IsRangeEmpty,  // 19 VHD1.00
    Pc98e_IsRangeEmpty,  // 20 PC98E
    Hdim_IsRangeEmpty,  // 21 HDIM
    Unz_IsRangeEmpty,  // 22 UNZ
    nullptr,  // 23 none
};

// Filled for kinds 0, 5, 6, 8, 9, 13 and 14.
DiskCanCompactFn DiskCanCompactTable[DISK_TABLE_SLOTS] = {
    Vmdk_CanCompact, nullptr, nullptr, nullptr, nullptr, Vhdx_CanCompact, Vhd_CanCompact, nullptr,
    Parallels_CanCompact, ParallelsBundle_CanCompact, nullptr, nullptr, nullptr, Qcow2_CanCompact,
    Vdi_CanCompact};
// Filled for kinds 0, 5, 6, 9, 13 and 14.
DiskHasParentFn DiskHasParentTable[DISK_TABLE_SLOTS] = {
    Vmdk_HasParent, nullptr, nullptr, nullptr, nullptr, Vhdx_HasParent, Vhd_HasParent, nullptr,
    nullptr, ParallelsBundle_HasParent, nullptr, nullptr, nullptr, Qcow2_HasParent, Vdi_HasParent};
// Filled for kinds 0, 5, 6, 9, 13 and 14.
DiskRangeUnallocatedFn DiskRangeUnallocatedTable[DISK_TABLE_SLOTS] = {
    Vmdk_IsRangeUnallocated, nullptr, nullptr, nullptr, nullptr, Vhdx_IsRangeUnallocated,
    Vhd_IsRangeUnallocated, nullptr, nullptr, ParallelsBundle_IsRangeUnallocated, nullptr, nullptr,
    nullptr, Qcow2_IsRangeUnallocated, Vdi_IsRangeUnallocated};

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

DiskHandle* Disk_Alloc()
{
    return static_cast<DiskHandle*>(Mem_Alloc(sizeof(DiskHandle)));
}

void Disk_Init(DiskHandle* handle)
{
    handle->kind = DISK_KIND_NONE;
    handle->object = nullptr;
}

DiskKind Disk_GetKind(const DiskHandle* handle)
{
    return handle->kind;
}

void* Disk_GetObject(const DiskHandle* handle)
{
    return handle->object;
}

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
            case DISK_KIND_ZERO:     // a zero disk holds nothing but its geometry
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
        return ResizeDisk_IsRangeEmpty(static_cast<ResizeView*>(handle->object), map, first,
                                       count, empty, adapter, record);
    case DISK_KIND_ZERO:
        return ZeroDisk_IsRangeEmpty(static_cast<DiskGeometry*>(handle->object), map, first,
                                     count, empty, adapter, record);
    case DISK_KIND_DEVICE:
        return DeviceDisk_IsRangeEmpty(static_cast<DeviceDisk*>(handle->object), map, first,
                                       count, empty, adapter, record);
    case DISK_KIND_PLUGIN:
        return PluginDisk_IsRangeEmpty(static_cast<PluginDisk*>(handle->object), map, first,
                                       count, empty, adapter, record);
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
    case DISK_KIND_VHD_FIXED:
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
    return Disk_IsRangeUnallocated(handle, nullptr, first, count, zero);
}

static bool RangeProgressAdapterFn(uint64_t done, RangeProgressRecord* record)
{
    if (record == nullptr || record->callback == nullptr) return true;
    return record->callback(done + record->base + record->offset, record->total, record->user);
}

RangeProgressAdapter Disk_GetRangeProgressAdapter()
{
    return RangeProgressAdapterFn;
}
