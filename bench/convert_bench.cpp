// One conversion the way the conversion run does it: the source is opened (a ".raw" file as a
// raw disk, anything else by its format), its used-sector map is built, then one writer writes
// the whole disk, leaving out free space and zeros. Driven by bench_all.sh.
//
//   convert_bench vhd|fixed|sparse|stream|raw SOURCE OUTPUT
//
// vhd: dynamic VHD (2 MiB blocks); fixed: fixed VHD; sparse / stream: monolithic sparse or
// stream-optimised VMDK; raw: flat raw image. Prints the map and write times on one line.
// CONVERT_BENCH_WORKERS=N sets the number of grain compression workers (default: the cores the
// process may run on).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/raw_writer.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "formats/vmdk/vmdk_sparse.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int WriteVmdk(const char* out, const DiskHandle* disk, UsedSectorMap* map, uint64_t sectors,
              bool stream)
{
    VmdkCreateOptions* options = Vmdk_AllocCreateOptions(1);
    if (options == nullptr) return DISK_ERR_NOMEM;
    options->flat = VMDK_LAYOUT_SPARSE;
    options->compressedGrains = stream ? 1 : 0;
    options->streamOptimized = stream ? 1 : 0;
    options->adapter = VMDK_ADAPTER_IDE;
    options->hwVersionIndex = 4;
    options->encodingChoice = VMDK_ENCODING_UTF8;
    Vmdk_CreateOptionsExtent(options, 0)->sectors = static_cast<uint32_t>(sectors);
    int r = Vmdk_Create(out, disk, map, nullptr, nullptr, options);
    Mem_Free(options);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string kind = argc == 4 ? argv[1] : "";
    if (kind != "vhd" && kind != "fixed" && kind != "sparse" && kind != "stream" && kind != "raw") {
        std::fprintf(stderr, "usage: convert_bench vhd|fixed|sparse|stream|raw SOURCE OUTPUT\n");
        return 2;
    }
    const std::string source = argv[2];
    if (const char* workers = std::getenv("CONVERT_BENCH_WORKERS"))
        VmdkSparse_SetCompressionWorkers(static_cast<uint32_t>(std::strtoul(workers, nullptr, 10)));
    DiskHandle disk;
    Disk_Init(&disk);
    int r;
    if (EndsWith(source, ".raw")) {
        uint64_t size = 0;
        if (!File_GetSizeByPath(source.c_str(), &size) || size < 512 || size / 512 > 0xFFFFFFFFull) {
            std::fprintf(stderr, "%s: no disk of 1 to 2^32 - 1 sectors\n", source.c_str());
            return 2;
        }
        DiskGeometry g;
        std::memset(&g, 0, sizeof g);
        Vhd_ComputeGeometry(size / 512 * 512, &g);
        r = Disk_OpenRaw(&disk, source.c_str(), true, 0, &g);
    } else {
        r = Disk_Open(&disk, source.c_str(), true);
    }
    if (r != DISK_OK) {
        std::fprintf(stderr, "open: %d\n", r);
        return 1;
    }
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(&disk, &g);
    const uint64_t sectors = Geometry_GetTotalSectors(&g);

    auto start = std::chrono::steady_clock::now();
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&disk, &r, &known);
    const double mapSeconds = Seconds(start);

    const VhdCreateOptions vhdOptions = {VHD_CODE_WIN, 0x00060001, 0, 4096, 0, 0};
    start = std::chrono::steady_clock::now();
    if (kind == "vhd") {
        r = Vhd_Create(argv[3], &disk, map, nullptr, nullptr, &vhdOptions, 0);
    } else if (kind == "fixed") {
        r = VhdFixed_Create(argv[3], &disk, map, nullptr, nullptr, &vhdOptions);
    } else if (kind == "raw") {
        r = FlatImage_Create(argv[3], &disk, map, nullptr, nullptr);
    } else {
        r = WriteVmdk(argv[3], &disk, map, sectors, kind == "stream");
    }
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
