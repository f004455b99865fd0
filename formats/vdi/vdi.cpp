// VDI images: open (with parent chains), read, the empty-range and per-layer queries, the
// writer and the compaction.
#include "formats/vdi/vdi.h"

#include <cstring>
#include <new>

#include "disk/writer_kit.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/random_id.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

enum : uint32_t {
    kWorkBytes = 0x40000,  // 512 sectors
    kWorkSectors = kWorkBytes / 512
};

void GeometryToHost(VdiGeometry* g)
{
    g->cylinders = Bytes_LeToHost32(g->cylinders);
    g->heads = Bytes_LeToHost32(g->heads);
    g->sectors = Bytes_LeToHost32(g->sectors);
    g->sectorSize = Bytes_LeToHost32(g->sectorSize);
}

// Host order to file order; the conversion is its own inverse.
void HeaderToDisk(VdiHeader* h) { Vdi_HeaderToHost(h); }

int WriteZeros(ByteStream* s, uint64_t offset, uint64_t length)
{
    return WriteKit_WriteZeros(s, offset, length);
}

uint64_t DiskBytes(const VdiImage* image)
{
    return Geometry_GetTotalSectors(&image->geometry) * 512;
}

// Reads [offset, offset + length) of the parent; bytes beyond a shorter parent are zeros.
int ReadParent(VdiImage* parent, uint64_t offset, uint32_t length, uint8_t* buffer)
{
    const uint64_t size = DiskBytes(parent);
    uint32_t inside = 0;
    if (offset < size)
        inside = size - offset < length ? static_cast<uint32_t>(size - offset) : length;
    if (inside < length) std::memset(buffer + inside, 0, length - inside);
    return inside != 0 ? Vdi_Read(parent, offset, inside, buffer) : DISK_OK;
}

// Whether the parent's part of [first, first + count) is empty (nothing beyond its end is).
int ParentEmpty(VdiImage* parent, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    const uint64_t total = Geometry_GetTotalSectors(&parent->geometry);
    *empty = true;
    if (first >= total) return DISK_OK;
    const uint32_t n = total - first < count ? static_cast<uint32_t>(total - first) : count;
    return Vdi_IsRangeEmpty(parent, map, first, n, empty, adapter, record);
}

uint64_t StoredOffset(const VdiImage* image, uint32_t entry)
{
    return static_cast<uint64_t>(image->header.dataOffset) +
           static_cast<uint64_t>(entry) * image->stride + image->header.blockExtraSize;
}

// The chain's files, nearest first, for the choice of temporary and backup names.
struct ChainFiles {
    const char* paths[VDI_MAX_PARENTS + 1];
    uint32_t count;
};

void CollectChainFiles(const VdiImage* image, ChainFiles* chain)
{
    chain->count = 0;
    for (const VdiImage* i = image; i != nullptr && chain->count < VDI_MAX_PARENTS + 1;
         i = i->parent)
        chain->paths[chain->count++] = i->path;
}

TextView CompactSuffix() { return Path_CompactSuffix(); }

// The state shared by the creator and the compaction.
struct BlockWriter {
    ByteStream* out;
    const DiskHandle* source;
    UsedSectorMap* map;
    uint8_t* block;      // one block
    uint32_t* blockMap;  // host order
    uint32_t blockBytes;
    uint32_t allocated;
    uint64_t position;  // byte offset of the next stored block
    bool fixed;         // store every block
    bool layerQueries;  // skip blocks that the source's own layer does not store
};

}  // namespace

// Stores block i of the source (n sectors from i x sectors per block) unless it holds nothing:
// a block that reads as zeros (free sectors count as zeros) or, with layer queries, one the
// source's own layer does not store. The block is read once (WriterKit_ReadPiece): that read
// serves the zero test and the copy. A fixed image stores every block.
static int Vdi_WriteBlock(BlockWriter* w, uint32_t index, uint32_t n)
{
    const uint32_t sectorsPerBlock = w->blockBytes / 512;
    const uint64_t first = static_cast<uint64_t>(index) * sectorsPerBlock;
    int rc;
    if (!w->fixed && w->layerQueries) {
        bool skip = false;
        rc = Disk_IsRangeUnallocated(w->source, w->map, first, n, &skip);
        if (rc != DISK_OK) return rc;
        if (skip) return DISK_OK;
    }
    WriterPiece piece;
    if ((rc = WriterKit_ReadPiece(w->source, w->map, first, n, w->block, &piece)) != DISK_OK)
        return rc;
    if (piece.zero && !w->fixed && !w->layerQueries) return DISK_OK;
    if (piece.data == nullptr) {
        std::memset(w->block, 0, static_cast<size_t>(n) * 512);
    }
    if (n < sectorsPerBlock)
        std::memset(w->block + static_cast<size_t>(n) * 512, 0,
                    static_cast<size_t>(sectorsPerBlock - n) * 512);
    if (w->fixed) {
        if (!Stream_WriteAt(w->out, w->position, w->blockBytes, w->block)) return DISK_ERR_WRITE;
    } else {
        // The block goes to bytes never written: its runs of zeros stay holes of the file, and
        // its last sector is written so that the file holds the whole block.
        const uint32_t head = w->blockBytes - 512;
        if ((rc = WriteKit_WriteDataOnly(w->out, w->position, head, w->block)) != DISK_OK)
            return rc;
        if (!Stream_WriteAt(w->out, w->position + head, 512, w->block + head))
            return DISK_ERR_WRITE;
    }
    w->blockMap[index] = w->allocated++;
    w->position += w->blockBytes;
    return DISK_OK;
}

// Writes every block of the source with progress (sectors done, total).
static int WriteBlocks(BlockWriter* w, uint32_t blocks, uint64_t total, ProgressCallback callback,
                       void* user)
{
    if (!WriteKit_Progress(callback, user, 0, total)) return DISK_CANCELLED;
    const uint32_t sectorsPerBlock = w->blockBytes / 512;
    uint64_t done = 0;
    for (uint32_t i = 0; i < blocks && done < total; i++) {
        const uint32_t n =
            total - done < sectorsPerBlock ? static_cast<uint32_t>(total - done) : sectorsPerBlock;
        int rc = Vdi_WriteBlock(w, i, n);
        if (rc != DISK_OK) return rc;
        done += n;
        if (!WriteKit_Progress(callback, user, done, total)) return DISK_CANCELLED;
    }
    return DISK_OK;
}

// ---- Object -----------------------------------------------------------------------------

VdiImage* Vdi_Alloc() { return static_cast<VdiImage*>(Mem_Alloc(sizeof(VdiImage))); }

void Vdi_Init(VdiImage* image)
{
    std::memset(&image->geometry, 0, sizeof(image->geometry));
    image->stream = nullptr;
    std::memset(&image->header, 0, sizeof(image->header));
    image->blockMap = nullptr;
    image->stride = 0;
    image->parent = nullptr;
    image->work = nullptr;
    image->usedBits = nullptr;
    image->path[0] = 0;
}

void Vdi_Close(void* object)
{
    VdiImage* image = static_cast<VdiImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    Mem_Free(image->blockMap);
    Mem_Free(image->work);
    Mem_Free(image->usedBits);
    if (image->parent != nullptr) {
        Vdi_Close(image->parent);
        Mem_Free(image->parent);
    }
    Vdi_Init(image);
}

void Vdi_UuidToHost(VdiGeometry* geometry) { GeometryToHost(geometry); }

void Vdi_HeaderToHost(VdiHeader* h)
{
    h->signature = Bytes_LeToHost32(h->signature);
    h->version = Bytes_LeToHost32(h->version);
    h->headerSize = Bytes_LeToHost32(h->headerSize);
    h->imageType = Bytes_LeToHost32(h->imageType);
    h->imageFlags = Bytes_LeToHost32(h->imageFlags);
    h->blockMapOffset = Bytes_LeToHost32(h->blockMapOffset);
    h->dataOffset = Bytes_LeToHost32(h->dataOffset);
    Vdi_UuidToHost(&h->legacyGeometry);
    h->reserved = Bytes_LeToHost32(h->reserved);
    h->diskSize = Bytes_LeToHost64(h->diskSize);
    h->blockSize = Bytes_LeToHost32(h->blockSize);
    h->blockExtraSize = Bytes_LeToHost32(h->blockExtraSize);
    h->blocks = Bytes_LeToHost32(h->blocks);
    h->blocksAllocated = Bytes_LeToHost32(h->blocksAllocated);
    Vdi_UuidToHost(&h->logicalGeometry);
}

// The header rules of the open; withParents decides which image types are accepted.
static int Vdi_CheckHeader(const VdiHeader& h, bool withParents, uint64_t fileSize)
{
    if (h.signature != VDI_SIGNATURE) return Refusal_Record("VDI header: no signature");
    if (h.version != VDI_VERSION) return Refusal_Record("VDI header: unknown version");
    if (h.headerSize != 384 && h.headerSize != 400)
        return Refusal_Record("VDI header: header size is neither 384 nor 400");
    if (h.imageType != VDI_TYPE_DYNAMIC && h.imageType != VDI_TYPE_FIXED &&
        h.imageType != VDI_TYPE_DIFFERENCING)
        return Refusal_Record("VDI header: unknown image type");
    if (withParents && h.imageType == VDI_TYPE_FIXED)
        return Refusal_Record("VDI header: a fixed image cannot have a parent");
    if (!withParents && h.imageType == VDI_TYPE_DIFFERENCING)
        return Refusal_Record("VDI header: differencing image without its parent");
    // Blocks: a non-zero multiple of 512 covering the whole disk.
    if (h.blockSize == 0 || h.blockSize > VDI_MAX_BLOCK_BYTES)
        return Refusal_Record("VDI header: block size out of range");
    if (h.blockSize % 512 != 0)
        return Refusal_Record("VDI header: block size is not a whole number of sectors");
    if (h.blockExtraSize % 512 != 0 || h.blockExtraSize > VDI_MAX_BLOCK_BYTES)
        return Refusal_Record("VDI header: block extra size out of range");
    if (h.blocks > VDI_MAX_BLOCKS) return Refusal_Record("VDI header: too many blocks");
    if (h.blocksAllocated > h.blocks)
        return Refusal_Record("VDI header: more blocks allocated than the disk has");
    if (static_cast<uint64_t>(h.blocks) * h.blockSize < h.diskSize)
        return Refusal_Record("VDI header: blocks do not cover the disk size");
    // The byte size stays below 2^63 (whole sectors).
    if (h.diskSize > (UINT64_MAX >> 1) - 511) return Refusal_Record("VDI header: disk too large");
    if (h.blockMapOffset < VDI_HEADER_BYTES)
        return Refusal_Record("VDI header: block map starts inside the header");
    if (static_cast<uint64_t>(h.dataOffset) <
        static_cast<uint64_t>(h.blockMapOffset) + 4ull * h.blocks)
        return Refusal_Record("VDI header: data start inside the block map");
    const uint64_t stride = static_cast<uint64_t>(h.blockSize) + h.blockExtraSize;
    if (fileSize != h.dataOffset + h.blocksAllocated * stride)
        return Refusal_Record("VDI file: size does not match the allocated blocks");
    return DISK_OK;
}

// Every stored entry of the map names a block inside the file.
static int Vdi_CheckBlockMap(const VdiImage* image)
{
    for (uint32_t i = 0; i < image->header.blocks; i++) {
        if (image->blockMap[i] <= VDI_LAST_STORED_ENTRY &&
            image->blockMap[i] >= image->header.blocksAllocated)
            return Refusal_Record("VDI block map: entry points past the end of the file");
    }
    return DISK_OK;
}

static int OpenChain(VdiImage* image, FileOpenFn open, void* user, const char* path, bool readOnly,
                     uint32_t parentCount, const char* const* parentPaths)
{
    if (image == nullptr || open == nullptr || path == nullptr) return DISK_ERR_ARG;
    if (parentCount > VDI_MAX_PARENTS) return Refusal_Record("VDI chain: too many parents");
    if (parentCount != 0 && parentPaths == nullptr)
        return Refusal_Record("VDI chain: parents named without their paths");
    const size_t pathLength = std::strlen(path);
    if (pathLength >= VDI_PATH_CAPACITY) return DISK_ERR_ARG;
    int r = open(path, readOnly, &image->stream, user);
    if (r != 0) {
        image->stream = nullptr;
        return r == 1 ? DISK_CANCELLED : DISK_ERR_OPEN;
    }
    std::memcpy(image->path, path, pathLength + 1);
    uint64_t fileSize = 0;
    if (!Stream_GetSize(image->stream, &fileSize))
        r = DISK_ERR_SIZE;
    else if (fileSize < VDI_HEADER_BYTES)
        r = Refusal_Record("VDI file: shorter than its header");
    else if (!Stream_ReadAt(image->stream, 0, VDI_HEADER_BYTES, &image->header))
        r = DISK_ERR_READ;
    if (r == DISK_OK) {
        Vdi_HeaderToHost(&image->header);
        r = Vdi_CheckHeader(image->header, parentCount != 0, fileSize);
    }
    const VdiHeader& h = image->header;
    if (r == DISK_OK) {
        const uint32_t mapBytes = h.blocks * 4;
        image->blockMap = static_cast<uint32_t*>(Mem_Alloc(mapBytes != 0 ? mapBytes : 4));
        image->work = static_cast<uint8_t*>(Mem_Alloc(kWorkBytes));
        image->usedBits = static_cast<uint8_t*>(Mem_Alloc(h.blockSize / 512 / 8 + 1));
        if (image->blockMap == nullptr || image->work == nullptr || image->usedBits == nullptr)
            r = DISK_ERR_NOMEM;
        else if (mapBytes != 0 &&
                 !Stream_ReadAt(image->stream, h.blockMapOffset, mapBytes, image->blockMap))
            r = DISK_ERR_READ;
    }
    if (r == DISK_OK) {
        Bytes_LeToHostArray32(image->blockMap, h.blocks);
        r = Vdi_CheckBlockMap(image);
    }
    if (r == DISK_OK) {
        Geometry_SetTotalSectors(&image->geometry, Math_DivCeilU64(h.diskSize, 512));
        image->geometry.bytes_per_sector = 512;
        image->geometry.heads = h.legacyGeometry.heads != 0 ? h.legacyGeometry.heads : 16;
        image->geometry.sectors_per_track =
            h.legacyGeometry.sectors != 0 ? h.legacyGeometry.sectors : 63;
        image->stride = h.blockSize + h.blockExtraSize;
    }
    if (r == DISK_OK && parentCount != 0) {
        image->parent = Vdi_Alloc();
        if (image->parent == nullptr) {
            r = DISK_ERR_NOMEM;
        } else {
            Vdi_Init(image->parent);
            r = OpenChain(image->parent, open, user, parentPaths[0], true, parentCount - 1,
                          parentPaths + 1);
            if (r != DISK_OK) {
                Mem_Free(image->parent);
                image->parent = nullptr;
            }
        }
    }
    if (r != DISK_OK) Vdi_Close(image);
    return r;
}

int Vdi_OpenChainWithCallback(VdiImage* image, FileOpenFn open, void* user, const char* path,
                              bool readOnly, uint32_t parentCount, const char* const* parentPaths)
{
    return OpenChain(image, open, user, path, readOnly, parentCount, parentPaths);
}

int Vdi_OpenChain(VdiImage* image, const char* path, bool readOnly, uint32_t parentCount,
                  const char* const* parentPaths)
{
    return Vdi_OpenChainWithCallback(image, FileOpener_DefaultOpen, nullptr, path, readOnly,
                                     parentCount, parentPaths);
}

int Vdi_Open(VdiImage* image, const char* path, bool readOnly)
{
    return Vdi_OpenChain(image, path, readOnly, 0, nullptr);
}

int Vdi_OpenWithCallback(VdiImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly)
{
    return Vdi_OpenChainWithCallback(image, open, user, path, readOnly, 0, nullptr);
}

int Vdi_OpenWithHandler(VdiImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return Vdi_OpenChainWithCallback(image, opener->open, opener->user, path, readOnly, 0, nullptr);
}

// ---- Handle entries -----------------------------------------------------------------------

static int StoreInHandle(DiskHandle* handle, VdiImage* image, int r)
{
    if (r != DISK_OK) {
        Mem_Free(image);
        return r;
    }
    handle->kind = DISK_KIND_VDI;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenVdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    VdiImage* image = Vdi_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Vdi_Init(image);
    return StoreInHandle(handle, image, Vdi_OpenWithHandler(image, opener, path, readOnly));
}

int Disk_OpenVdi(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVdiWithHandler(handle, &FileOpener_Default, path, readOnly);
}

int Disk_OpenVdiWithParents(DiskHandle* handle, const char* path, bool readOnly,
                            uint32_t parentCount, const char* const* parentPaths)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    VdiImage* image = Vdi_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Vdi_Init(image);
    return StoreInHandle(handle, image,
                         Vdi_OpenChain(image, path, readOnly, parentCount, parentPaths));
}

// ---- Reading ------------------------------------------------------------------------------

void Vdi_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<const VdiImage*>(object)->geometry;
}

int Vdi_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    VdiImage* image = static_cast<VdiImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t blockSize = image->header.blockSize;
    while (length != 0) {
        const uint32_t block = static_cast<uint32_t>(offset / blockSize);
        const uint32_t in = static_cast<uint32_t>(offset % blockSize);
        const uint32_t n = blockSize - in < length ? blockSize - in : length;
        const uint32_t entry = image->blockMap[block];
        int rc = DISK_OK;
        if (entry <= VDI_LAST_STORED_ENTRY) {
            if (!Stream_ReadAt(image->stream, StoredOffset(image, entry) + in, n, out))
                rc = DISK_ERR_READ;
        } else if (image->parent != nullptr) {
            rc = ReadParent(image->parent, offset, n, out);
        } else {
            std::memset(out, 0, n);
        }
        if (rc != DISK_OK) return rc;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int Vdi_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    VdiImage* image = static_cast<VdiImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t sectorsPerBlock = image->header.blockSize / 512;
    while (count != 0) {
        const uint32_t block = static_cast<uint32_t>(first / sectorsPerBlock);
        const uint32_t in = static_cast<uint32_t>(first % sectorsPerBlock);
        const uint32_t n = sectorsPerBlock - in < count ? sectorsPerBlock - in : count;
        const uint32_t entry = image->blockMap[block];
        bool pieceEmpty = true;
        int rc = DISK_OK;
        if (entry <= VDI_LAST_STORED_ENTRY) {
            if (map != nullptr)
                rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), image->usedBits);
            for (uint32_t done = 0; rc == DISK_OK && pieceEmpty && done < n;) {
                const uint32_t m = n - done < kWorkSectors ? n - done : kWorkSectors;
                if (map == nullptr || Bits_AnySet(image->usedBits, done, m)) {
                    const uint64_t at =
                        StoredOffset(image, entry) + static_cast<uint64_t>(in + done) * 512;
                    if (!Stream_ReadAt(image->stream, at, m * 512, image->work)) {
                        rc = DISK_ERR_READ;
                        break;
                    }
                    for (uint32_t s = 0; s < m && pieceEmpty; s++) {
                        if ((map == nullptr || Bits_Test(image->usedBits, done + s)) &&
                            !Mem_IsZero(image->work + static_cast<size_t>(s) * 512, 512))
                            pieceEmpty = false;
                    }
                }
                done += m;
            }
        } else if (image->parent != nullptr) {
            rc = ParentEmpty(image->parent, map, first, n, &pieceEmpty, adapter, record);
        }
        if (rc != DISK_OK) return rc;
        if (!pieceEmpty) {
            *empty = false;
            return DISK_OK;
        }
        first += n;
        count -= n;
    }
    *empty = true;
    return DISK_OK;
}

int Vdi_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* out)
{
    VdiImage* image = static_cast<VdiImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t sectorsPerBlock = image->header.blockSize / 512;
    while (count != 0) {
        const uint32_t block = static_cast<uint32_t>(first / sectorsPerBlock);
        const uint32_t in = static_cast<uint32_t>(first % sectorsPerBlock);
        const uint32_t n = sectorsPerBlock - in < count ? sectorsPerBlock - in : count;
        if (image->blockMap[block] <= VDI_LAST_STORED_ENTRY) {
            if (map == nullptr) {
                *out = false;
                return DISK_OK;
            }
            int rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), image->usedBits);
            if (rc != DISK_OK) return rc;
            if (Bits_AnySet(image->usedBits, 0, n)) {
                *out = false;
                return DISK_OK;
            }
        }
        first += n;
        count -= n;
    }
    *out = true;
    return DISK_OK;
}

bool Vdi_CanCompact(void* object)
{
    const VdiImage* image = static_cast<const VdiImage*>(object);
    return image != nullptr && image->stream != nullptr && image->header.blockExtraSize == 0;
}

bool Vdi_HasParent(void* object)
{
    const VdiImage* image = static_cast<const VdiImage*>(object);
    return image != nullptr && image->parent != nullptr;
}

// ---- Writing ------------------------------------------------------------------------------

int Vdi_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || geometry->bytes_per_sector != 512) return -1;
    return Geometry_GetTotalSectors(geometry) < (1ull << 54) ? 0 : -1;
}

VdiCreateOptions* Vdi_AllocCreateOptions()
{
    VdiCreateOptions* o = static_cast<VdiCreateOptions*>(Mem_Alloc(sizeof(VdiCreateOptions)));
    if (o != nullptr) {
        o->headerVariant = 3;
        o->fixed = 0;
        o->dataAlignment = 0;
    }
    return o;
}

int Vdi_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
               ProgressCallback callback, void* user, const VdiCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr || options->headerVariant > 3 ||
        options->dataAlignment > 2)
        return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Vdi_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const uint64_t diskSize = total * 512;
    const uint64_t blocks64 = Math_DivCeilU64(diskSize, VDI_WRITE_BLOCK_BYTES);
    if (blocks64 > VDI_MAX_BLOCKS) return DISK_ERR_ARG;
    const uint32_t blocks = static_cast<uint32_t>(blocks64);

    VdiHeader h;
    std::memset(&h, 0, sizeof(h));
    static const char* const kBanners[4] = {
        "<<< InnoTek VirtualBox Disk Image >>>\n", "<<< Sun xVM VirtualBox Disk Image >>>\n",
        "<<< Sun VirtualBox Disk Image >>>\n", "<<< Oracle VM VirtualBox Disk Image >>>\n"};
    std::memcpy(h.banner, kBanners[options->headerVariant],
                std::strlen(kBanners[options->headerVariant]));
    h.signature = VDI_SIGNATURE;
    h.version = VDI_VERSION;
    h.headerSize = options->headerVariant == 0 ? 384 : 400;
    h.imageType = options->fixed ? VDI_TYPE_FIXED : VDI_TYPE_DYNAMIC;
    h.blockMapOffset = 512;
    const uint64_t m = 512 + 4ull * blocks;
    uint64_t dataOffset;
    if (options->dataAlignment == 1)
        dataOffset = 512 + Math_DivCeilU64(m - 512, 4096) * 4096;
    else if (options->dataAlignment == 2)
        dataOffset = Math_DivCeilU64(m, 4096) * 4096;
    else
        dataOffset = Math_DivCeilU64(m, 512) * 512;
    if (dataOffset > 0xFFFFFFFFull) return DISK_ERR_ARG;
    h.dataOffset = static_cast<uint32_t>(dataOffset);
    const uint64_t cylinders = g.heads != 0 && g.sectors_per_track != 0
                                   ? total / (static_cast<uint64_t>(g.heads) * g.sectors_per_track)
                                   : 0;
    h.legacyGeometry.cylinders =
        cylinders > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(cylinders);
    h.legacyGeometry.heads = g.heads;
    h.legacyGeometry.sectors = g.sectors_per_track;
    h.legacyGeometry.sectorSize = 512;
    h.reserved = options->headerVariant <= 1 ? 3 : 0;
    if (options->headerVariant == 1) h.logicalGeometry = h.legacyGeometry;
    if (options->headerVariant >= 2) {
        h.legacyGeometry.cylinders = h.legacyGeometry.heads = h.legacyGeometry.sectors = 0;
        h.logicalGeometry = VdiGeometry{1024, 255, 63, 512};
    }
    h.diskSize = diskSize;
    h.blockSize = VDI_WRITE_BLOCK_BYTES;
    h.blocks = blocks;
    Uuid_Generate(h.uuidImage);
    Uuid_Generate(h.uuidModification);

    // Header, map and the padding up to the data offset go out as one buffer.
    uint8_t* front = static_cast<uint8_t*>(Mem_Alloc(h.dataOffset));
    uint8_t* block = static_cast<uint8_t*>(Mem_Alloc(VDI_WRITE_BLOCK_BYTES));
    if (front == nullptr || block == nullptr) {
        Mem_Free(front);
        Mem_Free(block);
        return DISK_ERR_NOMEM;
    }
    std::memset(front, 0, h.dataOffset);
    uint32_t* blockMap = reinterpret_cast<uint32_t*>(front + h.blockMapOffset);
    for (uint32_t i = 0; i < blocks; i++) blockMap[i] = VDI_UNALLOCATED;

    ByteStream* out = nullptr;
    int rc = DISK_OK;
    if (!Stream_CreateFile(path, &out))
        rc = DISK_ERR_CREATE;
    else
        rc = WriteZeros(out, 0, h.dataOffset);
    if (rc == DISK_OK) {
        BlockWriter w = {out,   source,       map,
                         block, blockMap,     VDI_WRITE_BLOCK_BYTES,
                         0,     h.dataOffset, options->fixed != 0,
                         false};
        rc = WriteBlocks(&w, blocks, total, callback, user);
        if (rc == DISK_OK) {
            const uint32_t frontBytes = h.dataOffset;
            h.blocksAllocated = w.allocated;
            HeaderToDisk(&h);
            std::memcpy(front, &h, sizeof(h));
            Bytes_HostToLeArray32(blockMap, blocks);
            if (!Stream_WriteAt(out, 0, frontBytes, front)) rc = DISK_ERR_WRITE;
        }
    }
    rc = WriteKit_CloseOutput(out, false, rc);
    Mem_Free(front);
    Mem_Free(block);
    return rc;
}

// ---- Compaction ---------------------------------------------------------------------------

// DISK_ERR_FORMAT when two map entries name the same stored block. One bit per stored block
// (at most blocks / 8 bytes, the reader bounds every entry by the allocated count).
static int Vdi_CheckBlockMapUnshared(const VdiImage* image)
{
    const uint32_t allocated = image->header.blocksAllocated;
    uint8_t* seen = static_cast<uint8_t*>(Mem_Alloc(allocated / 8 + 1));
    if (seen == nullptr) return DISK_ERR_NOMEM;
    std::memset(seen, 0, allocated / 8 + 1);
    int rc = DISK_OK;
    for (uint32_t i = 0; i < image->header.blocks && rc == DISK_OK; i++) {
        const uint32_t entry = image->blockMap[i];
        if (entry > VDI_LAST_STORED_ENTRY) continue;
        if (entry >= allocated) {
            rc = Refusal_Record("VDI block map: entry points past the end of the file");
        } else {
            const uint8_t bit = static_cast<uint8_t>(1u << (entry & 7));
            if ((seen[entry >> 3] & bit) != 0)
                rc = Refusal_Record("VDI block map: two entries share a stored block");
            seen[entry >> 3] |= bit;
        }
    }
    Mem_Free(seen);
    return rc;
}

int Vdi_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                bool preallocate, ProgressCallback callback, void* user)
{
    if (output == nullptr || path == nullptr) return DISK_ERR_ARG;
    OutputFile_Init(output);
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_VDI ||
        Disk_GetObject(source) == nullptr || !Disk_CanCompact(source))
        return DISK_ERR_ARG;
    VdiImage* image = static_cast<VdiImage*>(Disk_GetObject(source));
    // A map whose entries share a stored block would have each of them stored on its own:
    // refused before anything is written.
    int rc = Vdi_CheckBlockMapUnshared(image);
    if (rc != DISK_OK) return rc;
    ChainFiles chain;
    CollectChainFiles(image, &chain);
    rc = OutputEntry_ChooseNames(&output->entry, path, CompactSuffix(),
                                 Path_DeleteSuffix(TEXT_ENC_UTF8), chain.paths, chain.count);
    if (rc != DISK_OK) return rc;
    const char* tempPath = reinterpret_cast<const char*>(output->entry.tempPath.data);

    VdiHeader h = image->header;
    const uint32_t blocks = h.blocks;
    uint8_t* front = static_cast<uint8_t*>(Mem_Alloc(h.dataOffset));
    uint8_t* block = static_cast<uint8_t*>(Mem_Alloc(h.blockSize));
    // The new map is built in host order in an array of its own: the file's map may start at any
    // offset, so it is stored into the front buffer entry by entry at the end.
    uint32_t* blockMap = static_cast<uint32_t*>(Mem_Alloc(blocks != 0 ? blocks * 4u : 4u));
    if (front == nullptr || block == nullptr || blockMap == nullptr) {
        Mem_Free(front);
        Mem_Free(block);
        Mem_Free(blockMap);
        return DISK_ERR_NOMEM;
    }
    std::memset(front, 0, h.dataOffset);
    for (uint32_t i = 0; i < blocks; i++) blockMap[i] = VDI_UNALLOCATED;

    ByteStream* out = nullptr;
    uint64_t sourceSize = 0;
    if (preallocate) {
        if (!Stream_GetSize(image->stream, &sourceSize))
            rc = DISK_ERR_SIZE;
        else if (!Stream_CreatePreallocated(tempPath, sourceSize, &out))
            rc = DISK_ERR_CREATE;
    } else if (!Stream_CreateFile(tempPath, &out)) {
        rc = DISK_ERR_CREATE;
    }
    if (rc == DISK_OK) {
        output->armed = true;
        rc = WriteZeros(out, 0, h.dataOffset);
    }
    if (rc == DISK_OK) {
        BlockWriter w = {out,         source, map,          block, blockMap,
                         h.blockSize, 0,      h.dataOffset, false, Vdi_HasParent(image)};
        rc = WriteBlocks(&w, blocks, Geometry_GetTotalSectors(&image->geometry), callback, user);
        if (rc == DISK_OK) {
            const uint32_t frontBytes = h.dataOffset;
            h.blocksAllocated = w.allocated;
            // The result is sparse: a fixed image becomes a dynamic one.
            if (h.imageType == VDI_TYPE_FIXED) h.imageType = VDI_TYPE_DYNAMIC;
            HeaderToDisk(&h);
            std::memcpy(front, &h, sizeof(h));
            for (uint32_t i = 0; i < blocks; i++)
                Bytes_StoreLe32(front + h.blockMapOffset + 4ull * i, blockMap[i]);
            if (!Stream_WriteAt(out, 0, frontBytes, front)) rc = DISK_ERR_WRITE;
        }
    }
    rc = WriteKit_CloseOutput(out, preallocate, rc);
    Mem_Free(front);
    Mem_Free(block);
    Mem_Free(blockMap);
    return rc;
}

int Vdi_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Commit(output, suffix, flags);
}

int Vdi_DiscardCompact(OutputFile* output)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Rollback(output);
}

OutputFile* Vdi_AllocOutputFile()
{
    void* p = Mem_Alloc(sizeof(OutputFile));
    return p != nullptr ? new (p) OutputFile : nullptr;
}

void Vdi_InitOutputFile(OutputFile* output) { OutputFile_Init(output); }
