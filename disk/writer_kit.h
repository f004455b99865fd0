// The image writers' block reader: each block (or piece of one) of a source is read at most
// once and tested for zeros from the same buffer.
//
// For a piece of the source, in this order:
//   1. Disk_IsRangeKnownZero: a piece the source knows to read as zeros (the zero disk, blocks a
//      parentless image does not store, holes of a raw file) is reported without being read;
//   2. with a used-sector map, a piece whose sectors are all free is reported without being read;
//   3. otherwise the map's used runs are read into the caller's buffer, the free sectors between
//      them become zeros (never read from the source), and the piece is tested for zeros.
// A writer leaves a piece that reads as zeros unstored (its format's "zero" or "not present"
// state) and stores the others from the buffer, so that a used block of zeros costs one read
// and no write.
//
// Typical use, blocks that fit the buffer:
//     WriterKit_Walk(source, map, 0, total, blockSectors, buffer, blockSectors,
//                    [&](const WriterPiece& p) { return p.zero ? DISK_OK : Store(p.data); });
// Blocks larger than the buffer come in several pieces (offset, lastOfBlock); WriterBlockPlacer
// stores such a block only when one of its pieces holds data.
#pragma once

#include <cstdint>

#include "disk/disk.h"

struct ByteStream;

enum : uint32_t {
    WRITER_PIECE_KNOWN_ZERO = 0,  // the source reads as zeros here; nothing was read
    WRITER_PIECE_FREE = 1,        // the map marks every sector free; nothing was read
    WRITER_PIECE_DATA = 2         // read into the buffer; free sectors are zeros there
};

// Longest piece ReadPiece takes: its bytes must fit a 32-bit length.
enum : uint32_t { WRITER_PIECE_MAX_SECTORS = 0x800000 };

struct WriterPiece {
    uint64_t block;       // index of the block in the walk (0 for a lone ReadPiece)
    uint64_t first;       // first source sector of the piece
    uint32_t offset;      // sectors from the start of its block to the piece
    uint32_t count;       // sectors of the piece
    uint32_t blockCount;  // sectors of its block taken from the source (short at the end)
    uint32_t state;       // WRITER_PIECE_*
    bool zero;            // every byte reads as zero (always so unless the state is DATA)
    bool lastOfBlock;     // the block's last piece
    const uint8_t* data;  // DATA: count x 512 bytes in the caller's buffer; otherwise null
};

// Reads one piece [first, first + count) of the source as described above into buffer (count x
// 512 bytes; left untouched unless the state is DATA). count 1..WRITER_PIECE_MAX_SECTORS. The
// piece's block fields describe a block equal to the piece.
int WriterKit_ReadPiece(const DiskHandle* source, UsedSectorMap* map, uint64_t first,
                        uint32_t count, uint8_t* buffer, WriterPiece* piece);

// Receives a stretch read by WriterKit_ReadDataRuns: n sectors from sector offset (from the
// range's first) in data -> DISK_OK to go on, any other result stops the walk and is answered.
typedef int (*WriterRunFn)(void* user, uint32_t offset, uint32_t n, const uint8_t* data);

// Reads only what may hold data in [first, first + count): steps 1 and 2 above leave out the
// pieces the source knows to read as zeros and the sectors the map marks free (every sector is
// used without a map), and each stretch left is read into buffer at its place (count x 512
// bytes; the rest of buffer is left as it was) and handed to fn in order, untested. For a writer
// whose output holds zeros wherever it writes nothing. count 1..WRITER_PIECE_MAX_SECTORS.
int WriterKit_ReadDataRuns(const DiskHandle* source, UsedSectorMap* map, uint64_t first,
                           uint32_t count, uint8_t* buffer, WriterRunFn fn, void* user);

// Walks [first, first + count) of the source block by block (blocks of blockSectors from first,
// the last one possibly short), each block in pieces of at most bufferSectors, and calls
// fn(const WriterPiece&) -> int for every piece in order. A result other than DISK_OK stops the
// walk and is answered (DISK_CANCELLED from a progress report, say). buffer holds bufferSectors
// x 512 bytes.
template <typename Fn>
int WriterKit_Walk(const DiskHandle* source, UsedSectorMap* map, uint64_t first, uint64_t count,
                   uint32_t blockSectors, uint8_t* buffer, uint32_t bufferSectors, Fn fn)
{
    if (blockSectors == 0 || bufferSectors == 0 || bufferSectors > WRITER_PIECE_MAX_SECTORS)
        return DISK_ERR_ARG;
    uint64_t done = 0;
    for (uint64_t block = 0; done < count; block++) {
        const uint32_t blockCount =
            count - done < blockSectors ? static_cast<uint32_t>(count - done) : blockSectors;
        for (uint32_t offset = 0; offset < blockCount;) {
            const uint32_t n =
                blockCount - offset < bufferSectors ? blockCount - offset : bufferSectors;
            WriterPiece piece;
            int rc = WriterKit_ReadPiece(source, map, first + done + offset, n, buffer, &piece);
            if (rc != DISK_OK) return rc;
            piece.block = block;
            piece.offset = offset;
            piece.blockCount = blockCount;
            piece.lastOfBlock = offset + n == blockCount;
            if ((rc = fn(static_cast<const WriterPiece&>(piece))) != DISK_OK) return rc;
            offset += n;
        }
        done += blockCount;
    }
    return DISK_OK;
}

// A block of an output that is stored only when one of its pieces holds data. Set out and the
// byte offset `at` where the block goes, placed false, before the block's first piece; hand it
// every piece in order. Pieces of zeros before the first piece with data are not written; at
// that piece the block's earlier part is written as zeros (no read) and the piece from the
// buffer; later pieces are written as they read (pieces of zeros as zeros). placed tells
// whether the block was stored; the tail of a short block is the caller's.
//
// holes (WRITER_HOLES_*, 0 when left out): where the block goes to bytes of the output never
// written before (they read as zeros), its aligned runs of WRITE_KIT_PAGE_BYTES zero bytes may
// be left unwritten, holes of the file, as a copy that keeps only the data would: the bytes read
// the same, but only the data takes room on the disk.
enum : uint8_t {
    WRITER_HOLES_NONE = 0,  // every byte of a placed block is written
    WRITER_HOLES_INSIDE,    // runs of zeros left out; the block's last sector is always written
    WRITER_HOLES_ANY        // runs of zeros left out anywhere: the output goes on after the block
};
struct WriterBlockPlacer {
    ByteStream* out;
    uint64_t at;
    bool placed;
    uint8_t holes;
};
int WriterKit_PlacePiece(WriterBlockPlacer* block, const WriterPiece* piece);
