// Conversion of text between the seven text encodings: one converter per pair of encodings,
// built from a decoder of the source and an encoder of the destination, with direct paths
// between Shift_JIS and EUC-JP and a plain append on the diagonal.
#include "foundation/encoding.h"

#include <cstring>

#include "foundation/jis_tables.h"
#include "foundation/platform.h"

namespace {

inline bool InRange(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; }

// ---- Output -----------------------------------------------------------------------------

// Counts the bytes produced and, when a buffer is given, appends them. The count stays below
// ENC_FAILED so that a success is never mistaken for a failure.
struct Sink {
    TextBuffer* buffer;
    uint32_t count;

    bool Put(const uint8_t* bytes, uint32_t n)
    {
        if (uint64_t(count) + n >= ENC_FAILED) return false;
        if (buffer) {
            if (uint64_t(buffer->length) + n > buffer->capacity) return false;
            if (n) memcpy(buffer->data + buffer->length, bytes, n);
            buffer->length += n;
        }
        count += n;
        return true;
    }
};

// ---- Code tables ------------------------------------------------------------------------

// JIS X 0201 half-width katakana: bytes 0xA1-0xDF are U+FF61-U+FF9F.
const uint32_t kKanaOffset = 0xFEC0;

inline bool IsJisByte(uint32_t v) { return InRange(v, 0x21, 0x7E); }

// Unicode code point of a JIS row and cell; 0 when unmapped or when row or cell lies outside
// 0x21-0x7E (each checked on its own, so that no combination indexes beyond the table).
uint32_t JisToUnicode(const uint16_t* table, uint32_t row, uint32_t cell)
{
    if (!IsJisByte(row) || !IsJisByte(cell)) return 0;
    return table[(row - 0x21) * 94 + (cell - 0x21)];
}

// Row/cell ((row << 8) | cell) of a code point; 0 when unmapped.
uint32_t UnicodeToJis(const uint16_t* const* pages, uint32_t cp)
{
    if (cp > 0xFFFF) return 0;
    const uint16_t* page = pages[cp >> 8];
    if (!page) return 0;
    uint32_t jis = page[cp & 0xFF];
    return (IsJisByte(jis >> 8) && IsJisByte(jis & 0xFF)) ? jis : 0;
}

// The standard Shift_JIS arithmetic from a JIS X 0208 row and cell (both 0x21-0x7E).
void JisToSjis(uint32_t row, uint32_t cell, uint8_t* out)
{
    out[0] = uint8_t(((row + 1) >> 1) + (row <= 0x5E ? 0x70 : 0xB0));
    if (row & 1)
        out[1] = uint8_t(cell + (cell >= 0x60 ? 0x20 : 0x1F));
    else
        out[1] = uint8_t(cell + 0x7E);
}

// ---- Decoders: one character at p (n bytes available) to a code point -------------------
// Each answers the character's byte length, or 0 when it is invalid or has no Unicode form.

typedef uint32_t (*DecodeFn)(const uint8_t* p, uint32_t n, uint32_t* cp);

uint32_t DecodeSjis(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    uint32_t len = Text_ValidCharLength(p, n, TEXT_ENC_SJIS);
    if (len == 1) {
        *cp = p[0] < 0x80 ? p[0] : p[0] + kKanaOffset;  // else 0xA1-0xDF
        return 1;
    }
    uint32_t row, cell;
    if (len != 2 || !Text_SjisToJis(p[0], p[1], &row, &cell)) return 0;
    *cp = JisToUnicode(Jis_X0208ToUnicode, row, cell);
    return *cp ? 2 : 0;
}

uint32_t DecodeEucJp(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    uint32_t len = Text_ValidCharLength(p, n, TEXT_ENC_EUCJP);
    switch (len) {
    case 1:
        *cp = p[0];
        return 1;
    case 2:
        if (p[0] == 0x8E) {
            *cp = p[1] + kKanaOffset;  // 0xA1-0xDF by validation
            return 2;
        }
        *cp = JisToUnicode(Jis_X0208ToUnicode, p[0] - 0x80u, p[1] - 0x80u);
        return *cp ? 2 : 0;
    case 3:
        *cp = JisToUnicode(Jis_X0212ToUnicode, p[1] - 0x80u, p[2] - 0x80u);
        return *cp ? 3 : 0;
    default:
        return 0;
    }
}

template <TextEncoding E>
uint32_t DecodeUnicode(const uint8_t* p, uint32_t n, uint32_t* cp)
{
    uint32_t len = 0;
    return Text_DecodeUnicode(p, n, E, cp, &len) ? len : 0;
}

// ---- Encoders: a code point to at most four bytes; the byte count, or 0 when it has no form --

typedef uint32_t (*EncodeFn)(uint32_t cp, uint8_t* out);

inline bool IsScalar(uint32_t cp) { return cp <= 0x10FFFF && !InRange(cp, 0xD800, 0xDFFF); }

uint32_t EncodeUtf8(uint32_t cp, uint8_t* out)
{
    if (!IsScalar(cp)) return 0;
    if (cp < 0x80) {
        out[0] = uint8_t(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = uint8_t(0xC0 | (cp >> 6));
        out[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = uint8_t(0xE0 | (cp >> 12));
        out[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        out[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = uint8_t(0xF0 | (cp >> 18));
    out[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
    out[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    out[3] = uint8_t(0x80 | (cp & 0x3F));
    return 4;
}

inline void Store16(uint8_t* out, uint32_t unit, bool bigEndian)
{
    out[bigEndian ? 0 : 1] = uint8_t(unit >> 8);
    out[bigEndian ? 1 : 0] = uint8_t(unit);
}

template <bool BigEndian>
uint32_t EncodeUtf16(uint32_t cp, uint8_t* out)
{
    if (!IsScalar(cp)) return 0;
    if (cp < 0x10000) {
        Store16(out, cp, BigEndian);
        return 2;
    }
    cp -= 0x10000;
    Store16(out, 0xD800 + (cp >> 10), BigEndian);
    Store16(out + 2, 0xDC00 + (cp & 0x3FF), BigEndian);
    return 4;
}

template <bool BigEndian>
uint32_t EncodeUtf32(uint32_t cp, uint8_t* out)
{
    if (!IsScalar(cp)) return 0;
    for (int i = 0; i < 4; ++i) out[BigEndian ? 3 - i : i] = uint8_t(cp >> (8 * i));
    return 4;
}

uint32_t EncodeSjis(uint32_t cp, uint8_t* out)
{
    if (cp < 0x80) {
        out[0] = uint8_t(cp);
        return 1;
    }
    if (InRange(cp, 0xFF61, 0xFF9F)) {
        out[0] = uint8_t(cp - kKanaOffset);
        return 1;
    }
    uint32_t jis = UnicodeToJis(Jis_UnicodeToX0208Pages, cp);
    if (!jis) return 0;
    JisToSjis(jis >> 8, jis & 0xFF, out);
    return 2;
}

uint32_t EncodeEucJp(uint32_t cp, uint8_t* out)
{
    if (cp < 0x80) {
        out[0] = uint8_t(cp);
        return 1;
    }
    if (InRange(cp, 0xFF61, 0xFF9F)) {
        out[0] = 0x8E;
        out[1] = uint8_t(cp - kKanaOffset);
        return 2;
    }
    uint32_t jis = UnicodeToJis(Jis_UnicodeToX0208Pages, cp);
    if (jis) {
        out[0] = uint8_t((jis >> 8) | 0x80);
        out[1] = uint8_t((jis & 0xFF) | 0x80);
        return 2;
    }
    jis = UnicodeToJis(Jis_UnicodeToX0212Pages, cp);
    if (!jis) return 0;
    out[0] = 0x8F;
    out[1] = uint8_t((jis >> 8) | 0x80);
    out[2] = uint8_t((jis & 0xFF) | 0x80);
    return 3;
}

// ---- Converters ---------------------------------------------------------------------------

typedef bool (*ConvertFn)(const uint8_t* p, uint32_t n, Sink* sink);

bool PlainAppend(const uint8_t* p, uint32_t n, Sink* sink) { return sink->Put(p, n); }

template <DecodeFn Decode, EncodeFn Encode>
bool ThroughUnicode(const uint8_t* p, uint32_t n, Sink* sink)
{
    while (n) {
        uint32_t cp = 0;
        uint32_t len = Decode(p, n, &cp);
        if (!len) return false;
        uint8_t out[4];
        uint32_t outLen = Encode(cp, out);
        if (!outLen || !sink->Put(out, outLen)) return false;
        p += len;
        n -= len;
    }
    return true;
}

// Shift_JIS to EUC-JP by JIS row and cell, without the Unicode tables.
bool SjisToEucJp(const uint8_t* p, uint32_t n, Sink* sink)
{
    while (n) {
        uint32_t len = Text_ValidCharLength(p, n, TEXT_ENC_SJIS);
        uint8_t out[2];
        uint32_t outLen;
        if (len == 1) {
            if (p[0] < 0x80) {
                out[0] = p[0];
                outLen = 1;
            } else {  // half-width katakana 0xA1-0xDF
                out[0] = 0x8E;
                out[1] = p[0];
                outLen = 2;
            }
        } else {
            uint32_t row, cell;
            if (len != 2 || !Text_SjisToJis(p[0], p[1], &row, &cell)) return false;
            if (!IsJisByte(row) || !IsJisByte(cell)) return false;
            out[0] = uint8_t(row | 0x80);
            out[1] = uint8_t(cell | 0x80);
            outLen = 2;
        }
        if (!sink->Put(out, outLen)) return false;
        p += len;
        n -= len;
    }
    return true;
}

// EUC-JP to Shift_JIS; JIS X 0212 characters have no Shift_JIS form.
bool EucJpToSjis(const uint8_t* p, uint32_t n, Sink* sink)
{
    while (n) {
        uint32_t len = Text_ValidCharLength(p, n, TEXT_ENC_EUCJP);
        uint8_t out[2];
        uint32_t outLen;
        if (len == 1) {
            out[0] = p[0];
            outLen = 1;
        } else if (len == 2 && p[0] == 0x8E) {
            out[0] = p[1];
            outLen = 1;
        } else if (len == 2) {
            uint32_t row = p[0] - 0x80u, cell = p[1] - 0x80u;
            if (!IsJisByte(row) || !IsJisByte(cell)) return false;
            JisToSjis(row, cell, out);
            outLen = 2;
        } else {
            return false;
        }
        if (!sink->Put(out, outLen)) return false;
        p += len;
        n -= len;
    }
    return true;
}

#define ENC_ROW(D)                                                                       \
    {                                                                                    \
        ThroughUnicode<D, EncodeSjis>, ThroughUnicode<D, EncodeEucJp>,                   \
            ThroughUnicode<D, EncodeUtf8>, ThroughUnicode<D, EncodeUtf16<false>>,        \
            ThroughUnicode<D, EncodeUtf16<true>>, ThroughUnicode<D, EncodeUtf32<false>>, \
            ThroughUnicode<D, EncodeUtf32<true>>                                         \
    }

// Indexed [source][destination]; the diagonal and the Shift_JIS/EUC-JP pair are set below.
const ConvertFn kConverters[TEXT_ENC_COUNT][TEXT_ENC_COUNT] = {
    ENC_ROW(DecodeSjis),
    ENC_ROW(DecodeEucJp),
    ENC_ROW(DecodeUnicode<TEXT_ENC_UTF8>),
    ENC_ROW(DecodeUnicode<TEXT_ENC_UTF16LE>),
    ENC_ROW(DecodeUnicode<TEXT_ENC_UTF16BE>),
    ENC_ROW(DecodeUnicode<TEXT_ENC_UTF32LE>),
    ENC_ROW(DecodeUnicode<TEXT_ENC_UTF32BE>),
};

#undef ENC_ROW

ConvertFn Converter(TextEncoding from, TextEncoding to)
{
    if (from == to) return PlainAppend;
    if (from == TEXT_ENC_SJIS && to == TEXT_ENC_EUCJP) return SjisToEucJp;
    if (from == TEXT_ENC_EUCJP && to == TEXT_ENC_SJIS) return EucJpToSjis;
    return kConverters[from][to];
}

}  // namespace

uint32_t Enc_Convert(TextView source, TextEncoding sourceEncoding, TextBuffer* buffer,
                     TextEncoding destinationEncoding)
{
    if (sourceEncoding >= TEXT_ENC_COUNT || destinationEncoding >= TEXT_ENC_COUNT)
        return ENC_FAILED;
    if (source.length && !source.data) return ENC_FAILED;
    Sink sink{buffer, 0};
    uint32_t start = buffer ? buffer->length : 0;
    if (!Converter(sourceEncoding, destinationEncoding)(source.data, source.length, &sink)) {
        if (buffer) buffer->length = start;
        return ENC_FAILED;
    }
    return sink.count;
}

bool Enc_ConvertAppend(TextBuffer* buffer, TextEncoding destinationEncoding, TextView source,
                       TextEncoding sourceEncoding)
{
    return Enc_Convert(source, sourceEncoding, buffer, destinationEncoding) != ENC_FAILED;
}

bool Enc_ConvertAlloc(TextView* out, TextEncoding destinationEncoding, TextView source,
                      TextEncoding sourceEncoding)
{
    Text_InitEmpty(out);
    uint32_t count = Enc_Convert(source, sourceEncoding, nullptr, destinationEncoding);
    if (count == ENC_FAILED) return false;
    uint64_t total = uint64_t(count) + Text_UnitSize(destinationEncoding);
    if (total > 0xFFFFFFFFu) return false;
    uint8_t* block = static_cast<uint8_t*>(Mem_Alloc(uint32_t(total)));
    if (!block) return false;
    TextBuffer buffer;
    TextBuffer_Init(&buffer, block, 0, uint32_t(total));
    if (Enc_Convert(source, sourceEncoding, &buffer, destinationEncoding) != count ||
        !TextBuffer_Terminate(&buffer, destinationEncoding)) {
        Mem_Free(block);
        return false;
    }
    out->data = block;
    out->length = count;
    return true;
}
