// Dynamic and differencing VHD reading: qemu-made and python-built files, the size rule by
// creator, footer and layout variants, parent lookup through the locators, bounded parent
// chains, hostile headers and tables with the check that refused them (fixed footers too), and
// the empty-range and per-layer queries.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/vhd/vhd.h"
#include "foundation/refusal.h"
#include "support/test_support.h"
#include "vhd_test_util.h"

using namespace vhdtest;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class VhdRead : public ::testing::Test {
protected:
    TempDir dir;

    // Opens a file as kind 6 with a parent mode; the handle is closed by the fixture.
    int Open(const std::string& path, int mode = VHD_PARENT_REQUIRED)
    {
        Disk_Close(&disk);
        Disk_Init(&disk);
        return Disk_OpenVhdWithHandler(&disk, &FileOpener_Default, path.c_str(), true, mode,
                                       nullptr);
    }
    VhdImage* Image() { return static_cast<VhdImage*>(Disk_GetObject(&disk)); }
    void TearDown() override { Disk_Close(&disk); }

    DiskHandle disk{DISK_KIND_NONE, nullptr};
};

std::string Str(const std::string& s) { return "\"" + s + "\""; }

// A dynamic fixture of `sectors` sectors with the given extra JSON members.
std::string Spec(const std::string& path, uint32_t sectors, const std::string& extra = "")
{
    std::string s = "{\"path\":" + Str(path) + ",\"sectors\":" + std::to_string(sectors);
    if (!extra.empty()) s += "," + extra;
    return s + "}";
}

TEST_F(VhdRead, QemuDynamicImagesReadAsQemuReadsThem)
{
    if (!testsupport::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    // A raw disk with data, zero stretches and a tail that is not a whole CHS product.
    const uint64_t bytes = 9 * 1048576 + 3 * 512;
    std::vector<uint8_t> raw = testsupport::RandomBytes(bytes, 7);
    std::memset(raw.data() + 2 * 1048576, 0, 3 * 1048576);
    std::memset(raw.data() + 6 * 1048576 + 512, 0, 1024);
    WriteFile(dir.file("src.raw"), raw);
    // "qemu" (CHS size) and "qem2" (current size through 65535/16/255).
    for (const char* opts : {"subformat=dynamic", "subformat=dynamic,force_size=on"}) {
        SCOPED_TRACE(opts);
        const std::string vhd = dir.file("q.vhd");
        const std::string back = dir.file("back.raw");
        std::remove(vhd.c_str());
        ASSERT_EQ(Qemu("convert -f raw -O vpc -o " + std::string(opts) + " " +
                       Quote(dir.file("src.raw")) + " " + Quote(vhd)),
                  0);
        ASSERT_EQ(Qemu("convert -f vpc -O raw " + Quote(vhd) + " " + Quote(back)), 0);
        ASSERT_EQ(Open(vhd), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), ReadFile(back));
        bool empty = false;
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 2 * 2048, 3 * 2048, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(empty);
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 2 * 2048 - 1, 2, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(empty);
    }
    // With force_size the disk is exactly the source.
    DiskGeometry g = {};
    Disk_GetGeometry(&disk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), bytes / 512);
    // Under another name the general open finds the kind by probing.
    const std::vector<uint8_t> content = ReadAll(&disk);
    ASSERT_EQ(std::rename(dir.file("q.vhd").c_str(), dir.file("q.img").c_str()), 0);
    DiskHandle h{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&h, dir.file("q.img").c_str(), true), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_VHD);
    EXPECT_EQ(ReadAll(&h), content);
    Disk_Close(&h);
}

TEST_F(VhdRead, SectorBitmapsDecideBetweenFileAndZeros)
{
    // 4 KiB blocks; 45 sectors, so the last block is partial.
    const std::string vhd = dir.file("d.vhd");
    Build(Spec(
        vhd, 45,
        "\"expect\":" + Str(dir.file("d.raw")) +
            ",\"blocks\":[{\"index\":0},{\"index\":1,\"sectors\":[0,3,7],\"seed\":2},"
            "{\"index\":2,\"sectors\":[]},{\"index\":4,\"sectors\":[1,2,3,4,5,6],\"zero\":[2]},"
            "{\"index\":5,\"seed\":9}]"));
    const std::vector<uint8_t> expected = ReadFile(dir.file("d.raw"));
    ASSERT_EQ(Open(vhd), DISK_OK);
    EXPECT_FALSE(Disk_HasParent(&disk));
    EXPECT_TRUE(Disk_CanCompact(&disk));
    ASSERT_EQ(ReadAll(&disk), expected);
    // Unaligned pieces crossing sectors and blocks.
    const std::vector<std::pair<uint32_t, uint32_t>> pieces = {{1, 1},
                                                               {511, 2},
                                                               {4095, 2},
                                                               {4096 + 100, 3000},
                                                               {3 * 512 + 7, 4096 * 2},
                                                               {45 * 512 - 1, 1},
                                                               {0, 45 * 512}};
    for (const auto& p : pieces) {
        std::vector<uint8_t> buf(p.second);
        ASSERT_EQ(Disk_Read(&disk, p.first, p.second, buf.data()), DISK_OK) << p.first;
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), expected.begin() + p.first)) << p.first;
    }
    uint8_t b[2];
    EXPECT_EQ(Disk_Read(&disk, 45 * 512 - 1, 2, b), DISK_ERR_ARG);
    // qemu reads the fixture the same way (it ignores the bitmaps of a dynamic disk, so the
    // fixture keeps zeros behind clear bits).
    if (testsupport::HaveTool("qemu-img")) {
        ASSERT_EQ(Qemu("convert -f vpc -O raw " + Quote(vhd) + " " + Quote(dir.file("q.raw"))), 0);
        EXPECT_EQ(ReadFile(dir.file("q.raw")), expected);
    }
}

TEST_F(VhdRead, DifferencingChainsMergeLayerByLayer)
{
    const std::string base = dir.file("base.vhd"), mid = dir.file("mid.vhd"),
                      top = dir.file("top.vhd");
    Build("[" +
          Spec(base, 64,
               "\"expect\":" + Str(dir.file("base.raw")) +
                   ",\"blocks\":[{\"index\":0},{\"index\":1},{\"index\":3},{\"index\":7}]") +
          "," +
          Spec(mid, 64,
               "\"disk_type\":4,\"parent_name\":\"base.vhd\",\"parent_raw\":" +
                   Str(dir.file("base.raw")) + ",\"expect\":" + Str(dir.file("mid.raw")) +
                   ",\"blocks\":[{\"index\":1,\"sectors\":[0,1,2],\"seed\":3},"
                   "{\"index\":2,\"sectors\":[5]},{\"index\":3,\"sectors\":[],\"seed\":4}]") +
          "," +
          Spec(top, 64,
               "\"disk_type\":4,\"parent_name\":\"mid.vhd\",\"parent_raw\":" +
                   Str(dir.file("mid.raw")) + ",\"expect\":" + Str(dir.file("top.raw")) +
                   ",\"blocks\":[{\"index\":1,\"sectors\":[1,7],\"zero\":[7],\"seed\":5},"
                   "{\"index\":7,\"sectors\":[0],\"seed\":6}]") +
          "]");
    ASSERT_EQ(Open(top), DISK_OK);
    EXPECT_TRUE(Disk_HasParent(&disk));
    EXPECT_TRUE(Disk_CanCompact(&disk));
    const std::vector<uint8_t> expected = ReadFile(dir.file("top.raw"));
    EXPECT_EQ(ReadAll(&disk), expected);
    // (libvhdi is no oracle here: the version at hand reads clear sectors that follow a set
    // one within a block as zeros instead of asking the parent.)
    // The per-layer query sees only the top file; the empty-range query the merged disk.
    bool out = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 0, 8, &out), DISK_OK);
    EXPECT_TRUE(out);  // base data, nothing stored in the top layer
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 0, 8, &out, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(out);
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 8 + 7, 1, &out), DISK_OK);
    EXPECT_FALSE(out);  // set in the top bitmap (and zero)
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 8 + 7, 1, &out, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(out);  // the top layer's zeros hide the base data below
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 16, 8, &out), DISK_OK);
    EXPECT_TRUE(out);
    EXPECT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 60, 5, &out), DISK_ERR_ARG);
    EXPECT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 60, 5, &out, nullptr, nullptr), DISK_ERR_ARG);
}

TEST_F(VhdRead, DiskSizeFollowsTheCreator)
{
    struct Case {
        const char* creator;
        const char* chs;
        uint32_t currentSectors;
        uint32_t expected;
    };
    const Case cases[] = {
        {"win ", "[30,4,8]", 1000, 1000},       {"qem2", "[30,4,8]", 1000, 1000},
        {"d2v ", "[30,4,8]", 1000, 1000},       {"CTXS", "[30,4,8]", 1000, 1000},
        {"tap\\u0000", "[30,4,8]", 1000, 1000}, {"vpc ", "[31,4,8]", 1000, 992},
        {"vs  ", "[31,4,8]", 1000, 992},        {"qemu", "[31,4,8]", 1000, 992},
        {"abcd", "[31,4,8]", 1000, 992},        {"vpc ", "[65535,16,255]", 1000, 1000},
    };
    std::string specs;
    int i = 0;
    for (const Case& c : cases) {
        specs += std::string(i == 0 ? "[" : ",") +
                 Spec(dir.file("s" + std::to_string(i) + ".vhd"), c.expected,
                      "\"creator\":\"" + std::string(c.creator) + "\",\"chs\":" + c.chs +
                          ",\"current_size\":" + std::to_string(c.currentSectors * 512ull) +
                          ",\"blocks\":[{\"index\":" + std::to_string((c.expected - 1) / 8) + "}]");
        i++;
    }
    Build(specs + "]");
    i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.creator);
        ASSERT_EQ(Open(dir.file("s" + std::to_string(i++) + ".vhd")), DISK_OK);
        DiskGeometry g = {};
        Disk_GetGeometry(&disk, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.expected);
        EXPECT_EQ(g.bytes_per_sector, 512u);
        // The last sector is readable (its block is stored).
        uint8_t s[512];
        EXPECT_EQ(Disk_Read(&disk, (c.expected - 1) * 512ull, 512, s), DISK_OK);
    }
    // A current size of 2^32 sectors cannot be held in the 32-bit total: refused, not cut.
    Build(Spec(dir.file("big.vhd"), 64,
               "\"creator\":\"win \",\"current_size\":" + std::to_string(4294967296ull * 512)));
    EXPECT_EQ(Open(dir.file("big.vhd")), DISK_ERR_FORMAT);

    // A current size above 65535 x 16 x 255 x 512 bytes is the size, whatever creator and CHS
    // say: "vpc " with 65535/16/63 and 143,360,000,000 bytes holds 280,000,000 sectors.
    const std::string large = dir.file("large.vhd");
    Build(Spec(large, 280000000,
               "\"creator\":\"vpc \",\"chs\":[65535,16,63],\"current_size\":143360000000,"
               "\"block_size\":2097152,\"blocks\":[{\"index\":68359,\"seed\":7}]"));
    ASSERT_EQ(Open(large), DISK_OK);
    DiskGeometry g = {};
    Disk_GetGeometry(&disk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 280000000u);
    uint8_t last[512];
    ASSERT_EQ(Disk_Read(&disk, 280000000ull * 512 - 512, 512, last), DISK_OK);
    EXPECT_FALSE(Mem_IsZero(last, sizeof last));  // the stored last block
    if (testsupport::HaveTool("vhdiinfo")) {
        std::string out;
        ASSERT_EQ(RunCommand("vhdiinfo " + Quote(large) + " 2>&1", &out), 0) << out;
        EXPECT_NE(out.find("(143360000000 bytes)"), std::string::npos) << out;
    }
}

TEST_F(VhdRead, FooterVariants)
{
    const std::string vhd = dir.file("f.vhd");
    const std::string blocks =
        "\"blocks\":[{\"index\":0},{\"index\":3}],\"expect\":" + Str(dir.file("f.raw"));
    // A 511-byte footer.
    Build(Spec(vhd, 32, blocks + ",\"footer_511\":true"));
    ASSERT_EQ(Open(vhd), DISK_OK);
    EXPECT_EQ(Image()->footerLength, 511u);
    EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("f.raw")));
    // 510 bytes short of a sector: refused.
    std::vector<uint8_t> f = ReadFile(vhd);
    f.pop_back();
    WriteFile(vhd, f);
    EXPECT_EQ(Open(vhd), DISK_ERR_FORMAT);
    // A footer checksum of 0 is taken without verification; a header checksum of 0 is not.
    Build(Spec(vhd, 32, blocks + ",\"footer_checksum_zero\":true"));
    EXPECT_EQ(Open(vhd), DISK_OK);
    Build(Spec(vhd, 32, blocks + ",\"header_checksum\":0"));
    EXPECT_EQ(Open(vhd), DISK_ERR_FORMAT);
    // A file shorter than footer copy, header and footer.
    WriteFile(vhd, std::vector<uint8_t>(2046, 0));
    EXPECT_EQ(Open(vhd), DISK_ERR_FORMAT);
    EXPECT_EQ(Open(dir.file("missing.vhd")), DISK_ERR_OPEN);
}

TEST_F(VhdRead, LayoutIsInferredFromTheGapBeforeTheFirstBlock)
{
    struct Case {
        const char* extra;
        uint32_t align, afterBat, afterBlock;
    };
    const Case cases[] = {
        {"\"gap_sectors\":0", 0, 0, 0},
        {"\"gap_sectors\":6", 0, 6, 0},
        {"\"gap_sectors\":7,\"pad_sectors\":7", 1, 7, 7},
        // Locator data count as metadata: the gap starts behind them.
        {"\"disk_type\":4,\"parent_name\":\"p.vhd\",\"gap_sectors\":7,\"locators\":[{\"slot\":1,"
         "\"code\":\"W2ru\",\"text\":\"./p.vhd\",\"space\":1024}]",
         1, 7, 7},
        {"\"disk_type\":4,\"parent_name\":\"p.vhd\",\"gap_sectors\":1,\"locators\":[{\"slot\":3,"
         "\"code\":\"Wi2r\",\"text\":\"./p.vhd\",\"encoding\":\"shift_jis\"}]",
         0, 1, 0},
    };
    std::string specs;
    int i = 0;
    for (const Case& c : cases) {
        specs += std::string(i == 0 ? "[" : ",") +
                 Spec(dir.file("l" + std::to_string(i) + ".vhd"), 40,
                      std::string(c.extra) + ",\"blocks\":[{\"index\":2},{\"index\":4}]");
        i++;
    }
    Build(specs + "]");
    i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        ASSERT_EQ(Open(dir.file("l" + std::to_string(i++) + ".vhd"), VHD_PARENT_OPTIONAL), DISK_OK);
        EXPECT_EQ(Image()->batAlignment, c.align);
        EXPECT_EQ(Image()->zeroSectorsAfterBat, c.afterBat);
        EXPECT_EQ(Image()->zeroSectorsAfterBlock, c.afterBlock);
    }
}

TEST_F(VhdRead, ParentModes)
{
    // A child whose parent does not exist.
    const std::string child = dir.file("child.vhd");
    Build(Spec(child, 32,
               "\"disk_type\":4,\"parent_name\":\"gone.vhd\",\"expect\":" + Str(dir.file("c.raw")) +
                   ",\"blocks\":[{\"index\":1,\"sectors\":[2,3]}]"));
    EXPECT_EQ(Open(child, VHD_PARENT_REQUIRED), DISK_ERR_OPEN);
    ASSERT_EQ(Open(child, VHD_PARENT_OPTIONAL), DISK_OK);
    EXPECT_TRUE(Disk_HasParent(&disk));
    EXPECT_FALSE(Disk_CanCompact(&disk));
    EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("c.raw")));  // zeros where the parent would be
    ASSERT_EQ(Open(child, VHD_PARENT_IGNORE), DISK_OK);
    EXPECT_TRUE(Disk_HasParent(&disk));
    // Locators are checked only when the parent is looked for.
    Build(Spec(child, 32,
               "\"disk_type\":4,\"parent_name\":\"gone.vhd\",\"locators\":[{\"slot\":0,"
               "\"code\":\"XXXX\",\"text\":\"x\"}]"));
    EXPECT_EQ(Open(child, VHD_PARENT_OPTIONAL), DISK_ERR_FORMAT);
    EXPECT_EQ(Open(child, VHD_PARENT_IGNORE), DISK_OK);
    EXPECT_EQ(Open(child, 3), DISK_OK);
}

TEST_F(VhdRead, ParentIsFoundThroughTheLocatorsFirst)
{
    ASSERT_EQ(
        system(("mkdir -p " + Quote(dir.file("kids")) + " " + Quote(dir.file("bases"))).c_str()),
        0);
    const std::string base = dir.file("bases/base.vhd");
    Build(Spec(
        base, 32,
        "\"expect\":" + Str(dir.file("base.raw")) + ",\"blocks\":[{\"index\":0},{\"index\":2}]"));
    const std::string common = "\"disk_type\":4,\"parent_raw\":" + Str(dir.file("base.raw")) +
                               ",\"expect\":" + Str(dir.file("child.raw")) +
                               ",\"blocks\":[{\"index\":0,\"sectors\":[4],\"seed\":8}]";
    struct Case {
        const char* what;
        std::string extra;
        int expected;
    };
    const std::vector<Case> cases = {
        {"W2ru with Windows separators",
         "\"parent_name\":\"base.vhd\",\"locators\":[{\"slot\":1,\"code\":\"W2ru\",\"text\":\".."
         "\\\\bases\\\\base.vhd\"}]",
         DISK_OK},
        {"Wi2r in Shift_JIS",
         "\"parent_name\":\"base.vhd\",\"locators\":[{\"slot\":3,\"code\":\"Wi2r\",\"text\":\"."
         "\\\\..\\\\bases\\\\base.vhd\",\"encoding\":\"shift_jis\"}]",
         DISK_OK},
        {"W2ku absolute",
         "\"locators\":[{\"slot\":0,\"code\":\"W2ku\",\"text\":" + Str(base) + "}]", DISK_OK},
        {"Wi2k absolute",
         "\"locators\":[{\"slot\":0,\"code\":\"Wi2k\",\"text\":" + Str(base) +
             ",\"encoding\":\"shift_jis\"}]",
         DISK_OK},
        {"stale W2ru, good Wi2r",
         "\"parent_name\":\"base.vhd\",\"locators\":[{\"slot\":1,\"code\":\"W2ru\",\"text\":\".."
         "\\\\old\\\\base.vhd\"},{\"slot\":3,\"code\":\"Wi2r\",\"text\":\"../bases/"
         "base.vhd\",\"encoding\":\"shift_jis\"}]",
         DISK_OK},
        {"name only, other directory", "\"parent_name\":\"base.vhd\"", DISK_ERR_OPEN},
        {"nothing usable", "\"parent_name\":\"\"", DISK_ERR_FORMAT},
        {"invalid Windows name", "\"parent_name\":\"a:b.vhd\"", DISK_ERR_FORMAT},
    };
    std::string specs;
    for (size_t i = 0; i < cases.size(); i++) {
        specs += std::string(i == 0 ? "[" : ",") +
                 Spec(dir.file("kids/child" + std::to_string(i) + ".vhd"), 32,
                      common + "," + cases[i].extra);
    }
    Build(specs + "]");
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Open(dir.file("kids/child" + std::to_string(i) + ".vhd")), c.expected);
        if (c.expected == DISK_OK) {
            EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("child.raw")));
        }
    }
    // The parent name alone serves when the parent lies beside the child.
    const std::string near = dir.file("bases/near.vhd");
    Build(Spec(near, 32, common + ",\"parent_name\":\"base.vhd\""));
    ASSERT_EQ(Open(near), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("child.raw")));
    // The resolved path is handed out on request.
    VhdImage* image = Vhd_Alloc();
    ASSERT_NE(image, nullptr);
    Vhd_Init(image);
    char parent[4096];
    ASSERT_EQ(Vhd_OpenWithCallback(image, FileOpener_Default.open, nullptr, near.c_str(), true,
                                   parent, sizeof(parent), VHD_PARENT_REQUIRED),
              DISK_OK);
    EXPECT_EQ(std::string(parent), base);
    Vhd_Close(image);
    Mem_Free(image);
}

TEST_F(VhdRead, ParentChainsAreBoundedAndLoopsRefused)
{
    // a -> b -> a, and a -> a.
    Build("[" + Spec(dir.file("a.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"b.vhd\"") + "," +
          Spec(dir.file("b.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"a.vhd\"") + "," +
          Spec(dir.file("self.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"self.vhd\"") + "]");
    // The loop is found one level down; the general open of that level then answers that the
    // VHD it knows for one is refused.
    EXPECT_EQ(Open(dir.file("a.vhd")), DISK_ERR_FORMAT);
    EXPECT_EQ(Open(dir.file("self.vhd")), DISK_ERR_FORMAT);
    ASSERT_EQ(Open(dir.file("a.vhd"), VHD_PARENT_OPTIONAL), DISK_OK);
    EXPECT_FALSE(Disk_CanCompact(&disk));

    // A chain of 33 files (top + 32 parents) opens; one more level is refused.
    std::string specs =
        "[" + Spec(dir.file("c0.vhd"), 16,
                   "\"blocks\":[{\"index\":1}],\"expect\":" + Str(dir.file("c0.raw")));
    for (int i = 1; i <= 33; i++) {
        specs +=
            "," + Spec(dir.file("c" + std::to_string(i) + ".vhd"), 16,
                       "\"disk_type\":4,\"parent_name\":\"c" + std::to_string(i - 1) + ".vhd\"");
    }
    Build(specs + "]");
    ASSERT_EQ(Open(dir.file("c32.vhd")), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("c0.raw")));
    EXPECT_EQ(Open(dir.file("c33.vhd")), DISK_ERR_FORMAT);
}

// Each refusal also records which check refused the file.
TEST_F(VhdRead, HostileHeadersAndTablesAreRefused)
{
    struct Case {
        const char* what;
        std::string extra;
        int expected;
        const char* reason;  // recorded by the refusing check; nullptr for DISK_OK
    };
    const std::string b = "\"blocks\":[{\"index\":1}]";
    const char* blockSize = "VHD dynamic header: block size is not a power of two of 512 or more";
    const char* tableOutside = "VHD block allocation table: lies outside the file";
    const char* inMetadata = "VHD block allocation table: block lies inside the metadata";
    const char* badType = "VHD footer: not a dynamic or differencing disk";
    const std::string differencing = "\"disk_type\":4,\"parent_name\":\"p.vhd\",";
    const std::vector<Case> cases = {
        {"block size 0", b + ",\"header_fields\":{\"block_size\":0}", DISK_ERR_FORMAT, blockSize},
        {"block size 3000", b + ",\"header_fields\":{\"block_size\":3000}", DISK_ERR_FORMAT,
         blockSize},
        {"block size 256", b + ",\"header_fields\":{\"block_size\":256}", DISK_ERR_FORMAT,
         blockSize},
        {"table past the end", b + ",\"header_fields\":{\"table_offset\":1099511627776}",
         DISK_ERR_FORMAT, tableOutside},
        {"table offset wraps", b + ",\"header_fields\":{\"table_offset\":18446744073709551600}",
         DISK_ERR_FORMAT, tableOutside},
        {"table over the header", b + ",\"header_fields\":{\"table_offset\":1024}", DISK_ERR_FORMAT,
         "VHD block allocation table: overlaps the dynamic header"},
        {"2^32-1 entries", b + ",\"header_fields\":{\"max_entries\":4294967295}", DISK_ERR_FORMAT,
         tableOutside},
        {"entry in the metadata", b + ",\"bat_override\":[[0,2]]", DISK_ERR_FORMAT, inMetadata},
        {"entry at sector 0", b + ",\"bat_override\":[[0,0]]", DISK_ERR_FORMAT, inMetadata},
        {"entry past the end", "\"bat_override\":[[2,1000000]]", DISK_ERR_FORMAT,
         "VHD block allocation table: block runs into the footer"},
        {"block runs into the footer", "\"bat_override\":[[0,6]]", DISK_ERR_FORMAT,
         "VHD block allocation table: block runs into the footer"},
        {"header past the end", b + ",\"footer_fields\":{\"data_offset\":1099511627776}",
         DISK_ERR_FORMAT, "VHD footer: dynamic header offset past the end of the file"},
        {"header offset all ones", b + ",\"footer_fields\":{\"data_offset\":18446744073709551615}",
         DISK_ERR_FORMAT, "VHD footer: no dynamic header offset"},
        {"fixed disk type", b + ",\"footer_fields\":{\"disk_type\":2}", DISK_ERR_FORMAT, badType},
        {"unknown disk type", b + ",\"footer_fields\":{\"disk_type\":5}", DISK_ERR_FORMAT, badType},
        {"footer version", b + ",\"footer_fields\":{\"version\":131072}", DISK_ERR_FORMAT,
         "VHD footer: unknown format version"},
        {"footer reserved bytes", b + ",\"footer_fields\":{\"reserved\":1}", DISK_ERR_FORMAT,
         "VHD footer: reserved bytes are not zero"},
        {"2^32 sectors",
         b + ",\"creator\":\"win \",\"current_size\":" + std::to_string(4294967296ull * 512),
         DISK_ERR_FORMAT, "VHD footer: disk size is 2^32 sectors or more"},
        {"header checksum", b + ",\"header_checksum\":1", DISK_ERR_FORMAT,
         "VHD dynamic header: checksum does not match"},
        {"header cookie", b + ",\"header_fields\":{\"cookie\":\"cxsparsf\"}", DISK_ERR_FORMAT,
         "VHD dynamic header: no signature"},
        {"header version", b + ",\"header_fields\":{\"version\":0}", DISK_ERR_FORMAT,
         "VHD dynamic header: unknown version"},
        {"header data offset", b + ",\"header_fields\":{\"data_offset\":0}", DISK_ERR_FORMAT,
         "VHD dynamic header: data offset is not all ones"},
        {"header reserved", b + ",\"header_fields\":{\"reserved1\":1}", DISK_ERR_FORMAT,
         "VHD dynamic header: reserved field is not zero"},
        {"header reserved bytes", b + ",\"header_fields\":{\"reserved2\":1}", DISK_ERR_FORMAT,
         "VHD dynamic header: reserved bytes are not zero"},
        {"locator reserved",
         differencing +
             "\"locators\":[{\"slot\":2,\"code\":\"W2ru\",\"text\":\"x\",\"reserved\":1}]",
         DISK_ERR_FORMAT, "VHD parent locator: reserved field is not zero"},
        {"locator code",
         differencing + "\"locators\":[{\"slot\":5,\"code\":\"XXXX\",\"text\":\"x\"}]",
         DISK_ERR_FORMAT, "VHD parent locator: unknown platform code"},
        {"locator data past the first block",
         differencing +
             "\"locators\":[{\"slot\":2,\"code\":\"W2ru\",\"text\":\"x\",\"space_field\":"
             "4294967295}]," +
             b,
         DISK_ERR_FORMAT, inMetadata},
        {"block size 2^31, nothing stored",
         "\"header_fields\":{\"block_size\":2147483648,\"max_entries\":1}", DISK_OK, nullptr},
    };
    std::string specs;
    for (size_t i = 0; i < cases.size(); i++) {
        specs += (i == 0 ? "[" : ",") +
                 Spec(dir.file("h" + std::to_string(i) + ".vhd"), 24, cases[i].extra);
    }
    Build(specs + "]");
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        Refusal_Clear();
        ASSERT_EQ(Open(dir.file("h" + std::to_string(i) + ".vhd"), VHD_PARENT_OPTIONAL),
                  c.expected);
        if (c.expected == DISK_OK) {
            ReadAll(&disk);
        } else {
            ASSERT_NE(Refusal_Get(), nullptr);
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
    }
}

// Damage the probe meets first (the file's size, the footer and its copy): the code and the
// check that refused, and a good file opened after a refused one.
TEST_F(VhdRead, RefusedFootersNameTheirCheck)
{
    const std::string good = dir.file("good.vhd");
    Build(Spec(good, 24, "\"blocks\":[{\"index\":1}],\"expect\":" + Str(dir.file("good.raw"))));
    const std::vector<uint8_t> bytes = ReadFile(good);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>*)> damage;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"footer checksum", [](std::vector<uint8_t>* f) { (*f)[f->size() - 512 + 70] ^= 1; },
         "VHD footer: checksum does not match"},
        {"footer copy", [](std::vector<uint8_t>* f) { (*f)[9] ^= 1; },
         "VHD footer: copy at the start of the file differs"},
        {"size 510 bytes short of a sector",
         [](std::vector<uint8_t>* f) { f->resize(f->size() - 2); },
         "VHD file: size is not a whole number of sectors"},
        {"too short", [](std::vector<uint8_t>* f) { f->assign(2046, 0); },
         "VHD file: too short for a dynamic disk"},
    };
    const std::string bad = dir.file("bad.vhd");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> f = bytes;
        c.damage(&f);
        WriteFile(bad, f);
        Refusal_Clear();
        EXPECT_EQ(Open(bad), DISK_ERR_FORMAT);
        ASSERT_NE(Refusal_Get(), nullptr);
        EXPECT_STREQ(Refusal_Get(), c.reason);
        // The next open is not disturbed by the refusal before it.
        ASSERT_EQ(Open(good), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), ReadFile(dir.file("good.raw")));
    }
}

// Refusals of the parent lookup name their own check; a child whose parent is refused fails
// with the parent's code.
TEST_F(VhdRead, ParentLookupRefusalsNameTheirCheck)
{
    Build("[" + Spec(dir.file("base.vhd"), 16, "\"blocks\":[{\"index\":0}]") + "," +
          Spec(dir.file("top.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"base.vhd\"") + "," +
          Spec(dir.file("self.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"self.vhd\"") + "," +
          Spec(dir.file("nameless.vhd"), 16, "\"disk_type\":4,\"parent_name\":\"\"") + "]");
    struct Case {
        const char* file;
        const char* reason;
    };
    const Case cases[] = {
        {"self.vhd", "VHD parent chain: leads back to an image in it"},
        {"nameless.vhd", "VHD dynamic header: no usable parent name or locator"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Refusal_Clear();
        EXPECT_EQ(Open(dir.file(c.file)), DISK_ERR_FORMAT);
        ASSERT_NE(Refusal_Get(), nullptr);
        EXPECT_STREQ(Refusal_Get(), c.reason);
    }
    std::vector<uint8_t> base = ReadFile(dir.file("base.vhd"));
    base[base.size() - 512 + 70] ^= 1;  // the footer checksum no longer matches
    WriteFile(dir.file("base.vhd"), base);
    Refusal_Clear();
    EXPECT_EQ(Open(dir.file("top.vhd")), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VHD footer: checksum does not match");
    // Without the parent the child opens.
    EXPECT_EQ(Open(dir.file("top.vhd"), VHD_PARENT_OPTIONAL), DISK_OK);
}

// The fixed-disk reader names the footer check that refused a file as well.
TEST_F(VhdRead, RefusedFixedFootersNameTheirCheck)
{
    if (!testsupport::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    const std::string good = dir.file("fixed.vhd");
    ASSERT_EQ(Qemu("create -f vpc -o subformat=fixed " + Quote(good) + " 1M"), 0);
    const std::vector<uint8_t> bytes = ReadFile(good);
    ASSERT_EQ(bytes.size() % 512, 0u);
    const size_t footer = bytes.size() - 512;
    ASSERT_EQ(std::memcmp(bytes.data() + footer, "conectix", 8), 0);
    // A footer field changed, with the checksum made to match again unless `keepChecksum`.
    auto setField = [footer](std::vector<uint8_t>* f, size_t at, uint32_t size, uint64_t value) {
        for (uint32_t k = 0; k < size; k++)
            (*f)[footer + at + k] = static_cast<uint8_t>(value >> (8 * (size - 1 - k)));
    };
    auto reseal = [footer](std::vector<uint8_t>* f) {
        const uint32_t sum =
            Vhd_ComputeChecksum(f->data() + footer, 512, VHD_FOOTER_CHECKSUM_OFFSET);
        for (int k = 0; k < 4; k++)
            (*f)[footer + 64 + k] = static_cast<uint8_t>(sum >> (8 * (3 - k)));
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>*)> damage;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"checksum", [&](std::vector<uint8_t>* f) { (*f)[footer + 70] ^= 1; },
         "VHD footer: checksum does not match"},
        {"version", [&](std::vector<uint8_t>* f) { setField(f, 12, 4, 0x20000), reseal(f); },
         "VHD footer: unknown format version"},
        {"dynamic type", [&](std::vector<uint8_t>* f) { setField(f, 60, 4, 3), reseal(f); },
         "VHD footer: not a fixed disk"},
        {"header offset", [&](std::vector<uint8_t>* f) { setField(f, 16, 8, 512), reseal(f); },
         "VHD footer: fixed disk with a dynamic header offset"},
        {"reserved", [&](std::vector<uint8_t>* f) { setField(f, 200, 1, 1), reseal(f); },
         "VHD footer: reserved bytes are not zero"},
        {"no heads", [&](std::vector<uint8_t>* f) { setField(f, 58, 1, 0), reseal(f); },
         "VHD footer: no heads or no sectors per track"},
        {"current size",
         [&](std::vector<uint8_t>* f) { setField(f, 48, 8, footer + 512), reseal(f); },
         "VHD footer: current size differs from the data in the file"},
        {"size 510 bytes short of a sector",
         [](std::vector<uint8_t>* f) { f->erase(f->begin(), f->begin() + 2); },
         "VHD file: size is not a whole number of sectors"},
        {"shorter than a footer", [](std::vector<uint8_t>* f) { f->assign(100, 0); },
         "VHD file: too short for a footer"},
    };
    const std::string bad = dir.file("bad.vhd");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> f = bytes;
        c.damage(&f);
        WriteFile(bad, f);
        DiskHandle h{DISK_KIND_NONE, nullptr};
        Refusal_Clear();
        EXPECT_EQ(Disk_OpenVhdFixed(&h, bad.c_str(), true), DISK_ERR_FORMAT);
        ASSERT_NE(Refusal_Get(), nullptr);
        EXPECT_STREQ(Refusal_Get(), c.reason);
        // The good file still opens after a refusal.
        ASSERT_EQ(Disk_OpenVhdFixed(&h, good.c_str(), true), DISK_OK);
        Disk_Close(&h);
    }
}

TEST_F(VhdRead, DamagedFilesAnswerResultCodes)
{
    // Random damage to the metadata of a differencing child and its parent: every answer is a
    // result code, and whatever opens reads and answers queries without fault.
    Build("[" + Spec(dir.file("p.vhd"), 40, "\"blocks\":[{\"index\":0},{\"index\":4}]") + "," +
          Spec(dir.file("good.vhd"), 40,
               "\"disk_type\":4,\"parent_name\":\"p.vhd\",\"locators\":[{\"slot\":1,\"code\":"
               "\"W2ru\",\"text\":\".\\\\p.vhd\"}],\"blocks\":[{\"index\":1,\"sectors\":[1,2]},{"
               "\"index\":4}]") +
          "]");
    const std::vector<uint8_t> good = ReadFile(dir.file("good.vhd"));
    const std::string vhd = dir.file("bad.vhd");
    uint32_t seed = 12345;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u; };
    int opened = 0;
    for (int round = 0; round < 400; round++) {
        std::vector<uint8_t> f = good;
        const int flips = 1 + (next() >> 16) % 4;
        for (int k = 0; k < flips; k++) {
            const uint32_t r = next() >> 8;
            // Mostly the header, table and footers; sometimes anywhere.
            size_t at;
            switch (r % 4) {
            case 0:
                at = 512 + (r >> 2) % 1024;
                break;
            case 1:
                at = 1536 + (r >> 2) % 1024;
                break;
            case 2:
                at = f.size() - 512 + (r >> 2) % 512;
                break;
            default:
                at = (r >> 2) % f.size();
                break;
            }
            f[at] = static_cast<uint8_t>(next() >> 24);
        }
        WriteFile(vhd, f);
        const int rc = Open(vhd, VHD_PARENT_OPTIONAL);
        ASSERT_TRUE(rc == DISK_OK || (rc <= -201 && rc >= -217)) << rc;
        if (rc != DISK_OK) continue;
        opened++;
        DiskGeometry g = {};
        Disk_GetGeometry(&disk, &g);
        const uint32_t total = static_cast<uint32_t>(Geometry_GetTotalSectors(&g));
        std::vector<uint8_t> buf(64 * 512);
        const uint32_t n = total < 64 ? total : 64;
        const int r1 = Disk_Read(&disk, 0, n * 512, buf.data());
        EXPECT_TRUE(r1 == DISK_OK || r1 == DISK_ERR_READ || r1 == DISK_ERR_ARG);
        bool e = false;
        Disk_IsRangeEmpty(&disk, nullptr, 0, n, &e, nullptr, nullptr);
        Disk_IsRangeUnallocated(&disk, nullptr, 0, n, &e);
    }
    EXPECT_GT(opened, 0);
}

TEST_F(VhdRead, EmptyRangeQueriesFollowBitmapsAndTheMap)
{
    const std::string vhd = dir.file("e.vhd");
    // Block 0 data, block 1 allocated with zero data, block 2 unallocated, block 3 data in
    // sectors 4..7 only.
    Build(Spec(vhd, 32,
               "\"blocks\":[{\"index\":0},{\"index\":1,\"zero\":[0,1,2,3,4,5,6,7]},"
               "{\"index\":3,\"sectors\":[4,5,6,7]}]"));
    ASSERT_EQ(Open(vhd), DISK_OK);
    struct Q {
        uint64_t first;
        uint32_t count;
        bool empty, unallocated;
    };
    const Q qs[] = {{0, 8, false, false}, {8, 8, true, false},   {16, 8, true, true},
                    {24, 4, true, true},  {24, 5, false, false}, {7, 10, false, false},
                    {8, 16, true, false}};
    for (const Q& q : qs) {
        SCOPED_TRACE(q.first);
        bool out = false;
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, q.first, q.count, &out, nullptr, nullptr),
                  DISK_OK);
        EXPECT_EQ(out, q.empty);
        ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, q.first, q.count, &out), DISK_OK);
        EXPECT_EQ(out, q.unallocated);
    }
    // A map that calls sectors 0..7 and 28..31 free: their data no longer counts.
    std::vector<uint8_t> used(32, 1);
    for (int s = 0; s < 8; s++) used[s] = 0;
    for (int s = 28; s < 32; s++) used[s] = 0;
    ScriptedMap map(used);
    bool out = false;
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, map.map(), 0, 32, &out, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(out);
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, map.map(), 0, 8, &out), DISK_OK);
    EXPECT_TRUE(out);
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, map.map(), 0, 16, &out), DISK_OK);
    EXPECT_FALSE(out);  // block 1 is stored and used, though zero
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, map.map(), 20, 12, &out, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(out);
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 7, 2, &out, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(out);
}

}  // namespace

// The maintenance dialog's queries: the layout as creation options, the locator data by code
// (the first slot with the code wins), and the stored parent name field.
TEST_F(VhdRead, LayoutLocatorAndParentNameQueries)
{
    const std::string child = dir.file("child.vhd");
    Build(Spec(child, 40,
               "\"disk_type\":4,\"parent_name\":\"p.vhd\",\"creator\":\"win \","
               "\"creator_version\":393217,\"gap_sectors\":7,\"pad_sectors\":7,"
               "\"blocks\":[{\"index\":2}],\"locators\":["
               "{\"slot\":1,\"code\":\"W2ru\",\"text\":\".\\\\p.vhd\",\"space\":1024},"
               "{\"slot\":2,\"code\":\"Wi2r\",\"text\":\"first\",\"encoding\":\"shift_jis\"},"
               "{\"slot\":4,\"code\":\"Wi2r\",\"text\":\"second\",\"encoding\":\"shift_jis\"},"
               "{\"slot\":5,\"code\":\"W2ku\",\"text\":\"x\",\"length\":8193,\"space\":8704}]"));
    ASSERT_EQ(Open(child, VHD_PARENT_IGNORE), DISK_OK);

    VhdCreateOptions o;
    Vhd_GetLayoutOptions(Image(), &o);
    EXPECT_EQ(o.creatorApplication, static_cast<uint32_t>(VHD_CODE_WIN));
    EXPECT_EQ(o.creatorVersion, 0x00060001u);
    EXPECT_EQ(o.batAlignment, 1u);
    EXPECT_EQ(o.blockSectors, 8u);
    EXPECT_EQ(o.zeroSectorsAfterBat, 7u);
    EXPECT_EQ(o.zeroSectorsAfterBlock, 7u);

    std::vector<uint8_t> buffer(VHD_MAX_LOCATOR_READ, 0xEE);
    uint32_t length = 99;
    bool found = true;
    ASSERT_TRUE(Vhd_ReadParentLocator(Image(), VHD_CODE_W2RU, buffer.data(), VHD_MAX_LOCATOR_READ,
                                      &length, &found));
    EXPECT_TRUE(found);
    const char16_t relative[] = u".\\p.vhd";
    ASSERT_EQ(length, 14u);
    EXPECT_EQ(std::memcmp(buffer.data(), relative, length), 0);
    ASSERT_TRUE(Vhd_ReadParentLocator(Image(), VHD_CODE_WI2R, buffer.data(), VHD_MAX_LOCATOR_READ,
                                      &length, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), "first");
    // A smaller buffer than the data is refused, not overrun.
    EXPECT_FALSE(Vhd_ReadParentLocator(Image(), VHD_CODE_WI2R, buffer.data(), 4, &length, &found));
    // Longer data than any locator may hold is refused before it is read.
    EXPECT_FALSE(Vhd_ReadParentLocator(Image(), VHD_CODE_W2KU, buffer.data(), VHD_MAX_LOCATOR_READ,
                                       &length, &found));
    ASSERT_TRUE(Vhd_ReadParentLocator(Image(), VHD_CODE_WI2K, buffer.data(), VHD_MAX_LOCATOR_READ,
                                      &length, &found));
    EXPECT_FALSE(found);
    EXPECT_EQ(length, 0u);

    const TextView name = Vhd_GetParentName(Image());
    ASSERT_EQ(name.length, static_cast<uint32_t>(VHD_PARENT_NAME_BYTES));
    EXPECT_EQ(VHD_PARENT_NAME_BYTES, 512u);
    const uint8_t stored[] = {0, 'p', 0, '.', 0, 'v', 0, 'h', 0, 'd', 0, 0};
    EXPECT_EQ(std::memcmp(name.data, stored, sizeof stored), 0);
}
