// Fixed-header emulator images over the raw image layer.
#include "disk/emulator_images.h"

#include <cstring>

#include "disk/raw_writer.h"
#include "foundation/format.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"

namespace {

// Reads and checks a header and derives the data offset and geometry from it. The stream
// stays owned by the caller.
typedef int (*CheckHeaderFn)(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* geometry);

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

// a x b x c without wrapping 64 bits.
bool Mul3(uint64_t a, uint64_t b, uint64_t c, uint64_t* out)
{
    uint64_t ab = 0;
    return Math_MulU64(a, b, &ab) && Math_MulU64(ab, c, out);
}

// ---- Header checks -------------------------------------------------------------------

int Hdi_CheckHeader(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint8_t h[32];
    int rc = ReadBytes(stream, 0, sizeof(h), h);
    if (rc != DISK_OK) return rc;
    if (Bytes_LoadLe32(h + 8) != 4096) return Refusal_Record("HDI header: header size is not 4096");
    uint64_t size = 0;
    if ((rc = TakeSize(stream, &size)) != DISK_OK) return rc;
    const uint32_t dataSize = Bytes_LoadLe32(h + 12);
    const uint32_t bps = Bytes_LoadLe32(h + 16);
    const uint32_t spt = Bytes_LoadLe32(h + 20);
    const uint32_t heads = Bytes_LoadLe32(h + 24);
    const uint32_t cylinders = Bytes_LoadLe32(h + 28);
    if (!Emulator_IsValidSectorSize(bps))
        return Refusal_Record("HDI header: sector size out of range");
    if (heads == 0 || spt == 0) return Refusal_Record("HDI header: no heads or sectors per track");
    uint64_t total = 0, bytes = 0;
    if (!Mul3(spt, heads, cylinders, &total) || total > 0xFFFFFFFFu)
        return Refusal_Record("HDI header: too many sectors");
    if (!Math_MulU64(total, bps, &bytes) || bytes != dataSize)
        return Refusal_Record("HDI header: data size does not match the geometry");
    if (static_cast<uint64_t>(dataSize) + 4096 != size)
        return Refusal_Record("HDI file: size does not match the data size");
    *dataOffset = 4096;
    SetGeometry(g, total, heads, spt, bps);
    return DISK_OK;
}

int Thd_CheckHeader(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint8_t h[256];
    int rc = ReadBytes(stream, 0, sizeof(h), h);
    if (rc != DISK_OK) return rc;
    uint64_t size = 0;
    if ((rc = TakeSize(stream, &size)) != DISK_OK) return rc;
    const uint64_t cylinders = Bytes_LoadLe32(h);
    if (cylinders * 67584 + 256 != size)  // below 2^49: no wrap
        return Refusal_Record("THD file: size does not match the cylinder count");
    *dataOffset = 256;
    SetGeometry(g, cylinders * 264, 8, 33, 256);
    return DISK_OK;
}

const uint8_t kNhdSignature[16] = {'T', '9', '8', 'H', 'D', 'D', 'I', 'M',
                                   'A', 'G', 'E', '.', 'R', '0', 0,   0};

int Nhd_CheckHeader(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint8_t h[512];
    int rc = ReadBytes(stream, 0, sizeof(h), h);
    if (rc != DISK_OK) return rc;
    if (std::memcmp(h, kNhdSignature, 15) != 0) return Refusal_Record("NHD header: no signature");
    uint64_t size = 0;
    if ((rc = TakeSize(stream, &size)) != DISK_OK) return rc;
    const uint32_t headerSize = Bytes_LoadLe32(h + 272);
    const uint32_t cylinders = Bytes_LoadLe32(h + 276);
    const uint32_t heads = Bytes_LoadLe16(h + 280);
    const uint32_t spt = Bytes_LoadLe16(h + 282);
    const uint32_t bps = Bytes_LoadLe16(h + 284);
    // The data cannot start inside the 512-byte header.
    if (headerSize < 512) return Refusal_Record("NHD header: header size below 512");
    if (!Emulator_IsValidSectorSize(bps))
        return Refusal_Record("NHD header: sector size out of range");
    if (heads == 0 || spt == 0) return Refusal_Record("NHD header: no heads or sectors per track");
    uint64_t total = 0, bytes = 0, end = 0;
    if (!Mul3(cylinders, heads, spt, &total) || total > 0xFFFFFFFFu)
        return Refusal_Record("NHD header: too many sectors");
    if (!Math_MulU64(total, bps, &bytes) || !Math_AddU64(bytes, headerSize, &end) || end != size) {
        return Refusal_Record("NHD file: size does not match the geometry");
    }
    *dataOffset = headerSize;
    SetGeometry(g, total, heads, spt, bps);
    return DISK_OK;
}

const uint8_t kVhd100Signature[8] = {'V', 'H', 'D', '1', '.', '0', '0', 0};

int Vhd100_CheckHeader(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint8_t h[220];
    int rc = ReadBytes(stream, 0, sizeof(h), h);
    if (rc != DISK_OK) return rc;
    if (std::memcmp(h, kVhd100Signature, 8) != 0)
        return Refusal_Record("VHD1.00 header: no signature");
    uint64_t size = 0;
    if ((rc = TakeSize(stream, &size)) != DISK_OK) return rc;
    const uint32_t bps = Bytes_LoadLe16(h + 142);
    const uint32_t spt = h[144];
    const uint32_t heads = h[145];
    const uint32_t cylinders = Bytes_LoadLe16(h + 146);
    if (!Emulator_IsValidSectorSize(bps))
        return Refusal_Record("VHD1.00 header: sector size out of range");
    if (heads == 0 || spt == 0)
        return Refusal_Record("VHD1.00 header: no heads or sectors per track");
    const uint64_t total = static_cast<uint64_t>(spt) * heads * cylinders;  // below 2^32
    if (total * bps + 220 != size)                                          // below 2^44
        return Refusal_Record("VHD1.00 file: size does not match the geometry");
    *dataOffset = 220;
    SetGeometry(g, total, heads, spt, bps);
    return DISK_OK;
}

int Pc98e_CheckFile(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint64_t size = 0;
    int rc = TakeSize(stream, &size);
    if (rc != DISK_OK) return rc;
    if (size != PC98E_FILE_SIZE) return Refusal_Record("PC98E file: not of the fixed size");
    // Nothing marks this format but its size: a raw image of the same size that holds data
    // past the 128000 sectors is not one, and taking it would drop that data.
    const uint64_t tail = static_cast<uint64_t>(PC98E_TOTAL_SECTORS) * 512;
    const uint32_t piece = 0x10000;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(piece));
    if (buffer == nullptr) return DISK_ERR_NOMEM;
    for (uint64_t at = tail; at < size && rc == DISK_OK; at += piece) {
        rc = ReadBytes(stream, at, piece, buffer);
        if (rc == DISK_OK && !Mem_IsZero(buffer, piece))
            rc = Refusal_Record("PC98E file: data past the last sector");
    }
    Mem_Free(buffer);
    if (rc != DISK_OK) return rc;
    *dataOffset = 0;
    SetGeometry(g, PC98E_TOTAL_SECTORS, 8, 20, 512);
    return DISK_OK;
}

int Hdim_CheckHeader(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint8_t h[512];
    int rc = ReadBytes(stream, 0, sizeof(h), h);
    if (rc != DISK_OK) return rc;
    if (std::memcmp(h, "HDIM", 4) != 0) return Refusal_Record("HDIM header: no signature");
    uint64_t size = 0;
    if ((rc = TakeSize(stream, &size)) != DISK_OK) return rc;
    const uint64_t dataSize = Bytes_LoadLe64(h + 4);
    const uint32_t bps = Bytes_LoadLe32(h + 12);
    const uint32_t cylinders = Bytes_LoadLe32(h + 16);
    const uint32_t heads = Bytes_LoadLe32(h + 20);
    const uint32_t spt = Bytes_LoadLe32(h + 24);
    if (!Emulator_IsValidSectorSize(bps))
        return Refusal_Record("HDIM header: sector size out of range");
    if (heads == 0 || spt == 0) return Refusal_Record("HDIM header: no heads or sectors per track");
    uint64_t end = 0, cylinderBytes = 0, chsBytes = 0;
    if (!Math_AddU64(dataSize, 512, &end) || end != size)
        return Refusal_Record("HDIM file: size does not match the data size");
    if (!Mul3(bps, spt, heads, &cylinderBytes) ||
        !Math_MulU64(cylinderBytes, cylinders, &chsBytes)) {
        return Refusal_Record("HDIM header: geometry too large");
    }
    const uint64_t diff = dataSize > chsBytes ? dataSize - chsBytes : chsBytes - dataSize;
    if (diff >= cylinderBytes)
        return Refusal_Record("HDIM header: data size does not match the geometry");
    *dataOffset = 512;
    SetGeometry(g, dataSize / bps, heads, spt, bps);
    return DISK_OK;
}

int Unz_CheckFile(ByteStream* stream, uint64_t* dataOffset, DiskGeometry* g)
{
    uint64_t size = 0;
    int rc = TakeSize(stream, &size);
    if (rc != DISK_OK) return rc;
    if (size % UNZ_UNIT != 0) return Refusal_Record("UNZ file: size is not a whole number of MiB");
    *dataOffset = 0;
    SetGeometry(g, size / 512, 64, 32, 512);
    return DISK_OK;
}

// Opens through the callback, checks the header and attaches the stream to the raw layer.
// Any failure closes the stream and leaves the object cleared.
int OpenWithCheck(RawImage* raw, FileOpenFn open, void* user, const char* path, bool readOnly,
                  CheckHeaderFn check)
{
    RawImage_Init(raw);
    if (open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    const int opened = open(path, readOnly, &stream, user);
    if (opened == 1) return DISK_CANCELLED;
    if (opened != 0 || stream == nullptr) return DISK_ERR_OPEN;
    uint64_t dataOffset = 0;
    DiskGeometry g{0, 0, 0, 0, 0};
    int rc = check(stream, &dataOffset, &g);
    if (rc == DISK_OK) rc = RawImage_Attach(raw, stream, dataOffset, &g);
    if (rc != DISK_OK) {
        Stream_Close(stream);
        RawImage_Init(raw);
    }
    return rc;
}

int OpenWithCheckHandler(RawImage* raw, const FileOpener* opener, const char* path, bool readOnly,
                         CheckHeaderFn check)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return OpenWithCheck(raw, opener->open, opener->user, path, readOnly, check);
}

void CloseRaw(RawImage* raw)
{
    ByteStream* stream = RawImage_Detach(raw);
    if (stream != nullptr) Stream_Close(stream);
    RawImage_Init(raw);
}

// The table entry of a kind whose object is a RawImage.
int OpenRawKindEntry(DiskHandle* handle, const FileOpener* opener, const char* path, bool readOnly,
                     DiskKind kind, CheckHeaderFn check)
{
    // Opening over an open object would lose it.
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    RawImage* raw = RawImage_Alloc();
    if (raw == nullptr) return DISK_ERR_NOMEM;
    RawImage_Init(raw);
    const int rc = OpenWithCheckHandler(raw, opener, path, readOnly, check);
    if (rc != DISK_OK) {
        Mem_Free(raw);
        return rc;
    }
    handle->kind = kind;
    handle->object = raw;
    return DISK_OK;
}

// ---- Creators --------------------------------------------------------------------------

// The source's geometry, or a zero one when the source has none.
int TakeSourceGeometry(const DiskHandle* source, DiskGeometry* g)
{
    *g = DiskGeometry{0, 0, 0, 0, 0};
    if (source == nullptr || source->object == nullptr) return DISK_ERR_ARG;
    Disk_GetGeometry(source, g);
    return DISK_OK;
}

// Heads and sectors per track given and the total a whole number of cylinders: what a header
// that stores cylinders needs so that its image reopens with every sector.
bool IsWholeCylinders(const DiskGeometry* g)
{
    if (g->heads == 0 || g->sectors_per_track == 0) return false;
    const uint64_t c = static_cast<uint64_t>(g->heads) * g->sectors_per_track;
    return Geometry_GetTotalSectors(g) % c == 0;
}

uint32_t CylindersOf(const DiskGeometry* g)
{
    const uint64_t c = static_cast<uint64_t>(g->heads) * g->sectors_per_track;
    return c == 0 ? 0 : static_cast<uint32_t>(Geometry_GetTotalSectors(g) / c);
}

int WriteImage(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               const DiskGeometry* g, const void* header, uint32_t headerLength,
               uint64_t dataOffset, uint64_t gap)
{
    return RawWriter_Write(path, source, callback, user, Geometry_GetTotalSectors(g),
                           g->bytes_per_sector, header, headerLength, dataOffset, gap, nullptr, 0,
                           EMULATOR_COPY_CHUNK);
}

}  // namespace

bool Emulator_IsValidSectorSize(uint32_t bps)
{
    return bps >= 128 && bps <= 4096 && (bps & (bps - 1)) == 0;
}

int Emulator_IsRangeKnownZero(DiskKind kind, void* object, uint64_t first, uint32_t count,
                              bool* zero)
{
    if (object == nullptr || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (kind >= DISK_KIND_HDI && kind <= DISK_KIND_UNZ)
        return RawImage_IsRangeKnownZero(static_cast<RawImage*>(object), first, count, zero);
    return DISK_OK;
}

// ---- HDI ----------------------------------------------------------------------------------

RawImage* Hdi_Alloc() { return RawImage_Alloc(); }
void Hdi_Init(RawImage* image) { RawImage_Init(image); }
void Hdi_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Hdi_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Hdi_CheckHeader);
}
int Hdi_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Hdi_CheckHeader);
}
int Hdi_Open(RawImage* image, const char* path, bool readOnly)
{
    return Hdi_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Hdi_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Hdi_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Hdi_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Hdi_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    if (!Emulator_IsValidSectorSize(geometry->bytes_per_sector)) return -1;
    // The data size is a 32-bit field.
    const uint64_t bytes = Geometry_GetTotalSectors(geometry) * geometry->bytes_per_sector;
    return bytes <= 0xFFFFFFFFu ? 0 : -1;
}

int Hdi_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp)
{
    (void)roundUp;  // applies to a check result that no check gives
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    if (Hdi_CheckGeometry(&g) != 0 || !IsWholeCylinders(&g)) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    uint8_t h[32];
    std::memset(h, 0, sizeof(h));
    Bytes_StoreLe32(h + 8, 4096);
    Bytes_StoreLe32(h + 12, static_cast<uint32_t>(total * g.bytes_per_sector));
    Bytes_StoreLe32(h + 16, g.bytes_per_sector);
    Bytes_StoreLe32(h + 20, g.sectors_per_track);
    Bytes_StoreLe32(h + 24, g.heads);
    Bytes_StoreLe32(h + 28, CylindersOf(&g));
    return WriteImage(path, source, callback, user, &g, h, sizeof(h), 4096, 0);
}

// ---- THD ----------------------------------------------------------------------------------

RawImage* Thd_Alloc() { return RawImage_Alloc(); }
void Thd_Init(RawImage* image) { RawImage_Init(image); }
void Thd_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Thd_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Thd_CheckHeader);
}
int Thd_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Thd_CheckHeader);
}
int Thd_Open(RawImage* image, const char* path, bool readOnly)
{
    return Thd_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Thd_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Thd_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Thd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Thd_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    return geometry->bytes_per_sector == 256 ? 0 : -1;
}

int Thd_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp)
{
    (void)roundUp;
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    // The header stores only cylinders of the fixed 8 x 33 geometry.
    if (Thd_CheckGeometry(&g) != 0 || g.heads != 8 || g.sectors_per_track != 33 ||
        !IsWholeCylinders(&g)) {
        return DISK_ERR_ARG;
    }
    uint8_t h[256];
    std::memset(h, 0, sizeof(h));
    Bytes_StoreLe32(h, CylindersOf(&g));
    return WriteImage(path, source, callback, user, &g, h, sizeof(h), 256, 0);
}

// ---- NHD ----------------------------------------------------------------------------------

RawImage* Nhd_Alloc() { return RawImage_Alloc(); }
void Nhd_Init(RawImage* image) { RawImage_Init(image); }
void Nhd_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Nhd_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Nhd_CheckHeader);
}
int Nhd_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Nhd_CheckHeader);
}
int Nhd_Open(RawImage* image, const char* path, bool readOnly)
{
    return Nhd_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Nhd_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Nhd_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Nhd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Nhd_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    if (!Emulator_IsValidSectorSize(geometry->bytes_per_sector)) return -1;
    // Heads and sectors per track are 16-bit fields.
    return geometry->heads <= 0xFFFF && geometry->sectors_per_track <= 0xFFFF ? 0 : -1;
}

int Nhd_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp)
{
    (void)roundUp;
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    if (Nhd_CheckGeometry(&g) != 0 || !IsWholeCylinders(&g)) return DISK_ERR_ARG;
    uint8_t h[512];
    std::memset(h, 0, sizeof(h));
    std::memcpy(h, kNhdSignature, sizeof(kNhdSignature));
    Bytes_StoreLe32(h + 272, 512);
    Bytes_StoreLe32(h + 276, CylindersOf(&g));
    Bytes_StoreLe16(h + 280, static_cast<uint16_t>(g.heads));
    Bytes_StoreLe16(h + 282, static_cast<uint16_t>(g.sectors_per_track));
    Bytes_StoreLe16(h + 284, static_cast<uint16_t>(g.bytes_per_sector));
    return WriteImage(path, source, callback, user, &g, h, sizeof(h), 512, 0);
}

// ---- "VHD1.00" ------------------------------------------------------------------------------

RawImage* Vhd100_Alloc() { return RawImage_Alloc(); }
void Vhd100_Init(RawImage* image) { RawImage_Init(image); }
void Vhd100_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Vhd100_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                            bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Vhd100_CheckHeader);
}
int Vhd100_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path,
                           bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Vhd100_CheckHeader);
}
int Vhd100_Open(RawImage* image, const char* path, bool readOnly)
{
    return Vhd100_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Vhd100_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Vhd100_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Vhd100_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                        bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Vhd100_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    if (!Emulator_IsValidSectorSize(geometry->bytes_per_sector)) return -1;
    // Heads and sectors per track are 8-bit fields, cylinders a 16-bit one.
    if (geometry->heads > 255 || geometry->sectors_per_track > 255) return -1;
    if (geometry->heads != 0 && geometry->sectors_per_track != 0 && CylindersOf(geometry) > 65535) {
        return -1;
    }
    return 0;
}

int Vhd100_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
                  bool roundUp)
{
    (void)roundUp;
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    if (Vhd100_CheckGeometry(&g) != 0 || !IsWholeCylinders(&g)) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    uint8_t h[220];
    std::memset(h, 0, sizeof(h));
    std::memcpy(h, kVhd100Signature, sizeof(kVhd100Signature));
    Bytes_StoreLe16(h + 140, static_cast<uint16_t>(total * g.bytes_per_sector / 1048576));
    Bytes_StoreLe16(h + 142, static_cast<uint16_t>(g.bytes_per_sector));
    h[144] = static_cast<uint8_t>(g.sectors_per_track);
    h[145] = static_cast<uint8_t>(g.heads);
    Bytes_StoreLe16(h + 146, static_cast<uint16_t>(CylindersOf(&g)));
    Bytes_StoreLe32(h + 148, static_cast<uint32_t>(total));
    return WriteImage(path, source, callback, user, &g, h, sizeof(h), 220, 0);
}

// ---- PC98E --------------------------------------------------------------------------------

RawImage* Pc98e_Alloc() { return RawImage_Alloc(); }
void Pc98e_Init(RawImage* image) { RawImage_Init(image); }
void Pc98e_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Pc98e_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                           bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Pc98e_CheckFile);
}
int Pc98e_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path,
                          bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Pc98e_CheckFile);
}
int Pc98e_Open(RawImage* image, const char* path, bool readOnly)
{
    return Pc98e_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Pc98e_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Pc98e_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Pc98e_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                       bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Pc98e_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    if (geometry->bytes_per_sector != 512) return -1;
    // The image holds exactly 128000 sectors: a larger source would be cut.
    return Geometry_GetTotalSectors(geometry) <= PC98E_TOTAL_SECTORS ? 0 : -1;
}

int Pc98e_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user)
{
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    if (Pc98e_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    // Zeros from the end of the source's data to the end of the file.
    const uint64_t gap = PC98E_FILE_SIZE - Geometry_GetTotalSectors(&g) * 512;
    return WriteImage(path, source, callback, user, &g, nullptr, 0, 0, gap);
}

// ---- HDIM ---------------------------------------------------------------------------------

RawImage* Hdim_Alloc() { return RawImage_Alloc(); }
void Hdim_Init(RawImage* image) { RawImage_Init(image); }
void Hdim_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Hdim_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Hdim_CheckHeader);
}
int Hdim_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Hdim_CheckHeader);
}
int Hdim_Open(RawImage* image, const char* path, bool readOnly)
{
    return Hdim_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Hdim_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Hdim_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Hdim_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Hdim_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    return Emulator_IsValidSectorSize(geometry->bytes_per_sector) ? 0 : -1;
}

int Hdim_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user)
{
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    // The total comes back from the data size; the header still needs heads and sectors.
    if (Hdim_CheckGeometry(&g) != 0 || g.heads == 0 || g.sectors_per_track == 0) {
        return DISK_ERR_ARG;
    }
    const uint64_t total = Geometry_GetTotalSectors(&g);
    uint8_t h[512];
    std::memset(h, 0, sizeof(h));
    std::memcpy(h, "HDIM", 4);
    Bytes_StoreLe64(h + 4, total * g.bytes_per_sector);
    Bytes_StoreLe32(h + 12, g.bytes_per_sector);
    Bytes_StoreLe32(h + 16, CylindersOf(&g));
    Bytes_StoreLe32(h + 20, g.heads);
    Bytes_StoreLe32(h + 24, g.sectors_per_track);
    uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    Time_GetLocalParts(&year, &month, nullptr, &day, &hour, &minute, &second, &millisecond);
    char stamp[20];
    if (Text_FormatCrt(stamp, sizeof(stamp), "%04u%02u%02u-%02u%02u%02u-%03u", unsigned(year),
                       unsigned(month), unsigned(day), unsigned(hour), unsigned(minute),
                       unsigned(second), unsigned(millisecond)) > 0) {
        std::memcpy(h + 28, stamp, sizeof(stamp));
    }
    return WriteImage(path, source, callback, user, &g, h, sizeof(h), 512, 0);
}

// ---- Whole-MiB headerless image --------------------------------------------------------------

RawImage* Unz_Alloc() { return RawImage_Alloc(); }
void Unz_Init(RawImage* image) { RawImage_Init(image); }
void Unz_Close(void* object) { CloseRaw(static_cast<RawImage*>(object)); }

int Unz_OpenWithCallback(RawImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly)
{
    return OpenWithCheck(image, open, user, path, readOnly, Unz_CheckFile);
}
int Unz_OpenWithHandler(RawImage* image, const FileOpener* opener, const char* path, bool readOnly)
{
    return OpenWithCheckHandler(image, opener, path, readOnly, Unz_CheckFile);
}
int Unz_Open(RawImage* image, const char* path, bool readOnly)
{
    return Unz_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}
void Unz_GetGeometry(void* object, DiskGeometry* out)
{
    RawImage_GetGeometry(static_cast<RawImage*>(object), out);
}
int Unz_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    return RawImage_Read(static_cast<RawImage*>(object), offset, length, buffer);
}
int Unz_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    return RawImage_IsRangeEmpty(static_cast<RawImage*>(object), map, first, count, empty, adapter,
                                 record);
}

int32_t Unz_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry)) return -1;
    return geometry->bytes_per_sector == 512 ? 0 : -1;
}

int Unz_Create(const char* path, const DiskHandle* source, ProgressCallback callback, void* user,
               bool roundUp)
{
    (void)roundUp;
    DiskGeometry g;
    int rc = TakeSourceGeometry(source, &g);
    if (rc != DISK_OK) return rc;
    // The file size is the only header: it must be whole MiB to be read back.
    if (Unz_CheckGeometry(&g) != 0 || Geometry_GetTotalSectors(&g) % (UNZ_UNIT / 512) != 0) {
        return DISK_ERR_ARG;
    }
    return WriteImage(path, source, callback, user, &g, nullptr, 0, 0, 0);
}

// ---- Table entries ------------------------------------------------------------------------------

int Disk_OpenHdiWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_HDI, Hdi_CheckHeader);
}
int Disk_OpenHdi(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenHdiWithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenThdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_THD, Thd_CheckHeader);
}
int Disk_OpenThd(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenThdWithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenNhdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_NHD, Nhd_CheckHeader);
}
int Disk_OpenNhd(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenNhdWithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenVhd100WithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                               bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_VHD100, Vhd100_CheckHeader);
}
int Disk_OpenVhd100(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVhd100WithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenPc98eWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                              bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_PC98E, Pc98e_CheckFile);
}
int Disk_OpenPc98e(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenPc98eWithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenHdimWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_HDIM, Hdim_CheckHeader);
}
int Disk_OpenHdim(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenHdimWithHandler(handle, &FileOpener_Default, path, readOnly);
}
int Disk_OpenUnzWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly)
{
    return OpenRawKindEntry(handle, opener, path, readOnly, DISK_KIND_UNZ, Unz_CheckFile);
}
int Disk_OpenUnz(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenUnzWithHandler(handle, &FileOpener_Default, path, readOnly);
}
