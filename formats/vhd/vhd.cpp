// Dynamic and differencing VHD files.
#include "formats/vhd/vhd.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "disk/disk_open.h"
#include "foundation/encoding.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

// ---- Parent chain -------------------------------------------------------------------
// The images whose parents are being opened on this thread, outermost first, identified by
// their resolved file names. A parent that is already in the chain closes a loop.
thread_local uint32_t g_chainDepth = 0;
thread_local char* g_chainKeys[VHD_MAX_PARENT_DEPTH];

// The resolved name of a path (symbolic links and "." / ".." followed) in a new block, or a
// copy of the path itself when it cannot be resolved; NULL when out of memory.
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

bool KeyInChain(const char* key)
{
    for (uint32_t i = 0; i < g_chainDepth; i++) {
        if (std::strcmp(g_chainKeys[i], key) == 0) return true;
    }
    return false;
}

// Images whose parent could not be opened during the current outermost open, with the failure.
// The general open tries a file's kinds more than once, so without this record every failing
// level of a deep chain would open the levels below it again, twice per level.
struct FailedParent {
    char* key;
    int result;
    const char* reason;  // the refusal recorded with the failure, or NULL
};
const uint32_t kMaxFailedParents = 2 * VHD_MAX_PARENT_DEPTH;
thread_local FailedParent g_failed[kMaxFailedParents];
thread_local uint32_t g_failedCount = 0;

// A failure found again is answered with the reason it was recorded with, so that the caller
// sees the check that refused the parent and not whatever was tried in between.
bool FindFailedParent(const char* key, int* result)
{
    for (uint32_t i = 0; i < g_failedCount; i++) {
        if (std::strcmp(g_failed[i].key, key) == 0) {
            *result = g_failed[i].result;
            if (g_failed[i].reason != nullptr) Refusal_Record(g_failed[i].reason);
            return true;
        }
    }
    return false;
}

// Takes over the key when it is recorded.
bool RecordFailedParent(char* key, int result)
{
    if (g_failedCount == kMaxFailedParents) return false;
    g_failed[g_failedCount].key = key;
    g_failed[g_failedCount].result = result;
    g_failed[g_failedCount].reason = result == DISK_ERR_FORMAT ? Refusal_Get() : nullptr;
    g_failedCount++;
    return true;
}

void ForgetFailedParents()
{
    for (uint32_t i = 0; i < g_failedCount; i++) Mem_Free(g_failed[i].key);
    g_failedCount = 0;
}

// ---- Small helpers ------------------------------------------------------------------

int ReadAt(ByteStream* stream, uint64_t offset, uint32_t length, void* buffer)
{
    return Stream_ReadAt(stream, offset, length, buffer) ? DISK_OK : DISK_ERR_READ;
}

// Sector i of a block bitmap: bit 7 - i mod 8 of byte i / 8.
inline bool BitmapBit(const uint8_t* bitmap, uint32_t i)
{
    return (bitmap[i >> 3] & (0x80u >> (i & 7))) != 0;
}

inline bool UsedBit(const uint8_t* bits, uint32_t i) { return Bits_Test(bits, i); }

bool IsValidLocatorCode(uint32_t code)
{
    return code == 0 || code == VHD_CODE_WI2R || code == VHD_CODE_WI2K || code == VHD_CODE_W2RU ||
           code == VHD_CODE_W2KU || code == VHD_CODE_MAC || code == VHD_CODE_MACX;
}

uint32_t BatEntry(const VhdImage* image, uint64_t block)
{
    return block < image->batStoredEntries ? image->bat[block] : VHD_UNALLOCATED;
}

// Loads the sector bitmap of an allocated block unless it is the cached one. A failed load
// leaves no block cached.
int LoadBitmap(VhdImage* image, uint32_t block, uint32_t entry)
{
    if (image->cachedBlock == block) return DISK_OK;
    image->cachedBlock = VHD_UNALLOCATED;
    int rc = ReadAt(image->stream, static_cast<uint64_t>(entry) * 512, image->bitmapBytes,
                    image->bitmap);
    if (rc != DISK_OK) return rc;
    image->cachedBlock = block;
    return DISK_OK;
}

uint64_t ParentSectors(const VhdImage* image)
{
    DiskGeometry g = {};
    Disk_GetGeometry(image->parent, &g);
    return Geometry_GetTotalSectors(&g);
}

// Bytes of the disk that the parent serves: the parent's content, zeros where there is no
// parent and past the parent's end.
int ReadParent(VhdImage* image, uint64_t offset, uint32_t length, uint8_t* out)
{
    if (image->parent == nullptr) {
        std::memset(out, 0, length);
        return DISK_OK;
    }
    const uint64_t parentBytes = ParentSectors(image) * 512;
    uint32_t inside = 0;
    if (offset < parentBytes) {
        const uint64_t room = parentBytes - offset;
        inside = room < length ? static_cast<uint32_t>(room) : length;
    }
    if (inside != 0) {
        int rc = Disk_Read(image->parent, offset, inside, out);
        if (rc != DISK_OK) return rc;
    }
    if (inside < length) std::memset(out + inside, 0, length - inside);
    return DISK_OK;
}

int ParentEmpty(VhdImage* image, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    *empty = true;
    if (image->parent == nullptr) return DISK_OK;
    const uint64_t parentTotal = ParentSectors(image);
    if (first >= parentTotal) return DISK_OK;
    const uint64_t room = parentTotal - first;
    const uint32_t n = room < count ? static_cast<uint32_t>(room) : count;
    return Disk_IsRangeEmpty(image->parent, map, first, n, empty, adapter, record);
}

// Reads stored sectors of a block and tells whether all are zero.
int StoredSectorsEmpty(VhdImage* image, uint32_t entry, uint32_t sectorInBlock, uint32_t count,
                       bool* empty)
{
    const uint32_t chunk = VHD_WORK_BYTES / 512;
    uint64_t offset = static_cast<uint64_t>(entry) * 512 + image->bitmapBytes +
                      static_cast<uint64_t>(sectorInBlock) * 512;
    while (count != 0) {
        const uint32_t n = count < chunk ? count : chunk;
        int rc = ReadAt(image->stream, offset, n * 512, image->work);
        if (rc != DISK_OK) return rc;
        if (!Mem_IsZero(image->work, n * 512)) {
            *empty = false;
            return DISK_OK;
        }
        offset += static_cast<uint64_t>(n) * 512;
        count -= n;
    }
    *empty = true;
    return DISK_OK;
}

// ---- Parent lookup --------------------------------------------------------------------

// Turns locator data or the parent name into a host path relative to the child: decodes it
// to UTF-8 up to its first NUL, turns "\" into "/" and resolves it against the child's
// directory. False when the text is not valid in its encoding or does not fit.
bool MakeParentCandidate(const uint8_t* data, uint32_t length, TextEncoding encoding,
                         const char* childPath, TextBuffer* result)
{
    const uint32_t unit = Text_UnitSize(encoding);
    uint32_t used = 0;
    while (used + unit <= length) {
        bool zero = true;
        for (uint32_t k = 0; k < unit; k++) zero = zero && data[used + k] == 0;
        if (zero) break;
        used += unit;
    }
    if (used == 0) return false;
    uint8_t textStorage[VHD_PATH_CAPACITY];
    TextBuffer text;
    TextBuffer_Init(&text, textStorage, 0, sizeof(textStorage));
    TextView source = {data, used};
    if (Enc_Convert(source, encoding, &text, TEXT_ENC_UTF8) == ENC_FAILED) return false;
    for (uint32_t i = 0; i < text.length; i++) {
        if (textStorage[i] == '\\') textStorage[i] = '/';
    }
    TextView relative;
    TextBuffer_View(&text, &relative);
    TextView reference;
    Text_FromCStringUtf8(&reference, childPath);
    uint8_t workStorage[VHD_PATH_CAPACITY];
    TextBuffer work;
    TextBuffer_Init(&work, workStorage, 0, sizeof(workStorage));
    if (!Path_MakeAbsolute(relative, reference, &work, result, TEXT_ENC_UTF8)) return false;
    return TextBuffer_TerminateUtf8(result);
}

// Resolves the parent's path: the locators "W2ru", "Wi2r", "W2ku", "Wi2k" in that order, then
// the parent name; the first candidate naming an existing file wins. When none exists the
// parent name's candidate (else the first usable one) is answered, so that opening it reports
// the missing file. DISK_ERR_FORMAT when nothing usable is stored.
int ResolveParentPath(VhdImage* image, const char* childPath, TextBuffer* result)
{
    static const uint32_t kCodes[4] = {VHD_CODE_W2RU, VHD_CODE_WI2R, VHD_CODE_W2KU, VHD_CODE_WI2K};
    uint8_t fallbackStorage[VHD_PATH_CAPACITY];
    TextBuffer fallback;
    TextBuffer_Init(&fallback, fallbackStorage, 0, sizeof(fallbackStorage));
    bool haveFallback = false;

    uint8_t* data = static_cast<uint8_t*>(Mem_Alloc(VHD_MAX_LOCATOR_READ));
    if (data == nullptr) return DISK_ERR_NOMEM;
    for (uint32_t c = 0; c < 4; c++) {
        for (uint32_t slot = 0; slot < VHD_LOCATOR_COUNT; slot++) {
            const VhdParentLocator* loc = &image->header.locators[slot];
            if (loc->platformCode != kCodes[c]) continue;
            const uint32_t length = loc->platformDataLength;
            if (length == 0 || length > VHD_MAX_LOCATOR_READ || length > loc->platformDataSpace)
                continue;
            if (loc->platformDataOffset > image->footerPosition ||
                length > image->footerPosition - loc->platformDataOffset)
                continue;
            if (ReadAt(image->stream, loc->platformDataOffset, length, data) != DISK_OK) continue;
            const TextEncoding encoding = (kCodes[c] == VHD_CODE_W2RU || kCodes[c] == VHD_CODE_W2KU)
                                              ? TEXT_ENC_UTF16LE
                                              : TEXT_ENC_SJIS;
            result->length = 0;
            if (!MakeParentCandidate(data, length, encoding, childPath, result)) continue;
            if (Os_PathExists(reinterpret_cast<const char*>(result->data))) {
                Mem_Free(data);
                return DISK_OK;
            }
            if (!haveFallback) {
                TextView v;
                TextBuffer_View(result, &v);
                haveFallback = TextBuffer_Set(&fallback, v) && TextBuffer_TerminateUtf8(&fallback);
            }
        }
    }
    Mem_Free(data);

    // The parent name: UTF-16 big-endian up to its first NUL (all 256 units without one).
    uint32_t units = 0;
    while (units < 256 && (image->header.parentName[2 * units] != 0 ||
                           image->header.parentName[2 * units + 1] != 0))
        units++;
    bool nameUsable = false;
    if (units != 0) {
        uint8_t nameStorage[VHD_PATH_CAPACITY];
        TextBuffer name;
        TextBuffer_Init(&name, nameStorage, 0, sizeof(nameStorage));
        TextView source = {image->header.parentName, units * 2};
        if (Enc_Convert(source, TEXT_ENC_UTF16BE, &name, TEXT_ENC_UTF8) != ENC_FAILED) {
            TextView nameView;
            TextBuffer_View(&name, &nameView);
            if (Path_IsValidWindows(nameView, TEXT_ENC_UTF8)) {
                result->length = 0;
                nameUsable =
                    MakeParentCandidate(nameStorage, name.length, TEXT_ENC_UTF8, childPath, result);
            }
        }
    }
    if (nameUsable) return DISK_OK;
    if (haveFallback) {
        TextView v;
        TextBuffer_View(&fallback, &v);
        result->length = 0;
        if (TextBuffer_Set(result, v) && TextBuffer_TerminateUtf8(result)) return DISK_OK;
    }
    return Refusal_Record("VHD dynamic header: no usable parent name or locator");
}

// Opens the parent of a differencing disk read-only as any kind. Answers the open's result;
// loops and chains deeper than VHD_MAX_PARENT_DEPTH are DISK_ERR_FORMAT.
int OpenParent(VhdImage* image, const char* childPath, char* parentPathOut, uint32_t parentPathSize)
{
    uint8_t storage[VHD_PATH_CAPACITY];
    TextBuffer parentPath;
    TextBuffer_Init(&parentPath, storage, 0, sizeof(storage));
    int rc = ResolveParentPath(image, childPath, &parentPath);
    if (rc != DISK_OK) return rc;
    const char* parentCStr = reinterpret_cast<const char*>(storage);
    if (parentPathOut != nullptr && parentPathSize > parentPath.length) {
        std::memcpy(parentPathOut, storage, parentPath.length + 1);
    }
    if (g_chainDepth >= VHD_MAX_PARENT_DEPTH)
        return Refusal_Record("VHD parent chain: more than 32 parents");

    char* childKey = MakeFileKey(childPath);
    char* parentKey = MakeFileKey(parentCStr);
    if (childKey == nullptr || parentKey == nullptr) {
        Mem_Free(childKey);
        Mem_Free(parentKey);
        return DISK_ERR_NOMEM;
    }
    const bool loop = std::strcmp(childKey, parentKey) == 0 || KeyInChain(parentKey);
    Mem_Free(parentKey);
    if (loop) {
        Mem_Free(childKey);
        return Refusal_Record("VHD parent chain: leads back to an image in it");
    }
    if (FindFailedParent(childKey, &rc)) {
        Mem_Free(childKey);
        return rc;
    }

    DiskHandle* parent = Disk_Alloc();
    if (parent == nullptr) {
        Mem_Free(childKey);
        return DISK_ERR_NOMEM;
    }
    Disk_Init(parent);
    g_chainKeys[g_chainDepth++] = childKey;
    rc = Disk_Open(parent, parentCStr, true);
    g_chainKeys[--g_chainDepth] = nullptr;
    if (rc != DISK_OK) {
        Disk_Close(parent);
        Mem_Free(parent);
        if (!RecordFailedParent(childKey, rc)) Mem_Free(childKey);
    } else {
        Mem_Free(childKey);
        image->parent = parent;
    }
    // The outermost open is over: its record of failures goes with it.
    if (g_chainDepth == 0) ForgetFailedParents();
    return rc;
}

// ---- Open -----------------------------------------------------------------------------
// Each on-disk record is read into host order and checked before anything it points to is
// read; the image's working fields are then derived from the checked records.

// The records of a file being opened.
struct VhdRecords {
    uint64_t footerPosition;              // file size minus footer length
    uint32_t footerLength;                // 512, or 511 when the file's last byte is missing
    uint8_t rawFooter[VHD_FOOTER_SIZE];   // as stored, zero-padded: the checksum covers these
    uint8_t footerCopy[VHD_FOOTER_SIZE];  // the same length from offset 0
    VhdFooter footer;                     // host order
    uint8_t rawHeader[VHD_DYNAMIC_HEADER_SIZE];
    VhdDynamicHeader header;  // host order
};

// Sizes derived from the checked footer and header.
struct VhdShape {
    DiskGeometry geometry;
    uint32_t blockBytes;
    uint32_t blockSectors;
    uint64_t blockCount;     // blocks of the disk: ceil(total / block sectors), below 2^32
    uint32_t bitmapBytes;    // ceil(block sectors / 8) rounded up to 512
    uint64_t tableBytes;     // max table entries x 4
    uint64_t storedEntries;  // entries of the stored table that cover blocks of the disk
};

// The footer's length from the file size.
int Vhd_CheckFileSize(uint64_t size, uint32_t* footerLength)
{
    // Room for the footer copy, the dynamic header and the footer.
    if (size < 2047) return Refusal_Record("VHD file: too short for a dynamic disk");
    const uint32_t rem = static_cast<uint32_t>(size % 512);
    if (rem == 0) {
        *footerLength = 512;
    } else if (rem == 511) {
        *footerLength = 511;
    } else {
        return Refusal_Record("VHD file: size is not a whole number of sectors");
    }
    return DISK_OK;
}

// The footer from the end of the file and its copy from the start.
int ReadFooter(ByteStream* s, uint64_t size, VhdRecords* r)
{
    r->footerPosition = size - r->footerLength;
    std::memset(r->rawFooter, 0, sizeof(r->rawFooter));
    std::memset(r->footerCopy, 0, sizeof(r->footerCopy));
    int rc = ReadAt(s, r->footerPosition, r->footerLength, r->rawFooter);
    if (rc != DISK_OK) return rc;
    if ((rc = ReadAt(s, 0, r->footerLength, r->footerCopy)) != DISK_OK) return rc;
    std::memcpy(&r->footer, r->rawFooter, sizeof(r->footer));
    Vhd_FooterToHost(&r->footer, &r->footer);
    return DISK_OK;
}

// The footer of a dynamic or differencing disk whose dynamic header lies inside the file.
int Vhd_CheckFooter(const VhdRecords* r)
{
    const VhdFooter& footer = r->footer;
    if (std::memcmp(r->rawFooter, r->footerCopy, 64) != 0)
        return Refusal_Record("VHD footer: copy at the start of the file differs");
    // A checksum of 0 is taken without verification.
    const uint32_t storedChecksum = Bytes_LoadBe32(r->rawFooter + VHD_FOOTER_CHECKSUM_OFFSET);
    if (storedChecksum != 0 && storedChecksum != Vhd_ComputeChecksum(r->rawFooter, r->footerLength,
                                                                     VHD_FOOTER_CHECKSUM_OFFSET))
        return Refusal_Record("VHD footer: checksum does not match");
    if (footer.fileFormatVersion != VHD_VERSION)
        return Refusal_Record("VHD footer: unknown format version");
    if (footer.diskType != VHD_DISK_TYPE_DYNAMIC && footer.diskType != VHD_DISK_TYPE_DIFFERENCING)
        return Refusal_Record("VHD footer: not a dynamic or differencing disk");
    if (footer.dataOffset == UINT64_MAX)
        return Refusal_Record("VHD footer: no dynamic header offset");
    if (!Mem_IsZero(footer.reserved, sizeof(footer.reserved)))
        return Refusal_Record("VHD footer: reserved bytes are not zero");
    if (footer.dataOffset > r->footerPosition ||
        r->footerPosition - footer.dataOffset < VHD_DYNAMIC_HEADER_SIZE)
        return Refusal_Record("VHD footer: dynamic header offset past the end of the file");
    return DISK_OK;
}

// The size the footer's creator means (current size or CHS product) fits the 32-bit total.
// Checked after the dynamic header, so that a header that cannot be read is reported first.
int Vhd_CheckFooterDiskSize(const VhdFooter* footer)
{
    if (Vhd_FooterDiskSectors(footer) > 0xFFFFFFFFull)
        return Refusal_Record("VHD footer: disk size is 2^32 sectors or more");
    return DISK_OK;
}

int ReadDynamicHeader(ByteStream* s, VhdRecords* r)
{
    int rc = ReadAt(s, r->footer.dataOffset, sizeof(r->rawHeader), r->rawHeader);
    if (rc != DISK_OK) return rc;
    std::memcpy(&r->header, r->rawHeader, sizeof(r->header));
    Vhd_ConvertDynamicHeader(&r->header, &r->header);
    return DISK_OK;
}

// The dynamic header, and where its block allocation table lies: inside the file before the
// footer, clear of the footer copy and of the header.
int Vhd_CheckDynamicHeader(const VhdRecords* r)
{
    const VhdDynamicHeader& header = r->header;
    if (header.checksum !=
        Vhd_ComputeChecksum(r->rawHeader, sizeof(r->rawHeader), VHD_HEADER_CHECKSUM_OFFSET))
        return Refusal_Record("VHD dynamic header: checksum does not match");
    if (std::memcmp(header.cookie, "cxsparse", 8) != 0)
        return Refusal_Record("VHD dynamic header: no signature");
    if (header.dataOffset != UINT64_MAX)
        return Refusal_Record("VHD dynamic header: data offset is not all ones");
    if (header.headerVersion != VHD_VERSION)
        return Refusal_Record("VHD dynamic header: unknown version");
    if (header.reserved1 != 0)
        return Refusal_Record("VHD dynamic header: reserved field is not zero");
    const uint32_t blockBytes = header.blockSize;
    if (blockBytes < 512 || (blockBytes & (blockBytes - 1)) != 0)
        return Refusal_Record(
            "VHD dynamic header: block size is not a power of two of 512 or more");
    if (!Mem_IsZero(header.reserved2, sizeof(header.reserved2)))
        return Refusal_Record("VHD dynamic header: reserved bytes are not zero");
    const uint64_t tableOffset = header.tableOffset;
    const uint64_t tableBytes = static_cast<uint64_t>(header.maxTableEntries) * 4;
    if (tableOffset < 512 || tableOffset > r->footerPosition ||
        tableBytes > r->footerPosition - tableOffset)
        return Refusal_Record("VHD block allocation table: lies outside the file");
    if (tableOffset < r->footer.dataOffset + VHD_DYNAMIC_HEADER_SIZE &&
        tableOffset + tableBytes > r->footer.dataOffset)
        return Refusal_Record("VHD block allocation table: overlaps the dynamic header");
    return DISK_OK;
}

// The parent locators of a differencing disk whose parent is looked for: known platform codes
// (or 0 for an unused slot) and a zero reserved field.
int Vhd_CheckParentLocators(const VhdDynamicHeader* header)
{
    for (uint32_t i = 0; i < VHD_LOCATOR_COUNT; i++) {
        if (!IsValidLocatorCode(header->locators[i].platformCode))
            return Refusal_Record("VHD parent locator: unknown platform code");
        if (header->locators[i].reserved != 0)
            return Refusal_Record("VHD parent locator: reserved field is not zero");
    }
    return DISK_OK;
}

void DeriveShape(const VhdRecords* r, VhdShape* shape)
{
    const uint64_t total = Vhd_FooterDiskSectors(&r->footer);
    shape->geometry = DiskGeometry{0, r->footer.heads, r->footer.sectorsPerTrack, 512, 0};
    Geometry_SetTotalSectors(&shape->geometry, total);
    shape->blockBytes = r->header.blockSize;
    shape->blockSectors = shape->blockBytes / 512;
    shape->blockCount = Math_DivCeilU64(total, shape->blockSectors);
    shape->bitmapBytes =
        static_cast<uint32_t>(Math_DivCeilU64(Math_DivCeilU64(shape->blockSectors, 8), 512) * 512);
    shape->tableBytes = static_cast<uint64_t>(r->header.maxTableEntries) * 4;
    // Blocks at or beyond the stored table's end are unallocated.
    shape->storedEntries = shape->blockCount < r->header.maxTableEntries
                               ? shape->blockCount
                               : r->header.maxTableEntries;
}

// Turns stored (big-endian) table entries into host order in place.
void BatEntriesToHost(uint32_t* entries, uint32_t count)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(entries);
    for (uint32_t i = 0; i < count; i++) entries[i] = Bytes_LoadBe32(bytes + 4 * i);
}

// Reads `count` entries of the table at `tableOffset` into a new array (*bat, set as soon as
// it is allocated, also when the read then fails).
int ReadBat(ByteStream* s, uint64_t tableOffset, uint64_t count, uint32_t** bat)
{
    *bat = nullptr;
    if (count > 0xFFFFFFFFull / 4) return DISK_ERR_NOMEM;
    const uint32_t stored = static_cast<uint32_t>(count);
    if (stored == 0) return DISK_OK;
    *bat = static_cast<uint32_t*>(Mem_Alloc(stored * 4));
    if (*bat == nullptr) return DISK_ERR_NOMEM;
    const uint32_t chunk = 0x40000;  // entries per read
    for (uint32_t done = 0; done < stored;) {
        const uint32_t n = stored - done < chunk ? stored - done : chunk;
        int rc = ReadAt(s, tableOffset + static_cast<uint64_t>(done) * 4, n * 4, *bat + done);
        if (rc != DISK_OK) return rc;
        BatEntriesToHost(*bat + done, n);
        done += n;
    }
    return DISK_OK;
}

// Metadata end F in sectors: the table, and for a differencing disk every used locator's data
// space.
int MetadataEnd(const VhdRecords* r, const VhdShape* shape, uint64_t* end)
{
    *end = Math_DivCeilU64(r->header.tableOffset + shape->tableBytes, 512);
    if (r->footer.diskType != VHD_DISK_TYPE_DIFFERENCING) return DISK_OK;
    for (uint32_t i = 0; i < VHD_LOCATOR_COUNT; i++) {
        const VhdParentLocator* loc = &r->header.locators[i];
        if (loc->platformCode == 0) continue;
        uint64_t areaEnd = 0;
        if (!Math_AddU64(loc->platformDataOffset, loc->platformDataSpace, &areaEnd))
            return Refusal_Record("VHD parent locator: data area ends past 2^64 bytes");
        const uint64_t endSector = Math_DivCeilU64(areaEnd, 512);
        if (endSector > *end) *end = endSector;
    }
    return DISK_OK;
}

// First block sector E: the smallest entry, or the footer's sector when no block is stored.
uint64_t FirstBlockSector(const VhdRecords* r, const uint32_t* bat, uint32_t stored)
{
    uint64_t first = r->footerPosition / 512;
    for (uint32_t i = 0; i < stored; i++) {
        if (bat[i] != VHD_UNALLOCATED && bat[i] < first) first = bat[i];
    }
    return first;
}

// Every stored block (bitmap and data) lies in the data area: behind the metadata and before
// the footer.
int Vhd_CheckBat(const VhdRecords* r, const VhdShape* shape, const uint32_t* bat, uint32_t stored)
{
    uint64_t metadataEnd = 0;
    int rc = MetadataEnd(r, shape, &metadataEnd);
    if (rc != DISK_OK) return rc;
    for (uint32_t i = 0; i < stored; i++) {
        if (bat[i] == VHD_UNALLOCATED) continue;
        const uint64_t end =
            static_cast<uint64_t>(bat[i]) * 512 + shape->bitmapBytes + shape->blockBytes;
        if (end > r->footerPosition)
            return Refusal_Record("VHD block allocation table: block runs into the footer");
    }
    if (FirstBlockSector(r, bat, stored) < metadataEnd)
        return Refusal_Record("VHD block allocation table: block lies inside the metadata");
    return DISK_OK;
}

// The working fields of a checked file, and the layout that compaction and expansion
// reproduce, inferred from the gap between the metadata and the first block.
void DeriveImage(VhdImage* image, const VhdRecords* r, const VhdShape* shape)
{
    uint64_t metadataEnd = 0;
    MetadataEnd(r, shape, &metadataEnd);  // checked with the table
    const uint64_t firstBlock = FirstBlockSector(r, image->bat, image->batStoredEntries);
    const uint64_t gap = firstBlock - metadataEnd;
    if (gap <= 6) {
        image->batAlignment = 0;
        image->zeroSectorsAfterBat = static_cast<uint32_t>(gap);
        image->zeroSectorsAfterBlock = 0;
    } else {
        image->batAlignment = 1;
        image->zeroSectorsAfterBat = 7;
        image->zeroSectorsAfterBlock = 7;
    }
    image->geometry = shape->geometry;
    image->footer = r->footer;
    image->header = r->header;
    image->blockBytes = shape->blockBytes;
    image->blockSectors = shape->blockSectors;
    image->batEntryCount = static_cast<uint32_t>(shape->blockCount);
    image->tableOffset = r->header.tableOffset;
    image->footerPosition = r->footerPosition;
    image->footerLength = r->footerLength;
    image->bitmapBytes = shape->bitmapBytes;
    image->firstBlockSector = firstBlock;
}

int OpenBody(VhdImage* image, const char* path, char* parentPathOut, uint32_t parentPathSize,
             int parentMode)
{
    ByteStream* s = image->stream;
    uint64_t size = 0;
    if (!Stream_GetSize(s, &size)) return DISK_ERR_SIZE;

    VhdRecords r;
    int rc = Vhd_CheckFileSize(size, &r.footerLength);
    if (rc != DISK_OK) return rc;
    if ((rc = ReadFooter(s, size, &r)) != DISK_OK) return rc;
    if ((rc = Vhd_CheckFooter(&r)) != DISK_OK) return rc;
    if ((rc = ReadDynamicHeader(s, &r)) != DISK_OK) return rc;
    if ((rc = Vhd_CheckDynamicHeader(&r)) != DISK_OK) return rc;
    const bool differencing = r.footer.diskType == VHD_DISK_TYPE_DIFFERENCING;
    // The locators matter only when the parent is looked for.
    if (differencing && parentMode < VHD_PARENT_IGNORE &&
        (rc = Vhd_CheckParentLocators(&r.header)) != DISK_OK)
        return rc;
    if ((rc = Vhd_CheckFooterDiskSize(&r.footer)) != DISK_OK) return rc;

    VhdShape shape;
    DeriveShape(&r, &shape);
    uint32_t* bat = nullptr;
    rc = ReadBat(s, r.header.tableOffset, shape.storedEntries, &bat);
    image->bat = bat;
    image->batStoredEntries = bat != nullptr ? static_cast<uint32_t>(shape.storedEntries) : 0;
    if (rc != DISK_OK) return rc;
    if ((rc = Vhd_CheckBat(&r, &shape, bat, image->batStoredEntries)) != DISK_OK) return rc;

    DeriveImage(image, &r, &shape);
    // The path is kept for compaction and the locator rewrite.
    TextView pathView;
    Text_FromCStringUtf8(&pathView, path);
    if (!TextBuffer_Set(&image->path, pathView) || !TextBuffer_TerminateUtf8(&image->path)) {
        image->path.length = 0;
        return DISK_ERR_ARG;
    }
    image->bitmap = static_cast<uint8_t*>(Mem_Alloc(shape.bitmapBytes));
    image->usedBits = static_cast<uint8_t*>(Mem_Alloc(shape.bitmapBytes));
    image->work = static_cast<uint8_t*>(Mem_Alloc(VHD_WORK_BYTES));
    if (image->bitmap == nullptr || image->usedBits == nullptr || image->work == nullptr)
        return DISK_ERR_NOMEM;
    image->cachedBlock = VHD_UNALLOCATED;

    if (differencing && parentMode < VHD_PARENT_IGNORE) {
        rc = OpenParent(image, path, parentPathOut, parentPathSize);
        image->parentResult = rc;
        if (rc != DISK_OK && parentMode == VHD_PARENT_REQUIRED) return rc;
    }
    image->parentMissing = differencing && image->parent == nullptr;
    return DISK_OK;
}

}  // namespace

// ---- Table entries -------------------------------------------------------------------

int Disk_OpenVhdWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                            bool readOnly, int parentMode, void* /*openProgress*/)
{
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    VhdImage* image = Vhd_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Vhd_Init(image);
    const int rc = Vhd_OpenWithHandler(image, opener != nullptr ? opener : &FileOpener_Default,
                                       path, readOnly, parentMode);
    if (rc != DISK_OK) {
        Mem_Free(image);
        return rc;
    }
    handle->kind = DISK_KIND_VHD;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenVhd(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenVhdWithHandler(handle, &FileOpener_Default, path, readOnly, VHD_PARENT_REQUIRED,
                                   nullptr);
}

// ---- Object ----------------------------------------------------------------------------

VhdImage* Vhd_Alloc() { return static_cast<VhdImage*>(Mem_Alloc(sizeof(VhdImage))); }

void Vhd_Init(VhdImage* image)
{
    if (image == nullptr) return;
    image->geometry = DiskGeometry{0, 0, 0, 0, 0};
    image->stream = nullptr;
    image->bat = nullptr;
    image->cachedBlock = VHD_UNALLOCATED;
    image->bitmap = nullptr;
    std::memset(&image->footer, 0, sizeof(image->footer));
    image->blockBytes = 0;
    image->blockSectors = 0;
    image->zeroSectorsAfterBlock = 0;
    image->batEntryCount = 0;
    image->tableOffset = 0;
    image->footerPosition = 0;
    image->footerLength = 0;
    image->bitmapBytes = 0;
    image->parentMissing = false;
    image->parent = nullptr;
    std::memset(&image->header, 0, sizeof(image->header));
    image->batAlignment = 0;
    image->zeroSectorsAfterBat = 0;
    TextBuffer_Init(&image->path, image->pathStorage, 0, VHD_PATH_CAPACITY);
    image->pathStorage[0] = 0;
    image->batStoredEntries = 0;
    image->firstBlockSector = 0;
    image->parentResult = DISK_OK;
    image->usedBits = nullptr;
    image->work = nullptr;
}

void Vhd_Close(void* object)
{
    VhdImage* image = static_cast<VhdImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    Mem_Free(image->bat);
    Mem_Free(image->bitmap);
    Mem_Free(image->usedBits);
    Mem_Free(image->work);
    if (image->parent != nullptr) {
        Disk_Close(image->parent);
        Mem_Free(image->parent);
    }
    Vhd_Init(image);
}

int Vhd_OpenWithCallback(VhdImage* image, FileOpenFn open, void* user, const char* path,
                         bool readOnly, char* parentPath, uint32_t parentPathSize, int parentMode)
{
    if (image == nullptr || open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    const int opened = open(path, readOnly, &stream, user);
    if (opened == 1) return DISK_CANCELLED;
    if (opened != 0 || stream == nullptr) return DISK_ERR_OPEN;
    image->stream = stream;
    const int rc = OpenBody(image, path, parentPath, parentPathSize, parentMode);
    if (rc != DISK_OK) Vhd_Close(image);
    return rc;
}

int Vhd_OpenWithHandler(VhdImage* image, const FileOpener* opener, const char* path, bool readOnly,
                        int parentMode)
{
    if (opener == nullptr) return DISK_ERR_ARG;
    return Vhd_OpenWithCallback(image, opener->open, opener->user, path, readOnly, nullptr, 0,
                                parentMode);
}

int Vhd_Open(VhdImage* image, const char* path, bool readOnly)
{
    return Vhd_OpenWithHandler(image, &FileOpener_Default, path, readOnly, VHD_PARENT_REQUIRED);
}

int Vhd_Open(VhdImage* image, const char* path, bool readOnly, int parentMode)
{
    return Vhd_OpenWithHandler(image, &FileOpener_Default, path, readOnly, parentMode);
}

void Vhd_GetGeometry(void* object, DiskGeometry* out)
{
    const VhdImage* image = static_cast<const VhdImage*>(object);
    if (image == nullptr || out == nullptr) return;
    *out = image->geometry;
}

int Vhd_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    VhdImage* image = static_cast<VhdImage*>(object);
    if (image == nullptr || image->stream == nullptr || (buffer == nullptr && length != 0))
        return DISK_ERR_ARG;
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t blockBytes = image->blockBytes;
    while (length != 0) {
        const uint64_t block = offset / blockBytes;
        const uint32_t in = static_cast<uint32_t>(offset % blockBytes);
        const uint32_t piece = length < blockBytes - in ? length : blockBytes - in;
        const uint32_t entry = BatEntry(image, block);
        int rc;
        if (entry == VHD_UNALLOCATED) {
            rc = ReadParent(image, offset, piece, out);
            if (rc != DISK_OK) return rc;
        } else {
            rc = LoadBitmap(image, static_cast<uint32_t>(block), entry);
            if (rc != DISK_OK) return rc;
            const uint8_t* bitmap = image->bitmap;
            const uint64_t data = static_cast<uint64_t>(entry) * 512 + image->bitmapBytes;
            const uint32_t end = in + piece;
            uint32_t pos = in;
            while (pos < end) {
                // A run of sectors with the same bit is one read.
                uint32_t s = pos / 512;
                const bool bit = BitmapBit(bitmap, s);
                const uint8_t same = bit ? 0xFF : 0x00;
                s++;
                while (static_cast<uint64_t>(s) * 512 < end) {
                    if ((s & 7) == 0 && static_cast<uint64_t>(s + 8) * 512 <= end &&
                        bitmap[s >> 3] == same) {
                        s += 8;
                    } else if (BitmapBit(bitmap, s) == bit) {
                        s++;
                    } else {
                        break;
                    }
                }
                const uint32_t runEnd = static_cast<uint64_t>(s) * 512 < end ? s * 512 : end;
                const uint32_t n = runEnd - pos;
                if (bit) {
                    rc = ReadAt(image->stream, data + pos, n, out + (pos - in));
                } else {
                    rc = ReadParent(image, block * blockBytes + pos, n, out + (pos - in));
                }
                if (rc != DISK_OK) return rc;
                pos = runEnd;
            }
        }
        offset += piece;
        out += piece;
        length -= piece;
    }
    return DISK_OK;
}

int Vhd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                     RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    VhdImage* image = static_cast<VhdImage*>(object);
    if (image == nullptr || image->stream == nullptr || empty == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t blockSectors = image->blockSectors;
    while (count != 0) {
        const uint64_t block = first / blockSectors;
        const uint32_t in = static_cast<uint32_t>(first % blockSectors);
        const uint32_t n = count < blockSectors - in ? count : blockSectors - in;
        const uint32_t entry = BatEntry(image, block);
        bool pieceEmpty = true;
        int rc;
        if (entry == VHD_UNALLOCATED) {
            rc = ParentEmpty(image, map, first, n, &pieceEmpty, adapter, record);
            if (rc != DISK_OK) return rc;
        } else {
            rc = LoadBitmap(image, static_cast<uint32_t>(block), entry);
            if (rc != DISK_OK) return rc;
            if (map != nullptr) {
                rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), image->usedBits);
                if (rc != DISK_OK) return rc;
            }
            // Runs of used sectors that are stored here (read and tested) or left to the parent.
            uint32_t i = 0;
            while (i < n && pieceEmpty) {
                if (map != nullptr && !UsedBit(image->usedBits, i)) {
                    i++;
                    continue;
                }
                const bool bit = BitmapBit(image->bitmap, in + i);
                uint32_t j = i + 1;
                while (j < n && (map == nullptr || UsedBit(image->usedBits, j)) &&
                       BitmapBit(image->bitmap, in + j) == bit)
                    j++;
                if (bit) {
                    rc = StoredSectorsEmpty(image, entry, in + i, j - i, &pieceEmpty);
                } else {
                    rc = ParentEmpty(image, map, first + i, j - i, &pieceEmpty, adapter, record);
                }
                if (rc != DISK_OK) return rc;
                i = j;
            }
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

int Vhd_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* unallocated)
{
    VhdImage* image = static_cast<VhdImage*>(object);
    if (image == nullptr || image->stream == nullptr || unallocated == nullptr) return DISK_ERR_ARG;
    const uint64_t total = image->geometry.sectors32;
    if (count > total || first > total - count) return DISK_ERR_ARG;
    const uint32_t blockSectors = image->blockSectors;
    while (count != 0) {
        const uint64_t block = first / blockSectors;
        const uint32_t in = static_cast<uint32_t>(first % blockSectors);
        const uint32_t n = count < blockSectors - in ? count : blockSectors - in;
        const uint32_t entry = BatEntry(image, block);
        if (entry != VHD_UNALLOCATED) {
            int rc = LoadBitmap(image, static_cast<uint32_t>(block), entry);
            if (rc != DISK_OK) return rc;
            if (map != nullptr) {
                rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), image->usedBits);
                if (rc != DISK_OK) return rc;
            }
            for (uint32_t i = 0; i < n; i++) {
                if ((map == nullptr || UsedBit(image->usedBits, i)) &&
                    BitmapBit(image->bitmap, in + i)) {
                    *unallocated = false;
                    return DISK_OK;
                }
            }
        }
        first += n;
        count -= n;
    }
    *unallocated = true;
    return DISK_OK;
}

bool Vhd_CanCompact(void* object)
{
    const VhdImage* image = static_cast<const VhdImage*>(object);
    return image != nullptr && !image->parentMissing;
}

bool Vhd_HasParent(void* object)
{
    const VhdImage* image = static_cast<const VhdImage*>(object);
    return image != nullptr && (image->parentMissing || image->parent != nullptr);
}

void Vhd_GetLayoutOptions(const VhdImage* image, VhdCreateOptions* out)
{
    out->creatorApplication = image->footer.creatorApplication;
    out->creatorVersion = image->footer.creatorVersion;
    out->batAlignment = image->batAlignment;
    out->blockSectors = image->blockSectors;
    out->zeroSectorsAfterBat = image->zeroSectorsAfterBat;
    out->zeroSectorsAfterBlock = image->zeroSectorsAfterBlock;
}

bool Vhd_ReadParentLocator(const VhdImage* image, uint32_t platformCode, uint8_t* buffer,
                           uint32_t capacity, uint32_t* length, bool* found)
{
    *found = false;
    *length = 0;
    for (uint32_t i = 0; i < VHD_LOCATOR_COUNT; ++i) {
        const VhdParentLocator& l = image->header.locators[i];
        if (l.platformCode != platformCode) continue;
        if (l.platformDataLength > VHD_MAX_LOCATOR_READ || l.platformDataLength > capacity)
            return false;
        if (l.platformDataLength &&
            !Stream_ReadAt(image->stream, l.platformDataOffset, l.platformDataLength, buffer))
            return false;
        *length = l.platformDataLength;
        *found = true;
        return true;
    }
    return true;
}

TextView Vhd_GetParentName(const VhdImage* image)
{
    return TextView{image->header.parentName, VHD_PARENT_NAME_BYTES};
}
