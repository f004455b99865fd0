// Tests of text views, buffers and the per-encoding character rules.
#include "foundation/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

TextView ViewOf(const Bytes& b) { return TextView{b.data(), static_cast<uint32_t>(b.size())}; }

Bytes BytesOf(TextView v) { return v.length ? Bytes(v.data, v.data + v.length) : Bytes(); }

Bytes Contents(const TextBuffer& b)
{
    return b.length ? Bytes(b.data, b.data + b.length) : Bytes();
}

// A heap block of exactly the given bytes, so that the sanitizer build catches any read past it.
struct Exact {
    explicit Exact(const Bytes& b)
        : size(static_cast<uint32_t>(b.size())), data(new uint8_t[b.size() ? b.size() : 1])
    {
        if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
    }
    uint32_t size;
    std::unique_ptr<uint8_t[]> data;
};

uint32_t Validate(const Bytes& b, TextEncoding enc)
{
    Exact e(b);
    return Text_ValidCharLength(e.data.get(), e.size, enc);
}

std::string Hex(const Bytes& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

const char* PythonCodec(TextEncoding enc)
{
    switch (enc) {
    case TEXT_ENC_SJIS:
        return "shift_jis";
    case TEXT_ENC_EUCJP:
        return "euc_jp";
    case TEXT_ENC_UTF8:
        return "utf-8";
    case TEXT_ENC_UTF16LE:
        return "utf-16-le";
    case TEXT_ENC_UTF16BE:
        return "utf-16-be";
    case TEXT_ENC_UTF32LE:
        return "utf-32-le";
    default:
        return "utf-32-be";
    }
}

// For each case, python3's strict decoder answers the byte length of the first character
// (the shortest prefix that decodes to exactly one character), or 0.
std::vector<uint32_t> PythonFirstCharLengths(
    const std::vector<std::pair<TextEncoding, Bytes>>& cases)
{
    testsupport::TempDir dir;
    std::ostringstream in;
    for (const auto& c : cases) in << PythonCodec(c.first) << ' ' << Hex(c.second) << '\n';
    testsupport::WriteText(dir.file("cases.txt"), in.str());
    testsupport::WriteText(dir.file("oracle.py"),
                           "import sys\n"
                           "out = []\n"
                           "for line in open(sys.argv[1]):\n"
                           "    codec, _, h = line.strip().partition(' ')\n"
                           "    b = bytes.fromhex(h)\n"
                           "    n = 0\n"
                           "    for l in range(1, min(4, len(b)) + 1):\n"
                           "        try:\n"
                           "            if len(b[:l].decode(codec, 'strict')) == 1:\n"
                           "                n = l\n"
                           "                break\n"
                           "        except UnicodeDecodeError:\n"
                           "            pass\n"
                           "    out.append(str(n))\n"
                           "print('\\n'.join(out))\n");
    std::string output;
    int rc = testsupport::RunCommand("python3 " + testsupport::Quote(dir.file("oracle.py")) + " " +
                                         testsupport::Quote(dir.file("cases.txt")),
                                     &output);
    EXPECT_EQ(rc, 0);
    std::vector<uint32_t> result;
    std::istringstream lines(output);
    uint32_t n;
    while (lines >> n) result.push_back(n);
    EXPECT_EQ(result.size(), cases.size());
    return result;
}

Bytes Unit16(uint32_t u, bool be)
{
    return be ? Bytes{uint8_t(u >> 8), uint8_t(u)} : Bytes{uint8_t(u), uint8_t(u >> 8)};
}

Bytes Unit32(uint32_t u, bool be)
{
    Bytes b{uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
    if (be) std::swap(b[0], b[3]), std::swap(b[1], b[2]);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// ---- Validity, with python3's strict decoders as the oracle for the Unicode encodings -------

TEST(TextValidity, UnicodeEncodingsAgreeWithStrictPythonDecoders)
{
    if (!testsupport::HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    std::vector<std::pair<TextEncoding, Bytes>> cases;

    // UTF-8: every lead byte with continuation candidates at the edges of every range, plus a
    // "/" and a NUL that a lax decoder would swallow, in every position.
    const uint8_t follow[] = {0x00, 0x2F, 0x41, 0x7F, 0x80, 0x8F,
                              0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    for (uint32_t lead = 0; lead < 256; ++lead) {
        cases.push_back({TEXT_ENC_UTF8, {uint8_t(lead)}});
        for (uint8_t a : follow) {
            cases.push_back({TEXT_ENC_UTF8, {uint8_t(lead), a}});
            if (lead < 0xE0) continue;
            for (uint8_t b : follow) {
                cases.push_back({TEXT_ENC_UTF8, {uint8_t(lead), a, b}});
                if (lead < 0xF0) continue;
                for (uint8_t c : follow) cases.push_back({TEXT_ENC_UTF8, {uint8_t(lead), a, b, c}});
            }
        }
    }
    // Random UTF-8-ish byte strings.
    std::mt19937 gen(7);
    for (int i = 0; i < 3000; ++i) {
        Bytes b(1 + gen() % 4);
        for (auto& x : b) x = uint8_t(0x80 + gen() % 0x80);
        b[0] = uint8_t(0xC0 + gen() % 0x40);
        cases.push_back({TEXT_ENC_UTF8, b});
    }

    // UTF-16: pairs of units around the surrogate ranges, odd lengths.
    const uint32_t units[] = {0x0000, 0x0041, 0xD7FF, 0xD800, 0xDB7F,
                              0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF};
    for (bool be : {false, true}) {
        TextEncoding enc = be ? TEXT_ENC_UTF16BE : TEXT_ENC_UTF16LE;
        for (uint32_t u : units) {
            Bytes one = Unit16(u, be);
            cases.push_back({enc, one});
            cases.push_back({enc, {one[0]}});
            for (uint32_t v : units) {
                Bytes two = Cat(one, Unit16(v, be));
                cases.push_back({enc, two});
                cases.push_back({enc, Bytes(two.begin(), two.begin() + 3)});
            }
        }
    }

    // UTF-32: values at every boundary, short inputs.
    const uint32_t values[] = {0,        0x41,     0xD7FF,     0xD800,     0xDBFF,
                               0xDC00,   0xDFFF,   0xE000,     0xFFFF,     0x10000,
                               0x10FFFF, 0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    for (bool be : {false, true}) {
        TextEncoding enc = be ? TEXT_ENC_UTF32BE : TEXT_ENC_UTF32LE;
        for (uint32_t v : values) {
            Bytes b = Unit32(v, be);
            cases.push_back({enc, b});
            cases.push_back({enc, Bytes(b.begin(), b.begin() + 3)});
        }
    }

    std::vector<uint32_t> expect = PythonFirstCharLengths(cases);
    ASSERT_EQ(expect.size(), cases.size());
    int failures = 0;
    for (size_t i = 0; i < cases.size() && failures < 20; ++i) {
        uint32_t got = Validate(cases[i].second, cases[i].first);
        if (got != expect[i]) {
            ++failures;
            ADD_FAILURE() << PythonCodec(cases[i].first) << " " << Hex(cases[i].second) << ": got "
                          << got << ", python3 says " << expect[i];
        }
    }
}

// Shift_JIS and EUC-JP allow well-formed characters that have no mapping, so the Japanese
// codecs only bound the rules from one side: whatever they decode must be valid here with the
// same length, and every byte pair is checked against the stated ranges.
TEST(TextValidity, JapaneseEncodingsAcceptEverythingPythonDecodes)
{
    if (!testsupport::HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    std::vector<std::pair<TextEncoding, Bytes>> cases;
    for (uint32_t a = 0; a < 256; ++a) {
        for (uint32_t b = 0; b < 256; ++b) {
            cases.push_back({TEXT_ENC_SJIS, {uint8_t(a), uint8_t(b)}});
            cases.push_back({TEXT_ENC_EUCJP, {uint8_t(a), uint8_t(b)}});
        }
    }
    for (uint32_t b = 0xA1; b <= 0xFE; b += 3) {
        for (uint32_t c = 0x9F; c <= 0xFF; c += 1)
            cases.push_back({TEXT_ENC_EUCJP, {0x8F, uint8_t(b), uint8_t(c)}});
    }
    std::vector<uint32_t> expect = PythonFirstCharLengths(cases);
    ASSERT_EQ(expect.size(), cases.size());
    int failures = 0;
    for (size_t i = 0; i < cases.size() && failures < 20; ++i) {
        const Bytes& b = cases[i].second;
        uint32_t got = Validate(b, cases[i].first);
        if (expect[i] != 0 && got != expect[i]) {
            ++failures;
            ADD_FAILURE() << PythonCodec(cases[i].first) << " " << Hex(b) << ": got " << got
                          << ", python3 decodes " << expect[i];
        }
        // The stated ranges, written out independently.
        uint32_t want;
        auto in = [](uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; };
        if (cases[i].first == TEXT_ENC_SJIS) {
            if (b[0] < 0x80 || in(b[0], 0xA1, 0xDF))
                want = 1;
            else if ((in(b[0], 0x81, 0x9F) || in(b[0], 0xE0, 0xFC)) &&
                     (in(b[1], 0x40, 0x7E) || in(b[1], 0x80, 0xFC)))
                want = 2;
            else
                want = 0;
        } else {
            if (b[0] < 0x80)
                want = 1;
            else if (b[0] == 0x8E)
                want = in(b[1], 0xA1, 0xDF) ? 2 : 0;
            else if (in(b[0], 0xA1, 0xFE))
                want = in(b[1], 0xA1, 0xFE) ? 2 : 0;
            else if (b[0] == 0x8F)
                want = (b.size() == 3 && in(b[1], 0xA1, 0xFE) && in(b[2], 0xA1, 0xFE)) ? 3 : 0;
            else
                want = 0;
        }
        if (got != want && failures < 20) {
            ++failures;
            ADD_FAILURE() << PythonCodec(cases[i].first) << " " << Hex(b) << ": got " << got
                          << ", want " << want;
        }
    }
}

// The row and cell of every Shift_JIS character that python3 decodes must equal the EUC-JP
// bytes of the same character minus 0x80.
TEST(TextValidity, SjisToJisMatchesEucJpThroughPython)
{
    if (!testsupport::HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("o.py"),
                           "for a in range(0x81, 0x100):\n"
                           "    for b in range(0x40, 0x100):\n"
                           "        try:\n"
                           "            e = bytes([a, b]).decode('shift_jis').encode('euc_jp')\n"
                           "        except UnicodeError:\n"
                           "            continue\n"
                           "        if len(e) == 2 and e[0] >= 0xA1:\n"
                           "            print(a, b, e[0] - 0x80, e[1] - 0x80)\n");
    std::string out;
    ASSERT_EQ(testsupport::RunCommand("python3 " + testsupport::Quote(dir.file("o.py")), &out), 0);
    std::istringstream lines(out);
    uint32_t a, b, row, cell, count = 0;
    while (lines >> a >> b >> row >> cell) {
        uint32_t r = 0, c = 0;
        ASSERT_TRUE(Text_SjisToJis(uint8_t(a), uint8_t(b), &r, &c)) << a << " " << b;
        ASSERT_EQ(r, row) << a << " " << b;
        ASSERT_EQ(c, cell) << a << " " << b;
        ++count;
    }
    EXPECT_GT(count, 6000u);
    // Every lead and trail: when accepted, row and cell lie in 0x21-0x7E; leads F0-FC have no
    // JIS X 0208 position.
    for (uint32_t lead = 0; lead < 256; ++lead) {
        for (uint32_t trail = 0; trail < 256; ++trail) {
            uint32_t r = 0, c = 0;
            bool ok = Text_SjisToJis(uint8_t(lead), uint8_t(trail), &r, &c);
            uint8_t pair[2] = {uint8_t(lead), uint8_t(trail)};
            bool wellFormed = Text_ValidCharLength(pair, 2, TEXT_ENC_SJIS) == 2;
            EXPECT_EQ(ok, wellFormed && lead <= 0xEF) << lead << " " << trail;
            if (ok) {
                EXPECT_TRUE(r >= 0x21 && r <= 0x7E && c >= 0x21 && c <= 0x7E)
                    << lead << " " << trail;
            }
        }
    }
}

TEST(TextValidity, NamedCases)
{
    struct Case {
        TextEncoding enc;
        Bytes bytes;
        uint32_t length;
    };
    const Case cases[] = {
        {TEXT_ENC_SJIS, {0x82, 0xA0}, 2},
        {TEXT_ENC_SJIS, {0x82}, 0},  // lead at the end of the available bytes
        {TEXT_ENC_SJIS, {0xA0}, 0},
        {TEXT_ENC_SJIS, {0x80}, 0},
        {TEXT_ENC_SJIS, {0xFD, 0x40}, 0},
        {TEXT_ENC_SJIS, {0xB1}, 1},
        {TEXT_ENC_SJIS, {0x95, 0x5C}, 2},  // trail byte equal to the backslash
        {TEXT_ENC_SJIS, {0x82, 0x7F}, 0},
        {TEXT_ENC_SJIS, {0x82, 0x2F}, 0},  // a lead must not swallow "/"
        {TEXT_ENC_SJIS, {0x82, 0x00}, 0},  // nor a NUL
        {TEXT_ENC_SJIS, {0x82, 0xFD}, 0},
        {TEXT_ENC_EUCJP, {0xA4, 0xA2}, 2},
        {TEXT_ENC_EUCJP, {0xA4}, 0},
        {TEXT_ENC_EUCJP, {0xA4, 0x2F}, 0},
        {TEXT_ENC_EUCJP, {0x8E, 0xB1}, 2},
        {TEXT_ENC_EUCJP, {0x8E, 0xE0}, 0},
        {TEXT_ENC_EUCJP, {0x8F, 0xB0, 0xA1}, 3},
        {TEXT_ENC_EUCJP, {0x8F, 0xB0}, 0},
        {TEXT_ENC_EUCJP, {0x8F, 0xB0, 0x00}, 0},
        {TEXT_ENC_EUCJP, {0xFF, 0xA1}, 0},
        {TEXT_ENC_UTF8, {0xC0, 0x80}, 0},
        {TEXT_ENC_UTF8, {0xC0, 0xAF}, 0},  // overlong "/"
        {TEXT_ENC_UTF8, {0xE0, 0x80, 0xAF}, 0},
        {TEXT_ENC_UTF8, {0xF0, 0x80, 0x80, 0xAF}, 0},
        {TEXT_ENC_UTF8, {0xED, 0xA0, 0x80}, 0},
        {TEXT_ENC_UTF8, {0xED, 0x9F, 0xBF}, 3},
        {TEXT_ENC_UTF8, {0xF4, 0x8F, 0xBF, 0xBF}, 4},
        {TEXT_ENC_UTF8, {0xF4, 0x90, 0x80, 0x80}, 0},
        {TEXT_ENC_UTF8, {0xC3, 0x2F}, 0},        // lead followed by "/"
        {TEXT_ENC_UTF8, {0xE3, 0x81, 0x00}, 0},  // lead followed by a NUL
        {TEXT_ENC_UTF8, {0xE3, 0x81, 0x82}, 3},
        {TEXT_ENC_UTF16LE, {0x3D, 0xD8}, 0},              // high surrogate at the end
        {TEXT_ENC_UTF16LE, {0x00, 0xDC, 0x41, 0x00}, 0},  // lone low surrogate
        {TEXT_ENC_UTF16LE, {0x3D, 0xD8, 0x00, 0xDE}, 4},
        {TEXT_ENC_UTF16BE, {0xD8, 0x3D, 0x00, 0x41}, 0},
        {TEXT_ENC_UTF16BE, {0x00}, 0},
        {TEXT_ENC_UTF32LE, {0x00, 0xD8, 0x00, 0x00}, 0},
        {TEXT_ENC_UTF32LE, {0xFF, 0xFF, 0x10, 0x00}, 4},
        {TEXT_ENC_UTF32BE, {0x00, 0x11, 0x00, 0x00}, 0},
        {TEXT_ENC_UTF32BE, {0x00, 0x00, 0x41}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Validate(c.bytes, c.enc), c.length) << c.enc << " " << Hex(c.bytes);
    }
    uint8_t any = 0x41;
    EXPECT_EQ(Text_ValidCharLength(&any, 0, TEXT_ENC_UTF8), 0u);
    EXPECT_EQ(Text_ValidCharLength(&any, 1, 7), 0u);
}

TEST(TextValidity, LeadLengthIsBoundedByTheAvailableBytes)
{
    struct Case {
        TextEncoding enc;
        Bytes bytes;
        uint32_t length;
    };
    const Case cases[] = {
        {TEXT_ENC_SJIS, {0x82, 0xA0}, 2},    {TEXT_ENC_SJIS, {0x82}, 0},
        {TEXT_ENC_SJIS, {0xA0}, 0},          {TEXT_ENC_EUCJP, {0x8F, 1, 2}, 3},
        {TEXT_ENC_EUCJP, {0x8F, 1}, 0},      {TEXT_ENC_UTF8, {0xF4, 1, 2, 3}, 4},
        {TEXT_ENC_UTF8, {0xF5, 1, 2, 3}, 0}, {TEXT_ENC_UTF8, {0xC1, 0x80}, 0},
        {TEXT_ENC_UTF8, {0xE0, 1}, 0},       {TEXT_ENC_UTF16LE, {0x00, 0xD8, 0, 0}, 4},
        {TEXT_ENC_UTF16LE, {0x00, 0xD8}, 0}, {TEXT_ENC_UTF16BE, {0xDC, 0x00}, 2},
        {TEXT_ENC_UTF16BE, {0xDC}, 0},       {TEXT_ENC_UTF32LE, {1, 2, 3}, 0},
        {TEXT_ENC_UTF32BE, {1, 2, 3, 4}, 4},
    };
    for (const Case& c : cases) {
        Exact e(c.bytes);
        EXPECT_EQ(Text_CharLength(e.data.get(), e.size, c.enc), c.length)
            << c.enc << " " << Hex(c.bytes);
    }
}

TEST(TextValidity, DecodeUnicode)
{
    uint32_t cp = 0, n = 0;
    const uint8_t euro[] = {0xE2, 0x82, 0xAC};
    ASSERT_TRUE(Text_DecodeUnicode(euro, 3, TEXT_ENC_UTF8, &cp, &n));
    EXPECT_EQ(cp, 0x20ACu);
    EXPECT_EQ(n, 3u);
    const uint8_t pair[] = {0xD8, 0x3D, 0xDE, 0x00};
    ASSERT_TRUE(Text_DecodeUnicode(pair, 4, TEXT_ENC_UTF16BE, &cp, &n));
    EXPECT_EQ(cp, 0x1F600u);
    EXPECT_EQ(n, 4u);
    EXPECT_FALSE(Text_DecodeUnicode(pair, 2, TEXT_ENC_UTF16BE, &cp, &n));
    EXPECT_FALSE(Text_DecodeUnicode(euro, 3, TEXT_ENC_SJIS, &cp, &n));
}

// ---- Character comparison, digits and letters ---------------------------------------------

TEST(TextChars, Comparison)
{
    const uint8_t z = 'z';
    const uint8_t sjisTwo[] = {0x81, 0x40};
    EXPECT_EQ(Text_CompareChar(&z, 1, sjisTwo, 2, false, TEXT_ENC_SJIS), -1);
    EXPECT_EQ(Text_CompareChar(sjisTwo, 2, &z, 1, false, TEXT_ENC_SJIS), 1);
    const uint8_t eucA[] = {0xA4, 0xA2}, eucB[] = {0xA4, 0xA4};
    EXPECT_EQ(Text_CompareChar(eucA, 2, eucB, 2, true, TEXT_ENC_EUCJP), -1);
    const uint8_t A = 'A', a = 'a', bracket = '[';
    EXPECT_EQ(Text_CompareChar(&A, 1, &a, 1, true, TEXT_ENC_SJIS), 0);
    EXPECT_EQ(Text_CompareChar(&A, 1, &a, 1, false, TEXT_ENC_SJIS), -1);
    // Folding maps A-Z only: "[" (0x5B) sorts after "Z" but before "a".
    const uint8_t Z = 'Z';
    EXPECT_EQ(Text_CompareChar(&bracket, 1, &Z, 1, true, TEXT_ENC_UTF8), -1);
    // UTF-8 by code point: U+FFFF < U+10000.
    const uint8_t ffff[] = {0xEF, 0xBF, 0xBF}, u10000[] = {0xF0, 0x90, 0x80, 0x80};
    EXPECT_EQ(Text_CompareChar(ffff, 3, u10000, 4, false, TEXT_ENC_UTF8), -1);
    // UTF-16 by code point, not by unit: U+FF61 (unit FF61) < U+10000 (units D800 DC00).
    const uint8_t ff61[] = {0xFF, 0x61}, pair[] = {0xD8, 0x00, 0xDC, 0x00};
    EXPECT_EQ(Text_CompareChar(ff61, 2, pair, 4, false, TEXT_ENC_UTF16BE), -1);
    const uint8_t A16[] = {0x41, 0x00}, a16[] = {0x61, 0x00};
    EXPECT_EQ(Text_CompareChar(A16, 2, a16, 2, true, TEXT_ENC_UTF16LE), 0);
    const uint8_t A32[] = {0, 0, 0, 0x41}, a32[] = {0, 0, 0, 0x61};
    EXPECT_EQ(Text_CompareChar(A32, 4, a32, 4, true, TEXT_ENC_UTF32BE), 0);
    EXPECT_EQ(Text_CompareChar(A32, 4, a32, 4, false, TEXT_ENC_UTF32BE), -1);
}

TEST(TextChars, DigitsAndLetters)
{
    struct Case {
        TextEncoding enc;
        Bytes bytes;
        int digit;  // -1: not a digit
        bool letter;
    };
    const Case cases[] = {
        {TEXT_ENC_UTF8, {'7'}, 7, false},
        {TEXT_ENC_UTF8, {'/'}, -1, false},
        {TEXT_ENC_UTF8, {':'}, -1, false},
        {TEXT_ENC_SJIS, {'z'}, -1, true},
        {TEXT_ENC_SJIS, {0x82, 0x4F}, -1, false},  // full-width digit zero
        {TEXT_ENC_UTF16LE, {'9', 0}, 9, false},
        {TEXT_ENC_UTF16LE, {'9', 1}, -1, false},  // U+0139 is not ASCII
        {TEXT_ENC_UTF16BE, {0, 'Q'}, -1, true},
        {TEXT_ENC_UTF16BE, {'Q', 0}, -1, false},
        {TEXT_ENC_UTF32LE, {'0', 0, 0, 0}, 0, false},
        {TEXT_ENC_UTF32BE, {0, 0, 0, 'a'}, -1, true},
        {TEXT_ENC_UTF32BE, {0, 1, 0, 'a'}, -1, false},
        {TEXT_ENC_UTF8, {'@'}, -1, false},
        {TEXT_ENC_UTF8, {'['}, -1, false},
        {TEXT_ENC_UTF8, {'`'}, -1, false},
        {TEXT_ENC_UTF8, {'{'}, -1, false},
    };
    for (const Case& c : cases) {
        uint32_t v = 99;
        bool isDigit = Text_DigitValue(c.bytes.data(), uint32_t(c.bytes.size()), c.enc, &v);
        EXPECT_EQ(isDigit, c.digit >= 0) << Hex(c.bytes);
        if (c.digit >= 0) {
            EXPECT_EQ(v, uint32_t(c.digit));
        }
        EXPECT_EQ(Text_IsAsciiLetter(c.bytes.data(), uint32_t(c.bytes.size()), c.enc), c.letter)
            << Hex(c.bytes);
    }
    // A digit unit that is only the first unit of a longer character does not count.
    const uint8_t two[] = {'1', 0, '2', 0};
    EXPECT_FALSE(Text_DigitValue(two, 4, TEXT_ENC_UTF16LE, nullptr));
}

// ---- Views ----------------------------------------------------------------------------------

TEST(TextViews, FromCStringFindsTheTerminatorOnlyOnAUnitBoundary)
{
    struct Case {
        TextEncoding enc;
        Bytes bytes;  // with room for a terminator at the end
        uint32_t length;
    };
    const Case cases[] = {
        {TEXT_ENC_UTF16LE, {0x41, 0x00, 0x00, 0x42, 0x00, 0x00}, 4},
        {TEXT_ENC_UTF16BE, {0x00, 0x41, 0x00, 0x00}, 2},
        {TEXT_ENC_UTF32LE, {0x41, 0, 0, 0, 0, 0x42, 0, 0, 0, 0, 0, 0}, 8},
        {TEXT_ENC_UTF32BE, {0, 0, 0, 0}, 0},
        {TEXT_ENC_UTF8, {'a', 'b', 0}, 2},
        // A malformed lead right before the terminator must not carry the scan past it.
        {TEXT_ENC_UTF8, {0xF0, 0x00}, 1},
        {TEXT_ENC_SJIS, {0x82, 0x00}, 1},
        {TEXT_ENC_EUCJP, {0x8F, 0x00}, 1},
        {TEXT_ENC_UTF16LE, {0x00, 0xD8, 0x00, 0x00}, 2},
    };
    for (const Case& c : cases) {
        Exact e(c.bytes);
        TextView v;
        Text_FromCString(&v, e.data.get(), c.enc);
        EXPECT_EQ(v.length, c.length) << c.enc << " " << Hex(c.bytes);
        EXPECT_EQ(v.data, e.data.get());
    }
    TextView v{reinterpret_cast<const uint8_t*>("x"), 1};
    Text_FromCString(&v, "abc", 7);
    EXPECT_EQ(v.length, 0u);
    Text_FromCStringUtf8(&v, "hello");
    EXPECT_EQ(v.length, 5u);
}

TEST(TextViews, FromAsciiWidens)
{
    uint8_t scratch[32];
    TextView v;
    const char* lit = "a:";
    Text_FromAscii(&v, scratch, lit, TEXT_ENC_UTF8);
    EXPECT_EQ(v.data, reinterpret_cast<const uint8_t*>(lit));
    EXPECT_EQ(v.length, 2u);
    Text_FromAscii(&v, scratch, lit, TEXT_ENC_UTF16BE);
    EXPECT_EQ(BytesOf(v), (Bytes{0, 'a', 0, ':'}));
    Text_FromAscii(&v, scratch, lit, TEXT_ENC_UTF32LE);
    EXPECT_EQ(BytesOf(v), (Bytes{'a', 0, 0, 0, ':', 0, 0, 0}));
    TextView untouched{reinterpret_cast<const uint8_t*>("q"), 1};
    Text_FromAscii(&untouched, scratch, lit, 9);
    EXPECT_EQ(untouched.length, 1u);
}

TEST(TextViews, AdvanceSplitAndLastChar)
{
    Bytes text{'a', 'b', 'c'};
    TextView v = ViewOf(text);
    Text_Advance(&v, 1);
    EXPECT_EQ(BytesOf(v), (Bytes{'b', 'c'}));
    Text_Advance(&v, 10);
    EXPECT_EQ(v.length, 0u);

    TextView head, tail;
    Text_SplitAt(ViewOf(text), 2, &head, &tail);
    EXPECT_EQ(BytesOf(head), (Bytes{'a', 'b'}));
    EXPECT_EQ(BytesOf(tail), (Bytes{'c'}));
    Text_SplitAt(ViewOf(text), 9, &head, nullptr);
    EXPECT_EQ(head.length, 3u);

    struct Case {
        TextEncoding enc;
        Bytes bytes;
        uint32_t restLength;
    };
    const Case cases[] = {
        {TEXT_ENC_UTF8, {'a', 0xE3, 0x81, 0x82}, 1},
        {TEXT_ENC_UTF8, {'a', 0xE3, 0x81}, 2},  // a malformed tail counts unit by unit
        {TEXT_ENC_SJIS, {'a', 0x95, 0x5C}, 1},  // the trail "\\" is not a character of its own
        {TEXT_ENC_UTF16LE, {'a', 0, 0x3D, 0xD8, 0x00, 0xDE}, 2},
        {TEXT_ENC_UTF32BE, {0, 0, 0, 'a', 0, 0, 0, 'b'}, 4},
        {TEXT_ENC_UTF8, {}, 0},
    };
    for (const Case& c : cases) {
        Exact e(c.bytes);
        TextView rest, last;
        Text_SplitLastChar(TextView{e.data.get(), e.size}, &rest, &last, c.enc);
        EXPECT_EQ(rest.length, c.restLength) << Hex(c.bytes);
        EXPECT_EQ(last.length, e.size - c.restLength) << Hex(c.bytes);
    }
}

TEST(TextViews, CopyToCString)
{
    Bytes text{0x41, 0x00, 0x42, 0x00};
    uint8_t dst[8];
    std::memset(dst, 0xEE, sizeof dst);
    EXPECT_FALSE(Text_CopyToCString(ViewOf(text), dst, 5, TEXT_ENC_UTF16LE));
    EXPECT_EQ(dst[0], 0xEE);  // nothing copied
    ASSERT_TRUE(Text_CopyToCString(ViewOf(text), dst, 6, TEXT_ENC_UTF16LE));
    EXPECT_EQ(Bytes(dst, dst + 7), (Bytes{0x41, 0, 0x42, 0, 0, 0, 0xEE}));
    EXPECT_FALSE(Text_CopyToCString(ViewOf(text), dst, 7, TEXT_ENC_UTF32LE));
    EXPECT_TRUE(Text_CopyToCString(TextView{nullptr, 0}, dst, 1, TEXT_ENC_UTF8));
    EXPECT_FALSE(Text_CopyToCString(TextView{nullptr, 0}, dst, 0, TEXT_ENC_UTF8));
}

TEST(TextViews, ConstantsInEveryEncoding)
{
    EXPECT_EQ(BytesOf(Path_DotDot(TEXT_ENC_UTF16BE)), (Bytes{0, '.', 0, '.'}));
    EXPECT_EQ(BytesOf(Path_Dot(TEXT_ENC_SJIS)), (Bytes{'.'}));
    EXPECT_EQ(BytesOf(Text_BlankSet(TEXT_ENC_UTF32LE)), (Bytes{' ', 0, 0, 0, '\t', 0, 0, 0}));
    EXPECT_EQ(BytesOf(Text_LineBreakSet(TEXT_ENC_UTF16LE)), (Bytes{'\r', 0, '\n', 0}));
    EXPECT_EQ(BytesOf(Text_CarriageReturnView(TEXT_ENC_UTF32BE)), (Bytes{0, 0, 0, '\r'}));
    EXPECT_EQ(BytesOf(Text_LineFeedView(TEXT_ENC_EUCJP)), (Bytes{'\n'}));
    EXPECT_EQ(BytesOf(Text_BackslashView(TEXT_ENC_UTF8)), (Bytes{'\\'}));
    EXPECT_EQ(BytesOf(Text_SlashView(TEXT_ENC_UTF16BE)), (Bytes{0, '/'}));
    EXPECT_EQ(BytesOf(Text_ColonView(TEXT_ENC_UTF16LE)), (Bytes{':', 0}));
    EXPECT_EQ(BytesOf(Text_StarView(TEXT_ENC_UTF32BE)), (Bytes{0, 0, 0, '*'}));
    EXPECT_EQ(BytesOf(Text_QuestionView(TEXT_ENC_UTF8)), (Bytes{'?'}));
    EXPECT_EQ(BytesOf(Text_TerminatorView(TEXT_ENC_UTF32LE)), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(Text_TerminatorView(TEXT_ENC_UTF16BE).length, 2u);
    EXPECT_EQ(Text_TerminatorView(TEXT_ENC_SJIS).length, 1u);
    EXPECT_EQ(Text_BlankSet(7).length, 0u);

    TextView sep;
    Text_FromCString(&sep, Text_SlashCString(TEXT_ENC_UTF32BE), TEXT_ENC_UTF32BE);
    EXPECT_EQ(BytesOf(sep), (Bytes{0, 0, 0, '/'}));
    Text_FromCString(&sep, Text_BackslashCString(TEXT_ENC_UTF16LE), TEXT_ENC_UTF16LE);
    EXPECT_EQ(BytesOf(sep), (Bytes{'\\', 0}));
    Text_FromCString(&sep, Text_BackslashCString(TEXT_ENC_SJIS), TEXT_ENC_SJIS);
    EXPECT_EQ(BytesOf(sep), (Bytes{'\\'}));
    EXPECT_EQ(Text_SlashCString(7), nullptr);

    EXPECT_EQ(Bytes(Text_Terminator, Text_Terminator + 4), (Bytes{0, 0, 0, 0}));
    uint8_t t[5] = {9, 9, 9, 9, 9};
    Text_WriteTerminator(t, TEXT_ENC_UTF16BE);
    EXPECT_EQ(Bytes(t, t + 5), (Bytes{0, 0, 9, 9, 9}));
    EXPECT_FALSE(Text_StartsWithTerminator(t + 1, TEXT_ENC_UTF16LE));
    EXPECT_TRUE(Text_StartsWithTerminator(t, TEXT_ENC_UTF16LE));
    EXPECT_TRUE(Text_StartsWithTerminator(t + 1, TEXT_ENC_UTF8));
    EXPECT_FALSE(Text_StartsWithTerminator(t, TEXT_ENC_UTF32LE));
    Text_WriteTerminator(t + 1, TEXT_ENC_UTF32LE);
    EXPECT_EQ(Bytes(t, t + 5), (Bytes{0, 0, 0, 0, 0}));
}

// ---- Buffers -----------------------------------------------------------------------------------

TEST(TextBuffers, AppendIsAllOrNothingAtTheCapacity)
{
    std::vector<uint8_t> storage(4096, 'x');
    TextBuffer b;
    TextBuffer_Init(&b, storage.data(), 4092, 4096);
    const Bytes five{'1', '2', '3', '4', '5'};
    EXPECT_FALSE(TextBuffer_Append(&b, ViewOf(five)));
    EXPECT_EQ(b.length, 4092u);
    EXPECT_EQ(storage, Bytes(4096, 'x'));  // nothing written, not even into the spare room

    TextBuffer_Init(&b, storage.data(), 4090, 4096);
    EXPECT_TRUE(TextBuffer_Append(&b, ViewOf(five)));  // 4095: room for the terminator too
    EXPECT_TRUE(TextBuffer_Terminate(&b, TEXT_ENC_UTF8));

    TextBuffer_Init(&b, storage.data(), 4091, 4096);
    EXPECT_TRUE(TextBuffer_Append(&b, ViewOf(five)));
    EXPECT_EQ(b.length, 4096u);
    Bytes before = storage;
    EXPECT_FALSE(TextBuffer_Terminate(&b, TEXT_ENC_UTF8));
    EXPECT_FALSE(TextBuffer_Append(&b, ViewOf(Bytes{'z'})));
    EXPECT_TRUE(TextBuffer_Append(&b, TextView{nullptr, 0}));
    EXPECT_EQ(b.length, 4096u);
    EXPECT_EQ(storage, before);

    // Terminators of wider encodings need their whole width.
    uint8_t small[5] = {7, 7, 7, 7, 7};
    TextBuffer_Init(&b, small, 3, 5);
    EXPECT_TRUE(TextBuffer_Terminate(&b, TEXT_ENC_UTF16LE));
    EXPECT_EQ(small[3], 0);
    EXPECT_EQ(b.length, 3u);
    small[3] = small[4] = 7;
    TextBuffer_Init(&b, small, 4, 5);
    EXPECT_FALSE(TextBuffer_Terminate(&b, TEXT_ENC_UTF16LE));
    EXPECT_EQ(small[4], 7);
    EXPECT_TRUE(TextBuffer_TerminateUtf8(&b));
    EXPECT_EQ(small[4], 0);
    EXPECT_FALSE(TextBuffer_Terminate(&b, 7));

    // An empty buffer without storage takes nothing but empty text.
    TextBuffer none;
    TextBuffer_InitEmpty(&none);
    EXPECT_TRUE(TextBuffer_Append(&none, TextView{nullptr, 0}));
    EXPECT_FALSE(TextBuffer_Append(&none, ViewOf(five)));
    EXPECT_FALSE(TextBuffer_Terminate(&none, TEXT_ENC_UTF8));
}

TEST(TextBuffers, OtherAppendsAndSet)
{
    uint8_t storage[8];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    const Bytes abc{'a', 'b', 'c'}, defgh{'d', 'e', 'f', 'g', 'h'}, xyz{'x', 'y', 'z'};

    EXPECT_TRUE(TextBuffer_AppendPrefix(&b, ViewOf(abc), 2));
    EXPECT_FALSE(TextBuffer_AppendPrefix(&b, ViewOf(abc), 4));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b'}));

    // A pair that does not fit appends neither part.
    EXPECT_FALSE(TextBuffer_AppendPair(&b, ViewOf(abc), ViewOf(defgh)));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b'}));
    EXPECT_TRUE(TextBuffer_AppendPair(&b, ViewOf(abc), ViewOf(xyz)));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b', 'a', 'b', 'c', 'x', 'y', 'z'}));

    // Set and SetPair empty the buffer when the text does not fit.
    EXPECT_TRUE(TextBuffer_SetPair(&b, ViewOf(abc), ViewOf(defgh)));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_FALSE(TextBuffer_SetPair(&b, ViewOf(defgh), ViewOf(defgh)));
    EXPECT_EQ(b.length, 0u);
    EXPECT_TRUE(TextBuffer_Set(&b, ViewOf(xyz)));
    EXPECT_EQ(Contents(b), xyz);
    Bytes nine(9, 'n');
    EXPECT_FALSE(TextBuffer_Set(&b, ViewOf(nine)));
    EXPECT_EQ(b.length, 0u);

    // Set from the buffer's own tail moves the text down.
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    TextBuffer_Append(&b, ViewOf(defgh));
    EXPECT_TRUE(TextBuffer_Set(&b, TextView{storage + 2, 3}));
    EXPECT_EQ(Contents(b), (Bytes{'f', 'g', 'h'}));

    uint8_t other[4] = {'1', '2', '3', '4'};
    TextBuffer o;
    TextBuffer_Init(&o, other, 4, 4);
    EXPECT_TRUE(TextBuffer_AppendBuffer(&b, &o));
    EXPECT_EQ(Contents(b), (Bytes{'f', 'g', 'h', '1', '2', '3', '4'}));
    EXPECT_FALSE(TextBuffer_AppendBuffer(&b, &o));
    EXPECT_EQ(b.length, 7u);

    TextView v;
    EXPECT_EQ(TextBuffer_View(&b, &v), 7u);
    EXPECT_EQ(v.data, storage);
    EXPECT_EQ(v.length, 7u);
}

TEST(TextBuffers, AppendCharTakesOneWholeCharacter)
{
    uint8_t storage[8];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    EXPECT_TRUE(TextBuffer_AppendChar(&b, "\xE3\x81\x82z", TEXT_ENC_UTF8));
    EXPECT_EQ(Contents(b), (Bytes{0xE3, 0x81, 0x82}));
    const uint8_t pair16[] = {0x3D, 0xD8, 0x00, 0xDE, 'x', 0, 0, 0};
    EXPECT_TRUE(TextBuffer_AppendChar(&b, pair16, TEXT_ENC_UTF16LE));
    EXPECT_EQ(b.length, 7u);
    EXPECT_FALSE(TextBuffer_AppendChar(&b, "\xE3\x81\x82", TEXT_ENC_UTF8));  // no room
    EXPECT_EQ(b.length, 7u);
    b.length = 0;
    EXPECT_FALSE(TextBuffer_AppendChar(&b, "\xC0\xAF", TEXT_ENC_UTF8));  // malformed
    EXPECT_TRUE(TextBuffer_AppendChar(&b, "", TEXT_ENC_UTF8));
    EXPECT_EQ(b.length, 0u);
}

TEST(TextBuffers, Insert)
{
    uint8_t storage[6];
    TextBuffer b;
    TextBuffer_Init(&b, storage, 0, sizeof storage);
    TextBuffer_Append(&b, ViewOf(Bytes{'a', 'd'}));
    EXPECT_TRUE(TextBuffer_Insert(&b, 1, ViewOf(Bytes{'b', 'c'})));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_FALSE(TextBuffer_Insert(&b, 5, ViewOf(Bytes{'x'})));  // beyond the length
    EXPECT_TRUE(TextBuffer_Insert(&b, 4, ViewOf(Bytes{'e'})));   // at the length: an append
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    Bytes before(storage, storage + 6);
    EXPECT_FALSE(TextBuffer_Insert(&b, 0, ViewOf(Bytes{'y', 'z'})));
    EXPECT_EQ(Contents(b), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(Bytes(storage, storage + 6), before);
    EXPECT_TRUE(TextBuffer_Insert(&b, 0, ViewOf(Bytes{'0'})));
    EXPECT_EQ(Contents(b), (Bytes{'0', 'a', 'b', 'c', 'd', 'e'}));
}

TEST(TextBuffers, AppendAsciiCharInEveryEncoding)
{
    const std::map<TextEncoding, Bytes> expect = {
        {TEXT_ENC_SJIS, {'7'}},
        {TEXT_ENC_EUCJP, {'7'}},
        {TEXT_ENC_UTF8, {'7'}},
        {TEXT_ENC_UTF16LE, {'7', 0}},
        {TEXT_ENC_UTF16BE, {0, '7'}},
        {TEXT_ENC_UTF32LE, {'7', 0, 0, 0}},
        {TEXT_ENC_UTF32BE, {0, 0, 0, '7'}},
    };
    for (const auto& e : expect) {
        uint8_t storage[4];
        TextBuffer b;
        TextBuffer_Init(&b, storage, 0, sizeof storage);
        EXPECT_TRUE(TextBuffer_AppendAsciiChar(&b, '7', e.first));
        EXPECT_EQ(Contents(b), e.second);
        EXPECT_FALSE(TextBuffer_AppendAsciiChar(&b, 256, e.first));
        TextBuffer_Init(&b, storage, 4 - (uint32_t)e.second.size() + 1, sizeof storage);
        EXPECT_FALSE(TextBuffer_AppendAsciiChar(&b, '7', e.first));
        EXPECT_EQ(b.length, 4 - (uint32_t)e.second.size() + 1);
    }
}

TEST(TextBuffers, ReverseUnitsKeepsTheBytesOfEachUnit)
{
    struct Case {
        TextEncoding enc;
        Bytes in, out;
    };
    const Case cases[] = {
        {TEXT_ENC_UTF8, {'1', '2', '3'}, {'3', '2', '1'}},
        {TEXT_ENC_UTF16LE, {0x31, 0, 0x32, 0, 0x33, 0}, {0x33, 0, 0x32, 0, 0x31, 0}},
        {TEXT_ENC_UTF16BE, {0, 0x31, 0, 0x32}, {0, 0x32, 0, 0x31}},
        {TEXT_ENC_UTF32BE,
         {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3},
         {0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1}},
        {TEXT_ENC_UTF32LE, {1, 2, 3, 4, 5, 6, 7, 8}, {5, 6, 7, 8, 1, 2, 3, 4}},
        {TEXT_ENC_UTF16LE, {0x31, 0}, {0x31, 0}},
        {TEXT_ENC_UTF8, {}, {}},
    };
    for (const Case& c : cases) {
        Bytes storage = c.in;
        storage.resize(16, 0xEE);
        TextBuffer b;
        TextBuffer_Init(&b, storage.data(), uint32_t(c.in.size()), 16);
        TextBuffer_ReverseUnits(&b, c.enc);
        EXPECT_EQ(Contents(b), c.out) << Hex(c.in);
        EXPECT_EQ(storage[c.in.size()], 0xEE);
    }
}

TEST(TextBuffers, SubBuffersCommitOnlyWhenAsked)
{
    uint8_t storage[10];
    TextBuffer owner;
    TextBuffer_Init(&owner, storage, 0, sizeof storage);
    TextBuffer_Append(&owner, ViewOf(Bytes{'a', 'b', 'c'}));
    TextBuffer sub;
    TextBuffer_BeginSub(&owner, &sub);
    EXPECT_EQ(sub.data, storage + 3);
    EXPECT_EQ(sub.length, 0u);
    EXPECT_EQ(sub.capacity, 7u);
    TextBuffer_Append(&sub, ViewOf(Bytes{'d', 'e'}));
    EXPECT_EQ(owner.length, 3u);  // not yet committed
    TextBuffer_CommitSub(&owner, &sub);
    EXPECT_EQ(Contents(owner), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(sub.data, storage + 5);
    EXPECT_EQ(sub.length, 0u);
    EXPECT_EQ(sub.capacity, 5u);
    // A sub-buffer that is abandoned leaves the owner as it was.
    TextBuffer_Append(&sub, ViewOf(Bytes{'x'}));
    EXPECT_FALSE(TextBuffer_Append(&sub, ViewOf(Bytes(5, 'y'))));
    EXPECT_EQ(Contents(owner), (Bytes{'a', 'b', 'c', 'd', 'e'}));

    TextBuffer empty, emptySub;
    TextBuffer_InitEmpty(&empty);
    TextBuffer_BeginSub(&empty, &emptySub);
    EXPECT_EQ(emptySub.capacity, 0u);
}

TEST(TextBuffers, FillSpareAndSwap)
{
    uint8_t s1[6] = {'a', 'b', 0, 0, 0, 0};
    uint8_t s2[2] = {'z', 0};
    TextBuffer a, b;
    TextBuffer_Init(&a, s1, 2, 6);
    TextBuffer_Init(&b, s2, 1, 2);
    TextBuffer_FillSpare(&a, '-');
    EXPECT_EQ(Bytes(s1, s1 + 6), (Bytes{'a', 'b', '-', '-', '-', '-'}));
    EXPECT_EQ(a.length, 2u);
    TextBuffer_Swap(&a, &b);
    EXPECT_EQ(a.data, s2);
    EXPECT_EQ(a.length, 1u);
    EXPECT_EQ(a.capacity, 2u);
    EXPECT_EQ(b.data, s1);
    EXPECT_EQ(b.capacity, 6u);
    TextBuffer none;
    TextBuffer_InitEmpty(&none);
    TextBuffer_FillSpare(&none, 1);  // no storage: nothing to do
}
