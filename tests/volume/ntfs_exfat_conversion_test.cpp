// End to end: a disk whose MBR holds an NTFS and an exFAT partition (both of type 0x07, with
// garbage left in their free clusters) is converted to a dynamic VHD with its used-sector map.
// The free clusters are left out, every used sector arrives intact (qemu-img compares the output
// with the source whose free sectors are zeroed), and both file systems stay sound with their
// files whole.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vhd/vhd_writer.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/fs_driver_support.h"
#include "volume/used_map.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::RandomBytes;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint64_t kNtfsFirst = 2048;
const uint64_t kNtfsSectors = 40 * 2048;
const uint64_t kExfatFirst = kNtfsFirst + kNtfsSectors;
const uint64_t kExfatSectors = 40 * 2048;
const uint64_t kTotal = kExfatFirst + kExfatSectors + 2048;

// Pseudo-random bytes, quickly (a whole disk of them).
std::vector<uint8_t> Garbage(size_t n, uint64_t seed)
{
    std::vector<uint8_t> out(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i + 8 <= n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&out[i], &x, 8);
    }
    return out;
}

}  // namespace

TEST(NtfsExfatConversion, FreeClustersAreLeftOutAndUsedSectorsArriveIntact)
{
    if (!HaveTool("mkntfs") || !HaveTool("ntfscp") || !HaveTool("ntfscat") ||
        !HaveTool("mkfs.exfat") || !HaveTool("fsck.exfat") || !HaveTool("sfdisk") ||
        !HaveTool("qemu-img")) {
        GTEST_SKIP() << "ntfs-3g, exfatprogs, fdisk or qemu-utils missing";
    }
    TempDir dir;
    const std::string ntfs = dir.file("ntfs.img");
    const std::string exfat = dir.file("exfat.img");
    const std::string disk = dir.file("disk.raw");
    const std::vector<uint8_t> keepNtfs = RandomBytes(700 * 1024, 5);
    WriteFile(dir.file("keep.bin"), keepNtfs);
    // Quick formats on garbage leave the garbage in the free clusters.
    WriteFile(ntfs, Garbage(kNtfsSectors * 512, 1));
    WriteFile(exfat, Garbage(kExfatSectors * 512, 2));
    ASSERT_TRUE(Sh("mkntfs -F -Q -c 4096 " + Quote(ntfs)));
    ASSERT_TRUE(Sh("ntfscp -f " + Quote(ntfs) + " " + Quote(dir.file("keep.bin")) + " keep.bin"));
    ASSERT_TRUE(Sh("mkfs.exfat " + Quote(exfat)));
    std::string out;
    ASSERT_TRUE(Sh("python3 " +
                       Quote(std::string(VDX_TEST_SOURCE_DIR) + "/volume/exfat_fixtures.py") +
                       " addfile " + Quote(exfat) + " keep.bin 921600 6",
                   &out));
    uint64_t exfatFileCluster = 0;
    std::istringstream(out) >> exfatFileCluster;
    ASSERT_TRUE(Sh("fsck.exfat -n " + Quote(exfat)));

    WriteFile(disk, Garbage(kTotal * 512, 3));
    ASSERT_TRUE(Sh("printf 'label: dos\\n" + std::to_string(kNtfsFirst) + "," +
                   std::to_string(kNtfsSectors) + ",7\\n" + std::to_string(kExfatFirst) + "," +
                   std::to_string(kExfatSectors) + ",7\\n' | sfdisk -q --no-reread " +
                   Quote(disk)));
    ASSERT_TRUE(Sh("dd status=none conv=notrunc bs=512 seek=" + std::to_string(kNtfsFirst) +
                   " if=" + Quote(ntfs) + " of=" + Quote(disk) +
                   " && dd status=none conv=notrunc bs=512 seek=" + std::to_string(kExfatFirst) +
                   " if=" + Quote(exfat) + " of=" + Quote(disk)));
    const std::vector<uint8_t> source = ReadFile(disk);
    ASSERT_EQ(source.size(), kTotal * 512);

    DiskHandle src;
    Disk_Init(&src);
    DiskGeometry g{};
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&g, kTotal);
    ASSERT_EQ(Disk_OpenRaw(&src, disk.c_str(), true, 0, &g), DISK_OK);
    int rc = -1;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&src, &rc, &known);
    ASSERT_EQ(rc, DISK_OK);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(known, 2u);
    bool sawNtfs = false;
    bool sawExfat = false;
    for (uint32_t i = 0; i < map->regionCount; ++i) {
        sawNtfs = sawNtfs ||
                  (map->regions[i].kind == FS_KIND_NTFS && map->regions[i].first == kNtfsFirst);
        sawExfat = sawExfat ||
                   (map->regions[i].kind == FS_KIND_EXFAT && map->regions[i].first == kExfatFirst);
    }
    EXPECT_TRUE(sawNtfs);
    EXPECT_TRUE(sawExfat);
    std::vector<uint8_t> bits(kTotal / 8);
    ASSERT_EQ(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(kTotal), bits.data()), DISK_OK);
    std::vector<uint8_t> masked = source;
    uint64_t freeSectors = 0;
    for (uint64_t s = 0; s < kTotal; ++s) {
        if (((bits[s / 8] >> (s % 8)) & 1) == 0) {
            ++freeSectors;
            std::memset(&masked[s * 512], 0, 512);
        }
    }
    EXPECT_GT(freeSectors, (kNtfsSectors + kExfatSectors) * 3 / 4);
    WriteFile(dir.file("masked.raw"), masked);

    VhdCreateOptions o{};
    o.creatorApplication = VHD_CODE_WIN;
    o.creatorVersion = 0x00060002;
    o.blockSectors = 4096;
    o.zeroSectorsAfterBat = 1;
    const std::string vhd = dir.file("out.vhd");
    ASSERT_EQ(Vhd_Create(vhd.c_str(), &src, map, nullptr, nullptr, &o, 0), DISK_OK);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&src);

    // The output holds the used sectors only: far smaller than the disk.
    EXPECT_LT(ReadFile(vhd).size(), kTotal * 512 / 3);
    ASSERT_TRUE(
        Sh("qemu-img compare -f raw -F vpc " + Quote(dir.file("masked.raw")) + " " + Quote(vhd)));
    // Both file systems are sound in the output and their files whole.
    const std::string back = dir.file("back.raw");
    ASSERT_TRUE(Sh("qemu-img convert -f vpc -O raw " + Quote(vhd) + " " + Quote(back)));
    ASSERT_TRUE(Sh("dd status=none bs=512 skip=" + std::to_string(kNtfsFirst) +
                   " count=" + std::to_string(kNtfsSectors) + " if=" + Quote(back) +
                   " of=" + Quote(dir.file("n2.img")) + " && dd status=none bs=512 skip=" +
                   std::to_string(kExfatFirst) + " count=" + std::to_string(kExfatSectors) +
                   " if=" + Quote(back) + " of=" + Quote(dir.file("e2.img"))));
    ASSERT_TRUE(
        Sh("ntfscat " + Quote(dir.file("n2.img")) + " keep.bin > " + Quote(dir.file("n2.bin"))));
    EXPECT_EQ(ReadFile(dir.file("n2.bin")), keepNtfs);
    if (HaveTool("ntfsfix")) {
        EXPECT_TRUE(Sh("ntfsfix -n " + Quote(dir.file("n2.img"))));
    }
    EXPECT_TRUE(Sh("fsck.exfat -n " + Quote(dir.file("e2.img"))));
    const std::vector<uint8_t> e2 = ReadFile(dir.file("e2.img"));
    const uint64_t heap = static_cast<uint64_t>(Bytes_LoadLe32(&e2[88])) * 512;
    const uint64_t cluster = 512ull << e2[109];
    const uint64_t at = heap + (exfatFileCluster - 2) * cluster;
    // The file the fixture stored (921600 bytes from its first cluster) is what it was.
    const std::vector<uint8_t> e1 = ReadFile(exfat);
    ASSERT_LE(at + 921600, e2.size());
    EXPECT_FALSE(Mem_IsZero(&e2[at], 921600));
    EXPECT_EQ(std::memcmp(&e2[at], &e1[at], 921600), 0);
}
