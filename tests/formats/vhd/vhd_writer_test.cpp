// VHD writers: the six layouts with a partial last block, free space left out by the map,
// compaction of dynamic and differencing files with safe commits, capacity expansion, child
// disks in other directories, and the parent-locator rewrite. Outputs are checked by our own
// reader, by their structure, and by qemu-img (info, compare), vhdiinfo and libvhdi.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_writer.h"
#include "foundation/encoding.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "support/test_support.h"
#include "vhd_test_util.h"
#include "volume/used_map.h"
#include "disk/disk_open.h"
#include "disk/emulator_test_util.h"
#include <algorithm>

using namespace vhdtest;
using testsupport::HaveTool;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Str(const std::string& s) { return "\"" + s + "\""; }

std::string Spec(const std::string& path, uint32_t sectors, const std::string& extra = "")
{
    std::string s = "{\"path\":" + Str(path) + ",\"sectors\":" + std::to_string(sectors);
    if (!extra.empty()) s += "," + extra;
    return s + "}";
}

VhdCreateOptions Options(uint32_t creator, uint32_t version, uint32_t align, uint32_t block,
                         uint32_t afterBat, uint32_t afterBlock)
{
    return VhdCreateOptions{creator, version, align, block, afterBat, afterBlock};
}

// The layout table of the destination page, by layout index.
struct Layout {
    int index;
    uint32_t align, block, afterBat, afterBlock;
};
const Layout kLayouts[] = {{1, 0, 1024, 1, 0}, {2, 0, 32768, 4, 0}, {3, 0, 32768, 3, 0},
                           {5, 0, 4096, 0, 0}, {6, 1, 4096, 7, 7},  {0, 0, 4096, 1, 0}};

bool SectorIsZero(const std::vector<uint8_t>& d, uint64_t sector)
{
    for (uint64_t i = sector * 512; i < sector * 512 + 512; i++) {
        if (i < d.size() && d[i] != 0) return false;
    }
    return true;
}

// Checks the file layout the writer promises: records, table, padding, blocks in source
// order with bits exactly for the non-zero sectors, all-zero blocks left out, footer.
void CheckDynamicLayout(const std::vector<uint8_t>& f, const VhdCreateOptions& o,
                        const std::vector<uint8_t>& src, uint64_t total)
{
    ASSERT_GE(f.size(), 2048u);
    ASSERT_EQ(f.size() % 512, 0u);
    const size_t foot = f.size() - 512;
    EXPECT_EQ(std::memcmp(f.data(), f.data() + foot, 512), 0) << "footer copy";
    EXPECT_EQ(Vhd_ComputeChecksum(f.data() + foot, 512, 64), Be32(f, foot + 64));
    EXPECT_EQ(Be32(f, foot + 28), o.creatorApplication);
    EXPECT_EQ(Be32(f, foot + 60), 3u);
    EXPECT_EQ(Be64(f, foot + 16), 512u);
    EXPECT_EQ(Be64(f, 512 + 16), 1536u);
    EXPECT_EQ(Vhd_ComputeChecksum(f.data() + 512, 1024, 36), Be32(f, 512 + 36));
    const uint32_t bs = o.blockSectors;
    const uint32_t entries = static_cast<uint32_t>((total + bs - 1) / bs);
    EXPECT_EQ(Be32(f, 512 + 28), entries);
    EXPECT_EQ(Be32(f, 512 + 32), bs * 512);
    uint64_t L = (uint64_t(entries) * 4 + 511) / 512 * 512;
    if (o.batAlignment) L = (L + 1536 + 4095) / 4096 * 4096 - 1536;
    if (o.batAlignment) {
        EXPECT_EQ((1536 + L) % 4096, 0u);
    }
    for (uint64_t i = 1536 + uint64_t(entries) * 4; i < 1536 + L + o.zeroSectorsAfterBat * 512ull;
         i++) {
        ASSERT_EQ(f[i], 0) << "table padding or zero sectors at " << i;
    }
    const uint32_t bitmapSectors = (bs / 8 + 511) / 512;
    uint64_t expectAt = (1536 + L) / 512 + o.zeroSectorsAfterBat;
    for (uint32_t b = 0; b < entries; b++) {
        const uint32_t entry = Be32(f, 1536 + 4 * b);
        const uint64_t first = uint64_t(b) * bs;
        const uint64_t n = total - first < bs ? total - first : bs;
        bool allZero = true;
        for (uint64_t s = 0; s < n && allZero; s++) allZero = SectorIsZero(src, first + s);
        if (allZero) {
            EXPECT_EQ(entry, 0xFFFFFFFFu) << "block " << b;
            continue;
        }
        ASSERT_EQ(entry, expectAt) << "block " << b;
        const uint8_t* bitmap = f.data() + uint64_t(entry) * 512;
        for (uint32_t s = 0; s < bs; s++) {
            const bool bit = (bitmap[s / 8] & (0x80 >> (s % 8))) != 0;
            const bool want = s < n && !SectorIsZero(src, first + s);
            ASSERT_EQ(bit, want) << "block " << b << " sector " << s;
        }
        const uint64_t data = (uint64_t(entry) + bitmapSectors) * 512;
        for (uint64_t s = 0; s < bs; s++) {
            if (s < n) {
                ASSERT_EQ(
                    std::memcmp(f.data() + data + s * 512, src.data() + (first + s) * 512, 512), 0);
            } else {
                for (int k = 0; k < 512; k++)
                    ASSERT_EQ(f[data + s * 512 + k], 0) << "padding of the last block";
            }
        }
        for (uint64_t i = data + bs * 512ull; i < data + (bs + o.zeroSectorsAfterBlock) * 512ull;
             i++) {
            ASSERT_EQ(f[i], 0) << "zero sectors after block " << b;
        }
        expectAt = entry + bitmapSectors + bs + o.zeroSectorsAfterBlock;
    }
    EXPECT_EQ(expectAt * 512, foot) << "footer follows the last block";
}

// qemu-img opens the file at the given size and reads it as the reference content.
void CheckWithQemu(const std::string& vhd, const std::string& reference, uint64_t bytes)
{
    if (!HaveTool("qemu-img")) return;
    std::string out;
    ASSERT_EQ(Qemu("info -f vpc --output=json " + Quote(vhd), &out), 0) << out;
    EXPECT_NE(out.find("\"virtual-size\": " + std::to_string(bytes) + ","), std::string::npos)
        << out;
    ASSERT_EQ(Qemu("compare -f raw -F vpc " + Quote(reference) + " " + Quote(vhd), &out), 0) << out;
    EXPECT_NE(out.find("Images are identical"), std::string::npos) << out;
    if (HaveTool("vhdiinfo")) {
        EXPECT_EQ(RunCommand("vhdiinfo " + Quote(vhd) + " >/dev/null 2>&1"), 0);
    }
}

// Sectors per cylinder of the geometry a raw source of `total` sectors gets.
uint64_t CylinderOf(uint64_t total)
{
    DiskGeometry g = {};
    Vhd_ComputeGeometry(total * 512, &g);
    return uint64_t(g.heads) * g.sectors_per_track;
}

// A total of whole cylinders near `about` under the geometry it gets itself.
uint64_t WholeCylinders(uint64_t about)
{
    uint64_t total = about;
    while (total % CylinderOf(total) != 0) total = total / CylinderOf(total) * CylinderOf(total);
    return total;
}

struct ProgressLog {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    int stopAfter = -1;
    static bool Callback(uint64_t done, uint64_t total, void* user)
    {
        ProgressLog* p = static_cast<ProgressLog*>(user);
        p->calls.emplace_back(done, total);
        return p->stopAfter < 0 || static_cast<int>(p->calls.size()) <= p->stopAfter;
    }
};

class VhdWrite : public ::testing::Test {
protected:
    void TearDown() override
    {
        Disk_Close(&disk);
        Disk_Close(&src);
    }
    TempDir dir;
    DiskHandle disk{DISK_KIND_NONE, nullptr};
    DiskHandle src{DISK_KIND_NONE, nullptr};

    int OpenVhd(const std::string& path, int mode = VHD_PARENT_REQUIRED, bool readOnly = true)
    {
        Disk_Close(&disk);
        Disk_Init(&disk);
        return Disk_OpenVhdWithHandler(&disk, &FileOpener_Default, path.c_str(), readOnly, mode,
                                       nullptr);
    }
    VhdImage* Image() { return static_cast<VhdImage*>(Disk_GetObject(&disk)); }

    // A source of `total` sectors: data, zero stretches, lone sectors and zero sectors in data.
    std::vector<uint8_t> MakeSource(uint64_t total, uint64_t seed)
    {
        std::vector<uint8_t> d = FastBytes(total * 512, seed);
        for (uint64_t s = 0; s < total; s++) {
            const uint64_t region = s / 1500;
            bool zero = false;
            switch (region % 5) {
            case 1:
                zero = true;
                break;
            case 2:
                zero = s % 97 != 0;
                break;
            case 3:
                zero = s % 11 == 0;
                break;
            case 4:
                zero = region % 2 == 0;
                break;
            default:
                break;
            }
            if (zero) std::memset(d.data() + s * 512, 0, 512);
        }
        return d;
    }
    std::string WriteSource(const std::vector<uint8_t>& d, const std::string& name = "src.raw")
    {
        WriteFile(dir.file(name), d);
        Disk_Close(&src);
        EXPECT_EQ(OpenRaw(&src, dir.file(name), d.size() / 512), DISK_OK);
        return dir.file(name);
    }
};

TEST_F(VhdWrite, SixLayoutsRoundTripWithAPartialLastBlock)
{
    // Partial last block in every layout: 2 x 32768 + 4096 + 204 sectors.
    const uint64_t total = 2 * 32768 + 4096 + 204;
    const std::vector<uint8_t> data = MakeSource(total, 3);
    const std::string raw = WriteSource(data);
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE("layout " + std::to_string(l.index));
        const VhdCreateOptions o =
            Options(VHD_CODE_WIN, 0x00060002, l.align, l.block, l.afterBat, l.afterBlock);
        const std::string out = dir.file("out" + std::to_string(l.index) + ".vhd");
        ProgressLog log;
        ASSERT_EQ(Vhd_Create(out.c_str(), &src, nullptr, ProgressLog::Callback, &log, &o, 0),
                  DISK_OK);
        ASSERT_FALSE(log.calls.empty());
        EXPECT_EQ(log.calls.front(), std::make_pair(uint64_t(0), total));
        EXPECT_EQ(log.calls.back(), std::make_pair(total, total));
        const std::vector<uint8_t> file = ReadFile(out);
        CheckDynamicLayout(file, o, data, total);
        ASSERT_EQ(OpenVhd(out), DISK_OK);
        DiskGeometry g = {};
        Disk_GetGeometry(&disk, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), total);
        EXPECT_EQ(ReadAll(&disk), data);
        EXPECT_EQ(Image()->batAlignment, l.align);
        EXPECT_EQ(Image()->zeroSectorsAfterBat, l.align ? 7u : l.afterBat);
        CheckWithQemu(out, raw, total * 512);
    }
}

TEST_F(VhdWrite, EveryCreatorReadsBackAtTheSourceSize)
{
    // CHS-sized creators get a total of whole cylinders; current-size ones any total.
    const uint64_t whole = WholeCylinders(41000);
    struct Case {
        uint32_t creator, version;
        uint64_t total;
    };
    const Case cases[] = {{VHD_CODE_VS, 0x00010000, whole},
                          {VHD_CODE_VPC, 0x00050003, whole},
                          {VHD_CODE_WIN, 0x00060001, 40961}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        const std::vector<uint8_t> data = MakeSource(c.total, c.total);
        const std::string raw = WriteSource(data, "s" + std::to_string(c.total) + ".raw");
        const VhdCreateOptions o = Options(c.creator, c.version, 0, 4096, 1, 0);
        const std::string out = dir.file("c" + std::to_string(c.total) + ".vhd");
        ASSERT_EQ(Vhd_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &o, 0), DISK_OK);
        ASSERT_EQ(OpenVhd(out), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), data);
        CheckWithQemu(out, raw, c.total * 512);
    }
}

TEST_F(VhdWrite, PartialCylindersAreRoundedUpByChsCreators)
{
    // 1000 sectors at 16/63: the checks take it, so every creator must write it. A CHS-sized
    // creator rounds the disk up to one whole cylinder (1008 sectors, zeros after the source),
    // as the wizard's round-up would; a current-size one keeps 1000.
    const uint64_t total = 1000;
    const std::vector<uint8_t> data = MakeSource(total, 5);
    WriteFile(dir.file("p.raw"), data);
    DiskGeometry g{0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, total);
    ASSERT_EQ(Disk_OpenRaw(&src, dir.file("p.raw").c_str(), true, 0, &g), DISK_OK);
    EXPECT_EQ(Vhd_CheckGeometry(&g), 0);
    EXPECT_EQ(VhdFixed_CheckGeometry(&g), 0);
    struct Case {
        uint32_t creator;
        bool fixed;
        uint64_t readsAs;
    } cases[] = {{VHD_CODE_VPC, false, 1008}, {VHD_CODE_VPC, true, 1008},
                 {VHD_CODE_VS, false, 1008},  {VHD_CODE_VS, true, 1008},
                 {VHD_CODE_WIN, false, 1000}, {VHD_CODE_WIN, true, 1000}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.creator) + (c.fixed ? " fixed" : " dynamic"));
        const std::string out = dir.file("p" + std::to_string(n++) + ".vhd");
        const VhdCreateOptions o = Options(c.creator, 0x00050003, 0, 4096, 1, 0);
        ASSERT_EQ(c.fixed ? VhdFixed_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &o)
                          : Vhd_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &o, 0),
                  DISK_OK);
        DiskHandle back;
        Disk_Init(&back);
        ASSERT_EQ(Disk_Open(&back, out.c_str(), true), DISK_OK);
        EXPECT_EQ(Disk_GetKind(&back), c.fixed ? DISK_KIND_VHD_FIXED : DISK_KIND_VHD);
        std::vector<uint8_t> want = data;
        want.resize(c.readsAs * 512, 0);
        EXPECT_EQ(ReadAll(&back), want);
        Disk_Close(&back);
        WriteFile(dir.file("want.raw"), want);
        CheckWithQemu(out, dir.file("want.raw"), c.readsAs * 512);
    }
}

TEST_F(VhdWrite, TheLargestDiskIs2040GiB)
{
    // 0xFF000000 sectors (2040 GiB) from a zero disk: written and opened by qemu-img.
    DiskGeometry g{0, 16, 255, 512, 0};
    Geometry_SetTotalSectors(&g, 0xFF000000ull);
    ASSERT_EQ(Disk_OpenZero(&src, &g), DISK_OK);
    EXPECT_EQ(Vhd_CheckGeometry(&g), 0);
    EXPECT_EQ(VhdFixed_CheckGeometry(&g), 0);
    const std::string max = dir.file("max.vhd");
    const VhdCreateOptions vpc = Options(VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0);
    ASSERT_EQ(Vhd_Create(max.c_str(), &src, nullptr, nullptr, nullptr, &vpc, 0), DISK_OK);
    ASSERT_EQ(OpenVhd(max), DISK_OK);
    DiskGeometry back = {};
    Disk_GetGeometry(&disk, &back);
    EXPECT_EQ(Geometry_GetTotalSectors(&back), 0xFF000000ull);
    Disk_Close(&disk);
    if (HaveTool("qemu-img")) {
        std::string out;
        ASSERT_EQ(Qemu("info --output=json " + Quote(max), &out), 0) << out;
        EXPECT_NE(out.find("\"virtual-size\": " + std::to_string(0xFF000000ull * 512) + ","),
                  std::string::npos)
            << out;
        // The limit is qemu's: a file stating one GiB more is refused.
        Build(Spec(dir.file("over.vhd"), 0xFF000000u + 2097152u,
                   "\"block_size\":2097152,\"chs\":[65535,16,255]"));
        EXPECT_NE(Qemu("info " + Quote(dir.file("over.vhd")), &out), 0) << out;
        EXPECT_NE(out.find("too large"), std::string::npos) << out;
    }
    Disk_Close(&src);

    // One sector more: every VHD check and writer refuses it, and nothing is written.
    Geometry_SetTotalSectors(&g, 0xFF000001ull);
    ASSERT_EQ(Disk_OpenZero(&src, &g), DISK_OK);
    EXPECT_EQ(Vhd_CheckGeometry(&g), -1);
    EXPECT_EQ(VhdFixed_CheckGeometry(&g), -1);
    EXPECT_EQ(Vhd_CheckCapacity(&g), -1);
    const std::string over = dir.file("over2.vhd");
    EXPECT_EQ(Vhd_Create(over.c_str(), &src, nullptr, nullptr, nullptr, &vpc, 0), DISK_ERR_ARG);
    EXPECT_EQ(VhdFixed_Create(over.c_str(), &src, nullptr, nullptr, nullptr, &vpc), DISK_ERR_ARG);
    EXPECT_FALSE(Os_PathExists(over.c_str()));
    // Nor does a child of such a parent come into being.
    WriteFile(dir.file("parent.img"), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(
        Vhd_CreateChild(&src, &vpc, dir.file("parent.img").c_str(), dir.file("child.vhd").c_str()),
        DISK_ERR_ARG);
    EXPECT_FALSE(Os_PathExists(dir.file("child.vhd").c_str()));

    // Nor an expansion past 2040 GiB.
    const std::vector<uint8_t> data = MakeSource(4096, 9);
    WriteSource(data);
    const std::string small = dir.file("small.vhd");
    ASSERT_EQ(Vhd_Create(small.c_str(), &src, nullptr, nullptr, nullptr, &vpc, 0), DISK_OK);
    ASSERT_EQ(OpenVhd(small, VHD_PARENT_OPTIONAL, false), DISK_OK);
    OutputFile output;
    OutputFile_Init(&output);
    EXPECT_EQ(
        Vhd_ExpandCapacity(small.c_str(), &disk, nullptr, &output, 0xFF000001u, nullptr, nullptr),
        DISK_ERR_ARG);
    EXPECT_FALSE(output.armed);
    EXPECT_FALSE(Os_PathExists((small + "_temp").c_str()));
}

TEST_F(VhdWrite, FreeSpaceOfTheMapIsNeitherReadNorStored)
{
    const uint64_t total = 4 * 4096 + 100;
    FakeDisk fake;
    fake.bytes = FastBytes(total * 512, 5);  // garbage everywhere
    Geometry_SetTotalSectors(&fake.geometry, total);
    // Used: block 0 entirely; block 1 partly (sectors 4096..4999 and 8000..8191); block 2 not
    // at all; block 3 one sector; the partial last block entirely.
    std::vector<uint8_t> used(total, 0);
    for (uint64_t s = 0; s < 4096; s++) used[s] = 1;
    for (uint64_t s = 4096; s < 5000; s++) used[s] = 1;
    for (uint64_t s = 8000; s < 8192; s++) used[s] = 1;
    used[3 * 4096 + 17] = 1;
    for (uint64_t s = 4 * 4096; s < total; s++) used[s] = 1;
    ScriptedMap map(used);
    const DiskHandle h = fake.Handle();
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
    const std::string out = dir.file("m.vhd");
    ASSERT_EQ(Vhd_Create(out.c_str(), &h, map.map(), nullptr, nullptr, &o, 0), DISK_OK);
    for (const auto& r : fake.reads) {
        for (uint64_t s = r.first / 512; s < (r.first + r.second) / 512; s++) {
            ASSERT_TRUE(used[s]) << "free sector " << s << " was read";
        }
    }
    const std::vector<uint8_t> expected = Masked(fake.bytes, used);
    ASSERT_EQ(OpenVhd(out), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), expected);
    bool unallocated = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 2 * 4096, 4096, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    const std::vector<uint8_t> file = ReadFile(out);
    CheckDynamicLayout(file, o, expected, total);
    WriteFile(dir.file("expected.raw"), expected);
    CheckWithQemu(out, dir.file("expected.raw"), total * 512);
}

// A file system written over garbage: its free space is left out, its files survive.
TEST_F(VhdWrite, RealFileSystemsLoseOnlyTheirFreeSpace)
{
    for (const char* tool :
         {"mkfs.ext4", "debugfs", "e2fsck", "mkfs.vfat", "mcopy", "fsck.vfat", "qemu-img"}) {
        if (!HaveTool(tool)) GTEST_SKIP() << tool << " missing";
    }
    ASSERT_EQ(system(("mkdir -p " + Quote(dir.file("files/sub"))).c_str()), 0);
    const std::vector<uint8_t> a = FastBytes(3 * 1048576 + 1000, 41), b = FastBytes(700000, 42),
                               c = FastBytes(5000, 43);
    WriteFile(dir.file("files/a.bin"), a);
    WriteFile(dir.file("files/b.bin"), b);
    WriteFile(dir.file("files/sub/c.bin"), c);
    struct Case {
        const char* name;
        std::string make;   // builds the volume in img.raw
        std::string check;  // checks the volume in back.raw
        std::string fetch;  // copies a.bin out of back.raw into out.bin
    };
    const std::string img = Quote(dir.file("img.raw")), back = Quote(dir.file("back.raw")),
                      out = Quote(dir.file("out.bin"));
    const Case cases[] = {
        {"ext4", "mkfs.ext4 -F -q -E nodiscard -b 4096 -d " + Quote(dir.file("files")) + " " + img,
         "e2fsck -fn " + back, "debugfs -R 'dump /a.bin " + dir.file("out.bin") + "' " + back},
        {"fat",
         "mkfs.vfat " + img + " && mcopy -i " + img + " " + Quote(dir.file("files/a.bin")) + " " +
             Quote(dir.file("files/b.bin")) + " ::/ && mcopy -s -i " + img + " " +
             Quote(dir.file("files/sub")) + " ::/",
         "fsck.vfat -n " + back, "mcopy -n -i " + back + " ::/a.bin " + out},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const uint64_t total = 40 * 2048;
        WriteFile(dir.file("img.raw"), FastBytes(total * 512, 99));  // garbage everywhere
        std::string text;
        ASSERT_EQ(RunCommand(k.make + " 2>&1", &text), 0) << text;
        const std::vector<uint8_t> source = ReadFile(dir.file("img.raw"));
        Disk_Close(&src);
        ASSERT_EQ(OpenRaw(&src, dir.file("img.raw"), total), DISK_OK);
        int rc = DISK_ERR_ARG;
        uint32_t known = 0;
        UsedSectorMap* map = UsedMap_Create(&src, &rc, &known);
        ASSERT_NE(map, nullptr) << rc;
        std::vector<uint8_t> bits(total / 8);
        ASSERT_EQ(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(total), bits.data()), DISK_OK);
        std::vector<uint8_t> used(total);
        uint64_t freeGarbage = 0;
        for (uint64_t s = 0; s < total; s++) {
            used[s] = (bits[s / 8] >> (s % 8)) & 1;
            if (!used[s] && !SectorIsZero(source, s)) freeGarbage++;
        }
        ASSERT_GT(freeGarbage, total / 4) << "the free space holds garbage";
        const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
        const std::string vhd = dir.file(std::string(k.name) + ".vhd"), full = dir.file("full.vhd");
        ASSERT_EQ(Vhd_Create(vhd.c_str(), &src, map, nullptr, nullptr, &o, 0), DISK_OK);
        ASSERT_EQ(Vhd_Create(full.c_str(), &src, nullptr, nullptr, nullptr, &o, 0), DISK_OK);
        UsedMap_Destroy(map);
        Mem_Free(map);
        EXPECT_LT(ReadFile(vhd).size(), ReadFile(full).size() / 2);
        ASSERT_EQ(OpenVhd(vhd), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), Masked(source, used));
        Disk_Close(&disk);
        // The volume in the output is sound and its files are whole.
        ASSERT_EQ(Qemu("convert -f vpc -O raw " + Quote(vhd) + " " + back), 0);
        ASSERT_EQ(RunCommand(k.check + " 2>&1", &text), 0) << text;
        std::remove(dir.file("out.bin").c_str());
        ASSERT_EQ(RunCommand(k.fetch + " 2>&1", &text), 0) << text;
        EXPECT_EQ(ReadFile(dir.file("out.bin")), a);
    }
}

TEST_F(VhdWrite, WriterFailuresAreReported)
{
    const uint64_t total = 3 * 4096;
    FakeDisk fake;
    fake.bytes = FastBytes(total * 512, 9);
    Geometry_SetTotalSectors(&fake.geometry, total);
    DiskHandle h = fake.Handle();
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
    // Cancelled after the first block.
    ProgressLog log;
    log.stopAfter = 2;
    EXPECT_EQ(
        Vhd_Create(dir.file("c.vhd").c_str(), &h, nullptr, ProgressLog::Callback, &log, &o, 0),
        DISK_CANCELLED);
    EXPECT_EQ(log.calls.size(), 3u);
    // A failing source read is the result.
    fake.reads.clear();
    fake.failRead = 1;
    EXPECT_EQ(Vhd_Create(dir.file("r.vhd").c_str(), &h, nullptr, nullptr, nullptr, &o, 0),
              DISK_ERR_READ);
    fake.failRead = -1;
    // Bad options, a source no VHD can hold, an output that cannot be created.
    VhdCreateOptions bad = o;
    bad.blockSectors = 3000;
    EXPECT_EQ(Vhd_Create(dir.file("b.vhd").c_str(), &h, nullptr, nullptr, nullptr, &bad, 0),
              DISK_ERR_ARG);
    FakeDisk huge;
    Geometry_SetTotalSectors(&huge.geometry, 0x100000000ull);
    DiskHandle hh = huge.Handle();
    EXPECT_EQ(Vhd_Create(dir.file("h.vhd").c_str(), &hh, nullptr, nullptr, nullptr, &o, 0),
              DISK_ERR_ARG);
    EXPECT_EQ(Vhd_Create(dir.file("no/such/dir.vhd").c_str(), &h, nullptr, nullptr, nullptr, &o, 0),
              DISK_ERR_CREATE);
    // With an output record the file goes to the "_temp" name and the record is armed.
    OutputFile output;
    ASSERT_EQ(Vhd_WriteDynamic(dir.file("t.vhd").c_str(), &h, nullptr, &output, nullptr, nullptr,
                               &o, 0, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(output.armed);
    EXPECT_TRUE(Os_PathExists(dir.file("t.vhd_temp").c_str()));
    EXPECT_FALSE(Os_PathExists(dir.file("t.vhd").c_str()));
    ASSERT_EQ(OutputFile_Commit(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false), DISK_OK);
    ASSERT_EQ(OpenVhd(dir.file("t.vhd")), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), fake.bytes);
}

// ---- Compaction ---------------------------------------------------------------------

class VhdCompact : public VhdWrite {
protected:
    // Compacts the open image at path and commits with "_del"; answers the first failure.
    int CompactAndCommit(const std::string& path, UsedSectorMap* map, bool preallocate)
    {
        OutputFile output;
        OutputFile_Init(&output);
        const int rc =
            Vhd_Compact(path.c_str(), &disk, map, &output, preallocate, nullptr, nullptr);
        Disk_Close(&disk);
        if (rc != DISK_OK) {
            Vhd_DiscardCompact(&output);
            return rc;
        }
        return Vhd_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false, true);
    }
};

TEST_F(VhdCompact, DynamicDisksLoseTheirEmptyBlocks)
{
    // A foreign layout: header at 1024, table at 3072, blocks with zero data and data, a
    // 511-byte footer in one variant.
    for (bool short_footer : {false, true}) {
        for (bool preallocate : {false, true}) {
            SCOPED_TRACE(std::to_string(short_footer) + std::to_string(preallocate));
            const std::string vhd = dir.file("d.vhd");
            Build(Spec(
                vhd, 100,
                std::string("\"creator\":\"win \",\"header_offset\":1024,\"table_offset\":3072,") +
                    "\"expect\":" + Str(dir.file("d.raw")) +
                    ",\"blocks\":[{\"index\":0},{\"index\":2,\"zero\":[0,1,2,3,4,5,6,7]},"
                    "{\"index\":3,\"sectors\":[]},{\"index\":5,\"sectors\":[3],\"seed\":4},"
                    "{\"index\":12,\"sectors\":[0,1,2,3]}]" +
                    (short_footer ? ",\"footer_511\":true" : "")));
            const std::vector<uint8_t> expected = ReadFile(dir.file("d.raw"));
            const std::vector<uint8_t> before = ReadFile(vhd);
            ASSERT_EQ(OpenVhd(vhd), DISK_OK);
            ASSERT_EQ(CompactAndCommit(vhd, nullptr, preallocate), DISK_OK);
            EXPECT_EQ(ReadFile(vhd + "_del"), before);  // the replaced image is kept intact
            EXPECT_FALSE(Os_PathExists((vhd + "_TEMP").c_str()));
            const std::vector<uint8_t> f = ReadFile(vhd);
            EXPECT_EQ(f.size() % 512, short_footer ? 511u : 0u);
            ASSERT_EQ(OpenVhd(vhd), DISK_OK);
            EXPECT_EQ(ReadAll(&disk), expected);
            EXPECT_EQ(Image()->footer.dataOffset, 512u);
            EXPECT_EQ(Image()->tableOffset, 1536u);
            // Blocks 0, 5 and 12 remain; 2 (zeros) and 3 (nothing set) are gone.
            int stored = 0;
            for (uint32_t i = 0; i < Image()->batStoredEntries; i++)
                stored += Image()->bat[i] != VHD_UNALLOCATED;
            EXPECT_EQ(stored, 3);
            EXPECT_EQ(Image()->bat[2], VHD_UNALLOCATED);
            Disk_Close(&disk);
            WriteFile(dir.file("e.raw"), expected);
            if (!short_footer) CheckWithQemu(vhd, dir.file("e.raw"), 100 * 512);
            std::remove((vhd + "_del").c_str());
        }
    }
}

TEST_F(VhdCompact, TheMapDropsFreeDataAndQemuImagesCompact)
{
    if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    // A qemu-made image (creator "qemu", CHS size) holding data everywhere.
    const uint64_t bytes = 8 * 1048576;
    const std::vector<uint8_t> data = FastBytes(bytes, 77);
    WriteFile(dir.file("q.raw"), data);
    const std::string vhd = dir.file("q.vhd");
    ASSERT_EQ(Qemu("convert -f raw -O vpc -o subformat=dynamic " + Quote(dir.file("q.raw")) + " " +
                   Quote(vhd)),
              0);
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    DiskGeometry g = {};
    Disk_GetGeometry(&disk, &g);
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const std::vector<uint8_t> whole = ReadAll(&disk);
    // The second 2 MiB block and some sectors elsewhere are free.
    std::vector<uint8_t> used(total, 1);
    for (uint64_t s = 4096; s < 8192; s++) used[s] = 0;
    for (uint64_t s = 5000; s < 5100; s++) used[s] = 0;
    ScriptedMap map(used);
    ASSERT_EQ(CompactAndCommit(vhd, map.map(), true), DISK_OK);
    const std::vector<uint8_t> expected = Masked(whole, used);
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), expected);
    bool unallocated = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 4096, 4096, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    Disk_Close(&disk);
    WriteFile(dir.file("e.raw"), expected);
    CheckWithQemu(vhd, dir.file("e.raw"), total * 512);
    EXPECT_LT(ReadFile(vhd).size(), ReadFile(vhd + "_del").size());
}

TEST_F(VhdCompact, DifferencingDisksKeepEverythingBeforeTheFirstBlock)
{
    // 1024 entries of 4 KiB blocks: the table fills 1536..5632 and the locator data follow at
    // once, with the aligned layout (7 zero sectors after the metadata and after each block).
    const uint32_t total = 8192;
    const std::string base = dir.file("base.vhd"), child = dir.file("child.vhd");
    Build("[" +
          Spec(base, total,
               "\"expect\":" + Str(dir.file("base.raw")) +
                   ",\"blocks\":[{\"index\":0},{\"index\":1},{\"index\":2},{\"index\":900}]") +
          "," +
          Spec(child, total,
               "\"disk_type\":4,\"creator\":\"vpc \",\"parent_name\":\"base.vhd\",\"parent_raw\":" +
                   Str(dir.file("base.raw")) + ",\"expect\":" + Str(dir.file("child.raw")) +
                   ",\"gap_sectors\":7,\"pad_sectors\":7,\"locators\":["
                   "{\"slot\":3,\"code\":\"Wi2r\",\"text\":\".\\\\base.vhd\",\"encoding\":\"shift_"
                   "jis\"},"
                   "{\"slot\":1,\"code\":\"W2ru\",\"text\":\".\\\\base.vhd\"}],"
                   "\"blocks\":[{\"index\":1,\"sectors\":[2,3]},{\"index\":2,\"sectors\":[]},"
                   "{\"index\":5,\"zero\":[0,1,2,3,4,5,6,7]},{\"index\":900,\"sectors\":[7],"
                   "\"seed\":3}]") +
          "]");
    const std::vector<uint8_t> expected = ReadFile(dir.file("child.raw"));
    const std::vector<uint8_t> before = ReadFile(child);
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    const uint64_t firstBlock = Image()->firstBlockSector * 512;
    EXPECT_EQ(Image()->batAlignment, 1u);
    ASSERT_EQ(CompactAndCommit(child, nullptr, false), DISK_OK);
    const std::vector<uint8_t> after = ReadFile(child);
    ASSERT_GE(after.size(), firstBlock);
    // Footer copy, header, locator data and padding unchanged; only the table entries moved.
    EXPECT_EQ(std::memcmp(before.data(), after.data(), 1536), 0);
    EXPECT_EQ(std::memcmp(before.data() + 5632, after.data() + 5632, firstBlock - 5632), 0)
        << "locator data behind the table";
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), expected);
    // Exactly the blocks the child stored with a used sector: 1, 5 and 900, all bits set.
    VhdImage* im = Image();
    EXPECT_NE(im->bat[1], VHD_UNALLOCATED);
    EXPECT_EQ(im->bat[2], VHD_UNALLOCATED);
    EXPECT_NE(im->bat[5], VHD_UNALLOCATED);
    EXPECT_NE(im->bat[900], VHD_UNALLOCATED);
    EXPECT_EQ(after[uint64_t(im->bat[900]) * 512], 0xFF);
    bool unallocated = false;
    ASSERT_EQ(Disk_IsRangeUnallocated(&disk, nullptr, 0, 8, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    Disk_Close(&disk);
    // libvhdi reads the compacted chain (every bit of a stored block is set now).
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, base}, &report)) << report;
        EXPECT_EQ(ReadFile(dir.file("lib.raw")), expected);
    }
    if (HaveTool("qemu-img")) {
        std::string out;
        EXPECT_EQ(Qemu("info " + Quote(child), &out), 0) << out;
    }
}

TEST_F(VhdCompact, AFailedCommitLeavesTheOriginalInPlace)
{
    const std::string vhd = dir.file("x.vhd");
    Build(Spec(vhd, 64,
               "\"creator\":\"win "
               "\",\"blocks\":[{\"index\":0},{\"index\":1,\"zero\":[0,1,2,3,4,5,6,7]}]"));
    const std::vector<uint8_t> before = ReadFile(vhd);
    // The name that would keep the replaced image is taken (by a directory that is not empty):
    // an earlier backup is never replaced without leave.
    ASSERT_EQ(mkdir((vhd + "_del").c_str(), 0755), 0);
    WriteFile(vhd + "_del/keep", {1});
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    EXPECT_EQ(CompactAndCommit(vhd, nullptr, false), DISK_ERR_BACKUP_EXISTS);
    EXPECT_EQ(ReadFile(vhd), before);
    std::remove((vhd + "_TEMP").c_str());
    // The temporary file vanished before the commit: the original keeps its name.
    ASSERT_EQ(system(("rm -rf " + Quote(vhd + "_del")).c_str()), 0);
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    OutputFile output;
    OutputFile_Init(&output);
    ASSERT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, nullptr, nullptr), DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(std::remove((vhd + "_TEMP").c_str()), 0);
    EXPECT_EQ(Vhd_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false, true),
              DISK_ERR_CREATE);
    EXPECT_EQ(ReadFile(vhd), before);
}

TEST_F(VhdCompact, RefusalsAndCancellation)
{
    const std::string vhd = dir.file("c.vhd");
    Build(Spec(vhd, 64, "\"disk_type\":4,\"parent_name\":\"gone.vhd\",\"blocks\":[{\"index\":0}]"));
    OutputFile output;
    // A differencing disk without its parent cannot be compacted.
    ASSERT_EQ(OpenVhd(vhd, VHD_PARENT_OPTIONAL), DISK_OK);
    EXPECT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_FALSE(output.armed);
    // Another kind.
    const std::vector<uint8_t> data = MakeSource(64, 1);
    WriteSource(data);
    EXPECT_EQ(Vhd_Compact(vhd.c_str(), &src, nullptr, &output, false, nullptr, nullptr),
              DISK_ERR_ARG);
    // Cancelled: the temporary file is discarded, the image untouched.
    Build(Spec(vhd, 64, "\"blocks\":[{\"index\":0},{\"index\":3}]"));
    const std::vector<uint8_t> before = ReadFile(vhd);
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    ProgressLog log;
    log.stopAfter = 1;
    EXPECT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, ProgressLog::Callback, &log),
              DISK_CANCELLED);
    EXPECT_TRUE(output.armed);
    Disk_Close(&disk);
    EXPECT_EQ(Vhd_DiscardCompact(&output), DISK_OK);
    EXPECT_FALSE(Os_PathExists((vhd + "_TEMP").c_str()));
    EXPECT_EQ(ReadFile(vhd), before);
}

// ---- Expansion ------------------------------------------------------------------------

TEST_F(VhdWrite, ExpansionKeepsTheOldRangeAndAddsAnEmptyOne)
{
    // Our own layout-6 file, and a foreign layout (table at 3072) sized by current size.
    const uint64_t total = 3 * 4096 + 100;
    const std::vector<uint8_t> data = MakeSource(total, 21);
    WriteSource(data);
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 1, 4096, 7, 7);
    ASSERT_EQ(Vhd_Create(dir.file("own.vhd").c_str(), &src, nullptr, nullptr, nullptr, &o, 0),
              DISK_OK);
    Build(Spec(
        dir.file("foreign.vhd"), 100,
        "\"creator\":\"win \",\"table_offset\":3072,\"expect\":" + Str(dir.file("foreign.raw")) +
            ",\"blocks\":[{\"index\":0},{\"index\":12,\"sectors\":[1,2,3]}]"));
    struct Case {
        std::string path;
        uint32_t newTotal;
        std::vector<uint8_t> old;
    };
    const Case cases[] = {{dir.file("own.vhd"), static_cast<uint32_t>(total + 5000), data},
                          {dir.file("foreign.vhd"), 777, ReadFile(dir.file("foreign.raw"))}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::vector<uint8_t> before = ReadFile(c.path);
        ASSERT_EQ(OpenVhd(c.path, VHD_PARENT_OPTIONAL, false), DISK_OK);
        const VhdFooter oldFooter = Image()->footer;
        const uint32_t oldAlign = Image()->batAlignment;
        OutputFile output;
        OutputFile_Init(&output);
        // A smaller capacity would lose data.
        EXPECT_EQ(Vhd_ExpandCapacity(c.path.c_str(), &disk, nullptr, &output, 50, nullptr, nullptr),
                  DISK_ERR_ARG);
        ProgressLog log;
        ASSERT_EQ(Vhd_ExpandCapacity(c.path.c_str(), &disk, nullptr, &output, c.newTotal,
                                     ProgressLog::Callback, &log),
                  DISK_OK);
        EXPECT_EQ(log.calls.back(), std::make_pair(uint64_t(c.newTotal), uint64_t(c.newTotal)));
        Disk_Close(&disk);
        ASSERT_EQ(OutputFile_Commit(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false), DISK_OK);
        EXPECT_EQ(ReadFile(c.path + "_del"), before);
        ASSERT_EQ(OpenVhd(c.path), DISK_OK);
        DiskGeometry g = {};
        Disk_GetGeometry(&disk, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.newTotal);
        std::vector<uint8_t> want = c.old;
        want.resize(uint64_t(c.newTotal) * 512, 0);
        EXPECT_EQ(ReadAll(&disk), want);
        bool unallocated = false;
        const uint64_t bs = Image()->blockSectors;
        const uint64_t from = (c.old.size() / 512 + bs - 1) / bs * bs;
        if (from < c.newTotal) {
            ASSERT_EQ(
                Disk_IsRangeUnallocated(&disk, nullptr, from,
                                        static_cast<uint32_t>(c.newTotal - from), &unallocated),
                DISK_OK);
            EXPECT_TRUE(unallocated);
        }
        // Ids and creator kept; the writer's offsets; the layout reproduced.
        EXPECT_EQ(std::memcmp(Image()->footer.uniqueId, oldFooter.uniqueId, 16), 0);
        EXPECT_EQ(Image()->footer.creatorApplication, oldFooter.creatorApplication);
        EXPECT_EQ(Image()->footer.dataOffset, 512u);
        EXPECT_EQ(Image()->tableOffset, 1536u);
        EXPECT_EQ(Image()->batAlignment, oldAlign);
        Disk_Close(&disk);
        WriteFile(dir.file("want.raw"), want);
        CheckWithQemu(c.path, dir.file("want.raw"), uint64_t(c.newTotal) * 512);
    }
    // A differencing disk is refused.
    Build(Spec(dir.file("child.vhd"), 100, "\"disk_type\":4,\"parent_name\":\"foreign.vhd\""));
    ASSERT_EQ(OpenVhd(dir.file("child.vhd")), DISK_OK);
    OutputFile output;
    OutputFile_Init(&output);
    EXPECT_EQ(Vhd_ExpandCapacity(dir.file("child.vhd").c_str(), &disk, nullptr, &output, 1000,
                                 nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_FALSE(output.armed);
}

TEST_F(VhdWrite, ExpansionWithAMapOfTheOldDisk)
{
    // The map was built for the old disk; the writer asks it about the added sectors too, which
    // hold nothing the map knows of and count as used.
    const uint64_t total = 2 * 4096 + 300;
    const std::vector<uint8_t> data = MakeSource(total, 23);
    WriteSource(data);
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060001, 0, 4096, 1, 0);
    const std::string path = dir.file("m.vhd");
    ASSERT_EQ(Vhd_Create(path.c_str(), &src, nullptr, nullptr, nullptr, &o, 0), DISK_OK);
    std::vector<uint8_t> used(total);
    for (uint64_t s = 0; s < total; s++) used[s] = (s / 700) % 2 == 0;
    ScriptedMap map(used);
    ASSERT_EQ(OpenVhd(path, VHD_PARENT_OPTIONAL, false), DISK_OK);
    OutputFile output;
    OutputFile_Init(&output);
    const uint32_t newTotal = static_cast<uint32_t>(total + 3 * 4096 + 5);
    ASSERT_EQ(
        Vhd_ExpandCapacity(path.c_str(), &disk, map.map(), &output, newTotal, nullptr, nullptr),
        DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(OutputFile_Commit(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), false), DISK_OK);
    ASSERT_EQ(OpenVhd(path), DISK_OK);
    std::vector<uint8_t> want = Masked(data, used);
    want.resize(uint64_t(newTotal) * 512, 0);
    EXPECT_EQ(ReadAll(&disk), want);
    Disk_Close(&disk);
    WriteFile(dir.file("want.raw"), want);
    CheckWithQemu(path, dir.file("want.raw"), uint64_t(newTotal) * 512);
}

TEST_F(VhdCompact, OnlyTheStoredTableIsWalked)
{
    // 2^32 - 1 sectors in 512-byte blocks, of which the table holds 16: compaction walks 16
    // entries, not 8 million blocks, and asks for progress a handful of times.
    const std::string vhd = dir.file("t.vhd");
    Build(Spec(vhd, 0xFFFFFFFFu,
               "\"creator\":\"win \",\"block_size\":512,\"max_entries\":16,"
               "\"blocks\":[{\"index\":0},{\"index\":5,\"seed\":3},{\"index\":7,\"zero\":[0]}]"));
    ASSERT_LT(ReadFile(vhd).size(), 10000u);
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    std::vector<uint8_t> before(16 * 512);
    ASSERT_EQ(Disk_Read(&disk, 0, 16 * 512, before.data()), DISK_OK);
    OutputFile output;
    ProgressLog log;
    ASSERT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, ProgressLog::Callback, &log),
              DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(Vhd_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), true, false), DISK_OK);
    EXPECT_LE(log.calls.size(), 18u);
    ASSERT_FALSE(log.calls.empty());
    EXPECT_EQ(log.calls.front(), std::make_pair(uint64_t(0), uint64_t(0xFFFFFFFFu)));
    EXPECT_EQ(log.calls.back(), std::make_pair(uint64_t(0xFFFFFFFFu), uint64_t(0xFFFFFFFFu)));
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    std::vector<uint8_t> after(16 * 512);
    ASSERT_EQ(Disk_Read(&disk, 0, 16 * 512, after.data()), DISK_OK);
    EXPECT_EQ(after, before);
    // Blocks 0 and 5 stay; block 7 (zeros) goes.
    EXPECT_NE(Image()->bat[0], VHD_UNALLOCATED);
    EXPECT_NE(Image()->bat[5], VHD_UNALLOCATED);
    EXPECT_EQ(Image()->bat[7], VHD_UNALLOCATED);
    EXPECT_EQ(Image()->batStoredEntries, 16u);

    // A table of 2 MiB blocks reports after every block, one of 512-byte blocks after 2 MiB.
    Disk_Close(&disk);
    Build(Spec(vhd, 3 * 4096 + 7,
               "\"creator\":\"win \",\"block_size\":2097152,\"blocks\":[{\"index\":1}]"));
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    log.calls.clear();
    ASSERT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, ProgressLog::Callback, &log),
              DISK_OK);
    ASSERT_EQ(Vhd_DiscardCompact(&output), DISK_OK);
    const std::vector<std::pair<uint64_t, uint64_t>> perBlock = {
        {0, 12295}, {4096, 12295}, {8192, 12295}, {12288, 12295}, {12295, 12295}};
    EXPECT_EQ(log.calls, perBlock);
    Disk_Close(&disk);
    Build(Spec(vhd, 3 * 4096 + 7,
               "\"creator\":\"win \",\"block_size\":512,\"blocks\":[{\"index\":1}]"));
    ASSERT_EQ(OpenVhd(vhd), DISK_OK);
    log.calls.clear();
    ASSERT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, ProgressLog::Callback, &log),
              DISK_OK);
    ASSERT_EQ(Vhd_DiscardCompact(&output), DISK_OK);
    EXPECT_EQ(log.calls, perBlock);
}

// ---- Children and parent links ------------------------------------------------------------

class VhdChild : public VhdWrite {
protected:
    // A dynamic parent with data in dir/<sub>/parent.vhd; its content in parentData.
    std::string MakeParent(const std::string& sub, uint32_t creator = VHD_CODE_WIN)
    {
        EXPECT_EQ(system(("mkdir -p " + Quote(dir.file(sub))).c_str()), 0);
        DiskGeometry g = {};
        Vhd_ComputeGeometry(6 * 1048576, &g);
        const uint64_t total = Geometry_GetTotalSectors(&g) / (g.heads * g.sectors_per_track) *
                               g.heads * g.sectors_per_track;
        parentData = MakeSource(total, 31);
        WriteSource(parentData);
        const VhdCreateOptions o = Options(creator, 0x00050003, 0, 4096, 1, 0);
        const std::string path = dir.file(sub + "/parent.vhd");
        EXPECT_EQ(Vhd_Create(path.c_str(), &src, nullptr, nullptr, nullptr, &o, 0), DISK_OK);
        return path;
    }
    std::vector<uint8_t> parentData;
};

TEST_F(VhdChild, ChildrenInAnotherDirectoryOpenHereAndInLibvhdi)
{
    const std::string parent = MakeParent("bases");
    ASSERT_EQ(system(("mkdir -p " + Quote(dir.file("kids"))).c_str()), 0);
    struct Case {
        const char* name;
        VhdCreateOptions o;
        uint64_t tableOffset;
        std::vector<std::pair<uint32_t, uint32_t>> slots;  // (slot, code)
    };
    const Case cases[] = {
        {"win", Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0), 1536, {{1, VHD_CODE_W2RU}}},
        {"win-aligned",
         Options(VHD_CODE_WIN, 0x00060002, 1, 4096, 7, 7),
         4096,
         {{1, VHD_CODE_W2RU}}},
        {"vpc-old",
         Options(VHD_CODE_VPC, 0x00010000, 0, 4096, 1, 0),
         1536,
         {{7, VHD_CODE_WI2R}, {6, VHD_CODE_W2RU}}},
        {"vpc",
         Options(VHD_CODE_VPC, 0x00050003, 1, 4096, 7, 7),
         1536,
         {{3, VHD_CODE_WI2R}, {1, VHD_CODE_W2RU}}},
        {"vs",
         Options(VHD_CODE_VS, 0x00010000, 0, 32768, 4, 0),
         1536,
         {{7, VHD_CODE_WI2R}, {6, VHD_CODE_W2RU}}},
    };
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&ph, parent.c_str(), true), DISK_OK);
    const VhdImage* pim = static_cast<const VhdImage*>(Disk_GetObject(&ph));
    int32_t mtime = 0;
    ASSERT_TRUE(File_GetModTimeSince2000(parent.c_str(), &mtime));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string child = dir.file(std::string("kids/") + c.name + ".vhd");
        ASSERT_EQ(Vhd_CreateChild(&ph, &c.o, parent.c_str(), child.c_str()), DISK_OK);
        EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));
        ASSERT_EQ(OpenVhd(child), DISK_OK);
        EXPECT_TRUE(Disk_HasParent(&disk));
        EXPECT_TRUE(Disk_CanCompact(&disk));
        EXPECT_EQ(ReadAll(&disk), parentData);
        const VhdImage* im = Image();
        EXPECT_EQ(im->tableOffset, c.tableOffset);
        EXPECT_EQ(im->footer.diskType, 4u);
        EXPECT_EQ(im->footer.creatorApplication, c.o.creatorApplication);
        EXPECT_EQ(std::memcmp(im->header.parentUniqueId, pim->footer.uniqueId, 16), 0);
        EXPECT_EQ(im->header.parentTimestamp, static_cast<uint32_t>(mtime));
        EXPECT_EQ(im->batAlignment, c.o.batAlignment);
        EXPECT_EQ(im->zeroSectorsAfterBat, c.o.batAlignment ? 7u : c.o.zeroSectorsAfterBat);
        // Parent name: the file name in UTF-16 big-endian.
        EXPECT_EQ(std::memcmp(im->header.parentName, "\0p\0a\0r\0e\0n\0t\0.\0v\0h\0d\0\0", 22), 0);
        // Locators: the relative path in the slots of the creator.
        const std::vector<uint8_t> f = ReadFile(child);
        for (const auto& s : c.slots) {
            const VhdParentLocator& loc = im->header.locators[s.first];
            EXPECT_EQ(loc.platformCode, s.second) << "slot " << s.first;
            std::string text;
            if (s.second == VHD_CODE_W2RU) {
                for (uint32_t i = 0; i < loc.platformDataLength; i += 2)
                    text += static_cast<char>(f[loc.platformDataOffset + i]);
                EXPECT_EQ(loc.platformDataSpace,
                          c.o.creatorApplication == VHD_CODE_WIN ? 65536u : 512u);
            } else {
                text.assign(reinterpret_cast<const char*>(f.data() + loc.platformDataOffset),
                            loc.platformDataLength);
                EXPECT_EQ(loc.platformDataSpace, 512u);
            }
            EXPECT_EQ(text, "..\\bases\\parent.vhd");
        }
        Disk_Close(&disk);
        if (HavePyvhdi()) {
            std::string report;
            ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}, &report)) << report;
            EXPECT_EQ(ReadFile(dir.file("lib.raw")), parentData);
            EXPECT_NE(report.find("\"parent_filename\": \"parent.vhd\""), std::string::npos)
                << report;
        }
        if (HaveTool("qemu-img")) {
            std::string out;
            EXPECT_EQ(Qemu("info " + Quote(child), &out), 0) << out;
        }
    }
    // A child beside its parent gets ".\\" in front; a child over its parent is refused.
    const VhdCreateOptions o = cases[3].o;
    const std::string near = dir.file("bases/near.vhd");
    ASSERT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), near.c_str()), DISK_OK);
    ASSERT_EQ(OpenVhd(near), DISK_OK);
    const VhdParentLocator& loc = Image()->header.locators[3];
    const std::vector<uint8_t> f = ReadFile(near);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data() + loc.platformDataOffset),
                          loc.platformDataLength),
              ".\\parent.vhd");
    Disk_Close(&disk);
    const std::vector<uint8_t> parentBytes = ReadFile(parent);
    EXPECT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), parent.c_str()), DISK_ERR_ARG);
    EXPECT_EQ(
        Vhd_CreateChild(&ph, &o, parent.c_str(), (dir.file("bases/../bases/parent.vhd")).c_str()),
        DISK_ERR_ARG);
    EXPECT_EQ(ReadFile(parent), parentBytes);
    Disk_Close(&ph);
}

TEST_F(VhdChild, ChildrenOfFixedParentsAndSizeRules)
{
    if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    // A fixed parent made by qemu (creator "qemu", CHS size).
    const std::string parent = dir.file("fixed.vhd");
    const std::vector<uint8_t> data = FastBytes(3 * 1048576, 4);
    WriteFile(dir.file("f.raw"), data);
    ASSERT_EQ(Qemu("convert -f raw -O vpc -o subformat=fixed " + Quote(dir.file("f.raw")) + " " +
                   Quote(parent)),
              0);
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&ph, parent.c_str(), true), DISK_OK);
    ASSERT_EQ(Disk_GetKind(&ph), DISK_KIND_VHD_FIXED);
    const std::vector<uint8_t> expected = ReadAll(&ph);
    for (uint32_t creator : {VHD_CODE_VPC, VHD_CODE_WIN}) {
        const VhdCreateOptions o = Options(creator, 0x00050003, 0, 4096, 1, 0);
        const std::string child = dir.file("child.vhd");
        ASSERT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), child.c_str()), DISK_OK);
        ASSERT_EQ(OpenVhd(child), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), expected);
        Disk_Close(&disk);
        if (HavePyvhdi()) {
            ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}));
            EXPECT_EQ(ReadFile(dir.file("lib.raw")), expected);
        }
    }
    Disk_Close(&ph);
    // A parent sized by current size with partial cylinders cannot have a CHS-sized child; a
    // current-size child reads at its size.
    const std::string qem2 = dir.file("qem2.vhd");
    WriteFile(dir.file("odd.raw"), FastBytes(1048576 + 3 * 512, 8));
    ASSERT_EQ(Qemu("convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                   Quote(dir.file("odd.raw")) + " " + Quote(qem2)),
              0);
    ASSERT_EQ(Disk_Open(&ph, qem2.c_str(), true), DISK_OK);
    const VhdCreateOptions vpc = Options(VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0);
    const VhdCreateOptions win = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
    // qem2 states 65535/16/255, so even a CHS-sized child takes the current size.
    ASSERT_EQ(Vhd_CreateChild(&ph, &vpc, qem2.c_str(), dir.file("c1.vhd").c_str()), DISK_OK);
    ASSERT_EQ(Vhd_CreateChild(&ph, &win, qem2.c_str(), dir.file("c2.vhd").c_str()), DISK_OK);
    const std::vector<uint8_t> odd = ReadAll(&ph);
    Disk_Close(&ph);
    for (const char* name : {"c1.vhd", "c2.vhd"}) {
        ASSERT_EQ(OpenVhd(dir.file(name)), DISK_OK);
        EXPECT_EQ(ReadAll(&disk), odd);
    }
}

std::vector<uint8_t> Encode(const std::string& utf8, TextEncoding encoding)
{
    TextView out = {nullptr, 0};
    TextView in = {reinterpret_cast<const uint8_t*>(utf8.data()),
                   static_cast<uint32_t>(utf8.size())};
    EXPECT_TRUE(Enc_ConvertAlloc(&out, encoding, in, TEXT_ENC_UTF8));
    std::vector<uint8_t> v(out.data, out.data + out.length);
    Mem_Free(const_cast<uint8_t*>(out.data));
    return v;
}

VhdLocatorBytes Bytes(const std::vector<uint8_t>& v)
{
    return VhdLocatorBytes{true, v.data(), static_cast<uint32_t>(v.size())};
}

TEST_F(VhdChild, ParentLinksAreRewrittenSafely)
{
    const std::string parent = MakeParent("old");
    ASSERT_EQ(
        system(("mkdir -p " + Quote(dir.file("kids")) + " " + Quote(dir.file("new"))).c_str()), 0);
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&ph, parent.c_str(), true), DISK_OK);
    const std::string child = dir.file("kids/child.vhd");
    const VhdCreateOptions o = Options(VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0);
    ASSERT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), child.c_str()), DISK_OK);
    Disk_Close(&ph);
    // The parent moves; the child no longer finds it.
    const std::string moved = dir.file("new/moved parent.vhd");
    ASSERT_EQ(std::rename(parent.c_str(), moved.c_str()), 0);
    EXPECT_EQ(OpenVhd(child), DISK_ERR_OPEN);
    ASSERT_EQ(OpenVhd(child, VHD_PARENT_OPTIONAL, false), DISK_OK);
    const std::vector<uint8_t> before = ReadFile(child);

    const std::vector<uint8_t> absU16 = Encode(moved, TEXT_ENC_UTF16LE),
                               relU16 = Encode("../new/moved parent.vhd", TEXT_ENC_UTF16LE);
    const std::vector<uint8_t> absSjis = Encode(moved, TEXT_ENC_SJIS),
                               relSjis = Encode("../new/moved parent.vhd", TEXT_ENC_SJIS);
    const std::vector<uint8_t> name = Encode("moved parent.vhd", TEXT_ENC_UTF16BE);
    VhdParentLocatorRequest good = {Bytes(absU16),  Bytes(relU16), Bytes(absSjis),
                                    Bytes(relSjis), Bytes(name),   child.c_str()};

    // Refused before anything is written: a name over 512 bytes, data longer than any locator
    // is read, text that is not Shift_JIS, UTF-16 of odd length.
    const std::vector<uint8_t> longName(514, 'a');
    const std::vector<uint8_t> longData(VHD_MAX_LOCATOR_READ + 1, 'a');
    const std::vector<uint8_t> badSjis = {'a', 0x81, 0x20};
    const std::vector<uint8_t> oddU16 = {'a', 0, 'b'};
    std::vector<VhdParentLocatorRequest> bad(4, good);
    bad[0].parentName = Bytes(longName);
    bad[1].wi2r = Bytes(longData);
    bad[2].wi2r = Bytes(badSjis);
    bad[3].w2ru = Bytes(oddU16);
    for (size_t i = 0; i < bad.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Vhd_ChangeParentLocators(Image(), &bad[i]), DISK_ERR_ARG);
        EXPECT_EQ(ReadFile(child), before);
        EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));
    }
    // A link to a parent that does not exist, or to the child itself: reported, file untouched,
    // the image still open.
    const std::vector<uint8_t> gone = Encode("../new/gone.vhd", TEXT_ENC_UTF16LE),
                               goneSjis = Encode("../new/gone.vhd", TEXT_ENC_SJIS);
    const std::vector<uint8_t> goneName = Encode("gone.vhd", TEXT_ENC_UTF16BE);
    VhdParentLocatorRequest missing = {{false, nullptr, 0}, Bytes(gone),     {false, nullptr, 0},
                                       Bytes(goneSjis),     Bytes(goneName), child.c_str()};
    EXPECT_EQ(Vhd_ChangeParentLocators(Image(), &missing), DISK_ERR_OPEN);
    EXPECT_EQ(ReadFile(child), before);
    const std::vector<uint8_t> self = Encode("./child.vhd", TEXT_ENC_UTF16LE),
                               selfSjis = Encode("./child.vhd", TEXT_ENC_SJIS);
    const std::vector<uint8_t> selfName = Encode("child.vhd", TEXT_ENC_UTF16BE);
    VhdParentLocatorRequest loop = {{false, nullptr, 0}, Bytes(self),     {false, nullptr, 0},
                                    Bytes(selfSjis),     Bytes(selfName), child.c_str()};
    EXPECT_NE(Vhd_ChangeParentLocators(Image(), &loop), DISK_OK);
    EXPECT_EQ(ReadFile(child), before);
    uint8_t sector[512];
    EXPECT_EQ(Disk_Read(&disk, 0, 512, sector), DISK_OK);

    // The good link: the child opens with the moved parent, here and in libvhdi.
    ASSERT_EQ(Vhd_ChangeParentLocators(Image(), &good), DISK_OK);
    EXPECT_FALSE(Image()->parentMissing);
    EXPECT_EQ(ReadAll(&disk), parentData);
    EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));
    EXPECT_FALSE(Os_PathExists((child + "_del").c_str()));
    // The child had relative locators only: room for the absolute ones (4096 bytes) was made
    // after its metadata; the footers are as they were.
    const std::vector<uint8_t> after = ReadFile(child);
    ASSERT_EQ(after.size(), before.size() + 4096);
    EXPECT_EQ(std::memcmp(after.data(), before.data(), 512), 0);
    EXPECT_EQ(
        std::memcmp(after.data() + after.size() - 512, before.data() + before.size() - 512, 512),
        0);
    Disk_Close(&disk);
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), parentData);
    EXPECT_EQ(std::memcmp(Image()->header.parentName, name.data(), name.size()), 0);
    Disk_Close(&disk);
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, moved}, &report)) << report;
        EXPECT_EQ(ReadFile(dir.file("lib.raw")), parentData);
        EXPECT_NE(report.find("moved parent.vhd"), std::string::npos) << report;
    }
}

// The four locators and the parent name a relink asks for are all written, whatever the child
// carries: a child with relative locators only (as made here) or with a locator too small for
// its new path gets room inserted after its metadata, its blocks move, and it reads the same
// here, in qemu-img (its own blocks) and in libvhdi (with the parent). A child without a free
// slot is refused with the file untouched.
struct RoomCase {
    const char* name;
    const char* creator;
    const char* locators;  // fixture locators (JSON list body)
    uint32_t gap, pad;     // zero sectors after the metadata and after each block
    bool longRelative;     // a relative path longer than its locator's data space
    int result;
};

class VhdRelinkRoom : public VhdChild, public ::testing::WithParamInterface<RoomCase> {};

std::string LocatorText(const std::vector<uint8_t>& f, const VhdParentLocator& loc, bool utf16)
{
    std::string text;
    for (uint32_t i = 0; i < loc.platformDataLength; i += utf16 ? 2 : 1)
        text += static_cast<char>(f[loc.platformDataOffset + i]);
    return text;
}

TEST_P(VhdRelinkRoom, EveryLocatorIsWritten)
{
    const RoomCase& c = GetParam();
    const std::string parent = MakeParent("bases");
    std::string parentId;
    {
        DiskHandle ph{DISK_KIND_NONE, nullptr};
        ASSERT_EQ(Disk_Open(&ph, parent.c_str(), true), DISK_OK);
        const VhdImage* pim = static_cast<const VhdImage*>(Disk_GetObject(&ph));
        char hex[3];
        for (int i = 0; i < 16; i++) {
            std::snprintf(hex, sizeof hex, "%02x", pim->footer.uniqueId[i]);
            parentId += hex;
        }
        Disk_Close(&ph);
    }
    const uint64_t total = parentData.size() / 512;
    ASSERT_EQ(system(("mkdir -p " + Quote(dir.file("kids"))).c_str()), 0);
    const std::string child = dir.file("kids/child.vhd");
    Build("{\"path\":" + Str(child) + ",\"sectors\":" + std::to_string(total) +
          ",\"disk_type\":4,\"creator\":" + Str(c.creator) +
          ",\"parent_name\":\"parent.vhd\",\"parent_id\":" + Str(parentId) + ",\"locators\":[" +
          c.locators + "],\"gap_sectors\":" + std::to_string(c.gap) +
          ",\"pad_sectors\":" + std::to_string(c.pad) +
          ",\"blocks\":[{\"index\":0,\"sectors\":\"all\",\"seed\":4},{\"index\":2,\"sectors\":"
          "\"all\",\"seed\":5}]," +
          "\"parent_raw\":" + Str(dir.file("src.raw")) +
          ",\"expect\":" + Str(dir.file("expect.raw")) + "}");
    const std::vector<uint8_t> expected = ReadFile(dir.file("expect.raw"));
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    ASSERT_TRUE(ReadAll(&disk) == expected);
    const uint32_t alignment = Image()->batAlignment, afterBat = Image()->zeroSectorsAfterBat;
    Disk_Close(&disk);
    const std::vector<uint8_t> before = ReadFile(child);
    WriteFile(dir.file("before.vhd"), before);

    // The parent moves; the link is given anew, in both forms and both encodings.
    ASSERT_EQ(system(("mkdir -p " + Quote(dir.file("new/sub"))).c_str()), 0);
    const std::string moved = dir.file("new/moved.vhd");
    ASSERT_EQ(std::rename(parent.c_str(), moved.c_str()), 0);
    std::string relative = "..\\new\\moved.vhd";
    if (c.longRelative) {
        relative = "..\\new";
        while (relative.size() < 600) relative += "\\sub\\..";
        relative += "\\moved.vhd";
    }
    const std::vector<uint8_t> absU16 = Encode(moved, TEXT_ENC_UTF16LE),
                               absSjis = Encode(moved, TEXT_ENC_SJIS);
    const std::vector<uint8_t> relU16 = Encode(relative, TEXT_ENC_UTF16LE),
                               relSjis = Encode(relative, TEXT_ENC_SJIS);
    const std::vector<uint8_t> name = Encode("moved.vhd", TEXT_ENC_UTF16BE);
    const VhdParentLocatorRequest request = {Bytes(absU16),  Bytes(relU16), Bytes(absSjis),
                                             Bytes(relSjis), Bytes(name),   child.c_str()};
    ASSERT_EQ(OpenVhd(child, VHD_PARENT_OPTIONAL, false), DISK_OK);
    ASSERT_EQ(Vhd_ChangeParentLocators(Image(), &request), c.result);
    EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));
    EXPECT_FALSE(Os_PathExists((child + "_del").c_str()));
    Disk_Close(&disk);
    const std::vector<uint8_t> after = ReadFile(child);
    if (c.result != DISK_OK) {
        EXPECT_TRUE(after == before);
        return;
    }
    EXPECT_FALSE(after == before);
    EXPECT_EQ((after.size() - before.size()) % 4096, 0u);

    // Our reader: the parent found by the link, the same content, the same layout, every
    // locator holding its text.
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    EXPECT_TRUE(ReadAll(&disk) == expected);
    EXPECT_EQ(Image()->batAlignment, alignment);
    EXPECT_EQ(Image()->zeroSectorsAfterBat, afterBat);
    EXPECT_EQ(std::memcmp(Image()->header.parentName, name.data(), name.size()), 0);
    const struct {
        uint32_t code;
        std::string text;
        bool utf16;
    } want[] = {{VHD_CODE_W2KU, moved, true},
                {VHD_CODE_W2RU, relative, true},
                {VHD_CODE_WI2K, moved, false},
                {VHD_CODE_WI2R, relative, false}};
    for (const auto& w : want) {
        int found = 0;
        for (const VhdParentLocator& loc : Image()->header.locators) {
            if (loc.platformCode != w.code) continue;
            found++;
            EXPECT_LE(loc.platformDataLength, loc.platformDataSpace);
            EXPECT_EQ(loc.platformDataOffset % 512, 0u);
            EXPECT_EQ(LocatorText(after, loc, w.utf16), w.text);
        }
        EXPECT_EQ(found, 1) << std::hex << w.code;
    }
    Disk_Close(&disk);

    // qemu-img reads the child's own blocks (it does not follow the link) as before the move.
    if (HaveTool("qemu-img")) {
        std::string out;
        EXPECT_EQ(
            Qemu("compare -f vpc -F vpc " + Quote(dir.file("before.vhd")) + " " + Quote(child),
                 &out),
            0)
            << out;
    }
    if (HaveTool("vhdiinfo")) {
        EXPECT_EQ(RunCommand("vhdiinfo " + Quote(child) + " >/dev/null 2>&1"), 0);
    }
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, moved}, &report)) << report;
        EXPECT_TRUE(ReadFile(dir.file("lib.raw")) == expected);
        EXPECT_NE(report.find("\"parent_filename\": \"moved.vhd\""), std::string::npos) << report;
    }
}

const char* const kRelativeOnly =
    "{\"slot\":3,\"code\":\"Wi2r\",\"text\":\"..\\\\bases\\\\parent.vhd\",\"encoding\":\"shift_"
    "jis\"},"
    "{\"slot\":1,\"code\":\"W2ru\",\"text\":\"..\\\\bases\\\\parent.vhd\"}";
const char* const kFull =
    "{\"slot\":0,\"code\":\"MacX\",\"text\":\"x\"},{\"slot\":1,\"code\":\"W2ru\",\"text\":\".."
    "\\\\bases\\\\parent.vhd\"},"
    "{\"slot\":2,\"code\":\"Mac "
    "\",\"text\":\"x\"},{\"slot\":3,\"code\":\"Wi2r\",\"text\":\"p\",\"encoding\":\"shift_jis\"},"
    "{\"slot\":4,\"code\":\"MacX\",\"text\":\"x\"},{\"slot\":5,\"code\":\"MacX\",\"text\":\"x\"},"
    "{\"slot\":6,\"code\":\"MacX\",\"text\":\"x\"},{\"slot\":7,\"code\":\"MacX\",\"text\":\"x\"}";

INSTANTIATE_TEST_SUITE_P(
    Children, VhdRelinkRoom,
    ::testing::Values(
        RoomCase{"relative_only", "vpc ", kRelativeOnly, 1, 0, false, DISK_OK},
        RoomCase{"relative_only_aligned", "vpc ", kRelativeOnly, 7, 7, false, DISK_OK},
        RoomCase{
            "win_one_locator", "win ",
            "{\"slot\":1,\"code\":\"W2ru\",\"text\":\"..\\\\bases\\\\parent.vhd\",\"space\":65536}",
            0, 0, false, DISK_OK},
        RoomCase{"relative_too_small", "vpc ", kRelativeOnly, 1, 0, true, DISK_OK},
        RoomCase{"no_free_slot", "vpc ", kFull, 1, 0, false, DISK_ERR_ARG}),
    [](const ::testing::TestParamInfo<RoomCase>& i) { return std::string(i.param.name); });

// A child named like an image further up the parent's chain would take that image's place:
// refused, the chain as it was.
TEST_F(VhdChild, ChildrenNeverReplaceAnImageOfTheirChain)
{
    const std::string base = MakeParent("chain");
    const std::string middle = dir.file("chain/middle.vhd");
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&ph, base.c_str(), true), DISK_OK);
    ASSERT_EQ(Vhd_CreateChild(&ph, &o, base.c_str(), middle.c_str()), DISK_OK);
    Disk_Close(&ph);
    const std::vector<uint8_t> baseBytes = ReadFile(base), middleBytes = ReadFile(middle);
    ASSERT_EQ(Disk_Open(&ph, middle.c_str(), true), DISK_OK);
    for (const std::string& target : {base, dir.file("chain/../chain/parent.vhd")}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(Vhd_CreateChild(&ph, &o, middle.c_str(), target.c_str()), DISK_ERR_ARG);
        EXPECT_TRUE(ReadFile(base) == baseBytes);
        EXPECT_TRUE(ReadFile(middle) == middleBytes);
        EXPECT_FALSE(Os_PathExists((base + "_del").c_str()));
        EXPECT_FALSE(Os_PathExists((base + "_temp").c_str()));
    }
    Disk_Close(&ph);
    ASSERT_EQ(OpenVhd(middle), DISK_OK);
    EXPECT_EQ(ReadAll(&disk), parentData);

    // Linking the middle image to its own child closes a loop through another file: refused,
    // the middle image as it was and still open.
    const std::string leaf = dir.file("chain/leaf.vhd");
    ASSERT_EQ(Vhd_CreateChild(&disk, &o, middle.c_str(), leaf.c_str()), DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(OpenVhd(middle, VHD_PARENT_OPTIONAL, false), DISK_OK);
    const std::vector<uint8_t> rel = Encode("./leaf.vhd", TEXT_ENC_UTF16LE),
                               name = Encode("leaf.vhd", TEXT_ENC_UTF16BE);
    const VhdLocatorBytes none = {false, nullptr, 0};
    const VhdParentLocatorRequest loop = {
        none, {true, rel.data(), static_cast<uint32_t>(rel.size())},   none,
        none, {true, name.data(), static_cast<uint32_t>(name.size())}, middle.c_str()};
    EXPECT_NE(Vhd_ChangeParentLocators(Image(), &loop), DISK_OK);
    EXPECT_TRUE(ReadFile(middle) == middleBytes);
    EXPECT_FALSE(Os_PathExists((middle + "_temp").c_str()));
    EXPECT_FALSE(Os_PathExists((middle + "_del").c_str()));
    EXPECT_FALSE(Image()->parentMissing);
    EXPECT_TRUE(ReadAll(&disk) == parentData);
}

// Compaction and relinking never write their temporary file over a file of the chain, whatever
// its name (the old parent of a relink included), and refuse, before writing, a backup name
// that is a file of the chain. The results read the same here and in qemu-img.
TEST_F(VhdChild, RewritesNeverWriteOverFilesOfTheirChain)
{
    const std::string made = MakeParent("t");
    const std::string parent = dir.file("t/c.vhd_TEMP");
    ASSERT_EQ(std::rename(made.c_str(), parent.c_str()), 0);
    const std::vector<uint8_t> parentBytes = ReadFile(parent);
    const VhdCreateOptions o = Options(VHD_CODE_VPC, 0x00050003, 0, 4096, 1, 0);
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_OpenVhdWithHandler(&ph, &FileOpener_Default, parent.c_str(), true,
                                      VHD_PARENT_REQUIRED, nullptr),
              DISK_OK);

    // Compaction of c.vhd, whose parent is c.vhd_TEMP.
    const std::string child = dir.file("t/c.vhd");
    ASSERT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), child.c_str()), DISK_OK);
    const std::vector<uint8_t> childBytes = ReadFile(child);
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    OutputFile output;
    OutputFile_Init(&output);
    ASSERT_EQ(Vhd_Compact(child.c_str(), &disk, nullptr, &output, false, nullptr, nullptr),
              DISK_OK);
    Disk_Close(&disk);
    ASSERT_EQ(Vhd_CommitCompact(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), 0, true), DISK_OK);
    EXPECT_TRUE(ReadFile(parent) == parentBytes);
    EXPECT_TRUE(ReadFile(child + "_del") == childBytes);
    EXPECT_FALSE(Os_PathExists((child + "_TEMP1").c_str()));
    ASSERT_EQ(OpenVhd(child), DISK_OK);
    EXPECT_TRUE(ReadAll(&disk) == parentData);
    Disk_Close(&disk);
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}, &report)) << report;
        EXPECT_TRUE(ReadFile(dir.file("lib.raw")) == parentData);
    }

    // Relinking r.vhd away from its parent r.vhd_temp to a copy elsewhere.
    const std::string oldParent = dir.file("t/r.vhd_temp");
    ASSERT_EQ(
        system(("cp " + Quote(parent) + " " + Quote(oldParent) + " && mkdir -p " +
                Quote(dir.file("n")) + " && cp " + Quote(parent) + " " + Quote(dir.file("n/p.vhd")))
                   .c_str()),
        0);
    const std::string relinked = dir.file("t/r.vhd");
    DiskHandle oh{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_OpenVhdWithHandler(&oh, &FileOpener_Default, oldParent.c_str(), true,
                                      VHD_PARENT_REQUIRED, nullptr),
              DISK_OK);
    ASSERT_EQ(Vhd_CreateChild(&oh, &o, oldParent.c_str(), relinked.c_str()), DISK_OK);
    Disk_Close(&oh);
    ASSERT_EQ(OpenVhd(relinked, VHD_PARENT_REQUIRED, false), DISK_OK);
    const std::vector<uint8_t> rel = Encode("../n/p.vhd", TEXT_ENC_UTF16LE),
                               relSjis = Encode("../n/p.vhd", TEXT_ENC_SJIS);
    const std::vector<uint8_t> name = Encode("p.vhd", TEXT_ENC_UTF16BE);
    const VhdParentLocatorRequest away = {{false, nullptr, 0}, Bytes(rel),  {false, nullptr, 0},
                                          Bytes(relSjis),      Bytes(name), relinked.c_str()};
    ASSERT_EQ(Vhd_ChangeParentLocators(Image(), &away), DISK_OK);
    EXPECT_TRUE(ReadFile(oldParent) == parentBytes);
    EXPECT_FALSE(Os_PathExists((relinked + "_temp1").c_str()));
    EXPECT_FALSE(Os_PathExists((relinked + "_del").c_str()));
    EXPECT_TRUE(ReadAll(&disk) == parentData);
    Disk_Close(&disk);
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {relinked, dir.file("n/p.vhd")}, &report))
            << report;
        EXPECT_TRUE(ReadFile(dir.file("lib.raw")) == parentData);
    }

    // A backup name that is the parent: refused before anything is written.
    const std::string delParent = dir.file("t/b.vhd_del");
    ASSERT_EQ(std::rename(oldParent.c_str(), delParent.c_str()), 0);
    DiskHandle dh{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_OpenVhdWithHandler(&dh, &FileOpener_Default, delParent.c_str(), true,
                                      VHD_PARENT_REQUIRED, nullptr),
              DISK_OK);
    const std::string refused = dir.file("t/b.vhd");
    ASSERT_EQ(Vhd_CreateChild(&dh, &o, delParent.c_str(), refused.c_str()), DISK_OK);
    Disk_Close(&dh);
    const std::vector<uint8_t> refusedBytes = ReadFile(refused);
    ASSERT_EQ(OpenVhd(refused, VHD_PARENT_REQUIRED, false), DISK_OK);
    OutputFile_Init(&output);
    EXPECT_EQ(Vhd_Compact(refused.c_str(), &disk, nullptr, &output, false, nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_FALSE(output.armed);
    const std::vector<uint8_t> relB = Encode("../n/p.vhd", TEXT_ENC_UTF16LE);
    const VhdParentLocatorRequest again = {{false, nullptr, 0}, Bytes(relB), {false, nullptr, 0},
                                           Bytes(relSjis),      Bytes(name), refused.c_str()};
    EXPECT_EQ(Vhd_ChangeParentLocators(Image(), &again), DISK_ERR_ARG);
    Disk_Close(&disk);
    EXPECT_TRUE(ReadFile(delParent) == parentBytes);
    EXPECT_TRUE(ReadFile(refused) == refusedBytes);
    EXPECT_FALSE(Os_PathExists((refused + "_TEMP").c_str()));
    EXPECT_FALSE(Os_PathExists((refused + "_temp").c_str()));
    Disk_Close(&ph);
}

// Commit hook: removes the file named by user, so that the new file cannot take its name.
void RemoveDuringCommit(const char*, const char*, void* user)
{
    std::remove(static_cast<const std::string*>(user)->c_str());
}

// A child or a new link that cannot take its name (the temporary file vanishes during the swap)
// is reported, with the file at that name as it was and no temporary file left.
TEST_F(VhdChild, FailedSwapsLeaveNoTemporaryFile)
{
    const std::string parent = MakeParent("swap");
    const std::string child = dir.file("swap/child.vhd");
    const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, 4096, 1, 0);
    DiskHandle ph{DISK_KIND_NONE, nullptr};
    ASSERT_EQ(Disk_Open(&ph, parent.c_str(), true), DISK_OK);
    ASSERT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), child.c_str()), DISK_OK);
    const std::vector<uint8_t> before = ReadFile(child);
    const std::string temp = child + "_temp";
    Output_SetCommitHook(RemoveDuringCommit, const_cast<std::string*>(&temp));
    EXPECT_EQ(Vhd_CreateChild(&ph, &o, parent.c_str(), child.c_str()), DISK_ERR_CREATE);
    Disk_Close(&ph);
    EXPECT_TRUE(ReadFile(child) == before);
    EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));

    ASSERT_EQ(OpenVhd(child, VHD_PARENT_OPTIONAL, false), DISK_OK);
    const std::vector<uint8_t> rel = Encode("./parent.vhd", TEXT_ENC_UTF16LE),
                               name = Encode("parent.vhd", TEXT_ENC_UTF16BE);
    const VhdLocatorBytes none = {false, nullptr, 0};
    const VhdParentLocatorRequest link = {
        none, {true, rel.data(), static_cast<uint32_t>(rel.size())},   none,
        none, {true, name.data(), static_cast<uint32_t>(name.size())}, child.c_str()};
    EXPECT_EQ(Vhd_ChangeParentLocators(Image(), &link), DISK_ERR_CREATE);
    Output_SetCommitHook(nullptr, nullptr);
    EXPECT_TRUE(ReadFile(child) == before);
    EXPECT_FALSE(Os_PathExists((child + "_temp").c_str()));
    EXPECT_FALSE(Os_PathExists((child + "_del").c_str()));
    EXPECT_TRUE(ReadAll(&disk) == parentData);
}

}  // namespace

// Each byte of the source is read once: one read serves the zero test and the copy (blocks
// larger than the copy buffer too, piece by piece), nothing else asks the source whether a range
// is empty, and the output is never read (it is written on a write-only descriptor). Blocks of
// zeros stay unallocated, a block whose first pieces are zeros is stored whole, and the image
// reads back as the source.
TEST(VhdWriter, EachSourceByteIsReadOnce)
{
    const struct {
        uint32_t blockSectors;
        uint32_t stored;  // blocks 0 and 4 (the rest), and block 2 where its data lies inside it
    } rows[] = {{4096, 2}, {0x8000, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.blockSectors);
        const uint64_t blockBytes = uint64_t(row.blockSectors) * 512;
        const uint64_t total = 4ull * row.blockSectors + 1000;
        emutest::InstallFakeKind();
        emutest::FakeDisk fake;
        fake.geometry = emutest::MakeGeometry(total, 16, 63, 512);  // 4 blocks and a rest
        // Blocks 1 and 3 are zeros; block 2 holds zeros for its first 5 MiB.
        fake.byteAt = [blockBytes](uint64_t at) {
            const uint64_t block = at / blockBytes;
            if (block == 1 || block == 3 || (block == 2 && at % blockBytes < (5u << 20)))
                return uint8_t(0);
            return uint8_t((at * 2654435761u) >> 11 | 1);
        };
        DiskHandle src = emutest::FakeHandle(&fake);
        TempDir dir;
        const std::string out = dir.file("once.vhd");
        const VhdCreateOptions o = Options(VHD_CODE_WIN, 0x00060002, 0, row.blockSectors, 1, 0);
        ASSERT_EQ(Vhd_Create(out.c_str(), &src, nullptr, nullptr, nullptr, &o, 0), DISK_OK);
        EXPECT_TRUE(fake.queries.empty());
        uint64_t readBytes = 0;
        for (const auto& r : fake.reads) readBytes += r.second;
        EXPECT_EQ(readBytes, total * 512);

        DiskHandle back;
        Disk_Init(&back);
        ASSERT_EQ(Disk_Open(&back, out.c_str(), true), DISK_OK);
        std::vector<uint8_t> piece(4096 * 512);
        for (uint64_t at = 0; at < total * 512; at += piece.size()) {
            const uint32_t n =
                static_cast<uint32_t>(std::min<uint64_t>(piece.size(), total * 512 - at));
            ASSERT_EQ(Disk_Read(&back, at, n, piece.data()), DISK_OK);
            for (uint32_t i = 0; i < n; i += 509)
                ASSERT_EQ(piece[i], fake.byteAt(at + i)) << at + i;
        }
        Disk_Close(&back);
        const uint64_t size = ReadFile(out).size();
        EXPECT_GT(size, row.stored * blockBytes);
        EXPECT_LT(size, (row.stored + 1) * blockBytes);
        // The public readers read the source too.
        std::vector<uint8_t> expected(total * 512);
        for (uint64_t at = 0; at < expected.size(); ++at) expected[at] = fake.byteAt(at);
        testsupport::WriteFile(dir.file("expected.raw"), expected);
        if (HaveTool("qemu-img")) {
            std::string text;
            EXPECT_EQ(
                Qemu("compare -f vpc -F raw " + Quote(out) + " " + Quote(dir.file("expected.raw")),
                     &text),
                0)
                << text;
        }
        std::string report;
        if (ReadWithLibvhdi(dir.file("lib.raw"), {out}, &report)) {
            EXPECT_TRUE(ReadFile(dir.file("lib.raw")) == expected);
        } else {
            ADD_FAILURE() << "libvhdi: " << report;
        }
    }
}
