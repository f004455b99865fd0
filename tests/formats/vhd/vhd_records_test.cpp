// VHD records: the CHS rule against the published algorithm (python), footers and dynamic
// headers as bytes, checksums, the size rule by creator, and the cylinder helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "support/test_support.h"

using namespace testsupport;

// The unique id is drawn from the system's entropy through getrandom(). This definition takes
// the C library's place in this test program, so that a failing entropy source can be
// simulated; otherwise it forwards to the system call.
static std::atomic<bool> g_entropyFails{false};

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags)
{
    if (g_entropyFails.load()) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_getrandom, buffer, length, flags);
}

namespace {

// How qemu sizes a VHD: the current size for the current-size creators and for the largest
// CHS, else the CHS product (it has no rule on large current sizes).
uint64_t QemuDiskSectors(const VhdFooter& f)
{
    const uint64_t chs = uint64_t(f.cylinders) * f.heads * f.sectorsPerTrack;
    const uint32_t c = f.creatorApplication;
    const bool useChs = c != VHD_CODE_WIN && c != VHD_CODE_QEM2 && c != VHD_CODE_D2V &&
                        c != VHD_CODE_CTXS && c != VHD_CODE_TAP;
    return !useChs || chs == 65535ull * 16 * 255 ? f.currentSize / 512 : chs;
}

DiskGeometry Geo(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps = 512)
{
    DiskGeometry g{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(&g, total);
    return g;
}

VhdCreateOptions Options(uint32_t creator)
{
    return VhdCreateOptions{creator, 0x00050003, 0, 4096, 1, 0};
}

std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

uint32_t IndependentChecksum(const std::vector<uint8_t>& bytes, size_t checksumAt)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i < checksumAt || i >= checksumAt + 4) sum += bytes[i];
    }
    return ~sum;
}

TEST(VhdGeometryRule, MatchesThePublishedAlgorithm)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
    std::vector<uint64_t> sectors = {0,
                                     1,
                                     16,
                                     17,
                                     18,
                                     4 * 17 * 1024 - 1,
                                     4 * 17 * 1024,
                                     4 * 17 * 1024 + 17,
                                     16 * 17 * 1024 - 1,
                                     16 * 17 * 1024,
                                     16 * 17 * 1024 + 17,
                                     16 * 31 * 1024 - 1,
                                     16 * 31 * 1024,
                                     16 * 31 * 1024 + 31,
                                     66059279,
                                     66059280,
                                     267382799,
                                     267382800,
                                     0xFFFFFFFFull,
                                     0x100000000ull,
                                     0x300000001ull};
    for (uint64_t s = 1; s < (1ull << 33); s = s * 3 + 1) sectors.push_back(s);
    std::vector<uint64_t> sizes;
    for (uint64_t s : sectors) {
        sizes.push_back(s * 512);
        if (s > 0) sizes.push_back(s * 512 - 511);  // rounds up to s sectors
    }
    std::string args;
    for (uint64_t b : sizes) args += " " + std::to_string(b);
    std::string out;
    ASSERT_EQ(
        RunCommand("python3 " +
                       Quote(std::string(VDX_TEST_SOURCE_DIR) + "/formats/vhd/vhd_chs_oracle.py") +
                       args,
                   &out),
        0);
    std::istringstream in(out);
    for (uint64_t b : sizes) {
        uint64_t total = 0, heads = 0, spt = 0;
        ASSERT_TRUE(in >> total >> heads >> spt);
        DiskGeometry g{7, 7, 7, 7, 7};
        ASSERT_TRUE(Vhd_ComputeGeometry(b, &g));
        EXPECT_EQ(Geometry_GetTotalSectors(&g), total) << b;
        EXPECT_EQ(g.heads, heads) << b;
        EXPECT_EQ(g.sectors_per_track, spt) << b;
        EXPECT_EQ(g.bytes_per_sector, 512u);
        EXPECT_EQ(g.sectors32, total > 0xFFFFFFFFu ? 0 : total);
        EXPECT_EQ(g.sectors64, total > 0xFFFFFFFFu ? total : 0);
        DiskGeometry d{0, 0, 0, 0, 0};
        ASSERT_TRUE(Vhd_GetDefaultGeometry(b, &d));
        EXPECT_EQ(std::memcmp(&d, &g, sizeof d), 0);
    }
}

TEST(VhdGeometryRule, EdgeCasesOfThePart)
{
    DiskGeometry g{0, 0, 0, 0, 0};
    Vhd_ComputeGeometry(0, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 0u);
    EXPECT_EQ(g.heads, 4u);
    EXPECT_EQ(g.sectors_per_track, 17u);
    Vhd_ComputeGeometry(66059279ull * 512, &g);
    EXPECT_EQ(g.heads, 16u);
    EXPECT_EQ(g.sectors_per_track, 63u);
    Vhd_ComputeGeometry(66059280ull * 512, &g);
    EXPECT_EQ(g.heads, 16u);
    EXPECT_EQ(g.sectors_per_track, 255u);
    Vhd_ComputeGeometry(1000 * 512 + 1, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 1001u);  // kept exactly, not rounded to cylinders
    Vhd_ComputeGeometry(UINT64_MAX, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), (UINT64_MAX >> 9) + 1);
}

TEST(VhdFooter, InitFooterFillsEveryField)
{
    DiskGeometry g = Geo(4 * 17 * 100, 4, 17);
    VhdCreateOptions options = Options(VHD_CODE_VPC);
    VhdFooter host;
    const uint32_t before = static_cast<uint32_t>(time(nullptr) - 946684800);
    ASSERT_EQ(Vhd_InitFooter(&host, &g, &options, VHD_DISK_TYPE_FIXED), DISK_OK);
    const uint32_t after = static_cast<uint32_t>(time(nullptr) - 946684800);
    VhdFooter disk;
    Vhd_FooterToDisk(&host, &disk);
    const std::vector<uint8_t> b = Bytes(&disk, sizeof disk);

    EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "conectix");
    EXPECT_EQ(Bytes_LoadBe32(&b[8]), 2u);
    EXPECT_EQ(Bytes_LoadBe32(&b[12]), 0x00010000u);
    EXPECT_EQ(Bytes_LoadBe64(&b[16]), UINT64_MAX);
    const uint32_t stamp = Bytes_LoadBe32(&b[24]);  // seconds since 2000-01-01 UTC
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(std::string(b.begin() + 28, b.begin() + 32), "vpc ");
    EXPECT_EQ(Bytes_LoadBe32(&b[32]), 0x00050003u);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "Wi2k");
    // 6800 sectors = 3481600 bytes, rounded up to 128 KiB.
    EXPECT_EQ(Bytes_LoadBe64(&b[40]), 3538944u);
    EXPECT_EQ(Bytes_LoadBe64(&b[48]), 3538944u);
    EXPECT_EQ(Bytes_LoadBe16(&b[56]), 100u);
    EXPECT_EQ(b[58], 4);
    EXPECT_EQ(b[59], 17);
    EXPECT_EQ(Bytes_LoadBe32(&b[60]), 2u);
    EXPECT_EQ(Bytes_LoadBe32(&b[64]), IndependentChecksum(b, 64));
    EXPECT_EQ(b[68 + 6] & 0xF0, 0x40);
    EXPECT_EQ(b[68 + 8] & 0xC0, 0x80);
    EXPECT_EQ(b[84], 0);
    EXPECT_TRUE(Mem_IsZero(&b[85], 427));
    // The checksum is the same in both byte orders, and the converters are inverses.
    EXPECT_EQ(host.checksum, Vhd_ComputeChecksum(&host, 512, VHD_FOOTER_CHECKSUM_OFFSET));
    EXPECT_EQ(host.checksum, Vhd_ComputeChecksum(&disk, 512, VHD_FOOTER_CHECKSUM_OFFSET));
    VhdFooter again;
    Vhd_FooterToHost(&disk, &again);
    EXPECT_EQ(std::memcmp(&again, &host, sizeof host), 0);
    Vhd_FooterToHost(&disk, &disk);  // in place
    EXPECT_EQ(std::memcmp(&disk, &host, sizeof host), 0);

    // Other disk types point at the dynamic header.
    ASSERT_EQ(Vhd_InitFooter(&host, &g, &options, VHD_DISK_TYPE_DYNAMIC), DISK_OK);
    EXPECT_EQ(host.dataOffset, 512u);
    EXPECT_EQ(host.diskType, 3u);
    VhdFooter second;
    ASSERT_EQ(Vhd_InitFooter(&second, &g, &options, VHD_DISK_TYPE_DYNAMIC), DISK_OK);
    EXPECT_NE(std::memcmp(second.uniqueId, host.uniqueId, 16), 0);
}

TEST(VhdFooter, SizesAndCylindersByGeometry)
{
    struct Case {
        uint32_t creator;
        uint64_t total;
        uint32_t heads, spt;
        int expect;
        uint64_t size;
        uint32_t cyl, outHeads, outSpt;
    } cases[] = {
        // Whole cylinders for a CHS creator.
        {VHD_CODE_VPC, 16 * 63 * 1000, 16, 63, DISK_OK, 516161536, 1000, 16, 63},
        // A current-size creator states exactly the disk's bytes; a CHS creator rounds a
        // partial cylinder up to a whole one (1008 sectors, padded to 128 KiB).
        {VHD_CODE_WIN, 1000, 16, 63, DISK_OK, 512000, 0, 16, 63},
        {VHD_CODE_VPC, 1000, 16, 63, DISK_OK, 524288, 1, 16, 63},
        {VHD_CODE_VS, 1000, 16, 63, DISK_OK, 524288, 1, 16, 63},
        {VHD_CODE_VPC, 1009, 16, 63, DISK_OK, 1048576, 2, 16, 63},
        // The CHS product is exactly the size from which readers take the current size: no
        // padding past it, or this program would read more than qemu does.
        {VHD_CODE_VPC, 65535ull * 16 * 255, 17, 255, DISK_OK, 136899993600, 61680, 17, 255},
        {VHD_CODE_VPC, 65535ull * 16 * 255 - 10, 17, 255, DISK_OK, 136899993600, 61680, 17, 255},
        // Rounding up to whole cylinders would pass the largest CHS: the largest CHS, exact.
        {VHD_CODE_VPC, 16065ull * 16643 + 1, 255, 63, DISK_OK, (16065ull * 16643 + 1) * 512, 65535,
         16, 255},
        // Exactly 65535 x 16 x 255 sectors and more: the largest CHS, so readers take the
        // current size, which states exactly the disk's bytes.
        {VHD_CODE_VPC, 65535ull * 16 * 255, 16, 255, DISK_OK, 136899993600, 65535, 16, 255},
        {VHD_CODE_VPC, 65535ull * 16 * 255 + 100, 16, 255, DISK_OK, 136900044800, 65535, 16, 255},
        // More cylinders than 16 bits with another geometry: the largest CHS, sized by current
        // size, so that no reader cuts the disk at 65535 x 16 x 63.
        {VHD_CODE_VPC, 65536ull * 16 * 63, 16, 63, DISK_OK, 33822867456, 65535, 16, 255},
        // What a footer cannot hold.
        {VHD_CODE_WIN, 1000, 0, 63, DISK_ERR_ARG, 0, 0, 0, 0},
        {VHD_CODE_WIN, 1000, 16, 0, DISK_ERR_ARG, 0, 0, 0, 0},
        {VHD_CODE_WIN, 1000, 256, 63, DISK_ERR_ARG, 0, 0, 0, 0},
        {VHD_CODE_WIN, 1000, 16, 256, DISK_ERR_ARG, 0, 0, 0, 0},
        // 2040 GiB is the most a VHD holds.
        {VHD_CODE_WIN, 0xFF000000ull, 16, 255, DISK_OK, 0xFF000000ull * 512, 65535, 16, 255},
        {VHD_CODE_VPC, 0xFF000000ull, 16, 255, DISK_OK, 0xFF000000ull * 512, 65535, 16, 255},
        {VHD_CODE_WIN, 0xFF000001ull, 16, 255, DISK_ERR_ARG, 0, 0, 0, 0},
        {VHD_CODE_VPC, 0xFFFFFFFFull, 16, 255, DISK_ERR_ARG, 0, 0, 0, 0},
        // Above 2^32 sectors the 32-bit count is 0: no 0-size footer.
        {VHD_CODE_WIN, 1ull << 32, 16, 255, DISK_ERR_ARG, 0, 0, 0, 0},
        {VHD_CODE_WIN, (1ull << 32) + 4080, 16, 255, DISK_ERR_ARG, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + " sectors " + std::to_string(c.heads) + "/" +
                     std::to_string(c.spt));
        DiskGeometry g = Geo(c.total, c.heads, c.spt);
        VhdCreateOptions options = Options(c.creator);
        VhdFooter f;
        std::memset(&f, 0xAB, sizeof f);
        ASSERT_EQ(Vhd_InitFooter(&f, &g, &options, VHD_DISK_TYPE_FIXED), c.expect);
        if (c.expect != DISK_OK) {
            EXPECT_TRUE(Mem_IsZero(&f, sizeof f));
            continue;
        }
        EXPECT_EQ(f.currentSize, c.size);
        EXPECT_EQ(f.originalSize, c.size);
        EXPECT_EQ(f.cylinders, c.cyl);
        EXPECT_EQ(f.heads, c.outHeads);
        EXPECT_EQ(f.sectorsPerTrack, c.outSpt);
        EXPECT_GE(Vhd_FooterDiskSectors(&f), c.total);
        // qemu sees the same disk.
        EXPECT_EQ(Vhd_FooterDiskSectors(&f), QemuDiskSectors(f));
    }
    // Bytes per sector other than 512.
    DiskGeometry g = Geo(1008, 16, 63, 4096);
    VhdCreateOptions options = Options(VHD_CODE_WIN);
    VhdFooter f;
    EXPECT_EQ(Vhd_InitFooter(&f, &g, &options, 2), DISK_ERR_ARG);
    EXPECT_EQ(Vhd_InitFooter(&f, &g, nullptr, 2), DISK_ERR_ARG);
}

TEST(VhdFooter, SizeRuleByCreator)
{
    struct Case {
        uint32_t creator;
        uint16_t cyl;
        uint8_t heads, spt;
        uint64_t expect;
        uint64_t current = 5000 * 512;
    } cases[] = {
        {VHD_CODE_WIN, 10, 4, 17, 5000},
        {VHD_CODE_QEM2, 10, 4, 17, 5000},
        {VHD_CODE_D2V, 10, 4, 17, 5000},
        {VHD_CODE_CTXS, 10, 4, 17, 5000},
        {VHD_CODE_TAP, 10, 4, 17, 5000},
        {VHD_CODE_VPC, 10, 4, 17, 680},
        {VHD_CODE_VS, 10, 4, 17, 680},
        {VHD_CODE_QEMU, 10, 4, 17, 680},
        {0x41424344, 10, 4, 17, 680},
        {VHD_CODE_VPC, 65535, 16, 255, 5000},
        {VHD_CODE_VPC, 65535, 16, 63, 65535 * 16 * 63},
        // A current size above 65535 x 16 x 255 x 512 bytes wins over any creator and CHS.
        {VHD_CODE_VPC, 65535, 16, 63, 280000000, 143360000000},
        {VHD_CODE_VS, 1000, 16, 63, 267382801, 267382801ull * 512},
        // At exactly that size the CHS still counts.
        {VHD_CODE_VPC, 65535, 16, 63, 65535 * 16 * 63, 136899993600},
    };
    for (const Case& c : cases) {
        VhdFooter f;
        std::memset(&f, 0, sizeof f);
        f.creatorApplication = c.creator;
        f.cylinders = c.cyl;
        f.heads = c.heads;
        f.sectorsPerTrack = c.spt;
        f.currentSize = c.current;
        EXPECT_EQ(Vhd_FooterDiskSectors(&f), c.expect) << std::hex << c.creator;
    }
}

TEST(VhdFooter, ChecksumOfShortFooters)
{
    std::vector<uint8_t> b(512);
    for (size_t i = 0; i < b.size(); i++) b[i] = uint8_t(i * 7);
    EXPECT_EQ(Vhd_ByteSum(b.data(), 512), [&] {
        uint32_t s = 0;
        for (uint8_t v : b) s += v;
        return s;
    }());
    std::vector<uint8_t> first511(b.begin(), b.begin() + 511);
    EXPECT_EQ(Vhd_ComputeChecksum(b.data(), 511, 64), IndependentChecksum(first511, 64));
    // A record shorter than the checksum field's end only leaves out what it holds.
    EXPECT_EQ(Vhd_ComputeChecksum(b.data(), 66, 64),
              IndependentChecksum(std::vector<uint8_t>(b.begin(), b.begin() + 66), 64));
}

TEST(VhdDynamicHeader, InitAndConvert)
{
    VhdCreateOptions options{VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0};
    VhdDynamicHeader host;
    ASSERT_EQ(Vhd_InitDynamicHeader(&host, 4096 * 3 + 1, &options), DISK_OK);
    host.locators[2].platformCode = VHD_CODE_W2RU;
    host.locators[2].platformDataSpace = 512;
    host.locators[2].platformDataLength = 20;
    host.locators[2].platformDataOffset = 0x1122334455ull;
    host.parentTimestamp = 0x01020304;
    host.parentName[1] = 'a';
    host.checksum = Vhd_ComputeChecksum(&host, 1024, VHD_HEADER_CHECKSUM_OFFSET);
    VhdDynamicHeader disk;
    Vhd_ConvertDynamicHeader(&host, &disk);
    const std::vector<uint8_t> b = Bytes(&disk, sizeof disk);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "cxsparse");
    EXPECT_EQ(Bytes_LoadBe64(&b[8]), UINT64_MAX);
    EXPECT_EQ(Bytes_LoadBe64(&b[16]), 1536u);
    EXPECT_EQ(Bytes_LoadBe32(&b[24]), 0x00010000u);
    EXPECT_EQ(Bytes_LoadBe32(&b[28]), 4u);  // ceil(12289 / 4096)
    EXPECT_EQ(Bytes_LoadBe32(&b[32]), 4096u * 512);
    EXPECT_EQ(Bytes_LoadBe32(&b[36]), IndependentChecksum(b, 36));
    EXPECT_EQ(Bytes_LoadBe32(&b[56]), 0x01020304u);
    EXPECT_EQ(b[65], 'a');  // the parent name is not swapped
    EXPECT_EQ(std::string(b.begin() + 576 + 48, b.begin() + 576 + 52), "W2ru");
    EXPECT_EQ(Bytes_LoadBe32(&b[576 + 48 + 4]), 512u);
    EXPECT_EQ(Bytes_LoadBe32(&b[576 + 48 + 8]), 20u);
    EXPECT_EQ(Bytes_LoadBe64(&b[576 + 48 + 16]), 0x1122334455ull);
    VhdDynamicHeader again;
    Vhd_ConvertDynamicHeader(&disk, &again);
    EXPECT_EQ(std::memcmp(&again, &host, sizeof host), 0);

    // Block sizes that a header cannot state.
    for (uint32_t bad : {0u, 3u, 1000u, 0x800000u}) {
        options.blockSectors = bad;
        EXPECT_EQ(Vhd_InitDynamicHeader(&host, 100, &options), DISK_ERR_ARG) << bad;
    }
    options.blockSectors = 1;
    EXPECT_EQ(Vhd_InitDynamicHeader(&host, 0xFFFFFFFFu, &options), DISK_OK);
    EXPECT_EQ(host.maxTableEntries, 0xFFFFFFFFu);

    VhdCreateOptions* allocated = Vhd_AllocCreateOptions();
    ASSERT_NE(allocated, nullptr);
    Mem_Free(allocated);
}

TEST(VhdCylinders, Helpers)
{
    DiskGeometry g = Geo(1000, 16, 63);
    EXPECT_EQ(Geometry_GetCylinderSectors(&g), 1008u);
    EXPECT_FALSE(Geometry_IsCylinderAligned(&g));
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 1008u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 0), 1000u);
    // Below one cylinder, rounding down keeps one cylinder rather than nothing.
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 1008u);
    g = Geo(2017, 16, 63);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 2016u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 3024u);
    g = Geo(2016, 16, 63);
    EXPECT_TRUE(Geometry_IsCylinderAligned(&g));
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 2016u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 2016u);
    g = Geo(0, 16, 63);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 0u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 0u);

    // Above 267382799 sectors a cylinder is 256 sectors.
    g = Geo(267382799, 16, 255);
    EXPECT_EQ(Geometry_GetCylinderSectors(&g), 4080u);
    g = Geo(267382800, 16, 255);
    EXPECT_EQ(Geometry_GetCylinderSectors(&g), 256u);
    g = Geo(267382800 + 300, 16, 255);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 267383296u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 267383040u);
    g = Geo(UINT64_MAX, 16, 255);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), UINT64_MAX / 256 * 256);  // no wrap past 2^64

    // No cylinder size: nothing to round.
    g = Geo(1000, 0, 63);
    EXPECT_EQ(Geometry_GetCylinderSectors(&g), 0u);
    EXPECT_TRUE(Geometry_IsCylinderAligned(&g));
    EXPECT_EQ(Geometry_RoundToCylinders(&g, -1), 1000u);
    EXPECT_EQ(Geometry_RoundToCylinders(&g, 1), 1000u);
    g = Geo(1000, 0x10000, 0x10000);
    EXPECT_EQ(Geometry_GetCylinderSectors(&g), 0u);
}

TEST(VhdCheckGeometry, RefusesWhatTheWritersRefuse)
{
    struct Case {
        DiskGeometry g;
        int capacity, geometry;
    } cases[] = {
        // 2040 GiB is the largest VHD other readers open.
        {Geo(0xFF000000ull, 16, 255), 0, 0},
        {Geo(0xFF000001ull, 16, 255), -1, -1},
        {Geo(0xFFFFFFFFull, 16, 255), -1, -1},
        {Geo(0x100000000ull, 16, 255), -1, -1},
        {Geo(1000, 16, 63, 4096), -1, -1},
        // Partial cylinders are fine: the writers round them.
        {Geo(1000, 16, 63), 0, 0},
        // Heads and sectors per track the footer cannot hold.
        {Geo(1000, 0, 63), 0, -1},
        {Geo(1000, 256, 63), 0, -1},
        {Geo(1000, 16, 0), 0, -1},
        {Geo(1000, 16, 256), 0, -1},
        {Geo(1000, 255, 255), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(Geometry_GetTotalSectors(&c.g)) + " " +
                     std::to_string(c.g.heads) + "/" + std::to_string(c.g.sectors_per_track));
        EXPECT_EQ(Vhd_CheckCapacity(&c.g), c.capacity);
        EXPECT_EQ(Vhd_CheckGeometry(&c.g), c.geometry);
        // Whatever the check accepts, a footer holds, for every creator; whatever it refuses,
        // none does.
        for (uint32_t creator : {VHD_CODE_VPC, VHD_CODE_VS, VHD_CODE_WIN}) {
            VhdCreateOptions options = Options(creator);
            VhdFooter f;
            EXPECT_EQ(Vhd_InitFooter(&f, &c.g, &options, VHD_DISK_TYPE_DYNAMIC),
                      c.geometry == 0 ? DISK_OK : DISK_ERR_ARG)
                << std::hex << creator;
        }
    }
    EXPECT_EQ(Vhd_CheckGeometry(nullptr), -1);
    EXPECT_EQ(Vhd_CheckCapacity(nullptr), -1);
}

TEST(VhdFooter, NoFooterWithoutAUniqueId)
{
    DiskGeometry g = Geo(1008, 16, 63);
    VhdCreateOptions options = Options(VHD_CODE_VPC);
    VhdFooter f;
    std::memset(&f, 0xAB, sizeof f);
    g_entropyFails = true;
    const int rc = Vhd_InitFooter(&f, &g, &options, VHD_DISK_TYPE_DYNAMIC);
    g_entropyFails = false;
    EXPECT_EQ(rc, DISK_ERR_CREATE);
    EXPECT_TRUE(Mem_IsZero(&f, sizeof f));
    ASSERT_EQ(Vhd_InitFooter(&f, &g, &options, VHD_DISK_TYPE_DYNAMIC), DISK_OK);
    EXPECT_FALSE(Mem_IsZero(f.uniqueId, sizeof f.uniqueId));
}

}  // namespace
