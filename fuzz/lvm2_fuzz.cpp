// Fuzz target: the LVM2 reader and the used-sector map over a disk made from the input.
//
// With bit 7 of byte 0 set, the rest of the input is metadata text for the parser alone.
// Otherwise the input makes a disk (see piece_disk.h): the physical volume is read at sector 0
// (both passes), then the map is built from the disk as the conversion would build it (an MBR
// entry of type 0x8E leads to the reader too).
#include <cstdint>
#include <vector>

#include "fuzz/piece_disk.h"
#include "foundation/text.h"
#include "volume/lvm2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0 && (data[0] & 0x80) != 0) {
        static Lvm2Metadata* md = static_cast<Lvm2Metadata*>(Mem_Alloc(sizeof(Lvm2Metadata)));
        TextView text{data + 1, static_cast<uint32_t>(size - 1)};
        Lvm2_ParseMetadata(text, md);
        return 0;
    }
    DiskHandle disk;
    uint64_t total = 0;
    if (!piecedisk::Open(data, size, "lvm2_fuzz", &disk, &total)) {
        return 0;
    }
    uint32_t count = 0;
    if (Lvm2_ReadVolumes(&disk, 0, 256, &count, nullptr) == DISK_OK && count > 0) {
        std::vector<PartitionEntry> entries(count);
        uint32_t filled = 0;
        Lvm2_ReadVolumes(&disk, 0, count, &filled, entries.data());
        if (filled != count) {
            __builtin_trap();  // the fill pass must agree with the count pass
        }
    }

    piecedisk::MapAndClose(&disk, total);
    return 0;
}
