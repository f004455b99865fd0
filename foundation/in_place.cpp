#include "foundation/in_place.h"

#include <cerrno>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "foundation/result_codes.h"

namespace {

// One locked file of this process: the descriptor that holds the flock, the thread whose
// operation holds it and how many lock records of that thread count it.
struct Held {
    uint64_t dev;
    uint64_t ino;
    int fd;
    uint32_t refs;
    long owner;
};

std::mutex g_mutex;
std::vector<Held> g_held;
thread_local int g_note = IN_PLACE_NOTE_NONE;

long ThisThread() { return static_cast<long>(syscall(SYS_gettid)); }

Held* Find(uint64_t dev, uint64_t ino)
{
    for (Held& h : g_held)
        if (h.dev == dev && h.ino == ino) return &h;
    return nullptr;
}

bool RecordHolds(const InPlaceLock* lock, uint64_t dev, uint64_t ino)
{
    for (uint32_t i = 0; i < lock->count; ++i)
        if (lock->dev[i] == dev && lock->ino[i] == ino) return true;
    return false;
}

void Unref(uint64_t dev, uint64_t ino)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    for (size_t i = 0; i < g_held.size(); ++i) {
        Held& h = g_held[i];
        if (h.dev != dev || h.ino != ino) continue;
        if (--h.refs == 0) {
            close(h.fd);  // the last descriptor of its open file: the flock goes with it
            g_held.erase(g_held.begin() + static_cast<long>(i));
        }
        return;
    }
}

// Locks the file of fd for the record; fd is taken over (kept or closed).
int LockDescriptor(InPlaceLock* lock, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return DISK_ERR_OPEN;
    }
    const uint64_t dev = st.st_dev, ino = st.st_ino;
    if (RecordHolds(lock, dev, ino)) {
        close(fd);
        return DISK_OK;
    }
    if (lock->count == IN_PLACE_LOCK_FILES) {
        close(fd);
        return DISK_ERR_ARG;
    }
    std::lock_guard<std::mutex> guard(g_mutex);
    if (Held* h = Find(dev, ino)) {
        close(fd);
        if (h->owner != ThisThread()) return DISK_ERR_IN_USE;
        ++h->refs;
    } else {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            close(fd);
            return DISK_ERR_IN_USE;
        }
        // Other failures mean a file system without such locks: the operation goes on unlocked.
        try {
            g_held.push_back(Held{dev, ino, fd, 1, ThisThread()});
        } catch (...) {
            close(fd);
            return DISK_ERR_NOMEM;
        }
    }
    lock->dev[lock->count] = dev;
    lock->ino[lock->count] = ino;
    ++lock->count;
    return DISK_OK;
}

int OpenForLock(const char* path)
{
    return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

}  // namespace

void InPlaceLock_Init(InPlaceLock* lock) { lock->count = 0; }

int InPlaceLock_Acquire(InPlaceLock* lock, const char* const* paths, uint32_t count)
{
    if (paths == nullptr && count != 0) return DISK_ERR_ARG;
    const uint32_t before = lock->count;
    int rc = DISK_OK;
    for (uint32_t i = 0; i < count && rc == DISK_OK; ++i) {
        const char* path = paths[i];
        if (path == nullptr || path[0] == 0) continue;
        // The name may change hands between the open and the lock (another operation's commit):
        // the lock counts only when the name still holds the locked file.
        for (int attempt = 0;; ++attempt) {
            const int fd = OpenForLock(path);
            if (fd < 0) {
                if (errno != ENOENT) rc = DISK_ERR_OPEN;
                break;
            }
            const uint32_t held = lock->count;
            rc = LockDescriptor(lock, fd);
            if (rc != DISK_OK || lock->count == held) break;
            struct stat st;
            if (stat(path, &st) == 0 && static_cast<uint64_t>(st.st_dev) == lock->dev[held] &&
                static_cast<uint64_t>(st.st_ino) == lock->ino[held])
                break;
            Unref(lock->dev[held], lock->ino[held]);
            --lock->count;
            if (attempt == 3) {
                rc = DISK_ERR_IN_USE;
                break;
            }
        }
    }
    if (rc != DISK_OK) {
        while (lock->count > before) {
            --lock->count;
            Unref(lock->dev[lock->count], lock->ino[lock->count]);
        }
    }
    return rc;
}

int InPlaceLock_AcquireDescriptor(InPlaceLock* lock, int fd)
{
    if (fd < 0) return DISK_ERR_ARG;
    // The duplicate shares the open file, and so its flock, with fd; the lock lasts until the
    // last of their descriptors is closed.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return DISK_ERR_OPEN;
    return LockDescriptor(lock, own);
}

void InPlaceLock_Release(InPlaceLock* lock)
{
    while (lock->count > 0) {
        --lock->count;
        Unref(lock->dev[lock->count], lock->ino[lock->count]);
    }
}

bool InPlace_IsLockedElsewhere(const char* path)
{
    if (path == nullptr) return false;
    const int fd = OpenForLock(path);
    if (fd < 0) return false;
    struct stat st;
    bool locked = false;
    if (fstat(fd, &st) == 0) {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (const Held* h = Find(st.st_dev, st.st_ino)) {
            locked = h->owner != ThisThread();
        } else {
            locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        }
    }
    close(fd);
    return locked;
}

void InPlace_SetNote(int note) { g_note = note; }

int InPlace_TakeNote()
{
    const int note = g_note;
    g_note = IN_PLACE_NOTE_NONE;
    return note;
}
