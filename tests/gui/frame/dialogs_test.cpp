// Dialog bases, common dialogs, message boxes, the page base and the path fields.
#include <gtest/gtest.h>

#include <fxkeys.h>

#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow2/qcow2.h"
#include "gui/frame/dialogs.h"
#include "gui/frame/parallels_snapshot_dialog.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/qcow2_snapshot_dialog.h"
#include "gui/frame/qcow_password_dialog.h"
#include "gui/frame/trim_settings_dialog.h"
#include "gui/utility/expand_capacity_dialog.h"
#include "gui/frame/pictures.h"
#include "gui/frame/widgets.h"
#include "gui_test_util.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Owner;

namespace {

// ---- Message boxes -------------------------------------------------------------------------------

TEST(MessageBoxes, AnswerTable)
{
    struct Case {
        int kind;
        FXuint clicked;
        int answer;
    } cases[] = {
        {UI_MSG_YESNO, MBOX_CLICKED_YES, 0},
        {UI_MSG_YESNO, MBOX_CLICKED_NO, 1},
        {UI_MSG_YESNO, 0, 1},
        {UI_MSG_OKCANCEL, MBOX_CLICKED_OK, 0},
        {UI_MSG_OKCANCEL, MBOX_CLICKED_CANCEL, 2},
        {UI_MSG_OKCANCEL, 0, 2},
        {UI_MSG_YESNOCANCEL, MBOX_CLICKED_YES, 0},
        {UI_MSG_YESNOCANCEL, MBOX_CLICKED_NO, 1},
        {UI_MSG_YESNOCANCEL, MBOX_CLICKED_CANCEL, 2},
        {UI_MSG_YESNOCANCEL, 0, 2},
        {UI_MSG_ERROR, MBOX_CLICKED_OK, 0},
        {UI_MSG_ERROR, 0, 0},
        {UI_MSG_INFO, 0, 0},
        {7, MBOX_CLICKED_OK, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ui_MessageBoxAnswer(c.kind, c.clicked), c.answer) << c.kind << " " << c.clicked;
    EXPECT_EQ(Ui_MessageBoxButtons(UI_MSG_YESNO), (FXuint)MBOX_YES_NO);
    EXPECT_EQ(Ui_MessageBoxButtons(UI_MSG_OKCANCEL), (FXuint)MBOX_OK_CANCEL);
    EXPECT_EQ(Ui_MessageBoxButtons(UI_MSG_YESNOCANCEL), (FXuint)MBOX_YES_NO_CANCEL);
    EXPECT_EQ(Ui_MessageBoxButtons(UI_MSG_ERROR), (FXuint)MBOX_OK);
    EXPECT_EQ(Ui_MessageBoxButtons(0), (FXuint)MBOX_OK);
}

TEST(MessageBoxes, Substitutions)
{
    EXPECT_STREQ(Ui_ReplaceFirstPlaceholder("a %0 b %0", "5").text(), "a 5 b %0");
    EXPECT_STREQ(Ui_ReplaceFirstPlaceholder("no placeholder", "x").text(), "no placeholder");
    EXPECT_STREQ(Ui_ReplaceFirstPlaceholder("%0", "100%s").text(), "100%s");
    EXPECT_STREQ(Ui_JoinMessageDetail("text", "detail").text(), "text\n[detail]");
    const FXString args[] = {"2", "p01%1"};
    EXPECT_STREQ(Ui_ReplacePlaceholders("part %0 (%1), again %0 %2", args, 2).text(),
                 "part 2 (p01%1), again %0 %2");
    EXPECT_STREQ(Ui_ReplacePlaceholders("%1 before %0", args, 2).text(), "p01%1 before 2");
    struct Case {
        const char* text;
        FXlong number;
        const char* expected;
    } cases[] = {
        {"%0 file systems", 3, "3 file systems"},
        {"found %d, %d", 2, "found 2, %d"},
        {"%u of them", 7, "7 of them"},
        {"%s and %n stay, %d is placed", 4, "%s and %n stay, 4 is placed"},
        {"100%% sure: %i", -1, "100% sure: -1"},
        {"trailing %", 1, "trailing %"},
        {"nothing to place", 9, "nothing to place"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(Ui_FormatOneInteger(c.text, c.number).text(), c.expected) << c.text;
}

// Runs a message box and presses `button` (an FXMessageBox command) or closes it (0); answers
// the box's answer and the text it showed.
int RunBox(int kind, FXSelector button, std::string* shown, std::function<int()> show = nullptr,
           const char* shot = nullptr)
{
    After(100, [=] {
        FXWindow* box = Modal();
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(box->isMemberOf(FXMETACLASS(FXMessageBox)));
        *shown = guitest::LabelTexts(box);
        if (shot) guitest::Screenshot(box, shot);
        if (button)
            Command(box, button);
        else
            box->handle(box, FXSEL(SEL_CLOSE, 0), NULL);
    });
    if (show) return show();
    return COutputMessage::ShowText(Owner(), "caption", "text", kind);
}

TEST(MessageBoxes, ButtonsAndClosingGiveTheTableAnswers)
{
    App();
    std::string shown;
    EXPECT_EQ(RunBox(UI_MSG_YESNO, FXMessageBox::ID_CLICKED_YES, &shown), 0);
    EXPECT_EQ(RunBox(UI_MSG_YESNO, FXMessageBox::ID_CLICKED_NO, &shown), 1);
    EXPECT_EQ(RunBox(UI_MSG_YESNO, 0, &shown), 1);
    EXPECT_EQ(RunBox(UI_MSG_OKCANCEL, FXMessageBox::ID_CLICKED_OK, &shown), 0);
    EXPECT_EQ(RunBox(UI_MSG_OKCANCEL, 0, &shown), 2);
    EXPECT_EQ(RunBox(UI_MSG_YESNOCANCEL, FXMessageBox::ID_CLICKED_NO, &shown), 1);
    EXPECT_EQ(RunBox(UI_MSG_YESNOCANCEL, 0, &shown), 2);
    EXPECT_EQ(RunBox(UI_MSG_ERROR, FXMessageBox::ID_CLICKED_OK, &shown), 0);
    // Without an owner window the box belongs to the application.
    EXPECT_EQ(RunBox(0, FXMessageBox::ID_CLICKED_NO, &shown,
                     [] {
                         return COutputMessage::ShowText(NULL, "caption", "no owner",
                                                         UI_MSG_YESNOCANCEL);
                     }),
              1);
    EXPECT_NE(shown.find("no owner"), std::string::npos);
}

TEST(MessageBoxes, TextsAreShownLiterally)
{
    App();
    std::string shown;
    // A path with printf directives in it: shown as it is, never interpreted.
    FXString path = "/tmp/100%s %n %d.vmdk";
    RunBox(
        0, FXMessageBox::ID_CLICKED_OK, &shown,
        [&] { return COutputMessage::ShowMessageDetail(Owner(), 0, 27, UI_MSG_ERROR, path); },
        "message_box");
    EXPECT_NE(shown.find(std::string(Ui_MessageText(27).text()) + "\n[/tmp/100%s %n %d.vmdk]"),
              std::string::npos)
        << shown;

    MessageTable& table = Ui_Messages();
    FXString saved = table.texts[14];
    table.texts[14] = "first %0, second %0";
    RunBox(0, FXMessageBox::ID_CLICKED_OK, &shown,
           [&] { return COutputMessage::ShowMessageNumber(Owner(), 0, 14, UI_MSG_INFO, 5); });
    EXPECT_NE(shown.find("first 5, second %0"), std::string::npos) << shown;
    RunBox(0, FXMessageBox::ID_CLICKED_OK, &shown, [&] {
        FXString arg = "50%d";
        return COutputMessage::ShowMessage(Owner(), 0, 14, UI_MSG_INFO, &arg);
    });
    EXPECT_NE(shown.find("first 50%d, second %0"), std::string::npos) << shown;
    table.texts[14] = "%s %n %x found %0";
    RunBox(0, FXMessageBox::ID_CLICKED_OK, &shown,
           [&] { return COutputMessage::ShowMessageFormat(Owner(), 0, 14, UI_MSG_INFO, 3); });
    EXPECT_NE(shown.find("%s %n %x found 3"), std::string::npos) << shown;
    table.texts[14] = saved;
}

// ---- Dialogs ---------------------------------------------------------------------------------------

TEST(DialogBase, FixedAndResizable)
{
    App();
    CNDialogBase fixed(Owner(), 8, 20, 10, false);
    EXPECT_EQ(fixed.getWidth(), Ui_ScaleX(20));
    EXPECT_EQ(fixed.getHeight(), Ui_ScaleY(10));
    EXPECT_TRUE(fixed.getDecorations() & DECOR_CLOSE);
    EXPECT_FALSE(fixed.getDecorations() & DECOR_RESIZE);
    ASSERT_NE(fixed.GetContentFrame(), nullptr);
    EXPECT_EQ(fixed.GetContentFrame()->getWidth(), Ui_ScaleX(20));
    EXPECT_STREQ(fixed.getTitle().text(), Ui_MessageText(8).text());
    CNDialogBase resizable(Owner(), 8, 20, 10, true);
    EXPECT_TRUE(resizable.getDecorations() & DECOR_RESIZE);
    EXPECT_TRUE(resizable.GetContentFrame()->getLayoutHints() & LAYOUT_FILL_X);
    CNDialogBase plain(Owner(), "free", DECOR_TITLE, 0, 0, 50, 40, 1, 2, 3, 4, 5, 6);
    EXPECT_EQ(plain.GetContentFrame(), nullptr);
    FXTextField* field = Ui_CreateTextField(fixed.GetContentFrame(), 1, 1, 5, 2);
    CNDialogBase::SetFieldUInt64(field, 1ull << 40);
    EXPECT_STREQ(field->getText().text(), "1099511627776");
}

TEST(YesNoDialog, KeepsItsSizeAndAnswersOneOrZero)
{
    App();
    FXint unitX = Ui_LayoutUnitX(), unitY = Ui_LayoutUnitY();
    Ui_SetLayoutUnitsFromSize(200);  // layout units play no part in this dialog
    CYesNoDialog dialog(Owner());
    Ui_SetLayoutUnitsFromSize(90);
    (void)unitX;
    (void)unitY;
    EXPECT_EQ(dialog.getWidth(), 308);
    EXPECT_EQ(dialog.getHeight(), 108);
    After(100, [&] {
        guitest::Screenshot(&dialog, "yes_no_dialog");
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 1u);
    After(50, [&] { Command(&dialog, UI_ID_CANCEL); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 0u);
    After(50, [&] { dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 0u);
    Ui_ComputeLayoutUnits(App());
}

// Enter on the stop question keeps the run going: giving up the output needs a click on OK.
TEST(YesNoDialog, EnterAnswersNo)
{
    App();
    CYesNoDialog dialog(Owner());
    After(100, [&] { guitest::PressKey(Modal(), KEY_Return); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 0u);
}

// Every yes/no question of the program replaces, removes or gives up a file: Enter answers No,
// the No button has the focus, and Yes still answers yes when clicked.
TEST(MessageBoxes, YesNoQuestionsDefaultToNo)
{
    App();
    // Replace the destination, replace the earlier backup, write settings into the image,
    // expand it, rewrite it without free space, expand a child to its parent's size.
    const int questions[] = {288, 409, 343, 366, 374, 339};
    for (int message : questions) {
        for (bool owned : {true, false}) {
            bool noHasFocus = false;
            After(100, [&] {
                FXWindow* box = Modal();
                ASSERT_NE(box, nullptr);
                FXWindow* focus = box->getFocus();
                while (focus && focus->getFocus()) focus = focus->getFocus();
                noHasFocus = focus && focus->getSelector() == FXMessageBox::ID_CLICKED_NO;
                guitest::PressKey(box, KEY_Return);
            });
            FXString name = "/tmp/image.vmdk";
            EXPECT_EQ(COutputMessage::ShowMessage(owned ? Owner() : NULL, 8, message, UI_MSG_YESNO,
                                                  &name),
                      1)
                << message;
            EXPECT_TRUE(noHasFocus) << message;
        }
    }
    std::string shown;
    EXPECT_EQ(RunBox(UI_MSG_YESNO, FXMessageBox::ID_CLICKED_YES, &shown), 0);
}

TEST(AboutDialog, EndsWithAccept)
{
    App();
    FXGIFIcon mini(App(), Ui_WizardMiniIconGif);
    FXGIFIcon picture(App(), Ui_WizardIconGif);
    CAboutDialog dialog(Owner(), &mini, &picture);
    EXPECT_EQ(dialog.getMiniIcon(), &mini);
    std::string texts;
    After(100, [&] {
        texts = guitest::LabelTexts(&dialog);
        guitest::Screenshot(&dialog, "about_dialog");
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_NE(texts.find(Ui_MessageText(325).text()), std::string::npos);
    After(50, [&] { dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 0u);
}

TEST(InputFileDialog, AcceptTakesTheFieldCancelKeepsThePath)
{
    App();
    CInputFileDialog dialog(Owner());
    const FXString args[] = {"2", "p01"};
    dialog.prompt =
        Ui_MessageText(310) + "\n" + Ui_ReplacePlaceholders(Ui_MessageText(309), args, 2);
    dialog.path = "/data/disk.p01";
    std::string prompt;
    After(100, [&] {
        prompt = dialog.GetPathField()->getText().text();
        guitest::Screenshot(&dialog, "input_file_dialog");
        dialog.GetPathField()->setText("/data/elsewhere/disk.p01");
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 1u);
    EXPECT_EQ(prompt, "/data/disk.p01");
    EXPECT_STREQ(dialog.path.text(), "/data/elsewhere/disk.p01");
    After(50, [&] {
        dialog.GetPathField()->setText("/other");
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), 0u);
    EXPECT_STREQ(dialog.path.text(), "/data/elsewhere/disk.p01");
}

class TestSelector : public CSelectFileBaseDialog {
public:
    int calls = 0;
    void* chosen = nullptr;
    TestSelector(FXWindow* owner) : CSelectFileBaseDialog(owner) {}
    void SetSelection(void* data) override
    {
        ++calls;
        chosen = data;
    }
};

TEST(SelectFileBaseDialog, AcceptNeedsASelectedItem)
{
    App();
    TestSelector dialog(Owner());
    FXTreeList* tree = dialog.GetTreeList();
    int a = 1, b = 2;
    FXTreeItem* first = tree->appendItem(NULL, "/images/base.vdi (Current state)", NULL, NULL, &a);
    FXTreeItem* child = tree->appendItem(first, "/images/child.vdi", NULL, NULL, &b);
    tree->expandTree(first);
    // Nothing selected: cancelled, no selection reported. (A browse-select tree selects its
    // current item as soon as it is shown, so the selection is taken away just before.)
    After(100, [&] {
        guitest::Screenshot(&dialog, "select_file_dialog");
        tree->killSelection();
        tree->setCurrentItem(NULL);
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_EQ(dialog.calls, 0);
    // A current item that is not selected does not count either.
    After(50, [&] {
        tree->setCurrentItem(child);
        tree->killSelection();
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_EQ(dialog.calls, 0);
    After(50, [&] {
        tree->setCurrentItem(child);
        tree->selectItem(child);
        Command(&dialog, UI_ID_ACCEPT);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.calls, 1);
    EXPECT_EQ(dialog.chosen, &b);
    After(50, [&] { dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL); });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
    EXPECT_EQ(dialog.calls, 1);
}

class TestPage : public CPropertyPage {
public:
    TestPage(FXComposite* parent) : CPropertyPage(parent) {}
    void OnSetActive() override {}
    int OnWizardNext() override { return 1; }
    int OnWizardBack() override { return -1; }
};

TEST(PropertyPage, DefaultsAndAccelerators)
{
    App();
    FXDialogBox host(Owner(), "host");
    FXSwitcher* switcher = new FXSwitcher(&host);
    TestPage* page = new TestPage(switcher);
    EXPECT_TRUE(page->QueryCancel());
    EXPECT_TRUE(page->title.empty());
    EXPECT_NE(page->getAccelTable(), nullptr);
    EXPECT_EQ(page->getPadLeft(), 4);
    EXPECT_EQ(page->getVSpacing(), 4);
    EXPECT_EQ(CPropertyPage::ScaleY(3), Ui_ScaleY(3));
}

// ---- Path fields ------------------------------------------------------------------------------------

TEST(PathFields, ModesAndConversions)
{
    App();
    FXDialogBox host(Owner(), "host");
    FXTextField* field = Ui_CreateTextField(&host, 0, 0, 10, 2);
    const FXuint kAbs = 63, kRel = 64;
    FXuint mode = 0;
    Ui_ShowPathField("../base/parent.qcow2", field, &mode, kAbs, kRel);
    EXPECT_EQ(mode, kRel);
    Ui_ShowPathField("/images/parent.qcow2", field, &mode, kAbs, kRel);
    EXPECT_EQ(mode, kAbs);
    Ui_ShowPathField("bad|name", field, &mode, kAbs, kRel);
    EXPECT_EQ(mode, kAbs);

    const FXString base = "/images/child/child.qcow2";
    field->setText("../base/parent.qcow2");
    Ui_SwitchPathFieldMode(base, field, kAbs, kAbs);
    EXPECT_STREQ(field->getText().text(), "/images/base/parent.qcow2");
    Ui_SwitchPathFieldMode(base, field, kRel, kAbs);
    EXPECT_STREQ(field->getText().text(), "../base/parent.qcow2");
    // Already in the asked form, or not a valid path: unchanged.
    Ui_SwitchPathFieldMode(base, field, kRel, kAbs);
    EXPECT_STREQ(field->getText().text(), "../base/parent.qcow2");
    field->setText("/a|b");
    Ui_SwitchPathFieldMode(base, field, kRel, kAbs);
    EXPECT_STREQ(field->getText().text(), "/a|b");

    FXString text = "untouched";
    mode = kRel;
    EXPECT_FALSE(Ui_PathFieldChoice(base, base, &mode, kAbs, &text));
    EXPECT_STREQ(text.text(), "untouched");
    EXPECT_TRUE(Ui_PathFieldChoice(base, "/images/child/p.qcow2", &mode, kAbs, &text));
    EXPECT_STREQ(text.text(), "p.qcow2");
    EXPECT_EQ(mode, kRel);
    // A base that is no absolute path cannot relate: the field switches to absolute.
    EXPECT_TRUE(Ui_PathFieldChoice("relative/child.qcow2", "/images/p.qcow2", &mode, kAbs, &text));
    EXPECT_STREQ(text.text(), "/images/p.qcow2");
    EXPECT_EQ(mode, kAbs);
    EXPECT_TRUE(Ui_PathFieldChoice(base, "/x/y.qcow2", &mode, kAbs, &text));
    EXPECT_STREQ(text.text(), "/x/y.qcow2");
}

}  // namespace

// ---- Every text whole ------------------------------------------------------------------------

int EndAtOnce(void*, UiProgressCallback, void*) { return 0; }
int WaitJobEndsAtOnce(void*, CWaitDialog*) { return 0; }

// Shows a dialog without a modal loop and checks its texts at the program's font sizes.
void ExpectWholeDialog(FXDialogBox* dialog, const std::string& name)
{
    dialog->create();
    dialog->show(PLACEMENT_OWNER);
    guitest::Pump(30);
    guitest::ExpectWholeTexts(dialog, name);
    dialog->hide();
}

// The common dialogs, pickers and small dialogs of the frame show every caption, field and
// list item whole at 9 and 12 points.
TEST(EveryDialog, ShowsItsWholeTexts)
{
    App();
    FXGIFIcon mini(App(), Ui_WizardMiniIconGif);
    FXGIFIcon picture(App(), Ui_WizardIconGif);
    guitest::AtEachFontSize([&](FXuint decipoints) {
        const std::string at = " at " + std::to_string(decipoints / 10) + " points";
        {
            CAboutDialog d(Owner(), &mini, &picture);
            ExpectWholeDialog(&d, "about dialog" + at);
        }
        {
            CYesNoDialog d(Owner());
            ExpectWholeDialog(&d, "stop question" + at);
        }
        {
            CInputFileDialog d(Owner());
            d.prompt = Ui_MessageText(285);
            ExpectWholeDialog(&d, "file input dialog" + at);
        }
        {
            CInputQemuQcowPasswordDialog d(Owner());
            ExpectWholeDialog(&d, "password dialog" + at);
        }
        {
            CTrimSettingDialog d(Owner());
            ExpectWholeDialog(&d, "trim settings dialog" + at);
        }
        {
            CExpandCapacityDialog d(Owner());
            d.capacity = 4194304;
            d.maximum = 0xFFFFFFFFull;
            ExpectWholeDialog(&d, "expand capacity dialog" + at);
        }
        {
            CProgressDialog d(Owner(), EndAtOnce, nullptr);
            ExpectWholeDialog(&d, "progress dialog" + at);
        }
        {
            CWaitDialog d(Owner(), WaitJobEndsAtOnce, nullptr, Ui_MessageText(8),
                          Ui_MessageText(304));
            ExpectWholeDialog(&d, "wait dialog" + at);
        }
        {
            Qcow2SnapshotList list;
            Qcow2_InitSnapshotList(&list);
            CQemuQcow2DiskSelectorDialog d(Owner(), &list);
            ExpectWholeDialog(&d, "qcow2 snapshot picker" + at);
            Qcow2_FreeSnapshotList(&list);
        }
        {
            ParallelsSnapshotList list;
            ParallelsBundle_InitSnapshotList(&list);
            CParallelsDiskSelectorDialog d(Owner(), &list);
            ExpectWholeDialog(&d, "Parallels snapshot picker" + at);
            ParallelsBundle_FreeSnapshotList(&list);
        }
    });
}
