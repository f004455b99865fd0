// qcow2 images (DISK_KIND_QCOW2): header checks, internal snapshots, opening with a key, a
// chosen snapshot and a backing mode, and reading through the two-level cluster tables with
// compressed, zero and AES-128-CBC encrypted clusters.
//
// The object functions of the operation tables take the object as void* (a Qcow2Image).
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "formats/qcow/qcow_cipher.h"
#include "foundation/stream.h"
#include "foundation/text.h"

struct UsedSectorMap;

enum : uint32_t {
    QCOW2_MAGIC = 0x514649FBu,
    QCOW2_HEADER_BYTES = 104,
    QCOW2_MIN_CLUSTER_BITS = 9,
    QCOW2_MAX_CLUSTER_BITS = 21,
    QCOW2_MAX_BACKING_NAME = 4096,
    // Largest L1 table read (bytes), as other readers limit it.
    QCOW2_MAX_L1_BYTES = 32u * 1024u * 1024u,
    QCOW2_MAX_SNAPSHOTS = 65536,
    QCOW2_SNAPSHOT_ENTRY_BYTES = 40,
    // Backing images opened below one image at most.
    QCOW2_MAX_CHAIN_DEPTH = 32,
    // The only incompatible feature bit understood: "dirty" (refcounts may be stale).
    QCOW2_INCOMPAT_DIRTY = 1,
    // "corrupt": the image is known to be damaged.
    QCOW2_INCOMPAT_CORRUPT = 2,
    // Incompatible features this reader does not read.
    QCOW2_INCOMPAT_DATA_FILE = 4,
    QCOW2_INCOMPAT_COMPRESSION = 8,
    QCOW2_INCOMPAT_EXTENDED_L2 = 16,
    // Crypt method of images whose encryption header lives in a header extension.
    QCOW2_CRYPT_LUKS = 2
};

// Header extensions: a type and a length (big-endian u32 each), then the data padded to a
// multiple of 8 bytes; type 0 ends the list.
enum : uint32_t {
    QCOW2_EXT_END = 0,
    QCOW2_EXT_BACKING_FORMAT = 0xE2792ACAu,
    QCOW2_EXT_FEATURE_NAMES = 0x6803F857u,
    QCOW2_EXT_BITMAPS = 0x23852875u,
    QCOW2_EXT_CRYPTO = 0x0537BE77u,
    QCOW2_EXT_DATA_FILE = 0x44415441u,
    QCOW2_MAX_EXTENSIONS = 64
};

// Features of valid images that this program does not read (Qcow2_UnsupportedFeature).
enum : int {
    QCOW2_FEATURE_NONE = 0,
    QCOW2_FEATURE_EXTENDED_L2 = 1,
    QCOW2_FEATURE_COMPRESSION_TYPE = 2,  // a compression other than deflate (zstd)
    QCOW2_FEATURE_DATA_FILE = 3,         // the data clusters lie in an external file
    QCOW2_FEATURE_LUKS = 4,              // LUKS encryption
    QCOW2_FEATURE_OTHER = 5              // an incompatible feature bit not known here
};

// Backing modes of the open calls.
enum : int {
    QCOW2_BACKING_REQUIRED = 0,  // the backing file must open
    QCOW2_BACKING_OPTIONAL = 1,  // try it; go on without it when it does not open
    QCOW2_BACKING_NAMED = 2,     // the image must name one (else DISK_ERR_FORMAT); not opened
    QCOW2_BACKING_IGNORE = 3     // never opened
};

// L2 entry classes.
enum : int {
    QCOW2_CLUSTER_UNALLOCATED = 0,
    QCOW2_CLUSTER_ZERO = 1,
    QCOW2_CLUSTER_COMPRESSED = 2,
    QCOW2_CLUSTER_STORED = 3
};

// The 104-byte header in host order.
struct Qcow2Header {
    uint32_t magic;
    uint32_t version;
    uint64_t backingNameOffset;
    uint32_t backingNameLength;
    uint32_t clusterBits;
    uint64_t virtualSize;
    uint32_t cryptMethod;
    uint32_t l1Size;
    uint64_t l1Offset;
    uint64_t refcountTableOffset;
    uint32_t refcountTableClusters;
    uint32_t snapshotCount;
    uint64_t snapshotTableOffset;
    uint64_t incompatibleFeatures;
    uint64_t compatibleFeatures;
    uint64_t autoclearFeatures;
    uint32_t refcountOrder;
    uint32_t headerLength;
};

// Converts 104 big-endian bytes to the record, and back.
void Qcow2_HeaderToHost(const uint8_t bytes[QCOW2_HEADER_BYTES], Qcow2Header* out);
void Qcow2_HeaderToDisk(const Qcow2Header* header, uint8_t bytes[QCOW2_HEADER_BYTES]);
// The rules of a readable header against the file size: DISK_OK with the cluster size and the
// L2 coverage (bytes of virtual disk per L2 table); DISK_ERR_UNSUPPORTED for a sound header of
// an image that uses a feature this reader lacks (Qcow2_UnsupportedFeature); else
// DISK_ERR_FORMAT.
int Qcow2_CheckHeader(const Qcow2Header* header, uint64_t fileSize, uint32_t* clusterSize,
                      uint64_t* l2Coverage);

// The first feature of the header (in the order of the QCOW2_FEATURE_* values) that this
// reader does not read, or QCOW2_FEATURE_NONE.
int Qcow2_UnsupportedFeature(const Qcow2Header* header);
// The same for the image file at the path; QCOW2_FEATURE_NONE when it cannot be read or is no
// qcow2 image.
int Qcow2_FindUnsupportedFeature(const char* path);

// One header extension: its type, the length of its data and where the data start (offset into
// the bytes handed to Qcow2_ExtensionsToHost, which is the file offset for cluster 0).
struct Qcow2Extension {
    uint32_t type;
    uint32_t length;
    uint32_t offset;
};
struct Qcow2ExtensionList {
    uint32_t count;
    uint32_t end;  // offset just after the end marker (or where the area ended without one)
    Qcow2Extension items[QCOW2_MAX_EXTENSIONS];
};
// Where the extension area of the header starts (the header length, 72 for version 2) and
// where it must end: at the backing name when that lies in cluster 0 after the start, else at
// the end of cluster 0 or of the file. *end <= *start means no room for extensions.
void Qcow2_ExtensionArea(const Qcow2Header* header, uint32_t clusterSize, uint64_t fileSize,
                         uint32_t* start, uint32_t* end);
// Parses the extensions in bytes [start, end) of `bytes`; the list stops at the end marker or
// where fewer than 8 bytes remain. DISK_ERR_FORMAT when an extension's data run past the end or
// there are more than QCOW2_MAX_EXTENSIONS.
int Qcow2_ExtensionsToHost(const uint8_t* bytes, uint32_t start, uint32_t end,
                           Qcow2ExtensionList* out);
// Reads the extension area of an open stream into a new buffer of *bytesRead bytes (the first
// bytes of the file, at most one cluster; the caller frees it with Mem_Free) and parses it.
int Qcow2_ReadExtensions(ByteStream* stream, const Qcow2Header* header, uint32_t clusterSize,
                         uint64_t fileSize, uint8_t** bytes, uint32_t* bytesRead,
                         Qcow2ExtensionList* out);

// One internal snapshot: identifier and name are raw bytes without terminator.
struct Qcow2Snapshot {
    uint8_t* id;
    uint32_t idLength;
    uint8_t* name;
    uint32_t nameLength;
    uint32_t dateSeconds;
    uint32_t dateNanoseconds;
    uint64_t l1Offset;
    uint32_t l1Size;
};

struct Qcow2SnapshotList {
    uint32_t count;
    Qcow2Snapshot* entries;  // owned
};

// The 40-byte fixed part of a snapshot table entry in host order.
struct Qcow2SnapshotHeader {
    uint64_t l1Offset;
    uint32_t l1Size;
    uint16_t idLength;
    uint16_t nameLength;
    uint32_t dateSeconds;
    uint32_t dateNanoseconds;
    uint64_t vmClock;
    uint32_t vmStateSize;
    uint32_t extraLength;
};
void Qcow2_SnapshotHeaderToHost(const uint8_t bytes[QCOW2_SNAPSHOT_ENTRY_BYTES],
                                Qcow2SnapshotHeader* out);

void Qcow2_InitSnapshotList(Qcow2SnapshotList* list);
void Qcow2_FreeSnapshotList(Qcow2SnapshotList* list);
// Reads every snapshot of the image. The list is emptied first and on every failure.
int Qcow2_ReadSnapshotListWithCallback(Qcow2SnapshotList* list, FileOpenFn open, void* user,
                                       const char* path);
int Qcow2_ReadSnapshotList(Qcow2SnapshotList* list, const char* path);

struct Qcow2Image {
    DiskGeometry geometry;
    ByteStream* stream;
    Qcow2Header header;
    bool backingUnopened;  // the image names a backing file that was not opened
    DiskHandle* backing;   // owned; NULL when not opened
    uint64_t l2Coverage;
    uint64_t* l1;           // owned, big-endian entries
    uint32_t l1Entries;     // entries held; indexes beyond read as unallocated
    int32_t cachedL1Index;  // -1 = none
    uint32_t clusterSize;
    uint8_t* l2Cache;  // one cluster
    uint64_t fileSize;
    // The cluster in clusterCache: L2 entry and virtual position (valid only when cacheValid).
    bool cacheValid;
    uint64_t cacheEntry;
    uint64_t cachePosition;
    uint8_t* clusterCache;  // cluster size + 512
    uint8_t* dataBuffer;    // 2 x cluster size + 512: compressed data or stored sectors
    z_stream* zstream;
    QcowCipher* cipher;  // only for crypt method 1
    char* path;          // the image's own path, owned (terminated)
    char* backingPath;   // the opened backing file's resolved path, owned; NULL when none
};

// ---- Table entries -----------------------------------------------------------------
int Disk_OpenQcow2(DiskHandle* handle, const char* path, bool readOnly);
// parentMode is the backing mode.
int Disk_OpenQcow2WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly, int parentMode, void* openProgress);
// Keyed open (snapshots refused); DISK_ERR_PASSWORD leaves the kind in the handle.
int Disk_OpenQcow2WithKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                          uint32_t keyLength, int backingMode);
// Every option: key, refusal of snapshots, a chosen snapshot (index from 0), backing mode.
int Disk_OpenQcow2Snapshot(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                           uint32_t keyLength, bool refuseSnapshots, bool useSnapshot,
                           uint32_t snapshotIndex, int backingMode);

// ---- Object --------------------------------------------------------------------------
Qcow2Image* Qcow2_Alloc();
void Qcow2_Init(Qcow2Image* image);
void Qcow2_Close(void* object);

int Qcow2_OpenWithCallback(Qcow2Image* image, FileOpenFn open, void* user, const char* path,
                           bool readOnly, const uint8_t* key, uint32_t keyLength,
                           bool refuseSnapshots, bool useSnapshot, uint32_t snapshotIndex,
                           int backingMode);
int Qcow2_OpenWithOptions(Qcow2Image* image, const FileOpener* opener, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength,
                          bool refuseSnapshots, bool useSnapshot, uint32_t snapshotIndex,
                          int backingMode);
int Qcow2_OpenWithHandler(Qcow2Image* image, const FileOpener* opener, const char* path,
                          bool readOnly, int backingMode);
int Qcow2_OpenWithKey(Qcow2Image* image, const char* path, bool readOnly, const uint8_t* key,
                      uint32_t keyLength, int backingMode);
int Qcow2_OpenWithBackingMode(Qcow2Image* image, const char* path, bool readOnly, int backingMode);
int Qcow2_Open(Qcow2Image* image, const char* path, bool readOnly);

void Qcow2_GetGeometry(void* object, DiskGeometry* out);
int Qcow2_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Qcow2_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// Per layer: *unallocated = 1 when no sector of the range is stored in this file (a zero
// cluster counts as stored: it hides the backing file). With a map, a stored cluster counts
// only when the map marks one of the range's sectors in it used.
int Qcow2_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                             bool* unallocated);
bool Qcow2_CanCompact(void* object);
bool Qcow2_HasParent(void* object);
// Whether the image's clusters are AES-encrypted (the legacy cipher, crypt method 1).
inline bool Qcow2_IsAesEncrypted(const Qcow2Image* image) { return image->header.cryptMethod == 1; }

// ---- Lookup steps ---------------------------------------------------------------------
// The L2 table offset of an L1 index (0 = unallocated span).
uint64_t Qcow2_GetL2Offset(const Qcow2Image* image, uint64_t l1Index);
int Qcow2_LoadL2Table(Qcow2Image* image, uint64_t l1Index, uint64_t l2Offset);
// Finds the L2 entry of the cluster holding the virtual byte position (0 when unallocated).
int Qcow2_GetL2Entry(Qcow2Image* image, uint64_t position, uint64_t* entry);
int Qcow2_ClassifyL2Entry(uint64_t entry);
// Brings a compressed cluster into the cluster cache.
int Qcow2_ReadCompressedCluster(Qcow2Image* image, uint64_t entry, uint64_t position);
// Brings a stored cluster of an encrypted image, decrypted, into the cluster cache.
int Qcow2_ReadEncryptedCluster(Qcow2Image* image, uint64_t entry, uint64_t position);
