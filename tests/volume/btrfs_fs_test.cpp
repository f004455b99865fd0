// Btrfs driver: a volume made by mkfs.btrfs is read as far as its extent tree (block groups and
// extents as dump-tree lists them) and still counts as wholly used; damaged superblocks, chunk
// arrays and tree nodes are refused with a result code.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/btrfs_fs.h"
#include "volume/fs_driver_support.h"
#include "volume/used_map.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::RandomBytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint64_t kOffset = 1048576;

bool HaveBtrfsTools() { return HaveTool("mkfs.btrfs") && HaveTool("btrfs"); }

bool MakeBtrfs(const TempDir& dir, const std::string& image)
{
    if (!Sh("mkdir -p " + Quote(dir.file("tree")))) {
        return false;
    }
    WriteFile(dir.file("tree/a.bin"), RandomBytes(300000, 5));
    WriteFile(dir.file("tree/b.bin"), RandomBytes(2000000, 6));
    return Sh("rm -f " + Quote(image) + " && truncate -s 256M " + Quote(image) +
              " && mkfs.btrfs -q -f --rootdir " + Quote(dir.file("tree")) + " " + Quote(image));
}

uint64_t CountLines(const std::string& text, const std::string& needle)
{
    uint64_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t n)
{
    std::vector<uint8_t> b(n);
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        EXPECT_EQ(std::fread(b.data(), 1, n, f), n);
        std::fclose(f);
    }
    return b;
}

void WriteLeAt(const std::string& path, uint64_t offset, uint64_t value, int bytes)
{
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    ASSERT_EQ(std::fwrite(b, 1, bytes, f), static_cast<size_t>(bytes));
    std::fclose(f);
}

int OpenImage(const std::string& image, const std::string& diskPath, uint32_t b,
              BtrfsVolume* volume, int* attach)
{
    ImageDisk d(image, diskPath, b, kOffset, 8192);
    EXPECT_TRUE(d.ok());
    int rc = Btrfs_Open(volume, d.disk(), d.firstSector(), d.sectorCount());
    VolumeRegion region;
    VolumeRegion_Init(&region);
    *attach = Fs_AttachBtrfs(&region, d.disk(), d.firstSector(), d.sectorCount());
    EXPECT_EQ(region.object, nullptr);
    return rc;
}

}  // namespace

// The structures read agree with dump-tree, yet the partition is refused at every sector size.
TEST(BtrfsRealVolume, ReadToTheExtentTreeAndCountedWhollyUsed)
{
    if (!HaveBtrfsTools()) {
        GTEST_SKIP() << "btrfs-progs missing";
    }
    TempDir dir;
    std::string img = dir.file("b.img");
    ASSERT_TRUE(MakeBtrfs(dir, img));
    std::string extentTree;
    ASSERT_TRUE(Sh("btrfs inspect-internal dump-tree -t extent " + Quote(img), &extentTree));
    const uint64_t groups = CountLines(extentTree, "BLOCK_GROUP_ITEM");
    const uint64_t extents = CountLines(extentTree, " EXTENT_ITEM");
    ASSERT_GT(groups, 0u);
    ASSERT_GT(extents, 0u);
    for (uint32_t b : {256u, 512u, 1024u, 4096u}) {
        SCOPED_TRACE(b);
        BtrfsVolume volume;
        int attach = 0;
        Refusal_Clear();
        ASSERT_EQ(OpenImage(img, dir.file("d.img"), b, &volume, &attach), DISK_OK);
        EXPECT_EQ(attach, DISK_ERR_FS_CORRUPT);
        ExpectReason("Btrfs volume: read, but its free space is never taken");
        EXPECT_EQ(volume.blockGroups.count, groups);
        EXPECT_EQ(volume.extents.count, extents);
        EXPECT_GT(volume.readMap.count, 0u);
        EXPECT_GE(volume.stripes.count, volume.readMap.count);
        Btrfs_Destroy(&volume);
    }
    // Through the map: the whole disk is one unrecognised volume, so no map and all used.
    ImageDisk d(img, dir.file("d.img"), 512, 0);
    ASSERT_TRUE(d.ok());
    int rc = -1;
    uint32_t known = 7;
    UsedSectorMap* map = UsedMap_Create(d.disk(), &rc, &known);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(known, 0u);
}

// Damaged structures are refused with DISK_ERR_FS_CORRUPT, never a crash or a loop.
TEST(BtrfsHostile, DamagedStructuresAreRefused)
{
    if (!HaveBtrfsTools()) {
        GTEST_SKIP() << "btrfs-progs missing";
    }
    TempDir dir;
    std::string base = dir.file("base.img");
    ASSERT_TRUE(MakeBtrfs(dir, base));
    const uint64_t sb = 0x10000;
    std::vector<uint8_t> s = ReadAt(base, sb, 4096);
    const uint64_t chunkRoot = Bytes_LoadLe64(&s[88]);
    const uint32_t nodeSize = Bytes_LoadLe32(&s[148]);
    // The first chunk of the system array and where the chunk root lies in the image.
    const uint64_t array = sb + 811;
    const uint64_t chunkLogical = Bytes_LoadLe64(&s[811 + 9]);
    const uint64_t stripeOffset = Bytes_LoadLe64(&s[811 + 17 + 48 + 8]);
    ASSERT_GE(chunkRoot, chunkLogical);
    const uint64_t rootAt = stripeOffset + (chunkRoot - chunkLogical);
    ASSERT_EQ(Bytes_LoadLe64(&ReadAt(base, rootAt + 48, 8)[0]), chunkRoot);
    struct Patch {
        const char* what;
        uint64_t offset;
        uint64_t value;
        int bytes;
    };
    struct Case {
        std::vector<Patch> patches;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{{"system chunk array of 2049 bytes", sb + 160, 2049, 4}},
         "Btrfs superblock: system chunk array too large"},
        {{{"chunk without stripes", array + 17 + 44, 0, 2}},
         "Btrfs system chunk array: malformed chunk item"},
        {{{"stripes past the array", array + 17 + 44, 100, 2}},
         "Btrfs system chunk array: malformed chunk item"},
        {{{"chunk ending before the chunk root", array + 17, chunkRoot - chunkLogical, 8}},
         "Btrfs address: in a gap between chunks"},
        {{{"node size 0", sb + 148, 0, 4}}, "Btrfs superblock: node size out of range"},
        {{{"two devices", sb + 136, 2, 8}},
         "Btrfs superblock: the volume spans more than one device"},
        {{{"items past the node", rootAt + 96, (nodeSize - 101) / 25 + 1, 4}},
         "Btrfs tree node: more items than the node holds"},
        {{{"item data past the node", rootAt + 101 + 17, nodeSize, 4}},
         "Btrfs tree item: data past the end of its node"},
        {{{"level 8", rootAt + 100, 8, 1}}, "Btrfs tree node: level out of place"},
        {{{"root made an inner node", rootAt + 100, 1, 1},
          {"one pointer", rootAt + 96, 1, 4},
          {"pointing at itself", rootAt + 101 + 17, chunkRoot, 8}},
         "Btrfs tree node: level out of place"},
        {{{"wrong own address", rootAt + 48, chunkRoot + nodeSize, 8}},
         "Btrfs tree node: its address does not match where it lies"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.patches[0].what);
        std::string img = dir.file("b.img");
        ASSERT_TRUE(Sh("cp --sparse=always " + Quote(base) + " " + Quote(img)));
        for (const Patch& p : c.patches) {
            WriteLeAt(img, p.offset, p.value, p.bytes);
        }
        BtrfsVolume volume;
        int attach = 0;
        Refusal_Clear();
        EXPECT_EQ(OpenImage(img, dir.file("d.img"), 512, &volume, &attach), DISK_ERR_FS_CORRUPT);
        EXPECT_EQ(attach, DISK_ERR_FS_CORRUPT);
        ExpectReason(c.reason);
        EXPECT_EQ(volume.readMap.data, nullptr);
        Btrfs_Destroy(&volume);
    }
}
