// qcow version 1 reading against qemu's own rendering of qemu-made images.
#include <gtest/gtest.h>

#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_test_util.h"
#include "foundation/refusal.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint32_t kDiskBytes = 5 * 1024 * 1024 + 4096 + 512;

std::string MakeSource(const TempDir& dir, uint32_t seed)
{
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, seed));
    return raw;
}

TEST(QcowRead, PlainAndCompressedImagesReadAsQemuReadsThem)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 2);
    for (const char* flags : {"", "-c"}) {
        SCOPED_TRACE(flags);
        const std::string image = dir.file("img.qcow");
        remove(image.c_str());
        if (std::string(flags).empty()) {
            Shell("qemu-img convert -f raw -O qcow " + Quote(raw) + " " + Quote(image));
        } else {
            // qemu-img writes no compressed qcow; its I/O tool does, cluster by cluster.
            Shell("qemu-img create -f qcow " + Quote(image) + " " + std::to_string(kDiskBytes));
            std::string cmds;
            for (uint32_t c = 0; c < 64; c += 3)
                cmds += " -c 'write -c -P " + std::to_string(c + 1) + " " +
                        std::to_string(c * 65536) + " 4k'";
            Shell("qemu-io -f qcow" + cmds + " " + Quote(image));
        }
        Shell("qemu-io -f qcow -c 'write -P 0x5a 1049088 3000' " + Quote(image));
        std::vector<uint8_t> expected = QemuRaw(dir, image);
        Handle h;
        ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
        EXPECT_EQ(Disk_GetKind(h), DISK_KIND_QCOW);
        EXPECT_TRUE(ReadAll(h) == expected);
        EXPECT_TRUE(ReadAll(h, 5 * 512) == expected);
        bool empty = false;
        // The source's first 64 KiB are zeros or compressible text by the content rule.
        EXPECT_EQ(Disk_IsRangeEmpty(h, nullptr, 0, 8, &empty, nullptr, nullptr), 0);
        EXPECT_EQ(empty, expected[0] == 0 &&
                             std::vector<uint8_t>(expected.begin(), expected.begin() + 4096) ==
                                 std::vector<uint8_t>(4096, 0));
    }
}

TEST(QcowRead, EncryptedImagesNeedTheirKey)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 4);
    const std::string image = dir.file("aes.qcow");
    Shell("qemu-img convert " + SecretObject("pw") + " -f raw -O qcow -o " +
          "encrypt.format=aes,encrypt.key-secret=s " + Quote(raw) + " " + Quote(image));
    {
        Handle h;
        EXPECT_EQ(Disk_Open(h, image.c_str(), true), DISK_ERR_PASSWORD);
        EXPECT_EQ(Disk_GetKind(h), DISK_KIND_QCOW);
        EXPECT_EQ(Disk_GetObject(h), nullptr);
    }
    uint8_t key[17] = {'p', 'w'};
    {
        Handle h;
        EXPECT_EQ(Disk_OpenQcowWithKey(h, image.c_str(), true, key, 17), DISK_ERR_KEY_LENGTH);
    }
    Handle h;
    ASSERT_EQ(Disk_OpenQcowWithKey(h, image.c_str(), true, key, 16), 0);
    EXPECT_TRUE(ReadAll(h, 3 * 512) == testsupport::ReadFile(raw));
}

TEST(QcowRead, BackingFiles)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 6);
    const std::string base = dir.file("base.qcow");
    const std::string child = dir.file("child.qcow");
    Shell("qemu-img convert -f raw -O qcow " + Quote(raw) + " " + Quote(base));
    Shell("qemu-img create -f qcow -b base.qcow -F qcow " + Quote(child));
    Shell("qemu-io -f qcow -c 'write -P 0x33 512 4096' " + Quote(child));
    {
        Handle h;
        ASSERT_EQ(Disk_Open(h, child.c_str(), true), 0);
        EXPECT_TRUE(ReadAll(h) == QemuRaw(dir, child));
    }
    // A raw backing file is read as raw.
    const std::string overRaw = dir.file("over-raw.qcow");
    Shell("qemu-img create -f qcow -b source.raw -F raw " + Quote(overRaw));
    {
        Handle h;
        ASSERT_EQ(Disk_Open(h, overRaw.c_str(), true), 0);
        EXPECT_TRUE(ReadAll(h) == testsupport::ReadFile(raw));
    }
    // An encrypted qcow backing file is never taken for raw bytes.
    const std::string aes = dir.file("aes.qcow");
    Shell("qemu-img convert " + SecretObject("pw") + " -f raw -O qcow -o " +
          "encrypt.format=aes,encrypt.key-secret=s " + Quote(raw) + " " + Quote(aes));
    const std::string overAes = dir.file("over-aes.qcow");
    Shell("qemu-img create -f qcow -u -b aes.qcow -F qcow " + Quote(overAes) + " " +
          std::to_string(kDiskBytes));
    {
        Handle h;
        EXPECT_EQ(Disk_Open(h, overAes.c_str(), true), DISK_ERR_PASSWORD);
    }
    // A qcow backing file of another size fails the open.
    const std::string small = dir.file("small.qcow");
    Shell("qemu-img create -f qcow " + Quote(small) + " 1M");
    const std::string overSmall = dir.file("over-small.qcow");
    Shell("qemu-img create -f qcow -u -b small.qcow -F qcow " + Quote(overSmall) + " 2M");
    Handle h;
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenQcow(h, overSmall.c_str(), true), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "qcow backing file: size differs from the image");
    Handle again;
    EXPECT_EQ(Disk_Open(again, overSmall.c_str(), true), DISK_ERR_FORMAT);
}

TEST(QcowRead, SizesOf2To32SectorsAndMoreKeepTheirTotal)
{
    TempDir dir;
    const std::string image = dir.file("huge.qcow");
    Shell("qemu-img create -f qcow " + Quote(image) + " 8M");
    // 4 TiB of 64 KiB clusters with 8192-entry L2 tables: 8192 L1 entries, all empty.
    PatchBytes(image, 24, Be64(4ull << 40));
    PatchBytes(image, 32, {16, 13});
    std::vector<uint8_t> bytes = testsupport::ReadFile(image);
    const uint64_t l1 = GetBe64(bytes, 40);
    bytes.resize(l1 + 8192 * 8, 0);
    std::fill(bytes.begin() + l1, bytes.end(), 0);
    testsupport::WriteFile(image, bytes);
    Handle h;
    ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
    DiskGeometry g = {};
    Disk_GetGeometry(h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), (4ull << 40) / 512);
    std::vector<uint8_t> tail(4096, 0xEE);
    ASSERT_EQ(Disk_Read(h, (4ull << 40) - 4096, 4096, tail.data()), 0);
    EXPECT_EQ(tail, std::vector<uint8_t>(4096, 0));
}

TEST(QcowRead, HostileHeadersAreRefused)
{
    TempDir dir;
    const std::string pristine = dir.file("pristine.qcow");
    Shell("qemu-img create -f qcow " + Quote(pristine) + " 8M");
    struct Patch {
        const char* what;
        uint32_t offset;
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    const char* const kClusterBits = "qcow header: cluster bits out of range";
    const char* const kL2Bits = "qcow header: L2 table bits out of range";
    const Patch patches[] = {
        {"cluster bits 8", 32, {8}, kClusterBits},
        {"cluster bits 17", 32, {17}, kClusterBits},
        {"L2 bits 5", 33, {5}, kL2Bits},
        {"L2 bits 14", 33, {14}, kL2Bits},
        {"cluster + L2 bits 63", 32, {50, 13}, kClusterBits},
        {"size 1", 24, Be64(1), "qcow header: disk size too small"},
        {"huge size", 24, Be64(~0ull), "qcow header: L1 table too large"},
        {"crypt method 2", 36, Be32(2), "qcow header: unknown encryption method"},
        {"version 2", 4, Be32(2), "qcow header: version is not 1"},
        {"magic", 0, Be32(0x51464900), "qcow header: no signature"},
    };
    for (const Patch& p : patches) {
        SCOPED_TRACE(p.what);
        const std::string image = dir.file("hostile.qcow");
        testsupport::WriteFile(image, testsupport::ReadFile(pristine));
        PatchBytes(image, p.offset, p.bytes);
        QcowImage* img = Qcow_Alloc();
        Refusal_Clear();
        EXPECT_EQ(Qcow_Open(img, image.c_str(), true), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), p.reason);
        Mem_Free(img);
    }
    // The pristine image opened after the refused ones reads.
    Handle fine;
    ASSERT_EQ(Disk_OpenQcow(fine, pristine.c_str(), true), DISK_OK);
    EXPECT_TRUE(ReadAll(fine) == std::vector<uint8_t>(8 << 20, 0));
    // A self-naming backing file ends in a bounded chain.
    const std::string self = dir.file("self.qcow");
    Shell("qemu-img create -f qcow -u -b self.qcow -F qcow " + Quote(self) + " 1M");
    Handle h;
    EXPECT_NE(Disk_Open(h, self.c_str(), true), 0);
}

}  // namespace
