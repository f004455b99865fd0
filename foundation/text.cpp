// Text views, buffers and the per-encoding character rules.
#include "foundation/text.h"

#include <cstddef>
#include <cstring>

namespace {

inline bool InRange(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; }

inline uint32_t Load16(const uint8_t* p, bool bigEndian)
{
    return bigEndian ? (uint32_t(p[0]) << 8) | p[1] : (uint32_t(p[1]) << 8) | p[0];
}

inline uint32_t Load32(const uint8_t* p, bool bigEndian)
{
    return bigEndian
               ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

inline bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// ---- Validating length ----------------------------------------------------------------

uint32_t ValidateSjis(const uint8_t* p, uint32_t available)
{
    if (available == 0) return 0;
    uint8_t b = p[0];
    if (b < 0x80 || InRange(b, 0xA1, 0xDF)) return 1;
    if (InRange(b, 0x81, 0x9F) || InRange(b, 0xE0, 0xFC)) {
        if (available < 2) return 0;
        uint8_t t = p[1];
        return (InRange(t, 0x40, 0x7E) || InRange(t, 0x80, 0xFC)) ? 2 : 0;
    }
    return 0;
}

uint32_t ValidateEucJp(const uint8_t* p, uint32_t available)
{
    if (available == 0) return 0;
    uint8_t b = p[0];
    if (b < 0x80) return 1;
    if (b == 0x8E) return (available >= 2 && InRange(p[1], 0xA1, 0xDF)) ? 2 : 0;
    if (InRange(b, 0xA1, 0xFE)) return (available >= 2 && InRange(p[1], 0xA1, 0xFE)) ? 2 : 0;
    if (b == 0x8F) {
        return (available >= 3 && InRange(p[1], 0xA1, 0xFE) && InRange(p[2], 0xA1, 0xFE)) ? 3 : 0;
    }
    return 0;
}

// RFC 3629 well-formed sequences; answers the length and the code point.
uint32_t DecodeUtf8(const uint8_t* p, uint32_t available, uint32_t* cp)
{
    if (available == 0) return 0;
    uint8_t b = p[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    if (InRange(b, 0xC2, 0xDF)) {
        if (available < 2 || !IsContinuation(p[1])) return 0;
        *cp = (uint32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (InRange(b, 0xE0, 0xEF)) {
        if (available < 3) return 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b == 0xE0)
            lo = 0xA0;  // no overlong forms
        else if (b == 0xED)
            hi = 0x9F;  // no surrogates
        if (!InRange(p[1], lo, hi) || !IsContinuation(p[2])) return 0;
        *cp = (uint32_t(b & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (InRange(b, 0xF0, 0xF4)) {
        if (available < 4) return 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b == 0xF0)
            lo = 0x90;  // no overlong forms
        else if (b == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
        if (!InRange(p[1], lo, hi) || !IsContinuation(p[2]) || !IsContinuation(p[3])) return 0;
        *cp = (uint32_t(b & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
              (uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

uint32_t DecodeUtf16(const uint8_t* p, uint32_t available, bool bigEndian, uint32_t* cp)
{
    if (available < 2) return 0;
    uint32_t u = Load16(p, bigEndian);
    if (InRange(u, 0xDC00, 0xDFFF)) return 0;  // lone low surrogate
    if (!InRange(u, 0xD800, 0xDBFF)) {
        *cp = u;
        return 2;
    }
    if (available < 4) return 0;
    uint32_t lo = Load16(p + 2, bigEndian);
    if (!InRange(lo, 0xDC00, 0xDFFF)) return 0;
    *cp = ((u - 0xD800) << 10) + (lo - 0xDC00) + 0x10000;
    return 4;
}

uint32_t DecodeUtf32(const uint8_t* p, uint32_t available, bool bigEndian, uint32_t* cp)
{
    if (available < 4) return 0;
    uint32_t v = Load32(p, bigEndian);
    if (v > 0x10FFFF || InRange(v, 0xD800, 0xDFFF)) return 0;
    *cp = v;
    return 4;
}

uint32_t ValidateUtf8(const uint8_t* p, uint32_t available)
{
    uint32_t cp;
    return DecodeUtf8(p, available, &cp);
}
uint32_t ValidateUtf16Le(const uint8_t* p, uint32_t available)
{
    uint32_t cp;
    return DecodeUtf16(p, available, false, &cp);
}
uint32_t ValidateUtf16Be(const uint8_t* p, uint32_t available)
{
    uint32_t cp;
    return DecodeUtf16(p, available, true, &cp);
}
uint32_t ValidateUtf32Le(const uint8_t* p, uint32_t available)
{
    uint32_t cp;
    return DecodeUtf32(p, available, false, &cp);
}
uint32_t ValidateUtf32Be(const uint8_t* p, uint32_t available)
{
    uint32_t cp;
    return DecodeUtf32(p, available, true, &cp);
}

// ---- Lead length -------------------------------------------------------------------------

uint32_t LeadSjis(const uint8_t* p)
{
    uint8_t b = p[0];
    if (b < 0x80 || InRange(b, 0xA1, 0xDF)) return 1;
    if (InRange(b, 0x81, 0x9F) || InRange(b, 0xE0, 0xFC)) return 2;
    return 0;
}
uint32_t LeadEucJp(const uint8_t* p)
{
    uint8_t b = p[0];
    if (b < 0x80) return 1;
    if (b == 0x8E || InRange(b, 0xA1, 0xFE)) return 2;
    if (b == 0x8F) return 3;
    return 0;
}
uint32_t LeadUtf8(const uint8_t* p)
{
    uint8_t b = p[0];
    if (b < 0x80) return 1;
    if (InRange(b, 0xC2, 0xDF)) return 2;
    if (InRange(b, 0xE0, 0xEF)) return 3;
    if (InRange(b, 0xF0, 0xF4)) return 4;
    return 0;
}
uint32_t LeadUtf16Le(const uint8_t* p) { return InRange(Load16(p, false), 0xD800, 0xDBFF) ? 4 : 2; }
uint32_t LeadUtf16Be(const uint8_t* p) { return InRange(Load16(p, true), 0xD800, 0xDBFF) ? 4 : 2; }
uint32_t LeadUtf32(const uint8_t*) { return 4; }

// ---- Character comparison ------------------------------------------------------------

inline uint32_t FoldAscii(uint32_t c, bool fold)
{
    return (fold && InRange(c, 'A', 'Z')) ? c + ('a' - 'A') : c;
}

inline int Sign(uint32_t a, uint32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

int CompareBytes(const uint8_t* a, uint32_t lengthA, const uint8_t* b, uint32_t lengthB)
{
    uint32_t n = lengthA < lengthB ? lengthA : lengthB;
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return Sign(lengthA, lengthB);
}

// Shift_JIS and EUC-JP: shorter characters sort first; one-byte characters fold.
int CompareJapanese(const uint8_t* a, uint32_t lengthA, const uint8_t* b, uint32_t lengthB,
                    bool fold)
{
    if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
    if (lengthA == 1) return Sign(FoldAscii(a[0], fold), FoldAscii(b[0], fold));
    return CompareBytes(a, lengthA, b, lengthB);
}

typedef uint32_t (*DecodeFn)(const uint8_t* p, uint32_t available, uint32_t* cp);

uint32_t DecUtf8(const uint8_t* p, uint32_t n, uint32_t* cp) { return DecodeUtf8(p, n, cp); }
uint32_t DecUtf16Le(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    return DecodeUtf16(p, n, false, cp);
}
uint32_t DecUtf16Be(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    return DecodeUtf16(p, n, true, cp);
}
uint32_t DecUtf32Le(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    return DecodeUtf32(p, n, false, cp);
}
uint32_t DecUtf32Be(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    return DecodeUtf32(p, n, true, cp);
}

int CompareUnicode(DecodeFn decode, const uint8_t* a, uint32_t lengthA, const uint8_t* b,
                   uint32_t lengthB, bool fold)
{
    uint32_t ca = 0, cb = 0;
    if (decode(a, lengthA, &ca) != lengthA || decode(b, lengthB, &cb) != lengthB) {
        // Not two whole valid characters: fall back to their bytes.
        return CompareBytes(a, lengthA, b, lengthB);
    }
    return Sign(FoldAscii(ca, fold), FoldAscii(cb, fold));
}

int CmpSjis(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareJapanese(a, la, b, lb, fold);
}
int CmpUtf8(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareUnicode(DecUtf8, a, la, b, lb, fold);
}
int CmpUtf16Le(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareUnicode(DecUtf16Le, a, la, b, lb, fold);
}
int CmpUtf16Be(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareUnicode(DecUtf16Be, a, la, b, lb, fold);
}
int CmpUtf32Le(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareUnicode(DecUtf32Le, a, la, b, lb, fold);
}
int CmpUtf32Be(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, bool fold)
{
    return CompareUnicode(DecUtf32Be, a, la, b, lb, fold);
}

// ---- Digits and letters ------------------------------------------------------------------

// The value of a character that is exactly one code unit, or false.
bool SingleUnit(const uint8_t* p, uint32_t length, uint32_t unit, bool bigEndian, uint32_t* v)
{
    if (length != unit) return false;
    if (unit == 1)
        *v = p[0];
    else if (unit == 2)
        *v = Load16(p, bigEndian);
    else
        *v = Load32(p, bigEndian);
    return true;
}

template <uint32_t Unit, bool BigEndian>
bool DigitOf(const uint8_t* p, uint32_t length, uint32_t* value)
{
    uint32_t v;
    if (!SingleUnit(p, length, Unit, BigEndian, &v) || !InRange(v, '0', '9')) return false;
    *value = v - '0';
    return true;
}

template <uint32_t Unit, bool BigEndian>
bool LetterOf(const uint8_t* p, uint32_t length)
{
    uint32_t v;
    if (!SingleUnit(p, length, Unit, BigEndian, &v)) return false;
    return InRange(v, 'A', 'Z') || InRange(v, 'a', 'z');
}

// ---- Constant texts ------------------------------------------------------------------------

// One constant in the five byte forms: 8-bit, UTF-16LE, UTF-16BE, UTF-32LE, UTF-32BE, each
// followed by a terminator of its unit size.
struct ConstText {
    uint8_t bytes[5][16];
    uint32_t chars;
};

constexpr ConstText Render(const char* s)
{
    ConstText t{};
    uint32_t n = 0;
    while (s[n] != 0) ++n;
    t.chars = n;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        t.bytes[0][i] = c;
        t.bytes[1][i * 2] = c;
        t.bytes[2][i * 2 + 1] = c;
        t.bytes[3][i * 4] = c;
        t.bytes[4][i * 4 + 3] = c;
    }
    return t;
}

constexpr ConstText kBlank = Render(" \t");
constexpr ConstText kBackslash = Render("\\");
constexpr ConstText kSlash = Render("/");
constexpr ConstText kDot = Render(".");
constexpr ConstText kDotDot = Render("..");
constexpr ConstText kColon = Render(":");
constexpr ConstText kStar = Render("*");
constexpr ConstText kQuestion = Render("?");
constexpr ConstText kLineBreak = Render("\r\n");
constexpr ConstText kCr = Render("\r");
constexpr ConstText kLf = Render("\n");

const uint32_t kUnitSize[TEXT_ENC_COUNT] = {1, 1, 1, 2, 2, 4, 4};
const uint32_t kForm[TEXT_ENC_COUNT] = {0, 0, 0, 1, 2, 3, 4};

TextView ConstView(const ConstText& t, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return TextView{nullptr, 0};
    return TextView{t.bytes[kForm[encoding]], t.chars * kUnitSize[encoding]};
}

// Steps over one character, or one unit (at most what remains) when it is malformed.
uint32_t StepLength(const uint8_t* p, uint32_t remaining, TextEncoding encoding)
{
    uint32_t n = Text_ValidateTable[encoding](p, remaining);
    if (n != 0) return n;
    uint32_t unit = kUnitSize[encoding];
    return remaining < unit ? remaining : unit;
}

inline void CopyBytes(uint8_t* dst, const uint8_t* src, uint32_t n)
{
    if (n != 0) std::memmove(dst, src, n);
}

}  // namespace

// ---- Tables ------------------------------------------------------------------------------

const TextValidateFn Text_ValidateTable[TEXT_ENC_COUNT] = {
    ValidateSjis,    ValidateEucJp,   ValidateUtf8,   ValidateUtf16Le,
    ValidateUtf16Be, ValidateUtf32Le, ValidateUtf32Be};
const TextLeadLengthFn Text_LeadLengthTable[TEXT_ENC_COUNT] = {
    LeadSjis, LeadEucJp, LeadUtf8, LeadUtf16Le, LeadUtf16Be, LeadUtf32, LeadUtf32};
const TextCompareCharFn Text_CompareCharTable[TEXT_ENC_COUNT] = {
    CmpSjis, CmpSjis, CmpUtf8, CmpUtf16Le, CmpUtf16Be, CmpUtf32Le, CmpUtf32Be};
const TextDigitFn Text_DigitTable[TEXT_ENC_COUNT] = {
    DigitOf<1, false>, DigitOf<1, false>, DigitOf<1, false>, DigitOf<2, false>,
    DigitOf<2, true>,  DigitOf<4, false>, DigitOf<4, true>};
const TextLetterFn Text_LetterTable[TEXT_ENC_COUNT] = {
    LetterOf<1, false>, LetterOf<1, false>, LetterOf<1, false>, LetterOf<2, false>,
    LetterOf<2, true>,  LetterOf<4, false>, LetterOf<4, true>};

const uint8_t Text_Terminator[4] = {0, 0, 0, 0};

// ---- Character rules -------------------------------------------------------------------

uint32_t Text_UnitSize(TextEncoding encoding)
{
    return encoding < TEXT_ENC_COUNT ? kUnitSize[encoding] : 0;
}

uint32_t Text_ValidCharLength(const void* p, uint32_t available, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT || available == 0) return 0;
    return Text_ValidateTable[encoding](static_cast<const uint8_t*>(p), available);
}

uint32_t Text_CharLength(const void* p, uint32_t available, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT || available < kUnitSize[encoding]) return 0;
    uint32_t n = Text_LeadLengthTable[encoding](static_cast<const uint8_t*>(p));
    return n <= available ? n : 0;
}

bool Text_DecodeUnicode(const void* p, uint32_t available, TextEncoding encoding,
                        uint32_t* codePoint, uint32_t* length)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    uint32_t cp = 0, n = 0;
    switch (encoding) {
    case TEXT_ENC_UTF8:
        n = DecodeUtf8(b, available, &cp);
        break;
    case TEXT_ENC_UTF16LE:
        n = DecodeUtf16(b, available, false, &cp);
        break;
    case TEXT_ENC_UTF16BE:
        n = DecodeUtf16(b, available, true, &cp);
        break;
    case TEXT_ENC_UTF32LE:
        n = DecodeUtf32(b, available, false, &cp);
        break;
    case TEXT_ENC_UTF32BE:
        n = DecodeUtf32(b, available, true, &cp);
        break;
    default:
        return false;
    }
    if (n == 0) return false;
    if (codePoint) *codePoint = cp;
    if (length) *length = n;
    return true;
}

bool Text_SjisToJis(uint8_t lead, uint8_t trail, uint32_t* row, uint32_t* cell)
{
    uint32_t r, c;
    if (InRange(lead, 0x81, 0x9F))
        r = (lead - 0x81u) * 2 + 0x21;
    else if (InRange(lead, 0xE0, 0xEF))
        r = (lead - 0xE0u) * 2 + 0x5F;
    else
        return false;
    if (InRange(trail, 0x40, 0x7E))
        c = trail - 0x1Fu;
    else if (InRange(trail, 0x80, 0x9E))
        c = trail - 0x20u;
    else if (InRange(trail, 0x9F, 0xFC)) {
        c = trail - 0x7Eu;
        r += 1;
    } else {
        return false;
    }
    if (!InRange(r, 0x21, 0x7E) || !InRange(c, 0x21, 0x7E)) return false;
    *row = r;
    *cell = c;
    return true;
}

int Text_CompareChar(const void* a, uint32_t lengthA, const void* b, uint32_t lengthB, bool fold,
                     TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return 0;
    return Text_CompareCharTable[encoding](static_cast<const uint8_t*>(a), lengthA,
                                           static_cast<const uint8_t*>(b), lengthB, fold);
}

bool Text_DigitValue(const void* p, uint32_t length, TextEncoding encoding, uint32_t* value)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    uint32_t v = 0;
    if (!Text_DigitTable[encoding](static_cast<const uint8_t*>(p), length, &v)) return false;
    if (value) *value = v;
    return true;
}

bool Text_IsAsciiLetter(const void* p, uint32_t length, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    return Text_LetterTable[encoding](static_cast<const uint8_t*>(p), length);
}

// ---- Views ----------------------------------------------------------------------------------

void Text_InitEmpty(TextView* view)
{
    view->data = nullptr;
    view->length = 0;
}

void Text_FromCString(TextView* view, const void* string, TextEncoding encoding)
{
    const uint8_t* p = static_cast<const uint8_t*>(string);
    view->data = p;
    view->length = 0;
    if (encoding >= TEXT_ENC_COUNT || p == nullptr) return;
    // Every character of every encoding is made of whole units and no valid multi-unit character
    // contains a zero unit, so stepping unit by unit finds the same terminator as stepping by
    // characters, and cannot be misled past it by a malformed lead.
    uint32_t unit = kUnitSize[encoding];
    uint32_t n = 0;
    while (!Text_StartsWithTerminator(p + n, encoding)) n += unit;
    view->length = n;
}

void Text_FromCStringUtf8(TextView* view, const char* string)
{
    Text_FromCString(view, string, TEXT_ENC_UTF8);
}

void Text_FromAscii(TextView* view, void* scratch, const char* ascii, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return;
    uint32_t n = static_cast<uint32_t>(std::strlen(ascii));
    uint32_t unit = kUnitSize[encoding];
    if (unit == 1) {
        view->data = reinterpret_cast<const uint8_t*>(ascii);
        view->length = n;
        return;
    }
    bool bigEndian = (encoding == TEXT_ENC_UTF16BE || encoding == TEXT_ENC_UTF32BE);
    uint8_t* out = static_cast<uint8_t*>(scratch);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* u = out + i * unit;
        std::memset(u, 0, unit);
        u[bigEndian ? unit - 1 : 0] = static_cast<uint8_t>(ascii[i]);
    }
    view->data = out;
    view->length = n * unit;
}

void Text_Advance(TextView* view, uint32_t n)
{
    if (n > view->length) n = view->length;
    if (n == 0) return;
    view->data += n;
    view->length -= n;
}

void Text_SplitAt(TextView view, uint32_t n, TextView* head, TextView* tail)
{
    if (n > view.length) n = view.length;
    if (head) *head = TextView{view.data, n};
    if (tail) *tail = TextView{n != 0 ? view.data + n : view.data, view.length - n};
}

void Text_SplitLastChar(TextView view, TextView* rest, TextView* last, TextEncoding encoding)
{
    uint32_t lastStart = 0;
    if (encoding < TEXT_ENC_COUNT) {
        uint32_t offset = 0;
        while (offset < view.length) {
            lastStart = offset;
            offset += StepLength(view.data + offset, view.length - offset, encoding);
        }
    }
    Text_SplitAt(view, lastStart, rest, last);
}

bool Text_CopyToCString(TextView view, void* dst, uint32_t dstSize, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    uint32_t unit = kUnitSize[encoding];
    if (dstSize < unit || view.length > dstSize - unit) return false;
    uint8_t* out = static_cast<uint8_t*>(dst);
    CopyBytes(out, view.data, view.length);
    std::memset(out + view.length, 0, unit);
    return true;
}

// ---- Constant texts --------------------------------------------------------------------------

TextView Text_TerminatorView(TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return TextView{nullptr, 0};
    return TextView{Text_Terminator, kUnitSize[encoding]};
}
TextView Text_BlankSet(TextEncoding encoding) { return ConstView(kBlank, encoding); }
TextView Text_BackslashView(TextEncoding encoding) { return ConstView(kBackslash, encoding); }
TextView Text_SlashView(TextEncoding encoding) { return ConstView(kSlash, encoding); }
TextView Path_Dot(TextEncoding encoding) { return ConstView(kDot, encoding); }
TextView Path_DotDot(TextEncoding encoding) { return ConstView(kDotDot, encoding); }
TextView Text_ColonView(TextEncoding encoding) { return ConstView(kColon, encoding); }
TextView Text_StarView(TextEncoding encoding) { return ConstView(kStar, encoding); }
TextView Text_QuestionView(TextEncoding encoding) { return ConstView(kQuestion, encoding); }
TextView Text_LineBreakSet(TextEncoding encoding) { return ConstView(kLineBreak, encoding); }
TextView Text_CarriageReturnView(TextEncoding encoding) { return ConstView(kCr, encoding); }
TextView Text_LineFeedView(TextEncoding encoding) { return ConstView(kLf, encoding); }

const uint8_t* Text_BackslashCString(TextEncoding encoding)
{
    return encoding < TEXT_ENC_COUNT ? kBackslash.bytes[kForm[encoding]] : nullptr;
}
const uint8_t* Text_SlashCString(TextEncoding encoding)
{
    return encoding < TEXT_ENC_COUNT ? kSlash.bytes[kForm[encoding]] : nullptr;
}

void Text_WriteTerminator(void* dst, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return;
    std::memset(dst, 0, kUnitSize[encoding]);
}

bool Text_StartsWithTerminator(const void* p, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    const uint8_t* b = static_cast<const uint8_t*>(p);
    for (uint32_t i = 0; i < kUnitSize[encoding]; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

// ---- Buffers ------------------------------------------------------------------------------

void TextBuffer_Init(TextBuffer* buffer, void* storage, uint32_t length, uint32_t capacity)
{
    buffer->data = static_cast<uint8_t*>(storage);
    buffer->capacity = storage ? capacity : 0;
    buffer->length = length <= buffer->capacity ? length : buffer->capacity;
}

void TextBuffer_InitEmpty(TextBuffer* buffer)
{
    buffer->data = nullptr;
    buffer->length = 0;
    buffer->capacity = 0;
}

uint32_t TextBuffer_View(const TextBuffer* buffer, TextView* view)
{
    view->data = buffer->data;
    view->length = buffer->length;
    return buffer->length;
}

static inline uint32_t Spare(const TextBuffer* buffer) { return buffer->capacity - buffer->length; }

bool TextBuffer_Set(TextBuffer* buffer, TextView text)
{
    if (text.length > buffer->capacity) {
        buffer->length = 0;
        return false;
    }
    CopyBytes(buffer->data, text.data, text.length);
    buffer->length = text.length;
    return true;
}

bool TextBuffer_Append(TextBuffer* buffer, TextView text)
{
    if (text.length > Spare(buffer)) return false;
    CopyBytes(buffer->data + buffer->length, text.data, text.length);
    buffer->length += text.length;
    return true;
}

bool TextBuffer_AppendBuffer(TextBuffer* buffer, const TextBuffer* other)
{
    return TextBuffer_Append(buffer, TextView{other->data, other->length});
}

bool TextBuffer_AppendPrefix(TextBuffer* buffer, TextView text, uint32_t n)
{
    if (n > text.length) return false;
    return TextBuffer_Append(buffer, TextView{text.data, n});
}

bool TextBuffer_AppendChar(TextBuffer* buffer, const void* string, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    TextView s;
    Text_FromCString(&s, string, encoding);
    if (s.length == 0) return true;
    uint32_t n = Text_ValidCharLength(s.data, s.length, encoding);
    if (n == 0) return false;
    return TextBuffer_Append(buffer, TextView{s.data, n});
}

bool TextBuffer_AppendPair(TextBuffer* buffer, TextView first, TextView second)
{
    if (first.length > Spare(buffer) || second.length > Spare(buffer) - first.length) return false;
    TextBuffer_Append(buffer, first);
    TextBuffer_Append(buffer, second);
    return true;
}

bool TextBuffer_SetPair(TextBuffer* buffer, TextView first, TextView second)
{
    if (first.length > buffer->capacity || second.length > buffer->capacity - first.length) {
        buffer->length = 0;
        return false;
    }
    // The first view may overlap the storage; move it into place before the second is added.
    CopyBytes(buffer->data, first.data, first.length);
    buffer->length = first.length;
    return TextBuffer_Append(buffer, second);
}

bool TextBuffer_Insert(TextBuffer* buffer, uint32_t position, TextView text)
{
    if (position > buffer->length || text.length > Spare(buffer)) return false;
    if (text.length == 0) return true;
    uint8_t* at = buffer->data + position;
    CopyBytes(at + text.length, at, buffer->length - position);
    CopyBytes(at, text.data, text.length);
    buffer->length += text.length;
    return true;
}

bool TextBuffer_AppendAsciiChar(TextBuffer* buffer, uint32_t value, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT || value >= 256) return false;
    uint8_t unit[4] = {0, 0, 0, 0};
    uint32_t size = kUnitSize[encoding];
    bool bigEndian = (encoding == TEXT_ENC_UTF16BE || encoding == TEXT_ENC_UTF32BE);
    unit[bigEndian ? size - 1 : 0] = static_cast<uint8_t>(value);
    return TextBuffer_Append(buffer, TextView{unit, size});
}

void TextBuffer_ReverseUnits(TextBuffer* buffer, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT || buffer->length == 0) return;
    uint32_t unit = kUnitSize[encoding];
    uint32_t count = buffer->length / unit;
    uint8_t* p = buffer->data;
    for (uint32_t i = 0, j = count; i + 1 < j; ++i, --j) {
        uint8_t* a = p + i * unit;
        uint8_t* b = p + (j - 1) * unit;
        for (uint32_t k = 0; k < unit; ++k) {
            uint8_t t = a[k];
            a[k] = b[k];
            b[k] = t;
        }
    }
}

bool TextBuffer_Terminate(TextBuffer* buffer, TextEncoding encoding)
{
    if (encoding >= TEXT_ENC_COUNT) return false;
    uint32_t unit = kUnitSize[encoding];
    if (unit > Spare(buffer)) return false;
    std::memset(buffer->data + buffer->length, 0, unit);
    return true;
}

bool TextBuffer_TerminateUtf8(TextBuffer* buffer)
{
    return TextBuffer_Terminate(buffer, TEXT_ENC_UTF8);
}

void TextBuffer_FillSpare(TextBuffer* buffer, uint8_t value)
{
    if (buffer->data == nullptr || Spare(buffer) == 0) return;
    std::memset(buffer->data + buffer->length, value, Spare(buffer));
}

void TextBuffer_Swap(TextBuffer* a, TextBuffer* b)
{
    TextBuffer t = *a;
    *a = *b;
    *b = t;
}

void TextBuffer_BeginSub(const TextBuffer* owner, TextBuffer* sub)
{
    sub->data = owner->data != nullptr ? owner->data + owner->length : nullptr;
    sub->length = 0;
    sub->capacity = owner->data != nullptr ? Spare(owner) : 0;
}

void TextBuffer_CommitSub(TextBuffer* owner, TextBuffer* sub)
{
    uint32_t add = sub->length <= Spare(owner) ? sub->length : Spare(owner);
    owner->length += add;
    TextBuffer_BeginSub(owner, sub);
}
