// The VMDK handler: opening a descriptor with its extents and parent, reading, the empty-range
// and per-layer queries, and the queries of the maintenance operations.
#include "formats/vmdk/vmdk.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "disk/builtin_disks.h"
#include "foundation/encoding.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/text_ops.h"
#include "foundation/zlib_stream.h"
#include "volume/used_map.h"

namespace {

const uint32_t kSector = VMDK_SECTOR_BYTES;
const uint32_t kPathCapacity = VMDK_NAME_CAPACITY;
const uint32_t kFlatChunkSectors = 2048;
// Directory entries (primary and redundant) an image may hold in memory: 64 MiB, sixteen times
// the directories of a full 2 TiB extent with the smallest grains VMware writes.
const uint64_t kMaxDirectoryEntries = 16u << 20;

// The images being opened on this thread, outermost first, by canonical path. An open that
// meets its own path again (a loop in the parent chain) or finds the chain full is refused, and
// the refusal is remembered so that the open that asked for the parent reports it as such.
// A parent chain that failed is remembered as well: the general open tries the VMDK kind of a
// file twice (its extension, then the probe order), and without this every level of a broken
// chain would double the work of the level below.
struct OpenChain {
    const char* paths[VMDK_MAX_CHAIN_DEPTH];
    uint32_t depth;
    bool refused;  // a loop or a chain too deep was met
    bool failed;   // a parent needed further down could not be opened
};
thread_local OpenChain g_chain;

bool ChainHolds(const char* canonical)
{
    for (uint32_t i = 0; i < g_chain.depth; ++i)
        if (std::strcmp(g_chain.paths[i], canonical) == 0) return true;
    return false;
}

// The canonical form of a path for the loop check: the resolved path when the file exists, else
// the path as given.
void Canonicalize(const char* path, char* out)
{
    char resolved[PATH_MAX];
    if (realpath(path, resolved) && std::strlen(resolved) < kPathCapacity) {
        std::strcpy(out, resolved);
        return;
    }
    std::strncpy(out, path, kPathCapacity - 1);
    out[kPathCapacity - 1] = 0;
}

inline TextView CView(const char* s)
{
    TextView v;
    Text_FromCStringUtf8(&v, s);
    return v;
}

// Turns a name from the descriptor (in its text encoding) into an absolute UTF-8 path against
// the image path. False when it does not convert, is not a valid path or does not fit.
bool ResolveName(TextView name, TextEncoding encoding, const char* imagePath, char* out)
{
    uint8_t converted[kPathCapacity];
    uint8_t work[kPathCapacity];
    TextBuffer nameBuffer, workBuffer, result;
    TextBuffer_Init(&nameBuffer, converted, 0, sizeof converted);
    TextBuffer_Init(&workBuffer, work, 0, sizeof work);
    TextBuffer_Init(&result, reinterpret_cast<uint8_t*>(out), 0, kPathCapacity);
    if (!Enc_ConvertAppend(&nameBuffer, TEXT_ENC_UTF8, name, encoding)) return false;
    TextView nameView;
    TextBuffer_View(&nameBuffer, &nameView);
    if (nameView.length == 0 || !Path_IsValid(nameView, TEXT_ENC_UTF8)) return false;
    if (std::memchr(nameView.data, 0, nameView.length)) return false;
    if (!Path_MakeAbsolute(nameView, CView(imagePath), &workBuffer, &result, TEXT_ENC_UTF8))
        return false;
    return TextBuffer_TerminateUtf8(&result);
}

// Whether two UTF-8 paths name the same place once normalised.
bool SamePath(const char* a, const char* b)
{
    uint8_t na[kPathCapacity], nb[kPathCapacity];
    TextBuffer ba, bb;
    TextBuffer_Init(&ba, na, 0, sizeof na);
    TextBuffer_Init(&bb, nb, 0, sizeof nb);
    if (!Path_Normalize(CView(a), &ba, TEXT_ENC_UTF8, true) ||
        !Path_Normalize(CView(b), &bb, TEXT_ENC_UTF8, true))
        return std::strcmp(a, b) == 0;
    TextView va, vb;
    TextBuffer_View(&ba, &va);
    TextBuffer_View(&bb, &vb);
    return Path_CompareUtf8(va, vb) == 0;
}

const VmdkImage* ImageOfSource(const DiskSource* source)
{
    if (!source) return nullptr;
    if (source->ops == &DiskSourceResizedOps) {
        const ResizeView* view = static_cast<const ResizeView*>(source->impl);
        return view ? static_cast<const VmdkImage*>(DiskSource_GetVmdk(view->source)) : nullptr;
    }
    return static_cast<const VmdkImage*>(DiskSource_GetVmdk(source));
}

uint64_t ExtentFirst(const VmdkImage* image, uint32_t i)
{
    return image->flat ? image->flatExtents[i].firstSector : image->sparseExtents[i].firstSector;
}

uint32_t ExtentSectors(const VmdkImage* image, uint32_t i)
{
    return image->flat ? image->flatExtents[i].sectors : image->sparseExtents[i].extentSectors;
}

// The last extent whose first sector is not above the sector.
uint32_t FindExtent(const VmdkImage* image, uint64_t sector)
{
    uint32_t lo = 0, hi = image->extentCount;
    while (hi - lo > 1) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (ExtentFirst(image, mid) <= sector)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

int OpenParent(VmdkImage* image, const char* path, int parentMode, void* openProgress,
               const char* canonicalSelf)
{
    const VmdkDescriptor& d = image->descriptor;
    char* parentPath = static_cast<char*>(Mem_Alloc(kPathCapacity));
    char* canonical = static_cast<char*>(Mem_Alloc(kPathCapacity));
    if (!parentPath || !canonical) {
        Mem_Free(parentPath);
        Mem_Free(canonical);
        return DISK_ERR_NOMEM;
    }
    int r = DISK_OK;
    if (!ResolveName(d.parentFileNameHint, d.textEncoding, path, parentPath)) {
        r = Refusal_Record("VMDK descriptor: parent file name is not a usable path");
    } else if (SamePath(parentPath, path)) {
        r = Refusal_Record("VMDK descriptor: parent file name names the image itself");
    } else {
        Canonicalize(parentPath, canonical);
        if (std::strcmp(canonical, canonicalSelf) == 0 || ChainHolds(canonical)) {
            g_chain.refused = true;
            r = Refusal_Record("VMDK parent chain: a parent leads back into the chain");
        } else if (g_chain.depth >= VMDK_MAX_CHAIN_DEPTH) {
            g_chain.refused = true;
            r = Refusal_Record("VMDK parent chain: too many parents");
        }
    }
    if (r == DISK_OK) {
        DiskSource* parent = nullptr;
        r = DiskSource_OpenPathEx(parentPath, true, VMDK_PARENT_REQUIRED, openProgress, &parent);
        if (r == DISK_OK) {
            image->parent = parent;
        } else if (g_chain.refused) {
            r = DISK_ERR_FORMAT;
        } else if (parentMode == VMDK_PARENT_OPTIONAL) {
            r = DISK_OK;
        } else {
            g_chain.failed = true;
        }
    }
    Mem_Free(parentPath);
    Mem_Free(canonical);
    return r;
}

int OpenBody(VmdkImage* image, FileOpenFn open, void* user, const char* path, bool readOnly,
             int parentMode, void* openProgress, const char* canonicalSelf)
{
    ByteStream* stream = nullptr;
    int r = open(path, true, &stream, user);
    if (r == DISK_CANCELLED) return DISK_CANCELLED;
    if (r != 0 || !stream) return DISK_ERR_OPEN;
    r = Vmdk_ReadDescriptor(stream, &image->descriptor, &image->descriptorText);
    Stream_Close(stream);
    if (r != DISK_OK) return r;
    VmdkDescriptor& d = image->descriptor;

    // Parent.
    if (!d.isChild) {
        if (parentMode == VMDK_PARENT_CHILD_ONLY)
            return Refusal_Record("VMDK descriptor: not a child disk");
    } else if (parentMode == VMDK_PARENT_REQUIRED || parentMode == VMDK_PARENT_OPTIONAL) {
        r = OpenParent(image, path, parentMode, openProgress, canonicalSelf);
        if (r != DISK_OK) return r;
    }
    uint64_t sum = 0;
    for (uint32_t i = 0; i < d.extentCount; ++i) sum += d.extents[i].sectors;
    if (image->parent) {
        DiskGeometry pg;
        std::memset(&pg, 0, sizeof pg);
        DiskSource_GetGeometry(image->parent, &pg);
        if (pg.bytes_per_sector != kSector)
            return Refusal_Record("VMDK parent: sectors are not 512 bytes");
        if (Geometry_GetTotalSectors(&pg) != sum) {
            DiskSource* resized = nullptr;
            r = DiskSource_OpenResized(image->parent, true, sum, &resized);
            if (r == DISK_ERR_NOMEM) return r;
            if (r != DISK_OK)
                return Refusal_Record("VMDK parent: cannot be fitted to the child's size");
            image->parent = resized;
        }
    }

    // Extents.
    image->flat = d.flat;
    uint32_t n = d.extentCount;
    if (n == 0) return Refusal_Record("VMDK descriptor: no extent lines");
    if (d.flat) {
        image->flatExtents = static_cast<VmdkFlatExtent*>(Mem_Alloc(n * sizeof(VmdkFlatExtent)));
        if (!image->flatExtents) return DISK_ERR_NOMEM;
        for (uint32_t i = 0; i < n; ++i) VmdkFlat_Init(&image->flatExtents[i]);
    } else {
        image->sparseExtents =
            static_cast<VmdkSparseExtent*>(Mem_Alloc(n * sizeof(VmdkSparseExtent)));
        if (!image->sparseExtents) return DISK_ERR_NOMEM;
        for (uint32_t i = 0; i < n; ++i) VmdkSparse_Init(&image->sparseExtents[i]);
    }
    image->extentCount = n;
    image->zlib = Zlib_AllocStream();
    if (!image->zlib) return DISK_ERR_NOMEM;

    char* extentPath = static_cast<char*>(Mem_Alloc(kPathCapacity));
    if (!extentPath) return DISK_ERR_NOMEM;
    uint64_t first = 0;
    uint64_t directoryEntries = 0;
    for (uint32_t i = 0; i < n && r == DISK_OK; ++i) {
        const VmdkExtentEntry& x = d.extents[i];
        if (d.split == 0 && d.flat == 0) {
            std::strcpy(extentPath, path);
        } else if (!ResolveName(x.fileName, d.textEncoding, path, extentPath)) {
            r = Refusal_Record("VMDK descriptor: extent file name is not a usable path");
            break;
        }
        if (d.flat) {
            uint64_t dataOffset = 0;
            if (!Math_MulU64(x.offset, kSector, &dataOffset)) {
                r = Refusal_Record("VMDK descriptor: flat extent offset out of range");
                break;
            }
            r = VmdkFlat_Open(&image->flatExtents[i], open, user, extentPath, readOnly, dataOffset,
                              x.sectors, first);
        } else {
            r = VmdkSparse_Open(&image->sparseExtents[i], open, user, extentPath, readOnly,
                                d.split == 1, image->parent, image->zlib, first, x.sectors);
            // Directories live in memory: a descriptor that names one file many times over
            // must not multiply its directory beyond what any real image holds.
            if (r == DISK_OK) {
                const VmdkSparseExtent& e = image->sparseExtents[i];
                directoryEntries += static_cast<uint64_t>(e.gdEntryCount) * (e.rgd ? 2 : 1);
                if (directoryEntries > kMaxDirectoryEntries)
                    r = Refusal_Record("VMDK grain directory: extents hold too many entries");
            }
        }
        first += x.sectors;
    }
    Mem_Free(extentPath);
    if (r != DISK_OK) return r;

    // Geometry.
    DiskGeometry& g = image->geometry;
    std::memset(&g, 0, sizeof g);
    if (d.isChild && image->parent) {
        DiskSource_GetGeometry(image->parent, &g);
        if (Geometry_GetTotalSectors(&g) != sum)
            return Refusal_Record("VMDK parent: size differs from the child's");
    } else if (d.isChild) {
        Geometry_SetTotalSectors(&g, sum);
        image->childWithoutParent = 1;
    } else {
        Geometry_SetTotalSectors(&g, sum);
        g.heads = d.heads;
        g.sectors_per_track = d.sectorsPerTrack;
    }
    g.bytes_per_sector = kSector;
    std::strcpy(image->path, path);
    return DISK_OK;
}

}  // namespace

// ---- Object ---------------------------------------------------------------------------------------

VmdkImage* Vmdk_Alloc() { return static_cast<VmdkImage*>(Mem_Alloc(sizeof(VmdkImage))); }

void Vmdk_Init(VmdkImage* image)
{
    std::memset(static_cast<void*>(image), 0, sizeof(VmdkImage));
    Vmdk_InitDescriptor(&image->descriptor);
    TextBuffer_InitEmpty(&image->descriptorText);
}

void Vmdk_Close(void* object)
{
    VmdkImage* image = static_cast<VmdkImage*>(object);
    if (!image) return;
    if (image->sparseExtents) {
        for (uint32_t i = 0; i < image->extentCount; ++i)
            VmdkSparse_Close(&image->sparseExtents[i]);
        Mem_Free(image->sparseExtents);
    }
    if (image->flatExtents) {
        for (uint32_t i = 0; i < image->extentCount; ++i) VmdkFlat_Close(&image->flatExtents[i]);
        Mem_Free(image->flatExtents);
    }
    if (image->parent) DiskSource_Close(image->parent);
    Mem_Free(image->zlib);
    Mem_Free(image->descriptorText.data);
    Vmdk_Init(image);
}

// ---- Opening ------------------------------------------------------------------------------------

int Vmdk_OpenWithCallback(VmdkImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly, int parentMode, void* openProgress)
{
    Vmdk_Init(image);
    if (!path || !open) return DISK_ERR_ARG;
    if (std::strlen(path) >= kPathCapacity) return DISK_ERR_ARG;
    char* canonical = static_cast<char*>(Mem_Alloc(kPathCapacity));
    if (!canonical) return DISK_ERR_NOMEM;
    Canonicalize(path, canonical);
    if (g_chain.depth == 0) {
        g_chain.refused = false;
        g_chain.failed = false;
    } else if (g_chain.refused || g_chain.failed) {
        // The chain above this open fails whatever happens here.
        Mem_Free(canonical);
        return DISK_ERR_FORMAT;
    }
    const bool loop = ChainHolds(canonical);
    if (loop || g_chain.depth >= VMDK_MAX_CHAIN_DEPTH) {
        g_chain.refused = true;
        Mem_Free(canonical);
        return Refusal_Record(loop ? "VMDK parent chain: a parent leads back into the chain"
                                   : "VMDK parent chain: too many parents");
    }
    g_chain.paths[g_chain.depth++] = canonical;
    int r = OpenBody(image, open, user, path, readOnly, parentMode, openProgress, canonical);
    --g_chain.depth;
    Mem_Free(canonical);
    if (r != DISK_OK) Vmdk_Close(image);
    return r;
}

int Vmdk_OpenWithHandler(VmdkImage* image, const FileOpener* opener, const char* path,
                         bool readOnly, int parentMode, void* openProgress)
{
    const FileOpener* o = opener ? opener : &FileOpener_Default;
    return Vmdk_OpenWithCallback(image, o->open, o->user, path, readOnly, parentMode, openProgress);
}

int Vmdk_Open(VmdkImage* image, const char* path, bool readOnly)
{
    return Vmdk_OpenWithHandler(image, nullptr, path, readOnly, VMDK_PARENT_REQUIRED, nullptr);
}

int Vmdk_OpenParentMode(VmdkImage* image, const char* path, bool readOnly, int parentMode)
{
    return Vmdk_OpenWithHandler(image, nullptr, path, readOnly, parentMode, nullptr);
}

int Disk_OpenVmdkWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int parentMode, void* openProgress)
{
    if (!handle || handle->object) return DISK_ERR_ARG;
    VmdkImage* image = Vmdk_Alloc();
    if (!image) return DISK_ERR_NOMEM;
    int r = Vmdk_OpenWithHandler(image, opener, path, readOnly, parentMode, openProgress);
    if (r != DISK_OK) {
        Mem_Free(image);
        return r;
    }
    handle->kind = DISK_KIND_VMDK;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenVmdk(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVmdkWithHandler(handle, nullptr, path, readOnly, VMDK_PARENT_REQUIRED, nullptr);
}

// ---- Operation-table functions ----------------------------------------------------------------------

void Vmdk_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<VmdkImage*>(object)->geometry;
}

int Vmdk_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    VmdkImage* image = static_cast<VmdkImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t i = FindExtent(image, offset / kSector);
    uint64_t pos = offset;
    uint64_t end = offset + length;
    while (pos < end) {
        if (i >= image->extentCount) return DISK_ERR_ARG;
        uint64_t start = ExtentFirst(image, i) * kSector;
        uint64_t stop = start + static_cast<uint64_t>(ExtentSectors(image, i)) * kSector;
        if (pos >= stop) {
            ++i;
            continue;
        }
        uint32_t piece = static_cast<uint32_t>((stop < end ? stop : end) - pos);
        int r = image->flat ? VmdkFlat_Read(&image->flatExtents[i], pos - start, piece,
                                            out + (pos - offset))
                            : VmdkSparse_Read(&image->sparseExtents[i], pos - start, piece,
                                              out + (pos - offset));
        if (r != DISK_OK) return r;
        pos += piece;
        ++i;
    }
    return DISK_OK;
}

namespace {

// Walks the extents over [first, first + count): fn(extent index, first sector in the extent,
// count) until it answers a failure or asks to stop.
template <typename Fn>
int WalkExtents(VmdkImage* image, uint64_t first, uint32_t count, Fn fn)
{
    if (count == 0) return DISK_OK;
    uint32_t i = FindExtent(image, first);
    uint64_t s = first;
    uint64_t end = first + count;
    while (s < end) {
        if (i >= image->extentCount) return DISK_ERR_ARG;
        uint64_t start = ExtentFirst(image, i);
        uint64_t stop = start + ExtentSectors(image, i);
        if (s >= stop) {
            ++i;
            continue;
        }
        uint32_t piece = static_cast<uint32_t>((stop < end ? stop : end) - s);
        bool stopWalk = false;
        int r = fn(i, static_cast<uint32_t>(s - start), piece, &stopWalk);
        if (r != DISK_OK || stopWalk) return r;
        s += piece;
        ++i;
    }
    return DISK_OK;
}

}  // namespace

int Vmdk_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    VmdkImage* image = static_cast<VmdkImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    bool result = true;
    int r = WalkExtents(image, first, count, [&](uint32_t i, uint32_t s, uint32_t n, bool* stop) {
        bool e = true;
        int er = image->flat ? VmdkFlat_IsRangeEmpty(&image->flatExtents[i], map, s, n, &e)
                             : VmdkSparse_IsRangeEmpty(&image->sparseExtents[i], map, s, n, &e,
                                                       adapter, record);
        if (er != DISK_OK) return er;
        if (!e) {
            result = false;
            *stop = true;
        }
        return static_cast<int>(DISK_OK);
    });
    if (r != DISK_OK) return r;
    *empty = result;
    return DISK_OK;
}

int Vmdk_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* out)
{
    VmdkImage* image = static_cast<VmdkImage*>(object);
    if (image->flat) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    bool result = true;
    int r = WalkExtents(image, first, count, [&](uint32_t i, uint32_t s, uint32_t n, bool* stop) {
        bool u = true;
        int ur = VmdkSparse_IsRangeUnallocated(&image->sparseExtents[i], map, s, n, &u);
        if (ur != DISK_OK) return ur;
        if (!u) {
            result = false;
            *stop = true;
        }
        return static_cast<int>(DISK_OK);
    });
    if (r != DISK_OK) return r;
    *out = result;
    return DISK_OK;
}

bool Vmdk_CanCompact(void* object)
{
    const VmdkImage* image = static_cast<const VmdkImage*>(object);
    if (image->flat || image->childWithoutParent || !image->sparseExtents) return false;
    // Compaction keeps the header and writes plain grains into fixed tables: compressed and
    // stream-optimised extents would end up unreadable.
    for (uint32_t i = 0; i < image->extentCount; ++i)
        if (VmdkSparse_IsCompressedOrStream(&image->sparseExtents[i])) return false;
    return true;
}

bool Vmdk_HasParent(void* object)
{
    const VmdkImage* image = static_cast<const VmdkImage*>(object);
    return image->parent != nullptr || image->childWithoutParent != 0;
}

// ---- Queries ----------------------------------------------------------------------------------------

bool Vmdk_IsFlat(const VmdkImage* image) { return image->flat != 0; }

bool Vmdk_GetParentPath(const VmdkImage* image, TextBuffer* hint, TextBuffer* work,
                        TextBuffer* result)
{
    const VmdkDescriptor& d = image->descriptor;
    if (!d.isChild) return false;
    hint->length = 0;
    if (!Enc_ConvertAppend(hint, TEXT_ENC_UTF8, d.parentFileNameHint, d.textEncoding)) return false;
    TextView hintView;
    TextBuffer_View(hint, &hintView);
    if (hintView.length == 0 || !Path_IsValid(hintView, TEXT_ENC_UTF8)) return false;
    if (!Path_MakeAbsolute(hintView, CView(image->path), work, result, TEXT_ENC_UTF8)) return false;
    if (!TextBuffer_TerminateUtf8(result)) return false;
    if (!TextBuffer_TerminateUtf8(hint)) return false;
    return !SamePath(reinterpret_cast<const char*>(result->data), image->path);
}

uint32_t Vmdk_GetEffectiveHwVersion(const VmdkImage* image)
{
    const VmdkImage* current = image;
    for (uint32_t depth = 0; current && depth <= VMDK_MAX_CHAIN_DEPTH; ++depth) {
        if (!current->descriptor.hwVersionAbsent) return current->descriptor.hwVersionIndex;
        current = ImageOfSource(current->parent);
    }
    return VMDK_HW_VERSION_DEFAULT;
}

int Vmdk_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry->bytes_per_sector != kSector) return -1;
    return Geometry_ByteSizeFitsInt64(geometry) ? 0 : -1;
}

// ---- Flat extents ---------------------------------------------------------------------------------------

void VmdkFlat_Init(VmdkFlatExtent* e) { std::memset(static_cast<void*>(e), 0, sizeof *e); }

int VmdkFlat_Open(VmdkFlatExtent* e, FileOpenFn open, void* user, const char* path, bool readOnly,
                  uint64_t dataOffset, uint32_t sectors, uint64_t firstSector)
{
    VmdkFlat_Init(e);
    size_t length = std::strlen(path);
    if (length >= sizeof e->path) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    int r = open(path, readOnly, &stream, user);
    if (r == DISK_CANCELLED) return DISK_CANCELLED;
    if (r != 0 || !stream) return DISK_ERR_OPEN;
    uint64_t size = 0;
    uint64_t need = 0;
    if (!Stream_GetSize(stream, &size)) {
        Stream_Close(stream);
        return DISK_ERR_SIZE;
    }
    if (!Math_AddU64(dataOffset, static_cast<uint64_t>(sectors) * kSector, &need) || size < need) {
        Stream_Close(stream);
        return Refusal_Record("VMDK flat extent: file shorter than its extent line");
    }
    e->stream = stream;
    e->dataOffset = dataOffset;
    e->sectors = sectors;
    e->firstSector = firstSector;
    std::memcpy(e->path, path, length + 1);
    return DISK_OK;
}

void VmdkFlat_Close(VmdkFlatExtent* e)
{
    if (e->stream) Stream_Close(e->stream);
    VmdkFlat_Init(e);
}

int VmdkFlat_Read(VmdkFlatExtent* e, uint64_t offset, uint32_t length, void* buffer)
{
    uint64_t bytes = static_cast<uint64_t>(e->sectors) * kSector;
    if (offset > bytes || length > bytes - offset) return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    return Stream_ReadAt(e->stream, e->dataOffset + offset, length, buffer) ? DISK_OK
                                                                            : DISK_ERR_READ;
}

int VmdkFlat_IsRangeEmpty(VmdkFlatExtent* e, UsedSectorMap* map, uint32_t first, uint32_t count,
                          bool* empty)
{
    if (static_cast<uint64_t>(first) + count > e->sectors) return DISK_ERR_ARG;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(kFlatChunkSectors * kSector));
    if (!buffer) return DISK_ERR_NOMEM;
    uint8_t bits[kFlatChunkSectors / 8];
    bool result = true;
    int r = DISK_OK;
    for (uint32_t done = 0; done < count && result;) {
        uint32_t n = count - done < kFlatChunkSectors ? count - done : kFlatChunkSectors;
        uint64_t absolute = e->firstSector + first + done;
        uint32_t lo = 0, hi = n;
        if (map) {
            r = UsedMap_GetUsedBits(map, absolute, static_cast<int32_t>(n), bits);
            if (r != DISK_OK) break;
            while (lo < n && !(bits[lo / 8] & (1u << (lo % 8)))) ++lo;
            while (hi > lo && !(bits[(hi - 1) / 8] & (1u << ((hi - 1) % 8)))) --hi;
        }
        if (lo < hi) {
            uint64_t at = e->dataOffset + static_cast<uint64_t>(first + done + lo) * kSector;
            if (!Stream_ReadAt(e->stream, at, (hi - lo) * kSector, buffer)) {
                r = DISK_ERR_READ;
                break;
            }
            bool pieceEmpty = true;
            if (map)
                r = UsedMap_IsDataEmpty(map, absolute + lo, hi - lo, &pieceEmpty, buffer);
            else
                pieceEmpty = Mem_IsZero(buffer, (hi - lo) * kSector);
            if (r != DISK_OK) break;
            if (!pieceEmpty) result = false;
        }
        done += n;
    }
    Mem_Free(buffer);
    if (r != DISK_OK) return r;
    *empty = result;
    return DISK_OK;
}

uint32_t Vmdk_ExtentCount(const VmdkImage* image) { return image->extentCount; }

bool Vmdk_HasDescriptorFile(const VmdkImage* image)
{
    return image->descriptor.split != 0 || image->flat != 0;
}

void Vmdk_GetDescriptorSettings(const VmdkImage* image, VmdkDescriptorSettings* out)
{
    const VmdkDescriptor& d = image->descriptor;
    out->encodingChoice = d.encodingChoice;
    out->textEncoding = static_cast<TextEncoding>(d.textEncoding);
    out->adapter = d.adapter;
    out->cylinders = d.cylinders;
    out->heads = d.heads;
    out->sectorsPerTrack = d.sectorsPerTrack;
    out->hasUuid = d.uuidAbsent == 0;
    out->uuid = d.uuid;
    out->parentFileNameHint = d.parentFileNameHint;
}
