// qcow version 1 reading.
#include "formats/qcow/qcow.h"

#include <cstring>

#include "disk/disk_open.h"
#include "volume/used_map.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/text.h"
#include "foundation/zlib_stream.h"

namespace {

thread_local uint32_t g_chainDepth = 0;

}  // namespace

QcowImage* Qcow_Alloc() { return static_cast<QcowImage*>(Mem_Alloc(sizeof(QcowImage))); }

void Qcow_Init(QcowImage* image)
{
    memset(image, 0, sizeof *image);
    image->cachedL1Index = UINT64_MAX;
}

void Qcow_Close(void* object)
{
    QcowImage* image = static_cast<QcowImage*>(object);
    if (image->stream != nullptr) Stream_Close(image->stream);
    if (image->backing != nullptr) {
        Disk_Close(image->backing);
        Mem_Free(image->backing);
    }
    Mem_Free(image->l1);
    Mem_Free(image->l2Cache);
    Mem_Free(image->clusterCache);
    Mem_Free(image->rawCluster);
    Mem_Free(image->zstream);
    Qcow_FreeCipher(image->cipher);
    Qcow_Init(image);
}

// Opens the backing file: as qcow first; as a raw image of this geometry only when it is no
// qcow image at all (an encrypted or damaged qcow backing file fails the open).
static int OpenBacking(QcowImage* image, const FileOpener* opener, const char* path)
{
    const QcowHeader& h = image->header;
    uint32_t n =
        h.backingNameLength < QCOW_MAX_BACKING_NAME ? h.backingNameLength : QCOW_MAX_BACKING_NAME;
    uint8_t name[QCOW_MAX_BACKING_NAME + 1];
    if (n != 0 && !Stream_ReadAt(image->stream, h.backingNameOffset, n, name)) return DISK_ERR_READ;
    uint32_t used = 0;
    while (used < n && name[used] != 0) ++used;
    for (uint32_t i = 0; i < used;) {
        uint32_t l = Text_ValidCharLength(name + i, used - i, TEXT_ENC_UTF8);
        if (l == 0) return Refusal_Record("qcow backing file name: not valid UTF-8");
        i += l;
    }
    TextView nameView = {name, used};
    if (used == 0 || !Path_IsValid(nameView, TEXT_ENC_UTF8))
        return Refusal_Record("qcow backing file name: empty or not a valid path");
    static const uint32_t kWork = 16384, kResult = 4096;
    uint8_t* storage = static_cast<uint8_t*>(Mem_Alloc(kWork + kResult + 1));
    if (storage == nullptr) return DISK_ERR_NOMEM;
    TextBuffer work, result;
    TextBuffer_Init(&work, storage, 0, kWork);
    TextBuffer_Init(&result, storage + kWork, 0, kResult + 1);
    TextView reference;
    Text_FromCStringUtf8(&reference, path);
    int r = DISK_OK;
    if (!Path_MakeAbsolute(nameView, reference, &work, &result, TEXT_ENC_UTF8) ||
        result.length >= kResult || !TextBuffer_TerminateUtf8(&result))
        r = Refusal_Record("qcow backing file name: path too long");
    if (r == DISK_OK && g_chainDepth >= QCOW_MAX_CHAIN_DEPTH)
        r = Refusal_Record("qcow backing file: too many backing files in a chain");
    const char* backingPath = reinterpret_cast<const char*>(storage + kWork);
    if (r == DISK_OK && strcmp(backingPath, path) == 0)
        r = Refusal_Record("qcow backing file: names the image itself");
    DiskHandle* backing = nullptr;
    if (r == DISK_OK) {
        backing = Disk_Alloc();
        if (backing == nullptr) r = DISK_ERR_NOMEM;
    }
    if (r == DISK_OK) {
        Disk_Init(backing);
        ++g_chainDepth;
        r = Disk_OpenQcowWithHandler(backing, opener, backingPath, true, 0, nullptr);
        --g_chainDepth;
        if (r == DISK_ERR_FORMAT) {
            Disk_Init(backing);
            r = Disk_OpenRawWithHandler(backing, opener, backingPath, true, 0, &image->geometry);
        }
        if (r == DISK_OK) {
            DiskGeometry g = {};
            Disk_GetGeometry(backing, &g);
            if (g.bytes_per_sector != image->geometry.bytes_per_sector ||
                Geometry_GetTotalSectors(&g) != Geometry_GetTotalSectors(&image->geometry))
                r = Refusal_Record("qcow backing file: size differs from the image");
        }
        if (r == DISK_OK) {
            image->backing = backing;
        } else {
            Disk_Close(backing);
            Mem_Free(backing);
        }
    }
    Mem_Free(storage);
    return r;
}

static int OpenBody(QcowImage* image, const FileOpener* opener, const char* path,
                    const uint8_t* key, uint32_t keyLength)
{
    uint8_t raw[QCOW_HEADER_BYTES];
    if (!Stream_ReadAt(image->stream, 0, sizeof raw, raw)) return DISK_ERR_READ;
    QcowHeader& h = image->header;
    h.magic = Bytes_LoadBe32(raw);
    h.version = Bytes_LoadBe32(raw + 4);
    h.backingNameOffset = Bytes_LoadBe64(raw + 8);
    h.backingNameLength = Bytes_LoadBe32(raw + 16);
    h.mtime = Bytes_LoadBe32(raw + 20);
    h.virtualSize = Bytes_LoadBe64(raw + 24);
    h.clusterBits = raw[32];
    h.l2Bits = raw[33];
    h.cryptMethod = Bytes_LoadBe32(raw + 36);
    h.l1Offset = Bytes_LoadBe64(raw + 40);
    if (h.magic != QCOW_MAGIC) return Refusal_Record("qcow header: no signature");
    if (h.version != 1) return Refusal_Record("qcow header: version is not 1");
    if (h.virtualSize <= 1) return Refusal_Record("qcow header: disk size too small");
    if (h.clusterBits < QCOW_MIN_CLUSTER_BITS || h.clusterBits > QCOW_MAX_CLUSTER_BITS)
        return Refusal_Record("qcow header: cluster bits out of range");
    if (h.l2Bits < QCOW_MIN_L2_BITS || h.l2Bits > QCOW_MAX_L2_BITS)
        return Refusal_Record("qcow header: L2 table bits out of range");
    if (h.cryptMethod > 1) return Refusal_Record("qcow header: unknown encryption method");
    if (h.cryptMethod == 1) {
        if (key == nullptr) return DISK_ERR_PASSWORD;
        if (keyLength != 16) return DISK_ERR_KEY_LENGTH;
    }
    image->clusterSize = 1u << h.clusterBits;
    image->l2Entries = 1u << h.l2Bits;
    image->l2Coverage = uint64_t(1) << (h.clusterBits + h.l2Bits);
    image->l1Entries = h.virtualSize / image->l2Coverage + (h.virtualSize % image->l2Coverage != 0);
    if (image->l1Entries * 8 > QCOW_MAX_L1_BYTES)
        return Refusal_Record("qcow header: L1 table too large");
    image->l1Offset = h.l1Offset;
    const uint32_t l1Bytes = static_cast<uint32_t>(image->l1Entries * 8);
    image->l1 = static_cast<uint8_t*>(Mem_Alloc(l1Bytes));
    image->l2Cache = static_cast<uint8_t*>(Mem_Alloc(image->l2Entries * 8));
    image->clusterCache = static_cast<uint8_t*>(Mem_Alloc(image->clusterSize + 16));
    image->rawCluster = static_cast<uint8_t*>(Mem_Alloc(image->clusterSize + 16));
    image->zstream = Zlib_AllocStream();
    if (image->l1 == nullptr || image->l2Cache == nullptr || image->clusterCache == nullptr ||
        image->rawCluster == nullptr || image->zstream == nullptr)
        return DISK_ERR_NOMEM;
    if (!Stream_GetSize(image->stream, &image->fileSize)) return DISK_ERR_SIZE;
    if (!Stream_ReadAt(image->stream, h.l1Offset, l1Bytes, image->l1)) return DISK_ERR_READ;
    image->compressedMask = (uint64_t(1) << (63 - h.clusterBits)) - 1;
    if (h.cryptMethod == 1) {
        image->cipher = Qcow_AllocCipher();
        if (image->cipher == nullptr || !Qcow_SetKey(image->cipher, key)) return DISK_ERR_NOMEM;
    }
    image->geometry.heads = 16;
    image->geometry.sectors_per_track = 63;
    image->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&image->geometry, h.virtualSize / 512);
    if (h.backingNameOffset == 0) return DISK_OK;
    return OpenBacking(image, opener, path);
}

int Qcow_OpenWithCallback(QcowImage* image, FileOpenFn open, void* user, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength)
{
    Qcow_Init(image);
    if (open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* stream = nullptr;
    int r = open(path, readOnly, &stream, user);
    if (r == 1) return DISK_CANCELLED;
    if (r != 0 || stream == nullptr) return DISK_ERR_OPEN;
    image->stream = stream;
    FileOpener opener = {open, user};
    r = OpenBody(image, &opener, path, key, keyLength);
    if (r != DISK_OK) Qcow_Close(image);
    return r;
}

int Qcow_OpenWithHandlerKey(QcowImage* image, const FileOpener* opener, const char* path,
                            bool readOnly, const uint8_t* key, uint32_t keyLength)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return Qcow_OpenWithCallback(image, opener->open, opener->user, path, readOnly, key, keyLength);
}

int Qcow_OpenWithKey(QcowImage* image, const char* path, bool readOnly, const uint8_t* key,
                     uint32_t keyLength)
{
    return Qcow_OpenWithHandlerKey(image, nullptr, path, readOnly, key, keyLength);
}

int Qcow_Open(QcowImage* image, const char* path, bool readOnly)
{
    return Qcow_OpenWithHandlerKey(image, nullptr, path, readOnly, nullptr, 0);
}

int Qcow_OpenWithHandler(QcowImage* image, const FileOpener* opener, const char* path,
                         bool readOnly)
{
    return Qcow_OpenWithHandlerKey(image, opener, path, readOnly, nullptr, 0);
}

static int OpenIntoHandle(DiskHandle* handle, const FileOpener* opener, const char* path,
                          bool readOnly, const uint8_t* key, uint32_t keyLength)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    QcowImage* image = Qcow_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    int r = Qcow_OpenWithHandlerKey(image, opener, path, readOnly, key, keyLength);
    if (r != DISK_OK) {
        Mem_Free(image);
        if (r == DISK_ERR_PASSWORD) handle->kind = DISK_KIND_QCOW;
        return r;
    }
    handle->kind = DISK_KIND_QCOW;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenQcow(DiskHandle* handle, const char* path, bool readOnly)
{
    return OpenIntoHandle(handle, nullptr, path, readOnly, nullptr, 0);
}

int Disk_OpenQcowWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                             bool readOnly, int, void*)
{
    return OpenIntoHandle(handle, opener, path, readOnly, nullptr, 0);
}

int Disk_OpenQcowWithKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                         uint32_t keyLength)
{
    return OpenIntoHandle(handle, nullptr, path, readOnly, key, keyLength);
}

void Qcow_GetGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<QcowImage*>(object)->geometry;
}

// The L2 entry of the cluster at the virtual position (0 = unallocated).
static int GetEntry(QcowImage* image, uint64_t position, uint64_t* entry)
{
    *entry = 0;
    const uint64_t l1Index = position / image->l2Coverage;
    if (l1Index >= image->l1Entries) return DISK_OK;
    const uint64_t l2Offset = Bytes_LoadBe64(image->l1 + l1Index * 8);
    if (l2Offset == 0) return DISK_OK;
    if (image->cachedL1Index != l1Index) {
        image->cachedL1Index = UINT64_MAX;
        if (!Stream_ReadAt(image->stream, l2Offset, image->l2Entries * 8, image->l2Cache))
            return DISK_ERR_READ;
        image->cachedL1Index = l1Index;
    }
    const uint64_t l2Index = (position % image->l2Coverage) / image->clusterSize;
    *entry = Bytes_LoadBe64(image->l2Cache + l2Index * 8);
    return DISK_OK;
}

// Brings a compressed cluster or a cluster of an encrypted image into the cluster cache.
static int LoadCluster(QcowImage* image, uint64_t entry, uint64_t clusterPosition)
{
    if (image->cacheValid && image->cacheEntry == entry && image->cachePosition == clusterPosition)
        return DISK_OK;
    image->cacheValid = false;
    const uint32_t cluster = image->clusterSize;
    if (entry & (1ull << 63)) {
        const uint64_t offset = entry & image->compressedMask;
        const uint32_t length =
            static_cast<uint32_t>((entry >> (63 - image->header.clusterBits)) & (cluster - 1));
        if (length == 0 || !Stream_ReadAt(image->stream, offset, length, image->rawCluster))
            return DISK_ERR_READ;
        if (!Zlib_InflateRawBuffer(image->zstream, image->rawCluster, length, image->clusterCache,
                                   cluster))
            return DISK_ERR_READ;
    } else {
        if (!Stream_ReadAt(image->stream, entry, cluster, image->rawCluster)) return DISK_ERR_READ;
        if (!Qcow_DecryptSectors(image->cipher, clusterPosition / 512, image->rawCluster,
                                 image->clusterCache, cluster))
            return DISK_ERR_READ;
    }
    image->cacheValid = true;
    image->cacheEntry = entry;
    image->cachePosition = clusterPosition;
    return DISK_OK;
}

int Qcow_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    QcowImage* image = static_cast<QcowImage*>(object);
    if (!Geometry_IsByteRangeInside(offset, length, &image->geometry)) return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t cluster = image->clusterSize;
    while (length > 0) {
        const uint32_t within = static_cast<uint32_t>(offset % cluster);
        const uint32_t n = cluster - within < length ? cluster - within : length;
        uint64_t entry;
        int r = GetEntry(image, offset, &entry);
        if (r != DISK_OK) return r;
        if (entry == 0) {
            if (image->backing != nullptr)
                r = Disk_Read(image->backing, offset, n, out);
            else
                memset(out, 0, n);
        } else if ((entry & (1ull << 63)) || image->cipher != nullptr) {
            r = LoadCluster(image, entry, offset - within);
            if (r == DISK_OK) memcpy(out, image->clusterCache + within, n);
        } else if (!Stream_ReadAt(image->stream, entry + within, n, out)) {
            r = DISK_ERR_READ;
        }
        if (r != DISK_OK) return r;
        out += n;
        offset += n;
        length -= n;
    }
    return DISK_OK;
}

int Qcow_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    QcowImage* image = static_cast<QcowImage*>(object);
    if (!Geometry_IsSectorRangeInside(first, count, &image->geometry)) return DISK_ERR_ARG;
    const uint32_t clusterSectors = image->clusterSize / 512;
    uint64_t sector = first;
    const uint64_t end = first + count;
    while (sector < end) {
        const uint32_t within = static_cast<uint32_t>(sector % clusterSectors);
        const uint64_t left = end - sector;
        const uint32_t n =
            clusterSectors - within < left ? clusterSectors - within : static_cast<uint32_t>(left);
        uint64_t entry;
        int r = GetEntry(image, sector * 512, &entry);
        if (r != DISK_OK) return r;
        bool hasData = false;
        if (entry == 0) {
            if (image->backing != nullptr) {
                bool e = true;
                r = Disk_IsRangeEmpty(image->backing, map, sector, n, &e, adapter, record);
                if (r != DISK_OK) return r;
                hasData = !e;
            }
        } else {
            uint8_t bits[16];  // at most 128 sectors per cluster
            memset(bits, 0xFF, sizeof bits);
            if (map != nullptr) {
                memset(bits, 0, sizeof bits);
                r = UsedMap_GetUsedBits(map, sector, static_cast<int32_t>(n), bits);
                if (r != DISK_OK) return r;
            }
            const uint8_t* data = nullptr;
            if ((entry & (1ull << 63)) || image->cipher != nullptr) {
                r = LoadCluster(image, entry, (sector - within) * 512);
                if (r != DISK_OK) return r;
                data = image->clusterCache + uint64_t(within) * 512;
            }
            for (uint32_t i = 0; i < n && !hasData; ++i) {
                if (((bits[i / 8] >> (i % 8)) & 1) == 0) continue;
                uint8_t sectorBytes[512];
                const uint8_t* p = data != nullptr ? data + uint64_t(i) * 512 : sectorBytes;
                if (data == nullptr &&
                    !Stream_ReadAt(image->stream, entry + (uint64_t(within) + i) * 512, 512,
                                   sectorBytes))
                    return DISK_ERR_READ;
                hasData = !Mem_IsZero(p, 512);
            }
        }
        if (hasData) {
            *empty = false;
            return DISK_OK;
        }
        sector += n;
    }
    *empty = true;
    return DISK_OK;
}

// ---- Geometry of new images -----------------------------------------------------------------

int Qcow_CheckGeometry(DiskGeometry geometry)
{
    if (geometry.bytes_per_sector != 512) return -1;
    if (!Geometry_FitsIn32Bits(&geometry) || Geometry_GetTotalSectors(&geometry) == 0) return -1;
    return 0;
}

int Qcow_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out)
{
    memset(out, 0, sizeof *out);
    Geometry_SetTotalSectors(out, byteSize / 512 + (byteSize % 512 != 0));
    out->heads = 16;
    out->sectors_per_track = 63;
    out->bytes_per_sector = 512;
    return 1;
}
