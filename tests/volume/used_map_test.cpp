// File-system dispatch and the used-sector map. Stand-in drivers (a byte-addressed "FAKEFS"
// with one free byte range) let the tiling, dispatch and query rules be checked for every sector
// size; real file systems are checked against sleuthkit further down.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "foundation/range.h"
#include "foundation/refusal.h"
#include "volume/used_map.h"
#include "volume_test_util.h"

using namespace testsupport;
using namespace voltest;

namespace {

// ---- Stand-in driver -------------------------------------------------------------------------
// On disk, at the partition's first byte: "FAKEFS" + kind digit (or '*' for every kind) + one
// pad byte, then u64 file-system size in bytes, u64 first free byte, u64 end of the free bytes
// (all relative to the partition). Every byte of the file system outside the free range is
// used, and so is everything past its size.
struct FakeVolume {
    uint32_t bytesPerSector;
    uint64_t size;
    uint64_t freeStart;
    uint64_t freeEnd;
};

int g_live = 0;      // driver objects alive
int g_attaches = 0;  // attach calls

template <int Kind>
int FakeAttach(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    ++g_attaches;
    DiskGeometry g{};
    Disk_GetGeometry(disk, &g);
    if (g.bytes_per_sector == 0) return DISK_ERR_ARG;
    uint8_t sb[32];
    int r = Disk_Read(disk, first * g.bytes_per_sector, sizeof sb, sb);
    if (r != DISK_OK) return r;
    if (std::memcmp(sb, "FAKEFS", 6) != 0 || (sb[6] != '0' + Kind && sb[6] != '*')) {
        return DISK_ERR_FS_CORRUPT;
    }
    FakeVolume* v = static_cast<FakeVolume*>(Mem_Alloc(sizeof(FakeVolume)));
    if (v == nullptr) return DISK_ERR_NOMEM;
    v->bytesPerSector = g.bytes_per_sector;
    v->size = Bytes_LoadLe64(sb + 8);
    v->freeStart = Bytes_LoadLe64(sb + 16);
    v->freeEnd = Bytes_LoadLe64(sb + 24);
    ++g_live;
    region->first = first;
    region->count = count;
    region->kind = Kind;
    region->object = v;
    return DISK_OK;
}

bool FakeIsUsed(const void* object, uint64_t offset, uint64_t length)
{
    const FakeVolume* v = static_cast<const FakeVolume*>(object);
    if (offset + length > v->size) return true;
    return !(offset >= v->freeStart && offset + length <= v->freeEnd);
}

int FakeFill(void* object, uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset)
{
    const FakeVolume* v = static_cast<const FakeVolume*>(object);
    return Fs_FillBitsFromByteRanges(v, FakeIsUsed, v->bytesPerSector, first, count, bitmap,
                                     bitOffset);
}

void FakeDestroy(void* object)
{
    --g_live;
    std::memset(object, 0, sizeof(FakeVolume));
}

// A data test in the manner of NTFS: only used bytes are looked at.
int FakeTestData(void* object, uint64_t offset, uint32_t length, const uint8_t* data, bool* empty,
                 uint64_t* bytesBefore)
{
    const FakeVolume* v = static_cast<const FakeVolume*>(object);
    for (uint32_t i = 0; i < length; ++i) {
        if (!FakeIsUsed(v, offset + i, 1)) continue;
        if (data == nullptr || data[i] != 0) {
            *empty = false;
            if (bytesBefore != nullptr) *bytesBefore = i;
            return DISK_OK;
        }
    }
    *empty = true;
    return DISK_OK;
}

// Installs stand-ins for kinds 0 (with a data test), 2 and 3, and restores the tables after.
class DriverTables {
public:
    DriverTables()
    {
        std::memcpy(attach_, FsAttachTable, sizeof attach_);
        std::memcpy(fill_, FsUsedBitsTable, sizeof fill_);
        std::memcpy(destroy_, FsDestroyTable, sizeof destroy_);
        std::memcpy(test_, FsTestDataTable, sizeof test_);
        for (uint32_t k = 0; k < FS_KIND_COUNT; ++k) {
            FsAttachTable[k] = nullptr;
            FsUsedBitsTable[k] = nullptr;
            FsDestroyTable[k] = nullptr;
            FsTestDataTable[k] = nullptr;
        }
        Install(0, FakeAttach<0>);
        FsTestDataTable[0] = FakeTestData;
        Install(2, FakeAttach<2>);
        Install(3, FakeAttach<3>);
        g_live = 0;
        g_attaches = 0;
    }
    ~DriverTables()
    {
        EXPECT_EQ(g_live, 0) << "driver objects leaked";
        std::memcpy(FsAttachTable, attach_, sizeof attach_);
        std::memcpy(FsUsedBitsTable, fill_, sizeof fill_);
        std::memcpy(FsDestroyTable, destroy_, sizeof destroy_);
        std::memcpy(FsTestDataTable, test_, sizeof test_);
    }
    static void Install(int kind, FsAttachFn attach)
    {
        FsAttachTable[kind] = attach;
        FsUsedBitsTable[kind] = FakeFill;
        FsDestroyTable[kind] = FakeDestroy;
    }

private:
    FsAttachFn attach_[FS_KIND_COUNT];
    FsUsedBitsFn fill_[FS_KIND_COUNT];
    FsDestroyFn destroy_[FS_KIND_COUNT];
    FsTestDataFn test_[FS_KIND_COUNT];
};

std::string Hex(const std::vector<uint8_t>& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

// The JSON "writes" element of a stand-in file system at a byte offset.
std::string FakeFs(uint64_t at, char kind, uint64_t size, uint64_t freeStart, uint64_t freeEnd)
{
    std::vector<uint8_t> sb(32, 0);
    std::memcpy(sb.data(), "FAKEFS", 6);
    sb[6] = static_cast<uint8_t>(kind);
    Bytes_StoreLe64(sb.data() + 8, size);
    Bytes_StoreLe64(sb.data() + 16, freeStart);
    Bytes_StoreLe64(sb.data() + 24, freeEnd);
    return "{\"at\":" + std::to_string(at) + ",\"hex\":\"" + Hex(sb) + "\"}";
}

std::string Rec(int type, uint64_t first, uint64_t count)
{
    return "[" + std::to_string(type) + "," + std::to_string(first) + "," + std::to_string(count) +
           "]";
}

struct Reg {
    uint64_t first;
    uint64_t count;
    FsKind kind;
    bool operator==(const Reg& o) const
    {
        return first == o.first && count == o.count && kind == o.kind;
    }
};

std::ostream& operator<<(std::ostream& os, const Reg& r)
{
    return os << "{" << r.first << ", " << r.count << ", " << r.kind << "}";
}

std::vector<Reg> Regions(const UsedSectorMap* map)
{
    std::vector<Reg> v;
    for (uint32_t i = 0; i < map->regionCount; ++i) {
        v.push_back({map->regions[i].first, map->regions[i].count, map->regions[i].kind});
    }
    return v;
}

// Builds regions from entries (count pass, then fill pass); destroys them afterwards.
struct Tiling {
    int result;
    std::vector<Reg> regions;
};

Tiling Tile(const DiskHandle* disk, std::vector<PartitionEntry> entries)
{
    uint32_t counted = 0;
    std::vector<PartitionEntry> copy = entries;
    int r = Fs_BuildRegions(static_cast<uint32_t>(entries.size()), entries.data(), disk, &counted,
                            nullptr);
    if (r != DISK_OK) return {r, {}};
    std::vector<VolumeRegion> regions(counted);
    for (auto& x : regions) VolumeRegion_Init(&x);
    uint32_t filled = counted;
    r = Fs_BuildRegions(static_cast<uint32_t>(copy.size()), copy.data(), disk, &filled,
                        regions.data());
    EXPECT_EQ(r, DISK_OK);
    EXPECT_EQ(filled, counted);
    Tiling t{r, {}};
    for (uint32_t i = 0; i < filled; ++i) {
        t.regions.push_back({regions[i].first, regions[i].count, regions[i].kind});
    }
    VolumeRegion_DestroyArray(filled, regions.data());
    return t;
}

// Owns a map made by UsedMap_Create.
struct CreatedMap {
    UsedSectorMap* map = nullptr;
    int result = 12345;
    uint32_t known = 999;
    explicit CreatedMap(const DiskHandle* disk) { map = UsedMap_Create(disk, &result, &known); }
    ~CreatedMap()
    {
        if (map != nullptr) {
            UsedMap_Destroy(map);
            Mem_Free(map);
        }
    }
};

std::vector<bool> UsedBits(const UsedSectorMap* map, uint64_t first, int32_t count, int* result)
{
    std::vector<uint8_t> bytes(count / 8 + 2, 0x5A);
    *result = UsedMap_GetUsedBits(map, first, count, bytes.data());
    std::vector<bool> bits;
    for (int32_t i = 0; i < count; ++i) bits.push_back(Bitmap_TestBit(bytes.data(), i));
    // Bits past the range are left alone.
    for (uint32_t i = count; i < bytes.size() * 8; ++i) {
        EXPECT_EQ(Bitmap_TestBit(bytes.data(), i), ((0x5A >> (i % 8)) & 1) != 0) << "bit " << i;
    }
    return bits;
}

}  // namespace

TEST(FsKind, FromMbrType)
{
    for (int t = 0; t < 256; ++t) {
        FsKind expected = FS_KIND_NONE;
        if (t == 0x07) expected = FS_KIND_NTFS;
        if (t == 0x83) expected = FS_KIND_EXT;
        if (t == 0x01 || t == 0x04 || t == 0x06 || t == 0x0B || t == 0x0C || t == 0x0E) {
            expected = FS_KIND_FAT;
        }
        if (t == 0xFB) expected = FS_KIND_UNSUPPORTED;
        EXPECT_EQ(Fs_KindFromMbrType(static_cast<uint8_t>(t)), expected) << t;
    }
}

TEST(FsRegions, TilingCaseTable)
{
    DriverTables tables;
    const uint64_t T = 2048;
    TempDir dir;
    std::string img = dir.file("t.img");
    MakeFixture(img, "{\"size\":" + std::to_string(T * 512) + "}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    const uint64_t M = UINT64_MAX;
    struct Row {
        const char* what;
        std::vector<PartitionEntry> entries;
        int expected;
        const char* reason;  // recorded refusal, nullptr: none
        std::vector<Reg> regions;
    };
    std::vector<Row> rows = {
        {"no entries: one gap", {}, DISK_OK, nullptr, {{0, T, FS_KIND_GAP}}},
        {"gap, partition, gap",
         {{63, 100, 0x83}},
         DISK_OK,
         nullptr,
         {{0, 63, -2}, {63, 100, -1}, {163, T - 163, -2}}},
        {"whole disk", {{0, T, 0}}, DISK_OK, nullptr, {{0, T, -1}}},
        {"adjacent partitions",
         {{0, 10, 0}, {10, 20, 0}, {30, T - 30, 7}},
         DISK_OK,
         nullptr,
         {{0, 10, -1}, {10, 20, -1}, {30, T - 30, -1}}},
        {"last partition clipped",
         {{10, 5, 0}, {100, T, 0}},
         DISK_OK,
         nullptr,
         {{0, 10, -2}, {10, 5, -1}, {15, 85, -2}, {100, T - 100, -1}}},
        {"last count wraps 64 bits: clipped",
         {{10, M, 0}},
         DISK_OK,
         nullptr,
         {{0, 10, -2}, {10, T - 10, -1}}},
        {"overlap",
         {{10, 20, 0}, {25, 5, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: partitions overlap",
         {}},
        {"same start",
         {{10, 20, 0}, {10, 20, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: partitions overlap",
         {}},
        {"empty partition",
         {{10, 0, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: an empty partition",
         {}},
        {"earlier partition past the end",
         {{10, T, 0}, {T + 100, 5, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: a partition other than the last passes the disk end",
         {}},
        {"earlier count wraps",
         {{10, M - 5, 0}, {20, 5, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: a partition other than the last passes the disk end",
         {}},
        {"last starts at the disk end",
         {{0, 5, 0}, {T, 5, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: a partition starts past the disk end",
         {}},
        {"last starts past the disk end",
         {{M - 1, 5, 0}},
         DISK_ERR_FS_CORRUPT,
         "partition table: a partition starts past the disk end",
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Refusal_Clear();
        Tiling t = Tile(disk.get(), row.entries);
        EXPECT_EQ(t.result, row.expected);
        EXPECT_STREQ(Refusal_Get(), row.reason);
        EXPECT_EQ(t.regions, row.regions);
    }
    // The clip is written into the caller's entry, already by the counting pass.
    std::vector<PartitionEntry> e = {{100, T, 0}};
    uint32_t n = 0;
    ASSERT_EQ(Fs_BuildRegions(1, e.data(), disk.get(), &n, nullptr), DISK_OK);
    EXPECT_EQ(e[0].count, T - 100);
    int before = g_attaches;
    ASSERT_EQ(Fs_BuildRegions(1, e.data(), disk.get(), &n, nullptr), DISK_OK);
    EXPECT_EQ(g_attaches, before);
}

TEST(FsRegions, DispatchByTypeThenAnyDriver)
{
    DriverTables tables;
    TempDir dir;
    std::string img = dir.file("d.img");
    // Partitions at 100, 300, 500, 700, 900, 1100 (200 sectors each).
    MakeFixture(img, "{\"size\":1048576,\"writes\":[" + FakeFs(100 * 512, '2', 4096, 0, 0) + "," +
                         FakeFs(300 * 512, '2', 4096, 0, 0) + "," +
                         FakeFs(500 * 512, '0', 4096, 0, 0) + "," +
                         FakeFs(700 * 512, '*', 4096, 0, 0) + "," +
                         FakeFs(900 * 512, '*', 4096, 0, 0) + "]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Tiling t = Tile(disk.get(), {{100, 200, 0x0C},     // FAT type, FAT volume
                                 {300, 200, 0x83},     // ext type (no driver), FAT volume
                                 {500, 200, 0xFB},     // placeholder type, NTFS volume
                                 {700, 200, 0x00},     // claimed by three drivers: unknown
                                 {900, 200, 0x06},     // claimed by three, but the type decides
                                 {1100, 200, 0x07}});  // nothing there
    ASSERT_EQ(t.result, DISK_OK);
    std::vector<FsKind> kinds;
    for (const Reg& r : t.regions) {
        if (r.kind != FS_KIND_GAP) kinds.push_back(r.kind);
    }
    EXPECT_EQ(kinds, (std::vector<FsKind>{2, 2, 0, -1, 2, -1}));

    // The region-level attach operations themselves.
    VolumeRegion region;
    VolumeRegion_Init(&region);
    EXPECT_EQ(Fs_AttachKind(&region, disk.get(), 100, 200, FS_KIND_EXT), DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(Fs_AttachKind(&region, disk.get(), 100, 200, FS_KIND_NTFS), DISK_ERR_FS_CORRUPT);
    EXPECT_EQ(region.kind, FS_KIND_NONE);
    EXPECT_EQ(region.count, 0u);  // a refusal leaves the region untouched
    EXPECT_EQ(Fs_AttachAny(&region, disk.get(), 700, 200), DISK_ERR_ARG);
    EXPECT_EQ(Fs_AttachAny(&region, disk.get(), 1100, 200), DISK_ERR_ARG);
    EXPECT_EQ(Fs_AttachKind(&region, disk.get(), 5, 6, FS_KIND_GAP), DISK_OK);
    EXPECT_EQ((Reg{region.first, region.count, region.kind}), (Reg{5, 6, FS_KIND_NONE}));
    EXPECT_EQ(Fs_AttachAny(&region, disk.get(), 300, 200), DISK_OK);
    EXPECT_EQ((Reg{region.first, region.count, region.kind}), (Reg{300, 200, FS_KIND_FAT}));
    VolumeRegion_Destroy(&region);
    EXPECT_EQ(region.kind, FS_KIND_NONE);
    EXPECT_EQ(region.object, nullptr);
}

// The map over a disk of B-byte sectors: MBR with a stand-in volume whose free bytes do not
// line up with sectors, an unknown partition and gaps. Every query is compared with a model.
TEST(UsedMap, QueriesMatchTheModelForEverySectorSize)
{
    for (uint32_t B : {256u, 512u, 1024u, 4096u}) {
        SCOPED_TRACE("bytes per sector " + std::to_string(B));
        DriverTables tables;
        const uint64_t T = 600;
        // Volume at 40, 300 sectors; its file system is 250 sectors + 10 bytes; free bytes from
        // 7 x B + 100 up to 200 x B + 3: sectors 8 .. 199 are free; 7 and 200 are partly used.
        const uint64_t P = 40, N = 300;
        TempDir dir;
        std::string img = dir.file("m.img");
        MakeFixture(img, "{\"size\":" + std::to_string(T * B) + ",\"bps\":" + std::to_string(B) +
                             ",\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x0C, P, N) + "," +
                             Rec(0x83, 400, 100) + "]}],\"writes\":[" +
                             FakeFs(P * B, '2', 250 * B + 10, 7 * B + 100, 200 * B + 3) + "]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, B), DISK_OK);
        CreatedMap m(disk.get());
        ASSERT_NE(m.map, nullptr);
        ASSERT_EQ(m.result, DISK_OK);
        EXPECT_EQ(m.known, 1u);
        EXPECT_EQ(m.map->bytesPerSector, B);
        EXPECT_EQ(Regions(m.map), (std::vector<Reg>{{0, P, -2},
                                                    {P, N, FS_KIND_FAT},
                                                    {P + N, 400 - P - N, -2},
                                                    {400, 100, -1},
                                                    {500, T - 500, -2}}));
        auto model = [&](uint64_t s) { return !(s >= P + 8 && s < P + 200); };
        // Ranges across region boundaries at odd bit offsets.
        const std::pair<uint64_t, int32_t> ranges[] = {
            {0, 600}, {0, 1},     {39, 3},    {41, 17}, {45, 9},  {46, 200}, {47, 255},
            {239, 3}, {240, 161}, {333, 267}, {599, 1}, {120, 0}, {599, 0}};
        for (const auto& q : ranges) {
            SCOPED_TRACE("range " + std::to_string(q.first) + "+" + std::to_string(q.second));
            int r = 0;
            std::vector<bool> bits = UsedBits(m.map, q.first, q.second, &r);
            ASSERT_EQ(r, DISK_OK);
            for (int32_t i = 0; i < q.second; ++i) {
                ASSERT_EQ(bits[i], model(q.first + i)) << "sector " << q.first + i;
            }
        }
        // Past the map's end (a disk grown after the map was built) every sector is used, with
        // no error: ranges that leave the map, that start past it or far beyond it.
        const std::pair<uint64_t, int32_t> beyond[] = {
            {100, 600}, {T - 1, 2}, {T, 0}, {T, 77}, {1ull << 40, 9}, {UINT64_MAX, 1}};
        for (const auto& q : beyond) {
            SCOPED_TRACE("range " + std::to_string(q.first) + "+" + std::to_string(q.second));
            int r = -1;
            std::vector<bool> bits = UsedBits(m.map, q.first, q.second, &r);
            ASSERT_EQ(r, DISK_OK);
            for (int32_t i = 0; i < q.second; ++i) {
                const uint64_t s = q.first + i;
                ASSERT_EQ(bits[i], s >= T || model(s)) << "sector " << s;
            }
        }
        int r = 0;
        std::vector<uint8_t> buf(128);
        EXPECT_EQ(UsedMap_GetUsedBits(m.map, 5, -1, buf.data()), DISK_ERR_ARG);
        // The data tests see the bytes past the end as used as well.
        {
            std::vector<uint8_t> zeros(10 * B, 0);
            bool empty = false;
            ASSERT_EQ(UsedMap_IsDataEmpty(m.map, T - 4, 10, &empty, zeros.data()), DISK_OK);
            EXPECT_TRUE(empty);
            zeros[7 * B + 3] = 1;  // sector T + 3
            ASSERT_EQ(UsedMap_IsDataEmpty(m.map, T - 4, 10, &empty, zeros.data()), DISK_OK);
            EXPECT_FALSE(empty);
            // Without data the part past the end holds data from its first byte.
            uint64_t before = 77;
            ASSERT_EQ(UsedMap_ScanRangeForData(m.map, (T - 2) * B, static_cast<int32_t>(5 * B),
                                               nullptr, &empty, &before),
                      DISK_OK);
            EXPECT_FALSE(empty);
            EXPECT_EQ(before, 0u);  // the gap before the end is used too
            ASSERT_EQ(UsedMap_ScanRangeForData(m.map, T * B + 10, static_cast<int32_t>(B),
                                               zeros.data(), &empty, nullptr),
                      DISK_OK);
            EXPECT_TRUE(empty);
        }
        (void)r;

        // Data tests use whole B-byte sectors: a byte deep inside a used sector counts, bytes in
        // free sectors do not.
        const uint64_t first = P + 5;  // sectors 45 .. 52: 45..47 used, 48..52 free
        const uint32_t count = 8;
        std::vector<uint8_t> data(count * B, 0);
        bool empty = false;
        ASSERT_EQ(UsedMap_IsDataEmpty(m.map, first, count, &empty, data.data()), DISK_OK);
        EXPECT_TRUE(empty);
        for (uint64_t s = first; s < first + count; ++s) {
            std::fill(data.begin(), data.end(), 0);
            data[(s - first) * B + B - 1] = 1;  // the last byte of sector s
            ASSERT_EQ(UsedMap_IsDataEmpty(m.map, first, count, &empty, data.data()), DISK_OK);
            EXPECT_EQ(empty, !model(s)) << "sector " << s;
        }
    }
}

TEST(UsedMap, EmptyMapAnswersAllUsed)
{
    DriverTables tables;
    for (uint32_t B : {256u, 4096u}) {
        SCOPED_TRACE(B);
        TempDir dir;
        std::string img = dir.file("e.img");
        // MBR signature, nothing listed.
        MakeFixture(img, "{\"size\":" + std::to_string(64 * B) + ",\"bps\":" + std::to_string(B) +
                             ",\"mbr\":[{\"sector\":0}]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, B), DISK_OK);
        UsedSectorMap map;
        UsedMap_Init(&map);
        ASSERT_EQ(UsedMap_BuildFromPartitions(&map, disk.get()), DISK_OK);
        EXPECT_EQ(map.regionCount, 0u);
        EXPECT_EQ(map.bytesPerSector, B);
        EXPECT_EQ(UsedMap_CountKnownRegions(&map), 0u);
        int r = 0;
        std::vector<bool> bits = UsedBits(&map, 3, 77, &r);
        EXPECT_EQ(r, DISK_OK);
        EXPECT_EQ(bits, std::vector<bool>(77, true));
        std::vector<uint8_t> data(4 * B, 0);
        bool empty = false;
        EXPECT_EQ(UsedMap_IsDataEmpty(&map, 0, 4, &empty, data.data()), DISK_OK);
        EXPECT_TRUE(empty);
        data[3 * B + B / 2] = 9;
        EXPECT_EQ(UsedMap_IsDataEmpty(&map, 0, 4, &empty, data.data()), DISK_OK);
        EXPECT_FALSE(empty);
        uint64_t before = 77;
        EXPECT_EQ(UsedMap_ScanRangeForData(&map, 0, 4 * B, nullptr, &empty, &before), DISK_OK);
        EXPECT_FALSE(empty);
        EXPECT_EQ(before, 0u);
        UsedMap_Destroy(&map);
    }
    // A map that was only initialised answers all used as well.
    UsedSectorMap fresh;
    UsedMap_Init(&fresh);
    std::vector<uint8_t> bits(4, 0);
    EXPECT_EQ(UsedMap_GetUsedBits(&fresh, 1ull << 40, 30, bits.data()), DISK_OK);
    EXPECT_EQ(bits, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x3F}));
}

TEST(UsedMap, CreateCaseTable)
{
    struct Row {
        const char* what;
        uint32_t bps;
        std::string spec;  // JSON members after "size"
        int result;
        std::vector<Reg> regions;  // empty: no map
    };
    const uint64_t T = 1024;
    const std::string garbageSector1 = "{\"at\":BPS,\"hex\":\"f8ffff0fffffff0ff8ffff0f\"}";
    std::vector<Row> rows = {
        {"superfloppy with boot signature and empty records",
         512,
         "\"mbr\":[{\"sector\":0}],\"writes\":[" + FakeFs(0, '2', 1000 * 512, 0, 0) + "," +
             garbageSector1 + "]",
         DISK_OK,
         {{0, T, FS_KIND_FAT}}},
        {"superfloppy with a zero sector 1 (no PC-98 records)",
         4096,
         "\"mbr\":[{\"sector\":0}],\"writes\":[" + FakeFs(0, '0', 1000, 0, 0) + "]",
         DISK_OK,
         {{0, T, FS_KIND_NTFS}}},
        {"superfloppy without boot signature",
         256,
         "\"writes\":[" + FakeFs(0, '3', 10, 0, 0) + "]",
         DISK_OK,
         {{0, T, 3}}},
        {"superfloppy claimed by two drivers",
         512,
         "\"mbr\":[{\"sector\":0}],\"writes\":[" + FakeFs(0, '*', 10, 0, 0) + "]",
         DISK_OK,
         {}},
        {"only partition unknown",
         512,
         "\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x83, 8, 100) + "]}]",
         DISK_OK,
         {}},
        {"empty table, nothing on the disk", 512, "\"mbr\":[{\"sector\":0}]", DISK_OK, {}},
        {"broken extended chain",
         512,
         "\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x05, 8, 100) +
             "]},{\"sector\":8,\"sig\":false}]",
         DISK_ERR_FORMAT,
         {}},
        {"overlapping partitions",
         512,
         "\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x0C, 8, 100) + "," + Rec(0x0C, 50, 100) +
             "]}],\"writes\":[" + FakeFs(8 * 512, '2', 10, 0, 0) + "]",
         DISK_ERR_FS_CORRUPT,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverTables tables;
        std::string spec = row.spec;
        size_t at = spec.find("BPS");
        if (at != std::string::npos) spec.replace(at, 3, std::to_string(row.bps));
        TempDir dir;
        std::string img = dir.file("c.img");
        MakeFixture(img, "{\"size\":" + std::to_string(T * row.bps) +
                             ",\"bps\":" + std::to_string(row.bps) + "," + spec + "}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, row.bps), DISK_OK);
        CreatedMap m(disk.get());
        EXPECT_EQ(m.result, row.result);
        if (row.regions.empty()) {
            EXPECT_EQ(m.map, nullptr);
            EXPECT_EQ(m.known, 0u);
        } else {
            ASSERT_NE(m.map, nullptr);
            EXPECT_EQ(Regions(m.map), row.regions);
            EXPECT_EQ(m.known, 1u);
        }
    }
}

TEST(UsedMap, Pc98TableGivesCylinderRegions)
{
    DriverTables tables;
    // 8 heads x 17 sectors = 136 sectors per cylinder; the end cylinder is not included.
    const uint32_t H = 8, S = 17, C = H * S;
    for (uint32_t B : {256u, 512u, 1024u}) {
        SCOPED_TRACE(B);
        const uint64_t T = 40 * C;
        TempDir dir;
        std::string img = dir.file("p.img");
        MakeFixture(img, "{\"size\":" + std::to_string(T * B) + ",\"bps\":" + std::to_string(B) +
                             ",\"mbr\":[{\"sector\":0}],\"pc98\":{\"mark\":[85,170],\"records\":[{"
                             "\"index\":0,\"start\":1,"
                             "\"end\":10},{\"index\":3,\"start\":10,\"end\":25}]},"
                             "\"writes\":[" +
                             FakeFs(uint64_t(C) * B, '2', 5 * C * B, 0, 0) + "]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, B, H, S), DISK_OK);
        UsedSectorMap map;
        UsedMap_Init(&map);
        ASSERT_EQ(UsedMap_BuildFromPc98Table(&map, disk.get()), DISK_OK);
        EXPECT_EQ(Regions(&map), (std::vector<Reg>{{0, C, -2},
                                                   {C, 9 * C, FS_KIND_FAT},
                                                   {10 * C, 15 * C, -1},
                                                   {25 * C, T - 25 * C, -2}}));
        UsedMap_Destroy(&map);
        if (B != 256) {
            // Sector 0 ends in 0x55 0xAA and lists nothing, so the map comes from this table.
            CreatedMap m(disk.get());
            ASSERT_NE(m.map, nullptr);
            EXPECT_EQ(Regions(m.map).size(), 4u);
        }
    }
}

TEST(UsedMap, Pc98HostileCylinders)
{
    DriverTables tables;
    struct Row {
        const char* what;
        int start, end;
        int expected;
    };
    const Row rows[] = {
        {"end below start", 20, 10, DISK_ERR_FS_CORRUPT},
        {"start equals end: empty", 10, 10, DISK_ERR_FS_CORRUPT},
        {"starts past the disk end", 200, 300, DISK_ERR_FS_CORRUPT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        std::string img = dir.file("p.img");
        MakeFixture(img, "{\"size\":524288,\"pc98\":{\"records\":[{\"index\":0,\"start\":" +
                             std::to_string(row.start) + ",\"end\":" + std::to_string(row.end) +
                             "}]}}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, 512, 2, 8), DISK_OK);
        UsedSectorMap map;
        UsedMap_Init(&map);
        EXPECT_EQ(UsedMap_BuildFromPc98Table(&map, disk.get()), row.expected);
        EXPECT_EQ(map.regionCount, 0u);
        UsedMap_Destroy(&map);
    }
}

TEST(UsedMap, Pc98SizesBeyond32Bits)
{
    // 255 heads x 255 sectors: cylinders 1 .. 65535 hold 65534 x 65025 sectors, more than 2^32.
    DriverTables tables;
    const uint64_t C = 255 * 255;
    const uint64_t T = 65536 * C;
    TempDir dir;
    std::string img = dir.file("big.img");
    MakeFixture(img, "{\"size\":4096,\"extend_to\":" + std::to_string(T * 512) +
                         ",\"pc98\":{\"records\":[{\"index\":0,\"start\":1,\"end\":65535}]}}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512, 255, 255), DISK_OK);
    UsedSectorMap map;
    UsedMap_Init(&map);
    ASSERT_EQ(UsedMap_BuildFromPc98Table(&map, disk.get()), DISK_OK);
    EXPECT_EQ(Regions(&map),
              (std::vector<Reg>{{0, C, -2}, {C, 65534 * C, -1}, {65535 * C, C, -2}}));
    int r = 0;
    std::vector<bool> bits = UsedBits(&map, 65535 * C - 3, 6, &r);
    EXPECT_EQ(r, DISK_OK);
    EXPECT_EQ(bits, std::vector<bool>(6, true));
    UsedMap_Destroy(&map);
}

TEST(UsedMap, ScanRangeForDataAcrossRegions)
{
    DriverTables tables;
    const uint32_t B = 1024;
    const uint64_t T = 64;
    // NTFS stand-in (with its own data test) at 8..23: bytes 0 .. 4 x B + 10 used, then free;
    // FAT stand-in at 24..39 (no data test); gaps around them.
    TempDir dir;
    std::string img = dir.file("s.img");
    MakeFixture(img, "{\"size\":" + std::to_string(T * B) +
                         ",\"bps\":1024,\"mbr\":[{\"sector\":0,"
                         "\"records\":[" +
                         Rec(0x07, 8, 16) + "," + Rec(0x0C, 24, 16) + "]}],\"writes\":[" +
                         FakeFs(8 * B, '0', 16 * B, 4 * B + 10, 16 * B) + "," +
                         FakeFs(24 * B, '2', 16 * B, 0, 16 * B) + "]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, B), DISK_OK);
    CreatedMap m(disk.get());
    ASSERT_NE(m.map, nullptr);
    ASSERT_EQ(m.known, 2u);
    bool empty = true;
    uint64_t before = 0;
    // Without data: the NTFS region answers where its used bytes start, relative to the range.
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, 7 * B + 100, 2 * B, nullptr, &empty, &before),
              DISK_OK);
    EXPECT_FALSE(empty);  // the gap sector 7 counts as data at its first byte
    EXPECT_EQ(before, 0u);
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, 8 * B + 4 * B + 10, 12 * B - 10 + 5, nullptr, &empty,
                                       &before),
              DISK_OK);
    EXPECT_FALSE(empty);  // reaches the FAT region, which has no data test
    EXPECT_EQ(before, 12u * B - 10);
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, 12 * B + 10, 4 * B - 10, nullptr, &empty, &before),
              DISK_OK);
    EXPECT_TRUE(empty);  // only free NTFS bytes
    // With data: zero data is empty everywhere; a byte in a free NTFS area does not count.
    std::vector<uint8_t> data(20 * B, 0);
    const uint64_t start = 6 * B;
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, start, 20 * B, data.data(), &empty, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
    data[(8 * B + 6 * B) - start] = 1;  // free NTFS byte
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, start, 20 * B, data.data(), &empty, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);
    data[(24 * B + 3) - start] = 1;  // FAT region byte
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, start, 20 * B, data.data(), &empty, nullptr),
              DISK_OK);
    EXPECT_FALSE(empty);
    // Length 0 leaves the cells alone, inside the map and past it.
    empty = true;
    before = 99;
    EXPECT_EQ(UsedMap_ScanRangeForData(m.map, 5, 0, nullptr, &empty, &before), DISK_OK);
    EXPECT_EQ(UsedMap_ScanRangeForData(m.map, T * B, 0, nullptr, &empty, &before), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(before, 99u);
    // Bytes past the map's end count as used: data from the first of them.
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, T * B - 10, 11, nullptr, &empty, &before), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(before, 0u);  // the last sector is a gap sector, used as well
    ASSERT_EQ(UsedMap_ScanRangeForData(m.map, UINT64_MAX - 5, 5, nullptr, &empty, &before),
              DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(UsedMap_ScanRangeForData(m.map, 0, -1, nullptr, &empty, &before), DISK_ERR_ARG);
}

// ---- Real file systems against sleuthkit ----------------------------------------------------

namespace {

struct RealPart {
    const char* what;
    uint8_t type;
    uint32_t mib;
    std::string make;    // shell commands; IMG is the partition image, SRC the files to copy in
    std::string remove;  // frees a known area (a deleted file); empty when nothing is removed
    const char* fs;      // sleuthkit type, or nullptr for a partition no driver knows
    uint32_t unit;       // bytes of one sleuthkit unit (FAT sector or ext block)
};

std::string Subst(std::string s, const std::string& img, const std::string& src)
{
    for (size_t at; (at = s.find("IMG")) != std::string::npos;) s.replace(at, 3, Quote(img));
    for (size_t at; (at = s.find("SRC")) != std::string::npos;) s.replace(at, 3, Quote(src));
    return s;
}

// blkls -l -e: one 'a' or 'f' per unit, indexed by unit address.
std::vector<char> Blkls(const std::string& args)
{
    std::string out;
    RunCommand("blkls -l -e " + args, &out);
    std::vector<char> units;
    std::istringstream lines(out);
    std::string line;
    bool body = false;
    while (std::getline(lines, line)) {
        if (line == "addr|alloc") {
            body = true;
            continue;
        }
        size_t bar = line.find('|');
        if (!body || bar == std::string::npos || bar + 1 >= line.size()) continue;
        uint64_t addr = std::stoull(line.substr(0, bar));
        if (addr >= units.size()) units.resize(addr + 1, 'a');
        units[addr] = line[bar + 1];
    }
    return units;
}

}  // namespace

TEST(UsedMapReal, FreeSectorsAreFreeForSleuthkit)
{
    for (const char* tool : {"blkls", "mkfs.fat", "mcopy", "mdel", "mke2fs", "debugfs"}) {
        if (!HaveTool(tool)) {
            GTEST_SKIP() << tool << " missing (sleuthkit, dosfstools, mtools, e2fsprogs)";
        }
    }
    TempDir dir;
    const std::string src = dir.file("src");
    ASSERT_EQ(RunCommand("mkdir -p " + Quote(src + "/sub")), 0);
    WriteFile(src + "/keep1.bin", RandomBytes(200 * 1024 + 17, 1));
    WriteFile(src + "/gone.bin", RandomBytes(1024 * 1024 + 5, 2));
    WriteFile(src + "/sub/keep2.bin", RandomBytes(300 * 1024, 3));

    const std::string fatFill = "mcopy -s -i IMG SRC/keep1.bin SRC/gone.bin SRC/sub ::";
    const std::string fatGone = "mdel -i IMG ::gone.bin";
    const std::string extGone = "debugfs -w -R 'rm /gone.bin' IMG";
    const std::string junk = "head -c 1048576 /dev/urandom | dd of=IMG conv=notrunc status=none";
    struct Layout {
        uint32_t bps;
        std::vector<RealPart> parts;
    };
    const std::vector<Layout> layouts = {
        {512,
         {{"FAT16", 0x06, 16, "mkfs.fat -F 16 -s 4 IMG && " + fatFill, fatGone, "fat16", 512},
          {"FAT32", 0x0C, 64, "mkfs.fat -F 32 -s 1 IMG && " + fatFill, fatGone, "fat32", 512},
          {"ext4, 1 KiB blocks", 0x83, 32, "mke2fs -q -t ext4 -b 1024 -d SRC IMG", extGone, "ext",
           1024},
          {"unknown", 0xA5, 2, junk, "", nullptr, 0},
          {"FAT12", 0x01, 4, "mkfs.fat -F 12 -s 2 IMG && " + fatFill, fatGone, "fat12", 512},
          {"ext2, 4 KiB blocks, in a FAT-typed slot", 0x0B, 16,
           "mke2fs -q -t ext2 -b 4096 -d SRC IMG", extGone, "ext", 4096},
          {"ext3, 2 KiB blocks", 0x83, 16, "mke2fs -q -t ext3 -b 2048 -d SRC IMG", extGone, "ext",
           2048}}},
        {4096,
         {{"FAT16 with 4 KiB sectors", 0x06, 32, "mkfs.fat -F 16 -S 4096 -s 1 IMG && " + fatFill,
           fatGone, "fat16", 4096},
          {"unknown", 0xA5, 1, junk, "", nullptr, 0},
          {"ext4, 4 KiB blocks", 0x83, 32, "mke2fs -q -t ext4 -b 4096 -d SRC IMG", extGone, "ext",
           4096}}},
    };

    for (const Layout& layout : layouts) {
        const uint32_t B = layout.bps;
        SCOPED_TRACE("bytes per sector " + std::to_string(B));
        const uint64_t mib = (1 << 20) / B;
        // Two primaries, the rest as logical partitions of one extended partition.
        struct Placed {
            uint64_t start, count;
            std::vector<char> before;
        };
        std::vector<Placed> placed;
        std::string mbr = "[{\"sector\":0,\"records\":[";
        std::string ebrs;
        uint64_t pos = mib;
        uint64_t extStart = 0;
        const size_t n = layout.parts.size();
        for (size_t i = 0; i < n; ++i) {
            const RealPart& p = layout.parts[i];
            const uint64_t count = p.mib * mib;
            if (i < 2) {
                placed.push_back({pos, count, {}});
                mbr += std::string(i ? "," : "") + Rec(p.type, pos, count);
                pos += count + mib;
                continue;
            }
            if (i == 2) extStart = pos;
            const uint64_t ebr = pos, start = pos + 64;
            placed.push_back({start, count, {}});
            pos = start + count + 64;
            ebrs += ",{\"sector\":" + std::to_string(ebr) + ",\"records\":[" +
                    Rec(p.type, start - ebr, count);
            if (i + 1 < n)
                ebrs += "," + Rec(0x05, pos - extStart, 64 + layout.parts[i + 1].mib * mib);
            ebrs += "]}";
        }
        if (n > 2) mbr += "," + Rec(0x05, extStart, pos - extStart);
        mbr += "]}" + ebrs + "]";
        const uint64_t total = pos + mib;
        const std::string disk = dir.file("disk" + std::to_string(B) + ".img");
        MakeFixture(disk, "{\"size\":" + std::to_string(total * B) +
                              ",\"bps\":" + std::to_string(B) + ",\"mbr\":" + mbr + "}");

        size_t withFs = 0;
        for (size_t i = 0; i < n; ++i) {
            const RealPart& p = layout.parts[i];
            const std::string img = dir.file("part" + std::to_string(i) + ".img");
            ASSERT_EQ(RunCommand("rm -f " + Quote(img) + " && truncate -s " +
                                 std::to_string(p.mib) + "M " + Quote(img)),
                      0);
            ASSERT_EQ(RunCommand("( " + Subst(p.make, img, src) + " ) >/dev/null 2>&1"), 0)
                << p.what;
            if (p.fs != nullptr) {
                ++withFs;
                placed[i].before = Blkls("-f " + std::string(p.fs) + " " + Quote(img));
                ASSERT_FALSE(placed[i].before.empty()) << p.what;
                ASSERT_EQ(RunCommand("( " + Subst(p.remove, img, src) + " ) >/dev/null 2>&1"), 0)
                    << p.what;
            }
            ASSERT_EQ(RunCommand("dd if=" + Quote(img) + " of=" + Quote(disk) +
                                 " bs=1M oflag=seek_bytes conv=notrunc,sparse status=none seek=" +
                                 std::to_string(placed[i].start * B)),
                      0);
        }

        RawDisk raw;
        ASSERT_EQ(raw.Open(disk, B), DISK_OK);
        CreatedMap m(raw.get());
        ASSERT_NE(m.map, nullptr) << "result " << m.result;
        EXPECT_EQ(m.known, withFs);
        int r = 0;
        std::vector<bool> used = UsedBits(m.map, 0, static_cast<int32_t>(total), &r);
        ASSERT_EQ(r, DISK_OK);

        std::vector<bool> inFs(total, false);
        for (size_t i = 0; i < n; ++i) {
            const RealPart& p = layout.parts[i];
            SCOPED_TRACE(p.what);
            if (p.fs == nullptr) continue;
            const Placed& pl = placed[i];
            std::vector<char> after = Blkls("-f " + std::string(p.fs) + " -b " + std::to_string(B) +
                                            " -o " + std::to_string(pl.start) + " " + Quote(disk));
            ASSERT_FALSE(after.empty());
            uint64_t free = 0, wrong = 0, freedSectors = 0, freedKept = 0;
            for (uint64_t s = pl.start; s < pl.start + pl.count; ++s) {
                inFs[s] = true;
                const uint64_t firstUnit = (s - pl.start) * B / p.unit;
                const uint64_t lastUnit = ((s - pl.start + 1) * B - 1) / p.unit;
                bool allFree = true, allFreed = true;
                for (uint64_t u = firstUnit; u <= lastUnit; ++u) {
                    const bool isFree = u < after.size() && after[u] == 'f';
                    allFree = allFree && isFree;
                    allFreed = allFreed && isFree && u < pl.before.size() && pl.before[u] == 'a';
                }
                if (!used[s]) {
                    ++free;
                    if (!allFree) ++wrong;
                }
                if (allFreed) {
                    ++freedSectors;
                    if (used[s]) ++freedKept;
                }
            }
            EXPECT_EQ(wrong, 0u) << "sectors called free that sleuthkit calls allocated";
            EXPECT_GT(free, 0u);
            EXPECT_GT(freedSectors, 1024u * 1024 / B) << "the deleted file freed nothing?";
            EXPECT_EQ(freedKept, 0u) << "the deleted file's sectors did not come back free";
        }
        uint64_t outsideFree = 0;
        for (uint64_t s = 0; s < total; ++s) {
            if (!inFs[s] && !used[s]) ++outsideFree;
        }
        EXPECT_EQ(outsideFree, 0u) << "gaps, tables and unknown partitions must stay used";
    }
}

TEST(UsedMap, RawEmptyRangeQueryLeavesFreeSectorsUnread)
{
    for (uint32_t B : {256u, 4096u}) {
        SCOPED_TRACE(B);
        DriverTables tables;
        // A stand-in volume at 16..79 whose bytes from 10 x B + 1 up to 40 x B are free: sectors
        // 11..39 of it are free. Free sectors hold data; used ones are zero except where noted.
        const std::string fill(2 * B, 'e');
        std::string writes = FakeFs(16 * B, '2', 64 * B, 10 * B + 1, 40 * B);
        for (uint64_t s : {16 + 11, 16 + 25, 16 + 39, 16 + 40}) {
            writes += ",{\"at\":" + std::to_string(s * B) + ",\"hex\":\"" + fill + "\"}";
        }
        writes += ",{\"at\":" + std::to_string((16 + 10) * B + B - 1) + ",\"hex\":\"01\"}";
        TempDir dir;
        std::string img = dir.file("r.img");
        MakeFixture(img, "{\"size\":" + std::to_string(128 * B) + ",\"bps\":" + std::to_string(B) +
                             ",\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x0C, 16, 64) +
                             "]}],\"writes\":[" + writes + "]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, B), DISK_OK);
        CreatedMap m(disk.get());
        ASSERT_NE(m.map, nullptr);
        struct Row {
            uint64_t first;
            uint32_t count;
            bool withMap, empty;
        } rows[] = {
            {27, 29, true, true},    // sectors 27..55: free
            {27, 29, false, false},  // without a map the data counts
            {26, 2, true, false},    // sector 26 is partly used and holds a byte
            {56, 1, true, false},    // sector 56 (relative 40) is used and holds data
            {80, 48, true, true},    // trailing gap, all zero
        };
        for (const Row& r : rows) {
            SCOPED_TRACE(r.first);
            bool empty = !r.empty;
            ASSERT_EQ(Disk_IsRangeEmpty(disk.get(), r.withMap ? m.map : nullptr, r.first, r.count,
                                        &empty, nullptr, nullptr),
                      DISK_OK);
            EXPECT_EQ(empty, r.empty);
        }
    }
}
