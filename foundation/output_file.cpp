#include "foundation/output_file.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "foundation/platform.h"
#include "foundation/result_codes.h"

static_assert(sizeof(OutputEntry) == 8224 && sizeof(OutputFile) == 8232,
              "output records keep their documented layout");

namespace {

// Lists up to this length keep their bookkeeping on the stack.
constexpr uint32_t kLocalFlags = 64;

// State of one entry during a list commit.
enum : uint8_t {
    kNotSwapped = 0,   // nothing done (or nothing to do)
    kSwapped = 1,      // the new file holds the final name; no file was replaced
    kReplaced = 2      // the new file holds the final name; the old one lies under the kept name
};

// The three names of an entry as terminated strings.
struct EntryNames {
    char finalPath[OUTPUT_PATH_CAPACITY];
    char tempPath[OUTPUT_PATH_CAPACITY];
    char keptPath[OUTPUT_PATH_CAPACITY];
    bool hasTemp;
};

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

// Builds the names of an entry with a final path: DISK_OK or DISK_ERR_ARG.
int BuildNames(const OutputEntry* entry, TextView suffix, EntryNames* names)
{
    if (!CopyPath(entry->finalPath, names->finalPath)) return DISK_ERR_ARG;
    if (!CopyPath(entry->tempPath, names->tempPath)) return DISK_ERR_ARG;
    names->hasTemp = entry->tempPath.length != 0;

    const uint32_t finalLength = entry->finalPath.length;
    if (suffix.length != 0 &&
        (suffix.data == nullptr || std::memchr(suffix.data, 0, suffix.length) != nullptr))
        return DISK_ERR_ARG;
    if (suffix.length >= OUTPUT_PATH_CAPACITY - finalLength) return DISK_ERR_ARG;
    std::memcpy(names->keptPath, names->finalPath, finalLength);
    if (suffix.length != 0) std::memcpy(names->keptPath + finalLength, suffix.data, suffix.length);
    names->keptPath[finalLength + suffix.length] = '\0';
    return DISK_OK;
}

// Flushes a file (or directory) to stable storage. A file system that cannot sync counts as
// done.
bool SyncPath(const char* path)
{
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

// Puts the new file under the final name, moving a file found there to the kept name. When
// the new file cannot take the final name, the replaced file is moved back, so that the final
// name never goes missing. The temporary file must already be synced.
int SwapIn(const EntryNames& names, uint8_t* state)
{
    *state = kNotSwapped;
    const bool existed = Os_PathExists(names.finalPath);
    if (existed && !Os_RenameFile(names.finalPath, names.keptPath)) return DISK_ERR_CREATE;
    if (names.hasTemp && !Os_RenameFile(names.tempPath, names.finalPath)) {
        if (existed) Os_RenameFile(names.keptPath, names.finalPath);
        SyncDirectories(names);
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
int CommitAll(const ListAccess& list, TextView suffix, bool removeReplaced)
{
    if (list.count == 0) return DISK_OK;
    if (list.block == nullptr) return DISK_ERR_ARG;

    EntryNames nameStore;
    EntryNames* names = &nameStore;

    // Every name must fit before anything is touched.
    for (uint32_t i = 0; i < list.count; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        int rc = BuildNames(entry, suffix, names);
        if (rc != DISK_OK) return rc;
    }

    uint8_t localStates[kLocalFlags];
    uint8_t* states = localStates;
    if (list.count > kLocalFlags) {
        states = static_cast<uint8_t*>(Mem_Alloc(list.count));
        if (states == nullptr) return DISK_ERR_NOMEM;
    }
    std::memset(states, kNotSwapped, list.count);

    int result = DISK_OK;
    // Every new file reaches stable storage before the first rename.
    for (uint32_t i = 0; i < list.count && result == DISK_OK; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, names);
        if (names->hasTemp && !SyncPath(names->tempPath)) result = DISK_ERR_CREATE;
    }

    uint32_t failed = list.count;
    for (uint32_t i = 0; i < list.count && result == DISK_OK; ++i) {
        OutputEntry* entry = list.get(list.block, i);
        if (!NamesFile(entry)) continue;
        BuildNames(entry, suffix, names);
        result = SwapIn(*names, &states[i]);
        if (result != DISK_OK) failed = i;
    }

    if (result != DISK_OK && failed != list.count) {
        // Back to the old image: undo the entries already swapped in, last first.
        for (uint32_t i = failed; i-- > 0;) {
            if (states[i] == kNotSwapped) continue;
            BuildNames(list.get(list.block, i), suffix, names);
            SwapOut(*names, states[i]);
        }
    } else if (result == DISK_OK && removeReplaced) {
        // The new image is complete: now the replaced files may go.
        for (uint32_t i = 0; i < list.count; ++i) {
            if (states[i] != kReplaced) continue;
            BuildNames(list.get(list.block, i), suffix, names);
            if (!Os_RemoveFile(names->keptPath) && result == DISK_OK) result = DISK_ERR_CREATE;
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

int OutputEntry_Commit(OutputEntry* entry, TextView suffix, bool removeReplaced)
{
    ListAccess one = {EntryAt, entry, 1};
    return CommitAll(one, suffix, removeReplaced);
}

int OutputEntry_Rollback(OutputEntry* entry)
{
    if (entry->tempPath.length == 0) return DISK_OK;
    char path[OUTPUT_PATH_CAPACITY];
    if (!CopyPath(entry->tempPath, path)) return DISK_ERR_CREATE;
    return Os_RemoveFile(path) ? DISK_OK : DISK_ERR_CREATE;
}

void OutputFile_Init(OutputFile* file)
{
    file->armed = false;
    OutputEntry_Init(&file->entry);
}

int OutputFile_Commit(OutputFile* file, TextView suffix, bool removeReplaced)
{
    if (!file->armed) return DISK_OK;
    file->armed = false;
    int rc = OutputEntry_Commit(&file->entry, suffix, removeReplaced);
    // A failed commit leaves the output armed, so that the caller's rollback still removes
    // the temporary file instead of leaving a full-size copy behind.
    if (rc != DISK_OK) file->armed = true;
    return rc;
}

int OutputFile_Rollback(OutputFile* file)
{
    if (!file->armed) return DISK_OK;
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

int OutputList_Commit(OutputList* list, TextView suffix, bool removeReplaced)
{
    ListAccess access = {EntryAt, list->entries, list->count};
    int result = CommitAll(access, suffix, removeReplaced);
    Mem_Free(list->entries);
    list->entries = nullptr;
    list->count = 0;
    return result;
}

int OutputFileList_Commit(OutputFileList* list, TextView suffix, bool removeReplaced)
{
    ListAccess access = {ArmedEntryAt, list->files, list->count};
    int result = CommitAll(access, suffix, removeReplaced);
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
