// FAT12/16/32 and Human68k driver: real volumes made by mkfs.fat and filled by mtools against
// sleuthkit, hand-built volumes for the type rule, table packing, Human68k and hostile
// parameter blocks, all seen through disks of 256 to 4096 bytes per sector.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/fat_fs.h"
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
// The volume starts this many bytes into the disk (a whole number of sectors of every size).
const uint64_t kOffset = 65536;

// An attached FAT region; the driver object is released on destruction.
typedef AttachedVolume<FatVolume, Fs_AttachFat, Fat_Destroy> Attached;

bool HaveFatTools()
{
    return HaveTool("mkfs.fat") && HaveTool("mcopy") && HaveTool("mdel") && HaveTool("blkls") &&
           HaveTool("fsstat") && HaveTool("fsck.fat");
}

// Sectors of B bytes touching a cluster ([lo, hi) in *touch) and lying wholly inside it.
struct SectorSpan {
    uint64_t lo;
    uint64_t hi;  // exclusive; lo >= hi: none
};

SectorSpan ClusterSectors(const FatVolume* v, uint64_t cluster, uint32_t sectorBytes, bool wholly)
{
    uint64_t start = v->table->dataStart + (cluster - 2) * v->table->clusterSize;
    uint64_t end = start + v->table->clusterSize;
    if (wholly) {
        return {(start + sectorBytes - 1) / sectorBytes, end / sectorBytes};
    }
    return {start / sectorBytes, (end + sectorBytes - 1) / sectorBytes};
}

}  // namespace

// The acceptance rule over real volumes: every sector called free is free for sleuthkit, the
// clusters of a deleted file come back free, and a kept file's sectors stay used.
TEST(FatRealVolumes, FreeSectorsAreFreeForSleuthkitAndDeletedFilesComeBack)
{
    if (!HaveFatTools()) {
        GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
    }
    struct Row {
        int bits;
        uint32_t sector;
        uint32_t perCluster;
        uint32_t fats;
        uint32_t mib;
        uint32_t type;
    } rows[] = {
        {12, 512, 4, 2, 8, FAT_TYPE_12},   {12, 4096, 1, 1, 8, FAT_TYPE_12},
        {16, 512, 4, 2, 32, FAT_TYPE_16},  {16, 1024, 2, 2, 32, FAT_TYPE_16},
        {16, 4096, 1, 2, 32, FAT_TYPE_16}, {32, 512, 1, 2, 64, FAT_TYPE_32},
    };
    TempDir dir;
    std::vector<uint8_t> keep = RandomBytes(96 * 1024, 1);
    std::vector<uint8_t> gone = RandomBytes(160 * 1024, 2);
    WriteFile(dir.file("keep.bin"), keep);
    WriteFile(dir.file("gone.bin"), gone);
    for (const Row& r : rows) {
        SCOPED_TRACE("FAT" + std::to_string(r.bits) + " -S " + std::to_string(r.sector) + " -s " +
                     std::to_string(r.perCluster) + " -f " + std::to_string(r.fats));
        std::string img = dir.file("v.img");
        ASSERT_TRUE(Sh("rm -f " + Quote(img) + " && truncate -s " + std::to_string(r.mib) + "M " +
                       Quote(img) + " && mkfs.fat -F " + std::to_string(r.bits) + " -S " +
                       std::to_string(r.sector) + " -s " + std::to_string(r.perCluster) + " -f " +
                       std::to_string(r.fats) + " " + Quote(img)));
        ASSERT_TRUE(Sh("mcopy -i " + Quote(img) + " " + Quote(dir.file("keep.bin")) + " " +
                       Quote(dir.file("gone.bin")) + " ::"));
        std::vector<uint8_t> before = ReadImage(img);
        ASSERT_TRUE(Sh("mdel -i " + Quote(img) + " ::gone.bin"));
        ASSERT_TRUE(Sh("fsck.fat -n " + Quote(img)));
        Oracle oracle = Blkls(img, "Sector Size: ");
        ASSERT_EQ(oracle.unitBytes, r.sector);
        std::vector<uint8_t> goneUnits = ContentUnits(before, gone);
        std::vector<uint8_t> keepUnits = ContentUnits(before, keep);

        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE("disk sector " + std::to_string(b));
            ImageDisk d(img, dir.file("disk.img"), b, kOffset, 8192);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount());
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.region.kind, FS_KIND_FAT);
            EXPECT_EQ(a.region.first, d.firstSector());
            EXPECT_EQ(a.region.count, d.sectorCount());
            EXPECT_EQ(a.volume()->type, r.type);
            EXPECT_FALSE(a.volume()->human68k);

            std::vector<uint8_t> used =
                UsedBits(Fat_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
            SubsetResult s = CheckSubset(used, b, oracle);
            EXPECT_EQ(s.violations, 0u) << "first at sector " << s.firstViolation;
            // Conservative, but not uselessly so.
            EXPECT_GT(s.freeSectors * b, OracleFreeBytes(oracle) * 9 / 10);
            EXPECT_TRUE(used[0]);

            std::vector<uint64_t> goneInside;
            std::vector<uint64_t> keepTouching;
            SectorsOfUnits(goneUnits, b, d.sectorCount(), &goneInside, nullptr);
            SectorsOfUnits(keepUnits, b, d.sectorCount(), nullptr, &keepTouching);
            ASSERT_GE(goneInside.size() * b, gone.size() / 2);
            ASSERT_GE(keepTouching.size() * b, keep.size());
            for (uint64_t sec : goneInside) {
                EXPECT_FALSE(used[sec]) << "deleted file sector " << sec;
            }
            for (uint64_t sec : keepTouching) {
                EXPECT_TRUE(used[sec]) << "kept file sector " << sec;
            }
        }
    }
}

// mkfs.fat -F 32 -s 8 on 64 MiB makes a FAT32 volume of 16,348 clusters: it is FAT32 by its
// parameter block, and read by cluster count alone as FAT16 it would lose the file.
TEST(FatType, SmallFat32IsReadAsFat32)
{
    if (!HaveTool("mkfs.fat") || !HaveTool("fsck.fat")) {
        GTEST_SKIP() << "dosfstools missing";
    }
    TempDir dir;
    std::string img = dir.file("f32.img");
    ASSERT_TRUE(Sh("truncate -s 64M " + Quote(img) + " && mkfs.fat -F 32 -s 8 " + Quote(img)));
    std::string out;
    // Put the file well into the volume, behind a first one that is deleted again, so that its
    // clusters are not the few a FAT16 reading of the table happens to see as used.
    ASSERT_TRUE(Sh(Fixtures() + " fat32-addfile " + Quote(img) + " PAD.BIN 800000 3", &out));
    ASSERT_TRUE(Sh(Fixtures() + " fat32-addfile " + Quote(img) + " DATA.BIN 300000 4", &out));
    std::string fsck;
    ASSERT_TRUE(Sh("fsck.fat -n " + Quote(img), &fsck));
    EXPECT_NE(fsck.find("2 files"), std::string::npos) << fsck;
    EXPECT_NE(fsck.find("/16348 clusters"), std::string::npos) << fsck;
    std::vector<uint64_t> clusters;
    std::istringstream in(out);
    for (uint64_t c; in >> c;) {
        clusters.push_back(c);
    }
    ASSERT_EQ(clusters.size(), 74u);  // 300000 bytes in 4 KiB clusters

    for (uint32_t b : kSectorSizes) {
        SCOPED_TRACE(b);
        ImageDisk d(img, dir.file("disk.img"), b, kOffset);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        ASSERT_EQ(a.rc, DISK_OK);
        ASSERT_EQ(a.volume()->type, FAT_TYPE_32);
        EXPECT_EQ(a.volume()->table->clusterCount, 16348u);
        std::vector<uint8_t> used =
            UsedBits(Fat_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
        for (uint64_t c : clusters) {
            SectorSpan span = ClusterSectors(a.volume(), c, b, false);
            for (uint64_t s = span.lo; s < span.hi; ++s) {
                ASSERT_TRUE(used[s]) << "cluster " << c << " sector " << s;
            }
        }
        // A cluster far behind the files is free.
        SectorSpan far = ClusterSectors(a.volume(), 10000, b, true);
        ASSERT_LT(far.lo, far.hi);
        for (uint64_t s = far.lo; s < far.hi; ++s) {
            EXPECT_FALSE(used[s]) << s;
        }
    }
}

// Exact cluster-count boundaries, FAT12 packing of odd and even entries, FAT32 by its
// parameter block at any count, and the inconsistent 16-bit FAT size with a FAT32 count.
TEST(FatType, BoundariesAndTablePacking)
{
    struct Row {
        int bits;
        uint32_t clusters;
        const char* extra;
        int rc;
        uint32_t type;
    } rows[] = {
        {12, 4084, "", DISK_OK, FAT_TYPE_12},
        {16, 4085, "", DISK_OK, FAT_TYPE_16},
        {16, 65524, "", DISK_OK, FAT_TYPE_16},
        {16, 65525, "", DISK_ERR_FS_CORRUPT, 0},
        {32, 65525, " --root 0", DISK_OK, FAT_TYPE_32},
        {32, 4084, " --root 0", DISK_OK, FAT_TYPE_32},
        {32, 300, " --root 0", DISK_OK, FAT_TYPE_32},
        {12, 300, " --fats 1", DISK_OK, FAT_TYPE_12},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.bits) + "/" + std::to_string(r.clusters));
        const uint32_t last = r.clusters + 1;  // highest cluster number
        std::set<uint32_t> usedClusters = {3, 6, 7, 10, 11, last - 3, last};
        std::string list;
        for (uint32_t c : usedClusters) {
            list += (list.empty() ? "" : ",") + std::to_string(c);
        }
        std::string img = dir.file("t.img");
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(img) + " --bits " + std::to_string(r.bits) +
                       " --clusters " + std::to_string(r.clusters) + " --used " + list + r.extra));
        for (uint32_t b : {256u, 512u, 4096u}) {
            SCOPED_TRACE(b);
            ImageDisk d(img, dir.file("disk.img"), b, kOffset, 4096);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount() + 1);
            ASSERT_EQ(a.rc, r.rc);
            if (r.rc != DISK_OK) {
                EXPECT_EQ(a.region.kind, FS_KIND_NONE);  // untouched
                EXPECT_EQ(a.region.object, nullptr);
                continue;
            }
            EXPECT_EQ(a.volume()->type, r.type);
            const uint32_t count = static_cast<uint32_t>(d.sectorCount() + 1);
            std::vector<uint8_t> used = UsedBits(Fat_FillUsedBits, a.region.object, count);
            // Metadata before the data area, and the sector past the volume, are used.
            const uint64_t dataSector = a.volume()->table->dataStart / b;
            for (uint64_t s = 0; s < dataSector; ++s) {
                ASSERT_TRUE(used[s]) << s;
            }
            EXPECT_TRUE(used[count - 1]);
            uint32_t wrong = 0;
            for (uint32_t c = 2; c <= last; ++c) {
                bool expectUsed = usedClusters.count(c) != 0;
                SectorSpan span = ClusterSectors(a.volume(), c, b, !expectUsed);
                for (uint64_t s = span.lo; s < span.hi; ++s) {
                    if (used[s] != expectUsed && wrong++ == 0) {
                        ADD_FAILURE() << "cluster " << c << " sector " << s;
                    }
                }
            }
            EXPECT_EQ(wrong, 0u);
        }
    }
}

// Entries that would lie beyond the stored table count as used, the second byte of a FAT12
// entry included; sectors after the last cluster are used.
TEST(FatTable, EntriesBeyondTheTableAndSectorsBeyondTheClustersAreUsed)
{
    struct Row {
        int bits;
        uint32_t clusters;
        uint32_t spf;
        uint32_t firstOutside;  // first cluster number whose entry is not wholly in the table
    } rows[] = {
        {12, 1000, 2, 682},  // 1024 bytes: entry 681 is bytes 1021-1022, 682 needs byte 1024
        {16, 5000, 1, 256},
        {32, 1000, 1, 128},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bits);
        std::string img = dir.file("t.img");
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(img) + " --bits " + std::to_string(r.bits) +
                       " --clusters " + std::to_string(r.clusters) + " --extra 3 --spf " +
                       std::to_string(r.spf) + (r.bits == 32 ? " --root 0" : "") + " --used 5"));
        ImageDisk d(img, dir.file("disk.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        ASSERT_EQ(a.rc, DISK_OK);
        const uint32_t count = static_cast<uint32_t>(d.sectorCount());
        std::vector<uint8_t> used = UsedBits(Fat_FillUsedBits, a.region.object, count);
        const uint64_t data = a.volume()->table->dataStart / 512;
        EXPECT_TRUE(used[data + 5 - 2]);
        EXPECT_FALSE(used[data + 4 - 2]);
        EXPECT_FALSE(used[data + r.firstOutside - 1 - 2]);
        EXPECT_TRUE(used[data + r.firstOutside - 2]);
        EXPECT_TRUE(used[data + r.clusters + 1 - 2]);  // the last cluster
        for (uint32_t s = count - 3; s < count; ++s) {
            EXPECT_TRUE(used[s]) << "sector after the clusters " << s;
        }
    }
}

// A Human68k volume (boot-sector signature, big-endian parameter block and FAT16) reads the same
// clusters as used as its PC twin with little-endian fields; Human68k copies are not compared.
TEST(FatHuman68k, BigEndianVolumeMatchesItsLittleEndianTwin)
{
    struct Row {
        uint32_t bps;
        uint32_t spc;
        uint32_t clusters;
        const char* extra;
        uint32_t type;
    } rows[] = {
        {1024, 1, 5000, "", FAT_TYPE_16},
        {1024, 2, 40000, "", FAT_TYPE_16},  // total beyond 16 bits: the 32-bit total
        {512, 1, 4084, "", FAT_TYPE_12},
        {1024, 1, 5000, " --diff-copy", FAT_TYPE_16},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.bps) + "/" + std::to_string(r.clusters) + r.extra);
        const int bits = r.type == FAT_TYPE_12 ? 12 : 16;
        const std::string common = " --bits " + std::to_string(bits) + " --bps " +
                                   std::to_string(r.bps) + " --spc " + std::to_string(r.spc) +
                                   " --root 512 --clusters " + std::to_string(r.clusters) +
                                   " --used 2,3,257,258,1000,4000" + r.extra;
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(dir.file("h.img")) + " --human68k" + common));
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(dir.file("p.img")) + common));
        for (uint32_t b : {256u, 512u, 1024u}) {
            SCOPED_TRACE(b);
            ImageDisk dh(dir.file("h.img"), dir.file("hd.img"), b, kOffset);
            ImageDisk dp(dir.file("p.img"), dir.file("pd.img"), b, kOffset);
            ASSERT_TRUE(dh.ok() && dp.ok());
            Attached h(dh.disk(), dh.firstSector(), dh.sectorCount());
            Attached p(dp.disk(), dp.firstSector(), dp.sectorCount());
            ASSERT_EQ(h.rc, DISK_OK);
            EXPECT_TRUE(h.volume()->human68k);
            EXPECT_EQ(h.volume()->type, r.type);
            const uint32_t count = static_cast<uint32_t>(dh.sectorCount());
            std::vector<uint8_t> hu = UsedBits(Fat_FillUsedBits, h.region.object, count);
            if (std::string(r.extra).find("diff") != std::string::npos) {
                EXPECT_EQ(p.rc, DISK_ERR_FS_CORRUPT);  // PC copies must agree
            } else {
                ASSERT_EQ(p.rc, DISK_OK);
                EXPECT_FALSE(p.volume()->human68k);
                EXPECT_EQ(hu, UsedBits(Fat_FillUsedBits, p.region.object, count));
            }
            const uint64_t data = h.volume()->table->dataStart;
            const uint64_t cs = h.volume()->table->clusterSize;
            for (uint32_t c : {2u, 3u, 257u, 258u, 1000u, 4000u}) {
                EXPECT_TRUE(hu[(data + (c - 2) * cs) / b]) << c;
            }
            for (uint32_t c : {5u, 255u, 260u, 998u, 1002u}) {
                EXPECT_FALSE(hu[(data + (c - 2) * cs) / b]) << c;
            }
        }
    }
}

// Hostile parameter blocks: every field rule, zero divisors, underflow of the data sectors,
// inconsistent type fields, a layout larger than the partition: refused with a result code.
TEST(FatHostile, ParameterBlocksAreRefused)
{
    struct Patch {
        const char* what;
        uint32_t offset;
        uint32_t size;  // 1, 2 or 4 (little-endian)
        uint32_t value;
        int rc;
        const char* reason;  // nullptr: accepted
    } patches[] = {
        {"bytes per sector 0", 11, 2, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: bytes per sector out of range"},
        {"bytes per sector 256", 11, 2, 256, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: bytes per sector out of range"},
        {"bytes per sector 513", 11, 2, 513, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: bytes per sector out of range"},
        {"bytes per sector 8192", 11, 2, 8192, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: bytes per sector out of range"},
        {"sectors per cluster 0", 13, 1, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: sectors per cluster out of range"},
        {"sectors per cluster 3", 13, 1, 3, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: sectors per cluster out of range"},
        {"cluster of 64 KiB", 13, 1, 128, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: sectors per cluster out of range"},
        {"reserved 0", 14, 2, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: no reserved sectors or no FATs"},
        {"no FAT", 16, 1, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: no reserved sectors or no FATs"},
        {"root entries not filling sectors", 17, 2, 17, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: root directory does not fill whole sectors"},
        {"media 0", 21, 1, 0, DISK_ERR_FS_CORRUPT, "FAT boot sector: unknown media byte"},
        {"media 0xF1", 21, 1, 0xF1, DISK_ERR_FS_CORRUPT, "FAT boot sector: unknown media byte"},
        {"total 1 (data sectors would underflow)", 19, 2, 1, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: no data area"},
        {"no total at all", 19, 2, 0, DISK_ERR_FS_CORRUPT, "FAT boot sector: no data area"},
        {"FAT size beyond the total", 22, 2, 0xFFFF, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: no data area"},
        {"FAT32 by the 16-bit field, no 32-bit size", 22, 2, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: no sectors per FAT"},
        {"FAT32 with a root directory", 22, 2, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: FAT32 with a root directory or too many clusters"},
        {"harmless: hidden sectors", 28, 4, 12345, DISK_OK, nullptr},
        {"harmless: media 0xF0", 21, 1, 0xF0, DISK_OK, nullptr},
    };
    TempDir dir;
    std::string base = dir.file("base.img");
    ASSERT_TRUE(
        Sh(Fixtures() + " fat " + Quote(base) + " --bits 16 --spc 4 --clusters 5000 --used 2,3,4"));
    const std::vector<uint8_t> image = ReadImage(base);
    for (const Patch& p : patches) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = image;
        for (uint32_t i = 0; i < p.size; ++i) {
            bad[p.offset + i] = static_cast<uint8_t>(p.value >> (8 * i));
        }
        if (std::string(p.what) == "FAT32 by the 16-bit field, no 32-bit size") {
            Bytes_StoreLe32(&bad[36], 0);
        }
        if (std::string(p.what) == "FAT32 with a root directory") {
            Bytes_StoreLe32(&bad[36], 40);  // a FAT32 layout but root entries 16 remain
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, p.rc);
        ExpectReason(p.reason);
        if (a.rc != DISK_OK) {
            EXPECT_EQ(a.region.object, nullptr);
        }
    }

    // A 16-bit total much larger than the FAT can describe: a FAT32 cluster count with a
    // 16-bit FAT size.
    {
        std::vector<uint8_t> bad = image;
        Bytes_StoreLe16(&bad[19], 0);
        Bytes_StoreLe32(&bad[32], 0xFFFFFFF0u);
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset);
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("FAT boot sector: 16-bit FAT size with a FAT32 cluster count");
    }
    // The partition is shorter than the reserved sectors, tables and root directory.
    {
        ImageDisk d(base, dir.file("disk.img"), 512, kOffset);
        Refusal_Clear();
        Attached small(d.disk(), d.firstSector(), 20);
        EXPECT_EQ(small.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("FAT boot sector: the volume is larger than its partition");
        Attached none(d.disk(), d.firstSector(), 0);
        EXPECT_EQ(none.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("FAT boot sector: the partition is too small to hold it");
        // A partition beyond the disk end: the read failure is passed on.
        Attached beyond(d.disk(), d.firstSector() + d.sectorCount() + 100, 100);
        EXPECT_EQ(beyond.rc, DISK_ERR_ARG);
    }
    // Differing copies of a PC table.
    {
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(dir.file("diff.img")) +
                       " --bits 12 --clusters 1000 --used 2 --diff-copy"));
        ImageDisk d(dir.file("diff.img"), dir.file("disk.img"), 512, kOffset);
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, DISK_ERR_FS_CORRUPT);
        ExpectReason("FAT table: the copies differ");
    }
    // A disk without bytes per sector.
    {
        DiskHandle empty;
        Disk_Init(&empty);
        Attached a(&empty, 0, 100);
        EXPECT_EQ(a.rc, DISK_ERR_ARG);
    }
}

// A PC table whose entry 1 says that the volume was not unmounted cleanly, or met disk errors,
// may lag behind the clusters in use: refused. FAT12 has no such flags; Human68k tables are not
// asked.
TEST(FatHostile, VolumesNotUnmountedCleanlyAreRefused)
{
    struct Row {
        const char* options;
        int rc;
    } rows[] = {
        {"--bits 16 --clusters 5000", DISK_OK},
        {"--bits 16 --clusters 5000 --entry1 0x7FFF", DISK_ERR_FS_CORRUPT},
        {"--bits 16 --clusters 5000 --entry1 0xBFFF", DISK_ERR_FS_CORRUPT},
        {"--bits 32 --root 0 --clusters 5000", DISK_OK},
        {"--bits 32 --root 0 --clusters 5000 --entry1 0x07FFFFFF", DISK_ERR_FS_CORRUPT},
        {"--bits 32 --root 0 --clusters 5000 --entry1 0x0BFFFFFF", DISK_ERR_FS_CORRUPT},
        {"--bits 32 --root 0 --clusters 5000 --entry1 0xFCFFFFFF", DISK_OK},  // high bits ignored
        {"--bits 12 --clusters 1000 --entry1 0x3FF", DISK_OK},
        {"--bits 16 --clusters 5000 --entry1 0x7FFF --human68k --bps 1024", DISK_OK},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(dir.file("d.img")) + " --used 2 " + r.options));
        ImageDisk d(dir.file("d.img"), dir.file("disk.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, r.rc);
    }
}

// The Linux driver marks a volume dirty in its boot sector (bit 0 of byte 37, byte 65 on FAT32)
// while it is mounted and leaves entry 1 of the table alone: a volume left in that state may
// have written clusters that its table does not show yet, so it is refused; fsck.fat agrees that
// the bit means an unclean unmount. The other bits of the byte do not matter, nor does the byte
// without the extended boot signature after it (it is then boot code, as fsck.fat reads it).
TEST(FatHostile, VolumesMarkedDirtyInTheBootSectorAreRefused)
{
    if (!HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("fsck.fat")) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    TempDir dir;
    WriteFile(dir.file("f.bin"), RandomBytes(40000, 5));
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE("FAT" + std::to_string(bits));
        std::string img = dir.file("v.img");
        ASSERT_TRUE(Sh("rm -f " + Quote(img) + " && truncate -s " + (bits == 32 ? "64M" : "16M") +
                       " " + Quote(img) + " && mkfs.fat -F " + std::to_string(bits) + " " +
                       Quote(img) + " && mcopy -i " + Quote(img) + " " + Quote(dir.file("f.bin")) +
                       " ::"));
        const std::vector<uint8_t> clean = ReadImage(img);
        const uint32_t stateAt = bits == 32 ? 65 : 37;
        ASSERT_EQ(clean[stateAt + 1], 0x29);
        struct Row {
            uint8_t state;
            uint8_t signature;
            int rc;
        } rows[] = {{0x00, 0x29, DISK_OK},
                    {0x01, 0x29, DISK_ERR_FS_CORRUPT},
                    {0x03, 0x29, DISK_ERR_FS_CORRUPT},
                    {0x01, 0x28, DISK_ERR_FS_CORRUPT},
                    {0x02, 0x29, DISK_OK},
                    {0x01, 0x00, DISK_OK}};
        for (const Row& r : rows) {
            SCOPED_TRACE("state " + std::to_string(r.state) + " signature " +
                         std::to_string(r.signature));
            std::vector<uint8_t> image = clean;
            image[stateAt] = r.state;
            image[stateAt + 1] = r.signature;
            WriteFile(img, image);
            if ((r.state & 1) != 0 && r.signature == 0x29 && bits != 32) {
                std::string out;
                RunCommand("fsck.fat -n " + Quote(img) + " 2>&1", &out);
                EXPECT_NE(out.find("Dirty bit is set"), std::string::npos) << out;
            }
            for (uint32_t b : {512u, 4096u}) {
                ImageDisk d(img, dir.file("disk.img"), b, kOffset);
                ASSERT_TRUE(d.ok());
                Attached a(d.disk(), d.firstSector(), d.sectorCount());
                EXPECT_EQ(a.rc, r.rc) << "disk sector " << b;
            }
        }
    }
}

TEST(FatHostile, Human68kParameterBlocksAreRefused)
{
    struct Patch {
        const char* what;
        uint32_t offset;
        uint32_t size;  // big-endian
        uint32_t value;
        int rc;
        const char* reason;    // nullptr: accepted
        uint32_t offset2 = 0;  // a second field (size2 0: none)
        uint32_t size2 = 0;
        uint32_t value2 = 0;
    } patches[] = {
        {"bytes per sector 0", 18, 2, 0, DISK_ERR_FS_CORRUPT,
         "Human68k boot sector: no sectors, clusters, reserved sectors or FATs"},
        {"sectors per cluster 0", 20, 1, 0, DISK_ERR_FS_CORRUPT,
         "Human68k boot sector: no sectors, clusters, reserved sectors or FATs"},
        {"no FAT", 21, 1, 0, DISK_ERR_FS_CORRUPT,
         "Human68k boot sector: no sectors, clusters, reserved sectors or FATs"},
        {"reserved 0 (table over the boot sector)", 22, 2, 0, DISK_ERR_FS_CORRUPT,
         "Human68k boot sector: no sectors, clusters, reserved sectors or FATs"},
        {"FAT size 0", 29, 1, 0, DISK_ERR_FS_CORRUPT, "FAT boot sector: no sectors per FAT"},
        {"total 1", 26, 2, 1, DISK_ERR_FS_CORRUPT, "FAT boot sector: no data area"},
        {"no total", 26, 2, 0, DISK_ERR_FS_CORRUPT, "FAT boot sector: no data area"},
        {"a FAT32 cluster count", 26, 2, 0, DISK_ERR_FS_CORRUPT,
         "FAT boot sector: 16-bit FAT size with a FAT32 cluster count", 30, 4, 0x100000},
        {"the 32-bit total", 26, 2, 0, DISK_OK, nullptr, 30, 4, 5022},
        {"signature broken: read as PC, fails its rules", 13, 1, '_', DISK_ERR_FS_CORRUPT,
         "FAT boot sector: bytes per sector out of range"},
        {"odd bytes per sector are only byte arithmetic", 18, 2, 1000, DISK_OK, nullptr},
    };
    TempDir dir;
    std::string base = dir.file("h.img");
    // 1024-byte sectors, 1 per cluster, 5000 clusters: 5022 sectors in the 16-bit total.
    ASSERT_TRUE(Sh(Fixtures() + " fat " + Quote(base) +
                   " --human68k --bits 16 --bps 1024 --clusters 5000 --used 2"));
    const std::vector<uint8_t> image = ReadImage(base);
    for (const Patch& p : patches) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = image;
        for (uint32_t i = 0; i < p.size; ++i) {
            bad[p.offset + i] = static_cast<uint8_t>(p.value >> (8 * (p.size - 1 - i)));
        }
        for (uint32_t i = 0; i < p.size2; ++i) {
            bad[p.offset2 + i] = static_cast<uint8_t>(p.value2 >> (8 * (p.size2 - 1 - i)));
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, p.rc);
        ExpectReason(p.reason);
        if (a.rc == DISK_OK) {
            UsedBits(Fat_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
        }
    }
}

// Random damage to the boot sector and the tables of a small volume never crashes the driver;
// whatever it accepts answers queries over the whole partition and a little beyond.
TEST(FatHostile, RandomDamageGivesResultCodes)
{
    TempDir dir;
    std::string base = dir.file("base.img");
    ASSERT_TRUE(
        Sh(Fixtures() + " fat " + Quote(base) + " --bits 12 --clusters 200 --fats 1 --used 2,3,9"));
    const std::vector<uint8_t> image = ReadImage(base);
    const std::vector<uint8_t> noise = RandomBytes(4000 * 3, 77);
    uint32_t accepted = 0;
    for (uint32_t round = 0; round < 400; ++round) {
        std::vector<uint8_t> bad = image;
        for (uint32_t k = 0; k < 3; ++k) {
            const uint8_t* n = &noise[(round * 3 + k) * 3];
            uint32_t at = (round % 2 == 0) ? 11u + n[0] % 30 : (n[0] | (n[1] << 8)) % 2048;
            bad[at] = n[2];
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, 4096, 2048);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount() + 4);
        if (a.rc == DISK_OK) {
            ++accepted;
            std::vector<uint8_t> bits((d.sectorCount() + 4 + 7) / 8);
            EXPECT_EQ(Fat_FillUsedBits(a.region.object, 0,
                                       static_cast<uint32_t>(d.sectorCount() + 4), bits.data(), 0),
                      DISK_OK);
            EXPECT_EQ(bits[0] & 1, 1);  // the boot sector stays used
        } else {
            EXPECT_EQ(a.rc, DISK_ERR_FS_CORRUPT);
        }
    }
    EXPECT_GT(accepted, 0u);
}

// A FAT32 table of several read pieces (2.5 MiB): the table is taken and compared piece by piece
// and kept as one bit per cluster; clusters in use in the last pieces stay used, free ones after
// them are free, and a difference between the copies deep in the table is found.
TEST(FatTable, LargeTablesAreReadAndComparedInPieces)
{
    if (!HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("blkls")) {
        GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
    }
    TempDir dir;
    std::string img = dir.file("big.img");
    ASSERT_TRUE(Sh("truncate -s 130M " + Quote(dir.file("fill.bin")) + " && truncate -s 320M " +
                   Quote(img) + " && mkfs.fat -F 32 -S 512 -s 1 " + Quote(img) + " && mcopy -i " +
                   Quote(img) + " " + Quote(dir.file("fill.bin")) + " ::"));
    Oracle oracle = Blkls(img, "Sector Size: ");
    ASSERT_EQ(oracle.unitBytes, 512u);
    ImageDisk d(img, dir.file("disk.img"), 512, kOffset, 8192);
    ASSERT_TRUE(d.ok());
    {
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        ASSERT_EQ(a.rc, DISK_OK);
        EXPECT_EQ(a.volume()->type, FAT_TYPE_32);
        EXPECT_GT(a.volume()->table->tableBytes, 3u * (3u << 18));
        std::vector<uint8_t> used =
            UsedBits(Fat_FillUsedBits, a.region.object, static_cast<uint32_t>(d.sectorCount()));
        SubsetResult s = CheckSubset(used, 512, oracle);
        EXPECT_EQ(s.violations, 0u) << "first at sector " << s.firstViolation;
        EXPECT_EQ(s.freeSectors * 512, OracleFreeBytes(oracle));
        // The file's last sectors (about 266,000 clusters in) are used.
        uint64_t lastUsed = 0;
        for (uint64_t u = 0; u < oracle.state.size(); ++u) {
            if (oracle.state[u] == 'a') lastUsed = u;
        }
        EXPECT_GT(lastUsed, 266000u);
        EXPECT_TRUE(used[lastUsed]);
        EXPECT_FALSE(used[lastUsed + 100]);
    }
    // The second copy differs 2 MiB into the table: refused.
    std::vector<uint8_t> image = ReadImage(img);
    const uint32_t reserved = Bytes_LoadLe16(&image[14]);
    const uint32_t perFat = Bytes_LoadLe32(&image[36]);
    const uint64_t second = (static_cast<uint64_t>(reserved) + perFat) * 512;
    image[second + (2u << 20) + 1] ^= 0x40;
    WriteFile(dir.file("bad.img"), image);
    ImageDisk bad(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset, 8192);
    ASSERT_TRUE(bad.ok());
    Attached refused(bad.disk(), bad.firstSector(), bad.sectorCount());
    EXPECT_EQ(refused.rc, DISK_ERR_FS_CORRUPT);
}
