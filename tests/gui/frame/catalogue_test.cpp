// Message catalogue, layout units, font file and the start-up exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "gui/frame/app.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

std::vector<std::string> Parse(const std::string& bytes, int* rc = nullptr)
{
    MessageTable table;
    int r = Ui_ParseMessageCatalogue(&table, (const uint8_t*)bytes.data(), bytes.size());
    if (rc) *rc = r;
    std::vector<std::string> out;
    for (const FXString& t : table.texts) out.push_back(std::string(t.text(), t.length()));
    return out;
}

typedef std::vector<std::string> Lines;

TEST(CatalogueParse, LineEndsAndTheExtraEmptyMessage)
{
    struct Case {
        const char* name;
        std::string bytes;
        Lines expected;
    } cases[] = {
        {"LF with final break", "a\nb\n", {"a", "b", ""}},
        {"LF without final break", "a\nb", {"a", "b", ""}},
        {"CRLF", "a\r\nb\r\n", {"a", "b", ""}},
        {"lone CR", "a\rb\r", {"a", "b", ""}},
        {"mixed ends", "a\r\nb\rc\nd", {"a", "b", "c", "d", ""}},
        {"empty lines keep numbering", "a\n\n\nd\n", {"a", "", "", "d", ""}},
        {"CR CR is two breaks", "a\r\rb", {"a", "", "b", ""}},
        {"empty file", "", {""}},
        {"only a break", "\n", {"", ""}},
        {"NUL cuts the text", std::string("a\nb\0c\nd\n", 8), {"a", "b", ""}},
        {"NUL at the start", std::string("\0a\n", 3), {""}},
        {"byte order mark is kept", "\xEF\xBB\xBFx\n", {"\xEF\xBB\xBFx", ""}},
        {"UTF-8 text", "\xE6\x97\xA5\xE6\x9C\xAC\n", {"\xE6\x97\xA5\xE6\x9C\xAC", ""}},
    };
    for (const Case& c : cases) {
        int rc = 99;
        Lines got = Parse(c.bytes, &rc);
        EXPECT_EQ(rc, 0) << c.name;
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(CatalogueParse, Escapes)
{
    struct Case {
        std::string line;
        std::string expected;
    } cases[] = {
        {"one\\ntwo", "one\ntwo"},
        {"a\\tb", "a\tb"},
        {"real\ttab", "real\ttab"},
        {"\\n\\n", "\n\n"},
        {"end\\", "end\\"},
        {"\\x stays", "\\x stays"},
        // The first "\n" is found at the second backslash; the first backslash stays.
        {"\\\\n", "\\\n"},
        // Line feeds are replaced before tabs.
        {"\\\\t", "\\\t"},
        {"50%0 %s %d", "50%0 %s %d"},
    };
    for (const Case& c : cases) {
        Lines got = Parse(c.line + "\n");
        ASSERT_EQ(got.size(), 2u) << c.line;
        EXPECT_EQ(got[0], c.expected) << c.line;
    }
}

TEST(CatalogueParse, InvalidUtf8IsRefused)
{
    const char* bad[] = {"abc\xff\n", "\xC3\n", "\xC0\xAF", "\xED\xA0\x80", "ok\n\xE6\x97\n"};
    for (const char* b : bad) {
        int rc = 0;
        Lines got = Parse(b, &rc);
        EXPECT_EQ(rc, UI_CATALOGUE_ERR_UTF8) << b;
        EXPECT_TRUE(got.empty());
    }
    // Invalid bytes after a NUL are never looked at.
    int rc = 1;
    Parse(std::string("ok\n\0\xff\xfe", 6), &rc);
    EXPECT_EQ(rc, 0);
}

TEST(CatalogueLoad, FileErrors)
{
    TempDir dir;
    MessageTable table;
    EXPECT_EQ(Ui_LoadMessageCatalogueFile(&table, dir.file("missing.txt").c_str()),
              UI_CATALOGUE_ERR_OPEN);
    // A directory opens but cannot be read.
    EXPECT_EQ(Ui_LoadMessageCatalogueFile(&table, dir.path().c_str()), UI_CATALOGUE_ERR_READ);
    testsupport::WriteText(dir.file("bad.txt"), "a\n\xff\n");
    EXPECT_EQ(Ui_LoadMessageCatalogueFile(&table, dir.file("bad.txt").c_str()),
              UI_CATALOGUE_ERR_UTF8);
    testsupport::WriteText(dir.file("good.txt"), "zero\r\none\\tx");
    ASSERT_EQ(Ui_LoadMessageCatalogueFile(&table, dir.file("good.txt").c_str()), 0);
    ASSERT_EQ(table.texts.size(), 3u);
    EXPECT_STREQ(table.texts[1].text(), "one\tx");
    EXPECT_TRUE(table.texts[2].empty());
}

TEST(CatalogueLookup, OutsideTheTableGivesTheEmptyText)
{
    MessageTable& table = Ui_Messages();
    table.texts.clear();
    table.texts.push_back("zero");
    table.texts.push_back("one");
    EXPECT_STREQ(Ui_MessageText(1).text(), "one");
    EXPECT_TRUE(Ui_MessageText(2).empty());
    EXPECT_TRUE(Ui_MessageText(394).empty());
    EXPECT_TRUE(Ui_MessageText(-1).empty());
    EXPECT_TRUE(Ui_MessageText(0x7FFFFFFF).empty());
    EXPECT_EQ(&Ui_MessageText(5), &Ui_MessageText(-5));
    table.texts.clear();
}

// The catalogue shipped with the program: every message up to 394, the placeholders the
// callers substitute, the numbers the progress text reads.
TEST(ShippedCatalogue, HoldsEveryMessageTheProgramShows)
{
    std::string path = std::string(VDX_TEST_SOURCE_DIR) + "/../gui/frame/vdxmsg.txt";
    MessageTable table;
    ASSERT_EQ(Ui_LoadMessageCatalogueFile(&table, path.c_str()), 0);
    ASSERT_GE(table.texts.size(), 396u);
    // Numbers no window shows may be empty; every other one has a text.
    const int unused[] = {1,   31,  34,  36,  41,  74,  75,  76,  123, 125, 126, 127, 138,
                          199, 200, 201, 202, 203, 204, 208, 236, 273, 383, 384, 386};
    for (int n = 0; n <= 394; ++n) {
        bool isUnused = std::find(std::begin(unused), std::end(unused), n) != std::end(unused);
        if (!isUnused) {
            EXPECT_FALSE(table.texts[n].empty()) << "message " << n;
        }
    }
    EXPECT_STREQ(table.texts[6].text(), ",");
    EXPECT_STREQ(table.texts[7].text(), "3");
    // Substituted arguments.
    for (int n : {111, 180, 308, 309}) EXPECT_GE(table.texts[n].find("%0"), 0) << n;
    for (int n : {308, 309}) EXPECT_GE(table.texts[n].find("%1"), 0) << n;
    // Texts shown without an argument carry no placeholder that would show as it is.
    for (int n = 0; n <= 394; ++n) {
        if (n == 111 || n == 180 || n == 308 || n == 309) continue;
        EXPECT_LT(table.texts[n].find('%'), 0) << "message " << n;
    }
    // Pattern lists are FOX pattern lists of several lines.
    for (int n : {37, 289, 290, 291, 292, 293, 294, 295, 296, 297, 298, 299, 300})
        EXPECT_GE(table.texts[n].find("\nAll files (*)"), 0) << n;
}

TEST(LayoutUnits, FollowTheFontSize)
{
    struct Case {
        FXuint decipoints;
        FXint x, y;
    } cases[] = {{90, 12, 11}, {100, 13, 12}, {120, 15, 14}, {80, 9, 9}, {0, 1, 1}};
    for (const Case& c : cases) {
        Ui_SetLayoutUnitsFromSize(c.decipoints);
        EXPECT_EQ(Ui_LayoutUnitX(), c.x) << c.decipoints;
        EXPECT_EQ(Ui_LayoutUnitY(), c.y) << c.decipoints;
        EXPECT_EQ(Ui_ScaleX(7), 7 * c.x);
        EXPECT_EQ(Ui_ScaleY(2), 2 * c.y);
    }
}

std::vector<uint8_t> FontFile(int32_t length, const std::string& text)
{
    std::vector<uint8_t> bytes(4 + text.size());
    memcpy(bytes.data(), &length, 4);
    if (!text.empty()) memcpy(bytes.data() + 4, text.data(), text.size());
    return bytes;
}

TEST(FontFile, OnlyASaneDescriptionIsTaken)
{
    TempDir dir;
    std::string path = dir.file(".vdxfont");
    const std::string good = "helvetica,120,bold,straight,normal,iso8859-1,0";
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
    } cases[] = {
        {"valid", FontFile((int32_t)good.size(), good), true},
        {"empty file", {}, false},
        {"shorter than the length field", {1, 0}, false},
        {"zero length", FontFile(0, ""), false},
        {"negative length", FontFile(-5, "abcde"), false},
        {"length beyond the file", FontFile(100, "abc"), false},
        {"huge length", FontFile(0x7FFFFFFF, "abc"), false},
        {"longer than any description", FontFile(5000, std::string(5000, 'a')), false},
        {"NUL inside", FontFile(3, std::string("a\0b", 3)), false},
        {"not UTF-8",
         FontFile(3,
                  "a\xff"
                  "b"),
         false},
        {"trailing bytes are ignored", FontFile(3, "abcdef"), true},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(path, c.bytes);
        FXString description = "previous";
        EXPECT_EQ(Ui_ReadFontFile(path.c_str(), &description), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_TRUE(description.empty()) << c.name;
        }
    }
    testsupport::WriteFile(path, FontFile((int32_t)good.size(), good));
    FXString description;
    ASSERT_TRUE(Ui_ReadFontFile(path.c_str(), &description));
    EXPECT_EQ(std::string(description.text()), good);
    EXPECT_FALSE(Ui_ReadFontFile(dir.file("none").c_str(), &description));
    EXPECT_FALSE(Ui_ReadFontFile(dir.path().c_str(), &description));
}

TEST(FontFile, BecomesTheNormalFontOnlyWhenSane)
{
    TempDir home;
    std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    static int argc = 1;
    static char name[] = "catalogue-test";
    static char* argv[] = {name, nullptr};
    FXApp* app = new FXApp("DedeziviTest", "DidArur");
    app->init(argc, argv);
    app->create();
    FXFont* stock = app->getNormalFont();

    testsupport::WriteFile(home.file(".vdxfont"), FontFile(0x7FFFFFFF, "helvetica"));
    EXPECT_FALSE(Ui_ApplyFontFile(app));
    EXPECT_EQ(app->getNormalFont(), stock);

    const std::string big = "helvetica,240,normal,regular,normal,iso8859-1,0";
    testsupport::WriteFile(home.file(".vdxfont"), FontFile((int32_t)big.size(), big));
    ASSERT_TRUE(Ui_ApplyFontFile(app));
    FXFont* font = app->getNormalFont();
    EXPECT_NE(font, stock);
    Ui_ComputeLayoutUnits(app);
    FXuint size = font->getActualSize() ? font->getActualSize() : font->getSize();
    EXPECT_EQ(Ui_LayoutUnitY(), (FXint)(size * 11 / 90));
    EXPECT_GT(Ui_LayoutUnitY(), 20);

    app->setNormalFont(stock);
    delete font;
    delete app;
    setenv("HOME", oldHome.c_str(), 1);
}

// ---- The executable --------------------------------------------------------------------------

std::string Program() { return std::string(VDX_BINARY_DIR) + "/dedezivi"; }

bool HaveProgram() { return access(Program().c_str(), X_OK) == 0; }

// Runs the program copied into `dir` (beside whatever catalogue the test put there) for at most
// `seconds`; answers its exit status, 124 when it was still running.
int RunCopy(const TempDir& dir, const std::string& home, int seconds)
{
    std::string copy = dir.file("dedezivi");
    testsupport::RunCommand("cp " + testsupport::Quote(Program()) + " " + testsupport::Quote(copy));
    return testsupport::RunCommand("HOME=" + testsupport::Quote(home) + " timeout " +
                                   std::to_string(seconds) + " " + testsupport::Quote(copy) +
                                   " >/dev/null 2>&1");
}

// `make run` builds the program alone: building every test program first took minutes.
TEST(Executable, MakeRunBuildsOnlyTheProgram)
{
    std::string output;
    ASSERT_EQ(testsupport::RunCommand(
                  "make -n -C " + testsupport::Quote(std::string(VDX_TEST_SOURCE_DIR) + "/..") +
                      " run 2>&1",
                  &output),
              0)
        << output;
    size_t builds = 0;
    size_t at = 0;
    while ((at = output.find("cmake --build", at)) != std::string::npos) {
        const size_t end = output.find('\n', at);
        const std::string line = output.substr(at, end - at);
        EXPECT_NE(line.find("--target dedezivi"), std::string::npos) << line;
        ++builds;
        at = end;
    }
    EXPECT_EQ(builds, 1u) << output;
}

TEST(Executable, WithoutAUsableCatalogueEndsWithStatusOne)
{
    if (!HaveProgram()) GTEST_SKIP() << "the program is not built";
    TempDir home;
    {
        TempDir dir;  // no catalogue at all
        EXPECT_EQ(RunCopy(dir, home.path(), 10), 1);
    }
    {
        TempDir dir;
        testsupport::WriteText(dir.file("vdxmsg.txt"), "Title\n\xff\xfe broken\n");
        EXPECT_EQ(RunCopy(dir, home.path(), 10), 1);
    }
    {
        TempDir dir;  // a directory in the catalogue's place
        testsupport::RunCommand("mkdir " + testsupport::Quote(dir.file("vdxmsg.txt")));
        EXPECT_EQ(RunCopy(dir, home.path(), 10), 1);
    }
}

TEST(Executable, ADamagedFontFileDoesNotStopTheProgram)
{
    if (!HaveProgram()) GTEST_SKIP() << "the program is not built";
    std::string catalogue = std::string(VDX_TEST_SOURCE_DIR) + "/../gui/frame/vdxmsg.txt";
    std::vector<std::vector<uint8_t>> fonts = {
        {}, {0xFF, 0xFF}, FontFile(0x7FFFFFFF, "x"), FontFile(-1, "xyz"), FontFile(3, "abc")};
    for (const auto& font : fonts) {
        TempDir dir, home;
        testsupport::RunCommand("cp " + testsupport::Quote(catalogue) + " " +
                                testsupport::Quote(dir.file("vdxmsg.txt")));
        testsupport::WriteFile(home.file(".vdxfont"), font);
        // Still showing its window when the time runs out.
        EXPECT_EQ(RunCopy(dir, home.path(), 2), 124) << font.size();
    }
}

}  // namespace
