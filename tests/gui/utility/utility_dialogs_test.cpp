// The image utility dialogs driven through their real widgets, with qemu-img, qemu-io and
// libvhdi as the judges of what they write.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>
#include <memory>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "disk/disk_open.h"
#include "formats/vhd/vhd_writer.h"
#include "gui/frame/messages.h"
#include "gui/frame/progress_dialogs.h"
#include "formats/vhd/vhd_records.h"
#include "gui/utility/expand_capacity_dialog.h"
#include "gui/utility/qcow2_utility_dialog.h"
#include "gui/utility/utility_common.h"
#include "gui/utility/vhd_utility_dialog.h"
#include "gui/utility/vmdk_utility_dialog.h"
#include "../frame/gui_test_util.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Owner;
using testsupport::Quote;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

// Answers the modal windows as they appear: each new modal window (but the progress dialog,
// which ends by itself) takes the next action. Texts of every message box are kept.
class Script {
public:
    std::deque<std::function<void(FXWindow*)>> actions;
    std::vector<std::string> boxes;
    std::vector<std::string> shots;

    void Then(std::function<void(FXWindow*)> action) { actions.push_back(std::move(action)); }
    // A message box answered with a button; the box is photographed under `shot`.
    void Box(FXSelector button, const std::string& shot = std::string())
    {
        Then([this, button, shot](FXWindow* w) {
            boxes.push_back(w->isMemberOf(FXMETACLASS(FXMessageBox)) ? guitest::LabelTexts(w)
                                                                     : std::string("<not a box>"));
            if (!shot.empty()) guitest::Screenshot(w, shot);
            Command(w, button);
        });
    }
    void Yes(const std::string& shot = std::string()) { Box(FXMessageBox::ID_CLICKED_YES, shot); }
    void No() { Box(FXMessageBox::ID_CLICKED_NO); }
    void Ok(const std::string& shot = std::string()) { Box(FXMessageBox::ID_CLICKED_OK, shot); }
    // A file dialog accepting a path.
    void File(const std::string& path)
    {
        Then([path](FXWindow* w) {
            ASSERT_TRUE(w->isMemberOf(FXMETACLASS(FXFileDialog)));
            FXFileDialog* d = static_cast<FXFileDialog*>(w);
            d->setFilename(path.c_str());
            App()->stopModal(d, TRUE);
            d->hide();
        });
    }
    // The first window (the dialog itself) presses its buttons in turn.
    void Press(FXObject* dialog, std::initializer_list<FXSelector> buttons)
    {
        const std::vector<FXSelector> ids(buttons);
        Then([dialog, ids](FXWindow*) {
            for (FXSelector id : ids) Command(dialog, id);
        });
    }
    // The expand-capacity dialog accepting `value` typed in the field of `unit`.
    void Expand(FXSelector unit, const char* value)
    {
        Then([unit, value](FXWindow* w) {
            ASSERT_TRUE(w->isMemberOf(FXMETACLASS(CExpandCapacityDialog)));
            CExpandCapacityDialog* e = static_cast<CExpandCapacityDialog*>(w);
            Command(e, unit);
            e->GetField(unit)->setText(value);
            Command(e, UI_ID_ACCEPT);
        });
    }
    // Starts answering and runs the dialog; its result.
    FXuint Run(FXDialogBox* dialog)
    {
        Start();
        return dialog->execute(PLACEMENT_OWNER);
    }
    void Start()
    {
        std::shared_ptr<bool> flag = alive;
        After(40, [this, flag] {
            if (*flag) Poll();
        });
    }
    ~Script() { *alive = false; }
    bool Done() const { return actions.empty(); }

private:
    std::set<std::pair<FXWindow*, FXID>> seen;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    void Poll()
    {
        Start();
        FXWindow* w = Modal();
        if (w == NULL || actions.empty()) return;
        if (w->isMemberOf(FXMETACLASS(CProgressDialog))) return;
        const std::pair<FXWindow*, FXID> key(w, w->id());
        if (seen.count(key)) return;
        seen.insert(key);
        std::function<void(FXWindow*)> action = actions.front();
        actions.pop_front();
        action(w);
    }
};

// The innermost focused widget under a window.
FXWindow* FocusedLeaf(FXWindow* w)
{
    while (w->getFocus()) w = w->getFocus();
    return w;
}

std::string Shell(const std::string& command)
{
    std::string out;
    RunCommand(command + " 2>&1", &out);
    return out;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Contains(const std::vector<std::string>& boxes, int message)
{
    std::string expected = Ui_MessageText(message).text();
    const std::string::size_type cut = expected.find('\n');
    if (cut != std::string::npos) expected.resize(cut);
    for (const std::string& b : boxes)
        if (b.find(expected) != std::string::npos) return b;
    return std::string();
}

// Whether a box holds the whole text of a message.
bool Says(const std::string& box, int message)
{
    return box.find(Ui_MessageText(message).text()) != std::string::npos;
}

// Byte differences of two files as cmp reports them; empty when they are equal.
std::string Cmp(const std::string& a, const std::string& b)
{
    return Shell("cmp " + Quote(a) + " " + Quote(b));
}

// The box that says the image was not changed, to keep the earlier backup `backup`.
std::string KeptText(const std::string& backup)
{
    return Ui_ReplaceFirstPlaceholder(Ui_MessageText(MSG_UTILITY_BACKUP_KEPT), backup.c_str())
        .text();
}

// qemu-io writes a pattern at an offset of a file of a format.
void Pattern(const std::string& format, const std::string& path, int pattern,
             const std::string& offset, const std::string& length)
{
    ASSERT_EQ(
        RunCommand("qemu-io -f " + format + " -c " +
                   Quote("write -P " + std::to_string(pattern) + " " + offset + " " + length) +
                   " " + Quote(path) + " >/dev/null"),
        0);
}

bool ReadsPattern(const std::string& format, const std::string& path, int pattern,
                  const std::string& offset, const std::string& length)
{
    std::string out;
    RunCommand("qemu-io -f " + format + " -c " +
                   Quote("read -P " + std::to_string(pattern) + " " + offset + " " + length) + " " +
                   Quote(path) + " 2>&1",
               &out);
    return out.find("Pattern verification failed") == std::string::npos &&
           out.find("read ") != std::string::npos;
}

// ---- Child images -----------------------------------------------------------------------------
// The files of the child tests: a base image of 32 MiB with 0x42 at 2 MiB (and the further
// patterns `more` writes), its copy "orig", an unrelated file "other.bin" holding "keep", a link
// "alias.<ext>" to the image, and the name of the child to make.
struct ChildScene {
    std::string image, orig, other, alias, child;
};
void MakeChildScene(const TempDir& dir, const std::string& format, const std::string& ext,
                    ChildScene* scene,
                    const std::function<void(const std::string&)>& more = nullptr)
{
    scene->image = dir.file("base." + ext);
    scene->orig = dir.file("orig");
    scene->other = dir.file("other.bin");
    scene->alias = dir.file("alias." + ext);
    scene->child = dir.file("child." + ext);
    ASSERT_EQ(RunCommand("qemu-img create -q -f " + format + " " + Quote(scene->image) + " 32M"),
              0);
    Pattern(format, scene->image, 0x42, "2M", "1M");
    if (more) more(scene->image);
    ASSERT_EQ(RunCommand("cp " + Quote(scene->image) + " " + Quote(scene->orig)), 0);
    ASSERT_EQ(RunCommand("echo keep > " + Quote(scene->other)), 0);
    ASSERT_EQ(RunCommand("ln -s base." + ext + " " + Quote(scene->alias)), 0);
}

// The child button pressed four times: the image itself and the image through the link are
// refused (the first box photographed as `shot`), the other file is kept after a no, and a new
// file becomes the child; `first` looks at the dialog before. The boxes are checked, and that
// the image and the other file stay as they were; *result is the dialog's result.
void RunChildChoices(FXDialogBox* dialog, FXSelector childButton, FXSelector closeButton,
                     const ChildScene& scene, const std::string& shot,
                     const std::function<void(FXWindow*)>& first, FXuint* result)
{
    Script script;
    script.Then([&](FXWindow* w) {
        if (first) first(w);
        Command(dialog, childButton);  // the image itself
        Command(dialog, childButton);  // the image by another name
        Command(dialog, childButton);  // an existing file, kept
        Command(dialog, childButton);  // a new file
        Command(dialog, closeButton);
    });
    script.File(scene.image);
    script.Ok(shot);
    script.File(scene.alias);
    script.Ok();
    script.File(scene.other);
    script.No();
    script.File(scene.child);
    script.Ok();
    *result = script.Run(dialog);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 4u);
    EXPECT_FALSE(Contains({script.boxes[0]}, MSG_UTILITY_CHILD_IS_IMAGE).empty())
        << script.boxes[0];
    EXPECT_FALSE(Contains({script.boxes[1]}, MSG_UTILITY_CHILD_IS_IMAGE).empty())
        << script.boxes[1];
    EXPECT_FALSE(Contains({script.boxes[2]}, 288).empty()) << script.boxes[2];
    EXPECT_TRUE(Says(script.boxes[3], 371)) << script.boxes[3];
    EXPECT_EQ(Cmp(scene.image, scene.orig), "");
    EXPECT_EQ(Shell("cat " + Quote(scene.other)), "keep\n");
}

// ---- Expand-capacity dialog ------------------------------------------------------------------
TEST(ExpandCapacityBounds, TableOfLimits)
{
    struct Case {
        uint64_t current, maximum;
        ExpandCapacityBounds expected;
    };
    const Case cases[] = {
        // The VHD maximum: 2097151 MiB and 2047 GiB at most.
        {204800, 0xFFFFFFFFull, {204801, 0xFFFFFFFFull, 101, 2097151, 1, 2047}},
        // The VMDK limit of one extent.
        {2097152, 0xFFFFFFFFull, {2097153, 0xFFFFFFFFull, 1025, 2097151, 2, 2047}},
        // A maximum that is a whole number of MiB still gives one MiB less.
        {0, 4096, {1, 4096, 1, 1, 1, 0}},
    };
    for (const Case& c : cases) {
        const ExpandCapacityBounds b = ExpandCapacity_Bounds(c.current, c.maximum);
        EXPECT_EQ(b.minSectors, c.expected.minSectors);
        EXPECT_EQ(b.maxSectors, c.expected.maxSectors);
        EXPECT_EQ(b.minMiB, c.expected.minMiB);
        EXPECT_EQ(b.maxMiB, c.expected.maxMiB);
        EXPECT_EQ(b.minGiB, c.expected.minGiB);
        EXPECT_EQ(b.maxGiB, c.expected.maxGiB);
        // Every accepted value lies above the current capacity and within the maximum.
        EXPECT_LE(b.maxMiB << 11, c.maximum);
        EXPECT_LE(b.maxGiB << 21, c.maximum);
    }
}

// Runs the dialog at 2 GiB with the VHD maximum: each (mode, text) is typed and accepted;
// answers whether the dialog ended (61) and the capacity it gave.
std::pair<FXuint, uint64_t> RunExpand(FXuint mode, const char* text, bool shoot = false)
{
    CExpandCapacityDialog dialog(Owner());
    dialog.capacity = 4194304;
    dialog.maximum = 0xFFFFFFFFull;
    Script script;
    bool refused = false;
    script.Then([&](FXWindow* w) {
        EXPECT_EQ(w, &dialog);
        Command(&dialog, mode);
        EXPECT_TRUE(dialog.GetField(mode)->isEnabled());
        for (FXuint other = CExpandCapacityDialog::ID_SECTORS;
             other <= CExpandCapacityDialog::ID_GIB; ++other)
            if (other != mode) {
                EXPECT_FALSE(dialog.GetField(other)->isEnabled());
            }
        dialog.GetField(mode)->setText(text);
        if (shoot) guitest::Screenshot(&dialog, "expand_capacity_dialog");
        Command(&dialog, UI_ID_ACCEPT);
        // A value out of bounds keeps the dialog open with its field focused.
        if (dialog.shown()) {
            refused = true;
            EXPECT_EQ(FocusedLeaf(&dialog), dialog.GetField(mode));
            Command(&dialog, UI_ID_CANCEL);
        }
    });
    script.Yes();
    script.Start();
    const FXuint result = dialog.execute(PLACEMENT_OWNER);
    if (refused) {
        EXPECT_EQ(result, (FXuint)UI_RESULT_CANCEL);
    }
    return {result, dialog.capacity};
}

TEST(ExpandCapacityDialog, BoundsInEveryUnitAndExactMultiples)
{
    App();
    const FXuint S = CExpandCapacityDialog::ID_SECTORS, M = CExpandCapacityDialog::ID_MIB,
                 G = CExpandCapacityDialog::ID_GIB;
    struct Case {
        FXuint mode;
        const char* text;
        bool accepted;
        uint64_t capacity;
    };
    const Case cases[] = {
        {S, "4194304", false, 0},
        {S, "4194305", true, 4194305},
        {M, "2048", false, 0},
        {M, "2049", true, 2049ull << 11},
        {G, "2", false, 0},
        {G, "3", true, 3ull << 21},
        {M, "2097151", true, 2097151ull << 11},
        {M, "2097152", false, 0},
        {G, "2047", true, 2047ull << 21},
        {G, "2048", false, 0},
        {S, "4294967295", true, 0xFFFFFFFFull},
        {S, "4294967296", false, 0},
        {S, "-5", false, 0},
    };
    bool first = true;
    for (const Case& c : cases) {
        const std::pair<FXuint, uint64_t> r = RunExpand(c.mode, c.text, first);
        first = false;
        EXPECT_EQ(r.first, c.accepted ? (FXuint)UI_RESULT_ACCEPT : (FXuint)UI_RESULT_CANCEL)
            << c.text;
        if (c.accepted) {
            EXPECT_EQ(r.second, c.capacity) << c.text;
        } else {
            EXPECT_EQ(r.second, 4194304u) << "cancel leaves the capacity: " << c.text;
        }
    }
}

// ---- VMDK utility dialog ---------------------------------------------------------------------
TEST(VmdkUtilityDialog, RewriteKeepsTheContentAndLeavesTheOldFileUnderDel)
{
    App();
    TempDir dir;
    const std::string image = dir.file("disk.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk " + Quote(image) + " 64M"), 0);
    Pattern("vmdk", image, 0x5A, "1M", "3M");
    Pattern("vmdk", image, 0x33, "40M", "1M");
    ASSERT_EQ(RunCommand("cp " + Quote(image) + " " + Quote(dir.file("orig.vmdk"))), 0);

    CVMwareVmdkUtilityDialog dialog(Owner(), image.c_str());
    Script script;
    script.Then([&](FXWindow* w) {
        EXPECT_EQ(w, &dialog);
        // A sparse base: both rewrites and the map check box are offered.
        EXPECT_TRUE(dialog.GetButton(CVMwareVmdkUtilityDialog::ID_REWRITE_ONE)->isEnabled());
        EXPECT_TRUE(dialog.GetButton(CVMwareVmdkUtilityDialog::ID_REWRITE_KEEP)->isEnabled());
        EXPECT_TRUE(dialog.GetUseMapButton()->isEnabled());
        // On a base image the change button opens the descriptor settings, and says so.
        EXPECT_STREQ(dialog.GetButton(CVMwareVmdkUtilityDialog::ID_CHANGE)->getText().text(),
                     stripHotKey(Ui_MessageText(MSG_UTILITY_CHANGE_SETTINGS)).text());
        guitest::Screenshot(&dialog, "vmdk_utility_dialog");
        guitest::ExpectWholeTexts(&dialog, "VMDK utility dialog");
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_REWRITE_KEEP);
        // Once more, now with an earlier backup under "_del": kept when the user says no.
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_REWRITE_KEEP);
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CLOSE);
    });
    script.Yes("vmdk_rewrite_question");
    script.Ok("vmdk_result_box");
    script.Yes();
    script.No();  // the earlier backup stays
    script.Ok();
    EXPECT_EQ(script.Run(&dialog), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 5u);
    EXPECT_TRUE(Says(script.boxes[1], 371)) << script.boxes[1];
    // Keeping the earlier backup is said as such, with its name.
    EXPECT_NE(script.boxes[4].find(KeptText(image + "_del")), std::string::npos) << script.boxes[4];

    EXPECT_TRUE(Exists(image + "_del"));
    EXPECT_EQ(Cmp(image + "_del", dir.file("orig.vmdk")), "");
    EXPECT_EQ(RunCommand("qemu-img check -q -f vmdk " + Quote(image)), 0);
    EXPECT_EQ(Shell("qemu-img compare -f vmdk -F vmdk " + Quote(image) + " " +
                    Quote(dir.file("orig.vmdk"))),
              "Images are identical.\n");
    // No temporary file is left behind by the refused second commit.
    EXPECT_EQ(Shell("ls " + Quote(dir.path())), "disk.vmdk\ndisk.vmdk_del\norig.vmdk\n");
}

TEST(VmdkUtilityDialog, SplitImageExpandedTo5GiBGrowsByWholeExtents)
{
    App();
    TempDir dir;
    const std::string image = dir.file("split.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse " +
                         Quote(image) + " 100M"),
              0);
    Pattern("vmdk", image, 0x77, "0", "1M");
    Pattern("vmdk", image, 0x78, "99M", "1M");

    CVMwareVmdkUtilityDialog dialog(Owner(), image.c_str());
    Script script;
    script.Press(&dialog,
                 {CVMwareVmdkUtilityDialog::ID_EXPAND, CVMwareVmdkUtilityDialog::ID_CLOSE});
    script.Expand(CExpandCapacityDialog::ID_GIB, "5");
    script.Yes();
    script.Ok();
    script.Run(&dialog);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 2u);
    EXPECT_TRUE(Says(script.boxes[1], 371)) << script.boxes[1];

    const std::string info = Shell("qemu-img info -f vmdk " + Quote(image));
    EXPECT_NE(info.find("virtual size: 5 GiB (5368709120 bytes)"), std::string::npos) << info;
    EXPECT_EQ(RunCommand("qemu-img check -q -f vmdk " + Quote(image)), 0);
    const std::string extents = Shell("grep '^RW' " + Quote(image) + " | awk '{print $2}'");
    EXPECT_EQ(extents, "4192256\n4192256\n2101248\n");
    EXPECT_TRUE(ReadsPattern("vmdk", image, 0x77, "0", "1M"));
    EXPECT_TRUE(ReadsPattern("vmdk", image, 0x78, "99M", "1M"));
    EXPECT_TRUE(ReadsPattern("vmdk", image, 0, "100M", "1G"));
    EXPECT_TRUE(ReadsPattern("vmdk", image, 0, "4G", "1G"));
    EXPECT_TRUE(Exists(image + "_del"));
}

TEST(VmdkUtilityDialog, ChildRefusesTheImageAndAsksBeforeReplacingAFile)
{
    App();
    TempDir dir;
    ChildScene scene;
    ASSERT_NO_FATAL_FAILURE(MakeChildScene(dir, "vmdk", "vmdk", &scene));
    CVMwareVmdkUtilityDialog dialog(Owner(), scene.image.c_str());
    FXuint result = 0;
    ASSERT_NO_FATAL_FAILURE(RunChildChoices(&dialog, CVMwareVmdkUtilityDialog::ID_CHILD,
                                            CVMwareVmdkUtilityDialog::ID_CLOSE, scene,
                                            "vmdk_child_is_image", nullptr, &result));
    EXPECT_EQ(RunCommand("qemu-img check -q -f vmdk " + Quote(scene.child)), 0);
    EXPECT_TRUE(ReadsPattern("vmdk", scene.child, 0x42, "2M", "1M"));
    const std::string info = Shell("qemu-img info -f vmdk " + Quote(scene.child));
    EXPECT_NE(info.find("backing file: base.vmdk"), std::string::npos) << info;
}

TEST(VmdkUtilityDialog, ParameterDialogsRefuseBadGeometryAndWriteOnlyChanges)
{
    App();
    TempDir dir;
    const std::string image = dir.file("p.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse " +
                         Quote(image) + " 20M"),
              0);
    // An earlier backup of the descriptor: given up only when the user says so.
    ASSERT_EQ(RunCommand("echo earlier > " + Quote(image + "_del")), 0);
    const std::string before = Shell("cat " + Quote(image));
    CVMwareVmdkUtilityDialog dialog(Owner(), image.c_str());
    Script script;
    std::string afterRefusal;
    script.Then([&](FXWindow*) {
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CHANGE);  // unchanged: nothing written
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CHANGE);  // lsilogic, backup kept: nothing
        afterRefusal = Shell("cat " + Quote(image));
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CHANGE);  // heads 256 refused, then written
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CLOSE);
    });
    script.Then([&](FXWindow* w) {
        ASSERT_TRUE(w->isMemberOf(FXMETACLASS(CVMwareVmdkUtilityChangeParamDialog)));
        guitest::Screenshot(w, "vmdk_parameter_dialog");
        guitest::ExpectWholeTexts(w, "VMDK parameter dialog");
        Command(w, CVMwareVmdkUtilityChangeParamDialog::ID_OK);
    });
    script.Yes();
    script.Then([&](FXWindow* w) {
        CVMwareVmdkUtilityChangeParamDialog* p =
            static_cast<CVMwareVmdkUtilityChangeParamDialog*>(w);
        p->GetAdapterList()->setCurrentItem(2);
        Command(p, CVMwareVmdkUtilityChangeParamDialog::ID_OK);
    });
    script.Yes();
    script.No();  // keep the earlier backup
    script.Ok();
    script.Then([&](FXWindow* w) {
        CVMwareVmdkUtilityChangeParamDialog* p =
            static_cast<CVMwareVmdkUtilityChangeParamDialog*>(w);
        p->GetHeadField()->setText("256");
        Command(p, CVMwareVmdkUtilityChangeParamDialog::ID_OK);
        EXPECT_TRUE(p->shown());
        EXPECT_EQ(FocusedLeaf(p), p->GetHeadField());
        p->GetHeadField()->setText("16");
        p->GetAdapterList()->setCurrentItem(2);
        Command(p, CVMwareVmdkUtilityChangeParamDialog::ID_OK);
    });
    script.Ok();  // heads 256: the reason
    script.Yes();
    script.Yes();  // give up the earlier backup
    script.Ok();
    script.Run(&dialog);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 8u);
    EXPECT_FALSE(Contains({script.boxes[2]}, 409).empty()) << script.boxes[2];
    EXPECT_NE(script.boxes[3].find(KeptText(image + "_del")), std::string::npos) << script.boxes[3];
    EXPECT_FALSE(Contains({script.boxes[4]}, MSG_FIELD_HEADS_SECTORS).empty()) << script.boxes[4];
    EXPECT_TRUE(Says(script.boxes[7], 371)) << script.boxes[7];
    EXPECT_EQ(afterRefusal, before);
    const std::string after = Shell("cat " + Quote(image));
    EXPECT_NE(after.find("ddb.adapterType = \"lsilogic\""), std::string::npos) << after;
    EXPECT_NE(after.find("ddb.geometry.heads = \"16\""), std::string::npos) << after;
    EXPECT_EQ(RunCommand("qemu-img check -q -f vmdk " + Quote(image)), 0);
}

// An empty parent file name is refused with its reason before anything is asked or written;
// the dialog stays with the field focused.
TEST(VmdkUtilityDialog, EmptyParentHintIsRefusedWithItsReason)
{
    App();
    TempDir dir;
    const std::string base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk " + Quote(base) + " 8M"), 0);
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk -b base.vmdk -F vmdk " + Quote(child)), 0);
    ASSERT_EQ(RunCommand("cp " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
    CVMwareVmdkUtilityDialog dialog(Owner(), child.c_str());
    Script script;
    script.Then([&](FXWindow*) {
        // On a child the change button changes the parent link.
        EXPECT_STREQ(dialog.GetButton(CVMwareVmdkUtilityDialog::ID_CHANGE)->getText().text(),
                     stripHotKey(Ui_MessageText(336)).text());
        guitest::ExpectWholeTexts(&dialog, "VMDK utility dialog of a child");
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CHANGE);
        Command(&dialog, CVMwareVmdkUtilityDialog::ID_CLOSE);
    });
    bool stayed = false, focused = false;
    script.Then([&](FXWindow* w) {
        ASSERT_TRUE(w->isMemberOf(FXMETACLASS(CVMwareVmdkUtilityDifferenceChangeParamDialog)));
        auto* p = static_cast<CVMwareVmdkUtilityDifferenceChangeParamDialog*>(w);
        p->GetHintField()->setText("  ");
        Command(p, UI_ID_ACCEPT);
        stayed = p->shown();
        focused = FocusedLeaf(p) == p->GetHintField();
        Command(p, UI_ID_CANCEL);
    });
    script.Ok();
    script.Run(&dialog);
    ASSERT_TRUE(script.Done());
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(focused);
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_FALSE(Contains(script.boxes, MSG_UTILITY_EMPTY_PARENT_HINT).empty()) << script.boxes[0];
    EXPECT_EQ(Cmp(child, dir.file("orig")), "");
}

// ---- VHD utility dialog -----------------------------------------------------------------------
using LinkDialog = CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog;

// A differencing child of the VHD `base` written by the child creator, with the creator of the
// list's item `creator`.
void MakeVhdChild(const std::string& base, const std::string& child, int creator)
{
    DiskHandle d;
    Disk_Init(&d);
    ASSERT_EQ(Disk_OpenEx(&d, base.c_str(), true, 1, NULL), 0);
    const VhdCreateOptions o = VhdUtility_ChildOptions(creator, 0);
    ASSERT_EQ(Vhd_CreateChild(&d, &o, base.c_str(), child.c_str()), 0);
    Disk_Close(&d);
}

// An empty base.vhd of 8 MiB made by qemu-img, its child child.vhd made here (creator item 2),
// and the child's copy "orig".
void MakeVhdChildScene(const TempDir& dir)
{
    const std::string base = dir.file("base.vhd"), child = dir.file("child.vhd");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc " + Quote(base) + " 8M"), 0);
    ASSERT_NO_FATAL_FAILURE(MakeVhdChild(base, child, 2));
    ASSERT_EQ(RunCommand("cp " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
}

std::string Libvhdi(const std::string& out, const std::string& child, const std::string& parent)
{
    return Shell("/usr/bin/python3 " +
                 Quote(std::string(VDX_TEST_SOURCE_DIR) + "/formats/vhd/vhd_fixtures.py") +
                 " libvhdi " + Quote(out) + " " + Quote(child) + " " + Quote(parent));
}

// Each of the four locators holds its text once: the absolute path in "W2ku" (UTF-16LE) and
// "Wi2k" (Shift_JIS), the relative one in "W2ru" and "Wi2r".
void ExpectLocators(VhdImage* image, const std::string& absolute, const std::string& relative)
{
    ASSERT_NE(image, nullptr);
    const struct {
        uint32_t code;
        std::string text;
        bool utf16;
    } want[] = {{VHD_CODE_W2KU, absolute, true},
                {VHD_CODE_W2RU, relative, true},
                {VHD_CODE_WI2K, absolute, false},
                {VHD_CODE_WI2R, relative, false}};
    for (const auto& w : want) {
        int found = 0;
        for (const VhdParentLocator& loc : image->header.locators) {
            if (loc.platformCode != w.code) continue;
            found++;
            std::vector<uint8_t> data(loc.platformDataLength);
            ASSERT_TRUE(Stream_ReadAt(image->stream, loc.platformDataOffset, loc.platformDataLength,
                                      data.data()));
            std::string text;
            for (size_t i = 0; i < data.size(); i += w.utf16 ? 2 : 1)
                text += static_cast<char>(data[i]);
            EXPECT_EQ(text, w.text) << std::hex << w.code;
        }
        EXPECT_EQ(found, 1) << std::hex << w.code;
    }
}

TEST(VhdUtilityDialog, ChildAndParentRelinkReadByLibvhdi)
{
    if (RunCommand("/usr/bin/python3 -c 'import pyvhdi' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no pyvhdi";
    App();
    TempDir dir;
    const std::string base = dir.file("base.vhd"), child = dir.file("child.vhd");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc " + Quote(base) + " 64M"), 0);
    Pattern("vpc", base, 0x61, "1M", "2M");
    ASSERT_EQ(RunCommand("mkdir " + Quote(dir.file("moved"))), 0);

    CVirtualPCVhdUtilityDialog dialog(Owner(), base.c_str());
    Script script;
    script.Then([&](FXWindow*) {
        EXPECT_TRUE(dialog.GetButton(CVirtualPCVhdUtilityDialog::ID_EXPAND)->isEnabled());
        EXPECT_FALSE(dialog.GetButton(CVirtualPCVhdUtilityDialog::ID_PARENT)->isEnabled());
        // Choosing variant 6 selects creator 5.
        dialog.GetVariantList()->setCurrentItem(6);
        dialog.handle(dialog.GetVariantList(),
                      FXSEL(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_VARIANT), (void*)(FXival)6);
        EXPECT_EQ(dialog.GetCreatorList()->getCurrentItem(), 5);
        dialog.GetVariantList()->setCurrentItem(0);
        dialog.GetCreatorList()->setCurrentItem(2);
        guitest::Screenshot(&dialog, "vhd_utility_dialog");
        guitest::ExpectWholeTexts(&dialog, "VHD utility dialog");
        Command(&dialog, CVirtualPCVhdUtilityDialog::ID_CHILD);
        Command(&dialog, CVirtualPCVhdUtilityDialog::ID_CLOSE);
    });
    script.File(child);
    script.Ok();
    script.Run(&dialog);
    ASSERT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_TRUE(Says(script.boxes[0], 371)) << script.boxes[0];
    std::string json = Libvhdi(dir.file("read1"), child, base);
    EXPECT_EQ(
        Shell("qemu-img convert -f vpc -O raw " + Quote(base) + " " + Quote(dir.file("base.raw")) +
              " && cmp " + Quote(dir.file("read1")) + " " + Quote(dir.file("base.raw"))),
        "");

    // The parent moves to another directory; the child is linked to it again.
    ASSERT_EQ(RunCommand("mv " + Quote(base) + " " + Quote(dir.file("moved/base2.vhd"))), 0);
    const std::string moved = dir.file("moved/base2.vhd");
    CVirtualPCVhdUtilityDialog childDialog(Owner(), child.c_str());
    Script relink;
    relink.Then([&](FXWindow*) {
        EXPECT_FALSE(childDialog.GetButton(CVirtualPCVhdUtilityDialog::ID_EXPAND)->isEnabled());
        EXPECT_TRUE(childDialog.GetButton(CVirtualPCVhdUtilityDialog::ID_PARENT)->isEnabled());
        Command(&childDialog, CVirtualPCVhdUtilityDialog::ID_PARENT);
        Command(&childDialog, CVirtualPCVhdUtilityDialog::ID_CLOSE);
    });
    relink.Then([&](FXWindow* w) {
        ASSERT_TRUE(w->isMemberOf(FXMETACLASS(LinkDialog)));
        auto* p = static_cast<LinkDialog*>(w);
        // The child creator writes relative locators only.
        EXPECT_STREQ(p->GetAbsoluteField()->getText().text(), "");
        EXPECT_STREQ(p->GetRelativeField()->getText().text(), ".\\base.vhd");
        EXPECT_STREQ(p->GetNameField()->getText().text(), "base.vhd");
        p->ChooseParent(moved.c_str());
        EXPECT_STREQ(p->GetRelativeField()->getText().text(), ".\\moved\\base2.vhd");
        EXPECT_STREQ(p->GetNameField()->getText().text(), "base2.vhd");
        guitest::Screenshot(p, "vhd_parent_link_dialog");
        guitest::ExpectWholeTexts(p, "VHD parent link dialog");
        Command(p, LinkDialog::ID_OK);
    });
    relink.Yes();
    relink.Ok();
    relink.Run(&childDialog);
    ASSERT_TRUE(relink.Done());
    ASSERT_EQ(relink.boxes.size(), 2u);
    EXPECT_TRUE(Says(relink.boxes[1], 371)) << relink.boxes[1];
    json = Libvhdi(dir.file("read2"), child, moved);
    EXPECT_NE(json.find("base2.vhd"), std::string::npos) << json;
    EXPECT_EQ(Cmp(dir.file("read2"), dir.file("base.raw")), "");
    // Our own reader finds the new parent by the link alone; the absolute path the dialog
    // showed is stored too, although the child had no absolute locators.
    DiskHandle d;
    Disk_Init(&d);
    ASSERT_EQ(Disk_OpenEx(&d, child.c_str(), true, 0, NULL), 0);
    ExpectLocators(static_cast<VhdImage*>(Disk_GetObject(&d)), moved, ".\\moved\\base2.vhd");
    Disk_Close(&d);
}

// A child made here carries relative locators only. Typing an absolute path in the link dialog
// writes it (both absolute locators are made), and the success box comes only with the change
// on disk; refusals say why and write nothing.
TEST(VhdUtilityDialog, TypedAbsolutePathIsWritten)
{
    App();
    TempDir dir;
    const std::string base = dir.file("base.vhd"), child = dir.file("child.vhd");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc " + Quote(base) + " 8M"), 0);
    for (int creator : {2, 4}) {
        SCOPED_TRACE(creator);
        ASSERT_NO_FATAL_FAILURE(MakeVhdChild(base, child, creator));
        ASSERT_EQ(RunCommand("cp " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
        // The refusal first (a link to the child itself; an empty link is refused by the link
        // dialog before it closes, tested with the other empty fields), then the typed path.
        struct Edit {
            const char* absolute;
            const char* relative;
            int message;
        };
        const std::string self = child;
        const Edit edits[] = {{self.c_str(), ".\\child.vhd", MSG_PARENT_LINK_LOOPS},
                              {base.c_str(), NULL, 371}};
        for (const Edit& e : edits) {
            SCOPED_TRACE(e.message);
            CVirtualPCVhdUtilityDialog dialog(Owner(), child.c_str());
            Script script;
            script.Press(&dialog, {CVirtualPCVhdUtilityDialog::ID_PARENT,
                                   CVirtualPCVhdUtilityDialog::ID_CLOSE});
            script.Then([&](FXWindow* w) {
                auto* p = static_cast<LinkDialog*>(w);
                p->GetAbsoluteField()->setText(e.absolute);
                if (e.relative != NULL) p->GetRelativeField()->setText(e.relative);
                Command(p, LinkDialog::ID_OK);
            });
            script.Yes();
            script.Ok(e.message == MSG_PARENT_LINK_LOOPS ? "vhd_link_refused_box" : "");
            script.Run(&dialog);
            ASSERT_TRUE(script.Done());
            ASSERT_EQ(script.boxes.size(), 2u);
            EXPECT_TRUE(Says(script.boxes[1], e.message)) << script.boxes[1];
            if (e.message != 371) {
                EXPECT_EQ(Cmp(child, dir.file("orig")), "");
            }
        }
        EXPECT_NE(Cmp(child, dir.file("orig")), "");
        DiskHandle d;
        Disk_Init(&d);
        ASSERT_EQ(Disk_OpenEx(&d, child.c_str(), true, 0, NULL), 0);
        ExpectLocators(static_cast<VhdImage*>(Disk_GetObject(&d)), base, ".\\base.vhd");
        Disk_Close(&d);
        EXPECT_EQ(Shell("ls " + Quote(dir.path())), "base.vhd\nchild.vhd\norig\n");
        ASSERT_EQ(RunCommand("rm " + Quote(child)), 0);
    }
}

TEST(VhdUtilityDialog, OverLongParentNameWritesNothing)
{
    App();
    TempDir dir;
    const std::string child = dir.file("child.vhd");
    ASSERT_NO_FATAL_FAILURE(MakeVhdChildScene(dir));
    CVirtualPCVhdUtilityDialog dialog(Owner(), child.c_str());
    Script script;
    script.Press(&dialog,
                 {CVirtualPCVhdUtilityDialog::ID_PARENT, CVirtualPCVhdUtilityDialog::ID_CLOSE});
    script.Then([&](FXWindow* w) {
        auto* p = static_cast<LinkDialog*>(w);
        p->GetNameField()->setText(
            FXString('n', 300));  // 600 bytes in UTF-16: over the 512-byte field
        Command(p, LinkDialog::ID_OK);
    });
    script.Yes();
    script.Ok("vhd_failure_box");
    script.Run(&dialog);
    ASSERT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 2u);
    EXPECT_TRUE(Says(script.boxes[1], MSG_PARENT_LINK_NAME_UNUSABLE)) << script.boxes[1];
    EXPECT_EQ(Cmp(child, dir.file("orig")), "");
    EXPECT_EQ(Shell("ls " + Quote(dir.path())), "base.vhd\nchild.vhd\norig\n");
}

// A link without the parent's name, or without any path, is refused with its reason; nothing is
// asked or written.
TEST(VhdUtilityDialog, EmptyParentLinkIsRefusedWithItsReason)
{
    App();
    TempDir dir;
    const std::string child = dir.file("child.vhd");
    ASSERT_NO_FATAL_FAILURE(MakeVhdChildScene(dir));
    const struct {
        const char* name;
        const char* absolute;
        const char* relative;
    } rows[] = {{"", "", "./base.vhd"}, {"base.vhd", "", ""}};
    for (const auto& r : rows) {
        CVirtualPCVhdUtilityDialog dialog(Owner(), child.c_str());
        Script script;
        script.Press(&dialog,
                     {CVirtualPCVhdUtilityDialog::ID_PARENT, CVirtualPCVhdUtilityDialog::ID_CLOSE});
        bool stayed = false;
        script.Then([&](FXWindow* w) {
            auto* p = static_cast<LinkDialog*>(w);
            p->GetNameField()->setText(r.name);
            p->GetAbsoluteField()->setText(r.absolute);
            p->GetRelativeField()->setText(r.relative);
            Command(p, LinkDialog::ID_OK);
            stayed = p->shown();
            Command(p, LinkDialog::ID_CANCEL);
        });
        script.Ok();
        script.Run(&dialog);
        ASSERT_TRUE(script.Done()) << r.name;
        EXPECT_TRUE(stayed) << r.name;
        ASSERT_EQ(script.boxes.size(), 1u) << r.name;
        EXPECT_FALSE(Contains(script.boxes, MSG_UTILITY_EMPTY_PARENT_LINK).empty())
            << script.boxes[0];
        EXPECT_EQ(Cmp(child, dir.file("orig")), "");
    }
}

TEST(VhdUtilityDialog, ExpandKeepsTheDataAndTablesMatchTheLayout)
{
    App();
    TempDir dir;
    const std::string image = dir.file("e.vhd");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vpc -o force_size=on " + Quote(image) + " 16M"), 0);
    Pattern("vpc", image, 0x19, "0", "1M");
    CVirtualPCVhdUtilityDialog dialog(Owner(), image.c_str());
    Script script;
    script.Press(&dialog,
                 {CVirtualPCVhdUtilityDialog::ID_EXPAND, CVirtualPCVhdUtilityDialog::ID_CLOSE});
    // The dialog offers no more than a VHD holds: 2041 GiB stays in the field, 2040 GiB passes
    // the bounds.
    script.Then([](FXWindow* w) {
        ASSERT_TRUE(w->isMemberOf(FXMETACLASS(CExpandCapacityDialog)));
        CExpandCapacityDialog* e = static_cast<CExpandCapacityDialog*>(w);
        EXPECT_EQ(e->maximum, VHD_MAX_SECTORS);
        Command(e, CExpandCapacityDialog::ID_GIB);
        e->GetField(CExpandCapacityDialog::ID_GIB)->setText("2041");
        Command(e, UI_ID_ACCEPT);
        EXPECT_TRUE(e->shown());
        Command(e, CExpandCapacityDialog::ID_MIB);
        e->GetField(CExpandCapacityDialog::ID_MIB)->setText("48");
        Command(e, UI_ID_ACCEPT);
    });
    script.Yes();
    script.Ok();
    script.Run(&dialog);
    ASSERT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 2u);
    EXPECT_TRUE(Says(script.boxes[1], 371)) << script.boxes[1];
    const std::string opts = "driver=vpc,force_size_calc=current_size,file.filename=" + image;
    const std::string info = Shell("qemu-img info --image-opts " + Quote(opts));
    EXPECT_NE(info.find("(50331648 bytes)"), std::string::npos) << info;
    EXPECT_TRUE(Exists(image + "_del"));
    EXPECT_EQ(
        Shell("qemu-io -c 'read -P 0x19 0 1M' --image-opts " + Quote(opts) + " | grep -c 'read '"),
        "1\n");

    // Presets of the lists follow the layout.
    int variant = -1, creator = -1;
    VhdUtility_PresetFromLayout(true, 0, 4096, 1, 0, &variant, &creator);
    EXPECT_EQ(variant, 5);
    EXPECT_EQ(creator, 4);
    VhdUtility_PresetFromLayout(false, 1, 4096, 7, 0, &variant, &creator);
    EXPECT_EQ(variant, 6);
    EXPECT_EQ(creator, 5);
    VhdUtility_PresetFromLayout(false, 0, 0x8000, 4, 0, &variant, &creator);
    EXPECT_EQ(variant, 2);
    VhdUtility_PresetFromLayout(false, 0, 4096, 1, 0x00010000, &variant, &creator);
    EXPECT_EQ(variant, 4);
    EXPECT_EQ(creator, 3);
}

// ---- qcow2 utility dialog ---------------------------------------------------------------------
TEST(Qcow2UtilityDialog, ChildPassesCheckReadsTheBaseAndNeverReplacesItUnasked)
{
    App();
    TempDir dir;
    ChildScene scene;
    ASSERT_NO_FATAL_FAILURE(MakeChildScene(
        dir, "qcow2", "qcow2", &scene,
        [](const std::string& image) { Pattern("qcow2", image, 0x17, "30M", "64k"); }));
    CQemuQcow2UtilityDialog dialog(Owner(), scene.image.c_str());
    FXuint result = 0;
    ASSERT_NO_FATAL_FAILURE(RunChildChoices(
        &dialog, CQemuQcow2UtilityDialog::ID_CHILD, CQemuQcow2UtilityDialog::ID_CLOSE, scene,
        "qcow2_child_is_image",
        [&](FXWindow* w) {
            EXPECT_EQ(w, &dialog);
            // No backing file: nothing to rename; the close button has the focus.
            EXPECT_TRUE(dialog.GetButton(CQemuQcow2UtilityDialog::ID_CHILD)->isEnabled());
            EXPECT_FALSE(dialog.GetButton(CQemuQcow2UtilityDialog::ID_CHANGE)->isEnabled());
            EXPECT_EQ(FocusedLeaf(&dialog), dialog.GetButton(CQemuQcow2UtilityDialog::ID_CLOSE));
            guitest::Screenshot(&dialog, "qcow2_utility_dialog");
            guitest::ExpectWholeTexts(&dialog, "qcow2 utility dialog");
        },
        &result));
    EXPECT_EQ(result, (FXuint)UI_RESULT_ACCEPT);
    const std::string& child = scene.child;
    EXPECT_EQ(RunCommand("qemu-img check -q -f qcow2 " + Quote(child)), 0);
    EXPECT_EQ(
        Shell("qemu-img compare -f qcow2 -F qcow2 " + Quote(child) + " " + Quote(scene.image)),
        "Images are identical.\n");
    const std::string info = Shell("qemu-img info -f qcow2 " + Quote(child));
    EXPECT_NE(info.find("backing file: base.qcow2"), std::string::npos) << info;
}

// A child of base.qcow2 written by qemu-img (clusters of `cluster` bytes); its copy in "orig".
void MakeQcow2Child(const TempDir& dir, const std::string& cluster)
{
    const std::string base = dir.file("base.qcow2"), child = dir.file("child.qcow2");
    ASSERT_EQ(RunCommand("qemu-img create -q -f qcow2 -o cluster_size=" + cluster + " " +
                         Quote(base) + " 16M"),
              0);
    Pattern("qcow2", base, 0x6C, "1M", "2M");
    ASSERT_EQ(RunCommand("qemu-img create -q -f qcow2 -o cluster_size=" + cluster +
                         " -b base.qcow2 -F qcow2 " + Quote(child)),
              0);
    Pattern("qcow2", child, 0x21, "8M", "64k");
    ASSERT_EQ(RunCommand("cp " + Quote(child) + " " + Quote(dir.file("orig"))), 0);
}

TEST(Qcow2UtilityDialog, BackingNameRoundTripsThroughBothPathForms)
{
    App();
    TempDir dir;
    MakeQcow2Child(dir, "65536");
    const std::string base = dir.file("base.qcow2"), child = dir.file("child.qcow2"),
                      copy = dir.file("copy.qcow2");
    ASSERT_EQ(RunCommand("cp " + Quote(base) + " " + Quote(copy)), 0);

    CQemuQcow2UtilityDialog dialog(Owner(), child.c_str());
    Script script;
    script.Then([&](FXWindow*) {
        EXPECT_TRUE(dialog.GetButton(CQemuQcow2UtilityDialog::ID_CHANGE)->isEnabled());
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CHANGE);  // cancelled: nothing
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CHANGE);  // renamed
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CLOSE);
    });
    script.Then([&](FXWindow* w) {
        ASSERT_TRUE(w->isMemberOf(FXMETACLASS(CQemuQcow2UtilityDifferenceChangeParamDialog)));
        auto* p = static_cast<CQemuQcow2UtilityDifferenceChangeParamDialog*>(w);
        p->GetNameField()->setText("copy.qcow2");
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_CANCEL);
    });
    script.Then([&](FXWindow* w) {
        auto* p = static_cast<CQemuQcow2UtilityDifferenceChangeParamDialog*>(w);
        // The stored name is relative: shown so, and switched to the absolute form and back.
        EXPECT_STREQ(p->GetNameField()->getText().text(), "base.qcow2");
        EXPECT_EQ(p->GetPathMode(),
                  (FXuint)CQemuQcow2UtilityDifferenceChangeParamDialog::ID_RELATIVE);
        EXPECT_EQ(FocusedLeaf(p), p->GetNameField());
        guitest::Screenshot(p, "qcow2_backing_name_dialog");
        guitest::ExpectWholeTexts(p, "qcow2 backing name dialog");
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_ABSOLUTE);
        EXPECT_EQ(p->GetPathMode(),
                  (FXuint)CQemuQcow2UtilityDifferenceChangeParamDialog::ID_ABSOLUTE);
        EXPECT_STREQ(p->GetNameField()->getText().text(), base.c_str());
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_RELATIVE);
        EXPECT_STREQ(p->GetNameField()->getText().text(), "base.qcow2");
        p->GetNameField()->setText("copy.qcow2");
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_OK);
        EXPECT_TRUE(p->shown());  // not yet written: the dialog stays
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_OK);
    });
    script.No();
    script.Yes();
    script.Ok();
    script.Run(&dialog);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 3u);
    EXPECT_FALSE(Contains({script.boxes[0]}, 343).empty()) << script.boxes[0];
    EXPECT_TRUE(Says(script.boxes[2], 371)) << script.boxes[2];

    const std::string info = Shell("qemu-img info -f qcow2 " + Quote(child));
    EXPECT_NE(info.find("backing file: copy.qcow2"), std::string::npos) << info;
    EXPECT_EQ(RunCommand("qemu-img check -q -f qcow2 " + Quote(child)), 0);
    // The child reads through the copy alone: the old base is gone.
    ASSERT_EQ(RunCommand("qemu-img convert -f qcow2 -O raw " + Quote(dir.file("orig")) + " " +
                         Quote(dir.file("before.raw"))),
              0);
    ASSERT_EQ(RunCommand("rm " + Quote(base)), 0);
    EXPECT_EQ(Shell("qemu-img compare -f qcow2 -F raw " + Quote(child) + " " +
                    Quote(dir.file("before.raw"))),
              "Images are identical.\n");
}

// A child of a child: never over the backing file (by its name or a link to it); an existing
// other file only after a yes to a question whose focused button is "No".
TEST(Qcow2UtilityDialog, ChildRefusesTheBackingFileAndAsksWithNoAsTheDefault)
{
    App();
    TempDir dir;
    MakeQcow2Child(dir, "65536");
    const std::string base = dir.file("base.qcow2"), child = dir.file("child.qcow2"),
                      other = dir.file("other.bin");
    ASSERT_EQ(RunCommand("cp " + Quote(base) + " " + Quote(dir.file("base.orig")) +
                         " && ln -s base.qcow2 " + Quote(dir.file("link.qcow2")) +
                         " && echo keep > " + Quote(other)),
              0);
    CQemuQcow2UtilityDialog dialog(Owner(), child.c_str());
    Script script;
    script.Then([&](FXWindow*) {
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CHILD);  // the backing file
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CHILD);  // a link to it
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CHILD);  // an existing file, replaced
        Command(&dialog, CQemuQcow2UtilityDialog::ID_CLOSE);
    });
    script.File(base);
    script.Ok();
    script.File(dir.file("link.qcow2"));
    script.Ok();
    script.File(other);
    FXWindow* focused = NULL;
    FXWindow* box = NULL;
    script.Then([&](FXWindow* w) {
        box = w;
        focused = FocusedLeaf(w);
        script.boxes.push_back(guitest::LabelTexts(w));
        EXPECT_TRUE(focused != NULL && focused->getSelector() == FXMessageBox::ID_CLICKED_NO)
            << (focused ? focused->getClassName() : "none") << " "
            << (focused ? focused->getSelector() : 0);
        Command(w, FXMessageBox::ID_CLICKED_YES);
    });
    script.Ok();
    script.Run(&dialog);
    EXPECT_TRUE(script.Done());
    ASSERT_EQ(script.boxes.size(), 4u);
    EXPECT_FALSE(Contains({script.boxes[0]}, 432).empty()) << script.boxes[0];
    EXPECT_FALSE(Contains({script.boxes[1]}, 432).empty()) << script.boxes[1];
    EXPECT_FALSE(Contains({script.boxes[2]}, 288).empty()) << script.boxes[2];
    EXPECT_TRUE(Says(script.boxes[3], 371)) << script.boxes[3];
    EXPECT_EQ(Cmp(base, dir.file("base.orig")), "");
    EXPECT_EQ(RunCommand("qemu-img check -q -f qcow2 " + Quote(other)), 0);
    EXPECT_EQ(Shell("qemu-img compare -f qcow2 -F qcow2 " + Quote(other) + " " + Quote(child)),
              "Images are identical.\n");
}

// The change dialog with a typed name: the boxes seen, and whether the child is byte-identical.
struct ChangeOutcome {
    std::vector<std::string> boxes;
    bool unchanged;
};
ChangeOutcome RunChange(const TempDir& dir, const FXString& name, bool confirmed,
                        const std::string& shot)
{
    const std::string child = dir.file("child.qcow2");
    CQemuQcow2UtilityDialog dialog(Owner(), child.c_str());
    Script script;
    script.Press(&dialog, {CQemuQcow2UtilityDialog::ID_CHANGE, CQemuQcow2UtilityDialog::ID_CLOSE});
    script.Then([&](FXWindow* w) {
        auto* p = static_cast<CQemuQcow2UtilityDifferenceChangeParamDialog*>(w);
        p->GetNameField()->setText(name);
        Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_OK);
        if (!confirmed) {
            // Refused before the question: the dialog stays with its field focused.
            EXPECT_TRUE(p->shown());
            EXPECT_EQ(FocusedLeaf(p), p->GetNameField());
            Command(p, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_CANCEL);
        }
    });
    if (confirmed) script.Yes();
    script.Ok(shot);
    script.Run(&dialog);
    EXPECT_TRUE(script.Done());
    return {script.boxes, Cmp(child, dir.file("orig")).empty()};
}

TEST(Qcow2UtilityDialog, EmptyAndSelfNamesRefusedAndFailedChangeShownWithNothingWritten)
{
    App();
    TempDir dir;
    // Clusters of 512 bytes leave little room after the header for the name.
    MakeQcow2Child(dir, "512");
    for (const char* empty : {"", "   "}) {
        const ChangeOutcome o = RunChange(dir, empty, false, *empty ? "" : "qcow2_empty_name_box");
        ASSERT_EQ(o.boxes.size(), 1u) << empty;
        EXPECT_FALSE(Contains(o.boxes, MSG_UTILITY_EMPTY_BACKING_NAME).empty()) << o.boxes[0];
        EXPECT_TRUE(o.unchanged) << "'" << empty << "'";
    }
    // The image itself, by its own name, through another spelling or by its absolute path.
    const std::string self[] = {"child.qcow2", "./sub/../child.qcow2", dir.file("child.qcow2")};
    RunCommand("mkdir " + Quote(dir.file("sub")));
    for (const std::string& name : self) {
        const ChangeOutcome o = RunChange(dir, name.c_str(), false, "");
        ASSERT_EQ(o.boxes.size(), 1u) << name;
        EXPECT_FALSE(Contains(o.boxes, MSG_UTILITY_BACKING_IS_IMAGE).empty()) << o.boxes[0];
        EXPECT_TRUE(o.unchanged) << name;
    }
    RunCommand("rmdir " + Quote(dir.file("sub")));
    // A name longer than the room in its cluster: the engine refuses it.
    const ChangeOutcome o = RunChange(dir, FXString('n', 600), true, "qcow2_failure_box");
    ASSERT_EQ(o.boxes.size(), 2u);
    EXPECT_FALSE(Contains({o.boxes[1]}, 433).empty()) << o.boxes[1];
    EXPECT_TRUE(o.unchanged);
    EXPECT_EQ(Shell("ls " + Quote(dir.path())), "base.qcow2\nchild.qcow2\norig\n");
    const std::string info = Shell("qemu-img info -f qcow2 " + Quote(dir.file("child.qcow2")));
    EXPECT_NE(info.find("backing file: base.qcow2"), std::string::npos) << info;
}

}  // namespace
