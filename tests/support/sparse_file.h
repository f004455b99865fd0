// Sparse test files: a file of a given size that stores only some runs of bytes, the rest left
// as holes, with a model of its contents; holes dug into a written file; a stream that records
// the reads made through it; and the count of bytes this process has read.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/stream.h"
#include "support/test_support.h"

namespace sparse {

const uint64_t kMiB = 1024 * 1024;

struct Run {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

// A run of `length` pseudo-random bytes, none of them zero.
inline Run NonZeroRun(uint64_t offset, size_t length, uint32_t seed)
{
    Run r{offset, testsupport::RandomBytes(length, seed)};
    for (uint8_t& b : r.bytes)
        if (b == 0) b = 0x5A;
    return r;
}

// Creates the file with the given size, writes only the runs and leaves the rest as holes.
inline bool MakeFile(const std::string& path, uint64_t size, const std::vector<Run>& runs)
{
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const Run& r : runs) {
        ok = ok && pwrite(fd, r.bytes.data(), r.bytes.size(), static_cast<off_t>(r.offset)) ==
                       static_cast<ssize_t>(r.bytes.size());
    }
    ok = fsync(fd) == 0 && ok;
    return close(fd) == 0 && ok;
}

// The byte at offset of a file made by MakeFile (later runs win where runs overlap).
inline uint8_t ByteAt(const std::vector<Run>& runs, uint64_t offset)
{
    uint8_t b = 0;
    for (const Run& r : runs)
        if (offset >= r.offset && offset - r.offset < r.bytes.size())
            b = r.bytes[offset - r.offset];
    return b;
}

// Whether the model has a non-zero byte in [offset, offset + length).
inline bool AnyNonZero(const std::vector<Run>& runs, uint64_t offset, uint64_t length)
{
    for (const Run& r : runs) {
        const uint64_t from = std::max<uint64_t>(offset, r.offset);
        const uint64_t to = std::min<uint64_t>(offset + length, r.offset + r.bytes.size());
        for (uint64_t i = from; i < to; ++i)
            if (r.bytes[i - r.offset] != 0) return true;
    }
    return false;
}

// Whether the file system of dir keeps holes and tells them (SEEK_DATA skips a 1 MiB hole).
inline bool HolesAreReported(const std::string& dir)
{
    const std::string path = dir + "/hole-probe";
    if (!MakeFile(path, 2 * kMiB, {NonZeroRun(kMiB, 4096, 1)})) return false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t data = fd < 0 ? -1 : lseek(fd, 0, SEEK_DATA);
    if (fd >= 0) close(fd);
    unlink(path.c_str());
    return data == static_cast<off_t>(kMiB);
}

// Turns every block of the file that holds only zeros into a hole (fallocate --dig-holes).
inline bool DigHoles(const std::string& path)
{
    // The file is first written over whole, so that every zero block is ordinary data that
    // the dig turns into a hole, whatever mix of written and reserved space it held.
    const std::string q = testsupport::Quote(path);
    return testsupport::HaveTool("fallocate") &&
           testsupport::RunCommand("dd if=" + q + " of=" + q + ".dig bs=1M status=none && mv " + q +
                                   ".dig " + q + " && fallocate -d " + q + " 2>&1") == 0;
}

// Which whole aligned MiB of the bytes hold only zeros.
inline std::vector<bool> ZeroMiBs(const std::vector<uint8_t>& bytes)
{
    std::vector<bool> zero((bytes.size() + kMiB - 1) / kMiB, true);
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != 0) zero[i / kMiB] = false;
    // A part MiB at the end is not whole.
    if (bytes.size() % kMiB != 0) zero.back() = false;
    return zero;
}

// Which whole aligned MiB of a file of `size` bytes made by MakeFile no run touches: holes.
inline std::vector<bool> UntouchedMiBs(uint64_t size, const std::vector<Run>& runs)
{
    std::vector<bool> untouched((size + kMiB - 1) / kMiB, true);
    for (const Run& r : runs)
        for (uint64_t m = r.offset / kMiB; m <= (r.offset + r.bytes.size() - 1) / kMiB; ++m)
            untouched[m] = false;
    if (size % kMiB != 0) untouched.back() = false;
    return untouched;
}

// Whether [offset, offset + length) lies in whole MiB that the flags call zero.
inline bool InsideZeroMiBs(const std::vector<bool>& zeroMiBs, uint64_t offset, uint64_t length)
{
    if (length == 0) return false;
    for (uint64_t m = offset / kMiB; m <= (offset + length - 1) / kMiB; ++m)
        if (m >= zeroMiBs.size() || !zeroMiBs[m]) return false;
    return true;
}

// Whether [offset, offset + length) meets a whole MiB that the flags call zero.
inline bool TouchesZeroMiBs(const std::vector<bool>& zeroMiBs, uint64_t offset, uint64_t length)
{
    if (length == 0) return false;
    for (uint64_t m = offset / kMiB; m <= (offset + length - 1) / kMiB && m < zeroMiBs.size(); ++m)
        if (zeroMiBs[m]) return true;
    return false;
}

// A stream over another one that records every read made through it. Its FindData is the inner
// stream's, or there is none (a stream that cannot tell where it stores data).
struct RecordingStream {
    ByteStream* inner = nullptr;
    std::vector<std::pair<uint64_t, uint32_t>> reads;

    static bool Read(void* impl, uint64_t offset, uint32_t length, void* buffer)
    {
        RecordingStream* r = static_cast<RecordingStream*>(impl);
        r->reads.emplace_back(offset, length);
        return Stream_ReadAt(r->inner, offset, length, buffer);
    }
    static bool Write(void* impl, uint64_t offset, uint32_t length, const void* data)
    {
        return Stream_WriteAt(static_cast<RecordingStream*>(impl)->inner, offset, length, data);
    }
    static bool Close(void* impl)
    {
        RecordingStream* r = static_cast<RecordingStream*>(impl);
        const bool ok = Stream_Close(r->inner);
        r->inner = nullptr;
        return ok;
    }
    static bool Size(void* impl, uint64_t* size)
    {
        return Stream_GetSize(static_cast<RecordingStream*>(impl)->inner, size);
    }
    static bool Find(void* impl, uint64_t offset, uint64_t* dataStart, uint64_t* dataEnd)
    {
        return Stream_FindData(static_cast<RecordingStream*>(impl)->inner, offset, dataStart,
                               dataEnd);
    }

    // Opens path read-only and answers a stream over this recorder (NULL on failure). The stream
    // closes the file; the recorder must outlive it.
    ByteStream* Open(const std::string& path, bool canTell)
    {
        static const ByteStreamOps kTelling = {Read, Write, Close, Size, Find};
        static const ByteStreamOps kBlind = {Read, Write, Close, Size, nullptr};
        if (!Stream_OpenFile(path.c_str(), true, &inner)) return nullptr;
        return Stream_Alloc(this, canTell ? &kTelling : &kBlind);
    }

    uint64_t BytesRead() const
    {
        uint64_t total = 0;
        for (const auto& r : reads) total += r.second;
        return total;
    }
};

// Bytes this process has read through read system calls so far ("rchar" of /proc/self/io).
inline uint64_t BytesReadByProcess()
{
    FILE* f = fopen("/proc/self/io", "r");
    if (f == nullptr) return 0;
    char line[128];
    unsigned long long value = 0;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "rchar: %llu", &value) == 1) break;
    fclose(f);
    return value;
}

}  // namespace sparse
