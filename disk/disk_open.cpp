// Opening disks by extension and probing, by kind, and as raw images.
#include "disk/disk_open.h"

#include <sys/stat.h>

#include <cstring>

#include "disk/builtin_disks.h"
#include "disk/format_registry.h"
#include "disk/plugin.h"
#include "disk/raw_image.h"
#include "disk/split_disk.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"

// ---- Probing ---------------------------------------------------------------------------------
// The kinds, their extensions, marks and probe order come from the format rows
// (disk/format_registry.h).

static bool IsDirectory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The text after the last "." of the file name, or NULL when the name has none.
static const char* FileExtension(const char* path)
{
    const char* slash = strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    const char* dot = strrchr(name, '.');
    return dot != nullptr ? dot + 1 : nullptr;
}

// ---- Signatures ----------------------------------------------------------------------------
// Probing goes on past a kind that refuses the file. When the file carries that kind's own
// mark, though, the refusal means a damaged image of a known format, not a file that nothing
// recognises: the first such refusal is kept and answered when no kind accepts the file.

// The first and last bytes of the file, read once through the caller's opener when a kind
// with a mark has refused the file.
struct FileMarks {
    bool taken;       // an attempt to read them was made
    bool available;   // the bytes below are valid
    uint32_t length;  // bytes in each buffer: the file's size, at most DISK_MARK_BYTES
    uint8_t head[DISK_MARK_BYTES];
    uint8_t tail[DISK_MARK_BYTES];  // the file's last `length` bytes
};

static void TakeMarks(FileMarks* marks, const FileOpener* opener, const char* path)
{
    marks->taken = true;
    ByteStream* s = nullptr;
    if (FileOpener_Open(opener, path, true, &s) != DISK_OK) return;
    uint64_t size = 0;
    if (Stream_GetSize(s, &size)) {
        const uint32_t n = size < DISK_MARK_BYTES ? static_cast<uint32_t>(size) : DISK_MARK_BYTES;
        if (Stream_ReadAt(s, 0, n, marks->head) && Stream_ReadAt(s, size - n, n, marks->tail)) {
            marks->length = n;
            marks->available = true;
        }
    }
    Stream_Close(s);
}

// What probing remembers while it goes on.
struct ProbeState {
    FileMarks marks;
    int damaged;  // the first refusal of a kind whose mark the file carries; 0 while none
    const char* damagedReason;  // the check that gave it, when it was a refused image
    // Kinds tried already (the extension's candidates), so that the probe order skips them:
    // table kinds 0..23 at their own index, built-in kinds -1..-9 from index 24 on.
    bool tried[DISK_TABLE_SLOTS + 10];
};

static bool* TriedSlot(ProbeState* state, DiskKind kind)
{
    if (kind >= 0 && kind < static_cast<DiskKind>(DISK_TABLE_SLOTS)) return &state->tried[kind];
    if (kind < 0 && kind >= -10) return &state->tried[DISK_TABLE_SLOTS - 1 - kind];
    return nullptr;
}

// Keeps a refusal of a kind whose mark the file carries. It is answered as the kind's failure,
// never as "nothing recognised" (-207) or as a password request of a kind that has none.
static void NoteRefusal(ProbeState* state, const DiskFormatRow* row, int r,
                        const FileOpener* opener, const char* path)
{
    if (state->damaged != 0 || row->carriesMark == nullptr) return;
    if (!state->marks.taken) TakeMarks(&state->marks, opener, path);
    if (!state->marks.available) return;
    const DiskFileMarks marks = {state->marks.head, state->marks.tail, state->marks.length};
    if (!row->carriesMark(&marks)) return;
    if (r == DISK_ERR_ARG || r == DISK_ERR_PASSWORD) {
        // The kind did not take the file as its own although it carries the kind's mark.
        state->damaged = DISK_ERR_FORMAT;
        state->damagedReason = "image: carries a format's signature but that format refuses it";
    } else {
        state->damaged = r;
        state->damagedReason = Refusal_Get();
    }
}

// A table kind opens through its slot (which tests may substitute), a built-in kind through its
// row.
static DiskOpenWithHandlerFn OpenEntry(const DiskFormatRow* row)
{
    if (row->kind >= 0 && row->kind < static_cast<DiskKind>(DISK_TABLE_SLOTS))
        return DiskOpenWithHandlerTable[static_cast<uint32_t>(row->kind)];
    return row->openWithHandler;
}

// Tries one kind, at most once per open. Answers true when the result ends the open (stored in
// *result).
static bool TryKind(DiskHandle* handle, const DiskFormatRow* row, const FileOpener* opener,
                    const char* path, bool readOnly, int parentMode, void* openProgress,
                    int* result, ProbeState* state)
{
    const DiskKind kind = row->kind;
    bool* tried = TriedSlot(state, kind);
    if (tried != nullptr) {
        if (*tried) return false;
        *tried = true;
    }
    DiskOpenWithHandlerFn fn = OpenEntry(row);
    if (fn == nullptr) return false;
    // The reason kept for this kind's refusal is its own, never one left by an earlier kind.
    Refusal_Clear();
    const int r = fn(handle, opener, path, readOnly, parentMode, openProgress);
    if (r == DISK_OK || r == DISK_CANCELLED || r == DISK_ERR_OPEN) {
        *result = r;
        return true;
    }
    // A file of the kind that the kind cannot serve as it is (a VHDX with a pending log).
    if (r == DISK_ERR_UNSUPPORTED) {
        *result = r;
        return true;
    }
    if (r == DISK_ERR_PASSWORD && row->keyed) {
        handle->kind = kind;
        handle->object = nullptr;
        *result = r;
        return true;
    }
    NoteRefusal(state, row, r, opener, path);
    return false;
}

int Disk_OpenWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                         bool readOnly, int parentMode, void* openProgress)
{
    // Opening over an open object would lose it.
    if (handle == nullptr || path == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;

    // A directory can only be an image of the kind that a directory names; the kinds that
    // open files would end probing at once, as a directory is not a disk file.
    if (IsDirectory(path)) {
        uint32_t count = 0;
        const DiskFormatRow* const* rows = DiskFormatRows_List(&count);
        for (uint32_t i = 0; i < count; ++i) {
            if (rows[i] == nullptr || !rows[i]->directories) continue;
            DiskOpenWithHandlerFn fn = OpenEntry(rows[i]);
            if (fn == nullptr) break;
            return fn(handle, opener, path, readOnly, parentMode, openProgress);
        }
        return DISK_ERR_ARG;
    }

    uint32_t probeCount = 0;
    const DiskFormatRow* const* probe = DiskRegistry_ProbeOrder(&probeCount);

    int result = DISK_ERR_ARG;
    ProbeState state;
    state.marks.taken = false;
    state.marks.available = false;
    state.damaged = 0;
    state.damagedReason = nullptr;
    for (bool& t : state.tried) t = false;
    // The extension's candidates first, then every kind in the probe order that they were not.
    const DiskFormatRow* candidates[DISK_TABLE_SLOTS];
    const uint32_t found =
        DiskRegistry_ExtensionRows(FileExtension(path), candidates, DISK_TABLE_SLOTS);
    for (uint32_t i = 0; i < found && i < DISK_TABLE_SLOTS; ++i) {
        if (TryKind(handle, candidates[i], opener, path, readOnly, parentMode, openProgress,
                    &result, &state))
            return result;
    }
    for (uint32_t i = 0; i < probeCount; ++i) {
        if (TryKind(handle, probe[i], opener, path, readOnly, parentMode, openProgress, &result,
                    &state))
            return result;
    }
    // A damaged image of a known format is not "nothing recognised": the caller must not take
    // it for a raw image. The reason is that kind's, not the one of the last kind tried.
    if (state.damaged == 0) return DISK_ERR_ARG;
    return Refusal_RecordAs(state.damaged, state.damagedReason);
}

int Disk_OpenEx(DiskHandle* handle, const char* path, bool readOnly, int parentMode,
                void* openProgress)
{
    int r =
        Disk_OpenWithHandler(handle, &FileOpener_Default, path, readOnly, parentMode, openProgress);
    if (r == DISK_OK || r == DISK_CANCELLED || r == DISK_ERR_OPEN || r == DISK_ERR_PASSWORD)
        return r;
    if (handle == nullptr || path == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    // The path as a split-set descriptor, then as the first part file. When neither takes the
    // file, a kind that knew it for its own gave the failure that stands (r); otherwise nothing
    // recognised it (DISK_ERR_ARG, which r is then).
    const char* reason = Refusal_Get();
    if (Disk_OpenSplit(handle, path, readOnly) == DISK_OK) return DISK_OK;
    // The split set's refusal does not stand for the failure answered.
    return Refusal_RecordAs(r, reason);
}

int Disk_Open(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenEx(handle, path, readOnly, 0, nullptr);
}

// Every one-kind open refuses a handle that holds an object already: opening over it would
// lose that object with everything it holds open.
static bool HoldsObject(const DiskHandle* handle)
{
    return handle == nullptr || handle->object != nullptr;
}

int Disk_OpenByKind(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind)
{
    if (HoldsObject(handle) || path == nullptr) return DISK_ERR_ARG;
    if (kind < 0 || kind > DISK_KIND_UNZ) return DISK_ERR_ARG;
    DiskOpenFn fn = DiskOpenTable[kind];
    if (fn == nullptr) return DISK_ERR_ARG;
    return fn(handle, path, readOnly);
}

int Disk_OpenKindWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, DiskKind kind, int parentMode, void* openProgress)
{
    if (HoldsObject(handle) || path == nullptr) return DISK_ERR_ARG;
    if (kind != DISK_KIND_VMDK && kind != DISK_KIND_QCOW && kind != DISK_KIND_QCOW2)
        return DISK_ERR_ARG;
    DiskOpenWithHandlerFn fn = DiskOpenWithHandlerTable[kind];
    if (fn == nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;
    int r = fn(handle, opener, path, readOnly, parentMode, openProgress);
    const DiskFormatRow* row = DiskRegistry_Row(kind);
    if (r == DISK_ERR_PASSWORD && row != nullptr && row->keyed) {
        handle->kind = kind;
        handle->object = nullptr;
    }
    return r;
}

int Disk_OpenRawWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly, uint64_t dataOffset, const DiskGeometry* geometry)
{
    if (HoldsObject(handle) || path == nullptr) return DISK_ERR_ARG;
    RawImage* obj = RawImage_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    RawImage_Init(obj);
    int r = RawImage_OpenWithHandler(obj, opener, path, readOnly, dataOffset, geometry);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_RAW;
    handle->object = obj;
    return DISK_OK;
}

int Disk_OpenRaw(DiskHandle* handle, const char* path, bool readOnly, uint64_t dataOffset,
                 const DiskGeometry* geometry)
{
    return Disk_OpenRawWithHandler(handle, &FileOpener_Default, path, readOnly, dataOffset,
                                   geometry);
}

// ---- Built-in disks -----------------------------------------------------------------------

int Disk_OpenResized(DiskHandle* handle, DiskHandle* source, bool ownsSource,
                     uint64_t declaredTotal)
{
    // A view over itself would close its own source.
    if (HoldsObject(handle) || source == nullptr || source == handle) return DISK_ERR_ARG;
    ResizeView* view = ResizeDisk_Alloc();
    if (view == nullptr) return DISK_ERR_NOMEM;
    ResizeDisk_Init(view);
    int r = ResizeDisk_AttachDisk(view, source, ownsSource, declaredTotal);
    if (r != DISK_OK) {
        Mem_Free(view);
        return r;
    }
    handle->kind = DISK_KIND_RESIZE;
    handle->object = view;
    return DISK_OK;
}

int Disk_OpenZero(DiskHandle* handle, const DiskGeometry* geometry)
{
    if (HoldsObject(handle) || geometry == nullptr) return DISK_ERR_ARG;
    DiskGeometry* obj = static_cast<DiskGeometry*>(Mem_Alloc(sizeof(DiskGeometry)));
    if (obj == nullptr) return DISK_ERR_NOMEM;
    *obj = *geometry;
    Geometry_SetTotalSectors(obj, Geometry_GetTotalSectors(geometry));
    handle->kind = DISK_KIND_ZERO;
    handle->object = obj;
    return DISK_OK;
}

int Disk_OpenDevice(DiskHandle* handle, const char* path, bool readOnly, uint64_t dataOffset,
                    const DiskGeometry* geometry)
{
    if (HoldsObject(handle) || path == nullptr) return DISK_ERR_ARG;
    DeviceDisk* obj = DeviceDisk_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    DeviceDisk_Init(obj);
    int r = DeviceDisk_Open(obj, path, readOnly, dataOffset, geometry);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_DEVICE;
    handle->object = obj;
    return DISK_OK;
}

int Disk_OpenPlugin(DiskHandle* handle, PluginModule* module, const char* path, bool readOnly,
                    void* hostArgument, void* hostCallbacks)
{
    if (HoldsObject(handle) || module == nullptr) return DISK_ERR_ARG;
    bool extended = Plugin_HasOpenEx(module);
    if (!extended && !Plugin_HasOpen(module)) return DISK_ERR_ARG;
    PluginDisk* obj = PluginDisk_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    PluginDisk_Init(obj);
    int r = extended ? PluginDisk_OpenEx(obj, module, path, readOnly, hostCallbacks)
                     : PluginDisk_Open(obj, module, path, readOnly, hostArgument);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_PLUGIN;
    handle->object = obj;
    return DISK_OK;
}
