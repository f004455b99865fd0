#include "volume/exfat_fs.h"

#include <algorithm>
#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/range.h"

namespace {

const uint8_t kName[8] = {'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
// Bytes of the FAT read at a time.
const uint32_t kReadPiece = 1u << 20;

int ReadPieces(const DiskHandle* disk, uint64_t offset, uint64_t length, uint8_t* out)
{
    while (length > 0) {
        uint32_t piece = length < kReadPiece ? static_cast<uint32_t>(length) : kReadPiece;
        int rc = Disk_Read(disk, offset, piece, out);
        if (rc != DISK_OK) {
            return rc;
        }
        offset += piece;
        out += piece;
        length -= piece;
    }
    return DISK_OK;
}

// Byte offset of cluster c (2 .. count + 1) from the partition start.
uint64_t ClusterOffset(const ExfatVolume* v, uint32_t c)
{
    return static_cast<uint64_t>(v->heapOffset) * v->bytesPerSector +
           static_cast<uint64_t>(c - 2) * v->clusterBytes;
}

bool IsCluster(const ExfatVolume* v, uint32_t c) { return c >= 2 && c - 2 < v->clusterCount; }

}  // namespace

ExfatVolume* Exfat_Alloc() { return static_cast<ExfatVolume*>(Mem_Alloc(sizeof(ExfatVolume))); }

void Exfat_Init(ExfatVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void Exfat_Init0(ExfatVolume* volume)
{
    volume->firstSector = 0;
    volume->diskSectorBytes = 0;
    volume->bytesPerSector = 0;
    volume->clusterBytes = 0;
    volume->heapOffset = 0;
    volume->fat = nullptr;
}

void Exfat_DestroyFat(ExfatVolume* volume)
{
    Mem_Free(volume->fat);
    volume->fat = nullptr;
}

void Exfat_Destroy(void* object)
{
    ExfatVolume* volume = static_cast<ExfatVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    Exfat_DestroyFat(volume);
    Mem_Free(volume->bitmap);
    Exfat_Init(volume);
}

int Exfat_ReadBootAndFat(ExfatVolume* volume, const DiskHandle* disk, uint64_t first,
                         uint64_t count, uint8_t* boot)
{
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(disk, &g);
    const uint32_t diskSector = g.bytes_per_sector;
    if (diskSector == 0) {
        return DISK_ERR_ARG;
    }
    uint64_t base;
    uint64_t partBytes;
    uint64_t partEnd;
    if (!Math_MulU64(first, diskSector, &base) || !Math_MulU64(count, diskSector, &partBytes) ||
        !Math_AddU64(base, partBytes, &partEnd)) {
        return DISK_ERR_ARG;
    }
    if (partBytes < 512) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: the partition is too small to hold it");
    }
    int rc = Disk_Read(disk, base, 512, boot);
    if (rc != DISK_OK) {
        return rc;
    }
    if (std::memcmp(boot + 3, kName, sizeof kName) != 0 || !Mem_IsZero(boot + 11, 53) ||
        Bytes_LoadLe16(boot + 510) != 0xAA55) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "exFAT boot sector: no signature");
    }
    const uint32_t fatOffset = Bytes_LoadLe32(boot + 80);
    const uint32_t fatLength = Bytes_LoadLe32(boot + 84);
    const uint32_t heapOffset = Bytes_LoadLe32(boot + 88);
    const uint32_t clusterCount = Bytes_LoadLe32(boot + 92);
    const uint32_t rootCluster = Bytes_LoadLe32(boot + 96);
    const uint32_t sectorShift = boot[108];
    const uint32_t clusterShift = boot[109];
    const uint32_t fatCount = boot[110];
    // One FAT only: with two, the active copy and its bitmap are chosen by the volume flags.
    if (sectorShift < EXFAT_MIN_SECTOR_SHIFT || sectorShift > EXFAT_MAX_SECTOR_SHIFT) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "exFAT boot sector: sector size out of range");
    }
    if (clusterShift > EXFAT_MAX_CLUSTER_SHIFT - sectorShift) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: cluster size out of range");
    }
    if (fatCount != 1) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "exFAT boot sector: more than one FAT");
    }
    const uint32_t sectorBytes = 1u << sectorShift;
    const uint32_t clusterBytes = sectorBytes << clusterShift;
    const uint64_t fatEntriesBytes = (static_cast<uint64_t>(clusterCount) + 2) * 4;
    const uint64_t volumeSectors =
        static_cast<uint64_t>(heapOffset) + (static_cast<uint64_t>(clusterCount) << clusterShift);
    if (clusterCount == 0 || clusterCount > EXFAT_MAX_CLUSTER_COUNT) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: cluster count out of range");
    }
    if (fatOffset == 0 || fatEntriesBytes > static_cast<uint64_t>(fatLength) * sectorBytes ||
        fatEntriesBytes > UINT32_MAX - 4 ||
        static_cast<uint64_t>(fatOffset) + fatLength > heapOffset) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: FAT out of place or too short");
    }
    if (volumeSectors > partBytes / sectorBytes) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: the volume is larger than its partition");
    }
    if (rootCluster < 2 || rootCluster - 2 >= clusterCount) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "exFAT boot sector: root directory cluster out of range");
    }
    // Only the entries of the clusters are needed: entries 0 .. count + 1.
    uint32_t* fat = static_cast<uint32_t*>(Mem_Alloc(static_cast<uint32_t>(fatEntriesBytes)));
    if (fat == nullptr) {
        return DISK_ERR_NOMEM;
    }
    rc = ReadPieces(disk, base + static_cast<uint64_t>(fatOffset) * sectorBytes, fatEntriesBytes,
                    reinterpret_cast<uint8_t*>(fat));
    if (rc != DISK_OK) {
        Mem_Free(fat);
        Exfat_Init0(volume);
        return rc;
    }
    const uint64_t entries = fatEntriesBytes / 4;
    for (uint64_t i = 0; i < entries; ++i) {
        fat[i] = Bytes_LoadLe32(&fat[i]);
    }
    volume->firstSector = first;
    volume->diskSectorBytes = diskSector;
    volume->bytesPerSector = sectorBytes;
    volume->clusterBytes = clusterBytes;
    volume->heapOffset = heapOffset;
    volume->fat = fat;
    return DISK_OK;
}

int Exfat_Open(ExfatVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Exfat_Init(volume);
    uint8_t boot[512];
    int rc = Exfat_ReadBootAndFat(volume, disk, first, count, boot);
    if (rc != DISK_OK) {
        Exfat_Init(volume);
        return rc;
    }
    volume->sectorsPerCluster = 1u << boot[109];
    volume->rootCluster = Bytes_LoadLe32(boot + 96);
    volume->clusterCount = Bytes_LoadLe32(boot + 92);
    const uint64_t base = first * volume->diskSectorBytes;

    uint8_t* cluster = static_cast<uint8_t*>(Mem_Alloc(volume->clusterBytes));
    if (cluster == nullptr) {
        Exfat_Destroy(volume);
        return DISK_ERR_NOMEM;
    }
    rc = Disk_Read(disk, base + ClusterOffset(volume, volume->rootCluster), volume->clusterBytes,
                   cluster);
    uint32_t bitmapCluster = 0;
    uint64_t bitmapLength = 0;
    if (rc == DISK_OK) {
        bool found = false;
        for (uint32_t at = 0; at + 32 <= volume->clusterBytes; at += 32) {
            const uint8_t type = cluster[at];
            if (type == EXFAT_ENTRY_END) {
                break;
            }
            if (type == EXFAT_ENTRY_BITMAP) {
                bitmapCluster = Bytes_LoadLe32(cluster + at + 20);
                bitmapLength = Bytes_LoadLe64(cluster + at + 24);
                found = true;
                break;
            }
        }
        if (!found) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "exFAT root directory: no allocation bitmap entry");
        }
    }
    Mem_Free(cluster);
    const uint32_t needBytes =
        static_cast<uint32_t>((static_cast<uint64_t>(volume->clusterCount) + 7) / 8);
    if (rc == DISK_OK && (!IsCluster(volume, bitmapCluster) || bitmapLength < needBytes)) {
        rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                              "exFAT allocation bitmap: out of range or too short");
    }
    uint8_t* bitmap = nullptr;
    if (rc == DISK_OK) {
        bitmap = static_cast<uint8_t*>(Mem_Alloc(needBytes));
        if (bitmap == nullptr) {
            rc = DISK_ERR_NOMEM;
        }
    }
    // Along the chain until one bit per cluster is read; each link lies between 2 and
    // count + 1, and the walk takes at most as many clusters as it needs. The clusters of the
    // chain are kept to check afterwards that none comes twice (a cycle would repeat bits) and
    // that the bitmap calls each of them allocated.
    const uint32_t chainLength = static_cast<uint32_t>(
        (static_cast<uint64_t>(needBytes) + volume->clusterBytes - 1) / volume->clusterBytes);
    uint32_t* chain = nullptr;
    if (rc == DISK_OK) {
        chain = static_cast<uint32_t*>(Mem_Alloc(chainLength * 4));
        if (chain == nullptr) {
            rc = DISK_ERR_NOMEM;
        }
    }
    uint32_t c = bitmapCluster;
    uint32_t done = 0;
    uint32_t taken = 0;
    while (rc == DISK_OK && done < needBytes) {
        if (!IsCluster(volume, c) || taken >= chainLength) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "exFAT allocation bitmap: cluster chain broken or too long");
            break;
        }
        chain[taken++] = c;
        uint32_t piece =
            needBytes - done < volume->clusterBytes ? needBytes - done : volume->clusterBytes;
        rc = Disk_Read(disk, base + ClusterOffset(volume, c), piece, bitmap + done);
        done += piece;
        if (done < needBytes) {
            c = volume->fat[c];
        }
    }
    if (rc == DISK_OK) {
        std::sort(chain, chain + taken);
        for (uint32_t i = 0; i < taken && rc == DISK_OK; ++i) {
            if ((i > 0 && chain[i] == chain[i - 1]) || !Bitmap_TestBit(bitmap, chain[i] - 2)) {
                rc = Refusal_RecordAs(
                    DISK_ERR_FS_CORRUPT,
                    "exFAT allocation bitmap: its clusters repeat or are not marked used");
            }
        }
    }
    Mem_Free(chain);
    if (rc != DISK_OK) {
        Mem_Free(bitmap);
        Exfat_Destroy(volume);
        return rc;
    }
    volume->bitmap = bitmap;
    return DISK_OK;
}

bool Exfat_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const ExfatVolume* v = static_cast<const ExfatVolume*>(object);
    if (v->bitmap == nullptr || v->clusterBytes == 0 || length == 0 ||
        offset > UINT64_MAX - (length - 1)) {
        return true;
    }
    const uint64_t heap = static_cast<uint64_t>(v->heapOffset) * v->bytesPerSector;
    if (offset < heap) {
        return true;
    }
    const uint64_t lo = (offset - heap) / v->clusterBytes;
    const uint64_t hi = (offset + (length - 1) - heap) / v->clusterBytes;
    if (hi >= v->clusterCount) {
        return true;
    }
    for (uint64_t n = lo; n <= hi; ++n) {
        if (Bitmap_TestBit(v->bitmap, static_cast<uint32_t>(n))) {
            return true;
        }
    }
    return false;
}

int Exfat_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                       uint32_t bitOffset)
{
    const ExfatVolume* v = static_cast<const ExfatVolume*>(object);
    if (v->bitmap == nullptr) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(v, Exfat_IsByteRangeUsed, v->diskSectorBytes, first, count,
                                     bitmap, bitOffset);
}

int Fs_AttachExfat(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    ExfatVolume* volume = Exfat_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    Exfat_Init(volume);
    int rc = Exfat_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        Exfat_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_EXFAT;
    region->object = volume;
    return DISK_OK;
}

// ---- Placeholder ------------------------------------------------------------------------------

void FsUnsupported_Init(FsUnsupportedVolume* volume) { (void)volume; }

void FsUnsupported_Destroy(void* volume) { (void)volume; }

int FsUnsupported_Open(FsUnsupportedVolume* volume, const DiskHandle* disk, uint64_t first)
{
    (void)volume;
    (void)disk;
    (void)first;
    return DISK_ERR_UNSUPPORTED;
}

int FsUnsupported_FillUsedBits(void* volume, uint64_t first, uint32_t count, uint8_t* bitmap,
                               uint32_t bitOffset)
{
    (void)volume;
    (void)first;
    (void)count;
    (void)bitmap;
    (void)bitOffset;
    return DISK_ERR_UNSUPPORTED;
}

int Fs_AttachUnsupported(VolumeRegion* region, const DiskHandle* disk, uint64_t first,
                         uint64_t count)
{
    (void)region;
    (void)count;
    FsUnsupportedVolume* volume =
        static_cast<FsUnsupportedVolume*>(Mem_Alloc(sizeof(FsUnsupportedVolume)));
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    FsUnsupported_Init(volume);
    int rc = FsUnsupported_Open(volume, disk, first);
    FsUnsupported_Destroy(volume);
    Mem_Free(volume);
    return rc;
}
