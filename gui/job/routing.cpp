// The wizard's page order over the ConversionJob.
#include "gui/job/routing.h"

#include "disk/builtin_disks.h"
#include "disk/plugin.h"
#include "formats/bochs/bochs.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "gui/frame/messages.h"

void (*Routing_CloseBochsBase)(void* sourceObject) = Bochs_CloseBase;

namespace {

bool IsOptionPage(int page)
{
    return page >= WIZARD_PAGE_FIRST_OPTIONS && page <= WIZARD_PAGE_LAST_OPTIONS;
}

// The option page of a destination kind, or -1 for a kind without one (the plug-in).
int OptionPageOf(int32_t destKind)
{
    const DestinationRow* row = Destination_Row(destKind);
    return row != NULL ? row->optionPage : -1;
}

// The open source disk's kind, or DISK_KIND_NONE without one.
DiskKind SourceDiskKind(const ConversionJob* job)
{
    if (job->sourceDisk == NULL || job->sourceDisk->object == NULL) return DISK_KIND_NONE;
    return Disk_GetKind(job->sourceDisk);
}

bool HasOpenSource(const ConversionJob* job)
{
    return job->sourceDisk != NULL && job->sourceDisk->object != NULL;
}

DiskGeometry SourceGeometry(const ConversionJob* job)
{
    DiskGeometry g = {0, 0, 0, 0, 0};
    if (HasOpenSource(job)) Disk_GetGeometry(job->sourceDisk, &g);
    return g;
}

// Whether the chosen destination plug-in accepts the geometry.
bool PluginAccepts(ConversionJob* job, const DiskGeometry* geometry)
{
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    if (entry == NULL || entry->module == NULL) return false;
    return Plugin_CheckDestinationGeometry(entry->module, geometry) == 0;
}

// Forward routing from the geometry page (and from the destination-type page for a new disk).
int ForwardFromGeometry(ConversionJob* job, int* message)
{
    if (OptionPageOf(job->destKind) >= 0) return OptionPageOf(job->destKind);
    if (job->destKind != DEST_PLUGIN) return -1;
    if (!PluginAccepts(job, &job->workGeometry)) {
        *message = MSG_OPTIONS_CANNOT_HOLD;
        return -1;
    }
    job->cylinderBased = 0;
    job->destGeometry = job->workGeometry;
    job->finalGeometry = job->workGeometry;
    return WIZARD_PAGE_CYLINDERS;
}

int ForwardFromSource(ConversionJob* job, int* message)
{
    // A trim needs the opened image and its map; anything else is an ordinary conversion.
    if (job->trimInPlace) {
        if (job->sourceKind == JOB_SOURCE_IMAGE && HasOpenSource(job) && job->volumeList != NULL)
            return WIZARD_PAGE_CONVERT;
        job->trimInPlace = 0;
    }
    if (HasOpenSource(job)) {
        DiskGeometry g = SourceGeometry(job);
        switch (Disk_GetKind(job->sourceDisk)) {
        case DISK_KIND_BOCHS_REDOLOG:
            return WIZARD_PAGE_BOCHS_REDOLOG;
        case DISK_KIND_BOCHS_SPARSE:
            job->hsHeads = g.heads;
            job->hsSectors = g.sectors_per_track;
            return WIZARD_PAGE_BOCHS_SPARSE;
        case DISK_KIND_SPLIT:
            job->psHeads = 16;
            job->psSectors = 63;
            return WIZARD_PAGE_SPLIT;
        default:
            return WIZARD_PAGE_DEST_TYPE;
        }
    }
    if (job->sourceKind == JOB_SOURCE_RAW_FILE) {
        uint64_t size = 0;
        if (!File_GetSizeByPath(job->sourcePath.text(), &size)) {
            *message = MSG_RAW_CANNOT_OPEN;
            return -1;
        }
        job->rawOffset = 0;
        if (size == 0 || !Vhd_ComputeGeometry(size, &job->rawGeometry)) {
            *message = MSG_RAW_CANNOT_OPEN;
            return -1;
        }
        return WIZARD_PAGE_RAW_FILE;
    }
    if (job->sourceKind == JOB_SOURCE_NEW_DISK) {
        job->newSizeUnit = 1;
        job->newSize = JOB_NEW_DISK_DEFAULT_SECTORS;
        job->newOwnGeometry = 0;
        job->newHeads = 0;
        job->newSectors = 0;
        job->newSectorSize = UI_SECTOR_BYTES;
        return WIZARD_PAGE_NEW_DISK;
    }
    if (!DeviceDisk_QueryGeometry(job->sourceDevice.text(), &job->deviceGeometry)) {
        *message = MSG_DEVICE_CANNOT_OPEN;
        return -1;
    }
    job->deviceOffset = 0;
    return WIZARD_PAGE_DEVICE;
}

int Forward(ConversionJob* job, int page, int* message)
{
    if (page == WIZARD_PAGE_SOURCE) return ForwardFromSource(job, message);
    if (page >= WIZARD_PAGE_RAW_FILE && page <= WIZARD_PAGE_NEW_DISK) return WIZARD_PAGE_DEST_TYPE;
    if (page == WIZARD_PAGE_DEST_TYPE) {
        if (job->sourceKind == JOB_SOURCE_NEW_DISK) return ForwardFromGeometry(job, message);
        if (job->destKind == DEST_PLUGIN && !PluginAccepts(job, &job->sourceGeometry)) {
            *message = MSG_OPTIONS_CANNOT_HOLD;
            return -1;
        }
        return WIZARD_PAGE_GEOMETRY;
    }
    if (page == WIZARD_PAGE_GEOMETRY) return ForwardFromGeometry(job, message);
    if (IsOptionPage(page)) return WIZARD_PAGE_CYLINDERS;
    if (page == WIZARD_PAGE_CYLINDERS) return WIZARD_PAGE_DEST_PATH;
    if (page == WIZARD_PAGE_DEST_PATH) return WIZARD_PAGE_CONVERT;
    if (page == WIZARD_PAGE_CONVERT) {
        ConversionJob_Reset(job);
        return WIZARD_PAGE_SOURCE;
    }
    return -1;
}

int Backward(ConversionJob* job, int page)
{
    switch (page) {
    case WIZARD_PAGE_RAW_FILE:
    case WIZARD_PAGE_DEVICE:
    case WIZARD_PAGE_NEW_DISK:
        return WIZARD_PAGE_SOURCE;
    case WIZARD_PAGE_BOCHS_SPARSE:
    case WIZARD_PAGE_BOCHS_REDOLOG:
    case WIZARD_PAGE_SPLIT:
        ConversionJob_ReleaseSource(job);
        return WIZARD_PAGE_SOURCE;
    case WIZARD_PAGE_DEST_TYPE:
        ConversionJob_ReleaseMap(job);
        switch (SourceDiskKind(job)) {
        case DISK_KIND_BOCHS_SPARSE:
            return WIZARD_PAGE_BOCHS_SPARSE;
        case DISK_KIND_BOCHS_REDOLOG:
            return WIZARD_PAGE_BOCHS_REDOLOG;
        case DISK_KIND_SPLIT:
            return WIZARD_PAGE_SPLIT;
        default:
            break;
        }
        ConversionJob_ReleaseSource(job);
        switch (job->sourceKind) {
        case JOB_SOURCE_NEW_DISK:
            return WIZARD_PAGE_NEW_DISK;
        case JOB_SOURCE_RAW_FILE:
            return WIZARD_PAGE_RAW_FILE;
        case JOB_SOURCE_DEVICE:
            return WIZARD_PAGE_DEVICE;
        default:
            return WIZARD_PAGE_SOURCE;
        }
    case WIZARD_PAGE_GEOMETRY:
        return WIZARD_PAGE_DEST_TYPE;
    case WIZARD_PAGE_DEST_PATH:
        if (job->cylinderPageNeeded) return WIZARD_PAGE_CYLINDERS;
        [[fallthrough]];  // as from the cylinder-boundary page
    case WIZARD_PAGE_CYLINDERS:
        if (OptionPageOf(job->destKind) >= 0) return OptionPageOf(job->destKind);
        if (job->destKind == DEST_PLUGIN) return WIZARD_PAGE_DEST_TYPE;
        return -1;
    case WIZARD_PAGE_CONVERT:
        // After a trim the run has released the source: the job starts over.
        if (job->trimInPlace) {
            ConversionJob_Reset(job);
            return WIZARD_PAGE_SOURCE;
        }
        ConversionJob_ReleasePluginOutput(job);
        return WIZARD_PAGE_DEST_PATH;
    default:
        if (IsOptionPage(page))
            return job->sourceKind == JOB_SOURCE_NEW_DISK ? WIZARD_PAGE_DEST_TYPE
                                                          : WIZARD_PAGE_GEOMETRY;
        return -1;
    }
}

void BackCleanup(ConversionJob* job, int page)
{
    if (page == WIZARD_PAGE_BOCHS_REDOLOG) {
        if (SourceDiskKind(job) == DISK_KIND_BOCHS_REDOLOG && Routing_CloseBochsBase != NULL)
            Routing_CloseBochsBase(job->sourceDisk->object);
    } else if (page == WIZARD_PAGE_DEST_PATH && job->destKind == DEST_PLUGIN) {
        ConversionJob_ReleasePluginOutput(job);
    }
}

}  // namespace

bool Routing_IsWholeCylinders(int32_t destKind, const DiskGeometry* geometry)
{
    const DestinationRow* row = Destination_Row(destKind);
    if (row != NULL && row->vhdCylinders) return Geometry_IsCylinderAligned(geometry);
    uint64_t cylinder = static_cast<uint64_t>(geometry->heads) * geometry->sectors_per_track;
    if (cylinder == 0) return true;
    return Geometry_GetTotalSectors(geometry) % cylinder == 0;
}

uint32_t Routing_CylinderCount(const DiskGeometry* geometry)
{
    uint64_t cylinder = static_cast<uint64_t>(geometry->heads) * geometry->sectors_per_track;
    if (cylinder == 0) return 0;
    uint64_t cylinders = Geometry_GetTotalSectors(geometry) / cylinder;
    return cylinders > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(cylinders);
}

int Routing_ApplyEntryDefaults(ConversionJob* job, int page)
{
    switch (page) {
    case WIZARD_PAGE_BOCHS_REDOLOG: {
        DiskGeometry g = SourceGeometry(job);
        job->bgHeads = g.heads;
        job->bgSectors = g.sectors_per_track;
        job->bgCompanionPath = FXString::null;
        break;
    }
    case WIZARD_PAGE_DEST_TYPE:
        // Nothing built for an earlier visit may stay behind unowned.
        ConversionJob_ReleaseMap(job);
        job->destPluginIndex = -1;
        job->destKind = DEST_VMDK;
        break;
    case WIZARD_PAGE_GEOMETRY:
        job->manualTotalSectors = Geometry_GetTotalSectors(&job->sourceGeometry);
        job->manualSectorSize = job->sourceGeometry.bytes_per_sector;
        if (job->geometryForcedAuto) {
            job->geometryManual = 0;
            job->manualHeads = 0;
            job->manualSectors = 0;
        } else {
            job->geometryManual = 1;
            job->manualHeads = job->sourceGeometry.heads;
            job->manualSectors = job->sourceGeometry.sectors_per_track;
        }
        break;
    case 9:
        job->vmdkList4 = 0;
        job->vmdkRadio = 0;
        job->vmdkList14 = 11;
        job->vmdkList3 = 0;
        job->vmdkCheck = 0;
        job->vmdkSplit = 0;
        job->vmdkSplitSectors = 0;
        break;
    case 10:
    case 11:
    case 16:
        job->formatFlags = 0;
        break;
    case 12:
        job->vhdxBlockIndex = 5;
        job->vhdxList1 = 0;
        job->vhdxList2 = 0;
        job->vhdxCheck = 0;
        break;
    case 13:
        job->vhdLayoutIndex = 5;
        job->vhdCreatorIndex = 4;
        break;
    case 14:
        job->vhdFixedCreatorIndex = 4;
        break;
    case 15:
        job->parallelsRadio = 0;
        job->parallelsFlag = 0;
        job->parallelsNumber = 0;
        break;
    case 17:
        job->bochsGrowingList = 1;
        break;
    case 18:
        job->bochsSparseList = 1;
        break;
    case 19:
        job->qcowKeyText = FXString::null;
        job->formatFlags = 0;
        break;
    case 20:
        job->qcow2ClusterIndex = 7;
        job->qcow2KeyText = FXString::null;
        job->formatFlags = 0;
        break;
    case 21:
        job->vdiList4 = 3;
        job->vdiCheck = 0;
        job->vdiList3 = 0;
        break;
    case 29:
        job->splitValues[0] = 0;
        job->splitValues[1] = Routing_CylinderCount(&job->workGeometry);
        job->splitValues[2] = job->workGeometry.heads;
        job->splitValues[3] = job->workGeometry.sectors_per_track;
        job->splitValues[4] = 5;
        job->splitCheck1 = 0;
        job->splitNumber = 2048;
        job->splitCheck2 = 0;
        break;
    case WIZARD_PAGE_CYLINDERS:
        if (!Routing_IsWholeCylinders(job->destKind, &job->destGeometry)) {
            job->cylinderPageNeeded = 1;
            job->cylinderRounding = job->cylinderBased ? 1 : 0;
            break;
        }
        job->cylinderPageNeeded = 0;
        job->destName = FXString::null;
        return WIZARD_PAGE_DEST_PATH;
    case WIZARD_PAGE_DEST_PATH:
        job->destName = FXString::null;
        break;
    default:
        break;
    }
    return page;
}

int Routing_GetNextPage(ConversionJob* job, int page, int* message)
{
    int ignored;
    if (message == NULL) message = &ignored;
    *message = ROUTING_NO_MESSAGE;
    int next = Forward(job, page, message);
    if (next < 0) return -1;
    return Routing_ApplyEntryDefaults(job, next);
}

int Routing_GetPrevPage(ConversionJob* job, int page)
{
    int previous = Backward(job, page);
    if (previous < 0) return -1;
    BackCleanup(job, previous);
    return previous;
}
