// HFS+ and HFSX driver: a real volume made by xorriso against sleuthkit (with blocks freed in its
// allocation file), hand-built volumes whose allocation file spills into the extents-overflow
// B-tree, and damaged trees, headers and allocation files, all seen through disks of 256 to 4096
// bytes per sector.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/fs_driver_support.h"
#include "volume/hfsplus_fs.h"
#include "volume/used_map.h"
#include "volume/attached_volume.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::RandomBytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint32_t kSectorSizes[] = {256, 512, 1024, 4096};
const uint64_t kOffset = 65536;

typedef AttachedVolume<HfsPlusVolume, Fs_AttachHfsPlus, HfsPlus_Destroy> Attached;

std::string Builder()
{
    return "python3 " + Quote(std::string(VDX_TEST_SOURCE_DIR) + "/volume/hfsplus_fixtures.py");
}

// Builds a volume and answers its used blocks (from the builder's "U first count" lines).
std::vector<uint8_t> BuildVolume(const std::string& image, const std::string& options,
                                 uint32_t totalBlocks)
{
    std::string out;
    if (!Sh(Builder() + " volume " + Quote(image) + " " + options, &out)) {
        return {};
    }
    std::vector<uint8_t> used(totalBlocks, 0);
    std::istringstream in(out);
    std::string tag;
    uint64_t first = 0;
    uint64_t count = 0;
    while (in >> tag >> first >> count) {
        for (uint64_t b = first; b < first + count && b < totalBlocks; ++b) {
            used[b] = 1;
        }
    }
    return used;
}

// The expected bit of every B-byte sector: used when a used block, or a block past the volume,
// overlaps it.
std::vector<uint8_t> Expected(const std::vector<uint8_t>& usedBlocks, uint32_t blockSize,
                              uint32_t b, uint64_t sectors)
{
    std::vector<uint8_t> out(sectors, 0);
    for (uint64_t s = 0; s < sectors; ++s) {
        uint64_t lo = s * b / blockSize;
        uint64_t hi = ((s + 1) * b - 1) / blockSize;
        for (uint64_t k = lo; k <= hi; ++k) {
            if (k >= usedBlocks.size() || usedBlocks[k]) {
                out[s] = 1;
            }
        }
    }
    return out;
}

// sleuthkit's view of an HFS+ volume (blkls -l -e -f hfsp): allocation block states.
Oracle BlklsHfs(const std::string& image)
{
    Oracle o;
    std::string fsstat;
    if (!Sh("fsstat -f hfsp " + Quote(image), &fsstat)) {
        return o;
    }
    o.unitBytes = ParseFsstatNumber(fsstat, "Allocation Block Size: ");
    std::string listing;
    if (!Sh("blkls -f hfsp -l -e " + Quote(image), &listing)) {
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

}  // namespace

// Allocation files held by their inline extents, spilling into one leaf, and into several leaves
// under an index node: the map equals what the builder allocated at every sector size.
TEST(HfsPlusHandBuilt, MapEqualsTheAllocationAtEverySectorSize)
{
    struct Row {
        const char* options;
        uint32_t blockSize;
        uint32_t total;
    } rows[] = {
        {"--block-size 4096 --total 2048 --used 500:10 --used 1200:1", 4096, 2048},
        {"--block-size 512 --total 20000 --fragments 5 --used 9000:333", 512, 20000},
        {"--block-size 2048 --total 3000 --fragments 20 --used 2000:7", 2048, 3000},
        {"--block-size 4096 --total 4096 --fragments 60 --per-leaf 2 --used 3000:3", 4096, 4096},
        {"--block-size 1024 --total 9000 --fragments 30 --hfsx", 1024, 9000},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        std::string img = dir.file("h.img");
        std::vector<uint8_t> used = BuildVolume(img, r.options, r.total);
        ASSERT_EQ(used.size(), r.total);
        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE(b);
            ImageDisk d(img, dir.file("d.img"), b, kOffset, 4096);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount());
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.volume()->blockSize, r.blockSize);
            const bool hfsx = std::string(r.options).find("--hfsx") != std::string::npos;
            EXPECT_EQ(a.volume()->isHfsx, hfsx ? 1u : 0u);
            std::vector<uint8_t> bits = UsedBits(HfsPlus_FillUsedBits, a.region.object,
                                                 static_cast<uint32_t>(d.sectorCount()));
            std::vector<uint8_t> want = Expected(used, r.blockSize, b, d.sectorCount());
            uint64_t differ = 0;
            uint64_t freeCount = 0;
            for (size_t s = 0; s < bits.size(); ++s) {
                differ += bits[s] != want[s] ? 1 : 0;
                freeCount += bits[s] == 0 ? 1 : 0;
            }
            EXPECT_EQ(differ, 0u);
            EXPECT_GT(freeCount, 0u);
        }
    }
}

// Allocation block 0 is the most significant bit of the first byte: block 8 is free as built,
// block 1 once its bit (0x40 of byte 0) is cleared.
TEST(HfsPlusHandBuilt, BitZeroIsTheMostSignificantBit)
{
    TempDir dir;
    std::string img = dir.file("h.img");
    std::vector<uint8_t> used =
        BuildVolume(img, "--block-size 4096 --total 64 --used 2:6 --used 9:54", 64);
    ASSERT_FALSE(used.empty());
    ASSERT_TRUE(Sh(Builder() + " free " + Quote(img) + " 1 1"));
    ImageDisk d(img, dir.file("d.img"), 4096, kOffset);
    ASSERT_TRUE(d.ok());
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    ASSERT_EQ(a.rc, DISK_OK);
    std::vector<uint8_t> bits = UsedBits(HfsPlus_FillUsedBits, a.region.object, 64);
    std::vector<uint32_t> freeBlocks;
    for (uint32_t i = 0; i < 64; ++i) {
        if (!bits[i]) freeBlocks.push_back(i);
    }
    EXPECT_EQ(freeBlocks, (std::vector<uint32_t>{1, 8}));
    (void)used;
}

// Damaged volumes are refused with a result code, never a crash or a hang.
TEST(HfsPlusHandBuilt, DamagedVolumesAreRefused)
{
    struct Row {
        const char* options;
        int rc;
        const char* reason;
    } rows[] = {
        {"--fragments 20 --missing-record", DISK_ERR_FORMAT,
         "HFS+ extents tree: the fork ends short or the leaf chain loops"},
        {"--fragments 40 --per-leaf 2 --missing-record", DISK_ERR_FORMAT,
         "HFS+ extents tree: the fork ends short or the leaf chain loops"},
        {"--fragments 40 --per-leaf 2 --cyclic", DISK_ERR_FORMAT,
         "HFS+ extents tree: node of the wrong kind, height or record count"},
        {"--fragments 20 --bad-offset", DISK_ERR_FORMAT,
         "HFS+ extents tree: record key out of range"},
        {"--fragments 20 --overcount", DISK_ERR_FORMAT,
         "HFS+ extents tree: node of the wrong kind, height or record count"},
        {"--block-size 0", DISK_ERR_FORMAT, "HFS+ volume header: block size out of range"},
        {"--block-size 512 --total 100000 --short-fork", DISK_ERR_FORMAT,
         "HFS+ allocation file: shorter than the volume needs"},
        {"--short-logical", DISK_ERR_FORMAT, "HFS+ allocation file: shorter than the volume needs"},
        {"--unclean", DISK_ERR_FORMAT, "HFS+ volume header: the volume was not cleanly unmounted"},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        std::string img = dir.file("h.img");
        ASSERT_TRUE(Sh(Builder() + " volume " + Quote(img) + " " + r.options + " >/dev/null"));
        ImageDisk d(img, dir.file("d.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, r.rc);
        ExpectReason(r.reason);
    }
    // A volume larger than its partition.
    std::string img = dir.file("h.img");
    ASSERT_TRUE(Sh(Builder() + " volume " + Quote(img) + " >/dev/null"));
    ImageDisk d(img, dir.file("d.img"), 512, kOffset);
    ASSERT_TRUE(d.ok());
    Refusal_Clear();
    Attached a(d.disk(), d.firstSector(), d.sectorCount() - 1);
    EXPECT_EQ(a.rc, DISK_ERR_FORMAT);
    ExpectReason("HFS+ volume header: the volume is larger than its partition");
    // The same volume in a partition that holds it opens, recording nothing.
    Refusal_Clear();
    Attached whole(d.disk(), d.firstSector(), d.sectorCount());
    EXPECT_EQ(whole.rc, DISK_OK);
    ExpectReason(nullptr);
}

// xorriso's HFS+ volume is read as sleuthkit reads it: wholly allocated as written, and after
// blocks are cleared in its allocation file those blocks, and only free ones, come back free.
TEST(HfsPlusRealVolume, XorrisoVolumeAgreesWithSleuthkit)
{
    if (!HaveTool("xorriso") || !HaveTool("blkls") || !HaveTool("fsstat") || !HaveTool("mmls")) {
        GTEST_SKIP() << "xorriso or sleuthkit missing";
    }
    TempDir dir;
    ASSERT_TRUE(Sh("mkdir -p " + Quote(dir.file("tree"))));
    WriteFile(dir.file("tree/a.bin"), RandomBytes(300000, 3));
    WriteFile(dir.file("tree/b.bin"), RandomBytes(70000, 4));
    std::string iso = dir.file("h.iso");
    ASSERT_TRUE(
        Sh("xorriso -as mkisofs -hfsplus -o " + Quote(iso) + " " + Quote(dir.file("tree"))));
    std::string listing;
    ASSERT_TRUE(Sh("mmls " + Quote(iso), &listing));
    uint64_t start = 0;
    uint64_t length = 0;
    {
        std::istringstream in(listing);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("Apple_HFS") == std::string::npos) continue;
            std::istringstream f(line);
            std::string index, slot, s, e, l;
            f >> index >> slot >> s >> e >> l;
            start = std::stoull(s);
            length = std::stoull(l);
        }
    }
    ASSERT_GT(length, 0u);
    std::string vol = dir.file("v.img");
    ASSERT_TRUE(Sh("dd status=none if=" + Quote(iso) + " of=" + Quote(vol) +
                   " bs=512 skip=" + std::to_string(start) + " count=" + std::to_string(length)));

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        if (pass == 1) {
            ASSERT_TRUE(Sh(Builder() + " free " + Quote(vol) + " 100 40"));
        }
        Oracle blkls = BlklsHfs(vol);
        ASSERT_GT(blkls.unitBytes, 0u);
        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE(b);
            ImageDisk d(vol, dir.file("d.img"), b, kOffset, 4096);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount());
            ASSERT_EQ(a.rc, DISK_OK);
            std::vector<uint8_t> bits = UsedBits(HfsPlus_FillUsedBits, a.region.object,
                                                 static_cast<uint32_t>(d.sectorCount()));
            SubsetResult r = CheckSubset(bits, b, blkls);
            EXPECT_EQ(r.violations, 0u) << "first at sector " << r.firstViolation;
            if (pass == 0) {
                EXPECT_EQ(r.freeSectors, 0u);
            } else {
                // Every sector inside blocks 100 .. 139 is free.
                const uint64_t bs = blkls.unitBytes;
                for (uint64_t s = (100 * bs + b - 1) / b; (s + 1) * b <= 140 * bs; ++s) {
                    ASSERT_EQ(bits[s], 0) << s;
                }
                EXPECT_EQ(r.freeSectors * b, 40 * bs);
            }
        }
    }
}

// Through the map: an MBR partition holding the volume becomes a region of kind HFS+.
TEST(HfsPlusMap, PartitionIsRecognised)
{
    if (!HaveTool("sfdisk")) {
        GTEST_SKIP() << "sfdisk missing";
    }
    TempDir dir;
    std::string img = dir.file("h.img");
    std::vector<uint8_t> used =
        BuildVolume(img, "--block-size 4096 --total 1024 --fragments 12", 1024);
    ASSERT_FALSE(used.empty());
    std::string disk = dir.file("disk.img");
    ASSERT_TRUE(Sh("truncate -s 6M " + Quote(disk) +
                   " && printf 'label: dos\\n2048,8192,af\\n' | sfdisk -q " + Quote(disk) +
                   " && dd status=none conv=notrunc if=" + Quote(img) + " of=" + Quote(disk) +
                   " bs=512 seek=2048"));
    DiskHandle h;
    Disk_Init(&h);
    DiskGeometry g{};
    g.heads = 8;
    g.sectors_per_track = 32;
    g.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&g, 6 * 2048);
    ASSERT_EQ(Disk_OpenRaw(&h, disk.c_str(), true, 0, &g), DISK_OK);
    int rc = -1;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&h, &rc, &known);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(known, 1u);
    std::vector<uint8_t> bits(6 * 2048 / 8);
    ASSERT_EQ(UsedMap_GetUsedBits(map, 0, 6 * 2048, bits.data()), DISK_OK);
    uint64_t freeSectors = 0;
    for (uint32_t s = 0; s < 6 * 2048; ++s) {
        bool bit = (bits[s / 8] >> (s % 8)) & 1;
        bool want = s < 2048 || s >= 2048 + 8192 || used[(s - 2048) / 8];
        ASSERT_EQ(bit, want) << s;
        freeSectors += bit ? 0 : 1;
    }
    EXPECT_GT(freeSectors, 0u);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&h);
}
