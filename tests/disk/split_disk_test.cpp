// Split sets: the writer's parts checked by an independent python reader (header CRCs, CRC
// chain, offsets, last flag, the inflated stream), sets read back from the first part (asking
// for each next part) and through descriptors with spare entries, a set ending exactly on a
// part boundary, the forward-only window, and refused headers, descriptors and options.
#include <sys/stat.h>

#include <functional>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/split_disk.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "disk/known_zero_util.h"
#include "support/sparse_file.h"
#include "support/test_support.h"

using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

bool Exists(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

const uint32_t kRoom = (1u << 20) - SPLIT_HEADER_BYTES;

std::string Oracle() { return std::string(VDX_TEST_SOURCE_DIR) + "/disk/split_oracle.py"; }

std::vector<uint8_t> Content(uint64_t sectors, uint32_t seed)
{
    std::vector<uint8_t> d = testsupport::RandomBytes(sectors * 512, seed);
    for (uint64_t s = 0; s < sectors; s++)
        if ((s / 300) % 2 == 1) std::memset(d.data() + s * 512, 0, 512);
    return d;
}

struct Raw {
    DiskHandle h;
    explicit Raw(const std::string& path)
    {
        const uint64_t size = ReadFile(path).size();
        DiskGeometry g = {};
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, size / 512);
        Disk_Init(&h);
        EXPECT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 0, &g), DISK_OK);
    }
    ~Raw() { Disk_Close(&h); }
};

SplitCreateOptions Options(uint32_t level, uint32_t mib, bool fromDescriptor = false)
{
    SplitCreateOptions o = {};
    o.firstValue = 7;
    o.cylindersValue = 99;
    o.heads = 16;
    o.sectorsPerTrack = 63;
    o.compressionLevel = level;
    o.partsFromDescriptor = fromDescriptor;
    o.partMiB = mib;
    o.nameWithoutAsking = true;
    return o;
}

std::vector<std::string> PartsOf(const std::string& first, size_t count)
{
    std::vector<std::string> parts{first};
    const std::string stem = first.substr(0, first.rfind('.'));
    for (size_t k = 1; k < count; k++) {
        char n[16];
        std::snprintf(n, sizeof n, k <= 99 ? ".p%02zu" : ".p%zu", k);
        parts.push_back(stem + n);
    }
    return parts;
}

bool OracleCheck(const std::vector<std::string>& parts, const std::string& out, std::string* log)
{
    std::string cmd = "python3 " + Quote(Oracle()) + " check " + Quote(out);
    for (const std::string& p : parts) cmd += " " + Quote(p);
    return RunCommand(cmd + " 2>&1", log) == 0;
}

// Accepts every suggested part and counts the questions.
struct Answers {
    int asked = 0;
    std::vector<std::string> suggested;
    bool giveUp = false;
};
bool Accept(SplitPartRequest* r, void* user)
{
    Answers* a = static_cast<Answers*>(user);
    a->asked++;
    a->suggested.push_back(r->path);
    return !a->giveUp;
}

std::vector<uint8_t> ReadAllForward(const DiskHandle* d, int* rc)
{
    DiskGeometry g = {};
    Disk_GetGeometry(d, &g);
    std::vector<uint8_t> out(Geometry_GetTotalSectors(&g) * 512);
    *rc = DISK_OK;
    for (uint64_t off = 0; off < out.size() && *rc == DISK_OK; off += 300 * 512) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(300 * 512, out.size() - off));
        bool empty = false;
        *rc = Disk_IsRangeEmpty(d, nullptr, off / 512, n / 512, &empty, nullptr, nullptr);
        if (*rc == DISK_OK) *rc = Disk_Read(d, off, n, out.data() + off);
    }
    return out;
}

TEST(SplitSet, WrittenSetsPassTheIndependentReaderAndReadBack)
{
    TempDir dir;
    const uint64_t sectors = 5000;  // 2.4 MiB: three parts of 1 MiB
    const std::vector<uint8_t> data = Content(sectors, 11);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"));
    for (uint32_t level : {0u, 6u}) {
        SCOPED_TRACE(level);
        const std::string out = dir.file("set" + std::to_string(level) + ".spl");
        const SplitCreateOptions o = Options(level, 1);
        ASSERT_EQ(SplitDisk_Create(out.c_str(), &src.h, nullptr, nullptr, nullptr, nullptr, &o),
                  DISK_OK);
        const size_t count = level == 0 ? (sectors * 512 + kRoom - 1) / kRoom : 1;
        std::vector<std::string> parts = PartsOf(out, count);
        // However many parts the compressed stream took.
        while (Exists(PartsOf(out, parts.size() + 1).back()))
            parts = PartsOf(out, parts.size() + 1);
        std::string log;
        ASSERT_TRUE(OracleCheck(parts, dir.file("plain.bin"), &log)) << log;
        EXPECT_TRUE(ReadFile(dir.file("plain.bin")) == data);

        // From the first part, asking for each next part.
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
        ASSERT_EQ(Disk_GetKind(&h), DISK_KIND_SPLIT);
        Answers answers;
        SplitDisk_SetPartRequestCallback(static_cast<SplitDisk*>(h.object), Accept, &answers);
        uint32_t first = 0, cyl = 0, heads = 0, spt = 0;
        SplitDisk_GetHeaderInfo(static_cast<SplitDisk*>(h.object), &first, &cyl, &heads, &spt);
        EXPECT_EQ(first, 7u);
        EXPECT_EQ(cyl, 99u);
        int rc = 0;
        EXPECT_TRUE(ReadAllForward(&h, &rc) == data);
        EXPECT_EQ(rc, DISK_OK);
        EXPECT_EQ(answers.asked, static_cast<int>(parts.size()) - 1);
        if (parts.size() > 1) {
            EXPECT_EQ(answers.suggested[0], parts[1]);
        }
        // Reads never go back before the window.
        char b[512];
        EXPECT_EQ(Disk_Read(&h, 0, 512, b), DISK_ERR_ARG);
        Disk_Close(&h);
    }
}

TEST(SplitSet, SetEndingOnAPartBoundaryThroughADescriptorWithSpareEntries)
{
    TempDir dir;
    // 64 parts of exactly kRoom stream bytes: the stream ends on the last part's end.
    const uint64_t sectors = 64ull * kRoom / 512;
    std::vector<uint8_t> data(sectors * 512, 0);
    for (uint64_t s = 0; s < sectors; s += 977) data[s * 512] = static_cast<uint8_t>(s | 1);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"));
    std::string text = "; parts\n";
    for (int k = 0; k < 66; k++)
        text += "file = \"part" + std::to_string(k) + ".bin\"\nmax_size=1 ; MiB\n";
    const std::string desc = dir.file("set.txt");
    WriteFile(desc, std::vector<uint8_t>(text.begin(), text.end()));
    const SplitCreateOptions o = Options(0, 0, true);
    ASSERT_EQ(SplitDisk_Create(desc.c_str(), &src.h, nullptr, nullptr, nullptr, nullptr, &o),
              DISK_OK);
    std::vector<std::string> parts;
    for (int k = 0; k < 64; k++) parts.push_back(dir.file("part" + std::to_string(k) + ".bin"));
    EXPECT_FALSE(Exists(dir.file("part64.bin")));  // no empty part after the boundary
    std::string log;
    ASSERT_TRUE(OracleCheck(parts, dir.file("plain.bin"), &log)) << log;
    EXPECT_TRUE(ReadFile(dir.file("plain.bin")) == data);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, desc.c_str(), true), DISK_OK);
    int rc = 0;
    EXPECT_TRUE(ReadAllForward(&h, &rc) == data);
    EXPECT_EQ(rc, DISK_OK);
    Disk_Close(&h);

    // Too few listed parts: the writer stops instead of going on.
    std::string shortText = "file=a.bin\nmax_size=1\n";
    WriteFile(desc, std::vector<uint8_t>(shortText.begin(), shortText.end()));
    EXPECT_EQ(SplitDisk_Create(desc.c_str(), &src.h, nullptr, nullptr, nullptr, nullptr, &o),
              DISK_ERR_ARG);
}

TEST(SplitSet, ForeignSetsReadAndBadOnesAreRefused)
{
    TempDir dir;
    const std::vector<uint8_t> data = Content(900, 3);
    WriteFile(dir.file("src.raw"), data);
    auto build = [&](int level, const std::string& extra) {
        std::string out;
        EXPECT_EQ(RunCommand("python3 " + Quote(Oracle()) + " build " + Quote(dir.file("src.raw")) +
                                 " 70000 " + std::to_string(level) + " " + Quote(dir.file("f")) +
                                 " " + extra + " 2>&1",
                             &out),
                  0)
            << out;
    };
    for (int level : {0, 9}) {
        build(level, "");
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, dir.file("f.p00").c_str(), true), DISK_OK);
        Answers answers;
        SplitDisk_SetPartRequestCallback(static_cast<SplitDisk*>(h.object), Accept, &answers);
        int rc = 0;
        EXPECT_TRUE(ReadAllForward(&h, &rc) == data) << level;
        Disk_Close(&h);
    }
    // A part callback that gives up ends the read with 1.
    build(0, "");
    {
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, dir.file("f.p00").c_str(), true), DISK_OK);
        Answers answers;
        answers.giveUp = true;
        SplitDisk_SetPartRequestCallback(static_cast<SplitDisk*>(h.object), Accept, &answers);
        std::vector<uint8_t> buf(200000);
        EXPECT_EQ(Disk_Read(&h, 0, 200000, buf.data()), 1);
        Disk_Close(&h);
    }
    // Parts refused as the first part of a set: header fields given to the builder, a byte of
    // the first part flipped, or its file cut short.
    struct Bad {
        const char* extra;
        int flipAt;        // -1: none
        bool cut;          // one byte less
        const char* part;  // opened as the first part
        const char* reason;
    } bad[] = {
        {"version=1", -1, false, "f.p00", "split part header: unknown version"},
        {"reserved72=1", -1, false, "f.p00", "split part header: reserved bytes are not zero"},
        {"bps=4096", -1, false, "f.p00", "split part header: sector size is not 512"},
        {"", 0, false, "f.p00", "split part header: no signature"},
        {"", 4, false, "f.p00", "split part header: last-part flag out of range"},
        {"", 9, false, "f.p00", "split part header: checksum does not match"},
        {"", -1, true, "f.p00", "split part: file shorter than its data"},
        {"", -1, false, "f.p01", "split set: file is not the first part"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(std::string(b.extra) + " " + std::to_string(b.flipAt) + " " + b.part);
        build(0, b.extra);
        std::vector<uint8_t> part = ReadFile(dir.file(b.part));
        if (b.flipAt >= 0) part[b.flipAt] ^= 0x02;
        if (b.cut) part.pop_back();
        WriteFile(dir.file(b.part), part);
        SplitDisk* d = SplitDisk_Alloc();
        SplitDisk_Init(d);
        Refusal_Clear();
        EXPECT_EQ(SplitDisk_OpenFirstPart(d, dir.file(b.part).c_str(), true), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), b.reason);
        SplitDisk_Destroy(d);
        Mem_Free(d);
    }
    // Descriptors refused over a sound set of several parts.
    build(0, "");
    const struct {
        const char* text;
        const char* reason;
    } descriptors[] = {
        {"file=f.p00\nfile=f.p01\nmax_size=1\n",
         "split descriptor: file and max_size lines do not pair up"},
        {"file f.p00\nmax_size=1\n", "split descriptor: key without \"=\""},
        {"file=\"f.p00\nmax_size=1\n", "split descriptor: quote not closed"},
        {"file=f.p00\nmax_size=x\n", "split descriptor: max_size is not a number"},
        {"; nothing\n", "split descriptor: names no part"},
        {"file=f.p01\nmax_size=1\n", "split set: part checksum chain broken"},
        {"file=f.p00\nmax_size=1\n", "split set: no part is flagged last"},
        {"file=f.p00\xff\nmax_size=1\n", "split descriptor: text is not UTF-8"},
    };
    for (const auto& t : descriptors) {
        SCOPED_TRACE(t.text);
        const std::string text = t.text;
        WriteFile(dir.file("d.txt"), std::vector<uint8_t>(text.begin(), text.end()));
        SplitDisk* d = SplitDisk_Alloc();
        SplitDisk_Init(d);
        Refusal_Clear();
        EXPECT_EQ(SplitDisk_OpenDescriptor(d, dir.file("d.txt").c_str(), true), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), t.reason);
        SplitDisk_Destroy(d);
        Mem_Free(d);
    }
    // The sound set still opens after the refusals.
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, dir.file("f.p00").c_str(), true), DISK_OK);
    Disk_Close(&h);
}

TEST(SplitSet, PartSizesOutsideTheHeaderFieldAreRefused)
{
    TempDir dir;
    WriteFile(dir.file("src.raw"), Content(100, 1));
    Raw src(dir.file("src.raw"));
    for (uint32_t mib : {0u, 4096u, 8192u}) {
        const SplitCreateOptions o = Options(0, mib);
        EXPECT_EQ(SplitDisk_Create(dir.file("x.spl").c_str(), &src.h, nullptr, nullptr, nullptr,
                                   nullptr, &o),
                  DISK_ERR_ARG)
            << mib;
    }
    // Without names given, the part callback names part 1 with two digits.
    SplitCreateOptions o = Options(0, 1);
    o.nameWithoutAsking = false;
    std::vector<uint8_t> big = Content(4200, 2);
    WriteFile(dir.file("big.raw"), big);
    Raw b(dir.file("big.raw"));
    Answers answers;
    ASSERT_EQ(
        SplitDisk_Create(dir.file("y.spl").c_str(), &b.h, nullptr, nullptr, Accept, &answers, &o),
        DISK_OK);
    ASSERT_EQ(answers.asked, 2);
    EXPECT_EQ(answers.suggested[0], dir.file("y.p01"));
    EXPECT_EQ(answers.suggested[1], dir.file("y.p02"));
}

}  // namespace

namespace {

// Gives each part asked for by its index from a list, and counts the questions.
struct PartList {
    std::vector<std::string> parts;
    int asked = 0;
    static bool Give(SplitPartRequest* r, void* user)
    {
        PartList* l = static_cast<PartList*>(user);
        l->asked++;
        if (r->partIndex >= l->parts.size()) return false;
        std::snprintf(r->path, sizeof r->path, "%s", l->parts[r->partIndex].c_str());
        return true;
    }
};

uint64_t AllocatedBytes(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

}  // namespace

TEST(SplitSet, HolesOfStoredPartsAreKnownZerosAndNeverRead)
{
    TempDir dir;
    if (!sparse::HolesAreReported(dir.path()) || !testsupport::HaveTool("fallocate"))
        GTEST_SKIP() << "no holes on " << dir.path() << " or no fallocate to dig them";
    const uint64_t kMiB = sparse::kMiB;
    const uint64_t sectors = 16 * kMiB / 512;
    std::vector<uint8_t> data(sectors * 512, 0);
    const std::vector<sparse::Run> runs = {
        sparse::NonZeroRun(kMiB, 65536, 1), sparse::NonZeroRun(6 * kMiB + 100, 4096, 2),
        sparse::NonZeroRun(12 * kMiB - 50, 100, 3), sparse::NonZeroRun(16 * kMiB - 512, 512, 4)};
    for (const sparse::Run& r : runs)
        std::copy(r.bytes.begin(), r.bytes.end(), data.begin() + r.offset);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"));
    const uint64_t room = 4 * kMiB - SPLIT_HEADER_BYTES;

    for (uint32_t level : {0u, 6u}) {
        SCOPED_TRACE(level);
        const std::string stem = dir.file("l" + std::to_string(level) + "_");
        std::string text;
        for (int k = 0; k < 6; k++)
            text += "file = \"l" + std::to_string(level) + "_" + std::to_string(k) +
                    ".bin\"\nmax_size=4\n";
        const std::string desc = stem + "set.txt";
        WriteFile(desc, std::vector<uint8_t>(text.begin(), text.end()));
        const SplitCreateOptions o = Options(level, 0, true);
        ASSERT_EQ(SplitDisk_Create(desc.c_str(), &src.h, nullptr, nullptr, nullptr, nullptr, &o),
                  DISK_OK);
        PartList list;
        for (int k = 0; k < 6 && Exists(stem + std::to_string(k) + ".bin"); k++)
            list.parts.push_back(stem + std::to_string(k) + ".bin");
        ASSERT_GE(list.parts.size(), level == 0 ? 5u : 1u);
        std::vector<std::vector<bool>> zeroMiBs;
        uint64_t stored = 0;
        for (const std::string& part : list.parts) {
            ASSERT_TRUE(sparse::DigHoles(part)) << part;
            zeroMiBs.push_back(sparse::ZeroMiBs(ReadFile(part)));
            stored += AllocatedBytes(part);
        }
        // Stored parts: a range whose bytes lie in whole zero MiB of its part files is a hole.
        auto inHoles = [&](uint64_t first, uint32_t count) {
            if (level != 0) return false;
            uint64_t at = first * 512;
            const uint64_t end = at + count * 512ull;
            while (at < end) {
                const uint64_t k = at / room, in = at % room;
                const uint64_t take = std::min(room - in, end - at);
                if (!sparse::InsideZeroMiBs(zeroMiBs[k], SPLIT_HEADER_BYTES + in, take))
                    return false;
                at += take;
            }
            return true;
        };

        // Through the descriptor every part is known.
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, desc.c_str(), true), DISK_OK);
        ASSERT_EQ(Disk_GetKind(&h), DISK_KIND_SPLIT);
        const knownzero::SweepResult swept = knownzero::Sweep(&h, 128, inHoles);
        if (level == 0) {
            EXPECT_GT(swept.knownZero, swept.blocks / 2);
        } else {
            EXPECT_EQ(swept.knownZero, 0u);  // a compressed stream's holes say nothing
        }
        Disk_Close(&h);

        // From the first part: parts not met yet are not known, and the query asks for none.
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, list.parts[0].c_str(), true), DISK_OK);
        SplitDisk_SetPartRequestCallback(static_cast<SplitDisk*>(h.object), PartList::Give, &list);
        bool zero = true;
        EXPECT_EQ(Disk_IsRangeKnownZero(&h, sectors - 4096, 2048, &zero), DISK_OK);
        EXPECT_FALSE(zero);
        EXPECT_EQ(list.asked, 0);
        EXPECT_EQ(Disk_IsRangeKnownZero(&h, sectors - 1, 2, &zero), DISK_ERR_ARG);
        // Read through, with an empty-range query before every piece: the holes are not read.
        const uint64_t before = sparse::BytesReadByProcess();
        int rc = DISK_OK;
        EXPECT_TRUE(ReadAllForward(&h, &rc) == data);
        EXPECT_EQ(rc, DISK_OK);
        if (level == 0) {
            EXPECT_LE(sparse::BytesReadByProcess() - before, stored + kMiB);
        }
        EXPECT_EQ(list.asked, static_cast<int>(list.parts.size()) - 1);
        Disk_Close(&h);
    }
}
