// Helpers of the VHD tests: the kind-6 (and kind-7) table slots, the python fixture builder,
// raw sources, whole-disk reads, a scripted used-sector map and the external oracles.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_fixed.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace vhdtest {

using testsupport::Quote;
using testsupport::RunCommand;

inline std::string FixtureTool()
{
    return std::string(VDX_TEST_SOURCE_DIR) + "/formats/vhd/vhd_fixtures.py";
}

// Builds a fixture from a JSON spec (see vhd_fixtures.py).
inline void Build(const std::string& json)
{
    std::string out;
    const int rc =
        RunCommand("python3 " + Quote(FixtureTool()) + " build " + Quote(json) + " 2>&1", &out);
    ASSERT_EQ(rc, 0) << out << "\nspec: " << json;
}

inline bool HavePyvhdi()
{
    return RunCommand("/usr/bin/python3 -c 'import pyvhdi' >/dev/null 2>&1") == 0;
}

// Reads a chain (child first) with libvhdi into out; false when the library refused it.
inline bool ReadWithLibvhdi(const std::string& out, const std::vector<std::string>& chain,
                            std::string* report = nullptr)
{
    std::string cmd = "/usr/bin/python3 " + Quote(FixtureTool()) + " libvhdi " + Quote(out);
    for (const std::string& p : chain) cmd += " " + Quote(p);
    std::string text;
    const int rc = RunCommand(cmd + " 2>&1", &text);
    if (report != nullptr) *report = text;
    return rc == 0;
}

// qemu-img: 0 when the command succeeded; its output in *text.
inline int Qemu(const std::string& args, std::string* text = nullptr)
{
    std::string out;
    const int rc = RunCommand("qemu-img " + args + " 2>&1", &out);
    if (text != nullptr) *text = out;
    return rc;
}

inline std::vector<uint8_t> ReadAll(const DiskHandle* disk)
{
    DiskGeometry g = {};
    Disk_GetGeometry(disk, &g);
    const uint64_t bytes = Geometry_GetTotalSectors(&g) * 512;
    std::vector<uint8_t> data(bytes);
    const uint64_t chunk = 1 << 20;
    for (uint64_t off = 0; off < bytes; off += chunk) {
        const uint32_t n = static_cast<uint32_t>(bytes - off < chunk ? bytes - off : chunk);
        const int rc = Disk_Read(disk, off, n, data.data() + off);
        EXPECT_EQ(rc, DISK_OK) << "read at " << off;
        if (rc != DISK_OK) break;
    }
    return data;
}

// A raw source over a file with the given total (heads and sectors per track by the VHD rule).
inline int OpenRaw(DiskHandle* h, const std::string& path, uint64_t total)
{
    DiskGeometry g = {};
    Vhd_ComputeGeometry(total * 512, &g);
    Disk_Init(h);
    return Disk_OpenRaw(h, path.c_str(), true, 0, &g);
}

inline uint32_t Be32(const std::vector<uint8_t>& f, size_t off)
{
    return Bytes_LoadBe32(f.data() + off);
}
inline uint64_t Be64(const std::vector<uint8_t>& f, size_t off)
{
    return Bytes_LoadBe64(f.data() + off);
}

// Content with every sector marked free in `used` (one flag per sector) zeroed.
inline std::vector<uint8_t> Masked(std::vector<uint8_t> data, const std::vector<uint8_t>& used)
{
    for (size_t s = 0; s < used.size(); s++) {
        if (!used[s]) std::memset(data.data() + s * 512, 0, 512);
    }
    return data;
}

// A used-sector map of one region whose used flags come from a vector (one byte per sector),
// served through the ext slot of the driver table while the object lives.
class ScriptedMap {
public:
    explicit ScriptedMap(std::vector<uint8_t> used) : used_(std::move(used))
    {
        saved_ = FsUsedBitsTable[FS_KIND_EXT];
        FsUsedBitsTable[FS_KIND_EXT] = Fill;
        region_.first = 0;
        region_.count = used_.size();
        region_.kind = FS_KIND_EXT;
        region_.object = this;
        map_.bytesPerSector = 512;
        map_.regionCount = 1;
        map_.regions = &region_;
    }
    ~ScriptedMap() { FsUsedBitsTable[FS_KIND_EXT] = saved_; }
    UsedSectorMap* map() { return &map_; }
    const std::vector<uint8_t>& used() const { return used_; }

private:
    static int Fill(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                    uint32_t bitOffset)
    {
        const ScriptedMap* self = static_cast<const ScriptedMap*>(object);
        for (uint32_t i = 0; i < count; i++) {
            const uint32_t bit = bitOffset + i;
            const uint8_t mask = static_cast<uint8_t>(1u << (bit & 7));
            if (self->used_[first + i]) {
                bitmap[bit >> 3] |= mask;
            } else {
                bitmap[bit >> 3] &= static_cast<uint8_t>(~mask);
            }
        }
        return DISK_OK;
    }
    std::vector<uint8_t> used_;
    VolumeRegion region_{};
    UsedSectorMap map_{};
    FsUsedBitsFn saved_ = nullptr;
};

// Pseudo-random bytes, 8 at a time.
inline std::vector<uint8_t> FastBytes(uint64_t n, uint64_t seed)
{
    std::vector<uint8_t> out(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t i = 0; i < n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const uint64_t left = n - i < 8 ? n - i : 8;
        std::memcpy(out.data() + i, &x, left);
    }
    return out;
}

// A source disk over a byte vector in the unused table slot 15 that records its reads and can
// fail one of them.
constexpr DiskKind kFakeKind = 15;

struct FakeDisk {
    DiskGeometry geometry{0, 16, 63, 512, 0};
    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint64_t, uint32_t>> reads;
    int failRead = -1;  // index of the read that answers DISK_ERR_READ

    static void Geometry(void* o, DiskGeometry* out) { *out = static_cast<FakeDisk*>(o)->geometry; }
    static int Read(void* o, uint64_t offset, uint32_t length, void* buffer)
    {
        FakeDisk* d = static_cast<FakeDisk*>(o);
        if (!Geometry_IsByteRangeInside(offset, length, &d->geometry)) return DISK_ERR_ARG;
        if (static_cast<int>(d->reads.size()) == d->failRead) return DISK_ERR_READ;
        d->reads.emplace_back(offset, length);
        for (uint32_t i = 0; i < length; i++) {
            static_cast<uint8_t*>(buffer)[i] =
                offset + i < d->bytes.size() ? d->bytes[offset + i] : 0;
        }
        return DISK_OK;
    }
    // Empty when every used sector is zero; reads nothing (the reads are the writer's).
    static int Empty(void* o, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter, RangeProgressRecord*)
    {
        FakeDisk* d = static_cast<FakeDisk*>(o);
        std::vector<uint8_t> bits((count + 7) / 8, 0xFF);
        if (map != nullptr &&
            UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits.data()) != DISK_OK)
            return DISK_ERR_ARG;
        *empty = true;
        for (uint32_t i = 0; i < count && *empty; i++) {
            if (!(bits[i / 8] & (1u << (i % 8)))) continue;
            const uint64_t at = (first + i) * 512;
            for (uint32_t k = 0; k < 512 && at + k < d->bytes.size(); k++) {
                if (d->bytes[at + k] != 0) {
                    *empty = false;
                    break;
                }
            }
        }
        return DISK_OK;
    }
    static void Close(void*) {}
    DiskHandle Handle()
    {
        DiskGeometryTable[kFakeKind] = Geometry;
        DiskReadTable[kFakeKind] = Read;
        DiskRangeEmptyTable[kFakeKind] = Empty;
        DiskCloseTable[kFakeKind] = Close;
        return DiskHandle{kFakeKind, this};
    }
};

}  // namespace vhdtest
