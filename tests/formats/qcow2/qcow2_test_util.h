// Helpers of the qcow and qcow2 tests: qemu-img fixtures, whole-disk reads and patching.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "support/test_support.h"

namespace qcowtest {

using testsupport::Quote;
using testsupport::RunCommand;

inline void Shell(const std::string& command)
{
    std::string out;
    const int rc = testsupport::RunQemu(command, &out);
    ASSERT_EQ(rc, 0) << command << "\n" << out;
}

// The secret options of qemu for an AES image with the password.
inline std::string SecretObject(const std::string& password)
{
    return "--object secret,id=s,data=" + password;
}

// A raw disk of `mib` MiB with random, compressible and zero stretches.
inline std::vector<uint8_t> MixedContent(uint32_t bytes, uint32_t seed)
{
    std::vector<uint8_t> data(bytes, 0);
    std::vector<uint8_t> noise = testsupport::RandomBytes(bytes, seed);
    for (uint32_t pos = 0; pos < bytes; pos += 65536) {
        const uint32_t kind = (pos / 65536 + seed) % 4;
        const uint32_t n = bytes - pos < 65536 ? bytes - pos : 65536;
        if (kind == 1) memcpy(&data[pos], &noise[pos], n);
        if (kind == 2)
            for (uint32_t i = 0; i < n; ++i)
                data[pos + i] = static_cast<uint8_t>("qcow text "[i % 10]);
        if (kind == 3 && n == 65536)
            memcpy(&data[pos + 4096], &noise[pos], n / 4);  // partly filled
    }
    return data;
}

// Reads the whole disk in pieces of `piece` bytes.
inline std::vector<uint8_t> ReadAll(DiskHandle* h, uint32_t piece = 2 * 1024 * 1024)
{
    DiskGeometry g = {};
    Disk_GetGeometry(h, &g);
    const uint64_t size = Geometry_GetTotalSectors(&g) * g.bytes_per_sector;
    std::vector<uint8_t> out(size);
    for (uint64_t pos = 0; pos < size; pos += piece) {
        uint32_t n = size - pos < piece ? static_cast<uint32_t>(size - pos) : piece;
        int r = Disk_Read(h, pos, n, &out[pos]);
        EXPECT_EQ(r, 0) << "at " << pos;
        if (r != 0) break;
    }
    return out;
}

// qemu's own rendering of the image (optionally of a snapshot) as raw bytes.
inline std::vector<uint8_t> QemuRaw(const testsupport::TempDir& dir, const std::string& image,
                                    const std::string& options = "")
{
    const std::string raw = dir.file("qemu-oracle.raw");
    std::string out;
    const std::string input = image.empty() ? "" : Quote(image);
    int rc = RunCommand(
        "qemu-img convert " + options + " -O raw " + input + " " + Quote(raw) + " 2>&1", &out);
    EXPECT_EQ(rc, 0) << out;
    std::vector<uint8_t> bytes = testsupport::ReadFile(raw);
    remove(raw.c_str());
    return bytes;
}

inline void PatchBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

inline std::vector<uint8_t> Be32(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline std::vector<uint8_t> Be64(uint64_t v)
{
    std::vector<uint8_t> b(8);
    for (int i = 7; i >= 0; --i) {
        b[i] = uint8_t(v);
        v >>= 8;
    }
    return b;
}
inline uint64_t GetBe64(const std::vector<uint8_t>& b, size_t at)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[at + i];
    return v;
}

// A handle that closes and frees itself.
struct Handle {
    DiskHandle* h;
    Handle() : h(Disk_Alloc()) { Disk_Init(h); }
    ~Handle()
    {
        Disk_Close(h);
        Mem_Free(h);
    }
    DiskHandle* operator->() { return h; }
    operator DiskHandle*() { return h; }
};

}  // namespace qcowtest
