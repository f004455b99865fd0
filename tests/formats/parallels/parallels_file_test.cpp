// Parallels single image files and bundle data files: writer round trips whose totals are not
// a multiple of the block (checked by our reader and by qemu-img), the exact-size and table
// rules against crafted headers, compaction through a temporary file, and data files reading
// their absent blocks through the earlier snapshot.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/parallels/parallels.h"
#include "foundation/output_file.h"
#include "foundation/platform.h"
#include "foundation/path.h"
#include "foundation/refusal.h"
#include "support/test_support.h"

using testsupport::HaveTool;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

void Put32(std::vector<uint8_t>& f, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& f, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(f[at + i]) << (8 * i);
    return v;
}

// Source content: random sectors with zero runs, so that some blocks stay absent.
std::vector<uint8_t> Content(uint64_t sectors, uint32_t seed)
{
    std::vector<uint8_t> d = testsupport::RandomBytes(sectors * 512, seed);
    for (uint64_t s = 0; s < sectors; s++)
        if ((s / 40) % 3 == 1) std::memset(d.data() + s * 512, 0, 512);
    return d;
}

struct Raw {
    DiskHandle h;
    Raw(const std::string& path, uint32_t heads, uint32_t spt, uint64_t total)
    {
        DiskGeometry g = {};
        g.heads = heads;
        g.sectors_per_track = spt;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, total);
        Disk_Init(&h);
        EXPECT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 0, &g), DISK_OK);
    }
    ~Raw() { Disk_Close(&h); }
};

std::vector<uint8_t> ReadAll(const DiskHandle* d)
{
    DiskGeometry g = {};
    Disk_GetGeometry(d, &g);
    std::vector<uint8_t> out(Geometry_GetTotalSectors(&g) * 512);
    for (uint64_t off = 0; off < out.size(); off += 1 << 20) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1 << 20, out.size() - off));
        EXPECT_EQ(Disk_Read(d, off, n, out.data() + off), DISK_OK);
    }
    return out;
}

// The source followed by zeros up to `bytes`.
std::vector<uint8_t> Padded(std::vector<uint8_t> d, uint64_t bytes)
{
    d.resize(bytes, 0);
    return d;
}

bool QemuReads(const std::string& image, const std::string& raw, std::string* log)
{
    if (RunCommand("qemu-img check -f parallels " + Quote(image) + " 2>&1", log) != 0) return false;
    return RunCommand(
               "qemu-img convert -f parallels -O raw " + Quote(image) + " " + Quote(raw) + " 2>&1",
               log) == 0;
}

TEST(ParallelsFile, RoundTripCoversPartialLastCylinder)
{
    TempDir dir;
    struct Case {
        uint32_t heads, spt;
        uint64_t total;
        uint32_t flags;
    } cases[] = {{4, 17, 1000, 0}, {16, 63, 16 * 63 * 3, 0}, {3, 7, 22, 2}, {2, 64, 5, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        const std::string src = dir.file("src.raw"), out = dir.file("out.hdd");
        const std::vector<uint8_t> data = Content(c.total, static_cast<uint32_t>(c.total));
        WriteFile(src, data);
        Raw raw(src, c.heads, c.spt, c.total);
        ASSERT_EQ(Parallels_Create(out.c_str(), &raw.h, nullptr, nullptr, nullptr, c.flags),
                  DISK_OK);
        const uint64_t cyl = (c.total + c.heads * c.spt - 1) / (c.heads * c.spt);
        const uint64_t disk = cyl * c.heads * c.spt;
        const std::vector<uint8_t> file = ReadFile(out);
        EXPECT_EQ(Get32(file, 24), cyl);
        EXPECT_EQ(Get32(file, 32), c.heads * cyl);
        EXPECT_EQ(Get32(file, 36), (c.flags & 2) ? 0u : disk);

        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
        EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_PARALLELS);
        DiskGeometry g = {};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), disk);
        EXPECT_TRUE(ReadAll(&h) == Padded(data, disk * 512));
        Disk_Close(&h);

        if (HaveTool("qemu-img") && !(c.flags & 2)) {
            std::string log;
            ASSERT_TRUE(QemuReads(out, dir.file("q.raw"), &log)) << log;
            EXPECT_TRUE(ReadFile(dir.file("q.raw")) == Padded(data, disk * 512));
        }
    }
}

TEST(ParallelsFile, AllZeroSourceHoldsHeaderAndTableOnly)
{
    TempDir dir;
    const std::string src = dir.file("z.raw"), out = dir.file("z.hdd");
    WriteFile(src, std::vector<uint8_t>(112 * 9 * 512, 0));
    Raw raw(src, 16, 9, 112 * 9 / 16 * 16);  // 112 blocks: 64 + 4 x 112 is exactly 512
    ASSERT_EQ(Parallels_Create(out.c_str(), &raw.h, nullptr, nullptr, nullptr, 0), DISK_OK);
    const std::vector<uint8_t> file = ReadFile(out);
    EXPECT_EQ(file.size(), 1024u);  // one extra sector after a table ending on a sector edge
    for (size_t i = 64 + 4 * 112; i < 1024; i++) ASSERT_EQ(file[i], 0xFF) << i;
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
    Disk_Close(&h);
}

// A valid small file: 2 heads, 2 cylinders, 8 sectors per block, blocks 0 and 3 stored.
std::vector<uint8_t> SmallFile()
{
    std::vector<uint8_t> f(512);
    std::memcpy(f.data(), "WithoutFreeSpace", 16);
    Put32(f, 16, 2);
    Put32(f, 20, 2);
    Put32(f, 24, 2);
    Put32(f, 28, 8);
    Put32(f, 32, 4);
    Put32(f, 36, 32);
    // Data start: ((4 x 4 + 65) AND NOT 511) + 512 = 512.
    std::vector<uint8_t> file(512 + 2 * 8 * 512, 0);
    std::memcpy(file.data(), f.data(), 64);
    Put32(file, 64, 1);       // block 0 at sector 1
    Put32(file, 64 + 12, 9);  // block 3 at sector 9
    for (size_t i = 512; i < file.size(); i++) file[i] = static_cast<uint8_t>(i * 7 + 1);
    return file;
}

TEST(ParallelsFile, CraftedHeadersAreRefused)
{
    TempDir dir;
    const std::string p = dir.file("c.hdd");
    WriteFile(p, SmallFile());
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenParallels(&h, p.c_str(), true), DISK_OK);
    std::vector<uint8_t> all = ReadAll(&h);
    const std::vector<uint8_t> file = SmallFile();
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 4096, file.begin() + 512));
    EXPECT_TRUE(
        std::all_of(all.begin() + 4096, all.begin() + 12288, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(all.begin() + 12288, all.end(), file.begin() + 512 + 4096));
    Disk_Close(&h);

    const char* const kSize =
        "Parallels image: file size differs from its data start and stored blocks";
    struct Bad {
        const char* what;
        size_t at;
        uint32_t value;
        int sizeDelta;
        const char* reason;
    } bad[] = {
        {"one byte more", 0, 0, 1, kSize},
        {"one byte less", 0, 0, -1, kSize},
        {"zero sectors per block", 28, 0, 0, "Parallels header: block size out of range"},
        {"table shorter than the disk", 32, 3, 0,
         "Parallels header: block table does not cover the disk"},
        {"entry past the end", 64 + 12, 10, 0,
         "Parallels block table: entry points outside the data area"},
        {"zero cylinders", 24, 0, 0, "Parallels header: zero heads or cylinders"},
        {"zero heads", 20, 0, 0, "Parallels header: zero heads or cylinders"},
        {"huge table", 32, 0x40000000, 0, "Parallels header: file shorter than its block table"},
        {"signature", 8, 0x20202020, 0, "Parallels header: no signature"}};
    for (const Bad& b : bad) {
        std::vector<uint8_t> f = SmallFile();
        if (b.at != 0) Put32(f, b.at, b.value);
        if (b.sizeDelta > 0) f.push_back(0);
        if (b.sizeDelta < 0) f.pop_back();
        WriteFile(p, f);
        DiskHandle d;
        Disk_Init(&d);
        Refusal_Clear();
        EXPECT_EQ(Disk_OpenParallels(&d, p.c_str(), true), DISK_ERR_FORMAT) << b.what;
        EXPECT_STREQ(Refusal_Get(), b.reason) << b.what;
        EXPECT_EQ(d.object, nullptr);
        if (b.at == 8) continue;  // without the signature the file may be another format
        // The general open keeps the refusal of a file that carries the signature.
        EXPECT_EQ(Disk_Open(&d, p.c_str(), true), DISK_ERR_FORMAT) << b.what;
    }
}

TEST(ParallelsFile, CompactionDropsEmptyBlocksAndKeepsContent)
{
    TempDir dir;
    std::vector<uint8_t> f = SmallFile();
    std::memset(f.data() + 512, 0, 4096);  // block 0 stored but all zero
    const std::string p = dir.file("img.hdd");
    WriteFile(p, f);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, p.c_str(), false), DISK_OK);
    const std::vector<uint8_t> before = ReadAll(&h);
    OutputFile out;
    ASSERT_EQ(Parallels_Compact(p.c_str(), &h, nullptr, &out, false, nullptr, nullptr), DISK_OK);
    Disk_Close(&h);
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    ASSERT_EQ(Parallels_CommitCompact(&out, suffix, OUTPUT_COMMIT_REMOVE_REPLACED), DISK_OK);
    const std::vector<uint8_t> after = ReadFile(p);
    EXPECT_EQ(after.size(), 512u + 4096u);
    EXPECT_EQ(Get32(after, 64), 0u);
    EXPECT_EQ(Get32(after, 76), 1u);
    ASSERT_EQ(Disk_Open(&h, p.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == before);
    Disk_Close(&h);
    if (HaveTool("qemu-img")) {
        std::string log;
        ASSERT_TRUE(QemuReads(p, dir.file("q.raw"), &log)) << log;
        EXPECT_TRUE(ReadFile(dir.file("q.raw")) == before);
    }
    // A backup left by an earlier trim is never replaced silently.
    WriteFile(p + "_del", {1});
    ASSERT_EQ(Disk_Open(&h, p.c_str(), false), DISK_OK);
    ASSERT_EQ(Parallels_Compact(p.c_str(), &h, nullptr, &out, false, nullptr, nullptr), DISK_OK);
    Disk_Close(&h);
    EXPECT_EQ(Parallels_CommitCompact(&out, suffix, 0), DISK_ERR_BACKUP_EXISTS);
    EXPECT_EQ(Parallels_DiscardCompact(&out), DISK_OK);
}

// Tables whose entries share or overlap a block: each entry would be stored on its own, so
// compaction refuses them before anything is written; entries apart compact as usual.
struct SharedTable {
    const char* what;
    uint32_t entries[4];
    int result;
};

class ParallelsSharedEntries : public ::testing::TestWithParam<SharedTable> {};

TEST_P(ParallelsSharedEntries, CompactionRefusesSharedBlocks)
{
    const SharedTable& c = GetParam();
    TempDir dir;
    std::vector<uint8_t> f = SmallFile();
    f.resize(512 + 4 * 8 * 512);
    for (size_t i = 512; i < f.size(); i++) f[i] = static_cast<uint8_t>(i * 13 + 5);
    for (uint32_t i = 0; i < 4; i++) Put32(f, 64 + 4 * i, c.entries[i]);
    const std::string p = dir.file("s.hdd");
    WriteFile(p, f);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, p.c_str(), false), DISK_OK);
    OutputFile out;
    const char* const kShared = "Parallels block table: two entries share a block";
    Refusal_Clear();
    EXPECT_EQ(Parallels_Compact(p.c_str(), &h, nullptr, &out, false, nullptr, nullptr), c.result);
    if (c.result != DISK_OK) {
        EXPECT_STREQ(Refusal_Get(), kShared);
    }
    Disk_Close(&h);
    if (c.result != DISK_OK) {
        EXPECT_FALSE(out.armed);
        EXPECT_FALSE(Os_PathExists((p + "_TEMP").c_str()));
    }
    EXPECT_EQ(Parallels_DiscardCompact(&out), DISK_OK);
    EXPECT_TRUE(ReadFile(p) == f);

    // The same table in a bundle data file.
    const uint64_t total = 2 * 8 * 4;
    WriteFile(dir.file("s.raw"), testsupport::RandomBytes(total * 512, 3));
    Raw raw(dir.file("s.raw"), 2, 8, total);
    const std::string d = dir.file("d.hds");
    ASSERT_EQ(
        ParallelsData_Create(d.c_str(), &raw.h, nullptr, 0, total, 0, nullptr, nullptr, total),
        DISK_OK);
    std::vector<uint8_t> g = ReadFile(d);
    const uint32_t start = Get32(g, 48), block = Get32(g, 28);
    ASSERT_GE(Get32(g, 32), 4u);
    ASSERT_GE(block, 2u);
    // The single file's table in units of this file's block (sector 1 is the data start there).
    for (uint32_t i = 0; i < 4; i++) Put32(g, 64 + 4 * i, (c.entries[i] - 1) * block / 8 + start);
    WriteFile(d, g);
    ParallelsDataFile df;
    ParallelsData_Init(&df);
    ASSERT_EQ(ParallelsData_Open(&df, d.c_str(), true, 0, nullptr, 0), DISK_OK);
    const std::string t = dir.file("d.hds_TEMP");
    Refusal_Clear();
    EXPECT_EQ(ParallelsData_Compact(&df, t.c_str(), &raw.h, nullptr, false, nullptr, nullptr, total,
                                    false),
              c.result);
    if (c.result != DISK_OK) {
        EXPECT_STREQ(Refusal_Get(), kShared);
    }
    ParallelsData_Close(&df);
    EXPECT_EQ(Os_PathExists(t.c_str()), c.result == DISK_OK);
    EXPECT_TRUE(ReadFile(d) == g);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ParallelsSharedEntries,
    ::testing::Values(SharedTable{"apart", {1, 9, 17, 25}, DISK_OK},
                      SharedTable{"one block twice", {1, 1, 9, 17}, DISK_ERR_FORMAT},
                      SharedTable{"overlapping blocks", {1, 9, 5, 17}, DISK_ERR_FORMAT},
                      SharedTable{"every entry the same", {9, 9, 9, 9}, DISK_ERR_FORMAT}),
    [](const ::testing::TestParamInfo<SharedTable>& i) {
        std::string n = i.param.what;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST(ParallelsFile, WritingToAnUnwritablePlaceFails)
{
    TempDir dir;
    const std::string src = dir.file("s.raw");
    WriteFile(src, Content(64, 1));
    Raw raw(src, 2, 16, 64);
    EXPECT_EQ(
        Parallels_Create(dir.file("no/such/dir.hdd").c_str(), &raw.h, nullptr, nullptr, nullptr, 0),
        DISK_ERR_CREATE);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(
            ParallelsFlat_Create("/dev/full", &raw.h, nullptr, 0, 64, 0, nullptr, nullptr, 64),
            DISK_ERR_WRITE);
    }
}

// ---- Data files ----------------------------------------------------------------------------------

TEST(ParallelsDataFile, RoundTripWithPartialLastBlock)
{
    TempDir dir;
    const uint64_t total = 4 * 17 * 10 + 5;  // B = 34 (even heads halve the cylinder)
    const std::vector<uint8_t> data = Content(total, 9);
    const std::string src = dir.file("s.raw");
    WriteFile(src, data);
    Raw raw(src, 4, 17, total);
    struct Storage {
        uint32_t first, count;
    } storages[] = {{0, static_cast<uint32_t>(total)}, {34, 100}, {total - 3, 3}};
    for (const Storage& st : storages) {
        SCOPED_TRACE(st.first);
        const std::string out = dir.file("d.hds");
        ASSERT_EQ(ParallelsData_Create(out.c_str(), &raw.h, nullptr, st.first, st.count, 0, nullptr,
                                       nullptr, total),
                  DISK_OK);
        const std::vector<uint8_t> file = ReadFile(out);
        EXPECT_EQ(Get32(file, 28), 34u);
        EXPECT_EQ(Get32(file, 32), (st.count + 33) / 34);
        ParallelsDataFile df;
        ParallelsData_Init(&df);
        ASSERT_EQ(ParallelsData_Open(&df, out.c_str(), true, 0, nullptr, st.first), DISK_OK);
        std::vector<uint8_t> back(st.count * 512);
        ASSERT_EQ(ParallelsData_Read(&df, 0, back.size(), back.data()), DISK_OK);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + st.first * 512));
        ParallelsData_Close(&df);
        if (HaveTool("qemu-img")) {
            std::string log;
            ASSERT_TRUE(QemuReads(out, dir.file("q.raw"), &log)) << log;
            EXPECT_TRUE(ReadFile(dir.file("q.raw")) == back);
        }
    }
}

TEST(ParallelsDataFile, AbsentBlocksReadThroughTheEarlierImage)
{
    TempDir dir;
    const uint64_t total = 2 * 8 * 6;  // B = 8, 12 blocks
    std::vector<uint8_t> base = testsupport::RandomBytes(total * 512, 4);
    std::vector<uint8_t> delta(total * 512, 0);
    for (size_t i = 3 * 8 * 512; i < 4 * 8 * 512; i++) delta[i] = 0x5A;
    WriteFile(dir.file("base.raw"), base);
    WriteFile(dir.file("delta.raw"), delta);
    Raw b(dir.file("base.raw"), 2, 8, total), d(dir.file("delta.raw"), 2, 8, total);
    ASSERT_EQ(ParallelsData_Create(dir.file("0.hds").c_str(), &b.h, nullptr, 0, total, 0, nullptr,
                                   nullptr, total),
              DISK_OK);
    ASSERT_EQ(ParallelsData_Create(dir.file("1.hds").c_str(), &d.h, nullptr, 0, total, 0, nullptr,
                                   nullptr, total),
              DISK_OK);
    ParallelsStorageImage root, leaf;
    ParallelsStorageImage_Init(&root);
    ParallelsStorageImage_Init(&leaf);
    ASSERT_EQ(ParallelsData_Open(&root.data, dir.file("0.hds").c_str(), true, 0, nullptr, 0),
              DISK_OK);
    root.type = 0;
    ASSERT_EQ(ParallelsData_Open(&leaf.data, dir.file("1.hds").c_str(), true, 0, &root, 0),
              DISK_OK);
    leaf.type = 0;
    std::vector<uint8_t> got(total * 512);
    ASSERT_EQ(ParallelsStorageImage_Read(&leaf, 0, got.size(), got.data()), DISK_OK);
    std::vector<uint8_t> expect = base;
    std::memcpy(expect.data() + 3 * 8 * 512, delta.data() + 3 * 8 * 512, 8 * 512);
    EXPECT_TRUE(got == expect);
    bool empty = true;
    ASSERT_EQ(ParallelsData_IsRangeEmpty(&leaf.data, nullptr, 0, 8, &empty), DISK_OK);
    EXPECT_FALSE(empty);  // stored in the root only
    bool unallocated = false;
    ASSERT_EQ(ParallelsData_IsRangeUnallocated(&leaf.data, nullptr, 0, 8, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    ASSERT_EQ(ParallelsData_IsRangeUnallocated(&leaf.data, nullptr, 24, 8, &unallocated), DISK_OK);
    EXPECT_FALSE(unallocated);
    ParallelsStorageImage_Close(&leaf);
    ParallelsStorageImage_Close(&root);
}

TEST(ParallelsDataFile, CompactionKeepsTheDataStart)
{
    TempDir dir;
    const uint64_t total = 2 * 8 * 6;
    std::vector<uint8_t> data = Content(total, 5);
    WriteFile(dir.file("s.raw"), data);
    Raw raw(dir.file("s.raw"), 2, 8, total);
    const std::string p = dir.file("d.hds");
    ASSERT_EQ(
        ParallelsData_Create(p.c_str(), &raw.h, nullptr, 0, total, 0, nullptr, nullptr, total),
        DISK_OK);
    // Move the data one block further out, as another writer may have laid it out.
    std::vector<uint8_t> f = ReadFile(p);
    const uint32_t start = Get32(f, 48);
    f.insert(f.begin() + start * 512, 8 * 512, 0);
    Put32(f, 48, start + 8);
    for (uint32_t i = 0; i < Get32(f, 32); i++)
        if (Get32(f, 64 + 4 * i) != 0) Put32(f, 64 + 4 * i, Get32(f, 64 + 4 * i) + 8);
    WriteFile(p, f);
    ParallelsDataFile df;
    ParallelsData_Init(&df);
    ASSERT_EQ(ParallelsData_Open(&df, p.c_str(), true, 0, nullptr, 0), DISK_OK);
    const std::string t = dir.file("d.hds_TEMP");
    ASSERT_EQ(ParallelsData_Compact(&df, t.c_str(), &raw.h, nullptr, false, nullptr, nullptr, total,
                                    false),
              DISK_OK);
    ParallelsData_Close(&df);
    const std::vector<uint8_t> g = ReadFile(t);
    EXPECT_EQ(Get32(g, 48), start + 8);
    ASSERT_EQ(ParallelsData_Open(&df, t.c_str(), true, 0, nullptr, 0), DISK_OK);
    std::vector<uint8_t> back(total * 512);
    ASSERT_EQ(ParallelsData_Read(&df, 0, back.size(), back.data()), DISK_OK);
    EXPECT_TRUE(back == data);
    ParallelsData_Close(&df);
}

// A data file with one field of its header or table damaged names the check that refused it.
struct DataFileDamage {
    const char* what;
    size_t at;
    uint32_t value;  // written at `at`, or appended as one byte when `at` is 0
    const char* reason;
};

class ParallelsDataFileDamage : public ::testing::TestWithParam<DataFileDamage> {};

TEST_P(ParallelsDataFileDamage, RefusalNamesTheCheck)
{
    const DataFileDamage& c = GetParam();
    TempDir dir;
    const uint64_t total = 2 * 8 * 4;
    WriteFile(dir.file("s.raw"), testsupport::RandomBytes(total * 512, 5));
    Raw raw(dir.file("s.raw"), 2, 8, total);
    const std::string d = dir.file("d.hds");
    ASSERT_EQ(
        ParallelsData_Create(d.c_str(), &raw.h, nullptr, 0, total, 0, nullptr, nullptr, total),
        DISK_OK);
    std::vector<uint8_t> f = ReadFile(d);
    if (c.at == 0)
        f.push_back(0);
    else if (c.at == 12)
        std::memcpy(f.data(), "WithouFreSpacExt", 16);
    else
        Put32(f, c.at, c.value);
    WriteFile(d, f);
    ParallelsDataFile df;
    ParallelsData_Init(&df);
    Refusal_Clear();
    EXPECT_EQ(ParallelsData_Open(&df, d.c_str(), true, 0, nullptr, 0), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), c.reason);
    EXPECT_EQ(df.stream, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ParallelsDataFileDamage,
    ::testing::Values(
        DataFileDamage{"other layout", 12, 0, "Parallels data file: header of a single image file"},
        DataFileDamage{"zero total", 36, 0, "Parallels data file: total sectors is zero"},
        DataFileDamage{"zero heads", 20, 0, "Parallels data file: zero heads or cylinders"},
        DataFileDamage{"short table", 32, 1,
                       "Parallels data file: block table does not cover the storage"},
        DataFileDamage{"data start 0", 48, 0,
                       "Parallels data file: data start inside the block table"},
        DataFileDamage{"one byte more", 0, 0,
                       "Parallels data file: file size differs from its data start and stored "
                       "blocks"},
        DataFileDamage{"entry past the end", 64, 0xFFFF,
                       "Parallels data file: block entry points outside the data area"}),
    [](const ::testing::TestParamInfo<DataFileDamage>& i) {
        std::string n = i.param.what;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST(ParallelsFlatFile, SizeMustMatchAndContentIsPlain)
{
    TempDir dir;
    std::vector<uint8_t> data = Content(50, 3);
    WriteFile(dir.file("s.raw"), data);
    Raw raw(dir.file("s.raw"), 2, 5, 50);
    const std::string p = dir.file("f.hds");
    ASSERT_EQ(ParallelsFlat_Create(p.c_str(), &raw.h, nullptr, 10, 30, 0, nullptr, nullptr, 50),
              DISK_OK);
    EXPECT_TRUE(ReadFile(p) == std::vector<uint8_t>(data.begin() + 5120, data.begin() + 40 * 512));
    ParallelsFlatFile ff;
    ParallelsFlat_Init(&ff);
    Refusal_Clear();
    EXPECT_EQ(ParallelsFlat_Open(&ff, p.c_str(), true, 31, 10), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "Parallels plain data file: size differs from its storage");
    ASSERT_EQ(ParallelsFlat_Open(&ff, p.c_str(), true, 30, 10), DISK_OK);
    bool empty = false;
    ASSERT_EQ(ParallelsFlat_IsRangeEmpty(&ff, nullptr, 0, 30, &empty), DISK_OK);
    EXPECT_FALSE(empty);
    ParallelsFlat_Close(&ff);
}

// ---- Files qemu-img makes --------------------------------------------------------------------------
// "WithouFreSpacExt": 16 heads, whole-block table entries, data from the header's data start
// (one block in), the disk size as a 64-bit count. They read as qemu-img reads them, and their
// compaction gives a file that qemu-img checks clean and compares equal.

void Put64(std::vector<uint8_t>& f, size_t at, uint64_t v)
{
    for (int i = 0; i < 8; i++) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct QemuCase {
    const char* cluster;
    uint32_t blockSectors;
    bool preallocate;  // the compaction's temporary file
};

class QemuMadeFile : public ::testing::TestWithParam<QemuCase> {
protected:
    TempDir dir;
    std::string image, reference;
    // 40 MiB + 3.5 KiB, so that the last block is partial.
    static constexpr uint64_t kBytes = 40 * 1024 * 1024 + 3584;

    void SetUp() override
    {
        if (!HaveTool("qemu-img") || !HaveTool("qemu-io"))
            GTEST_SKIP() << "qemu-img/qemu-io missing";
        image = dir.file("q.hdd");
        reference = dir.file("ref.raw");
        std::string log;
        ASSERT_EQ(RunCommand("qemu-img create -q -f parallels -o cluster_size=" +
                                 std::string(GetParam().cluster) + " " + Quote(image) + " " +
                                 std::to_string(kBytes) + " 2>&1",
                             &log),
                  0)
            << log;
        // Data at the start, a piece inside a block, a stored block of zeros (compaction drops
        // it), data across a block boundary and the last sector.
        const std::string last = std::to_string(kBytes - 512);
        ASSERT_EQ(RunCommand("qemu-io -f parallels -c 'write -P 0x5a 0 3M' -c 'write -P 0x11 5M 4k'"
                             " -c 'write -P 0 9M 1M' -c 'write -P 0x22 20416k 200k'"
                             " -c 'write -P 0x77 " +
                                 last + " 512' " + Quote(image) + " 2>&1",
                             &log),
                  0)
            << log;
        ASSERT_EQ(RunCommand("qemu-img convert -f parallels -O raw " + Quote(image) + " " +
                                 Quote(reference) + " 2>&1",
                             &log),
                  0)
            << log;
    }

    void ExpectReadsAsReference(const std::string& path, DiskKind kind = DISK_KIND_PARALLELS)
    {
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, path.c_str(), true), DISK_OK) << path;
        EXPECT_EQ(Disk_GetKind(&h), kind);
        DiskGeometry g = {};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), kBytes / 512);
        EXPECT_TRUE(ReadAll(&h) == ReadFile(reference)) << path;
        Disk_Close(&h);
    }

    // `extra`: bytes of the file that hold no block (an extension block).
    void CompactAndCheck(uint64_t extra = 0)
    {
        const uint64_t before = ReadFile(image).size();
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, image.c_str(), true), DISK_OK);
        OutputFile out;
        ASSERT_EQ(Parallels_Compact(image.c_str(), &h, nullptr, &out, GetParam().preallocate,
                                    nullptr, nullptr),
                  DISK_OK);
        Disk_Close(&h);
        ASSERT_EQ(Parallels_CommitCompact(&out, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                          OUTPUT_COMMIT_REMOVE_REPLACED),
                  DISK_OK);
        const std::vector<uint8_t> f = ReadFile(image);
        EXPECT_EQ(std::string(f.begin(), f.begin() + 16), "WithouFreSpacExt");
        EXPECT_EQ(Get32(f, 44), 0u) << "closed cleanly";
        EXPECT_EQ(Get32(f, 56) | Get32(f, 60), 0u) << "no header extension";
        // The zero-filled megabyte is gone; the file holds its data start and stored blocks.
        EXPECT_EQ(f.size(), before - extra - 1024 * 1024);
        std::string log;
        EXPECT_EQ(RunCommand("qemu-img check -f parallels " + Quote(image) + " 2>&1", &log), 0)
            << log;
        EXPECT_EQ(RunCommand("qemu-img compare -f parallels -F raw " + Quote(image) + " " +
                                 Quote(reference) + " 2>&1",
                             &log),
                  0)
            << log;
        ExpectReadsAsReference(image);
    }
};

TEST_P(QemuMadeFile, ReadsAsQemuImgReadsIt)
{
    const std::vector<uint8_t> f = ReadFile(image);
    ASSERT_EQ(std::string(f.begin(), f.begin() + 16), "WithouFreSpacExt");
    EXPECT_EQ(Get32(f, 28), GetParam().blockSectors);
    EXPECT_EQ(Get32(f, 48), GetParam().blockSectors);
    ExpectReadsAsReference(image);
    // Found by its content under any name, not taken for a raw disk.
    const std::string other = dir.file("q.img");
    WriteFile(other, f);
    ExpectReadsAsReference(other);
}

TEST_P(QemuMadeFile, CompactionIsCleanForQemuImg) { CompactAndCheck(); }

// A header-extension block (at the sector the header names) and the in-use mark of a file that
// qemu did not close do not change the disk; compaction leaves both out.
TEST_P(QemuMadeFile, ExtensionBlockAndInUseMarkAreSkipped)
{
    std::vector<uint8_t> f = ReadFile(image);
    const uint64_t block = GetParam().blockSectors * 512ull;
    ASSERT_EQ(f.size() % block, 0u);
    Put64(f, 56, f.size() / 512);
    Put32(f, 44, 0x746F6E59);
    f.resize(f.size() + block, 0xEE);
    WriteFile(image, f);
    ExpectReadsAsReference(image);
    CompactAndCheck(block);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, QemuMadeFile,
                         ::testing::Values(QemuCase{"64k", 128, false}, QemuCase{"1M", 2048, true}),
                         [](const ::testing::TestParamInfo<QemuCase>& info) {
                             return std::string("Cluster") + info.param.cluster;
                         });

// A file with either signature that still cannot be read is a damaged Parallels image, never
// a raw disk: the general open answers DISK_ERR_FORMAT under any name.
TEST(ParallelsFile, DamagedExtendedLayoutIsNotRaw)
{
    TempDir dir;
    // 4 entries of 8-sector blocks, data at sector 8, block 0 stored at entry 1.
    std::vector<uint8_t> good(8 * 512 + 8 * 512, 0);
    std::memcpy(good.data(), "WithouFreSpacExt", 16);
    Put32(good, 16, 2);
    Put32(good, 20, 16);
    Put32(good, 24, 0);
    Put32(good, 28, 8);
    Put32(good, 32, 4);
    Put64(good, 36, 30);
    Put32(good, 48, 8);
    Put32(good, 64, 1);
    std::memset(good.data() + 8 * 512, 0x3C, 8 * 512);
    const std::string p = dir.file("x.hdd");
    WriteFile(p, good);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, p.c_str(), true), DISK_OK);
    std::vector<uint8_t> all = ReadAll(&h);
    ASSERT_EQ(all.size(), 30u * 512);
    EXPECT_TRUE(std::all_of(all.begin(), all.begin() + 4096, [](uint8_t b) { return b == 0x3C; }));
    EXPECT_TRUE(std::all_of(all.begin() + 4096, all.end(), [](uint8_t b) { return b == 0; }));
    Disk_Close(&h);

    const char* const kOutside = "Parallels block table: entry points outside the data area";
    struct Bad {
        const char* what;
        size_t at;
        uint64_t value;
        bool wide;
        const char* reason;
    } bad[] = {
        {"entry past the end", 64, 2, false, kOutside},
        {"entry before the data start", 48, 16, false, kOutside},
        {"disk larger than the table", 36, 33, true,
         "Parallels header: block table does not cover the disk"},
        {"zero disk size", 36, 0, true, "Parallels header: disk size is zero"},
        {"data start past the end", 48, 17, false,
         "Parallels header: data start past the end of the file"},
        {"zero sectors per block", 28, 0, false, "Parallels header: block size out of range"},
        {"huge table", 32, 0x40000000, false,
         "Parallels header: file shorter than its block table"}};
    for (const Bad& b : bad) {
        std::vector<uint8_t> f = good;
        if (b.wide)
            Put64(f, b.at, b.value);
        else
            Put32(f, b.at, static_cast<uint32_t>(b.value));
        for (const char* name : {"x.hdd", "x.img"}) {
            const std::string path = dir.file(name);
            WriteFile(path, f);
            DiskHandle d;
            Disk_Init(&d);
            Refusal_Clear();
            EXPECT_EQ(Disk_OpenParallels(&d, path.c_str(), true), DISK_ERR_FORMAT) << b.what;
            EXPECT_STREQ(Refusal_Get(), b.reason) << b.what;
            EXPECT_EQ(Disk_Open(&d, path.c_str(), true), DISK_ERR_FORMAT) << b.what << " " << name;
            EXPECT_EQ(d.object, nullptr);
        }
    }
}

}  // namespace

namespace {

// The process's peak resident memory in KiB (VmHWM).
uint64_t PeakKiB()
{
    const std::vector<uint8_t> status = ReadFile("/proc/self/status");
    const std::string text(status.begin(), status.end());
    const size_t at = text.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + 6));
}

// Starts a new peak at the current resident size; false where the kernel cannot.
bool ResetPeak()
{
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// Reads a few pieces all over the disk, the last sector included; all of them read as zeros.
void ReadSpread(DiskHandle* h, uint64_t sectors)
{
    std::vector<uint8_t> buf(64 * 1024, 0xEE);
    for (uint64_t i = 0; i < 16; i++) {
        const uint64_t sector = (sectors - 128) / 15 * i;
        ASSERT_EQ(Disk_Read(h, sector * 512, static_cast<uint32_t>(buf.size()), buf.data()),
                  DISK_OK);
        EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
    }
    bool empty = false;
    ASSERT_EQ(Disk_IsRangeEmpty(h, nullptr, sectors - 4096, 4096, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
}

}  // namespace

// A disk of 2 TiB opens and reads without its block table in memory: in blocks of one 63-sector
// track its table is 272 MiB, in qemu-img's 1 MiB blocks 8 MiB; the peak resident memory grows
// by far less than either table.
TEST(ParallelsFile, LargeTablesAreNotHeldInMemory)
{
    TempDir dir;
    if (!ResetPeak()) GTEST_SKIP() << "no /proc/self/clear_refs";
    // 16 heads x 4161000 cylinders x 63 sectors (just below 2^32 sectors), nothing stored.
    const uint32_t heads = 16, cylinders = 4161000, spt = 63;
    const uint64_t entries = static_cast<uint64_t>(heads) * cylinders;
    const uint64_t tableBytes = entries * 4;
    std::vector<uint8_t> header(64, 0);
    std::memcpy(header.data(), "WithoutFreeSpace", 16);
    Put32(header, 16, 2);
    Put32(header, 20, heads);
    Put32(header, 24, cylinders);
    Put32(header, 28, spt);
    Put32(header, 32, static_cast<uint32_t>(entries));
    const std::string own = dir.file("own.hdd");
    WriteFile(own, header);
    ASSERT_EQ(truncate(own.c_str(), static_cast<off_t>(((tableBytes + 65) & ~511ull) + 512)), 0);

    std::vector<std::pair<std::string, uint64_t>> images = {{own, tableBytes}};
    if (HaveTool("qemu-img")) {
        const std::string q = dir.file("qemu.hds");
        std::string log;
        ASSERT_EQ(RunCommand("qemu-img create -q -f parallels " + Quote(q) + " 2000G 2>&1", &log),
                  0)
            << log;
        images.push_back({q, 2000ull * 1024 * 1024 * 1024 / (1024 * 1024) * 4});
    }
    for (const auto& image : images) {
        SCOPED_TRACE(image.first);
        ASSERT_TRUE(ResetPeak());
        const uint64_t before = PeakKiB();
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, image.first.c_str(), true), DISK_OK);
        EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_PARALLELS);
        DiskGeometry g = {};
        Disk_GetGeometry(&h, &g);
        const uint64_t sectors = Geometry_GetTotalSectors(&g);
        EXPECT_GT(sectors, 1ull << 31);
        ReadSpread(&h, sectors);
        const uint64_t grown = (PeakKiB() - before) * 1024;
        Disk_Close(&h);
        EXPECT_LT(grown, image.second / 2) << "peak grew by " << grown << " bytes";
    }
}

// With windows of a few entries (the table spans many windows, more than the cache holds), reads
// across window and block boundaries, in order and out of it, give what qemu-img reads, and
// compaction keeps the content.
TEST(ParallelsFile, ReadsAcrossTableWindowsMatchQemu)
{
    if (!HaveTool("qemu-img") || !HaveTool("qemu-io")) GTEST_SKIP() << "qemu-img/qemu-io missing";
    TempDir dir;
    const std::string image = dir.file("w.hds"), reference = dir.file("w.raw");
    std::string log;
    // 4 KiB blocks: 600 entries, in windows of 7.
    const uint64_t bytes = 600 * 4096 - 1024;
    ASSERT_EQ(RunCommand("qemu-img create -q -f parallels -o cluster_size=4k " + Quote(image) +
                             " " + std::to_string(bytes) + " 2>&1",
                         &log),
              0)
        << log;
    std::string writes;
    // Blocks on both sides of window boundaries (multiples of 7), a run across several windows,
    // and the last sector.
    for (uint32_t block : {0u, 6u, 7u, 13u, 14u, 50u, 62u, 63u, 64u, 300u, 433u, 434u}) {
        writes += " -c 'write -P " + std::to_string(block % 250 + 1) + " " +
                  std::to_string(block * 4096ull) + " 4k'";
    }
    writes +=
        " -c 'write -P 0x66 200k 100k' -c 'write -P 0x77 " + std::to_string(bytes - 512) + " 512'";
    ASSERT_EQ(RunCommand("qemu-io -f parallels" + writes + " " + Quote(image) + " 2>&1", &log), 0)
        << log;
    ASSERT_EQ(RunCommand("qemu-img convert -f parallels -O raw " + Quote(image) + " " +
                             Quote(reference) + " 2>&1",
                         &log),
              0)
        << log;
    const std::vector<uint8_t> expected = ReadFile(reference);
    ASSERT_EQ(expected.size(), bytes);

    Parallels_SetTableWindowEntries(7);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, image.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == expected);
    // Pieces across boundaries, from the end of the disk backwards so that windows are dropped
    // and read again.
    const uint64_t pieces[] = {bytes - 8192,
                               434 * 4096ull - 512,
                               300 * 4096ull + 100 * 512,
                               63 * 4096ull - 1536,
                               7 * 4096ull - 512,
                               13 * 4096ull,
                               0};
    for (uint64_t at : pieces) {
        SCOPED_TRACE(at);
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(3 * 4096, bytes - at));
        std::vector<uint8_t> piece(n, 0xEE);
        ASSERT_EQ(Disk_Read(&h, at, n, piece.data()), DISK_OK);
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), expected.begin() + at));
    }
    bool empty = true;
    ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 10 * 8, 4 * 8, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);  // block 13
    ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 75 * 8, 225 * 8, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);  // blocks 75 to 299

    OutputFile out;
    ASSERT_EQ(Parallels_Compact(image.c_str(), &h, nullptr, &out, false, nullptr, nullptr),
              DISK_OK);
    Disk_Close(&h);
    ASSERT_EQ(Parallels_CommitCompact(&out, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                      OUTPUT_COMMIT_REMOVE_REPLACED),
              DISK_OK);
    EXPECT_EQ(RunCommand("qemu-img compare -f parallels -F raw " + Quote(image) + " " +
                             Quote(reference) + " 2>&1",
                         &log),
              0)
        << log;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, image.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == expected);
    Disk_Close(&h);

    // An entry is checked when its window is read: one changed to point past the file after the
    // open refuses the read that needs it, and names the check.
    ASSERT_EQ(Disk_Open(&h, image.c_str(), true), DISK_OK);
    std::vector<uint8_t> f = ReadFile(image);
    Put32(f, 64 + 4 * 434, 0x00FFFFFF);
    WriteFile(image, f);
    std::vector<uint8_t> piece(4096);
    EXPECT_EQ(Disk_Read(&h, 6 * 4096, 4096, piece.data()), DISK_OK);
    Refusal_Clear();
    EXPECT_EQ(Disk_Read(&h, 434 * 4096, 4096, piece.data()), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "Parallels block table: entry points outside the data area");
    Disk_Close(&h);
    Parallels_SetTableWindowEntries(0);
}
