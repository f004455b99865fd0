// qcow2 overlays, backing names and compaction.
#include "formats/qcow2/qcow2_maintain.h"

#include <cstring>

#include "disk/disk_open.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "foundation/in_place.h"
#include "foundation/path.h"
#include "foundation/platform.h"

namespace {

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void PutBe64(uint8_t* p, uint64_t v)
{
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

// Where a compacted or new image keeps its backing name: after the header and an empty
// extension area.
const uint32_t kNameOffset = 112;

// The header's backing name offset (8 bytes) and length (4 bytes) fields, adjacent; a name
// that ends within the first page is rewritten with them in one write.
const uint64_t kOffsetField = 8;
const uint64_t kLengthField = 16;
const uint64_t kTogetherEnd = 4096;

bool CloseOutput(ByteStream* s, bool preallocated)
{
    return preallocated ? Stream_ClosePreallocated(s) : Stream_Close(s);
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
    const uint64_t room = offset + length > k ? (offset + length + k - 1) / k * k - offset
                                              : k - offset % k;
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
        PutBe64(newHeader, nameAt);
        PutBe32(newHeader + 8, name.length);
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

// ---- Overlay ----------------------------------------------------------------------------

int Qcow2_CreateOverlay(const DiskHandle* source, const char* basePath, const char* newPath,
                        bool absoluteName)
{
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_QCOW2 ||
        Disk_GetObject(source) == nullptr || basePath == nullptr || newPath == nullptr)
        return DISK_ERR_ARG;
    const Qcow2Image* base = static_cast<const Qcow2Image*>(Disk_GetObject(source));
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
    if (r == DISK_OK && !Stream_CreateFile(newPath, &w.output)) r = DISK_ERR_CREATE;
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
    return r;
}

// ---- Compaction -------------------------------------------------------------------------------

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
    const char* chain[QCOW2_MAX_CHAIN_DEPTH + 2];
    uint32_t chainCount = 0;
    for (const Qcow2Image* p = image; p != nullptr && chainCount < QCOW2_MAX_CHAIN_DEPTH + 2;) {
        if (p->path != nullptr) chain[chainCount++] = p->path;
        p = p->backing != nullptr && Disk_GetKind(p->backing) == DISK_KIND_QCOW2
                ? static_cast<const Qcow2Image*>(Disk_GetObject(p->backing))
                : nullptr;
    }
    static const uint8_t kSuffix[] = "_TEMP";
    int r = OutputEntry_ChooseNames(&output->entry, path, TextView{kSuffix, 5},
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
    if (uint64_t(kNameOffset) + nameLength > k) return DISK_ERR_ARG;
    // A new header describing the new layout; only the version, the size, the cipher and the
    // backing name come from the old one. Autoclear and other feature bits are dropped.
    Qcow2Header h;
    Qcow2_BuildHeader(&h, &w, image->header.cryptMethod);
    h.version = image->header.version;
    if (h.version == 2) h.refcountOrder = 0, h.headerLength = 0;
    if (nameLength != 0) {
        h.backingNameOffset = kNameOffset;
        h.backingNameLength = nameLength;
    }
    uint8_t* cluster0 = static_cast<uint8_t*>(Mem_Alloc(k));
    if (cluster0 == nullptr) return DISK_ERR_NOMEM;
    memset(cluster0, 0, k);
    Qcow2_HeaderToDisk(&h, cluster0);
    if (h.version == 2) memset(cluster0 + 72, 0, QCOW2_HEADER_BYTES - 72);
    if (nameLength != 0 &&
        !Stream_ReadAt(image->stream, image->header.backingNameOffset, nameLength,
                       cluster0 + kNameOffset))
        r = DISK_ERR_READ;

    // Storage: encrypted again with the key; compressed when the image holds any compressed
    // cluster; plain otherwise.
    int mode = 0;
    if (r == DISK_OK && key != nullptr && image->header.cryptMethod == 1) {
        mode = 3;
    } else if (r == DISK_OK) {
        Qcow2Image* scan = const_cast<Qcow2Image*>(image);
        for (uint64_t i = 0; i < scan->l1Entries && mode == 0 && r == DISK_OK; ++i) {
            const uint64_t l2 = Qcow2_GetL2Offset(scan, i);
            if (l2 == 0) continue;
            r = Qcow2_LoadL2Table(scan, i, l2);
            for (uint32_t j = 0; r == DISK_OK && j < k / 8; ++j) {
                uint64_t e = 0;
                for (int b = 0; b < 8; ++b) e = (e << 8) | scan->l2Cache[j * 8 + b];
                if (Qcow2_ClassifyL2Entry(e) == QCOW2_CLUSTER_COMPRESSED) {
                    mode = 1;
                    break;
                }
            }
        }
    }
    if (r == DISK_OK) r = Qcow2_AllocWriterBuffers(&w, &h, mode == 3 ? key : nullptr);
    if (r == DISK_OK) {
        uint64_t size = 0;
        if (preallocate) {
            if (!Stream_GetSize(image->stream, &size)) r = DISK_ERR_SIZE;
            else if (!Stream_CreatePreallocated(tempPath, size, &w.output)) r = DISK_ERR_CREATE;
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
    if (w.output != nullptr && !CloseOutput(w.output, preallocate) && r == DISK_OK)
        r = DISK_ERR_WRITE;
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
