// Raw image layer, NDI descriptor images and disk sources.
#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/disk_source.h"
#include "disk/raw_image.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "disk/known_zero_util.h"
#include "support/sparse_file.h"
#include "support/test_support.h"
#include "volume/used_map.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

DiskGeometry Geo(uint64_t total, uint32_t heads, uint32_t spt, uint32_t bps)
{
    DiskGeometry g{0, heads, spt, bps, 0};
    Geometry_SetTotalSectors(&g, total);
    return g;
}

// A map without regions: every sector counts as used.
UsedSectorMap* AllUsedMap()
{
    static UsedSectorMap map;
    UsedMap_Init(&map);
    return &map;
}

struct OpenCounter {
    int calls;
    int answer;  // what the callback answers instead of opening (0: really open)
};

int CountingOpen(const char* path, bool readOnly, ByteStream** out, void* user)
{
    OpenCounter* c = static_cast<OpenCounter*>(user);
    ++c->calls;
    if (c->answer != 0) return c->answer;
    return FileOpener_DefaultOpen(path, readOnly, out, nullptr);
}

}  // namespace

TEST(RawImageOpen, SizeRuleIsExactAndOverflowChecked)
{
    TempDir dir;
    const uint64_t offset = 100;
    const DiskGeometry g = Geo(40, 2, 4, 512);
    const uint64_t needed = offset + 40 * 512;

    struct Row {
        uint64_t fileSize;
        uint64_t dataOffset;
        DiskGeometry geometry;
        int expected;
    } rows[] = {
        {needed - 1, offset, g, DISK_ERR_FORMAT},
        {needed, offset, g, DISK_OK},
        {needed + 4096, offset, g, DISK_OK},
        // offset + total x bps wraps past 2^64: the file cannot hold it.
        {needed, UINT64_MAX - 1000, g, DISK_ERR_FORMAT},
        {needed, 0, Geo(1ull << 54, 16, 63, 1024), DISK_ERR_FORMAT},
        {needed, 0, Geo((1ull << 55) + 1, 16, 63, 512), DISK_ERR_FORMAT},
        // incomplete geometry
        {needed, offset, Geo(0, 2, 4, 512), DISK_ERR_ARG},
        {needed, offset, Geo(40, 0, 4, 512), DISK_ERR_ARG},
        {needed, offset, Geo(40, 2, 0, 512), DISK_ERR_ARG},
        {needed, offset, Geo(40, 2, 4, 0), DISK_ERR_ARG},
    };
    int i = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(i);
        std::string path = dir.file("raw" + std::to_string(i++) + ".img");
        WriteFile(path, std::vector<uint8_t>(r.fileSize, 0x11));
        RawImage* obj = RawImage_Alloc();
        ASSERT_NE(obj, nullptr);
        RawImage_Init(obj);
        Refusal_Clear();
        EXPECT_EQ(RawImage_Open(obj, path.c_str(), true, r.dataOffset, &r.geometry), r.expected);
        if (r.expected == DISK_ERR_FORMAT) {
            EXPECT_STREQ(Refusal_Get(), "raw image: file is shorter than the disk");
        }
        if (r.expected != DISK_OK) {
            // A failed open leaves the object cleared, its stream closed (leaks show under ASan).
            EXPECT_EQ(obj->stream, nullptr);
            EXPECT_EQ(obj->buffer, nullptr);
        }
        RawImage_Destroy(obj);
        Mem_Free(obj);
    }
}

TEST(RawImageOpen, OpenerAnswersArePassedOn)
{
    TempDir dir;
    DiskGeometry g = Geo(8, 1, 8, 512);
    WriteFile(dir.file("a.img"), std::vector<uint8_t>(4096));
    RawImage obj;
    RawImage_Init(&obj);
    EXPECT_EQ(RawImage_Open(&obj, dir.file("missing.img").c_str(), true, 0, &g), DISK_ERR_OPEN);

    OpenCounter cancel{0, 1};
    FileOpener opener{CountingOpen, &cancel};
    EXPECT_EQ(RawImage_OpenWithHandler(&obj, &opener, dir.file("a.img").c_str(), true, 0, &g),
              DISK_CANCELLED);
    EXPECT_EQ(cancel.calls, 1);

    OpenCounter pass{0, 0};
    opener.user = &pass;
    ASSERT_EQ(RawImage_OpenWithHandler(&obj, &opener, dir.file("a.img").c_str(), true, 0, &g),
              DISK_OK);
    EXPECT_EQ(pass.calls, 1);
    RawImage_Destroy(&obj);
    EXPECT_EQ(obj.stream, nullptr);
}

TEST(RawImageRead, BoundsAndOffset)
{
    TempDir dir;
    const uint64_t offset = 300;
    std::vector<uint8_t> file = RandomBytes(offset + 16 * 512 + 77, 5);
    std::string path = dir.file("r.img");
    WriteFile(path, file);
    DiskHandle h;
    Disk_Init(&h);
    DiskGeometry g = Geo(16, 2, 8, 512);
    ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, offset, &g), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_RAW);
    DiskGeometry back{};
    Disk_GetGeometry(&h, &back);
    EXPECT_EQ(Geometry_GetTotalSectors(&back), 16u);
    EXPECT_EQ(back.heads, 2u);
    EXPECT_EQ(back.sectors_per_track, 8u);
    EXPECT_EQ(back.bytes_per_sector, 512u);

    struct Row {
        uint64_t at;
        uint32_t length;
        int expected;
    } rows[] = {
        {0, 512, DISK_OK},
        {15 * 512, 512, DISK_OK},           // the last sector
        {15 * 512 + 1, 512, DISK_ERR_ARG},  // one byte further
        {16 * 512, 0, DISK_OK},
        {16 * 512, 1, DISK_ERR_ARG},
        {123, 1000, DISK_OK},
        {UINT64_MAX, 2, DISK_ERR_ARG},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.at);
        std::vector<uint8_t> buf(r.length + 1, 0xEE);
        EXPECT_EQ(Disk_Read(&h, r.at, r.length, buf.data()), r.expected);
        if (r.expected == DISK_OK) {
            EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + r.length,
                                   file.begin() + static_cast<long>(offset + r.at)));
        } else {
            EXPECT_EQ(buf, std::vector<uint8_t>(r.length + 1, 0xEE));  // nothing read
        }
    }
    Disk_Close(&h);
    EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_NONE);
}

TEST(RawImageRead, ShortStreamGivesReadError)
{
    // Attach trusts its caller's size check: a stream shorter than the geometry fails the read.
    TempDir dir;
    std::string path = dir.file("short.img");
    WriteFile(path, std::vector<uint8_t>(1024, 1));
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    RawImage obj;
    RawImage_Init(&obj);
    DiskGeometry g = Geo(8, 1, 8, 512);
    ASSERT_EQ(RawImage_Attach(&obj, s, 0, &g), DISK_OK);
    uint8_t buf[1024];
    EXPECT_EQ(RawImage_Read(&obj, 0, 1024, buf), DISK_OK);
    EXPECT_EQ(RawImage_Read(&obj, 1024, 512, buf), DISK_ERR_READ);
    bool empty = true;
    EXPECT_EQ(RawImage_IsRangeEmpty(&obj, nullptr, 0, 8, &empty, nullptr, nullptr), DISK_ERR_READ);
    ByteStream* back = RawImage_Detach(&obj);
    EXPECT_EQ(back, s);
    EXPECT_EQ(obj.stream, nullptr);
    EXPECT_TRUE(Stream_ReadAt(back, 0, 16, buf));  // handed back unclosed
    Stream_Close(back);
}

TEST(RawImageAttach, RefusesSectorSizesTheBufferCannotHold)
{
    TempDir dir;
    std::string path = dir.file("a.img");
    WriteFile(path, std::vector<uint8_t>(512));
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_OpenFile(path.c_str(), true, &s));
    RawImage obj;
    RawImage_Init(&obj);
    for (uint32_t bps : {0u, RAW_IMAGE_BUFFER_SIZE + 1, 0x80000000u}) {
        DiskGeometry g = Geo(1, 1, 1, bps);
        EXPECT_EQ(RawImage_Attach(&obj, s, 0, &g), DISK_ERR_ARG);
        EXPECT_EQ(obj.stream, nullptr);
    }
    Stream_Close(s);
}

// Empty-range queries across chunk boundaries for several sector sizes. The chunk is what the
// 2 MiB buffer holds; with 4096-byte sectors a chunk of 4096 sectors would overflow it.
TEST(RawImageEmptyRange, ChunksFitTheBufferForEverySectorSize)
{
    TempDir dir;
    for (uint32_t bps : {256u, 512u, 1024u, 4096u}) {
        SCOPED_TRACE(bps);
        const uint32_t chunk = RAW_IMAGE_BUFFER_SIZE / bps;
        const uint64_t total = 2 * static_cast<uint64_t>(chunk) + 40;
        const uint64_t offset = 3 * 512;
        std::vector<uint8_t> file(offset + total * bps, 0);
        // Data: in the last sector of the first chunk, and in the last byte of the disk.
        const uint64_t lastOfChunk = chunk - 1;
        file[offset + lastOfChunk * bps + bps / 2] = 0x42;
        file[file.size() - 1] = 0x24;
        // The header before sector 0 is never part of the answer.
        memset(file.data(), 0xFF, offset);
        std::string path = dir.file("e" + std::to_string(bps) + ".img");
        WriteFile(path, file);

        DiskHandle h;
        Disk_Init(&h);
        DiskGeometry g = Geo(total, 16, 63, bps);
        ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, offset, &g), DISK_OK);
        struct Row {
            uint64_t first;
            uint64_t count;
            bool empty;
        } rows[] = {
            {0, total, false},
            {0, lastOfChunk, true},       // stops just before the data
            {0, lastOfChunk + 1, false},  // its last sector holds data
            {lastOfChunk, 1, false},
            {chunk, total - chunk - 1, true},  // two chunks' worth after it, all zero
            {chunk, total - chunk, false},     // the disk's last sector
            {total - 1, 1, false},
            {total, 0, true},
            {5, chunk * 2 - 10, false},  // crosses the data at a chunk's end
        };
        for (UsedSectorMap* map : {static_cast<UsedSectorMap*>(nullptr), AllUsedMap()}) {
            for (const Row& r : rows) {
                SCOPED_TRACE(r.first);
                bool empty = !r.empty;
                EXPECT_EQ(Disk_IsRangeEmpty(&h, map, r.first, static_cast<uint32_t>(r.count),
                                            &empty, nullptr, nullptr),
                          DISK_OK);
                EXPECT_EQ(empty, r.empty);
            }
        }
        bool empty = true;
        EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, total - 1, 2, &empty, nullptr, nullptr),
                  DISK_ERR_ARG);
        EXPECT_EQ(Disk_IsRangeEmpty(&h, nullptr, UINT64_MAX, 2, &empty, nullptr, nullptr),
                  DISK_ERR_ARG);
        EXPECT_TRUE(empty);  // untouched on failure
        Disk_Close(&h);
    }
}

namespace {

// Stand-in file system over the whole disk: sector s is used when s % 3 == 0.
int EveryThirdUsed(void*, uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset)
{
    for (uint32_t i = 0; i < count; ++i) Fs_SetBits(bitmap, bitOffset + i, 1, (first + i) % 3 == 0);
    return DISK_OK;
}

}  // namespace

TEST(RawImageEmptyRange, OnlyUsedSectorsCount)
{
    FsUsedBitsFn saved = FsUsedBitsTable[FS_KIND_FAT];
    FsUsedBitsTable[FS_KIND_FAT] = EveryThirdUsed;
    TempDir dir;
    for (uint32_t bps : {512u, 4096u}) {
        SCOPED_TRACE(bps);
        const uint32_t chunk = RAW_IMAGE_BUFFER_SIZE / bps;
        const uint64_t total = 2 * static_cast<uint64_t>(chunk) + 9;
        std::vector<uint8_t> file(total * bps, 0);
        // Data in every free sector; used sectors are zero except the one set below.
        for (uint64_t s = 0; s < total; ++s)
            if (s % 3 != 0) file[s * bps + 7] = 0x99;
        const uint64_t usedWithData = (chunk / 3 + 1) * 3;  // a used sector in the second chunk
        file[usedWithData * bps + bps - 1] = 0x01;
        std::string path = dir.file("m" + std::to_string(bps) + ".img");
        WriteFile(path, file);

        DiskHandle h;
        Disk_Init(&h);
        DiskGeometry g = Geo(total, 16, 63, bps);
        ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 0, &g), DISK_OK);
        int fsObject = 0;
        VolumeRegion region{0, total, FS_KIND_FAT, &fsObject};
        UsedSectorMap map{bps, 1, &region};
        struct Row {
            uint64_t first;
            uint64_t count;
            bool withMap;
            bool empty;
        } rows[] = {
            {0, usedWithData, true, true},       // free sectors hold data: still empty
            {0, usedWithData, false, false},     // without a map every sector counts
            {0, usedWithData + 1, true, false},  // reaches the used sector with data
            {usedWithData, 1, true, false},
            {usedWithData + 1, total - usedWithData - 1, true, true},
            {1, 2, true, true},  // only free sectors: nothing read
        };
        for (const Row& r : rows) {
            SCOPED_TRACE(r.first);
            bool empty = !r.empty;
            EXPECT_EQ(Disk_IsRangeEmpty(&h, r.withMap ? &map : nullptr, r.first,
                                        static_cast<uint32_t>(r.count), &empty, nullptr, nullptr),
                      DISK_OK);
            EXPECT_EQ(empty, r.empty);
        }
        Disk_Close(&h);
    }
    FsUsedBitsTable[FS_KIND_FAT] = saved;
}

// ---- NDI descriptors ------------------------------------------------------------------

namespace {

struct NdiCase {
    const char* name;
    std::string descriptor;
    int expected;
    const char* reason = nullptr;  // the check that refuses it
};

std::string Padded(const std::string& text, size_t size)
{
    std::string s = text;
    s.resize(size, ' ');
    return s;
}

}  // namespace

TEST(NdiImage, DescriptorTable)
{
    TempDir dir;
    // The image: 1024 header bytes, then 64 sectors of 512 bytes.
    std::vector<uint8_t> image = RandomBytes(1024 + 64 * 512, 9);
    const std::string good = "NDI 1024 64 4 16 512";
    const NdiCase cases[] = {
        {"good", good, DISK_OK},
        {"good with tabs and trailing blanks", "NDI\t1024 \t64 4\t16 512 \t ", DISK_OK},
        {"good up to a NUL", good + std::string(1, '\0') + "garbage after the terminator", DISK_OK},
        {"first three bytes compared", "NDIX 1024 64 4 16 512", DISK_OK},
        {"final line break", "NDI 1024 64 4 16 512\n", DISK_OK},
        {"final CRLF and blanks", "NDI 1024 64 4 16 512 \r\n", DISK_OK},
        {"line break between tokens", "NDI 1024 64\n4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"text on a second line", "NDI 1024 64 4 16 512\nx", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"256 bytes", Padded(good, 256), DISK_OK},
        {"257 bytes", Padded(good, 257), DISK_ERR_FORMAT, "NDI descriptor: too long"},
        {"seventh token", good + " 7", DISK_ERR_FORMAT,
         "NDI descriptor: text after the last field"},
        {"five tokens", "NDI 1024 64 4 16", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"empty", "", DISK_ERR_FORMAT, "NDI descriptor: does not start with NDI"},
        {"lower-case signature", "ndi 1024 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: does not start with NDI"},
        {"short signature", "ND 1024 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: does not start with NDI"},
        {"sign in a number", "NDI +1024 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"hex number", "NDI 0x400 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"offset beyond 64 bits", "NDI 18446744073709551616 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"heads beyond 32 bits", "NDI 1024 64 4294967296 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: a field is missing or not a number"},
        {"no sectors", "NDI 1024 0 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: no sectors, heads or sectors per track"},
        {"no heads", "NDI 1024 64 0 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: no sectors, heads or sectors per track"},
        {"no sectors per track", "NDI 1024 64 4 0 512", DISK_ERR_FORMAT,
         "NDI descriptor: no sectors, heads or sectors per track"},
        {"no sector size", "NDI 1024 64 4 16 0", DISK_ERR_FORMAT,
         "NDI descriptor: sector size out of range"},
        {"odd sector size", "NDI 1024 64 4 16 384", DISK_ERR_FORMAT,
         "NDI descriptor: sector size out of range"},
        {"huge sector size", "NDI 1024 64 4 16 2147483648", DISK_ERR_FORMAT,
         "NDI descriptor: sector size out of range"},
        {"size wraps 2^64", "NDI 18446744073709551615 64 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: disk too large"},
        {"total x bps beyond 2^64", "NDI 0 36028797018963968 4 16 512", DISK_ERR_FORMAT,
         "NDI descriptor: disk too large"},
        {"image one sector short", "NDI 1024 65 4 16 512", DISK_ERR_FORMAT,
         "raw image: file is shorter than the disk"},
    };
    int i = 0;
    for (const NdiCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stem = dir.file("n" + std::to_string(i++));
        WriteFile(stem + ".img", image);
        WriteText(stem + ".ndi", c.descriptor);
        RawImage* obj = RawImage_Alloc();
        RawImage_Init(obj);
        Refusal_Clear();
        EXPECT_EQ(RawImage_OpenNdi(obj, nullptr, (stem + ".img").c_str(), true), c.expected);
        if (c.expected == DISK_ERR_FORMAT) {
            EXPECT_STREQ(Refusal_Get(), c.reason);
        }
        if (c.expected == DISK_OK) {
            DiskGeometry g{};
            RawImage_GetGeometry(obj, &g);
            EXPECT_EQ(Geometry_GetTotalSectors(&g), 64u);
            EXPECT_EQ(g.heads, 4u);
            EXPECT_EQ(g.sectors_per_track, 16u);
            EXPECT_EQ(g.bytes_per_sector, 512u);
            std::vector<uint8_t> sector(512);
            ASSERT_EQ(RawImage_Read(obj, 63 * 512, 512, sector.data()), DISK_OK);
            EXPECT_TRUE(std::equal(sector.begin(), sector.end(), image.begin() + 1024 + 63 * 512));
        } else {
            EXPECT_EQ(obj->stream, nullptr);
        }
        RawImage_Destroy(obj);
        Mem_Free(obj);
    }
}

TEST(NdiImage, DescriptorPathAndOpener)
{
    TempDir dir;
    std::vector<uint8_t> image(8 * 512, 0);
    WriteFile(dir.file("disk.v1.hdd"), image);
    WriteText(dir.file("disk.v1.ndi"), "NDI 0 8 1 8 512");
    WriteFile(dir.file("lonely.img"), image);
    RawImage obj;
    RawImage_Init(&obj);

    // The descriptor replaces the last extension only.
    OpenCounter counter{0, 0};
    FileOpener opener{CountingOpen, &counter};
    ASSERT_EQ(RawImage_OpenNdi(&obj, &opener, dir.file("disk.v1.hdd").c_str(), true), DISK_OK);
    EXPECT_EQ(counter.calls, 1);  // the descriptor; the image itself opens with the default opener
    RawImage_Destroy(&obj);

    // A missing descriptor never ends probing: -207, not -201.
    EXPECT_EQ(RawImage_OpenNdi(&obj, &opener, dir.file("lonely.img").c_str(), true), DISK_ERR_ARG);
    // The opener's cancel is passed on.
    OpenCounter cancel{0, 1};
    opener.user = &cancel;
    EXPECT_EQ(RawImage_OpenNdi(&obj, &opener, dir.file("disk.v1.hdd").c_str(), true),
              DISK_CANCELLED);
    // A path whose descriptor name does not fit 4096 bytes.
    std::string longPath(5000, 'a');
    EXPECT_EQ(RawImage_OpenNdi(&obj, nullptr, longPath.c_str(), true), DISK_ERR_ARG);
}

TEST(NdiImage, FoundByProbing)
{
    TempDir dir;
    std::vector<uint8_t> image = RandomBytes(512 + 32 * 256, 3);
    WriteFile(dir.file("pc.img"), image);
    WriteText(dir.file("pc.ndi"), "NDI 512 32 2 16 256");
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, dir.file("pc.img").c_str(), true), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_RAW);
    std::vector<uint8_t> buf(256);
    ASSERT_EQ(Disk_Read(&h, 31 * 256, 256, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.begin() + 512 + 31 * 256));
    Disk_Close(&h);
}

// ---- Disk sources -----------------------------------------------------------------------

TEST(DiskSourceTest, BorrowedLeavesTheHandleOpenOwnedClosesIt)
{
    TempDir dir;
    std::vector<uint8_t> image = RandomBytes(16 * 512, 4);
    std::string path = dir.file("s.img");
    WriteFile(path, image);
    DiskGeometry g = Geo(16, 1, 16, 512);

    DiskHandle borrowed;
    Disk_Init(&borrowed);
    ASSERT_EQ(Disk_OpenRaw(&borrowed, path.c_str(), true, 0, &g), DISK_OK);
    DiskSource* source = nullptr;
    ASSERT_EQ(DiskSource_WrapDisk(&borrowed, false, &source), DISK_OK);
    DiskGeometry back{};
    DiskSource_GetGeometry(source, &back);
    EXPECT_EQ(Geometry_GetTotalSectors(&back), 16u);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(DiskSource_Read(source, 512, 512, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.begin() + 512));
    bool empty = true;
    EXPECT_EQ(DiskSource_IsRangeEmpty(source, nullptr, 0, 16, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_FALSE(DiskSource_IsVmdk(source));
    EXPECT_EQ(DiskSource_GetVmdk(source), nullptr);
    DiskSource_Close(source);
    // Still open after the borrowed source's close.
    EXPECT_EQ(Disk_GetKind(&borrowed), DISK_KIND_RAW);
    EXPECT_EQ(Disk_Read(&borrowed, 0, 512, buf.data()), DISK_OK);
    Disk_Close(&borrowed);

    // An owned handle is closed and freed with the source (a leak would show under ASan).
    DiskHandle* owned = Disk_Alloc();
    Disk_Init(owned);
    ASSERT_EQ(Disk_OpenRaw(owned, path.c_str(), true, 0, &g), DISK_OK);
    ASSERT_EQ(DiskSource_WrapDisk(owned, true, &source), DISK_OK);
    DiskSource_Close(source);

    // Release hands the handle back without closing it.
    owned = Disk_Alloc();
    Disk_Init(owned);
    ASSERT_EQ(Disk_OpenRaw(owned, path.c_str(), true, 0, &g), DISK_OK);
    ASSERT_EQ(DiskSource_WrapDisk(owned, true, &source), DISK_OK);
    EXPECT_EQ(DiskSource_Release(source), owned);
    EXPECT_EQ(Disk_Read(owned, 0, 512, buf.data()), DISK_OK);
    Disk_Close(owned);
    Mem_Free(owned);

    EXPECT_EQ(DiskSource_WrapDisk(nullptr, false, &source), DISK_ERR_ARG);
}

TEST(DiskSourceTest, OpenPathEx)
{
    TempDir dir;
    std::vector<uint8_t> image = RandomBytes(8 * 512, 6);
    WriteFile(dir.file("p.img"), image);
    WriteText(dir.file("p.ndi"), "NDI 0 8 1 8 512");
    WriteFile(dir.file("junk.bin"), RandomBytes(3000, 1));

    DiskSource* source = nullptr;
    ASSERT_EQ(DiskSource_OpenPathEx(dir.file("p.img").c_str(), true, 0, nullptr, &source), DISK_OK);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(DiskSource_Read(source, 7 * 512, 512, buf.data()), DISK_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.begin() + 7 * 512));
    DiskSource_Close(source);

    source = nullptr;
    EXPECT_EQ(DiskSource_OpenPathEx(dir.file("junk.bin").c_str(), true, 0, nullptr, &source),
              DISK_ERR_ARG);
    EXPECT_EQ(source, nullptr);
}

// ---- Holes of the image file ----------------------------------------------------------

namespace {

using sparse::kMiB;

// A 16 MiB disk after a header of dataOffset bytes: stored runs at 1 MiB + 3 sectors (64 KiB),
// across the 9 MiB boundary, a stored run of zero bytes at 12 MiB, and the last sector.
struct HoleLayout {
    uint32_t bps;
    uint64_t dataOffset;
    uint64_t total;
    std::vector<sparse::Run> runs;
    std::vector<bool> holes;  // whole MiB of the file that no run touches

    HoleLayout(uint32_t bytesPerSector, uint64_t offset) : bps(bytesPerSector), dataOffset(offset)
    {
        total = 16 * kMiB / bps;
        if (dataOffset != 0)
            runs.push_back(sparse::NonZeroRun(0, dataOffset < 4096 ? dataOffset : 4096, 7));
        runs.push_back(sparse::NonZeroRun(dataOffset + kMiB + 3 * bps, 65536, 8));
        runs.push_back(sparse::NonZeroRun(dataOffset + 9 * kMiB - 100, 200, 9));
        runs.push_back(sparse::Run{dataOffset + 12 * kMiB, std::vector<uint8_t>(65536, 0)});
        runs.push_back(sparse::NonZeroRun(dataOffset + 16 * kMiB - bps, bps, 10));
        holes = sparse::UntouchedMiBs(FileSize(), runs);
    }
    uint64_t FileSize() const { return dataOffset + 16 * kMiB; }
    DiskGeometry Geometry() const { return Geo(total, 16, 63, bps); }
    uint64_t At(uint64_t sector) const { return dataOffset + sector * bps; }
    // The sectors lie in whole MiB of the file that hold nothing.
    bool InHoles(uint64_t first, uint64_t count) const
    {
        return sparse::InsideZeroMiBs(holes, At(first), count * bps);
    }
    bool AnyNonZero(uint64_t first, uint64_t count) const
    {
        return sparse::AnyNonZero(runs, At(first), count * bps);
    }
};

struct HoleParam {
    uint32_t bps;
    uint64_t dataOffset;
};

void PrintTo(const HoleParam& p, std::ostream* os)
{
    *os << p.bps << "-byte sectors after " << p.dataOffset << " bytes";
}

std::string HoleParamName(const ::testing::TestParamInfo<HoleParam>& info)
{
    return "bps" + std::to_string(info.param.bps) + "_offset" +
           std::to_string(info.param.dataOffset);
}

class RawHoles : public ::testing::TestWithParam<HoleParam> {
protected:
    void SetUp() override
    {
        if (!sparse::HolesAreReported(dir.path()))
            GTEST_SKIP() << "the file system of " << dir.path() << " does not report holes";
        path = dir.file("sparse.img");
        ASSERT_TRUE(sparse::MakeFile(path, layout.FileSize(), layout.runs));
    }

    // A raw disk over the file through a recording stream, as a handle of the raw kind.
    void OpenRecorded(sparse::RecordingStream* rec, bool canTell, DiskHandle* h)
    {
        ByteStream* s = rec->Open(path, canTell);
        ASSERT_NE(s, nullptr);
        RawImage* obj = RawImage_Alloc();
        RawImage_Init(obj);
        const DiskGeometry g = layout.Geometry();
        ASSERT_EQ(RawImage_Attach(obj, s, layout.dataOffset, &g), DISK_OK);
        *h = DiskHandle{DISK_KIND_RAW, obj};
    }

    TempDir dir;
    std::string path;
    HoleLayout layout{GetParam().bps, GetParam().dataOffset};
};

TEST_P(RawHoles, KnownZeroBlocksAreHolesAndEveryWholeHoleIsFound)
{
    DiskHandle h;
    Disk_Init(&h);
    const DiskGeometry g = layout.Geometry();
    ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, layout.dataOffset, &g), DISK_OK);
    const uint32_t block = static_cast<uint32_t>(65536 / layout.bps);
    const knownzero::SweepResult swept = knownzero::Sweep(
        &h, block, [&](uint64_t first, uint32_t count) { return layout.InHoles(first, count); });
    EXPECT_GT(swept.knownZero, swept.blocks / 2);
    // Stored bytes are never a hole, even when they are zeros.
    bool zero = true;
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, (12 * kMiB) / layout.bps, 1, &zero), DISK_OK);
    EXPECT_FALSE(zero);
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, layout.total - 1, 1, &zero), DISK_OK);
    EXPECT_FALSE(zero);
    // Outside the disk.
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, layout.total - 1, 2, &zero), DISK_ERR_ARG);
    EXPECT_EQ(Disk_IsRangeKnownZero(&h, UINT64_MAX, 2, &zero), DISK_ERR_ARG);
    Disk_Close(&h);
}

TEST_P(RawHoles, EmptyRangeSkipsHolesUnreadAndAgreesWithAFullRead)
{
    struct Row {
        uint64_t firstByte;
        uint64_t bytes;
    } rows[] = {
        {0, 16 * kMiB},                // everything
        {2 * kMiB, 7 * kMiB - 4096},   // a long hole only
        {2 * kMiB, 8 * kMiB},          // a hole, then the run across 9 MiB
        {10 * kMiB, 6 * kMiB - 4096},  // stored zeros among holes: empty
        {10 * kMiB, 6 * kMiB},         // up to the stored last sector
        {kMiB, 4096},                  // zeros before the first run, in its block
    };
    for (const Row& r : rows) {
        const uint64_t first = r.firstByte / layout.bps;
        const uint32_t count = static_cast<uint32_t>(r.bytes / layout.bps);
        SCOPED_TRACE(first);
        bool answers[2] = {};
        for (bool canTell : {true, false}) {
            sparse::RecordingStream rec;
            DiskHandle h;
            OpenRecorded(&rec, canTell, &h);
            bool empty = !layout.AnyNonZero(first, count);
            ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, first, count, &empty, nullptr, nullptr),
                      DISK_OK);
            EXPECT_EQ(empty, !layout.AnyNonZero(first, count));
            answers[canTell] = empty;
            if (canTell) {
                for (const auto& read : rec.reads)
                    EXPECT_FALSE(sparse::TouchesZeroMiBs(layout.holes, read.first, read.second))
                        << "read " << read.first << "+" << read.second;
            }
            Disk_Close(&h);
        }
        EXPECT_EQ(answers[0], answers[1]);
    }
}

TEST_P(RawHoles, StreamsThatCannotTellKnowNoZeros)
{
    sparse::RecordingStream rec;
    DiskHandle h;
    OpenRecorded(&rec, false, &h);
    const uint32_t block = static_cast<uint32_t>(65536 / layout.bps);
    for (uint64_t first = 0; first < layout.total; first += block) {
        bool zero = true;
        ASSERT_EQ(Disk_IsRangeKnownZero(&h, first, block, &zero), DISK_OK);
        ASSERT_FALSE(zero) << first;
    }
    EXPECT_TRUE(rec.reads.empty());
    Disk_Close(&h);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RawHoles,
                         ::testing::Values(HoleParam{512, 0}, HoleParam{512, 512},
                                           HoleParam{512, 5000}, HoleParam{4096, 0},
                                           HoleParam{4096, 4096 + 512}, HoleParam{2048, kMiB}),
                         HoleParamName);

}  // namespace

TEST(RawImageEmptyRange, OneGibibyteOfHolesIsNotRead)
{
    TempDir dir;
    if (!sparse::HolesAreReported(dir.path())) GTEST_SKIP() << "no holes on " << dir.path();
    const uint64_t size = 1024 * kMiB;
    const std::string path = dir.file("big.img");
    ASSERT_TRUE(sparse::MakeFile(
        path, size,
        {sparse::Run{0, std::vector<uint8_t>(kMiB, 0)}, sparse::NonZeroRun(size - kMiB, kMiB, 4)}));
    DiskHandle h;
    Disk_Init(&h);
    const DiskGeometry g = Geo(size / 512, 16, 63, 512);
    ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 0, &g), DISK_OK);
    struct Row {
        uint64_t count;
        bool empty;
    } rows[] = {{size / 512 - 2048, true}, {size / 512, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.count);
        const uint64_t before = sparse::BytesReadByProcess();
        bool empty = !r.empty;
        ASSERT_EQ(Disk_IsRangeEmpty(&h, nullptr, 0, static_cast<uint32_t>(r.count), &empty, nullptr,
                                    nullptr),
                  DISK_OK);
        EXPECT_EQ(empty, r.empty);
        // The stored zeros at the start and the stored end at most, never the holes between.
        EXPECT_LE(sparse::BytesReadByProcess() - before, 4 * kMiB);
    }
    Disk_Close(&h);
}

TEST(RawImageKnownZero, LargeSparseDiskIsCopiedWithoutReadingItsHoles)
{
    // A writer's loop at the disk layer: blocks known to be zero are skipped, the others read.
    TempDir dir;
    if (!sparse::HolesAreReported(dir.path())) GTEST_SKIP() << "no holes on " << dir.path();
    const uint64_t size = 64 * 1024 * kMiB;
    const std::string path = dir.file("huge.img");
    const std::vector<sparse::Run> runs = {
        sparse::NonZeroRun(0, kMiB, 1), sparse::NonZeroRun(17 * 1024 * kMiB + 123, 3 * kMiB, 2),
        sparse::NonZeroRun(40 * 1024 * kMiB, 4096, 3), sparse::NonZeroRun(size - kMiB, kMiB, 4)};
    ASSERT_TRUE(sparse::MakeFile(path, size, runs));
    DiskHandle h;
    Disk_Init(&h);
    const DiskGeometry g = Geo(size / 512, 16, 63, 512);
    ASSERT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 0, &g), DISK_OK);
    const uint32_t blockBytes = 2 * kMiB;
    std::vector<uint8_t> block(blockBytes);
    uint64_t blocksRead = 0;
    const uint64_t before = sparse::BytesReadByProcess();
    for (uint64_t at = 0; at < size; at += blockBytes) {
        bool zero = false;
        ASSERT_EQ(Disk_IsRangeKnownZero(&h, at / 512, blockBytes / 512, &zero), DISK_OK);
        if (zero) {
            ASSERT_FALSE(sparse::AnyNonZero(runs, at, blockBytes)) << at;
            continue;
        }
        ++blocksRead;
        ASSERT_EQ(Disk_Read(&h, at, blockBytes, block.data()), DISK_OK);
    }
    const uint64_t read = sparse::BytesReadByProcess() - before;
    // Four runs touch at most six blocks.
    EXPECT_LE(blocksRead, 6u);
    EXPECT_LE(read, 6 * static_cast<uint64_t>(blockBytes) + kMiB);
    Disk_Close(&h);
}
