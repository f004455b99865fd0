// The window-free rules of the source, source-information, destination-type and geometry pages
// as tables: sector-size lists, the new-disk arithmetic and its cap, how open results are
// answered, the keyed reopen that keeps its key, the one used-sector map builder (PC-98 table
// included, no map for a disk without a recognised file system), the trim preparation, the
// destination list and the geometry page's result. Every case releases what it built (the
// sanitizer build checks that).
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include "disk/disk_open.h"
#include "foundation/platform.h"
#include "gui/frame/messages.h"
#include "gui/pages/source_rules.h"
#include "support/test_support.h"
#include "source_test_util.h"
#include "volume/used_map.h"

namespace {

using namespace sourcetest;
using testsupport::TempDir;

TEST(SourceRules, SectorSizeList)
{
    struct Row {
        uint32_t bytes;
        int item;
    };
    const Row rows[] = {{0, 0},    {1, 0},     {128, 0},   {129, 1},   {256, 1},
                        {512, 2},  {513, 3},   {1024, 3},  {2048, 4},  {4096, 5},
                        {8192, 6}, {16384, 7}, {32768, 8}, {32769, 0}, {0xFFFFFFFFu, 0}};
    for (const Row& r : rows) EXPECT_EQ(SourceRules_SectorSizeItem(r.bytes), r.item) << r.bytes;
    for (int i = 0; i < SOURCE_SECTOR_SIZE_ITEMS; ++i)
        EXPECT_EQ(SourceRules_SectorSizeOfItem(i), 128u << i);
    EXPECT_EQ(SourceRules_SectorSizeOfItem(-1), 512u);
    EXPECT_EQ(SourceRules_SectorSizeOfItem(9), 512u);
}

TEST(SourceRules, ByteSizeFitsSixtyThreeBits)
{
    struct Row {
        uint64_t total;
        uint32_t bps;
        bool fits;
    };
    const Row rows[] = {
        {SOURCE_MAX_TOTAL_SECTORS, 512, true},     // 2^63 - 512
        {SOURCE_MAX_TOTAL_SECTORS, 1024, false},   // 2^64 - 1024 wraps nothing but passes 2^63
        {SOURCE_MAX_TOTAL_SECTORS, 32768, false},  // would wrap a 64-bit product
        {(1ull << 48) - 1, 32768, true},
        {1ull << 48, 32768, false},  // exactly 2^63 bytes
        {4, 0, true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(SourceRules_ByteSizeFits(r.total, r.bps), r.fits) << r.total << " x " << r.bps;
}

TEST(SourceRules, NewDiskSectorsAreCappedAfterTheUnit)
{
    struct Row {
        int32_t unit;
        uint64_t value;
        uint32_t bps;
        bool ok;
        uint64_t sectors;
    };
    const Row rows[] = {
        {NEW_DISK_UNIT_GIB, 1, 4096, true, 262144},
        {NEW_DISK_UNIT_GIB, 1, 512, true, 2097152},
        {NEW_DISK_UNIT_MIB, 1, 512, true, 2048},
        {NEW_DISK_UNIT_MIB, 1, 32768, true, 32},
        {NEW_DISK_UNIT_MIB, 4096, 512, true, 8388608},
        {NEW_DISK_UNIT_SECTORS, 3, 512, false, 0},
        {NEW_DISK_UNIT_SECTORS, 4, 512, true, 4},
        {NEW_DISK_UNIT_SECTORS, SOURCE_MAX_TOTAL_SECTORS, 512, true, SOURCE_MAX_TOTAL_SECTORS},
        {NEW_DISK_UNIT_SECTORS, SOURCE_MAX_TOTAL_SECTORS + 1, 512, false, 0},
        {NEW_DISK_UNIT_MIB, 0, 512, false, 0},
        // The largest MiB value fits at 512 bytes, but not at 256 or 128 bytes per sector: the
        // unit's own range alone would allow 2^55 and 2^56 sectors.
        {NEW_DISK_UNIT_MIB, SOURCE_MAX_NEW_MIB, 512, true, SOURCE_MAX_NEW_MIB * 2048},
        {NEW_DISK_UNIT_MIB, SOURCE_MAX_NEW_MIB, 256, false, 0},
        {NEW_DISK_UNIT_MIB, SOURCE_MAX_NEW_MIB, 128, false, 0},
        {NEW_DISK_UNIT_MIB, SOURCE_MAX_NEW_MIB + 1, 4096, false, 0},
        {NEW_DISK_UNIT_GIB, SOURCE_MAX_NEW_GIB, 512, true, SOURCE_MAX_NEW_GIB << 21},
        {NEW_DISK_UNIT_GIB, SOURCE_MAX_NEW_GIB, 256, false, 0},
        {NEW_DISK_UNIT_GIB, SOURCE_MAX_NEW_GIB, 32768, true, SOURCE_MAX_NEW_GIB << 15},
        {NEW_DISK_UNIT_GIB, SOURCE_MAX_NEW_GIB + 1, 32768, false, 0},
        {NEW_DISK_UNIT_GIB, 0, 512, false, 0},
        {NEW_DISK_UNIT_MIB, 1, 1000, false, 0},  // not a size of the list
        {3, 1, 512, false, 0},
    };
    for (const Row& r : rows) {
        uint64_t sectors = 0xDEAD;
        EXPECT_EQ(SourceRules_NewDiskSectors(r.unit, r.value, r.bps, &sectors), r.ok)
            << r.unit << " " << r.value << " " << r.bps;
        if (r.ok) {
            EXPECT_EQ(sectors, r.sectors);
        } else {
            EXPECT_EQ(sectors, 0xDEADu);
        }
    }
}

TEST(SourceRules, NewDiskFieldValuesRoundUp)
{
    struct Row {
        uint64_t sectors;
        uint32_t bps;
        uint64_t mib, gib;
    };
    const Row rows[] = {{8388608, 512, 4096, 4},
                        {2049, 512, 2, 1},
                        {262144, 4096, 1024, 1},
                        {262145, 4096, 1025, 2},
                        {0, 512, 0, 0},
                        {5, 128, 1, 1},
                        {SOURCE_MAX_TOTAL_SECTORS, 512, 0x80000000000ull, 0x200000000ull}};
    for (const Row& r : rows) {
        uint64_t mib = 0, gib = 0;
        SourceRules_NewDiskFieldValues(r.sectors, r.bps, &mib, &gib);
        EXPECT_EQ(mib, r.mib) << r.sectors;
        EXPECT_EQ(gib, r.gib) << r.sectors;
    }
}

TEST(SourceRules, OpenResultsOnlyFallBackToRawForUnknownFiles)
{
    struct Row {
        int result;
        SourceOpenAction action;
        int message;
    };
    const Row rows[] = {
        {DISK_OK, SOURCE_OPEN_DONE, 0},
        {DISK_CANCELLED, SOURCE_OPEN_STAY, 0},
        {DISK_ERR_PASSWORD, SOURCE_OPEN_PASSWORD, 0},
        {DISK_ERR_FORMAT, SOURCE_OPEN_MESSAGE, 56},  // a known format, damaged
        {DISK_ERR_ARG, SOURCE_OPEN_RAW, 0},
        {DISK_ERR_SNAPSHOTS, SOURCE_OPEN_RAW, 0},
        {DISK_ERR_OPEN, SOURCE_OPEN_MESSAGE, 29},
        {DISK_ERR_READ, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_NOMEM, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_SIZE, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_FS_CORRUPT, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_KEY_LENGTH, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_PLUGIN, SOURCE_OPEN_MESSAGE, 56},
        {DISK_ERR_UNSUPPORTED, SOURCE_OPEN_MESSAGE, MSG_SOURCE_UNAPPLIED_LOG},
        {-999, SOURCE_OPEN_MESSAGE, 56},
    };
    for (const Row& r : rows) {
        int message = 0;
        EXPECT_EQ(SourceRules_ClassifyOpenResult(r.result, &message), r.action) << r.result;
        EXPECT_EQ(message, r.message) << r.result;
    }
}

// Damaged images of known formats, cut or patched from qemu-img's, are reported as damaged
// (message 56) instead of being taken as raw images; a file of no format still is one.
TEST(SourceRules, DamagedImagesGetTheirMessageUnknownFilesFallBackToRaw)
{
    if (!testsupport::HaveTool("qemu-img") || !testsupport::HaveTool("qemu-io"))
        GTEST_SKIP() << "qemu-img or qemu-io missing";
    TempDir dir;
    ASSERT_EQ(testsupport::RunCommand("python3 " +
                                      testsupport::Quote(std::string(VDX_TEST_SOURCE_DIR) +
                                                         "/disk/damaged_fixtures.py") +
                                      " " + testsupport::Quote(dir.path())),
              0);
    struct Row {
        const char* name;
        SourceOpenAction action;
        int message;
    };
    const Row rows[] = {
        {"sound.vhd", SOURCE_OPEN_DONE, 0},
        {"truncated.vhd", SOURCE_OPEN_MESSAGE, 56},
        {"cut-footer.vhd", SOURCE_OPEN_MESSAGE, 56},
        {"bat-past-end.vhd", SOURCE_OPEN_MESSAGE, 56},
        {"zero-gte.vmdk", SOURCE_OPEN_MESSAGE, 56},
        {"zero-grain.vmdk", SOURCE_OPEN_MESSAGE, 56},
        {"bad-descriptor.vmdk", SOURCE_OPEN_MESSAGE, 56},
        {"bad-checksum.vhd", SOURCE_OPEN_MESSAGE, 56},
        {"nodata.bin", SOURCE_OPEN_RAW, 0},
    };
    for (const Row& r : rows) {
        DiskHandle disk;
        Disk_Init(&disk);
        int message = 0;
        const int result = Disk_OpenEx(&disk, dir.file(r.name).c_str(), true, 0, NULL);
        EXPECT_EQ(SourceRules_ClassifyOpenResult(result, &message), r.action) << r.name;
        EXPECT_EQ(message, r.message) << r.name;
        Disk_Close(&disk);
    }
}

TEST(SourceRules, OnlyRegularFilesAndBlockDevicesAreUsable)
{
    TempDir dir;
    const std::string file = dir.file("a.img"), fifo = dir.file("x.vmdk");
    testsupport::WriteFile(file, std::vector<uint8_t>(512, 1));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Row {
        std::string path;
        bool unusable;
    };
    const Row rows[] = {
        {file, false},
        {dir.file("missing.vmdk"), false},  // the open says that it does not exist
        {fifo, true},
        {dir.path(), true},
        {"/dev/null", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(SourceRules_IsUnusableFileKind(r.path.c_str()), r.unusable) << r.path;
}

// ---- The keyed reopen ---------------------------------------------------------------------------

class PasswordRoad : public ::testing::Test {
protected:
    TempDir dir;
    ConversionJob job;
    std::string path;
    SourceKeyedOpenFn saved = SourceRules_KeyedOpen;
    void SetUp() override
    {
        path = dir.file("secret.qcow2");
        MakeFakeQcow2(path);
        job.sourcePath = path.c_str();
    }
    void TearDown() override
    {
        ConversionJob_Release(&job);
        SourceRules_KeyedOpen = saved;
    }
    // The state the general open leaves: the kind that asked for a key, no object.
    void AskingHandle(DiskKind kind)
    {
        job.sourceDisk = Disk_Alloc();
        Disk_Init(job.sourceDisk);
        job.sourceDisk->kind = kind;
    }
    static void Key(const char* text, uint8_t key[16])
    {
        memset(key, 0, 16);
        memcpy(key, text, strlen(text));
    }
};

TEST_F(PasswordRoad, KeyIsKeptWheneverItWasUsed)
{
    SourceRules_KeyedOpen = FakeKeyedOpen;
    struct Row {
        const char* key;
        bool verify;
        int result;
        int message;
        bool open;
    };
    const Row rows[] = {
        {"secret", true, DISK_OK, 0, true},
        {"wrong", true, DISK_ERR_KEY_LENGTH, 375, false},
        // Without the check the key opens the image as it is, right or not, and the job keeps
        // it: a later trim must write the image with the key it was opened with.
        {"secret", false, DISK_OK, 0, true},
        {"wrong", false, DISK_OK, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.key) + (r.verify ? " verified" : " unverified"));
        AskingHandle(DISK_KIND_QCOW2);
        job.keySet = 0;
        memset(job.encryptionKey, 0xEE, 16);
        uint8_t key[16];
        Key(r.key, key);
        int message = -1;
        int rc = SourceRules_OpenWithPassword(&job, key, r.verify, &message);
        EXPECT_EQ(rc, r.result);
        if (rc != DISK_OK) {
            EXPECT_EQ(message, r.message);
        }
        EXPECT_EQ(job.sourceDisk->object != nullptr, r.open);
        if (r.open) {
            EXPECT_EQ(job.keySet, 1);
            EXPECT_EQ(memcmp(job.encryptionKey, key, 16), 0);
        } else {
            EXPECT_EQ(job.keySet, 0);
            EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_NONE);
        }
        ConversionJob_ReleaseSource(&job);
    }
}

TEST_F(PasswordRoad, FailedReopenAndUnreadableDiskGiveMessage27)
{
    uint8_t key[16];
    Key("secret", key);
    int message = -1;
    // Without a keyed opener.
    SourceRules_KeyedOpen = nullptr;
    AskingHandle(DISK_KIND_QCOW2);
    EXPECT_EQ(SourceRules_OpenWithPassword(&job, key, true, &message), DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(message, 27);
    EXPECT_EQ(job.sourceDisk->object, nullptr);
    EXPECT_EQ(job.keySet, 0);
    ConversionJob_ReleaseSource(&job);

    // The keyed opener refuses the file.
    SourceRules_KeyedOpen = FakeKeyedOpen;
    testsupport::WriteFile(path, std::vector<uint8_t>(600, 1));
    AskingHandle(DISK_KIND_QCOW2);
    message = -1;
    EXPECT_EQ(SourceRules_OpenWithPassword(&job, key, true, &message), DISK_ERR_FORMAT);
    EXPECT_EQ(message, 27);
    EXPECT_EQ(job.keySet, 0);
    ConversionJob_ReleaseSource(&job);

    // Only the qcow kinds are reopened with a key.
    AskingHandle(DISK_KIND_VMDK);
    EXPECT_EQ(SourceRules_OpenWithPassword(&job, key, true, &message), DISK_ERR_ARG);
    EXPECT_EQ(job.sourceDisk->object, nullptr);
    ConversionJob_ReleaseSource(&job);
}

TEST_F(PasswordRoad, EncryptedQcow2ImagesOpenWithTheirKeyOnly)
{
    // A disk with a boot signature, encrypted by qemu.
    std::vector<uint8_t> disk(1 << 20, 0);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const std::string raw = dir.file("disk.raw");
    testsupport::WriteFile(raw, disk);
    remove(path.c_str());
    std::string out;
    ASSERT_EQ(testsupport::RunCommand(
                  "qemu-img convert --object secret,id=s,data=secret -f raw -O qcow2 "
                  "-o encrypt.format=aes,encrypt.key-secret=s " +
                      testsupport::Quote(raw) + " " + testsupport::Quote(path) + " 2>&1",
                  &out),
              0)
        << out;
    job.sourceDisk = Disk_Alloc();
    Disk_Init(job.sourceDisk);
    ASSERT_EQ(Disk_Open(job.sourceDisk, path.c_str(), true), DISK_ERR_PASSWORD);
    uint8_t key[16];
    Key("wrong", key);
    int message = -1;
    EXPECT_EQ(SourceRules_OpenWithPassword(&job, key, true, &message), DISK_ERR_KEY_LENGTH);
    EXPECT_EQ(message, 375);
    ConversionJob_ReleaseSource(&job);
    AskingHandle(DISK_KIND_QCOW2);
    Key("secret", key);
    ASSERT_EQ(SourceRules_OpenWithPassword(&job, key, true, &message), DISK_OK);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_QCOW2);
    EXPECT_EQ(job.keySet, 1);
    ConversionJob_ReleaseSource(&job);
}

TEST(SourceRules, BootSignatureReadFailureIsReturned)
{
    TempDir dir;
    std::string path = dir.file("tiny.img");
    testsupport::WriteFile(path, std::vector<uint8_t>(256, 0));
    DiskGeometry g = {1, 1, 1, 256, 0};
    DiskHandle* disk = OpenRawDisk(path, &g);
    ASSERT_NE(disk, nullptr);
    bool present = true;
    EXPECT_EQ(Ui_HasBootSignature(disk, &present), DISK_ERR_ARG);
    CloseDisk(disk);

    std::vector<uint8_t> sector(512, 0);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    testsupport::WriteFile(path, sector);
    disk = OpenRawDisk(path);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(Ui_HasBootSignature(disk, &present), DISK_OK);
    EXPECT_TRUE(present);
    CloseDisk(disk);
    sector[511] = 0xAB;
    testsupport::WriteFile(path, sector);
    disk = OpenRawDisk(path);
    EXPECT_EQ(Ui_HasBootSignature(disk, &present), DISK_OK);
    EXPECT_FALSE(present);
    CloseDisk(disk);
}

// ---- The used-sector map ------------------------------------------------------------------------

TEST(SourceRules, OneMapBuilderForConversionAndTrim)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    TempDir dir;
    struct Row {
        const char* name;
        SourceMapOutcome outcome;
        uint32_t known;
    };
    const Row rows[] = {
        {"mbr-fat", SOURCE_MAP_BUILT, 1},
        // The MBR lists nothing; the PC-98 table in sector 1 holds the FAT volume.
        {"pc98-fat", SOURCE_MAP_BUILT, 1},
        // An MBR without partitions over garbage: no map, so every sector is copied (a map
        // without recognised regions used to make the conversion fail).
        {"empty-table", SOURCE_MAP_NOTHING, 0},
        {"zeros", SOURCE_MAP_NOTHING, 0},
        {"garbage", SOURCE_MAP_NOTHING, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string path = dir.file(std::string(r.name) + ".img");
        DiskGeometry pc98 = Pc98Geometry();
        const DiskGeometry* geometry = nullptr;
        std::string name = r.name;
        if (name == "mbr-fat") {
            MakePartitionedDisk(path, "fat", 8);
        } else if (name == "pc98-fat") {
            MakePc98Disk(path);
            geometry = &pc98;
        } else if (name == "empty-table") {
            MakeEmptyTableDisk(path, 4);
        } else if (name == "zeros") {
            testsupport::WriteFile(path, std::vector<uint8_t>(4 << 20, 0));
        } else {
            WriteGarbage(path, 4 << 20, 3);
        }
        DiskHandle* disk = OpenRawDisk(path, geometry);
        ASSERT_NE(disk, nullptr);
        UsedSectorMap* map = reinterpret_cast<UsedSectorMap*>(1);
        uint32_t known = 99;
        int result = 12345;
        EXPECT_EQ(SourceRules_BuildUsedMap(disk, &map, &known, &result), r.outcome);
        EXPECT_EQ(known, r.known);
        if (r.outcome == SOURCE_MAP_BUILT) {
            ASSERT_NE(map, nullptr);
            EXPECT_EQ(result, DISK_OK);
            EXPECT_EQ(UsedMap_CountKnownRegions(map), r.known);
        } else {
            EXPECT_EQ(map, nullptr);
        }
        SourceRules_FreeMap(map);
        CloseDisk(disk);
    }

    UsedSectorMap* map = nullptr;
    uint32_t known = 0;
    int result = 0;
    EXPECT_EQ(SourceRules_BuildUsedMap(nullptr, &map, &known, &result), SOURCE_MAP_FAILED);
    EXPECT_EQ(result, DISK_ERR_ARG);
    SourceRules_FreeMap(nullptr);
}

// ---- Trim preparation -----------------------------------------------------------------------------

bool AlwaysCompact(void*) { return true; }

class TrimPreparation : public ::testing::Test {
protected:
    TempDir dir;
    ConversionJob job;
    DiskCanCompactFn saved = nullptr;
    void SetUp() override { saved = DiskCanCompactTable[DISK_KIND_HDI]; }
    void TearDown() override
    {
        DiskCanCompactTable[DISK_KIND_HDI] = saved;
        ConversionJob_Release(&job);
    }
    // job.sourceDisk = the HDI image of a raw disk.
    void OpenHdi(const std::string& raw)
    {
        std::string hdi = raw + ".hdi";
        MakeHdiFrom(raw, hdi);
        job.sourceDisk = Disk_Alloc();
        Disk_Init(job.sourceDisk);
        ASSERT_EQ(Disk_Open(job.sourceDisk, hdi.c_str(), true), DISK_OK);
        ASSERT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_HDI);
        job.sourceKind = JOB_SOURCE_IMAGE;
    }
};

TEST_F(TrimPreparation, Table)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    std::string fat = dir.file("fat.img");
    MakePartitionedDisk(fat, "fat", 8);
    std::string blank = dir.file("blank.img");
    MakeEmptyTableDisk(blank, 2);

    UsedSectorMap* map = nullptr;
    int message = 0;

    // Not asked for: nothing changes but the flag.
    OpenHdi(fat);
    job.trimInPlace = 1;
    EXPECT_EQ(SourceRules_PrepareTrim(&job, false, &map, &message), SOURCE_TRIM_OFF);
    EXPECT_EQ(job.trimInPlace, 0);
    EXPECT_NE(job.sourceDisk, nullptr);

    // An image kind without compaction: refused, the disk released.
    EXPECT_EQ(SourceRules_PrepareTrim(&job, true, &map, &message), SOURCE_TRIM_REFUSED);
    EXPECT_EQ(message, 30);
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(map, nullptr);

    // A raw image (no disk) cannot be trimmed either.
    job.sourceKind = JOB_SOURCE_RAW_FILE;
    message = 0;
    EXPECT_EQ(SourceRules_PrepareTrim(&job, true, &map, &message), SOURCE_TRIM_REFUSED);
    EXPECT_EQ(message, 30);

    DiskCanCompactTable[DISK_KIND_HDI] = AlwaysCompact;
    // A compactable image with a FAT volume: the map to trim by.
    OpenHdi(fat);
    EXPECT_EQ(SourceRules_PrepareTrim(&job, true, &map, &message), SOURCE_TRIM_ASK);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(UsedMap_CountKnownRegions(map), 1u);
    EXPECT_NE(job.sourceDisk, nullptr);
    SourceRules_FreeMap(map);
    ConversionJob_ReleaseSource(&job);

    // Nothing to trim by: message 109, the disk released.
    OpenHdi(blank);
    message = 0;
    EXPECT_EQ(SourceRules_PrepareTrim(&job, true, &map, &message), SOURCE_TRIM_NO_MAP);
    EXPECT_EQ(message, 109);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(job.sourceDisk, nullptr);
}

// ---- Destination list and partition choice -----------------------------------------------------

TEST(SourceRules, DestinationTable)
{
    struct Row {
        int32_t d;
        bool available, newDiskRefused, forcedAuto;
    };
    const Row rows[] = {
        {0, true, false, false},   {1, true, false, false},  {2, true, false, false},
        {3, true, false, true},    {4, true, false, false},  {5, true, false, false},
        {6, true, false, false},   {7, true, false, false},  {8, true, false, true},
        {9, true, false, true},    {10, true, false, true},  {11, true, false, true},
        {12, true, false, false},  {13, true, false, false}, {14, true, false, true},
        {15, true, false, false},  {16, true, false, false}, {17, true, false, true},
        {18, true, false, false},  {19, true, false, true},  {20, true, true, false},
        {21, true, false, false},  {22, true, true, false},  {23, false, false, false},
        {-1, false, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(SourceRules_DestinationAvailable(r.d), r.available) << r.d;
        EXPECT_EQ(SourceRules_DestinationRefusedForNewDisk(r.d), r.newDiskRefused) << r.d;
        EXPECT_EQ(SourceRules_DestinationForcesAutoGeometry(r.d), r.forcedAuto) << r.d;
    }
}

TEST(SourceRules, PartitionChoiceBuildsKeepsAndReleases)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    TempDir dir;
    std::string fat = dir.file("fat.img");
    MakePartitionedDisk(fat, "fat", 8);
    std::string blank = dir.file("blank.img");
    MakeEmptyTableDisk(blank, 2);

    ConversionJob job;
    uint32_t known = 0;
    job.sourceDisk = OpenRawDisk(fat);
    ASSERT_NE(job.sourceDisk, nullptr);
    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_BUILT);
    EXPECT_EQ(known, 1u);
    UsedSectorMap* first = job.volumeList;
    ASSERT_NE(first, nullptr);
    // Asked again with the map in place: the same map.
    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_KEPT);
    EXPECT_EQ(job.volumeList, first);
    // Box off: released.
    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, false, &known), SOURCE_PARTITIONS_KEPT);
    EXPECT_EQ(job.volumeList, nullptr);
    // On again: a new map.
    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_BUILT);
    EXPECT_NE(job.volumeList, nullptr);
    ConversionJob_Release(&job);

    job.sourceDisk = OpenRawDisk(blank);
    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_NOTHING);
    EXPECT_EQ(job.volumeList, nullptr);
    ConversionJob_Release(&job);

    EXPECT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_FAILED);
    EXPECT_EQ(job.volumeList, nullptr);
}

// A map that recognises nothing must not keep a conversion from reading the disk: without a map
// every range counts as used and the source's own empty-range query answers.
TEST(SourceRules, NoMapMeansEveryRangeIsAskedOfTheSource)
{
    if (!testsupport::HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk missing";
    TempDir dir;
    std::string blank = dir.file("blank.img");
    MakeEmptyTableDisk(blank, 2);
    ConversionJob job;
    job.sourceDisk = OpenRawDisk(blank);
    uint32_t known = 0;
    ASSERT_EQ(SourceRules_ApplyPartitionChoice(&job, true, &known), SOURCE_PARTITIONS_NOTHING);
    bool empty = true;
    EXPECT_EQ(Disk_IsRangeEmpty(job.sourceDisk, job.volumeList, 0, 4096, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_FALSE(empty);  // garbage everywhere: copied
    ConversionJob_Release(&job);
}

// ---- Geometry page --------------------------------------------------------------------------------

TEST(SourceRules, GeometryPageResult)
{
    struct Row {
        uint64_t total;
        bool manual;
        uint32_t heads, sectors;
        uint32_t wantHeads, wantSectors, want32;
        uint64_t want64;
    };
    const Row rows[] = {
        {5000, true, 8, 32, 8, 32, 5000, 0},
        {5000, false, 0, 0, 16, 63, 5000, 0},
        {0xFFFFFFFFull, true, 255, 255, 255, 255, 0xFFFFFFFFu, 0},
        {0x100000000ull, false, 0, 0, 16, 63, 0, 0x100000000ull},
        {SOURCE_MAX_TOTAL_SECTORS, true, 1, 1, 1, 1, 0, SOURCE_MAX_TOTAL_SECTORS},
    };
    for (const Row& r : rows) {
        ConversionJob job;
        job.sourceGeometry = DiskGeometry{1000000, 16, 63, 4096, 0};
        job.workGeometry = DiskGeometry{1, 2, 3, 4, 5};
        SourceRules_ApplyGeometry(&job, r.total, r.manual, r.heads, r.sectors);
        const DiskGeometry& w = job.workGeometry;
        EXPECT_EQ(w.sectors32, r.want32) << r.total;
        EXPECT_EQ(w.sectors64, r.want64) << r.total;
        EXPECT_EQ(Geometry_GetTotalSectors(&w), r.total);
        EXPECT_EQ(w.heads, r.wantHeads);
        EXPECT_EQ(w.sectors_per_track, r.wantSectors);
        EXPECT_EQ(w.bytes_per_sector, 4096u);  // always the source's
        EXPECT_EQ(job.manualTotalSectors, r.total);
        EXPECT_EQ(job.manualHeads, r.wantHeads);
        EXPECT_EQ(job.manualSectors, r.wantSectors);
        EXPECT_EQ(job.geometryManual, r.manual ? 1 : 0);
        EXPECT_EQ(job.geometryRecompute, r.manual ? 0 : 1);
        // The source's own geometry is never touched.
        EXPECT_EQ(Geometry_GetTotalSectors(&job.sourceGeometry), 1000000u);
    }
}

}  // namespace
