// Reading VMDK images made by other tools: every layout, split sets across extent boundaries,
// children over their parents, refused parent chains, the empty-range and layer queries, and
// the check named for each kind of damage.
#include <gtest/gtest.h>

#include <cctype>

#include "formats/vmdk/vmdk_test_util.h"
#include "foundation/refusal.h"

using namespace vmdktest;

namespace {

class VmdkRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Qemu()) GTEST_SKIP() << "qemu-img or qemu-io missing";
    }
    TempDir dir;
};

std::string Sectors(uint64_t n) { return std::to_string(n * 512); }

}  // namespace

TEST_F(VmdkRead, EveryLayoutReadsLikeItsSource)
{
    struct Layout {
        const char* subformat;
        const char* adapter;
    };
    const Layout layouts[] = {{"monolithicSparse", "ide"},
                              {"monolithicFlat", "lsilogic"},
                              {"twoGbMaxExtentSparse", "ide"},
                              {"twoGbMaxExtentFlat", "buslogic"},
                              {"streamOptimized", "lsilogic"}};
    // Whole grains, and whole grains + 7 sectors.
    for (uint64_t bytes : {uint64_t(6) << 20, (uint64_t(6) << 20) + 7 * 512}) {
        std::vector<uint8_t> raw = PatternDisk(bytes, static_cast<uint32_t>(bytes));
        std::string src = dir.file("src.raw");
        WriteFile(src, raw);
        for (const Layout& l : layouts) {
            std::string out = dir.file(std::string(l.subformat) + std::to_string(bytes) + ".vmdk");
            ASSERT_EQ(
                Sh("qemu-img convert -f raw -O vmdk -o subformat=" + std::string(l.subformat) +
                   ",adapter_type=" + l.adapter + " " + Quote(src) + " " + Quote(out)),
                0);
            Image img;
            ASSERT_EQ(img.Open(out), DISK_OK) << l.subformat;
            EXPECT_EQ(img.Total() * 512, bytes) << l.subformat;
            EXPECT_EQ(img.image->geometry.bytes_per_sector, 512u);
            // Odd piece sizes cross grains and tables at every alignment.
            for (uint32_t piece : {1u << 20, 4096u * 3 + 512u, 512u * 129}) {
                std::vector<uint8_t> got = ReadAll(img.image, piece);
                EXPECT_TRUE(got == raw) << l.subformat << " piece " << piece;
            }
            // Past the end: refused without reading.
            uint8_t b[512];
            EXPECT_EQ(Vmdk_Read(img.image, bytes - 511, 512, b), DISK_ERR_ARG);
            EXPECT_EQ(Vmdk_Read(img.image, bytes - 512, 512, b), DISK_OK);
            bool flat = std::string(l.subformat).find("Flat") != std::string::npos;
            EXPECT_EQ(Vmdk_IsFlat(img.image), flat);
            bool plain = std::string(l.subformat) != "streamOptimized";
            EXPECT_EQ(Vmdk_CanCompact(img.image), plain && !flat) << l.subformat;
            EXPECT_FALSE(Vmdk_HasParent(img.image));
        }
    }
}

TEST_F(VmdkRead, EmptyRangeAndLayerQueries)
{
    uint64_t bytes = uint64_t(6) << 20;
    std::vector<uint8_t> raw = PatternDisk(bytes, 7);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    for (const char* sub : {"monolithicSparse", "streamOptimized", "monolithicFlat"}) {
        std::string out = dir.file(std::string(sub) + ".vmdk");
        ASSERT_EQ(Sh(std::string("qemu-img convert -f raw -O vmdk -o subformat=") + sub + " " +
                     Quote(src) + " " + Quote(out)),
                  0);
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK);
        // Per 128-sector block: data, then two blocks without (block 1 has one byte at its end).
        for (uint64_t block = 0; block < bytes / 65536; ++block) {
            bool e = true;
            ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, block * 128, 128, &e, nullptr, nullptr),
                      DISK_OK);
            bool expected = block % 3 != 0 && block != 1 && block != bytes / 65536 - 1;
            EXPECT_EQ(e, expected) << sub << " block " << block;
        }
        bool e = false;
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 128, 127, &e, nullptr, nullptr), DISK_OK);
        EXPECT_TRUE(e) << sub;
        EXPECT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, img.Total() - 1, 2, &e, nullptr, nullptr),
                  DISK_ERR_ARG);
        bool u = false;
        int r = Vmdk_IsRangeUnallocated(img.image, nullptr, 0, 128, &u);
        if (std::string(sub) == "monolithicFlat") {
            EXPECT_EQ(r, DISK_ERR_ARG);
        } else {
            ASSERT_EQ(r, DISK_OK);
            EXPECT_FALSE(u);
            ASSERT_EQ(Vmdk_IsRangeUnallocated(img.image, nullptr, 256, 128, &u), DISK_OK);
            EXPECT_TRUE(u) << sub;
        }
    }
}

TEST_F(VmdkRead, SplitSetsAcrossExtentBoundaries)
{
    // qemu cuts split images into extents of 4192256 sectors.
    const uint64_t boundary = 4192256;
    for (const char* sub : {"twoGbMaxExtentSparse", "twoGbMaxExtentFlat"}) {
        TempDir d;
        std::string out = d.file("big.vmdk");
        ASSERT_EQ(Sh(std::string("qemu-img create -q -f vmdk -o subformat=") + sub + " " +
                     Quote(out) + " 4100M"),
                  0);
        ASSERT_EQ(
            Sh("qemu-io -f vmdk -c 'write -P 0xaa " + Sectors(boundary - 100) + " " + Sectors(300) +
               "' -c 'write -P 0x55 " + Sectors(2 * boundary - 1) + " 1024' -c 'write -P 0x11 " +
               Sectors(4100ull * 2048 - 3) + " 1536' " + Quote(out)),
            0);
        std::string raw = d.file("big.raw");
        ASSERT_EQ(Sh("qemu-img convert -f vmdk -O raw " + Quote(out) + " " + Quote(raw)), 0);
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK) << sub;
        ASSERT_EQ(img.image->extentCount, 3u);
        EXPECT_EQ(img.Total(), 4100ull * 2048);
        const uint64_t windows[] = {0, boundary - 4096, 2 * boundary - 2048, 4100ull * 2048 - 4096};
        for (uint64_t w : windows) {
            std::vector<uint8_t> got =
                ReadRange(img.image, w * 512,
                          8192 * 512 > (4100ull * 2048 - w) * 512
                              ? static_cast<uint32_t>((4100ull * 2048 - w) * 512)
                              : 8192 * 512);
            std::vector<uint8_t> expected =
                ReadFileRange(raw, w * 512, static_cast<uint32_t>(got.size()));
            EXPECT_TRUE(got == expected) << sub << " window " << w;
        }
        // A read that crosses from one extent into the next returns both parts in one buffer.
        std::vector<uint8_t> cross = ReadRange(img.image, (boundary - 1) * 512, 1024);
        EXPECT_EQ(cross[0], 0xaa);
        EXPECT_EQ(cross[1023], 0xaa);
        bool e = true;
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, boundary + 300, 1000, &e, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(e);
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, boundary - 10, 20, &e, nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(e);
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 2 * boundary, 100, &e, nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(e);
        ASSERT_EQ(
            Vmdk_IsRangeEmpty(img.image, nullptr, 2 * boundary + 1, 100, &e, nullptr, nullptr),
            DISK_OK);
        EXPECT_TRUE(e);
    }
}

TEST_F(VmdkRead, ChildrenReadThroughTheirParents)
{
    std::string base = dir.file("base.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 10M"), 0);
    ASSERT_EQ(
        Sh("qemu-io -f vmdk -c 'write -P 0xbb 0 1M' -c 'write -P 0xcc 4M 64k' " + Quote(base)), 0);
    for (const char* sub : {"monolithicSparse", "twoGbMaxExtentSparse"}) {
        std::string child = dir.file(std::string("child-") + sub + ".vmdk");
        ASSERT_EQ(Sh("qemu-img create -q -f vmdk -o subformat=" + std::string(sub) +
                     " -b base.vmdk -F vmdk " + Quote(child)),
                  0);
        // Part of a grain written in the child: the rest of the grain comes from the parent too.
        ASSERT_EQ(
            Sh("qemu-io -f vmdk -c 'write -P 0xdd 512k 4k' -c 'write -z 4M 64k' " + Quote(child)),
            0);
        std::string raw = dir.file("child.raw");
        ASSERT_EQ(Sh("qemu-img convert -f vmdk -O raw " + Quote(child) + " " + Quote(raw)), 0);
        Image img;
        ASSERT_EQ(img.Open(child), DISK_OK) << sub;
        EXPECT_TRUE(Vmdk_HasParent(img.image));
        EXPECT_TRUE(Vmdk_CanCompact(img.image));
        EXPECT_TRUE(ReadAll(img.image) == ReadFile(raw)) << sub;
        // The layer query sees only what the child holds.
        bool u = false;
        ASSERT_EQ(Vmdk_IsRangeUnallocated(img.image, nullptr, 1024, 128, &u), DISK_OK);
        EXPECT_FALSE(u);
        ASSERT_EQ(Vmdk_IsRangeUnallocated(img.image, nullptr, 0, 1024, &u), DISK_OK);
        EXPECT_TRUE(u);
        bool e = true;
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 0, 128, &e, nullptr, nullptr), DISK_OK);
        EXPECT_FALSE(e);  // parent data
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 4096, 2048, &e, nullptr, nullptr), DISK_OK);
        EXPECT_TRUE(e);  // neither layer holds data there
        ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 8192, 2048, &e, nullptr, nullptr), DISK_OK);
        EXPECT_EQ(
            e, ReadFileRange(raw, 8192 * 512, 2048 * 512) == std::vector<uint8_t>(2048 * 512, 0));
        // The parent path resolves next to the child.
        uint8_t h[4096], w[4096], p[4096];
        TextBuffer hint, work, result;
        TextBuffer_Init(&hint, h, 0, sizeof h);
        TextBuffer_Init(&work, w, 0, sizeof w);
        TextBuffer_Init(&result, p, 0, sizeof p);
        ASSERT_TRUE(Vmdk_GetParentPath(img.image, &hint, &work, &result));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p)), base);
        EXPECT_EQ(Vmdk_GetEffectiveHwVersion(img.image), 1u);  // qemu writes "4"
    }
}

TEST_F(VmdkRead, ParentModesAndMissingParents)
{
    std::string base = dir.file("base.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 10M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0xbb 0 1M' " + Quote(base)), 0);
    std::string child = dir.file("child.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -b base.vmdk -F vmdk " + Quote(child)), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0xdd 2M 64k' " + Quote(child)), 0);
    {
        Image img;
        ASSERT_EQ(img.Open(child, true, VMDK_PARENT_NONE), DISK_OK);
        EXPECT_TRUE(img.image->childWithoutParent);
        EXPECT_EQ(img.image->geometry.heads, 0u);
        EXPECT_EQ(img.image->geometry.sectors_per_track, 0u);
        EXPECT_FALSE(Vmdk_CanCompact(img.image));
        EXPECT_TRUE(Vmdk_HasParent(img.image));
        std::vector<uint8_t> first = ReadRange(img.image, 0, 4096);
        EXPECT_EQ(first, std::vector<uint8_t>(4096, 0));
        EXPECT_EQ(ReadRange(img.image, 2 << 20, 512)[0], 0xdd);
    }
    {
        Image img;
        EXPECT_EQ(img.Open(base, true, VMDK_PARENT_CHILD_ONLY), DISK_ERR_FORMAT);
        Image c;
        ASSERT_EQ(c.Open(child, true, VMDK_PARENT_CHILD_ONLY), DISK_OK);
        EXPECT_TRUE(c.image->childWithoutParent);
    }
    ASSERT_EQ(Sh("mv " + Quote(base) + " " + Quote(dir.file("moved.vmdk"))), 0);
    {
        Image img;
        EXPECT_NE(img.Open(child, true, VMDK_PARENT_REQUIRED), DISK_OK);
        Image opt;
        ASSERT_EQ(opt.Open(child, true, VMDK_PARENT_OPTIONAL), DISK_OK);
        EXPECT_TRUE(opt.image->childWithoutParent);
    }
}

TEST_F(VmdkRead, ParentOfAnotherSize)
{
    std::string base = dir.file("small.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 1M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x77 0 1M' " + Quote(base)), 0);
    std::string child = dir.file("big.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -b small.vmdk -F vmdk " + Quote(child) + " 3M"), 0);
    Image img;
    ASSERT_EQ(img.Open(child), DISK_OK);
    EXPECT_EQ(img.Total(), 3u * 2048);
    std::vector<uint8_t> all = ReadAll(img.image);
    EXPECT_EQ(all[0], 0x77);
    EXPECT_EQ(all[(1 << 20) - 1], 0x77);
    EXPECT_TRUE(std::vector<uint8_t>(all.begin() + (1 << 20), all.end()) ==
                std::vector<uint8_t>(2 << 20, 0));
    bool e = false;
    ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 2048, 4096, &e, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(e);
}

namespace {

// A child descriptor file naming its parent, over a fresh sparse extent of the given size.
void MakeChild(const TempDir& d, const std::string& name, const std::string& parentHint,
               uint64_t sectors)
{
    std::string extent = name + "-s001.vmdk";
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse " +
                 Quote(d.file("tmp.vmdk")) + " " + Sectors(sectors)),
              0);
    ASSERT_EQ(Sh("mv " + Quote(d.file("tmp-s001.vmdk")) + " " + Quote(d.file(extent)) + " && rm " +
                 Quote(d.file("tmp.vmdk"))),
              0);
    WriteText(d.file(name),
              "version=1\nCID=2\nparentCID=1\ncreateType="
              "\"twoGbMaxExtentSparse\"\nparentFileNameHint=\"" +
                  parentHint + "\"\nRW " + std::to_string(sectors) + " SPARSE \"" + extent +
                  "\"\n");
}

}  // namespace

TEST_F(VmdkRead, ParentChainsAreBounded)
{
    // A hint naming the image itself, a loop of two, a loop through a longer chain.
    MakeChild(dir, "self.vmdk", "./self.vmdk", 2048);
    MakeChild(dir, "a.vmdk", "b.vmdk", 2048);
    MakeChild(dir, "b.vmdk", "sub/../a.vmdk", 2048);
    MakeChild(dir, "x.vmdk", "y.vmdk", 2048);
    MakeChild(dir, "y.vmdk", "z.vmdk", 2048);
    MakeChild(dir, "z.vmdk", "y.vmdk", 2048);
    ASSERT_EQ(Sh("mkdir " + Quote(dir.file("sub"))), 0);
    for (const char* name : {"self.vmdk", "a.vmdk", "b.vmdk", "x.vmdk"}) {
        for (int mode : {VMDK_PARENT_REQUIRED, VMDK_PARENT_OPTIONAL}) {
            Image img;
            EXPECT_EQ(img.Open(dir.file(name), true, mode), DISK_ERR_FORMAT)
                << name << " mode " << mode;
        }
        Image none;
        EXPECT_EQ(none.Open(dir.file(name), true, VMDK_PARENT_NONE), DISK_OK) << name;
    }
    // The hint naming the image itself is refused before any parent is opened.
    Refusal_Clear();
    Image self;
    EXPECT_EQ(self.Open(dir.file("self.vmdk")), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VMDK descriptor: parent file name names the image itself");
    // The same through the general open.
    Disk disk;
    EXPECT_NE(Disk_Open(disk.handle, dir.file("a.vmdk").c_str(), true), DISK_OK);

    // A chain of 32 images opens; one of 33 is refused.
    std::string base = dir.file("c0.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 1M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x42 0 512' " + Quote(base)), 0);
    for (int i = 1; i <= 32; ++i)
        MakeChild(dir, "c" + std::to_string(i) + ".vmdk", "c" + std::to_string(i - 1) + ".vmdk",
                  2048);
    Image deep;
    ASSERT_EQ(deep.Open(dir.file("c31.vmdk")), DISK_OK);
    EXPECT_EQ(ReadRange(deep.image, 0, 512)[511], 0x42);
    Image tooDeep;
    EXPECT_EQ(tooDeep.Open(dir.file("c32.vmdk")), DISK_ERR_FORMAT);
}

TEST_F(VmdkRead, StreamFilesWithTheDirectoryAtTheEnd)
{
    if (RunCommand("/usr/bin/python3 -c 'import VMDKstream' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-vmdkstream missing";
    // Whole grains, a partial last grain, and one directory sector over several tables.
    for (uint64_t bytes :
         {uint64_t(3) << 20, (uint64_t(3) << 20) + 7 * 512, (uint64_t(33) << 20) + 512}) {
        std::vector<uint8_t> raw = PatternDisk(bytes, 99);
        std::string src = dir.file("s.raw");
        std::string out = dir.file("s.vmdk");
        WriteFile(src, raw);
        ASSERT_EQ(Sh("/usr/bin/python3 /usr/lib/python3/dist-packages/VMDKstream.py " + Quote(src) +
                     " " + Quote(out)),
                  0);
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK) << bytes;
        EXPECT_EQ(img.image->sparseExtents[0].header.gdOffset, VMDK_GD_AT_END);
        EXPECT_TRUE(ReadAll(img.image, 3 * 4096) == raw) << bytes;
        EXPECT_FALSE(Vmdk_CanCompact(img.image));
    }
}

TEST_F(VmdkRead, ExtentPathsAndFlatFiles)
{
    uint64_t bytes = 1 << 20;
    std::vector<uint8_t> raw = PatternDisk(bytes, 3);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    std::string out = dir.file("f.vmdk");
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat " + Quote(src) + " " +
                 Quote(out)),
              0);
    // A flat file one byte too short is refused; an offset into the file is honoured.
    std::string flat = dir.file("f-flat.vmdk");
    ASSERT_EQ(Sh("truncate -s " + std::to_string(bytes - 1) + " " + Quote(flat)), 0);
    {
        Image img;
        EXPECT_EQ(img.Open(out), DISK_ERR_FORMAT);
    }
    std::vector<uint8_t> shifted(1024 + raw.size(), 0xEE);
    std::memcpy(shifted.data() + 1024, raw.data(), raw.size());
    WriteFile(flat, shifted);
    std::string text =
        "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
        "RW 2048 FLAT \"f-flat.vmdk\" 2\nddb.adapterType = \"ide\"\n";
    WriteText(out, text);
    {
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK);
        EXPECT_TRUE(ReadAll(img.image) == raw);
    }
    // Extent names that are no valid path, or files that are missing.
    WriteText(out,
              "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
              "RW 2048 FLAT \"a|b.vmdk\" 0\nddb.adapterType = \"ide\"\n");
    {
        Image img;
        EXPECT_EQ(img.Open(out), DISK_ERR_FORMAT);
    }
    WriteText(out,
              "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
              "RW 2048 FLAT \"missing.vmdk\" 0\nddb.adapterType = \"ide\"\n");
    {
        Image img;
        EXPECT_EQ(img.Open(out), DISK_ERR_OPEN);
    }
    Image missing;
    EXPECT_EQ(missing.Open(dir.file("nothing.vmdk")), DISK_ERR_OPEN);
}

TEST_F(VmdkRead, ZeroedGrainsHideTheParent)
{
    // Grain table entry 1 marks a grain of zeros; in a child it hides the parent's data.
    std::string base = dir.file("zb.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 4M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0xbb 0 4M' " + Quote(base)), 0);
    std::string child = dir.file("zc.vmdk");
    ASSERT_EQ(
        Sh("qemu-img create -q -f vmdk -o zeroed_grain=on -b zb.vmdk -F vmdk " + Quote(child)), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -z 64k 128k' " + Quote(child)), 0);
    std::string raw = dir.file("zc.raw");
    ASSERT_EQ(Sh("qemu-img convert -f vmdk -O raw " + Quote(child) + " " + Quote(raw)), 0);
    Image img;
    ASSERT_EQ(img.Open(child), DISK_OK);
    std::vector<uint8_t> all = ReadAll(img.image);
    EXPECT_TRUE(all == ReadFile(raw));
    EXPECT_EQ(all[65536], 0);
    EXPECT_EQ(all[0], 0xbb);
    bool e = false;
    ASSERT_EQ(Vmdk_IsRangeEmpty(img.image, nullptr, 128, 256, &e, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(e);
    // The zeroed grains belong to the child's layer: a rewrite must keep them.
    bool u = true;
    ASSERT_EQ(Vmdk_IsRangeUnallocated(img.image, nullptr, 128, 128, &u), DISK_OK);
    EXPECT_FALSE(u);
    ASSERT_EQ(Vmdk_IsRangeUnallocated(img.image, nullptr, 0, 128, &u), DISK_OK);
    EXPECT_TRUE(u);
}

TEST_F(VmdkRead, GeneralOpenFindsVmdkImages)
{
    std::string base = dir.file("Base.VMDK");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(base) + " 2M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x31 0 1M' " + Quote(base)), 0);
    std::string child = dir.file("child.img");  // no extension: found by probing
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -b Base.VMDK -F vmdk " + Quote(child)), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x32 512k 4k' " + Quote(child)), 0);
    std::string raw = dir.file("child.raw");
    ASSERT_EQ(Sh("qemu-img convert -f vmdk -O raw " + Quote(child) + " " + Quote(raw)), 0);
    Disk disk;
    ASSERT_EQ(Disk_Open(disk.handle, child.c_str(), true), DISK_OK);
    EXPECT_EQ(Disk_GetKind(disk.handle), DISK_KIND_VMDK);
    EXPECT_TRUE(Disk_HasParent(disk.handle));
    EXPECT_TRUE(Disk_CanCompact(disk.handle));
    ASSERT_EQ(disk.Total(), 4096u);
    std::vector<uint8_t> all(2 << 20);
    ASSERT_EQ(Disk_Read(disk.handle, 0, static_cast<uint32_t>(all.size()), all.data()), DISK_OK);
    EXPECT_TRUE(all == ReadFile(raw));
    bool u = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(disk.handle, nullptr, 1024, 8, &u), DISK_OK);
    EXPECT_FALSE(u);
    bool e = false;
    ASSERT_EQ(Disk_IsRangeEmpty(disk.handle, nullptr, 2048, 2048, &e, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(e);
    // A flat image over a plain file: no layer to ask.
    std::string rawBase = dir.file("plain.img");
    WriteFile(rawBase, std::vector<uint8_t>(1 << 20, 0x44));
    WriteText(dir.file("over-raw.vmdk"),
              "version=1\nCID=2\nparentCID=1\ncreateType=\"monolithicFlat\"\nRW 2048 FLAT "
              "\"plain.img\" 0\n"
              "ddb.adapterType=ide\n");
    Disk flat;
    ASSERT_EQ(Disk_Open(flat.handle, dir.file("over-raw.vmdk").c_str(), true), DISK_OK);
    EXPECT_FALSE(Disk_CanCompact(flat.handle));
    bool x;
    EXPECT_EQ(Disk_IsRangeUnallocated(flat.handle, nullptr, 0, 8, &x), DISK_ERR_ARG);
}

TEST_F(VmdkRead, DirectoriesOfOneFileNamedManyTimesAreBounded)
{
    // One extent file with grains of one sector (a directory of 32 MiB for 2^32 - 1 sectors)
    // named by a thousand extent lines: refused before the directories fill the memory.
    std::vector<uint8_t> f(512, 0);
    VmdkSparseHeader h;
    VmdkSparse_BuildHeader(&h, 0xFFFFFFFF, 0, 3, false, false);
    h.grainSize = 1;
    h.rgdOffset = 0;
    h.gdOffset = 1;
    h.overHead = 0x8000;
    VmdkSparse_HeaderToDisk(&h, f.data());
    f.resize(512 + 32u * 1024 * 1024, 0);
    WriteFile(dir.file("one.vmdk"), f);
    std::string text =
        "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n";
    for (int i = 0; i < 1000; ++i) text += "RW 4294967295 SPARSE \"one.vmdk\"\n";
    text += "ddb.adapterType = \"ide\"\n";
    WriteText(dir.file("many.vmdk"), text);
    Image img;
    EXPECT_EQ(img.Open(dir.file("many.vmdk")), DISK_ERR_FORMAT);
    // A few of them are fine.
    std::string few =
        "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
        "RW 4294967295 SPARSE \"one.vmdk\"\nRW 4294967295 SPARSE \"one.vmdk\"\nddb.adapterType = "
        "ide\n";
    WriteText(dir.file("few.vmdk"), few);
    Image two;
    ASSERT_EQ(two.Open(dir.file("few.vmdk")), DISK_OK);
    EXPECT_EQ(two.Total(), 2 * 0xFFFFFFFFull);
    EXPECT_EQ(ReadRange(two.image, 0xFFFFFFFFull * 512 - 512, 1024), std::vector<uint8_t>(1024, 0));
}

TEST_F(VmdkRead, ShiftJisDescriptorsNameTheirFiles)
{
    const std::string sjis = "\x83\x66\x83\x42\x83\x58\x83\x4e";                  // Shift_JIS
    const std::string utf8 = "\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf";  // the same name
    std::vector<uint8_t> raw = PatternDisk(1 << 20, 21);
    WriteFile(dir.file(utf8 + "-flat.vmdk"), raw);
    WriteText(dir.file("sjis.vmdk"),
              "# Disk DescriptorFile\nversion=1\nencoding=\"Shift_JIS\"\nCID=1\n"
              "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\nRW 2048 FLAT \"" +
                  sjis + "-flat.vmdk\" 0\nddb.adapterType = \"ide\"\n");
    Image img;
    ASSERT_EQ(img.Open(dir.file("sjis.vmdk")), DISK_OK);
    EXPECT_EQ(std::string(img.image->flatExtents[0].path), dir.file(utf8 + "-flat.vmdk"));
    EXPECT_TRUE(ReadAll(img.image) == raw);
    // A child whose hint is in Shift_JIS.
    std::string parent = dir.file(utf8 + ".vmdk");
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk " + Quote(dir.file(utf8 + "-flat.vmdk")) + " " +
                 Quote(parent)),
              0);
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse " +
                 Quote(dir.file("c.vmdk")) + " 1M"),
              0);
    WriteText(dir.file("c.vmdk"),
              "version=1\nencoding=\"Shift_JIS\"\nCID=2\nparentCID=1\n"
              "createType=\"twoGbMaxExtentSparse\"\nparentFileNameHint=\"" +
                  sjis + ".vmdk\"\nRW 2048 SPARSE \"c-s001.vmdk\"\n");
    Image child;
    ASSERT_EQ(child.Open(dir.file("c.vmdk")), DISK_OK);
    EXPECT_TRUE(ReadAll(child.image) == raw);
    uint8_t h[4096], w[4096], p[4096];
    TextBuffer hint, work, result;
    TextBuffer_Init(&hint, h, 0, sizeof h);
    TextBuffer_Init(&work, w, 0, sizeof w);
    TextBuffer_Init(&result, p, 0, sizeof p);
    ASSERT_TRUE(Vmdk_GetParentPath(child.image, &hint, &work, &result));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h)), utf8 + ".vmdk");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p)), parent);
}

// ---- Refusals -------------------------------------------------------------------------------------
// Each case damages one field of a sound image made by qemu-img and names the check that must
// refuse it. Cases marked `atRead` open and are refused when the damaged table or grain is read.

namespace {

// The stream image of qemu-img keeps its directory up front; the footer image, written by
// python3-vmdkstream, has it at the end behind the footer.
enum SoundImage { SOUND_SPARSE, SOUND_STREAM, SOUND_FLAT, SOUND_FOOTER };

VmdkSparseHeader HeaderOf(const std::vector<uint8_t>& f)
{
    VmdkSparseHeader h;
    VmdkSparse_HeaderToHost(f.data(), &h);
    return h;
}

// Writes the header fields back over the first 80 bytes, leaving the rest of the sector.
void PutHeader(std::vector<uint8_t>& f, const VmdkSparseHeader& h)
{
    uint8_t s[512];
    VmdkSparse_HeaderToDisk(&h, s);
    std::memcpy(f.data(), s, VMDK_HEADER_FIELD_BYTES);
}

uint32_t Le32At(const std::vector<uint8_t>& f, uint64_t at) { return Bytes_LoadLe32(&f.at(at)); }
void SetLe32At(std::vector<uint8_t>& f, uint64_t at, uint32_t v) { Bytes_StoreLe32(&f.at(at), v); }

// Byte offset of the first grain table (primary or redundant copy).
uint64_t FirstTable(const std::vector<uint8_t>& f, bool redundant)
{
    const VmdkSparseHeader h = HeaderOf(f);
    return uint64_t(Le32At(f, (redundant ? h.rgdOffset : h.gdOffset) * 512)) * 512;
}

// Byte offset of the first compressed grain of a stream file (qemu writes it at overHead).
uint64_t FirstGrain(const std::vector<uint8_t>& f) { return HeaderOf(f).overHead * 512; }

void ReplaceDescriptor(std::vector<uint8_t>& f, const std::string& text)
{
    const VmdkSparseHeader h = HeaderOf(f);
    std::memset(&f.at(512), 0, h.descriptorSize * 512);
    std::memcpy(&f.at(512), text.data(), text.size());
}

struct RefusalCase {
    const char* name;
    SoundImage image;
    bool damageFlatFile;  // the damage is to the flat extent file, not the image file
    void (*damage)(std::vector<uint8_t>&);
    bool atRead;
    int code;
    const char* reason;
};

const RefusalCase kRefusalCases[] = {
    {"header version", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.version = 9;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: version is not 1, 2 or 3"},
    {"header unclean shutdown", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.uncleanShutdown = 1;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: extent was not closed cleanly"},
    {"header grain size", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.grainSize = 96;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: grain size is not a power of two"},
    {"header without directory", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.gdOffset = 0;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: no grain directory"},
    {"header capacity below the extent", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.capacity -= 128;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: capacity smaller than the extent"},
    {"header capacity above the extent", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.capacity += 256;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: capacity does not match the extent"},
    {"header overhead past the file", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.overHead = uint64_t(1) << 40;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK sparse header: grains start past the end of the file"},
    {"directory past the file", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         VmdkSparseHeader h = HeaderOf(f);
         h.gdOffset = f.size() / 512 + 10;
         PutHeader(f, h);
     },
     false, DISK_ERR_FORMAT, "VMDK grain directory: lies past the end of the file"},
    {"directory entry past the file", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) { SetLe32At(f, HeaderOf(f).gdOffset * 512, 0xFFFFFF00u); }, false,
     DISK_ERR_FORMAT, "VMDK grain directory: entry points past the end of the file"},
    {"table entry past the file in both copies", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         const uint64_t primary = FirstTable(f, false), redundant = FirstTable(f, true);
         SetLe32At(f, primary, 0x7FFFFF80u);
         SetLe32At(f, redundant, 0x7FFFFF80u);
     },
     true, DISK_ERR_FORMAT, "VMDK grain table: entry is not a grain of the file"},
    {"table copies naming different grains", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         const uint64_t redundant = FirstTable(f, true);
         SetLe32At(f, redundant, Le32At(f, redundant) + 128);
     },
     true, DISK_ERR_FORMAT, "VMDK grain table: the two copies name different grains"},
    {"descriptor text not parsing", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) {
         ReplaceDescriptor(f, "createType=\"monolithicSparse\"\nversion=1\n");
     },
     false, DISK_ERR_FORMAT, "VMDK descriptor: text does not parse"},
    {"descriptor bytes of no encoding", SOUND_SPARSE, false,
     [](std::vector<uint8_t>& f) { ReplaceDescriptor(f, "version=1\n\xFF\xFF\n"); }, false,
     DISK_ERR_FORMAT, "VMDK descriptor: text is neither Shift_JIS nor UTF-8"},
    {"stream without end-of-stream marker", SOUND_FOOTER, false,
     [](std::vector<uint8_t>& f) { f[f.size() - 512] = 1; }, false, DISK_ERR_FORMAT,
     "VMDK stream footer: no end-of-stream marker"},
    {"stream without footer marker", SOUND_FOOTER, false,
     [](std::vector<uint8_t>& f) { SetLe32At(f, f.size() - 3 * 512 + 12, 7); }, false,
     DISK_ERR_FORMAT, "VMDK stream footer: no footer marker"},
    {"compressed grain marking another sector", SOUND_STREAM, false,
     [](std::vector<uint8_t>& f) { SetLe32At(f, FirstGrain(f), 128); }, true, DISK_ERR_FORMAT,
     "VMDK compressed grain: marker names another sector"},
    {"compressed grain of bad data", SOUND_STREAM, false,
     [](std::vector<uint8_t>& f) {
         const uint64_t at = FirstGrain(f);
         std::memset(&f.at(at + 12), 0, Le32At(f, at + 8));
     },
     true, DISK_ERR_FORMAT, "VMDK compressed grain: data does not decompress to a grain"},
    {"flat extent cut short", SOUND_FLAT, true, [](std::vector<uint8_t>& f) { f.resize(512); },
     false, DISK_ERR_FORMAT, "VMDK flat extent: file shorter than its extent line"},
};

class VmdkRefusal : public ::testing::TestWithParam<RefusalCase> {
protected:
    // The sound images, made once for every case.
    static void SetUpTestSuite()
    {
        if (!Qemu()) return;
        sound_ = new TempDir;
        const std::string raw = sound_->file("src.raw");
        WriteFile(raw, PatternDisk(uint64_t(10) << 20, 7));
        Sh("qemu-img convert -f raw -O vmdk " + Quote(raw) + " " + Quote(Path(SOUND_SPARSE)));
        Sh("qemu-img convert -f raw -O vmdk -o subformat=streamOptimized " + Quote(raw) + " " +
           Quote(Path(SOUND_STREAM)));
        Sh("qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat " + Quote(raw) + " " +
           Quote(Path(SOUND_FLAT)));
        if (RunCommand("/usr/bin/python3 -c 'import VMDKstream' 2>/dev/null") == 0)
            Sh("/usr/bin/python3 /usr/lib/python3/dist-packages/VMDKstream.py " + Quote(raw) + " " +
               Quote(Path(SOUND_FOOTER)));
    }
    static void TearDownTestSuite()
    {
        delete sound_;
        sound_ = nullptr;
    }
    void SetUp() override
    {
        if (sound_ == nullptr) GTEST_SKIP() << "qemu-img or qemu-io missing";
        if (GetParam().image == SOUND_FOOTER && !Os_PathExists(Path(SOUND_FOOTER).c_str()))
            GTEST_SKIP() << "python3-vmdkstream missing";
    }
    static std::string Path(SoundImage i)
    {
        static const char* const names[] = {"sparse.vmdk", "stream.vmdk", "flat.vmdk",
                                            "footer.vmdk"};
        return sound_->file(names[i]);
    }
    // A copy of the sound image in the case's directory; the flat extent keeps its name.
    std::string Copy(SoundImage i)
    {
        const std::string name = Path(i).substr(sound_->path().size() + 1);
        WriteFile(dir.file(name), ReadFile(Path(i)));
        if (i == SOUND_FLAT)
            WriteFile(dir.file("flat-flat.vmdk"), ReadFile(sound_->file("flat-flat.vmdk")));
        return dir.file(name);
    }
    static TempDir* sound_;
    TempDir dir;
};

TempDir* VmdkRefusal::sound_ = nullptr;

}  // namespace

TEST_P(VmdkRefusal, NamesTheCheckThatRefused)
{
    const RefusalCase& c = GetParam();
    const std::string path = Copy(c.image);
    const std::string damaged = c.damageFlatFile ? dir.file("flat-flat.vmdk") : path;
    std::vector<uint8_t> f = ReadFile(damaged);
    c.damage(f);
    WriteFile(damaged, f);

    Refusal_Clear();
    Image img;
    const int opened = img.Open(path);
    if (c.atRead) {
        ASSERT_EQ(opened, DISK_OK);
        EXPECT_EQ(Refusal_Get(), nullptr);
        std::vector<uint8_t> buffer(65536);
        EXPECT_EQ(Vmdk_Read(img.image, 0, 65536, buffer.data()), c.code);
    } else {
        EXPECT_EQ(opened, c.code);
    }
    EXPECT_STREQ(Refusal_Get(), c.reason);

    // The sound image opens and reads after the refusal.
    Image sound;
    ASSERT_EQ(sound.Open(Path(c.image)), DISK_OK);
    std::vector<uint8_t> buffer(65536);
    EXPECT_EQ(Vmdk_Read(sound.image, 0, 65536, buffer.data()), DISK_OK);
    EXPECT_EQ(buffer, ReadFileRange(sound_->file("src.raw"), 0, 65536));
}

INSTANTIATE_TEST_SUITE_P(Damage, VmdkRefusal, ::testing::ValuesIn(kRefusalCases),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             std::string n = info.param.name;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });
