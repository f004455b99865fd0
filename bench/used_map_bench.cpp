// Builds the used-sector map of a large sparse disk holding one ext4 or FAT32 partition and
// compares the time and the bytes read with reading the whole disk once.
//
//   used_map_bench [--fs ext4|fat32] [--size-gib N] [--dir DIRECTORY] [--skip-full-read]
//
// The disk is a sparse file in a fresh directory under DIRECTORY (default $TMPDIR or /tmp) with
// an MBR listing one partition from sector 2048 to the end; the file system is made by mke2fs
// or mkfs.fat and gets a file of 64 MiB. Bytes read are the process's read(2) bytes
// ("rchar" of /proc/self/io), so page-cache hits count as well.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

namespace {

uint64_t ReadBytesSoFar()
{
    FILE* f = std::fopen("/proc/self/io", "r");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    uint64_t value = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "rchar: %" SCNu64, &value) == 1) {
            break;
        }
    }
    std::fclose(f);
    return value;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool Shell(const std::string& command)
{
    int status = std::system(command.c_str());
    if (status != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
        return false;
    }
    return true;
}

// One MBR record from sector 2048 to the end of the disk.
bool WriteMbr(const std::string& path, uint64_t sectors, uint8_t type)
{
    uint8_t mbr[512];
    std::memset(mbr, 0, sizeof mbr);
    uint8_t* rec = mbr + 446;
    rec[4] = type;
    uint64_t count = sectors - 2048;
    if (count > 0xFFFFFFFFu) {
        count = 0xFFFFFFFFu;
    }
    Bytes_StoreLe32(rec + 8, 2048);
    Bytes_StoreLe32(rec + 12, static_cast<uint32_t>(count));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(mbr, 1, sizeof mbr, f) == sizeof mbr;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string fs = "ext4";
    uint64_t sizeGib = 64;
    std::string parent = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    bool fullRead = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--fs" && i + 1 < argc) {
            fs = argv[++i];
        } else if (a == "--size-gib" && i + 1 < argc) {
            sizeGib = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--dir" && i + 1 < argc) {
            parent = argv[++i];
        } else if (a == "--skip-full-read") {
            fullRead = false;
        } else {
            std::fprintf(
                stderr, "usage: %s [--fs ext4|fat32] [--size-gib N] [--dir D] [--skip-full-read]\n",
                argv[0]);
            return 2;
        }
    }
    if ((fs != "ext4" && fs != "fat32") || sizeGib == 0) {
        std::fprintf(stderr, "unknown file system or size\n");
        return 2;
    }

    std::string templ = parent + "/used_map_bench.XXXXXX";
    std::vector<char> dirName(templ.begin(), templ.end());
    dirName.push_back('\0');
    if (mkdtemp(dirName.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirName.data();
    const std::string disk = dir + "/disk.img";
    const std::string file = dir + "/data.bin";
    const uint64_t bytes = sizeGib << 30;
    const uint64_t sectors = bytes / 512;
    const uint64_t partBytes = (sectors - 2048) * 512;

    bool ok = Shell("truncate -s " + std::to_string(bytes) + " " + Quote(disk)) &&
              WriteMbr(disk, sectors, fs == "ext4" ? 0x83 : 0x0C) &&
              Shell("head -c 67108864 /dev/urandom > " + Quote(file));
    if (ok && fs == "ext4") {
        ok = Shell("mkdir " + Quote(dir + "/tree") + " && mv " + Quote(file) + " " +
                   Quote(dir + "/tree/") +
                   " && mke2fs -q -F -t ext4 -b 4096 -E offset=1048576 -d " + Quote(dir + "/tree") +
                   " " + Quote(disk) + " " + std::to_string(partBytes / 4096));
    } else if (ok) {
        ok = Shell("mkfs.fat -F 32 -s 8 --offset 2048 " + Quote(disk) + " " +
                   std::to_string(partBytes / 1024) + " > /dev/null") &&
             Shell("mcopy -i " + Quote(disk + "@@1048576") + " " + Quote(file) + " ::");
    }

    int rc = 1;
    if (ok) {
        DiskHandle h;
        Disk_Init(&h);
        DiskGeometry g{};
        g.heads = 255;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, sectors);
        int code = Disk_OpenRaw(&h, disk.c_str(), true, 0, &g);
        if (code != DISK_OK) {
            std::fprintf(stderr, "open: %d\n", code);
        } else {
            uint64_t before = ReadBytesSoFar();
            auto t0 = std::chrono::steady_clock::now();
            int result = 0;
            uint32_t known = 0;
            UsedSectorMap* map = UsedMap_Create(&h, &result, &known);
            double buildTime = Seconds(t0);
            uint64_t buildBytes = ReadBytesSoFar() - before;
            if (map == nullptr || known == 0) {
                std::fprintf(stderr, "no map: result %d, known regions %u\n", result, known);
            } else {
                // Query every sector once, as a conversion does.
                const uint32_t chunk = 1u << 20;
                std::vector<uint8_t> bits(chunk / 8);
                uint64_t freeSectors = 0;
                auto t1 = std::chrono::steady_clock::now();
                for (uint64_t s = 0; s < sectors && result == DISK_OK; s += chunk) {
                    uint32_t n = sectors - s < chunk ? static_cast<uint32_t>(sectors - s) : chunk;
                    result = UsedMap_GetUsedBits(map, s, static_cast<int32_t>(n), bits.data());
                    for (uint32_t i = 0; i < n; ++i) {
                        freeSectors += ((bits[i / 8] >> (i % 8)) & 1) == 0 ? 1 : 0;
                    }
                }
                double queryTime = Seconds(t1);
                std::printf("file system:        %s, %" PRIu64 " GiB disk, one 64 MiB file\n",
                            fs.c_str(), sizeGib);
                std::printf("map build:          %.3f s, %" PRIu64
                            " bytes read (%.4f%% of the disk)\n",
                            buildTime, buildBytes, 100.0 * buildBytes / bytes);
                std::printf("query every sector: %.3f s (result %d), %.2f%% of the disk free\n",
                            queryTime, result, 100.0 * freeSectors / sectors);
                if (fullRead) {
                    std::vector<uint8_t> buffer(1u << 20);
                    uint64_t before2 = ReadBytesSoFar();
                    auto t2 = std::chrono::steady_clock::now();
                    for (uint64_t at = 0; at < bytes && code == DISK_OK; at += buffer.size()) {
                        code =
                            Disk_Read(&h, at, static_cast<uint32_t>(buffer.size()), buffer.data());
                    }
                    std::printf("full read:          %.3f s, %" PRIu64 " bytes read (result %d)\n",
                                Seconds(t2), ReadBytesSoFar() - before2, code);
                }
                rc = result == DISK_OK ? 0 : 1;
                UsedMap_Destroy(map);
                Mem_Free(map);
            }
            Disk_Close(&h);
        }
    }
    Shell("rm -rf " + Quote(dir));
    return rc;
}
