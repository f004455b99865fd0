// Text views, text buffers and the character rules of the seven text encodings.
//
// Text is never owned by a string object: a TextView points at bytes kept by somebody else,
// and a TextBuffer writes into storage supplied by the caller and never grows. The encoding is
// not stored in either; every operation takes a TextEncoding beside the text, and every
// character-level decision goes through the per-encoding tables declared below.
//
// Lengths and offsets are in bytes. Nothing here allocates memory or reports a message.
#pragma once

#include <cstdint>
#include <type_traits>

// ---- Encodings ------------------------------------------------------------
typedef uint32_t TextEncoding;
enum : uint32_t {
    TEXT_ENC_SJIS = 0,     // Shift_JIS, one-byte units
    TEXT_ENC_EUCJP = 1,    // EUC-JP, one-byte units
    TEXT_ENC_UTF8 = 2,     // UTF-8, one-byte units; the engine's working encoding
    TEXT_ENC_UTF16LE = 3,  // two-byte units
    TEXT_ENC_UTF16BE = 4,
    TEXT_ENC_UTF32LE = 5,  // four-byte units
    TEXT_ENC_UTF32BE = 6
};
enum : uint32_t { TEXT_ENC_COUNT = 7 };

// Offset answered when nothing was found.
enum : uint32_t { TEXT_NOT_FOUND = 0xFFFFFFFFu };

// ---- Views and buffers ----------------------------------------------------
// A view never owns its bytes and is copied by value (also through variable argument lists).
struct TextView {
    const uint8_t* data;
    uint32_t length;
};
static_assert(std::is_trivially_copyable<TextView>::value, "TextView travels through varargs");
static_assert(std::is_standard_layout<TextView>::value, "TextView is a plain record");

// A buffer over caller storage. The terminator is never counted in the length; when written it
// lies just after the contents and needs room within the capacity.
struct TextBuffer {
    uint8_t* data;
    uint32_t length;
    uint32_t capacity;
};
static_assert(std::is_trivially_copyable<TextBuffer>::value, "TextBuffer is a plain record");

// ---- Character rules (per-encoding tables) ---------------------------------
// Validating length: whether a whole valid character starts at p within `available` bytes, and
// its byte length; 0 when it is invalid or no bytes are available.
//   Shift_JIS: 00-7F, A1-DF one byte; lead 81-9F/E0-FC + trail 40-7E/80-FC two bytes.
//   EUC-JP:    00-7F; 8E + A1-DF; A1-FE + A1-FE; 8F + A1-FE + A1-FE.
//   UTF-8:     the well-formed sequences of RFC 3629 (no overlongs, no surrogates, <= U+10FFFF).
//   UTF-16:    a non-surrogate unit, or a high surrogate followed by a low one; lone surrogates
//              of either kind are invalid.
//   UTF-32:    a value up to 0x10FFFF that is not a surrogate.
typedef uint32_t (*TextValidateFn)(const uint8_t* p, uint32_t available);
// Lead length from the first unit alone (used on text already known to be valid); 0 for an
// invalid lead.
typedef uint32_t (*TextLeadLengthFn)(const uint8_t* p);
// Compares two characters (each with its byte length): -1, 0 or 1; `fold` maps A-Z to a-z.
typedef int (*TextCompareCharFn)(const uint8_t* a, uint32_t lengthA, const uint8_t* b,
                                 uint32_t lengthB, bool fold);
// Whether a character of exactly one unit is an ASCII digit 0-9, with its value.
typedef bool (*TextDigitFn)(const uint8_t* p, uint32_t length, uint32_t* value);
// Whether a character of exactly one unit is an ASCII letter A-Z or a-z.
typedef bool (*TextLetterFn)(const uint8_t* p, uint32_t length);

// Indexed by TextEncoding 0 to 6.
extern const TextValidateFn Text_ValidateTable[TEXT_ENC_COUNT];
extern const TextLeadLengthFn Text_LeadLengthTable[TEXT_ENC_COUNT];
extern const TextCompareCharFn Text_CompareCharTable[TEXT_ENC_COUNT];
extern const TextDigitFn Text_DigitTable[TEXT_ENC_COUNT];
extern const TextLetterFn Text_LetterTable[TEXT_ENC_COUNT];

// Code unit size: 1, 2 or 4 (also the terminator's size); 0 for an encoding above 6.
uint32_t Text_UnitSize(TextEncoding encoding);

// The validating length through the table: the byte length of the valid character at p within
// `available` bytes, 0 when invalid (or for an encoding above 6). Every reader of possibly
// malformed text, the encoding converters included, decides validity through this one function.
uint32_t Text_ValidCharLength(const void* p, uint32_t available, TextEncoding encoding);

// Lead length through the table, bounded: 0 for an invalid lead, when fewer than one unit is
// available, or when the character would run past `available` bytes.
uint32_t Text_CharLength(const void* p, uint32_t available, TextEncoding encoding);

// Decodes one valid character of a Unicode encoding (UTF-8, UTF-16LE/BE, UTF-32LE/BE) to its
// code point; the same rules as Text_ValidCharLength. False (outputs untouched) when the
// character is invalid or the encoding is not a Unicode one.
bool Text_DecodeUnicode(const void* p, uint32_t available, TextEncoding encoding,
                        uint32_t* codePoint, uint32_t* length);

// Turns a Shift_JIS two-byte character into its JIS X 0208 row and cell by the standard
// arithmetic. False when lead or trail is out of range or the row falls outside 0x21-0x7E
// (leads F0-FC are valid Shift_JIS but have no JIS X 0208 position).
bool Text_SjisToJis(uint8_t lead, uint8_t trail, uint32_t* row, uint32_t* cell);

// Character comparison through the table (see TextCompareCharFn); 0 for an encoding above 6.
int Text_CompareChar(const void* a, uint32_t lengthA, const void* b, uint32_t lengthB, bool fold,
                     TextEncoding encoding);
// Digit and letter tests through the tables.
bool Text_DigitValue(const void* p, uint32_t length, TextEncoding encoding, uint32_t* value);
bool Text_IsAsciiLetter(const void* p, uint32_t length, TextEncoding encoding);

// ---- Views ------------------------------------------------------------------
void Text_InitEmpty(TextView* view);
// View over a terminated string: the length is the offset of the first terminator, which is
// only found on a code-unit boundary. An encoding above 6 gives an empty view.
void Text_FromCString(TextView* view, const void* string, TextEncoding encoding);
void Text_FromCStringUtf8(TextView* view, const char* string);
// View over a NUL-terminated ASCII literal in an encoding: for encodings 0 to 2 the view points
// at the literal; for 3 to 6 each byte is widened into `scratch` (which must hold 4 bytes per
// character) and the view points there. An encoding above 6 leaves the view untouched.
void Text_FromAscii(TextView* view, void* scratch, const char* ascii, TextEncoding encoding);
// Drops n bytes from the front (at most the whole view).
void Text_Advance(TextView* view, uint32_t n);
// head = first n bytes (at most the whole view), tail = the rest; either output may be null.
void Text_SplitAt(TextView view, uint32_t n, TextView* head, TextView* tail);
// All but the last character, and the last character; either output may be null. An empty view
// gives two empty views.
void Text_SplitLastChar(TextView view, TextView* rest, TextView* last, TextEncoding encoding);
// Copies the view and the terminator into dst; false, with nothing copied, when they do not fit.
bool Text_CopyToCString(TextView view, void* dst, uint32_t dstSize, TextEncoding encoding);

// ---- Constant texts -----------------------------------------------------------
// Four zero bytes: the terminator of every encoding.
extern const uint8_t Text_Terminator[4];
// Each accessor answers the constant in the given encoding; an empty view for an encoding
// above 6.
TextView Text_TerminatorView(TextEncoding encoding);      // 1, 2 or 4 zero bytes
TextView Text_BlankSet(TextEncoding encoding);            // " \t"
TextView Text_BackslashView(TextEncoding encoding);       // "\\"
TextView Text_SlashView(TextEncoding encoding);           // "/"
TextView Path_Dot(TextEncoding encoding);                 // "."
TextView Path_DotDot(TextEncoding encoding);              // ".."
TextView Text_ColonView(TextEncoding encoding);           // ":"
TextView Text_StarView(TextEncoding encoding);            // "*"
TextView Text_QuestionView(TextEncoding encoding);        // "?"
TextView Text_LineBreakSet(TextEncoding encoding);        // "\r\n"
TextView Text_CarriageReturnView(TextEncoding encoding);  // "\r"
TextView Text_LineFeedView(TextEncoding encoding);        // "\n"
// The path separators as terminated strings in an encoding; NULL for an encoding above 6.
const uint8_t* Text_BackslashCString(TextEncoding encoding);
const uint8_t* Text_SlashCString(TextEncoding encoding);

// Writes the encoding's terminator (1, 2 or 4 zero bytes) to dst.
void Text_WriteTerminator(void* dst, TextEncoding encoding);
// Whether the bytes at p begin with the encoding's terminator (one unit is read).
bool Text_StartsWithTerminator(const void* p, TextEncoding encoding);

// ---- Buffers --------------------------------------------------------------------
// Every operation that would need more than the capacity answers false and leaves the buffer
// as it was (TextBuffer_Set and TextBuffer_SetPair empty it instead).
void TextBuffer_Init(TextBuffer* buffer, void* storage, uint32_t length, uint32_t capacity);
void TextBuffer_InitEmpty(TextBuffer* buffer);
// View over the contents; answers the length.
uint32_t TextBuffer_View(const TextBuffer* buffer, TextView* view);
bool TextBuffer_Set(TextBuffer* buffer, TextView text);
bool TextBuffer_Append(TextBuffer* buffer, TextView text);
bool TextBuffer_AppendBuffer(TextBuffer* buffer, const TextBuffer* other);
// Appends the first n bytes of a view; false when n exceeds the view or the room.
bool TextBuffer_AppendPrefix(TextBuffer* buffer, TextView text, uint32_t n);
// Appends the first character of a terminated string; false when it is invalid or does not
// fit (an empty string appends nothing and succeeds).
bool TextBuffer_AppendChar(TextBuffer* buffer, const void* string, TextEncoding encoding);
// Appends both views, or neither.
bool TextBuffer_AppendPair(TextBuffer* buffer, TextView first, TextView second);
// Sets the contents to first + second; when they do not fit the buffer is left empty.
bool TextBuffer_SetPair(TextBuffer* buffer, TextView first, TextView second);
// Inserts a view at a byte position, moving the tail up; false when it does not fit or the
// position is beyond the length.
bool TextBuffer_Insert(TextBuffer* buffer, uint32_t position, TextView text);
// Appends one character given as a value below 256 (1, 2 or 4 bytes, the value in the low
// unit byte); false for a value of 256 or more, a bad encoding, or no room.
bool TextBuffer_AppendAsciiChar(TextBuffer* buffer, uint32_t value, TextEncoding encoding);
// Reverses the order of the contents' code units, keeping the bytes of each unit in order.
void TextBuffer_ReverseUnits(TextBuffer* buffer, TextEncoding encoding);
// Writes the terminator after the contents without counting it; false when it does not fit.
bool TextBuffer_Terminate(TextBuffer* buffer, TextEncoding encoding);
bool TextBuffer_TerminateUtf8(TextBuffer* buffer);
// Fills the storage from the length up to the capacity with one byte value.
void TextBuffer_FillSpare(TextBuffer* buffer, uint8_t value);
void TextBuffer_Swap(TextBuffer* a, TextBuffer* b);
// Lays `sub` over the unused tail of `owner` (length 0, capacity = the owner's spare room).
void TextBuffer_BeginSub(const TextBuffer* owner, TextBuffer* sub);
// Adds the sub-buffer's length to the owner's and lays the sub-buffer anew over the owner's
// remaining tail.
void TextBuffer_CommitSub(TextBuffer* owner, TextBuffer* sub);
