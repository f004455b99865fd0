// Character-level operations on text views: comparison with optional ASCII case folding,
// searching for characters, sets and sub-texts, trimming, splitting into lines and tokens, and
// decimal and hexadecimal numbers in both directions.
//
// Every operation takes the encoding of its text and works in whole characters; offsets and
// lengths are in bytes, and TEXT_NOT_FOUND (0xFFFFFFFF) means that nothing was found. A
// malformed sequence counts as a one-unit character that equals no character of a set.
// Functions ending in Utf8 fix TEXT_ENC_UTF8; those ending in CString take their character or
// set as a terminated string in the same encoding.
#pragma once

#include <cstdint>

#include "foundation/text.h"

// Limit that means "no limit" for Text_CompareN.
enum : uint32_t { TEXT_NO_LIMIT = 0xFFFFFFFFu };

// ---- Comparison -------------------------------------------------------------
// Compares at most the first n bytes of a and b character by character (fold: A-Z as a-z);
// from the first invalid character on, the rest is compared as unsigned bytes. -1, 0 or 1.
int Text_CompareN(TextView a, TextView b, uint32_t n, bool fold, TextEncoding encoding);
int Text_CompareNUtf8(TextView a, TextView b, uint32_t n, bool fold);
int Text_CompareNCString(TextView a, const void* b, uint32_t n, bool fold, TextEncoding encoding);
int Text_CompareNCStringUtf8(TextView a, const char* b, uint32_t n, bool fold);
// Whole-text comparison without limit and without folding.
int Text_Compare(TextView a, TextView b, TextEncoding encoding);
int Text_CompareUtf8(TextView a, TextView b);

// ---- Searching (byte offsets from the start of the view, or TEXT_NOT_FOUND) -----------
// First / last character equal to the first character of a terminated string.
uint32_t Text_FindCharCString(TextView text, const void* character, TextEncoding encoding);
uint32_t Text_FindLastCharCString(TextView text, const void* character, TextEncoding encoding);
// Like Text_FindCharCString, validating every character passed: false with *offset at the first
// invalid sequence, or true with *offset at the character (TEXT_NOT_FOUND when absent).
bool Text_FindCharChecked(TextView text, const void* character, TextEncoding encoding,
                          uint32_t* offset);
bool Text_FindCharCheckedUtf8(TextView text, const char* character, uint32_t* offset);
// First character that belongs / does not belong to a set (a view of characters).
uint32_t Text_FindFirstOf(TextView text, TextView set, TextEncoding encoding);
uint32_t Text_FindFirstOfCString(TextView text, const void* set, TextEncoding encoding);
uint32_t Text_FindFirstNotOf(TextView text, TextView set, TextEncoding encoding);
uint32_t Text_FindFirstNotOfCString(TextView text, const void* set, TextEncoding encoding);
// Last character that belongs (inSet true) or does not belong (inSet false) to a set.
uint32_t Text_FindLastOf(TextView text, TextView set, bool inSet, TextEncoding encoding);
// First character of a set, unless a character of the stop set comes first.
uint32_t Text_FindFirstOfUntil(TextView text, TextView set, TextView stop, TextEncoding encoding);
uint32_t Text_FindFirstOfUntilCString(TextView text, const void* set, const void* stop,
                                      TextEncoding encoding);
// The same; *stopOffset receives the offset of the stopping character (TEXT_NOT_FOUND when the
// scan was not stopped).
uint32_t Text_FindFirstOfUntilAt(TextView text, TextView set, TextView stop, TextEncoding encoding,
                                 uint32_t* stopOffset);
// First character outside a set, unless a character of the stop set comes first.
uint32_t Text_FindFirstNotOfUntil(TextView text, TextView set, TextView stop,
                                  TextEncoding encoding);
uint32_t Text_FindFirstNotOfUntilCString(TextView text, const void* set, const void* stop,
                                         TextEncoding encoding);
// First character of a set, unless a character outside the second set comes first.
uint32_t Text_FindFirstOfWhileCString(TextView text, const void* set, const void* whileSet,
                                      TextEncoding encoding);
// First occurrence of a whole view, compared character by character; an empty pattern is found
// at offset 0.
uint32_t Text_FindView(TextView text, TextView pattern, TextEncoding encoding);
// Whether one character (pointer and byte length) equals a character of a set.
bool Text_IsCharInSet(const void* character, uint32_t length, TextView set, TextEncoding encoding);
// Whether the first character of a view belongs to a set, and its index (in characters) in the
// set; *index is written only on success and may be null.
bool Text_IndexInSet(TextView text, TextView set, TextEncoding encoding, uint32_t* index);
bool Text_StartsWithOneOf(TextView text, TextView set, TextEncoding encoding);

// ---- Splitting and trimming -----------------------------------------------------
// The view without leading and trailing blanks and tabs; an all-blank view gives an empty view
// at its start.
void Text_Trim(TextView text, TextView* trimmed, TextEncoding encoding);
// Cuts at the first CR or LF (CR LF is one break). Without a break the line is the whole view
// and the rest an empty view at its end. True only when a break was found and text follows it.
bool Text_SplitLine(TextView text, TextView* line, TextView* rest, TextEncoding encoding);
// Next blank-separated token; a token starting with a double quote runs to the next double
// quote (quotes excluded). At the end of the text: empty token, *atEnd true, answer true.
// False for an unclosed quote or a quote inside an unquoted token.
bool Text_NextToken(TextView text, TextView* token, TextView* rest, bool* atEnd,
                    TextEncoding encoding);
bool Text_NextTokenUtf8(TextView text, TextView* token, TextView* rest, bool* atEnd);

// ---- Numbers --------------------------------------------------------------------------
// The trimmed view must be one or more ASCII digits; false on anything else or on overflow,
// with *value untouched.
bool Num_ParseU32(TextView text, TextEncoding encoding, uint32_t* value);
bool Num_ParseU32Utf8(TextView text, uint32_t* value);
bool Num_ParseU64(TextView text, TextEncoding encoding, uint64_t* value);
bool Num_ParseU64Utf8(TextView text, uint64_t* value);
// Appends the digits in radix 10 or 16 (upper or lower case), padded on the left to `width`
// characters (-1: none) with "0" when zeroPad is set, else with blanks. False, with the buffer
// unchanged, when it is full or the radix is not 10 or 16.
bool Num_AppendU32(TextBuffer* buffer, uint32_t value, bool zeroPad, int32_t width, uint32_t radix,
                   bool upperCase, TextEncoding encoding);
bool Num_AppendU64(TextBuffer* buffer, uint64_t value, bool zeroPad, int32_t width, uint32_t radix,
                   bool upperCase, TextEncoding encoding);
// Decimal with a leading "-" for negative values; all-or-nothing.
bool Num_AppendI32(TextBuffer* buffer, int32_t value, TextEncoding encoding);
bool Num_AppendI64(TextBuffer* buffer, int64_t value, TextEncoding encoding);
// Writes the decimal digits from the start of the buffer and sets its length; answers the byte
// count, or 0xFFFFFFFF when they do not fit (buffer unchanged). With no buffer it only counts.
uint32_t Num_FormatU32(uint32_t value, TextBuffer* buffer, TextEncoding encoding);
