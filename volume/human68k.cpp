#include "volume/human68k.h"

#include <cstring>

#include "foundation/platform.h"

namespace {

struct IplSignature {
    const char* text;
    uint32_t length;
    int32_t variant;
};

// Compared byte for byte at byte 2, in this order; the first match wins.
const IplSignature kSignatures[] = {
    {"Hudson soft ", 12, 0},     {"SHARP/KG    ", 12, 0},     {" Hero Soft ", 11, 0},
    {"9SCFMT IPL v1.00", 16, 1}, {"9SCFMT IPL v1.02", 16, 2}, {"2HDE ", 5, 3},
};

}  // namespace

int X68k_IsHuman68kBootSector(const DiskHandle* disk, uint64_t offset, bool* isHuman68k,
                              int32_t* variant)
{
    uint8_t raw[HUMAN68K_BOOT_SECTOR_SIZE];
    int result = Disk_Read(disk, offset, sizeof raw, raw);
    if (result != DISK_OK) {
        return result;
    }
    for (const IplSignature& s : kSignatures) {
        if (std::memcmp(raw + 2, s.text, s.length) == 0) {
            *isHuman68k = true;
            *variant = s.variant;
            return DISK_OK;
        }
    }
    *isHuman68k = false;
    return DISK_OK;
}

int X68k_ReadHuman68kBpb(const DiskHandle* disk, uint64_t offset, Human68kBootSector* out)
{
    uint8_t raw[HUMAN68K_BOOT_SECTOR_SIZE];
    int result = Disk_Read(disk, offset, sizeof raw, raw);
    if (result != DISK_OK) {
        return result;
    }
    std::memcpy(out->raw, raw, sizeof raw);
    out->bytesPerSector = Bytes_LoadBe16(raw + 18);
    out->sectorsPerCluster = raw[20];
    out->fatCount = raw[21];
    out->reservedSectors = Bytes_LoadBe16(raw + 22);
    out->rootEntries = Bytes_LoadBe16(raw + 24);
    out->totalSectors16 = Bytes_LoadBe16(raw + 26);
    out->media = raw[28];
    out->sectorsPerFat = raw[29];
    out->totalSectors32 = Bytes_LoadBe32(raw + 30);
    return DISK_OK;
}
