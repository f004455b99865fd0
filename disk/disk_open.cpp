// Opening disks by extension and probing, by kind, and as raw images.
#include "disk/disk_open.h"

#include <sys/stat.h>

#include <cstring>

#include "disk/builtin_disks.h"
#include "disk/emulator_images.h"
#include "disk/plugin.h"
#include "disk/raw_image.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2.h"
#include "disk/split_disk.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vmdk/vmdk.h"
#include "foundation/platform.h"

// ---- Caller's-opener entries ------------------------------------------------------
// Indexed by kind; format kinds get their entries when their handlers exist.

// An entry of a kind that takes neither a parent mode nor an open-progress record.
template <int (*Open)(DiskHandle*, const FileOpener*, const char*, bool)>
static int OpenWithoutParent(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int, void*)
{
    return Open(handle, opener, path, readOnly);
}

DiskOpenWithHandlerFn DiskOpenWithHandlerTable[DISK_TABLE_SLOTS] = {
    Disk_OpenVmdkWithHandler,  // 0 VMDK
    OpenWithoutParent<Disk_OpenCowdV3WithHandler>,  // 1 COWD3
    OpenWithoutParent<Disk_OpenCowdV3ChildWithHandler>,  // 2 COWD3 child
    OpenWithoutParent<Disk_OpenCowdV1WithHandler>,  // 3 COWD1
    OpenWithoutParent<Disk_OpenCowdV1ChildWithHandler>,  // 4 COWD1 child
    Disk_OpenVhdxWithHandler,  // 5 VHDX
    Disk_OpenVhdWithHandler,  // 6 VHD
    OpenWithoutParent<Disk_OpenVhdFixedWithHandler>,  // 7 fixed VHD
    Disk_OpenParallelsWithHandler,  // 8 Parallels
    Disk_OpenParallelsBundleWithHandler,  // 9 Parallels bundle
    OpenWithoutParent<Disk_OpenBochsWithHandler>,  // 10 Bochs redolog
    OpenWithoutParent<Disk_OpenBochsSparseWithHandler>,  // 11 Bochs sparse
    Disk_OpenQcowWithHandler,  // 12 qcow
    Disk_OpenQcow2WithHandler,  // 13 qcow2
    OpenWithoutParent<Disk_OpenVdiWithHandler>,  // 14 VDI
    nullptr,  // 15 unused
    OpenWithoutParent<Disk_OpenHdiWithHandler>,  // 16 HDI
    OpenWithoutParent<Disk_OpenThdWithHandler>,  // 17 THD
    OpenWithoutParent<Disk_OpenNhdWithHandler>,  // 18 NHD
    OpenWithoutParent<Disk_OpenVhd100WithHandler>,  // 19 VHD1.00
    OpenWithoutParent<Disk_OpenPc98eWithHandler>,  // 20 PC98E
    OpenWithoutParent<Disk_OpenHdimWithHandler>,  // 21 HDIM
    OpenWithoutParent<Disk_OpenUnzWithHandler>,  // 22 UNZ
    nullptr,  // 23 none
};

// ---- Extension table and probe order ------------------------------------------------

struct ExtensionRow {
    const char* extension;
    DiskKind kinds[3];
    uint32_t count;
};

static const ExtensionRow kExtensionRows[] = {
    {"vmdk", {DISK_KIND_VMDK, DISK_KIND_COWD3, DISK_KIND_COWD3_CHILD}, 3},
    {"dsk", {DISK_KIND_COWD1, DISK_KIND_COWD1_CHILD}, 2},
    {"vhdx", {DISK_KIND_VHDX}, 1},
    {"avhdx", {DISK_KIND_VHDX}, 1},
    {"vhd", {DISK_KIND_VHD, DISK_KIND_VHD_FIXED}, 2},
    {"qcow", {DISK_KIND_QCOW}, 1},
    {"qcow2", {DISK_KIND_QCOW2}, 1},
    {"hdd", {DISK_KIND_PARALLELS, DISK_KIND_PARALLELS_BUNDLE, DISK_KIND_VHD100}, 3},
    {"vdi", {DISK_KIND_VDI}, 1},
    {"hdi", {DISK_KIND_HDI}, 1},
    {"thd", {DISK_KIND_THD}, 1},
    {"nhd", {DISK_KIND_NHD}, 1},
    {"slh", {DISK_KIND_HDIM}, 1},
    {"h0", {DISK_KIND_UNZ}, 1},
    {"h1", {DISK_KIND_UNZ}, 1},
    {"h2", {DISK_KIND_UNZ}, 1},
    {"h3", {DISK_KIND_UNZ}, 1},
    {"h4", {DISK_KIND_UNZ}, 1},
};

// Kind 22 is reached only through its extensions.
static const DiskKind kProbeOrder[] = {
    DISK_KIND_VMDK,        DISK_KIND_VHDX,        DISK_KIND_VHD,
    DISK_KIND_VHD_FIXED,   DISK_KIND_PARALLELS,   DISK_KIND_PARALLELS_BUNDLE,
    DISK_KIND_BOCHS_REDOLOG, DISK_KIND_BOCHS_SPARSE, DISK_KIND_QCOW,
    DISK_KIND_QCOW2,       DISK_KIND_VDI,         DISK_KIND_RAW,
    DISK_KIND_COWD3,       DISK_KIND_COWD3_CHILD, DISK_KIND_COWD1,
    DISK_KIND_COWD1_CHILD, DISK_KIND_HDI,         DISK_KIND_THD,
    DISK_KIND_NHD,         DISK_KIND_VHD100,      DISK_KIND_HDIM,
    DISK_KIND_PC98E,       DISK_KIND_OVERLAY,
};

static bool EqualsIgnoreAsciiCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

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

// The NDI descriptor image, the raw kind's place in the probe order.
static int OpenNdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly)
{
    RawImage* obj = RawImage_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    RawImage_Init(obj);
    int r = RawImage_OpenNdi(obj, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_RAW;
    handle->object = obj;
    return DISK_OK;
}

// The "NVT " overlay, the last kind of the probe order.
static int OpenOverlayWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                  bool readOnly)
{
    OverlayDisk* obj = Overlay_Alloc();
    if (obj == nullptr) return DISK_ERR_NOMEM;
    Overlay_Init(obj);
    int r = Overlay_OpenWithHandler(obj, opener, path, readOnly);
    if (r != DISK_OK) {
        Mem_Free(obj);
        return r;
    }
    handle->kind = DISK_KIND_OVERLAY;
    handle->object = obj;
    return DISK_OK;
}

// ---- Signatures ----------------------------------------------------------------------------
// Probing goes on past a kind that refuses the file. When the file carries that kind's own
// mark, though, the refusal means a damaged image of a known format, not a file that nothing
// recognises: the first such refusal is kept and answered when no kind accepts the file.

enum : uint32_t { MARK_BYTES = 512 };

// The first and last bytes of the file, read once through the caller's opener when a kind
// with a mark has refused the file.
struct FileMarks {
    bool taken;       // an attempt to read them was made
    bool available;   // the bytes below are valid
    uint32_t length;  // bytes in each buffer: the file's size, at most MARK_BYTES
    uint8_t head[MARK_BYTES];
    uint8_t tail[MARK_BYTES];  // the file's last `length` bytes
};

static void TakeMarks(FileMarks* marks, const FileOpener* opener, const char* path)
{
    marks->taken = true;
    ByteStream* s = nullptr;
    if (FileOpener_Open(opener, path, true, &s) != DISK_OK) return;
    uint64_t size = 0;
    if (Stream_GetSize(s, &size)) {
        const uint32_t n = size < MARK_BYTES ? static_cast<uint32_t>(size) : MARK_BYTES;
        if (Stream_ReadAt(s, 0, n, marks->head) && Stream_ReadAt(s, size - n, n, marks->tail)) {
            marks->length = n;
            marks->available = true;
        }
    }
    Stream_Close(s);
}

static bool StartsWith(const uint8_t* bytes, uint32_t length, const char* text, uint32_t n)
{
    return length >= n && memcmp(bytes, text, n) == 0;
}

// A VHD footer ("conectix", disk type at byte 60) at `at` of a buffer of `length` bytes.
static bool VhdFooterAt(const uint8_t* bytes, uint32_t length, uint32_t at, bool fixed)
{
    if (length < at || length - at < 64 || memcmp(bytes + at, "conectix", 8) != 0) return false;
    const uint32_t type = Bytes_LoadBe32(bytes + at + 60);
    return fixed ? type == 2 : (type == 3 || type == 4);
}

// The footer at the end of the file: 512 bytes, or 511 when the last byte is missing.
static bool VhdEndFooter(const FileMarks& m, bool fixed)
{
    return VhdFooterAt(m.tail, m.length, 0, fixed) ||
           (m.length == MARK_BYTES && VhdFooterAt(m.tail, m.length, 1, fixed));
}

// The kinds whose files carry a mark of their own.
static bool KindHasMark(DiskKind kind)
{
    switch (kind) {
    case DISK_KIND_VMDK:
    case DISK_KIND_VHDX:
    case DISK_KIND_VHD:
    case DISK_KIND_VHD_FIXED:
    case DISK_KIND_NHD:
    case DISK_KIND_VHD100:
    case DISK_KIND_HDIM:
    case DISK_KIND_OVERLAY:
    case DISK_KIND_QCOW:
    case DISK_KIND_QCOW2:
    case DISK_KIND_PARALLELS:
    case DISK_KIND_PARALLELS_BUNDLE:
    case DISK_KIND_VDI:
    case DISK_KIND_BOCHS_REDOLOG:
    case DISK_KIND_BOCHS_SPARSE:
    case DISK_KIND_COWD3:
    case DISK_KIND_COWD1:
        return true;
    default:
        return false;
    }
}

static bool CarriesMark(DiskKind kind, const FileMarks& m)
{
    if (!m.available) return false;
    switch (kind) {
    case DISK_KIND_VMDK:  // a sparse header, or a text descriptor
        return StartsWith(m.head, m.length, "KDMV", 4) ||
               StartsWith(m.head, m.length, "# Disk DescriptorFile", 21);
    case DISK_KIND_VHDX:
        return StartsWith(m.head, m.length, "vhdxfile", 8);
    case DISK_KIND_VHD:  // the footer copy at the start, or the footer at the end
        return VhdFooterAt(m.head, m.length, 0, false) || VhdEndFooter(m, false);
    case DISK_KIND_VHD_FIXED:
        return VhdEndFooter(m, true);
    case DISK_KIND_NHD:
        return StartsWith(m.head, m.length, "T98HDDIMAGE.R0\0", 15);
    case DISK_KIND_VHD100:
        return StartsWith(m.head, m.length, "VHD1.00\0", 8);
    case DISK_KIND_HDIM:
        return StartsWith(m.head, m.length, "HDIM", 4);
    case DISK_KIND_OVERLAY:
        return StartsWith(m.head, m.length, "NVT \0\0\0\0", 8);
    case DISK_KIND_QCOW:  // "QFI\xfb", version 1
        return StartsWith(m.head, m.length, "QFI\xfb\0\0\0\x01", 8);
    case DISK_KIND_QCOW2:  // "QFI\xfb", version 2 or 3
        return StartsWith(m.head, m.length, "QFI\xfb\0\0\0\x02", 8) ||
               StartsWith(m.head, m.length, "QFI\xfb\0\0\0\x03", 8);
    case DISK_KIND_PARALLELS:  // either layout's signature
        return StartsWith(m.head, m.length, "WithoutFreeSpace", 16) ||
               StartsWith(m.head, m.length, "WithouFreSpacExt", 16);
    case DISK_KIND_PARALLELS_BUNDLE:
        return StartsWith(m.head, m.length, "<Parallels_disk_image", 21);
    case DISK_KIND_VDI:  // the signature after the banner
        return m.length >= 68 && Bytes_LoadLe32(m.head + 64) == 0xBEDA107Fu;
    case DISK_KIND_BOCHS_REDOLOG:
        return m.length >= 40 && memcmp(m.head, "Bochs Virtual HD Image", 23) == 0 &&
               memcmp(m.head + 32, "Redolog", 8) == 0;
    case DISK_KIND_COWD3:  // "COWD", version 3 or 1
        return m.length >= 8 && memcmp(m.head, "COWD", 4) == 0 && Bytes_LoadLe32(m.head + 4) == 3;
    case DISK_KIND_COWD1:
        return m.length >= 8 && memcmp(m.head, "COWD", 4) == 0 && Bytes_LoadLe32(m.head + 4) == 1;
    case DISK_KIND_BOCHS_SPARSE:
        return m.length >= 4 && Bytes_LoadLe32(m.head) == 0x02468ACEu;
    default:
        return false;
    }
}

// What probing remembers while it goes on.
struct ProbeState {
    FileMarks marks;
    int damaged;  // the first refusal of a kind whose mark the file carries; 0 while none
};

// Keeps a refusal of a kind whose mark the file carries. It is answered as the kind's failure,
// never as "nothing recognised" (-207) or as a password request of a kind that has none.
static void NoteRefusal(ProbeState* state, DiskKind kind, int r, const FileOpener* opener,
                        const char* path)
{
    if (state->damaged != 0 || !KindHasMark(kind)) return;
    if (!state->marks.taken) TakeMarks(&state->marks, opener, path);
    if (!CarriesMark(kind, state->marks)) return;
    state->damaged = (r == DISK_ERR_ARG || r == DISK_ERR_PASSWORD) ? DISK_ERR_FORMAT : r;
}

// Tries one kind. Answers true when the result ends the open (stored in *result).
static bool TryKind(DiskHandle* handle, DiskKind kind, const FileOpener* opener, const char* path,
                    bool readOnly, int parentMode, void* openProgress, int* result,
                    ProbeState* state)
{
    int r;
    if (kind == DISK_KIND_RAW) {
        r = OpenNdiWithHandler(handle, opener, path, readOnly);
    } else if (kind == DISK_KIND_OVERLAY) {
        r = OpenOverlayWithHandler(handle, opener, path, readOnly);
    } else {
        if (kind < 0 || kind >= static_cast<DiskKind>(DISK_TABLE_SLOTS)) return false;
        DiskOpenWithHandlerFn fn = DiskOpenWithHandlerTable[kind];
        if (fn == nullptr) return false;
        r = fn(handle, opener, path, readOnly, parentMode, openProgress);
    }
    if (r == DISK_OK || r == DISK_CANCELLED || r == DISK_ERR_OPEN) {
        *result = r;
        return true;
    }
    // A file of the kind that the kind cannot serve as it is (a VHDX with a pending log).
    if (r == DISK_ERR_UNSUPPORTED) {
        *result = r;
        return true;
    }
    if (r == DISK_ERR_PASSWORD && (kind == DISK_KIND_QCOW || kind == DISK_KIND_QCOW2)) {
        handle->kind = kind;
        handle->object = nullptr;
        *result = r;
        return true;
    }
    NoteRefusal(state, kind, r, opener, path);
    return false;
}

int Disk_OpenWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                         bool readOnly, int parentMode, void* openProgress)
{
    // Opening over an open object would lose it.
    if (handle == nullptr || path == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;

    // A directory can only be a Parallels bundle, named by its directory; the kinds that open
    // files would end probing at once, as a directory is not a disk file.
    if (IsDirectory(path))
        return DiskOpenWithHandlerTable[DISK_KIND_PARALLELS_BUNDLE](handle, opener, path, readOnly,
                                                                   parentMode, openProgress);

    int result = DISK_ERR_ARG;
    ProbeState state;
    state.marks.taken = false;
    state.marks.available = false;
    state.damaged = 0;
    const char* ext = FileExtension(path);
    if (ext != nullptr) {
        for (const ExtensionRow& row : kExtensionRows) {
            if (!EqualsIgnoreAsciiCase(ext, row.extension)) continue;
            for (uint32_t i = 0; i < row.count; ++i) {
                if (TryKind(handle, row.kinds[i], opener, path, readOnly, parentMode, openProgress,
                            &result, &state))
                    return result;
            }
            break;
        }
    }
    for (DiskKind kind : kProbeOrder) {
        if (TryKind(handle, kind, opener, path, readOnly, parentMode, openProgress, &result,
                    &state))
            return result;
    }
    // A damaged image of a known format is not "nothing recognised": the caller must not take
    // it for a raw image.
    return state.damaged != 0 ? state.damaged : DISK_ERR_ARG;
}

int Disk_OpenEx(DiskHandle* handle, const char* path, bool readOnly, int parentMode,
                void* openProgress)
{
    int r = Disk_OpenWithHandler(handle, &FileOpener_Default, path, readOnly, parentMode,
                                 openProgress);
    if (r == DISK_OK || r == DISK_CANCELLED || r == DISK_ERR_OPEN || r == DISK_ERR_PASSWORD)
        return r;
    if (handle == nullptr || path == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    // The path as a split-set descriptor, then as the first part file. When neither takes the
    // file, a kind that knew it for its own gave the failure that stands (r); otherwise nothing
    // recognised it (DISK_ERR_ARG, which r is then).
    if (Disk_OpenSplit(handle, path, readOnly) == DISK_OK) return DISK_OK;
    return r;
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
    if (r == DISK_ERR_PASSWORD && kind != DISK_KIND_VMDK) {
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
