// The wizard window under a display: header and buttons from the catalogue, Next and Back
// through the routing, messages of the routing, Cancel, About, and the plug-in scan.
#include <gtest/gtest.h>

#include <fxkeys.h>

#include <algorithm>
#include <set>
#include <string>

#include "disk/disk_open.h"
#include "disk/plugins/standin_build.h"
#include "foundation/platform.h"
#include "gui/frame/gui_test_util.h"
#include "gui/pages/convert_page.h"
#include "gui/wizard/wizard.h"
#include "volume/used_map.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Pump;

namespace {

// The button of the wizard that sends `selector`.
FXButton* ButtonOf(FXWindow* root, FXSelector selector)
{
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
        if (w->isMemberOf(FXMETACLASS(FXButton)) && w->getSelector() == selector)
            return static_cast<FXButton*>(w);
        if (FXButton* inner = ButtonOf(w, selector)) return inner;
    }
    return nullptr;
}

// A label text as the catalogue gives it, without the hot-key marks of button captions.
std::string Caption(int message)
{
    FXString text = Ui_MessageText(message);
    return std::string(stripHotKey(text).text());
}

// A page whose answers the test chooses. By default it behaves like every page of the wizard:
// Next and Back ask the wizard's routing, and on activation Back is on except on page 0.
class ScriptedPage : public CPropertyPage {
public:
    IPropertyPageEvent* events;
    int index;
    int activated = 0;
    bool mayCancel = true;
    int fixedNext = -2;  // -2: ask the routing; otherwise the answer of Next
    ScriptedPage(IPropertyPageEvent* events, int index, FXComposite* switcher)
        : CPropertyPage(switcher), events(events), index(index)
    {}
    virtual void OnSetActive()
    {
        ++activated;
        events->EnableBack(index != 0);
        events->EnableNext(true);
        events->EnableCancel(true);
    }
    virtual int OnWizardNext() { return fixedNext == -2 ? events->GetNextPage(index) : fixedNext; }
    virtual int OnWizardBack() { return events->GetPrevPage(index); }
    virtual bool QueryCancel() { return mayCancel; }
};

// The wizard with its pages replaced by scripted ones, so that the window itself is tested
// whatever the real pages do.
class ScriptedWizard : public CVdxWizard {
public:
    ScriptedWizard(FXApp* app) : CVdxWizard(app)
    {
        for (int i = 0; i < WIZARD_PAGE_COUNT; ++i) {
            ScriptedPage* page = new ScriptedPage(this, i, switcher);
            page->title = pages[i]->title;
            page->description = pages[i]->description;
            page->reparent(switcher, pages[i]);
            delete pages[i];
            pages[i] = page;
        }
        switcher->setCurrent(WIZARD_PAGE_SOURCE, FALSE);
    }
    ScriptedPage* Page(int index) { return static_cast<ScriptedPage*>(pages[index]); }
};

class WizardTest : public ::testing::Test {
protected:
    CVdxWizard* wizard = nullptr;
    ScriptedWizard* scripted = nullptr;

    void SetUp() override
    {
        // Another top-level window keeps the event loop's timers alive once the wizard is gone.
        guitest::Owner();
    }
    void TearDown() override
    {
        delete wizard;
        Pump(20);
    }
    void Show(CVdxWizard* w)
    {
        wizard = w;
        wizard->create();
        wizard->show(PLACEMENT_SCREEN);
        Pump(50);
        // The buttons take their state from the wizard now, not when the loop next idles.
        App()->forceRefresh();
    }
    void ShowScripted()
    {
        scripted = new ScriptedWizard(App());
        Show(scripted);
    }

    void ExpectPage(int page, int title)
    {
        EXPECT_EQ(wizard->GetCurrentPage(), page);
        EXPECT_STREQ(wizard->GetTitleLabel()->getText().text(), Ui_MessageText(title).text());
        EXPECT_STREQ(wizard->GetDescriptionLabel()->getText().text(),
                     wizard->GetPage(page)->description.text());
    }
};

TEST_F(WizardTest, ShowsTheFirstPageWithHeaderAndButtons)
{
    Show(new CVdxWizard(App()));
    EXPECT_STREQ(wizard->getTitle().text(), Ui_MessageText(8).text());
    ExpectPage(0, 25);
    EXPECT_STREQ(wizard->GetDescriptionLabel()->getText().text(), Ui_MessageText(26).text());
    EXPECT_EQ(wizard->GetTitleLabel()->getFont()->getWeight(), 70u);
    EXPECT_EQ(wizard->getWidth(), Ui_ScaleX(42));
    EXPECT_EQ(wizard->getHeight(), Ui_ScaleY(28));
    EXPECT_NE(wizard->getIcon(), nullptr);
    EXPECT_NE(wizard->getMiniIcon(), nullptr);

    struct Case {
        FXSelector selector;
        int message;
        bool enabled;  // on the first page Back is off
    } cases[] = {{CVdxWizard::ID_ABOUT, 12, true},
                 {CVdxWizard::ID_BACK, 10, false},
                 {CVdxWizard::ID_NEXT, 9, true},
                 {FXDialogBox::ID_CANCEL, 11, true}};
    for (const Case& c : cases) {
        FXButton* button = ButtonOf(wizard, c.selector);
        ASSERT_NE(button, nullptr) << c.selector;
        EXPECT_EQ(std::string(button->getText().text()), Caption(c.message));
        EXPECT_EQ(button->isEnabled() != 0, c.enabled) << c.selector;
        EXPECT_EQ(button->getWidth(), Ui_ScaleX(7));
    }
    // Back sits left of Next, Cancel right of both, About at the far left.
    EXPECT_LT(ButtonOf(wizard, CVdxWizard::ID_ABOUT)->getX() +
                  ButtonOf(wizard, CVdxWizard::ID_ABOUT)->getParent()->getX(),
              ButtonOf(wizard, CVdxWizard::ID_BACK)->getParent()->getX());
    EXPECT_LT(ButtonOf(wizard, CVdxWizard::ID_BACK)->getX(),
              ButtonOf(wizard, CVdxWizard::ID_NEXT)->getX());
    EXPECT_LT(ButtonOf(wizard, CVdxWizard::ID_NEXT)->getX(),
              ButtonOf(wizard, FXDialogBox::ID_CANCEL)->getX());
    guitest::Screenshot(wizard, "wizard");
}

// A new blank disk walks 0 -> 6 -> 7 -> option page -> 32 -> 33, and Next after the run starts
// over on the first page with the job reset; Back returns the same way.
TEST_F(WizardTest, NextAndBackFollowTheRouting)
{
    ShowScripted();
    ConversionJob* job = wizard->GetJob();
    job->sourceKind = JOB_SOURCE_NEW_DISK;
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(6, 38);
    App()->forceRefresh();
    EXPECT_TRUE(ButtonOf(wizard, CVdxWizard::ID_BACK)->isEnabled());
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(7, 81);
    job->destKind = DEST_VDI;
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(21, 233);
    EXPECT_EQ(job->vdiList4, 3u);
    Command(wizard, CVdxWizard::ID_BACK);
    ExpectPage(7, 81);
    job->destKind = DEST_VDI;
    Command(wizard, CVdxWizard::ID_NEXT);
    Command(wizard, CVdxWizard::ID_NEXT);  // whole cylinders: the boundary page is skipped
    ExpectPage(32, 281);
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(33, 302);
    Command(wizard, CVdxWizard::ID_BACK);
    ExpectPage(32, 281);
    Command(wizard, CVdxWizard::ID_NEXT);
    job->sourceChoice = 2;
    job->sourceText = "typed";
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(0, 25);
    EXPECT_EQ(job->sourceChoice, 0);
    EXPECT_EQ(job->sourceText, FXString(""));
    App()->forceRefresh();
    EXPECT_FALSE(ButtonOf(wizard, CVdxWizard::ID_BACK)->isEnabled());
    // Back on the first page goes nowhere.
    Command(wizard, CVdxWizard::ID_BACK);
    ExpectPage(0, 25);
}

// A raw image file that cannot be measured keeps the first page with message 56.
TEST_F(WizardTest, RoutingMessageKeepsThePage)
{
    ShowScripted();
    ConversionJob* job = wizard->GetJob();
    job->sourceKind = JOB_SOURCE_RAW_FILE;
    job->sourcePath = "/nonexistent/image.img";
    std::string shown;
    bool seen = false;
    After(150, [&] {
        FXWindow* box = Modal();
        ASSERT_NE(box, nullptr);
        seen = box->isMemberOf(FXMETACLASS(FXMessageBox));
        shown = guitest::LabelTexts(box);
        Command(box, FXMessageBox::ID_CLICKED_OK);
    });
    Command(wizard, CVdxWizard::ID_NEXT);
    EXPECT_TRUE(seen);
    EXPECT_NE(shown.find(Ui_MessageText(56).text()), std::string::npos) << shown;
    ExpectPage(0, 25);
}

TEST_F(WizardTest, ModalResults)
{
    ShowScripted();
    After(100, [&] { Command(wizard, FXDialogBox::ID_CANCEL); });
    EXPECT_EQ(wizard->execute(PLACEMENT_SCREEN), 0u);
    After(100, [&] { wizard->handle(wizard, FXSEL(SEL_CLOSE, 0), NULL); });
    EXPECT_EQ(wizard->execute(PLACEMENT_SCREEN), 0u);
    After(100, [&] { Command(wizard, FXDialogBox::ID_ACCEPT); });
    EXPECT_EQ(wizard->execute(PLACEMENT_SCREEN), 1u);
}

// A page that answers -1 (or an index outside the wizard) keeps everything as it is.
TEST_F(WizardTest, StayWhenThePageSaysSo)
{
    ShowScripted();
    ScriptedPage* first = scripted->Page(0);
    int activations = first->activated;
    for (int answer : {-1, 34, 1000}) {
        first->fixedNext = answer;
        Command(wizard, CVdxWizard::ID_NEXT);
        ExpectPage(0, 25);
        EXPECT_EQ(first->activated, activations);
    }
    first->fixedNext = 8;
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(8, 112);
    EXPECT_EQ(scripted->Page(8)->activated, 1);
}

// Closing the window or Cancel while the current page refuses (a running conversion) leaves the
// wizard open; once the page agrees it ends with 0.
TEST_F(WizardTest, CancelAsksTheCurrentPage)
{
    ShowScripted();
    scripted->Page(0)->mayCancel = false;
    bool stillOpen = false;
    After(100, [&] {
        wizard->handle(wizard, FXSEL(SEL_CLOSE, 0), NULL);
        Command(wizard, FXDialogBox::ID_CANCEL);
    });
    After(250, [&] {
        stillOpen = wizard->shown() && Modal() == wizard;
        scripted->Page(0)->mayCancel = true;
        Command(wizard, FXDialogBox::ID_CANCEL);
    });
    EXPECT_EQ(wizard->execute(PLACEMENT_SCREEN), 0u);
    EXPECT_TRUE(stillOpen);
}

TEST_F(WizardTest, AboutDialog)
{
    ShowScripted();
    bool seen = false;
    After(150, [&] {
        FXWindow* about = Modal();
        ASSERT_NE(about, nullptr);
        seen = about->isMemberOf(FXMETACLASS(CAboutDialog));
        Command(about, UI_ID_ACCEPT);
    });
    Command(wizard, CVdxWizard::ID_ABOUT);
    EXPECT_TRUE(seen);
}

// Whatever the job holds when the window goes is released (checked by the leak checker of the
// sanitizer build).
TEST_F(WizardTest, DestructionReleasesTheJob)
{
    ShowScripted();
    ConversionJob* job = wizard->GetJob();
    job->sourceDisk = Disk_Alloc();
    Disk_Init(job->sourceDisk);
    DiskGeometry g = {1000, 16, 63, 512, 0};
    ASSERT_EQ(Disk_OpenZero(job->sourceDisk, &g), DISK_OK);
    job->volumeList = UsedMap_Alloc();
    UsedMap_Init(job->volumeList);
    delete wizard;
    wizard = nullptr;
}

// The real wizard with a page made current directly, as the routing would.
class JumpWizard : public CVdxWizard {
public:
    JumpWizard(FXApp* app) : CVdxWizard(app) {}
    void Jump(FXint page) { ShowPage(page); }
};

// The header at the program's font sizes: on every page the title and the description keep
// clear of the picture at the right and show their whole text.
TEST_F(WizardTest, HeaderTextsKeepClearOfThePicture)
{
    guitest::AtEachFontSize([&](FXuint decipoints) {
        JumpWizard* w = new JumpWizard(App());
        Show(w);
        FXLabel* title = wizard->GetTitleLabel();
        FXLabel* text = wizard->GetDescriptionLabel();
        FXWindow* texts = title->getParent();
        FXLabel* picture = nullptr;
        for (FXWindow* c = texts->getParent()->getFirst(); c; c = c->getNext())
            if (c->isMemberOf(FXMETACLASS(FXLabel)) && static_cast<FXLabel*>(c)->getIcon())
                picture = static_cast<FXLabel*>(c);
        ASSERT_NE(picture, nullptr);
        for (int page = 0; page < WIZARD_PAGE_COUNT; ++page) {
            w->Jump(page);
            wizard->layout();
            for (FXLabel* label : {title, text}) {
                EXPECT_LE(texts->getX() + label->getX() + label->getWidth(), picture->getX())
                    << decipoints << " page " << page;
                EXPECT_LE(label->getDefaultWidth(), label->getWidth())
                    << decipoints << " page " << page << ": " << label->getText().text();
                EXPECT_LE(label->getDefaultHeight(), label->getHeight())
                    << decipoints << " page " << page << ": " << label->getText().text();
            }
            if (page == WIZARD_PAGE_GEOMETRY)
                guitest::Screenshot(wizard, "wizard_page08_" + std::to_string(decipoints));
        }
        delete wizard;
        wizard = nullptr;
    });
}

// ---- Navigation keys while the conversion runs ------------------------------------------------

// Presses and releases a key with Alt held, through the window's own key handling (the
// buttons' hot keys live in its accelerator table).
void AltKey(FXWindow* window, FXuint key)
{
    FXEvent event;
    event.code = key;
    event.state = ALTMASK;
    event.type = SEL_KEYPRESS;
    window->handle(window, FXSEL(SEL_KEYPRESS, 0), &event);
    event.type = SEL_KEYRELEASE;
    window->handle(window, FXSEL(SEL_KEYRELEASE, 0), &event);
}

// Alt+N on the destination page starts the run; an Alt+B that follows before the buttons have
// shown their new state must not leave the running page (nor may Back or Next commands from
// elsewhere). The run then ends normally on page 33, and Back works again.
TEST_F(WizardTest, KeysCannotLeaveARunningConversion)
{
    testsupport::TempDir dir;
    JumpWizard* w = new JumpWizard(App());
    Show(w);
    ConversionJob* job = wizard->GetJob();
    DiskGeometry g = {0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, 16 * 63 * 64);
    job->sourceKind = JOB_SOURCE_NEW_DISK;
    job->sourceDisk = Disk_Alloc();
    Disk_Init(job->sourceDisk);
    ASSERT_EQ(Disk_OpenZero(job->sourceDisk, &g), DISK_OK);
    job->workGeometry = g;
    job->destKind = DEST_FLAT;
    job->destGeometry = g;
    job->finalGeometry = g;
    job->destName = dir.file("out.img").c_str();
    w->Jump(WIZARD_PAGE_DEST_PATH);
    App()->forceRefresh();
    ASSERT_TRUE(ButtonOf(wizard, CVdxWizard::ID_BACK)->isEnabled());
    ASSERT_TRUE(ButtonOf(wizard, CVdxWizard::ID_NEXT)->isEnabled());

    AltKey(wizard, KEY_n);
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    CConvertPropertyPage* run =
        static_cast<CConvertPropertyPage*>(wizard->GetPage(WIZARD_PAGE_CONVERT));
    ASSERT_TRUE(run->IsRunning());
    // No event has been handled since: the buttons still look as they did on page 32.
    AltKey(wizard, KEY_b);
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    EXPECT_TRUE(run->IsRunning());
    EXPECT_FALSE(wizard->IsBackEnabled());
    EXPECT_FALSE(wizard->IsNextEnabled());
    EXPECT_NE(job->sourceDisk, nullptr);
    App()->forceRefresh();
    EXPECT_FALSE(ButtonOf(wizard, CVdxWizard::ID_BACK)->isEnabled());
    EXPECT_FALSE(ButtonOf(wizard, CVdxWizard::ID_NEXT)->isEnabled());
    // The commands themselves, as any other sender would give them.
    Command(wizard, CVdxWizard::ID_BACK);
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    Command(wizard, CVdxWizard::ID_NEXT);
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    EXPECT_TRUE(run->IsRunning());

    while (run->IsRunning()) App()->runOneEvent(true);
    EXPECT_EQ(run->GetResult(), DISK_OK);
    EXPECT_TRUE(wizard->IsBackEnabled() && wizard->IsNextEnabled());
    uint64_t size = 0;
    EXPECT_TRUE(File_GetSizeByPath(dir.file("out.img").c_str(), &size));
    EXPECT_EQ(size, Geometry_GetTotalSectors(&g) * 512);
    App()->forceRefresh();
    AltKey(wizard, KEY_b);
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_PATH);
}

// A button that is off is off for its command too: Back on the first page, and Cancel or
// closing while a page has switched Cancel off.
TEST_F(WizardTest, CommandsFollowTheButtonFlags)
{
    ShowScripted();
    scripted->Page(0)->fixedNext = 8;
    wizard->EnableNext(false);
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(0, 25);
    wizard->EnableNext(true);
    Command(wizard, CVdxWizard::ID_NEXT);
    ExpectPage(8, 112);
    wizard->EnableBack(false);
    Command(wizard, CVdxWizard::ID_BACK);
    ExpectPage(8, 112);
    bool stillOpen = false;
    After(100, [&] {
        wizard->EnableCancel(false);
        Command(wizard, FXDialogBox::ID_CANCEL);
        wizard->handle(wizard, FXSEL(SEL_CLOSE, 0), NULL);
        stillOpen = Modal() == wizard;
        wizard->EnableCancel(true);
        Command(wizard, FXDialogBox::ID_CANCEL);
    });
    EXPECT_EQ(wizard->execute(PLACEMENT_SCREEN), 0u);
    EXPECT_TRUE(stillOpen);
}

// ---- Plug-in scan ------------------------------------------------------------------------------

TEST(PluginScan, ListsAcceptedModulesOnce)
{
    testsupport::TempDir dir;
    std::string output;
    ASSERT_TRUE(standin::Build(
        {{dir.file("both_a.vpl"), standin::FullFlags()},
         {dir.file("both_b.vpl"), standin::FullFlags()},
         {dir.file("reader.vpl"),
          "-DWITH_KIND=1 -DWITH_VERSION=0x6A0 -DWITH_INPUT -DWITH_OPEN "
          "-DWITH_READ"},
         {dir.file("writer.vpl"),
          "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_OUTPUT "
          "-DWITH_WRITE_EX"},
         {dir.file("neither.vpl"), "-DWITH_KIND=1 -DWITH_VERSION=0x600"},
         {dir.file("version7.vpl"), "-DWITH_KIND=1 -DWITH_VERSION=0x700 -DWITH_READ"},
         {dir.file("no_kind.vpl"), "-DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_READ"},
         {dir.file("module.so"), standin::FullFlags()}},
        &output))
        << output;
    testsupport::WriteText(dir.file("broken.vpl"), "not a shared object");
    testsupport::RunCommand("mkdir " + testsupport::Quote(dir.file("folder.vpl")));

    ConversionJob job;
    Ui_ScanPluginDirectory(&job, FXString((dir.path() + "/").c_str()));

    std::set<std::string> listed, sources, destinations;
    for (const PluginListEntry& e : job.plugins) {
        std::string path = e.path.text();
        std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(path, dir.file(name));
        EXPECT_EQ(e.module, nullptr);
        EXPECT_TRUE(listed.insert(name).second) << name;
        EXPECT_STREQ(e.label.text(),
                     name == "reader.vpl" ? "Stand-in Ver.0.0.6.160" : "Stand-in Ver.0.0.6.0");
    }
    for (int32_t i : job.sourcePlugins) sources.insert(job.plugins.at(i).path.text());
    for (int32_t i : job.destPlugins) destinations.insert(job.plugins.at(i).path.text());
    EXPECT_EQ(listed, (std::set<std::string>{"both_a.vpl", "both_b.vpl", "reader.vpl", "writer.vpl",
                                             "neither.vpl"}));
    EXPECT_EQ(sources, (std::set<std::string>{dir.file("both_a.vpl"), dir.file("both_b.vpl"),
                                              dir.file("reader.vpl")}));
    EXPECT_EQ(destinations, (std::set<std::string>{dir.file("both_a.vpl"), dir.file("both_b.vpl"),
                                                   dir.file("writer.vpl")}));
    EXPECT_EQ(job.sourcePlugins.size(), 3u);
    EXPECT_EQ(job.destPlugins.size(), 3u);

    // A directory without modules, or one that does not exist, lists nothing.
    ConversionJob empty;
    Ui_ScanPluginDirectory(&empty, "/nonexistent/");
    EXPECT_TRUE(empty.plugins.empty());
}

TEST(PluginScan, Labels)
{
    EXPECT_STREQ(Ui_PluginLabel("Disk", 0x00000612).text(), "Disk Ver.0.0.6.18");
    EXPECT_STREQ(Ui_PluginLabel("Disk", 0x01020304).text(), "Disk Ver.1.2.3.4");
    EXPECT_STREQ(Ui_PluginLabel(NULL, 0x600).text(), " Ver.0.0.6.0");
    EXPECT_STREQ(Ui_PluginLabel("100% %s", 0x600).text(), "100% %s Ver.0.0.6.0");
    std::string longName(400, 'n');
    EXPECT_EQ(Ui_PluginLabel(longName.c_str(), 0x600).length(),
              255 + (FXint)strlen(" Ver.0.0.6.0"));
}

}  // namespace

// ---- Escape with a list open ---------------------------------------------------------------

// The button of a list box that opens its list.
FXMenuButton* ListButton(FXListBox* list)
{
    for (FXWindow* w = list->getFirst(); w; w = w->getNext())
        if (w->isMemberOf(FXMETACLASS(FXMenuButton))) return static_cast<FXMenuButton*>(w);
    return nullptr;
}

// Escape while the destination format list is open closes the list; the wizard stays on its
// page with the choice made. A second Escape, with no list open, still cancels the wizard.
TEST_F(WizardTest, EscapeWithAListOpenClosesOnlyTheList)
{
    JumpWizard* w = new JumpWizard(App());
    Show(w);
    w->Jump(WIZARD_PAGE_DEST_TYPE);
    Pump(50);
    FXListBox* list = nullptr;
    for (FXWindow* c = wizard->GetPage(WIZARD_PAGE_DEST_TYPE)->getFirst(); c && !list;
         c = c->getNext())
        if (c->isMemberOf(FXMETACLASS(FXListBox))) list = static_cast<FXListBox*>(c);
    ASSERT_NE(list, nullptr);
    FXint chosen = list->getCurrentItem();
    FXMenuButton* button = ListButton(list);
    ASSERT_NE(button, nullptr);
    button->handle(list, FXSEL(SEL_COMMAND, FXWindow::ID_POST), NULL);
    Pump(50);
    ASSERT_NE(App()->getPopupWindow(), nullptr);
    ASSERT_TRUE(button->getMenu()->shown());

    guitest::PressKey(wizard, KEY_Escape);
    Pump(50);
    EXPECT_FALSE(button->getMenu()->shown());
    EXPECT_TRUE(wizard->shown());
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(list->getCurrentItem(), chosen);

    // The wizard is not in a modal loop here: its cancel hides it.
    guitest::PressKey(wizard, KEY_Escape);
    Pump(50);
    EXPECT_FALSE(wizard->shown());
}

// ---- Every text whole ------------------------------------------------------------------------

// The wizard with access to its switcher, to show pages without activating them.
class LayoutWizard : public CVdxWizard {
public:
    LayoutWizard(FXApp* app) : CVdxWizard(app) {}
    void Display(FXint page)
    {
        switcher->setCurrent(page, FALSE);
        layout();
        switcher->layout();
        GetPage(page)->layout();
    }
};

// Every page of the wizard, at the program's font sizes, shows each caption, field and list
// item whole and clear of the others.
TEST_F(WizardTest, EveryPageShowsItsWholeTexts)
{
    guitest::AtEachFontSize([&](FXuint decipoints) {
        LayoutWizard* w = new LayoutWizard(App());
        Show(w);
        for (FXint page = 0; page < WIZARD_PAGE_COUNT; ++page) {
            w->Display(page);
            guitest::ExpectWholeTexts(w->GetPage(page), "page " + std::to_string(page) + " at " +
                                                            std::to_string(decipoints / 10) +
                                                            " points");
            if (decipoints == 90u)
                guitest::Screenshot(wizard, "layout_page" + std::to_string(page));
        }
        delete wizard;
        wizard = nullptr;
    });
}
