// VHDX writer and compaction: round trips checked by qemu-img (check, compare) and libvhdi,
// 4096-byte sectors, refused sources, write failures, and compaction of qemu-made files, of the
// writer's own files and of differencing files, with both region tables checked.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/builtin_disks.h"
#include "formats/vhd/vhd_test_util.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vhdx/vhdx_writer.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "support/test_support.h"
#include "vhdx_test_util.h"

using namespace vhdxtest;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const uint64_t MiB = 1 << 20;

std::string Str(const std::string& s) { return "\"" + s + "\""; }

// Raw content: data in blocks 0, 2 and the partial last one; block 1 and the rest zeros.
std::string MakeSource(const TempDir& dir, uint64_t size)
{
    const std::string raw = dir.file("src.raw");
    std::remove(raw.c_str());
    Truncate(raw, size);
    WriteRandom(raw, 512, 4096, 11);
    WriteRandom(raw, 2 * MiB + 7 * 512, 512, 12);
    WriteRandom(raw, size - 1024, 1024, 13);
    return raw;
}

struct Progress {
    uint64_t calls = 0;
    uint64_t last = 0;
    uint64_t stopAt = UINT64_MAX;
    static bool Cb(uint64_t done, uint64_t total, void* user)
    {
        Progress* p = static_cast<Progress*>(user);
        p->calls++;
        p->last = done;
        (void)total;
        return p->calls < p->stopAt;
    }
};

// The region table of a file as the fixture tool sees it.
std::string Layout(const std::string& path)
{
    std::string out;
    EXPECT_EQ(Fixture("layout " + Quote(path), &out), 0) << out;
    return out;
}

void ExpectQemuAccepts(const std::string& vhdx, const std::string& raw)
{
    std::string out;
    EXPECT_EQ(Qemu("check -f vhdx " + Quote(vhdx), &out), 0) << out;
    EXPECT_EQ(Qemu("compare -f raw -F vhdx " + Quote(raw) + " " + Quote(vhdx), &out), 0) << out;
}

// BAT states of payload blocks of an open image.
std::vector<uint32_t> PayloadStates(const VhdxImage* image)
{
    std::vector<uint32_t> states;
    const uint64_t blocks =
        (Geometry_GetTotalSectors(&image->geometry) * 512 + image->blockSize - 1) /
        image->blockSize;
    for (uint64_t b = 0; b < blocks; b++)
        states.push_back(static_cast<uint32_t>(image->bat[b + b / image->chunkRatio] & 7));
    return states;
}

}  // namespace

// Block sizes of 1 MiB and 256 MiB with a partial last block: the file passes qemu-img check,
// compares equal to its source, reads equal through libvhdi, and stores empty blocks as zero
// state.
TEST(VhdxWriter, RoundTripsThroughQemuAndLibvhdi)
{
    TempDir dir;
    const uint64_t size = 5 * MiB + 1536;
    const std::string raw = MakeSource(dir, size);
    for (uint32_t shift : {0u, 3u, 8u}) {
        SCOPED_TRACE(shift);
        DiskHandle src;
        ASSERT_EQ(OpenRaw(&src, raw, size / 512), DISK_OK);
        const std::string out = dir.file("w" + std::to_string(shift) + ".vhdx");
        VhdxCreateOptions options = {0, shift, 0, 0};
        Progress progress;
        ASSERT_EQ(Vhdx_Create(out.c_str(), &src, nullptr, Progress::Cb, &progress, &options),
                  DISK_OK);
        EXPECT_EQ(progress.last, size / 512);
        Disk_Close(&src);
        ExpectQemuAccepts(out, raw);
        EXPECT_NE(Layout(out).find("\"bat\": [3145728"), std::string::npos);
        Opened o(out);
        ASSERT_EQ(o.rc, DISK_OK);
        EXPECT_EQ(ReadAll(&o.handle), ReadFile(raw));
        if (shift == 0) {
            EXPECT_EQ(PayloadStates(o.image()), (std::vector<uint32_t>{6, 2, 6, 2, 2, 6}));
        }
        if (HavePyvhdi()) {
            std::string report;
            ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {out}, &report)) << report;
            EXPECT_EQ(ReadFile(dir.file("lib.raw")), ReadFile(raw));
        }
    }
}

// 1 MiB blocks over more than one chunk: the sector-bitmap entry after 4096 payload entries is
// kept empty, and blocks behind it land where qemu looks for them.
TEST(VhdxWriter, SecondChunk)
{
    TempDir dir;
    const uint64_t size = 4098 * MiB;
    const std::string raw = dir.file("big.raw");
    Truncate(raw, size);
    WriteRandom(raw, 4097 * MiB + 4096, 4096, 21);
    WriteRandom(raw, 100, 100, 22);
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, raw, size / 512), DISK_OK);
    const std::string out = dir.file("big.vhdx");
    VhdxCreateOptions options = {0, 0, 0, 0};
    ASSERT_EQ(Vhdx_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &options), DISK_OK);
    Disk_Close(&src);
    ExpectQemuAccepts(out, raw);
    Opened o(out);
    ASSERT_EQ(o.rc, DISK_OK);
    EXPECT_EQ(o.image()->bat[4096], 0u);
    EXPECT_EQ(o.image()->bat[4097 + 1] & 7, 6u);
}

// With 4096-byte logical or physical sectors a source that is not whole 4096-byte sectors is
// rounded up; the tail reads as zeros (libvhdi reads what qemu cannot).
TEST(VhdxWriter, SectorsOf4096BytesRoundTheDiskUp)
{
    TempDir dir;
    const uint64_t size = 3 * MiB + 3 * 512;
    const std::string raw = MakeSource(dir, size);
    std::vector<uint8_t> expect = ReadFile(raw);
    expect.resize(3 * MiB + 4096, 0);
    for (int variant = 0; variant < 2; variant++) {
        SCOPED_TRACE(variant);
        DiskHandle src;
        ASSERT_EQ(OpenRaw(&src, raw, size / 512), DISK_OK);
        const std::string out = dir.file("s" + std::to_string(variant) + ".vhdx");
        VhdxCreateOptions options = {0, 1, variant == 0 ? 1u : 0u, variant == 1 ? 1u : 0u};
        ASSERT_EQ(Vhdx_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &options), DISK_OK);
        Disk_Close(&src);
        Opened o(out);
        ASSERT_EQ(o.rc, DISK_OK);
        EXPECT_EQ(o.image()->logicalSectorSize, variant == 0 ? 4096u : 512u);
        EXPECT_EQ(o.image()->physicalSectorSize, variant == 1 ? 4096u : 512u);
        EXPECT_EQ(ReadAll(&o.handle), expect);
        if (HavePyvhdi()) {
            std::string report;
            ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {out}, &report)) << report;
            EXPECT_EQ(ReadFile(dir.file("lib.raw")), expect);
        }
        if (variant == 1) ExpectQemuAccepts(out, dir.file("lib.raw"));
    }
}

// Sources no VHDX can hold, options out of range, a cancelled run and a failing device.
TEST(VhdxWriter, RefusalsAndFailures)
{
    TempDir dir;
    VhdxCreateOptions options = {0, 0, 0, 0};
    struct Case {
        uint64_t total;
        uint32_t bytes;
    } refused[] = {{0, 512}, {(64ull << 40) / 512 + 1, 512}, {1000, 4096}};
    for (const Case& c : refused) {
        DiskGeometry g = {0, 16, 63, c.bytes, 0};
        Geometry_SetTotalSectors(&g, c.total);
        DiskHandle zero;
        Disk_Init(&zero);
        ASSERT_EQ(Disk_OpenZero(&zero, &g), DISK_OK);
        EXPECT_EQ(
            Vhdx_Create(dir.file("r.vhdx").c_str(), &zero, nullptr, nullptr, nullptr, &options),
            DISK_ERR_ARG)
            << c.total;
        Disk_Close(&zero);
    }
    EXPECT_FALSE(Os_PathExists(dir.file("r.vhdx").c_str()));

    const std::string raw = MakeSource(dir, 3 * MiB);
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, raw, 3 * MiB / 512), DISK_OK);
    VhdxCreateOptions big = {0, 9, 0, 0};
    EXPECT_EQ(Vhdx_Create(dir.file("r.vhdx").c_str(), &src, nullptr, nullptr, nullptr, &big),
              DISK_ERR_ARG);
    Progress stop;
    stop.stopAt = 2;
    EXPECT_EQ(Vhdx_Create(dir.file("c.vhdx").c_str(), &src, nullptr, Progress::Cb, &stop, &options),
              DISK_CANCELLED);
    EXPECT_EQ(
        Vhdx_Create(dir.file("missing/x.vhdx").c_str(), &src, nullptr, nullptr, nullptr, &options),
        DISK_ERR_CREATE);
    if (Os_PathExists("/dev/full")) {
        EXPECT_EQ(Vhdx_Create("/dev/full", &src, nullptr, nullptr, nullptr, &options),
                  DISK_ERR_WRITE);
    }
    Disk_Close(&src);
}

// Sectors the map marks free are not stored: a block whose used sectors are zero is left out.
TEST(VhdxWriter, FreeSectorsOfTheMapAreLeftOut)
{
    TempDir dir;
    const uint64_t size = 3 * MiB;
    const std::string raw = MakeSource(dir, size);
    std::vector<uint8_t> used(size / 512, 1);
    for (uint64_t s = 2048; s < 3 * 2048; s++) used[s] = 0;  // blocks 1 and 2 free
    vhdtest::ScriptedMap map(used);
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, raw, size / 512), DISK_OK);
    const std::string out = dir.file("m.vhdx");
    VhdxCreateOptions options = {0, 0, 0, 0};
    ASSERT_EQ(Vhdx_Create(out.c_str(), &src, map.map(), nullptr, nullptr, &options), DISK_OK);
    Disk_Close(&src);
    Opened o(out);
    ASSERT_EQ(o.rc, DISK_OK);
    EXPECT_EQ(PayloadStates(o.image()), (std::vector<uint32_t>{6, 2, 2}));
    EXPECT_EQ(ReadAll(&o.handle), vhdtest::Masked(ReadFile(raw), used));
}

namespace {

// Compacts the file in place through the output record and commits it with "_del".
int CompactAndCommit(const std::string& path, bool preallocate)
{
    DiskHandle h;
    Disk_Init(&h);
    int rc = Disk_Open(&h, path.c_str(), true);
    if (rc != DISK_OK) return rc;
    OutputFile output;
    OutputFile_Init(&output);
    rc = Vhdx_Compact(path.c_str(), &h, nullptr, &output, preallocate, nullptr, nullptr);
    Disk_Close(&h);
    if (rc != DISK_OK) {
        Vhdx_DiscardCompact(&output);
        return rc;
    }
    return Vhdx_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8),
                              OUTPUT_COMMIT_REMOVE_REPLACED);
}

uint64_t FileSize(const std::string& path)
{
    uint64_t size = 0;
    File_GetSizeByPath(path.c_str(), &size);
    return size;
}

}  // namespace

// A qemu-made file (BAT at 2 MiB, metadata at 3 MiB, zero blocks stored as data) compacts into
// a file that qemu-img accepts, with the same content, both region tables moved and checked.
TEST(VhdxCompact, QemuMadeFile)
{
    TempDir dir;
    const uint64_t size = 6 * MiB;
    const std::string raw = MakeSource(dir, size);
    for (const char* kind : {"subformat=dynamic,block_state_zero=on",
                             "subformat=dynamic,block_state_zero=off", "subformat=fixed"}) {
        for (bool preallocate : {false, true}) {
            SCOPED_TRACE(std::string(kind) + (preallocate ? " preallocated" : ""));
            const std::string vhdx = dir.file("q.vhdx");
            std::remove(vhdx.c_str());
            ASSERT_EQ(Qemu("create -q -f vhdx -o block_size=1M," + std::string(kind) + " " +
                           Quote(vhdx) + " 6M"),
                      0);
            // Every block written, the empty ones with explicit zeros.
            std::string out;
            ASSERT_EQ(
                RunCommand("qemu-io -f vhdx -c 'write -P 0 0 6M' " + Quote(vhdx) + " 2>&1", &out),
                0)
                << out;
            ASSERT_EQ(RunCommand("qemu-img convert -n -f raw -O vhdx " + Quote(raw) + " " +
                                     Quote(vhdx) + " 2>&1",
                                 &out),
                      0)
                << out;
            ExpectQemuAccepts(vhdx, raw);
            const uint64_t before = FileSize(vhdx);
            ASSERT_EQ(CompactAndCommit(vhdx, preallocate), DISK_OK);
            EXPECT_FALSE(Os_PathExists((vhdx + "_TEMP").c_str()));
            ExpectQemuAccepts(vhdx, raw);
            EXPECT_LT(FileSize(vhdx), before);
            const std::string layout = Layout(vhdx);
            EXPECT_NE(layout.find("\"table1\": {\"crc_ok\": true, \"regions\": {\"bat\": [3145728"),
                      std::string::npos)
                << layout;
            EXPECT_NE(layout.find("\"table2\": {\"crc_ok\": true, \"regions\": {\"bat\": [3145728"),
                      std::string::npos)
                << layout;
            EXPECT_NE(layout.find("\"metadata\": [2097152"), std::string::npos) << layout;
            Opened o(vhdx);
            ASSERT_EQ(o.rc, DISK_OK);
            EXPECT_EQ(PayloadStates(o.image()), (std::vector<uint32_t>{6, 2, 6, 2, 2, 6}));
        }
    }
}

// The writer's own file (every block kept) keeps its layout, loses its empty blocks, and an
// unknown region and a damaged first table are carried over to a consistent file.
TEST(VhdxCompact, WritersOwnFileAndForeignRegions)
{
    TempDir dir;
    const uint64_t size = 5 * MiB + 512;
    const std::string raw = MakeSource(dir, size);
    DiskHandle src;
    ASSERT_EQ(OpenRaw(&src, raw, size / 512), DISK_OK);
    const std::string out = dir.file("w.vhdx");
    VhdxCreateOptions keep = {1, 0, 0, 0};
    ASSERT_EQ(Vhdx_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &keep), DISK_OK);
    Disk_Close(&src);
    const uint64_t before = FileSize(out);
    ASSERT_EQ(Fixture("damage-region " + Quote(out)), 0);
    ASSERT_EQ(CompactAndCommit(out, false), DISK_OK);
    EXPECT_FALSE(Os_PathExists((out + "_del").c_str()));
    ExpectQemuAccepts(out, raw);
    EXPECT_EQ(FileSize(out), before - 2 * MiB);  // blocks 1 and 3 were empty
    const std::string layout = Layout(out);
    EXPECT_NE(
        layout.find("\"table1\": {\"crc_ok\": true, \"regions\": {\"bat\": [3145728, 1048576], "
                    "\"metadata\": [2097152"),
        std::string::npos)
        << layout;

    // A hand-built file with an unknown region between the metadata and the BAT in the table.
    const std::string foreign = dir.file("f.vhdx");
    Build("{\"path\":" + Str(foreign) +
          ",\"size\":4194304,\"blocks\":[{\"index\":0,\"state\":6},"
          "{\"index\":2,\"state\":6}],\"extra_regions\":[{\"offset\":16777216,\"length\":2097152}],"
          "\"expect\":" +
          Str(dir.file("f.expect")) + "}");
    ASSERT_EQ(CompactAndCommit(foreign, false), DISK_OK);
    Opened o(foreign);
    ASSERT_EQ(o.rc, DISK_OK);
    EXPECT_EQ(o.image()->usedRegionCopy, 0);
    EXPECT_EQ(ReadAll(&o.handle), ReadFile(dir.file("f.expect")));
    ExpectQemuAccepts(foreign, dir.file("f.expect"));
}

// A differencing file compacts with its parent's data merged in; libvhdi reads the result as
// it read the original.
TEST(VhdxCompact, DifferencingFileKeepsItsContent)
{
    TempDir dir;
    const uint64_t size = 4 * MiB;
    const std::string praw = MakeSource(dir, size);
    const std::string parent = dir.file("p.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx -o block_size=1M " + Quote(praw) + " " + Quote(parent)),
              0);
    const std::string child = dir.file("c.vhdx");
    Build("{\"path\":" + Str(child) + ",\"size\":" + std::to_string(size) +
          ",\"parent\":{\"relative\":\"p.vhdx\",\"file\":" + Str(parent) +
          "},\"blocks\":[{\"index\":1,\"state\":7,\"sectors\":[[4,4]]},{\"index\":3,\"state\":6}],"
          "\"expect\":" +
          Str(dir.file("c.expect")) + ",\"parent_raw\":" + Str(praw) + "}");
    ASSERT_EQ(CompactAndCommit(child, false), DISK_OK);
    Opened o(child);
    ASSERT_EQ(o.rc, DISK_OK);
    EXPECT_TRUE(Disk_HasParent(&o.handle));
    EXPECT_EQ(ReadAll(&o.handle), ReadFile(dir.file("c.expect")));
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}, &report)) << report;
        EXPECT_EQ(ReadFile(dir.file("lib.raw")), ReadFile(dir.file("c.expect")));
    }
}

// A compaction that cannot finish leaves the image as it was and its temporary file removable.
TEST(VhdxCompact, FailureLeavesTheImage)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 3 * MiB);
    const std::string vhdx = dir.file("q.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx " + Quote(raw) + " " + Quote(vhdx)), 0);
    const std::vector<uint8_t> original = ReadFile(vhdx);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, vhdx.c_str(), true), DISK_OK);
    OutputFile output;
    Progress stop;
    stop.stopAt = 2;
    EXPECT_EQ(Vhdx_Compact(vhdx.c_str(), &h, nullptr, &output, false, Progress::Cb, &stop),
              DISK_CANCELLED);
    Disk_Close(&h);
    EXPECT_TRUE(Os_PathExists((vhdx + "_TEMP").c_str()));
    EXPECT_EQ(Vhdx_DiscardCompact(&output), DISK_OK);
    EXPECT_FALSE(Os_PathExists((vhdx + "_TEMP").c_str()));
    EXPECT_EQ(ReadFile(vhdx), original);
    // Not a VHDX handle.
    DiskHandle rawDisk;
    ASSERT_EQ(OpenRaw(&rawDisk, raw, 3 * MiB / 512), DISK_OK);
    EXPECT_EQ(Vhdx_Compact(vhdx.c_str(), &rawDisk, nullptr, &output, false, nullptr, nullptr),
              DISK_ERR_ARG);
    Disk_Close(&rawDisk);
}

// Writes that the file system refuses (here: past the process's file size limit) are write
// failures, wherever the compaction is.
TEST(VhdxCompact, RefusedWritesAreWriteFailures)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 6 * MiB);
    const std::string vhdx = dir.file("q.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx -o block_size=1M " + Quote(raw) + " " + Quote(vhdx)), 0);
    const std::vector<uint8_t> original = ReadFile(vhdx);
    for (uint64_t limit : {MiB + 4096, 3 * MiB + 4096, 5 * MiB + 4096}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            setrlimit(RLIMIT_FSIZE, &rl);
            DiskHandle h;
            Disk_Init(&h);
            if (Disk_Open(&h, vhdx.c_str(), true) != DISK_OK) _exit(100);
            OutputFile output;
            const int rc =
                Vhdx_Compact(vhdx.c_str(), &h, nullptr, &output, false, nullptr, nullptr);
            Disk_Close(&h);
            Vhdx_DiscardCompact(&output);
            _exit(rc == DISK_ERR_WRITE ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "limit " << limit;
    }
    EXPECT_EQ(ReadFile(vhdx), original);
    EXPECT_FALSE(Os_PathExists((vhdx + "_TEMP").c_str()));
}

// The temporary file never takes the name of an existing file (a leftover, or the parent of the
// image), and the image's "_del" name must not be a file of its chain.
TEST(VhdxCompact, TemporaryNamesAvoidExistingFilesAndTheChain)
{
    TempDir dir;
    const uint64_t size = 3 * MiB;
    const std::string praw = MakeSource(dir, size);
    const std::string child = dir.file("c.vhdx");
    const std::string parent = child + "_TEMP";  // the parent carries the first temporary name
    ASSERT_EQ(Qemu("convert -f raw -O vhdx " + Quote(praw) + " " + Quote(parent)), 0);
    Build("{\"path\":" + Str(child) + ",\"size\":" + std::to_string(size) +
          ",\"parent\":{\"relative\":\"c.vhdx_TEMP\",\"file\":" + Str(parent) + "}}");
    testsupport::WriteFile(child + "_TEMP1", {7});  // a leftover of an earlier run
    const std::vector<uint8_t> parentBytes = ReadFile(parent);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, child.c_str(), true), DISK_OK);
    OutputFile output;
    ASSERT_EQ(Vhdx_Compact(child.c_str(), &h, nullptr, &output, false, nullptr, nullptr), DISK_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(output.entry.tempPath.data),
                 (child + "_TEMP2").c_str());
    Disk_Close(&h);
    ASSERT_EQ(Vhdx_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), 0), DISK_OK);
    EXPECT_EQ(ReadFile(parent), parentBytes);
    EXPECT_EQ(ReadFile(child + "_TEMP1"), std::vector<uint8_t>{7});
    Opened o(child);
    ASSERT_EQ(o.rc, DISK_OK);
    EXPECT_EQ(ReadAll(&o.handle), ReadFile(praw));

    // A parent named like the child's backup: the compaction is refused before anything is made.
    const std::string other = dir.file("o.vhdx");
    ASSERT_EQ(RunCommand("cp " + Quote(parent) + " " + Quote(other + "_del")), 0);
    Build("{\"path\":" + Str(other) + ",\"size\":" + std::to_string(size) +
          ",\"parent\":{\"relative\":\"o.vhdx_del\"}}");
    ASSERT_EQ(Disk_Open(&h, other.c_str(), true), DISK_OK);
    EXPECT_EQ(Vhdx_Compact(other.c_str(), &h, nullptr, &output, false, nullptr, nullptr),
              DISK_ERR_ARG);
    Disk_Close(&h);
    EXPECT_FALSE(Os_PathExists((other + "_TEMP").c_str()));
}
