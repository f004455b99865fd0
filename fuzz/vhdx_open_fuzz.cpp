// The VHDX open of a file (differencing chains, metadata, BAT), a read of the whole virtual disk
// (up to 64 MiB) and the empty-range and per-layer queries.
//
// The input becomes the file in the process's fuzz directory:
// - an input that starts with "vhdxfile" is the file itself;
// - any other input is a sparse file description, so that short inputs reach every structure of
//   a file of several MiB: byte 0 holds flags (bit 0: store correct CRC-32C values in both
//   headers and both region tables, so that mutations get past the checksums), byte 1 the file
//   size in MiB (1 to 64), then records of {u16 LE offset in 4 KiB units, u16 LE length, bytes}.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "formats/vhdx/vhdx.h"
#include "foundation/crc.h"
#include "foundation/platform.h"
#include "fuzz/fuzz_support.h"

namespace {

const uint64_t kMiB = 1 << 20;

uint32_t* CrcTable()
{
    static uint32_t* table = nullptr;
    if (table == nullptr) {
        table = Crc32_AllocTable();
        if (table != nullptr) Crc32_BuildTable(table, CRC32_POLY_CASTAGNOLI);
    }
    return table;
}

// Stores the right checksum in a structure of `length` bytes at `at` when it carries `sig`.
void FixChecksum(int fd, uint64_t at, uint32_t length, const char* sig)
{
    std::vector<uint8_t> buf(length);
    if (pread(fd, buf.data(), length, static_cast<off_t>(at)) != static_cast<ssize_t>(length))
        return;
    if (std::memcmp(buf.data(), sig, 4) != 0 || CrcTable() == nullptr) return;
    const uint32_t crc = Vhdx_StructureChecksum(CrcTable(), buf.data(), length);
    uint8_t le[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                     static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    (void)!pwrite(fd, le, 4, static_cast<off_t>(at + 4));
}

// Writes the file the input describes; false when it cannot be written.
bool WriteInput(const std::string& path, const uint8_t* data, size_t size)
{
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

void Exercise(const std::string& path)
{
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenVhdx(&disk, path.c_str(), true) != DISK_OK) return;
    std::vector<uint8_t> data;
    const int whole = fuzz::ReadDisk(&disk, &data);
    // A read that crosses block and logical-sector boundaries.
    const uint64_t bytes = fuzz::TotalSectors(&disk) * 512;
    if (bytes > 4096 && bytes <= FUZZ_MAX_READ_BYTES) {
        std::vector<uint8_t> piece(1400);
        if (Disk_Read(&disk, bytes / 2 - 700, 1400, piece.data()) == DISK_OK && whole == DISK_OK)
            FUZZ_CHECK(std::memcmp(piece.data(), data.data() + bytes / 2 - 700, 1400) == 0);
    }
    fuzz::QueryRanges(&disk, nullptr);
    Disk_CanCompact(&disk);
    Disk_HasParent(&disk);
    Disk_Close(&disk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    const std::string path = fuzz::File("input.vhdx");
    if (WriteInput(path, data, size)) Exercise(path);
    fuzz::ClearDir();
    return 0;
}
