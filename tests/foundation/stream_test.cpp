// Where file streams store data: holes found by FindData and Stream_IsHole, reads that skip
// holes unread, streams without the query, and the file position and write buffer of a stream
// left coherent by the query.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/platform.h"
#include "foundation/stream.h"
#include "support/sparse_file.h"
#include "support/test_support.h"

using sparse::kMiB;
using testsupport::TempDir;

namespace {

// 8 MiB: stored bytes at [1 MiB, 2 MiB), [5 MiB, 5 MiB + 4 KiB) and 512 bytes at 6 MiB + 512;
// whole MiB holes at [0, 1 MiB), [2 MiB, 5 MiB) and [7 MiB, 8 MiB).
const uint64_t kFileSize = 8 * kMiB;

std::vector<sparse::Run> Layout()
{
    return {sparse::NonZeroRun(kMiB, kMiB, 1), sparse::NonZeroRun(5 * kMiB, 4096, 2),
            sparse::NonZeroRun(6 * kMiB + 512, 512, 3)};
}

const std::pair<uint64_t, uint64_t> kWholeHoles[] = {
    {0, kMiB}, {2 * kMiB, 5 * kMiB}, {7 * kMiB, 8 * kMiB}};

bool TouchesWholeHole(uint64_t offset, uint64_t length)
{
    for (const auto& h : kWholeHoles)
        if (offset < h.second && h.first < offset + length) return true;
    return false;
}

using Recorder = sparse::RecordingStream;

class SparseStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!sparse::HolesAreReported(dir.path()))
            GTEST_SKIP() << "the file system of " << dir.path() << " does not report holes";
        path = dir.file("sparse.bin");
        ASSERT_TRUE(sparse::MakeFile(path, kFileSize, runs));
    }

    // Opens the file under a recorder (with or without FindData); the stream owns the recorder's
    // inner stream but not the recorder.
    ByteStream* OpenRecorded(Recorder* rec, bool canTell) { return rec->Open(path, canTell); }

    TempDir dir;
    std::string path;
    const std::vector<sparse::Run> runs = Layout();
};

// ---- Hole answers --------------------------------------------------------------------------

enum class Expect { Hole, Stored, Either };

struct HoleCase {
    const char* name;
    uint64_t offset;
    uint64_t length;
    Expect expect;
};

class StreamHoleTable : public SparseStream, public ::testing::WithParamInterface<HoleCase> {};

TEST_P(StreamHoleTable, WholeHolesAreFoundAndNothingStoredIsCalledAHole)
{
    const HoleCase& c = GetParam();
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    const bool hole = Stream_IsHole(s, c.offset, c.length);
    if (c.expect == Expect::Hole) {
        EXPECT_TRUE(hole);
    } else if (c.expect == Expect::Stored) {
        EXPECT_FALSE(hole);
    }
    // Whatever the file system's block size: a hole always reads as zeros inside the file.
    if (hole && c.length != 0) {
        EXPECT_LE(c.offset + c.length, kFileSize);
        EXPECT_FALSE(sparse::AnyNonZero(runs, c.offset, c.length));
    }
    Stream_Close(s);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, StreamHoleTable,
    ::testing::Values(HoleCase{"LeadingHole", 0, kMiB, Expect::Hole},
                      HoleCase{"MiddleHole", 2 * kMiB, 3 * kMiB, Expect::Hole},
                      HoleCase{"TrailingHoleToTheEnd", 7 * kMiB, kMiB, Expect::Hole},
                      HoleCase{"OneByteInAHole", 3 * kMiB + 17, 1, Expect::Hole},
                      HoleCase{"EndsOnTheFirstStoredByte", kMiB - 4096, 4097, Expect::Stored},
                      HoleCase{"StartsOnTheLastStoredByte", 2 * kMiB - 1, 4096, Expect::Stored},
                      HoleCase{"SmallRunInsideARange", 4 * kMiB, 2 * kMiB, Expect::Stored},
                      HoleCase{"SubBlockRun", 6 * kMiB + 512, 512, Expect::Stored},
                      HoleCase{"ZerosBesideASubBlockRun", 6 * kMiB, 512, Expect::Either},
                      HoleCase{"PassesTheEnd", 7 * kMiB, kMiB + 1, Expect::Stored},
                      HoleCase{"AtTheEnd", kFileSize, 1, Expect::Stored},
                      HoleCase{"FarPastTheEnd", 1ull << 62, 4096, Expect::Stored},
                      HoleCase{"EmptyRange", 3 * kMiB, 0, Expect::Hole},
                      HoleCase{"WrappingRange", UINT64_MAX - 10, 20, Expect::Stored}),
    [](const ::testing::TestParamInfo<HoleCase>& info) { return std::string(info.param.name); });

TEST_F(SparseStream, FindDataWalksTheStoredRunsInOrder)
{
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    // From every offset: nothing stored before the answer, and the answer lies in the file.
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    uint64_t pos = 0;
    while (pos < kFileSize) {
        uint64_t start = 0, end = 0;
        ASSERT_TRUE(Stream_FindData(s, pos, &start, &end)) << pos;
        ASSERT_GE(start, pos);
        ASSERT_LE(end, kFileSize);
        EXPECT_FALSE(sparse::AnyNonZero(runs, pos, start - pos)) << pos;
        if (start == kFileSize) {
            EXPECT_EQ(end, kFileSize);
            break;
        }
        ASSERT_GT(end, start);
        seen.emplace_back(start, end);
        pos = end;
    }
    // Every stored run lies in one of the runs found, and no run found reaches a whole hole.
    for (const sparse::Run& r : runs) {
        bool covered = false;
        for (const auto& d : seen)
            covered = covered || (d.first <= r.offset && r.offset + r.bytes.size() <= d.second);
        EXPECT_TRUE(covered) << r.offset;
    }
    for (const auto& d : seen)
        EXPECT_FALSE(TouchesWholeHole(d.first, d.second - d.first)) << d.first;
    // Offsets at or past the end cannot be answered.
    uint64_t start = 0, end = 0;
    EXPECT_FALSE(Stream_FindData(s, kFileSize, &start, &end));
    EXPECT_FALSE(Stream_FindData(s, UINT64_MAX, &start, &end));
    Stream_Close(s);
}

// ---- Reads that skip holes -----------------------------------------------------------------

struct ReadCase {
    const char* name;
    uint64_t offset;
    uint32_t length;
    bool readable;
};

class StreamStoredReadTable : public SparseStream,
                              public ::testing::WithParamInterface<ReadCase> {};

TEST_P(StreamStoredReadTable, ReadsTheSameBytesWithoutTouchingAHole)
{
    const ReadCase& c = GetParam();
    for (bool canTell : {true, false}) {
        SCOPED_TRACE(canTell ? "stream tells its holes" : "stream cannot tell");
        Recorder rec;
        ByteStream* s = OpenRecorded(&rec, canTell);
        ASSERT_NE(s, nullptr);
        std::vector<uint8_t> got(c.length, 0xEE);
        EXPECT_EQ(Stream_ReadStoredAt(s, c.offset, c.length, got.data()), c.readable);
        if (c.readable) {
            for (uint32_t i = 0; i < c.length; ++i)
                ASSERT_EQ(got[i], sparse::ByteAt(runs, c.offset + i)) << "byte " << i;
        }
        if (canTell) {
            for (const auto& r : rec.reads)
                EXPECT_FALSE(TouchesWholeHole(r.first, r.second)) << r.first << "+" << r.second;
        } else if (c.readable) {
            // Without the query every byte is read, holes included.
            EXPECT_EQ(rec.BytesRead(), c.length);
        }
        Stream_Close(s);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, StreamStoredReadTable,
    ::testing::Values(
        ReadCase{"WholeFile", 0, static_cast<uint32_t>(kFileSize), true},
        ReadCase{"OnlyAHole", 2 * kMiB, static_cast<uint32_t>(3 * kMiB), true},
        ReadCase{"HoleThenRun", kMiB / 2, static_cast<uint32_t>(kMiB), true},
        ReadCase{"RunThenHole", kMiB + 100, static_cast<uint32_t>(kMiB), true},
        ReadCase{"AroundTwoSmallRuns", 4 * kMiB + 3, static_cast<uint32_t>(3 * kMiB), true},
        ReadCase{"InsideARun", kMiB + 4095, 3, true},
        ReadCase{"EndsAtTheEnd", 7 * kMiB, static_cast<uint32_t>(kMiB), true},
        ReadCase{"HolePassingTheEnd", 7 * kMiB, static_cast<uint32_t>(kMiB + 1), false},
        ReadCase{"RunPassingTheEnd", 5 * kMiB, static_cast<uint32_t>(3 * kMiB + 1), false},
        ReadCase{"PastTheEnd", kFileSize + 10, 10, false}, ReadCase{"Nothing", 3 * kMiB, 0, true}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(SparseStream, StreamsWithoutTheQueryCannotTell)
{
    Recorder rec;
    ByteStream* s = OpenRecorded(&rec, false);
    ASSERT_NE(s, nullptr);
    uint64_t start = 0, end = 0;
    EXPECT_FALSE(Stream_FindData(s, 0, &start, &end));
    EXPECT_FALSE(Stream_IsHole(s, 0, kMiB));
    Stream_Close(s);
    EXPECT_FALSE(Stream_FindData(nullptr, 0, &start, &end));
    EXPECT_FALSE(Stream_IsHole(nullptr, 0, kMiB));
    // Output streams do not answer either.
    ByteStream* out = nullptr;
    ASSERT_TRUE(Stream_CreatePreallocated(dir.file("pre.bin").c_str(), kMiB, &out));
    EXPECT_FALSE(Stream_IsHole(out, 0, 4096));
    EXPECT_TRUE(Stream_ClosePreallocated(out));
    ASSERT_TRUE(Stream_CreateWriteOnly(dir.file("wo.bin").c_str(), kMiB, false, &out));
    EXPECT_FALSE(Stream_IsHole(out, 0, 4096));
    EXPECT_TRUE(Stream_Close(out));
}

// ---- The stream around the query -----------------------------------------------------------

TEST_F(SparseStream, BufferedReadsGoOnWhereTheyWereAfterAQuery)
{
    // A buffered read leaves the rest of a block in the stream's buffer and the descriptor
    // after it; a query in between must not move where the next refill reads from.
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    std::vector<uint8_t> got(200);
    for (uint64_t at = kMiB; at < kMiB + 64 * 1024; at += 1000) {
        ASSERT_TRUE(Stream_ReadAt(s, at, 100, got.data()));
        uint64_t start = 0, end = 0;
        ASSERT_TRUE(Stream_FindData(s, 0, &start, &end));
        EXPECT_FALSE(Stream_IsHole(s, 5 * kMiB, 4096));
        ASSERT_TRUE(Stream_ReadAt(s, at + 100, 200, got.data()));
        for (uint32_t i = 0; i < 200; ++i)
            ASSERT_EQ(got[i], sparse::ByteAt(runs, at + 100 + i)) << at;
    }
    Stream_Close(s);

    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 12345, SEEK_SET), 12345);
    uint64_t start = 0, end = 0;
    EXPECT_TRUE(File_FindDataInDescriptor(fd, 3 * kMiB, &start, &end));
    EXPECT_EQ(start, 5 * kMiB);
    EXPECT_FALSE(File_FindDataInDescriptor(fd, kFileSize + 1, &start, &end));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 12345);
    close(fd);
}

TEST_F(SparseStream, BytesWrittenThroughTheStreamAreStoredBeforeTheyAreFlushed)
{
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), false, &s));
    ASSERT_TRUE(Stream_IsHole(s, 3 * kMiB, 4096));
    const uint8_t patch[512] = {1, 2, 3};
    ASSERT_TRUE(Stream_WriteAt(s, 3 * kMiB + 1024, sizeof patch, patch));
    EXPECT_FALSE(Stream_IsHole(s, 3 * kMiB, 4096));
    std::vector<uint8_t> got(4096, 0xEE);
    ASSERT_TRUE(Stream_ReadStoredAt(s, 3 * kMiB, 4096, got.data()));
    EXPECT_EQ(got[1024], 1);
    EXPECT_EQ(got[1026], 3);
    EXPECT_EQ(got[0], 0);
    EXPECT_TRUE(Stream_Close(s));
}

// ---- Space reserved but never written --------------------------------------------------------

// Whether the file system keeps space reserved by fallocate as unwritten extents and says so.
bool ReservedSpaceIsReported(const std::string& dir)
{
    const std::string probe = dir + "/reserve-probe";
    const int fd = open(probe.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool unwritten = false;
    if (fallocate(fd, 0, 0, static_cast<off_t>(kMiB)) == 0) {
        union {
            struct fiemap map;
            uint8_t room[sizeof(struct fiemap) + sizeof(struct fiemap_extent)];
        } q = {};
        q.map.fm_length = kMiB;
        q.map.fm_extent_count = 1;
        unwritten = ioctl(fd, FS_IOC_FIEMAP, &q.map) == 0 && q.map.fm_mapped_extents == 1 &&
                    (q.map.fm_extents[0].fe_flags & FIEMAP_EXTENT_UNWRITTEN) != 0;
    }
    close(fd);
    unlink(probe.c_str());
    return unwritten;
}

// An 8 MiB file reserved whole by fallocate, then written at [2 MiB, 2 MiB + 64 KiB) (synced)
// and at [5 MiB, 5 MiB + 4 KiB) (left in the page cache, not yet written back). Read-only, the
// reserved space reads as the zeros it holds and counts as a hole; both writes count as stored.
TEST(ReservedStream, SpaceNeverWrittenIsAHoleAndEveryWriteIsStored)
{
    TempDir dir;
    if (!ReservedSpaceIsReported(dir.path()))
        GTEST_SKIP() << "the file system of " << dir.path() << " keeps no unwritten extents";
    const std::string path = dir.file("reserved.bin");
    const std::vector<sparse::Run> runs = {sparse::NonZeroRun(2 * kMiB, 65536, 7),
                                           sparse::NonZeroRun(5 * kMiB, 4096, 8)};
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fallocate(fd, 0, 0, static_cast<off_t>(8 * kMiB)), 0);
    ASSERT_EQ(pwrite(fd, runs[0].bytes.data(), 65536, static_cast<off_t>(2 * kMiB)), 65536);
    ASSERT_EQ(fsync(fd), 0);
    ASSERT_EQ(pwrite(fd, runs[1].bytes.data(), 4096, static_cast<off_t>(5 * kMiB)), 4096);
    // Every page of the file in the cache, as after an earlier read: the query must not count
    // cached zeros as data either.
    std::vector<uint8_t> all(8 * kMiB);
    ASSERT_EQ(pread(fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));

    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "read-only" : "read-write");
        ByteStream* s = nullptr;
        ASSERT_TRUE(Stream_OpenFile(path.c_str(), readOnly, &s));
        // Written bytes are never called a hole.
        EXPECT_FALSE(Stream_IsHole(s, 2 * kMiB, 4096));
        EXPECT_FALSE(Stream_IsHole(s, 2 * kMiB + 61440, 4096));
        EXPECT_FALSE(Stream_IsHole(s, 5 * kMiB, 4096));
        std::vector<uint8_t> got(8 * kMiB, 0xEE);
        ASSERT_TRUE(Stream_ReadStoredAt(s, 0, static_cast<uint32_t>(got.size()), got.data()));
        for (uint64_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], sparse::ByteAt(runs, i)) << i;
        if (readOnly) {
            uint64_t start = 0, end = 0;
            ASSERT_TRUE(Stream_FindData(s, 0, &start, &end));
            EXPECT_EQ(start, 2 * kMiB);
            EXPECT_EQ(end, 2 * kMiB + 65536);
            ASSERT_TRUE(Stream_FindData(s, end, &start, &end));
            EXPECT_EQ(start, 5 * kMiB);
            EXPECT_EQ(end, 5 * kMiB + 4096);
            // Nothing stored after the last write: both answers are the file's size.
            ASSERT_TRUE(Stream_FindData(s, end, &start, &end));
            EXPECT_EQ(start, 8 * kMiB);
            EXPECT_EQ(end, 8 * kMiB);
            EXPECT_TRUE(Stream_IsHole(s, 0, 2 * kMiB));
            EXPECT_TRUE(Stream_IsHole(s, 3 * kMiB, kMiB));
            EXPECT_TRUE(Stream_IsHole(s, 6 * kMiB, 2 * kMiB));
        }
        EXPECT_TRUE(Stream_Close(s));
    }
    close(fd);
}

}  // namespace
