// The option, cylinder-boundary, destination-path and convert pages under Xvfb, each in a
// switcher of its own with a stand-in for the wizard: what they show, what Next stores, what
// they refuse (VMDK layouts, empty or unfitting roundings, destinations that are the source),
// the overwrite question, a run to its end, and a cancelled run that stops within a second.
// Screenshots of every page go to <build>/screenshots.
#include <gtest/gtest.h>

#include <fxkeys.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "disk/disk_open.h"
#include "disk/plugin.h"
#include "disk/plugins/standin_build.h"
#include "disk/plugins/standin_state.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "gui/frame/gui_test_util.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"
#include "gui/job/raw_source.h"
#include "gui/job/convert_run.h"
#include "gui/pages/convert_page.h"
#include "gui/pages/cylinder_page.h"
#include "gui/pages/destination_path_page.h"
#include "gui/pages/geometry_page.h"
#include "gui/pages/option_pages.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Pump;
using guitest::ProgressDone;
using testsupport::TempDir;

namespace {

// The wizard as a page sees it.
class FakeEvents : public IPropertyPageEvent {
public:
    int nextCalls = 0;
    bool back = false, next = false, cancel = false;
    int GetNextPage(int page) override
    {
        ++nextCalls;
        return page + 1;
    }
    int GetPrevPage(int page) override { return page - 1; }
    void EnableNext(bool e) override { next = e; }
    void EnableBack(bool e) override { back = e; }
    void EnableCancel(bool e) override { cancel = e; }
};

DiskGeometry Geo(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps = 512)
{
    DiskGeometry g;
    memset(&g, 0, sizeof g);
    Geometry_SetTotalSectors(&g, total);
    g.heads = heads;
    g.sectors_per_track = spt;
    g.bytes_per_sector = bps;
    return g;
}

// A window of the wizard's size whose switcher holds the page under test.
class PageHost {
public:
    FXMainWindow* window;
    FXSwitcher* switcher;
    FakeEvents events;
    ConversionJob job;
    PageHost()
    {
        App();
        window = new FXMainWindow(App(), "page", NULL, NULL, DECOR_ALL, 0, 0, Ui_ScaleX(42),
                                  Ui_ScaleY(24));
        switcher = new FXSwitcher(window, LAYOUT_FILL_X | LAYOUT_FILL_Y, 0, 0, 0, 0, 9, 9, 6, 6);
    }
    ~PageHost()
    {
        // As in the wizard: the pages (and any worker they run) end before the job is released.
        delete window;
        ConversionJob_Release(&job);
    }
    // Creates and shows the window with the page, then activates the page.
    void Show(CPropertyPage* page)
    {
        window->create();
        window->show(PLACEMENT_SCREEN);
        switcher->setCurrent(switcher->indexOfChild(page));
        page->OnSetActive();
        Pump(60);
    }
    void Shot(const std::string& name)
    {
        Pump(60);
        guitest::Screenshot(window, name);
    }
};

// Presses a button of the next modal box after `ms` and keeps the texts it showed.
void AnswerBox(int ms, FXSelector button, std::string* shown)
{
    After(ms, [=] {
        FXWindow* box = Modal();
        ASSERT_NE(box, nullptr);
        *shown = guitest::LabelTexts(box);
        Command(box, button);
    });
}

std::string Msg(int n) { return Ui_MessageText(n).text(); }

using guitest::ExpectWholeTexts;

typedef std::chrono::steady_clock Clock;

// Handles events until the run's end has been handled: the end signal is an event of its own,
// so this waits on it without any clock.
void WaitForEnd(CConvertPropertyPage* page)
{
    while (page->IsRunning()) App()->runOneEvent(true);
}

// Answers the next message box, if one opens within `ms` of event handling, with OK and keeps
// its texts.
void AnswerBoxIfAny(int ms, std::string* shown)
{
    After(ms, [=] {
        FXWindow* box = Modal();
        if (box == nullptr || !box->isMemberOf(FXMETACLASS(FXMessageBox))) return;
        *shown = guitest::LabelTexts(box);
        Command(box, FXMessageBox::ID_CLICKED_OK);
    });
}

// ---- VMDK page --------------------------------------------------------------------------------

TEST(VmdkPage, ShowsStoresAndRefusesUnwritableLayouts)
{
    PageHost host;
    host.job.destKind = DEST_VMDK;
    host.job.vmdkList14 = 11;
    host.job.workGeometry = Geo(5000, 16, 63);
    auto* page = new CToVMwareVmdkPropertyPage(&host.events, &host.job, 9, host.switcher);
    host.Show(page);
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(122));
    EXPECT_TRUE(host.events.next);
    EXPECT_TRUE(page->GetFirstTrackCheck()->isEnabled());
    EXPECT_TRUE(page->GetSplitField()->isEnabled());
    EXPECT_EQ(page->GetHardwareList()->getCurrentItem(), 11);
    host.Shot("page09_vmdk");

    // Layouts that cannot be written say why; a split size that is no number keeps the field.
    struct Row {
        FXint type;
        bool firstTrack;
        const char* split;
        int message;  // 0: no message box
    } refused[] = {
        {3, false, "1000", MSG_VMDK_LAYOUT_STREAM_NOT_SINGLE},  // several extents
        {3, true, "", MSG_VMDK_LAYOUT_STREAM_NOT_SINGLE},       // a first extent apart
        {0, false, "4", MSG_VMDK_LAYOUT_TOO_MANY_EXTENTS},      // 1250 extents
        {0, false, "0", MSG_FIELD_VMDK_SPLIT},
        {0, false, "4294967295", MSG_FIELD_VMDK_SPLIT},
        {0, false, "x", MSG_FIELD_VMDK_SPLIT},
    };
    for (const Row& r : refused) {
        page->GetTypeList()->setCurrentItem(r.type);
        page->GetFirstTrackCheck()->setCheck(r.firstTrack);
        page->GetSplitField()->setText(r.split);
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1) << r.type << " " << r.split;
        if (r.message != 0) {
            EXPECT_NE(shown.find(Msg(r.message).substr(0, 30)), std::string::npos)
                << r.split << ": " << shown;
        }
        EXPECT_EQ(host.job.vmdkList4, 0u);
        EXPECT_EQ(host.events.nextCalls, 0);
        Pump(150);  // an unused answer step goes before the next row
    }
    page->GetTypeList()->setCurrentItem(2);
    page->GetFirstTrackCheck()->setCheck(true);
    page->GetSplitField()->setText(" 2000 ");
    page->handle(NULL, FXSEL(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_RADIO_LSILOGIC), NULL);
    // A split size that is not whole grains of 128 sectors is rounded, shown and said; the
    // page stays once, and the next Next takes the rounded size.
    // The note is the catalogue's: a marker put in its place is what the label shows.
    const FXString shipped = Ui_Messages().texts.at(MSG_VMDK_SPLIT_ROUNDED_UP);
    EXPECT_NE(std::string(shipped.text()).find("rounded up to %0 sectors"), std::string::npos);
    Ui_Messages().texts.at(MSG_VMDK_SPLIT_ROUNDED_UP) = "marker %0 up";
    EXPECT_EQ(page->OnWizardNext(), -1);
    Ui_Messages().texts.at(MSG_VMDK_SPLIT_ROUNDED_UP) = shipped;
    EXPECT_STREQ(page->GetSplitField()->getText().text(), "2048");
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(122) + "\nmarker 2048 up");
    EXPECT_EQ(host.events.nextCalls, 0);
    EXPECT_EQ(page->OnWizardNext(), 10);
    EXPECT_EQ(host.job.vmdkList4, 2u);
    EXPECT_EQ(host.job.vmdkCheck, 1);
    EXPECT_EQ(host.job.vmdkSplit, 1);
    EXPECT_EQ(host.job.vmdkSplitSectors, 2048u);
    EXPECT_EQ(host.job.vmdkRadio, 2u);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.destGeometry), 5000u);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 5000u);
    EXPECT_EQ(host.job.cylinderBased, 0);

    // The split menu fills the field.
    page->handle(NULL, FXSEL(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_SPLIT_2GB), NULL);
    EXPECT_STREQ(page->GetSplitField()->getText().text(), "4192256");
    page->handle(NULL, FXSEL(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_SPLIT_NONE), NULL);
    EXPECT_STREQ(page->GetSplitField()->getText().text(), "");
}

TEST(VmdkPage, SmallHugeAndImpossibleDisks)
{
    PageHost host;
    host.job.destKind = DEST_VMDK;
    auto* page = new CToVMwareVmdkPropertyPage(&host.events, &host.job, 9, host.switcher);
    // 63 sectors or less: no first extent of its own.
    host.job.workGeometry = Geo(63, 1, 63);
    host.job.vmdkCheck = 1;
    host.Show(page);
    EXPECT_FALSE(page->GetFirstTrackCheck()->isEnabled());
    EXPECT_FALSE(page->GetFirstTrackCheck()->getCheck());
    // Checked anyway (the box is off): refused with its reason.
    page->GetFirstTrackCheck()->setCheck(true);
    std::string shown;
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(MSG_VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL).substr(0, 30)),
              std::string::npos)
        << shown;
    page->GetFirstTrackCheck()->setCheck(false);
    EXPECT_EQ(page->OnWizardNext(), 10);
    EXPECT_EQ(host.job.vmdkCheck, 0);

    // Above 0xFF000000 sectors the image is split into 0xFE000000-sector extents.
    host.job.workGeometry = Geo(0x100000000ull, 16, 63);
    page->OnSetActive();
    EXPECT_FALSE(page->GetSplitField()->isEnabled());
    EXPECT_FALSE(page->GetFirstTrackCheck()->isEnabled());
    EXPECT_STREQ(page->GetSplitField()->getText().text(), "4261412864");
    EXPECT_EQ(page->OnWizardNext(), 10);
    EXPECT_EQ(host.job.vmdkSplit, 1);
    EXPECT_EQ(host.job.vmdkSplitSectors, 0xFE000000u);
    host.Shot("page09_vmdk_forced_split");

    // Sectors of 4096 bytes: message 124, Next off, widgets off.
    host.job.workGeometry = Geo(5000, 16, 63, 4096);
    page->OnSetActive();
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_FALSE(page->GetTypeList()->isEnabled());
    EXPECT_EQ(page->OnWizardNext(), -1);
    host.Shot("page09_vmdk_impossible");
}

TEST(VmdkPage, EveryRefusedLayoutHasItsMessage)
{
    struct Row {
        int layout;
        int message;
    } rows[] = {
        {VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL, MSG_VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL},
        {VMDK_LAYOUT_STREAM_NOT_SINGLE, MSG_VMDK_LAYOUT_STREAM_NOT_SINGLE},
        {VMDK_LAYOUT_TOO_MANY_EXTENTS, MSG_VMDK_LAYOUT_TOO_MANY_EXTENTS},
        {VMDK_LAYOUT_EXTENT_TOO_LARGE, MSG_VMDK_LAYOUT_EXTENT_TOO_LARGE},
        {VMDK_LAYOUT_NO_SECTORS, 124},
        {VMDK_LAYOUT_BAD_DISK_TYPE, 124},
    };
    App();
    for (const Row& r : rows) {
        EXPECT_EQ(OptionPages_VmdkLayoutMessage(r.layout), r.message) << r.layout;
        EXPECT_FALSE(Msg(r.message).empty()) << r.message;
    }
    // An extent of 2^32 sectors is the one refusal the page's own rules keep from the field.
    EXPECT_EQ(ConvertRun_CheckVmdkLayout(0x100000000ull, 0, false, false, 0),
              VMDK_LAYOUT_EXTENT_TOO_LARGE);
}

// Pages 13, 14 and the check-only pages: when the geometry rule gives no geometry, Next stays
// and says that the format cannot hold the disk.
TEST(OptionPages, AFailedGeometryRuleIsShown)
{
    PageHost host;
    host.job.workGeometry = Geo(1000, 16, 63);
    CPropertyPage* pages[] = {
        new CToVirtualPCDynamicPropertyPage(&host.events, &host.job, 13, host.switcher),
        new CToVirtualPCFixedPropertyPage(&host.events, &host.job, 14, host.switcher),
        new CToAnex86PropertyPage(&host.events, &host.job, 22, host.switcher),
        new CToBetaPropertyPage(&host.events, &host.job, 30, host.switcher),
    };
    for (CPropertyPage* page : pages) {
        host.job.destKind = DEST_VHD_DYNAMIC;
        host.Show(page);
        host.job.destKind = DEST_KIND_COUNT;  // no destination, so no geometry rule
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1);
        EXPECT_NE(shown.find(Msg(124).substr(0, 30)), std::string::npos) << shown;
        EXPECT_EQ(host.events.nextCalls, 0);
        Pump(150);
    }
}

// The refusal of a trim names exactly the formats whose trim this program has.
TEST(TrimRefusal, NamesOnlyTheFormatsThatCanBeTrimmed)
{
    App();
    const std::string text = Msg(30);
    struct Row {
        const char* name;
        DiskKind kind;
    } rows[] = {{"VMDK", DISK_KIND_VMDK},   {"VHD", DISK_KIND_VHD},
                {"VHDX", DISK_KIND_VHDX},   {"Parallels", DISK_KIND_PARALLELS},
                {"qcow2", DISK_KIND_QCOW2}, {"VDI", DISK_KIND_VDI}};
    for (const Row& r : rows) {
        const std::regex word(std::string("\\b") + r.name + "\\b");
        EXPECT_EQ(std::regex_search(text, word), ConvertRun_IsTrimAvailable(r.kind))
            << r.name << " in: " << text;
    }
}

// ---- VHD pages ----------------------------------------------------------------------------------

TEST(QcowPages, ModesKeysAndClusterSizes)
{
    PageHost host;
    host.job.destKind = DEST_QCOW2;
    host.job.formatFlags = 1;
    host.job.qcow2ClusterIndex = 7;
    host.job.workGeometry = Geo(1000, 4, 17);
    auto* page = new CToQemuQcow2PropertyPage(&host.events, &host.job, 20, host.switcher);
    host.Show(page);
    EXPECT_EQ(page->GetRadioId(), (FXint)CToQemuQcowPropertyPage::ID_COMPRESSED);
    EXPECT_EQ(page->GetClusterList()->getCurrentItem(), 7);
    EXPECT_FALSE(page->GetKeyField()->isEnabled());
    host.Shot("page20_qcow2");
    // The key field follows the encrypted radio.
    page->handle(page->GetModeRadio(3), FXSEL(SEL_COMMAND, CToQemuQcowPropertyPage::ID_ENCRYPTED),
                 NULL);
    EXPECT_TRUE(page->GetKeyField()->isEnabled());
    // Empty and 17-byte keys are refused with what is allowed and what was given; 16 bytes
    // are taken (a two-byte letter counts twice).
    const struct {
        const char* key;
        const char* bytes;
    } refusedKeys[] = {{"", "0"}, {"0123456789abcdefg", "17"}, {"0123456789abcde\xc3\xa9", "17"}};
    for (const auto& r : refusedKeys) {
        page->GetKeyField()->setText(r.key);
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1) << r.key;
        const FXString bytes(r.bytes);
        EXPECT_NE(
            shown.find(
                Ui_ReplaceFirstPlaceholder(Ui_MessageText(MSG_FIELD_KEY_LENGTH), bytes).text()),
            std::string::npos)
            << r.key << ": " << shown;
        EXPECT_EQ(host.events.nextCalls, 0);
        Pump(150);
    }
    page->GetKeyField()->setText("0123456789abcd\xc3\xa9");
    page->GetClusterList()->setCurrentItem(3);
    EXPECT_EQ(page->OnWizardNext(), 21);
    EXPECT_EQ(host.job.formatFlags, 3u);
    EXPECT_EQ(host.job.qcow2ClusterIndex, 3u);
    EXPECT_EQ(memcmp(host.job.encryptionKey, "0123456789abcd\xc3\xa9", 16), 0);
    EXPECT_EQ(host.job.qcow2KeyText, FXString("0123456789abcd\xc3\xa9"));
    EXPECT_EQ(host.job.cylinderBased, 0);
    EXPECT_EQ(host.job.destGeometry.heads, 16u);
    EXPECT_EQ(host.job.destGeometry.sectors_per_track, 63u);
    // A short key is padded with zero bytes.
    page->GetKeyField()->setText("pw");
    EXPECT_EQ(page->OnWizardNext(), 21);
    const uint8_t padded[16] = {'p', 'w'};
    EXPECT_EQ(memcmp(host.job.encryptionKey, padded, 16), 0);
    // Plain storage forgets the key text.
    page->handle(page->GetModeRadio(0), FXSEL(SEL_COMMAND, CToQemuQcowPropertyPage::ID_PLAIN),
                 NULL);
    EXPECT_EQ(page->OnWizardNext(), 21);
    EXPECT_EQ(host.job.formatFlags, 0u);
    EXPECT_EQ(host.job.qcow2KeyText, FXString(""));

    // 512-byte clusters hold at most 128 GiB in the writer: a 2 TiB disk is refused here, with
    // the reason, and the page stays; 2 KiB clusters take it.
    host.job.workGeometry = Geo(uint64_t(2) << 31, 16, 63);
    page->GetClusterList()->setCurrentItem(0);
    {
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1);
        EXPECT_NE(shown.find("128"), std::string::npos) << shown;
        EXPECT_NE(shown.find(Msg(MSG_QCOW2_CLUSTERS_TOO_SMALL).substr(0, 20)), std::string::npos)
            << shown;
        EXPECT_EQ(host.job.qcow2ClusterIndex, 3u);
        Pump(150);
    }
    page->GetClusterList()->setCurrentItem(2);
    EXPECT_EQ(page->OnWizardNext(), 21);
    EXPECT_EQ(host.job.qcow2ClusterIndex, 2u);
    host.job.workGeometry = Geo(1000, 4, 17);

    auto* qcow = new CToQemuQcowPropertyPage(&host.events, &host.job, 19, host.switcher);
    qcow->create();
    host.job.destKind = DEST_QCOW;
    host.job.formatFlags = 2;
    host.Show(qcow);
    EXPECT_EQ(qcow->GetRadioId(), (FXint)CToQemuQcowPropertyPage::ID_GROUPED);
    EXPECT_EQ(qcow->OnWizardNext(), 20);
    EXPECT_EQ(host.job.formatFlags, 2u);
    // A qcow image holds fewer than 2^32 sectors.
    host.job.workGeometry = Geo(0x100000000ull, 16, 63);
    qcow->OnSetActive();
    EXPECT_EQ(std::string(qcow->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
}

TEST(VhdPages, LayoutPicksItsCreatorAndNextStores)
{
    PageHost host;
    host.job.destKind = DEST_VHD_DYNAMIC;
    host.job.vhdLayoutIndex = 5;
    host.job.vhdCreatorIndex = 4;
    host.job.workGeometry = Geo(1000, 0, 0);
    auto* page = new CToVirtualPCDynamicPropertyPage(&host.events, &host.job, 13, host.switcher);
    host.Show(page);
    EXPECT_EQ(page->GetLayoutList()->getCurrentItem(), 5);
    EXPECT_EQ(page->GetCreatorList()->getCurrentItem(), 4);
    host.Shot("page13_vhd_dynamic");
    ExpectWholeTexts(page, "page 13");
    const FXint creatorFor[] = {2, 2, 2, 2, 3, 4, 5};
    for (FXint layout = 0; layout < 7; ++layout) {
        page->GetLayoutList()->setCurrentItem(layout);
        page->handle(page->GetLayoutList(),
                     FXSEL(SEL_COMMAND, CToVirtualPCDynamicPropertyPage::ID_LAYOUT), NULL);
        EXPECT_EQ(page->GetCreatorList()->getCurrentItem(), creatorFor[layout]) << layout;
    }
    EXPECT_EQ(page->OnWizardNext(), 14);
    EXPECT_EQ(host.job.vhdLayoutIndex, 6u);
    EXPECT_EQ(host.job.vhdCreatorIndex, 5u);
    EXPECT_EQ(host.job.cylinderBased, 1);
    EXPECT_EQ(host.job.destGeometry.heads, 4u);
    EXPECT_EQ(host.job.destGeometry.sectors_per_track, 17u);

    auto* fixed = new CToVirtualPCFixedPropertyPage(&host.events, &host.job, 14, host.switcher);
    fixed->create();
    host.job.destKind = DEST_VHD_FIXED;
    host.job.vhdFixedCreatorIndex = 4;
    host.Show(fixed);
    EXPECT_EQ(fixed->GetCreatorList()->getCurrentItem(), 4);
    fixed->GetCreatorList()->setCurrentItem(1);
    host.Shot("page14_vhd_fixed");
    EXPECT_EQ(fixed->OnWizardNext(), 15);
    EXPECT_EQ(host.job.vhdFixedCreatorIndex, 1u);
    host.job.workGeometry = Geo(0x100000000ull, 16, 63);
    fixed->OnSetActive();
    EXPECT_EQ(std::string(fixed->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    host.Shot("page14_vhd_fixed_impossible");
    ExpectWholeTexts(fixed, "page 14");
}

// ---- VHDX page ----------------------------------------------------------------------------------

// Pages 10 and 11: the adapter (and version 3's two flags) into the format flags; an adapter
// that cannot take the disk is disabled, and a disk neither can take leaves the page shut.
TEST(CowdPages, AdapterAndFlagsStoreTheirGeometry)
{
    PageHost host;
    host.job.destKind = DEST_COWD3;
    host.job.formatFlags = 1 | 4;
    host.job.workGeometry = Geo(5000000, 16, 63);
    auto* v3 = new CToVMware3PropertyPage(&host.events, &host.job, 10, host.switcher);
    host.Show(v3);
    EXPECT_STREQ(v3->title.text(), Msg(162).c_str());
    EXPECT_EQ(std::string(v3->GetResultLabel()->getText().text()), Msg(122));
    EXPECT_EQ(v3->GetRadioId(), CToVMwareCowdPropertyPage::ID_RADIO_SCSI);
    EXPECT_FALSE(v3->GetFlagCheck(0)->getCheck());
    EXPECT_TRUE(v3->GetFlagCheck(1)->getCheck());
    EXPECT_TRUE(host.events.next);
    host.Shot("page10_cowd3");
    ExpectWholeTexts(v3, "page 10");
    // SCSI of several extents: 255 x 63 and whole cylinders, so the rounding page must round.
    EXPECT_EQ(v3->OnWizardNext(), 11);
    EXPECT_EQ(host.job.formatFlags, 5u);
    EXPECT_EQ(host.job.finalGeometry.heads, 255u);
    EXPECT_EQ(host.job.finalGeometry.sectors_per_track, 63u);
    EXPECT_EQ(host.job.cylinderBased, 1);
    // IDE with the first flag: several extents need no whole cylinders.
    v3->onCmdRadio(NULL, FXSEL(SEL_COMMAND, CToVMwareCowdPropertyPage::ID_RADIO_IDE), NULL);
    v3->GetFlagCheck(0)->setCheck(TRUE);
    v3->GetFlagCheck(1)->setCheck(FALSE);
    EXPECT_EQ(v3->OnWizardNext(), 11);
    EXPECT_EQ(host.job.formatFlags, 2u);
    EXPECT_EQ(host.job.finalGeometry.heads, 16u);
    EXPECT_EQ(host.job.cylinderBased, 0);
    // More than SCSI holds: only IDE is offered.
    host.job.formatFlags = 1;
    host.job.workGeometry = Geo(COWD_MAX_SCSI_SECTORS + 1ull, 16, 63);
    v3->OnSetActive();
    EXPECT_TRUE(host.events.next);
    EXPECT_TRUE(v3->GetAdapterRadio(0)->isEnabled());
    EXPECT_FALSE(v3->GetAdapterRadio(1)->isEnabled());
    EXPECT_EQ(v3->GetRadioId(), CToVMwareCowdPropertyPage::ID_RADIO_IDE);
    // More than version 3 holds at all.
    host.job.workGeometry = Geo(COWD_MAX_IDE_SECTORS + 1ull, 16, 63);
    v3->OnSetActive();
    EXPECT_EQ(std::string(v3->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_EQ(v3->OnWizardNext(), -1);
}

TEST(CowdPages, VersionOneHoldsOneFile)
{
    PageHost host;
    host.job.destKind = DEST_COWD2;
    host.job.formatFlags = 0;
    host.job.workGeometry = Geo(1000, 0, 0);
    auto* v1 = new CToVMware2PropertyPage(&host.events, &host.job, 11, host.switcher);
    host.Show(v1);
    EXPECT_STREQ(v1->title.text(), Msg(169).c_str());
    EXPECT_EQ(v1->GetFlagCheck(0), nullptr);
    EXPECT_EQ(v1->GetRadioId(), CToVMwareCowdPropertyPage::ID_RADIO_IDE);
    host.Shot("page11_cowd1");
    ExpectWholeTexts(v1, "page 11");
    v1->onCmdRadio(NULL, FXSEL(SEL_COMMAND, CToVMwareCowdPropertyPage::ID_RADIO_SCSI), NULL);
    EXPECT_EQ(v1->OnWizardNext(), 12);
    EXPECT_EQ(host.job.formatFlags, 1u);
    EXPECT_EQ(host.job.finalGeometry.heads, 64u);
    EXPECT_EQ(host.job.finalGeometry.sectors_per_track, 32u);
    EXPECT_EQ(host.job.cylinderBased, 1);
    // A disk larger than one file is refused, not cut.
    host.job.workGeometry = Geo(COWD_EXTENT_SECTORS + 1ull, 16, 63);
    v1->OnSetActive();
    EXPECT_EQ(std::string(v1->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_EQ(v1->OnWizardNext(), -1);
}

TEST(VhdxPage, ListsLoadStoreAndTheGeometryStays)
{
    PageHost host;
    host.job.destKind = DEST_VHDX;
    host.job.vhdxBlockIndex = 5;
    host.job.vhdxCheck = 1;
    host.job.vhdxList1 = 1;
    host.job.vhdxList2 = 0;
    host.job.workGeometry = Geo(5000, 0, 0);
    auto* page = new CToHyperVVhdxPropertyPage(&host.events, &host.job, 12, host.switcher);
    host.Show(page);
    EXPECT_STREQ(page->title.text(), Msg(174).c_str());
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(122));
    ASSERT_EQ(page->GetBlockList()->getNumItems(), 9);
    EXPECT_STREQ(page->GetBlockList()->getItemText(0).text(), "1 MiB");
    EXPECT_STREQ(page->GetBlockList()->getItemText(8).text(), "256 MiB");
    EXPECT_EQ(page->GetBlockList()->getCurrentItem(), 5);
    EXPECT_TRUE(page->GetKeepCheck()->getCheck());
    EXPECT_EQ(page->GetLogicalList()->getCurrentItem(), 1);
    EXPECT_EQ(page->GetPhysicalList()->getCurrentItem(), 0);
    EXPECT_TRUE(host.events.next);
    host.Shot("page12_vhdx");
    ExpectWholeTexts(page, "page 12");
    page->GetBlockList()->setCurrentItem(8);
    page->GetKeepCheck()->setCheck(FALSE);
    page->GetLogicalList()->setCurrentItem(0);
    page->GetPhysicalList()->setCurrentItem(1);
    EXPECT_EQ(page->OnWizardNext(), 13);
    EXPECT_EQ(host.job.vhdxBlockIndex, 8u);
    EXPECT_EQ(host.job.vhdxCheck, 0);
    EXPECT_EQ(host.job.vhdxList1, 0u);
    EXPECT_EQ(host.job.vhdxList2, 1u);
    EXPECT_EQ(host.job.cylinderBased, 0);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 5000u);
    EXPECT_EQ(host.job.finalGeometry.heads, 0u);

    // No VHDX holds an empty disk, more than 64 TiB, or sectors other than 512 bytes.
    for (DiskGeometry g :
         {Geo(0, 16, 63), Geo((64ull << 40) / 512 + 1, 16, 63), Geo(1000, 16, 63, 4096)}) {
        host.job.workGeometry = g;
        page->OnSetActive();
        EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(124));
        EXPECT_FALSE(host.events.next);
        EXPECT_FALSE(page->GetBlockList()->isEnabled());
        EXPECT_EQ(page->OnWizardNext(), -1);
    }
    host.job.workGeometry = Geo((64ull << 40) / 512, 16, 63);
    page->OnSetActive();
    EXPECT_TRUE(host.events.next);
}

// A page checks the geometry its rule gives: 200 GiB at 255 x 63 becomes 16 x 255 with the
// automatic geometry, which "VHD1.00" cannot hold (102801 cylinders); kept by hand, it can.
TEST(SimplePages, CheckTheGeometryTheirRuleGives)
{
    PageHost host;
    auto* page = new CToVirtual98PropertyPage(&host.events, &host.job, 25, host.switcher);
    host.job.destKind = DEST_VHD100;
    host.job.workGeometry = Geo(419430400, 255, 63);
    host.job.geometryRecompute = 1;
    host.Show(page);
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_EQ(page->OnWizardNext(), -1);
    host.job.geometryRecompute = 0;
    host.Show(page);
    EXPECT_EQ(std::string(page->GetResultLabel()->getText().text()), Msg(122));
    EXPECT_TRUE(host.events.next);
    EXPECT_EQ(page->OnWizardNext(), 26);
    EXPECT_EQ(host.job.finalGeometry.heads, 255u);
    EXPECT_EQ(host.job.finalGeometry.sectors_per_track, 63u);
}

// ---- Bochs pages ---------------------------------------------------------------------------------

// Pages 17 and 18: a disk they can hold gets message 122 and, below it, the note that the image
// stores no geometry; one they cannot gets message 124 alone.
TEST(BochsPages, SayTheImageStoresNoGeometry)
{
    PageHost host;
    CToBochsPropertyPage* pages[] = {
        new CToBochsGrowingPropertyPage(&host.events, &host.job, 17, host.switcher),
        new CToBochsSparsePropertyPage(&host.events, &host.job, 18, host.switcher)};
    const int32_t dests[] = {8, 9};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        host.job.destKind = dests[i];
        host.job.workGeometry = Geo(20000, 16, 63);
        host.Show(pages[i]);
        EXPECT_EQ(std::string(pages[i]->GetResultLabel()->getText().text()),
                  Msg(122) + "\n" + Msg(219));
        EXPECT_TRUE(host.events.next);
        const std::string shot = i == 0 ? "page17_bochs_growing" : "page18_bochs_sparse";
        host.Shot(shot);
        ExpectWholeTexts(pages[i], shot);
        host.job.workGeometry = Geo(20000, 16, 63, 4096);
        host.Show(pages[i]);
        EXPECT_EQ(std::string(pages[i]->GetResultLabel()->getText().text()), Msg(124));
        EXPECT_FALSE(host.events.next);
    }
}

// ---- Check-only pages ---------------------------------------------------------------------------

TEST(SimplePages, CheckAndStoreTheirGeometry)
{
    PageHost host;
    struct Row {
        int page;
        int32_t dest;
        DiskGeometry work;
        bool possible;
        uint64_t total;
        const char* shot;
    } rows[] = {
        {22, 13, Geo(1000, 16, 63), true, 1000, "page22_hdi"},
        {23, 14, Geo(1000, 16, 63, 4096), false, 0, "page23_thd_impossible"},
        {24, 15, Geo(1000, 16, 63), true, 1000, "page24_nhd"},
        {25, 16, Geo(1000, 16, 63), true, 1000, "page25_vhd100"},
        {26, 17, Geo(128001, 16, 63), false, 0, "page26_pc98e_too_large"},
        {26, 17, Geo(1000, 16, 63), true, 128000, "page26_pc98e"},
        {27, 18, Geo(1000, 16, 63), true, 1000, "page27_hdim"},
        {28, 19, Geo(1000, 16, 63, 4096), false, 0, "page28_unz_impossible"},
        {30, 21, Geo(1000, 16, 63), true, 1000, "page30_flat"},
    };
    CToSimplePropertyPage* pages[31] = {};
    pages[22] = new CToAnex86PropertyPage(&host.events, &host.job, 22, host.switcher);
    pages[23] = new CToT98PropertyPage(&host.events, &host.job, 23, host.switcher);
    pages[24] = new CToT98NextPropertyPage(&host.events, &host.job, 24, host.switcher);
    pages[25] = new CToVirtual98PropertyPage(&host.events, &host.job, 25, host.switcher);
    pages[26] = new CToPC98EPropertyPage(&host.events, &host.job, 26, host.switcher);
    pages[27] = new CToSL9821PropertyPage(&host.events, &host.job, 27, host.switcher);
    pages[28] = new CToUnzPropertyPage(&host.events, &host.job, 28, host.switcher);
    pages[30] = new CToBetaPropertyPage(&host.events, &host.job, 30, host.switcher);
    for (const Row& r : rows) {
        host.job.destKind = r.dest;
        host.job.workGeometry = r.work;
        memset(&host.job.destGeometry, 0, sizeof(DiskGeometry));
        host.Show(pages[r.page]);
        EXPECT_EQ(std::string(pages[r.page]->GetResultLabel()->getText().text()),
                  Msg(r.possible ? 122 : 124))
            << r.page;
        EXPECT_EQ(host.events.next, r.possible) << r.page;
        host.Shot(r.shot);
        ExpectWholeTexts(pages[r.page], r.shot);
        if (r.possible) {
            EXPECT_EQ(pages[r.page]->OnWizardNext(), r.page + 1);
            EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), r.total) << r.page;
        } else {
            EXPECT_EQ(pages[r.page]->OnWizardNext(), -1) << r.page;
        }
    }
    EXPECT_STREQ(pages[26]->title.text(), Msg(253).c_str());
    EXPECT_STREQ(pages[30]->description.text(), Msg(272).c_str());
}

// Page 15: the data-file kind and size into the job; an empty size is one data file, and a size
// that is no number or holds less than one block keeps the page. Page 16: the header's total
// written as 0 or not.
TEST(ParallelsPages, BundleAndFileStoreTheirOptions)
{
    PageHost host;
    host.job.destKind = DEST_PARALLELS_BUNDLE;
    host.job.workGeometry = Geo(100000, 16, 63);
    host.job.parallelsRadio = 1;
    host.job.parallelsFlag = 1;
    host.job.parallelsNumber = 20000;
    auto* bundle = new CToParallelsPropertyPage(&host.events, &host.job, 15, host.switcher);
    auto* file = new CToParallelsExtensiblePropertyPage(&host.events, &host.job, 16, host.switcher);
    host.Show(bundle);
    EXPECT_STREQ(bundle->title.text(), Msg(211).c_str());
    EXPECT_EQ(std::string(bundle->GetResultLabel()->getText().text()), Msg(122));
    EXPECT_TRUE(host.events.next);
    EXPECT_EQ(bundle->GetRadioId(), CToParallelsPropertyPage::ID_RADIO_PLAIN);
    EXPECT_EQ(std::string(bundle->GetSizeField()->getText().text()), "20000");
    host.Shot("page15_parallels_bundle");
    ExpectWholeTexts(bundle, "page 15");

    // 16 heads of 63 sectors: blocks of 504 sectors.
    const struct {
        const char* size;
        bool message;
    } refused[] = {
        {"0", false}, {"x", false}, {"4294967295", false}, {"99999999999", false}, {"503", true}};
    for (const auto& r : refused) {
        bundle->GetSizeField()->setText(r.size);
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(bundle->OnWizardNext(), -1) << r.size;
        if (r.message) {
            EXPECT_NE(shown.find("504"), std::string::npos) << shown;
            EXPECT_NE(shown.find(Msg(MSG_PARALLELS_DATA_FILE_TOO_SMALL).substr(0, 20)),
                      std::string::npos)
                << shown;
        } else {
            // Not a size at all: what is allowed.
            EXPECT_NE(shown.find(Msg(MSG_FIELD_PARALLELS_DATA_FILE)), std::string::npos)
                << r.size << ": " << shown;
        }
        EXPECT_EQ(host.events.nextCalls, 0) << r.size;
        EXPECT_EQ(host.job.parallelsNumber, 20000u) << r.size;
        Pump(150);
    }
    // 1000000 sectors in data files of 504 (1985 of them) or of 1008 sectors (993).
    host.job.workGeometry = Geo(1000000, 16, 63);
    bundle->GetSizeField()->setText("504");
    std::string shown;
    AnswerBoxIfAny(100, &shown);
    EXPECT_EQ(bundle->OnWizardNext(), -1);
    EXPECT_NE(shown.find(std::to_string(PARALLELS_BUNDLE_MAX_STORAGES)), std::string::npos)
        << shown;
    EXPECT_NE(shown.find(Msg(MSG_PARALLELS_TOO_MANY_DATA_FILES).substr(0, 20)), std::string::npos)
        << shown;
    EXPECT_EQ(host.events.nextCalls, 0);
    Pump(150);
    bundle->GetSizeField()->setText("1008");
    EXPECT_EQ(bundle->OnWizardNext(), 16);
    EXPECT_EQ(host.job.parallelsNumber, 1008u);
    host.job.workGeometry = Geo(100000, 16, 63);
    bundle->handle(NULL, FXSEL(SEL_COMMAND, CToParallelsPropertyPage::ID_SIZE_BUTTON), NULL);
    EXPECT_EQ(std::string(bundle->GetSizeField()->getText().text()), "3989160");
    bundle->handle(NULL, FXSEL(SEL_COMMAND, CToParallelsPropertyPage::ID_RADIO_COMPRESSED), NULL);
    EXPECT_EQ(bundle->OnWizardNext(), 16);
    EXPECT_EQ(host.job.parallelsRadio, 0u);
    EXPECT_EQ(host.job.parallelsFlag, 1);
    EXPECT_EQ(host.job.parallelsNumber, 3989160u);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 100000u);
    bundle->GetSizeField()->setText(" ");
    EXPECT_EQ(bundle->OnWizardNext(), 16);
    EXPECT_EQ(host.job.parallelsFlag, 0);
    EXPECT_EQ(host.job.parallelsNumber, 0u);
    // Reloaded from the job: one data file shows an empty field.
    bundle->OnSetActive();
    EXPECT_TRUE(bundle->GetSizeField()->getText().empty());
    EXPECT_EQ(bundle->GetRadioId(), CToParallelsPropertyPage::ID_RADIO_COMPRESSED);
    host.job.workGeometry = Geo(1000, 16, 63, 4096);
    bundle->OnSetActive();
    EXPECT_EQ(std::string(bundle->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_FALSE(bundle->GetSizeField()->isEnabled());
    EXPECT_EQ(bundle->OnWizardNext(), -1);

    host.job.destKind = DEST_PARALLELS_FILE;
    host.job.formatFlags = PARALLELS_FLAG_NO_TOTAL;
    host.job.workGeometry = Geo(1000, 16, 63);
    host.Show(file);
    EXPECT_STREQ(file->title.text(), Msg(211).c_str());
    EXPECT_EQ(std::string(file->GetResultLabel()->getText().text()), Msg(122));
    EXPECT_TRUE(file->GetNoTotalCheck()->getCheck());
    host.Shot("page16_parallels_file");
    ExpectWholeTexts(file, "page 16");
    EXPECT_EQ(file->OnWizardNext(), 17);
    EXPECT_EQ(host.job.formatFlags, (uint32_t)PARALLELS_FLAG_NO_TOTAL);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 1000u);
    file->GetNoTotalCheck()->setCheck(FALSE);
    EXPECT_EQ(file->OnWizardNext(), 17);
    EXPECT_EQ(host.job.formatFlags, 0u);
    host.job.workGeometry = Geo(1000, 16, 63, 4096);
    file->OnSetActive();
    EXPECT_EQ(std::string(file->GetResultLabel()->getText().text()), Msg(124));
    EXPECT_FALSE(host.events.next);
    EXPECT_EQ(file->OnWizardNext(), -1);
}

// The geometry page refuses a total or a geometry it cannot use, and says what it takes: the
// largest total follows the bytes per sector (the disk's size in bytes must stay a file size).
TEST(GeometryPage, RefusalsSayWhatIsAllowed)
{
    PageHost host;
    auto* page = new CChangeGeometryPropertyPage(&host.events, &host.job, 8, host.switcher);
    host.job.sourceGeometry = Geo(100000, 16, 63);
    host.job.manualTotalSectors = 100000;
    host.job.manualHeads = 16;
    host.job.manualSectors = 63;
    host.job.geometryManual = 1;
    host.Show(page);
    const std::string largest512 = "18014398509481983";  // 2^54 - 1
    const std::string largest4096 = "2251799813685247";  // (2^63 - 1) / 4096
    const struct {
        uint32_t bytesPerSector;
        const char* total;
        const char* heads;
        int message;
        std::string largest;  // the figure the total's message names
    } rows[] = {
        {512, "0", "16", MSG_FIELD_TOTAL_SECTORS, largest512},
        {512, "3", "16", MSG_FIELD_TOTAL_SECTORS, largest512},
        {512, "99999999999999999999", "16", MSG_FIELD_TOTAL_SECTORS, largest512},
        {512, "18014398509481984", "16", MSG_FIELD_TOTAL_SECTORS, largest512},  // 2^54
        {4096, "2251799813685248", "16", MSG_FIELD_TOTAL_SECTORS, largest4096},
        {512, "100000", "0", MSG_FIELD_HEADS_SECTORS, ""},
        {512, "100000", "256", MSG_FIELD_HEADS_SECTORS, ""},
    };
    for (const auto& r : rows) {
        host.job.sourceGeometry.bytes_per_sector = r.bytesPerSector;
        page->GetTotalField()->setText(r.total);
        page->GetHeadsField()->setText(r.heads);
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1) << r.total << " " << r.heads;
        FXString expected = Ui_MessageText(r.message);
        if (!r.largest.empty()) expected = Ui_ReplaceFirstPlaceholder(expected, r.largest.c_str());
        EXPECT_NE(shown.find(expected.text()), std::string::npos) << r.total << ": " << shown;
        EXPECT_EQ(host.events.nextCalls, 0);
        Pump(150);
    }
    // The largest total is taken.
    host.job.sourceGeometry.bytes_per_sector = 512;
    page->GetTotalField()->setText(largest512.c_str());
    page->GetHeadsField()->setText("16");
    EXPECT_EQ(page->OnWizardNext(), 9);
    EXPECT_EQ(host.job.manualTotalSectors, 18014398509481983ull);
}

// The split-set page: loads the routing's defaults, refuses part sizes the header cannot count,
// and stores the header values, the level and the typed heads and sectors into the geometry.
TEST(SplitPage, StoresItsValuesAndRefusesUncountablePartSizes)
{
    PageHost host;
    CToPartitionSavingPropertyPage* page =
        new CToPartitionSavingPropertyPage(&host.events, &host.job, 29, host.switcher);
    host.job.destKind = DEST_SPLIT;
    host.job.workGeometry = Geo(100000, 16, 63);
    const uint32_t defaults[5] = {0, 99, 16, 63, 5};
    memcpy(host.job.splitValues, defaults, sizeof defaults);
    host.job.splitNumber = 2048;
    host.Show(page);
    host.Shot("page29_split_set");
    EXPECT_STREQ(page->GetValueField(1)->getText().text(), "99");
    EXPECT_STREQ(page->GetSizeField()->getText().text(), "2048");
    EXPECT_EQ(page->GetLevelList()->getCurrentItem(), 5);
    // Every refusal says why: a size outside 1..4095 MiB, a header value outside 32 bits.
    const FXString partSize =
        Ui_ReplaceFirstPlaceholder(Ui_MessageText(MSG_FIELD_PART_SIZE), "4095");
    const struct {
        const char* size;
        const char* value;
        FXString expected;
    } refused[] = {
        {"0", "16", partSize},
        {"4096", "16", partSize},
        {"2048", "4294967295", Ui_MessageText(MSG_FIELD_PART_HEADER_VALUES)},
    };
    for (const auto& r : refused) {
        page->GetSizeField()->setText(r.size);
        page->GetValueField(2)->setText(r.value);
        std::string shown;
        AnswerBoxIfAny(100, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1) << r.size << " " << r.value;
        EXPECT_NE(shown.find(r.expected.text()), std::string::npos) << r.size << ": " << shown;
        Pump(150);
    }
    page->GetSizeField()->setText("4095");
    page->GetValueField(2)->setText("8");
    page->GetValueField(3)->setText("32");
    EXPECT_EQ(page->OnWizardNext(), 30);
    EXPECT_EQ(host.job.splitNumber, 4095u);
    EXPECT_EQ(host.job.splitValues[2], 8u);
    EXPECT_EQ(host.job.finalGeometry.heads, 8u);
    EXPECT_EQ(host.job.finalGeometry.sectors_per_track, 32u);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 100000u);
    // Parts from a descriptor: the size field is not asked.
    page->GetDescriptorCheck()->setCheck(TRUE);
    page->GetSizeField()->setText("0");
    EXPECT_EQ(page->OnWizardNext(), 30);
    EXPECT_EQ(host.job.splitCheck1, 1);
}

// ---- Cylinder-boundary page -------------------------------------------------------------------

TEST(CylinderPage, RoundsAndStaysOnAnEmptyOrUnfittingDisk)
{
    PageHost host;
    host.job.destKind = DEST_HDI;
    host.job.destGeometry = Geo(1000, 16, 63);
    host.job.finalGeometry = host.job.destGeometry;
    host.job.cylinderBased = 1;
    host.job.cylinderRounding = 0;
    auto* page =
        new CAdjustCylinderBoundaryPropertyPage(&host.events, &host.job, 31, host.switcher);
    host.Show(page);
    EXPECT_FALSE(page->GetKeepRadio()->isEnabled());
    EXPECT_EQ(page->GetRadioId(), CAdjustCylinderBoundaryPropertyPage::ID_UP);
    EXPECT_EQ(host.job.cylinderRounding, 1);
    host.Shot("page31_cylinders");

    // Down below one cylinder: message 124, the page stays, nothing stored.
    page->handle(NULL, FXSEL(SEL_COMMAND, CAdjustCylinderBoundaryPropertyPage::ID_DOWN), NULL);
    std::string shown;
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(124).substr(0, 20)), std::string::npos) << shown;
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 1000u);
    EXPECT_EQ(host.job.cylinderRounding, 1);

    page->handle(NULL, FXSEL(SEL_COMMAND, CAdjustCylinderBoundaryPropertyPage::ID_UP), NULL);
    EXPECT_EQ(page->OnWizardNext(), 32);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 1008u);

    // A rounding up that the destination can no longer hold is refused with message 124.
    host.job.destGeometry = Geo(8388000, 255, 63);
    page->OnSetActive();
    shown.clear();
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_FALSE(shown.empty());

    // A destination that is not cylinder based may keep its total.
    host.job.destKind = DEST_FLAT;
    host.job.cylinderBased = 0;
    host.job.cylinderRounding = 0;
    host.job.destGeometry = Geo(1000, 16, 63);
    page->OnSetActive();
    EXPECT_TRUE(page->GetKeepRadio()->isEnabled());
    EXPECT_EQ(page->GetRadioId(), CAdjustCylinderBoundaryPropertyPage::ID_KEEP);
    EXPECT_EQ(page->OnWizardNext(), 32);
    EXPECT_EQ(Geometry_GetTotalSectors(&host.job.finalGeometry), 1000u);
    EXPECT_EQ(host.job.cylinderRounding, 0);
}

// ---- Destination path page ---------------------------------------------------------------------

TEST(DestinationPage, RefusesTheSourceAndAsksBeforeReplacing)
{
    TempDir dir;
    PageHost host;
    std::string raw = dir.file("source.raw");
    DiskGeometry g;
    ASSERT_TRUE(MakeRawSource(&host.job, raw, testsupport::RandomBytes(1 << 20, 4), &g));
    host.job.destKind = DEST_FLAT;
    host.job.finalGeometry = g;
    host.job.destName = "";
    auto* page = new CInputDestPropertyPage(&host.events, &host.job, 32, host.switcher);
    host.Show(page);
    EXPECT_TRUE(host.events.next && host.events.back && host.events.cancel);
    EXPECT_STREQ(page->GetHintLabel()->getText().text(), "");

    std::string shown;
    // Empty: message 27.
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(27).substr(0, 15)), std::string::npos);

    // The source itself, under its name or through a link, and an image beside its own
    // description: refused with the refusal message.
    ASSERT_EQ(link(raw.c_str(), dir.file("alias.img").c_str()), 0);
    for (const std::string& name : {raw, dir.file("alias.img"), dir.file("disk.txt")}) {
        page->GetPathField()->setText(name.c_str());
        shown.clear();
        AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
        EXPECT_EQ(page->OnWizardNext(), -1) << name;
        EXPECT_NE(shown.find(Msg(MSG_OPTIONS_DEST_IS_SOURCE)), std::string::npos) << name;
        EXPECT_EQ(host.events.nextCalls, 0);
    }
    host.Shot("page32_destination");

    // An existing file (or its ".txt" sibling): No keeps the page, Yes goes on.
    testsupport::WriteFile(dir.file("old.txt"), {1, 2, 3});
    page->GetPathField()->setText(dir.file("old.img").c_str());
    AnswerBox(100, FXMessageBox::ID_CLICKED_NO, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(288).substr(0, 20)), std::string::npos);
    // Enter on the question answers No: the file is not replaced.
    After(100, [] { guitest::PressKey(Modal(), KEY_Return); });
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(host.events.nextCalls, 0);
    AnswerBox(100, FXMessageBox::ID_CLICKED_YES, &shown);
    EXPECT_EQ(page->OnWizardNext(), 33);
    EXPECT_EQ(std::string(host.job.destPath.text()), dir.file("old.img"));

    // A relative name is made absolute; a new file asks nothing.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    page->GetPathField()->setText("  new.img ");
    EXPECT_EQ(page->OnWizardNext(), 33);
    EXPECT_EQ(std::string(host.job.destPath.text()), dir.file("new.img"));
    EXPECT_STREQ(host.job.destName.text(), "new.img");
    ASSERT_EQ(chdir(cwd), 0);

    // Hints: partition saving with a descriptor, and plug-ins.
    host.job.destKind = DEST_SPLIT;
    host.job.splitCheck1 = 1;
    page->OnSetActive();
    EXPECT_EQ(std::string(page->GetHintLabel()->getText().text()), Msg(285));
    host.job.destKind = DEST_PLUGIN;
    page->OnSetActive();
    EXPECT_EQ(std::string(page->GetHintLabel()->getText().text()), Msg(286));
    // A plug-in destination without a loaded plug-in fails with message 32.
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(32).substr(0, 20)), std::string::npos);
    EXPECT_EQ(host.job.pluginDest, nullptr);
    EXPECT_EQ(DestPath_PatternMessage(0), 289);
    EXPECT_EQ(DestPath_PatternMessage(13), 297);
    EXPECT_EQ(DestPath_PatternMessage(21), 301);
}

// ---- Plug-in destination -------------------------------------------------------------------------

// A loaded stand-in module chosen as the destination plug-in, as the destination-type page
// leaves it; answers its steering record.
StandinState* ChoosePlugin(ConversionJob* job, const std::string& path)
{
    PluginListEntry entry;
    entry.path = path.c_str();
    entry.module = Plugin_Alloc();
    Plugin_Init(entry.module);
    EXPECT_EQ(Plugin_Load(entry.module, path.c_str()), DISK_OK);
    job->plugins.push_back(entry);
    job->destPlugins.push_back(0);
    job->destPluginIndex = 0;
    job->destKind = DEST_PLUGIN;
    StandinState* s = static_cast<StandinState*>(dlsym(entry.module->library, "standin"));
    memset(s, 0, sizeof *s);
    return s;
}

TEST(PluginDestination, PathAnswersAndAFailingWriterWithItsText)
{
    TempDir dir;
    std::string output;
    ASSERT_TRUE(standin::Build({{dir.file("full.vpl"), standin::FullFlags()}}, &output)) << output;
    PageHost host;
    StandinState* s = ChoosePlugin(&host.job, dir.file("full.vpl"));
    std::string raw = dir.file("source.raw");
    DiskGeometry g;
    ASSERT_TRUE(MakeRawSource(&host.job, raw, std::vector<uint8_t>(1 << 20, 0x5A), &g));
    host.job.finalGeometry = g;
    auto* page = new CInputDestPropertyPage(&host.events, &host.job, 32, host.switcher);
    host.Show(page);
    host.Shot("page32_destination_plugin");

    // 1: refused without a message; the context is given back.
    s->setPathExResult = 1;
    page->GetPathField()->setText("plugin:target");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(s->outputsCreated, 1);
    EXPECT_EQ(s->outputsFreed, 1);
    EXPECT_EQ(host.job.pluginDest, nullptr);
    // Another answer fails with message 32.
    s->setPathExResult = 7;
    std::string shown;
    AnswerBox(100, FXMessageBox::ID_CLICKED_OK, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(32).substr(0, 20)), std::string::npos);
    EXPECT_EQ(s->outputsFreed, 2);
    // The source itself is refused before the plug-in sees it, whatever the plug-in would say.
    s->setPathExResult = 0;
    page->GetPathField()->setText(raw.c_str());
    shown.clear();
    AnswerBoxIfAny(100, &shown);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_NE(shown.find(Msg(MSG_OPTIONS_DEST_IS_SOURCE)), std::string::npos) << shown;
    EXPECT_EQ(s->outputsCreated, 2);
    EXPECT_EQ(host.job.pluginDest, nullptr);
    Pump(150);
    // The run refuses it too and hands nothing to the plug-in.
    {
        ConvertRunContext context;
        host.job.destPath = raw.c_str();
        EXPECT_EQ(ConvertRun_WriteImage(&host.job, &context), DISK_ERR_ARG);
        EXPECT_EQ(s->writeExs, 0);
    }
    page->GetPathField()->setText("plugin:target");
    // 0 accepts: the context stays with the job, the path is taken as typed.
    EXPECT_EQ(page->OnWizardNext(), 33);
    EXPECT_NE(host.job.pluginDest, nullptr);
    EXPECT_STREQ(host.job.destPath.text(), "plugin:target");
    EXPECT_EQ(s->outputsFreed, 2);

    // The run writes through the plug-in with its context; a failure keeps its own text.
    s->writeResult = DISK_ERR_PLUGIN;
    s->messageAnswer = 1;
    auto* convert = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.Show(convert);
    WaitForEnd(convert);
    EXPECT_EQ(convert->GetResult(), DISK_ERR_PLUGIN);
    EXPECT_EQ(s->writeExs, 1);
    EXPECT_EQ(s->lastHostArgument, host.job.pluginDest);
    EXPECT_EQ(s->writtenFirstByte, 0x5A);
    EXPECT_STREQ(convert->GetPluginMessage().text(), "stand-in failure");
    std::string status = convert->GetStatusLabel()->getText().text();
    EXPECT_NE(status.find("[stand-in failure]"), std::string::npos) << status;
    host.Shot("page33_convert_plugin_failed");
    s->writeResult = DISK_OK;
    convert->OnSetActive();
    WaitForEnd(convert);
    EXPECT_EQ(convert->GetResult(), DISK_OK);
    EXPECT_EQ(std::string(convert->GetStatusLabel()->getText().text()), Msg(305));
}

// ---- Convert page ----------------------------------------------------------------------------------

TEST(ConvertPage, RunsToTheEnd)
{
    TempDir dir;
    PageHost host;
    std::string raw = dir.file("source.raw");
    DiskGeometry g;
    ASSERT_TRUE(MakeRawSource(&host.job, raw, testsupport::RandomBytes(8 << 20, 6), &g));
    host.job.destKind = DEST_FLAT;
    host.job.finalGeometry = g;
    host.job.destPath = dir.file("copy.img").c_str();
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.Show(page);
    WaitForEnd(page);
    ASSERT_FALSE(page->IsRunning());
    EXPECT_EQ(page->GetResult(), DISK_OK);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()), Msg(305));
    EXPECT_TRUE(host.events.back && host.events.next && host.events.cancel);
    EXPECT_EQ(page->GetProgressBar()->getProgress(), page->GetProgressBar()->getTotal());
    EXPECT_EQ(testsupport::ReadFile(dir.file("copy.img")), testsupport::ReadFile(raw));
    EXPECT_NE(std::string(page->GetProgressLabel()->getText().text()).find("16,384 / 16,384"),
              std::string::npos)
        << page->GetProgressLabel()->getText().text();
    EXPECT_TRUE(page->QueryCancel());
    host.Shot("page33_convert_done");
    EXPECT_EQ(page->OnWizardNext(), 34);

    // A failing run shows message 307 and its cause (the destination folder does not exist).
    host.job.destPath = dir.file("missing/dir/copy.img").c_str();
    page->OnSetActive();
    WaitForEnd(page);
    EXPECT_EQ(page->GetResult(), DISK_ERR_CREATE);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()),
              Msg(307) + "\n[" + Msg(MSG_CAUSE_NO_FOLDER) + "]");
    EXPECT_EQ(page->GetProgressBar()->getProgress(), 0);
    host.Shot("page33_convert_failed");
    ExpectWholeTexts(page, "page 33 failed");
}

// A trim whose "_del" backup exists already asks before replacing it, naming the file: No
// refuses with a line that names it (nothing written, nothing run), Yes trims and replaces it.
TEST(ConvertPage, ATrimAsksBeforeReplacingAnEarlierBackup)
{
    TempDir dir;
    PageHost host;
    std::string raw = dir.file("source.raw");
    const std::string image = dir.file("t.vhd");
    {
        ConversionJob make;
        DiskGeometry g;
        ASSERT_TRUE(MakeRawSource(&make, raw, testsupport::RandomBytes(4 << 20, 7), &g));
        make.destKind = DEST_VHD_DYNAMIC;
        make.vhdLayoutIndex = 5;
        make.vhdCreatorIndex = 4;  // sized by the exact byte count
        make.finalGeometry = g;
        make.destPath = image.c_str();
        ConvertRunContext context;
        ASSERT_EQ(ConvertRun_WriteImage(&make, &context), DISK_OK);
        ConversionJob_Release(&make);
    }
    const std::vector<uint8_t> original = testsupport::ReadFile(image);
    testsupport::WriteFile(image + "_del", {1, 2, 3});
    host.job.sourcePath = image.c_str();
    host.job.sourceDisk = Disk_Alloc();
    Disk_Init(host.job.sourceDisk);
    ASSERT_EQ(Disk_Open(host.job.sourceDisk, image.c_str(), false), DISK_OK);
    host.job.trimInPlace = 1;
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);

    std::string shown;
    AnswerBox(100, FXMessageBox::ID_CLICKED_NO, &shown);
    host.Show(page);
    EXPECT_NE(shown.find(image + "_del"), std::string::npos) << shown;
    EXPECT_FALSE(page->IsRunning());
    EXPECT_EQ(page->GetResult(), DISK_ERR_BACKUP_EXISTS);
    const std::string refusal = page->GetStatusLabel()->getText().text();
    EXPECT_NE(refusal.find(image + "_del"), std::string::npos) << refusal;
    EXPECT_TRUE(host.events.back && host.events.next && host.events.cancel);
    EXPECT_EQ(testsupport::ReadFile(image + "_del"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(testsupport::ReadFile(image), original);
    EXPECT_NE(host.job.sourceDisk, nullptr);
    host.Shot("page33_trim_backup_kept");

    AnswerBox(100, FXMessageBox::ID_CLICKED_YES, &shown);
    page->OnSetActive();
    WaitForEnd(page);
    ASSERT_FALSE(page->IsRunning());
    EXPECT_EQ(page->GetResult(), DISK_OK);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()), Msg(305));
    EXPECT_EQ(testsupport::ReadFile(image + "_del"), original);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
}

// A small file system mounted for one test, unmounted again; empty path when mounting is not
// allowed here.
class SmallMount {
public:
    std::string path;
    SmallMount(const std::string& where, const char* size)
    {
        testsupport::RunCommand("mkdir -p " + testsupport::Quote(where));
        if (testsupport::RunCommand("mount -t tmpfs -o size=" + std::string(size) + " tmpfs " +
                                    testsupport::Quote(where) + " 2>/dev/null") == 0)
            path = where;
    }
    ~SmallMount()
    {
        if (!path.empty()) testsupport::RunCommand("umount " + testsupport::Quote(path));
    }
};

// Runs the page on a raw source of 8 MiB of random bytes; `damage` may change the source file
// after it has been opened.
struct FailedRun {
    int result;
    std::string status;
};
FailedRun RunToFailure(const std::string& raw, int32_t destKind, const std::string& dest,
                       std::function<void()> damage = nullptr)
{
    PageHost host;
    DiskGeometry g;
    EXPECT_TRUE(MakeRawSource(&host.job, raw, testsupport::RandomBytes(8 << 20, 8), &g));
    if (damage) damage();
    host.job.destKind = destKind;
    host.job.vmdkList14 = 11;
    host.job.finalGeometry = g;
    host.job.destPath = dest.c_str();
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.Show(page);
    WaitForEnd(page);
    EXPECT_TRUE(host.events.back && host.events.next && host.events.cancel);
    return FailedRun{page->GetResult(), page->GetStatusLabel()->getText().text()};
}

std::string FailureText(int cause, const std::string& argument = std::string())
{
    std::string text = Msg(cause);
    size_t at = text.find("%0");
    if (at != std::string::npos) text.replace(at, 2, argument);
    return Msg(307) + "\n[" + text + "]";
}

// Failures name their cause under message 307, and files the run created are taken away:
// a half-written image may read as a whole one.
TEST(ConvertPage, FailuresSayWhyAndLeaveNoHalfImage)
{
    TempDir dir;
    // A folder where no file can be made.
    FailedRun r = RunToFailure(dir.file("a.raw"), 0, "/proc/vdx-test-output.vmdk");
    EXPECT_EQ(r.result, DISK_ERR_CREATE);
    EXPECT_EQ(r.status, FailureText(MSG_CAUSE_FOLDER_REFUSES));

    // A full device: the file existed before the run and stays.
    r = RunToFailure(dir.file("b.raw"), 0, "/dev/full");
    EXPECT_NE(r.result, DISK_OK);
    EXPECT_EQ(r.status, FailureText(MSG_CAUSE_NO_SPACE));
    EXPECT_TRUE(Os_PathExists("/dev/full"));

    // A source cut short after it was opened: the first sector that cannot be read is named,
    // and the destination the run created is removed.
    const std::string cut = dir.file("c.raw");
    const std::string out = dir.file("c.vmdk");
    r = RunToFailure(cut, 0, out, [&] { ASSERT_EQ(truncate(cut.c_str(), (3 << 20) + 1000), 0); });
    EXPECT_NE(r.result, DISK_OK);
    EXPECT_EQ(r.status, FailureText(MSG_CAUSE_SOURCE_SECTOR, "6145"));
    EXPECT_FALSE(Os_PathExists(out.c_str()));
    // A destination that existed before (its replacement was agreed to) is not removed.
    testsupport::WriteFile(out, {1, 2, 3});
    r = RunToFailure(cut, 0, out, [&] { ASSERT_EQ(truncate(cut.c_str(), (3 << 20) + 1000), 0); });
    EXPECT_EQ(r.status, FailureText(MSG_CAUSE_SOURCE_SECTOR, "6145"));
    EXPECT_TRUE(Os_PathExists(out.c_str()));

    // A destination file system that fills up: no VMDK is left that could pass for the disk.
    SmallMount small(dir.file("small"), "1m");
    if (small.path.empty()) {
        GTEST_SKIP() << "mounting a small tmpfs is not allowed here: the full-disk case is skipped";
    }
    const std::string vmdk = small.path + "/full.vmdk";
    r = RunToFailure(dir.file("d.raw"), 0, vmdk);
    EXPECT_NE(r.result, DISK_OK);
    EXPECT_EQ(r.status, FailureText(MSG_CAUSE_NO_SPACE));
    EXPECT_FALSE(Os_PathExists(vmdk.c_str()));
}

// A trim replaces the image only at its end: a failure or a stop leaves the image as it was,
// and the page says so, a failure with its cause.
std::string Digest(const std::string& path)
{
    std::string out;
    testsupport::RunCommand("sha256sum " + testsupport::Quote(path), &out);
    return out;
}

// A convert page whose run is stopped as the stop question's Yes would stop it.
class StoppableConvertPage : public CConvertPropertyPage {
public:
    StoppableConvertPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                         FXComposite* parent)
        : CConvertPropertyPage(events, job, index, parent)
    {}
    void StopNow() { running = false; }
};

void OpenTrim(PageHost* host, const std::string& image)
{
    host->job.sourcePath = image.c_str();
    host->job.sourceDisk = Disk_Alloc();
    Disk_Init(host->job.sourceDisk);
    ASSERT_EQ(Disk_Open(host->job.sourceDisk, image.c_str(), false), DISK_OK);
    host->job.trimInPlace = 1;
}

TEST(ConvertPage, AFailedOrStoppedTrimLeavesTheImageAndSaysWhy)
{
    TempDir dir;
    {
        // Stopped: the temporary file is gone, so nothing partial remains to be deleted. The
        // stop is given before the worker's first progress post can be answered.
        const std::string image = dir.file("long.vhd");
        ASSERT_EQ(testsupport::RunCommand("qemu-img create -q -f vpc " + testsupport::Quote(image) +
                                          " 64M && qemu-io -f vpc -c 'write -P 0x11 0 32M' " +
                                          testsupport::Quote(image) + " >/dev/null"),
                  0);
        const std::string before = Digest(image);
        PageHost host;
        OpenTrim(&host, image);
        auto* page = new StoppableConvertPage(&host.events, &host.job, 33, host.switcher);
        host.window->create();
        host.window->show(PLACEMENT_SCREEN);
        host.switcher->setCurrent(host.switcher->indexOfChild(page));
        page->OnSetActive();
        page->StopNow();
        WaitForEnd(page);
        EXPECT_EQ(page->GetResult(), DISK_CANCELLED);
        EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()), Msg(373));
        host.Shot("page33_trim_cancelled");
        ConversionJob_Release(&host.job);
        EXPECT_EQ(Digest(image), before);
        EXPECT_EQ(testsupport::RunCommand("ls " + testsupport::Quote(dir.path()) +
                                          " | grep -qv '^long.vhd$'"),
                  1);
        testsupport::RunCommand("rm -f " + testsupport::Quote(image));
    }
    // Failed: the file system has no room for the new image beside the old one.
    SmallMount small(dir.file("small"), "4m");
    if (small.path.empty()) {
        GTEST_SKIP() << "mounting a small tmpfs is not allowed here: the full-disk trim is skipped";
    }
    const std::string image = small.path + "/t.vhd";
    ASSERT_EQ(testsupport::RunCommand("qemu-img create -q -f vpc " + testsupport::Quote(image) +
                                      " 16M && qemu-io -f vpc -c 'write -P 0x22 0 2560k' " +
                                      testsupport::Quote(image) + " >/dev/null"),
              0);
    const std::vector<uint8_t> before = testsupport::ReadFile(image);
    PageHost host;
    OpenTrim(&host, image);
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.Show(page);
    WaitForEnd(page);
    EXPECT_NE(page->GetResult(), DISK_OK);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()),
              Msg(372) + "\n[" + Msg(MSG_CAUSE_NO_SPACE) + "]");
    host.Shot("page33_trim_full_disk");
    ConversionJob_Release(&host.job);
    EXPECT_EQ(testsupport::ReadFile(image), before);
    EXPECT_EQ(
        testsupport::RunCommand("ls " + testsupport::Quote(small.path) + " | grep -qv '^t.vhd$'"),
        1);
}

// Without a worker thread nothing would ever end the run: the page reports the failure itself.
class NoThreadConvertPage : public CConvertPropertyPage {
public:
    NoThreadConvertPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                        FXComposite* parent)
        : CConvertPropertyPage(events, job, index, parent)
    {}
    bool StartWorker() override { return false; }
};

TEST(ConvertPage, AThreadThatCannotStartIsAFailure)
{
    PageHost host;
    DiskGeometry g = Geo(2048, 16, 63);
    host.job.sourceKind = JOB_SOURCE_NEW_DISK;
    host.job.sourceDisk = Disk_Alloc();
    Disk_Init(host.job.sourceDisk);
    ASSERT_EQ(Disk_OpenZero(host.job.sourceDisk, &g), DISK_OK);
    host.job.destKind = DEST_FLAT;
    host.job.finalGeometry = g;
    TempDir dir;
    host.job.destPath = dir.file("never.img").c_str();
    auto* page = new NoThreadConvertPage(&host.events, &host.job, 33, host.switcher);
    host.Show(page);
    EXPECT_FALSE(page->IsRunning());
    EXPECT_NE(page->GetResult(), DISK_OK);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()),
              FailureText(MSG_CAUSE_NO_THREAD));
    EXPECT_TRUE(host.events.back && host.events.next && host.events.cancel);
    EXPECT_TRUE(page->QueryCancel());
    EXPECT_EQ(page->OnWizardNext(), 34);
    EXPECT_FALSE(Os_PathExists(dir.file("never.img").c_str()));
}

// A source so long that a run which does not stop would go on for many minutes: a VDI of
// 0xF0000000 sectors (almost 2 TiB) with every block present in its map, each block bytes of
// the image file never written, which the VMDK writer reads and tests in full.
const uint64_t kLongSectors = 0xF0000000ull;

void OpenLongSource(PageHost* host, const std::string& vdi)
{
    ASSERT_EQ(testsupport::RunCommand("qemu-img create -q -f vdi -o static=on " +
                                      testsupport::Quote(vdi) + " " +
                                      std::to_string(kLongSectors * 512)),
              0);
    host->job.sourcePath = vdi.c_str();
    host->job.sourceDisk = Disk_Alloc();
    Disk_Init(host->job.sourceDisk);
    ASSERT_EQ(Disk_Open(host->job.sourceDisk, vdi.c_str(), true), DISK_OK);
    Disk_GetGeometry(host->job.sourceDisk, &host->job.finalGeometry);
    ASSERT_EQ(Geometry_GetTotalSectors(&host->job.finalGeometry), kLongSectors);
    host->job.destKind = DEST_VMDK;
    host->job.vmdkList14 = 11;
}

// The stop question: No goes on, Yes stops the run long before its end, with message 306; the
// partly written file stays.
TEST(ConvertPage, CancelStopsTheRun)
{
    TempDir dir;
    PageHost host;
    OpenLongSource(&host, dir.file("long.vdi"));
    host.job.destPath = dir.file("long.vmdk").c_str();
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.Show(page);
    EXPECT_FALSE(host.events.back);
    EXPECT_FALSE(host.events.next);
    EXPECT_TRUE(host.events.cancel);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()), Msg(304));
    Pump(300);
    ASSERT_TRUE(page->IsRunning());
    host.Shot("page33_convert_running");

    After(100, [&] {
        FXWindow* question = Modal();
        ASSERT_NE(question, nullptr);
        ASSERT_TRUE(question->isMemberOf(FXMETACLASS(CYesNoDialog)));
        Command(question, FXDialogBox::ID_CANCEL);
    });
    EXPECT_FALSE(page->QueryCancel());
    Pump(100);
    EXPECT_TRUE(page->IsRunning());
    uint64_t doneBeforeYes = 0;
    After(100, [&] {
        FXWindow* question = Modal();
        ASSERT_NE(question, nullptr);
        guitest::Screenshot(question, "page33_stop_question");
        doneBeforeYes = ProgressDone(page->GetProgressLabel()->getText().text());
        Command(question, FXDialogBox::ID_ACCEPT);
    });
    EXPECT_FALSE(page->QueryCancel());
    WaitForEnd(page);
    EXPECT_EQ(page->GetResult(), DISK_CANCELLED);
    EXPECT_EQ(std::string(page->GetStatusLabel()->getText().text()), Msg(306));
    EXPECT_TRUE(host.events.back && host.events.next && host.events.cancel);
    const std::string progress = page->GetProgressLabel()->getText().text();
    // Stopped at the next progress post: it went on for less after Yes than it had run before
    // (however fast the machine), and did not reach the end.
    EXPECT_GT(doneBeforeYes, 0u);
    EXPECT_LT(ProgressDone(progress), 2 * doneBeforeYes) << progress;
    EXPECT_LT(ProgressDone(progress), kLongSectors) << progress;
    EXPECT_TRUE(Os_PathExists(dir.file("long.vmdk").c_str()));
    host.Shot("page33_convert_cancelled");
}

TEST(ConvertPage, DestroyedWhileRunningStopsTheWorker)
{
    TempDir dir;
    Clock::time_point start;
    {
        PageHost host;
        OpenLongSource(&host, dir.file("long.vdi"));
        host.job.destPath = dir.file("long.vmdk").c_str();
        auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
        host.Show(page);
        Pump(200);
        ASSERT_TRUE(page->IsRunning());
        start = Clock::now();
    }
    // The whole run takes minutes; the destruction stops it at the next progress post.
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 60.0);
}

TEST(ConvertPage, PartQuestionsAnswerWithAPathFromTheWorker)
{
    PageHost host;
    auto* page = new CConvertPropertyPage(&host.events, &host.job, 33, host.switcher);
    host.window->create();
    host.window->show(PLACEMENT_SCREEN);
    Pump(40);
    // The split writer and reader suggest "set.p04" for the part of index 4, the fifth file of
    // the set: the question names that file and counts the part from 1.
    struct Case {
        bool source;
        uint32_t flag;
        uint32_t index;
        const char* suggested;
        const char* typed;
        bool accept;
        bool answer;
        const char* name;
        const char* number;
    } cases[] = {
        {false, 1, 4, "/tmp/set.p04", "/tmp/part-five", true, true, "p04", "5"},
        {true, 0, 1, "/tmp/set.p01", "/tmp/part-two", true, true, "p01", "2"},
        {true, 0, 120, "/tmp/set.p120", "/tmp/part-121", true, true, "p120", "121"},
        {true, 0, 0, "/tmp/set.p00", "/tmp/ignored", false, false, "p00", "1"},
    };
    for (const Case& c : cases) {
        ConvertPartRequest request;
        memset(&request, 0, sizeof request);
        request.flag = c.flag;
        request.partIndex = c.index;
        strcpy(request.path, c.suggested);
        std::atomic<int> answer(-1);
        std::string prompt, shown;
        After(100, [&] {
            FXWindow* dialog = Modal();
            ASSERT_NE(dialog, nullptr);
            ASSERT_TRUE(dialog->isMemberOf(FXMETACLASS(CInputFileDialog)));
            CInputFileDialog* input = static_cast<CInputFileDialog*>(dialog);
            prompt = guitest::LabelTexts(dialog);
            shown = input->GetPathField()->getText().text();
            input->GetPathField()->setText(c.typed);
            Command(dialog, c.accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
        });
        std::thread worker([&] {
            answer = (c.source ? CConvertPropertyPage::OnSourcePart(&request, page)
                               : CConvertPropertyPage::OnOutputPart(&request, page))
                         ? 1
                         : 0;
        });
        while (answer.load() == -1) Pump(20);
        worker.join();
        EXPECT_EQ(answer.load(), c.answer ? 1 : 0) << c.name;
        EXPECT_EQ(shown, c.suggested);
        const FXString arguments[2] = {c.number, c.name};
        const FXString asked =
            Ui_ReplacePlaceholders(Msg(c.source ? 309 : 308).c_str(), arguments, 2);
        EXPECT_NE(prompt.find(asked.text()), std::string::npos) << prompt;
        EXPECT_EQ(prompt.find(Msg(310)) != std::string::npos, c.flag != 0) << prompt;
        if (c.answer) {
            EXPECT_STREQ(request.path, c.typed);
        }
    }
}

}  // namespace
