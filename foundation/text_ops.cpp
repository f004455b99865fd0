// Comparison, searching, splitting and numbers on text views in any encoding.
#include "foundation/text_ops.h"

#include <cstring>

namespace {

inline uint32_t Min(uint32_t a, uint32_t b) { return a < b ? a : b; }

// One step through a text: the character at an offset, whether it is valid, and its length
// (one unit, or what remains, for a malformed sequence).
struct Char {
    const uint8_t* p;
    uint32_t length;
    bool valid;
};

inline Char CharAt(TextView text, uint32_t offset, TextEncoding encoding)
{
    Char c;
    c.p = text.data + offset;
    uint32_t remaining = text.length - offset;
    c.length = Text_ValidCharLength(c.p, remaining, encoding);
    c.valid = c.length != 0;
    if (!c.valid) c.length = Min(remaining, Text_UnitSize(encoding));
    return c;
}

inline bool SameChar(const uint8_t* a, uint32_t lengthA, const uint8_t* b, uint32_t lengthB)
{
    return lengthA == lengthB && std::memcmp(a, b, lengthA) == 0;
}

// Whether a valid character equals one of the valid characters of a set.
bool InSet(const Char& c, TextView set, TextEncoding encoding)
{
    if (!c.valid) return false;
    for (uint32_t off = 0; off < set.length;) {
        Char s = CharAt(set, off, encoding);
        if (s.valid && SameChar(c.p, c.length, s.p, s.length)) return true;
        off += s.length;
    }
    return false;
}

inline TextView CView(const void* string, TextEncoding encoding)
{
    TextView v;
    Text_FromCString(&v, string, encoding);
    return v;
}

// The first character of a terminated string as a view (empty when absent or invalid).
TextView FirstCharOf(const void* string, TextEncoding encoding)
{
    TextView s = CView(string, encoding);
    uint32_t n = Text_ValidCharLength(s.data, s.length, encoding);
    return TextView{s.data, n};
}

inline bool Usable(TextEncoding encoding) { return encoding < TEXT_ENC_COUNT; }

// Whether a character is exactly one unit holding an ASCII value.
bool IsAsciiChar(const Char& c, TextEncoding encoding, uint8_t ascii)
{
    uint32_t unit = Text_UnitSize(encoding);
    if (!c.valid || c.length != unit) return false;
    bool bigEndian = (encoding == TEXT_ENC_UTF16BE || encoding == TEXT_ENC_UTF32BE);
    for (uint32_t i = 0; i < unit; ++i) {
        uint8_t expect = (i == (bigEndian ? unit - 1 : 0)) ? ascii : 0;
        if (c.p[i] != expect) return false;
    }
    return true;
}

inline TextView EmptyAt(TextView text, uint32_t offset)
{
    return TextView{offset != 0 ? text.data + offset : text.data, 0};
}

inline TextView Slice(TextView text, uint32_t from, uint32_t to)
{
    return TextView{from != 0 ? text.data + from : text.data, to - from};
}

// Finds the first character for which `match` answers true, unless `stop` answers true first.
template <typename Match, typename Stop>
uint32_t Scan(TextView text, TextEncoding encoding, Match match, Stop stop, uint32_t* stopOffset)
{
    if (stopOffset) *stopOffset = TEXT_NOT_FOUND;
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    for (uint32_t off = 0; off < text.length;) {
        Char c = CharAt(text, off, encoding);
        if (stop(c)) {
            if (stopOffset) *stopOffset = off;
            return TEXT_NOT_FOUND;
        }
        if (match(c)) return off;
        off += c.length;
    }
    return TEXT_NOT_FOUND;
}

const auto kNever = [](const Char&) { return false; };

const char kDigitsLower[] = "0123456789abcdef";
const char kDigitsUpper[] = "0123456789ABCDEF";

// Appends the digits of v least significant first, then padding up to the width.
bool AppendDigitsReversed(TextBuffer* sub, uint64_t v, bool zeroPad, int32_t width, uint32_t radix,
                          bool upperCase, TextEncoding encoding)
{
    const char* digits = upperCase ? kDigitsUpper : kDigitsLower;
    int64_t remaining = width > 0 ? width : 0;
    do {
        if (!TextBuffer_AppendAsciiChar(sub, static_cast<uint8_t>(digits[v % radix]), encoding))
            return false;
        v /= radix;
        if (remaining > 0) --remaining;
    } while (v != 0);
    for (; remaining > 0; --remaining) {
        if (!TextBuffer_AppendAsciiChar(sub, zeroPad ? '0' : ' ', encoding)) return false;
    }
    return true;
}

template <typename T>
bool ParseUnsigned(TextView text, TextEncoding encoding, T* value)
{
    if (!Usable(encoding)) return false;
    TextView t;
    Text_Trim(text, &t, encoding);
    if (t.length == 0) return false;
    const T max = static_cast<T>(~T(0));
    T v = 0;
    for (uint32_t off = 0; off < t.length;) {
        Char c = CharAt(t, off, encoding);
        uint32_t d;
        if (!c.valid || !Text_DigitValue(c.p, c.length, encoding, &d)) return false;
        if (v > (max - d) / 10) return false;
        v = static_cast<T>(v * 10 + d);
        off += c.length;
    }
    *value = v;
    return true;
}

}  // namespace

// ---- Comparison ---------------------------------------------------------------------------

int Text_CompareN(TextView a, TextView b, uint32_t n, bool fold, TextEncoding encoding)
{
    if (!Usable(encoding)) return 0;
    uint32_t endA = Min(a.length, n);
    uint32_t endB = Min(b.length, n);
    bool asBytes = false;
    for (uint32_t off = 0; off < n;) {
        if (off >= a.length) return off >= b.length ? 0 : -1;
        if (off >= b.length) return 1;
        if (!asBytes) {
            uint32_t la = off < endA ? Text_ValidCharLength(a.data + off, endA - off, encoding) : 0;
            uint32_t lb = off < endB ? Text_ValidCharLength(b.data + off, endB - off, encoding) : 0;
            if (la != 0 && lb != 0) {
                int c = Text_CompareChar(a.data + off, la, b.data + off, lb, fold, encoding);
                if (c != 0) return c;
                if (la == lb) {
                    off += la;
                    continue;
                }
            }
            asBytes = true;
        }
        uint8_t x = a.data[off], y = b.data[off];
        if (x != y) return x < y ? -1 : 1;
        ++off;
    }
    return 0;
}

int Text_CompareNUtf8(TextView a, TextView b, uint32_t n, bool fold)
{
    return Text_CompareN(a, b, n, fold, TEXT_ENC_UTF8);
}

int Text_CompareNCString(TextView a, const void* b, uint32_t n, bool fold, TextEncoding encoding)
{
    if (!Usable(encoding)) return 0;
    return Text_CompareN(a, CView(b, encoding), n, fold, encoding);
}

int Text_CompareNCStringUtf8(TextView a, const char* b, uint32_t n, bool fold)
{
    return Text_CompareNCString(a, b, n, fold, TEXT_ENC_UTF8);
}

int Text_Compare(TextView a, TextView b, TextEncoding encoding)
{
    return Text_CompareN(a, b, TEXT_NO_LIMIT, false, encoding);
}

int Text_CompareUtf8(TextView a, TextView b) { return Text_Compare(a, b, TEXT_ENC_UTF8); }

// ---- Searching --------------------------------------------------------------------------------

uint32_t Text_FindCharCString(TextView text, const void* character, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    TextView ch = FirstCharOf(character, encoding);
    return Scan(
        text, encoding,
        [&](const Char& c) { return c.valid && SameChar(c.p, c.length, ch.data, ch.length); },
        kNever, nullptr);
}

uint32_t Text_FindLastCharCString(TextView text, const void* character, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    TextView ch = FirstCharOf(character, encoding);
    uint32_t found = TEXT_NOT_FOUND;
    for (uint32_t off = 0; off < text.length;) {
        Char c = CharAt(text, off, encoding);
        if (c.valid && SameChar(c.p, c.length, ch.data, ch.length)) found = off;
        off += c.length;
    }
    return found;
}

bool Text_FindCharChecked(TextView text, const void* character, TextEncoding encoding,
                          uint32_t* offset)
{
    *offset = TEXT_NOT_FOUND;
    if (!Usable(encoding)) return false;
    TextView ch = FirstCharOf(character, encoding);
    for (uint32_t off = 0; off < text.length;) {
        Char c = CharAt(text, off, encoding);
        if (!c.valid) {
            *offset = off;
            return false;
        }
        if (SameChar(c.p, c.length, ch.data, ch.length)) {
            *offset = off;
            return true;
        }
        off += c.length;
    }
    return true;
}

bool Text_FindCharCheckedUtf8(TextView text, const char* character, uint32_t* offset)
{
    return Text_FindCharChecked(text, character, TEXT_ENC_UTF8, offset);
}

uint32_t Text_FindFirstOf(TextView text, TextView set, TextEncoding encoding)
{
    return Scan(
        text, encoding, [&](const Char& c) { return InSet(c, set, encoding); }, kNever, nullptr);
}

uint32_t Text_FindFirstOfCString(TextView text, const void* set, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    return Text_FindFirstOf(text, CView(set, encoding), encoding);
}

uint32_t Text_FindFirstNotOf(TextView text, TextView set, TextEncoding encoding)
{
    return Scan(
        text, encoding, [&](const Char& c) { return !InSet(c, set, encoding); }, kNever, nullptr);
}

uint32_t Text_FindFirstNotOfCString(TextView text, const void* set, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    return Text_FindFirstNotOf(text, CView(set, encoding), encoding);
}

uint32_t Text_FindLastOf(TextView text, TextView set, bool inSet, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    uint32_t found = TEXT_NOT_FOUND;
    for (uint32_t off = 0; off < text.length;) {
        Char c = CharAt(text, off, encoding);
        if (InSet(c, set, encoding) == inSet) found = off;
        off += c.length;
    }
    return found;
}

uint32_t Text_FindFirstOfUntil(TextView text, TextView set, TextView stop, TextEncoding encoding)
{
    return Text_FindFirstOfUntilAt(text, set, stop, encoding, nullptr);
}

uint32_t Text_FindFirstOfUntilCString(TextView text, const void* set, const void* stop,
                                      TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    return Text_FindFirstOfUntil(text, CView(set, encoding), CView(stop, encoding), encoding);
}

uint32_t Text_FindFirstOfUntilAt(TextView text, TextView set, TextView stop, TextEncoding encoding,
                                 uint32_t* stopOffset)
{
    return Scan(
        text, encoding, [&](const Char& c) { return InSet(c, set, encoding); },
        [&](const Char& c) { return InSet(c, stop, encoding); }, stopOffset);
}

uint32_t Text_FindFirstNotOfUntil(TextView text, TextView set, TextView stop, TextEncoding encoding)
{
    return Scan(
        text, encoding, [&](const Char& c) { return !InSet(c, set, encoding); },
        [&](const Char& c) { return InSet(c, stop, encoding); }, nullptr);
}

uint32_t Text_FindFirstNotOfUntilCString(TextView text, const void* set, const void* stop,
                                         TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    return Text_FindFirstNotOfUntil(text, CView(set, encoding), CView(stop, encoding), encoding);
}

uint32_t Text_FindFirstOfWhileCString(TextView text, const void* set, const void* whileSet,
                                      TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    TextView s = CView(set, encoding);
    TextView w = CView(whileSet, encoding);
    for (uint32_t off = 0; off < text.length;) {
        Char c = CharAt(text, off, encoding);
        if (InSet(c, s, encoding)) return off;
        if (!InSet(c, w, encoding)) return TEXT_NOT_FOUND;
        off += c.length;
    }
    return TEXT_NOT_FOUND;
}

uint32_t Text_FindView(TextView text, TextView pattern, TextEncoding encoding)
{
    if (!Usable(encoding)) return TEXT_NOT_FOUND;
    if (pattern.length == 0) return 0;
    for (uint32_t off = 0; off < text.length && pattern.length <= text.length - off;) {
        if (std::memcmp(text.data + off, pattern.data, pattern.length) == 0) {
            // The match must end on a character boundary of the text.
            uint32_t end = off;
            while (end < off + pattern.length) end += CharAt(text, end, encoding).length;
            if (end == off + pattern.length) return off;
        }
        off += CharAt(text, off, encoding).length;
    }
    return TEXT_NOT_FOUND;
}

bool Text_IsCharInSet(const void* character, uint32_t length, TextView set, TextEncoding encoding)
{
    if (!Usable(encoding) || length == 0) return false;
    Char c{static_cast<const uint8_t*>(character), length,
           Text_ValidCharLength(character, length, encoding) == length};
    return InSet(c, set, encoding);
}

bool Text_IndexInSet(TextView text, TextView set, TextEncoding encoding, uint32_t* index)
{
    if (!Usable(encoding) || text.length == 0) return false;
    Char c = CharAt(text, 0, encoding);
    if (!c.valid) return false;
    uint32_t i = 0;
    for (uint32_t off = 0; off < set.length; ++i) {
        Char s = CharAt(set, off, encoding);
        if (s.valid && SameChar(c.p, c.length, s.p, s.length)) {
            if (index) *index = i;
            return true;
        }
        off += s.length;
    }
    return false;
}

bool Text_StartsWithOneOf(TextView text, TextView set, TextEncoding encoding)
{
    return Text_IndexInSet(text, set, encoding, nullptr);
}

// ---- Splitting and trimming ----------------------------------------------------------------

void Text_Trim(TextView text, TextView* trimmed, TextEncoding encoding)
{
    TextView blanks = Text_BlankSet(encoding);
    uint32_t first = Text_FindFirstNotOf(text, blanks, encoding);
    if (first == TEXT_NOT_FOUND) {
        *trimmed = EmptyAt(text, 0);
        return;
    }
    uint32_t last = Text_FindLastOf(text, blanks, false, encoding);
    uint32_t end = last + CharAt(text, last, encoding).length;
    *trimmed = Slice(text, first, end);
}

bool Text_SplitLine(TextView text, TextView* line, TextView* rest, TextEncoding encoding)
{
    uint32_t at = Text_FindFirstOf(text, Text_LineBreakSet(encoding), encoding);
    if (at == TEXT_NOT_FOUND) {
        *line = text;
        *rest = EmptyAt(text, text.length);
        return false;
    }
    Char brk = CharAt(text, at, encoding);
    uint32_t next = at + brk.length;
    if (IsAsciiChar(brk, encoding, '\r') && next < text.length &&
        IsAsciiChar(CharAt(text, next, encoding), encoding, '\n')) {
        next += brk.length;
    }
    *line = Slice(text, 0, at);
    *rest = Slice(text, next, text.length);
    return rest->length != 0;
}

bool Text_NextToken(TextView text, TextView* token, TextView* rest, bool* atEnd,
                    TextEncoding encoding)
{
    if (!Usable(encoding)) return false;
    TextView blanks = Text_BlankSet(encoding);
    uint32_t start = Text_FindFirstNotOf(text, blanks, encoding);
    if (start == TEXT_NOT_FOUND) {
        *token = EmptyAt(text, text.length);
        *rest = *token;
        *atEnd = true;
        return true;
    }
    Char first = CharAt(text, start, encoding);
    if (IsAsciiChar(first, encoding, '"')) {
        uint32_t open = start + first.length;
        uint32_t close = TEXT_NOT_FOUND;
        for (uint32_t off = open; off < text.length;) {
            Char c = CharAt(text, off, encoding);
            if (IsAsciiChar(c, encoding, '"')) {
                close = off;
                break;
            }
            off += c.length;
        }
        if (close == TEXT_NOT_FOUND) return false;
        *token = Slice(text, open, close);
        *rest = Slice(text, close + first.length, text.length);
    } else {
        uint32_t end = start;
        while (end < text.length) {
            Char c = CharAt(text, end, encoding);
            if (InSet(c, blanks, encoding)) break;
            if (IsAsciiChar(c, encoding, '"')) return false;
            end += c.length;
        }
        *token = Slice(text, start, end);
        *rest = Slice(text, end, text.length);
    }
    *atEnd = false;
    return true;
}

bool Text_NextTokenUtf8(TextView text, TextView* token, TextView* rest, bool* atEnd)
{
    return Text_NextToken(text, token, rest, atEnd, TEXT_ENC_UTF8);
}

// ---- Numbers ----------------------------------------------------------------------------------

bool Num_ParseU32(TextView text, TextEncoding encoding, uint32_t* value)
{
    return ParseUnsigned<uint32_t>(text, encoding, value);
}

bool Num_ParseU32Utf8(TextView text, uint32_t* value)
{
    return Num_ParseU32(text, TEXT_ENC_UTF8, value);
}

bool Num_ParseU64(TextView text, TextEncoding encoding, uint64_t* value)
{
    return ParseUnsigned<uint64_t>(text, encoding, value);
}

bool Num_ParseU64Utf8(TextView text, uint64_t* value)
{
    return Num_ParseU64(text, TEXT_ENC_UTF8, value);
}

bool Num_AppendU64(TextBuffer* buffer, uint64_t value, bool zeroPad, int32_t width, uint32_t radix,
                   bool upperCase, TextEncoding encoding)
{
    if (!Usable(encoding) || (radix != 10 && radix != 16)) return false;
    TextBuffer sub;
    TextBuffer_BeginSub(buffer, &sub);
    if (!AppendDigitsReversed(&sub, value, zeroPad, width, radix, upperCase, encoding))
        return false;
    TextBuffer_ReverseUnits(&sub, encoding);
    TextBuffer_CommitSub(buffer, &sub);
    return true;
}

bool Num_AppendU32(TextBuffer* buffer, uint32_t value, bool zeroPad, int32_t width, uint32_t radix,
                   bool upperCase, TextEncoding encoding)
{
    return Num_AppendU64(buffer, value, zeroPad, width, radix, upperCase, encoding);
}

bool Num_AppendI64(TextBuffer* buffer, int64_t value, TextEncoding encoding)
{
    if (!Usable(encoding)) return false;
    // The magnitude is taken in unsigned arithmetic so that the most negative value has one.
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    TextBuffer sub;
    TextBuffer_BeginSub(buffer, &sub);
    if (!AppendDigitsReversed(&sub, magnitude, false, -1, 10, false, encoding)) return false;
    if (value < 0 && !TextBuffer_AppendAsciiChar(&sub, '-', encoding)) return false;
    TextBuffer_ReverseUnits(&sub, encoding);
    TextBuffer_CommitSub(buffer, &sub);
    return true;
}

bool Num_AppendI32(TextBuffer* buffer, int32_t value, TextEncoding encoding)
{
    return Num_AppendI64(buffer, value, encoding);
}

uint32_t Num_FormatU32(uint32_t value, TextBuffer* buffer, TextEncoding encoding)
{
    if (!Usable(encoding)) return 0xFFFFFFFFu;
    uint32_t digits = 1;
    for (uint32_t v = value; v >= 10; v /= 10) ++digits;
    uint32_t bytes = digits * Text_UnitSize(encoding);
    if (buffer == nullptr) return bytes;
    if (bytes > buffer->capacity) return 0xFFFFFFFFu;
    TextBuffer whole;
    TextBuffer_Init(&whole, buffer->data, 0, buffer->capacity);
    if (!Num_AppendU32(&whole, value, false, -1, 10, false, encoding)) return 0xFFFFFFFFu;
    buffer->length = whole.length;
    return bytes;
}
