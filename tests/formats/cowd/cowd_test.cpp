// COWD disks: written images read back here and in bximage, one and several extents, IDE and
// SCSI geometries, version-1 files, children over their parents, hostile headers and the check
// named for each.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "disk/disk_open.h"
#include "formats/cowd/cowd.h"
#include "formats/vhd/vhd_test_util.h"
#include "foundation/refusal.h"
#include "support/test_support.h"

using namespace vhdtest;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

bool HaveBximage() { return testsupport::HaveTool("bximage"); }

class Cowd : public ::testing::Test {
protected:
    TempDir dir;
    DiskHandle disk{DISK_KIND_NONE, nullptr};
    void TearDown() override { Disk_Close(&disk); }
    int Open(const std::string& path)
    {
        Disk_Close(&disk);
        return Disk_Open(&disk, path.c_str(), true);
    }
    // A sparse raw source: data at a few places, zeros elsewhere.
    std::string Source(uint64_t sectors, DiskHandle* h, uint32_t heads, uint32_t spt)
    {
        const std::string path = dir.file("src.raw");
        FILE* f = std::fopen(path.c_str(), "wb");
        for (uint64_t at : {uint64_t(0), uint64_t(70000), sectors / 2, sectors - 1}) {
            std::vector<uint8_t> data = FastBytes(512 * 3, at + 1);
            std::fseek(f, static_cast<long>(at * 512), SEEK_SET);
            std::fwrite(data.data(), 1, at + 3 <= sectors ? data.size() : 512, f);
        }
        std::fseek(f, static_cast<long>(sectors * 512 - 1), SEEK_SET);
        std::fputc(9, f);
        std::fclose(f);
        DiskGeometry g = {0, heads, spt, 512, 0};
        Geometry_SetTotalSectors(&g, sectors);
        Disk_Init(h);
        EXPECT_EQ(Disk_OpenRaw(h, path.c_str(), true, 0, &g), DISK_OK);
        return path;
    }
};

struct Case {
    const char* name;
    uint32_t version;
    bool scsi;
    uint64_t sectors;
    uint32_t heads, spt;
    uint32_t files;
    DiskKind kind;
};

const Case kWrittenCases[] = {
    {"ide one extent", 3, false, 16 * 63 * 100, 16, 63, 1, DISK_KIND_COWD3},
    {"ide exactly one extent", 3, false, COWD_EXTENT_SECTORS, 64, 32, 1, DISK_KIND_COWD3},
    {"ide two extents", 3, false, COWD_EXTENT_SECTORS + 1, 16, 63, 2, DISK_KIND_COWD3},
    // Above 16383 cylinders of 16 x 63 the disk cylinders are capped.
    {"ide above 7.9 GiB", 3, false, 16514064 + 1000, 16, 63, 5, DISK_KIND_COWD3},
    {"scsi 1 GiB class", 3, true, 64 * 32 * 1000, 1, 1, 1, DISK_KIND_COWD3},
    {"scsi 1..2 GiB", 3, true, 0x200000, 64, 32, 1, DISK_KIND_COWD3},
    {"version 1", 1, false, 16 * 63 * 100 + 5, 16, 63, 1, DISK_KIND_COWD1},
};

class CowdWritten : public Cowd, public ::testing::WithParamInterface<Case> {};

TEST_P(CowdWritten, ReadsBackHereAndInBximage)
{
    const Case& c = GetParam();
    DiskHandle src;
    const std::string raw = Source(c.sectors, &src, c.heads, c.spt);
    const std::string out = dir.file(c.version == 3 ? "out.vmdk" : "out.dsk");
    std::vector<uint64_t> progress;
    auto cb = [](uint64_t done, uint64_t, void* u) {
        static_cast<std::vector<uint64_t>*>(u)->push_back(done);
        return true;
    };
    const int rc = c.version == 3
                       ? Cowd_CreateV3(out.c_str(), &src, nullptr, cb, &progress, c.scsi)
                       : Cowd_CreateV1(out.c_str(), &src, nullptr, cb, &progress, c.scsi);
    ASSERT_EQ(rc, DISK_OK);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0u);  // the first call, for both versions
    EXPECT_EQ(progress.back(), c.sectors);
    if (c.files > 1) {
        EXPECT_TRUE(Os_PathExists(dir.file("out-02.vmdk").c_str()));
    }
    ASSERT_EQ(Open(out), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&disk), c.kind);
    DiskGeometry g = {};
    Disk_GetGeometry(&disk, &g);
    ASSERT_EQ(Geometry_GetTotalSectors(&g), c.sectors);
    for (uint64_t at : {uint64_t(0), uint64_t(70000), c.sectors / 2, c.sectors - 3}) {
        std::vector<uint8_t> a(1536), b(1536);
        ASSERT_EQ(Disk_Read(&disk, at * 512, 1536, a.data()), DISK_OK);
        ASSERT_EQ(Disk_Read(&src, at * 512, 1536, b.data()), DISK_OK);
        EXPECT_EQ(a, b) << at;
    }
    bool empty = false;
    ASSERT_EQ(Disk_IsRangeEmpty(&disk, nullptr, 80000, 1000, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    Disk_Close(&disk);
    // bximage reads version-3 disks of one extent (it names extra extents its own way).
    if (HaveBximage() && c.version == 3 && c.files == 1 && c.sectors < 0x300000) {
        const std::string back = dir.file("back.raw");
        std::remove(back.c_str());
        std::string log;
        EXPECT_EQ(testsupport::RunCommand("bximage -q -func=convert -imgmode=flat " + Quote(out) +
                                              " " + Quote(back) + " 2>&1",
                                          &log),
                  0)
            << log;
        EXPECT_EQ(ReadFile(back), ReadFile(raw));
    }
    Disk_Close(&src);
    for (const char* f :
         {"out.vmdk", "out.dsk", "out-02.vmdk", "out-03.vmdk", "out-04.vmdk", "out-05.vmdk"})
        std::remove(dir.file(f).c_str());
}

INSTANTIATE_TEST_SUITE_P(Disks, CowdWritten, ::testing::ValuesIn(kWrittenCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// qemu-img reads a written disk as we do when the disk is at most eight grain tables
// (256 MiB); a larger one it must refuse, never read with other sectors' data.
struct PeerCase {
    const char* name;
    uint32_t version;
    bool scsi;
    uint64_t sectors;
    uint32_t heads, spt;
    bool qemuReads;
};

class CowdPeer : public Cowd, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(CowdPeer, QemuReadsWhatItCanIdenticallyAndRefusesTheRest)
{
    if (!testsupport::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    const PeerCase& c = GetParam();
    DiskHandle src;
    const std::string raw = Source(c.sectors, &src, c.heads, c.spt);
    const std::string out = dir.file(c.version == 3 ? "out.vmdk" : "out.dsk");
    const int rc = c.version == 3
                       ? Cowd_CreateV3(out.c_str(), &src, nullptr, nullptr, nullptr, c.scsi)
                       : Cowd_CreateV1(out.c_str(), &src, nullptr, nullptr, nullptr, c.scsi);
    ASSERT_EQ(rc, DISK_OK);
    // Our reader, whatever the size.
    ASSERT_EQ(Open(out), DISK_OK);
    for (uint64_t at : {uint64_t(0), uint64_t(70000), c.sectors / 2, c.sectors - 3}) {
        std::vector<uint8_t> a(1536), b(1536);
        ASSERT_EQ(Disk_Read(&disk, at * 512, 1536, a.data()), DISK_OK);
        ASSERT_EQ(Disk_Read(&src, at * 512, 1536, b.data()), DISK_OK);
        EXPECT_EQ(a, b) << at;
    }
    Disk_Close(&disk);
    Disk_Close(&src);
    std::string log;
    const int info = testsupport::RunCommand("qemu-img info -f vmdk " + Quote(out) + " 2>&1", &log);
    if (!c.qemuReads) {
        EXPECT_NE(info, 0) << log;
        return;
    }
    ASSERT_EQ(info, 0) << log;
    // A write cancelled after its first grain leaves a file qemu refuses.
    {
        DiskHandle again;
        Source(c.sectors, &again, c.heads, c.spt);
        const std::string cut = dir.file(c.version == 3 ? "cut.vmdk" : "cut.dsk");
        auto stop = [](uint64_t done, uint64_t, void*) { return done == 0; };
        const int cancelled =
            c.version == 3 ? Cowd_CreateV3(cut.c_str(), &again, nullptr, stop, nullptr, c.scsi)
                           : Cowd_CreateV1(cut.c_str(), &again, nullptr, stop, nullptr, c.scsi);
        Disk_Close(&again);
        EXPECT_EQ(cancelled, DISK_CANCELLED);
        EXPECT_NE(
            testsupport::RunCommand("qemu-img info -f vmdk " + Quote(cut) + " >/dev/null 2>&1"), 0);
    }
    EXPECT_EQ(
        testsupport::RunCommand(
            "qemu-img compare -f vmdk -F raw " + Quote(out) + " " + Quote(raw) + " 2>&1", &log),
        0)
        << log;
    EXPECT_EQ(testsupport::RunCommand("qemu-img check -f vmdk " + Quote(out) + " 2>&1", &log), 0)
        << log;
    if (HaveBximage() && c.version == 3) {
        const std::string back = dir.file("back.raw");
        EXPECT_EQ(testsupport::RunCommand("bximage -q -func=convert -imgmode=flat " + Quote(out) +
                                          " " + Quote(back) + " >/dev/null 2>&1"),
                  0);
        EXPECT_EQ(testsupport::RunCommand("cmp " + Quote(back) + " " + Quote(raw) + " 2>&1", &log),
                  0)
            << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CowdPeer,
    ::testing::Values(
        PeerCase{"ide_two_tables", 3, false, 16 * 63 * 70, 16, 63, true},
        PeerCase{"ide_eight_tables", 3, false, 16 * 63 * 520, 16, 63, true},
        PeerCase{"scsi_eight_tables_exactly", 3, true, 8 * COWD_TABLE_SECTORS, 64, 32, true},
        PeerCase{"version1", 1, false, 16 * 63 * 300 + 5, 16, 63, true},
        PeerCase{"ide_nine_tables", 3, false, 16 * 63 * 600, 16, 63, false},
        PeerCase{"version1_nine_tables", 1, false, 9 * COWD_TABLE_SECTORS, 16, 63, false}),
    [](const ::testing::TestParamInfo<PeerCase>& i) { return std::string(i.param.name); });

TEST_F(Cowd, SourcesTheReaderCannotTakeAreRefusedNotCut)
{
    DiskHandle src;
    Source(16 * 63 * 100 + 5, &src, 16, 63);
    // One IDE extent must be whole cylinders.
    EXPECT_EQ(Cowd_CreateV3(dir.file("a.vmdk").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_ERR_ARG);
    Disk_Close(&src);
    // Version 1 above its clamp: refused by the check and the writer.
    Source(COWD_EXTENT_SECTORS + 10, &src, 16, 63);
    DiskGeometry g = {};
    Disk_GetGeometry(&src, &g);
    EXPECT_EQ(Cowd_CheckGeometryV1(&g), -1);
    EXPECT_EQ(Cowd_ClampCapacityV1(&g), 16u * 63 * (COWD_EXTENT_SECTORS / (16 * 63)));
    EXPECT_EQ(Cowd_CreateV1(dir.file("a.dsk").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_ERR_ARG);
    EXPECT_FALSE(Os_PathExists(dir.file("a.dsk").c_str()));
    Disk_Close(&src);
}

TEST_F(Cowd, ChildrenReadTheirParentAndHostileHeadersAreRefused)
{
    DiskHandle src;
    Source(16 * 63 * 100, &src, 16, 63);
    const std::string parent = dir.file("parent.vmdk");
    ASSERT_EQ(Cowd_CreateV3(parent.c_str(), &src, nullptr, nullptr, nullptr, false), DISK_OK);
    // A child: an empty disk of the same size, turned into a redo log naming the parent.
    std::vector<uint8_t> zeros(16 * 63 * 100 * 512 / 64, 0);
    WriteFile(dir.file("zero.raw"), std::vector<uint8_t>(16 * 63 * 100 * 512, 0));
    DiskHandle z;
    DiskGeometry g = {16 * 63 * 100, 16, 63, 512, 0};
    Disk_Init(&z);
    ASSERT_EQ(Disk_OpenRaw(&z, dir.file("zero.raw").c_str(), true, 0, &g), DISK_OK);
    const std::string child = dir.file("child.vmdk");
    ASSERT_EQ(Cowd_CreateV3(child.c_str(), &z, nullptr, nullptr, nullptr, false), DISK_OK);
    Disk_Close(&z);
    std::vector<uint8_t> f = ReadFile(child);
    Bytes_StoreLe32(&f[8], 0x12);
    std::memset(&f[32], 0, 260);
    std::memcpy(&f[32], "parent.vmdk", 11);
    WriteFile(child, f);
    ASSERT_EQ(Open(child), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&disk), DISK_KIND_COWD3_CHILD);
    std::vector<uint8_t> a(512 * 3), b(512 * 3);
    ASSERT_EQ(Disk_Read(&disk, 70000 * 512, 1536, a.data()), DISK_OK);
    ASSERT_EQ(Disk_Read(&src, 70000 * 512, 1536, b.data()), DISK_OK);
    EXPECT_EQ(a, b);
    Disk_Close(&disk);
    // A child naming itself is a chain that never ends: refused.
    std::memset(&f[32], 0, 260);
    std::memcpy(&f[32], "child.vmdk", 10);
    WriteFile(child, f);
    EXPECT_NE(Open(child), DISK_OK);

    // Hostile words of a version-1 file.
    ASSERT_EQ(Cowd_CreateV1(dir.file("v1.dsk").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_OK);
    const std::vector<uint8_t> sound = ReadFile(dir.file("v1.dsk"));
    struct Patch {
        uint32_t at, value;
    } patches[] = {{16, 0}, {16, 0x40000000}, {16, 64}, {20, 5}, {1060, 7}};
    for (const Patch& p : patches) {
        SCOPED_TRACE(p.at);
        std::vector<uint8_t> h = sound;
        Bytes_StoreLe32(&h[p.at], p.value);
        WriteFile(dir.file("h.dsk"), h);
        Disk_Close(&disk);
        DiskHandle d{DISK_KIND_NONE, nullptr};
        const int r = Disk_OpenByKind(&d, dir.file("h.dsk").c_str(), true, DISK_KIND_COWD1);
        if (r == DISK_OK) {
            std::vector<uint8_t> buf(65536);
            Disk_Read(&d, 0, 65536, buf.data());
        }
        EXPECT_NE(r, DISK_OK);
        Disk_Close(&d);
    }
    Disk_Close(&src);
}

// Counts the opens of files in a directory while it lives; an overflowing queue counts as more
// than any bound a test sets.
class OpenCounter {
public:
    explicit OpenCounter(const std::string& dir)
    {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, dir.c_str(), IN_OPEN);
    }
    ~OpenCounter()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    uint64_t Take()
    {
        uint64_t n = 0;
        alignas(inotify_event) char buf[65536];
        for (;;) {
            const ssize_t got = read(fd_, buf, sizeof(buf));
            if (got <= 0) break;
            for (ssize_t at = 0; at < got;) {
                const inotify_event* e = reinterpret_cast<const inotify_event*>(buf + at);
                n += (e->mask & IN_Q_OVERFLOW) != 0 ? 1000000 : 1;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        return n;
    }

private:
    int fd_ = -1;
};

// A chain of version-1 redo logs over a base: refused past the depth limit or opened, with
// work that grows with the chain's length, not with a power of it.
TEST_F(Cowd, LongRedoLogChainsCostOpensInProportionToTheirLength)
{
    const uint64_t sectors = 16 * 63 * 4;
    DiskHandle src;
    Source(sectors, &src, 16, 63);
    ASSERT_EQ(Cowd_CreateV1(dir.file("l0.dsk").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_OK);
    std::vector<uint8_t> want(512);
    ASSERT_EQ(Disk_Read(&src, 0, 512, want.data()), DISK_OK);
    Disk_Close(&src);
    // An empty log: a version-1 file of nothing, made a child of the file before it.
    WriteFile(dir.file("zero.raw"), std::vector<uint8_t>(sectors * 512, 0));
    DiskHandle z;
    DiskGeometry g = {0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, sectors);
    Disk_Init(&z);
    ASSERT_EQ(Disk_OpenRaw(&z, dir.file("zero.raw").c_str(), true, 0, &g), DISK_OK);
    ASSERT_EQ(Cowd_CreateV1(dir.file("empty.dsk").c_str(), &z, nullptr, nullptr, nullptr, false),
              DISK_OK);
    Disk_Close(&z);
    const std::vector<uint8_t> empty = ReadFile(dir.file("empty.dsk"));
    uint32_t made = 0;
    auto grow = [&](uint32_t length) {
        for (; made < length; made++) {
            std::vector<uint8_t> f = empty;
            Bytes_StoreLe32(&f[8], 0x12);
            std::memset(&f[32], 0, 260);
            const std::string parent = "l" + std::to_string(made) + ".dsk";
            std::memcpy(&f[32], parent.data(), parent.size());
            Bytes_StoreLe32(&f[1060], 1);
            Bytes_StoreLe32(&f[1636], 2);  // a log's generations differ
            Bytes_StoreLe32(&f[1676], COWD_EXTENT_SECTORS);
            WriteFile(dir.file("l" + std::to_string(made + 1) + ".dsk"), f);
        }
    };
    struct ChainCase {
        uint32_t length;
        bool opens;
    } cases[] = {{8, true},
                 {COWD_MAX_PARENT_DEPTH, true},
                 {COWD_MAX_PARENT_DEPTH + 2, false},
                 {24, false},
                 {40, false}};
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.length);
        grow(c.length);
        OpenCounter counter(dir.path());
        ASSERT_TRUE(counter.ok());
        const int r = Open(dir.file("l" + std::to_string(c.length) + ".dsk"));
        const uint64_t opens = counter.Take();
        EXPECT_LE(opens, 8u * (c.length + 1)) << "opens " << opens;
        if (c.opens) {
            ASSERT_EQ(r, DISK_OK);
            EXPECT_EQ(Disk_GetKind(&disk), DISK_KIND_COWD1_CHILD);
            std::vector<uint8_t> got(512);
            ASSERT_EQ(Disk_Read(&disk, 0, 512, got.data()), DISK_OK);
            EXPECT_EQ(got, want);
        } else {
            EXPECT_EQ(r, DISK_ERR_FORMAT);
        }
        Disk_Close(&disk);
    }
}

// ---- Refusals ----------------------------------------------------------------------------------
// Each case changes one header word of a sound written disk and names the check that refuses it.

const uint64_t kRefusalSectors = 16 * 63 * 100;

struct RefusalCase {
    const char* name;
    uint32_t version;
    uint32_t at, value;
    const char* reason;
};

const RefusalCase kRefusalCases[] = {
    {"magic", 3, 0, 0, "COWD header: no signature"},
    {"version", 3, 4, 2, "COWD header: version is not the one of this kind"},
    {"directory sector", 3, 20, 5, "COWD header: grain directory is not at sector 4"},
    {"grain size", 3, 16, 64, "COWD header: grain size is not 128 sectors"},
    {"reserved word", 3, 1056, 1, "COWD header: reserved word of a base disk is not zero"},
    {"generation", 3, 1060, 7, "COWD header: generation and saved generation differ"},
    {"extent size", 3, 1676, 0, "COWD header: extent size is not 0x3FF800 sectors"},
    {"adapter", 3, 1640, 0x007A7978 /* "xyz" */, "COWD header: adapter is neither IDE nor SCSI"},
    {"disk cylinders", 3, 1656, 99, "COWD header: disk geometry breaks the IDE rules"},
    {"extent index", 3, 1648, 1, "COWD header: extent index does not match the file's place"},
    {"flags of several extents", 3, 8, 0x1B, "COWD header: flags do not match the disk kind"},
    {"version 1 of no sectors", 1, 12, 0, "COWD header: extent holds no sectors"},
    {"version 1 grain size", 1, 16, 256, "COWD header: grain size is not 128 sectors"},
};

class CowdRefusal : public Cowd, public ::testing::WithParamInterface<RefusalCase> {
protected:
    // The sound disks, written once for every case.
    static void SetUpTestSuite()
    {
        sound_ = new TempDir;
        const std::string raw = sound_->file("src.raw");
        std::vector<uint8_t> data(kRefusalSectors * 512, 0);
        for (uint32_t i = 0; i < 512; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
        WriteFile(raw, data);
        DiskHandle src;
        Disk_Init(&src);
        DiskGeometry g = {0, 16, 63, 512, 0};
        Geometry_SetTotalSectors(&g, kRefusalSectors);
        ASSERT_EQ(Disk_OpenRaw(&src, raw.c_str(), true, 0, &g), DISK_OK);
        ASSERT_EQ(Cowd_CreateV3(Sound(3).c_str(), &src, nullptr, nullptr, nullptr, false), DISK_OK);
        ASSERT_EQ(Cowd_CreateV1(Sound(1).c_str(), &src, nullptr, nullptr, nullptr, false), DISK_OK);
        Disk_Close(&src);
    }
    static void TearDownTestSuite()
    {
        delete sound_;
        sound_ = nullptr;
    }
    static std::string Sound(uint32_t version)
    {
        return sound_->file(version == 3 ? "sound.vmdk" : "sound.dsk");
    }
    static TempDir* sound_;
};

TempDir* CowdRefusal::sound_ = nullptr;

TEST_P(CowdRefusal, NamesTheCheckThatRefused)
{
    const RefusalCase& c = GetParam();
    const DiskKind kind = c.version == 3 ? DISK_KIND_COWD3 : DISK_KIND_COWD1;
    std::vector<uint8_t> f = ReadFile(Sound(c.version));
    Bytes_StoreLe32(&f[c.at], c.value);
    const std::string path = dir.file(c.version == 3 ? "d.vmdk" : "d.dsk");
    WriteFile(path, f);
    Refusal_Clear();
    DiskHandle d{DISK_KIND_NONE, nullptr};
    EXPECT_EQ(Disk_OpenByKind(&d, path.c_str(), true, kind), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), c.reason);
    Disk_Close(&d);

    // The sound disk opens and reads after the refusal.
    ASSERT_EQ(Disk_OpenByKind(&d, Sound(c.version).c_str(), true, kind), DISK_OK);
    uint8_t sector[512];
    ASSERT_EQ(Disk_Read(&d, 0, 512, sector), DISK_OK);
    EXPECT_EQ(sector[1], 8);
    Disk_Close(&d);
}

INSTANTIATE_TEST_SUITE_P(Words, CowdRefusal, ::testing::ValuesIn(kRefusalCases),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// A child over a damaged parent answers the parent's own check; a parent that opens but is of
// another size is refused by the child's check.
TEST_F(Cowd, ChildrenKeepTheReasonTheirParentWasRefusedFor)
{
    const uint64_t sectors = 16 * 63 * 4;
    DiskHandle src;
    Source(sectors, &src, 16, 63);
    ASSERT_EQ(Cowd_CreateV1(dir.file("sound.dsk").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_OK);
    Disk_Close(&src);
    // The parent has no extension, so that every kind is tried on it.
    std::vector<uint8_t> parent = ReadFile(dir.file("sound.dsk"));
    Bytes_StoreLe32(&parent[20], 5);
    WriteFile(dir.file("base"), parent);
    std::vector<uint8_t> child = ReadFile(dir.file("sound.dsk"));
    Bytes_StoreLe32(&child[8], 0x12);
    std::memset(&child[32], 0, 260);
    std::memcpy(&child[32], "base", 4);
    Bytes_StoreLe32(&child[1676], COWD_EXTENT_SECTORS);
    WriteFile(dir.file("child.dsk"), child);

    Refusal_Clear();
    DiskHandle d{DISK_KIND_NONE, nullptr};
    EXPECT_EQ(Disk_OpenByKind(&d, dir.file("child.dsk").c_str(), true, DISK_KIND_COWD1_CHILD),
              DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "COWD header: grain directory is not at sector 4");
    Disk_Close(&d);

    // A sound parent of one cylinder more than the child.
    Source(sectors + 16 * 63, &src, 16, 63);
    ASSERT_EQ(Cowd_CreateV1(dir.file("base").c_str(), &src, nullptr, nullptr, nullptr, false),
              DISK_OK);
    Disk_Close(&src);
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenByKind(&d, dir.file("child.dsk").c_str(), true, DISK_KIND_COWD1_CHILD),
              DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "COWD parent: size differs from the child's");
    Disk_Close(&d);
}

}  // namespace
