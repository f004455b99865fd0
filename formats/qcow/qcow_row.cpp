// The qcow row.
#include "formats/format_rows.h"
#include "formats/qcow/qcow.h"

namespace {

// "QFI\xfb", version 1.
bool CarriesQcowMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "QFI\xfb\0\0\0\x01", 8);
}

}  // namespace

const DiskFormatRow QcowRow = {
    DISK_KIND_QCOW,
    "qcow",
    Disk_OpenQcow,
    Disk_OpenQcowWithHandler,
    Qcow_Close,
    Qcow_GetGeometry,
    Qcow_Read,
    Qcow_IsRangeEmpty,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ true,
    /*directories*/ false,
    CarriesQcowMark,
    {"qcow"},
};
