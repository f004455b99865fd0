// Images of several files (a VMDK descriptor with its extents, a Parallels bundle) rewritten in
// place under injected faults: the Nth write, sync, rename, link or open fails, for every N the
// operation reaches, and the process is killed with SIGKILL just before each write, sync,
// rename or link.
//   - After a failure every file is as it was, nothing is left beside them, and the next run
//     succeeds.
//   - After a kill the image opens and reads as the old image or the new one, through our reader
//     and through qemu-img; no file of the start changed except the descriptor (old or new,
//     whole); and the next run (allowed to replace the backup, as after the user's yes)
//     succeeds and reads on from there.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "disk/disk_open.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_maintain.h"
#include "formats/vmdk/vmdk_writer_util.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "safety/fault_runs.h"
#include "safety/fault_shim.h"
#include "support/test_support.h"

using namespace testsupport;
using namespace faultruns;
namespace fs = std::filesystem;

namespace {

// ---- The operations ----------------------------------------------------------------------------

int VmdkCompact(const std::string& path, uint32_t flags)
{
    DiskHandle disk;
    Disk_Init(&disk);
    int r =
        Disk_OpenVmdkWithHandler(&disk, nullptr, path.c_str(), true, VMDK_PARENT_OPTIONAL, nullptr);
    if (r != DISK_OK) return r;
    VmdkCompactSet set;
    Vmdk_InitCompactSet(&set);
    r = Vmdk_Compact(&disk, nullptr, &set, false, nullptr, nullptr);
    Disk_Close(&disk);
    if (r != DISK_OK) {
        Vmdk_DiscardCompact(&set);
        return r;
    }
    return Vmdk_CommitCompact(&set, Del(), flags);
}

enum class Op { Rewrite, RewriteOneFile, Expand };

int VmdkMaintain(const std::string& path, Op op, uint32_t flags)
{
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenVmdkWithHandler(&disk, nullptr, path.c_str(), false, VMDK_PARENT_OPTIONAL,
                                     nullptr);
    if (r != DISK_OK) return r;
    VmdkTempFileSet set;
    Vmdk_InitTempFileSet(&set);
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    if (op == Op::Expand)
        r = Vmdk_ExpandCapacity(path.c_str(), &disk, nullptr, &set,
                                Geometry_GetTotalSectors(&g) * 2, nullptr, nullptr);
    else
        r = Vmdk_RewriteWithoutFreeSpace(path.c_str(), &disk, nullptr, &set,
                                         op == Op::RewriteOneFile, nullptr, nullptr);
    Disk_Close(&disk);
    if (r != DISK_OK) {
        Vmdk_DiscardTempFileSet(&set);
        return r;
    }
    return Vmdk_CommitTempFileSet(&set, Del(), flags);
}

int BundleCompact(const std::string& path, uint32_t flags)
{
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_Open(&disk, path.c_str(), false);
    if (r != DISK_OK) return r;
    OutputList list;
    OutputList_Init(&list);
    r = ParallelsBundle_Compact(path.c_str(), &disk, nullptr, &list, false, nullptr, nullptr);
    Disk_Close(&disk);
    if (r != DISK_OK) {
        ParallelsBundle_DiscardCompact(&list);
        return r;
    }
    return ParallelsBundle_CommitCompact(&list, Del(), flags);
}

struct Operation {
    const char* name;
    const char* image;       // the path the image is opened by, relative to the folder
    const char* descriptor;  // the one file of the start that may change
    bool vmdk;               // qemu-img reads it
    bool grows;              // the next run grows the image again
    std::function<int(const std::string& path, uint32_t flags)> run;
    // Parts its kill and failure tables are cut into, each a test of its own.
    unsigned parts = 1;
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

std::vector<Operation> Operations()
{
    auto expand = [](const std::string& p, uint32_t f) { return VmdkMaintain(p, Op::Expand, f); };
    return {
        {"split compaction", "s.vmdk", "s.vmdk", true, false, VmdkCompact},
        {"split compaction of a qemu-img image", "q.vmdk", "q.vmdk", true, false, VmdkCompact},
        {"split rewrite", "s.vmdk", "s.vmdk", true, false,
         [](const std::string& p, uint32_t f) { return VmdkMaintain(p, Op::Rewrite, f); }},
        {"split rewrite into one file", "s.vmdk", "s.vmdk", true, false,
         [](const std::string& p, uint32_t f) { return VmdkMaintain(p, Op::RewriteOneFile, f); }},
        {"split expansion", "s.vmdk", "s.vmdk", true, true, expand},
        {"split flat expansion", "ff.vmdk", "ff.vmdk", true, true, expand},
        {"monolithic flat expansion", "f.vmdk", "f.vmdk", true, true, expand},
        {"bundle compaction", "c.hdd", "c.hdd/DiskDescriptor.xml", false, false, BundleCompact},
    };
}

class MultiFileImages : public TemplateImages<MultiFileImages> {
protected:
    static void SetUpTestSuite()
    {
        if (!HaveTool("qemu-img") || !HaveTool("qemu-io")) return;
        // Thousands of runs, each syncing its files: on a memory file system where there is one.
        if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
        templateDir_ = new TempDir();
        rawDir_ = new TempDir();
        const std::string d = templateDir_->path();
        // 4 MiB of data with runs of zeros (which compaction drops).
        std::vector<uint8_t> raw = vmdkwtest::PatternDisk(8192 * 512, 3);
        for (size_t at = 0; at < raw.size(); at += 256 * 1024)
            std::fill(raw.begin() + at, raw.begin() + at + 131072, 0);
        const std::string src = rawDir_->file("src.raw");
        WriteFile(src, raw);
        bool ok =
            vmdkwtest::CreateImage(src, d + "/s.vmdk", 0, false, 2048) ==
                DISK_OK &&  // four extents
            vmdkwtest::CreateImage(src, d + "/ff.vmdk", 1, false, 3072) ==
                DISK_OK &&  // three flat ones
            Quiet("cd " + Quote(d) +
                  " && qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse q.vmdk 4M") ==
                0 &&
            Quiet("cd " + Quote(d) +
                  " && qemu-io -f vmdk -c 'write -P 0x11 0 64k' -c 'write -z 1M 64k'"
                  " -c 'write -P 0x33 3M 512' q.vmdk") == 0 &&
            Quiet("cd " + Quote(d) +
                  " && qemu-img create -q -f vmdk -o subformat=monolithicFlat f.vmdk 1M") == 0 &&
            Quiet("cd " + Quote(d) + " && qemu-io -f vmdk -c 'write -P 0x44 0 4k' f.vmdk") == 0;
        // A bundle of three data files, with blocks of zeros.
        if (ok) {
            DiskGeometry g = {};
            g.heads = 2;
            g.sectors_per_track = 32;
            g.bytes_per_sector = 512;
            Geometry_SetTotalSectors(&g, 8192);
            DiskHandle h;
            Disk_Init(&h);
            ParallelsBundleCreateOptions o = {1, 3072, 0};
            ok = Disk_OpenRaw(&h, src.c_str(), true, 0, &g) == DISK_OK &&
                 ParallelsBundle_Create((d + "/c.hdd").c_str(), &h, nullptr, nullptr, nullptr,
                                        &o) == DISK_OK;
            Disk_Close(&h);
        }
        if (!ok) {
            delete templateDir_;
            templateDir_ = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        TemplateImages::TearDownTestSuite();
        delete rawDir_;
        rawDir_ = nullptr;
    }

    struct Baseline {
        std::vector<uint8_t> before, after;
        Files start, end;
        CallCounts counts;
    };

    Baseline Run(const Operation& op)
    {
        Baseline b;
        b.start = Start();
        Restore(b.start, work.path());
        std::optional<std::vector<uint8_t>> before = ReadImage(work.file(op.image));
        EXPECT_TRUE(before.has_value()) << op.name << ": the image does not open";
        if (before) b.before = *before;
        b.counts = CountCalls(
            b.start, work.path(), [&]() { return op.run(work.file(op.image), 0); }, op.name);
        b.end = Snapshot(work.path());
        std::optional<std::vector<uint8_t>> after = ReadImage(work.file(op.image));
        EXPECT_TRUE(after.has_value()) << op.name;
        if (after) b.after = *after;
        if (op.vmdk) {
            EXPECT_EQ(vmdkwtest::QemuCheck(work.file(op.image)), "") << op.name;
        }
        // The new image reads the same through qemu-img; the old one is kept, whole.
        if (op.vmdk) {
            EXPECT_TRUE(QemuReads(op, b.after)) << op.name;
        }
        EXPECT_TRUE(ReadImage(work.file(op.descriptor) + "_del") == b.before)
            << op.name << ": the kept image";
        return b;
    }

    // Whether qemu-img reads the image as `content`.
    bool QemuReads(const Operation& op, const std::vector<uint8_t>& content)
    {
        const std::string raw = rawDir_->file("expected.raw");
        WriteFile(raw, content);
        return vmdkwtest::QemuCompare(raw, "raw", work.file(op.image), "vmdk") == "";
    }

    // The next run, allowed to replace a backup, succeeds; the image then reads as `now` (grown
    // by zeros for an expansion) and passes qemu-img check.
    void CheckNextRun(const Operation& op, const std::vector<uint8_t>& now, const std::string& what)
    {
        EXPECT_EQ(op.run(work.file(op.image), OUTPUT_COMMIT_REPLACE_BACKUP), DISK_OK)
            << what << ": the next run";
        std::optional<std::vector<uint8_t>> next = ReadImage(work.file(op.image));
        std::vector<uint8_t> expected = now;
        if (op.grows) expected.resize(now.size() * 2, 0);
        EXPECT_TRUE(next == expected) << what << ": after the next run";
        if (op.vmdk) {
            EXPECT_EQ(vmdkwtest::QemuCheck(work.file(op.image)), "")
                << what << ": after the next run";
        }
    }

    TempDir work;
    static TempDir* rawDir_;
};

TempDir* MultiFileImages::rawDir_ = nullptr;

// A part of an operation's table: its calls from part/parts to (part + 1)/parts of them.
struct TableRow {
    size_t op;
    unsigned part, parts;
};

void PrintTo(const TableRow& row, std::ostream* out)
{
    *out << Operations()[row.op].name << ", part " << row.part + 1 << " of " << row.parts;
}

std::vector<TableRow> TableRows() { return PartRows<TableRow>(Operations()); }

std::string TableRowName(const ::testing::TestParamInfo<TableRow>& info)
{
    return PartRowName(Operations()[info.param.op].name, info.param.part, info.param.parts);
}

class MultiFileCommitTable : public MultiFileImages,
                             public ::testing::WithParamInterface<TableRow> {};

TEST_P(MultiFileCommitTable, EveryFailingCallLeavesTheOldImageOrTheNewOne)
{
    const Operation op = Operations()[GetParam().op];
    const Baseline b = Run(op);
    for (const Step& step : PartSteps(b.counts, false, GetParam().part, GetParam().parts)) {
        const unsigned kind = kKinds[step.kind];
        const uint64_t n = step.n;
        const std::string what = FailingCallText(op.name, kind, n, b.counts.calls[step.kind]);
        Restore(b.start, work.path());
        bool fired = false;
        const int r = RunFailingAt(
            kind, n, [&]() { return op.run(work.file(op.image), 0); }, &fired);
        EXPECT_TRUE(fired) << what;
        const Files now = Snapshot(work.path());
        if (r != DISK_OK) {
            ExpectFilesAsAtStart(now, b.start, what);
            EXPECT_TRUE(ReadImage(work.file(op.image)) == b.before)
                << what << ": the image does not read as before";
            CheckNextRun(op, b.before, what);
        } else {
            // A call whose failure is harmless (a clean-up after the switch): the new
            // image, and no file that the fault-free run does not leave.
            EXPECT_TRUE(ReadImage(work.file(op.image)) == b.after)
                << what << ": reported success, but not the new image";
            ExpectNoFileBeyond(now, b.end, what);
        }
    }
}

TEST_P(MultiFileCommitTable, AKillAtAnyCallLeavesTheOldImageOrTheNewOne)
{
    const Operation op = Operations()[GetParam().op];
    const Baseline b = Run(op);
    const uint64_t calls = b.counts.Total();
    for (const Step& step : PartSteps(b.counts, true, GetParam().part, GetParam().parts)) {
        const uint64_t n = step.n;
        const std::string what = KilledCallText(op.name, n, calls);
        Restore(b.start, work.path());
        EXPECT_TRUE(RunKilledBefore(n, [&]() { return op.run(work.file(op.image), 0); }))
            << what << ": not killed";
        // The old image or the new one, through both readers.
        std::optional<std::vector<uint8_t>> now = ReadImage(work.file(op.image));
        const bool old = now == b.before, fresh = now == b.after;
        EXPECT_TRUE(old || fresh) << what << ": the image does not read as the old or the new one";
        if (op.vmdk && (old || fresh)) {
            EXPECT_TRUE(QemuReads(op, *now)) << what << ": qemu-img reads otherwise";
        }
        // No file of the start changed but the descriptor, which is the old or the new one.
        const Files files = Snapshot(work.path());
        for (const auto& f : b.start) {
            ASSERT_TRUE(files.count(f.first)) << what << ": " << f.first << " is gone";
            if (f.first == op.descriptor) {
                EXPECT_TRUE(files.at(f.first) == f.second || files.at(f.first) == b.end.at(f.first))
                    << what << ": the descriptor is neither old nor new";
            } else {
                EXPECT_TRUE(files.at(f.first) == f.second) << what << ": " << f.first << " changed";
            }
        }
        if (now) CheckNextRun(op, *now, what);
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, MultiFileCommitTable, ::testing::ValuesIn(TableRows()),
                         TableRowName);

class MultiFileCommit : public MultiFileImages, public ::testing::WithParamInterface<Operation> {};

// A file that cannot be opened (the Nth open of the run refused): the run fails with every file
// as it was and nothing beside them, or, where the open came after the switch, succeeds with the
// new image; either way the next run succeeds.
TEST_P(MultiFileCommit, EveryFailingOpenLeavesTheOldImageOrTheNewOne)
{
    const Operation& op = GetParam();
    const Files start = Start();
    Restore(start, work.path());
    const std::optional<std::vector<uint8_t>> before = ReadImage(work.file(op.image));
    ASSERT_TRUE(before.has_value()) << op.name << ": the image does not open";
    faultshim::Arm(faultshim::kOpen, 0);
    ASSERT_EQ(op.run(work.file(op.image), 0), DISK_OK) << op.name;
    const uint64_t opens = faultshim::Disarm();
    const Files end = Snapshot(work.path());
    const std::optional<std::vector<uint8_t>> after = ReadImage(work.file(op.image));
    ASSERT_TRUE(after.has_value()) << op.name;
    ASSERT_GT(opens, 0u);
    for (uint64_t n = 1; n <= opens; ++n) {
        const std::string what = FailingCallText(op.name, faultshim::kOpen, n, opens);
        Restore(start, work.path());
        bool fired = false;
        const int r = RunFailingAt(
            faultshim::kOpen, n, [&]() { return op.run(work.file(op.image), 0); }, &fired);
        EXPECT_TRUE(fired) << what;
        const Files now = Snapshot(work.path());
        if (r != DISK_OK) {
            ExpectFilesAsAtStart(now, start, what);
            EXPECT_TRUE(ReadImage(work.file(op.image)) == before)
                << what << ": the image does not read as before";
            CheckNextRun(op, *before, what);
        } else {
            EXPECT_TRUE(ReadImage(work.file(op.image)) == after)
                << what << ": reported success, but not the new image";
            ExpectNoFileBeyond(now, end, what);
        }
    }
}

// Backups replaced run after run leave no extent files behind: the folder holds the image and
// one kept image, whatever the number of runs (the extent files of a split image rewritten into
// one file go with the first backup replaced).
TEST_P(MultiFileCommit, ReplacedBackupsLeaveNoMembersBehind)
{
    const Operation& op = GetParam();
    if (op.grows) GTEST_SKIP() << "each run grows the image";
    {
        Restore(Start(), work.path());
        const std::vector<uint8_t> content = *ReadImage(work.file(op.image));
        ASSERT_EQ(op.run(work.file(op.image), 0), DISK_OK);
        ASSERT_EQ(op.run(work.file(op.image), OUTPUT_COMMIT_REPLACE_BACKUP), DISK_OK);
        const size_t files = Snapshot(work.path()).size();
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(op.run(work.file(op.image), OUTPUT_COMMIT_REPLACE_BACKUP), DISK_OK);
        EXPECT_EQ(Snapshot(work.path()).size(), files) << Names(Snapshot(work.path()));
        EXPECT_TRUE(ReadImage(work.file(op.image)) == content);
        EXPECT_TRUE(ReadImage(work.file(op.descriptor) + "_del") == content);
        if (op.vmdk) {
            EXPECT_EQ(vmdkwtest::QemuCheck(work.file(op.image)), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, MultiFileCommit, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                             return RowName(info.param.name);
                         });

}  // namespace
