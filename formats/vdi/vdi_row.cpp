// The VDI row.
#include "formats/format_rows.h"
#include "formats/vdi/vdi.h"
#include "foundation/platform.h"

namespace {

// The signature after the banner.
bool CarriesVdiMark(const DiskFileMarks* m)
{
    return m->length >= 68 && Bytes_LoadLe32(m->head + 64) == 0xBEDA107Fu;
}

}  // namespace

const DiskFormatRow VdiRow = {
    DISK_KIND_VDI,
    "VDI",
    Disk_OpenVdi,
    DiskOpenWithoutParent<Disk_OpenVdiWithHandler>,
    Vdi_Close,
    Vdi_GetGeometry,
    Vdi_Read,
    Vdi_IsRangeEmpty,
    Vdi_CanCompact,
    Vdi_HasParent,
    Vdi_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVdiMark,
    {"vdi"},
};
