// The page base, the source page, the source-information pages, the destination-type page and
// the geometry page under a display, driven through their FOX messages and wizard operations:
// which files open as what, the password road keeping its key, the trim road, plug-in disks,
// the field checks, the used-sector map on the destination page, and that every failure leaves
// the job without a source disk or map (the sanitizer build checks that nothing leaks and
// nothing is released twice).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <sys/stat.h>
#include <map>

#include "disk/plugin.h"
#include "disk/plugins/standin_build.h"
#include "disk/plugins/standin_state.h"
#include "disk/split_disk.h"
#include "foundation/refusal.h"
#include "formats/bochs/bochs.h"
#include "formats/qcow2/qcow2.h"
#include "gui/frame/messages.h"
#include "gui/frame/plugin_pages.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/qcow2_snapshot_dialog.h"
#include "gui/frame/qcow_password_dialog.h"
#include "gui/frame/trim_settings_dialog.h"
#include "gui/frame/widgets.h"
#include "gui/pages/destination_type_page.h"
#include "gui/pages/geometry_page.h"
#include "gui/pages/source_info_pages.h"
#include "gui/pages/source_page.h"
#include "gui/utility/vhd_utility_dialog.h"
#include "gui/utility/vmdk_utility_dialog.h"
#include "source_page_harness.h"
#include "source_test_util.h"
#include "volume/used_map.h"

using namespace pagetest;
using namespace sourcetest;
using testsupport::TempDir;

namespace {

// ---- Page base -----------------------------------------------------------------------------------

class CheckingPage : public CToSimplePropertyPage {
public:
    int answer = -1;
    CheckingPage(IPropertyPageEvent* events, ConversionJob* job, FXComposite* parent)
        : CToSimplePropertyPage(events, job, 22, parent, 245, 246)
    {}
    int CheckDestination() override { return answer; }
};

TEST(PageBase, SimplePageShowsTheCheckResult)
{
    guitest::App();
    BoxWatcher::Instance().Start();
    Host<CheckingPage> host;
    CheckingPage* page =
        host.Build([&](FXComposite* s) { return new CheckingPage(&host.events, &host.job, s); });
    EXPECT_STREQ(page->title.text(), Ui_MessageText(245).text());
    EXPECT_STREQ(page->description.text(), Ui_MessageText(246).text());

    page->answer = -1;
    page->OnSetActive();
    EXPECT_STREQ(page->GetResultLabel()->getText().text(), Ui_MessageText(124).text());
    EXPECT_EQ(host.events.log, (std::vector<std::string>{"B+", "N-", "C+"}));

    host.events.log.clear();
    page->answer = 0;
    page->OnSetActive();
    EXPECT_STREQ(page->GetResultLabel()->getText().text(), Ui_MessageText(122).text());
    EXPECT_EQ(host.events.log, (std::vector<std::string>{"B+", "N+", "C+"}));

    // Any other answer leaves label and buttons as they are.
    host.events.log.clear();
    page->answer = 5;
    page->OnSetActive();
    EXPECT_STREQ(page->GetResultLabel()->getText().text(), Ui_MessageText(122).text());
    EXPECT_TRUE(host.events.log.empty());

    // Back asks the wizard for the previous page of the page's own index.
    host.job.destKind = 13;
    host.job.sourceKind = JOB_SOURCE_IMAGE;
    EXPECT_EQ(page->OnWizardBack(), WIZARD_PAGE_GEOMETRY);
    guitest::Screenshot(host.window, "page_simple_destination");
}

TEST(PageBase, Helpers)
{
    guitest::App();
    Host<CheckingPage> host;
    CheckingPage* page =
        host.Build([&](FXComposite* s) { return new CheckingPage(&host.events, &host.job, s); });
    FXCheckButton* check = Ui_CreateCheckButton(page, 45, NULL, 0, 1, 8, 10, 2);
    FXListBox* list = Ui_CreateListBox(page, NULL, 0, 1, 10, 10, 2);
    host.window->create();
    CVdxPropertyPageBase::SetCheck(check, 7);
    EXPECT_TRUE(CVdxPropertyPageBase::GetCheck(check));
    CVdxPropertyPageBase::SetCheck(check, 0);
    EXPECT_FALSE(CVdxPropertyPageBase::GetCheck(check));
    CVdxPropertyPageBase::EnableWindow(check, 0);
    EXPECT_FALSE(check->isEnabled());
    CVdxPropertyPageBase::EnableWindow(check, 2);
    EXPECT_TRUE(check->isEnabled());
    // Out-of-range indexes never reach the toolkit's range check.
    CVdxPropertyPageBase::SetListIndex(list, 3);
    EXPECT_EQ(CVdxPropertyPageBase::GetListIndex(list), 0);
    list->appendItem("a");
    list->appendItem("b");
    CVdxPropertyPageBase::SetListIndex(list, 1);
    EXPECT_EQ(CVdxPropertyPageBase::GetListIndex(list), 1);
    CVdxPropertyPageBase::SetListIndex(list, 2);
    EXPECT_EQ(CVdxPropertyPageBase::GetListIndex(list), 0);
    CVdxPropertyPageBase::SetListIndex(list, -1);
    EXPECT_EQ(CVdxPropertyPageBase::GetListIndex(list), 0);
    page->SetWizardButtons(0, 1, 0);
    EXPECT_EQ(host.events.Buttons(), "bNc");
}

// ---- Source page ------------------------------------------------------------------------------------

class SourcePage : public ::testing::Test {
protected:
    TempDir dir;
    Host<CInputSourcePropertyPage> host;
    CInputSourcePropertyPage* page = nullptr;
    ConversionJob& job = host.job;

    void SetUp() override
    {
        guitest::App();
        BoxWatcher::Instance().Start();
    }
    void TearDown() override { BoxWatcher::Instance().other = nullptr; }
    void Build()
    {
        page = host.Build([&](FXComposite* s) {
            return new CInputSourcePropertyPage(&host.events, &host.job, 0, s, NULL);
        });
        page->OnSetActive();
    }
    // Next with the image-file choice and the given path text.
    int NextWithFile(const std::string& path, bool trim = false)
    {
        guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_IMAGE);
        Type(page->GetPathField(), path);
        CVdxPropertyPageBase::SetCheck(page->GetTrimCheck(), trim);
        BoxWatcher::Instance().texts.clear();
        return page->OnWizardNext();
    }
    std::string Boxes() const { return BoxWatcher::Instance().All(); }
    bool Saw(int n) const { return BoxWatcher::Instance().Saw(n); }
};

TEST_F(SourcePage, OpensImagesRawFilesAndReportsFailures)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    Build();
    EXPECT_EQ(host.events.Buttons(), "bNC");
    std::string raw = dir.file("disk.raw");
    MakePartitionedDisk(raw, "fat", 4);
    std::string hdi = dir.file("disk.hdi");
    MakeHdiFrom(raw, hdi);
    std::string unknown = dir.file("unknown.bin");
    WriteGarbage(unknown, 1 << 20);

    // An image of a known kind: opened, on to the destination type.
    EXPECT_EQ(NextWithFile("  " + hdi + "  "), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(Boxes(), "");
    ASSERT_NE(job.sourceDisk, nullptr);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_HDI);
    EXPECT_EQ(job.sourceKind, JOB_SOURCE_IMAGE);
    EXPECT_STREQ(job.sourcePath.text(), hdi.c_str());  // trimmed and absolute

    // A file no format takes: a raw image, without a message; the raw-image page follows.
    job.volumeList = UsedMap_Alloc();  // whatever the old source left is released, once
    UsedMap_Init(job.volumeList);
    EXPECT_EQ(NextWithFile(unknown), WIZARD_PAGE_RAW_FILE);
    EXPECT_EQ(Boxes(), "");
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(job.sourceKind, JOB_SOURCE_RAW_FILE);
    EXPECT_EQ(job.rawGeometry.bytes_per_sector, 512u);

    // A missing file: message 29, no disk.
    EXPECT_EQ(NextWithFile(dir.file("missing.hdi")), -1);
    EXPECT_TRUE(Saw(29)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);

    // An empty path: message 27.
    EXPECT_EQ(NextWithFile("   "), -1);
    EXPECT_TRUE(Saw(27)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);

    // A relative path is made absolute against the working directory.
    EXPECT_EQ(NextWithFile("disk.hdi"), -1);
    EXPECT_STREQ(job.sourcePath.text(), FXPath::absolute("disk.hdi").text());
}

TEST_F(SourcePage, DamagedImagesAndNodesThatAreNoFilesGetTheirMessage)
{
    Build();
    // A damaged image of a known format: the damaged-image message, not the raw-image page.
    if (testsupport::HaveTool("qemu-img") && testsupport::HaveTool("qemu-io")) {
        ASSERT_EQ(testsupport::RunCommand("python3 " +
                                          testsupport::Quote(std::string(VDX_TEST_SOURCE_DIR) +
                                                             "/disk/damaged_fixtures.py") +
                                          " " + testsupport::Quote(dir.path())),
                  0);
        for (const char* name : {"truncated.vhd", "bat-past-end.vhd", "zero-gte.vmdk"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(NextWithFile(dir.file(name)), -1);
            EXPECT_TRUE(Saw(56)) << Boxes();
            EXPECT_EQ(job.sourceDisk, nullptr);
            EXPECT_NE(job.sourceKind, JOB_SOURCE_RAW_FILE);
        }
        // A file of no format is still taken as a raw image.
        EXPECT_EQ(NextWithFile(dir.file("nodata.bin")), WIZARD_PAGE_RAW_FILE);
        EXPECT_EQ(Boxes(), "");
        EXPECT_EQ(job.sourceKind, JOB_SOURCE_RAW_FILE);
    } else {
        printf("qemu-img or qemu-io missing: damaged images not tried\n");
    }

    // A FIFO named like an image: the engine refuses it without waiting for a writer. That is
    // checked first in a child that an alarm ends, so that this test cannot hang on it.
    std::string fifo = dir.file("x.vmdk");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(testsupport::RunInChild(20,
                                      [&] {
                                          DiskHandle h;
                                          Disk_Init(&h);
                                          return -Disk_OpenEx(&h, fifo.c_str(), true, 0, NULL);
                                      }),
              -DISK_ERR_OPEN);
    std::string folder = dir.file("folder.vhd");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    // The detail is the catalogue's: a marker put in its place is what the box shows.
    const FXString shipped = Ui_Messages().texts.at(449);
    EXPECT_NE(std::string(shipped.text()).find("not a regular file or a block device"),
              std::string::npos);
    Ui_Messages().texts.at(449) = "marker of message 449";
    for (const std::string& path : {fifo, folder}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(NextWithFile(path), -1);
        EXPECT_TRUE(Saw(29)) << Boxes();
        EXPECT_NE(Boxes().find("marker of message 449"), std::string::npos) << Boxes();
        EXPECT_EQ(job.sourceDisk, nullptr);
    }
    Ui_Messages().texts.at(449) = shipped;
    // A missing file keeps the plain message.
    EXPECT_EQ(NextWithFile(dir.file("missing.vmdk")), -1);
    EXPECT_TRUE(Saw(29)) << Boxes();
    EXPECT_EQ(Boxes().find(shipped.text()), std::string::npos) << Boxes();
}

// A damaged image: under the damaged-image message the page names the check that refused it.
// The image opens on the wait dialog's worker thread, whose record the page must carry back.
TEST_F(SourcePage, DamagedImageNamesTheCheckThatRefusedIt)
{
    if (!testsupport::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    Build();
    const std::string vhd = dir.file("broken.vhd");
    ASSERT_EQ(
        testsupport::RunCommand("qemu-img create -q -f vpc " + testsupport::Quote(vhd) + " 4M"), 0);
    std::vector<uint8_t> bytes = testsupport::ReadFile(vhd);
    bytes[bytes.size() - 512 + 70] ^= 1;  // the footer at the end no longer matches its checksum
    testsupport::WriteFile(vhd, bytes);
    // What the general open records for the file on this thread is what the page must show.
    DiskHandle probe;
    Disk_Init(&probe);
    Refusal_Clear();
    ASSERT_EQ(Disk_OpenEx(&probe, vhd.c_str(), true, 0, NULL), DISK_ERR_FORMAT);
    ASSERT_NE(Refusal_Get(), nullptr);
    const std::string reason = Refusal_Get();
    EXPECT_EQ(reason, "VHD footer: checksum does not match");
    Refusal_Clear();  // the page's open runs on another thread and cannot see this one's record

    EXPECT_EQ(NextWithFile(vhd), -1);
    EXPECT_TRUE(Saw(MSG_RAW_CANNOT_OPEN)) << Boxes();
    EXPECT_TRUE(Saw(MSG_SOURCE_REFUSAL_DETAIL)) << Boxes();
    EXPECT_NE(Boxes().find(reason), std::string::npos) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_NE(job.sourceKind, JOB_SOURCE_RAW_FILE);

    // The detail is the catalogue's line with the reason in place of its placeholder.
    const FXString shipped = Ui_Messages().texts.at(MSG_SOURCE_REFUSAL_DETAIL);
    EXPECT_NE(std::string(shipped.text()).find("%0"), std::string::npos);
    Ui_Messages().texts.at(MSG_SOURCE_REFUSAL_DETAIL) = "marker <%0>";
    EXPECT_EQ(NextWithFile(vhd), -1);
    EXPECT_NE(Boxes().find("[marker <" + reason + ">]"), std::string::npos) << Boxes();
    Ui_Messages().texts.at(MSG_SOURCE_REFUSAL_DETAIL) = shipped;

    // Mended, the image opens without any box.
    bytes[bytes.size() - 512 + 70] ^= 1;
    testsupport::WriteFile(vhd, bytes);
    EXPECT_EQ(NextWithFile(vhd), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(Boxes(), "");
}

// A valid qcow2 image using a feature this program does not read: the page says so and names
// the feature; it is neither damaged nor a raw image.
TEST_F(SourcePage, Qcow2FeaturesNotReadAreNamed)
{
    if (!testsupport::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    Build();
    const struct {
        const char* options;
        int name;
    } rows[] = {
        {"-o extended_l2=on", 426},
        {"-o compression_type=zstd", 427},
        {"-o data_file=data.bin", 428},
        {"--object secret,id=s,data=pw -o encrypt.format=luks,encrypt.key-secret=s", 429},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        const std::string image = dir.file("feature.qcow2");
        remove(image.c_str());
        std::string out;
        ASSERT_EQ(testsupport::RunQemu("cd " + testsupport::Quote(dir.path()) +
                                           " && qemu-img create -q -f qcow2 " + row.options +
                                           " feature.qcow2 4M",
                                       &out),
                  0)
            << out;
        EXPECT_EQ(NextWithFile(image), -1);
        EXPECT_TRUE(Saw(425)) << Boxes();
        EXPECT_NE(Boxes().find(Ui_MessageText(row.name).text()), std::string::npos) << Boxes();
        EXPECT_EQ(job.sourceDisk, nullptr);
        EXPECT_NE(job.sourceKind, JOB_SOURCE_RAW_FILE);
    }
}

TEST_F(SourcePage, PasswordRoadKeepsTheKeyItOpenedWith)
{
    FakeQcow2Format format;
    Build();
    std::string image = dir.file("secret.qcow2");
    MakeFakeQcow2(image);
    struct Row {
        const char* password;
        bool verify;
        bool accept;
        int next;
        int message;
    };
    const Row rows[] = {
        {"wrong", true, true, -1, 375},
        {"secret", true, true, WIZARD_PAGE_DEST_TYPE, 0},
        // Unchecked verification: opened as it is, and the key stays in the job.
        {"wrong", false, true, WIZARD_PAGE_DEST_TYPE, 0},
        {"secret", false, false, -1, 0},  // the dialog cancelled: silently stays
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.password) + (r.verify ? " verify" : "") +
                     (r.accept ? "" : " cancel"));
        bool asked = false;
        BoxWatcher::Instance().other = [&](FXWindow* w) {
            if (!w->isMemberOf(FXMETACLASS(CInputQemuQcowPasswordDialog))) return false;
            auto* dialog = static_cast<CInputQemuQcowPasswordDialog*>(w);
            asked = true;
            dialog->GetPasswordField()->setText(r.password);
            dialog->GetVerifyButton()->setCheck(r.verify);
            guitest::Command(dialog, r.accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
            return true;
        };
        job.keySet = 0;
        memset(job.encryptionKey, 0, 16);
        EXPECT_EQ(NextWithFile(image), r.next);
        EXPECT_TRUE(asked);
        if (r.message != 0) {
            EXPECT_TRUE(Saw(r.message)) << Boxes();
        } else {
            EXPECT_EQ(Boxes(), "");
        }
        if (r.next >= 0) {
            ASSERT_NE(job.sourceDisk, nullptr);
            EXPECT_EQ(job.keySet, 1);
            uint8_t key[16];
            Ui_PasswordToKey(r.password, key);
            EXPECT_EQ(memcmp(job.encryptionKey, key, 16), 0);
        } else {
            EXPECT_EQ(job.sourceDisk, nullptr);
            EXPECT_EQ(job.keySet, 0);
        }
    }
}

TEST_F(SourcePage, SnapshotPickerOpensTheStatePicked)
{
    Build();
    // An encrypted image with two snapshots, each of another content; the disk carries a boot
    // signature so that the key can be verified.
    std::vector<uint8_t> disk(1 << 20, 0);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const std::string raw = dir.file("disk.raw");
    testsupport::WriteFile(raw, disk);
    const std::string image = dir.file("snap.qcow2");
    const std::string secret = "--object secret,id=s,data=secret ";
    const std::string opts =
        "--image-opts driver=qcow2,file.filename=" + image + ",encrypt.key-secret=s";
    std::string out;
    ASSERT_EQ(testsupport::RunCommand(
                  "qemu-img convert " + secret +
                      "-f raw -O qcow2 -o encrypt.format=aes,encrypt.key-secret=s " +
                      testsupport::Quote(raw) + " " + testsupport::Quote(image) + " 2>&1",
                  &out),
              0)
        << out;
    ASSERT_EQ(
        testsupport::RunCommand("qemu-img snapshot " + secret + "-c first " + opts + " 2>&1", &out),
        0)
        << out;
    ASSERT_EQ(testsupport::RunCommand(
                  "qemu-io " + secret + "-c 'write -P 1 4096 4096' " + opts + " 2>&1", &out),
              0)
        << out;
    ASSERT_EQ(testsupport::RunCommand("qemu-img snapshot " + secret + "-c second " + opts + " 2>&1",
                                      &out),
              0)
        << out;
    ASSERT_EQ(testsupport::RunCommand(
                  "qemu-io " + secret + "-c 'write -P 2 4096 4096' " + opts + " 2>&1", &out),
              0)
        << out;

    struct Row {
        FXint row;  // tree row picked: 0 the current state
        bool acceptPick;
        const char* password;
        int next;
        uint8_t byte;  // the byte at 4096 of the state opened
    };
    const Row rows[] = {
        {0, true, "secret", WIZARD_PAGE_DEST_TYPE, 2},
        {1, true, "secret", WIZARD_PAGE_DEST_TYPE, 0},
        {2, true, "secret", WIZARD_PAGE_DEST_TYPE, 1},
        {2, true, "wrong", -1, 0},
        {1, false, "secret", -1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.row);
        std::vector<std::string> texts;
        BoxWatcher::Instance().other = [&](FXWindow* w) {
            if (w->isMemberOf(FXMETACLASS(CQemuQcow2DiskSelectorDialog))) {
                auto* picker = static_cast<CQemuQcow2DiskSelectorDialog*>(w);
                FXTreeList* tree = picker->GetTreeList();
                FXTreeItem* item = tree->getFirstItem();
                for (; item != NULL; item = item->getNext())
                    texts.push_back(item->getText().text());
                item = tree->getFirstItem();
                for (FXint i = 0; i < r.row; ++i) item = item->getNext();
                tree->setCurrentItem(item);
                tree->selectItem(item);
                guitest::Command(picker, r.acceptPick ? UI_ID_ACCEPT : UI_ID_CANCEL);
                return false;  // the password dialog follows
            }
            if (w->isMemberOf(FXMETACLASS(CInputQemuQcowPasswordDialog))) {
                auto* dialog = static_cast<CInputQemuQcowPasswordDialog*>(w);
                dialog->GetPasswordField()->setText(r.password);
                dialog->GetVerifyButton()->setCheck(true);
                guitest::Command(dialog, UI_ID_ACCEPT);
                return true;
            }
            return false;
        };
        EXPECT_EQ(NextWithFile(image), r.next);
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[0], Ui_MessageText(385).text());
        EXPECT_EQ(texts[1].rfind("1 first ", 0), 0u) << texts[1];
        EXPECT_EQ(texts[2].rfind("2 second ", 0), 0u) << texts[2];
        if (r.next >= 0) {
            ASSERT_NE(job.sourceDisk, nullptr);
            uint8_t b = 0xEE;
            ASSERT_EQ(Disk_Read(job.sourceDisk, 4096, 1, &b), 0);
            EXPECT_EQ(b, r.byte);
        } else {
            EXPECT_EQ(job.sourceDisk, nullptr);
            if (std::string(r.password) == "wrong") {
                EXPECT_TRUE(Saw(375)) << Boxes();
            } else {
                EXPECT_EQ(Boxes(), "");
            }
        }
    }
}

bool AlwaysCompact(void*) { return true; }

TEST_F(SourcePage, TrimRoad)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    DiskCanCompactFn saved = DiskCanCompactTable[DISK_KIND_HDI];
    Build();
    std::string raw = dir.file("fat.raw");
    MakePartitionedDisk(raw, "fat", 4);
    std::string hdi = dir.file("fat.hdi");
    MakeHdiFrom(raw, hdi);
    std::string blankRaw = dir.file("blank.raw");
    MakeEmptyTableDisk(blankRaw, 1);
    std::string blank = dir.file("blank.hdi");
    MakeHdiFrom(blankRaw, blank);
    std::string unknown = dir.file("unknown.bin");
    WriteGarbage(unknown, 1 << 20);

    // Sources that cannot be trimmed: message 30, nothing left open.
    EXPECT_EQ(NextWithFile(unknown, true), -1);
    EXPECT_TRUE(Saw(30)) << Boxes();
    EXPECT_EQ(NextWithFile(hdi, true), -1);
    EXPECT_TRUE(Saw(30)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);

    DiskCanCompactTable[DISK_KIND_HDI] = AlwaysCompact;
    // Nothing to trim by: message 109.
    EXPECT_EQ(NextWithFile(blank, true), -1);
    EXPECT_TRUE(Saw(109)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);

    // The trim settings cancelled: map and disk released, the page stays.
    auto answerTrim = [&](bool accept, bool option) {
        BoxWatcher::Instance().other = [=](FXWindow* w) {
            if (!w->isMemberOf(FXMETACLASS(CTrimSettingDialog))) return false;
            auto* dialog = static_cast<CTrimSettingDialog*>(w);
            dialog->GetOptionButton()->setCheck(option);
            guitest::Command(dialog, accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
            return true;
        };
    };
    answerTrim(false, false);
    EXPECT_EQ(NextWithFile(hdi, true), -1);
    EXPECT_EQ(Boxes(), "");
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(job.trimInPlace, 0);

    // Accepted: the map goes with the job and the run page follows at once.
    answerTrim(true, true);
    EXPECT_EQ(NextWithFile(hdi, true), WIZARD_PAGE_CONVERT);
    EXPECT_NE(job.sourceDisk, nullptr);
    ASSERT_NE(job.volumeList, nullptr);
    EXPECT_EQ(UsedMap_CountKnownRegions(job.volumeList), 1u);
    EXPECT_EQ(job.trimInPlace, 1);
    EXPECT_EQ(job.trimOption, 1);

    // Choosing again without the trim releases the map and the disk of the first choice.
    EXPECT_EQ(NextWithFile(hdi, false), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(job.trimInPlace, 0);
    DiskCanCompactTable[DISK_KIND_HDI] = saved;
}

TEST_F(SourcePage, DeviceAndNewDiskChoicesAndEnabling)
{
    Build();
    FXTextField* path = page->GetPathField();
    FXTextField* device = page->GetDeviceField();
    EXPECT_EQ(page->GetCurrentRadio(), CInputSourcePropertyPage::ID_RADIO_IMAGE);
    EXPECT_TRUE(path->isEnabled());
    EXPECT_FALSE(device->isEnabled());
    EXPECT_FALSE(page->GetSourceList()->isEnabled());  // no source plug-ins
    EXPECT_TRUE(page->GetUtilityButton()->isEnabled());

    guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_DEVICE);
    guitest::Pump(100);
    EXPECT_FALSE(path->isEnabled());
    EXPECT_FALSE(page->GetTrimCheck()->isEnabled());
    EXPECT_FALSE(page->GetUtilityButton()->isEnabled());
    EXPECT_TRUE(device->isEnabled());
    guitest::Screenshot(host.window, "page00_source_device");

    Type(device, "   ");
    BoxWatcher::Instance().texts.clear();
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(Saw(35)) << Boxes();

    // A device path is stored trimmed; a missing node cannot be measured, so the wizard stays
    // with message 80.
    const std::string node = dir.file("no-such-device");
    Type(device, "  " + node + "  ");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(host.events.lastMessage, MSG_DEVICE_CANNOT_OPEN);
    EXPECT_STREQ(job.sourceDevice.text(), node.c_str());
    EXPECT_EQ(job.sourceKind, JOB_SOURCE_DEVICE);
    EXPECT_EQ(job.sourceChoice, 1);

    guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_NEW_DISK);
    EXPECT_FALSE(device->isEnabled());
    EXPECT_FALSE(path->isEnabled());
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_NEW_DISK);
    EXPECT_EQ(job.sourceKind, JOB_SOURCE_NEW_DISK);
    EXPECT_EQ(job.sourceChoice, 2);
    EXPECT_EQ(job.newSize, 8388608u);

    // Coming back, the page shows the job's choice.
    job.sourceChoice = 1;
    job.sourceDevice = "/dev/sdz";
    page->OnSetActive();
    guitest::Pump(100);
    EXPECT_EQ(page->GetCurrentRadio(), CInputSourcePropertyPage::ID_RADIO_DEVICE);
    EXPECT_STREQ(device->getText().text(), "/dev/sdz");
    EXPECT_TRUE(device->isEnabled());
    EXPECT_EQ(host.events.Buttons(), "bNC");
}

TEST_F(SourcePage, FontChangeWritesTheFontFileAndRestartsTheWizard)
{
    Build();
    const char* home = getenv("HOME");
    const std::string savedHome = home != nullptr ? home : "";
    setenv("HOME", dir.path().c_str(), 1);
    FXApp* app = guitest::App();
    FXFont* before = app->getNormalFont();
    // The button and the dialog it opens say what they are for.
    EXPECT_STREQ(page->GetFontButton()->getText().text(),
                 stripHotKey(Ui_MessageText(MSG_FONT_BUTTON)).text());
    EXPECT_EQ(std::string(page->GetFontButton()->getText().text()).find("..."), 4u);
    bool asked = false;
    BoxWatcher::Instance().other = [&](FXWindow* w) {
        if (!w->isMemberOf(FXMETACLASS(FXFontDialog))) return false;
        asked = true;
        EXPECT_STREQ(static_cast<FXTopWindow*>(w)->getTitle().text(),
                     Ui_MessageText(MSG_FONT_TITLE).text());
        guitest::Command(w, FXDialogBox::ID_ACCEPT);
        return true;
    };
    guitest::After(50, [&] { guitest::Command(page, CInputSourcePropertyPage::ID_FONT); });
    // The page ends the modal loop of its window (the wizard) with the restart code.
    EXPECT_EQ(app->runModalFor(host.window), (FXint)UI_RESULT_RESTART);
    EXPECT_TRUE(asked);
    FXFont* after = app->getNormalFont();
    EXPECT_NE(after, before);
    FXString description;
    EXPECT_TRUE(Ui_ReadFontFile(dir.file(".vdxfont").c_str(), &description));
    EXPECT_STREQ(description.text(), after->getFont().text());
    app->setNormalFont(before);
    delete after;
    setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(SourcePage, PluginDisks)
{
    std::string full = dir.file("full.vpl"), plain = dir.file("plain.vpl"), output;
    ASSERT_TRUE(standin::Build({{full, standin::FullFlags()},
                                {plain,
                                 "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_INPUT "
                                 "-DWITH_OPEN -DWITH_GEOMETRY64 -DWITH_READ_EX"}},
                               &output))
        << output;
    job.plugins.push_back(PluginListEntry{full.c_str(), "Full Ver.0.0.6.0", NULL});
    job.plugins.push_back(PluginListEntry{plain.c_str(), "Plain Ver.0.0.6.0", NULL});
    job.sourcePlugins = {0, 1};
    Build();
    ASSERT_EQ(page->GetSourceList()->getNumItems(), 3);
    EXPECT_TRUE(page->GetSourceList()->isEnabled());

    // Steer the stand-ins through their state records (the page loads each module once).
    StandinState* states[2];
    for (int i = 0; i < 2; ++i) {
        PluginModule* module = Plugin_Alloc();
        Plugin_Init(module);
        ASSERT_EQ(Plugin_Load(module, job.plugins[i].path.text()), DISK_OK);
        job.plugins[i].module = module;
        states[i] = static_cast<StandinState*>(dlsym(module->library, "standin"));
        ASSERT_NE(states[i], nullptr);
        states[i]->sectors = 2048;
        states[i]->heads = 16;
        states[i]->sectorsPerTrack = 32;
        states[i]->bytesPerSector = 512;
    }

    auto nextWithPlugin = [&](int item, const std::string& text) {
        guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_IMAGE);
        page->GetSourceList()->setCurrentItem(item);
        Type(page->GetPathField(), text);
        BoxWatcher::Instance().texts.clear();
        return page->OnWizardNext();
    };

    // The extended opener gets the host callback record; the text goes to it as typed.
    EXPECT_EQ(nextWithPlugin(1, " disk 1 "), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(states[0]->openExs, 1);
    EXPECT_NE(states[0]->lastHostArgument, nullptr);
    ASSERT_NE(job.sourceDisk, nullptr);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_PLUGIN);
    EXPECT_STREQ(job.sourcePath.text(), " disk 1 ");
    EXPECT_EQ(job.sourceListIndex, 1);

    // A plug-in failure with its own text shows it as the detail of message 27.
    states[0]->openResult = DISK_ERR_PLUGIN;
    states[0]->messageAnswer = 1;
    EXPECT_EQ(nextWithPlugin(1, "disk 2"), -1);
    EXPECT_TRUE(Saw(27)) << Boxes();
    EXPECT_NE(Boxes().find("stand-in failure"), std::string::npos) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);
    EXPECT_EQ(states[0]->closed, states[0]->inited);  // the failed context was released

    // The user cancelled inside the plug-in: no message.
    states[0]->openResult = DISK_CANCELLED;
    EXPECT_EQ(nextWithPlugin(1, "disk 3"), -1);
    EXPECT_EQ(Boxes(), "");
    EXPECT_EQ(job.sourceDisk, nullptr);

    // A plug-in with only the plain opener is opened without the wait dialog or callbacks.
    EXPECT_EQ(nextWithPlugin(2, "disk 4"), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(states[1]->opens, 1);
    EXPECT_EQ(states[1]->lastHostArgument, nullptr);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_PLUGIN);

    // A plug-in disk cannot be trimmed.
    guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_IMAGE);
    page->GetSourceList()->setCurrentItem(2);
    CVdxPropertyPageBase::SetCheck(page->GetTrimCheck(), 1);
    BoxWatcher::Instance().texts.clear();
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(Saw(30)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);
    guitest::Screenshot(host.window, "page00_source_plugins");
}

// The disk picker a source plug-in fills (reached from the plug-in through the host record).
int gPickerData[3];
int FillPicker(void* tree, PluginAddItemFn add, void* argument)
{
    void* machine = add(tree, NULL, "Machine", &gPickerData[0]);
    add(tree, machine, "Disk 1", &gPickerData[1]);
    add(tree, machine, "Disk \xC3\xA9", &gPickerData[2]);
    return *static_cast<int*>(argument);
}

TEST(PluginDiskPicker, FillsTheTreeAndAnswersTheChosenItem)
{
    guitest::App();
    BoxWatcher::Instance().Start();
    int fillAnswer = DISK_ERR_PLUGIN;
    void* out = &fillAnswer;
    // A failing fill ends the picker before anything is shown.
    EXPECT_EQ(Ui_RunPluginDiskSelector(guitest::Owner(), (void*)FillPicker, &out, &fillAnswer),
              DISK_ERR_PLUGIN);
    EXPECT_EQ(out, &fillAnswer);

    fillAnswer = 0;
    for (bool accept : {true, false}) {
        std::string second;
        BoxWatcher::Instance().other = [&](FXWindow* w) {
            if (!w->isMemberOf(FXMETACLASS(CPluginDiskSelectorDialog))) return false;
            FXTreeList* tree = static_cast<CPluginDiskSelectorDialog*>(w)->GetTreeList();
            FXTreeItem* machine = tree->getFirstItem();
            tree->expandTree(machine);
            second = machine->getFirst()->getNext()->getText().text();
            if (accept) {
                tree->setCurrentItem(machine->getFirst());
                tree->selectItem(machine->getFirst());
                guitest::Screenshot(w, "page00_plugin_disk_picker");
            }
            guitest::Command(w, accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
            return true;
        };
        out = nullptr;
        EXPECT_EQ(Ui_RunPluginDiskSelector(guitest::Owner(), (void*)FillPicker, &out, &fillAnswer),
                  accept ? 0 : 1);
        EXPECT_EQ(out, accept ? (void*)&gPickerData[1] : nullptr);
        EXPECT_EQ(second, "Disk \xC3\xA9");
    }
}

// A plug-in opening its disk uses every host callback from the open's worker thread: the
// query, a call on the GUI thread, the disk selector and the option pages with every page
// function, bad arguments included.
TEST_F(SourcePage, PluginOpenUsesEveryHostCallback)
{
    std::string pages = dir.file("pages.vpl"), output;
    ASSERT_TRUE(
        standin::Build({{pages, std::string(standin::FullFlags()) + " -DWITH_PAGES"}}, &output))
        << output;
    job.plugins.push_back(PluginListEntry{pages.c_str(), "Pages Ver.0.0.6.0", NULL});
    job.sourcePlugins = {0};
    Build();
    PluginModule* module = Plugin_Alloc();
    Plugin_Init(module);
    ASSERT_EQ(Plugin_Load(module, pages.c_str()), DISK_OK);
    job.plugins[0].module = module;
    StandinState* state = static_cast<StandinState*>(dlsym(module->library, "standin"));
    ASSERT_NE(state, nullptr);
    state->sectors = 2048;
    state->heads = 16;
    state->sectorsPerTrack = 32;
    state->bytesPerSector = 512;

    bool accept = true, pagesSeen = false, radioUnchecked = false, sized = false;
    FXint pageAfterButton = -1;
    BoxWatcher::Instance().other = [&](FXWindow* w) {
        if (w->isMemberOf(FXMETACLASS(CPluginDiskSelectorDialog))) {
            FXTreeList* tree = static_cast<CPluginDiskSelectorDialog*>(w)->GetTreeList();
            FXTreeItem* machine = tree->getFirstItem();
            tree->setCurrentItem(machine->getFirst());
            tree->selectItem(machine->getFirst());
            guitest::Command(w, UI_ID_ACCEPT);
            return false;
        }
        if (!w->isMemberOf(FXMETACLASS(CPluginDiskPageDialog))) return false;
        CPluginDiskPageDialog* d = static_cast<CPluginDiskPageDialog*>(w);
        pagesSeen = true;
        if (!accept) {
            // No cancel handler: closing ends the dialog as cancelled.
            d->handle(d, FXSEL(SEL_CLOSE, 0), NULL);
            return false;
        }
        // Asked for 3 pages of 30 x 20 units, it has 2 pages of 42 x 40.
        sized = d->getWidth() == Ui_ScaleX(42) && d->getHeight() == Ui_ScaleY(40) &&
                d->Page(1) != NULL && d->Page(2) == NULL;
        guitest::Screenshot(d, "plugin_page_dialog_0");
        guitest::Command(d, PLUGIN_PAGE_FIRST_ID + 4);
        FXRadioButton* first = static_cast<FXRadioButton*>(d->Widget(3));
        FXRadioButton* second = static_cast<FXRadioButton*>(d->Widget(4));
        first->setCheck(TRUE);
        d->handle(first, FXSEL(SEL_UPDATE, PLUGIN_PAGE_FIRST_ID + 3), NULL);
        d->handle(second, FXSEL(SEL_UPDATE, PLUGIN_PAGE_FIRST_ID + 4), NULL);
        radioUnchecked = first->getCheck() == FALSE && second->getCheck() == TRUE;
        static_cast<FXListBox*>(d->Widget(8))->setCurrentItem(1);
        guitest::Command(d, PLUGIN_PAGE_FIRST_ID + 9);
        pageAfterButton = d->CurrentPage();
        guitest::Screenshot(d, "plugin_page_dialog_1");
        guitest::Command(d, UI_ID_ACCEPT);
        return false;
    };
    guitest::Command(page, CInputSourcePropertyPage::ID_RADIO_IMAGE);
    page->GetSourceList()->setCurrentItem(1);
    Type(page->GetPathField(), "disk");
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE) << Boxes();
    EXPECT_TRUE(pagesSeen);
    EXPECT_TRUE(sized);
    EXPECT_TRUE(radioUnchecked);
    EXPECT_EQ(pageAfterButton, 1);
    EXPECT_EQ(state->hostQueryRunning, 1);
    EXPECT_EQ(state->hostGuiCall, 42);
    EXPECT_EQ(state->hostGuiCallOnGui, 1);
    EXPECT_EQ(state->selectorResult, 0);
    EXPECT_EQ(state->pageDialogResult, 0);
    const int expected[15] = {-207, -207, -207, -207, -207, -207, -207, 0,
                              -207, -207, -207, 0,    -207, 0,    0};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(state->pageResults[i], expected[i]) << "call " << i;
    EXPECT_EQ(state->emptyListIndex, -1);
    EXPECT_EQ(state->emptyListData, nullptr);
    EXPECT_EQ(state->radioSelected, 4);
    EXPECT_EQ(state->radioCommands, 1);
    EXPECT_EQ(state->radioValue, 44u);
    EXPECT_EQ(state->listIndex, 1);
    EXPECT_NE(state->listData, nullptr);
    EXPECT_EQ(state->selectorData, state->listData);  // both are the module's second item

    accept = false;
    pagesSeen = false;
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE) << Boxes();
    EXPECT_TRUE(pagesSeen);
    EXPECT_EQ(state->pageDialogResult, 1);
    BoxWatcher::Instance().other = nullptr;
}

int FailingBuild(PluginPageTable*, void*) { return DISK_ERR_PLUGIN; }

TEST(PluginPageDialog, RunnerRefusesAndAnswersFailedBuilds)
{
    guitest::App();
    EXPECT_EQ(Ui_RunPluginPageDialog(guitest::Owner(), 2, 42, 40, (void*)FailingBuild, NULL),
              DISK_ERR_PLUGIN);
    EXPECT_EQ(Ui_RunPluginPageDialog(guitest::Owner(), 2, 42, 40, NULL, NULL), DISK_ERR_ARG);
    EXPECT_EQ(Ui_RunPluginPageDialog(NULL, 2, 42, 40, (void*)FailingBuild, NULL), DISK_ERR_ARG);
    // Every table function refuses a missing dialog.
    EXPECT_EQ(PluginPage_EndAccept(NULL), DISK_ERR_ARG);
    EXPECT_EQ(PluginPage_SetText(NULL, 0, "x"), DISK_ERR_ARG);
}

// ---- Source-information pages -----------------------------------------------------------------------

template <class Page>
class InfoPage : public ::testing::Test {
protected:
    TempDir dir;
    Host<Page> host;
    Page* page = nullptr;
    ConversionJob& job = host.job;
    void SetUp() override
    {
        guitest::App();
        BoxWatcher::Instance().Start();
    }
    void Build(int index)
    {
        page =
            host.Build([&](FXComposite* s) { return new Page(&host.events, &host.job, index, s); });
    }
    std::string Boxes() const { return BoxWatcher::Instance().All(); }
};

using RawPage = InfoPage<CInputSourceBetaInfoPropertyPage>;
using DevicePage = InfoPage<CInputSourceRealDiskInfoPropertyPage>;
using NewDiskPage = InfoPage<CInputSourceNewInfoPropertyPage>;
using SparsePage = InfoPage<CInputSourceHSInfoPropertyPage>;
using RedologPage = InfoPage<CInputSourceBGInfoPropertyPage>;
using SplitPage = InfoPage<CInputSourcePSInfoPropertyPage>;

struct GeometryRow {
    const char* offset;
    const char* total;
    const char* heads;
    const char* sectors;
    int bytesItem;
    int invalidField;  // 0 offset, 1 total, 2 heads, 3 sectors, -1 none
};

void FillFields(const SourceGeometryFields& f, const GeometryRow& r)
{
    Type(f.offset, r.offset);
    Type(f.total, r.total);
    Type(f.heads, r.heads);
    Type(f.sectors, r.sectors);
    f.sectorSize->setCurrentItem(r.bytesItem);
}

FXTextField* FieldOf(const SourceGeometryFields& f, int i)
{
    FXTextField* fields[] = {f.offset, f.total, f.heads, f.sectors};
    return fields[i];
}

TEST_F(RawPage, ReadsTheFileAtItsOffsetWithTheTypedGeometry)
{
    Build(WIZARD_PAGE_RAW_FILE);
    std::string path = dir.file("data.raw");
    std::vector<uint8_t> bytes = testsupport::RandomBytes(512 + (1 << 20), 5);
    testsupport::WriteFile(path, bytes);
    job.sourcePath = path.c_str();
    job.sourceKind = JOB_SOURCE_RAW_FILE;
    ASSERT_EQ(Routing_ApplyEntryDefaults(&job, WIZARD_PAGE_RAW_FILE), WIZARD_PAGE_RAW_FILE);
    job.rawGeometry = DiskGeometry{2080, 16, 130, 1024, 0};
    page->OnSetActive();
    const SourceGeometryFields& f = page->GetFields();
    EXPECT_STREQ(f.offset->getText().text(), "0");
    EXPECT_STREQ(f.total->getText().text(), "2080");
    EXPECT_STREQ(f.heads->getText().text(), "16");
    EXPECT_STREQ(f.sectors->getText().text(), "130");
    EXPECT_EQ(f.sectorSize->getCurrentItem(), 3);
    EXPECT_EQ(Focused(page), f.offset);
    EXPECT_EQ(host.events.Buttons(), "BNC");
    guitest::Screenshot(host.window, "page01_raw_image");

    const GeometryRow rows[] = {
        {"18446744073709551615", "2048", "16", "32", 2, 0},
        {"-1", "2048", "16", "32", 2, 0},
        {"512", "3", "16", "32", 2, 1},
        {"512", "18014398509481984", "16", "32", 2, 1},  // 2^54
        {"512", "2048", "0", "32", 2, 2},
        {"512", "2048", "256", "32", 2, 2},
        {"512", "2048", "16", "0", 2, 3},
        {"512", "2048", "16", "256", 2, 3},
        // 2^54 - 1 sectors of 32768 bytes: no 64-bit file offset holds that.
        {"0", "18014398509481983", "16", "32", 8, 1},
    };
    for (const GeometryRow& r : rows) {
        SCOPED_TRACE(std::string(r.offset) + " " + r.total + " " + r.heads + " " + r.sectors);
        FillFields(f, r);
        EXPECT_EQ(page->OnWizardNext(), -1);
        EXPECT_EQ(Focused(page), FieldOf(f, r.invalidField));
        EXPECT_EQ(job.sourceDisk, nullptr);
        EXPECT_EQ(Boxes(), "");
    }

    // More sectors than the file holds: information 56, no disk.
    FillFields(f, GeometryRow{"512", "2049", "16", "32", 2, -1});
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(56)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);

    // A handle left from before is released, not overwritten.
    job.sourceDisk = OpenRawDisk(path);
    FillFields(f, GeometryRow{"512", "2048", "16", "32", 2, -1});
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    ASSERT_NE(job.sourceDisk, nullptr);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_RAW);
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(Disk_Read(job.sourceDisk, 0, 512, sector.data()), DISK_OK);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), bytes.begin() + 512));
    EXPECT_EQ(job.rawOffset, 512u);
    EXPECT_EQ(Geometry_GetTotalSectors(&job.rawGeometry), 2048u);
    EXPECT_EQ(job.rawGeometry.sectors_per_track, 32u);
}

TEST_F(DevicePage, OffsetRangeAndOpen)
{
    Build(WIZARD_PAGE_DEVICE);
    // Any node opens as a device; a plain file stands in for one.
    std::string path = dir.file("device");
    std::vector<uint8_t> bytes = testsupport::RandomBytes(1 << 20, 9);
    testsupport::WriteFile(path, bytes);
    job.sourceDevice = path.c_str();
    job.sourceKind = JOB_SOURCE_DEVICE;
    job.deviceGeometry = DiskGeometry{2048, 255, 63, 512, 0};
    job.deviceOffset = 0;
    page->OnSetActive();
    guitest::Screenshot(host.window, "page04_block_device");
    const SourceGeometryFields& f = page->GetFields();
    EXPECT_STREQ(f.heads->getText().text(), "255");

    FillFields(f, GeometryRow{"9223372036854775808", "2048", "16", "32", 2, 0});  // 2^63
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), f.offset);

    // The largest offset is taken, but with the disk behind it no byte offset is valid.
    FillFields(f, GeometryRow{"9223372036854775807", "2048", "16", "32", 2, -1});
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(80)) << Boxes();
    EXPECT_EQ(job.sourceDisk, nullptr);

    FillFields(f, GeometryRow{"4096", "1024", "16", "32", 2, -1});
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    ASSERT_NE(job.sourceDisk, nullptr);
    EXPECT_EQ(Disk_GetKind(job.sourceDisk), DISK_KIND_DEVICE);
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(Disk_Read(job.sourceDisk, 512, 512, sector.data()), DISK_OK);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), bytes.begin() + 4096 + 512));
    EXPECT_EQ(job.deviceOffset, 4096u);
}

TEST_F(NewDiskPage, SizesUnitsAndTheSectorCap)
{
    Build(WIZARD_PAGE_NEW_DISK);
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    job.newSizeUnit = 1;
    job.newSize = 8388608;
    job.newOwnGeometry = 0;
    job.newSectorSize = 512;
    page->OnSetActive();
    guitest::Pump(100);
    guitest::Screenshot(host.window, "page06_new_disk");
    EXPECT_STREQ(page->GetSizeField(0)->getText().text(), "8388608");
    EXPECT_STREQ(page->GetSizeField(1)->getText().text(), "4096");
    EXPECT_STREQ(page->GetSizeField(2)->getText().text(), "4");
    EXPECT_EQ(page->GetCurrentRadio(), CInputSourceNewInfoPropertyPage::ID_UNIT_MIB);
    EXPECT_FALSE(page->GetSizeField(0)->isEnabled());
    EXPECT_TRUE(page->GetSizeField(1)->isEnabled());
    EXPECT_FALSE(page->GetHeadsField()->isEnabled());
    EXPECT_STREQ(page->GetHeadsField()->getText().text(), "16");

    // 1 GiB of 4096-byte sectors with an own geometry.
    guitest::Command(page, CInputSourceNewInfoPropertyPage::ID_UNIT_GIB);
    page->GetOwnCheck()->setCheck(TRUE);
    guitest::Command(page, CInputSourceNewInfoPropertyPage::ID_OWN_GEOMETRY);
    EXPECT_TRUE(page->GetHeadsField()->isEnabled());
    EXPECT_TRUE(page->GetSizeField(2)->isEnabled());
    EXPECT_FALSE(page->GetSizeField(1)->isEnabled());
    Type(page->GetSizeField(2), "1");
    Type(page->GetHeadsField(), "8");
    Type(page->GetSectorsField(), "32");
    page->GetSectorSizeList()->setCurrentItem(5);
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(job.newSize, 262144u);
    EXPECT_EQ(job.newSizeUnit, 2);
    EXPECT_EQ(job.newSectorSize, 4096u);
    ASSERT_NE(job.sourceDisk, nullptr);
    DiskGeometry g;
    Disk_GetGeometry(job.sourceDisk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 262144u);
    EXPECT_EQ(g.heads, 8u);
    EXPECT_EQ(g.sectors_per_track, 32u);
    EXPECT_EQ(g.bytes_per_sector, 4096u);
    ConversionJob_ReleaseSource(&job);

    // The largest MiB count is allowed as such, but at 128 bytes per sector it would make
    // 2^56 sectors: refused with the size field focused, nothing opened.
    guitest::Command(page, CInputSourceNewInfoPropertyPage::ID_UNIT_MIB);
    Type(page->GetSizeField(1), "8796093022207");
    page->GetSectorSizeList()->setCurrentItem(0);
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), page->GetSizeField(1));
    EXPECT_EQ(job.sourceDisk, nullptr);
    Type(page->GetSizeField(1), "8796093022208");  // beyond the MiB range itself
    page->GetSectorSizeList()->setCurrentItem(2);
    EXPECT_EQ(page->OnWizardNext(), -1);
    Type(page->GetHeadsField(), "0");
    Type(page->GetSizeField(1), "10");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), page->GetHeadsField());

    // Without an own geometry the disk has none: the destination computes it.
    page->GetOwnCheck()->setCheck(FALSE);
    guitest::Command(page, CInputSourceNewInfoPropertyPage::ID_UNIT_SECTORS);
    Type(page->GetSizeField(0), "3");
    EXPECT_EQ(page->OnWizardNext(), -1);
    Type(page->GetSizeField(0), "4");
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    Disk_GetGeometry(job.sourceDisk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 4u);
    EXPECT_EQ(g.heads, 0u);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(job.newHeads, 0u);
    EXPECT_EQ(job.newSectorSize, 0u);
    EXPECT_EQ(Boxes(), "");
}

// Stand-ins for the Bochs and split-set operations.
struct FakeFormatOps {
    uint32_t heads = 0, sectors = 0;
    int setCalls = 0;
    bool undoable = false;
    int openBaseResult = DISK_OK;
    std::string basePath;
    uint32_t header[4] = {1, 100, 16, 63};
    static FakeFormatOps& Get()
    {
        static FakeFormatOps ops;
        return ops;
    }
    static void Install()
    {
        Get() = FakeFormatOps();
        Saved() = {SourceInfo_BochsSetGeometry, SourceInfo_BochsIsUndoable,
                   SourceInfo_BochsOpenBase};
        SourceInfo_BochsSetGeometry = [](void*, uint32_t h, uint32_t s) {
            Get().heads = h;
            Get().sectors = s;
            Get().setCalls++;
        };
        SourceInfo_BochsIsUndoable = [](void*) { return Get().undoable; };
        SourceInfo_BochsOpenBase = [](void*, const char* path) -> int {
            Get().basePath = path;
            return Get().openBaseResult;
        };
        SourceInfo_SplitGetHeaderInfo = [](void*, uint32_t* a, uint32_t* b, uint32_t* c,
                                           uint32_t* d) {
            *a = Get().header[0];
            *b = Get().header[1];
            *c = Get().header[2];
            *d = Get().header[3];
            return (int)DISK_OK;
        };
        SourceInfo_SplitSetHeadsAndSectors = [](void*, uint32_t h, uint32_t s) {
            Get().heads = h;
            Get().sectors = s;
            Get().setCalls++;
        };
    }
    // The engine's own operations are put back.
    struct BochsOps {
        void (*set)(void*, uint32_t, uint32_t);
        bool (*undoable)(void*);
        int (*openBase)(void*, const char*);
    };
    static BochsOps& Saved()
    {
        static BochsOps ops;
        return ops;
    }
    static void Remove()
    {
        SourceInfo_BochsSetGeometry = Saved().set;
        SourceInfo_BochsIsUndoable = Saved().undoable;
        SourceInfo_BochsOpenBase = Saved().openBase;
        SourceInfo_SplitGetHeaderInfo = NULL;
        SourceInfo_SplitSetHeadsAndSectors = NULL;
    }
};

// A handle of a kind whose handler is not linked in: a bare object that closing frees. The
// Bochs kinds get an empty object of their own, which their close accepts.
DiskHandle* BareDisk(DiskKind kind)
{
    DiskHandle* h = Disk_Alloc();
    Disk_Init(h);
    h->kind = kind;
    if (kind == DISK_KIND_BOCHS_REDOLOG) {
        BochsImage* image = Bochs_Alloc();
        Bochs_Init(image);
        h->object = image;
        return h;
    }
    if (kind == DISK_KIND_BOCHS_SPARSE) {
        BochsSparseImage* image = BochsSparse_Alloc();
        BochsSparse_Init(image);
        h->object = image;
        return h;
    }
    h->object = Mem_Alloc(64);
    memset(h->object, 0, 64);
    return h;
}

TEST_F(SparsePage, SetsTheTypedGeometryOnTheImage)
{
    FakeFormatOps::Install();
    Build(WIZARD_PAGE_BOCHS_SPARSE);
    job.sourceDisk = BareDisk(DISK_KIND_BOCHS_SPARSE);
    job.hsHeads = 15;
    job.hsSectors = 17;
    page->OnSetActive();
    guitest::Screenshot(host.window, "page02_bochs_sparse");
    EXPECT_STREQ(page->GetHeadsField()->getText().text(), "15");
    EXPECT_EQ(Focused(page), page->GetHeadsField());
    Type(page->GetHeadsField(), "256");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(FakeFormatOps::Get().setCalls, 0);
    Type(page->GetHeadsField(), "255");
    Type(page->GetSectorsField(), "0");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), page->GetSectorsField());
    Type(page->GetSectorsField(), "63");
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(FakeFormatOps::Get().heads, 255u);
    EXPECT_EQ(FakeFormatOps::Get().sectors, 63u);
    EXPECT_EQ(job.hsHeads, 255u);
    EXPECT_EQ(job.hsSectors, 63u);
    FakeFormatOps::Remove();
}

TEST_F(RedologPage, BaseImageOfAnUndoableRedolog)
{
    FakeFormatOps::Install();
    Build(WIZARD_PAGE_BOCHS_REDOLOG);
    job.sourceDisk = BareDisk(DISK_KIND_BOCHS_REDOLOG);
    job.bgHeads = 16;
    job.bgSectors = 63;
    page->OnSetActive();
    EXPECT_FALSE(page->GetBaseField()->isEnabled());
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(FakeFormatOps::Get().basePath, "");

    FakeFormatOps::Get().undoable = true;
    page->OnSetActive();
    guitest::Screenshot(host.window, "page03_bochs_redolog");
    EXPECT_TRUE(page->GetBaseField()->isEnabled());
    Type(page->GetBaseField(), "  ");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(27)) << Boxes();
    FakeFormatOps::Get().openBaseResult = DISK_ERR_OPEN;
    Type(page->GetBaseField(), "base.img");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(56)) << Boxes();
    FakeFormatOps::Get().openBaseResult = DISK_OK;
    FakeFormatOps::Get().setCalls = 0;
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(FakeFormatOps::Get().basePath, FXPath::absolute("base.img").text());
    EXPECT_EQ(FakeFormatOps::Get().setCalls, 1);
    EXPECT_STREQ(job.bgCompanionPath.text(), "base.img");
    FakeFormatOps::Remove();
}

TEST_F(SplitPage, HeaderValuesAndGeometry)
{
    FakeFormatOps::Install();
    Build(WIZARD_PAGE_SPLIT);
    // A split-set object that holds nothing: the page reaches it only through the hooks.
    job.sourceDisk = Disk_Alloc();
    Disk_Init(job.sourceDisk);
    job.sourceDisk->kind = DISK_KIND_SPLIT;
    job.sourceDisk->object = SplitDisk_Alloc();
    SplitDisk_Init(static_cast<SplitDisk*>(job.sourceDisk->object));
    job.psHeads = 16;
    job.psSectors = 63;
    page->OnSetActive();
    guitest::Screenshot(host.window, "page05_split_set");
    EXPECT_STREQ(page->GetHeaderField(1)->getText().text(), "100");
    EXPECT_FALSE(page->GetHeaderField(0)->isEditable());
    FakeFormatOps::Get().header[2] = 0xFFFFFFFFu;
    page->OnSetActive();
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), page->GetHeaderField(2));
    EXPECT_EQ(FakeFormatOps::Get().setCalls, 0);
    FakeFormatOps::Get().header[2] = 8;
    page->OnSetActive();
    Type(page->GetSectorsField(), "32");
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_DEST_TYPE);
    EXPECT_EQ(FakeFormatOps::Get().sectors, 32u);
    EXPECT_EQ(job.psSectors, 32u);
    FakeFormatOps::Remove();
}

// ---- Destination type page ----------------------------------------------------------------------------

class DestPage : public InfoPage<CSelectDestTypePropertyPage> {
protected:
    void Open(const std::string& path, const DiskGeometry* geometry = nullptr)
    {
        ConversionJob_ReleaseSource(&job);
        job.sourceDisk = OpenRawDisk(path, geometry);
        ASSERT_NE(job.sourceDisk, nullptr);
        job.sourceKind = JOB_SOURCE_IMAGE;
        Routing_ApplyEntryDefaults(&job, WIZARD_PAGE_DEST_TYPE);
        page->OnSetActive();
    }
    int NextWith(int item, bool partitions)
    {
        guitest::Command(page, CSelectDestTypePropertyPage::ID_RADIO_BUILTIN);
        page->GetBuiltinList()->setCurrentItem(item);
        page->GetPartitionCheck()->setCheck(partitions);
        BoxWatcher::Instance().texts.clear();
        return page->OnWizardNext();
    }
};

TEST_F(DestPage, ListChoicesAndGeometry)
{
    Build(WIZARD_PAGE_DEST_TYPE);
    std::string path = dir.file("disk.raw");
    WriteGarbage(path, 1 << 20);
    DiskGeometry g = {2048, 4, 32, 512, 0};
    Open(path, &g);
    guitest::Screenshot(host.window, "page07_destination_type");
    // The list dropped down: formats without a writer yet are greyed.
    FXMenuButton* drop = guitest::FindChild<FXMenuButton>(page->GetBuiltinList());
    ASSERT_NE(drop, nullptr);
    guitest::Command(drop, FXMenuButton::ID_POST);
    guitest::Pump(150);
    guitest::App()->flush(true);
    testsupport::RunCommand("import -window root " +
                            testsupport::Quote(std::string(VDX_BINARY_DIR) +
                                               "/screenshots/page07_destination_list.png") +
                            " 2>/dev/null");
    guitest::Command(drop, FXMenuButton::ID_UNPOST);
    guitest::Pump(50);
    EXPECT_EQ(page->GetBuiltinList()->getNumItems(), 22);
    EXPECT_FALSE(page->GetPluginRadio()->isEnabled());
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(page->IsBuiltinItemEnabled(i), SourceRules_DestinationAvailable(i)) << i;

    // Every built-in format is offered now, COWD versions 3 and 1 too.
    EXPECT_EQ(NextWith(1, false), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.destKind, 1);
    EXPECT_EQ(NextWith(2, false), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.destKind, 2);

    EXPECT_EQ(NextWith(14, false), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.destKind, 14);
    EXPECT_EQ(job.geometryForcedAuto, 1);
    EXPECT_EQ(job.geometryRecompute, 1);
    EXPECT_EQ(Geometry_GetTotalSectors(&job.sourceGeometry), 2048u);
    EXPECT_EQ(job.sourceGeometry.heads, 4u);
    EXPECT_EQ(memcmp(&job.workGeometry, &job.sourceGeometry, sizeof(DiskGeometry)), 0);

    EXPECT_EQ(NextWith(0, false), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.geometryForcedAuto, 0);

    // Coming back by Back from page 8, the choice is shown again.
    page->OnSetActive();
    EXPECT_EQ(page->GetBuiltinList()->getCurrentItem(), 0);

    // A new blank disk cannot go to partition saving or a plug-in; it has no map either.
    ConversionJob_ReleaseSource(&job);
    job.sourceKind = JOB_SOURCE_NEW_DISK;
    job.sourceDisk = Disk_Alloc();
    Disk_Init(job.sourceDisk);
    DiskGeometry z = {4096, 0, 0, 512, 0};
    ASSERT_EQ(Disk_OpenZero(job.sourceDisk, &z), DISK_OK);
    page->OnSetActive();
    EXPECT_FALSE(page->GetPartitionCheck()->isEnabled());
    EXPECT_FALSE(CVdxPropertyPageBase::GetCheck(page->GetPartitionCheck()));
    EXPECT_EQ(NextWith(20, true), -1);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(MSG_DEST_TYPE_NEEDS_SOURCE_DISK)) << Boxes();
    EXPECT_EQ(NextWith(13, true), 22);  // straight to the HDI option page
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(Boxes(), "");
}

// A destination whose writer the build lacks is listed, greyed, and refused with the reason.
TEST_F(DestPage, RowWithoutWriterIsDisabled)
{
    struct TakeWriter {
        DestinationRow& row;
        DestinationWriter kept;
        explicit TakeWriter(DestinationRow& r) : row(r), kept(r.write) { row.write = nullptr; }
        ~TakeWriter() { row.write = kept; }
    } taken(Destination_Rows()[DEST_VDI]);
    EXPECT_FALSE(SourceRules_DestinationAvailable(DEST_VDI));
    Build(WIZARD_PAGE_DEST_TYPE);
    std::string path = dir.file("disk.raw");
    WriteGarbage(path, 1 << 20);
    DiskGeometry g = {2048, 4, 32, 512, 0};
    Open(path, &g);
    EXPECT_FALSE(page->IsBuiltinItemEnabled(DEST_VDI));
    EXPECT_TRUE(page->IsBuiltinItemEnabled(DEST_VMDK));
    job.destKind = DEST_VMDK;
    EXPECT_EQ(NextWith(DEST_VDI, false), -1);
    EXPECT_EQ(job.destKind, DEST_VMDK);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(MSG_DEST_TYPE_NOT_IN_BUILD)) << Boxes();
}

TEST_F(DestPage, PartitionMapAcrossNextAndBack)
{
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.vfat, sfdisk or mcopy missing";
    Build(WIZARD_PAGE_DEST_TYPE);
    std::string fat = dir.file("fat.raw"), blank = dir.file("blank.raw"),
                pc98 = dir.file("pc98.raw");
    MakePartitionedDisk(fat, "fat", 4);
    MakeEmptyTableDisk(blank, 1);
    MakePc98Disk(pc98);

    Open(fat);
    EXPECT_TRUE(page->GetPartitionCheck()->isEnabled());
    EXPECT_FALSE(CVdxPropertyPageBase::GetCheck(page->GetPartitionCheck()));
    EXPECT_EQ(NextWith(0, true), WIZARD_PAGE_GEOMETRY);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(111)) << Boxes();
    EXPECT_NE(Boxes().find("1 file system"), std::string::npos) << Boxes();
    ASSERT_NE(job.volumeList, nullptr);
    UsedSectorMap* built = job.volumeList;
    // Back from page 8 keeps the map and shows the box checked; Next keeps the same map.
    page->OnSetActive();
    EXPECT_TRUE(CVdxPropertyPageBase::GetCheck(page->GetPartitionCheck()));
    EXPECT_EQ(NextWith(0, true), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.volumeList, built);
    EXPECT_EQ(Boxes(), "");
    // Unchecked: the map goes.
    EXPECT_EQ(NextWith(0, false), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.volumeList, nullptr);
    // Back from this page releases a map built here.
    EXPECT_EQ(NextWith(0, true), WIZARD_PAGE_GEOMETRY);
    ASSERT_NE(job.volumeList, nullptr);
    EXPECT_EQ(page->OnWizardBack(), WIZARD_PAGE_SOURCE);
    EXPECT_EQ(job.volumeList, nullptr);
    EXPECT_EQ(job.sourceDisk, nullptr);

    // Nothing recognised: information 110 and no map, and the wizard goes on.
    Open(blank);
    EXPECT_EQ(NextWith(0, true), WIZARD_PAGE_GEOMETRY);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(110)) << Boxes();
    EXPECT_EQ(job.volumeList, nullptr);

    // The PC-98 table is read as for a trim.
    DiskGeometry g = Pc98Geometry();
    Open(pc98, &g);
    EXPECT_EQ(NextWith(0, true), WIZARD_PAGE_GEOMETRY);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(111)) << Boxes();
    ASSERT_NE(job.volumeList, nullptr);
    EXPECT_EQ(UsedMap_CountKnownRegions(job.volumeList), 1u);
}

TEST_F(DestPage, PluginDestination)
{
    std::string full = dir.file("full.vpl"), output;
    ASSERT_TRUE(standin::Build({{full, standin::FullFlags()}}, &output)) << output;
    std::string missing = dir.file("missing.vpl");
    job.plugins.push_back(PluginListEntry{missing.c_str(), "Gone Ver.0.0.6.0", NULL});
    job.plugins.push_back(PluginListEntry{full.c_str(), "Full Ver.0.0.6.0", NULL});
    job.destPlugins = {0, 1};
    Build(WIZARD_PAGE_DEST_TYPE);
    std::string path = dir.file("disk.raw");
    WriteGarbage(path, 1 << 20);
    Open(path);
    EXPECT_TRUE(page->GetPluginRadio()->isEnabled());
    EXPECT_FALSE(page->GetPluginList()->isEnabled());
    guitest::Command(page, CSelectDestTypePropertyPage::ID_RADIO_PLUGIN);
    EXPECT_TRUE(page->GetPluginList()->isEnabled());
    EXPECT_FALSE(page->GetBuiltinList()->isEnabled());

    // A module that cannot be loaded: message 32.
    page->GetPluginList()->setCurrentItem(0);
    BoxWatcher::Instance().texts.clear();
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(32)) << Boxes();
    EXPECT_EQ(job.destPluginIndex, -1);

    page->GetPluginList()->setCurrentItem(1);
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_GEOMETRY);
    EXPECT_EQ(job.destKind, DEST_PLUGIN);
    EXPECT_EQ(job.destPluginIndex, 1);
    EXPECT_NE(job.plugins[1].module, nullptr);

    // Shown again with the plug-in chosen.
    page->OnSetActive();
    EXPECT_EQ(page->GetCurrentRadio(), CSelectDestTypePropertyPage::ID_RADIO_PLUGIN);
    EXPECT_EQ(page->GetPluginList()->getCurrentItem(), 1);
}

// ---- Geometry page -----------------------------------------------------------------------------------

using GeometryPage = InfoPage<CChangeGeometryPropertyPage>;

TEST_F(GeometryPage, TotalsModesAndBytesPerSector)
{
    Build(WIZARD_PAGE_GEOMETRY);
    job.sourceKind = JOB_SOURCE_IMAGE;
    job.sourceGeometry = DiskGeometry{100000, 16, 63, 4096, 0};
    job.workGeometry = job.sourceGeometry;
    job.geometryForcedAuto = 1;
    Routing_ApplyEntryDefaults(&job, WIZARD_PAGE_GEOMETRY);
    page->OnSetActive();
    guitest::Pump(100);
    // The destination computes heads and sectors: the total only.
    EXPECT_FALSE(page->GetManualRadio()->isEnabled());
    EXPECT_EQ(page->GetCurrentRadio(), CChangeGeometryPropertyPage::ID_RADIO_AUTOMATIC);
    EXPECT_STREQ(page->GetTotalField()->getText().text(), "100000");
    EXPECT_STREQ(page->GetHeadsField()->getText().text(), "");
    EXPECT_FALSE(page->GetHeadsField()->isEnabled());
    EXPECT_FALSE(page->GetSectorSizeList()->isEnabled());
    EXPECT_EQ(page->GetSectorSizeList()->getCurrentItem(), 5);  // 4096
    EXPECT_EQ(host.events.Buttons(), "BNC");

    struct Row {
        const char* total;
        bool ok;
    };
    const Row rows[] = {{"3", false},
                        {"", false},
                        {"x", false},
                        {"18014398509481984", false},  // 2^54
                        {"2251799813685248", false},   // 2^51 sectors of 4096 bytes = 2^63
                        {"2251799813685247", true},
                        {"4", true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.total);
        Type(page->GetTotalField(), r.total);
        EXPECT_EQ(page->OnWizardNext(), r.ok ? WIZARD_PAGE_FIRST_OPTIONS : -1);
        if (!r.ok) {
            EXPECT_EQ(Focused(page), page->GetTotalField());
        }
    }
    EXPECT_EQ(Geometry_GetTotalSectors(&job.workGeometry), 4u);
    EXPECT_EQ(job.workGeometry.heads, 16u);
    EXPECT_EQ(job.workGeometry.bytes_per_sector, 4096u);
    EXPECT_EQ(job.geometryRecompute, 1);
    EXPECT_EQ(job.geometryManual, 0);

    // Manual geometry where the destination allows it.
    job.geometryForcedAuto = 0;
    Routing_ApplyEntryDefaults(&job, WIZARD_PAGE_GEOMETRY);
    page->OnSetActive();
    guitest::Pump(100);
    guitest::Screenshot(host.window, "page08_geometry");
    EXPECT_TRUE(page->GetManualRadio()->isEnabled());
    EXPECT_EQ(page->GetCurrentRadio(), CChangeGeometryPropertyPage::ID_RADIO_MANUAL);
    EXPECT_TRUE(page->GetManualRadio()->getCheck());
    EXPECT_STREQ(page->GetHeadsField()->getText().text(), "16");
    Type(page->GetTotalField(), "5000000000");
    Type(page->GetHeadsField(), "0");
    EXPECT_EQ(page->OnWizardNext(), -1);
    EXPECT_EQ(Focused(page), page->GetHeadsField());
    Type(page->GetHeadsField(), "255");
    Type(page->GetSectorsField(), "256");
    EXPECT_EQ(page->OnWizardNext(), -1);
    Type(page->GetSectorsField(), "255");
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_FIRST_OPTIONS);
    EXPECT_EQ(job.workGeometry.sectors32, 0u);
    EXPECT_EQ(job.workGeometry.sectors64, 5000000000u);
    EXPECT_EQ(job.workGeometry.heads, 255u);
    EXPECT_EQ(job.manualSectors, 255u);
    EXPECT_EQ(job.geometryManual, 1);
    EXPECT_EQ(job.geometryRecompute, 0);

    // The automatic radio disables the manual fields and keeps the source's heads.
    guitest::Command(page, CChangeGeometryPropertyPage::ID_RADIO_AUTOMATIC);
    EXPECT_FALSE(page->GetHeadsField()->isEnabled());
    EXPECT_EQ(page->OnWizardNext(), WIZARD_PAGE_FIRST_OPTIONS);
    EXPECT_EQ(job.workGeometry.heads, 16u);
    EXPECT_EQ(job.manualHeads, 16u);
    // Each refusal above said what is allowed.
    EXPECT_NE(Boxes().find("Give the total sectors as a whole number from 4 to 2251799813685247."),
              std::string::npos)
        << Boxes();
    EXPECT_NE(Boxes().find("from 1 to 255."), std::string::npos) << Boxes();
}

}  // namespace

namespace {

// The utility button on the typed path: the class of the utility dialog that came up (closed at
// once), or "" when none did.
std::string UtilityDialogFor(CInputSourcePropertyPage* page, const std::string& path)
{
    std::string shown;
    BoxWatcher::Instance().texts.clear();
    BoxWatcher::Instance().other = [&](FXWindow* w) {
        if (w->isMemberOf(FXMETACLASS(CWaitDialog))) return false;
        shown = w->getClassName();
        guitest::Screenshot(w, std::string("source_utility_") + w->getClassName());
        w->handle(w, FXSEL(SEL_CLOSE, 0), NULL);
        return true;
    };
    Type(page->GetPathField(), path);
    guitest::Command(page, CInputSourcePropertyPage::ID_UTILITY);
    BoxWatcher::Instance().other = nullptr;
    return shown;
}

}  // namespace

TEST_F(SourcePage, UtilityButtonOpensTheDialogOfTheImageKind)
{
    Build();
    const std::string vmdk = dir.file("u.vmdk"), vhd = dir.file("u.vhd"), fixed = dir.file("f.vhd"),
                      raw = dir.file("u.raw");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk " + Quote(vmdk) + " 8M"), 0);
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc " + Quote(vhd) + " 8M"), 0);
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc -o subformat=fixed " + Quote(fixed) + " 8M"),
              0);
    ASSERT_EQ(RunCommand("head -c 1048576 /dev/zero > " + Quote(raw)), 0);

    EXPECT_EQ(UtilityDialogFor(page, "  " + vmdk + " "), "CVMwareVmdkUtilityDialog");
    EXPECT_EQ(UtilityDialogFor(page, vhd), "CVirtualPCVhdUtilityDialog");
    EXPECT_EQ(UtilityDialogFor(page, fixed), "CVirtualPCVhdUtilityDialog");
    const std::string qcow2 = dir.file("u.qcow2");
    ASSERT_EQ(RunCommand("qemu-img create -q -f qcow2 " + Quote(qcow2) + " 8M"), 0);
    EXPECT_EQ(UtilityDialogFor(page, qcow2), "CQemuQcow2UtilityDialog");
    // An emulator image has no utilities; a raw file (no image kind takes it) and a missing
    // file cannot be opened; an empty path is refused.
    const std::string hdi = dir.file("u.hdi");
    MakeHdiFrom(raw, hdi);
    EXPECT_EQ(UtilityDialogFor(page, hdi), "");
    EXPECT_TRUE(Saw(33)) << Boxes();
    EXPECT_EQ(UtilityDialogFor(page, raw), "");
    EXPECT_TRUE(Saw(29)) << Boxes();
    EXPECT_EQ(UtilityDialogFor(page, dir.file("missing.vmdk")), "");
    EXPECT_TRUE(Saw(29)) << Boxes();
    EXPECT_EQ(UtilityDialogFor(page, "   "), "");
    EXPECT_TRUE(Saw(27)) << Boxes();
    // Nothing of the job changed.
    EXPECT_EQ(job.sourceDisk, nullptr);
}

TEST_F(SourcePage, UtilityButtonAsksTheKeyOfAnEncryptedQcow2Image)
{
    Build();
    std::vector<uint8_t> disk(1 << 20, 0);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const std::string raw = dir.file("disk.raw"), image = dir.file("secret.qcow2");
    testsupport::WriteFile(raw, disk);
    std::string out;
    ASSERT_EQ(RunCommand("qemu-img convert --object secret,id=s,data=secret -f raw -O qcow2 "
                         "-o encrypt.format=aes,encrypt.key-secret=s " +
                             Quote(raw) + " " + Quote(image) + " 2>&1",
                         &out),
              0)
        << out;
    struct Row {
        const char* password;
        bool verify;
        const char* dialog;  // the utility dialog that comes up, or ""
        int message;
    };
    const Row rows[] = {
        {"secret", true, "CQemuQcow2UtilityDialog", 0},
        {"wrong", true, "", 375},
        // Unchecked verification: the dialog opens with the key given.
        {"wrong", false, "CQemuQcow2UtilityDialog", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.password) + (r.verify ? " verify" : ""));
        std::string shown;
        bool asked = false;
        BoxWatcher::Instance().texts.clear();
        BoxWatcher::Instance().other = [&](FXWindow* w) {
            if (w->isMemberOf(FXMETACLASS(CInputQemuQcowPasswordDialog))) {
                auto* dialog = static_cast<CInputQemuQcowPasswordDialog*>(w);
                asked = true;
                dialog->GetPasswordField()->setText(r.password);
                dialog->GetVerifyButton()->setCheck(r.verify);
                guitest::Command(dialog, UI_ID_ACCEPT);
                return false;  // the utility dialog follows
            }
            if (w->isMemberOf(FXMETACLASS(CWaitDialog))) return false;
            shown = w->getClassName();
            w->handle(w, FXSEL(SEL_CLOSE, 0), NULL);
            return true;
        };
        Type(page->GetPathField(), image);
        guitest::Command(page, CInputSourcePropertyPage::ID_UTILITY);
        BoxWatcher::Instance().other = nullptr;
        EXPECT_TRUE(asked);
        EXPECT_EQ(shown, r.dialog);
        if (r.message != 0) {
            EXPECT_TRUE(Saw(r.message)) << Boxes();
        } else {
            EXPECT_EQ(Boxes(), "");
        }
        EXPECT_EQ(job.sourceDisk, nullptr);
    }
}
