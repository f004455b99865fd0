// The qcow2 row.
#include "formats/format_rows.h"
#include "formats/qcow2/qcow2.h"

namespace {

// "QFI\xfb", version 2 or 3.
bool CarriesQcow2Mark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "QFI\xfb\0\0\0\x02", 8) ||
           DiskMarks_StartsWith(m->head, m->length, "QFI\xfb\0\0\0\x03", 8);
}

}  // namespace

const DiskFormatRow Qcow2Row = {
    DISK_KIND_QCOW2,
    "qcow2",
    Disk_OpenQcow2,
    Disk_OpenQcow2WithHandler,
    Qcow2_Close,
    Qcow2_GetGeometry,
    Qcow2_Read,
    Qcow2_IsRangeEmpty,
    Qcow2_CanCompact,
    Qcow2_HasParent,
    Qcow2_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ true,
    /*directories*/ false,
    CarriesQcow2Mark,
    {"qcow2"},
};
