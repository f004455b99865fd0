// Which check refused an image. Every check that finds an image's bytes wrong (a signature, a
// checksum, a size, a table entry out of range) answers DISK_ERR_FORMAT through Refusal_Record,
// which also keeps the check's reason for the calling thread: tests assert the check that fired,
// and the program shows the reason under its "damaged image" message.
//
// The reason is a constant text of a few words, in the form "<record>: <what is wrong>", for
// example "VHD footer: checksum does not match". The last refusal is kept: a check deep in a
// chain of parents records first and the callers above it only pass the code on, and a refusal
// that a caller recovers from (a second header tried after the first) is replaced by the next
// real one. Callers that pass DISK_ERR_FORMAT on do not record again. Each thread has its own
// record; a caller that reads it clears it before the operation.
#pragma once

#include "foundation/result_codes.h"

// Records the reason (a string literal or other text that lives for the whole program) and
// returns DISK_ERR_FORMAT, so that a check reads `return Refusal_Record("...");`.
int Refusal_Record(const char* reason);
// The same for a check that answers another code (a file system's DISK_ERR_FS_CORRUPT): records
// the reason and returns `code`.
int Refusal_RecordAs(int code, const char* reason);
// Forgets the recorded reason.
void Refusal_Clear();
// The reason of the last refusal since Refusal_Clear, or nullptr when there was none.
const char* Refusal_Get();
