// The source, source-information, destination-type and geometry pages inside the real wizard
// window: the road of a raw image file, a block device and a new blank disk through Next and
// Back, with a picture of each page as the wizard shows it.
#include <gtest/gtest.h>

#include <string>

#include "gui/pages/destination_type_page.h"
#include "gui/pages/geometry_page.h"
#include "gui/pages/source_info_pages.h"
#include "gui/pages/source_page.h"
#include "gui/wizard/wizard.h"
#include "source_page_harness.h"
#include "source_test_util.h"

using namespace pagetest;
using namespace sourcetest;
using testsupport::TempDir;

namespace {

class WizardRoad : public ::testing::Test {
protected:
    TempDir dir;
    CVdxWizard* wizard = nullptr;
    ConversionJob* job = nullptr;

    void SetUp() override
    {
        guitest::App();
        BoxWatcher::Instance().Start();
        wizard = new CVdxWizard(guitest::App());
        wizard->create();
        wizard->show(PLACEMENT_SCREEN);
        job = wizard->GetJob();
        guitest::Pump(100);
    }
    void TearDown() override
    {
        BoxWatcher::Instance().other = nullptr;
        delete wizard;
    }
    template <class Page>
    Page* Current()
    {
        CPropertyPage* page = wizard->GetPage(wizard->GetCurrentPage());
        EXPECT_TRUE(page->isMemberOf(FXMETACLASS(Page))) << page->getClassName();
        return static_cast<Page*>(page);
    }
    void Next()
    {
        BoxWatcher::Instance().texts.clear();
        guitest::Command(wizard, CVdxWizard::ID_NEXT);
        guitest::Pump(60);
    }
    void Back()
    {
        guitest::Command(wizard, CVdxWizard::ID_BACK);
        guitest::Pump(60);
    }
    void Picture(const std::string& name)
    {
        guitest::Pump(60);
        guitest::Screenshot(wizard, "wizard_" + name);
    }
};

TEST_F(WizardRoad, RawFileDeviceAndNewDisk)
{
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_SOURCE);
    CInputSourcePropertyPage* source = Current<CInputSourcePropertyPage>();
    EXPECT_STREQ(wizard->GetTitleLabel()->getText().text(), Ui_MessageText(25).text());
    EXPECT_FALSE(wizard->IsBackEnabled());
    EXPECT_TRUE(wizard->IsNextEnabled());

    // A file of no known format: the raw-image page with the VHD geometry of its size.
    std::string raw = dir.file("plain.bin");
    WriteGarbage(raw, 3 << 20);
    source->GetPathField()->setText(raw.c_str());
    Picture("page00_source");
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_RAW_FILE);
    EXPECT_EQ(BoxWatcher::Instance().All(), "");
    EXPECT_TRUE(wizard->IsBackEnabled());
    CInputSourceBetaInfoPropertyPage* rawPage = Current<CInputSourceBetaInfoPropertyPage>();
    EXPECT_STREQ(rawPage->GetFields().offset->getText().text(), "0");
    Picture("page01_raw_image");

    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    ASSERT_NE(job->sourceDisk, nullptr);
    EXPECT_EQ(Disk_GetKind(job->sourceDisk), DISK_KIND_RAW);
    CSelectDestTypePropertyPage* dest = Current<CSelectDestTypePropertyPage>();
    Picture("page07_destination_type");

    // Garbage holds no partition: nothing is recognised, every sector will be copied.
    dest->GetBuiltinList()->setCurrentItem(4);
    dest->GetPartitionCheck()->setCheck(TRUE);
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_GEOMETRY);
    EXPECT_TRUE(BoxWatcher::Instance().Saw(110)) << BoxWatcher::Instance().All();
    EXPECT_EQ(job->volumeList, nullptr);
    EXPECT_EQ(job->destKind, 4);
    CChangeGeometryPropertyPage* geometry = Current<CChangeGeometryPropertyPage>();
    EXPECT_STREQ(geometry->GetTotalField()->getText().text(),
                 std::to_string(Geometry_GetTotalSectors(&job->sourceGeometry)).c_str());
    Picture("page08_geometry");

    // Back to the source page: the raw image is released on the way.
    Back();
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    Back();
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_RAW_FILE);
    EXPECT_EQ(job->sourceDisk, nullptr);
    Back();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_SOURCE);

    // A block device.
    guitest::Command(source, CInputSourcePropertyPage::ID_RADIO_DEVICE);
    // A regular file stands in for the device node (character devices are refused).
    std::string device = dir.file("device.img");
    WriteGarbage(device, 1 << 20);
    source->GetDeviceField()->setText(device.c_str());
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEVICE);
    Picture("page04_block_device");
    Back();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_SOURCE);
    EXPECT_EQ(source->GetCurrentRadio(), CInputSourcePropertyPage::ID_RADIO_DEVICE);

    // A new blank disk: its page, then the destination type without the partition box, and
    // straight on to the option page.
    guitest::Command(source, CInputSourcePropertyPage::ID_RADIO_NEW_DISK);
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_NEW_DISK);
    Picture("page06_new_disk");
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    dest = Current<CSelectDestTypePropertyPage>();
    EXPECT_FALSE(dest->GetPartitionCheck()->isEnabled());
    dest->GetBuiltinList()->setCurrentItem(13);
    Next();
    EXPECT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_FIRST_OPTIONS + 13);
    DiskGeometry g;
    Disk_GetGeometry(job->sourceDisk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 8388608u);
    EXPECT_EQ(BoxWatcher::Instance().All(), "");
}

}  // namespace
