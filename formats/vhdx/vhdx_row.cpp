// The VHDX row.
#include "formats/format_rows.h"
#include "formats/vhdx/vhdx.h"

namespace {

bool CarriesVhdxMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "vhdxfile", 8);
}

}  // namespace

const DiskFormatRow VhdxRow = {
    DISK_KIND_VHDX,
    "VHDX",
    Disk_OpenVhdx,
    Disk_OpenVhdxWithHandler,
    Vhdx_Close,
    Vhdx_GetGeometry,
    Vhdx_Read,
    Vhdx_IsRangeEmpty,
    Vhdx_CanCompact,
    Vhdx_HasParent,
    Vhdx_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVhdxMark,
    {"vhdx", "avhdx"},
};
