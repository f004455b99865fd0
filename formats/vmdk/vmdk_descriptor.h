// The text descriptor of a VMDK image: reading it from a stream (a file of its own or the text
// embedded after the header of a monolithic sparse extent), parsing it into a VmdkDescriptor,
// writing the descriptor of a new disk, and rewriting an existing descriptor line by line with a
// VmdkDescriptorEdits record, keeping every line that is not edited byte for byte.
//
// Descriptor texts are in Shift_JIS or UTF-8: parsing starts in UTF-8 and an "encoding" line
// switches the lines after it. Every TextView of a VmdkDescriptor points into the descriptor text,
// which its owner keeps alive; file names and the parent hint are in the descriptor's final
// text encoding (textEncoding).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/stream.h"
#include "foundation/text.h"

enum : uint32_t {
    VMDK_MAX_EXTENTS = 1000,              // extent lines a descriptor may hold
    VMDK_MAX_DESCRIPTOR_BYTES = 0x20000,  // longest descriptor text read
    VMDK_NAME_CAPACITY = 4096,    // bytes of a file name or path buffer (terminator included)
    VMDK_HW_VERSION_COUNT = 14,   // entries of the hardware-version table
    VMDK_HW_VERSION_DEFAULT = 9,  // index of "12", taken when a descriptor has no version key
    VMDK_CREATE_OPTIONS_HEADER_BYTES = 36,  // fixed part of a VmdkCreateOptions block
    VMDK_CREATE_EXTENT_BYTES = 4100,        // one extent of a VmdkCreateOptions block
    VMDK_DESCRIPTOR_EDITS_BYTES = 4128192   // sizeof(VmdkDescriptorEdits)
};

// Extent types of an extent line.
enum : uint32_t {
    VMDK_EXTENT_SPARSE = 0,  // "SPARSE"
    VMDK_EXTENT_FLAT = 1     // "FLAT" or "VMFS"
};

// Encoding choices (the "encoding" line).
enum : uint32_t {
    VMDK_ENCODING_NONE = 0,       // no "encoding" line
    VMDK_ENCODING_SHIFT_JIS = 1,  // "Shift_JIS"
    VMDK_ENCODING_UTF8 = 2,       // "UTF-8"
    VMDK_ENCODING_OTHER = 3       // any other value (read only)
};

// Adapter types ("ddb.adapterType").
enum : uint32_t {
    VMDK_ADAPTER_IDE = 0,
    VMDK_ADAPTER_BUSLOGIC = 1,
    VMDK_ADAPTER_LSILOGIC = 2,
    VMDK_ADAPTER_UNSET = 0xFFFFFFFFu
};

// createType values, recognised without regard to ASCII case.
enum : uint32_t {
    VMDK_CREATE_MONOLITHIC_SPARSE = 0,  // "monolithicSparse"
    VMDK_CREATE_SPLIT_SPARSE = 1,       // "twoGbMaxExtentSparse"
    VMDK_CREATE_MONOLITHIC_FLAT = 2,    // "monolithicFlat"
    VMDK_CREATE_SPLIT_FLAT = 3,         // "twoGbMaxExtentFlat"
    VMDK_CREATE_STREAM_OPTIMIZED = 4,   // "streamOptimized"
    VMDK_CREATE_VMFS = 5,               // "vmfs"
    VMDK_CREATE_TYPE_COUNT = 6,
    VMDK_CREATE_UNKNOWN = 0xFFFFFFFFu
};

// Values of VmdkCreateOptions.flat.
enum : uint32_t { VMDK_LAYOUT_SPARSE = 0, VMDK_LAYOUT_FLAT = 1, VMDK_LAYOUT_VMFS = 2 };

// Unset markers of the parse result.
enum : uint32_t { VMDK_HW_VERSION_UNSET = 0xFFFFFFFFu };

// ---- Parse result --------------------------------------------------------------------------
struct VmdkExtentEntry {
    uint32_t sectors;   // size of the extent in 512-byte sectors
    TextView fileName;  // between the quotes
    uint32_t type;      // VMDK_EXTENT_SPARSE or VMDK_EXTENT_FLAT
    uint64_t offset;    // sectors into the file; 0 when absent
};

struct VmdkDescriptor {
    uint32_t split;        // 0 one extent, 1 several extents (or a list of flat extents)
    uint32_t flat;         // 0 sparse extents, 1 flat extents
    uint32_t isChild;      // 1 when the text names a parent (parentFileNameHint)
    uint32_t extentCount;  // 0..VMDK_MAX_EXTENTS
    VmdkExtentEntry extents[VMDK_MAX_EXTENTS];
    uint8_t encodingAbsent;  // 1 until an "encoding" line is read
    TextView encoding;
    uint32_t encodingChoice;  // VMDK_ENCODING_*
    uint32_t textEncoding;    // TEXT_ENC_SJIS or TEXT_ENC_UTF8 in force at the end of the text
    TextView cid;
    TextView parentCid;
    TextView createType;
    TextView parentFileNameHint;  // trimmed of blanks and tabs
    uint32_t hwVersionIndex;      // index into the hardware-version table; UNSET before parsing
    uint8_t uuidAbsent;           // 1 until a "ddb.uuid" line is read
    TextView uuid;
    uint32_t cylinders;
    uint32_t heads;
    uint32_t sectorsPerTrack;
    uint32_t adapter;  // VMDK_ADAPTER_*; UNSET before parsing (and for a child without the key)
    // Beyond the text's own fields, for the operations that act on the parse result:
    uint8_t hwVersionAbsent;   // 1 when the text has no "ddb.virtualHWVersion" line
    uint32_t createTypeIndex;  // VMDK_CREATE_* of createType
};

// ---- Options of a new disk ----------------------------------------------------------------
// One block of VMDK_CREATE_OPTIONS_HEADER_BYTES + VMDK_CREATE_EXTENT_BYTES x extentCount bytes:
// this record, then extentCount VmdkCreateExtent records. Reach the extents only through
// Vmdk_CreateOptionsExtent; copy the block with Vmdk_CopyCreateOptions.
struct VmdkCreateOptions {
    uint32_t mode;   // 0: a new disk from any source
    uint32_t split;  // 1: the descriptor is a file of its own listing several extents
    uint32_t flat;   // VMDK_LAYOUT_SPARSE, _FLAT or _VMFS
    uint32_t compressedGrains;
    uint32_t streamOptimized;
    uint32_t adapter;  // VMDK_ADAPTER_IDE, _BUSLOGIC, _LSILOGIC
    uint32_t hwVersionIndex;
    uint32_t encodingChoice;  // VMDK_ENCODING_NONE, _SHIFT_JIS, _UTF8
    uint32_t extentCount;
};

struct VmdkCreateExtent {
    char fileName[VMDK_NAME_CAPACITY];  // UTF-8, terminated; empty: the creator names it
    uint32_t sectors;
};

static_assert(sizeof(VmdkCreateOptions) == VMDK_CREATE_OPTIONS_HEADER_BYTES, "options header");
static_assert(sizeof(VmdkCreateExtent) == VMDK_CREATE_EXTENT_BYTES, "options extent");

// Bytes of a block for n extents (0 when n is above VMDK_MAX_EXTENTS).
uint32_t Vmdk_CreateOptionsSize(uint32_t extentCount);
// A zeroed block for n extents with extentCount = n (Mem_Alloc; free with Mem_Free); NULL when
// n is 0 or above VMDK_MAX_EXTENTS, or memory is exhausted.
VmdkCreateOptions* Vmdk_AllocCreateOptions(uint32_t extentCount);
// A new block holding a copy of the options and their extents; NULL as above.
VmdkCreateOptions* Vmdk_CopyCreateOptions(const VmdkCreateOptions* options);
// Extent i (0-based) of the block; the caller keeps i below extentCount.
VmdkCreateExtent* Vmdk_CreateOptionsExtent(VmdkCreateOptions* options, uint32_t index);
const VmdkCreateExtent* Vmdk_CreateOptionsExtentConst(const VmdkCreateOptions* options,
                                                      uint32_t index);

// ---- Edits of an existing descriptor ------------------------------------------------------
// Each editable item: "set" (the item is changed), "remove" (with set: the line is dropped), then
// the new value. Text values are in the edit encoding given to the rewrite.
struct VmdkEditU32 {
    uint8_t set;
    uint8_t remove;
    uint32_t value;
};

struct VmdkEditText {
    uint8_t set;
    uint8_t remove;
    TextView value;
};

struct VmdkExtentEdit {
    uint8_t set;
    uint32_t sectors;
    TextView
        fileName;  // in the file-name encoding given to the rewrite (may point into the storage)
    char fileNameStorage[VMDK_NAME_CAPACITY];
    uint8_t makeSparse;  // access "RW", type "SPARSE", offset dropped
};

struct VmdkDescriptorEdits {
    VmdkEditU32 version;
    VmdkEditU32 encoding;  // an encoding choice (VMDK_ENCODING_SHIFT_JIS or _UTF8)
    VmdkEditText cid;
    VmdkEditText parentCid;
    VmdkEditText createType;
    VmdkEditText parentFileNameHint;
    uint32_t extentCount;  // extent lines kept; old lines beyond it are dropped
    VmdkExtentEdit extents[VMDK_MAX_EXTENTS];
    VmdkEditU32 hwVersionIndex;
    VmdkEditText uuid;
    VmdkEditU32 cylinders;
    VmdkEditU32 heads;
    VmdkEditU32 sectorsPerTrack;
    VmdkEditU32 adapter;
    uint8_t dropDdbLines;  // drop every key line whose key begins with "ddb." (any case)
};

static_assert(sizeof(VmdkDescriptorEdits) == VMDK_DESCRIPTOR_EDITS_BYTES, "edits record size");

// Clears the whole record to zero (nothing set, extent count 0).
void Vmdk_ClearDescriptorEdits(VmdkDescriptorEdits* edits);

// ---- Reading and parsing ------------------------------------------------------------------
// Sets the state before a parse: no extents, both absent flags 1, empty views, hardware version
// and adapter unset, geometry 0, createTypeIndex unknown.
void Vmdk_InitDescriptor(VmdkDescriptor* descriptor);

// Reads the descriptor of a stream: the text embedded after a sparse header (descriptorSize x
// 512 bytes at byte 512), or else the whole stream. On success `text` owns a Mem_Alloc block
// (data; capacity = bytes read; length = up to the first NUL) that the caller frees with Mem_Free,
// and the descriptor's views point into it. DISK_ERR_SIZE, DISK_ERR_READ, DISK_ERR_NOMEM,
// DISK_ERR_FORMAT (too long, not text, a sparse extent without embedded text, an embedded text
// of a split image, a stream that starts like a sparse header but is none) and DISK_ERR_READ for
// a text that does not parse. On failure `text` is left empty.
int Vmdk_ReadDescriptor(ByteStream* stream, VmdkDescriptor* descriptor, TextBuffer* text);

// Parses a text (one encoding switch allowed through its "encoding" line); false when it is no
// valid descriptor. The views of the result point into the text.
bool Vmdk_ParseDescriptor(VmdkDescriptor* descriptor, TextView text);

// Checks what a reader checks of a descriptor text before use: `bytes` are cut at the first NUL,
// must be valid Shift_JIS or valid UTF-8, must parse, and an embedded text must not describe a
// split image. DISK_OK (the descriptor filled, *textLength the length up to the NUL when given)
// or DISK_ERR_FORMAT. Used to check a rewritten text before anything is written.
int Vmdk_CheckDescriptorText(VmdkDescriptor* descriptor, const uint8_t* bytes, uint32_t length,
                             bool embedded, uint32_t* textLength);

// ---- Writing ------------------------------------------------------------------------------
// Writes the descriptor of a new disk into out (capacity bytes, terminated in the output
// encoding) and answers its byte length without the terminator; 0 when it does not fit, the
// options are inconsistent (one extent required when split is 0, at most VMDK_MAX_EXTENTS, a
// stream-optimised image with more than one extent), the geometry has no heads or sectors per
// track, or a name cannot be converted. Extent lines carry the bare file names (the part after
// the last "/").
uint32_t Vmdk_WriteDescriptor(uint8_t* out, uint32_t capacity, const VmdkCreateOptions* options,
                              const DiskGeometry* geometry, TextEncoding outputEncoding);

// Rewrites an old descriptor text (in oldEncoding) into output (in outputEncoding, terminated)
// with the edits; text values of the edits are in editEncoding, extent file names in
// fileNameEncoding. Untouched lines are copied unchanged (converted when the encodings differ),
// every written line ends with LF. False when anything does not fit or cannot be converted, or
// an adapter value is not 0, 1 or 2.
bool Vmdk_RewriteDescriptor(TextView oldText, TextEncoding oldEncoding, TextBuffer* output,
                            TextEncoding outputEncoding, const VmdkDescriptorEdits* edits,
                            TextEncoding editEncoding, TextEncoding fileNameEncoding);
// The same with the output in the old text's encoding and UTF-8 file names.
bool Vmdk_RewriteDescriptorUtf8(TextView oldText, TextEncoding encoding, TextBuffer* output,
                                const VmdkDescriptorEdits* edits, TextEncoding editEncoding);

// ---- Names and geometry -------------------------------------------------------------------
// Choice 1 "Shift_JIS", any other "UTF-8".
const char* Vmdk_EncodingName(uint32_t encodingChoice);
// 0 "ide", 1 "buslogic", any other "lsilogic".
const char* Vmdk_AdapterName(uint32_t adapter);
// "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "14", "16", "17", "18"; an index beyond the
// table gives "16".
const char* Vmdk_HwVersionName(uint32_t hwVersionIndex);
// Index of a virtualHWVersion number: 3..12 -> 0..9, 14 -> 10, 17 -> 12, 18 -> 13, 0 ->
// VMDK_HW_VERSION_UNSET (refused), every other number -> 11 ("16").
uint32_t Vmdk_HwVersionIndexFromNumber(uint32_t number);
// VMDK_CREATE_* of a createType text (ASCII case ignored); VMDK_CREATE_UNKNOWN otherwise.
uint32_t Vmdk_CreateTypeIndex(TextView createType, TextEncoding encoding);
// The canonical spelling of a VMDK_CREATE_* value; NULL for an unknown one.
const char* Vmdk_CreateTypeName(uint32_t createTypeIndex);

// Default geometry of a new disk of `bytes` bytes in 512-byte sectors. SCSI: whole MiB rounded
// up, 64 heads x 32 sectors below 1024 MiB, else 255 x 63, total = MiB x 2048 (never less than
// the source). Not SCSI: 16 heads x 63 sectors, total = ceil(bytes / 512). Always true.
bool Vmdk_ComputeGeometry(uint64_t bytes, bool scsi, DiskGeometry* geometry);
bool Vmdk_GetDefaultGeometry(uint64_t bytes, bool scsi, DiskGeometry* geometry);
