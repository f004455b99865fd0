// qcow version 1 images (DISK_KIND_QCOW): two-level cluster tables, deflate-compressed
// clusters, AES-128-CBC encrypted sectors and an optional backing file; and the writer of new
// qcow images.
//
// The object functions of the operation tables take the object as void* (a QcowImage).
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "formats/qcow/qcow_cipher.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    QCOW_MAGIC = 0x514649FBu,
    QCOW_HEADER_BYTES = 48,
    QCOW_MIN_CLUSTER_BITS = 9,
    QCOW_MAX_CLUSTER_BITS = 16,
    QCOW_MIN_L2_BITS = 6,
    QCOW_MAX_L2_BITS = 13,
    QCOW_MAX_BACKING_NAME = 1023,
    QCOW_MAX_L1_BYTES = 32u * 1024u * 1024u,
    QCOW_MAX_CHAIN_DEPTH = 32
};

// Storage modes of the writers (qcow and qcow2).
enum : int {
    QCOW_STORE_PLAIN = 0,
    QCOW_STORE_COMPRESSED = 1,
    QCOW_STORE_COMPRESSED_GROUPED = 2,  // clusters that do not compress follow the others
    QCOW_STORE_ENCRYPTED = 3
};

struct QcowHeader {
    uint32_t magic;
    uint32_t version;
    uint64_t backingNameOffset;
    uint32_t backingNameLength;
    uint32_t mtime;
    uint64_t virtualSize;
    uint8_t clusterBits;
    uint8_t l2Bits;
    uint32_t cryptMethod;
    uint64_t l1Offset;
};

struct QcowImage {
    DiskGeometry geometry;
    ByteStream* stream;
    QcowHeader header;
    DiskHandle* backing;  // owned; NULL when none
    uint64_t l1Offset;
    uint64_t l2Coverage;  // bytes of virtual disk per L2 table
    uint64_t l1Entries;
    uint8_t* l1;  // big-endian entries
    uint32_t clusterSize;
    uint32_t l2Entries;
    uint8_t* l2Cache;        // one L2 table
    uint64_t cachedL1Index;  // UINT64_MAX = none
    uint64_t fileSize;
    bool cacheValid;  // the cluster cache holds the cluster of cacheEntry/cachePosition
    uint64_t cacheEntry;
    uint64_t cachePosition;
    uint8_t* clusterCache;    // cluster size + 16
    uint8_t* rawCluster;      // cluster size + 16
    uint64_t compressedMask;  // 2^(63 - cluster bits) - 1
    z_stream* zstream;
    QcowCipher* cipher;  // only for an encrypted image
};

// ---- Table entries -----------------------------------------------------------------
int Disk_OpenQcow(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenQcowWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int parentMode, void* openProgress);
// DISK_ERR_PASSWORD leaves the kind in the handle with no object.
int Disk_OpenQcowWithKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                         uint32_t keyLength);

// ---- Object --------------------------------------------------------------------------
QcowImage* Qcow_Alloc();
void Qcow_Init(QcowImage* image);
void Qcow_Close(void* object);
// A failed open leaves the object cleared. DISK_ERR_PASSWORD without a key for an encrypted
// image, DISK_ERR_KEY_LENGTH for a key that is not 16 bytes.
int Qcow_OpenWithCallback(QcowImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength);
int Qcow_OpenWithHandlerKey(QcowImage* image, const FileOpener* opener, const char* path,
                            bool readOnly, const uint8_t* key, uint32_t keyLength);
int Qcow_OpenWithKey(QcowImage* image, const char* path, bool readOnly, const uint8_t* key,
                     uint32_t keyLength);
int Qcow_Open(QcowImage* image, const char* path, bool readOnly);
int Qcow_OpenWithHandler(QcowImage* image, const FileOpener* opener, const char* path,
                         bool readOnly);

void Qcow_GetGeometry(void* object, DiskGeometry* out);
int Qcow_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Qcow_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);

// ---- Writer ---------------------------------------------------------------------------
// 0 when a new qcow image can hold the geometry (total below 2^32, 512-byte sectors), else -1.
int Qcow_CheckGeometry(DiskGeometry geometry);
int Qcow_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out);
// Writes a qcow image of 4096-byte clusters from the source. Storage mode QCOW_STORE_*; the key
// (16 bytes) is used in mode 3 only. A failed or cancelled run leaves the partial file.
int Qcow_Create(const char* path, DiskHandle* source, UsedSectorMap* map, ProgressCallback progress,
                void* user, int storageMode, const uint8_t* key);
