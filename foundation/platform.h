// Platform layer: large-file access, file-system calls, clock and calendar, memory,
// byte order and integer helpers. Every function answers true/false (or a value);
// none keeps state between calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// ---- Files ----------------------------------------------------------------
bool File_Create(const char* path, FILE** out);
// Opens an existing regular file or block device ("rb", or "r+b" when not read-only). Any
// other kind of file (FIFO, socket, directory, character device) is refused without waiting.
bool File_Open(const char* path, bool readOnly, FILE** out);
// The same rule for a plain descriptor (O_RDONLY or O_RDWR, close-on-exec, blocking reads):
// the descriptor, or -1.
int File_OpenDiskDescriptor(const char* path, bool readOnly);
// Flushes, then closes; true only when both the flush and the close succeeded.
bool File_Close(FILE* f);
bool File_GetSize(FILE* f, uint64_t* size);
bool File_ReadAt(FILE* f, uint64_t offset, uint32_t length, void* buffer);
bool File_WriteAt(FILE* f, uint64_t offset, uint32_t length, const void* data);
// Creates the file and reserves size bytes. On failure the handle is closed and the file removed.
bool File_CreatePreallocated(const char* path, uint64_t size, FILE** out);
// Flushes, truncates to length and closes in every case; true when all three succeeded.
bool File_TruncateAndClose(FILE* f, uint64_t length);
bool File_GetSizeByPath(const char* path, uint64_t* size);

// Output files written with positioned writes on a write-only descriptor (nothing is read back
// and nothing is buffered). File_CreateWriteOnly creates or empties the file: the descriptor, or
// -1 (the failure is recorded). File_WriteAllAt writes all bytes at the offset, retrying short
// writes. File_ReserveDescriptor allocates [0, size). File_SetLengthAndClose sets a regular file's
// length (bytes never written stay holes) and closes the descriptor in every case; each answers
// false and records the failure when the call fails.
int File_CreateWriteOnly(const char* path);
bool File_WriteAllAt(int fd, uint64_t offset, uint32_t length, const void* data);
bool File_ReserveDescriptor(int fd, uint64_t size);
bool File_SetLengthAndClose(int fd, uint64_t length);
bool File_SyncDescriptor(int fd);
bool File_GetModTimeSince2000(const char* path, int32_t* seconds);

// Claimed new files (the one exception to "no state between calls"): File_ClaimNew creates a
// file that did not exist (O_CREAT|O_EXCL|O_NOFOLLOW: never through a link, never over another
// file) and remembers it by name with its device and inode, keeping a descriptor of it open.
// From then on File_Create, File_CreateWriteOnly, File_CreatePreallocated and File_Open of that
// name open the claimed file itself (no link followed) and refuse when the name no longer holds
// it; File_Create* empty it. File_ReleaseClaim closes the kept descriptor and forgets the name.
// File_ClaimNew answers 0, or the errno of the failed creation (EEXIST: the name is taken).
int File_ClaimNew(const char* path);
void File_ReleaseClaim(const char* path);
// The kept descriptor of a claimed name (owned by the claim), or -1.
int File_ClaimedDescriptor(const char* path);
// Whether the name holds the claimed file itself right now (lstat: a link there does not).
bool File_ClaimHolds(const char* path);

bool Os_PathExists(const char* path);
bool Os_RemoveFile(const char* path);
bool Os_RenameFile(const char* oldPath, const char* newPath);
bool Os_MakeDirectory(const char* path);
// The processors this process may run on (its affinity mask, so a process limited by taskset or
// a container's CPU set counts only those); at least 1.
uint32_t Os_UsableCores();
// Raises the process's soft limit of open files to at least `count` where its hard limit allows
// (never lowers it). True when `count` files may be open.
bool Os_EnsureOpenFiles(uint64_t count);

// Splits a NUL-terminated path at the last "/" and the name at its last ".".
// Each output is written only when not NULL; buffers must hold the whole path.
void Path_SplitCStr(const char* path, char* dir, char* stem, char* ext);

// ---- Memory ---------------------------------------------------------------
void* Mem_Alloc(uint32_t size);
void Mem_Free(void* block);

// ---- Clock and calendar ---------------------------------------------------
struct TimeParts {
    uint16_t year;
    uint16_t month;    // 1-12
    uint16_t weekday;  // 0-6, 0 = Sunday
    uint16_t day;      // 1-31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t millisecond;  // always 0
};

// Seconds since 2000-01-01 00:00:00 UTC, as image time stamps count them.
int32_t Time_NowSince2000();
int32_t Time_Since2000FromTime(time_t t);
// FAT packed date-time of the local time.
uint32_t Time_NowFatDateTime();
uint32_t Time_FatDateTimeFromTime(time_t t);
void Time_GetLocalParts(uint16_t* year, uint16_t* month, uint16_t* weekday, uint16_t* day,
                        uint16_t* hour, uint16_t* minute, uint16_t* second, uint16_t* millisecond);
void Time_GetUtcParts(TimeParts* parts);

// ---- Byte order (host is little-endian) -----------------------------------
uint16_t Bytes_LeToHost16(uint16_t v);
uint16_t Bytes_HostToLe16(uint16_t v);
uint32_t Bytes_LeToHost32(uint32_t v);
uint32_t Bytes_HostToLe32(uint32_t v);
uint64_t Bytes_LeToHost64(uint64_t v);
uint64_t Bytes_HostToLe64(uint64_t v);
uint16_t Bytes_BeToHost16(uint16_t v);
uint16_t Bytes_HostToBe16(uint16_t v);
uint32_t Bytes_BeToHost32(uint32_t v);
uint32_t Bytes_HostToBe32(uint32_t v);
uint64_t Bytes_BeToHost64(uint64_t v);
uint64_t Bytes_HostToBe64(uint64_t v);
void Bytes_LeToHostArray16(uint16_t* values, uint32_t count);
void Bytes_LeToHostArray32(uint32_t* values, uint32_t count);
void Bytes_HostToLeArray32(uint32_t* values, uint32_t count);
void Bytes_HostToBeArray16(const uint16_t* src, uint16_t* dst, uint32_t count);
void Bytes_BeToHostArray16(const uint16_t* src, uint16_t* dst, uint32_t count);
void Bytes_HostToBeArray64(const uint64_t* src, uint64_t* dst, uint32_t count);
void Bytes_WriteU16Be(uint16_t v, void* dst);
void Bytes_WriteU32Be(uint32_t v, void* dst);
void Bytes_WriteU64Be(uint64_t v, void* dst);
void Bytes_WriteUIntBe(uint64_t v, void* dst, uint32_t n);
uint8_t Bytes_GetByte0(uint32_t v);
uint8_t Bytes_GetByte1(uint32_t v);
uint8_t Bytes_GetByte2(uint32_t v);
uint8_t Bytes_GetByte3(uint32_t v);

// Loads and stores of on-disk fields at any alignment.
uint16_t Bytes_LoadLe16(const void* p);
uint32_t Bytes_LoadLe32(const void* p);
uint64_t Bytes_LoadLe64(const void* p);
uint16_t Bytes_LoadBe16(const void* p);
uint32_t Bytes_LoadBe32(const void* p);
uint64_t Bytes_LoadBe64(const void* p);
void Bytes_StoreLe16(void* p, uint16_t v);
void Bytes_StoreLe32(void* p, uint32_t v);
void Bytes_StoreLe64(void* p, uint64_t v);
void Bytes_StoreBe16(void* p, uint16_t v);
void Bytes_StoreBe32(void* p, uint32_t v);
void Bytes_StoreBe64(void* p, uint64_t v);

bool Mem_IsZero(const void* bytes, uint32_t length);
void Mem_Fill16(uint16_t* array, uint16_t value, uint32_t count);
void Mem_Fill64(uint64_t* array, uint64_t value, uint32_t count);

// ---- Integer helpers ------------------------------------------------------
// Ceiling division without wrapping; a divisor of 0 answers 0.
int64_t Math_DivCeilI64(int64_t a, int64_t b);
uint64_t Math_DivCeilU64(uint64_t a, uint64_t b);
uint32_t Math_DivCeilU32(uint32_t a, uint32_t b);
// a rounded up to a multiple of step; 0 when step is 0 or the result needs more than 32 bits.
uint32_t Math_RoundUpU32(uint32_t a, uint32_t step);
// True for 0 and for positive powers of two; false for negative values.
bool Math_IsPowerOfTwo(int32_t x);
// Overflow-checked arithmetic: false when the result does not fit.
bool Math_AddU64(uint64_t a, uint64_t b, uint64_t* out);
bool Math_MulU64(uint64_t a, uint64_t b, uint64_t* out);
bool Math_MulU32(uint32_t a, uint32_t b, uint32_t* out);
