#include "foundation/range.h"

#include "foundation/platform.h"

namespace {

uint32_t MinU32(uint64_t a, uint64_t b) { return static_cast<uint32_t>(a < b ? a : b); }

}  // namespace

// ---- BlockRange -----------------------------------------------------------

bool BlockRange_Init(BlockRange* range, uint32_t blockSize, uint64_t start, uint64_t length)
{
    range->blockIndex = 0;
    range->blockOffset = 0;
    range->pieceLength = 0;
    range->blockSize = blockSize;
    range->start = start;
    range->length = length;
    range->remaining = 0;

    uint64_t end;
    if (blockSize == 0 || !Math_AddU64(start, length, &end)) return false;
    // Every block the range touches, the last one included, must have a 32-bit index.
    uint64_t lastByte = length != 0 ? end - 1 : start;
    if (lastByte / blockSize > UINT32_MAX) return false;

    range->blockIndex = static_cast<uint32_t>(start / blockSize);
    range->blockOffset = static_cast<uint32_t>(start % blockSize);
    range->pieceLength = MinU32(length, blockSize - range->blockOffset);
    range->remaining = length;
    return true;
}

bool BlockRange_HasMore(const BlockRange* range) { return range->remaining != 0; }

void BlockRange_Next(BlockRange* range)
{
    if (range->remaining == 0) return;
    range->remaining -= range->pieceLength;
    range->blockIndex++;
    range->blockOffset = 0;
    range->pieceLength = MinU32(range->blockSize, range->remaining);
}

uint64_t BlockRange_GetPosition(const BlockRange* range)
{
    return static_cast<uint64_t>(range->blockIndex) * range->blockSize + range->blockOffset;
}

// ---- BlockRange32 ---------------------------------------------------------

bool BlockRange32_Init(BlockRange32* range, uint32_t blockSize, uint32_t start, uint32_t length)
{
    range->blockIndex = 0;
    range->blockOffset = 0;
    range->pieceLength = 0;
    range->blockSize = blockSize;
    range->start = start;
    range->length = length;
    range->remaining = 0;

    // Positions are 32-bit: the range may end at 2^32 but not beyond.
    if (blockSize == 0 || static_cast<uint64_t>(start) + length > (uint64_t(1) << 32)) return false;

    range->blockIndex = start / blockSize;
    range->blockOffset = start % blockSize;
    range->pieceLength = MinU32(length, blockSize - range->blockOffset);
    range->remaining = length;
    return true;
}

bool BlockRange32_HasMore(const BlockRange32* range) { return range->remaining != 0; }

void BlockRange32_Next(BlockRange32* range)
{
    if (range->remaining == 0) return;
    range->remaining -= range->pieceLength;
    range->blockIndex++;
    range->blockOffset = 0;
    range->pieceLength = MinU32(range->blockSize, range->remaining);
}

uint32_t BlockRange32_GetPosition(const BlockRange32* range)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(range->blockIndex) * range->blockSize +
                                 range->blockOffset);
}

// ---- ChunkRange -----------------------------------------------------------

bool ChunkRange_Init(ChunkRange* range, uint32_t chunkSize, uint64_t length)
{
    range->pieceNumber = 0;
    range->pieceLength = 0;
    range->offset = 0;
    range->length = length;
    range->remaining = 0;
    range->chunkSize = chunkSize;

    // A chunk size of 0 would never advance; the piece numbers must fit 32 bits.
    if (chunkSize == 0 || Math_DivCeilU64(length, chunkSize) > (uint64_t(1) << 32)) return false;

    range->pieceLength = MinU32(chunkSize, length);
    range->remaining = length;
    return true;
}

bool ChunkRange_HasMore(const ChunkRange* range) { return range->remaining != 0; }

void ChunkRange_Next(ChunkRange* range)
{
    if (range->remaining == 0) return;
    range->offset += range->pieceLength;
    range->remaining -= range->pieceLength;
    range->pieceNumber++;
    range->pieceLength = MinU32(range->chunkSize, range->remaining);
}

// ---- ChunkRange32 ---------------------------------------------------------

bool ChunkRange32_Init(ChunkRange32* range, uint32_t chunkSize, uint32_t length)
{
    range->pieceNumber = 0;
    range->pieceLength = 0;
    range->offset = 0;
    range->length = length;
    range->remaining = 0;
    range->chunkSize = chunkSize;

    if (chunkSize == 0) return false;

    range->pieceLength = MinU32(chunkSize, length);
    range->remaining = length;
    return true;
}

bool ChunkRange32_HasMore(const ChunkRange32* range) { return range->remaining != 0; }

void ChunkRange32_Next(ChunkRange32* range)
{
    if (range->remaining == 0) return;
    range->offset += range->pieceLength;
    range->remaining -= range->pieceLength;
    range->pieceNumber++;
    range->pieceLength = MinU32(range->chunkSize, range->remaining);
}

// ---- Bitmaps --------------------------------------------------------------

bool Bitmap_TestBit(const uint8_t* bits, uint32_t n)
{
    return (bits[n / 8] & (1u << (n % 8))) != 0;
}

bool Bitmap_TestBitMsbFirst(const uint8_t* bits, uint32_t n)
{
    return (bits[n / 8] & (0x80u >> (n % 8))) != 0;
}

void Bitmap_SetBit(uint8_t* bits, uint32_t n, bool value)
{
    uint8_t mask = static_cast<uint8_t>(1u << (n % 8));
    if (value)
        bits[n / 8] |= mask;
    else
        bits[n / 8] &= static_cast<uint8_t>(~mask);
}
