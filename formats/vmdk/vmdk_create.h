// Writing a new VMDK image from any open source disk: the descriptor, then every extent (one
// sparse file with the descriptor embedded, a descriptor file with one flat file, or a
// descriptor file with numbered sparse or flat extents), leaving out the blocks that the
// used-sector map marks free and the blocks that hold only zeros.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/output_file.h"

struct UsedSectorMap;

enum : uint32_t {
    VMDK_COPY_BLOCK_SECTORS = 4096,  // sectors of one copy block (2 MiB)
    VMDK_COPY_BLOCK_BYTES = 4096 * 512,
    VMDK_CREATE_TEXT_MIN_BYTES = 10240,       // descriptor buffer of a new image (20 sectors)
    VMDK_CREATE_TEXT_BYTES_PER_EXTENT = 4160  // descriptor buffer per extent
};

// Writes a new image at `path` (UTF-8) from the source: a copy of the options is taken, empty
// extent names are filled ("<stem>-flat.<ext>" for one flat extent, the output itself for one
// sparse extent with the descriptor embedded, "<stem>-s001.<ext>", "-s002", ... otherwise), every
// extent is written in order (a sparse extent's header last), and for split or flat layouts the
// descriptor file after them, so that a run that was cancelled or failed leaves nothing that
// opens as an image. The extents must add up to the source's total of 512-byte sectors.
// Progress reports (done, total) in source sectors, 0 first; a false answer stops the writer
// with DISK_CANCELLED. Files written before a failure stay on disk. Sparse extents that another
// follows end on a grain boundary, with grains shrunk below 128 sectors where their size needs it
// (VmdkSparse_GrainInImage), since other readers take a whole grain from the extent that holds
// its first sector.
// Results: DISK_OK, DISK_CANCELLED, DISK_ERR_NOMEM, DISK_ERR_FORMAT (no descriptor text results,
// for example one extent required without split), DISK_ERR_ARG (inconsistent options: no
// extents or more than VMDK_MAX_EXTENTS, a stream-optimised image that is not one sparse
// extent, extents that do not add up to the source, a source without 512-byte sectors, names
// or paths too long, two extents on one file), DISK_ERR_CREATE, DISK_ERR_WRITE, and the
// source's read and map failures.
int Vmdk_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback progress, void* user, const VmdkCreateOptions* options);

// Writes a flat extent of `sectors` sectors taken from source sectors firstSourceSector.. into
// `path` (created) or, with a temp pair, into its temporary path (path + "_temp"), arming the
// pair once the file exists. The data starts at byte dataOffset of the file (the bytes before
// it are left as zeros). The copy goes in blocks of VMDK_COPY_BLOCK_SECTORS through `buffer`
// (VMDK_COPY_BLOCK_BYTES, or NULL to allocate one for the call): sectors that the map marks
// free are not read and are stored as zeros, blocks that end up all zero are not written (the
// file keeps holes there), and sectors at or past the source's end read as zeros without being
// asked. Progress (done counted in source sectors, total) before and after every block; NULL
// reports nothing. DISK_OK, DISK_CANCELLED, DISK_ERR_ARG, DISK_ERR_CREATE, DISK_ERR_WRITE,
// DISK_ERR_NOMEM, and the source's failures.
// Opens into `out` a view of the source (a resizing view of the same size, DISK_KIND_RESIZE) in
// which the sectors that the map marks free read as zeros, so that the blocks a writer keeps
// carry no garbage from free space. The view borrows source and map; close it with Disk_Close
// before them. DISK_ERR_NOMEM, DISK_ERR_ARG without source or map.
int Vmdk_OpenFreeSpaceFilter(DiskHandle* out, const DiskHandle* source, UsedSectorMap* map);

// Fills an output with the final path and the temporary path = path + suffix (UTF-8), or the
// first free of path + suffix + "1", "2"... (an existing file is never written over), unarmed.
// DISK_ERR_ARG when a path does not fit, DISK_ERR_CREATE when every name is taken.
int Vmdk_FillTempPair(OutputFile* output, const char* path, TextView suffix);

int VmdkFlat_Write(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* temp,
                   uint64_t dataOffset, uint64_t firstSourceSector, uint32_t sectors,
                   uint8_t* buffer, ProgressCallback progress, void* user, uint64_t total);
