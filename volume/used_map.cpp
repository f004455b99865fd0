#include "volume/used_map.h"

#include <cstring>

#include "foundation/array.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/range.h"
#include "volume/exfat_fs.h"
#include "volume/ext_fs.h"
#include "volume/fat_fs.h"
#include "volume/xfs_fs.h"
#include "volume/hfsplus_fs.h"
#include "volume/btrfs_fs.h"
#include "volume/ntfs_fs.h"

// ---- Driver tables -------------------------------------------------------------------------
// Indexed by kind: NTFS, ext, FAT, XFS, exFAT, placeholder, HFS+, Btrfs. A driver that refuses
// a partition leaves it unrecognised, so all its sectors count as used.

FsDestroyFn FsDestroyTable[FS_KIND_COUNT] = {
    Ntfs_Destroy,  Ext_Destroy,           Fat_Destroy,     Xfs_Destroy,
    Exfat_Destroy, FsUnsupported_Destroy, HfsPlus_Destroy, Btrfs_Destroy,
};

FsAttachFn FsAttachTable[FS_KIND_COUNT] = {
    Fs_AttachNtfs,  Fs_AttachExt,         Fs_AttachFat,     Fs_AttachXfs,
    Fs_AttachExfat, Fs_AttachUnsupported, Fs_AttachHfsPlus, Fs_AttachBtrfs,
};

FsUsedBitsFn FsUsedBitsTable[FS_KIND_COUNT] = {
    Ntfs_FillUsedBits,  Ext_FillUsedBits,           Fat_FillUsedBits,     Xfs_FillUsedBits,
    Exfat_FillUsedBits, FsUnsupported_FillUsedBits, HfsPlus_FillUsedBits, Btrfs_FillUsedBits,
};

FsTestDataFn FsTestDataTable[FS_KIND_COUNT] = {
    Ntfs_TestData, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

namespace {

// Most partitions one map takes from a table.
const uint32_t kMaxPartitions = 256;
// Sectors whose used bits IsDataEmpty fetches at a time.
const uint32_t kDataTestChunk = 65536;

bool IsKnownKind(FsKind kind) { return static_cast<uint32_t>(kind) < FS_KIND_COUNT; }

void SetRegion(VolumeRegion* region, uint64_t first, uint64_t count, FsKind kind)
{
    region->first = first;
    region->count = count;
    region->kind = kind;
    region->object = nullptr;
}

bool TakeGeometry(const DiskHandle* disk, DiskGeometry* g)
{
    std::memset(g, 0, sizeof *g);
    Disk_GetGeometry(disk, g);
    return g->bytes_per_sector != 0 && Geometry_GetTotalSectors(g) != 0 &&
           Geometry_ByteSizeFitsInt64(g);
}

// Index of the region holding the sector, or -1 when the sector lies past the last region.
int64_t FindRegionBySector(uint32_t regionCount, const VolumeRegion* regions, uint64_t sector)
{
    if (regionCount == 0) {
        return -1;
    }
    uint32_t lo = 0;
    uint32_t hi = regionCount;  // the answer lies in [lo, hi)
    while (hi - lo > 1) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (regions[mid].first <= sector) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const VolumeRegion* r = &regions[lo];
    if (sector < r->first || sector - r->first >= r->count) {
        return -1;
    }
    return lo;
}

// Sorts the entries, tiles the disk and hands the regions to the map (emptied first).
int BuildFromEntries(UsedSectorMap* map, const DiskHandle* disk, PartitionEntry* entries,
                     uint32_t entryCount, uint32_t bytesPerSector)
{
    PartitionEntry_SortByStart(entries, entryCount);
    uint32_t regionCount = 0;
    int result = Fs_BuildRegions(entryCount, entries, disk, &regionCount, nullptr);
    if (result != DISK_OK) {
        return result;
    }
    if (regionCount == 0) {
        return DISK_OK;
    }
    VolumeRegion* regions = static_cast<VolumeRegion*>(
        Mem_Alloc(regionCount * static_cast<uint32_t>(sizeof(VolumeRegion))));
    if (regions == nullptr) {
        return DISK_ERR_NOMEM;
    }
    for (uint32_t i = 0; i < regionCount; ++i) {
        VolumeRegion_Init(&regions[i]);
    }
    uint32_t filled = regionCount;
    result = Fs_BuildRegions(entryCount, entries, disk, &filled, regions);
    if (result == DISK_OK && filled != regionCount) {
        VolumeRegion_DestroyArray(filled, regions);
        result = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "partition table: entries changed between two reads");
    }
    if (result != DISK_OK) {
        Mem_Free(regions);
        return result;
    }
    map->bytesPerSector = bytesPerSector;
    map->regionCount = regionCount;
    map->regions = regions;
    return DISK_OK;
}

// One entry over the whole disk, for a file system written from sector 0 without a table.
int BuildWholeDisk(UsedSectorMap* map, const DiskHandle* disk)
{
    DiskGeometry g;
    if (!TakeGeometry(disk, &g)) {
        return DISK_ERR_ARG;
    }
    PartitionEntry whole;
    whole.first = 0;
    whole.count = Geometry_GetTotalSectors(&g);
    whole.type = 0;
    UsedMap_Destroy(map);
    map->bytesPerSector = g.bytes_per_sector;
    return BuildFromEntries(map, disk, &whole, 1, g.bytes_per_sector);
}

}  // namespace

// ---- Region level ----------------------------------------------------------------------------

FsKind Fs_KindFromMbrType(uint8_t type)
{
    switch (type) {
    case 0x07:
        return FS_KIND_NTFS;
    case 0x83:
        return FS_KIND_EXT;
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0B:
    case 0x0C:
    case 0x0E:
        return FS_KIND_FAT;
    case 0xFB:
        return FS_KIND_UNSUPPORTED;
    default:
        return FS_KIND_NONE;
    }
}

VolumeRegion* VolumeRegion_Alloc()
{
    return static_cast<VolumeRegion*>(Mem_Alloc(sizeof(VolumeRegion)));
}

void VolumeRegion_Init(VolumeRegion* region) { SetRegion(region, 0, 0, FS_KIND_NONE); }

void VolumeRegion_Destroy(VolumeRegion* region)
{
    if (IsKnownKind(region->kind)) {
        if (region->object != nullptr) {
            FsDestroyFn destroy = FsDestroyTable[region->kind];
            if (destroy != nullptr) {
                destroy(region->object);
            }
            Mem_Free(region->object);
        }
        region->object = nullptr;
        region->kind = FS_KIND_NONE;
    }
}

void VolumeRegion_DestroyArray(uint32_t count, VolumeRegion* regions)
{
    if (regions == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        VolumeRegion_Destroy(&regions[i]);
    }
}

int Fs_AttachKind(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count,
                  FsKind kind)
{
    if (!IsKnownKind(kind)) {
        SetRegion(region, first, count, FS_KIND_NONE);
        return DISK_OK;
    }
    FsAttachFn attach = FsAttachTable[kind];
    if (attach == nullptr || FsUsedBitsTable[kind] == nullptr) {
        return DISK_ERR_UNSUPPORTED;
    }
    VolumeRegion attached;
    VolumeRegion_Init(&attached);
    int result = attach(&attached, disk, first, count);
    if (result != DISK_OK) {
        return result;
    }
    // A driver that accepted must describe exactly the partition it was given.
    if (attached.kind != kind || attached.first != first || attached.count != count ||
        attached.object == nullptr) {
        if (attached.object != nullptr) {
            if (FsDestroyTable[kind] != nullptr) {
                FsDestroyTable[kind](attached.object);
            }
            Mem_Free(attached.object);
        }
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "file system: its driver described another region");
    }
    *region = attached;
    return DISK_OK;
}

int Fs_AttachAny(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    VolumeRegion chosen;
    VolumeRegion_Init(&chosen);
    uint32_t accepted = 0;
    for (FsKind kind = 0; kind < static_cast<FsKind>(FS_KIND_COUNT); ++kind) {
        VolumeRegion candidate;
        VolumeRegion_Init(&candidate);
        if (Fs_AttachKind(&candidate, disk, first, count, kind) != DISK_OK) {
            continue;
        }
        ++accepted;
        if (accepted == 1) {
            chosen = candidate;
        } else {
            VolumeRegion_Destroy(&candidate);
        }
    }
    if (accepted != 1) {
        // Two file systems claim the same sectors: one of them is stale, and trusting the wrong
        // one would call live data free.
        VolumeRegion_Destroy(&chosen);
        return DISK_ERR_ARG;
    }
    *region = chosen;
    return DISK_OK;
}

void Fs_SetBits(uint8_t* bitmap, uint32_t bitOffset, uint32_t count, bool value)
{
    uint64_t bit = bitOffset;
    uint64_t end = bit + count;
    while (bit < end && (bit & 7) != 0) {
        Bitmap_SetBit(bitmap, static_cast<uint32_t>(bit), value);
        ++bit;
    }
    if (end - bit >= 8) {
        uint64_t bytes = (end - bit) / 8;
        std::memset(bitmap + bit / 8, value ? 0xFF : 0x00, static_cast<size_t>(bytes));
        bit += bytes * 8;
    }
    while (bit < end) {
        Bitmap_SetBit(bitmap, static_cast<uint32_t>(bit), value);
        ++bit;
    }
}

int Fs_FillBitsFromByteRanges(const void* object, FsByteRangeUsedFn isUsed, uint32_t bytesPerSector,
                              uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset)
{
    if (bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    uint64_t last;
    uint64_t endByte;
    if (count != 0 &&
        (!Math_AddU64(first, count, &last) || !Math_MulU64(last, bytesPerSector, &endByte))) {
        return DISK_ERR_ARG;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t offset = (first + i) * bytesPerSector;
        Bitmap_SetBit(bitmap, bitOffset + i, isUsed(object, offset, bytesPerSector));
    }
    return DISK_OK;
}

int VolumeRegion_FillUsedBits(const VolumeRegion* region, uint64_t first, uint32_t count,
                              uint8_t* bitmap, uint32_t bitOffset)
{
    if (IsKnownKind(region->kind) && region->object != nullptr) {
        FsUsedBitsFn fill = FsUsedBitsTable[region->kind];
        if (fill != nullptr) {
            return fill(region->object, first, count, bitmap, bitOffset);
        }
    }
    Fs_SetBits(bitmap, bitOffset, count, true);
    return DISK_OK;
}

int VolumeRegion_TestData(const VolumeRegion* region, uint64_t offset, uint32_t length,
                          const uint8_t* data, bool* empty, uint64_t* bytesBefore)
{
    if (IsKnownKind(region->kind) && region->object != nullptr) {
        FsTestDataFn test = FsTestDataTable[region->kind];
        if (test != nullptr) {
            return test(region->object, offset, length, data, empty, bytesBefore);
        }
    }
    // Without its own test every byte of the piece counts as used.
    *empty = data != nullptr && Mem_IsZero(data, length);
    if (!*empty && bytesBefore != nullptr) {
        *bytesBefore = 0;
    }
    return DISK_OK;
}

int Fs_BuildRegions(uint32_t entryCount, PartitionEntry* entries, const DiskHandle* disk,
                    uint32_t* regionCount, VolumeRegion* regions)
{
    DiskGeometry g;
    if (!TakeGeometry(disk, &g)) {
        return DISK_ERR_ARG;
    }
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const uint32_t capacity = regions != nullptr ? *regionCount : 0;
    uint64_t pos = 0;
    uint32_t r = 0;
    int result = DISK_OK;

    for (uint32_t i = 0; i < entryCount; ++i) {
        PartitionEntry* e = &entries[i];
        if (e->first < pos) {
            result = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "partition table: partitions overlap");
            break;
        }
        if (e->count == 0) {
            result = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "partition table: an empty partition");
            break;
        }
        if (e->first >= total) {
            result = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                      "partition table: a partition starts past the disk end");
            break;
        }
        if (e->first > pos) {
            if (regions != nullptr) {
                if (r >= capacity) {
                    result = DISK_ERR_ARG;
                    break;
                }
                SetRegion(&regions[r], pos, e->first - pos, FS_KIND_GAP);
            }
            ++r;
            pos = e->first;
        }
        if (e->count > total - pos) {
            if (i + 1 != entryCount) {
                result =
                    Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                     "partition table: a partition other than the last passes the "
                                     "disk end");
                break;
            }
            e->count = total - pos;
        }
        if (regions != nullptr) {
            if (r >= capacity) {
                result = DISK_ERR_ARG;
                break;
            }
            VolumeRegion* region = &regions[r];
            FsKind kind = Fs_KindFromMbrType(e->type);
            int attached = DISK_ERR_UNSUPPORTED;
            if (kind != FS_KIND_NONE) {
                attached = Fs_AttachKind(region, disk, pos, e->count, kind);
            }
            if (attached != DISK_OK) {
                attached = Fs_AttachAny(region, disk, pos, e->count);
            }
            if (attached != DISK_OK) {
                SetRegion(region, pos, e->count, FS_KIND_NONE);
            }
        }
        ++r;
        pos += e->count;  // pos + count <= total
    }
    if (result == DISK_OK && pos < total) {
        if (regions != nullptr) {
            if (r >= capacity) {
                result = DISK_ERR_ARG;
            } else {
                SetRegion(&regions[r], pos, total - pos, FS_KIND_GAP);
            }
        }
        ++r;
    }
    if (result != DISK_OK) {
        if (regions != nullptr) {
            VolumeRegion_DestroyArray(r < capacity ? r : capacity, regions);
        }
        return result;
    }
    *regionCount = r;
    return DISK_OK;
}

int Fs_BuildBitmap(uint32_t regionCount, const VolumeRegion* regions, uint64_t first, int32_t count,
                   uint8_t* bitmap)
{
    if (count < 0) {
        return DISK_ERR_ARG;
    }
    if (regionCount == 0) {
        Fs_SetBits(bitmap, 0, static_cast<uint32_t>(count), true);
        return DISK_OK;
    }
    int64_t index = FindRegionBySector(regionCount, regions, first);
    if (index < 0) {
        return DISK_ERR_ARG;
    }
    uint32_t remaining = static_cast<uint32_t>(count);
    uint32_t done = 0;
    uint64_t relative = first - regions[index].first;
    for (uint32_t i = static_cast<uint32_t>(index); remaining != 0; ++i) {
        if (i >= regionCount) {
            return DISK_ERR_ARG;
        }
        const VolumeRegion* region = &regions[i];
        uint64_t left = region->count - relative;
        uint32_t piece = left < remaining ? static_cast<uint32_t>(left) : remaining;
        int result = VolumeRegion_FillUsedBits(region, relative, piece, bitmap, done);
        if (result != DISK_OK) {
            return result;
        }
        done += piece;
        remaining -= piece;
        relative = 0;
    }
    return DISK_OK;
}

int Fs_CompareRegionStart(const void* collection, uint32_t index, const void* key, void* user)
{
    const VolumeRegion* regions = static_cast<const VolumeRegion*>(collection);
    uint64_t bytesPerSector = *static_cast<const uint32_t*>(user);
    uint64_t offset = *static_cast<const uint64_t*>(key);
    uint64_t start;
    if (!Math_MulU64(regions[index].first, bytesPerSector, &start)) {
        return 1;
    }
    if (start < offset) {
        return -1;
    }
    return start > offset ? 1 : 0;
}

int Fs_ScanRangeForData(uint32_t regionCount, const VolumeRegion* regions, uint32_t bytesPerSector,
                        uint64_t offset, int32_t length, const uint8_t* data, bool* empty,
                        uint64_t* bytesBefore)
{
    if (length < 0 || bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    if (regionCount == 0) {
        // Without regions every sector counts as used.
        if (length == 0) {
            return DISK_OK;
        }
        *empty = data != nullptr && Mem_IsZero(data, static_cast<uint32_t>(length));
        if (!*empty && bytesBefore != nullptr) {
            *bytesBefore = 0;
        }
        return DISK_OK;
    }
    const VolumeRegion* last = &regions[regionCount - 1];
    uint64_t endSector;
    uint64_t endByte;
    uint64_t rangeEnd;
    if (!Math_AddU64(last->first, last->count, &endSector) ||
        !Math_MulU64(endSector, bytesPerSector, &endByte) ||
        !Math_AddU64(offset, static_cast<uint64_t>(length), &rangeEnd) || offset >= endByte ||
        rangeEnd > endByte) {
        return DISK_ERR_ARG;
    }
    uint32_t bps = bytesPerSector;
    int64_t found = Algo_BinarySearch(regions, regionCount, &offset, Fs_CompareRegionStart, &bps);
    if (found < 0) {
        return DISK_ERR_ARG;
    }
    if (length == 0) {
        return DISK_OK;
    }
    uint32_t index = static_cast<uint32_t>(found);
    uint64_t relative = offset - regions[index].first * bytesPerSector;
    uint32_t remaining = static_cast<uint32_t>(length);
    uint64_t done = 0;
    const uint8_t* cursor = data;
    for (; index < regionCount; ++index) {
        const VolumeRegion* region = &regions[index];
        uint64_t regionBytes = region->count * bytesPerSector;  // inside endByte
        if (relative >= regionBytes) {
            return DISK_ERR_ARG;
        }
        uint64_t left = regionBytes - relative;
        uint32_t piece = left < remaining ? static_cast<uint32_t>(left) : remaining;
        bool pieceEmpty = true;
        uint64_t pieceBefore = 0;
        int result = VolumeRegion_TestData(region, relative, piece, cursor, &pieceEmpty,
                                           cursor == nullptr ? &pieceBefore : nullptr);
        if (result != DISK_OK) {
            return result;
        }
        if (!pieceEmpty) {
            *empty = false;
            if (bytesBefore != nullptr) {
                *bytesBefore = done + (cursor == nullptr ? pieceBefore : 0);
            }
            return DISK_OK;
        }
        if (cursor != nullptr) {
            cursor += piece;
        }
        done += piece;
        remaining -= piece;
        if (remaining == 0) {
            *empty = true;
            return DISK_OK;
        }
        relative = 0;
    }
    return DISK_ERR_ARG;
}

// ---- Map level --------------------------------------------------------------------------------

UsedSectorMap* UsedMap_Alloc()
{
    return static_cast<UsedSectorMap*>(Mem_Alloc(sizeof(UsedSectorMap)));
}

void UsedMap_Init(UsedSectorMap* map)
{
    map->bytesPerSector = 0;
    map->regionCount = 0;
    map->regions = nullptr;
}

void UsedMap_Destroy(UsedSectorMap* map)
{
    if (map->regions != nullptr) {
        VolumeRegion_DestroyArray(map->regionCount, map->regions);
        Mem_Free(map->regions);
    }
    UsedMap_Init(map);
}

int UsedMap_BuildFromPartitions(UsedSectorMap* map, const DiskHandle* disk)
{
    UsedMap_Destroy(map);
    DiskGeometry g;
    if (!TakeGeometry(disk, &g)) {
        return DISK_ERR_ARG;
    }
    map->bytesPerSector = g.bytes_per_sector;
    uint32_t counted = 0;
    int result = Partition_ReadMbr(disk, 0, kMaxPartitions, &counted, nullptr);
    if (result != DISK_OK || counted == 0) {
        return result;
    }
    PartitionEntry* entries = static_cast<PartitionEntry*>(
        Mem_Alloc(counted * static_cast<uint32_t>(sizeof(PartitionEntry))));
    if (entries == nullptr) {
        return DISK_ERR_NOMEM;
    }
    uint32_t filled = 0;
    result = Partition_ReadMbr(disk, 0, counted, &filled, entries);
    if (result == DISK_OK && filled != counted) {
        result = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "partition table: entries changed between two reads");
    }
    if (result == DISK_OK) {
        result = BuildFromEntries(map, disk, entries, filled, g.bytes_per_sector);
    }
    Mem_Free(entries);
    return result;
}

int UsedMap_BuildFromPc98Table(UsedSectorMap* map, const DiskHandle* disk)
{
    UsedMap_Destroy(map);
    DiskGeometry g;
    if (!TakeGeometry(disk, &g)) {
        return DISK_ERR_ARG;
    }
    map->bytesPerSector = g.bytes_per_sector;
    uint32_t count = 0;
    int result = Partition_ReadPc98(disk, g.bytes_per_sector, kMaxPartitions, &count, nullptr);
    if (result != DISK_OK || count == 0) {
        return result;
    }
    Pc98PartitionRecord records[PC98_RECORD_COUNT];
    result = Partition_ReadPc98(disk, g.bytes_per_sector, count, &count, records);
    if (result != DISK_OK) {
        return result;
    }
    PartitionEntry entries[PC98_RECORD_COUNT];
    uint64_t cylinder = static_cast<uint64_t>(g.heads) * g.sectors_per_track;
    for (uint32_t i = 0; i < count; ++i) {
        const Pc98PartitionRecord* rec = &records[i];
        if (rec->endCylinder < rec->startCylinder) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "PC-98 partition record: end cylinder before the start cylinder");
        }
        // Cylinders hold at most 2^64 / 2^16 sectors here, so neither product wraps.
        if (cylinder > UINT64_MAX / 0x10000) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "PC-98 partition table: disk cylinders too large");
        }
        entries[i].first = rec->startCylinder * cylinder;
        entries[i].count = static_cast<uint64_t>(rec->endCylinder - rec->startCylinder) * cylinder;
        entries[i].type = 0;
    }
    return BuildFromEntries(map, disk, entries, count, g.bytes_per_sector);
}

UsedSectorMap* UsedMap_Create(const DiskHandle* disk, int* result, uint32_t* knownCount)
{
    *knownCount = 0;
    UsedSectorMap* map = UsedMap_Alloc();
    if (map == nullptr) {
        *result = DISK_ERR_NOMEM;
        return nullptr;
    }
    UsedMap_Init(map);
    int code = UsedMap_BuildFromPartitions(map, disk);
    int tableCode = DISK_OK;
    if (code == DISK_OK && map->regionCount == 0) {
        // The MBR lists nothing: a PC-98 table, or else a file system from sector 0.
        code = UsedMap_BuildFromPc98Table(map, disk);
        if (code == DISK_ERR_FORMAT || code == DISK_ERR_FS_CORRUPT) {
            tableCode = code;  // no PC-98 table (or none that holds together)
            code = DISK_OK;
            UsedMap_Destroy(map);
        }
        if (code == DISK_OK && map->regionCount == 0) {
            code = BuildWholeDisk(map, disk);
        }
    }
    if (code != DISK_OK) {
        UsedMap_Destroy(map);
        Mem_Free(map);
        *result = code;
        return nullptr;
    }
    uint32_t known = UsedMap_CountKnownRegions(map);
    *knownCount = known;
    if (known == 0) {
        UsedMap_Destroy(map);
        Mem_Free(map);
        *result = tableCode;
        return nullptr;
    }
    *result = DISK_OK;
    return map;
}

namespace {

// First sector after the map's last region (0 for a map without regions).
uint64_t MapEndSector(const UsedSectorMap* map)
{
    if (map->regionCount == 0) {
        return 0;
    }
    const VolumeRegion& last = map->regions[map->regionCount - 1];
    uint64_t end = 0;
    return Math_AddU64(last.first, last.count, &end) ? end : UINT64_MAX;
}

}  // namespace

int UsedMap_GetUsedBits(const UsedSectorMap* map, uint64_t first, int32_t count, uint8_t* bitmap)
{
    if (count < 0) {
        return DISK_ERR_ARG;
    }
    if (map->regionCount == 0) {
        return Fs_BuildBitmap(0, nullptr, first, count, bitmap);
    }
    // Sectors after the map's end (a disk grown past the one the map was built for) hold
    // whatever was put there: they count as used.
    const uint64_t end = MapEndSector(map);
    uint32_t inside = 0;
    if (first < end) {
        const uint64_t room = end - first;
        inside = room < static_cast<uint64_t>(count) ? static_cast<uint32_t>(room)
                                                     : static_cast<uint32_t>(count);
    }
    if (inside != 0) {
        int result = Fs_BuildBitmap(map->regionCount, map->regions, first,
                                    static_cast<int32_t>(inside), bitmap);
        if (result != DISK_OK) {
            return result;
        }
    }
    if (inside < static_cast<uint32_t>(count)) {
        Fs_SetBits(bitmap, inside, static_cast<uint32_t>(count) - inside, true);
    }
    return DISK_OK;
}

int UsedMap_IsDataEmpty(const UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                        const uint8_t* data)
{
    const uint32_t bytesPerSector = map->bytesPerSector;
    if (bytesPerSector == 0) {
        return DISK_ERR_ARG;
    }
    uint64_t dataBytes;
    if (!Math_MulU64(count, bytesPerSector, &dataBytes) || dataBytes > SIZE_MAX) {
        return DISK_ERR_ARG;
    }
    uint32_t chunk = count < kDataTestChunk ? count : kDataTestChunk;
    uint8_t* bits = static_cast<uint8_t*>(Mem_Alloc(chunk / 8 + 1));
    if (bits == nullptr) {
        return DISK_ERR_NOMEM;
    }
    bool allZero = true;
    int result = DISK_OK;
    for (uint32_t done = 0; done < count && allZero;) {
        uint32_t n = count - done < chunk ? count - done : chunk;
        result = UsedMap_GetUsedBits(map, first + done, static_cast<int32_t>(n), bits);
        if (result != DISK_OK) {
            break;
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (!Bitmap_TestBit(bits, i)) {
                continue;
            }
            const uint8_t* sector = data + static_cast<size_t>(done + i) * bytesPerSector;
            if (!Mem_IsZero(sector, bytesPerSector)) {
                allZero = false;
                break;
            }
        }
        done += n;
    }
    Mem_Free(bits);
    if (result == DISK_OK) {
        *empty = allZero;
    }
    return result;
}

int UsedMap_ScanRangeForData(const UsedSectorMap* map, uint64_t offset, int32_t length,
                             const uint8_t* data, bool* empty, uint64_t* bytesBefore)
{
    const uint32_t bytesPerSector = map->bytesPerSector;
    if (length == 0 && bytesPerSector != 0) {
        return DISK_OK;  // nothing to scan: the cells stay as they are
    }
    if (map->regionCount == 0 || length < 0 || bytesPerSector == 0) {
        return Fs_ScanRangeForData(map->regionCount, map->regions, bytesPerSector, offset, length,
                                   data, empty, bytesBefore);
    }
    // Bytes after the map's end count as used, as their sectors do.
    uint64_t endByte = 0;
    if (!Math_MulU64(MapEndSector(map), bytesPerSector, &endByte)) {
        endByte = UINT64_MAX;
    }
    uint32_t inside = 0;
    if (offset < endByte) {
        const uint64_t room = endByte - offset;
        inside = room < static_cast<uint64_t>(length) ? static_cast<uint32_t>(room)
                                                      : static_cast<uint32_t>(length);
    }
    if (inside != 0) {
        int result = Fs_ScanRangeForData(map->regionCount, map->regions, bytesPerSector, offset,
                                         static_cast<int32_t>(inside), data, empty, bytesBefore);
        if (result != DISK_OK || !*empty || inside == static_cast<uint32_t>(length)) {
            return result;
        }
    }
    VolumeRegion beyond;
    VolumeRegion_Init(&beyond);
    beyond.kind = FS_KIND_GAP;
    bool pieceEmpty = true;
    uint64_t pieceBefore = 0;
    int result = VolumeRegion_TestData(&beyond, 0, static_cast<uint32_t>(length) - inside,
                                       data == nullptr ? nullptr : data + inside, &pieceEmpty,
                                       data == nullptr ? &pieceBefore : nullptr);
    if (result != DISK_OK) {
        return result;
    }
    *empty = pieceEmpty;
    if (!pieceEmpty && bytesBefore != nullptr) {
        *bytesBefore = inside + (data == nullptr ? pieceBefore : 0);
    }
    return DISK_OK;
}

uint32_t UsedMap_CountKnownRegions(const UsedSectorMap* map)
{
    uint32_t known = 0;
    for (uint32_t i = 0; i < map->regionCount; ++i) {
        if (IsKnownKind(map->regions[i].kind)) {
            ++known;
        }
    }
    return known;
}
