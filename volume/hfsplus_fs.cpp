#include "volume/hfsplus_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"

namespace {

// Volume header fields (big-endian).
const uint32_t kHdrAttributes = 4;
const uint32_t kHdrBlockSize = 40;
const uint32_t kHdrTotalBlocks = 44;

// Fork-data record.
const uint32_t kForkLogicalSize = 0;
const uint32_t kForkTotalBlocks = 12;
const uint32_t kForkExtents = 16;

// Node descriptor.
const uint32_t kNodeDescriptor = 14;
const int8_t kKindLeaf = -1;
const int8_t kKindIndex = 0;
const int8_t kKindHeader = 1;
const uint32_t kHeaderRecordBytes = 106;
const uint32_t kExtentRecordBytes = 64;
const uint32_t kMaxKeyLength = 12;

// Largest piece of a fork read at a time.
const uint64_t kReadPiece = 16u << 20;

bool IsPow2(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t Base(const HfsPlusVolume* volume) { return volume->firstSector * volume->bytesPerSector; }

// Appends the non-empty descriptors of an eight-extent record (64 bytes). The sum of the blocks
// collected so far is *sum; every extent must lie inside the volume.
int TakeExtentRecord(const HfsPlusVolume* volume, const uint8_t* record, HfsExtent* extents,
                     uint32_t capacity, uint32_t* count, uint64_t* sum)
{
    for (uint32_t i = 0; i < 8; ++i) {
        const uint32_t start = Bytes_LoadBe32(record + i * 8);
        const uint32_t blocks = Bytes_LoadBe32(record + i * 8 + 4);
        if (blocks == 0) {
            continue;
        }
        if (static_cast<uint64_t>(start) + blocks > volume->totalBlocks) {
            return Refusal_Record("HFS+ extent: past the end of the volume");
        }
        if (extents != nullptr) {
            if (*count >= capacity) {
                return Refusal_Record("HFS+ fork: more extents than first counted");
            }
            extents[*count].startBlock = start;
            extents[*count].blockCount = blocks;
            extents[*count].fileBlock = static_cast<uint32_t>(*sum);
        }
        ++*count;
        *sum += blocks;
        if (*sum > UINT32_MAX) {
            return Refusal_Record("HFS+ fork: more than 2^32 blocks");
        }
    }
    return DISK_OK;
}

// Reads node `node` of the extents-overflow tree into buffer.
int ReadNode(const HfsPlusVolume* volume, const DiskHandle* disk, const HfsBTreeHeader* header,
             uint32_t node, uint8_t* buffer)
{
    if (node >= header->totalNodes) {
        return Refusal_Record("HFS+ extents tree: node number past the last node");
    }
    int rc = HfsPlus_ReadExtentsFile(volume, disk, static_cast<uint64_t>(node) * header->nodeSize,
                                     header->nodeSize, buffer);
    return rc == DISK_ERR_ARG
               ? Refusal_Record("HFS+ extents tree: node past the end of the extents file")
               : rc;
}

// Checks a node's descriptor against the kind and height expected. *records receives the record
// count, which leaves room for the offset table.
int CheckNode(const uint8_t* node, const HfsBTreeHeader* header, int8_t kind, uint32_t height,
              uint32_t* records)
{
    const int8_t nodeKind = static_cast<int8_t>(node[8]);
    const uint32_t n = Bytes_LoadBe16(node + 10);
    if (nodeKind != kind || node[9] != height ||
        kNodeDescriptor + 2 * static_cast<uint64_t>(n) > header->nodeSize) {
        return Refusal_Record("HFS+ extents tree: node of the wrong kind, height or record count");
    }
    *records = n;
    return DISK_OK;
}

// Record i of a node: its key and the offset of the bytes that follow the key. The key and
// `payload` bytes after it must lie inside the node, before its offset table.
int ReadRecord(const uint8_t* node, const HfsBTreeHeader* header, uint32_t records, uint32_t i,
               uint32_t payload, HfsExtentKey* key, uint32_t* dataAt)
{
    const uint32_t nodeSize = header->nodeSize;
    const uint32_t tableStart = nodeSize - 2 * records;
    const uint32_t offset = Bytes_LoadBe16(node + nodeSize - 2 * (i + 1));
    if (offset < kNodeDescriptor || static_cast<uint64_t>(offset) + 2 > tableStart) {
        return Refusal_Record("HFS+ extents tree: record offset out of range");
    }
    const uint32_t keyLength = Bytes_LoadBe16(node + offset);
    if (keyLength != HFSPLUS_EXTENT_KEY_LENGTH || keyLength > header->maxKeyLength ||
        static_cast<uint64_t>(offset) + 2 + keyLength + payload > tableStart) {
        return Refusal_Record("HFS+ extents tree: record key out of range");
    }
    key->keyLength = static_cast<uint16_t>(keyLength);
    key->forkType = node[offset + 2];
    key->fileId = Bytes_LoadBe32(node + offset + 4);
    key->startBlock = Bytes_LoadBe32(node + offset + 8);
    *dataAt = offset + 2 + keyLength;
    return DISK_OK;
}

// Converts the header record of the extents tree (after node 0's descriptor) to host order.
void TreeHeaderToHost(const uint8_t* h, HfsBTreeHeader* header)
{
    header->depth = Bytes_LoadBe16(h + 0);
    header->rootNode = Bytes_LoadBe32(h + 2);
    header->leafRecords = Bytes_LoadBe32(h + 6);
    header->firstLeaf = Bytes_LoadBe32(h + 10);
    header->lastLeaf = Bytes_LoadBe32(h + 14);
    header->nodeSize = Bytes_LoadBe16(h + 18);
    header->maxKeyLength = Bytes_LoadBe16(h + 20);
    header->totalNodes = Bytes_LoadBe32(h + 22);
    header->freeNodes = Bytes_LoadBe32(h + 26);
}

// DISK_OK when the tree header describes a non-empty tree this driver can walk.
int CheckTreeHeader(const HfsBTreeHeader* header)
{
    if (header->rootNode == 0 || header->leafRecords == 0 || header->firstLeaf == 0 ||
        header->lastLeaf == 0 || header->totalNodes == 0) {
        return Refusal_Record("HFS+ extents tree header: empty tree");
    }
    if (header->nodeSize < 512 || !IsPow2(header->nodeSize)) {
        return Refusal_Record("HFS+ extents tree header: node size out of range");
    }
    if (header->maxKeyLength > kMaxKeyLength) {
        return Refusal_Record("HFS+ extents tree header: key length out of range");
    }
    if (header->depth == 0 || header->depth > HFSPLUS_MAX_DEPTH) {
        return Refusal_Record("HFS+ extents tree header: depth out of range");
    }
    return DISK_OK;
}

int ReadTreeHeader(const HfsPlusVolume* volume, const DiskHandle* disk, HfsBTreeHeader* header)
{
    uint8_t node0[kNodeDescriptor + kHeaderRecordBytes];
    int rc = HfsPlus_ReadExtentsFile(volume, disk, 0, sizeof node0, node0);
    if (rc != DISK_OK) {
        return rc == DISK_ERR_ARG
                   ? Refusal_Record(
                         "HFS+ extents tree: header node past the end of the extents file")
                   : rc;
    }
    if (Bytes_LoadBe32(node0 + 4) != 0 || static_cast<int8_t>(node0[8]) != kKindHeader ||
        Bytes_LoadBe16(node0 + 10) != 3) {
        return Refusal_Record("HFS+ extents tree: header node malformed");
    }
    TreeHeaderToHost(node0 + kNodeDescriptor, header);
    return CheckTreeHeader(header);
}

bool TestBitMsb64(const uint8_t* bits, uint64_t n)
{
    return ((bits[n >> 3] >> (7 - (n & 7))) & 1) != 0;
}

}  // namespace

HfsPlusVolume* HfsPlus_Alloc()
{
    return static_cast<HfsPlusVolume*>(Mem_Alloc(sizeof(HfsPlusVolume)));
}

void HfsPlus_Init(HfsPlusVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void HfsPlus_Destroy(void* object)
{
    HfsPlusVolume* volume = static_cast<HfsPlusVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    Mem_Free(volume->bitmap);
    HfsPlus_Init(volume);
}

int HfsPlus_CompareExtentKey(const HfsExtentKey* a, const HfsExtentKey* b)
{
    if (a->fileId != b->fileId) {
        return a->fileId < b->fileId ? -1 : 1;
    }
    if (a->forkType != b->forkType) {
        return a->forkType < b->forkType ? -1 : 1;
    }
    if (a->startBlock != b->startBlock) {
        return a->startBlock < b->startBlock ? -1 : 1;
    }
    return 0;
}

int HfsPlus_ReadForkBytes(const HfsPlusVolume* volume, const DiskHandle* disk,
                          const HfsExtent* extents, uint32_t extentCount, uint64_t offset,
                          uint64_t length, uint8_t* buffer)
{
    if (length == 0) {
        return DISK_OK;
    }
    if (extentCount == 0 || volume->blockSize == 0) {
        return DISK_ERR_ARG;
    }
    const HfsExtent& last = extents[extentCount - 1];
    const uint64_t limit =
        (static_cast<uint64_t>(last.fileBlock) + last.blockCount) * volume->blockSize;
    if (offset > limit || length > limit - offset) {
        return DISK_ERR_ARG;
    }
    // The extent holding the first byte: the last one whose first file block is not above it.
    const uint64_t firstBlock = offset / volume->blockSize;
    uint32_t lo = 0;
    uint32_t hi = extentCount;
    while (hi - lo > 1) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (extents[mid].fileBlock <= firstBlock) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    uint32_t e = lo;
    uint64_t at = offset;
    uint64_t done = 0;
    while (done < length) {
        if (e >= extentCount) {
            return DISK_ERR_ARG;
        }
        const HfsExtent& x = extents[e];
        const uint64_t extentStart = static_cast<uint64_t>(x.fileBlock) * volume->blockSize;
        const uint64_t extentEnd =
            extentStart + static_cast<uint64_t>(x.blockCount) * volume->blockSize;
        if (at < extentStart || at >= extentEnd) {
            ++e;
            continue;
        }
        uint64_t piece = extentEnd - at;
        if (piece > length - done) {
            piece = length - done;
        }
        if (piece > kReadPiece) {
            piece = kReadPiece;
        }
        const uint64_t disk_at = Base(volume) +
                                 static_cast<uint64_t>(x.startBlock) * volume->blockSize +
                                 (at - extentStart);
        int rc = Disk_Read(disk, disk_at, static_cast<uint32_t>(piece), buffer + done);
        if (rc != DISK_OK) {
            return rc;
        }
        done += piece;
        at += piece;
    }
    return DISK_OK;
}

int HfsPlus_ReadExtentsFile(const HfsPlusVolume* volume, const DiskHandle* disk, uint64_t offset,
                            uint64_t length, uint8_t* buffer)
{
    return HfsPlus_ReadForkBytes(volume, disk, volume->overflowExtents, volume->overflowCount,
                                 offset, length, buffer);
}

int HfsPlus_SearchTree(const HfsPlusVolume* volume, const DiskHandle* disk, uint32_t node,
                       uint32_t height, const HfsBTreeHeader* header, HfsKeyCompareFn compare,
                       const HfsExtentKey* key, uint8_t* nodeBuffer, bool* found,
                       uint32_t* leafNode, uint32_t* record)
{
    *found = false;
    // Each level down is one height lower, so the descent ends after at most the tree's depth.
    if (height == 0 || height > header->depth) {
        return Refusal_Record("HFS+ extents tree: descent deeper than the tree");
    }
    int rc = ReadNode(volume, disk, header, node, nodeBuffer);
    if (rc != DISK_OK) {
        return rc;
    }
    const bool leaf = height == 1;
    uint32_t records = 0;
    rc = CheckNode(nodeBuffer, header, leaf ? kKindLeaf : kKindIndex, height, &records);
    if (rc != DISK_OK) {
        return rc;
    }
    if (records == 0) {
        return DISK_OK;  // an empty node: the key is absent
    }
    const uint32_t payload = leaf ? kExtentRecordBytes : 4;
    int64_t chosen = -1;
    uint32_t chosenAt = 0;
    for (uint32_t i = 0; i < records; ++i) {
        HfsExtentKey k = {};
        uint32_t dataAt = 0;
        rc = ReadRecord(nodeBuffer, header, records, i, payload, &k, &dataAt);
        if (rc != DISK_OK) {
            return rc;
        }
        const int c = compare(&k, key);
        if (leaf && c == 0) {
            *found = true;
            *leafNode = node;
            *record = i;
            return DISK_OK;
        }
        if (c > 0) {
            break;
        }
        chosen = i;
        chosenAt = dataAt;
    }
    if (leaf) {
        *leafNode = node;
        *record = chosen < 0 ? 0 : static_cast<uint32_t>(chosen);
        return DISK_OK;
    }
    if (chosen < 0) {
        return DISK_OK;  // the key sorts before the whole subtree
    }
    const uint32_t child = Bytes_LoadBe32(nodeBuffer + chosenAt);
    return HfsPlus_SearchTree(volume, disk, child, height - 1, header, compare, key, nodeBuffer,
                              found, leafNode, record);
}

int HfsPlus_GetForkExtents(const HfsPlusVolume* volume, const DiskHandle* disk,
                           const uint8_t* forkData, uint32_t fileId, bool inlineOnly,
                           HfsExtent* extents, uint32_t* count)
{
    const uint32_t capacity = extents != nullptr ? *count : 0;
    *count = 0;
    const uint32_t forkBlocks = Bytes_LoadBe32(forkData + kForkTotalBlocks);
    uint64_t sum = 0;
    int rc = TakeExtentRecord(volume, forkData + kForkExtents, extents, capacity, count, &sum);
    if (rc != DISK_OK) {
        return rc;
    }
    if (sum > forkBlocks) {
        return Refusal_Record("HFS+ fork: extents hold more blocks than the fork");
    }
    if (sum == forkBlocks) {
        return DISK_OK;
    }
    if (inlineOnly) {
        return Refusal_Record("HFS+ extents file: its fork needs more than its inline extents");
    }

    HfsBTreeHeader header;
    rc = ReadTreeHeader(volume, disk, &header);
    if (rc != DISK_OK) {
        return rc;
    }
    uint8_t* node = static_cast<uint8_t*>(Mem_Alloc(header.nodeSize));
    if (node == nullptr) {
        return DISK_ERR_NOMEM;
    }
    HfsExtentKey key;
    key.keyLength = HFSPLUS_EXTENT_KEY_LENGTH;
    key.forkType = 0;
    key.fileId = fileId;
    key.startBlock = static_cast<uint32_t>(sum);
    bool found = false;
    uint32_t leafNode = 0;
    uint32_t record = 0;
    rc = HfsPlus_SearchTree(volume, disk, header.rootNode, header.depth, &header,
                            HfsPlus_CompareExtentKey, &key, node, &found, &leafNode, &record);
    if (rc == DISK_OK && !found) {
        rc = Refusal_Record("HFS+ extents tree: a piece of a fork is missing");
    }
    // Walk the leaves from the match on; the search left the matching leaf in the buffer.
    uint32_t visited = 1;
    while (rc == DISK_OK) {
        uint32_t records = 0;
        rc = CheckNode(node, &header, kKindLeaf, 1, &records);
        for (uint32_t i = record; rc == DISK_OK && i < records; ++i) {
            HfsExtentKey k = {};
            uint32_t dataAt = 0;
            rc = ReadRecord(node, &header, records, i, kExtentRecordBytes, &k, &dataAt);
            if (rc != DISK_OK) {
                break;
            }
            if (HfsPlus_CompareExtentKey(&k, &key) != 0) {
                rc = Refusal_Record("HFS+ extents tree: a piece of a fork is missing");
                break;
            }
            rc = TakeExtentRecord(volume, node + dataAt, extents, capacity, count, &sum);
            if (rc == DISK_OK && sum > forkBlocks) {
                rc = Refusal_Record("HFS+ fork: extents hold more blocks than the fork");
            }
            if (rc != DISK_OK) {
                break;
            }
            if (sum == forkBlocks) {
                Mem_Free(node);
                return DISK_OK;
            }
            key.startBlock = static_cast<uint32_t>(sum);
        }
        if (rc != DISK_OK) {
            break;
        }
        const uint32_t next = Bytes_LoadBe32(node);
        if (next == 0 || ++visited > header.totalNodes) {
            rc = Refusal_Record("HFS+ extents tree: the fork ends short or the leaf chain loops");
            break;
        }
        rc = ReadNode(volume, disk, &header, next, node);
        record = 0;
    }
    Mem_Free(node);
    return rc;
}

int HfsPlus_Open(HfsPlusVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    HfsPlus_Init(volume);
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
    if (partBytes < HFSPLUS_HEADER_OFFSET + HFSPLUS_HEADER_SIZE) {
        return Refusal_Record("HFS+ volume header: the partition is too small to hold it");
    }
    uint8_t* h = volume->header;
    int rc = Disk_Read(disk, base + HFSPLUS_HEADER_OFFSET, HFSPLUS_HEADER_SIZE, h);
    if (rc != DISK_OK) {
        HfsPlus_Init(volume);
        return rc;
    }
    const uint32_t signature = Bytes_LoadBe16(h);
    const uint32_t attributes = Bytes_LoadBe32(h + kHdrAttributes);
    const uint32_t blockSize = Bytes_LoadBe32(h + kHdrBlockSize);
    const uint32_t totalBlocks = Bytes_LoadBe32(h + kHdrTotalBlocks);
    uint64_t volumeBytes = 0;
    const char* refused = nullptr;
    if (signature != HFSPLUS_SIGNATURE && signature != HFSX_SIGNATURE) {
        refused = "HFS+ volume header: no signature";
    } else if ((attributes & HFSPLUS_ATTR_UNMOUNTED) == 0) {
        refused = "HFS+ volume header: the volume was not cleanly unmounted";
    } else if ((attributes & HFSPLUS_ATTR_INCONSISTENT) != 0) {
        refused = "HFS+ volume header: the volume is marked inconsistent";
    } else if (!IsPow2(blockSize) || blockSize < 512) {
        refused = "HFS+ volume header: block size out of range";
    } else if (totalBlocks == 0) {
        refused = "HFS+ volume header: no blocks";
    } else if (!Math_MulU64(totalBlocks, blockSize, &volumeBytes) || volumeBytes > partBytes) {
        refused = "HFS+ volume header: the volume is larger than its partition";
    }
    if (refused != nullptr) {
        HfsPlus_Init(volume);
        return Refusal_Record(refused);
    }
    volume->firstSector = first;
    volume->bytesPerSector = sectorBytes;
    volume->blockSize = blockSize;
    volume->totalBlocks = totalBlocks;
    volume->isHfsx = signature == HFSX_SIGNATURE ? 1 : 0;
    volume->sectorsPerBlock = blockSize / 512;

    // The extents-overflow file is described by its inline extents alone.
    volume->overflowCount = 8;
    rc = HfsPlus_GetForkExtents(volume, disk, h + HFSPLUS_FORK_EXTENTS, HFSPLUS_EXTENTS_FILE_ID,
                                true, volume->overflowExtents, &volume->overflowCount);
    if (rc != DISK_OK) {
        HfsPlus_Init(volume);
        return rc;
    }

    uint32_t n = 0;
    rc = HfsPlus_GetForkExtents(volume, disk, h + HFSPLUS_FORK_ALLOCATION,
                                HFSPLUS_ALLOCATION_FILE_ID, false, nullptr, &n);
    if (rc != DISK_OK) {
        HfsPlus_Init(volume);
        return rc;
    }
    if (n == 0) {
        HfsPlus_Init(volume);
        return Refusal_Record("HFS+ allocation file: no extents");
    }
    HfsExtent* extents =
        static_cast<HfsExtent*>(Mem_Alloc(static_cast<size_t>(n) * sizeof(HfsExtent)));
    if (extents == nullptr) {
        HfsPlus_Init(volume);
        return DISK_ERR_NOMEM;
    }
    uint32_t filled = n;
    rc = HfsPlus_GetForkExtents(volume, disk, h + HFSPLUS_FORK_ALLOCATION,
                                HFSPLUS_ALLOCATION_FILE_ID, false, extents, &filled);
    if (rc == DISK_OK && filled != n) {
        rc = Refusal_Record("HFS+ allocation file: extent count changed between passes");
    }
    // One bit per block of the volume, all inside the fork.
    const uint64_t need = (static_cast<uint64_t>(totalBlocks) + 7) / 8;
    if (rc == DISK_OK && Bytes_LoadBe64(h + HFSPLUS_FORK_ALLOCATION + kForkLogicalSize) < need) {
        rc = Refusal_Record("HFS+ allocation file: shorter than the volume needs");
    }
    uint8_t* bitmap = nullptr;
    if (rc == DISK_OK) {
        bitmap = static_cast<uint8_t*>(Mem_Alloc(static_cast<size_t>(need)));
        if (bitmap == nullptr) {
            rc = DISK_ERR_NOMEM;
        }
    }
    if (rc == DISK_OK) {
        rc = HfsPlus_ReadForkBytes(volume, disk, extents, n, 0, need, bitmap);
        if (rc == DISK_ERR_ARG) {
            rc = Refusal_Record("HFS+ allocation file: extents shorter than the volume needs");
        }
    }
    Mem_Free(extents);
    if (rc != DISK_OK) {
        Mem_Free(bitmap);
        HfsPlus_Init(volume);
        return rc;
    }
    volume->bitmap = bitmap;
    return DISK_OK;
}

bool HfsPlus_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const HfsPlusVolume* volume = static_cast<const HfsPlusVolume*>(object);
    if (volume->bitmap == nullptr || volume->blockSize == 0 || length == 0 ||
        offset > UINT64_MAX - (length - 1)) {
        return true;
    }
    const uint64_t lo = offset / volume->blockSize;
    const uint64_t hi = (offset + (length - 1)) / volume->blockSize;
    if (hi >= volume->totalBlocks) {
        return true;
    }
    for (uint64_t b = lo; b <= hi; ++b) {
        if (TestBitMsb64(volume->bitmap, b)) {
            return true;
        }
    }
    return false;
}

int HfsPlus_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                         uint32_t bitOffset)
{
    const HfsPlusVolume* volume = static_cast<const HfsPlusVolume*>(object);
    if (volume->bitmap == nullptr) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(volume, HfsPlus_IsByteRangeUsed, volume->bytesPerSector, first,
                                     count, bitmap, bitOffset);
}

int Fs_AttachHfsPlus(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    HfsPlusVolume* volume = HfsPlus_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    HfsPlus_Init(volume);
    int rc = HfsPlus_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        HfsPlus_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_HFSPLUS;
    region->object = volume;
    return DISK_OK;
}
