// Opening disks: by extension and probing, one known kind, or a raw image with a given geometry.
//
// Every open stores kind and object in the handle only on success and leaves the handle as it
// was on failure, with one exception: DISK_ERR_PASSWORD from a qcow or qcow2 image leaves that
// kind in the handle with no object, so that the caller knows which format wants a key.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"

struct PluginModule;

// Open of one kind through the caller's file opener: allocates the kind's object, opens it
// (kinds 0, 6 and 13 interpret the parent mode, kind 0 also the open-progress record) and on
// success stores kind and object in the handle; on failure frees the object and leaves the
// handle unchanged.
typedef int (*DiskOpenWithHandlerFn)(DiskHandle* handle, const FileOpener* opener, const char* path,
                                     bool readOnly, int parentMode, void* openProgress);
// The caller's-opener entries of kinds 0..22, used by probing; a NULL slot is skipped. Filled
// from the format rows like the tables of disk/disk.h.
extern DiskOperationTable<DiskOpenWithHandlerFn> DiskOpenWithHandlerTable;

// The candidates of the file name's extension, then the other kinds in the probe order (each
// kind is tried once), through the caller's opener (NULL: the default one). The kinds, their
// extensions and the probe order are the format rows' (disk/format_registry.h). 0, 1 and DISK_ERR_OPEN end the open with that
// result; DISK_ERR_PASSWORD from kind 12 or 13 ends it with the kind stored. When no kind
// accepts the file: the first refusal of a kind whose own mark the file carries (a damaged
// image of a known format; DISK_ERR_FORMAT where that kind answered DISK_ERR_ARG or
// DISK_ERR_PASSWORD), else DISK_ERR_ARG (nothing recognises it). DISK_ERR_ARG also when the
// handle already holds an object. The refusal's recorded reason (foundation/refusal.h) is then
// that kind's, not the one of a kind tried after it.
int Disk_OpenWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                         bool readOnly, int parentMode, void* openProgress);
// Disk_OpenWithHandler with the default opener, then the file as a split set; a damaged image
// of a known format answers its refusal, never DISK_ERR_ARG.
int Disk_OpenEx(DiskHandle* handle, const char* path, bool readOnly, int parentMode,
                void* openProgress);
// Disk_OpenEx with parent mode 0 and no open-progress record.
int Disk_Open(DiskHandle* handle, const char* path, bool readOnly);
// Every one-kind open below refuses (DISK_ERR_ARG) a handle that already holds an object.
// The kind's DiskOpenTable slot; DISK_ERR_ARG for a kind outside 0..22 or an empty slot.
int Disk_OpenByKind(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind);
// Kind 0, 12 or 13 through the caller's opener; any other kind DISK_ERR_ARG. DISK_ERR_PASSWORD
// from kind 12 or 13 stores that kind in the handle with no object.
int Disk_OpenKindWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, DiskKind kind, int parentMode, void* openProgress);
// A raw image (kind DISK_KIND_RAW) with the given data offset and geometry.
int Disk_OpenRaw(DiskHandle* handle, const char* path, bool readOnly, uint64_t dataOffset,
                 const DiskGeometry* geometry);
int Disk_OpenRawWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry);

// ---- Built-in disks (each allocates its object, DISK_ERR_NOMEM when out of memory, frees it on
// failure and stores its kind on success) ----
// A resizing view (DISK_KIND_RESIZE) presenting the source with the declared total; the view
// owns the source when the flag is set (Disk_DetachResizeView hands it back).
int Disk_OpenResized(DiskHandle* handle, DiskHandle* source, bool ownsSource,
                     uint64_t declaredTotal);
// A zero disk (DISK_KIND_ZERO) of the geometry; always DISK_OK once allocated.
int Disk_OpenZero(DiskHandle* handle, const DiskGeometry* geometry);
// A block device (DISK_KIND_DEVICE) with the data offset and geometry; DISK_ERR_DEVICE when the
// node cannot be opened.
int Disk_OpenDevice(DiskHandle* handle, const char* path, bool readOnly, uint64_t dataOffset,
                    const DiskGeometry* geometry);
// A plug-in disk (DISK_KIND_PLUGIN) served by a loaded module: through its extended opener
// ("_22", given the host callback record) when it exports one, else through its plain opener
// ("_8", given the host argument); DISK_ERR_ARG when it has neither. The module stays owned by
// the caller and must outlive the disk.
int Disk_OpenPlugin(DiskHandle* handle, PluginModule* module, const char* path, bool readOnly,
                    void* hostArgument, void* hostCallbacks);
