// qcow2 compaction, overlays and backing names, judged by qemu-img.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "formats/qcow2/qcow2_maintain.h"
#include "foundation/refusal.h"
#include "qcow2_test_util.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint32_t kDiskBytes = 4 * 1024 * 1024;

std::string Check(const std::string& image, const std::string& opts = "-f qcow2 ")
{
    std::string out;
    int rc = RunCommand("qemu-img check " + opts + Quote(image) + " 2>&1", &out);
    return rc == 0 ? "" : out;
}

// Compacts the image in place as the trim does, keeping the old file as "_del".
int CompactInPlace(const std::string& image, const uint8_t* key = nullptr)
{
    Handle h;
    int r = key ? Disk_OpenQcow2WithKey(h, image.c_str(), true, key, 16, 0)
                : Disk_Open(h, image.c_str(), true);
    if (r != 0) return r;
    OutputFile out;
    r = Qcow2_Compact(image.c_str(), h, nullptr, &out, false, nullptr, nullptr, key);
    Disk_Close(h);
    if (r != 0) {
        Qcow2_DiscardCompact(&out);
        return r;
    }
    static const uint8_t kDel[] = "_del";
    return Qcow2_CommitCompact(&out, TextView{kDel, 4}, OUTPUT_COMMIT_REPLACE_BACKUP);
}

TEST(Qcow2Compact, ResizedImagesKeepTheirContentAndCheckClean)
{
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 21));
    for (const char* compat : {"0.10", "1.1"}) {
        SCOPED_TRACE(compat);
        const std::string image = dir.file(std::string("resized-") + compat + ".qcow2");
        Shell(std::string("qemu-img convert -f raw -O qcow2 -o compat=") + compat +
              ",cluster_size=4096 " + Quote(raw) + " " + Quote(image));
        // Growing the disk moves the L1 table away from where a new layout puts it.
        Shell("qemu-img resize -f qcow2 " + Quote(image) + " 40M");
        std::vector<uint8_t> before = QemuRaw(dir, image);
        const size_t sizeBefore = testsupport::ReadFile(image).size();
        ASSERT_EQ(CompactInPlace(image), 0);
        EXPECT_EQ(Check(image), "");
        EXPECT_TRUE(QemuRaw(dir, image) == before);
        EXPECT_LE(testsupport::ReadFile(image).size(), sizeBefore);
        EXPECT_EQ(RunCommand("qemu-img info -f qcow2 " + Quote(image) +
                             " | grep -q 'compat: " + compat + "'"),
                  0);
    }
}

TEST(Qcow2Compact, ChildrenKeepZeroClustersThatHideTheirBase)
{
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 22));
    const std::string base = dir.file("base.qcow2"), child = dir.file("child.qcow2");
    Shell("qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " + Quote(base));
    Shell("qemu-img create -f qcow2 -b base.qcow2 -F qcow2 " + Quote(child));
    // Zeros written over the base's data, and zeros as zero clusters.
    Shell("qemu-io -f qcow2 -c 'write -P 0 0 256k' -c 'write -z 1M 256k' -c 'write -P 7 2M 4k' " +
          Quote(child));
    std::vector<uint8_t> before = QemuRaw(dir, child);
    ASSERT_EQ(CompactInPlace(child), 0);
    EXPECT_EQ(Check(child), "");
    EXPECT_TRUE(QemuRaw(dir, child) == before);
    std::string info;
    RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
    EXPECT_NE(info.find("backing file: base.qcow2"), std::string::npos) << info;
}

TEST(Qcow2Compact, EncryptedImagesNeedTheKeyAndStayEncrypted)
{
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 23));
    const std::string image = dir.file("aes.qcow2");
    Shell("qemu-img convert " + SecretObject("secret") + " -f raw -O qcow2 -o " +
          "encrypt.format=aes,encrypt.key-secret=s " + Quote(raw) + " " + Quote(image));
    const uint8_t key[16] = {'s', 'e', 'c', 'r', 'e', 't'};
    {
        Handle h;
        ASSERT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), true, key, 16, 0), 0);
        OutputFile out;
        EXPECT_EQ(Qcow2_Compact(image.c_str(), h, nullptr, &out, false, nullptr, nullptr, nullptr),
                  DISK_ERR_PASSWORD);
        Qcow2_DiscardCompact(&out);
    }
    ASSERT_EQ(CompactInPlace(image, key), 0);
    const std::string opts = SecretObject("secret") +
                             " --image-opts driver=qcow2,file.filename=" + image +
                             ",encrypt.key-secret=s";
    EXPECT_EQ(Check("", opts), "");
    EXPECT_TRUE(QemuRaw(dir, "", opts) == testsupport::ReadFile(raw));
}

TEST(Qcow2Compact, ImagesWithSnapshotsAreRefused)
{
    TempDir dir;
    const std::string image = dir.file("snap.qcow2");
    Shell("qemu-img create -f qcow2 " + Quote(image) + " 4M");
    Shell("qemu-img snapshot -c s " + Quote(image));
    Handle h;
    ASSERT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), true, nullptr, 0, false, false, 0, 0), 0);
    EXPECT_FALSE(Disk_CanCompact(h));
    OutputFile out;
    EXPECT_EQ(Qcow2_Compact(image.c_str(), h, nullptr, &out, false, nullptr, nullptr, nullptr),
              DISK_ERR_ARG);
}

TEST(Qcow2Overlay, OverlaysOfVersion2And3BasesCheckCleanAndReadTheBase)
{
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 24));
    for (const char* compat : {"0.10", "1.1"}) {
        SCOPED_TRACE(compat);
        const std::string base = dir.file(std::string("base-") + compat + ".qcow2");
        Shell(std::string("qemu-img convert -f raw -O qcow2 -o compat=") + compat + " " +
              Quote(raw) + " " + Quote(base));
        // A version 2 base of qemu carries a backing-format extension of its own.
        const std::string child = dir.file(std::string("child-") + compat + ".qcow2");
        Handle h;
        ASSERT_EQ(Disk_Open(h, base.c_str(), true), 0);
        ASSERT_EQ(Qcow2_CreateOverlay(h, base.c_str(), child.c_str(), false), 0);
        EXPECT_EQ(Check(child), "");
        std::string info;
        RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
        EXPECT_NE(info.find("backing file: base-"), std::string::npos) << info;
        EXPECT_EQ(
            RunCommand("qemu-img compare -f qcow2 -F qcow2 " + Quote(child) + " " + Quote(base)),
            0);
        Shell("qemu-io -f qcow2 -c 'write -P 9 64k 64k' " + Quote(child));
        EXPECT_EQ(Check(child), "");
    }
    // In another directory the base is named relative to the overlay.
    Shell("mkdir -p " + Quote(dir.file("sub")));
    const std::string base = dir.file("base-1.1.qcow2"), child = dir.file("sub/child.qcow2");
    Handle h;
    ASSERT_EQ(Disk_Open(h, base.c_str(), true), 0);
    ASSERT_EQ(Qcow2_CreateOverlay(h, base.c_str(), child.c_str(), false), 0);
    std::string info;
    RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
    EXPECT_NE(info.find("backing file: ../base-1.1.qcow2"), std::string::npos) << info;
    EXPECT_EQ(RunCommand("qemu-img compare -f qcow2 -F qcow2 " + Quote(child) + " " + Quote(base)),
              0);
}

TEST(Qcow2Overlay, BackingNamesChangeInPlaceWhileTheyFit)
{
    TempDir dir;
    const std::string base = dir.file("b.qcow2"), child = dir.file("c.qcow2");
    Shell("qemu-img create -f qcow2 -o cluster_size=512 " + Quote(base) + " 1M");
    Shell("qemu-img create -f qcow2 -o cluster_size=512 -b b.qcow2 -F qcow2 " + Quote(child));
    Qcow2Image* image = Qcow2_Alloc();
    ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), false, QCOW2_BACKING_IGNORE), 0);
    Qcow2NameBuffer name;
    ASSERT_EQ(Qcow2_ReadBackingName(image, &name), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name.data), name.length), "b.qcow2");
    Mem_Free(name.data);
    const uint64_t room = 512 - image->header.backingNameOffset % 512;
    std::string tooLong(room + 1, 'x');
    EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(tooLong.data()),
                                                   uint32_t(tooLong.size())}),
              DISK_ERR_ARG);
    const std::string renamed = "./b.qcow2";
    EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(renamed.data()),
                                                   uint32_t(renamed.size())}),
              0);
    Qcow2_Close(image);
    Mem_Free(image);
    std::string info;
    RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
    EXPECT_NE(info.find("backing file: ./b.qcow2"), std::string::npos) << info;
    EXPECT_EQ(Check(child), "");
}

// A backing name that lies far from the header (in a cluster of its own 4 MiB into the file,
// where qemu-img would not look for it) is changed too: beside the old one where both fit in its
// room (then the header switches to it), else in place; a new name longer than the old one that
// ends past the end of the file extends it.
TEST(Qcow2Overlay, ABackingNameFarFromTheHeaderChanges)
{
    const uint64_t far = 0x400000;
    const struct {
        const char* what;
        uint64_t at;       // where the old name "b.qcow2" lies
        uint64_t fileEnd;  // the file's length
        uint64_t newAt;    // where the new name "base2.qcow2" is expected
    } rows[] = {
        {"beside", far, far + 65536, far + 7},
        {"in place, room of 12 bytes", far + 65536 - 12, far + 65536, far + 65536 - 12},
        {"in place at the end of the file", far + 65536 - 12, far + 65536 - 5, far + 65536 - 12},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string base = dir.file("b.qcow2"), child = dir.file("c.qcow2");
        Shell("qemu-img create -q -f qcow2 " + Quote(base) + " 1M");
        Shell("cp " + Quote(base) + " " + Quote(dir.file("base2.qcow2")));
        Shell("qemu-img create -q -f qcow2 -b b.qcow2 -F qcow2 " + Quote(child));
        std::vector<uint8_t> bytes = testsupport::ReadFile(child);
        ASSERT_GT(far, bytes.size());
        bytes.resize(row.fileEnd, 0);
        const std::string old = "b.qcow2";
        std::memcpy(bytes.data() + row.at, old.data(), old.size());
        for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<uint8_t>(row.at >> (56 - 8 * i));
        testsupport::WriteFile(child, bytes);
        Qcow2Image* image = Qcow2_Alloc();
        ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), false, QCOW2_BACKING_IGNORE), 0);
        ASSERT_EQ(image->header.backingNameOffset, row.at);
        const std::string renamed = "base2.qcow2";
        EXPECT_EQ(
            Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(renamed.data()),
                                                 uint32_t(renamed.size())}),
            0);
        EXPECT_EQ(image->header.backingNameOffset, row.newAt);
        Qcow2_Close(image);
        Mem_Free(image);
        const std::vector<uint8_t> after = testsupport::ReadFile(child);
        ASSERT_GE(after.size(), row.newAt + renamed.size());
        EXPECT_EQ(
            std::string(after.begin() + row.newAt, after.begin() + row.newAt + renamed.size()),
            renamed);
        uint64_t offset = 0;
        for (int i = 0; i < 8; ++i) offset = offset << 8 | after[8 + i];
        EXPECT_EQ(offset, row.newAt);
        EXPECT_EQ(after[16] << 24 | after[17] << 16 | after[18] << 8 | after[19],
                  int(renamed.size()));
        // qemu-img takes only names inside the first cluster; this reader reads the new one.
        image = Qcow2_Alloc();
        ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), true, QCOW2_BACKING_IGNORE), 0);
        Qcow2NameBuffer name;
        ASSERT_EQ(Qcow2_ReadBackingName(image, &name), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(name.data), name.length), renamed);
        Mem_Free(name.data);
        Qcow2_Close(image);
        Mem_Free(image);
    }
}

TEST(Qcow2Overlay, EmptyAndOverLongBackingNamesWriteNothing)
{
    TempDir dir;
    const std::string base = dir.file("b.qcow2"), child = dir.file("c.qcow2");
    Shell("qemu-img create -f qcow2 " + Quote(base) + " 1M");
    Shell("qemu-img create -f qcow2 -b b.qcow2 -F qcow2 " + Quote(child));
    Shell("cp " + Quote(child) + " " + Quote(dir.file("orig")));
    Qcow2Image* image = Qcow2_Alloc();
    ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), false, QCOW2_BACKING_IGNORE), 0);
    // The 64 KiB cluster has room for both; the empty name would detach the base, and readers
    // refuse names over 1023 bytes.
    const std::string names[] = {std::string(), std::string(1024, 'x')};
    for (const std::string& n : names)
        EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(n.data()),
                                                       uint32_t(n.size())}),
                  DISK_ERR_ARG)
            << n.size();
    Qcow2_Close(image);
    Mem_Free(image);
    EXPECT_EQ(RunCommand("cmp -s " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
}

}  // namespace

namespace {

bool SameBytes(const std::string& a, const std::string& b)
{
    return RunCommand("cmp -s " + Quote(a) + " " + Quote(b)) == 0;
}

std::string Info(const std::string& image)
{
    std::string info;
    RunCommand("qemu-img info -f qcow2 " + Quote(image) + " 2>&1", &info);
    return info;
}

// The overlay never takes the place of its base or of a file below it, whatever the name it is
// given; another existing file is replaced only when the caller allows it.
TEST(Qcow2Overlay, TheBaseAndItsChainAreNeverReplaced)
{
    TempDir dir;
    const std::string raw = dir.file("root.raw"), mid = dir.file("mid.qcow2"),
                      base = dir.file("base.qcow2");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 31));
    Shell("qemu-img create -q -f qcow2 -b root.raw -F raw " + Quote(mid));
    Shell("qemu-img create -q -f qcow2 -b mid.qcow2 -F qcow2 " + Quote(base));
    Shell("qemu-io -f qcow2 -c 'write -P 0x21 0 64k' " + Quote(base));
    Shell("mkdir -p " + Quote(dir.file("sub")) + " && ln " + Quote(base) + " " +
          Quote(dir.file("hard.qcow2")) + " && ln -s base.qcow2 " + Quote(dir.file("soft.qcow2")) +
          " && ln -s mid.qcow2 " + Quote(dir.file("soft-mid.qcow2")));
    Shell("cd " + Quote(dir.path()) + " && tar cf " + Quote(dir.file("before.tar")) +
          " root.raw mid.qcow2 base.qcow2");
    const std::string names[] = {base,
                                 dir.file("sub/../base.qcow2"),
                                 dir.file("hard.qcow2"),
                                 dir.file("soft.qcow2"),
                                 mid,
                                 dir.file("soft-mid.qcow2"),
                                 raw};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Handle h;
        ASSERT_EQ(Disk_Open(h, base.c_str(), true), 0);
        EXPECT_EQ(Qcow2_CreateOverlay(h, base.c_str(), name.c_str(), false, true), DISK_ERR_ARG);
        EXPECT_EQ(
            RunCommand("cd " + Quote(dir.path()) + " && tar df " + Quote(dir.file("before.tar"))),
            0);
    }
    std::string listing;
    RunCommand("ls " + Quote(dir.path()), &listing);
    EXPECT_EQ(listing,
              "base.qcow2\nbefore.tar\nhard.qcow2\nmid.qcow2\nroot.raw\nsoft-mid.qcow2\nsoft."
              "qcow2\nsub\n");
}

TEST(Qcow2Overlay, AnExistingFileIsReplacedOnlyWhenAllowedAndALinkIsNotFollowed)
{
    TempDir dir;
    const std::string base = dir.file("base.qcow2");
    Shell("qemu-img create -q -f qcow2 " + Quote(base) +
          " 4M && qemu-io -f qcow2 -c 'write -P 0x42 0 4k' " + Quote(base));
    const std::string other = dir.file("other.qcow2"), target = dir.file("outside/target.bin"),
                      link = dir.file("link.qcow2");
    testsupport::WriteFile(other, std::vector<uint8_t>(1000, 0x77));
    Shell("mkdir " + Quote(dir.file("outside")));
    testsupport::WriteFile(target, std::vector<uint8_t>(1000, 0x66));
    Shell("ln -s outside/target.bin " + Quote(link) + " && cp " + Quote(other) + " " +
          Quote(dir.file("other.orig")) + " && cp " + Quote(target) + " " +
          Quote(dir.file("target.orig")));
    Handle h;
    ASSERT_EQ(Disk_Open(h, base.c_str(), true), 0);
    // Not allowed: refused, nothing touched.
    EXPECT_EQ(Qcow2_CreateOverlay(h, base.c_str(), other.c_str(), false, false), DISK_ERR_CREATE);
    EXPECT_EQ(Qcow2_CreateOverlay(h, base.c_str(), link.c_str(), false, false), DISK_ERR_CREATE);
    EXPECT_TRUE(SameBytes(other, dir.file("other.orig")));
    // Allowed: the file and the link are replaced by whole overlays; the link's target stays.
    for (const std::string& name : {other, link}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Qcow2_CreateOverlay(h, base.c_str(), name.c_str(), false, true), 0);
        EXPECT_EQ(Check(name), "");
        EXPECT_EQ(RunCommand("test ! -L " + Quote(name)), 0);
        EXPECT_EQ(
            RunCommand("qemu-img compare -q -f qcow2 -F qcow2 " + Quote(name) + " " + Quote(base)),
            0);
    }
    EXPECT_TRUE(SameBytes(target, dir.file("target.orig")));
    // A new name: nothing but the overlay is left beside the base.
    ASSERT_EQ(Qcow2_CreateOverlay(h, base.c_str(), dir.file("new.qcow2").c_str(), false), 0);
    std::string listing;
    RunCommand("ls " + Quote(dir.path()), &listing);
    EXPECT_EQ(listing,
              "base.qcow2\nlink.qcow2\nnew.qcow2\nother.orig\nother.qcow2\noutside\ntarget.orig\n");
}

// A backing name is changed only where it and the bytes the new one needs lie after the header
// and its extensions and clear of every table; otherwise nothing is written.
TEST(Qcow2Overlay, BackingNamesOverTheHeaderOrATableAreRefused)
{
    const struct {
        const char* what;
        uint64_t nameAt;    // 0: where qemu put it
        bool l1InCluster0;  // the L1 table moved to byte 512 of cluster 0
        int expected;
        const char* compat;
    } rows[] = {
        {"name in the header at 24", 24, false, DISK_ERR_ARG, "0.10"},
        {"name in the header at 48", 48, false, DISK_ERR_ARG, "0.10"},
        {"name in the version 3 header at 100", 100, false, DISK_ERR_ARG, "1.1"},
        {"name over the extensions", 80, false, DISK_ERR_ARG, "0.10"},
        {"name over the version 3 extensions", 120, false, DISK_ERR_ARG, "1.1"},
        {"new name reaching the L1 table", 0, true, DISK_ERR_ARG, "0.10"},
        {"nothing in the way", 0, false, DISK_OK, "0.10"},
        {"nothing in the way, version 3", 0, false, DISK_OK, "1.1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string base = dir.file("b.qcow2"), child = dir.file("c.qcow2");
        Shell("qemu-img create -q -f qcow2 " + Quote(base) + " 4M");
        // Version 2: header of 72 bytes, the backing format extension, the name at 96.
        Shell(std::string("qemu-img create -q -f qcow2 -o compat=") + row.compat +
              " -b b.qcow2 -F qcow2 " + Quote(child));
        Shell("qemu-io -f qcow2 -c 'write -P 0x13 0 4k' " + Quote(child));
        std::vector<uint8_t> bytes = testsupport::ReadFile(child);
        const uint64_t qemuNameAt = GetBe64(bytes, 8);
        if (std::string(row.compat) == "0.10") {
            ASSERT_EQ(qemuNameAt, 96u);
        }
        if (row.nameAt != 0) {
            // The old name's bytes where the offset now points (over whatever lies there).
            for (int i = 0; i < 8; ++i)
                bytes[8 + i] = static_cast<uint8_t>(row.nameAt >> (56 - 8 * i));
        }
        if (row.l1InCluster0) {
            const uint64_t l1 = GetBe64(bytes, 40);
            std::memcpy(bytes.data() + 512, bytes.data() + l1, 8);
            for (int i = 0; i < 8; ++i)
                bytes[40 + i] = static_cast<uint8_t>(uint64_t(512) >> (56 - 8 * i));
        }
        testsupport::WriteFile(child, bytes);
        Qcow2Image* image = Qcow2_Alloc();
        ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), false, QCOW2_BACKING_IGNORE), 0);
        const std::string name(1000, 'n');
        EXPECT_EQ(
            Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(name.data()),
                                                 uint32_t(name.size())}),
            row.expected);
        Qcow2_Close(image);
        Mem_Free(image);
        if (row.expected != DISK_OK) {
            EXPECT_TRUE(testsupport::ReadFile(child) == bytes);
        } else {
            EXPECT_EQ(GetBe64(testsupport::ReadFile(child), 8), qemuNameAt);
            EXPECT_NE(Info(child).find("backing file: " + name), std::string::npos);
        }
    }
}

// Tables shared between entries would be written once per entry: refused, the file unchanged.
TEST(Qcow2Compact, SharedTablesAreRefused)
{
    const struct {
        const char* what;
        bool
            sharedL2;  // every L1 entry names the first L2 table; else two L2 entries share a cluster
        const char* reason;
    } rows[] = {{"L1 entries sharing an L2 table", true,
                 "qcow2 L1 table: two entries name the same cluster"},
                {"L2 entries sharing a data cluster", false,
                 "qcow2 L2 table: cluster named twice or also a table"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string image = dir.file("alias.qcow2");
        // 4 KiB clusters: one L2 table covers 2 MiB, 512 L1 entries cover 1 GiB.
        Shell("qemu-img create -q -f qcow2 -o cluster_size=4096 " + Quote(image) + " 1G");
        Shell("qemu-io -f qcow2 -c 'write -P 0x31 0 4k' " + Quote(image));
        std::vector<uint8_t> bytes = testsupport::ReadFile(image);
        const uint64_t l1 = GetBe64(bytes, 40);
        const uint64_t l2 = GetBe64(bytes, l1) & 0x00FFFFFFFFFFFE00ull;
        if (row.sharedL2) {
            for (uint64_t i = 1; i < 512; ++i)
                std::memcpy(bytes.data() + l1 + i * 8, bytes.data() + l1, 8);
        } else {
            std::memcpy(bytes.data() + l2 + 8, bytes.data() + l2, 8);
        }
        testsupport::WriteFile(image, bytes);
        Refusal_Clear();
        EXPECT_EQ(CompactInPlace(image), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), row.reason);
        EXPECT_TRUE(testsupport::ReadFile(image) == bytes);
        std::string listing;
        RunCommand("ls " + Quote(dir.path()), &listing);
        EXPECT_EQ(listing, "alias.qcow2\n");
    }
}

// The compacted file keeps the header extensions still true of it (the backing format, the
// feature names) and drops those of the old layout (bitmaps) with their autoclear bits.
TEST(Qcow2Compact, HeaderExtensionsStillTrueAreKept)
{
    const struct {
        const char* what;
        const char* create;  // made in the directory, over base.raw where named
        const char* format;  // the backing format qemu-img info must still report
        bool bitmap;
    } rows[] = {
        {"version 3 over a raw base", "-b base.raw -F raw", "raw", false},
        {"version 2 over a raw base", "-o compat=0.10 -b base.raw -F raw", "raw", false},
        {"version 3 over a qcow2 base", "-b base.qcow2 -F qcow2", "qcow2", false},
        {"version 3 with a bitmap", "", nullptr, true},
        {"version 3 with 512-byte clusters over a raw base",
         "-o cluster_size=512 -b base.raw -F raw", "raw", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        testsupport::WriteFile(dir.file("base.raw"), MixedContent(kDiskBytes, 41));
        Shell("qemu-img convert -f raw -O qcow2 " + Quote(dir.file("base.raw")) + " " +
              Quote(dir.file("base.qcow2")));
        const std::string image = dir.file("img.qcow2");
        Shell("cd " + Quote(dir.path()) + " && qemu-img create -q -f qcow2 " + row.create +
              " img.qcow2 " + (row.format ? "" : "4M"));
        Shell("qemu-io -f qcow2 -c 'write -P 0x52 64k 128k' -c 'write -z 1M 64k' " + Quote(image));
        if (row.bitmap) Shell("qemu-img bitmap --add -f qcow2 " + Quote(image) + " b0");
        const std::vector<uint8_t> names = {0x68, 0x03, 0xF8, 0x57};
        const std::vector<uint8_t> old = testsupport::ReadFile(image);
        const bool hadNames = std::search(old.begin(), old.begin() + 512, names.begin(),
                                          names.end()) != old.begin() + 512;
        const std::vector<uint8_t> before = QemuRaw(dir, image);
        ASSERT_EQ(CompactInPlace(image), 0);
        EXPECT_EQ(Check(image), "");
        EXPECT_TRUE(QemuRaw(dir, image) == before);
        const std::string info = Info(image);
        if (row.format) {
            EXPECT_NE(info.find(std::string("backing file format: ") + row.format),
                      std::string::npos)
                << info;
        }
        EXPECT_EQ(info.find("bitmaps"), std::string::npos) << info;
        const std::vector<uint8_t> after = testsupport::ReadFile(image);
        EXPECT_EQ(GetBe64(after, 88), 0u);  // autoclear features
        // The feature name table is kept.
        const bool hasNames = std::search(after.begin(), after.begin() + 512, names.begin(),
                                          names.end()) != after.begin() + 512;
        EXPECT_EQ(hasNames, hadNames);
        // Written again over the compacted file, qemu still finds it clean.
        Shell("qemu-io -f qcow2 -c 'write -P 0x61 2M 64k' " + Quote(image));
        EXPECT_EQ(Check(image), "");
    }
}

}  // namespace
