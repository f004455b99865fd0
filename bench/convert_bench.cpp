// One conversion the way the conversion run does it: the source is opened (a ".raw" file as a
// raw disk, anything else by its format), its used-sector map is built, then one writer writes
// the whole disk with the destination page's default options, leaving out free space and zeros.
// Driven by bench_all.sh.
//
//   convert_bench KIND SOURCE OUTPUT
//
// KIND: vhd (dynamic, 2 MiB blocks), fixed (fixed VHD), vhdx (32 MiB blocks), vmdk (monolithic
// sparse), stream (stream-optimised VMDK), qcow, qcow-c (compressed), qcow2, qcow2-c (64 KiB
// clusters, plain or compressed), vdi (dynamic), parallels (one expanding file), bundle
// (a Parallels bundle directory with one compressed storage), raw (a flat raw image).
// Prints the map and write times and the process's peak resident memory on one line.
// CONVERT_BENCH_WORKERS=N sets the number of compression workers (default: the cores the
// process may run on).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/raw_writer.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx_writer.h"
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
    if (sectors > 0xFFFFFFFFull) return DISK_ERR_ARG;  // one extent
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

int WriteVhdx(const char* out, const DiskHandle* disk, UsedSectorMap* map)
{
    VhdxCreateOptions* options = Vhdx_AllocCreateOptions();
    if (options == nullptr) return DISK_ERR_NOMEM;
    options->keepEveryBlock = 0;
    options->blockSizeShift = 5;  // 32 MiB
    options->logicalSector4096 = 0;
    options->physicalSector4096 = 0;
    int r = Vhdx_Create(out, disk, map, nullptr, nullptr, options);
    Mem_Free(options);
    return r;
}

int WriteBundle(const char* out, const DiskHandle* disk, UsedSectorMap* map)
{
    ParallelsBundleCreateOptions* options = ParallelsBundle_AllocCreateOptions();
    if (options == nullptr) return DISK_ERR_NOMEM;
    options->compressed = 1;
    options->splitSectors = 0;
    options->extra = 0;
    int r = ParallelsBundle_Create(out, disk, map, nullptr, nullptr, options);
    Mem_Free(options);
    return r;
}

int Write(const std::string& kind, const char* out, DiskHandle* disk, UsedSectorMap* map,
          uint64_t sectors)
{
    const VhdCreateOptions vhdOptions = {VHD_CODE_WIN, 0x00060001, 0, 4096, 0, 0};
    if (kind == "vhd") return Vhd_Create(out, disk, map, nullptr, nullptr, &vhdOptions, 0);
    if (kind == "fixed") return VhdFixed_Create(out, disk, map, nullptr, nullptr, &vhdOptions);
    if (kind == "vhdx") return WriteVhdx(out, disk, map);
    if (kind == "vmdk" || kind == "stream")
        return WriteVmdk(out, disk, map, sectors, kind == "stream");
    if (kind == "qcow" || kind == "qcow-c") {
        return Qcow_Create(out, disk, map, nullptr, nullptr,
                           kind == "qcow" ? QCOW_STORE_PLAIN : QCOW_STORE_COMPRESSED, nullptr);
    }
    if (kind == "qcow2" || kind == "qcow2-c") {
        Qcow2CreateOptions options;
        options.clusterBits = 16;
        return Qcow2_Create(out, disk, map, nullptr, nullptr,
                            kind == "qcow2" ? QCOW_STORE_PLAIN : QCOW_STORE_COMPRESSED, nullptr,
                            &options);
    }
    if (kind == "vdi") {
        const VdiCreateOptions options = {3, 0, 0};
        return Vdi_Create(out, disk, map, nullptr, nullptr, &options);
    }
    if (kind == "parallels") return Parallels_Create(out, disk, map, nullptr, nullptr, 0);
    if (kind == "bundle") return WriteBundle(out, disk, map);
    if (kind == "raw") return FlatImage_Create(out, disk, map, nullptr, nullptr);
    return -1;
}

const char* const kKinds[] = {"vhd",   "fixed",   "vhdx", "vmdk",      "stream", "qcow", "qcow-c",
                              "qcow2", "qcow2-c", "vdi",  "parallels", "bundle", "raw"};

}  // namespace

int main(int argc, char** argv)
{
    const std::string kind = argc == 4 ? argv[1] : "";
    bool known = false;
    for (const char* k : kKinds) known = known || kind == k;
    if (!known) {
        std::fprintf(stderr, "usage: convert_bench KIND SOURCE OUTPUT\nKIND:");
        for (const char* k : kKinds) std::fprintf(stderr, " %s", k);
        std::fprintf(stderr, "\n");
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
        if (!File_GetSizeByPath(source.c_str(), &size) || size < 512 || size % 512 != 0) {
            std::fprintf(stderr, "%s: no disk of whole sectors\n", source.c_str());
            return 2;
        }
        DiskGeometry g;
        std::memset(&g, 0, sizeof g);
        Vhd_ComputeGeometry(size, &g);
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
    uint32_t volumes = 0;
    UsedSectorMap* map = UsedMap_Create(&disk, &r, &volumes);
    const double mapSeconds = Seconds(start);

    start = std::chrono::steady_clock::now();
    r = Write(kind, argv[3], &disk, map, sectors);
    const double writeSeconds = Seconds(start);
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    getrusage(RUSAGE_SELF, &usage);
    std::printf("map %.3f s (%u volumes known), write %.3f s, peak %.1f MiB, result %d\n",
                mapSeconds, volumes, writeSeconds, usage.ru_maxrss / 1024.0, r);
    if (map != nullptr) {
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    Disk_Close(&disk);
    return r == DISK_OK ? 0 : 1;
}
