// The fixed VHD over the raw image layer.
#include "formats/vhd/vhd_fixed.h"

#include <cstring>

#include "disk/emulator_images.h"
#include "disk/raw_writer.h"
#include "foundation/format.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"

namespace {

int ReadBytes(ByteStream* stream, uint64_t offset, uint32_t length, void* buffer)
{
    return Stream_ReadAt(stream, offset, length, buffer) ? DISK_OK : DISK_ERR_READ;
}

int TakeSize(ByteStream* stream, uint64_t* size)
{
    return Stream_GetSize(stream, size) ? DISK_OK : DISK_ERR_SIZE;
}

void SetGeometry(DiskGeometry* g, uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps)
{
    *g = DiskGeometry{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(g, total);
}

void CloseRaw(RawImage* raw)
{
    ByteStream* stream = RawImage_Detach(raw);
    if (stream != nullptr) Stream_Close(stream);
    RawImage_Init(raw);
}

// The source's geometry, or a zero one when the source has none.
int TakeSourceGeometry(const DiskHandle* source, DiskGeometry* g)
{
    *g = DiskGeometry{0, 0, 0, 0, 0};
    if (source == nullptr || source->object == nullptr) return DISK_ERR_ARG;
    Disk_GetGeometry(source, g);
    return DISK_OK;
}

// The footer of a fixed disk whose data fills the `dataBytes` bytes of the file before it.
int VhdFixed_CheckFooter(const VhdFooter* footer, uint64_t dataBytes)
{
    if (footer->fileFormatVersion != VHD_VERSION)
        return Refusal_Record("VHD footer: unknown format version");
    if (footer->diskType != VHD_DISK_TYPE_FIXED)
        return Refusal_Record("VHD footer: not a fixed disk");
    if (footer->dataOffset != UINT64_MAX)
        return Refusal_Record("VHD footer: fixed disk with a dynamic header offset");
    if (!Mem_IsZero(footer->reserved, sizeof(footer->reserved)))
        return Refusal_Record("VHD footer: reserved bytes are not zero");
    if (footer->heads == 0 || footer->sectorsPerTrack == 0)
        return Refusal_Record("VHD footer: no heads or no sectors per track");
    if (footer->currentSize != dataBytes)
        return Refusal_Record("VHD footer: current size differs from the data in the file");
    const uint64_t chs =
        static_cast<uint64_t>(footer->cylinders) * footer->heads * footer->sectorsPerTrack;
    if (!Vhd_FooterUsesCurrentSize(footer) && footer->currentSize < chs * 512)
        return Refusal_Record("VHD footer: CHS size exceeds the current size");
    return DISK_OK;
}

}  // namespace

VhdFixedImage* VhdFixed_Alloc()
{
    return static_cast<VhdFixedImage*>(Mem_Alloc(sizeof(VhdFixedImage)));
}

void VhdFixed_Init(VhdFixedImage* image)
{
    RawImage_Init(&image->raw);
    std::memset(&image->footer, 0, sizeof(image->footer));
    image->footerLength = 0;
}

void VhdFixed_Close(void* object)
{
    VhdFixedImage* image = static_cast<VhdFixedImage*>(object);
    CloseRaw(&image->raw);
    VhdFixed_Init(image);
}

int VhdFixed_OpenWithCallback(VhdFixedImage* image, FileOpenFn open, void* user, const char* path,
                              bool readOnly)
{
    VhdFixed_Init(image);
    if (open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    const int opened = open(path, readOnly, &stream, user);
    if (opened == 1) return DISK_CANCELLED;
    if (opened != 0 || stream == nullptr) return DISK_ERR_OPEN;

    int rc = DISK_OK;
    uint64_t size = 0;
    uint32_t footerLength = 512;
    uint8_t bytes[VHD_FOOTER_SIZE];
    std::memset(bytes, 0, sizeof(bytes));
    VhdFooter footer;
    DiskGeometry g{0, 0, 0, 0, 0};
    do {
        if ((rc = TakeSize(stream, &size)) != DISK_OK) break;
        if (size < 511) {
            rc = Refusal_Record("VHD file: too short for a footer");
            break;
        }
        if (size % 512 == 511) {
            footerLength = 511;
        } else if (size % 512 != 0) {
            rc = Refusal_Record("VHD file: size is not a whole number of sectors");
            break;
        }
        // A 511-byte footer lacks the last reserved byte, which counts as zero.
        if ((rc = ReadBytes(stream, size - footerLength, footerLength, bytes)) != DISK_OK) break;
        if (Bytes_LoadBe32(bytes + VHD_FOOTER_CHECKSUM_OFFSET) !=
            Vhd_ComputeChecksum(bytes, footerLength, VHD_FOOTER_CHECKSUM_OFFSET)) {
            rc = Refusal_Record("VHD footer: checksum does not match");
            break;
        }
        std::memcpy(&footer, bytes, sizeof(footer));
        Vhd_FooterToHost(&footer, &footer);
        rc = VhdFixed_CheckFooter(&footer, size - footerLength);
        if (rc != DISK_OK) break;
        SetGeometry(&g, Vhd_FooterDiskSectors(&footer), footer.heads, footer.sectorsPerTrack, 512);
        rc = RawImage_Attach(&image->raw, stream, 0, &g);
    } while (false);

    if (rc != DISK_OK) {
        Stream_Close(stream);
        VhdFixed_Init(image);
        return rc;
    }
    image->footer = footer;
    image->footerLength = footerLength;
    return DISK_OK;
}

int VhdFixed_OpenWithHandler(VhdFixedImage* image, const FileOpener* opener, const char* path,
                             bool readOnly)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return VhdFixed_OpenWithCallback(image, opener->open, opener->user, path, readOnly);
}

int VhdFixed_Open(VhdFixedImage* image, const char* path, bool readOnly)
{
    return VhdFixed_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}

void VhdFixed_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(&static_cast<VhdFixedImage*>(object)->raw, out);
}

int VhdFixed_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(&static_cast<VhdFixedImage*>(object)->raw, offset, length, buffer);
}

int VhdFixed_IsRangeUnallocated(void* object, UsedSectorMap*, uint64_t first, uint32_t count,
                                bool* out)
{
    return RawImage_IsRangeKnownZero(&static_cast<VhdFixedImage*>(object)->raw, first, count, out);
}

int VhdFixed_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                          bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(&static_cast<VhdFixedImage*>(object)->raw, map, first, count,
                                 empty, adapter, record);
}

int32_t VhdFixed_CheckGeometry(const DiskGeometry* geometry)
{
    // What the footer of Vhd_InitFooter can describe, as for a dynamic disk.
    return Vhd_CheckGeometry(geometry);
}

bool VhdFixed_ComputeGeometry(uint64_t byteCapacity, DiskGeometry* out)
{
    return Vhd_ComputeGeometry(byteCapacity, out);
}

int VhdFixed_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback callback, void* user, const VhdCreateOptions* options)
{
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    if (options == nullptr || VhdFixed_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    VhdFooter footer;
    // Refuses what the footer cannot describe (the total must come back on reopening).
    if ((rc = Vhd_InitFooter(&footer, &g, options, VHD_DISK_TYPE_FIXED)) != DISK_OK) return rc;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const uint64_t gap = footer.currentSize - total * 512;  // the size is rounded up
    VhdFooter onDisk;
    Vhd_FooterToDisk(&footer, &onDisk);
    return RawWriter_WriteWithMap(path, source, map, callback, user, total, 512, nullptr, 0, 0, gap,
                                  &onDisk, sizeof(onDisk), EMULATOR_COPY_CHUNK);
}

// ---- Table entries -----------------------------------------------------------------------

int Disk_OpenVhdFixedWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                 bool readOnly)
{
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    VhdFixedImage* image = VhdFixed_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    VhdFixed_Init(image);
    const int rc = VhdFixed_OpenWithHandler(image, opener, path, readOnly);
    if (rc != DISK_OK) {
        Mem_Free(image);
        return rc;
    }
    handle->kind = DISK_KIND_VHD_FIXED;
    handle->object = image;
    return DISK_OK;
}
int Disk_OpenVhdFixed(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVhdFixedWithHandler(handle, &FileOpener_Default, path, readOnly);
}
