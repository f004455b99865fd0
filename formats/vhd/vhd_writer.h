// VHD writers: dynamic VHD files from any source disk, compaction of an open dynamic or
// differencing VHD through a temporary file, capacity expansion, differencing children, and the
// rewrite of a child's parent locators.
//
// The dynamic file as written: a footer copy at 0, the dynamic header at 512, the block
// allocation table at 1536 (padded to a 4096-byte end with the alignment flag), the zero sectors
// after the table, the stored blocks (sector bitmap, full block, zero sectors after the block),
// and the footer.
//
// Every VHD written here reads back at its source's size: a footer whose creator sizes the disk
// by its current size states the exact byte size; a CHS-sized one states whole cylinders, so
// that a total of partial cylinders reads back rounded up to the next cylinder, with zeros
// after the source's end (Vhd_SetFooterGeometry).
// Copies go in pieces of at most VHD_COPY_BYTES with buffers allocated once per operation;
// sectors that the used-sector map marks free are never read and are stored as zeros.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/output_file.h"
#include "foundation/stream.h"
#include "foundation/text.h"

struct UsedSectorMap;

enum : uint32_t {
    VHD_COPY_BYTES = 0x200000,
    // Largest number of zero sectors after the table or after each block.
    VHD_MAX_PADDING_SECTORS = 1024,
    // Data space of the one locator a "win " child gets.
    VHD_WIN_LOCATOR_SPACE = 65536
};

// Vhd_WriteDynamic without an output record and without templates; the flag is not read.
int Vhd_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
               ProgressCallback callback, void* user, const VhdCreateOptions* options,
               uint32_t flags);

// Writes the source as a dynamic VHD. With an output record the file is written under the path
// followed by "_temp" (or "_temp1", "_temp2"... when that name is taken: an existing file is
// never written over) and the record is armed (the caller commits or rolls back); without one,
// at the path itself. Templates (host order) keep a source image's ids, times, type and header
// fields: sizes, CHS and max table entries are set for the source, the header goes to 512 and
// the table to 1536 whatever the template says, and both checksums are recomputed.
// DISK_ERR_ARG for a source that no VHD can hold (Vhd_CheckGeometry: above 2040 GiB, sectors
// other than 512 bytes, heads or sectors per track outside 1..255), unusable options or paths
// that do not fit; DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_ERR_SIZE (file past
// 2 TiB), DISK_CANCELLED, or the source's failure. A failed write leaves the partial file.
int Vhd_WriteDynamic(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     OutputFile* output, ProgressCallback callback, void* user,
                     const VhdCreateOptions* options, uint32_t unusedFlags,
                     const VhdFooter* footerTemplate, const VhdDynamicHeader* headerTemplate);

// Stores one block of the source at *position (in sectors), unless the source holds nothing
// there: with keepAllocation, nothing stored in the source's own layer
// (Disk_IsRangeUnallocated), else nothing but zeros and free space (each used sector is read
// once, and that read also serves the zero test). The BAT entry becomes the position or all
// ones. Without keepAllocation bitmap bits are set for
// the non-zero sectors; with it for every sector of the block's `sectors`.
// blockBuffer holds min(block bytes, VHD_COPY_BYTES) bytes; bitmapBuffer holds
// 2 x bitmapSectors x 512 bytes (the second half is scratch for the map's used bits).
int Vhd_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                   UsedSectorMap* map, uint8_t* blockBuffer, uint8_t* bitmapBuffer,
                   uint32_t bitmapSectors, uint32_t* bat, uint32_t blockIndex, uint32_t sectors,
                   const VhdCreateOptions* options, bool keepAllocation);

// Rewrites the open image of `source` (kind 6, compactable) without its unused blocks into the
// path followed by "_TEMP" (or the first free of "_TEMP1", "_TEMP2"...: never an existing file
// nor a file of the image's chain) and arms the output record; the layout inferred at open is
// kept. DISK_ERR_ARG, before anything is written, when the backup name (path + "_del") is a
// file of the image's chain.
// A differencing disk keeps every byte before its first block and exactly the blocks it
// stores (merged with the parent, all bits set); a dynamic disk drops empty blocks.
// Only the blocks the stored table holds are walked, with progress at most once per
// VHD_COPY_BYTES or per block (whichever is larger) and at the end.
// The image is not touched. DISK_ERR_ARG, DISK_ERR_CREATE, DISK_ERR_SIZE (preallocation),
// DISK_ERR_READ, DISK_ERR_WRITE, DISK_ERR_NOMEM, DISK_CANCELLED.
int Vhd_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* output,
                bool preallocate, ProgressCallback callback, void* user);
// OutputFile_Commit (flags OUTPUT_COMMIT_*) and OutputFile_Rollback; their failures are answered.
int Vhd_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags, bool entryPoint);
int Vhd_DiscardCompact(OutputFile* output);

// Writes a copy of the dynamic image of `source` with newTotal sectors into the output record
// (path followed by "_temp"): the old range is kept, the new one is empty. A used-sector map of
// the old disk may be given: the sectors after its end count as used. DISK_ERR_ARG for a
// differencing disk (its locators and parent-visible sectors would be lost), a capacity below
// the current one or above 2040 GiB (VHD_MAX_SECTORS), a backup name (path + "_del") that is a
// file of the image; else as Vhd_WriteDynamic.
int Vhd_ExpandCapacity(const char* path, const DiskHandle* source, UsedSectorMap* map,
                       OutputFile* output, uint32_t newTotal, ProgressCallback callback,
                       void* user);

// Creates an empty differencing VHD at childPath for the open parent disk found at parentPath
// (both absolute). DISK_ERR_FORMAT for a parent without 512-byte sectors or whose time cannot
// be read; DISK_ERR_ARG for unusable options, paths that do not fit or cannot be related, a
// child path naming the parent or a VHD further up its chain, a parent above 2040 GiB
// (Vhd_CheckCapacity), or a parent size the child's footer cannot state; else
// DISK_ERR_CREATE, DISK_ERR_WRITE, DISK_ERR_NOMEM. An existing file at childPath is replaced
// only when the child has been written completely.
int Vhd_CreateChild(const DiskHandle* parent, const VhdCreateOptions* options,
                    const char* parentPath, const char* childPath);
int Vhd_WriteChild(const VhdCreateOptions* options, uint32_t footerLength,
                   const VhdFooter* parentFooter, const DiskGeometry* parentGeometry,
                   TextView parentPath, TextView childPath);

// Bytes for one parent locator or the parent name.
struct VhdLocatorBytes {
    bool present;
    const uint8_t* data;
    uint32_t length;
};

struct VhdParentLocatorRequest {
    VhdLocatorBytes w2ku;        // absolute path, UTF-16 little-endian
    VhdLocatorBytes w2ru;        // relative path, UTF-16 little-endian
    VhdLocatorBytes wi2k;        // absolute path, Shift_JIS
    VhdLocatorBytes wi2r;        // relative path, Shift_JIS
    VhdLocatorBytes parentName;  // UTF-16 big-endian, at most 512 bytes
    const char* reopenPath;      // the path with which the image is opened again
};

// Writes every locator the request carries bytes for ("W2ku", "W2ru", "Wi2k", "Wi2r") and the
// parent name, through a temporary copy that replaces the file only once it opens with its new
// parent. A locator whose data space holds the bytes is rewritten in place; one that is too
// small, and a requested code that no slot carries (a child made here has only the relative
// ones), get an area in room inserted after the metadata: the blocks and the footer move by a
// multiple of 4096 bytes and the table entries with them, so the layout stays as it was. Empty
// bytes for a code the file lacks need nothing. DISK_ERR_ARG when no free slot is left for a
// missing code or a locator's bytes exceed VHD_MAX_LOCATOR_READ. The temporary
// name is never an existing file (the old parent keeps its file whatever its name), and a
// backup name (path + "_del") that is a file of the chain is refused (DISK_ERR_ARG). Every length
// and encoding is checked before anything is written: DISK_ERR_ARG with the file untouched.
// A new link whose parent cannot be opened answers that open's failure, and one that leads
// back to the image (itself, or through the chain of VHD files above the new parent) answers
// DISK_ERR_FORMAT, with the file untouched and the image still open. On success the image is open again from reopenPath
// (read-write, parent mode 1).
int Vhd_ChangeParentLocators(VhdImage* image, const VhdParentLocatorRequest* request);
