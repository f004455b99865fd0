// Helpers of the VHDX tests: the fixture tool, qemu-img, libvhdi, raw sources and whole-disk reads.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vhdx/vhdx.h"
#include "foundation/platform.h"
#include "support/test_support.h"

namespace vhdxtest {

using testsupport::Quote;
using testsupport::RunCommand;

inline std::string Tool()
{
    return std::string(VDX_TEST_SOURCE_DIR) + "/formats/vhdx/vhdx_fixtures.py";
}

// Runs the fixture tool; its output in *text.
inline int Fixture(const std::string& args, std::string* text = nullptr)
{
    std::string out;
    const int rc = RunCommand("/usr/bin/python3 " + Quote(Tool()) + " " + args + " 2>&1", &out);
    if (text != nullptr) *text = out;
    return rc;
}

inline void Build(const std::string& json)
{
    std::string out;
    ASSERT_EQ(Fixture("build " + Quote(json), &out), 0) << out << "\nspec: " << json;
}

inline int Qemu(const std::string& args, std::string* text = nullptr)
{
    std::string out;
    const int rc = RunCommand("qemu-img " + args + " 2>&1", &out);
    if (text != nullptr) *text = out;
    return rc;
}

inline bool HavePyvhdi()
{
    return RunCommand("/usr/bin/python3 -c 'import pyvhdi' >/dev/null 2>&1") == 0;
}

// Reads a chain (child first) with libvhdi into out.
inline bool ReadWithLibvhdi(const std::string& out, const std::vector<std::string>& chain,
                            std::string* report = nullptr)
{
    std::string args = "libvhdi " + Quote(out);
    for (const std::string& p : chain) args += " " + Quote(p);
    return Fixture(args, report) == 0;
}

inline std::vector<uint8_t> ReadAll(const DiskHandle* disk)
{
    DiskGeometry g = {};
    Disk_GetGeometry(disk, &g);
    const uint64_t bytes = Geometry_GetTotalSectors(&g) * 512;
    std::vector<uint8_t> data(bytes);
    const uint64_t chunk = 1 << 21;
    for (uint64_t off = 0; off < bytes; off += chunk) {
        const uint32_t n = static_cast<uint32_t>(bytes - off < chunk ? bytes - off : chunk);
        const int rc = Disk_Read(disk, off, n, data.data() + off);
        EXPECT_EQ(rc, DISK_OK) << "read at " << off;
        if (rc != DISK_OK) break;
    }
    return data;
}

// A raw source over a file with the given total.
inline int OpenRaw(DiskHandle* h, const std::string& path, uint64_t total)
{
    DiskGeometry g = {};
    Vhd_ComputeGeometry(total * 512, &g);
    Disk_Init(h);
    return Disk_OpenRaw(h, path.c_str(), true, 0, &g);
}

// Writes `n` pseudo-random bytes at `offset` of a file (created when missing).
inline void WriteRandom(const std::string& path, uint64_t offset, size_t n, uint32_t seed)
{
    std::vector<uint8_t> data = testsupport::RandomBytes(n, seed);
    FILE* f = fopen(path.c_str(), "r+b");
    if (f == nullptr) f = fopen(path.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
    ASSERT_EQ(fwrite(data.data(), 1, n, f), n);
    fclose(f);
}

inline void Truncate(const std::string& path, uint64_t size)
{
    ASSERT_EQ(RunCommand("truncate -s " + std::to_string(size) + " " + Quote(path)), 0);
}

// An open VHDX through the general open; the image object or NULL.
struct Opened {
    DiskHandle handle;
    int rc;
    explicit Opened(const std::string& path)
    {
        Disk_Init(&handle);
        rc = Disk_Open(&handle, path.c_str(), true);
    }
    ~Opened() { Disk_Close(&handle); }
    VhdxImage* image() const
    {
        return handle.kind == DISK_KIND_VHDX ? static_cast<VhdxImage*>(handle.object) : nullptr;
    }
};

}  // namespace vhdxtest
