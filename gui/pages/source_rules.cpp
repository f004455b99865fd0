// Window-free rules of the source, source-information, destination-type and geometry pages.
#include "gui/pages/source_rules.h"

#include <sys/stat.h>

#include <cstring>

#include "disk/disk_open.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2.h"
#include "foundation/platform.h"
#include "gui/frame/messages.h"
#include "gui/job/convert_run.h"
#include "volume/used_map.h"

// The qcow2 opener refuses snapshots and needs its backing file; the qcow opener takes the key.
static int OpenQcowWithKey(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind,
                           const uint8_t key[16])
{
    if (kind == DISK_KIND_QCOW2)
        return Disk_OpenQcow2WithKey(handle, path, readOnly, key, 16, QCOW2_BACKING_REQUIRED);
    return Disk_OpenQcowWithKey(handle, path, readOnly, key, 16);
}

SourceKeyedOpenFn SourceRules_KeyedOpen = OpenQcowWithKey;

namespace {

const uint64_t kBytesPerMiB = 1048576;

bool IsListedSectorSize(uint32_t bytes)
{
    for (int i = 0; i < SOURCE_SECTOR_SIZE_ITEMS; ++i)
        if (SourceRules_SectorSizeOfItem(i) == bytes) return true;
    return false;
}

bool HasOpenSource(const ConversionJob* job)
{
    return job->sourceDisk != NULL && job->sourceDisk->object != NULL;
}

}  // namespace

// ---- Sector sizes -------------------------------------------------------------------------------

uint32_t SourceRules_SectorSizeOfItem(int item)
{
    if (item < 0 || item >= SOURCE_SECTOR_SIZE_ITEMS) return 512;
    return 128u << item;
}

int SourceRules_SectorSizeItem(uint32_t bytes)
{
    for (int i = 0; i < SOURCE_SECTOR_SIZE_ITEMS; ++i)
        if (SourceRules_SectorSizeOfItem(i) >= bytes) return i;
    return 0;
}

bool SourceRules_ByteSizeFits(uint64_t totalSectors, uint32_t bytesPerSector)
{
    uint64_t bytes = 0;
    return Math_MulU64(totalSectors, bytesPerSector, &bytes) &&
           bytes <= static_cast<uint64_t>(INT64_MAX);
}

// ---- New blank disk -----------------------------------------------------------------------------

bool SourceRules_NewDiskValueInRange(int32_t unit, uint64_t value)
{
    switch (unit) {
    case NEW_DISK_UNIT_SECTORS:
        return value >= SOURCE_MIN_TOTAL_SECTORS && value <= SOURCE_MAX_TOTAL_SECTORS;
    case NEW_DISK_UNIT_MIB:
        return value >= 1 && value <= SOURCE_MAX_NEW_MIB;
    case NEW_DISK_UNIT_GIB:
        return value >= 1 && value <= SOURCE_MAX_NEW_GIB;
    default:
        return false;
    }
}

bool SourceRules_NewDiskSectors(int32_t unit, uint64_t value, uint32_t bytesPerSector,
                                uint64_t* sectors)
{
    if (!SourceRules_NewDiskValueInRange(unit, value) || !IsListedSectorSize(bytesPerSector))
        return false;
    const uint64_t perMiB = kBytesPerMiB / bytesPerSector;
    uint64_t count = 0;
    switch (unit) {
    case NEW_DISK_UNIT_SECTORS:
        count = value;
        break;
    case NEW_DISK_UNIT_MIB:
        if (!Math_MulU64(perMiB, value, &count)) return false;
        break;
    default: {
        uint64_t mib = 0;
        if (!Math_MulU64(value, 1024, &mib) || !Math_MulU64(perMiB, mib, &count)) return false;
        break;
    }
    }
    // The typed unit is in range, but small sectors multiply it past what a disk may have.
    if (count < SOURCE_MIN_TOTAL_SECTORS || count > SOURCE_MAX_TOTAL_SECTORS) return false;
    *sectors = count;
    return true;
}

void SourceRules_NewDiskFieldValues(uint64_t sectors, uint32_t bytesPerSector, uint64_t* mib,
                                    uint64_t* gib)
{
    if (!IsListedSectorSize(bytesPerSector)) bytesPerSector = 512;
    const uint64_t perMiB = kBytesPerMiB / bytesPerSector;
    *mib = Math_DivCeilU64(sectors, perMiB);
    *gib = Math_DivCeilU64(*mib, 1024);
}

// ---- Opening -------------------------------------------------------------------------------------

SourceOpenAction SourceRules_ClassifyOpenResult(int result, int* message)
{
    switch (result) {
    case DISK_OK:
        return SOURCE_OPEN_DONE;
    case DISK_CANCELLED:
        return SOURCE_OPEN_STAY;
    case DISK_ERR_PASSWORD:
        return SOURCE_OPEN_PASSWORD;
    case DISK_ERR_ARG:
    case DISK_ERR_SNAPSHOTS:
        return SOURCE_OPEN_RAW;
    case DISK_ERR_OPEN:
        *message = MSG_SOURCE_CANNOT_OPEN;
        return SOURCE_OPEN_MESSAGE;
    case DISK_ERR_UNSUPPORTED:
        *message = MSG_SOURCE_UNAPPLIED_LOG;
        return SOURCE_OPEN_MESSAGE;
    default:
        *message = MSG_RAW_CANNOT_OPEN;
        return SOURCE_OPEN_MESSAGE;
    }
}

bool SourceRules_IsUnusableFileKind(const char* path)
{
    struct stat st;
    if (path == NULL || stat(path, &st) != 0) return false;
    return !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode);
}

int Ui_HasBootSignature(const DiskHandle* disk, bool* present)
{
    uint8_t bytes[2] = {0, 0};
    int r = Disk_Read(disk, 510, 2, bytes);
    if (r != DISK_OK) return r;
    *present = bytes[0] == 0x55 && bytes[1] == 0xAA;
    return DISK_OK;
}

int SourceRules_OpenWithKey(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind,
                            const uint8_t key[16])
{
    if (kind != DISK_KIND_QCOW && kind != DISK_KIND_QCOW2) return DISK_ERR_ARG;
    if (SourceRules_KeyedOpen == NULL) return DISK_ERR_UNSUPPORTED;
    return SourceRules_KeyedOpen(handle, path, readOnly, kind, key);
}

int SourceRules_OpenWithPassword(ConversionJob* job, const uint8_t key[16], bool verify,
                                 int* message)
{
    *message = MSG_SOURCE_FILE_UNUSABLE;
    DiskHandle* disk = job->sourceDisk;
    if (disk == NULL) return DISK_ERR_ARG;
    const DiskKind kind = Disk_GetKind(disk);
    // The handle names the kind that asked for the key but holds nothing: open it afresh.
    Disk_Close(disk);
    int r = SourceRules_OpenWithKey(disk, job->sourcePath.text(), true, kind, key);
    if (r != DISK_OK) {
        Disk_Close(disk);
        return r;
    }
    if (verify) {
        bool present = false;
        r = Ui_HasBootSignature(disk, &present);
        if (r != DISK_OK || !present) {
            Disk_Close(disk);
            if (r == DISK_OK) {
                *message = MSG_PASSWORD_WRONG;
                r = DISK_ERR_KEY_LENGTH;
            }
            return r;
        }
    }
    memcpy(job->encryptionKey, key, sizeof job->encryptionKey);
    job->keySet = 1;
    return DISK_OK;
}

// ---- Used-sector map ------------------------------------------------------------------------------

SourceMapOutcome SourceRules_BuildUsedMap(const DiskHandle* disk, UsedSectorMap** map,
                                          uint32_t* known, int* result)
{
    *map = NULL;
    *known = 0;
    *result = DISK_OK;
    if (disk == NULL || disk->object == NULL) {
        *result = DISK_ERR_ARG;
        return SOURCE_MAP_FAILED;
    }
    int code = DISK_OK;
    uint32_t count = 0;
    UsedSectorMap* built = UsedMap_Create(disk, &code, &count);
    *result = code;
    if (built != NULL) {
        *map = built;
        *known = count;
        return SOURCE_MAP_BUILT;
    }
    // Without a map every sector is copied, which is always safe: tables that list nothing,
    // hold nothing usable or do not hold together only mean that nothing can be skipped.
    if (code == DISK_OK || code == DISK_ERR_FORMAT || code == DISK_ERR_FS_CORRUPT)
        return SOURCE_MAP_NOTHING;
    return SOURCE_MAP_FAILED;
}

void SourceRules_FreeMap(UsedSectorMap* map)
{
    if (map == NULL) return;
    UsedMap_Destroy(map);
    Mem_Free(map);
}

// ---- Trim ------------------------------------------------------------------------------------------

SourceTrimAction SourceRules_PrepareTrim(ConversionJob* job, bool wanted, UsedSectorMap** map,
                                         int* message)
{
    *map = NULL;
    if (!wanted) {
        job->trimInPlace = 0;
        return SOURCE_TRIM_OFF;
    }
    if (job->sourceKind != JOB_SOURCE_IMAGE || !HasOpenSource(job) ||
        !Disk_CanCompact(job->sourceDisk)) {
        *message = MSG_SOURCE_CANNOT_TRIM;
        ConversionJob_ReleaseSource(job);
        return SOURCE_TRIM_REFUSED;
    }
    uint32_t known = 0;
    int result = DISK_OK;
    if (SourceRules_BuildUsedMap(job->sourceDisk, map, &known, &result) != SOURCE_MAP_BUILT) {
        *message = MSG_DEST_TYPE_NO_PARTITIONS;
        ConversionJob_ReleaseSource(job);
        return SOURCE_TRIM_NO_MAP;
    }
    return SOURCE_TRIM_ASK;
}

// ---- Destination type --------------------------------------------------------------------------

bool SourceRules_DestinationAvailable(int32_t destKind)
{
    // The run decides which destinations have a writer; the list shows the same.
    return ConvertRun_IsDestinationAvailable(destKind);
}

bool SourceRules_DestinationRefusedForNewDisk(int32_t destKind)
{
    const DestinationRow* row = Destination_Row(destKind);
    return row != NULL && row->needsSourceDisk;
}

bool SourceRules_DestinationForcesAutoGeometry(int32_t destKind)
{
    const DestinationRow* row = Destination_Row(destKind);
    return row != NULL && row->forcesAutoGeometry;
}

SourcePartitionOutcome SourceRules_ApplyPartitionChoice(ConversionJob* job, bool wanted,
                                                        uint32_t* known)
{
    *known = 0;
    if (!wanted) {
        ConversionJob_ReleaseMap(job);
        return SOURCE_PARTITIONS_KEPT;
    }
    if (job->volumeList != NULL) return SOURCE_PARTITIONS_KEPT;
    UsedSectorMap* map = NULL;
    int result = DISK_OK;
    switch (SourceRules_BuildUsedMap(job->sourceDisk, &map, known, &result)) {
    case SOURCE_MAP_BUILT:
        job->volumeList = map;
        return SOURCE_PARTITIONS_BUILT;
    case SOURCE_MAP_NOTHING:
        return SOURCE_PARTITIONS_NOTHING;
    default:
        return SOURCE_PARTITIONS_FAILED;
    }
}

// ---- Geometry page ------------------------------------------------------------------------------

void SourceRules_ApplyGeometry(ConversionJob* job, uint64_t total, bool manual, uint32_t heads,
                               uint32_t sectorsPerTrack)
{
    job->workGeometry = job->sourceGeometry;
    Geometry_SetTotalSectors(&job->workGeometry, total);
    if (manual) {
        job->workGeometry.heads = heads;
        job->workGeometry.sectors_per_track = sectorsPerTrack;
    }
    job->manualTotalSectors = total;
    job->manualHeads = manual ? heads : job->sourceGeometry.heads;
    job->manualSectors = manual ? sectorsPerTrack : job->sourceGeometry.sectors_per_track;
    job->geometryManual = manual ? 1 : 0;
    job->geometryRecompute = manual ? 0 : 1;
}
