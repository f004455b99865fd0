// The conversion run without windows: a raw disk with an MBR and an ext4 or FAT volume whose
// free space holds garbage, written to every wired destination and read back by qemu-img (or
// at the image's data offset), compared on every used sector and checked with fsck; resized
// output; cancellation; the in-place trims of VMDK, VHD and VHDX images with their "_del" files, a
// failed compaction and a failed commit; destinations that are the source; and the options
// builders as tables.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow2/qcow2.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vmdk/vmdk_create.h"
#include "foundation/output_file.h"
#include "foundation/platform.h"
#include "gui/job/convert_run.h"
#include "gui/job/option_rules.h"
#include "gui/job/routing.h"
#include "support/test_support.h"
#include "volume/used_map.h"

using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

std::string Fixtures() { return std::string(VDX_TEST_SOURCE_DIR) + "/gui/pages/pages_fixtures.py"; }

// A raw disk of `mib` MiB with an MBR and an ext ("ext") or FAT16 ("fat") volume.
std::string MakeDisk(const TempDir& dir, const std::string& kind, int mib,
                     const std::string& name = "source.raw")
{
    std::string path = dir.file(name);
    EXPECT_EQ(RunCommand("python3 " + Quote(Fixtures()) + " " + kind + " " + std::to_string(mib) +
                         " " + Quote(path)),
              0);
    return path;
}

DiskGeometry RawGeometry(const std::string& path)
{
    struct stat st;
    stat(path.c_str(), &st);
    DiskGeometry g;
    memset(&g, 0, sizeof g);
    Vhd_ComputeGeometry((uint64_t)st.st_size, &g);
    return g;
}

DiskHandle* OpenRaw(const std::string& path)
{
    DiskHandle* h = Disk_Alloc();
    Disk_Init(h);
    DiskGeometry g = RawGeometry(path);
    EXPECT_EQ(Disk_OpenRaw(h, path.c_str(), true, 0, &g), DISK_OK);
    return h;
}

UsedSectorMap* BuildMap(DiskHandle* disk)
{
    int rc = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(disk, &rc, &known);
    EXPECT_EQ(rc, DISK_OK);
    EXPECT_EQ(known, 1u);
    return map;
}

// Used bits of every sector of the disk.
std::vector<bool> UsedSectors(const UsedSectorMap* map, uint64_t total)
{
    std::vector<bool> used(total, true);
    if (map == nullptr) return used;
    std::vector<uint8_t> bits(4096);
    for (uint64_t s = 0; s < total; s += 32768) {
        int32_t n = (int32_t)std::min<uint64_t>(32768, total - s);
        EXPECT_EQ(UsedMap_GetUsedBits(map, s, n, bits.data()), DISK_OK);
        for (int32_t i = 0; i < n; ++i) used[s + i] = (bits[i / 8] >> (i % 8)) & 1;
    }
    return used;
}

// Every used sector of `data` (read from its offset) equals the source's.
void ExpectUsedEqual(const std::vector<uint8_t>& source, const std::vector<uint8_t>& data,
                     size_t offset, const std::vector<bool>& used)
{
    ASSERT_GE(data.size(), offset + source.size());
    size_t differing = 0;
    std::string where;
    for (size_t s = 0; s < used.size(); ++s) {
        if (!used[s]) continue;
        if (memcmp(&source[s * 512], &data[offset + s * 512], 512) != 0) {
            if (differing++ < 8) where += " " + std::to_string(s);
        }
    }
    EXPECT_EQ(differing, 0u) << "first differing used sectors:" << where;
}

// fsck of the partition at sector 2048 of a raw disk.
void ExpectFsckClean(const TempDir& dir, const std::string& raw, const std::string& kind)
{
    std::string part = dir.file("part.img");
    ASSERT_EQ(
        RunCommand("dd if=" + Quote(raw) + " of=" + Quote(part) + " bs=512 skip=2048 status=none"),
        0);
    std::string out;
    if (kind == "ext")
        EXPECT_EQ(RunCommand("e2fsck -fn " + Quote(part) + " 2>&1", &out), 0) << out;
    else
        EXPECT_EQ(RunCommand("fsck.fat -n " + Quote(part) + " 2>&1", &out), 0) << out;
    unlink(part.c_str());
}

// Counts sectors the map marks free whose output is all zero while the source's is not.
size_t SkippedGarbage(const std::vector<uint8_t>& source, const std::vector<uint8_t>& data,
                      size_t offset, const std::vector<bool>& used)
{
    static const uint8_t zero[512] = {0};
    size_t n = 0;
    for (size_t s = 0; s < used.size(); ++s) {
        if (used[s]) continue;
        if (memcmp(&source[s * 512], zero, 512) != 0 &&
            memcmp(&data[offset + s * 512], zero, 512) == 0)
            ++n;
    }
    return n;
}

struct ProgressLog {
    uint64_t calls = 0;
    uint64_t lastDone = 0;
    uint64_t lastTotal = 0;
    uint64_t stopAfter = UINT64_MAX;
};

bool LogProgress(uint64_t done, uint64_t total, void* user)
{
    ProgressLog* log = (ProgressLog*)user;
    ++log->calls;
    log->lastDone = done;
    log->lastTotal = total;
    return log->calls < log->stopAfter;
}

// A job over an open source with the option pages' defaults and the destination geometry.
void PrepareJob(ConversionJob* job, const std::string& sourcePath, DiskHandle* disk,
                UsedSectorMap* map, int32_t destKind, const std::string& destPath)
{
    job->sourcePath = sourcePath.c_str();
    job->sourceKind = JOB_SOURCE_IMAGE;
    job->sourceDisk = disk;
    job->volumeList = map;
    job->destKind = destKind;
    job->destPath = destPath.c_str();
    job->vmdkList14 = 11;
    job->vhdLayoutIndex = 5;
    job->vhdCreatorIndex = 4;
    job->vhdFixedCreatorIndex = 4;
    Disk_GetGeometry(disk, &job->sourceGeometry);
    job->workGeometry = job->sourceGeometry;
    ASSERT_TRUE(OptionRules_StoreGeometry(job));
    // The cylinder-boundary page as the wizard shows it: cylinder-based destinations round up.
    if (!Routing_IsWholeCylinders(destKind, &job->destGeometry)) {
        DiskGeometry g;
        ASSERT_EQ(OptionRules_RoundToCylinders(job, job->cylinderBased ? 1 : 0, &g), CYLINDER_OK);
        job->finalGeometry = g;
    }
}

// ---- Conversion table --------------------------------------------------------------------------

struct DestinationCase {
    const char* name;
    int32_t destKind;
    uint32_t vmdkType;       // disk type list index (VMDK)
    bool firstTrack;         // VMDK first track apart
    uint32_t splitSectors;   // VMDK split size, 0 none
    const char* qemuFormat;  // NULL: the data is read from the file at dataOffset
    size_t dataOffset;
    bool sparse;  // free space is left out of the file
    bool skips;   // free space is not read (the writer takes the map)
};

class ConversionTable : public ::testing::TestWithParam<std::tuple<DestinationCase, const char*>> {
};

TEST_P(ConversionTable, UsedSectorsEqualAndFileSystemClean)
{
    const DestinationCase& c = std::get<0>(GetParam());
    const std::string kind = std::get<1>(GetParam());
    TempDir dir;
    std::string raw = MakeDisk(dir, kind, 16);
    std::vector<uint8_t> source = ReadFile(raw);
    DiskHandle* disk = OpenRaw(raw);
    UsedSectorMap* map = BuildMap(disk);
    const uint64_t total = source.size() / 512;
    std::vector<bool> used = UsedSectors(map, total);

    ConversionJob job;
    std::string out = dir.file(std::string("out.") + c.name);
    PrepareJob(&job, raw, disk, map, c.destKind, out);
    job.vmdkList4 = c.vmdkType;
    job.vmdkCheck = c.firstTrack;
    job.vmdkSplit = c.splitSectors != 0;
    job.vmdkSplitSectors = c.splitSectors;

    ProgressLog log;
    uint64_t clock = 12345;
    ConvertRunContext context;
    context.progress = LogProgress;
    context.user = &log;
    context.progressClock = &clock;
    ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK) << c.name;
    EXPECT_EQ(clock, 0u) << "the run starts with a fresh throttle clock";
    EXPECT_GT(log.calls, 1u);
    EXPECT_EQ(log.lastDone, log.lastTotal);
    // The run releases nothing: the source stays the job's.
    EXPECT_EQ(job.sourceDisk, disk);
    EXPECT_EQ(job.volumeList, map);

    std::vector<uint8_t> data;
    std::string back = dir.file("back.raw");
    if (c.qemuFormat != nullptr) {
        std::string log2;
        if (std::string(c.qemuFormat) == "vmdk" || std::string(c.qemuFormat) == "vhdx" ||
            std::string(c.qemuFormat) == "parallels") {
            EXPECT_EQ(RunCommand("qemu-img check -f " + std::string(c.qemuFormat) + " " +
                                     Quote(out) + " 2>&1",
                                 &log2),
                      0)
                << log2;
        }
        if (c.destKind == DEST_COWD3 && testsupport::HaveTool("bximage")) {
            // bximage reads the one-extent version-3 disks the table writes.
            std::string viaBximage = dir.file("bximage.raw");
            EXPECT_EQ(RunCommand("bximage -q -func=convert -imgmode=flat " + Quote(out) + " " +
                                     Quote(viaBximage) + " 2>&1",
                                 &log2),
                      0)
                << log2;
            std::vector<uint8_t> other = ReadFile(viaBximage);
            EXPECT_GE(other.size(), source.size());
            ExpectUsedEqual(source, other, 0, used);
        }
        if (std::string(c.qemuFormat) == "cowd" ||
            (c.destKind == DEST_VMDK && c.firstTrack && c.vmdkType != 1)) {
            // qemu-img reads a sparse first extent of 63 sectors (less than one grain) past its
            // end: disk sectors 63..127 come from that extent's grain instead of the next
            // extent. The layout is read back through the engine instead, as are COWD disks,
            // which qemu-img does not read.
            DiskHandle* h = Disk_Alloc();
            Disk_Init(h);
            ASSERT_EQ(Disk_Open(h, out.c_str(), true), DISK_OK);
            data.resize(source.size());
            for (size_t o = 0; o < data.size(); o += 1 << 20)
                ASSERT_EQ(
                    Disk_Read(h, o, (uint32_t)std::min<size_t>(1 << 20, data.size() - o), &data[o]),
                    DISK_OK);
            Disk_Close(h);
            Mem_Free(h);
            testsupport::WriteFile(back, data);
        } else {
            ASSERT_EQ(RunCommand("qemu-img convert -f " + std::string(c.qemuFormat) + " -O raw " +
                                 Quote(out) + " " + Quote(back)),
                      0);
            data = ReadFile(back);
        }
        EXPECT_GE(data.size(), source.size());
    } else {
        data = ReadFile(out);
        std::vector<uint8_t> disk2(
            data.begin() + c.dataOffset,
            data.begin() + c.dataOffset + std::min(source.size(), data.size() - c.dataOffset));
        testsupport::WriteFile(back, disk2);
    }
    ExpectUsedEqual(source, data, c.qemuFormat ? 0 : c.dataOffset, used);
    ExpectFsckClean(dir, back, kind);
    // Free space was not copied: garbage the map calls free comes back as zeros.
    if (c.skips) {
        EXPECT_GT(SkippedGarbage(source, data, c.qemuFormat ? 0 : c.dataOffset, used), 1000u)
            << c.name;
    }
    if (c.sparse) {
        struct stat st;
        stat(out.c_str(), &st);
        EXPECT_LT((uint64_t)st.st_size, (uint64_t)source.size() * 7 / 8) << c.name;
    }
    ConvertRun_ReleaseSource(&job);
}

const DestinationCase kDestinations[] = {
    {"vmdk", 0, 0, false, 0, "vmdk", 0, true, true},
    {"flat.vmdk", 0, 1, false, 0, "vmdk", 0, false, true},
    {"split.vmdk", 0, 0, true, 16384, "vmdk", 0, false, true},
    {"first.vmdk", 0, 0, true, 0, "vmdk", 0, false, true},
    {"parts.vmdk", 0, 0, false, 16384, "vmdk", 0, false, true},
    {"flatparts.vmdk", 0, 1, true, 16384, "vmdk", 0, false, true},
    {"stream.vmdk", 0, 3, false, 0, "vmdk", 0, true, true},
    {"vhd", 4, 0, false, 0, "vpc", 0, true, true},
    {"fixed.vhd", 5, 0, false, 0, "vpc", 0, false, true},
    // 4 MiB of VHDX structures outweigh what a 16 MiB disk leaves out: size is not compared.
    {"vhdx", 3, 0, false, 0, "vhdx", 0, false, true},
    {"hdd", 7, 0, false, 0, "parallels", 0, true, true},
    {"vdi", 12, 0, false, 0, "vdi", 0, true, true},
    {"bochs", 8, 0, false, 0, "bochs", 0, true, true},
    // COWD: read back through the engine (and bximage for version 3).
    {"cowd3", 1, 0, false, 0, "cowd", 0, true, true},
    {"cowd1", 2, 0, false, 0, "cowd", 0, true, true},
    // HDI takes no map: it copies every sector.
    {"hdi", 13, 0, false, 0, nullptr, 4096, false, false},
    {"img", 21, 0, false, 0, "raw", 0, false, true},
};

INSTANTIATE_TEST_SUITE_P(Destinations, ConversionTable,
                         ::testing::Combine(::testing::ValuesIn(kDestinations),
                                            ::testing::Values("ext", "fat")),
                         [](const ::testing::TestParamInfo<ConversionTable::ParamType>& info) {
                             std::string n = std::string(std::get<0>(info.param).name) + "_" +
                                             std::get<1>(info.param);
                             for (char& ch : n)
                                 if (ch == '.') ch = '_';
                             return n;
                         });

// ---- Around the writers ------------------------------------------------------------------------------

TEST(ConvertRun, OutputHasTheFinalCapacityThroughAResizeView)
{
    TempDir dir;
    std::string raw = MakeDisk(dir, "ext", 8);
    DiskHandle* disk = OpenRaw(raw);
    ConversionJob job;
    std::string out = dir.file("grown.vhd");
    PrepareJob(&job, raw, disk, nullptr, DEST_VHD_DYNAMIC, out);
    DiskGeometry g = job.destGeometry;
    Geometry_SetTotalSectors(&g, Geometry_GetTotalSectors(&g) + 4000);
    g.heads = 16;
    g.sectors_per_track = 63;
    job.finalGeometry = g;
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
    // The source handle is back in the job, not a view.
    EXPECT_EQ(job.sourceDisk, disk);
    EXPECT_EQ(Disk_GetKind(disk), DISK_KIND_RAW);
    std::string info;
    RunCommand("qemu-img info --output=json -f vpc " + Quote(out), &info);
    EXPECT_NE(info.find("\"virtual-size\": " + std::to_string(Geometry_GetTotalSectors(&g) * 512)),
              std::string::npos)
        << info;
    ConvertRun_ReleaseSource(&job);
}

TEST(ConvertRun, AMapWithoutRegionsCopiesEverySector)
{
    TempDir dir;
    std::string raw = dir.file("noise.raw");
    testsupport::WriteFile(raw, testsupport::RandomBytes(2 * 1024 * 1024, 7));
    DiskHandle* disk = OpenRaw(raw);
    UsedSectorMap* empty = UsedMap_Alloc();
    UsedMap_Init(empty);
    ConversionJob job;
    std::string out = dir.file("copy.img");
    PrepareJob(&job, raw, disk, empty, DEST_FLAT, out);
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
    EXPECT_EQ(ReadFile(out), ReadFile(raw));
    EXPECT_EQ(ConvertRun_EffectiveMap(&job), nullptr);
    ConvertRun_ReleaseSource(&job);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
}

TEST(ConvertRun, CancelledByTheProgressAnswer)
{
    TempDir dir;
    std::string raw = dir.file("noise.raw");
    testsupport::WriteFile(raw, testsupport::RandomBytes(16 * 1024 * 1024, 9));
    DiskHandle* disk = OpenRaw(raw);
    ConversionJob job;
    PrepareJob(&job, raw, disk, nullptr, DEST_VMDK, dir.file("part.vmdk"));
    ProgressLog log;
    log.stopAfter = 3;
    ConvertRunContext context;
    context.progress = LogProgress;
    context.user = &log;
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_CANCELLED);
    EXPECT_EQ(log.calls, 3u);
    ConvertRun_ReleaseSource(&job);
}

// A failed run takes away what it created: the files of a bundle (its directory last) and the
// parts of a split set.
TEST(ConvertRun, DestinationFilesOfBundlesAndSplitSets)
{
    ConversionJob job;
    job.finalGeometry.heads = 4;
    job.finalGeometry.sectors_per_track = 17;
    job.finalGeometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&job.finalGeometry, 1000);
    job.destKind = DEST_PARALLELS_BUNDLE;
    job.parallelsFlag = 1;
    job.parallelsNumber = 400;  // storages of 374 sectors: three of them
    std::vector<std::string> files;
    ConvertRun_DestinationFiles(&job, "/d/vm.hdd", &files);
    const std::string g = ".{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds";
    const std::vector<std::string> bundle = {
        "/d/vm.hdd/vm.hdd.0" + g,       "/d/vm.hdd/vm.hdd.1" + g, "/d/vm.hdd/vm.hdd.2" + g,
        "/d/vm.hdd/DiskDescriptor.xml", "/d/vm.hdd/vm.hdd",       "/d/vm.hdd"};
    EXPECT_EQ(files, bundle);
    // The directory is named once, with or without its separator.
    files.clear();
    ConvertRun_DestinationFiles(&job, "/d/vm.hdd/", &files);
    EXPECT_EQ(files, bundle);
    job.destKind = DEST_SPLIT;
    job.splitNumber = 1;
    Geometry_SetTotalSectors(&job.finalGeometry, 4200);  // 2.05 MiB: three parts
    files.clear();
    ConvertRun_DestinationFiles(&job, "/d/set.spl", &files);
    EXPECT_EQ(files, (std::vector<std::string>{"/d/set.spl", "/d/set.p01", "/d/set.p02"}));
}

TEST(ConvertRun, WaitingDestinationsAndUnknownKinds)
{
    TempDir dir;
    std::string raw = dir.file("noise.raw");
    testsupport::WriteFile(raw, testsupport::RandomBytes(1024 * 1024, 3));
    ConversionJob job;
    PrepareJob(&job, raw, OpenRaw(raw), nullptr, DEST_FLAT, dir.file("x.img"));
    ConvertRunContext context;
    // A split set without a part size is refused before anything is written.
    job.destKind = DEST_SPLIT;
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_ARG);
    for (int32_t kind :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 20, 13, 14, 15, 16, 17, 18, 19, 21, 22})
        EXPECT_TRUE(ConvertRun_IsDestinationAvailable(kind)) << kind;
    job.destKind = DEST_KIND_COUNT;
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_ARG);
    job.destKind = DEST_PLUGIN;  // no plug-in chosen
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_ARG);
    ConvertRun_ReleaseSource(&job);
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_ARG);
}

TEST(ConvertRun, WrapAndUnwrapNeverCloseTheSource)
{
    TempDir dir;
    std::string raw = dir.file("noise.raw");
    testsupport::WriteFile(raw, testsupport::RandomBytes(512 * 100, 5));
    DiskHandle* disk = OpenRaw(raw);
    DiskHandle* slot = disk;
    DiskGeometry g = {0, 2, 10, 512, 0};
    Geometry_SetTotalSectors(&g, 120);
    ASSERT_EQ(ConvertRun_WrapSourceResized(&slot, &g), DISK_OK);
    ASSERT_NE(slot, disk);
    DiskGeometry seen;
    Disk_GetGeometry(slot, &seen);
    EXPECT_EQ(Geometry_GetTotalSectors(&seen), 120u);
    EXPECT_EQ(seen.heads, 2u);
    EXPECT_EQ(seen.sectors_per_track, 10u);
    std::vector<uint8_t> tail(512 * 20, 0xAA);
    EXPECT_EQ(Disk_Read(slot, 512 * 100, 512 * 20, tail.data()), DISK_OK);
    EXPECT_EQ(tail, std::vector<uint8_t>(512 * 20, 0));
    ConvertRun_UnwrapSource(&slot);
    EXPECT_EQ(slot, disk);
    std::vector<uint8_t> first(512);
    EXPECT_EQ(Disk_Read(disk, 0, 512, first.data()), DISK_OK);
    ConvertRun_UnwrapSource(&slot);  // not a view: nothing happens
    EXPECT_EQ(slot, disk);
    Disk_Close(disk);
    Mem_Free(disk);

    DiskGeometry a = {0, 16, 63, 512, 0}, b = a;
    Geometry_SetTotalSectors(&a, 1000);
    Geometry_SetTotalSectors(&b, 1000);
    EXPECT_FALSE(ConvertRun_NeedsResize(&a, &b));
    b.bytes_per_sector = 4096;
    EXPECT_FALSE(ConvertRun_NeedsResize(&a, &b));
    b.heads = 15;
    EXPECT_TRUE(ConvertRun_NeedsResize(&a, &b));
    b = a;
    Geometry_SetTotalSectors(&b, 0x100000000ull);
    EXPECT_TRUE(ConvertRun_NeedsResize(&a, &b));
}

// ---- The destination is never the source -----------------------------------------------------

class DestinationRefusal : public ::testing::Test {
protected:
    TempDir dir;
    ConversionJob job;
    std::string raw;
    void SetUp() override
    {
        raw = dir.file("disk.raw");
        testsupport::WriteFile(raw, testsupport::RandomBytes(1024 * 1024, 11));
        PrepareJob(&job, raw, OpenRaw(raw), nullptr, DEST_FLAT, dir.file("new.img"));
    }
    void TearDown() override { ConvertRun_ReleaseSource(&job); }
};

TEST_F(DestinationRefusal, SamePathHardLinkAndSymlink)
{
    std::vector<uint8_t> before = ReadFile(raw);
    std::string which;
    EXPECT_EQ(ConvertRun_CheckDestination(&job, raw, &which), CONVERT_DEST_IS_SOURCE);
    EXPECT_EQ(which, raw);
    ASSERT_EQ(link(raw.c_str(), dir.file("hard.img").c_str()), 0);
    ASSERT_EQ(symlink(raw.c_str(), dir.file("soft.img").c_str()), 0);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("hard.img"), nullptr),
              CONVERT_DEST_IS_SOURCE);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("soft.img"), nullptr),
              CONVERT_DEST_IS_SOURCE);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("other.img"), nullptr), CONVERT_DEST_OK);
    // The run refuses it too, whatever page let it through, and writes nothing.
    ConvertRunContext context;
    for (int32_t kind : {21, 13, 4, 0}) {
        job.destKind = kind;
        ASSERT_TRUE(OptionRules_StoreGeometry(&job));
        job.destPath = dir.file("hard.img").c_str();
        EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_ARG) << kind;
    }
    EXPECT_EQ(ReadFile(raw), before);
}

TEST_F(DestinationRefusal, FilesTheSourceKeepsOpen)
{
    // A file the source disk holds open under another name (an extent or a parent image) is
    // found through the open descriptors, not through the source path.
    std::string extent = dir.file("extent.bin");
    testsupport::WriteFile(extent, std::vector<uint8_t>(512, 1));
    FILE* held = fopen(extent.c_str(), "rb");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, extent, nullptr), CONVERT_DEST_IS_SOURCE);
    fclose(held);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, extent, nullptr), CONVERT_DEST_OK);
}

// The source path of an image chosen earlier no longer counts once a new blank disk or a device
// is the source: writing there is not writing over the source.
TEST_F(DestinationRefusal, APathLeftFromAnEarlierSourceIsFree)
{
    ConvertRun_ReleaseSource(&job);
    DiskGeometry g = {0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, 2048);
    job.sourceDisk = Disk_Alloc();
    Disk_Init(job.sourceDisk);
    ASSERT_EQ(Disk_OpenZero(job.sourceDisk, &g), DISK_OK);
    job.finalGeometry = g;
    job.sourceDevice = "";
    for (int32_t kind : {JOB_SOURCE_NEW_DISK, JOB_SOURCE_DEVICE}) {
        job.sourceKind = kind;
        EXPECT_EQ(ConvertRun_CheckDestination(&job, raw, nullptr), CONVERT_DEST_OK) << kind;
    }
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    job.destKind = DEST_FLAT;
    job.destPath = raw.c_str();
    ConvertRunContext context;
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
    EXPECT_EQ(ReadFile(raw), std::vector<uint8_t>(2048 * 512, 0));
    // While the image is the source, its path counts.
    for (int32_t kind : {JOB_SOURCE_IMAGE, JOB_SOURCE_RAW_FILE}) {
        job.sourceKind = kind;
        EXPECT_EQ(ConvertRun_CheckDestination(&job, raw, nullptr), CONVERT_DEST_IS_SOURCE) << kind;
    }
}

TEST_F(DestinationRefusal, SiblingOutputs)
{
    std::vector<std::string> files;
    // Flat raw image: its ".txt" description must not be the source, nor the image itself.
    ConvertRun_DestinationFiles(&job, dir.file("a.img"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("a.img"), dir.file("a.txt")}));
    std::string txtSource = dir.file("disk.txt");
    ASSERT_EQ(rename(raw.c_str(), txtSource.c_str()), 0);  // same inode, new name
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("disk.img"), nullptr),
              CONVERT_DEST_IS_SOURCE);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("x.txt"), nullptr),
              CONVERT_DEST_SELF_OVERLAP);
    ASSERT_EQ(rename(txtSource.c_str(), raw.c_str()), 0);
    // Bochs images have the same description beside them.
    for (int32_t kind : {8, 9}) {
        job.destKind = kind;
        EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("x.txt"), nullptr),
                  CONVERT_DEST_SELF_OVERLAP);
        EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("x.img"), nullptr), CONVERT_DEST_OK);
    }
    job.destKind = DEST_FLAT;

    // COWD version 3: extents after the first are numbered from 2 before the extension; one
    // extent is one file, and version 1 is always one file.
    job.destKind = DEST_COWD3;
    Geometry_SetTotalSectors(&job.finalGeometry, 2ull * COWD_EXTENT_SECTORS + 1);
    files.clear();
    ConvertRun_DestinationFiles(&job, dir.file("c.dsk"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("c.dsk"), dir.file("c-02.dsk"),
                                               dir.file("c-03.dsk")}));
    ASSERT_EQ(link(raw.c_str(), dir.file("c-03.dsk").c_str()), 0);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("c.dsk"), nullptr),
              CONVERT_DEST_IS_SOURCE);
    Geometry_SetTotalSectors(&job.finalGeometry, COWD_EXTENT_SECTORS);
    files.clear();
    ConvertRun_DestinationFiles(&job, dir.file("c.dsk"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("c.dsk")}));
    job.destKind = DEST_COWD2;
    Geometry_SetTotalSectors(&job.finalGeometry, 2ull * COWD_EXTENT_SECTORS);
    files.clear();
    ConvertRun_DestinationFiles(&job, dir.file("c.dsk"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("c.dsk")}));
    job.destKind = DEST_FLAT;

    // VMDK: a flat extent, or numbered extents, beside the descriptor.
    job.destKind = DEST_VMDK;
    ASSERT_TRUE(OptionRules_StoreGeometry(&job));
    job.vmdkList4 = 1;
    files.clear();
    ConvertRun_DestinationFiles(&job, dir.file("d.vmdk"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("d.vmdk"), dir.file("d-flat.vmdk")}));
    ASSERT_EQ(link(raw.c_str(), dir.file("d-flat.vmdk").c_str()), 0);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("d.vmdk"), nullptr),
              CONVERT_DEST_IS_SOURCE);
    job.vmdkList4 = 0;
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("d.vmdk"), nullptr), CONVERT_DEST_OK);
    job.vmdkSplit = 1;
    job.vmdkSplitSectors = 1024;  // 2048 sectors: two extents
    files.clear();
    ConvertRun_DestinationFiles(&job, dir.file("e.vmdk"), &files);
    EXPECT_EQ(files, (std::vector<std::string>{dir.file("e.vmdk"), dir.file("e-s001.vmdk"),
                                               dir.file("e-s002.vmdk")}));
    ASSERT_EQ(link(raw.c_str(), dir.file("e-s002.vmdk").c_str()), 0);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, dir.file("e.vmdk"), nullptr),
              CONVERT_DEST_IS_SOURCE);
}

// ---- Trim in place -------------------------------------------------------------------------------------

class TrimInPlace : public ::testing::TestWithParam<const char*> {
protected:
    TempDir dir;
    std::string raw;
    std::string image;
    std::vector<uint8_t> source;

    // A sparse image that stores the garbage of the free space (written without a map).
    void MakeImage()
    {
        raw = MakeDisk(dir, "ext", 24);
        source = ReadFile(raw);
        const std::string format = GetParam();
        image = dir.file(format == "parallels" ? "img.hdd" : "img." + format);
        ConversionJob job;
        PrepareJob(&job, raw, OpenRaw(raw), nullptr,
                   format == "vmdk"        ? 0
                   : format == "vhdx"      ? 3
                   : format == "vhd"       ? 4
                   : format == "parallels" ? 7
                   : format == "vdi"       ? 12
                                           : 11,
                   image);
        job.qcow2ClusterIndex = 3;  // 4 KiB clusters
        ConvertRunContext context;
        ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
        ConvertRun_ReleaseSource(&job);
    }

    void OpenForTrim(ConversionJob* job)
    {
        DiskHandle* h = Disk_Alloc();
        Disk_Init(h);
        ASSERT_EQ(Disk_Open(h, image.c_str(), false), DISK_OK);
        ASSERT_TRUE(ConvertRun_IsTrimAvailable(Disk_GetKind(h)));
        job->sourcePath = image.c_str();
        job->sourceDisk = h;
        job->volumeList = BuildMap(h);
        job->trimInPlace = 1;
    }

    std::string Format() const { return std::string(GetParam()) == "vhd" ? "vpc" : GetParam(); }

    std::vector<uint8_t> Back(const std::string& path, const std::string& name)
    {
        std::string out = dir.file(name);
        std::string log;
        if (Format() != "vpc") {
            EXPECT_EQ(
                RunCommand("qemu-img check -f " + Format() + " " + Quote(path) + " 2>&1", &log), 0)
                << log;
        }
        EXPECT_EQ(RunCommand("qemu-img convert -f " + Format() + " -O raw " + Quote(path) + " " +
                             Quote(out)),
                  0);
        return ReadFile(out);
    }
};

TEST_P(TrimInPlace, LeavesTheImageAndTheOldOneUnderDel)
{
    MakeImage();
    struct stat before;
    stat(image.c_str(), &before);
    ConversionJob job;
    OpenForTrim(&job);
    std::vector<bool> used = UsedSectors(job.volumeList, source.size() / 512);
    job.trimOption = 0;
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_OK);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
    struct stat after, old;
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    ASSERT_EQ(stat((image + "_del").c_str(), &old), 0);
    EXPECT_EQ(old.st_size, before.st_size);
    EXPECT_LT(after.st_size, before.st_size * 3 / 4);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
    std::vector<uint8_t> trimmed = Back(image, "trimmed.raw");
    std::vector<uint8_t> kept = Back(image + "_del", "kept.raw");
    ExpectUsedEqual(source, trimmed, 0, used);
    ExpectUsedEqual(source, kept, 0, used);
    ExpectFsckClean(dir, dir.file("trimmed.raw"), "ext");
}

TEST_P(TrimInPlace, CancelledCompactionLeavesTheImage)
{
    MakeImage();
    std::vector<uint8_t> before = ReadFile(image);
    ConversionJob job;
    OpenForTrim(&job);
    ProgressLog log;
    log.stopAfter = 2;
    ConvertRunContext context;
    context.progress = LogProgress;
    context.user = &log;
    EXPECT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_CANCELLED);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(ReadFile(image), before);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
    EXPECT_FALSE(Os_PathExists((image + "_del").c_str()));
}

// Commit hook: checks that the image's name still holds the old image while the replaced file
// is already kept under its backup name, then removes the temporary file, so that the new file
// cannot take the image's name.
struct SwapProbe {
    std::string image;
    std::string temp;
    std::vector<uint8_t> before;
    bool called = false;
};

void ProbeSwap(const char* finalPath, const char* keptPath, void* user)
{
    SwapProbe* probe = static_cast<SwapProbe*>(user);
    probe->called = true;
    EXPECT_EQ(probe->image, finalPath);
    EXPECT_TRUE(ReadFile(finalPath) == probe->before) << "the image's name must never be empty";
    EXPECT_TRUE(ReadFile(keptPath) == probe->before);
    std::remove(probe->temp.c_str());
}

TEST_P(TrimInPlace, FailedCommitIsReportedAndTheOriginalKeepsItsName)
{
    MakeImage();
    SwapProbe probe;
    probe.image = image;
    probe.temp = image + "_TEMP";
    probe.before = ReadFile(image);
    ConversionJob job;
    OpenForTrim(&job);
    ConvertRunContext context;
    Output_SetCommitHook(ProbeSwap, &probe);
    EXPECT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_ERR_CREATE);
    Output_SetCommitHook(nullptr, nullptr);
    EXPECT_TRUE(probe.called);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(ReadFile(image), probe.before);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
    EXPECT_FALSE(Os_PathExists((image + "_del").c_str()));
}

// A second trim never destroys the first one's backup: without leave it is refused (image and
// backup as they were, no temporary file left); with leave the backup is replaced. The
// question's file is the backup name.
TEST_P(TrimInPlace, ASecondTrimKeepsTheFirstBackupUnlessAllowed)
{
    MakeImage();
    const std::vector<uint8_t> original = ReadFile(image);
    ConversionJob job;
    OpenForTrim(&job);
    std::vector<bool> used = UsedSectors(job.volumeList, source.size() / 512);
    std::string which;
    EXPECT_FALSE(ConvertRun_ExistingTrimBackup(&job, &which));
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_OK);
    const std::vector<uint8_t> first = ReadFile(image);
    ASSERT_EQ(ReadFile(image + "_del"), original);

    ConversionJob second;
    OpenForTrim(&second);
    EXPECT_TRUE(ConvertRun_ExistingTrimBackup(&second, &which));
    EXPECT_EQ(which, image + "_del");
    EXPECT_EQ(ConvertRun_TrimInPlace(&second, &context), DISK_ERR_BACKUP_EXISTS);
    EXPECT_EQ(second.sourceDisk, nullptr);
    EXPECT_EQ(ReadFile(image + "_del"), original);
    EXPECT_EQ(ReadFile(image), first);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));

    ConversionJob third;
    OpenForTrim(&third);
    context.replaceBackups = true;
    ASSERT_EQ(ConvertRun_TrimInPlace(&third, &context), DISK_OK);
    EXPECT_EQ(ReadFile(image + "_del"), first);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
    ExpectUsedEqual(source, Back(image, "trimmed.raw"), 0, used);
    ExpectUsedEqual(source, Back(image + "_del", "kept.raw"), 0, used);
}

// A "_TEMP" file left by a run that was killed is never taken for the image nor written over:
// the next trim works beside it under a free name and leaves it as it was.
TEST_P(TrimInPlace, ALeftoverTemporaryFileIsNeitherReusedNorTakenForTheImage)
{
    MakeImage();
    // The leftover is a complete image of other data, the worst case to confuse.
    const std::vector<uint8_t> leftover = ReadFile(image);
    std::vector<uint8_t> scrambled = leftover;
    for (size_t i = scrambled.size() / 2; i < scrambled.size(); i += 4096) scrambled[i] ^= 0x5a;
    testsupport::WriteFile(image + "_TEMP", scrambled);
    ConversionJob job;
    OpenForTrim(&job);
    std::vector<bool> used = UsedSectors(job.volumeList, source.size() / 512);
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_OK);
    EXPECT_EQ(ReadFile(image + "_TEMP"), scrambled);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP1").c_str()));
    EXPECT_EQ(ReadFile(image + "_del"), leftover);
    ExpectUsedEqual(source, Back(image, "trimmed.raw"), 0, used);
    ExpectFsckClean(dir, dir.file("trimmed.raw"), "ext");
}

INSTANTIATE_TEST_SUITE_P(Formats, TrimInPlace,
                         ::testing::Values("vmdk", "vhd", "vhdx", "qcow2", "parallels", "vdi"));

// An AES qcow2 source opened with its key: converted to a compressed qcow2 image, then trimmed
// in place, which keeps it encrypted with the same key.
TEST(QcowRun, EncryptedSourceToCompressedQcow2AndTrim)
{
    TempDir dir;
    const std::string raw = MakeDisk(dir, "ext", 16);
    const std::string image = dir.file("secret.qcow2");
    const std::string secret = "--object secret,id=s,data=secret ";
    std::string log;
    ASSERT_EQ(RunCommand("qemu-img convert " + secret +
                             "-f raw -O qcow2 -o encrypt.format=aes,encrypt.key-secret=s " +
                             Quote(raw) + " " + Quote(image) + " 2>&1",
                         &log),
              0)
        << log;
    const uint8_t key[16] = {'s', 'e', 'c', 'r', 'e', 't'};
    DiskHandle* h = Disk_Alloc();
    Disk_Init(h);
    ASSERT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), true, key, 16, 0), DISK_OK);
    const std::string out = dir.file("packed.qcow2");
    {
        ConversionJob job;
        PrepareJob(&job, image, h, BuildMap(h), DEST_QCOW2, out);
        job.formatFlags = 1;
        job.qcow2ClusterIndex = 7;
        ConvertRunContext context;
        ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
        EXPECT_EQ(RunCommand("qemu-img check -f qcow2 " + Quote(out) + " 2>&1", &log), 0) << log;
        // Every sector the file systems use reads as in the source.
        const std::vector<uint8_t> source = ReadFile(raw);
        const std::string back = dir.file("back.raw");
        ASSERT_EQ(RunCommand("qemu-img convert -f qcow2 -O raw " + Quote(out) + " " + Quote(back)),
                  0);
        ExpectUsedEqual(source, ReadFile(back), 0,
                        UsedSectors(job.volumeList, source.size() / 512));
        ConvertRun_ReleaseSource(&job);
    }
    // The trim needs the key the source was opened with.
    h = Disk_Alloc();
    Disk_Init(h);
    ASSERT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), false, key, 16, 0), DISK_OK);
    ConversionJob job;
    job.sourcePath = image.c_str();
    job.sourceDisk = h;
    job.volumeList = BuildMap(h);
    job.trimInPlace = 1;
    job.keySet = 0;
    ConvertRunContext context;
    EXPECT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_ERR_PASSWORD);
    job.keySet = 1;
    memcpy(job.encryptionKey, key, 16);
    ASSERT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_OK);
    const std::string opts =
        secret + "--image-opts driver=qcow2,file.filename=" + image + ",encrypt.key-secret=s";
    EXPECT_EQ(RunCommand("qemu-img check " + opts + " 2>&1", &log), 0) << log;
    const std::string back = dir.file("trimmed.raw");
    ASSERT_EQ(RunCommand("qemu-img convert " + opts + " -O raw " + Quote(back) + " 2>&1", &log), 0)
        << log;
    ExpectFsckClean(dir, back, "ext");
    ConvertRun_ReleaseSource(&job);
}

TEST(TrimRules, KindsKeysAndMissingSource)
{
    ConversionJob job;
    ConvertRunContext context;
    EXPECT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_ERR_ARG);
    // A raw disk cannot be trimmed and is left open.
    TempDir dir;
    std::string raw = dir.file("r.raw");
    testsupport::WriteFile(raw, std::vector<uint8_t>(65536, 0));
    job.sourceDisk = OpenRaw(raw);
    job.volumeList = UsedMap_Alloc();
    UsedMap_Init(job.volumeList);
    EXPECT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_ERR_ARG);
    EXPECT_NE(job.sourceDisk, nullptr);
    EXPECT_NE(job.volumeList, nullptr);
    ConvertRun_ReleaseSource(&job);
    for (DiskKind k : {DISK_KIND_VMDK, DISK_KIND_VHD, DISK_KIND_VHDX, DISK_KIND_QCOW2,
                       DISK_KIND_PARALLELS, DISK_KIND_PARALLELS_BUNDLE, DISK_KIND_VDI})
        EXPECT_TRUE(ConvertRun_IsTrimAvailable(k));
    for (DiskKind k : {DISK_KIND_VHD_FIXED, DISK_KIND_RAW})
        EXPECT_FALSE(ConvertRun_IsTrimAvailable(k));

    // The key of an encrypted source: used when the job holds it, refused when it does not.
    const uint8_t* key = reinterpret_cast<const uint8_t*>(1);
    job.keySet = 0;
    EXPECT_EQ(ConvertRun_TrimKey(&job, false, &key), DISK_OK);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(ConvertRun_TrimKey(&job, true, &key), DISK_ERR_PASSWORD);
    EXPECT_EQ(key, nullptr);
    job.keySet = 1;
    EXPECT_EQ(ConvertRun_TrimKey(&job, true, &key), DISK_OK);
    EXPECT_EQ(key, job.encryptionKey);
}

// ---- Options builders -------------------------------------------------------------------------------

TEST(VhdOptions, CreatorAndLayoutTables)
{
    struct Row {
        uint32_t index;
        const char* app;
        uint32_t version;
    };
    const Row creators[] = {{0, "vs  ", 0x00010000}, {1, "vpc ", 0x00050000},
                            {2, "vpc ", 0x00050003}, {3, "vpc ", 0x00010000},
                            {4, "win ", 0x00060001}, {5, "win ", 0x00060002},
                            {6, "vpc ", 0x00050003}, {99, "vpc ", 0x00050003}};
    for (const Row& r : creators) {
        VhdCreateOptions o;
        memset(&o, 0xEE, sizeof o);
        ConvertRun_VhdCreator(r.index, &o);
        uint32_t app = ((uint32_t)(uint8_t)r.app[0] << 24) | ((uint32_t)(uint8_t)r.app[1] << 16) |
                       ((uint32_t)(uint8_t)r.app[2] << 8) | (uint8_t)r.app[3];
        EXPECT_EQ(o.creatorApplication, app) << r.index;
        EXPECT_EQ(o.creatorVersion, r.version) << r.index;
    }
    struct Layout {
        uint32_t index, align, block, afterBat, afterBlock;
    };
    const Layout layouts[] = {{0, 0, 4096, 1, 0},   {1, 0, 1024, 1, 0}, {2, 0, 0x8000, 4, 0},
                              {3, 0, 0x8000, 3, 0}, {4, 0, 4096, 1, 0}, {5, 0, 4096, 0, 0},
                              {6, 1, 4096, 7, 7},   {7, 0, 4096, 1, 0}};
    for (const Layout& l : layouts) {
        VhdCreateOptions o;
        ConvertRun_VhdLayout(l.index, &o);
        EXPECT_EQ(o.batAlignment, l.align) << l.index;
        EXPECT_EQ(o.blockSectors, l.block) << l.index;
        EXPECT_EQ(o.zeroSectorsAfterBat, l.afterBat) << l.index;
        EXPECT_EQ(o.zeroSectorsAfterBlock, l.afterBlock) << l.index;
    }
    ConversionJob job;
    job.vhdCreatorIndex = 0;
    job.vhdLayoutIndex = 2;
    job.vhdFixedCreatorIndex = 5;
    VhdCreateOptions dyn, fixed;
    ConvertRun_BuildVhdOptions(&job, true, &dyn);
    EXPECT_EQ(dyn.creatorVersion, 0x00010000u);
    EXPECT_EQ(dyn.blockSectors, 0x8000u);
    ConvertRun_BuildVhdOptions(&job, false, &fixed);
    EXPECT_EQ(fixed.creatorVersion, 0x00060002u);
    EXPECT_EQ(fixed.blockSectors, 0u);
    EXPECT_EQ(fixed.zeroSectorsAfterBat, 0u);
}

TEST(VmdkOptions, ExtentPlanTable)
{
    struct Row {
        uint64_t total;
        bool first, split;
        uint32_t size;
        int result;
        uint64_t count, largest;
    };
    const Row rows[] = {
        {1000, false, false, 0, VMDK_LAYOUT_OK, 1, 1000},
        {1000, true, false, 0, VMDK_LAYOUT_OK, 2, 937},
        {64, true, false, 0, VMDK_LAYOUT_OK, 2, 63},
        {63, true, false, 0, VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL, 1, 63},
        {10, true, true, 4, VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL, 1, 10},
        {1000, false, true, 300, VMDK_LAYOUT_OK, 4, 300},
        {1000, true, true, 300, VMDK_LAYOUT_OK, 5, 300},
        {1000, true, true, 10, VMDK_LAYOUT_OK, 95, 63},
        {1000, false, true, 0, VMDK_LAYOUT_NO_SECTORS, 0, 0},
        {0, false, false, 0, VMDK_LAYOUT_NO_SECTORS, 0, 0},
        {1000000, false, true, 1000, VMDK_LAYOUT_OK, 1000, 1000},
        {1000001, false, true, 1000, VMDK_LAYOUT_TOO_MANY_EXTENTS, 1001, 1000},
        {0x100000000ull, false, false, 0, VMDK_LAYOUT_EXTENT_TOO_LARGE, 1, 0x100000000ull},
        {0x3FFFFFFFFFFFFFull, false, true, 0xFE000000u, VMDK_LAYOUT_TOO_MANY_EXTENTS, 4227331,
         0xFE000000u},
    };
    for (const Row& r : rows) {
        uint64_t count, largest;
        EXPECT_EQ(ConvertRun_VmdkExtentPlan(r.total, r.first, r.split, r.size, &count, &largest),
                  r.result)
            << r.total << " " << r.first << " " << r.size;
        EXPECT_EQ(count, r.count) << r.total << " " << r.size;
        EXPECT_EQ(largest, r.largest) << r.total << " " << r.size;
    }
    // Stream-optimised output holds one extent only.
    EXPECT_EQ(ConvertRun_CheckVmdkLayout(1000, 3, false, false, 0), VMDK_LAYOUT_OK);
    EXPECT_EQ(ConvertRun_CheckVmdkLayout(1000, 3, true, false, 0), VMDK_LAYOUT_STREAM_NOT_SINGLE);
    EXPECT_EQ(ConvertRun_CheckVmdkLayout(1000, 3, false, true, 500), VMDK_LAYOUT_STREAM_NOT_SINGLE);
    EXPECT_EQ(ConvertRun_CheckVmdkLayout(1000, 3, false, true, 5000), VMDK_LAYOUT_OK);
}

TEST(VmdkOptions, RecordFromTheJob)
{
    ConversionJob job;
    job.vmdkRadio = 7;
    job.vmdkList14 = 11;
    job.vmdkList3 = 2;
    struct Row {
        uint32_t type, flat, compressed, stream;
    };
    const Row rows[] = {{0, 0, 0, 0}, {1, 1, 0, 0}, {2, 0, 1, 0}, {3, 0, 1, 1}, {4, 0, 1, 1}};
    for (const Row& r : rows) {
        job.vmdkList4 = r.type;
        VmdkCreateOptions* o = nullptr;
        ASSERT_EQ(ConvertRun_BuildVmdkOptions(&job, 5000, &o), DISK_OK);
        EXPECT_EQ(o->flat, r.flat);
        EXPECT_EQ(o->compressedGrains, r.compressed);
        EXPECT_EQ(o->streamOptimized, r.stream);
        EXPECT_EQ(o->adapter, 2u);
        EXPECT_EQ(o->hwVersionIndex, 11u);
        EXPECT_EQ(o->encodingChoice, 2u);
        EXPECT_EQ(o->extentCount, 1u);
        EXPECT_EQ(o->split, 0u);
        EXPECT_EQ(Vmdk_CreateOptionsExtent(o, 0)->sectors, 5000u);
        EXPECT_EQ(Vmdk_CreateOptionsExtent(o, 0)->fileName[0], 0);
        Mem_Free(o);
    }
    job.vmdkList4 = 0;
    job.vmdkRadio = 1;
    job.vmdkCheck = 1;
    job.vmdkSplit = 1;
    job.vmdkSplitSectors = 2000;
    VmdkCreateOptions* o = nullptr;
    ASSERT_EQ(ConvertRun_BuildVmdkOptions(&job, 5000, &o), DISK_OK);
    EXPECT_EQ(o->adapter, 1u);
    EXPECT_EQ(o->split, 1u);
    ASSERT_EQ(o->extentCount, 4u);
    const uint32_t sizes[] = {63, 2000, 2000, 937};
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Vmdk_CreateOptionsExtent(o, i)->sectors, sizes[i]);
    Mem_Free(o);
    // A split size beyond the disk leaves one extent, which is never listed apart.
    job.vmdkCheck = 0;
    job.vmdkSplitSectors = 8000;
    ASSERT_EQ(ConvertRun_BuildVmdkOptions(&job, 5000, &o), DISK_OK);
    EXPECT_EQ(o->extentCount, 1u);
    EXPECT_EQ(o->split, 0u);
    Mem_Free(o);
    job.vmdkCheck = 1;
    job.vmdkSplitSectors = 2000;
    // Refused layouts build nothing.
    job.vmdkList4 = 3;
    EXPECT_EQ(ConvertRun_BuildVmdkOptions(&job, 5000, &o), DISK_ERR_ARG);
    EXPECT_EQ(o, nullptr);
    job.vmdkList4 = 0;
    EXPECT_EQ(ConvertRun_BuildVmdkOptions(&job, 63, &o), DISK_ERR_ARG);
    job.vmdkCheck = 0;
    job.vmdkSplitSectors = 4;
    EXPECT_EQ(ConvertRun_BuildVmdkOptions(&job, 5000, &o), DISK_ERR_ARG);
    EXPECT_EQ(o, nullptr);
}

}  // namespace

// ---- Parallels bundles as destination and as trimmed source ------------------------------------------

namespace {

std::vector<uint8_t> ReadDisk(const std::string& path)
{
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_Open(&h, path.c_str(), true), DISK_OK) << path;
    if (h.object == nullptr) return {};
    DiskGeometry g;
    memset(&g, 0, sizeof g);
    Disk_GetGeometry(&h, &g);
    std::vector<uint8_t> data(Geometry_GetTotalSectors(&g) * 512);
    for (size_t o = 0; o < data.size(); o += 1 << 20)
        EXPECT_EQ(Disk_Read(&h, o, (uint32_t)std::min<size_t>(1 << 20, data.size() - o), &data[o]),
                  DISK_OK);
    Disk_Close(&h);
    return data;
}

}  // namespace

// The bundle's path is its directory, typed with or without the separator: it is not taken for
// the source, it is written, and an existing bundle is written over (after the page's question).
TEST(ConvertRun, BundleDestinationIsItsDirectory)
{
    TempDir dir;
    std::string raw = MakeDisk(dir, "fat", 16);
    const std::vector<uint8_t> source = ReadFile(raw);
    DiskHandle* disk = OpenRaw(raw);
    UsedSectorMap* map = BuildMap(disk);
    const std::vector<bool> used = UsedSectors(map, source.size() / 512);
    for (const std::string& path : {dir.file("a.hdd"), dir.file("b.hdd") + "/"}) {
        SCOPED_TRACE(path);
        ConversionJob job;
        PrepareJob(&job, raw, disk, map, DEST_PARALLELS_BUNDLE, path);
        EXPECT_EQ(ConvertRun_CheckDestination(&job, path, nullptr), CONVERT_DEST_OK);
        ConvertRunContext context;
        ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
        ExpectUsedEqual(source, ReadDisk(path), 0, used);
        job.sourceDisk = nullptr;
        job.volumeList = nullptr;
    }
    // Over the existing bundle: "Plain" data files of several storages this time.
    const std::string a = dir.file("a.hdd");
    ConversionJob again;
    PrepareJob(&again, raw, disk, map, 6, a);
    again.parallelsRadio = 1;
    again.parallelsFlag = 1;
    again.parallelsNumber = 10000;
    std::vector<std::string> files;
    ConvertRun_DestinationFiles(&again, a, &files);
    bool exists = false;
    for (const std::string& f : files) exists = exists || Os_PathExists(f.c_str());
    EXPECT_TRUE(exists) << "the page asks before the bundle is replaced";
    EXPECT_EQ(ConvertRun_CheckDestination(&again, a, nullptr), CONVERT_DEST_OK);
    ConvertRunContext context;
    ASSERT_EQ(ConvertRun_WriteImage(&again, &context), DISK_OK);
    const std::vector<uint8_t> desc = ReadFile(a + "/DiskDescriptor.xml");
    EXPECT_NE(std::string(desc.begin(), desc.end()).find("<Type>Plain</Type>"), std::string::npos);
    ExpectUsedEqual(source, ReadDisk(a + "/"), 0, used);
    // A run over a bundle that stops half way leaves no bundle that opens.
    ProgressLog log;
    log.stopAfter = 2;
    context.progress = LogProgress;
    context.user = &log;
    again.parallelsRadio = 0;
    EXPECT_EQ(ConvertRun_WriteImage(&again, &context), DISK_CANCELLED);
    DiskHandle probe;
    Disk_Init(&probe);
    EXPECT_NE(Disk_Open(&probe, a.c_str(), true), DISK_OK);
    EXPECT_EQ(probe.object, nullptr);
    again.sourceDisk = nullptr;
    again.volumeList = nullptr;
    UsedMap_Destroy(map);
    Mem_Free(map);
    Disk_Close(disk);
    Mem_Free(disk);

    // The open source bundle itself, named either way, is refused as destination.
    ConversionJob self;
    self.sourcePath = (dir.file("b.hdd") + "/").c_str();
    self.sourceKind = JOB_SOURCE_IMAGE;
    self.sourceDisk = Disk_Alloc();
    Disk_Init(self.sourceDisk);
    ASSERT_EQ(Disk_Open(self.sourceDisk, self.sourcePath.text(), true), DISK_OK);
    self.destKind = DEST_PARALLELS_BUNDLE;
    Disk_GetGeometry(self.sourceDisk, &self.finalGeometry);
    for (const std::string& path : {dir.file("b.hdd"), dir.file("b.hdd") + "/"})
        EXPECT_EQ(ConvertRun_CheckDestination(&self, path, nullptr), CONVERT_DEST_IS_SOURCE)
            << path;
    ConvertRun_ReleaseSource(&self);
}

// A bundle opened by its directory (with or without the separator) or by its descriptor is
// trimmed in place: every data file is replaced and kept under its backup name.
TEST(ConvertRun, BundleTrimmedByItsDirectory)
{
    TempDir dir;
    std::string raw = MakeDisk(dir, "ext", 16);
    const std::vector<uint8_t> source = ReadFile(raw);
    const std::string b = dir.file("vm.hdd");
    {
        // Two storages, "Compressed", holding the free space's garbage (no map).
        DiskHandle* disk = OpenRaw(raw);
        ParallelsBundleCreateOptions options = {1, 20000, 0};
        ASSERT_EQ(ParallelsBundle_Create(b.c_str(), disk, nullptr, nullptr, nullptr, &options),
                  DISK_OK);
        Disk_Close(disk);
        Mem_Free(disk);
    }
    const std::string first = b + "/vm.hdd.0.{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds";
    const std::string second = b + "/vm.hdd.1.{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds";
    const uint64_t before = ReadFile(first).size() + ReadFile(second).size();
    for (const std::string& path : {b + "/", b, b + "/DiskDescriptor.xml"}) {
        SCOPED_TRACE(path);
        ConversionJob job;
        job.sourcePath = path.c_str();
        job.sourceKind = JOB_SOURCE_IMAGE;
        job.sourceDisk = Disk_Alloc();
        Disk_Init(job.sourceDisk);
        ASSERT_EQ(Disk_Open(job.sourceDisk, path.c_str(), false), DISK_OK);
        ASSERT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_PARALLELS_BUNDLE);
        job.volumeList = BuildMap(job.sourceDisk);
        const std::vector<bool> used = UsedSectors(job.volumeList, source.size() / 512);
        job.trimInPlace = 1;
        ConvertRunContext context;
        context.replaceBackups = true;
        ASSERT_EQ(ConvertRun_TrimInPlace(&job, &context), DISK_OK);
        // The old descriptor is kept; the data files it names stay beside it as its backup, and
        // the new descriptor names smaller ones.
        EXPECT_TRUE(Os_PathExists((b + "/DiskDescriptor.xml_del").c_str()));
        const std::vector<uint8_t> text = ReadFile(b + "/DiskDescriptor.xml");
        const std::string descriptor(text.begin(), text.end());
        uint64_t after = 0;
        int named = 0;
        for (const auto& entry : std::filesystem::directory_iterator(b)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hds") == 0 &&
                descriptor.find(">" + name + "<") != std::string::npos) {
                after += ReadFile(entry.path().string()).size();
                ++named;
            }
        }
        EXPECT_EQ(named, 2);
        EXPECT_LT(after, before);
        ExpectUsedEqual(source, ReadDisk(path), 0, used);
    }
}

// A file (not a bundle) under the bundle's name stays as it is, and the run says why it fails.
TEST(ConvertRun, BundleOverAFileFailsWithItsCause)
{
    TempDir dir;
    std::string raw = dir.file("noise.raw");
    testsupport::WriteFile(raw, testsupport::RandomBytes(1024 * 1024, 5));
    const std::string path = dir.file("taken.hdd");
    testsupport::WriteFile(path, {1, 2, 3});
    ConversionJob job;
    PrepareJob(&job, raw, OpenRaw(raw), nullptr, DEST_PARALLELS_BUNDLE, path);
    EXPECT_EQ(ConvertRun_CheckDestination(&job, path, nullptr), CONVERT_DEST_OK);
    ConvertRunContext context;
    EXPECT_EQ(ConvertRun_WriteImage(&job, &context), DISK_ERR_MKDIR);
    EXPECT_EQ(context.cause.kind, RUN_CAUSE_CREATE);
    EXPECT_EQ(context.cause.error, EEXIST);
    EXPECT_EQ(ReadFile(path), (std::vector<uint8_t>{1, 2, 3}));
    ConvertRun_ReleaseSource(&job);
}
