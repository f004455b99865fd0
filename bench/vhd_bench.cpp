// Writes a raw disk as a dynamic VHD the way the conversion run does: the used-sector map of
// the disk is built first, then the dynamic writer leaves out free space (unread) and zero
// blocks. Driven by vhd_bench.sh, which times it against qemu-img.
//
//   vhd_bench RAW OUTPUT [--no-map]
//
// Uses the destination page's defaults (creator "win ", 2 MiB blocks, no padding). Prints the
// map build time and the write time on one line; exits with the writer's result.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vhd/vhd_writer.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const bool noMap = argc == 4 && std::strcmp(argv[3], "--no-map") == 0;
    if (argc != 3 && !noMap) {
        std::fprintf(stderr, "usage: vhd_bench RAW OUTPUT [--no-map]\n");
        return 2;
    }
    uint64_t size = 0;
    if (!File_GetSizeByPath(argv[1], &size) || size < 512 || size / 512 > 0xFFFFFFFFull) {
        std::fprintf(stderr, "%s: no disk of 1 to 2^32 - 1 sectors\n", argv[1]);
        return 2;
    }
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Vhd_ComputeGeometry(size / 512 * 512, &g);
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenRaw(&disk, argv[1], true, 0, &g);
    if (r != DISK_OK) {
        std::fprintf(stderr, "open: %d\n", r);
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    uint32_t known = 0;
    UsedSectorMap* map = noMap ? nullptr : UsedMap_Create(&disk, &r, &known);
    const double mapSeconds = Seconds(start);

    const VhdCreateOptions options = {VHD_CODE_WIN, 0x00060001, 0, 4096, 0, 0};
    start = std::chrono::steady_clock::now();
    r = Vhd_Create(argv[2], &disk, map, nullptr, nullptr, &options, 0);
    const double writeSeconds = Seconds(start);
    std::printf("map %.3f s (%u volumes known), write %.3f s, result %d\n", mapSeconds, known,
                writeSeconds, r);

    if (map != nullptr) {
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    Disk_Close(&disk);
    return r == DISK_OK ? 0 : 1;
}
