// The rows of the Bochs redolog and of the Bochs sparse image.
#include <cstring>

#include "formats/bochs/bochs.h"
#include "formats/format_rows.h"
#include "foundation/platform.h"

namespace {

bool CarriesRedologMark(const DiskFileMarks* m)
{
    return m->length >= 40 && memcmp(m->head, "Bochs Virtual HD Image", 23) == 0 &&
           memcmp(m->head + 32, "Redolog", 8) == 0;
}

bool CarriesSparseMark(const DiskFileMarks* m)
{
    return m->length >= 4 && Bytes_LoadLe32(m->head) == 0x02468ACEu;
}

}  // namespace

const DiskFormatRow BochsRedologRow = {
    DISK_KIND_BOCHS_REDOLOG,
    "Bochs redolog",
    Disk_OpenBochs,
    DiskOpenWithoutParent<Disk_OpenBochsWithHandler>,
    Bochs_Close,
    Bochs_GetGeometry,
    Bochs_Read,
    Bochs_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesRedologMark,
    {},
};

const DiskFormatRow BochsSparseRow = {
    DISK_KIND_BOCHS_SPARSE,
    "Bochs sparse",
    Disk_OpenBochsSparse,
    DiskOpenWithoutParent<Disk_OpenBochsSparseWithHandler>,
    BochsSparse_Close,
    BochsSparse_GetGeometry,
    BochsSparse_Read,
    BochsSparse_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesSparseMark,
    {},
};
