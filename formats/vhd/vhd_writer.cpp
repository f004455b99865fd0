// VHD writers, compaction, expansion, differencing children and the parent-locator rewrite.
#include "formats/vhd/vhd_writer.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/writer_kit.h"
#include "formats/vhd/vhd_fixed.h"
#include "foundation/encoding.h"
#include "foundation/in_place.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

const uint64_t kHeaderOffset = 512;
const uint64_t kTableOffset = 1536;

int WriteAt(ByteStream* s, uint64_t offset, uint32_t length, const void* data)
{
    return WriteKit_WriteAt(s, offset, length, data);
}

int ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* data)
{
    return WriteKit_ReadAt(s, offset, length, data);
}

int WriteZeros(ByteStream* s, uint64_t offset, uint64_t length)
{
    return WriteKit_WriteZeros(s, offset, length);
}

// Copies [0, length) of one stream into another through the buffer.
int CopyPrefix(ByteStream* from, ByteStream* to, uint64_t length, uint8_t* buffer,
               uint32_t bufferSize)
{
    for (uint64_t done = 0; done < length;) {
        const uint64_t rest = length - done;
        const uint32_t n = rest < bufferSize ? static_cast<uint32_t>(rest) : bufferSize;
        int rc = ReadAt(from, done, n, buffer);
        if (rc != DISK_OK) return rc;
        if ((rc = WriteAt(to, done, n, buffer)) != DISK_OK) return rc;
        done += n;
    }
    return DISK_OK;
}

inline void SetBitmapBit(uint8_t* bitmap, uint32_t i)
{
    bitmap[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
}

bool ValidateOptions(const VhdCreateOptions* o)
{
    if (o == nullptr) return false;
    const uint32_t b = o->blockSectors;
    uint32_t bytes = 0;
    return b != 0 && (b & (b - 1)) == 0 && Math_MulU32(b, 512, &bytes) &&
           o->zeroSectorsAfterBat <= VHD_MAX_PADDING_SECTORS &&
           o->zeroSectorsAfterBlock <= VHD_MAX_PADDING_SECTORS;
}

uint32_t BitmapSectorsFor(uint32_t blockSectors)
{
    return static_cast<uint32_t>(Math_DivCeilU64(Math_DivCeilU64(blockSectors, 8), 512));
}

// Table length of the writer and of dynamic compaction: whole sectors, raised with the
// alignment flag so that the table (at 1536) ends on a 4096-byte boundary.
uint64_t WriterTableLength(uint32_t entries, uint32_t alignment)
{
    uint64_t length = Math_DivCeilU64(static_cast<uint64_t>(entries) * 4, 512) * 512;
    if (alignment != 0) length = Math_DivCeilU64(length + kTableOffset, 4096) * 4096 - kTableOffset;
    return length;
}

// A footer whose creator sizes the disk by its current size states the exact size, so that
// every reader sees the total and nothing more.
void FinishFooter(VhdFooter* footer, VhdFooter* disk)
{
    footer->checksum = Vhd_ComputeChecksum(footer, sizeof(VhdFooter), VHD_FOOTER_CHECKSUM_OFFSET);
    Vhd_FooterToDisk(footer, disk);
}

void FinishHeader(VhdDynamicHeader* header, VhdDynamicHeader* disk)
{
    header->checksum =
        Vhd_ComputeChecksum(header, sizeof(VhdDynamicHeader), VHD_HEADER_CHECKSUM_OFFSET);
    Vhd_ConvertDynamicHeader(header, disk);
}

const char* TempPath(const OutputFile* output)
{
    return reinterpret_cast<const char*>(output->entry.tempPath.data);
}

TextView CompactSuffix() { return Path_CompactSuffix(); }

int CloseOutput(ByteStream* s, bool preallocated, int rc)
{
    return WriteKit_CloseOutput(s, preallocated, rc);
}

// Whether two paths name the same file (told apart by device and inode).
bool SameFile(const char* a, const char* b) { return Output_IsFileOf(a, &b, 1); }

// The files of an image and of the VHD images up its parent chain.
struct ChainFiles {
    const char* paths[VHD_MAX_PARENT_DEPTH + 2];
    uint32_t count;
};

void CollectChainFiles(const VhdImage* image, ChainFiles* out)
{
    out->count = 0;
    for (uint32_t depth = 0; image != nullptr && depth <= VHD_MAX_PARENT_DEPTH; depth++) {
        out->paths[out->count++] = reinterpret_cast<const char*>(image->pathStorage);
        const DiskHandle* up = image->parent;
        image = up != nullptr && Disk_GetKind(up) == DISK_KIND_VHD
                    ? static_cast<const VhdImage*>(Disk_GetObject(up))
                    : nullptr;
    }
}

// Final path = path, temporary path = path + suffix or the first free numbered variant of it,
// never a file of the image's chain; the backup name path + "_del" must not be one either.
int ChooseOutputPaths(OutputFile* output, const char* path, TextView suffix, const VhdImage* image)
{
    ChainFiles chain;
    CollectChainFiles(image, &chain);
    return OutputEntry_ChooseNames(&output->entry, path, suffix, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                   chain.paths, chain.count);
}

// The buffers of one writing operation, allocated once.
struct WriteBuffers {
    uint8_t* block;   // VHD_COPY_BYTES (also the copy buffer)
    uint8_t* bitmap;  // 2 x bitmap sectors x 512
    uint32_t* bat;    // table length bytes
};

void FreeBuffers(WriteBuffers* b)
{
    Mem_Free(b->block);
    Mem_Free(b->bitmap);
    Mem_Free(b->bat);
    b->block = nullptr;
    b->bitmap = nullptr;
    b->bat = nullptr;
}

int AllocBuffers(WriteBuffers* b, uint32_t bitmapSectors, uint64_t tableLength, uint32_t entries)
{
    b->block = nullptr;
    b->bitmap = nullptr;
    b->bat = nullptr;
    if (tableLength > 0x7FFFFFFFull) return DISK_ERR_NOMEM;
    b->block = static_cast<uint8_t*>(Mem_Alloc(VHD_COPY_BYTES));
    b->bitmap = static_cast<uint8_t*>(Mem_Alloc(bitmapSectors * 512 * 2));
    b->bat = static_cast<uint32_t*>(Mem_Alloc(static_cast<uint32_t>(tableLength)));
    if (b->block == nullptr || b->bitmap == nullptr || b->bat == nullptr) {
        FreeBuffers(b);
        return DISK_ERR_NOMEM;
    }
    std::memset(b->bat, 0, static_cast<size_t>(tableLength));
    for (uint32_t i = 0; i < entries; i++) b->bat[i] = VHD_UNALLOCATED;
    return DISK_OK;
}

// Converts the first `entries` table entries to file order in place.
void TableToDisk(uint32_t* bat, uint32_t entries)
{
    for (uint32_t i = 0; i < entries; i++) {
        const uint32_t v = bat[i];
        Bytes_WriteU32Be(v, &bat[i]);
    }
}

// Builds the footer of a child: the options' creator with the parent's CHS and the parent's
// exact size. The geometry rule is applied as for a current-size
// creator first, so that a CHS-sized child of a parent with partial cylinders is judged by the
// CHS it really gets (the parent's).
int BuildChildFooter(VhdFooter* footer, const DiskGeometry* geometry,
                     const VhdCreateOptions* options, const VhdFooter* parentFooter)
{
    VhdCreateOptions sizing = *options;
    sizing.creatorApplication = VHD_CODE_WIN;
    int rc = Vhd_InitFooter(footer, geometry, &sizing, VHD_DISK_TYPE_DIFFERENCING);
    if (rc == DISK_ERR_ARG) {
        // A geometry the footer cannot hold (a non-VHD parent): the VHD rule's heads and sectors.
        DiskGeometry g = {};
        Vhd_ComputeGeometry(Geometry_GetTotalSectors(geometry) * 512, &g);
        rc = Vhd_InitFooter(footer, &g, &sizing, VHD_DISK_TYPE_DIFFERENCING);
    }
    if (rc != DISK_OK) return rc;
    footer->creatorApplication = options->creatorApplication;
    footer->cylinders = parentFooter->cylinders;
    footer->heads = parentFooter->heads;
    footer->sectorsPerTrack = parentFooter->sectorsPerTrack;
    // The child states exactly the parent's size, whatever its creator: readers that size a
    // differencing disk by its current size must not run past the parent's end.
    const uint64_t total = Geometry_GetTotalSectors(geometry);
    footer->originalSize = total * 512;
    footer->currentSize = total * 512;
    if (Vhd_FooterDiskSectors(footer) != total) return DISK_ERR_ARG;
    return DISK_OK;
}

// Relative parent path for the locators, in the form Windows tools read: from the child's
// directory, with backslash separators and dot-backslash in front unless it begins with ".."
// (".\p.vhd", "..\bases\p.vhd" as C strings). The reader takes either separator.
bool MakeRelativeParentPath(TextView parentPath, TextView childPath, TextBuffer* out)
{
    out->length = 0;
    if (!Path_MakeRelative(childPath, parentPath, out, TEXT_ENC_UTF8)) return false;
    for (uint32_t i = 0; i < out->length; i++) {
        if (out->data[i] == '/') out->data[i] = '\\';
    }
    const bool up = out->length >= 3 && std::memcmp(out->data, "..\\", 3) == 0;
    if (!up) {
        static const uint8_t kDotBackslash[] = ".\\";
        if (!TextBuffer_Insert(out, 0, TextView{kDotBackslash, 2})) return false;
    }
    return true;
}

bool IsValidText(const uint8_t* data, uint32_t length, TextEncoding encoding)
{
    const uint32_t unit = Text_UnitSize(encoding);
    if (unit == 0 || length % unit != 0) return false;
    uint32_t i = 0;
    while (i < length) {
        const uint32_t n = Text_ValidCharLength(data + i, length - i, encoding);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Copies a block keeping the source's allocation: in pieces of the copy buffer to dataStart..,
// then its bitmap before it with a bit for every sector of the source.
int CopyBlockKeepingAllocation(ByteStream* out, const DiskHandle* source, UsedSectorMap* map,
                               uint8_t* blockBuffer, uint8_t* bitmapBuffer, uint32_t bitmapBytes,
                               uint64_t first, uint64_t dataStart, uint32_t blockSectors,
                               uint32_t sectors)
{
    std::memset(bitmapBuffer, 0, bitmapBytes);
    for (uint32_t i = 0; i < sectors; i++) SetBitmapBit(bitmapBuffer, i);
    const uint32_t chunkSectors =
        blockSectors < VHD_COPY_BYTES / 512 ? blockSectors : VHD_COPY_BYTES / 512;
    int rc = WriterKit_Walk(source, map, first, sectors, blockSectors, blockBuffer, chunkSectors,
                            [&](const WriterPiece& p) {
                                const uint64_t at = (dataStart + p.offset) * 512;
                                return p.data != nullptr ? WriteAt(out, at, p.count * 512, p.data)
                                                         : WriteZeros(out, at, p.count * 512ull);
                            });
    if (rc == DISK_OK && sectors < blockSectors)
        rc = WriteZeros(out, (dataStart + sectors) * 512,
                        static_cast<uint64_t>(blockSectors - sectors) * 512);
    if (rc != DISK_OK) return rc;
    return WriteAt(out, (dataStart - bitmapBytes / 512) * 512, bitmapBytes, bitmapBuffer);
}

// Copies a block read once, in pieces of the copy buffer that each serve the zero test and the
// copy (WriterKit_Walk, WriterKit_PlacePiece): a block that reads as zeros is not placed
// (*placed false) and nothing is written; otherwise the block goes to dataStart, its tail past
// the source's end as zeros, and its bitmap before it marks the non-zero sectors.
int CopyBlockOnce(ByteStream* out, const DiskHandle* source, UsedSectorMap* map,
                  uint8_t* blockBuffer, uint8_t* bitmapBuffer, uint32_t bitmapBytes, uint64_t first,
                  uint64_t dataStart, uint32_t blockSectors, uint32_t sectors, bool* placed)
{
    *placed = false;
    std::memset(bitmapBuffer, 0, bitmapBytes);
    const uint32_t chunkSectors =
        blockSectors < VHD_COPY_BYTES / 512 ? blockSectors : VHD_COPY_BYTES / 512;
    WriterBlockPlacer block = {out, dataStart * 512, false, WRITER_HOLES_ANY};
    int rc = WriterKit_Walk(source, map, first, sectors, blockSectors, blockBuffer, chunkSectors,
                            [&](const WriterPiece& p) {
                                if (!p.zero) {
                                    for (uint32_t i = 0; i < p.count; i++) {
                                        if (!Mem_IsZero(p.data + static_cast<size_t>(i) * 512, 512))
                                            SetBitmapBit(bitmapBuffer, p.offset + i);
                                    }
                                }
                                return WriterKit_PlacePiece(&block, &p);
                            });
    if (rc != DISK_OK || !block.placed) return rc;
    *placed = true;
    if (sectors < blockSectors &&
        (rc = WriteZeros(out, (dataStart + sectors) * 512,
                         static_cast<uint64_t>(blockSectors - sectors) * 512)) != DISK_OK)
        return rc;
    return WriteAt(out, (dataStart - bitmapBytes / 512) * 512, bitmapBytes, bitmapBuffer);
}

}  // namespace

// ---- Dynamic writer -------------------------------------------------------------------

int Vhd_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                   UsedSectorMap* map, uint8_t* blockBuffer, uint8_t* bitmapBuffer,
                   uint32_t bitmapSectors, uint32_t* bat, uint32_t blockIndex, uint32_t sectors,
                   const VhdCreateOptions* options, bool keepAllocation)
{
    if (out == nullptr || position == nullptr || source == nullptr || blockBuffer == nullptr ||
        bitmapBuffer == nullptr || bat == nullptr || !ValidateOptions(options))
        return DISK_ERR_ARG;
    const uint32_t blockSectors = options->blockSectors;
    if (sectors == 0 || sectors > blockSectors || bitmapSectors < BitmapSectorsFor(blockSectors))
        return DISK_ERR_ARG;
    const uint32_t bitmapBytes = bitmapSectors * 512;
    const uint64_t first = static_cast<uint64_t>(blockIndex) * blockSectors;
    bat[blockIndex] = VHD_UNALLOCATED;

    const uint64_t start = *position;
    const uint64_t dataStart = start + bitmapSectors;
    int rc = DISK_OK;
    if (!keepAllocation) {
        // Read once: each piece serves the zero test and the copy. Sectors known to be zeros or
        // free by the map are not read; a block that reads as zeros stays unallocated.
        if (start >= VHD_UNALLOCATED) return DISK_ERR_SIZE;
        bool placed = false;
        rc = CopyBlockOnce(out, source, map, blockBuffer, bitmapBuffer, bitmapBytes, first,
                           dataStart, blockSectors, sectors, &placed);
        if (rc != DISK_OK) return rc;
        if (!placed) return DISK_OK;
    } else {
        // Free space known from the map is neither asked about nor read.
        if (map != nullptr) {
            uint8_t* used = bitmapBuffer + bitmapBytes;
            rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(sectors), used);
            if (rc != DISK_OK) return rc;
            if (!Bits_AnySet(used, 0, sectors)) return DISK_OK;
        }
        // Keeping the source's allocation asks the source's tables, not its data.
        bool nothing = false;
        rc = Disk_IsRangeUnallocated(source, map, first, sectors, &nothing);
        if (rc != DISK_OK) return rc;
        if (nothing) return DISK_OK;
        if (start >= VHD_UNALLOCATED) return DISK_ERR_SIZE;
        rc = CopyBlockKeepingAllocation(out, source, map, blockBuffer, bitmapBuffer, bitmapBytes,
                                        first, dataStart, blockSectors, sectors);
        if (rc != DISK_OK) return rc;
    }
    const uint64_t padStart = dataStart + blockSectors;
    if (options->zeroSectorsAfterBlock != 0) {
        rc = WriteZeros(out, padStart * 512,
                        static_cast<uint64_t>(options->zeroSectorsAfterBlock) * 512);
        if (rc != DISK_OK) return rc;
    }
    bat[blockIndex] = static_cast<uint32_t>(start);
    *position = padStart + options->zeroSectorsAfterBlock;
    return DISK_OK;
}

int Vhd_WriteDynamic(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     OutputFile* output, ProgressCallback callback, void* user,
                     const VhdCreateOptions* options, uint32_t /*unusedFlags*/,
                     const VhdFooter* footerTemplate, const VhdDynamicHeader* headerTemplate)
{
    if (path == nullptr || source == nullptr || !ValidateOptions(options)) return DISK_ERR_ARG;
    if (output != nullptr) {
        OutputFile_Init(output);
        // A source image's chain was checked by the caller; a leftover is never reused.
        int rc = ChooseOutputPaths(output, path, Path_TempSuffix(TEXT_ENC_UTF8), nullptr);
        if (rc != DISK_OK) return rc;
    }
    DiskGeometry geometry = {};
    Disk_GetGeometry(source, &geometry);
    if (Vhd_CheckGeometry(&geometry) != 0) return DISK_ERR_ARG;
    const uint32_t total = static_cast<uint32_t>(Geometry_GetTotalSectors(&geometry));
    const uint32_t blockSectors = options->blockSectors;

    // Footer and header, host order first.
    VhdFooter footer;
    int rc;
    if (footerTemplate != nullptr) {
        footer = *footerTemplate;
        if ((rc = Vhd_SetFooterGeometry(&footer, &geometry)) != DISK_OK) return rc;
        footer.dataOffset = kHeaderOffset;
    } else if ((rc = Vhd_InitFooter(&footer, &geometry, options, VHD_DISK_TYPE_DYNAMIC)) !=
               DISK_OK) {
        return rc;
    }
    // The table covers the disk as readers see it: a CHS-sized footer may round the disk up to
    // whole cylinders, and the blocks after the source's end stay unallocated.
    const uint64_t diskSectors = Vhd_FooterDiskSectors(&footer);
    if (diskSectors > 0xFFFFFFFFull) return DISK_ERR_ARG;
    VhdDynamicHeader header;
    if (headerTemplate != nullptr) {
        header = *headerTemplate;
        if (header.blockSize != blockSectors * 512) return DISK_ERR_ARG;
        header.dataOffset = UINT64_MAX;
        header.tableOffset = kTableOffset;
        header.maxTableEntries = static_cast<uint32_t>(Math_DivCeilU64(diskSectors, blockSectors));
    } else if ((rc = Vhd_InitDynamicHeader(&header, static_cast<uint32_t>(diskSectors), options)) !=
               DISK_OK) {
        return rc;
    }
    VhdFooter diskFooter;
    VhdDynamicHeader diskHeader;
    FinishFooter(&footer, &diskFooter);
    FinishHeader(&header, &diskHeader);

    const uint32_t entries = header.maxTableEntries;
    const uint64_t tableLength = WriterTableLength(entries, options->batAlignment);
    const uint32_t bitmapSectors = BitmapSectorsFor(blockSectors);
    WriteBuffers buffers;
    if ((rc = AllocBuffers(&buffers, bitmapSectors, tableLength, entries)) != DISK_OK) return rc;

    ByteStream* out = nullptr;
    const char* target = output != nullptr ? TempPath(output) : path;
    if (!Stream_CreateWriteOnly(target, 0, false, &out)) {
        FreeBuffers(&buffers);
        return DISK_ERR_CREATE;
    }
    if (output != nullptr) output->armed = true;

    // The footer's copy at 0 goes out last: until then the file starts with zeros (a hole), so
    // that an output that was cancelled or failed is not taken for an image.
    uint64_t position = 0;
    rc = WriteAt(out, kHeaderOffset, sizeof(diskHeader), &diskHeader);
    if (rc == DISK_OK)
        rc = WriteAt(out, kTableOffset, static_cast<uint32_t>(tableLength), buffers.bat);
    if (rc == DISK_OK) {
        rc = WriteZeros(out, kTableOffset + tableLength,
                        static_cast<uint64_t>(options->zeroSectorsAfterBat) * 512);
        position = (kTableOffset + tableLength) / 512 + options->zeroSectorsAfterBat;
    }
    if (rc == DISK_OK && !WriteKit_Progress(callback, user, 0, total)) rc = DISK_CANCELLED;
    uint64_t done = 0;
    for (uint32_t block = 0; rc == DISK_OK && done < total; block++) {
        const uint32_t n =
            total - done < blockSectors ? static_cast<uint32_t>(total - done) : blockSectors;
        rc = Vhd_WriteBlock(out, &position, source, map, buffers.block, buffers.bitmap,
                            bitmapSectors, buffers.bat, block, n, options, false);
        done += n;
        if (rc == DISK_OK && !WriteKit_Progress(callback, user, done, total)) rc = DISK_CANCELLED;
    }
    if (rc == DISK_OK) {
        TableToDisk(buffers.bat, entries);
        rc = WriteAt(out, kTableOffset, static_cast<uint32_t>(tableLength), buffers.bat);
    }
    if (rc == DISK_OK) rc = WriteAt(out, position * 512, sizeof(diskFooter), &diskFooter);
    if (rc == DISK_OK) rc = WriteAt(out, 0, sizeof(diskFooter), &diskFooter);
    rc = CloseOutput(out, false, rc);
    FreeBuffers(&buffers);
    return rc;
}

int Vhd_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
               ProgressCallback callback, void* user, const VhdCreateOptions* options,
               uint32_t flags)
{
    return Vhd_WriteDynamic(path, source, map, nullptr, callback, user, options, flags, nullptr,
                            nullptr);
}

// ---- Compaction ---------------------------------------------------------------------

int Vhd_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                bool preallocate, ProgressCallback callback, void* user)
{
    if (output == nullptr || path == nullptr) return DISK_ERR_ARG;
    OutputFile_Init(output);
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_VHD ||
        Disk_GetObject(source) == nullptr || !Disk_CanCompact(source))
        return DISK_ERR_ARG;
    VhdImage* image = static_cast<VhdImage*>(Disk_GetObject(source));
    int rc = ChooseOutputPaths(output, path, CompactSuffix(), image);
    if (rc != DISK_OK) return rc;
    const bool differencing = Vhd_HasParent(image);
    const uint32_t total = image->geometry.sectors32;
    const uint32_t blockSectors = image->blockSectors;
    const uint32_t entries = image->header.maxTableEntries;
    // Only the blocks the stored table holds can hold data: the others are unallocated in the
    // image and stay so.
    const uint32_t walked = image->batStoredEntries;

    VhdCreateOptions layout;
    layout.creatorApplication = image->footer.creatorApplication;
    layout.creatorVersion = image->footer.creatorVersion;
    layout.batAlignment = image->batAlignment;
    layout.blockSectors = blockSectors;
    layout.zeroSectorsAfterBat = image->zeroSectorsAfterBat;
    layout.zeroSectorsAfterBlock = image->zeroSectorsAfterBlock;
    if (!ValidateOptions(&layout)) return DISK_ERR_ARG;

    // A differencing table is rewritten in place over exactly its own bytes (the locator data
    // behind it stays); a dynamic one is laid out anew at 1536.
    const uint64_t tableLength = differencing ? static_cast<uint64_t>(entries) * 4
                                              : WriterTableLength(entries, layout.batAlignment);
    const uint32_t bitmapSectors = image->bitmapBytes / 512;
    WriteBuffers buffers;
    if ((rc = AllocBuffers(&buffers, bitmapSectors, tableLength, entries)) != DISK_OK) return rc;

    uint64_t sourceSize = 0;
    ByteStream* out = nullptr;
    if (preallocate) {
        if (!Stream_GetSize(image->stream, &sourceSize) ||
            !Stream_CreatePreallocated(TempPath(output), sourceSize, &out)) {
            FreeBuffers(&buffers);
            return DISK_ERR_SIZE;
        }
    } else if (!Stream_CreateWriteOnly(TempPath(output), 0, false, &out)) {
        FreeBuffers(&buffers);
        return DISK_ERR_CREATE;
    }
    output->armed = true;

    VhdFooter footer = image->footer;
    VhdFooter diskFooter;
    uint64_t position = 0;
    uint64_t tableAt = 0;
    if (differencing) {
        // Everything before the first block (footer copy, header, table, locator data) as is.
        const uint64_t prefix = image->firstBlockSector * 512;
        rc = CopyPrefix(image->stream, out, prefix, buffers.block, VHD_COPY_BYTES);
        position = image->firstBlockSector;
        tableAt = image->tableOffset;
        Vhd_FooterToDisk(&footer, &diskFooter);  // the stored footer, checksum as stored
    } else {
        footer.dataOffset = kHeaderOffset;
        FinishFooter(&footer, &diskFooter);
        VhdDynamicHeader header = image->header;
        header.tableOffset = kTableOffset;
        VhdDynamicHeader diskHeader;
        FinishHeader(&header, &diskHeader);
        rc = WriteAt(out, 0, sizeof(diskFooter), &diskFooter);
        if (rc == DISK_OK) rc = WriteAt(out, kHeaderOffset, sizeof(diskHeader), &diskHeader);
        if (rc == DISK_OK)
            rc = WriteAt(out, kTableOffset, static_cast<uint32_t>(tableLength), buffers.bat);
        if (rc == DISK_OK)
            rc = WriteZeros(out, kTableOffset + tableLength,
                            static_cast<uint64_t>(layout.zeroSectorsAfterBat) * 512);
        position = (kTableOffset + tableLength) / 512 + layout.zeroSectorsAfterBat;
        tableAt = kTableOffset;
    }

    if (rc == DISK_OK && !WriteKit_Progress(callback, user, 0, total)) rc = DISK_CANCELLED;
    // Progress at most once per copy piece (2 MiB) or per block, whichever is larger.
    const uint64_t reportStep =
        blockSectors > VHD_COPY_BYTES / 512 ? blockSectors : VHD_COPY_BYTES / 512;
    uint64_t done = 0;
    uint64_t reported = 0;
    for (uint32_t block = 0; rc == DISK_OK && block < walked && done < total; block++) {
        const uint32_t n =
            total - done < blockSectors ? static_cast<uint32_t>(total - done) : blockSectors;
        rc = Vhd_WriteBlock(out, &position, source, map, buffers.block, buffers.bitmap,
                            bitmapSectors, buffers.bat, block, n, &layout, differencing);
        done += n;
        if (rc == DISK_OK && done - reported >= reportStep) {
            reported = done;
            if (!WriteKit_Progress(callback, user, done, total)) rc = DISK_CANCELLED;
        }
    }
    if (rc == DISK_OK && reported != total && !WriteKit_Progress(callback, user, total, total))
        rc = DISK_CANCELLED;
    if (rc == DISK_OK) {
        TableToDisk(buffers.bat, entries);
        rc = WriteAt(out, tableAt, static_cast<uint32_t>(tableLength), buffers.bat);
    }
    if (rc == DISK_OK) rc = WriteAt(out, position * 512, image->footerLength, &diskFooter);
    rc = CloseOutput(out, preallocate, rc);
    FreeBuffers(&buffers);
    return rc;
}

int Vhd_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags, bool /*entryPoint*/)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Commit(output, suffix, flags);
}

int Vhd_DiscardCompact(OutputFile* output)
{
    if (output == nullptr) return DISK_ERR_ARG;
    return OutputFile_Rollback(output);
}

// ---- Capacity expansion ------------------------------------------------------------

int Vhd_ExpandCapacity(const char* path, const DiskHandle* source, UsedSectorMap* map,
                       OutputFile* output, uint32_t newTotal, ProgressCallback callback, void* user)
{
    if (path == nullptr || output == nullptr || source == nullptr ||
        Disk_GetKind(source) != DISK_KIND_VHD || Disk_GetObject(source) == nullptr)
        return DISK_ERR_ARG;
    const VhdImage* image = static_cast<const VhdImage*>(Disk_GetObject(source));
    // A differencing disk would lose its locator data and the parent's view of zero sectors.
    if (Vhd_HasParent(Disk_GetObject(source))) return DISK_ERR_ARG;
    if (newTotal < image->geometry.sectors32 || newTotal > VHD_MAX_SECTORS) return DISK_ERR_ARG;
    // The old file is kept under its backup name while the new one takes its place.
    ChainFiles chain;
    CollectChainFiles(image, &chain);
    if (Output_CheckBackupName(path, Path_DeleteSuffix(TEXT_ENC_UTF8), chain.paths, chain.count) !=
        DISK_OK)
        return DISK_ERR_ARG;

    VhdCreateOptions options;
    options.creatorApplication = image->footer.creatorApplication;
    options.creatorVersion = image->footer.creatorVersion;
    options.batAlignment = image->batAlignment;
    options.blockSectors = image->blockSectors;
    options.zeroSectorsAfterBat = image->zeroSectorsAfterBat;
    options.zeroSectorsAfterBlock = image->zeroSectorsAfterBlock;

    DiskHandle view;
    Disk_Init(&view);
    int rc = Disk_OpenResized(&view, const_cast<DiskHandle*>(source), false, newTotal);
    if (rc != DISK_OK) return rc;
    rc = Vhd_WriteDynamic(path, &view, map, output, callback, user, &options, 0, &image->footer,
                          &image->header);
    Disk_Close(&view);
    return rc;
}

// ---- Differencing children ----------------------------------------------------------

int Vhd_CreateChild(const DiskHandle* parent, const VhdCreateOptions* options,
                    const char* parentPath, const char* childPath)
{
    if (parent == nullptr || options == nullptr || parentPath == nullptr || childPath == nullptr ||
        Disk_GetObject(parent) == nullptr)
        return DISK_ERR_ARG;
    DiskGeometry geometry = {};
    Disk_GetGeometry(parent, &geometry);
    if (geometry.bytes_per_sector != 512)
        return Refusal_Record("VHD parent: sectors are not 512 bytes");
    if (Vhd_CheckCapacity(&geometry) != 0) return DISK_ERR_ARG;
    // The child takes the place of a file at its path: never one of the images of the parent's
    // chain (the parent path itself is checked by the writer).
    const DiskHandle* link = parent;
    for (uint32_t depth = 0; depth <= VHD_MAX_PARENT_DEPTH && link != nullptr &&
                             Disk_GetKind(link) == DISK_KIND_VHD && Disk_GetObject(link) != nullptr;
         depth++) {
        const VhdImage* image = static_cast<const VhdImage*>(Disk_GetObject(link));
        if (SameFile(reinterpret_cast<const char*>(image->pathStorage), childPath))
            return DISK_ERR_ARG;
        link = image->parent;
    }

    VhdFooter fresh;
    const VhdFooter* parentFooter = &fresh;
    uint32_t footerLength = 512;
    if (Disk_GetKind(parent) == DISK_KIND_VHD) {
        const VhdImage* image = static_cast<const VhdImage*>(Disk_GetObject(parent));
        parentFooter = &image->footer;
        footerLength = image->footerLength;
    } else if (Disk_GetKind(parent) == DISK_KIND_VHD_FIXED) {
        const VhdFixedImage* image = static_cast<const VhdFixedImage*>(Disk_GetObject(parent));
        parentFooter = &image->footer;
        footerLength = image->footerLength;
    } else {
        VhdCreateOptions sizing = *options;
        sizing.creatorApplication = VHD_CODE_WIN;
        int rc = Vhd_InitFooter(&fresh, &geometry, &sizing, VHD_DISK_TYPE_DIFFERENCING);
        if (rc == DISK_ERR_ARG) {
            DiskGeometry g = {};
            Vhd_ComputeGeometry(Geometry_GetTotalSectors(&geometry) * 512, &g);
            rc = Vhd_InitFooter(&fresh, &g, &sizing, VHD_DISK_TYPE_DIFFERENCING);
        }
        if (rc != DISK_OK) return rc;
        fresh.creatorApplication = options->creatorApplication;
    }
    TextView parentView, childView;
    Text_FromCStringUtf8(&parentView, parentPath);
    Text_FromCStringUtf8(&childView, childPath);
    return Vhd_WriteChild(options, footerLength, parentFooter, &geometry, parentView, childView);
}

int Vhd_WriteChild(const VhdCreateOptions* options, uint32_t footerLength,
                   const VhdFooter* parentFooter, const DiskGeometry* parentGeometry,
                   TextView parentPath, TextView childPath)
{
    if (!ValidateOptions(options) || parentFooter == nullptr || parentGeometry == nullptr ||
        (footerLength != 512 && footerLength != 511))
        return DISK_ERR_ARG;
    if (parentGeometry->bytes_per_sector != 512)
        return Refusal_Record("VHD parent: sectors are not 512 bytes");
    if (Vhd_CheckCapacity(parentGeometry) != 0) return DISK_ERR_ARG;
    const uint32_t total = static_cast<uint32_t>(Geometry_GetTotalSectors(parentGeometry));

    // Terminated copies of both paths.
    char parentC[VHD_PATH_CAPACITY];
    char childC[VHD_PATH_CAPACITY];
    if (!Text_CopyToCString(parentPath, parentC, sizeof(parentC), TEXT_ENC_UTF8) ||
        !Text_CopyToCString(childPath, childC, sizeof(childC), TEXT_ENC_UTF8))
        return DISK_ERR_ARG;
    if (SameFile(parentC, childC)) return DISK_ERR_ARG;

    // Records.
    VhdFooter footer;
    int rc = BuildChildFooter(&footer, parentGeometry, options, parentFooter);
    if (rc != DISK_OK) return rc;
    VhdDynamicHeader header;
    if ((rc = Vhd_InitDynamicHeader(&header, total, options)) != DISK_OK) return rc;
    std::memcpy(header.parentUniqueId, parentFooter->uniqueId, sizeof(header.parentUniqueId));
    int32_t parentTime = 0;
    if (!File_GetModTimeSince2000(parentC, &parentTime))
        return Refusal_Record("VHD parent: file time cannot be read or stored");
    header.parentTimestamp = static_cast<uint32_t>(parentTime);

    // Parent name: the file name of the parent, UTF-16 big-endian, terminated in 512 bytes.
    TextView parentName;
    Path_SplitDir(parentPath, nullptr, &parentName, TEXT_ENC_UTF8);
    TextBuffer nameBuffer;
    TextBuffer_Init(&nameBuffer, header.parentName, 0, sizeof(header.parentName));
    if (parentName.length == 0 ||
        Enc_Convert(parentName, TEXT_ENC_UTF8, &nameBuffer, TEXT_ENC_UTF16BE) == ENC_FAILED ||
        !TextBuffer_Terminate(&nameBuffer, TEXT_ENC_UTF16BE))
        return DISK_ERR_ARG;

    // Relative path in the locator encodings.
    uint8_t relStorage[VHD_PATH_CAPACITY];
    TextBuffer relative;
    TextBuffer_Init(&relative, relStorage, 0, sizeof(relStorage));
    if (!MakeRelativeParentPath(parentPath, childPath, &relative)) return DISK_ERR_ARG;
    TextView relView;
    TextBuffer_View(&relative, &relView);
    TextView w2ru = {nullptr, 0}, wi2r = {nullptr, 0};
    const bool win = options->creatorApplication == VHD_CODE_WIN;
    if (!Enc_ConvertAlloc(&w2ru, TEXT_ENC_UTF16LE, relView, TEXT_ENC_UTF8)) return DISK_ERR_ARG;
    if (!win && !Enc_ConvertAlloc(&wi2r, TEXT_ENC_SJIS, relView, TEXT_ENC_UTF8)) {
        Mem_Free(const_cast<uint8_t*>(w2ru.data));
        return DISK_ERR_ARG;
    }
    if (win && w2ru.length > VHD_WIN_LOCATOR_SPACE) rc = DISK_ERR_ARG;

    // Table.
    const uint32_t entries = header.maxTableEntries;
    const uint64_t tableLength =
        options->batAlignment != 0
            ? Math_DivCeilU64(static_cast<uint64_t>(entries) * 4, 4096) * 4096
            : Math_DivCeilU64(static_cast<uint64_t>(entries) * 4, 512) * 512;
    WriteBuffers buffers = {nullptr, nullptr, nullptr};
    if (rc == DISK_OK) rc = AllocBuffers(&buffers, 1, tableLength, entries);

    OutputFile* output = nullptr;
    ByteStream* out = nullptr;
    if (rc == DISK_OK) {
        output = static_cast<OutputFile*>(Mem_Alloc(sizeof(OutputFile)));
        if (output == nullptr) rc = DISK_ERR_NOMEM;
    }
    if (rc == DISK_OK) {
        // The temporary file is never the parent (nor any existing file); a file replaced at the
        // child's path is kept only under a free name until the child is in place.
        OutputFile_Init(output);
        const char* parentFiles[1] = {parentC};
        const TextView noBackup = {nullptr, 0};
        rc = OutputEntry_ChooseNames(&output->entry, childC, Path_TempSuffix(TEXT_ENC_UTF8),
                                     noBackup, parentFiles, 1);
    }
    if (rc == DISK_OK) {
        if (Stream_CreateFile(TempPath(output), &out)) {
            output->armed = true;
        } else {
            rc = DISK_ERR_CREATE;
        }
    }

    VhdFooter diskFooter;
    VhdDynamicHeader diskHeader;
    uint64_t position = 1536;
    if (rc == DISK_OK) {
        FinishFooter(&footer, &diskFooter);
        VhdDynamicHeader first = header;
        FinishHeader(&first, &diskHeader);
        rc = WriteAt(out, 0, sizeof(diskFooter), &diskFooter);
        if (rc == DISK_OK) rc = WriteAt(out, kHeaderOffset, sizeof(diskHeader), &diskHeader);
    }
    if (rc == DISK_OK && win) {
        // Table on a 4096-byte (alignment) or 512-byte boundary, then one "W2ru" locator.
        const uint64_t step = options->batAlignment != 0 ? 4096 : 512;
        const uint64_t tableAt = Math_DivCeilU64(position, step) * step;
        rc = WriteZeros(out, position, tableAt - position);
        header.tableOffset = tableAt;
        if (rc == DISK_OK)
            rc = WriteAt(out, tableAt, static_cast<uint32_t>(tableLength), buffers.bat);
        position = tableAt + tableLength;
        VhdParentLocator* loc = &header.locators[1];
        loc->platformCode = VHD_CODE_W2RU;
        loc->platformDataSpace = VHD_WIN_LOCATOR_SPACE;
        loc->platformDataLength = w2ru.length;
        loc->reserved = 0;
        loc->platformDataOffset = position;
        if (rc == DISK_OK) rc = WriteAt(out, position, w2ru.length, w2ru.data);
        if (rc == DISK_OK)
            rc = WriteZeros(out, position + w2ru.length, VHD_WIN_LOCATOR_SPACE - w2ru.length);
        position += VHD_WIN_LOCATOR_SPACE;
    } else if (rc == DISK_OK) {
        // Table at 1536, then "Wi2r" (Shift_JIS) and "W2ru" (UTF-16LE) in whole sectors.
        header.tableOffset = kTableOffset;
        rc = WriteAt(out, kTableOffset, static_cast<uint32_t>(tableLength), buffers.bat);
        position = kTableOffset + tableLength;
        const bool oldSlots = options->creatorVersion == 0x00010000;
        const TextView* data[2] = {&wi2r, &w2ru};
        const uint32_t codes[2] = {VHD_CODE_WI2R, VHD_CODE_W2RU};
        const uint32_t slots[2] = {oldSlots ? 7u : 3u, oldSlots ? 6u : 1u};
        for (uint32_t k = 0; k < 2 && rc == DISK_OK; k++) {
            const uint32_t space =
                static_cast<uint32_t>(Math_DivCeilU64(data[k]->length, 512) * 512);
            VhdParentLocator* loc = &header.locators[slots[k]];
            loc->platformCode = codes[k];
            loc->platformDataSpace = space;
            loc->platformDataLength = data[k]->length;
            loc->reserved = 0;
            loc->platformDataOffset = position;
            rc = WriteAt(out, position, data[k]->length, data[k]->data);
            if (rc == DISK_OK)
                rc = WriteZeros(out, position + data[k]->length, space - data[k]->length);
            position += space;
        }
    }
    if (rc == DISK_OK) {
        rc = WriteZeros(out, position, static_cast<uint64_t>(options->zeroSectorsAfterBat) * 512);
        position += static_cast<uint64_t>(options->zeroSectorsAfterBat) * 512;
    }
    if (rc == DISK_OK) {
        FinishHeader(&header, &diskHeader);
        rc = WriteAt(out, kHeaderOffset, sizeof(diskHeader), &diskHeader);
    }
    if (rc == DISK_OK) rc = WriteAt(out, position, footerLength, &diskFooter);
    if (out != nullptr) rc = CloseOutput(out, false, rc);
    if (output != nullptr) {
        if (rc == DISK_OK) {
            rc = OutputFile_Commit(output, Path_DeleteSuffix(TEXT_ENC_UTF8), true);
            // A failed swap leaves the file at the path as it was; the new one goes.
            if (rc != DISK_OK) OutputEntry_Rollback(&output->entry);
        } else {
            OutputFile_Rollback(output);
        }
        Mem_Free(output);
    }
    FreeBuffers(&buffers);
    Mem_Free(const_cast<uint8_t*>(w2ru.data));
    Mem_Free(const_cast<uint8_t*>(wi2r.data));
    return rc;
}

// ---- Parent locators ------------------------------------------------------------------

namespace {

// Copies `length` bytes of one stream from `from` to `to` in the other through the buffer.
int CopyRange(ByteStream* in, uint64_t from, ByteStream* out, uint64_t to, uint64_t length,
              uint8_t* buffer, uint32_t bufferSize)
{
    for (uint64_t done = 0; done < length;) {
        const uint64_t rest = length - done;
        const uint32_t n = rest < bufferSize ? static_cast<uint32_t>(rest) : bufferSize;
        int rc = ReadAt(in, from + done, n, buffer);
        if (rc != DISK_OK) return rc;
        if ((rc = WriteAt(out, to + done, n, buffer)) != DISK_OK) return rc;
        done += n;
    }
    return DISK_OK;
}

// How the new file is laid out: the bytes each slot receives, and the room inserted at the end
// of the metadata for locators that the file lacks or whose data space is too small. The file
// from `insertAt` on (zero sectors, blocks, footer) moves by `insertBytes`, and every stored
// table entry with it.
struct RelinkPlan {
    VhdDynamicHeader header;                          // host order, the new locator entries
    const VhdLocatorBytes* bytes[VHD_LOCATOR_COUNT];  // data written into the slot, or none
    bool moved[VHD_LOCATOR_COUNT];                    // the slot's old area is given up
    uint64_t oldOffset[VHD_LOCATOR_COUNT];
    uint32_t oldSpace[VHD_LOCATOR_COUNT];
    uint64_t insertAt;
    uint64_t insertBytes;
    uint32_t largest;  // largest data space written
};

const uint32_t kRelinkCodes[4] = {VHD_CODE_W2KU, VHD_CODE_W2RU, VHD_CODE_WI2K, VHD_CODE_WI2R};

const VhdLocatorBytes* RequestBytes(const VhdParentLocatorRequest* request, uint32_t k)
{
    const VhdLocatorBytes* all[4] = {&request->w2ku, &request->w2ru, &request->wi2k,
                                     &request->wi2r};
    return all[k];
}

// Builds the plan. Every requested locator is written: into its slot when its data space holds
// the bytes, else into new room (the slot keeps its code; its old area is zeroed); a requested
// code that no slot carries takes a free slot (code 0) with an area in the new room. Empty
// bytes for a code the file lacks need nothing. DISK_ERR_ARG when a locator's area is not
// usable, no slot is free, or the file cannot grow (table entries past 32 bits).
int PlanRelink(const VhdImage* image, const VhdParentLocatorRequest* request, RelinkPlan* plan)
{
    std::memset(plan, 0, sizeof(*plan));
    plan->header = image->header;
    const uint64_t blocksStart = image->firstBlockSector * 512;
    const uint64_t headerAt = image->footer.dataOffset;
    const uint64_t tableEnd =
        image->tableOffset + static_cast<uint64_t>(image->header.maxTableEntries) * 4;

    // The end of the metadata: header, table and every locator area, in whole sectors.
    uint64_t metadataEnd = Math_DivCeilU64(tableEnd, 512) * 512;
    const uint64_t headerEnd = Math_DivCeilU64(headerAt + 1024, 512) * 512;
    if (headerEnd > metadataEnd) metadataEnd = headerEnd;
    for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT; slot++) {
        const VhdParentLocator* loc = &image->header.locators[slot];
        if (loc->platformCode == 0) continue;
        const uint64_t end =
            Math_DivCeilU64(loc->platformDataOffset + loc->platformDataSpace, 512) * 512;
        if (end > metadataEnd) metadataEnd = end;
    }

    struct NewArea {
        uint32_t slot;
        uint32_t space;
    };
    NewArea areas[VHD_LOCATOR_COUNT];
    uint32_t areaCount = 0;
    bool taken[VHD_LOCATOR_COUNT] = {};
    for (uint32_t k = 0; k < 4; k++) {
        const VhdLocatorBytes* b = RequestBytes(request, k);
        if (!b->present) continue;
        if (b->length > VHD_MAX_LOCATOR_READ) return DISK_ERR_ARG;
        bool carried = false;
        for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT; slot++) {
            const VhdParentLocator* loc = &image->header.locators[slot];
            if (loc->platformCode != kRelinkCodes[k]) continue;
            carried = true;
            taken[slot] = true;
            plan->bytes[slot] = b;
            // The area must lie in the metadata, clear of the footer copy, the header and the
            // table.
            const uint64_t at = loc->platformDataOffset;
            const uint64_t end = at + loc->platformDataSpace;  // below 2^65: offset checked first
            if (at > blocksStart || loc->platformDataSpace > blocksStart - at || at < 512 ||
                (at < headerAt + 1024 && end > headerAt) ||
                (at < tableEnd && end > image->tableOffset))
                return DISK_ERR_ARG;
            if (b->length > loc->platformDataSpace) {
                plan->moved[slot] = true;
                plan->oldOffset[slot] = at;
                plan->oldSpace[slot] = loc->platformDataSpace;
                areas[areaCount++] = NewArea{slot, 0};
            } else if (loc->platformDataSpace > plan->largest) {
                plan->largest = loc->platformDataSpace;
            }
        }
        if (carried || b->length == 0) continue;
        uint32_t free = VHD_LOCATOR_COUNT;
        for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT && free == VHD_LOCATOR_COUNT; slot++) {
            if (!taken[slot] && image->header.locators[slot].platformCode == 0) free = slot;
        }
        if (free == VHD_LOCATOR_COUNT) return DISK_ERR_ARG;
        taken[free] = true;
        plan->bytes[free] = b;
        plan->header.locators[free].platformCode = kRelinkCodes[k];
        areas[areaCount++] = NewArea{free, 0};
    }
    if (areaCount == 0) return DISK_OK;

    // The new areas: whole sectors each, together a multiple of 4096 bytes (the last one takes
    // the rest) so that the blocks keep their alignment and the zero sectors before them.
    if (metadataEnd > blocksStart) return DISK_ERR_ARG;
    uint64_t room = 0;
    for (uint32_t a = 0; a < areaCount; a++) {
        const uint32_t length = plan->bytes[areas[a].slot]->length;
        areas[a].space =
            static_cast<uint32_t>(Math_DivCeilU64(length != 0 ? length : 1, 512) * 512);
        room += areas[a].space;
    }
    const uint64_t total = Math_DivCeilU64(room, 4096) * 4096;
    areas[areaCount - 1].space += static_cast<uint32_t>(total - room);
    uint64_t at = metadataEnd;
    for (uint32_t a = 0; a < areaCount; a++) {
        VhdParentLocator* loc = &plan->header.locators[areas[a].slot];
        loc->platformDataSpace = areas[a].space;
        loc->platformDataOffset = at;
        loc->reserved = 0;
        at += areas[a].space;
        if (areas[a].space > plan->largest) plan->largest = areas[a].space;
    }
    // Every stored block moves with the rest of the file: its sector number must still fit.
    const uint64_t shift = total / 512;
    for (uint32_t i = 0; i < image->batStoredEntries; i++) {
        const uint32_t entry = image->bat[i];
        if (entry != VHD_UNALLOCATED && entry + shift >= VHD_UNALLOCATED) return DISK_ERR_ARG;
    }
    plan->insertAt = metadataEnd;
    plan->insertBytes = total;
    return DISK_OK;
}

// Writes the file of the plan into out: the old file with the room inserted, the table entries
// moved, the locator data and the header.
int WriteRelinked(const VhdImage* image, const RelinkPlan* plan, ByteStream* out, uint64_t fileSize,
                  uint8_t* buffer)
{
    const uint64_t split = plan->insertBytes != 0 ? plan->insertAt : fileSize;
    int rc = CopyRange(image->stream, 0, out, 0, split, buffer, VHD_COPY_BYTES);
    if (rc == DISK_OK && plan->insertBytes != 0) {
        rc = WriteZeros(out, split, plan->insertBytes);
        if (rc == DISK_OK)
            rc = CopyRange(image->stream, split, out, split + plan->insertBytes, fileSize - split,
                           buffer, VHD_COPY_BYTES);
        // The stored entries, big-endian, piece by piece through the buffer.
        const uint32_t shift = static_cast<uint32_t>(plan->insertBytes / 512);
        const uint32_t perPiece = VHD_COPY_BYTES / 4;
        for (uint32_t done = 0; rc == DISK_OK && done < image->batStoredEntries;) {
            const uint32_t left = image->batStoredEntries - done;
            const uint32_t n = left < perPiece ? left : perPiece;
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t entry = image->bat[done + i];
                Bytes_WriteU32Be(entry == VHD_UNALLOCATED ? entry : entry + shift, buffer + 4 * i);
            }
            rc = WriteAt(out, image->tableOffset + 4ull * done, n * 4, buffer);
            done += n;
        }
    }
    for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT && rc == DISK_OK; slot++) {
        if (plan->moved[slot]) rc = WriteZeros(out, plan->oldOffset[slot], plan->oldSpace[slot]);
    }
    return rc;
}

}  // namespace

int Vhd_ChangeParentLocators(VhdImage* image, const VhdParentLocatorRequest* request)
{
    if (image == nullptr || request == nullptr || request->reopenPath == nullptr ||
        image->stream == nullptr || image->footer.diskType != VHD_DISK_TYPE_DIFFERENCING)
        return DISK_ERR_ARG;

    // Everything is checked before the first byte is written.
    struct Item {
        uint32_t code;
        const VhdLocatorBytes* bytes;
        TextEncoding encoding;
    };
    const Item items[4] = {{VHD_CODE_W2KU, &request->w2ku, TEXT_ENC_UTF16LE},
                           {VHD_CODE_W2RU, &request->w2ru, TEXT_ENC_UTF16LE},
                           {VHD_CODE_WI2K, &request->wi2k, TEXT_ENC_SJIS},
                           {VHD_CODE_WI2R, &request->wi2r, TEXT_ENC_SJIS}};
    for (uint32_t k = 0; k < 4; k++) {
        const VhdLocatorBytes* b = items[k].bytes;
        if (!b->present) continue;
        if ((b->data == nullptr && b->length != 0) ||
            !IsValidText(b->data, b->length, items[k].encoding))
            return DISK_ERR_ARG;
    }
    const VhdLocatorBytes* name = &request->parentName;
    if (name->present && (name->length > sizeof(image->header.parentName) ||
                          (name->data == nullptr && name->length != 0) ||
                          !IsValidText(name->data, name->length, TEXT_ENC_UTF16BE)))
        return DISK_ERR_ARG;

    const uint64_t headerAt = image->footer.dataOffset;
    RelinkPlan* plan = static_cast<RelinkPlan*>(Mem_Alloc(sizeof(RelinkPlan)));
    if (plan == nullptr) return DISK_ERR_NOMEM;
    int planned = PlanRelink(image, request, plan);
    if (planned != DISK_OK) {
        Mem_Free(plan);
        return planned;
    }
    const uint32_t largest = plan->largest;

    uint64_t fileSize = 0;
    if (!Stream_GetSize(image->stream, &fileSize)) {
        Mem_Free(plan);
        return DISK_ERR_SIZE;
    }
    uint8_t* buffer =
        static_cast<uint8_t*>(Mem_Alloc(VHD_COPY_BYTES > largest ? VHD_COPY_BYTES : largest));
    OutputFile* output = static_cast<OutputFile*>(Mem_Alloc(sizeof(OutputFile)));
    VhdImage* check = Vhd_Alloc();
    if (buffer == nullptr || output == nullptr || check == nullptr) {
        Mem_Free(buffer);
        Mem_Free(output);
        Mem_Free(check);
        Mem_Free(plan);
        return DISK_ERR_NOMEM;
    }
    Vhd_Init(check);
    OutputFile_Init(output);
    const char* imagePath = reinterpret_cast<const char*>(image->pathStorage);
    int rc = ChooseOutputPaths(output, imagePath, Path_TempSuffix(TEXT_ENC_UTF8), image);

    // The new file: a copy with the locator data and the header replaced.
    ByteStream* out = nullptr;
    if (rc == DISK_OK) {
        if (Stream_CreateFile(TempPath(output), &out)) {
            output->armed = true;
        } else {
            rc = DISK_ERR_CREATE;
        }
    }
    if (rc == DISK_OK) rc = WriteRelinked(image, plan, out, fileSize, buffer);
    VhdDynamicHeader header = plan->header;
    for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT && rc == DISK_OK; slot++) {
        const VhdLocatorBytes* bytes = plan->bytes[slot];
        if (bytes == nullptr) continue;
        VhdParentLocator* loc = &header.locators[slot];
        std::memset(buffer, 0, loc->platformDataSpace);
        if (bytes->length != 0) std::memcpy(buffer, bytes->data, bytes->length);
        loc->platformDataLength = bytes->length;
        rc = WriteAt(out, loc->platformDataOffset, loc->platformDataSpace, buffer);
    }
    if (rc == DISK_OK) {
        if (name->present) {
            std::memset(header.parentName, 0, sizeof(header.parentName));
            if (name->length != 0) std::memcpy(header.parentName, name->data, name->length);
        }
        VhdDynamicHeader diskHeader;
        FinishHeader(&header, &diskHeader);
        rc = WriteAt(out, headerAt, sizeof(diskHeader), &diskHeader);
    }
    if (out != nullptr) rc = CloseOutput(out, false, rc);

    // The new link must lead to a parent that opens (and not back to the image itself).
    if (rc == DISK_OK) {
        char* parentPath = reinterpret_cast<char*>(buffer);
        parentPath[0] = 0;
        rc = Vhd_OpenWithCallback(check, FileOpener_Default.open, FileOpener_Default.user,
                                  TempPath(output), true, parentPath, VHD_PATH_CAPACITY,
                                  VHD_PARENT_REQUIRED);
        if (rc == DISK_OK && SameFile(parentPath, imagePath))
            rc = Refusal_Record("VHD parent link: leads to the image itself");
        // Nor to an image whose own chain leads back to this one (a loop through other files).
        const DiskHandle* link = check->parent;
        for (uint32_t depth = 0;
             rc == DISK_OK && depth <= VHD_MAX_PARENT_DEPTH && link != nullptr &&
             Disk_GetKind(link) == DISK_KIND_VHD && Disk_GetObject(link) != nullptr;
             depth++) {
            const VhdImage* up = static_cast<const VhdImage*>(Disk_GetObject(link));
            if (SameFile(reinterpret_cast<const char*>(up->pathStorage), imagePath))
                rc = Refusal_Record("VHD parent link: the parent's chain leads back to the image");
            link = up->parent;
        }
        Vhd_Close(check);
    }
    if (rc != DISK_OK) {
        OutputFile_Rollback(output);
    } else {
        Vhd_Close(image);
        rc = OutputFile_Commit(output, Path_DeleteSuffix(TEXT_ENC_UTF8), true);
        if (rc != DISK_OK) OutputEntry_Rollback(&output->entry);
        const int reopened = Vhd_Open(image, request->reopenPath, false, VHD_PARENT_OPTIONAL);
        // Once the new file holds the name the change is made: an image that does not open
        // again (or finds no parent) is a note beside the success.
        if (rc == DISK_OK && (reopened != DISK_OK || image->parentMissing))
            InPlace_SetNote(IN_PLACE_NOTE_REOPEN_FAILED);
    }
    Mem_Free(check);
    Mem_Free(output);
    Mem_Free(buffer);
    Mem_Free(plan);
    return rc;
}
