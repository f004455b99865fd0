// The VirtualBox machine-file picker: the tree of registered disks with their labels, a disk
// three levels down opening with its parents nearest first (the merged content read back), a
// disk that is no VDI opened by the general open, cancel, and files that are not taken.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "gui/frame/vbox_machine_dialog.h"
#include "gui_test_util.h"
#include "support/test_support.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Owner;
using testsupport::Quote;

namespace {

const uint32_t MiB = 1048576;

void BuildVdi(const std::string& json)
{
    std::string out;
    const std::string tool = std::string(VDX_TEST_SOURCE_DIR) + "/formats/vdi/vdi_fixtures.py";
    ASSERT_EQ(
        testsupport::RunCommand("python3 " + Quote(tool) + " build " + Quote(json) + " 2>&1", &out),
        0)
        << out;
}

void Write(const std::string& path, const std::string& text)
{
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// Picks the item whose text starts with `path` (searching the whole tree), then accepts or
// cancels.
FXTreeItem* FindItem(FXTreeItem* item, const std::string& prefix)
{
    for (; item != nullptr; item = item->getNext()) {
        if (std::string(item->getText().text()).compare(0, prefix.size(), prefix) == 0) return item;
        FXTreeItem* below = FindItem(item->getFirst(), prefix);
        if (below != nullptr) return below;
    }
    return nullptr;
}

int OpenPicking(DiskHandle* h, const std::string& machine, const std::string& pick, bool accept,
                bool* taken, const char* screenshot = nullptr)
{
    After(150, [&] {
        CVirtualBoxSelectFileDialog* dialog = dynamic_cast<CVirtualBoxSelectFileDialog*>(Modal());
        ASSERT_NE(dialog, nullptr);
        FXTreeList* tree = dialog->GetTreeList();
        FXTreeItem* item = FindItem(tree->getFirstItem(), pick);
        ASSERT_NE(item, nullptr);
        tree->setCurrentItem(item);
        tree->selectItem(item);
        if (screenshot != nullptr) guitest::Screenshot(dialog, screenshot);
        Command(dialog, accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
    });
    return Ui_OpenVirtualBoxMachine(h, machine.c_str(), true, taken, Owner());
}

TEST(VirtualBoxPicker, TreeOfDisksWithLabels)
{
    App();
    VBoxDiskList list(3);
    const char* paths[3] = {"/d/base.vdi", "/d/mid.vdi", "/d/other.vdi"};
    const int32_t parents[3] = {-1, 0, -1};
    for (int i = 0; i < 3; i++) {
        std::strcpy(list[i].path, paths[i]);
        list[i].parent = parents[i];
        list[i].hasLabel = i == 1;
    }
    list[1].label = "Snap";
    CVirtualBoxSelectFileDialog dialog(Owner(), &list);
    FXTreeItem* root = dialog.GetTreeList()->getFirstItem();
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->getText().text(), "/d/base.vdi");
    EXPECT_TRUE(root->isExpanded());
    ASSERT_NE(root->getFirst(), nullptr);
    EXPECT_STREQ(root->getFirst()->getText().text(), "/d/mid.vdi (Snap)");
    ASSERT_NE(root->getNext(), nullptr);
    EXPECT_STREQ(root->getNext()->getText().text(), "/d/other.vdi");
}

// Long paths with their state labels show whole: the picker grows to its widest item, and its
// own texts fit.
TEST(VirtualBoxPicker, ShowsEveryPathAndLabelWhole)
{
    App();
    VBoxDiskList list(3);
    const std::string folder = "/srv/virtual-machines/a-machine-with-a-long-name/Snapshots/";
    const char* names[3] = {"base-disk-of-the-machine.vdi",
                            "{0c5b3a2e-8d61-4f2b-9a7e-1f2d3c4b5a69}.vdi",
                            "{7e6d5c4b-3a29-4181-8f7e-6d5c4b3a2918}.vdi"};
    for (int i = 0; i < 3; i++) {
        std::strcpy(list[i].path, (folder + names[i]).c_str());
        list[i].parent = i - 1;
        list[i].hasLabel = true;
        list[i].label = i == 2 ? Ui_MessageText(322).text() : "Snapshot taken before the update";
    }
    CVirtualBoxSelectFileDialog dialog(Owner(), &list);
    After(150, [&] {
        FXTreeList* tree = dialog.GetTreeList();
        EXPECT_LE(tree->getContentWidth(), tree->getViewportWidth());
        guitest::ExpectWholeTexts(&dialog, "VirtualBox picker");
        guitest::Screenshot(&dialog, "vbox_picker_long_paths");
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_CANCEL);
}

TEST(VirtualBoxPicker, ChainOfThreeOpensNearestFirst)
{
    App();
    testsupport::TempDir dir;
    // The base is made by qemu-img from a raw file: blocks 0..3 filled with 0x11..0x44.
    std::vector<uint8_t> raw(4 * MiB);
    for (int b = 0; b < 4; b++) std::memset(raw.data() + b * MiB, 0x11 * (b + 1), MiB);
    testsupport::WriteFile(dir.file("base.raw"), raw);
    ASSERT_EQ(
        testsupport::RunCommand("qemu-img convert -f raw -O vdi " + Quote(dir.file("base.raw")) +
                                " " + Quote(dir.file("base.vdi")) + " 2>&1"),
        0);
    // The middle disk stores block 1 and block 3, the top disk block 3 again: read nearest
    // first, block 3 comes from the top; read in the wrong order, from the middle.
    BuildVdi("{\"path\":\"" + dir.file("mid.vdi") +
             "\",\"disk_size\":4194304,\"type\":4,\"blocks_data\":{\"1\":161,\"3\":162}}");
    BuildVdi("{\"path\":\"" + dir.file("top.vdi") +
             "\",\"disk_size\":4194304,\"type\":4,\"blocks_data\":{\"3\":195}}");
    testsupport::WriteFile(dir.file("plain.img"), std::vector<uint8_t>(MiB, 0x5A));
    ASSERT_EQ(
        testsupport::RunCommand("qemu-img convert -f raw -O qcow2 " + Quote(dir.file("plain.img")) +
                                " " + Quote(dir.file("other.qcow2")) + " 2>&1"),
        0);
    const std::string machine = dir.file("vm.vbox");
    Write(
        machine,
        "<?xml version=\"1.0\"?><VirtualBox><Machine name=\"vm\"><MediaRegistry><HardDisks>"
        "<HardDisk uuid=\"{1}\" location=\"base.vdi\"><HardDisk uuid=\"{2}\" location=\"mid.vdi\">"
        "<HardDisk uuid=\"{3}\" location=\"top.vdi\"/></HardDisk></HardDisk>"
        "<HardDisk uuid=\"{4}\" location=\"other.qcow2\"/></HardDisks></MediaRegistry>"
        "<StorageControllers><StorageController><AttachedDevice><Image uuid=\"{3}\"/>"
        "</AttachedDevice></StorageController></StorageControllers></Machine></VirtualBox>");

    DiskHandle h;
    Disk_Init(&h);
    bool taken = false;
    ASSERT_EQ(OpenPicking(&h, machine, dir.file("top.vdi"), true, &taken, "virtualbox_disk_picker"),
              DISK_OK);
    EXPECT_TRUE(taken);
    EXPECT_TRUE(Disk_HasParent(&h));
    std::vector<uint8_t> got(4 * MiB);
    ASSERT_EQ(Disk_Read(&h, 0, 4 * MiB, got.data()), DISK_OK);
    const uint8_t expect[4] = {0x11, 0xA1, 0x33, 0xC3};
    for (int b = 0; b < 4; b++) {
        EXPECT_EQ(got[b * MiB], expect[b]) << b;
        EXPECT_EQ(got[b * MiB + MiB - 1], expect[b]) << b;
    }
    Disk_Close(&h);

    // A disk that is no VDI image opens through the general open.
    Disk_Init(&h);
    ASSERT_EQ(OpenPicking(&h, machine, dir.file("other.qcow2"), true, &taken), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_QCOW2);
    std::vector<uint8_t> first(512);
    ASSERT_EQ(Disk_Read(&h, 0, 512, first.data()), DISK_OK);
    EXPECT_EQ(first[0], 0x5A);
    Disk_Close(&h);

    // Cancel answers 1 with nothing opened.
    Disk_Init(&h);
    EXPECT_EQ(OpenPicking(&h, machine, dir.file("mid.vdi"), false, &taken), 1);
    EXPECT_TRUE(taken);
    EXPECT_EQ(h.object, nullptr);

    // Files that are not taken: a plain image, an oversized machine file; an empty disk list is
    // taken and fails.
    Write(dir.file("big.vbox"), std::string(VBOX_MACHINE_MAX_FILE + 1, ' '));
    for (const std::string& path : {dir.file("plain.img"), dir.file("big.vbox")}) {
        taken = true;
        EXPECT_NE(Ui_OpenVirtualBoxMachine(&h, path.c_str(), true, &taken, Owner()), DISK_OK)
            << path;
        EXPECT_FALSE(taken) << path;
    }
    Write(dir.file("empty.vbox"),
          "<VirtualBox><Global><MediaRegistry><HardDisks/></MediaRegistry></Global></VirtualBox>");
    taken = false;
    EXPECT_NE(Ui_OpenVirtualBoxMachine(&h, dir.file("empty.vbox").c_str(), true, &taken, Owner()),
              DISK_OK);
    EXPECT_TRUE(taken);
}

}  // namespace
