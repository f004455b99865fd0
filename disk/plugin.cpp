// Plug-in modules: loading, host wrappers of the entry points, plug-in disks and the output
// side.
#include "disk/plugin.h"

#include <dlfcn.h>

#include <cstring>

#include "foundation/platform.h"
#include "volume/used_map.h"

const char* const PLUGIN_NAME_SYMBOL = "N84731BD801934BB0AC9A478944DAF764";

namespace {

// Looks up a symbol; NULL when the module does not export it.
void* LookUp(void* library, const char* symbol)
{
    dlerror();
    void* entry = dlsym(library, symbol);
    dlerror();
    return entry;
}

template <class Fn>
Fn LookUpAs(void* library, const char* symbol)
{
    return reinterpret_cast<Fn>(LookUp(library, symbol));
}

}  // namespace

// ---- Loader ------------------------------------------------------------------------------

PluginModule* Plugin_Alloc() { return static_cast<PluginModule*>(Mem_Alloc(sizeof(PluginModule))); }

void Plugin_Init(PluginModule* module)
{
    if (module == nullptr) return;
    memset(module, 0, sizeof(*module));
}

int Plugin_Load(PluginModule* module, const char* path)
{
    if (module == nullptr || path == nullptr || module->library != nullptr) return DISK_ERR_ARG;
    Plugin_Init(module);
    // Every reference is resolved now: a module that needs a symbol nobody provides is refused
    // here instead of ending the process at its first call.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        dlerror();
        return DISK_ERR_ARG;
    }
    PluginGetNameFn getName = LookUpAs<PluginGetNameFn>(library, PLUGIN_NAME_SYMBOL);
    if (getName == nullptr) {
        dlclose(library);
        return DISK_ERR_ARG;
    }
    module->library = library;
    module->getName = getName;
    module->getInterfaceKind = LookUpAs<PluginGetInterfaceKindFn>(library, "_2");
    module->getVersion = LookUpAs<PluginGetVersionFn>(library, "_3");
    module->inputCreate = LookUpAs<PluginInputCreateFn>(library, "_4");
    module->inputFree = LookUpAs<PluginInputContextFn>(library, "_5");
    module->inputInit = LookUpAs<PluginInputContextFn>(library, "_6");
    module->inputClose = LookUpAs<PluginInputContextFn>(library, "_7");
    module->inputOpen = LookUpAs<PluginInputOpenFn>(library, "_8");
    module->inputOpenEx = LookUpAs<PluginInputOpenExFn>(library, "_22");
    module->inputGetGeometry = LookUpAs<PluginInputGetGeometryFn>(library, "_9");
    module->inputGetGeometry64 = LookUpAs<PluginInputGetGeometry64Fn>(library, "_28");
    module->inputRead = LookUpAs<PluginInputReadFn>(library, "_10");
    module->inputReadEx = LookUpAs<PluginInputReadExFn>(library, "_25");
    module->unused11 = LookUp(library, "_11");
    module->unused26 = LookUp(library, "_26");
    module->inputRangeQuery = LookUpAs<PluginInputRangeQueryFn>(library, "_19");
    module->inputRangeQueryEx = LookUpAs<PluginInputRangeQueryExFn>(library, "_23");
    module->outputCheckGeometry = LookUpAs<PluginOutputCheckGeometryFn>(library, "_13");
    module->outputCheckGeometry64 = LookUpAs<PluginOutputCheckGeometry64Fn>(library, "_29");
    module->outputCreate = LookUpAs<PluginOutputCreateFn>(library, "_14");
    module->outputSetPath = LookUpAs<PluginOutputSetPathFn>(library, "_15");
    module->outputSetPathEx = LookUpAs<PluginOutputSetPathExFn>(library, "_27");
    module->outputFree = LookUpAs<PluginOutputFreeFn>(library, "_16");
    module->outputWrite = LookUpAs<PluginOutputWriteFn>(library, "_17");
    module->outputWriteEx = LookUpAs<PluginOutputWriteExFn>(library, "_24");
    module->unused18 = LookUp(library, "_18");
    module->unused20 = LookUp(library, "_20");
    module->getErrorMessage = LookUpAs<PluginGetErrorMessageFn>(library, "_21");
    return DISK_OK;
}

void Plugin_Unload(PluginModule* module)
{
    if (module == nullptr) return;
    if (module->library != nullptr) dlclose(module->library);
    Plugin_Init(module);
}

bool Plugin_IsAcceptedVersion(uint32_t version)
{
    return Bytes_GetByte3(version) == 0 && Bytes_GetByte2(version) == 0 &&
           Bytes_GetByte1(version) == PLUGIN_VERSION_MAJOR;
}

bool Plugin_IsAccepted(const PluginModule* module)
{
    if (module == nullptr || module->getInterfaceKind == nullptr || module->getVersion == nullptr)
        return false;
    return Plugin_GetInterfaceKind(module) == PLUGIN_INTERFACE_KIND &&
           Plugin_IsAcceptedVersion(Plugin_GetVersion(module));
}

int Plugin_MapResult(int result)
{
    if (result == DISK_OK || result == DISK_CANCELLED) return result;
    if (result <= DISK_ERR_OPEN && result >= DISK_ERR_SNAPSHOTS) return result;
    return DISK_ERR_PLUGIN;
}

// ---- Host functions -----------------------------------------------------------------------

const char* Plugin_GetName(const PluginModule* module)
{
    if (module == nullptr || module->getName == nullptr) return nullptr;
    return module->getName();
}

int Plugin_GetInterfaceKind(const PluginModule* module)
{
    if (module == nullptr || module->getInterfaceKind == nullptr) return 0;
    return module->getInterfaceKind();
}

uint32_t Plugin_GetVersion(const PluginModule* module)
{
    if (module == nullptr || module->getVersion == nullptr) return 0;
    return module->getVersion();
}

void* Plugin_CreateInput(const PluginModule* module)
{
    if (module == nullptr || module->inputCreate == nullptr) return nullptr;
    return module->inputCreate();
}

void Plugin_FreeInput(const PluginModule* module, void* context)
{
    if (module == nullptr || module->inputFree == nullptr || context == nullptr) return;
    module->inputFree(context);
}

void Plugin_InitInput(const PluginModule* module, void* context)
{
    if (module == nullptr || module->inputInit == nullptr || context == nullptr) return;
    module->inputInit(context);
}

void Plugin_CloseInput(const PluginModule* module, void* context)
{
    if (module == nullptr || module->inputClose == nullptr || context == nullptr) return;
    module->inputClose(context);
}

int Plugin_Open(const PluginModule* module, void* context, const char* path, bool readOnly,
                void* hostArgument)
{
    if (module == nullptr || module->inputOpen == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->inputOpen(context, path, readOnly, hostArgument));
}

int Plugin_OpenEx(const PluginModule* module, void* context, const char* path, bool readOnly,
                  void* hostCallbacks)
{
    if (module == nullptr || module->inputOpenEx == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->inputOpenEx(context, path, readOnly, hostCallbacks));
}

void Plugin_GetGeometry(const PluginModule* module, void* context, PluginGeometry32* out)
{
    if (out == nullptr) return;
    memset(out, 0, sizeof(*out));
    if (module == nullptr || module->inputGetGeometry == nullptr) return;
    module->inputGetGeometry(context, out);
}

void Plugin_GetGeometry64(const PluginModule* module, void* context, uint64_t* sectors,
                          uint32_t* heads, uint32_t* sectorsPerTrack, uint32_t* bytesPerSector)
{
    uint64_t s = 0;
    uint32_t h = 0, spt = 0, bps = 0;
    if (module != nullptr && module->inputGetGeometry64 != nullptr)
        module->inputGetGeometry64(context, &s, &h, &spt, &bps);
    if (sectors != nullptr) *sectors = s;
    if (heads != nullptr) *heads = h;
    if (sectorsPerTrack != nullptr) *sectorsPerTrack = spt;
    if (bytesPerSector != nullptr) *bytesPerSector = bps;
}

bool Plugin_Read(const PluginModule* module, void* context, uint64_t offset, uint32_t length,
                 void* buffer)
{
    if (module == nullptr || module->inputRead == nullptr) return false;
    return module->inputRead(context, offset, length, buffer) != 0;
}

int Plugin_ReadEx(const PluginModule* module, void* context, uint64_t offset, uint32_t length,
                  void* buffer)
{
    if (module == nullptr || module->inputReadEx == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->inputReadEx(context, offset, length, buffer));
}

// A module writes its answer as a byte; read it as one, so that any non-zero value is true.
static int AskEmpty(bool* empty, int result, const uint8_t* answer)
{
    if (result == DISK_OK && empty != nullptr) *empty = *answer != 0;
    return result;
}

int Plugin_RangeQuery(const PluginModule* module, void* context, const uint8_t* usedBits,
                      uint64_t first, uint32_t count, bool* empty, PluginCancelAdapter cancel,
                      RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    if (module == nullptr || module->inputRangeQuery == nullptr) return DISK_ERR_ARG;
    uint8_t answer = 0;
    int result = Plugin_MapResult(module->inputRangeQuery(context, usedBits, first, count,
                                                          reinterpret_cast<bool*>(&answer), cancel,
                                                          adapter, record));
    return AskEmpty(empty, result, &answer);
}

int Plugin_RangeQueryEx(const PluginModule* module, void* context, const PluginMapRecord* map,
                        uint64_t first, uint32_t count, bool* empty, RangeProgressAdapter adapter,
                        RangeProgressRecord* record)
{
    if (module == nullptr || module->inputRangeQueryEx == nullptr) return DISK_ERR_ARG;
    uint8_t answer = 0;
    int result = Plugin_MapResult(module->inputRangeQueryEx(
        context, map, first, count, reinterpret_cast<bool*>(&answer), adapter, record));
    return AskEmpty(empty, result, &answer);
}

int Plugin_CheckGeometry(const PluginModule* module, const PluginGeometry32* geometry)
{
    if (module == nullptr || module->outputCheckGeometry == nullptr || geometry == nullptr)
        return DISK_ERR_ARG;
    return module->outputCheckGeometry(geometry);
}

int Plugin_CheckGeometry64(const PluginModule* module, uint64_t sectors, uint32_t heads,
                           uint32_t sectorsPerTrack, uint32_t bytesPerSector)
{
    if (module == nullptr || module->outputCheckGeometry64 == nullptr) return DISK_ERR_ARG;
    return module->outputCheckGeometry64(sectors, heads, sectorsPerTrack, bytesPerSector);
}

void* Plugin_CreateOutput(const PluginModule* module)
{
    if (module == nullptr || module->outputCreate == nullptr) return nullptr;
    return module->outputCreate();
}

bool Plugin_SetOutputPath(const PluginModule* module, void* context, const char* path,
                          void* hostArgument)
{
    if (module == nullptr || module->outputSetPath == nullptr) return false;
    return module->outputSetPath(context, path, hostArgument) != 0;
}

int Plugin_SetOutputPathEx(const PluginModule* module, void* context, const char* path,
                           void* hostArgument)
{
    if (module == nullptr || module->outputSetPathEx == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->outputSetPathEx(context, path, hostArgument));
}

void Plugin_DestroyOutput(const PluginModule* module, void* context)
{
    if (module == nullptr || module->outputFree == nullptr || context == nullptr) return;
    module->outputFree(context);
}

static bool CancelAdapterFn(ProgressCallback progress, uint32_t done, void* user)
{
    return progress != nullptr && !progress(done, 0, user);
}

int Plugin_Write(const PluginModule* module, const char* path, void* hostArgument,
                 const PluginGeometry32* geometry, DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback progress, void* user)
{
    if (module == nullptr || module->outputWrite == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->outputWrite(path, hostArgument, geometry, Disk_Read,
                                                Disk_IsRangeEmpty, source, map, CancelAdapterFn,
                                                progress, user));
}

int Plugin_WriteEx(const PluginModule* module, const char* path, const PluginSourceRecord* source,
                   const PluginMapRecord* map, ProgressCallback progress, void* user,
                   void* hostArgument)
{
    if (module == nullptr || module->outputWriteEx == nullptr) return DISK_ERR_ARG;
    return Plugin_MapResult(module->outputWriteEx(path, source, map, progress, user, hostArgument));
}

bool Plugin_GetErrorMessage(const PluginModule* module, char* buffer, uint32_t capacity,
                            int* encoding)
{
    if (buffer == nullptr || capacity == 0) return false;
    buffer[0] = '\0';
    if (module == nullptr || module->getErrorMessage == nullptr) return false;
    int localEncoding = 0;
    bool ok = module->getErrorMessage(buffer, capacity, &localEncoding) != 0;
    buffer[capacity - 1] = '\0';
    if (!ok) buffer[0] = '\0';
    if (encoding != nullptr) *encoding = localEncoding;
    return ok;
}

bool Plugin_HasOpen(const PluginModule* m) { return m != nullptr && m->inputOpen != nullptr; }
bool Plugin_HasOpenEx(const PluginModule* m) { return m != nullptr && m->inputOpenEx != nullptr; }
bool Plugin_HasGetGeometry64(const PluginModule* m)
{
    return m != nullptr && m->inputGetGeometry64 != nullptr;
}
bool Plugin_HasRead(const PluginModule* m) { return m != nullptr && m->inputRead != nullptr; }
bool Plugin_HasReadEx(const PluginModule* m) { return m != nullptr && m->inputReadEx != nullptr; }
bool Plugin_HasRangeQuery(const PluginModule* m)
{
    return m != nullptr && m->inputRangeQuery != nullptr;
}
bool Plugin_HasRangeQueryEx(const PluginModule* m)
{
    return m != nullptr && m->inputRangeQueryEx != nullptr;
}
bool Plugin_HasCheckGeometry64(const PluginModule* m)
{
    return m != nullptr && m->outputCheckGeometry64 != nullptr;
}
bool Plugin_HasSetOutputPath(const PluginModule* m)
{
    return m != nullptr && m->outputSetPath != nullptr;
}
bool Plugin_HasSetOutputPathEx(const PluginModule* m)
{
    return m != nullptr && m->outputSetPathEx != nullptr;
}
bool Plugin_HasWrite(const PluginModule* m) { return m != nullptr && m->outputWrite != nullptr; }
bool Plugin_HasWriteEx(const PluginModule* m)
{
    return m != nullptr && m->outputWriteEx != nullptr;
}

// ---- Records handed to modules --------------------------------------------------------------

namespace {

int MapUsedBits(const UsedSectorMap* map, uint64_t first, int32_t count, uint8_t* bitmap)
{
    if (bitmap == nullptr || count < 0) return DISK_ERR_ARG;
    if (map == nullptr) {
        uint32_t n = static_cast<uint32_t>(count);
        memset(bitmap, 0xFF, n / 8);
        if (n % 8 != 0) bitmap[n / 8] |= static_cast<uint8_t>((1u << (n % 8)) - 1);
        return DISK_OK;
    }
    return UsedMap_GetUsedBits(map, first, count, bitmap);
}

int MapIsDataEmpty(const UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                   const uint8_t* data)
{
    if (map == nullptr || empty == nullptr || data == nullptr) return DISK_ERR_ARG;
    return UsedMap_IsDataEmpty(map, first, count, empty, data);
}

int MapScanRangeForData(const UsedSectorMap* map, uint64_t offset, int32_t length,
                        const uint8_t* data, bool* empty, uint64_t* bytesBefore)
{
    if (map == nullptr || empty == nullptr) return DISK_ERR_ARG;
    return UsedMap_ScanRangeForData(map, offset, length, data, empty, bytesBefore);
}

}  // namespace

void Plugin_InitMapRecord(PluginMapRecord* record, UsedSectorMap* map)
{
    record->map = map;
    record->getUsedBits = MapUsedBits;
    record->isDataEmpty = MapIsDataEmpty;
    record->scanRangeForData = MapScanRangeForData;
}

void Plugin_InitSourceRecord(PluginSourceRecord* record, DiskHandle* source, UsedSectorMap* map)
{
    record->source = source;
    record->map = map;
    record->getGeometry = Disk_GetGeometry;
    record->read = Disk_Read;
    record->isRangeEmpty = Disk_IsRangeEmpty;
}

// ---- Plug-in disk ---------------------------------------------------------------------------

PluginDisk* PluginDisk_Alloc() { return static_cast<PluginDisk*>(Mem_Alloc(sizeof(PluginDisk))); }

void PluginDisk_Init(PluginDisk* disk)
{
    if (disk == nullptr) return;
    memset(disk, 0, sizeof(*disk));
}

namespace {

// Releases a context that is not (or no longer) kept by a disk.
void ReleaseContext(const PluginModule* module, void* context)
{
    Plugin_CloseInput(module, context);
    Plugin_FreeInput(module, context);
}

// The geometry the module reports, refused when nothing could divide by it safely.
int TakeGeometry(const PluginModule* module, void* context, DiskGeometry* out)
{
    DiskGeometry g;
    memset(&g, 0, sizeof(g));
    if (Plugin_HasGetGeometry64(module)) {
        uint64_t total = 0;
        Plugin_GetGeometry64(module, context, &total, &g.heads, &g.sectors_per_track,
                             &g.bytes_per_sector);
        Geometry_SetTotalSectors(&g, total);
    } else {
        PluginGeometry32 g32;
        Plugin_GetGeometry(module, context, &g32);
        Geometry_SetTotalSectors(&g, g32.sectors);
        g.heads = g32.heads;
        g.sectors_per_track = g32.sectorsPerTrack;
        g.bytes_per_sector = g32.bytesPerSector;
    }
    if (g.bytes_per_sector == 0 || g.heads == 0 || g.sectors_per_track == 0 ||
        !Geometry_ByteSizeFitsInt64(&g))
        return DISK_ERR_ARG;
    *out = g;
    return DISK_OK;
}

int OpenDisk(PluginDisk* disk, PluginModule* module, const char* path, bool readOnly,
             void* argument, bool extended)
{
    if (disk == nullptr || module == nullptr) return DISK_ERR_ARG;
    if (extended ? !Plugin_HasOpenEx(module) : !Plugin_HasOpen(module)) return DISK_ERR_ARG;
    void* context = Plugin_CreateInput(module);
    if (context == nullptr) return DISK_ERR_ARG;
    Plugin_InitInput(module, context);
    int result = extended ? Plugin_OpenEx(module, context, path, readOnly, argument)
                          : Plugin_Open(module, context, path, readOnly, argument);
    DiskGeometry geometry;
    if (result == DISK_OK) result = TakeGeometry(module, context, &geometry);
    if (result != DISK_OK) {
        ReleaseContext(module, context);
        return result;
    }
    disk->geometry = geometry;
    disk->module = module;
    disk->context = context;
    disk->readMode = Plugin_HasReadEx(module) ? PLUGIN_READ_RESULT
                     : Plugin_HasRead(module) ? PLUGIN_READ_BOOL
                                              : PLUGIN_READ_NONE;
    disk->rangeMode = Plugin_HasRangeQueryEx(module) ? PLUGIN_RANGE_MAP
                      : Plugin_HasRangeQuery(module) ? PLUGIN_RANGE_BITS
                                                     : PLUGIN_RANGE_NONE;
    return DISK_OK;
}

}  // namespace

int PluginDisk_Open(PluginDisk* disk, PluginModule* module, const char* path, bool readOnly,
                    void* hostArgument)
{
    return OpenDisk(disk, module, path, readOnly, hostArgument, false);
}

int PluginDisk_OpenEx(PluginDisk* disk, PluginModule* module, const char* path, bool readOnly,
                      void* hostCallbacks)
{
    return OpenDisk(disk, module, path, readOnly, hostCallbacks, true);
}

void PluginDisk_Close(PluginDisk* disk)
{
    if (disk == nullptr) return;
    if (disk->context != nullptr) ReleaseContext(disk->module, disk->context);
    PluginDisk_Init(disk);
}

void PluginDisk_GetGeometry(const PluginDisk* disk, DiskGeometry* out)
{
    if (disk == nullptr || out == nullptr) return;
    *out = disk->geometry;
}

int PluginDisk_Read(PluginDisk* disk, uint64_t offset, uint32_t length, void* buffer)
{
    if (disk == nullptr || buffer == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsByteRangeInside(offset, length, &disk->geometry)) return DISK_ERR_ARG;
    switch (disk->readMode) {
    case PLUGIN_READ_RESULT:
        return Plugin_ReadEx(disk->module, disk->context, offset, length, buffer);
    case PLUGIN_READ_BOOL:
        return Plugin_Read(disk->module, disk->context, offset, length, buffer) ? DISK_OK
                                                                                : DISK_ERR_READ;
    default:
        return DISK_ERR_UNSUPPORTED;
    }
}

int PluginDisk_IsRangeEmpty(PluginDisk* disk, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    if (disk == nullptr || empty == nullptr) return DISK_ERR_ARG;
    if (!Geometry_IsSectorRangeInside(first, count, &disk->geometry)) return DISK_ERR_ARG;
    if (disk->rangeMode == PLUGIN_RANGE_MAP) {
        PluginMapRecord mapRecord;
        Plugin_InitMapRecord(&mapRecord, map);
        return Plugin_RangeQueryEx(disk->module, disk->context, &mapRecord, first, count, empty,
                                   adapter, record);
    }
    if (disk->rangeMode != PLUGIN_RANGE_BITS) return DISK_ERR_UNSUPPORTED;
    uint8_t* bits = nullptr;
    if (map != nullptr) {
        if (count > static_cast<uint32_t>(INT32_MAX)) return DISK_ERR_ARG;
        bits = static_cast<uint8_t*>(Mem_Alloc(count / 8 + 1));
        if (bits == nullptr) return DISK_ERR_NOMEM;
        int got = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(count), bits);
        if (got != DISK_OK) {
            Mem_Free(bits);
            return got;
        }
    }
    int result = Plugin_RangeQuery(disk->module, disk->context, bits, first, count, empty,
                                   CancelAdapterFn, adapter, record);
    Mem_Free(bits);
    return result;
}

// ---- Output side ------------------------------------------------------------------------------

void* Plugin_CreateOutputContext(const PluginModule* module) { return Plugin_CreateOutput(module); }

bool Plugin_SetOutputPathBool(const PluginModule* module, void* context, const char* path,
                              void* hostArgument)
{
    return Plugin_SetOutputPath(module, context, path, hostArgument);
}

int Plugin_SetOutputPathInt(const PluginModule* module, void* context, const char* path,
                            void* hostArgument)
{
    return Plugin_SetOutputPathEx(module, context, path, hostArgument);
}

void Plugin_DestroyOutputContext(const PluginModule* module, void* context)
{
    Plugin_DestroyOutput(module, context);
}

int Plugin_WriteImage(const PluginModule* module, const char* path, DiskHandle* source,
                      UsedSectorMap* map, ProgressCallback progress, void* user, void* hostArgument)
{
    if (module == nullptr || source == nullptr) return DISK_ERR_ARG;
    if (Plugin_HasWriteEx(module)) {
        PluginSourceRecord sourceRecord;
        PluginMapRecord mapRecord;
        Plugin_InitSourceRecord(&sourceRecord, source, map);
        Plugin_InitMapRecord(&mapRecord, map);
        return Plugin_WriteEx(module, path, &sourceRecord, &mapRecord, progress, user,
                              hostArgument);
    }
    if (!Plugin_HasWrite(module)) return DISK_ERR_ARG;
    DiskGeometry g;
    memset(&g, 0, sizeof(g));
    Disk_GetGeometry(source, &g);
    if (!Geometry_FitsIn32Bits(&g)) return DISK_ERR_ARG;
    PluginGeometry32 g32;
    g32.sectors = static_cast<uint32_t>(Geometry_GetTotalSectors(&g));
    g32.heads = g.heads;
    g32.sectorsPerTrack = g.sectors_per_track;
    g32.bytesPerSector = g.bytes_per_sector;
    return Plugin_Write(module, path, hostArgument, &g32, source, map, progress, user);
}

bool Plugin_FetchErrorMessage(const PluginModule* module, char* buffer, uint32_t capacity,
                              int* encoding)
{
    return Plugin_GetErrorMessage(module, buffer, capacity, encoding);
}

int Plugin_CheckDestinationGeometry(const PluginModule* module, const DiskGeometry* geometry)
{
    if (module == nullptr || geometry == nullptr) return DISK_ERR_ARG;
    uint64_t total = Geometry_GetTotalSectors(geometry);
    if (Plugin_HasCheckGeometry64(module))
        return Plugin_CheckGeometry64(module, total, geometry->heads, geometry->sectors_per_track,
                                      geometry->bytes_per_sector);
    // The 32-bit check would see a truncated total and approve a size it never saw.
    if (total > 0xFFFFFFFFull) return DISK_ERR_ARG;
    PluginGeometry32 g32;
    g32.sectors = static_cast<uint32_t>(total);
    g32.heads = geometry->heads;
    g32.sectorsPerTrack = geometry->sectors_per_track;
    g32.bytesPerSector = geometry->bytes_per_sector;
    return Plugin_CheckGeometry(module, &g32);
}
