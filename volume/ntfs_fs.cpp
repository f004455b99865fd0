#include "volume/ntfs_fs.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/range.h"

namespace {

// Bytes of the bitmap read at a time.
const uint32_t kReadPiece = 1u << 20;

const uint8_t kOemId[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};

// Sectors per cluster from boot-sector byte 13: 1..128 as they are (a power of two), values above
// 0x80 as 2^(256 - v) (large clusters); 0 when the value is impossible.
uint32_t DecodeSectorsPerCluster(uint8_t v)
{
    if (v == 0) {
        return 0;
    }
    if (v <= 0x80) {
        return Math_IsPowerOfTwo(v) ? v : 0;
    }
    uint32_t shift = 256u - v;
    return shift <= NTFS_MAX_CLUSTER_SHIFT ? (1u << shift) : 0;
}

// File-record size from boot-sector byte 64: negative codes are 2^(-v) bytes, positive ones
// count clusters. 0 unless 512..65536 and a multiple of 512.
uint32_t DecodeRecordSize(uint8_t raw, uint32_t clusterBytes)
{
    int8_t v = static_cast<int8_t>(raw);
    uint64_t size;
    if (v < 0) {
        uint32_t shift = static_cast<uint32_t>(-static_cast<int32_t>(v));
        if (shift > 16) {
            return 0;
        }
        size = 1ull << shift;
    } else {
        size = static_cast<uint64_t>(v) * clusterBytes;
    }
    if (size < NTFS_MIN_RECORD_BYTES || size > NTFS_MAX_RECORD_BYTES ||
        size % NTFS_SECTOR_BYTES != 0) {
        return 0;
    }
    return static_cast<uint32_t>(size);
}

// Reads length bytes at offset in pieces (Disk_Read takes at most u32 bytes).
int ReadPieces(const DiskHandle* disk, uint64_t offset, uint64_t length, uint8_t* out)
{
    while (length > 0) {
        uint32_t piece = length < kReadPiece ? static_cast<uint32_t>(length) : kReadPiece;
        int rc = Disk_Read(disk, offset, piece, out);
        if (rc != DISK_OK) {
            return rc;
        }
        offset += piece;
        out += piece;
        length -= piece;
    }
    return DISK_OK;
}

// A checked view of one MFT record's attributes.
struct RecordCheck {
    uint8_t* record;
    uint32_t size;
};

// Records the reason a file record is refused and answers DISK_ERR_NTFS_METADATA.
int RefuseRecord(const char* reason) { return Refusal_RecordAs(DISK_ERR_NTFS_METADATA, reason); }

// Checks the record header, applies the fixups and walks the attributes $STANDARD_INFORMATION,
// $FILE_NAME (named `name`) and the unnamed non-resident $DATA, which must follow one another in
// exactly this order inside the bytes in use. On success *dataAttr is the offset of $DATA;
// otherwise DISK_ERR_NTFS_METADATA with the reason recorded.
int CheckRecord(uint8_t* record, uint32_t size, const char* name, uint32_t* dataAttr)
{
    NtfsRecordHeader h;
    Ntfs_RecordHeaderToHost(record, &h);
    if (std::memcmp(record, "FILE", 4) != 0) {
        return RefuseRecord("NTFS file record: no signature");
    }
    if (h.usaCount < 2 || static_cast<uint32_t>(h.usaOffset) + 2u * h.usaCount > 510 ||
        h.usaOffset < 42 || static_cast<uint32_t>(h.usaCount - 1) != size / NTFS_SECTOR_BYTES) {
        return RefuseRecord("NTFS file record: update sequence out of range");
    }
    if (!Ntfs_ApplyFixups(record, h.usaOffset, h.usaCount)) {
        return RefuseRecord("NTFS file record: update sequence does not match");
    }
    if (h.bytesInUse > size || h.firstAttribute < 42 || h.firstAttribute >= h.bytesInUse) {
        return RefuseRecord("NTFS file record: bytes in use or first attribute out of range");
    }
    const uint32_t end = h.bytesInUse;
    const uint32_t expect[3] = {NTFS_ATTR_STANDARD_INFORMATION, NTFS_ATTR_FILE_NAME,
                                NTFS_ATTR_DATA};
    uint32_t at = h.firstAttribute;
    for (uint32_t k = 0; k < 3; ++k) {
        if (at > end || end - at < 16) {
            return RefuseRecord("NTFS file record: an attribute is missing");
        }
        NtfsAttrHeader a;
        Ntfs_AttrHeaderToHost(record + at, &a);
        if (a.type != expect[k]) {
            return RefuseRecord("NTFS file record: attributes not in the expected order");
        }
        if (a.length < 16 || a.length % 8 != 0 || a.length > end - at) {
            return RefuseRecord("NTFS attribute: length out of range");
        }
        const uint8_t* attr = record + at;
        if (k < 2) {
            if (a.nonResident != 0 || a.length < 24) {
                return RefuseRecord("NTFS attribute: expected a resident attribute");
            }
            NtfsResident r;
            Ntfs_ResidentToHost(attr, &r);
            if (r.valueOffset > a.length || r.valueLength > a.length - r.valueOffset) {
                return RefuseRecord("NTFS attribute: value past the end of the attribute");
            }
            if (k == 1) {
                // $FILE_NAME: name length in characters at byte 64, UTF-16LE name from byte 66.
                const uint8_t* value = attr + r.valueOffset;
                if (r.valueLength < 66) {
                    return RefuseRecord("NTFS file name: too short");
                }
                uint32_t chars = value[64];
                size_t want = std::strlen(name);
                if (chars != want || 66 + 2 * chars > r.valueLength) {
                    return RefuseRecord("NTFS file name: not the expected system file");
                }
                for (uint32_t i = 0; i < chars; ++i) {
                    if (Bytes_LoadLe16(value + 66 + 2 * i) != static_cast<uint8_t>(name[i])) {
                        return RefuseRecord("NTFS file name: not the expected system file");
                    }
                }
            }
        } else {
            if (a.nonResident == 0 || a.nameLength != 0 || a.length < 64) {
                return RefuseRecord("NTFS data attribute: named, resident or too short");
            }
            NtfsNonResident n;
            Ntfs_NonResidentToHost(attr, &n);
            if (n.firstVcn != 0 || n.runListOffset < 64 || n.runListOffset >= a.length) {
                return RefuseRecord(
                    "NTFS data attribute: first VCN or run list offset out of range");
            }
            *dataAttr = at;
            return DISK_OK;
        }
        at += a.length;
    }
    return RefuseRecord("NTFS file record: no data attribute");
}

// Decodes the run list of the $DATA attribute at dataAttr into a new array (Mem_Free), requiring
// that the runs cover exactly its VCNs 0 .. last VCN and lie inside the volume.
int TakeRuns(const uint8_t* record, uint32_t dataAttr, uint32_t clusterCount, NtfsRun** runsOut,
             uint32_t* countOut)
{
    NtfsAttrHeader a;
    Ntfs_AttrHeaderToHost(record + dataAttr, &a);
    NtfsNonResident n;
    Ntfs_NonResidentToHost(record + dataAttr, &n);
    const uint8_t* list = record + dataAttr + n.runListOffset;
    const uint32_t limit = a.length - n.runListOffset;
    uint32_t count = 0;
    if (!Ntfs_DecodeRuns(list, limit, nullptr, &count) || count == 0) {
        return Refusal_RecordAs(DISK_ERR_NTFS_METADATA, "NTFS run list: malformed or empty");
    }
    NtfsRun* runs =
        static_cast<NtfsRun*>(Mem_Alloc(count * static_cast<uint32_t>(sizeof(NtfsRun))));
    if (runs == nullptr) {
        return DISK_ERR_NOMEM;
    }
    uint32_t filled = count;
    bool ok = Ntfs_DecodeRuns(list, limit, runs, &filled) && filled == count;
    uint64_t clusters = 0;
    for (uint32_t i = 0; ok && i < count; ++i) {
        ok = runs[i].lcn + runs[i].length <= clusterCount;
        clusters += runs[i].length;  // at most 2^32 runs of below 2^32 clusters
    }
    if (!ok || n.lastVcn == UINT64_MAX || clusters != n.lastVcn + 1) {
        Mem_Free(runs);
        return Refusal_RecordAs(
            DISK_ERR_NTFS_METADATA,
            "NTFS run list: runs outside the volume or not covering the attribute");
    }
    *runsOut = runs;
    *countOut = count;
    return DISK_OK;
}

// Reads length bytes from byte position pos of the data described by the runs.
int ReadFromRuns(const DiskHandle* disk, uint64_t base, uint32_t clusterBytes, const NtfsRun* runs,
                 uint32_t runCount, uint64_t pos, uint64_t length, uint8_t* out)
{
    for (uint32_t i = 0; i < runCount && length > 0; ++i) {
        const uint64_t runBytes = runs[i].length * clusterBytes;  // below 2^53
        if (pos >= runBytes) {
            pos -= runBytes;
            continue;
        }
        uint64_t piece = runBytes - pos < length ? runBytes - pos : length;
        int rc = ReadPieces(disk, base + runs[i].lcn * clusterBytes + pos, piece, out);
        if (rc != DISK_OK) {
            return rc;
        }
        out += piece;
        length -= piece;
        pos = 0;
    }
    return length == 0 ? DISK_OK
                       : Refusal_RecordAs(DISK_ERR_NTFS_METADATA,
                                          "NTFS run list: shorter than the data it must hold");
}

}  // namespace

void Ntfs_RecordHeaderToHost(const uint8_t* raw, NtfsRecordHeader* out)
{
    out->magic = Bytes_LoadLe32(raw + 0);
    out->usaOffset = Bytes_LoadLe16(raw + 4);
    out->usaCount = Bytes_LoadLe16(raw + 6);
    out->logSequence = Bytes_LoadLe64(raw + 8);
    out->sequence = Bytes_LoadLe16(raw + 16);
    out->linkCount = Bytes_LoadLe16(raw + 18);
    out->firstAttribute = Bytes_LoadLe16(raw + 20);
    out->flags = Bytes_LoadLe16(raw + 22);
    out->bytesInUse = Bytes_LoadLe32(raw + 24);
    out->bytesAllocated = Bytes_LoadLe32(raw + 28);
    out->baseRecord = Bytes_LoadLe64(raw + 32);
    out->nextAttributeId = Bytes_LoadLe16(raw + 40);
    out->recordNumber = Bytes_LoadLe32(raw + 44);
}

void Ntfs_AttrHeaderToHost(const uint8_t* raw, NtfsAttrHeader* out)
{
    out->type = Bytes_LoadLe32(raw + 0);
    out->length = Bytes_LoadLe32(raw + 4);
    out->nonResident = raw[8];
    out->nameLength = raw[9];
    out->nameOffset = Bytes_LoadLe16(raw + 10);
    out->flags = Bytes_LoadLe16(raw + 12);
    out->id = Bytes_LoadLe16(raw + 14);
}

void Ntfs_ResidentToHost(const uint8_t* raw, NtfsResident* out)
{
    out->valueLength = Bytes_LoadLe32(raw + 16);
    out->valueOffset = Bytes_LoadLe16(raw + 20);
}

void Ntfs_NonResidentToHost(const uint8_t* raw, NtfsNonResident* out)
{
    out->firstVcn = Bytes_LoadLe64(raw + 16);
    out->lastVcn = Bytes_LoadLe64(raw + 24);
    out->runListOffset = Bytes_LoadLe16(raw + 32);
    out->allocatedSize = Bytes_LoadLe64(raw + 40);
    out->realSize = Bytes_LoadLe64(raw + 48);
    out->initializedSize = Bytes_LoadLe64(raw + 56);
}

bool Ntfs_ApplyFixups(uint8_t* record, uint16_t usaOffset, uint16_t usaCount)
{
    if (usaCount < 1) {
        return false;
    }
    const uint16_t usn = Bytes_LoadLe16(record + usaOffset);
    for (uint32_t i = 0; i + 1 < usaCount; ++i) {
        if (Bytes_LoadLe16(record + i * NTFS_SECTOR_BYTES + 510) != usn) {
            return false;
        }
    }
    for (uint32_t i = 0; i + 1 < usaCount; ++i) {
        std::memcpy(record + i * NTFS_SECTOR_BYTES + 510, record + usaOffset + 2 * (i + 1), 2);
    }
    return true;
}

bool Ntfs_DecodeRuns(const uint8_t* bytes, uint32_t limit, NtfsRun* runs, uint32_t* count)
{
    uint32_t n = 0;
    uint32_t at = 0;
    int64_t lcn = 0;
    while (at < limit) {
        const uint8_t h = bytes[at];
        if (h == 0) {
            *count = n;
            return true;
        }
        const uint32_t lenSize = h & 0x0F;
        const uint32_t offSize = h >> 4;
        // A run without an offset field is sparse: it has no clusters of its own.
        if (lenSize == 0 || lenSize > 4 || offSize == 0 || offSize > 4 ||
            limit - at - 1 < lenSize + offSize) {
            return false;
        }
        const uint8_t* p = bytes + at + 1;
        uint64_t length = 0;
        for (uint32_t i = 0; i < lenSize; ++i) {
            length |= static_cast<uint64_t>(p[i]) << (8 * i);
        }
        uint64_t rawOffset = 0;
        for (uint32_t i = 0; i < offSize; ++i) {
            rawOffset |= static_cast<uint64_t>(p[lenSize + i]) << (8 * i);
        }
        int64_t delta = static_cast<int64_t>(rawOffset);
        if ((p[lenSize + offSize - 1] & 0x80) != 0) {
            delta -= static_cast<int64_t>(1ull << (8 * offSize));
        }
        lcn += delta;  // |lcn| stays below 2^32 + 2^31
        if (length == 0 || lcn < 0 || lcn > static_cast<int64_t>(UINT32_MAX) ||
            static_cast<uint64_t>(lcn) + length > UINT32_MAX) {
            return false;
        }
        if (n == UINT32_MAX) {
            return false;
        }
        if (runs != nullptr) {
            if (n >= *count) {
                return false;  // more runs than the array the caller counted
            }
            runs[n].lcn = static_cast<uint64_t>(lcn);
            runs[n].length = length;
        }
        ++n;
        at += 1 + lenSize + offSize;
    }
    return false;
}

NtfsVolume* Ntfs_Alloc() { return static_cast<NtfsVolume*>(Mem_Alloc(sizeof(NtfsVolume))); }

void Ntfs_Init(NtfsVolume* volume) { std::memset(volume, 0, sizeof *volume); }

void Ntfs_Destroy(void* object)
{
    NtfsVolume* volume = static_cast<NtfsVolume*>(object);
    if (volume == nullptr) {
        return;
    }
    Mem_Free(volume->bitmap);
    Ntfs_Init(volume);
}

int Ntfs_Open(NtfsVolume* volume, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    Ntfs_Init(volume);
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
    if (partBytes < NTFS_SECTOR_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: the partition is too small to hold it");
    }
    uint8_t boot[NTFS_SECTOR_BYTES];
    int rc = Disk_Read(disk, base, sizeof boot, boot);
    if (rc != DISK_OK) {
        return rc;
    }
    if (std::memcmp(boot + 3, kOemId, sizeof kOemId) != 0 || Bytes_LoadLe16(boot + 510) != 0xAA55) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "NTFS boot sector: no signature");
    }
    if (Bytes_LoadLe16(boot + 11) != NTFS_SECTOR_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: bytes per sector other than 512");
    }
    const uint32_t spc = DecodeSectorsPerCluster(boot[13]);
    const uint64_t totalSectors = Bytes_LoadLe64(boot + 40);
    const uint64_t mftCluster = Bytes_LoadLe64(boot + 48);
    if (spc == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: sectors per cluster out of range");
    }
    const uint32_t clusterBytes = spc * NTFS_SECTOR_BYTES;
    const uint32_t recordBytes = DecodeRecordSize(boot[64], clusterBytes);
    const uint64_t clusters64 = totalSectors / spc;
    // The volume must fit its partition; this also bounds the bitmap held in memory.
    if (recordBytes == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: file record size out of range");
    }
    if (clusters64 == 0 || clusters64 > UINT32_MAX) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: cluster count out of range");
    }
    if (totalSectors > partBytes / NTFS_SECTOR_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: the volume is larger than its partition");
    }
    if (mftCluster >= clusters64) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "NTFS boot sector: MFT past the end of the volume");
    }
    const uint32_t clusterCount = static_cast<uint32_t>(clusters64);

    uint8_t* record = static_cast<uint8_t*>(Mem_Alloc(recordBytes));
    if (record == nullptr) {
        return DISK_ERR_NOMEM;
    }
    NtfsRun* mftRuns = nullptr;
    uint32_t mftRunCount = 0;
    NtfsRun* bitmapRuns = nullptr;
    uint32_t bitmapRunCount = 0;
    uint8_t* bitmap = nullptr;
    uint32_t dataAttr = 0;
    const uint32_t bitmapBytes = static_cast<uint32_t>((clusters64 + 7) / 8);

    rc = Disk_Read(disk, base + mftCluster * clusterBytes, recordBytes, record);
    if (rc == DISK_OK) {
        rc = CheckRecord(record, recordBytes, "$MFT", &dataAttr);
    }
    if (rc == DISK_OK) {
        rc = TakeRuns(record, dataAttr, clusterCount, &mftRuns, &mftRunCount);
    }
    if (rc == DISK_OK) {
        rc = ReadFromRuns(disk, base, clusterBytes, mftRuns, mftRunCount,
                          static_cast<uint64_t>(recordBytes) * 6, recordBytes, record);
    }
    if (rc == DISK_OK) {
        rc = CheckRecord(record, recordBytes, "$Bitmap", &dataAttr);
    }
    if (rc == DISK_OK) {
        rc = TakeRuns(record, dataAttr, clusterCount, &bitmapRuns, &bitmapRunCount);
    }
    if (rc == DISK_OK) {
        bitmap = static_cast<uint8_t*>(Mem_Alloc(bitmapBytes));
        if (bitmap == nullptr) {
            rc = DISK_ERR_NOMEM;
        }
    }
    if (rc == DISK_OK) {
        // Runs that hold fewer bytes than one bit per cluster give DISK_ERR_NTFS_METADATA.
        rc = ReadFromRuns(disk, base, clusterBytes, bitmapRuns, bitmapRunCount, 0, bitmapBytes,
                          bitmap);
    }
    Mem_Free(record);
    Mem_Free(mftRuns);
    Mem_Free(bitmapRuns);
    if (rc != DISK_OK) {
        Mem_Free(bitmap);
        return rc;
    }
    volume->firstSector = first;
    volume->bytesPerSector = sectorBytes;
    volume->sectorsPerCluster = spc;
    volume->clusterCount = clusterCount;
    volume->bitmap = bitmap;
    return DISK_OK;
}

bool Ntfs_IsByteRangeUsed(const void* object, uint64_t offset, uint64_t length)
{
    const NtfsVolume* volume = static_cast<const NtfsVolume*>(object);
    if (volume->bitmap == nullptr || volume->sectorsPerCluster == 0 || length == 0 ||
        offset > UINT64_MAX - (length - 1)) {
        return true;
    }
    const uint64_t clusterBytes =
        static_cast<uint64_t>(volume->sectorsPerCluster) * NTFS_SECTOR_BYTES;
    const uint64_t lo = offset / clusterBytes;
    const uint64_t hi = (offset + (length - 1)) / clusterBytes;
    if (hi >= volume->clusterCount) {
        return true;
    }
    for (uint64_t c = lo; c <= hi; ++c) {
        if (Bitmap_TestBit(volume->bitmap, static_cast<uint32_t>(c))) {
            return true;
        }
    }
    return false;
}

int Ntfs_FillUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap,
                      uint32_t bitOffset)
{
    const NtfsVolume* volume = static_cast<const NtfsVolume*>(object);
    if (volume->bitmap == nullptr) {
        Fs_SetBits(bitmap, bitOffset, count, true);
        return DISK_OK;
    }
    return Fs_FillBitsFromByteRanges(volume, Ntfs_IsByteRangeUsed, volume->bytesPerSector, first,
                                     count, bitmap, bitOffset);
}

int Ntfs_TestData(void* object, uint64_t offset, uint32_t length, const uint8_t* data, bool* empty,
                  uint64_t* bytesBefore)
{
    const NtfsVolume* volume = static_cast<const NtfsVolume*>(object);
    if (data != nullptr && bytesBefore != nullptr) {
        return DISK_ERR_ARG;
    }
    if (length != 0 && offset > UINT64_MAX - length) {
        return DISK_ERR_ARG;
    }
    const uint64_t clusterBytes =
        static_cast<uint64_t>(volume->sectorsPerCluster == 0 ? 1 : volume->sectorsPerCluster) *
        NTFS_SECTOR_BYTES;
    uint64_t at = 0;
    while (at < length) {
        const uint64_t pos = offset + at;
        uint64_t piece = clusterBytes - pos % clusterBytes;
        if (piece > length - at) {
            piece = length - at;
        }
        if (Ntfs_IsByteRangeUsed(volume, pos, piece)) {
            if (data == nullptr) {
                if (bytesBefore != nullptr) {
                    *bytesBefore = at;
                }
                *empty = false;
                return DISK_OK;
            }
            if (!Mem_IsZero(data + at, static_cast<uint32_t>(piece))) {
                *empty = false;
                return DISK_OK;
            }
        }
        at += piece;
    }
    *empty = true;
    return DISK_OK;
}

int Fs_AttachNtfs(VolumeRegion* region, const DiskHandle* disk, uint64_t first, uint64_t count)
{
    NtfsVolume* volume = Ntfs_Alloc();
    if (volume == nullptr) {
        return DISK_ERR_NOMEM;
    }
    Ntfs_Init(volume);
    int rc = Ntfs_Open(volume, disk, first, count);
    if (rc != DISK_OK) {
        Ntfs_Destroy(volume);
        Mem_Free(volume);
        return rc;
    }
    region->first = first;
    region->count = count;
    region->kind = FS_KIND_NTFS;
    region->object = volume;
    return DISK_OK;
}
