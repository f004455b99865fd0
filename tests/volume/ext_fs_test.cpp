// ext2/ext3/ext4 driver: real volumes made by mke2fs and changed by debugfs against dumpe2fs and
// sleuthkit, group consistency, partial and single groups, and hostile superblocks and
// descriptors, all seen through disks of 256 to 4096 bytes per sector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/ext_fs.h"
#include "volume/fs_driver_support.h"
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

typedef AttachedVolume<ExtVolume, Fs_AttachExt, Ext_Destroy> Attached;

bool HaveExtTools()
{
    return HaveTool("mke2fs") && HaveTool("dumpe2fs") && HaveTool("debugfs") &&
           HaveTool("e2fsck") && HaveTool("blkls") && HaveTool("fsstat");
}

// mke2fs quietly, without a lazily initialised inode table (so the image is complete at once).
std::string Mke2fs(const std::string& options, const std::string& image, const std::string& size)
{
    return "rm -f " + Quote(image) + " && mke2fs -q -F -E lazy_itable_init=0 " + options + " " +
           Quote(image) + " " + size;
}

// Used bits of a whole attached volume seen through B-byte sectors.
std::vector<uint8_t> MapOf(const std::string& image, const std::string& diskPath, uint32_t b,
                           int* rc)
{
    ImageDisk d(image, diskPath, b, kOffset, 8192);
    EXPECT_TRUE(d.ok());
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    *rc = a.rc;
    if (a.rc != DISK_OK) {
        return {};
    }
    return UsedBits(Ext_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
}

// Sectors of B bytes covering blocks [lo, hi] of a volume.
void BlockSectors(uint64_t lo, uint64_t hi, uint32_t blockSize, uint32_t b, uint64_t* first,
                  uint64_t* end)
{
    *first = lo * blockSize / b;
    *end = ((hi + 1) * blockSize + b - 1) / b;
}

}  // namespace

// The acceptance rule over real volumes: every sector called free is free for dumpe2fs and for
// sleuthkit, a file removed by debugfs comes back free, a kept file stays used.
TEST(ExtRealVolumes, FreeSectorsAreFreeForDumpe2fsAndSleuthkit)
{
    if (!HaveExtTools()) {
        GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
    }
    struct Row {
        const char* options;
        uint32_t blockSize;
        const char* size;
        bool exact;  // no uninitialised groups: the map frees exactly what dumpe2fs frees
    } rows[] = {
        {"-t ext2 -b 1024", 1024, "24M", true},
        {"-t ext3 -b 2048", 2048, "24M", true},
        {"-t ext3 -b 4096", 4096, "32M", true},
        {"-t ext4 -b 1024 -O ^64bit", 1024, "24M", false},
        {"-t ext4 -b 2048 -O 64bit", 2048, "32M", false},
        {"-t ext4 -b 4096", 4096, "48M", false},
    };
    TempDir dir;
    std::vector<uint8_t> keep = RandomBytes(96 * 1024, 11);
    std::vector<uint8_t> gone = RandomBytes(160 * 1024, 12);
    ASSERT_TRUE(Sh("mkdir -p " + Quote(dir.file("tree"))));
    WriteFile(dir.file("tree/keep.bin"), keep);
    WriteFile(dir.file("tree/gone.bin"), gone);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        std::string img = dir.file("v.img");
        ASSERT_TRUE(
            Sh(Mke2fs(std::string(r.options) + " -d " + Quote(dir.file("tree")), img, r.size)));
        std::vector<uint8_t> before = ReadImage(img);
        ASSERT_TRUE(Sh("debugfs -w -R 'rm gone.bin' " + Quote(img)));
        ASSERT_TRUE(Sh("e2fsck -fn " + Quote(img)));
        Oracle dumpe2fs = Dumpe2fs(img);
        Oracle blkls = Blkls(img, "Block Size: ");
        ASSERT_EQ(dumpe2fs.unitBytes, r.blockSize);
        ASSERT_EQ(blkls.unitBytes, r.blockSize);
        std::vector<uint8_t> goneUnits = ContentUnits(before, gone);
        std::vector<uint8_t> keepUnits = ContentUnits(before, keep);

        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE("disk sector " + std::to_string(b));
            ImageDisk d(img, dir.file("disk.img"), b, kOffset, 8192);
            ASSERT_TRUE(d.ok());
            // The partition runs 2 sectors past the volume: they are used.
            Attached a(d.disk(), d.firstSector(), d.sectorCount() + 2);
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.region.kind, FS_KIND_EXT);
            EXPECT_EQ(a.region.first, d.firstSector());
            EXPECT_EQ(a.volume()->blockSize, r.blockSize);
            EXPECT_EQ(a.volume()->firstDataBlock, r.blockSize == 1024 ? 1u : 0u);
            const uint32_t count = static_cast<uint32_t>(d.sectorCount() + 2);
            std::vector<uint8_t> used = UsedBits(Ext_FillUsedBits, a.region.object, count);
            EXPECT_TRUE(used[count - 1]);
            EXPECT_TRUE(used[count - 2]);
            used.resize(d.sectorCount());

            SubsetResult s = CheckSubset(used, b, dumpe2fs);
            EXPECT_EQ(s.violations, 0u) << "dumpe2fs, first at sector " << s.firstViolation;
            SubsetResult t = CheckSubset(used, b, blkls);
            EXPECT_EQ(t.violations, 0u) << "blkls, first at sector " << t.firstViolation;
            if (r.exact && b <= r.blockSize) {
                EXPECT_EQ(s.freeSectors * b, OracleFreeBytes(dumpe2fs));
            } else {
                EXPECT_GT(s.freeSectors * b, OracleFreeBytes(dumpe2fs) / 2);
            }
            // The boot block and the superblock are used.
            for (uint64_t sec = 0; sec < 2048 / b + 1; ++sec) {
                EXPECT_TRUE(used[sec]) << sec;
            }

            std::vector<uint64_t> goneInside;
            std::vector<uint64_t> keepTouching;
            SectorsOfUnits(goneUnits, b, d.sectorCount(), &goneInside, nullptr);
            SectorsOfUnits(keepUnits, b, d.sectorCount(), nullptr, &keepTouching);
            ASSERT_GE(goneInside.size() * b, gone.size() / 2);
            ASSERT_GE(keepTouching.size() * b, keep.size());
            for (uint64_t sec : goneInside) {
                EXPECT_FALSE(used[sec]) << "removed file sector " << sec;
            }
            for (uint64_t sec : keepTouching) {
                EXPECT_TRUE(used[sec]) << "kept file sector " << sec;
            }
        }
    }
}

// A group whose free-block count disagrees with its bitmap is wholly used; the other groups are
// unchanged. A group with an uninitialised bitmap that the descriptor does not call wholly free
// is wholly used as well.
TEST(ExtGroups, DisagreeingAndUninitialisedGroupsAreUsed)
{
    if (!HaveExtTools()) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    TempDir dir;
    std::string img = dir.file("g.img");
    // 1 KiB blocks, 3 groups: 1-8192, 8193-16384, 16385-24575.
    ASSERT_TRUE(Sh(Mke2fs("-t ext2 -b 1024", img, "24M")));
    for (uint32_t b : {512u, 4096u}) {
        SCOPED_TRACE(b);
        int rc = 0;
        std::vector<uint8_t> good = MapOf(img, dir.file("d.img"), b, &rc);
        ASSERT_EQ(rc, DISK_OK);
        std::string bad = dir.file("bad.img");
        ASSERT_TRUE(Sh("cp " + Quote(img) + " " + Quote(bad) + " && debugfs -w -R " +
                       "'set_bg 1 free_blocks_count 99' " + Quote(bad)));
        std::vector<uint8_t> patched = MapOf(bad, dir.file("d.img"), b, &rc);
        ASSERT_EQ(rc, DISK_OK);
        ASSERT_EQ(patched.size(), good.size());
        uint64_t lo;
        uint64_t end;
        BlockSectors(8193, 16384, 1024, b, &lo, &end);
        uint64_t freedBefore = 0;
        for (uint64_t s = 0; s < good.size(); ++s) {
            if (s >= lo && s < end) {
                EXPECT_TRUE(patched[s]) << s;
                freedBefore += good[s] ? 0 : 1;
            } else {
                EXPECT_EQ(patched[s], good[s]) << s;
            }
        }
        EXPECT_GT(freedBefore, 0u);
    }

    // ext4 with an uninitialised group: group 1 holds a superblock backup and is BLOCK_UNINIT.
    // Its backup and descriptor blocks are used and the rest of it is free; once its free count
    // disagrees with that, the whole group is used.
    std::string e4 = dir.file("e4.img");
    ASSERT_TRUE(Sh(Mke2fs("-t ext4 -b 1024 -O ^flex_bg", e4, "24M")));
    std::string dump;
    ASSERT_TRUE(Sh("dumpe2fs " + Quote(e4) + " | grep -A3 '^Group 1:'", &dump));
    if (dump.find("BLOCK_UNINIT") == std::string::npos) {
        GTEST_SKIP() << "mke2fs initialised group 1: " << dump;
    }
    Oracle oracle = Dumpe2fs(e4);
    int rc = 0;
    std::vector<uint8_t> used = MapOf(e4, dir.file("d.img"), 1024, &rc);
    ASSERT_EQ(rc, DISK_OK);
    uint64_t freeInGroup = 0;
    for (uint64_t s = 8193; s <= 16384; ++s) {
        EXPECT_EQ(used[s] != 0, oracle.state[s] != 'f') << s;
        freeInGroup += used[s] ? 0 : 1;
    }
    EXPECT_TRUE(used[8193]);  // the superblock backup
    EXPECT_GT(freeInGroup, 7000u);
    std::string bad4 = dir.file("bad4.img");
    ASSERT_TRUE(Sh("cp " + Quote(e4) + " " + Quote(bad4) + " && debugfs -w -R " +
                   "'set_bg 1 free_blocks_count 8000' " + Quote(bad4)));
    used = MapOf(bad4, dir.file("d.img"), 1024, &rc);
    ASSERT_EQ(rc, DISK_OK);
    for (uint64_t s = 8193; s <= 16384; ++s) {
        ASSERT_TRUE(used[s]) << s;
    }
}

namespace {

// The block size, first data block and block count of an ext image, from dumpe2fs -h.
struct ExtFacts {
    uint32_t blockSize = 0;
    uint64_t blockCount = 0;
    uint32_t uninitGroups = 0;
};

// Opens an image directly as a raw disk of 512-byte sectors (large sparse images are not
// copied).
struct DirectDisk {
    DiskHandle disk;
    uint64_t sectors = 0;
    int rc;
    explicit DirectDisk(const std::string& path)
    {
        Disk_Init(&disk);
        sectors = FileSize(path) / 512;
        DiskGeometry g{};
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, sectors);
        rc = Disk_OpenRaw(&disk, path.c_str(), true, 0, &g);
    }
    ~DirectDisk() { Disk_Close(&disk); }
};

}  // namespace

// The free space of every group is known, and never a used block: over a table of mke2fs
// layouts (block sizes, flex_bg sizes, sparse_super and sparse_super2, resize_inode, 64-bit,
// 100 MiB to 64 GiB) the blocks the map calls free are exactly dumpe2fs's free blocks, e2fsck
// finds the volume clean, every block of every file is used, and debugfs finds no inode for a
// sample of the free blocks. The smaller volumes are made over random bytes, so the bitmap
// blocks of uninitialised groups hold garbage, as on a reused disk.
TEST(ExtLayouts, EveryGroupsFreeSpaceIsKnownAndNeverUsed)
{
    if (!HaveExtTools()) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    struct Row {
        const char* options;
        const char* size;
        bool randomFill;
    } rows[] = {
        {"-b 1024 -O ^flex_bg", "100M", true},
        {"-b 1024 -O flex_bg -G 16 -O sparse_super2 -O ^resize_inode -O 64bit", "100M", true},
        {"-b 2048 -O flex_bg -G 1 -O 64bit", "160M", true},
        {"-b 2048 -O ^flex_bg,^sparse_super,^resize_inode -O ^64bit", "160M", true},
        {"-b 4096 -O flex_bg -G 16 -O 64bit", "512M", true},
        {"-b 4096 -O flex_bg -G 64 -O sparse_super2 -O ^64bit", "1G", false},
        {"-b 4096 -O ^flex_bg -O ^64bit", "4G", false},
        {"-b 1024 -O flex_bg -G 64 -O 64bit", "4G", false},
        {"-b 2048 -O flex_bg -G 64 -O sparse_super2,^resize_inode -O 64bit", "16G", false},
        {"-b 4096 -O flex_bg -G 16 -O 64bit", "64G", false},
        {"-b 1024 -O flex_bg -G 16 -O ^64bit", "64G", false},
    };
    TempDir dir;
    ASSERT_TRUE(Sh("mkdir -p " + Quote(dir.file("tree/sub"))));
    WriteFile(dir.file("tree/big.bin"), RandomBytes(3 * 1024 * 1024 + 1234, 21));
    WriteFile(dir.file("tree/mid.bin"), RandomBytes(200 * 1024, 22));
    WriteFile(dir.file("tree/sub/small.bin"), RandomBytes(5000, 23));
    const char* files[] = {"/big.bin", "/mid.bin", "/sub/small.bin"};
    std::string img = dir.file("l.img");
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.options) + " " + r.size);
        std::string make = "rm -f " + Quote(img) + " && ";
        if (r.randomFill) {
            make += "head -c " + std::string(r.size) + "B /dev/urandom > " + Quote(img) + " && ";
        }
        // nodiscard keeps the random bytes: mke2fs would otherwise punch out the whole file.
        make += "mke2fs -q -F -t ext4 -E nodiscard " + std::string(r.options) + " -d " +
                Quote(dir.file("tree")) + " " + Quote(img) + " " + r.size;
        ASSERT_TRUE(Sh(make));
        ASSERT_TRUE(Sh("e2fsck -fn " + Quote(img)));
        std::string header;
        ASSERT_TRUE(
            Sh("dumpe2fs " + Quote(img) + " 2>/dev/null | grep -c BLOCK_UNINIT || true", &header));
        EXPECT_GT(std::stoul(header), 0u) << "no uninitialised group to test";
        Oracle oracle = Dumpe2fs(img);
        ASSERT_GT(oracle.unitBytes, 0u);

        DirectDisk d(img);
        ASSERT_EQ(d.rc, DISK_OK);
        Attached a(&d.disk, 0, d.sectors);
        ASSERT_EQ(a.rc, DISK_OK);
        const ExtVolume* v = a.volume();
        ASSERT_EQ(v->blockSize, oracle.unitBytes);
        ASSERT_EQ(v->blockCount, oracle.state.size());
        std::vector<uint8_t> used(v->blockCount);
        uint64_t mapFree = 0;
        uint64_t oracleFree = 0;
        uint64_t violations = 0;
        uint64_t firstViolation = 0;
        for (uint64_t b = 0; b < v->blockCount; ++b) {
            used[b] = Ext_IsByteRangeUsed(v, b * v->blockSize, v->blockSize) ? 1 : 0;
            oracleFree += oracle.state[b] == 'f' ? 1 : 0;
            if (!used[b]) {
                ++mapFree;
                if (oracle.state[b] != 'f' && violations++ == 0) {
                    firstViolation = b;
                }
            }
        }
        EXPECT_EQ(violations, 0u) << "first used block called free: " << firstViolation;
        EXPECT_EQ(mapFree, oracleFree);

        // Every block of every file is used.
        for (const char* f : files) {
            std::string list;
            ASSERT_TRUE(
                Sh("(debugfs -R 'blocks " + std::string(f) + "' " + Quote(img) + " 2>/dev/null)",
                   &list));
            std::istringstream in(list);
            uint64_t blk = 0;
            size_t n = 0;
            while (in >> blk) {
                ASSERT_LT(blk, used.size());
                EXPECT_TRUE(used[blk]) << f << " block " << blk;
                ++n;
            }
            EXPECT_GT(n, 0u) << f;
        }
        // debugfs finds no inode owning the edges of the free runs (next to used blocks).
        std::vector<uint64_t> edges;
        for (uint64_t b = 0; b < used.size(); ++b) {
            if (!used[b] && (b == 0 || used[b - 1] || b + 1 == used.size() || used[b + 1])) {
                edges.push_back(b);
            }
        }
        std::string args;
        const size_t step = edges.size() / 300 + 1;
        size_t asked = 0;
        for (size_t i = 0; i < edges.size(); i += step) {
            args += " " + std::to_string(edges[i]);
            ++asked;
        }
        ASSERT_GT(asked, 0u);
        std::string owners;
        ASSERT_TRUE(
            Sh("(debugfs -R 'icheck" + args + "' " + Quote(img) + " 2>/dev/null)", &owners));
        size_t notFound = 0;
        for (size_t at = owners.find("<block not found>"); at != std::string::npos;
             at = owners.find("<block not found>", at + 1)) {
            ++notFound;
        }
        EXPECT_EQ(notFound, asked) << owners.substr(0, 2000);
    }
    Sh("rm -f " + Quote(img));
}

// One group for 8193 blocks of 1 KiB (block 0 lies before the first data block), a short last
// group, and the blocks of a volume that ends inside a disk sector.
TEST(ExtGroups, SingleAndPartialGroups)
{
    if (!HaveExtTools()) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    TempDir dir;
    struct Row {
        const char* options;
        const char* blocks;
        uint32_t groups;
    } rows[] = {
        {"-t ext2 -b 1024", "8193", 1},
        {"-t ext2 -b 1024", "17385", 3},  // a last group of 1000 blocks
        {"-t ext4 -b 4096 -O ^resize_inode", "9001", 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.options) + " " + r.blocks);
        std::string img = dir.file("p.img");
        ASSERT_TRUE(Sh(Mke2fs(r.options, img, r.blocks)));
        std::string groups;
        ASSERT_TRUE(
            Sh("dumpe2fs " + Quote(img) + " 2>/dev/null | grep -c '^Group [0-9]'", &groups));
        ASSERT_EQ(std::stoul(groups), r.groups);
        Oracle oracle = Dumpe2fs(img);
        for (uint32_t b : {512u, 1024u, 4096u}) {
            SCOPED_TRACE(b);
            ImageDisk d(img, dir.file("d.img"), b, kOffset, 8192);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount());
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.volume()->blockCount, std::stoul(r.blocks));
            std::vector<uint8_t> used =
                UsedBits(Ext_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
            SubsetResult s = CheckSubset(used, b, oracle);
            EXPECT_EQ(s.violations, 0u) << s.firstViolation;
            EXPECT_GT(s.freeSectors * b, OracleFreeBytes(oracle) / 2);
            // The last free block of the volume is free in the map when sectors fit blocks.
            uint64_t lastFree = oracle.state.size();
            while (lastFree > 0 && oracle.state[lastFree - 1] != 'f') {
                --lastFree;
            }
            ASSERT_GT(lastFree, 0u);
            if (b <= oracle.unitBytes) {
                EXPECT_FALSE(used[(lastFree - 1) * oracle.unitBytes / b]);
            }
            // A disk sector reaching past the volume's end is used.
            uint64_t volumeBytes = static_cast<uint64_t>(a.volume()->blockCount) * oracle.unitBytes;
            if (volumeBytes % b != 0) {
                EXPECT_TRUE(used[volumeBytes / b]);
            }
        }
    }
}

// Hostile superblocks and descriptors: refused with a result code, never read past a buffer.
TEST(ExtHostile, SuperblocksAndDescriptorsAreRefused)
{
    if (!HaveTool("mke2fs")) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    struct Patch {
        const char* what;
        uint32_t offset;  // from the volume start
        uint32_t size;    // 1, 2 or 4 bytes, little-endian
        uint32_t value;
        bool orValue;  // OR the value into the field instead of storing it
        int rc;
        const char* reason;  // the refusal recorded, nullptr when the volume is accepted
    };
    const uint32_t sb = 1024;
    // Base 1: 1 KiB blocks, 64-bit descriptors of 64 bytes at block 2 (byte 2048).
    const Patch patches1k[] = {
        {"magic", sb + 56, 2, 0xEF54, false, DISK_ERR_FS_CORRUPT, "ext superblock: no signature"},
        {"block size 8 KiB", sb + 24, 4, 3, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: block size out of range"},
        {"block size log 2^32 - 1", sb + 24, 4, 0xFFFFFFFF, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: block size out of range"},
        {"blocks per group 0", sb + 32, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: blocks per group out of range"},
        {"blocks per group 12", sb + 32, 4, 12, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: blocks per group out of range"},
        {"blocks per group beyond one bitmap block", sb + 32, 4, 8200, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: blocks per group out of range"},
        {"first data block 0 with 1 KiB blocks", sb + 20, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: first data block does not suit the block size"},
        {"first data block 2", sb + 20, 4, 2, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: first data block does not suit the block size"},
        {"block count 0", sb + 4, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: no data blocks"},
        {"block count 1", sb + 4, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: no data blocks"},
        {"2^32 - 1 blocks in an 8 MiB partition", sb + 4, 4, 0xFFFFFFFF, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: the volume is larger than its partition"},
        {"needs journal recovery", sb + 96, 4, EXT_INCOMPAT_RECOVER, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: the journal needs recovery"},
        {"not cleanly unmounted", sb + 58, 2, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: the volume was not cleanly unmounted"},
        {"errors recorded", sb + 58, 2, 3, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: errors are recorded"},
        {"meta_bg", sb + 96, 4, EXT_INCOMPAT_META_BG, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: meta_bg is not supported"},
        {"external journal device", sb + 96, 4, EXT_INCOMPAT_JOURNAL_DEV, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: an external journal, not a file system"},
        {"unknown incompatible feature", sb + 96, 4, 0x40000000, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: unknown incompatible feature"},
        {"bigalloc", sb + 100, 4, EXT_RO_COMPAT_BIGALLOC, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: bigalloc is not supported"},
        {"more than 2^32 blocks", sb + 336, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: more than 2^32 blocks"},
        {"descriptor size 0", sb + 254, 2, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: group descriptor size out of range"},
        {"descriptor size 48", sb + 254, 2, 48, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: group descriptor size out of range"},
        {"descriptor size 2048", sb + 254, 2, 2048, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: group descriptor size out of range"},
        {"bitmap block 0", 2048 + 0, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: block bitmap outside the volume"},
        {"bitmap block past the volume", 2048 + 0, 4, 9000, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: block bitmap outside the volume"},
        {"bitmap block high half", 2048 + 32, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: a high half is not zero"},
        {"free count high half", 2048 + 44, 2, 1, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: a high half is not zero"},
        {"inode bitmap block 0", 2048 + 4, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: inode bitmap outside the volume"},
        {"inode bitmap high half", 2048 + 36, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: a high half is not zero"},
        {"inode table past the volume", 2048 + 8, 4, 8190, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: inode table outside the volume"},
        {"inode table high half", 2048 + 40, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: a high half is not zero"},
        {"inode size 100", sb + 88, 2, 100, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: inode size out of range"},
        {"inode size beyond a block", sb + 88, 2, 2048, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: inode size out of range"},
        {"no inodes per group", sb + 40, 4, 0, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: no inodes per group"},
        {"harmless: a compatible feature", sb + 92, 4, 0x80000000, true, DISK_OK, nullptr},
        {"harmless: a read-only feature", sb + 100, 4, 0x8000, true, DISK_OK, nullptr},
        // An unknown read-only feature may change how allocation is recorded (bigalloc is
        // one), and so may snapshots, which e2fsprogs does not handle either.
        {"unknown read-only feature", sb + 100, 4, 0x40000000, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: unknown read-only feature"},
        {"snapshots", sb + 100, 4, 0x80, true, DISK_ERR_FS_CORRUPT,
         "ext superblock: unknown read-only feature"},
    };
    TempDir dir;
    std::string base = dir.file("b.img");
    ASSERT_TRUE(Sh(Mke2fs("-t ext4 -b 1024 -O 64bit", base, "8192")));
    const std::vector<uint8_t> image = ReadImage(base);
    ASSERT_EQ(Bytes_LoadLe16(&image[sb + 254]), 64u);
    for (const Patch& p : patches1k) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = image;
        uint32_t v = p.value;
        if (p.orValue) {
            uint32_t cur = 0;
            for (uint32_t i = 0; i < p.size; ++i) {
                cur |= static_cast<uint32_t>(bad[p.offset + i]) << (8 * i);
            }
            v |= cur;
        }
        for (uint32_t i = 0; i < p.size; ++i) {
            bad[p.offset + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("d.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, p.rc);
        ExpectReason(p.reason);
        if (a.rc != DISK_OK) {
            EXPECT_EQ(a.region.object, nullptr);
            EXPECT_EQ(a.region.kind, FS_KIND_NONE);
        }
    }

    // The untouched volume opens after all those refusals, and records nothing.
    {
        ImageDisk d(base, dir.file("d.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, DISK_OK);
        ExpectReason(nullptr);
    }

    // A group whose free count is wrong is accepted and wholly used (the only group here).
    {
        std::vector<uint8_t> bad = image;
        Bytes_StoreLe16(&bad[2048 + 12],
                        static_cast<uint16_t>(Bytes_LoadLe16(&bad[2048 + 12]) + 1));
        WriteFile(dir.file("bad.img"), bad);
        int rc = 0;
        std::vector<uint8_t> used = MapOf(dir.file("bad.img"), dir.file("d.img"), 512, &rc);
        ASSERT_EQ(rc, DISK_OK);
        for (size_t s = 0; s < used.size(); ++s) {
            ASSERT_TRUE(used[s]) << s;
        }
    }
    // Partitions too small for the superblock or the descriptor table; a disk without sectors.
    {
        ImageDisk d(base, dir.file("d.img"), 512, kOffset);
        Refusal_Clear();
        Attached tiny(d.disk(), d.firstSector(), 3);
        EXPECT_EQ(tiny.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("ext superblock: the partition is too small to hold it");
        Attached noTable(d.disk(), d.firstSector(), 4);  // superblock only
        EXPECT_EQ(noTable.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("ext superblock: the volume is larger than its partition");
        Attached beyond(d.disk(), d.firstSector() + d.sectorCount() + 8, 64);
        EXPECT_EQ(beyond.rc, DISK_ERR_ARG);
        DiskHandle empty;
        Disk_Init(&empty);
        Attached none(&empty, 0, 100);
        EXPECT_EQ(none.rc, DISK_ERR_ARG);
    }

    // Base 2: 4 KiB blocks without 64-bit descriptors (32 bytes at byte 4096).
    std::string base4 = dir.file("b4.img");
    ASSERT_TRUE(Sh(Mke2fs("-t ext2 -b 4096", base4, "2048")));
    const std::vector<uint8_t> image4 = ReadImage(base4);
    const Patch patches4k[] = {
        {"first data block 1 with 4 KiB blocks", sb + 20, 4, 1, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: first data block does not suit the block size"},
        {"blocks per group beyond one bitmap block", sb + 32, 4, 32776, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: blocks per group out of range"},
        {"bitmap block past the partition", 4096, 4, 2048, false, DISK_ERR_FS_CORRUPT,
         "ext group descriptor: block bitmap outside the volume"},
        {"descriptor size ignored without 64-bit", sb + 254, 2, 0, false, DISK_OK, nullptr},
        {"a volume larger than its partition", sb + 4, 4, 2049, false, DISK_ERR_FS_CORRUPT,
         "ext superblock: the volume is larger than its partition"},
    };
    for (const Patch& p : patches4k) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = image4;
        for (uint32_t i = 0; i < p.size; ++i) {
            bad[p.offset + i] = static_cast<uint8_t>(p.value >> (8 * i));
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("d.img"), 1024, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, p.rc);
        ExpectReason(p.reason);
        if (a.rc == DISK_OK) {
            UsedBits(Ext_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
        }
    }
}

// Random damage to the superblock and the descriptors never crashes the driver; whatever it
// accepts answers queries over the partition. 500 rounds of one noise sequence, in parts of
// 100 rounds each run on its own.
class ExtHostileRounds : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ExtHostileRounds, RandomDamageGivesResultCodes)
{
    if (!HaveTool("mke2fs")) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    TempDir dir;
    std::string base = dir.file("b.img");
    ASSERT_TRUE(Sh(Mke2fs("-t ext4 -b 1024 -O 64bit -g 1024 -N 64", base, "3000")));
    const std::vector<uint8_t> image = ReadImage(base);
    const std::vector<uint8_t> noise = RandomBytes(500 * 9, 99);
    uint32_t accepted = 0;
    for (uint32_t round = GetParam(); round < GetParam() + 100; ++round) {
        std::vector<uint8_t> bad = image;
        for (uint32_t k = 0; k < 3; ++k) {
            const uint8_t* n = &noise[(round * 3 + k) * 3];
            // Even rounds hit the superblock fields read, odd rounds the descriptor table.
            uint32_t at = (round % 2 == 0) ? 1024u + (n[0] | (n[1] << 8)) % 340
                                           : 2048u + (n[0] | (n[1] << 8)) % 256;
            bad[at] = n[2];
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("d.img"), 512, 4096, 4096);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount() + 8);
        if (a.rc == DISK_OK) {
            ++accepted;
            std::vector<uint8_t> bits((d.sectorCount() + 8 + 7) / 8);
            EXPECT_EQ(Ext_FillUsedBits(a.region.object, 0,
                                       static_cast<uint32_t>(d.sectorCount() + 8), bits.data(), 0),
                      DISK_OK);
            EXPECT_EQ(bits[0] & 3, 3);  // boot block
        } else {
            EXPECT_EQ(a.rc, DISK_ERR_FS_CORRUPT);
        }
    }
    EXPECT_GT(accepted, 0u);
}

INSTANTIATE_TEST_SUITE_P(Parts, ExtHostileRounds, ::testing::Values(0u, 100u, 200u, 300u, 400u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "rounds_" + std::to_string(info.param) + "_to_" +
                                    std::to_string(info.param + 99);
                         });

// The block bitmap in chunks: a chunk wholly used or wholly free takes no memory, and the sector
// bits agree with the blocks across chunk borders, for every sector size, block size and first
// data block, in pieces that start and end anywhere.
TEST(ExtChunks, SectorBitsFollowTheBlocksAcrossChunks)
{
    struct Layout {
        uint32_t blockSize;
        uint32_t firstDataBlock;
    } layouts[] = {{1024, 1}, {4096, 0}};
    for (const Layout& l : layouts) {
        // Six chunks and a short seventh: mixed, wholly used, free, mixed with a run of used
        // blocks into the next chunk, that chunk, free, and the short tail.
        const uint32_t bits = 6 * EXT_CHUNK_BITS + 1000;
        ExtVolume v;
        Ext_Init(&v);
        v.blockSize = l.blockSize;
        v.firstDataBlock = l.firstDataBlock;
        v.blockCount = bits + l.firstDataBlock;
        ASSERT_EQ(Ext_InitBitmap(&v, bits), DISK_OK);
        std::vector<bool> model(bits, false);
        auto mark = [&](uint32_t from, uint32_t count) {
            ASSERT_EQ(Ext_MarkUsed(&v, from, count), DISK_OK);
            for (uint32_t i = 0; i < count; ++i) model[from + i] = true;
        };
        const std::vector<uint8_t> noise = RandomBytes(EXT_CHUNK_BITS / 8, 7);
        for (uint32_t i = 0; i < EXT_CHUNK_BITS; ++i) {
            if ((noise[i / 8] >> (i % 8)) & 1) mark(i, 1);
        }
        mark(EXT_CHUNK_BITS, EXT_CHUNK_BITS);
        mark(4 * EXT_CHUNK_BITS - 3, 5);
        mark(3 * EXT_CHUNK_BITS + 100, 1);
        mark(5 * EXT_CHUNK_BITS - 1000, 1000);  // ends on the border: the chunk stays mixed
        mark(6 * EXT_CHUNK_BITS + 999, 1);
        EXPECT_EQ(v.chunks[1], Ext_FullChunk());
        EXPECT_EQ(v.chunks[2], nullptr);
        EXPECT_EQ(v.chunks[5], nullptr);
        mark(4 * EXT_CHUNK_BITS, EXT_CHUNK_BITS - 1000);  // fills chunk 4
        EXPECT_EQ(v.chunks[4], Ext_FullChunk());
        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE(std::to_string(l.blockSize) + " " + std::to_string(b));
            v.bytesPerSector = b;
            // One sector past the volume's end as well.
            const uint64_t volumeBytes = static_cast<uint64_t>(v.blockCount) * l.blockSize;
            const uint32_t sectors = static_cast<uint32_t>(volumeBytes / b + 1);
            std::vector<uint8_t> expect(sectors);
            for (uint64_t s = 0; s < sectors; ++s) {
                const uint64_t lo = s * b / l.blockSize;
                const uint64_t hi = ((s + 1) * b - 1) / l.blockSize;
                bool used = lo < l.firstDataBlock || hi >= v.blockCount;
                for (uint64_t k = lo; !used && k <= hi; ++k) used = model[k - l.firstDataBlock];
                expect[s] = used ? 1 : 0;
            }
            EXPECT_EQ(UsedBits(Ext_FillUsedBits, &v, sectors), expect);
        }
        Ext_Destroy(&v);
        EXPECT_EQ(v.chunks, nullptr);
    }
}

// A large fresh volume (16 GiB, 128 chunks) keeps in memory only the chunks that mix used and
// free blocks: the groups holding the bitmaps and inode tables of their flex group.
TEST(ExtChunks, AFreshLargeVolumeHoldsFewChunks)
{
    if (!HaveTool("mke2fs")) {
        GTEST_SKIP() << "e2fsprogs missing";
    }
    TempDir dir;
    const std::string img = dir.file("big.img");
    ASSERT_TRUE(Sh("truncate -s 16G " + Quote(img) +
                   " && mke2fs -q -F -t ext4 -b 4096 -E lazy_itable_init=1,nodiscard " +
                   Quote(img)));
    const uint64_t sectors = (16ull << 30) / 512;
    DiskGeometry g{};
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&g, sectors);
    DiskHandle disk;
    Disk_Init(&disk);
    ASSERT_EQ(Disk_OpenRaw(&disk, img.c_str(), true, 0, &g), DISK_OK);
    {
        Attached a(&disk, 0, sectors);
        ASSERT_EQ(a.rc, DISK_OK);
        const ExtVolume* v = a.volume();
        ASSERT_EQ(v->chunkCount, 128u);
        uint32_t owned = 0;
        for (uint32_t c = 0; c < v->chunkCount; ++c) {
            owned += v->chunks[c] != nullptr && v->chunks[c] != Ext_FullChunk() ? 1 : 0;
        }
        EXPECT_LT(owned, 32u);  // a quarter
        // The free tail of the volume is free, its first blocks used.
        std::vector<uint8_t> bits(1024 / 8);
        ASSERT_EQ(Ext_FillUsedBits(a.region.object, sectors - 4096, 1024, bits.data(), 0), DISK_OK);
        EXPECT_EQ(std::count(bits.begin(), bits.end(), 0), 128);
        ASSERT_EQ(Ext_FillUsedBits(a.region.object, 0, 1024, bits.data(), 0), DISK_OK);
        EXPECT_EQ(std::count(bits.begin(), bits.end(), 0xFF), 128);
    }
    Disk_Close(&disk);
}
