// The qcow password dialog and the trim settings dialog.
#include <gtest/gtest.h>

#include <fxkeys.h>

#include <cstring>

#include "gui/frame/qcow_password_dialog.h"
#include "gui/frame/trim_settings_dialog.h"
#include "gui_test_util.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Owner;

namespace {

std::vector<uint8_t> Key(const FXString& password)
{
    uint8_t key[16];
    memset(key, 0xAA, sizeof key);
    Ui_PasswordToKey(password, key);
    return std::vector<uint8_t>(key, key + 16);
}

std::vector<uint8_t> Bytes(const std::string& s)
{
    std::vector<uint8_t> v(s.begin(), s.end());
    v.resize(16, 0);
    return v;
}

TEST(PasswordKey, FirstSixteenUtf8BytesZeroPadded)
{
    EXPECT_EQ(Key(""), Bytes(""));
    EXPECT_EQ(Key("secret"), Bytes("secret"));
    EXPECT_EQ(Key("0123456789abcdef"), Bytes("0123456789abcdef"));
    EXPECT_EQ(Key("0123456789abcdefGHIJ"), Bytes("0123456789abcdef"));
    // Fifteen ASCII bytes and a two-byte character: the character is cut after its first byte.
    EXPECT_EQ(Key("0123456789abcde\xC3\xA9"), Bytes("0123456789abcde\xC3"));
    // Eight two-byte characters fill the key exactly.
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += "\xC3\xA9";
    EXPECT_EQ(Key(eight.c_str()), Bytes(eight));
}

// Enter typed in the password field answers as OK: the key is built from the field.
TEST(PasswordDialog, EnterInTheFieldPressesOk)
{
    App();
    CInputQemuQcowPasswordDialog dialog(Owner());
    After(100, [&] {
        dialog.GetPasswordField()->setText("secret");
        guitest::PressKey(dialog.GetPasswordField(), KEY_Return);
        // Without an answer the dialog would wait for ever: close it, which fails the test.
        if (dialog.shown()) Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    const uint8_t expected[16] = {'s', 'e', 'c', 'r', 'e', 't'};
    EXPECT_EQ(memcmp(dialog.key, expected, 16), 0);
    // Leaving the field is no answer.
    After(100, [&] {
        dialog.GetPasswordField()->setText("other");
        dialog.GetPasswordField()->handle(&dialog, FXSEL(SEL_FOCUSOUT, 0), NULL);
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
}

TEST(PasswordDialog, StartsEmptyWithVerifySetAndBuildsTheKey)
{
    App();
    CInputQemuQcowPasswordDialog dialog(Owner());
    bool startedEmpty = false, startedChecked = false;
    After(100, [&] {
        startedEmpty = dialog.GetPasswordField()->getText().empty();
        startedChecked = dialog.GetVerifyButton()->getCheck() == TRUE;
        dialog.GetPasswordField()->setText("0123456789abcdefXYZ");
        guitest::Screenshot(&dialog, "password_dialog");
        dialog.GetVerifyButton()->setCheck(FALSE);
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_TRUE(startedEmpty);
    EXPECT_TRUE(startedChecked);
    EXPECT_FALSE(dialog.verify);
    EXPECT_EQ(std::vector<uint8_t>(dialog.key, dialog.key + 16), Bytes("0123456789abcdef"));
    EXPECT_TRUE(dialog.GetPasswordField()->getTextStyle() & TEXTFIELD_PASSWD);

    // A second run starts empty and checked again, whatever the first run held.
    After(50, [&] {
        startedEmpty = dialog.GetPasswordField()->getText().empty();
        startedChecked = dialog.GetVerifyButton()->getCheck() == TRUE;
        dialog.GetPasswordField()->setText("x");
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_TRUE(startedEmpty);
    EXPECT_TRUE(startedChecked);
    After(50, [&] { dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
}

TEST(TrimDialog, RoundTripsTheOption)
{
    App();
    CTrimSettingDialog dialog(Owner());
    dialog.option = true;
    bool shown = false;
    After(100, [&] {
        shown = dialog.GetOptionButton()->getCheck() == TRUE;
        guitest::Screenshot(&dialog, "trim_settings_dialog");
        dialog.GetOptionButton()->setCheck(FALSE);
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_TRUE(shown);
    EXPECT_FALSE(dialog.option);

    // Cancelled or closed: the option stays as the caller set it.
    After(50, [&] {
        dialog.GetOptionButton()->setCheck(TRUE);
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_FALSE(dialog.option);
    After(50, [&] {
        dialog.GetOptionButton()->setCheck(TRUE);
        dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_FALSE(dialog.option);
    dialog.destroy();
    dialog.create();
}

}  // namespace
