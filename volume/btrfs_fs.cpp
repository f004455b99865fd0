#include "volume/btrfs_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"

namespace {

const uint8_t kMagic[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
const uint32_t kSuperRead = 4096;
const uint32_t kSbMagic = 64;
const uint32_t kSbRoot = 80;
const uint32_t kSbChunkRoot = 88;
const uint32_t kSbDevices = 136;
const uint32_t kSbSectorSize = 144;
const uint32_t kSbNodeSize = 148;
const uint32_t kSbSysArraySize = 160;
const uint32_t kHdrBytenr = 48;
const uint32_t kHdrItems = 96;
const uint32_t kHdrLevel = 100;
const uint32_t kChunkStripes = 44;
const uint32_t kDevItemSize = 98;
const uint32_t kRangeItemSize = 24;
// Superblock copies: inside a data block group they must still count as used.
const uint64_t kSuperCopies[] = {0x10000ull, 0x4000000ull, 0x4000000000ull};
// Block-group profile bits (RAID0 and later): the stripes of such groups do not map linearly.
const uint64_t kProfileMask = ~0x7ull;

bool IsPow2(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

void KeyToHost(const uint8_t* p, BtrfsKey* key)
{
    key->objectId = Bytes_LoadLe64(p);
    key->type = p[8];
    key->offset = Bytes_LoadLe64(p + 9);
}

const BtrfsChunkMapping* MappingAt(const Array* a, uint32_t i)
{
    return static_cast<const BtrfsChunkMapping*>(a->data) + i;
}

int CompareMapping(void* collection, uint32_t i, uint32_t j, void*)
{
    const BtrfsChunkMapping* m = static_cast<const BtrfsChunkMapping*>(collection);
    if (m[i].logical != m[j].logical) {
        return m[i].logical < m[j].logical ? -1 : 1;
    }
    if (m[i].physical != m[j].physical) {
        return m[i].physical < m[j].physical ? -1 : 1;
    }
    return 0;
}

void SwapMapping(void* collection, uint32_t i, uint32_t j)
{
    BtrfsChunkMapping* m = static_cast<BtrfsChunkMapping*>(collection);
    BtrfsChunkMapping t = m[i];
    m[i] = m[j];
    m[j] = t;
}

int CompareMappingToAddress(const void* collection, uint32_t index, const void* key, void*)
{
    const BtrfsChunkMapping* m = static_cast<const BtrfsChunkMapping*>(collection) + index;
    const uint64_t address = *static_cast<const uint64_t*>(key);
    return m->logical < address ? -1 : (m->logical > address ? 1 : 0);
}

int CompareRangeToAddress(const void* collection, uint32_t index, const void* key, void*)
{
    const BtrfsRange* r = static_cast<const BtrfsRange*>(collection) + index;
    const uint64_t address = *static_cast<const uint64_t*>(key);
    return r->start < address ? -1 : (r->start > address ? 1 : 0);
}

// Adds a mapping after checking that it lies inside the partition.
int AddMapping(Array* map, const BtrfsReader* reader, uint64_t logical, uint64_t length,
               uint64_t physical, uint64_t firstSector)
{
    uint64_t end;
    uint64_t physEnd;
    if (length == 0 || !Math_AddU64(logical, length, &end) ||
        !Math_AddU64(physical, length, &physEnd) || physEnd > reader->partBytes) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs chunk: empty or outside the partition");
    }
    BtrfsChunkMapping m;
    m.logical = logical;
    m.length = length;
    m.physical = physical;
    m.disk = reader->disk;
    m.firstSector = firstSector;
    return Array_Push(map, &m) ? DISK_OK : DISK_ERR_NOMEM;
}

// Sorts a read map and refuses chunks that overlap in logical addresses.
int SortMap(Array* map)
{
    Array_Sort(map, CompareMapping, nullptr, SwapMapping);
    for (uint32_t i = 1; i < map->count; ++i) {
        const BtrfsChunkMapping* a = MappingAt(map, i - 1);
        if (a->logical + a->length > MappingAt(map, i)->logical) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs chunk: chunks overlap");
        }
    }
    return DISK_OK;
}

// Reads a tree node and checks its header: own address, level (when expected >= 0) and the room
// its items need.
int ReadNode(BtrfsReader* reader, uint64_t address, int expectedLevel, uint8_t* buffer,
             uint32_t* items, uint32_t* level)
{
    if (reader->nodesLeft == 0) {
        // More nodes than the partition can hold: the pointers loop.
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs tree: more nodes than the partition holds");
    }
    --reader->nodesLeft;
    int rc = Btrfs_ReadLogical(reader, address, reader->nodeSize, buffer);
    if (rc != DISK_OK) {
        return rc;
    }
    const uint32_t n = Bytes_LoadLe32(buffer + kHdrItems);
    const uint32_t l = buffer[kHdrLevel];
    if (Bytes_LoadLe64(buffer + kHdrBytenr) != address) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs tree node: its address does not match where it lies");
    }
    if (l >= BTRFS_MAX_LEVELS ||
        (expectedLevel >= 0 && l != static_cast<uint32_t>(expectedLevel))) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs tree node: level out of place");
    }
    const uint64_t per = l == 0 ? BTRFS_ITEM_SIZE : BTRFS_KEY_PTR_SIZE;
    if (BTRFS_HEADER_SIZE + per * n > reader->nodeSize) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs tree node: more items than the node holds");
    }
    *items = n;
    *level = l;
    return DISK_OK;
}

// Item `slot` of a checked leaf: its key and data, which must lie inside the node.
int LeafItem(const BtrfsReader* reader, const uint8_t* leaf, uint32_t slot, BtrfsKey* key,
             const uint8_t** data, uint32_t* size)
{
    const uint8_t* item = leaf + BTRFS_HEADER_SIZE + static_cast<size_t>(slot) * BTRFS_ITEM_SIZE;
    KeyToHost(item, key);
    const uint64_t offset = Bytes_LoadLe32(item + BTRFS_KEY_SIZE);
    const uint64_t length = Bytes_LoadLe32(item + BTRFS_KEY_SIZE + 4);
    if (BTRFS_HEADER_SIZE + offset + length > reader->nodeSize) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs tree item: data past the end of its node");
    }
    *data = leaf + BTRFS_HEADER_SIZE + offset;
    *size = static_cast<uint32_t>(length);
    return DISK_OK;
}

uint8_t* PathBuffer(BtrfsPath* path, const BtrfsReader* reader, uint32_t index)
{
    return path->buffers + static_cast<size_t>(index) * reader->nodeSize;
}

// Reads the node at address as the next entry of the path, one level below the top entry.
int PushNode(BtrfsReader* reader, BtrfsPath* path, uint64_t address)
{
    if (path->depth >= BTRFS_MAX_LEVELS) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs tree: deeper than the levels allowed");
    }
    int expected = -1;
    if (path->depth > 0) {
        const uint32_t parentLevel = PathBuffer(path, reader, path->depth - 1)[kHdrLevel];
        if (parentLevel == 0) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "Btrfs tree node: a leaf taken for an inner node");
        }
        expected = static_cast<int>(parentLevel) - 1;
    }
    uint32_t items = 0;
    uint32_t level = 0;
    int rc =
        ReadNode(reader, address, expected, PathBuffer(path, reader, path->depth), &items, &level);
    if (rc != DISK_OK) {
        return rc;
    }
    BtrfsPathEntry& e = path->entries[path->depth];
    e.node = address;
    e.items = items;
    e.slot = 0;
    ++path->depth;
    return DISK_OK;
}

uint64_t ChildAt(const uint8_t* node, uint32_t slot)
{
    return Bytes_LoadLe64(node + BTRFS_HEADER_SIZE +
                          static_cast<size_t>(slot) * BTRFS_KEY_PTR_SIZE + BTRFS_KEY_SIZE);
}

// From the top entry of the path (at its current slot) down along slot 0 to a leaf. Nodes below
// the root may not be empty.
int DescendFirst(BtrfsReader* reader, BtrfsPath* path)
{
    for (;;) {
        const uint32_t top = path->depth - 1;
        const uint8_t* node = PathBuffer(path, reader, top);
        if (node[kHdrLevel] == 0) {
            return DISK_OK;
        }
        int rc = PushNode(reader, path, ChildAt(node, path->entries[top].slot));
        if (rc != DISK_OK) {
            return rc;
        }
        if (path->entries[path->depth - 1].items == 0) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "Btrfs tree node: an inner node without items");
        }
    }
}

bool AllocPath(BtrfsPath* path, const BtrfsReader* reader)
{
    path->depth = 0;
    path->buffers =
        static_cast<uint8_t*>(Mem_Alloc(static_cast<size_t>(reader->nodeSize) * BTRFS_MAX_LEVELS));
    return path->buffers != nullptr;
}

// Budget of nodes for one tree: as many as the partition can hold.
void ResetBudget(BtrfsReader* reader)
{
    reader->nodesLeft = reader->partBytes / reader->nodeSize + 1;
}

struct ChunkContext {
    BtrfsVolume* volume;
};

int ChunkTreeVisitor(void* context, const BtrfsReader* reader, const uint8_t*, const BtrfsKey* key,
                     const uint8_t* data, uint32_t size)
{
    BtrfsVolume* volume = static_cast<ChunkContext*>(context)->volume;
    if (key->type == BTRFS_TYPE_DEV_ITEM) {
        return size == kDevItemSize
                   ? DISK_OK
                   : Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs device item: wrong size");
    }
    if (key->type != BTRFS_TYPE_CHUNK_ITEM) {
        return DISK_OK;
    }
    if (size < BTRFS_CHUNK_HEADER) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs chunk item: shorter than its header");
    }
    const uint32_t stripes = Bytes_LoadLe16(data + kChunkStripes);
    if (stripes == 0 ||
        BTRFS_CHUNK_HEADER + static_cast<uint64_t>(stripes) * BTRFS_STRIPE_SIZE > size) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs chunk item: stripe count out of range");
    }
    const uint64_t length = Bytes_LoadLe64(data);
    for (uint32_t s = 0; s < stripes; ++s) {
        const uint64_t physical =
            Bytes_LoadLe64(data + BTRFS_CHUNK_HEADER + s * BTRFS_STRIPE_SIZE + 8);
        int rc = AddMapping(&volume->stripes, reader, key->offset, length, physical,
                            volume->firstSector);
        if (rc == DISK_OK && s == 0) {
            rc = AddMapping(&volume->readMap, reader, key->offset, length, physical,
                            volume->firstSector);
        }
        if (rc != DISK_OK) {
            return rc;
        }
    }
    return DISK_OK;
}

struct ExtentContext {
    BtrfsVolume* volume;
    uint64_t previousEnd;
};

int ExtentTreeVisitor(void* context, const BtrfsReader*, const uint8_t*, const BtrfsKey* key,
                      const uint8_t* data, uint32_t size)
{
    ExtentContext* c = static_cast<ExtentContext*>(context);
    if (key->type != BTRFS_TYPE_BLOCK_GROUP && key->type != BTRFS_TYPE_EXTENT_ITEM) {
        return DISK_OK;
    }
    uint64_t end;
    if (key->objectId % 512 != 0 || key->offset % 512 != 0 || key->offset == 0 ||
        !Math_AddU64(key->objectId, key->offset, &end)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs extent item: range not sector-aligned or wraps");
    }
    BtrfsRange r;
    r.start = key->objectId;
    r.length = key->offset;
    if (key->type == BTRFS_TYPE_BLOCK_GROUP) {
        if (size != kRangeItemSize) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs block group item: wrong size");
        }
        r.value = Bytes_LoadLe64(data + 16);
        return Array_Push(&c->volume->blockGroups, &r) ? DISK_OK : DISK_ERR_NOMEM;
    }
    // Extents come in key order and may touch but never overlap.
    if (size < kRangeItemSize || key->objectId < c->previousEnd) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs extent item: too short or overlaps the previous extent");
    }
    c->previousEnd = end;
    r.value = Bytes_LoadLe64(data);
    return Array_Push(&c->volume->extents, &r) ? DISK_OK : DISK_ERR_NOMEM;
}

void FreeLists(BtrfsVolume* volume)
{
    Array_Free(&volume->readMap);
    Array_Free(&volume->stripes);
    Array_Free(&volume->blockGroups);
    Array_Free(&volume->extents);
}

bool CreateLists(BtrfsVolume* volume)
{
    return Array_CreateEmpty(&volume->readMap, sizeof(BtrfsChunkMapping), 32) &&
           Array_CreateEmpty(&volume->stripes, sizeof(BtrfsChunkMapping), 32) &&
           Array_CreateEmpty(&volume->blockGroups, sizeof(BtrfsRange), 32) &&
           Array_CreateEmpty(&volume->extents, sizeof(BtrfsRange), 32);
}

bool SetupReader(BtrfsReader* reader, const DiskHandle* disk, uint64_t first, uint64_t count,
                 uint32_t* sectorBytes)
{
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(disk, &g);
    *sectorBytes = g.bytes_per_sector;
    uint64_t end;
    reader->disk = disk;
    reader->nodeSize = 0;
    reader->map = nullptr;
    reader->nodesLeft = 0;
    return g.bytes_per_sector != 0 && Math_MulU64(first, g.bytes_per_sector, &reader->base) &&
           Math_MulU64(count, g.bytes_per_sector, &reader->partBytes) &&
           Math_AddU64(reader->base, reader->partBytes, &end);
}

}  // namespace

int Btrfs_CompareKey(const BtrfsKey* a, const BtrfsKey* b)
{
    if (a->objectId != b->objectId) {
        return a->objectId < b->objectId ? -1 : 1;
    }
    if (a->type != b->type) {
        return a->type < b->type ? -1 : 1;
    }
    if (a->offset != b->offset) {
        return a->offset < b->offset ? -1 : 1;
    }
    return 0;
}

void Btrfs_SetBits(uint32_t bitOffset, uint32_t count, uint8_t* bitmap, bool value)
{
    Fs_SetBits(bitmap, bitOffset, count, value);
}

int Btrfs_ReadLogical(const BtrfsReader* reader, uint64_t address, uint32_t length, uint8_t* buffer)
{
    const Array* map = reader->map;
    int64_t at = Array_BinarySearch(map, &address, CompareMappingToAddress, nullptr);
    if (at < 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs address: in no chunk");
    }
    uint32_t index = static_cast<uint32_t>(at);
    uint32_t done = 0;
    while (done < length) {
        if (index >= map->count) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs address: past the last chunk");
        }
        const BtrfsChunkMapping* m = MappingAt(map, index);
        if (address < m->logical || address - m->logical >= m->length) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs address: in a gap between chunks");
        }
        uint64_t piece = m->length - (address - m->logical);
        if (piece > length - done) {
            piece = length - done;
        }
        int rc = Disk_Read(reader->disk, reader->base + m->physical + (address - m->logical),
                           static_cast<uint32_t>(piece), buffer + done);
        if (rc != DISK_OK) {
            return rc;
        }
        done += static_cast<uint32_t>(piece);
        address += piece;
        ++index;
    }
    return DISK_OK;
}

int Btrfs_SearchTree(BtrfsReader* reader, uint64_t root, const BtrfsKey* key, int* result,
                     BtrfsPath* path, uint64_t* leaf, uint32_t* item)
{
    BtrfsPath local;
    BtrfsPath* p = path;
    if (p == nullptr) {
        if (!AllocPath(&local, reader)) {
            return DISK_ERR_NOMEM;
        }
        p = &local;
    }
    p->depth = 0;
    *result = -1;
    int rc = PushNode(reader, p, root);
    while (rc == DISK_OK) {
        const uint32_t top = p->depth - 1;
        const uint8_t* node = PathBuffer(p, reader, top);
        BtrfsPathEntry& e = p->entries[top];
        int64_t chosen = -1;
        int lastCompare = 1;
        for (uint32_t i = 0; i < e.items; ++i) {
            BtrfsKey k;
            const size_t per = node[kHdrLevel] == 0 ? BTRFS_ITEM_SIZE : BTRFS_KEY_PTR_SIZE;
            KeyToHost(node + BTRFS_HEADER_SIZE + i * per, &k);
            int c = Btrfs_CompareKey(&k, key);
            if (c > 0) {
                break;
            }
            chosen = i;
            lastCompare = c;
        }
        if (chosen < 0) {
            break;  // every key sorts after the search key
        }
        e.slot = static_cast<uint32_t>(chosen);
        if (node[kHdrLevel] == 0) {
            *result = lastCompare == 0 ? 0 : 1;
            *leaf = e.node;
            *item = e.slot;
            break;
        }
        rc = PushNode(reader, p, ChildAt(node, e.slot));
    }
    if (p == &local) {
        Mem_Free(local.buffers);
    }
    return rc;
}

int Btrfs_FirstItem(BtrfsReader* reader, uint64_t root, BtrfsPath* path, bool* found)
{
    *found = false;
    path->depth = 0;
    int rc = PushNode(reader, path, root);
    if (rc != DISK_OK) {
        return rc;
    }
    if (path->entries[0].items == 0) {
        return DISK_OK;  // an empty tree
    }
    rc = DescendFirst(reader, path);
    *found = rc == DISK_OK;
    return rc;
}

int Btrfs_NextItem(BtrfsReader* reader, BtrfsPath* path, uint64_t* leaf, uint32_t* item,
                   bool* found)
{
    *found = false;
    if (path->depth == 0) {
        return DISK_ERR_ARG;
    }
    BtrfsPathEntry* top = &path->entries[path->depth - 1];
    if (++top->slot >= top->items) {
        // Pop finished nodes, then go down along slot 0 from the next slot of the first
        // unfinished one.
        for (;;) {
            --path->depth;
            if (path->depth == 0) {
                return DISK_OK;
            }
            BtrfsPathEntry* e = &path->entries[path->depth - 1];
            if (++e->slot < e->items) {
                break;
            }
        }
        int rc = DescendFirst(reader, path);
        if (rc != DISK_OK) {
            return rc;
        }
        top = &path->entries[path->depth - 1];
    }
    *leaf = top->node;
    *item = top->slot;
    *found = true;
    return DISK_OK;
}

int Btrfs_WalkTree(BtrfsReader* reader, uint64_t root, BtrfsVisitorFn visitor, void* context)
{
    BtrfsPath path;
    if (!AllocPath(&path, reader)) {
        return DISK_ERR_NOMEM;
    }
    bool found = false;
    int rc = Btrfs_FirstItem(reader, root, &path, &found);
    while (rc == DISK_OK && found) {
        const uint32_t top = path.depth - 1;
        const uint8_t* leaf = PathBuffer(&path, reader, top);
        BtrfsKey key;
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        rc = LeafItem(reader, leaf, path.entries[top].slot, &key, &data, &size);
        if (rc == DISK_OK) {
            rc = visitor(context, reader, leaf, &key, data, size);
        }
        if (rc == DISK_OK) {
            uint64_t leafAddress = 0;
            uint32_t item = 0;
            rc = Btrfs_NextItem(reader, &path, &leafAddress, &item, &found);
        }
    }
    Mem_Free(path.buffers);
    return rc;
}

BtrfsVolume* Btrfs_Alloc() { return static_cast<BtrfsVolume*>(Mem_Alloc(sizeof(BtrfsVolume))); }

void Btrfs_Init(BtrfsVolume* volume)
{
    std::memset(volume, 0, sizeof *volume);
    Array_Init(&volume->readMap);
    Array_Init(&volume->stripes);
    Array_Init(&volume->blockGroups);
    Array_Init(&volume->extents);
}

void Btrfs_Destroy(void* object)
{
    BtrfsVolume* volume = static_cast<BtrfsVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    FreeLists(volume);
    Btrfs_Init(volume);
}

int Btrfs_ReadChunks(BtrfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    BtrfsReader reader;
    uint32_t sectorBytes = 0;
    if (!SetupReader(&reader, disk, first, count, &sectorBytes)) {
        return DISK_ERR_ARG;
    }
    if (reader.partBytes < BTRFS_SUPER_OFFSET + kSuperRead) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs superblock: the partition is too small to hold it");
    }
    uint8_t* sb = static_cast<uint8_t*>(Mem_Alloc(kSuperRead));
    if (sb == nullptr) {
        return DISK_ERR_NOMEM;
    }
    int rc = Disk_Read(disk, reader.base + BTRFS_SUPER_OFFSET, kSuperRead, sb);
    if (rc != DISK_OK) {
        Mem_Free(sb);
        return rc;
    }
    std::memcpy(volume->super, sb, BTRFS_SUPER_COPY);
    Mem_Free(sb);
    const uint8_t* s = volume->super;
    const uint32_t nodeSize = Bytes_LoadLe32(s + kSbNodeSize);
    const uint32_t sectorSize = Bytes_LoadLe32(s + kSbSectorSize);
    const uint32_t arraySize = Bytes_LoadLe32(s + kSbSysArraySize);
    // One device only: with more, the stripes of a chunk may lie elsewhere.
    if (std::memcmp(s + kSbMagic, kMagic, sizeof kMagic) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs superblock: no signature");
    }
    if (!IsPow2(nodeSize) || nodeSize < 4096 || nodeSize > 65536) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs superblock: node size out of range");
    }
    if (!IsPow2(sectorSize) || sectorSize < 512 || sectorSize > 65536) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs superblock: sector size out of range");
    }
    if (Bytes_LoadLe64(s + kSbDevices) != 1) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs superblock: the volume spans more than one device");
    }
    if (arraySize > BTRFS_SYS_CHUNK_ARRAY_MAX) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "Btrfs superblock: system chunk array too large");
    }
    volume->firstSector = first;
    volume->bytesPerSector = sectorBytes;
    volume->nodeSize = nodeSize;
    reader.nodeSize = nodeSize;

    Array bootstrap;
    Array_Init(&bootstrap);
    if (!Array_CreateEmpty(&bootstrap, sizeof(BtrfsChunkMapping), 32)) {
        return DISK_ERR_NOMEM;
    }
    const uint8_t* array = s + BTRFS_SYS_CHUNK_ARRAY;
    uint32_t pos = 0;
    while (rc == DISK_OK && pos < arraySize) {
        if (static_cast<uint64_t>(pos) + BTRFS_KEY_SIZE + BTRFS_CHUNK_HEADER > arraySize) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "Btrfs system chunk array: item past its end");
            break;
        }
        BtrfsKey key;
        KeyToHost(array + pos, &key);
        const uint8_t* chunk = array + pos + BTRFS_KEY_SIZE;
        const uint32_t stripes = Bytes_LoadLe16(chunk + kChunkStripes);
        const uint64_t itemEnd = static_cast<uint64_t>(pos) + BTRFS_KEY_SIZE + BTRFS_CHUNK_HEADER +
                                 static_cast<uint64_t>(stripes) * BTRFS_STRIPE_SIZE;
        if (key.type != BTRFS_TYPE_CHUNK_ITEM || stripes == 0 || itemEnd > arraySize) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "Btrfs system chunk array: malformed chunk item");
            break;
        }
        rc = AddMapping(&bootstrap, &reader, key.offset, Bytes_LoadLe64(chunk),
                        Bytes_LoadLe64(chunk + BTRFS_CHUNK_HEADER + 8), first);
        pos = static_cast<uint32_t>(itemEnd);
    }
    if (rc == DISK_OK && bootstrap.count == 0) {
        rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs system chunk array: empty");
    }
    if (rc == DISK_OK) {
        rc = SortMap(&bootstrap);
    }
    if (rc == DISK_OK) {
        reader.map = &bootstrap;
        ResetBudget(&reader);
        ChunkContext context{volume};
        rc = Btrfs_WalkTree(&reader, Bytes_LoadLe64(s + kSbChunkRoot), ChunkTreeVisitor, &context);
    }
    Array_Free(&bootstrap);
    if (rc == DISK_OK) {
        rc = SortMap(&volume->readMap);
    }
    if (rc == DISK_OK) {
        Array_Sort(&volume->stripes, CompareMapping, nullptr, SwapMapping);
    }
    return rc;
}

int Btrfs_Open(BtrfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Btrfs_Init(volume);
    if (!CreateLists(volume)) {
        FreeLists(volume);
        Btrfs_Init(volume);
        return DISK_ERR_NOMEM;
    }
    int rc = Btrfs_ReadChunks(volume, disk, first, count);
    BtrfsReader reader;
    uint32_t sectorBytes = 0;
    if (rc == DISK_OK && !SetupReader(&reader, disk, first, count, &sectorBytes)) {
        rc = DISK_ERR_ARG;
    }
    if (rc == DISK_OK) {
        reader.nodeSize = volume->nodeSize;
        reader.map = &volume->readMap;
        ResetBudget(&reader);
        const BtrfsKey key = {BTRFS_EXTENT_TREE_ID, BTRFS_TYPE_ROOT_ITEM, 0};
        BtrfsPath path;
        if (!AllocPath(&path, &reader)) {
            rc = DISK_ERR_NOMEM;
        } else {
            int result = -1;
            uint64_t leaf = 0;
            uint32_t item = 0;
            rc = Btrfs_SearchTree(&reader, Bytes_LoadLe64(volume->super + kSbRoot), &key, &result,
                                  &path, &leaf, &item);
            if (rc == DISK_OK && result != 0) {
                rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs root tree: no extent tree root");
            }
            if (rc == DISK_OK) {
                BtrfsKey found;
                const uint8_t* data = nullptr;
                uint32_t size = 0;
                rc = LeafItem(&reader, PathBuffer(&path, &reader, path.depth - 1), item, &found,
                              &data, &size);
                if (rc == DISK_OK && size < BTRFS_ROOT_ITEM_MIN) {
                    rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "Btrfs root item: too short");
                }
                if (rc == DISK_OK) {
                    volume->extentRoot = Bytes_LoadLe64(data + BTRFS_ROOT_ITEM_BYTENR);
                }
            }
            Mem_Free(path.buffers);
        }
    }
    if (rc == DISK_OK) {
        ResetBudget(&reader);
        ExtentContext context{volume, 0};
        rc = Btrfs_WalkTree(&reader, volume->extentRoot, ExtentTreeVisitor, &context);
    }
    if (rc != DISK_OK) {
        FreeLists(volume);
        Btrfs_Init(volume);
    }
    return rc;
}

namespace {

bool Btrfs_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const BtrfsVolume* v = static_cast<const BtrfsVolume*>(object);
    if (length == 0 || offset > UINT64_MAX - length) {
        return true;
    }
    const uint64_t end = offset + length;
    for (uint64_t copy : kSuperCopies) {
        if (offset < copy + kSuperRead && copy < end) {
            return true;
        }
    }
    // The stripe holding the whole range.
    const BtrfsChunkMapping* stripe = nullptr;
    for (uint32_t i = 0; i < v->stripes.count; ++i) {
        const BtrfsChunkMapping* m = MappingAt(&v->stripes, i);
        if (offset >= m->physical && end - m->physical <= m->length) {
            stripe = m;
            break;
        }
    }
    if (stripe == nullptr) {
        return true;
    }
    const uint64_t logical = stripe->logical + (offset - stripe->physical);
    const uint64_t logicalEnd = logical + length;
    // Its block group: data only, without a striping profile.
    int64_t g = Array_BinarySearch(&v->blockGroups, &logical, CompareRangeToAddress, nullptr);
    if (g < 0) {
        return true;
    }
    const BtrfsRange* group = static_cast<const BtrfsRange*>(v->blockGroups.data) + g;
    if (logicalEnd - group->start > group->length || (group->value & BTRFS_BLOCK_GROUP_DATA) == 0 ||
        (group->value & (BTRFS_BLOCK_GROUP_SYSTEM | BTRFS_BLOCK_GROUP_METADATA)) != 0 ||
        (group->value & kProfileMask) != 0) {
        return true;
    }
    // The last extent starting before the range's end is the only one that can reach into it.
    const uint64_t lastByte = logicalEnd - 1;
    int64_t e = Array_BinarySearch(&v->extents, &lastByte, CompareRangeToAddress, nullptr);
    if (e < 0) {
        return false;
    }
    const BtrfsRange* extent = static_cast<const BtrfsRange*>(v->extents.data) + e;
    return extent->start + extent->length > logical;
}

}  // namespace

int Btrfs_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                       uint32_t bitOffset)
{
    const BtrfsVolume* volume = static_cast<const BtrfsVolume*>(object);
    if (volume->bytesPerSector == 0) {
        Btrfs_SetBits(bitOffset, count, bitmap, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(volume, Btrfs_IsByteRangeUsed, volume->bytesPerSector, first,
                                     count, bitmap, bitOffset);
}

int Fs_AttachBtrfs(VolumeRegion*, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    BtrfsVolume* volume = Btrfs_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    int rc = Btrfs_Open(volume, disk, first, count);
    Btrfs_Destroy(volume);
    Mem_Free(volume);
    // Even a volume whose structures all read consistently is not taken: Btrfs partitions count
    // as wholly used.
    return rc != DISK_OK
               ? rc
               : Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                  "Btrfs volume: read, but its free space is never taken");
}
