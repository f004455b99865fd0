// The rows of the COWD base and child disks, versions 3 and 1.
#include <cstring>

#include "formats/cowd/cowd.h"
#include "formats/format_rows.h"
#include "foundation/platform.h"

namespace {

// "COWD" and the version. Base and child files share the signature; the base kind, probed
// first, claims it for both.
template <uint32_t Version>
bool CarriesCowdMark(const DiskFileMarks* m)
{
    return m->length >= 8 && memcmp(m->head, "COWD", 4) == 0 &&
           Bytes_LoadLe32(m->head + 4) == Version;
}

}  // namespace

const DiskFormatRow CowdV3Row = {
    DISK_KIND_COWD3,
    "COWD3",
    Disk_OpenCowdV3,
    DiskOpenWithoutParent<Disk_OpenCowdV3WithHandler>,
    Cowd_Close,
    Cowd_GetGeometry,
    Cowd_ReadV3,
    Cowd_IsRangeEmptyV3,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesCowdMark<3>,
    {"vmdk"},
};

const DiskFormatRow CowdV3ChildRow = {
    DISK_KIND_COWD3_CHILD,
    "COWD3 child",
    Disk_OpenCowdV3Child,
    DiskOpenWithoutParent<Disk_OpenCowdV3ChildWithHandler>,
    Cowd_Close,
    Cowd_GetGeometry,
    Cowd_ReadV3Child,
    Cowd_IsRangeEmptyV3Child,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {"vmdk"},
};

const DiskFormatRow CowdV1Row = {
    DISK_KIND_COWD1,
    "COWD1",
    Disk_OpenCowdV1,
    DiskOpenWithoutParent<Disk_OpenCowdV1WithHandler>,
    Cowd_Close,
    Cowd_GetGeometry,
    Cowd_ReadV1,
    Cowd_IsRangeEmptyV1,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesCowdMark<1>,
    {"dsk"},
};

const DiskFormatRow CowdV1ChildRow = {
    DISK_KIND_COWD1_CHILD,
    "COWD1 child",
    Disk_OpenCowdV1Child,
    DiskOpenWithoutParent<Disk_OpenCowdV1ChildWithHandler>,
    Cowd_Close,
    Cowd_GetGeometry,
    Cowd_ReadV1Child,
    Cowd_IsRangeEmptyV1Child,
    nullptr,
    nullptr,
    nullptr,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    nullptr,
    {"dsk"},
};
