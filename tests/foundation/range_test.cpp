#include "foundation/range.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

struct Piece {
    uint64_t index;
    uint32_t offset;
    uint32_t length;
    uint64_t position;
    bool operator==(const Piece& o) const
    {
        return index == o.index && offset == o.offset && length == o.length &&
               position == o.position;
    }
};

std::ostream& operator<<(std::ostream& os, const Piece& p)
{
    return os << "{block " << p.index << ", offset " << p.offset << ", length " << p.length
              << ", at " << p.position << "}";
}

std::vector<Piece> Walk(uint32_t blockSize, uint64_t start, uint64_t length, bool* ok)
{
    BlockRange r;
    *ok = BlockRange_Init(&r, blockSize, start, length);
    std::vector<Piece> pieces;
    for (; BlockRange_HasMore(&r) && pieces.size() < 100; BlockRange_Next(&r))
        pieces.push_back({r.blockIndex, r.blockOffset, r.pieceLength, BlockRange_GetPosition(&r)});
    return pieces;
}

std::vector<Piece> Walk32(uint32_t blockSize, uint32_t start, uint32_t length, bool* ok)
{
    BlockRange32 r;
    *ok = BlockRange32_Init(&r, blockSize, start, length);
    std::vector<Piece> pieces;
    for (; BlockRange32_HasMore(&r) && pieces.size() < 100; BlockRange32_Next(&r))
        pieces.push_back(
            {r.blockIndex, r.blockOffset, r.pieceLength, BlockRange32_GetPosition(&r)});
    return pieces;
}

const uint64_t GiB = uint64_t(1) << 30;

}  // namespace

TEST(BlockRange, PieceTables)
{
    struct Case {
        uint32_t blockSize;
        uint64_t start, length;
        std::vector<Piece> pieces;
    } cases[] = {
        // Unaligned start: the first piece ends at the next boundary.
        {512, 1000, 100, {{1, 488, 24, 1000}, {2, 0, 76, 1024}}},
        // Aligned start, three whole blocks.
        {512, 1024, 1536, {{2, 0, 512, 1024}, {3, 0, 512, 1536}, {4, 0, 512, 2048}}},
        // Inside one block, and ending exactly on a boundary.
        {512, 10, 20, {{0, 10, 20, 10}}},
        {512, 500, 12, {{0, 500, 12, 500}}},
        {512, 500, 13, {{0, 500, 12, 500}, {1, 0, 1, 512}}},
        // Length 0 yields no piece.
        {512, 1000, 0, {}},
        {65536, 0, 0, {}},
        // Start beyond 4 GiB.
        {4096,
         5 * GiB + 100,
         8192,
         {{1310720, 100, 3996, 5 * GiB + 100},
          {1310721, 0, 4096, 5 * GiB + 4096},
          {1310722, 0, 100, 5 * GiB + 8192}}},
        // Blocks of 2 MiB past 2 TiB.
        {2u << 20,
         3 * (GiB << 10) + 1,
         2u << 20,
         {{1572864, 1, (2u << 20) - 1, 3 * (GiB << 10) + 1},
          {1572865, 0, 1, 3 * (GiB << 10) + (2u << 20)}}},
        // Block size 1 and the largest block size.
        {1, 7, 3, {{7, 0, 1, 7}, {8, 0, 1, 8}, {9, 0, 1, 9}}},
        {UINT32_MAX, 5 * GiB, 10, {{1, uint32_t(5 * GiB - UINT32_MAX), 10, 5 * GiB}}},
        // The last 32-bit block index still fits.
        {512,
         uint64_t(UINT32_MAX) * 512 + 12,
         500,
         {{UINT32_MAX, 12, 500, uint64_t(UINT32_MAX) * 512 + 12}}},
    };
    for (const Case& c : cases) {
        bool ok = false;
        std::vector<Piece> got = Walk(c.blockSize, c.start, c.length, &ok);
        EXPECT_TRUE(ok) << c.blockSize << " " << c.start << " " << c.length;
        EXPECT_EQ(got, c.pieces) << c.blockSize << " " << c.start << " " << c.length;
    }
}

TEST(BlockRange, RefusesZeroBlockSizeAndIndexesBeyond32Bits)
{
    struct Case {
        uint32_t blockSize;
        uint64_t start, length;
    } cases[] = {
        {0, 0, 100},
        {0, 1000, 0},
        {512, uint64_t(1) << 41, 512},                // first block index 2^32
        {512, uint64_t(UINT32_MAX) * 512 + 12, 501},  // last block index 2^32
        {512, 0, (uint64_t(1) << 41) + 1},            // from 0 past 2^32 blocks
        {1, uint64_t(1) << 32, 1},                    // byte-sized blocks past 4 GiB
        {512, UINT64_MAX - 10, 100},                  // end wraps
        {4096, uint64_t(1) << 63, 0},                 // even with length 0
    };
    for (const Case& c : cases) {
        BlockRange r;
        EXPECT_FALSE(BlockRange_Init(&r, c.blockSize, c.start, c.length))
            << c.blockSize << " " << c.start << " " << c.length;
        EXPECT_FALSE(BlockRange_HasMore(&r));
        BlockRange_Next(&r);  // harmless after a refused start
        EXPECT_FALSE(BlockRange_HasMore(&r));
    }
}

TEST(BlockRange, RandomRangesAreCutAtEveryBoundaryAndCoverTheRange)
{
    std::mt19937_64 rng(7);
    for (int t = 0; t < 2000; t++) {
        uint32_t blockSize = static_cast<uint32_t>(1 + rng() % 5000);
        if (t % 3 == 0) blockSize = 512u << (rng() % 12);
        uint64_t start = rng() % (uint64_t(blockSize) << 32);
        uint64_t length = rng() % (uint64_t(blockSize) * 40);
        uint64_t lastByte = start + (length ? length - 1 : 0);
        if (lastByte / blockSize > UINT32_MAX) continue;
        BlockRange r;
        ASSERT_TRUE(BlockRange_Init(&r, blockSize, start, length));
        uint64_t pos = start;
        for (; BlockRange_HasMore(&r); BlockRange_Next(&r)) {
            ASSERT_GT(r.pieceLength, 0u);
            ASSERT_EQ(BlockRange_GetPosition(&r), pos);
            ASSERT_EQ(pos / blockSize, r.blockIndex);
            ASSERT_EQ(pos % blockSize, r.blockOffset);
            ASSERT_LE(uint64_t(r.blockOffset) + r.pieceLength, blockSize);
            pos += r.pieceLength;
            // Every piece ends at a boundary or at the end of the range.
            ASSERT_TRUE(pos % blockSize == 0 || pos == start + length);
        }
        ASSERT_EQ(pos, start + length);
    }
}

TEST(BlockRange32, PieceTablesAndRefusals)
{
    bool ok = false;
    EXPECT_EQ(Walk32(512, 1000, 100, &ok),
              (std::vector<Piece>{{1, 488, 24, 1000}, {2, 0, 76, 1024}}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Walk32(512, 1024, 1536, &ok),
              (std::vector<Piece>{{2, 0, 512, 1024}, {3, 0, 512, 1536}, {4, 0, 512, 2048}}));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(Walk32(512, 1000, 0, &ok).empty());
    EXPECT_TRUE(ok);
    // A range ending exactly at 4 GiB.
    EXPECT_EQ(Walk32(65536, UINT32_MAX - 99, 100, &ok),
              (std::vector<Piece>{{65535, 65536 - 100, 100, UINT32_MAX - 99}}));
    EXPECT_TRUE(ok);

    // Block size 0, and ranges whose positions would pass 32 bits.
    EXPECT_TRUE(Walk32(0, 0, 100, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Walk32(512, UINT32_MAX - 99, 101, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Walk32(1, UINT32_MAX, UINT32_MAX, &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(ChunkRange, PieceTables)
{
    struct Case {
        uint32_t chunkSize;
        uint64_t length;
        std::vector<std::pair<uint64_t, uint32_t>> pieces;  // offset, length
    } cases[] = {
        {65536, 150000, {{0, 65536}, {65536, 65536}, {131072, 18928}}},
        {65536, 131072, {{0, 65536}, {65536, 65536}}},
        {65536, 10, {{0, 10}}},
        {65536, 0, {}},
        {1u << 20, 5 * GiB + 3, {}},  // checked below by count and last piece
    };
    for (const Case& c : cases) {
        ChunkRange r;
        ASSERT_TRUE(ChunkRange_Init(&r, c.chunkSize, c.length));
        std::vector<std::pair<uint64_t, uint32_t>> got;
        uint32_t number = 0;
        uint64_t lastOffset = 0, done = 0;
        uint32_t lastLength = 0;
        for (; ChunkRange_HasMore(&r); ChunkRange_Next(&r), number++) {
            ASSERT_EQ(r.pieceNumber, number);
            ASSERT_EQ(r.offset, done);
            ASSERT_EQ(r.remaining, c.length - done);
            if (!c.pieces.empty()) got.push_back({r.offset, r.pieceLength});
            lastOffset = r.offset;
            lastLength = r.pieceLength;
            done += r.pieceLength;
        }
        EXPECT_EQ(done, c.length);
        if (c.length == 5 * GiB + 3) {
            EXPECT_EQ(number, 5121u);
            EXPECT_EQ(lastOffset, 5 * GiB);
            EXPECT_EQ(lastLength, 3u);
        } else {
            EXPECT_EQ(got, c.pieces) << c.chunkSize << " " << c.length;
        }
    }
}

TEST(ChunkRange, RefusesZeroChunkSizeAndPieceNumbersBeyond32Bits)
{
    ChunkRange r;
    EXPECT_FALSE(ChunkRange_Init(&r, 0, 100));
    EXPECT_FALSE(ChunkRange_HasMore(&r));
    EXPECT_FALSE(ChunkRange_Init(&r, 0, 0));
    EXPECT_FALSE(ChunkRange_HasMore(&r));
    // 2^32 pieces still number from 0 to 2^32 - 1; one more does not.
    EXPECT_TRUE(ChunkRange_Init(&r, 1, uint64_t(1) << 32));
    EXPECT_TRUE(ChunkRange_Init(&r, 512, uint64_t(1) << 41));
    EXPECT_FALSE(ChunkRange_Init(&r, 1, (uint64_t(1) << 32) + 1));
    EXPECT_FALSE(ChunkRange_HasMore(&r));
    EXPECT_FALSE(ChunkRange_Init(&r, 512, (uint64_t(1) << 41) + 1));
    EXPECT_FALSE(ChunkRange_Init(&r, 4096, UINT64_MAX));
    EXPECT_FALSE(ChunkRange_Init(&r, UINT32_MAX, UINT64_MAX));  // 2^32 + 1 pieces
    EXPECT_TRUE(ChunkRange_Init(&r, UINT32_MAX, uint64_t(UINT32_MAX) << 32));
    EXPECT_EQ(r.pieceLength, UINT32_MAX);

    ChunkRange32 r32;
    EXPECT_FALSE(ChunkRange32_Init(&r32, 0, 100));
    EXPECT_FALSE(ChunkRange32_HasMore(&r32));
}

TEST(ChunkRange32, Pieces)
{
    ChunkRange32 r;
    ASSERT_TRUE(ChunkRange32_Init(&r, 65536, 150000));
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (; ChunkRange32_HasMore(&r); ChunkRange32_Next(&r))
        got.push_back({r.offset, r.pieceLength});
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{
                       {0, 65536}, {65536, 65536}, {131072, 18928}}));
    EXPECT_EQ(r.offset, 150000u);

    ASSERT_TRUE(ChunkRange32_Init(&r, 65536, 0));
    EXPECT_FALSE(ChunkRange32_HasMore(&r));

    // The whole 32-bit length in 1 GiB chunks.
    ASSERT_TRUE(ChunkRange32_Init(&r, 1u << 30, UINT32_MAX));
    std::vector<uint32_t> lengths;
    for (; ChunkRange32_HasMore(&r); ChunkRange32_Next(&r)) lengths.push_back(r.pieceLength);
    EXPECT_EQ(lengths, (std::vector<uint32_t>{1u << 30, 1u << 30, 1u << 30, (1u << 30) - 1}));
}

TEST(Bitmap, BothBitOrders)
{
    const uint8_t lsb[] = {0x00, 0x02};
    const uint8_t msb[] = {0x00, 0x40};
    EXPECT_TRUE(Bitmap_TestBit(lsb, 9));
    EXPECT_FALSE(Bitmap_TestBitMsbFirst(lsb, 9));
    EXPECT_TRUE(Bitmap_TestBitMsbFirst(msb, 9));
    EXPECT_FALSE(Bitmap_TestBit(msb, 9));
    for (uint32_t n = 0; n < 16; n++) {
        if (n != 9) {
            EXPECT_FALSE(Bitmap_TestBit(lsb, n)) << n;
            EXPECT_FALSE(Bitmap_TestBitMsbFirst(msb, n)) << n;
        }
    }

    // 0x01 0x80: bits 0 and 15 least significant first, bits 7 and 8 most significant first.
    const uint8_t ends[] = {0x01, 0x80};
    std::vector<uint32_t> setLsb, setMsb;
    for (uint32_t n = 0; n < 16; n++) {
        if (Bitmap_TestBit(ends, n)) setLsb.push_back(n);
        if (Bitmap_TestBitMsbFirst(ends, n)) setMsb.push_back(n);
    }
    EXPECT_EQ(setLsb, (std::vector<uint32_t>{0, 15}));
    EXPECT_EQ(setMsb, (std::vector<uint32_t>{7, 8}));
}

TEST(Bitmap, SetAndClearTouchOnlyTheirBit)
{
    std::vector<uint8_t> bits(64, 0);
    std::mt19937 rng(3);
    std::vector<bool> model(512, false);
    for (int t = 0; t < 5000; t++) {
        uint32_t n = rng() % 512;
        bool v = (rng() & 1) != 0;
        Bitmap_SetBit(bits.data(), n, v);
        model[n] = v;
    }
    for (uint32_t n = 0; n < 512; n++) {
        ASSERT_EQ(Bitmap_TestBit(bits.data(), n), model[n]) << n;
        // The same bit seen in the other order sits at the mirrored position in its byte.
        ASSERT_EQ(Bitmap_TestBitMsbFirst(bits.data(), (n & ~7u) | (7 - (n & 7))), model[n]) << n;
    }

    // Bits far into a map: bit numbers are 32-bit.
    std::vector<uint8_t> big((1u << 24) / 8 + 1, 0);
    Bitmap_SetBit(big.data(), (1u << 24) - 1, true);
    EXPECT_EQ(big[(1u << 24) / 8 - 1], 0x80);
    EXPECT_TRUE(Bitmap_TestBit(big.data(), (1u << 24) - 1));
    Bitmap_SetBit(big.data(), (1u << 24) - 1, false);
    EXPECT_EQ(big[(1u << 24) / 8 - 1], 0x00);
}
