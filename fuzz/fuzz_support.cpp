#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/platform.h"
#include "volume/used_map.h"

namespace fuzz {
namespace {

std::string g_dir;

void RemoveDir()
{
    if (g_dir.empty()) return;
    ClearDir();
    rmdir(g_dir.c_str());
}

}  // namespace

void Init()
{
    if (!g_dir.empty()) return;
    // A write past the limit fails with EFBIG instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = FUZZ_MAX_FILE_BYTES;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur)
            limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    const char* base = getenv("FUZZ_TMPDIR");
    if (base == nullptr || *base == '\0') base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/vdxfuzz.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    g_dir = buf.data();
    atexit(RemoveDir);
}

const std::string& Dir() { return g_dir; }

std::string File(const std::string& name) { return g_dir + "/" + name; }

std::string WriteInput(const std::string& name, const uint8_t* data, size_t size)
{
    std::string path = File(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
    return path;
}

void ClearDir()
{
    DIR* d = opendir(g_dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string& n : names) unlink(File(n).c_str());
}

uint64_t TotalSectors(const DiskHandle* disk)
{
    DiskGeometry g{};
    Disk_GetGeometry(disk, &g);
    return Geometry_GetTotalSectors(&g);
}

int ReadDisk(const DiskHandle* disk, std::vector<uint8_t>* out)
{
    DiskGeometry g{};
    Disk_GetGeometry(disk, &g);
    uint64_t bytes = 0;
    if (!Math_MulU64(Geometry_GetTotalSectors(&g), g.bytes_per_sector, &bytes))
        bytes = FUZZ_MAX_READ_BYTES;
    bytes = std::min<uint64_t>(bytes, FUZZ_MAX_READ_BYTES);
    if (out != nullptr) out->assign(bytes, 0);
    std::vector<uint8_t> piece;
    if (out == nullptr) piece.resize(std::min<uint64_t>(bytes, 2u << 20));
    for (uint64_t at = 0; at < bytes;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bytes - at, 2u << 20));
        uint8_t* dst = out != nullptr ? out->data() + at : piece.data();
        int r = Disk_Read(disk, at, n, dst);
        if (r != DISK_OK) return r;
        at += n;
    }
    return DISK_OK;
}

void QueryRanges(const DiskHandle* disk, UsedSectorMap* map)
{
    uint64_t total = TotalSectors(disk);
    if (total == 0) return;
    const uint64_t firsts[] = {0, total / 3, total - 1, total > 4096 ? total - 4096 : 0};
    for (uint64_t first : firsts) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(total - first, 4096));
        bool flag = false;
        Disk_IsRangeEmpty(disk, nullptr, first, count, &flag, nullptr, nullptr);
        Disk_IsRangeUnallocated(disk, nullptr, first, count, &flag);
        if (map != nullptr) {
            Disk_IsRangeEmpty(disk, map, first, count, &flag, nullptr, nullptr);
            Disk_IsRangeUnallocated(disk, map, first, count, &flag);
        }
    }
    Disk_CanCompact(disk);
    Disk_HasParent(disk);
}

uint8_t Selector(const uint8_t* data, size_t size) { return size == 0 ? 0 : data[size - 1]; }

void Fail(const char* file, int line, const char* what)
{
    fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    abort();
}

}  // namespace fuzz

namespace fuzz {

std::vector<std::string> ListDir()
{
    std::vector<std::string> names;
    DIR* d = opendir(g_dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

void CheckUsedSectorsEqual(const UsedSectorMap* map, uint64_t sectors, uint32_t bytesPerSector,
                           const std::vector<uint8_t>& before, const std::vector<uint8_t>& after)
{
    sectors = std::min<uint64_t>(sectors, before.size() / bytesPerSector);
    sectors = std::min<uint64_t>(sectors, after.size() / bytesPerSector);
    std::vector<uint8_t> bits((sectors + 7) / 8 + 1, 0xFF);
    if (map != nullptr && sectors != 0)
        FUZZ_CHECK(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(sectors), bits.data()) ==
                   DISK_OK);
    for (uint64_t s = 0; s < sectors; ++s) {
        if (!(bits[s / 8] & (1u << (s % 8)))) continue;
        if (memcmp(before.data() + s * bytesPerSector, after.data() + s * bytesPerSector,
                   bytesPerSector) != 0) {
            fprintf(stderr, "sector %llu differs\n", static_cast<unsigned long long>(s));
            FUZZ_CHECK(!"a used sector reads the same after the operation");
        }
    }
}

}  // namespace fuzz
