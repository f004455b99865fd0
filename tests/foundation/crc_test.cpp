#include "foundation/crc.h"
#include "foundation/platform.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A table per polynomial, freed with Mem_Free as the table's owner must.
class Table {
public:
    explicit Table(uint32_t polynomial) : table_(Crc32_AllocTable())
    {
        if (table_) Crc32_BuildTable(table_, polynomial);
    }
    ~Table() { Mem_Free(table_); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    const uint32_t* get() const { return table_; }

private:
    uint32_t* table_;
};

uint32_t Whole(const Table& t, const void* data, uint32_t length)
{
    uint32_t crc = Crc32_Start();
    Crc32_Update(t.get(), &crc, data, length);
    return crc;
}

}  // namespace

TEST(Crc32, CheckValues)
{
    Table ieee(CRC32_POLY_IEEE), castagnoli(CRC32_POLY_CASTAGNOLI);
    ASSERT_NE(ieee.get(), nullptr);
    ASSERT_NE(castagnoli.get(), nullptr);
    EXPECT_EQ(CRC32_POLY_IEEE, 0xEDB88320u);
    EXPECT_EQ(CRC32_POLY_CASTAGNOLI, 0x82F63B78u);
    const char* check = "123456789";
    EXPECT_EQ(Whole(ieee, check, 9), 0xCBF43926u);
    EXPECT_EQ(Whole(castagnoli, check, 9), 0xE3069283u);
    EXPECT_EQ(Crc32_Start(), 0u);
    EXPECT_EQ(Whole(ieee, nullptr, 0), 0u);
}

TEST(Crc32, CastagnoliKnownAnswers)
{
    // The 32-byte test patterns published with the iSCSI CRC-32C definition.
    Table t(CRC32_POLY_CASTAGNOLI);
    uint8_t zeros[32], ones[32], up[32], down[32];
    for (int i = 0; i < 32; i++) {
        zeros[i] = 0;
        ones[i] = 0xFF;
        up[i] = static_cast<uint8_t>(i);
        down[i] = static_cast<uint8_t>(31 - i);
    }
    EXPECT_EQ(Whole(t, zeros, 32), 0x8A9136AAu);
    EXPECT_EQ(Whole(t, ones, 32), 0x62A8AB43u);
    EXPECT_EQ(Whole(t, up, 32), 0x46DD794Eu);
    EXPECT_EQ(Whole(t, down, 32), 0x113FDB5Cu);
}

TEST(Crc32, MatchesZlibAndPiecewiseEqualsWhole)
{
    Table t(CRC32_POLY_IEEE);
    std::mt19937 rng(11);
    for (uint32_t length : {1u, 2u, 3u, 255u, 256u, 4096u, 100000u}) {
        std::vector<uint8_t> data = RandomBytes(length, length);
        uint32_t whole = Whole(t, data.data(), length);
        EXPECT_EQ(whole, static_cast<uint32_t>(crc32(0, data.data(), length))) << length;

        // The same data in random pieces, empty pieces included.
        for (int split = 0; split < 20; split++) {
            uint32_t crc = Crc32_Start();
            uint32_t done = 0;
            while (done < length) {
                uint32_t piece = static_cast<uint32_t>(rng() % (length - done + 1));
                Crc32_Update(t.get(), &crc, data.data() + done, piece);
                done += piece;
            }
            EXPECT_EQ(crc, whole) << length;
        }
    }

    const char* check = "123456789";
    uint32_t crc = Crc32_Start();
    Crc32_Update(t.get(), &crc, check, 4);
    uint32_t before = crc;
    Crc32_Update(t.get(), &crc, check + 4, 0);
    EXPECT_EQ(crc, before);  // an empty update changes nothing
    Crc32_Update(t.get(), &crc, check + 4, 5);
    EXPECT_EQ(crc, 0xCBF43926u);
}

TEST(Crc32, VerifiesChecksumsOfImageWrittenByQemu)
{
    if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img not available";
    TempDir dir;
    std::string path = dir.file("disk.vhdx");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vhdx " + Quote(path) + " 64M"), 0);
    std::vector<uint8_t> image = ReadFile(path);
    ASSERT_GE(image.size(), 320u * 1024);

    // Two headers (4 KiB at 64 and 128 KiB) and two region tables (64 KiB at 192 and
    // 256 KiB), each with its CRC-32C at offset 4, computed with that field as zero.
    Table t(CRC32_POLY_CASTAGNOLI);
    struct Structure {
        uint32_t offset, size;
    } structures[] = {
        {64 * 1024, 4096}, {128 * 1024, 4096}, {192 * 1024, 65536}, {256 * 1024, 65536}};
    for (const Structure& s : structures) {
        std::vector<uint8_t> block(image.begin() + s.offset, image.begin() + s.offset + s.size);
        uint32_t stored = Bytes_LoadLe32(block.data() + 4);
        memset(block.data() + 4, 0, 4);
        // Summed in two pieces around the zeroed field, as a reader does.
        uint32_t crc = Crc32_Start();
        Crc32_Update(t.get(), &crc, block.data(), 8);
        Crc32_Update(t.get(), &crc, block.data() + 8, s.size - 8);
        EXPECT_EQ(crc, stored) << "structure at " << s.offset;
    }
}
