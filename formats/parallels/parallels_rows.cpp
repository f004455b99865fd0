// The rows of the Parallels single image file and of the Parallels bundle.
#include "formats/format_rows.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"

namespace {

// Either layout's signature.
bool CarriesParallelsMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "WithoutFreeSpace", 16) ||
           DiskMarks_StartsWith(m->head, m->length, "WithouFreSpacExt", 16);
}

bool CarriesBundleMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "<Parallels_disk_image", 21);
}

}  // namespace

const DiskFormatRow ParallelsRow = {
    DISK_KIND_PARALLELS,
    "Parallels",
    Disk_OpenParallels,
    Disk_OpenParallelsWithHandler,
    Parallels_Close,
    Parallels_GetGeometry,
    Parallels_Read,
    Parallels_IsRangeEmpty,
    Parallels_CanCompact,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesParallelsMark,
    {"hdd"},
};

// The bundle is named by its directory or by its descriptor file.
const DiskFormatRow ParallelsBundleRow = {
    DISK_KIND_PARALLELS_BUNDLE,
    "Parallels bundle",
    Disk_OpenParallelsBundle,
    Disk_OpenParallelsBundleWithHandler,
    ParallelsBundle_Close,
    ParallelsBundle_GetGeometry,
    ParallelsBundle_Read,
    ParallelsBundle_IsRangeEmpty,
    ParallelsBundle_CanCompact,
    ParallelsBundle_HasParent,
    ParallelsBundle_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ true,
    CarriesBundleMark,
    {"hdd"},
};
