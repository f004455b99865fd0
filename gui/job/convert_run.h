// The conversion run: the two job functions that the convert page runs on its worker thread
// (writing the source in the destination format, or trimming the source image in place), the
// options records they build from the job, and the file checks that keep a run from writing
// over what it reads.
//
// Nothing here touches a window: every function works on the ConversionJob and the engine, so
// that the run can be driven and checked without the wizard.
#pragma once

#include <fx.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/split_disk.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/io_failure.h"
#include "gui/frame/run_cause.h"
#include "gui/job/conversion_job.h"

// ---- Part questions ------------------------------------------------------------------------------
// A question for the file of a part of a split set, with its user value (the convert page).
struct ConvertPartRecord {
    SplitPartCallback callback;
    void* user;
};

// The part callback handed to the split writer and to the split-set reader (record = a
// ConvertPartRecord): the record's callback with (request, its user value); false (give up)
// without one.
bool ConvertRun_PartAdapter(SplitPartRequest* request, void* record);

// ---- Run context -------------------------------------------------------------------------------
// What a job function needs besides the job: the progress callback with its user value (the
// convert page and its handshake), the page's throttle clock, zeroed at the start of every run,
// and the place where a plug-in's failure text is kept.
struct ConvertRunContext {
    ProgressCallback progress;  // may be NULL: nothing is reported and nothing stops the run
    void* user;
    uint64_t* progressClock;  // may be NULL
    FXString pluginMessage;   // the destination plug-in's text after DISK_ERR_PLUGIN, else ""
    RunCause cause;           // why the last run failed, as far as it is known
    bool replaceBackups;      // a trim may replace earlier "_del" backups (the user said yes)
    int note;                 // after a successful trim: its IN_PLACE_NOTE_* (in_place.h)
    // Questions for part files of split sets (callbacks may be NULL): the next part of a
    // split-set source, and the name of each output part of the split-set destination.
    ConvertPartRecord sourcePart;
    ConvertPartRecord outputPart;
    ConvertRunContext()
        : progress(NULL), user(NULL), progressClock(NULL), replaceBackups(false), note(0)
    {
        sourcePart.callback = outputPart.callback = NULL;
        sourcePart.user = outputPart.user = NULL;
    }
};

// The progress callback handed to writers and compactions (user = the ConvertRunContext):
// the context's callback with (done, total, its user value); true without one.
bool ConvertRun_ProgressAdapter(uint64_t done, uint64_t total, void* context);

// ---- Job functions ---------------------------------------------------------------------------------
// Writes the job's source disk to destPath in the format of destKind, with the final geometry:
// when its total or its heads or sectors per track differ from the source's, the writer reads
// the source through a resizing view. The used-sector map goes to the writers that take one
// (a map without regions is handed on as none: every sector counts as used).
// Results: the writer's; DISK_ERR_ARG without a source, for a destination without a writer in
// the destination table, or for a destination that is the source or one of its files
// (ConvertRun_CheckDestination); DISK_ERR_NOMEM when an options record or the view cannot be allocated. context->cause
// receives what is known of a failure's cause (a file that could not be created or written, the
// first source sector that could not be read). A failed run removes the destination files it
// created (files that existed before stay, as does a plug-in's output); a cancelled run leaves
// what the writer wrote.
int ConvertRun_WriteImage(ConversionJob* job, ConvertRunContext* context);

// Rewrites the job's source image (sourcePath) without its unused blocks through files named
// with "_TEMP", then releases the source and the map (ConvertRun_ReleaseSource) and swaps the
// new files in, keeping the replaced ones under their names with "_del" appended. A failed or
// cancelled compaction removes its files and leaves the image untouched; a failed swap puts
// every original back under its own name and is reported as the failure it is.
// A file already under a "_del" name is replaced only when the context's replaceBackups is set;
// otherwise the swap is refused with DISK_ERR_BACKUP_EXISTS (image untouched, new files removed).
// Results: the compaction's, or the commit's failure; DISK_ERR_ARG (nothing released) without
// a source or for a kind that cannot be trimmed; DISK_ERR_PASSWORD (nothing released) for an
// encrypted source whose key the job does not hold.
int ConvertRun_TrimInPlace(ConversionJob* job, ConvertRunContext* context);

// The first "_del" backup that a trim of the job's source would replace: the backup name of a
// file the compaction rewrites (the image of a VHD or VHDX, every extent of a VMDK image) under which
// something exists already. False when there is none (or no trimmable source).
bool ConvertRun_ExistingTrimBackup(const ConversionJob* job, std::string* which);

// Destroys and frees the map, closes and frees the source disk, and sets both to NULL.
void ConvertRun_ReleaseSource(ConversionJob* job);

// Replaces the handle in *slot by a new resizing view of it with the geometry's total, heads
// and sectors per track. The view borrows the source: unwrapping (or closing the view) never
// closes it. DISK_ERR_NOMEM, or the view's failure, with *slot unchanged.
int ConvertRun_WrapSourceResized(DiskHandle** slot, const DiskGeometry* geometry);
// Detaches the view in *slot from the source it wraps, frees the view and puts the source
// back into the slot. Nothing happens when the slot holds no resizing view.
void ConvertRun_UnwrapSource(DiskHandle** slot);

// Whether the run reads the source through a resizing view for this final geometry: the totals
// differ, or the heads, or the sectors per track (bytes per sector are not compared).
bool ConvertRun_NeedsResize(const DiskGeometry* source, const DiskGeometry* final);

// The map handed to writers and compactions: the job's, or NULL when it has none or no region.
UsedSectorMap* ConvertRun_EffectiveMap(const ConversionJob* job);

// A map of `total` sectors for a source that a resizing view makes longer: a copy of the map's
// region list (the regions' drivers stay the map's) with the sectors past its end as one gap,
// which counts as used (the view reads zeros there). *out is left without regions when the map
// already covers the total. Release it with ConvertRun_ReleaseExtendedMap, never with
// UsedMap_Destroy. DISK_ERR_NOMEM.
int ConvertRun_ExtendMap(const UsedSectorMap* map, uint64_t total, UsedSectorMap* out);
void ConvertRun_ReleaseExtendedMap(UsedSectorMap* map);

// ---- Which destinations and trims this program can run ------------------------------------------
// Whether the destination table holds the check and the writer of a destination kind
// (Destination_IsAvailable); a kind outside the table is not available.
bool ConvertRun_IsDestinationAvailable(int32_t destKind);
// Source kinds that a trim can compact: those of the trim table (VMDK, VHD, VHDX, qcow2, VDI,
// Parallels image file and bundle).
bool ConvertRun_IsTrimAvailable(DiskKind kind);

// The key a trim hands to the compaction of an encrypted source: the job's key when it holds
// the source's key (keySet), NULL for a source that is not encrypted. DISK_ERR_PASSWORD for an
// encrypted source without the key: compacting it keyless would write plain data under an
// encrypted header.
int ConvertRun_TrimKey(const ConversionJob* job, bool sourceEncrypted, const uint8_t** key);

// ---- VHD options -------------------------------------------------------------------------------------
// The creator application and version of a creator list index (any index beyond the list
// gives "vpc " 5.3).
void ConvertRun_VhdCreator(uint32_t creatorIndex, VhdCreateOptions* options);
// The BAT alignment, block size and padding of a layout list index.
void ConvertRun_VhdLayout(uint32_t layoutIndex, VhdCreateOptions* options);
// The options of the dynamic VHD writer (creator and layout from the job) or of the fixed VHD
// writer (creator fields only; the rest zero).
void ConvertRun_BuildVhdOptions(const ConversionJob* job, bool dynamic, VhdCreateOptions* out);

// ---- VMDK options ----------------------------------------------------------------------------------
// Why a VMDK layout cannot be written.
enum : int {
    VMDK_LAYOUT_OK = 0,
    VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL = 1,  // a first extent of 63 sectors needs a disk above 63
    VMDK_LAYOUT_STREAM_NOT_SINGLE = 2,      // stream-optimised images have exactly one extent
    VMDK_LAYOUT_TOO_MANY_EXTENTS = 3,       // more than VMDK_MAX_EXTENTS extents
    VMDK_LAYOUT_EXTENT_TOO_LARGE = 4,       // an extent of 2^32 sectors or more
    VMDK_LAYOUT_NO_SECTORS = 5,             // an empty disk, or a split size of 0
    VMDK_LAYOUT_BAD_DISK_TYPE = 6           // a disk type beyond the list
};
// The extents of a VMDK image of `total` sectors: one; or 63 then the rest (first track apart);
// or pieces of splitSectors; or 63 then pieces of the rest. *count receives the number of
// extents, *largest the largest extent (both also when the layout is refused).
int ConvertRun_VmdkExtentPlan(uint64_t total, bool firstTrack, bool split, uint32_t splitSectors,
                              uint64_t* count, uint64_t* largest);
// The layout rules of the VMDK option page for a disk of `total` sectors: the extent plan must
// be writable, a first extent of its own needs more than 63 sectors, stream-optimised output
// (disk type 3) holds exactly one extent, and at most VMDK_MAX_EXTENTS extents.
int ConvertRun_CheckVmdkLayout(uint64_t total, uint32_t diskType, bool firstTrack, bool split,
                               uint32_t splitSectors);
// The options record of the VMDK writer from the job's VMDK fields for a disk of `total`
// sectors (Mem_Alloc; free it with Mem_Free). DISK_ERR_ARG with *out NULL when the layout is
// refused (ConvertRun_CheckVmdkLayout), DISK_ERR_NOMEM when the record cannot be allocated.
int ConvertRun_BuildVmdkOptions(const ConversionJob* job, uint64_t total, VmdkCreateOptions** out);

// ---- Files a destination writes and files the source reads ------------------------------------------
// Identity of a file: device and inode, and for a device node the device it names.
struct ConvertRunFileId {
    uint64_t device;
    uint64_t inode;
    bool blockDevice;
    uint64_t rdev;
};
// The identity of an existing path; false when it cannot be taken (a path that does not exist).
bool ConvertRun_FileId(const char* path, ConvertRunFileId* id);
// Whether two identities name the same file (or the same block device through two nodes).
bool ConvertRun_SameFile(const ConvertRunFileId& a, const ConvertRunFileId& b);
// Every file the source is read from: the source path of an image or raw-file source, the
// device path of a device source, and every file and block device this process holds open,
// which covers the extents, part files and parent images the open source disk keeps open.
// A path left from an earlier source (a new blank disk or a device chosen after an image) does
// not count.
void ConvertRun_SourceFiles(const ConversionJob* job, std::vector<ConvertRunFileId>* files);
// Every file a destination writes, in UTF-8: the path itself, then its siblings: the flat
// extent "<stem>-flat.<ext>" or the extents "<stem>-s001.<ext>"... of a VMDK image (from the
// job's VMDK fields and the final geometry), and the ".txt" description of the flat raw image.
// A Parallels bundle's path is its directory: its data files, descriptor and marker file come
// first, the directory (without a trailing separator) last.
void ConvertRun_DestinationFiles(const ConversionJob* job, const std::string& path,
                                 std::vector<std::string>* files);
// Refusals of a destination path.
enum : int {
    CONVERT_DEST_OK = 0,
    CONVERT_DEST_IS_SOURCE = 1,    // a file the destination writes is one the source reads
    CONVERT_DEST_SELF_OVERLAP = 2  // two files of the destination are one (a ".txt" image)
};
// Checks every file the destination writes (ConvertRun_DestinationFiles) against every file
// the source reads (ConvertRun_SourceFiles) by device and inode, and against each other by
// name. *which (may be NULL) receives the offending path.
int ConvertRun_CheckDestination(const ConversionJob* job, const std::string& path,
                                std::string* which);
