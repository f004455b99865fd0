// The Parallels snapshot picker: the tree of snapshots (children under their parent whatever the
// letter case of the parent GUID, loops and self-parents shown once or not at all), and the
// alternative opener opening a two-snapshot bundle at the picked snapshot.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "gui/frame/parallels_snapshot_dialog.h"
#include "gui_test_util.h"
#include "support/test_support.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Modal;
using guitest::Owner;

namespace {

const char kNull[] = "{00000000-0000-0000-0000-000000000000}";

TextView V(const std::string& s)
{
    return TextView{reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size())};
}

struct List {
    std::vector<std::string> guids, parents;
    std::vector<TextView> g, p;
    ParallelsSnapshotList list;
    List(std::vector<std::string> gs, std::vector<std::string> ps) : guids(gs), parents(ps)
    {
        for (size_t i = 0; i < guids.size(); i++) {
            g.push_back(V(guids[i]));
            p.push_back(V(parents[i]));
        }
        list.text = nullptr;
        list.count = static_cast<uint32_t>(guids.size());
        list.guids = g.data();
        list.parents = p.data();
    }
};

TEST(ParallelsSnapshotTree, ChildrenUnderTheirParentsOnce)
{
    App();
    List l({"{A}", "{B}", "{C}", "{D}", "{E}", "{F}"},
           {kNull, "{a}", "{a}", "{C}", "{E}", "{f}"});  // E and F are their own parents
    CParallelsDiskSelectorDialog dialog(Owner(), &l.list);
    EXPECT_TRUE(dialog.filled);
    FXTreeList* tree = dialog.GetTreeList();
    FXTreeItem* root = tree->getFirstItem();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getNext(), nullptr);  // one top-level item
    EXPECT_STREQ(root->getText().text(), "{A}");
    ASSERT_EQ(root->getNumChildren(), 2);
    EXPECT_STREQ(root->getFirst()->getText().text(), "{B}");
    EXPECT_STREQ(root->getFirst()->getNext()->getText().text(), "{C}");
    EXPECT_STREQ(root->getFirst()->getNext()->getFirst()->getText().text(), "{D}");
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(tree->getNumItems(), 1);
    // A loop of two snapshots hangs nowhere and ends.
    List loop({"{X}", "{Y}"}, {"{Y}", "{X}"});
    CParallelsDiskSelectorDialog d2(Owner(), &loop.list);
    EXPECT_EQ(d2.GetTreeList()->getFirstItem(), nullptr);
    // A GUID longer than an item holds stops the filling.
    List longGuid({std::string(129, 'a')}, {kNull});
    CParallelsDiskSelectorDialog d3(Owner(), &longGuid.list);
    EXPECT_FALSE(d3.filled);
}

TEST(ParallelsSnapshotPicker, OpensTheBundleAtThePickedSnapshot)
{
    App();
    testsupport::TempDir dir;
    // A one-snapshot bundle, then a child snapshot holding one changed block.
    std::vector<uint8_t> base = testsupport::RandomBytes(200 * 512, 3);
    testsupport::WriteFile(dir.file("base.raw"), base);
    DiskGeometry g = {};
    g.heads = 2;
    g.sectors_per_track = 10;
    g.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&g, 200);
    DiskHandle src;
    Disk_Init(&src);
    ASSERT_EQ(Disk_OpenRaw(&src, dir.file("base.raw").c_str(), true, 0, &g), DISK_OK);
    const std::string b = dir.file("vm.hdd");
    ParallelsBundleCreateOptions o = {1, 0, 0};
    ASSERT_EQ(ParallelsBundle_Create(b.c_str(), &src, nullptr, nullptr, nullptr, &o), DISK_OK);
    Disk_Close(&src);
    std::vector<uint8_t> delta(base.size(), 0);
    std::memset(delta.data() + 20 * 512, 0x77, 10 * 512);
    testsupport::WriteFile(dir.file("delta.raw"), delta);
    ASSERT_EQ(Disk_OpenRaw(&src, dir.file("delta.raw").c_str(), true, 0, &g), DISK_OK);
    ASSERT_EQ(ParallelsData_Create((b + "/child.hds").c_str(), &src, nullptr, 0, 200, 0, nullptr,
                                   nullptr, 200),
              DISK_OK);
    Disk_Close(&src);
    std::vector<uint8_t> d = testsupport::ReadFile(b + "/DiskDescriptor.xml");
    std::string text(d.begin(), d.end());
    const std::string child = "{0badc0de-0000-4000-8000-000000000001}";
    text.insert(
        text.find("</Storage>"),
        "<Image><GUID>" + child + "</GUID><Type>Compressed</Type><File>child.hds</File></Image>");
    text.insert(
        text.find("</Snapshots>"),
        "<Shot><GUID>" + child +
            "</GUID><ParentGUID>{5FBAABE3-6958-40FF-92A7-860E329AAB41}</ParentGUID></Shot>");
    testsupport::WriteFile(b + "/DiskDescriptor.xml",
                           std::vector<uint8_t>(text.begin(), text.end()));

    for (bool accept : {false, true}) {
        DiskHandle h;
        Disk_Init(&h);
        bool taken = false;
        After(150, [&] {
            CParallelsDiskSelectorDialog* dialog =
                dynamic_cast<CParallelsDiskSelectorDialog*>(Modal());
            ASSERT_NE(dialog, nullptr);
            FXTreeList* tree = dialog->GetTreeList();
            FXTreeItem* root = tree->getFirstItem();
            ASSERT_NE(root, nullptr);
            FXTreeItem* leaf = root->getFirst();  // the upper-case parent GUID attaches it
            ASSERT_NE(leaf, nullptr);
            tree->setCurrentItem(leaf);
            tree->selectItem(leaf);
            guitest::Screenshot(dialog, "parallels_snapshot_picker");
            Command(dialog, accept ? UI_ID_ACCEPT : UI_ID_CANCEL);
        });
        const int rc = Ui_OpenParallelsSnapshot(&h, (b + "/vm.hdd").c_str(), true, &taken, Owner());
        EXPECT_TRUE(taken);
        if (!accept) {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(h.object, nullptr);
            continue;
        }
        ASSERT_EQ(rc, DISK_OK);
        std::vector<uint8_t> got(base.size());
        ASSERT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(got.size()), got.data()), DISK_OK);
        std::vector<uint8_t> expect = base;
        std::memset(expect.data() + 20 * 512, 0x77, 10 * 512);
        EXPECT_TRUE(got == expect);
        Disk_Close(&h);
    }
    // Not a bundle: not taken.
    testsupport::WriteFile(dir.file("plain.img"), std::vector<uint8_t>(4096, 1));
    DiskHandle h;
    Disk_Init(&h);
    bool taken = true;
    EXPECT_NE(Ui_OpenParallelsSnapshot(&h, dir.file("plain.img").c_str(), true, &taken, Owner()),
              DISK_OK);
    EXPECT_FALSE(taken);
}

}  // namespace
