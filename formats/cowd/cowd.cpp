// COWD sparse disks: open, read, the empty-range query and the two writers.
#include "formats/cowd/cowd.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "disk/disk_open.h"
#include "disk/writer_kit.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/random_id.h"
#include "foundation/refusal.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

enum : uint32_t {
    kFlagsOne = 0x13,
    kFlagsSeveral = 0x1B,
    kChildOne = 0x12,
    kChildSeveral = 0x1A,
    kIdeCylinderCap = 16383,
    kIdeCapSectors = 16514064,
    // Our grain tables that make up one of qemu-img's (4096 entries).
    kPeerTables = 8
};

// The files of the chain being opened (children above the one opening its parent), so that a
// parent that leads back into the chain is refused at once instead of opened again and again.
thread_local uint32_t tParentDepth = 0;
thread_local const char* tChain[COWD_MAX_PARENT_DEPTH + 1];

// The parent whose open failed at each depth of the chain being opened. Probing tries a file's
// child kinds more than once, and each try would open the rest of the chain again: twice the
// work per level. A repeated parent open at the same depth answers the remembered failure,
// which keeps the work linear in the chain's length. Cleared when an outermost open starts.
struct FailedParent {
    std::string path;
    int result;
};
thread_local FailedParent tFailed[COWD_MAX_PARENT_DEPTH];

inline uint32_t W(const uint8_t* h, uint32_t at) { return Bytes_LoadLe32(h + at); }

inline bool UsedBit(const uint8_t* bits, uint32_t i) { return Bits_Test(bits, i); }

// "dir/stem-NN.ext" for extent i (from 1) of "dir/stem.ext".
bool ExtentName(const char* path, uint32_t i, char* out)
{
    char dir[COWD_PATH_CAPACITY], stem[COWD_PATH_CAPACITY], ext[COWD_PATH_CAPACITY];
    if (std::strlen(path) >= COWD_PATH_CAPACITY) return false;
    Path_SplitCStr(path, dir, stem, ext);
    const char* e = ext[0] == '.' ? ext + 1 : ext;
    const int n = std::snprintf(out, COWD_PATH_CAPACITY, "%s%s-%02u.%s", dir, stem, i + 1, e);
    return n > 0 && n < static_cast<int>(COWD_PATH_CAPACITY);
}

void CloseExtent(CowdExtent* e)
{
    if (e->stream != nullptr) Stream_Close(e->stream);
    Mem_Free(e->directory);
    e->stream = nullptr;
    e->directory = nullptr;
}

struct OpenRules {
    uint32_t version;
    bool child;
};

// The base version-3 geometry rules by adapter.
int CheckHeaderGeometry(const uint8_t* h)
{
    static const char* const kIde = "COWD header: disk geometry breaks the IDE rules";
    static const char* const kScsi = "COWD header: disk geometry breaks the SCSI rules";
    const uint32_t total = W(h, 1668), count = W(h, 1652), numSectors = W(h, 12);
    const uint64_t rootC = W(h, 32), rootH = W(h, 36), rootS = W(h, 40);
    const uint64_t dC = W(h, 1656), dH = W(h, 1660), dS = W(h, 1664);
    if (std::memcmp(h + 1640, "ide", 4) == 0) {
        bool ok;
        if (total > COWD_EXTENT_SECTORS) {
            ok = count == Math_DivCeilU64(total, COWD_EXTENT_SECTORS) &&
                 total <= COWD_MAX_IDE_SECTORS &&
                 (total <= kIdeCapSectors || dC == kIdeCylinderCap);
        } else {
            ok = count == 1 && rootC * rootH * rootS == numSectors && dC * dH * dS == total &&
                 rootC >= dC && numSectors >= total;
        }
        return ok ? DISK_OK : Refusal_Record(kIde);
    }
    if (std::memcmp(h + 1640, "scsi", 4) == 0) {
        bool ok;
        if (total <= COWD_EXTENT_SECTORS &&
            (rootC != dC || rootH != dH || rootS != dS || numSectors != total))
            ok = false;
        else if (dC * dH * dS != total)
            ok = false;
        else if (total <= 0x1FF800)
            ok = dH == 64 && dS == 32;
        else if (total <= 0x3FF000)
            ok = dH == 128 && dS == 32;
        else
            ok = total <= COWD_MAX_SCSI_SECTORS && dH == 255 && dS == 63;
        return ok ? DISK_OK : Refusal_Record(kScsi);
    }
    return Refusal_Record("COWD header: adapter is neither IDE nor SCSI");
}

int ReadTable(CowdExtent* e, uint32_t index)
{
    if (e->cachedTable == index) return DISK_OK;
    e->cachedTable = 0xFFFFFFFFu;
    if (!Stream_ReadAt(e->stream, static_cast<uint64_t>(e->directory[index]) * 512,
                       sizeof(e->table), e->table))
        return DISK_ERR_READ;
    Bytes_LeToHostArray32(e->table, COWD_TABLE_ENTRIES);
    e->cachedTable = index;
    return DISK_OK;
}

// Opens one extent file and checks its header; index and count of the disk's extents.
int OpenExtent(CowdExtent* e, const FileOpener* opener, const char* path, bool readOnly,
               const OpenRules& rules, uint32_t index, uint32_t expectedFlags)
{
    int r = FileOpener_Open(opener, path, readOnly, &e->stream);
    if (r != DISK_OK) {
        e->stream = nullptr;
        return r;
    }
    const uint8_t* h = e->header;
    if (!Stream_ReadAt(e->stream, 0, COWD_HEADER_BYTES, e->header)) return DISK_ERR_READ;
    if (W(h, 0) != COWD_MAGIC) return Refusal_Record("COWD header: no signature");
    if (W(h, 4) != rules.version)
        return Refusal_Record("COWD header: version is not the one of this kind");
    if (W(h, 20) != 4) return Refusal_Record("COWD header: grain directory is not at sector 4");
    // Grains are 128 sectors in every kind: the tables' spans derive from them.
    if (W(h, 16) != COWD_GRAIN_SECTORS)
        return Refusal_Record("COWD header: grain size is not 128 sectors");
    if (!rules.child && W(h, 1056) != 0)
        return Refusal_Record("COWD header: reserved word of a base disk is not zero");
    if (!rules.child && W(h, 1636) != W(h, 1060))
        return Refusal_Record("COWD header: generation and saved generation differ");
    if ((rules.version == 3 || rules.child) && W(h, 1676) != COWD_EXTENT_SECTORS)
        return Refusal_Record("COWD header: extent size is not 0x3FF800 sectors");
    if (expectedFlags != 0 && W(h, 8) != expectedFlags)
        return Refusal_Record("COWD header: flags do not match the disk kind");
    if (rules.version == 3) {
        if (!rules.child) {
            const int g = CheckHeaderGeometry(h);
            if (g != DISK_OK) return g;
        }
        if (W(h, 1648) != index)
            return Refusal_Record("COWD header: extent index does not match the file's place");
        const uint32_t count = W(h, 1652);
        if (count == 0 || count > COWD_MAX_EXTENTS || index >= count)
            return Refusal_Record("COWD header: extent count out of range");
        const uint32_t word = W(h, 1668);
        const uint64_t total = word > COWD_EXTENT_SECTORS ? word : W(h, 12);
        const uint64_t before = static_cast<uint64_t>(count - 1) * COWD_EXTENT_SECTORS;
        if (index + 1 < count) {
            e->extentSectors = COWD_EXTENT_SECTORS;
        } else {
            if (total <= before || total - before > COWD_EXTENT_SECTORS)
                return Refusal_Record("COWD header: disk size does not match the extent count");
            e->extentSectors = static_cast<uint32_t>(total - before);
        }
    } else {
        e->extentSectors = W(h, 12);
    }
    if (e->extentSectors == 0) return Refusal_Record("COWD header: extent holds no sectors");
    uint64_t size = 0;
    if (!Stream_GetSize(e->stream, &size)) return DISK_ERR_SIZE;
    e->directoryEntries =
        static_cast<uint32_t>(Math_DivCeilU64(e->extentSectors, COWD_TABLE_SECTORS));
    e->directory = static_cast<uint32_t*>(Mem_Alloc(e->directoryEntries * 4));
    if (e->directory == nullptr) return DISK_ERR_NOMEM;
    if (!Stream_ReadAt(e->stream, 4 * 512, e->directoryEntries * 4, e->directory))
        return DISK_ERR_READ;
    Bytes_LeToHostArray32(e->directory, e->directoryEntries);
    e->cachedTable = 0xFFFFFFFFu;
    if (e->directory[0] != 0) return ReadTable(e, 0);
    return DISK_OK;
}

int OpenParent(CowdImage* image, const char* childPath)
{
    const uint8_t* h = image->extents[0].header;
    char name[261];
    std::memcpy(name, h + 32, 260);
    name[260] = 0;
    char parentPath[COWD_PATH_CAPACITY];
    if (name[0] == 0 ||
        !Path_MakeAbsoluteCStr(childPath, name, parentPath, sizeof(parentPath), TEXT_ENC_UTF8))
        return Refusal_Record("COWD header: parent file name is not a usable path");
    if (tParentDepth >= COWD_MAX_PARENT_DEPTH)
        return Refusal_Record("COWD parent chain: too many parents");
    if (tParentDepth == 0) {
        for (FailedParent& f : tFailed) f.path.clear();
    }
    FailedParent& failed = tFailed[tParentDepth];
    if (!failed.path.empty() && failed.path == parentPath) return failed.result;
    tChain[tParentDepth] = childPath;
    if (Output_IsFileOf(parentPath, tChain, tParentDepth + 1))
        return Refusal_Record("COWD parent chain: a parent leads back into the chain");
    DiskHandle* parent = Disk_Alloc();
    if (parent == nullptr) return DISK_ERR_NOMEM;
    Disk_Init(parent);
    tParentDepth++;
    int r = Disk_Open(parent, parentPath, true);
    tParentDepth--;
    if (r != DISK_OK) {
        Mem_Free(parent);
        // A cancelled open is asked again, never answered from memory.
        if (r != DISK_CANCELLED) {
            failed.path = parentPath;
            failed.result = r;
        }
        return r;
    }
    DiskGeometry g = {};
    Disk_GetGeometry(parent, &g);
    if (!Geometry_FitsIn32Bits(&g) ||
        Geometry_GetTotalSectors(&g) != Geometry_GetTotalSectors(&image->geometry)) {
        Disk_Close(parent);
        Mem_Free(parent);
        return Refusal_Record("COWD parent: size differs from the child's");
    }
    const uint64_t total = Geometry_GetTotalSectors(&image->geometry);
    image->geometry = g;
    Geometry_SetTotalSectors(&image->geometry, total);
    image->parent = parent;
    return DISK_OK;
}

int OpenImage(CowdImage* image, const FileOpener* opener, const char* path, bool readOnly,
              uint32_t version, bool child)
{
    if (image == nullptr || path == nullptr) return DISK_ERR_ARG;
    if (opener == nullptr) opener = &FileOpener_Default;
    const OpenRules rules = {version, child};
    image->child = child;
    image->extents = static_cast<CowdExtent*>(Mem_Alloc(sizeof(CowdExtent)));
    if (image->extents == nullptr) return DISK_ERR_NOMEM;
    std::memset(image->extents, 0, sizeof(CowdExtent));
    image->extentCount = 1;
    uint32_t flags = 0;
    if (version == 1 && child) flags = kChildOne;
    int r = OpenExtent(&image->extents[0], opener, path, readOnly, rules, 0, flags);
    uint32_t count = 1;
    if (r == DISK_OK && version == 3) {
        count = W(image->extents[0].header, 1652);
        const uint32_t f = W(image->extents[0].header, 8);
        if (f != (child ? (count == 1 ? kChildOne : kChildSeveral)
                        : (count == 1 ? kFlagsOne : kFlagsSeveral)))
            r = Refusal_Record("COWD header: flags do not match the disk kind");
    }
    if (r == DISK_OK && count > 1) {
        CowdExtent* more = static_cast<CowdExtent*>(Mem_Alloc(sizeof(CowdExtent) * count));
        if (more == nullptr) {
            r = DISK_ERR_NOMEM;
        } else {
            std::memset(more, 0, sizeof(CowdExtent) * count);
            more[0] = image->extents[0];
            Mem_Free(image->extents);
            image->extents = more;
            image->extentCount = count;
        }
    }
    uint64_t first = 0;
    for (uint32_t i = 0; r == DISK_OK && i < image->extentCount; i++) {
        if (i > 0) {
            char name[COWD_PATH_CAPACITY];
            if (!ExtentName(path, i, name)) {
                r = DISK_ERR_ARG;
                break;
            }
            r = OpenExtent(&image->extents[i], opener, name, readOnly, rules, i,
                           child ? kChildSeveral : kFlagsSeveral);
            if (r == DISK_OK && W(image->extents[i].header, 1652) != count)
                r = Refusal_Record("COWD header: extent count differs between extents");
        }
        if (r == DISK_OK) {
            image->extents[i].firstSector = first;
            first += image->extents[i].extentSectors;
        }
    }
    if (r == DISK_OK) {
        if (first > 0xFFFFFFFFull)
            r = Refusal_Record("COWD header: disk size does not fit 32 bits");
        const uint8_t* h = image->extents[0].header;
        Geometry_SetTotalSectors(&image->geometry, first);
        image->geometry.bytes_per_sector = 512;
        image->geometry.heads = child ? 0 : W(h, 36);
        image->geometry.sectors_per_track = child ? 0 : W(h, 40);
    }
    if (r == DISK_OK && child) r = OpenParent(image, path);
    if (r != DISK_OK) Cowd_Close(image);
    return r;
}

template <uint32_t Version, bool Child>
int OpenInHandle(DiskHandle* handle, const FileOpener* opener, const char* path, bool readOnly,
                 DiskKind kind)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    CowdImage* image = Cowd_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Cowd_Init(image);
    int r = OpenImage(image, opener, path, readOnly, Version, Child);
    if (r != DISK_OK) {
        Mem_Free(image);
        return r;
    }
    handle->kind = kind;
    handle->object = image;
    return DISK_OK;
}

}  // namespace

CowdImage* Cowd_Alloc() { return static_cast<CowdImage*>(Mem_Alloc(sizeof(CowdImage))); }

void Cowd_Init(CowdImage* image)
{
    std::memset(&image->geometry, 0, sizeof(image->geometry));
    image->extentCount = 0;
    image->extents = nullptr;
    image->parent = nullptr;
    image->child = false;
}

void Cowd_Close(void* object)
{
    CowdImage* image = static_cast<CowdImage*>(object);
    if (image == nullptr) return;
    for (uint32_t i = 0; i < image->extentCount; i++) CloseExtent(&image->extents[i]);
    Mem_Free(image->extents);
    if (image->parent != nullptr) {
        Disk_Close(image->parent);
        Mem_Free(image->parent);
    }
    Cowd_Init(image);
}

int Cowd_OpenV3WithHandler(CowdImage* i, const FileOpener* o, const char* p, bool ro)
{
    return OpenImage(i, o, p, ro, 3, false);
}
int Cowd_OpenV3ChildWithHandler(CowdImage* i, const FileOpener* o, const char* p, bool ro)
{
    return OpenImage(i, o, p, ro, 3, true);
}
int Cowd_OpenV1WithHandler(CowdImage* i, const FileOpener* o, const char* p, bool ro)
{
    return OpenImage(i, o, p, ro, 1, false);
}
int Cowd_OpenV1ChildWithHandler(CowdImage* i, const FileOpener* o, const char* p, bool ro)
{
    return OpenImage(i, o, p, ro, 1, true);
}
int Cowd_OpenV3(CowdImage* i, const char* p, bool ro)
{
    return OpenImage(i, nullptr, p, ro, 3, false);
}
int Cowd_OpenV3Child(CowdImage* i, const char* p, bool ro)
{
    return OpenImage(i, nullptr, p, ro, 3, true);
}
int Cowd_OpenV1(CowdImage* i, const char* p, bool ro)
{
    return OpenImage(i, nullptr, p, ro, 1, false);
}
int Cowd_OpenV1Child(CowdImage* i, const char* p, bool ro)
{
    return OpenImage(i, nullptr, p, ro, 1, true);
}

int Disk_OpenCowdV3WithHandler(DiskHandle* h, const FileOpener* o, const char* p, bool ro)
{
    return OpenInHandle<3, false>(h, o, p, ro, DISK_KIND_COWD3);
}
int Disk_OpenCowdV3ChildWithHandler(DiskHandle* h, const FileOpener* o, const char* p, bool ro)
{
    return OpenInHandle<3, true>(h, o, p, ro, DISK_KIND_COWD3_CHILD);
}
int Disk_OpenCowdV1WithHandler(DiskHandle* h, const FileOpener* o, const char* p, bool ro)
{
    return OpenInHandle<1, false>(h, o, p, ro, DISK_KIND_COWD1);
}
int Disk_OpenCowdV1ChildWithHandler(DiskHandle* h, const FileOpener* o, const char* p, bool ro)
{
    return OpenInHandle<1, true>(h, o, p, ro, DISK_KIND_COWD1_CHILD);
}
int Disk_OpenCowdV3(DiskHandle* h, const char* p, bool ro)
{
    return Disk_OpenCowdV3WithHandler(h, &FileOpener_Default, p, ro);
}
int Disk_OpenCowdV3Child(DiskHandle* h, const char* p, bool ro)
{
    return Disk_OpenCowdV3ChildWithHandler(h, &FileOpener_Default, p, ro);
}
int Disk_OpenCowdV1(DiskHandle* h, const char* p, bool ro)
{
    return Disk_OpenCowdV1WithHandler(h, &FileOpener_Default, p, ro);
}
int Disk_OpenCowdV1Child(DiskHandle* h, const char* p, bool ro)
{
    return Disk_OpenCowdV1ChildWithHandler(h, &FileOpener_Default, p, ro);
}

void Cowd_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<const CowdImage*>(object)->geometry;
}

// The extent holding a sector (the extents are few).
static CowdExtent* ExtentOf(CowdImage* image, uint64_t sector)
{
    for (uint32_t i = 0; i < image->extentCount; i++) {
        CowdExtent* e = &image->extents[i];
        if (sector - e->firstSector < e->extentSectors) return e;
    }
    return nullptr;
}

int Cowd_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    CowdImage* image = static_cast<CowdImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t grainBytes = COWD_GRAIN_SECTORS * 512;
    while (length != 0) {
        CowdExtent* e = ExtentOf(image, offset / 512);
        if (e == nullptr) return DISK_ERR_ARG;
        const uint64_t inExtent = offset - e->firstSector * 512;
        const uint32_t grain = static_cast<uint32_t>(inExtent / grainBytes);
        const uint32_t in = static_cast<uint32_t>(inExtent % grainBytes);
        uint32_t n = grainBytes - in < length ? grainBytes - in : length;
        const uint64_t extentLeft = static_cast<uint64_t>(e->extentSectors) * 512 - inExtent;
        if (n > extentLeft) n = static_cast<uint32_t>(extentLeft);
        const uint32_t table = grain / COWD_TABLE_ENTRIES;
        uint32_t sector = 0;
        int rc = DISK_OK;
        if (e->directory[table] != 0) {
            rc = ReadTable(e, table);
            if (rc == DISK_OK) sector = e->table[grain % COWD_TABLE_ENTRIES];
        }
        if (rc == DISK_OK) {
            if (sector != 0) {
                if (!Stream_ReadAt(e->stream, static_cast<uint64_t>(sector) * 512 + in, n, out))
                    rc = DISK_ERR_READ;
            } else if (image->parent != nullptr) {
                rc = Disk_Read(image->parent, offset, n, out);
            } else {
                std::memset(out, 0, n);
            }
        }
        if (rc != DISK_OK) return rc;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int Cowd_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    CowdImage* image = static_cast<CowdImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    uint8_t data[COWD_GRAIN_SECTORS * 512];
    uint8_t used[COWD_GRAIN_SECTORS / 8];
    while (count != 0) {
        CowdExtent* e = ExtentOf(image, first);
        if (e == nullptr) return DISK_ERR_ARG;
        const uint64_t inExtent = first - e->firstSector;
        const uint32_t grain = static_cast<uint32_t>(inExtent / COWD_GRAIN_SECTORS);
        const uint32_t in = static_cast<uint32_t>(inExtent % COWD_GRAIN_SECTORS);
        uint32_t n = COWD_GRAIN_SECTORS - in < count ? COWD_GRAIN_SECTORS - in : count;
        if (n > e->extentSectors - inExtent) n = static_cast<uint32_t>(e->extentSectors - inExtent);
        const uint32_t table = grain / COWD_TABLE_ENTRIES;
        uint32_t sector = 0;
        int rc = DISK_OK;
        if (e->directory[table] != 0 && (rc = ReadTable(e, table)) == DISK_OK)
            sector = e->table[grain % COWD_TABLE_ENTRIES];
        bool pieceEmpty = true;
        if (rc == DISK_OK && sector == 0 && image->parent != nullptr) {
            // The parent's own data counts whatever the map says of it.
            rc = Disk_IsRangeEmpty(image->parent, nullptr, first, n, &pieceEmpty, adapter, record);
        } else if (rc == DISK_OK && sector != 0) {
            if (map != nullptr) rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), used);
            if (rc == DISK_OK &&
                !Stream_ReadAt(e->stream, static_cast<uint64_t>(sector) * 512 + in * 512ull,
                               n * 512, data))
                rc = DISK_ERR_READ;
            for (uint32_t i = 0; rc == DISK_OK && pieceEmpty && i < n; i++) {
                if ((map == nullptr || UsedBit(used, i)) && !Mem_IsZero(data + i * 512, 512))
                    pieceEmpty = false;
            }
        }
        if (rc != DISK_OK) return rc;
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

int Cowd_ReadV3(void* o, uint64_t a, uint32_t b, void* c) { return Cowd_Read(o, a, b, c); }
int Cowd_ReadV3Child(void* o, uint64_t a, uint32_t b, void* c) { return Cowd_Read(o, a, b, c); }
int Cowd_ReadV1(void* o, uint64_t a, uint32_t b, void* c) { return Cowd_Read(o, a, b, c); }
int Cowd_ReadV1Child(void* o, uint64_t a, uint32_t b, void* c) { return Cowd_Read(o, a, b, c); }
int Cowd_IsRangeEmptyV3(void* o, UsedSectorMap* m, uint64_t f, uint32_t c, bool* e,
                        RangeProgressAdapter a, RangeProgressRecord* r)
{
    return Cowd_IsRangeEmpty(o, m, f, c, e, a, r);
}
int Cowd_IsRangeEmptyV3Child(void* o, UsedSectorMap* m, uint64_t f, uint32_t c, bool* e,
                             RangeProgressAdapter a, RangeProgressRecord* r)
{
    return Cowd_IsRangeEmpty(o, m, f, c, e, a, r);
}
int Cowd_IsRangeEmptyV1(void* o, UsedSectorMap* m, uint64_t f, uint32_t c, bool* e,
                        RangeProgressAdapter a, RangeProgressRecord* r)
{
    return Cowd_IsRangeEmpty(o, m, f, c, e, a, r);
}
int Cowd_IsRangeEmptyV1Child(void* o, UsedSectorMap* m, uint64_t f, uint32_t c, bool* e,
                             RangeProgressAdapter a, RangeProgressRecord* r)
{
    return Cowd_IsRangeEmpty(o, m, f, c, e, a, r);
}

// ---- Geometry checks ------------------------------------------------------------------------

void Cowd_ScsiGeometry(uint32_t total, uint32_t* heads, uint32_t* sectorsPerTrack)
{
    if (total <= 0x1FF800) {
        *heads = 64;
        *sectorsPerTrack = 32;
    } else if (total <= 0x3FF000) {
        *heads = 128;
        *sectorsPerTrack = 32;
    } else {
        *heads = 255;
        *sectorsPerTrack = 63;
    }
}

int Cowd_CheckGeometryV3(const DiskGeometry* g)
{
    if (g == nullptr || g->bytes_per_sector != 512 || !Geometry_FitsIn32Bits(g)) return -1;
    return Geometry_GetTotalSectors(g) <= COWD_MAX_IDE_SECTORS ? 0 : -1;
}

bool Cowd_FitsOneExtent(const DiskGeometry* g)
{
    return Geometry_FitsIn32Bits(g) && Geometry_GetTotalSectors(g) <= COWD_EXTENT_SECTORS;
}

uint32_t Cowd_ClampCapacityV1(const DiskGeometry* g)
{
    const uint64_t c = static_cast<uint64_t>(g->heads) * g->sectors_per_track;
    const uint64_t total = Geometry_GetTotalSectors(g);
    const uint64_t cap = c == 0 ? uint64_t(COWD_EXTENT_SECTORS) : c * (COWD_EXTENT_SECTORS / c);
    return static_cast<uint32_t>(total < cap ? total : cap);
}

int Cowd_CheckGeometryV1(const DiskGeometry* g)
{
    if (g == nullptr || g->bytes_per_sector != 512 || !Geometry_FitsIn32Bits(g)) return -1;
    return Geometry_GetTotalSectors(g) <= Cowd_ClampCapacityV1(g) ? 0 : -1;
}

// ---- Writers --------------------------------------------------------------------------------

namespace {

struct ExtentPlan {
    uint32_t version;
    uint32_t index, count;
    uint32_t sectors;      // of this extent
    uint64_t firstSector;  // in the source
    uint32_t total;
    uint32_t heads, spt;  // disk geometry written
    uint32_t diskCylinders;
    uint32_t rootCylinders, rootHeads, rootSpt, numSectors;
    bool scsi;
    uint32_t id;
};

// The header is the extent's last write (a partial extent has none); with `held` it is not
// written but handed back there, for the caller to write later.
int WriteExtent(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback callback, void* user, const ExtentPlan& p, uint8_t* held = nullptr)
{
    uint8_t h[COWD_HEADER_BYTES] = {};
    const uint32_t tables = static_cast<uint32_t>(
        Math_DivCeilU64(p.count > 1 ? COWD_EXTENT_SECTORS : p.sectors, COWD_TABLE_SECTORS));
    Bytes_StoreLe32(h, COWD_MAGIC);
    Bytes_StoreLe32(h + 4, p.version);
    Bytes_StoreLe32(h + 8, p.count > 1 ? kFlagsSeveral : kFlagsOne);
    Bytes_StoreLe32(h + 12, p.numSectors);
    Bytes_StoreLe32(h + 16, COWD_GRAIN_SECTORS);
    Bytes_StoreLe32(h + 20, 4);
    Bytes_StoreLe32(h + 24, tables);
    Bytes_StoreLe32(h + 32, p.rootCylinders);
    Bytes_StoreLe32(h + 36, p.rootHeads);
    Bytes_StoreLe32(h + 40, p.rootSpt);
    Bytes_StoreLe32(h + 1060, p.id);
    Bytes_StoreLe32(h + 1636, p.id);
    std::memcpy(h + 1640, p.scsi ? "scsi" : "ide", p.scsi ? 4 : 4);
    if (p.version == 3) {
        Bytes_StoreLe32(h + 1648, p.index);
        Bytes_StoreLe32(h + 1652, p.count);
        Bytes_StoreLe32(h + 1656, p.diskCylinders);
        Bytes_StoreLe32(h + 1660, p.heads);
        Bytes_StoreLe32(h + 1664, p.spt);
        Bytes_StoreLe32(h + 1668, p.total);
        Bytes_StoreLe32(h + 1676, COWD_EXTENT_SECTORS);
        Bytes_StoreLe32(h + 1680, 2);
    }
    // qemu-img takes a COWD file for one extent of p.numSectors whose grain tables hold 4096
    // entries, and opens it only when "CID=" and "parentCID=" lines stand at byte 512. A disk of
    // at most eight of our tables, laid one after another from the first, is then read alike by
    // both: qemu's first table is ours 0 to 7 in order. Such a file gets the lines; a larger one
    // gets none, so that qemu refuses it instead of reading other sectors' grains. The lines are
    // written last: a file left unfinished is refused by qemu as well.
    const bool peerLayout = p.count == 1 && p.sectors <= kPeerTables * COWD_TABLE_SECTORS;
    char peerLines[64] = {};
    if (peerLayout) {
        std::snprintf(peerLines, sizeof(peerLines), "CID=%08x\nparentCID=ffffffff\n",
                      static_cast<unsigned>(p.id));
    }
    const uint32_t dirSectors = static_cast<uint32_t>(Math_DivCeilU64(tables, 128));
    uint32_t* directory = static_cast<uint32_t*>(Mem_Alloc(dirSectors * 512));
    uint8_t* grain = static_cast<uint8_t*>(Mem_Alloc(COWD_GRAIN_SECTORS * 512));
    uint32_t table[COWD_TABLE_ENTRIES];
    ByteStream* out = nullptr;
    int rc = DISK_OK;
    if (directory == nullptr || grain == nullptr)
        rc = DISK_ERR_NOMEM;
    else if (!Stream_CreateFile(path, &out))
        rc = DISK_ERR_CREATE;
    if (rc == DISK_OK) {
        std::memset(directory, 0, dirSectors * 512);
        if (!Stream_WriteAt(out, 4 * 512, dirSectors * 512, directory)) rc = DISK_ERR_WRITE;
    }
    uint32_t next = 4 + dirSectors;
    if (peerLayout && rc == DISK_OK) {
        // Every table has its place from the start; an empty range keeps a table of zeros.
        std::memset(table, 0, sizeof(table));
        for (uint32_t t = 0; rc == DISK_OK && t < tables; t++) {
            directory[t] = Bytes_HostToLe32(next);
            if (!Stream_WriteAt(out, static_cast<uint64_t>(next) * 512, sizeof(table), table))
                rc = DISK_ERR_WRITE;
            next += 4;
        }
    }
    for (uint32_t t = 0; rc == DISK_OK && static_cast<uint64_t>(t) * COWD_TABLE_SECTORS < p.sectors;
         t++) {
        const uint64_t first = p.firstSector + static_cast<uint64_t>(t) * COWD_TABLE_SECTORS;
        const uint32_t left = p.sectors - t * COWD_TABLE_SECTORS;
        const uint32_t n = left < COWD_TABLE_SECTORS ? left : COWD_TABLE_SECTORS;
        // Each grain is read once: the read serves the zero test and the copy. Grains of zeros
        // are not stored, and a table without stored grains is not either (the peer layout keeps
        // its table of zeros).
        uint32_t tableSector = Bytes_LeToHost32(directory[t]);
        bool any = false;
        std::memset(table, 0, sizeof(table));
        rc = WriterKit_Walk(source, map, first, n, COWD_GRAIN_SECTORS, grain, COWD_GRAIN_SECTORS,
                            [&](const WriterPiece& piece) -> int {
                                if (!piece.zero) {
                                    if (!any && !peerLayout) {
                                        tableSector = next;
                                        next += 4;
                                        directory[t] = Bytes_HostToLe32(tableSector);
                                    }
                                    any = true;
                                    std::memset(grain + piece.count * 512, 0,
                                                (COWD_GRAIN_SECTORS - piece.count) * 512);
                                    if (!Stream_WriteAt(out, static_cast<uint64_t>(next) * 512,
                                                        COWD_GRAIN_SECTORS * 512, grain))
                                        return DISK_ERR_WRITE;
                                    table[piece.block] = Bytes_HostToLe32(next);
                                    next += COWD_GRAIN_SECTORS;
                                }
                                return WriteKit_Progress(callback, user, piece.first + piece.count,
                                                         p.total)
                                           ? DISK_OK
                                           : DISK_CANCELLED;
                            });
        if (rc == DISK_OK && any &&
            !Stream_WriteAt(out, static_cast<uint64_t>(tableSector) * 512, sizeof(table), table))
            rc = DISK_ERR_WRITE;
    }
    if (rc == DISK_OK) {
        Bytes_StoreLe32(h + 28, next);
        if (!Stream_WriteAt(out, 4 * 512, dirSectors * 512, directory)) rc = DISK_ERR_WRITE;
        // The lines lie inside the header's bytes and go out with it.
        if (peerLayout) std::memcpy(h + 512, peerLines, std::strlen(peerLines));
    }
    if (rc == DISK_OK) {
        if (held != nullptr)
            std::memcpy(held, h, sizeof(h));
        else if (!Stream_WriteAt(out, 0, sizeof(h), h))
            rc = DISK_ERR_WRITE;
    }
    rc = WriteKit_CloseOutput(out, false, rc);
    Mem_Free(directory);
    Mem_Free(grain);
    return rc;
}

}  // namespace

int Cowd_CreateV3(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  ProgressCallback callback, void* user, bool scsi)
{
    if (path == nullptr || source == nullptr) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Cowd_CheckGeometryV3(&g) != 0) return DISK_ERR_ARG;
    const uint32_t total = static_cast<uint32_t>(Geometry_GetTotalSectors(&g));
    if (total == 0) return DISK_ERR_ARG;
    ExtentPlan p = {};
    p.version = 3;
    p.total = total;
    p.scsi = scsi;
    p.count = static_cast<uint32_t>(Math_DivCeilU64(total, COWD_EXTENT_SECTORS));
    if (scsi)
        Cowd_ScsiGeometry(total, &p.heads, &p.spt);
    else {
        p.heads = g.heads;
        p.spt = g.sectors_per_track;
    }
    const uint64_t cylinder = static_cast<uint64_t>(p.heads) * p.spt;
    if (cylinder == 0) return DISK_ERR_ARG;
    // The reader's rules: whole cylinders for one extent and for SCSI; the cylinder cap for IDE.
    if ((p.count == 1 || scsi) && total % cylinder != 0) return DISK_ERR_ARG;
    if (scsi && total > COWD_MAX_SCSI_SECTORS) return DISK_ERR_ARG;
    p.diskCylinders = static_cast<uint32_t>(total / cylinder);
    if (!scsi && total > kIdeCapSectors) p.diskCylinders = kIdeCylinderCap;
    if (p.count == 1) {
        p.numSectors = total;
        p.rootCylinders = p.diskCylinders;
        p.rootHeads = p.heads;
        p.rootSpt = p.spt;
    } else {
        p.numSectors = 0x3FF000;
        p.rootCylinders = scsi ? 1023 : 15888;
        p.rootHeads = scsi ? 128 : 16;
        p.rootSpt = scsi ? 32 : 63;
    }
    if (!WriteKit_Progress(callback, user, 0, total)) return DISK_CANCELLED;
    p.id = Random_NewId32();
    // The first extent's header, which names the others, is written once they are all whole.
    uint8_t firstHeader[COWD_HEADER_BYTES];
    for (uint32_t i = 0; i < p.count; i++) {
        char name[COWD_PATH_CAPACITY];
        if (i == 0) {
            if (std::strlen(path) >= sizeof(name)) return DISK_ERR_ARG;
            std::strcpy(name, path);
        } else if (!ExtentName(path, i, name)) {
            return DISK_ERR_ARG;
        }
        p.index = i;
        p.firstSector = static_cast<uint64_t>(i) * COWD_EXTENT_SECTORS;
        p.sectors = i + 1 < p.count ? COWD_EXTENT_SECTORS : total - i * COWD_EXTENT_SECTORS;
        int rc = WriteExtent(name, source, map, callback, user, p,
                             i == 0 && p.count > 1 ? firstHeader : nullptr);
        if (rc != DISK_OK) return rc;
    }
    if (p.count > 1) {
        ByteStream* out = nullptr;
        if (!Stream_OpenFile(path, false, &out)) return DISK_ERR_OPEN;
        int rc =
            Stream_WriteAt(out, 0, sizeof(firstHeader), firstHeader) ? DISK_OK : DISK_ERR_WRITE;
        if (!Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
        return rc;
    }
    return DISK_OK;
}

int Cowd_CreateV1(const char* path, const DiskHandle* source, UsedSectorMap* map,
                  ProgressCallback callback, void* user, bool scsi)
{
    if (path == nullptr || source == nullptr) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Cowd_CheckGeometryV1(&g) != 0) return DISK_ERR_ARG;
    const uint32_t total = static_cast<uint32_t>(Geometry_GetTotalSectors(&g));
    if (total == 0) return DISK_ERR_ARG;
    ExtentPlan p = {};
    p.version = 1;
    p.count = 1;
    p.total = total;
    p.sectors = total;
    p.scsi = scsi;
    p.numSectors = total;
    p.rootHeads = g.heads;
    p.rootSpt = g.sectors_per_track;
    const uint64_t cylinder = static_cast<uint64_t>(g.heads) * g.sectors_per_track;
    p.rootCylinders = cylinder == 0 ? 0 : static_cast<uint32_t>(total / cylinder);
    if (!WriteKit_Progress(callback, user, 0, total)) return DISK_CANCELLED;
    p.id = Random_NewId32();
    return WriteExtent(path, source, map, callback, user, p);
}
