// VMDK compaction, rewriting without free space, capacity expansion, child disks and descriptor
// parameter changes: every image written passes qemu-img check and compares equal with what it
// must hold; failures and cancellations leave the original files as they were.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "formats/vmdk/vmdk_maintain.h"
#include "formats/vmdk/vmdk_sparse.h"
#include "formats/vmdk/vmdk_writer_util.h"
#include "foundation/path.h"

using namespace vmdkwtest;

namespace {

struct ProgressLog {
    std::vector<uint64_t> done;
    uint32_t stopAt = 0;  // answer false on this call (1-based); 0 never
};

bool LogProgress(uint64_t done, uint64_t, void* user)
{
    ProgressLog* log = static_cast<ProgressLog*>(user);
    log->done.push_back(done);
    return log->stopAt == 0 || log->done.size() < log->stopAt;
}

TextView Del() { return Path_DeleteSuffix(TEXT_ENC_UTF8); }

std::string Text(const std::string& path)
{
    std::vector<uint8_t> b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

// The embedded descriptor of a monolithic sparse file (up to its first NUL).
std::string EmbeddedText(const std::string& path)
{
    std::vector<uint8_t> b = ReadFile(path);
    uint64_t sectors = Bytes_LoadLe64(b.data() + 36);
    std::string text(b.begin() + 512, b.begin() + 512 + sectors * 512);
    return text.substr(0, text.find('\0'));
}

uint64_t Header64(const std::string& path, uint32_t offset)
{
    return Bytes_LoadLe64(ReadFile(path).data() + offset);
}

uint64_t DirBytes(const std::string& dir)
{
    uint64_t sum = 0;
    for (const std::string& name : ListDir(dir)) sum += FileSize(dir + "/" + name);
    return sum;
}

bool AnyNameEndsWith(const std::string& dir, const std::string& suffix)
{
    for (const std::string& n : ListDir(dir))
        if (n.size() >= suffix.size() &&
            n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    return false;
}

// Compacts an image (with a used-sector map built from it when asked) and commits or discards.
int CompactImage(const std::string& path, bool useMap, bool commit = true,
                 ProgressLog* log = nullptr, bool removeOld = false, bool preallocated = false)
{
    VmdkCompactSet set;
    Vmdk_InitCompactSet(&set);
    int r;
    {
        Disk image;
        r = image.OpenVmdk(path, true, VMDK_PARENT_OPTIONAL);
        if (r != DISK_OK) return r;
        Map map;
        if (useMap && map.Build(&image.handle) != DISK_OK) return -1;
        r = Vmdk_Compact(&image.handle, map.map, &set, preallocated, log ? LogProgress : nullptr,
                         log);
    }
    if (r != DISK_OK) {
        EXPECT_EQ(Vmdk_DiscardCompact(&set), DISK_OK);
        return r;
    }
    return commit ? Vmdk_CommitCompact(&set, Del(), removeOld) : Vmdk_DiscardCompact(&set);
}

enum class Op { Rewrite, RewriteOneFile, Expand };

// Runs a rewrite or an expansion on the image opened writable (parent mode 1), then commits.
int Maintain(const std::string& path, Op op, bool useMap, uint64_t newSectors = 0,
             ProgressLog* log = nullptr, bool compress = false, uint32_t flags = 0)
{
    VmdkTempFileSet set;
    Vmdk_InitTempFileSet(&set);
    int r;
    {
        Disk image;
        r = image.OpenVmdk(path, false, VMDK_PARENT_OPTIONAL);
        if (r != DISK_OK) return r;
        Map map;
        if (useMap && map.Build(&image.handle) != DISK_OK) map.Empty();
        ProgressCallback cb = log ? LogProgress : nullptr;
        if (op == Op::Expand)
            r = Vmdk_ExpandCapacity(path.c_str(), &image.handle, map.map, &set, newSectors, cb,
                                    log);
        else
            r = Vmdk_RewriteWithoutFreeSpace(path.c_str(), &image.handle, map.map, &set,
                                             op == Op::RewriteOneFile || compress, cb, log);
    }
    if (r != DISK_OK) {
        EXPECT_EQ(Vmdk_DiscardTempFileSet(&set), DISK_OK);
        return r;
    }
    return Vmdk_CommitTempFileSet(&set, Del(), flags);
}

// A base image made by qemu-img from a raw file, and a child of it written through qemu-io:
// data in grain 2, zeros over the parent's data in grain 0 (written as data) and grain 3 (a
// zeroed grain entry), one sector at 1 MiB. Fills *expected with what the child reads.
void MakeQemuChild(const TempDir& dir, uint64_t sectors, std::string* base, std::string* child,
                   std::vector<uint8_t>* expected, uint64_t childSectors = 0,
                   const std::string& baseName = "base.vmdk",
                   const std::string& childName = "child.vmdk")
{
    std::vector<uint8_t> raw = PatternDisk(sectors * 512, 21);
    std::string src = dir.file("base.raw");
    WriteFile(src, raw);
    *base = dir.file(baseName);
    *child = dir.file(childName);
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk " + Quote(src) + " " + Quote(*base)), 0);
    std::string size = childSectors ? " " + std::to_string(childSectors * 512) : "";
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk -o zeroed_grain=on -b " + Quote(baseName) +
                 " -F vmdk " + Quote(*child) + size),
              0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0 0 64k' -c 'write -P 0x77 128k 64k' -c 'write -z "
                 "192k 64k' "
                 "-c 'write -P 0x3c 1M 512' " +
                 Quote(*child)),
              0);
    uint64_t total = childSectors ? childSectors : sectors;
    expected->assign(raw.begin(), raw.begin() + std::min<uint64_t>(raw.size(), total * 512));
    expected->resize(total * 512, 0);
    std::fill(expected->begin(), expected->begin() + 65536, 0);
    std::fill(expected->begin() + 131072, expected->begin() + 196608, 0x77);
    std::fill(expected->begin() + 196608, expected->begin() + 262144, 0);  // a zeroed grain entry
    std::fill(expected->begin() + (1 << 20), expected->begin() + (1 << 20) + 512, 0x3c);
}

class VmdkMaintain : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveQemu()) GTEST_SKIP() << "qemu-img missing";
    }
    TempDir dir;
};

bool HaveFsTools()
{
    return HaveTool("mke2fs") && HaveTool("dumpe2fs") && HaveTool("mkfs.fat") && HaveTool("mcopy");
}

}  // namespace

// ---- Compaction ---------------------------------------------------------------------------------

// Images that stored the garbage of free space, compacted with the used-sector map: the result
// equals the clean disk, is smaller, and every replaced file stays under its name + "_del".
TEST_F(VmdkMaintain, CompactionLeavesOutFreeSpace)
{
    if (!HaveFsTools()) GTEST_SKIP() << "file-system tools missing";
    struct Layout {
        const char* name;
        const char* qemu;  // qemu-img subformat, or NULL for our creator
        bool firstTrack;
        uint32_t split;
    };
    const Layout layouts[] = {{"ours-mono", nullptr, false, 0},
                              {"ours-split", nullptr, false, 8192},
                              {"ours-first-track", nullptr, true, 0},
                              {"qemu-mono", "monolithicSparse", false, 0},
                              {"qemu-split", "twoGbMaxExtentSparse", false, 0}};
    for (uint64_t sectors : {uint64_t(32768), uint64_t(32768 + 7)}) {
        std::string dirty, clean, log;
        ASSERT_TRUE(MakeGarbageVolume(dir.path(), "ext", sectors, &dirty, &clean, &log)) << log;
        for (const Layout& l : layouts) {
            SCOPED_TRACE(std::string(l.name) + " " + std::to_string(sectors));
            TempDir d;
            std::string path = d.file("disk.vmdk");
            if (l.qemu)
                ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk -o subformat=" + std::string(l.qemu) +
                             " " + Quote(dirty) + " " + Quote(path)),
                          0);
            else
                ASSERT_EQ(CreateImage(dirty, path, 0, l.firstTrack, l.split), DISK_OK);
            auto before = Snapshot(d.path());
            uint64_t bytesBefore = DirBytes(d.path());
            ASSERT_EQ(CompactImage(path, true), DISK_OK);
            // One file is replaced and kept under its name + "_del". A descriptor file of its own
            // is replaced by one naming new extent files, and kept with the old extents beside it
            // under their names, so that the kept descriptor opens as the old image.
            const bool separate = l.split || l.firstTrack ||
                                  (l.qemu && std::string(l.qemu) == "twoGbMaxExtentSparse");
            for (const auto& f : before) {
                if (separate && f.first != "disk.vmdk") {
                    EXPECT_EQ(ReadFile(d.file(f.first)), f.second) << f.first;
                    EXPECT_FALSE(Exists(d.file(f.first + "_del"))) << f.first;
                } else {
                    EXPECT_EQ(ReadFile(d.file(f.first + "_del")), f.second) << f.first;
                }
            }
            if (separate) {
                Disk kept;
                ASSERT_EQ(kept.OpenVmdk(path + "_del"), DISK_OK);
                EXPECT_TRUE(ReadDisk(&kept.handle) == ReadFile(dirty));
                // Another reader follows the descriptor to the new extent files (it takes no
                // grains of 8 sectors or less, as the first-track extent has).
                std::string message;
                if (HaveLibvmdk() && !l.firstTrack) {
                    EXPECT_EQ(LibvmdkCompare(path, clean, &message), 0) << message;
                }
            }
            EXPECT_FALSE(AnyNameEndsWith(d.path(), "_TEMP"));
            Disk image;
            ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
            EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(clean));
            image.Close();
            EXPECT_EQ(QemuCheck(path), "");
            EXPECT_EQ(QemuCompare(clean, "raw", path, "vmdk"), "");
            uint64_t kept = 0;
            for (const auto& f : before) kept += f.second.size();
            EXPECT_LT(DirBytes(d.path()) - kept + 2 * 1024 * 1024, bytesBefore);
        }
    }
}

// Without a map only zero grains go; a preallocated output ends where its data ends; the
// remove-old flag leaves no "_del" files.
TEST_F(VmdkMaintain, CompactionDropsZeroGrains)
{
    for (bool preallocated : {false, true}) {
        SCOPED_TRACE(preallocated);
        TempDir d;
        std::vector<uint8_t> raw = PatternDisk(8192 * 512, 5);
        std::string src = d.file("src.raw");
        WriteFile(src, raw);
        std::string path = d.file("z.vmdk");
        // -S 0 stores every zero grain.
        ASSERT_EQ(Sh("qemu-img convert -S 0 -f raw -O vmdk " + Quote(src) + " " + Quote(path)), 0);
        uint64_t before = FileSize(path);
        ASSERT_EQ(CompactImage(path, false, true, nullptr, true, preallocated), DISK_OK);
        EXPECT_FALSE(Exists(path + "_del"));
        EXPECT_LT(FileSize(path) + 2 * 1024 * 1024, before);
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
}

// A child keeps the zero grains that hide its parent's data; a discarded compaction leaves no
// trace; cancellation returns DISK_CANCELLED and leaves everything as it was.
TEST_F(VmdkMaintain, CompactingAChildAndDiscarding)
{
    std::string base, child;
    std::vector<uint8_t> expected;
    MakeQemuChild(dir, 8192, &base, &child, &expected);
    auto before = Snapshot(dir.path());
    ASSERT_EQ(CompactImage(child, false, false), DISK_OK);  // discarded
    EXPECT_EQ(Snapshot(dir.path()), before);
    ProgressLog stop;
    stop.stopAt = 2;
    EXPECT_EQ(CompactImage(child, false, true, &stop), DISK_CANCELLED);
    EXPECT_EQ(Snapshot(dir.path()), before);

    ASSERT_EQ(CompactImage(child, false), DISK_OK);
    EXPECT_EQ(ReadFile(base), before[std::string("base.vmdk")]);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
    EXPECT_TRUE(ReadDisk(&image.handle) == expected);
    image.Close();
    WriteFile(dir.file("expected.raw"), expected);
    EXPECT_EQ(QemuCheck(child), "");
    EXPECT_EQ(QemuCompare(dir.file("expected.raw"), "raw", child, "vmdk"), "");
}

// The temporary and backup names of a compaction, rewrite or expansion are never files of the
// image's chain: a child whose parent is named like its temporary file is rewritten beside it
// (under a free numbered name), and one whose parent carries its backup name is refused before
// anything is written. A leftover temporary file of an earlier run is left as it is.
TEST_F(VmdkMaintain, TemporaryAndBackupNamesNeverHitFilesOfTheChain)
{
    {
        TempDir d;
        std::string base, child;
        std::vector<uint8_t> expected;
        MakeQemuChild(d, 8192, &base, &child, &expected, 0, "v.vmdk_TEMP", "v.vmdk");
        const std::vector<uint8_t> parent = ReadFile(base);
        const std::vector<uint8_t> old = ReadFile(child);
        WriteFile(d.file("v.vmdk_TEMP1"), {1, 2, 3});  // a leftover: never reused
        ASSERT_EQ(CompactImage(child, false), DISK_OK);
        EXPECT_TRUE(ReadFile(base) == parent);
        EXPECT_TRUE(ReadFile(d.file("v.vmdk_TEMP1")) == (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_FALSE(Os_PathExists(d.file("v.vmdk_TEMP2").c_str()));
        EXPECT_TRUE(ReadFile(child + "_del") == old);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
        EXPECT_TRUE(ReadDisk(&image.handle) == expected);
        image.Close();
        WriteFile(d.file("expected.raw"), expected);
        EXPECT_EQ(QemuCheck(child), "");
        EXPECT_EQ(QemuCompare(d.file("expected.raw"), "raw", child, "vmdk"), "");
    }
    // Rewrite and expansion of a child whose parent is named like their temporary file.
    for (Op op : {Op::Rewrite, Op::Expand}) {
        TempDir d;
        std::string base, child;
        std::vector<uint8_t> expected;
        MakeQemuChild(d, 8192, &base, &child, &expected, 0, "u.vmdk_temp", "u.vmdk");
        const std::vector<uint8_t> parent = ReadFile(base);
        ASSERT_EQ(Maintain(child, op, false, 2 * 8192), DISK_OK);
        EXPECT_TRUE(ReadFile(base) == parent);
        EXPECT_FALSE(Os_PathExists(d.file("u.vmdk_temp1").c_str()));
        if (op == Op::Expand) expected.resize(2 * 8192 * 512, 0);
        WriteFile(d.file("expected.raw"), expected);
        EXPECT_EQ(QemuCheck(child), "");
        EXPECT_EQ(QemuCompare(d.file("expected.raw"), "raw", child, "vmdk"), "");
    }
    {
        TempDir d;
        std::string base, child;
        std::vector<uint8_t> expected;
        MakeQemuChild(d, 8192, &base, &child, &expected, 0, "w.vmdk_del", "w.vmdk");
        auto before = Snapshot(d.path());
        EXPECT_EQ(CompactImage(child, false), DISK_ERR_ARG);
        EXPECT_EQ(Maintain(child, Op::Rewrite, false), DISK_ERR_ARG);
        EXPECT_EQ(Maintain(child, Op::Expand, false, 3 * 8192), DISK_ERR_ARG);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
}

// Images that cannot be compacted are refused before anything is written, and so is a header
// whose table sets do not fit before its first grain; a header without redundant tables keeps
// its header and descriptor.
TEST_F(VmdkMaintain, CompactionRefusalsAndOddHeaders)
{
    std::vector<uint8_t> raw = PatternDisk(4096 * 512, 8);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    for (uint32_t choice : {1u, 2u, 3u}) {  // flat, compressed grains, stream-optimised
        SCOPED_TRACE(choice);
        TempDir d;
        std::string path = d.file("x.vmdk");
        ASSERT_EQ(CreateImage(src, path, choice), DISK_OK);
        auto before = Snapshot(d.path());
        EXPECT_EQ(CompactImage(path, false), DISK_ERR_ARG);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
    {
        // A child whose parent is gone.
        TempDir d;
        std::string base, child;
        std::vector<uint8_t> expected;
        MakeQemuChild(d, 4096, &base, &child, &expected);
        ASSERT_TRUE(Os_RenameFile(base.c_str(), (base + ".away").c_str()));
        auto before = Snapshot(d.path());
        EXPECT_EQ(CompactImage(child, false), DISK_ERR_ARG);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
    {
        // Not a VMDK image.
        Disk rawDisk;
        ASSERT_EQ(rawDisk.OpenRaw(src), DISK_OK);
        VmdkCompactSet set;
        Vmdk_InitCompactSet(&set);
        EXPECT_EQ(Vmdk_Compact(&rawDisk.handle, nullptr, &set, false, nullptr, nullptr),
                  DISK_ERR_ARG);
    }
    std::string plain = dir.file("plain.vmdk");
    ASSERT_EQ(Sh("qemu-img convert -S 0 -f raw -O vmdk " + Quote(src) + " " + Quote(plain)), 0);
    {
        // No redundant tables: nothing is written at sector 0 but the header itself.
        TempDir d;
        std::string path = d.file("norgd.vmdk");
        std::vector<uint8_t> b = ReadFile(plain);
        Bytes_StoreLe64(b.data() + 48, 0);
        Bytes_StoreLe32(b.data() + 8, Bytes_LoadLe32(b.data() + 8) & ~2u);
        WriteFile(path, b);
        ASSERT_EQ(CompactImage(path, false), DISK_OK);
        std::vector<uint8_t> after = ReadFile(path);
        uint64_t keep = 512 * (1 + Bytes_LoadLe64(b.data() + 36));
        EXPECT_TRUE(std::equal(b.begin(), b.begin() + keep, after.begin()));
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
    {
        // overHead before the end of the primary tables: -206, nothing left behind.
        TempDir d;
        std::string path = d.file("tight.vmdk");
        std::vector<uint8_t> b = ReadFile(plain);
        Bytes_StoreLe64(b.data() + 64, Bytes_LoadLe64(b.data() + 56) + 1);
        WriteFile(path, b);
        auto before = Snapshot(d.path());
        EXPECT_EQ(CompactImage(path, false), DISK_ERR_FORMAT);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
}

// A small monolithic file whose header states a capacity far beyond its extent line is refused
// at open, so neither compaction nor the rewrite writes a byte; and the writers size their
// tables by the extent's sectors, whatever capacity the header record holds.
TEST_F(VmdkMaintain, HeaderCapacityMustAgreeWithTheExtentLine)
{
    std::vector<uint8_t> raw = PatternDisk(256 * 512, 6);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    {
        TempDir d;
        std::string path = d.file("small.vmdk");
        ASSERT_EQ(CreateImage(src, path, 0), DISK_OK);
        ASSERT_LT(FileSize(path), 200u * 1024);
        std::vector<uint8_t> b = ReadFile(path);
        Bytes_StoreLe64(b.data() + 12, 52000000000ull);
        WriteFile(path, b);
        auto before = Snapshot(d.path());
        Disk image;
        EXPECT_EQ(image.OpenVmdk(path), DISK_ERR_FORMAT);
        EXPECT_EQ(CompactImage(path, false), DISK_ERR_FORMAT);
        EXPECT_EQ(Maintain(path, Op::Rewrite, false), DISK_ERR_FORMAT);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
    for (bool compact : {true, false}) {
        SCOPED_TRACE(compact ? "compaction" : "rewrite");
        TempDir d;
        std::string path = d.file("small.vmdk");
        ASSERT_EQ(CreateImage(src, path, 0), DISK_OK);
        const uint64_t size = FileSize(path);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path, !compact, VMDK_PARENT_OPTIONAL), DISK_OK);
        // A header record that says 100 tables more than the extent needs.
        image.Image()->sparseExtents[0].header.capacity = 256 + 100 * 65536;
        int r;
        std::string written;
        if (compact) {
            VmdkCompactSet set;
            Vmdk_InitCompactSet(&set);
            r = Vmdk_Compact(&image.handle, nullptr, &set, false, nullptr, nullptr);
            written = path + "_TEMP";
            EXPECT_LE(FileSize(written), size);
            EXPECT_EQ(Vmdk_DiscardCompact(&set), DISK_OK);
        } else {
            VmdkTempFileSet set;
            Vmdk_InitTempFileSet(&set);
            r = Vmdk_RewriteWithoutFreeSpace(path.c_str(), &image.handle, nullptr, &set, false,
                                             nullptr, nullptr);
            written = path + "_temp";
            EXPECT_LE(FileSize(written), size);
            EXPECT_EQ(Vmdk_DiscardTempFileSet(&set), DISK_OK);
        }
        EXPECT_EQ(r, DISK_OK);
        EXPECT_FALSE(Exists(written));
    }
}

// A descriptor that names one extent file twice reads, but a new file per extent would take
// one name twice: compaction, rewrite and expansion refuse it with every file as it was.
TEST_F(VmdkMaintain, ExtentFilesNamedTwiceAreNotRewritten)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(2048 * 512, 29));
    TempDir d;
    std::string one = d.file("one.vmdk");
    ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse " + Quote(src) +
                 " " + Quote(one)),
              0);
    // qemu names its single extent "one-s001.vmdk"; a second descriptor lists it twice.
    std::string twice = d.file("twice.vmdk");
    WriteText(twice,
              "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n"
              "createType=\"twoGbMaxExtentSparse\"\nRW 2048 SPARSE \"one-s001.vmdk\"\n"
              "RW 2048 SPARSE \"one-s001.vmdk\"\nddb.adapterType = \"ide\"\n");
    auto before = Snapshot(d.path());
    EXPECT_EQ(CompactImage(twice, false), DISK_ERR_ARG);
    EXPECT_TRUE(Snapshot(d.path()) == before);
    EXPECT_EQ(Maintain(twice, Op::Rewrite, false), DISK_ERR_ARG);
    EXPECT_TRUE(Snapshot(d.path()) == before);
    EXPECT_EQ(Maintain(twice, Op::Expand, false, 8192), DISK_ERR_ARG);
    EXPECT_TRUE(Snapshot(d.path()) == before);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(twice), DISK_OK);
    std::vector<uint8_t> data = ReadFile(src);
    data.insert(data.end(), data.begin(), data.end());
    EXPECT_TRUE(ReadDisk(&image.handle) == data);
    image.Close();

    // An expansion numbers its new extents after the descriptor ("t-s003.vmdk" for the third):
    // an old extent of that name is refused too.
    TempDir e;
    ASSERT_EQ(CreateImage(src, e.file("x.vmdk"), 0, false, 1024), DISK_OK);
    ASSERT_TRUE(Os_RenameFile(e.file("x-s002.vmdk").c_str(), e.file("t-s003.vmdk").c_str()));
    std::string text = Text(e.file("x.vmdk"));
    text.replace(text.find("x-s002.vmdk"), 11, "t-s003.vmdk");
    WriteText(e.file("t.vmdk"), text);
    ASSERT_TRUE(Os_RemoveFile(e.file("x.vmdk").c_str()));
    before = Snapshot(e.path());
    EXPECT_EQ(Maintain(e.file("t.vmdk"), Op::Expand, false, 2048 + VMDK_EXPAND_MIN_UNIT),
              DISK_ERR_ARG);
    EXPECT_TRUE(Snapshot(e.path()) == before);
}

// ---- Rewriting without free space ---------------------------------------------------------------

TEST_F(VmdkMaintain, RewriteWithoutFreeSpace)
{
    if (!HaveFsTools()) GTEST_SKIP() << "file-system tools missing";
    std::string dirty, clean, log;
    ASSERT_TRUE(MakeGarbageVolume(dir.path(), "fat", 32768 + 7, &dirty, &clean, &log)) << log;
    struct Case {
        const char* name;
        uint32_t choice;
        bool firstTrack;
        uint32_t split;
        Op op;
        bool compress;
    };
    const Case cases[] = {
        {"split to one compressed file", 0, false, 8192, Op::RewriteOneFile, true},
        {"first track to one compressed file", 0, true, 0, Op::RewriteOneFile, true},
        {"monolithic plain", 0, false, 0, Op::Rewrite, false},
        {"monolithic compressed", 0, false, 0, Op::Rewrite, true},
        {"compressed made plain", 2, false, 0, Op::Rewrite, false},
        {"split kept", 0, false, 8192, Op::Rewrite, false},
        {"stream-optimised", 3, false, 0, Op::Rewrite, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        std::string path = d.file("disk.vmdk");
        ASSERT_EQ(CreateImage(dirty, path, c.choice, c.firstTrack, c.split), DISK_OK);
        auto before = Snapshot(d.path());
        ASSERT_EQ(Maintain(path, c.op, true, 0, nullptr, c.compress), DISK_OK);
        EXPECT_FALSE(AnyNameEndsWith(d.path(), "_temp"));
        // The replaced file is kept under its name + "_del"; old extent files stay beside the
        // kept descriptor under their names, so that it opens as the old image.
        const bool separate = c.split || c.firstTrack;
        for (const auto& f : before) {
            const bool member = separate && f.first != "disk.vmdk";
            EXPECT_EQ(ReadFile(d.file(member ? f.first : f.first + "_del")), f.second) << f.first;
        }
        if (separate) {
            Disk kept;
            ASSERT_EQ(kept.OpenVmdk(path + "_del"), DISK_OK);
            EXPECT_TRUE(ReadDisk(&kept.handle) == ReadFile(dirty));
        }
        bool oneFile = c.op == Op::RewriteOneFile || (!c.split && !c.firstTrack);
        if (oneFile) {
            std::string text = EmbeddedText(path);
            EXPECT_NE(text.find("createType=\"monolithicSparse\""), std::string::npos) << text;
            EXPECT_NE(text.find("RW " + std::to_string(32768 + 7) + " SPARSE \"disk.vmdk\""),
                      std::string::npos)
                << text;
            EXPECT_EQ(Header64(path, 8) & 0xFFFFFFFF, c.compress ? 0x30001u : 3u);
            EXPECT_NE(Header64(path, 56), VMDK_GD_AT_END);
            EXPECT_EQ(Header64(path, 20), 128u);  // grainSize: never the first track's own
        }
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(clean));
        image.Close();
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(clean, "raw", path, "vmdk"), "");
    }
}

// A child is rewritten by its layer (zero grains keep hiding the parent); flat images and maps
// with children are refused; a cancelled rewrite leaves the files as they were.
TEST_F(VmdkMaintain, RewriteOfChildrenRefusalsAndCancellation)
{
    std::string base, child;
    std::vector<uint8_t> expected;
    MakeQemuChild(dir, 8192, &base, &child, &expected);
    WriteFile(dir.file("expected.raw"), expected);
    auto before = Snapshot(dir.path());
    EXPECT_EQ(Maintain(child, Op::Rewrite, true), DISK_ERR_ARG);  // a map with a child
    ProgressLog stop;
    stop.stopAt = 2;
    EXPECT_EQ(Maintain(child, Op::Rewrite, false, 0, &stop, true), DISK_CANCELLED);
    EXPECT_EQ(Snapshot(dir.path()), before);
    ASSERT_EQ(Maintain(child, Op::Rewrite, false, 0, nullptr, true), DISK_OK);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
    EXPECT_TRUE(ReadDisk(&image.handle) == expected);
    image.Close();
    EXPECT_EQ(QemuCheck(child), "");
    EXPECT_EQ(QemuCompare(dir.file("expected.raw"), "raw", child, "vmdk"), "");

    TempDir d;
    std::string src = d.file("src.raw");
    WriteFile(src, PatternDisk(2048 * 512, 4));
    std::string flat = d.file("flat.vmdk");
    ASSERT_EQ(CreateImage(src, flat, 1), DISK_OK);
    auto flatBefore = Snapshot(d.path());
    EXPECT_EQ(Maintain(flat, Op::Rewrite, false), DISK_ERR_ARG);
    EXPECT_EQ(Snapshot(d.path()), flatBefore);
}

// ---- Expanding the capacity ----------------------------------------------------------------------

// A split image of one 100 MiB extent grown to 5 GiB: the unit is 0x3FF800 sectors, the old
// extent grows to one unit and two extents follow (0x3FF800 and 2101248 sectors).
TEST_F(VmdkMaintain, ExpandingASplitImageAddsExtentsOfTheUnit)
{
    for (uint32_t choice : {0u, 1u}) {
        SCOPED_TRACE(choice);
        TempDir d;
        const uint64_t sectors = 204800, grown = 10485760;
        std::string src = d.file("src.raw");
        {
            std::vector<uint8_t> head = PatternDisk(4096 * 512, 6);
            WriteFile(src, head);
            ASSERT_EQ(truncate(src.c_str(), sectors * 512), 0);
        }
        std::string path = d.file("big.vmdk");
        ASSERT_EQ(CreateImage(src, path, choice, false, static_cast<uint32_t>(sectors)), DISK_OK);
        ASSERT_EQ(Maintain(path, Op::Expand, false, grown), DISK_OK);
        std::string text = Text(path);
        const char* type = choice ? "FLAT" : "SPARSE";
        std::string suffix = choice ? " 0" : "";
        // One flat extent is named "-flat" by the creator; the added ones are numbered on. The
        // grown extent is written for a fresh name; the old one stays with the kept descriptor.
        std::string old = choice ? "big-flat.vmdk" : "big-s001.vmdk";
        std::string first = choice ? "big-flat~1.vmdk" : "big-s001~1.vmdk";
        EXPECT_NE(
            text.find("RW 4192256 " + std::string(type) + " \"" + first + "\"" + suffix + "\n"),
            std::string::npos)
            << text;
        EXPECT_NE(
            text.find("RW 4192256 " + std::string(type) + " \"big-s002.vmdk\"" + suffix + "\n"),
            std::string::npos)
            << text;
        EXPECT_NE(
            text.find("RW 2101248 " + std::string(type) + " \"big-s003.vmdk\"" + suffix + "\n"),
            std::string::npos)
            << text;
        EXPECT_NE(text.find("ddb.geometry.cylinders = \"" + std::to_string(grown / 1008) + "\""),
                  std::string::npos);
        EXPECT_TRUE(Exists(d.file(old)));
        EXPECT_TRUE(Exists(path + "_del"));
        EXPECT_FALSE(AnyNameEndsWith(d.path(), "_temp"));
        ASSERT_EQ(truncate(src.c_str(), grown * 512), 0);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        EXPECT_EQ(image.Total(), grown);
        std::vector<uint8_t> head(4096 * 512), tail(1 << 20);
        ASSERT_EQ(Disk_Read(&image.handle, 0, head.size(), head.data()), DISK_OK);
        EXPECT_TRUE(head == PatternDisk(4096 * 512, 6));
        ASSERT_EQ(Disk_Read(&image.handle, grown * 512 - tail.size(), tail.size(), tail.data()),
                  DISK_OK);
        EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](uint8_t b) { return b == 0; }));
        image.Close();
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
}

// The unit never is the 63-sector first-track extent; growing by exactly two units adds one
// full extent; more than 1000 extents are refused before anything is written.
TEST_F(VmdkMaintain, ExpansionUnitAndExtentLimit)
{
    TempDir d;
    std::string src = d.file("src.raw");
    WriteFile(src, PatternDisk(8192 * 512, 12));
    std::string path = d.file("ft.vmdk");
    ASSERT_EQ(CreateImage(src, path, 0, true, 0), DISK_OK);  // extents of 63 and 8129 sectors
    ASSERT_EQ(Maintain(path, Op::Expand, false, 8192 + 4096), DISK_OK);
    std::string text = Text(path);
    EXPECT_NE(text.find("RW 63 SPARSE \"ft-s001.vmdk\"\nRW 12225 SPARSE \"ft-s002~1.vmdk\"\n\n"),
              std::string::npos)
        << text;
    ASSERT_EQ(truncate(src.c_str(), (8192 + 4096) * 512), 0);
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    EXPECT_EQ(QemuCheck(path), "");

    // Grown part exactly two units: the last extent becomes one unit, one full extent follows.
    // The backup of the first expansion is never replaced silently. Replacing it removes the
    // extent file that only it named; the files of the new image and of the new backup stay.
    const uint64_t unit = 0x3FF800;
    EXPECT_EQ(Maintain(path, Op::Expand, false, 63 + 2 * unit), DISK_ERR_BACKUP_EXISTS);
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    ASSERT_EQ(Maintain(path, Op::Expand, false, 63 + 2 * unit, nullptr, false,
                       OUTPUT_COMMIT_REPLACE_BACKUP),
              DISK_OK);
    text = Text(path);
    EXPECT_NE(text.find("RW 63 SPARSE \"ft-s001.vmdk\"\nRW 4192256 SPARSE \"ft-s002~2.vmdk\"\nRW "
                        "4192256 SPARSE "
                        "\"ft-s003.vmdk\"\n\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(QemuCheck(path), "");
    EXPECT_FALSE(Exists(d.file("ft-s002.vmdk")));
    EXPECT_TRUE(Exists(d.file("ft-s002~1.vmdk")));
    EXPECT_TRUE(Exists(d.file("ft-s001.vmdk")));
    {
        Disk kept;
        ASSERT_EQ(kept.OpenVmdk(path + "_del"), DISK_OK);
        EXPECT_EQ(kept.Total(), 8192u + 4096u);
    }

    auto before = Snapshot(d.path());
    EXPECT_EQ(Maintain(path, Op::Expand, false, 63 + 1000 * unit), DISK_ERR_ARG);
    EXPECT_EQ(Maintain(path, Op::Expand, false, 63 + 2 * unit),
              DISK_ERR_ARG);  // not above the current size
    EXPECT_EQ(Snapshot(d.path()), before);
}

// An image whose largest extent is not whole grains of 128 sectors grows by extents of that
// size rounded up to whole grains, with the image's own grain size; data that qemu-io writes
// across the boundary of two new extents reads back the same through our reader.
TEST_F(VmdkMaintain, ExpansionUnitIsWholeGrains)
{
    TempDir d;
    const uint64_t split = 0x3FF840;  // whole grains of 64 sectors, not of 128
    const uint64_t total = split + 1000;
    Disk zero;
    DiskGeometry g{};
    Geometry_SetTotalSectors(&g, total);
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = 512;
    ASSERT_EQ(Disk_OpenZero(&zero.handle, &g), DISK_OK);
    std::string path = d.file("g.vmdk");
    Options o = MakeOptions(0, false, total, static_cast<uint32_t>(split));
    ASSERT_EQ(Vmdk_Create(path.c_str(), &zero.handle, nullptr, nullptr, nullptr, o.get()), DISK_OK);
    EXPECT_EQ(Bytes_LoadLe64(ReadFile(d.file("g-s001.vmdk")).data() + 20), 64u);  // grainSize
    const uint64_t unit = 0x3FF880;
    const uint64_t grown = total + 2 * unit + 500;
    ASSERT_EQ(Maintain(path, Op::Expand, false, grown), DISK_OK);
    std::string text = Text(path);
    EXPECT_NE(text.find("RW 4192320 SPARSE \"g-s001.vmdk\"\nRW 4192384 SPARSE "
                        "\"g-s002~1.vmdk\"\nRW 4192384 SPARSE "
                        "\"g-s003.vmdk\"\nRW " +
                        std::to_string(grown - split - 2 * unit) + " SPARSE \"g-s004.vmdk\"\n"),
              std::string::npos)
        << text;
    for (const char* name : {"g-s003.vmdk", "g-s004.vmdk"})
        EXPECT_EQ(Bytes_LoadLe64(ReadFile(d.file(name)).data() + 20), 64u) << name;
    EXPECT_EQ(QemuCheck(path), "");
    // 64 KiB across the boundary of the third and fourth extents.
    const uint64_t at = (split + 2 * unit) * 512 - 32768;
    ASSERT_EQ(
        Sh("qemu-io -f vmdk -c 'write -P 0x5a " + std::to_string(at) + " 64k' " + Quote(path)), 0);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
    std::vector<uint8_t> got(3 * 65536);
    ASSERT_EQ(Disk_Read(&image.handle, at - 65536, static_cast<uint32_t>(got.size()), got.data()),
              DISK_OK);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], i >= 65536 && i < 2 * 65536 ? 0x5a : 0) << "byte " << i;
}

// Monolithic sparse and flat images grow in place of their one file; the added sectors read as
// zeros. A cancelled expansion leaves the files as they were.
TEST_F(VmdkMaintain, ExpandingMonolithicImages)
{
    for (uint32_t choice : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(choice);
        TempDir d;
        std::string src = d.file("src.raw");
        WriteFile(src, PatternDisk(8192 * 512 + 7 * 512, 14));
        std::string path = d.file("m.vmdk");
        ASSERT_EQ(CreateImage(src, path, choice), DISK_OK);
        auto before = Snapshot(d.path());
        ProgressLog stop;
        stop.stopAt = 2;
        EXPECT_EQ(Maintain(path, Op::Expand, false, 3 * 8192, &stop), DISK_CANCELLED);
        EXPECT_EQ(Snapshot(d.path()), before);
        ProgressLog log;
        ASSERT_EQ(Maintain(path, Op::Expand, false, 3 * 8192, &log), DISK_OK);
        EXPECT_EQ(log.done.front(), 0u);
        EXPECT_EQ(log.done.back(), 3u * 8192);
        ASSERT_EQ(truncate(src.c_str(), 3 * 8192 * 512), 0);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(src));
        image.Close();
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
        std::string text = choice == 1 ? Text(path) : EmbeddedText(path);
        EXPECT_NE(text.find("RW 24576 "), std::string::npos) << text;
        EXPECT_NE(text.find("ddb.geometry.cylinders = \"24\""), std::string::npos) << text;
        if (choice == 3) {
            EXPECT_NE(text.find("createType=\"monolithicSparse\""), std::string::npos) << text;
        }
    }
}

// A child smaller than its parent grown to the parent's size: its own grains stay (zero grains
// keep hiding the parent) and the added part reads through to the parent.
TEST_F(VmdkMaintain, ExpandingAChildToItsParentsSize)
{
    std::string base, child;
    std::vector<uint8_t> expected;
    MakeQemuChild(dir, 8192, &base, &child, &expected, 4096);
    ASSERT_EQ(Maintain(child, Op::Expand, false, 8192), DISK_OK);
    std::vector<uint8_t> parent = ReadFile(dir.file("base.raw"));
    expected.insert(expected.end(), parent.begin() + 4096 * 512, parent.end());
    WriteFile(dir.file("expected.raw"), expected);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
    EXPECT_TRUE(ReadDisk(&image.handle) == expected);
    image.Close();
    EXPECT_EQ(QemuCheck(child), "");
    EXPECT_EQ(QemuCompare(dir.file("expected.raw"), "raw", child, "vmdk"), "");
}

// ---- Child disks -----------------------------------------------------------------------------------

TEST_F(VmdkMaintain, AChildOfEveryCreateTypeReadsThroughToItsParent)
{
    std::vector<uint8_t> raw = PatternDisk(8192 * 512 + 7 * 512, 17);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    struct Parent {
        const char* subformat;
        const char* editFrom;  // a descriptor edit: this text ...
        const char* editTo;    // ... becomes this one
        const char* childType;
    };
    const Parent parents[] = {
        {"monolithicSparse", nullptr, nullptr, "monolithicSparse"},
        {"monolithicFlat", nullptr, nullptr, "monolithicSparse"},
        {"twoGbMaxExtentSparse", nullptr, nullptr, "twoGbMaxExtentSparse"},
        {"twoGbMaxExtentFlat", nullptr, nullptr, "twoGbMaxExtentSparse"},
        {"streamOptimized", nullptr, nullptr, "monolithicSparse"},
        {"monolithicFlat", "createType=\"monolithicFlat\"", "createType=\"MONOLITHICflat\"",
         "monolithicSparse"},
        {"monolithicFlat", "createType=\"monolithicFlat\"", "createType=\"vmfs\"",
         "twoGbMaxExtentSparse"},
        {"twoGbMaxExtentFlat", "createType=\"twoGbMaxExtentFlat\"", "createType=\"VMFS\"",
         "twoGbMaxExtentSparse"},
    };
    for (const Parent& p : parents) {
        SCOPED_TRACE(std::string(p.subformat) + (p.editTo ? std::string(" as ") + p.editTo : ""));
        TempDir d;
        std::string parent = d.file("parent.vmdk");
        ASSERT_EQ(Sh("qemu-img convert -f raw -O vmdk -o subformat=" + std::string(p.subformat) +
                     " " + Quote(src) + " " + Quote(parent)),
                  0);
        if (p.editFrom) {
            std::string text = Text(parent);
            size_t at = text.find(p.editFrom);
            ASSERT_NE(at, std::string::npos);
            text.replace(at, std::strlen(p.editFrom), p.editTo);
            if (std::string(p.editTo).find("vmfs") != std::string::npos ||
                std::string(p.editTo).find("VMFS") != std::string::npos) {
                for (size_t f; (f = text.find(" FLAT ")) != std::string::npos;)
                    text.replace(f, 6, " VMFS ");
            }
            WriteText(parent, text);
        }
        std::string parentText = Text(parent);
        std::string child = d.file("sub/child.vmdk");
        ASSERT_TRUE(Os_MakeDirectory(d.file("sub").c_str()));
        {
            Disk image;
            ASSERT_EQ(image.OpenVmdk(parent), DISK_OK);
            ASSERT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), child.c_str(), false),
                      DISK_OK);
        }
        bool split = std::string(p.childType) == "twoGbMaxExtentSparse";
        std::string text = split ? Text(child) : EmbeddedText(child);
        EXPECT_NE(text.find("createType=\"" + std::string(p.childType) + "\""), std::string::npos)
            << text;
        EXPECT_NE(text.find("parentFileNameHint=\"../parent.vmdk\""), std::string::npos) << text;
        EXPECT_EQ(text.find("ddb."), std::string::npos) << text;
        EXPECT_EQ(text.find("FLAT"), std::string::npos) << text;
        EXPECT_EQ(text.find("VMFS"), std::string::npos) << text;
        EXPECT_NE(text.find(split ? "SPARSE \"child-s001.vmdk\"" : "SPARSE \"child.vmdk\""),
                  std::string::npos)
            << text;
        Disk image;
        ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
        EXPECT_TRUE(Vmdk_HasParent(image.Image()));
        EXPECT_TRUE(ReadDisk(&image.handle) == raw);
        image.Close();
        // qemu-img takes createType with its exact spelling only: its parent gets it back.
        if (p.editFrom) {
            std::string text = parentText;
            text.replace(text.find(p.editTo), std::strlen(p.editTo), p.editFrom);
            for (size_t f; (f = text.find(" VMFS ")) != std::string::npos;)
                text.replace(f, 6, " FLAT ");
            WriteText(parent, text);
        }
        EXPECT_EQ(QemuCheck(child), "");
        EXPECT_EQ(QemuCompare(src, "raw", child, "vmdk"), "");
        // Written through qemu-io, the child keeps its own data over the parent's.
        ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x66 4096 512' " + Quote(child)), 0);
        std::vector<uint8_t> mixed = raw;
        std::fill(mixed.begin() + 4096, mixed.begin() + 4608, 0x66);
        ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
        EXPECT_TRUE(ReadDisk(&image.handle) == mixed);
    }
}

// A child of an image split into extents that are not whole grains of 128 sectors (100000)
// ends its extents on grain boundaries too: what qemu-io writes across an extent boundary of
// the child reads back the same through our reader and through qemu-img.
TEST_F(VmdkMaintain, ChildExtentsEndOnGrainBoundaries)
{
    const uint64_t sectors = 250000;
    std::vector<uint8_t> raw = PatternDisk(sectors * 512, 23);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    for (uint32_t choice : {0u, 1u}) {
        SCOPED_TRACE(choice ? "flat parent" : "sparse parent");
        TempDir d;
        std::string parent = d.file("parent.vmdk");
        ASSERT_EQ(CreateImage(src, parent, choice, false, 100000),
                  DISK_OK);  // 100000, 100000, 50000
        std::string child = d.file("child.vmdk");
        {
            Disk image;
            ASSERT_EQ(image.OpenVmdk(parent), DISK_OK);
            ASSERT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), child.c_str(), false),
                      DISK_OK);
        }
        // 64 KiB across each extent boundary.
        std::vector<uint8_t> expected = raw;
        std::string commands;
        for (uint64_t at : {uint64_t(100000) * 512 - 32768, uint64_t(200000) * 512 - 32768}) {
            commands += " -c 'write -P 0x6b " + std::to_string(at) + " 64k'";
            std::fill(expected.begin() + at, expected.begin() + at + 65536, 0x6b);
        }
        ASSERT_EQ(Sh("qemu-io -f vmdk" + commands + " " + Quote(child)), 0);
        EXPECT_EQ(QemuCheck(child), "");
        Disk image;
        ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
        EXPECT_TRUE(ReadDisk(&image.handle) == expected);
        image.Close();
        std::string want = d.file("want.raw");
        WriteFile(want, expected);
        EXPECT_EQ(QemuCompare(want, "raw", child, "vmdk"), "");
    }
}

TEST_F(VmdkMaintain, ChildHintsAndRefusals)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(2000 * 512, 2));
    std::string parent = dir.file("p.vmdk");
    ASSERT_EQ(CreateImage(src, parent, 0, false, 0, 1), DISK_OK);  // hardware version "4"
    Disk image;
    ASSERT_EQ(image.OpenVmdk(parent), DISK_OK);
    std::string same = dir.file("c1.vmdk"), absolute = dir.file("c2.vmdk");
    ASSERT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), same.c_str(), false), DISK_OK);
    ASSERT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), absolute.c_str(), true), DISK_OK);
    EXPECT_NE(EmbeddedText(same).find("parentFileNameHint=\"p.vmdk\""), std::string::npos);
    EXPECT_NE(EmbeddedText(absolute).find("parentFileNameHint=\"" + parent + "\""),
              std::string::npos);
    // The parent's hardware version rounds the child's header capacity.
    EXPECT_EQ(Header64(same, 12), 2048u);
    EXPECT_EQ(QemuCompare(src, "raw", same, "vmdk"), "");
    EXPECT_EQ(QemuCompare(src, "raw", absolute, "vmdk"), "");
    // A child of a child.
    Disk first;
    ASSERT_EQ(first.OpenVmdk(same), DISK_OK);
    std::string grand = dir.file("c3.vmdk");
    ASSERT_EQ(Vmdk_CreateChild(&first.handle, same.c_str(), grand.c_str(), false), DISK_OK);
    EXPECT_NE(EmbeddedText(grand).find("parentFileNameHint=\"c1.vmdk\""), std::string::npos);
    EXPECT_EQ(QemuCompare(src, "raw", grand, "vmdk"), "");

    auto before = Snapshot(dir.path());
    EXPECT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), parent.c_str(), false), DISK_ERR_ARG);
    std::string longPath = dir.path() + "/" + std::string(4200, 'c') + ".vmdk";
    EXPECT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), longPath.c_str(), false),
              DISK_ERR_ARG);
    Disk rawDisk;
    ASSERT_EQ(rawDisk.OpenRaw(src), DISK_OK);
    EXPECT_EQ(Vmdk_CreateChild(&rawDisk.handle, src.c_str(), dir.file("c4.vmdk").c_str(), false),
              DISK_ERR_ARG);
    EXPECT_EQ(Snapshot(dir.path()), before);
}

// A child whose descriptor or extents would land on a file of its parent (the parent under
// another spelling, its flat file, one of its numbered extents) is refused with every file of
// the parent as it was.
TEST_F(VmdkMaintain, ChildrenNeverOverwriteTheirParentsFiles)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(4096 * 512, 23));
    struct Case {
        const char* name;
        uint32_t choice;
        uint32_t split;
        const char* child;  // relative to the parent's directory ("DIR": that directory's name)
    };
    const Case cases[] = {
        {"monolithic parent under another spelling", 0, 0, "./p.vmdk"},
        {"flat file of the parent", 1, 0, "p-flat.vmdk"},
        {"first extent of a split parent", 0, 1024, "x-s001.vmdk"},
        {"parent through a detour", 0, 1024, "../DIR/p.vmdk"},
        // The parent's descriptor was renamed from "x.vmdk": a child "x.vmdk" would number its
        // extents "x-s001.vmdk", ... like the parent's.
        {"child extents over parent extents", 0, 1024, "x.vmdk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        std::string parent = d.file("p.vmdk");
        ASSERT_EQ(CreateImage(src, d.file("x.vmdk"), c.choice, false, c.split), DISK_OK);
        ASSERT_TRUE(Os_RenameFile(d.file("x.vmdk").c_str(), parent.c_str()));
        if (c.choice == 1) {
            ASSERT_TRUE(
                Os_RenameFile(d.file("x-flat.vmdk").c_str(), d.file("p-flat.vmdk").c_str()));
            std::string text = Text(parent);
            text.replace(text.find("x-flat.vmdk"), 11, "p-flat.vmdk");
            WriteText(parent, text);
        }
        auto before = Snapshot(d.path());
        {
            Disk image;
            ASSERT_EQ(image.OpenVmdk(parent), DISK_OK);
            std::string child = d.path() + "/" + c.child;
            size_t at = child.find("DIR");
            if (at != std::string::npos)
                child.replace(at, 3, d.path().substr(d.path().rfind('/') + 1));
            EXPECT_EQ(Vmdk_CreateChild(&image.handle, parent.c_str(), child.c_str(), false),
                      DISK_ERR_ARG);
        }
        EXPECT_TRUE(Snapshot(d.path()) == before);
        Disk image;
        EXPECT_EQ(image.OpenVmdk(parent), DISK_OK);
        if (image.handle.object) {
            EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(src));
        }
    }
    // The parent's own parent is no place for a child either.
    TempDir d;
    std::string base = d.file("base.vmdk"), middle = d.file("middle.vmdk");
    ASSERT_EQ(CreateImage(src, base, 0), DISK_OK);
    {
        Disk image;
        ASSERT_EQ(image.OpenVmdk(base), DISK_OK);
        ASSERT_EQ(Vmdk_CreateChild(&image.handle, base.c_str(), middle.c_str(), false), DISK_OK);
    }
    auto before = Snapshot(d.path());
    Disk image;
    ASSERT_EQ(image.OpenVmdk(middle), DISK_OK);
    EXPECT_EQ(Vmdk_CreateChild(&image.handle, middle.c_str(), base.c_str(), false), DISK_ERR_ARG);
    EXPECT_TRUE(Snapshot(d.path()) == before);
}

// ---- Descriptor parameters ---------------------------------------------------------------------

TEST_F(VmdkMaintain, ChangingParametersOfAnEmbeddedDescriptor)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(4096 * 512, 3));
    std::string path = dir.file("e.vmdk");
    ASSERT_EQ(CreateImage(src, path, 0), DISK_OK);
    std::vector<uint8_t> original = ReadFile(path);
    std::unique_ptr<VmdkDescriptorEdits, void (*)(void*)> edits(
        static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits))), Mem_Free);
    auto reset = [&] {
        Vmdk_ClearDescriptorEdits(edits.get());
        edits->extentCount = 1;  // the extent line is kept as it is
    };
    Disk image;
    ASSERT_EQ(image.OpenVmdk(path, false), DISK_OK);

    // Refused before anything is written: a text longer than the 20-sector area, a createType
    // that does not parse, edits that drop the extent line.
    std::string longUuid(11000, 'a');
    reset();
    edits->uuid.set = 1;
    Text_FromCStringUtf8(&edits->uuid.value, longUuid.c_str());
    EXPECT_EQ(
        Vmdk_ChangeParameters(&image.handle, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8),
        DISK_ERR_ARG);
    reset();
    edits->createType.set = 1;
    Text_FromCStringUtf8(&edits->createType.value, "bogus");
    EXPECT_EQ(
        Vmdk_ChangeParameters(&image.handle, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8),
        DISK_ERR_ARG);
    reset();
    edits->extentCount = 0;
    edits->adapter.set = 1;
    edits->adapter.value = VMDK_ADAPTER_BUSLOGIC;
    EXPECT_EQ(
        Vmdk_ChangeParameters(&image.handle, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8),
        DISK_ERR_ARG);
    EXPECT_EQ(ReadFile(path), original);

    // Adapter, hardware version and a new uuid line: only the descriptor sectors change.
    reset();
    edits->adapter.set = 1;
    edits->adapter.value = VMDK_ADAPTER_LSILOGIC;
    edits->hwVersionIndex.set = 1;
    edits->hwVersionIndex.value = 12;
    edits->uuid.set = 1;
    Text_FromCStringUtf8(&edits->uuid.value, "60 00 c2 9a");
    ASSERT_EQ(
        Vmdk_ChangeParameters(&image.handle, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8),
        DISK_OK);
    EXPECT_EQ(image.Image()->descriptor.adapter, VMDK_ADAPTER_LSILOGIC);
    EXPECT_EQ(image.Image()->descriptor.hwVersionIndex, 12u);
    image.Close();
    std::vector<uint8_t> changed = ReadFile(path);
    ASSERT_EQ(changed.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 512, changed.begin()));
    EXPECT_TRUE(
        std::equal(original.begin() + 21 * 512, original.end(), changed.begin() + 21 * 512));
    std::string text = EmbeddedText(path);
    EXPECT_NE(text.find("ddb.adapterType = \"lsilogic\""), std::string::npos) << text;
    EXPECT_NE(text.find("ddb.virtualHWVersion = \"17\"\nddb.uuid = \"60 00 c2 9a\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(QemuCheck(path), "");
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
}

namespace {

// A file whose writes are taken into a large buffer and fail when the buffer is written out, as
// on a full or failing disk: reads go to the real file.
struct FailingFile {
    int fd;
    off64_t pos;
    char buffer[1 << 20];
};

ssize_t FailingRead(void* c, char* buf, size_t size)
{
    FailingFile* f = static_cast<FailingFile*>(c);
    ssize_t n = pread(f->fd, buf, size, f->pos);
    if (n > 0) f->pos += n;
    return n;
}

ssize_t FailingWrite(void*, const char*, size_t)
{
    errno = EIO;
    return -1;
}

int FailingSeek(void* c, off64_t* offset, int whence)
{
    FailingFile* f = static_cast<FailingFile*>(c);
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : lseek(f->fd, 0, SEEK_END);
    f->pos = base + *offset;
    *offset = f->pos;
    return 0;
}

int FailingClose(void* c)
{
    FailingFile* f = static_cast<FailingFile*>(c);
    close(f->fd);
    delete f;
    return 0;
}

// Opens read-only files as usual and writable ones as failing files.
int OpenFailingWrites(const char* path, bool readOnly, ByteStream** out, void* user)
{
    if (readOnly) return FileOpener_DefaultOpen(path, readOnly, out, user);
    int fd = open(path, O_RDWR);
    if (fd < 0) return -1;
    cookie_io_functions_t io{FailingRead, FailingWrite, FailingSeek, FailingClose};
    FailingFile* cookie = new FailingFile{fd, 0, {}};
    FILE* file = fopencookie(cookie, "r+", io);
    if (!file) return -1;
    setvbuf(file, cookie->buffer, _IOFBF, sizeof cookie->buffer);
    *out = Stream_Alloc(file, &FileStreamOps);
    return *out ? 0 : -1;
}

}  // namespace

// An embedded descriptor whose write-back fails (the data never reaches the disk) is reported as
// a failure; the image keeps its old descriptor.
TEST_F(VmdkMaintain, AFailedWriteBackOfAnEmbeddedDescriptorIsReported)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(4096 * 512, 4));
    std::string path = dir.file("e.vmdk");
    ASSERT_EQ(CreateImage(src, path, 0), DISK_OK);
    const std::vector<uint8_t> original = ReadFile(path);
    std::unique_ptr<VmdkDescriptorEdits, void (*)(void*)> edits(
        static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits))), Mem_Free);
    Vmdk_ClearDescriptorEdits(edits.get());
    edits->extentCount = 1;
    edits->adapter.set = 1;
    edits->adapter.value = VMDK_ADAPTER_BUSLOGIC;
    FileOpener failing{OpenFailingWrites, nullptr};
    Disk image;
    ASSERT_EQ(Disk_OpenVmdkWithHandler(&image.handle, &failing, path.c_str(), false,
                                       VMDK_PARENT_OPTIONAL, nullptr),
              DISK_OK);
    const uint32_t adapter = image.Image()->descriptor.adapter;
    EXPECT_EQ(
        Vmdk_ChangeParameters(&image.handle, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8),
        DISK_ERR_WRITE);
    EXPECT_EQ(image.Image()->descriptor.adapter, adapter);
    image.Close();
    EXPECT_EQ(ReadFile(path), original);
}

TEST_F(VmdkMaintain, ChangingParametersOfADescriptorFile)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(4096 * 512, 3));
    std::string path = dir.file("f.vmdk");
    ASSERT_EQ(CreateImage(src, path, 1), DISK_OK);
    std::vector<uint8_t> flatFile = ReadFile(dir.file("f-flat.vmdk"));
    std::unique_ptr<VmdkDescriptorEdits, void (*)(void*)> edits(
        static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits))), Mem_Free);
    Vmdk_ClearDescriptorEdits(edits.get());
    edits->extentCount = 1;
    edits->heads.set = 1;
    edits->heads.value = 255;
    edits->encoding.set = 1;
    edits->encoding.value = VMDK_ENCODING_SHIFT_JIS;
    Disk image;
    ASSERT_EQ(image.OpenVmdk(path, false), DISK_OK);
    ASSERT_EQ(Vmdk_ChangeParameters(&image.handle, edits.get(), path.c_str(), TEXT_ENC_UTF8,
                                    TEXT_ENC_SJIS),
              DISK_OK);
    // The image is open again over the new descriptor.
    EXPECT_EQ(image.Image()->descriptor.heads, 255u);
    EXPECT_EQ(image.Image()->descriptor.textEncoding, TEXT_ENC_SJIS);
    EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(src));
    image.Close();
    EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"f-flat.vmdk", "f.vmdk", "src.raw"}));
    std::string text = Text(path);
    EXPECT_NE(text.find("encoding=\"Shift_JIS\""), std::string::npos) << text;
    EXPECT_NE(text.find("ddb.geometry.heads = \"255\""), std::string::npos) << text;
    EXPECT_EQ(ReadFile(dir.file("f-flat.vmdk")), flatFile);
    EXPECT_EQ(QemuCheck(path), "");
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");

    // Edits that name another extent file describe another disk: refused with the descriptor
    // as it was and the image still open.
    const std::vector<uint8_t> descriptor = ReadFile(path);
    ASSERT_EQ(image.OpenVmdk(path, false), DISK_OK);
    Vmdk_ClearDescriptorEdits(edits.get());
    edits->extentCount = 1;
    edits->extents[0].set = 1;
    edits->extents[0].sectors = 4096;
    Text_FromCStringUtf8(&edits->extents[0].fileName, "elsewhere-flat.vmdk");
    EXPECT_EQ(Vmdk_ChangeParameters(&image.handle, edits.get(), path.c_str(), TEXT_ENC_UTF8,
                                    TEXT_ENC_UTF8),
              DISK_ERR_ARG);
    EXPECT_TRUE(ReadFile(path) == descriptor);
    EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"f-flat.vmdk", "f.vmdk", "src.raw"}));
    EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(src));
}

// ---- Commits ---------------------------------------------------------------------------------------

// A set is swapped in as one: when one new file cannot take its place, every original stays
// (no file half old and half new), the temporary files go, and the commit reports the failure.
TEST_F(VmdkMaintain, AFailedCommitLeavesTheOriginals)
{
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(8192 * 512, 19));
    TempDir d;
    std::string path = d.file("s.vmdk");
    ASSERT_EQ(CreateImage(src, path, 0, false, 2048), DISK_OK);  // four extents
    auto before = Snapshot(d.path());
    {
        VmdkTempFileSet set;
        Vmdk_InitTempFileSet(&set);
        {
            Disk image;
            ASSERT_EQ(image.OpenVmdk(path, false), DISK_OK);
            ASSERT_EQ(Vmdk_RewriteWithoutFreeSpace(path.c_str(), &image.handle, nullptr, &set,
                                                   false, nullptr, nullptr),
                      DISK_OK);
        }
        ASSERT_TRUE(Os_RemoveFile(d.file("s-s003~1.vmdk_temp").c_str()));
        EXPECT_EQ(Vmdk_CommitTempFileSet(&set, Del(), false), DISK_ERR_CREATE);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
    {
        VmdkCompactSet set;
        Vmdk_InitCompactSet(&set);
        {
            Disk image;
            ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
            ASSERT_EQ(Vmdk_Compact(&image.handle, nullptr, &set, false, nullptr, nullptr), DISK_OK);
        }
        ASSERT_TRUE(Os_RemoveFile(d.file("s-s004~1.vmdk_TEMP").c_str()));
        EXPECT_EQ(Vmdk_CommitCompact(&set, Del(), true), DISK_ERR_CREATE);
        EXPECT_EQ(Snapshot(d.path()), before);
    }
}

// ---- Queries of the maintenance dialog ----------------------------------------------------------

namespace {

struct MaxExpandCase {
    const char* name;
    uint32_t choice;      // layout of MakeOptions
    uint64_t total;       // sectors of the disk
    uint32_t split;       // extent size (0: one extent)
    bool firstTrack;      // a first extent of 63 sectors
    uint32_t extents;     // Vmdk_ExtentCount
    bool descriptorFile;  // Vmdk_HasDescriptorFile
    uint64_t maximum;     // Vmdk_MaxExpandCapacity
};

class VmdkMaxExpand : public ::testing::TestWithParam<MaxExpandCase> {};

}  // namespace

// One-file images stop at 32-bit sector counts; split images at the extents before the last plus
// 1000 - count + 1 units (the largest extent, at least 0x3FF800 sectors, in whole grains).
TEST_P(VmdkMaxExpand, FollowsTheLayout)
{
    const MaxExpandCase& c = GetParam();
    TempDir d;
    Disk zero;
    DiskGeometry g{};
    Geometry_SetTotalSectors(&g, c.total);
    g.heads = 16;
    g.sectors_per_track = 63;
    g.bytes_per_sector = 512;
    ASSERT_EQ(Disk_OpenZero(&zero.handle, &g), DISK_OK);
    const std::string path = d.file("q.vmdk");
    Options o = MakeOptions(c.choice, c.firstTrack, c.total, c.split);
    ASSERT_EQ(Vmdk_Create(path.c_str(), &zero.handle, nullptr, nullptr, nullptr, o.get()), DISK_OK);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
    EXPECT_EQ(Vmdk_ExtentCount(image.Image()), c.extents);
    EXPECT_EQ(Vmdk_HasDescriptorFile(image.Image()), c.descriptorFile);
    EXPECT_EQ(Vmdk_MaxExpandCapacity(image.Image()), c.maximum);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, VmdkMaxExpand,
    ::testing::Values(
        MaxExpandCase{"MonolithicSparse", 0, 8192, 0, false, 1, false, 0xFFFFFFFFull},
        MaxExpandCase{"MonolithicFlat", 1, 8192, 0, false, 1, true, 0xFFFFFFFFull},
        // One extent in a split layout grows to the unit, and 999 more extents may follow.
        MaxExpandCase{"SplitOneExtent", 0, 8192, 0x3FF800, false, 1, true, 1000ull * 0x3FF800},
        MaxExpandCase{"SplitSparse", 0, 8192, 0, true, 2, true, 63 + 999ull * 0x3FF800},
        MaxExpandCase{"SplitFlat", 1, 8192, 0, true, 2, true, 63 + 999ull * 0x3FF800},
        // Extents of 0x3FF840 sectors in grains of 64: the unit is rounded to 128-sector grains.
        MaxExpandCase{"SplitOddUnit", 0, 0x3FF840 + 1000, 0x3FF840, false, 2, true,
                      0x3FF840 + 999ull * 0x3FF880}),
    [](const ::testing::TestParamInfo<MaxExpandCase>& i) { return std::string(i.param.name); });

TEST(VmdkMaxExpandNone, NoImageHasNoMaximum) { EXPECT_EQ(Vmdk_MaxExpandCapacity(nullptr), 0u); }

// The parameter lines as parsed, in the descriptor's encoding; a child's parent hint.
TEST_F(VmdkMaintain, DescriptorSettingsAreThoseOfTheText)
{
    WriteFile(dir.file("f-flat.vmdk"), std::vector<uint8_t>(2048 * 512, 0));
    const std::string text =
        "# Disk DescriptorFile\nversion=1\nencoding=\"Shift_JIS\"\n"
        "CID=fffffffe\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n"
        "RW 2048 FLAT \"f-flat.vmdk\" 0\n\n"
        "ddb.adapterType = \"buslogic\"\nddb.geometry.cylinders = \"2\"\n"
        "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"64\"\n"
        "ddb.uuid = \"60 00 c2 9a\"\n";
    const std::string path = dir.file("f.vmdk");
    WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    {
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        VmdkDescriptorSettings s;
        Vmdk_GetDescriptorSettings(image.Image(), &s);
        EXPECT_EQ(s.encodingChoice, VMDK_ENCODING_SHIFT_JIS);
        EXPECT_EQ(s.textEncoding, static_cast<TextEncoding>(TEXT_ENC_SJIS));
        EXPECT_EQ(s.adapter, VMDK_ADAPTER_BUSLOGIC);
        EXPECT_EQ(s.cylinders, 2u);
        EXPECT_EQ(s.heads, 16u);
        EXPECT_EQ(s.sectorsPerTrack, 64u);
        EXPECT_TRUE(s.hasUuid);
        EXPECT_EQ(std::string((const char*)s.uuid.data, s.uuid.length), "60 00 c2 9a");
        EXPECT_EQ(s.parentFileNameHint.length, 0u);
    }

    std::string base, child;
    std::vector<uint8_t> expected;
    MakeQemuChild(dir, 4096, &base, &child, &expected);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(child), DISK_OK);
    VmdkDescriptorSettings s;
    Vmdk_GetDescriptorSettings(image.Image(), &s);
    EXPECT_FALSE(s.hasUuid);
    EXPECT_EQ(s.encodingChoice, VMDK_ENCODING_NONE);
    EXPECT_EQ(std::string((const char*)s.parentFileNameHint.data, s.parentFileNameHint.length),
              "base.vmdk");
}
