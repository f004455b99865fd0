// The raw writer (layout, chunking, progress, free space skipped through the map, failures) and
// the flat raw image with its ".txt" description.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/stat.h>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_test_util.h"
#include "disk/raw_writer.h"
#include "foundation/platform.h"
#include "foundation/stream.h"
#include "volume/ext_fs.h"
#include "volume/used_map.h"
#include "support/test_support.h"

using namespace testsupport;
using namespace emutest;

namespace {

class RawWriter : public ::testing::Test {
protected:
    void SetUp() override { InstallFakeKind(); }
    TempDir dir;
};

uint8_t Pattern(uint64_t at) { return uint8_t((at * 2654435761u) >> 13); }

TEST_F(RawWriter, LaysOutHeaderDataGapAndTrailer)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(2600, 4, 5, 1024);  // 2.5 MiB: two chunks of 1 MiB and a rest
    fake.byteAt = Pattern;
    DiskHandle source = FakeHandle(&fake);
    const std::vector<uint8_t> header = FastBytes(100, 1), trailer = FastBytes(77, 2);
    const uint64_t dataOffset = 3000, gap = 5000;
    Progress progress;
    const std::string out = dir.file("out.bin");
    ASSERT_EQ(RawWriter_Write(out.c_str(), &source, Progress::Callback, &progress, 2600, 1024,
                              header.data(), 100, dataOffset, gap, trailer.data(), 77, 1 << 20),
              DISK_OK);

    const std::vector<uint8_t> file = LoadFile(out);
    const uint64_t dataEnd = dataOffset + 2600 * 1024;
    ASSERT_EQ(file.size(), dataEnd + gap + 77);
    EXPECT_EQ(std::memcmp(file.data(), header.data(), 100), 0);
    EXPECT_TRUE(Mem_IsZero(file.data() + 100, dataOffset - 100));
    for (uint64_t i = 0; i < 2600 * 1024; i++) {
        if (file[dataOffset + i] != Pattern(i)) {
            ADD_FAILURE() << "data differs at " << i;
            break;
        }
    }
    EXPECT_TRUE(Mem_IsZero(file.data() + dataEnd, gap));
    EXPECT_EQ(std::memcmp(file.data() + dataEnd + gap, trailer.data(), 77), 0);

    // Chunks of chunk size / bytes per sector sectors, each read once.
    ASSERT_EQ(fake.reads.size(), 3u);
    EXPECT_EQ(fake.reads[0], std::make_pair(uint64_t(0), uint32_t(1024 * 1024)));
    EXPECT_EQ(fake.reads[1], std::make_pair(uint64_t(1024 * 1024), uint32_t(1024 * 1024)));
    EXPECT_EQ(fake.reads[2], std::make_pair(uint64_t(2048 * 1024), uint32_t(552 * 1024)));
    // 0 first, after every chunk, and the total once more at the end.
    const std::vector<std::pair<uint64_t, uint64_t>> expect = {
        {0, 2600}, {1024, 2600}, {2048, 2600}, {2600, 2600}, {2600, 2600}};
    EXPECT_EQ(progress.calls, expect);
    EXPECT_TRUE(fake.queries.empty());  // no map: every sector counts as used
}

// A used-sector map over a whole disk of 512-byte sectors from a block bitmap of 4 KiB blocks
// (1 = used), held by an ext volume record.
struct BlockMap {
    ExtVolume volume{};
    VolumeRegion region{};
    UsedSectorMap map{};
    BlockMap(uint64_t sectors, const std::function<bool(uint64_t)>& used)
    {
        const uint64_t blocks = (sectors + 7) / 8;
        EXPECT_EQ(Ext_InitBitmap(&volume, static_cast<uint32_t>(blocks)), DISK_OK);
        for (uint64_t b = 0; b < blocks; b++) {
            if (used(b * 8)) {
                EXPECT_EQ(Ext_MarkUsed(&volume, static_cast<uint32_t>(b), 1), DISK_OK);
            }
        }
        volume.bytesPerSector = 512;
        volume.blockSize = 4096;
        volume.blockCount = static_cast<uint32_t>(blocks);
        VolumeRegion_Init(&region);
        region = VolumeRegion{0, sectors, FS_KIND_EXT, &volume};
        map = UsedSectorMap{512, 1, &region};
    }
    ~BlockMap() { Ext_Destroy(&volume); }
    BlockMap(const BlockMap&) = delete;
    BlockMap& operator=(const BlockMap&) = delete;
};

// One read per used chunk serves the zero test and the copy; chunks the map calls free are not
// read; free sectors and chunks holding only zeros are holes of the file, which still has its
// full length.
TEST_F(RawWriter, FreeSpaceKnownFromTheMapIsNotReadAndZerosAreHoles)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(5 * 4096 + 100, 16, 63, 512);  // five 2 MiB chunks and a rest
    // Chunk 3 holds only zeros; the others pattern bytes.
    fake.byteAt = [](uint64_t at) {
        return at / 512 >= 3 * 4096 && at / 512 < 4 * 4096 ? uint8_t(0) : uint8_t(Pattern(at) | 1);
    };
    // The map leaves chunk 1, the second half of chunk 4 and the short last one free.
    BlockMap m(5 * 4096 + 100,
               [](uint64_t s) { return !((s >= 4096 && s < 2 * 4096) || (s >= 4 * 4096 + 2048)); });
    DiskHandle source = FakeHandle(&fake);
    const std::string out = dir.file("flat.img");
    Progress progress;
    ASSERT_EQ(FlatImage_Create(out.c_str(), &source, &m.map, Progress::Callback, &progress),
              DISK_OK);

    EXPECT_TRUE(fake.queries.empty());  // the map answers; nothing is read to test for zeros
    ASSERT_EQ(fake.reads.size(), 4u);
    EXPECT_EQ(fake.reads[0].first, 0u);
    EXPECT_EQ(fake.reads[1].first, 2u * 4096 * 512);
    EXPECT_EQ(fake.reads[2].first, 3u * 4096 * 512);
    EXPECT_EQ(fake.reads[3].first, 4u * 4096 * 512);
    EXPECT_EQ(progress.calls.back().first, 5u * 4096 + 100);

    const std::vector<uint8_t> file = LoadFile(out);
    ASSERT_EQ(file.size(), (5u * 4096 + 100) * 512);
    for (uint64_t s = 0; s < 5 * 4096 + 100; s++) {
        const bool free = (s >= 4096 && s < 2 * 4096) || s >= 4 * 4096 + 2048;
        const uint8_t expect = free ? 0 : fake.byteAt(s * 512 + 7);
        if (file[s * 512 + 7] != expect) {
            ADD_FAILURE() << "sector " << s;
            break;
        }
    }
    // Written: chunks 0 and 2 and chunk 4 (its free half cleared); the rest are holes.
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 3u * 2097152 + 65536);
}

TEST_F(RawWriter, RefusesSizesThatDoNotFit)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(100, 1, 1, 4096);
    DiskHandle source = FakeHandle(&fake);
    const std::string out = dir.file("x");
    uint8_t header[64] = {};
    // A chunk smaller than one sector, a header longer than the space before the data, an end
    // past 2^64, no sector size.
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 100, 4096, nullptr, 0, 0, 0,
                              nullptr, 0, 2048),
              DISK_ERR_ARG);
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 100, 4096, header, 64, 32, 0,
                              nullptr, 0, 1 << 20),
              DISK_ERR_ARG);
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 1ull << 60, 4096, nullptr, 0,
                              0, 0, nullptr, 0, 1 << 20),
              DISK_ERR_ARG);
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 100, 4096, nullptr, 0,
                              UINT64_MAX - 1000, 0, nullptr, 0, 1 << 20),
              DISK_ERR_ARG);
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 100, 0, nullptr, 0, 0, 0,
                              nullptr, 0, 1 << 20),
              DISK_ERR_ARG);
    EXPECT_FALSE(Os_PathExists(out.c_str()));
    EXPECT_EQ(RawWriter_Write(dir.file("no/dir/x").c_str(), &source, nullptr, nullptr, 100, 4096,
                              nullptr, 0, 0, 0, nullptr, 0, 1 << 20),
              DISK_ERR_CREATE);
    // 4096-byte sectors in 2 MiB chunks: 512 sectors per read.
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 100, 4096, nullptr, 0, 0, 0,
                              nullptr, 0, 1 << 21),
              DISK_OK);
    EXPECT_EQ(LoadFile(out).size(), 100u * 4096);
}

TEST_F(RawWriter, StopsOnCancelAndPassesReadFailuresOn)
{
    FakeDisk fake;
    fake.geometry = MakeGeometry(3 * 4096, 16, 63, 512);
    fake.byteAt = Pattern;
    DiskHandle source = FakeHandle(&fake);
    Progress progress;
    progress.stopAt = 1;  // the report after the first chunk answers false
    const std::string out = dir.file("c");
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, Progress::Callback, &progress, 3 * 4096, 512,
                              nullptr, 0, 0, 0, nullptr, 0, 1 << 21),
              DISK_CANCELLED);
    EXPECT_EQ(fake.reads.size(), 1u);
    // The partial file holds what was written.
    const std::vector<uint8_t> partial = LoadFile(out);
    ASSERT_EQ(partial.size(), 4096u * 512);
    EXPECT_EQ(partial[4095 * 512], Pattern(4095 * 512));

    fake.reads.clear();
    fake.failReadNumber = 2;
    fake.failReadCode = DISK_ERR_FORMAT;
    EXPECT_EQ(RawWriter_Write(out.c_str(), &source, nullptr, nullptr, 3 * 4096, 512, nullptr, 0, 0,
                              0, nullptr, 0, 1 << 21),
              DISK_ERR_FORMAT);
}

TEST_F(RawWriter, ZeroFillWritesExactlyTheRange)
{
    const std::string path = dir.file("z");
    SaveFile(path, std::vector<uint8_t>(10000, 0xEE));
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), false, &s));
    std::vector<uint8_t> buffer(300, 0xFF);  // the fill clears its buffer itself
    EXPECT_EQ(RawWriter_ZeroFill(s, 1000, 4321, buffer.data(), 300), DISK_OK);
    EXPECT_EQ(RawWriter_ZeroFill(s, 9000, 0, buffer.data(), 300), DISK_OK);
    EXPECT_EQ(RawWriter_ZeroFill(s, 0, 10, buffer.data(), 0), DISK_ERR_ARG);
    EXPECT_TRUE(Stream_Close(s));
    const std::vector<uint8_t> file = LoadFile(path);
    ASSERT_EQ(file.size(), 10000u);
    for (size_t i = 0; i < file.size(); i++) {
        const uint8_t expect = (i >= 1000 && i < 5321) ? 0 : 0xEE;
        ASSERT_EQ(file[i], expect) << i;
    }
    // A stream that cannot be written.
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    EXPECT_EQ(RawWriter_ZeroFill(s, 0, 100, buffer.data(), 300), DISK_ERR_WRITE);
    Stream_Close(s);
}

TEST_F(RawWriter, TxtDescriptionText)
{
    DiskGeometry g = MakeGeometry(1000, 16, 63, 512);
    ASSERT_EQ(FlatImage_WriteTxtFile(dir.file("disk.img").c_str(), &g, "flat"), DISK_OK);
    const std::vector<uint8_t> txt = LoadFile(dir.file("disk.txt"));
    EXPECT_EQ(std::string(txt.begin(), txt.end()),
              "#bps=512,sector=1000\n#file=\"disk.img\", cyl=0, heads=16, spt=63\n"
              "type=disk, path=\"disk.img\", mode=flat, cylinders=0, heads=16, spt=63\n");

    // 64-bit totals, a name without extension, another mode word.
    g = MakeGeometry(0x123456789ull, 255, 63, 4096);
    ASSERT_EQ(FlatImage_WriteTxtFile(dir.file("big").c_str(), &g, "growing"), DISK_OK);
    const std::vector<uint8_t> big = LoadFile(dir.file("big.txt"));
    EXPECT_EQ(std::string(big.begin(), big.end()),
              "#bps=4096,sector=4886718345\n#file=\"big\", cyl=304184, heads=255, spt=63\n"
              "type=disk, path=\"big\", mode=growing, cylinders=304184, heads=255, spt=63\n");

    // No cylinder size: 0 cylinders rather than a division by zero.
    g = MakeGeometry(10, 0, 0, 512);
    ASSERT_EQ(FlatImage_WriteTxtFile(dir.file("z.raw").c_str(), &g, "flat"), DISK_OK);
    const std::vector<uint8_t> z = LoadFile(dir.file("z.txt"));
    EXPECT_NE(std::string(z.begin(), z.end()).find("cylinders=0, heads=0, spt=0"),
              std::string::npos);

    // A path that does not fit, a text beyond 2048 bytes, a directory that does not exist.
    const std::string longName(5000, 'a');
    EXPECT_EQ(FlatImage_WriteTxtFile((dir.path() + "/" + longName).c_str(), &g, "flat"),
              DISK_ERR_ARG);
    const std::string name1200(1200, 'b');
    EXPECT_EQ(FlatImage_WriteTxtFile((dir.path() + "/" + name1200).c_str(), &g, "flat"),
              DISK_ERR_ARG);
    EXPECT_EQ(FlatImage_WriteTxtFile(dir.file("no/such/disk.img").c_str(), &g, "flat"),
              DISK_ERR_CREATE);
}

TEST_F(RawWriter, FlatImageRoundTripsThroughTheRawLayer)
{
    const std::vector<uint8_t> src = FastBytes(3000 * 512, 9);
    SaveFile(dir.file("src.img"), src);
    DiskGeometry g = MakeGeometry(3000, 16, 63, 512);
    DiskHandle source;
    Disk_Init(&source);
    ASSERT_EQ(Disk_OpenRaw(&source, dir.file("src.img").c_str(), true, 0, &g), DISK_OK);
    Progress progress;
    const std::string out = dir.file("copy.raw");
    ASSERT_EQ(FlatImage_Create(out.c_str(), &source, nullptr, Progress::Callback, &progress),
              DISK_OK);
    Disk_Close(&source);
    EXPECT_EQ(progress.calls.front().first, 0u);
    EXPECT_EQ(progress.calls.back().first, 3000u);
    EXPECT_EQ(LoadFile(out), src);
    EXPECT_TRUE(Os_PathExists(dir.file("copy.txt").c_str()));

    DiskHandle back;
    Disk_Init(&back);
    ASSERT_EQ(Disk_OpenRaw(&back, out.c_str(), true, 0, &g), DISK_OK);
    EXPECT_EQ(ReadDisk(&back), src);
    Disk_Close(&back);

    // The flat check only needs the byte size to fit 63 bits.
    DiskGeometry huge = MakeGeometry(1ull << 54, 16, 63, 512);
    EXPECT_EQ(FlatImage_CheckGeometry(&huge), -1);
    Geometry_SetTotalSectors(&huge, (1ull << 54) - 1);
    EXPECT_EQ(FlatImage_CheckGeometry(&huge), 0);
    huge.bytes_per_sector = 0;
    EXPECT_EQ(FlatImage_CheckGeometry(&huge), -1);
}

// A sparse source with long holes between pieces of data: the holes are passed in long steps,
// and the data on either side of each step, at odd offsets, still comes out where it was.
TEST_F(RawWriter, LongHolesOfTheSourceArePassedWithTheDataAroundThemKept)
{
    const uint64_t sectors = 2u * 1024 * 1024 + 4096 + 7;  // 1 GiB, 2 MiB and 7 sectors
    const uint64_t at[] = {0, 1, 600000, 600001, 1048575, 1400003, sectors - 1};
    const std::string src = dir.file("sparse.img");
    {
        FILE* f = std::fopen(src.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (uint64_t s : at) {
            std::vector<uint8_t> sector(512, static_cast<uint8_t>(s % 251 + 1));
            ASSERT_EQ(fseeko(f, static_cast<off_t>(s * 512), SEEK_SET), 0);
            ASSERT_EQ(std::fwrite(sector.data(), 1, 512, f), 512u);
        }
        std::fclose(f);
    }
    DiskGeometry g = MakeGeometry(sectors, 16, 63, 512);
    DiskHandle source;
    Disk_Init(&source);
    ASSERT_EQ(Disk_OpenRaw(&source, src.c_str(), true, 0, &g), DISK_OK);
    Progress progress;
    const std::string out = dir.file("copy.raw");
    ASSERT_EQ(FlatImage_Create(out.c_str(), &source, nullptr, Progress::Callback, &progress),
              DISK_OK);
    Disk_Close(&source);
    EXPECT_EQ(progress.calls.back().first, sectors);
    // Only the pieces of data take room in the output (the rest are holes, read as zeros), and
    // each sector of data is where it was, with zeros on both sides.
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), sectors * 512);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 7u * 65536);
    FILE* f = std::fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (uint64_t s : at) {
        for (uint64_t near = s == 0 ? 0 : s - 1; near <= s + 1 && near < sectors; ++near) {
            const bool data = std::find(std::begin(at), std::end(at), near) != std::end(at);
            std::vector<uint8_t> sector(512);
            ASSERT_EQ(fseeko(f, static_cast<off_t>(near * 512), SEEK_SET), 0);
            ASSERT_EQ(std::fread(sector.data(), 1, 512, f), 512u);
            EXPECT_EQ(sector,
                      std::vector<uint8_t>(512, data ? static_cast<uint8_t>(near % 251 + 1) : 0))
                << "sector " << near;
        }
    }
    std::fclose(f);
}

}  // namespace
