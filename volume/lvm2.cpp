#include "volume/lvm2.h"

int Lvm2_ReadVolumes(const DiskHandle* disk, uint64_t pvSector, uint32_t maximum,
                     uint32_t* count, PartitionEntry* entries)
{
    (void)disk;
    (void)pvSector;
    (void)maximum;
    (void)count;
    (void)entries;
    return DISK_OK;
}
