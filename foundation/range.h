// Range iterators and bitmaps.
//
// A BlockRange cuts a byte range at multiples of a block size, a ChunkRange cuts a length into
// consecutive chunks from 0. The loop is always: initialise; while HasMore: use the current
// piece; Next. Initialisation checks the whole range up front: a block or chunk size of 0, a
// range whose end does not fit, or a block index / piece number beyond 32 bits answer false and
// leave a range that yields no piece.
#pragma once

#include <cstdint>

struct BlockRange {
    uint32_t blockIndex;   // block of the current piece
    uint32_t blockOffset;  // offset of the piece inside its block
    uint32_t pieceLength;
    uint32_t blockSize;
    uint64_t start;
    uint64_t length;
    uint64_t remaining;  // bytes left, the current piece included
};

struct BlockRange32 {
    uint32_t blockIndex;
    uint32_t blockOffset;
    uint32_t pieceLength;
    uint32_t blockSize;
    uint32_t start;
    uint32_t length;
    uint32_t remaining;
};

bool BlockRange_Init(BlockRange* range, uint32_t blockSize, uint64_t start, uint64_t length);
bool BlockRange_HasMore(const BlockRange* range);
void BlockRange_Next(BlockRange* range);
// Byte position of the current piece.
uint64_t BlockRange_GetPosition(const BlockRange* range);

// False also when start + length exceeds 2^32, so that every position fits 32 bits.
bool BlockRange32_Init(BlockRange32* range, uint32_t blockSize, uint32_t start, uint32_t length);
bool BlockRange32_HasMore(const BlockRange32* range);
void BlockRange32_Next(BlockRange32* range);
uint32_t BlockRange32_GetPosition(const BlockRange32* range);

struct ChunkRange {
    uint32_t pieceNumber;
    uint32_t pieceLength;
    uint64_t offset;  // bytes done before the current piece
    uint64_t length;
    uint64_t remaining;  // bytes left, the current piece included
    uint32_t chunkSize;
};

struct ChunkRange32 {
    uint32_t pieceNumber;
    uint32_t pieceLength;
    uint32_t offset;
    uint32_t length;
    uint32_t remaining;
    uint32_t chunkSize;
};

bool ChunkRange_Init(ChunkRange* range, uint32_t chunkSize, uint64_t length);
bool ChunkRange_HasMore(const ChunkRange* range);
void ChunkRange_Next(ChunkRange* range);

bool ChunkRange32_Init(ChunkRange32* range, uint32_t chunkSize, uint32_t length);
bool ChunkRange32_HasMore(const ChunkRange32* range);
void ChunkRange32_Next(ChunkRange32* range);

// Bit n lives in byte n / 8. Least significant bit first (every map of the engine) ...
bool Bitmap_TestBit(const uint8_t* bits, uint32_t n);
void Bitmap_SetBit(uint8_t* bits, uint32_t n, bool value);
// ... or most significant bit first (for on-disk bitmaps ordered that way).
bool Bitmap_TestBitMsbFirst(const uint8_t* bits, uint32_t n);
