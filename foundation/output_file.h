// Safe replacement of output files. A rewrite never writes over an image directly: it writes
// each new file under a temporary name and, once everything is written, swaps the new files in,
// keeping each replaced file under its old name with a suffix (commit), or removes the
// temporary files (rollback).
//
// Commit guarantees:
// - every temporary file is synced to disk before the first rename, and the directories after
//   the renames;
// - an image never loses its name: the replaced file is first linked to its kept name and the
//   new file then renamed over it, so that the final name always holds the old file or the new
//   one (on a file system without hard links the replaced file is renamed aside first and moved
//   back when the new file cannot take the final name);
// - a file already under a kept name is never replaced unless the caller allows it: without
//   OUTPUT_COMMIT_REPLACE_BACKUP the commit is refused before anything is touched (when the kept
//   files are removed afterwards, a free name "<kept>1", "<kept>2"... is used instead);
// - a list is swapped in as one: when one entry fails, the entries already swapped in are
//   undone in reverse order, so that a multi-file image is never half old and half new; kept
//   files are removed (remove-replaced flag) only after every entry was swapped in.
//
// The records below point into themselves (each path buffer points at its own record's
// storage) and must never be copied; the copy operations are deleted.
#pragma once

#include <cstdint>

#include "foundation/text.h"

enum : uint32_t {
    OUTPUT_PATH_CAPACITY = 4096,
    // Names tried for a temporary or transient kept file: the name itself, then with 1 to 99
    // appended.
    OUTPUT_NAME_TRIES = 100
};

// Commit flags. A bool handed as flags is the remove-replaced flag.
enum : uint32_t {
    OUTPUT_COMMIT_REMOVE_REPLACED = 1,  // remove the kept files once everything is in place
    OUTPUT_COMMIT_REPLACE_BACKUP = 2    // a file found under a kept name may be replaced
};

// Final and temporary path (UTF-8, kept terminated; the terminator is not counted). A final
// path of length 0 names no file; a temporary path of length 0 means that nothing was written
// under a temporary name.
struct OutputEntry {
    TextBuffer finalPath;
    TextBuffer tempPath;
    uint8_t finalStorage[OUTPUT_PATH_CAPACITY];
    uint8_t tempStorage[OUTPUT_PATH_CAPACITY];

    OutputEntry() = default;
    OutputEntry(const OutputEntry&) = delete;
    OutputEntry& operator=(const OutputEntry&) = delete;
};

// An entry with an armed flag: the writer arms it once the temporary file exists; commit and
// rollback act only on an armed output and disarm it, so that each happens at most once; a
// commit that fails leaves it armed, so that a rollback can still remove the temporary file.
struct OutputFile {
    bool armed;
    OutputEntry entry;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
};

// Lists own their blocks (from Mem_Alloc); commit and rollback free them. The caller allocates
// a list for n entries, fills entries 0, 1, ... and raises the count to the number it filled.
struct OutputList {
    uint32_t count;
    OutputEntry* entries;

    OutputList() = default;
    OutputList(const OutputList&) = delete;
    OutputList& operator=(const OutputList&) = delete;
};

struct OutputFileList {
    uint32_t count;
    OutputFile* files;

    OutputFileList() = default;
    OutputFileList(const OutputFileList&) = delete;
    OutputFileList& operator=(const OutputFileList&) = delete;
};

// Both paths empty over the entry's own storage.
void OutputEntry_Init(OutputEntry* entry);
// Swaps the temporary file in under the final path, keeping a replaced file under the final
// path + suffix (UTF-8); with OUTPUT_COMMIT_REMOVE_REPLACED that kept file is removed afterwards.
// DISK_OK; DISK_ERR_ARG when a name does not fit (nothing is touched); DISK_ERR_BACKUP_EXISTS
// when a file lies under the kept name and the flags do not allow replacing it (nothing is
// touched); DISK_ERR_CREATE when the temporary file made by OutputEntry_ChooseNames is no
// longer under its name or the swap fails (the replaced file keeps or gets back its name).
// A kept name that is the replaced file itself (an interrupted commit's trace) is removed
// first. Once the new file holds the final name the commit has succeeded: a kept file that
// cannot be removed is left with the note IN_PLACE_NOTE_BACKUP_LEFT (in_place.h).
int OutputEntry_Commit(OutputEntry* entry, TextView suffix, uint32_t flags);
// Removes the temporary file when a temporary path is set; DISK_ERR_CREATE when that fails.
int OutputEntry_Rollback(OutputEntry* entry);

// Unarmed, entry initialised.
void OutputFile_Init(OutputFile* file);
// When armed: disarm, then the entry's commit or rollback (a failed commit arms it again);
// when not armed: DISK_OK.
int OutputFile_Commit(OutputFile* file, TextView suffix, uint32_t flags);
int OutputFile_Rollback(OutputFile* file);

// Count 0, no block.
void OutputList_Init(OutputList* list);
void OutputFileList_Init(OutputFileList* list);
// Frees a block already held (without touching its files), allocates n initialised entries
// (unarmed records) and sets the count to 0. False when memory is exhausted or n is too large;
// the list is then empty.
bool OutputList_Alloc(OutputList* list, uint32_t n);
bool OutputFileList_Alloc(OutputFileList* list, uint32_t n);
// Commits elements 0 to count - 1 as one (see above; unarmed outputs of an OutputFileList are
// skipped), then frees the block and sets the count to 0 whatever the result. Answers DISK_OK,
// DISK_ERR_ARG, DISK_ERR_BACKUP_EXISTS (checked for every entry before the first is touched),
// DISK_ERR_CREATE (first failure), or DISK_ERR_NOMEM when the bookkeeping of a
// long list cannot be allocated (nothing is touched then). When the swap fails, every original
// is in place and the temporary files are left under their names.
int OutputList_Commit(OutputList* list, TextView suffix, uint32_t flags);
int OutputFileList_Commit(OutputFileList* list, TextView suffix, uint32_t flags);
// Rolls back every element (going on past a failure, so that every temporary file that can be
// removed is), frees the block, count 0; answers the first failure or DISK_OK.
int OutputList_Rollback(OutputList* list);
int OutputFileList_Rollback(OutputFileList* list);

// ---- Names for rewriting an image in place ------------------------------------------------------
// An in-place rewrite must never write its temporary file over a file of the image (its
// descriptor, extents, parents) nor keep a replaced file under the name of one. The image's
// files are handed as a list of terminated UTF-8 paths; files are told apart by device and inode,
// so that another spelling of a path and hard or symbolic links count as the same file (a path
// that does not exist matches only itself, byte for byte).

// Whether `path` is one of the files.
bool Output_IsFileOf(const char* path, const char* const* files, uint32_t count);

// DISK_ERR_ARG when finalPath + backupSuffix is one of the image's files (or does not fit), else
// DISK_OK. Nothing is touched.
int Output_CheckBackupName(const char* finalPath, TextView backupSuffix,
                           const char* const* imageFiles, uint32_t fileCount);

// Begins an in-place rewrite of finalPath: locks the file under finalPath (see in_place.h) for
// as long as the entry lives (until its commit or rollback), sets the entry's final path to
// finalPath and its temporary path to the first of finalPath + tempSuffix, then the same with
// "1" to "99" appended, under which nothing exists (a leftover of an earlier run is never
// reused) and that is none of the image's files, and makes that temporary file as a new, empty
// file (never through a link; a name taken between the choice and the creation is passed over
// for the next one). The writer then creates the temporary file by its name as before
// (File_Create and its kin open this very file, and refuse when the name no longer holds it),
// and the commit renames it in only while its name still holds it. The new file is locked too.
// With a backup suffix (length > 0) the backup name is checked first (Output_CheckBackupName).
// DISK_OK; DISK_ERR_IN_USE (another operation holds the file; nothing made); DISK_ERR_ARG
// (backup name is a file of the image, names that do not fit); DISK_ERR_CREATE when every
// candidate is taken or the file cannot be made. On failure both paths are left empty, nothing
// is made and nothing stays locked. A commit (whatever its result) or a rollback (of an armed
// output or not) ends it; a failed commit removes the temporary file, except after
// DISK_ERR_BACKUP_EXISTS of a single output (the caller may commit again or roll back).
int OutputEntry_ChooseNames(OutputEntry* entry, const char* finalPath, TextView tempSuffix,
                            TextView backupSuffix, const char* const* imageFiles,
                            uint32_t fileCount);

// Whether keptPath is finalPath's own file under a second name: what a commit killed between
// linking the replaced file to its kept name and renaming the new file in leaves behind. Such a
// kept name holds no backup; the next commit removes it.
bool Output_IsInterruptedCommitTrace(const char* finalPath, const char* keptPath);

// Test hook: called during a commit after a replaced file was linked (or renamed) to its kept
// name and before the new file takes the final name. NULL (the default) for none.
typedef void (*OutputCommitHook)(const char* finalPath, const char* keptPath, void* user);
void Output_SetCommitHook(OutputCommitHook hook, void* user);
// Test hook: called by OutputEntry_ChooseNames with a temporary name it chose, just before it
// makes the file. NULL (the default) for none.
typedef void (*OutputCreateHook)(const char* tempPath, void* user);
void Output_SetCreateHook(OutputCreateHook hook, void* user);
