// A file-system driver attached to a region of a disk for the length of a test: the attach
// result in rc, the driver's volume record while it is attached, destroyed at the end.
#pragma once

#include <cstdint>

#include "foundation/platform.h"
#include "volume/used_map.h"

template <typename Volume, int (*Attach)(VolumeRegion*, const DiskHandle*, uint64_t, uint64_t),
          void (*Destroy)(void*)>
struct AttachedVolume {
    VolumeRegion region;
    int rc;
    AttachedVolume(const DiskHandle* disk, uint64_t first, uint64_t count)
    {
        VolumeRegion_Init(&region);
        rc = Attach(&region, disk, first, count);
    }
    ~AttachedVolume()
    {
        if (rc == DISK_OK) {
            Destroy(region.object);
            Mem_Free(region.object);
        }
    }
    AttachedVolume(const AttachedVolume&) = delete;
    AttachedVolume& operator=(const AttachedVolume&) = delete;
    Volume* volume() const { return static_cast<Volume*>(region.object); }
};
