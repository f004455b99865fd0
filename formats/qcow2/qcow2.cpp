// qcow2 reading.
#include "formats/qcow2/qcow2.h"

#include <cstring>

#include "disk/disk_open.h"
#include "volume/used_map.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/zlib_stream.h"

namespace {

const uint64_t kL1OffsetMask = 0x00FFFFFFFFFFFE00ull;
const uint64_t kL2OffsetMask = 0x00FFFFFFFFFFFE00ull;
const uint64_t kCompressedFlag = 1ull << 62;

// Depth of the backing chain being opened on this thread.
thread_local uint32_t g_chainDepth = 0;

// A range [offset, offset + length) lies inside a file of the size.
bool InsideFile(uint64_t offset, uint64_t length, uint64_t fileSize)
{
    uint64_t end;
    return Math_AddU64(offset, length, &end) && end <= fileSize;
}

bool IsValidUtf8(const uint8_t* p, uint32_t n)
{
    uint32_t i = 0;
    while (i < n) {
        uint32_t l = Text_ValidCharLength(p + i, n - i, TEXT_ENC_UTF8);
        if (l == 0) return false;
        i += l;
    }
    return true;
}

char* CopyPath(const char* path)
{
    size_t n = strlen(path);
    if (n >= 0xFFFFFFF0u) return nullptr;
    char* p = static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(n + 1)));
    if (p != nullptr) memcpy(p, path, n + 1);
    return p;
}

}  // namespace

// ---- Header ------------------------------------------------------------------------------

void Qcow2_HeaderToHost(const uint8_t b[QCOW2_HEADER_BYTES], Qcow2Header* h)
{
    h->magic = Bytes_LoadBe32(b + 0);
    h->version = Bytes_LoadBe32(b + 4);
    h->backingNameOffset = Bytes_LoadBe64(b + 8);
    h->backingNameLength = Bytes_LoadBe32(b + 16);
    h->clusterBits = Bytes_LoadBe32(b + 20);
    h->virtualSize = Bytes_LoadBe64(b + 24);
    h->cryptMethod = Bytes_LoadBe32(b + 32);
    h->l1Size = Bytes_LoadBe32(b + 36);
    h->l1Offset = Bytes_LoadBe64(b + 40);
    h->refcountTableOffset = Bytes_LoadBe64(b + 48);
    h->refcountTableClusters = Bytes_LoadBe32(b + 56);
    h->snapshotCount = Bytes_LoadBe32(b + 60);
    h->snapshotTableOffset = Bytes_LoadBe64(b + 64);
    h->incompatibleFeatures = Bytes_LoadBe64(b + 72);
    h->compatibleFeatures = Bytes_LoadBe64(b + 80);
    h->autoclearFeatures = Bytes_LoadBe64(b + 88);
    h->refcountOrder = Bytes_LoadBe32(b + 96);
    h->headerLength = Bytes_LoadBe32(b + 100);
}

void Qcow2_HeaderToDisk(const Qcow2Header* h, uint8_t b[QCOW2_HEADER_BYTES])
{
    Bytes_StoreBe32(b + 0, h->magic);
    Bytes_StoreBe32(b + 4, h->version);
    Bytes_StoreBe64(b + 8, h->backingNameOffset);
    Bytes_StoreBe32(b + 16, h->backingNameLength);
    Bytes_StoreBe32(b + 20, h->clusterBits);
    Bytes_StoreBe64(b + 24, h->virtualSize);
    Bytes_StoreBe32(b + 32, h->cryptMethod);
    Bytes_StoreBe32(b + 36, h->l1Size);
    Bytes_StoreBe64(b + 40, h->l1Offset);
    Bytes_StoreBe64(b + 48, h->refcountTableOffset);
    Bytes_StoreBe32(b + 56, h->refcountTableClusters);
    Bytes_StoreBe32(b + 60, h->snapshotCount);
    Bytes_StoreBe64(b + 64, h->snapshotTableOffset);
    Bytes_StoreBe64(b + 72, h->incompatibleFeatures);
    Bytes_StoreBe64(b + 80, h->compatibleFeatures);
    Bytes_StoreBe64(b + 88, h->autoclearFeatures);
    Bytes_StoreBe32(b + 96, h->refcountOrder);
    Bytes_StoreBe32(b + 100, h->headerLength);
}

int Qcow2_CheckHeader(const Qcow2Header* h, uint64_t fileSize, uint32_t* clusterSize,
                      uint64_t* l2Coverage)
{
    if (h->magic != QCOW2_MAGIC) return Refusal_Record("qcow2 header: no signature");
    if (h->version != 2 && h->version != 3)
        return Refusal_Record("qcow2 header: version is not 2 or 3");
    if (h->clusterBits < QCOW2_MIN_CLUSTER_BITS || h->clusterBits > QCOW2_MAX_CLUSTER_BITS)
        return Refusal_Record("qcow2 header: cluster bits out of range");
    const uint32_t cluster = 1u << h->clusterBits;
    const uint64_t coverage = uint64_t(cluster) * (cluster / 8);
    if (h->backingNameOffset != 0) {
        if (h->backingNameLength > QCOW2_MAX_BACKING_NAME)
            return Refusal_Record("qcow2 header: backing file name too long");
        if (!InsideFile(h->backingNameOffset, h->backingNameLength, fileSize))
            return Refusal_Record("qcow2 header: backing file name past the end of the file");
    }
    if (h->cryptMethod > QCOW2_CRYPT_LUKS)
        return Refusal_Record("qcow2 header: unknown encryption method");
    if (uint64_t(h->l1Size) * 8 > QCOW2_MAX_L1_BYTES)
        return Refusal_Record("qcow2 header: L1 table too large");
    uint64_t maxSize;
    if (!Math_MulU64(h->l1Size, coverage, &maxSize) || h->virtualSize > maxSize)
        return Refusal_Record("qcow2 header: L1 table does not cover the disk");
    if (!InsideFile(h->l1Offset, uint64_t(h->l1Size) * 8, fileSize))
        return Refusal_Record("qcow2 header: L1 table past the end of the file");
    if (!InsideFile(h->refcountTableOffset, uint64_t(h->refcountTableClusters) * cluster, fileSize))
        return Refusal_Record("qcow2 header: refcount table past the end of the file");
    if (h->snapshotCount > QCOW2_MAX_SNAPSHOTS)
        return Refusal_Record("qcow2 header: too many snapshots");
    if (h->snapshotTableOffset > fileSize)
        return Refusal_Record("qcow2 header: snapshot table past the end of the file");
    if (h->version == 3) {
        if (h->refcountOrder != 4)
            return Refusal_Record("qcow2 header: refcount width is not 16 bits");
        if (h->incompatibleFeatures & QCOW2_INCOMPAT_CORRUPT)
            return Refusal_Record("qcow2 header: image is marked corrupt");
    }
    // External data files, other compression types, extended L2 entries and LUKS change how
    // clusters are found and decoded: such images would read as garbage here.
    if (Qcow2_UnsupportedFeature(h) != QCOW2_FEATURE_NONE) return DISK_ERR_UNSUPPORTED;
    *clusterSize = cluster;
    *l2Coverage = coverage;
    return DISK_OK;
}

int Qcow2_UnsupportedFeature(const Qcow2Header* h)
{
    // Version 2 headers end at byte 72: the feature fields are not theirs.
    const uint64_t bits = h->version >= 3 ? h->incompatibleFeatures : 0;
    if (bits & QCOW2_INCOMPAT_EXTENDED_L2) return QCOW2_FEATURE_EXTENDED_L2;
    if (bits & QCOW2_INCOMPAT_COMPRESSION) return QCOW2_FEATURE_COMPRESSION_TYPE;
    if (bits & QCOW2_INCOMPAT_DATA_FILE) return QCOW2_FEATURE_DATA_FILE;
    if (h->cryptMethod == QCOW2_CRYPT_LUKS) return QCOW2_FEATURE_LUKS;
    const uint64_t known = QCOW2_INCOMPAT_DIRTY | QCOW2_INCOMPAT_CORRUPT;
    if (bits & ~known) return QCOW2_FEATURE_OTHER;
    return QCOW2_FEATURE_NONE;
}

int Qcow2_FindUnsupportedFeature(const char* path)
{
    ByteStream* stream = nullptr;
    if (path == nullptr ||
        FileOpener_Default.open(path, true, &stream, FileOpener_Default.user) != 0 ||
        stream == nullptr)
        return QCOW2_FEATURE_NONE;
    uint8_t raw[QCOW2_HEADER_BYTES];
    int feature = QCOW2_FEATURE_NONE;
    if (Stream_ReadAt(stream, 0, sizeof raw, raw)) {
        Qcow2Header h;
        Qcow2_HeaderToHost(raw, &h);
        if (h.magic == QCOW2_MAGIC && (h.version == 2 || h.version == 3))
            feature = Qcow2_UnsupportedFeature(&h);
    }
    Stream_Close(stream);
    return feature;
}

// ---- Header extensions ----------------------------------------------------------------------

void Qcow2_ExtensionArea(const Qcow2Header* h, uint32_t clusterSize, uint64_t fileSize,
                         uint32_t* start, uint32_t* end)
{
    uint64_t s = h->version >= 3 ? h->headerLength : 72;
    if (h->version >= 3 && s < QCOW2_HEADER_BYTES) s = QCOW2_HEADER_BYTES;
    uint64_t e = clusterSize;
    if (fileSize < e) e = fileSize;
    if (h->backingNameOffset != 0 && h->backingNameOffset < e) e = h->backingNameOffset;
    if (s > e) s = e;
    *start = static_cast<uint32_t>(s);
    *end = static_cast<uint32_t>(e);
}

int Qcow2_ExtensionsToHost(const uint8_t* bytes, uint32_t start, uint32_t end,
                           Qcow2ExtensionList* out)
{
    out->count = 0;
    uint64_t at = start;
    while (at + 8 <= end) {
        const uint32_t type = Bytes_LoadBe32(bytes + at);
        const uint32_t length = Bytes_LoadBe32(bytes + at + 4);
        at += 8;
        if (type == QCOW2_EXT_END) break;
        if (length > end - at)
            return Refusal_Record("qcow2 header extension: runs past the end of its area");
        if (out->count == QCOW2_MAX_EXTENSIONS)
            return Refusal_Record("qcow2 header extension: too many extensions");
        out->items[out->count++] = Qcow2Extension{type, length, static_cast<uint32_t>(at)};
        at += (uint64_t(length) + 7) & ~uint64_t(7);
    }
    out->end = static_cast<uint32_t>(at < end ? at : end);
    return DISK_OK;
}

int Qcow2_ReadExtensions(ByteStream* stream, const Qcow2Header* h, uint32_t clusterSize,
                         uint64_t fileSize, uint8_t** bytes, uint32_t* bytesRead,
                         Qcow2ExtensionList* out)
{
    *bytes = nullptr;
    *bytesRead = 0;
    out->count = 0;
    out->end = 0;
    uint32_t start = 0, end = 0;
    Qcow2_ExtensionArea(h, clusterSize, fileSize, &start, &end);
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(end == 0 ? 1 : end));
    if (buffer == nullptr) return DISK_ERR_NOMEM;
    if (end != 0 && !Stream_ReadAt(stream, 0, end, buffer)) {
        Mem_Free(buffer);
        return DISK_ERR_READ;
    }
    int r = Qcow2_ExtensionsToHost(buffer, start, end, out);
    if (r != DISK_OK) {
        Mem_Free(buffer);
        return r;
    }
    *bytes = buffer;
    *bytesRead = end;
    return DISK_OK;
}

// Whether the header extensions name the backing file's format as "raw". An area that does not
// parse names nothing.
static bool NamesRawBacking(Qcow2Image* image)
{
    uint8_t* bytes = nullptr;
    uint32_t n = 0;
    Qcow2ExtensionList* list =
        static_cast<Qcow2ExtensionList*>(Mem_Alloc(sizeof(Qcow2ExtensionList)));
    if (list == nullptr) return false;
    bool raw = false;
    if (Qcow2_ReadExtensions(image->stream, &image->header, image->clusterSize, image->fileSize,
                             &bytes, &n, list) == DISK_OK) {
        for (uint32_t i = 0; i < list->count; ++i) {
            const Qcow2Extension& e = list->items[i];
            if (e.type == QCOW2_EXT_BACKING_FORMAT)
                raw = e.length == 3 && memcmp(bytes + e.offset, "raw", 3) == 0;
        }
    }
    Mem_Free(bytes);
    Mem_Free(list);
    return raw;
}

void Qcow2_SnapshotHeaderToHost(const uint8_t b[QCOW2_SNAPSHOT_ENTRY_BYTES], Qcow2SnapshotHeader* s)
{
    s->l1Offset = Bytes_LoadBe64(b + 0);
    s->l1Size = Bytes_LoadBe32(b + 8);
    s->idLength = Bytes_LoadBe16(b + 12);
    s->nameLength = Bytes_LoadBe16(b + 14);
    s->dateSeconds = Bytes_LoadBe32(b + 16);
    s->dateNanoseconds = Bytes_LoadBe32(b + 20);
    s->vmClock = Bytes_LoadBe64(b + 24);
    s->vmStateSize = Bytes_LoadBe32(b + 32);
    s->extraLength = Bytes_LoadBe32(b + 36);
}

// ---- Snapshot list --------------------------------------------------------------------------

void Qcow2_InitSnapshotList(Qcow2SnapshotList* list)
{
    list->count = 0;
    list->entries = nullptr;
}

void Qcow2_FreeSnapshotList(Qcow2SnapshotList* list)
{
    if (list->entries != nullptr) {
        for (uint32_t i = 0; i < list->count; ++i) {
            Mem_Free(list->entries[i].id);
            Mem_Free(list->entries[i].name);
        }
        Mem_Free(list->entries);
    }
    Qcow2_InitSnapshotList(list);
}

// Walks the snapshot table of an open stream. With `list` NULL only the entry `wanted` is
// looked for and its L1 offset and size answered.
static int WalkSnapshots(ByteStream* stream, const Qcow2Header* h, uint64_t fileSize,
                         Qcow2SnapshotList* list, uint32_t wanted, uint64_t* l1Offset,
                         uint32_t* l1Size)
{
    uint64_t pos = h->snapshotTableOffset;
    for (uint32_t i = 0; i < h->snapshotCount; ++i) {
        uint8_t raw[QCOW2_SNAPSHOT_ENTRY_BYTES];
        if (!InsideFile(pos, sizeof raw, fileSize) || !Stream_ReadAt(stream, pos, sizeof raw, raw))
            return DISK_ERR_READ;
        Qcow2SnapshotHeader sh;
        Qcow2_SnapshotHeaderToHost(raw, &sh);
        uint64_t textPos = pos + sizeof raw + uint64_t(sh.extraLength);
        uint64_t end = textPos + sh.idLength + sh.nameLength;
        if (textPos < pos || end < textPos || end > fileSize) return DISK_ERR_READ;
        if (list == nullptr) {
            if (i == wanted) {
                *l1Offset = sh.l1Offset;
                *l1Size = sh.l1Size;
                return DISK_OK;
            }
        } else {
            Qcow2Snapshot* e = &list->entries[i];
            e->dateSeconds = sh.dateSeconds;
            e->dateNanoseconds = sh.dateNanoseconds;
            e->l1Offset = sh.l1Offset;
            e->l1Size = sh.l1Size;
            e->idLength = sh.idLength;
            e->nameLength = sh.nameLength;
            e->id = static_cast<uint8_t*>(Mem_Alloc(sh.idLength + 1u));
            e->name = static_cast<uint8_t*>(Mem_Alloc(sh.nameLength + 1u));
            list->count = i + 1;
            if (e->id == nullptr || e->name == nullptr) return DISK_ERR_NOMEM;
            if (!Stream_ReadAt(stream, textPos, sh.idLength, e->id) ||
                !Stream_ReadAt(stream, textPos + sh.idLength, sh.nameLength, e->name))
                return DISK_ERR_READ;
        }
        pos = (end + 7) & ~uint64_t(7);
    }
    return list == nullptr ? DISK_ERR_ARG : DISK_OK;
}

int Qcow2_ReadSnapshotListWithCallback(Qcow2SnapshotList* list, FileOpenFn open, void* user,
                                       const char* path)
{
    Qcow2_FreeSnapshotList(list);
    ByteStream* stream = nullptr;
    int r = open(path, true, &stream, user);
    if (r == 1) return DISK_CANCELLED;
    if (r != 0 || stream == nullptr) return DISK_ERR_OPEN;
    uint64_t fileSize = 0;
    uint8_t raw[QCOW2_HEADER_BYTES];
    Qcow2Header h;
    uint32_t cluster;
    uint64_t coverage;
    if (!Stream_GetSize(stream, &fileSize)) {
        r = DISK_ERR_SIZE;
    } else if (fileSize < QCOW2_HEADER_BYTES) {
        r = Refusal_Record("qcow2 header: file shorter than the header");
    } else if (!Stream_ReadAt(stream, 0, sizeof raw, raw)) {
        r = DISK_ERR_READ;
    } else {
        Qcow2_HeaderToHost(raw, &h);
        r = Qcow2_CheckHeader(&h, fileSize, &cluster, &coverage);
    }
    if (r == DISK_OK && h.snapshotCount > 0) {
        uint64_t bytes = uint64_t(h.snapshotCount) * sizeof(Qcow2Snapshot);
        list->entries = static_cast<Qcow2Snapshot*>(Mem_Alloc(static_cast<uint32_t>(bytes)));
        if (list->entries == nullptr) {
            r = DISK_ERR_NOMEM;
        } else {
            memset(list->entries, 0, static_cast<size_t>(bytes));
            r = WalkSnapshots(stream, &h, fileSize, list, 0, nullptr, nullptr);
        }
    }
    Stream_Close(stream);
    if (r != DISK_OK) Qcow2_FreeSnapshotList(list);
    return r;
}

int Qcow2_ReadSnapshotList(Qcow2SnapshotList* list, const char* path)
{
    return Qcow2_ReadSnapshotListWithCallback(list, FileOpener_Default.open,
                                              FileOpener_Default.user, path);
}

// ---- Object -----------------------------------------------------------------------------

Qcow2Image* Qcow2_Alloc() { return static_cast<Qcow2Image*>(Mem_Alloc(sizeof(Qcow2Image))); }

void Qcow2_Init(Qcow2Image* image)
{
    memset(image, 0, sizeof *image);
    image->cachedL1Index = -1;
    image->cacheValid = false;
}

void Qcow2_Close(void* object)
{
    Qcow2Image* image = static_cast<Qcow2Image*>(object);
    if (image->stream != nullptr) Stream_Close(image->stream);
    if (image->backing != nullptr) {
        Disk_Close(image->backing);
        Mem_Free(image->backing);
    }
    Mem_Free(image->l1);
    Mem_Free(image->l2Cache);
    Mem_Free(image->clusterCache);
    Mem_Free(image->dataBuffer);
    Mem_Free(image->zstream);
    Qcow_FreeCipher(image->cipher);
    Mem_Free(image->path);
    Mem_Free(image->backingPath);
    Qcow2_Init(image);
}

// Resolves and opens the backing file named by the header.
static int OpenBacking(Qcow2Image* image, const char* path, const uint8_t* key, uint32_t keyLength)
{
    const Qcow2Header& h = image->header;
    uint32_t n = h.backingNameLength;
    uint8_t* name = static_cast<uint8_t*>(Mem_Alloc(n + 1));
    if (name == nullptr) return DISK_ERR_NOMEM;
    if (n != 0 && !Stream_ReadAt(image->stream, h.backingNameOffset, n, name)) {
        Mem_Free(name);
        return DISK_ERR_READ;
    }
    uint32_t used = 0;
    while (used < n && name[used] != 0) ++used;
    int r = DISK_OK;
    static const uint32_t kPathBytes = 4096;
    uint8_t* work = static_cast<uint8_t*>(Mem_Alloc(2 * kPathBytes + 1));
    if (work == nullptr) r = DISK_ERR_NOMEM;
    TextBuffer workBuf, result;
    if (r == DISK_OK) {
        TextView nameView = {name, used};
        TextView reference;
        Text_FromCStringUtf8(&reference, path);
        TextBuffer_Init(&workBuf, work, 0, kPathBytes);
        TextBuffer_Init(&result, work + kPathBytes, 0, kPathBytes + 1);
        if (used == 0 || !IsValidUtf8(name, used) || !Path_IsValid(nameView, TEXT_ENC_UTF8) ||
            !Path_MakeAbsolute(nameView, reference, &workBuf, &result, TEXT_ENC_UTF8) ||
            !TextBuffer_TerminateUtf8(&result)) {
            r = Refusal_Record("qcow2 backing file name: empty, not a valid path or too long");
        } else {
            TextView resolved;
            TextBuffer_View(&result, &resolved);
            if (Path_CompareUtf8(resolved, reference) == 0)
                r = Refusal_Record("qcow2 backing file: names the image itself");
        }
    }
    Mem_Free(name);
    if (r == DISK_OK && g_chainDepth >= QCOW2_MAX_CHAIN_DEPTH)
        r = Refusal_Record("qcow2 backing file: too many backing files in a chain");
    if (r == DISK_OK) {
        DiskHandle* backing = Disk_Alloc();
        const char* backingPath = reinterpret_cast<const char*>(work + kPathBytes);
        if (backing == nullptr) {
            r = DISK_ERR_NOMEM;
        } else if (NamesRawBacking(image)) {
            // The header names the base's format: its bytes are the disk, whole sectors of
            // them (a base shorter than the image reads as zeros beyond its end).
            Disk_Init(backing);
            uint64_t size = 0;
            DiskGeometry g = {};
            g.heads = 16;
            g.sectors_per_track = 63;
            g.bytes_per_sector = 512;
            if (!File_GetSizeByPath(backingPath, &size)) {
                r = DISK_ERR_OPEN;
            } else if (size < 512) {
                r = Refusal_Record("qcow2 raw backing file: shorter than one sector");
            } else {
                Geometry_SetTotalSectors(&g, size / 512);
                r = Disk_OpenRaw(backing, backingPath, true, 0, &g);
            }
        } else {
            Disk_Init(backing);
            ++g_chainDepth;
            r = Disk_OpenQcow2WithKey(backing, backingPath, true, key, keyLength,
                                      QCOW2_BACKING_REQUIRED);
            --g_chainDepth;
        }
        if (backing != nullptr && r == DISK_OK) {
            image->backing = backing;
            image->backingPath = CopyPath(backingPath);
            if (image->backingPath == nullptr) r = DISK_ERR_NOMEM;
        } else if (backing != nullptr) {
            Disk_Close(backing);
            Mem_Free(backing);
        }
    }
    Mem_Free(work);
    return r;
}

static int OpenBody(Qcow2Image* image, const char* path, bool readOnly, const uint8_t* key,
                    uint32_t keyLength, bool refuseSnapshots, bool useSnapshot,
                    uint32_t snapshotIndex, int backingMode)
{
    ByteStream* s = image->stream;
    if (!Stream_GetSize(s, &image->fileSize)) return DISK_ERR_SIZE;
    if (image->fileSize < QCOW2_HEADER_BYTES)
        return Refusal_Record("qcow2 header: file shorter than the header");
    uint8_t raw[QCOW2_HEADER_BYTES];
    if (!Stream_ReadAt(s, 0, sizeof raw, raw)) return DISK_ERR_READ;
    Qcow2Header& h = image->header;
    Qcow2_HeaderToHost(raw, &h);
    int r = Qcow2_CheckHeader(&h, image->fileSize, &image->clusterSize, &image->l2Coverage);
    if (r != DISK_OK) return r;
    if (h.version == 2) {
        // Version 2 headers end at byte 72; what follows is not theirs.
        h.incompatibleFeatures = h.compatibleFeatures = h.autoclearFeatures = 0;
        h.refcountOrder = 4;
        h.headerLength = 72;
    }

    uint64_t l1Offset = h.l1Offset;
    uint32_t l1Size = h.l1Size;
    if (readOnly && h.snapshotCount > 0) {
        if (refuseSnapshots) return DISK_ERR_SNAPSHOTS;
        if (useSnapshot) {
            if (snapshotIndex >= h.snapshotCount) return DISK_ERR_ARG;
            r = WalkSnapshots(s, &h, image->fileSize, nullptr, snapshotIndex, &l1Offset, &l1Size);
            if (r != DISK_OK) return r;
            if (uint64_t(l1Size) * 8 > QCOW2_MAX_L1_BYTES ||
                !InsideFile(l1Offset, uint64_t(l1Size) * 8, image->fileSize))
                return Refusal_Record(
                    "qcow2 snapshot: L1 table too large or past the end of the file");
        }
    }
    if (h.cryptMethod == 1) {
        if (key == nullptr) return DISK_ERR_PASSWORD;
        if (keyLength != 16) return DISK_ERR_KEY_LENGTH;
    }

    const uint32_t cluster = image->clusterSize;
    image->l1Entries = l1Size;
    image->l1 = static_cast<uint64_t*>(Mem_Alloc(l1Size == 0 ? 8 : l1Size * 8));
    image->l2Cache = static_cast<uint8_t*>(Mem_Alloc(cluster));
    image->clusterCache = static_cast<uint8_t*>(Mem_Alloc(cluster + 512));
    // A compressed descriptor may name up to 2 x cluster bytes of sectors.
    image->dataBuffer = static_cast<uint8_t*>(Mem_Alloc(2 * cluster + 512));
    image->zstream = Zlib_AllocStream();
    if (image->l1 == nullptr || image->l2Cache == nullptr || image->clusterCache == nullptr ||
        image->dataBuffer == nullptr || image->zstream == nullptr)
        return DISK_ERR_NOMEM;
    if (l1Size != 0 && !Stream_ReadAt(s, l1Offset, l1Size * 8, image->l1)) return DISK_ERR_READ;
    if (h.cryptMethod == 1) {
        image->cipher = Qcow_AllocCipher();
        if (image->cipher == nullptr || !Qcow_SetKey(image->cipher, key)) return DISK_ERR_NOMEM;
    }
    image->path = CopyPath(path);
    if (image->path == nullptr) return DISK_ERR_NOMEM;

    const bool named = h.backingNameOffset != 0;
    switch (backingMode) {
    case QCOW2_BACKING_REQUIRED:
        if (named) {
            r = OpenBacking(image, path, key, keyLength);
            if (r != DISK_OK) return r;
        }
        break;
    case QCOW2_BACKING_OPTIONAL:
        if (named && OpenBacking(image, path, key, keyLength) != DISK_OK)
            image->backingUnopened = true;
        break;
    case QCOW2_BACKING_NAMED:
        if (!named) return Refusal_Record("qcow2 header: names no backing file");
        image->backingUnopened = true;
        break;
    default:
        image->backingUnopened = named;
        break;
    }

    image->geometry.heads = 16;
    image->geometry.sectors_per_track = 63;
    image->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&image->geometry, h.virtualSize / 512);
    return DISK_OK;
}

int Qcow2_OpenWithCallback(Qcow2Image* image, FileOpenFn open, void* user, const char* path,
                           bool readOnly, const uint8_t* key, uint32_t keyLength,
                           bool refuseSnapshots, bool useSnapshot, uint32_t snapshotIndex,
                           int backingMode)
{
    Qcow2_Init(image);
    if (open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    int r = open(path, readOnly, &stream, user);
    if (r == 1) return DISK_CANCELLED;
    if (r != 0 || stream == nullptr) return DISK_ERR_OPEN;
    image->stream = stream;
    r = OpenBody(image, path, readOnly, key, keyLength, refuseSnapshots, useSnapshot, snapshotIndex,
                 backingMode);
    if (r != DISK_OK) Qcow2_Close(image);
    return r;
}

int Qcow2_OpenWithOptions(Qcow2Image* image, const FileOpener* opener, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength,
                          bool refuseSnapshots, bool useSnapshot, uint32_t snapshotIndex,
                          int backingMode)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return Qcow2_OpenWithCallback(image, opener->open, opener->user, path, readOnly, key, keyLength,
                                  refuseSnapshots, useSnapshot, snapshotIndex, backingMode);
}

int Qcow2_OpenWithHandler(Qcow2Image* image, const FileOpener* opener, const char* path,
                          bool readOnly, int backingMode)
{
    return Qcow2_OpenWithOptions(image, opener, path, readOnly, nullptr, 0, true, false, 0,
                                 backingMode);
}

int Qcow2_OpenWithKey(Qcow2Image* image, const char* path, bool readOnly, const uint8_t* key,
                      uint32_t keyLength, int backingMode)
{
    return Qcow2_OpenWithOptions(image, nullptr, path, readOnly, key, keyLength, true, false, 0,
                                 backingMode);
}

int Qcow2_OpenWithBackingMode(Qcow2Image* image, const char* path, bool readOnly, int backingMode)
{
    return Qcow2_OpenWithOptions(image, nullptr, path, readOnly, nullptr, 0, true, false, 0,
                                 backingMode);
}

int Qcow2_Open(Qcow2Image* image, const char* path, bool readOnly)
{
    return Qcow2_OpenWithBackingMode(image, path, readOnly, QCOW2_BACKING_REQUIRED);
}

// ---- Handle entries ------------------------------------------------------------------------

static int OpenIntoHandle(DiskHandle* handle, const FileOpener* opener, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength,
                          bool refuseSnapshots, bool useSnapshot, uint32_t snapshotIndex,
                          int backingMode)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    Qcow2Image* image = Qcow2_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    int r = Qcow2_OpenWithOptions(image, opener, path, readOnly, key, keyLength, refuseSnapshots,
                                  useSnapshot, snapshotIndex, backingMode);
    if (r != DISK_OK) {
        Mem_Free(image);
        if (r == DISK_ERR_PASSWORD) handle->kind = DISK_KIND_QCOW2;
        return r;
    }
    handle->kind = DISK_KIND_QCOW2;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenQcow2(DiskHandle* handle, const char* path, bool readOnly)
{
    return OpenIntoHandle(handle, nullptr, path, readOnly, nullptr, 0, true, false, 0,
                          QCOW2_BACKING_REQUIRED);
}

int Disk_OpenQcow2WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly, int parentMode, void*)
{
    return OpenIntoHandle(handle, opener, path, readOnly, nullptr, 0, true, false, 0, parentMode);
}

int Disk_OpenQcow2WithKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                          uint32_t keyLength, int backingMode)
{
    return OpenIntoHandle(handle, nullptr, path, readOnly, key, keyLength, true, false, 0,
                          backingMode);
}

int Disk_OpenQcow2Snapshot(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                           uint32_t keyLength, bool refuseSnapshots, bool useSnapshot,
                           uint32_t snapshotIndex, int backingMode)
{
    return OpenIntoHandle(handle, nullptr, path, readOnly, key, keyLength, refuseSnapshots,
                          useSnapshot, snapshotIndex, backingMode);
}

// ---- Lookup ------------------------------------------------------------------------------

uint64_t Qcow2_GetL2Offset(const Qcow2Image* image, uint64_t l1Index)
{
    if (l1Index >= image->l1Entries) return 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(image->l1) + l1Index * 8;
    return Bytes_LoadBe64(p) & kL1OffsetMask;
}

int Qcow2_LoadL2Table(Qcow2Image* image, uint64_t l1Index, uint64_t l2Offset)
{
    if (image->cachedL1Index >= 0 && uint64_t(image->cachedL1Index) == l1Index) return DISK_OK;
    image->cachedL1Index = -1;
    if (!Stream_ReadAt(image->stream, l2Offset, image->clusterSize, image->l2Cache))
        return DISK_ERR_READ;
    image->cachedL1Index = static_cast<int32_t>(l1Index);
    return DISK_OK;
}

int Qcow2_GetL2Entry(Qcow2Image* image, uint64_t position, uint64_t* entry)
{
    *entry = 0;
    const uint64_t l1Index = position / image->l2Coverage;
    const uint64_t l2Offset = Qcow2_GetL2Offset(image, l1Index);
    if (l2Offset == 0) return DISK_OK;
    int r = Qcow2_LoadL2Table(image, l1Index, l2Offset);
    if (r != DISK_OK) return r;
    const uint64_t l2Index = (position % image->l2Coverage) / image->clusterSize;
    *entry = Bytes_LoadBe64(image->l2Cache + l2Index * 8);
    return DISK_OK;
}

int Qcow2_ClassifyL2Entry(uint64_t entry)
{
    if (entry & kCompressedFlag) return QCOW2_CLUSTER_COMPRESSED;
    if (entry & 1) return QCOW2_CLUSTER_ZERO;
    if (entry & kL2OffsetMask) return QCOW2_CLUSTER_STORED;
    return QCOW2_CLUSTER_UNALLOCATED;
}

static bool CacheHolds(const Qcow2Image* image, uint64_t entry, uint64_t clusterPosition)
{
    return image->cacheValid && image->cacheEntry == entry &&
           image->cachePosition == clusterPosition;
}

int Qcow2_ReadCompressedCluster(Qcow2Image* image, uint64_t entry, uint64_t position)
{
    const uint64_t clusterPosition = position - position % image->clusterSize;
    if (CacheHolds(image, entry, clusterPosition)) return DISK_OK;
    image->cacheValid = false;
    const uint32_t bits = image->header.clusterBits;
    const uint32_t x = 70 - bits;
    const uint64_t descriptor = entry & ((1ull << 62) - 1);
    const uint64_t hostOffset = descriptor & ((1ull << x) - 1);
    const uint64_t sectors = ((descriptor >> x) & ((1ull << (bits - 8)) - 1)) + 1;
    const uint64_t start = hostOffset & ~uint64_t(511);
    const uint32_t skip = static_cast<uint32_t>(hostOffset & 511);
    uint64_t length = sectors * 512;  // at most 2 x cluster size
    if (start >= image->fileSize) return DISK_ERR_READ;
    // The last compressed cluster of a file may end inside its final sector.
    if (length > image->fileSize - start) length = image->fileSize - start;
    if (length <= skip) return DISK_ERR_READ;
    if (!Stream_ReadAt(image->stream, start, static_cast<uint32_t>(length), image->dataBuffer))
        return DISK_ERR_READ;
    if (!Zlib_InflateRawBuffer(image->zstream, image->dataBuffer + skip,
                               static_cast<uint32_t>(length) - skip, image->clusterCache,
                               image->clusterSize))
        return Refusal_Record("qcow2 compressed cluster: data does not inflate to a cluster");
    image->cacheValid = true;
    image->cacheEntry = entry;
    image->cachePosition = clusterPosition;
    return DISK_OK;
}

int Qcow2_ReadEncryptedCluster(Qcow2Image* image, uint64_t entry, uint64_t position)
{
    const uint64_t clusterPosition = position - position % image->clusterSize;
    if (CacheHolds(image, entry, clusterPosition)) return DISK_OK;
    image->cacheValid = false;
    const uint64_t hostOffset = entry & kL2OffsetMask;
    if (!Stream_ReadAt(image->stream, hostOffset, image->clusterSize, image->dataBuffer))
        return DISK_ERR_READ;
    if (!Qcow_DecryptSectors(image->cipher, clusterPosition / 512, image->dataBuffer,
                             image->clusterCache, image->clusterSize))
        return DISK_ERR_READ;
    image->cacheValid = true;
    image->cacheEntry = entry;
    image->cachePosition = clusterPosition;
    return DISK_OK;
}

// Reads from the backing image; what lies beyond its end reads as zeros.
static int ReadBacking(Qcow2Image* image, uint64_t offset, uint32_t length, uint8_t* out)
{
    if (image->backing == nullptr) {
        memset(out, 0, length);
        return DISK_OK;
    }
    DiskGeometry g = {};
    Disk_GetGeometry(image->backing, &g);
    uint64_t size = Geometry_GetTotalSectors(&g) * 512;
    uint32_t inside = 0;
    if (offset < size)
        inside = static_cast<uint32_t>(size - offset < length ? size - offset : length);
    if (inside < length) memset(out + inside, 0, length - inside);
    if (inside == 0) return DISK_OK;
    return Disk_Read(image->backing, offset, inside, out);
}

void Qcow2_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<Qcow2Image*>(object)->geometry;
}

int Qcow2_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    Qcow2Image* image = static_cast<Qcow2Image*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t cluster = image->clusterSize;
    while (length > 0) {
        const uint32_t within = static_cast<uint32_t>(offset % cluster);
        const uint32_t n = cluster - within < length ? cluster - within : length;
        uint64_t entry;
        int r = Qcow2_GetL2Entry(image, offset, &entry);
        if (r != DISK_OK) return r;
        switch (Qcow2_ClassifyL2Entry(entry)) {
        case QCOW2_CLUSTER_ZERO:
            memset(out, 0, n);
            break;
        case QCOW2_CLUSTER_UNALLOCATED:
            r = ReadBacking(image, offset, n, out);
            break;
        case QCOW2_CLUSTER_COMPRESSED:
            r = Qcow2_ReadCompressedCluster(image, entry, offset);
            if (r == DISK_OK) memcpy(out, image->clusterCache + within, n);
            break;
        default:
            if (image->cipher != nullptr) {
                r = Qcow2_ReadEncryptedCluster(image, entry, offset);
                if (r == DISK_OK) memcpy(out, image->clusterCache + within, n);
            } else if (!Stream_ReadAt(image->stream, (entry & kL2OffsetMask) + within, n, out)) {
                r = DISK_ERR_READ;
            }
            break;
        }
        if (r != DISK_OK) return r;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

// The bytes of one allocated piece (sectors of one cluster) in memory: the cluster cache for
// compressed and encrypted clusters, the data buffer for stored ones.
static int PieceBytes(Qcow2Image* image, uint64_t entry, int cls, uint64_t position, uint32_t bytes,
                      const uint8_t** data)
{
    const uint32_t within = static_cast<uint32_t>(position % image->clusterSize);
    int r = DISK_OK;
    if (cls == QCOW2_CLUSTER_COMPRESSED) {
        r = Qcow2_ReadCompressedCluster(image, entry, position);
        *data = image->clusterCache + within;
    } else if (image->cipher != nullptr) {
        r = Qcow2_ReadEncryptedCluster(image, entry, position);
        *data = image->clusterCache + within;
    } else {
        if (!Stream_ReadAt(image->stream, (entry & kL2OffsetMask) + within, bytes,
                           image->dataBuffer))
            r = DISK_ERR_READ;
        *data = image->dataBuffer;
    }
    return r;
}

// Whether a used sector of the piece holds a non-zero byte (every sector without a map).
static int PieceHasData(UsedSectorMap* map, uint64_t first, uint32_t count, const uint8_t* data,
                        bool* hasData)
{
    *hasData = false;
    if (map == nullptr) {
        *hasData = !Mem_IsZero(data, count * 512);
        return DISK_OK;
    }
    uint8_t bits[512];  // one cluster of at most 4096 sectors
    memset(bits, 0, sizeof bits);
    int r = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
    if (r != DISK_OK) return r;
    for (uint32_t i = 0; i < count; ++i) {
        if ((bits[i / 8] >> (i % 8)) & 1) {
            if (!Mem_IsZero(data + uint64_t(i) * 512, 512)) {
                *hasData = true;
                return DISK_OK;
            }
        }
    }
    return DISK_OK;
}

int Qcow2_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    Qcow2Image* image = static_cast<Qcow2Image*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t clusterSectors = image->clusterSize / 512;
    DiskGeometry bg = {};
    uint64_t backingTotal = 0;
    if (image->backing != nullptr) {
        Disk_GetGeometry(image->backing, &bg);
        backingTotal = Geometry_GetTotalSectors(&bg);
    }
    uint64_t sector = first;
    uint64_t end = first + count;
    while (sector < end) {
        const uint32_t within = static_cast<uint32_t>(sector % clusterSectors);
        uint64_t left = end - sector;
        const uint32_t n =
            clusterSectors - within < left ? clusterSectors - within : static_cast<uint32_t>(left);
        const uint64_t position = sector * 512;
        uint64_t entry;
        int r = Qcow2_GetL2Entry(image, position, &entry);
        if (r != DISK_OK) return r;
        const int cls = Qcow2_ClassifyL2Entry(entry);
        bool hasData = false;
        if (cls == QCOW2_CLUSTER_UNALLOCATED) {
            if (image->backing != nullptr && sector < backingTotal) {
                uint32_t m =
                    backingTotal - sector < n ? static_cast<uint32_t>(backingTotal - sector) : n;
                bool e = true;
                r = Disk_IsRangeEmpty(image->backing, map, sector, m, &e, adapter, record);
                if (r != DISK_OK) return r;
                hasData = !e;
            }
        } else if (cls != QCOW2_CLUSTER_ZERO) {
            const uint8_t* data = nullptr;
            r = PieceBytes(image, entry, cls, position, n * 512, &data);
            if (r != DISK_OK) return r;
            r = PieceHasData(map, sector, n, data, &hasData);
            if (r != DISK_OK) return r;
        }
        if (hasData) {
            *empty = false;
            return DISK_OK;
        }
        sector += n;
    }
    *empty = true;
    return DISK_OK;
}

int Qcow2_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* unallocated)
{
    Qcow2Image* image = static_cast<Qcow2Image*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t clusterSectors = image->clusterSize / 512;
    uint64_t sector = first;
    const uint64_t end = first + count;
    while (sector < end) {
        const uint32_t within = static_cast<uint32_t>(sector % clusterSectors);
        uint64_t left = end - sector;
        const uint32_t n =
            clusterSectors - within < left ? clusterSectors - within : static_cast<uint32_t>(left);
        uint64_t entry;
        int r = Qcow2_GetL2Entry(image, sector * 512, &entry);
        if (r != DISK_OK) return r;
        if (Qcow2_ClassifyL2Entry(entry) != QCOW2_CLUSTER_UNALLOCATED) {
            bool stored = true;
            if (map != nullptr) {
                // Stored data, zero or not, hides the backing file: only sectors the map
                // marks unused may be left out.
                uint8_t bits[512];
                memset(bits, 0, sizeof bits);
                r = UsedMap_GetUsedBits(map, sector, static_cast<int32_t>(n), bits);
                if (r != DISK_OK) return r;
                stored = !Mem_IsZero(bits, (n + 7) / 8);
            }
            if (stored) {
                *unallocated = false;
                return DISK_OK;
            }
        }
        sector += n;
    }
    *unallocated = true;
    return DISK_OK;
}

bool Qcow2_CanCompact(void* object)
{
    return static_cast<Qcow2Image*>(object)->header.snapshotCount == 0;
}

bool Qcow2_HasParent(void* object)
{
    const Qcow2Image* image = static_cast<Qcow2Image*>(object);
    return image->backingUnopened || image->backing != nullptr;
}
