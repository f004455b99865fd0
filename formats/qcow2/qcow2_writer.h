// Writer of new qcow2 version 3 images: plain, compressed, compressed with the clusters that
// do not compress grouped after the others, or AES-128-CBC encrypted. The writing engine
// (Qcow2Writer) also serves the compaction of existing images.
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "formats/qcow/qcow_cipher.h"
#include "formats/qcow2/qcow2.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    // Largest L1 table written (entries): 512-byte clusters up to 128 GiB, as other tools allow.
    QCOW2_MAX_L1_ENTRIES = 4194304
};

struct Qcow2CreateOptions {
    uint32_t clusterBits;  // 9..21
};

Qcow2CreateOptions* Qcow2_AllocCreateOptions();

struct Qcow2Writer {
    ByteStream* output;
    // Layout.
    uint64_t totalSectors;
    uint32_t clusterBits;
    uint32_t clusterSize;
    uint32_t sectorsPerCluster;
    uint32_t refcountEntries;   // per block: cluster / 2
    uint64_t refcountCoverage;  // bytes of file per block
    uint32_t l2Entries;
    uint64_t l2Coverage;  // bytes of virtual disk per L2 table
    uint64_t l2CoverageSectors;
    uint64_t virtualSize;
    uint32_t l1Entries;
    uint64_t l1Bytes;  // rounded up to whole clusters
    uint32_t refcountTableClusters;
    uint32_t initialBlocks;  // refcount blocks written before the L1 table
    // Write state.
    uint64_t position;  // end of the file written so far
    uint64_t runStart;  // cluster receiving compressed data; UINT64_MAX = none
    uint64_t runBytes;
    uint32_t blockCount;  // refcount blocks in the file
    uint32_t cachedBlock;
    uint64_t* l1;  // host order
    uint64_t* l2;  // host order, one span
    uint64_t refcountTableEntries;
    uint64_t* refcountTable;  // host order
    uint16_t* refcountBlock;  // host order, the cached block
    uint8_t* refcountBytes;   // the block in file order while it moves to or from the file
    uint8_t* clusterBuffer;   // cluster + 512
    uint8_t* outputBuffer;    // cluster + 512
    z_stream* zstream;
    QcowCipher* cipher;
    // Progress.
    ProgressCallback progress;
    void* user;
};

void Qcow2_InitWriter(Qcow2Writer* w);
// DISK_ERR_ARG for cluster bits outside 9..21 or an L1 table above QCOW2_MAX_L1_ENTRIES.
int Qcow2_ComputeLayout(Qcow2Writer* w, uint64_t totalSectors, uint32_t clusterBits);
void Qcow2_BuildHeader(Qcow2Header* header, Qcow2Writer* w, uint32_t cryptMethod);
int Qcow2_AllocWriterBuffers(Qcow2Writer* w, const Qcow2Header* header, const uint8_t* key);
// Writes everything after cluster 0. With layerOnly, a cluster is left out only when the
// source's own layer does not store it (Disk_IsRangeUnallocated), so that zero clusters of a
// child that hide its backing data are kept.
int Qcow2_WriteBody(uint64_t position, Qcow2Writer* w, const Qcow2Header* header,
                    uint64_t totalSectors, int storageMode, DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback progress, void* user, bool layerOnly = false);
void Qcow2_FreeWriter(Qcow2Writer* w);

int Qcow2_PadToCluster(Qcow2Writer* w);
bool Qcow2_NeedsRefcountBlock(const Qcow2Writer* w, uint64_t position, uint64_t length);
int Qcow2_AppendRefcountBlock(Qcow2Writer* w);
// Appends a zeroed cluster (after a refcount block when one is needed), counts it, answers
// its offset.
int Qcow2_AppendCluster(Qcow2Writer* w, uint64_t* offset);
int Qcow2_AppendDataCluster(Qcow2Writer* w, const uint8_t* data, uint64_t* entry);
int Qcow2_AddRefcounts(Qcow2Writer* w, uint64_t offset, uint64_t length);
// Writes one cluster of the source; *entry = its L2 entry (0 empty, UINT64_MAX: did not
// compress in mode 2).
int Qcow2_WriteCluster(Qcow2Writer* w, DiskHandle* source, UsedSectorMap* map, uint64_t firstSector,
                       uint32_t sectors, int storageMode, bool layerOnly, uint64_t* entry);
bool Qcow2_ReportProgress(Qcow2Writer* w, uint64_t done);

// 0 when the geometry suits a new qcow2 image (byte size within 63 bits, 512-byte sectors).
int Qcow2_CheckGeometry(DiskGeometry geometry);
int Qcow2_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out);
// Storage modes as QCOW_STORE_* of formats/qcow/qcow.h; the key (16 bytes) in mode 3 only.
int Qcow2_Create(const char* path, DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback progress, void* user, int storageMode, const uint8_t* key,
                 const Qcow2CreateOptions* options);
