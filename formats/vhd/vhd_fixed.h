// The fixed VHD (kind 7): the disk's sectors followed by a VHD footer, served by the raw image
// layer.
//
// The open reads and checks the footer at the end of the file, derives the geometry and attaches
// the stream at offset 0; geometry, read and empty-range are the raw layer's. Object functions of
// the operation tables take the object as void*, a VhdFixedImage.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "disk/raw_image.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/stream.h"

struct UsedSectorMap;

// Allocate and initialise the object, open it, and on success store kind and object in the
// handle. On failure the object is freed and the handle is left as it was.
int Disk_OpenVhdFixed(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVhdFixedWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                 bool readOnly);

struct VhdFixedImage {
    RawImage raw;
    VhdFooter footer;       // as read, in host order
    uint32_t footerLength;  // 512, or 511 when the file's last sector is one byte short
};

VhdFixedImage* VhdFixed_Alloc();
void VhdFixed_Init(VhdFixedImage* image);
void VhdFixed_Close(void* object);
int VhdFixed_OpenWithCallback(VhdFixedImage* image, FileOpenFn open, void* user, const char* path,
                              bool readOnly);
int VhdFixed_OpenWithHandler(VhdFixedImage* image, const FileOpener* opener, const char* path,
                             bool readOnly);
int VhdFixed_Open(VhdFixedImage* image, const char* path, bool readOnly);
void VhdFixed_GetGeometry(void* object, DiskGeometry* out);
int VhdFixed_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int VhdFixed_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                          bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// Whether the range lies in holes of the image file: a fixed disk has no parent, so those
// sectors read as zeros.
int VhdFixed_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                                bool* out);
// Vhd_CheckGeometry: 0 for 512-byte sectors, at most 2040 GiB and heads and sectors per track
// within 1..255, else -1.
int32_t VhdFixed_CheckGeometry(const DiskGeometry* geometry);
// Writes the source's sectors followed by a fixed-disk footer built from the source geometry
// and the options' creator fields (a CHS-sized creator rounds the disk up to whole cylinders,
// zeros after the source). Free space that the map knows of is not read.
int VhdFixed_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                    ProgressCallback callback, void* user, const VhdCreateOptions* options);
// The VHD geometry rule (Vhd_ComputeGeometry).
bool VhdFixed_ComputeGeometry(uint64_t byteCapacity, DiskGeometry* out);
