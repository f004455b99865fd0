// Helpers shared by the image writers.
#include "foundation/write_kit.h"

#include "foundation/platform.h"
#include "foundation/stream.h"

const uint8_t kZeros[WRITE_KIT_ZERO_BYTES] = {};

bool Bits_AnySet(const uint8_t* bits, uint32_t from, uint32_t count)
{
    uint32_t i = 0;
    // Bit by bit up to a byte boundary, then whole bytes, then the tail.
    for (; i < count && ((from + i) & 7) != 0; i++) {
        if (Bits_Test(bits, from + i)) return true;
    }
    for (; i + 8 <= count; i += 8) {
        if (bits[(from + i) >> 3] != 0) return true;
    }
    for (; i < count; i++) {
        if (Bits_Test(bits, from + i)) return true;
    }
    return false;
}

uint32_t Bits_RunEnd(const uint8_t* bits, uint32_t from, uint32_t end, bool value)
{
    const uint8_t whole = value ? 0xFF : 0x00;
    uint32_t i = from;
    while (i < end) {
        if ((i & 7) == 0 && end - i >= 8 && bits[i >> 3] == whole) {
            i += 8;
            continue;
        }
        if (Bits_Test(bits, i) != value) return i;
        i++;
    }
    return end;
}

int WriteKit_WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data)
{
    return Stream_WriteAt(s, offset, length, data) ? DISK_OK : DISK_ERR_WRITE;
}

int WriteKit_ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* data)
{
    return Stream_ReadAt(s, offset, length, data) ? DISK_OK : DISK_ERR_READ;
}

int WriteKit_WriteZeros(ByteStream* s, uint64_t offset, uint64_t length)
{
    while (length != 0) {
        const uint32_t n = length < sizeof(kZeros) ? static_cast<uint32_t>(length) : sizeof(kZeros);
        if (!Stream_WriteAt(s, offset, n, kZeros)) return DISK_ERR_WRITE;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int WriteKit_WriteDataOnly(ByteStream* s, uint64_t offset, uint32_t length, const uint8_t* data,
                           bool* wrote)
{
    if (wrote != nullptr) *wrote = false;
    // Cuts at page boundaries of the file; a run of data pieces goes out in one write.
    uint32_t runStart = 0;
    uint32_t i = 0;
    while (i < length) {
        const uint64_t at = offset + i;
        const uint32_t toBoundary =
            WRITE_KIT_PAGE_BYTES - static_cast<uint32_t>(at % WRITE_KIT_PAGE_BYTES);
        const uint32_t n = length - i < toBoundary ? length - i : toBoundary;
        if (Mem_IsZero(data + i, n)) {
            if (i > runStart) {
                if (!Stream_WriteAt(s, offset + runStart, i - runStart, data + runStart))
                    return DISK_ERR_WRITE;
                if (wrote != nullptr) *wrote = true;
            }
            runStart = i + n;
        }
        i += n;
    }
    if (length > runStart) {
        if (!Stream_WriteAt(s, offset + runStart, length - runStart, data + runStart))
            return DISK_ERR_WRITE;
        if (wrote != nullptr) *wrote = true;
    }
    return DISK_OK;
}

int WriteKit_CloseOutput(ByteStream* s, bool preallocated, int rc)
{
    if (s == nullptr) return rc;
    const bool ok = preallocated ? Stream_ClosePreallocated(s) : Stream_Close(s);
    if (!ok && rc == DISK_OK) rc = DISK_ERR_WRITE;
    return rc;
}
