// Human68k boot-sector recognition and the big-endian parameter block.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "volume/human68k.h"
#include "volume_test_util.h"

using namespace testsupport;
using namespace voltest;

TEST(Human68k, SignatureTable)
{
    struct Row {
        const char* sig;  // text written at byte 2
        bool expected;
        int32_t variant;
    };
    const Row rows[] = {
        {"Hudson soft ", true, 0},
        {"SHARP/KG    ", true, 0},
        {" Hero Soft ", true, 0},
        {"9SCFMT IPL v1.00", true, 1},
        {"9SCFMT IPL v1.02", true, 2},
        {"2HDE ", true, 3},
        {"2HDE 1.23 extra", true, 3},  // only the signature's own bytes are compared
        {"SHARP/KG   X", false, 0},    // three blanks and another character
        {"SHARP/KG", false, 0},        // the blanks belong to the signature
        {"Hudson soft", false, 0},
        {"hudson soft ", false, 0},  // compared byte for byte
        {"9SCFMT IPL v1.01", false, 0},
        {"2HDE-", false, 0},
        {" SHARP/KG    ", false, 0},  // one byte late
        {"", false, 0},
    };
    // One image with a boot sector every 4096 bytes, read through disks of several sector sizes.
    std::string json =
        "{\"size\":" + std::to_string(4096 * (sizeof rows / sizeof rows[0])) + ",\"human68k\":[";
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        json += std::string(i ? "," : "") + "{\"at\":" + std::to_string(i * 4096) + ",\"sig\":\"" +
                rows[i].sig + "\"}";
    }
    json += "]}";
    TempDir dir;
    std::string img = dir.file("h.img");
    MakeFixture(img, json);
    for (uint32_t bps : {256u, 1024u}) {
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, bps), DISK_OK);
        for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
            SCOPED_TRACE(std::string("signature '") + rows[i].sig + "'");
            bool is = !rows[i].expected;
            int32_t variant = 77;
            ASSERT_EQ(X68k_IsHuman68kBootSector(disk.get(), i * 4096, &is, &variant), DISK_OK);
            EXPECT_EQ(is, rows[i].expected);
            EXPECT_EQ(variant, rows[i].expected ? rows[i].variant : 77);  // unchanged on a miss
        }
    }
}

TEST(Human68k, ParameterBlockIsConvertedFromBigEndian)
{
    TempDir dir;
    std::string img = dir.file("h.img");
    MakeFixture(img,
                "{\"size\":8192,\"human68k\":[{\"at\":1024,\"sig\":\"SHARP/KG    \","
                "\"bps\":1024,\"spc\":2,\"nfats\":1,\"reserved\":513,\"root\":768,"
                "\"total16\":0,\"media\":247,\"spf\":3,\"total32\":305419896}]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Human68kBootSector bs;
    std::memset(&bs, 0xCC, sizeof bs);
    ASSERT_EQ(X68k_ReadHuman68kBpb(disk.get(), 1024, &bs), DISK_OK);
    EXPECT_EQ(bs.bytesPerSector, 1024);
    EXPECT_EQ(bs.sectorsPerCluster, 2);
    EXPECT_EQ(bs.fatCount, 1);
    EXPECT_EQ(bs.reservedSectors, 513);
    EXPECT_EQ(bs.rootEntries, 768);
    EXPECT_EQ(bs.totalSectors16, 0);
    EXPECT_EQ(bs.media, 247);
    EXPECT_EQ(bs.sectorsPerFat, 3);
    EXPECT_EQ(bs.totalSectors32, 305419896u);
    // The bytes as read stay beside the converted fields.
    std::vector<uint8_t> file = ReadFile(img);
    EXPECT_EQ(std::memcmp(bs.raw, file.data() + 1024, HUMAN68K_BOOT_SECTOR_SIZE), 0);
    EXPECT_EQ(bs.raw[22], 0x02);
    EXPECT_EQ(bs.raw[23], 0x01);
}

TEST(Human68k, ReadFailureLeavesOutputsUntouched)
{
    TempDir dir;
    std::string img = dir.file("h.img");
    MakeFixture(img, "{\"size\":4096,\"human68k\":[{\"at\":0}]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    // 34 bytes starting 33 bytes before the end pass the end of the disk.
    bool is = true;
    int32_t variant = 5;
    EXPECT_EQ(X68k_IsHuman68kBootSector(disk.get(), 4096 - 33, &is, &variant), DISK_ERR_ARG);
    EXPECT_TRUE(is);
    EXPECT_EQ(variant, 5);
    Human68kBootSector bs;
    std::memset(&bs, 0xAB, sizeof bs);
    Human68kBootSector before = bs;
    EXPECT_EQ(X68k_ReadHuman68kBpb(disk.get(), UINT64_MAX - 10, &bs), DISK_ERR_ARG);
    EXPECT_EQ(std::memcmp(&bs, &before, sizeof bs), 0);
    // A handle without an image answers as the dispatch does.
    DiskHandle none;
    Disk_Init(&none);
    EXPECT_EQ(X68k_IsHuman68kBootSector(&none, 0, &is, &variant), DISK_ERR_ARG);
    EXPECT_EQ(variant, 5);
    // The last 34 bytes of the disk are still readable.
    EXPECT_EQ(X68k_IsHuman68kBootSector(disk.get(), 4096 - 34, &is, &variant), DISK_OK);
    EXPECT_FALSE(is);
}
