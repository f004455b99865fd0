// The rows of the emulator images, the NDI descriptor image and the overlay.
#include "disk/disk_rows.h"

#include "disk/builtin_disks.h"
#include "disk/emulator_images.h"
#include "disk/raw_image.h"
#include "foundation/platform.h"

namespace {

bool CarriesNhdMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "T98HDDIMAGE.R0\0", 15);
}

bool CarriesVhd100Mark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "VHD1.00\0", 8);
}

bool CarriesHdimMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "HDIM", 4);
}

bool CarriesOverlayMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "NVT \0\0\0\0", 8);
}

// The NDI descriptor image, the raw kind's place in the probe order.
int OpenNdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                       bool readOnly, int, void*)
{
    RawImage* obj = RawImage_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    RawImage_Init(obj);
    int r = RawImage_OpenNdi(obj, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_RAW;
    handle->object = obj;
    return DISK_OK;
}

// The "NVT " overlay over its base image.
int OpenOverlayWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                           bool readOnly, int, void*)
{
    OverlayDisk* obj = Overlay_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    Overlay_Init(obj);
    int r = Overlay_OpenWithHandler(obj, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_OVERLAY;
    handle->object = obj;
    return DISK_OK;
}

}  // namespace

const DiskFormatRow HdiRow = {
    DISK_KIND_HDI,
    "HDI",
    Disk_OpenHdi,
    DiskOpenWithoutParent<Disk_OpenHdiWithHandler>,
    Hdi_Close,
    Hdi_GetGeometry,
    Hdi_Read,
    Hdi_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {"hdi"},
};

const DiskFormatRow ThdRow = {
    DISK_KIND_THD,
    "THD",
    Disk_OpenThd,
    DiskOpenWithoutParent<Disk_OpenThdWithHandler>,
    Thd_Close,
    Thd_GetGeometry,
    Thd_Read,
    Thd_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {"thd"},
};

const DiskFormatRow NhdRow = {
    DISK_KIND_NHD,
    "NHD",
    Disk_OpenNhd,
    DiskOpenWithoutParent<Disk_OpenNhdWithHandler>,
    Nhd_Close,
    Nhd_GetGeometry,
    Nhd_Read,
    Nhd_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesNhdMark,
    {"nhd"},
};

const DiskFormatRow Vhd100Row = {
    DISK_KIND_VHD100,
    "VHD1.00",
    Disk_OpenVhd100,
    DiskOpenWithoutParent<Disk_OpenVhd100WithHandler>,
    Vhd100_Close,
    Vhd100_GetGeometry,
    Vhd100_Read,
    Vhd100_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVhd100Mark,
    {"hdd"},
};

const DiskFormatRow Pc98eRow = {
    DISK_KIND_PC98E,
    "PC98E",
    Disk_OpenPc98e,
    DiskOpenWithoutParent<Disk_OpenPc98eWithHandler>,
    Pc98e_Close,
    Pc98e_GetGeometry,
    Pc98e_Read,
    Pc98e_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {},
};

const DiskFormatRow HdimRow = {
    DISK_KIND_HDIM,
    "HDIM",
    Disk_OpenHdim,
    DiskOpenWithoutParent<Disk_OpenHdimWithHandler>,
    Hdim_Close,
    Hdim_GetGeometry,
    Hdim_Read,
    Hdim_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesHdimMark,
    {"slh"},
};

// Any file of whole MiB would do: only its extensions name it.
const DiskFormatRow UnzRow = {
    DISK_KIND_UNZ,
    "UNZ",
    Disk_OpenUnz,
    DiskOpenWithoutParent<Disk_OpenUnzWithHandler>,
    Unz_Close,
    Unz_GetGeometry,
    Unz_Read,
    Unz_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ false,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {"h0", "h1", "h2", "h3", "h4"},
};

const DiskFormatRow NdiRow = {
    DISK_KIND_RAW,
    "NDI",
    nullptr,
    OpenNdiWithHandler,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {},
};

const DiskFormatRow OverlayRow = {
    DISK_KIND_OVERLAY,
    "overlay",
    nullptr,
    OpenOverlayWithHandler,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesOverlayMark,
    {},
};
