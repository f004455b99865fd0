// The qcow and qcow2 writers over their shared cluster feed: the same bytes for any number of
// compression workers, clusters of zeros left unallocated, the map's free sectors stored as
// zeros, the source's unstored ranges never read, and a cancelled run leaving nothing that
// passes for an image.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_test_util.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vhd/vhd_test_util.h"
#include "foundation/work_pool.h"

using namespace qcowtest;
using testsupport::TempDir;

namespace {

const uint8_t kKey[16] = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
// Not a multiple of 2 MiB nor of a cluster: a short last span and a short last cluster.
const uint32_t kDiskBytes = 9 * 1024 * 1024 + 1536;

struct Case {
    const char* name;
    bool qcow2;
    int mode;  // QCOW_STORE_*
    uint32_t clusterBits;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

const Case kCases[] = {
    {"qcow_plain", false, 0, 12},         {"qcow_compressed", false, 1, 12},
    {"qcow_grouped", false, 2, 12},       {"qcow_encrypted", false, 3, 12},
    {"qcow2_plain", true, 0, 16},         {"qcow2_compressed", true, 1, 16},
    {"qcow2_grouped", true, 2, 16},       {"qcow2_encrypted", true, 3, 16},
    {"qcow2_compressed_512", true, 1, 9}, {"qcow2_grouped_4k", true, 2, 12},
    {"qcow2_compressed_2m", true, 1, 21},
};

int Write(const Case& c, const std::string& path, DiskHandle* source, UsedSectorMap* map,
          ProgressCallback progress = nullptr, void* user = nullptr)
{
    const uint8_t* key = c.mode == 3 ? kKey : nullptr;
    if (!c.qcow2) return Qcow_Create(path.c_str(), source, map, progress, user, c.mode, key);
    Qcow2CreateOptions options = {c.clusterBits};
    return Qcow2_Create(path.c_str(), source, map, progress, user, c.mode, key, &options);
}

// The image as qemu names it on its command line.
std::string QemuImage(const Case& c, const std::string& path)
{
    const std::string driver = c.qcow2 ? "qcow2" : "qcow";
    if (c.mode == 3)
        return SecretObject("password") + " --image-opts driver=" + driver +
               ",file.filename=" + path + ",encrypt.key-secret=s";
    return "-f " + driver + " " + Quote(path);
}

std::vector<uint8_t> ReadOurs(const Case& c, const std::string& path)
{
    Handle h;
    int r = c.mode == 3 ? (c.qcow2 ? Disk_OpenQcow2WithKey(h, path.c_str(), true, kKey, 16, 0)
                                   : Disk_OpenQcowWithKey(h, path.c_str(), true, kKey, 16))
                        : Disk_Open(h, path.c_str(), true);
    EXPECT_EQ(r, 0);
    return r == 0 ? ReadAll(h) : std::vector<uint8_t>();
}

// One entry of `qemu-img map --output=json`.
struct Extent {
    uint64_t start, length;
    bool data;
};

std::vector<Extent> QemuMap(const Case& c, const std::string& path)
{
    std::string out;
    EXPECT_EQ(testsupport::RunQemu("qemu-img map --output=json " + QemuImage(c, path), &out), 0)
        << out;
    std::vector<Extent> extents;
    const std::regex entry(
        R"re(\{\s*"start":\s*(\d+),\s*"length":\s*(\d+),[^}]*"data":\s*(true|false))re");
    for (std::sregex_iterator it(out.begin(), out.end(), entry), end; it != end; ++it)
        extents.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]), (*it)[3] == "true"});
    return extents;
}

class QcowFeedWriter : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        raw_ = dir_.file("source.raw");
        content_ = MixedContent(kDiskBytes, 41);
        testsupport::WriteFile(raw_, content_);  // zero stretches written, not holes
        DiskGeometry g = {};
        Qcow2_GetDefaultGeometry(kDiskBytes, &g);
        ASSERT_EQ(Disk_OpenRaw(source_, raw_.c_str(), true, 0, &g), 0);
    }
    void TearDown() override { WorkPool_SetDefaultWorkers(0); }

    void ExpectCleanAndEqual(const Case& c, const std::string& image,
                             const std::vector<uint8_t>& expected)
    {
        std::string out;
        if (c.qcow2) {
            EXPECT_EQ(testsupport::RunQemu("qemu-img check " + QemuImage(c, image), &out), 0)
                << out;
        }
        if (c.mode == 3) {
            EXPECT_TRUE(QemuRaw(dir_, "", QemuImage(c, image)) == expected);
        } else if (expected == content_) {
            EXPECT_EQ(
                testsupport::RunQemu(
                    "qemu-img compare " + QemuImage(c, image) + " -F raw " + Quote(raw_), &out),
                0)
                << out;
        } else {
            EXPECT_TRUE(QemuRaw(dir_, image) == expected);
        }
        EXPECT_TRUE(ReadOurs(c, image) == expected);
    }

    TempDir dir_;
    std::string raw_;
    std::vector<uint8_t> content_;
    Handle source_;
};

TEST_P(QcowFeedWriter, AnyNumberOfWorkersWritesTheSameBytes)
{
    const Case c = GetParam();
    std::vector<uint8_t> first;
    for (uint32_t workers : {1u, 2u, 8u}) {
        SCOPED_TRACE("workers " + std::to_string(workers));
        WorkPool_SetDefaultWorkers(workers);
        const std::string image = dir_.file("out-" + std::to_string(workers));
        ASSERT_EQ(Write(c, image, source_, nullptr), 0);
        const std::vector<uint8_t> bytes = testsupport::ReadFile(image);
        if (first.empty()) {
            first = bytes;
            ExpectCleanAndEqual(c, image, content_);
        } else {
            EXPECT_TRUE(bytes == first);
        }
    }
}

TEST_P(QcowFeedWriter, ClustersOfZerosStayUnallocated)
{
    const Case c = GetParam();
    const std::string image = dir_.file("out");
    ASSERT_EQ(Write(c, image, source_, nullptr), 0);
    const std::vector<Extent> extents = QemuMap(c, image);
    ASSERT_FALSE(extents.empty());
    // Every stretch of zeros of a cluster (at least 64 KiB) in the source is a hole of the image,
    // every other one data.
    const uint64_t cluster = c.qcow2 ? 1u << c.clusterBits : 4096;
    const uint64_t step = cluster > 65536 ? cluster : 65536;
    for (uint64_t pos = 0; pos + step <= kDiskBytes; pos += step) {
        const bool zero = std::all_of(content_.begin() + pos, content_.begin() + pos + step,
                                      [](uint8_t b) { return b == 0; });
        for (const Extent& e : extents) {
            if (e.start + e.length <= pos || e.start >= pos + step) continue;
            if (zero) {
                EXPECT_FALSE(e.data) << "zeros stored at " << pos;
            } else if (e.start <= pos && e.start + e.length >= pos + step) {
                EXPECT_TRUE(e.data) << "data dropped at " << pos;
            }
        }
    }
}

TEST_P(QcowFeedWriter, SectorsTheMapMarksFreeAreStoredAsZeros)
{
    const Case c = GetParam();
    // Used and free sectors alternate in runs of 3 and 5 sectors, so that most clusters hold
    // both, and the first 256 KiB is all free.
    std::vector<uint8_t> used(kDiskBytes / 512);
    for (size_t s = 0; s < used.size(); ++s) used[s] = s >= 512 && s % 8 < 3;
    vhdtest::ScriptedMap map(used);
    const std::string image = dir_.file("out");
    ASSERT_EQ(Write(c, image, source_, map.map()), 0);
    ExpectCleanAndEqual(c, image, vhdtest::Masked(content_, used));
}

TEST_P(QcowFeedWriter, ACancelledRunLeavesNothingThatPassesForAnImage)
{
    const Case c = GetParam();
    for (uint32_t workers : {1u, 8u}) {
        SCOPED_TRACE("workers " + std::to_string(workers));
        WorkPool_SetDefaultWorkers(workers);
        const std::string image = dir_.file("cancelled-" + std::to_string(workers));
        auto halfway = [](uint64_t done, uint64_t total, void*) { return done < total / 2; };
        ASSERT_EQ(Write(c, image, source_, nullptr, halfway), DISK_CANCELLED);
        std::string out;
        EXPECT_EQ(RunCommand("qemu-img info --output=json " + Quote(image) + " 2>&1", &out), 0)
            << out;
        EXPECT_NE(out.find("\"format\": \"raw\""), std::string::npos) << out;
        Handle h;
        if (Disk_Open(h, image.c_str(), true) == 0) {
            const DiskKind kind = Disk_GetKind(h);
            EXPECT_NE(kind, DISK_KIND_QCOW);
            EXPECT_NE(kind, DISK_KIND_QCOW2);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, QcowFeedWriter, ::testing::ValuesIn(kCases), CaseName);

// A source whose reads are recorded: a qcow2 image that stores only a few clusters.
struct ReadLog {
    static std::vector<std::pair<uint64_t, uint32_t>> reads;
    static DiskReadFn original;
    static int Read(void* object, uint64_t offset, uint32_t length, void* buffer)
    {
        reads.push_back({offset, length});
        return original(object, offset, length, buffer);
    }
};
std::vector<std::pair<uint64_t, uint32_t>> ReadLog::reads;
DiskReadFn ReadLog::original = nullptr;

class QcowFeedSourceReads : public ::testing::TestWithParam<Case> {};

TEST_P(QcowFeedSourceReads, UnstoredRangesAreNeverReadAndStoredOnesOnce)
{
    const Case c = GetParam();
    TempDir dir;
    const std::string src = dir.file("source.qcow2");
    Shell("qemu-img create -f qcow2 -o cluster_size=65536 " + Quote(src) + " 64M >/dev/null");
    // Data at 1 MiB (128 KiB), 20 MiB (64 KiB, compressible) and 63 MiB (the last 1 MiB).
    Shell(
        "qemu-io -f qcow2 -c 'write -P 0x5a 1M 128k' -c 'write -P 0 20M 64k' "
        "-c 'write -P 0x11 63M 1M' " +
        Quote(src) + " >/dev/null");
    Handle source;
    ASSERT_EQ(Disk_Open(source, src.c_str(), true), 0);
    const DiskKind kind = Disk_GetKind(source);
    ReadLog::original = DiskReadTable[kind];
    ReadLog::reads.clear();
    DiskReadTable[kind] = ReadLog::Read;
    const std::string image = dir.file("out");
    const int r = Write(c, image, source, nullptr);
    DiskReadTable[kind] = ReadLog::original;
    ASSERT_EQ(r, 0);
    // Sectors read, each at most once, all inside the stored clusters.
    std::vector<uint8_t> count(64u << 11);
    for (const auto& read : ReadLog::reads)
        for (uint64_t s = read.first / 512; s < (read.first + read.second) / 512; ++s) ++count[s];
    auto stored = [](uint64_t s) {
        const uint64_t at = s * 512;
        return (at >= (1u << 20) && at < (1u << 20) + (128u << 10)) ||
               (at >= (20u << 20) && at < (20u << 20) + (64u << 10)) || at >= (63u << 20);
    };
    for (uint64_t s = 0; s < count.size(); ++s) {
        if (!stored(s))
            ASSERT_EQ(count[s], 0) << "unstored sector " << s << " read";
        else
            ASSERT_LE(count[s], 1) << "sector " << s << " read again";
    }
    EXPECT_TRUE(ReadOurs(c, image) == QemuRaw(dir, src));
}

const Case kReadCases[] = {
    {"qcow_plain", false, 0, 12},        {"qcow_compressed", false, 1, 12},
    {"qcow2_plain", true, 0, 16},        {"qcow2_compressed", true, 1, 16},
    {"qcow2_encrypted_4k", true, 3, 12},
};

INSTANTIATE_TEST_SUITE_P(Modes, QcowFeedSourceReads, ::testing::ValuesIn(kReadCases), CaseName);

}  // namespace
