// Fixed-header emulator images: the PC-98 images HDI (16), THD (17), NHD (18), "VHD1.00" (19),
// the headerless 0x4200000-byte image (20), HDIM (21) and the headerless whole-MiB image (22).
// The fixed VHD (kind 7) lies on the same raw layer: formats/vhd/vhd_fixed.h.
//
// Each is a thin layer over the raw image layer: the open reads and checks the header, derives
// the geometry and attaches the stream at the header's data offset; geometry, read and
// empty-range are the raw layer's. Each format also has a geometry check and a creator that
// writes a new image from a source disk.
//
// Object functions of the operation tables (Close, GetGeometry, Read, IsRangeEmpty) take the
// object as void*, the shape of the table slots: the object of kinds 16..22 is a RawImage.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "disk/raw_image.h"
#include "foundation/stream.h"

struct UsedSectorMap;

// ---- Table entries (kinds 16..22) ---------------------------------------------------
// Allocate and initialise the kind's object, open it, and on success store kind and object in
// the handle. On failure the object is freed and the handle is left as it was.
int Disk_OpenHdi(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenHdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly);
int Disk_OpenThd(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenThdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly);
int Disk_OpenNhd(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenNhdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly);
int Disk_OpenVhd100(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenVhd100WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                               bool readOnly);
int Disk_OpenPc98e(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenPc98eWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly);
int Disk_OpenHdim(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenHdimWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly);
int Disk_OpenUnz(DiskHandle* handle, const char* path, bool readOnly);
int Disk_OpenUnzWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly);

// ---- Common rules -----------------------------------------------------------------
// Data size of a PC98E image and its fixed geometry.
enum : uint32_t {
    PC98E_FILE_SIZE = 0x4200000,
    PC98E_TOTAL_SECTORS = 128000,
    UNZ_UNIT = 1048576,
    EMULATOR_COPY_CHUNK = 0x200000
};

// Sector sizes an emulator header may state: a power of two from 128 to 4096.
bool Emulator_IsValidSectorSize(uint32_t bytesPerSector);

// Known-zero query of the kinds whose object is a raw base (16..22): the sectors lie
// in a hole of the image file after its data offset (RawImage_IsRangeKnownZero). *zero = false
// for any other kind.
int Emulator_IsRangeKnownZero(DiskKind kind, void* object, uint64_t first, uint32_t count,
                              bool* zero);

// ---- HDI (kind 16): 32-byte header, data at 4096 --------------------------------------
RawImage* Hdi_Alloc();
void Hdi_Init(RawImage* image);
void Hdi_Close(void* object);
int Hdi_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly);
int Hdi_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly);
int Hdi_Open(RawImage* image, const char* path, bool readOnly);
void Hdi_GetGeometry(void* object, DiskGeometry* out);
int Hdi_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Hdi_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
// Total below 2^32, a valid sector size, and a data size that fits the 32-bit field.
int32_t Hdi_CheckGeometry(const DiskGeometry* geometry);
int Hdi_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp);

// ---- THD (kind 17): 256-byte header, fixed 8 heads, 33 sectors, 256-byte sectors -------
RawImage* Thd_Alloc();
void Thd_Init(RawImage* image);
void Thd_Close(void* object);
int Thd_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly);
int Thd_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly);
int Thd_Open(RawImage* image, const char* path, bool readOnly);
void Thd_GetGeometry(void* object, DiskGeometry* out);
int Thd_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Thd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
int32_t Thd_CheckGeometry(const DiskGeometry* geometry);
int Thd_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp);

// ---- NHD (kind 18): 512-byte header "T98HDDIMAGE.R0" -----------------------------------
RawImage* Nhd_Alloc();
void Nhd_Init(RawImage* image);
void Nhd_Close(void* object);
int Nhd_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly);
int Nhd_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly);
int Nhd_Open(RawImage* image, const char* path, bool readOnly);
void Nhd_GetGeometry(void* object, DiskGeometry* out);
int Nhd_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Nhd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
int32_t Nhd_CheckGeometry(const DiskGeometry* geometry);
int Nhd_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp);

// ---- "VHD1.00" (kind 19): 220-byte header ------------------------------------------------
RawImage* Vhd100_Alloc();
void Vhd100_Init(RawImage* image);
void Vhd100_Close(void* object);
int Vhd100_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                            bool readOnly);
int Vhd100_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path,
                           bool readOnly);
int Vhd100_Open(RawImage* image, const char* path, bool readOnly);
void Vhd100_GetGeometry(void* object, DiskGeometry* out);
int Vhd100_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Vhd100_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                        bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
int32_t Vhd100_CheckGeometry(const DiskGeometry* geometry);
int Vhd100_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
                  bool roundUp);

// ---- PC98E (kind 20): headerless, exactly 0x4200000 bytes ------------------------------
RawImage* Pc98e_Alloc();
void Pc98e_Init(RawImage* image);
void Pc98e_Close(void* object);
int Pc98e_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                           bool readOnly);
int Pc98e_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path,
                          bool readOnly);
int Pc98e_Open(RawImage* image, const char* path, bool readOnly);
void Pc98e_GetGeometry(void* object, DiskGeometry* out);
int Pc98e_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Pc98e_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);
// 512-byte sectors and at most 128000 of them (the image holds exactly that many).
int32_t Pc98e_CheckGeometry(const DiskGeometry* geometry);
int Pc98e_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user);

// ---- HDIM (kind 21): 512-byte header "HDIM" ---------------------------------------------
RawImage* Hdim_Alloc();
void Hdim_Init(RawImage* image);
void Hdim_Close(void* object);
int Hdim_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly);
int Hdim_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path,
                         bool readOnly);
int Hdim_Open(RawImage* image, const char* path, bool readOnly);
void Hdim_GetGeometry(void* object, DiskGeometry* out);
int Hdim_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Hdim_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);
int32_t Hdim_CheckGeometry(const DiskGeometry* geometry);
int Hdim_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user);

// ---- Whole-MiB headerless image (kind 22): 64 heads, 32 sectors, 512-byte sectors -------
RawImage* Unz_Alloc();
void Unz_Init(RawImage* image);
void Unz_Close(void* object);
int Unz_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly);
int Unz_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly);
int Unz_Open(RawImage* image, const char* path, bool readOnly);
void Unz_GetGeometry(void* object, DiskGeometry* out);
int Unz_Read(void* object, uint64_t offset, uint32_t length, void* buffer);
int Unz_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record);
int32_t Unz_CheckGeometry(const DiskGeometry* geometry);
int Unz_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp);
