// Every writer reads each block of its source once, and leaves the blocks that read as zeros
// unstored, whatever the source's own empty-range query would answer. The source is a scripted
// disk: its query either reads the range (as a raw file's does) or cannot tell (as a device's
// cannot). The outputs' tables are checked with qemu-img map where qemu reads the format, else
// with the format's own table; the content with our reader and qemu-img compare.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/emulator_test_util.h"
#include "disk/raw_writer.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vhdx/vhdx_writer.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/platform.h"
#include "support/test_support.h"

namespace {

using namespace testsupport;

const uint64_t kMiB = 1048576;
const uint64_t kTotal = 40 * 16 * 63;  // 40 cylinders of 16 heads x 63 sectors (19.7 MiB)

// Data in MiB 0, MiB 10 and from MiB 18 to the end; zeros everywhere else.
bool HoldsData(uint64_t at)
{
    return at < kMiB || (at >= 10 * kMiB && at < 11 * kMiB) || at >= 18 * kMiB;
}
uint8_t SourceByte(uint64_t at)
{
    return HoldsData(at) ? static_cast<uint8_t>(((at * 2654435761u) >> 11) | 1) : uint8_t(0);
}

// Regions of 2 MiB (the largest block of the writers below) by index: zeros, or holding data.
const uint32_t kZeroRegions[] = {1, 2, 3, 4, 6, 7, 8};
const uint32_t kDataRegions[] = {0, 5, 9};

// The part of region r inside the disk, in sectors.
void Region(uint32_t r, uint64_t* first, uint64_t* count)
{
    *first = r * 4096ull;
    *count = std::min<uint64_t>(4096, kTotal - *first);
}

typedef std::function<int(const char* path, const DiskHandle* source)> WriteFn;
// Whether the output stores anything for sectors [first, first + count).
typedef std::function<bool(const std::string& path, uint64_t first, uint64_t count)> StoredFn;

struct WriterRow {
    const char* name;
    const char* file;
    const char* qemu;  // qemu-img's format, or NULL where qemu does not read these files
    const char* map;   // the format in which qemu-img map tells the stored ranges (a fixed image's
                       // data lies at the same offsets in the file, whose holes are what counts)
    WriteFn write;
    StoredFn stored;  // the format's own table, where qemu-img map cannot tell
};

void PrintTo(const WriterRow& r, std::ostream* os) { *os << r.name; }

uint32_t LoadLe32(const std::vector<uint8_t>& f, uint64_t at)
{
    return at + 4 <= f.size() ? Bytes_LoadLe32(f.data() + at) : 0;
}

// The growing Bochs image: one catalog entry per extent, all ones when not stored.
bool BochsGrowingStored(const std::string& path, uint64_t first, uint64_t count)
{
    const std::vector<uint8_t> f = ReadFile(path);
    const uint64_t extentSectors = LoadLe32(f, 80) / 512;
    for (uint64_t e = first / extentSectors; e * extentSectors < first + count; e++) {
        if (LoadLe32(f, BOCHS_HEADER_BYTES + 4 * e) != BOCHS_UNSTORED) return true;
    }
    return false;
}

// The sparse Bochs image: one table entry per page.
bool BochsSparseStored(const std::string& path, uint64_t first, uint64_t count)
{
    const std::vector<uint8_t> f = ReadFile(path);
    const uint64_t pageSectors = BOCHS_SPARSE_WRITE_PAGE / 512;
    for (uint64_t p = first / pageSectors; p * pageSectors < first + count; p++) {
        if (LoadLe32(f, BOCHS_SPARSE_HEADER_BYTES + 4 * p) != BOCHS_UNSTORED) return true;
    }
    return false;
}

// COWD: the directory at sector 4 names a table per COWD_TABLE_SECTORS, the table a grain per
// COWD_GRAIN_SECTORS; zero means not stored.
bool CowdStored(const std::string& path, uint64_t first, uint64_t count)
{
    const std::vector<uint8_t> f = ReadFile(path);
    for (uint64_t g = first / COWD_GRAIN_SECTORS; g * COWD_GRAIN_SECTORS < first + count; g++) {
        const uint64_t table = g / COWD_TABLE_ENTRIES;
        const uint32_t at = LoadLe32(f, 4 * 512 + 4 * table);
        if (at != 0 && LoadLe32(f, at * 512ull + 4 * (g % COWD_TABLE_ENTRIES)) != 0) return true;
    }
    return false;
}

// VHDX (qemu-img map reports every block of it as data): the writer's table at 3 MiB, blocks of
// 1 MiB with a bitmap entry after every 4096 of them; a stored block is fully present.
bool VhdxStored(const std::string& path, uint64_t first, uint64_t count)
{
    const std::vector<uint8_t> f = ReadFile(path);
    for (uint64_t b = first / 2048; b * 2048 < first + count; b++) {
        const uint64_t entry = Bytes_LoadLe64(f.data() + 3 * kMiB + 8 * (b + b / 4096));
        if ((entry & 7) == VHDX_BLOCK_FULLY_PRESENT) return true;
        EXPECT_EQ(entry & 7, static_cast<uint64_t>(VHDX_BLOCK_ZERO)) << "block " << b;
    }
    return false;
}

// The byte ranges that qemu-img map reports as data.
std::vector<std::pair<uint64_t, uint64_t>> QemuDataRanges(const std::string& format,
                                                          const std::string& path,
                                                          std::string* text)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (RunQemu("qemu-img map --output=json -f " + format + " " + Quote(path), text) != 0)
        return ranges;
    for (size_t at = text->find("\"start\""); at != std::string::npos;
         at = text->find("\"start\"", at + 1)) {
        const size_t end = text->find('}', at);
        const std::string entry = text->substr(at, end - at);
        auto number = [&entry](const char* key) {
            const size_t k = entry.find(key);
            return k == std::string::npos ? 0ull
                                          : std::stoull(entry.substr(entry.find(':', k) + 1));
        };
        if (entry.find("\"data\": true") != std::string::npos)
            ranges.emplace_back(number("\"start\""), number("\"length\""));
    }
    return ranges;
}

int WriteVmdk(const char* path, const DiskHandle* source, bool stream)
{
    VmdkCreateOptions* o = Vmdk_AllocCreateOptions(1);
    if (o == nullptr) return DISK_ERR_NOMEM;
    o->mode = 0;
    o->split = 0;
    o->flat = VMDK_LAYOUT_SPARSE;
    o->compressedGrains = stream ? 1 : 0;
    o->streamOptimized = stream ? 1 : 0;
    o->adapter = VMDK_ADAPTER_IDE;
    o->hwVersionIndex = 4;
    o->encodingChoice = VMDK_ENCODING_UTF8;
    Vmdk_CreateOptionsExtent(o, 0)->sectors = static_cast<uint32_t>(kTotal);
    const int r = Vmdk_Create(path, source, nullptr, nullptr, nullptr, o);
    Mem_Free(o);
    return r;
}

const VhdCreateOptions kVhdOptions = {0x76706320u, 0x00050003u, 0, 4096, 1, 0};

const WriterRow kWriters[] = {
    {"VhdDynamic", "d.vhd", "vpc", "vpc",
     [](const char* p, const DiskHandle* s) {
         return Vhd_Create(p, s, nullptr, nullptr, nullptr, &kVhdOptions, 0);
     },
     nullptr},
    {"VhdFixed", "f.vhd", "vpc", "raw",
     [](const char* p, const DiskHandle* s) {
         return VhdFixed_Create(p, s, nullptr, nullptr, nullptr, &kVhdOptions);
     },
     nullptr},
    {"Vhdx", "x.vhdx", "vhdx", nullptr,
     [](const char* p, const DiskHandle* s) {
         const VhdxCreateOptions o = {0, 0, 0, 0};
         return Vhdx_Create(p, s, nullptr, nullptr, nullptr, &o);
     },
     VhdxStored},
    {"Vdi", "d.vdi", "vdi", "vdi",
     [](const char* p, const DiskHandle* s) {
         const VdiCreateOptions o = {3, 0, 0};
         return Vdi_Create(p, s, nullptr, nullptr, nullptr, &o);
     },
     nullptr},
    {"VmdkSparse", "s.vmdk", "vmdk", "vmdk",
     [](const char* p, const DiskHandle* s) { return WriteVmdk(p, s, false); }, nullptr},
    {"VmdkStreamOptimised", "o.vmdk", "vmdk", "vmdk",
     [](const char* p, const DiskHandle* s) { return WriteVmdk(p, s, true); }, nullptr},
    {"FlatRaw", "r.img", "raw", "raw",
     [](const char* p, const DiskHandle* s) {
         return FlatImage_Create(p, s, nullptr, nullptr, nullptr);
     },
     nullptr},
    {"BochsGrowing", "g.img", nullptr, nullptr,
     [](const char* p, const DiskHandle* s) {
         const BochsCreateOptions o = {BOCHS_VERSION_2};
         return Bochs_Create(p, s, nullptr, nullptr, nullptr, &o);
     },
     BochsGrowingStored},
    {"BochsSparse", "s.img", nullptr, nullptr,
     [](const char* p, const DiskHandle* s) {
         const BochsSparseCreateOptions o = {2};
         return BochsSparse_Create(p, s, nullptr, nullptr, nullptr, &o);
     },
     BochsSparseStored},
    {"CowdV3", "w3.vmdk", nullptr, nullptr,
     [](const char* p, const DiskHandle* s) {
         return Cowd_CreateV3(p, s, nullptr, nullptr, nullptr, false);
     },
     CowdStored},
    {"CowdV1", "w1.dsk", nullptr, nullptr,
     [](const char* p, const DiskHandle* s) {
         return Cowd_CreateV1(p, s, nullptr, nullptr, nullptr, false);
     },
     CowdStored},
};

// How the source answers the empty-range query.
enum class Query { Reads, CannotTell };

class ZeroBlocks : public ::testing::TestWithParam<std::tuple<WriterRow, Query>> {};

TEST_P(ZeroBlocks, AreReadOnceAndNotStored)
{
    const WriterRow& row = std::get<0>(GetParam());
    const Query query = std::get<1>(GetParam());
    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(kTotal, 16, 63, 512);
    fake.byteAt = SourceByte;
    if (query == Query::Reads) {
        fake.rangeEmpty = [&fake](uint64_t first, uint32_t count) {
            std::vector<uint8_t> bytes(static_cast<size_t>(count) * 512);
            return emutest::FakeRead(&fake, first * 512, count * 512, bytes.data()) == DISK_OK &&
                   Mem_IsZero(bytes.data(), count * 512);
        };
    }
    DiskHandle source = emutest::FakeHandle(&fake);
    TempDir dir;
    const std::string out = dir.file(row.file);
    ASSERT_EQ(row.write(out.c_str(), &source), DISK_OK);

    // Each source byte is read at most once, and never through the reading query.
    EXPECT_TRUE(fake.queries.empty()) << fake.queries.size() << " empty-range queries";
    std::vector<std::pair<uint64_t, uint32_t>> reads = fake.reads;
    std::sort(reads.begin(), reads.end());
    for (size_t i = 1; i < reads.size(); i++) {
        ASSERT_LE(reads[i - 1].first + reads[i - 1].second, reads[i].first) << "bytes read twice";
    }

    // Regions of zeros are not stored; the regions with data are.
    StoredFn stored = row.stored;
    std::string text;
    if (!stored) {
        if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
        const auto ranges = QemuDataRanges(row.map, out, &text);
        ASSERT_FALSE(ranges.empty()) << text;
        stored = [ranges](const std::string&, uint64_t first, uint64_t count) {
            for (const auto& r : ranges) {
                if (r.first < (first + count) * 512 && first * 512 < r.first + r.second)
                    return true;
            }
            return false;
        };
    }
    for (uint32_t r : kZeroRegions) {
        uint64_t first = 0, count = 0;
        Region(r, &first, &count);
        EXPECT_FALSE(stored(out, first, count)) << "region " << r << " of zeros is stored\n"
                                                << text;
    }
    for (uint32_t r : kDataRegions) {
        uint64_t first = 0, count = 0;
        Region(r, &first, &count);
        EXPECT_TRUE(stored(out, first, count)) << "region " << r << " with data is not stored\n"
                                               << text;
    }

    // The content reads back as the source through our reader and through qemu-img.
    std::vector<uint8_t> expected(kTotal * 512);
    for (uint64_t at = 0; at < expected.size(); at++) expected[at] = SourceByte(at);
    if (std::string(row.qemu != nullptr ? row.qemu : "") == "raw") {
        EXPECT_TRUE(ReadFile(out) == expected);  // the file is the disk
    } else {
        DiskHandle back;
        Disk_Init(&back);
        ASSERT_EQ(Disk_Open(&back, out.c_str(), true), DISK_OK);
        std::vector<uint8_t> got(expected.size());
        for (uint64_t at = 0; at < got.size(); at += kMiB) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kMiB, got.size() - at));
            ASSERT_EQ(Disk_Read(&back, at, n, got.data() + at), DISK_OK) << at;
        }
        Disk_Close(&back);
        EXPECT_TRUE(got == expected);
    }
    if (row.qemu != nullptr && HaveTool("qemu-img")) {
        WriteFile(dir.file("expected.raw"), expected);
        EXPECT_EQ(RunQemu("qemu-img compare -f " + std::string(row.qemu) + " -F raw " + Quote(out) +
                              " " + Quote(dir.file("expected.raw")),
                          &text),
                  0)
            << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, ZeroBlocks,
                         ::testing::Combine(::testing::ValuesIn(kWriters),
                                            ::testing::Values(Query::Reads, Query::CannotTell)),
                         [](const ::testing::TestParamInfo<std::tuple<WriterRow, Query>>& i) {
                             return std::string(std::get<0>(i.param).name) +
                                    (std::get<1>(i.param) == Query::Reads ? "_QueryReads"
                                                                          : "_QueryCannotTell");
                         });

}  // namespace
