// Disk handles, dispatch by kind and the geometry helpers.
#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/split_disk.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"
#include "disk/saved_table.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

using namespace testsupport;

namespace {

// A stand-in format handler installed in the slots of one kind, counting what reaches it.
const DiskKind kFakeKind = DISK_KIND_PARALLELS;

struct FakeCalls {
    int close, geometry, read, empty, compact, parent, unallocated;
    uint64_t lastOffset;
    uint32_t lastLength;
};
FakeCalls g_calls;

void FakeClose(void*) { ++g_calls.close; }
void FakeGeometry(void*, DiskGeometry* out)
{
    ++g_calls.geometry;
    *out = DiskGeometry{77, 1, 2, 512, 0};
}
int FakeRead(void*, uint64_t offset, uint32_t length, void* buffer)
{
    ++g_calls.read;
    g_calls.lastOffset = offset;
    g_calls.lastLength = length;
    memset(buffer, 0xAB, length);
    return DISK_OK;
}
int FakeEmpty(void*, UsedSectorMap*, uint64_t, uint32_t, bool* empty, RangeProgressAdapter,
              RangeProgressRecord*)
{
    ++g_calls.empty;
    *empty = true;
    return DISK_OK;
}
bool FakeCompact(void*)
{
    ++g_calls.compact;
    return true;
}
bool FakeParent(void*)
{
    ++g_calls.parent;
    return true;
}
int FakeUnallocated(void*, UsedSectorMap*, uint64_t, uint32_t, bool* out)
{
    ++g_calls.unallocated;
    *out = true;
    return DISK_OK;
}

// Saves every table on entry and restores it on exit, so that a test may install stand-ins.
struct TableGuard {
    SavedTable<DiskOpenFn> open{DiskOpenTable};
    SavedTable<DiskCloseFn> close{DiskCloseTable};
    SavedTable<DiskGeometryFn> geometry{DiskGeometryTable};
    SavedTable<DiskReadFn> read{DiskReadTable};
    SavedTable<DiskRangeEmptyFn> empty{DiskRangeEmptyTable};
    SavedTable<DiskCanCompactFn> compact{DiskCanCompactTable};
    SavedTable<DiskHasParentFn> parent{DiskHasParentTable};
    SavedTable<DiskRangeUnallocatedFn> unallocated{DiskRangeUnallocatedTable};
};

class DiskDispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls = FakeCalls{};
        DiskCloseTable[kFakeKind] = FakeClose;
        DiskGeometryTable[kFakeKind] = FakeGeometry;
        DiskReadTable[kFakeKind] = FakeRead;
        DiskRangeEmptyTable[kFakeKind] = FakeEmpty;
        DiskCanCompactTable[kFakeKind] = FakeCompact;
        DiskHasParentTable[kFakeKind] = FakeParent;
        DiskRangeUnallocatedTable[kFakeKind] = FakeUnallocated;
    }
    TableGuard guard_;
};

DiskHandle FakeHandle() { return DiskHandle{kFakeKind, Mem_Alloc(16)}; }

}  // namespace

TEST(DiskHandle, InitAndCloseLeaveNoKind)
{
    DiskHandle* h = Disk_Alloc();
    ASSERT_NE(h, nullptr);
    Disk_Init(h);
    EXPECT_EQ(Disk_GetKind(h), DISK_KIND_NONE);
    EXPECT_EQ(Disk_GetObject(h), nullptr);
    Disk_Close(h);
    EXPECT_EQ(Disk_GetKind(h), DISK_KIND_NONE);
    EXPECT_EQ(Disk_GetObject(h), nullptr);
    Mem_Free(h);
}

TEST_F(DiskDispatch, ReachesTheKindsSlotsAndCloseResetsTheHandle)
{
    DiskHandle h = FakeHandle();
    DiskGeometry g{};
    Disk_GetGeometry(&h, &g);
    EXPECT_EQ(g.sectors32, 77u);
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(Disk_Read(&h, 0x123456789ull, 1024, buf.data()), DISK_OK);
    EXPECT_EQ(g_calls.lastOffset, 0x123456789ull);
    EXPECT_EQ(g_calls.lastLength, 1024u);
    bool empty = false, unallocated = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 8, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_TRUE(Disk_CanCompact(&h));
    EXPECT_TRUE(Disk_HasParent(&h));
    EXPECT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 8, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);

    Disk_Close(&h);  // runs the kind's destroy and frees the object (checked by the sanitizer)
    EXPECT_EQ(g_calls.close, 1);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
    EXPECT_EQ(h.object, nullptr);

    // After close nothing reaches the kind's code any more.
    FakeCalls before = g_calls;
    DiskGeometry untouched{1, 2, 3, 4, 5};
    Disk_GetGeometry(&h, &untouched);
    EXPECT_EQ(untouched.sectors32, 1u);
    EXPECT_EQ(Disk_Read(&h, 0, 512, buf.data()), DISK_ERR_ARG);
    EXPECT_EQ(g_calls.read, before.read);
    EXPECT_EQ(g_calls.geometry, before.geometry);
}

TEST_F(DiskDispatch, HandleWithoutObjectNeverRunsKindCode)
{
    // Every kind, including the password-needed state (kind 12 or 13 with no object) and the
    // kind left by the former close (0), with a NULL object.
    const DiskKind kinds[] = {DISK_KIND_NONE,
                              DISK_KIND_VMDK,
                              DISK_KIND_QCOW,
                              DISK_KIND_QCOW2,
                              kFakeKind,
                              DISK_KIND_HDI,
                              DISK_KIND_RAW,
                              DISK_KIND_OVERLAY,
                              DISK_KIND_SPLIT,
                              DISK_KIND_RESIZE,
                              DISK_KIND_ZERO,
                              DISK_KIND_DEVICE,
                              DISK_KIND_PLUGIN,
                              15,
                              -4,
                              99};
    for (DiskKind kind : kinds) {
        SCOPED_TRACE(kind);
        DiskHandle h{kind, nullptr};
        std::vector<uint8_t> buf(512, 0x5A);
        EXPECT_EQ(Disk_Read(&h, 0, 512, buf.data()), DISK_ERR_ARG);
        EXPECT_EQ(buf, std::vector<uint8_t>(512, 0x5A));
        DiskGeometry g{1, 2, 3, 4, 5};
        Disk_GetGeometry(&h, &g);
        EXPECT_EQ(g.sectors32, 1u);
        EXPECT_EQ(g.sectors64, 5u);
        bool empty = true, out = true;
        EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 1, &empty, nullptr, nullptr), DISK_ERR_ARG);
        EXPECT_TRUE(empty);
        EXPECT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 1, &out), DISK_ERR_ARG);
        EXPECT_TRUE(out);
        EXPECT_FALSE(Disk_CanCompact(&h));
        EXPECT_FALSE(Disk_HasParent(&h));
        Disk_Close(&h);
        EXPECT_EQ(h.kind, DISK_KIND_NONE);
        EXPECT_EQ(h.object, nullptr);
    }
    EXPECT_EQ(g_calls.read + g_calls.geometry + g_calls.empty + g_calls.compact + g_calls.parent +
                  g_calls.unallocated + g_calls.close,
              0);
}

TEST_F(DiskDispatch, MissingSlotsAndNegativeKinds)
{
    // A format kind with an object but without the optional slots.
    DiskCanCompactTable[kFakeKind] = nullptr;
    DiskHasParentTable[kFakeKind] = nullptr;
    DiskRangeUnallocatedTable[kFakeKind] = nullptr;
    DiskRangeEmptyTable[kFakeKind] = nullptr;
    DiskReadTable[kFakeKind] = nullptr;
    DiskHandle h = FakeHandle();
    bool empty = true, out = true;
    EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, 1, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(Disk_IsRangeUnallocated(&h, nullptr, 0, 1, &out), DISK_OK);
    EXPECT_FALSE(out);
    EXPECT_FALSE(Disk_CanCompact(&h));
    EXPECT_FALSE(Disk_HasParent(&h));
    uint8_t sector[512];
    EXPECT_EQ(Disk_Read(&h, 0, 512, sector), DISK_ERR_ARG);
    Disk_Close(&h);

    // A split set that holds nothing yet: the optional queries are refused without touching
    // anything. (The other built kinds are checked with real objects in builtin_disks_test,
    // plug-in disks in plugin_test.)
    const DiskKind builtins[] = {DISK_KIND_SPLIT};
    for (DiskKind kind : builtins) {
        SCOPED_TRACE(kind);
        SplitDisk* split = SplitDisk_Alloc();
        SplitDisk_Init(split);
        DiskHandle b{kind, split};
        EXPECT_FALSE(Disk_CanCompact(&b));
        EXPECT_FALSE(Disk_HasParent(&b));
        out = true;
        EXPECT_EQ(Disk_IsRangeUnallocated(&b, nullptr, 0, 1, &out), DISK_ERR_ARG);
        EXPECT_TRUE(out);
        empty = true;
        EXPECT_EQ(Disk_IsRangeEmpty(&b, nullptr, 0, 1, &empty, nullptr, nullptr), DISK_ERR_ARG);
        EXPECT_TRUE(empty);
        EXPECT_EQ(Disk_Read(&b, 0, 512, sector), DISK_ERR_ARG);
        EXPECT_EQ(Disk_DetachResizeView(&b), nullptr);
        Disk_Close(&b);
        EXPECT_EQ(b.kind, DISK_KIND_NONE);
    }
}

TEST(DiskDispatchBuiltin, NegativeKindsHaveNoOptionalQueries)
{
    DiskGeometry g{0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, 1000);
    DiskHandle zero;
    Disk_Init(&zero);
    ASSERT_EQ(Disk_OpenZero(&zero, &g), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&zero), DISK_KIND_ZERO);
    EXPECT_FALSE(Disk_CanCompact(&zero));
    EXPECT_FALSE(Disk_HasParent(&zero));
    bool out = true, empty = false;
    EXPECT_EQ(Disk_IsRangeUnallocated(&zero, nullptr, 0, 1, &out), DISK_ERR_ARG);
    EXPECT_TRUE(out);
    EXPECT_EQ(Disk_IsRangeEmpty(&zero, nullptr, 0, 1000, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(Disk_DetachResizeView(&zero), nullptr);
    EXPECT_EQ(Disk_GetKind(&zero), DISK_KIND_ZERO);
    Disk_Close(&zero);
    EXPECT_EQ(Disk_GetKind(&zero), DISK_KIND_NONE);
}

TEST(DiskDispatchBuiltin, DetachResizeViewHandsBackAUsableDisk)
{
    TempDir dir;
    std::string path = dir.file("base.img");
    std::vector<uint8_t> data = RandomBytes(8 * 512, 21);
    WriteFile(path, data);
    DiskGeometry g{8, 1, 8, 512, 0};
    DiskHandle* base = Disk_Alloc();
    Disk_Init(base);
    ASSERT_EQ(Disk_OpenRaw(base, path.c_str(), true, 0, &g), DISK_OK);
    DiskHandle view;
    Disk_Init(&view);
    ASSERT_EQ(Disk_OpenResized(&view, base, true, 16), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&view), DISK_KIND_RESIZE);

    DiskHandle* back = Disk_DetachResizeView(&view);
    EXPECT_EQ(back, base);
    EXPECT_EQ(Disk_GetKind(&view), DISK_KIND_NONE);
    EXPECT_EQ(Disk_GetObject(&view), nullptr);
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(Disk_Read(base, 7 * 512, 512, sector.data()), DISK_OK);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), data.begin() + 7 * 512));
    Disk_Close(&view);  // nothing left to close
    Disk_Close(base);
    Mem_Free(base);
}

TEST_F(DiskDispatch, DetachResizeViewLeavesOtherKindsAlone)
{
    DiskHandle h{DISK_KIND_VHD, Mem_Alloc(16)};
    void* object = h.object;
    EXPECT_EQ(Disk_DetachResizeView(&h), nullptr);
    EXPECT_EQ(h.kind, DISK_KIND_VHD);
    EXPECT_EQ(h.object, object);
    Mem_Free(object);
}

TEST(DiskGeometryHelpers, TotalCarriedByExactlyOneCount)
{
    struct Row {
        uint64_t n;
        uint32_t s32;
        uint64_t s64;
        bool fits32;
    } rows[] = {
        {0, 0, 0, true},
        {1, 1, 0, true},
        {0xFFFFFFFFull, 0xFFFFFFFFu, 0, true},
        {0x100000000ull, 0, 0x100000000ull, false},
        {UINT64_MAX, 0, UINT64_MAX, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.n);
        DiskGeometry g{123, 16, 63, 512, 456};
        Geometry_SetTotalSectors(&g, r.n);
        EXPECT_EQ(g.sectors32, r.s32);
        EXPECT_EQ(g.sectors64, r.s64);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), r.n);
        EXPECT_EQ(Geometry_FitsIn32Bits(&g), r.fits32);
    }
}

TEST(DiskGeometryHelpers, ByteSizeFitsInt64)
{
    struct Row {
        uint64_t total;
        uint32_t bps;
        bool fits;
    } rows[] = {
        {100, 0, false},  // no sector size: no size at all (used to divide by zero)
        {0, 0, false},
        {(1ull << 54) - 1, 512, true},
        {1ull << 54, 512, false},  // exactly 2^63 bytes
        {(1ull << 63) - 1, 1, true},
        {1ull << 63, 1, false},
        {UINT64_MAX, 4096, false},
        {0, 4096, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.total);
        DiskGeometry g{0, 16, 63, r.bps, 0};
        Geometry_SetTotalSectors(&g, r.total);
        EXPECT_EQ(Geometry_ByteSizeFitsInt64(&g), r.fits);
    }
}

TEST(DiskGeometryHelpers, RangeChecksDoNotWrap)
{
    struct Row {
        uint64_t total;
        uint32_t bps;
        uint64_t offset;
        uint32_t length;
        bool inside;
    } bytes[] = {
        {1000, 512, 999 * 512, 512, true},       // ends at the disk's end
        {1000, 512, 999 * 512 + 1, 512, false},  // one byte further
        {1000, 512, 512000, 0, true},
        {1000, 512, 512001, 0, false},
        {1000, 512, UINT64_MAX, 2, false},  // offset + length wraps to 1
        {1000, 512, UINT64_MAX - 0xFFFF, 0xFFFFFFFF, false},
        {1ull << 55, 512, UINT64_MAX, 1, true},  // a disk of exactly 2^64 bytes
        {1ull << 55, 512, UINT64_MAX - 511, 512, true},
        {(1ull << 55) - 1, 512, UINT64_MAX - 511, 512, false},
        {1ull << 60, 4096, UINT64_MAX, 0xFFFFFFFF, true},  // size needs more than 64 bits
        {0, 512, 0, 1, false},
    };
    for (const Row& r : bytes) {
        SCOPED_TRACE(r.offset);
        DiskGeometry g{0, 16, 63, r.bps, 0};
        Geometry_SetTotalSectors(&g, r.total);
        EXPECT_EQ(Geometry_IsByteRangeInside(r.offset, r.length, &g), r.inside);
    }

    struct SectorRow {
        uint64_t total;
        uint64_t first;
        uint32_t count;
        bool inside;
    } sectors[] = {
        {1000, 999, 1, true},
        {1000, 1000, 0, true},
        {1000, 1000, 1, false},
        {1000, 0, 1001, false},
        {1000, UINT64_MAX, 2, false},  // first + count wraps to 1
        {UINT64_MAX, UINT64_MAX - 5, 5, true},
        {UINT64_MAX, UINT64_MAX - 5, 6, false},
        {0x100000000ull, 0xFFFFFFFFull, 1, true},
    };
    for (const SectorRow& r : sectors) {
        SCOPED_TRACE(r.first);
        DiskGeometry g{0, 16, 63, 512, 0};
        Geometry_SetTotalSectors(&g, r.total);
        EXPECT_EQ(Geometry_IsSectorRangeInside(r.first, r.count, &g), r.inside);
    }
}

namespace {
struct ProgressSeen {
    uint64_t done, total;
    void* user;
    int calls;
    bool answer;
};
bool RecordProgress(uint64_t done, uint64_t total, void* user)
{
    ProgressSeen* seen = static_cast<ProgressSeen*>(user);
    seen->done = done;
    seen->total = total;
    seen->user = user;
    ++seen->calls;
    return seen->answer;
}
}  // namespace

TEST(DiskProgress, RangeAdapterContinuesTheWritersProgress)
{
    ProgressSeen seen{0, 0, nullptr, 0, true};
    RangeProgressRecord record{RecordProgress, &seen, 1000, 5000, 7};
    RangeProgressAdapter adapter = Disk_GetRangeProgressAdapter();
    ASSERT_NE(adapter, nullptr);
    EXPECT_TRUE(adapter(25, &record));
    EXPECT_EQ(seen.done, 1032u);
    EXPECT_EQ(seen.total, 5000u);
    EXPECT_EQ(seen.user, &seen);
    seen.answer = false;
    EXPECT_FALSE(adapter(30, &record));
    EXPECT_EQ(seen.done, 1037u);
    EXPECT_EQ(seen.calls, 2);
}
