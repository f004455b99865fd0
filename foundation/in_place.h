// Locks and notes of the operations that change an image in place (compaction, expansion,
// relink, parameter and backing-name changes, children written over an existing file).
//
// Lock: every such operation holds an exclusive advisory lock (flock) on the image's files for
// its whole run, taken on descriptors of its own before anything is touched, so that a second
// in-place operation on the same image, in this process or another one, is refused with
// DISK_ERR_IN_USE instead of writing beside the first. Within one thread the locks nest (an
// operation that locks the image and then chooses its temporary names, which lock the replaced
// file again, counts once). A conversion that only reads an image takes no lock.
//
// Note: once the commit's rename is done an operation has succeeded; a later step that fails
// (removing the kept "_del" file, reopening the new image) is left as a note of the calling
// thread, read and cleared by InPlace_TakeNote after a success.
#pragma once

#include <cstdint>

enum : uint32_t {
    IN_PLACE_LOCK_FILES = 64  // files one lock record holds at most
};

struct InPlaceLock {
    uint32_t count;
    uint64_t dev[IN_PLACE_LOCK_FILES];
    uint64_t ino[IN_PLACE_LOCK_FILES];
};

// Holds nothing.
void InPlaceLock_Init(InPlaceLock* lock);
// Locks every existing file among the paths (terminated UTF-8; null, empty and missing ones are
// skipped; a file named twice counts once). DISK_OK; DISK_ERR_IN_USE when one of them is locked
// by another operation (nothing stays locked then); DISK_ERR_ARG for more files than a record
// holds; DISK_ERR_OPEN when an existing file cannot be opened. Locks already held by the record
// are kept.
int InPlaceLock_Acquire(InPlaceLock* lock, const char* const* paths, uint32_t count);
// Locks the file of an open descriptor (a new file just made by this operation).
int InPlaceLock_AcquireDescriptor(InPlaceLock* lock, int fd);
// Releases what the record holds; the record holds nothing afterwards.
void InPlaceLock_Release(InPlaceLock* lock);
// Whether another operation (another thread or process) holds a lock on the file; false for a
// missing file.
bool InPlace_IsLockedElsewhere(const char* path);

// Notes beside a success.
enum : int {
    IN_PLACE_NOTE_NONE = 0,
    IN_PLACE_NOTE_BACKUP_LEFT = 1,   // the replaced file could not be removed from its "_del" name
    IN_PLACE_NOTE_REOPEN_FAILED = 2  // the new image is in place but could not be opened again
};
void InPlace_SetNote(int note);
// The note left by the last operation of this thread (IN_PLACE_NOTE_NONE for none); clears it.
int InPlace_TakeNote();

// A lock released when the scope that holds it ends (every return of an operation).
struct InPlaceLockScope {
    InPlaceLock lock;

    InPlaceLockScope() { InPlaceLock_Init(&lock); }
    ~InPlaceLockScope() { InPlaceLock_Release(&lock); }
    InPlaceLockScope(const InPlaceLockScope&) = delete;
    InPlaceLockScope& operator=(const InPlaceLockScope&) = delete;
    int Acquire(const char* const* paths, uint32_t count)
    {
        return InPlaceLock_Acquire(&lock, paths, count);
    }
    int Acquire(const char* path) { return InPlaceLock_Acquire(&lock, &path, 1); }
};
