#include "volume/xfs_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"

namespace {

// Superblock fields (big-endian).
const uint32_t kSbBlockSize = 4;
const uint32_t kSbDataBlocks = 8;
const uint32_t kSbAgBlocks = 84;
const uint32_t kSbAgCount = 88;
const uint32_t kSbVersion = 100;
const uint32_t kSbSectorSize = 102;
const uint32_t kSbBlockLog = 120;
const uint32_t kSbSectorLog = 121;
const uint32_t kSbAgBlockLog = 124;
const uint32_t kSbInProgress = 126;
const uint32_t kSbLogStart = 48;
const uint32_t kSbLogBlocks = 96;

// Log: 512-byte basic blocks; every block starts with its cycle number except record headers,
// which start with the magic and carry the cycle next to it.
const uint32_t kLogBlock = 512;
const uint32_t kLogMagic = 0xFEEDBABE;
const uint32_t kLogHeaderVersion = 8;
const uint32_t kLogHeaderLength = 12;
const uint32_t kLogHeaderOps = 40;
const uint32_t kLogHeaderSize = 320;
const uint32_t kLogHeaderCycleSize = 32768;  // bytes of record covered by one header block
const uint8_t kLogClientLog = 0xAA;
const uint8_t kLogUnmount = 0x20;
// Blocks searched back from the head for the last record header (a record holds at most
// 256 KiB and eight header blocks), and blocks after the head that must belong to the previous
// cycle (the log writes up to eight 256 KiB buffers at a time, which may land out of order).
const uint32_t kLogHeaderSearch = 1024;
const uint32_t kLogTornWindow = 4096;

// Free-space header fields.
const uint32_t kAgfSequence = 8;
const uint32_t kAgfLength = 12;
const uint32_t kAgfBnoRoot = 16;
const uint32_t kAgfBnoLevels = 28;
const uint32_t kAgfFreeBlocks = 52;

const uint32_t kVersionMask = 0xF;
const uint32_t kVersion4 = 4;

bool TestBit64(const uint8_t* bits, uint64_t n) { return ((bits[n >> 3] >> (n & 7)) & 1) != 0; }

void ClearBits64(uint8_t* bits, uint64_t n, uint64_t count)
{
    uint64_t end = n + count;
    while (n < end && (n & 7) != 0) {
        bits[n >> 3] = static_cast<uint8_t>(bits[n >> 3] & ~(1u << (n & 7)));
        ++n;
    }
    if (end - n >= 8) {
        uint64_t bytes = (end - n) / 8;
        std::memset(bits + (n >> 3), 0, static_cast<size_t>(bytes));
        n += bytes * 8;
    }
    while (n < end) {
        bits[n >> 3] = static_cast<uint8_t>(bits[n >> 3] & ~(1u << (n & 7)));
        ++n;
    }
}

uint32_t Log2(uint32_t v)
{
    uint32_t l = 0;
    while ((1ull << l) < v) {
        ++l;
    }
    return l;
}

bool IsPow2(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The cycle number of log block i (block holds the block read), or the read code.
int LogCycle(const DiskHandle* disk, uint64_t logByte, uint64_t i, uint8_t* block, uint32_t* cycle)
{
    int rc = Disk_Read(disk, logByte + i * kLogBlock, kLogBlock, block);
    if (rc != DISK_OK) {
        return rc;
    }
    const uint32_t first = Bytes_LoadBe32(block);
    *cycle = first == kLogMagic ? Bytes_LoadBe32(block + 4) : first;
    return DISK_OK;
}

}  // namespace

int Xfs_CheckLogClean(const DiskHandle* disk, uint64_t logByte, uint64_t logBlocks)
{
    if (logBlocks < 2) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS log: too small");
    }
    uint8_t block[kLogBlock];
    uint32_t c0 = 0;
    uint32_t c = 0;
    int rc = LogCycle(disk, logByte, 0, block, &c0);
    if (rc == DISK_OK) {
        rc = LogCycle(disk, logByte, logBlocks - 1, block, &c);
    }
    if (rc != DISK_OK) {
        return rc;
    }
    if (c0 == 0) {
        // Nothing written: not a log this driver can judge.
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS log: never written");
    }
    // The head: the first block written in an earlier cycle (blocks [0, head) are of cycle c0).
    uint64_t head = logBlocks;
    if (c != c0) {
        uint64_t lo = 0;              // cycle c0
        uint64_t hi = logBlocks - 1;  // another cycle
        while (hi - lo > 1) {
            uint64_t mid = lo + (hi - lo) / 2;
            rc = LogCycle(disk, logByte, mid, block, &c);
            if (rc != DISK_OK) {
                return rc;
            }
            if (c == c0) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        head = hi;
        // Nothing of the current cycle may follow the head: that would be a record written out
        // of order just before the volume stopped.
        for (uint64_t i = head; i < logBlocks && i < head + kLogTornWindow; ++i) {
            rc = LogCycle(disk, logByte, i, block, &c);
            if (rc != DISK_OK) {
                return rc;
            }
            if (c == c0) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "XFS log: records written past its head");
            }
        }
    }
    // The last record before the head must be the unmount record alone, ending at the head.
    for (uint64_t back = 1; back <= kLogHeaderSearch && back <= head; ++back) {
        const uint64_t at = head - back;
        rc = Disk_Read(disk, logByte + at * kLogBlock, kLogBlock, block);
        if (rc != DISK_OK) {
            return rc;
        }
        if (Bytes_LoadBe32(block) != kLogMagic) {
            continue;
        }
        const uint32_t version = Bytes_LoadBe32(block + kLogHeaderVersion);
        const uint32_t length = Bytes_LoadBe32(block + kLogHeaderLength);
        const uint32_t size = Bytes_LoadBe32(block + kLogHeaderSize);
        uint64_t headerBlocks = 1;
        if (version == 2 && size > kLogHeaderCycleSize) {
            headerBlocks =
                (static_cast<uint64_t>(size) + kLogHeaderCycleSize - 1) / kLogHeaderCycleSize;
        }
        const uint64_t dataBlocks = (static_cast<uint64_t>(length) + kLogBlock - 1) / kLogBlock;
        if (Bytes_LoadBe32(block + 4) != c0 || (version != 1 && version != 2) ||
            Bytes_LoadBe32(block + kLogHeaderOps) != 1 || length < 12 ||
            at + headerBlocks + dataBlocks != head) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "XFS log: the last record is not a lone record ending at the head");
        }
        rc = Disk_Read(disk, logByte + (at + headerBlocks) * kLogBlock, kLogBlock, block);
        if (rc != DISK_OK) {
            return rc;
        }
        // Operation header: u32 transaction (its first word replaced by the cycle), u32 length,
        // u8 client, u8 flags.
        if (block[8] != kLogClientLog || (block[9] & kLogUnmount) == 0) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "XFS log: the last record is not an unmount record");
        }
        return DISK_OK;
    }
    return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS log: no record header before its head");
}

XfsVolume* Xfs_Alloc() { return static_cast<XfsVolume*>(Mem_Alloc(sizeof(XfsVolume))); }

void Xfs_Init(XfsVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void Xfs_Destroy(void* object)
{
    XfsVolume* volume = static_cast<XfsVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    Mem_Free(volume->bitmap);
    Xfs_Init(volume);
}

void Xfs_BtreeHeaderToHost(const uint8_t* raw, XfsBtreeHeader* header)
{
    header->magic = Bytes_LoadBe32(raw);
    header->level = Bytes_LoadBe16(raw + 4);
    header->records = Bytes_LoadBe16(raw + 6);
}

int Xfs_WalkFreeTree(XfsWalk* walk, uint32_t block, uint32_t level)
{
    if (level >= XFS_MAX_TREE_LEVELS) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS free-space tree: too deep");
    }
    if (block >= walk->groupLength) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space tree: block outside its group");
    }
    if (TestBit64(walk->visited, block)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS free-space tree: block reached twice");
    }
    walk->visited[block >> 3] =
        static_cast<uint8_t>(walk->visited[block >> 3] | (1u << (block & 7)));
    const uint32_t bs = walk->blockSize;
    uint8_t* buf = walk->block + static_cast<size_t>(level) * bs;
    int rc = Disk_Read(walk->disk, walk->groupByte + static_cast<uint64_t>(block) * bs, bs, buf);
    if (rc != DISK_OK) {
        return rc;
    }
    XfsBtreeHeader head;
    Xfs_BtreeHeaderToHost(buf, &head);
    if (head.magic != XFS_ABTB_MAGIC) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space tree: block without signature");
    }
    if (head.level != level) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space tree: block at the wrong level");
    }
    const uint32_t records = head.records;
    if (level == 0) {
        if (records > (bs - XFS_BTREE_HEADER) / 8) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "XFS free-space tree: more records than a leaf holds");
        }
        for (uint32_t i = 0; i < records; ++i) {
            const uint8_t* r = buf + XFS_BTREE_HEADER + i * 8;
            const uint64_t start = Bytes_LoadBe32(r);
            const uint64_t length = Bytes_LoadBe32(r + 4);
            // Ascending, non-overlapping, non-empty and inside the group.
            if (length == 0) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "XFS free-space tree: empty free extent");
            }
            if (start < walk->nextFree) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "XFS free-space tree: free extents out of order or over "
                                        "the group's headers");
            }
            if (start + length > walk->groupLength) {
                return Refusal_RecordAs(
                    DISK_ERR_FS_CORRUPT,
                    "XFS free-space tree: free extent past the end of its group");
            }
            if (start < walk->logEnd && walk->logFirst < start + length) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "XFS free-space tree: free extent over the log");
            }
            ClearBits64(walk->bitmap, walk->groupBit + start, length);
            walk->nextFree = start + length;
            walk->freeBlocks += length;
        }
        return DISK_OK;
    }
    const uint32_t maxRecords = (bs - XFS_BTREE_HEADER) / 12;
    if (records == 0 || records > maxRecords) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space tree: node record count out of range");
    }
    const uint8_t* pointers = buf + XFS_BTREE_HEADER + maxRecords * 8;
    for (uint32_t i = 0; i < records; ++i) {
        // The child's walk reuses the buffer of its own level only, so this one stays intact.
        rc = Xfs_WalkFreeTree(walk, Bytes_LoadBe32(pointers + i * 4), level - 1);
        if (rc != DISK_OK) {
            return rc;
        }
    }
    return DISK_OK;
}

void Xfs_SuperblockToHost(const uint8_t* raw, XfsSuperblock* sb)
{
    sb->magic = Bytes_LoadBe32(raw);
    sb->blockSize = Bytes_LoadBe32(raw + kSbBlockSize);
    sb->dataBlocks = Bytes_LoadBe64(raw + kSbDataBlocks);
    sb->logStart = Bytes_LoadBe64(raw + kSbLogStart);
    sb->agBlocks = Bytes_LoadBe32(raw + kSbAgBlocks);
    sb->agCount = Bytes_LoadBe32(raw + kSbAgCount);
    sb->logBlocks = Bytes_LoadBe32(raw + kSbLogBlocks);
    sb->version = Bytes_LoadBe16(raw + kSbVersion);
    sb->sectorSize = Bytes_LoadBe16(raw + kSbSectorSize);
    sb->blockLog = raw[kSbBlockLog];
    sb->sectorLog = raw[kSbSectorLog];
    sb->agBlockLog = raw[kSbAgBlockLog];
    sb->inProgress = raw[kSbInProgress];
}

int Xfs_CheckSuperblock(const XfsSuperblock& sb, uint64_t partBytes)
{
    if (sb.magic != XFS_SB_MAGIC) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS superblock: no signature");
    }
    // Version 5 keeps checksummed tree blocks this driver does not read; a volume that mkfs has
    // not finished is not to be trusted either.
    if ((sb.version & kVersionMask) != kVersion4) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS superblock: not a version 4 volume");
    }
    if (sb.inProgress != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS superblock: mkfs did not finish");
    }
    if (!IsPow2(sb.blockSize) || sb.blockSize < 512 || sb.blockSize > 65536 ||
        sb.blockLog != Log2(sb.blockSize)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS superblock: block size out of range");
    }
    if (!IsPow2(sb.sectorSize) || sb.sectorSize < 512 || sb.sectorSize > sb.blockSize ||
        sb.sectorLog != Log2(sb.sectorSize)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS superblock: sector size out of range");
    }
    if (sb.agBlocks < 8 || sb.agCount == 0 || sb.dataBlocks == 0 ||
        sb.agBlockLog != Log2(sb.agBlocks)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS superblock: allocation group size or count out of range");
    }
    // The groups tile the data blocks: all but the last are full.
    const uint64_t fullGroups = static_cast<uint64_t>(sb.agCount - 1) * sb.agBlocks;
    if (fullGroups >= sb.dataBlocks || sb.dataBlocks - fullGroups > sb.agBlocks) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS superblock: allocation groups do not cover the data blocks");
    }
    // The volume must fit its partition, which also bounds what is held in memory.
    uint64_t volumeBytes;
    if (!Math_MulU64(sb.dataBlocks, sb.blockSize, &volumeBytes) || volumeBytes > partBytes) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS superblock: the volume is larger than its partition");
    }
    const uint64_t logGroup = sb.agBlockLog >= 64 ? UINT64_MAX : sb.logStart >> sb.agBlockLog;
    const uint64_t logAgBlock = sb.logStart & ((1ull << sb.agBlockLog) - 1);
    if (sb.logStart == 0 || logGroup >= sb.agCount || sb.logBlocks == 0 ||
        logAgBlock + sb.logBlocks > sb.agBlocks ||
        logGroup * sb.agBlocks + logAgBlock + sb.logBlocks > sb.dataBlocks) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS superblock: the log is external or outside the volume");
    }
    return DISK_OK;
}

int Xfs_CheckGroupSuperblock(const XfsSuperblock& copy, const XfsSuperblock& primary)
{
    if (copy.magic != XFS_SB_MAGIC) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS allocation group superblock: no signature");
    }
    if (copy.blockSize != primary.blockSize || copy.agBlocks != primary.agBlocks ||
        copy.agCount != primary.agCount) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS allocation group superblock: differs from the primary one");
    }
    return DISK_OK;
}

void Xfs_AgfToHost(const uint8_t* raw, XfsAgf* agf)
{
    agf->magic = Bytes_LoadBe32(raw);
    agf->sequence = Bytes_LoadBe32(raw + kAgfSequence);
    agf->length = Bytes_LoadBe32(raw + kAgfLength);
    agf->bnoRoot = Bytes_LoadBe32(raw + kAgfBnoRoot);
    agf->bnoLevels = Bytes_LoadBe32(raw + kAgfBnoLevels);
    agf->freeBlocks = Bytes_LoadBe32(raw + kAgfFreeBlocks);
}

int Xfs_CheckAgf(const XfsAgf& agf, uint32_t group, uint64_t groupLength)
{
    if (agf.magic != XFS_AGF_MAGIC) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "XFS free-space header: no signature");
    }
    if (agf.sequence != group) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space header: belongs to another group");
    }
    if (agf.length != groupLength) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space header: group length does not match");
    }
    if (agf.bnoLevels == 0 || agf.bnoLevels > XFS_MAX_TREE_LEVELS) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS free-space header: tree depth out of range");
    }
    return DISK_OK;
}

void Xfs_DeriveLayout(const XfsSuperblock& sb, XfsLayout* layout)
{
    layout->blockSize = sb.blockSize;
    layout->sectorSize = sb.sectorSize;
    layout->dataBlocks = sb.dataBlocks;
    layout->agBlocks = sb.agBlocks;
    layout->agCount = sb.agCount;
    layout->logGroup = sb.logStart >> sb.agBlockLog;
    layout->logAgBlock = sb.logStart & ((1ull << sb.agBlockLog) - 1);
    layout->logBlocks = sb.logBlocks;
}

int Xfs_Open(XfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Xfs_Init(volume);
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
    if (partBytes < XFS_SB_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "XFS superblock: the partition is too small to hold it");
    }
    uint8_t raw[XFS_SB_BYTES];
    int rc = Disk_Read(disk, base, XFS_SB_BYTES, raw);
    if (rc != DISK_OK) {
        return rc;
    }
    XfsSuperblock sb;
    Xfs_SuperblockToHost(raw, &sb);
    rc = Xfs_CheckSuperblock(sb, partBytes);
    if (rc != DISK_OK) {
        return rc;
    }
    XfsLayout layout;
    Xfs_DeriveLayout(sb, &layout);
    const uint32_t blockSize = layout.blockSize;
    const uint32_t sectorSize = layout.sectorSize;

    // The free-space trees on disk are current only when the log holds nothing to replay.
    rc = Xfs_CheckLogClean(
        disk, base + (layout.logGroup * layout.agBlocks + layout.logAgBlock) * blockSize,
        layout.logBlocks * (blockSize / kLogBlock));
    if (rc != DISK_OK) {
        return rc;
    }

    const uint64_t mapBytes = (layout.dataBlocks + 7) / 8;
    const uint64_t visitedBytes = (static_cast<uint64_t>(layout.agBlocks) + 7) / 8;
    uint8_t* map = static_cast<uint8_t*>(Mem_Alloc(static_cast<size_t>(mapBytes)));
    uint8_t* visited = static_cast<uint8_t*>(Mem_Alloc(static_cast<size_t>(visitedBytes)));
    uint8_t* blocks =
        static_cast<uint8_t*>(Mem_Alloc(static_cast<size_t>(blockSize) * XFS_MAX_TREE_LEVELS));
    uint8_t* header = static_cast<uint8_t*>(Mem_Alloc(sectorSize));
    if (map == nullptr || visited == nullptr || blocks == nullptr || header == nullptr) {
        Mem_Free(map);
        Mem_Free(visited);
        Mem_Free(blocks);
        Mem_Free(header);
        return DISK_ERR_NOMEM;
    }
    std::memset(map, 0xFF, static_cast<size_t>(mapBytes));

    for (uint32_t group = 0; group < layout.agCount && rc == DISK_OK; ++group) {
        const uint64_t groupBlock = static_cast<uint64_t>(group) * layout.agBlocks;
        const uint64_t groupLength = group + 1 == layout.agCount
                                         ? layout.dataBlocks - groupBlock
                                         : static_cast<uint64_t>(layout.agBlocks);
        const uint64_t groupByte = base + groupBlock * blockSize;
        rc = Disk_Read(disk, groupByte, sectorSize, header);
        if (rc != DISK_OK) {
            break;
        }
        XfsSuperblock copy;
        Xfs_SuperblockToHost(header, &copy);
        rc = Xfs_CheckGroupSuperblock(copy, sb);
        if (rc != DISK_OK) {
            break;
        }
        // The free-space header is the group's second sector.
        rc = Disk_Read(disk, groupByte + sectorSize, sectorSize, header);
        if (rc != DISK_OK) {
            break;
        }
        XfsAgf agf;
        Xfs_AgfToHost(header, &agf);
        rc = Xfs_CheckAgf(agf, group, groupLength);
        if (rc != DISK_OK) {
            break;
        }
        std::memset(visited, 0, static_cast<size_t>(visitedBytes));
        XfsWalk walk;
        walk.disk = disk;
        walk.groupByte = groupByte;
        walk.groupBit = groupBlock;
        walk.blockSize = blockSize;
        walk.groupLength = static_cast<uint32_t>(groupLength);
        walk.block = blocks;
        walk.visited = visited;
        walk.bitmap = map;
        // The superblock, free-space header, inode header and free list take the group's first
        // four sectors.
        walk.nextFree = (4ull * sectorSize + blockSize - 1) / blockSize;
        walk.logFirst = group == layout.logGroup ? layout.logAgBlock : 0;
        walk.logEnd = group == layout.logGroup ? layout.logAgBlock + layout.logBlocks : 0;
        walk.freeBlocks = 0;
        rc = Xfs_WalkFreeTree(&walk, agf.bnoRoot, agf.bnoLevels - 1);
        // The tree must account for exactly the free blocks the group header counts.
        if (rc == DISK_OK && walk.freeBlocks != agf.freeBlocks) {
            rc =
                Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                 "XFS free-space header: free block count does not match its tree");
        }
    }
    Mem_Free(visited);
    Mem_Free(blocks);
    Mem_Free(header);
    if (rc != DISK_OK) {
        Mem_Free(map);
        return rc;
    }
    volume->firstSector = first;
    volume->bytesPerSector = sectorBytes;
    volume->sectorsPerBlock = blockSize / 512;
    volume->blockSize = blockSize;
    volume->blockCount = layout.dataBlocks;
    volume->bitmap = map;
    return DISK_OK;
}

bool Xfs_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const XfsVolume* volume = static_cast<const XfsVolume*>(object);
    if (volume->bitmap == nullptr || volume->blockSize == 0 || length == 0 ||
        offset > UINT64_MAX - (length - 1)) {
        return true;
    }
    const uint64_t lo = offset / volume->blockSize;
    const uint64_t hi = (offset + (length - 1)) / volume->blockSize;
    if (hi >= volume->blockCount) {
        return true;
    }
    for (uint64_t b = lo; b <= hi; ++b) {
        if (TestBit64(volume->bitmap, b)) {
            return true;
        }
    }
    return false;
}

int Xfs_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset)
{
    const XfsVolume* volume = static_cast<const XfsVolume*>(object);
    if (volume->bitmap == nullptr) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(volume, Xfs_IsByteRangeUsed, volume->bytesPerSector, first,
                                     count, bitmap, bitOffset);
}

int Fs_AttachXfs(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    XfsVolume* volume = Xfs_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    Xfs_Init(volume);
    int rc = Xfs_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        Xfs_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_XFS;
    region->object = volume;
    return DISK_OK;
}
