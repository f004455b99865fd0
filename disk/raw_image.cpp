// Raw image layer and NDI descriptor images.
#include "disk/raw_image.h"

#include <cstring>

#include "volume/used_map.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/text.h"
#include "foundation/text_ops.h"

// Largest NDI descriptor accepted, in bytes.
static const uint32_t kNdiMaxSize = 256;
// Room for the descriptor's path.
static const uint32_t kNdiPathSize = 4096;

static void ClearObject(RawImage* obj)
{
    obj->stream = nullptr;
    obj->dataOffset = 0;
    obj->geometry = DiskGeometry{0, 0, 0, 0, 0};
    obj->buffer = nullptr;
    obj->known = false;
    obj->knownFrom = obj->knownStart = obj->knownEnd = 0;
}

// Stream_FindData through the object's last answer (see RawImage).
static bool FindData(RawImage* obj, uint64_t at, uint64_t* dataStart, uint64_t* dataEnd)
{
    if (!obj->known || at < obj->knownFrom || at >= obj->knownEnd) {
        obj->known = false;
        uint64_t start = 0, end = 0;
        if (!Stream_FindData(obj->stream, at, &start, &end)) return false;
        if (start >= at && end >= start) {
            obj->known = true;
            obj->knownFrom = at;
            obj->knownStart = start;
            obj->knownEnd = end;
        }
        *dataStart = start;
        *dataEnd = end;
        return true;
    }
    *dataStart = at > obj->knownStart ? at : obj->knownStart;
    *dataEnd = obj->knownEnd;
    return true;
}

// Used bits of a piece of the disk, one per sector, least significant bit first. Pieces are at
// most one work buffer of sectors, far below 2^31.
static int FetchUsedBits(UsedSectorMap* map, uint64_t first, uint32_t count, uint8_t* bits)
{
    if (count > static_cast<uint32_t>(INT32_MAX)) return DISK_ERR_ARG;
    return UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
}

static bool BitIsSet(const uint8_t* bits, uint32_t index)
{
    return (bits[index >> 3] >> (index & 7)) & 1;
}

RawImage* RawImage_Alloc() { return static_cast<RawImage*>(Mem_Alloc(sizeof(RawImage))); }

void RawImage_Init(RawImage* obj) { ClearObject(obj); }

int RawImage_Attach(RawImage* obj, ByteStream* stream, uint64_t dataOffset,
                    const DiskGeometry* geometry)
{
    // The empty-range query reads whole sectors into the work buffer.
    if (stream == nullptr || geometry == nullptr || geometry->bytes_per_sector == 0 ||
        geometry->bytes_per_sector > RAW_IMAGE_BUFFER_SIZE) {
        ClearObject(obj);
        return DISK_ERR_ARG;
    }
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(RAW_IMAGE_BUFFER_SIZE));
    if (buffer == nullptr) {
        ClearObject(obj);
        return DISK_ERR_NOMEM;
    }
    obj->stream = stream;
    obj->dataOffset = dataOffset;
    obj->geometry = *geometry;
    Geometry_SetTotalSectors(&obj->geometry, Geometry_GetTotalSectors(geometry));
    obj->buffer = buffer;
    obj->known = false;
    return DISK_OK;
}

ByteStream* RawImage_Detach(RawImage* obj)
{
    ByteStream* stream = obj->stream;
    if (obj->buffer != nullptr) Mem_Free(obj->buffer);
    ClearObject(obj);
    return stream;
}

void RawImage_Destroy(RawImage* obj)
{
    ByteStream* stream = RawImage_Detach(obj);
    if (stream != nullptr) Stream_Close(stream);
}

int RawImage_OpenWithCallback(RawImage* obj, RawImageOpenFn open, void* user, const char* path,
                              bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry)
{
    ClearObject(obj);
    if (open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    int r = open(path, readOnly, &stream, user);
    if (r == 1) return DISK_CANCELLED;
    if (r != 0 || stream == nullptr) return DISK_ERR_OPEN;

    int result = DISK_OK;
    uint64_t size = 0, dataBytes = 0, end = 0;
    if (geometry == nullptr || Geometry_GetTotalSectors(geometry) == 0 || geometry->heads == 0 ||
        geometry->sectors_per_track == 0 || geometry->bytes_per_sector == 0) {
        result = DISK_ERR_ARG;
    } else if (!Stream_GetSize(stream, &size)) {
        result = DISK_ERR_SIZE;
    } else if (!Math_MulU64(Geometry_GetTotalSectors(geometry), geometry->bytes_per_sector,
                            &dataBytes) ||
               !Math_AddU64(dataOffset, dataBytes, &end) || size < end) {
        result = Refusal_Record("raw image: file is shorter than the disk");
    } else {
        result = RawImage_Attach(obj, stream, dataOffset, geometry);
    }
    if (result != DISK_OK) {
        Stream_Close(stream);
        ClearObject(obj);
    }
    return result;
}

int RawImage_OpenWithHandler(RawImage* obj, const FileOpener* opener, const char* path,
                             bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return RawImage_OpenWithCallback(obj, opener->open, opener->user, path, readOnly, dataOffset,
                                     geometry);
}

int RawImage_Open(RawImage* obj, const char* path, bool readOnly, uint64_t dataOffset,
                  const DiskGeometry* geometry)
{
    return RawImage_OpenWithHandler(obj, &FileOpener_Default, path, readOnly, dataOffset, geometry);
}

void RawImage_GetGeometry(RawImage* obj, DiskGeometry* out) { *out = obj->geometry; }

int RawImage_Read(RawImage* obj, uint64_t offset, uint32_t length, void* buffer)
{
    if (obj->stream == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsByteRangeInside(offset, length, &obj->geometry)) return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    if (buffer == nullptr) return DISK_ERR_ARG;
    uint64_t at = 0;
    if (!Math_AddU64(obj->dataOffset, offset, &at)) return DISK_ERR_ARG;
    return Stream_ReadAt(obj->stream, at, length, buffer) ? DISK_OK : DISK_ERR_READ;
}

int RawImage_IsRangeEmpty(RawImage* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                          bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    (void)adapter;
    (void)record;
    if (obj->stream == nullptr || obj->buffer == nullptr || empty == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &obj->geometry)) return DISK_ERR_ARG;
    const uint32_t bps = obj->geometry.bytes_per_sector;
    if (bps == 0 || bps > RAW_IMAGE_BUFFER_SIZE) return DISK_ERR_ARG;
    // As many whole sectors as the work buffer holds.
    const uint32_t chunk = RAW_IMAGE_BUFFER_SIZE / bps;

    uint8_t* bits = nullptr;
    if (map != nullptr) {
        bits = static_cast<uint8_t*>(Mem_Alloc((chunk + 7) / 8));
        if (bits == nullptr) return DISK_ERR_NOMEM;
    }

    int result = DISK_OK;
    bool allZero = true;
    const uint64_t end = first + count;  // inside the disk: cannot wrap
    uint64_t sector = first;
    while (sector < end && allZero) {
        uint64_t at = 0;
        if (!Math_MulU64(sector, bps, &at) || !Math_AddU64(obj->dataOffset, at, &at)) {
            result = DISK_ERR_ARG;
            break;
        }
        // The whole sectors before the next stored byte lie in a hole: they read as zeros.
        uint64_t dataStart = 0, dataEnd = 0;
        if (FindData(obj, at, &dataStart, &dataEnd) && dataStart > at) {
            const uint64_t holeSectors = (dataStart - at) / bps;
            if (holeSectors >= end - sector) break;
            sector += holeSectors;
            at += holeSectors * bps;
        }
        const uint64_t chunkFirst = sector;
        const uint32_t chunkCount =
            end - sector < chunk ? static_cast<uint32_t>(end - sector) : chunk;
        sector += chunkCount;

        uint32_t firstUsed = 0;
        if (bits != nullptr) {
            result = FetchUsedBits(map, chunkFirst, chunkCount, bits);
            if (result != DISK_OK) break;
            while (firstUsed < chunkCount && !BitIsSet(bits, firstUsed)) ++firstUsed;
            if (firstUsed == chunkCount) continue;
        }

        at += static_cast<uint64_t>(firstUsed) * bps;
        const uint32_t bytes = (chunkCount - firstUsed) * bps;
        if (!Stream_ReadStoredAt(obj->stream, at, bytes, obj->buffer)) {
            result = DISK_ERR_READ;
            break;
        }
        for (uint32_t i = firstUsed; i < chunkCount; ++i) {
            if (bits != nullptr && !BitIsSet(bits, i)) continue;
            if (!Mem_IsZero(obj->buffer + static_cast<size_t>(i - firstUsed) * bps, bps)) {
                allZero = false;
                break;
            }
        }
    }
    if (bits != nullptr) Mem_Free(bits);
    if (result == DISK_OK) *empty = allZero;
    return result;
}

int RawImage_IsRangeKnownZero(RawImage* obj, uint64_t first, uint32_t count, bool* zero)
{
    if (obj->stream == nullptr || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (!Geometry_IsSectorRangeInside(first, count, &obj->geometry)) return DISK_ERR_ARG;
    uint64_t at = 0, bytes = 0;
    if (!Math_MulU64(first, obj->geometry.bytes_per_sector, &at) ||
        !Math_AddU64(obj->dataOffset, at, &at) ||
        !Math_MulU64(count, obj->geometry.bytes_per_sector, &bytes))
        return DISK_ERR_ARG;
    uint64_t end = 0, dataStart = 0, dataEnd = 0;
    *zero = bytes == 0 || (Math_AddU64(at, bytes, &end) &&
                           FindData(obj, at, &dataStart, &dataEnd) && dataStart >= end);
    return DISK_OK;
}

// ---- NDI descriptor images ------------------------------------------------------------

static bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

// Next token separated by blanks or tabs; false at the end of the text.
static bool NextNdiToken(const uint8_t* text, uint32_t length, uint32_t* pos, TextView* token)
{
    uint32_t p = *pos;
    while (p < length && IsBlank(text[p])) ++p;
    if (p == length) {
        *pos = p;
        return false;
    }
    uint32_t start = p;
    while (p < length && !IsBlank(text[p])) ++p;
    *token = TextView{text + start, p - start};
    *pos = p;
    return true;
}

// Reads the six tokens "NDI offset total heads sectors-per-track bytes-per-sector" and checks
// that they describe a disk: DISK_ERR_FORMAT for anything else.
static int Ndi_CheckDescriptor(const uint8_t* text, uint32_t length, uint64_t* dataOffset,
                               DiskGeometry* g)
{
    // A descriptor written with a text editor ends in a line break: it counts as trailing blank.
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || IsBlank(text[length - 1])))
        --length;
    uint32_t pos = 0;
    TextView token;
    static const char kNotANumber[] = "NDI descriptor: a field is missing or not a number";
    if (!NextNdiToken(text, length, &pos, &token) || token.length < 3 ||
        memcmp(token.data, "NDI", 3) != 0)
        return Refusal_Record("NDI descriptor: does not start with NDI");

    uint64_t offset = 0, total = 0;
    uint32_t heads = 0, spt = 0, bps = 0;
    if (!NextNdiToken(text, length, &pos, &token) || !Num_ParseU64Utf8(token, &offset))
        return Refusal_Record(kNotANumber);
    if (!NextNdiToken(text, length, &pos, &token) || !Num_ParseU64Utf8(token, &total))
        return Refusal_Record(kNotANumber);
    if (!NextNdiToken(text, length, &pos, &token) || !Num_ParseU32Utf8(token, &heads))
        return Refusal_Record(kNotANumber);
    if (!NextNdiToken(text, length, &pos, &token) || !Num_ParseU32Utf8(token, &spt))
        return Refusal_Record(kNotANumber);
    if (!NextNdiToken(text, length, &pos, &token) || !Num_ParseU32Utf8(token, &bps))
        return Refusal_Record(kNotANumber);
    if (NextNdiToken(text, length, &pos, &token))
        return Refusal_Record("NDI descriptor: text after the last field");

    // The fields are untrusted: a disk needs sectors, heads and sectors per track, a sector size
    // that emulators use (a power of two from 128 to 4096), and a size that fits 64 bits.
    if (total == 0 || heads == 0 || spt == 0)
        return Refusal_Record("NDI descriptor: no sectors, heads or sectors per track");
    if (bps < 128 || bps > 4096 || (bps & (bps - 1)) != 0)
        return Refusal_Record("NDI descriptor: sector size out of range");
    uint64_t dataBytes = 0, end = 0;
    if (!Math_MulU64(total, bps, &dataBytes) || !Math_AddU64(offset, dataBytes, &end))
        return Refusal_Record("NDI descriptor: disk too large");

    *dataOffset = offset;
    *g = DiskGeometry{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(g, total);
    return DISK_OK;
}

// The image path's directory and stem with the extension ".ndi".
static bool BuildNdiPath(const char* path, char* out, uint32_t outSize)
{
    const char* slash = strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    const char* dot = strrchr(name, '.');
    size_t stemEnd = dot != nullptr ? static_cast<size_t>(dot - path) : strlen(path);
    static const char kExt[] = ".ndi";
    if (stemEnd + sizeof(kExt) > outSize) return false;
    memcpy(out, path, stemEnd);
    memcpy(out + stemEnd, kExt, sizeof(kExt));
    return true;
}

int RawImage_OpenNdi(RawImage* obj, const FileOpener* opener, const char* path, bool readOnly)
{
    ClearObject(obj);
    if (path == nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;

    char* ndiPath = static_cast<char*>(Mem_Alloc(kNdiPathSize));
    if (ndiPath == nullptr) return DISK_ERR_NOMEM;
    if (!BuildNdiPath(path, ndiPath, kNdiPathSize)) {
        Mem_Free(ndiPath);
        return DISK_ERR_ARG;
    }
    ByteStream* stream = nullptr;
    int r = FileOpener_Open(opener, ndiPath, readOnly, &stream);
    Mem_Free(ndiPath);
    if (r == DISK_CANCELLED) return DISK_CANCELLED;
    // A missing descriptor never stops probing.
    if (r != DISK_OK) return DISK_ERR_ARG;

    uint8_t text[kNdiMaxSize];
    uint64_t size = 0;
    int result = DISK_OK;
    if (!Stream_GetSize(stream, &size)) {
        result = DISK_ERR_SIZE;
    } else if (size > kNdiMaxSize) {
        result = Refusal_Record("NDI descriptor: too long");
    } else if (size != 0 && !Stream_ReadAt(stream, 0, static_cast<uint32_t>(size), text)) {
        result = DISK_ERR_READ;
    }
    Stream_Close(stream);
    if (result != DISK_OK) return result;

    uint32_t length = static_cast<uint32_t>(size);
    const void* nul = memchr(text, 0, length);
    if (nul != nullptr) length = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - text);

    uint64_t dataOffset = 0;
    DiskGeometry geometry;
    result = Ndi_CheckDescriptor(text, length, &dataOffset, &geometry);
    if (result != DISK_OK) return result;
    return RawImage_Open(obj, path, readOnly, dataOffset, &geometry);
}
