// Maintenance of qcow2 images: a new empty overlay whose backing file is an open image, the
// backing file name read and replaced in place, and compaction through a temporary file.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/qcow2/qcow2.h"
#include "foundation/output_file.h"
#include "foundation/text.h"

struct UsedSectorMap;

// A byte buffer handed back to the caller, who frees `data` with Mem_Free.
struct Qcow2NameBuffer {
    uint8_t* data;
    uint32_t length;
    uint32_t capacity;
};

// Creates an empty overlay at newPath whose backing file is the image open in `source` (kind
// 13), named by basePath as given (absoluteName) or relative to the overlay's directory. The
// overlay is written under a temporary name, synced and renamed to newPath, so that the name
// holds what it held before or the whole overlay. DISK_ERR_ARG when newPath is the base or any
// file of its backing chain (also through another name or a link); DISK_ERR_CREATE when
// something exists at newPath and allowReplace is false (nothing is written). A link at newPath
// is replaced itself, never followed.
int Qcow2_CreateOverlay(const DiskHandle* source, const char* basePath, const char* newPath,
                        bool absoluteName, bool allowReplace = false);
// Whether `path` is the image open in `source` (kind 13) or a file of its backing chain, by
// device and inode (another spelling or a link of one of them counts).
bool Qcow2_IsFileOfChain(const DiskHandle* source, const char* path);
int Qcow2_ReadBackingName(Qcow2Image* image, Qcow2NameBuffer* out);
// Replaces the backing name in place; DISK_ERR_ARG when it is empty, longer than 1023 bytes or
// does not fit the room the present name has, when the present name or the bytes the new one
// needs do not lie after the header and its extensions or touch a table (L1, L2, refcount,
// snapshot), or when the image names no backing file. Nothing is written then.
int Qcow2_SetBackingName(Qcow2Image* image, TextView name);

// Writes a compacted copy of the image open in `source` to a temporary file beside `path`
// and arms `output`. Clusters that are unallocated, unused by the map or (for an image
// without backing file) all zero are left out; a child keeps every cluster its own layer
// stores, zero or not. An encrypted image needs its key (DISK_ERR_PASSWORD without one) and is
// written encrypted again. DISK_ERR_ARG for an image with snapshots.
int Qcow2_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  OutputFile* output, bool preallocate, ProgressCallback progress, void* user,
                  const uint8_t* key);
int Qcow2_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags);
int Qcow2_DiscardCompact(OutputFile* output);
