// Built-in disks that are not image formats: the zero disk (DISK_KIND_ZERO), the resizing view
// (DISK_KIND_RESIZE), the "NVT " overlay (DISK_KIND_OVERLAY) and the block device
// (DISK_KIND_DEVICE). Each is reached through its negative kind in the dispatch and made by the
// open functions of the disk layer.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "disk/disk_source.h"
#include "foundation/stream.h"

struct UsedSectorMap;

// ---- Zero disk ------------------------------------------------------------------
// The object is a DiskGeometry; every sector reads as zeros.
void ZeroDisk_GetGeometry(const DiskGeometry* obj, DiskGeometry* out);
// Fills the buffer with zeros for any range.
int ZeroDisk_Read(const DiskGeometry* obj, uint64_t offset, uint32_t length, void* buffer);
// Always *empty = 1.
int ZeroDisk_IsRangeEmpty(const DiskGeometry* obj, UsedSectorMap* map, uint64_t first,
                          uint32_t count, bool* empty, RangeProgressAdapter adapter,
                          RangeProgressRecord* record);

// ---- Resizing view ----------------------------------------------------------------
// Presents a disk source with another total size and, optionally, other heads and sectors per
// track. Sectors past the source's end read as zeros and count as empty.
struct ResizeView {
    DiskSource* source;
    bool ownsSource;
    DiskGeometry geometry;   // the source's geometry (heads and sectors may be replaced)
    uint64_t declaredTotal;  // total sectors the view presents
};

ResizeView* ResizeDisk_Alloc();
// No source, not owning, zero geometry, declared 0.
void ResizeDisk_Init(ResizeView* view);
// Closes the source when the view owns it, then clears the view.
void ResizeDisk_Destroy(ResizeView* view);
// Takes the source's geometry; always 0.
int ResizeDisk_AttachStream(ResizeView* view, DiskSource* source, bool ownsSource,
                            uint64_t declaredTotal);
// Wraps the handle in a DiskSource owned by the view (the source owns or borrows the handle by
// the flag). DISK_ERR_NOMEM when the wrapper cannot be allocated.
int ResizeDisk_AttachDisk(ResizeView* view, DiskHandle* disk, bool ownsDisk,
                          uint64_t declaredTotal);
// Hands back the DiskHandle the source wraps without closing it, releases the wrapper and
// clears the view. NULL (view unchanged) when the view has no source over a handle.
DiskHandle* ResizeDisk_DetachSource(ResizeView* view);
// The source's heads, sectors per track and bytes per sector with the declared total.
void ResizeDisk_GetGeometry(const ResizeView* view, DiskGeometry* out);
void ResizeDisk_SetHeadsAndSectors(ResizeView* view, uint32_t heads, uint32_t sectorsPerTrack);
// DISK_ERR_ARG past the declared size; the part past the source's end reads as zeros.
int ResizeDisk_Read(ResizeView* view, uint64_t offset, uint32_t length, void* buffer);
// DISK_ERR_ARG past the declared total; sectors past the source's end are empty; the rest is
// asked of the source with map and adapter passed on.
int ResizeDisk_IsRangeEmpty(ResizeView* view, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// DISK_ERR_ARG past the declared total. Sectors past the source's end are known zeros; the rest
// is asked of the wrapped disk (Disk_IsRangeKnownZero), or is not known for another source.
int ResizeDisk_IsRangeKnownZero(ResizeView* view, uint64_t first, uint32_t count, bool* zero);

// ---- "NVT " overlay -----------------------------------------------------------------
// Changed 64 KiB blocks kept in the overlay file over a named base image, found through three
// levels of 256-entry tables (4 GiB, 16 MiB and 64 KiB per entry).
enum : uint32_t {
    OVERLAY_TABLE_ENTRIES = 256,
    OVERLAY_MIN_FILE_SIZE = 2048,
    OVERLAY_NAME_OFFSET = 512,
    OVERLAY_NAME_SIZE = 512,
    OVERLAY_LEVEL1_OFFSET = 1024,
    OVERLAY_BLOCK_SIZE = 0x10000
};

struct OverlayDisk {
    ByteStream* file;  // the overlay file, owned
    DiskHandle* base;  // the base image, owned
    uint32_t level1[OVERLAY_TABLE_ENTRIES];
    int64_t level2Index;  // level-1 index of the cached level-2 table, -1 none
    uint32_t level2[OVERLAY_TABLE_ENTRIES];
    int64_t level3Index;  // level-1 index x 256 + level-2 index, -1 none
    uint32_t level3[OVERLAY_TABLE_ENTRIES];
    uint64_t fileSize;  // size of the overlay file when opened
};

OverlayDisk* Overlay_Alloc();
void Overlay_Init(OverlayDisk* obj);
// Closes the overlay file and the base disk, frees the base handle, clears the object.
void Overlay_Destroy(OverlayDisk* obj);
// Opens the overlay file and its base (read-only) through the opener. 1 when the opener
// cancelled, DISK_ERR_OPEN when the overlay file cannot be opened, DISK_ERR_SIZE,
// DISK_ERR_FORMAT for a file that is not an overlay or whose base is itself an overlay,
// DISK_ERR_READ, DISK_ERR_NOMEM; otherwise the result of opening the base. On failure the
// object is left cleared.
int Overlay_OpenWithHandler(OverlayDisk* obj, const FileOpener* opener, const char* path,
                            bool readOnly);
// The base's geometry.
void Overlay_GetGeometry(const OverlayDisk* obj, DiskGeometry* out);
// DISK_ERR_ARG past the end of the base, DISK_ERR_FORMAT for a table entry that points outside
// the overlay file, DISK_ERR_READ, or the base's failure.
int Overlay_Read(OverlayDisk* obj, uint64_t offset, uint32_t length, void* buffer);
// Reads the range and tests every used sector for zero bytes (the adapter is not used).
int Overlay_IsRangeEmpty(OverlayDisk* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                         bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);

// ---- Block device -------------------------------------------------------------------
// Largest sector size a device disk accepts.
enum : uint32_t { DEVICE_MAX_BYTES_PER_SECTOR = 32768 };

struct DeviceDisk {
    uint64_t dataOffset;  // byte offset of sector 0 on the device
    DiskGeometry geometry;
    int fd;  // -1 when closed
};

// Proposes a device's geometry: total = size / 512, 512 bytes per sector, heads and sectors
// per track from the drive (255 and 63 when the node cannot tell them, as loop devices).
// False when the node cannot be opened or its size cannot be taken, and for anything that is
// not a block device or a regular file (a FIFO is refused, not waited on).
bool DeviceDisk_QueryGeometry(const char* path, DiskGeometry* out);
DeviceDisk* DeviceDisk_Alloc();
// Descriptor -1.
void DeviceDisk_Init(DeviceDisk* obj);
// Closes the descriptor when open, clears the object.
void DeviceDisk_Close(DeviceDisk* obj);
// DISK_ERR_ARG for a geometry without sectors or with bytes per sector outside 1..32768 or a
// size that does not fit 64 bits; DISK_ERR_DEVICE when the node cannot be opened or is neither
// a block device nor a regular file. Stores offset and geometry as given.
int DeviceDisk_Open(DeviceDisk* obj, const char* path, bool readOnly, uint64_t dataOffset,
                    const DiskGeometry* geometry);
void DeviceDisk_GetGeometry(const DeviceDisk* obj, DiskGeometry* out);
// DISK_ERR_ARG past the end of the disk, DISK_ERR_READ when the device delivers less.
int DeviceDisk_Read(DeviceDisk* obj, uint64_t offset, uint32_t length, void* buffer);
// Reads the range in chunks and tests every used sector for zero bytes (the adapter is not
// used). Holes of a regular file standing in for a device are skipped unread.
int DeviceDisk_IsRangeEmpty(DeviceDisk* obj, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// *zero = true when the node stores no byte of the range (a hole of a regular file; a block
// device keeps none). Reads nothing. DISK_ERR_ARG past the end of the disk.
int DeviceDisk_IsRangeKnownZero(DeviceDisk* obj, uint64_t first, uint32_t count, bool* zero);
