// XFS driver: version 4 volumes made by mkfs.xfs from a protofile against xfs_db's free-space
// listing at every sector size, version 5 volumes refused, and damaged superblocks, group
// headers and free-space trees refused with a result code.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/fs_driver_support.h"
#include "volume/used_map.h"
#include "volume/xfs_fs.h"
#include "volume/attached_volume.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::RandomBytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint32_t kSectorSizes[] = {256, 512, 1024, 4096};
const uint64_t kOffset = 1048576;

typedef AttachedVolume<XfsVolume, Fs_AttachXfs, Xfs_Destroy> Attached;

bool HaveXfsTools() { return HaveTool("mkfs.xfs") && HaveTool("xfs_db"); }

// A 300 MB version 4 volume holding the files of `files` (name -> path), with 512-byte sectors.
bool MakeXfs(const std::string& image, const std::string& options,
             const std::vector<std::pair<std::string, std::string>>& files,
             const std::string& proto)
{
    std::string text = "boot\n0 0\nd--755 0 0\n";
    for (const auto& f : files) {
        text += f.first + " ---644 0 0 " + f.second + "\n";
    }
    text += "$\n";
    WriteFile(proto, std::vector<uint8_t>(text.begin(), text.end()));
    return Sh("rm -f " + Quote(image) + " && truncate -s 300M " + Quote(image) +
              " && mkfs.xfs -q -f " + options + " -p " + Quote(proto) + " " + Quote(image));
}

// xfs_db's free extents (freesp -d) as block states: blocks of group g at g x agblocks + b.
// freesp also lists the blocks of each group's free list, which the driver keeps used; their
// number and the blocks of the free-space trees go to the two cells.
Oracle FreespOracle(const std::string& image, uint32_t* blockSize, uint64_t* freeListBlocks,
                    uint64_t* treeFreeBlocks)
{
    Oracle o;
    std::string sb;
    if (!Sh("xfs_db -r -c 'sb 0' -c 'p blocksize agblocks dblocks' " + Quote(image), &sb)) {
        return o;
    }
    o.unitBytes = ParseFsstatNumber(sb, "blocksize = ");
    uint64_t agblocks = ParseFsstatNumber(sb, "agblocks = ");
    uint64_t dblocks = ParseFsstatNumber(sb, "dblocks = ");
    *blockSize = o.unitBytes;
    o.state.assign(dblocks, 'a');
    uint64_t agcount = 0;
    {
        std::string t;
        Sh("xfs_db -r -c 'sb 0' -c 'p agcount' " + Quote(image), &t);
        agcount = ParseFsstatNumber(t, "agcount = ");
    }
    *freeListBlocks = 0;
    *treeFreeBlocks = 0;
    for (uint64_t ag = 0; ag < agcount; ++ag) {
        std::string t;
        Sh("xfs_db -r -c 'agf " + std::to_string(ag) + "' -c 'p flcount freeblks' " + Quote(image),
           &t);
        *freeListBlocks += ParseFsstatNumber(t, "flcount = ");
        *treeFreeBlocks += ParseFsstatNumber(t, "freeblks = ");
    }
    std::string listing;
    if (!Sh("xfs_db -r -c 'freesp -d' " + Quote(image), &listing)) {
        return o;
    }
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        uint64_t ag, bno, len;
        if (!(f >> ag >> bno >> len)) {
            continue;
        }
        for (uint64_t b = ag * agblocks + bno; b < ag * agblocks + bno + len && b < dblocks; ++b) {
            o.state[b] = 'f';
        }
    }
    return o;
}

uint32_t ReadBe32At(const std::string& path, uint64_t offset)
{
    uint8_t b[4] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        EXPECT_EQ(std::fread(b, 1, 4, f), 4u);
        std::fclose(f);
    }
    return Bytes_LoadBe32(b);
}

void WriteBeAt(const std::string& path, uint64_t offset, uint32_t value, int bytes)
{
    uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    ASSERT_EQ(std::fwrite(b + 4 - bytes, 1, bytes, f), static_cast<size_t>(bytes));
    std::fclose(f);
}

int AttachImage(const std::string& image, const std::string& diskPath, uint32_t b)
{
    ImageDisk d(image, diskPath, b, kOffset, 8192);
    EXPECT_TRUE(d.ok());
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    return a.rc;
}

}  // namespace

// The map frees exactly the blocks xfs_db lists as free, in every allocation group, at every
// sector size; the files' content stays used.
TEST(XfsRealVolumes, FreeSectorsEqualXfsDbFreeSpace)
{
    if (!HaveXfsTools()) {
        GTEST_SKIP() << "xfsprogs missing";
    }
    TempDir dir;
    std::vector<uint8_t> small = RandomBytes(200 * 1024, 21);
    std::vector<uint8_t> large = RandomBytes(3 * 1024 * 1024, 22);
    WriteFile(dir.file("small.bin"), small);
    WriteFile(dir.file("large.bin"), large);
    std::vector<uint8_t> content = small;
    content.insert(content.end(), large.begin(), large.end());
    const char* rows[] = {"-m crc=0 -s size=512 -b size=4096", "-m crc=0 -s size=4096 -b size=4096",
                          "-m crc=0 -s size=512 -b size=1024 -d agcount=4 -l size=64m"};
    for (const char* options : rows) {
        SCOPED_TRACE(options);
        std::string img = dir.file("x.img");
        ASSERT_TRUE(
            MakeXfs(img, options,
                    {{"small.bin", dir.file("small.bin")}, {"large.bin", dir.file("large.bin")}},
                    dir.file("proto")));
        uint32_t blockSize = 0;
        uint64_t freeList = 0;  // blocks of the groups' free lists, kept used
        uint64_t treeFree = 0;
        Oracle freesp = FreespOracle(img, &blockSize, &freeList, &treeFree);
        ASSERT_GT(blockSize, 0u);
        std::vector<uint8_t> units = ContentUnits(ReadImage(img), content);
        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE(b);
            ImageDisk d(img, dir.file("d.img"), b, kOffset, 8192);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount());
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.volume()->blockSize, blockSize);
            std::vector<uint8_t> bits =
                UsedBits(Xfs_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
            SubsetResult r = CheckSubset(bits, b, freesp);
            EXPECT_EQ(r.violations, 0u) << "first at sector " << r.firstViolation;
            // Every block of the free-space trees is free; freesp lists a few more (the
            // groups' free lists), which stay used.
            uint64_t inside = 0;
            for (uint64_t s = 0; s < bits.size(); ++s) {
                uint64_t lo = s * b / blockSize;
                uint64_t hi = ((s + 1) * b - 1) / blockSize;
                bool allFree = true;
                for (uint64_t k = lo; k <= hi; ++k) {
                    allFree = allFree && k < freesp.state.size() && freesp.state[k] == 'f';
                }
                inside += allFree ? 1 : 0;
            }
            EXPECT_LE(r.freeSectors, inside);
            EXPECT_GT(freeList, 0u);
            if (b <= blockSize) {
                EXPECT_EQ(r.freeSectors * b, treeFree * blockSize);
            }
            EXPECT_GT(r.freeSectors * b, 200ull << 20);
            std::vector<uint64_t> touching;
            SectorsOfUnits(units, b, d.sectorCount(), nullptr, &touching);
            EXPECT_GE(touching.size(), content.size() / b);
            for (uint64_t s : touching) {
                ASSERT_EQ(bits[s], 1) << "file content at sector " << s << " called free";
            }
        }
    }
}

// The Debian default (version 5, checksummed trees) is refused: its sectors count as used.
TEST(XfsRealVolumes, VersionFiveIsRefused)
{
    if (!HaveXfsTools()) {
        GTEST_SKIP() << "xfsprogs missing";
    }
    TempDir dir;
    std::string img = dir.file("x.img");
    ASSERT_TRUE(MakeXfs(img, "-m crc=1", {}, dir.file("proto")));
    Refusal_Clear();
    EXPECT_EQ(AttachImage(img, dir.file("d.img"), 512), DISK_ERR_FS_CORRUPT);
    ExpectReason("XFS superblock: not a version 4 volume");
}

// Damaged structures give DISK_ERR_FS_CORRUPT: over-count records, a tree that points back at
// itself, free extents past their group or over its headers, bad block sizes, a free count the
// tree does not match and a missing group header.
TEST(XfsHostile, DamagedStructuresAreRefused)
{
    if (!HaveXfsTools()) {
        GTEST_SKIP() << "xfsprogs missing";
    }
    TempDir dir;
    std::string base = dir.file("base.img");
    ASSERT_TRUE(MakeXfs(base, "-m crc=0 -s size=512 -b size=4096", {}, dir.file("proto")));
    ASSERT_EQ(AttachImage(base, dir.file("d.img"), 512), DISK_OK);
    const uint32_t bs = ReadBe32At(base, 4);
    const uint32_t agblocks = ReadBe32At(base, 84);
    const uint32_t root = ReadBe32At(base, 512 + 16);
    const uint64_t rootAt = static_cast<uint64_t>(root) * bs;
    const uint32_t maxLeaf = (bs - 16) / 8;
    const uint32_t maxInner = (bs - 16) / 12;
    struct Patch {
        const char* what;
        uint64_t offset;
        uint32_t value;
        int bytes;
    };
    struct Case {
        std::vector<Patch> patches;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{{"records above maxrecs", rootAt + 6, maxLeaf + 1, 2}},
         "XFS free-space tree: more records than a leaf holds"},
        {{{"root made an inner node", rootAt + 4, 1, 2},
          {"one record", rootAt + 6, 1, 2},
          {"pointing at itself", rootAt + 16 + maxInner * 8, root, 4},
          {"two levels", 512 + 28, 2, 4}},
         "XFS free-space tree: block reached twice"},
        {{{"level above the header's", rootAt + 4, 1, 2}},
         "XFS free-space tree: block at the wrong level"},
        {{{"extent past the group", rootAt + 16 + 4, agblocks, 4}},
         "XFS free-space tree: free extent past the end of its group"},
        {{{"extent over the group's headers", rootAt + 16, 0, 4}},
         "XFS free-space tree: free extents out of order or over the group's headers"},
        {{{"block size 768", 4, 768, 4}}, "XFS superblock: block size out of range"},
        {{{"block size 0", 4, 0, 4}}, "XFS superblock: block size out of range"},
        {{{"sector size 256", 102, 256, 2}}, "XFS superblock: sector size out of range"},
        {{{"no allocation groups", 88, 0, 4}},
         "XFS superblock: allocation group size or count out of range"},
        {{{"one group too many", 88, ReadBe32At(base, 88) + 1, 4}},
         "XFS superblock: allocation groups do not cover the data blocks"},
        {{{"mkfs in progress", 126, 1, 1}}, "XFS superblock: mkfs did not finish"},
        {{{"external log", 48, 0, 4}, {"log start low half", 52, 0, 4}},
         "XFS superblock: the log is external or outside the volume"},
        {{{"free count off by one", 512 + 52, ReadBe32At(base, 512 + 52) + 1, 4}},
         "XFS free-space header: free block count does not match its tree"},
        {{{"group 1 superblock magic", static_cast<uint64_t>(agblocks) * bs, 0x58465343, 4}},
         "XFS allocation group superblock: no signature"},
        {{{"group 1 superblock group count", static_cast<uint64_t>(agblocks) * bs + 88,
           ReadBe32At(base, 88) + 1, 4}},
         "XFS allocation group superblock: differs from the primary one"},
        {{{"group 1 header magic", static_cast<uint64_t>(agblocks) * bs + 512, 0x58414747, 4}},
         "XFS free-space header: no signature"},
        {{{"group 1 header numbered 0", static_cast<uint64_t>(agblocks) * bs + 512 + 8, 0, 4}},
         "XFS free-space header: belongs to another group"},
        {{{"tree depth 9", 512 + 28, 9, 4}}, "XFS free-space header: tree depth out of range"},
        {{{"tree root past the group", 512 + 16, agblocks + 5, 4}},
         "XFS free-space tree: block outside its group"},
        {{{"tree block magic", rootAt, 0x41425443, 4}},
         "XFS free-space tree: block without signature"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.patches[0].what);
        std::string img = dir.file("x.img");
        ASSERT_TRUE(Sh("cp --sparse=always " + Quote(base) + " " + Quote(img)));
        for (const Patch& p : c.patches) {
            WriteBeAt(img, p.offset, p.value, p.bytes);
        }
        Refusal_Clear();
        EXPECT_EQ(AttachImage(img, dir.file("d.img"), 512), DISK_ERR_FS_CORRUPT);
        ExpectReason(c.reason);
    }
    // The untouched volume still opens after the refusals, recording nothing.
    Refusal_Clear();
    EXPECT_EQ(AttachImage(base, dir.file("d.img"), 512), DISK_OK);
    ExpectReason(nullptr);
}

// Through the map: a partition holding a version 4 volume is recognised and its free space
// left out.
TEST(XfsMap, PartitionIsRecognised)
{
    if (!HaveXfsTools() || !HaveTool("sfdisk")) {
        GTEST_SKIP() << "xfsprogs or sfdisk missing";
    }
    TempDir dir;
    std::string img = dir.file("x.img");
    ASSERT_TRUE(MakeXfs(img, "-m crc=0 -s size=512", {}, dir.file("proto")));
    std::string disk = dir.file("disk.img");
    const uint64_t sectors = 2048 + 300 * 2048 + 2048;
    ASSERT_TRUE(Sh("truncate -s " + std::to_string(sectors * 512) + " " + Quote(disk) +
                   " && printf 'label: dos\\n2048,614400,83\\n' | sfdisk -q " + Quote(disk) +
                   " && dd status=none conv=notrunc,sparse bs=1M if=" + Quote(img) +
                   " of=" + Quote(disk) + " oflag=seek_bytes seek=1048576"));
    DiskHandle h;
    Disk_Init(&h);
    DiskGeometry g{};
    g.heads = 8;
    g.sectors_per_track = 32;
    g.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&g, sectors);
    ASSERT_EQ(Disk_OpenRaw(&h, disk.c_str(), true, 0, &g), DISK_OK);
    int rc = -1;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&h, &rc, &known);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(known, 1u);
    std::vector<uint8_t> bits(sectors / 8 + 1);
    ASSERT_EQ(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(sectors), bits.data()), DISK_OK);
    uint64_t freeSectors = 0;
    for (uint64_t s = 0; s < sectors; ++s) {
        bool bit = (bits[s / 8] >> (s % 8)) & 1;
        if (s < 2048 || s >= 2048 + 614400) {
            ASSERT_TRUE(bit) << s;
        }
        freeSectors += bit ? 0 : 1;
    }
    EXPECT_GT(freeSectors, 400000u);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&h);
}

// The free-space trees are trusted only when the log was left clean, as xfs_logprint judges it:
// the unmount record last, nothing of the current cycle written past it.
TEST(XfsLog, OnlyACleanLogIsTrusted)
{
    if (!HaveXfsTools() || !HaveTool("xfs_logprint")) {
        GTEST_SKIP() << "xfsprogs missing";
    }
    TempDir dir;
    std::string base = dir.file("base.img");
    ASSERT_TRUE(MakeXfs(base, "-m crc=0 -s size=512 -b size=1024 -l size=64m -d agcount=4", {},
                        dir.file("proto")));
    auto logState = [](const std::string& img) {
        std::string out;
        Sh("xfs_logprint -t " + Quote(img), &out);
        if (out.find("state: <CLEAN>") != std::string::npos) return std::string("clean");
        if (out.find("state: <DIRTY>") != std::string::npos) return std::string("dirty");
        return out;
    };
    EXPECT_EQ(logState(base), "clean");
    ASSERT_EQ(AttachImage(base, dir.file("d.img"), 512), DISK_OK);
    // The log's place: its first block in group logstart >> agblklog.
    const uint32_t bs = ReadBe32At(base, 4);
    const uint32_t agblocks = ReadBe32At(base, 84);
    const uint64_t logStart =
        (static_cast<uint64_t>(ReadBe32At(base, 48)) << 32) | ReadBe32At(base, 52);
    const uint32_t agBlockLog = (ReadBe32At(base, 124) >> 24) & 0xFF;
    const uint64_t logAt =
        ((logStart >> agBlockLog) * agblocks + (logStart & ((1ull << agBlockLog) - 1))) * bs;
    ASSERT_EQ(ReadBe32At(base, logAt), 0xFEEDBABEu);
    struct Case {
        const char* what;
        uint64_t offset;
        uint32_t value;
        int bytes;
        bool dirtyForLogprint;
        const char* reason;
    } cases[] = {
        {"unmount flag cleared", logAt + 512 + 8, 0xAA00, 2, true,
         "XFS log: the last record is not an unmount record"},
        {"two operations", logAt + 40, 2, 4, false,
         "XFS log: the last record is not a lone record ending at the head"},
        {"a block of the current cycle past the head", logAt + 512 * 100, 1, 4, false,
         "XFS log: records written past its head"},
        {"header magic lost", logAt, 1, 4, false, "XFS log: no record header before its head"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string img = dir.file("x.img");
        ASSERT_TRUE(Sh("cp --sparse=always " + Quote(base) + " " + Quote(img)));
        WriteBeAt(img, c.offset, c.value, c.bytes);
        if (c.dirtyForLogprint) {
            EXPECT_EQ(logState(img), "dirty");
        }
        Refusal_Clear();
        EXPECT_EQ(AttachImage(img, dir.file("d.img"), 512), DISK_ERR_FS_CORRUPT);
        ExpectReason(c.reason);
    }
}
