#include "foundation/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/in_place.h"
#include "foundation/io_failure.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"

static_assert(sizeof(OutputEntry) == 8224 && sizeof(OutputFile) == 8232,
              "output records keep their documented layout");

namespace {

// Lists up to this length keep their bookkeeping on the stack.
constexpr uint32_t kLocalFlags = 64;

// State of one entry during a list commit.
enum : uint8_t {
    kNotSwapped = 0,  // nothing done (or nothing to do)
    kSwapped = 1,     // the new file holds the final name; no file was replaced
    kReplaced = 2     // the new file holds the final name; the old one lies under the kept name
};

// The three names of an entry as terminated strings.
struct EntryNames {
    char finalPath[OUTPUT_PATH_CAPACITY];
    char tempPath[OUTPUT_PATH_CAPACITY];
    char keptPath[OUTPUT_PATH_CAPACITY];
    bool hasTemp;
};

OutputCommitHook g_commitHook = nullptr;
void* g_commitHookUser = nullptr;
OutputCreateHook g_createHook = nullptr;
void* g_createHookUser = nullptr;

// The locks of the temporary files this process made (OutputEntry_ChooseNames): the replaced
// file and the new file itself, held until the entry is committed or rolled back.
struct EntryLock {
    std::string tempPath;
    InPlaceLock lock;
};
std::mutex g_entryLockMutex;
std::vector<EntryLock> g_entryLocks;

bool Claimed(const char* tempPath) { return File_ClaimedDescriptor(tempPath) >= 0; }

// Forgets a temporary file made by ChooseNames: its claim and its locks.
void ReleaseTemp(const char* tempPath)
{
    File_ReleaseClaim(tempPath);
    InPlaceLock lock;
    InPlaceLock_Init(&lock);
    {
        std::lock_guard<std::mutex> guard(g_entryLockMutex);
        for (size_t i = 0; i < g_entryLocks.size(); ++i) {
            if (g_entryLocks[i].tempPath != tempPath) continue;
            lock = g_entryLocks[i].lock;
            g_entryLocks.erase(g_entryLocks.begin() + static_cast<long>(i));
            break;
        }
    }
    InPlaceLock_Release(&lock);
}

// Removes a temporary file: one this process made only while its name still holds it (a file
// put under that name by someone else is left alone), then forgets it. False when the file
// could not be removed.
bool RemoveTemp(const char* tempPath)
{
    bool ok;
    if (Claimed(tempPath)) {
        ok = File_ClaimHolds(tempPath) && Os_RemoveFile(tempPath);
        ReleaseTemp(tempPath);
    } else {
        ok = Os_RemoveFile(tempPath);
    }
    return ok;
}

// Whether two names are one file (lstat: the names themselves, not what links point at).
bool SameFile(const char* a, const char* b)
{
    struct stat sa, sb;
    return lstat(a, &sa) == 0 && lstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Whether anything (a dangling symbolic link included) lies under a name.
bool NameTaken(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

// Copies the contents of a path buffer into a terminated string; false when it does not fit
// with its terminator or holds a NUL byte (which would silently name another file).
bool CopyPath(const TextBuffer& buffer, char* out)
{
    if (buffer.length >= OUTPUT_PATH_CAPACITY) return false;
    if (buffer.length != 0) {
        if (buffer.data == nullptr || std::memchr(buffer.data, 0, buffer.length) != nullptr)
            return false;
        std::memcpy(out, buffer.data, buffer.length);
    }
    out[buffer.length] = '\0';
    return true;
}

// Writes base + suffix (+ the number when it is not 0) as a terminated string; false when it
// does not fit or the suffix holds a NUL byte.
bool JoinName(const char* base, size_t baseLength, TextView suffix, uint32_t number, char* out)
{
    if (suffix.length != 0 &&
        (suffix.data == nullptr || std::memchr(suffix.data, 0, suffix.length) != nullptr))
        return false;
    char digits[12] = "";
    if (number != 0) std::snprintf(digits, sizeof digits, "%u", number);
    const size_t digitLength = std::strlen(digits);
    if (baseLength >= OUTPUT_PATH_CAPACITY ||
        suffix.length + digitLength >= OUTPUT_PATH_CAPACITY - baseLength)
        return false;
    std::memmove(out, base, baseLength);
    if (suffix.length != 0) std::memcpy(out + baseLength, suffix.data, suffix.length);
    std::memcpy(out + baseLength + suffix.length, digits, digitLength + 1);
    return true;
}

// Builds the names of an entry with a final path (the kept name with keptNumber appended when it
// is not 0): DISK_OK or DISK_ERR_ARG.
int BuildNames(const OutputEntry* entry, TextView suffix, uint32_t keptNumber, EntryNames* names)
{
    if (!CopyPath(entry->finalPath, names->finalPath)) return DISK_ERR_ARG;
    if (!CopyPath(entry->tempPath, names->tempPath)) return DISK_ERR_ARG;
    names->hasTemp = entry->tempPath.length != 0;
    if (!JoinName(names->finalPath, entry->finalPath.length, suffix, keptNumber, names->keptPath))
        return DISK_ERR_ARG;
    return DISK_OK;
}

// Flushes a file (or directory) to stable storage. A file system that cannot sync counts as
// done.
bool SyncPath(const char* path)
{
    const int claimed = File_ClaimedDescriptor(path);
    if (claimed >= 0) return fsync(claimed) == 0 || errno == EINVAL || errno == EROFS;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    close(fd);
    return ok;
}

// Syncs the directory that holds a path, so that a rename in it survives a crash. Best
// effort: the files themselves were synced before the rename.
void SyncParentDirectory(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        SyncPath(".");
        return;
    }
    char dir[OUTPUT_PATH_CAPACITY];
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    std::memcpy(dir, path, length);
    dir[length] = '\0';
    SyncPath(dir);
}

// Length of the directory part of a path (up to its last "/"), or -1 without one.
long DirectoryLength(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? -1 : static_cast<long>(slash - path);
}

void SyncDirectories(const EntryNames& names)
{
    SyncParentDirectory(names.finalPath);
    if (!names.hasTemp) return;
    long a = DirectoryLength(names.finalPath);
    long b = DirectoryLength(names.tempPath);
    if (a != b || (a > 0 && std::memcmp(names.finalPath, names.tempPath, a) != 0))
        SyncParentDirectory(names.tempPath);
}

// Whether a failed link() means that the file system makes no hard links here (rather than that
// the name is taken or the path is wrong).
bool NoHardLinksHere(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == EXDEV ||
           error == EMLINK || error == ENOSYS;
}

// Puts the new file under the final name, keeping a file found there under the kept name
// (replacing a file already there when replaceKept). The replaced file is linked to the kept
// name and the new file renamed over the final name, so that the name always holds one of them;
// where no hard link can be made, the replaced file is renamed aside first and moved back when
// the new file cannot take the final name. The temporary file must already be synced.
int SwapIn(const EntryNames& names, bool replaceKept, uint8_t* state)
{
    *state = kNotSwapped;
    const bool existed = NameTaken(names.finalPath);
    if (existed) {
        if (replaceKept && NameTaken(names.keptPath) && !Os_RemoveFile(names.keptPath))
            return DISK_ERR_CREATE;
        bool linked = false;
        if (names.hasTemp) {
            if (link(names.finalPath, names.keptPath) == 0) {
                linked = true;
            } else if (!NoHardLinksHere(errno)) {
                return DISK_ERR_CREATE;
            }
        }
        if (!linked && !Os_RenameFile(names.finalPath, names.keptPath)) return DISK_ERR_CREATE;
        if (g_commitHook != nullptr)
            g_commitHook(names.finalPath, names.keptPath, g_commitHookUser);
        if (names.hasTemp && !Os_RenameFile(names.tempPath, names.finalPath)) {
            if (linked) {
                Os_RemoveFile(names.keptPath);
            } else {
                Os_RenameFile(names.keptPath, names.finalPath);
            }
            SyncDirectories(names);
            return DISK_ERR_CREATE;
        }
    } else if (names.hasTemp && !Os_RenameFile(names.tempPath, names.finalPath)) {
        return DISK_ERR_CREATE;
    }
    SyncDirectories(names);
    *state = existed ? kReplaced : kSwapped;
    return DISK_OK;
}

// Undoes a successful SwapIn: the new file goes back to its temporary name and the replaced
// file gets its name back. Restoring the original wins over keeping the new file.
void SwapOut(const EntryNames& names, uint8_t state)
{
    if (state == kNotSwapped) return;
    if (state == kReplaced && names.hasTemp && link(names.finalPath, names.tempPath) == 0) {
        // The final name goes straight from the new file back to the old one.
        if (!Os_RenameFile(names.keptPath, names.finalPath)) Os_RemoveFile(names.tempPath);
        SyncDirectories(names);
        return;
    }
    if (names.hasTemp) Os_RenameFile(names.finalPath, names.tempPath);
    if (state == kReplaced) Os_RenameFile(names.keptPath, names.finalPath);
    SyncDirectories(names);
}

// Accessor over the elements of either list kind: the entry to commit, or null for an element
// that is skipped (unarmed output).
struct ListAccess {
    OutputEntry* (*get)(void* block, uint32_t index);
    void* block;
    uint32_t count;
};

OutputEntry* EntryAt(void* block, uint32_t index)
{
    return &static_cast<OutputEntry*>(block)[index];
}

OutputEntry* ArmedEntryAt(void* block, uint32_t index)
{
    OutputFile* file = &static_cast<OutputFile*>(block)[index];
    return file->armed ? &file->entry : nullptr;
}

bool NamesFile(const OutputEntry* entry)
{
    return entry != nullptr && entry->finalPath.length != 0;
}

// Commits the elements of a list as one; see the header.
int CommitSwap(const ListAccess& list, TextView suffix, uint32_t flags);

// Forgets (after a success) or removes (after a failure) the temporary files of a list; a
// removed entry's temporary path is emptied, so that a later rollback has nothing left to do.
void FinishTemps(const ListAccess& list, bool remove)
{
    char temp[OUTPUT_PATH_CAPACITY];
    for (uint32_t i = 0; i < list.count; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (entry == nullptr || entry->tempPath.length == 0 || !CopyPath(entry->tempPath, temp))
            continue;
        if (!remove) {
            ReleaseTemp(temp);
            continue;
        }
        RemoveTemp(temp);
        entry->tempPath.length = 0;
        entry->tempStorage[0] = 0;
    }
}

// Commits a list (see CommitSwap), then lets go of its temporary files: forgotten after a
// success; removed after a failure, except after a refused backup name when the caller may
// still try again (keepOnRefusal).
int CommitAll(const ListAccess& list, TextView suffix, uint32_t flags, bool keepOnRefusal)
{
    if (list.count == 0) return DISK_OK;
    if (list.block == nullptr) return DISK_ERR_ARG;
    InPlace_SetNote(IN_PLACE_NOTE_NONE);
    const int result = CommitSwap(list, suffix, flags);
    if (result == DISK_OK)
        FinishTemps(list, false);
    else if (result != DISK_ERR_BACKUP_EXISTS || !keepOnRefusal)
        FinishTemps(list, true);
    return result;
}

int CommitSwap(const ListAccess& list, TextView suffix, uint32_t flags)
{
    const bool removeReplaced = (flags & OUTPUT_COMMIT_REMOVE_REPLACED) != 0;
    const bool replaceBackup = (flags & OUTPUT_COMMIT_REPLACE_BACKUP) != 0;

    EntryNames nameStore;
    EntryNames* names = &nameStore;

    // Every name must fit before anything is touched.
    for (uint32_t i = 0; i < list.count; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        int rc = BuildNames(entry, suffix, 0, names);
        if (rc != DISK_OK) return rc;
    }

    // A temporary file this process made must still be the file under its name: a name that
    // now holds something else (a link, another file) is never renamed in.
    for (uint32_t i = 0; i < list.count; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, 0, names);
        if (names->hasTemp && Claimed(names->tempPath) && !File_ClaimHolds(names->tempPath))
            return DISK_ERR_CREATE;
    }

    // Per entry: its state, and the number appended to its kept name (kReplaceKept when a file
    // under the kept name is replaced).
    constexpr uint8_t kReplaceKept = 0xFF;
    uint8_t localStates[2 * kLocalFlags];
    uint8_t* states = localStates;
    if (list.count > kLocalFlags) {
        uint32_t bytes = 0;
        if (!Math_MulU32(list.count, 2, &bytes)) return DISK_ERR_NOMEM;
        states = static_cast<uint8_t*>(Mem_Alloc(bytes));
        if (states == nullptr) return DISK_ERR_NOMEM;
    }
    uint8_t* kept = states + list.count;
    std::memset(states, kNotSwapped, list.count);
    std::memset(kept, 0, list.count);

    int result = DISK_OK;
    // Kept names: a file already under one is never replaced silently. Kept files that go
    // anyway take a free name; kept backups replace one only when the caller allows it.
    for (uint32_t i = 0; i < list.count && result == DISK_OK; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, 0, names);
        // A kept name that is the replaced file itself is what a commit killed between its link
        // and its rename leaves: no backup, only a second name of the file, which goes.
        if (SameFile(names->keptPath, names->finalPath) && !Os_RemoveFile(names->keptPath)) {
            result = DISK_ERR_CREATE;
            break;
        }
        if (!NameTaken(names->finalPath) || !NameTaken(names->keptPath)) continue;
        if (removeReplaced) {
            uint32_t number = 1;
            for (; number < OUTPUT_NAME_TRIES; ++number) {
                if (BuildNames(entry, suffix, number, names) != DISK_OK) {
                    result = DISK_ERR_ARG;
                    break;
                }
                if (!NameTaken(names->keptPath)) break;
            }
            if (result == DISK_OK && number == OUTPUT_NAME_TRIES) result = DISK_ERR_CREATE;
            kept[i] = static_cast<uint8_t>(number);
        } else if (replaceBackup) {
            kept[i] = kReplaceKept;
        } else {
            result = DISK_ERR_BACKUP_EXISTS;
        }
    }

    // Every new file reaches stable storage before the first rename.
    for (uint32_t i = 0; i < list.count && result == DISK_OK; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, 0, names);
        if (names->hasTemp && !SyncPath(names->tempPath)) result = DISK_ERR_CREATE;
    }

    auto keptNumber = [&](uint32_t i) -> uint32_t { return kept[i] == kReplaceKept ? 0 : kept[i]; };
    uint32_t failed = list.count;
    for (uint32_t i = 0; i < list.count && result == DISK_OK; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, keptNumber(i), names);
        result = SwapIn(*names, kept[i] == kReplaceKept, &states[i]);
        if (result != DISK_OK) failed = i;
    }

    if (result != DISK_OK && failed != list.count) {
        // Back to the old image: undo the entries already swapped in, last first.
        for (uint32_t i = failed; i-- > 0;) {
            if (states[i] == kNotSwapped) continue;
            BuildNames(list.get(list.block, i), suffix, keptNumber(i), names);
            SwapOut(*names, states[i]);
        }
    } else if (result == DISK_OK && removeReplaced) {
        // The new image is complete: now the replaced files may go. The operation has
        // succeeded by now; a kept file that stays is a note beside the success.
        for (uint32_t i = 0; i < list.count; ++i) {
            if (states[i] != kReplaced) continue;
            BuildNames(list.get(list.block, i), suffix, keptNumber(i), names);
            if (!Os_RemoveFile(names->keptPath)) InPlace_SetNote(IN_PLACE_NOTE_BACKUP_LEFT);
        }
    }

    if (states != localStates) Mem_Free(states);
    return result;
}

}  // namespace

void OutputEntry_Init(OutputEntry* entry)
{
    TextBuffer_Init(&entry->finalPath, entry->finalStorage, 0, OUTPUT_PATH_CAPACITY);
    TextBuffer_Init(&entry->tempPath, entry->tempStorage, 0, OUTPUT_PATH_CAPACITY);
    entry->finalStorage[0] = 0;
    entry->tempStorage[0] = 0;
}

int OutputEntry_Commit(OutputEntry* entry, TextView suffix, uint32_t flags)
{
    ListAccess one = {EntryAt, entry, 1};
    return CommitAll(one, suffix, flags, true);
}

int OutputEntry_Rollback(OutputEntry* entry)
{
    if (entry->tempPath.length == 0) return DISK_OK;
    char path[OUTPUT_PATH_CAPACITY];
    if (!CopyPath(entry->tempPath, path)) return DISK_ERR_CREATE;
    return RemoveTemp(path) ? DISK_OK : DISK_ERR_CREATE;
}

void OutputFile_Init(OutputFile* file)
{
    file->armed = false;
    OutputEntry_Init(&file->entry);
}

int OutputFile_Commit(OutputFile* file, TextView suffix, uint32_t flags)
{
    if (!file->armed) return DISK_OK;
    file->armed = false;
    int rc = OutputEntry_Commit(&file->entry, suffix, flags);
    // A failed commit leaves the output armed, so that the caller's rollback still removes
    // the temporary file instead of leaving a full-size copy behind.
    if (rc != DISK_OK) file->armed = true;
    return rc;
}

int OutputFile_Rollback(OutputFile* file)
{
    if (!file->armed) {
        // Not armed, yet its temporary file was made by OutputEntry_ChooseNames: it goes too.
        char path[OUTPUT_PATH_CAPACITY];
        if (file->entry.tempPath.length != 0 && CopyPath(file->entry.tempPath, path) &&
            Claimed(path))
            RemoveTemp(path);
        return DISK_OK;
    }
    file->armed = false;
    return OutputEntry_Rollback(&file->entry);
}

void OutputList_Init(OutputList* list)
{
    list->count = 0;
    list->entries = nullptr;
}

void OutputFileList_Init(OutputFileList* list)
{
    list->count = 0;
    list->files = nullptr;
}

bool OutputList_Alloc(OutputList* list, uint32_t n)
{
    Mem_Free(list->entries);
    list->entries = nullptr;
    list->count = 0;
    if (n == 0) return true;
    uint32_t bytes = 0;
    if (!Math_MulU32(n, static_cast<uint32_t>(sizeof(OutputEntry)), &bytes)) return false;
    void* block = Mem_Alloc(bytes);
    if (block == nullptr) return false;
    OutputEntry* entries = static_cast<OutputEntry*>(block);
    for (uint32_t i = 0; i < n; ++i) OutputEntry_Init(new (&entries[i]) OutputEntry);
    list->entries = entries;
    return true;
}

bool OutputFileList_Alloc(OutputFileList* list, uint32_t n)
{
    Mem_Free(list->files);
    list->files = nullptr;
    list->count = 0;
    if (n == 0) return true;
    uint32_t bytes = 0;
    if (!Math_MulU32(n, static_cast<uint32_t>(sizeof(OutputFile)), &bytes)) return false;
    void* block = Mem_Alloc(bytes);
    if (block == nullptr) return false;
    OutputFile* files = static_cast<OutputFile*>(block);
    for (uint32_t i = 0; i < n; ++i) OutputFile_Init(new (&files[i]) OutputFile);
    list->files = files;
    return true;
}

int OutputList_Commit(OutputList* list, TextView suffix, uint32_t flags)
{
    ListAccess access = {EntryAt, list->entries, list->count};
    int result = CommitAll(access, suffix, flags, false);
    Mem_Free(list->entries);
    list->entries = nullptr;
    list->count = 0;
    return result;
}

int OutputFileList_Commit(OutputFileList* list, TextView suffix, uint32_t flags)
{
    ListAccess access = {ArmedEntryAt, list->files, list->count};
    int result = CommitAll(access, suffix, flags, false);
    for (uint32_t i = 0; list->files != nullptr && i < list->count; ++i)
        list->files[i].armed = false;
    Mem_Free(list->files);
    list->files = nullptr;
    list->count = 0;
    return result;
}

int OutputList_Rollback(OutputList* list)
{
    int result = DISK_OK;
    for (uint32_t i = 0; list->entries != nullptr && i < list->count; ++i) {
        int rc = OutputEntry_Rollback(&list->entries[i]);
        if (rc != DISK_OK && result == DISK_OK) result = rc;
    }
    Mem_Free(list->entries);
    list->entries = nullptr;
    list->count = 0;
    return result;
}

int OutputFileList_Rollback(OutputFileList* list)
{
    int result = DISK_OK;
    for (uint32_t i = 0; list->files != nullptr && i < list->count; ++i) {
        int rc = OutputFile_Rollback(&list->files[i]);
        if (rc != DISK_OK && result == DISK_OK) result = rc;
    }
    Mem_Free(list->files);
    list->files = nullptr;
    list->count = 0;
    return result;
}

// ---- Names for rewriting an image in place ------------------------------------------------------

bool Output_IsFileOf(const char* path, const char* const* files, uint32_t count)
{
    if (path == nullptr || files == nullptr) return false;
    struct stat target;
    const bool exists = stat(path, &target) == 0;
    for (uint32_t i = 0; i < count; ++i) {
        const char* file = files[i];
        if (file == nullptr || file[0] == 0) continue;
        if (std::strcmp(file, path) == 0) return true;
        struct stat st;
        if (exists && stat(file, &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino)
            return true;
    }
    return false;
}

int Output_CheckBackupName(const char* finalPath, TextView backupSuffix,
                           const char* const* imageFiles, uint32_t fileCount)
{
    if (finalPath == nullptr) return DISK_ERR_ARG;
    char backup[OUTPUT_PATH_CAPACITY];
    if (!JoinName(finalPath, std::strlen(finalPath), backupSuffix, 0, backup)) return DISK_ERR_ARG;
    // The replaced file under its own kept name is an interrupted commit's trace, which the
    // commit removes.
    if (SameFile(backup, finalPath)) return DISK_OK;
    return Output_IsFileOf(backup, imageFiles, fileCount) ? DISK_ERR_ARG : DISK_OK;
}

int OutputEntry_ChooseNames(OutputEntry* entry, const char* finalPath, TextView tempSuffix,
                            TextView backupSuffix, const char* const* imageFiles,
                            uint32_t fileCount)
{
    OutputEntry_Init(entry);
    if (finalPath == nullptr || finalPath[0] == 0) return DISK_ERR_ARG;
    const size_t length = std::strlen(finalPath);
    if (length >= OUTPUT_PATH_CAPACITY) return DISK_ERR_ARG;
    if (backupSuffix.length != 0) {
        int rc = Output_CheckBackupName(finalPath, backupSuffix, imageFiles, fileCount);
        if (rc != DISK_OK) return rc;
    }
    // The replaced file is locked for the whole operation (until commit or rollback): a second
    // in-place operation on it is refused before anything is made.
    InPlaceLock lock;
    InPlaceLock_Init(&lock);
    int rc = InPlaceLock_Acquire(&lock, &finalPath, 1);
    if (rc != DISK_OK) return rc;
    char candidate[OUTPUT_PATH_CAPACITY];
    for (uint32_t number = 0; number < OUTPUT_NAME_TRIES; ++number) {
        if (!JoinName(finalPath, length, tempSuffix, number, candidate)) {
            InPlaceLock_Release(&lock);
            return DISK_ERR_ARG;
        }
        if (NameTaken(candidate) || Output_IsFileOf(candidate, imageFiles, fileCount)) continue;
        if (g_createHook != nullptr) g_createHook(candidate, g_createHookUser);
        // Made as a new file: a name taken since the check (a file or a link planted there)
        // is passed over for the next one.
        const int error = File_ClaimNew(candidate);
        if (error == EEXIST) continue;
        if (error != 0) {
            IoFailure_RecordFile(IO_FAILURE_CREATE, error);
            InPlaceLock_Release(&lock);
            return DISK_ERR_CREATE;
        }
        // The new file is locked as well: once renamed in, it is the image.
        rc = InPlaceLock_AcquireDescriptor(&lock, File_ClaimedDescriptor(candidate));
        if (rc == DISK_OK) {
            std::lock_guard<std::mutex> guard(g_entryLockMutex);
            try {
                g_entryLocks.push_back(EntryLock{candidate, lock});
            } catch (...) {
                rc = DISK_ERR_NOMEM;
            }
        }
        if (rc != DISK_OK) {
            Os_RemoveFile(candidate);
            File_ReleaseClaim(candidate);
            InPlaceLock_Release(&lock);
            return rc;
        }
        TextView finalView = {reinterpret_cast<const uint8_t*>(finalPath),
                              static_cast<uint32_t>(length)};
        TextView tempView = {reinterpret_cast<const uint8_t*>(candidate),
                             static_cast<uint32_t>(std::strlen(candidate))};
        if (!TextBuffer_Set(&entry->finalPath, finalView) ||
            !TextBuffer_TerminateUtf8(&entry->finalPath) ||
            !TextBuffer_Set(&entry->tempPath, tempView) ||
            !TextBuffer_TerminateUtf8(&entry->tempPath)) {
            OutputEntry_Init(entry);
            RemoveTemp(candidate);
            return DISK_ERR_ARG;
        }
        return DISK_OK;
    }
    InPlaceLock_Release(&lock);
    return DISK_ERR_CREATE;
}

void Output_SetCommitHook(OutputCommitHook hook, void* user)
{
    g_commitHook = hook;
    g_commitHookUser = user;
}

void Output_SetCreateHook(OutputCreateHook hook, void* user)
{
    g_createHook = hook;
    g_createHookUser = user;
}

bool Output_IsInterruptedCommitTrace(const char* finalPath, const char* keptPath)
{
    return finalPath != nullptr && keptPath != nullptr && SameFile(keptPath, finalPath);
}
