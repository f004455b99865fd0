// The cluster feed of the qcow and qcow2 writers, and their output's start and end.
#include "formats/qcow/qcow_feed.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/write_kit.h"
#include "foundation/zlib_stream.h"
#include "volume/used_map.h"

namespace {

const uint32_t kSector = 512;
const uint32_t kChunkSectors = 4096;     // 2 MiB read and zero-tested at a time
const uint32_t kKnownZeroSectors = 128;  // the source is asked for known zeros per 64 KiB
const uint64_t kSlotBudget = 24u << 20;  // bytes of all compression slots together

// Used bits of [first, first + count), count <= kChunkSectors; all used without a map.
int UsedBits(UsedSectorMap* map, uint64_t first, uint32_t count, uint8_t* bits)
{
    if (map == nullptr) {
        memset(bits, 0xFF, (count + 7) / 8);
        return DISK_OK;
    }
    return UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
}

int CompressTask(void* context, uint32_t worker, uint32_t slot)
{
    QcowFeed* f = static_cast<QcowFeed*>(context);
    const uint8_t* data = f->slotData + size_t(slot) * f->clusterBytes;
    uint8_t* packed = f->slotPacked + size_t(slot) * f->packCapacity;
    // Each worker keeps its stream: a reset stream deflates exactly as a new one would, without
    // allocating its tables again for every cluster.
    z_stream* z = f->zlibs[worker];
    uint32_t produced = 0;
    if (deflateReset(z) == Z_OK) {
        z->next_in = const_cast<Bytef*>(data);
        z->avail_in = f->clusterBytes;
        z->next_out = packed;
        z->avail_out = f->packCapacity;
        if (deflate(z, Z_FINISH) == Z_STREAM_END) produced = f->packCapacity - z->avail_out;
    }
    // A cluster that deflate cannot make shorter (or fails on) is stored as it is.
    f->slotPackedBytes[slot] = produced < f->clusterBytes ? produced : 0;
    return DISK_OK;
}

// Hands the oldest compressed cluster to the sink.
int TakeOne(QcowFeed* f)
{
    uint32_t slot = 0;
    int r = DISK_OK;
    if (!WorkPool_Take(f->pool, &slot, &r)) return DISK_OK;
    if (r != DISK_OK) return r;
    QcowFeedCluster c;
    c.firstSector = f->slotFirst[slot];
    c.sectors = f->slotSectors[slot];
    c.data = f->slotData + size_t(slot) * f->clusterBytes;
    c.packedBytes = f->slotPackedBytes[slot];
    c.packed = c.packedBytes != 0 ? f->slotPacked + size_t(slot) * f->packCapacity : nullptr;
    return f->sink(f->user, &c);
}

int HandOver(QcowFeed* f, uint64_t first, uint32_t sectors, uint8_t* data)
{
    if (f->pool == nullptr) {
        QcowFeedCluster c = {first, sectors, data, nullptr, 0};
        return f->sink(f->user, &c);
    }
    while (WorkPool_IsFull(f->pool)) {
        int r = TakeOne(f);
        if (r != DISK_OK) return r;
    }
    const uint32_t slot = WorkPool_NextSlot(f->pool);
    memcpy(f->slotData + size_t(slot) * f->clusterBytes, data, f->clusterBytes);
    f->slotFirst[slot] = first;
    f->slotSectors[slot] = sectors;
    WorkPool_Submit(f->pool);
    return DISK_OK;
}

// A chunk of a layered source: the clusters this layer stores, read whole.
int LayerChunk(QcowFeed* f, uint64_t first, uint32_t count)
{
    const uint32_t spc = f->clusterSectors;
    for (uint32_t at = 0; at < count; at += spc) {
        const uint32_t n = count - at < spc ? count - at : spc;
        bool unallocated = false;
        int r = Disk_IsRangeUnallocated(f->source, f->map, first + at, n, &unallocated);
        if (r != DISK_OK) return r;
        if (unallocated) continue;
        uint8_t* data = f->chunk + size_t(at) * kSector;
        memset(data, 0, f->clusterBytes);
        r = Disk_Read(f->source, (first + at) * kSector, n * kSector, data);
        if (r == DISK_OK) r = HandOver(f, first + at, n, data);
        if (r != DISK_OK) return r;
    }
    return DISK_OK;
}

// Marks the clusters of [from, to) (chunk-relative sectors) as read and zeroes them first.
void Touch(QcowFeed* f, uint32_t from, uint32_t to)
{
    for (uint32_t c = from / f->clusterSectors; c <= (to - 1) / f->clusterSectors; ++c) {
        if (f->touched[c]) continue;
        f->touched[c] = 1;
        memset(f->chunk + size_t(c) * f->clusterBytes, 0, f->clusterBytes);
    }
}

int ReadRun(QcowFeed* f, uint64_t first, uint32_t from, uint32_t to)
{
    Touch(f, from, to);
    return Disk_Read(f->source, (first + from) * kSector, (to - from) * kSector,
                     f->chunk + size_t(from) * kSector);
}

// One chunk: the used runs are read (apart from pieces known to be zeros), each cluster with
// data is handed over.
int DataChunk(QcowFeed* f, uint64_t first, uint32_t count)
{
    int r = UsedBits(f->map, first, count, f->bits);
    if (r != DISK_OK) return r;
    const uint32_t clusters = (count + f->clusterSectors - 1) / f->clusterSectors;
    memset(f->touched, 0, clusters);
    const uint32_t piece =
        f->clusterSectors > kKnownZeroSectors ? f->clusterSectors : kKnownZeroSectors;
    uint32_t pending = UINT32_MAX;  // start of the run still to be read
    uint32_t s = 0;
    while (s < count) {
        if (!Bits_Test(f->bits, s)) {
            if (pending != UINT32_MAX) {
                r = ReadRun(f, first, pending, s);
                if (r != DISK_OK) return r;
                pending = UINT32_MAX;
            }
            ++s;
            while (s % 8 == 0 && count - s >= 8 && f->bits[s / 8] == 0) s += 8;
            continue;
        }
        // The used sectors from s up to the end of its piece.
        const uint64_t pieceEnd = ((first + s) / piece + 1) * piece - first;
        uint32_t e = s + 1;
        while (e < count && e < pieceEnd && Bits_Test(f->bits, e)) ++e;
        bool zero = false;
        r = Disk_IsRangeKnownZero(f->source, first + s, e - s, &zero);
        if (r != DISK_OK) return r;
        if (zero && pending != UINT32_MAX) {
            r = ReadRun(f, first, pending, s);
            if (r != DISK_OK) return r;
            pending = UINT32_MAX;
        } else if (!zero && pending == UINT32_MAX) {
            pending = s;
        }
        s = e;
    }
    if (pending != UINT32_MAX) {
        r = ReadRun(f, first, pending, count);
        if (r != DISK_OK) return r;
    }
    for (uint32_t c = 0; c < clusters; ++c) {
        if (!f->touched[c]) continue;
        uint8_t* data = f->chunk + size_t(c) * f->clusterBytes;
        if (Mem_IsZero(data, f->clusterBytes)) continue;
        const uint32_t at = c * f->clusterSectors;
        const uint32_t n = count - at < f->clusterSectors ? count - at : f->clusterSectors;
        r = HandOver(f, first + at, n, data);
        if (r != DISK_OK) return r;
    }
    return DISK_OK;
}

}  // namespace

int QcowFeed_Open(QcowFeed* f, DiskHandle* source, UsedSectorMap* map, uint64_t totalSectors,
                  uint32_t clusterBytes, bool compress, uint32_t packCapacity, bool layerOnly,
                  QcowFeedSink sink, void* user, ProgressCallback progress, void* progressUser)
{
    memset(f, 0, sizeof *f);
    if (clusterBytes == 0 || clusterBytes % kSector != 0 ||
        clusterBytes > kChunkSectors * kSector || sink == nullptr)
        return DISK_ERR_ARG;
    f->source = source;
    f->map = map;
    f->totalSectors = totalSectors;
    f->clusterBytes = clusterBytes;
    f->clusterSectors = clusterBytes / kSector;
    f->packCapacity = packCapacity;
    f->layerOnly = layerOnly;
    f->sink = sink;
    f->user = user;
    f->progress = progress;
    f->progressUser = progressUser;
    f->chunkSectors = kChunkSectors;
    f->chunk = static_cast<uint8_t*>(Mem_Alloc(kChunkSectors * kSector));
    f->bits = static_cast<uint8_t*>(Mem_Alloc(kChunkSectors / 8));
    f->touched = static_cast<uint8_t*>(Mem_Alloc(kChunkSectors / f->clusterSectors));
    if (f->chunk == nullptr || f->bits == nullptr || f->touched == nullptr) return DISK_ERR_NOMEM;
    if (!compress) return DISK_OK;

    f->workers = WorkPool_DefaultWorkers();
    // Slots enough to keep every worker busy while the caller reads and writes, within the
    // budget (at least two).
    uint64_t slots = kSlotBudget / (uint64_t(clusterBytes) + packCapacity);
    if (slots > 4ull * f->workers) slots = 4ull * f->workers;
    if (slots < 2) slots = 2;
    const uint32_t n = static_cast<uint32_t>(slots);
    f->zlibs = static_cast<z_stream**>(Mem_Alloc(f->workers * sizeof(z_stream*)));
    if (f->zlibs == nullptr) return DISK_ERR_NOMEM;
    memset(f->zlibs, 0, f->workers * sizeof(z_stream*));
    for (uint32_t i = 0; i < f->workers; ++i) {
        // Raw deflate with the parameters of Zlib_DeflateRawBuffer.
        z_stream* z = Zlib_AllocStream();
        if (z == nullptr) return DISK_ERR_NOMEM;
        if (deflateInit2(z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -12, 9, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            Mem_Free(z);
            return DISK_ERR_NOMEM;
        }
        f->zlibs[i] = z;
    }
    f->slotData = static_cast<uint8_t*>(Mem_Alloc(n * clusterBytes));
    f->slotPacked = static_cast<uint8_t*>(Mem_Alloc(n * packCapacity));
    f->slotPackedBytes = static_cast<uint32_t*>(Mem_Alloc(n * 4));
    f->slotFirst = static_cast<uint64_t*>(Mem_Alloc(n * 8));
    f->slotSectors = static_cast<uint32_t*>(Mem_Alloc(n * 4));
    if (f->slotData == nullptr || f->slotPacked == nullptr || f->slotPackedBytes == nullptr ||
        f->slotFirst == nullptr || f->slotSectors == nullptr)
        return DISK_ERR_NOMEM;
    f->pool = WorkPool_Create(f->workers, n, CompressTask, f);
    return f->pool != nullptr ? DISK_OK : DISK_ERR_NOMEM;
}

int QcowFeed_Run(QcowFeed* f, uint64_t first, uint64_t count)
{
    // A range that the source does not store in this layer, or knows to be zeros, is passed
    // over as a whole.
    if (count != 0 && count <= UINT32_MAX) {
        bool skip = false;
        const uint32_t n = static_cast<uint32_t>(count);
        int r = f->layerOnly ? Disk_IsRangeUnallocated(f->source, f->map, first, n, &skip)
                             : Disk_IsRangeKnownZero(f->source, first, n, &skip);
        if (r != DISK_OK) return r;
        if (skip) return DISK_OK;
    }
    uint64_t done = 0;
    while (done < count) {
        const uint32_t n =
            static_cast<uint32_t>(count - done < f->chunkSectors ? count - done : f->chunkSectors);
        bool zero = false;
        int r = f->layerOnly ? DISK_OK : Disk_IsRangeKnownZero(f->source, first + done, n, &zero);
        if (r == DISK_OK && !zero)
            r = f->layerOnly ? LayerChunk(f, first + done, n) : DataChunk(f, first + done, n);
        if (r != DISK_OK) return r;
        done += n;
        if (!WriteKit_Progress(f->progress, f->progressUser, first + done, f->totalSectors))
            return DISK_CANCELLED;
    }
    return DISK_OK;
}

int QcowFeed_Finish(QcowFeed* f)
{
    if (f->pool == nullptr) return DISK_OK;
    while (WorkPool_Pending(f->pool) > 0) {
        int r = TakeOne(f);
        if (r != DISK_OK) return r;
    }
    return DISK_OK;
}

void QcowFeed_Close(QcowFeed* f)
{
    WorkPool_Free(f->pool);
    if (f->zlibs != nullptr)
        for (uint32_t i = 0; i < f->workers; ++i) {
            if (f->zlibs[i] == nullptr) continue;
            deflateEnd(f->zlibs[i]);
            Mem_Free(f->zlibs[i]);
        }
    Mem_Free(f->zlibs);
    Mem_Free(f->chunk);
    Mem_Free(f->bits);
    Mem_Free(f->touched);
    Mem_Free(f->slotData);
    Mem_Free(f->slotPacked);
    Mem_Free(f->slotPackedBytes);
    Mem_Free(f->slotFirst);
    Mem_Free(f->slotSectors);
    memset(f, 0, sizeof *f);
}

int QcowFeed_ReadSectors(DiskHandle* source, UsedSectorMap* map, uint64_t first, uint32_t count,
                         uint8_t* buffer)
{
    uint8_t bits[kChunkSectors / 8];
    memset(buffer, 0, size_t(count) * kSector);
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < kChunkSectors ? count - done : kChunkSectors;
        int r = UsedBits(map, first + done, n, bits);
        if (r != DISK_OK) return r;
        for (uint32_t s = 0; s < n;) {
            if (!Bits_Test(bits, s)) {
                ++s;
                continue;
            }
            uint32_t e = s + 1;
            while (e < n && Bits_Test(bits, e)) ++e;
            r = Disk_Read(source, (first + done + s) * kSector, (e - s) * kSector,
                          buffer + size_t(done + s) * kSector);
            if (r != DISK_OK) return r;
            s = e;
        }
        done += n;
    }
    return DISK_OK;
}

int QcowOutput_Create(const char* path, ByteStream** out)
{
    *out = nullptr;
    return Stream_CreateFile(path, out) ? DISK_OK : DISK_ERR_CREATE;
}

int QcowOutput_Finish(ByteStream* out, int result, const uint8_t* header, uint32_t headerBytes)
{
    if (out == nullptr) return result;
    if (result == DISK_OK && !Stream_WriteAt(out, 0, headerBytes, header)) result = DISK_ERR_WRITE;
    if (!Stream_Close(out) && result == DISK_OK) result = DISK_ERR_WRITE;
    return result;
}
