// Helpers shared by the file-system driver tests: raw disks of any sector size holding a file
// system image at an offset, used-bit vectors taken in pieces, sleuthkit and dumpe2fs oracles,
// and the places where a file's content lies inside an image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace fstest {

using testsupport::Quote;
using testsupport::RunCommand;

inline std::string Fixtures()
{
    return std::string("python3 ") +
           Quote(std::string(VDX_TEST_SOURCE_DIR) + "/volume/fs_fixtures.py");
}

// Runs a command and fails the test (returning false) when it does not succeed.
inline bool Sh(const std::string& command, std::string* out = nullptr)
{
    std::string o;
    int status = RunCommand(command + " 2>&1", &o);
    if (out != nullptr) {
        *out = o;
    }
    EXPECT_EQ(status, 0) << command << "\n" << o;
    return status == 0;
}

inline uint64_t FileSize(const std::string& path)
{
    uint64_t size = 0;
    File_GetSizeByPath(path.c_str(), &size);
    return size;
}

// The whole file (read in one piece: images are tens of MiB).
inline std::vector<uint8_t> ReadImage(const std::string& path)
{
    std::vector<uint8_t> bytes(FileSize(path));
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (f != nullptr) {
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    return bytes;
}

// A raw disk of B-byte sectors whose bytes [offset, offset + image size) are the image and
// which ends `tail` bytes later (sparse). Closed on destruction.
class ImageDisk {
public:
    ImageDisk(const std::string& image, const std::string& diskPath, uint32_t sectorBytes,
              uint64_t offset, uint64_t tail = 0)
        : bytesPerSector_(sectorBytes), offset_(offset)
    {
        Disk_Init(&disk_);
        imageBytes_ = FileSize(image);
        uint64_t total = offset + imageBytes_ + tail;
        total -= total % sectorBytes;
        ok_ = Sh("rm -f " + Quote(diskPath) + " && truncate -s " + std::to_string(total) + " " +
                 Quote(diskPath) +
                 " && dd status=none conv=notrunc,sparse bs=4096 if=" + Quote(image) +
                 " of=" + Quote(diskPath) + " oflag=seek_bytes seek=" + std::to_string(offset));
        DiskGeometry g{};
        g.heads = 8;
        g.sectors_per_track = 32;
        g.bytes_per_sector = sectorBytes;
        Geometry_SetTotalSectors(&g, total / sectorBytes);
        if (ok_) {
            int rc = Disk_OpenRaw(&disk_, diskPath.c_str(), true, 0, &g);
            EXPECT_EQ(rc, DISK_OK);
            ok_ = rc == DISK_OK;
        }
    }
    ~ImageDisk() { Disk_Close(&disk_); }
    ImageDisk(const ImageDisk&) = delete;
    ImageDisk& operator=(const ImageDisk&) = delete;

    bool ok() const { return ok_; }
    const DiskHandle* disk() const { return &disk_; }
    uint32_t bytesPerSector() const { return bytesPerSector_; }
    uint64_t firstSector() const { return offset_ / bytesPerSector_; }
    // Sectors of the partition: the image rounded up to whole sectors.
    uint64_t sectorCount() const { return (imageBytes_ + bytesPerSector_ - 1) / bytesPerSector_; }

private:
    DiskHandle disk_;
    uint32_t bytesPerSector_;
    uint64_t offset_;
    uint64_t imageBytes_ = 0;
    bool ok_ = false;
};

// Used bits of relative sectors 0 .. count - 1 taken through a fill slot in uneven pieces at odd
// bit offsets, checked against one call for the whole range. 1 = used.
inline std::vector<uint8_t> UsedBits(FsUsedBitsFn fill, void* object, uint32_t count)
{
    std::vector<uint8_t> whole((count + 7) / 8 + 1, 0xA5);
    EXPECT_EQ(fill(object, 0, count, whole.data(), 0), DISK_OK);
    std::vector<uint8_t> out(count);
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = (whole[i / 8] >> (i % 8)) & 1;
    }
    // Pieces of 1, 7, 300, 4093 ... sectors placed at bit offset 5 + the sector number.
    const uint32_t pieceSizes[] = {1, 7, 300, 4093, 13};
    std::vector<uint8_t> pieced((count + 5 + 7) / 8 + 1, 0x5A);
    uint32_t s = 0;
    for (uint32_t k = 0; s < count; ++k) {
        uint32_t piece = pieceSizes[k % 5];
        if (piece > count - s) {
            piece = count - s;
        }
        EXPECT_EQ(fill(object, s, piece, pieced.data(), 5 + s), DISK_OK);
        s += piece;
    }
    uint32_t differ = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t b = 5 + i;
        if (((pieced[b / 8] >> (b % 8)) & 1) != out[i]) {
            ++differ;
        }
    }
    EXPECT_EQ(differ, 0u) << "pieced fill differs from the whole fill";
    // The bits around the pieces stay untouched.
    EXPECT_EQ(pieced[0] & 0x1F, 0x5A & 0x1F);
    return out;
}

// Per-unit allocation of an independent tool: unitBytes and 'a' / 'f' by unit address.
struct Oracle {
    uint32_t unitBytes = 0;
    std::vector<char> state;
};

inline uint32_t ParseFsstatNumber(const std::string& fsstat, const std::string& label)
{
    size_t at = fsstat.find(label);
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<uint32_t>(std::stoul(fsstat.substr(at + label.size())));
}

// sleuthkit's blkls -l -e: every unit with its allocation state. The unit is the sector of a
// FAT volume ("Sector Size:") and the block of an ext volume ("Block Size:").
inline Oracle Blkls(const std::string& image, const std::string& sizeLabel)
{
    Oracle o;
    std::string fsstat;
    if (!Sh("fsstat " + Quote(image), &fsstat)) {
        return o;
    }
    o.unitBytes = ParseFsstatNumber(fsstat, sizeLabel);
    std::string listing;
    if (!Sh("blkls -l -e " + Quote(image), &listing)) {
        return o;
    }
    std::istringstream in(listing);
    std::string line;
    bool body = false;
    while (std::getline(in, line)) {
        if (!body) {
            body = line.rfind("addr|", 0) == 0;
            continue;
        }
        size_t bar = line.find('|');
        if (bar == std::string::npos || bar + 1 >= line.size()) {
            continue;
        }
        uint64_t addr = std::stoull(line.substr(0, bar));
        if (addr >= o.state.size()) {
            o.state.resize(addr + 1, '?');
        }
        o.state[addr] = line[bar + 1];
    }
    return o;
}

// dumpe2fs: free blocks from the "Free blocks:" lines of every group.
inline Oracle Dumpe2fs(const std::string& image)
{
    Oracle o;
    std::string text;
    if (!Sh("dumpe2fs " + Quote(image), &text)) {
        return o;
    }
    o.unitBytes = ParseFsstatNumber(text, "Block size:");
    uint64_t blocks = ParseFsstatNumber(text, "Block count:");
    o.state.assign(blocks, 'a');
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("  Free blocks: ");
        if (at != 0) {
            continue;
        }
        std::string list = line.substr(15);
        std::istringstream items(list);
        std::string item;
        while (std::getline(items, item, ',')) {
            size_t p = item.find_first_not_of(' ');
            if (p == std::string::npos) {
                continue;
            }
            item = item.substr(p);
            size_t dash = item.find('-');
            uint64_t lo = std::stoull(item.substr(0, dash));
            uint64_t hi = dash == std::string::npos ? lo : std::stoull(item.substr(dash + 1));
            for (uint64_t b = lo; b <= hi && b < blocks; ++b) {
                o.state[b] = 'f';
            }
        }
    }
    return o;
}

// Counts the sectors the map calls free although the oracle does not call every unit they
// touch free (must be 0), and the sectors called free.
struct SubsetResult {
    uint64_t violations = 0;
    uint64_t freeSectors = 0;
    uint64_t firstViolation = UINT64_MAX;
};

inline SubsetResult CheckSubset(const std::vector<uint8_t>& used, uint32_t sectorBytes,
                                const Oracle& oracle)
{
    SubsetResult r;
    for (uint64_t s = 0; s < used.size(); ++s) {
        if (used[s]) {
            continue;
        }
        ++r.freeSectors;
        uint64_t lo = s * sectorBytes / oracle.unitBytes;
        uint64_t hi = ((s + 1) * sectorBytes - 1) / oracle.unitBytes;
        for (uint64_t u = lo; u <= hi; ++u) {
            if (u >= oracle.state.size() || oracle.state[u] != 'f') {
                if (r.firstViolation == UINT64_MAX) {
                    r.firstViolation = s;
                }
                ++r.violations;
                break;
            }
        }
    }
    return r;
}

// Free units of the oracle, in bytes.
inline uint64_t OracleFreeBytes(const Oracle& o)
{
    uint64_t n = 0;
    for (char c : o.state) {
        n += c == 'f' ? 1 : 0;
    }
    return n * o.unitBytes;
}

// Which 512-byte units of an image hold a 512-byte chunk of content (content of a multiple of
// 512 bytes of random data, so that every chunk is unique).
inline std::vector<uint8_t> ContentUnits(const std::vector<uint8_t>& image,
                                         const std::vector<uint8_t>& content)
{
    std::unordered_map<std::string, size_t> chunks;
    for (size_t at = 0; at + 512 <= content.size(); at += 512) {
        chunks.emplace(std::string(reinterpret_cast<const char*>(&content[at]), 32), at);
    }
    std::vector<uint8_t> units(image.size() / 512, 0);
    for (size_t u = 0; u < units.size(); ++u) {
        const uint8_t* p = &image[u * 512];
        auto it = chunks.find(std::string(reinterpret_cast<const char*>(p), 32));
        if (it != chunks.end() && std::memcmp(p, &content[it->second], 512) == 0) {
            units[u] = 1;
        }
    }
    return units;
}

// Sectors (of B bytes) lying wholly in marked 512-byte units, and those touching one.
inline void SectorsOfUnits(const std::vector<uint8_t>& units, uint32_t sectorBytes,
                           uint64_t sectorCount, std::vector<uint64_t>* inside,
                           std::vector<uint64_t>* touching)
{
    for (uint64_t s = 0; s < sectorCount; ++s) {
        uint64_t lo = s * sectorBytes / 512;
        uint64_t hi = ((s + 1) * sectorBytes - 1) / 512;
        bool all = true;
        bool any = false;
        for (uint64_t u = lo; u <= hi; ++u) {
            bool m = u < units.size() && units[u] != 0;
            all = all && m;
            any = any || m;
        }
        if (all && inside != nullptr) {
            inside->push_back(s);
        }
        if (any && touching != nullptr) {
            touching->push_back(s);
        }
    }
}

// The reason recorded by the last refusal since Refusal_Clear is `expected` (nullptr: none).
inline void ExpectReason(const char* expected)
{
    const char* got = Refusal_Get();
    if (expected == nullptr) {
        EXPECT_EQ(got, nullptr) << got;
        return;
    }
    ASSERT_NE(got, nullptr) << "no reason recorded, expected: " << expected;
    EXPECT_STREQ(got, expected);
}

}  // namespace fstest
