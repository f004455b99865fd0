// The settings record of one wizard run: defaults, release of what it owns, and the reset.
#include "gui/job/conversion_job.h"

#include <cstdlib>
#include <cstring>

#include "disk/plugin.h"
#include "foundation/platform.h"
#include "volume/used_map.h"

ConversionJob::ConversionJob() { ConversionJob_Init(this); }

void ConversionJob_Init(ConversionJob* job)
{
    DiskGeometry none;
    memset(&none, 0, sizeof none);

    job->sourcePath = FXString::null;
    job->sourceDevice = FXString::null;
    job->sourceDisk = NULL;
    job->volumeList = NULL;
    job->sourceKind = JOB_SOURCE_RAW_FILE;
    job->trimInPlace = 0;
    job->trimOption = 0;
    job->geometryForcedAuto = 0;
    job->geometryRecompute = 0;
    job->destKind = DEST_VMDK;
    job->cylinderPageNeeded = 0;
    job->cylinderBased = 0;
    job->destPath = FXString::null;
    job->formatFlags = 0;
    memset(job->encryptionKey, 0, sizeof job->encryptionKey);
    job->keySet = 0;
    job->pluginDest = NULL;
    job->plugins.clear();
    job->sourcePlugins.clear();
    job->destPlugins.clear();
    job->destPluginIndex = -1;
    job->sourceChoice = 0;
    job->sourceText = FXString::null;
    job->sourceListIndex = 0;

    job->newSizeUnit = 0;
    job->newSize = 0;
    job->newOwnGeometry = 0;
    job->newHeads = 0;
    job->newSectors = 0;
    job->newSectorSize = 0;
    job->rawOffset = 0;
    job->rawGeometry = none;
    job->deviceOffset = 0;
    job->deviceGeometry = none;
    job->psHeads = job->psSectors = 0;
    job->hsHeads = job->hsSectors = 0;
    job->bgHeads = job->bgSectors = 0;
    job->bgCompanionPath = FXString::null;
    job->manualTotalSectors = 0;
    job->manualSectorSize = 0;
    job->geometryManual = 0;
    job->manualHeads = job->manualSectors = 0;

    job->vmdkList4 = job->vmdkRadio = job->vmdkList14 = job->vmdkList3 = 0;
    job->vmdkCheck = job->vmdkSplit = 0;
    job->vmdkSplitSectors = 0;
    job->vhdxBlockIndex = job->vhdxList1 = job->vhdxList2 = 0;
    job->vhdxCheck = 0;
    job->vhdLayoutIndex = job->vhdCreatorIndex = job->vhdFixedCreatorIndex = 0;
    job->parallelsRadio = 0;
    job->parallelsFlag = 0;
    job->parallelsNumber = 0;
    job->bochsGrowingList = job->bochsSparseList = 0;
    job->qcowKeyText = FXString::null;
    job->qcow2ClusterIndex = 0;
    job->qcow2KeyText = FXString::null;
    job->vdiList4 = 0;
    job->vdiCheck = 0;
    job->vdiList3 = 0;
    memset(job->splitValues, 0, sizeof job->splitValues);
    job->splitCheck1 = 0;
    job->splitNumber = 0;
    job->splitCheck2 = 0;
    job->cylinderRounding = 0;
    job->destName = FXString::null;

    job->sourceGeometry = none;
    job->workGeometry = none;
    job->destGeometry = none;
    job->finalGeometry = none;
}

void ConversionJob_ReleaseMap(ConversionJob* job)
{
    if (job->volumeList == NULL) return;
    UsedMap_Destroy(job->volumeList);
    Mem_Free(job->volumeList);
    job->volumeList = NULL;
}

void ConversionJob_ReleaseSource(ConversionJob* job)
{
    if (job->sourceDisk == NULL) return;
    Disk_Close(job->sourceDisk);
    Mem_Free(job->sourceDisk);
    job->sourceDisk = NULL;
}

PluginListEntry* ConversionJob_DestPlugin(ConversionJob* job)
{
    int32_t k = job->destPluginIndex;
    if (k < 0 || static_cast<size_t>(k) >= job->destPlugins.size()) return NULL;
    int32_t entry = job->destPlugins[k];
    if (entry < 0 || static_cast<size_t>(entry) >= job->plugins.size()) return NULL;
    return &job->plugins[entry];
}

void ConversionJob_ReleasePluginOutput(ConversionJob* job)
{
    if (job->pluginDest == NULL) return;
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    if (entry != NULL && entry->module != NULL)
        Plugin_DestroyOutputContext(entry->module, job->pluginDest);
    else
        free(job->pluginDest);
    job->pluginDest = NULL;
}

void ConversionJob_Reset(ConversionJob* job)
{
    ConversionJob_ReleaseMap(job);
    ConversionJob_ReleaseSource(job);
    ConversionJob_ReleasePluginOutput(job);
    job->trimInPlace = 0;
    job->sourceChoice = 0;
    job->sourceText = FXString::null;
    job->sourceListIndex = 0;
}

void ConversionJob_Release(ConversionJob* job)
{
    ConversionJob_ReleaseMap(job);
    ConversionJob_ReleaseSource(job);
    ConversionJob_ReleasePluginOutput(job);
    job->destPluginIndex = -1;
    for (PluginListEntry& entry : job->plugins) {
        if (entry.module == NULL) continue;
        Plugin_Unload(entry.module);
        Mem_Free(entry.module);
        entry.module = NULL;
    }
}
