// zlib wrappers with allocation through Mem_Alloc/Mem_Free: a pull-style decompressor that
// delivers exactly the bytes asked for, a pull-style compressor that fills caller buffers,
// one-shot compression and decompression of whole buffers, and CRC-32.
#pragma once

#include <cstdint>
#include <zlib.h>

// Size of the input pieces fetched through the callback and of the inflate output window.
enum { ZLIB_PIECE_BYTES = 2u * 1024u * 1024u };

// Input callback of both readers: fetch count bytes at offset into buffer. Answers 0 when the
// bytes are there; any other value is handed back unchanged by the reader. *last may be set
// when the piece ends the input, and *actual then gives its real length (never more than count).
// Before the call *last is false and *actual is count.
typedef int (*ZlibInputCallback)(void* user, uint64_t offset, uint32_t count, void* buffer,
                                 bool* last, uint32_t* actual);

// ---- Allocation hooks and streams ------------------------------------------------------------
voidpf Zlib_AllocHook(voidpf opaque, uInt items, uInt size);
void Zlib_FreeHook(voidpf opaque, voidpf address);
// A new z_stream from Mem_Alloc, prepared by Zlib_InitStream; NULL when memory is exhausted.
// It is released with Mem_Free (the one-shot helpers leave no zlib state in it).
z_stream* Zlib_AllocStream();
// Clears the stream and sets the allocation hooks with opaque NULL.
void Zlib_InitStream(z_stream* strm);

// ---- Pull-style decompressor -----------------------------------------------------------------
struct InflateReader {
    ZlibInputCallback input;
    void* user;
    uint64_t compressedLeft;  // compressed bytes still to fetch
    uint64_t nextOffset;      // offset of the next piece to fetch
    uint8_t* inBuf;           // ZLIB_PIECE_BYTES
    uint8_t* window;          // ZLIB_PIECE_BYTES of decompressed output
    bool started;             // strm is initialised
    uint32_t readPos;         // next undelivered byte in the window
    uint32_t windowEnd;       // end of the bytes produced into the window
    int32_t lastStatus;       // result of the last inflate call
    int32_t failure;          // first failure answered by a read; later reads answer it again
    z_stream strm;
};

InflateReader* InflateReader_Alloc();  // an empty reader from Mem_Alloc, or NULL
void InflateReader_Init(InflateReader* r);
// Prepares to read zlib data (one or more streams back to back) of compressedLength bytes
// starting at startOffset. 0, or DISK_ERR_NOMEM with the reader left empty.
int InflateReader_Open(InflateReader* r, ZlibInputCallback input, void* user,
                       uint64_t compressedLength, uint64_t startOffset);
// Delivers exactly n decompressed bytes into dst: 0, the callback's non-zero status,
// DISK_ERR_FORMAT for malformed or truncated data (recorded as a "compressed data: ..." refusal,
// which a caller that knows the record it was reading may replace), DISK_ERR_NOMEM. After a
// failure the reader answers the same failure until destroyed.
int InflateReader_Read(InflateReader* r, uint32_t n, void* dst);
void InflateReader_Destroy(InflateReader* r);

// ---- Pull-style compressor -------------------------------------------------------------------
struct DeflateReader {
    ZlibInputCallback input;
    void* user;
    uint64_t plainLeft;   // plain bytes still to fetch
    uint64_t nextOffset;  // offset of the next plain byte to fetch
    uint8_t* inBuf;       // ZLIB_PIECE_BYTES
    bool started;         // strm is initialised
    bool ended;           // the compressed stream is complete
    int32_t flushMode;    // Z_NO_FLUSH, or Z_FINISH once the last piece was fetched
    int32_t failure;      // first failure answered by a read; later reads answer it again
    z_stream strm;
};

DeflateReader* DeflateReader_Alloc();  // an empty reader from Mem_Alloc, or NULL
void DeflateReader_Init(DeflateReader* r);
// Prepares to compress plainLength bytes fetched from startOffset on into one zlib stream.
// 0, DISK_ERR_NOMEM, or DISK_ERR_ARG for a bad level or a range beyond 2^64.
int DeflateReader_Open(DeflateReader* r, ZlibInputCallback input, void* user, uint64_t plainLength,
                       uint64_t startOffset, int level);
// Fills up to capacity bytes of dst with compressed data. *produced is the count written and
// *ended tells that the stream is complete (later calls produce nothing and answer ended).
// 0, the callback's status, DISK_ERR_READ for a short piece, DISK_ERR_FORMAT, DISK_ERR_ARG.
int DeflateReader_Read(DeflateReader* r, uint32_t capacity, void* dst, bool* ended,
                       uint32_t* produced);
uint64_t DeflateReader_GetInputOffset(const DeflateReader* r);
void DeflateReader_Destroy(DeflateReader* r);

// ---- One-shot helpers ------------------------------------------------------------------------
// mode 0: raw deflate with a 4 KiB window (window bits -12); mode 1: zlib format.
// True only when exactly expectedLength bytes were produced (the stream ended there or the
// output was full).
bool Zlib_InflateBuffer(z_stream* strm, const void* src, uint32_t srcLength, void* dst,
                        uint32_t expectedLength, int mode);
bool Zlib_InflateRawBuffer(z_stream* strm, const void* src, uint32_t srcLength, void* dst,
                           uint32_t expectedLength);
// mode 0: raw deflate, default level, window bits -12, memory level 9; mode 1: zlib format at
// level 1. True and *produced only when the whole stream fitted into capacity bytes.
bool Zlib_DeflateBuffer(z_stream* strm, const void* src, uint32_t length, void* dst,
                        uint32_t capacity, uint32_t* produced, int mode);
bool Zlib_DeflateRawBuffer(z_stream* strm, const void* src, uint32_t length, void* dst,
                           uint32_t capacity, uint32_t* produced);

// zlib CRC-32 continued from running over length bytes (a length of 0 answers running).
uint32_t Zlib_Crc32(uint32_t running, const void* data, uint32_t length);
