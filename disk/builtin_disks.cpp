// Built-in disks: zero disk, resizing view, "NVT " overlay and block device.
#include "disk/builtin_disks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "disk/disk_open.h"
#include "volume/used_map.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"

typedef unsigned __int128 U128;

// Work size of the empty-range queries that read the range themselves.
static const uint32_t kQueryChunkBytes = 0x200000;

// ---- Shared helpers -------------------------------------------------------------------

// Used bits of a piece of the disk, one per sector, least significant bit first. Pieces are at
// most one work buffer of sectors, far below 2^31.
static int FetchUsedBits(UsedSectorMap* map, uint64_t first, uint32_t count, uint8_t* bits)
{
    if (count > static_cast<uint32_t>(INT32_MAX)) return DISK_ERR_ARG;
    return UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
}

static bool BitIsSet(const uint8_t* bits, uint32_t index)
{
    return (bits[index >> 3] >> (index & 7)) & 1;
}

typedef int (*SectorReadFn)(void* obj, uint64_t offset, uint32_t length, void* buffer);
// Where the disk stores data, in disk bytes: the shape of a stream's FindData.
typedef bool (*DiskFindDataFn)(void* obj, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd);

// Reads [offset, offset + length) of the disk through `read`, but only the stored runs that
// `find` names: the bytes of holes are set to zero instead of being read.
static int ReadStoredRuns(void* obj, SectorReadFn read, DiskFindDataFn find, uint64_t offset,
                          uint32_t length, uint8_t* buffer)
{
    const uint64_t end = offset + length;  // the range was checked against the disk
    uint64_t pos = offset;
    // Every round moves pos forward past a stored run or ends the loop.
    while (pos < end) {
        uint64_t dataStart = 0, dataEnd = 0;
        if (!find(obj, pos, &dataStart, &dataEnd) || dataStart < pos)
            return read(obj, pos, static_cast<uint32_t>(end - pos), buffer + (pos - offset));
        const uint64_t holeEnd = dataStart < end ? dataStart : end;
        memset(buffer + (pos - offset), 0, static_cast<size_t>(holeEnd - pos));
        pos = holeEnd;
        if (pos == end) break;
        const uint64_t runEnd = dataEnd <= dataStart ? end : dataEnd < end ? dataEnd : end;
        const int r = read(obj, pos, static_cast<uint32_t>(runEnd - pos), buffer + (pos - offset));
        if (r != DISK_OK) return r;
        pos = runEnd;
    }
    return DISK_OK;
}

// Empty-range query of a disk that stores no allocation knowledge: reads the range in chunks of
// at most kQueryChunkBytes through the disk's own read and tests every used sector (every
// sector without a map) for zero bytes. With `find` the holes it names are skipped unread. The
// range has been checked against the disk's total.
static int ReadAndTestRange(void* obj, SectorReadFn read, DiskFindDataFn find, uint32_t bps,
                            UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty)
{
    if (bps == 0 || bps > DEVICE_MAX_BYTES_PER_SECTOR) return DISK_ERR_ARG;
    if (count == 0) {
        *empty = true;
        return DISK_OK;
    }
    const uint32_t chunk = kQueryChunkBytes / bps;
    const uint32_t bufferSectors = count < chunk ? count : chunk;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(bufferSectors * bps));
    if (buffer == nullptr) return DISK_ERR_NOMEM;
    uint8_t* bits = nullptr;
    if (map != nullptr) {
        bits = static_cast<uint8_t*>(Mem_Alloc((bufferSectors + 7) / 8));
        if (bits == nullptr) {
            Mem_Free(buffer);
            return DISK_ERR_NOMEM;
        }
    }

    int result = DISK_OK;
    bool allZero = true;
    uint32_t done = 0;
    while (done < count && allZero) {
        if (find != nullptr) {
            // The whole sectors before the next stored byte lie in a hole: they read as zeros.
            uint64_t at = 0, dataStart = 0, dataEnd = 0;
            if (!Math_MulU64(first + done, bps, &at)) {
                result = DISK_ERR_ARG;
                break;
            }
            if (find(obj, at, &dataStart, &dataEnd) && dataStart > at) {
                const uint64_t holeSectors = (dataStart - at) / bps;
                if (holeSectors >= count - done) break;
                done += static_cast<uint32_t>(holeSectors);
            }
        }
        const uint64_t chunkFirst = first + done;
        const uint32_t chunkCount = count - done < bufferSectors ? count - done : bufferSectors;
        done += chunkCount;

        uint32_t firstUsed = 0;
        if (bits != nullptr) {
            result = FetchUsedBits(map, chunkFirst, chunkCount, bits);
            if (result != DISK_OK) break;
            while (firstUsed < chunkCount && !BitIsSet(bits, firstUsed)) ++firstUsed;
            if (firstUsed == chunkCount) continue;
        }
        uint64_t at = 0;
        if (!Math_MulU64(chunkFirst + firstUsed, bps, &at)) {
            result = DISK_ERR_ARG;
            break;
        }
        const uint32_t bytes = (chunkCount - firstUsed) * bps;
        result = find != nullptr ? ReadStoredRuns(obj, read, find, at, bytes, buffer)
                                 : read(obj, at, bytes, buffer);
        if (result != DISK_OK) break;
        for (uint32_t i = firstUsed; i < chunkCount; ++i) {
            if (bits != nullptr && !BitIsSet(bits, i)) continue;
            if (!Mem_IsZero(buffer + static_cast<size_t>(i - firstUsed) * bps, bps)) {
                allZero = false;
                break;
            }
        }
    }
    if (bits != nullptr) Mem_Free(bits);
    Mem_Free(buffer);
    if (result == DISK_OK) *empty = allZero;
    return result;
}

// ---- Zero disk ------------------------------------------------------------------------

void ZeroDisk_GetGeometry(const DiskGeometry* obj, DiskGeometry* out) { *out = *obj; }

int ZeroDisk_Read(const DiskGeometry* obj, uint64_t offset, uint32_t length, void* buffer)
{
    (void)obj;
    (void)offset;
    if (length == 0) return DISK_OK;
    if (buffer == nullptr) return DISK_ERR_ARG;
    memset(buffer, 0, length);
    return DISK_OK;
}

int ZeroDisk_IsRangeEmpty(const DiskGeometry* obj, UsedSectorMap* map, uint64_t first,
                          uint32_t count, bool* empty, RangeProgressAdapter adapter,
                          RangeProgressRecord* record)
{
    (void)obj;
    (void)map;
    (void)first;
    (void)count;
    (void)adapter;
    (void)record;
    if (empty == nullptr) return DISK_ERR_ARG;
    *empty = true;
    return DISK_OK;
}

// ---- Resizing view ----------------------------------------------------------------------

ResizeView* ResizeDisk_Alloc() { return static_cast<ResizeView*>(Mem_Alloc(sizeof(ResizeView))); }

void ResizeDisk_Init(ResizeView* view)
{
    view->source = nullptr;
    view->ownsSource = false;
    view->geometry = DiskGeometry{0, 0, 0, 0, 0};
    view->declaredTotal = 0;
}

void ResizeDisk_Destroy(ResizeView* view)
{
    if (view->source != nullptr && view->ownsSource) DiskSource_Close(view->source);
    ResizeDisk_Init(view);
}

int ResizeDisk_AttachStream(ResizeView* view, DiskSource* source, bool ownsSource,
                            uint64_t declaredTotal)
{
    if (source == nullptr) return DISK_ERR_ARG;
    view->source = source;
    view->ownsSource = ownsSource;
    DiskGeometry g{0, 0, 0, 0, 0};
    DiskSource_GetGeometry(source, &g);
    view->geometry = g;
    Geometry_SetTotalSectors(&view->geometry, Geometry_GetTotalSectors(&g));
    view->declaredTotal = declaredTotal;
    return DISK_OK;
}

int ResizeDisk_AttachDisk(ResizeView* view, DiskHandle* disk, bool ownsDisk, uint64_t declaredTotal)
{
    DiskSource* source = nullptr;
    int r = DiskSource_WrapDisk(disk, ownsDisk, &source);
    if (r != DISK_OK) return r;
    return ResizeDisk_AttachStream(view, source, true, declaredTotal);
}

DiskHandle* ResizeDisk_DetachSource(ResizeView* view)
{
    DiskSource* source = view->source;
    if (source == nullptr ||
        (source->ops != &DiskSourceBorrowedOps && source->ops != &DiskSourceOwnedOps))
        return nullptr;
    DiskHandle* disk =
        static_cast<DiskHandle*>(view->ownsSource ? DiskSource_Release(source) : source->impl);
    ResizeDisk_Init(view);
    return disk;
}

void ResizeDisk_GetGeometry(const ResizeView* view, DiskGeometry* out)
{
    DiskGeometry g = view->geometry;
    Geometry_SetTotalSectors(&g, view->declaredTotal);
    *out = g;
}

void ResizeDisk_SetHeadsAndSectors(ResizeView* view, uint32_t heads, uint32_t sectorsPerTrack)
{
    view->geometry.heads = heads;
    view->geometry.sectors_per_track = sectorsPerTrack;
}

int ResizeDisk_Read(ResizeView* view, uint64_t offset, uint32_t length, void* buffer)
{
    if (view->source == nullptr) return DISK_ERR_ARG;
    const uint32_t bps = view->geometry.bytes_per_sector;
    // Byte sizes and range ends in 128 bits: none of them can wrap.
    const U128 sourceBytes = static_cast<U128>(Geometry_GetTotalSectors(&view->geometry)) * bps;
    const U128 declaredBytes = static_cast<U128>(view->declaredTotal) * bps;
    const U128 end = static_cast<U128>(offset) + length;
    if (end > declaredBytes) return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    if (buffer == nullptr) return DISK_ERR_ARG;
    if (end <= sourceBytes) return DiskSource_Read(view->source, offset, length, buffer);

    // The range reaches past the source's end: that part reads as zeros.
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t head = 0;
    if (static_cast<U128>(offset) < sourceBytes) {
        head = static_cast<uint32_t>(sourceBytes - offset);  // < length
        int r = DiskSource_Read(view->source, offset, head, out);
        if (r != DISK_OK) return r;
    }
    memset(out + head, 0, length - head);
    return DISK_OK;
}

int ResizeDisk_IsRangeEmpty(ResizeView* view, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    if (view->source == nullptr || empty == nullptr) return DISK_ERR_ARG;
    if (count > view->declaredTotal || first > view->declaredTotal - count) return DISK_ERR_ARG;
    const uint64_t sourceTotal = Geometry_GetTotalSectors(&view->geometry);
    if (first >= sourceTotal) {
        *empty = true;
        return DISK_OK;
    }
    if (count > sourceTotal - first) count = static_cast<uint32_t>(sourceTotal - first);
    return DiskSource_IsRangeEmpty(view->source, map, first, count, empty, adapter, record);
}

// Views are only made over disks opened before them, so a chain of views ends; the depth is
// bounded all the same.
static const uint32_t kResizeMaxDepth = 32;
static thread_local uint32_t g_resizeKnownZeroDepth = 0;

int ResizeDisk_IsRangeKnownZero(ResizeView* view, uint64_t first, uint32_t count, bool* zero)
{
    if (view->source == nullptr || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (count > view->declaredTotal || first > view->declaredTotal - count) return DISK_ERR_ARG;
    const uint64_t sourceTotal = Geometry_GetTotalSectors(&view->geometry);
    if (count == 0 || first >= sourceTotal) {
        *zero = true;
        return DISK_OK;
    }
    if (count > sourceTotal - first) count = static_cast<uint32_t>(sourceTotal - first);
    if (g_resizeKnownZeroDepth >= kResizeMaxDepth) return DISK_OK;
    const DiskSource* source = view->source;
    int r = DISK_OK;
    ++g_resizeKnownZeroDepth;
    if (source->ops == &DiskSourceBorrowedOps || source->ops == &DiskSourceOwnedOps)
        r = Disk_IsRangeKnownZero(static_cast<const DiskHandle*>(source->impl), first, count, zero);
    else if (source->ops == &DiskSourceResizedOps)
        r = ResizeDisk_IsRangeKnownZero(static_cast<ResizeView*>(source->impl), first, count, zero);
    else if (source->ops->IsRangeKnownZero != nullptr)
        r = source->ops->IsRangeKnownZero(source->impl, first, count, zero);
    --g_resizeKnownZeroDepth;
    // Any other source cannot tell.
    return r;
}

// ---- "NVT " overlay -----------------------------------------------------------------------

// Overlay header fields.
static const uint32_t kOverlayHeaderSize = 48;
static const uint32_t kOverlayTableBytes = OVERLAY_TABLE_ENTRIES * 4;
static const char kOverlayOverOverlay[] = "overlay header: base is itself an overlay";
static const char kOverlayTablePastEnd[] = "overlay table: table lies past the end of the file";

// An overlay's base is opened with probing, which tries the overlay kind again. Overlay bases
// are refused: while a base is being opened, a nested overlay open answers DISK_ERR_FORMAT
// before it opens anything further, so that neither a self-naming overlay nor a loop of
// overlays can recurse.
static thread_local uint32_t g_overlayBaseDepth = 0;
static thread_local bool g_overlayBaseRefused = false;

OverlayDisk* Overlay_Alloc() { return static_cast<OverlayDisk*>(Mem_Alloc(sizeof(OverlayDisk))); }

void Overlay_Init(OverlayDisk* obj)
{
    memset(obj, 0, sizeof(*obj));
    obj->file = nullptr;
    obj->base = nullptr;
    obj->level2Index = -1;
    obj->level3Index = -1;
    obj->fileSize = 0;
}

void Overlay_Destroy(OverlayDisk* obj)
{
    if (obj->file != nullptr) Stream_Close(obj->file);
    if (obj->base != nullptr) {
        Disk_Close(obj->base);
        Mem_Free(obj->base);
    }
    Overlay_Init(obj);
}

// Reads a 256-entry table of little-endian u32 at byte position `at` of the overlay file.
static bool ReadOverlayTable(ByteStream* file, uint64_t at, uint32_t* table)
{
    uint8_t raw[kOverlayTableBytes];
    if (!Stream_ReadAt(file, at, kOverlayTableBytes, raw)) return false;
    for (uint32_t i = 0; i < OVERLAY_TABLE_ENTRIES; ++i) table[i] = Bytes_LoadLe32(raw + i * 4);
    return true;
}

// Whether `bytes` bytes at entry x 512 lie inside the overlay file.
static bool EntryInsideFile(const OverlayDisk* obj, uint32_t entry, uint32_t bytes)
{
    uint64_t at = static_cast<uint64_t>(entry) * 512;
    return at + bytes <= obj->fileSize;
}

// The directory of the overlay path (up to and including the last "/") followed by the name.
static char* BuildBasePath(const char* overlayPath, const uint8_t* name, uint32_t nameLength)
{
    const char* slash = strrchr(overlayPath, '/');
    size_t dirLength = slash != nullptr ? static_cast<size_t>(slash - overlayPath) + 1 : 0;
    size_t total = dirLength + nameLength + 1;
    if (total > 0xFFFFFFFFu) return nullptr;
    char* path = static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(total)));
    if (path == nullptr) return nullptr;
    memcpy(path, overlayPath, dirLength);
    memcpy(path + dirLength, name, nameLength);
    path[dirLength + nameLength] = '\0';
    return path;
}

int Overlay_OpenWithHandler(OverlayDisk* obj, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    Overlay_Init(obj);
    if (path == nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;

    ByteStream* file = nullptr;
    int r = FileOpener_Open(opener, path, readOnly, &file);
    if (r != DISK_OK) return r;

    uint8_t header[kOverlayHeaderSize];
    uint8_t name[OVERLAY_NAME_SIZE];
    uint64_t size = 0;
    if (!Stream_GetSize(file, &size)) {
        r = DISK_ERR_SIZE;
    } else if (size < OVERLAY_MIN_FILE_SIZE) {
        r = Refusal_Record("overlay file: shorter than its header and table");
    } else if (!Stream_ReadAt(file, 0, kOverlayHeaderSize, header)) {
        r = DISK_ERR_READ;
    } else if (memcmp(header, "NVT ", 4) != 0) {
        r = Refusal_Record("overlay header: no signature");
    } else if (Bytes_LoadLe32(header + 4) != 0) {
        r = Refusal_Record("overlay header: unknown version");
    } else if (g_overlayBaseDepth > 0) {
        // This overlay is the base (direct or further down) of an overlay being opened.
        g_overlayBaseRefused = true;
        r = Refusal_Record(kOverlayOverOverlay);
    } else if (!Stream_ReadAt(file, OVERLAY_NAME_OFFSET, OVERLAY_NAME_SIZE, name)) {
        r = DISK_ERR_READ;
    }
    if (r != DISK_OK) {
        Stream_Close(file);
        return r;
    }

    // The name ends at its first NUL or at the end of its 512 bytes.
    const void* nul = memchr(name, 0, OVERLAY_NAME_SIZE);
    const uint32_t nameLength = nul != nullptr
                                    ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - name)
                                    : OVERLAY_NAME_SIZE;
    const bool rawBase = Bytes_LoadLe32(header + 8) != 0;
    const uint64_t rawOffset = Bytes_LoadLe32(header + 16);
    DiskGeometry rawGeometry{0, Bytes_LoadLe32(header + 32), Bytes_LoadLe32(header + 36),
                             Bytes_LoadLe32(header + 40), 0};
    Geometry_SetTotalSectors(&rawGeometry, Bytes_LoadLe32(header + 24));
    if (nameLength == 0) {
        Stream_Close(file);
        return Refusal_Record("overlay header: no base name");
    }
    if (rawBase && (rawGeometry.sectors32 == 0 || rawGeometry.heads == 0 ||
                    rawGeometry.sectors_per_track == 0 || rawGeometry.bytes_per_sector == 0 ||
                    rawGeometry.bytes_per_sector > DEVICE_MAX_BYTES_PER_SECTOR)) {
        Stream_Close(file);
        return Refusal_Record("overlay header: raw base geometry out of range");
    }

    char* basePath = BuildBasePath(path, name, nameLength);
    DiskHandle* base = basePath != nullptr ? Disk_Alloc() : nullptr;
    if (base == nullptr) {
        if (basePath != nullptr) Mem_Free(basePath);
        Stream_Close(file);
        return DISK_ERR_NOMEM;
    }
    Disk_Init(base);
    if (!ReadOverlayTable(file, OVERLAY_LEVEL1_OFFSET, obj->level1)) {
        Mem_Free(base);
        Mem_Free(basePath);
        Stream_Close(file);
        Overlay_Init(obj);
        return DISK_ERR_READ;
    }

    ++g_overlayBaseDepth;
    g_overlayBaseRefused = false;
    if (rawBase)
        r = Disk_OpenRawWithHandler(base, opener, basePath, true, rawOffset, &rawGeometry);
    else
        r = Disk_OpenWithHandler(base, opener, basePath, true, 0, nullptr);
    --g_overlayBaseDepth;
    const bool refused = g_overlayBaseRefused;
    g_overlayBaseRefused = false;
    Mem_Free(basePath);

    if (r != DISK_OK) {
        Disk_Close(base);  // also resets a kind left without an object
        Mem_Free(base);
        Stream_Close(file);
        Overlay_Init(obj);
        return refused && r != DISK_CANCELLED ? Refusal_Record(kOverlayOverOverlay) : r;
    }
    obj->file = file;
    obj->base = base;
    obj->fileSize = size;
    return DISK_OK;
}

void Overlay_GetGeometry(const OverlayDisk* obj, DiskGeometry* out)
{
    if (obj->base != nullptr) Disk_GetGeometry(obj->base, out);
}

// Brings the level-2 table of level-1 index l1 (entry e1) into the cache.
static int LoadLevel2(OverlayDisk* obj, uint32_t l1, uint32_t e1)
{
    if (obj->level2Index == static_cast<int64_t>(l1)) return DISK_OK;
    if (!EntryInsideFile(obj, e1, kOverlayTableBytes)) return Refusal_Record(kOverlayTablePastEnd);
    obj->level2Index = -1;
    if (!ReadOverlayTable(obj->file, static_cast<uint64_t>(e1) * 512, obj->level2))
        return DISK_ERR_READ;
    obj->level2Index = l1;
    return DISK_OK;
}

// Brings the level-3 table of (l1, l2) (entry e2) into the cache.
static int LoadLevel3(OverlayDisk* obj, uint32_t l1, uint32_t l2, uint32_t e2)
{
    const int64_t key = static_cast<int64_t>(l1) * OVERLAY_TABLE_ENTRIES + l2;
    if (obj->level3Index == key) return DISK_OK;
    if (!EntryInsideFile(obj, e2, kOverlayTableBytes)) return Refusal_Record(kOverlayTablePastEnd);
    obj->level3Index = -1;
    if (!ReadOverlayTable(obj->file, static_cast<uint64_t>(e2) * 512, obj->level3))
        return DISK_ERR_READ;
    obj->level3Index = key;
    return DISK_OK;
}

static uint64_t MinU64(uint64_t a, uint64_t b) { return a < b ? a : b; }

int Overlay_Read(OverlayDisk* obj, uint64_t offset, uint32_t length, void* buffer)
{
    if (obj->file == nullptr || obj->base == nullptr) return DISK_ERR_ARG;
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(obj->base, &g);
    // A base may be larger than 2^64 bytes: the range must also end within 64-bit offsets.
    if (!Geometry_IsByteRangeInside(offset, length, &g) || offset > UINT64_MAX - length)
        return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    if (buffer == nullptr) return DISK_ERR_ARG;

    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t end = offset + length;
    uint64_t pos = offset;
    while (pos < end) {
        // Each piece ends where the table that decides it hands over to its next entry.
        uint64_t pieceEnd = end;
        uint32_t block = 0;  // overlay block holding the piece, 0 = the base holds it
        const uint64_t l1 = pos >> 32;
        if (l1 < OVERLAY_TABLE_ENTRIES) {
            pieceEnd = MinU64(end, (l1 + 1) << 32);
            const uint32_t e1 = obj->level1[l1];
            if (e1 != 0) {
                int r = LoadLevel2(obj, static_cast<uint32_t>(l1), e1);
                if (r != DISK_OK) return r;
                const uint32_t l2 = static_cast<uint32_t>(pos >> 24) & 0xFF;
                pieceEnd = MinU64(end, ((pos >> 24) + 1) << 24);
                const uint32_t e2 = obj->level2[l2];
                if (e2 != 0) {
                    r = LoadLevel3(obj, static_cast<uint32_t>(l1), l2, e2);
                    if (r != DISK_OK) return r;
                    const uint32_t l3 = static_cast<uint32_t>(pos >> 16) & 0xFF;
                    pieceEnd = MinU64(end, ((pos >> 16) + 1) << 16);
                    block = obj->level3[l3];
                    if (block != 0 && !EntryInsideFile(obj, block, OVERLAY_BLOCK_SIZE))
                        return Refusal_Record("overlay table: block lies past the end of the file");
                }
            }
        }
        // Beyond the level-1 table (bases above 1 TiB) everything comes from the base.
        const uint32_t n = static_cast<uint32_t>(pieceEnd - pos);
        uint8_t* dst = out + (pos - offset);
        if (block == 0) {
            int r = Disk_Read(obj->base, pos, n, dst);
            if (r != DISK_OK) return r;
        } else {
            const uint64_t at =
                static_cast<uint64_t>(block) * 512 + (pos & (OVERLAY_BLOCK_SIZE - 1));
            if (!Stream_ReadAt(obj->file, at, n, dst)) return DISK_ERR_READ;
        }
        pos = pieceEnd;
    }
    return DISK_OK;
}

static int OverlayReadFn(void* obj, uint64_t offset, uint32_t length, void* buffer)
{
    return Overlay_Read(static_cast<OverlayDisk*>(obj), offset, length, buffer);
}

int Overlay_IsRangeEmpty(OverlayDisk* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                         bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    (void)adapter;
    (void)record;
    if (obj->file == nullptr || obj->base == nullptr || empty == nullptr) return DISK_ERR_ARG;
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(obj->base, &g);
    if (!Geometry_IsSectorRangeInside(first, count, &g)) return DISK_ERR_ARG;
    return ReadAndTestRange(obj, OverlayReadFn, nullptr, g.bytes_per_sector, map, first, count,
                            empty);
}

// ---- Block device -------------------------------------------------------------------------

// Heads and sectors per track proposed when the drive cannot tell its own.
static const uint32_t kFallbackHeads = 255;
static const uint32_t kFallbackSectorsPerTrack = 63;

bool DeviceDisk_QueryGeometry(const char* path, DiskGeometry* out)
{
    if (path == nullptr || out == nullptr) return false;
    int fd = File_OpenDiskDescriptor(path, true);
    if (fd < 0) return false;
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        close(fd);
        return false;
    }
    struct hd_geometry hd;
    memset(&hd, 0, sizeof hd);
    uint32_t heads = kFallbackHeads, sectors = kFallbackSectorsPerTrack;
    // Loop devices and many others answer ENOTTY: the proposal then uses the usual translation.
    if (ioctl(fd, HDIO_GETGEO, &hd) == 0 && hd.heads != 0 && hd.sectors != 0) {
        heads = hd.heads;
        sectors = hd.sectors;
    }
    close(fd);
    DiskGeometry g{0, heads, sectors, 512, 0};
    Geometry_SetTotalSectors(&g, static_cast<uint64_t>(size) / 512);
    *out = g;
    return true;
}

DeviceDisk* DeviceDisk_Alloc() { return static_cast<DeviceDisk*>(Mem_Alloc(sizeof(DeviceDisk))); }

void DeviceDisk_Init(DeviceDisk* obj)
{
    obj->dataOffset = 0;
    obj->geometry = DiskGeometry{0, 0, 0, 0, 0};
    obj->fd = -1;
}

void DeviceDisk_Close(DeviceDisk* obj)
{
    if (obj->fd >= 0) close(obj->fd);
    DeviceDisk_Init(obj);
}

int DeviceDisk_Open(DeviceDisk* obj, const char* path, bool readOnly, uint64_t dataOffset,
                    const DiskGeometry* geometry)
{
    DeviceDisk_Init(obj);
    if (path == nullptr || geometry == nullptr) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(geometry);
    const uint32_t bps = geometry->bytes_per_sector;
    if (total == 0 || bps == 0 || bps > DEVICE_MAX_BYTES_PER_SECTOR) return DISK_ERR_ARG;
    // Every byte position of the disk must be a valid file offset.
    uint64_t bytes = 0, end = 0;
    if (!Math_MulU64(total, bps, &bytes) || !Math_AddU64(dataOffset, bytes, &end) ||
        end > static_cast<uint64_t>(INT64_MAX))
        return DISK_ERR_ARG;
    // Only a block device (or a regular file standing in for one) is read: a FIFO or a
    // character device is refused instead of being waited on.
    int fd = File_OpenDiskDescriptor(path, readOnly);
    if (fd < 0) return DISK_ERR_DEVICE;
    obj->fd = fd;
    obj->dataOffset = dataOffset;
    obj->geometry = *geometry;
    Geometry_SetTotalSectors(&obj->geometry, total);
    return DISK_OK;
}

void DeviceDisk_GetGeometry(const DeviceDisk* obj, DiskGeometry* out) { *out = obj->geometry; }

int DeviceDisk_Read(DeviceDisk* obj, uint64_t offset, uint32_t length, void* buffer)
{
    if (obj->fd < 0) return DISK_ERR_ARG;
    if (!Geometry_IsByteRangeInside(offset, length, &obj->geometry)) return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    if (buffer == nullptr) return DISK_ERR_ARG;
    // The open made sure that data offset + disk size fits a file offset.
    const uint64_t at = obj->dataOffset + offset;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = pread(obj->fd, out + done, length - done, static_cast<off_t>(at + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return DISK_ERR_READ;
        }
        if (n == 0) return DISK_ERR_READ;  // the device ends before the range
        done += static_cast<uint32_t>(n);
    }
    return DISK_OK;
}

static int DeviceReadFn(void* obj, uint64_t offset, uint32_t length, void* buffer)
{
    return DeviceDisk_Read(static_cast<DeviceDisk*>(obj), offset, length, buffer);
}

// The stored runs of the node in disk bytes. A block device keeps no holes (the whole device
// is one run); a regular file standing in for one names its holes.
static bool DeviceFindDataFn(void* obj, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd)
{
    const DeviceDisk* d = static_cast<const DeviceDisk*>(obj);
    uint64_t at = 0, start = 0, end = 0;
    if (!Math_AddU64(d->dataOffset, offset, &at) ||
        !File_FindDataInDescriptor(d->fd, at, &start, &end) || start < at)
        return false;
    *dataStart = start - d->dataOffset;
    *dataEnd = end - d->dataOffset;
    return true;
}

int DeviceDisk_IsRangeEmpty(DeviceDisk* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    (void)adapter;
    (void)record;
    if (obj->fd < 0 || empty == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &obj->geometry)) return DISK_ERR_ARG;
    return ReadAndTestRange(obj, DeviceReadFn, DeviceFindDataFn, obj->geometry.bytes_per_sector,
                            map, first, count, empty);
}

int DeviceDisk_IsRangeKnownZero(DeviceDisk* obj, uint64_t first, uint32_t count, bool* zero)
{
    if (obj->fd < 0 || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (!Geometry_IsSectorRangeInside(first, count, &obj->geometry)) return DISK_ERR_ARG;
    if (count == 0) {
        *zero = true;
        return DISK_OK;
    }
    // The open made sure that every byte position of the disk fits a file offset.
    const uint64_t at = first * obj->geometry.bytes_per_sector;
    const uint64_t end = at + static_cast<uint64_t>(count) * obj->geometry.bytes_per_sector;
    uint64_t dataStart = 0, dataEnd = 0;
    *zero = DeviceFindDataFn(obj, at, &dataStart, &dataEnd) && dataStart >= end;
    return DISK_OK;
}
