// exFAT driver: volumes made by mkfs.exfat, with files added and deleted by a python fixture
// (checked by fsck.exfat), against sleuthkit, seen through disks of 256 to 4096 bytes per sector;
// a fragmented bitmap chain; hostile boot sectors, directories and chains; the placeholder.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "foundation/range.h"
#include "support/test_support.h"
#include "volume/exfat_fs.h"
#include "volume/fs_driver_support.h"
#include "volume/used_map.h"
#include "volume/attached_volume.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint32_t kSectorSizes[] = {256, 512, 1024, 4096};
const uint64_t kOffset = 65536;

typedef AttachedVolume<ExfatVolume, Fs_AttachExfat, Exfat_Destroy> Attached;

bool HaveExfatTools()
{
    return HaveTool("mkfs.exfat") && HaveTool("fsck.exfat") && HaveTool("blkls");
}

std::string Fixture()
{
    return std::string("python3 ") +
           Quote(std::string(VDX_TEST_SOURCE_DIR) + "/volume/exfat_fixtures.py");
}

// sleuthkit's view of an exFAT volume: one unit per file-system sector.
Oracle BlklsExfat(const std::string& image, uint32_t sectorBytes)
{
    Oracle o;
    o.unitBytes = sectorBytes;
    std::string listing;
    if (!Sh("blkls -f exfat -l -e " + Quote(image), &listing)) {
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

// First cluster and cluster count printed by the fixture.
void ParsePair(const std::string& out, uint64_t* first, uint64_t* n)
{
    std::istringstream in(out);
    in >> *first >> *n;
}

void Put32(std::vector<uint8_t>& v, uint64_t at, uint32_t x)
{
    for (int i = 0; i < 4; ++i) {
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    }
}

}  // namespace

// The acceptance rule: every sector called free is free for sleuthkit, a deleted file's clusters
// come back free, a kept file's stay used, sectors before the cluster heap are used and bit 0 of
// the bitmap is the first heap cluster. The 512-byte-cluster volume keeps its bitmap in clusters
// spread over the volume along a FAT chain.
struct ExfatVolumeRow {
    const char* name;
    const char* options;
    const char* size;
    uint32_t clusterBytes;
    bool fragment;
};

const ExfatVolumeRow kExfatVolumeRows[] = {
    {"default", "", "32M", 4096, false},
    {"c512_fragmented", "-c 512", "24M", 512, true},
    {"c64K", "-c 64K", "64M", 65536, false},
};

class ExfatRealVolumes : public ::testing::TestWithParam<ExfatVolumeRow> {};

TEST_P(ExfatRealVolumes, FreeSectorsAreFreeForSleuthkit)
{
    if (!HaveExfatTools()) {
        GTEST_SKIP() << "exfatprogs or sleuthkit missing";
    }
    TempDir dir;
    const ExfatVolumeRow& r = GetParam();
    std::string img = dir.file("v.img");
    ASSERT_TRUE(Sh("rm -f " + Quote(img) + " && truncate -s " + r.size + " " + Quote(img) +
                   " && mkfs.exfat " + r.options + " " + Quote(img)));
    std::string out;
    uint64_t keepFirst = 0, keepN = 0, goneFirst = 0, goneN = 0;
    ASSERT_TRUE(Sh(Fixture() + " addfile " + Quote(img) + " keep.bin 300000 1", &out));
    ParsePair(out, &keepFirst, &keepN);
    ASSERT_TRUE(Sh(Fixture() + " addfile " + Quote(img) + " gone.bin 400000 2", &out));
    ParsePair(out, &goneFirst, &goneN);
    if (r.fragment) {
        ASSERT_TRUE(Sh(Fixture() + " fragment-bitmap " + Quote(img), &out));
        ASSERT_GT(out.find(' '), 0u) << out;
    }
    ASSERT_TRUE(Sh(Fixture() + " delete " + Quote(img) + " gone.bin"));
    ASSERT_TRUE(Sh("fsck.exfat -n " + Quote(img)));
    Oracle blkls = BlklsExfat(img, 512);
    ASSERT_FALSE(blkls.state.empty());
    std::vector<uint8_t> raw = ReadImage(img);
    const uint64_t heapBytes = static_cast<uint64_t>(Bytes_LoadLe32(&raw[88])) * 512;

    for (uint32_t b : kSectorSizes) {
        SCOPED_TRACE("disk sector " + std::to_string(b));
        ImageDisk d(img, dir.file("disk.img"), b, kOffset, 8192);
        ASSERT_TRUE(d.ok());
        Attached a(d.disk(), d.firstSector(), d.sectorCount() + 2);
        ASSERT_EQ(a.rc, DISK_OK);
        EXPECT_EQ(a.region.kind, FS_KIND_EXFAT);
        EXPECT_EQ(a.volume()->clusterBytes, r.clusterBytes);
        const uint32_t count = static_cast<uint32_t>(d.sectorCount() + 2);
        std::vector<uint8_t> used = UsedBits(Exfat_FillUsedBits, a.region.object, count);
        EXPECT_TRUE(used[count - 1]);
        for (uint64_t s = 0; s * b < heapBytes; ++s) {
            ASSERT_TRUE(used[s]) << "sector before the heap " << s;
        }
        // Cluster 2 holds the bitmap itself: bit 0, used.
        EXPECT_TRUE(Bitmap_TestBit(a.volume()->bitmap, 0));
        EXPECT_TRUE(used[heapBytes / b]);
        used.resize(d.sectorCount());
        SubsetResult s = CheckSubset(used, b, blkls);
        EXPECT_EQ(s.violations, 0u) << "first at sector " << s.firstViolation;
        // sleuthkit reads the bitmap as one contiguous piece: with a spread bitmap it calls
        // the moved bitmap clusters free.
        const uint64_t slack = (r.fragment ? 16 : 2) * static_cast<uint64_t>(r.clusterBytes);
        if (b <= r.clusterBytes) {
            EXPECT_GE(s.freeSectors * b + slack, OracleFreeBytes(blkls));
        }
        const uint64_t goneLo = heapBytes + (goneFirst - 2) * r.clusterBytes;
        const uint64_t goneHi = goneLo + goneN * r.clusterBytes;
        for (uint64_t s2 = (goneLo + b - 1) / b; (s2 + 1) * b <= goneHi; ++s2) {
            ASSERT_FALSE(used[s2]) << "deleted file sector " << s2;
        }
        const uint64_t keepLo = heapBytes + (keepFirst - 2) * r.clusterBytes;
        const uint64_t keepHi = keepLo + keepN * r.clusterBytes;
        for (uint64_t s2 = keepLo / b; s2 * b < keepHi; ++s2) {
            ASSERT_TRUE(used[s2]) << "kept file sector " << s2;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExfatRealVolumes, ::testing::ValuesIn(kExfatVolumeRows),
                         [](const ::testing::TestParamInfo<ExfatVolumeRow>& info) {
                             return std::string(info.param.name);
                         });

// Boot sectors, directories and chains that break a rule are refused with a result code.
TEST(ExfatHostile, BrokenStructuresAreRefused)
{
    if (!HaveExfatTools()) {
        GTEST_SKIP() << "exfatprogs or sleuthkit missing";
    }
    TempDir dir;
    std::string img = dir.file("v.img");
    std::string out;
    ASSERT_TRUE(Sh("truncate -s 24M " + Quote(img) + " && mkfs.exfat -c 512 " + Quote(img)));
    ASSERT_TRUE(Sh(Fixture() + " fragment-bitmap " + Quote(img), &out));
    std::vector<uint32_t> chain;
    {
        std::istringstream in(out);
        uint32_t c;
        while (in >> c) {
            chain.push_back(c);
        }
    }
    ASSERT_GE(chain.size(), 3u);
    const std::vector<uint8_t> pristine = ReadImage(img);
    const uint64_t fat = static_cast<uint64_t>(Bytes_LoadLe32(&pristine[80])) * 512;
    const uint64_t heap = static_cast<uint64_t>(Bytes_LoadLe32(&pristine[88])) * 512;
    const uint32_t clusters = Bytes_LoadLe32(&pristine[92]);
    const uint32_t root = Bytes_LoadLe32(&pristine[96]);
    const uint64_t rootAt = heap + static_cast<uint64_t>(root - 2) * 512;
    uint64_t bitmapEntry = 0;
    for (uint64_t at = rootAt; at < rootAt + 512; at += 32) {
        if (pristine[at] == 0x81) {
            bitmapEntry = at;
            break;
        }
    }
    ASSERT_NE(bitmapEntry, 0u);

    struct Case {
        const char* what;
        uint64_t at;     // where to write
        uint32_t value;  // little-endian
        uint32_t bytes;  // 1 or 4
        int expect;
        const char* reason;
    } cases[] = {
        {"name", 3, 'X', 1, DISK_ERR_FS_CORRUPT, "exFAT boot sector: no signature"},
        {"non-zero byte 40", 40, 1, 1, DISK_ERR_FS_CORRUPT, "exFAT boot sector: no signature"},
        {"signature", 510, 0, 1, DISK_ERR_FS_CORRUPT, "exFAT boot sector: no signature"},
        {"sector shift 8", 108, 8, 1, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: sector size out of range"},
        {"sector shift 13", 108, 13, 1, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: sector size out of range"},
        {"cluster shift 17 (2^26-byte clusters)", 109, 17, 1, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: cluster size out of range"},
        {"cluster shift 200", 109, 200, 1, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: cluster size out of range"},
        {"two FATs", 110, 2, 1, DISK_ERR_FS_CORRUPT, "exFAT boot sector: more than one FAT"},
        {"cluster count 0", 92, 0, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: cluster count out of range"},
        {"cluster count past the partition", 92, clusters * 4, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: FAT out of place or too short"},
        {"cluster count 2^32 - 1", 92, 0xFFFFFFFF, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: cluster count out of range"},
        {"FAT length 0", 84, 0, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: FAT out of place or too short"},
        {"root cluster 1", 96, 1, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: root directory cluster out of range"},
        {"root cluster past the heap", 96, clusters + 2, 4, DISK_ERR_FS_CORRUPT,
         "exFAT boot sector: root directory cluster out of range"},
        {"no bitmap entry", bitmapEntry, 0x01, 1, DISK_ERR_FS_CORRUPT,
         "exFAT root directory: no allocation bitmap entry"},
        {"directory end before the bitmap entry", rootAt, 0x00, 1, DISK_ERR_FS_CORRUPT,
         "exFAT root directory: no allocation bitmap entry"},
        {"bitmap shorter than one bit per cluster", bitmapEntry + 24, clusters / 8 - 1, 4,
         DISK_ERR_FS_CORRUPT, "exFAT allocation bitmap: out of range or too short"},
        {"bitmap cluster 0", bitmapEntry + 20, 0, 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: out of range or too short"},
        {"bitmap cluster past the heap", bitmapEntry + 20, clusters + 2, 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: out of range or too short"},
        {"chain link 1", fat + 4ull * chain[0], 1, 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: cluster chain broken or too long"},
        {"chain link past the heap", fat + 4ull * chain[1], clusters + 2, 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: cluster chain broken or too long"},
        {"chain ends early", fat + 4ull * chain[1], 0xFFFFFFFF, 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: cluster chain broken or too long"},
        {"cyclic chain", fat + 4ull * chain[2], chain[1], 4, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: its clusters repeat or are not marked used"},
        {"bitmap calls its own cluster free", heap, 0xFE, 1, DISK_ERR_FS_CORRUPT,
         "exFAT allocation bitmap: its clusters repeat or are not marked used"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bad = pristine;
        if (c.bytes == 1) {
            bad[c.at] = static_cast<uint8_t>(c.value);
        } else {
            Put32(bad, c.at, c.value);
        }
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount());
        EXPECT_EQ(a.rc, c.expect);
        ExpectReason(c.reason);
        EXPECT_EQ(a.region.object, nullptr);
    }
    // A partition smaller than the volume is refused; the pristine volume opens.
    ImageDisk d(img, dir.file("disk.img"), 512, kOffset);
    ASSERT_TRUE(d.ok());
    Refusal_Clear();
    Attached small(d.disk(), d.firstSector(), d.sectorCount() / 2);
    EXPECT_EQ(small.rc, DISK_ERR_FS_CORRUPT);
    ExpectReason("exFAT boot sector: the volume is larger than its partition");
    Refusal_Clear();
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    EXPECT_EQ(a.rc, DISK_OK);
    ExpectReason(nullptr);
}

// The placeholder refuses every partition, so MBR type 0xFB falls through to the drivers: an
// exFAT volume in a partition of type 0xFB becomes an exFAT region.
TEST(ExfatPlaceholder, RefusesEveryPartition)
{
    if (HaveExfatTools() && HaveTool("sfdisk")) {
        TempDir dir;
        const std::string img = dir.file("v.img");
        const std::string disk = dir.file("d.img");
        ASSERT_TRUE(Sh("truncate -s 8M " + Quote(img) + " && mkfs.exfat " + Quote(img) +
                       " && truncate -s 10M " + Quote(disk) +
                       " && printf 'label: dos\\n2048,16384,fb\\n' | sfdisk -q " + Quote(disk) +
                       " && dd status=none conv=notrunc bs=512 seek=2048 if=" + Quote(img) +
                       " of=" + Quote(disk)));
        DiskHandle h;
        Disk_Init(&h);
        DiskGeometry g{};
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, 20480);
        ASSERT_EQ(Disk_OpenRaw(&h, disk.c_str(), true, 0, &g), DISK_OK);
        int result = -1;
        uint32_t known = 0;
        UsedSectorMap* map = UsedMap_Create(&h, &result, &known);
        ASSERT_NE(map, nullptr) << result;
        EXPECT_EQ(known, 1u);
        ASSERT_EQ(map->regionCount, 3u);
        EXPECT_EQ(map->regions[1].kind, FS_KIND_EXFAT);
        EXPECT_EQ(map->regions[1].first, 2048u);
        UsedMap_Destroy(map);
        Mem_Free(map);
        Disk_Close(&h);
    }
    VolumeRegion region;
    VolumeRegion_Init(&region);
    DiskHandle disk;
    Disk_Init(&disk);
    EXPECT_EQ(Fs_AttachUnsupported(&region, &disk, 0, 100), DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(region.kind, FS_KIND_NONE);
    uint8_t bits[2] = {0, 0};
    EXPECT_EQ(FsUnsupported_FillUsedBits(nullptr, 0, 8, bits, 0), DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(Fs_KindFromMbrType(0xFB), FS_KIND_UNSUPPORTED);
}
