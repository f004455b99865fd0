#include "fault_shim.h"

#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/types.h>
#include <unistd.h>

extern "C" {
size_t __real_fwrite(const void*, size_t, size_t, FILE*);
int __real_fputs(const char*, FILE*);
int __real_fputc(int, FILE*);
int __real_fflush(FILE*);
int __real_fclose(FILE*);
ssize_t __real_write(int, const void*, size_t);
ssize_t __real_pwrite64(int, const void*, size_t, off64_t);
int __real_ftruncate64(int, off64_t);
int __real_ftruncate(int, off_t);
ssize_t __real_pwrite(int, const void*, size_t, off_t);
int __real_posix_fallocate(int, off_t, off_t);
int __real_posix_fallocate64(int, off64_t, off64_t);
int __real_fsync(int);
int __real_fdatasync(int);
int __real_rename(const char*, const char*);
int __real_renameat(int, const char*, int, const char*);
int __real_renameat2(int, const char*, int, const char*, unsigned);
int __real_link(const char*, const char*);
int __real_linkat(int, const char*, int, const char*, int);
int __real_open(const char*, int, ...);
int __real_open64(const char*, int, ...);
FILE* __real_fopen64(const char*, const char*);
}

namespace faultshim {
namespace {

unsigned g_mask = 0;
uint64_t g_at = 0;
uint64_t g_count = 0;
bool g_fired = false;
Action g_action = kFail;
int g_error = 0;

// True when this call must fail (errno set); kills the process when so armed.
bool Hit(Kind kind, int defaultError)
{
    if ((g_mask & kind) == 0) return false;
    ++g_count;
    if (g_at == 0 || g_count != g_at) return false;
    g_fired = true;
    if (g_action == kKill) kill(getpid(), SIGKILL);
    errno = g_error != 0 ? g_error : defaultError;
    return true;
}

}  // namespace

void Arm(unsigned mask, uint64_t at, Action action, int error)
{
    g_count = 0;
    g_fired = false;
    g_at = at;
    g_action = action;
    g_error = error;
    g_mask = mask;
}

uint64_t Disarm()
{
    g_mask = 0;
    return g_count;
}

bool Fired() { return g_fired; }

const char* KindName(unsigned mask)
{
    switch (mask) {
    case kWrite:
        return "write";
    case kSync:
        return "sync";
    case kRename:
        return "rename";
    case kLink:
        return "link";
    case kOpen:
        return "open";
    default:
        return "any";
    }
}

}  // namespace faultshim

using faultshim::Hit;

extern "C" {

size_t __wrap_fwrite(const void* p, size_t size, size_t n, FILE* f)
{
    if (size != 0 && n != 0 && Hit(faultshim::kWrite, ENOSPC)) return 0;
    return __real_fwrite(p, size, n, f);
}

int __wrap_fputs(const char* s, FILE* f)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return EOF;
    return __real_fputs(s, f);
}

int __wrap_fputc(int c, FILE* f)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return EOF;
    return __real_fputc(c, f);
}

// A failed flush loses what was buffered, as a write error of the device would.
int __wrap_fflush(FILE* f)
{
    if (f != nullptr && Hit(faultshim::kWrite, ENOSPC)) {
        __fpurge(f);
        return EOF;
    }
    return __real_fflush(f);
}

int __wrap_fclose(FILE* f)
{
    if (f != nullptr && Hit(faultshim::kWrite, ENOSPC)) {
        __fpurge(f);
        int e = errno;
        __real_fclose(f);
        errno = e;
        return EOF;
    }
    return __real_fclose(f);
}

ssize_t __wrap_write(int fd, const void* p, size_t n)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return -1;
    return __real_write(fd, p, n);
}

ssize_t __wrap_pwrite64(int fd, const void* p, size_t n, off64_t at)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return -1;
    return __real_pwrite64(fd, p, n, at);
}

int __wrap_ftruncate64(int fd, off64_t length)
{
    if (Hit(faultshim::kWrite, EIO)) return -1;
    return __real_ftruncate64(fd, length);
}

int __wrap_ftruncate(int fd, off_t length)
{
    if (Hit(faultshim::kWrite, EIO)) return -1;
    return __real_ftruncate(fd, length);
}

ssize_t __wrap_pwrite(int fd, const void* p, size_t n, off_t at)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return -1;
    return __real_pwrite(fd, p, n, at);
}

int __wrap_posix_fallocate(int fd, off_t at, off_t length)
{
    if (Hit(faultshim::kWrite, ENOSPC)) return errno;
    return __real_posix_fallocate(fd, at, length);
}

int __wrap_posix_fallocate64(int fd, off64_t at, off64_t length)
{
    // posix_fallocate answers the error instead of setting errno.
    if (Hit(faultshim::kWrite, ENOSPC)) return errno;
    return __real_posix_fallocate64(fd, at, length);
}

int __wrap_fsync(int fd)
{
    if (Hit(faultshim::kSync, EIO)) return -1;
    return __real_fsync(fd);
}

int __wrap_fdatasync(int fd)
{
    if (Hit(faultshim::kSync, EIO)) return -1;
    return __real_fdatasync(fd);
}

int __wrap_rename(const char* a, const char* b)
{
    if (Hit(faultshim::kRename, EIO)) return -1;
    return __real_rename(a, b);
}

int __wrap_renameat(int da, const char* a, int db, const char* b)
{
    if (Hit(faultshim::kRename, EIO)) return -1;
    return __real_renameat(da, a, db, b);
}

int __wrap_renameat2(int da, const char* a, int db, const char* b, unsigned flags)
{
    if (Hit(faultshim::kRename, EIO)) return -1;
    return __real_renameat2(da, a, db, b, flags);
}

int __wrap_link(const char* a, const char* b)
{
    if (Hit(faultshim::kLink, EIO)) return -1;
    return __real_link(a, b);
}

int __wrap_linkat(int da, const char* a, int db, const char* b, int flags)
{
    if (Hit(faultshim::kLink, EIO)) return -1;
    return __real_linkat(da, a, db, b, flags);
}

// The mode argument is there only when a file may be created.
static mode_t OpenMode(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(args, int))
               : 0;
}

// An open through `real` that the armed fault may refuse.
static int OpenThrough(int (*real)(const char*, int, ...), const char* path, int flags, mode_t mode)
{
    if (Hit(faultshim::kOpen, EACCES)) return -1;
    return real(path, flags, mode);
}

int __wrap_open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = OpenMode(flags, args);
    va_end(args);
    return OpenThrough(__real_open, path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = OpenMode(flags, args);
    va_end(args);
    return OpenThrough(__real_open64, path, flags, mode);
}

FILE* __wrap_fopen64(const char* path, const char* how)
{
    if (Hit(faultshim::kOpen, EACCES)) return nullptr;
    return __real_fopen64(path, how);
}

}  // extern "C"
