// The probing open of a file of any kind (its extension chosen by the input's last byte), a
// read of the whole virtual disk (up to 64 MiB) and the empty-range queries.
#include "disk/disk_open.h"
#include "fuzz/fuzz_support.h"

static const char* const kExtensions[] = {"vmdk", "vhd", "hdi", "thd", "nhd", "hdd",
                                          "slh",  "h0",  "img", "dsk", "qcow2", "vdi"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    const uint8_t sel = fuzz::Selector(data, size);
    const char* ext = kExtensions[sel % (sizeof kExtensions / sizeof kExtensions[0])];
    std::string path = fuzz::WriteInput(std::string("in.") + ext, data, size);
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_Open(&disk, path.c_str(), true) == DISK_OK) {
        fuzz::ReadDisk(&disk, nullptr);
        fuzz::QueryRanges(&disk, nullptr);
    }
    Disk_Close(&disk);
    fuzz::ClearDir();
    return 0;
}
