// Parallels bundles (DISK_KIND_PARALLELS_BUNDLE): a directory with "DiskDescriptor.xml" and the
// data files of its storages, one per snapshot. Reading at a snapshot goes through the chain of
// snapshots down to the root (absent blocks of a later image read through the earlier ones);
// the writer makes a one-snapshot bundle; compaction rewrites single-image storages.
//
// Snapshot GUIDs are compared without regard to letter case.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/parallels/parallels.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"

struct XmlNode;

enum : uint32_t {
    PARALLELS_DESCRIPTOR_MIN = 128,
    PARALLELS_DESCRIPTOR_MAX = 1048576,
    PARALLELS_BUNDLE_PATH_BYTES = 4096,
    // Data files a written bundle may have: their descriptor entries fit the descriptor's size
    // whatever the bundle's name, and the reader keeps each of them open.
    PARALLELS_BUNDLE_MAX_STORAGES = 1200
};

struct ParallelsDescriptor {
    char* text;  // owned, terminated
    XmlNode* document;
    XmlNode* root;
    XmlNode* storageData;
    XmlNode* snapshots;
    uint32_t shotCount;
    uint32_t storageCount;
    uint32_t diskSize;
    uint32_t heads;
    uint32_t sectors;
    uint32_t padding;
    char directory[PARALLELS_BUNDLE_PATH_BYTES];  // with its separator
};

void ParallelsDescriptor_Init(ParallelsDescriptor* descriptor);
void ParallelsDescriptor_Free(ParallelsDescriptor* descriptor);

struct ParallelsSnapshotList {
    char* text;  // owned: the descriptor's text
    uint32_t count;
    TextView* guids;
    TextView* parents;
};

struct ParallelsStorage {
    uint32_t firstSector;
    uint32_t sectorCount;
    uint32_t imageCount;
    ParallelsStorageImage* images;  // owned, root first
    uint32_t selected;
    char path[PARALLELS_BUNDLE_PATH_BYTES];  // the root image's file
};

struct ParallelsBundle {
    DiskGeometry geometry;
    uint32_t storageCount;
    ParallelsStorage* storages;
    bool leaf;
};

struct ParallelsBundleCreateOptions {
    uint8_t compressed;
    uint32_t splitSectors;
    uint32_t extra;
};

// `path` may name the descriptor, a file of the bundle directory (the empty marker) or the
// directory itself; pathBuffer (PARALLELS_BUNDLE_PATH_BYTES) receives the descriptor's path.
int ParallelsBundle_ReadDescriptor(ParallelsDescriptor* descriptor, FileOpenFn open, void* user,
                                   const char* path, char* pathBuffer);

void ParallelsBundle_InitSnapshotList(ParallelsSnapshotList* list);
void ParallelsBundle_FreeSnapshotList(ParallelsSnapshotList* list);
int ParallelsBundle_ReadSnapshotListWithCallback(ParallelsSnapshotList* list, FileOpenFn open,
                                                 void* user, const char* path);
int ParallelsBundle_ReadSnapshotList(ParallelsSnapshotList* list, const char* path);
// Whether two GUID texts name the same snapshot (letter case ignored).
bool Parallels_GuidEquals(TextView a, TextView b);

ParallelsBundle* ParallelsBundle_Alloc();
void ParallelsBundle_Init(ParallelsBundle* bundle);
void ParallelsBundle_Close(void* object);
// guid NULL: the bundle must have exactly one snapshot. DISK_ERR_FORMAT for every structural
// fault (unknown GUID, a parent chain that loops, storages that do not link up from "0" or do
// not cover "Disk_size"), or the data files' failures.
int ParallelsBundle_OpenWithCallback(ParallelsBundle* bundle, FileOpenFn open, void* user,
                                     const char* path, bool readOnly, const char* guid);
int ParallelsBundle_OpenSnapshot(ParallelsBundle* bundle, const char* path, bool readOnly,
                                 const char* guid);
int ParallelsBundle_Open(ParallelsBundle* bundle, const char* path, bool readOnly);
int ParallelsBundle_OpenWithHandler(ParallelsBundle* bundle, const FileOpener* opener,
                                    const char* path, bool readOnly);
int ParallelsStorage_Open(ParallelsStorage* storage, uint32_t chainLength, const TextView* chain,
                          XmlNode* storageNode, const ParallelsDescriptor* descriptor,
                          FileOpenFn open, void* user, bool readOnly);
int ParallelsStorageImage_Open(ParallelsStorageImage* image, FileOpenFn open, void* user,
                               const char* path, bool readOnly, int32_t type, uint32_t padding,
                               const ParallelsStorageImage* previous, uint32_t sectorCount,
                               uint32_t firstSector);

int Disk_OpenParallelsBundle(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenParallelsBundleWithHandler(DiskHandle* handle, const FileOpener* opener,
                                        const char* path, bool readOnly, int parentMode,
                                        void* openProgress);
int Disk_OpenParallelsSnapshot(DiskHandle* handle, const char* path, bool readOnly,
                               const char* guid);

void ParallelsBundle_GetGeometry(void* object, DiskGeometry* out);
int ParallelsBundle_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int ParallelsBundle_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                                 bool* empty, RangeProgressAdapter adapter,
                                 RangeProgressRecord* record);
int ParallelsBundle_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first,
                                       uint32_t count, bool* out);
bool ParallelsBundle_CanCompact(void* object);
bool ParallelsBundle_HasParent(void* object);
// The storages of the open snapshot and the root image file of storage i.
inline uint32_t ParallelsBundle_StorageCount(const ParallelsBundle* bundle)
{
    return bundle->storageCount;
}
inline const char* ParallelsBundle_StoragePath(const ParallelsBundle* bundle, uint32_t i)
{
    return bundle->storages[i].path;
}
int32_t ParallelsBundle_CheckGeometry(const DiskGeometry* geometry);

ParallelsBundleCreateOptions* ParallelsBundle_AllocCreateOptions();
// DISK_ERR_ARG (geometry, a split size below one block or giving more than
// PARALLELS_BUNDLE_MAX_STORAGES data files, names that do not fit; nothing is written), DISK_ERR_MKDIR,
// DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED, or the source's failure.
int ParallelsBundle_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                           ProgressCallback callback, void* user,
                           const ParallelsBundleCreateOptions* options);

// Compacts every data file of the bundle; only a leaf snapshot whose storages hold one
// "Compressed" image each can be compacted (DISK_ERR_ARG otherwise). `path` is the path the
// bundle was opened by (NULL: the descriptor beside the first data file).
//
// Renames cannot swap several files as one, so no data file is replaced under its name: each is
// compacted for a fresh name derived from its own (OutputSet_FreshName), and a new descriptor,
// the old text with those "File" texts changed, names them (DISK_ERR_ARG when a "File" text
// holds an entity and cannot be changed in place). The list holds the data files (final path =
// fresh name, temporary path = that + "_TEMP"), then the descriptor (final path and its new
// text's temporary file), then the old data files (final paths only). The commit puts the new
// data files in place and switches the descriptor last with one rename (OutputSet_Commit), so
// that the bundle opens as the old or the new one at every instant; the old descriptor is kept
// under its name + suffix with the old data files beside it, a whole bundle, or removed with them
// (OUTPUT_COMMIT_REMOVE_REPLACED). On failure everything is as it was and the list's temporary
// files are removed; the list is empty afterwards.
int ParallelsBundle_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                            OutputList* list, bool preallocate, ProgressCallback callback,
                            void* user);
int ParallelsBundle_CommitCompact(OutputList* list, TextView suffix, uint32_t flags);
int ParallelsBundle_DiscardCompact(OutputList* list);
int ParallelsStorage_Compact(ParallelsStorage* storage, const char* tempPath,
                             const DiskHandle* source, UsedSectorMap* map, bool preallocate,
                             ProgressCallback callback, void* user, uint64_t diskTotal);
int ParallelsStorageImage_Compact(ParallelsStorageImage* image, const char* tempPath,
                                  const DiskHandle* source, UsedSectorMap* map, bool preallocate,
                                  ProgressCallback callback, void* user, uint64_t diskTotal);
