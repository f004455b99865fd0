// The qcow2 writer: every output passes qemu-img check and reads as its source through qemu
// and through our reader.
#include <gtest/gtest.h>

#include <tuple>

#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "qcow2_test_util.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint32_t kDiskBytes = 6 * 1024 * 1024 + 512 * 5;
const uint8_t kKey[16] = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};

std::string KeyedOpts(const std::string& image)
{
    return SecretObject("password") + " --image-opts driver=qcow2,file.filename=" + image +
           ",encrypt.key-secret=s";
}

// Cluster bits x storage mode (plain, compressed, compressed with the rest grouped after, encrypted).
class Qcow2WriterModes : public ::testing::TestWithParam<std::tuple<uint32_t, int>> {};

TEST_P(Qcow2WriterModes, ChecksCleanAndReadsAsTheSource)
{
    const uint32_t bits = std::get<0>(GetParam());
    const int mode = std::get<1>(GetParam());
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    std::vector<uint8_t> content = MixedContent(kDiskBytes, 11);
    testsupport::WriteFile(raw, content);
    DiskGeometry g = {};
    Qcow2_GetDefaultGeometry(kDiskBytes, &g);
    Handle source;
    ASSERT_EQ(Disk_OpenRaw(source, raw.c_str(), true, 0, &g), 0);
    const std::string image = dir.file("out.qcow2");
    Qcow2CreateOptions options = {bits};
    ASSERT_EQ(Qcow2_Create(image.c_str(), source, nullptr, nullptr, nullptr, mode,
                           mode == 3 ? kKey : nullptr, &options),
              0);
    std::string out;
    if (mode == 3) {
        EXPECT_EQ(RunCommand("qemu-img check " + KeyedOpts(image) + " 2>&1", &out), 0) << out;
        EXPECT_TRUE(QemuRaw(dir, "", KeyedOpts(image)) == content);
        Handle h;
        ASSERT_EQ(Disk_OpenQcow2WithKey(h, image.c_str(), true, kKey, 16, 0), 0);
        EXPECT_TRUE(ReadAll(h) == content);
    } else {
        EXPECT_EQ(RunCommand("qemu-img check -f qcow2 " + Quote(image) + " 2>&1", &out), 0) << out;
        EXPECT_EQ(RunCommand("qemu-img compare -f qcow2 -F raw " + Quote(image) + " " + Quote(raw) +
                                 " 2>&1",
                             &out),
                  0)
            << out;
        Handle h;
        ASSERT_EQ(Disk_Open(h, image.c_str(), true), 0);
        EXPECT_TRUE(ReadAll(h) == content);
    }
}

std::string ModeRowName(const ::testing::TestParamInfo<std::tuple<uint32_t, int>>& info)
{
    static const char* const kModes[4] = {"plain", "compressed", "grouped", "encrypted"};
    return "bits" + std::to_string(std::get<0>(info.param)) + "_" + kModes[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(ClusterBitsAndMode, Qcow2WriterModes,
                         ::testing::Combine(::testing::Values(9u, 12u, 16u, 21u),
                                            ::testing::Range(0, 4)),
                         ModeRowName);

TEST(Qcow2Writer, CompressedOutputIsSmallerAndGroupedModeStoresTheRestAfterwards)
{
    TempDir dir;
    const std::string raw = dir.file("source.raw");
    std::vector<uint8_t> content = MixedContent(kDiskBytes, 12);
    testsupport::WriteFile(raw, content);
    DiskGeometry g = {};
    Qcow2_GetDefaultGeometry(kDiskBytes, &g);
    Handle source;
    ASSERT_EQ(Disk_OpenRaw(source, raw.c_str(), true, 0, &g), 0);
    Qcow2CreateOptions options = {16};
    const std::string plain = dir.file("plain.qcow2"), packed = dir.file("packed.qcow2");
    ASSERT_EQ(Qcow2_Create(plain.c_str(), source, nullptr, nullptr, nullptr, 0, nullptr, &options),
              0);
    ASSERT_EQ(Qcow2_Create(packed.c_str(), source, nullptr, nullptr, nullptr, 1, nullptr, &options),
              0);
    EXPECT_LT(testsupport::ReadFile(packed).size(), testsupport::ReadFile(plain).size());
    std::string map;
    ASSERT_EQ(RunCommand("qemu-img map --output=json -f qcow2 " + Quote(packed), &map), 0);
    // Compressed clusters have no plain host offset.
    EXPECT_NE(map.find("\"data\": true}"), std::string::npos) << map;
}

TEST(Qcow2Writer, EmptySourcesAndCancelledRuns)
{
    TempDir dir;
    DiskGeometry g = {};
    Qcow2_GetDefaultGeometry(64ull << 20, &g);
    Handle zero;
    ASSERT_EQ(Disk_OpenZero(zero, &g), 0);
    Qcow2CreateOptions options = {16};
    const std::string image = dir.file("empty.qcow2");
    ASSERT_EQ(Qcow2_Create(image.c_str(), zero, nullptr, nullptr, nullptr, 0, nullptr, &options),
              0);
    EXPECT_EQ(testsupport::ReadFile(image).size(), 4u * 65536);
    std::string out;
    EXPECT_EQ(RunCommand("qemu-img check -f qcow2 " + Quote(image) + " 2>&1", &out), 0) << out;

    auto cancel = [](uint64_t done, uint64_t, void*) { return done == 0; };
    const std::string raw = dir.file("source.raw");
    testsupport::WriteFile(raw, MixedContent(kDiskBytes, 13));
    Qcow2_GetDefaultGeometry(kDiskBytes, &g);
    Handle source;
    ASSERT_EQ(Disk_OpenRaw(source, raw.c_str(), true, 0, &g), 0);
    EXPECT_EQ(Qcow2_Create(image.c_str(), source, nullptr, cancel, nullptr, 0, nullptr, &options),
              DISK_CANCELLED);
}

TEST(Qcow2Writer, LayoutsBeyondTheL1LimitAreRefused)
{
    TempDir dir;
    DiskGeometry g = {};
    Qcow2_GetDefaultGeometry(129ull << 30, &g);
    Handle zero;
    ASSERT_EQ(Disk_OpenZero(zero, &g), 0);
    const std::string image = dir.file("big.qcow2");
    Qcow2CreateOptions small = {9};
    EXPECT_EQ(Qcow2_Create(image.c_str(), zero, nullptr, nullptr, nullptr, 0, nullptr, &small),
              DISK_ERR_ARG);
    FILE* f = fopen(image.c_str(), "rb");
    EXPECT_EQ(f, nullptr);
    if (f) fclose(f);
    // 2 TiB of 4 KiB clusters: the counts pass 32 bits, the empty image still checks clean.
    Qcow2_GetDefaultGeometry(2ull << 40, &g);
    Handle huge;
    ASSERT_EQ(Disk_OpenZero(huge, &g), 0);
    Qcow2CreateOptions four = {12};
    ASSERT_EQ(Qcow2_Create(image.c_str(), huge, nullptr, nullptr, nullptr, 0, nullptr, &four), 0);
    std::string out;
    EXPECT_EQ(RunCommand("qemu-img check -f qcow2 " + Quote(image) + " 2>&1", &out), 0) << out;
    EXPECT_EQ(RunCommand("qemu-img info -f qcow2 " + Quote(image) + " | grep -q '2 TiB'"), 0);
}

}  // namespace
