#include "foundation/refusal.h"

namespace {

thread_local const char* g_reason = nullptr;

}  // namespace

int Refusal_Record(const char* reason)
{
    g_reason = reason;
    return DISK_ERR_FORMAT;
}

int Refusal_RecordAs(int code, const char* reason)
{
    g_reason = reason;
    return code;
}

void Refusal_Clear() { g_reason = nullptr; }

const char* Refusal_Get() { return g_reason; }
