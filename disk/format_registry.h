// One row per disk kind, and the registry that fills the operation tables and the probe order
// from the rows.
//
// Each format describes itself in one DiskFormatRow beside its own code: its operations, whether
// probing tries it, how its files are marked and which file name extensions name it. The list
// of every row (DiskFormatRows_List) lives outside the disk core, so that the core includes no
// format; the registry reads it the first time a table or the probe order is asked for, so that
// nothing depends on the order in which globals of different files are initialised.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "disk/disk_open.h"

enum : uint32_t {
    // Bytes of the start and of the end of a file that the marks are tested on.
    DISK_MARK_BYTES = 512,
    // File name extensions a row may claim.
    DISK_ROW_EXTENSIONS = 5
};

// The first and last bytes of a file, taken once for every mark test of one probe.
struct DiskFileMarks {
    const uint8_t* head;  // the file's first `length` bytes
    const uint8_t* tail;  // the file's last `length` bytes
    uint32_t length;      // the file's size, at most DISK_MARK_BYTES
};

// Whether the file carries the kind's own signature. Probing goes on past a kind that refuses a
// file; when the file carries that kind's mark, the refusal stands for a damaged image of that
// kind instead of a file that nothing recognises.
typedef bool (*DiskCarriesMarkFn)(const DiskFileMarks* marks);

struct DiskFormatRow {
    DiskKind kind;     // 0..22 fills the kind's table slots; a negative kind only takes part in
                       // probing (its other operations are the core's built-in dispatch)
    const char* name;  // short name, for diagnostics
    DiskOpenFn open;   // default opener (DiskOpenTable); NULL for a negative kind
    DiskOpenWithHandlerFn openWithHandler;  // caller's opener, used by probing
    DiskCloseFn close;
    DiskGeometryFn geometry;
    DiskReadFn read;
    DiskRangeEmptyFn rangeEmpty;
    DiskCanCompactFn canCompact;              // NULL: never compacted
    DiskHasParentFn hasParent;                // NULL: never layered
    DiskRangeUnallocatedFn rangeUnallocated;  // NULL: no per-layer query
    bool probed;       // tried by probing; false: reached only through its extensions
    bool keyed;        // may answer DISK_ERR_PASSWORD: an encrypted image opened without a key
    bool directories;  // a directory names an image of the kind
    DiskCarriesMarkFn carriesMark;  // NULL: the kind's files carry no mark of their own
    // Extensions (the text after the last "." of the file name, compared without regard to
    // ASCII case) whose files try the kind first; unused entries NULL.
    const char* extensions[DISK_ROW_EXTENSIONS];
};

// Every row, in probe order: the kinds that probing tries are tried in the order of this list,
// and the kinds that share an extension are tried in this order too. Defined once outside the
// disk core (formats/format_rows.cpp).
const DiskFormatRow* const* DiskFormatRows_List(uint32_t* count);

// The row of a kind, or NULL when no row has that kind.
const DiskFormatRow* DiskRegistry_Row(DiskKind kind);
// The rows that probing tries, in order.
const DiskFormatRow* const* DiskRegistry_ProbeOrder(uint32_t* count);
// The rows that claim an extension, in probe-list order; at most `max` are stored, the number
// found is returned. NULL or an empty extension claims none.
uint32_t DiskRegistry_ExtensionRows(const char* extension, const DiskFormatRow** out, uint32_t max);

// ---- Helpers for the rows ------------------------------------------------------------------
// The caller's-opener entry of a kind whose open takes neither a parent mode nor an
// open-progress record.
template <int (*Open)(DiskHandle*, const FileOpener*, const char*, bool)>
int DiskOpenWithoutParent(DiskHandle* handle, const FileOpener* opener, const char* path,
                          bool readOnly, int, void*)
{
    return Open(handle, opener, path, readOnly);
}

// The buffer starts with the n bytes of `text`.
bool DiskMarks_StartsWith(const uint8_t* bytes, uint32_t length, const char* text, uint32_t n);
