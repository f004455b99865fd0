// The conversion run: destination dispatch, in-place trim, options records and file checks.
#include "gui/job/convert_run.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "disk/plugin.h"
#include "disk/raw_writer.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_maintain.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx_writer.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_maintain.h"
#include "foundation/in_place.h"
#include "foundation/io_failure.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/text.h"
#include "volume/used_map.h"

namespace {

const uint32_t kFirstTrackSectors = 63;
const uint32_t kPluginMessageBytes = 256;

uint32_t FourCC(const char* code)
{
    return ((uint32_t)(uint8_t)code[0] << 24) | ((uint32_t)(uint8_t)code[1] << 16) |
           ((uint32_t)(uint8_t)code[2] << 8) | (uint32_t)(uint8_t)code[3];
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// The job's destination path as terminated UTF-8 (FXString holds UTF-8 already).
std::string Utf8(const FXString& text) { return std::string(text.text(), (size_t)text.length()); }

PluginModule* DestinationModule(ConversionJob* job)
{
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    return entry != NULL ? entry->module : NULL;
}

}  // namespace

// ---- Progress ---------------------------------------------------------------------------------------

bool ConvertRun_ProgressAdapter(uint64_t done, uint64_t total, void* context)
{
    ConvertRunContext* c = (ConvertRunContext*)context;
    if (c == NULL || c->progress == NULL) return true;
    return c->progress(done, total, c->user);
}

bool ConvertRun_PartAdapter(SplitPartRequest* request, void* record)
{
    ConvertPartRecord* r = (ConvertPartRecord*)record;
    if (r == NULL || r->callback == NULL) return false;
    return r->callback(request, r->user);
}

namespace {

// The part callback for a record: the adapter, or NULL where the record holds no callback (the
// split writer and reader then refuse to go past the first part).
SplitPartCallback PartCallbackFor(const ConvertPartRecord& record)
{
    return record.callback != NULL ? ConvertRun_PartAdapter : NULL;
}

}  // namespace

// ---- Source handling ----------------------------------------------------------------------------------

void ConvertRun_ReleaseSource(ConversionJob* job)
{
    ConversionJob_ReleaseMap(job);
    ConversionJob_ReleaseSource(job);
}

bool ConvertRun_NeedsResize(const DiskGeometry* source, const DiskGeometry* final)
{
    return Geometry_GetTotalSectors(source) != Geometry_GetTotalSectors(final) ||
           source->heads != final->heads || source->sectors_per_track != final->sectors_per_track;
}

int ConvertRun_WrapSourceResized(DiskHandle** slot, const DiskGeometry* geometry)
{
    if (slot == NULL || *slot == NULL || geometry == NULL) return DISK_ERR_ARG;
    DiskHandle* view = Disk_Alloc();
    if (view == NULL) return DISK_ERR_NOMEM;
    Disk_Init(view);
    int rc = Disk_OpenResized(view, *slot, false, Geometry_GetTotalSectors(geometry));
    if (rc != DISK_OK) {
        Mem_Free(view);
        return rc;
    }
    ResizeDisk_SetHeadsAndSectors((ResizeView*)Disk_GetObject(view), geometry->heads,
                                  geometry->sectors_per_track);
    *slot = view;
    return DISK_OK;
}

void ConvertRun_UnwrapSource(DiskHandle** slot)
{
    if (slot == NULL || *slot == NULL || Disk_GetKind(*slot) != DISK_KIND_RESIZE) return;
    DiskHandle* view = *slot;
    DiskHandle* source = Disk_DetachResizeView(view);
    if (source == NULL) return;
    Mem_Free(view);
    *slot = source;
}

UsedSectorMap* ConvertRun_EffectiveMap(const ConversionJob* job)
{
    UsedSectorMap* map = job->volumeList;
    if (map == NULL || map->regionCount == 0) return NULL;
    return map;
}

int ConvertRun_ExtendMap(const UsedSectorMap* map, uint64_t total, UsedSectorMap* out)
{
    UsedMap_Init(out);
    if (map == NULL || map->regionCount == 0) return DISK_OK;
    const VolumeRegion& last = map->regions[map->regionCount - 1];
    const uint64_t end = last.first + last.count;
    if (total <= end) return DISK_OK;
    if (map->regionCount == UINT32_MAX) return DISK_ERR_NOMEM;
    uint64_t bytes = 0;
    if (!Math_MulU64((uint64_t)map->regionCount + 1, sizeof(VolumeRegion), &bytes) ||
        bytes > SIZE_MAX)
        return DISK_ERR_NOMEM;
    VolumeRegion* regions = (VolumeRegion*)Mem_Alloc((size_t)bytes);
    if (regions == NULL) return DISK_ERR_NOMEM;
    memcpy(regions, map->regions, sizeof(VolumeRegion) * map->regionCount);
    VolumeRegion_Init(&regions[map->regionCount]);
    regions[map->regionCount].first = end;
    regions[map->regionCount].count = total - end;
    regions[map->regionCount].kind = FS_KIND_GAP;
    out->bytesPerSector = map->bytesPerSector;
    out->regionCount = map->regionCount + 1;
    out->regions = regions;
    return DISK_OK;
}

void ConvertRun_ReleaseExtendedMap(UsedSectorMap* map)
{
    // The regions' driver objects belong to the map that was extended.
    Mem_Free(map->regions);
    UsedMap_Init(map);
}

// ---- Availability ----------------------------------------------------------------------------------------

bool ConvertRun_IsDestinationAvailable(int32_t destKind)
{
    return Destination_IsAvailable(destKind);
}

int ConvertRun_TrimKey(const ConversionJob* job, bool sourceEncrypted, const uint8_t** key)
{
    *key = NULL;
    if (!sourceEncrypted) return DISK_OK;
    if (!job->keySet) return DISK_ERR_PASSWORD;
    *key = job->encryptionKey;
    return DISK_OK;
}

// ---- VHD options ---------------------------------------------------------------------------------------------

void ConvertRun_VhdCreator(uint32_t creatorIndex, VhdCreateOptions* options)
{
    switch (creatorIndex) {
    case 0:
        options->creatorApplication = FourCC("vs  ");
        options->creatorVersion = 0x00010000;
        break;
    case 1:
        options->creatorApplication = FourCC("vpc ");
        options->creatorVersion = 0x00050000;
        break;
    case 3:
        options->creatorApplication = FourCC("vpc ");
        options->creatorVersion = 0x00010000;
        break;
    case 4:
        options->creatorApplication = FourCC("win ");
        options->creatorVersion = 0x00060001;
        break;
    case 5:
        options->creatorApplication = FourCC("win ");
        options->creatorVersion = 0x00060002;
        break;
    default:
        options->creatorApplication = FourCC("vpc ");
        options->creatorVersion = 0x00050003;
        break;
    }
}

void ConvertRun_VhdLayout(uint32_t layoutIndex, VhdCreateOptions* options)
{
    uint32_t align = 0, block = 4096, afterBat = 1, afterBlock = 0;
    switch (layoutIndex) {
    case 1:
        block = 1024;
        break;
    case 2:
        block = 0x8000;
        afterBat = 4;
        break;
    case 3:
        block = 0x8000;
        afterBat = 3;
        break;
    case 5:
        afterBat = 0;
        break;
    case 6:
        align = 1;
        afterBat = 7;
        afterBlock = 7;
        break;
    default:
        break;
    }
    options->batAlignment = align;
    options->blockSectors = block;
    options->zeroSectorsAfterBat = afterBat;
    options->zeroSectorsAfterBlock = afterBlock;
}

void ConvertRun_BuildVhdOptions(const ConversionJob* job, bool dynamic, VhdCreateOptions* out)
{
    memset(out, 0, sizeof *out);
    if (dynamic) {
        ConvertRun_VhdCreator(job->vhdCreatorIndex, out);
        ConvertRun_VhdLayout(job->vhdLayoutIndex, out);
    } else {
        ConvertRun_VhdCreator(job->vhdFixedCreatorIndex, out);
    }
}

// ---- VMDK options ---------------------------------------------------------------------------------------------

int ConvertRun_VmdkExtentPlan(uint64_t total, bool firstTrack, bool split, uint32_t splitSectors,
                              uint64_t* count, uint64_t* largest)
{
    *count = 0;
    *largest = 0;
    if (total == 0 || (split && splitSectors == 0)) return VMDK_LAYOUT_NO_SECTORS;
    if (firstTrack && total <= kFirstTrackSectors) {
        // The rest after the first track would be empty or wrap below zero.
        *count = 1;
        *largest = total;
        return VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL;
    }
    uint64_t rest = firstTrack ? total - kFirstTrackSectors : total;
    uint64_t pieces = split ? CeilDiv(rest, splitSectors) : 1;
    uint64_t piece = split ? (rest < splitSectors ? rest : splitSectors) : rest;
    *count = pieces + (firstTrack ? 1 : 0);
    *largest = firstTrack && piece < kFirstTrackSectors ? kFirstTrackSectors : piece;
    if (*count > VMDK_MAX_EXTENTS) return VMDK_LAYOUT_TOO_MANY_EXTENTS;
    if (*largest > 0xFFFFFFFFull) return VMDK_LAYOUT_EXTENT_TOO_LARGE;
    return VMDK_LAYOUT_OK;
}

int ConvertRun_CheckVmdkLayout(uint64_t total, uint32_t diskType, bool firstTrack, bool split,
                               uint32_t splitSectors)
{
    uint64_t count, largest;
    int rc = ConvertRun_VmdkExtentPlan(total, firstTrack, split, splitSectors, &count, &largest);
    if (rc != VMDK_LAYOUT_OK) return rc;
    if (diskType >= 3 && count != 1) return VMDK_LAYOUT_STREAM_NOT_SINGLE;
    return VMDK_LAYOUT_OK;
}

int ConvertRun_BuildVmdkOptions(const ConversionJob* job, uint64_t total, VmdkCreateOptions** out)
{
    *out = NULL;
    const bool firstTrack = job->vmdkCheck != 0;
    const bool split = job->vmdkSplit != 0;
    const uint32_t size = job->vmdkSplitSectors;
    if (ConvertRun_CheckVmdkLayout(total, job->vmdkList4, firstTrack, split, size) !=
        VMDK_LAYOUT_OK)
        return DISK_ERR_ARG;
    uint64_t count, largest;
    ConvertRun_VmdkExtentPlan(total, firstTrack, split, size, &count, &largest);
    VmdkCreateOptions* o = Vmdk_AllocCreateOptions((uint32_t)count);
    if (o == NULL) return DISK_ERR_NOMEM;
    o->mode = 0;
    o->adapter = job->vmdkRadio == 0 ? 0 : job->vmdkRadio == 1 ? 1 : 2;
    o->hwVersionIndex = job->vmdkList14;
    o->encodingChoice = job->vmdkList3;
    o->flat = job->vmdkList4 == 1 ? VMDK_LAYOUT_FLAT : VMDK_LAYOUT_SPARSE;
    o->compressedGrains = job->vmdkList4 >= 2 ? 1 : 0;
    o->streamOptimized = job->vmdkList4 >= 3 ? 1 : 0;
    // Several extents are listed in a descriptor of their own; a single extent never is, since
    // it would share its name with that descriptor.
    o->split = count > 1 ? 1 : 0;
    uint64_t left = total;
    uint32_t index = 0;
    if (firstTrack) {
        Vmdk_CreateOptionsExtent(o, index++)->sectors = kFirstTrackSectors;
        left -= kFirstTrackSectors;
    }
    while (index < count) {
        uint64_t n = split && left > size ? size : left;
        Vmdk_CreateOptionsExtent(o, index++)->sectors = (uint32_t)n;
        left -= n;
    }
    *out = o;
    return DISK_OK;
}

// ---- File identities ------------------------------------------------------------------------------------

namespace {

void IdFromStat(const struct stat& st, ConvertRunFileId* id)
{
    id->device = (uint64_t)st.st_dev;
    id->inode = (uint64_t)st.st_ino;
    id->blockDevice = S_ISBLK(st.st_mode);
    id->rdev = (uint64_t)st.st_rdev;
}

void AddPath(const FXString& path, std::vector<ConvertRunFileId>* files)
{
    if (path.empty()) return;
    ConvertRunFileId id;
    if (ConvertRun_FileId(path.text(), &id)) files->push_back(id);
}

}  // namespace

bool ConvertRun_FileId(const char* path, ConvertRunFileId* id)
{
    struct stat st;
    if (path == NULL || path[0] == 0 || stat(path, &st) != 0) return false;
    IdFromStat(st, id);
    return true;
}

bool ConvertRun_SameFile(const ConvertRunFileId& a, const ConvertRunFileId& b)
{
    if (a.device == b.device && a.inode == b.inode) return true;
    return a.blockDevice && b.blockDevice && a.rdev == b.rdev;
}

void ConvertRun_SourceFiles(const ConversionJob* job, std::vector<ConvertRunFileId>* files)
{
    if (job->sourceKind == JOB_SOURCE_IMAGE || job->sourceKind == JOB_SOURCE_RAW_FILE)
        AddPath(job->sourcePath, files);
    if (job->sourceKind == JOB_SOURCE_DEVICE) AddPath(job->sourceDevice, files);
    // The open source disk holds every file it reads open: its extents, part files and parent
    // images, whatever the format. Nothing else of this program keeps a file open meanwhile.
    DIR* dir = opendir("/proc/self/fd");
    if (dir == NULL) return;
    const int own = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        char* end = NULL;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || fd < 0 || fd == own) continue;
        struct stat st;
        if (fstat((int)fd, &st) != 0) continue;
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) continue;
        ConvertRunFileId id;
        IdFromStat(st, &id);
        files->push_back(id);
    }
    closedir(dir);
}

void ConvertRun_DestinationFiles(const ConversionJob* job, const std::string& path,
                                 std::vector<std::string>* files)
{
    // A bundle's path is its directory, which the bundle's own list names last.
    if (job->destKind != DEST_PARALLELS_BUNDLE) files->push_back(path);
    TextView whole = {(const uint8_t*)path.data(), (uint32_t)path.size()};
    TextView dir, stem, ext;
    Path_SplitStemExtUtf8(whole, &dir, &stem, &ext);
    const std::string d((const char*)dir.data, dir.length);
    const std::string s((const char*)stem.data, stem.length);
    const std::string e((const char*)ext.data, ext.length);
    if (job->destKind == DEST_VMDK) {
        uint64_t total = Geometry_GetTotalSectors(&job->finalGeometry);
        uint64_t count = 0, largest = 0;
        ConvertRun_VmdkExtentPlan(total, job->vmdkCheck != 0, job->vmdkSplit != 0,
                                  job->vmdkSplitSectors, &count, &largest);
        const bool flat = job->vmdkList4 == 1;
        if (count == 1 && flat) {
            files->push_back(d + s + "-flat" + (e.empty() ? "" : "." + e));
        } else if (count > 1 && count <= VMDK_MAX_EXTENTS) {
            for (uint64_t i = 1; i <= count; ++i) {
                char number[16];
                snprintf(number, sizeof number, "-s%03u", (unsigned)i);
                files->push_back(d + s + number + (e.empty() ? "" : "." + e));
            }
        }
    } else if (job->destKind == DEST_COWD3) {
        // Version-3 extents after the first: "-02", "-03", ... before the extension.
        const uint64_t total = Geometry_GetTotalSectors(&job->finalGeometry);
        const uint64_t count = (total + COWD_EXTENT_SECTORS - 1) / COWD_EXTENT_SECTORS;
        for (uint64_t i = 2; i <= count && i <= COWD_MAX_EXTENTS + 1; ++i) {
            char number[16];
            snprintf(number, sizeof number, "-%02u.", (unsigned)i);
            files->push_back(d + s + number + e);
        }
    } else if (job->destKind == DEST_BOCHS_GROWING || job->destKind == DEST_BOCHS_SPARSE ||
               job->destKind == DEST_FLAT) {
        // The description beside the image.
        files->push_back(d + s + ".txt");
    } else if (job->destKind == DEST_PARALLELS_BUNDLE) {
        // The bundle directory's files, then the directory (the path, with or without its
        // trailing separator): it goes once it is empty.
        const DiskGeometry& g = job->finalGeometry;
        const uint64_t total = Geometry_GetTotalSectors(&g);
        const uint64_t block = Parallels_BlockSectors(g.heads, g.sectors_per_track);
        uint64_t storage = total;
        if (job->parallelsFlag != 0 && block != 0) storage = job->parallelsNumber / block * block;
        std::string dir = path;
        while (dir.size() > 1 && dir[dir.size() - 1] == '/') dir.erase(dir.size() - 1);
        const std::string name = dir.substr(dir.rfind('/') + 1);
        if (storage != 0 && total / storage < 100000) {
            for (uint64_t k = 0; k * storage < total; ++k)
                files->push_back(dir + "/" + name + "." + std::to_string(k) +
                                 ".{5fbaabe3-6958-40ff-92a7-860e329aab41}.hds");
        }
        files->push_back(dir + "/DiskDescriptor.xml");
        files->push_back(dir + "/" + name);
        files->push_back(dir);
    } else if (job->destKind == DEST_SPLIT && job->splitCheck1 == 0 && job->splitNumber != 0) {
        // Parts named by the writer (a part named otherwise by the user is not known here).
        const uint64_t bytes = Geometry_GetTotalSectors(&job->finalGeometry) * UI_SECTOR_BYTES;
        const uint64_t room = ((uint64_t)job->splitNumber << 20) - SPLIT_HEADER_BYTES;
        const uint64_t parts = (bytes + room - 1) / room;
        for (uint64_t k = 1; k < parts && k < SPLIT_MAX_PARTS; ++k) {
            char number[16];
            snprintf(number, sizeof number, k <= 99 ? ".p%02u" : ".p%u", (unsigned)k);
            files->push_back(d + s + number);
        }
    }
}

int ConvertRun_CheckDestination(const ConversionJob* job, const std::string& path,
                                std::string* which)
{
    std::vector<std::string> outputs;
    ConvertRun_DestinationFiles(job, path, &outputs);
    std::vector<ConvertRunFileId> outputIds(outputs.size());
    std::vector<bool> exists(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i)
        exists[i] = ConvertRun_FileId(outputs[i].c_str(), &outputIds[i]);
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            bool same = outputs[i] == outputs[j] ||
                        (exists[i] && exists[j] && ConvertRun_SameFile(outputIds[i], outputIds[j]));
            if (same) {
                if (which) *which = outputs[i];
                return CONVERT_DEST_SELF_OVERLAP;
            }
        }
    }
    std::vector<ConvertRunFileId> sources;
    ConvertRun_SourceFiles(job, &sources);
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (!exists[i]) continue;
        for (const ConvertRunFileId& s : sources) {
            if (ConvertRun_SameFile(outputIds[i], s)) {
                if (which) *which = outputs[i];
                return CONVERT_DEST_IS_SOURCE;
            }
        }
    }
    return CONVERT_DEST_OK;
}

// ---- Conversion ----------------------------------------------------------------------------------------

namespace {

int WriteDestination(ConversionJob* job, ConvertRunContext* context, const char* path,
                     DiskHandle* source, UsedSectorMap* map, uint64_t total)
{
    const DestinationRow* row = Destination_Row(job->destKind);
    if (row == NULL || row->write == NULL) return DISK_ERR_ARG;
    DestinationWrite write = {job,
                              path,
                              source,
                              map,
                              total,
                              ConvertRun_ProgressAdapter,
                              context,
                              PartCallbackFor(context->outputPart),
                              &context->outputPart};
    const int rc = row->write(write);
    if (job->destKind == DEST_PLUGIN && rc == DISK_ERR_PLUGIN) {
        PluginModule* module = DestinationModule(job);
        char text[kPluginMessageBytes];
        int encoding = -1;
        if (module != NULL && Plugin_FetchErrorMessage(module, text, sizeof text, &encoding) &&
            encoding == 0)
            context->pluginMessage = FXString(text);
    }
    return rc;
}

}  // namespace

namespace {

std::string ParentFolder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first sector in [first, first + count) that the source cannot read; `first` when every
// one reads (the failure came from elsewhere in that range).
uint64_t FirstUnreadableSector(DiskHandle* source, uint64_t first, uint64_t count,
                               uint32_t bytesPerSector)
{
    std::vector<uint8_t> sector(bytesPerSector);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset = 0;
        if (!Math_MulU64(first + i, bytesPerSector, &offset)) break;
        if (Disk_Read(source, offset, bytesPerSector, sector.data()) != DISK_OK) return first + i;
    }
    return first;
}

// What the failed engine call of this thread left: which file operation failed and how, or
// which source range could not be read.
RunCause TakeCause(DiskHandle* source, const std::string& path)
{
    RunCause cause;
    const IoFailure failure = IoFailure_Get();
    switch (failure.kind) {
    case IO_FAILURE_CREATE:
        cause.kind = RUN_CAUSE_CREATE;
        cause.error = failure.error;
        cause.folderMissing = !IsFolder(ParentFolder(path));
        break;
    case IO_FAILURE_WRITE:
        cause.kind = RUN_CAUSE_WRITE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_READ: {
        DiskGeometry g;
        memset(&g, 0, sizeof g);
        Disk_GetGeometry(source, &g);
        const uint32_t bps = g.bytes_per_sector != 0 ? g.bytes_per_sector : UI_SECTOR_BYTES;
        cause.kind = RUN_CAUSE_READ;
        const uint64_t first = failure.offset / bps;
        const uint64_t count = CeilDiv(failure.offset % bps + failure.length, bps);
        cause.sector = FirstUnreadableSector(source, first, count, bps);
        break;
    }
    default:
        break;
    }
    return cause;
}

}  // namespace

int ConvertRun_WriteImage(ConversionJob* job, ConvertRunContext* context)
{
    if (context->progressClock) *context->progressClock = 0;
    context->pluginMessage = FXString::null;
    context->cause = RunCause();
    if (job->sourceDisk == NULL) return DISK_ERR_ARG;
    // A split-set source asks the page for each next part.
    if (Disk_GetKind(job->sourceDisk) == DISK_KIND_SPLIT)
        SplitDisk_SetPartRequestCallback((SplitDisk*)Disk_GetObject(job->sourceDisk),
                                         PartCallbackFor(context->sourcePart),
                                         &context->sourcePart);
    const std::string path = Utf8(job->destPath);
    // A plug-in destination names what the plug-in understands; where that is a file the source
    // reads, it is refused as any other destination.
    if (job->destKind == DEST_PLUGIN) {
        const FXString absolute = FXPath::absolute(job->destPath);
        if (ConvertRun_CheckDestination(job, Utf8(absolute), NULL) == CONVERT_DEST_IS_SOURCE)
            return DISK_ERR_ARG;
    } else if (ConvertRun_CheckDestination(job, path, NULL) != CONVERT_DEST_OK) {
        return DISK_ERR_ARG;
    }
    // The files this run creates, so that a failure can take them away again.
    std::vector<std::string> created;
    if (job->destKind != DEST_PLUGIN) {
        std::vector<std::string> outputs;
        ConvertRun_DestinationFiles(job, path, &outputs);
        for (const std::string& f : outputs)
            if (!Os_PathExists(f.c_str())) created.push_back(f);
    }
    IoFailure_Clear();

    DiskGeometry source;
    memset(&source, 0, sizeof source);
    Disk_GetGeometry(job->sourceDisk, &source);
    DiskGeometry final = job->finalGeometry;
    if (job->destKind == DEST_COWD2) {
        // One version-1 file holds whole cylinders up to its limit; a larger disk is refused,
        // never cut to the limit.
        const uint32_t clamped = Cowd_ClampCapacityV1(&final);
        if (clamped < Geometry_GetTotalSectors(&final)) return DISK_ERR_ARG;
        Geometry_SetTotalSectors(&final, clamped);
    }
    UsedSectorMap* map = ConvertRun_EffectiveMap(job);

    DiskHandle* slot = job->sourceDisk;
    bool wrapped = false;
    UsedSectorMap extended;
    UsedMap_Init(&extended);
    if (ConvertRun_NeedsResize(&source, &final)) {
        int rc = ConvertRun_WrapSourceResized(&slot, &final);
        if (rc != DISK_OK) return rc;
        wrapped = true;
        // Writers ask the map about every sector they write, also those the view adds.
        if (map != NULL) {
            rc = ConvertRun_ExtendMap(map, Geometry_GetTotalSectors(&final), &extended);
            if (rc != DISK_OK) {
                ConvertRun_UnwrapSource(&slot);
                return rc;
            }
            if (extended.regions != NULL) map = &extended;
        }
    }
    int rc =
        WriteDestination(job, context, path.c_str(), slot, map, Geometry_GetTotalSectors(&final));
    if (rc != DISK_OK && rc != DISK_CANCELLED) {
        context->cause = TakeCause(slot, path);
        // A half-written image may well read as a whole one: it must not stay behind.
        for (const std::string& f : created) Os_RemoveFile(f.c_str());
    }
    if (wrapped) ConvertRun_UnwrapSource(&slot);
    ConvertRun_ReleaseExtendedMap(&extended);
    return rc;
}

// ---- Trim ------------------------------------------------------------------------------------------------

namespace {

// What a trim hands every compaction.
struct TrimArgs {
    ConversionJob* job;
    ConvertRunContext* context;
    const char* path;  // the source image's path, UTF-8
    UsedSectorMap* map;
    bool flag;        // the trim settings' option
    TextView suffix;  // the backup suffix ("_del")
    uint32_t commitFlags;
};

// A compaction into one new file beside the image, and its commit and discard.
typedef int (*TrimCompactFile)(const TrimArgs& t, OutputFile* output);
typedef int (*TrimCommitFile)(OutputFile* output, TextView suffix, uint32_t flags);
typedef int (*TrimDiscardFile)(OutputFile* output);
// A compaction that replaces several files (rewrites, then commits or discards itself).
typedef int (*TrimRunSet)(const TrimArgs& t);
// The files a trim of the open source replaces (their "_del" names must be free); false when
// the source cannot be trimmed.
typedef bool (*TrimReplacedFiles)(const ConversionJob* job, std::vector<std::string>* files);
// A refusal before anything is written or released (DISK_OK: go on).
typedef int (*TrimPrecheck)(const TrimArgs& t);

struct TrimRow {
    DiskKind kind;
    TrimCompactFile compact;  // one-file kinds (commit and discard go with it)
    TrimCommitFile commit;
    TrimDiscardFile discard;
    TrimRunSet runSet;  // several-file kinds
    TrimReplacedFiles replaced;
    TrimPrecheck precheck;  // may be NULL
};

int CompactVhd(const TrimArgs& t, OutputFile* o)
{
    return Vhd_Compact(t.path, t.job->sourceDisk, t.map, o, t.flag, ConvertRun_ProgressAdapter,
                       t.context);
}
int CommitVhd(OutputFile* o, TextView suffix, uint32_t flags)
{
    return Vhd_CommitCompact(o, suffix, flags, false);
}
int CompactVhdx(const TrimArgs& t, OutputFile* o)
{
    return Vhdx_Compact(t.path, t.job->sourceDisk, t.map, o, t.flag, ConvertRun_ProgressAdapter,
                        t.context);
}
// The key of an encrypted qcow2 source (NULL for a plain one).
int Qcow2Key(const TrimArgs& t, const uint8_t** key)
{
    const Qcow2Image* image = (const Qcow2Image*)Disk_GetObject(t.job->sourceDisk);
    return ConvertRun_TrimKey(t.job, image != NULL && Qcow2_IsAesEncrypted(image), key);
}
int CheckQcow2Key(const TrimArgs& t)
{
    const uint8_t* key = NULL;
    return Qcow2Key(t, &key);
}
int CompactQcow2(const TrimArgs& t, OutputFile* o)
{
    const uint8_t* key = NULL;
    int rc = Qcow2Key(t, &key);
    if (rc != DISK_OK) return rc;
    return Qcow2_Compact(t.path, t.job->sourceDisk, t.map, o, t.flag, ConvertRun_ProgressAdapter,
                         t.context, key);
}
int CompactVdi(const TrimArgs& t, OutputFile* o)
{
    return Vdi_Compact(t.path, t.job->sourceDisk, t.map, o, t.flag, ConvertRun_ProgressAdapter,
                       t.context);
}
int CompactParallels(const TrimArgs& t, OutputFile* o)
{
    return Parallels_Compact(t.path, t.job->sourceDisk, t.map, o, t.flag,
                             ConvertRun_ProgressAdapter, t.context);
}

int RunVmdk(const TrimArgs& t)
{
    VmdkCompactSet set;
    Vmdk_InitCompactSet(&set);
    int rc =
        Vmdk_Compact(t.job->sourceDisk, t.map, &set, t.flag, ConvertRun_ProgressAdapter, t.context);
    // The image's files are closed before anything takes their names.
    ConvertRun_ReleaseSource(t.job);
    if (rc != DISK_OK) {
        Vmdk_DiscardCompact(&set);
        return rc;
    }
    // A failed swap leaves every original in place and removes the new files.
    return Vmdk_CommitCompact(&set, t.suffix, t.commitFlags);
}
int RunBundle(const TrimArgs& t)
{
    OutputList list;
    OutputList_Init(&list);
    int rc = ParallelsBundle_Compact(t.path, t.job->sourceDisk, t.map, &list, t.flag,
                                     ConvertRun_ProgressAdapter, t.context);
    ConvertRun_ReleaseSource(t.job);
    if (rc != DISK_OK) {
        ParallelsBundle_DiscardCompact(&list);
        return rc;
    }
    // A failed swap leaves every original in place and removes the new files.
    return ParallelsBundle_CommitCompact(&list, t.suffix, t.commitFlags);
}

bool ReplacedImageFile(const ConversionJob* job, std::vector<std::string>* files)
{
    files->push_back(Utf8(job->sourcePath));
    return true;
}
bool ReplacedVmdkFiles(const ConversionJob* job, std::vector<std::string>* files)
{
    const VmdkImage* image = (const VmdkImage*)Disk_GetObject(job->sourceDisk);
    if (image == NULL || Vmdk_SparseExtentCount(image) == 0) return false;
    // A descriptor file of its own is replaced too (it names the new extent files).
    files->push_back(Vmdk_ImagePath(image));
    for (uint32_t i = 0; i < Vmdk_SparseExtentCount(image); ++i)
        files->push_back(Vmdk_SparseExtentPath(image, i));
    return true;
}
bool ReplacedBundleFiles(const ConversionJob* job, std::vector<std::string>* files)
{
    const ParallelsBundle* bundle = (const ParallelsBundle*)Disk_GetObject(job->sourceDisk);
    if (bundle == NULL) return false;
    // The descriptor is replaced (it names the new data files).
    ParallelsDescriptor descriptor;
    char descriptorPath[PARALLELS_BUNDLE_PATH_BYTES];
    if (ParallelsBundle_ReadDescriptor(&descriptor, FileOpener_DefaultOpen, NULL,
                                       Utf8(job->sourcePath).c_str(), descriptorPath) == DISK_OK) {
        files->push_back(descriptorPath);
        ParallelsDescriptor_Free(&descriptor);
    }
    for (uint32_t i = 0; i < ParallelsBundle_StorageCount(bundle); ++i)
        files->push_back(ParallelsBundle_StoragePath(bundle, i));
    return true;
}

// The source kinds a trim can compact.
const TrimRow kTrimRows[] = {
    {DISK_KIND_VMDK, NULL, NULL, NULL, RunVmdk, ReplacedVmdkFiles, NULL},
    {DISK_KIND_VHD, CompactVhd, CommitVhd, Vhd_DiscardCompact, NULL, ReplacedImageFile, NULL},
    {DISK_KIND_VHDX, CompactVhdx, Vhdx_CommitCompact, Vhdx_DiscardCompact, NULL, ReplacedImageFile,
     NULL},
    {DISK_KIND_QCOW2, CompactQcow2, Qcow2_CommitCompact, Qcow2_DiscardCompact, NULL,
     ReplacedImageFile, CheckQcow2Key},
    {DISK_KIND_VDI, CompactVdi, Vdi_CommitCompact, Vdi_DiscardCompact, NULL, ReplacedImageFile,
     NULL},
    {DISK_KIND_PARALLELS, CompactParallels, Parallels_CommitCompact, Parallels_DiscardCompact, NULL,
     ReplacedImageFile, NULL},
    {DISK_KIND_PARALLELS_BUNDLE, NULL, NULL, NULL, RunBundle, ReplacedBundleFiles, NULL},
};

const TrimRow* TrimRowOf(const DiskHandle* source)
{
    if (source == NULL) return NULL;
    const DiskKind kind = Disk_GetKind(source);
    for (const TrimRow& row : kTrimRows)
        if (row.kind == kind) return &row;
    return NULL;
}

// A one-file compaction: the new file is written, the source closed, then the new file swapped
// in or removed.
int RunOneFile(const TrimRow& row, const TrimArgs& t)
{
    OutputFile output;
    OutputFile_Init(&output);
    int rc = row.compact(t, &output);
    ConvertRun_ReleaseSource(t.job);
    if (rc != DISK_OK) {
        row.discard(&output);
        return rc;
    }
    const int commit = row.commit(&output, t.suffix, t.commitFlags);
    if (commit != DISK_OK) {
        // The image kept its name; the new file must not linger beside it.
        OutputEntry_Rollback(&output.entry);
        return commit;
    }
    return DISK_OK;
}

int TrimInPlaceRun(ConversionJob* job, ConvertRunContext* context)
{
    if (context->progressClock) *context->progressClock = 0;
    context->pluginMessage = FXString::null;
    const TrimRow* row = TrimRowOf(job->sourceDisk);
    if (row == NULL) return DISK_ERR_ARG;
    const std::string path = Utf8(job->sourcePath);
    TrimArgs t;
    t.job = job;
    t.context = context;
    t.path = path.c_str();
    t.map = ConvertRun_EffectiveMap(job);
    t.flag = job->trimOption != 0;
    t.suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    // The replaced files are kept as backups; an earlier backup goes only with the user's leave.
    t.commitFlags = context->replaceBackups ? (uint32_t)OUTPUT_COMMIT_REPLACE_BACKUP : 0u;
    if (row->precheck != NULL) {
        const int refused = row->precheck(t);
        if (refused != DISK_OK) return refused;
    }
    return row->runSet != NULL ? row->runSet(t) : RunOneFile(*row, t);
}

}  // namespace

bool ConvertRun_IsTrimAvailable(DiskKind kind)
{
    for (const TrimRow& row : kTrimRows)
        if (row.kind == kind) return true;
    return false;
}

bool ConvertRun_ExistingTrimBackup(const ConversionJob* job, std::string* which)
{
    const TrimRow* row = TrimRowOf(job->sourceDisk);
    std::vector<std::string> replaced;
    if (row == NULL || !row->replaced(job, &replaced)) return false;
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    for (const std::string& path : replaced) {
        const std::string backup = path + std::string((const char*)suffix.data, suffix.length);
        struct stat st;
        // The image itself under the backup name is no backup (an interrupted commit's trace,
        // which the trim removes).
        if (lstat(backup.c_str(), &st) == 0 &&
            !Output_IsInterruptedCommitTrace(path.c_str(), backup.c_str())) {
            if (which) *which = backup;
            return true;
        }
    }
    return false;
}

int ConvertRun_TrimInPlace(ConversionJob* job, ConvertRunContext* context)
{
    InPlace_TakeNote();  // a note left on this thread before is not this run's
    const int rc = TrimInPlaceRun(job, context);
    context->note = rc == DISK_OK ? InPlace_TakeNote() : IN_PLACE_NOTE_NONE;
    return rc;
}
