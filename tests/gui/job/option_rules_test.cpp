// The rules of the destination option pages as tables: one row per destination page for the
// destination geometry, the capability checks that refuse what a format cannot hold (never
// cutting the source), and the cylinder rounding with its re-check.
#include <gtest/gtest.h>

#include "formats/qcow2/qcow2_writer.h"

#include <cstring>

#include "disk/emulator_images.h"
#include "formats/cowd/cowd.h"
#include "gui/job/convert_run.h"
#include "gui/job/option_rules.h"

namespace {

DiskGeometry Geo(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps = 512)
{
    DiskGeometry g;
    memset(&g, 0, sizeof g);
    Geometry_SetTotalSectors(&g, total);
    g.heads = heads;
    g.sectors_per_track = spt;
    g.bytes_per_sector = bps;
    return g;
}

struct RuleRow {
    int page;
    int32_t dest;
    DiskGeometry work;
    uint8_t recompute;
    uint32_t vmdkRadio;
    DiskGeometry expected;
    uint8_t cylinderBased;
};

TEST(OptionRules, DestinationGeometryOnePerPage)
{
    const RuleRow rows[] = {
        // VMDK: kept; IDE default; SCSI default in whole MiB (never less than the source).
        {9, 0, Geo(1000, 15, 50), 0, 0, Geo(1000, 15, 50), 0},
        {9, 0, Geo(1000, 15, 50), 1, 0, Geo(1000, 16, 63), 0},
        {9, 0, Geo(1000, 15, 50), 1, 2, Geo(2048, 64, 32), 0},
        {9, 0, Geo(5000000, 0, 0), 0, 1, Geo(5001216, 255, 63), 0},
        // VHDX: the working geometry as it is, recompute or not.
        {12, 3, Geo(1000, 0, 0), 1, 0, Geo(1000, 0, 0), 0},
        {12, 3, Geo(0x100000000ull, 3, 5), 0, 0, Geo(0x100000000ull, 3, 5), 0},
        // Dynamic and fixed VHD: the CHS rule when due, cylinder based.
        {13, 4, Geo(1000, 0, 63), 0, 0, Geo(1000, 4, 17), 1},
        {13, 4, Geo(1000, 7, 9), 0, 0, Geo(1000, 7, 9), 1},
        {14, 5, Geo(2000000, 2, 2), 1, 0, Geo(2000000, 16, 63), 1},
        // HDI, NHD, VHD1.00, HDIM: the rule's heads and sectors, but never another sector size
        // or total (256-byte PC-98 sectors stay 2000 of them).
        {22, 13, Geo(2000, 0, 0, 256), 0, 0, Geo(2000, 4, 17, 256), 1},
        {24, 15, Geo(1000, 8, 0), 0, 0, Geo(1000, 4, 17), 1},
        {25, 16, Geo(1000, 8, 17), 1, 0, Geo(1000, 4, 17), 1},
        {27, 18, Geo(1000, 8, 17), 0, 0, Geo(1000, 8, 17), 1},
        // THD, PC98E and Unz: fixed geometries.
        {23, 14, Geo(1000, 16, 63, 256), 0, 0, Geo(1000, 8, 33, 256), 1},
        {26, 17, Geo(1000, 16, 63), 0, 0, Geo(128000, 8, 20), 1},
        {28, 19, Geo(4096, 16, 63), 1, 0, Geo(4096, 64, 32), 1},
        // qcow and qcow2: always their default of the byte size, not cylinder based.
        {19, 10, Geo(1000, 7, 9), 0, 0, Geo(1000, 16, 63), 0},
        {20, 11, Geo(0x100000000ull, 255, 63), 0, 0, Geo(0x100000000ull, 16, 63), 0},
        {20, 11, Geo(1000, 16, 63, 4096), 0, 0, Geo(8000, 16, 63), 0},
        // Bochs images: 16 heads and 63 sectors when due, the total kept, not cylinder based.
        {17, 8, Geo(1000, 0, 0), 0, 0, Geo(1000, 16, 63), 0},
        {18, 9, Geo(1000, 4, 17), 0, 0, Geo(1000, 4, 17), 0},
        {18, 9, Geo(1000, 4, 17), 1, 0, Geo(1000, 16, 63), 0},
        // VDI: the CHS rule when due (64-bit totals too), not cylinder based.
        {21, 12, Geo(1000, 0, 0), 0, 0, Geo(1000, 4, 17), 0},
        {21, 12, Geo(0x200000000ull, 5, 7), 0, 0, Geo(0x200000000ull, 5, 7), 0},
        // The flat raw image: the rule when due, not cylinder based.
        {30, 21, Geo(1000, 0, 0), 0, 0, Geo(1000, 4, 17), 0},
        {30, 21, Geo(1000, 3, 5, 4096), 0, 0, Geo(1000, 3, 5, 4096), 0},
        // Parallels file: the CHS rule when due, cylinder based; split set: the working geometry.
        {15, 6, Geo(1000, 0, 0), 0, 0, Geo(1000, 16, 63), 1},
        {15, 6, Geo(1000, 4, 9), 0, 0, Geo(1000, 4, 9), 1},
        {16, 7, Geo(1000, 0, 0), 0, 0, Geo(1000, 4, 17), 1},
        {29, 20, Geo(1000, 5, 9), 0, 0, Geo(1000, 5, 9), 0},
        // A plug-in destination keeps the working geometry.
        {-1, 22, Geo(1001, 3, 7), 1, 0, Geo(1001, 3, 7), 0},
    };
    for (const RuleRow& r : rows) {
        ConversionJob job;
        job.workGeometry = r.work;
        job.geometryRecompute = r.recompute;
        job.vmdkRadio = r.vmdkRadio;
        job.destKind = r.dest;
        DiskGeometry g;
        uint8_t based = 9;
        ASSERT_TRUE(OptionRules_DestinationGeometry(&job, r.dest, &g, &based)) << "page " << r.page;
        EXPECT_EQ(Geometry_GetTotalSectors(&g), Geometry_GetTotalSectors(&r.expected))
            << "page " << r.page;
        EXPECT_EQ(g.sectors32, r.expected.sectors32) << "page " << r.page;
        EXPECT_EQ(g.heads, r.expected.heads) << "page " << r.page;
        EXPECT_EQ(g.sectors_per_track, r.expected.sectors_per_track) << "page " << r.page;
        EXPECT_EQ(g.bytes_per_sector, r.expected.bytes_per_sector) << "page " << r.page;
        EXPECT_EQ(based, r.cylinderBased) << "page " << r.page;
        // Stored into both geometries of the job.
        ASSERT_TRUE(OptionRules_StoreGeometry(&job));
        EXPECT_EQ(memcmp(&job.destGeometry, &g, sizeof g), 0);
        EXPECT_EQ(memcmp(&job.finalGeometry, &g, sizeof g), 0);
        EXPECT_EQ(job.cylinderBased, r.cylinderBased);
    }
    // Kinds without a destination have no rule.
    ConversionJob job;
    job.workGeometry = Geo(1000, 16, 63);
    DiskGeometry g;
    uint8_t based;
    for (int32_t d : {23, -1})
        EXPECT_FALSE(OptionRules_DestinationGeometry(&job, d, &g, &based)) << d;
    // A byte size beyond 64 bits is no geometry at all.
    job.workGeometry = Geo(0x3FFFFFFFFFFFFFull, 0, 0, 32768);
    EXPECT_FALSE(OptionRules_DestinationGeometry(&job, 0, &g, &based));
}

struct CheckRow {
    int32_t dest;
    DiskGeometry geometry;
    int expected;
};

TEST(OptionRules, CapabilityChecks)
{
    const CheckRow rows[] = {
        {0, Geo(1000, 16, 63), 0},
        {0, Geo(1000, 16, 63, 4096), -1},
        {0, Geo(0x3FFFFFFFFFFFFFull, 16, 63), 0},
        // VHD: at most 2040 GiB (other readers refuse more), CHS a footer holds; partial
        // cylinders are fine (the writers round them up).
        {4, Geo(0xFF000000ull, 16, 63), 0},
        {4, Geo(0xFF000001ull, 16, 63), -1},
        {4, Geo(0xFFFFFFFFull, 16, 63), -1},
        {4, Geo(0x100000000ull, 16, 63), -1},
        {4, Geo(1000, 16, 63), 0},
        {4, Geo(1000, 256, 63), -1},
        {5, Geo(0xFF000000ull, 16, 255), 0},
        {5, Geo(0xFF000001ull, 16, 255), -1},
        {5, Geo(1000, 16, 63, 1024), -1},
        {13, Geo(1000, 16, 63, 256), 0},
        {13, Geo(8388608, 16, 63), -1},  // the data size field holds 32 bits
        // A source with 4096-byte sectors cannot become THD, PC98E or Unz.
        {14, Geo(1000, 8, 33, 4096), -1},
        {17, Geo(1000, 8, 20, 4096), -1},
        {19, Geo(1000, 64, 32, 4096), -1},
        // PC98E holds exactly 128000 sectors: a larger source is refused, never cut.
        {17, Geo(128000, 8, 20), 0},
        {17, Geo(128001, 8, 20), -1},
        {21, Geo(1000, 1, 1, 4096), 0},
        // VHDX: 512-byte sectors, 1 sector to 64 TiB.
        {3, Geo(1, 0, 0), 0},
        {3, Geo(0x2000000000ull, 16, 63), 0},
        {3, Geo(0x2000000001ull, 16, 63), -1},
        {3, Geo(0, 16, 63), -1},
        {3, Geo(1000, 16, 63, 4096), -1},
        // Parallels file: whole cylinders below 2^32 sectors (the writer rounds the last one up).
        {7, Geo(1000, 16, 63), 0},
        {6, Geo(0xFFFFFFFFull, 16, 63), 0},
        {6, Geo(0x100000000ull, 16, 63), -1},
        {7, Geo(0xFFFFFFF0ull, 16, 63), -1},
        {7, Geo(1000, 16, 63, 4096), -1},
        // COWD: 512-byte sectors; version 3 up to 2^28 sectors, version 1 one file of whole
        // cylinders (16 x 63: 4158 cylinders), a larger source refused rather than cut.
        {1, Geo(1000, 16, 63), 0},
        {1, Geo(1000, 16, 63, 4096), -1},
        {1, Geo(0x10000000ull, 16, 63), 0},
        {1, Geo(0x10000001ull, 16, 63), -1},
        {2, Geo(4191264, 16, 63), 0},
        {2, Geo(4191265, 16, 63), -1},
        {2, Geo(1000, 16, 63, 4096), -1},
        // A plug-in that is not loaded.
        {20, Geo(1000, 16, 63), 0},
        {20, Geo(1000, 16, 63, 4096), -1},
        // Bochs images: 512-byte sectors, below 2^32.
        {8, Geo(0xFFFFFFFFull, 16, 63), 0},
        {9, Geo(0x100000000ull, 16, 63), -1},
        {9, Geo(1000, 16, 63, 4096), -1},
        // VDI: 512-byte sectors of any count below 2^54.
        {12, Geo(0x200000000ull, 16, 63), 0},
        {12, Geo(1000, 16, 63, 4096), -1},
        {22, Geo(1000, 16, 63), -1},
    };
    for (const CheckRow& r : rows) {
        ConversionJob job;
        EXPECT_EQ(OptionRules_CheckGeometry(&job, r.dest, &r.geometry), r.expected)
            << "destination " << r.dest << " total " << Geometry_GetTotalSectors(&r.geometry);
    }
    // The final check adds the VMDK layout rules.
    ConversionJob job;
    DiskGeometry g = Geo(1000, 16, 63);
    job.vmdkList4 = 3;
    job.vmdkSplit = 1;
    job.vmdkSplitSectors = 100;
    EXPECT_EQ(OptionRules_CheckGeometry(&job, 0, &g), 0);
    EXPECT_EQ(OptionRules_CheckFinal(&job, 0, &g), -1);
    job.vmdkList4 = 0;
    EXPECT_EQ(OptionRules_CheckFinal(&job, 0, &g), 0);
    job.vmdkSplitSectors = 1;
    EXPECT_EQ(OptionRules_CheckFinal(&job, 0, &g), 0);  // 1000 extents of one sector is the most
    g = Geo(1001, 16, 63);
    EXPECT_EQ(OptionRules_CheckFinal(&job, 0, &g), -1);
}

struct DestinationRow {
    const char* what;
    int32_t dest;
    DiskGeometry work;
    uint8_t recompute;
    int expected;
};

// The pages check the geometry their rule gives, not the working one.
TEST(OptionRules, PagesCheckTheGeometryTheirRuleGives)
{
    const DestinationRow rows[] = {
        // 200 GiB at 255 x 63: the rule gives 16 x 255, 102801 cylinders, more than the 16-bit
        // field of "VHD1.00" holds; typed in by hand, 255 x 63 is kept and fits.
        {"VHD1.00, automatic", 16, Geo(419430400, 255, 63), 1, -1},
        {"VHD1.00, manual", 16, Geo(419430400, 255, 63), 0, 0},
        {"VHD1.00, no heads", 16, Geo(419430400, 0, 63), 0, -1},
        // Heads the VHD footer cannot hold: refused when kept, fine when the rule recomputes.
        {"dynamic VHD, 256 heads kept", 4, Geo(1000, 256, 63), 0, -1},
        {"dynamic VHD, 256 heads recomputed", 4, Geo(1000, 256, 63), 1, 0},
        {"fixed VHD, no heads", 5, Geo(1000, 0, 63), 0, 0},
        {"fixed VHD above 2040 GiB", 5, Geo(0xFF000001ull, 0, 0), 0, -1},
        // PC98E always gets 128000 sectors: a larger disk would be cut.
        {"PC98E, smaller", 17, Geo(1000, 16, 63), 0, 0},
        {"PC98E, exact", 17, Geo(128000, 16, 63), 0, 0},
        {"PC98E, larger", 17, Geo(128001, 16, 63), 0, -1},
        {"THD, 256-byte sectors", 14, Geo(1000, 16, 63, 256), 0, 0},
        {"HDI, 4 GiB", 13, Geo(8388608, 0, 0), 0, -1},
        {"flat", 21, Geo(1000, 0, 0), 0, 0},
        {"VMDK", 0, Geo(1000, 0, 0), 1, 0},
        {"COWD 3, whole cylinders", 1, Geo(10080, 16, 63), 0, 0},
        {"COWD 3, several extents", 1, Geo(5000000, 16, 63), 0, 0},
        {"COWD 1, more than one file holds", 2, Geo(4191265, 16, 63), 0, -1},
    };
    for (const DestinationRow& r : rows) {
        ConversionJob job;
        job.workGeometry = r.work;
        job.geometryRecompute = r.recompute;
        job.destKind = r.dest;
        EXPECT_EQ(OptionRules_CheckDestination(&job, r.dest), r.expected) << r.what;
        // Whatever the page lets through, the rule's geometry passes the final check.
        if (r.expected == 0) {
            DiskGeometry g;
            uint8_t based = 0;
            ASSERT_TRUE(OptionRules_DestinationGeometry(&job, r.dest, &g, &based)) << r.what;
            EXPECT_EQ(OptionRules_CheckFinal(&job, r.dest, &g), 0) << r.what;
        }
    }
}

// The qcow2 writer's L1 limit by cluster size: the page refuses what the writer refuses and
// names the largest disk the clusters hold.
TEST(OptionRules, Qcow2ClusterSizesHoldWhatTheWriterLaysOut)
{
    const struct {
        uint32_t index;
        uint64_t gib;  // disk size asked
        int result;
        uint64_t largest;  // GiB
    } rows[] = {
        {0, 128, 0, 128},          {0, 129, -1, 128},
        {0, 2048, -1, 128},        {1, 512, 0, 512},
        {1, 513, -1, 512},         {2, 2048, 0, 2048},
        {3, 2049, 0, 8192},        {4, 32768, 0, 32768},
        {7, 1u << 20, 0, 2097152}, {12, 1u << 30, 0, 2147483648ull},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.index);
        SCOPED_TRACE(r.gib);
        DiskGeometry g = {};
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&g, r.gib << 21);
        uint64_t largest = 0;
        EXPECT_EQ(OptionRules_CheckQcow2Clusters(&g, r.index, &largest), r.result);
        EXPECT_EQ(largest, r.largest);
        // The writer itself agrees.
        Qcow2Writer w;
        Qcow2_InitWriter(&w);
        EXPECT_EQ(Qcow2_ComputeLayout(&w, r.gib << 21, 9 + r.index) == DISK_OK, r.result == 0);
    }
    uint64_t largest = 0;
    DiskGeometry g = {};
    EXPECT_EQ(OptionRules_CheckQcow2Clusters(&g, 13, &largest), -1);
}

// Typed VMDK split sizes become whole grains of 128 sectors: up, or down at the top of 32 bits.
TEST(OptionRules, VmdkSplitSizesInWholeGrains)
{
    const std::pair<uint32_t, uint32_t> rows[] = {
        {100000u, 100096u},
        {100096u, 100096u},
        {131072u, 131072u},
        {1u, 128u},
        {129u, 256u},
        {4192256u, 4192256u},
        {8304640u, 8304640u},
        {0xFE000000u, 0xFE000000u},
        {0xFFFFFF7Fu, 0xFFFFFF80u},
        {0xFFFFFF80u, 0xFFFFFF80u},
        {0xFFFFFF81u, 0xFFFFFF80u},
        {0xFFFFFFFEu, 0xFFFFFF80u},
    };
    for (const auto& r : rows) EXPECT_EQ(OptionRules_RoundVmdkSplit(r.first), r.second) << r.first;
}

struct RoundRow {
    const char* what;
    int32_t dest;
    DiskGeometry dest_geometry;
    int32_t rounding;
    int result;
    uint64_t total;
    uint8_t vmdkCheck;
};

TEST(OptionRules, CylinderRounding)
{
    const RoundRow rows[] = {
        {"HDI keep", 13, Geo(1000, 16, 63), 0, CYLINDER_OK, 1000, 0},
        {"HDI up", 13, Geo(1000, 16, 63), 1, CYLINDER_OK, 1008, 0},
        {"HDI down below one cylinder", 13, Geo(1000, 16, 63), 2, CYLINDER_ZERO, 0, 0},
        {"HDI down", 13, Geo(3000, 16, 63), 2, CYLINDER_OK, 2016, 0},
        {"HDI up past its data size field", 13, Geo(8388000, 255, 63), 1, CYLINDER_DOES_NOT_FIT,
         8401995, 0},
        {"THD up", 14, Geo(1000, 8, 33, 256), 1, CYLINDER_OK, 1056, 0},
        {"flat image without cylinders", 21, Geo(1000, 0, 63), 1, CYLINDER_OK, 1000, 0},
        {"VHD keep", 4, Geo(1000, 4, 17), 0, CYLINDER_OK, 1000, 0},
        {"VHD up", 4, Geo(1000, 4, 17), 1, CYLINDER_OK, 1020, 0},
        {"VHD down", 5, Geo(1000, 4, 17), 2, CYLINDER_OK, 952, 0},
        {"VHD down keeps one cylinder", 4, Geo(10, 4, 17), 2, CYLINDER_OK, 68, 0},
        {"VHD up past 32 bits", 4, Geo(0xFFFFFFF0ull, 16, 255), 1, CYLINDER_DOES_NOT_FIT,
         0x100000000ull, 0},
        {"VHD up to exactly 2040 GiB", 4, Geo(0xFF000000ull - 10, 16, 255), 1, CYLINDER_OK,
         0xFF000000ull, 0},
        {"VMDK down to the first track alone", 0, Geo(100, 1, 63), 2, CYLINDER_DOES_NOT_FIT, 63, 1},
        {"VMDK up with the first track", 0, Geo(100, 1, 63), 1, CYLINDER_OK, 126, 1},
        {"up past the largest total", 21, Geo(0x3FFFFFFFFFFFFFull, 255, 63), 1,
         CYLINDER_DOES_NOT_FIT, 0x3FFFFFFFFFFFFFull - 0x3FFFFFFFFFFFFFull % 16065 + 16065, 0},
    };
    for (const RoundRow& r : rows) {
        ConversionJob job;
        job.destKind = r.dest;
        job.destGeometry = r.dest_geometry;
        job.vmdkCheck = r.vmdkCheck;
        DiskGeometry out;
        EXPECT_EQ(OptionRules_RoundToCylinders(&job, r.rounding, &out), r.result) << r.what;
        EXPECT_EQ(Geometry_GetTotalSectors(&out), r.total) << r.what;
        EXPECT_EQ(out.heads, r.dest_geometry.heads) << r.what;
        EXPECT_EQ(out.sectors_per_track, r.dest_geometry.sectors_per_track) << r.what;
        // Totals go through the setter: exactly one count carries them.
        if (r.total > 0xFFFFFFFFull) {
            EXPECT_EQ(out.sectors32, 0u) << r.what;
            EXPECT_EQ(out.sectors64, r.total) << r.what;
        } else {
            EXPECT_EQ(out.sectors32, (uint32_t)r.total) << r.what;
        }
    }
}

}  // namespace

namespace {

struct CowdRow {
    const char* what;
    int32_t dest;
    uint32_t formatFlags;
    DiskGeometry work;
    uint8_t recompute;
    DiskGeometry expected;
    uint8_t cylinderBased;
};

}  // namespace

// Pages 10 and 11: the adapter's geometry; one extent, every version-1 disk and every SCSI disk
// must be whole cylinders, so the rounding page cannot keep a total the writer would refuse.
TEST(OptionRules, CowdGeometryAndTheWritersCylinderRules)
{
    const CowdRow rows[] = {
        {"3, IDE, one extent", 1, 0, Geo(1000, 0, 0), 0, Geo(1000, 16, 63), 1},
        {"3, IDE, several extents", 1, 0, Geo(5000000, 16, 63), 0, Geo(5000000, 16, 63), 0},
        {"3, IDE flags kept apart", 1, 6, Geo(5000000, 16, 63), 0, Geo(5000000, 16, 63), 0},
        // SCSI: the writer's size classes, whatever the working geometry says.
        {"3, SCSI, several extents", 1, 1, Geo(5000000, 16, 63), 0, Geo(5000000, 255, 63), 1},
        {"3, SCSI, 128 x 32 class", 1, 1, Geo(3000000, 0, 0), 0, Geo(3000000, 128, 32), 1},
        {"3, SCSI, 64 x 32 class", 1, 7, Geo(1000, 16, 63), 1, Geo(1000, 64, 32), 1},
        {"1, IDE", 2, 0, Geo(1000, 0, 0), 0, Geo(1000, 16, 63), 1},
        {"1, SCSI", 2, 1, Geo(1000, 0, 0), 0, Geo(1000, 64, 32), 1},
    };
    for (const CowdRow& r : rows) {
        ConversionJob job;
        job.workGeometry = r.work;
        job.geometryRecompute = r.recompute;
        job.formatFlags = r.formatFlags;
        job.destKind = r.dest;
        DiskGeometry g;
        uint8_t based = 9;
        ASSERT_TRUE(OptionRules_DestinationGeometry(&job, r.dest, &g, &based)) << r.what;
        EXPECT_EQ(Geometry_GetTotalSectors(&g), Geometry_GetTotalSectors(&r.expected)) << r.what;
        EXPECT_EQ(g.heads, r.expected.heads) << r.what;
        EXPECT_EQ(g.sectors_per_track, r.expected.sectors_per_track) << r.what;
        EXPECT_EQ(based, r.cylinderBased) << r.what;
    }

    // A SCSI disk of several extents that is not whole 255 x 63 cylinders: keeping its total
    // is refused on the rounding page; rounded up it is accepted, and so is the IDE one kept.
    ConversionJob job;
    job.workGeometry = Geo(5000000, 16, 63);
    job.formatFlags = 1;
    job.destKind = DEST_COWD3;
    ASSERT_EQ(OptionRules_CheckDestination(&job, 1), 0);
    ASSERT_TRUE(OptionRules_StoreGeometry(&job));
    DiskGeometry g;
    EXPECT_EQ(OptionRules_RoundToCylinders(&job, 0, &g), CYLINDER_DOES_NOT_FIT);
    ASSERT_EQ(OptionRules_RoundToCylinders(&job, 1, &g), CYLINDER_OK);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 312u * 16065u);
    EXPECT_EQ(OptionRules_CheckFinal(&job, 1, &g), 0);
    job.formatFlags = 0;
    ASSERT_TRUE(OptionRules_StoreGeometry(&job));
    EXPECT_EQ(OptionRules_RoundToCylinders(&job, 0, &g), CYLINDER_OK);
    // One IDE extent must be whole cylinders of its own geometry.
    g = Geo(1000, 16, 63);
    EXPECT_EQ(OptionRules_CheckFinal(&job, 1, &g), -1);
    g = Geo(1008, 16, 63);
    EXPECT_EQ(OptionRules_CheckFinal(&job, 1, &g), 0);
    // The SCSI limit: more than SCSI holds is refused with SCSI, taken with IDE.
    g = Geo(COWD_MAX_SCSI_SECTORS + 1ull, 16, 63);
    job.formatFlags = 1;
    EXPECT_EQ(OptionRules_CheckGeometry(&job, 1, &g), -1);
    job.formatFlags = 0;
    EXPECT_EQ(OptionRules_CheckGeometry(&job, 1, &g), 0);
}
