// Sparse VMDK extents: one file holding part or all of a disk in grains, found through a grain
// directory (GD) of grain tables (GT), optionally with zlib-compressed grains and the markers
// and footer of the stream-optimised layout. Opening and checking, reading, the empty-range and
// per-layer queries, and the writers of new, compacted and rewritten extents.
//
// Every header field and table entry comes from the file and is checked before it divides,
// shifts, allocates or indexes: grain sizes are powers of two up to VMDK_MAX_GRAIN_SECTORS, the
// directory must fit memory and the file, and entries must point inside the file.
#pragma once

#include <cstdint>
#include <zlib.h>

#include "disk/disk.h"
#include "disk/disk_source.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"

struct UsedSectorMap;

enum : uint32_t {
    VMDK_SPARSE_MAGIC = 0x564D444B,  // "KDMV"
    VMDK_SECTOR_BYTES = 512,
    VMDK_HEADER_FIELD_BYTES = 80,           // bytes of the header that carry fields
    VMDK_GT_ENTRIES = 512,                  // numGTEsPerGT, the only value accepted
    VMDK_GT_SECTORS = 4,                    // sectors of one grain table
    VMDK_DEFAULT_GRAIN_SECTORS = 128,       // grain size of the extents written here
    VMDK_MAX_GRAIN_SECTORS = 0x10000,       // largest grain accepted (32 MiB)
    VMDK_MAX_DESCRIPTOR_SECTORS = 64,       // largest embedded descriptor accepted
    VMDK_EMBEDDED_DESCRIPTOR_SECTORS = 20,  // embedded descriptor of the extents written here
    VMDK_FLAGS_NEWLINE_TEST = 0x1,
    VMDK_FLAGS_REDUNDANT_TABLES = 0x2,
    VMDK_FLAGS_COMPRESSED = 0x10000,
    VMDK_FLAGS_MARKERS = 0x20000,
    VMDK_FLAGS_PLAIN = 0x3,  // written for plain extents
    VMDK_FLAGS_COMPRESSED_WRITTEN = 0x30001,
    VMDK_COMPRESS_NONE = 0,
    VMDK_COMPRESS_DEFLATE = 1,
    VMDK_GRAIN_MARKER_BYTES = 12,  // u64 sector, u32 length before compressed data
    VMDK_NO_INDEX = 0xFFFFFFFFu
};

// gdOffset of a stream-optimised header: the directory lies at the end of the file.
static const uint64_t VMDK_GD_AT_END = 0xFFFFFFFFFFFFFFFFull;

// Marker types of the stream-optimised layout.
enum : uint32_t {
    VMDK_MARKER_EOS = 0,
    VMDK_MARKER_GT = 1,
    VMDK_MARKER_GD = 2,
    VMDK_MARKER_FOOTER = 3
};

// The first 80 bytes of the 512-byte header at byte 0, in host order (little-endian on disk).
struct VmdkSparseHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t flags;
    uint64_t capacity;          // sectors of the extent
    uint64_t grainSize;         // sectors per grain
    uint64_t descriptorOffset;  // 1 with an embedded descriptor, else 0
    uint64_t descriptorSize;    // sectors of the embedded descriptor
    uint32_t numGTEsPerGT;
    uint64_t rgdOffset;  // sector of the redundant directory, 0 = none
    uint64_t gdOffset;   // sector of the directory; VMDK_GD_AT_END for stream-optimised
    uint64_t overHead;   // sectors before the first grain
    uint8_t uncleanShutdown;
    uint8_t singleEndLineChar;   // 0x0A
    uint8_t nonEndLineChar;      // 0x20
    uint8_t doubleEndLineChar1;  // 0x0D
    uint8_t doubleEndLineChar2;  // 0x0A
    uint16_t compressAlgorithm;  // 0 none, 1 deflate
    uint8_t pad;
};

// Decodes the first 80 bytes of a header sector / encodes a header into a 512-byte sector (the
// bytes past 80 are zeroed).
void VmdkSparse_HeaderToHost(const uint8_t* sector, VmdkSparseHeader* header);
void VmdkSparse_HeaderToDisk(const VmdkSparseHeader* header, uint8_t* sector);

// The identity checks: magic, version 1..3, descriptorOffset 0 with descriptorSize 0 or 1 with
// descriptorSize 1..64 (low 32 bits compared), numGTEsPerGT 512, the line-end bytes and
// compressAlgorithm 0 or 1 with a zero pad.
bool VmdkSparse_HeaderIsValid(const VmdkSparseHeader* header);
// The identity checks plus the fields a reader divides, shifts and allocates by: grainSize a
// power of two from 1 to VMDK_MAX_GRAIN_SECTORS and uncleanShutdown 0. DISK_OK, or
// DISK_ERR_FORMAT with the failed check recorded (foundation/refusal.h).
int VmdkSparse_CheckHeader(const VmdkSparseHeader* header);

// Fills a header with the writers' layout for an extent of `sectors` sectors with grains of
// grainSectors (a power of two up to VMDK_DEFAULT_GRAIN_SECTORS): version, flags and
// compressAlgorithm by the compression; capacity rounded up to 128 sectors when hwVersionIndex
// is 0, 1 or 2 and the grain is VMDK_DEFAULT_GRAIN_SECTORS (an extent with smaller grains is
// followed by another and must end where its line says); descriptorOffset 1 with
// descriptorSectors > 0; plain or compressed: rgdOffset = descriptorSectors + 1, gdOffset after
// the redundant set, overHead rounded up to whole grains; stream-optimised: rgdOffset 0, gdOffset
// VMDK_GD_AT_END, overHead 128 (at least past the descriptor, in whole grains).
void VmdkSparse_BuildHeader(VmdkSparseHeader* header, uint32_t sectors, uint32_t descriptorSectors,
                            uint32_t hwVersionIndex, bool compressed, bool streamOptimized,
                            uint32_t grainSectors = VMDK_DEFAULT_GRAIN_SECTORS);

// The grain of a sparse extent of `sectors` sectors that another extent follows: the largest
// power of two up to VMDK_DEFAULT_GRAIN_SECTORS that divides it, so that the extent ends on a
// grain boundary (other readers take a whole grain from an extent, past its end when it ends
// inside one). 63 sectors give 1, 100000 give 32.
uint32_t VmdkSparse_GrainForInnerExtent(uint32_t sectors);

// The grain of extent `index` of an image of `count` sparse extents of sizes[] sectors: every
// extent but the last ends on a grain boundary. Readers that map grains over the whole disk
// want one grain size of more than 8 sectors, so the extents share the largest grain that fits
// them all; an extent that only grains of 8 sectors or less fit (a 63-sector first track) gets
// its own.
uint32_t VmdkSparse_GrainInImage(const uint32_t* sizes, uint32_t count, uint32_t index);

// The 16-byte marker of the stream-optimised layout (a marker sector is 512 bytes, rest zero).
struct VmdkMarker {
    uint64_t value;
    uint32_t size;
    uint32_t type;
};

// ---- Extents --------------------------------------------------------------------------------
struct VmdkSparseExtent {
    ByteStream* stream;  // owned
    VmdkSparseHeader header;
    uint32_t extentSectors;  // from the descriptor
    uint32_t gdEntryCount;
    uint32_t* gd;          // gdEntryCount entries
    uint32_t* rgd;         // gdEntryCount entries, or NULL without a redundant directory
    uint32_t cachedTable;  // index of the cached GT, VMDK_NO_INDEX none
    uint32_t* gt;          // VMDK_GT_ENTRIES
    uint32_t* rgt;         // VMDK_GT_ENTRIES, or NULL without a redundant directory
    uint8_t readOnly;
    uint32_t entryLimit;   // file size in sectors when read-only, else 0xFFFFFFFF
    DiskSource* parent;    // borrowed; NULL without a parent
    uint64_t firstSector;  // first sector of the extent in the whole disk
    uint8_t compressed;
    z_stream* zlib;  // borrowed from the image
    uint32_t grainBytes;
    uint8_t* compressedBuffer;  // 2 x grainBytes + one sector (compressed extents)
    uint8_t* grainBuffer;       // grainBytes (compressed extents)
    uint32_t cachedGrain;       // index within the cached GT of the grain in grainBuffer
    uint8_t* scratch;           // work area of the empty-range query (one grain, at most 2 MiB)
    uint32_t scratchBytes;
    uint64_t fileSize;  // bytes when opened
    char path[4096];    // UTF-8, terminated
};

// No stream, no tables, nothing cached.
void VmdkSparse_Init(VmdkSparseExtent* extent);
// Closes the stream, frees the tables and buffers, clears the extent. DISK_ERR_WRITE when data
// written through the stream could not be committed at the close, else DISK_OK.
int VmdkSparse_Close(VmdkSparseExtent* extent);

// Opens an extent file through the open callback. 1 when the callback cancelled, DISK_ERR_OPEN
// when it failed; DISK_ERR_READ, DISK_ERR_SIZE, DISK_ERR_NOMEM, DISK_ERR_FORMAT (bad header,
// a monolithic extent (separateDescriptor false) without an embedded descriptor, a directory
// outside the file, a bad stream footer, an extent larger than the header's capacity),
// DISK_ERR_ARG (path over 4096 bytes). An extent behind a separate descriptor may reserve an
// unused descriptor area of its own. On failure the extent is left cleared.
//
// Table entries: 0 is a grain not stored here (read from the parent, or zeros), 1 a grain of
// zeros that hides the parent's data, any other value the grain's sector.
int VmdkSparse_Open(VmdkSparseExtent* extent, FileOpenFn open, void* user, const char* path,
                    bool readOnly, bool separateDescriptor, DiskSource* parent, z_stream* zlib,
                    uint64_t firstSector, uint32_t extentSectors);

// Reads length bytes at a byte offset within the extent. DISK_ERR_ARG past the extent's end.
int VmdkSparse_Read(VmdkSparseExtent* extent, uint64_t offset, uint32_t length, void* buffer);

// *empty = 1 when every sector of the range (sectors within the extent) that the map marks used
// is zero or not stored here; unallocated grains are asked of the parent.
int VmdkSparse_IsRangeEmpty(VmdkSparseExtent* extent, UsedSectorMap* map, uint32_t first,
                            uint32_t count, bool* empty, RangeProgressAdapter adapter,
                            RangeProgressRecord* record);
// *out = 1 when no grain of the range is stored in this extent or, with a map, every stored
// grain holds no sector the map marks used. Reads no data.
int VmdkSparse_IsRangeUnallocated(VmdkSparseExtent* extent, UsedSectorMap* map, uint32_t first,
                                  uint32_t count, bool* out);

// Whether the extent's grains are compressed or it has the stream-optimised layout.
bool VmdkSparse_IsCompressedOrStream(const VmdkSparseExtent* extent);

// Checks one table entry (see the entry rules); answers DISK_OK with *valid and *value (1 turned
// into 0), or DISK_ERR_FORMAT for an entry past the limit of a writable extent.
int VmdkSparse_CheckEntry(const VmdkSparseExtent* extent, uint32_t entry, bool* valid,
                          uint32_t* value);
// Loads GT k into the cache, reconciling it with its redundant copy. DISK_ERR_FORMAT for a table
// outside the file or entries that cannot be reconciled, DISK_ERR_READ.
int VmdkSparse_LoadTable(VmdkSparseExtent* extent, uint32_t table);

// ---- Writers --------------------------------------------------------------------------------
// The writer's plan of a table layout.
struct VmdkGrainLayout {
    uint32_t grainBytes;
    uint32_t grainSectors;
    uint32_t sectorsPerTable;  // VMDK_GT_ENTRIES x grainSectors
    uint32_t tableCount;
    uint32_t gdSectors;         // ceil(tableCount / 128)
    uint32_t tableSectors;      // VMDK_GT_SECTORS
    uint32_t step;              // grainSectors
    uint64_t thirdSetSector;    // 0 none
    z_stream* zlib;             // deflate state of compressed output (owned by the writer)
    uint8_t* compressedOutput;  // 2 x grainBytes (owned by the writer)
};

// Writes a new sparse extent of `sectors` sectors from source sectors firstSourceSector.. into
// `path` (created) or, with a temp pair, into its temporary path (the final path + "_temp", or
// a free numbered variant of it),
// arming the pair once the file exists. descriptor: descriptorSectors x 512 bytes embedded at
// sector 1, or NULL. The header sector is written last: a partial extent has none. Blocks that the source reports empty (the per-layer query with layerQuery,
// else the empty-range query with the map) are left out. Progress reports (done, total) with
// done counted in source sectors. DISK_OK, 1 cancelled, DISK_ERR_CREATE, DISK_ERR_WRITE,
// DISK_ERR_NOMEM, DISK_ERR_ARG (names too long, a grain that does not compress into its buffer,
// an extent whose grains would not fit 32-bit sector entries), and the source's failures.
// grainSectors: the grain of the new extent (see VmdkSparse_BuildHeader).
// Compressed and stream-optimised extents compress their grains on this many threads (0, the
// default: the machine's cores; at most 16), as every writer that compresses on the worker pool
// does (WorkPool_SetDefaultWorkers). The output is the same for every number.
void VmdkSparse_SetCompressionWorkers(uint32_t workers);
int VmdkSparse_Write(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     OutputFile* temp, uint32_t descriptorSectors, const uint8_t* descriptor,
                     uint32_t hwVersionIndex, uint64_t firstSourceSector, uint32_t sectors,
                     bool layerQuery, bool compressed, bool streamOptimized,
                     ProgressCallback progress, void* user, uint64_t total,
                     uint32_t grainSectors = VMDK_DEFAULT_GRAIN_SECTORS);

// Writes a compacted copy of an extent (plain grains only) to outputPath: the header and the
// embedded descriptor unchanged, the table sets at the header's places, then only the grains
// that hold used, non-zero data, read from the whole image `source` (layerQuery: only grains
// stored in this layer). preallocated: the file is preallocated to the extent's size and cut at
// its end. On failure the output is removed. DISK_ERR_FORMAT when the extent is compressed or
// stream-optimised or its table sets do not fit before overHead.
int VmdkSparse_Compact(VmdkSparseExtent* extent, const char* outputPath, const DiskHandle* source,
                       UsedSectorMap* map, bool layerQuery, bool preallocated,
                       ProgressCallback progress, void* user, uint64_t total);

// Like compaction, into the temporary path of the pair (final path + "_temp" or a free numbered
// variant, armed once
// created), with grains compressed or plain by `compressed` (version, flags and
// compressAlgorithm rewritten) and an optional new embedded descriptor (descriptorBytes bytes,
// at most descriptorSize x 512, else DISK_ERR_ARG) at byte 512; without one the old embedded
// descriptor is copied. A header whose table sets cannot stay where they are (stream-optimised
// extents) gets the writers' fresh layout. The layer query is used when the source has a
// parent. The extent's header, extentSectors and firstSector describe the output; the caller
// may pass an extent record prepared with another header (one file made of a split image).
int VmdkSparse_Rewrite(VmdkSparseExtent* extent, const char* extentPath, const DiskHandle* source,
                       UsedSectorMap* map, OutputFile* temp, const uint8_t* descriptor,
                       uint32_t descriptorBytes, bool compressed, ProgressCallback progress,
                       void* user, uint64_t total);
