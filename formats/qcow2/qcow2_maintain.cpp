// qcow2 overlays, backing names and compaction.
#include "formats/qcow2/qcow2_maintain.h"

#include <sys/stat.h>

#include <cstring>

#include "disk/disk_open.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "foundation/in_place.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"

namespace {

// Where a new overlay keeps its backing name: after the header and an empty extension area.
const uint32_t kNameOffset = 112;

// The header's backing name offset (8 bytes) and length (4 bytes) fields, adjacent; a name
// that ends within the first page is rewritten with them in one write.
const uint64_t kOffsetField = 8;
const uint64_t kLengthField = 16;
const uint64_t kTogetherEnd = 4096;

// [a, a + n) and [b, b + m) share a byte (lengths may reach past 64 bits: they are clamped).
bool Overlaps(uint64_t a, uint64_t n, uint64_t b, uint64_t m)
{
    if (n == 0 || m == 0) return false;
    const uint64_t aEnd = a + n < a ? UINT64_MAX : a + n;
    const uint64_t bEnd = b + m < b ? UINT64_MAX : b + m;
    return a < bEnd && b < aEnd;
}

// The files of the image's chain: the image, then every backing file opened below it.
uint32_t CollectChain(const Qcow2Image* image, const char** out, uint32_t capacity)
{
    uint32_t count = 0;
    for (const Qcow2Image* p = image; p != nullptr && count < capacity;) {
        if (p->path != nullptr) out[count++] = p->path;
        if (p->backing != nullptr && p->backingPath != nullptr && count < capacity &&
            Disk_GetKind(p->backing) != DISK_KIND_QCOW2)
            out[count++] = p->backingPath;
        p = p->backing != nullptr && Disk_GetKind(p->backing) == DISK_KIND_QCOW2
                ? static_cast<const Qcow2Image*>(Disk_GetObject(p->backing))
                : nullptr;
    }
    return count;
}

}  // namespace

// ---- Backing name ---------------------------------------------------------------------------

int Qcow2_ReadBackingName(Qcow2Image* image, Qcow2NameBuffer* out)
{
    out->data = nullptr;
    out->length = out->capacity = 0;
    const uint32_t n = image->header.backingNameLength;
    uint8_t* data = static_cast<uint8_t*>(Mem_Alloc(n == 0 ? 1 : n));
    if (data == nullptr) return DISK_ERR_NOMEM;
    if (n != 0 && !Stream_ReadAt(image->stream, image->header.backingNameOffset, n, data)) {
        Mem_Free(data);
        return DISK_ERR_READ;
    }
    out->data = data;
    out->length = out->capacity = n;
    return DISK_OK;
}

namespace {

// Bytes [start, start + n) of the file as they are, zeros past its end; `existing` is how many of
// them the file holds.
bool ReadSpan(ByteStream* s, uint64_t fileSize, uint64_t start, uint32_t n, uint8_t* out,
              uint32_t* existing)
{
    const uint64_t inside = start >= fileSize ? 0 : fileSize - start;
    *existing = inside < n ? static_cast<uint32_t>(inside) : n;
    std::memset(out + *existing, 0, n - *existing);
    return *existing == 0 || Stream_ReadAt(s, start, *existing, out);
}

// Writes `fresh` over [start, start + n) and syncs. When that fails, the `existing` old bytes
// are written back and synced; false.
bool WriteDurably(ByteStream* s, uint64_t start, uint32_t n, const uint8_t* fresh,
                  const uint8_t* old, uint32_t existing)
{
    if (Stream_WriteAt(s, start, n, fresh) && Stream_Sync(s)) return true;
    if (existing == 0 || Stream_WriteAt(s, start, existing, old)) Stream_Sync(s);
    return false;
}

// Whether bytes [start, start + n) of the file hold none of the image's structures: the header
// and its extensions, the L1 table, the L2 tables it names, the refcount table and blocks, the
// snapshot table and the snapshots' L1 tables. False also when they cannot be read.
bool ClearOfStructures(Qcow2Image* image, uint64_t start, uint64_t n)
{
    const Qcow2Header& h = image->header;
    const uint64_t k = image->clusterSize;
    // Header and extensions: the name must lie after both.
    Qcow2ExtensionList* list =
        static_cast<Qcow2ExtensionList*>(Mem_Alloc(sizeof(Qcow2ExtensionList)));
    if (list == nullptr) return false;
    uint8_t* bytes = nullptr;
    uint32_t read = 0;
    const int parsed = Qcow2_ReadExtensions(image->stream, &h, image->clusterSize, image->fileSize,
                                            &bytes, &read, list);
    const uint64_t fullHeader = QCOW2_HEADER_BYTES;
    const uint64_t headerEnd = h.version < 3                 ? 72
                               : h.headerLength > fullHeader ? uint64_t(h.headerLength)
                                                             : fullHeader;
    const uint64_t extensionsEnd = list->end > headerEnd ? list->end : headerEnd;
    Mem_Free(bytes);
    Mem_Free(list);
    if (parsed != DISK_OK || start < extensionsEnd) return false;
    if (Overlaps(start, n, h.l1Offset, uint64_t(h.l1Size) * 8)) return false;
    if (Overlaps(start, n, h.refcountTableOffset, uint64_t(h.refcountTableClusters) * k))
        return false;
    for (uint64_t i = 0; i < image->l1Entries; ++i) {
        const uint64_t l2 = Qcow2_GetL2Offset(image, i);
        if (l2 != 0 && Overlaps(start, n, l2, k)) return false;
    }
    // Refcount blocks, one table cluster at a time.
    uint8_t* table = static_cast<uint8_t*>(Mem_Alloc(static_cast<uint32_t>(k)));
    if (table == nullptr) return false;
    bool clear = true;
    for (uint64_t c = 0; clear && c < h.refcountTableClusters; ++c) {
        if (!Stream_ReadAt(image->stream, h.refcountTableOffset + c * k, static_cast<uint32_t>(k),
                           table)) {
            clear = false;
            break;
        }
        for (uint64_t e = 0; e < k / 8; ++e) {
            const uint64_t block = Bytes_LoadBe64(table + e * 8) & ~uint64_t(511);
            if (block != 0 && Overlaps(start, n, block, k)) {
                clear = false;
                break;
            }
        }
    }
    Mem_Free(table);
    // Snapshot table entries and the snapshots' L1 tables.
    uint64_t pos = h.snapshotTableOffset;
    for (uint32_t i = 0; clear && i < h.snapshotCount; ++i) {
        uint8_t raw[QCOW2_SNAPSHOT_ENTRY_BYTES];
        if (pos > image->fileSize || image->fileSize - pos < sizeof raw ||
            !Stream_ReadAt(image->stream, pos, sizeof raw, raw)) {
            clear = false;
            break;
        }
        Qcow2SnapshotHeader sh;
        Qcow2_SnapshotHeaderToHost(raw, &sh);
        const uint64_t length = sizeof raw + uint64_t(sh.extraLength) + sh.idLength + sh.nameLength;
        if (Overlaps(start, n, pos, (length + 7) & ~uint64_t(7)) ||
            Overlaps(start, n, sh.l1Offset, uint64_t(sh.l1Size) * 8))
            clear = false;
        pos += (length + 7) & ~uint64_t(7);
    }
    return clear;
}

}  // namespace

int Qcow2_SetBackingName(Qcow2Image* image, TextView name)
{
    // The image is locked for the whole change: another in-place operation on it is refused.
    InPlaceLockScope inPlace;
    const int locked = image != nullptr ? inPlace.Acquire(image->path) : DISK_ERR_ARG;
    if (locked != DISK_OK) return locked;
    const uint64_t offset = image->header.backingNameOffset;
    const uint64_t length = image->header.backingNameLength;
    const uint64_t k = image->clusterSize;
    // An empty name would detach the image from its base; qcow2 readers take at most 1023 bytes.
    if (offset < kLengthField + 4 || name.length == 0 || name.length > 1023) return DISK_ERR_ARG;
    const uint64_t room =
        offset + length > k ? (offset + length + k - 1) / k * k - offset : k - offset % k;
    if (name.length > room) return DISK_ERR_ARG;
    uint64_t fileSize = 0;
    if (!Stream_GetSize(image->stream, &fileSize)) return DISK_ERR_READ;
    // The image always names its old base or its new one, never a cleared or partial name, and a
    // failure writes the old bytes back:
    // - a name that ends within the first page is changed with its length field in one write;
    // - else a new name that fits after the old one in its room is written and synced there
    //   first, then the header's name offset and length (adjacent fields) switch to it in one
    //   12-byte write;
    // - else the name is rewritten in place, then its length (a crash between the two leaves
    //   the old length over the new name).
    const uint64_t nameEnd = offset + (length > name.length ? length : name.length);
    const bool together = nameEnd <= kTogetherEnd;
    const bool beside = !together && length + name.length <= room;
    const uint64_t nameAt = beside ? offset + length : offset;
    const uint64_t spanStart = together ? kOffsetField : nameAt;
    const uint64_t spanEnd = beside ? nameAt + name.length : nameEnd;
    const uint32_t span = static_cast<uint32_t>(spanEnd - spanStart);
    // Every byte the change writes besides the header's two fields, and the old name itself,
    // must lie after the header and its extensions and clear of every table: else nothing is
    // written.
    const uint64_t nameSpanStart = offset < nameAt ? offset : nameAt;
    if (!ClearOfStructures(image, nameSpanStart, spanEnd - nameSpanStart)) return DISK_ERR_ARG;
    uint8_t* old = static_cast<uint8_t*>(Mem_Alloc(2 * span));
    if (old == nullptr) return DISK_ERR_NOMEM;
    uint8_t* fresh = old + span;
    uint8_t oldHeader[12], newHeader[12];
    uint32_t existing = 0, headerExisting = 0;
    int r = DISK_OK;
    if (!ReadSpan(image->stream, fileSize, spanStart, span, old, &existing) ||
        !ReadSpan(image->stream, fileSize, kOffsetField, 12, oldHeader, &headerExisting) ||
        headerExisting != 12) {
        r = DISK_ERR_READ;
    } else {
        std::memcpy(fresh, old, span);
        uint8_t* at = fresh + (nameAt - spanStart);
        std::memset(at, 0, static_cast<size_t>(spanEnd - nameAt));
        std::memcpy(at, name.data, name.length);
        std::memcpy(newHeader, oldHeader, 12);
        Bytes_StoreBe64(newHeader, nameAt);
        Bytes_StoreBe32(newHeader + 8, name.length);
        if (together) {
            std::memcpy(fresh, newHeader, 12);
            if (!WriteDurably(image->stream, spanStart, span, fresh, old, existing))
                r = DISK_ERR_WRITE;
        } else if (!WriteDurably(image->stream, spanStart, span, fresh, old, existing)) {
            r = DISK_ERR_WRITE;
        } else if (!WriteDurably(image->stream, kOffsetField, 12, newHeader, oldHeader, 12)) {
            // The header still names the old name: its bytes go back too.
            if (existing == 0 || Stream_WriteAt(image->stream, spanStart, existing, old))
                Stream_Sync(image->stream);
            r = DISK_ERR_WRITE;
        }
    }
    Mem_Free(old);
    if (r == DISK_OK) {
        image->header.backingNameOffset = nameAt;
        image->header.backingNameLength = name.length;
    }
    return r;
}

bool Qcow2_IsFileOfChain(const DiskHandle* source, const char* path)
{
    if (source == nullptr || path == nullptr || Disk_GetKind(source) != DISK_KIND_QCOW2 ||
        Disk_GetObject(source) == nullptr)
        return false;
    const char* chain[QCOW2_MAX_CHAIN_DEPTH + 3];
    const uint32_t count = CollectChain(static_cast<const Qcow2Image*>(Disk_GetObject(source)),
                                        chain, QCOW2_MAX_CHAIN_DEPTH + 3);
    return Output_IsFileOf(path, chain, count);
}

// ---- Overlay ----------------------------------------------------------------------------

int Qcow2_CreateOverlay(const DiskHandle* source, const char* basePath, const char* newPath,
                        bool absoluteName, bool allowReplace)
{
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_QCOW2 ||
        Disk_GetObject(source) == nullptr || basePath == nullptr || newPath == nullptr ||
        newPath[0] == 0)
        return DISK_ERR_ARG;
    const Qcow2Image* base = static_cast<const Qcow2Image*>(Disk_GetObject(source));
    // The overlay never takes the place of its base or of any file below it (by device and
    // inode: another spelling or a link of one of them counts as the same file).
    const char* chain[QCOW2_MAX_CHAIN_DEPTH + 4];
    chain[0] = basePath;
    const uint32_t chainCount = 1 + CollectChain(base, chain + 1, QCOW2_MAX_CHAIN_DEPTH + 3);
    if (Output_IsFileOf(newPath, chain, chainCount)) return DISK_ERR_ARG;
    // Anything at the name (a file, a link, whatever it points at) is replaced only when the
    // caller allows it; a link itself is replaced, never followed.
    struct stat existing;
    if (lstat(newPath, &existing) == 0 && !allowReplace) return DISK_ERR_CREATE;
    // The overlay's own layout: header, name, refcount table, refcount blocks, L1 table.
    Qcow2Writer w;
    Qcow2_InitWriter(&w);
    int r = Qcow2_ComputeLayout(&w, Geometry_GetTotalSectors(&base->geometry),
                                base->header.clusterBits);
    if (r != DISK_OK) return r;
    // The backing name.
    TextView baseView, newView, baseDir, baseName, newDir, newName;
    Text_FromCStringUtf8(&baseView, basePath);
    Text_FromCStringUtf8(&newView, newPath);
    uint8_t nameStorage[4097];
    TextBuffer nameBuf;
    TextBuffer_Init(&nameBuf, nameStorage, 0, 4096);
    bool ok;
    if (absoluteName) {
        ok = TextBuffer_Set(&nameBuf, baseView);
    } else {
        Path_SplitDir(baseView, &baseDir, &baseName, TEXT_ENC_UTF8);
        Path_SplitDir(newView, &newDir, &newName, TEXT_ENC_UTF8);
        if (Path_Compare(baseDir, newDir, TEXT_ENC_UTF8) == 0)
            ok = TextBuffer_Set(&nameBuf, baseName);
        else
            ok = Path_MakeRelative(newView, baseView, &nameBuf, TEXT_ENC_UTF8);
    }
    if (!ok || nameBuf.length == 0) return DISK_ERR_ARG;
    const uint32_t k = w.clusterSize;
    const uint64_t headerArea = (uint64_t(kNameOffset) + nameBuf.length + k - 1) / k * k;
    Qcow2Header h;
    Qcow2_BuildHeader(&h, &w, base->header.cryptMethod);
    // The name may take more than cluster 0: everything after it moves up.
    const uint64_t shift = headerArea - k;
    h.refcountTableOffset += shift;
    h.l1Offset += shift;
    h.version = base->header.version;
    h.backingNameOffset = kNameOffset;
    h.backingNameLength = nameBuf.length;
    if (h.version == 2) h.refcountOrder = 0, h.headerLength = 0;
    uint8_t* area = static_cast<uint8_t*>(Mem_Alloc(static_cast<uint32_t>(headerArea)));
    if (area == nullptr) return DISK_ERR_NOMEM;
    memset(area, 0, static_cast<size_t>(headerArea));
    Qcow2_HeaderToDisk(&h, area);
    if (h.version == 2) memset(area + 72, 0, QCOW2_HEADER_BYTES - 72);
    memcpy(area + kNameOffset, nameStorage, nameBuf.length);
    // The overlay holds no data yet: its writer needs no cipher.
    Qcow2Header plain = h;
    plain.cryptMethod = 0;
    r = Qcow2_AllocWriterBuffers(&w, &plain, nullptr);
    // Written under a temporary name beside the final one, then synced and renamed into place.
    OutputFile* output = nullptr;
    if (r == DISK_OK) {
        output = static_cast<OutputFile*>(Mem_Alloc(sizeof(OutputFile)));
        if (output == nullptr) r = DISK_ERR_NOMEM;
    }
    if (r == DISK_OK) {
        OutputFile_Init(output);
        const TextView noBackup = {nullptr, 0};
        r = OutputEntry_ChooseNames(&output->entry, newPath, Path_TempSuffix(TEXT_ENC_UTF8),
                                    noBackup, chain, chainCount);
    }
    if (r == DISK_OK) {
        if (Stream_CreateFile(reinterpret_cast<const char*>(output->entry.tempPath.data),
                              &w.output))
            output->armed = true;
        else
            r = DISK_ERR_CREATE;
    }
    if (r == DISK_OK && !Stream_WriteAt(w.output, 0, static_cast<uint32_t>(headerArea), area))
        r = DISK_ERR_WRITE;
    Mem_Free(area);
    if (r == DISK_OK) {
        // Everything after the header area, as the writer lays it out for a source of nothing.
        DiskGeometry g = base->geometry;
        DiskHandle zero;
        Disk_Init(&zero);
        r = Disk_OpenZero(&zero, &g);
        if (r == DISK_OK) {
            r = Qcow2_WriteBody(headerArea, &w, &h, w.totalSectors, 0, &zero, nullptr, nullptr,
                                nullptr);
            Disk_Close(&zero);
        }
        // The header area beyond cluster 0 is counted by the body's first refcounts as well.
    }
    if (w.output != nullptr && !Stream_Close(w.output) && r == DISK_OK) r = DISK_ERR_WRITE;
    w.output = nullptr;
    Qcow2_FreeWriter(&w);
    if (output != nullptr) {
        if (r == DISK_OK) {
            // A file replaced at the name is kept only until the overlay is in place.
            r = OutputFile_Commit(output, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                  OUTPUT_COMMIT_REMOVE_REPLACED);
            if (r != DISK_OK) OutputEntry_Rollback(&output->entry);
        } else {
            OutputFile_Rollback(output);
        }
        Mem_Free(output);
    }
    return r;
}

// ---- Compaction -------------------------------------------------------------------------------

namespace {

uint64_t Padded8(uint64_t n) { return (n + 7) & ~uint64_t(7); }

// Whether the compacted file keeps an extension of the source: not those that describe the old
// file's layout or content elsewhere (bitmaps, the encryption header, an external data file),
// nor a backing format when the new file names no backing file.
bool KeepExtension(uint32_t type, bool child)
{
    switch (type) {
    case QCOW2_EXT_BITMAPS:
    case QCOW2_EXT_CRYPTO:
    case QCOW2_EXT_DATA_FILE:
        return false;
    case QCOW2_EXT_BACKING_FORMAT:
        return child;
    default:
        return true;
    }
}

// Lays the source's header extensions that stay true of the compacted file into cluster0 after
// the header (72 bytes for version 2, else 104), then the end marker; *nameOffset = where the
// backing name goes after them. When the name does not fit in the cluster with them, the
// feature name table (names only) is left out; DISK_ERR_ARG when it still does not fit.
int CopyExtensions(const Qcow2Image* image, bool child, uint32_t nameLength, uint8_t* cluster0,
                   uint32_t k, uint32_t* nameOffset)
{
    Qcow2ExtensionList* list =
        static_cast<Qcow2ExtensionList*>(Mem_Alloc(sizeof(Qcow2ExtensionList)));
    if (list == nullptr) return DISK_ERR_NOMEM;
    uint8_t* bytes = nullptr;
    uint32_t read = 0;
    int r = Qcow2_ReadExtensions(image->stream, &image->header, image->clusterSize, image->fileSize,
                                 &bytes, &read, list);
    const uint64_t fullHeader = QCOW2_HEADER_BYTES;
    const uint64_t start = image->header.version == 2 ? 72 : fullHeader;
    bool keep[QCOW2_MAX_EXTENSIONS];
    uint64_t need = 0;
    for (int pass = 0; r == DISK_OK && pass < 2; ++pass) {
        uint64_t total = 0;
        for (uint32_t i = 0; i < list->count; ++i) {
            const uint32_t type = list->items[i].type;
            keep[i] = KeepExtension(type, child) && (pass == 0 || type != QCOW2_EXT_FEATURE_NAMES);
            if (keep[i]) total += 8 + Padded8(list->items[i].length);
        }
        need = start + total + 8 + nameLength;
        if (need <= k) break;
    }
    if (r == DISK_OK && need > k) r = DISK_ERR_ARG;
    if (r == DISK_OK) {
        uint64_t at = start;
        for (uint32_t i = 0; i < list->count; ++i) {
            if (!keep[i]) continue;
            const Qcow2Extension& e = list->items[i];
            Bytes_StoreBe32(cluster0 + at, e.type);
            Bytes_StoreBe32(cluster0 + at + 4, e.length);
            memcpy(cluster0 + at + 8, bytes + e.offset, e.length);
            at += 8 + Padded8(e.length);
        }
        // The end marker: eight zero bytes, already there.
        *nameOffset = static_cast<uint32_t>(at + 8);
    }
    Mem_Free(bytes);
    Mem_Free(list);
    return r;
}

// Reads every L2 table the L1 table names: whether any entry is compressed. DISK_ERR_FORMAT
// when two entries share a cluster (an L2 table named by two L1 entries, a data cluster named
// by two L2 entries or also serving as an L2 table): compaction would write a copy for every
// entry, expanding a small file into the whole disk.
int ScanTables(Qcow2Image* image, bool* compressed)
{
    *compressed = false;
    const uint64_t k = image->clusterSize;
    const uint64_t clusters = image->fileSize / k + 1;
    const uint64_t bytes = (clusters + 7) / 8;
    if (bytes > 0xFFFFFFF0u) return DISK_ERR_NOMEM;
    uint8_t* seen = static_cast<uint8_t*>(Mem_Alloc(static_cast<uint32_t>(bytes)));
    if (seen == nullptr) return DISK_ERR_NOMEM;
    memset(seen, 0, static_cast<size_t>(bytes));
    // Marks the cluster at the offset; false when it was marked already. Clusters beyond the
    // file are not tracked: reading them fails later.
    auto mark = [&](uint64_t offset) {
        const uint64_t index = offset / k;
        if (index >= clusters) return true;
        const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
        if (seen[index / 8] & bit) return false;
        seen[index / 8] |= bit;
        return true;
    };
    const uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
    int r = DISK_OK;
    for (uint64_t i = 0; i < image->l1Entries && r == DISK_OK; ++i) {
        const uint64_t l2 = Qcow2_GetL2Offset(image, i);
        if (l2 == 0) continue;
        if (!mark(l2)) {
            r = Refusal_Record("qcow2 L1 table: two entries name the same cluster");
            break;
        }
        r = Qcow2_LoadL2Table(image, i, l2);
        for (uint64_t j = 0; r == DISK_OK && j < k / 8; ++j) {
            const uint64_t e = Bytes_LoadBe64(image->l2Cache + j * 8);
            const int cls = Qcow2_ClassifyL2Entry(e);
            if (cls == QCOW2_CLUSTER_COMPRESSED) {
                *compressed = true;
            } else if ((e & kOffsetMask) != 0 && !mark(e & kOffsetMask)) {
                r = Refusal_Record("qcow2 L2 table: cluster named twice or also a table");
            }
        }
    }
    Mem_Free(seen);
    return r;
}

}  // namespace

int Qcow2_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  OutputFile* output, bool preallocate, ProgressCallback progress, void* user,
                  const uint8_t* key)
{
    if (output == nullptr || path == nullptr) return DISK_ERR_ARG;
    OutputFile_Init(output);
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_QCOW2 ||
        Disk_GetObject(source) == nullptr)
        return DISK_ERR_ARG;
    const Qcow2Image* image = static_cast<const Qcow2Image*>(Disk_GetObject(source));
    if (image->header.snapshotCount != 0) return DISK_ERR_ARG;
    // Without its key the clusters could only be written as plain text under an encrypted
    // header.
    if (image->header.cryptMethod == 1 && key == nullptr) return DISK_ERR_PASSWORD;
    const bool child = Qcow2_HasParent(Disk_GetObject(source));
    // A child whose backing file is not open cannot tell its own clusters from inherited ones
    // by reading; its layer still can, but the content read through it would be wrong.
    if (child && image->backing == nullptr) return DISK_ERR_ARG;

    // The files of the chain, none of which may serve as the temporary name.
    const char* chain[QCOW2_MAX_CHAIN_DEPTH + 3];
    const uint32_t chainCount = CollectChain(image, chain, QCOW2_MAX_CHAIN_DEPTH + 3);
    int r = OutputEntry_ChooseNames(&output->entry, path, Path_CompactSuffix(),
                                    Path_DeleteSuffix(TEXT_ENC_UTF8), chain, chainCount);
    if (r != DISK_OK) return r;
    const char* tempPath = reinterpret_cast<const char*>(output->entry.tempPath.data);

    Qcow2Writer w;
    Qcow2_InitWriter(&w);
    r = Qcow2_ComputeLayout(&w, Geometry_GetTotalSectors(&image->geometry),
                            image->header.clusterBits);
    if (r != DISK_OK) return r;
    const uint32_t k = w.clusterSize;
    const uint32_t nameLength = child ? image->header.backingNameLength : 0;
    // A new header describing the new layout; the version, the size, the cipher, the compatible
    // features, the backing name and the header extensions still true of the new file come from
    // the old one. The dirty bit and every autoclear bit are cleared: the refcounts are exact,
    // and what the autoclear bits stood for (bitmaps) describes the old file.
    Qcow2Header h;
    Qcow2_BuildHeader(&h, &w, image->header.cryptMethod);
    h.version = image->header.version;
    if (h.version == 2)
        h.refcountOrder = 0, h.headerLength = 0;
    else
        h.compatibleFeatures = image->header.compatibleFeatures;
    uint8_t* cluster0 = static_cast<uint8_t*>(Mem_Alloc(k));
    if (cluster0 == nullptr) return DISK_ERR_NOMEM;
    memset(cluster0, 0, k);
    uint32_t nameOffset = 0;
    r = CopyExtensions(image, child, nameLength, cluster0, k, &nameOffset);
    if (r == DISK_OK && nameLength != 0) {
        h.backingNameOffset = nameOffset;
        h.backingNameLength = nameLength;
    }
    // A version 2 header ends at byte 72, where its extensions begin.
    uint8_t headerBytes[QCOW2_HEADER_BYTES];
    Qcow2_HeaderToDisk(&h, headerBytes);
    memcpy(cluster0, headerBytes, h.version == 2 ? 72 : sizeof headerBytes);
    if (r == DISK_OK && nameLength != 0 &&
        !Stream_ReadAt(image->stream, image->header.backingNameOffset, nameLength,
                       cluster0 + nameOffset))
        r = DISK_ERR_READ;

    // Storage: encrypted again with the key; compressed when the image holds any compressed
    // cluster; plain otherwise. Tables shared between entries are refused.
    int mode = 0;
    bool compressed = false;
    if (r == DISK_OK) r = ScanTables(const_cast<Qcow2Image*>(image), &compressed);
    if (r == DISK_OK && key != nullptr && image->header.cryptMethod == 1)
        mode = 3;
    else if (r == DISK_OK && compressed)
        mode = 1;
    if (r == DISK_OK) r = Qcow2_AllocWriterBuffers(&w, &h, mode == 3 ? key : nullptr);
    if (r == DISK_OK) {
        uint64_t size = 0;
        if (preallocate) {
            if (!Stream_GetSize(image->stream, &size))
                r = DISK_ERR_SIZE;
            else if (!Stream_CreatePreallocated(tempPath, size, &w.output))
                r = DISK_ERR_CREATE;
        } else if (!Stream_CreateFile(tempPath, &w.output)) {
            r = DISK_ERR_CREATE;
        }
        if (r == DISK_OK) output->armed = true;
    }
    if (r == DISK_OK && !Stream_WriteAt(w.output, 0, k, cluster0)) r = DISK_ERR_WRITE;
    Mem_Free(cluster0);
    if (r == DISK_OK) {
        w.progress = progress;
        w.user = user;
        if (!Qcow2_ReportProgress(&w, 0)) r = DISK_CANCELLED;
    }
    if (r == DISK_OK)
        r = Qcow2_WriteBody(k, &w, &h, w.totalSectors, mode, const_cast<DiskHandle*>(source), map,
                            progress, user, child);
    r = WriteKit_CloseOutput(w.output, preallocate, r);
    w.output = nullptr;
    Qcow2_FreeWriter(&w);
    return r;
}

int Qcow2_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Commit(output, suffix, flags);
}

int Qcow2_DiscardCompact(OutputFile* output)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Rollback(output);
}
