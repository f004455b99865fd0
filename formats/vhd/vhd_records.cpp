// VHD records, checksum and the disk geometry rule.
#include "formats/vhd/vhd_records.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/random_id.h"

namespace {

// Swaps a field in place: on this little-endian host a big-endian load of the stored bytes is
// the byte swap, and the same swap serves both directions.
void Swap16(uint16_t* field) { *field = Bytes_LoadBe16(field); }
void Swap32(uint32_t* field) { *field = Bytes_LoadBe32(field); }
void Swap64(uint64_t* field) { *field = Bytes_LoadBe64(field); }

void SwapFooter(const VhdFooter* src, VhdFooter* dst)
{
    if (src != dst) std::memcpy(dst, src, sizeof(VhdFooter));
    Swap32(&dst->features);
    Swap32(&dst->fileFormatVersion);
    Swap64(&dst->dataOffset);
    Swap32(&dst->timestamp);
    Swap32(&dst->creatorApplication);
    Swap32(&dst->creatorVersion);
    Swap32(&dst->creatorHostOs);
    Swap64(&dst->originalSize);
    Swap64(&dst->currentSize);
    Swap16(&dst->cylinders);
    Swap32(&dst->diskType);
    Swap32(&dst->checksum);
}

}  // namespace

void Vhd_FooterToHost(const VhdFooter* src, VhdFooter* dst) { SwapFooter(src, dst); }

void Vhd_FooterToDisk(const VhdFooter* src, VhdFooter* dst) { SwapFooter(src, dst); }

void Vhd_ConvertParentLocator(const VhdParentLocator* src, VhdParentLocator* dst)
{
    if (src != dst) std::memcpy(dst, src, sizeof(VhdParentLocator));
    Swap32(&dst->platformCode);
    Swap32(&dst->platformDataSpace);
    Swap32(&dst->platformDataLength);
    Swap32(&dst->reserved);
    Swap64(&dst->platformDataOffset);
}

void Vhd_ConvertDynamicHeader(const VhdDynamicHeader* src, VhdDynamicHeader* dst)
{
    if (src != dst) std::memcpy(dst, src, sizeof(VhdDynamicHeader));
    Swap64(&dst->dataOffset);
    Swap64(&dst->tableOffset);
    Swap32(&dst->headerVersion);
    Swap32(&dst->maxTableEntries);
    Swap32(&dst->blockSize);
    Swap32(&dst->checksum);
    Swap32(&dst->parentTimestamp);
    Swap32(&dst->reserved1);
    for (uint32_t i = 0; i < VHD_LOCATOR_COUNT; i++) {
        Vhd_ConvertParentLocator(&dst->locators[i], &dst->locators[i]);
    }
}

uint32_t Vhd_ByteSum(const void* bytes, uint32_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; i++) sum += p[i];
    return sum;
}

uint32_t Vhd_ComputeChecksum(const void* bytes, uint32_t length, uint32_t checksumOffset)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t sum = Vhd_ByteSum(bytes, length);
    for (uint32_t i = checksumOffset; i < checksumOffset + 4 && i < length; i++) sum -= p[i];
    return ~sum;
}

int32_t Vhd_CheckCapacity(const DiskGeometry* geometry)
{
    if (geometry == nullptr || geometry->bytes_per_sector != 512) return -1;
    return Geometry_GetTotalSectors(geometry) <= VHD_MAX_SECTORS ? 0 : -1;
}

int32_t Vhd_CheckGeometry(const DiskGeometry* geometry)
{
    if (Vhd_CheckCapacity(geometry) != 0) return -1;
    const uint32_t heads = geometry->heads;
    const uint32_t spt = geometry->sectors_per_track;
    return heads >= 1 && heads <= 255 && spt >= 1 && spt <= 255 ? 0 : -1;
}

int Vhd_SetFooterGeometry(VhdFooter* footer, const DiskGeometry* geometry)
{
    if (footer == nullptr || Vhd_CheckGeometry(geometry) != 0) return DISK_ERR_ARG;
    uint32_t heads = geometry->heads;
    uint32_t spt = geometry->sectors_per_track;
    const uint64_t total = Geometry_GetTotalSectors(geometry);  // at most VHD_MAX_SECTORS
    const uint64_t perCylinder = static_cast<uint64_t>(heads) * spt;
    const bool byCurrentSize = Vhd_CreatorUsesCurrentSize(footer->creatorApplication);
    // Readers of a CHS-sized creator see whole cylinders only: the disk is rounded up to them.
    uint64_t cylinders = byCurrentSize ? total / perCylinder : Math_DivCeilU64(total, perCylinder);
    if (cylinders > 65535 || (!byCurrentSize && cylinders * perCylinder > VHD_MAX_CHS_SECTORS)) {
        // More than the CHS fields can describe: state the largest CHS, which tells every
        // reader to take the disk size from the current size.
        cylinders = 65535;
        heads = 16;
        spt = 255;
    }
    VhdFooter sized = *footer;
    sized.cylinders = static_cast<uint16_t>(cylinders);
    sized.heads = static_cast<uint8_t>(heads);
    sized.sectorsPerTrack = static_cast<uint8_t>(spt);
    const bool maximalChs = cylinders == 65535 && heads == 16 && spt == 255;
    uint64_t stated = total * 512;
    if (!byCurrentSize && !maximalChs) {
        // Sized by CHS: the cylinders' bytes, padded to 128 KiB unless the padding would make
        // readers switch to the current size.
        const uint64_t chsBytes = cylinders * perCylinder * 512;
        stated = Math_DivCeilU64(chsBytes, 131072) * 131072;
        if (stated > VHD_CURRENT_SIZE_RULE_BYTES) stated = chsBytes;
    }
    sized.originalSize = stated;
    sized.currentSize = stated;
    if (Vhd_FooterDiskSectors(&sized) < total) return DISK_ERR_ARG;  // never cut the disk
    *footer = sized;
    return DISK_OK;
}

uint64_t Vhd_FooterDiskSectors(const VhdFooter* footer)
{
    if (Vhd_FooterUsesCurrentSize(footer)) return footer->currentSize / 512;
    return static_cast<uint64_t>(footer->cylinders) * footer->heads * footer->sectorsPerTrack;
}

int Vhd_InitFooter(VhdFooter* footer, const DiskGeometry* geometry, const VhdCreateOptions* options,
                   uint32_t diskType)
{
    if (footer == nullptr) return DISK_ERR_ARG;
    std::memset(footer, 0, sizeof(VhdFooter));
    if (options == nullptr) return DISK_ERR_ARG;
    // The creator decides how readers size the disk, which the geometry rule checks.
    footer->creatorApplication = options->creatorApplication;
    int rc = Vhd_SetFooterGeometry(footer, geometry);
    if (rc != DISK_OK) {
        std::memset(footer, 0, sizeof(VhdFooter));
        return rc;
    }
    std::memcpy(footer->cookie, "conectix", 8);
    footer->features = 2;
    footer->fileFormatVersion = VHD_VERSION;
    footer->dataOffset = diskType == VHD_DISK_TYPE_FIXED ? UINT64_MAX : 512;
    footer->timestamp = static_cast<uint32_t>(Time_NowSince2000());
    footer->creatorVersion = options->creatorVersion;
    footer->creatorHostOs = VHD_CODE_WI2K;
    footer->diskType = diskType;
    if (!Uuid_Generate(footer->uniqueId)) {
        // A zero id would make children of different disks point at one another.
        std::memset(footer, 0, sizeof(VhdFooter));
        return DISK_ERR_CREATE;
    }
    footer->savedState = 0;
    footer->checksum = Vhd_ComputeChecksum(footer, sizeof(VhdFooter), VHD_FOOTER_CHECKSUM_OFFSET);
    return DISK_OK;
}

int Vhd_InitDynamicHeader(VhdDynamicHeader* header, uint32_t sectorCount,
                          const VhdCreateOptions* options)
{
    if (header == nullptr) return DISK_ERR_ARG;
    std::memset(header, 0, sizeof(VhdDynamicHeader));
    if (options == nullptr) return DISK_ERR_ARG;
    const uint32_t blockSectors = options->blockSectors;
    uint32_t blockBytes = 0;
    if (blockSectors == 0 || (blockSectors & (blockSectors - 1)) != 0 ||
        !Math_MulU32(blockSectors, 512, &blockBytes)) {
        return DISK_ERR_ARG;
    }
    std::memcpy(header->cookie, "cxsparse", 8);
    header->dataOffset = UINT64_MAX;
    header->tableOffset = 1536;
    header->headerVersion = VHD_VERSION;
    header->maxTableEntries = static_cast<uint32_t>(Math_DivCeilU64(sectorCount, blockSectors));
    header->blockSize = blockBytes;
    header->checksum =
        Vhd_ComputeChecksum(header, sizeof(VhdDynamicHeader), VHD_HEADER_CHECKSUM_OFFSET);
    return DISK_OK;
}

VhdCreateOptions* Vhd_AllocCreateOptions()
{
    return static_cast<VhdCreateOptions*>(Mem_Alloc(sizeof(VhdCreateOptions)));
}

bool Vhd_ComputeGeometry(uint64_t byteSize, DiskGeometry* out)
{
    const uint64_t total = byteSize / 512 + (byteSize % 512 != 0 ? 1 : 0);
    Geometry_SetTotalSectors(out, total);
    out->bytes_per_sector = 512;
    if (total > 66059279) {
        out->sectors_per_track = 255;
        out->heads = 16;
        return true;
    }
    const uint32_t t = static_cast<uint32_t>(total);
    uint32_t cth = t / 17;
    uint32_t heads = (cth + 1023) / 1024;
    if (heads < 4) heads = 4;
    if (cth < heads * 1024 && heads <= 16) {
        out->sectors_per_track = 17;
        out->heads = heads;
        return true;
    }
    cth = t / 31;
    out->heads = 16;
    out->sectors_per_track = cth < 16384 ? 31 : 63;
    return true;
}

bool Vhd_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out)
{
    return Vhd_ComputeGeometry(byteSize, out);
}

uint32_t Geometry_GetCylinderSectors(const DiskGeometry* geometry)
{
    if (Geometry_GetTotalSectors(geometry) > 267382799) return 256;
    uint32_t c = 0;
    if (!Math_MulU32(geometry->heads, geometry->sectors_per_track, &c)) return 0;
    return c;
}

bool Geometry_IsCylinderAligned(const DiskGeometry* geometry)
{
    const uint32_t c = Geometry_GetCylinderSectors(geometry);
    if (c == 0) return true;
    return Geometry_GetTotalSectors(geometry) % c == 0;
}

uint64_t Geometry_RoundToCylinders(const DiskGeometry* geometry, int32_t direction)
{
    const uint64_t t = Geometry_GetTotalSectors(geometry);
    const uint32_t c = Geometry_GetCylinderSectors(geometry);
    if (direction == 0 || c == 0 || t == 0) return t;
    const uint64_t down = t / c * c;
    if (direction < 0) return down == 0 ? c : down;
    if (down == t) return t;
    uint64_t up = 0;
    if (!Math_AddU64(down, c, &up)) return down;
    return up;
}

bool Vhd_CreatorUsesCurrentSize(uint32_t creatorApplication)
{
    switch (creatorApplication) {
    case VHD_CODE_WIN:
    case VHD_CODE_QEM2:
    case VHD_CODE_D2V:
    case VHD_CODE_CTXS:
    case VHD_CODE_TAP:
        return true;
    default:
        return false;
    }
}

bool Vhd_FooterUsesCurrentSize(const VhdFooter* footer)
{
    if (Vhd_CreatorUsesCurrentSize(footer->creatorApplication)) return true;
    if (footer->currentSize > VHD_CURRENT_SIZE_RULE_BYTES) return true;
    return footer->cylinders == 65535 && footer->heads == 16 && footer->sectorsPerTrack == 255;
}
