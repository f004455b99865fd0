// The conversion run: destination dispatch, in-place trim, options records and file checks.
#include "gui/pages/convert_run.h"

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
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_maintain.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
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
#include "gui/frame/app.h"
#include "gui/frame/dialogs.h"
#include "volume/used_map.h"

namespace {

const uint32_t kFirstTrackSectors = 63;
const uint32_t kPluginMessageBytes = 256;

uint32_t FourCC(const char* code) {
    return ((uint32_t)(uint8_t)code[0] << 24) | ((uint32_t)(uint8_t)code[1] << 16) |
           ((uint32_t)(uint8_t)code[2] << 8) | (uint32_t)(uint8_t)code[3];
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// The job's destination path as terminated UTF-8 (FXString holds UTF-8 already).
std::string Utf8(const FXString& text) { return std::string(text.text(), (size_t)text.length()); }

PluginModule* DestinationModule(ConversionJob* job) {
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    return entry != NULL ? entry->module : NULL;
}

}  // namespace

// ---- Progress ---------------------------------------------------------------------------------------

int ConvertRun_NoteMessage(int note) {
    switch (note) {
    case IN_PLACE_NOTE_BACKUP_LEFT: return CONVERT_MSG_NOTE_BACKUP_LEFT;
    case IN_PLACE_NOTE_REOPEN_FAILED: return CONVERT_MSG_NOTE_REOPEN;
    default: return -1;
    }
}

bool ConvertRun_ProgressAdapter(uint64_t done, uint64_t total, void* context) {
    ConvertRunContext* c = (ConvertRunContext*)context;
    if (c == NULL || c->progress == NULL) return true;
    return c->progress(done, total, c->user);
}

bool ConvertRun_PartAdapter(SplitPartRequest* request, void* record) {
    ConvertPartRecord* r = (ConvertPartRecord*)record;
    if (r == NULL || r->callback == NULL) return false;
    return r->callback(request, r->user);
}

namespace {

// The part callback for a record: the adapter, or NULL where the record holds no callback (the
// split writer and reader then refuse to go past the first part).
SplitPartCallback PartCallbackFor(const ConvertPartRecord& record) {
    return record.callback != NULL ? ConvertRun_PartAdapter : NULL;
}

}  // namespace

// ---- Source handling ----------------------------------------------------------------------------------

void ConvertRun_ReleaseSource(ConversionJob* job) {
    ConversionJob_ReleaseMap(job);
    ConversionJob_ReleaseSource(job);
}

bool ConvertRun_NeedsResize(const DiskGeometry* source, const DiskGeometry* final) {
    return Geometry_GetTotalSectors(source) != Geometry_GetTotalSectors(final) ||
           source->heads != final->heads || source->sectors_per_track != final->sectors_per_track;
}

int ConvertRun_WrapSourceResized(DiskHandle** slot, const DiskGeometry* geometry) {
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

void ConvertRun_UnwrapSource(DiskHandle** slot) {
    if (slot == NULL || *slot == NULL || Disk_GetKind(*slot) != DISK_KIND_RESIZE) return;
    DiskHandle* view = *slot;
    DiskHandle* source = Disk_DetachResizeView(view);
    if (source == NULL) return;
    Mem_Free(view);
    *slot = source;
}

UsedSectorMap* ConvertRun_EffectiveMap(const ConversionJob* job) {
    UsedSectorMap* map = job->volumeList;
    if (map == NULL || map->regionCount == 0) return NULL;
    return map;
}

int ConvertRun_ExtendMap(const UsedSectorMap* map, uint64_t total, UsedSectorMap* out) {
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

void ConvertRun_ReleaseExtendedMap(UsedSectorMap* map) {
    // The regions' driver objects belong to the map that was extended.
    Mem_Free(map->regions);
    UsedMap_Init(map);
}

// ---- Availability ----------------------------------------------------------------------------------------

bool ConvertRun_IsDestinationAvailable(int32_t destKind) {
    switch (destKind) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10:
    case 11: case 12: case 20:
    case 13: case 14: case 15: case 16: case 17: case 18: case 19:
    case 21: case 22:
        return true;
    default:
        return false;
    }
}

bool ConvertRun_IsTrimAvailable(DiskKind kind) {
    return kind == DISK_KIND_VMDK || kind == DISK_KIND_VHD || kind == DISK_KIND_VHDX ||
           kind == DISK_KIND_QCOW2 || kind == DISK_KIND_PARALLELS ||
           kind == DISK_KIND_PARALLELS_BUNDLE || kind == DISK_KIND_VDI;
}

int ConvertRun_TrimKey(const ConversionJob* job, bool sourceEncrypted, const uint8_t** key) {
    *key = NULL;
    if (!sourceEncrypted) return DISK_OK;
    if (!job->keySet) return DISK_ERR_PASSWORD;
    *key = job->encryptionKey;
    return DISK_OK;
}

// ---- VHD options ---------------------------------------------------------------------------------------------

void ConvertRun_VhdCreator(uint32_t creatorIndex, VhdCreateOptions* options) {
    switch (creatorIndex) {
    case 0: options->creatorApplication = FourCC("vs  "); options->creatorVersion = 0x00010000; break;
    case 1: options->creatorApplication = FourCC("vpc "); options->creatorVersion = 0x00050000; break;
    case 3: options->creatorApplication = FourCC("vpc "); options->creatorVersion = 0x00010000; break;
    case 4: options->creatorApplication = FourCC("win "); options->creatorVersion = 0x00060001; break;
    case 5: options->creatorApplication = FourCC("win "); options->creatorVersion = 0x00060002; break;
    default: options->creatorApplication = FourCC("vpc "); options->creatorVersion = 0x00050003; break;
    }
}

void ConvertRun_VhdLayout(uint32_t layoutIndex, VhdCreateOptions* options) {
    uint32_t align = 0, block = 4096, afterBat = 1, afterBlock = 0;
    switch (layoutIndex) {
    case 1: block = 1024; break;
    case 2: block = 0x8000; afterBat = 4; break;
    case 3: block = 0x8000; afterBat = 3; break;
    case 5: afterBat = 0; break;
    case 6: align = 1; afterBat = 7; afterBlock = 7; break;
    default: break;
    }
    options->batAlignment = align;
    options->blockSectors = block;
    options->zeroSectorsAfterBat = afterBat;
    options->zeroSectorsAfterBlock = afterBlock;
}

void ConvertRun_BuildVhdOptions(const ConversionJob* job, bool dynamic, VhdCreateOptions* out) {
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
                              uint64_t* count, uint64_t* largest) {
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
                               uint32_t splitSectors) {
    uint64_t count, largest;
    int rc = ConvertRun_VmdkExtentPlan(total, firstTrack, split, splitSectors, &count, &largest);
    if (rc != VMDK_LAYOUT_OK) return rc;
    if (diskType >= 3 && count != 1) return VMDK_LAYOUT_STREAM_NOT_SINGLE;
    return VMDK_LAYOUT_OK;
}

int ConvertRun_BuildVmdkOptions(const ConversionJob* job, uint64_t total, VmdkCreateOptions** out) {
    *out = NULL;
    const bool firstTrack = job->vmdkCheck != 0;
    const bool split = job->vmdkSplit != 0;
    const uint32_t size = job->vmdkSplitSectors;
    if (ConvertRun_CheckVmdkLayout(total, job->vmdkList4, firstTrack, split, size) != VMDK_LAYOUT_OK)
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

void IdFromStat(const struct stat& st, ConvertRunFileId* id) {
    id->device = (uint64_t)st.st_dev;
    id->inode = (uint64_t)st.st_ino;
    id->blockDevice = S_ISBLK(st.st_mode);
    id->rdev = (uint64_t)st.st_rdev;
}

void AddPath(const FXString& path, std::vector<ConvertRunFileId>* files) {
    if (path.empty()) return;
    ConvertRunFileId id;
    if (ConvertRun_FileId(path.text(), &id)) files->push_back(id);
}

}  // namespace

bool ConvertRun_FileId(const char* path, ConvertRunFileId* id) {
    struct stat st;
    if (path == NULL || path[0] == 0 || stat(path, &st) != 0) return false;
    IdFromStat(st, id);
    return true;
}

bool ConvertRun_SameFile(const ConvertRunFileId& a, const ConvertRunFileId& b) {
    if (a.device == b.device && a.inode == b.inode) return true;
    return a.blockDevice && b.blockDevice && a.rdev == b.rdev;
}

void ConvertRun_SourceFiles(const ConversionJob* job, std::vector<ConvertRunFileId>* files) {
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
                                 std::vector<std::string>* files) {
    // A bundle's path is its directory, which the bundle's own list names last.
    if (job->destKind != 6) files->push_back(path);
    TextView whole = {(const uint8_t*)path.data(), (uint32_t)path.size()};
    TextView dir, stem, ext;
    Path_SplitStemExtUtf8(whole, &dir, &stem, &ext);
    const std::string d((const char*)dir.data, dir.length);
    const std::string s((const char*)stem.data, stem.length);
    const std::string e((const char*)ext.data, ext.length);
    if (job->destKind == 0) {
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
    } else if (job->destKind == 1) {
        // Version-3 extents after the first: "-02", "-03", ... before the extension.
        const uint64_t total = Geometry_GetTotalSectors(&job->finalGeometry);
        const uint64_t count = (total + COWD_EXTENT_SECTORS - 1) / COWD_EXTENT_SECTORS;
        for (uint64_t i = 2; i <= count && i <= COWD_MAX_EXTENTS + 1; ++i) {
            char number[16];
            snprintf(number, sizeof number, "-%02u.", (unsigned)i);
            files->push_back(d + s + number + e);
        }
    } else if (job->destKind == 8 || job->destKind == 9 || job->destKind == 21) {
        // The description beside the image.
        files->push_back(d + s + ".txt");
    } else if (job->destKind == 6) {
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
    } else if (job->destKind == 20 && job->splitCheck1 == 0 && job->splitNumber != 0) {
        // Parts named by the writer (a part named otherwise by the user is not known here).
        const uint64_t bytes = Geometry_GetTotalSectors(&job->finalGeometry) * 512;
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
                                std::string* which) {
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
                     DiskHandle* source, UsedSectorMap* map, uint64_t total) {
    ProgressCallback cb = ConvertRun_ProgressAdapter;
    void* user = context;
    const bool roundUp = job->formatFlags != 0;
    switch (job->destKind) {
    case 0: {
        VmdkCreateOptions* options = NULL;
        int rc = ConvertRun_BuildVmdkOptions(job, total, &options);
        if (rc != DISK_OK) return rc;
        rc = Vmdk_Create(path, source, map, cb, user, options);
        Mem_Free(options);
        return rc;
    }
    case 3: {
        VhdxCreateOptions* options = Vhdx_AllocCreateOptions();
        if (options == NULL) return DISK_ERR_NOMEM;
        options->keepEveryBlock = job->vhdxCheck != 0 ? 1 : 0;
        options->blockSizeShift = job->vhdxBlockIndex;
        options->logicalSector4096 = job->vhdxList1;
        options->physicalSector4096 = job->vhdxList2;
        int rc = Vhdx_Create(path, source, map, cb, user, options);
        Mem_Free(options);
        return rc;
    }
    case 4: {
        VhdCreateOptions options;
        ConvertRun_BuildVhdOptions(job, true, &options);
        return Vhd_Create(path, source, map, cb, user, &options, job->formatFlags);
    }
    case 5: {
        VhdCreateOptions options;
        ConvertRun_BuildVhdOptions(job, false, &options);
        return VhdFixed_Create(path, source, map, cb, user, &options);
    }
    case 6: {
        ParallelsBundleCreateOptions* options = ParallelsBundle_AllocCreateOptions();
        if (options == NULL) return DISK_ERR_NOMEM;
        options->compressed = job->parallelsRadio == 0 ? 1 : 0;
        options->splitSectors = job->parallelsFlag != 0 ? job->parallelsNumber : 0;
        options->extra = 0;
        int rc = ParallelsBundle_Create(path, source, map, cb, user, options);
        Mem_Free(options);
        return rc;
    }
    case 7: return Parallels_Create(path, source, map, cb, user, job->formatFlags);
    case 20: {
        SplitCreateOptions* options = SplitDisk_AllocCreateOptions();
        if (options == NULL) return DISK_ERR_NOMEM;
        options->firstValue = job->splitValues[0];
        options->cylindersValue = job->splitValues[1];
        options->heads = job->splitValues[2];
        options->sectorsPerTrack = job->splitValues[3];
        options->compressionLevel = job->splitValues[4];
        options->partsFromDescriptor = job->splitCheck1 != 0;
        options->partMiB = job->splitNumber;
        options->nameWithoutAsking = job->splitCheck2 != 0;
        int rc = SplitDisk_Create(path, source, cb, user, PartCallbackFor(context->outputPart),
                                  &context->outputPart,
                                  options);
        Mem_Free(options);
        return rc;
    }
    case 8: {
        BochsCreateOptions options = {job->bochsGrowingList != 0 ? (uint32_t)BOCHS_VERSION_2
                                                                 : (uint32_t)BOCHS_VERSION_1};
        return Bochs_Create(path, source, map, cb, user, &options);
    }
    case 9: {
        BochsSparseCreateOptions options = {job->bochsSparseList != 0 ? 2u : 1u};
        return BochsSparse_Create(path, source, map, cb, user, &options);
    }
    case 12: {
        VdiCreateOptions options = {job->vdiList4, (uint8_t)(job->vdiCheck != 0 ? 1 : 0), job->vdiList3};
        return Vdi_Create(path, source, map, cb, user, &options);
    }
    case 13: return Hdi_Create(path, source, cb, user, roundUp);
    case 14: return Thd_Create(path, source, cb, user, roundUp);
    case 15: return Nhd_Create(path, source, cb, user, roundUp);
    case 16: return Vhd100_Create(path, source, cb, user, roundUp);
    case 17: return Pc98e_Create(path, source, cb, user);
    case 18: return Hdim_Create(path, source, cb, user);
    case 19: return Unz_Create(path, source, cb, user, roundUp);
    case 21: return FlatImage_Create(path, source, map, cb, user);
    case JOB_DEST_PLUGIN: {
        PluginModule* module = DestinationModule(job);
        if (module == NULL) return DISK_ERR_ARG;
        int rc = Plugin_WriteImage(module, path, source, map, cb, user, job->pluginDest);
        if (rc == DISK_ERR_PLUGIN) {
            char text[kPluginMessageBytes];
            int encoding = -1;
            if (Plugin_FetchErrorMessage(module, text, sizeof text, &encoding) && encoding == 0)
                context->pluginMessage = FXString(text);
        }
        return rc;
    }
    case 10:
        return Qcow_Create(path, source, map, cb, user, (int)job->formatFlags,
                           job->encryptionKey);
    case 11: {
        Qcow2CreateOptions options;
        options.clusterBits = job->qcow2ClusterIndex + 9;
        return Qcow2_Create(path, source, map, cb, user, (int)job->formatFlags,
                            job->encryptionKey, &options);
    }
    case 1: return Cowd_CreateV3(path, source, map, cb, user, (job->formatFlags & 1u) != 0);
    case 2: return Cowd_CreateV1(path, source, map, cb, user, job->formatFlags != 0);
    default:
        return DISK_ERR_ARG;
    }
}

}  // namespace

namespace {

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first sector in [first, first + count) that the source cannot read; `first` when every
// one reads (the failure came from elsewhere in that range).
uint64_t FirstUnreadableSector(DiskHandle* source, uint64_t first, uint64_t count,
                               uint32_t bytesPerSector) {
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
ConvertRunCause TakeCause(DiskHandle* source, const std::string& path) {
    ConvertRunCause cause;
    const IoFailure failure = IoFailure_Get();
    switch (failure.kind) {
    case IO_FAILURE_CREATE:
        cause.kind = CONVERT_CAUSE_CREATE;
        cause.error = failure.error;
        cause.folderMissing = !IsFolder(ParentFolder(path));
        break;
    case IO_FAILURE_WRITE:
        cause.kind = CONVERT_CAUSE_WRITE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_READ: {
        DiskGeometry g;
        memset(&g, 0, sizeof g);
        Disk_GetGeometry(source, &g);
        const uint32_t bps = g.bytes_per_sector != 0 ? g.bytes_per_sector : 512;
        cause.kind = CONVERT_CAUSE_READ;
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

FXString ConvertRun_CauseText(const ConvertRunCause& cause) {
    switch (cause.kind) {
    case CONVERT_CAUSE_CREATE:
    case CONVERT_CAUSE_WRITE: {
        if (cause.kind == CONVERT_CAUSE_CREATE && cause.folderMissing)
            return Ui_MessageText(CONVERT_MSG_NO_FOLDER);
        switch (cause.error) {
        case ENOSPC:
        case EDQUOT: return Ui_MessageText(CONVERT_MSG_NO_SPACE);
        case EROFS: return Ui_MessageText(CONVERT_MSG_READ_ONLY);
        case EFBIG: return Ui_MessageText(CONVERT_MSG_TOO_LARGE);
        default: break;
        }
        if (cause.kind == CONVERT_CAUSE_CREATE) {
            if (cause.error == EACCES || cause.error == EPERM)
                return Ui_MessageText(CONVERT_MSG_NO_PERMISSION);
            // The folder exists, yet no file can be made in it (a system folder such as /proc).
            if (cause.error == ENOENT) return Ui_MessageText(CONVERT_MSG_FOLDER_REFUSES);
        }
        FXString detail(cause.error != 0 ? strerror(cause.error) : "?");
        return Ui_ReplacePlaceholders(Ui_MessageText(cause.kind == CONVERT_CAUSE_CREATE
                                                         ? CONVERT_MSG_CREATE_FAILED
                                                         : CONVERT_MSG_WRITE_FAILED),
                                      &detail, 1);
    }
    case CONVERT_CAUSE_READ: {
        FXString sector;
        sector.format("%llu", (unsigned long long)cause.sector);
        return Ui_ReplacePlaceholders(Ui_MessageText(CONVERT_MSG_SOURCE_SECTOR), &sector, 1);
    }
    case CONVERT_CAUSE_NO_THREAD:
        return Ui_MessageText(CONVERT_MSG_NO_THREAD);
    default:
        return FXString::null;
    }
}

ConvertRunCause ConvertRun_CauseOfIoFailure(const IoFailure& failure, uint32_t bytesPerSector) {
    ConvertRunCause cause;
    switch (failure.kind) {
    case IO_FAILURE_CREATE:
        cause.kind = CONVERT_CAUSE_CREATE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_WRITE:
        cause.kind = CONVERT_CAUSE_WRITE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_READ:
        cause.kind = CONVERT_CAUSE_READ;
        cause.sector = failure.offset / (bytesPerSector != 0 ? bytesPerSector : 512);
        break;
    default:
        break;
    }
    return cause;
}

int ConvertRun_WriteImage(ConversionJob* job, ConvertRunContext* context) {
    if (context->progressClock) *context->progressClock = 0;
    context->pluginMessage = FXString::null;
    context->cause = ConvertRunCause();
    if (job->sourceDisk == NULL) return DISK_ERR_ARG;
    // A split-set source asks the page for each next part.
    if (Disk_GetKind(job->sourceDisk) == DISK_KIND_SPLIT)
        SplitDisk_SetPartRequestCallback((SplitDisk*)Disk_GetObject(job->sourceDisk),
                                         PartCallbackFor(context->sourcePart),
                                         &context->sourcePart);
    const std::string path = Utf8(job->destPath);
    // A plug-in destination names what the plug-in understands; where that is a file the source
    // reads, it is refused as any other destination.
    if (job->destKind == JOB_DEST_PLUGIN) {
        const FXString absolute = FXPath::absolute(job->destPath);
        if (ConvertRun_CheckDestination(job, Utf8(absolute), NULL) == CONVERT_DEST_IS_SOURCE)
            return DISK_ERR_ARG;
    } else if (ConvertRun_CheckDestination(job, path, NULL) != CONVERT_DEST_OK) {
        return DISK_ERR_ARG;
    }
    // The files this run creates, so that a failure can take them away again.
    std::vector<std::string> created;
    if (job->destKind != JOB_DEST_PLUGIN) {
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
    if (job->destKind == 2) {
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
    int rc = WriteDestination(job, context, path.c_str(), slot, map,
                              Geometry_GetTotalSectors(&final));
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

bool ConvertRun_ExistingTrimBackup(const ConversionJob* job, std::string* which) {
    if (job->sourceDisk == NULL) return false;
    std::vector<std::string> replaced;
    switch (Disk_GetKind(job->sourceDisk)) {
    case DISK_KIND_VMDK: {
        const VmdkImage* image = (const VmdkImage*)Disk_GetObject(job->sourceDisk);
        if (image == NULL || image->flat || image->sparseExtents == NULL) return false;
        // A descriptor file of its own is replaced too (it names the new extent files).
        replaced.push_back(image->path);
        for (uint32_t i = 0; i < image->extentCount; ++i)
            replaced.push_back(image->sparseExtents[i].path);
        break;
    }
    case DISK_KIND_VHD:
    case DISK_KIND_VHDX:
    case DISK_KIND_QCOW2:
    case DISK_KIND_PARALLELS:
    case DISK_KIND_VDI:
        replaced.push_back(Utf8(job->sourcePath));
        break;
    case DISK_KIND_PARALLELS_BUNDLE: {
        const ParallelsBundle* bundle = (const ParallelsBundle*)Disk_GetObject(job->sourceDisk);
        if (bundle == NULL) return false;
        // The descriptor is replaced (it names the new data files).
        ParallelsDescriptor descriptor;
        char descriptorPath[PARALLELS_BUNDLE_PATH_BYTES];
        if (ParallelsBundle_ReadDescriptor(&descriptor, FileOpener_DefaultOpen, NULL,
                                           Utf8(job->sourcePath).c_str(), descriptorPath) == DISK_OK) {
            replaced.push_back(descriptorPath);
            ParallelsDescriptor_Free(&descriptor);
        }
        for (uint32_t i = 0; i < bundle->storageCount; ++i)
            replaced.push_back(bundle->storages[i].path);
        break;
    }
    default:
        return false;
    }
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

static int TrimInPlaceRun(ConversionJob* job, ConvertRunContext* context);

int ConvertRun_TrimInPlace(ConversionJob* job, ConvertRunContext* context) {
    InPlace_TakeNote();  // a note left on this thread before is not this run's
    const int rc = TrimInPlaceRun(job, context);
    context->note = rc == DISK_OK ? InPlace_TakeNote() : IN_PLACE_NOTE_NONE;
    return rc;
}

static int TrimInPlaceRun(ConversionJob* job, ConvertRunContext* context) {
    if (context->progressClock) *context->progressClock = 0;
    context->pluginMessage = FXString::null;
    if (job->sourceDisk == NULL) return DISK_ERR_ARG;
    const bool flag = job->trimOption != 0;
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    // The replaced files are kept as backups; an earlier backup goes only with the user's leave.
    const uint32_t commitFlags = context->replaceBackups ? (uint32_t)OUTPUT_COMMIT_REPLACE_BACKUP : 0u;
    const std::string path = Utf8(job->sourcePath);
    DiskHandle* source = job->sourceDisk;
    UsedSectorMap* map = ConvertRun_EffectiveMap(job);

    switch (Disk_GetKind(source)) {
    case DISK_KIND_VMDK: {
        VmdkCompactSet set;
        Vmdk_InitCompactSet(&set);
        int rc = Vmdk_Compact(source, map, &set, flag, ConvertRun_ProgressAdapter, context);
        // The image's files are closed before anything takes their names.
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Vmdk_DiscardCompact(&set);
            return rc;
        }
        // A failed swap leaves every original in place and removes the new files.
        return Vmdk_CommitCompact(&set, suffix, commitFlags);
    }
    case DISK_KIND_VHD: {
        OutputFile output;
        OutputFile_Init(&output);
        int rc = Vhd_Compact(path.c_str(), source, map, &output, flag, ConvertRun_ProgressAdapter,
                             context);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Vhd_DiscardCompact(&output);
            return rc;
        }
        int commit = Vhd_CommitCompact(&output, suffix, commitFlags, false);
        if (commit != DISK_OK) {
            // The image kept its name; the new file must not linger beside it.
            OutputEntry_Rollback(&output.entry);
            return commit;
        }
        return DISK_OK;
    }
    case DISK_KIND_VHDX: {
        OutputFile output;
        OutputFile_Init(&output);
        int rc = Vhdx_Compact(path.c_str(), source, map, &output, flag, ConvertRun_ProgressAdapter,
                              context);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Vhdx_DiscardCompact(&output);
            return rc;
        }
        int commit = Vhdx_CommitCompact(&output, suffix, commitFlags);
        if (commit != DISK_OK) {
            // The image kept its name; the new file must not linger beside it.
            OutputEntry_Rollback(&output.entry);
            return commit;
        }
        return DISK_OK;
    }
    case DISK_KIND_QCOW2: {
        const Qcow2Image* image = (const Qcow2Image*)Disk_GetObject(source);
        const uint8_t* key = NULL;
        int rc = ConvertRun_TrimKey(job, image != NULL && image->header.cryptMethod == 1, &key);
        if (rc != DISK_OK) return rc;
        OutputFile output;
        OutputFile_Init(&output);
        rc = Qcow2_Compact(path.c_str(), source, map, &output, flag, ConvertRun_ProgressAdapter,
                           context, key);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Qcow2_DiscardCompact(&output);
            return rc;
        }
        int commit = Qcow2_CommitCompact(&output, suffix, commitFlags);
        if (commit != DISK_OK) {
            OutputEntry_Rollback(&output.entry);
            return commit;
        }
        return DISK_OK;
    }
    case DISK_KIND_VDI: {
        OutputFile output;
        OutputFile_Init(&output);
        int rc = Vdi_Compact(path.c_str(), source, map, &output, flag, ConvertRun_ProgressAdapter,
                             context);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Vdi_DiscardCompact(&output);
            return rc;
        }
        int commit = Vdi_CommitCompact(&output, suffix, commitFlags);
        if (commit != DISK_OK) {
            OutputEntry_Rollback(&output.entry);
            return commit;
        }
        return DISK_OK;
    }
    case DISK_KIND_PARALLELS: {
        OutputFile output;
        OutputFile_Init(&output);
        int rc = Parallels_Compact(path.c_str(), source, map, &output, flag,
                                   ConvertRun_ProgressAdapter, context);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            Parallels_DiscardCompact(&output);
            return rc;
        }
        int commit = Parallels_CommitCompact(&output, suffix, commitFlags);
        if (commit != DISK_OK) {
            OutputEntry_Rollback(&output.entry);
            return commit;
        }
        return DISK_OK;
    }
    case DISK_KIND_PARALLELS_BUNDLE: {
        OutputList list;
        OutputList_Init(&list);
        int rc = ParallelsBundle_Compact(path.c_str(), source, map, &list, flag,
                                         ConvertRun_ProgressAdapter, context);
        ConvertRun_ReleaseSource(job);
        if (rc != DISK_OK) {
            ParallelsBundle_DiscardCompact(&list);
            return rc;
        }
        // A failed swap leaves every original in place and removes the new files.
        return ParallelsBundle_CommitCompact(&list, suffix, commitFlags);
    }
    default:
        return DISK_ERR_ARG;
    }
}
