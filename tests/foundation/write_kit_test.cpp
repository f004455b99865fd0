// Helpers shared by the writers: bit tests, zero writes and big-endian stores.
#include <gtest/gtest.h>

#include <vector>

#include "foundation/platform.h"
#include "foundation/stream.h"
#include "foundation/write_kit.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

struct BitsCase {
    uint32_t setBit;  // the one bit set in a bitmap of 64 bits
    uint32_t from;
    uint32_t count;
    bool any;
};

class AnySet : public ::testing::TestWithParam<BitsCase> {};

TEST_P(AnySet, LooksAtExactlyTheRange)
{
    const BitsCase& c = GetParam();
    uint8_t bits[8] = {};
    bits[c.setBit / 8] = static_cast<uint8_t>(1u << (c.setBit % 8));
    EXPECT_EQ(Bits_AnySet(bits, c.from, c.count), c.any);
    EXPECT_TRUE(Bits_Test(bits, c.setBit));
}

// Ranges that start and end inside a byte, on byte boundaries, and just miss the bit.
INSTANTIATE_TEST_SUITE_P(WriteKit, AnySet,
                         ::testing::Values(BitsCase{3, 0, 3, false}, BitsCase{3, 0, 4, true},
                                           BitsCase{3, 4, 60, false}, BitsCase{17, 5, 12, false},
                                           BitsCase{17, 5, 13, true}, BitsCase{17, 17, 1, true},
                                           BitsCase{40, 8, 32, false}, BitsCase{40, 8, 33, true},
                                           BitsCase{63, 63, 1, true}, BitsCase{63, 1, 0, false}));

// The run end agrees with a bit-by-bit walk from every start to every end of a bitmap mixing
// whole bytes of ones and of zeros with bytes of both.
TEST(WriteKit, RunEndAgreesWithABitByBitWalk)
{
    const uint8_t bits[8] = {0xFF, 0xFF, 0x0F, 0x00, 0x00, 0xF0, 0xFF, 0x5A};
    for (uint32_t from = 0; from < 64; from++) {
        for (uint32_t end = from; end <= 64; end++) {
            for (bool value : {false, true}) {
                uint32_t expected = from;
                while (expected < end && Bits_Test(bits, expected) == value) expected++;
                EXPECT_EQ(Bits_RunEnd(bits, from, end, value), expected)
                    << from << " " << end << " " << value;
            }
        }
    }
}

TEST(WriteKit, ZerosGoExactlyWhereAsked)
{
    TempDir dir;
    WriteFile(dir.file("f"), std::vector<uint8_t>(200000, 0xAB));
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(dir.file("f").c_str(), false, &s));
    // Longer than the zero block, from an odd offset.
    ASSERT_EQ(WriteKit_WriteZeros(s, 1001, WRITE_KIT_ZERO_BYTES + 7000), DISK_OK);
    EXPECT_EQ(WriteKit_CloseOutput(s, false, DISK_OK), DISK_OK);
    const std::vector<uint8_t> f = ReadFile(dir.file("f"));
    ASSERT_EQ(f.size(), 200000u);
    for (size_t i = 0; i < f.size(); i++) {
        const bool inside = i >= 1001 && i < 1001 + WRITE_KIT_ZERO_BYTES + 7000;
        ASSERT_EQ(f[i], inside ? 0 : 0xAB) << i;
    }
    // An earlier failure survives a good close.
    ASSERT_TRUE(Stream_OpenFile(dir.file("f").c_str(), false, &s));
    EXPECT_EQ(WriteKit_CloseOutput(s, false, DISK_ERR_READ), DISK_ERR_READ);
    EXPECT_EQ(WriteKit_CloseOutput(nullptr, false, DISK_CANCELLED), DISK_CANCELLED);
}

// Only the pieces of file pages holding data are written: the zeros between them, partial pages
// included, stay holes of a new file, and the file reads as the data.
TEST(WriteKit, DataOnlyWritesLeaveZeroPagesAsHoles)
{
    TempDir dir;
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_CreateFile(dir.file("f").c_str(), &s));
    std::vector<uint8_t> data(40000, 0);
    const size_t marks[] = {0, 3095, 3096, 12000, 39999};  // relative to the offset 1000
    for (size_t m : marks) data[m] = static_cast<uint8_t>(m | 1);
    ASSERT_EQ(WriteKit_WriteDataOnly(s, 1000, static_cast<uint32_t>(data.size()), data.data()),
              DISK_OK);
    uint64_t dataStart = 0, dataEnd = 0;
    const bool known = Stream_FindData(s, 4096, &dataStart, &dataEnd);
    EXPECT_EQ(WriteKit_CloseOutput(s, false, DISK_OK), DISK_OK);
    std::vector<uint8_t> f = ReadFile(dir.file("f"));
    ASSERT_EQ(f.size(), 41000u);  // the last byte holds data
    for (size_t i = 0; i < f.size(); i++) ASSERT_EQ(f[i], i < 1000 ? 0 : data[i - 1000]) << i;
    // Page 1 holds only the mark at 4096; pages 2 and 3 hold nothing, page 3 the mark at 13000.
    if (known) {
        EXPECT_EQ(dataStart, 4096u);
        EXPECT_EQ(dataEnd, 8192u);
    }
}

TEST(WriteKit, BigEndianStoresReadBack)
{
    uint8_t b[8] = {};
    Bytes_StoreBe16(b, 0x1234);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
    EXPECT_EQ(Bytes_LoadBe16(b), 0x1234);
    Bytes_StoreBe32(b + 1, 0x89ABCDEFu);  // unaligned
    EXPECT_EQ(b[1], 0x89);
    EXPECT_EQ(b[4], 0xEF);
    EXPECT_EQ(Bytes_LoadBe32(b + 1), 0x89ABCDEFu);
    Bytes_StoreBe64(b, 0x0102030405060708ull);
    for (int i = 0; i < 8; i++) EXPECT_EQ(b[i], i + 1);
    EXPECT_EQ(Bytes_LoadBe64(b), 0x0102030405060708ull);
}

}  // namespace
