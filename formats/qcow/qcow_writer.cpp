// Writer of new qcow version 1 images: 4096-byte clusters, 512 entries per L2 table.
#include <cstring>

#include "formats/qcow/qcow.h"
#include "formats/qcow/qcow_feed.h"
#include "foundation/platform.h"
#include "foundation/write_kit.h"

namespace {

const uint32_t kCluster = 4096;
const uint32_t kClusterBits = 12;
const uint32_t kL2Bits = 9;
const uint32_t kL2Entries = 512;
const uint32_t kSpanSectors = 4096;  // 2 MiB
const uint32_t kClusterSectors = 8;
const uint64_t kNotCompressed = UINT64_MAX;

struct Writer {
    ByteStream* out;
    uint64_t position;
    uint8_t* cluster;
    QcowCipher* cipher;
    DiskHandle* source;
    UsedSectorMap* map;
    int mode;
    uint64_t total;
    ProgressCallback progress;
    void* user;
    uint64_t* l1;
    uint64_t* l2;       // the open span's table, host order
    uint32_t openSpan;  // UINT32_MAX: none
    uint64_t l2At;
};

int Pad(Writer* w)
{
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

// Ends the open span: in the grouped mode its clusters that did not compress are stored after
// the others (read again); its L2 table is written.
int CloseSpan(Writer* w)
{
    if (w->openSpan == UINT32_MAX) return DISK_OK;
    const uint64_t first = uint64_t(w->openSpan) * kSpanSectors;
    for (uint32_t i = 0; i < kL2Entries; ++i) {
        if (w->l2[i] != kNotCompressed) continue;
        const uint64_t s = first + uint64_t(i) * kClusterSectors;
        const uint32_t n =
            static_cast<uint32_t>(w->total - s < kClusterSectors ? w->total - s : kClusterSectors);
        memset(w->cluster, 0, kCluster);
        int r = QcowFeed_ReadSectors(w->source, w->map, s, n, w->cluster);
        if (r == DISK_OK) r = Store(w, w->cluster, &w->l2[i]);
        if (r != DISK_OK) return r;
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(w->l2);
    for (uint32_t i = 0; i < kL2Entries; ++i) Bytes_StoreBe64(bytes + 8 * i, w->l2[i]);
    if (!Stream_WriteAt(w->out, w->l2At, kCluster, bytes)) return DISK_ERR_WRITE;
    w->l1[w->openSpan] = w->l2At;
    w->openSpan = UINT32_MAX;
    return DISK_OK;
}

// One cluster that holds data, in disk order. The first of a span opens the span: its L2 table
// (zeroed until the span ends) goes before the span's clusters.
int TakeCluster(void* user, QcowFeedCluster* c)
{
    Writer* w = static_cast<Writer*>(user);
    const uint32_t span = static_cast<uint32_t>(c->firstSector / kSpanSectors);
    if (span != w->openSpan) {
        int r = CloseSpan(w);
        if (r == DISK_OK) r = Pad(w);
        if (r != DISK_OK) return r;
        w->l2At = w->position;
        memset(w->l2, 0, kL2Entries * 8);
        if (!Stream_WriteAt(w->out, w->l2At, kCluster, w->l2)) return DISK_ERR_WRITE;
        w->position += kCluster;
        w->openSpan = span;
    }
    uint64_t* entry = &w->l2[(c->firstSector % kSpanSectors) / kClusterSectors];
    if (c->packed != nullptr) {
        if (!Stream_WriteAt(w->out, w->position, c->packedBytes, c->packed)) return DISK_ERR_WRITE;
        *entry = (1ull << 63) | (uint64_t(c->packedBytes) << (63 - kClusterBits)) | w->position;
        w->position += c->packedBytes;
        return DISK_OK;
    }
    if (w->mode == QCOW_STORE_COMPRESSED_GROUPED) {
        *entry = kNotCompressed;
        return DISK_OK;
    }
    if (w->mode == QCOW_STORE_ENCRYPTED &&
        !Qcow_EncryptSectors(w->cipher, c->firstSector, c->data, c->data, kCluster))
        return DISK_ERR_ARG;
    return Store(w, c->data, entry);
}

}  // namespace

int Qcow_Create(const char* path, DiskHandle* source, UsedSectorMap* map, ProgressCallback progress,
                void* user, int storageMode, const uint8_t* key)
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
    w.source = source;
    w.map = map;
    w.mode = storageMode;
    w.openSpan = UINT32_MAX;
    const bool compress =
        storageMode == QCOW_STORE_COMPRESSED || storageMode == QCOW_STORE_COMPRESSED_GROUPED;
    w.l1 = static_cast<uint64_t*>(Mem_Alloc(l1Entries * 8 + 8));
    w.l2 = static_cast<uint64_t*>(Mem_Alloc(kCluster));
    w.cluster = static_cast<uint8_t*>(Mem_Alloc(kCluster));
    QcowFeed feed;
    int r = QcowFeed_Open(&feed, source, map, total, kCluster, compress, 2 * kCluster, false,
                          TakeCluster, &w, progress, user);
    if (r == DISK_OK && (w.l1 == nullptr || w.l2 == nullptr || w.cluster == nullptr))
        r = DISK_ERR_NOMEM;
    if (r == DISK_OK && storageMode == QCOW_STORE_ENCRYPTED) {
        w.cipher = Qcow_AllocCipher();
        if (w.cipher == nullptr || !Qcow_SetKey(w.cipher, key)) r = DISK_ERR_NOMEM;
    }
    if (r == DISK_OK) r = QcowOutput_Create(path, &w.out);
    uint8_t header[QCOW_HEADER_BYTES] = {};
    if (r == DISK_OK) {
        Bytes_StoreBe32(header, QCOW_MAGIC);
        Bytes_StoreBe32(header + 4, 1);
        Bytes_StoreBe64(header + 24, total * 512);
        header[32] = kClusterBits;
        header[33] = kL2Bits;
        Bytes_StoreBe32(header + 36, storageMode == QCOW_STORE_ENCRYPTED ? 1 : 0);
        Bytes_StoreBe64(header + 40, QCOW_HEADER_BYTES);
        memset(w.l1, 0, l1Entries * 8 + 8);
        if (l1Entries != 0 && !Stream_WriteAt(w.out, QCOW_HEADER_BYTES, l1Entries * 8, w.l1))
            r = DISK_ERR_WRITE;
        w.position = QCOW_HEADER_BYTES + uint64_t(l1Entries) * 8;
        if (r == DISK_OK) r = Pad(&w);
    }
    if (r == DISK_OK && !WriteKit_Progress(w.progress, w.user, 0, w.total)) r = DISK_CANCELLED;
    if (r == DISK_OK) r = QcowFeed_Run(&feed, 0, total);
    if (r == DISK_OK) r = QcowFeed_Finish(&feed);
    if (r == DISK_OK) r = CloseSpan(&w);
    if (r == DISK_OK && !WriteKit_Progress(w.progress, w.user, total, w.total)) r = DISK_CANCELLED;
    if (r == DISK_OK) {
        uint8_t* bytes = reinterpret_cast<uint8_t*>(w.l1);
        for (uint32_t i = 0; i < l1Entries; ++i) Bytes_StoreBe64(bytes + 8 * i, w.l1[i]);
        if (l1Entries != 0 && !Stream_WriteAt(w.out, QCOW_HEADER_BYTES, l1Entries * 8, bytes))
            r = DISK_ERR_WRITE;
        // The last compressed cluster may end inside a sector: the file ends on a cluster.
        if (r == DISK_OK) r = Pad(&w);
    }
    QcowFeed_Close(&feed);
    r = QcowOutput_Finish(w.out, r, header, sizeof header);
    Mem_Free(w.l1);
    Mem_Free(w.l2);
    Mem_Free(w.cluster);
    Qcow_FreeCipher(w.cipher);
    return r;
}
