#include "foundation/format.h"
#include "foundation/text.h"
#include "support/test_support.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// UTF-8 to UTF-16LE for well-formed test literals (independent of the engine's converters).
std::string Utf8ToUtf16Le(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        uint8_t c = (uint8_t)s[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if (c < 0xE0) {
            cp = c & 0x1F;
            n = 2;
        } else if (c < 0xF0) {
            cp = c & 0x0F;
            n = 3;
        } else {
            cp = c & 0x07;
            n = 4;
        }
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | ((uint8_t)s[i + k] & 0x3F);
        i += n;
        auto unit = [&](uint32_t u) {
            out.push_back((char)(u & 0xFF));
            out.push_back((char)(u >> 8));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

// A format in an encoding, with its terminator.
std::string InEncoding(const std::string& utf8, TextEncoding enc)
{
    if (enc == TEXT_ENC_UTF16LE) return Utf8ToUtf16Le(utf8) + std::string(2, '\0');
    return utf8 + std::string(1, '\0');
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes) {
        h.push_back(digits[c >> 4]);
        h.push_back(digits[c & 15]);
    }
    return h;
}

std::string Contents(const TextBuffer& b) { return std::string((const char*)b.data, b.length); }

TextView ViewOf(const std::string& s)
{
    TextView v;
    v.data = (const uint8_t*)s.data();
    v.length = (uint32_t)s.size();
    return v;
}

typedef std::function<bool(TextBuffer*, TextEncoding, const void*, TextEncoding)> FormatCall;

struct OracleCase {
    const char* format;  // UTF-8
    const char* pyArgs;  // a python tuple for the same format without "w"
    FormatCall call;
};

// Shift_JIS bytes of U+65E5 U+672C, and UTF-16LE bytes of "Üñï€".
const char kSjis[] = "\x93\xfa\x96\x7b";
const std::string kUtf16View("\xdc\x00\xf1\x00\xef\x00\xac\x20", 8);

std::vector<OracleCase> OracleCases()
{
    return {
        {"%04u%02u%02u-%02u%02u%02u-%03u", "(2024, 3, 5, 13, 7, 9, 0)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, 2024u, 3u, 5u, 13u, 7u, 9u, 0u);
         }},
        {"%5x|%05X|%x|%X", "(255, 255, 0xdeadbeef, 0xdeadbeef)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, 255u, 255u, 0xdeadbeefu, 0xdeadbeefu);
         }},
        {"%wu %wu %wu", "(2**40, 2**64 - 1, 0)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, (uint64_t)1 << 40, UINT64_MAX, (uint64_t)0);
         }},
        {"%wx/%016wX/%020wu", "(2**64 - 1, 0x1234abcd5678, 2**63)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, UINT64_MAX, (uint64_t)0x1234abcd5678ull,
                                (uint64_t)1 << 63);
         }},
        {"%d %i %d %wd %wd", "(-5, 0, -2147483648, -9223372036854775808, 9223372036854775807)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, -5, 0, INT_MIN, INT64_MIN, INT64_MAX);
         }},
        {"%u %3u %10u %010u", "(4294967295, 12345, 0, 0)",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, UINT32_MAX, 12345u, 0u, 0u);
         }},
        {"100%% of %s, %c%c", "('disk', 'A', '~')",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, "disk", TEXT_ENC_UTF8, 0x41, 0x7E);
         }},
        {"Größe: %u € – \"%t\"", "(7, 'Üñï€')",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, 7u, ViewOf(kUtf16View), TEXT_ENC_UTF16LE);
         }},
        {"[%s][%t]", "('日本', '')",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             TextView empty;
             Text_InitEmpty(&empty);
             return Text_Format(b, o, f, e, kSjis, TEXT_ENC_SJIS, empty, TEXT_ENC_UTF8);
         }},
        {"no directives at all 😀", "()",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e);
         }},
    };
}

// The same format for python: without the 64-bit flag, and "%t" as "%s".
std::string PythonFormat(const std::string& format)
{
    std::string out;
    bool inDirective = false;
    for (char c : format) {
        if (inDirective && c == 'w') continue;
        out.push_back(inDirective && c == 't' ? 's' : c);
        if (c == '%')
            inDirective = !inDirective;
        else if (inDirective && !(c >= '0' && c <= '9'))
            inDirective = false;
    }
    return out;
}

}  // namespace

// Every case rendered in UTF-8 and UTF-16LE, from formats in UTF-8 and UTF-16LE, against
// python3's "%" operator and codecs.
TEST(Formatter, MatchesPythonPercentFormatting)
{
    ASSERT_TRUE(HaveTool("python3"));
    const std::vector<OracleCase> cases = OracleCases();
    TempDir dir;
    std::ostringstream script;
    script << "import sys\n";
    for (const OracleCase& c : cases) {
        script << "s = bytes.fromhex('" << Hex(PythonFormat(c.format)) << "').decode('utf-8') % "
               << c.pyArgs << "\n"
               << "print(s.encode('utf-8').hex(), s.encode('utf-16-le').hex())\n";
    }
    WriteText(dir.file("oracle.py"), script.str());
    std::string out;
    ASSERT_EQ(RunCommand("python3 " + Quote(dir.file("oracle.py")), &out), 0);
    std::istringstream lines(out);

    for (const OracleCase& c : cases) {
        std::string utf8Hex, utf16Hex;
        ASSERT_TRUE(lines >> utf8Hex >> utf16Hex) << c.format;
        for (TextEncoding fe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE}) {
            const std::string format = InEncoding(c.format, fe);
            for (TextEncoding oe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE}) {
                uint8_t storage[512];
                std::memset(storage, 0xAA, sizeof storage);
                const char prefix[] = "ab";  // appended after existing contents
                std::memcpy(storage, prefix, 2);
                TextBuffer b;
                TextBuffer_Init(&b, storage, 2, sizeof storage);
                ASSERT_TRUE(c.call(&b, oe, format.data(), fe))
                    << c.format << " fe=" << fe << " oe=" << oe;
                const std::string got = Contents(b).substr(2);
                EXPECT_EQ(Hex(got), oe == TEXT_ENC_UTF8 ? utf8Hex : utf16Hex)
                    << c.format << " fe=" << fe << " oe=" << oe;
                const uint32_t unit = oe == TEXT_ENC_UTF8 ? 1 : 2;
                for (uint32_t k = 0; k < unit; ++k)
                    EXPECT_EQ(storage[b.length + k], 0) << "terminator";
                EXPECT_EQ(storage[b.length + unit], 0xAA) << "nothing beyond the terminator";
            }
        }
    }
}

// Unsupported directives, bad arguments and a full buffer fail, and the buffer keeps its
// contents and the bytes just after them (its terminator) exactly.
TEST(Formatter, FailuresLeaveBufferUnchanged)
{
    struct Bad {
        const char* format;
        FormatCall call;
    };
    auto one = [](uint32_t v) {
        return [v](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
            return Text_Format(b, o, f, e, v);
        };
    };
    const std::vector<Bad> bad = {
        {"%f", one(1)},
        {"%o", one(1)},
        {"%p", one(1)},
        {"%-5u", one(1)},
        {"%.2u", one(1)},
        {"%*u", one(1)},
        {"%e", one(1)},
        {"%g", one(1)},
        {"%a", one(1)},
        {"%C", one(1)},
        {"%S", one(1)},
        {"%lu", one(1)},
        {"%5lu", one(1)},
        {"%q", one(1)},
        {"%wwu", one(1)},
        {"%w", one(1)},
        {"%w5u", one(1)},
        {"%0u", one(1)},
        {"% 5u", one(1)},
        {"%", one(1)},
        {"tail %", one(1)},
        {"%5", one(1)},
        {"%99999999999u", one(1)},
        {"%wc", one(65)},
        {"%c", one(0xE9)},
        {"%c", one(128)},
        {"%c", [](TextBuffer* b, TextEncoding o, const void* f,
                  TextEncoding e) { return Text_Format(b, o, f, e, -1); }},
        // Fails only after earlier directives were rendered.
        {"abc %u %s %f",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, 5u, "xyz", TEXT_ENC_UTF8, 1.0);
         }},
        {"%s",
         [](TextBuffer* b, TextEncoding o, const void* f, TextEncoding e) {
             return Text_Format(b, o, f, e, (const char*)nullptr, TEXT_ENC_UTF8);
         }},
        {"%s", [](TextBuffer* b, TextEncoding o, const void* f,
                  TextEncoding e) { return Text_Format(b, o, f, e, "x", (TextEncoding)7); }},
        {"%ws", [](TextBuffer* b, TextEncoding o, const void* f,
                   TextEncoding e) { return Text_Format(b, o, f, e, "x", TEXT_ENC_UTF8); }},
        // Invalid UTF-8 in the format itself.
        {"abc\xc0\xaf", one(1)},
    };
    for (const Bad& c : bad) {
        for (TextEncoding fe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE}) {
            if (fe == TEXT_ENC_UTF16LE && std::strchr(c.format, '\xc0') != nullptr) continue;
            const std::string format = InEncoding(c.format, fe);
            for (TextEncoding oe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE, TEXT_ENC_SJIS}) {
                uint8_t storage[64];
                std::memset(storage, 0x5A, sizeof storage);
                std::memcpy(storage, "keep\0\0\0\0", 8);
                uint8_t before[sizeof storage];
                std::memcpy(before, storage, sizeof storage);
                TextBuffer b;
                TextBuffer_Init(&b, storage, 4, sizeof storage);
                const bool ok = c.call(&b, oe, format.data(), fe);
                EXPECT_FALSE(ok) << c.format << " fe=" << fe << " oe=" << oe;
                EXPECT_EQ(b.length, 4u) << c.format;
                EXPECT_EQ(0, std::memcmp(storage, before, 8)) << c.format << " fe=" << fe;
            }
        }
    }
}

TEST(Formatter, ExactFitIncludesTheTerminator)
{
    for (TextEncoding oe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE}) {
        const uint32_t unit = oe == TEXT_ENC_UTF8 ? 1 : 2;
        // "x=4294967295" is 12 characters; with the terminator 13 units are needed.
        for (uint32_t capacity = 10 * unit; capacity <= 15 * unit; capacity += unit) {
            std::vector<uint8_t> storage(capacity + 8, 0x77);
            TextBuffer b;
            TextBuffer_Init(&b, storage.data(), 0, capacity);
            const bool ok = Text_Format(&b, oe, "x=%u", TEXT_ENC_UTF8, UINT32_MAX);
            EXPECT_EQ(ok, capacity >= 13 * unit) << capacity;
            EXPECT_EQ(b.length, ok ? 12 * unit : 0u);
            EXPECT_EQ(storage[capacity], 0x77) << "wrote past the capacity";
        }
    }
    // Padding counts too: a width larger than the room fails.
    uint8_t small[16];
    TextBuffer b;
    TextBuffer_Init(&b, small, 0, sizeof small);
    EXPECT_FALSE(Text_Format(&b, TEXT_ENC_UTF8, "%40u", TEXT_ENC_UTF8, 1u));
    EXPECT_FALSE(Text_Format(&b, TEXT_ENC_UTF8, "%2147483647u", TEXT_ENC_UTF8, 1u));
    EXPECT_EQ(b.length, 0u);
    // A buffer without storage takes nothing, not even the terminator.
    TextBuffer none;
    TextBuffer_InitEmpty(&none);
    EXPECT_FALSE(Text_Format(&none, TEXT_ENC_UTF8, "", TEXT_ENC_UTF8));
}

// A text that cannot be converted into the output encoding fails the call: a character with no
// Shift_JIS form, and malformed UTF-8 that must be decoded for UTF-16 output.
TEST(Formatter, ConversionFailureOfAnArgumentFails)
{
    const std::string emoji = "x\xf0\x9f\x98\x80";
    for (TextEncoding oe : {TEXT_ENC_UTF8, TEXT_ENC_UTF16LE, TEXT_ENC_SJIS}) {
        for (int which = 0; which < 2; ++which) {
            uint8_t storage[32];
            std::memcpy(storage, "ok\0", 3);
            TextBuffer b;
            TextBuffer_Init(&b, storage, 2, sizeof storage);
            bool ok, expected;
            if (which == 0) {
                ok = Text_Format(&b, oe, "[%t]", TEXT_ENC_UTF8, ViewOf(emoji), TEXT_ENC_UTF8);
                expected = oe != TEXT_ENC_SJIS;
            } else {
                if (oe == TEXT_ENC_UTF8) continue;  // same encoding: nothing to decode
                ok = Text_Format(&b, oe, "[%s]", TEXT_ENC_UTF8, "a\xc0\xaf", TEXT_ENC_UTF8);
                expected = false;
            }
            EXPECT_EQ(ok, expected) << oe << " " << which;
            if (!ok) {
                EXPECT_EQ(b.length, 2u);
                EXPECT_STREQ((const char*)storage, "ok");
            }
        }
    }
}

// Unlike the C library, a width is ignored for signed conversions.
TEST(Formatter, SignedConversionsIgnoreTheWidth)
{
    char storage[32];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    ASSERT_TRUE(
        Text_Format(&b, TEXT_ENC_UTF8, "[%5d][%05i][%08wd]", TEXT_ENC_UTF8, 7, -3, (int64_t)-1));
    EXPECT_STREQ(storage, "[7][-3][-1]");
}

TEST(Formatter, SuccessiveCallsAppend)
{
    char storage[64];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    ASSERT_TRUE(Text_Format(&b, TEXT_ENC_UTF8, "\"%t\"", TEXT_ENC_UTF8, ViewOf("/tmp/a b.vmdk"),
                            TEXT_ENC_UTF8));
    ASSERT_TRUE(Text_Format(&b, TEXT_ENC_UTF8, " %wu", TEXT_ENC_UTF8, (uint64_t)5 << 32));
    EXPECT_STREQ(storage, "\"/tmp/a b.vmdk\" 21474836480");
    // UTF-32BE output of a digit and padding: every unit 4 bytes, 4-byte terminator.
    uint8_t wide[64];
    TextBuffer w;
    TextBuffer_Init(&w, wide, 0, sizeof wide);
    ASSERT_TRUE(Text_Format(&w, TEXT_ENC_UTF32BE, "%3u", TEXT_ENC_UTF8, 7u));
    const uint8_t expected[] = {0, 0, 0, ' ', 0, 0, 0, ' ', 0, 0, 0, '7', 0, 0, 0, 0};
    ASSERT_EQ(w.length, 12u);
    EXPECT_EQ(0, std::memcmp(wide, expected, sizeof expected));
}

TEST(FormatterCrt, RewritesTheWideFlag)
{
    char out[64];
    EXPECT_EQ(Text_FormatCrt(out, sizeof out, "%wd", INT64_MIN), 20);
    EXPECT_STREQ(out, "-9223372036854775808");
    EXPECT_EQ(Text_FormatCrt(out, sizeof out, "%wu|%d|%08wx|%s|%%", UINT64_MAX, -7,
                             (uint64_t)0xabcdef, "s"),
              (int)std::strlen("18446744073709551615|-7|00abcdef|s|%"));
    EXPECT_STREQ(out, "18446744073709551615|-7|00abcdef|s|%");
    EXPECT_EQ(Text_FormatCrt(out, sizeof out, "%.3f %lu", 2.5, 9ul), 7);
    EXPECT_STREQ(out, "2.500 9");
}

TEST(FormatterCrt, RefusesWhatItCannotRewriteOrFit)
{
    char out[32];
    const char* bad[] = {"%",  "abc%", "%5", "%wwd", "%lwd", "%wld", "%n",
                         "%t", "%td",  "%m", "%C",   "%S",   "%y"};
    for (const char* f : bad) {
        std::memset(out, 'Q', sizeof out);
        int dummy = 0;
        EXPECT_EQ(Text_FormatCrt(out, sizeof out, f, &dummy, &dummy), -1) << f;
        EXPECT_EQ(out[0], '\0') << f;
        EXPECT_EQ(dummy, 0) << f;
    }
    // The result must fit with its terminator: 20 characters need 21 bytes.
    char exact[21];
    EXPECT_EQ(Text_FormatCrt(exact, sizeof exact, "%wd", INT64_MIN), 20);
    EXPECT_EQ(Text_FormatCrt(exact, 20, "%wd", INT64_MIN), -1);
    EXPECT_EQ(exact[0], '\0');
    EXPECT_EQ(Text_FormatCrt(exact, 0, "x"), -1);
    // A rewritten format of 4096 bytes or more is refused before anything is printed.
    std::string longFormat(4095, 'x');
    std::vector<char> big(8192);
    EXPECT_EQ(Text_FormatCrt(big.data(), (uint32_t)big.size(), longFormat.c_str()), 4095);
    longFormat.push_back('x');
    EXPECT_EQ(Text_FormatCrt(big.data(), (uint32_t)big.size(), longFormat.c_str()), -1);
    std::string wides;
    for (int i = 0; i < 1100; ++i) wides += "%wd";  // 3300 bytes, 4400 once rewritten
    EXPECT_EQ(Text_FormatCrt(big.data(), (uint32_t)big.size(), wides.c_str()), -1);
}
