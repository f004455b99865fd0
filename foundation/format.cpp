// The text formatter and its narrow C-library path.
#include "foundation/format.h"

#include "foundation/encoding.h"
#include "foundation/text_ops.h"

#include <cstdio>
#include <cstring>

namespace {

const uint32_t kNotAscii = 0xFFFFFFFFu;

// The value of a character that is exactly one code unit holding an ASCII value (below 128),
// or kNotAscii.
uint32_t AsciiValue(const uint8_t* p, uint32_t length, TextEncoding encoding)
{
    uint32_t value;
    switch (encoding) {
    case TEXT_ENC_SJIS:
    case TEXT_ENC_EUCJP:
    case TEXT_ENC_UTF8:
        if (length != 1) return kNotAscii;
        value = p[0];
        break;
    case TEXT_ENC_UTF16LE:
        if (length != 2) return kNotAscii;
        value = (uint32_t)p[0] | ((uint32_t)p[1] << 8);
        break;
    case TEXT_ENC_UTF16BE:
        if (length != 2) return kNotAscii;
        value = ((uint32_t)p[0] << 8) | (uint32_t)p[1];
        break;
    case TEXT_ENC_UTF32LE:
        if (length != 4) return kNotAscii;
        value = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                ((uint32_t)p[3] << 24);
        break;
    case TEXT_ENC_UTF32BE:
        if (length != 4) return kNotAscii;
        value = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) |
                (uint32_t)p[3];
        break;
    default:
        return kNotAscii;
    }
    return value < 128 ? value : kNotAscii;
}

// Every conversion character the directive syntax recognises; only some are supported.
bool IsConversionChar(uint32_t c)
{
    return c != kNotAscii && c != 0 && std::strchr("dicCouxXeEfFgGaAsSpwt", (int)c) != nullptr;
}

// Walks a format in its own encoding one valid character at a time.
struct FormatCursor {
    const uint8_t* data;
    uint32_t length;
    uint32_t pos;
    TextEncoding encoding;

    bool AtEnd() const { return pos >= length; }
    // Length of the character at pos (0 when it is invalid) and its ASCII value.
    uint32_t Peek(uint32_t* ascii) const
    {
        uint32_t n = Text_ValidCharLength(data + pos, length - pos, encoding);
        *ascii = n != 0 ? AsciiValue(data + pos, n, encoding) : kNotAscii;
        return n;
    }
};

bool AppendConverted(TextBuffer* out, TextEncoding outputEncoding, const uint8_t* p,
                     uint32_t length, TextEncoding sourceEncoding)
{
    if (length == 0) return true;
    TextView view;
    view.data = p;
    view.length = length;
    return Enc_ConvertAppend(out, outputEncoding, view, sourceEncoding);
}

// Renders the whole format into `out` (a sub-buffer) and terminates it.
bool Render(TextBuffer* out, TextEncoding outputEncoding, const void* format,
            TextEncoding formatEncoding, va_list args)
{
    FormatCursor cur;
    TextView formatView;
    Text_FromCString(&formatView, format, formatEncoding);
    cur.data = formatView.data;
    cur.length = formatView.length;
    cur.pos = 0;
    cur.encoding = formatEncoding;

    uint32_t literalStart = 0;
    while (!cur.AtEnd()) {
        uint32_t ascii;
        uint32_t n = cur.Peek(&ascii);
        if (n == 0) return false;
        if (ascii != '%') {
            cur.pos += n;
            continue;
        }
        if (!AppendConverted(out, outputEncoding, cur.data + literalStart, cur.pos - literalStart,
                             formatEncoding))
            return false;
        cur.pos += n;
        if (cur.AtEnd()) return false;  // a lone "%" at the end

        n = cur.Peek(&ascii);
        if (n == 0) return false;
        if (ascii == '%') {
            if (!TextBuffer_AppendAsciiChar(out, '%', outputEncoding)) return false;
            cur.pos += n;
            literalStart = cur.pos;
            continue;
        }

        // The directive: an optional "0" and a decimal width, up to the conversion.
        const uint32_t specStart = cur.pos;
        for (;;) {
            if (cur.AtEnd()) return false;
            n = cur.Peek(&ascii);
            if (n == 0) return false;
            if (IsConversionChar(ascii)) break;
            if (ascii < '0' || ascii > '9') return false;  // "-", ".", "*", "l", ...
            cur.pos += n;
        }
        bool zeroPad = false;
        int32_t width = -1;
        if (cur.pos > specStart) {
            TextView spec;
            spec.data = cur.data + specStart;
            spec.length = cur.pos - specStart;
            uint32_t first;
            uint32_t firstLength = Text_ValidCharLength(spec.data, spec.length, formatEncoding);
            if (firstLength == 0) return false;
            first = AsciiValue(spec.data, firstLength, formatEncoding);
            if (first == '0') {
                zeroPad = true;
                Text_Advance(&spec, firstLength);
                if (spec.length == 0) return false;  // "0" alone
            }
            uint32_t value = 0;
            if (!Num_ParseU32(spec, formatEncoding, &value) || value > 0x7FFFFFFFu) return false;
            width = (int32_t)value;
        }

        // The conversion, with the optional 64-bit flag "w" before it.
        n = cur.Peek(&ascii);
        cur.pos += n;
        bool wide = false;
        if (ascii == 'w') {
            wide = true;
            if (cur.AtEnd()) return false;
            n = cur.Peek(&ascii);
            if (n == 0) return false;
            cur.pos += n;
        }

        bool ok;
        switch (ascii) {
        case 'd':
        case 'i':
            if (wide)
                ok = Num_AppendI64(out, va_arg(args, int64_t), outputEncoding);
            else
                ok = Num_AppendI32(out, va_arg(args, int32_t), outputEncoding);
            break;
        case 'u':
        case 'x':
        case 'X': {
            const uint32_t radix = ascii == 'u' ? 10 : 16;
            const bool upper = ascii == 'X';
            if (wide)
                ok = Num_AppendU64(out, va_arg(args, uint64_t), zeroPad, width, radix, upper,
                                   outputEncoding);
            else
                ok = Num_AppendU32(out, va_arg(args, uint32_t), zeroPad, width, radix, upper,
                                   outputEncoding);
            break;
        }
        case 's': {
            if (wide) return false;
            const void* string = va_arg(args, const void*);
            TextEncoding encoding = va_arg(args, TextEncoding);
            if (string == nullptr || encoding >= TEXT_ENC_COUNT) return false;
            TextView view;
            Text_FromCString(&view, string, encoding);
            ok = AppendConverted(out, outputEncoding, view.data, view.length, encoding);
            break;
        }
        case 't': {
            if (wide) return false;
            TextView view = va_arg(args, TextView);
            TextEncoding encoding = va_arg(args, TextEncoding);
            if (encoding >= TEXT_ENC_COUNT || (view.length != 0 && view.data == nullptr))
                return false;
            ok = AppendConverted(out, outputEncoding, view.data, view.length, encoding);
            break;
        }
        case 'c': {
            if (wide) return false;
            int c = va_arg(args, int);
            ok = c >= 0 && c < 128 && TextBuffer_AppendAsciiChar(out, (uint32_t)c, outputEncoding);
            break;
        }
        default:
            return false;  // o, e, f, g, a, C, S, p, "w" twice, or no conversion after "w"
        }
        if (!ok) return false;
        literalStart = cur.pos;
    }
    if (!AppendConverted(out, outputEncoding, cur.data + literalStart, cur.pos - literalStart,
                         formatEncoding))
        return false;
    return TextBuffer_Terminate(out, outputEncoding);
}

}  // namespace

bool Text_FormatArgs(TextBuffer* buffer, TextEncoding outputEncoding, const void* format,
                     TextEncoding formatEncoding, va_list args)
{
    if (buffer == nullptr || format == nullptr || outputEncoding >= TEXT_ENC_COUNT ||
        formatEncoding >= TEXT_ENC_COUNT)
        return false;

    // Text is built in the spare room behind the contents and committed only when the whole
    // format rendered; the bytes it may overwrite there (a terminator) are put back on failure.
    uint8_t saved[4];
    uint32_t spare = buffer->capacity > buffer->length ? buffer->capacity - buffer->length : 0;
    uint32_t savedLength = spare < sizeof saved ? spare : (uint32_t)sizeof saved;
    if (savedLength != 0) std::memcpy(saved, buffer->data + buffer->length, savedLength);

    TextBuffer sub;
    TextBuffer_BeginSub(buffer, &sub);
    va_list copy;
    va_copy(copy, args);
    bool ok = Render(&sub, outputEncoding, format, formatEncoding, copy);
    va_end(copy);
    if (ok) {
        TextBuffer_CommitSub(buffer, &sub);
        return true;
    }
    if (savedLength != 0) std::memcpy(buffer->data + buffer->length, saved, savedLength);
    return false;
}

bool Text_Format(TextBuffer* buffer, TextEncoding outputEncoding, const void* format,
                 TextEncoding formatEncoding, ...)
{
    va_list args;
    va_start(args, formatEncoding);
    bool ok = Text_FormatArgs(buffer, outputEncoding, format, formatEncoding, args);
    va_end(args);
    return ok;
}

int Text_FormatCrt(char* destination, uint32_t destinationSize, const char* format, ...)
{
    if (destination == nullptr || destinationSize == 0) return -1;
    destination[0] = '\0';
    if (format == nullptr) return -1;

    // Rewrite "w" into "ll" and refuse what the C library should never see.
    char rewritten[4096];
    uint32_t out = 0;
    auto put = [&](char c) {
        if (out + 1 >= sizeof rewritten) return false;  // keep room for the terminator
        rewritten[out++] = c;
        return true;
    };
    for (const char* p = format; *p != '\0'; ++p) {
        if (!put(*p)) return -1;
        if (*p != '%') continue;
        ++p;
        if (*p == '%') {
            if (!put('%')) return -1;
            continue;
        }
        bool sawW = false;
        bool sawLength = false;
        for (;; ++p) {
            const char c = *p;
            if (c == '\0') return -1;  // directive without a conversion character
            if (std::strchr("-+ #0'123456789.*", c) != nullptr) {
                if (!put(c)) return -1;
            } else if (c == 'w') {
                if (sawW || sawLength) return -1;
                sawW = true;
                if (!put('l') || !put('l')) return -1;
            } else if (std::strchr("hlLqjz", c) != nullptr) {
                if (sawW) return -1;
                sawLength = true;
                if (!put(c)) return -1;
            } else if (std::strchr("diouxXeEfFgGaAcsp", c) != nullptr) {
                if (!put(c)) return -1;
                break;
            } else {
                return -1;  // "%n", "%t", "%m", "%C", "%S" and anything unknown
            }
        }
    }
    rewritten[out] = '\0';

    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(destination, destinationSize, rewritten, args);
    va_end(args);
    if (n < 0 || (uint32_t)n >= destinationSize) {
        destination[0] = '\0';
        return -1;
    }
    return n;
}
