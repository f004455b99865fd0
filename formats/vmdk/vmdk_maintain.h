// Operations on an open VMDK image (DiskKind 0) that rewrite it or add to it: compaction in
// place, rewriting without free space, expanding the capacity, creating a child disk, and
// changing descriptor parameters.
//
// Compaction, rewrite and expansion write their new files under temporary names (the file
// name with "_TEMP" for compaction, "_temp" otherwise, or the first free numbered variant: never
// an existing file nor a file of the image's chain) and leave the image and its files as they
// were. Each refuses with DISK_ERR_ARG, before anything is written, when the backup name of a
// file it replaces (the name + "_del") is a file of the image's chain. A failed or cancelled
// operation removes what it wrote, so the original is always untouched; a successful one leaves
// a set that the caller commits (after closing the image) or discards.
//
// An image of one file is replaced by one link-then-rename. An image with a descriptor file of
// its own never has a member replaced under its name: every extent file that changes is written
// for a fresh name derived from its own ("disk-s001.vmdk" becomes "disk-s001~1.vmdk", see
// OutputSet_FreshName), the new descriptor names the fresh files, and the commit puts them in
// place before the descriptor switches with one rename (foundation/output_set.h), so that the
// image opens as the old or the new one at every instant. Extent files that do not change keep
// their names. The replaced descriptor is kept under its name + "_del" with the old extent files
// it names left beside it, a whole image; with OUTPUT_COMMIT_REMOVE_REPLACED they are removed
// once the new image is in place, and replacing an earlier backup removes the extent files
// that only it named.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/output_file.h"
#include "foundation/text.h"

struct UsedSectorMap;

// ---- Sets of temporary files ------------------------------------------------------------------
// Compaction: the descriptor entry (left unarmed for a one-file image, whose file is its extent;
// else the new descriptor) and one list entry per extent written, final path = the extent's path
// (one-file image) or its fresh name, temporary path = that + "_TEMP" (or a free numbered
// variant); `retired` lists the old extent files that the new descriptor no longer names (final
// paths only).
struct VmdkCompactSet {
    OutputFile descriptor;
    OutputList extents;
    OutputList retired;

    VmdkCompactSet() = default;
    VmdkCompactSet(const VmdkCompactSet&) = delete;
    VmdkCompactSet& operator=(const VmdkCompactSet&) = delete;
};

// Rewrite and expansion: the descriptor file or the monolithic file, then one output per
// extent file written (under a fresh name, or a new extent's name); `retired` lists the old
// extent files that the new descriptor or file no longer names (final paths only).
struct VmdkTempFileSet {
    OutputFile descriptor;
    OutputFileList extents;
    OutputList retired;

    VmdkTempFileSet() = default;
    VmdkTempFileSet(const VmdkTempFileSet&) = delete;
    VmdkTempFileSet& operator=(const VmdkTempFileSet&) = delete;
};

// Empty sets.
void Vmdk_InitCompactSet(VmdkCompactSet* set);
void Vmdk_InitTempFileSet(VmdkTempFileSet* set);

// Commits the set as one (see above): the replaced file is kept under its name + suffix and,
// with OUTPUT_COMMIT_REMOVE_REPLACED, removed once everything is in place (a file already under
// the kept name is replaced only with OUTPUT_COMMIT_REPLACE_BACKUP). On failure every original is
// in place and the temporary files are removed. The set is empty afterwards. DISK_OK (once the
// new image holds the image's name), DISK_ERR_ARG (a name too long), DISK_ERR_BACKUP_EXISTS,
// DISK_ERR_CREATE, DISK_ERR_NOMEM.
int Vmdk_CommitCompact(VmdkCompactSet* set, TextView suffix, uint32_t flags);
int Vmdk_CommitTempFileSet(VmdkTempFileSet* set, TextView suffix, uint32_t flags);
// Removes every temporary file of the set; the set is empty afterwards. The first failure, or
// DISK_OK.
int Vmdk_DiscardCompact(VmdkCompactSet* set);
int Vmdk_DiscardTempFileSet(VmdkTempFileSet* set);

// ---- Operations ---------------------------------------------------------------------------------
// Writes a compacted copy of every extent ("_TEMP" files) from the whole image, leaving out the
// grains that the map marks unused or that hold only zeros (for a child: the grains not stored
// in this layer or holding no used sector). preallocated: each output is preallocated to its
// extent's size and cut at its end. Header and table places stay the same; a descriptor file of
// its own is rewritten only to name the compacted extents' fresh files.
// DISK_ERR_ARG for a source that is not an open VMDK image or cannot be compacted (flat,
// compressed or stream-optimised extents, a child opened without its parent, two extents in
// one file); DISK_ERR_FORMAT
// for an extent whose table sets do not fit before its first grain; the writers' failures;
// DISK_CANCELLED.
int Vmdk_Compact(const DiskHandle* source, UsedSectorMap* map, VmdkCompactSet* set,
                 bool preallocated, ProgressCallback progress, void* user);

// Rewrites a sparse image without its free space. A split image with `compress` becomes one
// monolithic sparse file with compressed grains at descriptorPath (its old extents stay beside
// the kept descriptor, or go with OUTPUT_COMMIT_REMOVE_REPLACED); otherwise the layout stays:
// every extent is rewritten for a fresh name, its grains compressed or not by `compress`, and a
// separate descriptor is rewritten to name them (sizes, types and the rest of the text kept). A stream-optimised image is rewritten
// with its tables in place and its descriptor saying "monolithicSparse". DISK_ERR_ARG for a flat
// image, a map given with a child image, two extents in one file, an image that does not fit
// one extent, names too long;
// the writers' failures; DISK_CANCELLED.
int Vmdk_RewriteWithoutFreeSpace(const char* descriptorPath, const DiskHandle* source,
                                 UsedSectorMap* map, VmdkTempFileSet* set, bool compress,
                                 ProgressCallback progress, void* user);

// Expands the image to newSectors sectors; the sectors added read as zeros (for a child: they
// read through to the parent). Split images grow their last extent up to the extent unit (the
// largest extent, at least VMDK_EXPAND_MIN_UNIT sectors) and add numbered extents of that
// unit. The grains of a child are kept by the per-layer query, so zero grains keep hiding the
// parent. With a descriptor file of its own, the grown last extent is written for a fresh name
// and a new extent whose numbered name another file has gets a fresh variant of it. DISK_ERR_ARG for a size not above the current one, more than VMDK_MAX_EXTENTS
// extents, two sparse extents in one file, a new extent named like a file of the image or its
// parents, or a monolithic image beyond 32-bit sector counts (before anything is written),
// names too long; DISK_ERR_FORMAT when the descriptor cannot be rewritten; the writers'
// failures; DISK_CANCELLED.
enum : uint32_t { VMDK_EXPAND_MIN_UNIT = 0x3FF800 };
int Vmdk_ExpandCapacity(const char* descriptorPath, const DiskHandle* source, UsedSectorMap* map,
                        VmdkTempFileSet* set, uint64_t newSectors, ProgressCallback progress,
                        void* user);

// Creates a child of the open parent image at childPath: the parent's descriptor rewritten with
// a new CID, parentCID = the parent's CID, a sparse createType ("monolithicSparse" for one
// file, "twoGbMaxExtentSparse" for a descriptor with numbered extents; flat, vmfs and
// stream-optimised parents recognised in any letter case), sparse extents of the parent's
// sizes and no ddb lines, and parentFileNameHint = the parent path as given (absoluteHint) or
// relative to the child's directory. Every extent is written without grains. DISK_ERR_ARG for
// a parent that is not an open VMDK image, a child path equal to the parent's, a child file
// (descriptor or extent) that would land on a file of a VMDK image of the parent's chain,
// names too long or a hint that cannot be made relative; DISK_ERR_FORMAT when the descriptor
// cannot be rewritten into a readable child descriptor; DISK_ERR_CREATE, DISK_ERR_WRITE.
int Vmdk_CreateChild(const DiskHandle* parent, const char* parentPath, const char* childPath,
                     bool absoluteHint);

// Rewrites the descriptor of the open image with the edits (values in editEncoding, the text
// written in outputEncoding). The extent lines are kept when the edits set extentCount to the
// image's extent count with no entry set. The new text must parse and describe the same
// extents (sizes, types, offsets and file names), and an embedded text must fit the descriptor
// area of the first extent: otherwise
// DISK_ERR_ARG and nothing is written. An embedded descriptor is written in place (its sectors
// only); a separate descriptor file (descriptorPath, or the image path when NULL) is replaced
// through a temporary file and a rename, and the image is opened again (writable, parent mode
// 1). DISK_ERR_FORMAT when the text cannot be rewritten, DISK_ERR_READ, DISK_ERR_WRITE,
// DISK_ERR_CREATE, or the reopen's failure.
int Vmdk_ChangeParameters(DiskHandle* image, const VmdkDescriptorEdits* edits,
                          const char* descriptorPath, TextEncoding editEncoding,
                          TextEncoding outputEncoding);

struct VmdkImage;
// The largest capacity Vmdk_ExpandCapacity can give the open image, in sectors: 32-bit sector
// counts for an image of one extent; for a split image the extents before the last plus at
// most VMDK_MAX_EXTENTS extents of the expansion unit (the largest extent, at least
// VMDK_EXPAND_MIN_UNIT sectors, in whole grains of the last extent), never above 2^54 - 1
// sectors. 0 for NULL or an image without extents; a split image that already holds more than
// VMDK_MAX_EXTENTS extents answers its own size.
uint64_t Vmdk_MaxExpandCapacity(const VmdkImage* image);
