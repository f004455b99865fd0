#include "volume/ext_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/range.h"

namespace {

const uint32_t kKnownIncompat =
    EXT_INCOMPAT_COMPRESSION | EXT_INCOMPAT_FILETYPE | EXT_INCOMPAT_RECOVER |
    EXT_INCOMPAT_JOURNAL_DEV | EXT_INCOMPAT_META_BG | EXT_INCOMPAT_EXTENTS | EXT_INCOMPAT_64BIT |
    EXT_INCOMPAT_MMP | EXT_INCOMPAT_FLEX_BG | EXT_INCOMPAT_EA_INODE | EXT_INCOMPAT_DIRDATA |
    EXT_INCOMPAT_CSUM_SEED | EXT_INCOMPAT_LARGEDIR | EXT_INCOMPAT_INLINE_DATA |
    EXT_INCOMPAT_ENCRYPT | EXT_INCOMPAT_CASEFOLD;
// Features whose bitmaps this driver cannot read as one bit per block at a known place, or
// which may be stale.
const uint32_t kRefusedIncompat =
    EXT_INCOMPAT_RECOVER | EXT_INCOMPAT_JOURNAL_DEV | EXT_INCOMPAT_META_BG;

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

int PopCount8(uint8_t b) { return __builtin_popcount(b); }

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
    for (uint32_t i = 0; i < n / 8; ++i) {
        used += static_cast<uint32_t>(PopCount8(in[i]));
    }
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

// The layout facts that place a group's superblock and descriptor-table backups.
struct BackupLayout {
    bool sparseSuper;
    bool sparseSuper2;
    uint32_t backupGroups[2];  // the two backup groups of sparse_super2 (0 = none)
    uint32_t tableBlocks;      // descriptor-table blocks plus reserved descriptor blocks
};

// Whether group g holds a copy of the superblock (and so of the descriptor table): every group
// without sparse_super; groups 0, 1 and the powers of 3, 5 and 7 with it; group 0 and the two
// named groups with sparse_super2.
bool GroupHasSuper(const BackupLayout& l, uint32_t g)
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
        return DISK_ERR_FS_CORRUPT;
    }

    uint8_t sb[EXT_SUPERBLOCK_SIZE];
    int rc = Disk_Read(disk, base + EXT_SUPERBLOCK_OFFSET, EXT_SUPERBLOCK_SIZE, sb);
    if (rc != DISK_OK) {
        return rc;
    }
    const uint32_t blockCountLow = Bytes_LoadLe32(sb + 4);
    const uint32_t firstDataBlock = Bytes_LoadLe32(sb + 20);
    const uint32_t logBlockSize = Bytes_LoadLe32(sb + 24);
    const uint32_t blocksPerGroup = Bytes_LoadLe32(sb + 32);
    const uint16_t magic = Bytes_LoadLe16(sb + 56);
    const uint16_t state = Bytes_LoadLe16(sb + 58);
    const uint32_t incompat = Bytes_LoadLe32(sb + 96);
    const uint32_t roCompat = Bytes_LoadLe32(sb + 100);
    const uint32_t compat = Bytes_LoadLe32(sb + 92);

    if (magic != EXT_MAGIC || logBlockSize > EXT_MAX_LOG_BLOCK_SIZE) {
        return DISK_ERR_FS_CORRUPT;
    }
    // Bitmaps of a volume that was not unmounted cleanly, or that has recorded errors, may lag
    // behind the blocks in use.
    if ((state & EXT_STATE_VALID) == 0 || (state & EXT_STATE_ERROR) != 0) {
        return DISK_ERR_FS_CORRUPT;
    }
    if ((incompat & ~kKnownIncompat) != 0 || (incompat & kRefusedIncompat) != 0 ||
        (roCompat & ~kKnownRoCompat) != 0 || (roCompat & EXT_RO_COMPAT_BIGALLOC) != 0) {
        return DISK_ERR_FS_CORRUPT;
    }
    const bool is64 = (incompat & EXT_INCOMPAT_64BIT) != 0;
    uint32_t descSize = 32;
    if (is64) {
        if (Bytes_LoadLe32(sb + 336) != 0) {
            return DISK_ERR_FS_CORRUPT;  // more than 2^32 blocks
        }
        descSize = Bytes_LoadLe16(sb + 254);
        if (descSize < 64 || descSize > 1024 ||
            !Math_IsPowerOfTwo(static_cast<int32_t>(descSize))) {
            return DISK_ERR_FS_CORRUPT;
        }
    }
    const uint32_t blockSize = 1024u << logBlockSize;
    if (firstDataBlock != (blockSize == 1024 ? 1u : 0u) || blockCountLow <= firstDataBlock) {
        return DISK_ERR_FS_CORRUPT;
    }
    if (blocksPerGroup < 8 || blocksPerGroup > blockSize * 8 || blocksPerGroup % 8 != 0) {
        return DISK_ERR_FS_CORRUPT;
    }
    const uint32_t bits = blockCountLow - firstDataBlock;
    const uint32_t groups = Math_DivCeilU32(bits, blocksPerGroup);
    // The volume must fit its partition (this also bounds the bitmap held in memory), and the
    // descriptor table, after the superblock's block, must lie inside it.
    const uint64_t tableStart = static_cast<uint64_t>(firstDataBlock + 1) * blockSize;
    const uint64_t tableBytes = static_cast<uint64_t>(groups) * descSize;
    const uint64_t volumeBytes = static_cast<uint64_t>(blockCountLow) * blockSize;
    if (volumeBytes > partBytes || tableStart + tableBytes > volumeBytes) {
        return DISK_ERR_FS_CORRUPT;
    }

    const bool uninitFlagValid =
        (roCompat & (EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_METADATA_CSUM)) != 0;

    // Where the superblock and descriptor-table backups lie, and how large the inode tables are.
    BackupLayout layout;
    layout.sparseSuper = (roCompat & EXT_RO_COMPAT_SPARSE_SUPER) != 0;
    layout.sparseSuper2 = (compat & EXT_COMPAT_SPARSE_SUPER2) != 0;
    layout.backupGroups[0] = layout.sparseSuper2 ? Bytes_LoadLe32(sb + 588) : 0;
    layout.backupGroups[1] = layout.sparseSuper2 ? Bytes_LoadLe32(sb + 592) : 0;
    const uint64_t tableBlocks =
        (tableBytes + blockSize - 1) / blockSize + Bytes_LoadLe16(sb + 206);
    const uint32_t inodesPerGroup = Bytes_LoadLe32(sb + 40);
    const uint32_t inodeSize = Bytes_LoadLe32(sb + 76) == 0 ? 128u : Bytes_LoadLe16(sb + 88);
    if (inodeSize < 128 || inodeSize > blockSize ||
        !Math_IsPowerOfTwo(static_cast<int32_t>(inodeSize)) || inodesPerGroup == 0 ||
        tableBlocks >= blocksPerGroup) {
        return DISK_ERR_FS_CORRUPT;
    }
    layout.tableBlocks = static_cast<uint32_t>(tableBlocks);
    const uint64_t inodeTableBlocks =
        (static_cast<uint64_t>(inodesPerGroup) * inodeSize + blockSize - 1) / blockSize;

    uint8_t* group = static_cast<uint8_t*>(Mem_Alloc(blockSize));
    uint8_t* descs = static_cast<uint8_t*>(Mem_Alloc(kDescriptorChunk));
    if (group == nullptr || descs == nullptr || Ext_InitBitmap(volume, bits) != DISK_OK) {
        Mem_Free(group);
        Mem_Free(descs);
        Ext_Destroy(volume);
        return DISK_ERR_NOMEM;
    }
    ExtVolume* map = volume;
    // The bitmap's extent, which the merges below need.
    volume->blockCount = blockCountLow;
    volume->firstDataBlock = firstDataBlock;
    DescriptorReader reader(disk, base + tableStart, tableBytes, descSize, descs);

    // First pass: the block bitmap, inode bitmap and inode table of every group are used,
    // wherever flex_bg placed them. Each must lie inside the volume.
    rc = DISK_OK;
    for (uint32_t i = 0; i < groups && rc == DISK_OK; ++i) {
        const uint8_t* desc = nullptr;
        rc = reader.Get(i, &desc);
        if (rc != DISK_OK) {
            break;
        }
        if (is64 && descSize > 32 &&
            (Bytes_LoadLe32(desc + 32) != 0 || Bytes_LoadLe32(desc + 36) != 0 ||
             Bytes_LoadLe32(desc + 40) != 0 || Bytes_LoadLe16(desc + 44) != 0)) {
            rc = DISK_ERR_FS_CORRUPT;
            break;
        }
        const uint64_t blockBitmap = Bytes_LoadLe32(desc + 0);
        const uint64_t inodeBitmap = Bytes_LoadLe32(desc + 4);
        const uint64_t inodeTable = Bytes_LoadLe32(desc + 8);
        if (blockBitmap < firstDataBlock || blockBitmap >= blockCountLow ||
            inodeBitmap < firstDataBlock || inodeBitmap >= blockCountLow ||
            inodeTable < firstDataBlock || inodeTable + inodeTableBlocks > blockCountLow) {
            rc = DISK_ERR_FS_CORRUPT;
            break;
        }
        if ((rc = Ext_MarkUsed(map, static_cast<uint32_t>(blockBitmap - firstDataBlock), 1)) !=
                DISK_OK ||
            (rc = Ext_MarkUsed(map, static_cast<uint32_t>(inodeBitmap - firstDataBlock), 1)) !=
                DISK_OK ||
            (rc = Ext_MarkUsed(map, static_cast<uint32_t>(inodeTable - firstDataBlock),
                               static_cast<uint32_t>(inodeTableBlocks))) != DISK_OK) {
            break;
        }
    }

    // Second pass: a group with a maintained bitmap adds the bitmap's used blocks; a group whose
    // bitmap was never initialised (BLOCK_UNINIT) holds only its superblock and descriptor-table
    // backups besides the tables of the first pass. Either way the group's free count must
    // agree with what was found, or the whole group is used.
    for (uint32_t i = 0; i < groups && rc == DISK_OK; ++i) {
        const uint8_t* desc = nullptr;
        rc = reader.Get(i, &desc);
        if (rc != DISK_OK) {
            break;
        }
        const uint32_t bitmapBlock = Bytes_LoadLe32(desc + 0);
        const uint32_t freeCount = Bytes_LoadLe16(desc + 12);
        const uint16_t flags = Bytes_LoadLe16(desc + 18);
        const uint64_t dest = static_cast<uint64_t>(i) * blocksPerGroup;
        const uint32_t n = (i + 1 == groups) ? static_cast<uint32_t>(bits - dest) : blocksPerGroup;
        if (uninitFlagValid && (flags & EXT_BG_BLOCK_UNINIT) != 0) {
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
            if (n - CountSetBits(map, dest, n) != freeCount) {
                rc = Ext_MarkUsed(map, static_cast<uint32_t>(dest), n);
            }
            continue;
        }
        rc = Disk_Read(disk, base + static_cast<uint64_t>(bitmapBlock) * blockSize, blockSize,
                       group);
        if (rc != DISK_OK) {
            break;
        }
        uint32_t zeros = 0;
        if ((rc = MergeGroupBits(map, dest, group, n, &zeros)) != DISK_OK) {
            break;
        }
        if (zeros != freeCount) {
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
    volume->blockCount = blockCountLow;
    volume->firstDataBlock = firstDataBlock;
    volume->descriptorSize = descSize;
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
