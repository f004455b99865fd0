// The qcow writer: every mode reads as its source through qemu and through our reader.
#include <gtest/gtest.h>

#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_test_util.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

TEST(QcowWriter, EveryModeReadsAsTheSource)
{
    TempDir dir;
    // Not a multiple of 2 MiB nor of a cluster: a short last span and a short last cluster.
    const uint32_t bytes = 5 * 1024 * 1024 + 1536;
    std::vector<uint8_t> content = MixedContent(bytes, 31);
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, content);
    DiskGeometry g = {};
    Qcow_GetDefaultGeometry(bytes, &g);
    Handle source;
    ASSERT_EQ(Disk_OpenRaw(source, raw.c_str(), true, 0, &g), 0);
    const uint8_t key[16] = {'k', 'e', 'y'};
    size_t plainSize = 0;
    for (int mode = 0; mode <= 3; ++mode) {
        SCOPED_TRACE(mode);
        const std::string image = dir.file("out.qcow");
        ASSERT_EQ(Qcow_Create(image.c_str(), source, nullptr, nullptr, nullptr, mode, key), 0);
        const size_t size = testsupport::ReadFile(image).size();
        if (mode == 0) plainSize = size;
        if (mode == 1 || mode == 2) {
            EXPECT_LT(size, plainSize);
        }
        if (mode == 3) {
            const std::string opts = SecretObject("key") +
                                     " --image-opts driver=qcow,file.filename=" + image +
                                     ",encrypt.key-secret=s";
            EXPECT_TRUE(QemuRaw(dir, "", opts) == content);
            Handle h;
            ASSERT_EQ(Disk_OpenQcowWithKey(h, image.c_str(), true, key, 16), 0);
            EXPECT_TRUE(ReadAll(h) == content);
        } else {
            std::string out;
            EXPECT_EQ(RunCommand("qemu-img compare -f qcow -F raw " + Quote(image) + " " +
                                     Quote(raw) + " 2>&1",
                                 &out),
                      0)
                << out;
            Handle h;
            ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
            EXPECT_TRUE(ReadAll(h) == content);
        }
        remove(image.c_str());
    }
}

TEST(QcowWriter, GeometriesANewImageCannotHoldAreRefused)
{
    DiskGeometry g = {};
    Qcow_GetDefaultGeometry(2ull << 40, &g);
    EXPECT_EQ(Qcow_CheckGeometry(g), -1);
    Qcow_GetDefaultGeometry((2ull << 40) - 512, &g);
    EXPECT_EQ(Qcow_CheckGeometry(g), 0);
    g.bytes_per_sector = 256;
    EXPECT_EQ(Qcow_CheckGeometry(g), -1);
}

}  // namespace
