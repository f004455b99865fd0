// VHDX files: open, read, empty-range and per-layer queries.
#include "formats/vhdx/vhdx.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "formats/vhd/vhd_records.h"
#include "foundation/crc.h"
#include "foundation/encoding.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/write_kit.h"
#include "foundation/range.h"
#include "foundation/refusal.h"
#include "foundation/text.h"
#include "volume/used_map.h"

// Binary (mixed-endian) form of {a-b-c-d0d1-d2d3d4d5d6d7}.
#define VHDX_GUID(a, b, c, d0, d1, d2, d3, d4, d5, d6, d7)                                        \
    {                                                                                             \
        static_cast<uint8_t>(a), static_cast<uint8_t>((a) >> 8), static_cast<uint8_t>((a) >> 16), \
            static_cast<uint8_t>((a) >> 24), static_cast<uint8_t>(b),                             \
            static_cast<uint8_t>((b) >> 8), static_cast<uint8_t>(c),                              \
            static_cast<uint8_t>((c) >> 8), d0, d1, d2, d3, d4, d5, d6, d7                        \
    }

const uint8_t VHDX_GUID_BAT_REGION[16] =
    VHDX_GUID(0x2DC27766u, 0xF623, 0x4200, 0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08);
const uint8_t VHDX_GUID_METADATA_REGION[16] =
    VHDX_GUID(0x8B7CA206u, 0x4790, 0x4B9A, 0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E);
const uint8_t VHDX_GUID_FILE_PARAMETERS[16] =
    VHDX_GUID(0xCAA16737u, 0xFA36, 0x4D43, 0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B);
const uint8_t VHDX_GUID_VIRTUAL_DISK_SIZE[16] =
    VHDX_GUID(0x2FA54224u, 0xCD1B, 0x4876, 0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8);
const uint8_t VHDX_GUID_VIRTUAL_DISK_ID[16] =
    VHDX_GUID(0xBECA12ABu, 0xB2E6, 0x4523, 0x93, 0xEF, 0xC3, 0x09, 0xE0, 0x00, 0xC7, 0x46);
const uint8_t VHDX_GUID_LOGICAL_SECTOR_SIZE[16] =
    VHDX_GUID(0x8141BF1Du, 0xA96F, 0x4709, 0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F);
const uint8_t VHDX_GUID_PHYSICAL_SECTOR_SIZE[16] =
    VHDX_GUID(0xCDA348C7u, 0x445D, 0x4471, 0x9C, 0xC9, 0xE9, 0x88, 0x52, 0x51, 0xC5, 0x56);
const uint8_t VHDX_GUID_PARENT_LOCATOR[16] =
    VHDX_GUID(0xA8D35F2Du, 0xB30B, 0x454D, 0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C);
const uint8_t VHDX_GUID_PARENT_LOCATOR_TYPE[16] =
    VHDX_GUID(0xB04AEFB7u, 0xD19E, 0x4A81, 0xB7, 0x89, 0x25, 0xB8, 0xE9, 0x44, 0x59, 0x13);

namespace {

const uint32_t kSignatureFile0 = 0x78646876u;  // "vhdx"
const uint32_t kSignatureFile1 = 0x656C6966u;  // "file"
const uint32_t kSignatureHead = 0x64616568u;   // "head"
const uint32_t kSignatureRegi = 0x69676572u;   // "regi"

// The files of the chain being opened, outermost first, by resolved name. A parent already in
// it closes a loop.
struct OpenChain {
    uint32_t depth;
    char* keys[VHDX_MAX_PARENT_DEPTH + 1];
};

char* MakeFileKey(const char* path)
{
    char* key = static_cast<char*>(Mem_Alloc(PATH_MAX + 1));
    if (key == nullptr) return nullptr;
    if (realpath(path, key) == nullptr) {
        const size_t n = strnlen(path, PATH_MAX);
        std::memcpy(key, path, n);
        key[n] = 0;
    }
    return key;
}

int ReadAt(ByteStream* s, uint64_t offset, uint32_t length, void* buffer)
{
    return Stream_ReadAt(s, offset, length, buffer) ? DISK_OK : DISK_ERR_READ;
}

// offset + length lies inside [0, limit].
bool Inside(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

uint32_t* CrcTable()
{
    uint32_t* table = Crc32_AllocTable();
    if (table != nullptr) Crc32_BuildTable(table, CRC32_POLY_CASTAGNOLI);
    return table;
}

void FreePath(VhdxPathValue* v)
{
    Mem_Free(v->value);
    v->present = false;
    v->length = 0;
    v->value = nullptr;
}

// ---- Metadata ---------------------------------------------------------------------------

int ReadItem(ByteStream* s, uint64_t at, uint32_t length, uint32_t want, bool* present, void* out)
{
    if (*present) return Refusal_Record("VHDX metadata table: an item appears twice");
    if (length != want) return Refusal_Record("VHDX metadata table: an item has the wrong length");
    int rc = ReadAt(s, at, want, out);
    if (rc != DISK_OK) return rc;
    *present = true;
    return DISK_OK;
}

int ReadParentLocator(VhdxImage* image, ByteStream* s, uint64_t at, uint32_t length, bool* seen)
{
    if (*seen) return Refusal_Record("VHDX metadata table: an item appears twice");
    *seen = true;
    if (length < 20) return Refusal_Record("VHDX parent locator: shorter than its header");
    uint8_t head[20];
    int rc = ReadAt(s, at, 20, head);
    if (rc != DISK_OK) return rc;
    const uint32_t count = Bytes_LoadLe16(head + 18);
    if (static_cast<uint64_t>(count) * 12 + 20 > length)
        return Refusal_Record("VHDX parent locator: entries run past its end");
    if (std::memcmp(head, VHDX_GUID_PARENT_LOCATOR_TYPE, 16) != 0)
        return Refusal_Record("VHDX parent locator: unknown locator type");
    // The item is at most 1 MiB: read it whole.
    uint8_t* item = static_cast<uint8_t*>(Mem_Alloc(length));
    if (item == nullptr) return DISK_ERR_NOMEM;
    rc = ReadAt(s, at, length, item);
    static const char* const kKeys[5] = {"relative_path", "absolute_win32_path", "volume_path",
                                         "parent_linkage", "parent_linkage2"};
    bool keySeen[5] = {false, false, false, false, false};
    for (uint32_t i = 0; rc == DISK_OK && i < count; i++) {
        const uint8_t* e = item + 20 + i * 12;
        const uint32_t keyOffset = Bytes_LoadLe32(e);
        const uint32_t valueOffset = Bytes_LoadLe32(e + 4);
        const uint32_t keyLength = Bytes_LoadLe16(e + 8);
        const uint32_t valueLength = Bytes_LoadLe16(e + 10);
        if (!Inside(keyOffset, keyLength, length) || !Inside(valueOffset, valueLength, length)) {
            rc = Refusal_Record("VHDX parent locator: a key or value lies past its end");
            break;
        }
        if (keyLength >= 39) continue;
        int which = -1;
        for (int k = 0; k < 5 && which < 0; k++) {
            const uint32_t n = static_cast<uint32_t>(std::strlen(kKeys[k]));
            if (keyLength != n * 2) continue;
            bool same = true;
            for (uint32_t j = 0; j < n && same; j++)
                same =
                    Bytes_LoadLe16(item + keyOffset + 2 * j) == static_cast<uint8_t>(kKeys[k][j]);
            if (same) which = k;
        }
        if (which < 0) continue;
        if (keySeen[which]) {
            rc = Refusal_Record("VHDX parent locator: a key appears twice");
            break;
        }
        keySeen[which] = true;
        const uint8_t* value = item + valueOffset;
        if (which >= 3) {
            // Linkage GUID texts: kept when exactly 76 bytes, not used further.
            if (valueLength == 76) {
                if (which == 3) {
                    std::memcpy(image->linkage, value, 76);
                    image->hasLinkage = true;
                } else {
                    std::memcpy(image->linkage2, value, 76);
                    image->hasLinkage2 = true;
                }
            }
            continue;
        }
        VhdxPathValue* target = which == 0   ? &image->relativePath
                                : which == 1 ? &image->absoluteWin32Path
                                             : &image->volumePath;
        target->value = static_cast<uint8_t*>(Mem_Alloc(valueLength + 1));
        if (target->value == nullptr) {
            rc = DISK_ERR_NOMEM;
            break;
        }
        std::memcpy(target->value, value, valueLength);
        target->length = valueLength;
        target->present = true;
    }
    Mem_Free(item);
    return rc;
}

int ReadMetadata(VhdxImage* image, ByteStream* s, uint64_t regionOffset, uint64_t regionLength)
{
    if (regionLength < 32) return Refusal_Record("VHDX metadata region: too small for its table");
    const uint32_t tableBytes = regionLength < VHDX_METADATA_TABLE_BYTES
                                    ? static_cast<uint32_t>(regionLength)
                                    : VHDX_METADATA_TABLE_BYTES;
    uint8_t* table = static_cast<uint8_t*>(Mem_Alloc(tableBytes));
    if (table == nullptr) return DISK_ERR_NOMEM;
    int rc = ReadAt(s, regionOffset, tableBytes, table);
    if (rc == DISK_OK && std::memcmp(table, "metadata", 8) != 0)
        rc = Refusal_Record("VHDX metadata table: no signature");
    uint32_t count = rc == DISK_OK ? Bytes_LoadLe16(table + 10) : 0;
    if (rc == DISK_OK && (count > VHDX_MAX_TABLE_ENTRIES || 32 + count * 32 > tableBytes))
        rc = Refusal_Record("VHDX metadata table: too many entries");
    bool locatorSeen = false;
    for (uint32_t i = 0; rc == DISK_OK && i < count; i++) {
        const uint8_t* e = table + 32 + i * 32;
        const uint32_t offset = Bytes_LoadLe32(e + 16);
        const uint32_t length = Bytes_LoadLe32(e + 20);
        if (offset < 65536 || length > VHDX_MIB ||
            static_cast<uint64_t>(offset) + length >= regionLength) {
            rc = Refusal_Record("VHDX metadata table: an item lies outside the region");
            break;
        }
        const uint64_t at = regionOffset + offset;
        uint8_t value[16];
        if (std::memcmp(e, VHDX_GUID_FILE_PARAMETERS, 16) == 0) {
            rc = ReadItem(s, at, length, 8, &image->hasFileParameters, value);
            image->paramBlockSize = Bytes_LoadLe32(value);
            image->paramFlags = Bytes_LoadLe32(value + 4);
        } else if (std::memcmp(e, VHDX_GUID_VIRTUAL_DISK_SIZE, 16) == 0) {
            rc = ReadItem(s, at, length, 8, &image->hasVirtualSize, value);
            image->virtualSize = Bytes_LoadLe64(value);
        } else if (std::memcmp(e, VHDX_GUID_VIRTUAL_DISK_ID, 16) == 0) {
            rc = ReadItem(s, at, length, 16, &image->hasDiskId, image->diskId);
        } else if (std::memcmp(e, VHDX_GUID_LOGICAL_SECTOR_SIZE, 16) == 0) {
            rc = ReadItem(s, at, length, 4, &image->hasLogicalSectorSize, value);
            image->logicalSectorSize = Bytes_LoadLe32(value);
        } else if (std::memcmp(e, VHDX_GUID_PHYSICAL_SECTOR_SIZE, 16) == 0) {
            rc = ReadItem(s, at, length, 4, &image->hasPhysicalSectorSize, value);
            image->physicalSectorSize = Bytes_LoadLe32(value);
        } else if (std::memcmp(e, VHDX_GUID_PARENT_LOCATOR, 16) == 0) {
            rc = ReadParentLocator(image, s, at, length, &locatorSeen);
        }
    }
    Mem_Free(table);
    return rc;
}

// ---- Parent ----------------------------------------------------------------------------

// A UTF-16LE path value as a UTF-8 path with "/" separators, resolved against the child's
// directory unless it is absolute. False when it does not convert or fit.
bool MakeParentPath(const VhdxPathValue* v, const char* childPath, TextBuffer* result)
{
    if (!v->present || v->length < 2) return false;
    uint32_t units = v->length / 2;
    for (uint32_t i = 0; i < units; i++) {
        if (v->value[2 * i] == 0 && v->value[2 * i + 1] == 0) {
            units = i;
            break;
        }
    }
    if (units == 0) return false;
    uint8_t textStorage[VHDX_PATH_CAPACITY];
    TextBuffer text;
    TextBuffer_Init(&text, textStorage, 0, sizeof(textStorage));
    TextView source = {v->value, units * 2};
    if (Enc_Convert(source, TEXT_ENC_UTF16LE, &text, TEXT_ENC_UTF8) == ENC_FAILED) return false;
    for (uint32_t i = 0; i < text.length; i++) {
        if (textStorage[i] == '\\') textStorage[i] = '/';
        if (textStorage[i] == 0) return false;
    }
    TextView relative;
    TextBuffer_View(&text, &relative);
    TextView reference;
    Text_FromCStringUtf8(&reference, childPath);
    uint8_t workStorage[VHDX_PATH_CAPACITY];
    TextBuffer work;
    TextBuffer_Init(&work, workStorage, 0, sizeof(workStorage));
    result->length = 0;
    if (!Path_MakeAbsoluteStyle(relative, reference, &work, result, TEXT_ENC_UTF8, true))
        return false;
    return TextBuffer_TerminateUtf8(result);
}

int OpenImpl(VhdxImage* image, FileOpenFn open, void* user, const char* path, bool readOnly,
             OpenChain* chain);

int OpenParent(VhdxImage* image, FileOpenFn open, void* user, const char* childPath,
               OpenChain* chain)
{
    uint8_t storage[VHDX_PATH_CAPACITY];
    TextBuffer parentPath;
    TextBuffer_Init(&parentPath, storage, 0, sizeof(storage));
    const char* parent = reinterpret_cast<const char*>(storage);
    bool found = false;
    if (MakeParentPath(&image->relativePath, childPath, &parentPath)) {
        if (std::strcmp(parent, childPath) == 0)
            return Refusal_Record("VHDX parent locator: names the image itself");
        found = Os_PathExists(parent);
    }
    if (!found) {
        if (!MakeParentPath(&image->absoluteWin32Path, childPath, &parentPath))
            return Refusal_Record("VHDX parent locator: no usable parent path");
        if (std::strcmp(parent, childPath) == 0)
            return Refusal_Record("VHDX parent locator: names the image itself");
        if (!Os_PathExists(parent)) return Refusal_Record("VHDX parent locator: parent not found");
    }
    if (chain->depth >= VHDX_MAX_PARENT_DEPTH)
        return Refusal_Record("VHDX parent chain: too many parents");
    char* key = MakeFileKey(parent);
    if (key == nullptr) return DISK_ERR_NOMEM;
    for (uint32_t i = 0; i < chain->depth; i++) {
        if (std::strcmp(chain->keys[i], key) == 0) {
            Mem_Free(key);
            return Refusal_Record("VHDX parent chain: leads back to an image in it");
        }
    }
    VhdxImage* p = Vhdx_Alloc();
    if (p == nullptr) {
        Mem_Free(key);
        return DISK_ERR_NOMEM;
    }
    Vhdx_Init(p);
    chain->keys[chain->depth++] = key;
    int rc = OpenImpl(p, open, user, parent, true, chain);
    chain->keys[--chain->depth] = nullptr;
    Mem_Free(key);
    if (rc != DISK_OK) {
        Mem_Free(p);
        return rc;
    }
    image->parent = p;
    return DISK_OK;
}

// ---- Open ------------------------------------------------------------------------------

int OpenBody(VhdxImage* image, const char* path, FileOpenFn open, void* user, OpenChain* chain,
             const uint32_t* crc)
{
    ByteStream* s = image->stream;
    uint64_t size = 0;
    if (!Stream_GetSize(s, &size)) return DISK_ERR_SIZE;
    // Not necessarily whole MiB: a fixed file whose last block is partial may end inside it.
    if (size < VHDX_MIB) return Refusal_Record("VHDX file: shorter than 1 MiB");
    image->fileSize = size;
    uint8_t ident[520];
    int rc = ReadAt(s, 0, sizeof(ident), ident);
    if (rc != DISK_OK) return rc;
    if (Bytes_LoadLe32(ident) != kSignatureFile0 || Bytes_LoadLe32(ident + 4) != kSignatureFile1)
        return Refusal_Record("VHDX file identifier: no signature");

    VhdxHeader h1, h2;
    if ((rc = Vhdx_ReadHeader(s, VHDX_HEADER_1_OFFSET, &h1, crc)) != DISK_OK) return rc;
    if ((rc = Vhdx_ReadHeader(s, VHDX_HEADER_2_OFFSET, &h2, crc)) != DISK_OK) return rc;
    const VhdxHeader& current = h1.sequenceNumber > h2.sequenceNumber ? h1 : h2;
    if (current.version != 1) return Refusal_Record("VHDX header: unknown version");
    // Pending log entries would change the BAT and the metadata: reading without replaying
    // them gives stale data.
    static const uint8_t kZeroGuid[16] = {};
    if (std::memcmp(current.logGuid, kZeroGuid, 16) != 0) return DISK_ERR_UNSUPPORTED;

    uint8_t* regions = static_cast<uint8_t*>(Mem_Alloc(VHDX_REGION_BYTES));
    if (regions == nullptr) return DISK_ERR_NOMEM;
    rc = Vhdx_ReadRegionTable(s, VHDX_REGION_1_OFFSET, regions, crc);
    if (rc != DISK_OK) {
        rc = Vhdx_ReadRegionTable(s, VHDX_REGION_2_OFFSET, regions, crc);
        image->usedRegionCopy = 1;
    }
    const uint32_t regionCount = rc == DISK_OK ? Bytes_LoadLe32(regions + 8) : 0;
    if (rc == DISK_OK && regionCount > VHDX_MAX_TABLE_ENTRIES)
        rc = Refusal_Record("VHDX region table: too many entries");
    bool haveBat = false, haveMetadata = false;
    for (uint32_t i = 0; rc == DISK_OK && i < regionCount; i++) {
        const uint8_t* e = regions + 16 + i * 32;
        const uint64_t offset = Bytes_LoadLe64(e + 16);
        const uint32_t length = Bytes_LoadLe32(e + 24);
        const bool bat = std::memcmp(e, VHDX_GUID_BAT_REGION, 16) == 0;
        const bool meta = std::memcmp(e, VHDX_GUID_METADATA_REGION, 16) == 0;
        if (!bat && !meta) continue;
        if (!Inside(offset, length, size) || offset < VHDX_MIB) {
            rc = Refusal_Record("VHDX region table: a region lies outside the file");
        } else if (bat) {
            if (haveBat) rc = Refusal_Record("VHDX region table: two block allocation tables");
            haveBat = true;
            image->batOffset = offset;
            image->batRegionLength = length;
        } else {
            if (haveMetadata) rc = Refusal_Record("VHDX region table: two metadata regions");
            haveMetadata = true;
            if (rc == DISK_OK) rc = ReadMetadata(image, s, offset, length);
        }
    }
    Mem_Free(regions);
    if (rc != DISK_OK) return rc;

    if (!haveBat) return Refusal_Record("VHDX region table: no block allocation table");
    if (!image->hasFileParameters || !image->hasVirtualSize || !image->hasLogicalSectorSize ||
        !image->hasPhysicalSectorSize)
        return Refusal_Record("VHDX metadata table: a required item is missing");
    const uint32_t b = image->paramBlockSize;
    if (b < VHDX_MIB || b > 256u * VHDX_MIB || (b & (b - 1)) != 0)
        return Refusal_Record("VHDX file parameters: block size out of range");
    const uint32_t lss = image->logicalSectorSize;
    if (lss != 512 && lss != 4096)
        return Refusal_Record("VHDX metadata: logical sector size is neither 512 nor 4096");
    const uint64_t v = image->virtualSize;
    if (v == 0 || v > VHDX_MAX_VIRTUAL_SIZE || v % lss != 0)
        return Refusal_Record("VHDX metadata: virtual disk size is zero, too large or uneven");
    const bool hasParent = (image->paramFlags & 2) != 0;
    if (hasParent && !image->relativePath.present && !image->absoluteWin32Path.present)
        return Refusal_Record("VHDX parent locator: no parent path of a differencing disk");

    // Sizes: the chunk ratio in 64 bits (8388608 x 4096 passes 32 bits).
    const uint64_t d = Math_DivCeilU64(v, b);
    const uint64_t c = (static_cast<uint64_t>(8388608) * lss) / b;
    const uint64_t entries = hasParent ? (c + 1) * Math_DivCeilU64(d, c) : d + (d - 1) / c;
    if (entries * 8 > image->batRegionLength)
        return Refusal_Record("VHDX block allocation table: region too small for the disk");
    image->blockSize = b;
    image->chunkRatio = static_cast<uint32_t>(c);
    image->batEntryCount = static_cast<uint32_t>(entries);
    image->bitmapBytesPerBlock = b / lss / 8;
    image->fileSizeMiB = static_cast<uint32_t>(size / VHDX_MIB);
    image->bat = static_cast<uint64_t*>(Mem_Alloc(static_cast<uint32_t>(entries * 8)));
    image->bitmap = static_cast<uint8_t*>(Mem_Alloc(image->bitmapBytesPerBlock));
    image->work = static_cast<uint8_t*>(Mem_Alloc(VHDX_WORK_BYTES));
    if (image->bat == nullptr || image->bitmap == nullptr || image->work == nullptr)
        return DISK_ERR_NOMEM;
    if ((rc = ReadAt(s, image->batOffset, static_cast<uint32_t>(entries * 8), image->bat)) !=
        DISK_OK)
        return rc;
    for (uint64_t i = 0; i < entries; i++) image->bat[i] = Bytes_LeToHost64(image->bat[i]);
    image->cachedBlock = VHDX_NO_BLOCK;

    if (hasParent) {
        if ((rc = OpenParent(image, open, user, path, chain)) != DISK_OK) return rc;
    }
    Vhd_ComputeGeometry(v, &image->geometry);
    return DISK_OK;
}

int OpenImpl(VhdxImage* image, FileOpenFn open, void* user, const char* path, bool readOnly,
             OpenChain* chain)
{
    if (image == nullptr || open == nullptr || path == nullptr) return DISK_ERR_ARG;
    Vhdx_Init(image);
    uint32_t* crc = CrcTable();
    if (crc == nullptr) return DISK_ERR_NOMEM;
    ByteStream* s = nullptr;
    int rc = open(path, readOnly, &s, user);
    if (rc != 0) {
        Mem_Free(crc);
        return rc == 1 ? DISK_CANCELLED : DISK_ERR_OPEN;
    }
    image->stream = s;
    const size_t pathLength = std::strlen(path);
    image->path = pathLength < VHDX_PATH_CAPACITY
                      ? static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(pathLength) + 1))
                      : nullptr;
    if (image->path == nullptr) {
        rc = pathLength < VHDX_PATH_CAPACITY ? DISK_ERR_NOMEM : DISK_ERR_ARG;
    } else {
        std::memcpy(image->path, path, pathLength + 1);
        rc = OpenBody(image, path, open, user, chain, crc);
    }
    Mem_Free(crc);
    if (rc != DISK_OK) Vhdx_Close(image);
    return rc;
}

// ---- Reading ---------------------------------------------------------------------------

uint64_t PayloadEntry(const VhdxImage* image, uint64_t block)
{
    const uint64_t index = block + block / image->chunkRatio;
    return index < image->batEntryCount ? image->bat[index] : 0;
}

// Loads the sector bits of a partially present payload block from its chunk's bitmap block.
int LoadBitmap(VhdxImage* image, uint64_t block)
{
    if (image->cachedBlock == block) return DISK_OK;
    image->cachedBlock = VHDX_NO_BLOCK;
    const uint64_t c = image->chunkRatio;
    const uint64_t index = (block / c) * (c + 1) + c;
    if (index >= image->batEntryCount)
        return Refusal_Record("VHDX block allocation table: no entry for a sector bitmap");
    const uint64_t entry = image->bat[index];
    if ((entry & 7) != VHDX_BITMAP_PRESENT)
        return Refusal_Record("VHDX block allocation table: sector bitmap not present");
    const uint64_t offset =
        (entry & VHDX_BAT_OFFSET_MASK) + (block % c) * image->bitmapBytesPerBlock;
    if (!Inside(offset, image->bitmapBytesPerBlock, image->fileSize))
        return Refusal_Record("VHDX sector bitmap: lies outside the file");
    int rc = ReadAt(image->stream, offset, image->bitmapBytesPerBlock, image->bitmap);
    if (rc != DISK_OK) return rc;
    image->cachedBlock = static_cast<uint32_t>(block);
    return DISK_OK;
}

// Bytes [offset, offset + length) of a block stored at `base` in the file.
int ReadStored(VhdxImage* image, uint64_t base, uint64_t inBlock, uint32_t length, uint8_t* out)
{
    uint64_t at = 0;
    if (!Math_AddU64(base, inBlock, &at))
        return Refusal_Record("VHDX block allocation table: block offset out of range");
    return ReadAt(image->stream, at, length, out);
}

int ReadParent(VhdxImage* image, uint64_t offset, uint32_t length, uint8_t* out)
{
    // The parent may be smaller than the child: zeros beyond its end.
    const uint64_t parentBytes = Geometry_GetTotalSectors(&image->parent->geometry) * 512;
    uint32_t inside = 0;
    if (offset < parentBytes) {
        const uint64_t room = parentBytes - offset;
        inside = room < length ? static_cast<uint32_t>(room) : length;
    }
    if (inside != 0) {
        int rc = Vhdx_Read(image->parent, offset, inside, out);
        if (rc != DISK_OK) return rc;
    }
    if (inside < length) std::memset(out + inside, 0, length - inside);
    return DISK_OK;
}

// Overwrites the bytes of a piece of a partially present block whose logical sectors are
// stored in this file.
int MergeStored(VhdxImage* image, uint64_t block, uint64_t base, uint32_t inBlock, uint32_t length,
                uint8_t* out)
{
    int rc = LoadBitmap(image, block);
    if (rc != DISK_OK) return rc;
    const uint32_t lss = image->logicalSectorSize;
    uint32_t pos = inBlock;
    const uint32_t end = inBlock + length;
    while (pos < end) {
        const uint32_t sector = pos / lss;
        const bool bit = Bitmap_TestBit(image->bitmap, sector);
        // The run of logical sectors with the same bit.
        uint32_t runEnd = (sector + 1) * lss;
        while (runEnd < end && Bitmap_TestBit(image->bitmap, runEnd / lss) == bit) runEnd += lss;
        if (runEnd > end) runEnd = end;
        if (bit) {
            rc = ReadStored(image, base, pos, runEnd - pos, out + (pos - inBlock));
            if (rc != DISK_OK) return rc;
        }
        pos = runEnd;
    }
    return DISK_OK;
}

int ReadPiece(VhdxImage* image, uint64_t block, uint32_t inBlock, uint32_t n, uint64_t offset,
              uint8_t* out)
{
    const uint64_t entry = PayloadEntry(image, block);
    const uint32_t state = static_cast<uint32_t>(entry & 7);
    const uint64_t base = entry & VHDX_BAT_OFFSET_MASK;
    if (image->parent != nullptr) {
        switch (state) {
        case VHDX_BLOCK_NOT_PRESENT:
            return ReadParent(image, offset, n, out);
        case VHDX_BLOCK_UNDEFINED:
        case VHDX_BLOCK_ZERO:
        case VHDX_BLOCK_UNMAPPED:
            std::memset(out, 0, n);
            return DISK_OK;
        case VHDX_BLOCK_FULLY_PRESENT:
            return ReadStored(image, base, inBlock, n, out);
        case VHDX_BLOCK_PARTIALLY_PRESENT: {
            int rc = ReadParent(image, offset, n, out);
            if (rc != DISK_OK) return rc;
            return MergeStored(image, block, base, inBlock, n, out);
        }
        default:
            return Refusal_Record("VHDX block allocation table: unknown block state");
        }
    }
    switch (state) {
    case VHDX_BLOCK_NOT_PRESENT:
    case VHDX_BLOCK_UNDEFINED:
    case VHDX_BLOCK_ZERO:
    case VHDX_BLOCK_UNMAPPED:
        std::memset(out, 0, n);
        return DISK_OK;
    case VHDX_BLOCK_FULLY_PRESENT:
        return ReadStored(image, base, inBlock, n, out);
    case VHDX_BLOCK_PARTIALLY_PRESENT:
        return Refusal_Record("VHDX block allocation table: partly present block without a parent");
    default:
        return Refusal_Record("VHDX block allocation table: unknown block state");
    }
}

inline bool UsedBit(const uint8_t* bits, uint32_t i) { return Bits_Test(bits, i); }

}  // namespace

// ---- Table entries ---------------------------------------------------------------------

int Disk_OpenVhdxWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int /*parentMode*/, void* /*openProgress*/)
{
    // Opening over an open object would lose it.
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    VhdxImage* image = Vhdx_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Vhdx_Init(image);
    const int rc = Vhdx_OpenWithHandler(image, opener != nullptr ? opener : &FileOpener_Default,
                                        path, readOnly);
    if (rc != DISK_OK) {
        Mem_Free(image);
        return rc;
    }
    handle->kind = DISK_KIND_VHDX;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenVhdx(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVhdxWithHandler(handle, &FileOpener_Default, path, readOnly, 0, nullptr);
}

// ---- Object ----------------------------------------------------------------------------

VhdxImage* Vhdx_Alloc() { return static_cast<VhdxImage*>(Mem_Alloc(sizeof(VhdxImage))); }

void Vhdx_Init(VhdxImage* image)
{
    if (image == nullptr) return;
    std::memset(image, 0, sizeof(*image));
    image->cachedBlock = VHDX_NO_BLOCK;
}

void Vhdx_Close(void* object)
{
    VhdxImage* image = static_cast<VhdxImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    Mem_Free(image->bat);
    Mem_Free(image->bitmap);
    if (image->parent != nullptr) {
        Vhdx_Close(image->parent);
        Mem_Free(image->parent);
    }
    FreePath(&image->relativePath);
    FreePath(&image->absoluteWin32Path);
    FreePath(&image->volumePath);
    Mem_Free(image->work);
    Mem_Free(image->path);
    Vhdx_Init(image);
}

int Vhdx_OpenWithCallback(VhdxImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly)
{
    OpenChain chain;
    chain.depth = 0;
    char* key = path != nullptr ? MakeFileKey(path) : nullptr;
    if (path != nullptr && key == nullptr) return DISK_ERR_NOMEM;
    chain.keys[chain.depth++] = key;
    int rc = OpenImpl(image, open, user, path, readOnly, &chain);
    Mem_Free(key);
    return rc;
}

int Vhdx_OpenWithHandler(VhdxImage* image, const FileOpener* opener, const char* path,
                         bool readOnly)
{
    if (opener == nullptr) return DISK_ERR_ARG;
    return Vhdx_OpenWithCallback(image, opener->open, opener->user, path, readOnly);
}

int Vhdx_Open(VhdxImage* image, const char* path, bool readOnly)
{
    return Vhdx_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}

uint32_t Vhdx_StructureChecksum(const uint32_t* crcTable, const uint8_t* data, uint32_t length)
{
    static const uint8_t kZero[4] = {0, 0, 0, 0};
    uint32_t crc = Crc32_Start();
    Crc32_Update(crcTable, &crc, data, 4);
    Crc32_Update(crcTable, &crc, kZero, 4);
    Crc32_Update(crcTable, &crc, data + 8, length - 8);
    return crc;
}

int Vhdx_ReadHeader(ByteStream* stream, uint64_t offset, VhdxHeader* out, const uint32_t* crcTable)
{
    uint8_t raw[VHDX_HEADER_BYTES];
    int rc = ReadAt(stream, offset, sizeof(raw), raw);
    if (rc != DISK_OK) return rc;
    if (Bytes_LoadLe32(raw) != kSignatureHead) return Refusal_Record("VHDX header: no signature");
    if (Bytes_LoadLe32(raw + 4) != Vhdx_StructureChecksum(crcTable, raw, sizeof(raw)))
        return Refusal_Record("VHDX header: checksum does not match");
    out->signature = Bytes_LoadLe32(raw);
    out->checksum = Bytes_LoadLe32(raw + 4);
    out->sequenceNumber = Bytes_LoadLe64(raw + 8);
    std::memcpy(out->fileWriteGuid, raw + 16, 16);
    std::memcpy(out->dataWriteGuid, raw + 32, 16);
    std::memcpy(out->logGuid, raw + 48, 16);
    out->logVersion = Bytes_LoadLe16(raw + 64);
    out->version = Bytes_LoadLe16(raw + 66);
    out->logLength = Bytes_LoadLe32(raw + 68);
    out->logOffset = Bytes_LoadLe64(raw + 72);
    return DISK_OK;
}

int Vhdx_ReadRegionTable(ByteStream* stream, uint64_t offset, uint8_t* buffer,
                         const uint32_t* crcTable)
{
    int rc = ReadAt(stream, offset, VHDX_REGION_BYTES, buffer);
    if (rc != DISK_OK) return rc;
    if (Bytes_LoadLe32(buffer) != kSignatureRegi)
        return Refusal_Record("VHDX region table: no signature");
    if (Bytes_LoadLe32(buffer + 4) != Vhdx_StructureChecksum(crcTable, buffer, VHDX_REGION_BYTES))
        return Refusal_Record("VHDX region table: checksum does not match");
    return DISK_OK;
}

void Vhdx_GetGeometry(void* object, DiskGeometry* out)
{
    const VhdxImage* image = static_cast<const VhdxImage*>(object);
    if (image != nullptr && out != nullptr) *out = image->geometry;
}

int Vhdx_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    VhdxImage* image = static_cast<VhdxImage*>(object);
    if (image == nullptr || image->stream == nullptr || (buffer == nullptr && length != 0))
        return DISK_ERR_ARG;
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t b = image->blockSize;
    while (length != 0) {
        const uint64_t block = offset / b;
        const uint32_t in = static_cast<uint32_t>(offset % b);
        const uint32_t n = length < b - in ? length : b - in;
        int rc = ReadPiece(image, block, in, n, offset, out);
        if (rc != DISK_OK) return rc;
        offset += n;
        out += n;
        length -= n;
    }
    return DISK_OK;
}

namespace {

// Whether the sectors [first, first + n) read into `data` hold nothing used: every sector that
// the map marks used (every sector without a map) is zero.
int PieceEmpty(UsedSectorMap* map, uint64_t first, uint32_t n, const uint8_t* data,
               uint8_t* usedBits, bool* empty)
{
    if (map == nullptr) {
        *empty = Mem_IsZero(data, n * 512);
        return DISK_OK;
    }
    int rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), usedBits);
    if (rc != DISK_OK) return rc;
    for (uint32_t i = 0; i < n; i++) {
        if (UsedBit(usedBits, i) && !Mem_IsZero(data + static_cast<uint64_t>(i) * 512, 512)) {
            *empty = false;
            return DISK_OK;
        }
    }
    *empty = true;
    return DISK_OK;
}

}  // namespace

int Vhdx_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    VhdxImage* image = static_cast<VhdxImage*>(object);
    if (image == nullptr || image->stream == nullptr || empty == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t blockSectors = image->blockSize / 512;
    const uint32_t workSectors = VHDX_WORK_BYTES / 512;
    uint8_t usedBits[VHDX_WORK_BYTES / 512 / 8];
    while (count != 0) {
        const uint64_t block = first / blockSectors;
        const uint32_t in = static_cast<uint32_t>(first % blockSectors);
        const uint32_t n = count < blockSectors - in ? count : blockSectors - in;
        const uint32_t state = static_cast<uint32_t>(PayloadEntry(image, block) & 7);
        bool pieceEmpty = true;
        bool read = false;
        switch (state) {
        case VHDX_BLOCK_NOT_PRESENT:
            if (image->parent != nullptr) {
                const uint64_t parentTotal = Geometry_GetTotalSectors(&image->parent->geometry);
                if (first < parentTotal) {
                    const uint64_t room = parentTotal - first;
                    const uint32_t m = room < n ? static_cast<uint32_t>(room) : n;
                    int rc = Vhdx_IsRangeEmpty(image->parent, map, first, m, &pieceEmpty, adapter,
                                               record);
                    if (rc != DISK_OK) return rc;
                }
            }
            break;
        case VHDX_BLOCK_UNDEFINED:
        case VHDX_BLOCK_ZERO:
        case VHDX_BLOCK_UNMAPPED:
            break;
        case VHDX_BLOCK_FULLY_PRESENT:
            read = true;
            break;
        case VHDX_BLOCK_PARTIALLY_PRESENT:
            if (image->parent == nullptr)
                return Refusal_Record(
                    "VHDX block allocation table: partly present block without a parent");
            read = true;
            break;
        default:
            return Refusal_Record("VHDX block allocation table: unknown block state");
        }
        for (uint32_t done = 0; read && done < n && pieceEmpty;) {
            const uint32_t m = n - done < workSectors ? n - done : workSectors;
            const uint64_t at = (first + done) * 512;
            int rc = Vhdx_Read(image, at, m * 512, image->work);
            if (rc == DISK_OK)
                rc = PieceEmpty(map, first + done, m, image->work, usedBits, &pieceEmpty);
            if (rc != DISK_OK) return rc;
            done += m;
        }
        if (!pieceEmpty) {
            *empty = false;
            return DISK_OK;
        }
        first += n;
        count -= n;
    }
    *empty = true;
    return DISK_OK;
}

int Vhdx_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* unallocated)
{
    VhdxImage* image = static_cast<VhdxImage*>(object);
    if (image == nullptr || image->stream == nullptr || unallocated == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t blockSectors = image->blockSize / 512;
    const uint32_t perLogical = image->logicalSectorSize / 512;
    const uint32_t bitsChunk = VHDX_WORK_BYTES / 512;
    uint8_t usedBits[VHDX_WORK_BYTES / 512 / 8];
    while (count != 0) {
        const uint64_t block = first / blockSectors;
        const uint32_t in = static_cast<uint32_t>(first % blockSectors);
        const uint32_t n = count < blockSectors - in ? count : blockSectors - in;
        const uint32_t state = static_cast<uint32_t>(PayloadEntry(image, block) & 7);
        if (state == 4 || state == 5 || state > 7)
            return Refusal_Record("VHDX block allocation table: unknown block state");
        if (state != VHDX_BLOCK_NOT_PRESENT) {
            const bool partial = state == VHDX_BLOCK_PARTIALLY_PRESENT;
            if (partial) {
                int rc = LoadBitmap(image, block);
                if (rc != DISK_OK) return rc;
            }
            for (uint32_t done = 0; done < n;) {
                const uint32_t m = n - done < bitsChunk ? n - done : bitsChunk;
                if (map != nullptr) {
                    int rc =
                        UsedMap_GetUsedBits(map, first + done, static_cast<int32_t>(m), usedBits);
                    if (rc != DISK_OK) return rc;
                }
                for (uint32_t i = 0; i < m; i++) {
                    if (map != nullptr && !UsedBit(usedBits, i)) continue;
                    if (partial && !Bitmap_TestBit(image->bitmap, (in + done + i) / perLogical))
                        continue;
                    *unallocated = false;
                    return DISK_OK;
                }
                done += m;
            }
        }
        first += n;
        count -= n;
    }
    *unallocated = true;
    return DISK_OK;
}

bool Vhdx_CanCompact(void* object) { return object != nullptr; }

bool Vhdx_HasParent(void* object)
{
    const VhdxImage* image = static_cast<const VhdxImage*>(object);
    return image != nullptr && image->parent != nullptr;
}

int32_t Vhdx_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || geometry->bytes_per_sector != 512) return -1;
    const uint64_t total = Geometry_GetTotalSectors(geometry);
    if (total == 0 || total > VHDX_MAX_VIRTUAL_SIZE / 512) return -1;
    return 0;
}
