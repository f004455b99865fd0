// Fixed-header emulator images and the fixed VHD: opening fixtures built by an independent
// python tool and by qemu-img, refusing hostile headers, and writing every format from a source
// disk so that the file reopens byte for byte and its header reads right to the python parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/raw_image.h"
#include "disk/emulator_test_util.h"
#include "formats/vhd/vhd_fixed.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "disk/raw_writer.h"
#include "volume/used_map.h"
#include <sys/stat.h>
#include "disk/known_zero_util.h"
#include "support/sparse_file.h"
#include "support/test_support.h"

using namespace testsupport;
using namespace emutest;

namespace {

typedef int (*OpenEntry)(DiskHandle*, const char*, bool);

struct FormatInfo {
    const char* name;  // the fixture tool's format name
    DiskKind kind;
    OpenEntry open;
};

const FormatInfo kFormats[] = {
    {"hdi", DISK_KIND_HDI, Disk_OpenHdi},       {"thd", DISK_KIND_THD, Disk_OpenThd},
    {"nhd", DISK_KIND_NHD, Disk_OpenNhd},       {"vhd100", DISK_KIND_VHD100, Disk_OpenVhd100},
    {"pc98e", DISK_KIND_PC98E, Disk_OpenPc98e}, {"hdim", DISK_KIND_HDIM, Disk_OpenHdim},
    {"unz", DISK_KIND_UNZ, Disk_OpenUnz},
};

const FormatInfo& Format(const std::string& name)
{
    for (const FormatInfo& f : kFormats) {
        if (name == f.name) return f;
    }
    ADD_FAILURE() << "unknown format " << name;
    return kFormats[0];
}

// Opens a file with one kind's entry; answers the result and leaves the handle open on success.
int OpenAs(const FormatInfo& f, const std::string& path, DiskHandle* h)
{
    Disk_Init(h);
    return f.open(h, path.c_str(), true);
}

std::string BuildArgs(const std::string& fmt, const std::string& out, const std::string& data,
                      uint32_t cyl, uint32_t heads, uint32_t spt, uint32_t bps,
                      const std::string& extra = "")
{
    return "build " + fmt + " " + Quote(out) + " --data " + Quote(data) + " --cyl " +
           std::to_string(cyl) + " --heads " + std::to_string(heads) + " --spt " +
           std::to_string(spt) + " --bps " + std::to_string(bps) + " " + extra;
}

class EmulatorImages : public ::testing::Test {
protected:
    void SetUp() override { InstallFakeKind(); }
    TempDir dir;
};

// ---- Reading fixtures of the independent builder ------------------------------------------

struct ReadCase {
    const char* fmt;
    uint32_t cyl, heads, spt, bps;
    uint64_t dataBytes;    // bytes of random data handed to the builder
    uint64_t expectTotal;  // sectors the reader must present
    uint32_t expectHeads, expectSpt, expectBps;
};

TEST_F(EmulatorImages, ReadsIndependentFixturesOfEveryFormat)
{
    const ReadCase cases[] = {
        {"hdi", 5, 4, 17, 512, 5 * 4 * 17 * 512, 340, 4, 17, 512},
        {"hdi", 3, 2, 8, 4096, 3 * 2 * 8 * 4096, 48, 2, 8, 4096},
        {"thd", 3, 8, 33, 256, 3 * 67584, 792, 8, 33, 256},
        {"nhd", 4, 3, 11, 1024, 4 * 3 * 11 * 1024, 132, 3, 11, 1024},
        {"nhd", 2, 2, 2, 128, 2 * 2 * 2 * 128, 8, 2, 2, 128},
        {"vhd100", 6, 8, 17, 512, 6 * 8 * 17 * 512, 816, 8, 17, 512},
        {"hdim", 3, 2, 5, 2048, 3 * 2 * 5 * 2048, 30, 2, 5, 2048},
        {"pc98e", 0, 0, 0, 512, 1 << 20, 128000, 8, 20, 512},
        {"unz", 0, 0, 0, 512, 2 << 20, 4096, 64, 32, 512},
    };
    int n = 0;
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(std::string(c.fmt) + " case " + std::to_string(n));
        const std::string data = dir.file("data" + std::to_string(n));
        const std::string image = dir.file("img" + std::to_string(n++));
        const std::vector<uint8_t> bytes = FastBytes(c.dataBytes, n);
        SaveFile(data, bytes);
        RunTool(BuildArgs(c.fmt, image, data, c.cyl, c.heads, c.spt, c.bps));

        DiskHandle h;
        ASSERT_EQ(OpenAs(Format(c.fmt), image, &h), DISK_OK);
        EXPECT_EQ(h.kind, Format(c.fmt).kind);
        DiskGeometry g{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.expectTotal);
        EXPECT_EQ(g.heads, c.expectHeads);
        EXPECT_EQ(g.sectors_per_track, c.expectSpt);
        EXPECT_EQ(g.bytes_per_sector, c.expectBps);
        std::vector<uint8_t> disk = ReadDisk(&h);
        EXPECT_TRUE(HoldsAtThenZeros(disk, 0, bytes));
        // The last byte reads; one byte further is outside the disk.
        uint8_t b[2];
        const uint64_t size = disk.size();
        EXPECT_EQ(Disk_Read(&h, size - 1, 1, b), DISK_OK);
        EXPECT_EQ(Disk_Read(&h, size - 1, 2, b), DISK_ERR_ARG);
        // Empty-range answers: random data is not empty, whatever the sector size.
        bool empty = true;
        EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, static_cast<uint32_t>(c.expectTotal), &empty,
                                    nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(empty);
        Disk_Close(&h);
        EXPECT_EQ(h.object, nullptr);
    }
}

TEST_F(EmulatorImages, EmptyRangeWithLargeSectorsStaysInsideTheBuffer)
{
    // 4096-byte sectors: 2 MiB hold 512 of them. The data is zero but for the very last sector,
    // which a 4096-sector chunk would have placed far past the buffer.
    const uint32_t cyl = 40, heads = 4, spt = 8, bps = 4096;  // 1280 sectors, 5 MiB
    std::vector<uint8_t> bytes(static_cast<size_t>(cyl) * heads * spt * bps, 0);
    bytes[bytes.size() - 1] = 1;
    const std::string data = dir.file("data"), image = dir.file("big.hdi");
    SaveFile(data, bytes);
    RunTool(BuildArgs("hdi", image, data, cyl, heads, spt, bps));
    DiskHandle h;
    ASSERT_EQ(OpenAs(Format("hdi"), image, &h), DISK_OK);
    bool empty = false;
    ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 1279, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 1280, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 1, 1280, &empty, nullptr, nullptr), DISK_ERR_ARG);
    Disk_Close(&h);
}

// ---- Hostile and malformed headers --------------------------------------------------------------

struct HostileCase {
    const char* fmt;
    uint32_t cyl, heads, spt, bps;
    const char* extra;  // overrides for the builder
    int expect;
    const char* reason;  // the check that refuses it
};

TEST_F(EmulatorImages, HostileHeadersAnswerResultCodes)
{
    const HostileCase cases[] = {
        // HDI
        {"hdi", 2, 2, 4, 512, "--set header_size=512", DISK_ERR_FORMAT,
         "HDI header: header size is not 4096"},
        {"hdi", 2, 2, 4, 512, "--set bps=0", DISK_ERR_FORMAT,
         "HDI header: sector size out of range"},
        {"hdi", 2, 2, 4, 512, "--set bps=384", DISK_ERR_FORMAT,
         "HDI header: sector size out of range"},
        {"hdi", 2, 2, 4, 512, "--set bps=64", DISK_ERR_FORMAT,
         "HDI header: sector size out of range"},
        {"hdi", 2, 2, 4, 512, "--set bps=8192", DISK_ERR_FORMAT,
         "HDI header: sector size out of range"},
        {"hdi", 2, 2, 4, 512, "--set heads=0", DISK_ERR_FORMAT,
         "HDI header: no heads or sectors per track"},
        {"hdi", 2, 2, 4, 512, "--set spt=0", DISK_ERR_FORMAT,
         "HDI header: no heads or sectors per track"},
        {"hdi", 2, 2, 4, 512, "--set cyl=0xFFFFFFFF --set heads=0xFFFFFFFF", DISK_ERR_FORMAT,
         "HDI header: too many sectors"},
        {"hdi", 2, 2, 4, 512, "--set cyl=0x10000 --set heads=0x10000", DISK_ERR_FORMAT,
         "HDI header: too many sectors"},
        {"hdi", 2, 2, 4, 512, "--set data_size=8704", DISK_ERR_FORMAT,
         "HDI header: data size does not match the geometry"},
        {"hdi", 2, 2, 4, 512, "--size 12287", DISK_ERR_FORMAT,
         "HDI file: size does not match the data size"},
        {"hdi", 2, 2, 4, 512, "--size 20", DISK_ERR_READ, nullptr},
        // THD
        {"thd", 1, 8, 33, 256, "--size 67841", DISK_ERR_FORMAT,
         "THD file: size does not match the cylinder count"},
        {"thd", 1, 8, 33, 256, "--set cyl=0xFFFFFFFF", DISK_ERR_FORMAT,
         "THD file: size does not match the cylinder count"},
        {"thd", 1, 8, 33, 256, "--size 100", DISK_ERR_READ, nullptr},
        // NHD
        {"nhd", 2, 2, 4, 512, "--set sig=str:T98HDDIMAGE.R1", DISK_ERR_FORMAT,
         "NHD header: no signature"},
        {"nhd", 2, 2, 4, 512, "--set bps=0", DISK_ERR_FORMAT,
         "NHD header: sector size out of range"},
        {"nhd", 2, 2, 4, 512, "--set bps=100", DISK_ERR_FORMAT,
         "NHD header: sector size out of range"},
        {"nhd", 2, 2, 4, 512, "--set bps=0x8000", DISK_ERR_FORMAT,
         "NHD header: sector size out of range"},
        {"nhd", 2, 2, 4, 512, "--set heads=0", DISK_ERR_FORMAT,
         "NHD header: no heads or sectors per track"},
        {"nhd", 2, 2, 4, 512, "--set spt=0", DISK_ERR_FORMAT,
         "NHD header: no heads or sectors per track"},
        {"nhd", 2, 2, 4, 512, "--set header_size=0", DISK_ERR_FORMAT,
         "NHD header: header size below 512"},
        {"nhd", 2, 2, 4, 512, "--set header_size=0xFFFFFFFF --size 8704", DISK_ERR_FORMAT,
         "NHD file: size does not match the geometry"},
        {"nhd", 2, 2, 4, 512, "--set cyl=0xFFFFFFFF --set heads=0xFFFF --set spt=0xFFFF",
         DISK_ERR_FORMAT, "NHD header: too many sectors"},
        {"nhd", 2, 2, 4, 512, "--size 8703", DISK_ERR_FORMAT,
         "NHD file: size does not match the geometry"},
        // "VHD1.00"
        {"vhd100", 2, 2, 4, 512, "--set sig=str:VHD1.01", DISK_ERR_FORMAT,
         "VHD1.00 header: no signature"},
        {"vhd100", 2, 2, 4, 512, "--set bps=0", DISK_ERR_FORMAT,
         "VHD1.00 header: sector size out of range"},
        {"vhd100", 2, 2, 4, 512, "--set bps=3000", DISK_ERR_FORMAT,
         "VHD1.00 header: sector size out of range"},
        {"vhd100", 2, 2, 4, 512, "--set heads=0", DISK_ERR_FORMAT,
         "VHD1.00 header: no heads or sectors per track"},
        {"vhd100", 2, 2, 4, 512, "--set spt=0", DISK_ERR_FORMAT,
         "VHD1.00 header: no heads or sectors per track"},
        {"vhd100", 2, 2, 4, 512, "--set cyl=0xFFFF", DISK_ERR_FORMAT,
         "VHD1.00 file: size does not match the geometry"},
        // HDIM: the total divides by the header's sector size
        {"hdim", 2, 2, 4, 512, "--set magic=str:HDIN", DISK_ERR_FORMAT,
         "HDIM header: no signature"},
        {"hdim", 2, 2, 4, 512, "--set bps=0", DISK_ERR_FORMAT,
         "HDIM header: sector size out of range"},
        {"hdim", 2, 2, 4, 512, "--set bps=100", DISK_ERR_FORMAT,
         "HDIM header: sector size out of range"},
        {"hdim", 2, 2, 4, 512, "--set heads=0", DISK_ERR_FORMAT,
         "HDIM header: no heads or sectors per track"},
        {"hdim", 2, 2, 4, 512, "--set spt=0", DISK_ERR_FORMAT,
         "HDIM header: no heads or sectors per track"},
        {"hdim", 2, 2, 4, 512, "--set data_size=0xFFFFFFFFFFFFFFFF", DISK_ERR_FORMAT,
         "HDIM file: size does not match the data size"},
        {"hdim", 2, 2, 4, 512, "--set data_size=0xFFFFFFFFFFFFFE00", DISK_ERR_FORMAT,
         "HDIM file: size does not match the data size"},
        {"hdim", 2, 2, 4, 512, "--set cyl=3", DISK_ERR_FORMAT,
         "HDIM header: data size does not match the geometry"},
        {"hdim", 2, 2, 4, 512, "--set cyl=0xFFFFFFFF --set heads=0xFFFFFFFF --set spt=0xFFFFFFFF",
         DISK_ERR_FORMAT, "HDIM header: geometry too large"},
        {"hdim", 2, 2, 4, 512, "--size 8703", DISK_ERR_FORMAT,
         "HDIM file: size does not match the data size"},
        // headerless kinds
        {"pc98e", 0, 0, 0, 512, "--size 0x41FFFFF", DISK_ERR_FORMAT,
         "PC98E file: not of the fixed size"},
        {"unz", 0, 0, 0, 512, "--size 1048577", DISK_ERR_FORMAT,
         "UNZ file: size is not a whole number of MiB"},
        {"unz", 0, 0, 0, 512, "--size 1048064", DISK_ERR_FORMAT,
         "UNZ file: size is not a whole number of MiB"},
    };
    const std::string data = dir.file("data");
    SaveFile(data, FastBytes(2 * 2 * 4 * 512, 7));
    SaveFile(dir.file("none"), {});
    // One run of the fixture tool builds every image.
    std::string commands;
    int n = 0;
    for (const HostileCase& c : cases) {
        const bool headerless = std::string(c.fmt) == "pc98e" || std::string(c.fmt) == "unz";
        commands +=
            BuildArgs(c.fmt, dir.file("h" + std::to_string(n++)),
                      headerless ? dir.file("none") : data, c.cyl, c.heads, c.spt, c.bps, c.extra) +
            "\n";
    }
    WriteText(dir.file("commands"), commands);
    RunTool("batch " + Quote(dir.file("commands")));
    n = 0;
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(std::string(c.fmt) + " " + c.extra);
        const std::string image = dir.file("h" + std::to_string(n++));
        DiskHandle h;
        Disk_Init(&h);
        Refusal_Clear();
        EXPECT_EQ(Format(c.fmt).open(&h, image.c_str(), true), c.expect);
        if (c.reason != nullptr) {
            ASSERT_NE(Refusal_Get(), nullptr);
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
        EXPECT_EQ(h.kind, DISK_KIND_NONE);
        EXPECT_EQ(h.object, nullptr);
    }
}

TEST_F(EmulatorImages, EdgeCasesOfTheSizeRules)
{
    const std::string data = dir.file("data");
    DiskHandle h;
    DiskGeometry g{0, 0, 0, 0, 0};

    // A THD file of only its header is an empty disk of 0 cylinders.
    SaveFile(data, {});
    RunTool(BuildArgs("thd", dir.file("e.thd"), data, 0, 8, 33, 256));
    ASSERT_EQ(OpenAs(Format("thd"), dir.file("e.thd"), &h), DISK_OK);
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 0u);
    Disk_Close(&h);

    // HDIM: a cylinder field off by less than one cylinder still opens, and the total comes
    // from the data size (2 x 4 x 3 sectors + 5 sectors of 512 bytes).
    SaveFile(data, FastBytes((2 * 4 * 3 + 5) * 512, 3));
    RunTool(BuildArgs("hdim", dir.file("o.slh"), data, 3, 2, 4, 512));
    ASSERT_EQ(OpenAs(Format("hdim"), dir.file("o.slh"), &h), DISK_OK);
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 29u);
    Disk_Close(&h);
    // ... while a data size one whole cylinder short of the cylinders is refused.
    SaveFile(data, FastBytes(2 * 4 * 2 * 512, 3));
    RunTool(BuildArgs("hdim", dir.file("p.slh"), data, 3, 2, 4, 512));
    EXPECT_EQ(OpenAs(Format("hdim"), dir.file("p.slh"), &h), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "HDIM header: data size does not match the geometry");

    // PC98E: only the exact size, and nothing stored past the 128000 sectors.
    SaveFile(data, FastBytes(4096, 5));
    RunTool(BuildArgs("pc98e", dir.file("a.hdd"), data, 0, 0, 0, 512));
    ASSERT_EQ(OpenAs(Format("pc98e"), dir.file("a.hdd"), &h), DISK_OK);
    Disk_Close(&h);
    std::vector<uint8_t> full = LoadFile(dir.file("a.hdd"));
    full[PC98E_FILE_SIZE - 1] = 0x55;
    SaveFile(dir.file("b.hdd"), full);
    EXPECT_EQ(OpenAs(Format("pc98e"), dir.file("b.hdd"), &h), DISK_ERR_FORMAT);
    EXPECT_STREQ(Refusal_Get(), "PC98E file: data past the last sector");
    // A sound image after the refused one.
    ASSERT_EQ(OpenAs(Format("pc98e"), dir.file("a.hdd"), &h), DISK_OK);
    Disk_Close(&h);

    // A missing file is the opener's failure, for every kind.
    for (const FormatInfo& f : kFormats) {
        EXPECT_EQ(OpenAs(f, dir.file("missing"), &h), DISK_ERR_OPEN) << f.name;
    }
    EXPECT_EQ(
        OpenAs(FormatInfo{"vhd", DISK_KIND_VHD_FIXED, Disk_OpenVhdFixed}, dir.file("missing"), &h),
        DISK_ERR_OPEN);
}

TEST_F(EmulatorImages, OpenersReportCancelAndFailureOfTheCallback)
{
    struct Script {
        static int Cancel(const char*, bool, ByteStream**, void*) { return 1; }
        static int Fail(const char*, bool, ByteStream**, void*) { return -1; }
    };
    RawImage raw;
    EXPECT_EQ(Hdi_OpenWithCallback(&raw, Script::Cancel, nullptr, "x", true), DISK_CANCELLED);
    EXPECT_EQ(Unz_OpenWithCallback(&raw, Script::Fail, nullptr, "x", true), DISK_ERR_OPEN);
    VhdFixedImage vhd;
    EXPECT_EQ(VhdFixed_OpenWithCallback(&vhd, Script::Cancel, nullptr, "x", true), DISK_CANCELLED);
    FileOpener cancel{Script::Cancel, nullptr};
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_OpenNhdWithHandler(&h, &cancel, "x", true), DISK_CANCELLED);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
}

TEST_F(EmulatorImages, SectorSizeRuleOfTheChecks)
{
    for (uint32_t bps : {128u, 256u, 512u, 1024u, 2048u, 4096u}) {
        DiskGeometry g = MakeGeometry(100, 4, 5, bps);
        EXPECT_EQ(Hdi_CheckGeometry(&g), 0) << bps;
        EXPECT_EQ(Nhd_CheckGeometry(&g), 0) << bps;
        EXPECT_EQ(Vhd100_CheckGeometry(&g), 0) << bps;
        EXPECT_EQ(Hdim_CheckGeometry(&g), 0) << bps;
    }
    for (uint32_t bps : {0u, 64u, 384u, 8192u, 0x80000000u}) {
        DiskGeometry g = MakeGeometry(100, 4, 5, bps);
        EXPECT_EQ(Hdi_CheckGeometry(&g), -1) << bps;
        EXPECT_EQ(Nhd_CheckGeometry(&g), -1) << bps;
        EXPECT_EQ(Vhd100_CheckGeometry(&g), -1) << bps;
        EXPECT_EQ(Hdim_CheckGeometry(&g), -1) << bps;
    }
    DiskGeometry g256 = MakeGeometry(264, 8, 33, 256), g512 = MakeGeometry(2048, 64, 32, 512);
    EXPECT_EQ(Thd_CheckGeometry(&g256), 0);
    EXPECT_EQ(Thd_CheckGeometry(&g512), -1);
    EXPECT_EQ(Unz_CheckGeometry(&g512), 0);
    EXPECT_EQ(Unz_CheckGeometry(&g256), -1);
    EXPECT_EQ(Pc98e_CheckGeometry(&g512), 0);
    EXPECT_EQ(VhdFixed_CheckGeometry(&g512), 0);
    EXPECT_EQ(VhdFixed_CheckGeometry(&g256), -1);
    // Every check but the flat one needs a total below 2^32.
    DiskGeometry huge = MakeGeometry(1ull << 32, 16, 63, 512);
    for (auto check :
         {Hdi_CheckGeometry, Nhd_CheckGeometry, Vhd100_CheckGeometry, Hdim_CheckGeometry,
          Unz_CheckGeometry, Pc98e_CheckGeometry, VhdFixed_CheckGeometry}) {
        EXPECT_EQ(check(&huge), -1);
    }
}

// ---- Fixed VHD ----------------------------------------------------------------------------------

struct VhdCase {
    const char* creator;
    uint32_t cyl, heads, spt;
    uint64_t current;      // bytes of data before the footer
    uint64_t expectTotal;  // sectors the reader must present
};

TEST_F(EmulatorImages, FixedVhdSizeFollowsTheCreator)
{
    // 20 x 4 x 17 = 1360 sectors of CHS in a data area of 1500 sectors.
    const VhdCase cases[] = {
        {"win ", 20, 4, 17, 1500 * 512, 1500},
        {"qem2", 20, 4, 17, 1500 * 512, 1500},
        {"d2v ", 20, 4, 17, 1500 * 512, 1500},
        {"CTXS", 20, 4, 17, 1500 * 512, 1500},
        {"tap", 20, 4, 17, 1500 * 512, 1500},
        {"vpc ", 20, 4, 17, 1500 * 512, 1360},
        {"vs  ", 20, 4, 17, 1500 * 512, 1360},
        {"qemu", 20, 4, 17, 1500 * 512, 1360},
        {"abcd", 20, 4, 17, 1500 * 512, 1360},
        // The largest CHS means "take the current size", even when it is smaller than the CHS.
        {"vpc ", 65535, 16, 255, 1500 * 512, 1500},
    };
    const std::vector<uint8_t> data = FastBytes(1500 * 512, 11);
    SaveFile(dir.file("data"), data);
    int n = 0;
    for (const VhdCase& c : cases) {
        SCOPED_TRACE(std::string("creator '") + c.creator + "'");
        const std::string image = dir.file("v" + std::to_string(n++) + ".vhd");
        RunTool("vhdfixed " + Quote(image) + " --data " + Quote(dir.file("data")) + " --creator " +
                Quote(c.creator) + " --cyl " + std::to_string(c.cyl) + " --heads " +
                std::to_string(c.heads) + " --spt " + std::to_string(c.spt) + " --current " +
                std::to_string(c.current));
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_OpenVhdFixed(&h, image.c_str(), true), DISK_OK);
        EXPECT_EQ(h.kind, DISK_KIND_VHD_FIXED);
        DiskGeometry g{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.expectTotal);
        EXPECT_EQ(g.heads, c.heads);
        EXPECT_EQ(g.sectors_per_track, c.spt);
        EXPECT_EQ(g.bytes_per_sector, 512u);
        std::vector<uint8_t> disk = ReadDisk(&h);
        EXPECT_TRUE(std::equal(disk.begin(), disk.end(), data.begin()));
        Disk_Close(&h);
    }
}

TEST_F(EmulatorImages, FixedVhdAboveTheLargestChsIsSizedByItsCurrentSize)
{
    // A "vpc " footer of 143,360,000,000 bytes with CHS 65535/16/63 (66,059,280 sectors): a
    // current size above 65535 x 16 x 255 x 512 bytes is the disk's size.
    const std::vector<uint8_t> data = FastBytes(4096, 3);
    SaveFile(dir.file("head"), data);
    const std::string image = dir.file("large.vhd");
    RunTool("vhdfixed " + Quote(image) + " --data " + Quote(dir.file("head")) +
            " --creator 'vpc ' --cyl 65535 --heads 16 --spt 63 --current 143360000000 --sparse 1");
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenVhdFixed(&h, image.c_str(), true), DISK_OK);
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 280000000u);
    std::vector<uint8_t> head(4096), last(512, 0xEE);
    ASSERT_EQ(Disk_Read(&h, 0, 4096, head.data()), DISK_OK);
    EXPECT_EQ(head, data);
    ASSERT_EQ(Disk_Read(&h, 143360000000ull - 512, 512, last.data()), DISK_OK);
    EXPECT_EQ(last, std::vector<uint8_t>(512, 0));
    Disk_Close(&h);
    // libvhdi sizes every disk by its current size.
    if (HaveTool("vhdiinfo")) {
        std::string out;
        ASSERT_EQ(RunCommand("vhdiinfo " + Quote(image) + " 2>&1", &out), 0) << out;
        EXPECT_NE(out.find("(143360000000 bytes)"), std::string::npos) << out;
    }
    // At exactly 65535 x 16 x 255 x 512 bytes the CHS still counts.
    RunTool("vhdfixed " + Quote(image) + " --data " + Quote(dir.file("head")) +
            " --creator 'vpc ' --cyl 65535 --heads 16 --spt 63 --current 136899993600 --sparse 1");
    ASSERT_EQ(Disk_OpenVhdFixed(&h, image.c_str(), true), DISK_OK);
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 66059280u);
    Disk_Close(&h);
}

TEST_F(EmulatorImages, FixedVhdFooterChecks)
{
    const std::vector<uint8_t> data = FastBytes(4 * 4 * 17 * 512, 13);
    SaveFile(dir.file("data"), data);
    const std::string base =
        "--data " + Quote(dir.file("data")) + " --creator 'vpc ' --cyl 4 --heads 4 --spt 17 ";
    struct Case {
        const char* extra;
        int expect;
    } cases[] = {
        {"", DISK_OK},
        {"--footer511 1", DISK_OK},
        {"--badsum 1", DISK_ERR_FORMAT},
        {"--footer511 1 --badsum 1", DISK_ERR_FORMAT},
        {"--set version=0x20000", DISK_ERR_FORMAT},
        {"--set disk_type=3", DISK_ERR_FORMAT},
        {"--set data_offset=512", DISK_ERR_FORMAT},
        {"--set reserved_last=1", DISK_ERR_FORMAT},
        {"--heads 0", DISK_ERR_FORMAT},
        {"--spt 0", DISK_ERR_FORMAT},
        // current size beyond the file's data, and CHS larger than the data for a CHS creator
        {"--current 35000", DISK_ERR_FORMAT},
        {"--cyl 5", DISK_ERR_FORMAT},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        const std::string image = dir.file("f" + std::to_string(n++) + ".vhd");
        RunTool("vhdfixed " + Quote(image) + " " + base + c.extra);
        if (std::string(c.extra) == "--current 35000") {
            // Keep the file as long as the footer says, less one sector: the sizes disagree.
            std::vector<uint8_t> f = LoadFile(image);
            f.erase(f.begin(), f.begin() + 512);
            SaveFile(image, f);
        }
        DiskHandle h;
        Disk_Init(&h);
        EXPECT_EQ(Disk_OpenVhdFixed(&h, image.c_str(), true), c.expect);
        if (c.expect == DISK_OK) {
            EXPECT_EQ(ReadDisk(&h), data);
            Disk_Close(&h);
        } else {
            EXPECT_EQ(h.object, nullptr);
        }
    }
    // A size of 510 modulo 512 is no fixed VHD; a file shorter than a footer neither.
    std::vector<uint8_t> f = LoadFile(dir.file("f0.vhd"));
    f.pop_back();
    f.pop_back();
    SaveFile(dir.file("short.vhd"), f);
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_OpenVhdFixed(&h, dir.file("short.vhd").c_str(), true), DISK_ERR_FORMAT);
    SaveFile(dir.file("tiny.vhd"), std::vector<uint8_t>(100, 0));
    EXPECT_EQ(Disk_OpenVhdFixed(&h, dir.file("tiny.vhd").c_str(), true), DISK_ERR_FORMAT);
}

class QemuVhd : public EmulatorImages {
protected:
    void SetUp() override
    {
        EmulatorImages::SetUp();
        if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed (qemu-utils)";
    }
    uint64_t QemuVirtualSize(const std::string& path)
    {
        std::string out;
        EXPECT_EQ(RunCommand("qemu-img info -f vpc --output=json " + Quote(path), &out), 0);
        const size_t at = out.find("\"virtual-size\":");
        if (at == std::string::npos) return 0;
        return std::stoull(out.substr(at + 15));
    }
};

TEST_F(QemuVhd, ReadsQemuMadeFixedDisksAtFullSize)
{
    // A converted disk with data (creator "qemu", CHS rounded up over the data).
    const std::vector<uint8_t> src = FastBytes(3 << 20, 17);
    SaveFile(dir.file("src.img"), src);
    ASSERT_EQ(RunCommand("qemu-img convert -f raw -O vpc -o subformat=fixed " +
                         Quote(dir.file("src.img")) + " " + Quote(dir.file("c.vhd"))),
              0);
    // force_size: creator "qem2", CHS 65535/16/255, current size 100 MiB.
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc -o subformat=fixed,force_size=on " +
                         Quote(dir.file("f.vhd")) + " 100M"),
              0);
    // 130 GiB, sparse: the CHS product falls 2.5 GiB short of the current size.
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc -o subformat=fixed " +
                         Quote(dir.file("big.vhd")) + " 130G"),
              0);

    for (const char* name : {"c.vhd", "f.vhd", "big.vhd"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_OpenVhdFixed(&h, path.c_str(), true), DISK_OK);
        DiskGeometry g{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g) * 512, QemuVirtualSize(path));
        uint8_t last[512];
        EXPECT_EQ(Disk_Read(&h, Geometry_GetTotalSectors(&g) * 512 - 512, 512, last), DISK_OK);
        if (std::string(name) == "c.vhd") {
            std::vector<uint8_t> disk = ReadDisk(&h);
            EXPECT_TRUE(std::equal(src.begin(), src.end(), disk.begin()));
        }
        Disk_Close(&h);
    }
    EXPECT_EQ(QemuVirtualSize(dir.file("big.vhd")), 130ull << 30);
}

// ---- Creators: round trips ---------------------------------------------------------------------

struct RoundTrip {
    const char* fmt;
    uint64_t total;
    uint32_t heads, spt, bps;
    std::function<int(const char*, const DiskHandle*, Progress*)> create;
    uint32_t expectHeads, expectSpt;  // geometry on reopening
    uint64_t expectTotal;
    uint64_t dataOffset;
    uint64_t fileSize;
    const char* ext;  // the output's extension, for the general open
};

TEST_F(EmulatorImages, EveryCreatorRoundTripsThroughItsOwnReader)
{
    auto cb = Progress::Callback;
    const RoundTrip cases[] = {
        {"hdi", 4 * 17 * 40, 4, 17, 512,
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Hdi_Create(p, s, cb, u, false);
         },
         4, 17, 4 * 17 * 40, 4096, 4096 + 4 * 17 * 40 * 512, "hdi"},
        {"hdi", 2 * 8 * 600, 2, 8, 4096,  // more than one 2 MiB chunk of 4096-byte sectors
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Hdi_Create(p, s, cb, u, true);
         },
         2, 8, 2 * 8 * 600, 4096, 4096 + 2 * 8 * 600 * 4096ull, "hdi"},
        {"thd", 264 * 50, 8, 33, 256,
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Thd_Create(p, s, cb, u, false);
         },
         8, 33, 264 * 50, 256, 256 + 50 * 67584, "thd"},
        {"nhd", 3 * 11 * 100, 3, 11, 1024,
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Nhd_Create(p, s, cb, u, false);
         },
         3, 11, 3 * 11 * 100, 512, 512 + 3 * 11 * 100 * 1024, "nhd"},
        {"vhd100", 8 * 17 * 70, 8, 17, 512,
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Vhd100_Create(p, s, cb, u, false);
         },
         8, 17, 8 * 17 * 70, 220, 220 + 8 * 17 * 70 * 512, "hdd"},
        {"hdim", 5 * 7 * 30 + 3, 5, 7, 2048,  // not whole cylinders: HDIM keeps the data size
         [&](const char* p, const DiskHandle* s, Progress* u) { return Hdim_Create(p, s, cb, u); },
         5, 7, 5 * 7 * 30 + 3, 512, 512 + (5 * 7 * 30 + 3) * 2048, "slh"},
        {"unz", 2048 * 3, 16, 63, 512,
         [&](const char* p, const DiskHandle* s, Progress* u) {
             return Unz_Create(p, s, cb, u, false);
         },
         64, 32, 2048 * 3, 0, 3 << 20, "h1"},
        {"pc98e", 128000, 8, 20, 512,
         [&](const char* p, const DiskHandle* s, Progress* u) { return Pc98e_Create(p, s, cb, u); },
         8, 20, 128000, 0, PC98E_FILE_SIZE, "img"},
        {"pc98e", 5000, 4, 17, 512,  // a smaller source: zeros up to the fixed size
         [&](const char* p, const DiskHandle* s, Progress* u) { return Pc98e_Create(p, s, cb, u); },
         8, 20, 128000, 0, PC98E_FILE_SIZE, "img"},
    };
    int n = 0;
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(std::string(c.fmt) + " case " + std::to_string(n));
        const std::string srcPath = dir.file("src" + std::to_string(n));
        const std::string out = dir.file("out" + std::to_string(n++) + "." + c.ext);
        const std::vector<uint8_t> src = FastBytes(c.total * c.bps, n);
        SaveFile(srcPath, src);
        DiskGeometry g = MakeGeometry(c.total, c.heads, c.spt, c.bps);
        DiskHandle source;
        Disk_Init(&source);
        ASSERT_EQ(Disk_OpenRaw(&source, srcPath.c_str(), true, 0, &g), DISK_OK);
        Progress progress;
        ASSERT_EQ(c.create(out.c_str(), &source, &progress), DISK_OK);
        Disk_Close(&source);

        // Progress: 0 first, then rising, the total last.
        ASSERT_GE(progress.calls.size(), 2u);
        EXPECT_EQ(progress.calls.front().first, 0u);
        EXPECT_EQ(progress.calls.back().first, c.total);
        for (size_t i = 1; i < progress.calls.size(); i++) {
            EXPECT_GE(progress.calls[i].first, progress.calls[i - 1].first);
            EXPECT_EQ(progress.calls[i].second, c.total);
        }

        // The file: its size and its data area, byte for byte.
        const std::vector<uint8_t> file = LoadFile(out);
        ASSERT_EQ(file.size(), c.fileSize);
        EXPECT_TRUE(HoldsAtThenZeros(file, c.dataOffset, src));

        // The header, read by the independent parser.
        const std::string fmt = c.fmt;
        if (fmt != "pc98e" && fmt != "unz") {
            auto f = ParseFields(RunTool("parse " + fmt + " " + Quote(out)));
            EXPECT_EQ(U64(f, "data_offset"), c.dataOffset);
            const uint64_t cyl = c.total / (uint64_t(c.heads) * c.spt);
            EXPECT_EQ(U64(f, "cyl"), cyl);
            if (fmt != "thd") {
                EXPECT_EQ(U64(f, "heads"), c.heads);
                EXPECT_EQ(U64(f, "spt"), c.spt);
                EXPECT_EQ(U64(f, "bps"), c.bps);
            }
            if (fmt == "hdi") {
                EXPECT_EQ(U64(f, "header_size"), 4096u);
                EXPECT_EQ(U64(f, "data_size"), c.total * c.bps);
                EXPECT_EQ(U64(f, "type"), 0u);
            } else if (fmt == "nhd") {
                EXPECT_EQ(f["sig"], "543938484444494d4147452e52300000");
                EXPECT_EQ(U64(f, "header_size"), 512u);
            } else if (fmt == "vhd100") {
                EXPECT_EQ(f["sig"], "564844312e303000");
                EXPECT_EQ(U64(f, "total"), c.total);
                EXPECT_EQ(U64(f, "size_mib"), (c.total * c.bps) >> 20);
            } else if (fmt == "hdim") {
                EXPECT_EQ(f["magic"], "4844494d");
                EXPECT_EQ(U64(f, "data_size"), c.total * c.bps);
            }
        }

        // Reopened by the system's own reader, found by the general open: same total, every
        // byte the source's.
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
        EXPECT_EQ(h.kind, Format(c.fmt).kind);
        DiskGeometry back{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &back);
        EXPECT_EQ(Geometry_GetTotalSectors(&back), c.expectTotal);
        EXPECT_EQ(back.heads, c.expectHeads);
        EXPECT_EQ(back.sectors_per_track, c.expectSpt);
        EXPECT_EQ(back.bytes_per_sector, c.bps);
        EXPECT_TRUE(HoldsAtThenZeros(ReadDisk(&h), 0, src));
        Disk_Close(&h);
    }
}

TEST_F(QemuVhd, FixedVhdCreatorOutputReadsBackHereAndInQemu)
{
    struct Case {
        const char* creator;
        uint32_t code, version;
        uint64_t total;
        uint32_t heads, spt;
        uint64_t expectTotal;  // on reopening: the CHS product, or the current size
        uint32_t expectCyl, expectHeads, expectSpt;
    } cases[] = {
        // "vpc " sizes by CHS: a whole number of cylinders reads back exactly.
        {"vpc ", VHD_CODE_VPC, 0x00050003, 4 * 17 * 90, 4, 17, 4 * 17 * 90, 90, 4, 17},
        // "win " sizes by the current size, which states exactly the source's bytes.
        {"win ", VHD_CODE_WIN, 0x00060001, 1000, 16, 63, 1000, 0, 16, 63},
        // More cylinders than the field holds: the footer states 65535/16/255.
        {"vs  ", VHD_CODE_VS, 0x00010000, 65536, 1, 1, 65536, 65535, 16, 255},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.creator);
        const std::string srcPath = dir.file("src" + std::to_string(n) + ".img");
        const std::string out = dir.file("out" + std::to_string(n++) + ".vhd");
        const std::vector<uint8_t> src = FastBytes(c.total * 512, 40 + n);
        SaveFile(srcPath, src);
        DiskGeometry g = MakeGeometry(c.total, c.heads, c.spt, 512);
        DiskHandle source;
        Disk_Init(&source);
        ASSERT_EQ(Disk_OpenRaw(&source, srcPath.c_str(), true, 0, &g), DISK_OK);
        VhdCreateOptions options{c.code, c.version, 0, 4096, 1, 0};
        Progress progress;
        const int32_t before = static_cast<int32_t>(time(nullptr) - 946684800);
        ASSERT_EQ(
            VhdFixed_Create(out.c_str(), &source, nullptr, Progress::Callback, &progress, &options),
            DISK_OK);
        Disk_Close(&source);
        EXPECT_EQ(progress.calls.front().first, 0u);
        EXPECT_EQ(progress.calls.back().first, c.total);

        auto f = ParseFields(RunTool("vhdfooter " + Quote(out)));
        // CHS-sized disks pad their data to 128 KiB; current-size ones state it exactly.
        const bool byCurrentSize = c.code == VHD_CODE_WIN || c.expectCyl == 65535;
        const uint64_t size =
            byCurrentSize ? c.total * 512 : (c.total * 512 + 131071) / 131072 * 131072;
        EXPECT_EQ(f["cookie"], "conectix");
        EXPECT_EQ(U64(f, "features"), 2u);
        EXPECT_EQ(U64(f, "version"), 0x10000u);
        EXPECT_EQ(U64(f, "data_offset"), UINT64_MAX);
        EXPECT_EQ(U64(f, "disk_type"), 2u);
        EXPECT_EQ(U64(f, "checksum_ok"), 1u);
        EXPECT_EQ(U64(f, "reserved_zero"), 1u);
        EXPECT_EQ(U64(f, "footer_length"), 512u);
        EXPECT_EQ(U64(f, "original_size"), size);
        EXPECT_EQ(U64(f, "current_size"), size);
        EXPECT_EQ(U64(f, "cylinders"), c.expectCyl);
        EXPECT_EQ(U64(f, "heads"), c.expectHeads);
        EXPECT_EQ(U64(f, "spt"), c.expectSpt);
        EXPECT_EQ(f["creator_host"], "Wi2k");
        EXPECT_EQ(U64(f, "creator_version"), c.version);
        char code[9];
        snprintf(code, sizeof code, "%08x", c.code);
        EXPECT_EQ(f["creator_app"], code);
        // Seconds since 2000-01-01 UTC.
        const int64_t stamp = static_cast<int64_t>(U64(f, "timestamp"));
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, before + 5);
        const std::string uuid = f["uuid"];
        ASSERT_EQ(uuid.size(), 32u);
        EXPECT_EQ(uuid[12], '4');

        const std::vector<uint8_t> file = LoadFile(out);
        ASSERT_EQ(file.size(), size + 512);
        EXPECT_EQ(std::memcmp(file.data(), src.data(), src.size()), 0);
        EXPECT_TRUE(Mem_IsZero(file.data() + src.size(), uint32_t(size - src.size())));

        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
        EXPECT_EQ(h.kind, DISK_KIND_VHD_FIXED);
        DiskGeometry back{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &back);
        EXPECT_EQ(Geometry_GetTotalSectors(&back), c.expectTotal);
        EXPECT_TRUE(HoldsAtThenZeros(ReadDisk(&h), 0, src));
        Disk_Close(&h);

        EXPECT_EQ(QemuVirtualSize(out), c.expectTotal * 512);
        std::string msg;
        EXPECT_EQ(RunCommand("qemu-img compare -f vpc -F raw " + Quote(out) + " " + Quote(srcPath) +
                                 " 2>&1",
                             &msg),
                  0)
            << msg;
    }
}

TEST_F(EmulatorImages, CreatorsRefuseWhatTheirHeaderCannotHold)
{
    FakeDisk fake;
    DiskHandle source = FakeHandle(&fake);
    const std::string out = dir.file("refused");
    VhdCreateOptions vpc{VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0};
    struct Case {
        const char* what;
        DiskGeometry g;
        std::function<int()> create;
    } cases[] = {
        {"HDI data size of 4 GiB", MakeGeometry(8388608, 16, 64, 512),
         [&] { return Hdi_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"HDI partial cylinder", MakeGeometry(1001, 4, 17, 512),
         [&] { return Hdi_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"HDI no heads", MakeGeometry(1000, 0, 17, 512),
         [&] { return Hdi_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"HDI sector size 384", MakeGeometry(68, 4, 17, 384),
         [&] { return Hdi_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"THD heads other than 8", MakeGeometry(528, 16, 33, 256),
         [&] { return Thd_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"THD partial cylinder", MakeGeometry(265, 8, 33, 256),
         [&] { return Thd_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"THD 512-byte sectors", MakeGeometry(264, 8, 33, 512),
         [&] { return Thd_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"NHD partial cylinder", MakeGeometry(100, 3, 11, 512),
         [&] { return Nhd_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"NHD 17-bit heads", MakeGeometry(0x10000, 0x10000, 1, 512),
         [&] { return Nhd_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"VHD1.00 65536 cylinders", MakeGeometry(65536ull * 16 * 63, 16, 63, 512),
         [&] { return Vhd100_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"VHD1.00 256 heads", MakeGeometry(256 * 17, 256, 17, 512),
         [&] { return Vhd100_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"VHD1.00 partial cylinder", MakeGeometry(1000, 16, 63, 512),
         [&] { return Vhd100_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"PC98E above 128000 sectors", MakeGeometry(128001, 8, 20, 512),
         [&] { return Pc98e_Create(out.c_str(), &source, nullptr, nullptr); }},
        {"HDIM no sectors per track", MakeGeometry(1000, 4, 0, 512),
         [&] { return Hdim_Create(out.c_str(), &source, nullptr, nullptr); }},
        {"Unz not whole MiB", MakeGeometry(2049, 64, 32, 512),
         [&] { return Unz_Create(out.c_str(), &source, nullptr, nullptr, false); }},
        {"fixed VHD above 2^32 sectors", MakeGeometry(1ull << 32, 16, 255, 512),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, &vpc); }},
        {"fixed VHD no heads", MakeGeometry(1000, 0, 17, 512),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, &vpc); }},
        {"fixed VHD above 2040 GiB", MakeGeometry(0xFF000001ull, 16, 255, 512),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, &vpc); }},
        {"fixed VHD 256 sectors per track", MakeGeometry(1024, 4, 256, 512),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, &vpc); }},
        {"fixed VHD 4096-byte sectors", MakeGeometry(1008, 16, 63, 4096),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, &vpc); }},
        {"fixed VHD without options", MakeGeometry(1008, 16, 63, 512),
         [&] { return VhdFixed_Create(out.c_str(), &source, nullptr, nullptr, nullptr, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.geometry = c.g;
        const std::string what = c.what;
        if (what.compare(0, 9, "fixed VHD") == 0 && what != "fixed VHD without options") {
            EXPECT_EQ(VhdFixed_CheckGeometry(&c.g), -1);  // the page knows it before the run
        }
        EXPECT_EQ(c.create(), DISK_ERR_ARG);
        EXPECT_FALSE(Os_PathExists(out.c_str()));
        EXPECT_TRUE(fake.reads.empty());
    }
    // The HDI data size field holds at most 4 GiB - 1 bytes.
    DiskGeometry big = MakeGeometry(8388607, 1, 1, 512);
    EXPECT_EQ(Hdi_CheckGeometry(&big), 0);
    big = MakeGeometry(8388608, 1, 1, 512);
    EXPECT_EQ(Hdi_CheckGeometry(&big), -1);
    big = MakeGeometry(1048576, 1, 1, 4096);
    EXPECT_EQ(Hdi_CheckGeometry(&big), -1);
    DiskGeometry cyl = MakeGeometry(65535ull * 16 * 63, 16, 63, 512);
    EXPECT_EQ(Vhd100_CheckGeometry(&cyl), 0);
    cyl = MakeGeometry(65535ull * 16 * 63 + 1008, 16, 63, 512);
    EXPECT_EQ(Vhd100_CheckGeometry(&cyl), -1);
    DiskGeometry pc = MakeGeometry(128000, 16, 63, 512);
    EXPECT_EQ(Pc98e_CheckGeometry(&pc), 0);
    Geometry_SetTotalSectors(&pc, 128001);
    EXPECT_EQ(Pc98e_CheckGeometry(&pc), -1);
}

TEST_F(EmulatorImages, CreatorsStopOnCancelAndOnReadFailures)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(8 * 17 * 100, 8, 17, 512);  // 13600 sectors: 4 chunks
    fake.byteAt = [](uint64_t at) { return uint8_t(at * 131 >> 9); };
    DiskHandle source = FakeHandle(&fake);

    // Cancelled after the first chunk: result 1 and a partial file stays.
    Progress progress;
    progress.stopAt = 2;
    const std::string out = dir.file("c.hdi");
    EXPECT_EQ(Hdi_Create(out.c_str(), &source, Progress::Callback, &progress, false),
              DISK_CANCELLED);
    EXPECT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(fake.reads.size(), 2u);
    EXPECT_TRUE(Os_PathExists(out.c_str()));
    // Each chunk is 2 MiB of source read at once.
    EXPECT_EQ(fake.reads[0], std::make_pair(uint64_t(0), uint32_t(0x200000)));
    EXPECT_EQ(fake.reads[1], std::make_pair(uint64_t(0x200000), uint32_t(0x200000)));

    // Cancelled at once.
    progress = Progress();
    progress.stopAt = 0;
    EXPECT_EQ(
        Vhd100_Create(dir.file("c.hdd").c_str(), &source, Progress::Callback, &progress, false),
        DISK_CANCELLED);
    EXPECT_EQ(progress.calls.size(), 1u);

    // A failing read is the result.
    fake.reads.clear();
    fake.failReadNumber = 1;
    fake.failReadCode = DISK_ERR_READ;
    EXPECT_EQ(Nhd_Create(dir.file("f.nhd").c_str(), &source, nullptr, nullptr, false),
              DISK_ERR_READ);
    EXPECT_EQ(fake.reads.size(), 2u);

    // No callback is needed.
    fake.failReadNumber = -1;
    EXPECT_EQ(Nhd_Create(dir.file("ok.nhd").c_str(), &source, nullptr, nullptr, false), DISK_OK);
    DiskHandle h;
    ASSERT_EQ(OpenAs(Format("nhd"), dir.file("ok.nhd"), &h), DISK_OK);
    const std::vector<uint8_t> disk = ReadDisk(&h);
    ASSERT_EQ(disk.size(), 13600u * 512);
    for (size_t i = 0; i < disk.size(); i += 4099) ASSERT_EQ(disk[i], fake.byteAt(i)) << i;
    Disk_Close(&h);

    // An unwritable output path.
    fake.geometry = MakeGeometry(264, 8, 33, 256);
    EXPECT_EQ(Thd_Create(dir.file("no/such/dir.thd").c_str(), &source, nullptr, nullptr, false),
              DISK_ERR_CREATE);
}

TEST_F(EmulatorImages, HdimTimeStampIsLocalTimeText)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(4 * 17, 4, 17, 512);
    DiskHandle source = FakeHandle(&fake);
    const std::string out = dir.file("t.slh");
    uint16_t y0, mo0, d0, h0, mi0, s0, ms0;
    Time_GetLocalParts(&y0, &mo0, nullptr, &d0, &h0, &mi0, &s0, &ms0);
    ASSERT_EQ(Hdim_Create(out.c_str(), &source, nullptr, nullptr), DISK_OK);
    const std::vector<uint8_t> file = LoadFile(out);
    const std::string stamp(reinterpret_cast<const char*>(file.data() + 28), 19);
    EXPECT_EQ(file[47], 0);
    char expect[32];
    snprintf(expect, sizeof expect, "%04u%02u%02u-", unsigned(y0), unsigned(mo0), unsigned(d0));
    EXPECT_EQ(stamp.substr(0, 9), expect);  // (a run at midnight may see the next day)
    EXPECT_EQ(stamp[15], '-');
    EXPECT_EQ(stamp.substr(16), "000");
    for (int i : {9, 10, 11, 12, 13, 14}) EXPECT_TRUE(isdigit(stamp[i]));
}

}  // namespace

// The fixed VHD and the flat raw image of a disk with an ext4 volume hold the free space and the
// zeros as holes: they read back identical through qemu-img, and the blocks they allocate are
// no more than the source's used data and the metadata.
TEST_F(EmulatorImages, FixedVhdAndFlatLeaveFreeSpaceAsHoles)
{
    if (!HaveTool("qemu-img") || !HaveTool("mke2fs") || !HaveTool("sfdisk")) {
        GTEST_SKIP() << "qemu-img, e2fsprogs or sfdisk missing";
    }
    const std::string srcPath = dir.file("disk.raw");
    const std::string tree = dir.file("tree");
    ASSERT_EQ(RunCommand("mkdir -p " + Quote(tree) + " && head -c 6000000 /dev/urandom > " +
                         Quote(tree + "/data.bin") + " && truncate -s 96M " + Quote(srcPath) +
                         " && printf 'label: dos\\n2048,,83\\n' | sfdisk -q " + Quote(srcPath) +
                         " && mke2fs -q -F -t ext4 -E offset=1048576 -d " + Quote(tree) + " " +
                         Quote(srcPath) + " 95M 2>&1"),
              0);
    DiskGeometry g = MakeGeometry(96 * 2048, 16, 63, 512);
    DiskHandle source;
    Disk_Init(&source);
    ASSERT_EQ(Disk_OpenRaw(&source, srcPath.c_str(), true, 0, &g), DISK_OK);
    int rc = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&source, &rc, &known);
    ASSERT_NE(map, nullptr) << rc;
    EXPECT_EQ(known, 1u);

    struct stat st {};
    ASSERT_EQ(stat(srcPath.c_str(), &st), 0);
    const uint64_t sourceAllocated = static_cast<uint64_t>(st.st_blocks) * 512;
    VhdCreateOptions options{VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0};
    const std::string vhd = dir.file("fixed.vhd");
    const std::string flat = dir.file("flat.img");
    ASSERT_EQ(VhdFixed_Create(vhd.c_str(), &source, map, nullptr, nullptr, &options), DISK_OK);
    ASSERT_EQ(FlatImage_Create(flat.c_str(), &source, map, nullptr, nullptr), DISK_OK);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&source);

    std::string msg;
    EXPECT_EQ(
        RunCommand("qemu-img compare -f vpc -F raw " + Quote(vhd) + " " + Quote(srcPath) + " 2>&1",
                   &msg),
        0)
        << msg;
    EXPECT_EQ(
        RunCommand("qemu-img compare -f raw -F raw " + Quote(flat) + " " + Quote(srcPath) + " 2>&1",
                   &msg),
        0)
        << msg;
    for (const std::string& out : {vhd, flat}) {
        SCOPED_TRACE(out);
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_GE(static_cast<uint64_t>(st.st_size), 96u << 20);
        EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, sourceAllocated + 65536);
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 24u << 20);
    }
}

// ---- Holes of the image files ---------------------------------------------------------------

struct HoleImageCase {
    const char* name;
    DiskKind kind;
    uint64_t total;
    uint32_t heads, spt, bps;
    uint64_t dataOffset;
    std::function<int(const char*, const DiskHandle*)> create;
};

TEST_F(EmulatorImages, KnownZerosOfEveryRawBasedImageAreHolesOfItsFile)
{
    if (!sparse::HolesAreReported(dir.path()) || !HaveTool("fallocate"))
        GTEST_SKIP() << "no holes on " << dir.path() << " or no fallocate to dig them";
    const VhdCreateOptions vhdOptions{VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0};
    const HoleImageCase cases[] = {
        {"hdi", DISK_KIND_HDI, 4 * 17 * 250, 4, 17, 512, 4096,
         [](const char* p, const DiskHandle* s) {
             return Hdi_Create(p, s, nullptr, nullptr, false);
         }},
        {"thd", DISK_KIND_THD, 264 * 250, 8, 33, 256, 256,
         [](const char* p, const DiskHandle* s) {
             return Thd_Create(p, s, nullptr, nullptr, false);
         }},
        {"nhd", DISK_KIND_NHD, 3 * 11 * 300, 3, 11, 1024, 512,
         [](const char* p, const DiskHandle* s) {
             return Nhd_Create(p, s, nullptr, nullptr, false);
         }},
        {"vhd100", DISK_KIND_VHD100, 8 * 17 * 120, 8, 17, 512, 220,
         [](const char* p, const DiskHandle* s) {
             return Vhd100_Create(p, s, nullptr, nullptr, false);
         }},
        {"hdim", DISK_KIND_HDIM, 5 * 7 * 120, 5, 7, 2048, 512,
         [](const char* p, const DiskHandle* s) { return Hdim_Create(p, s, nullptr, nullptr); }},
        {"unz", DISK_KIND_UNZ, 2048 * 8, 16, 63, 512, 0,
         [](const char* p, const DiskHandle* s) {
             return Unz_Create(p, s, nullptr, nullptr, false);
         }},
        {"pc98e", DISK_KIND_PC98E, 128000, 8, 20, 512, 0,
         [](const char* p, const DiskHandle* s) { return Pc98e_Create(p, s, nullptr, nullptr); }},
        {"vhd", DISK_KIND_VHD_FIXED, 16 * 63 * 17, 16, 63, 512, 0,
         [&](const char* p, const DiskHandle* s) {
             return VhdFixed_Create(p, s, nullptr, nullptr, nullptr, &vhdOptions);
         }},
    };
    for (const HoleImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        // A sparse source: 64 KiB of data at 1 MiB and the last sector.
        const uint64_t bytes = c.total * c.bps;
        const std::string srcPath = dir.file(std::string("src-") + c.name);
        ASSERT_TRUE(sparse::MakeFile(srcPath, bytes,
                                     {sparse::NonZeroRun(sparse::kMiB, 65536, 1),
                                      sparse::NonZeroRun(bytes - c.bps, c.bps, 2)}));
        DiskGeometry g = MakeGeometry(c.total, c.heads, c.spt, c.bps);
        DiskHandle source;
        Disk_Init(&source);
        ASSERT_EQ(Disk_OpenRaw(&source, srcPath.c_str(), true, 0, &g), DISK_OK);
        const std::string out = dir.file(std::string("out.") + c.name);
        ASSERT_EQ(c.create(out.c_str(), &source), DISK_OK);
        Disk_Close(&source);
        ASSERT_TRUE(sparse::DigHoles(out));
        const std::vector<bool> zeroMiBs = sparse::ZeroMiBs(LoadFile(out));

        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(DiskOpenTable[c.kind](&h, out.c_str(), true), DISK_OK);
        ASSERT_EQ(Disk_GetKind(&h), c.kind);
        DiskGeometry back{0, 0, 0, 0, 0};
        Disk_GetGeometry(&h, &back);
        const uint32_t block = 65536 / back.bytes_per_sector;
        const knownzero::SweepResult swept =
            knownzero::Sweep(&h, block, [&](uint64_t first, uint32_t count) {
                return sparse::InsideZeroMiBs(zeroMiBs,
                                              c.dataOffset + first * back.bytes_per_sector,
                                              static_cast<uint64_t>(count) * back.bytes_per_sector);
            });
        EXPECT_GT(swept.knownZero, swept.blocks / 2);
        bool zero = true;
        EXPECT_EQ(Disk_IsRangeKnownZero(&h, Geometry_GetTotalSectors(&back) - 1, 2, &zero),
                  DISK_ERR_ARG);
        Disk_Close(&h);
    }
}
