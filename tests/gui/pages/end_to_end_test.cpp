// The whole road through the real wizard window, driven with its own Next and Cancel commands:
// a raw disk holding an MBR and an ext4 or FAT volume with garbage in its free space, chosen
// on the source page, converted to VMDK, dynamic VHD, VHDX and HDI with the partition option on; the
// output passes qemu-img where qemu-img reads the format, equals the source on every used
// sector, and its file system passes fsck. VMDK, VHD and VHDX images trimmed in place leave the
// image and "<name>_del", both readable with the used sectors unchanged. A long conversion
// cancelled through the wizard's Cancel stops within a second with the cancelled message.
// Pictures of every page the road passes go to <build>/screenshots/e2e_*.png.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vhd/vhd_records.h"
#include "foundation/platform.h"
#include "gui/frame/gui_test_util.h"
#include "gui/frame/trim_settings_dialog.h"
#include "gui/job/convert_run.h"
#include "gui/job/raw_source.h"
#include "gui/job/option_rules.h"
#include "gui/pages/convert_page.h"
#include "gui/pages/destination_path_page.h"
#include "gui/pages/destination_type_page.h"
#include "gui/pages/geometry_page.h"
#include "gui/pages/source_info_pages.h"
#include "gui/pages/source_page.h"
#include "gui/wizard/wizard.h"
#include "volume/used_map.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Pump;
using guitest::ProgressDone;
using guitest::ProgressTotal;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

// Answers the modal windows the road meets: information boxes with OK, the trim settings with
// accept, the stop question as told; keeps the texts of the boxes. Polls from the event loop,
// so it also acts inside the modal loops of pages.
class Answerer {
public:
    std::vector<std::string> boxes;
    FXuint stopAnswer = FXDialogBox::ID_CANCEL;
    int stopQuestions = 0;

    void Start()
    {
        active = true;
        Arm();
    }
    void Stop() { active = false; }

private:
    bool active = false;
    void Arm()
    {
        After(20, [this] {
            if (!active) return;
            Poll();
            Arm();
        });
    }
    void Poll()
    {
        FXWindow* modal = Modal();
        if (modal == nullptr || !modal->shown()) return;
        if (modal->isMemberOf(FXMETACLASS(FXMessageBox))) {
            boxes.push_back(guitest::LabelTexts(modal));
            Command(modal, FXMessageBox::ID_CLICKED_OK);
        } else if (modal->isMemberOf(FXMETACLASS(CTrimSettingDialog))) {
            guitest::Screenshot(modal, "e2e_trim_settings");
            Command(modal, UI_ID_ACCEPT);
        } else if (modal->isMemberOf(FXMETACLASS(CYesNoDialog))) {
            ++stopQuestions;
            Command(modal, stopAnswer);
        }
    }
};

std::string Fixtures() { return std::string(VDX_TEST_SOURCE_DIR) + "/gui/pages/pages_fixtures.py"; }

class EndToEnd : public ::testing::Test {
protected:
    TempDir dir;
    CVdxWizard* wizard = nullptr;
    Answerer answerer;

    void SetUp() override
    {
        guitest::Owner();
        wizard = new CVdxWizard(App());
        wizard->create();
        wizard->show(PLACEMENT_SCREEN);
        Pump(60);
        answerer.Start();
        // The pages these runs go through are the real ones, not stand-ins.
        const std::pair<int, const FXMetaClass*> pages[] = {
            {WIZARD_PAGE_SOURCE, FXMETACLASS(CInputSourcePropertyPage)},
            {WIZARD_PAGE_RAW_FILE, FXMETACLASS(CInputSourceBetaInfoPropertyPage)},
            {WIZARD_PAGE_DEST_TYPE, FXMETACLASS(CSelectDestTypePropertyPage)},
            {WIZARD_PAGE_GEOMETRY, FXMETACLASS(CChangeGeometryPropertyPage)},
        };
        for (const auto& p : pages) {
            CPropertyPage* page = wizard->GetPage(p.first);
            ASSERT_TRUE(page != nullptr && page->isMemberOf(p.second))
                << "page " << p.first << " is " << (page ? page->getClassName() : "missing");
        }
    }
    void TearDown() override
    {
        answerer.Stop();
        delete wizard;
        Pump(30);
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
        Command(wizard, CVdxWizard::ID_NEXT);
        Pump(40);
    }
    void Shot(const std::string& name)
    {
        Pump(40);
        guitest::Screenshot(wizard, "e2e_" + name);
    }
    // Handles events until the convert page has handled its run's end (an event of its own).
    CConvertPropertyPage* WaitForRun()
    {
        CConvertPropertyPage* page = Current<CConvertPropertyPage>();
        while (page->IsRunning()) App()->runOneEvent(true);
        return page;
    }

    std::string MakeDisk(const std::string& kind, int mib, const std::string& name)
    {
        std::string path = dir.file(name);
        EXPECT_EQ(RunCommand("python3 " + Quote(Fixtures()) + " " + kind + " " +
                             std::to_string(mib) + " " + Quote(path)),
                  0);
        return path;
    }

    // Page 0 with an image path (and the trim option), then Next.
    void ChooseSource(const std::string& path, bool trim, const char* shot = nullptr)
    {
        ASSERT_EQ(wizard->GetCurrentPage(), 0);
        CInputSourcePropertyPage* source = Current<CInputSourcePropertyPage>();
        source->GetPathField()->setText(path.c_str());
        source->GetTrimCheck()->setCheck(trim);
        if (shot) Shot(shot);
        Next();
    }
};

// Used bits of every sector, from the builder the wizard uses for its map.
std::vector<bool> UsedSectors(const DiskHandle* disk, uint64_t total)
{
    int rc = DISK_OK;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(disk, &rc, &known);
    std::vector<bool> used(total, true);
    EXPECT_NE(map, nullptr);
    if (map == nullptr) return used;
    EXPECT_EQ(known, 1u);
    std::vector<uint8_t> bits(4096);
    for (uint64_t s = 0; s < total; s += 32768) {
        int32_t n = (int32_t)std::min<uint64_t>(32768, total - s);
        EXPECT_EQ(UsedMap_GetUsedBits(map, s, n, bits.data()), DISK_OK);
        for (int32_t i = 0; i < n; ++i) used[s + i] = (bits[i / 8] >> (i % 8)) & 1;
    }
    UsedMap_Destroy(map);
    Mem_Free(map);
    return used;
}

std::vector<bool> UsedSectorsOfRaw(const std::string& raw)
{
    std::vector<uint8_t> bytes = ReadFile(raw);
    const DiskGeometry g = RawSourceGeometry(bytes.size());
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_EQ(Disk_OpenRaw(&h, raw.c_str(), true, 0, &g), DISK_OK);
    std::vector<bool> used = UsedSectors(&h, bytes.size() / 512);
    Disk_Close(&h);
    return used;
}

size_t DifferingUsed(const std::vector<uint8_t>& source, const std::vector<uint8_t>& data,
                     size_t offset, const std::vector<bool>& used)
{
    if (data.size() < offset + source.size()) return SIZE_MAX;
    size_t n = 0;
    for (size_t s = 0; s < used.size(); ++s)
        if (used[s] && memcmp(&source[s * 512], &data[offset + s * 512], 512) != 0) ++n;
    return n;
}

void ExpectFsckClean(const TempDir& dir, const std::vector<uint8_t>& disk, const std::string& kind)
{
    std::string part = dir.file("part.img");
    ASSERT_GT(disk.size(), 2048u * 512);
    testsupport::WriteFile(part, std::vector<uint8_t>(disk.begin() + 2048 * 512, disk.end()));
    std::string out;
    if (kind == "ext")
        EXPECT_EQ(RunCommand("e2fsck -fn " + Quote(part) + " 2>&1", &out), 0) << out;
    else
        EXPECT_EQ(RunCommand("fsck.fat -n " + Quote(part) + " 2>&1", &out), 0) << out;
}

// The disk inside an output file: through qemu-img for the formats it reads, else the bytes
// after the header.
std::vector<uint8_t> DiskOf(const TempDir& dir, const std::string& path, const std::string& format,
                            size_t headerBytes)
{
    if (format.empty()) {
        std::vector<uint8_t> all = ReadFile(path);
        return std::vector<uint8_t>(all.begin() + std::min(headerBytes, all.size()), all.end());
    }
    std::string raw = dir.file("back.raw");
    std::string log;
    if (format == "vmdk" || format == "vhdx") {
        EXPECT_EQ(RunCommand("qemu-img check -f " + format + " " + Quote(path) + " 2>&1", &log), 0)
            << log;
    } else {
        EXPECT_EQ(RunCommand("qemu-img info -f " + format + " " + Quote(path) + " 2>&1", &log), 0)
            << log;
    }
    EXPECT_EQ(
        RunCommand("qemu-img convert -f " + format + " -O raw " + Quote(path) + " " + Quote(raw)),
        0);
    return ReadFile(raw);
}

struct RoadCase {
    const char* name;
    int32_t destKind;
    const char* format;  // qemu-img format, "" for HDI
    size_t header;
    const char* fs;
    bool pictures;
};

class ConversionRoad : public EndToEnd, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(ConversionRoad, ThroughEveryPage)
{
    const RoadCase& c = GetParam();
    std::string raw = MakeDisk(c.fs, 16, std::string("disk-") + c.name + ".raw");
    std::string out = dir.file(std::string("out.") + c.name);
    const bool shots = c.pictures;

    ChooseSource(raw, false, shots ? "page00_source" : nullptr);
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_RAW_FILE);
    if (shots) Shot("page01_raw_image");
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    CSelectDestTypePropertyPage* type = Current<CSelectDestTypePropertyPage>();
    type->GetBuiltinList()->setCurrentItem(c.destKind);
    type->GetPartitionCheck()->setCheck(TRUE);
    if (shots) Shot("page07_destination_type");
    size_t boxes = answerer.boxes.size();
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_GEOMETRY);
    // One file system was recognised (message 111).
    ASSERT_EQ(answerer.boxes.size(), boxes + 1);
    ASSERT_NE(wizard->GetJob()->volumeList, nullptr);
    if (shots) Shot("page08_geometry");
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), 9 + c.destKind);
    Shot(std::string("page") + std::to_string(9 + c.destKind) + "_options_" + c.name);
    Next();
    if (wizard->GetCurrentPage() == WIZARD_PAGE_CYLINDERS) {
        Shot(std::string("page31_cylinders_") + c.name);
        Next();
    }
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_PATH);
    Current<CInputDestPropertyPage>()->GetPathField()->setText(out.c_str());
    if (shots) Shot("page32_destination");
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    CConvertPropertyPage* run = WaitForRun();
    ASSERT_FALSE(run->IsRunning());
    EXPECT_EQ(run->GetResult(), DISK_OK);
    EXPECT_STREQ(run->GetStatusLabel()->getText().text(), Ui_MessageText(305).text());
    Shot(std::string("page33_done_") + c.name);
    const DiskGeometry final = wizard->GetJob()->finalGeometry;

    // Next starts over with the job reset.
    Next();
    EXPECT_EQ(wizard->GetCurrentPage(), 0);
    EXPECT_EQ(wizard->GetJob()->sourceDisk, nullptr);
    EXPECT_EQ(wizard->GetJob()->volumeList, nullptr);

    std::vector<uint8_t> source = ReadFile(raw);
    std::vector<bool> used = UsedSectorsOfRaw(raw);
    std::vector<uint8_t> disk = DiskOf(dir, out, c.format, c.header);
    EXPECT_GE(disk.size(), Geometry_GetTotalSectors(&final) * 512);
    EXPECT_EQ(DifferingUsed(source, disk, 0, used), 0u);
    ExpectFsckClean(dir, disk, c.fs);
}

const RoadCase kRoads[] = {
    {"vmdk", 0, "vmdk", 0, "ext", true},    {"vhd", 4, "vpc", 0, "fat", false},
    {"hdi", 13, "", 4096, "ext", false},    {"vmdk_fat", 0, "vmdk", 0, "fat", false},
    {"vhd_ext", 4, "vpc", 0, "ext", false}, {"hdi_fat", 13, "", 4096, "fat", false},
    {"vhdx", 3, "vhdx", 0, "ext", false},
};

INSTANTIATE_TEST_SUITE_P(Roads, ConversionRoad, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<RoadCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- Trim in place -----------------------------------------------------------------------------

class TrimRoad : public EndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(TrimRoad, LeavesTheImageAndItsOldCopy)
{
    const std::string name = GetParam();
    const bool vmdk = name == "vmdk";
    const std::string format = name == "vhd" ? "vpc" : name;
    std::string raw = MakeDisk("ext", 16, "trim.raw");
    std::vector<uint8_t> source = ReadFile(raw);
    std::vector<bool> used = UsedSectorsOfRaw(raw);
    // An image that stores the free space's garbage: written without a map.
    std::string image = dir.file("trim." + name);
    {
        ConversionJob job;
        const DiskGeometry g = RawSourceGeometry(source.size());
        ASSERT_TRUE(OpenRawSource(&job, raw, g));
        job.destKind = vmdk ? 0 : name == "vhdx" ? 3 : 4;
        job.destPath = image.c_str();
        job.vmdkList14 = 11;
        job.vhdLayoutIndex = 5;
        job.vhdCreatorIndex = 4;
        job.workGeometry = g;
        job.finalGeometry = g;
        ConvertRunContext context;
        ASSERT_EQ(ConvertRun_WriteImage(&job, &context), DISK_OK);
        ConversionJob_Release(&job);
    }
    struct stat before;
    ASSERT_EQ(stat(image.c_str(), &before), 0);

    ChooseSource(image, true, vmdk ? "page00_trim" : nullptr);
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    CConvertPropertyPage* run = WaitForRun();
    ASSERT_FALSE(run->IsRunning());
    EXPECT_EQ(run->GetResult(), DISK_OK);
    EXPECT_EQ(wizard->GetJob()->sourceDisk, nullptr);
    EXPECT_EQ(wizard->GetJob()->volumeList, nullptr);
    Shot(std::string("page33_trimmed_") + GetParam());
    // Back after a trim returns to the first page.
    Command(wizard, CVdxWizard::ID_BACK);
    EXPECT_EQ(wizard->GetCurrentPage(), 0);

    struct stat after, old;
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    ASSERT_EQ(stat((image + "_del").c_str(), &old), 0);
    EXPECT_EQ(old.st_size, before.st_size);
    EXPECT_LT(after.st_size, before.st_size);
    EXPECT_FALSE(Os_PathExists((image + "_TEMP").c_str()));
    std::vector<uint8_t> trimmed = DiskOf(dir, image, format, 0);
    EXPECT_EQ(DifferingUsed(source, trimmed, 0, used), 0u);
    ExpectFsckClean(dir, trimmed, "ext");
    std::vector<uint8_t> kept = DiskOf(dir, image + "_del", format, 0);
    EXPECT_EQ(DifferingUsed(source, kept, 0, used), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, TrimRoad, ::testing::Values("vmdk", "vhd", "vhdx"));

// ---- Cancel ------------------------------------------------------------------------------------

TEST_F(EndToEnd, CancelDuringALongConversion)
{
    // A 1 TiB VDI with every block present in its map, each block bytes of the image file
    // never written: the VMDK writer reads and tests every block, which takes many minutes.
    std::string vdi = dir.file("long.vdi");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vdi -o static=on " + Quote(vdi) + " 1T"), 0);
    ChooseSource(vdi, false);
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_TYPE);
    Current<CSelectDestTypePropertyPage>()->GetBuiltinList()->setCurrentItem(0);
    Current<CSelectDestTypePropertyPage>()->GetPartitionCheck()->setCheck(FALSE);
    Next();
    Next();  // geometry
    ASSERT_EQ(wizard->GetCurrentPage(), 9);
    Next();
    if (wizard->GetCurrentPage() == WIZARD_PAGE_CYLINDERS) Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_DEST_PATH);
    Current<CInputDestPropertyPage>()->GetPathField()->setText(dir.file("long.vmdk").c_str());
    Next();
    ASSERT_EQ(wizard->GetCurrentPage(), WIZARD_PAGE_CONVERT);
    Pump(300);
    CConvertPropertyPage* run = Current<CConvertPropertyPage>();
    ASSERT_TRUE(run->IsRunning());
    Shot("page33_running");

    // Cancel asks; Yes stops the run, and the wizard stays open.
    const uint64_t doneBeforeCancel = ProgressDone(run->GetProgressLabel()->getText().text());
    ASSERT_GT(doneBeforeCancel, 0u);
    answerer.stopAnswer = FXDialogBox::ID_ACCEPT;
    Command(wizard, UI_ID_CANCEL);
    EXPECT_EQ(answerer.stopQuestions, 1);
    EXPECT_TRUE(wizard->shown());
    WaitForRun();
    ASSERT_FALSE(run->IsRunning());
    EXPECT_EQ(run->GetResult(), DISK_CANCELLED);
    // Stopped at the next progress post: it went on for less after Cancel than it had run before
    // (however fast the machine), and did not reach the end of the disk.
    const std::string progress = run->GetProgressLabel()->getText().text();
    EXPECT_LT(ProgressDone(progress), 2 * doneBeforeCancel) << progress;
    EXPECT_LT(ProgressDone(progress), ProgressTotal(progress)) << progress;
    EXPECT_STREQ(run->GetStatusLabel()->getText().text(), Ui_MessageText(306).text());
    Shot("page33_cancelled");
    // With the run over, Cancel closes the wizard.
    answerer.Stop();
    Command(wizard, UI_ID_CANCEL);
    Pump(40);
    EXPECT_FALSE(wizard->shown());
}

}  // namespace
