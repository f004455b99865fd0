// NTFS driver: real volumes made by mkntfs and changed by ntfscp and ntfstruncate against
// ntfscat's $Bitmap and sleuthkit, seen through disks of 256 to 4096 bytes per sector; run lists,
// fixups, the data test and hostile boot sectors and records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"
#include "foundation/range.h"
#include "support/test_support.h"
#include "volume/fs_driver_support.h"
#include "volume/ntfs_fs.h"
#include "volume/used_map.h"
#include "volume/attached_volume.h"

using namespace fstest;
using testsupport::HaveTool;
using testsupport::RandomBytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const uint32_t kSectorSizes[] = {256, 512, 1024, 4096};
const uint64_t kOffset = 65536;

typedef AttachedVolume<NtfsVolume, Fs_AttachNtfs, Ntfs_Destroy> Attached;

bool HaveNtfsTools()
{
    return HaveTool("mkntfs") && HaveTool("ntfscp") && HaveTool("ntfscat") &&
           HaveTool("ntfstruncate") && HaveTool("ntfsls") && HaveTool("blkls") &&
           HaveTool("fsstat");
}

// A fresh volume with two files of random content; `gone` is then truncated to nothing, which
// frees its clusters.
bool MakeVolume(const TempDir& dir, const std::string& img, const std::string& size,
                uint32_t clusterBytes, const std::vector<uint8_t>& keep,
                const std::vector<uint8_t>& gone)
{
    WriteFile(dir.file("keep.bin"), keep);
    WriteFile(dir.file("gone.bin"), gone);
    std::string inodes;
    return Sh("rm -f " + Quote(img) + " && truncate -s " + size + " " + Quote(img) +
              " && mkntfs -F -Q -c " + std::to_string(clusterBytes) + " " + Quote(img)) &&
           Sh("ntfscp -f " + Quote(img) + " " + Quote(dir.file("keep.bin")) + " keep.bin") &&
           Sh("ntfscp -f " + Quote(img) + " " + Quote(dir.file("gone.bin")) + " gone.bin");
}

bool TruncateGone(const std::string& img)
{
    std::string listing;
    if (!Sh("ntfsls -i " + Quote(img), &listing)) {
        return false;
    }
    size_t at = listing.find(" gone.bin");
    if (at == std::string::npos) {
        ADD_FAILURE() << listing;
        return false;
    }
    size_t lineStart = listing.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    std::string inode = listing.substr(lineStart, at - lineStart);
    return Sh("ntfstruncate " + Quote(img) + " " + std::to_string(std::stoull(inode)) + " 0");
}

// Offset of the attribute of the given type in a raw MFT record, or 0.
uint32_t FindAttribute(const std::vector<uint8_t>& image, uint64_t record, uint32_t type)
{
    uint32_t at = Bytes_LoadLe16(&image[record + 20]);
    for (int i = 0; i < 16 && at + 8 < 1024; ++i) {
        uint32_t t = Bytes_LoadLe32(&image[record + at]);
        if (t == type) {
            return at;
        }
        if (t == 0xFFFFFFFF) {
            break;
        }
        at += Bytes_LoadLe32(&image[record + at + 4]);
    }
    return 0;
}

void Put16(std::vector<uint8_t>& v, uint64_t at, uint16_t x)
{
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

void Put32(std::vector<uint8_t>& v, uint64_t at, uint32_t x)
{
    for (int i = 0; i < 4; ++i) {
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    }
}

void Put64(std::vector<uint8_t>& v, uint64_t at, uint64_t x)
{
    for (int i = 0; i < 8; ++i) {
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    }
}

}  // namespace

// The acceptance rule over real volumes: the loaded bitmap is $Bitmap as ntfscat reads it, every
// sector called free is free for sleuthkit, a truncated file's clusters come back free and a kept
// file stays used. 128 KiB clusters are stored as the code 0xF8 (2^8 sectors).
TEST(NtfsRealVolumes, BitmapEqualsNtfscatAndFreeSectorsAreFreeForSleuthkit)
{
    if (!HaveNtfsTools()) {
        GTEST_SKIP() << "ntfs-3g or sleuthkit missing";
    }
    struct Row {
        uint32_t clusterBytes;
        const char* size;
        uint8_t code;    // boot-sector byte 13
        bool sleuthkit;  // sleuthkit reads clusters of at most 64 KiB
    } rows[] = {
        {4096, "32M", 8, true},
        {512, "24M", 1, true},
        {131072, "80M", 0xF8, false},
    };
    TempDir dir;
    std::vector<uint8_t> keep = RandomBytes(300 * 1024, 21);
    std::vector<uint8_t> gone = RandomBytes(520 * 1024, 22);
    for (const Row& r : rows) {
        SCOPED_TRACE("cluster " + std::to_string(r.clusterBytes));
        std::string img = dir.file("v.img");
        ASSERT_TRUE(MakeVolume(dir, img, r.size, r.clusterBytes, keep, gone));
        std::vector<uint8_t> before = ReadImage(img);
        ASSERT_EQ(before[13], r.code);
        ASSERT_TRUE(TruncateGone(img));
        std::string bitmapFile = dir.file("bitmap.bin");
        ASSERT_TRUE(Sh("ntfscat " + Quote(img) + " '$Bitmap' > " + Quote(bitmapFile)));
        std::vector<uint8_t> expected = ReadImage(bitmapFile);
        // Without sleuthkit the oracle is $Bitmap itself.
        Oracle blkls;
        if (r.sleuthkit) {
            blkls = Blkls(img, "Cluster Size: ");
            ASSERT_EQ(blkls.unitBytes, r.clusterBytes);
        } else {
            blkls.unitBytes = r.clusterBytes;
            for (size_t c = 0; c < expected.size() * 8; ++c) {
                blkls.state.push_back((expected[c / 8] >> (c % 8)) & 1 ? 'a' : 'f');
            }
        }
        std::vector<uint8_t> goneUnits = ContentUnits(before, gone);
        std::vector<uint8_t> keepUnits = ContentUnits(before, keep);

        for (uint32_t b : kSectorSizes) {
            SCOPED_TRACE("disk sector " + std::to_string(b));
            ImageDisk d(img, dir.file("disk.img"), b, kOffset, 8192);
            ASSERT_TRUE(d.ok());
            Attached a(d.disk(), d.firstSector(), d.sectorCount() + 2);
            ASSERT_EQ(a.rc, DISK_OK);
            EXPECT_EQ(a.region.kind, FS_KIND_NTFS);
            EXPECT_EQ(a.volume()->sectorsPerCluster, r.clusterBytes / 512);
            const uint32_t clusters = a.volume()->clusterCount;
            const uint32_t bitmapBytes = (clusters + 7) / 8;
            ASSERT_GE(expected.size(), bitmapBytes);
            EXPECT_EQ(std::memcmp(a.volume()->bitmap, expected.data(), bitmapBytes), 0);

            const uint32_t count = static_cast<uint32_t>(d.sectorCount() + 2);
            std::vector<uint8_t> used = UsedBits(Ntfs_FillUsedBits, a.region.object, count);
            // Past the last whole cluster (the backup boot sector and beyond) is used.
            EXPECT_TRUE(used[count - 1]);
            EXPECT_TRUE(used[count - 3]);
            used.resize(d.sectorCount());
            SubsetResult s = CheckSubset(used, b, blkls);
            EXPECT_EQ(s.violations, 0u) << "first at sector " << s.firstViolation;
            if (b <= r.clusterBytes) {
                EXPECT_GE(s.freeSectors * b + 2 * r.clusterBytes, OracleFreeBytes(blkls));
            }

            std::vector<uint64_t> goneInside;
            std::vector<uint64_t> keepTouching;
            SectorsOfUnits(goneUnits, b, d.sectorCount(), &goneInside, nullptr);
            SectorsOfUnits(keepUnits, b, d.sectorCount(), nullptr, &keepTouching);
            ASSERT_GE(goneInside.size() * b, gone.size() / 2);
            uint64_t goneUsed = 0;
            for (uint64_t s2 : goneInside) {
                goneUsed += used[s2];
            }
            EXPECT_EQ(goneUsed, 0u) << "the truncated file's clusters come back free";
            ASSERT_FALSE(keepTouching.empty());
            for (uint64_t s2 : keepTouching) {
                ASSERT_TRUE(used[s2]) << "kept file sector " << s2;
            }
        }
    }
}

// The data test cuts at cluster boundaries: a free cluster is never looked at, a used cluster
// decides by its data, and without data by the bytes before it.
TEST(NtfsRealVolumes, DataTestSkipsFreeClusters)
{
    if (!HaveNtfsTools()) {
        GTEST_SKIP() << "ntfs-3g or sleuthkit missing";
    }
    TempDir dir;
    std::string img = dir.file("v.img");
    ASSERT_TRUE(MakeVolume(dir, img, "32M", 4096, RandomBytes(8192, 1), RandomBytes(8192, 2)));
    ImageDisk d(img, dir.file("disk.img"), 512, kOffset);
    ASSERT_TRUE(d.ok());
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    ASSERT_EQ(a.rc, DISK_OK);
    const NtfsVolume* v = a.volume();
    uint32_t f = 0;
    while (f + 1 < v->clusterCount &&
           !(!Bitmap_TestBit(v->bitmap, f) && Bitmap_TestBit(v->bitmap, f + 1))) {
        ++f;
    }
    ASSERT_LT(f + 1, v->clusterCount) << "no free cluster followed by a used one";
    // Half a free cluster, then a whole used one.
    const uint64_t offset = static_cast<uint64_t>(f) * 4096 + 2048;
    std::vector<uint8_t> data(2048 + 4096, 0);
    std::memset(data.data(), 0xEE, 2048);  // garbage in the free cluster
    bool empty = false;
    EXPECT_EQ(Ntfs_TestData(a.region.object, offset, 6144, data.data(), &empty, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    data[2048 + 4095] = 1;
    EXPECT_EQ(Ntfs_TestData(a.region.object, offset, 6144, data.data(), &empty, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    uint64_t before = 99;
    EXPECT_EQ(Ntfs_TestData(a.region.object, offset, 6144, nullptr, &empty, &before), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(before, 2048u);
    EXPECT_EQ(Ntfs_TestData(a.region.object, offset, 2048, nullptr, &empty, &before), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(Ntfs_TestData(a.region.object, offset, 6144, data.data(), &empty, &before),
              DISK_ERR_ARG);
}

// Boot sectors, records, attributes and run lists that break a rule are refused with a result
// code; the volume is never accepted with a wrong cluster size, record size or a short bitmap.
TEST(NtfsHostile, BrokenStructuresAreRefused)
{
    if (!HaveNtfsTools()) {
        GTEST_SKIP() << "ntfs-3g or sleuthkit missing";
    }
    TempDir dir;
    std::string img = dir.file("v.img");
    ASSERT_TRUE(MakeVolume(dir, img, "32M", 4096, RandomBytes(8192, 1), RandomBytes(8192, 2)));
    const std::vector<uint8_t> pristine = ReadImage(img);
    const uint64_t mft = Bytes_LoadLe64(&pristine[48]) * 4096;
    ASSERT_EQ(pristine[64], 0xF6);  // 1024-byte records
    const uint64_t rec6 = mft + 6 * 1024;
    const uint32_t data0 = FindAttribute(pristine, mft, 0x80);
    const uint32_t data6 = FindAttribute(pristine, rec6, 0x80);
    const uint32_t name0 = FindAttribute(pristine, mft, 0x30);
    ASSERT_NE(data0, 0u);
    ASSERT_NE(data6, 0u);
    ASSERT_NE(name0, 0u);
    const uint64_t runs6 = rec6 + data6 + Bytes_LoadLe16(&pristine[rec6 + data6 + 32]);
    const uint64_t totalSectors = Bytes_LoadLe64(&pristine[40]);

    struct Case {
        const char* what;
        void (*patch)(std::vector<uint8_t>& v, uint64_t a, uint64_t b, uint64_t c);
        uint64_t a, b, c;
        int expect;
        uint64_t tail;  // extra disk bytes after the image
        const char* reason;
    };
    const uint64_t runs0 = mft + data0 + Bytes_LoadLe16(&pristine[mft + data0 + 32]);
    // The end of the MFT's first run, in clusters (its length and offset fields are unsigned here).
    uint64_t mftRunEnd = 0;
    {
        const uint32_t l = pristine[runs0] & 0x0F;
        const uint32_t o = pristine[runs0] >> 4;
        uint64_t length = 0;
        uint64_t lcn = 0;
        for (uint32_t i = 0; i < l; ++i) length |= uint64_t(pristine[runs0 + 1 + i]) << (8 * i);
        for (uint32_t i = 0; i < o; ++i) lcn |= uint64_t(pristine[runs0 + 1 + l + i]) << (8 * i);
        mftRunEnd = lcn + length;
        ASSERT_GT(length, 1u);
    }
    Case cases[] = {
        {"sectors per cluster 0",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[13] = 0; }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: sectors per cluster out of range"},
        {"sectors per cluster 3",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[13] = 3; }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: sectors per cluster out of range"},
        {"cluster code 0xE0 (2^32)",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[13] = 0xE0; }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: sectors per cluster out of range"},
        {"bytes per sector 4096",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { Put16(v, 11, 4096); }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: bytes per sector other than 512"},
        {"record size code 0",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[64] = 0; }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: file record size out of range"},
        {"record size 2^31",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[64] = 0xE1; }, 0, 0, 0,
         DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: file record size out of range"},
        // One cluster per record: 4096 bytes, which the 1024-byte records do not match.
        {"record size of one cluster",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { v[64] = 1; }, 0, 0, 0,
         DISK_ERR_NTFS_METADATA, 0, "NTFS file record: update sequence out of range"},
        {"volume larger than the partition",
         [](std::vector<uint8_t>& v, uint64_t t, uint64_t, uint64_t) { Put64(v, 40, t * 64); },
         totalSectors, 0, 0, DISK_ERR_FS_CORRUPT, 0,
         "NTFS boot sector: the volume is larger than its partition"},
        {"MFT past the volume",
         [](std::vector<uint8_t>& v, uint64_t, uint64_t, uint64_t) { Put64(v, 48, 1ull << 40); }, 0,
         0, 0, DISK_ERR_FS_CORRUPT, 0, "NTFS boot sector: MFT past the end of the volume"},
        {"fixup mismatch in record 0",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t, uint64_t) { v[m + 510] ^= 0xFF; }, mft,
         0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS file record: update sequence does not match"},
        {"bytes in use past the record",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t, uint64_t) { Put32(v, m + 24, 4096); },
         mft, 0, 0, DISK_ERR_NTFS_METADATA, 0,
         "NTFS file record: bytes in use or first attribute out of range"},
        {"attribute length past bytes in use",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) {
             Put32(v, m + at + 4, 0xFFFFFFF0);
         },
         mft, name0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS attribute: length out of range"},
        {"attribute length 0 (a loop)",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) {
             Put32(v, m + at + 4, 0);
         },
         mft, name0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS attribute: length out of range"},
        {"record 0 named $MFX",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) {
             uint64_t value = m + at + Bytes_LoadLe16(&v[m + at + 20]);
             v[value + 66 + 6] = 'X';
         },
         mft, name0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS file name: not the expected system file"},
        {"attribute list where $DATA belongs",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) { Put32(v, m + at, 0x20); },
         mft, data0, 0, DISK_ERR_NTFS_METADATA, 0,
         "NTFS file record: attributes not in the expected order"},
        {"named $DATA",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) { v[m + at + 9] = 1; }, mft,
         data0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS data attribute: named, resident or too short"},
        {"resident $DATA",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) { v[m + at + 8] = 0; }, mft,
         data0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS data attribute: named, resident or too short"},
        {"run-list offset past the attribute",
         [](std::vector<uint8_t>& v, uint64_t m, uint64_t at, uint64_t) {
             Put16(v, m + at + 32, 0xFFF0);
         },
         mft, data0, 0, DISK_ERR_NTFS_METADATA, 0,
         "NTFS data attribute: first VCN or run list offset out of range"},
        {"sparse run in $Bitmap",
         [](std::vector<uint8_t>& v, uint64_t r, uint64_t, uint64_t) { v[r] &= 0x0F; }, runs6, 0, 0,
         DISK_ERR_NTFS_METADATA, 0, "NTFS run list: malformed or empty"},
        {"run list without its end",
         [](std::vector<uint8_t>& v, uint64_t r, uint64_t rec, uint64_t at) {
             uint64_t end = rec + at + Bytes_LoadLe32(&v[rec + at + 4]);
             for (uint64_t p = r; p < end; p += 3) {
                 v[p] = 0x11;
                 if (p + 2 < end) {
                     v[p + 1] = 1;
                     v[p + 2] = 1;
                 }
             }
         },
         runs6, rec6, data6, DISK_ERR_NTFS_METADATA, 0, "NTFS run list: malformed or empty"},
        // The offset byte of the first run at its largest: record 6 is read from other data.
        {"$MFT run moved off the MFT",
         [](std::vector<uint8_t>& v, uint64_t r, uint64_t, uint64_t) {
             uint32_t l = v[r] & 0x0F;
             uint32_t o = v[r] >> 4;
             for (uint32_t i = 0; i < o; ++i) {
                 v[r + 1 + l + i] = i + 1 == o ? 0x7F : 0xFF;
             }
         },
         runs0, 0, 0, DISK_ERR_NTFS_METADATA, 0, "NTFS file record: no signature"},
        // A volume one cluster shorter than the MFT's first run reaches.
        {"$MFT run past the volume",
         [](std::vector<uint8_t>& v, uint64_t t, uint64_t, uint64_t) { Put64(v, 40, t); },
         (mftRunEnd - 1) * 8, 0, 0, DISK_ERR_NTFS_METADATA, 0,
         "NTFS run list: runs outside the volume or not covering the attribute"},
        // Sixteen times the clusters: the one-cluster $Bitmap holds fewer bits than clusters.
        {"bitmap shorter than one bit per cluster",
         [](std::vector<uint8_t>& v, uint64_t t, uint64_t, uint64_t) { Put64(v, 40, t * 16); },
         totalSectors, 0, 0, DISK_ERR_NTFS_METADATA, 16 * 32 * 1048576ull,
         "NTFS run list: shorter than the data it must hold"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bad = pristine;
        c.patch(bad, c.a, c.b, c.c);
        WriteFile(dir.file("bad.img"), bad);
        ImageDisk d(dir.file("bad.img"), dir.file("disk.img"), 512, kOffset, c.tail);
        ASSERT_TRUE(d.ok());
        Refusal_Clear();
        Attached a(d.disk(), d.firstSector(), d.sectorCount() + c.tail / 512);
        EXPECT_EQ(a.rc, c.expect);
        ExpectReason(c.reason);
        EXPECT_EQ(a.region.kind, FS_KIND_NONE);
        EXPECT_EQ(a.region.object, nullptr);
    }
    // The pristine volume opens through the same path.
    ImageDisk d(img, dir.file("disk.img"), 512, kOffset);
    Refusal_Clear();
    Attached a(d.disk(), d.firstSector(), d.sectorCount());
    EXPECT_EQ(a.rc, DISK_OK);
    ExpectReason(nullptr);
}

TEST(NtfsRuns, DecodeTable)
{
    struct Case {
        std::vector<uint8_t> bytes;
        bool ok;
        std::vector<NtfsRun> runs;
    } cases[] = {
        {{0x21, 0x10, 0x00, 0x10, 0x00}, true, {{0x1000, 0x10}}},
        {{0x11, 0x05, 0x20, 0x11, 0x03, 0xF0, 0x00}, true, {{32, 5}, {16, 3}}},
        {{0x31, 0x01, 0x00, 0x00, 0x01, 0x00}, true, {{0x10000, 1}}},
        {{0x00}, true, {}},
        {{0x01, 0x05, 0x00}, false, {}},                    // sparse
        {{0x11, 0x05, 0x20, 0x01, 0x04, 0x00}, false, {}},  // sparse after a real run
        {{0x15, 0x01, 0, 0, 0, 0, 0x01, 0x00}, false, {}},  // length field of 5 bytes
        {{0x51, 0x01, 0, 0, 0, 0, 0x01, 0x00}, false, {}},  // offset field of 5 bytes
        {{0x11, 0x05, 0x20}, false, {}},                    // no terminator
        {{0x21, 0x10, 0x00}, false, {}},                    // offset field past the limit
        {{0x11, 0x01, 0x80, 0x00}, false, {}},              // before cluster 0
        {{0x11, 0x00, 0x05, 0x00}, false, {}},              // zero length
        {{0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, false, {}},  // past 2^32
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        uint32_t count = 1234;
        bool ok =
            Ntfs_DecodeRuns(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), nullptr, &count);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            continue;
        }
        ASSERT_EQ(count, c.runs.size());
        std::vector<NtfsRun> runs(count + 1);
        uint32_t filled = count;
        ASSERT_TRUE(Ntfs_DecodeRuns(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()),
                                    runs.data(), &filled));
        ASSERT_EQ(filled, count);
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(runs[i].lcn, c.runs[i].lcn);
            EXPECT_EQ(runs[i].length, c.runs[i].length);
        }
    }
}

TEST(NtfsRuns, FixupsCheckEveryStrideAndLeaveAMismatchUntouched)
{
    std::vector<uint8_t> rec(1024, 0x33);
    Put16(rec, 48, 0x1234);
    Put16(rec, 50, 0xAAAA);
    Put16(rec, 52, 0xBBBB);
    Put16(rec, 510, 0x1234);
    Put16(rec, 1022, 0x1234);
    std::vector<uint8_t> bad = rec;
    Put16(bad, 1022, 0x1235);
    std::vector<uint8_t> copy = bad;
    EXPECT_FALSE(Ntfs_ApplyFixups(bad.data(), 48, 3));
    EXPECT_EQ(bad, copy);
    ASSERT_TRUE(Ntfs_ApplyFixups(rec.data(), 48, 3));
    EXPECT_EQ(Bytes_LoadLe16(&rec[510]), 0xAAAA);
    EXPECT_EQ(Bytes_LoadLe16(&rec[1022]), 0xBBBB);
}
