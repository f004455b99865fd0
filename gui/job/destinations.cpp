// The destination table.
#include "gui/job/destinations.h"

#include "disk/emulator_images.h"
#include "disk/plugin.h"
#include "disk/raw_writer.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vhdx/vhdx_writer.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_create.h"
#include "foundation/platform.h"
#include "gui/frame/messages.h"
#include "gui/job/conversion_job.h"
#include "gui/job/convert_run.h"

namespace {

// ---- Checks -------------------------------------------------------------------------------------

int CheckVmdk(ConversionJob*, DiskGeometry* g) { return Vmdk_CheckGeometry(g); }
int CheckCowd3(ConversionJob* job, DiskGeometry* g)
{
    if (Cowd_CheckGeometryV3(g) != 0) return -1;
    // Rounded up to whole SCSI cylinders, a larger total would pass the SCSI limit.
    const bool scsi = (job->formatFlags & 1u) != 0;
    return scsi && Geometry_GetTotalSectors(g) > COWD_MAX_SCSI_SECTORS ? -1 : 0;
}
int CheckCowd2(ConversionJob*, DiskGeometry* g) { return Cowd_CheckGeometryV1(g); }
int CheckVhdx(ConversionJob*, DiskGeometry* g) { return Vhdx_CheckGeometry(g); }
int CheckVhd(ConversionJob*, DiskGeometry* g) { return Vhd_CheckGeometry(g); }
int CheckVhdFixed(ConversionJob*, DiskGeometry* g) { return VhdFixed_CheckGeometry(g); }
int CheckBundle(ConversionJob*, DiskGeometry* g) { return ParallelsBundle_CheckGeometry(g); }
int CheckParallels(ConversionJob*, DiskGeometry* g) { return Parallels_CheckGeometry(g); }
int CheckBochs(ConversionJob*, DiskGeometry* g) { return Bochs_CheckGeometry(g); }
int CheckBochsSparse(ConversionJob*, DiskGeometry* g) { return BochsSparse_CheckGeometry(g); }
int CheckQcow(ConversionJob*, DiskGeometry* g) { return Qcow_CheckGeometry(*g); }
int CheckQcow2(ConversionJob*, DiskGeometry* g) { return Qcow2_CheckGeometry(*g); }
int CheckVdi(ConversionJob*, DiskGeometry* g) { return Vdi_CheckGeometry(g); }
int CheckHdi(ConversionJob*, DiskGeometry* g) { return Hdi_CheckGeometry(g); }
int CheckThd(ConversionJob*, DiskGeometry* g) { return Thd_CheckGeometry(g); }
int CheckNhd(ConversionJob*, DiskGeometry* g) { return Nhd_CheckGeometry(g); }
int CheckVhd100(ConversionJob*, DiskGeometry* g) { return Vhd100_CheckGeometry(g); }
int CheckPc98e(ConversionJob*, DiskGeometry* g) { return Pc98e_CheckGeometry(g); }
int CheckHdim(ConversionJob*, DiskGeometry* g) { return Hdim_CheckGeometry(g); }
int CheckUnz(ConversionJob*, DiskGeometry* g) { return Unz_CheckGeometry(g); }
int CheckSplit(ConversionJob*, DiskGeometry* g) { return SplitDisk_CheckGeometry(g); }
int CheckFlat(ConversionJob*, DiskGeometry* g) { return FlatImage_CheckGeometry(g); }
int CheckPlugin(ConversionJob* job, DiskGeometry* g)
{
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    if (entry == NULL || entry->module == NULL) return -1;
    return Plugin_CheckDestinationGeometry(entry->module, g);
}

// ---- Writers ------------------------------------------------------------------------------------

bool RoundUp(const DestinationWrite& w) { return w.job->formatFlags != 0; }

int WriteVmdk(const DestinationWrite& w)
{
    VmdkCreateOptions* options = NULL;
    int rc = ConvertRun_BuildVmdkOptions(w.job, w.total, &options);
    if (rc != DISK_OK) return rc;
    rc = Vmdk_Create(w.path, w.source, w.map, w.progress, w.user, options);
    Mem_Free(options);
    return rc;
}
int WriteCowd3(const DestinationWrite& w)
{
    return Cowd_CreateV3(w.path, w.source, w.map, w.progress, w.user,
                         (w.job->formatFlags & 1u) != 0);
}
int WriteCowd2(const DestinationWrite& w)
{
    return Cowd_CreateV1(w.path, w.source, w.map, w.progress, w.user, w.job->formatFlags != 0);
}
int WriteVhdx(const DestinationWrite& w)
{
    VhdxCreateOptions* options = Vhdx_AllocCreateOptions();
    if (options == NULL) return DISK_ERR_NOMEM;
    options->keepEveryBlock = w.job->vhdxCheck != 0 ? 1 : 0;
    options->blockSizeShift = w.job->vhdxBlockIndex;
    options->logicalSector4096 = w.job->vhdxList1;
    options->physicalSector4096 = w.job->vhdxList2;
    int rc = Vhdx_Create(w.path, w.source, w.map, w.progress, w.user, options);
    Mem_Free(options);
    return rc;
}
int WriteVhd(const DestinationWrite& w)
{
    VhdCreateOptions options;
    ConvertRun_BuildVhdOptions(w.job, true, &options);
    return Vhd_Create(w.path, w.source, w.map, w.progress, w.user, &options, w.job->formatFlags);
}
int WriteVhdFixed(const DestinationWrite& w)
{
    VhdCreateOptions options;
    ConvertRun_BuildVhdOptions(w.job, false, &options);
    return VhdFixed_Create(w.path, w.source, w.map, w.progress, w.user, &options);
}
int WriteBundle(const DestinationWrite& w)
{
    ParallelsBundleCreateOptions* options = ParallelsBundle_AllocCreateOptions();
    if (options == NULL) return DISK_ERR_NOMEM;
    options->compressed = w.job->parallelsRadio == 0 ? 1 : 0;
    options->splitSectors = w.job->parallelsFlag != 0 ? w.job->parallelsNumber : 0;
    options->extra = 0;
    int rc = ParallelsBundle_Create(w.path, w.source, w.map, w.progress, w.user, options);
    Mem_Free(options);
    return rc;
}
int WriteParallels(const DestinationWrite& w)
{
    return Parallels_Create(w.path, w.source, w.map, w.progress, w.user, w.job->formatFlags);
}
int WriteBochs(const DestinationWrite& w)
{
    BochsCreateOptions options = {w.job->bochsGrowingList != 0 ? (uint32_t)BOCHS_VERSION_2
                                                               : (uint32_t)BOCHS_VERSION_1};
    return Bochs_Create(w.path, w.source, w.map, w.progress, w.user, &options);
}
int WriteBochsSparse(const DestinationWrite& w)
{
    BochsSparseCreateOptions options = {w.job->bochsSparseList != 0 ? 2u : 1u};
    return BochsSparse_Create(w.path, w.source, w.map, w.progress, w.user, &options);
}
int WriteQcow(const DestinationWrite& w)
{
    return Qcow_Create(w.path, w.source, w.map, w.progress, w.user, (int)w.job->formatFlags,
                       w.job->encryptionKey);
}
int WriteQcow2(const DestinationWrite& w)
{
    Qcow2CreateOptions options;
    options.clusterBits = w.job->qcow2ClusterIndex + 9;
    return Qcow2_Create(w.path, w.source, w.map, w.progress, w.user, (int)w.job->formatFlags,
                        w.job->encryptionKey, &options);
}
int WriteVdi(const DestinationWrite& w)
{
    VdiCreateOptions options = {w.job->vdiList4, (uint8_t)(w.job->vdiCheck != 0 ? 1 : 0),
                                w.job->vdiList3};
    return Vdi_Create(w.path, w.source, w.map, w.progress, w.user, &options);
}
int WriteHdi(const DestinationWrite& w)
{
    return Hdi_Create(w.path, w.source, w.progress, w.user, RoundUp(w));
}
int WriteThd(const DestinationWrite& w)
{
    return Thd_Create(w.path, w.source, w.progress, w.user, RoundUp(w));
}
int WriteNhd(const DestinationWrite& w)
{
    return Nhd_Create(w.path, w.source, w.progress, w.user, RoundUp(w));
}
int WriteVhd100(const DestinationWrite& w)
{
    return Vhd100_Create(w.path, w.source, w.progress, w.user, RoundUp(w));
}
int WritePc98e(const DestinationWrite& w)
{
    return Pc98e_Create(w.path, w.source, w.progress, w.user);
}
int WriteHdim(const DestinationWrite& w)
{
    return Hdim_Create(w.path, w.source, w.progress, w.user);
}
int WriteUnz(const DestinationWrite& w)
{
    return Unz_Create(w.path, w.source, w.progress, w.user, RoundUp(w));
}
int WriteSplit(const DestinationWrite& w)
{
    SplitCreateOptions* options = SplitDisk_AllocCreateOptions();
    if (options == NULL) return DISK_ERR_NOMEM;
    const ConversionJob* job = w.job;
    options->firstValue = job->splitValues[0];
    options->cylindersValue = job->splitValues[1];
    options->heads = job->splitValues[2];
    options->sectorsPerTrack = job->splitValues[3];
    options->compressionLevel = job->splitValues[4];
    options->partsFromDescriptor = job->splitCheck1 != 0;
    options->partMiB = job->splitNumber;
    options->nameWithoutAsking = job->splitCheck2 != 0;
    int rc =
        SplitDisk_Create(w.path, w.source, w.progress, w.user, w.partCallback, w.partUser, options);
    Mem_Free(options);
    return rc;
}
int WriteFlat(const DestinationWrite& w)
{
    return FlatImage_Create(w.path, w.source, w.map, w.progress, w.user);
}
int WritePlugin(const DestinationWrite& w)
{
    PluginListEntry* entry = ConversionJob_DestPlugin(w.job);
    if (entry == NULL || entry->module == NULL) return DISK_ERR_ARG;
    return Plugin_WriteImage(entry->module, w.path, w.source, w.map, w.progress, w.user,
                             w.job->pluginDest);
}

const int kFirstOptionPage = 9;

// kind, list item, option page, pattern, auto geometry, VHD cylinders, needs a source disk,
// check, writer
DestinationRow gRows[DEST_KIND_COUNT] = {
    {DEST_VMDK, MSG_DEST_VMDK, kFirstOptionPage + 0, MSG_PATTERN_VMDK, false, false, false,
     CheckVmdk, WriteVmdk},
    {DEST_COWD3, MSG_DEST_COWD3, kFirstOptionPage + 1, MSG_PATTERN_VMDK, false, false, false,
     CheckCowd3, WriteCowd3},
    {DEST_COWD2, MSG_DEST_COWD2, kFirstOptionPage + 2, MSG_PATTERN_COWD2, false, false, false,
     CheckCowd2, WriteCowd2},
    {DEST_VHDX, MSG_DEST_VHDX, kFirstOptionPage + 3, MSG_PATTERN_VHDX, true, false, false,
     CheckVhdx, WriteVhdx},
    {DEST_VHD_DYNAMIC, MSG_DEST_VHD_DYNAMIC, kFirstOptionPage + 4, MSG_PATTERN_VHD, false, true,
     false, CheckVhd, WriteVhd},
    {DEST_VHD_FIXED, MSG_DEST_VHD_FIXED, kFirstOptionPage + 5, MSG_PATTERN_VHD, false, true, false,
     CheckVhdFixed, WriteVhdFixed},
    {DEST_PARALLELS_BUNDLE, MSG_DEST_PARALLELS_BUNDLE, kFirstOptionPage + 6, MSG_PATTERN_PARALLELS,
     false, false, false, CheckBundle, WriteBundle},
    {DEST_PARALLELS_FILE, MSG_DEST_PARALLELS_FILE, kFirstOptionPage + 7, MSG_PATTERN_PARALLELS,
     false, false, false, CheckParallels, WriteParallels},
    {DEST_BOCHS_GROWING, MSG_DEST_BOCHS_GROWING, kFirstOptionPage + 8, MSG_PATTERN_ALL_FILES, true,
     false, false, CheckBochs, WriteBochs},
    {DEST_BOCHS_SPARSE, MSG_DEST_BOCHS_SPARSE, kFirstOptionPage + 9, MSG_PATTERN_ALL_FILES, true,
     false, false, CheckBochsSparse, WriteBochsSparse},
    {DEST_QCOW, MSG_DEST_QCOW, kFirstOptionPage + 10, MSG_PATTERN_QCOW, true, false, false,
     CheckQcow, WriteQcow},
    {DEST_QCOW2, MSG_DEST_QCOW2, kFirstOptionPage + 11, MSG_PATTERN_QCOW2, true, false, false,
     CheckQcow2, WriteQcow2},
    {DEST_VDI, MSG_DEST_VDI, kFirstOptionPage + 12, MSG_PATTERN_VDI, false, false, false, CheckVdi,
     WriteVdi},
    {DEST_HDI, MSG_DEST_HDI, kFirstOptionPage + 13, MSG_PATTERN_HDI, false, false, false, CheckHdi,
     WriteHdi},
    {DEST_THD, MSG_DEST_THD, kFirstOptionPage + 14, MSG_PATTERN_THD, true, false, false, CheckThd,
     WriteThd},
    {DEST_NHD, MSG_DEST_NHD, kFirstOptionPage + 15, MSG_PATTERN_NHD, false, false, false, CheckNhd,
     WriteNhd},
    {DEST_VHD100, MSG_DEST_VHD100, kFirstOptionPage + 16, MSG_PATTERN_VHD100, false, false, false,
     CheckVhd100, WriteVhd100},
    {DEST_PC98E, MSG_DEST_PC98E, kFirstOptionPage + 17, MSG_PATTERN_ALL_FILES, true, false, false,
     CheckPc98e, WritePc98e},
    {DEST_HDIM, MSG_DEST_HDIM, kFirstOptionPage + 18, MSG_PATTERN_ALL_FILES, false, false, false,
     CheckHdim, WriteHdim},
    {DEST_UNZ, MSG_DEST_UNZ, kFirstOptionPage + 19, MSG_PATTERN_ALL_FILES, true, false, false,
     CheckUnz, WriteUnz},
    {DEST_SPLIT, MSG_DEST_SPLIT, kFirstOptionPage + 20, MSG_PATTERN_ALL_FILES, false, false, true,
     CheckSplit, WriteSplit},
    {DEST_FLAT, MSG_DEST_FLAT, kFirstOptionPage + 21, MSG_PATTERN_ALL_FILES, false, false, false,
     CheckFlat, WriteFlat},
    {DEST_PLUGIN, -1, -1, MSG_PATTERN_ALL_FILES, false, false, true, CheckPlugin, WritePlugin},
};

}  // namespace

const DestinationRow* Destination_Row(int32_t kind)
{
    if (kind < 0 || kind >= DEST_KIND_COUNT) return NULL;
    return &gRows[kind];
}

DestinationRow* Destination_Rows() { return gRows; }

bool Destination_IsAvailable(int32_t kind)
{
    const DestinationRow* row = Destination_Row(kind);
    return row != NULL && row->check != NULL && row->write != NULL;
}
