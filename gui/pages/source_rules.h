// The rules of the source, source-information, destination-type and geometry pages that need no
// window: how an open result is answered, the keyed reopen of an encrypted image, the used-sector
// map that both the conversion and the trim use, the trim preparation, the sector-size lists,
// the size arithmetic of a new blank disk, the destination list and the geometry page's result.
//
// Every function works on the ConversionJob and the engine alone, so that the pages stay thin
// and the rules are checked as tables.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "gui/job/conversion_job.h"

struct UsedSectorMap;

// ---- Limits of the geometry fields ---------------------------------------------------------
enum : uint64_t {
    SOURCE_MIN_TOTAL_SECTORS = 4,
    SOURCE_MAX_TOTAL_SECTORS = 0x3FFFFFFFFFFFFFull,  // 2^54 - 1
    SOURCE_MAX_NEW_MIB = 0x7FFFFFFFFFFull,
    SOURCE_MAX_NEW_GIB = 0x1FFFFFFFFull,
    SOURCE_MAX_DEVICE_OFFSET = 0x7FFFFFFFFFFFFFFFull  // a non-negative signed 64-bit offset
};
enum : uint32_t { SOURCE_MAX_HEADS = 255, SOURCE_MAX_SECTORS_PER_TRACK = 255 };

// ---- Sector-size lists -----------------------------------------------------------------------
// Nine items: item i means 2^(i + 7) bytes (128 .. 32768).
enum : int { SOURCE_SECTOR_SIZE_ITEMS = 9 };
// The bytes of an item; items outside the list mean 512.
uint32_t SourceRules_SectorSizeOfItem(int item);
// The first item whose size is at least `bytes`; 0 when none is.
int SourceRules_SectorSizeItem(uint32_t bytes);

// Whether total x bytes per sector is a byte size that fits a signed 64-bit file offset.
bool SourceRules_ByteSizeFits(uint64_t totalSectors, uint32_t bytesPerSector);

// ---- New blank disk ---------------------------------------------------------------------------
// Size units of the new-disk page.
enum : int32_t { NEW_DISK_UNIT_SECTORS = 0, NEW_DISK_UNIT_MIB = 1, NEW_DISK_UNIT_GIB = 2 };

// Whether a typed size is inside its unit's range (4 .. 2^54 - 1 sectors, 1 .. 0x7FFFFFFFFFF
// MiB, 1 .. 0x1FFFFFFFF GiB).
bool SourceRules_NewDiskValueInRange(int32_t unit, uint64_t value);
// The sector count of a typed size: the sectors as typed, or (1 MiB / bytes per sector) x MiB,
// or (1 MiB / bytes per sector) x GiB x 1024, in 64 bits. False when the value is outside its
// unit's range, the sector size is not one of the list's, or the count leaves 4 .. 2^54 - 1.
bool SourceRules_NewDiskSectors(int32_t unit, uint64_t value, uint32_t bytesPerSector,
                                uint64_t* sectors);
// What the three size fields show for a sector count: MiB and GiB rounded up.
void SourceRules_NewDiskFieldValues(uint64_t sectors, uint32_t bytesPerSector, uint64_t* mib,
                                    uint64_t* gib);

// ---- Opening an image file ---------------------------------------------------------------------
enum SourceOpenAction {
    SOURCE_OPEN_DONE = 0,      // opened
    SOURCE_OPEN_STAY = 1,      // cancelled by the user: stay without a message
    SOURCE_OPEN_PASSWORD = 2,  // an encrypted image wants its password
    SOURCE_OPEN_RAW = 3,       // no format takes the file: it is a raw image
    SOURCE_OPEN_MESSAGE = 4    // a failure the user is told about
};
// How the page answers the result of an open by probing. Only "no kind accepts it" (-207) and
// "snapshots refused" (-217) make the file a raw image. A file that cannot be opened gives
// MSG_SOURCE_CANNOT_OPEN; an image that must first be repaired by the program that wrote it (a
// VHDX with a pending log, -216) MSG_SOURCE_UNAPPLIED_LOG; an image that a format knows for its
// own but refuses (-206, the probe's answer for a damaged image), and every other failure (read
// error, out of memory, corrupt structures...), MSG_RAW_CANNOT_OPEN. *message is set for
// SOURCE_OPEN_MESSAGE.
SourceOpenAction SourceRules_ClassifyOpenResult(int result, int* message);
// Whether the path names something that exists but is neither a regular file nor a block
// device (a FIFO, a socket, a directory, a character device): the engine refuses to open it,
// and the page says why.
bool SourceRules_IsUnusableFileKind(const char* path);

// Reads bytes 510 and 511 of the disk: a read failure is returned as it is; otherwise
// *present = (they are 0x55 0xAA) and 0.
int Ui_HasBootSignature(const DiskHandle* disk, bool* present);

// Reopens an encrypted qcow (kind 12) or qcow2 (kind 13) image with a 16-byte key into an
// empty handle: the qcow2 opener refusing snapshots with backing mode 0, or the qcow opener.
typedef int (*SourceKeyedOpenFn)(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind,
                                 const uint8_t key[16]);
// The keyed opener the qcow handlers provide; NULL while no handler provides one, and then
// every keyed open answers DISK_ERR_UNSUPPORTED.
extern SourceKeyedOpenFn SourceRules_KeyedOpen;
int SourceRules_OpenWithKey(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind,
                            const uint8_t key[16]);

// The password road after the password dialog was accepted: job->sourceDisk holds the kind
// that asked for a key (12 or 13) without an object. The image is reopened with the key; with
// `verify` the boot signature must then show (read failure: message 27; none: message 375,
// "wrong key"), and a refused disk is closed. On success the key is kept in the job
// (encryptionKey, keySet = 1) whether it was verified or not, so that a later trim can write
// the image encrypted. 0 on success; otherwise the open's failure (or DISK_ERR_KEY_LENGTH for
// a wrong key) with *message set (27 or 375). The handle itself stays allocated.
int SourceRules_OpenWithPassword(ConversionJob* job, const uint8_t key[16], bool verify,
                                 int* message);

// ---- Used-sector map ------------------------------------------------------------------------------
enum SourceMapOutcome {
    SOURCE_MAP_BUILT = 0,    // a map with at least one recognised file system
    SOURCE_MAP_NOTHING = 1,  // nothing recognised: no map, every sector counts as used
    SOURCE_MAP_FAILED = 2    // the disk could not be examined (*result holds why)
};
// The one builder of the source's used-sector map, for the conversion and the trim alike:
// UsedMap_Create (the MBR with its chains, GPT and LVM2, then the PC-98 table, then the whole
// disk as one volume). A disk whose tables list nothing usable or whose regions no driver
// recognises gets no map (a map without a recognised region would only answer "all used").
// *map receives the map for SOURCE_MAP_BUILT and NULL otherwise; *known the number of regions
// with a recognised file system; *result the builder's result.
SourceMapOutcome SourceRules_BuildUsedMap(const DiskHandle* disk, UsedSectorMap** map,
                                          uint32_t* known, int* result);
// Destroys and frees a map (NULL is fine).
void SourceRules_FreeMap(UsedSectorMap* map);

// ---- Trim in place -------------------------------------------------------------------------------
enum SourceTrimAction {
    SOURCE_TRIM_OFF = 0,      // not asked for: convert
    SOURCE_TRIM_ASK = 1,      // a map was built: ask the trim settings
    SOURCE_TRIM_REFUSED = 2,  // this source cannot be trimmed (message 30)
    SOURCE_TRIM_NO_MAP = 3    // no file system to trim by (message 109)
};
// The trim check after a successful open. For SOURCE_TRIM_ASK *map holds the built map (owned by
// the caller); for SOURCE_TRIM_REFUSED and SOURCE_TRIM_NO_MAP the source disk has been closed
// and released (job->sourceDisk NULL) and *message is set. SOURCE_TRIM_OFF clears
// job->trimInPlace.
SourceTrimAction SourceRules_PrepareTrim(ConversionJob* job, bool wanted, UsedSectorMap** map,
                                         int* message);

// ---- Destination type page ---------------------------------------------------------------------
// Whether the destination table holds the check and writer of a destination kind
// (ConvertRun_IsDestinationAvailable). The others are listed but cannot be chosen.
bool SourceRules_DestinationAvailable(int32_t destKind);
// Whether a destination is refused for a new blank disk (partition saving and plug-ins).
bool SourceRules_DestinationRefusedForNewDisk(int32_t destKind);
// Whether the destination computes its own geometry (3, 8, 9, 10, 11, 14, 17, 19).
bool SourceRules_DestinationForcesAutoGeometry(int32_t destKind);

// The partition check box of the destination page applied on Next: wanted and no map yet
// builds one (SourceRules_BuildUsedMap); not wanted releases a map. *known receives the number
// of recognised file systems of a new map.
enum SourcePartitionOutcome {
    SOURCE_PARTITIONS_KEPT = 0,     // nothing to build (box off, or a map exists already)
    SOURCE_PARTITIONS_BUILT = 1,    // a new map with *known recognised file systems (message 111)
    SOURCE_PARTITIONS_NOTHING = 2,  // nothing recognised: no map (message 110)
    SOURCE_PARTITIONS_FAILED = 3    // the map could not be built (message 109)
};
SourcePartitionOutcome SourceRules_ApplyPartitionChoice(ConversionJob* job, bool wanted,
                                                        uint32_t* known);

// ---- Geometry page -------------------------------------------------------------------------------
// The geometry page's result: workGeometry = sourceGeometry with the total set (through
// Geometry_SetTotalSectors) and, in manual mode, the typed heads and sectors per track; the
// manual fields and the two mode flags stored. The caller has validated the values.
void SourceRules_ApplyGeometry(ConversionJob* job, uint64_t total, bool manual, uint32_t heads,
                               uint32_t sectorsPerTrack);
