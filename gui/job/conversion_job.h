// The settings record of one wizard run.
//
// The wizard window owns one ConversionJob for its whole life and hands it to every page by
// pointer; the pages write the user's choices into it, the wizard's routing reads it to pick
// the next page, and the conversion run reads it on its worker thread while the run lasts.
// The job owns the open source disk, the used-sector map and a plug-in output context; the
// plug-in list belongs to the wizard's plug-in scan. Only the GUI thread writes the record.
#pragma once

#include <fx.h>

#include <cstdint>
#include <vector>

#include "disk/disk.h"
#include "gui/frame/sector_size.h"
#include "gui/job/destinations.h"

struct PluginModule;
struct UsedSectorMap;

// One plug-in module found beside the executable.
struct PluginListEntry {
    FXString path;         // the executable's directory followed by the file name
    FXString label;        // "<name> Ver.a.b.c.d"
    PluginModule* module;  // NULL until a page loads the module from the path
};

// Source kinds (ConversionJob::sourceKind).
enum : int32_t {
    JOB_SOURCE_IMAGE = -1,    // an opened image or plug-in disk
    JOB_SOURCE_RAW_FILE = 0,  // a raw image file whose layout the user gives
    JOB_SOURCE_DEVICE = 1,    // a block device
    JOB_SOURCE_NEW_DISK = 2   // a new blank disk
};

// The size a new blank disk is offered first: 4 GiB of UI_SECTOR_BYTES sectors.
enum : uint64_t { JOB_NEW_DISK_DEFAULT_SECTORS = 8388608 };

struct ConversionJob {
    FXString sourcePath;         // image path (absolute), or a plug-in disk's text as typed
    FXString sourceDevice;       // block-device path
    DiskHandle* sourceDisk;      // the open source disk, owned
    UsedSectorMap* volumeList;   // used-sector map of the source, owned
    int32_t sourceKind;          // JOB_SOURCE_*
    uint8_t trimInPlace;         // trim the source in place instead of converting it
    uint8_t trimOption;          // the trim settings dialog's check box
    uint8_t geometryForcedAuto;  // the destination computes its own geometry
    uint8_t geometryRecompute;   // option pages recompute the geometry from the total
    int32_t destKind;            // DestKind
    uint8_t cylinderPageNeeded;  // the cylinder-boundary page was shown
    uint8_t cylinderBased;       // the destination geometry is cylinder based
    FXString destPath;           // destination path
    uint32_t formatFlags;        // per-format flag word
    uint8_t encryptionKey[16];
    uint8_t keySet;    // encryptionKey holds the source image's key
    void* pluginDest;  // plug-in output context made on the destination page, owned

    std::vector<PluginListEntry> plugins;  // every accepted plug-in module
    std::vector<int32_t> sourcePlugins;    // indexes into plugins: modules that supply disks
    std::vector<int32_t> destPlugins;      // indexes into plugins: modules that write images
    int32_t destPluginIndex;               // chosen entry of destPlugins, -1 none

    int32_t sourceChoice;     // source page radio: 0 image file or plug-in, 1 device, 2 new
    FXString sourceText;      // a text of the source page
    int32_t sourceListIndex;  // source page list: 0 the image file, k the source plug-in k

    int32_t newSizeUnit;  // new blank disk: size unit index
    uint64_t newSize;     // new blank disk: size in sectors
    uint8_t newOwnGeometry;
    uint32_t newHeads;
    uint32_t newSectors;
    uint32_t newSectorSize;

    uint64_t rawOffset;  // raw image file: data offset
    DiskGeometry rawGeometry;
    uint64_t deviceOffset;  // block device: start offset
    DiskGeometry deviceGeometry;

    uint32_t psHeads;  // split-set source
    uint32_t psSectors;
    uint32_t hsHeads;  // Bochs sparse source
    uint32_t hsSectors;
    uint32_t bgHeads;  // Bochs redolog source
    uint32_t bgSectors;
    FXString bgCompanionPath;  // base image of an undoable redolog

    uint64_t manualTotalSectors;  // geometry page
    uint32_t manualSectorSize;
    uint8_t geometryManual;
    uint32_t manualHeads;
    uint32_t manualSectors;

    uint32_t vmdkList4;  // VMDK options
    uint32_t vmdkRadio;
    uint32_t vmdkList14;
    uint32_t vmdkList3;
    uint8_t vmdkCheck;
    uint8_t vmdkSplit;
    uint32_t vmdkSplitSectors;

    uint32_t vhdxBlockIndex;  // VHDX options
    uint32_t vhdxList1;
    uint32_t vhdxList2;
    uint8_t vhdxCheck;

    uint32_t vhdLayoutIndex;  // VHD options
    uint32_t vhdCreatorIndex;
    uint32_t vhdFixedCreatorIndex;

    uint32_t parallelsRadio;  // Parallels bundle options
    uint8_t parallelsFlag;
    uint32_t parallelsNumber;

    uint32_t bochsGrowingList;  // Bochs options
    uint32_t bochsSparseList;

    FXString qcowKeyText;        // qcow options
    uint32_t qcow2ClusterIndex;  // qcow2 options
    FXString qcow2KeyText;

    uint32_t vdiList4;  // VDI options
    uint8_t vdiCheck;
    uint32_t vdiList3;

    uint32_t splitValues[5];  // partition-saving options
    uint8_t splitCheck1;
    uint32_t splitNumber;
    uint8_t splitCheck2;

    int32_t cylinderRounding;  // cylinder-boundary page: 0 keep, 1 up, 2 down
    FXString destName;         // destination page's path text

    DiskGeometry sourceGeometry;  // the source disk's geometry as read on the destination-type page
    DiskGeometry workGeometry;    // the source geometry with the geometry page's changes
    DiskGeometry destGeometry;    // the destination geometry decided by the option page
    DiskGeometry finalGeometry;   // the destination geometry after the cylinder-boundary page

    ConversionJob();
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;
};

// The construction defaults: empty texts, no source disk, map or plug-in output, source kind 0,
// destination kind 0, no chosen destination plug-in (-1), empty plug-in lists; every other
// number and geometry 0.
void ConversionJob_Init(ConversionJob* job);

// The used-sector map destroyed and freed.
void ConversionJob_ReleaseMap(ConversionJob* job);
// The source disk closed and freed.
void ConversionJob_ReleaseSource(ConversionJob* job);
// The chosen destination plug-in entry, or NULL when destPluginIndex names none.
PluginListEntry* ConversionJob_DestPlugin(ConversionJob* job);
// The plug-in output context released: through the destination plug-in that made it when that
// plug-in is chosen and loaded, otherwise freed; then cleared.
void ConversionJob_ReleasePluginOutput(ConversionJob* job);
// The job reset (at construction and after a finished run): map, source disk and plug-in output
// released; trimInPlace 0, sourceChoice 0, sourceText empty, sourceListIndex 0. Every other
// field keeps its value.
void ConversionJob_Reset(ConversionJob* job);
// At the end of the wizard: what the reset releases, the destination plug-in index -1, and
// every loaded plug-in module unloaded and freed.
void ConversionJob_Release(ConversionJob* job);
