// Plug-in modules and plug-in disks.
//
// A plug-in module is a shared object lying beside the executable that adds source disks (a
// disk the module reads by its own means) and destination formats (an image the module
// writes). The loader looks up the module's entry points by fixed symbol names into a
// PluginModule record and wraps every entry in a host function. A source disk served by a
// module is the built-in disk kind DISK_KIND_PLUGIN; a destination is written through the
// module's writer with host callbacks over the source DiskHandle.
//
// Modules are foreign code, so the host never trusts them:
// - an entry the module does not export is never called; its wrapper answers a safe value
//   (DISK_ERR_ARG for a result code, false, 0 or NULL) and a module without the interface-kind
//   or version entry is not accepted;
// - every result code a module returns passes through Plugin_MapResult, so that a value
//   outside the engine's list cannot pass for success or cancellation;
// - a geometry from a module is checked before anything divides or multiplies by it;
// - a failed open releases the context that was made for it;
// - an error-message buffer filled by a module is always terminated.
//
// Records handed to modules consist of pointer-sized fields without gaps. Texts are
// NUL-terminated UTF-8. Boolean answers of modules are read as a byte (non-zero = true), which
// matches the calling convention of a C or C++ bool.
#pragma once

#include <cstdint>

#include "disk/disk.h"

struct UsedSectorMap;

// A module's boolean answer: one byte, non-zero = true.
typedef uint8_t PluginBool;

// The 32-bit geometry record handed to and filled by modules.
struct PluginGeometry32 {
    uint32_t sectors;
    uint32_t heads;
    uint32_t sectorsPerTrack;
    uint32_t bytesPerSector;
};

// Cancel adapter handed to modules: (progress function, done, user) -> true when the progress
// function is present and answers false, i.e. when the module must stop. A cancellation query
// carries no total: the progress function is asked with total 0.
typedef bool (*PluginCancelAdapter)(ProgressCallback progress, uint32_t done, void* user);

// Map record (for the extended range query and the extended writer): the map or NULL, then the
// used bits of a range, the data-empty test of a read range and the range scan, each taking the
// map first. Without a map the used bits are all set and the two data tests answer
// DISK_ERR_ARG.
struct PluginMapRecord {
    UsedSectorMap* map;
    int (*getUsedBits)(const UsedSectorMap* map, uint64_t first, int32_t count, uint8_t* bitmap);
    int (*isDataEmpty)(const UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                       const uint8_t* data);
    int (*scanRangeForData)(const UsedSectorMap* map, uint64_t offset, int32_t length,
                            const uint8_t* data, bool* empty, uint64_t* bytesBefore);
};

// Source record (for the extended writer): the source disk, its map, then geometry, read and
// empty-range query over the disk.
struct PluginSourceRecord {
    DiskHandle* source;
    UsedSectorMap* map;
    void (*getGeometry)(const DiskHandle* handle, DiskGeometry* out);
    int (*read)(const DiskHandle* handle, uint64_t offset, uint32_t length, void* buffer);
    int (*isRangeEmpty)(const DiskHandle* handle, UsedSectorMap* map, uint64_t first,
                        uint32_t count, bool* empty, RangeProgressAdapter adapter,
                        RangeProgressRecord* record);
};

// ---- Entry points of a module (by the symbol each is looked up with) ------------------------
typedef const char* (*PluginGetNameFn)();             // name entry
typedef int (*PluginGetInterfaceKindFn)();            // "_2"
typedef uint32_t (*PluginGetVersionFn)();             // "_3"
typedef void* (*PluginInputCreateFn)();               // "_4"
typedef void (*PluginInputContextFn)(void* context);  // "_5", "_6", "_7"
typedef int (*PluginInputOpenFn)(void* context, const char* path, bool readOnly,
                                 void* hostArgument);  // "_8"
typedef int (*PluginInputOpenExFn)(void* context, const char* path, bool readOnly,
                                   void* hostCallbacks);                         // "_22"
typedef void (*PluginInputGetGeometryFn)(void* context, PluginGeometry32* out);  // "_9"
typedef void (*PluginInputGetGeometry64Fn)(void* context, uint64_t* sectors, uint32_t* heads,
                                           uint32_t* sectorsPerTrack,
                                           uint32_t* bytesPerSector);  // "_28"
typedef PluginBool (*PluginInputReadFn)(void* context, uint64_t offset, uint32_t length,
                                        void* buffer);  // "_10"
typedef int (*PluginInputReadExFn)(void* context, uint64_t offset, uint32_t length,
                                   void* buffer);  // "_25"
typedef int (*PluginInputRangeQueryFn)(void* context, const uint8_t* usedBits, uint64_t first,
                                       uint32_t count, bool* empty, PluginCancelAdapter cancel,
                                       RangeProgressAdapter adapter,
                                       RangeProgressRecord* record);  // "_19"
typedef int (*PluginInputRangeQueryExFn)(void* context, const PluginMapRecord* map, uint64_t first,
                                         uint32_t count, bool* empty, RangeProgressAdapter adapter,
                                         RangeProgressRecord* record);         // "_23"
typedef int (*PluginOutputCheckGeometryFn)(const PluginGeometry32* geometry);  // "_13"
typedef int (*PluginOutputCheckGeometry64Fn)(uint64_t sectors, uint32_t heads,
                                             uint32_t sectorsPerTrack,
                                             uint32_t bytesPerSector);  // "_29"
typedef void* (*PluginOutputCreateFn)();                                // "_14"
typedef PluginBool (*PluginOutputSetPathFn)(void* context, const char* path,
                                            void* hostArgument);  // "_15"
typedef int (*PluginOutputSetPathExFn)(void* context, const char* path,
                                       void* hostArgument);  // "_27"
typedef void (*PluginOutputFreeFn)(void* context);           // "_16"
typedef int (*PluginOutputWriteFn)(const char* path, void* hostArgument,
                                   const PluginGeometry32* geometry,
                                   int (*read)(const DiskHandle*, uint64_t, uint32_t, void*),
                                   int (*isRangeEmpty)(const DiskHandle*, UsedSectorMap*, uint64_t,
                                                       uint32_t, bool*, RangeProgressAdapter,
                                                       RangeProgressRecord*),
                                   DiskHandle* source, UsedSectorMap* map,
                                   PluginCancelAdapter cancel, ProgressCallback progress,
                                   void* user);  // "_17"
typedef int (*PluginOutputWriteExFn)(const char* path, const PluginSourceRecord* source,
                                     const PluginMapRecord* map, ProgressCallback progress,
                                     void* user, void* hostArgument);  // "_24"
typedef PluginBool (*PluginGetErrorMessageFn)(char* buffer, uint32_t capacity,
                                              int* encoding);  // "_21"

// A loaded module: the dynamic-loader handle and 28 entry points, each NULL when the module
// does not export it.
struct PluginModule {
    void* library;
    PluginGetNameFn getName;
    PluginGetInterfaceKindFn getInterfaceKind;
    PluginGetVersionFn getVersion;
    PluginInputCreateFn inputCreate;
    PluginInputContextFn inputFree;
    PluginInputContextFn inputInit;
    PluginInputContextFn inputClose;
    PluginInputOpenFn inputOpen;
    PluginInputOpenExFn inputOpenEx;
    PluginInputGetGeometryFn inputGetGeometry;
    PluginInputGetGeometry64Fn inputGetGeometry64;
    PluginInputReadFn inputRead;
    PluginInputReadExFn inputReadEx;
    void* unused11;  // looked up, never called
    void* unused26;  // looked up, never called
    PluginInputRangeQueryFn inputRangeQuery;
    PluginInputRangeQueryExFn inputRangeQueryEx;
    PluginOutputCheckGeometryFn outputCheckGeometry;
    PluginOutputCheckGeometry64Fn outputCheckGeometry64;
    PluginOutputCreateFn outputCreate;
    PluginOutputSetPathFn outputSetPath;
    PluginOutputSetPathExFn outputSetPathEx;
    PluginOutputFreeFn outputFree;
    PluginOutputWriteFn outputWrite;
    PluginOutputWriteExFn outputWriteEx;
    void* unused18;  // looked up, never called
    void* unused20;  // looked up, never called
    PluginGetErrorMessageFn getErrorMessage;
};

// The symbol of the name entry; every module must export it.
extern const char* const PLUGIN_NAME_SYMBOL;

// Interface kind and version word of a module the host accepts: kind 1; version bytes 3 and 2
// are 0 and byte 1 is 6 (byte 0 is free).
enum : int { PLUGIN_INTERFACE_KIND = 1 };
enum : uint32_t { PLUGIN_VERSION_MAJOR = 6 };

// ---- Loader ------------------------------------------------------------------------------
// A record from Mem_Alloc (uninitialised), NULL when out of memory; free it with Mem_Free after
// Plugin_Unload.
PluginModule* Plugin_Alloc();
// Clears every field.
void Plugin_Init(PluginModule* module);
// Loads the shared object at `path` and looks up its entries. DISK_ERR_ARG when it cannot be
// loaded (also when it refers to symbols that cannot be resolved), lacks the name entry, or the
// record already holds a module; the record is then left cleared.
int Plugin_Load(PluginModule* module, const char* path);
// Unloads the library and clears the record.
void Plugin_Unload(PluginModule* module);
// Whether the module exports the interface-kind and version entries and answers kind 1 and a
// version word whose bytes 3, 2 and 1 are 0, 0 and 6.
bool Plugin_IsAccepted(const PluginModule* module);
// Acceptance of a version word alone.
bool Plugin_IsAcceptedVersion(uint32_t version);
// A module's result code as the host passes it on: 0, 1 and the engine's failure codes stay;
// any other value becomes DISK_ERR_PLUGIN.
int Plugin_MapResult(int result);

// ---- One host function per entry (missing entries are never called) ----------------------
// NULL without the entry.
const char* Plugin_GetName(const PluginModule* module);
// 0 without the entry.
int Plugin_GetInterfaceKind(const PluginModule* module);
// 0 without the entry.
uint32_t Plugin_GetVersion(const PluginModule* module);
void* Plugin_CreateInput(const PluginModule* module);
void Plugin_FreeInput(const PluginModule* module, void* context);
void Plugin_InitInput(const PluginModule* module, void* context);
void Plugin_CloseInput(const PluginModule* module, void* context);
int Plugin_Open(const PluginModule* module, void* context, const char* path, bool readOnly,
                void* hostArgument);
int Plugin_OpenEx(const PluginModule* module, void* context, const char* path, bool readOnly,
                  void* hostCallbacks);
// Leaves *out zeroed without the entry.
void Plugin_GetGeometry(const PluginModule* module, void* context, PluginGeometry32* out);
// Leaves the four values zeroed without the entry.
void Plugin_GetGeometry64(const PluginModule* module, void* context, uint64_t* sectors,
                          uint32_t* heads, uint32_t* sectorsPerTrack, uint32_t* bytesPerSector);
// False without the entry.
bool Plugin_Read(const PluginModule* module, void* context, uint64_t offset, uint32_t length,
                 void* buffer);
int Plugin_ReadEx(const PluginModule* module, void* context, uint64_t offset, uint32_t length,
                  void* buffer);
int Plugin_RangeQuery(const PluginModule* module, void* context, const uint8_t* usedBits,
                      uint64_t first, uint32_t count, bool* empty, PluginCancelAdapter cancel,
                      RangeProgressAdapter adapter, RangeProgressRecord* record);
int Plugin_RangeQueryEx(const PluginModule* module, void* context, const PluginMapRecord* map,
                        uint64_t first, uint32_t count, bool* empty, RangeProgressAdapter adapter,
                        RangeProgressRecord* record);
// The module's answer (0 = acceptable); DISK_ERR_ARG (a rejection) without the entry.
int Plugin_CheckGeometry(const PluginModule* module, const PluginGeometry32* geometry);
int Plugin_CheckGeometry64(const PluginModule* module, uint64_t sectors, uint32_t heads,
                           uint32_t sectorsPerTrack, uint32_t bytesPerSector);
void* Plugin_CreateOutput(const PluginModule* module);
// False without the entry.
bool Plugin_SetOutputPath(const PluginModule* module, void* context, const char* path,
                          void* hostArgument);
// 0 accepted, 1 refused (cancelled), anything else a failure.
int Plugin_SetOutputPathEx(const PluginModule* module, void* context, const char* path,
                           void* hostArgument);
void Plugin_DestroyOutput(const PluginModule* module, void* context);
int Plugin_Write(const PluginModule* module, const char* path, void* hostArgument,
                 const PluginGeometry32* geometry, DiskHandle* source, UsedSectorMap* map,
                 ProgressCallback progress, void* user);
int Plugin_WriteEx(const PluginModule* module, const char* path, const PluginSourceRecord* source,
                   const PluginMapRecord* map, ProgressCallback progress, void* user,
                   void* hostArgument);
// The message of the last DISK_ERR_PLUGIN, always terminated within `capacity`; false (with an
// empty text when capacity allows) without the entry or when the module has none.
bool Plugin_GetErrorMessage(const PluginModule* module, char* buffer, uint32_t capacity,
                            int* encoding);

// Presence tests of the optional entries the host chooses by.
bool Plugin_HasOpen(const PluginModule* module);
bool Plugin_HasOpenEx(const PluginModule* module);
bool Plugin_HasGetGeometry64(const PluginModule* module);
bool Plugin_HasRead(const PluginModule* module);
bool Plugin_HasReadEx(const PluginModule* module);
bool Plugin_HasRangeQuery(const PluginModule* module);
bool Plugin_HasRangeQueryEx(const PluginModule* module);
bool Plugin_HasCheckGeometry64(const PluginModule* module);
bool Plugin_HasSetOutputPath(const PluginModule* module);
bool Plugin_HasSetOutputPathEx(const PluginModule* module);
bool Plugin_HasWrite(const PluginModule* module);
bool Plugin_HasWriteEx(const PluginModule* module);

// The host's records.
void Plugin_InitMapRecord(PluginMapRecord* record, UsedSectorMap* map);
void Plugin_InitSourceRecord(PluginSourceRecord* record, DiskHandle* source, UsedSectorMap* map);

// ---- Plug-in disk (kind DISK_KIND_PLUGIN) ---------------------------------------------------
enum : int32_t {
    PLUGIN_READ_NONE = 0,
    PLUGIN_READ_BOOL = 10,    // "_10"
    PLUGIN_READ_RESULT = 25,  // "_25"
    PLUGIN_RANGE_NONE = 0,
    PLUGIN_RANGE_BITS = 19,  // "_19"
    PLUGIN_RANGE_MAP = 23    // "_23"
};

struct PluginDisk {
    DiskGeometry geometry;
    PluginModule* module;  // not owned
    void* context;         // the module's input context, owned
    int32_t readMode;
    int32_t rangeMode;
};

PluginDisk* PluginDisk_Alloc();
// Zero geometry, no module, no context, modes 0.
void PluginDisk_Init(PluginDisk* disk);
// Opens `path` through the module's plain opener ("_8") / extended opener ("_22"). The context
// is made and initialised first (DISK_ERR_ARG when it cannot be made, or when the opener is
// missing); a failed open closes and frees it again and returns the module's result. The
// geometry comes from "_28" when exported, else "_9"; a geometry without bytes per sector,
// heads or sectors per track, or whose byte size does not fit 63 bits, is refused with
// DISK_ERR_ARG (the context is released).
int PluginDisk_Open(PluginDisk* disk, PluginModule* module, const char* path, bool readOnly,
                    void* hostArgument);
int PluginDisk_OpenEx(PluginDisk* disk, PluginModule* module, const char* path, bool readOnly,
                      void* hostCallbacks);
// Closes and frees the context when there is one; clears the disk.
void PluginDisk_Close(PluginDisk* disk);
void PluginDisk_GetGeometry(const PluginDisk* disk, DiskGeometry* out);
// DISK_ERR_ARG beyond the disk; DISK_ERR_READ when "_10" answers false; DISK_ERR_UNSUPPORTED
// without a read entry.
int PluginDisk_Read(PluginDisk* disk, uint64_t offset, uint32_t length, void* buffer);
// DISK_ERR_ARG beyond the disk; DISK_ERR_UNSUPPORTED without a range entry.
int PluginDisk_IsRangeEmpty(PluginDisk* disk, UsedSectorMap* map, uint64_t first, uint32_t count,
                            bool* empty, RangeProgressAdapter adapter, RangeProgressRecord* record);

// ---- Output side --------------------------------------------------------------------------
void* Plugin_CreateOutputContext(const PluginModule* module);
bool Plugin_SetOutputPathBool(const PluginModule* module, void* context, const char* path,
                              void* hostArgument);
int Plugin_SetOutputPathInt(const PluginModule* module, void* context, const char* path,
                            void* hostArgument);
void Plugin_DestroyOutputContext(const PluginModule* module, void* context);
// Writes the source through "_24" when exported; otherwise through "_17", which takes 32-bit
// geometries only (DISK_ERR_ARG for a source of 2^32 sectors or more); DISK_ERR_ARG when the
// module has no writer. DISK_ERR_PLUGIN means that the module holds a message.
int Plugin_WriteImage(const PluginModule* module, const char* path, DiskHandle* source,
                      UsedSectorMap* map, ProgressCallback progress, void* user,
                      void* hostArgument);
// The module's message after DISK_ERR_PLUGIN (see Plugin_GetErrorMessage).
bool Plugin_FetchErrorMessage(const PluginModule* module, char* buffer, uint32_t capacity,
                              int* encoding);
// Whether the module accepts a destination geometry: through "_29" with the 64-bit total when
// exported; otherwise a total of 2^32 sectors or more is refused without asking, and "_13" is
// asked with the 32-bit values. 0 acceptable; non-zero a rejection (also without any check
// entry).
int Plugin_CheckDestinationGeometry(const PluginModule* module, const DiskGeometry* geometry);
