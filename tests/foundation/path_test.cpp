// Paths in both styles and all encodings: splitting, validity, normalisation, absolute and
// relative forms, suffix renderings, and a differential check against python3's posixpath.
#include "foundation/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "support/test_support.h"

namespace {

const TextEncoding kAllEncodings[] = {TEXT_ENC_SJIS,    TEXT_ENC_EUCJP,   TEXT_ENC_UTF8,
                                      TEXT_ENC_UTF16LE, TEXT_ENC_UTF16BE, TEXT_ENC_UTF32LE,
                                      TEXT_ENC_UTF32BE};

// An ASCII text rendered in an encoding.
std::string Widen(const std::string& ascii, TextEncoding encoding)
{
    uint32_t unit = encoding <= TEXT_ENC_UTF8 ? 1 : encoding <= TEXT_ENC_UTF16BE ? 2 : 4;
    bool bigEndian = encoding == TEXT_ENC_UTF16BE || encoding == TEXT_ENC_UTF32BE;
    std::string out;
    for (char c : ascii) {
        std::string u(unit, '\0');
        u[bigEndian ? unit - 1 : 0] = c;
        out += u;
    }
    return out;
}

TextView View(const std::string& s)
{
    TextView v;
    v.data = reinterpret_cast<const uint8_t*>(s.data());
    v.length = static_cast<uint32_t>(s.size());
    return v;
}

// A view over a literal (not over a temporary string, which would not outlive the call).
TextView View(const char* s)
{
    TextView v;
    v.data = reinterpret_cast<const uint8_t*>(s);
    v.length = static_cast<uint32_t>(std::strlen(s));
    return v;
}

std::string Str(TextView v)
{
    return v.length == 0 ? std::string()
                         : std::string(reinterpret_cast<const char*>(v.data), v.length);
}

// A buffer with its own storage.
struct Buffer {
    std::vector<uint8_t> storage;
    TextBuffer buffer;
    explicit Buffer(uint32_t capacity = 4096) : storage(capacity)
    {
        TextBuffer_Init(&buffer, storage.data(), 0, capacity);
    }
    std::string Contents() const
    {
        return std::string(storage.begin(), storage.begin() + buffer.length);
    }
};

const char* const kFail = "<fail>";

struct NormalizeCase {
    const char* input;
    bool posix;
    const char* expected;  // kFail when the call must fail
};

const NormalizeCase kNormalizeCases[] = {
    {"/a/./b/../c", true, "/a/c"},
    {"/a/b/..", true, "/a"},
    {"/a/b/.", true, "/a/b"},
    {"/..", true, kFail},
    {"/a/../..", true, kFail},
    {"/a//b", true, "/a//b"},
    {"/a/b/", true, "/a/b/"},
    {"/a/b/../../c/", true, "/c/"},
    {"/a//..", true, "/a"},
    {"/.", true, "/"},
    {"/", true, "/"},
    {"", true, ""},
    {"./a", true, "a"},
    {"a/b/../c", true, "a/c"},
    {"a/..", true, ""},
    {"../a", true, "../a"},
    {"a/../../b", true, "../b"},
    {"../..", true, "../.."},
    {"../../x/..", true, "../.."},
    {"/a\\b/../c", true, "/c"},
    {"C:\\dir\\..\\x", false, "C:\\x"},
    {"C:\\..", false, kFail},
    {"c:\\a\\.\\b\\", false, "c:\\a\\b\\"},
    {"\\\\srv\\share\\..\\y", false, "\\\\srv\\y"},
    {"\\\\srv\\..", false, kFail},
    {"\\\\srv", false, "\\\\srv"},
    {"\\a\\..\\b", false, "\\b"},
    {"\\..", false, kFail},
    {"C:a\\..\\b", false, "b"},
    {"a/b\\..\\c", false, "c"},
    {"C:\\a\\\\b\\", false, "C:\\a\\\\b\\"},
};

TEST(PathTest, NormalizeCaseTableInEveryEncoding)
{
    for (TextEncoding enc : kAllEncodings) {
        for (const NormalizeCase& c : kNormalizeCases) {
            SCOPED_TRACE(std::string(c.input) + " encoding " + std::to_string(enc));
            std::string input = Widen(c.input, enc);
            Buffer out;
            // The result is appended after what the buffer holds.
            std::string head = Widen("H", enc);
            ASSERT_TRUE(TextBuffer_Append(&out.buffer, View(head)));
            bool ok = Path_Normalize(View(input), &out.buffer, enc, c.posix);
            if (c.expected == kFail) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(head, out.Contents());
            } else {
                EXPECT_TRUE(ok);
                EXPECT_EQ(head + Widen(c.expected, enc), out.Contents());
            }
        }
    }
}

TEST(PathTest, NormalizeThatDoesNotFitLeavesResult)
{
    Buffer out(8);
    ASSERT_TRUE(TextBuffer_Append(&out.buffer, View("ab")));
    EXPECT_FALSE(Path_Normalize(View("/x/y/zz"), &out.buffer, TEXT_ENC_UTF8, true));
    EXPECT_EQ("ab", out.Contents());
    EXPECT_TRUE(Path_Normalize(View("/x/y/z"), &out.buffer, TEXT_ENC_UTF8, true));
    EXPECT_EQ("ab/x/y/z", out.Contents());
}

TEST(PathTest, ShiftJisTrailByteIsNotASeparator)
{
    // U+8868 is 0x95 0x5C in Shift_JIS: its trail byte is the backslash code.
    const std::string kanji = "\x95\x5C";
    std::string path = "C:\\" + kanji + "\\x.vhd";
    TextView dir, stem, ext;
    Path_SplitStemExtStyle(View(path), &dir, &stem, &ext, TEXT_ENC_SJIS, false);
    EXPECT_EQ("C:\\" + kanji + "\\", Str(dir));
    EXPECT_EQ("x", Str(stem));
    EXPECT_EQ("vhd", Str(ext));

    Buffer out;
    std::string climb = "C:\\a\\" + kanji + "\\..\\b";
    ASSERT_TRUE(Path_Normalize(View(climb), &out.buffer, TEXT_ENC_SJIS, false));
    EXPECT_EQ("C:\\a\\b", out.Contents());

    Buffer swap;
    std::string mixed = "a\\" + kanji + "\\b";
    ASSERT_TRUE(TextBuffer_Set(&swap.buffer, View(mixed)));
    ASSERT_TRUE(TextBuffer_ReplaceSameLength(&swap.buffer, View("\\"), View("/"), TEXT_ENC_SJIS));
    EXPECT_EQ("a/" + kanji + "/b", swap.Contents());
    EXPECT_TRUE(Path_IsValidWindows(View(path), TEXT_ENC_SJIS));
}

TEST(PathTest, SplitDirAndStemExt)
{
    struct Case {
        const char* path;
        bool posix;
        const char* dir;
        const char* name;
        const char* stem;
        const char* ext;
    } cases[] = {
        {"/d/archive.tar.gz", true, "/d/", "archive.tar.gz", "archive.tar", "gz"},
        {"a.b/name", true, "a.b/", "name", "name", ""},
        {"name", true, "", "name", "name", ""},
        {"dir/", true, "dir/", "", "", ""},
        {"/d/.hidden", true, "/d/", ".hidden", "", "hidden"},
        {"x.", true, "", "x.", "x", ""},
        {"C:\\vm\\disk.vhd", false, "C:\\vm\\", "disk.vhd", "disk", "vhd"},
        {"C:\\vm\\disk.vhd", true, "", "C:\\vm\\disk.vhd", "C:\\vm\\disk", "vhd"},
        {"a/b\\c", false, "a/b\\", "c", "c", ""},
    };
    for (TextEncoding enc : kAllEncodings) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + " encoding " + std::to_string(enc));
            std::string path = Widen(c.path, enc);
            TextView dir, name, dir2, stem, ext;
            Path_SplitDirStyle(View(path), &dir, &name, enc, c.posix);
            EXPECT_EQ(Widen(c.dir, enc), Str(dir));
            EXPECT_EQ(Widen(c.name, enc), Str(name));
            Path_SplitStemExtStyle(View(path), &dir2, &stem, &ext, enc, c.posix);
            EXPECT_EQ(Widen(c.dir, enc), Str(dir2));
            EXPECT_EQ(Widen(c.stem, enc), Str(stem));
            EXPECT_EQ(Widen(c.ext, enc), Str(ext));
            // The extension always lies within the path, at the name's end when empty.
            EXPECT_EQ(reinterpret_cast<const uint8_t*>(path.data()) + path.size(),
                      ext.data + ext.length);
        }
    }
    // Null outputs are allowed; the posix forms agree with the styled ones.
    TextView stem, ext;
    Path_SplitStemExtUtf8(View("/x/y.z"), nullptr, &stem, &ext);
    EXPECT_EQ("y", Str(stem));
    EXPECT_EQ("z", Str(ext));
    TextView name;
    Path_SplitDir(View("/x/y.z"), nullptr, &name, TEXT_ENC_UTF8);
    EXPECT_EQ("y.z", Str(name));
}

TEST(PathTest, ValidityAndAbsoluteness)
{
    struct Case {
        const char* path;
        bool validPosix;
        bool validWindows;
        bool absolutePosix;
        bool absoluteWindows;
    } cases[] = {
        {"", true, true, false, false},
        {"/tmp/a:b", false, false, true, false},
        {"/a//b", false, false, true, false},
        {"/a/b", true, false, true, false},
        {"a,b", false, true, false, false},
        {"a;b", false, true, false, false},
        {"a*b", false, false, false, false},
        {"a?b", false, false, false, false},
        {"a\"b", false, false, false, false},
        {"a<b", false, false, false, false},
        {"a>b", false, false, false, false},
        {"a|b", false, false, false, false},
        {"C:", false, false, false, false},
        {"C:\\", false, true, false, true},
        {"C:\\a\\b", false, true, false, true},
        {"z:\\a", false, true, false, true},
        {"1:\\a", false, false, false, false},
        {"\\\\srv\\x", true, false, false, false},
        {"C:\\a\\\\b", false, false, false, true},
        {"\\a", true, false, false, false},
        {"a\\b", true, true, false, false},
        {"C:\\a/b", false, false, false, true},
        {"Cx", true, true, false, false},
    };
    for (TextEncoding enc : kAllEncodings) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + " encoding " + std::to_string(enc));
            std::string path = Widen(c.path, enc);
            EXPECT_EQ(c.validPosix, Path_IsValid(View(path), enc));
            EXPECT_EQ(c.validWindows, Path_IsValidWindows(View(path), enc));
            EXPECT_EQ(c.absolutePosix, Path_IsAbsolutePosix(View(path), enc));
            EXPECT_EQ(c.absoluteWindows, Path_IsAbsoluteWindows(View(path), enc));
            EXPECT_EQ(c.absolutePosix, Path_IsAbsoluteStyle(View(path), enc, true));
            EXPECT_EQ(c.absoluteWindows, Path_IsAbsoluteStyle(View(path), enc, false));
        }
    }
}

struct AbsoluteCase {
    const char* path;
    const char* reference;
    bool posix;
    const char* expected;
};

TEST(PathTest, MakeAbsoluteCaseTable)
{
    const AbsoluteCase cases[] = {
        {"../parent.vmdk", "/vm/disks/child.vmdk", true, "/vm/parent.vmdk"},
        {"/abs/x.vmdk", "/vm/disks/child.vmdk", true, "/abs/x.vmdk"},
        {"/abs/./y/../x.vmdk", "anything", true, "/abs/x.vmdk"},
        {"./p.vmdk", "/vm/c.vmdk", true, "/vm/p.vmdk"},
        {"p.vmdk", "/vm/c.vmdk", true, "/vm/p.vmdk"},
        {"sub/./../p", "/vm/d/c", true, "/vm/d/p"},
        {"../../../p", "/vm/c", true, kFail},
        {"p", "c", true, "p"},
        {"../p", "c", true, "../p"},
        {"..\\p.vhd", "C:\\vm\\a\\c.vhd", false, "C:\\vm\\p.vhd"},
        {"D:\\x.vhd", "C:\\vm\\c.vhd", false, "D:\\x.vhd"},
        {".\\p.vhd", "\\\\srv\\share\\c.vhd", false, "\\\\srv\\share\\p.vhd"},
    };
    for (TextEncoding enc : kAllEncodings) {
        for (const AbsoluteCase& c : cases) {
            SCOPED_TRACE(std::string(c.path) + " against " + c.reference + " encoding " +
                         std::to_string(enc));
            std::string path = Widen(c.path, enc), reference = Widen(c.reference, enc);
            Buffer work, out;
            ASSERT_TRUE(TextBuffer_Append(&out.buffer, View(Widen("junk", enc))));
            bool ok = Path_MakeAbsoluteStyle(View(path), View(reference), &work.buffer, &out.buffer,
                                             enc, c.posix);
            EXPECT_EQ(0u, work.buffer.length);
            if (c.expected == kFail) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(0u, out.buffer.length);
            } else {
                EXPECT_TRUE(ok);
                EXPECT_EQ(Widen(c.expected, enc), out.Contents());
            }
            if (c.posix) {
                Buffer work2, out2;
                EXPECT_EQ(ok, Path_MakeAbsolute(View(path), View(reference), &work2.buffer,
                                                &out2.buffer, enc));
                EXPECT_EQ(out.Contents(), out2.Contents());
            }
        }
    }
}

TEST(PathTest, MakeAbsoluteAcrossEncodings)
{
    // A UTF-16LE link resolved against a UTF-8 image path into UTF-8, and the reverse.
    std::string link = Widen("../p", TEXT_ENC_UTF16LE) + std::string("\xE9\x00", 2) +
                       Widen(".vhd", TEXT_ENC_UTF16LE);
    Buffer work, out;
    ASSERT_TRUE(Path_MakeAbsoluteEx(View(link), TEXT_ENC_UTF16LE, View("/vm/d/c.vhd"),
                                    TEXT_ENC_UTF8, &work.buffer, &out.buffer, TEXT_ENC_UTF8, true));
    EXPECT_EQ("/vm/p\xC3\xA9.vhd", out.Contents());

    std::string absolute = Widen("/x/./y", TEXT_ENC_UTF32BE);
    ASSERT_TRUE(Path_MakeAbsoluteEx(View(absolute), TEXT_ENC_UTF32BE, View("/vm/c"), TEXT_ENC_UTF8,
                                    &work.buffer, &out.buffer, TEXT_ENC_UTF16BE, true));
    EXPECT_EQ(Widen("/x/y", TEXT_ENC_UTF16BE), out.Contents());

    // A path that cannot be converted fails with both buffers empty.
    ASSERT_TRUE(TextBuffer_Append(&work.buffer, View("old")));
    EXPECT_FALSE(Path_MakeAbsoluteEx(View("a\xFF"), TEXT_ENC_UTF8, View("/vm/c"), TEXT_ENC_UTF8,
                                     &work.buffer, &out.buffer, TEXT_ENC_UTF16LE, true));
    EXPECT_EQ(0u, work.buffer.length);
    EXPECT_EQ(0u, out.buffer.length);
}

TEST(PathTest, MakeAbsoluteCStrTerminatesResult)
{
    char result[32];
    std::memset(result, 'x', sizeof(result));
    ASSERT_TRUE(
        Path_MakeAbsoluteCStr("/vm/d/c.vmdk", "../p.vmdk", result, sizeof(result), TEXT_ENC_UTF8));
    EXPECT_STREQ("/vm/p.vmdk", result);

    // "/vm/p.vmdk" is 10 bytes: without room for the terminator the call fails.
    char small[10];
    std::memset(small, 'x', sizeof(small));
    EXPECT_FALSE(
        Path_MakeAbsoluteCStr("/vm/c.vmdk", "p.vmdk", small, sizeof(small), TEXT_ENC_UTF8));
    EXPECT_EQ('\0', small[0]);
    char exact[11];
    EXPECT_TRUE(Path_MakeAbsoluteCStr("/vm/c.vmdk", "p.vmdk", exact, sizeof(exact), TEXT_ENC_UTF8));
    EXPECT_STREQ("/vm/p.vmdk", exact);

    std::string ref = Widen("/a/b", TEXT_ENC_UTF16LE) + std::string(2, '\0');
    std::string rel = Widen("c", TEXT_ENC_UTF16LE) + std::string(2, '\0');
    uint8_t wide[16];
    ASSERT_TRUE(
        Path_MakeAbsoluteCStr(ref.data(), rel.data(), wide, sizeof(wide), TEXT_ENC_UTF16LE));
    EXPECT_EQ(Widen("/a/c", TEXT_ENC_UTF16LE) + std::string(2, '\0'),
              std::string(reinterpret_cast<char*>(wide), 10));
}

struct RelativeCase {
    const char* base;
    const char* target;
    bool posix;
    const char* expected;
};

const RelativeCase kRelativeCases[] = {
    {"/vm/a/child.vmdk", "/vm/b/parent.vmdk", true, "../b/parent.vmdk"},
    {"/vm/child.vmdk", "/vm/parent.vmdk", true, "parent.vmdk"},
    {"/vm/c.vmdk", "/vm/sub/deep/p.vmdk", true, "sub/deep/p.vmdk"},
    {"/vm/sub/deep/c.vmdk", "/vm/p.vmdk", true, "../../p.vmdk"},
    {"/x/a/c", "/x/ab/p", true, "../ab/p"},
    {"/x/ab/c", "/x/a/p", true, "../a/p"},
    {"/x/a/c", "/x/a", true, "../a"},
    {"/VM/c", "/vm/p", true, "../vm/p"},
    {"/c", "/p", true, "p"},
    {"vm/c", "/vm/p", true, kFail},
    {"/vm/c", "vm/p", true, kFail},
    {"", "/p", true, kFail},
    {"C:\\VM\\A\\c.vmdk", "c:\\vm\\a\\p.vmdk", false, "p.vmdk"},
    {"C:\\vm\\a\\c", "C:\\vm\\b\\p", false, "..\\b\\p"},
    {"C:\\vm\\a\\c", "C:\\vm\\ab\\p", false, "..\\ab\\p"},
    {"c:\\x", "C:\\y\\z", false, "y\\z"},
    {"C:\\a\\x", "D:\\b\\y", false, kFail},
    {"C:\\a\\x", "D:\\a\\x", false, kFail},
    {"\\\\srv\\a\\x", "\\\\srv\\a\\y", false, kFail},
    {"a\\x", "C:\\a\\y", false, kFail},
    {"C:\\a\\x", "\\a\\y", false, kFail},
    {"/vm/a/c", "/vm/b/p", false, kFail},
};

TEST(PathTest, MakeRelativeCaseTableAgreesWithCanMakeRelative)
{
    for (TextEncoding enc : kAllEncodings) {
        for (const RelativeCase& c : kRelativeCases) {
            SCOPED_TRACE(std::string(c.base) + " -> " + c.target + " encoding " +
                         std::to_string(enc));
            std::string base = Widen(c.base, enc), target = Widen(c.target, enc);
            Buffer out;
            std::string head = Widen("H", enc);
            ASSERT_TRUE(TextBuffer_Append(&out.buffer, View(head)));
            bool ok = Path_MakeRelativeStyle(View(base), View(target), &out.buffer, enc, c.posix);
            EXPECT_EQ(ok, Path_CanMakeRelativeStyle(View(base), View(target), enc, c.posix));
            if (c.expected == kFail) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(head, out.Contents());
            } else {
                EXPECT_TRUE(ok);
                EXPECT_EQ(head + Widen(c.expected, enc), out.Contents());
            }
            Buffer out2;
            if (c.posix) {
                EXPECT_EQ(ok, Path_MakeRelative(View(base), View(target), &out2.buffer, enc));
                EXPECT_EQ(ok, Path_CanMakeRelative(View(base), View(target), enc));
            } else {
                EXPECT_EQ(ok,
                          Path_MakeRelativeWindows(View(base), View(target), &out2.buffer, enc));
            }
        }
    }
}

TEST(PathTest, MakeRelativeThatDoesNotFitLeavesResult)
{
    Buffer out(8);
    ASSERT_TRUE(TextBuffer_Append(&out.buffer, View("ab")));
    EXPECT_FALSE(Path_MakeRelative(View("/a/b/c/d"), View("/x/y"), &out.buffer, TEXT_ENC_UTF8));
    EXPECT_EQ("ab", out.Contents());
    EXPECT_FALSE(Path_MakeRelative(View("/a/c"), View("/a/yyyyyyy"), &out.buffer, TEXT_ENC_UTF8));
    EXPECT_EQ("ab", out.Contents());
}

TEST(PathTest, SuffixRenderingFollowsEachEncoding)
{
    // Asked in either order, each encoding gets its own rendering.
    const TextEncoding orders[2][2] = {{TEXT_ENC_UTF8, TEXT_ENC_UTF16LE},
                                       {TEXT_ENC_UTF16LE, TEXT_ENC_UTF8}};
    for (const auto& order : orders) {
        for (TextEncoding enc : order) {
            EXPECT_EQ(Widen("_temp", enc), Str(Path_TempSuffix(enc)));
            EXPECT_EQ(Widen("_del", enc), Str(Path_DeleteSuffix(enc)));
        }
    }
    for (TextEncoding enc : kAllEncodings) {
        EXPECT_EQ(Widen("_temp", enc), Str(Path_TempSuffix(enc)));
        EXPECT_EQ(Widen("_del", enc), Str(Path_DeleteSuffix(enc)));
        EXPECT_EQ(Widen("/", enc), Str(Path_Separator(enc)));
        EXPECT_EQ(Widen("/", enc), Str(Path_SeparatorStyle(enc, true)));
        EXPECT_EQ(Widen("\\", enc), Str(Path_SeparatorStyle(enc, false)));
    }
    EXPECT_EQ(0u, Path_TempSuffix(7).length);
    EXPECT_EQ(0u, Path_DeleteSuffix(7).length);
}

TEST(PathTest, CompareAndFirstCharacter)
{
    for (TextEncoding enc : kAllEncodings) {
        SCOPED_TRACE(enc);
        std::string a = Widen("/vm/a", enc), b = Widen("/vm/b", enc), upper = Widen("/VM/a", enc);
        EXPECT_EQ(0, Path_Compare(View(a), View(a), enc));
        EXPECT_EQ(-1, Path_Compare(View(a), View(b), enc));
        EXPECT_EQ(1, Path_Compare(View(b), View(a), enc));
        EXPECT_NE(0, Path_Compare(View(a), View(upper), enc));
        EXPECT_EQ(-1, Path_Compare(View(Widen("/vm", enc)), View(a), enc));

        std::string c = Widen("C:\\x", enc),
                    lowerTerminated = Widen("c:\\y", enc) + std::string(4, '\0');
        std::string dTerminated = Widen("d", enc) + std::string(4, '\0');
        std::string emptyTerminated(4, '\0');
        EXPECT_TRUE(Text_FirstCharEqualsNoCase(View(c), lowerTerminated.data(), enc));
        EXPECT_FALSE(Text_FirstCharEqualsNoCase(View(c), dTerminated.data(), enc));
        EXPECT_FALSE(Text_FirstCharEqualsNoCase(View(c), emptyTerminated.data(), enc));
        EXPECT_FALSE(Text_FirstCharEqualsNoCase(View(""), lowerTerminated.data(), enc));
    }
    EXPECT_EQ(0, Path_CompareUtf8(View("/a\xC3\xA9"), View("/a\xC3\xA9")));
    EXPECT_EQ(-1, Path_CompareUtf8(View("/a"), View("/a\xC3\xA9")));
}

TEST(PathTest, ReplaceSameLength)
{
    for (TextEncoding enc : kAllEncodings) {
        SCOPED_TRACE(enc);
        Buffer b;
        std::string text = Widen("a/b//c/", enc);
        ASSERT_TRUE(TextBuffer_Set(&b.buffer, View(text)));
        std::string slash = Widen("/", enc), backslash = Widen("\\", enc);
        ASSERT_TRUE(TextBuffer_ReplaceSameLength(&b.buffer, View(slash), View(backslash), enc));
        EXPECT_EQ(Widen("a\\b\\\\c\\", enc), b.Contents());
        std::string ab = Widen("ab", enc);
        EXPECT_FALSE(TextBuffer_ReplaceSameLength(&b.buffer, View(slash), View(ab), enc));
    }
    // Occurrences are replaced left to right without overlapping.
    Buffer b;
    ASSERT_TRUE(TextBuffer_Set(&b.buffer, View("aaaa.aaa")));
    ASSERT_TRUE(TextBuffer_ReplaceSameLength(&b.buffer, View("aa"), View("bc"), TEXT_ENC_UTF8));
    EXPECT_EQ("bcbc.bca", b.Contents());
    EXPECT_FALSE(TextBuffer_ReplaceSameLength(&b.buffer, View(""), View(""), TEXT_ENC_UTF8));
}

// Random posix paths, checked against python3's posixpath: normalisation must give normpath
// (for paths without "//" and without a trailing "/", where the two rules agree) or fail
// exactly when ".." climbs above the root, and a relative path must lead back to its target.
TEST(PathTest, DifferentialAgainstPosixpath)
{
    if (!testsupport::HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    const char* components[] = {"a", "b", "ab", "vm", ".", "..", "x.vmdk"};
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    auto randomPath = [&](bool allowDots) {
        std::string p;
        int n = 1 + next() % 6;
        for (int i = 0; i < n; ++i) {
            const char* c = components[next() % (allowDots ? 7 : 4)];
            p += "/";
            p += c;
        }
        return p;
    };

    testsupport::TempDir dir;
    std::ostringstream lines;
    for (int i = 0; i < 300; ++i) {
        std::string p = randomPath(true);
        Buffer out;
        bool ok = Path_Normalize(View(p), &out.buffer, TEXT_ENC_UTF8, true);
        lines << "N\t" << p << "\t" << (ok ? out.Contents() : std::string(kFail)) << "\n";

        std::string base = randomPath(false), target = randomPath(false);
        Buffer rel;
        ASSERT_TRUE(Path_MakeRelative(View(base), View(target), &rel.buffer, TEXT_ENC_UTF8));
        lines << "R\t" << base << "\t" << target << "\t" << rel.Contents() << "\n";
    }
    testsupport::WriteText(dir.file("cases.txt"), lines.str());
    testsupport::WriteText(dir.file("check.py"), R"PY(
import posixpath, sys
bad = 0
for line in open(sys.argv[1]):
    f = line.rstrip("\n").split("\t")
    if f[0] == "N":
        path, got = f[1], f[2]
        depth, climbs = 0, False
        for c in path.split("/")[1:]:
            if c == "..":
                if depth == 0: climbs = True
                depth -= 1
            elif c != ".":
                depth += 1
        want = "<fail>" if climbs else posixpath.normpath(path)
        if got != want:
            print("normalize", path, got, want); bad += 1
    else:
        base, target, rel = f[1], f[2], f[3]
        back = posixpath.normpath(posixpath.join(posixpath.dirname(base), rel))
        if back != posixpath.normpath(target):
            print("relative", base, target, rel, back); bad += 1
print("bad", bad)
sys.exit(1 if bad else 0)
)PY");
    std::string output;
    int status = testsupport::RunCommand("python3 " + testsupport::Quote(dir.file("check.py")) +
                                             " " + testsupport::Quote(dir.file("cases.txt")),
                                         &output);
    EXPECT_EQ(0, status) << output;
}

}  // namespace
