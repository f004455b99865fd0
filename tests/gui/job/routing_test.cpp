// The wizard's page order as tables over the ConversionJob: every forward and backward row,
// entry defaults, back cleanup, the job reset, the trim round trip, the cylinder-boundary page
// entered and skipped, zero heads, and destination plug-ins asked about the geometry.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "disk/plugin.h"
#include "disk/plugins/standin_build.h"
#include "disk/plugins/standin_state.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "gui/frame/messages.h"
#include "gui/job/routing.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace {

DiskGeometry Geo(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps = 512)
{
    DiskGeometry g = {0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(&g, total);
    return g;
}

// A disk handle for the routing to look at: a real zero disk, or a bare object for the kinds
// whose pages the routing picks (Bochs images answer through substituted table slots; split sets
// and plug-in disks are never closed by the rows that use them, see DropSource).
DiskHandle* MakeDisk(DiskKind kind, const DiskGeometry& g)
{
    DiskHandle* h = Disk_Alloc();
    Disk_Init(h);
    if (kind == DISK_KIND_ZERO) {
        EXPECT_EQ(Disk_OpenZero(h, &g), DISK_OK);
    } else {
        h->kind = kind;
        h->object = Mem_Alloc(64);
        memset(h->object, 0, 64);
    }
    return h;
}

// The Bochs kinds answer their geometry and close through their table slots, substituted here.
DiskGeometry gFakeGeometry;
void FakeGeometry(void*, DiskGeometry* out) { *out = gFakeGeometry; }
void FakeClose(void*) {}
const DiskKind kFakedKinds[] = {DISK_KIND_BOCHS_REDOLOG, DISK_KIND_BOCHS_SPARSE};

int gBochsBaseClosed = 0;
void CountBochsBaseClose(void*) { ++gBochsBaseClosed; }

UsedSectorMap* MakeMap()
{
    UsedSectorMap* map = UsedMap_Alloc();
    UsedMap_Init(map);
    return map;
}

class RoutingTest : public ::testing::Test {
protected:
    ConversionJob job;
    testsupport::TempDir dir;
    DiskGeometryFn savedGeometry[2] = {};
    DiskCloseFn savedClose[2] = {};

    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            savedGeometry[i] = DiskGeometryTable[kFakedKinds[i]];
            savedClose[i] = DiskCloseTable[kFakedKinds[i]];
            DiskGeometryTable[kFakedKinds[i]] = FakeGeometry;
            DiskCloseTable[kFakedKinds[i]] = FakeClose;
        }
        savedCloseBase = Routing_CloseBochsBase;
        Routing_CloseBochsBase = CountBochsBaseClose;
        gBochsBaseClosed = 0;
    }
    void TearDown() override
    {
        DropSource();
        ConversionJob_Release(&job);
        for (int i = 0; i < 2; ++i) {
            DiskGeometryTable[kFakedKinds[i]] = savedGeometry[i];
            DiskCloseTable[kFakedKinds[i]] = savedClose[i];
        }
        Routing_CloseBochsBase = savedCloseBase;
    }
    void (*savedCloseBase)(void*) = nullptr;

    // Takes a bare split-set object out of the job without running the split set's close.
    void DropSource()
    {
        if (job.sourceDisk == nullptr || job.sourceDisk->kind != DISK_KIND_SPLIT) return;
        Mem_Free(job.sourceDisk->object);
        Mem_Free(job.sourceDisk);
        job.sourceDisk = nullptr;
    }

    int Next(int page, int* message = nullptr)
    {
        int m = -2;
        int q = Routing_GetNextPage(&job, page, &m);
        if (message) *message = m;
        return q;
    }
    int Back(int page) { return Routing_GetPrevPage(&job, page); }

    void OpenSource(DiskKind kind, const DiskGeometry& g = Geo(2048, 16, 63))
    {
        DropSource();
        ConversionJob_ReleaseSource(&job);
        job.sourceKind = JOB_SOURCE_IMAGE;
        job.sourceDisk = MakeDisk(kind, g);
    }
};

// ---- Forward rows ---------------------------------------------------------------------------------

TEST_F(RoutingTest, ForwardFromTheSourcePageByOpenedKind)
{
    struct Case {
        DiskKind kind;
        int page;
    } cases[] = {{DISK_KIND_BOCHS_REDOLOG, 3},
                 {DISK_KIND_BOCHS_SPARSE, 2},
                 {DISK_KIND_SPLIT, 5},
                 {DISK_KIND_ZERO, 7},
                 {DISK_KIND_PLUGIN, 7}};
    for (const Case& c : cases) {
        gFakeGeometry = Geo(5000, 15, 17);
        job.bgCompanionPath = "old base";
        job.hsHeads = job.psHeads = job.bgHeads = 99;
        OpenSource(c.kind);
        int message = 0;
        EXPECT_EQ(Next(0, &message), c.page) << c.kind;
        EXPECT_EQ(message, ROUTING_NO_MESSAGE);
        if (c.page == 2) {
            EXPECT_EQ(job.hsHeads, 15u);
            EXPECT_EQ(job.hsSectors, 17u);
        }
        if (c.page == 3) {
            EXPECT_EQ(job.bgCompanionPath, FXString(""));
            EXPECT_EQ(job.bgHeads, 15u);
            EXPECT_EQ(job.bgSectors, 17u);
        }
        if (c.page == 5) {
            EXPECT_EQ(job.psHeads, 16u);
            EXPECT_EQ(job.psSectors, 63u);
        }
        EXPECT_NE(job.sourceDisk, nullptr);  // forward routing never closes the source
    }
}

TEST_F(RoutingTest, ForwardFromTheSourcePageWithoutADisk)
{
    // Raw image file: measured and given the VHD rule's geometry.
    testsupport::WriteFile(dir.file("raw.img"), std::vector<uint8_t>(1 << 20, 1));
    testsupport::WriteFile(dir.file("empty.img"), {});
    job.sourceKind = JOB_SOURCE_RAW_FILE;
    job.sourcePath = dir.file("raw.img").c_str();
    job.rawOffset = 77;
    int message = 0;
    EXPECT_EQ(Next(0, &message), 1);
    EXPECT_EQ(message, ROUTING_NO_MESSAGE);
    EXPECT_EQ(job.rawOffset, 0u);
    DiskGeometry expected;
    ASSERT_TRUE(Vhd_ComputeGeometry(1 << 20, &expected));
    EXPECT_EQ(memcmp(&job.rawGeometry, &expected, sizeof expected), 0);

    for (const char* name : {"empty.img", "missing.img"}) {
        job.sourcePath = dir.file(name).c_str();
        EXPECT_EQ(Next(0, &message), -1) << name;
        EXPECT_EQ(message, MSG_RAW_CANNOT_OPEN) << name;
    }

    // New blank disk.
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    job.newSizeUnit = 2;
    job.newOwnGeometry = 1;
    job.newHeads = job.newSectors = 9;
    job.newSectorSize = 4096;
    EXPECT_EQ(Next(0, &message), 6);
    EXPECT_EQ(job.newSizeUnit, 1);
    EXPECT_EQ(job.newSize, 8388608u);
    EXPECT_EQ(job.newOwnGeometry, 0);
    EXPECT_EQ(job.newHeads, 0u);
    EXPECT_EQ(job.newSectors, 0u);
    EXPECT_EQ(job.newSectorSize, 512u);

    // Block device (a regular file answers like a device without drive geometry).
    job.sourceKind = JOB_SOURCE_DEVICE;
    job.sourceDevice = dir.file("raw.img").c_str();
    job.deviceOffset = 5;
    EXPECT_EQ(Next(0, &message), 4);
    EXPECT_EQ(job.deviceOffset, 0u);
    EXPECT_EQ(Geometry_GetTotalSectors(&job.deviceGeometry), 2048u);
    EXPECT_EQ(job.deviceGeometry.bytes_per_sector, 512u);
    job.sourceDevice = dir.file("no-such-device").c_str();
    EXPECT_EQ(Next(0, &message), -1);
    EXPECT_EQ(message, MSG_DEVICE_CANNOT_OPEN);
}

TEST_F(RoutingTest, ForwardThroughTheMiddlePages)
{
    // Pages 1 to 6 lead to the destination type, whose entry clears the destination choice.
    for (int p = 1; p <= 6; ++p) {
        job.destKind = DEST_VHD_FIXED;
        job.destPluginIndex = 3;
        job.volumeList = MakeMap();
        EXPECT_EQ(Next(p), 7) << p;
        EXPECT_EQ(job.destKind, 0);
        EXPECT_EQ(job.destPluginIndex, -1);
        EXPECT_EQ(job.volumeList, nullptr);  // released, not lost
    }

    // Destination type to geometry, with the geometry page's defaults.
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.sourceGeometry = Geo(123456, 15, 17, 4096);
    for (int forced = 0; forced <= 1; ++forced) {
        job.geometryForcedAuto = (uint8_t)forced;
        job.destKind = DEST_VHDX;
        EXPECT_EQ(Next(7), 8);
        EXPECT_EQ(job.manualTotalSectors, 123456u);
        EXPECT_EQ(job.manualSectorSize, 4096u);
        EXPECT_EQ(job.geometryManual, forced ? 0 : 1);
        EXPECT_EQ(job.manualHeads, forced ? 0u : 15u);
        EXPECT_EQ(job.manualSectors, forced ? 0u : 17u);
    }

    // A new blank disk skips the geometry page.
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    job.destKind = DEST_VHD_FIXED;
    EXPECT_EQ(Next(7), 14);

    // Geometry page to the option page of each built-in destination; anything else stays.
    job.sourceKind = JOB_SOURCE_IMAGE;
    for (int d = 0; d < 22; ++d) {
        job.destKind = d;
        EXPECT_EQ(Next(8), 9 + d) << d;
    }
    int message = 0;
    for (int d : {23, -1, 100}) {
        job.destKind = d;
        EXPECT_EQ(Next(8, &message), -1) << d;
        EXPECT_EQ(message, ROUTING_NO_MESSAGE);
    }

    // Option pages lead to the cylinder-boundary page (skipped here: whole cylinders), then the
    // destination path and the run; Next after the run resets the job and starts over.
    job.destKind = DEST_VMDK;
    job.destGeometry = Geo(1008, 16, 63);
    for (int p = 9; p <= 30; ++p) {
        job.destName = "x";
        EXPECT_EQ(Next(p), 32) << p;
        EXPECT_EQ(job.destName, FXString(""));
    }
    job.destName = "y";
    EXPECT_EQ(Next(31), 32);
    EXPECT_EQ(job.destName, FXString(""));
    EXPECT_EQ(Next(32), 33);

    OpenSource(DISK_KIND_ZERO);
    job.volumeList = MakeMap();
    job.sourceChoice = 2;
    job.sourceText = "typed";
    job.sourceListIndex = 3;
    job.destPath = "/tmp/out.vmdk";
    job.destKind = DEST_PARALLELS_FILE;
    EXPECT_EQ(Next(33), 0);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(job.sourceChoice, 0);
    EXPECT_EQ(job.sourceText, FXString(""));
    EXPECT_EQ(job.sourceListIndex, 0);
    // The next run starts from the previous destination.
    EXPECT_EQ(job.destPath, FXString("/tmp/out.vmdk"));
    EXPECT_EQ(job.destKind, 7);

    for (int p : {-1, 34, 99}) EXPECT_EQ(Next(p), -1) << p;
}

TEST_F(RoutingTest, OptionPageEntryDefaults)
{
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.workGeometry = Geo(16 * 63 * 100 + 5, 16, 63);
    job.destGeometry = Geo(1008, 16, 63);
    // Scribble over every option field, then enter each option page.
    auto scribble = [&] {
        job.formatFlags = 9;
        job.vmdkList4 = job.vmdkRadio = job.vmdkList14 = job.vmdkList3 = 9;
        job.vmdkCheck = job.vmdkSplit = 1;
        job.vmdkSplitSectors = 9;
        job.vhdxBlockIndex = job.vhdxList1 = job.vhdxList2 = 9;
        job.vhdxCheck = 1;
        job.vhdLayoutIndex = job.vhdCreatorIndex = job.vhdFixedCreatorIndex = 9;
        job.parallelsRadio = 9;
        job.parallelsFlag = 1;
        job.parallelsNumber = 9;
        job.bochsGrowingList = job.bochsSparseList = 9;
        job.qcowKeyText = job.qcow2KeyText = "key";
        job.qcow2ClusterIndex = 9;
        job.vdiList4 = job.vdiList3 = 9;
        job.vdiCheck = 1;
        for (uint32_t& v : job.splitValues) v = 9;
        job.splitCheck1 = job.splitCheck2 = 1;
        job.splitNumber = 9;
    };
    for (int d = 0; d < 22; ++d) {
        scribble();
        job.destKind = d;
        ASSERT_EQ(Next(8), 9 + d);
        switch (9 + d) {
        case 9:
            EXPECT_EQ(job.vmdkList4 + job.vmdkRadio + job.vmdkList3 + job.vmdkSplitSectors, 0u);
            EXPECT_EQ(job.vmdkList14, 11u);
            EXPECT_EQ(job.vmdkCheck + job.vmdkSplit, 0);
            break;
        case 10:
        case 11:
        case 16:
            EXPECT_EQ(job.formatFlags, 0u);
            break;
        case 12:
            EXPECT_EQ(job.vhdxBlockIndex, 5u);
            EXPECT_EQ(job.vhdxList1 + job.vhdxList2 + job.vhdxCheck, 0u);
            break;
        case 13:
            EXPECT_EQ(job.vhdLayoutIndex, 5u);
            EXPECT_EQ(job.vhdCreatorIndex, 4u);
            break;
        case 14:
            EXPECT_EQ(job.vhdFixedCreatorIndex, 4u);
            break;
        case 15:
            EXPECT_EQ(job.parallelsRadio + job.parallelsFlag + job.parallelsNumber, 0u);
            break;
        case 17:
            EXPECT_EQ(job.bochsGrowingList, 1u);
            break;
        case 18:
            EXPECT_EQ(job.bochsSparseList, 1u);
            break;
        case 19:
            EXPECT_EQ(job.qcowKeyText, FXString(""));
            EXPECT_EQ(job.formatFlags, 0u);
            break;
        case 20:
            EXPECT_EQ(job.qcow2ClusterIndex, 7u);
            EXPECT_EQ(job.qcow2KeyText, FXString(""));
            EXPECT_EQ(job.formatFlags, 0u);
            break;
        case 21:
            EXPECT_EQ(job.vdiList4, 3u);
            EXPECT_EQ(job.vdiCheck + job.vdiList3, 0u);
            break;
        case 29: {
            uint32_t expected[5] = {0, 100, 16, 63, 5};
            EXPECT_EQ(memcmp(job.splitValues, expected, sizeof expected), 0);
            EXPECT_EQ(job.splitCheck1 + job.splitCheck2, 0);
            EXPECT_EQ(job.splitNumber, 2048u);
            break;
        }
        default:
            // Pages without defaults leave the fields alone.
            EXPECT_EQ(job.formatFlags, 9u) << 9 + d;
            EXPECT_EQ(job.vdiList4, 9u);
            break;
        }
    }
}

// ---- Cylinder-boundary page and zero heads ---------------------------------------------------------

TEST_F(RoutingTest, CylinderPageEnteredAndSkipped)
{
    struct Case {
        int32_t destKind;
        DiskGeometry dest;
        uint8_t cylinderBased;
        int page;
        int32_t rounding;
    } cases[] = {
        {0, Geo(1000, 16, 63), 1, 31, 1},  // not whole cylinders: shown, rounding up
        {0, Geo(1000, 16, 63), 0, 31, 0},  // keeps the total by default
        {0, Geo(1008, 16, 63), 1, 32, -1},
        {0, Geo(0x100000000ull + 1, 16, 63), 0, 31, 0},  // 64-bit totals count in full
        {0, Geo(1000, 0, 63), 1, 32, -1},                // no heads: nothing to round to
        {0, Geo(1000, 16, 0), 1, 32, -1},                // no sectors per track
        {4, Geo(1000, 16, 63), 1, 31, 1},                // VHD rule
        {5, Geo(1008, 16, 63), 1, 32, -1},
        {5, Geo(1000, 0, 0), 1, 32, -1},
    };
    for (const Case& c : cases) {
        job.destKind = c.destKind;
        job.destGeometry = c.dest;
        job.cylinderBased = c.cylinderBased;
        job.cylinderRounding = -1;
        job.cylinderPageNeeded = 7;
        job.destName = "keep?";
        EXPECT_EQ(Next(9 + c.destKind), c.page) << c.destKind << " " << c.dest.heads;
        EXPECT_EQ(job.cylinderPageNeeded, c.page == 31 ? 1 : 0);
        EXPECT_EQ(job.cylinderRounding, c.rounding);
        EXPECT_EQ(job.destName == FXString(""), c.page == 32);
        // Back from the destination path returns through the page only when it was shown.
        EXPECT_EQ(Back(32), c.page == 31 ? 31 : 9 + c.destKind);
        EXPECT_EQ(Back(31), 9 + c.destKind);
    }
}

TEST_F(RoutingTest, ZeroHeadsDoNotDivide)
{
    struct Case {
        DiskGeometry g;
        uint32_t cylinders;
        bool whole;
    } cases[] = {
        {Geo(1001, 0, 0), 0, true},    {Geo(1001, 0, 63), 0, true},
        {Geo(1001, 16, 0), 0, true},   {Geo(1008, 16, 63), 1, true},
        {Geo(1009, 16, 63), 1, false}, {Geo(1ull << 53, 1, 1), 0xFFFFFFFFu, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Routing_CylinderCount(&c.g), c.cylinders);
        EXPECT_EQ(Routing_IsWholeCylinders(0, &c.g), c.whole);
    }

    // Partition saving entered with a geometry without heads.
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.workGeometry = Geo(5000, 0, 0);
    job.destKind = DEST_SPLIT;
    EXPECT_EQ(Next(8), 29);
    EXPECT_EQ(job.splitValues[1], 0u);
    EXPECT_EQ(job.splitValues[2], 0u);
}

// ---- Backward rows ----------------------------------------------------------------------------------

TEST_F(RoutingTest, BackwardRows)
{
    for (int p : {1, 4, 6}) {
        OpenSource(DISK_KIND_ZERO);
        EXPECT_EQ(Back(p), 0) << p;
        EXPECT_NE(job.sourceDisk, nullptr) << p;
    }
    for (int p : {2, 3, 5}) {
        OpenSource(DISK_KIND_ZERO);
        EXPECT_EQ(Back(p), 0) << p;
        EXPECT_EQ(job.sourceDisk, nullptr) << p;
    }

    // From the destination type: the map goes; the source stays for the pages that edit it.
    struct Case {
        DiskKind kind;  // DISK_KIND_NONE: no disk
        int32_t sourceKind;
        int page;
        bool diskKept;
    } cases[] = {
        {DISK_KIND_BOCHS_SPARSE, JOB_SOURCE_IMAGE, 2, true},
        {DISK_KIND_BOCHS_REDOLOG, JOB_SOURCE_IMAGE, 3, true},
        {DISK_KIND_SPLIT, JOB_SOURCE_IMAGE, 5, true},
        // Any other kind: the source is closed and the source kind decides.
        {DISK_KIND_ZERO, JOB_SOURCE_NEW_DISK, 6, false},
        {DISK_KIND_ZERO, JOB_SOURCE_RAW_FILE, 1, false},
        {DISK_KIND_ZERO, JOB_SOURCE_DEVICE, 4, false},
        {DISK_KIND_ZERO, JOB_SOURCE_IMAGE, 0, false},
        {DISK_KIND_PLUGIN, JOB_SOURCE_IMAGE, 0, false},
        {DISK_KIND_NONE, JOB_SOURCE_IMAGE, 0, false},
    };
    for (const Case& c : cases) {
        gBochsBaseClosed = 0;
        if (c.kind == DISK_KIND_NONE)
            ConversionJob_ReleaseSource(&job);
        else
            OpenSource(c.kind);
        job.sourceKind = c.sourceKind;
        job.volumeList = MakeMap();
        EXPECT_EQ(Back(7), c.page) << c.kind;
        EXPECT_EQ(job.volumeList, nullptr);
        EXPECT_EQ(job.sourceDisk != nullptr, c.diskKept) << c.kind;
        // Arriving back on the redolog page closes the base image it attached.
        EXPECT_EQ(gBochsBaseClosed, c.page == 3 ? 1 : 0);
    }

    EXPECT_EQ(Back(8), 7);
    for (int p = 9; p <= 30; ++p) {
        job.sourceKind = JOB_SOURCE_NEW_DISK;
        EXPECT_EQ(Back(p), 7) << p;
        job.sourceKind = JOB_SOURCE_IMAGE;
        EXPECT_EQ(Back(p), 8) << p;
    }
    job.cylinderPageNeeded = 0;
    job.destKind = DEST_PLUGIN;
    EXPECT_EQ(Back(31), 7);
    EXPECT_EQ(Back(32), 7);
    job.destKind = DEST_KIND_COUNT;
    EXPECT_EQ(Back(31), -1);
    EXPECT_EQ(Back(32), -1);
    job.cylinderPageNeeded = 1;
    EXPECT_EQ(Back(32), 31);

    job.destKind = DEST_VMDK;
    EXPECT_EQ(Back(33), 32);
    for (int p : {0, -1, 34}) EXPECT_EQ(Back(p), -1) << p;
}

// A trim goes straight to the run; after it, Back starts over with a clean job, and a later
// device or new-disk choice converts instead of trimming a released source.
TEST_F(RoutingTest, TrimRoundTrip)
{
    OpenSource(DISK_KIND_ZERO);
    job.volumeList = MakeMap();
    job.trimInPlace = 1;
    job.trimOption = 1;
    EXPECT_EQ(Next(0), 33);

    // The run releases the source and the map after the compaction.
    ConversionJob_ReleaseMap(&job);
    ConversionJob_ReleaseSource(&job);

    job.sourceChoice = 0;
    EXPECT_EQ(Back(33), 0);
    EXPECT_EQ(job.trimInPlace, 0);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);

    job.sourceKind = JOB_SOURCE_NEW_DISK;
    EXPECT_EQ(Next(0), 6);
    job.sourceKind = JOB_SOURCE_DEVICE;
    job.sourceDevice = dir.file("none").c_str();
    int message = 0;
    EXPECT_EQ(Next(0, &message), -1);
    EXPECT_EQ(message, MSG_DEVICE_CANNOT_OPEN);

    // Even if a trim request were left behind, it never reaches the run without its source.
    job.trimInPlace = 1;
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    EXPECT_EQ(Next(0), 6);
    EXPECT_EQ(job.trimInPlace, 0);
}

// ---- Destination plug-ins -----------------------------------------------------------------------------

class RoutingPluginTest : public RoutingTest {
protected:
    static testsupport::TempDir* modules;

    static void SetUpTestSuite()
    {
        if (modules != nullptr) return;
        static testsupport::TempDir dir;
        modules = &dir;
        std::string output;
        ASSERT_TRUE(standin::Build(
            {{dir.file("check64.vpl"), standin::FullFlags()},
             {dir.file("check32.vpl"),
              "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_OUTPUT -DWITH_WRITE -DWITH_CHECK"}},
            &output))
            << output;
    }

    // Makes `variant` the chosen destination plug-in (loaded, as the destination-type page
    // leaves it) and answers its steering record.
    StandinState* Choose(const std::string& variant)
    {
        ConversionJob_Release(&job);
        job.plugins.clear();
        job.destPlugins.clear();
        PluginListEntry entry;
        entry.path = modules->file(variant + ".vpl").c_str();
        entry.module = Plugin_Alloc();
        Plugin_Init(entry.module);
        EXPECT_EQ(Plugin_Load(entry.module, entry.path.text()), DISK_OK);
        job.plugins.push_back(entry);
        job.destPlugins.push_back(0);
        job.destPluginIndex = 0;
        job.destKind = DEST_PLUGIN;
        StandinState* s = static_cast<StandinState*>(dlsym(entry.module->library, "standin"));
        memset(s, 0, sizeof *s);
        return s;
    }
};
testsupport::TempDir* RoutingPluginTest::modules = nullptr;

TEST_F(RoutingPluginTest, GeometryCheckOnTheDestinationTypeAndGeometryPages)
{
    StandinState* s = Choose("check64");
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.sourceGeometry = Geo(0x100000000ull + 63, 16, 63);
    int message = 0;
    EXPECT_EQ(Next(7, &message), 8);
    EXPECT_EQ(s->check64s, 1);
    EXPECT_EQ(s->checkedSectors, 0x100000000ull + 63);
    s->checkAnswer = 1;
    EXPECT_EQ(Next(7, &message), -1);
    EXPECT_EQ(message, MSG_OPTIONS_CANNOT_HOLD);

    // From the geometry page the working geometry is asked; accepted, it becomes the
    // destination geometry and the cylinder-boundary page follows when it is not whole.
    s->checkAnswer = 0;
    job.destPluginIndex = 0;
    job.destKind = DEST_PLUGIN;
    job.cylinderBased = 1;
    job.workGeometry = Geo(1000, 16, 63);
    EXPECT_EQ(Next(8, &message), 31);
    EXPECT_EQ(job.cylinderBased, 0);
    EXPECT_EQ(memcmp(&job.destGeometry, &job.workGeometry, sizeof(DiskGeometry)), 0);
    EXPECT_EQ(memcmp(&job.finalGeometry, &job.workGeometry, sizeof(DiskGeometry)), 0);
    EXPECT_EQ(job.cylinderRounding, 0);
    // A source without heads (kept by automatic geometry) skips it without dividing.
    job.workGeometry = Geo(1000, 0, 0);
    EXPECT_EQ(Next(8, &message), 32);
    s->checkAnswer = 2;
    EXPECT_EQ(Next(8, &message), -1);
    EXPECT_EQ(message, MSG_OPTIONS_CANNOT_HOLD);

    // No plug-in chosen, or not loaded: refused.
    job.destPluginIndex = -1;
    EXPECT_EQ(Next(8, &message), -1);
    EXPECT_EQ(message, MSG_OPTIONS_CANNOT_HOLD);
}

TEST_F(RoutingPluginTest, ThirtyTwoBitCheckNeverSeesATruncatedTotal)
{
    StandinState* s = Choose("check32");
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.workGeometry = Geo(0x100000000ull + 1008, 16, 63);
    int message = 0;
    EXPECT_EQ(Next(8, &message), -1);
    EXPECT_EQ(message, MSG_OPTIONS_CANNOT_HOLD);
    EXPECT_EQ(s->checks, 0);
    job.workGeometry = Geo(1008, 16, 63);
    EXPECT_EQ(Next(8, &message), 32);
    EXPECT_EQ(s->checks, 1);
    EXPECT_EQ(s->checkedSectors, 1008u);
}

TEST_F(RoutingPluginTest, OutputContextIsReleasedThroughThePlugin)
{
    StandinState* s = Choose("check64");
    PluginModule* module = job.plugins[0].module;

    // Back from the run destroys the context the destination page made.
    job.pluginDest = Plugin_CreateOutputContext(module);
    EXPECT_EQ(Back(33), 32);
    EXPECT_EQ(job.pluginDest, nullptr);
    EXPECT_EQ(s->outputsFreed, 1);

    // The reset does the same.
    job.pluginDest = Plugin_CreateOutputContext(module);
    EXPECT_EQ(Next(33), 0);
    EXPECT_EQ(job.pluginDest, nullptr);
    EXPECT_EQ(s->outputsFreed, 2);

    // The end of the wizard releases the context and unloads every module (a reference of our
    // own keeps the library, and so its record, readable afterwards).
    void* keep = dlopen(job.plugins[0].path.text(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(keep, nullptr);
    job.pluginDest = Plugin_CreateOutputContext(module);
    ConversionJob_Release(&job);
    EXPECT_EQ(s->outputsFreed, 3);
    dlclose(keep);
    EXPECT_EQ(job.pluginDest, nullptr);
    EXPECT_EQ(job.destPluginIndex, -1);
    EXPECT_EQ(job.plugins[0].module, nullptr);
}

}  // namespace
