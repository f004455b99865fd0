// The emulator image headers (HDI, THD, NHD, VHD1.00, PC98E, HDIM, UNZ) and the fixed VHD
// footer: each kind's own open over the same bytes, then reads of the first, a middle and the
// last sector and the whole disk up to 64 MiB of the kind chosen by the input's last byte.
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "formats/vhd/vhd_fixed.h"
#include "foundation/platform.h"
#include "fuzz/fuzz_support.h"

namespace {
typedef int (*OpenFn)(DiskHandle*, const char*, bool);
const OpenFn kOpens[] = {Disk_OpenHdi,   Disk_OpenThd,  Disk_OpenNhd, Disk_OpenVhd100,
                         Disk_OpenPc98e, Disk_OpenHdim, Disk_OpenUnz, Disk_OpenVhdFixed};
const char* const kNames[] = {"in.hdi", "in.thd", "in.nhd", "in.hdd",
                              "in.img", "in.slh", "in.h0",  "in.vhd"};
const size_t kCount = sizeof kOpens / sizeof kOpens[0];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    const size_t chosen = fuzz::Selector(data, size) % kCount;
    for (size_t i = 0; i < kCount; ++i) {
        std::string path = fuzz::WriteInput(kNames[i], data, size);
        DiskHandle disk;
        Disk_Init(&disk);
        if (kOpens[i](&disk, path.c_str(), true) == DISK_OK) {
            DiskGeometry g{};
            Disk_GetGeometry(&disk, &g);
            const uint64_t total = Geometry_GetTotalSectors(&g);
            FUZZ_CHECK(g.bytes_per_sector != 0 || total == 0);
            if (total != 0 && g.bytes_per_sector <= 4096) {
                uint8_t sector[4096];
                const uint64_t at[] = {0, total / 2, total - 1};
                for (uint64_t s : at)
                    Disk_Read(&disk, s * g.bytes_per_sector, g.bytes_per_sector, sector);
                // One read past the end must fail.
                uint64_t end = 0;
                if (Math_MulU64(total, g.bytes_per_sector, &end))
                    FUZZ_CHECK(Disk_Read(&disk, end, g.bytes_per_sector, sector) != DISK_OK);
            }
            if (i == chosen) {
                fuzz::ReadDisk(&disk, nullptr);
                fuzz::QueryRanges(&disk, nullptr);
            }
        }
        Disk_Close(&disk);
    }
    fuzz::ClearDir();
    return 0;
}
