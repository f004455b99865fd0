// Helpers of the emulator-image and raw-writer tests: a scripted source disk in the unused table
// slot 15, the python fixture tool, and a progress recorder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "support/test_support.h"

namespace emutest {

// Slot 15 is never used by a real kind, so a test may put a scripted disk there.
constexpr DiskKind kFakeKind = 15;

// A source disk of any geometry whose bytes come from a function of the byte offset.
struct FakeDisk {
    DiskGeometry geometry{0, 0, 0, 0, 0};
    std::function<uint8_t(uint64_t)> byteAt = [](uint64_t) { return uint8_t(0); };
    // Answer of the empty-range query for a sector range (only asked when a map is given).
    std::function<bool(uint64_t, uint32_t)> rangeEmpty = [](uint64_t, uint32_t) { return false; };
    std::vector<std::pair<uint64_t, uint32_t>> reads;  // (offset, length) of every read
    std::vector<std::pair<uint64_t, uint32_t>> queries;
    int failReadNumber = -1;  // the read with this index answers failReadCode
    int failReadCode = DISK_ERR_READ;
};

inline void FakeGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<FakeDisk*>(object)->geometry;
}

inline int FakeRead(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    FakeDisk* d = static_cast<FakeDisk*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &d->geometry)) return DISK_ERR_ARG;
    const int index = static_cast<int>(d->reads.size());
    d->reads.emplace_back(offset, length);
    if (index == d->failReadNumber) return d->failReadCode;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < length; i++) p[i] = d->byteAt(offset + i);
    return DISK_OK;
}

inline int FakeRangeEmpty(void* object, UsedSectorMap*, uint64_t first, uint32_t count, bool* empty,
                          RangeProgressAdapter, RangeProgressRecord*)
{
    FakeDisk* d = static_cast<FakeDisk*>(object);
    d->queries.emplace_back(first, count);
    *empty = d->rangeEmpty(first, count);
    return DISK_OK;
}

inline void FakeClose(void*) {}

inline void InstallFakeKind()
{
    DiskGeometryTable[kFakeKind] = FakeGeometry;
    DiskReadTable[kFakeKind] = FakeRead;
    DiskRangeEmptyTable[kFakeKind] = FakeRangeEmpty;
    DiskCloseTable[kFakeKind] = FakeClose;
}

inline DiskHandle FakeHandle(FakeDisk* d) { return DiskHandle{kFakeKind, d}; }

inline DiskGeometry MakeGeometry(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps)
{
    DiskGeometry g{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(&g, total);
    return g;
}

// Records every progress report; answers false from report number `stopAt` on.
struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    int stopAt = -1;
    static bool Callback(uint64_t done, uint64_t total, void* user)
    {
        Progress* p = static_cast<Progress*>(user);
        p->calls.emplace_back(done, total);
        return p->stopAt < 0 || static_cast<int>(p->calls.size()) <= p->stopAt;
    }
};

// Pseudo-random bytes, 8 at a time (fast enough for tens of MiB in a sanitizer build).
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

inline std::vector<uint8_t> LoadFile(const std::string& path)
{
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    fseeko(f, 0, SEEK_END);
    out.resize(static_cast<size_t>(ftello(f)));
    fseeko(f, 0, SEEK_SET);
    if (!out.empty() && fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
    fclose(f);
    return out;
}

inline void SaveFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot write " << path;
        return;
    }
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Whether `big` holds `part` at `offset` and only zero bytes after it.
inline bool HoldsAtThenZeros(const std::vector<uint8_t>& big, uint64_t offset,
                             const std::vector<uint8_t>& part)
{
    if (big.size() < offset + part.size()) return false;
    if (!part.empty() && std::memcmp(big.data() + offset, part.data(), part.size()) != 0) {
        return false;
    }
    for (uint64_t i = offset + part.size(); i < big.size(); i++) {
        if (big[i] != 0) return false;
    }
    return true;
}

inline std::string FixtureTool()
{
    return "python3 " +
           testsupport::Quote(std::string(VDX_TEST_SOURCE_DIR) + "/disk/emulator_fixtures.py");
}

// Runs the fixture tool; fails the test when it does not succeed.
inline std::string RunTool(const std::string& args)
{
    std::string out;
    const int rc = testsupport::RunCommand(FixtureTool() + " " + args, &out);
    if (rc != 0) ADD_FAILURE() << "fixture tool failed: " << args;
    return out;
}

inline std::map<std::string, std::string> ParseFields(const std::string& text)
{
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

inline uint64_t U64(const std::map<std::string, std::string>& f, const std::string& key)
{
    auto it = f.find(key);
    if (it == f.end()) {
        ADD_FAILURE() << "missing field " << key;
        return 0;
    }
    return std::stoull(it->second);
}

// Reads a whole disk through the dispatch.
inline std::vector<uint8_t> ReadDisk(const DiskHandle* h)
{
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(h, &g);
    const uint64_t size = Geometry_GetTotalSectors(&g) * g.bytes_per_sector;
    std::vector<uint8_t> out(size);
    const uint32_t piece = 1u << 20;
    for (uint64_t at = 0; at < size; at += piece) {
        const uint32_t n = size - at < piece ? static_cast<uint32_t>(size - at) : piece;
        const int rc = Disk_Read(h, at, n, out.data() + at);
        if (rc != DISK_OK) {
            ADD_FAILURE() << "read at " << at << " answered " << rc;
            break;
        }
    }
    return out;
}

}  // namespace emutest
