// Writes a raw disk as a VMDK image the way the conversion run does: the used-sector map of the
// disk is built first, then the creator writes one extent of the whole disk, leaving out free
// space and zero blocks. Driven by vmdk_bench.sh, which times it against qemu-img.
//
//   vmdk_bench RAW OUTPUT sparse|stream
//
// Prints the map build time and the write time on one line; exits with the creator's result.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[3], "sparse") != 0 && std::strcmp(argv[3], "stream") != 0)) {
        std::fprintf(stderr, "usage: vmdk_bench RAW OUTPUT sparse|stream\n");
        return 2;
    }
    const bool stream = std::strcmp(argv[3], "stream") == 0;
    uint64_t size = 0;
    if (!File_GetSizeByPath(argv[1], &size) || size < 512 || size / 512 > 0xFFFFFFFFull) {
        std::fprintf(stderr, "%s: no disk of 1 to 2^32 - 1 sectors\n", argv[1]);
        return 2;
    }
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Geometry_SetTotalSectors(&g, size / 512);
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = 512;
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenRaw(&disk, argv[1], true, 0, &g);
    if (r != DISK_OK) {
        std::fprintf(stderr, "open: %d\n", r);
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&disk, &r, &known);
    double mapSeconds = Seconds(start);

    VmdkCreateOptions* options = Vmdk_AllocCreateOptions(1);
    options->flat = VMDK_LAYOUT_SPARSE;
    options->compressedGrains = stream ? 1 : 0;
    options->streamOptimized = stream ? 1 : 0;
    options->adapter = VMDK_ADAPTER_IDE;
    options->hwVersionIndex = 4;
    options->encodingChoice = VMDK_ENCODING_UTF8;
    Vmdk_CreateOptionsExtent(options, 0)->sectors = static_cast<uint32_t>(size / 512);
    start = std::chrono::steady_clock::now();
    r = Vmdk_Create(argv[2], &disk, map, nullptr, nullptr, options);
    double writeSeconds = Seconds(start);
    std::printf("map %.3f s (%u volumes known), write %.3f s, result %d\n", mapSeconds, known, writeSeconds, r);

    Mem_Free(options);
    if (map) {
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    Disk_Close(&disk);
    return r == DISK_OK ? 0 : 1;
}
