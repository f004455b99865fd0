// VirtualBox machine descriptions: the three layouts and their priority, children under their
// parents, labels from the current state before snapshots, relative paths resolved against the
// machine file, and refused files (too large, unreadable, malformed, not UTF-8, hostile nesting).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/vdi/vbox_machine.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

void Write(const std::string& path, const std::string& text)
{
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool Read(const std::string& path, VBoxDiskList* out)
{
    return VBoxMachine_ReadDisks(path.c_str(), "Current state", out);
}

TEST(VBoxMachine, LayoutsChildrenAndLabels)
{
    TempDir dir;
    const std::string m = dir.file("vm.vbox");
    // The old DiskRegistry wins over a MediaRegistry in the same file.
    Write(m,
          "<VirtualBox><Global><MediaRegistry><HardDisks><HardDisk location=\"/x.vdi\"/>"
          "</HardDisks></MediaRegistry><DiskRegistry><HardDisks><HardDisk>"
          "<VirtualDiskImage filePath=\"base.vdi\"/><DiffHardDisk><VirtualDiskImage "
          "filePath=\"sub/diff.vdi\"/></DiffHardDisk></HardDisk></HardDisks></DiskRegistry>"
          "</Global></VirtualBox>");
    VBoxDiskList l;
    ASSERT_TRUE(Read(m, &l));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(std::string(l[0].path), dir.file("base.vdi"));
    EXPECT_EQ(l[0].parent, -1);
    EXPECT_EQ(std::string(l[1].path), dir.file("sub/diff.vdi"));
    EXPECT_EQ(l[1].parent, 0);
    EXPECT_FALSE(l[0].hasLabel);

    // Machine layout: nested children, a disk attached by the state and by a snapshot takes the
    // state's label, uuids compared without case, an unnamed snapshot skipped with its subtree.
    Write(
        m,
        "<VirtualBox><Machine><MediaRegistry><HardDisks>"
        "<HardDisk uuid=\"{AA}\" location=\"/d/a.vdi\"><HardDisk uuid=\"{bb}\" location=\"b.vdi\">"
        "<HardDisk uuid=\"{cc}\" location=\"c.vdi\"/></HardDisk></HardDisk>"
        "<HardDisk uuid=\"{dd}\" location=\"/d/d.vdi\"/></HardDisks></MediaRegistry>"
        "<StorageControllers><StorageController><AttachedDevice><Image uuid=\"{CC}\"/>"
        "</AttachedDevice></StorageController></StorageControllers>"
        "<Snapshot name=\"First\"><StorageControllers><StorageController><AttachedDevice>"
        "<Image uuid=\"{aa}\"/></AttachedDevice></StorageController></StorageControllers>"
        "<Snapshots><Snapshot name=\"Second\"><StorageControllers><StorageController>"
        "<AttachedDevice><Image uuid=\"{BB}\"/><Image uuid=\"{cc}\"/></AttachedDevice>"
        "</StorageController></StorageControllers></Snapshot><Snapshot><StorageControllers>"
        "<StorageController><AttachedDevice><Image uuid=\"{dd}\"/></AttachedDevice>"
        "</StorageController></StorageControllers></Snapshot></Snapshots></Snapshot>"
        "</Machine></VirtualBox>");
    ASSERT_TRUE(Read(m, &l));
    ASSERT_EQ(l.size(), 4u);
    const int32_t parents[4] = {-1, 0, 1, -1};
    const char* labels[4] = {"First", "Second", "Current state", nullptr};
    const std::string paths[4] = {"/d/a.vdi", dir.file("b.vdi"), dir.file("c.vdi"), "/d/d.vdi"};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(l[i].parent, parents[i]) << i;
        EXPECT_EQ(std::string(l[i].path), paths[i]) << i;
        EXPECT_EQ(l[i].hasLabel, labels[i] != nullptr) << i;
        if (labels[i] != nullptr) {
            EXPECT_EQ(l[i].label, labels[i]) << i;
        }
    }
    // Global MediaRegistry layout.
    Write(m,
          "<VirtualBox><Global><MediaRegistry><HardDisks><HardDisk location=\"g.vdi\"/>"
          "</HardDisks></MediaRegistry></Global></VirtualBox>");
    ASSERT_TRUE(Read(m, &l));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(std::string(l[0].path), dir.file("g.vdi"));
}

TEST(VBoxMachine, RefusedFilesLeaveTheListAlone)
{
    TempDir dir;
    const std::string ok =
        "<VirtualBox><Global><MediaRegistry><HardDisks><HardDisk location=\"g.vdi\"/>"
        "</HardDisks></MediaRegistry></Global></VirtualBox>";
    std::string deep = "<VirtualBox><Global><MediaRegistry><HardDisks>";
    for (int i = 0; i < 90; i++) deep += "<HardDisk location=\"x.vdi\">";
    for (int i = 0; i < 90; i++) deep += "</HardDisk>";
    deep += "</HardDisks></MediaRegistry></Global></VirtualBox>";
    std::string big = ok;
    big.insert(big.size() - std::string("</VirtualBox>").size(),
               "<!--" + std::string(VBOX_MACHINE_MAX_FILE - ok.size() - 6, 'x') + "-->");
    ASSERT_EQ(big.size(), VBOX_MACHINE_MAX_FILE + 1u);
    const std::string longPath =
        "<VirtualBox><Global><MediaRegistry><HardDisks><HardDisk location=\"/" +
        std::string(5000, 'a') + "\"/></HardDisks></MediaRegistry></Global></VirtualBox>";
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"over 1 MiB", big},
        {"malformed", "<VirtualBox><Global>"},
        {"not UTF-8",
         "<VirtualBox "
         "name=\"\xff\"><Global><MediaRegistry><HardDisks/></MediaRegistry></Global></VirtualBox>"},
        {"NUL byte", std::string("<VirtualBox>\0</VirtualBox>", 26)},
        {"other root",
         "<Other><Global><MediaRegistry><HardDisks/></MediaRegistry></Global></Other>"},
        {"no disk list", "<VirtualBox><Global/></VirtualBox>"},
        {"old layout without path",
         "<VirtualBox><Global><DiskRegistry><HardDisks><HardDisk/></HardDisks></DiskRegistry></"
         "Global></VirtualBox>"},
        {"nesting too deep", deep},
        {"path too long", longPath},
    };
    for (const auto& c : cases) {
        Write(dir.file("m.vbox"), c.text);
        VBoxDiskList l(1);
        l[0].parent = 7;
        EXPECT_FALSE(Read(dir.file("m.vbox"), &l)) << c.name;
        ASSERT_EQ(l.size(), 1u) << c.name;
        EXPECT_EQ(l[0].parent, 7) << c.name;
    }
    // Exactly 1 MiB is still read.
    Write(dir.file("m.vbox"), ok.substr(0, ok.size() - 13) + "<!--" +
                                  std::string(VBOX_MACHINE_MAX_FILE - ok.size() - 7, 'x') + "-->" +
                                  "</VirtualBox>");
    VBoxDiskList l;
    EXPECT_TRUE(Read(dir.file("m.vbox"), &l));
    // Missing file, directory.
    EXPECT_FALSE(Read(dir.file("missing.vbox"), &l));
    EXPECT_FALSE(Read(dir.path(), &l));
}

}  // namespace
