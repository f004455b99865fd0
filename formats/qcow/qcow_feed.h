// What the qcow and qcow2 writers share: the cluster feed, which takes the clusters of a source
// range in disk order and hands every cluster that holds data to the writer, and the output
// file's opening and closing.
//
// The feed reads each chunk of the source once: the sectors that the map marks free and the
// ranges the source knows to read as zeros (Disk_IsRangeKnownZero) are not read but taken as
// zeros; a cluster that is all zeros is left out. A compressing feed deflates the clusters on
// the worker pool (foundation/work_pool.h) and hands them over in disk order, so that the
// output is the same for any number of workers.
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "foundation/stream.h"
#include "foundation/work_pool.h"

struct UsedSectorMap;

// One cluster handed to the writer.
struct QcowFeedCluster {
    uint64_t firstSector;   // of the source
    uint32_t sectors;       // sectors of the source in it (the last cluster may be short)
    uint8_t* data;          // the whole cluster (a short tail zeroed); the sink may change it
    const uint8_t* packed;  // compressing feed: the raw deflate of data when it came out shorter
                            // than the cluster, else NULL
    uint32_t packedBytes;
};

// Receives the clusters in disk order; a non-zero answer stops the feed with it.
typedef int (*QcowFeedSink)(void* user, QcowFeedCluster* cluster);

struct QcowFeed {
    DiskHandle* source;
    UsedSectorMap* map;
    uint64_t totalSectors;  // of the source, for progress
    uint32_t clusterBytes;
    uint32_t clusterSectors;
    uint32_t packCapacity;  // room for one compressed cluster
    // A cluster is left out only when this layer of the source does not store it
    // (Disk_IsRangeUnallocated); clusters of zeros are kept.
    bool layerOnly;
    QcowFeedSink sink;
    void* user;
    ProgressCallback progress;
    void* progressUser;
    // The chunk being handled.
    uint8_t* chunk;  // chunkSectors x 512 bytes
    uint32_t chunkSectors;
    uint8_t* bits;     // used bits of the chunk
    uint8_t* touched;  // per cluster of the chunk: some of its bytes were read
    // Compression.
    WorkPool* pool;
    uint32_t workers;
    z_stream** zlibs;     // one per worker
    uint8_t* slotData;    // per slot: one cluster
    uint8_t* slotPacked;  // per slot: packCapacity bytes
    uint32_t* slotPackedBytes;
    uint64_t* slotFirst;
    uint32_t* slotSectors;
};

// Prepares a feed of clusters of clusterBytes (a multiple of 512, at most 2 MiB); with
// compress, every cluster is deflated (raw deflate, room packCapacity) on the worker pool.
// DISK_ERR_NOMEM; QcowFeed_Close in every case.
int QcowFeed_Open(QcowFeed* feed, DiskHandle* source, UsedSectorMap* map, uint64_t totalSectors,
                  uint32_t clusterBytes, bool compress, uint32_t packCapacity, bool layerOnly,
                  QcowFeedSink sink, void* user, ProgressCallback progress, void* progressUser);
// Feeds the clusters of [first, first + count) (first on a cluster boundary); reports progress
// after each chunk (DISK_CANCELLED when it answers false). Compressed clusters may still be
// in flight when it returns.
int QcowFeed_Run(QcowFeed* feed, uint64_t first, uint64_t count);
// Hands over every cluster still in flight.
int QcowFeed_Finish(QcowFeed* feed);
// Stops the workers and frees everything; the feed is cleared.
void QcowFeed_Close(QcowFeed* feed);

// Reads sectors [first, first + count) of the source into buffer as the feed does: the
// sectors the map marks free read as zeros.
int QcowFeed_ReadSectors(DiskHandle* source, UsedSectorMap* map, uint64_t first, uint32_t count,
                         uint8_t* buffer);

// Writer start and end shared by both formats. The output is created new; its header goes out
// last, so that until then its place reads as zeros and a cancelled or failed output is never
// taken for an image.
int QcowOutput_Create(const char* path, ByteStream** out);
// Writes the header (only when result is DISK_OK) and closes the output; answers the result,
// or DISK_ERR_WRITE when the header or the close failed.
int QcowOutput_Finish(ByteStream* out, int result, const uint8_t* header, uint32_t headerBytes);
