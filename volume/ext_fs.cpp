#include "volume/ext_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/range.h"
#include "foundation/refusal.h"

namespace {

const uint32_t kKnownIncompat =
    EXT_INCOMPAT_COMPRESSION | EXT_INCOMPAT_FILETYPE | EXT_INCOMPAT_RECOVER |
    EXT_INCOMPAT_JOURNAL_DEV | EXT_INCOMPAT_META_BG | EXT_INCOMPAT_EXTENTS | EXT_INCOMPAT_64BIT |
    EXT_INCOMPAT_MMP | EXT_INCOMPAT_FLEX_BG | EXT_INCOMPAT_EA_INODE | EXT_INCOMPAT_DIRDATA |
    EXT_INCOMPAT_CSUM_SEED | EXT_INCOMPAT_LARGEDIR | EXT_INCOMPAT_INLINE_DATA |
    EXT_INCOMPAT_ENCRYPT | EXT_INCOMPAT_CASEFOLD;

// Read-only features whose volumes record allocation one bit per block in the group bitmaps
// (bigalloc is known but refused below). Snapshots and anything newer are not among them.
const uint32_t kKnownRoCompat =
    EXT_RO_COMPAT_SPARSE_SUPER | EXT_RO_COMPAT_LARGE_FILE | EXT_RO_COMPAT_BTREE_DIR |
    EXT_RO_COMPAT_HUGE_FILE | EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_DIR_NLINK |
    EXT_RO_COMPAT_EXTRA_ISIZE | EXT_RO_COMPAT_QUOTA | EXT_RO_COMPAT_BIGALLOC |
    EXT_RO_COMPAT_METADATA_CSUM | EXT_RO_COMPAT_READONLY | EXT_RO_COMPAT_PROJECT |
    EXT_RO_COMPAT_SHARED_BLOCKS | EXT_RO_COMPAT_VERITY | EXT_RO_COMPAT_ORPHAN_PRESENT;

// Descriptors read from the table at a time.
const uint32_t kDescriptorChunk = 65536;

// Set bits of a 64-bit word, without a call (the build targets no popcount instruction).
uint32_t PopCount64(uint64_t x)
{
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

const uint32_t kChunkBytes = EXT_CHUNK_BITS / 8;

// 0xFF bytes: the shared chunk of a wholly used stretch.
struct FullChunk {
    uint8_t bytes[kChunkBytes];
    FullChunk() { std::memset(bytes, 0xFF, sizeof bytes); }
};
const FullChunk kFull;

uint8_t* FullMark() { return const_cast<uint8_t*>(kFull.bytes); }

bool IsOwned(const uint8_t* chunk) { return chunk != nullptr && chunk != kFull.bytes; }

// Bits of chunk c that lie inside a bitmap of `bits` bits.
uint32_t ChunkSpan(uint32_t c, uint64_t bits)
{
    const uint64_t start = static_cast<uint64_t>(c) << EXT_CHUNK_SHIFT;
    return bits - start < EXT_CHUNK_BITS ? static_cast<uint32_t>(bits - start) : EXT_CHUNK_BITS;
}

// The chunk as an owned array that may be written (allocated on first need); null when out of
// memory.
uint8_t* WritableChunk(ExtVolume* volume, uint32_t c)
{
    uint8_t* chunk = volume->chunks[c];
    if (IsOwned(chunk)) {
        return chunk;
    }
    uint8_t* owned = static_cast<uint8_t*>(Mem_Alloc(kChunkBytes));
    if (owned == nullptr) {
        return nullptr;
    }
    std::memset(owned, chunk == nullptr ? 0x00 : 0xFF, kChunkBytes);
    volume->chunks[c] = owned;
    return owned;
}

// An owned chunk whose first `span` bits are all set becomes the shared full chunk.
void SettleChunk(ExtVolume* volume, uint32_t c, uint32_t span)
{
    uint8_t* chunk = volume->chunks[c];
    if (!IsOwned(chunk) || span == 0) {
        return;
    }
    for (uint32_t i = 0; i < span / 8; ++i) {
        if (chunk[i] != 0xFF) {
            return;
        }
    }
    for (uint32_t j = span / 8 * 8; j < span; ++j) {
        if (!Bitmap_TestBit(chunk, j)) {
            return;
        }
    }
    Mem_Free(chunk);
    volume->chunks[c] = FullMark();
}

// Set bits among bits [0, n) of an array.
uint32_t CountBits(const uint8_t* in, uint32_t n)
{
    uint32_t used = 0;
    uint32_t i = 0;
    for (; i + 64 <= n; i += 64) {
        uint64_t word;
        std::memcpy(&word, in + i / 8, sizeof word);
        used += PopCount64(word);
    }
    for (; i < n / 8 * 8; i += 8) used += PopCount64(in[i / 8]);
    for (uint32_t j = n / 8 * 8; j < n; ++j) {
        used += Bitmap_TestBit(in, j) ? 1u : 0u;
    }
    return used;
}

// Merges n bits of a group bitmap into the volume bits from dest (a multiple of 8; bits already
// set there stay set) and answers how many bits of the group bitmap are zero (through *zeros).
int MergeGroupBits(ExtVolume* volume, uint64_t dest, const uint8_t* group, uint32_t n,
                   uint32_t* zeros)
{
    const uint64_t bits = static_cast<uint64_t>(volume->blockCount) - volume->firstDataBlock;
    uint32_t used = 0;
    for (uint32_t done = 0; done < n;) {
        const uint64_t at = dest + done;
        const uint32_t c = static_cast<uint32_t>(at >> EXT_CHUNK_SHIFT);
        const uint32_t inChunk = static_cast<uint32_t>(at & (EXT_CHUNK_BITS - 1));
        const uint32_t piece =
            n - done < EXT_CHUNK_BITS - inChunk ? n - done : EXT_CHUNK_BITS - inChunk;
        const uint8_t* from = group + done / 8;
        const uint32_t set = CountBits(from, piece);
        used += set;
        if (set != 0 && volume->chunks[c] != kFull.bytes) {
            uint8_t* out = WritableChunk(volume, c);
            if (out == nullptr) {
                return DISK_ERR_NOMEM;
            }
            out += inChunk / 8;
            for (uint32_t i = 0; i < piece / 8; ++i) {
                out[i] |= from[i];
            }
            for (uint32_t j = piece / 8 * 8; j < piece; ++j) {
                if (Bitmap_TestBit(from, j)) {
                    Bitmap_SetBit(out, j, true);
                }
            }
            SettleChunk(volume, c, ChunkSpan(c, bits));
        }
        done += piece;
    }
    *zeros = n - used;
    return DISK_OK;
}

// Set bits among volume bits [dest, dest + n).
uint32_t CountSetBits(const ExtVolume* volume, uint64_t dest, uint32_t n)
{
    uint32_t used = 0;
    for (uint32_t done = 0; done < n;) {
        const uint64_t at = dest + done;
        const uint8_t* chunk = volume->chunks[at >> EXT_CHUNK_SHIFT];
        const uint32_t inChunk = static_cast<uint32_t>(at & (EXT_CHUNK_BITS - 1));
        const uint32_t piece =
            n - done < EXT_CHUNK_BITS - inChunk ? n - done : EXT_CHUNK_BITS - inChunk;
        if (chunk == kFull.bytes) {
            used += piece;
        } else if (chunk != nullptr) {
            for (uint32_t j = 0; j < piece; ++j) {
                used += Bitmap_TestBit(chunk, inChunk + j) ? 1u : 0u;
            }
        }
        done += piece;
    }
    return used;
}

// Whether x is a power of b (1 included).
bool IsPowerOf(uint32_t x, uint32_t b)
{
    while (x > 1 && x % b == 0) {
        x /= b;
    }
    return x == 1;
}

// Whether group g holds a copy of the superblock (and so of the descriptor table): every group
// without sparse_super; groups 0, 1 and the powers of 3, 5 and 7 with it; group 0 and the two
// named groups with sparse_super2.
bool GroupHasSuper(const ExtLayout& l, uint32_t g)
{
    if (g == 0) {
        return true;
    }
    if (l.sparseSuper2) {
        return g == l.backupGroups[0] || g == l.backupGroups[1];
    }
    if (g == 1 || !l.sparseSuper) {
        return true;
    }
    if (g % 2 == 0) {
        return false;
    }
    return IsPowerOf(g, 3) || IsPowerOf(g, 5) || IsPowerOf(g, 7);
}

// Reads descriptors of groups [i, ...) in pieces; Get answers the descriptor of group i.
class DescriptorReader {
public:
    DescriptorReader(const DiskHandle* disk, uint64_t tableOffset, uint64_t tableBytes,
                     uint32_t descSize, uint8_t* buffer)
        : disk_(disk),
          tableOffset_(tableOffset),
          tableBytes_(tableBytes),
          descSize_(descSize),
          perChunk_(kDescriptorChunk / descSize),
          buffer_(buffer)
    {}
    int Get(uint32_t i, const uint8_t** desc)
    {
        if (i % perChunk_ == 0) {
            uint64_t at = static_cast<uint64_t>(i) * descSize_;
            uint64_t left = tableBytes_ - at;
            uint32_t piece =
                left < kDescriptorChunk ? static_cast<uint32_t>(left) : kDescriptorChunk;
            int rc = Disk_Read(disk_, tableOffset_ + at, piece, buffer_);
            if (rc != DISK_OK) {
                return rc;
            }
        }
        *desc = buffer_ + (i % perChunk_) * descSize_;
        return DISK_OK;
    }

private:
    const DiskHandle* disk_;
    uint64_t tableOffset_;
    uint64_t tableBytes_;
    uint32_t descSize_;
    uint32_t perChunk_;
    uint8_t* buffer_;
};

}  // namespace

ExtVolume* Ext_Alloc() { return static_cast<ExtVolume*>(Mem_Alloc(sizeof(ExtVolume))); }

void Ext_Init(ExtVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void Ext_Destroy(void* object)
{
    ExtVolume* volume = static_cast<ExtVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    if (volume->chunks != nullptr) {
        for (uint32_t c = 0; c < volume->chunkCount; ++c) {
            if (IsOwned(volume->chunks[c])) {
                Mem_Free(volume->chunks[c]);
            }
        }
        Mem_Free(volume->chunks);
    }
    Ext_Init(volume);
}

const uint8_t* Ext_FullChunk() { return kFull.bytes; }

int Ext_InitBitmap(ExtVolume* volume, uint32_t bits)
{
    const uint32_t count = static_cast<uint32_t>(
        (static_cast<uint64_t>(bits) + EXT_CHUNK_BITS - 1) >> EXT_CHUNK_SHIFT);
    // At most 2^17 chunk cells: 1 MiB on a 64-bit system.
    uint8_t** chunks = static_cast<uint8_t**>(
        Mem_Alloc(count == 0 ? 1u : count * static_cast<uint32_t>(sizeof(uint8_t*))));
    if (chunks == nullptr) {
        return DISK_ERR_NOMEM;
    }
    for (uint32_t c = 0; c < count; ++c) {
        chunks[c] = nullptr;
    }
    volume->chunkCount = count;
    volume->chunks = chunks;
    return DISK_OK;
}

int Ext_MarkUsed(ExtVolume* volume, uint32_t from, uint32_t count)
{
    for (uint64_t at = from, end = static_cast<uint64_t>(from) + count; at < end;) {
        const uint32_t c = static_cast<uint32_t>(at >> EXT_CHUNK_SHIFT);
        const uint32_t inChunk = static_cast<uint32_t>(at & (EXT_CHUNK_BITS - 1));
        const uint32_t piece = end - at < EXT_CHUNK_BITS - inChunk ? static_cast<uint32_t>(end - at)
                                                                   : EXT_CHUNK_BITS - inChunk;
        uint8_t* chunk = volume->chunks[c];
        if (piece == EXT_CHUNK_BITS) {
            if (IsOwned(chunk)) {
                Mem_Free(chunk);
            }
            volume->chunks[c] = FullMark();
        } else if (chunk != kFull.bytes) {
            if ((chunk = WritableChunk(volume, c)) == nullptr) {
                return DISK_ERR_NOMEM;
            }
            Fs_SetBits(chunk, inChunk, piece, true);
            SettleChunk(
                volume, c,
                ChunkSpan(c, static_cast<uint64_t>(volume->blockCount) - volume->firstDataBlock));
        }
        at += piece;
    }
    return DISK_OK;
}

bool Ext_TestBit(const ExtVolume* volume, uint32_t i)
{
    const uint8_t* chunk = volume->chunks[i >> EXT_CHUNK_SHIFT];
    return chunk != nullptr && Bitmap_TestBit(chunk, i & (EXT_CHUNK_BITS - 1));
}

void Ext_SuperblockToHost(const uint8_t* raw, ExtSuperblock* sb)
{
    sb->blockCount = Bytes_LoadLe32(raw + 4);
    sb->firstDataBlock = Bytes_LoadLe32(raw + 20);
    sb->logBlockSize = Bytes_LoadLe32(raw + 24);
    sb->blocksPerGroup = Bytes_LoadLe32(raw + 32);
    sb->inodesPerGroup = Bytes_LoadLe32(raw + 40);
    sb->magic = Bytes_LoadLe16(raw + 56);
    sb->state = Bytes_LoadLe16(raw + 58);
    sb->revisionLevel = Bytes_LoadLe32(raw + 76);
    sb->inodeSize = Bytes_LoadLe16(raw + 88);
    sb->compat = Bytes_LoadLe32(raw + 92);
    sb->incompat = Bytes_LoadLe32(raw + 96);
    sb->roCompat = Bytes_LoadLe32(raw + 100);
    sb->reservedGdtBlocks = Bytes_LoadLe16(raw + 206);
    sb->descriptorSize = Bytes_LoadLe16(raw + 254);
    sb->blockCountHigh = Bytes_LoadLe32(raw + 336);
    sb->backupGroups[0] = Bytes_LoadLe32(raw + 588);
    sb->backupGroups[1] = Bytes_LoadLe32(raw + 592);
}

namespace {

bool Is64Bit(const ExtSuperblock& sb) { return (sb.incompat & EXT_INCOMPAT_64BIT) != 0; }

// The descriptor size of a checked superblock: 32 bytes unless the volume is 64-bit.
uint32_t DescriptorSize(const ExtSuperblock& sb) { return Is64Bit(sb) ? sb.descriptorSize : 32u; }

// The inode size: 128 bytes on revision 0 volumes, else the superblock's field.
uint32_t InodeSize(const ExtSuperblock& sb) { return sb.revisionLevel == 0 ? 128u : sb.inodeSize; }

}  // namespace

int Ext_CheckSuperblock(const ExtSuperblock& sb, uint64_t partBytes)
{
    if (sb.magic != EXT_MAGIC) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: no signature");
    }
    if (sb.logBlockSize > EXT_MAX_LOG_BLOCK_SIZE) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: block size out of range");
    }
    // Bitmaps of a volume that was not unmounted cleanly, or that has recorded errors, may lag
    // behind the blocks in use.
    if ((sb.state & EXT_STATE_VALID) == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: the volume was not cleanly unmounted");
    }
    if ((sb.state & EXT_STATE_ERROR) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: errors are recorded");
    }
    if ((sb.incompat & ~kKnownIncompat) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: unknown incompatible feature");
    }
    // Known features whose bitmaps this driver cannot read as one bit per block at a known
    // place, or which may be stale.
    if ((sb.incompat & EXT_INCOMPAT_RECOVER) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: the journal needs recovery");
    }
    if ((sb.incompat & EXT_INCOMPAT_JOURNAL_DEV) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: an external journal, not a file system");
    }
    if ((sb.incompat & EXT_INCOMPAT_META_BG) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: meta_bg is not supported");
    }
    if ((sb.roCompat & ~kKnownRoCompat) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: unknown read-only feature");
    }
    if ((sb.roCompat & EXT_RO_COMPAT_BIGALLOC) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: bigalloc is not supported");
    }
    if (Is64Bit(sb)) {
        if (sb.blockCountHigh != 0) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: more than 2^32 blocks");
        }
        if (sb.descriptorSize < 64 || sb.descriptorSize > 1024 ||
            !Math_IsPowerOfTwo(static_cast<int32_t>(sb.descriptorSize))) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "ext superblock: group descriptor size out of range");
        }
    }
    const uint32_t blockSize = 1024u << sb.logBlockSize;
    if (sb.firstDataBlock != (blockSize == 1024 ? 1u : 0u)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: first data block does not suit the block size");
    }
    if (sb.blockCount <= sb.firstDataBlock) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: no data blocks");
    }
    if (sb.blocksPerGroup < 8 || sb.blocksPerGroup > blockSize * 8 || sb.blocksPerGroup % 8 != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: blocks per group out of range");
    }
    const uint32_t groups = Math_DivCeilU32(sb.blockCount - sb.firstDataBlock, sb.blocksPerGroup);
    // The volume must fit its partition (this also bounds the bitmap held in memory), and the
    // descriptor table, after the superblock's block, must lie inside it.
    const uint64_t tableStart = static_cast<uint64_t>(sb.firstDataBlock + 1) * blockSize;
    const uint64_t tableBytes = static_cast<uint64_t>(groups) * DescriptorSize(sb);
    const uint64_t volumeBytes = static_cast<uint64_t>(sb.blockCount) * blockSize;
    if (volumeBytes > partBytes) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: the volume is larger than its partition");
    }
    if (tableStart + tableBytes > volumeBytes) {
        return Refusal_RecordAs(
            DISK_ERR_FS_CORRUPT,
            "ext superblock: group descriptor table past the end of the volume");
    }
    const uint32_t inodeSize = InodeSize(sb);
    if (inodeSize < 128 || inodeSize > blockSize ||
        !Math_IsPowerOfTwo(static_cast<int32_t>(inodeSize))) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: inode size out of range");
    }
    if (sb.inodesPerGroup == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "ext superblock: no inodes per group");
    }
    const uint64_t tableBlocks = (tableBytes + blockSize - 1) / blockSize + sb.reservedGdtBlocks;
    if (tableBlocks >= sb.blocksPerGroup) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: group descriptor table larger than a group");
    }
    return DISK_OK;
}

void Ext_GroupDescriptorToHost(const uint8_t* raw, uint32_t descriptorSize,
                               ExtGroupDescriptor* desc)
{
    desc->blockBitmap = Bytes_LoadLe32(raw + 0);
    desc->inodeBitmap = Bytes_LoadLe32(raw + 4);
    desc->inodeTable = Bytes_LoadLe32(raw + 8);
    desc->freeBlocks = Bytes_LoadLe16(raw + 12);
    desc->flags = Bytes_LoadLe16(raw + 18);
    const bool wide = descriptorSize > 32;
    desc->blockBitmapHigh = wide ? Bytes_LoadLe32(raw + 32) : 0;
    desc->inodeBitmapHigh = wide ? Bytes_LoadLe32(raw + 36) : 0;
    desc->inodeTableHigh = wide ? Bytes_LoadLe32(raw + 40) : 0;
    desc->freeBlocksHigh = wide ? Bytes_LoadLe16(raw + 44) : 0;
}

int Ext_CheckGroupDescriptor(const ExtGroupDescriptor& desc, const ExtLayout& layout)
{
    if (desc.blockBitmapHigh != 0 || desc.inodeBitmapHigh != 0 || desc.inodeTableHigh != 0 ||
        desc.freeBlocksHigh != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext group descriptor: a high half is not zero");
    }
    if (desc.blockBitmap < layout.firstDataBlock || desc.blockBitmap >= layout.blockCount) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext group descriptor: block bitmap outside the volume");
    }
    if (desc.inodeBitmap < layout.firstDataBlock || desc.inodeBitmap >= layout.blockCount) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext group descriptor: inode bitmap outside the volume");
    }
    if (desc.inodeTable < layout.firstDataBlock ||
        static_cast<uint64_t>(desc.inodeTable) + layout.inodeTableBlocks > layout.blockCount) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext group descriptor: inode table outside the volume");
    }
    return DISK_OK;
}

void Ext_DeriveLayout(const ExtSuperblock& sb, ExtLayout* layout)
{
    layout->blockSize = 1024u << sb.logBlockSize;
    layout->blockCount = sb.blockCount;
    layout->firstDataBlock = sb.firstDataBlock;
    layout->blocksPerGroup = sb.blocksPerGroup;
    layout->descriptorSize = DescriptorSize(sb);
    layout->bits = sb.blockCount - sb.firstDataBlock;
    layout->groups = Math_DivCeilU32(layout->bits, sb.blocksPerGroup);
    layout->tableStart = static_cast<uint64_t>(sb.firstDataBlock + 1) * layout->blockSize;
    layout->tableBytes = static_cast<uint64_t>(layout->groups) * layout->descriptorSize;
    layout->tableBlocks = static_cast<uint32_t>(
        (layout->tableBytes + layout->blockSize - 1) / layout->blockSize + sb.reservedGdtBlocks);
    layout->inodeTableBlocks =
        (static_cast<uint64_t>(sb.inodesPerGroup) * InodeSize(sb) + layout->blockSize - 1) /
        layout->blockSize;
    layout->uninitFlagValid =
        (sb.roCompat & (EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_METADATA_CSUM)) != 0;
    layout->sparseSuper = (sb.roCompat & EXT_RO_COMPAT_SPARSE_SUPER) != 0;
    layout->sparseSuper2 = (sb.compat & EXT_COMPAT_SPARSE_SUPER2) != 0;
    layout->backupGroups[0] = layout->sparseSuper2 ? sb.backupGroups[0] : 0;
    layout->backupGroups[1] = layout->sparseSuper2 ? sb.backupGroups[1] : 0;
}

int Ext_Open(ExtVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Ext_Init(volume);
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
    if (partBytes < EXT_SUPERBLOCK_OFFSET + EXT_SUPERBLOCK_SIZE) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "ext superblock: the partition is too small to hold it");
    }

    // Read and check the superblock, then work out the layout from it.
    uint8_t raw[EXT_SUPERBLOCK_SIZE];
    int rc = Disk_Read(disk, base + EXT_SUPERBLOCK_OFFSET, EXT_SUPERBLOCK_SIZE, raw);
    if (rc != DISK_OK) {
        return rc;
    }
    ExtSuperblock sb;
    Ext_SuperblockToHost(raw, &sb);
    rc = Ext_CheckSuperblock(sb, partBytes);
    if (rc != DISK_OK) {
        return rc;
    }
    ExtLayout layout;
    Ext_DeriveLayout(sb, &layout);
    const uint32_t blockSize = layout.blockSize;

    uint8_t* group = static_cast<uint8_t*>(Mem_Alloc(blockSize));
    uint8_t* descs = static_cast<uint8_t*>(Mem_Alloc(kDescriptorChunk));
    if (group == nullptr || descs == nullptr || Ext_InitBitmap(volume, layout.bits) != DISK_OK) {
        Mem_Free(group);
        Mem_Free(descs);
        Ext_Destroy(volume);
        return DISK_ERR_NOMEM;
    }
    ExtVolume* map = volume;
    // The bitmap's extent, which the merges below need.
    volume->blockCount = layout.blockCount;
    volume->firstDataBlock = layout.firstDataBlock;
    DescriptorReader reader(disk, base + layout.tableStart, layout.tableBytes,
                            layout.descriptorSize, descs);

    // First pass: every descriptor is checked, and the block bitmap, inode bitmap and inode
    // table of every group are used, wherever flex_bg placed them.
    const uint32_t firstDataBlock = layout.firstDataBlock;
    for (uint32_t i = 0; i < layout.groups && rc == DISK_OK; ++i) {
        const uint8_t* rawDesc = nullptr;
        rc = reader.Get(i, &rawDesc);
        if (rc != DISK_OK) {
            break;
        }
        ExtGroupDescriptor desc;
        Ext_GroupDescriptorToHost(rawDesc, layout.descriptorSize, &desc);
        rc = Ext_CheckGroupDescriptor(desc, layout);
        if (rc != DISK_OK) {
            break;
        }
        if ((rc = Ext_MarkUsed(map, desc.blockBitmap - firstDataBlock, 1)) != DISK_OK ||
            (rc = Ext_MarkUsed(map, desc.inodeBitmap - firstDataBlock, 1)) != DISK_OK ||
            (rc = Ext_MarkUsed(map, desc.inodeTable - firstDataBlock,
                               static_cast<uint32_t>(layout.inodeTableBlocks))) != DISK_OK) {
            break;
        }
    }

    // Second pass: a group with a maintained bitmap adds the bitmap's used blocks; a group whose
    // bitmap was never initialised (BLOCK_UNINIT) holds only its superblock and descriptor-table
    // backups besides the tables of the first pass. Either way the group's free count must
    // agree with what was found, or the whole group is used.
    for (uint32_t i = 0; i < layout.groups && rc == DISK_OK; ++i) {
        const uint8_t* rawDesc = nullptr;
        rc = reader.Get(i, &rawDesc);
        if (rc != DISK_OK) {
            break;
        }
        ExtGroupDescriptor desc;
        Ext_GroupDescriptorToHost(rawDesc, layout.descriptorSize, &desc);
        const uint64_t dest = static_cast<uint64_t>(i) * layout.blocksPerGroup;
        const uint32_t n = (i + 1 == layout.groups) ? static_cast<uint32_t>(layout.bits - dest)
                                                    : layout.blocksPerGroup;
        if (layout.uninitFlagValid && (desc.flags & EXT_BG_BLOCK_UNINIT) != 0) {
            if (GroupHasSuper(layout, i)) {
                const uint32_t head = 1 + layout.tableBlocks;
                if (head > n) {
                    rc = Ext_MarkUsed(map, static_cast<uint32_t>(dest), n);
                    continue;
                }
                if ((rc = Ext_MarkUsed(map, static_cast<uint32_t>(dest), head)) != DISK_OK) {
                    break;
                }
            }
            if (n - CountSetBits(map, dest, n) != desc.freeBlocks) {
                rc = Ext_MarkUsed(map, static_cast<uint32_t>(dest), n);
            }
            continue;
        }
        rc = Disk_Read(disk, base + static_cast<uint64_t>(desc.blockBitmap) * blockSize, blockSize,
                       group);
        if (rc != DISK_OK) {
            break;
        }
        uint32_t zeros = 0;
        if ((rc = MergeGroupBits(map, dest, group, n, &zeros)) != DISK_OK) {
            break;
        }
        if (zeros != desc.freeBlocks) {
            rc = Ext_MarkUsed(map, static_cast<uint32_t>(dest), n);
        }
    }
    Mem_Free(group);
    Mem_Free(descs);
    if (rc != DISK_OK) {
        Ext_Destroy(volume);
        return rc;
    }
    volume->firstSector = first;
    volume->bytesPerSector = sectorBytes;
    volume->blockSize = blockSize;
    volume->blockCount = layout.blockCount;
    volume->firstDataBlock = firstDataBlock;
    volume->descriptorSize = layout.descriptorSize;
    return DISK_OK;
}

bool Ext_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const ExtVolume* volume = static_cast<const ExtVolume*>(object);
    if (volume->chunks == nullptr || volume->blockSize == 0 || length == 0 ||
        offset > UINT64_MAX - (length - 1)) {
        return true;
    }
    const uint64_t lo = offset / volume->blockSize;
    const uint64_t hi = (offset + (length - 1)) / volume->blockSize;
    if (lo < volume->firstDataBlock || hi >= volume->blockCount) {
        return true;
    }
    for (uint64_t b = lo; b <= hi; ++b) {
        if (Ext_TestBit(volume, static_cast<uint32_t>(b - volume->firstDataBlock))) {
            return true;
        }
    }
    return false;
}

int Ext_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                     uint32_t bitOffset)
{
    const ExtVolume* volume = static_cast<const ExtVolume*>(object);
    if (volume->chunks == nullptr || volume->blockSize == 0) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    const uint32_t sectorBytes = volume->bytesPerSector;
    uint64_t last = 0;
    uint64_t endByte = 0;
    if (sectorBytes == 0 || (count != 0 && (!Math_AddU64(first, count, &last) ||
                                            !Math_MulU64(last, sectorBytes, &endByte)))) {
        return DISK_ERR_ARG;
    }
    if (count == 0) {
        return DISK_OK;
    }
    const uint64_t blockSize = volume->blockSize;
    const uint64_t bits = static_cast<uint64_t>(volume->blockCount) - volume->firstDataBlock;
    // Blocks past the last one the range touches are never looked at.
    const uint64_t lastBlock = (endByte - 1) / blockSize;
    for (uint32_t i = 0; i < count;) {
        const uint64_t sector = first + i;
        const uint64_t offset = sector * sectorBytes;
        const uint64_t block = offset / blockSize;
        // The sectors that lie wholly in a run of blocks with the same bit take it at once: a
        // run ends at a block with the other bit, at the end of the chunk, or at the end of the
        // volume.
        if (block >= volume->firstDataBlock && block < volume->blockCount) {
            const uint64_t rel = block - volume->firstDataBlock;
            const uint8_t* chunk = volume->chunks[rel >> EXT_CHUNK_SHIFT];
            uint64_t endRel = (rel | (EXT_CHUNK_BITS - 1)) + 1;
            if (endRel > bits) {
                endRel = bits;
            }
            if (endRel > lastBlock + 1 - volume->firstDataBlock) {
                endRel = lastBlock + 1 - volume->firstDataBlock;
            }
            const bool used = chunk != nullptr && Bitmap_TestBit(chunk, rel & (EXT_CHUNK_BITS - 1));
            if (chunk != nullptr && chunk != kFull.bytes) {
                const uint8_t whole = used ? 0xFF : 0x00;
                uint64_t k = rel + 1;
                while (k < endRel) {
                    const uint32_t in = static_cast<uint32_t>(k & (EXT_CHUNK_BITS - 1));
                    if ((in & 7) == 0 && endRel - k >= 8 && chunk[in >> 3] == whole) {
                        k += 8;
                    } else if (Bitmap_TestBit(chunk, in) == used) {
                        ++k;
                    } else {
                        break;
                    }
                }
                endRel = k;
            }
            const uint64_t endSector = (endRel + volume->firstDataBlock) * blockSize / sectorBytes;
            if (endSector > sector) {
                const uint32_t run = endSector - sector < count - i
                                         ? static_cast<uint32_t>(endSector - sector)
                                         : count - i;
                Fs_SetBits(bitmap, bitOffset + i, run, used);
                i += run;
                continue;
            }
        }
        Bitmap_SetBit(bitmap, bitOffset + i, Ext_IsByteRangeUsed(volume, offset, sectorBytes));
        ++i;
    }
    return DISK_OK;
}

int Fs_AttachExt(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    ExtVolume* volume = Ext_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    Ext_Init(volume);
    int rc = Ext_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        Ext_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_EXT;
    region->object = volume;
    return DISK_OK;
}
