#include "volume/partition.h"

#include <cstring>

#include "foundation/array.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "volume/lvm2.h"

namespace {

const uint8_t kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
const uint8_t kGptLvmType[16] = {0x79, 0xD3, 0xD6, 0xE6, 0x07, 0xF5, 0xC2, 0x44,
                                 0xA2, 0x3C, 0x23, 0x8F, 0x2A, 0x3D, 0xF9, 0x28};

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool HasSignature(const MbrSector* sector)
{
    return sector->signature[0] == 0x55 && sector->signature[1] == 0xAA;
}

// Bytes per sector of the disk, 0 when the disk has no usable geometry.
uint32_t BytesPerSector(const DiskHandle* disk, uint64_t* total)
{
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(disk, &g);
    if (total != nullptr) {
        *total = Geometry_GetTotalSectors(&g);
    }
    return g.bytes_per_sector;
}

// Reads and decodes the 512-byte MBR/EBR at the given sector.
int ReadMbrSector(const DiskHandle* disk, uint64_t sector, uint32_t bytesPerSector, MbrSector* out)
{
    uint64_t offset;
    if (!Math_MulU64(sector, bytesPerSector, &offset)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "partition table: sector number out of range");
    }
    uint8_t raw[MBR_SECTOR_SIZE];
    int result = Disk_Read(disk, offset, MBR_SECTOR_SIZE, raw);
    if (result != DISK_OK) {
        return result;
    }
    Partition_MbrToHost(raw, out);
    return DISK_OK;
}

// Appends one entry (stored only when an array is given).
void Append(const PartitionEntry* entry, uint32_t* count, PartitionEntry* entries)
{
    if (entries != nullptr) {
        entries[*count] = *entry;
    }
    ++*count;
}

int ReadChain(const DiskHandle* disk, uint32_t bytesPerSector, uint64_t ebrSector,
              uint64_t extendedBase, uint32_t maximum, uint32_t* count, PartitionEntry* entries,
              uint32_t* budget)
{
    if (*budget == 0) {
        // More records than any real chain: a loop.
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "extended partition: chain of boot records too long or looping");
    }
    --*budget;

    MbrSector ebr;
    int result = ReadMbrSector(disk, ebrSector, bytesPerSector, &ebr);
    if (result != DISK_OK) {
        return result;
    }
    if (!HasSignature(&ebr)) {
        return Refusal_Record("extended boot record: no signature");
    }
    for (uint32_t i = 0; i < 4; ++i) {
        if (*count >= maximum) {
            return DISK_OK;
        }
        const MbrPartitionRecord* record = &ebr.records[i];
        if (record->type == 0) {
            continue;
        }
        if (IsExtendedType(record->type)) {
            uint64_t next;
            if (!Math_AddU64(extendedBase, record->firstSector, &next)) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "extended boot record: link out of range");
            }
            result = ReadChain(disk, bytesPerSector, next, extendedBase, maximum, count, entries,
                               budget);
            if (result != DISK_OK) {
                return result;
            }
            continue;
        }
        uint64_t start;
        if (!Math_AddU64(ebrSector, record->firstSector, &start)) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "extended boot record: partition start out of range");
        }
        if (record->type == 0x8E) {
            result = Lvm2_ReadVolumes(disk, start, maximum, count, entries);
            if (result != DISK_OK) {
                return result;
            }
            continue;
        }
        PartitionEntry entry;
        PartitionEntry_FromMbrEntry(record, &entry);
        entry.first = start;
        Append(&entry, count, entries);
    }
    return DISK_OK;
}

}  // namespace

void Partition_MbrToHost(const uint8_t* raw, MbrSector* out)
{
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t* p = raw + 446 + i * 16;
        MbrPartitionRecord* r = &out->records[i];
        r->bootFlag = p[0];
        r->startHead = p[1];
        r->startSectorCylinder = Bytes_LoadLe16(p + 2);
        r->type = p[4];
        r->endHead = p[5];
        r->endSectorCylinder = Bytes_LoadLe16(p + 6);
        r->firstSector = Bytes_LoadLe32(p + 8);
        r->sectorCount = Bytes_LoadLe32(p + 12);
    }
    out->signature[0] = raw[510];
    out->signature[1] = raw[511];
}

void Partition_Pc98ToHost(const uint8_t* raw, Pc98PartitionRecord* out)
{
    std::memcpy(out->raw, raw, PC98_RECORD_SIZE);
    out->startCylinder = Bytes_LoadLe16(raw + 10);
    out->endCylinder = Bytes_LoadLe16(raw + 14);
}

void PartitionEntry_FromMbrEntry(const MbrPartitionRecord* record, PartitionEntry* entry)
{
    entry->first = record->firstSector;
    entry->count = record->sectorCount;
    entry->type = record->type;
}

int Partition_ReadMbr(const DiskHandle* disk, uint64_t sector, uint32_t maximum, uint32_t* count,
                      PartitionEntry* entries)
{
    *count = 0;
    if (maximum == 0) {
        return DISK_OK;
    }
    uint64_t total = 0;
    uint32_t bytesPerSector = BytesPerSector(disk, &total);
    if (bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    MbrSector mbr;
    int result = ReadMbrSector(disk, sector, bytesPerSector, &mbr);
    if (result != DISK_OK) {
        return result;
    }
    if (!HasSignature(&mbr)) {
        PartitionEntry whole;
        whole.first = sector;
        whole.count = total > sector ? total - sector : 0;
        whole.type = 0;
        Append(&whole, count, entries);
        return DISK_OK;
    }
    for (uint32_t i = 0; i < 4; ++i) {
        const MbrPartitionRecord* record = &mbr.records[i];
        if (i == 0 && record->type == 0xEE && record->firstSector == 1) {
            return Partition_ReadGpt(disk, maximum, count, entries);
        }
        if (record->type == 0) {
            continue;
        }
        uint64_t start;
        if (!Math_AddU64(sector, record->firstSector, &start)) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "MBR: partition start out of range");
        }
        if (IsExtendedType(record->type)) {
            result = Partition_ReadExtendedChain(disk, start, start, maximum, count, entries);
        } else if (record->type == 0x8E) {
            result = Lvm2_ReadVolumes(disk, start, maximum, count, entries);
        } else {
            PartitionEntry entry;
            PartitionEntry_FromMbrEntry(record, &entry);
            entry.first = start;
            Append(&entry, count, entries);
        }
        if (result != DISK_OK) {
            return result;
        }
        if (*count >= maximum) {
            return DISK_OK;
        }
    }
    return DISK_OK;
}

int Partition_ReadExtendedChain(const DiskHandle* disk, uint64_t ebrSector, uint64_t extendedBase,
                                uint32_t maximum, uint32_t* count, PartitionEntry* entries)
{
    uint32_t bytesPerSector = BytesPerSector(disk, nullptr);
    if (bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    if (*count >= maximum) {
        return DISK_OK;
    }
    uint32_t budget = PARTITION_MAX_EBRS;
    return ReadChain(disk, bytesPerSector, ebrSector, extendedBase, maximum, count, entries,
                     &budget);
}

int Partition_ReadGpt(const DiskHandle* disk, uint32_t maximum, uint32_t* count,
                      PartitionEntry* entries)
{
    // The header is LBA 1 and every LBA counts in the disk's own sectors.
    uint32_t bytesPerSector = BytesPerSector(disk, nullptr);
    if (bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    uint8_t header[512];
    int result = Disk_Read(disk, bytesPerSector, sizeof header, header);
    if (result != DISK_OK) {
        return result;
    }
    uint32_t revision = Bytes_LoadLe32(header + 8);
    uint32_t headerSize = Bytes_LoadLe32(header + 12);
    uint64_t myLba = Bytes_LoadLe64(header + 24);
    uint64_t arrayLba = Bytes_LoadLe64(header + 72);
    uint32_t entryCount = Bytes_LoadLe32(header + 80);
    uint32_t entrySize = Bytes_LoadLe32(header + 84);
    if (std::memcmp(header, kGptSignature, sizeof kGptSignature) != 0) {
        return Refusal_Record("GPT header: no signature");
    }
    if (revision != 0x00010000 || headerSize != 92 || myLba != 1) {
        return Refusal_Record("GPT header: unknown revision, size or position");
    }
    if (entryCount > GPT_MAX_ENTRIES || entrySize != GPT_ENTRY_SIZE) {
        return Refusal_Record("GPT header: entry count or size out of range");
    }
    if (entryCount == 0 || *count >= maximum) {
        return DISK_OK;
    }
    uint64_t arrayOffset;
    if (!Math_MulU64(arrayLba, bytesPerSector, &arrayOffset)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "GPT header: entry array position out of range");
    }
    uint32_t arrayBytes = entryCount * GPT_ENTRY_SIZE;  // at most 128 KiB
    uint64_t arrayEnd;
    if (!Math_AddU64(arrayOffset, arrayBytes, &arrayEnd)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "GPT header: entry array position out of range");
    }
    uint8_t* array = static_cast<uint8_t*>(Mem_Alloc(arrayBytes));
    if (array == nullptr) {
        return DISK_ERR_NOMEM;
    }
    result = Disk_Read(disk, arrayOffset, arrayBytes, array);
    for (uint32_t i = 0; result == DISK_OK && i < entryCount && *count < maximum; ++i) {
        const uint8_t* e = array + i * GPT_ENTRY_SIZE;
        if (Mem_IsZero(e, 16)) {
            continue;
        }
        uint64_t firstLba = Bytes_LoadLe64(e + 32);
        uint64_t lastLba = Bytes_LoadLe64(e + 40);
        if (std::memcmp(e, kGptLvmType, sizeof kGptLvmType) == 0) {
            result = Lvm2_ReadVolumes(disk, firstLba, maximum, count, entries);
            continue;
        }
        if (lastLba < firstLba || lastLba - firstLba == UINT64_MAX) {
            result =
                Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "GPT entry: last sector before the first");
            continue;
        }
        PartitionEntry entry;
        entry.first = firstLba;
        entry.count = lastLba - firstLba + 1;
        entry.type = 0;
        Append(&entry, count, entries);
    }
    Mem_Free(array);
    return result;
}

int Partition_ReadPc98(const DiskHandle* disk, uint64_t tableOffset, uint32_t maximum,
                       uint32_t* count, Pc98PartitionRecord* records)
{
    *count = 0;
    uint8_t mark[2];
    int result = Disk_Read(disk, 254, sizeof mark, mark);
    if (result != DISK_OK) {
        return result;
    }
    if (mark[0] != 0x55 && mark[1] == 0xAA) {
        return Refusal_Record("PC-98 partition table: sector 0 carries a PC boot mark instead");
    }
    uint8_t table[PC98_TABLE_SIZE];
    result = Disk_Read(disk, tableOffset, sizeof table, table);
    if (result != DISK_OK) {
        return result;
    }
    for (uint32_t i = 0; i < PC98_RECORD_COUNT && *count < maximum; ++i) {
        const uint8_t* raw = table + i * PC98_RECORD_SIZE;
        if (Mem_IsZero(raw, PC98_RECORD_SIZE)) {
            continue;
        }
        if (records != nullptr) {
            Partition_Pc98ToHost(raw, &records[*count]);
        }
        ++*count;
    }
    return DISK_OK;
}

int PartitionEntry_CompareStart(void* collection, uint32_t i, uint32_t j, void* user)
{
    (void)user;
    const PartitionEntry* e = static_cast<const PartitionEntry*>(collection);
    if (e[i].first < e[j].first) {
        return -1;
    }
    return e[i].first > e[j].first ? 1 : 0;
}

static void SwapEntries(void* collection, uint32_t i, uint32_t j)
{
    PartitionEntry* e = static_cast<PartitionEntry*>(collection);
    PartitionEntry t = e[i];
    e[i] = e[j];
    e[j] = t;
}

void PartitionEntry_SortByStart(PartitionEntry* entries, uint32_t count)
{
    if (count > 1) {
        Algo_QuickSort(entries, count, PartitionEntry_CompareStart, nullptr, SwapEntries);
    }
}
