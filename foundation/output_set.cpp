#include "foundation/output_set.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/platform.h"
#include "foundation/result_codes.h"

namespace {

bool NameTaken(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

bool SameFile(const char* a, const char* b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Flushes a file or directory to stable storage; a file system that cannot sync counts as done.
bool SyncPath(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    close(fd);
    return ok;
}

std::string DirectoryOf(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

// The directory part with its separator ("" for a bare name).
std::string DirectoryPrefix(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? std::string()
                            : std::string(path, static_cast<size_t>(slash - path) + 1);
}

bool NoHardLinksHere(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == EXDEV ||
           error == EMLINK || error == ENOSYS;
}

bool Fits(const char* path)
{
    return path != nullptr && path[0] != 0 && std::strlen(path) < OUTPUT_PATH_CAPACITY;
}

// Where a member went on its way to its fresh name.
enum : uint8_t { kNotPlaced = 0, kLinked = 1, kRenamed = 2 };

// Takes the members back out of their fresh names: a linked member loses its second name, a
// renamed one goes back to its temporary name.
void Unplace(const OutputSetFiles* f, const std::vector<uint8_t>& placed)
{
    for (uint32_t i = static_cast<uint32_t>(placed.size()); i-- > 0;) {
        if (placed[i] == kLinked) {
            Os_RemoveFile(f->memberFinals[i]);
        } else if (placed[i] == kRenamed) {
            Os_RenameFile(f->memberFinals[i], f->memberTemps[i]);
        }
    }
    for (uint32_t i = 0; i < placed.size(); ++i)
        if (placed[i] != kNotPlaced) SyncPath(DirectoryOf(f->memberFinals[i]).c_str());
}

void CollectPath(const char* path, void* user)
{
    if (path != nullptr && path[0] != 0 && std::strlen(path) < OUTPUT_PATH_CAPACITY)
        static_cast<std::vector<std::string>*>(user)->push_back(path);
}

}  // namespace

int OutputSet_FreshName(const char* path, const char* const* avoid, uint32_t avoidCount, char* out,
                        uint32_t capacity)
{
    if (path == nullptr || path[0] == 0 || out == nullptr || capacity == 0) return DISK_ERR_ARG;
    const std::string dir = DirectoryPrefix(path);
    const std::string name = path + dir.size();
    if (name.empty()) return DISK_ERR_ARG;
    // The extension: from the last dot of the name, unless the name begins with it.
    const size_t dot = name.rfind('.');
    const size_t stemEnd = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string stem = name.substr(0, stemEnd);
    const std::string ext = name.substr(stemEnd);
    // A fresh name of an earlier run goes back to the name it came from.
    const size_t tilde = stem.rfind('~');
    if (tilde != std::string::npos && tilde > 0 && tilde + 1 < stem.size() &&
        stem.find_first_not_of("0123456789", tilde + 1) == std::string::npos)
        stem.erase(tilde);
    for (uint32_t number = 0; number < OUTPUT_NAME_TRIES; ++number) {
        std::string candidate = dir + stem;
        if (number != 0) candidate += "~" + std::to_string(number);
        candidate += ext;
        if (candidate.size() >= capacity || candidate.size() >= OUTPUT_PATH_CAPACITY)
            return DISK_ERR_ARG;
        if (NameTaken(candidate.c_str()) || Output_IsFileOf(candidate.c_str(), avoid, avoidCount))
            continue;
        std::memcpy(out, candidate.c_str(), candidate.size() + 1);
        return DISK_OK;
    }
    return DISK_ERR_CREATE;
}

bool OutputSet_IsCommitTrace(const char* path, TextView suffix)
{
    if (path == nullptr || path[0] == 0 || (suffix.length != 0 && suffix.data == nullptr))
        return false;
    std::string kept = path;
    kept.append(reinterpret_cast<const char*>(suffix.data), suffix.length);
    return kept.size() < OUTPUT_PATH_CAPACITY && kept.find('\0') == std::string::npos &&
           NameTaken(kept.c_str()) && SameFile(kept.c_str(), path);
}

int OutputSet_Commit(const OutputSetFiles* f, TextView suffix, uint32_t flags)
{
    if (f == nullptr || !Fits(f->descriptorFinal)) return DISK_ERR_ARG;
    const bool hasNew = f->descriptorTemp != nullptr && f->descriptorTemp[0] != 0;
    if (!hasNew && f->memberCount != 0) return DISK_ERR_ARG;
    if (hasNew && !Fits(f->descriptorTemp)) return DISK_ERR_ARG;
    for (uint32_t i = 0; i < f->memberCount; ++i)
        if (!Fits(f->memberFinals[i]) || !Fits(f->memberTemps[i])) return DISK_ERR_ARG;
    if (suffix.length != 0 &&
        (suffix.data == nullptr || std::memchr(suffix.data, 0, suffix.length) != nullptr))
        return DISK_ERR_ARG;
    std::string kept = f->descriptorFinal;
    kept.append(reinterpret_cast<const char*>(suffix.data), suffix.length);
    if (kept.size() >= OUTPUT_PATH_CAPACITY) return DISK_ERR_ARG;
    if (!hasNew) return DISK_OK;

    // A kept name that is the descriptor itself is what a commit killed between its link and its
    // rename leaves: no backup.
    if (NameTaken(kept.c_str()) && SameFile(kept.c_str(), f->descriptorFinal) &&
        !Os_RemoveFile(kept.c_str()))
        return DISK_ERR_CREATE;
    const bool removeReplaced = (flags & OUTPUT_COMMIT_REMOVE_REPLACED) != 0;
    const bool replaceBackup = (flags & OUTPUT_COMMIT_REPLACE_BACKUP) != 0;
    const bool keptTaken = NameTaken(kept.c_str());
    if (keptTaken && !removeReplaced && !replaceBackup) return DISK_ERR_BACKUP_EXISTS;
    // The members of the backup about to be replaced, read while it is still there.
    // Every file the new descriptor names stays, those it keeps unchanged too: when it cannot be
    // listed, nothing of the old backup goes.
    std::vector<std::string> oldBackup, newMembers;
    if (keptTaken && !removeReplaced && f->lister != nullptr) {
        f->lister(f->descriptorTemp, CollectPath, &newMembers, f->listerUser);
        if (!newMembers.empty()) f->lister(kept.c_str(), CollectPath, &oldBackup, f->listerUser);
    }

    // Every new member reaches stable storage before it takes a name the descriptor uses.
    for (uint32_t i = 0; i < f->memberCount; ++i)
        if (!SyncPath(f->memberTemps[i])) return DISK_ERR_CREATE;

    // Fresh names only: a member never replaces a file.
    std::vector<uint8_t> placed(f->memberCount, kNotPlaced);
    for (uint32_t i = 0; i < f->memberCount; ++i) {
        const char* final = f->memberFinals[i];
        bool ok = false;
        if (!NameTaken(final)) {
            if (link(f->memberTemps[i], final) == 0) {
                placed[i] = kLinked;
                ok = true;
            } else if (NoHardLinksHere(errno) && !NameTaken(final) &&
                       Os_RenameFile(f->memberTemps[i], final)) {
                placed[i] = kRenamed;
                ok = true;
            }
        }
        if (!ok) {
            Unplace(f, placed);
            return DISK_ERR_CREATE;
        }
    }
    std::string lastDir;
    for (uint32_t i = 0; i < f->memberCount; ++i) {
        std::string dir = DirectoryOf(f->memberFinals[i]);
        if (dir != lastDir) SyncPath(dir.c_str());
        lastDir = dir;
    }

    // The switch: one link-then-rename of the descriptor.
    struct stat fresh;
    if (stat(f->descriptorTemp, &fresh) != 0) {
        Unplace(f, placed);
        return DISK_ERR_CREATE;
    }
    OutputEntry entry;
    OutputEntry_Init(&entry);
    TextView finalView, tempView;
    Text_FromCStringUtf8(&finalView, f->descriptorFinal);
    Text_FromCStringUtf8(&tempView, f->descriptorTemp);
    if (!TextBuffer_Set(&entry.finalPath, finalView) ||
        !TextBuffer_TerminateUtf8(&entry.finalPath) || !TextBuffer_Set(&entry.tempPath, tempView) ||
        !TextBuffer_TerminateUtf8(&entry.tempPath)) {
        Unplace(f, placed);
        return DISK_ERR_ARG;
    }
    const int rc = OutputEntry_Commit(
        &entry, suffix, flags & (OUTPUT_COMMIT_REMOVE_REPLACED | OUTPUT_COMMIT_REPLACE_BACKUP));
    struct stat now;
    const bool switched = stat(f->descriptorFinal, &now) == 0 && now.st_dev == fresh.st_dev &&
                          now.st_ino == fresh.st_ino;
    if (!switched) {
        Unplace(f, placed);
        return rc != DISK_OK ? rc : DISK_ERR_CREATE;
    }

    // The new image is in place: from here on only clean-up, which cannot undo the success.
    for (uint32_t i = 0; i < f->memberCount; ++i)
        if (placed[i] == kLinked) Os_RemoveFile(f->memberTemps[i]);
    std::vector<const char*> used;
    used.push_back(f->descriptorFinal);
    used.push_back(kept.c_str());
    for (uint32_t i = 0; i < f->memberCount; ++i) used.push_back(f->memberFinals[i]);
    for (uint32_t i = 0; i < f->keepCount; ++i) used.push_back(f->keep[i]);
    for (const std::string& member : newMembers) used.push_back(member.c_str());
    const size_t newImageFiles = used.size();
    // Only plain files that nothing in use is go; those named by a replaced backup only from the
    // descriptor's own folder.
    const std::string folder = DirectoryPrefix(f->descriptorFinal);
    auto removable = [&](const char* path, size_t usedCount, bool folderOnly) {
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        if (folderOnly && (std::strncmp(path, folder.c_str(), folder.size()) != 0 ||
                           std::strchr(path + folder.size(), '/') != nullptr))
            return false;
        return !Output_IsFileOf(path, used.data(), static_cast<uint32_t>(usedCount));
    };
    if (removeReplaced) {
        for (uint32_t i = 0; i < f->retiredCount; ++i)
            if (f->retired[i] != nullptr && removable(f->retired[i], newImageFiles, false))
                Os_RemoveFile(f->retired[i]);
    } else {
        // The new backup's members stay with it.
        for (uint32_t i = 0; i < f->retiredCount; ++i)
            if (f->retired[i] != nullptr) used.push_back(f->retired[i]);
        for (const std::string& member : oldBackup)
            if (removable(member.c_str(), used.size(), true)) Os_RemoveFile(member.c_str());
    }
    SyncPath(DirectoryOf(f->descriptorFinal).c_str());
    return DISK_OK;
}
