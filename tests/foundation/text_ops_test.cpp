// Tests of comparison, searching, splitting and numbers on text views.
#include "foundation/text_ops.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const TextEncoding kAll[] = {TEXT_ENC_SJIS,    TEXT_ENC_EUCJP,   TEXT_ENC_UTF8,   TEXT_ENC_UTF16LE,
                             TEXT_ENC_UTF16BE, TEXT_ENC_UTF32LE, TEXT_ENC_UTF32BE};

// ASCII text widened into an encoding, optionally followed by its terminator.
Bytes Widen(const std::string& ascii, TextEncoding enc, bool terminate = false)
{
    uint32_t unit = Text_UnitSize(enc);
    bool be = enc == TEXT_ENC_UTF16BE || enc == TEXT_ENC_UTF32BE;
    Bytes out;
    for (char c : ascii) {
        for (uint32_t i = 0; i < unit; ++i)
            out.push_back(i == (be ? unit - 1 : 0) ? uint8_t(c) : 0);
    }
    if (terminate) out.insert(out.end(), unit, 0);
    return out;
}

TextView V(const Bytes& b) { return TextView{b.data(), uint32_t(b.size())}; }

Bytes BytesOf(TextView v) { return v.length ? Bytes(v.data, v.data + v.length) : Bytes(); }

std::string Narrow(TextView v, TextEncoding enc)
{
    uint32_t unit = Text_UnitSize(enc);
    bool be = enc == TEXT_ENC_UTF16BE || enc == TEXT_ENC_UTF32BE;
    std::string s;
    for (uint32_t i = 0; i + unit <= v.length; i += unit)
        s += char(v.data[i + (be ? unit - 1 : 0)]);
    return s;
}

// A heap block of exactly these bytes, so that the sanitizer build catches reads past it.
struct Exact {
    explicit Exact(const Bytes& b)
        : size(uint32_t(b.size())), data(new uint8_t[b.empty() ? 1 : b.size()])
    {
        if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
    }
    TextView view() const { return TextView{data.get(), size}; }
    uint32_t size;
    std::unique_ptr<uint8_t[]> data;
};

std::string Contents(const TextBuffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.data), b.length);
}

}  // namespace

// ---- Comparison ----------------------------------------------------------------------------

TEST(TextCompare, LimitFoldAndLengthInEveryEncoding)
{
    struct Case {
        const char* a;
        const char* b;
        uint32_t n;  // in characters; UINT32_MAX: no limit
        bool fold;
        int expect;
    };
    const Case cases[] = {
        {"abc", "abd", 2, false, 0},
        {"abc", "abd", 3, false, -1},
        {"abd", "abc", 3, false, 1},
        {"ab", "abc", 3, false, -1},
        {"ab", "abc", 99, false, -1},
        {"abc", "ab", 3, false, 1},
        {"ab", "abc", 2, false, 0},
        {"ABC", "abc", 3, true, 0},
        {"ABC", "abc", 3, false, -1},
        {"", "", 5, false, 0},
        {"", "a", 5, false, -1},
        {"a", "", 5, false, 1},
        {"abc", "xyz", 0, false, 0},
        {"[", "a", 1, true, -1},
        {"Z", "a", 1, true, 1},
        {"MiXeD", "mixed", UINT32_MAX, true, 0},
        {"same", "same", UINT32_MAX, false, 0},
    };
    for (TextEncoding enc : kAll) {
        uint32_t unit = Text_UnitSize(enc);
        for (const Case& c : cases) {
            Bytes a = Widen(c.a, enc), b = Widen(c.b, enc);
            uint32_t n = c.n == UINT32_MAX ? TEXT_NO_LIMIT : c.n * unit;
            EXPECT_EQ(Text_CompareN(V(a), V(b), n, c.fold, enc), c.expect)
                << enc << " " << c.a << " " << c.b;
            Bytes bz = Widen(c.b, enc, true);
            EXPECT_EQ(Text_CompareNCString(V(a), bz.data(), n, c.fold, enc), c.expect)
                << enc << " " << c.a;
        }
    }
    Bytes a = Widen("Path", TEXT_ENC_UTF8), b = Widen("path", TEXT_ENC_UTF8);
    EXPECT_EQ(Text_Compare(V(a), V(b), TEXT_ENC_UTF8), -1);
    EXPECT_EQ(Text_CompareUtf8(V(a), V(a)), 0);
    EXPECT_EQ(Text_CompareNUtf8(V(a), V(b), TEXT_NO_LIMIT, true), 0);
    EXPECT_EQ(Text_CompareNCStringUtf8(V(a), "PATH", 4, true), 0);
    EXPECT_EQ(Text_CompareNCStringUtf8(V(a), "PATH", 4, false), 1);
}

TEST(TextCompare, MultiByteCharactersAndInvalidBytes)
{
    // Two UTF-8 views with the invalid byte 0xFF at the same place: the rest compares as bytes.
    Bytes a{'x', 0xFF, 'a', 0xC3, 0xA9}, b{'x', 0xFF, 'a', 0xC3, 0xA8};
    EXPECT_EQ(Text_CompareN(V(a), V(b), TEXT_NO_LIMIT, false, TEXT_ENC_UTF8), 1);
    // After an invalid byte no folding applies.
    Bytes c{0xFF, 'A'}, d{0xFF, 'a'};
    EXPECT_EQ(Text_CompareN(V(c), V(d), TEXT_NO_LIMIT, true, TEXT_ENC_UTF8), -1);
    EXPECT_EQ(Text_CompareN(V(c), V(c), TEXT_NO_LIMIT, false, TEXT_ENC_UTF8), 0);

    // UTF-8 compares code points: U+00E9 (C3 A9) sorts after "z".
    Bytes e{0xC3, 0xA9}, z{'z'};
    EXPECT_EQ(Text_CompareN(V(e), V(z), TEXT_NO_LIMIT, false, TEXT_ENC_UTF8), 1);
    // A limit that cuts a character: the partial characters compare as bytes.
    Bytes e2{0xC3, 0xA8};
    EXPECT_EQ(Text_CompareN(V(e), V(e2), 1, false, TEXT_ENC_UTF8), 0);
    EXPECT_EQ(Text_CompareN(V(e), V(e2), 2, false, TEXT_ENC_UTF8), 1);

    // Shift_JIS: a one-byte character sorts before any two-byte one.
    Bytes s1{'a', 'z'}, s2{'a', 0x81, 0x40};
    EXPECT_EQ(Text_CompareN(V(s1), V(s2), TEXT_NO_LIMIT, false, TEXT_ENC_SJIS), -1);
    EXPECT_EQ(Text_CompareN(V(s2), V(s1), TEXT_NO_LIMIT, false, TEXT_ENC_SJIS), 1);

    // UTF-16 by code point: U+FF61 before U+10000 although the unit D800 is smaller.
    Bytes u1{0x61, 0xFF}, u2{0x00, 0xD8, 0x00, 0xDC};
    EXPECT_EQ(Text_CompareN(V(u1), V(u2), TEXT_NO_LIMIT, false, TEXT_ENC_UTF16LE), -1);

    // Truncated characters at the very end of exact blocks are read safely.
    Exact t1(Bytes{'a', 0xE3, 0x81}), t2(Bytes{'a', 0xE3, 0x81});
    EXPECT_EQ(Text_CompareN(t1.view(), t2.view(), TEXT_NO_LIMIT, true, TEXT_ENC_UTF8), 0);
    Exact t3(Bytes{'a', 0, 0xD8}), t4(Bytes{'a', 0, 0xD8, 0x00});
    EXPECT_EQ(Text_CompareN(t3.view(), t4.view(), TEXT_NO_LIMIT, false, TEXT_ENC_UTF16LE), -1);
}

// ---- Searching ------------------------------------------------------------------------------

TEST(TextFind, CharactersAndSetsInEveryEncoding)
{
    for (TextEncoding enc : kAll) {
        uint32_t u = Text_UnitSize(enc);
        Bytes text = Widen("a/b\\c/d", enc);
        Bytes slash = Widen("/", enc, true), bs = Widen("\\", enc, true), q = Widen("?", enc, true);
        EXPECT_EQ(Text_FindCharCString(V(text), slash.data(), enc), 1 * u);
        EXPECT_EQ(Text_FindLastCharCString(V(text), slash.data(), enc), 5 * u);
        EXPECT_EQ(Text_FindCharCString(V(text), q.data(), enc), TEXT_NOT_FOUND);
        EXPECT_EQ(Text_FindLastCharCString(V(text), q.data(), enc), TEXT_NOT_FOUND);

        Bytes seps = Widen("\\/", enc), sepsZ = Widen("\\/", enc, true);
        EXPECT_EQ(Text_FindFirstOf(V(text), V(seps), enc), 1 * u);
        EXPECT_EQ(Text_FindFirstOfCString(V(text), sepsZ.data(), enc), 1 * u);
        EXPECT_EQ(Text_FindLastOf(V(text), V(seps), true, enc), 5 * u);
        EXPECT_EQ(Text_FindLastOf(V(text), V(seps), false, enc), 6 * u);

        Bytes letters = Widen("abc", enc), lettersZ = Widen("abc", enc, true);
        EXPECT_EQ(Text_FindFirstNotOf(V(text), V(letters), enc), 1 * u);
        EXPECT_EQ(Text_FindFirstNotOfCString(V(text), lettersZ.data(), enc), 1 * u);
        Bytes all = Widen("abcd/\\", enc);
        EXPECT_EQ(Text_FindFirstNotOf(V(text), V(all), enc), TEXT_NOT_FOUND);

        // Until: "\\" stops a search for "d".
        Bytes d = Widen("d", enc), dZ = Widen("d", enc, true), bsv = Widen("\\", enc);
        EXPECT_EQ(Text_FindFirstOfUntil(V(text), V(d), V(bsv), enc), TEXT_NOT_FOUND);
        EXPECT_EQ(Text_FindFirstOfUntilCString(V(text), dZ.data(), bs.data(), enc), TEXT_NOT_FOUND);
        uint32_t stop = 0;
        EXPECT_EQ(Text_FindFirstOfUntilAt(V(text), V(d), V(bsv), enc, &stop), TEXT_NOT_FOUND);
        EXPECT_EQ(stop, 3 * u);
        Bytes b = Widen("b", enc);
        EXPECT_EQ(Text_FindFirstOfUntilAt(V(text), V(b), V(bsv), enc, &stop), 2 * u);
        EXPECT_EQ(stop, TEXT_NOT_FOUND);

        // Not-of until: skip "a" and "/" but stop at a line feed.
        Bytes t2 = Widen("a/a\nb", enc), skip = Widen("a/", enc), skipZ = Widen("a/", enc, true);
        Bytes lf = Widen("\n", enc), lfZ = Widen("\n", enc, true);
        EXPECT_EQ(Text_FindFirstNotOfUntil(V(t2), V(skip), V(lf), enc), TEXT_NOT_FOUND);
        Bytes t3 = Widen("a/xb\n", enc);
        EXPECT_EQ(Text_FindFirstNotOfUntilCString(V(t3), skipZ.data(), lfZ.data(), enc), 2 * u);

        // While: find "=" while inside letters.
        Bytes kv = Widen("key=v", enc), bad = Widen("k y=v", enc);
        Bytes eq = Widen("=", enc, true), alpha = Widen("abcdefghijklmnopqrstuvwxyz", enc, true);
        EXPECT_EQ(Text_FindFirstOfWhileCString(V(kv), eq.data(), alpha.data(), enc), 3 * u);
        EXPECT_EQ(Text_FindFirstOfWhileCString(V(bad), eq.data(), alpha.data(), enc),
                  TEXT_NOT_FOUND);

        // Sub-texts.
        Bytes hay = Widen("abcabd", enc), pat = Widen("abd", enc), none = Widen("abx", enc);
        EXPECT_EQ(Text_FindView(V(hay), V(pat), enc), 3 * u);
        EXPECT_EQ(Text_FindView(V(hay), V(none), enc), TEXT_NOT_FOUND);
        EXPECT_EQ(Text_FindView(V(hay), TextView{nullptr, 0}, enc), 0u);
        EXPECT_EQ(Text_FindView(V(pat), V(hay), enc), TEXT_NOT_FOUND);

        // Set membership and index.
        Bytes set = Widen("xyz", enc), y = Widen("y", enc), yq = Widen("yq", enc),
              w = Widen("w", enc);
        uint32_t index = 99;
        EXPECT_TRUE(Text_IndexInSet(V(yq), V(set), enc, &index));
        EXPECT_EQ(index, 1u);
        EXPECT_FALSE(Text_IndexInSet(V(w), V(set), enc, &index));
        EXPECT_FALSE(Text_IndexInSet(TextView{nullptr, 0}, V(set), enc, &index));
        EXPECT_TRUE(Text_IsCharInSet(y.data(), u, V(set), enc));
        EXPECT_FALSE(Text_IsCharInSet(w.data(), u, V(set), enc));
        EXPECT_TRUE(Text_StartsWithOneOf(V(yq), V(set), enc));
        EXPECT_FALSE(Text_StartsWithOneOf(V(w), V(set), enc));
    }
}

// A search works in whole characters: bytes inside a longer character never match.
TEST(TextFind, NoMatchInsideLongerCharacters)
{
    // Shift_JIS 0x95 0x5C has the backslash as its trail byte.
    Bytes sjis{'a', 0x95, 0x5C, 'b', '\\'};
    EXPECT_EQ(Text_FindCharCString(V(sjis), "\\", TEXT_ENC_SJIS), 4u);
    EXPECT_EQ(Text_FindFirstOfCString(V(sjis), "\\/", TEXT_ENC_SJIS), 4u);
    Bytes sjisOnly{0x95, 0x5C};
    EXPECT_EQ(Text_FindLastCharCString(V(sjisOnly), "\\", TEXT_ENC_SJIS), TEXT_NOT_FOUND);
    Bytes pat{'\\'};
    EXPECT_EQ(Text_FindView(V(sjisOnly), V(pat), TEXT_ENC_SJIS), TEXT_NOT_FOUND);
    // A pattern that would end inside a character of the text does not match.
    Bytes hay{'a', 0x95, 0x5C}, pat2{'a', 0x95};
    EXPECT_EQ(Text_FindView(V(hay), V(pat2), TEXT_ENC_SJIS), TEXT_NOT_FOUND);

    // UTF-16LE: the bytes 2F 00 straddle the units 0x2F00 and 0x4100.
    Bytes u16{0x00, 0x2F, 0x00, 0x41, 0x2F, 0x00};
    Bytes slash16{0x2F, 0x00, 0x00, 0x00};
    EXPECT_EQ(Text_FindCharCString(V(u16), slash16.data(), TEXT_ENC_UTF16LE), 4u);
    EXPECT_EQ(Text_FindView(V(u16), TextView{slash16.data(), 2}, TEXT_ENC_UTF16LE), 4u);
}

TEST(TextFind, CheckedSearchReportsTheFirstInvalidSequence)
{
    struct Case {
        Bytes text;
        bool ok;
        uint32_t offset;
    };
    const Case cases[] = {
        {{'a', 'b', '/', 'c'}, true, 2},
        {{'a', 'b', 'c'}, true, TEXT_NOT_FOUND},
        {{'a', 0xC0, 0xAF, '/'}, false, 1},  // overlong "/" is malformed, not a separator
        {{'a', 0xE3, 0x81, 0x82, '/'}, true, 4},
        {{'a', 0xE3, 0x81}, false, 1},  // truncated at the end of the block
        {{'/', 0xFF}, true, 0},
        {{}, true, TEXT_NOT_FOUND},
    };
    for (const Case& c : cases) {
        Exact e(c.text);
        uint32_t off = 12345;
        EXPECT_EQ(Text_FindCharCheckedUtf8(e.view(), "/", &off), c.ok);
        EXPECT_EQ(off, c.offset);
    }
    Exact sjis(Bytes{'a', 0x82});
    uint32_t off = 0;
    EXPECT_FALSE(Text_FindCharChecked(sjis.view(), "/", TEXT_ENC_SJIS, &off));
    EXPECT_EQ(off, 1u);
    Exact euc(Bytes{'a', 0x8F, 0xB0});
    EXPECT_FALSE(Text_FindCharChecked(euc.view(), "/", TEXT_ENC_EUCJP, &off));
    EXPECT_EQ(off, 1u);
    Exact u16(Bytes{'a', 0, 0x00, 0xDC, '/', 0});
    Bytes slash16{'/', 0, 0, 0};
    EXPECT_FALSE(Text_FindCharChecked(u16.view(), slash16.data(), TEXT_ENC_UTF16LE, &off));
    EXPECT_EQ(off, 2u);
}

// Malformed text of every kind, in exact-size blocks, through every scanning operation: under
// the sanitizer build any read past the end fails the test.
TEST(TextFind, MalformedTextIsScannedSafely)
{
    std::mt19937 gen(11);
    for (TextEncoding enc : kAll) {
        Bytes setE = Widen(" \t/\\", enc), stopE = Widen("\n", enc), patE = Widen("/a", enc);
        for (int i = 0; i < 400; ++i) {
            Bytes b(gen() % 9);
            for (auto& x : b) x = uint8_t(gen() % 3 == 0 ? 0x80 + gen() % 0x80 : gen());
            Exact e(b);
            TextView v = e.view();
            uint32_t off;
            Text_FindFirstOf(v, V(setE), enc);
            Text_FindFirstNotOf(v, V(setE), enc);
            Text_FindLastOf(v, V(setE), true, enc);
            Text_FindLastOf(v, V(setE), false, enc);
            Text_FindFirstOfUntilAt(v, V(setE), V(stopE), enc, &off);
            Text_FindView(v, V(patE), enc);
            Text_FindCharChecked(v, Widen("/", enc, true).data(), enc, &off);
            Text_CompareN(v, v, TEXT_NO_LIMIT, true, enc);
            TextView a, r;
            bool end;
            Text_Trim(v, &a, enc);
            EXPECT_LE(a.length, v.length);
            Text_SplitLine(v, &a, &r, enc);
            Text_NextToken(v, &a, &r, &end, enc);
            uint64_t n;
            Text_IndexInSet(v, V(setE), enc, nullptr);
            EXPECT_FALSE(Num_ParseU64(v, enc, &n) && v.length == 0);
        }
    }
}

// ---- Splitting and trimming ----------------------------------------------------------------

TEST(TextSplit, Trim)
{
    for (TextEncoding enc : kAll) {
        struct Case {
            const char* in;
            const char* out;
            uint32_t start;  // characters
        };
        const Case cases[] = {
            {" \t42 ", "42", 2},   {"42", "42", 0},   {"  ", "", 0}, {"", "", 0},
            {"\ta b\t", "a b", 1}, {"x\n", "x\n", 0},  // only blanks and tabs are trimmed
        };
        for (const Case& c : cases) {
            Bytes in = Widen(c.in, enc);
            TextView t;
            Text_Trim(V(in), &t, enc);
            EXPECT_EQ(Narrow(t, enc), c.out) << enc << " [" << c.in << "]";
            if (t.length) {
                EXPECT_EQ(t.data, in.data() + c.start * Text_UnitSize(enc));
            } else {
                EXPECT_EQ(t.data, V(in).data);
            }
        }
    }
}

TEST(TextSplit, LinesAtCrLfAndCrLf)
{
    for (TextEncoding enc : kAll) {
        struct Case {
            const char* in;
            const char* line;
            const char* rest;
            bool more;
        };
        const Case cases[] = {
            {"x\r\ny", "x", "y", true},       {"x\ny", "x", "y", true},   {"x\ry", "x", "y", true},
            {"x\n", "x", "", false},          {"x", "x", "", false},      {"x\r\n", "x", "", false},
            {"x\n\ry", "x", "\ry", true},     {"\n\nz", "", "\nz", true}, {"", "", "", false},
            {"x\r\r\ny", "x", "\r\ny", true},
        };
        for (const Case& c : cases) {
            Bytes in = Widen(c.in, enc);
            TextView line, rest;
            bool more = Text_SplitLine(V(in), &line, &rest, enc);
            EXPECT_EQ(more, c.more) << enc << " " << c.in;
            EXPECT_EQ(Narrow(line, enc), c.line) << enc;
            EXPECT_EQ(Narrow(rest, enc), c.rest) << enc;
            EXPECT_EQ(rest.data + rest.length, in.data() + in.size());
        }
        // A whole file, mixing the three breaks.
        Bytes file = Widen("a\r\nbb\nc\rd", enc);
        std::vector<std::string> lines;
        TextView rest = V(file), line;
        for (;;) {
            bool more = Text_SplitLine(rest, &line, &rest, enc);
            lines.push_back(Narrow(line, enc));
            if (!more) break;
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"a", "bb", "c", "d"}));
    }
}

TEST(TextSplit, NextTokenOnExtentLines)
{
    for (TextEncoding enc : kAll) {
        auto tokens = [&](const std::string& s, bool* ok) {
            Bytes in = Widen(s, enc);
            std::vector<std::string> out;
            TextView rest = V(in), tok;
            *ok = true;
            for (int guard = 0; guard < 20; ++guard) {
                bool end = false;
                if (!Text_NextToken(rest, &tok, &rest, &end, enc)) {
                    *ok = false;
                    break;
                }
                if (end) {
                    EXPECT_EQ(tok.length, 0u);
                    EXPECT_EQ(rest.length, 0u);
                    break;
                }
                out.push_back(Narrow(tok, enc));
            }
            return out;
        };
        bool ok;
        EXPECT_EQ(tokens("RW 4192256 SPARSE \"disk-s001.vmdk\"", &ok),
                  (std::vector<std::string>{"RW", "4192256", "SPARSE", "disk-s001.vmdk"}));
        EXPECT_TRUE(ok);
        EXPECT_EQ(tokens("RW 2048 FLAT \"my  disk\tflat.img\" 0", &ok),
                  (std::vector<std::string>{"RW", "2048", "FLAT", "my  disk\tflat.img", "0"}));
        EXPECT_TRUE(ok);
        EXPECT_EQ(tokens("\t RDONLY 0 ZERO \t", &ok),
                  (std::vector<std::string>{"RDONLY", "0", "ZERO"}));
        EXPECT_TRUE(ok);
        EXPECT_EQ(tokens("\"\" x", &ok), (std::vector<std::string>{"", "x"}));
        EXPECT_TRUE(ok);
        EXPECT_EQ(tokens("", &ok), std::vector<std::string>{});
        EXPECT_TRUE(ok);
        tokens("RW 100 SPARSE \"unclosed.vmdk", &ok);
        EXPECT_FALSE(ok);
        tokens("ab\"c", &ok);
        EXPECT_FALSE(ok);
        tokens("ab\"", &ok);
        EXPECT_FALSE(ok);

        // The quoted token excludes the quotes; the rest begins with the blank after it.
        Bytes in = Widen("  \"a b\" c", enc);
        TextView tok, rest;
        bool end = true;
        ASSERT_TRUE(Text_NextToken(V(in), &tok, &rest, &end, enc));
        EXPECT_FALSE(end);
        EXPECT_EQ(Narrow(tok, enc), "a b");
        EXPECT_EQ(Narrow(rest, enc), " c");
    }
    // Multi-byte characters inside tokens.
    Bytes in{'"', 0xE3, 0x81, 0x82, ' ', '"', ' ', 0xC3, 0xA9};
    TextView tok, rest;
    bool end;
    ASSERT_TRUE(Text_NextTokenUtf8(V(in), &tok, &rest, &end));
    EXPECT_EQ(BytesOf(tok), (Bytes{0xE3, 0x81, 0x82, ' '}));
    ASSERT_TRUE(Text_NextTokenUtf8(rest, &tok, &rest, &end));
    EXPECT_EQ(BytesOf(tok), (Bytes{0xC3, 0xA9}));
    // A Shift_JIS character whose trail is a blank-like byte is not split: 0x81 0x40 is one
    // character (the trail 0x40 is "@", not a blank) and a quote byte cannot be a trail.
    Bytes sjis{0x81, 0x40, 'x', ' ', 'y'};
    ASSERT_TRUE(Text_NextToken(V(sjis), &tok, &rest, &end, TEXT_ENC_SJIS));
    EXPECT_EQ(tok.length, 3u);
}

// ---- Numbers --------------------------------------------------------------------------------

TEST(TextNumbers, ParseLimits)
{
    struct Case {
        const char* text;
        bool ok32;
        uint32_t v32;
        bool ok64;
        uint64_t v64;
    };
    const Case cases[] = {
        {"0", true, 0, true, 0},
        {"42", true, 42, true, 42},
        {" \t42 ", true, 42, true, 42},
        {"000123", true, 123, true, 123},
        {"4294967295", true, 4294967295u, true, 4294967295u},
        {"4294967296", false, 0, true, 4294967296ull},
        {"4294967300", false, 0, true, 4294967300ull},
        {"42949672950", false, 0, true, 42949672950ull},
        {"18446744073709551615", false, 0, true, 18446744073709551615ull},
        {"18446744073709551616", false, 0, false, 0},
        {"18446744073709551620", false, 0, false, 0},
        {"99999999999999999999", false, 0, false, 0},
        {"184467440737095516150", false, 0, false, 0},
        {"-1", false, 0, false, 0},
        {"+1", false, 0, false, 0},
        {"0x10", false, 0, false, 0},
        {"1 2", false, 0, false, 0},
        {"12a", false, 0, false, 0},
        {"", false, 0, false, 0},
        {" \t ", false, 0, false, 0},
        {"1.5", false, 0, false, 0},
    };
    for (TextEncoding enc : kAll) {
        for (const Case& c : cases) {
            Bytes in = Widen(c.text, enc);
            uint32_t v32 = 777;
            uint64_t v64 = 777;
            EXPECT_EQ(Num_ParseU32(V(in), enc, &v32), c.ok32) << enc << " " << c.text;
            EXPECT_EQ(v32, c.ok32 ? c.v32 : 777u) << c.text;  // untouched on failure
            EXPECT_EQ(Num_ParseU64(V(in), enc, &v64), c.ok64) << enc << " " << c.text;
            EXPECT_EQ(v64, c.ok64 ? c.v64 : 777u) << c.text;
        }
    }
    uint32_t v = 0;
    uint64_t w = 0;
    Bytes s = Widen("123", TEXT_ENC_UTF8);
    EXPECT_TRUE(Num_ParseU32Utf8(V(s), &v));
    EXPECT_TRUE(Num_ParseU64Utf8(V(s), &w));
    EXPECT_EQ(v, 123u);
    EXPECT_EQ(w, 123u);
    // Full-width digits are not ASCII digits.
    Bytes fw{0x82, 0x50};
    EXPECT_FALSE(Num_ParseU32(V(fw), TEXT_ENC_SJIS, &v));
    // A digit unit with a non-zero high byte is not a digit.
    Bytes u16{'1', 0x01};
    EXPECT_FALSE(Num_ParseU32(V(u16), TEXT_ENC_UTF16LE, &v));
}

TEST(TextNumbers, AppendAgreesWithSnprintf)
{
    std::mt19937_64 gen(5);
    for (int i = 0; i < 3000; ++i) {
        uint64_t value = gen() >> (gen() % 64);
        if (i < 4) value = i == 0 ? 0 : (i == 1 ? UINT64_MAX : (i == 2 ? UINT32_MAX : 1));
        bool zero = gen() & 1;
        bool upper = gen() & 1;
        uint32_t radix = (gen() & 1) ? 16 : 10;
        int32_t width = int32_t(gen() % 24) - 1;
        char fmt[16], expect[64];
        std::snprintf(fmt, sizeof fmt, "%%%s%d%s", zero ? "0" : "", width > 0 ? width : 0,
                      radix == 10 ? PRIu64 : (upper ? PRIX64 : PRIx64));
        if (width <= 0)
            std::snprintf(fmt, sizeof fmt, "%%%s",
                          radix == 10 ? PRIu64 : (upper ? PRIX64 : PRIx64));
        std::snprintf(expect, sizeof expect, fmt, value);
        for (TextEncoding enc : {TEXT_ENC_UTF8, TEXT_ENC_UTF16BE, TEXT_ENC_UTF32LE}) {
            uint8_t storage[256];
            TextBuffer b;
            TextBuffer_Init(&b, storage, 0, sizeof storage);
            TextBuffer_Append(&b, V(Widen("=", enc)));
            ASSERT_TRUE(Num_AppendU64(&b, value, zero, width, radix, upper, enc));
            EXPECT_EQ(Narrow(TextView{b.data, b.length}, enc), std::string("=") + expect) << fmt;
            if (value <= UINT32_MAX) {
                TextBuffer_Init(&b, storage, 0, sizeof storage);
                ASSERT_TRUE(Num_AppendU32(&b, uint32_t(value), zero, width, radix, upper, enc));
                EXPECT_EQ(Narrow(TextView{b.data, b.length}, enc), expect) << fmt;
            }
        }
        int64_t sv = int64_t(value) * ((gen() & 1) ? -1 : 1);
        std::snprintf(expect, sizeof expect, "%" PRId64, sv);
        uint8_t storage[64];
        TextBuffer b;
        TextBuffer_Init(&b, storage, 0, sizeof storage);
        ASSERT_TRUE(Num_AppendI64(&b, sv, TEXT_ENC_UTF8));
        EXPECT_EQ(Contents(b), expect);
    }
}

TEST(TextNumbers, NamedAppendCases)
{
    uint8_t storage[64];
    TextBuffer b;
    auto reset = [&] { TextBuffer_Init(&b, storage, 0, sizeof storage); };
    reset();
    EXPECT_TRUE(Num_AppendU32(&b, 0, true, 3, 10, false, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "000");
    reset();
    EXPECT_TRUE(Num_AppendU32(&b, 255, false, -1, 16, true, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "FF");
    reset();
    EXPECT_TRUE(Num_AppendU32(&b, 255, false, 5, 16, false, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "   ff");
    reset();
    EXPECT_TRUE(
        Num_AppendU32(&b, 12345, true, 3, 10, false, TEXT_ENC_UTF8));  // wider than the width
    EXPECT_EQ(Contents(b), "12345");
    reset();
    EXPECT_FALSE(Num_AppendU32(&b, 1, false, -1, 8, false, TEXT_ENC_UTF8));
    EXPECT_FALSE(Num_AppendU32(&b, 1, false, -1, 10, false, 7));
    reset();
    EXPECT_TRUE(Num_AppendI32(&b, INT32_MIN, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "-2147483648");
    reset();
    EXPECT_TRUE(Num_AppendI32(&b, INT32_MAX, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "2147483647");
    reset();
    EXPECT_TRUE(Num_AppendI64(&b, INT64_MIN, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "-9223372036854775808");
    reset();
    EXPECT_TRUE(Num_AppendI32(&b, -7, TEXT_ENC_UTF16BE));
    EXPECT_EQ(BytesOf(TextView{b.data, b.length}), (Bytes{0, '-', 0, '7'}));
    reset();
    EXPECT_TRUE(Num_AppendI32(&b, 0, TEXT_ENC_UTF32BE));
    EXPECT_EQ(BytesOf(TextView{b.data, b.length}), (Bytes{0, 0, 0, '0'}));
}

TEST(TextNumbers, AppendIsAllOrNothing)
{
    uint8_t storage[8];
    std::memset(storage, '.', sizeof storage);
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    TextBuffer_Append(&b, V(Widen("ab", TEXT_ENC_UTF8)));
    // Six digits fit exactly after "ab"; seven do not, and "-" plus six do not either.
    EXPECT_FALSE(Num_AppendU32(&b, 1234567, false, -1, 10, false, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "ab");
    EXPECT_FALSE(Num_AppendI32(&b, -123456, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "ab");
    EXPECT_FALSE(Num_AppendU32(&b, 1, true, 7, 10, false, TEXT_ENC_UTF8));  // padding overflows
    EXPECT_EQ(Contents(b), "ab");
    EXPECT_FALSE(Num_AppendU64(&b, 1, false, INT32_MAX, 16, false, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "ab");
    EXPECT_TRUE(Num_AppendI32(&b, 123456, TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), "ab123456");
    // UTF-32: room for one unit and a half.
    uint8_t s32[6];
    TextBuffer_Init(&b, s32, 0, sizeof s32);
    EXPECT_FALSE(Num_AppendU32(&b, 10, false, -1, 10, false, TEXT_ENC_UTF32LE));
    EXPECT_EQ(b.length, 0u);
    EXPECT_TRUE(Num_AppendU32(&b, 9, false, -1, 10, false, TEXT_ENC_UTF32LE));
    EXPECT_EQ(b.length, 4u);
}

TEST(TextNumbers, FormatU32)
{
    EXPECT_EQ(Num_FormatU32(0, nullptr, TEXT_ENC_UTF8), 1u);
    EXPECT_EQ(Num_FormatU32(4294967295u, nullptr, TEXT_ENC_UTF8), 10u);
    EXPECT_EQ(Num_FormatU32(1000, nullptr, TEXT_ENC_UTF16LE), 8u);
    uint8_t storage[8];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    EXPECT_EQ(Num_FormatU32(1234, &b, TEXT_ENC_UTF8), 4u);
    EXPECT_EQ(Contents(b), "1234");
    EXPECT_EQ(Num_FormatU32(56, &b, TEXT_ENC_UTF8), 2u);  // written from the start again
    EXPECT_EQ(Contents(b), "56");
    EXPECT_EQ(Num_FormatU32(123456789, &b, TEXT_ENC_UTF8), 0xFFFFFFFFu);
    EXPECT_EQ(Contents(b), "56");
    EXPECT_EQ(Num_FormatU32(1234, &b, TEXT_ENC_UTF16BE), 8u);
    EXPECT_EQ(BytesOf(TextView{b.data, b.length}), (Bytes{0, '1', 0, '2', 0, '3', 0, '4'}));
}
