// The destination formats of a conversion: one row per destination kind with everything the
// wizard and the run decide by kind (its name in the list, its option page, the file pattern
// of the browse dialog, the geometry rules, the capability check and the writer).
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "disk/split_disk.h"

struct ConversionJob;
struct UsedSectorMap;

// Destination kinds (ConversionJob::destKind): the option page of a built-in kind is page
// 9 + kind; the plug-in destination has none.
enum DestKind : int32_t {
    DEST_VMDK = 0,
    DEST_COWD3 = 1,  // VMware 3 (COWD version 3)
    DEST_COWD2 = 2,  // VMware 2 (COWD version 1)
    DEST_VHDX = 3,
    DEST_VHD_DYNAMIC = 4,
    DEST_VHD_FIXED = 5,
    DEST_PARALLELS_BUNDLE = 6,
    DEST_PARALLELS_FILE = 7,
    DEST_BOCHS_GROWING = 8,
    DEST_BOCHS_SPARSE = 9,
    DEST_QCOW = 10,
    DEST_QCOW2 = 11,
    DEST_VDI = 12,
    DEST_HDI = 13,
    DEST_THD = 14,
    DEST_NHD = 15,
    DEST_VHD100 = 16,  // "VHD1.00" image
    DEST_PC98E = 17,   // headerless PC98E image
    DEST_HDIM = 18,
    DEST_UNZ = 19,     // headerless Unz image
    DEST_SPLIT = 20,   // split part files (partition saving)
    DEST_FLAT = 21,    // flat raw image with a ".txt" description
    DEST_PLUGIN = 22,  // a destination plug-in
    DEST_BUILTIN_COUNT = 22,
    DEST_KIND_COUNT = 23
};

// What a writer gets: the destination path (UTF-8), the source (a resizing view where the final
// geometry asks for one), the used-sector map (NULL: every sector counts) and the final total,
// the progress callback, and the question for each output part of a split set.
struct DestinationWrite {
    ConversionJob* job;
    const char* path;
    DiskHandle* source;
    UsedSectorMap* map;
    uint64_t total;
    ProgressCallback progress;
    void* user;
    SplitPartCallback partCallback;
    void* partUser;
};

// The capability check of a kind on a geometry (the check gets its own copy): 0 the format can
// hold it, non-zero it cannot.
typedef int (*DestinationCheck)(ConversionJob* job, DiskGeometry* geometry);
// The writer of a kind: a result code of the engine.
typedef int (*DestinationWriter)(const DestinationWrite& write);

struct DestinationRow {
    int32_t kind;
    int nameMessage;          // the item of the destination-type list (-1: not listed)
    int optionPage;           // the wizard page of its options (-1: none)
    int patternMessage;       // the pattern list of the destination page's file dialog
    bool forcesAutoGeometry;  // the format computes its own heads and sectors per track
    bool vhdCylinders;        // whole cylinders by the VHD rule, not total % (heads x sectors)
    bool needsSourceDisk;     // cannot be chosen for a new blank disk
    DestinationCheck check;   // NULL: the build cannot check this format
    DestinationWriter write;  // NULL: the build cannot write this format
};

// The row of a kind, or NULL for a kind outside the table.
const DestinationRow* Destination_Row(int32_t kind);
// The rows in kind order, DEST_KIND_COUNT of them. Writable for tests that take a writer away.
DestinationRow* Destination_Rows();
// Whether the build has both the check and the writer of a kind.
bool Destination_IsAvailable(int32_t kind);
