// libFuzzer target: a VHDX file opened through the engine, the whole virtual disk read (at most
// 64 MiB of it) and its ranges queried as the writers and the trim query them.
//
// The input becomes a file in a private temporary directory, removed after every run:
// - an input that starts with "vhdxfile" is the file itself;
// - any other input is a sparse file description, so that short inputs reach every structure of
//   a file of several MiB: byte 0 holds flags (bit 0: store correct CRC-32C values in both
//   headers and both region tables, so that mutations get past the checksums), byte 1 the file
//   size in MiB (1 to 64), then records of {u16 LE offset in 4 KiB units, u16 LE length, bytes}.
//
// Build against the engine sources alone, for example:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. fuzz/vhdx_open_fuzz.cpp \
//       foundation/*.cpp disk/*.cpp volume/*.cpp formats/*/*.cpp -lz -ldl -o vhdx_open_fuzz
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "formats/vhdx/vhdx.h"
#include "foundation/crc.h"
#include "foundation/platform.h"

namespace {

const uint64_t kMiB = 1 << 20;
const uint64_t kMaxRead = 64 * kMiB;

uint32_t* CrcTable() {
    static uint32_t* table = nullptr;
    if (table == nullptr) {
        table = Crc32_AllocTable();
        if (table != nullptr) Crc32_BuildTable(table, CRC32_POLY_CASTAGNOLI);
    }
    return table;
}

// Stores the right checksum in a structure of `length` bytes at `at` when it carries `sig`.
void FixChecksum(int fd, uint64_t at, uint32_t length, const char* sig) {
    std::vector<uint8_t> buf(length);
    if (pread(fd, buf.data(), length, static_cast<off_t>(at)) != static_cast<ssize_t>(length)) return;
    if (std::memcmp(buf.data(), sig, 4) != 0 || CrcTable() == nullptr) return;
    const uint32_t crc = Vhdx_StructureChecksum(CrcTable(), buf.data(), length);
    uint8_t le[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                     static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    (void)!pwrite(fd, le, 4, static_cast<off_t>(at + 4));
}

// Writes the file the input describes; false when it cannot be written.
bool WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    if (fd < 0) return false;
    bool ok = true;
    if (size >= 8 && std::memcmp(data, "vhdxfile", 8) == 0) {
        ok = write(fd, data, size) == static_cast<ssize_t>(size);
    } else if (size >= 2) {
        const uint8_t flags = data[0];
        const uint64_t mib = 1 + data[1] % 64;
        ok = ftruncate(fd, static_cast<off_t>(mib * kMiB)) == 0;
        size_t pos = 2;
        while (ok && pos + 4 <= size) {
            const uint64_t offset = static_cast<uint64_t>(data[pos] | (data[pos + 1] << 8)) * 4096;
            size_t length = static_cast<size_t>(data[pos + 2] | (data[pos + 3] << 8));
            pos += 4;
            if (length > size - pos) length = size - pos;
            ok = pwrite(fd, data + pos, length, static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(length);
            pos += length;
        }
        if (ok && (flags & 1) != 0) {
            FixChecksum(fd, VHDX_HEADER_1_OFFSET, VHDX_HEADER_BYTES, "head");
            FixChecksum(fd, VHDX_HEADER_2_OFFSET, VHDX_HEADER_BYTES, "head");
            FixChecksum(fd, VHDX_REGION_1_OFFSET, VHDX_REGION_BYTES, "regi");
            FixChecksum(fd, VHDX_REGION_2_OFFSET, VHDX_REGION_BYTES, "regi");
        }
    } else {
        ok = write(fd, data, size) == static_cast<ssize_t>(size);
    }
    close(fd);
    return ok;
}

void Exercise(const std::string& path) {
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenVhdx(&disk, path.c_str(), true) != DISK_OK) return;
    DiskGeometry g = {};
    Disk_GetGeometry(&disk, &g);
    uint64_t bytes = Geometry_GetTotalSectors(&g) * 512;
    if (bytes > kMaxRead) bytes = kMaxRead;
    std::vector<uint8_t> buffer(kMiB);
    for (uint64_t at = 0; at < bytes; at += kMiB) {
        const uint32_t n = static_cast<uint32_t>(bytes - at < kMiB ? bytes - at : kMiB);
        if (Disk_Read(&disk, at, n, buffer.data()) != DISK_OK) break;
    }
    // Odd reads that cross block and logical-sector boundaries.
    if (bytes > 4096) Disk_Read(&disk, bytes / 2 - 700, 1400, buffer.data());
    const uint64_t sectors = bytes / 512;
    const uint32_t step = 2048 * 3 + 5;
    for (uint64_t first = 0; first < sectors; first += step) {
        const uint32_t n = static_cast<uint32_t>(sectors - first < step ? sectors - first : step);
        bool flag = false;
        if (Disk_IsRangeEmpty(&disk, nullptr, first, n, &flag, nullptr, nullptr) != DISK_OK) break;
        Disk_IsRangeUnallocated(&disk, nullptr, first, n, &flag);
    }
    Disk_CanCompact(&disk);
    Disk_HasParent(&disk);
    Disk_Close(&disk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char dirTemplate[] = "/tmp/vhdx_fuzz.XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (dir == nullptr) return 0;
    const std::string path = std::string(dir) + "/input.vhdx";
    if (WriteInput(path, data, size)) Exercise(path);
    unlink(path.c_str());
    rmdir(dir);
    return 0;
}
