// Bochs redolog and sparse images: open, read, the empty-range query and the writers.
#include "formats/bochs/bochs.h"

#include <cstring>

#include "disk/disk_open.h"
#include "disk/raw_writer.h"
#include "disk/writer_kit.h"
#include "foundation/output_file.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

const char kMagic[] = "Bochs Virtual HD Image";  // 22 characters and the terminator
const char kRedolog[] = "Redolog";
const char kGrowing[] = "Growing";
const char kUndoable[] = "Undoable";

inline bool UsedBit(const uint8_t* bits, uint32_t i) { return Bits_Test(bits, i); }

// Pieces in which an extent of the growing image is read.
const uint32_t kPieceSectors = 4096;

// The description beside the image must not be the image itself ("x.txt").
bool DescriptionIsImage(const char* path)
{
    const size_t length = std::strlen(path);
    if (length >= BOCHS_PATH_CAPACITY) return true;
    char dir[BOCHS_PATH_CAPACITY];
    char stem[BOCHS_PATH_CAPACITY];
    Path_SplitCStr(path, dir, stem, nullptr);
    const size_t d = std::strlen(dir), s = std::strlen(stem);
    if (d + s + 4 >= BOCHS_PATH_CAPACITY) return true;
    char txt[BOCHS_PATH_CAPACITY];
    std::memcpy(txt, dir, d);
    std::memcpy(txt + d, stem, s);
    std::memcpy(txt + d + s, ".txt", 5);
    return std::strcmp(txt, path) == 0 || Output_IsFileOf(txt, &path, 1);
}

uint32_t SourceTotal32(const DiskHandle* source, DiskGeometry* g)
{
    Disk_GetGeometry(source, g);
    return static_cast<uint32_t>(Geometry_GetTotalSectors(g));
}

// Reads [offset, offset + n) from the base or gives zeros.
int ReadBase(DiskHandle* base, uint64_t offset, uint32_t n, uint8_t* out)
{
    if (base == nullptr) {
        std::memset(out, 0, n);
        return DISK_OK;
    }
    return Disk_Read(base, offset, n, out);
}

}  // namespace

// ==== Redolog ====================================================================================

BochsImage* Bochs_Alloc() { return static_cast<BochsImage*>(Mem_Alloc(sizeof(BochsImage))); }

void Bochs_Init(BochsImage* image)
{
    std::memset(&image->geometry, 0, sizeof(image->geometry));
    image->stream = nullptr;
    std::memset(&image->header, 0, sizeof(image->header));
    image->catalog = nullptr;
    image->bitmap = nullptr;
    image->cachedExtent = -1;
    image->nextFreeExtent = 0;
    image->extentSectors = 0;
    image->bitmapSectors = 0;
    image->subtype = 0;
    image->base = nullptr;
}

void Bochs_CloseBase(void* object)
{
    BochsImage* image = static_cast<BochsImage*>(object);
    if (image == nullptr || image->base == nullptr) return;
    Disk_Close(image->base);
    Mem_Free(image->base);
    image->base = nullptr;
}

void Bochs_Close(void* object)
{
    BochsImage* image = static_cast<BochsImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    Bochs_CloseBase(image);
    Mem_Free(image->catalog);
    Mem_Free(image->bitmap);
    Bochs_Init(image);
}

// The fixed fields of the 512-byte redolog header (the disk size is taken by
// Bochs_CheckDiskSize, as it depends on the layout).
static void Bochs_HeaderToHost(const uint8_t* raw, BochsHeader* h)
{
    std::memcpy(h->magic, raw, 32);
    std::memcpy(h->type, raw + 32, 16);
    std::memcpy(h->subtype, raw + 48, 16);
    h->version = Bytes_LoadLe32(raw + 64);
    h->headerSize = Bytes_LoadLe32(raw + 68);
    h->catalogEntries = Bytes_LoadLe32(raw + 72);
    h->bitmapSize = Bytes_LoadLe32(raw + 76);
    h->extentSize = Bytes_LoadLe32(raw + 80);
}

// The redolog header rules; *subtype receives the growing or undoable subtype.
static int Bochs_CheckHeader(const BochsHeader& h, uint32_t* subtype)
{
    if (std::memcmp(h.magic, kMagic, sizeof(kMagic)) != 0)
        return Refusal_Record("Bochs header: no signature");
    if (std::memcmp(h.type, kRedolog, sizeof(kRedolog)) != 0)
        return Refusal_Record("Bochs header: not a redolog image");
    if (std::memcmp(h.subtype, kGrowing, sizeof(kGrowing)) == 0)
        *subtype = BOCHS_SUBTYPE_GROWING;
    else if (std::memcmp(h.subtype, kUndoable, sizeof(kUndoable)) == 0)
        *subtype = BOCHS_SUBTYPE_UNDOABLE;
    else
        return Refusal_Record("Bochs header: unknown redolog subtype");
    if (h.version != BOCHS_VERSION_1 && h.version != BOCHS_VERSION_2)
        return Refusal_Record("Bochs header: unknown version");
    if (h.catalogEntries == 0 || h.catalogEntries > BOCHS_MAX_CATALOG)
        return Refusal_Record("Bochs header: catalog size out of range");
    if (h.bitmapSize == 0 || h.bitmapSize > BOCHS_MAX_BITMAP)
        return Refusal_Record("Bochs header: bitmap size out of range");
    if (h.extentSize == 0 || h.extentSize % 512 != 0)
        return Refusal_Record("Bochs header: extent size is not a whole number of sectors");
    // Every sector of an extent has its bit in the bitmap.
    if (h.extentSize / 512 > static_cast<uint64_t>(h.bitmapSize) * 8)
        return Refusal_Record("Bochs header: bitmap too small for an extent");
    return DISK_OK;
}

// The disk size of one layout is taken when the catalog holds it, and no more than twice it.
static bool SizeFits(uint64_t size, uint64_t capacity)
{
    return size != 0 && size <= capacity && capacity / 2 < size;
}

// Takes the disk size into h->diskSize. The version names the layout; a file of the other
// layout under it is still read.
static int Bochs_CheckDiskSize(const uint8_t* raw, BochsHeader* h)
{
    const uint64_t capacity = static_cast<uint64_t>(h->extentSize) * h->catalogEntries;
    const uint64_t v1 = Bytes_LoadLe64(raw + 84), v2 = Bytes_LoadLe64(raw + 88);
    const uint64_t first = h->version == BOCHS_VERSION_1 ? v1 : v2;
    const uint64_t second = h->version == BOCHS_VERSION_1 ? v2 : v1;
    if (first % 512 == 0 && first <= capacity && first != 0)
        h->diskSize = first;
    else if (second % 512 == 0 && SizeFits(second, capacity))
        h->diskSize = second;
    else
        return Refusal_Record("Bochs header: disk size does not fit the catalog");
    return DISK_OK;
}

int Bochs_OpenWithHandler(BochsImage* image, const FileOpener* opener, const char* path,
                          bool readOnly)
{
    if (image == nullptr || path == nullptr) return DISK_ERR_ARG;
    int r = FileOpener_Open(opener != nullptr ? opener : &FileOpener_Default, path, readOnly,
                            &image->stream);
    if (r != DISK_OK) {
        image->stream = nullptr;
        return r;
    }
    uint8_t raw[BOCHS_HEADER_BYTES];
    if (!Stream_ReadAt(image->stream, 0, sizeof(raw), raw)) r = DISK_ERR_READ;
    BochsHeader& h = image->header;
    if (r == DISK_OK) {
        Bochs_HeaderToHost(raw, &h);
        r = Bochs_CheckHeader(h, &image->subtype);
    }
    if (r == DISK_OK) {
        image->extentSectors = h.extentSize / 512;
        image->bitmapSectors = static_cast<uint32_t>(Math_DivCeilU64(h.bitmapSize, 512));
        r = Bochs_CheckDiskSize(raw, &h);
    }
    if (r == DISK_OK) {
        image->catalog = static_cast<uint32_t*>(Mem_Alloc(h.catalogEntries * 4));
        image->bitmap = static_cast<uint8_t*>(Mem_Alloc(image->bitmapSectors * 512));
        if (image->catalog == nullptr || image->bitmap == nullptr)
            r = DISK_ERR_NOMEM;
        else if (!Stream_ReadAt(image->stream, h.headerSize, h.catalogEntries * 4, image->catalog))
            r = DISK_ERR_READ;
    }
    if (r == DISK_OK) {
        Bytes_LeToHostArray32(image->catalog, h.catalogEntries);
        for (uint32_t i = 0; i < h.catalogEntries; i++) {
            const uint32_t e = image->catalog[i];
            if (e != BOCHS_UNSTORED && e + 1 > image->nextFreeExtent) image->nextFreeExtent = e + 1;
        }
        image->cachedExtent = -1;
        Geometry_SetTotalSectors(&image->geometry, h.diskSize / 512);
        image->geometry.bytes_per_sector = 512;
        image->geometry.heads = 16;
        image->geometry.sectors_per_track = 63;
    }
    if (r != DISK_OK) Bochs_Close(image);
    return r;
}

int Bochs_Open(BochsImage* image, const char* path, bool readOnly)
{
    return Bochs_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}

int Disk_OpenBochsWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    BochsImage* image = Bochs_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Bochs_Init(image);
    int r = Bochs_OpenWithHandler(image, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(image);
        return r;
    }
    handle->kind = DISK_KIND_BOCHS_REDOLOG;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenBochs(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenBochsWithHandler(handle, &FileOpener_Default, path, readOnly);
}

void Bochs_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<const BochsImage*>(object)->geometry;
}

void Bochs_SetGeometry(void* object, uint32_t heads, uint32_t sectorsPerTrack)
{
    DiskGeometry* g = static_cast<DiskGeometry*>(object);
    if (g == nullptr) return;
    g->heads = heads;
    g->sectors_per_track = sectorsPerTrack;
}

bool Bochs_IsUndoable(void* object)
{
    const BochsImage* image = static_cast<const BochsImage*>(object);
    return image != nullptr && image->subtype == BOCHS_SUBTYPE_UNDOABLE;
}

int Bochs_OpenBaseWithHandler(void* object, const FileOpener* opener, const char* path)
{
    BochsImage* image = static_cast<BochsImage*>(object);
    if (image == nullptr || path == nullptr) return DISK_ERR_ARG;
    DiskHandle* base = Disk_Alloc();
    if (base == nullptr) return DISK_ERR_NOMEM;
    Disk_Init(base);
    int r = Disk_OpenRawWithHandler(base, opener != nullptr ? opener : &FileOpener_Default, path,
                                    true, 0, &image->geometry);
    if (r != DISK_OK) {
        Mem_Free(base);
        return r;
    }
    Bochs_CloseBase(image);
    image->base = base;
    return DISK_OK;
}

int Bochs_OpenBase(void* object, const char* path)
{
    return Bochs_OpenBaseWithHandler(object, &FileOpener_Default, path);
}

static uint64_t BlockOffset(const BochsImage* image, uint32_t entry)
{
    return static_cast<uint64_t>(image->header.headerSize) + 4ull * image->header.catalogEntries +
           static_cast<uint64_t>(entry) * (image->bitmapSectors + image->extentSectors) * 512;
}

static int LoadBitmap(BochsImage* image, uint32_t extent)
{
    if (image->cachedExtent == static_cast<int64_t>(extent)) return DISK_OK;
    image->cachedExtent = -1;
    if (!Stream_ReadAt(image->stream, BlockOffset(image, image->catalog[extent]),
                       image->bitmapSectors * 512, image->bitmap))
        return DISK_ERR_READ;
    image->cachedExtent = extent;
    return DISK_OK;
}

int Bochs_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    BochsImage* image = static_cast<BochsImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t extentSize = image->header.extentSize;
    while (length != 0) {
        const uint32_t extent = static_cast<uint32_t>(offset / extentSize);
        const uint32_t in = static_cast<uint32_t>(offset % extentSize);
        const uint32_t n = extentSize - in < length ? extentSize - in : length;
        int rc = DISK_OK;
        if (image->catalog[extent] == BOCHS_UNSTORED) {
            rc = ReadBase(image->base, offset, n, out);
        } else if ((rc = LoadBitmap(image, extent)) == DISK_OK) {
            const uint64_t data =
                BlockOffset(image, image->catalog[extent]) + image->bitmapSectors * 512ull;
            // Runs of sectors with the same bit.
            uint32_t done = 0;
            while (rc == DISK_OK && done < n) {
                const uint32_t sector = (in + done) / 512;
                const bool stored = UsedBit(image->bitmap, sector);
                uint32_t end = done + (512 - (in + done) % 512);
                while (end < n && UsedBit(image->bitmap, (in + end) / 512) == stored) end += 512;
                if (end > n) end = n;
                if (stored) {
                    if (!Stream_ReadAt(image->stream, data + in + done, end - done, out + done))
                        rc = DISK_ERR_READ;
                } else {
                    rc = ReadBase(image->base, offset + done, end - done, out + done);
                }
                done = end;
            }
        }
        if (rc != DISK_OK) return rc;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int Bochs_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    BochsImage* image = static_cast<BochsImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry) ||
        !Geometry_FitsIn32Bits(&image->geometry))
        return DISK_ERR_ARG;
    const uint32_t perExtent = image->extentSectors;
    uint8_t* used = nullptr;
    if (map != nullptr) {
        used = static_cast<uint8_t*>(Mem_Alloc(perExtent / 8 + 1));
        if (used == nullptr) return DISK_ERR_NOMEM;
    }
    uint8_t sector[512];
    int rc = DISK_OK;
    bool isEmpty = true;
    while (rc == DISK_OK && isEmpty && count != 0) {
        const uint32_t extent = static_cast<uint32_t>(first / perExtent);
        const uint32_t in = static_cast<uint32_t>(first % perExtent);
        const uint32_t n = perExtent - in < count ? perExtent - in : count;
        if (image->catalog[extent] == BOCHS_UNSTORED) {
            if (image->base != nullptr)
                rc = Disk_IsRangeEmpty(image->base, map, first, n, &isEmpty, adapter, record);
        } else {
            if (map != nullptr) rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), used);
            const uint64_t data =
                BlockOffset(image, image->catalog[extent]) + image->bitmapSectors * 512ull;
            for (uint32_t i = 0; rc == DISK_OK && isEmpty && i < n; i++) {
                if (used != nullptr && !UsedBit(used, i)) continue;
                if ((rc = LoadBitmap(image, extent)) != DISK_OK) break;
                if (UsedBit(image->bitmap, in + i)) {
                    if (!Stream_ReadAt(image->stream, data + (in + i) * 512ull, 512, sector))
                        rc = DISK_ERR_READ;
                    else
                        isEmpty = Mem_IsZero(sector, 512);
                } else if (image->base != nullptr) {
                    rc = Disk_IsRangeEmpty(image->base, map, first + i, 1, &isEmpty, adapter,
                                           record);
                }
            }
        }
        first += n;
        count -= n;
    }
    Mem_Free(used);
    if (rc == DISK_OK) *empty = isEmpty;
    return rc;
}

int Bochs_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || geometry->bytes_per_sector != 512) return -1;
    return Geometry_FitsIn32Bits(geometry) ? 0 : -1;
}

BochsCreateOptions* Bochs_AllocCreateOptions()
{
    BochsCreateOptions* o = static_cast<BochsCreateOptions*>(Mem_Alloc(sizeof(BochsCreateOptions)));
    if (o != nullptr) o->version = BOCHS_VERSION_2;
    return o;
}

int Bochs_WriteBody(const BochsBodyWriter* writer, const DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback callback, void* user)
{
    if (writer == nullptr || writer->out == nullptr || source == nullptr) return DISK_ERR_ARG;
    ByteStream* out = writer->out;
    const uint32_t total = writer->total;
    const uint32_t catalog = writer->catalog;
    const uint32_t bitmapSectors = writer->bitmapSectors;
    const uint32_t extentSectors = writer->extentSectors;
    const uint32_t catalogBytes = catalog * 4;
    const uint32_t pieceSectors = extentSectors < kPieceSectors ? extentSectors : kPieceSectors;
    uint32_t* table = static_cast<uint32_t*>(Mem_Alloc(catalogBytes));
    uint8_t* bits = static_cast<uint8_t*>(Mem_Alloc(bitmapSectors * 512));
    uint8_t* data = static_cast<uint8_t*>(Mem_Alloc(pieceSectors * 512));
    int rc = DISK_OK;
    if (table == nullptr || bits == nullptr || data == nullptr || extentSectors == 0 ||
        extentSectors > bitmapSectors * 512ull * 8)
        rc = table == nullptr || bits == nullptr || data == nullptr ? DISK_ERR_NOMEM : DISK_ERR_ARG;
    if (rc == DISK_OK) {
        for (uint32_t i = 0; i < catalog; i++) table[i] = BOCHS_UNSTORED;
        if (!Stream_WriteAt(out, BOCHS_HEADER_BYTES, catalogBytes, table)) rc = DISK_ERR_WRITE;
    }
    if (rc == DISK_OK && !WriteKit_Progress(callback, user, 0, total)) rc = DISK_CANCELLED;
    const uint64_t blockBytes = static_cast<uint64_t>(bitmapSectors + extentSectors) * 512;
    uint64_t position = BOCHS_HEADER_BYTES + static_cast<uint64_t>(catalogBytes);
    uint32_t written = 0;
    // Each extent is read once, piece by piece: the pieces serve the zero test, the bitmap of
    // non-zero sectors and the copy. An extent that reads as zeros is not stored.
    WriterBlockPlacer placer = {out, 0, false, WRITER_HOLES_NONE};
    if (rc == DISK_OK) {
        rc = WriterKit_Walk(
            source, map, 0, total, extentSectors, data, pieceSectors,
            [&](const WriterPiece& p) -> int {
                if (p.block >= catalog) return DISK_ERR_ARG;
                if (p.offset == 0) {
                    std::memset(bits, 0, bitmapSectors * 512);
                    placer = WriterBlockPlacer{out, position + bitmapSectors * 512ull, false,
                                               WRITER_HOLES_NONE};
                }
                if (!p.zero) {
                    for (uint32_t i = 0; i < p.count; i++) {
                        const uint32_t sector = p.offset + i;
                        if (!Mem_IsZero(p.data + static_cast<size_t>(i) * 512, 512))
                            bits[sector >> 3] |= static_cast<uint8_t>(1u << (sector & 7));
                    }
                }
                int r = WriterKit_PlacePiece(&placer, &p);
                if (r == DISK_OK && p.lastOfBlock && placer.placed) {
                    if (p.blockCount < extentSectors)
                        r = WriteKit_WriteZeros(out, placer.at + p.blockCount * 512ull,
                                                (extentSectors - p.blockCount) * 512ull);
                    if (r == DISK_OK && !Stream_WriteAt(out, position, bitmapSectors * 512, bits))
                        r = DISK_ERR_WRITE;
                    table[p.block] = Bytes_HostToLe32(written++);
                    position += blockBytes;
                }
                if (r == DISK_OK && !WriteKit_Progress(callback, user, p.first + p.count, total))
                    r = DISK_CANCELLED;
                return r;
            });
    }
    if (rc == DISK_OK && !Stream_WriteAt(out, BOCHS_HEADER_BYTES, catalogBytes, table))
        rc = DISK_ERR_WRITE;
    Mem_Free(table);
    Mem_Free(bits);
    Mem_Free(data);
    return rc;
}

int Bochs_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback callback, void* user, const BochsCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr ||
        (options->version != BOCHS_VERSION_1 && options->version != BOCHS_VERSION_2))
        return DISK_ERR_ARG;
    DiskGeometry g = {};
    const uint32_t total = SourceTotal32(source, &g);
    if (Bochs_CheckGeometry(&g) != 0 || total == 0 || DescriptionIsImage(path)) return DISK_ERR_ARG;
    uint64_t catalog = 512, bitmap = 1;
    for (uint32_t step = 0; catalog * bitmap * 4096 < static_cast<uint64_t>(total) * 512; step++) {
        if (step % 2 == 0)
            bitmap *= 2;
        else
            catalog *= 2;
    }
    const uint32_t extentSectors = static_cast<uint32_t>(bitmap * 8);
    const uint32_t bitmapSectors = static_cast<uint32_t>(Math_DivCeilU64(bitmap, 512));

    uint8_t header[BOCHS_HEADER_BYTES] = {};
    std::memcpy(header, kMagic, sizeof(kMagic));
    std::memcpy(header + 32, kRedolog, sizeof(kRedolog));
    std::memcpy(header + 48, kGrowing, sizeof(kGrowing));
    Bytes_StoreLe32(header + 64, options->version);
    Bytes_StoreLe32(header + 68, BOCHS_HEADER_BYTES);
    Bytes_StoreLe32(header + 72, static_cast<uint32_t>(catalog));
    Bytes_StoreLe32(header + 76, static_cast<uint32_t>(bitmap));
    Bytes_StoreLe32(header + 80, extentSectors * 512);
    if (options->version == BOCHS_VERSION_1) {
        Bytes_StoreLe64(header + 84, static_cast<uint64_t>(total) * 512);
    } else {
        Bytes_StoreLe32(header + 84, Time_NowFatDateTime());
        Bytes_StoreLe64(header + 88, static_cast<uint64_t>(total) * 512);
    }

    ByteStream* out = nullptr;
    if (!Stream_CreateFile(path, &out)) return DISK_ERR_CREATE;
    // The header goes out last (until then its place is a hole that reads as zeros): an output
    // that was cancelled or failed is not taken for an image.
    const BochsBodyWriter writer = {out, total, static_cast<uint32_t>(catalog), bitmapSectors,
                                    extentSectors};
    int rc = Bochs_WriteBody(&writer, source, map, callback, user);
    if (rc == DISK_OK && !Stream_WriteAt(out, 0, sizeof(header), header)) rc = DISK_ERR_WRITE;
    if (!Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
    if (rc != DISK_OK) return rc;
    return FlatImage_WriteTxtFile(path, &g, "growing");
}

// ==== Sparse ====================================================================================

BochsSparseImage* BochsSparse_Alloc()
{
    return static_cast<BochsSparseImage*>(Mem_Alloc(sizeof(BochsSparseImage)));
}

void BochsSparse_Init(BochsSparseImage* image)
{
    std::memset(&image->geometry, 0, sizeof(image->geometry));
    image->stream = nullptr;
    std::memset(&image->header, 0, sizeof(image->header));
    image->table = nullptr;
    image->nextFreePage = 0;
    image->dataStart = 0;
    image->parent = nullptr;
}

void BochsSparse_Close(void* object)
{
    BochsSparseImage* image = static_cast<BochsSparseImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    if (image->parent != nullptr) {
        Disk_Close(image->parent);
        Mem_Free(image->parent);
    }
    Mem_Free(image->table);
    BochsSparse_Init(image);
}

// The image one digit down ("disk3" reads absent pages from "disk2").
static int OpenSparseParent(BochsSparseImage* image, const char* path)
{
    const size_t length = std::strlen(path);
    if (length == 0) return DISK_OK;
    const char last = path[length - 1];
    if (last < '1' || last > '9') return DISK_OK;
    if (length >= BOCHS_PATH_CAPACITY)
        return Refusal_Record("Bochs sparse chain: parent path too long");
    char parentPath[BOCHS_PATH_CAPACITY];
    std::memcpy(parentPath, path, length + 1);
    parentPath[length - 1] = static_cast<char>(last - 1);
    DiskHandle* parent = Disk_Alloc();
    if (parent == nullptr) return DISK_ERR_NOMEM;
    Disk_Init(parent);
    int r = Disk_OpenByKind(parent, parentPath, true, DISK_KIND_BOCHS_SPARSE);
    if (r != DISK_OK) {
        Mem_Free(parent);
        return r == DISK_ERR_OPEN ? DISK_OK : r;
    }
    DiskGeometry g = {};
    Disk_GetGeometry(parent, &g);
    if (g.bytes_per_sector != image->geometry.bytes_per_sector ||
        Geometry_GetTotalSectors(&g) != Geometry_GetTotalSectors(&image->geometry)) {
        Disk_Close(parent);
        Mem_Free(parent);
        return Refusal_Record("Bochs sparse chain: parent has another disk size");
    }
    image->parent = parent;
    return DISK_OK;
}

static void BochsSparse_HeaderToHost(const uint8_t* raw, BochsSparseHeader* h)
{
    h->magic = Bytes_LoadLe32(raw);
    h->version = Bytes_LoadLe32(raw + 4);
    h->pageSize = Bytes_LoadLe32(raw + 8);
    h->pages = Bytes_LoadLe32(raw + 12);
    h->diskSize = h->version == 2 ? Bytes_LoadLe64(raw + 16) : 0;
}

static int BochsSparse_CheckHeader(const BochsSparseHeader& h)
{
    if (h.magic != BOCHS_SPARSE_MAGIC) return Refusal_Record("Bochs sparse header: no signature");
    if (h.version != 1 && h.version != 2)
        return Refusal_Record("Bochs sparse header: unknown version");
    // Pages of whole sectors: at least 512 bytes, a power of two.
    if (h.pageSize < 512 || (h.pageSize & (h.pageSize - 1)) != 0)
        return Refusal_Record("Bochs sparse header: page size out of range");
    if (h.pages == 0 || h.pages > BOCHS_SPARSE_MAX_PAGES)
        return Refusal_Record("Bochs sparse header: page count out of range");
    const uint64_t capacity = static_cast<uint64_t>(h.pageSize) * h.pages;
    if (h.version == 2 && capacity < h.diskSize)
        return Refusal_Record("Bochs sparse header: pages do not cover the disk size");
    return DISK_OK;
}

int BochsSparse_OpenWithHandler(BochsSparseImage* image, const FileOpener* opener, const char* path,
                                bool readOnly)
{
    if (image == nullptr || path == nullptr) return DISK_ERR_ARG;
    int r = FileOpener_Open(opener != nullptr ? opener : &FileOpener_Default, path, readOnly,
                            &image->stream);
    if (r != DISK_OK) {
        image->stream = nullptr;
        return r;
    }
    uint8_t raw[BOCHS_SPARSE_HEADER_BYTES];
    BochsSparseHeader& h = image->header;
    if (!Stream_ReadAt(image->stream, 0, sizeof(raw), raw)) r = DISK_ERR_READ;
    if (r == DISK_OK) {
        BochsSparse_HeaderToHost(raw, &h);
        r = BochsSparse_CheckHeader(h);
    }
    if (r == DISK_OK) {
        image->dataStart =
            Math_DivCeilU64(BOCHS_SPARSE_HEADER_BYTES + 4ull * h.pages, h.pageSize) * h.pageSize;
        image->table = static_cast<uint32_t*>(Mem_Alloc(h.pages * 4));
        if (image->table == nullptr)
            r = DISK_ERR_NOMEM;
        else if (!Stream_ReadAt(image->stream, BOCHS_SPARSE_HEADER_BYTES, h.pages * 4,
                                image->table))
            r = DISK_ERR_READ;
    }
    if (r == DISK_OK) {
        Bytes_LeToHostArray32(image->table, h.pages);
        for (uint32_t i = 0; i < h.pages; i++) {
            const uint32_t e = image->table[i];
            if (e != BOCHS_UNSTORED && e + 1 > image->nextFreePage) image->nextFreePage = e + 1;
        }
        const uint64_t total =
            h.version == 1 ? static_cast<uint64_t>(h.pages) * (h.pageSize / 512) : h.diskSize / 512;
        Geometry_SetTotalSectors(&image->geometry, total);
        image->geometry.bytes_per_sector = 512;
        image->geometry.heads = 16;
        image->geometry.sectors_per_track = 63;
        r = OpenSparseParent(image, path);
    }
    if (r != DISK_OK) BochsSparse_Close(image);
    return r;
}

int BochsSparse_Open(BochsSparseImage* image, const char* path, bool readOnly)
{
    return BochsSparse_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}

int Disk_OpenBochsSparseWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                    bool readOnly)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    BochsSparseImage* image = BochsSparse_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    BochsSparse_Init(image);
    int r = BochsSparse_OpenWithHandler(image, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(image);
        return r;
    }
    handle->kind = DISK_KIND_BOCHS_SPARSE;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenBochsSparse(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenBochsSparseWithHandler(handle, &FileOpener_Default, path, readOnly);
}

void BochsSparse_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<const BochsSparseImage*>(object)->geometry;
}

void BochsSparse_SetGeometry(void* object, uint32_t heads, uint32_t sectorsPerTrack)
{
    Bochs_SetGeometry(object, heads, sectorsPerTrack);
}

int BochsSparse_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    BochsSparseImage* image = static_cast<BochsSparseImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t pageSize = image->header.pageSize;
    while (length != 0) {
        const uint64_t page = offset / pageSize;
        const uint32_t in = static_cast<uint32_t>(offset % pageSize);
        const uint32_t n = pageSize - in < length ? pageSize - in : length;
        // A version-1 image may claim more sectors than its table covers: those read as zeros.
        const uint32_t entry = page < image->header.pages ? image->table[page] : BOCHS_UNSTORED;
        int rc = DISK_OK;
        if (entry != BOCHS_UNSTORED) {
            if (!Stream_ReadAt(image->stream,
                               image->dataStart + static_cast<uint64_t>(entry) * pageSize + in, n,
                               out))
                rc = DISK_ERR_READ;
        } else {
            rc = ReadBase(image->parent, offset, n, out);
        }
        if (rc != DISK_OK) return rc;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int BochsSparse_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    BochsSparseImage* image = static_cast<BochsSparseImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry) ||
        !Geometry_FitsIn32Bits(&image->geometry))
        return DISK_ERR_ARG;
    const uint32_t perPage = image->header.pageSize / 512;
    uint8_t* used = nullptr;
    if (map != nullptr) {
        used = static_cast<uint8_t*>(Mem_Alloc(perPage / 8 + 1));
        if (used == nullptr) return DISK_ERR_NOMEM;
    }
    uint8_t sector[512];
    int rc = DISK_OK;
    bool isEmpty = true;
    while (rc == DISK_OK && isEmpty && count != 0) {
        const uint64_t page = first / perPage;
        const uint32_t in = static_cast<uint32_t>(first % perPage);
        const uint32_t n = perPage - in < count ? perPage - in : count;
        const uint32_t entry = page < image->header.pages ? image->table[page] : BOCHS_UNSTORED;
        if (entry == BOCHS_UNSTORED) {
            if (image->parent != nullptr)
                rc = Disk_IsRangeEmpty(image->parent, map, first, n, &isEmpty, adapter, record);
        } else {
            if (map != nullptr) rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), used);
            const uint64_t at =
                image->dataStart + static_cast<uint64_t>(entry) * image->header.pageSize;
            for (uint32_t i = 0; rc == DISK_OK && isEmpty && i < n; i++) {
                if (used != nullptr && !UsedBit(used, i)) continue;
                if (!Stream_ReadAt(image->stream, at + (in + i) * 512ull, 512, sector))
                    rc = DISK_ERR_READ;
                else
                    isEmpty = Mem_IsZero(sector, 512);
            }
        }
        first += n;
        count -= n;
    }
    Mem_Free(used);
    if (rc == DISK_OK) *empty = isEmpty;
    return rc;
}

int BochsSparse_CheckGeometry(const DiskGeometry* geometry)
{
    return Bochs_CheckGeometry(geometry);
}

BochsSparseCreateOptions* BochsSparse_AllocCreateOptions()
{
    BochsSparseCreateOptions* o =
        static_cast<BochsSparseCreateOptions*>(Mem_Alloc(sizeof(BochsSparseCreateOptions)));
    if (o != nullptr) o->version = 2;
    return o;
}

int BochsSparse_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                       ProgressCallback callback, void* user,
                       const BochsSparseCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr ||
        (options->version != 1 && options->version != 2))
        return DISK_ERR_ARG;
    DiskGeometry g = {};
    const uint32_t total = SourceTotal32(source, &g);
    if (BochsSparse_CheckGeometry(&g) != 0 || total == 0 || DescriptionIsImage(path))
        return DISK_ERR_ARG;
    const uint32_t perPage = BOCHS_SPARSE_WRITE_PAGE / 512;
    const uint32_t pages = static_cast<uint32_t>(Math_DivCeilU64(total, perPage));
    const uint64_t dataStart =
        Math_DivCeilU64(BOCHS_SPARSE_HEADER_BYTES + 4ull * pages, BOCHS_SPARSE_WRITE_PAGE) *
        BOCHS_SPARSE_WRITE_PAGE;
    const uint32_t tableBytes = static_cast<uint32_t>(dataStart - BOCHS_SPARSE_HEADER_BYTES);

    uint8_t header[BOCHS_SPARSE_HEADER_BYTES] = {};
    Bytes_StoreLe32(header, BOCHS_SPARSE_MAGIC);
    Bytes_StoreLe32(header + 4, options->version);
    Bytes_StoreLe32(header + 8, BOCHS_SPARSE_WRITE_PAGE);
    Bytes_StoreLe32(header + 12, pages);
    if (options->version != 1) Bytes_StoreLe64(header + 16, static_cast<uint64_t>(total) * 512);

    uint8_t* table = static_cast<uint8_t*>(Mem_Alloc(tableBytes));
    uint8_t* data = static_cast<uint8_t*>(Mem_Alloc(BOCHS_SPARSE_WRITE_PAGE));
    ByteStream* out = nullptr;
    int rc = DISK_OK;
    if (table == nullptr || data == nullptr)
        rc = DISK_ERR_NOMEM;
    else if (!Stream_CreateFile(path, &out))
        rc = DISK_ERR_CREATE;
    if (rc == DISK_OK) {
        std::memset(table, 0, tableBytes);
        for (uint32_t i = 0; i < pages; i++) Bytes_StoreLe32(table + 4ull * i, BOCHS_UNSTORED);
        // The header is written last, as for the growing image.
        if (!Stream_WriteAt(out, BOCHS_SPARSE_HEADER_BYTES, tableBytes, table)) rc = DISK_ERR_WRITE;
    }
    if (rc == DISK_OK && !WriteKit_Progress(callback, user, 0, total)) rc = DISK_CANCELLED;
    uint32_t written = 0;
    for (uint32_t p = 0; rc == DISK_OK && p < pages; p++) {
        const uint64_t first = static_cast<uint64_t>(p) * perPage;
        const uint32_t n = total - first < perPage ? static_cast<uint32_t>(total - first) : perPage;
        // One read serves the zero test and the copy; a page of zeros is not stored.
        WriterPiece piece;
        rc = WriterKit_ReadPiece(source, map, first, n, data, &piece);
        if (rc == DISK_OK && !piece.zero) {
            std::memset(data + static_cast<size_t>(n) * 512, 0,
                        static_cast<size_t>(perPage - n) * 512);
            if (!Stream_WriteAt(
                    out, dataStart + static_cast<uint64_t>(written) * BOCHS_SPARSE_WRITE_PAGE,
                    BOCHS_SPARSE_WRITE_PAGE, data))
                rc = DISK_ERR_WRITE;
            Bytes_StoreLe32(table + 4ull * p, written++);
        }
        if (rc == DISK_OK && !WriteKit_Progress(callback, user, first + n, total))
            rc = DISK_CANCELLED;
    }
    if (rc == DISK_OK && !Stream_WriteAt(out, BOCHS_SPARSE_HEADER_BYTES, tableBytes, table))
        rc = DISK_ERR_WRITE;
    if (rc == DISK_OK && !Stream_WriteAt(out, 0, sizeof(header), header)) rc = DISK_ERR_WRITE;
    if (out != nullptr && !Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
    Mem_Free(table);
    Mem_Free(data);
    if (rc != DISK_OK) return rc;
    return FlatImage_WriteTxtFile(path, &g, "sparse");
}
