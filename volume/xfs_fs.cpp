#include "volume/xfs_fs.h"

#include <cstring>

#include "foundation/platform.h"

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
        return DISK_ERR_FS_CORRUPT;
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
        return DISK_ERR_FS_CORRUPT;  // nothing written: not a log this driver can judge
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
                return DISK_ERR_FS_CORRUPT;
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
            return DISK_ERR_FS_CORRUPT;
        }
        rc = Disk_Read(disk, logByte + (at + headerBlocks) * kLogBlock, kLogBlock, block);
        if (rc != DISK_OK) {
            return rc;
        }
        // Operation header: u32 transaction (its first word replaced by the cycle), u32 length,
        // u8 client, u8 flags.
        if (block[8] != kLogClientLog || (block[9] & kLogUnmount) == 0) {
            return DISK_ERR_FS_CORRUPT;
        }
        return DISK_OK;
    }
    return DISK_ERR_FS_CORRUPT;
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

int Xfs_WalkFreeTree(XfsWalk* walk, uint32_t block, uint32_t level)
{
    if (level >= XFS_MAX_TREE_LEVELS || block >= walk->groupLength ||
        TestBit64(walk->visited, block)) {
        return DISK_ERR_FS_CORRUPT;
    }
    walk->visited[block >> 3] =
        static_cast<uint8_t>(walk->visited[block >> 3] | (1u << (block & 7)));
    const uint32_t bs = walk->blockSize;
    uint8_t* buf = walk->block + static_cast<size_t>(level) * bs;
    int rc = Disk_Read(walk->disk, walk->groupByte + static_cast<uint64_t>(block) * bs, bs, buf);
    if (rc != DISK_OK) {
        return rc;
    }
    if (Bytes_LoadBe32(buf) != XFS_ABTB_MAGIC || Bytes_LoadBe16(buf + 4) != level) {
        return DISK_ERR_FS_CORRUPT;
    }
    const uint32_t records = Bytes_LoadBe16(buf + 6);
    if (level == 0) {
        if (records > (bs - XFS_BTREE_HEADER) / 8) {
            return DISK_ERR_FS_CORRUPT;
        }
        for (uint32_t i = 0; i < records; ++i) {
            const uint8_t* r = buf + XFS_BTREE_HEADER + i * 8;
            const uint64_t start = Bytes_LoadBe32(r);
            const uint64_t length = Bytes_LoadBe32(r + 4);
            // Ascending, non-overlapping, non-empty and inside the group.
            if (length == 0 || start < walk->nextFree || start + length > walk->groupLength ||
                (start < walk->logEnd && walk->logFirst < start + length)) {
                return DISK_ERR_FS_CORRUPT;
            }
            ClearBits64(walk->bitmap, walk->groupBit + start, length);
            walk->nextFree = start + length;
            walk->freeBlocks += length;
        }
        return DISK_OK;
    }
    const uint32_t maxRecords = (bs - XFS_BTREE_HEADER) / 12;
    if (records == 0 || records > maxRecords) {
        return DISK_ERR_FS_CORRUPT;
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
        return DISK_ERR_FS_CORRUPT;
    }
    uint8_t sb[XFS_SB_BYTES];
    int rc = Disk_Read(disk, base, XFS_SB_BYTES, sb);
    if (rc != DISK_OK) {
        return rc;
    }
    const uint32_t blockSize = Bytes_LoadBe32(sb + kSbBlockSize);
    const uint64_t dataBlocks = Bytes_LoadBe64(sb + kSbDataBlocks);
    const uint32_t agBlocks = Bytes_LoadBe32(sb + kSbAgBlocks);
    const uint32_t agCount = Bytes_LoadBe32(sb + kSbAgCount);
    const uint32_t version = Bytes_LoadBe16(sb + kSbVersion);
    const uint32_t sectorSize = Bytes_LoadBe16(sb + kSbSectorSize);
    if (Bytes_LoadBe32(sb) != XFS_SB_MAGIC) {
        return DISK_ERR_FS_CORRUPT;
    }
    // Version 5 keeps checksummed tree blocks this driver does not read; a volume that mkfs has
    // not finished is not to be trusted either.
    if ((version & kVersionMask) != kVersion4 || sb[kSbInProgress] != 0) {
        return DISK_ERR_FS_CORRUPT;
    }
    if (!IsPow2(blockSize) || blockSize < 512 || blockSize > 65536 ||
        sb[kSbBlockLog] != Log2(blockSize) || !IsPow2(sectorSize) || sectorSize < 512 ||
        sectorSize > blockSize || sb[kSbSectorLog] != Log2(sectorSize)) {
        return DISK_ERR_FS_CORRUPT;
    }
    if (agBlocks < 8 || agCount == 0 || dataBlocks == 0 || sb[kSbAgBlockLog] != Log2(agBlocks)) {
        return DISK_ERR_FS_CORRUPT;
    }
    // The groups tile the data blocks: all but the last are full.
    const uint64_t fullGroups = static_cast<uint64_t>(agCount - 1) * agBlocks;
    if (fullGroups >= dataBlocks || dataBlocks - fullGroups > agBlocks) {
        return DISK_ERR_FS_CORRUPT;
    }
    // The volume must fit its partition, which also bounds what is held in memory.
    uint64_t volumeBytes;
    if (!Math_MulU64(dataBlocks, blockSize, &volumeBytes) || volumeBytes > partBytes) {
        return DISK_ERR_FS_CORRUPT;
    }

    // The free-space trees on disk are current only when the log holds nothing to replay.
    const uint64_t logStart = Bytes_LoadBe64(sb + kSbLogStart);
    const uint64_t logBlocks = Bytes_LoadBe32(sb + kSbLogBlocks);
    const uint32_t agBlockLog = sb[kSbAgBlockLog];
    const uint64_t logGroup = agBlockLog >= 64 ? UINT64_MAX : logStart >> agBlockLog;
    const uint64_t logAgBlock = logStart & ((1ull << agBlockLog) - 1);
    if (logStart == 0 || logGroup >= agCount || logBlocks == 0 ||
        logAgBlock + logBlocks > agBlocks ||
        logGroup * agBlocks + logAgBlock + logBlocks > dataBlocks) {
        return DISK_ERR_FS_CORRUPT;  // an external log, or one outside the volume
    }
    rc = Xfs_CheckLogClean(disk, base + (logGroup * agBlocks + logAgBlock) * blockSize,
                           logBlocks * (blockSize / kLogBlock));
    if (rc != DISK_OK) {
        return rc;
    }

    const uint64_t mapBytes = (dataBlocks + 7) / 8;
    const uint64_t visitedBytes = (static_cast<uint64_t>(agBlocks) + 7) / 8;
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

    for (uint32_t group = 0; group < agCount && rc == DISK_OK; ++group) {
        const uint64_t groupBlock = static_cast<uint64_t>(group) * agBlocks;
        const uint64_t groupLength =
            group + 1 == agCount ? dataBlocks - groupBlock : static_cast<uint64_t>(agBlocks);
        const uint64_t groupByte = base + groupBlock * blockSize;
        rc = Disk_Read(disk, groupByte, sectorSize, header);
        if (rc != DISK_OK) {
            break;
        }
        if (Bytes_LoadBe32(header) != XFS_SB_MAGIC ||
            Bytes_LoadBe32(header + kSbBlockSize) != blockSize ||
            Bytes_LoadBe32(header + kSbAgBlocks) != agBlocks ||
            Bytes_LoadBe32(header + kSbAgCount) != agCount) {
            rc = DISK_ERR_FS_CORRUPT;
            break;
        }
        // The free-space header is the group's second sector.
        rc = Disk_Read(disk, groupByte + sectorSize, sectorSize, header);
        if (rc != DISK_OK) {
            break;
        }
        const uint32_t levels = Bytes_LoadBe32(header + kAgfBnoLevels);
        if (Bytes_LoadBe32(header) != XFS_AGF_MAGIC ||
            Bytes_LoadBe32(header + kAgfSequence) != group ||
            Bytes_LoadBe32(header + kAgfLength) != groupLength || levels == 0 ||
            levels > XFS_MAX_TREE_LEVELS) {
            rc = DISK_ERR_FS_CORRUPT;
            break;
        }
        const uint32_t freeBlocks = Bytes_LoadBe32(header + kAgfFreeBlocks);
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
        walk.logFirst = group == logGroup ? logAgBlock : 0;
        walk.logEnd = group == logGroup ? logAgBlock + logBlocks : 0;
        walk.freeBlocks = 0;
        rc = Xfs_WalkFreeTree(&walk, Bytes_LoadBe32(header + kAgfBnoRoot), levels - 1);
        // The tree must account for exactly the free blocks the group header counts.
        if (rc == DISK_OK && walk.freeBlocks != freeBlocks) {
            rc = DISK_ERR_FS_CORRUPT;
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
    volume->blockCount = dataBlocks;
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
