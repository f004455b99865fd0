// VHDX writer and compaction.
#include "formats/vhdx/vhdx_writer.h"

#include <cstring>

#include "disk/disk_open.h"
#include "disk/writer_kit.h"
#include "formats/vhdx/vhdx.h"
#include "foundation/crc.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/random_id.h"
#include "foundation/refusal.h"
#include "foundation/text.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

const uint64_t kLogOffset = 1048576;
const uint64_t kMetadataOffset = 2097152;
const uint64_t kBatOffset = 3145728;
int WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data)
{
    return WriteKit_WriteAt(s, offset, length, data);
}

int WriteZeros(ByteStream* s, uint64_t offset, uint64_t length)
{
    return WriteKit_WriteZeros(s, offset, length);
}

uint32_t* CrcTable()
{
    uint32_t* table = Crc32_AllocTable();
    if (table != nullptr) Crc32_BuildTable(table, CRC32_POLY_CASTAGNOLI);
    return table;
}

void StoreChecksum(const uint32_t* crc, uint8_t* data, uint32_t length)
{
    Bytes_StoreLe32(data + 4, Vhdx_StructureChecksum(crc, data, length));
}

uint64_t RoundUpMiB(uint64_t n) { return Math_DivCeilU64(n, VHDX_MIB) * VHDX_MIB; }

// The header of a new file at `at` of the first MiB.
bool BuildHeader(uint8_t* at, uint64_t sequence, const uint32_t* crc)
{
    std::memcpy(at, "head", 4);
    Bytes_StoreLe64(at + 8, sequence);
    if (!Uuid_Generate(at + 16) || !Uuid_Generate(at + 32)) return false;
    Bytes_StoreLe16(at + 64, 0);
    Bytes_StoreLe16(at + 66, 1);
    Bytes_StoreLe32(at + 68, static_cast<uint32_t>(VHDX_MIB));
    Bytes_StoreLe64(at + 72, kLogOffset);
    StoreChecksum(crc, at, VHDX_HEADER_BYTES);
    return true;
}

void PutRegion(uint8_t* entry, const uint8_t* guid, uint64_t offset, uint32_t length)
{
    std::memcpy(entry, guid, 16);
    Bytes_StoreLe64(entry + 16, offset);
    Bytes_StoreLe32(entry + 24, length);
    Bytes_StoreLe32(entry + 28, 1);
}

void PutItem(uint8_t* entry, const uint8_t* guid, uint32_t offset, uint32_t length, uint32_t flags)
{
    std::memcpy(entry, guid, 16);
    Bytes_StoreLe32(entry + 16, offset);
    Bytes_StoreLe32(entry + 20, length);
    Bytes_StoreLe32(entry + 24, flags);
}

int CloseOutput(ByteStream* s, bool preallocated, int rc)
{
    return WriteKit_CloseOutput(s, preallocated, rc);
}

void BatToDisk(uint64_t* bat, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) bat[i] = Bytes_HostToLe64(bat[i]);
}

}  // namespace

VhdxCreateOptions* Vhdx_AllocCreateOptions()
{
    return static_cast<VhdxCreateOptions*>(Mem_Alloc(sizeof(VhdxCreateOptions)));
}

int Vhdx_WriteBlocks(uint32_t blockSize, uint64_t totalSectors, uint32_t chunkRatio,
                     uint32_t batEntryCount, uint64_t offset, uint64_t* bat, ByteStream* out,
                     const DiskHandle* source, UsedSectorMap* map, ProgressCallback callback,
                     void* user, const VhdxCreateOptions* options)
{
    if (blockSize < 512 || chunkRatio == 0 || bat == nullptr || out == nullptr ||
        source == nullptr || options == nullptr)
        return DISK_ERR_ARG;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(VHDX_COPY_BYTES));
    if (buffer == nullptr) return DISK_ERR_NOMEM;
    const uint32_t blockSectors = blockSize / 512;
    // Each piece of a block is read once and serves the zero test and the copy. A block that
    // reads as zeros is stored as the zero state (every block with keepEveryBlock).
    WriterBlockPlacer placer = {out, offset, false, WRITER_HOLES_INSIDE};
    uint64_t index = 0;
    int rc = WriterKit_Walk(
        source, map, 0, totalSectors, blockSectors, buffer, VHDX_COPY_BYTES / 512,
        [&](const WriterPiece& p) -> int {
            if (p.offset == 0) {
                if (!WriteKit_Progress(callback, user, p.first, totalSectors))
                    return DISK_CANCELLED;
                index = p.block + p.block / chunkRatio;
                if (index >= batEntryCount) return DISK_ERR_ARG;
                placer = WriterBlockPlacer{out, offset, options->keepEveryBlock != 0,
                                           WRITER_HOLES_INSIDE};
            }
            int r = WriterKit_PlacePiece(&placer, &p);
            if (r != DISK_OK || !p.lastOfBlock) return r;
            if (!placer.placed) {
                bat[index] = VHDX_BLOCK_ZERO;
                return DISK_OK;
            }
            // A short last block is stored whole.
            if (p.blockCount < blockSectors &&
                (r = WriteZeros(out, offset + static_cast<uint64_t>(p.blockCount) * 512,
                                static_cast<uint64_t>(blockSectors - p.blockCount) * 512)) !=
                    DISK_OK)
                return r;
            bat[index] = offset | VHDX_BLOCK_FULLY_PRESENT;
            offset += blockSize;
            return DISK_OK;
        });
    if (rc == DISK_OK && !WriteKit_Progress(callback, user, totalSectors, totalSectors))
        rc = DISK_CANCELLED;
    Mem_Free(buffer);
    return rc;
}

int Vhdx_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback callback, void* user, const VhdxCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr) return DISK_ERR_ARG;
    if (options->blockSizeShift > 8) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Vhdx_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    const bool logical4096 = options->logicalSector4096 != 0;
    const bool physical4096 = options->physicalSector4096 != 0;
    uint64_t total = Geometry_GetTotalSectors(&g);
    const uint64_t sourceTotal = total;
    if (logical4096 || physical4096) total = Math_DivCeilU64(total, 8) * 8;
    if (total > VHDX_MAX_VIRTUAL_SIZE / 512) return DISK_ERR_ARG;

    const uint32_t lss = logical4096 ? 4096 : 512;
    const uint32_t blockSize = static_cast<uint32_t>(VHDX_MIB) << options->blockSizeShift;
    const uint64_t virtualSize = total * 512;
    const uint64_t d = Math_DivCeilU64(virtualSize, blockSize);
    const uint64_t c = static_cast<uint64_t>(8388608) * lss / blockSize;
    const uint64_t entries = d + (d - 1) / c;
    const uint64_t batLength = RoundUpMiB(entries * 8);

    // A disk rounded up to whole 4096-byte sectors is read through a view whose tail is zeros.
    DiskHandle view;
    Disk_Init(&view);
    const DiskHandle* reader = source;
    if (total != sourceTotal) {
        int rc = Disk_OpenResized(&view, const_cast<DiskHandle*>(source), false, total);
        if (rc != DISK_OK) return rc;
        reader = &view;
    }

    uint8_t* first = static_cast<uint8_t*>(Mem_Alloc(VHDX_MIB));
    uint64_t* bat = static_cast<uint64_t*>(Mem_Alloc(static_cast<uint32_t>(entries * 8)));
    uint32_t* crc = CrcTable();
    int rc = DISK_OK;
    ByteStream* out = nullptr;
    if (first == nullptr || bat == nullptr || crc == nullptr) {
        rc = DISK_ERR_NOMEM;
    } else if (!Stream_CreateFile(path, &out)) {
        rc = DISK_ERR_CREATE;
        out = nullptr;
    }
    if (rc == DISK_OK) {
        std::memset(bat, 0, static_cast<size_t>(entries * 8));
        // The first MiB (file identifier, headers, region tables) goes out last: until then it
        // is a hole that reads as zeros, so that an output that was cancelled or failed is not
        // taken for an image.
        rc = WriteZeros(out, kLogOffset, VHDX_MIB);
    }
    if (rc == DISK_OK) {
        // The metadata region.
        std::memset(first, 0, VHDX_MIB);
        std::memcpy(first, "metadata", 8);
        Bytes_StoreLe16(first + 10, 5);
        PutItem(first + 32, VHDX_GUID_FILE_PARAMETERS, 65536, 8, 4);
        PutItem(first + 64, VHDX_GUID_VIRTUAL_DISK_SIZE, 65544, 8, 6);
        PutItem(first + 96, VHDX_GUID_LOGICAL_SECTOR_SIZE, 65552, 4, 6);
        PutItem(first + 128, VHDX_GUID_PHYSICAL_SECTOR_SIZE, 65556, 4, 6);
        PutItem(first + 160, VHDX_GUID_VIRTUAL_DISK_ID, 65560, 16, 6);
        Bytes_StoreLe32(first + 65536, blockSize);
        Bytes_StoreLe32(first + 65540, 0);
        Bytes_StoreLe64(first + 65544, virtualSize);
        Bytes_StoreLe32(first + 65552, lss);
        Bytes_StoreLe32(first + 65556, physical4096 ? 4096 : 512);
        if (!Uuid_Generate(first + 65560)) rc = DISK_ERR_NOMEM;
        if (rc == DISK_OK) rc = WriteAt(out, kMetadataOffset, VHDX_MIB, first);
        if (rc == DISK_OK) rc = WriteZeros(out, kBatOffset, batLength);
    }
    if (rc == DISK_OK) {
        VhdxCreateOptions o = *options;
        rc = Vhdx_WriteBlocks(blockSize, total, static_cast<uint32_t>(c),
                              static_cast<uint32_t>(entries), kBatOffset + batLength, bat, out,
                              reader, map, callback, user, &o);
    }
    if (rc == DISK_OK) {
        BatToDisk(bat, static_cast<uint32_t>(entries));
        rc = WriteAt(out, kBatOffset, static_cast<uint32_t>(entries * 8), bat);
    }
    if (rc == DISK_OK) {
        std::memset(first, 0, VHDX_MIB);
        // File type identifier with its creator text in UTF-16LE.
        std::memcpy(first, "vhdxfile", 8);
        static const char kCreator[] = "Microsoft Windows 6.2.9200.16384";
        for (uint32_t i = 0; kCreator[i] != 0; i++)
            first[8 + 2 * i] = static_cast<uint8_t>(kCreator[i]);
        if (!BuildHeader(first + VHDX_HEADER_1_OFFSET, 2, crc) ||
            !BuildHeader(first + VHDX_HEADER_2_OFFSET, 3, crc))
            rc = DISK_ERR_NOMEM;
        uint8_t* regions = first + VHDX_REGION_1_OFFSET;
        std::memcpy(regions, "regi", 4);
        Bytes_StoreLe32(regions + 8, 2);
        PutRegion(regions + 16, VHDX_GUID_BAT_REGION, kBatOffset, static_cast<uint32_t>(batLength));
        PutRegion(regions + 48, VHDX_GUID_METADATA_REGION, kMetadataOffset,
                  static_cast<uint32_t>(VHDX_MIB));
        StoreChecksum(crc, regions, VHDX_REGION_BYTES);
        std::memcpy(first + VHDX_REGION_2_OFFSET, regions, VHDX_REGION_BYTES);
        if (rc == DISK_OK) rc = WriteAt(out, 0, VHDX_MIB, first);
    }
    rc = CloseOutput(out, false, rc);
    Mem_Free(first);
    Mem_Free(bat);
    Mem_Free(crc);
    if (reader == &view) {
        Disk_Close(&view);
    }
    return rc;
}

// ---- Compaction -------------------------------------------------------------------------

int Vhdx_SetCompactPaths(OutputFile* output, const char* path, const VhdxImage* image)
{
    const TextView suffix = Path_CompactSuffix();
    // The files of the image and of its parents.
    const char* chain[VHDX_MAX_PARENT_DEPTH + 2];
    uint32_t count = 0;
    chain[count++] = path;
    for (; image != nullptr && count < VHDX_MAX_PARENT_DEPTH + 2; image = image->parent) {
        if (image->path != nullptr) chain[count++] = image->path;
    }
    return OutputEntry_ChooseNames(&output->entry, path, suffix, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                   chain, count);
}

namespace {

// Copies `length` bytes (whole MiB) from one file offset to another.
int CopyMiBs(ByteStream* from, uint64_t at, ByteStream* to, uint64_t dest, uint64_t length,
             uint8_t* buffer)
{
    for (uint64_t done = 0; done < length; done += VHDX_MIB) {
        if (!Stream_ReadAt(from, at + done, VHDX_MIB, buffer)) return DISK_ERR_READ;
        if (!Stream_WriteAt(to, dest + done, VHDX_MIB, buffer)) return DISK_ERR_WRITE;
    }
    return DISK_OK;
}

// The body of the compaction once the output file exists.
int CompactInto(VhdxImage* image, const DiskHandle* source, UsedSectorMap* map, ByteStream* out,
                ProgressCallback callback, void* user, uint8_t* first, uint8_t* buffer,
                const uint32_t* crc)
{
    ByteStream* in = image->stream;
    const uint64_t fileSize = image->fileSize;
    if (!Stream_ReadAt(in, 0, VHDX_MIB, first)) return DISK_ERR_READ;

    // The current header: the larger sequence number, the second one on equality.
    uint8_t* h1 = first + VHDX_HEADER_1_OFFSET;
    uint8_t* h2 = first + VHDX_HEADER_2_OFFSET;
    uint8_t* header = Bytes_LoadLe64(h1 + 8) > Bytes_LoadLe64(h2 + 8) ? h1 : h2;
    if (!Mem_IsZero(header + 48, 16)) return DISK_ERR_UNSUPPORTED;
    const uint64_t logLength = RoundUpMiB(Bytes_LoadLe32(header + 68));
    const uint64_t logOffset = Bytes_LoadLe64(header + 72);
    if (logOffset < VHDX_MIB || logOffset > fileSize || logLength > fileSize - logOffset)
        return Refusal_Record("VHDX header: log lies outside the file");
    int rc = CopyMiBs(in, logOffset, out, kLogOffset, logLength, buffer);
    if (rc != DISK_OK) return rc;
    Bytes_StoreLe64(header + 72, kLogOffset);
    uint64_t position = kLogOffset + logLength;

    // Every region but the BAT moves behind the log in table order, then the BAT.
    uint8_t* regions =
        first + (image->usedRegionCopy ? VHDX_REGION_2_OFFSET : VHDX_REGION_1_OFFSET);
    const uint32_t count = Bytes_LoadLe32(regions + 8);
    if (count > VHDX_MAX_TABLE_ENTRIES)
        return Refusal_Record("VHDX region table: too many entries");
    uint8_t* batEntry = nullptr;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t* e = regions + 16 + i * 32;
        if (std::memcmp(e, VHDX_GUID_BAT_REGION, 16) == 0) {
            if (batEntry != nullptr)
                return Refusal_Record("VHDX region table: two block allocation tables");
            batEntry = e;
            continue;
        }
        const uint64_t offset = Bytes_LoadLe64(e + 16);
        const uint64_t length = RoundUpMiB(Bytes_LoadLe32(e + 24));
        if (offset > fileSize || length > fileSize - offset)
            return Refusal_Record("VHDX region table: a region lies outside the file");
        if ((rc = CopyMiBs(in, offset, out, position, length, buffer)) != DISK_OK) return rc;
        Bytes_StoreLe64(e + 16, position);
        position += length;
    }
    if (batEntry == nullptr) return Refusal_Record("VHDX region table: no block allocation table");
    const uint64_t batAt = position;
    const uint64_t batLength = RoundUpMiB(Bytes_LoadLe32(batEntry + 24));
    if (batLength < static_cast<uint64_t>(image->batEntryCount) * 8)
        return Refusal_Record("VHDX block allocation table: region too small for the disk");
    Bytes_StoreLe64(batEntry + 16, batAt);
    StoreChecksum(crc, regions, VHDX_REGION_BYTES);
    // Both copies get the new table.
    if (regions != first + VHDX_REGION_1_OFFSET)
        std::memcpy(first + VHDX_REGION_1_OFFSET, regions, VHDX_REGION_BYTES);
    else
        std::memcpy(first + VHDX_REGION_2_OFFSET, regions, VHDX_REGION_BYTES);
    if ((rc = WriteZeros(out, batAt, batLength)) != DISK_OK) return rc;

    const uint32_t entries = image->batEntryCount;
    uint64_t* bat = static_cast<uint64_t*>(Mem_Alloc(entries * 8));
    if (bat == nullptr) return DISK_ERR_NOMEM;
    std::memset(bat, 0, static_cast<size_t>(entries) * 8);
    VhdxCreateOptions options = {0, 0, 0, 0};
    rc = Vhdx_WriteBlocks(image->blockSize, Geometry_GetTotalSectors(&image->geometry),
                          image->chunkRatio, entries, batAt + batLength, bat, out, source, map,
                          callback, user, &options);
    if (rc == DISK_OK) {
        BatToDisk(bat, entries);
        rc = WriteAt(out, batAt, entries * 8, bat);
    }
    Mem_Free(bat);
    if (rc != DISK_OK) return rc;
    StoreChecksum(crc, header, VHDX_HEADER_BYTES);
    return WriteAt(out, 0, VHDX_MIB, first);
}

}  // namespace

int Vhdx_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                 bool preallocate, ProgressCallback callback, void* user)
{
    if (output == nullptr || path == nullptr) return DISK_ERR_ARG;
    OutputFile_Init(output);
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_VHDX ||
        Disk_GetObject(source) == nullptr)
        return DISK_ERR_ARG;
    VhdxImage* image = static_cast<VhdxImage*>(Disk_GetObject(source));
    int rc = Vhdx_SetCompactPaths(output, path, image);
    if (rc != DISK_OK) return rc;
    const char* temp = reinterpret_cast<const char*>(output->entry.tempPath.data);

    uint8_t* first = static_cast<uint8_t*>(Mem_Alloc(VHDX_MIB));
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(VHDX_MIB));
    uint32_t* crc = CrcTable();
    ByteStream* out = nullptr;
    if (first == nullptr || buffer == nullptr || crc == nullptr) {
        rc = DISK_ERR_NOMEM;
    } else if (preallocate) {
        if (!Stream_CreatePreallocated(temp, image->fileSize, &out)) rc = DISK_ERR_SIZE;
    } else if (!Stream_CreateFile(temp, &out)) {
        rc = DISK_ERR_CREATE;
    }
    if (rc == DISK_OK) {
        output->armed = true;
        rc = CompactInto(image, source, map, out, callback, user, first, buffer, crc);
        rc = CloseOutput(out, preallocate, rc);
    }
    Mem_Free(first);
    Mem_Free(buffer);
    Mem_Free(crc);
    return rc;
}

int Vhdx_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Commit(output, suffix, flags);
}

int Vhdx_DiscardCompact(OutputFile* output)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Rollback(output);
}
