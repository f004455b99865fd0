// Conversion of text between the seven text encodings.
//
// Unicode encodings are transformed arithmetically; Shift_JIS and EUC-JP go through the code
// tables of JIS X 0201 (by rule), JIS X 0208 and JIS X 0212 (jis_tables.h). No platform
// conversion service is used and nothing is allocated except by Enc_ConvertAlloc.
//
// Validity follows the character rules of text.h (Text_ValidCharLength): UTF-8 is strict
// RFC 3629, lone surrogates are invalid in UTF-16 and UTF-32 alike, and a character whose bytes
// run past the end of the view is invalid. A Japanese character without a Unicode mapping, and
// a code point without a form in the destination encoding, make the conversion fail.
//
// A conversion is all-or-nothing: when it fails (invalid input, an unmappable character or a
// full buffer, which are not told apart) the buffer's length is as before the call. The count
// measured without a buffer equals the count a large enough buffer receives.
#pragma once

#include <cstdint>

#include "foundation/text.h"

// Answered by Enc_Convert when the conversion failed.
enum : uint32_t { ENC_FAILED = 0xFFFFFFFFu };

// Converts `source` (in `sourceEncoding`) into `destinationEncoding` and appends the result to
// `buffer`; with a NULL buffer it only measures. Answers the number of bytes produced, or
// ENC_FAILED (also for an encoding above 6). The same encoding on both sides is a plain append
// of the view. Shift_JIS and EUC-JP convert into each other directly by JIS row and cell.
uint32_t Enc_Convert(TextView source, TextEncoding sourceEncoding, TextBuffer* buffer,
                     TextEncoding destinationEncoding);

// Enc_Convert with the buffer first; true unless the conversion failed.
bool Enc_ConvertAppend(TextBuffer* buffer, TextEncoding destinationEncoding, TextView source,
                       TextEncoding sourceEncoding);

// Measures, allocates (Mem_Alloc) the byte count plus the destination's terminator, converts
// and terminates. On success *out views the new block (its length excludes the terminator)
// and the caller frees out->data with Mem_Free. On failure or exhausted memory nothing stays
// allocated, *out is set to the empty view and false is answered.
bool Enc_ConvertAlloc(TextView* out, TextEncoding destinationEncoding, TextView source,
                      TextEncoding sourceEncoding);
