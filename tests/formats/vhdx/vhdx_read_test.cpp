// VHDX reading: qemu-made dynamic and fixed files of every block size against their raw source,
// hand-built differencing chains against libvhdi, 4096-byte logical sectors, header and region
// table fallbacks, the refused dirty log, hostile metadata and the layer queries.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/vhdx/vhdx.h"
#include "foundation/refusal.h"
#include "support/test_support.h"
#include "vhdx_test_util.h"

using namespace vhdxtest;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const uint64_t MiB = 1 << 20;

// A raw file of `size` bytes with pseudo-random data in a few places and zeros elsewhere.
std::string MakeRaw(const TempDir& dir, const std::string& name, uint64_t size)
{
    const std::string raw = dir.file(name);
    Truncate(raw, 0);
    Truncate(raw, size);
    WriteRandom(raw, 0, 4096, 1);
    WriteRandom(raw, MiB + 512, 3 * 512, 2);
    if (size > 5 * MiB) WriteRandom(raw, size - 3 * MiB - 1024, MiB, 3);
    WriteRandom(raw, size - 512, 512, 4);
    return raw;
}

std::string Str(const std::string& s) { return "\"" + s + "\""; }

// Opens with the VHDX reader alone; the result, and the recorded reason in *reason ("" when
// none was recorded).
int OpenRefused(const std::string& path, std::string* reason)
{
    VhdxImage image;
    Vhdx_Init(&image);
    Refusal_Clear();
    const int rc = Vhdx_Open(&image, path.c_str(), true);
    *reason = Refusal_Get() != nullptr ? Refusal_Get() : "";
    if (rc == DISK_OK) Vhdx_Close(&image);
    return rc;
}

}  // namespace

// qemu-img's dynamic and fixed files, block sizes from 1 MiB to 256 MiB, zero-state blocks on
// and off, a partial last block: every byte equals the raw source.
TEST(VhdxRead, QemuFilesReadAsTheirSource)
{
    TempDir dir;
    struct Case {
        const char* subformat;
        const char* block;
        const char* zero;
        uint64_t size;
    } cases[] = {
        {"dynamic", "1M", "off", 5 * MiB + 3 * 512}, {"dynamic", "1M", "on", 7 * MiB},
        {"dynamic", "32M", "off", 40 * MiB + 512},   {"dynamic", "256M", "on", 9 * MiB},
        {"fixed", "1M", "off", 3 * MiB + 1024},      {"fixed", "8M", "on", 12 * MiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.subformat) + " " + c.block + " zero=" + c.zero);
        const std::string raw = MakeRaw(dir, "src.raw", c.size);
        const std::string vhdx = dir.file("q.vhdx");
        std::remove(vhdx.c_str());
        std::string out;
        ASSERT_EQ(Qemu("convert -f raw -O vhdx -o subformat=" + std::string(c.subformat) +
                           ",block_size=" + c.block + ",block_state_zero=" + c.zero + " " +
                           Quote(raw) + " " + Quote(vhdx),
                       &out),
                  0)
            << out;
        Opened o(vhdx);
        ASSERT_EQ(o.rc, DISK_OK);
        ASSERT_EQ(Disk_GetKind(&o.handle), DISK_KIND_VHDX);
        DiskGeometry g = {};
        Disk_GetGeometry(&o.handle, &g);
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.size / 512);
        EXPECT_EQ(g.bytes_per_sector, 512u);
        EXPECT_EQ(ReadAll(&o.handle), ReadFile(raw));
        bool empty = false;
        EXPECT_EQ(Disk_IsRangeEmpty(&o.handle, nullptr, 8, 2040, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(empty);
        EXPECT_EQ(Disk_IsRangeEmpty(&o.handle, nullptr, 0, 8, &empty, nullptr, nullptr), DISK_OK);
        EXPECT_FALSE(empty);
        // Not a layered image: its stored blocks are answered without any sector bitmap.
        bool unallocated = true;
        EXPECT_EQ(Disk_IsRangeUnallocated(&o.handle, nullptr, 0, 8, &unallocated), DISK_OK);
        EXPECT_FALSE(unallocated);
        EXPECT_FALSE(Disk_HasParent(&o.handle));
        EXPECT_TRUE(Disk_CanCompact(&o.handle));
    }
}

// Past the first chunk: with 1 MiB blocks the 4097th payload block sits behind the chunk's
// sector-bitmap entry.
TEST(VhdxRead, BlocksBehindTheFirstChunk)
{
    TempDir dir;
    const uint64_t size = 4097 * MiB + 5 * MiB;
    const std::string raw = dir.file("big.raw");
    Truncate(raw, size);
    WriteRandom(raw, 4095 * MiB + 100, 2 * MiB, 7);
    WriteRandom(raw, 4100 * MiB, MiB, 8);
    const std::string vhdx = dir.file("big.vhdx");
    std::string out;
    ASSERT_EQ(Qemu("convert -f raw -O vhdx -o subformat=dynamic,block_size=1M " + Quote(raw) + " " +
                       Quote(vhdx),
                   &out),
              0)
        << out;
    Opened o(vhdx);
    ASSERT_EQ(o.rc, DISK_OK);
    for (uint64_t at : {4094 * MiB, size - 8 * MiB}) {
        std::vector<uint8_t> got(8 * MiB), expect(8 * MiB);
        FILE* f = fopen(raw.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseeko(f, static_cast<off_t>(at), SEEK_SET), 0);
        ASSERT_EQ(fread(expect.data(), 1, expect.size(), f), expect.size());
        fclose(f);
        ASSERT_EQ(Disk_Read(&o.handle, at, static_cast<uint32_t>(got.size()), got.data()), DISK_OK);
        EXPECT_EQ(got, expect) << at;
    }
}

// A hand-built differencing child (fully and partially present blocks, an untouched block that
// reads through) reads as libvhdi reads it; its relative path uses "\".
TEST(VhdxRead, DifferencingChainMatchesLibvhdi)
{
    TempDir dir;
    const uint64_t size = 6 * MiB;
    const std::string raw = MakeRaw(dir, "p.raw", size);
    const std::string parent = dir.file("p.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx " + Quote(raw) + " " + Quote(parent)), 0);
    const std::string child = dir.file("c.vhdx");
    const std::string expect = dir.file("c.expect");
    Build(
        "{\"path\":" + Str(child) + ",\"size\":" + std::to_string(size) +
        ",\"parent\":{\"relative\":\".\\\\p.vhdx\",\"absolute\":\"C:\\\\x\\\\p.vhdx\",\"file\":" +
        Str(parent) +
        "},\"blocks\":[{\"index\":0,\"state\":6},{\"index\":1,\"state\":7,\"sectors\":[[0,3],[100,"
        "50],[2047,1]]},{\"index\":4,\"state\":7,\"sectors\":[[5,1]]}],\"expect\":" +
        Str(expect) + ",\"parent_raw\":" + Str(raw) + "}");
    Opened o(child);
    ASSERT_EQ(o.rc, DISK_OK);
    ASSERT_NE(o.image(), nullptr);
    EXPECT_TRUE(Disk_HasParent(&o.handle));
    const std::vector<uint8_t> ours = ReadAll(&o.handle);
    EXPECT_EQ(ours, ReadFile(expect));
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}, &report)) << report;
        EXPECT_EQ(ours, ReadFile(dir.file("lib.raw")));
    }
    // The per-layer query: block 2 holds nothing here, block 1 holds sectors 0..2, 100..149.
    bool unallocated = false;
    EXPECT_EQ(Disk_IsRangeUnallocated(&o.handle, nullptr, 2 * 2048, 2048, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    EXPECT_EQ(Disk_IsRangeUnallocated(&o.handle, nullptr, 2048 + 3, 97, &unallocated), DISK_OK);
    EXPECT_TRUE(unallocated);
    EXPECT_EQ(Disk_IsRangeUnallocated(&o.handle, nullptr, 2048 + 3, 98, &unallocated), DISK_OK);
    EXPECT_FALSE(unallocated);
    // Empty-range answers follow the merged content.
    bool empty = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&o.handle, nullptr, 2 * 2048 + 8, 100, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_TRUE(empty);  // zeros in the parent, nothing here
    EXPECT_EQ(Disk_IsRangeEmpty(&o.handle, nullptr, 2048 + 100, 1, &empty, nullptr, nullptr),
              DISK_OK);
    EXPECT_FALSE(empty);
}

// Parent lookup: a missing relative path falls back to the absolute one; a relative path naming
// the child itself, a loop of two files and a chain deeper than 32 are refused.
TEST(VhdxRead, ParentLookupAndBoundedChains)
{
    TempDir dir;
    const uint64_t size = 2 * MiB;
    const std::string raw = MakeRaw(dir, "p.raw", size);
    const std::string parent = dir.file("p.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx " + Quote(raw) + " " + Quote(parent)), 0);
    const std::string sz = std::to_string(size);

    const std::string fallback = dir.file("fallback.vhdx");
    Build("{\"path\":" + Str(fallback) + ",\"size\":" + sz +
          ",\"parent\":{\"relative\":\"gone\\\\p.vhdx\",\"absolute\":" + Str(parent) + "}}");
    {
        Opened o(fallback);
        ASSERT_EQ(o.rc, DISK_OK);
        EXPECT_EQ(ReadAll(&o.handle), ReadFile(raw));
    }
    const std::string self = dir.file("self.vhdx");
    Build("{\"path\":" + Str(self) + ",\"size\":" + sz +
          ",\"parent\":{\"relative\":\"self.vhdx\",\"absolute\":" + Str(parent) + "}}");
    VhdxImage image;
    Vhdx_Init(&image);
    std::string reason;
    EXPECT_EQ(OpenRefused(self, &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX parent locator: names the image itself");

    // a -> b -> a
    Build("[{\"path\":" + Str(dir.file("a.vhdx")) + ",\"size\":" + sz +
          ",\"parent\":{\"relative\":\"b.vhdx\"}},{\"path\":" + Str(dir.file("b.vhdx")) +
          ",\"size\":" + sz + ",\"parent\":{\"relative\":\"a.vhdx\"}}]");
    EXPECT_EQ(OpenRefused(dir.file("a.vhdx"), &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX parent chain: leads back to an image in it");

    // d0 is the base; dN's parent is d(N-1). 32 levels above the opened file are too many.
    ASSERT_EQ(Qemu("create -q -f vhdx " + Quote(dir.file("d0.vhdx")) + " " + sz), 0);
    std::string specs = "[";
    for (int i = 1; i <= 33; i++) {
        if (i > 1) specs += ",";
        specs += "{\"path\":" + Str(dir.file("d" + std::to_string(i) + ".vhdx")) +
                 ",\"size\":" + sz + ",\"parent\":{\"relative\":\"d" + std::to_string(i - 1) +
                 ".vhdx\"}}";
    }
    Build(specs + "]");
    EXPECT_EQ(Vhdx_Open(&image, dir.file("d31.vhdx").c_str(), true), DISK_OK);
    Vhdx_Close(&image);
    EXPECT_EQ(OpenRefused(dir.file("d33.vhdx"), &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX parent chain: too many parents");
    // A parent refused for its own bytes: the child fails with the parent's reason.
    std::vector<uint8_t> base = ReadFile(dir.file("d0.vhdx"));
    base[65536 + 100] ^= 1;
    base[131072 + 100] ^= 1;
    testsupport::WriteFile(dir.file("d0.vhdx"), base);
    EXPECT_EQ(OpenRefused(dir.file("d3.vhdx"), &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX header: checksum does not match");
}

// 4096-byte logical sectors: presented as 512-byte sectors with the VHD rule's heads and
// sectors per track; partial blocks merge by logical sector.
TEST(VhdxRead, LogicalSectorsOf4096Bytes)
{
    TempDir dir;
    const uint64_t size = 3 * MiB + 8192;
    const std::string raw = MakeRaw(dir, "p.raw", size);
    const std::string parent = dir.file("p.vhdx");
    const std::string expectParent = dir.file("p.expect");
    Build("{\"path\":" + Str(parent) + ",\"size\":" + std::to_string(size) +
          ",\"lss\":4096,\"blocks\":[{\"index\":0,\"state\":6},{\"index\":3,\"state\":6}],"
          "\"expect\":" +
          Str(expectParent) + "}");
    const std::string child = dir.file("c.vhdx");
    const std::string expect = dir.file("c.expect");
    Build("{\"path\":" + Str(child) + ",\"size\":" + std::to_string(size) +
          ",\"lss\":4096,\"parent\":{\"relative\":\"p.vhdx\",\"file\":" + Str(parent) +
          "},\"blocks\":[{\"index\":0,\"state\":7,\"sectors\":[[1,2],[255,1]]}],\"expect\":" +
          Str(expect) + ",\"parent_raw\":" + Str(expectParent) + "}");
    Opened p(parent);
    ASSERT_EQ(p.rc, DISK_OK);
    DiskGeometry g = {};
    Disk_GetGeometry(&p.handle, &g);
    DiskGeometry rule = {};
    Vhd_ComputeGeometry(size, &rule);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), size / 512);
    EXPECT_EQ(g.heads, rule.heads);
    EXPECT_EQ(g.sectors_per_track, rule.sectors_per_track);
    EXPECT_EQ(ReadAll(&p.handle), ReadFile(expectParent));
    Opened c(child);
    ASSERT_EQ(c.rc, DISK_OK);
    const std::vector<uint8_t> ours = ReadAll(&c.handle);
    EXPECT_EQ(ours, ReadFile(expect));
    // A read inside one logical sector.
    std::vector<uint8_t> piece(1000);
    ASSERT_EQ(Disk_Read(&c.handle, 4096 + 700, 1000, piece.data()), DISK_OK);
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), ours.begin() + 4096 + 700));
    if (HavePyvhdi()) {
        std::string report;
        ASSERT_TRUE(ReadWithLibvhdi(dir.file("lib.raw"), {child, parent}, &report)) << report;
        EXPECT_EQ(ours, ReadFile(dir.file("lib.raw")));
    }
}

// A log with pending updates is refused as such, also through the general open, which must not
// take the file for a raw image.
TEST(VhdxRead, PendingLogIsRefused)
{
    TempDir dir;
    const std::string vhdx = dir.file("dirty.vhdx");
    ASSERT_EQ(Qemu("create -q -f vhdx " + Quote(vhdx) + " 8M"), 0);
    ASSERT_EQ(Fixture("dirty-log " + Quote(vhdx)), 0);
    VhdxImage image;
    Vhdx_Init(&image);
    EXPECT_EQ(Vhdx_Open(&image, vhdx.c_str(), true), DISK_ERR_UNSUPPORTED);
    Opened o(vhdx);
    EXPECT_EQ(o.rc, DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(o.handle.object, nullptr);
}

// Fallbacks: a damaged first region table gives way to its copy (and says so); equal header
// sequence numbers take the second header.
TEST(VhdxRead, RegionTableCopyAndHeaderChoice)
{
    TempDir dir;
    const std::string raw = MakeRaw(dir, "src.raw", 4 * MiB);
    const std::string vhdx = dir.file("q.vhdx");
    ASSERT_EQ(Qemu("convert -f raw -O vhdx " + Quote(raw) + " " + Quote(vhdx)), 0);
    ASSERT_EQ(Fixture("damage-region " + Quote(vhdx)), 0);
    {
        Opened o(vhdx);
        ASSERT_EQ(o.rc, DISK_OK);
        ASSERT_NE(o.image(), nullptr);
        EXPECT_EQ(o.image()->usedRegionCopy, 1);
        EXPECT_EQ(ReadAll(&o.handle), ReadFile(raw));
    }
    ASSERT_EQ(Fixture("set-header " + Quote(vhdx) + " sequence 5"), 0);
    VhdxImage image;
    Vhdx_Init(&image);
    EXPECT_EQ(Vhdx_Open(&image, vhdx.c_str(), true), DISK_OK);
    Vhdx_Close(&image);
    ASSERT_EQ(Fixture("set-header " + Quote(vhdx) + " version 2"), 0);
    EXPECT_EQ(Vhdx_Open(&image, vhdx.c_str(), true), DISK_ERR_FORMAT);
}

// Hostile metadata: every value that would divide, overflow or index out of bounds is refused.
TEST(VhdxRead, HostileMetadataIsRefused)
{
    TempDir dir;
    const char* size = "VHDX metadata: virtual disk size is zero, too large or uneven";
    const char* block = "VHDX file parameters: block size out of range";
    const char* sector = "VHDX metadata: logical sector size is neither 512 nor 4096";
    struct Case {
        const char* item;
        const char* hex;
        const char* reason;
    } cases[] = {
        {"virtual_size", "0000000000000000", size},  // no sectors
        {"virtual_size", "0002000000400000", size},  // 64 TiB + 512
        {"virtual_size", "0100100000000000", size},  // not whole logical sectors
        {"virtual_size", "0000000000100000",
         "VHDX block allocation table: region too small for the disk"},
        {"file_parameters", "0000300000000000", block},  // 3 MiB blocks
        {"file_parameters", "0000002000000000", block},  // 512 MiB blocks
        {"file_parameters", "0000100002000000",
         "VHDX parent locator: no parent path of a differencing disk"},
        {"logical_sector", "00040000", sector},  // 1024
        {"logical_sector", "00000000", sector},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.item) + " " + c.hex);
        const std::string vhdx = dir.file("h.vhdx");
        std::remove(vhdx.c_str());
        ASSERT_EQ(Qemu("create -q -f vhdx " + Quote(vhdx) + " 8M"), 0);
        std::string out;
        ASSERT_EQ(Fixture("set-metadata " + Quote(vhdx) + " " + c.item + " " + c.hex, &out), 0)
            << out;
        std::string reason;
        EXPECT_EQ(OpenRefused(vhdx, &reason), DISK_ERR_FORMAT);
        EXPECT_EQ(reason, c.reason);
    }
    // The largest size a VHDX may have opens when its BAT region is large enough.
    const std::string big = dir.file("big.vhdx");
    ASSERT_EQ(Qemu("create -q -f vhdx -o block_size=256M " + Quote(big) + " 64T"), 0);
    VhdxImage image;
    Vhdx_Init(&image);
    ASSERT_EQ(Vhdx_Open(&image, big.c_str(), true), DISK_OK);
    EXPECT_EQ(Geometry_GetTotalSectors(&image.geometry), (64ull << 40) / 512);
    std::vector<uint8_t> tail(4096, 1);
    EXPECT_EQ(Vhdx_Read(&image, (64ull << 40) - 4096, 4096, tail.data()), DISK_OK);
    EXPECT_EQ(tail, std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(Vhdx_Read(&image, (64ull << 40) - 4096, 4097, tail.data()), DISK_ERR_ARG);
    Vhdx_Close(&image);
}

// Damaged structures of a qemu file: the code, and the check that refused the file; a good
// file opened after a refused one.
TEST(VhdxRead, DamagedStructuresNameTheirCheck)
{
    TempDir dir;
    const std::string good = dir.file("good.vhdx");
    ASSERT_EQ(Qemu("create -q -f vhdx " + Quote(good) + " 8M"), 0);
    const std::vector<uint8_t> bytes = ReadFile(good);
    // qemu's layout: headers at 64 and 128 KiB, region tables at 192 and 256 KiB, metadata at
    // 3 MiB.
    ASSERT_GE(bytes.size(), 4 * MiB);
    ASSERT_EQ(std::memcmp(bytes.data() + 3 * MiB, "metadata", 8), 0);
    struct Case {
        const char* what;
        std::vector<size_t> flips;  // bytes whose lowest bit is flipped
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"file identifier", {0}, "VHDX file identifier: no signature"},
        {"header signature", {65536}, "VHDX header: no signature"},
        {"header checksum", {65536 + 100}, "VHDX header: checksum does not match"},
        {"both region tables' signatures", {196608, 262144}, "VHDX region table: no signature"},
        {"both region tables' checksums",
         {196608 + 20, 262144 + 20},
         "VHDX region table: checksum does not match"},
        {"metadata table signature", {3 * MiB}, "VHDX metadata table: no signature"},
    };
    const std::string bad = dir.file("bad.vhdx");
    std::string reason;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> f = bytes;
        for (size_t at : c.flips) f[at] ^= 1;
        testsupport::WriteFile(bad, f);
        EXPECT_EQ(OpenRefused(bad, &reason), DISK_ERR_FORMAT);
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(OpenRefused(good, &reason), DISK_OK);
    }
    // A file shorter than 1 MiB, and a header version this reader does not know.
    std::vector<uint8_t> f(bytes.begin(), bytes.begin() + MiB - 1);
    testsupport::WriteFile(bad, f);
    EXPECT_EQ(OpenRefused(bad, &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX file: shorter than 1 MiB");
    testsupport::WriteFile(bad, bytes);
    ASSERT_EQ(Fixture("set-header " + Quote(bad) + " version 2"), 0);
    EXPECT_EQ(OpenRefused(bad, &reason), DISK_ERR_FORMAT);
    EXPECT_EQ(reason, "VHDX header: unknown version");
}

// Structures out of place: a metadata item ending exactly at the region's end, a partially
// present block without a parent, a payload offset near 2^64.
TEST(VhdxRead, HostileLayout)
{
    TempDir dir;
    const std::string plain = dir.file("partial.vhdx");
    Build("{\"path\":" + Str(plain) +
          ",\"size\":2097152,\"blocks\":[{\"index\":0,\"state\":7,"
          "\"sectors\":[[0,1]]}]}");
    Opened o(plain);
    ASSERT_EQ(o.rc, DISK_OK);
    std::vector<uint8_t> buf(512);
    Refusal_Clear();
    EXPECT_EQ(Disk_Read(&o.handle, 0, 512, buf.data()), DISK_ERR_FORMAT);
    ASSERT_NE(Refusal_Get(), nullptr);
    EXPECT_STREQ(Refusal_Get(),
                 "VHDX block allocation table: partly present block without a parent");
    bool flag = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&o.handle, nullptr, 0, 1, &flag, nullptr, nullptr),
              DISK_ERR_FORMAT);
    EXPECT_EQ(Disk_Read(&o.handle, MiB, 512, buf.data()), DISK_OK);  // block 1: not present

    // The BAT of a qemu file (at 2 MiB) with an entry pointing near the end of the address space.
    const std::string far = dir.file("far.vhdx");
    ASSERT_EQ(Qemu("create -q -f vhdx " + Quote(far) + " 4M"), 0);
    {
        FILE* f = fopen(far.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        const uint64_t entry = 0xFFFFFFFFFFF00006ull;
        fseek(f, 2 * MiB, SEEK_SET);
        fwrite(&entry, 8, 1, f);
        fclose(f);
    }
    Opened q(far);
    ASSERT_EQ(q.rc, DISK_OK);
    EXPECT_EQ(Disk_Read(&q.handle, MiB - 512, 1024, buf.data()) != DISK_OK, true);
    std::vector<uint8_t> all(MiB);
    EXPECT_NE(Disk_Read(&q.handle, 0, MiB, all.data()), DISK_OK);
}

TEST(VhdxRead, CheckGeometry)
{
    struct Case {
        uint64_t total;
        uint32_t bytes;
        int32_t expect;
    } cases[] = {
        {1, 512, 0},
        {0, 512, -1},
        {(64ull << 40) / 512, 512, 0},
        {(64ull << 40) / 512 + 1, 512, -1},
        {1ull << 50, 512, -1},
        {100, 4096, -1},
    };
    for (const Case& c : cases) {
        DiskGeometry g = {0, 16, 63, c.bytes, 0};
        Geometry_SetTotalSectors(&g, c.total);
        EXPECT_EQ(Vhdx_CheckGeometry(&g), c.expect) << c.total << " x " << c.bytes;
    }
}
