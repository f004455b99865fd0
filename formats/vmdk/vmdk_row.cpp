// The VMDK row: a descriptor with its extents and parent chain.
#include "formats/format_rows.h"
#include "formats/vmdk/vmdk.h"

namespace {

// A sparse extent's header, or a text descriptor.
bool CarriesVmdkMark(const DiskFileMarks* m)
{
    return DiskMarks_StartsWith(m->head, m->length, "KDMV", 4) ||
           DiskMarks_StartsWith(m->head, m->length, "# Disk DescriptorFile", 21);
}

}  // namespace

const DiskFormatRow VmdkRow = {
    DISK_KIND_VMDK,
    "VMDK",
    Disk_OpenVmdk,
    Disk_OpenVmdkWithHandler,
    Vmdk_Close,
    Vmdk_GetGeometry,
    Vmdk_Read,
    Vmdk_IsRangeEmpty,
    Vmdk_CanCompact,
    Vmdk_HasParent,
    Vmdk_IsRangeUnallocated,
    /*probed*/ true,
    /*keyed*/ false,
    /*directories*/ false,
    CarriesVmdkMark,
    {"vmdk"},
};
