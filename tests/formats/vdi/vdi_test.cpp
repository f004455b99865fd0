// VDI images: qemu-made files read as qemu reads them, python-built differencing chains,
// hostile headers, the writer's header variants checked and compared by qemu-img, and the
// compaction of fixed, dynamic and differencing images.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk_open.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_test_util.h"
#include "foundation/path.h"
#include "foundation/refusal.h"
#include "support/test_support.h"

using namespace vhdtest;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint32_t MiB = 1048576;

void BuildVdi(const std::string& json)
{
    std::string out;
    const std::string tool = std::string(VDX_TEST_SOURCE_DIR) + "/formats/vdi/vdi_fixtures.py";
    ASSERT_EQ(
        testsupport::RunCommand("python3 " + Quote(tool) + " build " + Quote(json) + " 2>&1", &out),
        0)
        << out << "\n"
        << json;
}

std::string Str(const std::string& s) { return "\"" + s + "\""; }

class Vdi : public ::testing::Test {
protected:
    TempDir dir;
    DiskHandle disk{DISK_KIND_NONE, nullptr};
    void TearDown() override { Disk_Close(&disk); }
    int Open(const std::string& path, std::vector<std::string> parents = {})
    {
        Disk_Close(&disk);
        std::vector<const char*> p;
        for (const std::string& s : parents) p.push_back(s.c_str());
        return Disk_OpenVdiWithParents(&disk, path.c_str(), true, static_cast<uint32_t>(p.size()),
                                       p.data());
    }
    VdiImage* Image() { return static_cast<VdiImage*>(Disk_GetObject(&disk)); }
    // A raw source file with data, a run of zero blocks and a partial last block.
    std::vector<uint8_t> MakeSource(const std::string& name, uint64_t bytes)
    {
        std::vector<uint8_t> raw = FastBytes(bytes, 11);
        if (bytes > 4 * MiB) std::memset(raw.data() + MiB, 0, 3 * MiB);
        WriteFile(dir.file(name), raw);
        return raw;
    }
};

bool HaveQemu() { return testsupport::HaveTool("qemu-img"); }

TEST_F(Vdi, QemuImagesReadAsQemuReadsThem)
{
    if (!HaveQemu()) GTEST_SKIP() << "qemu-img missing";
    const std::vector<uint8_t> raw = MakeSource("src.raw", 9 * MiB + 3 * 512);
    for (const char* opts : {"static=off", "static=on"}) {
        SCOPED_TRACE(opts);
        const std::string vdi = dir.file(std::string(opts) + ".vdi");
        ASSERT_EQ(Qemu("convert -f raw -O vdi -o " + std::string(opts) + " " +
                       Quote(dir.file("src.raw")) + " " + Quote(vdi)),
                  0);
        Disk_Init(&disk);
        ASSERT_EQ(Disk_Open(&disk, vdi.c_str(), true), DISK_OK);
        EXPECT_EQ(Disk_GetKind(&disk), DISK_KIND_VDI);
        EXPECT_EQ(ReadAll(&disk), raw);
        bool empty = false;
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 2048, 3 * 2048, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(empty);
        ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 2047, 2, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_FALSE(empty);
        uint8_t b[512];
        EXPECT_EQ(Disk_Read(&disk, raw.size() - 512, 1024, b), DISK_ERR_ARG);
        Disk_Close(&disk);
    }
}

TEST_F(Vdi, DifferencingChainOfThreeReadsNearestFirst)
{
    // base: blocks 0..3 of 0x11..0x44; middle stores block 1 (0xA1) and marks block 2 absent with
    // 0xFFFFFFFE; child stores block 3 (0xC3) over a shorter parent list.
    const std::string base = dir.file("base.vdi"), mid = dir.file("mid.vdi"),
                      top = dir.file("top.vdi");
    BuildVdi("{\"path\":" + Str(base) +
             ",\"disk_size\":4194304,\"blocks_data\":{\"0\":17,\"1\":34,\"2\":51,\"3\":68}}");
    BuildVdi("{\"path\":" + Str(mid) +
             ",\"disk_size\":4194304,\"type\":4,\"blocks_data\":{\"1\":161},\"absent\":{\"2\":"
             "4294967294}}");
    BuildVdi("{\"path\":" + Str(top) +
             ",\"disk_size\":4194304,\"type\":4,\"blocks_data\":{\"3\":195}}");
    ASSERT_EQ(Open(top, {mid, base}), DISK_OK);
    EXPECT_TRUE(Disk_HasParent(&disk));
    const std::vector<uint8_t> all = ReadAll(&disk);
    const uint8_t expect[4] = {0x11, 0xA1, 0x33, 0xC3};
    for (int b = 0; b < 4; b++) {
        EXPECT_EQ(all[b * MiB], expect[b]) << b;
        EXPECT_EQ(all[b * MiB + MiB - 1], expect[b]) << b;
    }
    // Layer queries: only block 3 is stored in the child.
    bool un = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 0, 3 * 2048, &un), DISK_OK);
    EXPECT_TRUE(un);
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 3 * 2048, 1, &un), DISK_OK);
    EXPECT_FALSE(un);
    bool empty = true;
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 0, 10, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);  // from the base
    // A differencing image alone and a fixed one with parents are refused.
    Refusal_Clear();
    EXPECT_EQ(Open(mid), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VDI header: differencing image without its parent");
    Disk_Init(&disk);
    // Refused down the chain, the open answers the reason of the parent that refused.
    Refusal_Clear();
    EXPECT_EQ(Open(top, {mid}), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VDI header: differencing image without its parent");
    Disk_Init(&disk);
    BuildVdi(
        "{\"path\":" + Str(dir.file("fixed.vdi")) +
        ",\"disk_size\":4194304,\"type\":2,\"blocks_data\":{\"0\":1,\"1\":2,\"2\":3,\"3\":4}}");
    Refusal_Clear();
    EXPECT_EQ(Open(dir.file("fixed.vdi"), {base}), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VDI header: a fixed image cannot have a parent");
    Disk_Init(&disk);
    // A missing parent fails the open; so does a chain longer than the bound.
    EXPECT_EQ(Open(top, {mid, dir.file("none.vdi")}), DISK_ERR_OPEN);
    Disk_Init(&disk);
    std::vector<std::string> lots(VDI_MAX_PARENTS + 1, mid);
    lots.back() = base;
    Refusal_Clear();
    EXPECT_EQ(Open(top, lots), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "VDI chain: too many parents");
    Disk_Init(&disk);
}

TEST_F(Vdi, HostileHeadersAreRefused)
{
    const std::string ok = "\"disk_size\":2097152,\"blocks_data\":{\"0\":5}";
    struct Case {
        const char* name;
        std::string extra;
        int expect;
        const char* reason;  // the check that refuses it
    } cases[] = {
        {"sound", "", DISK_OK, nullptr},
        {"header size 384", ",\"header_size\":384", DISK_OK, nullptr},
        {"header size 392", ",\"header_size\":392", DISK_ERR_FORMAT,
         "VDI header: header size is neither 384 nor 400"},
        {"one byte too long", ",\"tail\":1", DISK_ERR_FORMAT,
         "VDI file: size does not match the allocated blocks"},
        {"block size 0", ",\"block_size\":0,\"blocks\":2,\"blocks_data\":{}", DISK_ERR_FORMAT,
         "VDI header: block size out of range"},
        {"block size not a sector multiple",
         ",\"block_size\":1000,\"blocks\":4000,\"blocks_data\":{}", DISK_ERR_FORMAT,
         "VDI header: block size is not a whole number of sectors"},
        {"extra size not a sector multiple", ",\"extra\":100", DISK_ERR_FORMAT,
         "VDI header: block extra size out of range"},
        {"too few blocks", ",\"blocks\":1", DISK_ERR_FORMAT,
         "VDI header: blocks do not cover the disk size"},
        {"entry beyond the file", ",\"entries\":{\"1\":7}", DISK_ERR_FORMAT,
         "VDI block map: entry points past the end of the file"},
        {"allocated above blocks", ",\"blocks_data\":{},\"allocated\":3,\"tail\":3145728",
         DISK_ERR_FORMAT, "VDI header: more blocks allocated than the disk has"},
        {"map under the header", ",\"map_offset\":0", DISK_ERR_FORMAT,
         "VDI header: block map starts inside the header"},
        {"data inside the map", ",\"data_offset\":516", DISK_ERR_FORMAT,
         "VDI header: data start inside the block map"},
        {"differencing alone", ",\"type\":4", DISK_ERR_FORMAT,
         "VDI header: differencing image without its parent"},
        {"unknown type", ",\"type\":3", DISK_ERR_FORMAT, "VDI header: unknown image type"},
        {"bad signature", ",\"signature\":1", DISK_ERR_FORMAT, "VDI header: no signature"},
        {"unknown version", ",\"version\":65538", DISK_ERR_FORMAT, "VDI header: unknown version"},
        {"shorter than the header", ",\"truncate\":400", DISK_ERR_FORMAT,
         "VDI file: shorter than its header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("h.vdi");
        // Later members override the earlier ones.
        std::string json = "{\"path\":" + Str(path) + "," + ok + c.extra + "}";
        BuildVdi(json);
        Disk_Init(&disk);
        Refusal_Clear();
        const int r = Open(path);
        EXPECT_EQ(r, c.expect);
        if (r == DISK_OK) {
            std::vector<uint8_t> all = ReadAll(&disk);
            EXPECT_EQ(all[0], 5);
            EXPECT_EQ(all[MiB], 0);
        } else {
            ASSERT_NE(Refusal_Get(), nullptr);
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
        Disk_Close(&disk);
        // The general open keeps the refusal of a damaged VDI instead of taking it for raw, and
        // answers the VDI check that refused it, not one of a kind probed after it.
        // Without the signature nothing knows the file: the general open does not answer.
        if (c.expect != DISK_OK && c.extra != ",\"signature\":1") {
            Refusal_Clear();
            EXPECT_EQ(Disk_Open(&disk, path.c_str(), true), DISK_ERR_FORMAT);
            ASSERT_NE(Refusal_Get(), nullptr);
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
        Disk_Close(&disk);
    }
    // A sound image opened after a refused one opens and reads.
    BuildVdi("{\"path\":" + Str(dir.file("after.vdi")) + "," + ok + "}");
    Disk_Init(&disk);
    ASSERT_EQ(Open(dir.file("after.vdi")), DISK_OK);
    EXPECT_EQ(ReadAll(&disk)[0], 5);
    Disk_Close(&disk);
    // Truncated and bit-flipped copies of a sound file never crash.
    BuildVdi("{\"path\":" + Str(dir.file("s.vdi")) + "," + ok + "}");
    const std::vector<uint8_t> sound = ReadFile(dir.file("s.vdi"));
    for (size_t at = 64; at < 472; at += 4) {
        std::vector<uint8_t> f = sound;
        f[at] ^= 0x80;
        f[at + 3] ^= 0x40;
        WriteFile(dir.file("f.vdi"), f);
        Disk_Init(&disk);
        if (Open(dir.file("f.vdi")) == DISK_OK) ReadAll(&disk);
        Disk_Close(&disk);
    }
}

// Writer: header numbers per variant and alignment, qemu-img check and compare.
TEST_F(Vdi, WrittenImagesPassQemuAndReadBack)
{
    const std::vector<uint8_t> raw = MakeSource("src.raw", 10 * MiB - 3 * 512);
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, dir.file("src.raw"), raw.size() / 512), DISK_OK);
    struct Case {
        uint32_t variant, alignment;
        uint8_t fixed;
        uint32_t dataOffset, headerSize, reserved;
    } cases[] = {
        {0, 0, 0, 1024, 384, 3},
        {1, 1, 0, 4608, 400, 3},
        {2, 2, 0, 4096, 400, 0},
        {3, 0, 1, 1024, 400, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        VdiCreateOptions o = {c.variant, c.fixed, c.alignment};
        const std::string out = dir.file("w" + std::to_string(c.variant) + ".vdi");
        std::vector<uint64_t> progress;
        auto cb = [](uint64_t done, uint64_t, void* u) {
            static_cast<std::vector<uint64_t>*>(u)->push_back(done);
            return true;
        };
        ASSERT_EQ(Vdi_Create(out.c_str(), &src, nullptr, cb, &progress, &o), DISK_OK);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front(), 0u);
        EXPECT_EQ(progress.back(), raw.size() / 512);
        const std::vector<uint8_t> f = ReadFile(out);
        EXPECT_EQ(Bytes_LoadLe32(&f[72]), c.headerSize);
        EXPECT_EQ(Bytes_LoadLe32(&f[76]), c.fixed ? 2u : 1u);
        EXPECT_EQ(Bytes_LoadLe32(&f[340]), 512u);
        EXPECT_EQ(Bytes_LoadLe32(&f[344]), c.dataOffset);
        EXPECT_EQ(Bytes_LoadLe32(&f[364]), c.reserved);
        EXPECT_EQ(Bytes_LoadLe32(&f[384]), 10u);
        // Three zero blocks are left out unless the image is fixed.
        EXPECT_EQ(Bytes_LoadLe32(&f[388]), c.fixed ? 10u : 7u);
        EXPECT_EQ(f.size(), c.dataOffset + (c.fixed ? 10u : 7u) * MiB);
        if (c.variant >= 2) {
            EXPECT_EQ(Bytes_LoadLe32(&f[460]), 255u);
        }
        ASSERT_EQ(Open(out), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), raw);
        Disk_Close(&disk);
        if (HaveQemu()) {
            std::string text;
            EXPECT_EQ(Qemu("check -f vdi " + Quote(out), &text), 0) << text;
            EXPECT_EQ(Qemu("compare -f vdi -F raw " + Quote(out) + " " + Quote(dir.file("src.raw")),
                           &text),
                      0)
                << text;
        }
    }
    // A used-sector map leaves free sectors unread and zero.
    std::vector<uint8_t> used(raw.size() / 512, 1);
    for (size_t s = 5 * 2048; s < 7 * 2048; s++) used[s] = 0;
    ScriptedMap map(used);
    VdiCreateOptions o = {3, 0, 0};
    ASSERT_EQ(Vdi_Create(dir.file("m.vdi").c_str(), &src, map.map(), nullptr, nullptr, &o),
              DISK_OK);
    ASSERT_EQ(Open(dir.file("m.vdi")), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), Masked(raw, used));
    EXPECT_EQ(Image()->header.blocksAllocated, 5u);
    // Cancelling answers 1.
    auto no = [](uint64_t, uint64_t, void*) { return false; };
    EXPECT_EQ(Vdi_Create(dir.file("c.vdi").c_str(), &src, nullptr, no, nullptr, &o),
              DISK_CANCELLED);
    Disk_Close(&src);
}

TEST_F(Vdi, CompactionKeepsDataAndMakesFixedImagesDynamic)
{
    if (!HaveQemu()) GTEST_SKIP() << "qemu-img missing";
    const std::vector<uint8_t> raw = MakeSource("src.raw", 8 * MiB);
    const std::string vdi = dir.file("fixed.vdi");
    ASSERT_EQ(
        Qemu("convert -f raw -O vdi -o static=on " + Quote(dir.file("src.raw")) + " " + Quote(vdi)),
        0);
    const std::vector<uint8_t> before = ReadFile(vdi);
    ASSERT_EQ(Open(vdi), DISK_OK);
    OutputFile* out = Vdi_AllocOutputFile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(Vdi_Compact(vdi.c_str(), &disk, nullptr, out, false, nullptr, nullptr), DISK_OK);
    Disk_Close(&disk);
    EXPECT_EQ(ReadFile(vdi), before);  // untouched until the commit
    ASSERT_EQ(
        Vdi_CommitCompact(out, Path_DeleteSuffix(TEXT_ENC_UTF8), OUTPUT_COMMIT_REMOVE_REPLACED),
        DISK_OK);
    Mem_Free(out);
    const std::vector<uint8_t> after = ReadFile(vdi);
    EXPECT_EQ(Bytes_LoadLe32(&after[76]), 1u);  // dynamic: the map is sparse now
    EXPECT_EQ(Bytes_LoadLe32(&after[388]), 5u);
    EXPECT_EQ(std::memcmp(&after[392], &before[392], 64), 0);  // UUIDs kept
    std::string text;
    EXPECT_EQ(Qemu("check -f vdi " + Quote(vdi), &text), 0) << text;
    EXPECT_EQ(Qemu("compare -f vdi -F raw " + Quote(vdi) + " " + Quote(dir.file("src.raw")), &text),
              0)
        << text;
    ASSERT_EQ(Open(vdi), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), raw);
}

TEST_F(Vdi, CompactionOfADifferencingImageKeepsItsOwnBlocks)
{
    const std::string base = dir.file("base.vdi"), top = dir.file("top.vdi");
    BuildVdi("{\"path\":" + Str(base) +
             ",\"disk_size\":3145728,\"blocks_data\":{\"0\":17,\"1\":34,\"2\":51}}");
    // Block 0 stores zeros over the base's data: it must stay, or the base would show through.
    BuildVdi("{\"path\":" + Str(top) +
             ",\"disk_size\":3145728,\"type\":4,\"blocks_data\":{\"0\":0,\"2\":99}}");
    ASSERT_EQ(Open(top, {base}), DISK_OK);
    const std::vector<uint8_t> content = ReadAll(&disk);
    OutputFile out;
    Vdi_InitOutputFile(&out);
    ASSERT_EQ(Vdi_Compact(top.c_str(), &disk, nullptr, &out, true, nullptr, nullptr), DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(
        Vdi_CommitCompact(&out, Path_DeleteSuffix(TEXT_ENC_UTF8), OUTPUT_COMMIT_REMOVE_REPLACED),
        DISK_OK);
    ASSERT_EQ(Open(top, {base}), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), content);
    EXPECT_EQ(Image()->header.imageType, 4u);
    EXPECT_EQ(Image()->header.blocksAllocated, 2u);
    // Discarding removes the temporary file and leaves the image.
    const std::vector<uint8_t> kept = ReadFile(top);
    ASSERT_EQ(Vdi_Compact(top.c_str(), &disk, nullptr, &out, false, nullptr, nullptr), DISK_OK);
    const std::string temp = reinterpret_cast<const char*>(out.entry.tempPath.data);
    EXPECT_TRUE(Os_PathExists(temp.c_str()));
    ASSERT_EQ(Vdi_DiscardCompact(&out), DISK_OK);
    EXPECT_FALSE(Os_PathExists(temp.c_str()));
    EXPECT_EQ(ReadFile(top), kept);
}

// A map whose entries share a stored block would be stored once per entry (65,536 entries on
// block 0 would become 64 GiB): compaction refuses it before anything is written.
TEST_F(Vdi, CompactionRefusesSharedBlocks)
{
    const std::string vdi = dir.file("shared.vdi");
    const struct {
        const char* what;
        const char* entries;
        int result;
    } cases[] = {{"apart", "", DISK_OK},
                 {"two entries on block 0", ",\"entries\":{\"3\":0}", DISK_ERR_FORMAT},
                 {"every entry on block 1", ",\"entries\":{\"0\":1,\"2\":1,\"3\":1,\"4\":1}",
                  DISK_ERR_FORMAT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuildVdi("{\"path\":" + Str(vdi) + ",\"disk_size\":5120,\"block_size\":1024," +
                 "\"blocks_data\":{\"1\":7,\"2\":9}" + c.entries + "}");
        const std::vector<uint8_t> before = ReadFile(vdi);
        ASSERT_EQ(Open(vdi), DISK_OK);
        OutputFile out;
        Vdi_InitOutputFile(&out);
        Refusal_Clear();
        EXPECT_EQ(Vdi_Compact(vdi.c_str(), &disk, nullptr, &out, false, nullptr, nullptr),
                  c.result);
        if (c.result != DISK_OK) {
            EXPECT_STREQ(Refusal_Get(), "VDI block map: two entries share a stored block");
        }
        EXPECT_EQ(out.armed, c.result == DISK_OK);
        EXPECT_EQ(Os_PathExists((vdi + "_TEMP").c_str()), c.result == DISK_OK);
        ASSERT_EQ(Vdi_DiscardCompact(&out), DISK_OK);
        Disk_Close(&disk);
        EXPECT_EQ(ReadFile(vdi), before);
    }
}

// A block map at an odd offset: the new map is stored at that offset byte by byte (the sanitizer
// build checks that no 32-bit value is stored there directly), and the result reads as before.
TEST_F(Vdi, CompactionKeepsAMapAtAnOddOffset)
{
    const std::string vdi = dir.file("odd.vdi");
    BuildVdi("{\"path\":" + Str(vdi) +
             ",\"disk_size\":6144,\"block_size\":1024,\"map_offset\":473," +
             "\"data_offset\":1024,\"blocks_data\":{\"0\":0,\"1\":5,\"3\":0,\"5\":8}}");
    ASSERT_EQ(Open(vdi), DISK_OK);
    ASSERT_EQ(Image()->header.blockMapOffset, 473u);
    const std::vector<uint8_t> content = ReadAll(&disk);
    OutputFile out;
    Vdi_InitOutputFile(&out);
    ASSERT_EQ(Vdi_Compact(vdi.c_str(), &disk, nullptr, &out, false, nullptr, nullptr), DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(
        Vdi_CommitCompact(&out, Path_DeleteSuffix(TEXT_ENC_UTF8), OUTPUT_COMMIT_REMOVE_REPLACED),
        DISK_OK);
    const std::vector<uint8_t> after = ReadFile(vdi);
    ASSERT_EQ(after.size(), 1024u + 2 * 1024u);
    const uint32_t expected[6] = {0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1};
    for (uint32_t i = 0; i < 6; i++)
        EXPECT_EQ(Bytes_LoadLe32(&after[473 + 4 * i]), expected[i]) << i;
    ASSERT_EQ(Open(vdi), DISK_OK);
    EXPECT_EQ(Image()->header.blocksAllocated, 2u);
    EXPECT_EQ(ReadAll(&disk), content);
}

}  // namespace
