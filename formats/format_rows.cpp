// The list of every disk kind that opens a file, in probe order. Probing tries the kinds in this
// order (a row marked not probed only through its extensions), and the kinds that claim one
// extension are tried first, in this order too.
#include "formats/format_rows.h"

#include "disk/disk_rows.h"

namespace {

const DiskFormatRow* const kRows[] = {
    &VmdkRow,         &VhdxRow,        &VhdRow,
    &VhdFixedRow,     &ParallelsRow,   &ParallelsBundleRow,
    &BochsRedologRow, &BochsSparseRow, &QcowRow,
    &Qcow2Row,        &VdiRow,         &NdiRow,
    &CowdV3Row,       &CowdV3ChildRow, &CowdV1Row,
    &CowdV1ChildRow,  &HdiRow,         &ThdRow,
    &NhdRow,          &Vhd100Row,      &HdimRow,
    &Pc98eRow,        &OverlayRow,
    &UnzRow,  // not probed: its files carry no header at all
};

}  // namespace

const DiskFormatRow* const* DiskFormatRows_List(uint32_t* count)
{
    if (count != nullptr) *count = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}
