// Helpers shared by the fuzz targets: a private temporary directory per process, the input
// written to a file in it, whole-disk reads with a size cap, and a cap on every file written.
//
// Every target calls fuzz::Init() first; it sets a per-process file-size limit
// (FUZZ_MAX_FILE_BYTES: a write beyond it fails instead of filling the disk) and creates the
// directory (under $FUZZ_TMPDIR, else $TMPDIR, else /tmp), which is removed with its contents
// when the process ends.
//
// A new target: fuzz/<name>_fuzz.cpp defining LLVMFuzzerTestOneInput (the build picks it up),
// its seeds written by make_seeds.sh into OUT/<name>_fuzz/, and every input that once failed
// kept in tests/fuzz/<name>_fuzz/ (the test suite replays them). A target writes its files only
// into its directory, removes them before it returns (ClearDir), and aborts through FUZZ_CHECK
// when a result breaks what the code promises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "foundation/platform.h"

struct UsedSectorMap;

enum : uint64_t {
    // Largest part of a virtual disk a target reads.
    FUZZ_MAX_READ_BYTES = 64ull << 20,
    // Largest file any target may write.
    FUZZ_MAX_FILE_BYTES = 96ull << 20
};

namespace fuzz {

// Once per process: file-size limit, temporary directory, exit handler. Idempotent.
void Init();
// The process's temporary directory.
const std::string& Dir();
// Path of a file in the directory.
std::string File(const std::string& name);
// Writes bytes to a file in the directory (replacing it) and answers its path; aborts when the
// file cannot be written (the target could not test anything).
std::string WriteInput(const std::string& name, const uint8_t* data, size_t size);
// Removes every file of the directory (between inputs).
void ClearDir();

// Total sectors of an open disk (0 without geometry).
uint64_t TotalSectors(const DiskHandle* disk);
// Reads the disk from sector 0 in 2 MiB pieces up to FUZZ_MAX_READ_BYTES; the bytes read go to
// *out when given. Answers the first failure or DISK_OK.
int ReadDisk(const DiskHandle* disk, std::vector<uint8_t>* out);
// Asks the empty-range and unallocated-range queries over a few ranges of the disk (with and
// without a map), checking only that they answer.
void QueryRanges(const DiskHandle* disk, struct UsedSectorMap* map);

// A selector taken from the input without disturbing its first bytes (where the signatures
// lie): the last byte, 0 for an empty input.
uint8_t Selector(const uint8_t* data, size_t size);

}  // namespace fuzz

// Aborts with a message: a finding that is not a memory error (wrong result, broken invariant).
#define FUZZ_CHECK(cond)                                    \
    do {                                                    \
        if (!(cond)) fuzz::Fail(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz {
[[noreturn]] void Fail(const char* file, int line, const char* what);
}

namespace fuzz {
// Names of the files in the directory, sorted.
std::vector<std::string> ListDir();
// Whole contents of a file; empty when it cannot be read.
std::vector<uint8_t> ReadFile(const std::string& path);
// Checks that sector s of `after` equals sector s of `before` for every sector the map marks
// used (every sector without a map), over the first `sectors` sectors both hold.
void CheckUsedSectorsEqual(const UsedSectorMap* map, uint64_t sectors, uint32_t bytesPerSector,
                           const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);
}  // namespace fuzz
