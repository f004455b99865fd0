// The rows of the dynamic or differencing VHD and of the fixed VHD.
#include <cstring>

#include "formats/format_rows.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_fixed.h"
#include "foundation/platform.h"

namespace {

// A footer ("conectix", disk type at byte 60) at `at` of a buffer of `length` bytes.
bool FooterAt(const uint8_t* bytes, uint32_t length, uint32_t at, bool fixed)
{
    if (length < at || length - at < 64 || memcmp(bytes + at, "conectix", 8) != 0) return false;
    const uint32_t type = Bytes_LoadBe32(bytes + at + 60);
    return fixed ? type == VHD_DISK_TYPE_FIXED
                 : (type == VHD_DISK_TYPE_DYNAMIC || type == VHD_DISK_TYPE_DIFFERENCING);
}

// The footer at the end of the file: 512 bytes, or 511 when the last byte is missing.
bool EndFooter(const DiskFileMarks* m, bool fixed)
{
    return FooterAt(m->tail, m->length, 0, fixed) ||
           (m->length == DISK_MARK_BYTES && FooterAt(m->tail, m->length, 1, fixed));
}

// The footer copy at the start, or the footer at the end.
bool CarriesVhdMark(const DiskFileMarks* m)
{
    return FooterAt(m->head, m->length, 0, false) || EndFooter(m, false);
}

bool CarriesVhdFixedMark(const DiskFileMarks* m) { return EndFooter(m, true); }

}  // namespace

const DiskFormatRow VhdRow = {
    DISK_KIND_VHD,
    "VHD",
    Disk_OpenVhd,
    Disk_OpenVhdWithHandler,
    Vhd_Close,
    Vhd_GetGeometry,
    Vhd_Read,
    Vhd_IsRangeEmpty,
    Vhd_CanCompact,
    Vhd_HasParent,
    Vhd_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVhdMark,
    {"vhd"},
};

const DiskFormatRow VhdFixedRow = {
    DISK_KIND_VHD_FIXED,
    "fixed VHD",
    Disk_OpenVhdFixed,
    DiskOpenWithoutParent<Disk_OpenVhdFixedWithHandler>,
    VhdFixed_Close,
    VhdFixed_GetGeometry,
    VhdFixed_Read,
    VhdFixed_IsRangeEmpty,
    nullptr,
    nullptr,
    VhdFixed_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVhdFixedMark,
    {"vhd"},
};
