// Writer of new qcow version 1 images: 4096-byte clusters, 512 entries per L2 table.
#include <cstring>

#include "formats/qcow/qcow.h"
#include "foundation/platform.h"
#include "foundation/zlib_stream.h"

namespace {

const uint32_t kCluster = 4096;
const uint32_t kClusterBits = 12;
const uint32_t kL2Bits = 9;
const uint32_t kL2Entries = 512;
const uint32_t kSpanSectors = 4096;  // 2 MiB
const uint32_t kClusterSectors = 8;
const uint64_t kNotCompressed = UINT64_MAX;

void PutBe64(uint8_t* p, uint64_t v)
{
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}
void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

struct Writer {
    ByteStream* out;
    uint64_t position;
    uint8_t* cluster;
    uint8_t* packed;
    z_stream* zstream;
    QcowCipher* cipher;
    uint64_t total;
    ProgressCallback progress;
    void* user;
};

bool Report(Writer* w, uint64_t done)
{
    return w->progress == nullptr || w->progress(done, w->total, w->user);
}

int Pad(Writer* w)
{
    static const uint8_t kZeros[kCluster] = {};
    const uint32_t rest = static_cast<uint32_t>(w->position % kCluster);
    if (rest == 0) return DISK_OK;
    if (!Stream_WriteAt(w->out, w->position, kCluster - rest, kZeros)) return DISK_ERR_WRITE;
    w->position += kCluster - rest;
    return DISK_OK;
}

int Store(Writer* w, const uint8_t* data, uint64_t* entry)
{
    int r = Pad(w);
    if (r != DISK_OK) return r;
    if (!Stream_WriteAt(w->out, w->position, kCluster, data)) return DISK_ERR_WRITE;
    *entry = w->position;
    w->position += kCluster;
    return DISK_OK;
}

// One cluster of the source: entry 0 when empty, kNotCompressed when grouping and it does not
// compress.
int WriteOne(Writer* w, DiskHandle* source, UsedSectorMap* map, uint64_t first, uint32_t n,
             int mode, uint64_t* entry)
{
    *entry = 0;
    bool empty = false;
    int r = Disk_IsRangeEmpty(source, map, first, n, &empty, nullptr, nullptr);
    if (r != DISK_OK) return r;
    if (empty) return DISK_OK;
    memset(w->cluster, 0, kCluster);
    r = Disk_Read(source, first * 512, n * 512, w->cluster);
    if (r != DISK_OK) return r;
    if (mode == QCOW_STORE_COMPRESSED || mode == QCOW_STORE_COMPRESSED_GROUPED) {
        uint32_t produced = 0;
        if (Zlib_DeflateRawBuffer(w->zstream, w->cluster, kCluster, w->packed, 2 * kCluster,
                                  &produced) &&
            produced < kCluster) {
            if (!Stream_WriteAt(w->out, w->position, produced, w->packed)) return DISK_ERR_WRITE;
            *entry = (1ull << 63) | (uint64_t(produced) << (63 - kClusterBits)) | w->position;
            w->position += produced;
            return DISK_OK;
        }
        if (mode == QCOW_STORE_COMPRESSED_GROUPED) {
            *entry = kNotCompressed;
            return DISK_OK;
        }
    } else if (mode == QCOW_STORE_ENCRYPTED) {
        if (!Qcow_EncryptSectors(w->cipher, first, w->cluster, w->cluster, kCluster))
            return DISK_ERR_ARG;
    }
    return Store(w, w->cluster, entry);
}

int WriteAll(Writer* w, DiskHandle* source, UsedSectorMap* map, int mode, uint64_t* l1,
             uint32_t l1Entries, uint64_t* l2)
{
    RangeProgressRecord record = {w->progress, w->user, 0, w->total, 0};
    RangeProgressAdapter adapter = w->progress != nullptr ? Disk_GetRangeProgressAdapter() : nullptr;
    for (uint32_t span = 0; span < l1Entries; ++span) {
        const uint64_t first = uint64_t(span) * kSpanSectors;
        const uint32_t spanSectors = static_cast<uint32_t>(
            w->total - first < kSpanSectors ? w->total - first : kSpanSectors);
        bool empty = false;
        record.base = first;
        int r = Disk_IsRangeEmpty(source, map, first, spanSectors, &empty, adapter,
                                  adapter != nullptr ? &record : nullptr);
        if (r != DISK_OK) return r;
        if (empty) {
            l1[span] = 0;
            if (!Report(w, first + spanSectors)) return DISK_CANCELLED;
            continue;
        }
        r = Pad(w);
        if (r != DISK_OK) return r;
        const uint64_t l2At = w->position;
        memset(l2, 0, kL2Entries * 8);
        if (!Stream_WriteAt(w->out, l2At, kCluster, l2)) return DISK_ERR_WRITE;
        w->position += kCluster;
        const uint32_t clusters = (spanSectors + kClusterSectors - 1) / kClusterSectors;
        uint64_t settled = 0;
        for (uint32_t i = 0; i < clusters; ++i) {
            const uint64_t s = first + uint64_t(i) * kClusterSectors;
            const uint32_t n = spanSectors - i * kClusterSectors < kClusterSectors
                                   ? spanSectors - i * kClusterSectors : kClusterSectors;
            r = WriteOne(w, source, map, s, n, mode, &l2[i]);
            if (r != DISK_OK) return r;
            if (l2[i] != kNotCompressed) settled += n;
            if (!Report(w, first + settled)) return DISK_CANCELLED;
        }
        for (uint32_t i = 0; i < clusters; ++i) {
            if (l2[i] != kNotCompressed) continue;
            const uint64_t s = first + uint64_t(i) * kClusterSectors;
            const uint32_t n = spanSectors - i * kClusterSectors < kClusterSectors
                                   ? spanSectors - i * kClusterSectors : kClusterSectors;
            memset(w->cluster, 0, kCluster);
            r = Disk_Read(source, s * 512, n * 512, w->cluster);
            if (r == DISK_OK) r = Store(w, w->cluster, &l2[i]);
            if (r != DISK_OK) return r;
            settled += n;
            if (!Report(w, first + settled)) return DISK_CANCELLED;
        }
        uint8_t* bytes = reinterpret_cast<uint8_t*>(l2);
        for (uint32_t i = 0; i < kL2Entries; ++i) PutBe64(bytes + 8 * i, l2[i]);
        if (!Stream_WriteAt(w->out, l2At, kCluster, bytes)) return DISK_ERR_WRITE;
        l1[span] = l2At;
        if (!Report(w, first + spanSectors)) return DISK_CANCELLED;
    }
    return DISK_OK;
}

}  // namespace

int Qcow_Create(const char* path, DiskHandle* source, UsedSectorMap* map,
                ProgressCallback progress, void* user, int storageMode, const uint8_t* key)
{
    if (path == nullptr || source == nullptr || storageMode < 0 || storageMode > 3)
        return DISK_ERR_ARG;
    if (storageMode == QCOW_STORE_ENCRYPTED && key == nullptr) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Qcow_CheckGeometry(g) != 0) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const uint32_t l1Entries = static_cast<uint32_t>((total + kSpanSectors - 1) / kSpanSectors);

    Writer w = {};
    w.total = total;
    w.progress = progress;
    w.user = user;
    uint64_t* l1 = static_cast<uint64_t*>(Mem_Alloc(l1Entries * 8 + 8));
    uint64_t* l2 = static_cast<uint64_t*>(Mem_Alloc(kCluster));
    w.cluster = static_cast<uint8_t*>(Mem_Alloc(kCluster));
    w.packed = static_cast<uint8_t*>(Mem_Alloc(2 * kCluster));
    w.zstream = Zlib_AllocStream();
    int r = DISK_OK;
    if (l1 == nullptr || l2 == nullptr || w.cluster == nullptr || w.packed == nullptr ||
        w.zstream == nullptr)
        r = DISK_ERR_NOMEM;
    if (r == DISK_OK && storageMode == QCOW_STORE_ENCRYPTED) {
        w.cipher = Qcow_AllocCipher();
        if (w.cipher == nullptr || !Qcow_SetKey(w.cipher, key)) r = DISK_ERR_NOMEM;
    }
    if (r == DISK_OK && !Stream_CreateFile(path, &w.out)) r = DISK_ERR_CREATE;
    // The header goes out last (until then its place is a hole that reads as zeros): an output
    // that was cancelled or failed is not taken for an image.
    uint8_t header[QCOW_HEADER_BYTES] = {};
    if (r == DISK_OK) {
        PutBe32(header, QCOW_MAGIC);
        PutBe32(header + 4, 1);
        PutBe64(header + 24, total * 512);
        header[32] = kClusterBits;
        header[33] = kL2Bits;
        PutBe32(header + 36, storageMode == QCOW_STORE_ENCRYPTED ? 1 : 0);
        PutBe64(header + 40, QCOW_HEADER_BYTES);
        memset(l1, 0, l1Entries * 8 + 8);
        if (l1Entries != 0 && !Stream_WriteAt(w.out, QCOW_HEADER_BYTES, l1Entries * 8, l1))
            r = DISK_ERR_WRITE;
        w.position = QCOW_HEADER_BYTES + uint64_t(l1Entries) * 8;
        if (r == DISK_OK) r = Pad(&w);
    }
    if (r == DISK_OK && !Report(&w, 0)) r = DISK_CANCELLED;
    if (r == DISK_OK) r = WriteAll(&w, source, map, storageMode, l1, l1Entries, l2);
    if (r == DISK_OK) {
        uint8_t* bytes = reinterpret_cast<uint8_t*>(l1);
        for (uint32_t i = 0; i < l1Entries; ++i) PutBe64(bytes + 8 * i, l1[i]);
        if (l1Entries != 0 && !Stream_WriteAt(w.out, QCOW_HEADER_BYTES, l1Entries * 8, bytes))
            r = DISK_ERR_WRITE;
        // The last compressed cluster may end inside a sector: the file ends on a cluster.
        if (r == DISK_OK) r = Pad(&w);
        if (r == DISK_OK && !Stream_WriteAt(w.out, 0, sizeof header, header)) r = DISK_ERR_WRITE;
    }
    if (w.out != nullptr && !Stream_Close(w.out) && r == DISK_OK) r = DISK_ERR_WRITE;
    Mem_Free(l1);
    Mem_Free(l2);
    Mem_Free(w.cluster);
    Mem_Free(w.packed);
    Mem_Free(w.zstream);
    Qcow_FreeCipher(w.cipher);
    return r;
}
