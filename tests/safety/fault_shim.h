// Fault injection for the test programs of this folder. They are linked with
// -Wl,--wrap=<function> for the C library's write, sync, rename, link and open functions (see
// tests/CMakeLists.txt), so that every such call of the engine goes through a wrapper here.
// Inert until armed: then the wrappers count the calls of the armed kinds and act on the Nth
// one, either failing it (as a full disk, a failing device or a refused rename would) or
// killing the process with SIGKILL just before it.
#pragma once

#include <cstdint>

namespace faultshim {

enum Kind : unsigned {
    kWrite = 1,   // fwrite, fputs, fputc, fflush, fclose (its flush), write, pwrite,
                  // ftruncate, posix_fallocate
    kSync = 2,    // fsync, fdatasync
    kRename = 4,  // rename, renameat, renameat2
    kLink = 8,    // link, linkat
    kAll = 15,    // the kinds above; opens are counted only when asked for
    kOpen = 16    // open, open64, fopen64
};

enum Action { kFail, kKill };

// Starts counting the calls of the kinds in `mask`; call number `at` (1-based) fails with
// `error` or kills the process. at = 0 only counts.
void Arm(unsigned mask, uint64_t at, Action action = kFail, int error = 0);
// Stops counting; answers the number of calls counted.
uint64_t Disarm();
// Whether the armed call was reached.
bool Fired();
// Text of a kind mask for messages.
const char* KindName(unsigned mask);

}  // namespace faultshim
