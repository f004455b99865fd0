// The writers' block reader: what it reads for each kind of piece, and how a block is placed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_test_util.h"
#include "disk/writer_kit.h"
#include "foundation/platform.h"
#include "foundation/stream.h"
#include "support/sparse_file.h"
#include "support/test_support.h"
#include "volume/used_map.h"

using namespace testsupport;

namespace {

uint8_t Pattern(uint64_t at) { return static_cast<uint8_t>(((at * 2654435761u) >> 11) | 1); }

// Whether any two recorded reads overlap (a byte read twice).
bool ReadsOverlap(std::vector<std::pair<uint64_t, uint32_t>> reads)
{
    std::sort(reads.begin(), reads.end());
    for (size_t i = 1; i < reads.size(); i++) {
        if (reads[i - 1].first + reads[i - 1].second > reads[i].first) return true;
    }
    return false;
}

struct PieceCase {
    const char* name;
    bool zeroDisk;    // the zero disk instead of the scripted one
    bool dataInside;  // the scripted disk holds a non-zero byte in the piece
    uint32_t state;
    bool zero;
    size_t reads;
};

class PieceStates : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceStates, EachStateReadsWhatItMust)
{
    const PieceCase& c = GetParam();
    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(4096, 16, 63, 512);
    fake.byteAt = [&c](uint64_t at) {
        return c.dataInside && at == 700 * 512 + 3 ? uint8_t(9) : uint8_t(0);
    };
    DiskHandle source = emutest::FakeHandle(&fake);
    DiskHandle zero;
    Disk_Init(&zero);
    if (c.zeroDisk) {
        ASSERT_EQ(Disk_OpenZero(&zero, &fake.geometry), DISK_OK);
        source = zero;
    }
    std::vector<uint8_t> buffer(1024 * 512, 0xEE);
    WriterPiece piece;
    ASSERT_EQ(WriterKit_ReadPiece(&source, nullptr, 512, 1024, buffer.data(), &piece), DISK_OK);
    EXPECT_EQ(piece.state, c.state);
    EXPECT_EQ(piece.zero, c.zero);
    EXPECT_EQ(piece.first, 512u);
    EXPECT_EQ(piece.count, 1024u);
    EXPECT_EQ(fake.reads.size(), c.reads);
    if (c.state == WRITER_PIECE_DATA) {
        ASSERT_EQ(piece.data, buffer.data());
        EXPECT_EQ(buffer[(700 - 512) * 512 + 3], c.dataInside ? 9 : 0);
    } else {
        EXPECT_EQ(piece.data, nullptr);
        EXPECT_EQ(buffer[0], 0xEE) << "a piece that is not read leaves the buffer alone";
    }
    if (c.zeroDisk) Disk_Close(&zero);
}

INSTANTIATE_TEST_SUITE_P(
    Kit, PieceStates,
    ::testing::Values(PieceCase{"ZeroDiskIsNotRead", true, false, WRITER_PIECE_KNOWN_ZERO, true, 0},
                      PieceCase{"ZerosAreReadOnce", false, false, WRITER_PIECE_DATA, true, 1},
                      PieceCase{"DataIsReadOnce", false, true, WRITER_PIECE_DATA, false, 1}),
    [](const ::testing::TestParamInfo<PieceCase>& i) { return std::string(i.param.name); });

TEST(WriterKit, RefusesPiecesItCannotRead)
{
    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(4096, 16, 63, 512);
    DiskHandle source = emutest::FakeHandle(&fake);
    std::vector<uint8_t> buffer(512);
    WriterPiece piece;
    EXPECT_EQ(WriterKit_ReadPiece(&source, nullptr, 0, 0, buffer.data(), &piece), DISK_ERR_ARG);
    EXPECT_EQ(WriterKit_ReadPiece(&source, nullptr, 0, WRITER_PIECE_MAX_SECTORS + 1, buffer.data(),
                                  &piece),
              DISK_ERR_ARG);
    EXPECT_EQ(WriterKit_ReadPiece(nullptr, nullptr, 0, 1, buffer.data(), &piece), DISK_ERR_ARG);
    // A read failure of the source is passed on.
    fake.failReadNumber = 0;
    EXPECT_EQ(WriterKit_ReadPiece(&source, nullptr, 0, 1, buffer.data(), &piece), DISK_ERR_READ);
    EXPECT_EQ(WriterKit_Walk(&source, nullptr, 0, 8, 0, buffer.data(), 1,
                             [](const WriterPiece&) { return static_cast<int>(DISK_OK); }),
              DISK_ERR_ARG);
}

// A FAT volume made over garbage: the map's free sectors are never read, each used sector is
// read once, and free sectors come back as zeros.
TEST(WriterKit, OnlyTheMapsUsedRunsAreRead)
{
    if (!HaveTool("mkfs.vfat")) GTEST_SKIP() << "mkfs.vfat missing";
    TempDir dir;
    const uint64_t total = 16 * 2048;
    std::vector<uint8_t> image(total * 512);
    for (uint64_t i = 0; i < image.size(); i++) image[i] = Pattern(i);
    WriteFile(dir.file("fat.raw"), image);
    std::string text;
    ASSERT_EQ(RunCommand("mkfs.vfat " + Quote(dir.file("fat.raw")) + " 2>&1", &text), 0) << text;
    image = ReadFile(dir.file("fat.raw"));

    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(total, 16, 63, 512);
    fake.byteAt = [&image](uint64_t at) { return image[at]; };
    DiskHandle source = emutest::FakeHandle(&fake);
    int rc = DISK_ERR_ARG;
    uint32_t known = 0;
    UsedSectorMap* map = UsedMap_Create(&source, &rc, &known);
    ASSERT_NE(map, nullptr) << rc;
    std::vector<uint8_t> bits(total / 8);
    ASSERT_EQ(UsedMap_GetUsedBits(map, 0, static_cast<int32_t>(total), bits.data()), DISK_OK);
    auto used = [&bits](uint64_t s) { return ((bits[s / 8] >> (s % 8)) & 1) != 0; };
    fake.reads.clear();

    // Pieces of 9000 sectors cross the reader's chunks of used bits.
    std::vector<uint8_t> buffer(9000 * 512);
    uint32_t states[3] = {0, 0, 0};
    for (uint64_t first = 0; first < total; first += 9000) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(9000, total - first));
        const size_t before = fake.reads.size();
        WriterPiece piece;
        ASSERT_EQ(WriterKit_ReadPiece(&source, map, first, n, buffer.data(), &piece), DISK_OK);
        states[piece.state]++;
        bool anyUsed = false;
        for (uint32_t i = 0; i < n; i++) anyUsed = anyUsed || used(first + i);
        EXPECT_EQ(piece.state, anyUsed ? WRITER_PIECE_DATA : WRITER_PIECE_FREE) << first;
        if (piece.state != WRITER_PIECE_DATA) {
            EXPECT_EQ(fake.reads.size(), before);
            continue;
        }
        bool allZero = true;
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t* s = buffer.data() + static_cast<size_t>(i) * 512;
            const uint8_t* expected = image.data() + (first + i) * 512;
            if (used(first + i)) {
                ASSERT_EQ(std::memcmp(s, expected, 512), 0) << first + i;
                allZero = allZero && Mem_IsZero(s, 512);
            } else {
                ASSERT_TRUE(Mem_IsZero(s, 512)) << "free sector " << first + i << " is not zeros";
            }
        }
        EXPECT_EQ(piece.zero, allZero);
    }
    EXPECT_GT(states[WRITER_PIECE_FREE], 0u);
    EXPECT_GT(states[WRITER_PIECE_DATA], 0u);
    EXPECT_FALSE(ReadsOverlap(fake.reads));
    for (const auto& r : fake.reads) {
        for (uint64_t s = r.first / 512; s < (r.first + r.second) / 512; s++)
            ASSERT_TRUE(used(s)) << "free sector " << s << " was read";
    }

    // The run reader over the same pieces: the stretches it hands out are read once each, in
    // order, hold exactly the used sectors as the image has them, and the rest of the buffer is
    // left as it was.
    fake.reads.clear();
    std::vector<uint64_t> delivered;  // sectors handed out, in order
    for (uint64_t first = 0; first < total; first += 9000) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(9000, total - first));
        std::fill(buffer.begin(), buffer.end(), uint8_t(0xEE));
        struct Seen {
            uint64_t first;
            const uint8_t* buffer;
            std::vector<uint64_t>* delivered;
            std::vector<bool> inRun;
            const std::vector<uint8_t>* image;
        } seen{first, buffer.data(), &delivered, std::vector<bool>(n), &image};
        ASSERT_EQ(WriterKit_ReadDataRuns(
                      &source, map, first, n, buffer.data(),
                      [](void* user, uint32_t offset, uint32_t count, const uint8_t* data) {
                          Seen* s = static_cast<Seen*>(user);
                          EXPECT_EQ(data, s->buffer + static_cast<size_t>(offset) * 512);
                          EXPECT_EQ(std::memcmp(data, s->image->data() + (s->first + offset) * 512,
                                                static_cast<size_t>(count) * 512),
                                    0);
                          for (uint32_t i = 0; i < count; i++) {
                              s->delivered->push_back(s->first + offset + i);
                              s->inRun[offset + i] = true;
                          }
                          return static_cast<int>(DISK_OK);
                      },
                      &seen),
                  DISK_OK);
        for (uint32_t i = 0; i < n; i++) {
            if (!seen.inRun[i]) {
                ASSERT_EQ(buffer[static_cast<size_t>(i) * 512], 0xEE) << first + i;
            }
        }
    }
    std::vector<uint64_t> usedSectors;
    for (uint64_t s = 0; s < total; s++)
        if (used(s)) usedSectors.push_back(s);
    EXPECT_EQ(delivered, usedSectors);
    EXPECT_FALSE(ReadsOverlap(fake.reads));
    UsedMap_Destroy(map);
    Mem_Free(map);
}

// Blocks of four pieces: one with data only in its third piece, one of zeros, and a short last
// block with data in its first piece. Only the first and the last are placed; a placed block's
// earlier pieces are zeros that were never read.
struct HolesCase {
    uint8_t holes;
    uint64_t fileSectors;  // the short last block is written to its end, or to the end of the
                           // file page holding its last data
};

class PlacedBlocks : public ::testing::TestWithParam<HolesCase> {};

// Blocks go out at their first piece with data; with holes, runs of zeros inside a placed block
// are not written (the file's first two pages stay a hole), the bytes read the same.
TEST_P(PlacedBlocks, AreStoredFromTheirFirstPieceWithData)
{
    const uint32_t pieceSectors = 8, blockSectors = 32;
    const uint64_t total = 2 * blockSectors + 10;
    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(total, 16, 63, 512);
    fake.byteAt = [&](uint64_t at) {
        const uint64_t s = at / 512;
        return (s >= 16 && s < 24) || s == 2 * blockSectors + 1 ? Pattern(at) : uint8_t(0);
    };
    DiskHandle source = emutest::FakeHandle(&fake);
    TempDir dir;
    ByteStream* out = nullptr;
    ASSERT_TRUE(Stream_CreateFile(dir.file("out").c_str(), &out));
    std::vector<uint8_t> buffer(pieceSectors * 512);
    std::vector<bool> placed;
    std::vector<uint64_t> offsets;
    uint64_t next = 0;
    const uint8_t holes = GetParam().holes;
    WriterBlockPlacer block = {out, 0, false, holes};
    int rc = WriterKit_Walk(&source, nullptr, 0, total, blockSectors, buffer.data(), pieceSectors,
                            [&](const WriterPiece& p) -> int {
                                if (p.offset == 0)
                                    block = WriterBlockPlacer{out, next, false, holes};
                                EXPECT_EQ(p.first, p.block * blockSectors + p.offset);
                                EXPECT_EQ(p.blockCount, p.block < 2 ? blockSectors : 10u);
                                int r = WriterKit_PlacePiece(&block, &p);
                                if (r == DISK_OK && p.lastOfBlock) {
                                    placed.push_back(block.placed);
                                    offsets.push_back(next);
                                    if (block.placed) next += blockSectors * 512;
                                }
                                return r;
                            });
    ASSERT_EQ(rc, DISK_OK);
    ASSERT_TRUE(Stream_Close(out));
    EXPECT_EQ(placed, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(fake.reads.size(), 2u * 4 + 2) << "every piece is read once";
    EXPECT_FALSE(ReadsOverlap(fake.reads));
    std::vector<uint8_t> file = ReadFile(dir.file("out"));
    ASSERT_EQ(file.size(), GetParam().fileSectors * 512);
    file.resize(blockSectors * 512 + 10 * 512);
    for (uint64_t i = 0; i < blockSectors * 512; i++) ASSERT_EQ(file[i], fake.byteAt(i)) << i;
    for (uint64_t i = 0; i < 10 * 512; i++)
        ASSERT_EQ(file[blockSectors * 512 + i], fake.byteAt(2 * blockSectors * 512 + i)) << i;
    if (holes != WRITER_HOLES_NONE) {
        ByteStream* in = nullptr;
        ASSERT_TRUE(Stream_OpenFile(dir.file("out").c_str(), true, &in));
        uint64_t dataStart = 0, dataEnd = 0;
        if (Stream_FindData(in, 0, &dataStart, &dataEnd)) {
            EXPECT_EQ(dataStart, 8192u);
        }
        Stream_Close(in);
    }
}

INSTANTIATE_TEST_SUITE_P(WriterKit, PlacedBlocks,
                         ::testing::Values(HolesCase{WRITER_HOLES_NONE, 42},
                                           HolesCase{WRITER_HOLES_INSIDE, 42},
                                           HolesCase{WRITER_HOLES_ANY, 40}));

// A sparse raw file without a map: the run reader hands out its pieces of data (in steps of
// 64 KiB around them) and never its holes; a failure answered by the callback ends the walk.
TEST(WriterKit, DataRunsOfASparseFileLeaveItsHolesOut)
{
    TempDir dir;
    const uint64_t sectors = 8192;  // 4 MiB
    const uint64_t at[] = {5, 300, 301, 4000, 8191};
    const std::string path = dir.file("sparse.img");
    std::vector<sparse::Run> stored;
    for (uint64_t s : at)
        stored.push_back({s * 512, std::vector<uint8_t>(512, static_cast<uint8_t>(s % 251 + 1))});
    ASSERT_TRUE(sparse::MakeFile(path, sectors * 512, stored));
    DiskGeometry g = emutest::MakeGeometry(sectors, 16, 63, 512);
    DiskHandle source;
    Disk_Init(&source);
    ASSERT_EQ(Disk_OpenRaw(&source, path.c_str(), true, 0, &g), DISK_OK);
    std::vector<uint8_t> buffer(sectors * 512);
    struct Runs {
        std::vector<std::pair<uint32_t, uint32_t>> got;
        int stopAt = -1;
    } runs;
    const WriterRunFn record = [](void* user, uint32_t offset, uint32_t n, const uint8_t*) {
        Runs* r = static_cast<Runs*>(user);
        if (static_cast<int>(r->got.size()) == r->stopAt) return static_cast<int>(DISK_ERR_WRITE);
        r->got.emplace_back(offset, n);
        return static_cast<int>(DISK_OK);
    };
    ASSERT_EQ(WriterKit_ReadDataRuns(&source, nullptr, 0, sectors, buffer.data(), record, &runs),
              DISK_OK);
    uint64_t handed = 0;
    for (size_t i = 0; i < runs.got.size(); i++) {
        if (i > 0) {
            EXPECT_GE(runs.got[i].first, runs.got[i - 1].first + runs.got[i - 1].second);
        }
        handed += runs.got[i].second;
    }
    EXPECT_LE(handed, 4u * 128) << "holes were read";
    for (uint64_t s : at) {
        bool inside = false;
        for (const auto& r : runs.got) inside = inside || (s >= r.first && s < r.first + r.second);
        EXPECT_TRUE(inside) << "sector " << s << " was left out";
        if (inside) {
            EXPECT_EQ(buffer[s * 512 + 9], s % 251 + 1);
        }
    }

    runs = Runs{};
    runs.stopAt = 1;
    EXPECT_EQ(WriterKit_ReadDataRuns(&source, nullptr, 0, sectors, buffer.data(), record, &runs),
              DISK_ERR_WRITE);
    EXPECT_EQ(runs.got.size(), 1u);
    EXPECT_EQ(WriterKit_ReadDataRuns(&source, nullptr, 0, 0, buffer.data(), record, &runs),
              DISK_ERR_ARG);
    Disk_Close(&source);
}

TEST(WriterKit, AStopFromTheCallbackEndsTheWalk)
{
    emutest::InstallFakeKind();
    emutest::FakeDisk fake;
    fake.geometry = emutest::MakeGeometry(64, 16, 63, 512);
    DiskHandle source = emutest::FakeHandle(&fake);
    std::vector<uint8_t> buffer(8 * 512);
    int calls = 0;
    EXPECT_EQ(
        WriterKit_Walk(&source, nullptr, 0, 64, 16, buffer.data(), 8,
                       [&](const WriterPiece&) { return ++calls == 3 ? DISK_CANCELLED : DISK_OK; }),
        DISK_CANCELLED);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(fake.reads.size(), 3u);
}

}  // namespace
