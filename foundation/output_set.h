// Committing an image made of several files: a descriptor that names member files (a VMDK
// descriptor and its extents, a Parallels bundle's "DiskDescriptor.xml" and its data files).
//
// Renames cannot swap several files as one, so a rewrite never writes a member under the name
// of one the image uses: every changed member is written under a fresh name (one that no file
// has, derived from the member's old name: "disk-s001.vmdk" becomes "disk-s001~1.vmdk", and
// that one "disk-s001.vmdk" again when it is free), the new descriptor names the fresh
// members, and the commit
//   1. syncs every new member and gives it its fresh name (never replacing a file), then syncs
//      the directory: the old descriptor still names only old members, the image is the old one;
//   2. switches the descriptor with one link-then-rename (OutputEntry_Commit): from that rename
//      on, the descriptor names only new members, all in place, and the image is the new one;
//   3. removes what the new image no longer uses (see below).
// A kill at any instant therefore leaves the old image or the new one, whole. A kill before the
// switch leaves the new members beside the old image under their fresh names or temporary names;
// no descriptor names them, and the next run picks other fresh names.
//
// Backups: the replaced descriptor is kept under its name + suffix ("_del") as usual, and the old
// members it names (the retired members) stay under their names beside it, so that the kept
// descriptor still opens as the whole old image. With OUTPUT_COMMIT_REMOVE_REPLACED the kept
// descriptor and the retired members are removed once the new image is in place. When an
// earlier backup is replaced (OUTPUT_COMMIT_REPLACE_BACKUP), the members it named are removed
// as well, except every file that the new image, the new backup or the caller's keep list uses,
// so that backups replaced run after run leave no member files behind.
//
// A kept name that is the descriptor itself (same device and inode: the trace of a commit killed
// between its link and its rename) is no backup: it is removed before anything else.
#pragma once

#include <cstdint>

#include "foundation/output_file.h"
#include "foundation/text.h"

// Receives one path (terminated UTF-8) from a member lister.
typedef void (*OutputPathSink)(const char* path, void* sinkUser);
// Lists the member files that a descriptor file at `descriptorPath` names (their full paths),
// passing each to the sink; nothing when the file cannot be read or parsed. Called on a kept
// backup only, whose bytes are untrusted.
typedef void (*OutputMemberLister)(const char* descriptorPath, OutputPathSink sink, void* sinkUser,
                                   void* listerUser);

// The files of one commit. Paths are terminated UTF-8 strings.
struct OutputSetFiles {
    // The descriptor: its final path (an existing file) and the temporary file holding the new
    // descriptor (an empty temporary path: the descriptor stays as it is and no member may be
    // given).
    const char* descriptorFinal;
    const char* descriptorTemp;
    // New members: final paths that no file has yet, and the temporary files written for them.
    const char* const* memberFinals;
    const char* const* memberTemps;
    uint32_t memberCount;
    // Old members that the new descriptor no longer names.
    const char* const* retired;
    uint32_t retiredCount;
    // Files that are never removed (the files of the image's parents, members kept unchanged).
    const char* const* keep;
    uint32_t keepCount;
    // Reads a replaced backup's members; NULL: such members are left alone.
    OutputMemberLister lister;
    void* listerUser;
};

// The fresh name for a member at `path`: the directory and extension kept, the stem stripped of
// a "~<digits>" ending, then as it is or with "~1", "~2", ... up to "~99", the first under which
// no file lies and that is none of `avoid` (compared by name and, for existing files, by device
// and inode). The names of a member thus cycle through a few and come back to the first. DISK_OK; DISK_ERR_ARG when a name does
// not fit `capacity` bytes with its terminator; DISK_ERR_CREATE when every candidate is taken.
int OutputSet_FreshName(const char* path, const char* const* avoid, uint32_t avoidCount, char* out,
                        uint32_t capacity);

// Whether path + suffix is the file at path itself (same device and inode): the trace of a commit
// killed between its link and its rename, which the next commit removes; no backup.
bool OutputSet_IsCommitTrace(const char* path, TextView suffix);

// Commits the set (see above). DISK_OK once the descriptor is switched, whatever a later removal
// does. DISK_ERR_ARG (names that do not fit, members without a new descriptor),
// DISK_ERR_BACKUP_EXISTS (a file lies under the kept name and the flags allow neither replacing
// it nor a free kept name), DISK_ERR_CREATE (a member cannot take its fresh name, the switch
// fails): then the old descriptor and every old member are in place, every new member that took
// its fresh name is removed again and the temporary files are left for the caller's rollback.
int OutputSet_Commit(const OutputSetFiles* files, TextView suffix, uint32_t flags);
