// A small printf-like formatter that appends to a TextBuffer in any text encoding.
//
// Text_Format understands, in a format that may itself be in any encoding:
//   %%            one "%"
//   %d %i         signed 32-bit int (with "w": int64_t); width and zero flag are ignored
//   %u %x %X      unsigned 32-bit (with "w": uint64_t), radix 10, 16 lower case or 16 upper
//                 case; an optional width pads on the left with blanks, or with "0" when the
//                 width starts with "0" (as in %08X)
//   %s            two arguments: const void* terminated string, TextEncoding of that string
//   %t            two arguments: a TextView passed by value, TextEncoding of the view
//   %c            one int below 128, appended as that ASCII character
// "w" is the 64-bit length flag: %wd, %wu, %wx, %08wX. The arguments are untyped, so every
// "w" directive MUST be given a 64-bit value (int64_t / uint64_t), and every directive without
// "w" a 32-bit one. Anything else (a precision, "-", "*", %o, %f, %p, "w" twice, "w" before
// s/c/t, a lone "%" at the end, invalid characters in the format) is unsupported.
#pragma once

#include "foundation/text.h"

#include <cstdarg>
#include <cstdint>

// Renders the format, appends the result to `buffer` in `outputEncoding` and writes the
// terminator after it. True when the whole format was rendered and terminated. On any failure
// (unsupported directive, a conversion that fails, a full buffer) the buffer is left exactly as
// it was: its length is unchanged and the bytes just after the contents are restored.
bool Text_Format(TextBuffer* buffer, TextEncoding outputEncoding, const void* format,
                 TextEncoding formatEncoding, ...);
bool Text_FormatArgs(TextBuffer* buffer, TextEncoding outputEncoding, const void* format,
                     TextEncoding formatEncoding, va_list args);

// The narrow second path: hands an 8-bit format to the C library's vsnprintf after rewriting
// each "w" length flag into "ll" (so %wd takes a 64-bit value). Every other directive of the C
// library is passed on as it is, except "%n" and "%t", which are refused. The rewritten format
// must fit into 4096 bytes. Answers the number of characters written into `destination`
// (without the terminator), or -1 when the format could not be rewritten or the result does not
// fit into `destinationSize` bytes including the terminator; on -1 the destination holds an
// empty string (when destinationSize is at least 1). Keeps no state and is reentrant.
int Text_FormatCrt(char* destination, uint32_t destinationSize, const char* format, ...);
