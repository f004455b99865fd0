// Partition tables: MBR with extended chains, GPT and PC-98, against sfdisk/sgdisk + mmls and
// hand-built tables.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "volume/partition.h"
#include "volume/fs_driver_support.h"
#include "volume_test_util.h"

using namespace testsupport;
using namespace voltest;

namespace {

struct Listing {
    int result;
    std::vector<Part> parts;
};

// Counts, then fills an array of that size; both passes must agree.
Listing ListMbr(const DiskHandle* disk, uint32_t maximum = 256)
{
    uint32_t counted = 12345;
    int r1 = Partition_ReadMbr(disk, 0, maximum, &counted, nullptr);
    std::vector<PartitionEntry> entries(counted + 1);
    uint32_t filled = 54321;
    int r2 = Partition_ReadMbr(disk, 0, maximum, &filled, entries.data());
    EXPECT_EQ(r1, r2);
    EXPECT_EQ(counted, filled);
    return {r2, ToParts(entries.data(), filled)};
}

std::string Rec(int type, uint64_t first, uint64_t count)
{
    return "[" + std::to_string(type) + "," + std::to_string(first) + "," + std::to_string(count) +
           "]";
}

}  // namespace

// ---- Real tables made by sfdisk/sgdisk, compared with mmls ----------------------------------

TEST(PartitionReal, MbrAndExtendedChainMatchMmls)
{
    if (!HaveTool("sfdisk") || !HaveTool("mmls")) {
        GTEST_SKIP() << "sfdisk (fdisk) or mmls (sleuthkit) missing";
    }
    const char* layouts[] = {
        // primaries, an extended partition with logicals, and a hole
        "label: dos\n2048,8192,83\n,16384,c\n,,5\n,4096,83\n,8192,7\n,,b\n",
        // extended partition first, many logicals
        "label: dos\n2048,,f\n,2048,83\n,2048,6\n,2048,83\n,2048,e\n,2048,83\n,,83\n",
        // four primaries, one of them of an unusual type
        "label: dos\n63,1000,1\n1063,2000,4\n4000,3000,a5\n8000,,83\n",
    };
    for (const char* layout : layouts) {
        SCOPED_TRACE(layout);
        TempDir dir;
        std::string img = dir.file("d.img");
        ASSERT_EQ(RunCommand("truncate -s 64M " + Quote(img)), 0);
        ASSERT_EQ(RunCommand("printf " + Quote(layout) + " | sfdisk -q " + Quote(img)), 0);
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, 512), DISK_OK);
        Listing l = ListMbr(disk.get());
        ASSERT_EQ(l.result, DISK_OK);
        std::vector<Part> expected;
        for (const Part& p : MmlsPartitions(img, true)) {
            if (p.type != 0x05 && p.type != 0x0F && p.type != 0x85) expected.push_back(p);
        }
        std::vector<Part> got = l.parts;
        auto byStart = [](const Part& a, const Part& b) { return a.first < b.first; };
        std::sort(got.begin(), got.end(), byStart);
        std::sort(expected.begin(), expected.end(), byStart);
        EXPECT_EQ(got, expected);
        EXPECT_FALSE(got.empty());
    }
}

TEST(PartitionReal, GptMatchesMmlsAndLeavesLvmToItsReader)
{
    if (!HaveTool("sgdisk") || !HaveTool("mmls")) {
        GTEST_SKIP() << "sgdisk (gdisk) or mmls (sleuthkit) missing";
    }
    TempDir dir;
    std::string img = dir.file("g.img");
    ASSERT_EQ(RunCommand("truncate -s 64M " + Quote(img)), 0);
    ASSERT_EQ(RunCommand("sgdisk -n1:2048:4095 -t1:8300 -n2:0:+8M -t2:8e00 -n3:0:+1M "
                         "-t3:0700 -n4:0:0 -t4:ef00 " +
                         Quote(img) + " >/dev/null"),
              0);
    // The second partition holds a physical volume without logical volumes.
    testsupport::WriteText(dir.file("meta.txt"),
                           "vg {\nid = \"x\"\nextent_size = 8192\nphysical_volumes {\npv0 {\n"
                           "id = \"fezAx7-cV2M-Eksi-cPt2-9ieT-3IAG-nPUbAw\"\npe_start = 2048\n"
                           "dev_size = 16384\npe_count = 1\n}\n}\n}\nversion = 1\n");
    ASSERT_EQ(RunCommand("python3 " +
                         Quote(std::string(VDX_TEST_SOURCE_DIR) + "/volume/lvm2_fixtures.py") +
                         " pv " + Quote(img) + " " + std::to_string(4096 * 512) + " " +
                         Quote(dir.file("meta.txt"))),
              0);
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Listing l = ListMbr(disk.get());
    ASSERT_EQ(l.result, DISK_OK);
    std::vector<Part> expected = MmlsPartitions(img, false);
    ASSERT_EQ(expected.size(), 4u);
    // The LVM physical volume (second entry) is handed to the LVM2 reader, which lists its
    // logical volumes instead of the partition.
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(l.parts, expected);
    EXPECT_EQ(l.parts[0], (Part{2048, 2048, 0}));
}

// ---- Hand-built MBR tables ------------------------------------------------------------------

TEST(PartitionMbr, RecordRulesCaseTable)
{
    struct Row {
        const char* what;
        std::string mbr;  // JSON list of MBR sectors
        int expected;
        const char* reason;  // recorded refusal, nullptr: none
        std::vector<Part> parts;
    };
    const uint64_t T = 4096;
    std::vector<Row> rows = {
        {"no signature: the whole disk",
         "[{\"sector\":0,\"sig\":false,\"records\":[" + Rec(0x83, 10, 20) + "]}]",
         DISK_OK,
         nullptr,
         {{0, T, 0}}},
        {"signature and empty records", "[{\"sector\":0}]", DISK_OK, nullptr, {}},
        {"0xEE in slot 1 is ordinary",
         "[{\"sector\":0,\"records\":[" + Rec(0x83, 100, 10) + "," + Rec(0xEE, 1, 50) + "]}]",
         DISK_OK,
         nullptr,
         {{100, 10, 0x83}, {1, 50, 0xEE}}},
        {"0xEE in slot 0 not at sector 1 is ordinary",
         "[{\"sector\":0,\"records\":[" + Rec(0xEE, 2, 50) + "]}]",
         DISK_OK,
         nullptr,
         {{2, 50, 0xEE}}},
        {"type 0 records are skipped",
         "[{\"sector\":0,\"records\":[" + Rec(0, 5, 5) + "," + Rec(0x07, 64, 8) + "," +
             Rec(0, 9, 9) + "," + Rec(0x0C, 200, 300) + "]}]",
         DISK_OK,
         nullptr,
         {{64, 8, 0x07}, {200, 300, 0x0C}}},
        {"an LVM partition without a physical volume ends the listing",
         "[{\"sector\":0,\"records\":[" + Rec(0x83, 2000, 8) + "," + Rec(0x8E, 64, 1000) + "," +
             Rec(0x83, 3000, 8) + "]}]",
         DISK_ERR_FS_CORRUPT,
         "LVM2 label: no valid label in the first four sectors",
         {{2000, 8, 0x83}}},
        {"EBR without signature refuses the listing",
         "[{\"sector\":0,\"records\":[" + Rec(0x83, 32, 8) + "," + Rec(0x05, 100, 900) +
             "]},{\"sector\":100,\"sig\":false,\"records\":[" + Rec(0x83, 1, 9) + "]}]",
         DISK_ERR_FORMAT,
         "extended boot record: no signature",
         {{32, 8, 0x83}}},
        {"extended partition past the disk end is a read failure",
         "[{\"sector\":0,\"records\":[" + Rec(0x83, 32, 8) + "," + Rec(0x05, 100000, 9) + "]}]",
         DISK_ERR_ARG,
         nullptr,
         {{32, 8, 0x83}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        std::string img = dir.file("m.img");
        MakeFixture(img, "{\"size\":" + std::to_string(T * 512) + ",\"mbr\":" + row.mbr + "}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, 512), DISK_OK);
        Refusal_Clear();
        Listing l = ListMbr(disk.get());
        EXPECT_EQ(l.result, row.expected);
        fstest::ExpectReason(row.reason);
        EXPECT_EQ(l.parts, row.parts);
    }
}

TEST(PartitionMbr, MaximumStopsTheListing)
{
    TempDir dir;
    std::string img = dir.file("m.img");
    MakeFixture(img, "{\"size\":1048576,\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x83, 10, 1) +
                         "," + Rec(0x83, 20, 1) + "," + Rec(0x83, 30, 1) + "," + Rec(0x83, 40, 1) +
                         "]}]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Listing one = ListMbr(disk.get(), 1);
    EXPECT_EQ(one.result, DISK_OK);
    EXPECT_EQ(one.parts, (std::vector<Part>{{10, 1, 0x83}}));
    uint32_t count = 99;
    EXPECT_EQ(Partition_ReadMbr(disk.get(), 0, 0, &count, nullptr), DISK_OK);
    EXPECT_EQ(count, 0u);
}

TEST(PartitionMbr, ExtendedChainArithmetic)
{
    // Extended partition at 1000. EBR 1 at 1000 holds a logical at 1000 + 63 and a link to
    // 1000 + 500; EBR 2 at 1500 holds a logical at 1500 + 63 and a link to 1000 + 900; EBR 3
    // at 1900 holds a logical at 1900 + 100.
    TempDir dir;
    std::string img = dir.file("e.img");
    MakeFixture(img, "{\"size\":2097152,\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0x06, 63, 900) +
                         "," + Rec(0x0F, 1000, 3000) + "]},{\"sector\":1000,\"records\":[" +
                         Rec(0x83, 63, 400) + "," + Rec(0x05, 500, 400) +
                         "]},{\"sector\":1500,\"records\":[" + Rec(0x07, 63, 300) + "," +
                         Rec(0x05, 900, 1000) + "]},{\"sector\":1900,\"records\":[" +
                         Rec(0x0B, 100, 50) + "]}]}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Listing l = ListMbr(disk.get());
    EXPECT_EQ(l.result, DISK_OK);
    EXPECT_EQ(l.parts,
              (std::vector<Part>{
                  {63, 900, 0x06}, {1063, 400, 0x83}, {1563, 300, 0x07}, {2000, 50, 0x0B}}));
    if (HaveTool("mmls")) {
        std::vector<Part> mm = MmlsPartitions(img, true);
        std::vector<Part> logical;
        for (const Part& p : mm) {
            if (p.type != 0x05 && p.type != 0x0F) logical.push_back(p);
        }
        EXPECT_EQ(l.parts, logical);
    }
}

TEST(PartitionMbr, ExtendedChainLoopsEnd)
{
    struct Row {
        const char* what;
        std::string sectors;
        int expected;
        const char* reason;
        size_t parts;
    };
    std::vector<Row> rows = {
        // EBR at 100 links to itself and carries no partition: the count never rises.
        {"link-only self loop",
         "{\"sector\":100,\"records\":[" + Rec(0, 0, 0) + "," + Rec(0x05, 0, 10) + "]}",
         DISK_ERR_FS_CORRUPT, "extended partition: chain of boot records too long or looping", 0},
        // Two link-only EBRs pointing at each other.
        {"link-only two-record loop",
         "{\"sector\":100,\"records\":[" + Rec(0x05, 50, 10) + "]},{\"sector\":150,\"records\":[" +
             Rec(0x05, 0, 10) + "]}",
         DISK_ERR_FS_CORRUPT, "extended partition: chain of boot records too long or looping", 0},
        // An EBR with a logical partition that links back to itself: stops at the maximum.
        {"loop with a partition",
         "{\"sector\":100,\"records\":[" + Rec(0x83, 10, 5) + "," + Rec(0x05, 0, 10) + "]}",
         DISK_OK, nullptr, 256},
        // Each EBR names itself twice: a tree that doubles at every level.
        {"branching loop",
         "{\"sector\":100,\"records\":[" + Rec(0x05, 0, 10) + "," + Rec(0x05, 0, 10) + "]}",
         DISK_ERR_FS_CORRUPT, "extended partition: chain of boot records too long or looping", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        std::string img = dir.file("c.img");
        MakeFixture(img, "{\"size\":1048576,\"mbr\":[{\"sector\":0,\"records\":[" +
                             Rec(0x05, 100, 1000) + "]}," + row.sectors + "]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, 512), DISK_OK);
        Refusal_Clear();
        Listing l = ListMbr(disk.get());
        EXPECT_EQ(l.result, row.expected);
        fstest::ExpectReason(row.reason);
        EXPECT_EQ(l.parts.size(), row.parts);
    }
}

TEST(PartitionMbr, SectorSizesOtherThan512)
{
    // With B = 1024 and 4096 an EBR lies at its sector x B, and the listing stays in sectors.
    for (uint32_t bps : {256u, 1024u, 4096u}) {
        SCOPED_TRACE(bps);
        TempDir dir;
        std::string img = dir.file("b.img");
        MakeFixture(img, "{\"size\":" + std::to_string(4096 * bps) + ",\"bps\":" +
                             std::to_string(bps) + ",\"mbr\":[{\"sector\":0,\"records\":[" +
                             Rec(0x83, 8, 100) + "," + Rec(0x05, 200, 1000) +
                             "]},{\"sector\":200,\"records\":[" + Rec(0x0C, 4, 96) + "]}]}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, bps), DISK_OK);
        Listing l = ListMbr(disk.get());
        EXPECT_EQ(l.result, DISK_OK);
        EXPECT_EQ(l.parts, (std::vector<Part>{{8, 100, 0x83}, {204, 96, 0x0C}}));
    }
}

// ---- Hand-built GPT -----------------------------------------------------------------------

TEST(PartitionGpt, HeaderAndEntryRules)
{
    struct Row {
        const char* what;
        std::string gpt;
        int expected;
        const char* reason;  // recorded refusal, nullptr: none
        std::vector<Part> parts;
    };
    const std::string good =
        "\"parts\":[{\"index\":0,\"first\":2048,\"last\":4095},"
        "{\"index\":2,\"first\":4096,\"last\":4096},"
        "{\"index\":3,\"type\":\"lvm\",\"first\":5000,\"last\":6000}]";
    std::vector<Row> rows = {
        // The LVM entry holds no physical volume: the reader's refusal ends the listing.
        {"valid: inclusive last LBA, unused entry skipped",
         "{" + good + "}",
         DISK_ERR_FS_CORRUPT,
         "LVM2 label: no valid label in the first four sectors",
         {{2048, 2048, 0}, {4096, 1, 0}}},
        {"1024 entries",
         "{\"entries\":1024," + good + "}",
         DISK_ERR_FS_CORRUPT,
         "LVM2 label: no valid label in the first four sectors",
         {{2048, 2048, 0}, {4096, 1, 0}}},
        {"1025 entries",
         "{\"entries\":1025," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: entry count or size out of range",
         {}},
        {"256-byte entries",
         "{\"entry_size\":256," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: entry count or size out of range",
         {}},
        {"bad signature",
         "{\"signature\":\"EFI PARU\"," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: no signature",
         {}},
        {"bad revision",
         "{\"revision\":65537," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: unknown revision, size or position",
         {}},
        {"bad header size",
         "{\"header_size\":96," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: unknown revision, size or position",
         {}},
        {"my LBA not 1",
         "{\"my_lba\":2," + good + "}",
         DISK_ERR_FORMAT,
         "GPT header: unknown revision, size or position",
         {}},
        {"last LBA below first LBA",
         "{\"parts\":[{\"index\":0,\"first\":100,\"last\":200},{\"index\":1,\"first\":3000,"
         "\"last\":2999}]}",
         DISK_ERR_FS_CORRUPT,
         "GPT entry: last sector before the first",
         {{100, 101, 0}}},
        {"whole 64-bit range",
         "{\"parts\":[{\"index\":0,\"first\":0,\"last\":18446744073709551615}]}",
         DISK_ERR_FS_CORRUPT,
         "GPT entry: last sector before the first",
         {}},
        {"entry array past the disk end", "{\"array_lba\":100000}", DISK_ERR_ARG, nullptr, {}},
        {"entry array offset overflows",
         "{\"array_lba\":18446744073709551615}",
         DISK_ERR_FS_CORRUPT,
         "GPT header: entry array position out of range",
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        std::string img = dir.file("g.img");
        MakeFixture(img, "{\"size\":4194304,\"mbr\":[{\"sector\":0,\"records\":[" +
                             Rec(0xEE, 1, 8191) + "]}],\"gpt\":" + row.gpt + "}");
        RawDisk disk;
        ASSERT_EQ(disk.Open(img, 512), DISK_OK);
        Refusal_Clear();
        Listing l = ListMbr(disk.get());
        EXPECT_EQ(l.result, row.expected);
        fstest::ExpectReason(row.reason);
        EXPECT_EQ(l.parts, row.parts);
    }
}

TEST(PartitionGpt, LbasCountInTheDisksSectors)
{
    // A GPT of a 4096-byte-sector disk: header at byte 4096, array at LBA 2 x 4096.
    TempDir dir;
    std::string img = dir.file("g4k.img");
    MakeFixture(img, "{\"size\":8388608,\"bps\":4096,\"mbr\":[{\"sector\":0,\"records\":[" +
                         Rec(0xEE, 1, 2047) +
                         "]}],\"gpt\":{\"parts\":[{\"index\":0,\"first\":256,"
                         "\"last\":511}]}}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 4096), DISK_OK);
    Listing l = ListMbr(disk.get());
    EXPECT_EQ(l.result, DISK_OK);
    EXPECT_EQ(l.parts, (std::vector<Part>{{256, 256, 0}}));
}

TEST(PartitionGpt, MaximumStopsTheWalk)
{
    TempDir dir;
    std::string img = dir.file("g.img");
    std::string parts;
    for (int i = 0; i < 5; ++i) {
        parts += std::string(i ? "," : "") + "{\"index\":" + std::to_string(i) +
                 ",\"first\":" + std::to_string(100 + i * 10) +
                 ",\"last\":" + std::to_string(105 + i * 10) + "}";
    }
    MakeFixture(img, "{\"size\":1048576,\"mbr\":[{\"sector\":0,\"records\":[" + Rec(0xEE, 1, 2047) +
                         "]}],\"gpt\":{\"parts\":[" + parts + "]}}");
    RawDisk disk;
    ASSERT_EQ(disk.Open(img, 512), DISK_OK);
    Listing l = ListMbr(disk.get(), 3);
    EXPECT_EQ(l.result, DISK_OK);
    EXPECT_EQ(l.parts, (std::vector<Part>{{100, 6, 0}, {110, 6, 0}, {120, 6, 0}}));
}

// ---- PC-98 ---------------------------------------------------------------------------------

TEST(PartitionPc98, MarksAndRecords)
{
    struct Row {
        const char* what;
        std::string mark;  // JSON pair or null
        int expected;
    };
    std::vector<Row> rows = {
        {"00 00 is accepted", "[0,0]", DISK_OK},
        {"55 AA is accepted", "[85,170]", DISK_OK},
        {"55 00 is accepted", "[85,0]", DISK_OK},
        {"12 AA is refused", "[18,170]", DISK_ERR_FORMAT},
    };
    for (uint32_t bps : {256u, 512u, 1024u}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.what) + " bps " + std::to_string(bps));
            TempDir dir;
            std::string img = dir.file("p.img");
            MakeFixture(img, "{\"size\":65536,\"bps\":" + std::to_string(bps) +
                                 ",\"pc98\":{\"mark\":" + row.mark +
                                 ",\"records\":[{\"index\":1,\"start\":1,\"end\":300},"
                                 "{\"index\":4,\"start\":513,\"end\":258,\"fill\":0},"
                                 "{\"index\":7,\"start\":0,\"end\":0,\"fill\":1}]}}");
            RawDisk disk;
            ASSERT_EQ(disk.Open(img, bps), DISK_OK);
            uint32_t count = 77;
            ASSERT_EQ(Partition_ReadPc98(disk.get(), bps, 256, &count, nullptr), row.expected);
            if (row.expected != DISK_OK) continue;
            EXPECT_EQ(count, 3u);
            Pc98PartitionRecord recs[8];
            ASSERT_EQ(Partition_ReadPc98(disk.get(), bps, 256, &count, recs), DISK_OK);
            ASSERT_EQ(count, 3u);
            EXPECT_EQ(recs[0].startCylinder, 1);
            EXPECT_EQ(recs[0].endCylinder, 300);
            EXPECT_EQ(recs[0].raw[0], 0x11);
            EXPECT_EQ(recs[0].raw[10], 1);  // raw bytes stay as read
            EXPECT_EQ(recs[1].startCylinder, 513);
            EXPECT_EQ(recs[1].endCylinder, 258);
            EXPECT_EQ(recs[2].startCylinder, 0);
            EXPECT_EQ(recs[2].raw[0], 1);
            ASSERT_EQ(Partition_ReadPc98(disk.get(), bps, 2, &count, recs), DISK_OK);
            EXPECT_EQ(count, 2u);
        }
    }
}

TEST(PartitionSort, SortsByUnsignedStart)
{
    std::vector<PartitionEntry> e = {
        {5, 1, 0}, {0xFFFFFFFFFFFFFFF0ull, 1, 1}, {0, 1, 2}, {0x100000000ull, 1, 3}, {7, 1, 4}};
    PartitionEntry_SortByStart(e.data(), static_cast<uint32_t>(e.size()));
    std::vector<uint8_t> order;
    for (const auto& x : e) order.push_back(x.type);
    EXPECT_EQ(order, (std::vector<uint8_t>{2, 0, 4, 3, 1}));
    EXPECT_EQ(PartitionEntry_CompareStart(e.data(), 0, 1, nullptr), -1);
    EXPECT_EQ(PartitionEntry_CompareStart(e.data(), 4, 3, nullptr), 1);
    EXPECT_EQ(PartitionEntry_CompareStart(e.data(), 2, 2, nullptr), 0);
}
