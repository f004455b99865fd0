// qcow2 reading against qemu's own rendering of qemu-made images.
#include <gtest/gtest.h>

#include "formats/qcow2/qcow2.h"
#include "foundation/refusal.h"
#include "qcow2_test_util.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint32_t kDiskBytes = 6 * 1024 * 1024 + 512 * 3;

std::string MakeSource(const TempDir& dir, uint32_t seed = 7)
{
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, seed));
    return raw;
}

struct Variant {
    const char* options;
    bool compress;
};

TEST(Qcow2Read, QemuImagesReadAsQemuReadsThem)
{
    const Variant variants[] = {
        {"compat=0.10,cluster_size=512", false}, {"compat=1.1,cluster_size=512", true},
        {"compat=1.1,cluster_size=4096", false}, {"compat=0.10,cluster_size=65536", true},
        {"compat=1.1,cluster_size=65536", true}, {"compat=1.1,cluster_size=2M", false},
        {"compat=1.1,cluster_size=2M", true},    {"compat=1.1,cluster_size=16384", false},
    };
    TempDir dir;
    const std::string raw = MakeSource(dir);
    for (const Variant& v : variants) {
        SCOPED_TRACE(std::string(v.options) + (v.compress ? " -c" : ""));
        const std::string image = dir.file("img.qcow2");
        remove(image.c_str());
        Shell(std::string("qemu-img convert -f raw -O qcow2 ") + (v.compress ? "-c " : "") + "-o " +
              v.options + " " + Quote(raw) + " " + Quote(image));
        // Zero clusters over data (version 3 only) and a rewrite inside a compressed cluster.
        if (std::string(v.options).find("1.1") != std::string::npos)
            Shell("qemu-io -f qcow2 -c 'write -z 65536 131072' " + Quote(image));
        Shell("qemu-io -f qcow2 -c 'write -P 0x5a 1049088 3000' " + Quote(image));
        std::vector<uint8_t> expected = QemuRaw(dir, image);
        Handle h;
        ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
        EXPECT_EQ(Disk_GetKind(h), DISK_KIND_QCOW2);
        EXPECT_TRUE(ReadAll(h) == expected);
        // Small reads that cross cluster ends.
        std::vector<uint8_t> piecewise = ReadAll(h, 1536 + 7 * 512);
        EXPECT_TRUE(piecewise == expected);
    }
}

TEST(Qcow2Read, EncryptedImagesNeedTheirKey)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 3);
    const std::string image = dir.file("aes.qcow2");
    Shell("qemu-img convert " + SecretObject("secret") + " -f raw -O qcow2 -o " +
          "encrypt.format=aes,encrypt.key-secret=s,cluster_size=4096 " + Quote(raw) + " " +
          Quote(image));
    std::vector<uint8_t> expected = testsupport::ReadFile(raw);
    {
        Handle h;
        EXPECT_EQ(Disk_Open(h, image.c_str(), true), DISK_ERR_PASSWORD);
        EXPECT_EQ(Disk_GetKind(h), DISK_KIND_QCOW2);
        EXPECT_EQ(Disk_GetObject(h), nullptr);
    }
    uint8_t key[17] = {'s', 'e', 'c', 'r', 'e', 't'};
    for (uint32_t length : {15u, 17u}) {
        Handle h;
        EXPECT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), true, key, length, 0),
                  DISK_ERR_KEY_LENGTH);
    }
    Handle h;
    ASSERT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), true, key, 16, 0), 0);
    EXPECT_TRUE(ReadAll(h, 3 * 512) == expected);
}

TEST(Qcow2Read, SnapshotsOpenAtTheStatePicked)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 5);
    const std::string image = dir.file("snap.qcow2");
    Shell("qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " + Quote(image));
    Shell("qemu-img snapshot -c first " + Quote(image));
    Shell("qemu-io -f qcow2 -c 'write -P 0x11 0 1M' " + Quote(image));
    Shell("qemu-img snapshot -c second " + Quote(image));
    Shell("qemu-io -f qcow2 -c 'write -P 0x22 1M 1M' " + Quote(image));

    Qcow2SnapshotList list;
    Qcow2_InitSnapshotList(&list);
    ASSERT_EQ(Qcow2_ReadSnapshotList(&list, image.c_str()), 0);
    ASSERT_EQ(list.count, 2u);
    EXPECT_EQ(
        std::string(reinterpret_cast<char*>(list.entries[0].name), list.entries[0].nameLength),
        "first");
    EXPECT_EQ(
        std::string(reinterpret_cast<char*>(list.entries[1].name), list.entries[1].nameLength),
        "second");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list.entries[1].id), list.entries[1].idLength),
              "2");
    Qcow2_FreeSnapshotList(&list);

    {
        Handle h;
        EXPECT_EQ(Disk_Open(h, image.c_str(), true), DISK_ERR_SNAPSHOTS);
    }
    {
        // Written to, the image shows its current state whatever was asked.
        Handle h;
        ASSERT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), false, nullptr, 0, true, false, 0, 0),
                  0);
        EXPECT_TRUE(ReadAll(h) == QemuRaw(dir, image));
    }
    const char* names[] = {"first", "second"};
    for (uint32_t i = 0; i < 2; ++i) {
        Handle h;
        ASSERT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), true, nullptr, 0, false, true, i, 0), 0);
        EXPECT_TRUE(ReadAll(h) == QemuRaw(dir, image, std::string("-l snapshot.name=") + names[i]))
            << i;
    }
    Handle h;
    EXPECT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), true, nullptr, 0, false, true, 2, 0),
              DISK_ERR_ARG);
}

TEST(Qcow2Read, ASnapshotsOwnL1SizeBoundsItsTable)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 8);
    const std::string image = dir.file("snap.qcow2");
    Shell("qemu-img convert -f raw -O qcow2 -o cluster_size=4096 " + Quote(raw) + " " +
          Quote(image));
    Shell("qemu-img snapshot -c only " + Quote(image));
    std::vector<uint8_t> bytes = testsupport::ReadFile(image);
    const uint64_t table = GetBe64(bytes, 64);
    // One L1 entry (2 MiB of 4 KiB clusters): the rest of the snapshot reads as zeros, and
    // nothing past its table is taken for entries.
    PatchBytes(image, table + 8, Be32(1));
    std::vector<uint8_t> expected = testsupport::ReadFile(raw);
    std::fill(expected.begin() + 2 * 1024 * 1024, expected.end(), 0);
    Handle h;
    ASSERT_EQ(Disk_OpenQcow2Snapshot(h, image.c_str(), true, nullptr, 0, false, true, 0, 0), 0);
    EXPECT_TRUE(ReadAll(h) == expected);
}

TEST(Qcow2Read, BackingChainsAndZeroClustersThatHideThem)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 9);
    const std::string base = dir.file("base.qcow2");
    const std::string child = dir.file("child.qcow2");
    Shell("qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " + Quote(base));
    Shell("qemu-img create -f qcow2 -b base.qcow2 -F qcow2 " + Quote(child));
    Shell("qemu-io -f qcow2 -c 'write -P 0x33 512 4096' -c 'write -z 131072 65536' " +
          Quote(child));
    {
        Handle h;
        ASSERT_EQ(Disk_Open(h, child.c_str(), true), 0);
        EXPECT_TRUE(Disk_HasParent(h));
        EXPECT_TRUE(ReadAll(h) == QemuRaw(dir, child));
        bool empty = true;
        // The zero cluster hides data of the base; it is empty but stored in this layer.
        EXPECT_EQ(Disk_IsRangeEmpty(h, nullptr, 256, 128, &empty, nullptr, nullptr), 0);
        EXPECT_TRUE(empty);
        bool unallocated = true;
        EXPECT_EQ(Disk_IsRangeUnallocated(h, nullptr, 256, 128, &unallocated), 0);
        EXPECT_FALSE(unallocated);
        EXPECT_EQ(Disk_IsRangeUnallocated(h, nullptr, 1024, 128, &unallocated), 0);
        EXPECT_TRUE(unallocated);
        // Sectors read from the base count as data.
        EXPECT_EQ(Disk_IsRangeEmpty(h, nullptr, 128, 128, &empty, nullptr, nullptr), 0);
        EXPECT_FALSE(empty);
    }
    remove(base.c_str());
    {
        Handle h;
        EXPECT_NE(Disk_Open(h, child.c_str(), true), 0);
    }
    Qcow2Image* image = Qcow2_Alloc();
    ASSERT_EQ(Qcow2_OpenWithBackingMode(image, child.c_str(), true, QCOW2_BACKING_OPTIONAL), 0);
    EXPECT_TRUE(Qcow2_HasParent(image));
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(Qcow2_Read(image, 1 << 20, 4096, buf.data()), 0);
    EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0));
    Qcow2_Close(image);
    Mem_Free(image);
}

// A child whose header names its base's format as raw reads the base's bytes as the disk; the
// base may be shorter than the child (beyond its end the child reads zeros) and hold a part of a
// cluster at its end.
TEST(Qcow2Read, RawBasesNamedByTheBackingFormatReadAsQemuReadsThem)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 11);  // 6 MiB and three sectors
    const struct {
        const char* what;
        const char* options;
        const char* size;
    } rows[] = {
        {"version 3, the base's size", "", ""},
        {"version 2, the base's size", "-o compat=0.10", ""},
        {"version 3, larger than the base", "", " 8M"},
        {"version 3, 512-byte clusters", "-o cluster_size=512", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string child = dir.file("child.qcow2");
        remove(child.c_str());
        Shell(std::string("qemu-img create -q -f qcow2 ") + row.options + " -b source.raw -F raw " +
              Quote(child) + row.size);
        Shell("qemu-io -f qcow2 -c 'write -P 0x5a 4096 8192' -c 'write -z 1M 64k' " + Quote(child));
        Handle h;
        ASSERT_EQ(Disk_Open(h, child.c_str(), true), 0);
        EXPECT_TRUE(Disk_HasParent(h));
        EXPECT_TRUE(ReadAll(h, 1000 * 512) == QemuRaw(dir, child));
    }
}

// Valid images with features this reader lacks answer "unsupported", never "damaged", through
// the probing open as well, and the feature is named.
TEST(Qcow2Read, ImagesWithFeaturesNotReadHereAreUnsupported)
{
    TempDir dir;
    const struct {
        const char* what;
        std::string create;
        int feature;
    } rows[] = {
        {"extended L2 entries", "-o extended_l2=on", QCOW2_FEATURE_EXTENDED_L2},
        {"zstd compression", "-o compression_type=zstd", QCOW2_FEATURE_COMPRESSION_TYPE},
        {"external data file", "-o data_file=" + dir.file("data.bin"), QCOW2_FEATURE_DATA_FILE},
        {"LUKS encryption", SecretObject("pw") + " -o encrypt.format=luks,encrypt.key-secret=s",
         QCOW2_FEATURE_LUKS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string image = dir.file("feature.qcow2");
        remove(image.c_str());
        Shell("qemu-img create -q -f qcow2 " + row.create + " " + Quote(image) + " 4M");
        Qcow2Image* img = Qcow2_Alloc();
        EXPECT_EQ(Qcow2_Open(img, image.c_str(), true), DISK_ERR_UNSUPPORTED);
        Mem_Free(img);
        Handle h;
        EXPECT_EQ(Disk_Open(h, image.c_str(), true), DISK_ERR_UNSUPPORTED);
        EXPECT_EQ(Qcow2_FindUnsupportedFeature(image.c_str()), row.feature);
    }
    const std::string plain = dir.file("plain.qcow2");
    Shell("qemu-img create -q -f qcow2 " + Quote(plain) + " 4M");
    EXPECT_EQ(Qcow2_FindUnsupportedFeature(plain.c_str()), QCOW2_FEATURE_NONE);
}

TEST(Qcow2Read, ChainsThatLoopAreRefused)
{
    TempDir dir;
    const std::string a = dir.file("a.qcow2"), b = dir.file("b.qcow2");
    Shell("qemu-img create -f qcow2 " + Quote(a) + " 1M");
    Shell("qemu-img create -f qcow2 -u -b a.qcow2 -F qcow2 " + Quote(b) + " 1M");
    Shell("qemu-img rebase -u -f qcow2 -b b.qcow2 -F qcow2 " + Quote(a));
    Handle h;
    EXPECT_EQ(Disk_Open(h, b.c_str(), true), DISK_ERR_FORMAT);
    Handle loop;
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenQcow2(loop, b.c_str(), true), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "qcow2 backing file: too many backing files in a chain");
    const std::string self = dir.file("self.qcow2");
    Shell("qemu-img create -f qcow2 -u -b self.qcow2 -F qcow2 " + Quote(self) + " 1M");
    Handle s;
    EXPECT_EQ(Disk_Open(s, self.c_str(), true), DISK_ERR_FORMAT);
    Handle s2;
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenQcow2(s2, self.c_str(), true), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "qcow2 backing file: names the image itself");
}

// A base damaged two levels down refuses the whole chain with the base's own reason; the
// images above it only pass the refusal on.
TEST(Qcow2Read, ADamagedBaseKeepsItsReasonThroughTheChain)
{
    TempDir dir;
    const std::string base = dir.file("base.qcow2"), mid = dir.file("mid.qcow2"),
                      top = dir.file("top.qcow2");
    Shell("qemu-img create -q -f qcow2 " + Quote(base) + " 4M");
    Shell("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + Quote(mid));
    Shell("qemu-img create -q -f qcow2 -b mid.qcow2 -F qcow2 " + Quote(top));
    {
        Handle h;
        ASSERT_EQ(Disk_OpenQcow2(h, top.c_str(), true), DISK_OK);
    }
    PatchBytes(base, 72, Be64(2));  // marked corrupt
    Handle h;
    Refusal_Clear();
    EXPECT_EQ(Disk_OpenQcow2(h, top.c_str(), true), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "qcow2 header: image is marked corrupt");
}

struct HeaderPatch {
    const char* what;
    uint32_t offset;
    std::vector<uint8_t> bytes;
    int expected;
    const char* reason;  // of a DISK_ERR_FORMAT
};

TEST(Qcow2Read, HostileHeadersAreRefused)
{
    TempDir dir;
    const std::string pristine = dir.file("pristine.qcow2");
    Shell("qemu-img create -f qcow2 -o cluster_size=65536 " + Quote(pristine) + " 8M");
    Shell("qemu-io -f qcow2 -c 'write -P 1 0 64k' " + Quote(pristine));
    const char* const kVersion = "qcow2 header: version is not 2 or 3";
    const char* const kClusterBits = "qcow2 header: cluster bits out of range";
    const HeaderPatch patches[] = {
        {"magic", 0, Be32(0x51464900), DISK_ERR_FORMAT, "qcow2 header: no signature"},
        {"version 1", 4, Be32(1), DISK_ERR_FORMAT, kVersion},
        {"version 4", 4, Be32(4), DISK_ERR_FORMAT, kVersion},
        {"cluster bits 8", 20, Be32(8), DISK_ERR_FORMAT, kClusterBits},
        {"cluster bits 22", 20, Be32(22), DISK_ERR_FORMAT, kClusterBits},
        {"crypt method 3", 32, Be32(3), DISK_ERR_FORMAT, "qcow2 header: unknown encryption method"},
        {"L1 beyond the file", 40, Be64(1ull << 40), DISK_ERR_FORMAT,
         "qcow2 header: L1 table past the end of the file"},
        {"L1 above 32 MiB", 36, Be32(4194305), DISK_ERR_FORMAT, "qcow2 header: L1 table too large"},
        {"size beyond the L1", 24, Be64(1ull << 40), DISK_ERR_FORMAT,
         "qcow2 header: L1 table does not cover the disk"},
        {"refcount table beyond the file", 48, Be64(1ull << 40), DISK_ERR_FORMAT,
         "qcow2 header: refcount table past the end of the file"},
        {"snapshot count", 60, Be32(0x7FFFFFFF), DISK_ERR_FORMAT,
         "qcow2 header: too many snapshots"},
        {"snapshot table beyond the file", 64, Be64(1ull << 40), DISK_ERR_FORMAT,
         "qcow2 header: snapshot table past the end of the file"},
        {"refcount order 5", 96, Be32(5), DISK_ERR_FORMAT,
         "qcow2 header: refcount width is not 16 bits"},
        // Features of valid images that this reader lacks: unsupported, not damaged.
        {"crypt method 2 (LUKS)", 32, Be32(2), DISK_ERR_UNSUPPORTED, nullptr},
        {"external data file", 72, Be64(4), DISK_ERR_UNSUPPORTED, nullptr},
        {"compression type", 72, Be64(8), DISK_ERR_UNSUPPORTED, nullptr},
        {"extended L2", 72, Be64(16), DISK_ERR_UNSUPPORTED, nullptr},
        {"unknown incompatible feature", 72, Be64(1ull << 40), DISK_ERR_UNSUPPORTED, nullptr},
        {"corrupt bit", 72, Be64(2), DISK_ERR_FORMAT, "qcow2 header: image is marked corrupt"},
        {"backing name too long", 8, Be64(0x200), DISK_ERR_FORMAT,
         "qcow2 header: backing file name too long"},
        {"backing name past the end", 8, Be64(1ull << 40), DISK_ERR_FORMAT,
         "qcow2 header: backing file name past the end of the file"},
        {"dirty bit", 72, Be64(1), DISK_OK, nullptr},
    };
    for (const HeaderPatch& p : patches) {
        SCOPED_TRACE(p.what);
        const std::string image = dir.file("hostile.qcow2");
        testsupport::WriteFile(image, testsupport::ReadFile(pristine));
        PatchBytes(image, p.offset, p.bytes);
        if (std::string(p.what) == "backing name too long") PatchBytes(image, 16, Be32(5000));
        if (std::string(p.what) == "backing name past the end") PatchBytes(image, 16, Be32(8));
        Qcow2Image* img = Qcow2_Alloc();
        Refusal_Clear();
        EXPECT_EQ(Qcow2_Open(img, image.c_str(), true), p.expected);
        if (p.reason != nullptr) {
            EXPECT_STREQ(Refusal_Get(), p.reason);
        }
        if (p.expected == DISK_OK) Qcow2_Close(img);
        Mem_Free(img);
    }
}

TEST(Qcow2Read, OversizeCompressedDescriptorsStayInTheirBuffer)
{
    TempDir dir;
    const std::string raw = MakeSource(dir, 1);
    const std::string image = dir.file("c.qcow2");
    Shell("qemu-img convert -c -f raw -O qcow2 -o cluster_size=4096 " + Quote(raw) + " " +
          Quote(image));
    std::vector<uint8_t> bytes = testsupport::ReadFile(image);
    // Find the first compressed L2 entry and give it the largest sector count.
    const uint64_t l1Offset = GetBe64(bytes, 40);
    const uint64_t l2Offset = GetBe64(bytes, l1Offset) & 0x00FFFFFFFFFFFE00ull;
    size_t at = 0;
    for (size_t i = 0; i < 512; ++i) {
        if (GetBe64(bytes, l2Offset + i * 8) & (1ull << 62)) {
            at = l2Offset + i * 8;
            break;
        }
    }
    ASSERT_NE(at, 0u);
    const uint32_t x = 70 - 12;
    uint64_t entry = GetBe64(bytes, at) | (((1ull << 4) - 1) << x);
    PatchBytes(image, at, Be64(entry));
    Handle h;
    ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
    std::vector<uint8_t> all(kDiskBytes);
    // Either the data still inflate (the extra sectors are ignored) or the read fails cleanly.
    int r = Disk_Read(h, 0, kDiskBytes, all.data());
    EXPECT_TRUE(r == 0 || r == DISK_ERR_FORMAT || r == DISK_ERR_READ) << r;
}

}  // namespace
