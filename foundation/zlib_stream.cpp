#include "foundation/zlib_stream.h"

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"

#include <cstring>

namespace {

uint32_t MinU32(uint64_t a, uint32_t b) { return a < b ? static_cast<uint32_t>(a) : b; }

Bytef* InputPointer(const void* p) { return const_cast<Bytef*>(static_cast<const Bytef*>(p)); }

// Maps a failed inflate call to a result code: exhausted memory stays a memory failure, every
// other failure means the compressed data (or the stream state it left) is unusable.
int InflateFailure(int ret)
{
    if (ret == Z_MEM_ERROR) return DISK_ERR_NOMEM;
    if (ret == Z_BUF_ERROR) return Refusal_Record("compressed data: ends early");
    return Refusal_Record("compressed data: malformed");
}

// The same for deflate: a failure there is the compressor's state, not the image's bytes.
int DeflateFailure(int ret)
{
    return ret == Z_MEM_ERROR ? DISK_ERR_NOMEM
                              : Refusal_Record("compressed data: the compressor failed");
}

}  // namespace

// ---- Allocation hooks and streams ------------------------------------------------------------

voidpf Zlib_AllocHook(voidpf opaque, uInt items, uInt size)
{
    (void)opaque;
    uint32_t bytes = 0;
    if (!Math_MulU32(items, size, &bytes)) return Z_NULL;
    return Mem_Alloc(bytes);
}

void Zlib_FreeHook(voidpf opaque, voidpf address)
{
    (void)opaque;
    Mem_Free(address);
}

void Zlib_InitStream(z_stream* strm)
{
    if (strm == nullptr) return;
    memset(strm, 0, sizeof *strm);
    strm->zalloc = Zlib_AllocHook;
    strm->zfree = Zlib_FreeHook;
    strm->opaque = Z_NULL;
}

z_stream* Zlib_AllocStream()
{
    z_stream* strm = static_cast<z_stream*>(Mem_Alloc(sizeof(z_stream)));
    if (strm != nullptr) Zlib_InitStream(strm);
    return strm;
}

// ---- Pull-style decompressor -----------------------------------------------------------------

void InflateReader_Init(InflateReader* r)
{
    if (r == nullptr) return;
    r->input = nullptr;
    r->user = nullptr;
    r->compressedLeft = 0;
    r->nextOffset = 0;
    r->inBuf = nullptr;
    r->window = nullptr;
    r->started = false;
    r->readPos = 0;
    r->windowEnd = 0;
    r->lastStatus = Z_OK;
    r->failure = 0;
    Zlib_InitStream(&r->strm);
}

InflateReader* InflateReader_Alloc()
{
    InflateReader* r = static_cast<InflateReader*>(Mem_Alloc(sizeof(InflateReader)));
    if (r != nullptr) InflateReader_Init(r);
    return r;
}

void InflateReader_Destroy(InflateReader* r)
{
    if (r == nullptr) return;
    if (r->started) inflateEnd(&r->strm);
    Mem_Free(r->inBuf);
    Mem_Free(r->window);
    InflateReader_Init(r);
}

int InflateReader_Open(InflateReader* r, ZlibInputCallback input, void* user,
                       uint64_t compressedLength, uint64_t startOffset)
{
    if (r == nullptr || input == nullptr) return DISK_ERR_ARG;
    InflateReader_Destroy(r);
    r->inBuf = static_cast<uint8_t*>(Mem_Alloc(ZLIB_PIECE_BYTES));
    r->window = static_cast<uint8_t*>(Mem_Alloc(ZLIB_PIECE_BYTES));
    if (r->inBuf == nullptr || r->window == nullptr || inflateInit(&r->strm) != Z_OK) {
        InflateReader_Destroy(r);
        return DISK_ERR_NOMEM;
    }
    r->started = true;
    r->input = input;
    r->user = user;
    r->compressedLeft = compressedLength;
    r->nextOffset = startOffset;
    return 0;
}

// Fetches the next piece of compressed input when the stream has none left.
static int InflateReader_Fetch(InflateReader* r)
{
    if (r->strm.avail_in != 0 || r->compressedLeft == 0) return 0;
    uint32_t ask = MinU32(r->compressedLeft, ZLIB_PIECE_BYTES);
    bool last = false;
    uint32_t actual = ask;
    int status = r->input(r->user, r->nextOffset, ask, r->inBuf, &last, &actual);
    if (status != 0) return status;
    // Never trust the reported length beyond what the buffer was asked to hold.
    uint32_t piece = actual < ask ? actual : ask;
    if (last || piece == 0)
        r->compressedLeft = 0;
    else
        r->compressedLeft -= piece;
    uint64_t next = 0;
    if (!Math_AddU64(r->nextOffset, piece, &next))
        return Refusal_Record("compressed data: runs past the largest offset");
    r->nextOffset = next;
    r->strm.next_in = r->inBuf;
    r->strm.avail_in = piece;
    return 0;
}

// One inflate step into the (drained) window. A stream end resets the state so that a
// following zlib stream continues the output.
static int InflateReader_Produce(InflateReader* r)
{
    int status = InflateReader_Fetch(r);
    if (status != 0) return status;
    r->strm.next_out = r->window + r->windowEnd;
    r->strm.avail_out = ZLIB_PIECE_BYTES - r->windowEnd;
    int ret = inflate(&r->strm, Z_NO_FLUSH);
    r->lastStatus = ret;
    r->windowEnd = ZLIB_PIECE_BYTES - r->strm.avail_out;
    if (ret == Z_OK) return 0;
    if (ret == Z_STREAM_END) {
        int reset = inflateReset(&r->strm);
        return reset == Z_OK ? 0 : InflateFailure(reset);
    }
    // Z_BUF_ERROR here means the compressed data ran out before the bytes owed.
    return InflateFailure(ret);
}

int InflateReader_Read(InflateReader* r, uint32_t n, void* dst)
{
    if (r == nullptr || (n != 0 && dst == nullptr)) return DISK_ERR_ARG;
    if (r->failure != 0) return r->failure;
    if (n == 0) return 0;
    if (!r->started) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(dst);
    uint32_t owed = n;
    for (;;) {
        uint32_t held = r->windowEnd - r->readPos;
        if (held != 0) {
            uint32_t take = held < owed ? held : owed;
            memcpy(out, r->window + r->readPos, take);
            r->readPos += take;
            out += take;
            owed -= take;
            if (owed == 0) return 0;
        }
        // Everything in the window has been delivered: refill it from its start.
        r->readPos = 0;
        r->windowEnd = 0;
        int status = InflateReader_Produce(r);
        if (status != 0) {
            // Part of this read may already be consumed: the position is lost for good.
            r->failure = status;
            return status;
        }
    }
}

// ---- Pull-style compressor -------------------------------------------------------------------

void DeflateReader_Init(DeflateReader* r)
{
    if (r == nullptr) return;
    r->input = nullptr;
    r->user = nullptr;
    r->plainLeft = 0;
    r->nextOffset = 0;
    r->inBuf = nullptr;
    r->started = false;
    r->ended = false;
    r->flushMode = Z_NO_FLUSH;
    r->failure = 0;
    Zlib_InitStream(&r->strm);
}

DeflateReader* DeflateReader_Alloc()
{
    DeflateReader* r = static_cast<DeflateReader*>(Mem_Alloc(sizeof(DeflateReader)));
    if (r != nullptr) DeflateReader_Init(r);
    return r;
}

void DeflateReader_Destroy(DeflateReader* r)
{
    if (r == nullptr) return;
    if (r->started) deflateEnd(&r->strm);
    Mem_Free(r->inBuf);
    DeflateReader_Init(r);
}

int DeflateReader_Open(DeflateReader* r, ZlibInputCallback input, void* user, uint64_t plainLength,
                       uint64_t startOffset, int level)
{
    if (r == nullptr || input == nullptr) return DISK_ERR_ARG;
    DeflateReader_Destroy(r);
    uint64_t end = 0;
    if (level < Z_DEFAULT_COMPRESSION || level > Z_BEST_COMPRESSION ||
        !Math_AddU64(startOffset, plainLength, &end))
        return DISK_ERR_ARG;
    r->inBuf = static_cast<uint8_t*>(Mem_Alloc(ZLIB_PIECE_BYTES));
    if (r->inBuf == nullptr) {
        DeflateReader_Destroy(r);
        return DISK_ERR_NOMEM;
    }
    int ret = deflateInit(&r->strm, level);
    if (ret != Z_OK) {
        DeflateReader_Destroy(r);
        return ret == Z_MEM_ERROR ? DISK_ERR_NOMEM : DISK_ERR_ARG;
    }
    r->started = true;
    r->input = input;
    r->user = user;
    r->plainLeft = plainLength;
    r->nextOffset = startOffset;
    // Without any input the very first call already finishes the stream.
    r->flushMode = plainLength == 0 ? Z_FINISH : Z_NO_FLUSH;
    return 0;
}

static int DeflateReader_Fail(DeflateReader* r, int status)
{
    r->failure = status;
    return status;
}

int DeflateReader_Read(DeflateReader* r, uint32_t capacity, void* dst, bool* ended,
                       uint32_t* produced)
{
    if (r == nullptr || ended == nullptr || produced == nullptr) return DISK_ERR_ARG;
    *ended = false;
    *produced = 0;
    if (r->failure != 0) return r->failure;
    if (!r->started) return DISK_ERR_ARG;
    if (r->ended) {
        *ended = true;
        return 0;
    }
    if (capacity == 0 || dst == nullptr) return DISK_ERR_ARG;
    r->strm.next_out = static_cast<Bytef*>(dst);
    r->strm.avail_out = capacity;
    for (;;) {
        if (r->strm.avail_in == 0 && r->plainLeft != 0) {
            uint32_t ask = MinU32(r->plainLeft, ZLIB_PIECE_BYTES);
            bool last = false;
            uint32_t actual = ask;
            int status = r->input(r->user, r->nextOffset, ask, r->inBuf, &last, &actual);
            if (status != 0) return DeflateReader_Fail(r, status);
            // The plain length is fixed: a piece that comes short would leave stale bytes.
            if (actual < ask) return DeflateReader_Fail(r, DISK_ERR_READ);
            r->plainLeft -= ask;
            r->nextOffset += ask;  // start + length was checked at open
            // From the last piece on every call finishes the stream.
            if (r->plainLeft == 0) r->flushMode = Z_FINISH;
            r->strm.next_in = r->inBuf;
            r->strm.avail_in = ask;
        }
        int ret = deflate(&r->strm, r->flushMode);
        if (ret == Z_STREAM_END) {
            r->ended = true;
            *ended = true;
            *produced = capacity - r->strm.avail_out;
            return 0;
        }
        if (ret != Z_OK) return DeflateReader_Fail(r, DeflateFailure(ret));
        if (r->strm.avail_out == 0) {
            *produced = capacity;
            return 0;
        }
        // Room left: deflate must have taken all input; with Z_FINISH it must have ended.
        if (r->strm.avail_in != 0 || r->plainLeft == 0)
            return DeflateReader_Fail(
                r, Refusal_Record("compressed data: the compressor stopped before the end"));
    }
}

uint64_t DeflateReader_GetInputOffset(const DeflateReader* r)
{
    return r != nullptr ? r->nextOffset : 0;
}

// ---- One-shot helpers ------------------------------------------------------------------------

bool Zlib_InflateBuffer(z_stream* strm, const void* src, uint32_t srcLength, void* dst,
                        uint32_t expectedLength, int mode)
{
    if (strm == nullptr || (mode != 0 && mode != 1)) return false;
    if ((src == nullptr && srcLength != 0) || dst == nullptr) return false;
    Zlib_InitStream(strm);
    int ret = mode == 0 ? inflateInit2(strm, -12) : inflateInit(strm);
    if (ret != Z_OK) return false;
    strm->next_in = InputPointer(src);
    strm->avail_in = srcLength;
    strm->next_out = static_cast<Bytef*>(dst);
    strm->avail_out = expectedLength;
    ret = inflate(strm, Z_FINISH);
    uint32_t producedLength = expectedLength - strm->avail_out;
    inflateEnd(strm);
    return (ret == Z_STREAM_END || ret == Z_BUF_ERROR) && producedLength == expectedLength;
}

bool Zlib_InflateRawBuffer(z_stream* strm, const void* src, uint32_t srcLength, void* dst,
                           uint32_t expectedLength)
{
    return Zlib_InflateBuffer(strm, src, srcLength, dst, expectedLength, 0);
}

bool Zlib_DeflateBuffer(z_stream* strm, const void* src, uint32_t length, void* dst,
                        uint32_t capacity, uint32_t* produced, int mode)
{
    if (strm == nullptr || produced == nullptr || (mode != 0 && mode != 1)) return false;
    if ((src == nullptr && length != 0) || dst == nullptr) return false;
    Zlib_InitStream(strm);
    int ret = mode == 0 ? deflateInit2(strm, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -12, 9,
                                       Z_DEFAULT_STRATEGY)
                        : deflateInit(strm, 1);
    if (ret != Z_OK) return false;
    strm->next_in = InputPointer(src);
    strm->avail_in = length;
    strm->next_out = static_cast<Bytef*>(dst);
    strm->avail_out = capacity;
    ret = deflate(strm, Z_FINISH);
    uint32_t producedLength = capacity - strm->avail_out;
    deflateEnd(strm);
    if (ret != Z_STREAM_END) return false;
    *produced = producedLength;
    return true;
}

bool Zlib_DeflateRawBuffer(z_stream* strm, const void* src, uint32_t length, void* dst,
                           uint32_t capacity, uint32_t* produced)
{
    return Zlib_DeflateBuffer(strm, src, length, dst, capacity, produced, 0);
}

uint32_t Zlib_Crc32(uint32_t running, const void* data, uint32_t length)
{
    // zlib answers its initial value for a NULL buffer; an empty update keeps the value.
    if (length == 0 || data == nullptr) return running;
    return static_cast<uint32_t>(crc32(running, static_cast<const Bytef*>(data), length));
}
