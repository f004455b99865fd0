#include "volume/fat_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/range.h"

namespace {

// Table bytes read at a time (first copy and comparison of the others): a multiple of 2, 3 and
// 4 bytes, so that every piece starts on a whole FAT12, FAT16 or FAT32 entry (pair).
const uint32_t kReadChunk = 3u << 18;

bool IsPowerOfTwoU32(uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

// Bytes of the table that entries 0 .. entryCount - 1 occupy.
uint64_t EntryBytes(uint32_t type, uint64_t entryCount)
{
    switch (type) {
    case FAT_TYPE_12:
        return entryCount == 0 ? 0 : (entryCount - 1) * 3 / 2 + 2;
    case FAT_TYPE_16:
        return entryCount * 2;
    default:
        return entryCount * 4;
    }
}

// Entries whose bytes lie wholly in the first `bytes` bytes of a table.
uint64_t EntriesIn(uint32_t type, uint64_t bytes)
{
    switch (type) {
    case FAT_TYPE_12:
        return bytes < 2 ? 0 : ((bytes - 2) * 2) / 3 + 1;
    case FAT_TYPE_16:
        return bytes / 2;
    default:
        return bytes / 4;
    }
}

// Whether entry k (whose bytes lie in the piece starting at entry `base`, piece byte 0 = the
// table byte of entry base; base even for FAT12) is non-zero.
bool PieceEntryUsed(const uint8_t* piece, uint32_t type, uint64_t base, uint64_t k)
{
    switch (type) {
    case FAT_TYPE_12: {
        uint64_t at = k * 3 / 2 - base * 3 / 2;
        uint16_t v = Bytes_LoadLe16(piece + at);
        v = (k & 1) != 0 ? static_cast<uint16_t>(v >> 4) : static_cast<uint16_t>(v & 0x0FFF);
        return v != 0;
    }
    case FAT_TYPE_16:
        return Bytes_LoadLe16(piece + (k - base) * 2) != 0;
    default:
        return (Bytes_LoadLe32(piece + (k - base) * 4) & 0x0FFFFFFFu) != 0;
    }
}

// Reads the first table copy in pieces, compares every further copy piece by piece (PC
// volumes), and keeps one bit per entry (1 = non-zero): memory is the bit array and two pieces,
// whatever the table's size.
int LoadTable(FatTable* table, uint32_t type, const FatBpb* bpb, const FatLayout* layout,
              const DiskHandle* disk, uint64_t partitionOffset, bool human68k)
{
    const uint64_t copyBytes = static_cast<uint64_t>(bpb->bytesPerSector) * layout->sectorsPerFat;
    uint64_t load = EntryBytes(type, static_cast<uint64_t>(layout->clusterCount) + 2);
    if (load > copyBytes) {
        load = copyBytes;  // entries past the end of the table count as used
    }
    if (load == 0 || load > UINT32_MAX) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT table: size out of range");
    }
    const uint32_t loadBytes = static_cast<uint32_t>(load);
    const uint64_t entryCount = EntriesIn(type, loadBytes);
    const uint64_t bitBytes = (entryCount + 7) / 8;
    if (entryCount == 0 || bitBytes > UINT32_MAX) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT table: size out of range");
    }
    const uint32_t pieceBytes = loadBytes < kReadChunk ? loadBytes : kReadChunk;
    uint8_t* bits = static_cast<uint8_t*>(Mem_Alloc(static_cast<uint32_t>(bitBytes)));
    uint8_t* piece = static_cast<uint8_t*>(Mem_Alloc(pieceBytes));
    const bool compare = !human68k && bpb->fatCount > 1;
    uint8_t* scratch = compare ? static_cast<uint8_t*>(Mem_Alloc(pieceBytes)) : nullptr;
    if (bits == nullptr || piece == nullptr || (compare && scratch == nullptr)) {
        Mem_Free(bits);
        Mem_Free(piece);
        Mem_Free(scratch);
        return DISK_ERR_NOMEM;
    }
    std::memset(bits, 0, static_cast<size_t>(bitBytes));
    const uint64_t fatStart =
        partitionOffset + static_cast<uint64_t>(bpb->bytesPerSector) * bpb->reservedSectors;
    int rc = DISK_OK;
    uint32_t entry1 = 0;
    ChunkRange r;
    ChunkRange_Init(&r, kReadChunk, loadBytes);
    while (rc == DISK_OK && ChunkRange_HasMore(&r)) {
        rc = Disk_Read(disk, fatStart + r.offset, r.pieceLength, piece);
        for (uint32_t i = 1; compare && rc == DISK_OK && i < bpb->fatCount; ++i) {
            rc = Disk_Read(disk, fatStart + copyBytes * i + r.offset, r.pieceLength, scratch);
            if (rc == DISK_OK && std::memcmp(scratch, piece, r.pieceLength) != 0) {
                rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT table: the copies differ");
            }
        }
        if (rc != DISK_OK) {
            break;
        }
        if (human68k && type == FAT_TYPE_16) {
            for (uint32_t i = 0; i + 1 < r.pieceLength; i += 2) {
                Bytes_StoreLe16(piece + i, Bytes_LoadBe16(piece + i));
            }
        }
        if (r.offset == 0) {
            entry1 = type == FAT_TYPE_16 && r.pieceLength >= 4   ? Bytes_LoadLe16(piece + 2)
                     : type == FAT_TYPE_32 && r.pieceLength >= 8 ? Bytes_LoadLe32(piece + 4)
                                                                 : 0;
        }
        // Entries from the piece's first (a whole pair for FAT12) to the last whose bytes
        // lie wholly in the loaded table.
        const uint64_t first = type == FAT_TYPE_12 ? static_cast<uint64_t>(r.offset) / 3 * 2
                                                   : EntriesIn(type, r.offset);
        const uint64_t last = EntriesIn(type, static_cast<uint64_t>(r.offset) + r.pieceLength);
        for (uint64_t k = first; k < last && k < entryCount; ++k) {
            if (PieceEntryUsed(piece, type, first, k)) {
                bits[k / 8] = static_cast<uint8_t>(bits[k / 8] | (1u << (k % 8)));
            }
        }
        ChunkRange_Next(&r);
    }
    Mem_Free(piece);
    Mem_Free(scratch);
    if (rc != DISK_OK) {
        Mem_Free(bits);
        return rc;
    }
    table->entries = bits;
    table->tableBytes = loadBytes;
    table->entryCount = entryCount;
    table->entry1 = entry1;
    table->dataStart = copyBytes * bpb->fatCount +
                       static_cast<uint64_t>(bpb->bytesPerSector) *
                           (static_cast<uint64_t>(bpb->reservedSectors) + layout->rootDirSectors);
    table->clusterCount = layout->clusterCount;
    table->clusterSize = static_cast<uint32_t>(bpb->bytesPerSector) * bpb->sectorsPerCluster;
    return DISK_OK;
}

// Whether table entry k is non-zero or lies beyond the loaded table.
bool EntryUsed(const FatTable* table, uint32_t, uint64_t k)
{
    if (k >= table->entryCount) {
        return true;
    }
    return (table->entries[k / 8] >> (k % 8)) & 1u;
}

bool TableIsUsed(const FatTable* table, uint32_t type, uint64_t offset, uint64_t length)
{
    if (table->entries == nullptr || table->clusterSize == 0 || length == 0 ||
        offset < table->dataStart || offset > UINT64_MAX - length) {
        return true;
    }
    const uint64_t end = offset + length;
    const uint64_t dataEnd =
        table->dataStart + static_cast<uint64_t>(table->clusterCount) * table->clusterSize;
    if (end > dataEnd) {
        return true;
    }
    const uint64_t c0 = (offset - table->dataStart) / table->clusterSize;
    const uint64_t c1 = (end - 1 - table->dataStart) / table->clusterSize;
    for (uint64_t c = c0; c <= c1; ++c) {
        if (EntryUsed(table, type, c + 2)) {
            return true;
        }
    }
    return false;
}

void InitTable(FatTable* table) { std::memset(table, 0, sizeof *table); }

void DestroyTable(FatTable* table)
{
    if (table == nullptr) {
        return;
    }
    Mem_Free(table->entries);
    InitTable(table);
}

FatTable* AllocTable() { return static_cast<FatTable*>(Mem_Alloc(sizeof(FatTable))); }

}  // namespace

// ---- Table families ---------------------------------------------------------------------------

FatTable* Fat12Table_Alloc() { return AllocTable(); }
void Fat12Table_Init(FatTable* table) { InitTable(table); }
int Fat12Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k)
{
    return LoadTable(table, FAT_TYPE_12, bpb, layout, disk, partitionOffset, human68k);
}
bool Fat12Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length)
{
    return TableIsUsed(table, FAT_TYPE_12, offset, length);
}
void Fat12Table_Destroy(FatTable* table) { DestroyTable(table); }

FatTable* Fat16Table_Alloc() { return AllocTable(); }
void Fat16Table_Init(FatTable* table) { InitTable(table); }
int Fat16Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k)
{
    return LoadTable(table, FAT_TYPE_16, bpb, layout, disk, partitionOffset, human68k);
}
bool Fat16Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length)
{
    return TableIsUsed(table, FAT_TYPE_16, offset, length);
}
void Fat16Table_Destroy(FatTable* table) { DestroyTable(table); }

FatTable* Fat32Table_Alloc() { return AllocTable(); }
void Fat32Table_Init(FatTable* table) { InitTable(table); }
int Fat32Table_Load(FatTable* table, const FatBpb* bpb, const FatLayout* layout,
                    const DiskHandle* disk, uint64_t partitionOffset, bool human68k)
{
    return LoadTable(table, FAT_TYPE_32, bpb, layout, disk, partitionOffset, human68k);
}
bool Fat32Table_IsUsed(const FatTable* table, uint64_t offset, uint64_t length)
{
    return TableIsUsed(table, FAT_TYPE_32, offset, length);
}
void Fat32Table_Destroy(FatTable* table) { DestroyTable(table); }

// ---- Parameter block and layout -----------------------------------------------------------

void Fat_BpbToHost(const uint8_t* raw, FatBpb* out)
{
    std::memset(out, 0, sizeof *out);
    out->bytesPerSector = Bytes_LoadLe16(raw + 11);
    out->sectorsPerCluster = raw[13];
    out->reservedSectors = Bytes_LoadLe16(raw + 14);
    out->fatCount = raw[16];
    out->rootEntries = Bytes_LoadLe16(raw + 17);
    out->totalSectors16 = Bytes_LoadLe16(raw + 19);
    out->media = raw[21];
    out->sectorsPerFat16 = Bytes_LoadLe16(raw + 22);
    out->sectorsPerTrack = Bytes_LoadLe16(raw + 24);
    out->heads = Bytes_LoadLe16(raw + 26);
    out->totalSectors32 = Bytes_LoadLe32(raw + 32);
    out->sectorsPerFat32 = Bytes_LoadLe32(raw + 36);
}

void Fat_BpbFromHuman68k(const Human68kBootSector* boot, FatBpb* out)
{
    std::memset(out, 0, sizeof *out);
    out->bytesPerSector = boot->bytesPerSector;
    out->sectorsPerCluster = boot->sectorsPerCluster;
    out->reservedSectors = boot->reservedSectors;
    out->fatCount = boot->fatCount;
    out->rootEntries = boot->rootEntries;
    out->media = 0xF8;
    out->heads = 2;
    out->sectorsPerTrack = 8;
    out->sectorsPerFat16 = boot->sectorsPerFat;
    if (boot->totalSectors16 != 0) {
        out->totalSectors16 = boot->totalSectors16;
    } else {
        out->sectorsPerFat32 = boot->sectorsPerFat;
        out->totalSectors32 = boot->totalSectors32;
    }
}

int Fat_CheckBpb(const FatBpb* bpb)
{
    const uint32_t bps = bpb->bytesPerSector;
    const uint32_t spc = bpb->sectorsPerCluster;
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: bytes per sector out of range");
    }
    if (!IsPowerOfTwoU32(spc) || spc > 128 || bps * spc > FAT_MAX_CLUSTER_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: sectors per cluster out of range");
    }
    if (bpb->reservedSectors == 0 || bpb->fatCount == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: no reserved sectors or no FATs");
    }
    if ((static_cast<uint32_t>(bpb->rootEntries) * 32) % bps != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: root directory does not fill whole sectors");
    }
    if (bpb->media != 0xF0 && bpb->media < 0xF8) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT boot sector: unknown media byte");
    }
    return DISK_OK;
}

int Fat_ComputeLayout(const FatBpb* bpb, FatLayout* layout, uint32_t* type)
{
    std::memset(layout, 0, sizeof *layout);
    const uint32_t bps = bpb->bytesPerSector;
    const uint32_t spc = bpb->sectorsPerCluster;
    if (bps == 0 || spc == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: no bytes per sector or sectors per cluster");
    }
    const uint32_t rootDirSectors =
        Math_DivCeilU32(static_cast<uint32_t>(bpb->rootEntries) * 32, bps);
    const uint32_t sectorsPerFat =
        bpb->sectorsPerFat16 != 0 ? bpb->sectorsPerFat16 : bpb->sectorsPerFat32;
    const uint32_t total = bpb->totalSectors16 != 0 ? bpb->totalSectors16 : bpb->totalSectors32;
    if (sectorsPerFat == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT boot sector: no sectors per FAT");
    }
    const uint64_t meta = static_cast<uint64_t>(bpb->reservedSectors) +
                          static_cast<uint64_t>(bpb->fatCount) * sectorsPerFat + rootDirSectors;
    if (total <= meta) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT boot sector: no data area");
    }
    const uint32_t dataSectors = static_cast<uint32_t>(total - meta);
    const uint32_t clusters = dataSectors / spc;
    if (clusters == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "FAT boot sector: no clusters");
    }
    uint32_t t;
    if (bpb->sectorsPerFat16 == 0) {
        // FAT32 by its parameter block, whatever the cluster count.
        if (bpb->rootEntries != 0 || clusters > FAT32_MAX_CLUSTERS) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "FAT boot sector: FAT32 with a root directory or too many clusters");
        }
        t = FAT_TYPE_32;
    } else if (clusters <= FAT12_MAX_CLUSTERS) {
        t = FAT_TYPE_12;
    } else if (clusters <= FAT16_MAX_CLUSTERS) {
        t = FAT_TYPE_16;
    } else {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: 16-bit FAT size with a FAT32 cluster count");
    }
    layout->rootDirSectors = rootDirSectors;
    layout->sectorsPerFat = sectorsPerFat;
    layout->totalSectors = total;
    layout->dataSectors = dataSectors;
    layout->clusterCount = clusters;
    *type = t;
    return DISK_OK;
}

// ---- Volume -------------------------------------------------------------------------------

bool Fat_IsCleanlyUnmounted(const FatTable* table, uint32_t type)
{
    switch (type) {
    case FAT_TYPE_16:
        return table->tableBytes >= 4 && (table->entry1 & FAT16_CLEAN_BITS) == FAT16_CLEAN_BITS;
    case FAT_TYPE_32:
        return table->tableBytes >= 8 && (table->entry1 & FAT32_CLEAN_BITS) == FAT32_CLEAN_BITS;
    default:
        return true;  // FAT12 keeps no such flags
    }
}

FatVolume* Fat_Alloc() { return static_cast<FatVolume*>(Mem_Alloc(sizeof(FatVolume))); }

void Fat_Init(FatVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void Fat_Destroy(void* object)
{
    FatVolume* volume = static_cast<FatVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    if (volume->table != nullptr) {
        switch (volume->type) {
        case FAT_TYPE_12:
            Fat12Table_Destroy(volume->table);
            break;
        case FAT_TYPE_16:
            Fat16Table_Destroy(volume->table);
            break;
        default:
            Fat32Table_Destroy(volume->table);
            break;
        }
        Mem_Free(volume->table);
    }
    Fat_Init(volume);
}

int Fat_Open(FatVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Fat_Init(volume);
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(disk, &g);
    const uint32_t sectorBytes = g.bytes_per_sector;
    if (sectorBytes == 0) {
        return DISK_ERR_ARG;
    }
    uint64_t base;
    uint64_t partBytes;
    uint64_t partEnd;
    if (!Math_MulU64(first, sectorBytes, &base) || !Math_MulU64(count, sectorBytes, &partBytes) ||
        !Math_AddU64(base, partBytes, &partEnd)) {
        return DISK_ERR_ARG;
    }
    if (partBytes < FAT_BPB_SIZE) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: the partition is too small to hold it");
    }

    bool human68k = false;
    int32_t variant = 0;
    uint8_t raw[FAT_BPB_SIZE];
    int rc = X68k_IsHuman68kBootSector(disk, base, &human68k, &variant);
    if (rc != DISK_OK) {
        return rc;
    }
    FatBpb bpb;
    if (human68k) {
        Human68kBootSector boot;
        rc = X68k_ReadHuman68kBpb(disk, base, &boot);
        if (rc != DISK_OK) {
            return rc;
        }
        Fat_BpbFromHuman68k(&boot, &bpb);
        // Nothing else is checked on these volumes, but a table over the boot sector or no
        // table at all is not a volume.
        if (bpb.bytesPerSector == 0 || bpb.sectorsPerCluster == 0 || bpb.reservedSectors == 0 ||
            bpb.fatCount == 0) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "Human68k boot sector: no sectors, clusters, reserved sectors or FATs");
        }
    } else {
        rc = Disk_Read(disk, base, FAT_BPB_SIZE, raw);
        if (rc != DISK_OK) {
            return rc;
        }
        Fat_BpbToHost(raw, &bpb);
        rc = Fat_CheckBpb(&bpb);
        if (rc != DISK_OK) {
            return rc;
        }
    }

    FatLayout layout;
    uint32_t type = 0;
    rc = Fat_ComputeLayout(&bpb, &layout, &type);
    if (rc != DISK_OK) {
        return rc;
    }
    // The Linux driver (and Windows when it finds damage) sets this bit while the volume is in
    // use: clusters may already hold data that the table does not show. Without the extended
    // boot signature after it the byte is boot code.
    if (!human68k) {
        const uint32_t at = type == FAT_TYPE_32 ? FAT32_STATE_OFFSET : FAT16_STATE_OFFSET;
        const uint8_t signature = raw[at + 1];
        if ((signature == 0x28 || signature == 0x29) && (raw[at] & FAT_STATE_DIRTY) != 0) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "FAT boot sector: the volume was not cleanly unmounted");
        }
    }
    // Reserved area, tables and root directory must lie inside the partition.
    const uint64_t metaBytes =
        static_cast<uint64_t>(bpb.bytesPerSector) *
        (static_cast<uint64_t>(bpb.reservedSectors) +
         static_cast<uint64_t>(bpb.fatCount) * layout.sectorsPerFat + layout.rootDirSectors);
    if (metaBytes > partBytes) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "FAT boot sector: the volume is larger than its partition");
    }

    FatTable* table = nullptr;
    switch (type) {
    case FAT_TYPE_12:
        table = Fat12Table_Alloc();
        if (table != nullptr) {
            Fat12Table_Init(table);
            rc = Fat12Table_Load(table, &bpb, &layout, disk, base, human68k);
        }
        break;
    case FAT_TYPE_16:
        table = Fat16Table_Alloc();
        if (table != nullptr) {
            Fat16Table_Init(table);
            rc = Fat16Table_Load(table, &bpb, &layout, disk, base, human68k);
        }
        break;
    default:
        table = Fat32Table_Alloc();
        if (table != nullptr) {
            Fat32Table_Init(table);
            rc = Fat32Table_Load(table, &bpb, &layout, disk, base, human68k);
        }
        break;
    }
    if (table == nullptr) {
        return DISK_ERR_NOMEM;
    }
    volume->type = type;
    volume->bytesPerSector = sectorBytes;
    volume->human68k = human68k;
    volume->table = table;
    if (rc == DISK_OK && !human68k && !Fat_IsCleanlyUnmounted(table, type)) {
        rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                              "FAT table: the volume was not cleanly unmounted or has disk errors");
    }
    if (rc != DISK_OK) {
        Fat_Destroy(volume);
        return rc;
    }
    return DISK_OK;
}

bool Fat_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const FatVolume* volume = static_cast<const FatVolume*>(object);
    if (volume->table == nullptr) {
        return true;
    }
    switch (volume->type) {
    case FAT_TYPE_12:
        return Fat12Table_IsUsed(volume->table, offset, length);
    case FAT_TYPE_16:
        return Fat16Table_IsUsed(volume->table, offset, length);
    default:
        return Fat32Table_IsUsed(volume->table, offset, length);
    }
}

int Fat_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset)
{
    const FatVolume* volume = static_cast<const FatVolume*>(object);
    if (volume->table == nullptr) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(volume, Fat_IsByteRangeUsed, volume->bytesPerSector, first,
                                     count, bitmap, bitOffset);
}

int Fs_AttachFat(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    FatVolume* volume = Fat_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    Fat_Init(volume);
    int rc = Fat_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        Fat_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_FAT;
    region->object = volume;
    return DISK_OK;
}
