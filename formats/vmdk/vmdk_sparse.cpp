// Sparse VMDK extents: header checks, opening (with the stream-optimised footer search), table
// loading, reading, the empty-range and per-layer queries, and the extent writers.
#include "formats/vmdk/vmdk_sparse.h"

#include <memory>
#include <new>
#include <vector>
#include <cstring>

#include "disk/writer_kit.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/work_pool.h"
#include "foundation/write_kit.h"
#include "foundation/zlib_stream.h"
#include "volume/used_map.h"

namespace {

const uint32_t kSector = VMDK_SECTOR_BYTES;
const uint32_t kGdEntriesPerSector = kSector / 4;  // 128
const uint32_t kScratchLimit = 0x200000;           // empty-range work area
const uint32_t kZeroChunk = 0x10000;

inline uint32_t MinU32(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint64_t MinU64(uint64_t a, uint64_t b) { return a < b ? a : b; }

bool IsPowerOfTwo64(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Why a grain size cannot be used, or nullptr when it can: a power of two up to
// VMDK_MAX_GRAIN_SECTORS.
const char* GrainSizeFault(uint64_t grainSize)
{
    if (!IsPowerOfTwo64(grainSize)) return "VMDK sparse header: grain size is not a power of two";
    if (grainSize > VMDK_MAX_GRAIN_SECTORS) return "VMDK sparse header: grain size too large";
    return nullptr;
}

// Why a header fails the identity checks, or nullptr when it passes them.
const char* HeaderFault(const VmdkSparseHeader* h)
{
    if (h->magic != VMDK_SPARSE_MAGIC) return "VMDK sparse header: no signature";
    if (h->version < 1 || h->version > 3) return "VMDK sparse header: version is not 1, 2 or 3";
    uint32_t descOffset = static_cast<uint32_t>(h->descriptorOffset);
    uint32_t descSize = static_cast<uint32_t>(h->descriptorSize);
    if (descOffset == 0) {
        if (descSize != 0) return "VMDK sparse header: descriptor size without a descriptor";
    } else if (descOffset == 1) {
        if (descSize < 1 || descSize > VMDK_MAX_DESCRIPTOR_SECTORS)
            return "VMDK sparse header: descriptor size out of range";
    } else {
        return "VMDK sparse header: descriptor offset is neither 0 nor 1";
    }
    if (h->numGTEsPerGT != VMDK_GT_ENTRIES)
        return "VMDK sparse header: grain tables are not 512 entries";
    if (h->uncleanShutdown != 0) return "VMDK sparse header: extent was not closed cleanly";
    if (h->singleEndLineChar != 0x0A || h->nonEndLineChar != 0x20 ||
        h->doubleEndLineChar1 != 0x0D || h->doubleEndLineChar2 != 0x0A)
        return "VMDK sparse header: line-end check bytes are wrong";
    if (h->compressAlgorithm > VMDK_COMPRESS_DEFLATE)
        return "VMDK sparse header: unknown compression method";
    if (h->pad != 0) return "VMDK sparse header: padding byte is not zero";
    return nullptr;
}

void MarkerToDisk(uint8_t* sector, uint64_t value, uint32_t size, uint32_t type)
{
    std::memset(sector, 0, kSector);
    Bytes_StoreLe64(sector, value);
    Bytes_StoreLe32(sector + 8, size);
    Bytes_StoreLe32(sector + 12, type);
}

void MarkerToHost(const uint8_t* bytes, VmdkMarker* marker)
{
    marker->value = Bytes_LoadLe64(bytes);
    marker->size = Bytes_LoadLe32(bytes + 8);
    marker->type = Bytes_LoadLe32(bytes + 12);
}

bool AllZero16(const uint8_t* bytes) { return Mem_IsZero(bytes, 16); }

// Whether any bit of a used-sector bitmap of count bits is set.
bool AnyBitSet(const uint8_t* bits, uint32_t count)
{
    uint32_t whole = count / 8;
    for (uint32_t i = 0; i < whole; ++i)
        if (bits[i]) return true;
    uint32_t rest = count % 8;
    return rest && (bits[whole] & ((1u << rest) - 1)) != 0;
}

// Whether the map marks any sector of [first, first + count) used. count <= 0x10000.
int MapHasUsed(UsedSectorMap* map, uint64_t first, uint32_t count, bool* used)
{
    uint8_t bits[0x10000 / 8];
    int r = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
    if (r != DISK_OK) return r;
    *used = AnyBitSet(bits, count);
    return DISK_OK;
}

// Whether data of count sectors (absolute first sector) holds nothing worth keeping: every
// sector the map marks used (every sector without a map) is zero.
int DataIsEmpty(UsedSectorMap* map, uint64_t first, uint32_t count, const uint8_t* data,
                bool* empty)
{
    if (!map) {
        *empty = Mem_IsZero(data, count * kSector);
        return DISK_OK;
    }
    return UsedMap_IsDataEmpty(map, first, count, empty, data);
}

inline bool Report(ProgressCallback progress, void* user, uint64_t done, uint64_t total)
{
    return WriteKit_Progress(progress, user, done, total);
}

// Inflates one grain (zlib format) into out; at least `needed` bytes must come out, the rest of
// the grain is zeroed. A grain is good only when its stream ends, its Adler-32 check included,
// within the grain: data that fills the grain before the end of its stream is refused.
bool InflateGrain(z_stream* strm, const uint8_t* src, uint32_t srcLength, uint8_t* out,
                  uint32_t grainBytes, uint32_t needed)
{
    Zlib_InitStream(strm);
    if (inflateInit(strm) != Z_OK) return false;
    strm->next_in = const_cast<Bytef*>(src);
    strm->avail_in = srcLength;
    strm->next_out = out;
    strm->avail_out = grainBytes;
    int ret = inflate(strm, Z_FINISH);
    uint32_t produced = grainBytes - strm->avail_out;
    if (ret != Z_STREAM_END && strm->avail_out == 0) {
        // The grain is full: the stream must end here, with no byte more.
        uint8_t extra = 0;
        strm->next_out = &extra;
        strm->avail_out = 1;
        ret = inflate(strm, Z_FINISH);
        if (strm->avail_out != 1) ret = Z_DATA_ERROR;
    }
    inflateEnd(strm);
    if (ret != Z_STREAM_END || produced < needed) return false;
    std::memset(out + produced, 0, grainBytes - produced);
    return true;
}

}  // namespace

// ---- Header ---------------------------------------------------------------------------------------

void VmdkSparse_HeaderToHost(const uint8_t* s, VmdkSparseHeader* h)
{
    h->magic = Bytes_LoadLe32(s + 0);
    h->version = Bytes_LoadLe32(s + 4);
    h->flags = Bytes_LoadLe32(s + 8);
    h->capacity = Bytes_LoadLe64(s + 12);
    h->grainSize = Bytes_LoadLe64(s + 20);
    h->descriptorOffset = Bytes_LoadLe64(s + 28);
    h->descriptorSize = Bytes_LoadLe64(s + 36);
    h->numGTEsPerGT = Bytes_LoadLe32(s + 44);
    h->rgdOffset = Bytes_LoadLe64(s + 48);
    h->gdOffset = Bytes_LoadLe64(s + 56);
    h->overHead = Bytes_LoadLe64(s + 64);
    h->uncleanShutdown = s[72];
    h->singleEndLineChar = s[73];
    h->nonEndLineChar = s[74];
    h->doubleEndLineChar1 = s[75];
    h->doubleEndLineChar2 = s[76];
    h->compressAlgorithm = Bytes_LoadLe16(s + 77);
    h->pad = s[79];
}

void VmdkSparse_HeaderToDisk(const VmdkSparseHeader* h, uint8_t* s)
{
    std::memset(s, 0, kSector);
    Bytes_StoreLe32(s + 0, h->magic);
    Bytes_StoreLe32(s + 4, h->version);
    Bytes_StoreLe32(s + 8, h->flags);
    Bytes_StoreLe64(s + 12, h->capacity);
    Bytes_StoreLe64(s + 20, h->grainSize);
    Bytes_StoreLe64(s + 28, h->descriptorOffset);
    Bytes_StoreLe64(s + 36, h->descriptorSize);
    Bytes_StoreLe32(s + 44, h->numGTEsPerGT);
    Bytes_StoreLe64(s + 48, h->rgdOffset);
    Bytes_StoreLe64(s + 56, h->gdOffset);
    Bytes_StoreLe64(s + 64, h->overHead);
    s[72] = h->uncleanShutdown;
    s[73] = h->singleEndLineChar;
    s[74] = h->nonEndLineChar;
    s[75] = h->doubleEndLineChar1;
    s[76] = h->doubleEndLineChar2;
    Bytes_StoreLe16(s + 77, h->compressAlgorithm);
    s[79] = h->pad;
}

bool VmdkSparse_HeaderIsValid(const VmdkSparseHeader* h) { return HeaderFault(h) == nullptr; }

int VmdkSparse_CheckHeader(const VmdkSparseHeader* h)
{
    const char* fault = HeaderFault(h);
    if (fault == nullptr) fault = GrainSizeFault(h->grainSize);
    return fault != nullptr ? Refusal_Record(fault) : DISK_OK;
}

namespace {

// The writers' layout for `sectors` sectors with grains of grainSectors (a power of two).
void BuildLayoutHeader(VmdkSparseHeader* h, uint64_t capacity, uint32_t sectors,
                       uint32_t grainSectors, uint32_t descriptorSectors, bool compressed,
                       bool streamOptimized)
{
    std::memset(h, 0, sizeof *h);
    h->magic = VMDK_SPARSE_MAGIC;
    if (compressed || streamOptimized) {
        h->version = 3;
        h->flags = VMDK_FLAGS_COMPRESSED_WRITTEN;
        h->compressAlgorithm = VMDK_COMPRESS_DEFLATE;
    } else {
        h->version = 1;
        h->flags = VMDK_FLAGS_PLAIN;
        h->compressAlgorithm = VMDK_COMPRESS_NONE;
    }
    h->capacity = capacity;
    h->grainSize = grainSectors;
    h->descriptorOffset = descriptorSectors ? 1 : 0;
    h->descriptorSize = descriptorSectors;
    h->numGTEsPerGT = VMDK_GT_ENTRIES;
    h->singleEndLineChar = 0x0A;
    h->nonEndLineChar = 0x20;
    h->doubleEndLineChar1 = 0x0D;
    h->doubleEndLineChar2 = 0x0A;
    uint64_t perTable = static_cast<uint64_t>(VMDK_GT_ENTRIES) * grainSectors;
    // Tables for the extent's sectors (a capacity rounded up to whole grains needs no more).
    uint64_t tables = (static_cast<uint64_t>(sectors) + perTable - 1) / perTable;
    uint64_t gdSectors = (tables + kGdEntriesPerSector - 1) / kGdEntriesPerSector;
    if (streamOptimized) {
        h->rgdOffset = 0;
        h->gdOffset = VMDK_GD_AT_END;
        uint64_t over = 128;
        if (over < 1 + static_cast<uint64_t>(descriptorSectors)) over = 1 + descriptorSectors;
        h->overHead = (over + grainSectors - 1) / grainSectors * grainSectors;
    } else {
        h->rgdOffset = static_cast<uint64_t>(descriptorSectors) + 1;
        h->gdOffset = h->rgdOffset + gdSectors + VMDK_GT_SECTORS * tables;
        uint64_t end = gdSectors + h->gdOffset + VMDK_GT_SECTORS * tables;
        uint64_t round = grainSectors > 128 ? grainSectors : 128;
        h->overHead = (end + round - 1) / round * round;
    }
}

}  // namespace

void VmdkSparse_BuildHeader(VmdkSparseHeader* header, uint32_t sectors, uint32_t descriptorSectors,
                            uint32_t hwVersionIndex, bool compressed, bool streamOptimized,
                            uint32_t grainSectors)
{
    if (!IsPowerOfTwo64(grainSectors) || grainSectors > VMDK_DEFAULT_GRAIN_SECTORS)
        grainSectors = VMDK_DEFAULT_GRAIN_SECTORS;
    uint64_t capacity = sectors;
    if (hwVersionIndex <= 2 && grainSectors == VMDK_DEFAULT_GRAIN_SECTORS)
        capacity = (capacity + 127) / 128 * 128;
    BuildLayoutHeader(header, capacity, sectors, grainSectors, descriptorSectors, compressed,
                      streamOptimized);
}

uint32_t VmdkSparse_GrainForInnerExtent(uint32_t sectors)
{
    uint32_t grain = VMDK_DEFAULT_GRAIN_SECTORS;
    while (grain > 1 && sectors % grain != 0) grain /= 2;
    return grain;
}

uint32_t VmdkSparse_GrainInImage(const uint32_t* sizes, uint32_t count, uint32_t index)
{
    const uint32_t kSmallGrain = 8;
    if (index + 1 < count) {
        uint32_t own = VmdkSparse_GrainForInnerExtent(sizes[index]);
        if (own <= kSmallGrain) return own;
    }
    uint32_t grain = VMDK_DEFAULT_GRAIN_SECTORS;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        uint32_t g = VmdkSparse_GrainForInnerExtent(sizes[i]);
        if (g > kSmallGrain && g < grain) grain = g;
    }
    return grain;
}

// ---- Object ------------------------------------------------------------------------------------------

void VmdkSparse_Init(VmdkSparseExtent* e)
{
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    e->cachedTable = VMDK_NO_INDEX;
    e->cachedGrain = VMDK_NO_INDEX;
}

int VmdkSparse_Close(VmdkSparseExtent* e)
{
    bool closed = !e->stream || Stream_Close(e->stream);
    Mem_Free(e->gd);
    Mem_Free(e->rgd);
    Mem_Free(e->gt);
    Mem_Free(e->rgt);
    Mem_Free(e->compressedBuffer);
    Mem_Free(e->grainBuffer);
    Mem_Free(e->scratch);
    VmdkSparse_Init(e);
    return closed ? DISK_OK : DISK_ERR_WRITE;
}

bool VmdkSparse_IsCompressedOrStream(const VmdkSparseExtent* e)
{
    return e->compressed || e->header.gdOffset == VMDK_GD_AT_END;
}

namespace {

// Reads a directory of n entries at a byte offset; DISK_ERR_FORMAT when it lies outside the file.
int ReadDirectory(VmdkSparseExtent* e, uint64_t byteOffset, uint32_t n, uint32_t** out)
{
    uint64_t bytes = static_cast<uint64_t>(n) * 4;
    uint64_t end = 0;
    if (!Math_AddU64(byteOffset, bytes, &end) || end > e->fileSize)
        return Refusal_Record("VMDK grain directory: lies past the end of the file");
    uint32_t* gd = static_cast<uint32_t*>(Mem_Alloc(n ? n * 4 : 4));
    if (!gd) return DISK_ERR_NOMEM;
    if (n && !Stream_ReadAt(e->stream, byteOffset, n * 4, gd)) {
        Mem_Free(gd);
        return DISK_ERR_READ;
    }
    Bytes_LeToHostArray32(gd, n);
    *out = gd;
    return DISK_OK;
}

int Read16(ByteStream* s, uint64_t offset, uint8_t* out)
{
    return Stream_ReadAt(s, offset, 16, out) ? DISK_OK : DISK_ERR_READ;
}

bool IsDirectoryMarker(const uint8_t* bytes, uint32_t n)
{
    VmdkMarker m;
    MarkerToHost(bytes, &m);
    uint64_t floorSectors = (static_cast<uint64_t>(n) * 4) / kSector;
    uint64_t ceilSectors = (static_cast<uint64_t>(n) * 4 + kSector - 1) / kSector;
    return m.size == 0 && m.type == VMDK_MARKER_GD &&
           (m.value == floorSectors || m.value == ceilSectors);
}

// Finds the directory of a stream-optimised extent from the end of the file: the end-of-stream
// marker in the last sector, the footer marker three sectors before the end, and the directory
// (n entries) just before the footer marker, behind its own marker. Let p be where an unpadded
// directory would start (footer marker - 4n). Writers pad the directory to whole sectors, so its
// marker sits in the whole sector before floor(p / 512); a directory that is not padded has its
// marker right at p - 512. A zero sector in place of the marker is taken as a padded directory.
int FindStreamDirectory(VmdkSparseExtent* e, uint32_t n, uint64_t* gdByteOffset)
{
    uint64_t size = e->fileSize;
    if (size % kSector != 0)
        return Refusal_Record("VMDK stream footer: file size is not whole sectors");
    uint64_t dirBytes = static_cast<uint64_t>(n) * 4;
    if (size < dirBytes + 2048 + kSector)  // room for the header too
        return Refusal_Record("VMDK stream footer: file too small for the footer");
    uint8_t b[16];
    int r = Read16(e->stream, size - kSector, b);
    if (r != DISK_OK) return r;
    if (!AllZero16(b)) return Refusal_Record("VMDK stream footer: no end-of-stream marker");
    r = Read16(e->stream, size - 3 * kSector, b);
    if (r != DISK_OK) return r;
    VmdkMarker m;
    MarkerToHost(b, &m);
    if (m.value != 1 || m.size != 0 || m.type != VMDK_MARKER_FOOTER)
        return Refusal_Record("VMDK stream footer: no footer marker");
    uint64_t p = size - 3 * kSector - dirBytes;
    uint64_t padded = p / kSector * kSector;
    uint8_t before[16];
    bool havePadded = padded >= 2 * kSector;
    if (havePadded) {
        r = Read16(e->stream, padded - kSector, before);
        if (r != DISK_OK) return r;
        if (IsDirectoryMarker(before, n)) {
            *gdByteOffset = padded;
            return DISK_OK;
        }
    }
    if (p != padded && p >= 2 * kSector) {
        r = Read16(e->stream, p - kSector, b);
        if (r != DISK_OK) return r;
        if (IsDirectoryMarker(b, n)) {
            *gdByteOffset = p;
            return DISK_OK;
        }
    }
    if (havePadded && AllZero16(before)) {
        *gdByteOffset = padded;
        return DISK_OK;
    }
    return Refusal_Record("VMDK stream footer: no grain directory marker");
}

int OpenExtent(VmdkSparseExtent* e, bool separateDescriptor, uint32_t extentSectors)
{
    uint8_t raw[kSector];
    std::memset(raw, 0, sizeof raw);
    if (!Stream_ReadAt(e->stream, 0, VMDK_HEADER_FIELD_BYTES, raw)) return DISK_ERR_READ;
    VmdkSparseHeader& h = e->header;
    VmdkSparse_HeaderToHost(raw, &h);
    int r = VmdkSparse_CheckHeader(&h);
    if (r != DISK_OK) return r;
    // An extent behind a separate descriptor may still reserve an (unused) descriptor area, as
    // other tools write their split extents; a monolithic extent must embed its descriptor.
    uint32_t descOffset = static_cast<uint32_t>(h.descriptorOffset);
    if (!separateDescriptor && descOffset != 1)
        return Refusal_Record("VMDK sparse header: no embedded descriptor");
    if (h.gdOffset == 0) return Refusal_Record("VMDK sparse header: no grain directory");
    // The header's capacity agrees with the extent line: at least the extent, and at most the
    // extent rounded up to whole grains (of at least 128 sectors, as old hardware versions
    // round it).
    if (extentSectors > h.capacity)
        return Refusal_Record("VMDK sparse header: capacity smaller than the extent");
    const uint64_t round = h.grainSize > VMDK_DEFAULT_GRAIN_SECTORS
                               ? h.grainSize
                               : uint64_t(VMDK_DEFAULT_GRAIN_SECTORS);
    if (h.capacity - extentSectors >= round ||
        (h.capacity != extentSectors && h.capacity % h.grainSize != 0 &&
         h.capacity % VMDK_DEFAULT_GRAIN_SECTORS != 0))
        return Refusal_Record("VMDK sparse header: capacity does not match the extent");
    if (!Stream_GetSize(e->stream, &e->fileSize)) return DISK_ERR_SIZE;
    // The grains start within the file.
    uint64_t overHeadBytes = 0;
    if (!Math_MulU64(h.overHead, kSector, &overHeadBytes) || overHeadBytes > e->fileSize)
        return Refusal_Record("VMDK sparse header: grains start past the end of the file");

    uint64_t perTable = static_cast<uint64_t>(VMDK_GT_ENTRIES) * h.grainSize;
    uint32_t n =
        static_cast<uint32_t>((static_cast<uint64_t>(extentSectors) + perTable - 1) / perTable);
    e->gdEntryCount = n;
    e->grainBytes = static_cast<uint32_t>(h.grainSize) * kSector;
    e->compressed = (h.flags & VMDK_FLAGS_COMPRESSED) ? 1 : 0;

    uint64_t gdByteOffset = 0;
    if (h.gdOffset == VMDK_GD_AT_END) {
        r = FindStreamDirectory(e, n, &gdByteOffset);
        if (r != DISK_OK) return r;
    } else if (!Math_MulU64(h.gdOffset, kSector, &gdByteOffset)) {
        return Refusal_Record("VMDK sparse header: grain directory offset out of range");
    }
    r = ReadDirectory(e, gdByteOffset, n, &e->gd);
    if (r != DISK_OK) return r;
    if (h.rgdOffset != 0 && h.gdOffset != VMDK_GD_AT_END) {
        uint64_t rgdByteOffset = 0;
        if (!Math_MulU64(h.rgdOffset, kSector, &rgdByteOffset))
            return Refusal_Record(
                "VMDK sparse header: redundant grain directory offset out of range");
        r = ReadDirectory(e, rgdByteOffset, n, &e->rgd);
        if (r != DISK_OK) return r;
    }
    // Every table lies within the file.
    const uint64_t tableBytes = VMDK_GT_ENTRIES * 4;
    const uint32_t* dirs[2] = {e->gd, e->rgd};
    for (uint32_t k = 0; k < n; ++k) {
        for (const uint32_t* dir : dirs) {
            if (!dir || dir[k] == 0) continue;
            if (static_cast<uint64_t>(dir[k]) * kSector + tableBytes > e->fileSize)
                return Refusal_Record(
                    "VMDK grain directory: entry points past the end of the file");
        }
    }
    e->gt = static_cast<uint32_t*>(Mem_Alloc(VMDK_GT_ENTRIES * 4));
    if (!e->gt) return DISK_ERR_NOMEM;
    if (e->rgd) {
        e->rgt = static_cast<uint32_t*>(Mem_Alloc(VMDK_GT_ENTRIES * 4));
        if (!e->rgt) return DISK_ERR_NOMEM;
    }
    uint64_t fileSectors = e->fileSize / kSector;
    e->entryLimit =
        e->readOnly ? static_cast<uint32_t>(MinU64(fileSectors, 0xFFFFFFFFu)) : 0xFFFFFFFFu;
    if (e->compressed) {
        e->compressedBuffer = static_cast<uint8_t*>(Mem_Alloc(2 * e->grainBytes + kSector));
        e->grainBuffer = static_cast<uint8_t*>(Mem_Alloc(e->grainBytes));
        if (!e->compressedBuffer || !e->grainBuffer) return DISK_ERR_NOMEM;
    }
    e->scratchBytes = MinU32(e->grainBytes, kScratchLimit);
    e->scratch = static_cast<uint8_t*>(Mem_Alloc(e->scratchBytes));
    if (!e->scratch) return DISK_ERR_NOMEM;
    return DISK_OK;
}

}  // namespace

int VmdkSparse_Open(VmdkSparseExtent* e, FileOpenFn open, void* user, const char* path,
                    bool readOnly, bool separateDescriptor, DiskSource* parent, z_stream* zlib,
                    uint64_t firstSector, uint32_t extentSectors)
{
    VmdkSparse_Init(e);
    size_t pathLength = std::strlen(path);
    if (pathLength >= sizeof e->path) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    int r = open(path, readOnly, &stream, user);
    if (r == DISK_CANCELLED) return DISK_CANCELLED;
    if (r != 0 || !stream) return DISK_ERR_OPEN;
    e->stream = stream;
    e->readOnly = readOnly ? 1 : 0;
    e->parent = parent;
    e->zlib = zlib;
    e->firstSector = firstSector;
    e->extentSectors = extentSectors;
    r = OpenExtent(e, separateDescriptor, extentSectors);
    if (r != DISK_OK) {
        VmdkSparse_Close(e);
        return r;
    }
    std::memcpy(e->path, path, pathLength + 1);
    return DISK_OK;
}

// ---- Tables ----------------------------------------------------------------------------------------------

int VmdkSparse_CheckEntry(const VmdkSparseExtent* e, uint32_t v, bool* valid, uint32_t* value)
{
    // 0: not allocated; 1: a zeroed grain (reads as zeros, hides a parent's data).
    if (v == 0 || v == 1) {
        *valid = true;
        *value = v;
        return DISK_OK;
    }
    uint32_t mask = e->compressed ? 0xFFFFFFFFu : ~(static_cast<uint32_t>(e->header.grainSize) - 1);
    if ((v & mask) != v) {
        *valid = false;
        return DISK_OK;
    }
    if (v < e->entryLimit) {
        *valid = true;
        *value = v;
        return DISK_OK;
    }
    if (!e->readOnly)
        return Refusal_Record("VMDK grain table: entry points past the end of the file");
    *valid = false;
    return DISK_OK;
}

int VmdkSparse_LoadTable(VmdkSparseExtent* e, uint32_t table)
{
    if (e->cachedTable == table) return DISK_OK;
    if (table >= e->gdEntryCount) return DISK_ERR_ARG;
    e->cachedTable = VMDK_NO_INDEX;
    e->cachedGrain = VMDK_NO_INDEX;
    const uint32_t tableBytes = VMDK_GT_ENTRIES * 4;
    auto readTable = [&](uint32_t sector, uint32_t* out) {
        uint64_t offset = static_cast<uint64_t>(sector) * kSector;
        if (offset + tableBytes > e->fileSize)
            return Refusal_Record("VMDK grain table: lies past the end of the file");
        if (!Stream_ReadAt(e->stream, offset, tableBytes, out))
            return static_cast<int>(DISK_ERR_READ);
        Bytes_LeToHostArray32(out, VMDK_GT_ENTRIES);
        return static_cast<int>(DISK_OK);
    };
    int r = readTable(e->gd[table], e->gt);
    if (r != DISK_OK) return r;
    bool redundant = e->rgd && e->rgt && e->rgd[table] != 0;
    if (redundant) {
        r = readTable(e->rgd[table], e->rgt);
        if (r != DISK_OK) return r;
    }
    for (uint32_t i = 0; i < VMDK_GT_ENTRIES; ++i) {
        bool pv = false, rv = false;
        uint32_t pval = 0, rval = 0;
        r = VmdkSparse_CheckEntry(e, e->gt[i], &pv, &pval);
        if (r != DISK_OK) return r;
        if (!redundant) {
            if (!pv) return Refusal_Record("VMDK grain table: entry is not a grain of the file");
            e->gt[i] = pval;
            continue;
        }
        uint32_t p = e->gt[i];
        uint32_t q = e->rgt[i];
        if (p == q) {
            if (!pv) return Refusal_Record("VMDK grain table: entry is not a grain of the file");
            e->gt[i] = e->rgt[i] = pval;
            continue;
        }
        r = VmdkSparse_CheckEntry(e, q, &rv, &rval);
        if (r != DISK_OK) return r;
        uint32_t chosen;
        if (!pv && !rv)
            return Refusal_Record(
                "VMDK grain table: entry is not a grain of the file in either copy");
        if (pv && !rv)
            chosen = pval;
        else if (!pv && rv)
            chosen = rval;
        else if (pval == rval)
            chosen = pval;
        else if (pval == 0)
            chosen = rval;
        else if (rval == 0)
            chosen = pval;
        else
            return Refusal_Record("VMDK grain table: the two copies name different grains");
        e->gt[i] = e->rgt[i] = chosen;
    }
    e->cachedTable = table;
    return DISK_OK;
}

// ---- Reading --------------------------------------------------------------------------------------------

namespace {

int ReadFromParent(VmdkSparseExtent* e, uint64_t offset, uint32_t length, uint8_t* out)
{
    if (!e->parent) {
        std::memset(out, 0, length);
        return DISK_OK;
    }
    uint64_t absolute = e->firstSector * kSector + offset;
    return DiskSource_Read(e->parent, absolute, length, out);
}

// Brings grain g of the cached table (stored at sector entry) into the grain buffer.
int LoadCompressedGrain(VmdkSparseExtent* e, uint32_t g, uint32_t entry)
{
    if (e->cachedGrain == g) return DISK_OK;
    e->cachedGrain = VMDK_NO_INDEX;
    uint64_t at = static_cast<uint64_t>(entry) * kSector;
    uint8_t head[VMDK_GRAIN_MARKER_BYTES];
    if (at + VMDK_GRAIN_MARKER_BYTES > e->fileSize)
        return Refusal_Record("VMDK compressed grain: lies past the end of the file");
    if (!Stream_ReadAt(e->stream, at, VMDK_GRAIN_MARKER_BYTES, head)) return DISK_ERR_READ;
    uint64_t grainIndex = static_cast<uint64_t>(e->cachedTable) * VMDK_GT_ENTRIES + g;
    uint64_t lba = grainIndex * e->header.grainSize;
    uint32_t length = Bytes_LoadLe32(head + 8);
    if (Bytes_LoadLe64(head) != lba)
        return Refusal_Record("VMDK compressed grain: marker names another sector");
    if (length > 2 * e->grainBytes)
        return Refusal_Record("VMDK compressed grain: length larger than the grain");
    if (!Stream_ReadAt(e->stream, at + VMDK_GRAIN_MARKER_BYTES, length, e->compressedBuffer))
        return DISK_ERR_READ;
    uint64_t grainStart = lba * kSector;
    uint64_t extentBytes = static_cast<uint64_t>(e->extentSectors) * kSector;
    uint32_t needed = static_cast<uint32_t>(MinU64(e->grainBytes, extentBytes - grainStart));
    if (!e->zlib) return DISK_ERR_READ;
    if (!InflateGrain(e->zlib, e->compressedBuffer, length, e->grainBuffer, e->grainBytes, needed))
        return Refusal_Record("VMDK compressed grain: data does not decompress to a grain");
    e->cachedGrain = g;
    return DISK_OK;
}

// Walks [first, first + count) sectors of the extent piecewise: fn(kind, sector, sectors, entry)
// with kind 0 unallocated (directory or table entry 0), 1 zeroed grain, 2 stored grain (entry =
// its sector). A piece never crosses a grain (or, for unallocated tables, a table).
enum PieceKind { PIECE_UNALLOCATED, PIECE_ZEROED, PIECE_STORED };

template <typename Fn>
int WalkExtent(VmdkSparseExtent* e, uint64_t first, uint64_t count, Fn fn)
{
    const uint64_t grain = e->header.grainSize;
    const uint64_t perTable = grain * VMDK_GT_ENTRIES;
    uint64_t s = first;
    uint64_t end = first + count;
    while (s < end) {
        uint32_t table = static_cast<uint32_t>(s / perTable);
        uint64_t tableEnd = MinU64((static_cast<uint64_t>(table) + 1) * perTable, end);
        if (table >= e->gdEntryCount)
            return Refusal_Record("VMDK grain directory: too few entries for the extent");
        if (e->gd[table] == 0) {
            bool stop = false;
            int r = fn(PIECE_UNALLOCATED, s, static_cast<uint32_t>(tableEnd - s), 0u, &stop);
            if (r != DISK_OK || stop) return r;
            s = tableEnd;
            continue;
        }
        int r = VmdkSparse_LoadTable(e, table);
        if (r != DISK_OK) return r;
        while (s < tableEnd) {
            uint32_t g = static_cast<uint32_t>((s / grain) % VMDK_GT_ENTRIES);
            uint64_t grainEnd = MinU64((s / grain + 1) * grain, tableEnd);
            uint32_t entry = e->gt[g];
            PieceKind kind = entry == 0   ? PIECE_UNALLOCATED
                             : entry == 1 ? PIECE_ZEROED
                                          : PIECE_STORED;
            bool stop = false;
            r = fn(kind, s, static_cast<uint32_t>(grainEnd - s), entry, &stop);
            if (r != DISK_OK || stop) return r;
            // A callback may have loaded another table; reload before going on.
            if (e->cachedTable != table) {
                r = VmdkSparse_LoadTable(e, table);
                if (r != DISK_OK) return r;
            }
            s = grainEnd;
        }
    }
    return DISK_OK;
}

}  // namespace

int VmdkSparse_Read(VmdkSparseExtent* e, uint64_t offset, uint32_t length, void* buffer)
{
    uint64_t extentBytes = static_cast<uint64_t>(e->extentSectors) * kSector;
    if (offset > extentBytes || length > extentBytes - offset) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t grainBytes = e->grainBytes;
    const uint64_t tableBytes = grainBytes * VMDK_GT_ENTRIES;
    uint64_t pos = offset;
    uint64_t end = offset + length;
    while (pos < end) {
        uint32_t table = static_cast<uint32_t>(pos / tableBytes);
        if (table >= e->gdEntryCount)
            return Refusal_Record("VMDK grain directory: too few entries for the extent");
        uint64_t tableEnd = MinU64((static_cast<uint64_t>(table) + 1) * tableBytes, end);
        if (e->gd[table] == 0) {
            int r =
                ReadFromParent(e, pos, static_cast<uint32_t>(tableEnd - pos), out + (pos - offset));
            if (r != DISK_OK) return r;
            pos = tableEnd;
            continue;
        }
        int r = VmdkSparse_LoadTable(e, table);
        if (r != DISK_OK) return r;
        while (pos < tableEnd) {
            uint32_t g = static_cast<uint32_t>((pos / grainBytes) % VMDK_GT_ENTRIES);
            uint32_t inGrain = static_cast<uint32_t>(pos % grainBytes);
            uint64_t pieceEnd = MinU64(pos - inGrain + grainBytes, tableEnd);
            uint32_t entry = e->gt[g];
            uint8_t* dst = out + (pos - offset);
            if (entry == 0) {
                r = ReadFromParent(e, pos, static_cast<uint32_t>(pieceEnd - pos), dst);
                if (r != DISK_OK) return r;
                if (e->cachedTable != table && (r = VmdkSparse_LoadTable(e, table)) != DISK_OK)
                    return r;
            } else if (entry == 1) {
                std::memset(dst, 0, static_cast<size_t>(pieceEnd - pos));
            } else if (e->compressed) {
                r = LoadCompressedGrain(e, g, entry);
                if (r != DISK_OK) return r;
                std::memcpy(dst, e->grainBuffer + inGrain, static_cast<size_t>(pieceEnd - pos));
            } else {
                // Stored grains that follow each other in the file are read in one go.
                uint32_t last = g;
                while (pieceEnd < tableEnd && last + 1 < VMDK_GT_ENTRIES &&
                       e->gt[last + 1] == e->gt[last] + e->header.grainSize) {
                    ++last;
                    pieceEnd = MinU64(pieceEnd + grainBytes, tableEnd);
                }
                uint64_t at = static_cast<uint64_t>(entry) * kSector + inGrain;
                if (!Stream_ReadAt(e->stream, at, static_cast<uint32_t>(pieceEnd - pos), dst))
                    return DISK_ERR_READ;
            }
            pos = pieceEnd;
        }
    }
    return DISK_OK;
}

int VmdkSparse_IsRangeEmpty(VmdkSparseExtent* e, UsedSectorMap* map, uint32_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    if (static_cast<uint64_t>(first) + count > e->extentSectors) return DISK_ERR_ARG;
    bool result = true;
    int r = WalkExtent(
        e, first, count,
        [&](PieceKind kind, uint64_t s, uint32_t n, uint32_t entry, bool* stop) -> int {
            uint64_t absolute = e->firstSector + s;
            if (kind == PIECE_ZEROED) return DISK_OK;
            if (kind == PIECE_UNALLOCATED) {
                if (!e->parent) return DISK_OK;
                bool parentEmpty = true;
                int pr = DiskSource_IsRangeEmpty(e->parent, map, absolute, n, &parentEmpty, adapter,
                                                 record);
                if (pr != DISK_OK) return pr;
                if (!parentEmpty) {
                    result = false;
                    *stop = true;
                }
                return DISK_OK;
            }
            if (map) {
                bool used = false;
                int mr = MapHasUsed(map, absolute, n, &used);
                if (mr != DISK_OK) return mr;
                if (!used) return DISK_OK;
            }
            const uint8_t* data;
            uint32_t g = static_cast<uint32_t>((s / e->header.grainSize) % VMDK_GT_ENTRIES);
            uint32_t inGrain = static_cast<uint32_t>((s % e->header.grainSize) * kSector);
            uint32_t done = 0;
            while (done < n) {
                uint32_t piece;
                if (e->compressed) {
                    int cr = LoadCompressedGrain(e, g, entry);
                    if (cr != DISK_OK) return cr;
                    piece = n;
                    data = e->grainBuffer + inGrain;
                } else {
                    piece = MinU32(n - done, e->scratchBytes / kSector);
                    uint64_t at = static_cast<uint64_t>(entry) * kSector + inGrain + done * kSector;
                    if (!Stream_ReadAt(e->stream, at, piece * kSector, e->scratch))
                        return DISK_ERR_READ;
                    data = e->scratch;
                }
                bool pieceEmpty = true;
                int dr = DataIsEmpty(map, absolute + done, piece, data, &pieceEmpty);
                if (dr != DISK_OK) return dr;
                if (!pieceEmpty) {
                    result = false;
                    *stop = true;
                    return DISK_OK;
                }
                done += piece;
            }
            return DISK_OK;
        });
    if (r != DISK_OK) return r;
    *empty = result;
    return DISK_OK;
}

int VmdkSparse_IsRangeUnallocated(VmdkSparseExtent* e, UsedSectorMap* map, uint32_t first,
                                  uint32_t count, bool* out)
{
    if (static_cast<uint64_t>(first) + count > e->extentSectors) return DISK_ERR_ARG;
    bool result = true;
    int r = WalkExtent(e, first, count,
                       [&](PieceKind kind, uint64_t s, uint32_t n, uint32_t, bool* stop) -> int {
                           if (kind == PIECE_UNALLOCATED) return DISK_OK;
                           // A stored or zeroed grain belongs to this layer, unless the map marks none of it used.
                           if (map) {
                               bool used = false;
                               int mr = MapHasUsed(map, e->firstSector + s, n, &used);
                               if (mr != DISK_OK) return mr;
                               if (!used) return DISK_OK;
                           }
                           result = false;
                           *stop = true;
                           return DISK_OK;
                       });
    if (r != DISK_OK) return r;
    *out = result;
    return DISK_OK;
}

// ---- Writers ----------------------------------------------------------------------------------------------

namespace {

// One output extent being written: the plan, the output stream and the running state.
// Bytes of source grains read and handled together.
const uint32_t kBatchBytes = 0x200000;

struct ExtentWriter {
    ByteStream* out;
    VmdkSparseHeader header;  // the output header (gdOffset all ones for stream layout)
    VmdkGrainLayout layout;
    bool compressed;
    bool stream;
    uint32_t setCount;
    uint64_t sets[3];     // sector of each table set (directory then tables)
    uint64_t nextSector;  // next free sector for grains and stream tables
    uint32_t* gd;         // stream layout: the directory being built (tableCount entries)
    uint32_t* gt;         // the table being built
    uint8_t* grain;       // one grain read from the source
    uint8_t* batch;       // batchGrains grains read from the source
    uint32_t batchGrains;
    uint32_t workers;     // compressing threads (compressed layouts)
    z_stream* zlibs;      // one deflate stream per worker
    WorkPool* pool;       // the compressing threads; one slot per grain of a batch
    uint32_t* slotGrain;  // per slot: the batch grain it compresses
    uint32_t batchTable;  // the table and first grain of the batch being compressed
    uint32_t batchFirst;
    uint8_t* packed;        // batchGrains compressed grains of 2 x grain bytes each
    uint32_t* packedBytes;  // sectors-padded length of each compressed grain
    uint8_t* sector;        // one sector of work space
    const DiskHandle* source;
    UsedSectorMap* map;
    bool layerQuery;
    uint64_t firstSourceSector;
    uint32_t sectors;  // sectors taken from the source
    ProgressCallback progress;
    void* user;
    uint64_t total;
};

void Writer_Init(ExtentWriter* w) { std::memset(static_cast<void*>(w), 0, sizeof *w); }

void Writer_Free(ExtentWriter* w)
{
    WorkPool_Free(w->pool);
    w->pool = nullptr;
    Mem_Free(w->slotGrain);
    w->slotGrain = nullptr;
    if (w->layout.zlib) {
        deflateEnd(w->layout.zlib);
        Mem_Free(w->layout.zlib);
    }
    Mem_Free(w->layout.compressedOutput);
    Mem_Free(w->gd);
    Mem_Free(w->gt);
    Mem_Free(w->grain);
    Mem_Free(w->sector);
    if (w->zlibs) {
        for (uint32_t i = 0; i < w->workers; ++i) deflateEnd(&w->zlibs[i]);
        Mem_Free(w->zlibs);
    }
    Mem_Free(w->batch);
    Mem_Free(w->packed);
    Mem_Free(w->packedBytes);
    w->zlibs = nullptr;
    w->batch = w->packed = nullptr;
    w->packedBytes = nullptr;
    w->layout.zlib = nullptr;
    w->layout.compressedOutput = nullptr;
    w->gd = w->gt = nullptr;
    w->grain = w->sector = nullptr;
}

// Fills the layout from the header and checks that the table sets fit their places.
int Writer_Plan(ExtentWriter* w, bool addThirdSet)
{
    const VmdkSparseHeader& h = w->header;
    const char* fault = GrainSizeFault(h.grainSize);
    if (fault != nullptr) return Refusal_Record(fault);
    VmdkGrainLayout& L = w->layout;
    L.grainSectors = static_cast<uint32_t>(h.grainSize);
    L.grainBytes = L.grainSectors * kSector;
    L.sectorsPerTable = VMDK_GT_ENTRIES * L.grainSectors;
    // The tables cover the extent's sectors, whatever the header's capacity says.
    uint64_t tables =
        (static_cast<uint64_t>(w->sectors) + L.sectorsPerTable - 1) / L.sectorsPerTable;
    if (h.capacity < w->sectors)
        return Refusal_Record("VMDK sparse header: capacity smaller than the extent");
    if (tables > 0x800000) return Refusal_Record("VMDK sparse header: too many grain tables");
    L.tableCount = static_cast<uint32_t>(tables);
    L.gdSectors = (L.tableCount + kGdEntriesPerSector - 1) / kGdEntriesPerSector;
    L.tableSectors = VMDK_GT_SECTORS;
    L.step = L.grainSectors;
    L.thirdSetSector = 0;
    w->setCount = 0;
    if (w->stream) {
        w->nextSector = h.overHead;
        return DISK_OK;
    }
    uint64_t setSectors = L.gdSectors + static_cast<uint64_t>(VMDK_GT_SECTORS) * L.tableCount;
    uint64_t reserved = 1 + (h.descriptorOffset ? h.descriptorSize : 0);
    if (h.rgdOffset != 0) w->sets[w->setCount++] = h.rgdOffset;
    w->sets[w->setCount++] = h.gdOffset;
    if (addThirdSet && h.rgdOffset == 0 && h.gdOffset <= h.overHead &&
        h.overHead - h.gdOffset >= 2 * setSectors) {
        L.thirdSetSector = h.gdOffset + setSectors;
        w->sets[w->setCount++] = L.thirdSetSector;
    }
    // Every set lies after the header and descriptor, before overHead, apart from the others.
    for (uint32_t i = 0; i < w->setCount; ++i) {
        uint64_t start = w->sets[i];
        if (start < reserved || start > h.overHead || h.overHead - start < setSectors)
            return Refusal_Record("VMDK sparse header: grain tables do not fit before the grains");
        for (uint32_t j = 0; j < i; ++j) {
            uint64_t other = w->sets[j];
            if (start < other + setSectors && other < start + setSectors)
                return Refusal_Record("VMDK sparse header: grain directories overlap");
        }
    }
    uint64_t first = (h.overHead + L.grainSectors - 1) / L.grainSectors * L.grainSectors;
    w->nextSector = first;
    return DISK_OK;
}

int Writer_CompressTask(void* context, uint32_t worker, uint32_t slot);

int Writer_Allocate(ExtentWriter* w)
{
    VmdkGrainLayout& L = w->layout;
    w->gt = static_cast<uint32_t*>(Mem_Alloc(VMDK_GT_ENTRIES * 4));
    w->sector = static_cast<uint8_t*>(Mem_Alloc(kZeroChunk));
    if (!w->gt || !w->sector) return DISK_ERR_NOMEM;
    std::memset(w->sector, 0, kZeroChunk);
    if (w->stream) {
        w->gd = static_cast<uint32_t*>(Mem_Alloc(L.gdSectors * kSector));
        if (!w->gd) return DISK_ERR_NOMEM;
        std::memset(w->gd, 0, L.gdSectors * kSector);
    }
    // Grains are read in batches of at most kBatchBytes (at least one grain); compressed
    // grains of a batch are compressed by the workers together.
    w->batchGrains = L.grainBytes >= kBatchBytes ? 1 : kBatchBytes / L.grainBytes;
    w->workers = 1;
    if (w->compressed) {
        w->workers = WorkPool_DefaultWorkers();
        if (w->batchGrains < w->workers) w->batchGrains = w->workers;
    }
    w->batch = static_cast<uint8_t*>(Mem_Alloc(w->batchGrains * L.grainBytes));
    if (!w->batch) return DISK_ERR_NOMEM;
    if (w->compressed) {
        w->packed = static_cast<uint8_t*>(Mem_Alloc(w->batchGrains * 2 * L.grainBytes));
        w->packedBytes = static_cast<uint32_t*>(Mem_Alloc(w->batchGrains * 4));
        w->zlibs =
            static_cast<z_stream*>(Mem_Alloc(w->workers * static_cast<uint32_t>(sizeof(z_stream))));
        if (!w->packed || !w->packedBytes || !w->zlibs) return DISK_ERR_NOMEM;
        for (uint32_t i = 0; i < w->workers; ++i) {
            Zlib_InitStream(&w->zlibs[i]);
            if (deflateInit(&w->zlibs[i], 1) != Z_OK) {
                for (uint32_t j = 0; j < i; ++j) deflateEnd(&w->zlibs[j]);
                Mem_Free(w->zlibs);
                w->zlibs = nullptr;
                return DISK_ERR_NOMEM;
            }
        }
        w->slotGrain = static_cast<uint32_t*>(Mem_Alloc(w->batchGrains * 4));
        if (!w->slotGrain) return DISK_ERR_NOMEM;
        w->pool = WorkPool_Create(w->workers, w->batchGrains, Writer_CompressTask, w);
        if (!w->pool) return DISK_ERR_NOMEM;
    }
    return DISK_OK;
}

inline int WriteAt(ExtentWriter* w, uint64_t sector, uint32_t bytes, const void* data)
{
    return Stream_WriteAt(w->out, sector * kSector, bytes, data) ? DISK_OK : DISK_ERR_WRITE;
}

// Descriptor (descriptorBytes of text, zero-padded to descriptorSize sectors), the directories
// of the table sets, and the end of the area before the first grain. The header sector stays a
// hole (zeros) until Writer_WriteHeader, the last write of an extent.
int Writer_WritePreamble(ExtentWriter* w, const uint8_t* descriptor, uint32_t descriptorBytes)
{
    uint8_t* s = w->sector;
    int r = DISK_OK;
    std::memset(s, 0, kSector);
    uint32_t descSectors =
        w->header.descriptorOffset ? static_cast<uint32_t>(w->header.descriptorSize) : 0;
    for (uint32_t i = 0; i < descSectors; ++i) {
        std::memset(s, 0, kSector);
        uint32_t from = i * kSector;
        if (descriptor && from < descriptorBytes)
            std::memcpy(s, descriptor + from, MinU32(kSector, descriptorBytes - from));
        r = WriteAt(w, 1 + i, kSector, s);
        if (r != DISK_OK) return r;
    }
    std::memset(s, 0, kSector);
    const VmdkGrainLayout& L = w->layout;
    for (uint32_t set = 0; set < w->setCount; ++set) {
        // Directory entries point at the set's tables, which follow the directory.
        uint64_t tableBase = w->sets[set] + L.gdSectors;
        for (uint32_t d = 0; d < L.gdSectors; ++d) {
            std::memset(s, 0, kSector);
            for (uint32_t i = 0; i < kGdEntriesPerSector; ++i) {
                uint64_t k = static_cast<uint64_t>(d) * kGdEntriesPerSector + i;
                if (k >= L.tableCount) break;
                uint64_t at = tableBase + VMDK_GT_SECTORS * k;
                if (at > 0xFFFFFFFFu) return DISK_ERR_ARG;
                Bytes_StoreLe32(s + 4 * i, static_cast<uint32_t>(at));
            }
            r = WriteAt(w, w->sets[set] + d, kSector, s);
            if (r != DISK_OK) return r;
        }
    }
    std::memset(s, 0, kSector);
    // The area before the first grain ends with a written sector, so that the file reaches it
    // even when no grain follows.
    uint64_t before = w->stream ? w->header.overHead : w->nextSector;
    if (before > 1 + descSectors) {
        r = WriteAt(w, before - 1, kSector, s);
        if (r != DISK_OK) return r;
    }
    return DISK_OK;
}

// Compresses one grain into out (marker, deflate stream, zeros up to a whole sector) and
// answers the padded length in *bytes. The same grain gives the same bytes on every stream.
int CompressGrain(z_stream* z, const uint8_t* grain, uint32_t grainBytes, uint64_t lba,
                  uint8_t* out, uint32_t* bytes)
{
    if (deflateReset(z) != Z_OK) return DISK_ERR_READ;
    z->next_in = const_cast<Bytef*>(grain);
    z->avail_in = grainBytes;
    z->next_out = out + VMDK_GRAIN_MARKER_BYTES;
    z->avail_out = 2 * grainBytes - VMDK_GRAIN_MARKER_BYTES;
    int ret = deflate(z, Z_FINISH);
    if (ret == Z_OK) return DISK_ERR_ARG;
    if (ret != Z_STREAM_END) return DISK_ERR_READ;
    uint32_t produced = static_cast<uint32_t>(z->total_out);
    Bytes_StoreLe64(out, lba);
    Bytes_StoreLe32(out + 8, produced);
    uint32_t used = VMDK_GRAIN_MARKER_BYTES + produced;
    uint32_t padded = (used + kSector - 1) / kSector * kSector;
    std::memset(out + used, 0, padded - used);
    *bytes = padded;
    return DISK_OK;
}

// Appends a grain already compressed (padded bytes at out) as the k-th table's g-th entry.
int Writer_AppendPacked(ExtentWriter* w, uint32_t g, const uint8_t* out, uint32_t padded)
{
    uint64_t at = w->nextSector;
    uint64_t sectors = padded / kSector;
    if (at + sectors > 0xFFFFFFFFu) return DISK_ERR_ARG;
    int r = WriteAt(w, at, padded, out);
    if (r != DISK_OK) return r;
    w->gt[g] = static_cast<uint32_t>(at);
    w->nextSector = at + sectors;
    return DISK_OK;
}

// Writes the finished table k: into every set, or (stream layout) behind a table marker.
int Writer_WriteTable(ExtentWriter* w, uint32_t table, bool any)
{
    // A table without grains is not written: the stream layout leaves it out, and in the
    // sets' tables it lies in bytes of a new file never written, a hole that reads as the
    // zeros it holds.
    if (!any) return DISK_OK;
    const uint32_t tableBytes = VMDK_GT_ENTRIES * 4;
    uint8_t raw[VMDK_GT_ENTRIES * 4];
    for (uint32_t i = 0; i < VMDK_GT_ENTRIES; ++i) Bytes_StoreLe32(raw + 4 * i, w->gt[i]);
    if (w->stream) {
        uint64_t at = w->nextSector;
        if (at + 1 + VMDK_GT_SECTORS > 0xFFFFFFFFu) return DISK_ERR_ARG;
        MarkerToDisk(w->sector, VMDK_GT_SECTORS, 0, VMDK_MARKER_GT);
        int r = WriteAt(w, at, kSector, w->sector);
        if (r == DISK_OK) r = WriteAt(w, at + 1, tableBytes, raw);
        std::memset(w->sector, 0, kSector);
        if (r != DISK_OK) return r;
        w->gd[table] = static_cast<uint32_t>(at + 1);
        w->nextSector = at + 1 + VMDK_GT_SECTORS;
        return DISK_OK;
    }
    for (uint32_t set = 0; set < w->setCount; ++set) {
        uint64_t at =
            w->sets[set] + w->layout.gdSectors + static_cast<uint64_t>(VMDK_GT_SECTORS) * table;
        int r = WriteAt(w, at, tableBytes, raw);
        if (r != DISK_OK) return r;
    }
    return DISK_OK;
}

// Whether a source range holds nothing to store: the per-layer query, or the map and the data.
int Writer_RangeIsEmpty(ExtentWriter* w, uint64_t first, uint32_t count, bool* empty)
{
    if (w->layerQuery) return Disk_IsRangeUnallocated(w->source, w->map, first, count, empty);
    // A range the source holds as a hole reads as zeros: there is nothing to ask the map.
    bool known = false;
    if (Disk_IsRangeKnownZero(w->source, first, count, &known) == DISK_OK && known) {
        *empty = true;
        return DISK_OK;
    }
    if (!w->map) {
        *empty = false;
        return DISK_OK;
    }
    // Used bits are fetched in pieces of at most 0x10000 sectors.
    uint32_t done = 0;
    while (done < count) {
        uint32_t piece = MinU32(count - done, 0x10000);
        bool used = false;
        int r = MapHasUsed(w->map, first + done, piece, &used);
        if (r != DISK_OK) return r;
        if (used) {
            *empty = false;
            return DISK_OK;
        }
        done += piece;
    }
    *empty = true;
    return DISK_OK;
}

// Compresses the batch grain that `slot` holds, with the worker's own deflate stream.
int Writer_CompressTask(void* context, uint32_t worker, uint32_t slot)
{
    ExtentWriter* w = static_cast<ExtentWriter*>(context);
    const VmdkGrainLayout& L = w->layout;
    const uint32_t i = w->slotGrain[slot];
    uint64_t lba = (static_cast<uint64_t>(w->batchTable) * VMDK_GT_ENTRIES + w->batchFirst + i) *
                   L.grainSectors;
    return CompressGrain(&w->zlibs[worker], w->batch + static_cast<size_t>(i) * L.grainBytes,
                         L.grainBytes, lba, w->packed + static_cast<size_t>(i) * 2 * L.grainBytes,
                         &w->packedBytes[i]);
}

// Compresses grains [0, count) of the batch whose keep flag is set on the worker pool; answers
// the first failure.
int Writer_CompressBatch(ExtentWriter* w, uint32_t table, uint32_t firstGrain, uint32_t count,
                         const bool* keep)
{
    w->batchTable = table;
    w->batchFirst = firstGrain;
    int first = DISK_OK;
    uint32_t i = 0;
    while (i < count || WorkPool_Pending(w->pool) > 0) {
        if (i < count && !WorkPool_IsFull(w->pool)) {
            if (keep[i]) {
                w->slotGrain[WorkPool_NextSlot(w->pool)] = i;
                WorkPool_Submit(w->pool);
            }
            ++i;
            continue;
        }
        uint32_t slot = 0;
        int r = DISK_OK;
        WorkPool_Take(w->pool, &slot, &r);
        if (r != DISK_OK && first == DISK_OK) first = r;
    }
    return first;
}

// Copies the table ranges of the source into the output: per table, grains that hold data.
// Grains that may hold data are read in batches (one read per run of neighbouring grains),
// tested for data from the same buffer, compressed by the workers, and appended in order.
int Writer_CopyBody(ExtentWriter* w)
{
    const VmdkGrainLayout& L = w->layout;
    std::vector<bool> candidate(VMDK_GT_ENTRIES);
    std::unique_ptr<bool[]> keep(new (std::nothrow) bool[w->batchGrains]);
    if (!keep) return DISK_ERR_NOMEM;
    uint32_t done = 0;
    // The table under construction; cleared again only after a table that had grains.
    std::memset(w->gt, 0, VMDK_GT_ENTRIES * 4);
    for (uint32_t table = 0; table < L.tableCount; ++table) {
        bool any = false;
        uint32_t tableSectors =
            done < w->sectors ? MinU32(w->sectors - done, L.sectorsPerTable) : 0;
        bool tableEmpty = tableSectors == 0;
        if (!tableEmpty) {
            int r = Writer_RangeIsEmpty(w, w->firstSourceSector + done, tableSectors, &tableEmpty);
            if (r != DISK_OK) return r;
        }
        if (!tableEmpty) {
            const uint32_t grains = (tableSectors + L.grainSectors - 1) / L.grainSectors;
            for (uint32_t g = 0; g < grains; ++g) {
                uint32_t n = MinU32(L.grainSectors, tableSectors - g * L.grainSectors);
                bool grainEmpty = false;
                int r = Writer_RangeIsEmpty(w, w->firstSourceSector + done + g * L.grainSectors, n,
                                            &grainEmpty);
                if (r != DISK_OK) return r;
                candidate[g] = !grainEmpty;
            }
            for (uint32_t g = 0; g < grains;) {
                // A batch: up to batchGrains grains from g; candidates neighbouring each other
                // are read together.
                const uint32_t count = MinU32(w->batchGrains, grains - g);
                for (uint32_t i = 0; i < count;) {
                    if (!candidate[g + i]) {
                        keep[i++] = false;
                        continue;
                    }
                    uint32_t j = i + 1;
                    while (j < count && candidate[g + j]) ++j;
                    uint32_t inTable = (g + i) * L.grainSectors;
                    uint32_t n = MinU32((j - i) * L.grainSectors, tableSectors - inTable);
                    uint64_t src = w->firstSourceSector + done + inTable;
                    uint8_t* at = w->batch + static_cast<size_t>(i) * L.grainBytes;
                    // One read of the run's used sectors serves the zero test and the copy;
                    // sectors known to be zeros or free by the map are not read.
                    WriterPiece piece;
                    int r = WriterKit_ReadPiece(w->source, w->map, src, n, at, &piece);
                    if (r != DISK_OK) return r;
                    if (piece.data == nullptr && w->layerQuery)
                        std::memset(at, 0, static_cast<size_t>(n) * kSector);
                    if (n < (j - i) * L.grainSectors)
                        std::memset(at + static_cast<size_t>(n) * kSector, 0,
                                    static_cast<size_t>((j - i) * L.grainSectors - n) * kSector);
                    for (uint32_t k = i; k < j; ++k) {
                        uint32_t kIn = (g + k) * L.grainSectors;
                        uint32_t kn = MinU32(L.grainSectors, tableSectors - kIn);
                        // A layer keeps what it stores; a source grain of zeros is not stored.
                        keep[k] = w->layerQuery ||
                                  (!piece.zero &&
                                   !Mem_IsZero(w->batch + static_cast<size_t>(k) * L.grainBytes,
                                               kn * kSector));
                    }
                    i = j;
                }
                if (w->compressed) {
                    int r = Writer_CompressBatch(w, table, g, count, keep.get());
                    if (r != DISK_OK) return r;
                }
                for (uint32_t i = 0; i < count; ++i) {
                    uint32_t inTable = (g + i) * L.grainSectors;
                    uint32_t n = MinU32(L.grainSectors, tableSectors - inTable);
                    if (keep[i]) {
                        int r;
                        if (w->compressed) {
                            r = Writer_AppendPacked(
                                w, g + i, w->packed + static_cast<size_t>(i) * 2 * L.grainBytes,
                                w->packedBytes[i]);
                        } else {
                            uint64_t at = w->nextSector;
                            r = at + L.grainSectors > 0xFFFFFFFFu
                                    ? DISK_ERR_ARG
                                    : WriteAt(w, at, L.grainBytes,
                                              w->batch + static_cast<size_t>(i) * L.grainBytes);
                            if (r == DISK_OK) {
                                w->gt[g + i] = static_cast<uint32_t>(at);
                                w->nextSector = at + L.grainSectors;
                            }
                        }
                        if (r != DISK_OK) return r;
                        any = true;
                    }
                    if (!Report(w->progress, w->user, w->firstSourceSector + done + inTable + n,
                                w->total))
                        return DISK_CANCELLED;
                }
                g += count;
            }
        }
        int r = Writer_WriteTable(w, table, any);
        if (r != DISK_OK) return r;
        if (any) std::memset(w->gt, 0, VMDK_GT_ENTRIES * 4);
        done += tableSectors;
        if (!Report(w->progress, w->user, w->firstSourceSector + done, w->total))
            return DISK_CANCELLED;
    }
    return DISK_OK;
}

// The end of the file: the stream layout's directory, footer and end-of-stream marker, or the
// end-of-stream sector of a compressed extent.
int Writer_Finish(ExtentWriter* w)
{
    uint8_t* s = w->sector;
    if (w->stream) {
        const VmdkGrainLayout& L = w->layout;
        uint64_t at = w->nextSector;
        MarkerToDisk(s, L.gdSectors, 0, VMDK_MARKER_GD);
        int r = WriteAt(w, at, kSector, s);
        if (r != DISK_OK) return r;
        uint64_t gdSector = at + 1;
        Bytes_HostToLeArray32(w->gd, L.gdSectors * kGdEntriesPerSector);
        r = WriteAt(w, gdSector, L.gdSectors * kSector, w->gd);
        if (r != DISK_OK) return r;
        at = gdSector + L.gdSectors;
        MarkerToDisk(s, 1, 0, VMDK_MARKER_FOOTER);
        r = WriteAt(w, at, kSector, s);
        if (r != DISK_OK) return r;
        VmdkSparseHeader footer = w->header;
        footer.gdOffset = gdSector;
        VmdkSparse_HeaderToDisk(&footer, s);
        r = WriteAt(w, at + 1, kSector, s);
        if (r != DISK_OK) return r;
        std::memset(s, 0, kSector);
        return WriteAt(w, at + 2, kSector, s);
    }
    if (w->compressed) {
        std::memset(s, 0, kSector);
        return WriteAt(w, w->nextSector, kSector, s);
    }
    return DISK_OK;
}

// The header sector, written once everything else is: an extent that was cancelled or failed
// has none and is not taken for one.
int Writer_WriteHeader(ExtentWriter* w)
{
    VmdkSparse_HeaderToDisk(&w->header, w->sector);
    int r = WriteAt(w, 0, kSector, w->sector);
    std::memset(w->sector, 0, kSector);
    return r;
}

int Writer_Run(ExtentWriter* w, const uint8_t* descriptor, uint32_t descriptorBytes)
{
    int r = Writer_Allocate(w);
    if (r == DISK_OK) r = Writer_WritePreamble(w, descriptor, descriptorBytes);
    if (r == DISK_OK) r = Writer_CopyBody(w);
    if (r == DISK_OK) r = Writer_Finish(w);
    if (r == DISK_OK) r = Writer_WriteHeader(w);
    return r;
}

// Fills a temp pair: final path, temporary path = final path + "_temp", or the first free
// numbered variant of it (an existing file is never written over).
int PrepareTempPair(OutputFile* temp, const char* path)
{
    OutputFile_Init(temp);
    TextView none = {nullptr, 0};
    return OutputEntry_ChooseNames(&temp->entry, path, Path_TempSuffix(TEXT_ENC_UTF8), none,
                                   nullptr, 0);
}

int CloseOutput(ByteStream* out, bool preallocated)
{
    return WriteKit_CloseOutput(out, preallocated, DISK_OK);
}

}  // namespace

void VmdkSparse_SetCompressionWorkers(uint32_t workers) { WorkPool_SetDefaultWorkers(workers); }

int VmdkSparse_Write(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     OutputFile* temp, uint32_t descriptorSectors, const uint8_t* descriptor,
                     uint32_t hwVersionIndex, uint64_t firstSourceSector, uint32_t sectors,
                     bool layerQuery, bool compressed, bool streamOptimized,
                     ProgressCallback progress, void* user, uint64_t total, uint32_t grainSectors)
{
    if (temp) OutputFile_Init(temp);
    if (descriptorSectors > VMDK_MAX_DESCRIPTOR_SECTORS || (descriptorSectors && !descriptor))
        return DISK_ERR_ARG;
    ExtentWriter w;
    Writer_Init(&w);
    w.compressed = compressed || streamOptimized;
    w.stream = streamOptimized;
    w.source = source;
    w.map = map;
    w.layerQuery = layerQuery;
    w.firstSourceSector = firstSourceSector;
    w.sectors = sectors;
    w.progress = progress;
    w.user = user;
    w.total = total;
    VmdkSparse_BuildHeader(&w.header, sectors, descriptorSectors, hwVersionIndex, w.compressed,
                           streamOptimized, grainSectors);
    int r = Writer_Plan(&w, false);
    if (r != DISK_OK) return DISK_ERR_ARG;

    const char* outPath = path;
    if (temp) {
        r = PrepareTempPair(temp, path);
        if (r != DISK_OK) return r;
        outPath = reinterpret_cast<const char*>(temp->entry.tempPath.data);
    }
    if (!Stream_CreateWriteOnly(outPath, 0, false, &w.out)) return DISK_ERR_CREATE;
    if (temp) temp->armed = true;
    r = Writer_Run(&w, descriptor, descriptorSectors * kSector);
    int c = CloseOutput(w.out, false);
    if (r == DISK_OK) r = c;
    Writer_Free(&w);
    return r;
}

namespace {

int CopyFromExtent(VmdkSparseExtent* e, uint32_t bytes, uint8_t** out)
{
    uint8_t* block = static_cast<uint8_t*>(Mem_Alloc(bytes));
    if (!block) return DISK_ERR_NOMEM;
    if (!Stream_ReadAt(e->stream, 0, bytes, block)) {
        Mem_Free(block);
        return DISK_ERR_READ;
    }
    *out = block;
    return DISK_OK;
}

}  // namespace

int VmdkSparse_Compact(VmdkSparseExtent* extent, const char* outputPath, const DiskHandle* source,
                       UsedSectorMap* map, bool layerQuery, bool preallocated,
                       ProgressCallback progress, void* user, uint64_t total)
{
    if (!extent->stream) return DISK_ERR_ARG;
    if (VmdkSparse_IsCompressedOrStream(extent))
        return Refusal_Record("VMDK sparse extent: compressed grains cannot be compacted in place");
    ExtentWriter w;
    Writer_Init(&w);
    w.header = extent->header;
    w.source = source;
    w.map = map;
    w.layerQuery = layerQuery;
    w.firstSourceSector = extent->firstSector;
    w.sectors = extent->extentSectors;
    w.progress = progress;
    w.user = user;
    w.total = total;
    int r = Writer_Plan(&w, true);
    if (r != DISK_OK) return r;

    // The header and the embedded descriptor are kept byte for byte.
    uint32_t descSectors =
        extent->header.descriptorOffset ? static_cast<uint32_t>(extent->header.descriptorSize) : 0;
    uint32_t keepBytes = (descSectors + 1) * kSector;
    uint8_t* kept = nullptr;
    r = CopyFromExtent(extent, keepBytes, &kept);
    if (r != DISK_OK) return r;

    bool created = preallocated ? Stream_CreatePreallocated(outputPath, extent->fileSize, &w.out)
                                : Stream_CreateWriteOnly(outputPath, 0, false, &w.out);
    if (!created) {
        Mem_Free(kept);
        return DISK_ERR_CREATE;
    }
    r = Writer_Allocate(&w);
    if (r == DISK_OK) r = Writer_WritePreamble(&w, kept + kSector, keepBytes - kSector);
    if (r == DISK_OK) r = WriteAt(&w, 0, kSector, kept);
    if (r == DISK_OK) r = Writer_CopyBody(&w);
    int c = CloseOutput(w.out, preallocated);
    if (r == DISK_OK) r = c;
    Writer_Free(&w);
    Mem_Free(kept);
    if (r != DISK_OK) Os_RemoveFile(outputPath);
    return r;
}

int VmdkSparse_Rewrite(VmdkSparseExtent* extent, const char* extentPath, const DiskHandle* source,
                       UsedSectorMap* map, OutputFile* temp, const uint8_t* descriptor,
                       uint32_t descriptorBytes, bool compressed, ProgressCallback progress,
                       void* user, uint64_t total)
{
    if (!temp) return DISK_ERR_ARG;
    OutputFile_Init(temp);
    const VmdkSparseHeader& old = extent->header;
    uint32_t descSectors = old.descriptorOffset ? static_cast<uint32_t>(old.descriptorSize) : 0;
    if (descriptor && descriptorBytes > descSectors * kSector) return DISK_ERR_ARG;
    const char* fault = GrainSizeFault(old.grainSize);
    if (fault != nullptr) return Refusal_Record(fault);

    ExtentWriter w;
    Writer_Init(&w);
    w.compressed = compressed;
    w.source = source;
    w.map = map;
    w.layerQuery = Disk_HasParent(source);
    w.firstSourceSector = extent->firstSector;
    w.sectors = extent->extentSectors;
    w.progress = progress;
    w.user = user;
    w.total = total;
    w.header = old;
    if (compressed) {
        w.header.version = 3;
        w.header.flags = VMDK_FLAGS_COMPRESSED_WRITTEN;
        w.header.compressAlgorithm = VMDK_COMPRESS_DEFLATE;
    } else {
        w.header.version = 1;
        w.header.flags = VMDK_FLAGS_PLAIN;
        w.header.compressAlgorithm = VMDK_COMPRESS_NONE;
    }
    int r = old.gdOffset == VMDK_GD_AT_END ? DISK_ERR_FORMAT : Writer_Plan(&w, false);
    if (r != DISK_OK) {
        // Tables that cannot stay where they are (the stream layout keeps none in place) get
        // the writers' layout for this capacity and grain size.
        BuildLayoutHeader(&w.header, old.capacity, extent->extentSectors,
                          static_cast<uint32_t>(old.grainSize), descSectors, compressed, false);
        r = Writer_Plan(&w, false);
        if (r != DISK_OK) return r;
    }

    uint8_t* text = nullptr;
    uint32_t textBytes = 0;
    if (descriptor) {
        text = const_cast<uint8_t*>(descriptor);
        textBytes = descriptorBytes;
    } else if (descSectors) {
        uint8_t* kept = nullptr;
        r = CopyFromExtent(extent, (descSectors + 1) * kSector, &kept);
        if (r != DISK_OK) return r;
        std::memmove(kept, kept + kSector, descSectors * kSector);
        text = kept;
        textBytes = descSectors * kSector;
    }

    r = PrepareTempPair(temp, extentPath);
    if (r == DISK_OK) {
        const char* outPath = reinterpret_cast<const char*>(temp->entry.tempPath.data);
        if (!Stream_CreateWriteOnly(outPath, 0, false, &w.out)) {
            r = DISK_ERR_CREATE;
        } else {
            temp->armed = true;
            r = Writer_Run(&w, text, textBytes);
            int c = CloseOutput(w.out, false);
            if (r == DISK_OK) r = c;
        }
    }
    Writer_Free(&w);
    if (!descriptor) Mem_Free(text);
    return r;
}
