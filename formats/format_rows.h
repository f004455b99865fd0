// The rows of the format handlers, one per kind; each is defined beside its format's code.
#pragma once

#include "disk/format_registry.h"

extern const DiskFormatRow VmdkRow;
extern const DiskFormatRow CowdV3Row;
extern const DiskFormatRow CowdV3ChildRow;
extern const DiskFormatRow CowdV1Row;
extern const DiskFormatRow CowdV1ChildRow;
extern const DiskFormatRow VhdxRow;
extern const DiskFormatRow VhdRow;
extern const DiskFormatRow VhdFixedRow;
extern const DiskFormatRow ParallelsRow;
extern const DiskFormatRow ParallelsBundleRow;
extern const DiskFormatRow BochsRedologRow;
extern const DiskFormatRow BochsSparseRow;
extern const DiskFormatRow QcowRow;
extern const DiskFormatRow Qcow2Row;
extern const DiskFormatRow VdiRow;
