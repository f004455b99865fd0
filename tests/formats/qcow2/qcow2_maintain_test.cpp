// qcow2 compaction, overlays and backing names, judged by qemu-img.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/qcow2/qcow2_maintain.h"
#include "qcow2_test_util.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint32_t kDiskBytes = 4 * 1024 * 1024;

std::string Check(const std::string& image, const std::string& opts = "-f qcow2 ") {
    std::string out;
    int rc = RunCommand("qemu-img check " + opts + Quote(image) + " 2>&1", &out);
    return rc == 0 ? "" : out;
}

// Compacts the image in place as the trim does, keeping the old file as "_del".
int CompactInPlace(const std::string& image, const uint8_t* key = nullptr) {
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

TEST(Qcow2Compact, ResizedImagesKeepTheirContentAndCheckClean) {
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 21));
    for (const char* compat : {"0.10", "1.1"}) {
        SCOPED_TRACE(compat);
        const std::string image = dir.file(std::string("resized-") + compat + ".qcow2");
        Shell(std::string("qemu-img convert -f raw -O qcow2 -o compat=") + compat + ",cluster_size=4096 " +
              Quote(raw) + " " + Quote(image));
        // Growing the disk moves the L1 table away from where a new layout puts it.
        Shell("qemu-img resize -f qcow2 " + Quote(image) + " 40M");
        std::vector<uint8_t> before = QemuRaw(dir, image);
        const size_t sizeBefore = testsupport::ReadFile(image).size();
        ASSERT_EQ(CompactInPlace(image), 0);
        EXPECT_EQ(Check(image), "");
        EXPECT_TRUE(QemuRaw(dir, image) == before);
        EXPECT_LE(testsupport::ReadFile(image).size(), sizeBefore);
        EXPECT_EQ(RunCommand("qemu-img info -f qcow2 " + Quote(image) + " | grep -q 'compat: " + compat + "'"), 0);
    }
}

TEST(Qcow2Compact, ChildrenKeepZeroClustersThatHideTheirBase) {
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 22));
    const std::string base = dir.file("base.qcow2"), child = dir.file("child.qcow2");
    Shell("qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " + Quote(base));
    Shell("qemu-img create -f qcow2 -b base.qcow2 -F qcow2 " + Quote(child));
    // Zeros written over the base's data, and zeros as zero clusters.
    Shell("qemu-io -f qcow2 -c 'write -P 0 0 256k' -c 'write -z 1M 256k' -c 'write -P 7 2M 4k' " + Quote(child));
    std::vector<uint8_t> before = QemuRaw(dir, child);
    ASSERT_EQ(CompactInPlace(child), 0);
    EXPECT_EQ(Check(child), "");
    EXPECT_TRUE(QemuRaw(dir, child) == before);
    std::string info;
    RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
    EXPECT_NE(info.find("backing file: base.qcow2"), std::string::npos) << info;
}

TEST(Qcow2Compact, EncryptedImagesNeedTheKeyAndStayEncrypted) {
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
    const std::string opts = SecretObject("secret") + " --image-opts driver=qcow2,file.filename=" + image + ",encrypt.key-secret=s";
    EXPECT_EQ(Check("", opts), "");
    EXPECT_TRUE(QemuRaw(dir, "", opts) == testsupport::ReadFile(raw));
}

TEST(Qcow2Compact, ImagesWithSnapshotsAreRefused) {
    TempDir dir;
    const std::string image = dir.file("snap.qcow2");
    Shell("qemu-img create -f qcow2 " + Quote(image) + " 4M");
    Shell("qemu-img snapshot -c s " + Quote(image));
    Handle h;
    ASSERT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), true, nullptr, 0, false, false, 0, 0), 0);
    EXPECT_FALSE(Disk_CanCompact(h));
    OutputFile out;
    EXPECT_EQ(Qcow2_Compact(image.c_str(), h, nullptr, &out, false, nullptr, nullptr, nullptr), DISK_ERR_ARG);
}

TEST(Qcow2Overlay, OverlaysOfVersion2And3BasesCheckCleanAndReadTheBase) {
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 24));
    for (const char* compat : {"0.10", "1.1"}) {
        SCOPED_TRACE(compat);
        const std::string base = dir.file(std::string("base-") + compat + ".qcow2");
        Shell(std::string("qemu-img convert -f raw -O qcow2 -o compat=") + compat + " " + Quote(raw) + " " + Quote(base));
        // A version 2 base of qemu carries a backing-format extension of its own.
        const std::string child = dir.file(std::string("child-") + compat + ".qcow2");
        Handle h;
        ASSERT_EQ(Disk_Open(h, base.c_str(), true), 0);
        ASSERT_EQ(Qcow2_CreateOverlay(h, base.c_str(), child.c_str(), false), 0);
        EXPECT_EQ(Check(child), "");
        std::string info;
        RunCommand("qemu-img info -f qcow2 " + Quote(child), &info);
        EXPECT_NE(info.find("backing file: base-"), std::string::npos) << info;
        EXPECT_EQ(RunCommand("qemu-img compare -f qcow2 -F qcow2 " + Quote(child) + " " + Quote(base)), 0);
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
    EXPECT_EQ(RunCommand("qemu-img compare -f qcow2 -F qcow2 " + Quote(child) + " " + Quote(base)), 0);
}

TEST(Qcow2Overlay, BackingNamesChangeInPlaceWhileTheyFit) {
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
    EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(tooLong.data()), uint32_t(tooLong.size())}), DISK_ERR_ARG);
    const std::string renamed = "./b.qcow2";
    EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(renamed.data()), uint32_t(renamed.size())}), 0);
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
TEST(Qcow2Overlay, ABackingNameFarFromTheHeaderChanges) {
    const uint64_t far = 0x400000;
    const struct {
        const char* what;
        uint64_t at;         // where the old name "b.qcow2" lies
        uint64_t fileEnd;    // the file's length
        uint64_t newAt;      // where the new name "base2.qcow2" is expected
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
        EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(renamed.data()), uint32_t(renamed.size())}), 0);
        EXPECT_EQ(image->header.backingNameOffset, row.newAt);
        Qcow2_Close(image);
        Mem_Free(image);
        const std::vector<uint8_t> after = testsupport::ReadFile(child);
        ASSERT_GE(after.size(), row.newAt + renamed.size());
        EXPECT_EQ(std::string(after.begin() + row.newAt, after.begin() + row.newAt + renamed.size()), renamed);
        uint64_t offset = 0;
        for (int i = 0; i < 8; ++i) offset = offset << 8 | after[8 + i];
        EXPECT_EQ(offset, row.newAt);
        EXPECT_EQ(after[16] << 24 | after[17] << 16 | after[18] << 8 | after[19], int(renamed.size()));
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

TEST(Qcow2Overlay, EmptyAndOverLongBackingNamesWriteNothing) {
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
        EXPECT_EQ(Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(n.data()), uint32_t(n.size())}),
                  DISK_ERR_ARG) << n.size();
    Qcow2_Close(image);
    Mem_Free(image);
    EXPECT_EQ(RunCommand("cmp -s " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
}

}  // namespace
