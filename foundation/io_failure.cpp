#include "foundation/io_failure.h"

namespace {

thread_local IoFailure g_failure = {IO_FAILURE_NONE, 0, 0, 0};

}  // namespace

void IoFailure_Clear() { g_failure = IoFailure{IO_FAILURE_NONE, 0, 0, 0}; }

IoFailure IoFailure_Get() { return g_failure; }

void IoFailure_RecordFile(int kind, int error) { g_failure = IoFailure{kind, error, 0, 0}; }

void IoFailure_RecordRead(uint64_t offset, uint32_t length)
{
    g_failure = IoFailure{IO_FAILURE_READ, 0, offset, length};
}
