// LVM2 physical volumes: one partition-list entry per usable logical volume.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "volume/partition.h"

// Appends one PartitionEntry per plain logical volume of the physical volume starting at
// pvSector (the disk's own sectors), counting only when entries is NULL, and stopping when the
// count reaches the maximum. Logical volumes are not read yet: nothing is appended and the
// physical volume counts as used space.
int Lvm2_ReadVolumes(const DiskHandle* disk, uint64_t pvSector, uint32_t maximum,
                     uint32_t* count, PartitionEntry* entries);
