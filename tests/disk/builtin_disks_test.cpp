// Zero disk, resizing view, "NVT " overlay and block device.
#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "disk/raw_writer.h"
#include "foundation/refusal.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "disk/known_zero_util.h"
#include "support/sparse_file.h"
#include "support/test_support.h"
#include "volume/used_map.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kGiB = 1024 * kMiB;
const uint64_t kTiB = 1024 * kGiB;

std::string FixtureScript()
{
    return std::string(VDX_TEST_SOURCE_DIR) + "/disk/overlay_fixtures.py";
}

// Builds one set of overlay fixtures with the python builder into dir.
void BuildFixtures(const std::string& what, const std::string& dir)
{
    ASSERT_EQ(RunCommand("python3 " + Quote(FixtureScript()) + " " + what + " " + Quote(dir)), 0)
        << "overlay fixture builder failed for " << what;
}

std::vector<std::vector<std::string>> ReadCases(const std::string& dir)
{
    std::vector<std::vector<std::string>> cases;
    std::ifstream in(dir + "/cases.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string w;
        while (words >> w) fields.push_back(w);
        if (!fields.empty()) cases.push_back(fields);
    }
    return cases;
}

// An overlay object opened through the default opener, destroyed and freed on scope exit.
class OpenOverlay {
public:
    explicit OpenOverlay(const std::string& path, bool readOnly = true)
    {
        obj_ = Overlay_Alloc();
        Overlay_Init(obj_);
        result_ = Overlay_OpenWithHandler(obj_, nullptr, path.c_str(), readOnly);
    }
    ~OpenOverlay()
    {
        Overlay_Destroy(obj_);
        Mem_Free(obj_);
    }
    OpenOverlay(const OpenOverlay&) = delete;
    OpenOverlay& operator=(const OpenOverlay&) = delete;
    int result() const { return result_; }
    OverlayDisk* get() { return obj_; }

private:
    OverlayDisk* obj_;
    int result_;
};

// Writes `sectors` sectors of pseudo-random data and opens them as a raw disk.
std::vector<uint8_t> MakeRawSource(const TempDir& dir, const std::string& name, uint32_t sectors,
                                   uint32_t bps, DiskHandle* h, uint32_t seed = 7)
{
    std::vector<uint8_t> data = RandomBytes(static_cast<size_t>(sectors) * bps, seed);
    WriteFile(dir.file(name), data);
    DiskGeometry g{sectors, 16, 63, bps, 0};
    Disk_Init(h);
    EXPECT_EQ(Disk_OpenRaw(h, dir.file(name).c_str(), true, 0, &g), DISK_OK);
    return data;
}

// ---- Zero disk ------------------------------------------------------------------------

TEST(ZeroDisk, ReadsZerosAndIsAlwaysEmpty)
{
    DiskGeometry g{0, 0, 0, 4096, 0};
    Geometry_SetTotalSectors(&g, 0x123456789ull);
    DiskGeometry out{1, 1, 1, 1, 1};
    ZeroDisk_GetGeometry(&g, &out);
    EXPECT_EQ(Geometry_GetTotalSectors(&out), 0x123456789ull);
    EXPECT_EQ(out.bytes_per_sector, 4096u);

    std::vector<uint8_t> buf(3 * kMiB, 0xEE);
    EXPECT_EQ(ZeroDisk_Read(&g, 5 * kTiB, static_cast<uint32_t>(buf.size()), buf.data()), DISK_OK);
    EXPECT_TRUE(Mem_IsZero(buf.data(), static_cast<uint32_t>(buf.size())));
    bool empty = false;
    EXPECT_EQ(ZeroDisk_IsRangeEmpty(&g, nullptr, 0, 0xFFFFFFFFu, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
}

// ---- Resizing view ----------------------------------------------------------------------

class ResizeViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        data_ = MakeRawSource(dir_, "src.img", 1000, 512, &source_);
        view_ = ResizeDisk_Alloc();
        ResizeDisk_Init(view_);
    }
    void TearDown() override
    {
        ResizeDisk_Destroy(view_);
        Mem_Free(view_);
        Disk_Close(&source_);
    }
    // Source bytes of [offset, offset + length) with zeros past the source's end.
    std::vector<uint8_t> Expected(uint64_t offset, uint32_t length) const
    {
        std::vector<uint8_t> out(length, 0);
        for (uint32_t i = 0; i < length; ++i)
            if (offset + i < data_.size()) out[i] = data_[offset + i];
        return out;
    }

    TempDir dir_;
    DiskHandle source_;
    std::vector<uint8_t> data_;
    ResizeView* view_ = nullptr;
};

TEST_F(ResizeViewTest, GrowAndShrinkTable)
{
    struct Row {
        uint64_t declared;
        uint64_t offset;
        uint32_t length;
        int result;
    } rows[] = {
        // Grown by 100 sectors: sectors 1000-1099 read as zeros.
        {1100, 1000 * 512, 100 * 512, DISK_OK},
        {1100, 990 * 512, 20 * 512, DISK_OK},  // data then zeros
        {1100, 1000 * 512 - 1, 2, DISK_OK},    // one byte of each
        {1100, 1099 * 512, 512, DISK_OK},      // ends exactly at the declared end
        {1100, 1099 * 512, 513, DISK_ERR_ARG},
        {1100, 1100 * 512, 1, DISK_ERR_ARG},
        {1100, 0, 1000 * 512, DISK_OK},
        // Shrunk to 900 sectors: reads past 900 are refused even though the source has them.
        {900, 899 * 512, 512, DISK_OK},
        {900, 899 * 512, 1024, DISK_ERR_ARG},
        {900, 950 * 512, 512, DISK_ERR_ARG},
        // Same size.
        {1000, 999 * 512, 512, DISK_OK},
        {1000, 999 * 512, 513, DISK_ERR_ARG},
        // Zero-length reads inside and at the end.
        {1100, 1100 * 512, 0, DISK_OK},
        {900, 900 * 512 + 1, 0, DISK_ERR_ARG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.declared << " @" << row.offset << "+" << row.length);
        ResizeDisk_Destroy(view_);
        ASSERT_EQ(ResizeDisk_AttachDisk(view_, &source_, false, row.declared), DISK_OK);
        std::vector<uint8_t> buf(row.length + 1, 0xC3);
        EXPECT_EQ(ResizeDisk_Read(view_, row.offset, row.length, buf.data()), row.result);
        if (row.result == DISK_OK) {
            EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + row.length),
                      Expected(row.offset, row.length));
        } else {
            EXPECT_EQ(buf, std::vector<uint8_t>(row.length + 1, 0xC3));
        }
        EXPECT_EQ(buf[row.length], 0xC3);  // nothing written past the range
    }
}

TEST_F(ResizeViewTest, EmptyRangeTable)
{
    struct Row {
        uint64_t declared;
        uint64_t first;
        uint32_t count;
        int result;
        bool empty;
    } rows[] = {
        {1100, 1000, 100, DISK_OK, true},  // wholly past the source
        {1100, 999, 2, DISK_OK, false},    // clipped to the source's last sector (data)
        {1100, 0, 1100, DISK_OK, false},
        {1100, 1099, 1, DISK_OK, true},
        {1100, 1000, 101, DISK_ERR_ARG, false},
        {1100, 1100, 1, DISK_ERR_ARG, false},
        {900, 899, 1, DISK_OK, false},
        {900, 899, 2, DISK_ERR_ARG, false},
        // first + count wraps past 2^64: refused, not taken as a small range.
        {1100, UINT64_MAX - 5, 10, DISK_ERR_ARG, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.declared << " " << row.first << "+" << row.count);
        ResizeDisk_Destroy(view_);
        ASSERT_EQ(ResizeDisk_AttachDisk(view_, &source_, false, row.declared), DISK_OK);
        bool empty = !row.empty;
        EXPECT_EQ(
            ResizeDisk_IsRangeEmpty(view_, nullptr, row.first, row.count, &empty, nullptr, nullptr),
            row.result);
        if (row.result == DISK_OK) {
            EXPECT_EQ(empty, row.empty);
        }
    }
}

TEST_F(ResizeViewTest, HugeDeclaredSizeDoesNotWrap)
{
    // 2^55 sectors of 512 bytes are exactly 2^64 bytes, and 2^60 sectors more than that: the
    // byte size must not wrap to a small number.
    for (uint64_t declared : {1ull << 60, 1ull << 55}) {
        SCOPED_TRACE(declared);
        ResizeDisk_Destroy(view_);
        ASSERT_EQ(ResizeDisk_AttachDisk(view_, &source_, false, declared), DISK_OK);
        std::vector<uint8_t> buf(512);
        EXPECT_EQ(ResizeDisk_Read(view_, 0, 512, buf.data()), DISK_OK);
        EXPECT_EQ(buf, Expected(0, 512));
        buf.assign(512, 0x11);
        EXPECT_EQ(ResizeDisk_Read(view_, UINT64_MAX - 1023, 512, buf.data()), DISK_OK);
        EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
        bool empty = false;
        EXPECT_EQ(
            ResizeDisk_IsRangeEmpty(view_, nullptr, declared - 16, 16, &empty, nullptr, nullptr),
            DISK_OK);
        EXPECT_TRUE(empty);
        DiskGeometry g;
        ResizeDisk_GetGeometry(view_, &g);
        EXPECT_EQ(g.sectors32, 0u);
        EXPECT_EQ(g.sectors64, declared);
    }
    // With exactly 2^64 bytes declared, a range that passes 2^64 is refused.
    std::vector<uint8_t> buf(512, 0x22);
    EXPECT_EQ(ResizeDisk_Read(view_, UINT64_MAX - 100, 512, buf.data()), DISK_ERR_ARG);
}

TEST_F(ResizeViewTest, GeometryAndDetach)
{
    ASSERT_EQ(ResizeDisk_AttachDisk(view_, &source_, false, 2000), DISK_OK);
    DiskGeometry g{};
    ResizeDisk_GetGeometry(view_, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 2000u);
    EXPECT_EQ(g.heads, 16u);
    EXPECT_EQ(g.sectors_per_track, 63u);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    ResizeDisk_SetHeadsAndSectors(view_, 255, 17);
    ResizeDisk_GetGeometry(view_, &g);
    EXPECT_EQ(g.heads, 255u);
    EXPECT_EQ(g.sectors_per_track, 17u);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 2000u);

    // Detaching hands back the very handle, still open, and leaves the view empty.
    EXPECT_EQ(ResizeDisk_DetachSource(view_), &source_);
    EXPECT_EQ(view_->source, nullptr);
    EXPECT_EQ(ResizeDisk_DetachSource(view_), nullptr);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(Disk_Read(&source_, 999 * 512, 512, buf.data()), DISK_OK);
    EXPECT_EQ(buf, Expected(999 * 512, 512));
    EXPECT_EQ(ResizeDisk_Read(view_, 0, 512, buf.data()), DISK_ERR_ARG);
}

TEST(ResizeView, OwningViewClosesItsDisk)
{
    // Under the sanitizer build a leak of the handle or its raw image would be reported.
    TempDir dir;
    DiskHandle* disk = Disk_Alloc();
    ASSERT_NE(disk, nullptr);
    std::vector<uint8_t> data = MakeRawSource(dir, "o.img", 64, 1024, disk, 3);
    ResizeView* view = ResizeDisk_Alloc();
    ResizeDisk_Init(view);
    ASSERT_EQ(ResizeDisk_AttachDisk(view, disk, true, 100), DISK_OK);
    std::vector<uint8_t> buf(2048);
    EXPECT_EQ(ResizeDisk_Read(view, 63 * 1024, 2048, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(data.end() - 1024, data.end(), buf.begin()));
    EXPECT_TRUE(Mem_IsZero(buf.data() + 1024, 1024));
    ResizeDisk_Destroy(view);
    EXPECT_EQ(view->source, nullptr);
    Mem_Free(view);
}

TEST(ResizeView, OverAnotherSource)
{
    // A view over a view, attached as a plain source it does not own.
    TempDir dir;
    DiskHandle disk;
    std::vector<uint8_t> data = MakeRawSource(dir, "s.img", 10, 512, &disk, 5);
    ResizeView inner, outer;
    ResizeDisk_Init(&inner);
    ResizeDisk_Init(&outer);
    ASSERT_EQ(ResizeDisk_AttachDisk(&inner, &disk, false, 12), DISK_OK);
    DiskSourceOps ops = {[](void*) {},
                         [](void* impl, DiskGeometry* out) {
                             ResizeDisk_GetGeometry(static_cast<ResizeView*>(impl), out);
                         },
                         [](void* impl, uint64_t o, uint32_t n, void* b) {
                             return ResizeDisk_Read(static_cast<ResizeView*>(impl), o, n, b);
                         },
                         [](void* impl, UsedSectorMap* m, uint64_t f, uint32_t c, bool* e,
                            RangeProgressAdapter a, RangeProgressRecord* r) {
                             return ResizeDisk_IsRangeEmpty(static_cast<ResizeView*>(impl), m, f, c,
                                                            e, a, r);
                         },
                         nullptr};
    DiskSource src{&inner, &ops};
    ASSERT_EQ(ResizeDisk_AttachStream(&outer, &src, false, 8), DISK_OK);
    // The outer view is not over a handle: nothing to detach.
    EXPECT_EQ(ResizeDisk_DetachSource(&outer), nullptr);
    EXPECT_EQ(outer.source, &src);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(ResizeDisk_Read(&outer, 7 * 512, 512, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + 7 * 512));
    EXPECT_EQ(ResizeDisk_Read(&outer, 8 * 512, 512, buf.data()), DISK_ERR_ARG);
    ResizeDisk_Destroy(&outer);
    ResizeDisk_Destroy(&inner);
    Disk_Close(&disk);
}

// ---- "NVT " overlay ---------------------------------------------------------------------

// The refusal's reason: the words of a case from `first` on.
void ExpectReason(const std::vector<std::string>& c, size_t first)
{
    std::string reason;
    for (size_t i = first; i < c.size(); i++) reason += (i == first ? "" : " ") + c[i];
    ASSERT_NE(Refusal_Get(), nullptr);
    EXPECT_EQ(std::string(Refusal_Get()), reason);
}

// Walks the cases the python builder wrote next to its fixtures.
void RunOverlayCases(const std::string& dir)
{
    std::map<std::string, std::unique_ptr<OpenOverlay>> open;
    auto get = [&](const std::string& name) -> OpenOverlay& {
        auto it = open.find(name);
        if (it == open.end())
            it = open.emplace(name, std::make_unique<OpenOverlay>(dir + "/" + name)).first;
        return *it->second;
    };
    auto cases = ReadCases(dir);
    ASSERT_FALSE(cases.empty());
    for (const auto& c : cases) {
        std::string line;
        for (const auto& f : c) line += f + " ";
        SCOPED_TRACE(line);
        if (c[0] == "open") {
            Refusal_Clear();
            OpenOverlay ov(dir + "/" + c[1]);
            EXPECT_EQ(ov.result(), std::stoi(c[2]));
            if (c.size() > 3) ExpectReason(c, 3);
            if (ov.result() != DISK_OK) {
                EXPECT_EQ(ov.get()->file, nullptr);
                EXPECT_EQ(ov.get()->base, nullptr);
            }
            continue;
        }
        OpenOverlay& ov = get(c[1]);
        ASSERT_EQ(ov.result(), DISK_OK);
        uint64_t a = std::stoull(c[2]);
        uint32_t n = static_cast<uint32_t>(std::stoul(c[3]));
        if (c[0] == "read") {
            std::vector<uint8_t> expected = ReadFile(dir + "/" + c[4]);
            std::vector<uint8_t> buf(n, 0xA5);
            EXPECT_EQ(Overlay_Read(ov.get(), a, n, buf.data()), DISK_OK);
            EXPECT_TRUE(buf == expected);
        } else if (c[0] == "readfail") {
            std::vector<uint8_t> buf(n);
            Refusal_Clear();
            EXPECT_EQ(Overlay_Read(ov.get(), a, n, buf.data()), std::stoi(c[4]));
            if (c.size() > 5) ExpectReason(c, 5);
        } else if (c[0] == "empty") {
            bool empty = c[4] != "1";
            EXPECT_EQ(Overlay_IsRangeEmpty(ov.get(), nullptr, a, n, &empty, nullptr, nullptr),
                      DISK_OK);
            EXPECT_EQ(empty, c[4] == "1");
        } else {
            ADD_FAILURE() << "unknown case";
        }
    }
}

TEST(Overlay, ReadsAcrossTableBoundariesLikeTheModel)
{
    // Blocks and table edges at 64 KiB, 16 MiB and 4 GiB over a sparse 8 GiB base, with the
    // base probed (NDI descriptor) and given as a raw image; plus an all-zero level-1 table.
    TempDir dir;
    BuildFixtures("model", dir.path());
    RunOverlayCases(dir.path());

    OpenOverlay ov(dir.file("raw.nvt"));
    ASSERT_EQ(ov.result(), DISK_OK);
    DiskGeometry g{};
    Overlay_GetGeometry(ov.get(), &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), (8 * kGiB + kMiB) / 512);
    EXPECT_EQ(g.heads, 16u);
    EXPECT_EQ(g.sectors_per_track, 63u);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    // Past the base's end.
    uint8_t sector[512];
    bool empty = false;
    EXPECT_EQ(Overlay_Read(ov.get(), 8 * kGiB + kMiB - 511, 512, sector), DISK_ERR_ARG);
    EXPECT_EQ(Overlay_IsRangeEmpty(ov.get(), nullptr, (8 * kGiB + kMiB) / 512 - 1, 2, &empty,
                                   nullptr, nullptr),
              DISK_ERR_ARG);
}

TEST(Overlay, BaseAboveOneTebibyteIsServedPastTheTable)
{
    TempDir dir;
    BuildFixtures("big", dir.path());
    RunOverlayCases(dir.path());
}

TEST(Overlay, NameFillingAllItsBytes)
{
    TempDir dir;
    BuildFixtures("longname", dir.path());
    RunOverlayCases(dir.path());
}

TEST(Overlay, HostileFilesAndOverlayBases)
{
    // Short files, bad header words, names that give no base, table entries
    // outside the file, ranges outside the base.
    TempDir dir;
    BuildFixtures("hostile", dir.path());
    RunOverlayCases(dir.path());
}

TEST(Overlay, RangesPastTwoToTheSixtyFourAreRefused)
{
    // A base larger than 2^64 bytes (a zero disk stands in for it): a range whose end passes
    // 2^64 must not wrap into a small or empty range.
    TempDir dir;
    std::vector<uint8_t> file(2048, 0);
    memcpy(file.data(), "NVT ", 4);
    WriteFile(dir.file("o.nvt"), file);
    OverlayDisk* ov = Overlay_Alloc();
    Overlay_Init(ov);
    ASSERT_TRUE(Stream_OpenFile(dir.file("o.nvt").c_str(), true, &ov->file));
    ov->fileSize = 2048;
    ov->base = Disk_Alloc();
    Disk_Init(ov->base);
    DiskGeometry g{0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, 1ull << 60);
    ASSERT_EQ(Disk_OpenZero(ov->base, &g), DISK_OK);
    std::vector<uint8_t> buf(512, 0x5C);
    EXPECT_EQ(Overlay_Read(ov, UINT64_MAX - 100, 512, buf.data()), DISK_ERR_ARG);
    EXPECT_EQ(buf, std::vector<uint8_t>(512, 0x5C));
    EXPECT_EQ(Overlay_Read(ov, UINT64_MAX - 512, 512, buf.data()), DISK_OK);
    EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
    Overlay_Destroy(ov);
    Mem_Free(ov);
}

TEST(Overlay, OverlayBasesAreRefusedWithoutRecursion)
{
    // An overlay naming itself, two naming each other, and one over another overlay: refused
    // with -206, directly and through probing, without recursing.
    TempDir dir;
    BuildFixtures("chains", dir.path());
    RunOverlayCases(dir.path());
    for (const char* name : {"self.nvt", "loopa.nvt", "upper.nvt"}) {
        SCOPED_TRACE(name);
        DiskHandle h;
        Disk_Init(&h);
        // Probing knows the file for an overlay: a refused overlay is not "nothing recognised".
        Refusal_Clear();
        EXPECT_EQ(Disk_Open(&h, dir.file(name).c_str(), true), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), "overlay header: base is itself an overlay");
        EXPECT_EQ(h.kind, DISK_KIND_NONE);
        EXPECT_EQ(h.object, nullptr);
    }
    // The lower overlay of the chain is found by probing, as the last kind.
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, dir.file("lower.nvt").c_str(), true), DISK_OK);
    EXPECT_EQ(h.kind, DISK_KIND_OVERLAY);
    Disk_Close(&h);
}

TEST(Overlay, ConvertsThroughTheDispatch)
{
    // Writers that ask the empty-range query take an overlay source.
    TempDir dir;
    BuildFixtures("chains", dir.path());
    std::vector<uint8_t> expected;
    for (const auto& c : ReadCases(dir.path()))
        if (c[0] == "read" && c[1] == "conv.nvt") expected = ReadFile(dir.file(c[4]));
    ASSERT_EQ(expected.size(), kMiB);

    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, dir.file("conv.nvt").c_str(), true), DISK_OK);
    ASSERT_EQ(h.kind, DISK_KIND_OVERLAY);
    DiskGeometry g{};
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), kMiB / 512);
    bool empty = true;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 2048, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_FALSE(Disk_CanCompact(&h));
    EXPECT_FALSE(Disk_HasParent(&h));
    bool out = true;
    EXPECT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 1, &out), DISK_ERR_ARG);

    UsedSectorMap* map = UsedMap_Alloc();
    ASSERT_NE(map, nullptr);
    UsedMap_Init(map);
    EXPECT_EQ(FlatImage_Create(dir.file("out.img").c_str(), &h, map, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(ReadFile(dir.file("out.img")) == expected);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&h);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
}

// ---- Built-in kinds through the dispatch ----------------------------------------------------

TEST(BuiltinDispatch, ZeroDisk)
{
    DiskGeometry g{0, 0, 0, 512, 0};
    Geometry_SetTotalSectors(&g, 1ull << 33);
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenZero(&h, &g), DISK_OK);
    EXPECT_EQ(h.kind, DISK_KIND_ZERO);
    DiskGeometry out{};
    Disk_GetGeometry(&h, &out);
    EXPECT_EQ(Geometry_GetTotalSectors(&out), 1ull << 33);
    EXPECT_EQ(out.heads, 0u);
    std::vector<uint8_t> buf(4096, 0x77);
    EXPECT_EQ(Disk_Read(&h, 3 * kTiB, 4096, buf.data()), DISK_OK);
    EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0));
    bool empty = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 1000, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_FALSE(Disk_CanCompact(&h));
    EXPECT_FALSE(Disk_HasParent(&h));
    bool out2 = true;
    EXPECT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 1, &out2), DISK_ERR_ARG);
    EXPECT_EQ(Disk_DetachResizeView(&h), nullptr);
    Disk_Close(&h);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
}

TEST(BuiltinDispatch, ResizedHandleAndDetach)
{
    TempDir dir;
    DiskHandle* source = Disk_Alloc();
    ASSERT_NE(source, nullptr);
    std::vector<uint8_t> data = MakeRawSource(dir, "r.img", 1000, 512, source);

    for (bool owning : {false, true}) {
        SCOPED_TRACE(owning);
        DiskHandle view;
        Disk_Init(&view);
        ASSERT_EQ(Disk_OpenResized(&view, source, owning, 1100), DISK_OK);
        EXPECT_EQ(view.kind, DISK_KIND_RESIZE);
        DiskGeometry g{};
        Disk_GetGeometry(&view, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), 1100u);
        std::vector<uint8_t> buf(20 * 512, 0x55);
        EXPECT_EQ(Disk_Read(&view, 990 * 512, 20 * 512, buf.data()), DISK_OK);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 10 * 512, data.begin() + 990 * 512));
        EXPECT_TRUE(Mem_IsZero(buf.data() + 10 * 512, 10 * 512));
        EXPECT_EQ(Disk_Read(&view, 1100 * 512, 1, buf.data()), DISK_ERR_ARG);
        bool empty = false;
        EXPECT_EQ(Disk_IsRangeEmpty(&view, nullptr, 1000, 100, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_TRUE(empty);
        EXPECT_EQ(Disk_IsRangeEmpty(&view, nullptr, 1000, 101, &empty, nullptr, nullptr),
                  DISK_ERR_ARG);
        // Detaching hands the wrapped disk back open, whether the view owned it or not.
        EXPECT_EQ(Disk_DetachResizeView(&view), source);
        EXPECT_EQ(view.kind, DISK_KIND_NONE);
        EXPECT_EQ(view.object, nullptr);
        EXPECT_EQ(Disk_Read(source, 0, 512, buf.data()), DISK_OK);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, data.begin()));
    }
    // An owning view closes the disk with itself.
    DiskHandle view;
    Disk_Init(&view);
    ASSERT_EQ(Disk_OpenResized(&view, source, true, 10), DISK_OK);
    Disk_Close(&view);
    EXPECT_EQ(view.kind, DISK_KIND_NONE);
}

TEST(BuiltinDispatch, ResizedDiskSource)
{
    TempDir dir;
    DiskHandle disk;
    std::vector<uint8_t> data = MakeRawSource(dir, "s.img", 100, 512, &disk);
    DiskSource* inner = nullptr;
    ASSERT_EQ(DiskSource_WrapDisk(&disk, false, &inner), DISK_OK);
    DiskSource* resized = nullptr;
    ASSERT_EQ(DiskSource_OpenResized(inner, true, 150, &resized), DISK_OK);
    EXPECT_EQ(resized->ops, &DiskSourceResizedOps);
    DiskGeometry g{};
    DiskSource_GetGeometry(resized, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 150u);
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(DiskSource_Read(resized, 99 * 512, 1024, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, data.end() - 512));
    EXPECT_TRUE(Mem_IsZero(buf.data() + 512, 512));
    bool empty = false;
    EXPECT_EQ(DiskSource_IsRangeEmpty(resized, nullptr, 100, 50, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(DiskSource_Read(resized, 150 * 512, 1, buf.data()), DISK_ERR_ARG);
    DiskSource_Close(resized);  // closes the view and the inner wrapper, not the borrowed disk
    EXPECT_EQ(Disk_Read(&disk, 0, 512, buf.data()), DISK_OK);
    Disk_Close(&disk);
}

TEST(BuiltinDispatch, DeviceHandle)
{
    TempDir dir;
    std::vector<uint8_t> data = RandomBytes(64 * 512, 23);
    WriteFile(dir.file("dev.img"), data);
    DiskGeometry g{64, 4, 16, 512, 0};
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_OpenDevice(&h, dir.file("missing").c_str(), true, 0, &g), DISK_ERR_DEVICE);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
    EXPECT_EQ(h.object, nullptr);
    ASSERT_EQ(Disk_OpenDevice(&h, dir.file("dev.img").c_str(), true, 0, &g), DISK_OK);
    EXPECT_EQ(h.kind, DISK_KIND_DEVICE);
    DiskGeometry out{};
    Disk_GetGeometry(&h, &out);
    EXPECT_EQ(out.heads, 4u);
    std::vector<uint8_t> buf(data.size());
    EXPECT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(buf.size()), buf.data()), DISK_OK);
    EXPECT_TRUE(buf == data);
    bool empty = true;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 64, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    Disk_Close(&h);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
}

TEST(BuiltinDispatch, UsedMapLeavesFreeSectorsOut)
{
    // A fresh FAT16 volume over 0xFF bytes: its free clusters hold non-zero bytes that a map
    // marks unused. The device, overlay and resizing view then call them empty with the map and
    // not without it.
    if (!HaveTool("mkfs.vfat")) GTEST_SKIP() << "mkfs.vfat is not installed";
    TempDir dir;
    const uint32_t sectors = 32768;  // 16 MiB
    WriteFile(dir.file("fat.img"), std::vector<uint8_t>(sectors * 512ull, 0xFF));
    ASSERT_EQ(RunCommand("mkfs.vfat -F 16 " + Quote(dir.file("fat.img")) + " >/dev/null"), 0);
    DiskGeometry g{sectors, 16, 63, 512, 0};
    DiskHandle raw;
    Disk_Init(&raw);
    ASSERT_EQ(Disk_OpenRaw(&raw, dir.file("fat.img").c_str(), true, 0, &g), DISK_OK);
    int result = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&raw, &result, &known);
    if (map == nullptr) Disk_Close(&raw);
    ASSERT_NE(map, nullptr) << "the FAT volume was not recognised (" << result << ")";

    // An overlay over the volume as a raw base.
    std::vector<uint8_t> header(2048, 0);
    memcpy(header.data(), "NVT ", 4);
    Bytes_StoreLe32(header.data() + 8, 1);
    Bytes_StoreLe32(header.data() + 24, sectors);
    Bytes_StoreLe32(header.data() + 32, 16);
    Bytes_StoreLe32(header.data() + 36, 63);
    Bytes_StoreLe32(header.data() + 40, 512);
    memcpy(header.data() + 512, "fat.img", 7);
    WriteFile(dir.file("fat.nvt"), header);

    DiskHandle dev, ov, view;
    Disk_Init(&dev);
    Disk_Init(&ov);
    Disk_Init(&view);
    ASSERT_EQ(Disk_OpenDevice(&dev, dir.file("fat.img").c_str(), true, 0, &g), DISK_OK);
    ASSERT_EQ(Disk_Open(&ov, dir.file("fat.nvt").c_str(), true), DISK_OK);
    ASSERT_EQ(ov.kind, DISK_KIND_OVERLAY);
    ASSERT_EQ(Disk_OpenResized(&view, &raw, false, sectors + 100), DISK_OK);
    for (DiskHandle* h : {&dev, &ov, &view}) {
        SCOPED_TRACE(h->kind);
        bool empty = false;
        // The last 4 MiB: two chunks of free clusters.
        EXPECT_EQ(Disk_IsRangeEmpty(h, map, sectors - 8192, 8192, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(empty);
        EXPECT_EQ(Disk_IsRangeEmpty(h, nullptr, sectors - 8192, 8192, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(empty);
        // The boot sector is used and not zero.
        empty = true;
        EXPECT_EQ(Disk_IsRangeEmpty(h, map, 0, 8192, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_FALSE(empty);
    }
    Disk_Close(&view);
    Disk_Close(&ov);
    Disk_Close(&dev);
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(&raw);
}

// ---- Block device -------------------------------------------------------------------------

class DeviceOpen {
public:
    DeviceOpen(const std::string& path, uint64_t offset, const DiskGeometry& g)
    {
        obj_ = DeviceDisk_Alloc();
        DeviceDisk_Init(obj_);
        result_ = DeviceDisk_Open(obj_, path.c_str(), true, offset, &g);
    }
    ~DeviceOpen()
    {
        DeviceDisk_Close(obj_);
        Mem_Free(obj_);
    }
    DeviceOpen(const DeviceOpen&) = delete;
    DeviceOpen& operator=(const DeviceOpen&) = delete;
    int result() const { return result_; }
    DeviceDisk* get() { return obj_; }

private:
    DeviceDisk* obj_;
    int result_;
};

TEST(DeviceDisk, OpenRefusesUnusableGeometry)
{
    TempDir dir;
    WriteFile(dir.file("d.img"), std::vector<uint8_t>(4096));
    struct Row {
        uint64_t total;
        uint32_t bps;
        uint64_t offset;
        int result;
    } rows[] = {
        {8, 512, 0, DISK_OK},
        {1, 32768, 0, DISK_OK},
        {8, 0, 0, DISK_ERR_ARG},
        {8, 32769, 0, DISK_ERR_ARG},
        {8, 65536, 0, DISK_ERR_ARG},
        {0, 512, 0, DISK_ERR_ARG},
        {(1ull << 54) - 1, 512, 511, DISK_OK},       // ends at 2^63 - 1: still a file offset
        {(1ull << 54) - 1, 512, 512, DISK_ERR_ARG},  // one byte more is not
        {1ull << 60, 32768, 0, DISK_ERR_ARG},        // wraps 64 bits
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.total << " x " << row.bps << " +" << row.offset);
        DiskGeometry g{0, 16, 63, row.bps, 0};
        Geometry_SetTotalSectors(&g, row.total);
        DeviceOpen dev(dir.file("d.img"), row.offset, g);
        EXPECT_EQ(dev.result(), row.result);
        EXPECT_EQ(dev.get()->fd >= 0, row.result == DISK_OK);
    }
    DiskGeometry g{8, 16, 63, 512, 0};
    DeviceOpen missing(dir.file("none"), 0, g);
    EXPECT_EQ(missing.result(), DISK_ERR_DEVICE);
    EXPECT_EQ(missing.get()->fd, -1);
}

TEST(DeviceDisk, ReadsWithOffsetAndLargeSectors)
{
    // A regular file stands in for the node: the reads are the same system calls.
    TempDir dir;
    const uint32_t header = 3000;
    std::vector<uint8_t> data = RandomBytes(header + 64 * 4096, 11);
    WriteFile(dir.file("d.img"), data);
    DiskGeometry g{64, 2, 32, 4096, 0};
    DeviceOpen dev(dir.file("d.img"), header, g);
    ASSERT_EQ(dev.result(), DISK_OK);
    DiskGeometry out{};
    DeviceDisk_GetGeometry(dev.get(), &out);
    EXPECT_EQ(Geometry_GetTotalSectors(&out), 64u);
    EXPECT_EQ(out.bytes_per_sector, 4096u);

    std::vector<uint8_t> buf(64 * 4096);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 0, static_cast<uint32_t>(buf.size()), buf.data()),
              DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + header));
    // A range ending exactly at the last sector, and one byte further.
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 63 * 4096 + 5, 4091, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4091, data.begin() + header + 63 * 4096 + 5));
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 63 * 4096 + 5, 4092, buf.data()), DISK_ERR_ARG);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), UINT64_MAX - 10, 100, buf.data()), DISK_ERR_ARG);

    // A geometry promising more than the node holds: the short read is a failure.
    DiskGeometry longer{65, 2, 32, 4096, 0};
    DeviceOpen dev2(dir.file("d.img"), header, longer);
    ASSERT_EQ(dev2.result(), DISK_OK);
    EXPECT_EQ(DeviceDisk_Read(dev2.get(), 64 * 4096 - 512, 1024, buf.data()), DISK_ERR_READ);
}

TEST(DeviceDisk, EmptyRangeReadsInChunksOfWholeSectors)
{
    // Sectors of up to 32 KiB, ranges longer than one 2 MiB chunk, a non-zero byte in the last
    // byte of a chunk's last sector and in the last sector of the range.
    TempDir dir;
    for (uint32_t bps : {512u, 4096u, 32768u}) {
        SCOPED_TRACE(bps);
        const uint32_t chunk = 0x200000 / bps;
        const uint32_t sectors = 2 * chunk + 5;
        std::vector<uint8_t> data(static_cast<size_t>(sectors) * bps, 0);
        WriteFile(dir.file("e.img"), data);
        DiskGeometry g{sectors, 16, 63, bps, 0};
        {
            DeviceOpen dev(dir.file("e.img"), 0, g);
            ASSERT_EQ(dev.result(), DISK_OK);
            bool empty = false;
            EXPECT_EQ(
                DeviceDisk_IsRangeEmpty(dev.get(), nullptr, 0, sectors, &empty, nullptr, nullptr),
                DISK_OK);
            EXPECT_TRUE(empty);
            EXPECT_EQ(
                DeviceDisk_IsRangeEmpty(dev.get(), nullptr, 1, sectors, &empty, nullptr, nullptr),
                DISK_ERR_ARG);
        }
        struct Mark {
            uint32_t sector;
            uint32_t first, count;
            bool empty;
        } marks[] = {
            {chunk - 1, 0, sectors, false},  // last sector of the first chunk
            {chunk - 1, chunk, sectors - chunk, true},
            {sectors - 1, 3, sectors - 3, false},  // last sector of the range
            {sectors - 1, 0, sectors - 1, true},
        };
        for (const Mark& m : marks) {
            SCOPED_TRACE(m.sector);
            std::vector<uint8_t> d = data;
            d[static_cast<size_t>(m.sector + 1) * bps - 1] = 1;
            WriteFile(dir.file("e.img"), d);
            DeviceOpen dev(dir.file("e.img"), 0, g);
            bool empty = !m.empty;
            EXPECT_EQ(DeviceDisk_IsRangeEmpty(dev.get(), nullptr, m.first, m.count, &empty, nullptr,
                                              nullptr),
                      DISK_OK);
            EXPECT_EQ(empty, m.empty);
        }
    }
}

TEST(DeviceDisk, SizesBeyondTwoTebibytes)
{
    // A sparse 3 TiB file: the proposed total needs 64 bits, and a disk of that size reads at
    // offsets past 2 TiB.
    TempDir dir;
    const std::string path = dir.file("big.img");
    ASSERT_EQ(RunCommand("truncate -s 3T " + Quote(path)), 0);
    std::vector<uint8_t> patch = RandomBytes(4096, 13);
    {
        FILE* f = nullptr;
        ASSERT_TRUE(File_Open(path.c_str(), false, &f));
        ASSERT_TRUE(File_WriteAt(f, 2 * kTiB + 512 * 1000, 4096, patch.data()));
        ASSERT_TRUE(File_Close(f));
    }
    DiskGeometry g{};
    ASSERT_TRUE(DeviceDisk_QueryGeometry(path.c_str(), &g));
    EXPECT_EQ(g.sectors32, 0u);
    EXPECT_EQ(g.sectors64, 3 * kTiB / 512);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    // A plain file cannot tell heads and sectors (ENOTTY, as loop devices): 255/63 proposed.
    EXPECT_EQ(g.heads, 255u);
    EXPECT_EQ(g.sectors_per_track, 63u);

    DeviceOpen dev(path, 0, g);
    ASSERT_EQ(dev.result(), DISK_OK);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 2 * kTiB + 512 * 1000, 4096, buf.data()), DISK_OK);
    EXPECT_EQ(buf, patch);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 3 * kTiB - 512, 512, buf.data()), DISK_OK);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 3 * kTiB - 512, 513, buf.data()), DISK_ERR_ARG);
    bool empty = true;
    EXPECT_EQ(DeviceDisk_IsRangeEmpty(dev.get(), nullptr, (2 * kTiB) / 512 + 1000, 8, &empty,
                                      nullptr, nullptr),
              DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(DeviceDisk_IsRangeEmpty(dev.get(), nullptr, 3 * kTiB / 512 - 4096, 4096, &empty,
                                      nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);

    EXPECT_FALSE(DeviceDisk_QueryGeometry(dir.file("none").c_str(), &g));
}

// A loop device over a file, detached on destruction. Empty name when none can be set up.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& file)
    {
        if (geteuid() != 0 || !HaveTool("losetup")) return;
        std::string out;
        if (RunCommand("losetup -f --show " + Quote(file) + " 2>/dev/null", &out) != 0) return;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        name_ = out;
    }
    ~LoopDevice()
    {
        if (!name_.empty()) RunCommand("losetup -d " + Quote(name_));
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

TEST(DeviceDisk, LoopDeviceReadsEqualTheFile)
{
    TempDir dir;
    const uint32_t sectors = 8192;  // 4 MiB
    std::vector<uint8_t> data = RandomBytes(static_cast<size_t>(sectors) * 512, 17);
    memset(data.data() + 512 * 100, 0, 512 * 50);
    WriteFile(dir.file("loop.img"), data);
    LoopDevice loop(dir.file("loop.img"));
    if (loop.name().empty())
        GTEST_SKIP() << "no loop device can be set up here (needs root, losetup and /dev/loop*)";

    DiskGeometry g{};
    ASSERT_TRUE(DeviceDisk_QueryGeometry(loop.name().c_str(), &g));
    EXPECT_EQ(Geometry_GetTotalSectors(&g), sectors);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    // Loop devices answer HDIO_GETGEO with ENOTTY.
    EXPECT_EQ(g.heads, 255u);
    EXPECT_EQ(g.sectors_per_track, 63u);

    DeviceOpen dev(loop.name(), 0, g);
    ASSERT_EQ(dev.result(), DISK_OK);
    std::vector<uint8_t> buf(data.size());
    EXPECT_EQ(DeviceDisk_Read(dev.get(), 0, static_cast<uint32_t>(buf.size()), buf.data()),
              DISK_OK);
    EXPECT_TRUE(buf == data);
    EXPECT_EQ(DeviceDisk_Read(dev.get(), (sectors - 1) * 512ull, 512, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, data.end() - 512));
    EXPECT_EQ(DeviceDisk_Read(dev.get(), (sectors - 1) * 512ull, 1024, buf.data()), DISK_ERR_ARG);
    bool empty = false;
    EXPECT_EQ(DeviceDisk_IsRangeEmpty(dev.get(), nullptr, 100, 50, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(DeviceDisk_IsRangeEmpty(dev.get(), nullptr, 99, 52, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_FALSE(empty);
}

// ---- Holes of the files under devices and resizing views ----------------------------------

// 8 MiB of 512-byte sectors after a 4 KiB header: stored runs at 1 MiB (4 KiB) and in the
// sector before 6 MiB; holes everywhere else.
struct SparseSource {
    static constexpr uint64_t kHeader = 4096;
    static constexpr uint64_t kSectors = 8 * kMiB / 512;
    std::vector<sparse::Run> runs = {sparse::NonZeroRun(0, kHeader, 1),
                                     sparse::NonZeroRun(kHeader + kMiB, 4096, 2),
                                     sparse::NonZeroRun(kHeader + 6 * kMiB - 512, 512, 3)};
    std::vector<bool> holes = sparse::UntouchedMiBs(kHeader + 8 * kMiB, runs);

    bool Make(const std::string& path) const
    {
        return sparse::MakeFile(path, kHeader + 8 * kMiB, runs);
    }
    bool InHoles(uint64_t first, uint64_t count) const
    {
        return sparse::InsideZeroMiBs(holes, kHeader + first * 512, count * 512);
    }
};

TEST(DeviceDisk, RegularFileAnswersItsHolesAndSkipsThemUnread)
{
    TempDir dir;
    if (!sparse::HolesAreReported(dir.path())) GTEST_SKIP() << "no holes on " << dir.path();
    const SparseSource src;
    ASSERT_TRUE(src.Make(dir.file("dev.img")));
    DiskGeometry g{static_cast<uint32_t>(SparseSource::kSectors), 16, 63, 512, 0};
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenDevice(&h, dir.file("dev.img").c_str(), true, SparseSource::kHeader, &g),
              DISK_OK);
    const knownzero::SweepResult swept = knownzero::Sweep(
        &h, 128, [&](uint64_t first, uint32_t count) { return src.InHoles(first, count); });
    EXPECT_GT(swept.knownZero, swept.blocks / 2);
    bool zero = true;
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, SparseSource::kSectors - 1, 2, &zero), DISK_ERR_ARG);
    Disk_Close(&h);

    // The empty-range query over a 1 GiB file with 1 MiB of data at its end.
    const uint64_t size = 1024 * kMiB;
    ASSERT_TRUE(
        sparse::MakeFile(dir.file("big.img"), size, {sparse::NonZeroRun(size - kMiB, kMiB, 4)}));
    DiskGeometry big{0, 255, 63, 512, 0};
    Geometry_SetTotalSectors(&big, size / 512);
    ASSERT_EQ(Disk_OpenDevice(&h, dir.file("big.img").c_str(), true, 0, &big), DISK_OK);
    struct Row {
        uint64_t count;
        bool empty;
    } rows[] = {{size / 512 - 2048, true}, {size / 512, false}, {size / 512 - 2047, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.count);
        const uint64_t before = sparse::BytesReadByProcess();
        bool empty = !r.empty;
        ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, static_cast<uint32_t>(r.count), &empty, nullptr,
                                    nullptr),
                  DISK_OK);
        EXPECT_EQ(empty, r.empty);
        EXPECT_LE(sparse::BytesReadByProcess() - before, 2 * kMiB);
    }
    Disk_Close(&h);
}

TEST(DeviceDisk, BlockDeviceKeepsNoHoles)
{
    TempDir dir;
    const SparseSource src;
    ASSERT_TRUE(src.Make(dir.file("loop.img")));
    LoopDevice loop(dir.file("loop.img"));
    if (loop.name().empty())
        GTEST_SKIP() << "no loop device can be set up here (needs root, losetup and /dev/loop*)";
    DiskGeometry g{static_cast<uint32_t>(SparseSource::kSectors), 16, 63, 512, 0};
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenDevice(&h, loop.name().c_str(), true, SparseSource::kHeader, &g), DISK_OK);
    // The node is all data even where the file under it has holes; the answers stay right.
    bool zero = true;
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, 2 * kMiB / 512, 2048, &zero), DISK_OK);
    EXPECT_FALSE(zero);
    bool empty = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 2 * kMiB / 512, 2048, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 4096, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    Disk_Close(&h);
}

// A disk source that is neither a handle nor a view: it cannot say what is a hole.
void OpaqueClose(void*) {}
void OpaqueGeometry(void* impl, DiskGeometry* out)
{
    Disk_GetGeometry(static_cast<DiskHandle*>(impl), out);
}
int OpaqueRead(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    return Disk_Read(static_cast<DiskHandle*>(impl), offset, length, buffer);
}
int OpaqueEmpty(void* impl, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return Disk_IsRangeEmpty(static_cast<DiskHandle*>(impl), map, first, count, empty, adapter,
                             record);
}
const DiskSourceOps kOpaqueOps = {OpaqueClose, OpaqueGeometry, OpaqueRead, OpaqueEmpty, nullptr};

TEST(ResizeView, KnownZerosAreTheWrappedDisksHolesAndEverythingPastItsEnd)
{
    TempDir dir;
    if (!sparse::HolesAreReported(dir.path())) GTEST_SKIP() << "no holes on " << dir.path();
    const SparseSource src;
    ASSERT_TRUE(src.Make(dir.file("src.img")));
    DiskGeometry g{static_cast<uint32_t>(SparseSource::kSectors), 16, 63, 512, 0};
    DiskHandle raw;
    Disk_Init(&raw);
    ASSERT_EQ(Disk_OpenRaw(&raw, dir.file("src.img").c_str(), true, SparseSource::kHeader, &g),
              DISK_OK);
    const uint64_t n = SparseSource::kSectors;
    const int kErr = 1;  // the row expects DISK_ERR_ARG
    struct Row {
        uint64_t declared, first, count;
        int expect;  // 0 not known, 1 known zero, kErr + 1 refused
    } rows[] = {
        {n + 4096, 0, 2048, 1},             // a hole of the source
        {n + 4096, 2048, 16, 0},            // the run at 1 MiB
        {n + 4096, 4096, 6144, 1},          // 2 MiB to 5 MiB
        {n + 4096, 12287, 1, 0},            // the stored sector before 6 MiB
        {n + 4096, 4096, 8192, 0},          // 2 MiB to 6 MiB, reaching it
        {n + 4096, n - 2048, 4096, 1},      // the last MiB of the source and beyond it
        {n + 4096, n, 4096, 1},             // wholly past the source's end
        {n + 4096, n + 4095, 2, kErr + 1},  // past the declared end
        {8192, 4096, 4096, 1},              // a shrunk view
        {8192, 0, 8192, 0},
        {8192, 8192, 1, kErr + 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.declared) + " " + std::to_string(r.first));
        // Over the disk directly, over a view of it, and over a resized disk source.
        DiskHandle view, outer;
        Disk_Init(&view);
        Disk_Init(&outer);
        ASSERT_EQ(Disk_OpenResized(&view, &raw, false, n), DISK_OK);
        ASSERT_EQ(Disk_OpenResized(&outer, &view, false, r.declared), DISK_OK);
        DiskSource* inner = nullptr;
        DiskSource* resized = nullptr;
        ASSERT_EQ(DiskSource_WrapDisk(&raw, false, &inner), DISK_OK);
        ASSERT_EQ(DiskSource_OpenResized(inner, true, n, &resized), DISK_OK);
        ResizeView* overSource = ResizeDisk_Alloc();
        ResizeDisk_Init(overSource);
        ASSERT_EQ(ResizeDisk_AttachStream(overSource, resized, true, r.declared), DISK_OK);
        DiskHandle direct;
        Disk_Init(&direct);
        ASSERT_EQ(Disk_OpenResized(&direct, &raw, false, r.declared), DISK_OK);

        for (int way = 0; way < 3; ++way) {
            SCOPED_TRACE(way);
            bool zero = r.expect != 1;
            const int rc =
                way == 0
                    ? Disk_IsRangeKnownZero(&direct, r.first, static_cast<uint32_t>(r.count), &zero)
                : way == 1
                    ? Disk_IsRangeKnownZero(&outer, r.first, static_cast<uint32_t>(r.count), &zero)
                    : ResizeDisk_IsRangeKnownZero(overSource, r.first,
                                                  static_cast<uint32_t>(r.count), &zero);
            if (r.expect == kErr + 1) {
                EXPECT_EQ(rc, DISK_ERR_ARG);
            } else {
                EXPECT_EQ(rc, DISK_OK);
                EXPECT_EQ(zero, r.expect == 1);
            }
        }
        ResizeDisk_Destroy(overSource);
        Mem_Free(overSource);
        Disk_Close(&direct);
        Disk_Close(&outer);
        Disk_Close(&view);
    }

    // A view over a source that is not a disk handle knows only what lies past its end.
    DiskSource* opaque = DiskSource_Alloc();
    ASSERT_NE(opaque, nullptr);
    *opaque = DiskSource{&raw, &kOpaqueOps};
    ResizeView* view = ResizeDisk_Alloc();
    ResizeDisk_Init(view);
    ASSERT_EQ(ResizeDisk_AttachStream(view, opaque, true, n + 10), DISK_OK);
    bool zero = true;
    EXPECT_EQ(ResizeDisk_IsRangeKnownZero(view, 4096, 2048, &zero), DISK_OK);
    EXPECT_FALSE(zero);
    EXPECT_EQ(ResizeDisk_IsRangeKnownZero(view, n, 10, &zero), DISK_OK);
    EXPECT_TRUE(zero);
    ResizeDisk_Destroy(view);
    Mem_Free(view);
    Disk_Close(&raw);
}

}  // namespace
