// Helpers shared by the volume-analysis tests: fixture images and raw disks over them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/partition.h"

namespace voltest {

inline std::string FixtureScript()
{
    return std::string(VDX_TEST_SOURCE_DIR) + "/volume/volume_fixtures.py";
}

// Builds an image with volume_fixtures.py; fails the test when the script fails.
inline void MakeFixture(const std::string& path, const std::string& json)
{
    std::string out;
    int rc = testsupport::RunCommand("python3 " + testsupport::Quote(FixtureScript()) + " " +
                                         testsupport::Quote(path) + " " + testsupport::Quote(json),
                                     &out);
    ASSERT_EQ(rc, 0) << "fixture failed: " << json;
}

inline DiskGeometry Geo(uint64_t total, uint32_t bps, uint32_t heads = 16, uint32_t spt = 63)
{
    DiskGeometry g{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(&g, total);
    return g;
}

// A raw disk over an image file, closed on destruction.
class RawDisk {
public:
    RawDisk() { Disk_Init(&handle_); }
    ~RawDisk() { Disk_Close(&handle_); }
    RawDisk(const RawDisk&) = delete;
    RawDisk& operator=(const RawDisk&) = delete;

    // Opens path read-only with total = file size / bps (or the given total).
    int Open(const std::string& path, uint32_t bps, uint32_t heads = 16, uint32_t spt = 63,
             uint64_t total = 0)
    {
        if (total == 0) {
            uint64_t size = 0;
            if (!File_GetSizeByPath(path.c_str(), &size)) return DISK_ERR_OPEN;
            total = size / bps;
        }
        DiskGeometry g = Geo(total, bps, heads, spt);
        return Disk_OpenRaw(&handle_, path.c_str(), true, 0, &g);
    }
    const DiskHandle* get() const { return &handle_; }

private:
    DiskHandle handle_;
};

struct Part {
    uint64_t first;
    uint64_t count;
    uint8_t type;
    bool operator==(const Part& o) const
    {
        return first == o.first && count == o.count && type == o.type;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Part& p)
{
    return os << "{" << p.first << ", " << p.count << ", 0x" << std::hex << int(p.type) << std::dec
              << "}";
}

inline std::vector<Part> ToParts(const PartitionEntry* e, uint32_t n)
{
    std::vector<Part> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back({e[i].first, e[i].count, e[i].type});
    return v;
}

// The partitions sleuthkit's mmls lists (slot "t:s" rows), with the MBR type when it shows one.
inline std::vector<Part> MmlsPartitions(const std::string& image, bool withTypes)
{
    std::string out;
    testsupport::RunCommand("mmls " + testsupport::Quote(image), &out);
    std::vector<Part> parts;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned idx = 0, t = 0, s = 0;
        unsigned long long start = 0, end = 0, length = 0;
        // MBR slots read "table:slot", GPT slots a plain number; "Meta" and "-----" rows are
        // not partitions.
        if (std::sscanf(line.c_str(), "%u: %u:%u %llu %llu %llu", &idx, &t, &s, &start, &end,
                        &length) != 6 &&
            std::sscanf(line.c_str(), "%u: %u %llu %llu %llu", &idx, &s, &start, &end, &length) !=
                5) {
            continue;
        }
        uint8_t type = 0;
        size_t open = line.rfind("(0x");
        if (withTypes && open != std::string::npos) {
            type = static_cast<uint8_t>(std::stoul(line.substr(open + 3, 2), nullptr, 16));
        }
        parts.push_back({start, length, type});
    }
    return parts;
}

}  // namespace voltest
