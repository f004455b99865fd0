// A conversion onto a file system that fills up during the run: every destination kind ends
// with a failure result, the source stays as it was, and nothing is left at the destination
// that reads as a whole copy of the source. The file system is a small tmpfs mounted for the
// test (skipped with a message where mounting is not allowed).
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "gui/job/convert_run.h"
#include "gui/job/raw_source.h"
#include "gui/job/option_rules.h"
#include "gui/job/routing.h"
#include "support/test_support.h"

using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

const uint64_t kSourceBytes = 6u << 20;
const char kFsSize[] = "size=2m";
const uint64_t kFillerBytes = 1536u << 10;  // leaves about 512 KiB free

// The whole disk of an image through the probing open; empty when it does not open or read.
std::vector<uint8_t> ReadImage(const std::string& path)
{
    DiskHandle disk;
    Disk_Init(&disk);
    std::vector<uint8_t> bytes;
    if (Disk_Open(&disk, path.c_str(), true) != DISK_OK) return bytes;
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    bytes.resize(Geometry_GetTotalSectors(&g) * g.bytes_per_sector);
    if (bytes.empty() || Disk_Read(&disk, 0, (uint32_t)bytes.size(), bytes.data()) != DISK_OK)
        bytes.clear();
    Disk_Close(&disk);
    return bytes;
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        mountPoint = dir.file("small");
        ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
        if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, kFsSize) != 0)
            GTEST_SKIP() << "a small tmpfs cannot be mounted here (" << strerror(errno)
                         << "): the full-disk conversions are not tried";
        mounted = true;
        testsupport::WriteFile(mountPoint + "/filler", std::vector<uint8_t>(kFillerBytes, 0x5a));
        source = dir.file("noise.raw");
        testsupport::WriteFile(source, testsupport::RandomBytes(kSourceBytes, 11));
    }
    void TearDown() override
    {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
    }
    TempDir dir;
    std::string mountPoint, source;
    bool mounted = false;
};

struct Destination {
    const char* name;
    int32_t destKind;
    uint32_t vmdkType;
};

TEST_F(FullDisk, EveryDestinationFailsAndTheSourceStaysWhole)
{
    const Destination destinations[] = {
        {"sparse.vmdk", DEST_VMDK, 0},    {"flat.vmdk", DEST_VMDK, 1},
        {"stream.vmdk", DEST_VMDK, 3},    {"dynamic.vhd", DEST_VHD_DYNAMIC, 0},
        {"fixed.vhd", DEST_VHD_FIXED, 0}, {"disk.hdi", DEST_HDI, 0},
        {"disk.img", DEST_FLAT, 0},
    };
    const std::vector<uint8_t> original = ReadFile(source);
    for (const Destination& d : destinations) {
        SCOPED_TRACE(d.name);
        const std::string out = mountPoint + "/" + d.name;
        ConversionJob job;
        ASSERT_TRUE(OpenRawSource(&job, source, RawSourceGeometry(kSourceBytes)));
        job.sourceKind = JOB_SOURCE_IMAGE;
        job.volumeList = nullptr;
        job.destKind = d.destKind;
        job.destPath = out.c_str();
        job.vmdkList14 = 11;
        job.vmdkList4 = d.vmdkType;
        job.vhdLayoutIndex = 5;
        job.vhdCreatorIndex = 4;
        job.vhdFixedCreatorIndex = 4;
        Disk_GetGeometry(job.sourceDisk, &job.sourceGeometry);
        job.workGeometry = job.sourceGeometry;
        ASSERT_TRUE(OptionRules_StoreGeometry(&job));
        if (!Routing_IsWholeCylinders(d.destKind, &job.destGeometry)) {
            DiskGeometry rounded;
            ASSERT_EQ(OptionRules_RoundToCylinders(&job, job.cylinderBased ? 1 : 0, &rounded),
                      CYLINDER_OK);
            job.finalGeometry = rounded;
        }
        ConvertRunContext context;
        const int rc = ConvertRun_WriteImage(&job, &context);
        // The file system refused the data (or the space reserved for it).
        EXPECT_TRUE(rc == DISK_ERR_WRITE || rc == DISK_ERR_CREATE) << "result " << rc;
        ConvertRun_ReleaseSource(&job);
        EXPECT_TRUE(ReadFile(source) == original) << "the source changed";
        // Whatever stays at the destination must not read as a whole copy.
        if (Os_PathExists(out.c_str())) {
            std::vector<uint8_t> copy = ReadImage(out);
            EXPECT_FALSE(copy.size() >= original.size() &&
                         std::equal(original.begin(), original.end(), copy.begin()))
                << "the partial output reads as a whole copy of the source";
        }
        RunCommand("rm -f " + Quote(mountPoint) + "/*.vmdk " + Quote(mountPoint) + "/*.vhd " +
                   Quote(mountPoint) + "/*.hdi " + Quote(mountPoint) + "/*.img");
    }
}

}  // namespace
