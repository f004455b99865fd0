// qcow2 writer: the writing engine with refcounts built as the file grows.
#include "formats/qcow2/qcow2_writer.h"

#include <cstring>

#include "formats/qcow/qcow_feed.h"

#include "foundation/platform.h"
#include "foundation/write_kit.h"
#include "foundation/zlib_stream.h"

namespace {

const uint64_t kCopied = 1ull << 63;
const uint64_t kCompressed = 1ull << 62;
const uint64_t kNotCompressed = UINT64_MAX;

uint64_t DivCeil(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

Qcow2CreateOptions* Qcow2_AllocCreateOptions()
{
    Qcow2CreateOptions* o = static_cast<Qcow2CreateOptions*>(Mem_Alloc(sizeof(Qcow2CreateOptions)));
    if (o != nullptr) o->clusterBits = 16;
    return o;
}

void Qcow2_InitWriter(Qcow2Writer* w)
{
    memset(w, 0, sizeof *w);
    w->runStart = UINT64_MAX;
}

int Qcow2_ComputeLayout(Qcow2Writer* w, uint64_t totalSectors, uint32_t clusterBits)
{
    if (clusterBits < QCOW2_MIN_CLUSTER_BITS || clusterBits > QCOW2_MAX_CLUSTER_BITS)
        return DISK_ERR_ARG;
    if (totalSectors > (UINT64_MAX >> 10)) return DISK_ERR_ARG;
    w->totalSectors = totalSectors;
    w->clusterBits = clusterBits;
    w->clusterSize = 1u << clusterBits;
    w->sectorsPerCluster = w->clusterSize / 512;
    w->refcountEntries = w->clusterSize / 2;
    w->refcountCoverage = uint64_t(w->clusterSize) * w->refcountEntries;
    w->l2Entries = w->clusterSize / 8;
    w->l2Coverage = uint64_t(w->clusterSize) * w->l2Entries;
    w->l2CoverageSectors = w->l2Coverage / 512;
    w->virtualSize = totalSectors * 512;
    const uint64_t l1 = DivCeil(w->virtualSize, w->l2Coverage);
    if (l1 > QCOW2_MAX_L1_ENTRIES) return DISK_ERR_ARG;
    w->l1Entries = static_cast<uint32_t>(l1);
    w->l1Bytes = DivCeil(l1 * 8, w->clusterSize) * w->clusterSize;
    return DISK_OK;
}

void Qcow2_BuildHeader(Qcow2Header* h, Qcow2Writer* w, uint32_t cryptMethod)
{
    // Clusters the file can need at most: header, L1, one L2 table per span, every data
    // cluster; then the refcount blocks and table clusters that count them all.
    const uint64_t cs = w->clusterSize, e = w->refcountEntries;
    const uint64_t l1Clusters = w->l1Bytes / cs;
    const uint64_t d = 1 + l1Clusters + w->l1Entries + DivCeil(w->virtualSize, cs);
    uint64_t b = DivCeil(d, e), t = DivCeil(b * 8, cs), g = b + d + t;
    for (;;) {
        b = DivCeil(g, e);
        t = DivCeil(b * 8, cs);
        const uint64_t m = d + t + b;
        if (m <= g) break;
        g = m;
    }
    w->refcountTableClusters = static_cast<uint32_t>(t);
    w->refcountTableEntries = t * cs / 8;
    // The blocks that count the clusters before the first span: header, table, themselves and
    // the L1 table.
    uint64_t initial = 1;
    while (DivCeil(1 + t + initial + l1Clusters, e) > initial) ++initial;
    w->initialBlocks = static_cast<uint32_t>(initial);

    memset(h, 0, sizeof *h);
    h->magic = QCOW2_MAGIC;
    h->version = 3;
    h->clusterBits = w->clusterBits;
    h->virtualSize = w->virtualSize;
    h->cryptMethod = cryptMethod;
    h->l1Size = w->l1Entries;
    h->refcountTableOffset = cs;
    h->refcountTableClusters = w->refcountTableClusters;
    h->l1Offset = cs * (1 + t + initial);
    h->refcountOrder = 4;
    h->headerLength = QCOW2_HEADER_BYTES;
}

int Qcow2_AllocWriterBuffers(Qcow2Writer* w, const Qcow2Header* header, const uint8_t* key)
{
    const uint32_t cs = w->clusterSize;
    w->l1 = static_cast<uint64_t*>(Mem_Alloc(w->l1Entries == 0 ? 8 : w->l1Entries * 8));
    w->l2 = static_cast<uint64_t*>(Mem_Alloc(cs));
    const uint64_t tableBytes = w->refcountTableEntries * 8;
    if (tableBytes > 0x7FFFFFFFu) return DISK_ERR_NOMEM;
    w->refcountTable = static_cast<uint64_t*>(Mem_Alloc(static_cast<uint32_t>(tableBytes)));
    w->refcountBlock = static_cast<uint16_t*>(Mem_Alloc(cs));
    w->refcountBytes = static_cast<uint8_t*>(Mem_Alloc(cs));
    w->clusterBuffer = static_cast<uint8_t*>(Mem_Alloc(cs + 512));
    w->outputBuffer = static_cast<uint8_t*>(Mem_Alloc(cs + 512));
    w->zstream = Zlib_AllocStream();
    if (w->l1 == nullptr || w->l2 == nullptr || w->refcountTable == nullptr ||
        w->refcountBlock == nullptr || w->refcountBytes == nullptr || w->clusterBuffer == nullptr ||
        w->outputBuffer == nullptr || w->zstream == nullptr)
        return DISK_ERR_NOMEM;
    memset(w->l1, 0, w->l1Entries * 8);
    memset(w->refcountTable, 0, static_cast<size_t>(tableBytes));
    memset(w->refcountBlock, 0, cs);
    if (header->cryptMethod == 1) {
        if (key == nullptr) return DISK_ERR_ARG;
        w->cipher = Qcow_AllocCipher();
        if (w->cipher == nullptr || !Qcow_SetKey(w->cipher, key)) return DISK_ERR_NOMEM;
    }
    return DISK_OK;
}

void Qcow2_FreeWriter(Qcow2Writer* w)
{
    Mem_Free(w->l1);
    Mem_Free(w->l2);
    Mem_Free(w->refcountTable);
    Mem_Free(w->refcountBlock);
    Mem_Free(w->refcountBytes);
    Mem_Free(w->clusterBuffer);
    Mem_Free(w->outputBuffer);
    Mem_Free(w->zstream);
    Qcow_FreeCipher(w->cipher);
    ByteStream* out = w->output;
    Qcow2_InitWriter(w);
    w->output = out;
}

bool Qcow2_ReportProgress(Qcow2Writer* w, uint64_t done)
{
    return WriteKit_Progress(w->progress, w->user, done, w->totalSectors);
}

int Qcow2_PadToCluster(Qcow2Writer* w)
{
    const uint64_t rest = w->position % w->clusterSize;
    if (rest == 0) return DISK_OK;
    const uint64_t n = w->clusterSize - rest;
    if (WriteKit_WriteZeros(w->output, w->position, n) != DISK_OK) return DISK_ERR_WRITE;
    w->position += n;
    return DISK_OK;
}

bool Qcow2_NeedsRefcountBlock(const Qcow2Writer* w, uint64_t position, uint64_t length)
{
    return (position + length - 1) / w->refcountCoverage >= w->blockCount;
}

// Writes the cached refcount block back, big-endian.
static int FlushBlock(Qcow2Writer* w)
{
    uint8_t* bytes = w->refcountBytes;
    for (uint32_t i = 0; i < w->refcountEntries; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(w->refcountBlock[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(w->refcountBlock[i]);
    }
    if (!Stream_WriteAt(w->output, w->refcountTable[w->cachedBlock], w->clusterSize, bytes))
        return DISK_ERR_WRITE;
    return DISK_OK;
}

// Makes the block of `index` the cached one.
static int SelectBlock(Qcow2Writer* w, uint32_t index)
{
    if (index == w->cachedBlock) return DISK_OK;
    const uint32_t cs = w->clusterSize;
    uint8_t* bytes = w->refcountBytes;
    int r = FlushBlock(w);
    if (r != DISK_OK) return r;
    if (!Stream_ReadAt(w->output, w->refcountTable[index], cs, bytes)) return DISK_ERR_READ;
    for (uint32_t i = 0; i < w->refcountEntries; ++i)
        w->refcountBlock[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    w->cachedBlock = index;
    return DISK_OK;
}

int Qcow2_AddRefcounts(Qcow2Writer* w, uint64_t offset, uint64_t length)
{
    if (length == 0) return DISK_OK;
    const uint64_t first = offset / w->clusterSize;
    const uint64_t last = (offset + length - 1) / w->clusterSize;
    for (uint64_t c = first; c <= last; ++c) {
        const uint64_t block = c / w->refcountEntries;
        if (block >= w->blockCount) return DISK_ERR_ARG;
        int r = SelectBlock(w, static_cast<uint32_t>(block));
        if (r != DISK_OK) return r;
        ++w->refcountBlock[c % w->refcountEntries];
    }
    return DISK_OK;
}

int Qcow2_AppendRefcountBlock(Qcow2Writer* w)
{
    if (w->blockCount >= w->refcountTableEntries) return DISK_ERR_ARG;
    int r = Qcow2_PadToCluster(w);
    if (r != DISK_OK) return r;
    const uint64_t at = w->position;
    if (WriteKit_WriteZeros(w->output, at, w->clusterSize) != DISK_OK) return DISK_ERR_WRITE;
    w->refcountTable[w->blockCount++] = at;
    w->position += w->clusterSize;
    return Qcow2_AddRefcounts(w, at, w->clusterSize);
}

// Makes sure the next cluster at the (padded) position is covered by a refcount block.
static int PrepareCluster(Qcow2Writer* w)
{
    int r = Qcow2_PadToCluster(w);
    while (r == DISK_OK && Qcow2_NeedsRefcountBlock(w, w->position, w->clusterSize))
        r = Qcow2_AppendRefcountBlock(w);
    return r;
}

int Qcow2_AppendCluster(Qcow2Writer* w, uint64_t* offset)
{
    int r = PrepareCluster(w);
    if (r != DISK_OK) return r;
    *offset = w->position;
    if (WriteKit_WriteZeros(w->output, w->position, w->clusterSize) != DISK_OK)
        return DISK_ERR_WRITE;
    w->position += w->clusterSize;
    return Qcow2_AddRefcounts(w, *offset, w->clusterSize);
}

int Qcow2_AppendDataCluster(Qcow2Writer* w, const uint8_t* data, uint64_t* entry)
{
    int r = PrepareCluster(w);
    if (r != DISK_OK) return r;
    const uint64_t at = w->position;
    if (!Stream_WriteAt(w->output, at, w->clusterSize, data)) return DISK_ERR_WRITE;
    w->position += w->clusterSize;
    r = Qcow2_AddRefcounts(w, at, w->clusterSize);
    *entry = at | kCopied;
    return r;
}

// Appends compressed bytes to the current run, or to a newly reserved cluster. Every cluster
// the bytes touch is counted once for this entry.
static int AppendCompressed(Qcow2Writer* w, const uint8_t* data, uint32_t length, uint64_t* entry)
{
    const uint64_t cs = w->clusterSize;
    uint64_t end = w->runStart == UINT64_MAX ? 0 : w->runStart + w->runBytes;
    const uint64_t rest = (w->runStart == UINT64_MAX || end % cs == 0) ? 0 : cs - end % cs;
    if (length > rest) {
        int r = PrepareCluster(w);
        if (r != DISK_OK) return r;
        const uint64_t reserved = w->position;
        if (WriteKit_WriteZeros(w->output, reserved, cs) != DISK_OK) return DISK_ERR_WRITE;
        w->position += cs;
        // The run goes on across the boundary only into the cluster right after its own.
        if (w->runStart == UINT64_MAX || rest == 0 || reserved != DivCeil(end, cs) * cs) {
            w->runStart = reserved;
            w->runBytes = 0;
            end = reserved;
        }
    }
    if (!Stream_WriteAt(w->output, end, length, data)) return DISK_ERR_WRITE;
    int r = Qcow2_AddRefcounts(w, end, length);
    if (r != DISK_OK) return r;
    w->runBytes += length;
    const uint64_t sectors = (end + length - 1) / 512 - end / 512 + 1;
    *entry = end | ((sectors - 1) << (70 - w->clusterBits)) | kCompressed;
    return DISK_OK;
}

int Qcow2_WriteCluster(Qcow2Writer* w, DiskHandle* source, UsedSectorMap* map, uint64_t firstSector,
                       uint32_t sectors, int storageMode, bool layerOnly, uint64_t* entry)
{
    *entry = 0;
    uint8_t* buf = w->clusterBuffer;
    int r = DISK_OK;
    if (layerOnly) {
        bool skip = false;
        r = Disk_IsRangeUnallocated(source, map, firstSector, sectors, &skip);
        if (r != DISK_OK || skip) return r;
        memset(buf, 0, w->clusterSize);
        r = Disk_Read(source, firstSector * 512, sectors * 512, buf);
    } else {
        memset(buf, 0, w->clusterSize);
        r = QcowFeed_ReadSectors(source, map, firstSector, sectors, buf);
        if (r == DISK_OK && Mem_IsZero(buf, w->clusterSize)) return DISK_OK;
    }
    if (r != DISK_OK) return r;
    if (storageMode == 1 || storageMode == 2) {
        uint32_t produced = 0;
        if (Zlib_DeflateRawBuffer(w->zstream, buf, w->clusterSize, w->outputBuffer,
                                  w->clusterSize + 512, &produced) &&
            produced < w->clusterSize)
            return AppendCompressed(w, w->outputBuffer, produced, entry);
        if (storageMode == 2) {
            *entry = kNotCompressed;
            return DISK_OK;
        }
    } else if (storageMode == 3) {
        if (!Qcow_EncryptSectors(w->cipher, firstSector, buf, buf, w->clusterSize))
            return DISK_ERR_ARG;
    }
    return Qcow2_AppendDataCluster(w, buf, entry);
}

namespace {

// The state of one body run over the source, for the clusters handed over by the feed.
struct BodyRun {
    Qcow2Writer* w;
    int mode;
    DiskHandle* source;
    UsedSectorMap* map;
    bool layerOnly;
    uint64_t openSpan;  // UINT64_MAX: none
    uint64_t l2Offset;
};

// Ends the open span: in mode 2 its clusters that did not compress are stored after the
// others (read again); its L2 table is written.
int CloseSpan(BodyRun* b)
{
    if (b->openSpan == UINT64_MAX) return DISK_OK;
    Qcow2Writer* w = b->w;
    const uint32_t spc = w->sectorsPerCluster;
    const uint64_t first = b->openSpan * w->l2CoverageSectors;
    for (uint32_t i = 0; i < w->l2Entries; ++i) {
        if (w->l2[i] != kNotCompressed) continue;
        const uint64_t s = first + uint64_t(i) * spc;
        const uint32_t n =
            static_cast<uint32_t>(w->totalSectors - s < spc ? w->totalSectors - s : spc);
        int r = Qcow2_WriteCluster(w, b->source, b->map, s, n, 0, b->layerOnly, &w->l2[i]);
        if (r != DISK_OK) return r;
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(w->l2);
    for (uint32_t i = 0; i < w->l2Entries; ++i) Bytes_StoreBe64(bytes + 8 * i, w->l2[i]);
    if (!Stream_WriteAt(w->output, b->l2Offset, w->clusterSize, bytes)) return DISK_ERR_WRITE;
    w->l1[b->openSpan] = b->l2Offset | kCopied;
    b->openSpan = UINT64_MAX;
    return DISK_OK;
}

// One cluster that holds data, in disk order. The first of a span opens the span: its L2 table
// is reserved before the span's clusters.
int TakeCluster(void* user, QcowFeedCluster* c)
{
    BodyRun* b = static_cast<BodyRun*>(user);
    Qcow2Writer* w = b->w;
    const uint64_t span = c->firstSector / w->l2CoverageSectors;
    if (span != b->openSpan) {
        int r = CloseSpan(b);
        if (r == DISK_OK) r = Qcow2_AppendCluster(w, &b->l2Offset);
        if (r != DISK_OK) return r;
        memset(w->l2, 0, w->clusterSize);
        b->openSpan = span;
    }
    uint64_t* entry = &w->l2[(c->firstSector % w->l2CoverageSectors) / w->sectorsPerCluster];
    if (c->packed != nullptr) return AppendCompressed(w, c->packed, c->packedBytes, entry);
    if (b->mode == 2) {
        *entry = kNotCompressed;
        return DISK_OK;
    }
    if (b->mode == 3 &&
        !Qcow_EncryptSectors(w->cipher, c->firstSector, c->data, c->data, w->clusterSize))
        return DISK_ERR_ARG;
    return Qcow2_AppendDataCluster(w, c->data, entry);
}

}  // namespace

int Qcow2_WriteBody(uint64_t position, Qcow2Writer* w, const Qcow2Header* header,
                    uint64_t totalSectors, int storageMode, DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback progress, void* user, bool layerOnly)
{
    w->progress = progress;
    w->user = user;
    const uint64_t cs = w->clusterSize;
    // Refcount table, the first blocks, the L1 table.
    w->position = position;
    if (WriteKit_WriteZeros(w->output, w->position, uint64_t(w->refcountTableClusters) * cs) !=
        DISK_OK)
        return DISK_ERR_WRITE;
    w->position += uint64_t(w->refcountTableClusters) * cs;
    for (uint32_t i = 0; i < w->initialBlocks; ++i) {
        if (WriteKit_WriteZeros(w->output, w->position, cs) != DISK_OK) return DISK_ERR_WRITE;
        w->refcountTable[w->blockCount++] = w->position;
        w->position += cs;
    }
    if (w->position != header->l1Offset) return DISK_ERR_ARG;
    if (WriteKit_WriteZeros(w->output, w->position, w->l1Bytes) != DISK_OK) return DISK_ERR_WRITE;
    w->position += w->l1Bytes;
    w->cachedBlock = 0;
    int r = Qcow2_AddRefcounts(w, 0, w->position);
    if (r != DISK_OK) return r;

    // The clusters of the source, span by span: an L2 table and the clusters for every span
    // that holds data.
    BodyRun run = {w, storageMode, source, map, layerOnly, UINT64_MAX, 0};
    const bool compress = storageMode == 1 || storageMode == 2;
    QcowFeed feed;
    r = QcowFeed_Open(&feed, source, map, totalSectors, w->clusterSize, compress,
                      w->clusterSize + 512, layerOnly, TakeCluster, &run, progress, user);
    for (uint64_t span = 0; r == DISK_OK && span < w->l1Entries; ++span) {
        const uint64_t first = span * w->l2CoverageSectors;
        const uint64_t left = totalSectors - first;
        if (!Qcow2_ReportProgress(w, first)) r = DISK_CANCELLED;
        if (r == DISK_OK)
            r = QcowFeed_Run(&feed, first,
                             left < w->l2CoverageSectors ? left : w->l2CoverageSectors);
    }
    if (r == DISK_OK) r = QcowFeed_Finish(&feed);
    QcowFeed_Close(&feed);
    if (r == DISK_OK) r = CloseSpan(&run);
    if (r != DISK_OK) return r;
    if (!Qcow2_ReportProgress(w, totalSectors)) return DISK_CANCELLED;
    r = Qcow2_PadToCluster(w);
    if (r != DISK_OK) return r;
    // L1 table, the cached refcount block, the refcount table.
    uint8_t* l1Bytes = reinterpret_cast<uint8_t*>(w->l1);
    for (uint32_t i = 0; i < w->l1Entries; ++i) Bytes_StoreBe64(l1Bytes + 8 * i, w->l1[i]);
    if (w->l1Entries != 0 &&
        !Stream_WriteAt(w->output, header->l1Offset, w->l1Entries * 8, l1Bytes))
        return DISK_ERR_WRITE;
    r = FlushBlock(w);
    if (r != DISK_OK) return r;
    uint8_t entry[8];
    for (uint32_t i = 0; i < w->blockCount; ++i) {
        Bytes_StoreBe64(entry, w->refcountTable[i]);
        if (!Stream_WriteAt(w->output, header->refcountTableOffset + uint64_t(i) * 8, 8, entry))
            return DISK_ERR_WRITE;
    }
    return DISK_OK;
}

int Qcow2_CheckGeometry(DiskGeometry geometry)
{
    if (geometry.bytes_per_sector != 512) return -1;
    if (!Geometry_ByteSizeFitsInt64(&geometry)) return -1;
    return 0;
}

int Qcow2_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out)
{
    memset(out, 0, sizeof *out);
    Geometry_SetTotalSectors(out, byteSize / 512 + (byteSize % 512 != 0));
    out->heads = 16;
    out->sectors_per_track = 63;
    out->bytes_per_sector = 512;
    return 1;
}

int Qcow2_Create(const char* path, DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback progress, void* user, int storageMode, const uint8_t* key,
                 const Qcow2CreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr) return DISK_ERR_ARG;
    if (storageMode < 0 || storageMode > 3) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Qcow2_CheckGeometry(g) != 0) return DISK_ERR_ARG;
    Qcow2Writer w;
    Qcow2_InitWriter(&w);
    w.progress = progress;
    w.user = user;
    int r = Qcow2_ComputeLayout(&w, Geometry_GetTotalSectors(&g), options->clusterBits);
    if (r != DISK_OK) return r;
    Qcow2Header header;
    Qcow2_BuildHeader(&header, &w, storageMode == 3 ? 1 : 0);
    r = Qcow2_AllocWriterBuffers(&w, &header, key);
    if (r == DISK_OK) r = QcowOutput_Create(path, &w.output);
    // The header cluster holds zeros until everything else is written.
    if (r == DISK_OK) r = WriteKit_WriteZeros(w.output, 0, w.clusterSize);
    if (r == DISK_OK && !Qcow2_ReportProgress(&w, 0)) r = DISK_CANCELLED;
    if (r == DISK_OK)
        r = Qcow2_WriteBody(w.clusterSize, &w, &header, w.totalSectors, storageMode, source, map,
                            progress, user);
    uint8_t raw[QCOW2_HEADER_BYTES];
    Qcow2_HeaderToDisk(&header, raw);
    r = QcowOutput_Finish(w.output, r, raw, sizeof raw);
    w.output = nullptr;
    Qcow2_FreeWriter(&w);
    return r;
}
