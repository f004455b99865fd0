// Small helpers shared by the image writers: a block of zeros, used-sector bit tests, progress
// reports, and positioned stream writes that answer result codes.
#pragma once

#include <cstdint>

#include "foundation/result_codes.h"

struct ByteStream;

// Bytes of kZeros: the largest piece of zeros written at once.
enum : uint32_t { WRITE_KIT_ZERO_BYTES = 0x10000 };
extern const uint8_t kZeros[WRITE_KIT_ZERO_BYTES];

// Bit i of a used-sector bitmap (bit i & 7 of byte i / 8, least significant bit first).
inline bool Bits_Test(const uint8_t* bits, uint32_t i)
{
    return (bits[i >> 3] & (1u << (i & 7))) != 0;
}
// Whether any of bits [from, from + count) is set.
bool Bits_AnySet(const uint8_t* bits, uint32_t from, uint32_t count);
// The end of the run of bits equal to `value` from `from`: the first index in [from, end) whose
// bit differs, or `end`. Whole bytes of the run are passed at once.
uint32_t Bits_RunEnd(const uint8_t* bits, uint32_t from, uint32_t end, bool value);

// One progress report: true (go on) without a callback, else the callback's answer. The
// callback type is the engine's ProgressCallback.
typedef bool (*WriteKitProgressFn)(uint64_t done, uint64_t total, void* user);
inline bool WriteKit_Progress(WriteKitProgressFn callback, void* user, uint64_t done,
                              uint64_t total)
{
    return callback == nullptr || callback(done, total, user);
}

// Positioned stream I/O with result codes: DISK_ERR_WRITE / DISK_ERR_READ on failure.
int WriteKit_WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data);
int WriteKit_ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* data);
// Writes length zero bytes from offset, in pieces of at most WRITE_KIT_ZERO_BYTES.
int WriteKit_WriteZeros(ByteStream* s, uint64_t offset, uint64_t length);
// The page of a file: the unit of room a file system gives a file.
enum : uint32_t { WRITE_KIT_PAGE_BYTES = 4096 };
// Writes the data to bytes [offset, offset + length) that were never written (they read as
// zeros), leaving out the parts of pages of the file (WRITE_KIT_PAGE_BYTES from offset 0 on)
// that hold only zeros, so that they stay holes. The bytes read as the data afterwards; the
// file is not made longer by zeros at the end of the range. *wrote (when given) tells whether
// anything was written.
int WriteKit_WriteDataOnly(ByteStream* s, uint64_t offset, uint32_t length, const uint8_t* data,
                           bool* wrote = nullptr);
// Closes an output stream (a preallocated one through its own close) and folds the outcome into
// rc: a close that cannot commit the data turns DISK_OK into DISK_ERR_WRITE; an earlier failure
// is kept. A null stream answers rc.
int WriteKit_CloseOutput(ByteStream* s, bool preallocated, int rc);
