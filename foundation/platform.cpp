#include "foundation/platform.h"

#include "foundation/io_failure.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---- Claimed new files ----------------------------------------------------

namespace {

struct Claim {
    std::string path;
    int fd;
    dev_t dev;
    ino_t ino;
};

std::mutex g_claimMutex;
std::vector<Claim> g_claims;

// The claim of a name (under g_claimMutex), or null.
Claim* FindClaim(const char* path)
{
    for (Claim& c : g_claims)
        if (c.path == path) return &c;
    return nullptr;
}

enum { kNotClaimed = -2 };

// Opens the claimed file under its name (no link followed, nothing created) and checks that it
// is the claimed file itself; emptied when `truncate`. The descriptor, -1 (errno set) when the
// name no longer holds the claimed file, or kNotClaimed.
int OpenClaimed(const char* path, int accessFlags, bool truncate)
{
    dev_t dev;
    ino_t ino;
    {
        std::lock_guard<std::mutex> guard(g_claimMutex);
        const Claim* c = FindClaim(path);
        if (c == nullptr) return kNotClaimed;
        dev = c->dev;
        ino = c->ino;
    }
    const int fd = open64(path, accessFlags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat64 st;
    if (fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != dev || st.st_ino != ino) {
        close(fd);
        errno = EEXIST;
        return -1;
    }
    if (truncate && st.st_size != 0 && ftruncate64(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

int File_ClaimNew(const char* path)
{
    if (path == nullptr || path[0] == 0) return EINVAL;
    const int fd =
        open64(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return errno;
    struct stat64 st;
    if (fstat64(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        unlink(path);
        return error;
    }
    std::lock_guard<std::mutex> guard(g_claimMutex);
    if (Claim* old = FindClaim(path)) {
        // A claim whose file was removed behind its back: the new file takes its place.
        close(old->fd);
        old->fd = fd;
        old->dev = st.st_dev;
        old->ino = st.st_ino;
        return 0;
    }
    try {
        g_claims.push_back(Claim{path, fd, st.st_dev, st.st_ino});
    } catch (...) {
        close(fd);
        unlink(path);
        return ENOMEM;
    }
    return 0;
}

void File_ReleaseClaim(const char* path)
{
    if (path == nullptr) return;
    std::lock_guard<std::mutex> guard(g_claimMutex);
    for (size_t i = 0; i < g_claims.size(); ++i) {
        if (g_claims[i].path != path) continue;
        close(g_claims[i].fd);
        g_claims.erase(g_claims.begin() + static_cast<long>(i));
        return;
    }
}

int File_ClaimedDescriptor(const char* path)
{
    if (path == nullptr) return -1;
    std::lock_guard<std::mutex> guard(g_claimMutex);
    const Claim* c = FindClaim(path);
    return c != nullptr ? c->fd : -1;
}

bool File_ClaimHolds(const char* path)
{
    if (path == nullptr) return false;
    std::lock_guard<std::mutex> guard(g_claimMutex);
    const Claim* c = FindClaim(path);
    struct stat64 st;
    return c != nullptr && lstat64(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == c->dev &&
           st.st_ino == c->ino;
}

// ---- Files ----------------------------------------------------------------

bool File_Create(const char* path, FILE** out)
{
    if (path == nullptr || out == nullptr) return false;
    const int claimed = OpenClaimed(path, O_RDWR, true);
    if (claimed != kNotClaimed) {
        FILE* f = claimed >= 0 ? fdopen(claimed, "r+b") : nullptr;
        if (f == nullptr) {
            IoFailure_RecordFile(IO_FAILURE_CREATE, errno);
            if (claimed >= 0) close(claimed);
            return false;
        }
        *out = f;
        return true;
    }
    FILE* f = fopen64(path, "w+b");
    if (f == nullptr) {
        IoFailure_RecordFile(IO_FAILURE_CREATE, errno);
        return false;
    }
    *out = f;
    return true;
}

int File_CreateWriteOnly(const char* path)
{
    if (path == nullptr) return -1;
    int fd = OpenClaimed(path, O_WRONLY, true);
    if (fd == kNotClaimed)
        fd = open64(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) IoFailure_RecordFile(IO_FAILURE_CREATE, errno);
    return fd;
}

// Writes are handed to the kernel in pieces of at most 512 KiB. A larger write into the page
// cache lets the kernel build folios of 1 MiB and more for it, and on the virtual machines this
// was measured on, filling those took 4 to 15 times as long as filling small ones: 344 MB went
// out in 0.06 s in pieces of 512 KiB, 0.2 s in pieces of 1 MiB and 0.4-1.0 s in pieces of 2 or
// 4 MiB. The system calls saved by larger pieces are worth far less.
static const uint32_t kWritePieceBytes = 512u << 10;

// A write that completes a stretch of kWritebackBytes of the file starts the writing of that
// stretch to the device, without waiting for it. An image is mostly written front to back: its
// data then reach the device while the rest is still being made, instead of all at the final
// sync, and the dirty pages of a long run stay few. Only a hint; a file that cannot take it
// (a pipe, a file system without it) is written as before.
static const uint64_t kWritebackBytes = 64ull << 20;

static void StartWriteback(int fd, uint64_t offset, uint64_t end)
{
    const uint64_t from = offset / kWritebackBytes * kWritebackBytes;
    const uint64_t to = end / kWritebackBytes * kWritebackBytes;
    if (to > from && to <= static_cast<uint64_t>(INT64_MAX))
        (void)sync_file_range(fd, static_cast<off64_t>(from), static_cast<off64_t>(to - from),
                              SYNC_FILE_RANGE_WRITE);
}

bool File_WriteAllAt(int fd, uint64_t offset, uint32_t length, const void* data)
{
    if (fd < 0 || (data == nullptr && length != 0)) return false;
    uint64_t end = 0;
    if (!Math_AddU64(offset, length, &end) || end > static_cast<uint64_t>(INT64_MAX)) {
        IoFailure_RecordFile(IO_FAILURE_WRITE, EFBIG);
        return false;
    }
    const uint64_t start = offset;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const uint32_t piece = length < kWritePieceBytes ? length : kWritePieceBytes;
        const ssize_t n = pwrite64(fd, p, piece, static_cast<off64_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            IoFailure_RecordFile(IO_FAILURE_WRITE, n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<uint32_t>(n);
    }
    StartWriteback(fd, start, end);
    return true;
}

bool File_ReserveDescriptor(int fd, uint64_t size)
{
    if (fd < 0 || size > static_cast<uint64_t>(INT64_MAX)) return false;
    if (size == 0) return true;
    const int error = posix_fallocate64(fd, 0, static_cast<off64_t>(size));
    if (error != 0) {
        IoFailure_RecordFile(IO_FAILURE_WRITE, error);
        return false;
    }
    return true;
}

bool File_SetLengthAndClose(int fd, uint64_t length)
{
    if (fd < 0) return false;
    // Only a regular file has a length to set (an output may be a device).
    struct stat64 st;
    bool ok = fstat64(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        ok = length <= static_cast<uint64_t>(INT64_MAX) &&
             ftruncate64(fd, static_cast<off64_t>(length)) == 0;
    }
    if (!ok) IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
    if (close(fd) != 0 && ok) {
        IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
        ok = false;
    }
    return ok;
}

bool File_SyncDescriptor(int fd)
{
    if (fd < 0) return false;
    if (fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return true;
    IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
    return false;
}

static bool IsDiskFileMode(mode_t mode) { return S_ISREG(mode) || S_ISBLK(mode); }

int File_OpenDiskDescriptor(const char* path, bool readOnly)
{
    if (path == nullptr) return -1;
    const int claimed = OpenClaimed(path, readOnly ? O_RDONLY : O_RDWR, false);
    if (claimed != kNotClaimed) return claimed;
    // Other kinds of file are refused before they are opened: opening a FIFO waits for a
    // writer, and opening some character devices acts on the device.
    struct stat64 st;
    if (stat64(path, &st) != 0 || !IsDiskFileMode(st.st_mode)) return -1;
    // The name may have been replaced since: open without waiting, then judge the descriptor.
    int fd = open64(path, (readOnly ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat64(fd, &st) != 0 || !IsDiskFileMode(st.st_mode) || flags == -1 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool File_Open(const char* path, bool readOnly, FILE** out)
{
    if (path == nullptr || out == nullptr) return false;
    const int fd = File_OpenDiskDescriptor(path, readOnly);
    if (fd < 0) return false;
    FILE* f = fdopen(fd, readOnly ? "rb" : "r+b");
    if (f == nullptr) {
        close(fd);
        return false;
    }
    *out = f;
    return true;
}

bool File_Close(FILE* f)
{
    if (f == nullptr) return false;
    errno = 0;
    bool flushed = fflush(f) == 0;
    const int flushError = errno;
    bool closed = fclose(f) == 0;
    if (!flushed || !closed) IoFailure_RecordFile(IO_FAILURE_WRITE, flushed ? errno : flushError);
    return flushed && closed;
}

bool File_GetSize(FILE* f, uint64_t* size)
{
    if (f == nullptr || size == nullptr) return false;
    if (fseeko64(f, 0, SEEK_END) != 0) return false;
    off64_t pos = ftello64(f);
    if (pos == -1) return false;
    *size = static_cast<uint64_t>(pos);
    return true;
}

static bool SeekTo(FILE* f, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko64(f, static_cast<off64_t>(offset), SEEK_SET) == 0;
}

bool File_ReadAt(FILE* f, uint64_t offset, uint32_t length, void* buffer)
{
    if (f == nullptr || (buffer == nullptr && length != 0)) return false;
    if (!SeekTo(f, offset)) return false;
    if (length == 0) return true;
    return fread(buffer, 1, length, f) == length;
}

bool File_WriteAt(FILE* f, uint64_t offset, uint32_t length, const void* data)
{
    if (f == nullptr || (data == nullptr && length != 0)) return false;
    errno = 0;
    // A seek writes out what is buffered: it fails as a write would.
    if (!SeekTo(f, offset)) {
        IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
        return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const uint32_t piece = length < kWritePieceBytes ? length : kWritePieceBytes;
        if (fwrite(p, 1, piece, f) != piece) {
            IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
            return false;
        }
        p += piece;
        length -= piece;
    }
    const uint64_t written = static_cast<uint64_t>(p - static_cast<const uint8_t*>(data));
    if (written != 0) StartWriteback(fileno(f), offset, offset + written);
    return true;
}

bool File_CreatePreallocated(const char* path, uint64_t size, FILE** out)
{
    if (out == nullptr || size > static_cast<uint64_t>(INT64_MAX)) return false;
    FILE* f = nullptr;
    if (!File_Create(path, &f)) return false;
    if (size != 0) {
        // posix_fallocate refuses a length of 0, so only a real size is reserved.
        const int error = posix_fallocate64(fileno(f), 0, static_cast<off64_t>(size));
        if (error != 0) {
            IoFailure_RecordFile(IO_FAILURE_WRITE, error);
            fclose(f);
            // A claimed file stays for its owner to remove (the name may no longer be ours).
            if (File_ClaimedDescriptor(path) < 0) remove(path);
            return false;
        }
    }
    *out = f;
    return true;
}

bool File_TruncateAndClose(FILE* f, uint64_t length)
{
    if (f == nullptr) return false;
    // Flush first: a buffered write that cannot reach the file is a failure of the whole
    // output, and every buffered byte lies below length, so the flush cannot extend the file.
    errno = 0;
    bool ok = fflush(f) == 0;
    if (!ok) IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
    if (length > static_cast<uint64_t>(INT64_MAX) ||
        ftruncate64(fileno(f), static_cast<off64_t>(length)) != 0) {
        if (ok) IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
        ok = false;
    }
    if (fclose(f) != 0) {
        if (ok) IoFailure_RecordFile(IO_FAILURE_WRITE, errno);
        ok = false;
    }
    return ok;
}

bool File_GetSizeByPath(const char* path, uint64_t* size)
{
    struct stat64 st;
    if (path == nullptr || size == nullptr || stat64(path, &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool File_GetModTimeSince2000(const char* path, int32_t* seconds)
{
    struct stat64 st;
    if (path == nullptr || seconds == nullptr || stat64(path, &st) != 0) return false;
    *seconds = Time_Since2000FromTime(st.st_mtime);
    return true;
}

bool Os_PathExists(const char* path)
{
    struct stat64 st;
    return path != nullptr && stat64(path, &st) == 0;
}

bool Os_RemoveFile(const char* path) { return path != nullptr && remove(path) == 0; }

bool Os_RenameFile(const char* oldPath, const char* newPath)
{
    return oldPath != nullptr && newPath != nullptr && rename(oldPath, newPath) == 0;
}

bool Os_MakeDirectory(const char* path) { return path != nullptr && mkdir(path, 0755) == 0; }

uint32_t Os_UsableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<uint32_t>(n);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<uint32_t>(online) : 1;
}

bool Os_EnsureOpenFiles(uint64_t count)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= count) return true;
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= count
                              ? static_cast<rlim_t>(count)
                              : limit.rlim_max;
    if (wanted <= limit.rlim_cur) return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 && wanted >= count;
}

void Path_SplitCStr(const char* path, char* dir, char* stem, char* ext)
{
    if (path == nullptr) return;
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (dir) {
        size_t n = static_cast<size_t>(name - path);
        memmove(dir, path, n);
        dir[n] = '\0';
    }
    const char* dot = strrchr(name, '.');
    size_t stemLen = dot ? static_cast<size_t>(dot - name) : strlen(name);
    if (ext) {
        // The extension is written before the stem so that both may share the path's storage order.
        if (dot)
            memmove(ext, dot + 1, strlen(dot + 1) + 1);
        else
            ext[0] = '\0';
    }
    if (stem) {
        memmove(stem, name, stemLen);
        stem[stemLen] = '\0';
    }
}

// ---- Memory ---------------------------------------------------------------

void* Mem_Alloc(uint32_t size) { return malloc(size != 0 ? size : 1); }

void Mem_Free(void* block) { free(block); }

// ---- Clock and calendar ---------------------------------------------------

// 2000-01-01 00:00:00 UTC in seconds since the epoch.
static const int64_t kEpoch2000 = 946684800;

int32_t Time_Since2000FromTime(time_t t)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(t) - kEpoch2000));
}

int32_t Time_NowSince2000() { return Time_Since2000FromTime(time(nullptr)); }

uint32_t Time_FatDateTimeFromTime(time_t t)
{
    struct tm tmv;
    if (localtime_r(&t, &tmv) == nullptr) return 0;
    uint32_t year =
        tmv.tm_year + 1900 >= 1980 ? static_cast<uint32_t>(tmv.tm_year + 1900 - 1980) : 0;
    if (year > 127) year = 127;
    return (year << 25) + (static_cast<uint32_t>(tmv.tm_mon + 1) << 21) +
           (static_cast<uint32_t>(tmv.tm_mday) << 16) + static_cast<uint32_t>(tmv.tm_hour) * 2048 +
           static_cast<uint32_t>(tmv.tm_min) * 32 + static_cast<uint32_t>(tmv.tm_sec) / 2;
}

uint32_t Time_NowFatDateTime() { return Time_FatDateTimeFromTime(time(nullptr)); }

static void FillParts(const struct tm& tmv, TimeParts* p)
{
    p->year = static_cast<uint16_t>(tmv.tm_year + 1900);
    p->month = static_cast<uint16_t>(tmv.tm_mon + 1);
    p->weekday = static_cast<uint16_t>(tmv.tm_wday);
    p->day = static_cast<uint16_t>(tmv.tm_mday);
    p->hour = static_cast<uint16_t>(tmv.tm_hour);
    p->minute = static_cast<uint16_t>(tmv.tm_min);
    p->second = static_cast<uint16_t>(tmv.tm_sec);
    p->millisecond = 0;
}

void Time_GetLocalParts(uint16_t* year, uint16_t* month, uint16_t* weekday, uint16_t* day,
                        uint16_t* hour, uint16_t* minute, uint16_t* second, uint16_t* millisecond)
{
    time_t now = time(nullptr);
    struct tm tmv;
    TimeParts p = {};
    if (localtime_r(&now, &tmv) != nullptr) FillParts(tmv, &p);
    if (year) *year = p.year;
    if (month) *month = p.month;
    if (weekday) *weekday = p.weekday;
    if (day) *day = p.day;
    if (hour) *hour = p.hour;
    if (minute) *minute = p.minute;
    if (second) *second = p.second;
    if (millisecond) *millisecond = 0;
}

void Time_GetUtcParts(TimeParts* parts)
{
    if (parts == nullptr) return;
    time_t now = time(nullptr);
    struct tm tmv;
    *parts = TimeParts{};
    if (gmtime_r(&now, &tmv) != nullptr) FillParts(tmv, parts);
}

// ---- Byte order -----------------------------------------------------------

uint16_t Bytes_LeToHost16(uint16_t v) { return v; }
uint16_t Bytes_HostToLe16(uint16_t v) { return v; }
uint32_t Bytes_LeToHost32(uint32_t v) { return v; }
uint32_t Bytes_HostToLe32(uint32_t v) { return v; }
uint64_t Bytes_LeToHost64(uint64_t v) { return v; }
uint64_t Bytes_HostToLe64(uint64_t v) { return v; }
uint16_t Bytes_BeToHost16(uint16_t v) { return __builtin_bswap16(v); }
uint16_t Bytes_HostToBe16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t Bytes_BeToHost32(uint32_t v) { return __builtin_bswap32(v); }
uint32_t Bytes_HostToBe32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t Bytes_BeToHost64(uint64_t v) { return __builtin_bswap64(v); }
uint64_t Bytes_HostToBe64(uint64_t v) { return __builtin_bswap64(v); }

void Bytes_LeToHostArray16(uint16_t*, uint32_t) {}
void Bytes_LeToHostArray32(uint32_t*, uint32_t) {}
void Bytes_HostToLeArray32(uint32_t*, uint32_t) {}

void Bytes_HostToBeArray16(const uint16_t* src, uint16_t* dst, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) dst[i] = __builtin_bswap16(src[i]);
}

void Bytes_BeToHostArray16(const uint16_t* src, uint16_t* dst, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) dst[i] = __builtin_bswap16(src[i]);
}

void Bytes_HostToBeArray64(const uint64_t* src, uint64_t* dst, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) dst[i] = __builtin_bswap64(src[i]);
}

void Bytes_WriteUIntBe(uint64_t v, void* dst, uint32_t n)
{
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (n > 8) n = 8;
    for (uint32_t i = 0; i < n; ++i) d[n - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}

void Bytes_WriteU16Be(uint16_t v, void* dst) { Bytes_WriteUIntBe(v, dst, 2); }
void Bytes_WriteU32Be(uint32_t v, void* dst) { Bytes_WriteUIntBe(v, dst, 4); }
void Bytes_WriteU64Be(uint64_t v, void* dst) { Bytes_WriteUIntBe(v, dst, 8); }

uint8_t Bytes_GetByte0(uint32_t v) { return static_cast<uint8_t>(v); }
uint8_t Bytes_GetByte1(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Bytes_GetByte2(uint32_t v) { return static_cast<uint8_t>(v >> 16); }
uint8_t Bytes_GetByte3(uint32_t v) { return static_cast<uint8_t>(v >> 24); }

uint16_t Bytes_LoadLe16(const void* p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}
uint32_t Bytes_LoadLe32(const void* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
uint64_t Bytes_LoadLe64(const void* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
uint16_t Bytes_LoadBe16(const void* p) { return __builtin_bswap16(Bytes_LoadLe16(p)); }
uint32_t Bytes_LoadBe32(const void* p) { return __builtin_bswap32(Bytes_LoadLe32(p)); }
uint64_t Bytes_LoadBe64(const void* p) { return __builtin_bswap64(Bytes_LoadLe64(p)); }
void Bytes_StoreLe16(void* p, uint16_t v) { memcpy(p, &v, 2); }
void Bytes_StoreLe32(void* p, uint32_t v) { memcpy(p, &v, 4); }
void Bytes_StoreLe64(void* p, uint64_t v) { memcpy(p, &v, 8); }
void Bytes_StoreBe16(void* p, uint16_t v) { Bytes_StoreLe16(p, __builtin_bswap16(v)); }
void Bytes_StoreBe32(void* p, uint32_t v) { Bytes_StoreLe32(p, __builtin_bswap32(v)); }
void Bytes_StoreBe64(void* p, uint64_t v) { Bytes_StoreLe64(p, __builtin_bswap64(v)); }

bool Mem_IsZero(const void* bytes, uint32_t length)
{
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    uint32_t i = 0;
#if defined(__SSE2__)
    // Every block that holds data passes through here, and most of a sparse disk's used blocks
    // are zeros that are tested whole: 128 bytes a step, OR-ed in registers, one branch.
    const __m128i zero = _mm_setzero_si128();
    for (; i + 128 <= length; i += 128) {
        const __m128i* p = reinterpret_cast<const __m128i*>(b + i);
        const __m128i x = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                         _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3))),
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p + 4), _mm_loadu_si128(p + 5)),
                         _mm_or_si128(_mm_loadu_si128(p + 6), _mm_loadu_si128(p + 7))));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero)) != 0xFFFF) return false;
    }
#endif
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        memcpy(&w, b + i, 8);
        if (w != 0) return false;
    }
    for (; i < length; ++i)
        if (b[i] != 0) return false;
    return true;
}

void Mem_Fill16(uint16_t* array, uint16_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) array[i] = value;
}

void Mem_Fill64(uint64_t* array, uint64_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) array[i] = value;
}

// ---- Integer helpers ------------------------------------------------------

int64_t Math_DivCeilI64(int64_t a, int64_t b)
{
    if (b == 0 || (a == INT64_MIN && b == -1)) return 0;
    int64_t q = a / b;
    int64_t r = a % b;
    // Round toward positive infinity when the remainder and the divisor have the same sign.
    if (r != 0 && ((r > 0) == (b > 0))) ++q;
    return q;
}

uint64_t Math_DivCeilU64(uint64_t a, uint64_t b)
{
    if (b == 0) return 0;
    return a / b + (a % b != 0 ? 1 : 0);
}

uint32_t Math_DivCeilU32(uint32_t a, uint32_t b)
{
    if (b == 0) return 0;
    return a / b + (a % b != 0 ? 1 : 0);
}

uint32_t Math_RoundUpU32(uint32_t a, uint32_t step)
{
    if (step == 0) return 0;
    uint64_t r = static_cast<uint64_t>(Math_DivCeilU32(a, step)) * step;
    return r > UINT32_MAX ? 0 : static_cast<uint32_t>(r);
}

bool Math_IsPowerOfTwo(int32_t x)
{
    if (x < 0) return false;
    uint32_t u = static_cast<uint32_t>(x);
    return (u & (u - 1)) == 0;
}

bool Math_AddU64(uint64_t a, uint64_t b, uint64_t* out)
{
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return false;
    if (out) *out = r;
    return true;
}

bool Math_MulU64(uint64_t a, uint64_t b, uint64_t* out)
{
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return false;
    if (out) *out = r;
    return true;
}

bool Math_MulU32(uint32_t a, uint32_t b, uint32_t* out)
{
    uint32_t r;
    if (__builtin_mul_overflow(a, b, &r)) return false;
    if (out) *out = r;
    return true;
}
