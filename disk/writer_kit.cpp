// The image writers' block reader.
#include "disk/writer_kit.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/stream.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

// Sectors whose used bits are fetched at once (bits on the stack).
const uint32_t kBitsSectors = 8192;

// Sectors of a used run asked about at once: pieces the source knows to be zeros (holes of a
// raw file, say) are not read.
const uint32_t kKnownZeroStep = 128;

// Reads sectors [from, to) (from first) into buffer + from x 512; *zero stays true while every
// byte read so far is zero. Each read is tested at once, while it is still in the cache.
int ReadAndTest(const DiskHandle* source, uint64_t first, uint32_t from, uint32_t to,
                uint8_t* buffer, bool* zero)
{
    uint8_t* at = buffer + static_cast<size_t>(from) * 512;
    const uint32_t bytes = (to - from) * 512;
    int rc = Disk_Read(source, (first + from) * 512, bytes, at);
    if (rc == DISK_OK && *zero) *zero = Mem_IsZero(at, bytes);
    return rc;
}

// Walks sectors [i, j) (from first) in steps of kKnownZeroStep: the steps the source knows to
// read as zeros go to zeroFn(k, n), each stretch between them to readFn(from, to) in one call.
template <typename ReadFn, typename ZeroFn>
int WalkRun(const DiskHandle* source, uint64_t first, uint32_t i, uint32_t j, ReadFn readFn,
            ZeroFn zeroFn)
{
    uint32_t from = i;  // start of the stretch not yet handed out
    for (uint32_t k = i; k < j;) {
        const uint32_t n = j - k < kKnownZeroStep ? j - k : kKnownZeroStep;
        bool known = false;
        if (Disk_IsRangeKnownZero(source, first + k, n, &known) != DISK_OK || !known) {
            k += n;
            continue;
        }
        if (k > from) {
            int rc = readFn(from, k);
            if (rc != DISK_OK) return rc;
        }
        zeroFn(k, n);
        k += n;
        from = k;
    }
    if (j == from) return DISK_OK;
    return readFn(from, j);
}

// Walks bits [0, n): each run of used bits goes to usedFn(i, j), each run of free ones to
// freeFn(i, j).
template <typename UsedFn, typename FreeFn>
int WalkBits(const uint8_t* bits, uint32_t n, UsedFn usedFn, FreeFn freeFn)
{
    uint32_t i = 0;
    while (i < n) {
        const bool used = Bits_Test(bits, i);
        const uint32_t j = Bits_RunEnd(bits, i + 1, n, used);
        if (used) {
            int rc = usedFn(i, j);
            if (rc != DISK_OK) return rc;
        } else {
            freeFn(i, j);
        }
        i = j;
    }
    return DISK_OK;
}

// Reads sectors [i, j) (from first) into buffer + i x 512, leaving out the pieces the source
// knows to read as zeros (they become zeros). *zero as for ReadAndTest.
int ReadRun(const DiskHandle* source, uint64_t first, uint32_t i, uint32_t j, uint8_t* buffer,
            bool* zero)
{
    return WalkRun(
        source, first, i, j,
        [&](uint32_t from, uint32_t to) { return ReadAndTest(source, first, from, to, buffer, zero); },
        [&](uint32_t k, uint32_t n) {
            std::memset(buffer + static_cast<size_t>(k) * 512, 0, static_cast<size_t>(n) * 512);
        });
}

// Reads the used runs of bits [0, n) (sectors from first) into buffer; free runs become zeros.
// *zero as for ReadAndTest: the zeros set here are not tested.
int ReadUsedRuns(const DiskHandle* source, uint64_t first, const uint8_t* bits, uint32_t n,
                 uint8_t* buffer, bool* zero)
{
    return WalkBits(
        bits, n, [&](uint32_t i, uint32_t j) { return ReadRun(source, first, i, j, buffer, zero); },
        [&](uint32_t i, uint32_t j) {
            std::memset(buffer + static_cast<size_t>(i) * 512, 0, static_cast<size_t>(j - i) * 512);
        });
}

}  // namespace

int WriterKit_ReadPiece(const DiskHandle* source, UsedSectorMap* map, uint64_t first,
                        uint32_t count, uint8_t* buffer, WriterPiece* piece)
{
    if (source == nullptr || buffer == nullptr || piece == nullptr || count == 0 ||
        count > WRITER_PIECE_MAX_SECTORS)
        return DISK_ERR_ARG;
    *piece = WriterPiece{0, first, 0, count, count, WRITER_PIECE_KNOWN_ZERO, true, true, nullptr};
    // The question never reads data: a source that cannot answer it (a flat VMDK refuses the
    // per-layer query) is simply read.
    bool known = false;
    if (Disk_IsRangeKnownZero(source, first, count, &known) == DISK_OK && known) return DISK_OK;
    int rc = DISK_OK;
    bool zero = true;
    if (map == nullptr) {
        if ((rc = ReadAndTest(source, first, 0, count, buffer, &zero)) != DISK_OK) return rc;
    } else {
        // The bits come in chunks; the buffer is touched only from the first chunk with a used
        // sector on (the chunks before it become zeros then).
        uint8_t bits[kBitsSectors / 8];
        bool any = false;
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = count - done < kBitsSectors ? count - done : kBitsSectors;
            rc = UsedMap_GetUsedBits(map, first + done, static_cast<int32_t>(n), bits);
            if (rc != DISK_OK) return rc;
            if (!any) {
                if (!Bits_AnySet(bits, 0, n)) {
                    done += n;
                    continue;
                }
                any = true;
                std::memset(buffer, 0, static_cast<size_t>(done) * 512);
            }
            rc = ReadUsedRuns(source, first + done, bits, n,
                              buffer + static_cast<size_t>(done) * 512, &zero);
            if (rc != DISK_OK) return rc;
            done += n;
        }
        if (!any) {
            piece->state = WRITER_PIECE_FREE;
            return DISK_OK;
        }
    }
    piece->state = WRITER_PIECE_DATA;
    piece->data = buffer;
    piece->zero = zero;
    return DISK_OK;
}

int WriterKit_ReadDataRuns(const DiskHandle* source, UsedSectorMap* map, uint64_t first,
                           uint32_t count, uint8_t* buffer, WriterRunFn fn, void* user)
{
    if (source == nullptr || buffer == nullptr || fn == nullptr || count == 0 ||
        count > WRITER_PIECE_MAX_SECTORS)
        return DISK_ERR_ARG;
    bool known = false;
    if (Disk_IsRangeKnownZero(source, first, count, &known) == DISK_OK && known) return DISK_OK;
    const auto read = [&](uint32_t from, uint32_t to) {
        uint8_t* at = buffer + static_cast<size_t>(from) * 512;
        int rc = Disk_Read(source, (first + from) * 512, (to - from) * 512, at);
        return rc != DISK_OK ? rc : fn(user, from, to - from, at);
    };
    const auto none = [](uint32_t, uint32_t) {};
    if (map == nullptr) return WalkRun(source, first, 0, count, read, none);
    uint8_t bits[kBitsSectors / 8];
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < kBitsSectors ? count - done : kBitsSectors;
        int rc = UsedMap_GetUsedBits(map, first + done, static_cast<int32_t>(n), bits);
        if (rc != DISK_OK) return rc;
        rc = WalkBits(
            bits, n,
            [&](uint32_t i, uint32_t j) {
                return WalkRun(source, first, done + i, done + j, read, none);
            },
            none);
        if (rc != DISK_OK) return rc;
        done += n;
    }
    return DISK_OK;
}

int WriterKit_PlacePiece(WriterBlockPlacer* block, const WriterPiece* piece)
{
    if (block == nullptr || piece == nullptr || block->out == nullptr) return DISK_ERR_ARG;
    const uint64_t at = block->at + static_cast<uint64_t>(piece->offset) * 512;
    const uint32_t bytes = piece->count * 512;
    if (!block->placed) {
        if (piece->zero) return DISK_OK;
        if (piece->offset != 0 && block->holes == WRITER_HOLES_NONE) {
            int rc = WriteKit_WriteZeros(block->out, block->at,
                                         static_cast<uint64_t>(piece->offset) * 512);
            if (rc != DISK_OK) return rc;
        }
        block->placed = true;
    }
    if (block->holes == WRITER_HOLES_NONE) {
        if (piece->data == nullptr) return WriteKit_WriteZeros(block->out, at, bytes);
        return WriteKit_WriteAt(block->out, at, bytes, piece->data);
    }
    if (piece->data != nullptr) {
        int rc = WriteKit_WriteDataOnly(block->out, at, bytes, piece->data);
        if (rc != DISK_OK) return rc;
    }
    // The last sector keeps the file as long as the block; written again when it holds data.
    if (block->holes == WRITER_HOLES_INSIDE && piece->lastOfBlock) {
        const uint64_t last = block->at + (static_cast<uint64_t>(piece->blockCount) - 1) * 512;
        const uint8_t* data =
            piece->data != nullptr ? piece->data + (piece->count - 1) * 512ull : kZeros;
        return WriteKit_WriteAt(block->out, last, 512, data);
    }
    return DISK_OK;
}
