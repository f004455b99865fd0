// Why a long operation failed, in words: the cause a failed run or in-place operation leaves
// (a file that could not be created or written, a source sector that could not be read) and
// the line the result box shows for it, and the message of a success with an in-place note.
#pragma once

#include <fx.h>

#include <cstdint>

#include "foundation/io_failure.h"

enum : int {
    RUN_CAUSE_NONE = 0,      // nothing known beyond the result code
    RUN_CAUSE_CREATE = 1,    // a destination file could not be created (error)
    RUN_CAUSE_WRITE = 2,     // the destination could not be written (error)
    RUN_CAUSE_READ = 3,      // the source could not be read at `sector`
    RUN_CAUSE_NO_THREAD = 4  // the run's thread could not be started
};
struct RunCause {
    int kind;
    int error;           // errno of the failed call (0 unknown)
    uint64_t sector;     // RUN_CAUSE_READ: the first sector that cannot be read
    bool folderMissing;  // RUN_CAUSE_CREATE: the destination's folder does not exist
    RunCause() : kind(RUN_CAUSE_NONE), error(0), sector(0), folderMissing(false) {}
};
// The line shown under the failure message for a cause; empty for RUN_CAUSE_NONE.
FXString RunCause_Text(const RunCause& cause);
// The cause a failed in-place job of this thread left in its failure record (a trim or an image
// utility, whose source is the image itself): read failures give the first sector of the range.
RunCause RunCause_OfIoFailure(const IoFailure& failure, uint32_t bytesPerSector);

// The message that reports a success with an in-place note (IN_PLACE_NOTE_*), or -1 for none.
int RunCause_NoteMessage(int note);
