// Parallels bundles: writer round trips ("Compressed" and "Plain", one and several storages,
// totals that are not a multiple of the block), the descriptor checked by xmllint and the data
// files by qemu-img, the ways of naming a bundle, a two-snapshot bundle whose leaf reads as the
// root plus the delta, chains that loop, and compaction of a bundle in place.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "foundation/refusal.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/used_map.h"

using testsupport::HaveTool;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kGuid = "{5fbaabe3-6958-40ff-92a7-860e329aab41}";

std::vector<uint8_t> Content(uint64_t sectors, uint32_t seed)
{
    std::vector<uint8_t> d = testsupport::RandomBytes(sectors * 512, seed);
    for (uint64_t s = 0; s < sectors; s++)
        if ((s / 50) % 3 == 1) std::memset(d.data() + s * 512, 0, 512);
    return d;
}

struct Raw {
    DiskHandle h;
    Raw(const std::string& path, uint32_t heads, uint32_t spt)
    {
        DiskGeometry g = {};
        g.heads = heads;
        g.sectors_per_track = spt;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, ReadFile(path).size() / 512);
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
    // Odd piece sizes, so that reads cross storage boundaries.
    for (uint64_t off = 0; off < out.size(); off += 77 * 512) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(77 * 512, out.size() - off));
        EXPECT_EQ(Disk_Read(d, off, n, out.data() + off), DISK_OK);
    }
    return out;
}

std::string ReadText(const std::string& path)
{
    std::vector<uint8_t> b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

void WriteText(const std::string& path, const std::string& text)
{
    WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

ParallelsBundleCreateOptions Options(bool compressed, uint32_t split, uint32_t extra = 0)
{
    ParallelsBundleCreateOptions o;
    o.compressed = compressed ? 1 : 0;
    o.splitSectors = split;
    o.extra = extra;
    return o;
}

TEST(ParallelsBundle, WriterRoundTrips)
{
    TempDir dir;
    // 4 heads, 17 sectors: blocks of 34 sectors; 1000 sectors is no multiple of it.
    const std::vector<uint8_t> data = Content(1000, 21);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"), 4, 17);
    struct Case {
        bool compressed;
        uint32_t split;
        size_t storages;
    } cases[] = {{true, 0, 1}, {false, 0, 1}, {true, 300, 4}, {false, 340, 3}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        const std::string b = dir.file("b" + std::to_string(n++) + ".hdd");
        const ParallelsBundleCreateOptions o = Options(c.compressed, c.split);
        ASSERT_EQ(ParallelsBundle_Create(b.c_str(), &src.h, nullptr, nullptr, nullptr, &o),
                  DISK_OK);
        const std::string name = b.substr(b.rfind('/') + 1);
        const std::string desc = ReadText(b + "/DiskDescriptor.xml");
        EXPECT_NE(desc.find("<File>" + name + ".0." + kGuid + ".hds</File>"), std::string::npos)
            << desc;
        EXPECT_NE(desc.find("<Blocksize>34</Blocksize>"), std::string::npos);
        EXPECT_NE(desc.find("<Disk_size>1000</Disk_size>"), std::string::npos);
        EXPECT_NE(desc.find(c.compressed ? "<Type>Compressed</Type>" : "<Type>Plain</Type>"),
                  std::string::npos);
        EXPECT_EQ(ReadFile(b + "/" + name).size(), 0u);
        if (HaveTool("xmllint")) {
            std::string log;
            EXPECT_EQ(
                RunCommand("xmllint --noout " + Quote(b + "/DiskDescriptor.xml") + " 2>&1", &log),
                0)
                << log;
        }
        // The directory, the marker file and the descriptor all open the same bundle.
        for (const std::string& p : {b, b + "/" + name, b + "/DiskDescriptor.xml"}) {
            DiskHandle h;
            Disk_Init(&h);
            ASSERT_EQ(Disk_Open(&h, p.c_str(), true), DISK_OK) << p;
            EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_PARALLELS_BUNDLE);
            const ParallelsBundle* bundle = static_cast<const ParallelsBundle*>(h.object);
            EXPECT_EQ(bundle->storageCount, c.storages);
            EXPECT_TRUE(ReadAll(&h) == data);
            EXPECT_FALSE(Disk_HasParent(&h));
            EXPECT_EQ(Disk_CanCompact(&h), c.compressed);
            Disk_Close(&h);
        }
        // qemu-img reads the compressed data files of storages.
        if (c.compressed && HaveTool("qemu-img")) {
            const uint32_t size = c.split == 0 ? 1000 : c.split / 34 * 34;
            const std::string first = b + "/" + name + ".0." + kGuid + ".hds";
            std::string log;
            ASSERT_EQ(RunCommand("qemu-img convert -f parallels -O raw " + Quote(first) + " " +
                                     Quote(dir.file("q.raw")) + " 2>&1",
                                 &log),
                      0)
                << log;
            const std::vector<uint8_t> q = ReadFile(dir.file("q.raw"));
            ASSERT_EQ(q.size(), size * 512u);
            EXPECT_TRUE(std::equal(q.begin(), q.end(), data.begin()));
        }
    }
}

TEST(ParallelsBundle, SplitBelowOneBlockAndExtraBase)
{
    TempDir dir;
    const std::vector<uint8_t> data = Content(200, 2);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"), 2, 10);  // blocks of 10 sectors
    ParallelsBundleCreateOptions o = Options(true, 9);
    EXPECT_EQ(
        ParallelsBundle_Create(dir.file("x.hdd").c_str(), &src.h, nullptr, nullptr, nullptr, &o),
        DISK_ERR_ARG);
    // A non-zero base is the Padding of the descriptor and the disk grows by one block.
    o = Options(true, 0, 3);
    const std::string b = dir.file("y.hdd");
    ASSERT_EQ(ParallelsBundle_Create(b.c_str(), &src.h, nullptr, nullptr, nullptr, &o), DISK_OK);
    EXPECT_NE(ReadText(b + "/DiskDescriptor.xml").find("<Padding>3</Padding>"), std::string::npos);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, b.c_str(), true), DISK_OK);
    std::vector<uint8_t> expect = data;
    expect.resize(data.size() + 10 * 512, 0);
    EXPECT_TRUE(ReadAll(&h) == expect);
    Disk_Close(&h);
}

// The most data files a bundle may have: one more is refused before anything is written; the
// most, under a long bundle name, fit the descriptor and the bundle opens again even where the
// soft limit of open files is lower than its data files (the reader raises it).
TEST(ParallelsBundle, DataFileCountIsBoundedAndEveryFileOpens)
{
    TempDir dir;
    const uint32_t most = PARALLELS_BUNDLE_MAX_STORAGES;
    const std::vector<uint8_t> data = Content(most + 1, 4);
    WriteFile(dir.file("src.raw"), data);
    {
        Raw src(dir.file("src.raw"), 1, 1);  // blocks of one sector
        ParallelsBundleCreateOptions o = Options(false, 1);
        const std::string refused = dir.file("refused.hdd");
        EXPECT_EQ(ParallelsBundle_Create(refused.c_str(), &src.h, nullptr, nullptr, nullptr, &o),
                  DISK_ERR_ARG);
        EXPECT_FALSE(Os_PathExists(refused.c_str()));
    }
    WriteFile(dir.file("src.raw"), std::vector<uint8_t>(data.begin(), data.begin() + most * 512));
    Raw src(dir.file("src.raw"), 1, 1);
    ParallelsBundleCreateOptions o = Options(false, 1);
    const std::string b = dir.file(std::string(200, 'n') + ".hdd");
    ASSERT_EQ(ParallelsBundle_Create(b.c_str(), &src.h, nullptr, nullptr, nullptr, &o), DISK_OK);
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        struct rlimit limit;
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < most + 100) _exit(3);
        limit.rlim_cur = 256;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
        DiskHandle h;
        Disk_Init(&h);
        if (Disk_Open(&h, b.c_str(), true) != DISK_OK) _exit(1);
        const bool same =
            ReadAll(&h) == std::vector<uint8_t>(data.begin(), data.begin() + most * 512);
        Disk_Close(&h);
        _exit(same ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "the hard limit of open files is too low here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A bundle with the root snapshot and a child whose data file holds one changed block.
struct TwoSnapshots {
    TempDir dir;
    std::string bundle;
    std::vector<uint8_t> base, leaf;
    const std::string child = "{AAAAAAAA-1111-2222-3333-444444444444}";

    TwoSnapshots()
    {
        base = Content(400, 8);
        WriteFile(dir.file("base.raw"), base);
        Raw src(dir.file("base.raw"), 2, 10);
        bundle = dir.file("s.hdd");
        const ParallelsBundleCreateOptions o = Options(true, 0);
        EXPECT_EQ(ParallelsBundle_Create(bundle.c_str(), &src.h, nullptr, nullptr, nullptr, &o),
                  DISK_OK);
        std::vector<uint8_t> delta(base.size(), 0);
        for (size_t i = 30 * 512; i < 40 * 512; i++) delta[i] = 0xC3;
        WriteFile(dir.file("delta.raw"), delta);
        Raw d(dir.file("delta.raw"), 2, 10);
        EXPECT_EQ(ParallelsData_Create((bundle + "/child.hds").c_str(), &d.h, nullptr, 0, 400, 0,
                                       nullptr, nullptr, 400),
                  DISK_OK);
        leaf = base;
        std::memcpy(leaf.data() + 30 * 512, delta.data() + 30 * 512, 10 * 512);
        std::string text = ReadText(bundle + "/DiskDescriptor.xml");
        const std::string image = "<Image><GUID>" + child +
                                  "</GUID><Type>Compressed</Type><File>child.hds</File></Image>";
        text.replace(text.find("</Storage>"), 0, image);
        const std::string shot =
            "<Shot><GUID>" + child + "</GUID><ParentGUID>" + kGuid + "</ParentGUID></Shot>";
        text.replace(text.find("</Snapshots>"), 0, shot);
        WriteText(bundle + "/DiskDescriptor.xml", text);
    }
};

TEST(ParallelsBundle, LeafSnapshotReadsTheRootPlusTheDelta)
{
    TwoSnapshots t;
    if (HaveTool("xmllint")) {
        EXPECT_EQ(RunCommand("xmllint --noout " + Quote(t.bundle + "/DiskDescriptor.xml")), 0);
    }
    DiskHandle h;
    Disk_Init(&h);
    // Two snapshots: a snapshot must be named.
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenParallelsBundle(&h, t.bundle.c_str(), true), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "Parallels descriptor: not a single snapshot without a parent");
    // The child's GUID in other letter case names the same snapshot.
    std::string lower = t.child;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    ASSERT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, lower.c_str()), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == t.leaf);
    EXPECT_TRUE(Disk_HasParent(&h));
    bool empty = true;
    ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 10, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);  // stored in the root only
    bool unallocated = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 10, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    Disk_Close(&h);
    ASSERT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, kGuid.c_str()), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == t.base);
    EXPECT_FALSE(Disk_CanCompact(&h));  // the root has a child
    Disk_Close(&h);
    EXPECT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, "{nothing}"), DISK_ERR_FORMAT);

    // The snapshot list agrees with the open about the GUIDs.
    ParallelsSnapshotList list;
    ASSERT_EQ(ParallelsBundle_ReadSnapshotList(&list, t.bundle.c_str()), DISK_OK);
    ASSERT_EQ(list.count, 2u);
    EXPECT_TRUE(Parallels_GuidEquals(list.parents[1], list.guids[0]));
    ParallelsBundle_FreeSnapshotList(&list);
}

TEST(ParallelsBundle, CrookedDescriptorsAreRefused)
{
    TwoSnapshots t;
    const std::string path = t.bundle + "/DiskDescriptor.xml";
    const std::string good = ReadText(path);
    auto replace = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        s.replace(at, from.size(), to);
        return s;
    };
    const char* const kLoop = "Parallels descriptor: unknown snapshot or a loop of parents";
    struct Bad {
        const char* what;
        std::string text;
        const char* reason;
    } bad[] = {
        // The root's parent points at the child: a loop that never reaches the null GUID.
        {"loop", replace("{00000000-0000-0000-0000-000000000000}", t.child), kLoop},
        {"disk larger than the storages",
         replace("<Disk_size>400</Disk_size>", "<Disk_size>401</Disk_size>"),
         "Parallels descriptor: storages do not cover the disk"},
        {"storage not starting at 0", replace("<Start>0</Start>", "<Start>1</Start>"),
         "Parallels descriptor: storages do not follow each other"},
        {"not a number", replace("<Heads>2</Heads>", "<Heads>two</Heads>"),
         "Parallels descriptor: a required element is missing or not a number"},
        {"unknown type", replace("<Type>Compressed</Type>", "<Type>Sparse</Type>"),
         "Parallels descriptor: unknown image type"},
        {"too short", std::string("<Parallels_disk_image/>"),
         "Parallels descriptor: file size out of range"},
        {"no XML", std::string(200, 'x'), "Parallels descriptor: not an XML document"},
    };
    for (const Bad& b : bad) {
        WriteText(path, b.text);
        DiskHandle h;
        Disk_Init(&h);
        Refusal_Clear();
        EXPECT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, t.child.c_str()),
                  DISK_ERR_FORMAT)
            << b.what;
        EXPECT_STREQ(Refusal_Get(), b.reason) << b.what;
        EXPECT_EQ(h.object, nullptr);
    }
    // A self-parent also ends.
    WriteText(path, replace("<ParentGUID>{00000000-0000-0000-0000-000000000000}</ParentGUID>",
                            "<ParentGUID>" + kGuid + "</ParentGUID>"));
    DiskHandle h;
    Disk_Init(&h);
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, kGuid.c_str()),
              DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), kLoop);
    // The sound descriptor opens again after the refusals.
    WriteText(path, good);
    ASSERT_EQ(Disk_OpenParallelsSnapshot(&h, t.bundle.c_str(), true, t.child.c_str()), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == t.leaf);
    Disk_Close(&h);
}

TEST(ParallelsBundle, CompactionDropsZeroBlocksInPlace)
{
    TempDir dir;
    std::vector<uint8_t> data = Content(300, 5);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"), 2, 10);
    const std::string b = dir.file("c.hdd");
    const ParallelsBundleCreateOptions o = Options(true, 100);
    ASSERT_EQ(ParallelsBundle_Create(b.c_str(), &src.h, nullptr, nullptr, nullptr, &o), DISK_OK);
    // Zero the first stored block of the first data file behind the writer's back.
    const std::string first = b + "/c.hdd.0." + kGuid + ".hds";
    std::vector<uint8_t> f = ReadFile(first);
    uint32_t entry = 0;
    std::memcpy(&entry, f.data() + 64, 4);
    ASSERT_NE(entry, 0u);
    std::memset(f.data() + entry * 512ull, 0, 10 * 512);
    WriteFile(first, f);
    std::memset(data.data(), 0, 10 * 512);
    const size_t before = f.size();

    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, b.c_str(), false), DISK_OK);
    ASSERT_TRUE(Disk_CanCompact(&h));
    OutputList list;
    OutputList_Init(&list);
    ASSERT_EQ(ParallelsBundle_Compact(nullptr, &h, nullptr, &list, false, nullptr, nullptr),
              DISK_OK);
    EXPECT_EQ(list.count, 7u);  // three data files, the descriptor, three old data files
    Disk_Close(&h);
    ASSERT_EQ(ParallelsBundle_CommitCompact(&list, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                            OUTPUT_COMMIT_REMOVE_REPLACED),
              DISK_OK);
    // Every data file was written under a fresh name that the descriptor now gives; the old
    // files and the old descriptor are gone.
    const std::string compacted = b + "/c.hdd.0." + kGuid + "~1.hds";
    EXPECT_EQ(ReadFile(compacted).size(), before - 10 * 512);
    EXPECT_FALSE(Os_PathExists(first.c_str()));
    EXPECT_FALSE(Os_PathExists((b + "/DiskDescriptor.xml_del").c_str()));
    const std::vector<uint8_t> text = ReadFile(b + "/DiskDescriptor.xml");
    EXPECT_NE(
        std::string(text.begin(), text.end()).find("<File>c.hdd.2." + kGuid + "~1.hds</File>"),
        std::string::npos);
    ASSERT_EQ(Disk_Open(&h, b.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == data);
    Disk_Close(&h);

    // Compacted again keeping the backup: the fresh names go back to the first ones, and the old
    // descriptor stays beside its data files, a whole bundle of its own.
    ASSERT_EQ(Disk_Open(&h, b.c_str(), false), DISK_OK);
    ASSERT_EQ(ParallelsBundle_Compact(b.c_str(), &h, nullptr, &list, false, nullptr, nullptr),
              DISK_OK);
    Disk_Close(&h);
    ASSERT_EQ(ParallelsBundle_CommitCompact(&list, Path_DeleteSuffix(TEXT_ENC_UTF8), 0), DISK_OK);
    EXPECT_TRUE(Os_PathExists(first.c_str()));
    EXPECT_TRUE(Os_PathExists(compacted.c_str()));
    ASSERT_EQ(Disk_Open(&h, b.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == data);
    Disk_Close(&h);
    ASSERT_EQ(Disk_Open(&h, (b + "/DiskDescriptor.xml_del").c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == data);
    Disk_Close(&h);
    // A third time, replacing that backup: the data files only the replaced backup named go.
    ASSERT_EQ(Disk_Open(&h, b.c_str(), false), DISK_OK);
    ASSERT_EQ(ParallelsBundle_Compact(b.c_str(), &h, nullptr, &list, false, nullptr, nullptr),
              DISK_OK);
    Disk_Close(&h);
    EXPECT_EQ(ParallelsBundle_CommitCompact(&list, Path_DeleteSuffix(TEXT_ENC_UTF8), 0),
              DISK_ERR_BACKUP_EXISTS);
    ASSERT_EQ(Disk_Open(&h, b.c_str(), false), DISK_OK);
    ASSERT_EQ(ParallelsBundle_Compact(b.c_str(), &h, nullptr, &list, false, nullptr, nullptr),
              DISK_OK);
    Disk_Close(&h);
    ASSERT_EQ(ParallelsBundle_CommitCompact(&list, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                            OUTPUT_COMMIT_REPLACE_BACKUP),
              DISK_OK);
    EXPECT_FALSE(Os_PathExists(compacted.c_str()));
    EXPECT_TRUE(Os_PathExists(first.c_str()));
    EXPECT_TRUE(Os_PathExists((b + "/c.hdd.0." + kGuid + "~2.hds").c_str()));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(b))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names.size(), 9u) << ::testing::PrintToString(
        names);  // marker, two descriptors, 3 + 3 data files
    ASSERT_EQ(Disk_Open(&h, b.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(&h) == data);
    Disk_Close(&h);
}

// A bundle is named by its directory, with or without a trailing separator, whatever the
// directory's name.
TEST(ParallelsBundle, OpensByItsDirectoryWithOrWithoutTheSeparator)
{
    TempDir dir;
    const std::vector<uint8_t> data = Content(600, 8);
    WriteFile(dir.file("src.raw"), data);
    Raw src(dir.file("src.raw"), 4, 17);
    for (const char* bundleName : {"vm.hdd", "bundle"}) {
        const std::string name = bundleName;
        const std::string b = dir.file(name);
        const ParallelsBundleCreateOptions o = Options(true, 0);
        // The writer takes the path with its separator as well.
        ASSERT_EQ(ParallelsBundle_Create((b + "/").c_str(), &src.h, nullptr, nullptr, nullptr, &o),
                  DISK_OK);
        EXPECT_TRUE(Os_PathExists((b + "/" + name + ".0." + kGuid + ".hds").c_str()));
        for (const std::string& p : {b, b + "/", b + "//"}) {
            for (bool readOnly : {true, false}) {
                DiskHandle h;
                Disk_Init(&h);
                ASSERT_EQ(Disk_Open(&h, p.c_str(), readOnly), DISK_OK) << p;
                EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_PARALLELS_BUNDLE);
                EXPECT_TRUE(ReadAll(&h) == data);
                Disk_Close(&h);
            }
        }
    }
    // A directory that holds no bundle stays a file that cannot be opened.
    ASSERT_TRUE(Os_MakeDirectory(dir.file("empty").c_str()));
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_Open(&h, (dir.file("empty") + "/").c_str(), true), DISK_ERR_OPEN);
    EXPECT_EQ(h.object, nullptr);
}

// ---- Free space is not copied --------------------------------------------------------------------
// A FAT volume in an MBR partition holds a kept file and a deleted one; with the used-sector
// map every writer leaves the deleted file's content out, and the plain data file leaves its
// free space as holes.

bool Contains(const std::vector<uint8_t>& hay, const std::string& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Every regular file below `path` (one level: a file or a bundle directory).
std::vector<std::string> OutputFiles(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode)) return {path};
    std::string list;
    RunCommand("find " + Quote(path) + " -type f", &list);
    std::vector<std::string> files;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find('\n', at);
        if (end == std::string::npos) end = list.size();
        if (end > at) files.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return files;
}

TEST(ParallelsBundle, DeletedFileContentIsInNoOutput)
{
    for (const char* tool : {"sfdisk", "mkfs.vfat", "mcopy", "mdel"})
        if (!HaveTool(tool)) GTEST_SKIP() << tool << " missing";
    TempDir dir;
    const std::string disk = dir.file("disk.raw"), part = dir.file("part.img");
    const std::string kept = "KEPT-FILE-MARKER", gone = "DELETED-FILE-MARKER";
    std::string keptText, goneText;
    while (keptText.size() < 96 * 1024)
        keptText += kept + "-" + std::to_string(keptText.size()) + "\n";
    while (goneText.size() < 96 * 1024)
        goneText += gone + "-" + std::to_string(goneText.size()) + "\n";
    WriteText(dir.file("kept.txt"), keptText);
    WriteText(dir.file("gone.txt"), goneText);
    std::string log;
    ASSERT_EQ(
        RunCommand("truncate -s 16M " + Quote(disk) + " && echo 'start=2048, type=6' | sfdisk -q " +
                       Quote(disk) + " && truncate -s 15M " + Quote(part) + " && mkfs.vfat -F 16 " +
                       Quote(part) + " >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(part) +
                       " " + Quote(dir.file("gone.txt")) + " " + Quote(dir.file("kept.txt")) +
                       " ::/ && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(part) +
                       " ::/gone.txt && dd if=" + Quote(part) + " of=" + Quote(disk) +
                       " bs=512 seek=2048 conv=notrunc status=none 2>&1",
                   &log),
        0)
        << log;
    // The deleted file's clusters still hold its text.
    ASSERT_TRUE(Contains(ReadFile(disk), gone));
    Raw src(disk, 16, 63);
    int rc = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&src.h, &rc, &known);
    ASSERT_EQ(rc, DISK_OK);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(known, 1u);

    struct Out {
        const char* name;
        int kind;  // 0 plain bundle, 1 compressed bundle, 2 single file
        uint32_t split;
    } outs[] = {{"plain.hdd", 0, 0},
                {"plainparts.hdd", 0, 10000},
                {"compressed.hdd", 1, 0},
                {"single.hdd", 2, 0}};
    for (const Out& o : outs) {
        SCOPED_TRACE(o.name);
        const std::string path = dir.file(o.name);
        if (o.kind == 2) {
            ASSERT_EQ(Parallels_Create(path.c_str(), &src.h, map, nullptr, nullptr, 0), DISK_OK);
        } else {
            const ParallelsBundleCreateOptions opt = Options(o.kind == 1, o.split);
            ASSERT_EQ(ParallelsBundle_Create(path.c_str(), &src.h, map, nullptr, nullptr, &opt),
                      DISK_OK);
        }
        bool keptFound = false;
        for (const std::string& f : OutputFiles(path)) {
            const std::vector<uint8_t> bytes = ReadFile(f);
            EXPECT_FALSE(Contains(bytes, gone)) << f;
            keptFound = keptFound || Contains(bytes, kept);
        }
        EXPECT_TRUE(keptFound) << "the kept file is written";
        // The disk reads back: the kept file's text is where the source has it.
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, path.c_str(), true), DISK_OK);
        const std::vector<uint8_t> back = ReadAll(&h);
        Disk_Close(&h);
        const std::vector<uint8_t> source = ReadFile(disk);
        const auto at = std::search(source.begin(), source.end(), kept.begin(), kept.end());
        ASSERT_NE(at, source.end());
        const size_t offset = static_cast<size_t>(at - source.begin());
        ASSERT_GE(back.size(), offset + keptText.size());
        EXPECT_TRUE(std::equal(keptText.begin(), keptText.end(), back.begin() + offset));
        EXPECT_FALSE(Contains(back, gone));
    }
    // The plain data file keeps the free space as holes where the file system has them.
    const std::string probe = dir.file("probe");
    RunCommand("truncate -s 8M " + Quote(probe));
    struct stat ps;
    if (stat(probe.c_str(), &ps) == 0 && ps.st_blocks == 0) {
        const std::string plain = dir.file("plain.hdd") + "/plain.hdd.0." + kGuid + ".hds";
        struct stat st;
        ASSERT_EQ(stat(plain.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), 16u * 1024 * 1024);
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 4u * 1024 * 1024);
    }
    UsedMap_Destroy(map);
    Mem_Free(map);
}

}  // namespace
