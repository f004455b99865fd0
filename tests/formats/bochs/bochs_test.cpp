// Bochs redolog and sparse images: bximage-made files read as bximage reads them, written images
// read back by bximage and qemu-img, undoable images over a base, numbered sparse chains, and
// hostile headers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk_open.h"
#include "formats/bochs/bochs.h"
#include "formats/vhd/vhd_test_util.h"
#include "foundation/refusal.h"
#include "support/test_support.h"

using namespace vhdtest;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

void Fixture(const std::string& kind, const std::string& json)
{
    std::string out;
    const std::string tool = std::string(VDX_TEST_SOURCE_DIR) + "/formats/bochs/bochs_fixtures.py";
    ASSERT_EQ(testsupport::RunCommand(
                  "python3 " + Quote(tool) + " " + kind + " " + Quote(json) + " 2>&1", &out),
              0)
        << out << "\n"
        << json;
}

std::string Str(const std::string& s) { return "\"" + s + "\""; }

bool HaveBximage() { return testsupport::HaveTool("bximage"); }

int Bximage(const std::string& args)
{
    return testsupport::RunCommand("bximage -q " + args + " >/dev/null 2>&1");
}

class Bochs : public ::testing::Test {
protected:
    TempDir dir;
    DiskHandle disk{DISK_KIND_NONE, nullptr};
    void TearDown() override { Disk_Close(&disk); }
    int Open(const std::string& path)
    {
        Disk_Close(&disk);
        return Disk_Open(&disk, path.c_str(), true);
    }
    std::vector<uint8_t> MakeSource(const std::string& name, uint64_t bytes)
    {
        std::vector<uint8_t> raw = FastBytes(bytes, 5);
        if (bytes >= 3 * 1048576) std::memset(raw.data() + 1048576, 0, 1048576);
        if (bytes >= 4096) std::memset(raw.data() + 2048, 0, 1024);
        WriteFile(dir.file(name), raw);
        return raw;
    }
};

TEST_F(Bochs, BximageImagesReadAsBximageReadsThem)
{
    if (!HaveBximage()) GTEST_SKIP() << "bximage missing";
    const std::vector<uint8_t> raw = MakeSource("src.raw", 5 * 1048576);
    for (const char* mode : {"growing", "sparse"}) {
        SCOPED_TRACE(mode);
        const std::string img = dir.file(std::string(mode) + ".img");
        ASSERT_EQ(Bximage("-func=convert -imgmode=" + std::string(mode) + " " +
                          Quote(dir.file("src.raw")) + " " + Quote(img)),
                  0);
        ASSERT_EQ(Open(img), DISK_OK);
        EXPECT_EQ(Disk_GetKind(&disk), std::string(mode) == "growing" ? DISK_KIND_BOCHS_REDOLOG
                                                                      : DISK_KIND_BOCHS_SPARSE);
        EXPECT_EQ(ReadAll(&disk), raw);
        bool empty = false;
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 2048, 2048, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_TRUE(empty);
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 4, 1, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_TRUE(empty);
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 3, 2, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_FALSE(empty);
        // The pages set heads and sectors; the size stays.
        Bochs_SetGeometry(Disk_GetObject(&disk), 4, 17);
        DiskGeometry g = {};
        Disk_GetGeometry(&disk, &g);
        EXPECT_EQ(g.heads, 4u);
        EXPECT_EQ(g.sectors_per_track, 17u);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), raw.size() / 512);
    }
}

// Every written image reopens here, in bximage and (growing) in qemu-img, equal to its source,
// for small and odd sizes and both header versions.
TEST_F(Bochs, WrittenImagesReadBackEverywhere)
{
    for (uint64_t bytes : {uint64_t(51200), uint64_t(1048576), uint64_t(3 * 1048576 + 7 * 512)}) {
        const std::vector<uint8_t> raw = MakeSource("src.raw", bytes);
        DiskHandle src;
        ASSERT_EQ(OpenRaw(&src, dir.file("src.raw"), bytes / 512), DISK_OK);
        for (uint32_t version : {1u, 2u}) {
            SCOPED_TRACE(std::to_string(bytes) + " v" + std::to_string(version));
            BochsCreateOptions ro = {version == 1 ? uint32_t(BOCHS_VERSION_1)
                                                  : uint32_t(BOCHS_VERSION_2)};
            BochsSparseCreateOptions so = {version};
            const std::string g = dir.file("g.img"), s = dir.file("s.img");
            ASSERT_EQ(Bochs_Create(g.c_str(), &src, nullptr, nullptr, nullptr, &ro), DISK_OK);
            // The version-1 layout under a version-1 header: the size at 84.
            const std::vector<uint8_t> f = ReadFile(g);
            EXPECT_EQ(Bytes_LoadLe32(&f[64]), ro.version);
            EXPECT_EQ(Bytes_LoadLe64(&f[version == 1 ? 84 : 88]), bytes);
            ASSERT_EQ(Open(g), DISK_OK);
            EXPECT_EQ(ReadAll(&disk), raw);
            ASSERT_EQ(BochsSparse_Create(s.c_str(), &src, nullptr, nullptr, nullptr, &so), DISK_OK);
            ASSERT_EQ(Open(s), DISK_OK);
            std::vector<uint8_t> back = ReadAll(&disk);
            back.resize(raw.size());  // version 1 holds whole pages
            EXPECT_EQ(back, raw);
            EXPECT_TRUE(Os_PathExists(dir.file("g.txt").c_str()));
            Disk_Close(&disk);
            // bximage reads the version-2 layouts only (it sizes a version-1 image as empty).
            if (HaveBximage() && version == 2) {
                for (const std::string& img : {g, s}) {
                    std::remove(dir.file("b.raw").c_str());
                    ASSERT_EQ(Bximage("-func=convert -imgmode=flat " + Quote(img) + " " +
                                      Quote(dir.file("b.raw"))),
                              0)
                        << img;
                    std::vector<uint8_t> b = ReadFile(dir.file("b.raw"));
                    b.resize(raw.size());
                    EXPECT_EQ(b, raw) << img;
                }
            }
            if (testsupport::HaveTool("qemu-img")) {
                std::string text;
                EXPECT_EQ(
                    Qemu("compare -f bochs -F raw " + Quote(g) + " " + Quote(dir.file("src.raw")),
                         &text),
                    0)
                    << text;
            }
        }
        Disk_Close(&src);
    }
}

TEST_F(Bochs, WriterSizingAndSparseLayout)
{
    // A 1 GiB source: catalog 8192, bitmap 32 bytes, extents of 128 KiB (the source is sparse).
    const std::string big = dir.file("big.raw");
    {
        FILE* f = std::fopen(big.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fseek(f, (1 << 30) - 1, SEEK_SET), 0);
        std::fputc(7, f);
        std::fclose(f);
    }
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, big, 2097152), DISK_OK);
    BochsCreateOptions ro = {BOCHS_VERSION_2};
    ASSERT_EQ(Bochs_Create(dir.file("big.img").c_str(), &src, nullptr, nullptr, nullptr, &ro),
              DISK_OK);
    Disk_Close(&src);
    const std::vector<uint8_t> f = ReadFile(dir.file("big.img"));
    EXPECT_EQ(Bytes_LoadLe32(&f[72]), 8192u);
    EXPECT_EQ(Bytes_LoadLe32(&f[76]), 32u);
    EXPECT_EQ(Bytes_LoadLe32(&f[80]), 131072u);
    // One stored extent: the last; only its non-zero sector has its bit.
    EXPECT_EQ(f.size(), 512u + 8192 * 4 + 512 + 131072);
    EXPECT_EQ(f[512 + 8192 * 4 + 255 / 8], 0x80);
    // A 100-sector source: two sparse pages, data at 0x8000, the second page zero-padded.
    const std::vector<uint8_t> raw = MakeSource("small.raw", 100 * 512);
    ASSERT_EQ(OpenRaw(&src, dir.file("small.raw"), 100), DISK_OK);
    BochsSparseCreateOptions so = {2};
    ASSERT_EQ(
        BochsSparse_Create(dir.file("small.img").c_str(), &src, nullptr, nullptr, nullptr, &so),
        DISK_OK);
    const std::vector<uint8_t> s = ReadFile(dir.file("small.img"));
    EXPECT_EQ(Bytes_LoadLe32(&s[12]), 2u);
    ASSERT_EQ(s.size(), 0x8000u + 2 * 0x8000);
    EXPECT_EQ(std::memcmp(&s[0x10000], &raw[64 * 512], 36 * 512), 0);
    EXPECT_TRUE(Mem_IsZero(&s[0x10000 + 36 * 512], 28 * 512));
    // An image named "x.txt" would be overwritten by its own description: refused, untouched.
    WriteFile(dir.file("x.txt"), {1, 2, 3});
    EXPECT_EQ(BochsSparse_Create(dir.file("x.txt").c_str(), &src, nullptr, nullptr, nullptr, &so),
              DISK_ERR_ARG);
    EXPECT_EQ(Bochs_Create(dir.file("x.txt").c_str(), &src, nullptr, nullptr, nullptr, &ro),
              DISK_ERR_ARG);
    EXPECT_EQ(ReadFile(dir.file("x.txt")), (std::vector<uint8_t>{1, 2, 3}));
    Disk_Close(&src);
}

TEST_F(Bochs, UndoableImagesReadTheirBase)
{
    // Extent 1 stores sectors 0 and 3 (0xAB); extent 0 is absent.
    const std::string img = dir.file("u.img");
    Fixture("redolog", "{\"path\":" + Str(img) +
                           ",\"subtype\":\"Undoable\",\"catalog\":512,\"bitmap\":1,"
                           "\"extent\":4096,\"disk\":16384,\"extents\":{\"1\":[171,[0,3]]}}");
    ASSERT_EQ(Open(img), DISK_OK);
    EXPECT_TRUE(Bochs_IsUndoable(Disk_GetObject(&disk)));
    std::vector<uint8_t> all = ReadAll(&disk);
    EXPECT_TRUE(Mem_IsZero(all.data(), 4096));  // no base yet: zeros
    EXPECT_EQ(all[4096], 0xAB);
    EXPECT_EQ(all[4096 + 512], 0);
    const std::vector<uint8_t> base = FastBytes(16384, 9);
    WriteFile(dir.file("base.raw"), base);
    ASSERT_EQ(Bochs_OpenBase(Disk_GetObject(&disk), dir.file("base.raw").c_str()), DISK_OK);
    all = ReadAll(&disk);
    std::vector<uint8_t> expect = base;
    std::memset(&expect[4096], 0xAB, 512);
    std::memset(&expect[4096 + 3 * 512], 0xAB, 512);
    EXPECT_EQ(all, expect);
    bool empty = true;
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 9, 1, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);  // from the base
    Bochs_CloseBase(Disk_GetObject(&disk));
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 9, 1, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
}

TEST_F(Bochs, NumberedSparseChains)
{
    const std::string d1 = dir.file("disk1"), d2 = dir.file("disk2"), d3 = dir.file("disk3");
    Fixture("sparse",
            "{\"path\":" + Str(d1) +
                ",\"page_size\":4096,\"pages\":4,\"disk\":16384,\"pages_data\":{\"0\":1,\"1\":2}}");
    Fixture("sparse",
            "{\"path\":" + Str(d2) +
                ",\"page_size\":4096,\"pages\":4,\"disk\":16384,\"pages_data\":{\"1\":22}}");
    Fixture("sparse",
            "{\"path\":" + Str(d3) +
                ",\"page_size\":4096,\"pages\":4,\"disk\":16384,\"pages_data\":{\"3\":33}}");
    ASSERT_EQ(Open(d3), DISK_OK);
    const std::vector<uint8_t> all = ReadAll(&disk);
    EXPECT_EQ(all[0], 1);
    EXPECT_EQ(all[4096], 22);
    EXPECT_EQ(all[8192], 0);
    EXPECT_EQ(all[12288], 33);
    // A parent of another size refuses the child; a missing one is no parent.
    Fixture("sparse", "{\"path\":" + Str(d2) + ",\"page_size\":4096,\"pages\":8,\"disk\":32768}");
    Refusal_Clear();
    EXPECT_EQ(Open(d3), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "Bochs sparse chain: parent has another disk size");
    // A parent that refuses its own header refuses the child with the parent's reason.
    Fixture("sparse", "{\"path\":" + Str(d2) + ",\"page_size\":12288,\"pages\":4,\"disk\":49152}");
    Refusal_Clear();
    EXPECT_EQ(Open(d3), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "Bochs sparse header: page size out of range");
    std::remove(d2.c_str());
    ASSERT_EQ(Open(d3), DISK_OK);
    EXPECT_EQ(ReadAll(&disk)[4096], 0);
}

TEST_F(Bochs, HostileHeadersAreRefused)
{
    const std::string p = dir.file("h.img");
    const std::string sizes = "\"catalog\":512,\"bitmap\":1,\"extent\":4096,\"disk\":1048576";
    struct Case {
        const char* kind;
        std::string json;
        int expect;
        const char* reason;  // the check that refuses it
    } cases[] = {
        {"redolog", sizes, DISK_OK, nullptr},
        // The writer's own small images: 1 MiB and less in a 2 MiB catalog.
        {"redolog", "\"catalog\":512,\"bitmap\":1,\"extent\":4096,\"disk\":51200", DISK_OK,
         nullptr},
        {"redolog", "\"catalog\":512,\"bitmap\":1,\"extent\":4096,\"disk\":51200,\"version\":65536",
         DISK_OK, nullptr},
        {"redolog", "\"catalog\":512,\"bitmap\":1,\"extent\":4096,\"disk\":4194304",
         DISK_ERR_FORMAT, "Bochs header: disk size does not fit the catalog"},
        {"redolog", "\"catalog\":512,\"bitmap\":1,\"extent\":8192,\"disk\":1048576",
         DISK_ERR_FORMAT, "Bochs header: bitmap too small for an extent"},
        {"redolog", "\"catalog\":512,\"bitmap\":1,\"extent\":0,\"disk\":0", DISK_ERR_FORMAT,
         "Bochs header: extent size is not a whole number of sectors"},
        {"redolog", "\"catalog\":0,\"bitmap\":1,\"extent\":4096,\"disk\":512", DISK_ERR_FORMAT,
         "Bochs header: catalog size out of range"},
        {"redolog", "\"catalog\":512,\"bitmap\":0,\"extent\":4096,\"disk\":512", DISK_ERR_FORMAT,
         "Bochs header: bitmap size out of range"},
        {"redolog", sizes + ",\"subtype\":\"Volatile\"", DISK_ERR_FORMAT,
         "Bochs header: unknown redolog subtype"},
        {"redolog", sizes + ",\"version\":196608", DISK_ERR_FORMAT,
         "Bochs header: unknown version"},
        {"sparse", "\"page_size\":32768,\"pages\":4,\"disk\":131072", DISK_OK, nullptr},
        {"sparse", "\"page_size\":12288,\"pages\":4,\"disk\":49152", DISK_ERR_FORMAT,
         "Bochs sparse header: page size out of range"},
        {"sparse", "\"page_size\":256,\"pages\":4,\"disk\":1024", DISK_ERR_FORMAT,
         "Bochs sparse header: page size out of range"},
        {"sparse", "\"page_size\":1,\"pages\":4,\"disk\":4", DISK_ERR_FORMAT,
         "Bochs sparse header: page size out of range"},
        {"sparse", "\"page_size\":4096,\"pages\":0,\"disk\":0", DISK_ERR_FORMAT,
         "Bochs sparse header: page count out of range"},
        {"sparse", "\"page_size\":4096,\"pages\":4,\"disk\":16385", DISK_ERR_FORMAT,
         "Bochs sparse header: pages do not cover the disk size"},
        {"sparse", "\"page_size\":4096,\"pages\":4,\"disk\":16384,\"version\":3", DISK_ERR_FORMAT,
         "Bochs sparse header: unknown version"},
        // A sound image after the refused ones.
        {"sparse", "\"page_size\":4096,\"pages\":4,\"disk\":16385,\"version\":1", DISK_OK, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        Fixture(c.kind, "{\"path\":" + Str(p) + "," + c.json + "}");
        // The general open answers the check of the Bochs kind that knew the file, not the
        // refusal of a kind probed after it.
        Refusal_Clear();
        EXPECT_EQ(Open(p), c.expect);
        if (c.expect == DISK_OK) {
            ReadAll(&disk);
        } else {
            ASSERT_NE(Refusal_Get(), nullptr);
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
        Disk_Close(&disk);
    }
    // Bit flips of a header never crash.
    Fixture("redolog", "{\"path\":" + Str(p) +
                           ",\"catalog\":512,\"bitmap\":1,\"extent\":4096,\"disk\":1048576,"
                           "\"extents\":{\"2\":[5,[1,2]]}}");
    const std::vector<uint8_t> sound = ReadFile(p);
    for (size_t at = 64; at < 96; at++) {
        for (uint8_t bit : {0x01, 0x80}) {
            std::vector<uint8_t> f = sound;
            f[at] ^= bit;
            WriteFile(dir.file("f.img"), f);
            if (Open(dir.file("f.img")) == DISK_OK) {
                // Reads may fail (a block beyond the file), never crash.
                DiskGeometry g = {};
                Disk_GetGeometry(&disk, &g);
                std::vector<uint8_t> buffer(65536);
                const uint64_t bytes = Geometry_GetTotalSectors(&g) * 512;
                for (uint64_t o = 0; o < bytes && o < (64u << 20); o += buffer.size())
                    Disk_Read(&disk, o,
                              static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), bytes - o)),
                              buffer.data());
            }
            Disk_Close(&disk);
        }
    }
}

}  // namespace
