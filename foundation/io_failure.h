// The cause of the last failed file or disk operation of the calling thread: which operation
// failed, the system's error number, and for a disk read the byte range asked for. A job that
// runs on a thread of its own clears the record before it starts and reads it after a failure,
// to tell the user why the job failed. Each thread has its own record.
#pragma once

#include <cstdint>

enum : int {
    IO_FAILURE_NONE = 0,
    IO_FAILURE_CREATE = 1,  // a file could not be created
    IO_FAILURE_WRITE = 2,   // data could not be written to a file (or flushed, or cut to size)
    IO_FAILURE_READ = 3     // a disk read failed (offset and length hold its range)
};

struct IoFailure {
    int kind;
    int error;        // errno of the failed call; 0 when the call set none (a short read)
    uint64_t offset;  // IO_FAILURE_READ: byte offset of the read
    uint32_t length;  // IO_FAILURE_READ: byte length of the read
};

void IoFailure_Clear();
IoFailure IoFailure_Get();
// Records a failed create or write with its error number. A later failure replaces it.
void IoFailure_RecordFile(int kind, int error);
// Records a failed disk read of `length` bytes at `offset`. Reads nest (a view reads the disk
// it wraps): the outermost read returns last and so its range is the one kept.
void IoFailure_RecordRead(uint64_t offset, uint32_t length);
