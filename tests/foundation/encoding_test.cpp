#include "foundation/encoding.h"
#include "foundation/jis_tables.h"
#include "foundation/platform.h"
#include "foundation/text.h"
#include "support/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t kFailed = 0xFFFFFFFFu;

Bytes B(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}

std::string Hex(const Bytes& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t v : b) {
        if (!s.empty()) s += ' ';
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

TextView View(const Bytes& b)
{
    return TextView{b.empty() ? nullptr : b.data(), uint32_t(b.size())};
}

// The outcome of one conversion: whether it succeeded and the bytes it appended.
struct Outcome {
    bool ok;
    Bytes bytes;
    bool operator==(const Outcome& o) const { return ok == o.ok && (!ok || bytes == o.bytes); }
};

std::string Describe(const Outcome& o) { return o.ok ? "[" + Hex(o.bytes) + "]" : "failure"; }

// Converts into a buffer that already holds a two-byte prefix and checks the invariants every
// conversion keeps: the measured count equals the produced count, the answer is the count, and
// a failure leaves the buffer exactly as it was.
Outcome Convert(const Bytes& src, TextEncoding from, TextEncoding to)
{
    std::vector<uint8_t> storage(src.size() * 4 + 16, 0xEE);
    storage[0] = 'p';
    storage[1] = 'q';
    TextBuffer buffer;
    TextBuffer_Init(&buffer, storage.data(), 2, uint32_t(storage.size()));
    uint32_t measured = Enc_Convert(View(src), from, nullptr, to);
    uint32_t produced = Enc_Convert(View(src), from, &buffer, to);
    EXPECT_EQ(measured, produced) << Hex(src) << " from " << from << " to " << to;
    EXPECT_EQ(buffer.data, storage.data());
    EXPECT_EQ(storage[0], 'p');
    EXPECT_EQ(storage[1], 'q');
    if (produced == kFailed) {
        EXPECT_EQ(buffer.length, 2u) << Hex(src) << " from " << from << " to " << to;
        return Outcome{false, {}};
    }
    EXPECT_EQ(buffer.length, 2u + produced);
    return Outcome{true, Bytes(storage.begin() + 2, storage.begin() + 2 + produced)};
}

// ---- Record files shared with the python3 oracle ----------------------------------------

void PutU32(Bytes* out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}

void WriteRecords(const std::string& path, const std::vector<Bytes>& records)
{
    Bytes out;
    for (const Bytes& r : records) {
        PutU32(&out, uint32_t(r.size()));
        out.insert(out.end(), r.begin(), r.end());
    }
    WriteFile(path, out);
}

std::vector<Outcome> ReadOutcomes(const std::string& path)
{
    Bytes data = ReadFile(path);
    std::vector<Outcome> out;
    size_t pos = 0;
    while (pos + 4 <= data.size()) {
        uint32_t n = Bytes_LoadLe32(&data[pos]);
        pos += 4;
        if (n == kFailed) {
            out.push_back(Outcome{false, {}});
            continue;
        }
        if (pos + n > data.size()) break;
        out.push_back(Outcome{true, Bytes(data.begin() + pos, data.begin() + pos + n)});
        pos += n;
    }
    return out;
}

// One differential comparison: inputs in `from`, converted by us and by python3's codecs.
struct Job {
    std::string name;
    std::string fromCodec, toCodec;
    TextEncoding from, to;
    std::vector<Bytes> inputs;
    std::vector<Outcome> expected;
};

Bytes Utf32Le(uint32_t cp)
{
    Bytes b;
    PutU32(&b, cp);
    return b;
}

Bytes Utf16(uint32_t unit, bool bigEndian)
{
    return bigEndian ? B({int(unit >> 8), int(unit & 0xFF)})
                     : B({int(unit & 0xFF), int(unit >> 8)});
}

Bytes Cat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<Bytes> AllOneAndTwoByteInputs(const Bytes& prefix = Bytes())
{
    std::vector<Bytes> inputs;
    if (prefix.empty())
        for (int a = 0; a < 256; ++a) inputs.push_back(B({a}));
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) inputs.push_back(Cat(prefix, B({a, b})));
    return inputs;
}

// Every BMP code point (surrogates included, which every codec refuses) in a Unicode encoding.
std::vector<Bytes> AllBmp(TextEncoding enc)
{
    std::vector<Bytes> inputs;
    for (uint32_t cp = 0; cp < 0x10000; ++cp) {
        Bytes u32 = Utf32Le(cp);
        if (enc == TEXT_ENC_UTF32LE) {
            inputs.push_back(u32);
        } else if (enc == TEXT_ENC_UTF16BE) {
            inputs.push_back(Utf16(cp, true));
        } else {  // UTF-8; a surrogate is written in the (invalid) generalized form
            inputs.push_back(
                B({0xE0 | int(cp >> 12), 0x80 | int((cp >> 6) & 0x3F), 0x80 | int(cp & 0x3F)}));
            if (cp < 0x80)
                inputs.back() = B({int(cp)});
            else if (cp < 0x800)
                inputs.back() = B({0xC0 | int(cp >> 6), 0x80 | int(cp & 0x3F)});
        }
    }
    return inputs;
}

// Bytes that sit at the edges of the UTF-8 rules (ASCII, "/", NUL, each continuation range,
// the leads).
const int kUtf8Edges[] = {0x00, 0x2F, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                          0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
const uint32_t kUnits16[] = {0x0000, 0x002F, 0x0041, 0x00E9, 0x7FFF, 0xD7FF, 0xD800,
                             0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFF3C, 0xFFFF};
const uint32_t kValues32[] = {0x0,     0x41,    0xD7FF,      0xD800,     0xDBFF,   0xDC00,
                              0xDFFF,  0xE000,  0xFFFF,      0x10000,    0x10FFFF, 0x110000,
                              0xFFFFF, 0x1F600, 0x80000000u, 0xFFFFFFFFu};

std::vector<Bytes> Utf8Inputs()
{
    std::vector<Bytes> inputs = AllOneAndTwoByteInputs();
    for (int a = 0; a < 256; ++a)
        for (int b : kUtf8Edges)
            for (int c : kUtf8Edges) inputs.push_back(B({a, b, c}));
    for (int a : {0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF})
        for (int b : kUtf8Edges)
            for (int c : kUtf8Edges)
                for (int d : kUtf8Edges) inputs.push_back(B({a, b, c, d}));
    return inputs;
}

std::vector<Bytes> Utf16Inputs(bool bigEndian)
{
    std::vector<Bytes> inputs{B({0x41}), B({0x41, 0x00, 0x42})};
    for (uint32_t a : kUnits16) {
        inputs.push_back(Utf16(a, bigEndian));
        inputs.push_back(Cat(Utf16(a, bigEndian), B({0x00})));
        for (uint32_t b : kUnits16) {
            inputs.push_back(Cat(Utf16(a, bigEndian), Utf16(b, bigEndian)));
            for (uint32_t c : kUnits16)
                inputs.push_back(
                    Cat(Cat(Utf16(a, bigEndian), Utf16(b, bigEndian)), Utf16(c, bigEndian)));
        }
    }
    return inputs;
}

std::vector<Bytes> Utf32Inputs(bool bigEndian)
{
    std::vector<Bytes> inputs{B({0x41}), B({0x41, 0, 0}), B({0x41, 0, 0, 0, 0x42})};
    for (uint32_t a : kValues32) {
        Bytes ea = Utf32Le(a);
        if (bigEndian) ea = B({ea[3], ea[2], ea[1], ea[0]});
        inputs.push_back(ea);
        for (uint32_t b : kValues32) {
            Bytes eb = Utf32Le(b);
            if (bigEndian) eb = B({eb[3], eb[2], eb[1], eb[0]});
            inputs.push_back(Cat(ea, eb));
        }
    }
    return inputs;
}

// Every Unicode scalar value in one UTF-32LE string.
Bytes AllScalarsUtf32Le()
{
    Bytes out;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp)
        if (cp < 0xD800 || cp > 0xDFFF) PutU32(&out, cp);
    return out;
}

// The jobs the differential tests draw on: inputs in `from`, converted by us into `to` and by
// python3 from `fromCodec` into `toCodec`.
struct JobDef {
    const char* name;
    const char* fromCodec;
    TextEncoding from;
    const char* toCodec;
    TextEncoding to;
    std::vector<Bytes> (*inputs)();
};

std::vector<Bytes> OneAndTwoBytes() { return AllOneAndTwoByteInputs(); }
std::vector<Bytes> EucJisX0212() { return AllOneAndTwoByteInputs(B({0x8F})); }
std::vector<Bytes> BmpUtf32Le() { return AllBmp(TEXT_ENC_UTF32LE); }
std::vector<Bytes> Utf16LeInputs() { return Utf16Inputs(false); }
std::vector<Bytes> Utf16BeInputs() { return Utf16Inputs(true); }
std::vector<Bytes> Utf32LeInputs() { return Utf32Inputs(false); }
std::vector<Bytes> Utf32BeInputs() { return Utf32Inputs(true); }
std::vector<Bytes> AllScalars() { return {AllScalarsUtf32Le()}; }

const JobDef kJobs[] = {
    {"sjis-utf32", "shift_jis", TEXT_ENC_SJIS, "utf-32-le", TEXT_ENC_UTF32LE, OneAndTwoBytes},
    {"sjis-euc", "shift_jis", TEXT_ENC_SJIS, "euc_jp", TEXT_ENC_EUCJP, OneAndTwoBytes},
    {"euc-utf16", "euc_jp", TEXT_ENC_EUCJP, "utf-16-be", TEXT_ENC_UTF16BE, OneAndTwoBytes},
    {"euc-sjis", "euc_jp", TEXT_ENC_EUCJP, "shift_jis", TEXT_ENC_SJIS, OneAndTwoBytes},
    {"euc3-utf8", "euc_jp", TEXT_ENC_EUCJP, "utf-8", TEXT_ENC_UTF8, EucJisX0212},
    {"euc3-sjis", "euc_jp", TEXT_ENC_EUCJP, "shift_jis", TEXT_ENC_SJIS, EucJisX0212},
    {"bmp-sjis", "utf-32-le", TEXT_ENC_UTF32LE, "shift_jis", TEXT_ENC_SJIS, BmpUtf32Le},
    {"bmp-euc", "utf-32-le", TEXT_ENC_UTF32LE, "euc_jp", TEXT_ENC_EUCJP, BmpUtf32Le},
    {"utf8-utf32", "utf-8", TEXT_ENC_UTF8, "utf-32-le", TEXT_ENC_UTF32LE, Utf8Inputs},
    {"utf16le-utf8", "utf-16-le", TEXT_ENC_UTF16LE, "utf-8", TEXT_ENC_UTF8, Utf16LeInputs},
    {"utf16le-utf16be", "utf-16-le", TEXT_ENC_UTF16LE, "utf-16-be", TEXT_ENC_UTF16BE,
     Utf16LeInputs},
    {"utf16be-utf32le", "utf-16-be", TEXT_ENC_UTF16BE, "utf-32-le", TEXT_ENC_UTF32LE,
     Utf16BeInputs},
    {"utf32le-utf16le", "utf-32-le", TEXT_ENC_UTF32LE, "utf-16-le", TEXT_ENC_UTF16LE,
     Utf32LeInputs},
    {"utf32le-utf32be", "utf-32-le", TEXT_ENC_UTF32LE, "utf-32-be", TEXT_ENC_UTF32BE,
     Utf32LeInputs},
    {"utf32be-utf8", "utf-32-be", TEXT_ENC_UTF32BE, "utf-8", TEXT_ENC_UTF8, Utf32BeInputs},
    {"all-utf16be", "utf-32-le", TEXT_ENC_UTF32LE, "utf-16-be", TEXT_ENC_UTF16BE, AllScalars},
    {"all-utf8", "utf-32-le", TEXT_ENC_UTF32LE, "utf-8", TEXT_ENC_UTF8, AllScalars},
};

// Each test asks python3 (one process) for the expected outcomes of the jobs it compares.
class EncodingOracle : public ::testing::Test {
protected:
    std::map<std::string, Job> jobs_;

    // False (the test then returns) when python3 is missing or failed.
    bool Prepare(std::initializer_list<const char*> names)
    {
        RunOracle(names);
        return !HasFatalFailure() && !IsSkipped();
    }

    void RunOracle(std::initializer_list<const char*> names)
    {
        if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not available";
        TempDir dir;
        std::string jobList;
        for (const char* name : names) {
            const JobDef* def = nullptr;
            for (const JobDef& s : kJobs)
                if (std::string(s.name) == name) def = &s;
            ASSERT_NE(def, nullptr) << name;
            Job& job = jobs_[name];
            job = Job{name, def->fromCodec, def->toCodec, def->from, def->to, def->inputs(), {}};
            WriteRecords(dir.file(job.name + ".in"), job.inputs);
            jobList += job.fromCodec + " " + job.toCodec + " " + dir.file(job.name + ".in") + " " +
                       dir.file(job.name + ".out") + "\n";
        }
        WriteText(dir.file("jobs"), jobList);
        std::string script = std::string(VDX_TEST_SOURCE_DIR) + "/foundation/encoding_oracle.py";
        ASSERT_EQ(RunCommand("python3 " + Quote(script) + " " + Quote(dir.file("jobs"))), 0);
        for (const char* name : names) {
            Job& job = jobs_[name];
            job.expected = ReadOutcomes(dir.file(job.name + ".out"));
            ASSERT_EQ(job.expected.size(), job.inputs.size()) << name;
        }
    }

    // Compares every record of a job (optionally with other inputs in another encoding that
    // stand for the same texts); `allowed` may accept a known, explained difference. Answers the
    // number of records that differ from the oracle without being allowed.
    template <typename Allowed>
    size_t Compare(const std::string& name, Allowed allowed,
                   const std::vector<Bytes>* inputs = nullptr, TextEncoding from = TEXT_ENC_COUNT,
                   size_t* allowedCount = nullptr)
    {
        const Job& job = jobs_.at(name);
        if (!inputs) {
            inputs = &job.inputs;
            from = job.from;
        }
        size_t mismatches = 0;
        for (size_t i = 0; i < inputs->size(); ++i) {
            Outcome got = Convert((*inputs)[i], from, job.to);
            if (got == job.expected[i]) continue;
            if (allowed((*inputs)[i], got, job.expected[i])) {
                if (allowedCount) ++*allowedCount;
                continue;
            }
            if (++mismatches <= 10)
                ADD_FAILURE() << name << ": input " << Hex((*inputs)[i]) << " gave "
                              << Describe(got) << ", python3 gives " << Describe(job.expected[i]);
        }
        return mismatches;
    }

    size_t Compare(const std::string& name)
    {
        return Compare(name, [](const Bytes&, const Outcome&, const Outcome&) { return false; });
    }
};

// The Shift_JIS bytes of a JIS X 0208 row and cell, by the standard arithmetic.
Bytes SjisOf(int row, int cell)
{
    int lead = ((row + 1) >> 1) + (row <= 0x5E ? 0x70 : 0xB0);
    int trail = (row & 1) ? cell + (cell >= 0x60 ? 0x20 : 0x1F) : cell + 0x7E;
    return B({lead, trail});
}

// ---- Differential tests against python3 -------------------------------------------------

TEST_F(EncodingOracle, ShiftJisDecodesLikePythonForEveryOneAndTwoByteInput)
{
    if (!Prepare({"sjis-utf32"})) return;
    EXPECT_EQ(Compare("sjis-utf32"), 0u);
}

TEST_F(EncodingOracle, EucJpDecodesLikePythonForEveryJisX0208AndX0212Cell)
{
    if (!Prepare({"euc-utf16", "euc3-utf8"})) return;
    EXPECT_EQ(Compare("euc-utf16"), 0u);
    EXPECT_EQ(Compare("euc3-utf8"), 0u);
}

// python3 encodes U+00A5 (yen sign) and U+203E (overline) one way into the ASCII bytes 5C and 7E;
// the tables here keep 0x00-0x7F as ASCII, so those two code points have no Japanese form.
bool OneWayPythonFallback(const Bytes&, const Outcome& got, const Outcome& expected)
{
    return !got.ok && expected.ok && expected.bytes.size() == 1 &&
           (expected.bytes[0] == 0x5C || expected.bytes[0] == 0x7E);
}

TEST_F(EncodingOracle, EveryBmpCodePointEncodesLikePython)
{
    if (!Prepare({"bmp-sjis", "bmp-euc"})) return;
    for (TextEncoding from : {TEXT_ENC_UTF32LE, TEXT_ENC_UTF16BE, TEXT_ENC_UTF8}) {
        std::vector<Bytes> inputs = AllBmp(from);
        for (const char* name : {"bmp-sjis", "bmp-euc"}) {
            size_t fallbacks = 0;
            EXPECT_EQ(Compare(name, OneWayPythonFallback, &inputs, from, &fallbacks), 0u)
                << name << " from " << from;
            EXPECT_EQ(fallbacks, 2u) << name << " from " << from;
        }
    }
}

TEST_F(EncodingOracle, ShiftJisToEucJpDirectlyMatchesPythonAndKeepsUnmappedCells)
{
    if (!Prepare({"sjis-euc", "euc-sjis", "euc3-sjis"})) return;
    // The direct path moves row and cell without the Unicode tables, so a cell that JIS X 0208
    // leaves unmapped still converts (python3 refuses it); everything else matches.
    auto unmappedCell = [](const Bytes& in, const Outcome& got, const Outcome& expected) {
        if (expected.ok || !got.ok || in.size() != 2) return false;
        uint32_t row, cell;
        if (!Text_SjisToJis(in[0], in[1], &row, &cell)) return false;
        return got.bytes == B({int(row | 0x80), int(cell | 0x80)}) &&
               Jis_X0208ToUnicode[(row - 0x21) * 94 + cell - 0x21] == 0;
    };
    EXPECT_EQ(Compare("sjis-euc", unmappedCell), 0u);
    auto unmappedEuc = [](const Bytes& in, const Outcome& got, const Outcome& expected) {
        if (expected.ok || !got.ok || in.size() != 2 || in[0] < 0xA1 || in[1] < 0xA1) return false;
        return got.bytes == SjisOf(in[0] - 0x80, in[1] - 0x80) &&
               Jis_X0208ToUnicode[(in[0] - 0xA1) * 94 + in[1] - 0xA1] == 0;
    };
    EXPECT_EQ(Compare("euc-sjis", unmappedEuc), 0u);
    // JIS X 0212 characters have no Shift_JIS form. python3 decodes one of them (0x2237) to "~"
    // and then finds that in ASCII; the direct path refuses all of them.
    const Job& job = jobs_.at("euc3-sjis");
    size_t pythonAccepts = 0, accepted = 0;
    for (size_t i = 0; i < job.inputs.size(); ++i) {
        if (Convert(job.inputs[i], TEXT_ENC_EUCJP, TEXT_ENC_SJIS).ok) ++accepted;
        if (job.expected[i].ok) ++pythonAccepts;
    }
    EXPECT_EQ(accepted, 0u);
    EXPECT_EQ(pythonAccepts, 1u);
}

TEST_F(EncodingOracle, Utf8IsDecodedAsStrictlyAsPython)
{
    if (!Prepare({"utf8-utf32"})) return;
    EXPECT_EQ(Compare("utf8-utf32"), 0u);
    // The same inputs into UTF-16BE fail and succeed alike.
    const Job& job = jobs_.at("utf8-utf32");
    size_t differ = 0;
    for (size_t i = 0; i < job.inputs.size(); ++i)
        if (Convert(job.inputs[i], TEXT_ENC_UTF8, TEXT_ENC_UTF16BE).ok != job.expected[i].ok)
            ++differ;
    EXPECT_EQ(differ, 0u);
}

TEST_F(EncodingOracle, Utf16AndUtf32RejectLoneSurrogatesLikePython)
{
    if (!Prepare({"utf16le-utf8", "utf16le-utf16be", "utf16be-utf32le", "utf32le-utf16le",
                  "utf32le-utf32be", "utf32be-utf8"}))
        return;
    for (const char* name : {"utf16le-utf8", "utf16le-utf16be", "utf16be-utf32le",
                             "utf32le-utf16le", "utf32le-utf32be", "utf32be-utf8"})
        EXPECT_EQ(Compare(name), 0u) << name;
}

TEST_F(EncodingOracle, EveryScalarValueConvertsLikePython)
{
    if (!Prepare({"all-utf16be", "all-utf8"})) return;
    for (const char* name : {"all-utf16be", "all-utf8"}) EXPECT_EQ(Compare(name), 0u) << name;
}

// ---- Round trips ------------------------------------------------------------------------

TEST(EncodingRoundTrip, EveryScalarValueSurvivesAllUnicodeEncodings)
{
    Bytes all = AllScalarsUtf32Le();
    // Each Unicode encoding once as destination and once as source.
    const TextEncoding chain[] = {TEXT_ENC_UTF16BE, TEXT_ENC_UTF8, TEXT_ENC_UTF32BE,
                                  TEXT_ENC_UTF16LE, TEXT_ENC_UTF32LE};
    Bytes current = all;
    TextEncoding enc = TEXT_ENC_UTF32LE;
    for (TextEncoding next : chain) {
        Outcome o = Convert(current, enc, next);
        ASSERT_TRUE(o.ok) << enc << " -> " << next;
        current = o.bytes;
        enc = next;
    }
    EXPECT_TRUE(current == all);
}

TEST(EncodingRoundTrip, EveryMappedJisCellSurvivesEveryEncoding)
{
    // Each mapped cell of JIS X 0208 (Shift_JIS and EUC-JP) and JIS X 0212 (EUC-JP only),
    // through each Unicode encoding and back.
    for (int table = 0; table < 2; ++table) {
        const uint16_t* fwd = table == 0 ? Jis_X0208ToUnicode : Jis_X0212ToUnicode;
        for (int row = 0x21; row <= 0x7E; ++row) {
            for (int cell = 0x21; cell <= 0x7E; ++cell) {
                uint32_t cp = fwd[(row - 0x21) * 94 + cell - 0x21];
                // JIS X 0212 0x2237 is the tilde, which EUC-JP writes as its ASCII byte.
                if (!cp || cp < 0x80) continue;
                Bytes euc =
                    table == 0 ? B({row | 0x80, cell | 0x80}) : B({0x8F, row | 0x80, cell | 0x80});
                for (TextEncoding uni = TEXT_ENC_UTF8; uni <= TEXT_ENC_UTF32BE; ++uni) {
                    Outcome u = Convert(euc, TEXT_ENC_EUCJP, uni);
                    ASSERT_TRUE(u.ok);
                    Outcome back = Convert(u.bytes, uni, TEXT_ENC_EUCJP);
                    ASSERT_TRUE(back.ok && back.bytes == euc) << Hex(euc) << " via " << uni;
                    if (table == 0) {
                        Outcome sj = Convert(u.bytes, uni, TEXT_ENC_SJIS);
                        ASSERT_TRUE(sj.ok && sj.bytes == SjisOf(row, cell)) << Hex(euc);
                    }
                }
            }
        }
    }
}

// ---- Tables -----------------------------------------------------------------------------

TEST(EncodingTables, CountsAndInversesHold)
{
    struct {
        const uint16_t* fwd;
        const uint16_t* const* pages;
        size_t mapped, pageCount;
    } tables[] = {{Jis_X0208ToUnicode, Jis_UnicodeToX0208Pages, 6879, 93},
                  {Jis_X0212ToUnicode, Jis_UnicodeToX0212Pages, 6067, 88}};
    for (auto& t : tables) {
        size_t mapped = 0, pages = 0, reverse = 0;
        for (int i = 0; i < JIS_TABLE_SIZE; ++i) {
            uint32_t cp = t.fwd[i];
            if (!cp) continue;
            ++mapped;
            ASSERT_NE(t.pages[cp >> 8], nullptr);
            EXPECT_EQ(t.pages[cp >> 8][cp & 0xFF], ((i / 94 + 0x21) << 8) | (i % 94 + 0x21));
        }
        for (int p = 0; p < 256; ++p) {
            if (!t.pages[p]) continue;
            ++pages;
            for (int lo = 0; lo < 256; ++lo) reverse += t.pages[p][lo] != 0;
        }
        EXPECT_EQ(mapped, t.mapped);
        EXPECT_EQ(reverse, t.mapped);
        EXPECT_EQ(pages, t.pageCount);
    }
    // The full-width backslash: no Shift_JIS or EUC-JP name ever gains a path separator.
    EXPECT_EQ(Jis_X0208ToUnicode[(0x21 - 0x21) * 94 + (0x40 - 0x21)], 0xFF3C);
}

TEST(EncodingTables, GeneratorReproducesTheCommittedTables)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not available";
    TempDir dir;
    std::string root = std::string(VDX_TEST_SOURCE_DIR) + "/..";
    std::string out = dir.file("jis_tables.cpp");
    ASSERT_EQ(RunCommand("python3 " + Quote(root + "/tools/gen_jis_tables.py") + " " + Quote(out)),
              0);
    EXPECT_TRUE(ReadFile(out) == ReadFile(root + "/foundation/jis_tables.cpp"));
}

// ---- Individual cases -------------------------------------------------------------------

struct Case {
    const char* what;
    Bytes src;
    TextEncoding from, to;
    bool ok;
    Bytes expected;
};

const TextEncoding SJ = TEXT_ENC_SJIS, EU = TEXT_ENC_EUCJP, U8 = TEXT_ENC_UTF8,
                   L16 = TEXT_ENC_UTF16LE, B16 = TEXT_ENC_UTF16BE, L32 = TEXT_ENC_UTF32LE,
                   B32 = TEXT_ENC_UTF32BE;

void RunCases(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        Outcome o = Convert(c.src, c.from, c.to);
        EXPECT_EQ(o.ok, c.ok) << c.what;
        if (c.ok && o.ok) {
            EXPECT_EQ(Hex(o.bytes), Hex(c.expected)) << c.what;
        }
    }
}

TEST(EncodingConvert, KnownConversions)
{
    RunCases({
        {"A and euro sign to UTF-16BE", B({0x41, 0xE2, 0x82, 0xAC}), U8, B16, true,
         B({0x00, 0x41, 0x20, 0xAC})},
        {"emoji to UTF-16LE pair", B({0xF0, 0x9F, 0x98, 0x80}), U8, L16, true,
         B({0x3D, 0xD8, 0x00, 0xDE})},
        {"emoji to UTF-32BE", B({0xF0, 0x9F, 0x98, 0x80}), U8, B32, true,
         B({0x00, 0x01, 0xF6, 0x00})},
        {"emoji has no Shift_JIS form", B({0xF0, 0x9F, 0x98, 0x80}), U8, SJ, false, {}},
        {"emoji in UTF-16 has no EUC-JP form", B({0x3D, 0xD8, 0x00, 0xDE}), L16, EU, false, {}},
        {"emoji in UTF-32 has no Shift_JIS form", B({0x00, 0xF6, 0x01, 0x00}), L32, SJ, false, {}},
        {"Shift_JIS 889F is U+4E9C", B({0x88, 0x9F}), SJ, U8, true, B({0xE4, 0xBA, 0x9C})},
        {"Shift_JIS E040 is row 5F cell 21", B({0xE0, 0x40}), SJ, U8, true, B({0xE6, 0xBC, 0xBE})},
        {"Shift_JIS EFFC is the last cell, unmapped", B({0xEF, 0xFC}), SJ, U8, false, {}},
        {"half-width katakana to UTF-8", B({0xB1}), SJ, U8, true, B({0xEF, 0xBD, 0xB1})},
        {"half-width katakana to EUC-JP", B({0xB1}), SJ, EU, true, B({0x8E, 0xB1})},
        {"EUC-JP kana back to one byte", B({0x8E, 0xB1}), EU, SJ, true, B({0xB1})},
        {"NUL is a character", B({0x00, 0x41}), SJ, L16, true, B({0x00, 0x00, 0x41, 0x00})},
        {"JIS X 0212 only character into EUC-JP", B({0x02, 0x4E}), L16, EU, true,
         B({0x8F, 0xB0, 0xA1})},
        {"JIS X 0212 character has no Shift_JIS form", B({0x8F, 0xB0, 0xA1}), EU, SJ, false, {}},
        {"JIS X 0212 character through Unicode to Shift_JIS", B({0x02, 0x4E}), L16, SJ, false, {}},
        {"full-width backslash from Shift_JIS", B({0x81, 0x5F}), SJ, U8, true,
         B({0xEF, 0xBC, 0xBC})},
        {"full-width backslash from EUC-JP", B({0xA1, 0xC0}), EU, L16, true, B({0x3C, 0xFF})},
        {"full-width backslash into Shift_JIS", B({0xEF, 0xBC, 0xBC}), U8, SJ, true,
         B({0x81, 0x5F})},
        {"ASCII backslash stays one byte", B({0x5C}), U8, SJ, true, B({0x5C})},
        {"yen sign has no Shift_JIS form", B({0xC2, 0xA5}), U8, SJ, false, {}},
        {"tilde into EUC-JP is ASCII, not JIS X 0212", B({0x7E}), U8, EU, true, B({0x7E})},
        {"UTF-16 byte swap", B({0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE}), L16, B16, true,
         B({0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00})},
        {"UTF-32 byte swap", B({0x41, 0x00, 0x00, 0x00}), L32, B32, true,
         B({0x00, 0x00, 0x00, 0x41})},
        {"UTF-16 pair to UTF-32", B({0xD8, 0x3D, 0xDE, 0x00}), B16, L32, true,
         B({0x00, 0xF6, 0x01, 0x00})},
        {"same encoding is a plain append", B({0x88, 0x9F, 0xB1}), SJ, SJ, true,
         B({0x88, 0x9F, 0xB1})},
    });
}

TEST(EncodingConvert, MalformedInputFails)
{
    RunCases({
        // Row and cell are each checked against 0x21-0x7E, on every path.
        {"Shift_JIS lead F0 gives row 7F", B({0xF0, 0x40}), SJ, U8, false, {}},
        {"Shift_JIS lead F0 directly to EUC-JP", B({0xF0, 0x40}), SJ, EU, false, {}},
        {"Shift_JIS FC FC", B({0xFC, 0xFC}), SJ, L32, false, {}},
        {"Shift_JIS FC FC directly to EUC-JP", B({0xFC, 0xFC}), SJ, EU, false, {}},
        {"Shift_JIS trail 7F", B({0x88, 0x7F}), SJ, U8, false, {}},
        {"Shift_JIS trail FD", B({0x88, 0xFD}), SJ, EU, false, {}},
        {"Shift_JIS lead at the end", B({0x41, 0x88}), SJ, U8, false, {}},
        {"Shift_JIS lead at the end to EUC-JP", B({0x41, 0x88}), SJ, EU, false, {}},
        {"Shift_JIS 80", B({0x80}), SJ, U8, false, {}},
        {"Shift_JIS A0", B({0xA0}), SJ, EU, false, {}},
        {"Shift_JIS FD", B({0xFD}), SJ, U8, false, {}},
        {"EUC-JP row 7D cell FF", B({0xFD, 0xFF}), EU, U8, false, {}},
        {"EUC-JP row 7D cell FF directly to Shift_JIS", B({0xFD, 0xFF}), EU, SJ, false, {}},
        {"EUC-JP row FF", B({0xFF, 0xA1}), EU, SJ, false, {}},
        {"EUC-JP cell below A1", B({0xB0, 0x41}), EU, SJ, false, {}},
        {"EUC-JP 0212 cell FF", B({0x8F, 0xFE, 0xFF}), EU, U8, false, {}},
        {"EUC-JP 0212 truncated", B({0x8F, 0xB0}), EU, U8, false, {}},
        {"EUC-JP kana E0", B({0x8E, 0xE0}), EU, SJ, false, {}},
        {"EUC-JP kana truncated", B({0x8E}), EU, U8, false, {}},
        {"EUC-JP unmapped in-range cell", B({0xFE, 0xFE}), EU, U8, false, {}},
        {"EUC-JP 8F to Shift_JIS", B({0x8F, 0xA2, 0xAF}), EU, SJ, false, {}},
        // Strict UTF-8.
        {"overlong slash", B({0xC0, 0xAF}), U8, L16, false, {}},
        {"overlong NUL", B({0xC0, 0x80}), U8, L32, false, {}},
        {"overlong three-byte", B({0xE0, 0x80, 0xAF}), U8, L16, false, {}},
        {"overlong four-byte", B({0xF0, 0x80, 0x80, 0xAF}), U8, L16, false, {}},
        {"lead swallowing a slash", B({0xC3, 0x2F, 0x41}), U8, L16, false, {}},
        {"lead swallowing NUL", B({0xE3, 0x81, 0x00}), U8, SJ, false, {}},
        {"UTF-8 surrogate", B({0xED, 0xA0, 0x80}), U8, L16, false, {}},
        {"above U+10FFFF", B({0xF4, 0x90, 0x80, 0x80}), U8, L32, false, {}},
        {"F5 lead", B({0xF5, 0x80, 0x80, 0x80}), U8, L32, false, {}},
        {"lone continuation", B({0x80}), U8, L32, false, {}},
        {"truncated sequence", B({0xE3, 0x81}), U8, L32, false, {}},
        {"largest scalar", B({0xF4, 0x8F, 0xBF, 0xBF}), U8, L32, true, B({0xFF, 0xFF, 0x10, 0x00})},
        // Lone surrogates in UTF-16 and UTF-32 alike.
        {"UTF-16 high surrogate at the end", B({0x41, 0x00, 0x3D, 0xD8}), L16, U8, false, {}},
        {"UTF-16 lone low surrogate", B({0x00, 0xDC, 0x41, 0x00}), L16, U8, false, {}},
        {"UTF-16 lone low surrogate byte swap", B({0x00, 0xDC}), L16, B16, false, {}},
        {"UTF-16 odd length", B({0x41, 0x00, 0x42}), L16, U8, false, {}},
        {"UTF-32 surrogate to UTF-16", B({0x00, 0xD8, 0x00, 0x00}), L32, L16, false, {}},
        {"UTF-32 surrogate to UTF-8", B({0x00, 0x00, 0xDF, 0xFF}), B32, U8, false, {}},
        {"UTF-32 surrogate byte swap", B({0x00, 0xDC, 0x00, 0x00}), L32, B32, false, {}},
        {"UTF-32 above U+10FFFF", B({0x00, 0x00, 0x11, 0x00}), L32, U8, false, {}},
        {"UTF-32 length 3", B({0x41, 0x00, 0x00}), L32, U8, false, {}},
    });
}

TEST(EncodingConvert, EmptyViewConvertsToNothingInEveryPair)
{
    for (TextEncoding from = 0; from < TEXT_ENC_COUNT; ++from) {
        for (TextEncoding to = 0; to < TEXT_ENC_COUNT; ++to) {
            TextView empty;
            Text_InitEmpty(&empty);
            EXPECT_EQ(Enc_Convert(empty, from, nullptr, to), 0u);
            TextBuffer buffer;
            TextBuffer_InitEmpty(&buffer);
            EXPECT_EQ(Enc_Convert(empty, from, &buffer, to), 0u);
            EXPECT_EQ(buffer.length, 0u);
        }
    }
}

TEST(EncodingConvert, EncodingAboveSixFails)
{
    Bytes a = B({0x41});
    uint8_t storage[8];
    TextBuffer buffer;
    TextBuffer_Init(&buffer, storage, 0, sizeof storage);
    EXPECT_EQ(Enc_Convert(View(a), 7, &buffer, TEXT_ENC_UTF8), kFailed);
    EXPECT_EQ(Enc_Convert(View(a), TEXT_ENC_UTF8, &buffer, 7), kFailed);
    EXPECT_EQ(Enc_Convert(TextView{nullptr, 0}, TEXT_ENC_UTF8, &buffer, 0xFFFFFFFFu), kFailed);
    EXPECT_EQ(buffer.length, 0u);
}

TEST(EncodingConvert, FullBufferFailsAsAWholeAndFitsExactly)
{
    // "aあ€" in UTF-8 into several destinations; the buffer is one byte short, then exact.
    Bytes src = B({0x61, 0xE3, 0x81, 0x82, 0xE2, 0x82, 0xAC});
    for (TextEncoding to : {TEXT_ENC_UTF16LE, TEXT_ENC_UTF32BE, TEXT_ENC_UTF8}) {
        uint32_t need = Enc_Convert(View(src), TEXT_ENC_UTF8, nullptr, to);
        ASSERT_NE(need, kFailed);
        std::vector<uint8_t> storage(3 + need, 0xEE);
        memcpy(storage.data(), "abc", 3);
        TextBuffer buffer;
        TextBuffer_Init(&buffer, storage.data(), 3, 3 + need - 1);
        EXPECT_FALSE(Enc_ConvertAppend(&buffer, to, View(src), TEXT_ENC_UTF8));
        EXPECT_EQ(buffer.length, 3u);
        EXPECT_EQ(memcmp(storage.data(), "abc", 3), 0);
        buffer.capacity = 3 + need;
        EXPECT_TRUE(Enc_ConvertAppend(&buffer, to, View(src), TEXT_ENC_UTF8));
        EXPECT_EQ(buffer.length, 3u + need);
    }
    // Into Shift_JIS the euro sign has no form: the failure also leaves the buffer as it was.
    uint8_t storage[16];
    TextBuffer buffer;
    TextBuffer_Init(&buffer, storage, 0, sizeof storage);
    EXPECT_EQ(Enc_Convert(View(src), TEXT_ENC_UTF8, &buffer, TEXT_ENC_SJIS), kFailed);
    EXPECT_EQ(buffer.length, 0u);
    // A buffer whose length already exceeds its capacity takes nothing.
    buffer = TextBuffer{storage, 10, 8};
    EXPECT_EQ(Enc_Convert(View(src), TEXT_ENC_UTF8, &buffer, TEXT_ENC_UTF8), kFailed);
    EXPECT_EQ(buffer.length, 10u);
}

TEST(EncodingConvert, AllocTerminatesAndFailsCleanly)
{
    Bytes src = B({0x88, 0x9F, 0xB1});
    for (TextEncoding to = 0; to < TEXT_ENC_COUNT; ++to) {
        TextView out{nullptr, 12345};
        ASSERT_TRUE(Enc_ConvertAlloc(&out, to, View(src), TEXT_ENC_SJIS)) << to;
        uint32_t unit = Text_UnitSize(to);
        EXPECT_EQ(out.length, Enc_Convert(View(src), TEXT_ENC_SJIS, nullptr, to));
        for (uint32_t i = 0; i < unit; ++i) EXPECT_EQ(out.data[out.length + i], 0) << to;
        Outcome direct = Convert(src, TEXT_ENC_SJIS, to);
        EXPECT_TRUE(direct.ok && Bytes(out.data, out.data + out.length) == direct.bytes);
        Mem_Free(const_cast<uint8_t*>(out.data));
    }
    TextView empty{nullptr, 0}, out{nullptr, 7};
    ASSERT_TRUE(Enc_ConvertAlloc(&out, TEXT_ENC_UTF32LE, empty, TEXT_ENC_UTF8));
    EXPECT_EQ(out.length, 0u);
    ASSERT_NE(out.data, nullptr);
    EXPECT_EQ(memcmp(out.data, "\0\0\0\0", 4), 0);
    Mem_Free(const_cast<uint8_t*>(out.data));

    Bytes bad = B({0xC0, 0xAF});
    out = TextView{bad.data(), 99};
    EXPECT_FALSE(Enc_ConvertAlloc(&out, TEXT_ENC_UTF16LE, View(bad), TEXT_ENC_UTF8));
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.length, 0u);
}

}  // namespace
