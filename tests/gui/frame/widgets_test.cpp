// Number fields, widget makers, FXString conversions and the progress throttle.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/platform.h"
#include "gui/frame/widgets.h"
#include "gui_test_util.h"

using guitest::App;
using guitest::Owner;

namespace {

TEST(NumberFields, ThirtyTwoBitTable)
{
    struct Case {
        const char* text;
        uint32_t min, max;
        bool ok;
        uint32_t value;  // stored also on failure
    } cases[] = {
        {" 42 ", 1, 100, true, 42},
        {"\t7\t", 0, 10, true, 7},
        {"0", 0, 5, true, 0},
        {"0", 1, 5, false, 0},
        {"101", 1, 100, false, 101},
        {"12x", 0, 100, true, 12},
        {"4294967294", 0, 0xFFFFFFFFu, true, 4294967294u},
        {"4294967295", 0, 0xFFFFFFFFu, false, 4294967295u},
        // Too large: never wrapped into a small number that passes the range.
        {"4294967296", 0, 0xFFFFFFFFu, false, 0xFFFFFFFFu},
        {"4294967297", 0, 100, false, 0xFFFFFFFFu},
        {"99999999999999999999999", 0, 0xFFFFFFFEu, false, 0xFFFFFFFFu},
        // Signs are refused, never read as huge or negative values.
        {"-2", 0, 0xFFFFFFFEu, false, 0},
        {"+5", 0, 10, false, 0},
        {"x", 0, 10, false, 0},
    };
    for (const Case& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(Ui_ParseFieldUInt32(c.text, &value, c.min, c.max), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    uint32_t untouched = 77;
    EXPECT_FALSE(Ui_ParseFieldUInt32("   ", &untouched, 0, 10));
    EXPECT_FALSE(Ui_ParseFieldUInt32("", &untouched, 0, 10));
    EXPECT_EQ(untouched, 77u);
}

TEST(NumberFields, SixtyFourBitTable)
{
    struct Case {
        const char* text;
        uint64_t min, max;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"4294967296", 0, UINT64_MAX, true, 4294967296ull},
        {"18446744073709551614", 0, UINT64_MAX, true, 18446744073709551614ull},
        {"18446744073709551615", 0, UINT64_MAX, false, UINT64_MAX},
        {"18446744073709551616", 0, UINT64_MAX, false, UINT64_MAX},
        {"3", 4, 0x3FFFFFFFFFFFFFull, false, 3},
        {"4", 4, 0x3FFFFFFFFFFFFFull, true, 4},
        {"-1", 0, UINT64_MAX, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 9;
        EXPECT_EQ(Ui_ParseFieldUInt64(c.text, &value, c.min, c.max), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(NumberFields, FailureFocusesAndSelectsTheField)
{
    FXDialogBox dialog(Owner(), "fields", DECOR_TITLE, 0, 0, 300, 200);
    FXTextField* other = Ui_CreateTextField(&dialog, 1, 1, 8, 2);
    FXTextField* field = Ui_CreateNumberField(&dialog, 1, 4, 8, 2);
    dialog.create();
    dialog.show();
    other->setFocus();
    field->setText("-2");
    uint32_t value = 5;
    EXPECT_FALSE(Ui_GetFieldUInt32(field, &value, 0, 100));
    EXPECT_EQ(dialog.getFocus(), field);
    EXPECT_TRUE(field->isPosSelected(0));
    EXPECT_TRUE(field->isPosSelected(1));
    other->setFocus();
    field->setText("  64 ");
    uint64_t wide = 0;
    EXPECT_TRUE(Ui_GetFieldUInt64(field, &wide, 1, 64));
    EXPECT_EQ(wide, 64u);
    EXPECT_EQ(dialog.getFocus(), other);
    Ui_SetFieldUInt64(field, 18446744073709551615ull);
    EXPECT_STREQ(field->getText().text(), "18446744073709551615");
    Ui_SetFieldUInt32(field, 4294967295u);
    EXPECT_STREQ(field->getText().text(), "4294967295");
    dialog.hide();
}

TEST(WidgetMakers, PlaceInLayoutUnitsWithTheirOptions)
{
    App();
    Ui_SetLayoutUnitsFromSize(90);  // 12 x 11 pixels
    FXDialogBox dialog(Owner(), "makers", DECOR_TITLE, 0, 0, 600, 400);
    FXPacker* frame = new FXPacker(&dialog, LAYOUT_EXPLICIT, 0, 0, 600, 400);
    FXLabel* empty = Ui_CreateLabel(frame, -1, 1, 2, 10, 2);
    FXLabel* top = Ui_CreateTopLabel(frame, 26, 1, 4, 30, 3);
    FXButton* button = Ui_CreateButton(frame, 9, &dialog, 62, 3, 7, 7, 2);
    FXButton* def = Ui_CreateDefaultButton(frame, 2, &dialog, 61, 12, 7, 7, 2);
    FXRadioButton* radio = Ui_CreateRadioButton(frame, -1, &dialog, 63, 2, 10, 5, 2);
    FXCheckButton* check = Ui_CreateCheckButton(frame, 19, &dialog, 64, 8, 10, 15, 2);
    FXTextField* pass = Ui_CreatePasswordField(frame, 1, 13, 10, 2);
    FXHorizontalSeparator* sep = Ui_CreateSeparator(frame, 5, 300, 200);
    dialog.create();
    dialog.show();
    guitest::Pump(50);

    EXPECT_TRUE(empty->getText().empty());
    EXPECT_EQ(empty->getX(), 12);
    EXPECT_EQ(empty->getY(), 22);
    EXPECT_EQ(empty->getWidth(), 120);
    EXPECT_EQ(empty->getHeight(), 22);
    EXPECT_EQ(top->getJustify() & (JUSTIFY_LEFT | JUSTIFY_TOP),
              (FXuint)(JUSTIFY_LEFT | JUSTIFY_TOP));
    EXPECT_STREQ(button->getText().text(), "Next >");  // the "&" marks the hot key
    EXPECT_EQ(button->getSelector(), 62u);
    EXPECT_EQ(button->getTarget(), &dialog);
    EXPECT_EQ(button->getX(), 36);
    EXPECT_EQ(button->getWidth(), 84);
    EXPECT_TRUE(def->getButtonStyle() & BUTTON_DEFAULT);
    EXPECT_TRUE(def->getButtonStyle() & BUTTON_INITIAL);
    // Radio and check buttons sit in a frame of exactly their place.
    FXWindow* radioFrame = radio->getParent();
    EXPECT_EQ(radioFrame->getX(), 24);
    EXPECT_EQ(radioFrame->getY(), 110);
    EXPECT_EQ(radioFrame->getWidth(), 60);
    EXPECT_EQ(radioFrame->getHeight(), 22);
    EXPECT_TRUE(radio->getText().empty());
    EXPECT_EQ(check->getParent()->getWidth(), 180);
    EXPECT_EQ(check->getSelector(), 64u);
    EXPECT_TRUE(pass->getTextStyle() & TEXTFIELD_PASSWD);
    // The separator takes pixels.
    EXPECT_EQ(sep->getX(), 5);
    EXPECT_EQ(sep->getY(), 300);
    EXPECT_EQ(sep->getWidth(), 200);
    EXPECT_EQ(sep->getHeight(), 2);
    dialog.hide();
    Ui_ComputeLayoutUnits(App());
}

// ---- Conversions -------------------------------------------------------------------------------

TEST(Conversions, BetweenFXStringAndTextViews)
{
    // "日本" in Shift_JIS.
    const char sjis[] = "\x93\xfa\x96\x7b";
    FXString text;
    Ui_CStringToFXString(&text, sjis, TEXT_ENC_SJIS);
    EXPECT_STREQ(text.text(), "\xE6\x97\xA5\xE6\x9C\xAC");

    TextView view = {nullptr, 0};
    void* block = nullptr;
    ASSERT_TRUE(Ui_FXStringToText(text, &view, &block, TEXT_ENC_UTF16LE));
    ASSERT_EQ(view.length, 4u);
    EXPECT_EQ(memcmp(view.data, "\xE5\x65\x2C\x67", 4), 0);
    FXString back;
    Ui_TextToFXString(&back, view, TEXT_ENC_UTF16LE);
    EXPECT_EQ(back, text);

    // UTF-8 points at the FXString itself and leaves the slot alone.
    void* kept = block;
    ASSERT_TRUE(Ui_FXStringToText(text, &view, &block, TEXT_ENC_UTF8));
    EXPECT_EQ((const char*)view.data, text.text());
    EXPECT_EQ(block, kept);

    // A text that Shift_JIS cannot hold fails and changes nothing.
    FXString euro = "\xE2\x82\xAC";
    TextView before = view;
    EXPECT_FALSE(Ui_FXStringToText(euro, &view, &block, TEXT_ENC_SJIS));
    EXPECT_EQ(view.data, before.data);
    EXPECT_EQ(block, kept);
    Mem_Free(block);

    // Failures give empty texts.
    FXString out = "old";
    TextView badUtf16 = {(const uint8_t*)"\x00\xD8", 2};  // a lone surrogate
    Ui_TextToFXString(&out, badUtf16, TEXT_ENC_UTF16LE);
    EXPECT_TRUE(out.empty());
    out = "old";
    Ui_CStringToFXString(&out, "\x81", TEXT_ENC_SJIS);
    EXPECT_TRUE(out.empty());
}

TEST(Conversions, HolderKeepsItsOwnText)
{
    FXStringText holder;
    {
        FXString path = "/tmp/some image.vmdk";
        Ui_InitFXStringTextUtf8(&holder, path);
        path = "changed";
    }
    EXPECT_EQ(std::string((const char*)holder.view.data, holder.view.length),
              "/tmp/some image.vmdk");

    Ui_InitFXStringText(&holder, "abc", TEXT_ENC_UTF32BE);
    ASSERT_EQ(holder.view.length, 12u);
    EXPECT_EQ(memcmp(holder.view.data, "\0\0\0a\0\0\0b\0\0\0c", 12), 0);
    void* block = holder.block;
    ASSERT_NE(block, nullptr);
    // A failed conversion keeps the old block and shows the empty text.
    EXPECT_FALSE(Ui_ConvertFXStringText(&holder, "\xE2\x82\xAC", TEXT_ENC_SJIS));
    EXPECT_EQ(holder.block, block);
    EXPECT_EQ(holder.view.length, 0u);
    ASSERT_NE(holder.view.data, nullptr);
    // Converting also copies UTF-8 into a terminated block.
    EXPECT_TRUE(Ui_ConvertFXStringText(&holder, "xyz", TEXT_ENC_UTF8));
    EXPECT_NE(holder.block, block);
    EXPECT_EQ(holder.view.data[3], 0);
    // Failed non-UTF-8 set: a NULL view.
    EXPECT_FALSE(Ui_SetFXStringText(&holder, "\xE2\x82\xAC", TEXT_ENC_SJIS));
    EXPECT_EQ(holder.view.data, nullptr);
    EXPECT_EQ(holder.view.length, 0u);
}

// ---- Progress throttle -------------------------------------------------------------------------

const uint64_t kMs = 10000;  // ticks of 100 ns

TEST(ProgressThrottle, EdgesAndSpacing)
{
    uint64_t clock = 0;
    uint64_t t = 133000000000000000ull;
    EXPECT_TRUE(Ui_ShouldPostProgressAt(0, 100, &clock, t));
    EXPECT_EQ(clock, t);
    EXPECT_FALSE(Ui_ShouldPostProgressAt(5, 100, &clock, t + kMs / 2));
    // Start and end are always posted.
    EXPECT_TRUE(Ui_ShouldPostProgressAt(0, 100, &clock, t + kMs / 2 + 1));
    EXPECT_TRUE(Ui_ShouldPostProgressAt(100, 100, &clock, t + kMs / 2 + 2));
    uint64_t last = clock;
    EXPECT_FALSE(Ui_ShouldPostProgressAt(6, 100, &clock, last + kMs - 1));
    EXPECT_EQ(clock, last);
    EXPECT_TRUE(Ui_ShouldPostProgressAt(7, 100, &clock, last + kMs));
}

TEST(ProgressThrottle, AFastProducerStillPostsEveryMillisecond)
{
    // One call every 10 microseconds for 200 ms: measured from the last post, a post is due
    // once a millisecond; measured from the previous call, never.
    uint64_t clock = 0;
    uint64_t t = 133000000000000000ull;
    int posts = 0;
    uint64_t lastPost = 0;
    uint64_t longestGap = 0;
    const uint64_t total = 20000;
    for (uint64_t done = 0; done <= total; ++done, t += 100) {
        if (Ui_ShouldPostProgressAt(done, total, &clock, t)) {
            if (posts > 0 && t - lastPost > longestGap) longestGap = t - lastPost;
            lastPost = t;
            ++posts;
        }
    }
    EXPECT_GE(posts, 199);
    EXPECT_LE(longestGap, kMs);
}

TEST(ProgressThrottle, RealClock)
{
    uint64_t a = Ui_ProgressClockNow();
    // 2024-01-01 in ticks since 1601.
    EXPECT_GT(a, 133485408000000000ull);
    uint64_t clock = 0;
    EXPECT_TRUE(Ui_ShouldPostProgress(0, 10, &clock));
    EXPECT_FALSE(Ui_ShouldPostProgress(1, 10, &clock));
    usleep(1500);
    EXPECT_TRUE(Ui_ShouldPostProgress(2, 10, &clock));
}

}  // namespace
