// Sparse VMDK extents: header checks, hostile headers and tables, the redundant-table rules,
// compressed grains, the stream-optimised footer search, and the writers (new extents,
// compaction, rewriting) checked with qemu-img.
#include <gtest/gtest.h>

#include <zlib.h>

#include "formats/vmdk/vmdk_test_util.h"
#include "foundation/path.h"
#include "foundation/refusal.h"
#include "foundation/zlib_stream.h"

using namespace vmdktest;

namespace {

// ---- Hand-built extents -------------------------------------------------------------------------

void Put32(std::vector<uint8_t>& f, uint64_t at, uint32_t v)
{
    if (f.size() < at + 4) f.resize(at + 4, 0);
    Bytes_StoreLe32(f.data() + at, v);
}

void PutBytes(std::vector<uint8_t>& f, uint64_t at, const std::vector<uint8_t>& b)
{
    if (f.size() < at + b.size()) f.resize(at + b.size(), 0);
    std::memcpy(f.data() + at, b.data(), b.size());
}

void PutMarker(std::vector<uint8_t>& f, uint64_t at, uint64_t value, uint32_t size, uint32_t type)
{
    std::vector<uint8_t> m(512, 0);
    Bytes_StoreLe64(m.data(), value);
    Bytes_StoreLe32(m.data() + 8, size);
    Bytes_StoreLe32(m.data() + 12, type);
    PutBytes(f, at, m);
}

void PutHeader(std::vector<uint8_t>& f, const VmdkSparseHeader& h)
{
    std::vector<uint8_t> s(512);
    VmdkSparse_HeaderToDisk(&h, s.data());
    PutBytes(f, 0, s);
}

VmdkSparseHeader PlainHeader(uint64_t capacity)
{
    VmdkSparseHeader h{};
    h.magic = VMDK_SPARSE_MAGIC;
    h.version = 1;
    h.flags = 3;
    h.capacity = capacity;
    h.grainSize = 128;
    h.numGTEsPerGT = 512;
    h.singleEndLineChar = 0x0A;
    h.nonEndLineChar = 0x20;
    h.doubleEndLineChar1 = 0x0D;
    h.doubleEndLineChar2 = 0x0A;
    return h;
}

// A split extent of one table (65536 sectors): redundant directory at 1, its table at 2,
// directory at 6, table at 7, overHead 128; `sectors` sectors of file in total.
std::vector<uint8_t> OneTableExtent(uint64_t fileSectors, bool redundant = true)
{
    std::vector<uint8_t> f(fileSectors * 512, 0);
    VmdkSparseHeader h = PlainHeader(65536);
    h.rgdOffset = redundant ? 1 : 0;
    h.gdOffset = 6;
    h.overHead = 128;
    PutHeader(f, h);
    if (redundant) Put32(f, 512, 2);
    Put32(f, 6 * 512, 7);
    return f;
}

void SetEntry(std::vector<uint8_t>& f, uint32_t i, uint32_t primary, uint32_t redundant)
{
    Put32(f, 7 * 512 + 4 * i, primary);
    Put32(f, 2 * 512 + 4 * i, redundant);
}

struct Extent {
    VmdkSparseExtent e;
    Extent() { VmdkSparse_Init(&e); }
    ~Extent() { VmdkSparse_Close(&e); }
    int Open(const std::string& path, uint32_t sectors, bool separate = true, bool readOnly = true,
             z_stream* z = nullptr)
    {
        return VmdkSparse_Open(&e, FileOpener_DefaultOpen, nullptr, path.c_str(), readOnly,
                               separate, nullptr, z, 0, sectors);
    }
};

struct Zlib {
    z_stream* z = Zlib_AllocStream();
    ~Zlib() { Mem_Free(z); }
};

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& plain)
{
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> out(n);
    EXPECT_EQ(compress2(out.data(), &n, plain.data(), static_cast<uLong>(plain.size()), 6), Z_OK);
    out.resize(n);
    return out;
}

// A compressed grain at a sector: marker (lba, length) and the data, padded to whole sectors.
uint64_t PutGrain(std::vector<uint8_t>& f, uint64_t sector, uint64_t lba,
                  const std::vector<uint8_t>& data, uint32_t length = 0xFFFFFFFF)
{
    std::vector<uint8_t> z = Deflate(data);
    std::vector<uint8_t> g(12, 0);
    Bytes_StoreLe64(g.data(), lba);
    Bytes_StoreLe32(g.data() + 8, length == 0xFFFFFFFF ? static_cast<uint32_t>(z.size()) : length);
    g.insert(g.end(), z.begin(), z.end());
    g.resize((g.size() + 511) / 512 * 512, 0);
    PutBytes(f, sector * 512, g);
    return sector + g.size() / 512;
}

// A stream-optimised extent of n tables with grain 0 of table 0 and the last grain of the last
// table stored; the directory padded to whole sectors (marker in the sector before it), or not
// (marker right before its first byte).
std::vector<uint8_t> StreamExtent(uint32_t n, bool padded, const std::vector<uint8_t>& grain0,
                                  const std::vector<uint8_t>& grainLast)
{
    std::vector<uint8_t> f;
    VmdkSparseHeader h = PlainHeader(static_cast<uint64_t>(n) * 65536);
    h.version = 3;
    h.flags = 0x30001;
    h.compressAlgorithm = 1;
    h.descriptorOffset = 1;
    h.descriptorSize = 1;
    h.gdOffset = VMDK_GD_AT_END;
    h.overHead = 128;
    PutHeader(f, h);
    f.resize(128 * 512, 0);
    std::vector<uint32_t> gd(n, 0);
    uint64_t next = 128;
    uint64_t g0 = next;
    next = PutGrain(f, next, 0, grain0);
    uint64_t gl = next;
    next = PutGrain(f, next, static_cast<uint64_t>(n) * 65536 - 128, grainLast);
    for (uint32_t t : {0u, n - 1}) {
        PutMarker(f, next * 512, 4, 0, VMDK_MARKER_GT);
        std::vector<uint8_t> table(2048, 0);
        if (t == 0) Bytes_StoreLe32(table.data(), static_cast<uint32_t>(g0));
        if (t == n - 1) Bytes_StoreLe32(table.data() + 511 * 4, static_cast<uint32_t>(gl));
        PutBytes(f, (next + 1) * 512, table);
        gd[t] = static_cast<uint32_t>(next + 1);
        next += 5;
        if (n == 1) break;
    }
    uint64_t dirBytes = 4ull * n;
    uint64_t dirSectors = (dirBytes + 511) / 512;
    std::vector<uint8_t> dir(dirBytes);
    for (uint32_t i = 0; i < n; ++i) Bytes_StoreLe32(dir.data() + 4 * i, gd[i]);
    uint64_t footerAt;
    if (padded) {
        PutMarker(f, next * 512, dirSectors, 0, VMDK_MARKER_GD);
        PutBytes(f, (next + 1) * 512, dir);
        footerAt = (next + 1 + dirSectors) * 512;
    } else {
        // Zeros, then the marker and the directory ending right at a sector boundary.
        footerAt = (next + 1 + dirSectors) * 512;
        uint64_t dirAt = footerAt - dirBytes;
        f.resize(footerAt, 0);
        PutMarker(f, dirAt - 512, dirBytes / 512, 0, VMDK_MARKER_GD);
        PutBytes(f, dirAt, dir);
    }
    f.resize(footerAt, 0);
    PutMarker(f, footerAt, 1, 0, VMDK_MARKER_FOOTER);
    VmdkSparseHeader footer = h;
    footer.gdOffset = next + 1;
    std::vector<uint8_t> fs(512);
    VmdkSparse_HeaderToDisk(&footer, fs.data());
    PutBytes(f, footerAt + 512, fs);
    PutMarker(f, footerAt + 1024, 0, 0, VMDK_MARKER_EOS);
    return f;
}

}  // namespace

// ---- Headers ------------------------------------------------------------------------------------------

TEST(VmdkSparseHeaderTest, EncodeDecodeAndChecks)
{
    VmdkSparseHeader h;
    VmdkSparse_BuildHeader(&h, 2097152, 20, 4, false, false);
    uint8_t s[512];
    VmdkSparse_HeaderToDisk(&h, s);
    EXPECT_EQ(std::memcmp(s, "KDMV", 4), 0);
    EXPECT_EQ(s[73], 0x0A);
    EXPECT_EQ(s[76], 0x0A);
    VmdkSparseHeader d;
    VmdkSparse_HeaderToHost(s, &d);
    uint8_t again[512];
    VmdkSparse_HeaderToDisk(&d, again);
    EXPECT_EQ(std::memcmp(s, again, 512), 0);
    EXPECT_EQ(d.capacity, 2097152u);
    EXPECT_EQ(d.gdOffset, 150u);
    EXPECT_EQ(d.compressAlgorithm, 0u);
    EXPECT_TRUE(VmdkSparse_HeaderIsValid(&d));
    Refusal_Clear();
    EXPECT_EQ(VmdkSparse_CheckHeader(&d), DISK_OK);
    EXPECT_EQ(Refusal_Get(), nullptr);

    // reason: the check that refuses the header, nullptr when it is usable.
    const char* const kGrainNotPower = "VMDK sparse header: grain size is not a power of two";
    const char* const kGrainLarge = "VMDK sparse header: grain size too large";
    const char* const kDescSize = "VMDK sparse header: descriptor size out of range";
    const char* const kGtEntries = "VMDK sparse header: grain tables are not 512 entries";
    const char* const kVersion = "VMDK sparse header: version is not 1, 2 or 3";
    struct Case {
        const char* name;
        void (*change)(VmdkSparseHeader*);
        bool valid;
        const char* reason;
    };
    const Case cases[] = {
        {"magic", [](VmdkSparseHeader* x) { x->magic = 0x564D444C; }, false,
         "VMDK sparse header: no signature"},
        {"version 0", [](VmdkSparseHeader* x) { x->version = 0; }, false, kVersion},
        {"version 4", [](VmdkSparseHeader* x) { x->version = 4; }, false, kVersion},
        {"descriptor offset 2", [](VmdkSparseHeader* x) { x->descriptorOffset = 2; }, false,
         "VMDK sparse header: descriptor offset is neither 0 nor 1"},
        {"descriptor 65 sectors", [](VmdkSparseHeader* x) { x->descriptorSize = 65; }, false,
         kDescSize},
        {"descriptor 0 sectors", [](VmdkSparseHeader* x) { x->descriptorSize = 0; }, false,
         kDescSize},
        {"descriptor size without offset", [](VmdkSparseHeader* x) { x->descriptorOffset = 0; },
         false, "VMDK sparse header: descriptor size without a descriptor"},
        {"high bits of the offset ignored",
         [](VmdkSparseHeader* x) { x->descriptorOffset = 0x100000001ull; }, true, nullptr},
        {"GT entries 511", [](VmdkSparseHeader* x) { x->numGTEsPerGT = 511; }, false, kGtEntries},
        {"GT entries 2^32-1", [](VmdkSparseHeader* x) { x->numGTEsPerGT = 0xFFFFFFFF; }, false,
         kGtEntries},
        {"unclean shutdown", [](VmdkSparseHeader* x) { x->uncleanShutdown = 1; }, false,
         "VMDK sparse header: extent was not closed cleanly"},
        {"line end", [](VmdkSparseHeader* x) { x->doubleEndLineChar1 = 0x0A; }, false,
         "VMDK sparse header: line-end check bytes are wrong"},
        {"compression 2", [](VmdkSparseHeader* x) { x->compressAlgorithm = 2; }, false,
         "VMDK sparse header: unknown compression method"},
        {"compression 1", [](VmdkSparseHeader* x) { x->compressAlgorithm = 1; }, true, nullptr},
        {"pad", [](VmdkSparseHeader* x) { x->pad = 1; }, false,
         "VMDK sparse header: padding byte is not zero"},
        {"grain 0", [](VmdkSparseHeader* x) { x->grainSize = 0; }, true, kGrainNotPower},
        {"grain 3", [](VmdkSparseHeader* x) { x->grainSize = 3; }, true, kGrainNotPower},
        {"grain 1", [](VmdkSparseHeader* x) { x->grainSize = 1; }, true, nullptr},
        {"grain 0x10000", [](VmdkSparseHeader* x) { x->grainSize = 0x10000; }, true, nullptr},
        {"grain 0x20000", [](VmdkSparseHeader* x) { x->grainSize = 0x20000; }, true, kGrainLarge},
        {"grain 2^40", [](VmdkSparseHeader* x) { x->grainSize = 1ull << 40; }, true, kGrainLarge},
        {"grain 2^63", [](VmdkSparseHeader* x) { x->grainSize = 1ull << 63; }, true, kGrainLarge},
        // The identity fault is the one named when the grain is wrong as well.
        {"version and grain", [](VmdkSparseHeader* x) { x->version = 9, x->grainSize = 3; }, false,
         kVersion},
    };
    for (const Case& c : cases) {
        VmdkSparseHeader x = h;
        c.change(&x);
        EXPECT_EQ(VmdkSparse_HeaderIsValid(&x), c.valid) << c.name;
        Refusal_Clear();
        EXPECT_EQ(VmdkSparse_CheckHeader(&x), c.reason ? DISK_ERR_FORMAT : DISK_OK) << c.name;
        EXPECT_STREQ(Refusal_Get(), c.reason) << c.name;
    }
}

TEST(VmdkSparseHeaderTest, WriterLayouts)
{
    VmdkSparseHeader h;
    // One extent of 1 GiB with a 20-sector descriptor: 32 tables, one directory sector.
    VmdkSparse_BuildHeader(&h, 2097152, 20, 4, false, false);
    EXPECT_EQ(h.rgdOffset, 21u);
    EXPECT_EQ(h.gdOffset, 150u);
    EXPECT_EQ(h.overHead, 384u);
    EXPECT_EQ(h.version, 1u);
    EXPECT_EQ(h.flags, 3u);
    EXPECT_EQ(h.descriptorOffset, 1u);
    EXPECT_EQ(h.descriptorSize, 20u);
    // Capacity rounding by hardware version.
    VmdkSparse_BuildHeader(&h, 1000, 0, 1, false, false);
    EXPECT_EQ(h.capacity, 1024u);
    EXPECT_EQ(h.descriptorOffset, 0u);
    EXPECT_EQ(h.rgdOffset, 1u);
    VmdkSparse_BuildHeader(&h, 1000, 0, 3, false, false);
    EXPECT_EQ(h.capacity, 1000u);
    VmdkSparse_BuildHeader(&h, 1000, 20, 3, true, false);
    EXPECT_EQ(h.version, 3u);
    EXPECT_EQ(h.flags, 0x30001u);
    EXPECT_EQ(h.compressAlgorithm, 1u);
    VmdkSparse_BuildHeader(&h, 1000, 20, 3, true, true);
    EXPECT_EQ(h.gdOffset, VMDK_GD_AT_END);
    EXPECT_EQ(h.rgdOffset, 0u);
    EXPECT_EQ(h.overHead, 128u);
}

// ---- Hostile extents ----------------------------------------------------------------------------------

TEST(VmdkSparseOpen, HostileHeadersAnswerResultCodes)
{
    TempDir dir;
    std::string path = dir.file("e.vmdk");
    struct Case {
        const char* name;
        void (*change)(VmdkSparseHeader*);
        uint32_t sectors;
        int expected;
    };
    const Case cases[] = {
        {"valid", [](VmdkSparseHeader*) {}, 65536, DISK_OK},
        {"grain 0", [](VmdkSparseHeader* h) { h->grainSize = 0; }, 65536, DISK_ERR_FORMAT},
        {"grain 3", [](VmdkSparseHeader* h) { h->grainSize = 3; }, 65536, DISK_ERR_FORMAT},
        {"grain 2^40", [](VmdkSparseHeader* h) { h->grainSize = 1ull << 40; }, 65536,
         DISK_ERR_FORMAT},
        {"grain 2^63", [](VmdkSparseHeader* h) { h->grainSize = 1ull << 63; }, 65536,
         DISK_ERR_FORMAT},
        {"GT size 2^32-1", [](VmdkSparseHeader* h) { h->numGTEsPerGT = 0xFFFFFFFF; }, 65536,
         DISK_ERR_FORMAT},
        {"directory at 0", [](VmdkSparseHeader* h) { h->gdOffset = 0; }, 65536, DISK_ERR_FORMAT},
        {"directory past the end", [](VmdkSparseHeader* h) { h->gdOffset = 1000; }, 65536,
         DISK_ERR_FORMAT},
        {"directory offset wraps", [](VmdkSparseHeader* h) { h->gdOffset = 1ull << 60; }, 65536,
         DISK_ERR_FORMAT},
        {"redundant past the end", [](VmdkSparseHeader* h) { h->rgdOffset = 1ull << 40; }, 65536,
         DISK_ERR_FORMAT},
        {"capacity below the extent", [](VmdkSparseHeader* h) { h->capacity = 100; }, 65536,
         DISK_ERR_FORMAT},
        {"grain 1 over 2^32-1 sectors",
         [](VmdkSparseHeader* h) {
             h->grainSize = 1;
             h->capacity = ~0ull;
         },
         0xFFFFFFFF, DISK_ERR_FORMAT},
        // The capacity must agree with the extent line: up to the next whole grain (of at
        // least 128 sectors) above it, never more.
        {"huge capacity, tiny extent", [](VmdkSparseHeader* h) { h->capacity = ~0ull; }, 65536,
         DISK_ERR_FORMAT},
        {"capacity 5.2e10, extent 256", [](VmdkSparseHeader* h) { h->capacity = 52000000000ull; },
         256, DISK_ERR_FORMAT},
        {"capacity a whole grain above the extent",
         [](VmdkSparseHeader* h) { h->capacity = 65536 + 128; }, 65536, DISK_ERR_FORMAT},
        {"capacity rounded up to a whole grain", [](VmdkSparseHeader*) {}, 65536 - 100, DISK_OK},
        {"capacity inside the last grain", [](VmdkSparseHeader* h) { h->capacity = 65536 - 50; },
         65536 - 100, DISK_ERR_FORMAT},
        {"capacity of a 64-sector grain",
         [](VmdkSparseHeader* h) {
             h->grainSize = 64;
             h->capacity = 65536 - 64;
         },
         65536 - 100, DISK_OK},
        {"grains start past the end of the file", [](VmdkSparseHeader* h) { h->overHead = 257; },
         65536, DISK_ERR_FORMAT},
        {"grains start at the end of the file", [](VmdkSparseHeader* h) { h->overHead = 256; },
         65536, DISK_OK},
        {"stream footer missing", [](VmdkSparseHeader* h) { h->gdOffset = VMDK_GD_AT_END; }, 65536,
         DISK_ERR_FORMAT},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = OneTableExtent(256);
        VmdkSparseHeader h;
        VmdkSparse_HeaderToHost(f.data(), &h);
        c.change(&h);
        PutHeader(f, h);
        WriteFile(path, f);
        Extent e;
        EXPECT_EQ(e.Open(path, c.sectors), c.expected) << c.name;
        if (c.expected != DISK_OK) {
            EXPECT_EQ(e.e.stream, nullptr) << c.name << ": a failed open leaves the extent cleared";
        }
    }
    // Truncated files.
    std::vector<uint8_t> f = OneTableExtent(256);
    for (size_t size : {size_t(0), size_t(40), size_t(79), size_t(512), size_t(6 * 512 + 100)}) {
        WriteFile(path, std::vector<uint8_t>(f.begin(), f.begin() + size));
        Extent e;
        int r = e.Open(path, 65536);
        if (r == DISK_OK) {
            // The directory is there, its table is not.
            uint8_t b[512];
            r = VmdkSparse_Read(&e.e, 0, 512, b);
        }
        EXPECT_TRUE(r == DISK_ERR_READ || r == DISK_ERR_FORMAT) << size << " " << r;
    }
    // An embedded descriptor is required of a monolithic extent; a split extent may keep an
    // unused descriptor area, as qemu-img writes them.
    WriteFile(path, f);
    {
        Extent e;
        EXPECT_EQ(e.Open(path, 65536, false), DISK_ERR_FORMAT);
    }
    VmdkSparseHeader h;
    VmdkSparse_HeaderToHost(f.data(), &h);
    h.descriptorOffset = 1;
    h.descriptorSize = 1;  // sector 1 is the redundant directory: never read as text here
    PutHeader(f, h);
    WriteFile(path, f);
    {
        Extent e;
        EXPECT_EQ(e.Open(path, 65536, true), DISK_OK);
    }
    Extent missing;
    EXPECT_EQ(missing.Open(dir.file("none.vmdk"), 65536), DISK_ERR_OPEN);
}

TEST(VmdkSparseOpen, TablesPointingOutside)
{
    TempDir dir;
    std::string path = dir.file("e.vmdk");
    uint8_t buf[512];
    {
        // A directory entry past the end of the file.
        // A directory entry past the end of the file, or a table that runs past it, in either
        // directory: refused at open.
        for (uint32_t at : {6u * 512, 1u * 512}) {
            for (uint32_t table : {0x10000u, 253u}) {
                std::vector<uint8_t> f = OneTableExtent(256, true);
                Put32(f, at, table);
                WriteFile(path, f);
                Extent e;
                EXPECT_EQ(e.Open(path, 65536), DISK_ERR_FORMAT) << at << " " << table;
                EXPECT_EQ(e.Open(path, 65536, true, false), DISK_ERR_FORMAT) << at << " " << table;
            }
        }
        std::vector<uint8_t> f = OneTableExtent(256, true);
        Put32(f, 6 * 512, 252);  // the last four sectors
        WriteFile(path, f);
        Extent e;
        EXPECT_EQ(e.Open(path, 65536), DISK_OK);
    }
    {
        // A grain entry past the end (read-only: invalid, no other copy) or not aligned.
        for (uint32_t entry : {0x1000u, 0x81u}) {
            std::vector<uint8_t> f = OneTableExtent(256, false);
            Put32(f, 7 * 512 + 4 * 3, entry);
            WriteFile(path, f);
            Extent e;
            ASSERT_EQ(e.Open(path, 65536), DISK_OK);
            EXPECT_EQ(VmdkSparse_Read(&e.e, 0, 512, buf), DISK_ERR_FORMAT) << entry;
        }
        // The same entry in a writable open is not compared with the file size.
        std::vector<uint8_t> f = OneTableExtent(256, false);
        Put32(f, 7 * 512 + 4 * 3, 0x1000);
        WriteFile(path, f);
        Extent e;
        ASSERT_EQ(e.Open(path, 65536, true, false), DISK_OK);
        EXPECT_EQ(VmdkSparse_Read(&e.e, 0, 512, buf), DISK_OK);
        EXPECT_EQ(VmdkSparse_Read(&e.e, 3 * 65536, 512, buf), DISK_ERR_READ);
    }
    {
        // Reads past the extent's end are refused.
        std::vector<uint8_t> f = OneTableExtent(256, false);
        VmdkSparseHeader h;
        VmdkSparse_HeaderToHost(f.data(), &h);
        h.capacity = 1000;
        PutHeader(f, h);
        WriteFile(path, f);
        Extent e;
        ASSERT_EQ(e.Open(path, 1000), DISK_OK);
        EXPECT_EQ(VmdkSparse_Read(&e.e, 1000 * 512 - 256, 512, buf), DISK_ERR_ARG);
        EXPECT_EQ(VmdkSparse_Read(&e.e, 1000 * 512 - 512, 512, buf), DISK_OK);
        bool x;
        EXPECT_EQ(VmdkSparse_IsRangeEmpty(&e.e, nullptr, 999, 2, &x, nullptr, nullptr),
                  DISK_ERR_ARG);
        EXPECT_EQ(VmdkSparse_IsRangeUnallocated(&e.e, nullptr, 999, 2, &x), DISK_ERR_ARG);
    }
}

TEST(VmdkSparseOpen, RedundantTablesAreReconciled)
{
    TempDir dir;
    std::string path = dir.file("e.vmdk");
    const uint32_t inFile = 0x1000, other = 0x1080, pastEnd = 0x2000;
    struct Case {
        const char* name;
        uint32_t primary, redundant;
        int expected;
        uint32_t value;
    };
    const Case cases[] = {
        {"equal", inFile, inFile, DISK_OK, inFile},
        {"primary empty", 0, inFile, DISK_OK, inFile},
        {"redundant empty", inFile, 0, DISK_OK, inFile},
        {"both stored, different", inFile, other, DISK_ERR_FORMAT, 0},
        {"primary unaligned", inFile + 1, inFile, DISK_OK, inFile},
        {"primary past the end", pastEnd, inFile, DISK_OK, inFile},
        {"redundant past the end", inFile, pastEnd, DISK_OK, inFile},
        {"both past the end", pastEnd, pastEnd, DISK_ERR_FORMAT, 0},
        {"both unaligned", inFile + 1, inFile + 3, DISK_ERR_FORMAT, 0},
        {"zeroed grain", 1, 1, DISK_OK, 1},
        {"zeroed against empty", 1, 0, DISK_OK, 1},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = OneTableExtent(0x1100);
        SetEntry(f, 5, c.primary, c.redundant);
        std::vector<uint8_t> grain(65536, 0xAB);
        PutBytes(f, uint64_t(inFile) * 512, grain);
        WriteFile(path, f);
        Extent e;
        ASSERT_EQ(e.Open(path, 65536), DISK_OK) << c.name;
        EXPECT_EQ(VmdkSparse_LoadTable(&e.e, 0), c.expected) << c.name;
        if (c.expected == DISK_OK) {
            EXPECT_EQ(e.e.gt[5], c.value) << c.name;
            std::vector<uint8_t> got(512);
            ASSERT_EQ(VmdkSparse_Read(&e.e, 5 * 65536 + 512, 512, got.data()), DISK_OK);
            EXPECT_EQ(got[0], c.value == inFile ? 0xAB : 0) << c.name;
        }
    }
}

TEST(VmdkSparseOpen, CompressedGrains)
{
    TempDir dir;
    std::string path = dir.file("c.vmdk");
    Zlib z;
    std::vector<uint8_t> data = RandomBytes(65536, 5);
    std::memset(data.data() + 1000, 0, 30000);
    auto build = [&](uint64_t lba, uint32_t length, bool corrupt,
                     const std::vector<uint8_t>& grain) {
        std::vector<uint8_t> f = OneTableExtent(128, false);
        VmdkSparseHeader h;
        VmdkSparse_HeaderToHost(f.data(), &h);
        h.version = 3;
        h.flags = 0x30001;
        h.compressAlgorithm = 1;
        PutHeader(f, h);
        PutGrain(f, 129, lba, grain, length);  // compressed grains need no alignment
        if (corrupt) f[129 * 512 + 12 + 20] ^= 0xFF;
        Put32(f, 7 * 512 + 4 * 2, 129);
        WriteFile(path, f);
    };
    std::vector<uint8_t> got(65536);
    {
        build(256, 0xFFFFFFFF, false, data);
        Extent e;
        ASSERT_EQ(e.Open(path, 65536, true, true, z.z), DISK_OK);
        EXPECT_TRUE(e.e.compressed);
        EXPECT_TRUE(VmdkSparse_IsCompressedOrStream(&e.e));
        ASSERT_EQ(VmdkSparse_Read(&e.e, 2 * 65536, 65536, got.data()), DISK_OK);
        EXPECT_TRUE(got == data);
        // Pieces of the cached grain.
        ASSERT_EQ(VmdkSparse_Read(&e.e, 2 * 65536 + 700, 300, got.data()), DISK_OK);
        EXPECT_EQ(std::memcmp(got.data(), data.data() + 700, 300), 0);
        bool empty = true;
        ASSERT_EQ(VmdkSparse_IsRangeEmpty(&e.e, nullptr, 256 + 2, 50, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_TRUE(empty);  // inside the zeroed part of the grain
        ASSERT_EQ(VmdkSparse_IsRangeEmpty(&e.e, nullptr, 256, 128, &empty, nullptr, nullptr),
                  DISK_OK);
        EXPECT_FALSE(empty);
    }
    struct Bad {
        const char* name;
        uint64_t lba;
        uint32_t length;
        bool corrupt;
        int expected;
    };
    const Bad bad[] = {
        {"marker names another grain", 384, 0xFFFFFFFF, false, DISK_ERR_FORMAT},
        {"length above two grains", 256, 2 * 65536 + 1, false, DISK_ERR_FORMAT},
        {"length past the end of the file", 256, 2 * 65536, false, DISK_ERR_READ},
        {"corrupt data", 256, 0xFFFFFFFF, true, DISK_ERR_FORMAT},
    };
    for (const Bad& b : bad) {
        build(b.lba, b.length, b.corrupt, data);
        Extent e;
        ASSERT_EQ(e.Open(path, 65536, true, true, z.z), DISK_OK);
        EXPECT_EQ(VmdkSparse_Read(&e.e, 2 * 65536, 512, got.data()), b.expected) << b.name;
    }
    {
        // A grain that inflates short is accepted only when it covers the end of the extent.
        std::vector<uint8_t> part(7 * 512, 0x3C);
        build(256, 0xFFFFFFFF, false, part);
        std::vector<uint8_t> f = ReadFile(path);
        VmdkSparseHeader h;
        VmdkSparse_HeaderToHost(f.data(), &h);
        h.capacity = 384;  // the extents below end in its last grain
        PutHeader(f, h);
        WriteFile(path, f);
        Extent e;
        ASSERT_EQ(e.Open(path, 256 + 7, true, true, z.z), DISK_OK);
        std::vector<uint8_t> tail(7 * 512);
        ASSERT_EQ(VmdkSparse_Read(&e.e, 2 * 65536, 7 * 512, tail.data()), DISK_OK);
        EXPECT_TRUE(tail == part);
        Extent longer;
        ASSERT_EQ(longer.Open(path, 256 + 8, true, true, z.z), DISK_OK);
        EXPECT_EQ(VmdkSparse_Read(&longer.e, 2 * 65536, 512, tail.data()), DISK_ERR_FORMAT);
    }
}

TEST(VmdkSparseOpen, StreamFooterForEveryDirectoryLength)
{
    TempDir dir;
    std::string path = dir.file("s.vmdk");
    Zlib z;
    std::vector<uint8_t> first = RandomBytes(65536, 1);
    std::vector<uint8_t> last = RandomBytes(65536, 2);
    // Table counts whose directory ends at every interesting place within its last sector,
    // 125..127 included (the unpadded directory's marker then straddles a sector boundary).
    for (uint32_t n : {1u, 2u, 3u, 4u, 64u, 124u, 125u, 126u, 127u, 128u, 129u, 253u}) {
        for (bool padded : {true, false}) {
            WriteFile(path, StreamExtent(n, padded, first, last));
            Extent e;
            ASSERT_EQ(e.Open(path, n * 65536, false, true, z.z), DISK_OK)
                << n << (padded ? " padded" : " unpadded");
            std::vector<uint8_t> got(65536);
            ASSERT_EQ(VmdkSparse_Read(&e.e, 0, 65536, got.data()), DISK_OK);
            EXPECT_TRUE(got == first) << n;
            ASSERT_EQ(VmdkSparse_Read(&e.e, (uint64_t(n) * 65536 - 128) * 512, 65536, got.data()),
                      DISK_OK);
            EXPECT_TRUE(got == last) << n;
            ASSERT_EQ(VmdkSparse_Read(&e.e, 65536, 65536, got.data()), DISK_OK);
            EXPECT_TRUE(got == std::vector<uint8_t>(65536, 0)) << n;
        }
    }
    // Damaged ends.
    std::vector<uint8_t> good = StreamExtent(3, true, first, last);
    struct Case {
        const char* name;
        size_t at;
        uint8_t value;
        size_t cut;
    };
    const Case cases[] = {
        {"end-of-stream marker", good.size() - 512, 1, 0},
        {"footer marker", good.size() - 1536 + 12, 2, 0},
        {"directory marker", good.size() - 1536 - 512 - 512 + 12, 1, 0},
        {"size not whole sectors", 0, 0, 100},
        {"cut short", 0, 0, 512},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = good;
        if (c.cut)
            f.resize(f.size() - c.cut);
        else
            f[c.at] = c.value;
        WriteFile(path, f);
        Extent e;
        EXPECT_EQ(e.Open(path, 3 * 65536, false, true, z.z), DISK_ERR_FORMAT) << c.name;
    }
    // A file too small to hold the directory it claims.
    WriteFile(path, std::vector<uint8_t>(good.begin(), good.begin() + 2048));
    Extent tiny;
    EXPECT_EQ(tiny.Open(path, 3 * 65536, false, true, z.z), DISK_ERR_FORMAT);
}

// ---- Writers --------------------------------------------------------------------------------------------

namespace {

class VmdkSparseWriter : public ::testing::Test {
protected:
    TempDir dir;

    // Writes a monolithic image from a raw file with the writer and an embedded descriptor.
    int WriteImage(const std::string& raw, uint64_t sectors, const std::string& out,
                   bool compressed, bool stream, UsedSectorMap* map = nullptr,
                   ProgressCallback progress = nullptr, void* user = nullptr,
                   OutputFile* temp = nullptr)
    {
        Disk src;
        EXPECT_EQ(src.OpenRaw(raw, sectors), DISK_OK);
        return WriteFrom(src.handle, sectors, out, compressed, stream, map, false, progress, user,
                         temp);
    }

    int WriteFrom(const DiskHandle* src, uint64_t sectors, const std::string& out, bool compressed,
                  bool stream, UsedSectorMap* map, bool layerQuery,
                  ProgressCallback progress = nullptr, void* user = nullptr,
                  OutputFile* temp = nullptr)
    {
        VmdkCreateOptions* o = Vmdk_AllocCreateOptions(1);
        o->streamOptimized = stream;
        o->compressedGrains = compressed;
        o->hwVersionIndex = 4;
        o->adapter = VMDK_ADAPTER_LSILOGIC;
        Vmdk_CreateOptionsExtent(o, 0)->sectors = static_cast<uint32_t>(sectors);
        std::snprintf(Vmdk_CreateOptionsExtent(o, 0)->fileName, 4096, "%s", out.c_str());
        DiskGeometry g{};
        Geometry_SetTotalSectors(&g, sectors);
        g.heads = 255;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        std::vector<uint8_t> text(20 * 512, 0);
        EXPECT_NE(Vmdk_WriteDescriptor(text.data(), static_cast<uint32_t>(text.size()), o, &g,
                                       TEXT_ENC_UTF8),
                  0u);
        Mem_Free(o);
        return VmdkSparse_Write(out.c_str(), src, map, temp, 20, text.data(), 4, 0,
                                static_cast<uint32_t>(sectors), layerQuery, compressed, stream,
                                progress, user, sectors);
    }

    void ExpectQemuAgrees(const std::string& image, const std::string& raw)
    {
        if (!Qemu()) return;
        Sh("qemu-img check -f vmdk " + Quote(image));
        Sh("qemu-img compare -f vmdk -F raw " + Quote(image) + " " + Quote(raw));
    }
};

struct ProgressLog {
    std::vector<uint64_t> done;
    uint64_t total = 0;
    int stopAfter = -1;
    static bool Callback(uint64_t d, uint64_t t, void* user)
    {
        ProgressLog* log = static_cast<ProgressLog*>(user);
        log->done.push_back(d);
        log->total = t;
        return log->stopAfter < 0 || static_cast<int>(log->done.size()) < log->stopAfter;
    }
};

}  // namespace

TEST_F(VmdkSparseWriter, PlainCompressedAndStreamReadBackEverywhere)
{
    // Two tables; whole grains and whole grains + 7 sectors.
    for (uint64_t sectors : {uint64_t(66) * 1024, uint64_t(66) * 1024 + 7}) {
        std::vector<uint8_t> raw = PatternDisk(sectors * 512, static_cast<uint32_t>(sectors));
        std::string src = dir.file("src.raw");
        WriteFile(src, raw);
        struct Mode {
            const char* name;
            bool compressed, stream;
        };
        for (Mode m : {Mode{"plain", false, false}, Mode{"compressed", true, false},
                       Mode{"stream", true, true}}) {
            std::string out = dir.file(std::string(m.name) + ".vmdk");
            ProgressLog log;
            ASSERT_EQ(WriteImage(src, sectors, out, m.compressed, m.stream, nullptr,
                                 ProgressLog::Callback, &log),
                      DISK_OK)
                << m.name;
            ASSERT_FALSE(log.done.empty());
            EXPECT_EQ(log.done.back(), sectors);
            EXPECT_EQ(log.total, sectors);
            for (size_t i = 1; i < log.done.size(); ++i) EXPECT_LE(log.done[i - 1], log.done[i]);
            Image img;
            ASSERT_EQ(img.Open(out), DISK_OK) << m.name;
            EXPECT_TRUE(ReadAll(img.image, 3 * 4096 + 512) == raw) << m.name << " " << sectors;
            EXPECT_EQ(img.image->sparseExtents[0].header.gdOffset == VMDK_GD_AT_END, m.stream);
            ExpectQemuAgrees(out, src);
            // Zero grains are left out: the plain file holds only the data grains.
            if (!m.compressed) {
                uint64_t dataGrains = 0;
                for (uint64_t g = 0; g * 128 < sectors; ++g) {
                    uint64_t n = std::min<uint64_t>(128, sectors - g * 128) * 512;
                    if (!std::all_of(raw.begin() + g * 65536, raw.begin() + g * 65536 + n,
                                     [](uint8_t b) { return b == 0; }))
                        ++dataGrains;
                }
                VmdkSparseHeader h;
                VmdkSparse_HeaderToHost(ReadFile(out).data(), &h);
                EXPECT_EQ(h.overHead, 128u);
                EXPECT_EQ(ReadFile(out).size(), (h.overHead + dataGrains * 128) * 512);
            }
        }
    }
}

TEST_F(VmdkSparseWriter, StreamDirectoryOfManyTablesFound)
{
    if (!Qemu()) GTEST_SKIP() << "qemu-img missing";
    // 127 tables: the directory's last sector holds 127 entries (the case that a footer search
    // reading its marker mid-sector gets wrong). The source is an image with data only at its
    // end, written through the per-layer query so that its empty tables are not read.
    uint64_t sectors = 127ull * 65536;
    std::string src = dir.file("src.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(src) + " " + std::to_string(sectors * 512)),
              0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0x61 " + std::to_string(sectors * 512 - 4096) +
                 " 4096' " + Quote(src)),
              0);
    Image source;
    ASSERT_EQ(source.Open(src), DISK_OK);
    DiskHandle h = source.Handle();
    std::string out = dir.file("s.vmdk");
    ASSERT_EQ(WriteFrom(&h, sectors, out, true, true, nullptr, true), DISK_OK);
    std::string descriptor = out;
    Image img;
    ASSERT_EQ(img.Open(descriptor), DISK_OK);
    EXPECT_EQ(img.image->sparseExtents[0].gdEntryCount, 127u);
    std::vector<uint8_t> tail = ReadRange(img.image, sectors * 512 - 8192, 8192);
    EXPECT_TRUE(std::vector<uint8_t>(tail.begin(), tail.begin() + 4096) ==
                std::vector<uint8_t>(4096, 0));
    EXPECT_TRUE(std::vector<uint8_t>(tail.begin() + 4096, tail.end()) ==
                std::vector<uint8_t>(4096, 0x61));
    Sh("qemu-img compare -f vmdk -F vmdk " + Quote(descriptor) + " " + Quote(src));
}

TEST_F(VmdkSparseWriter, UsedSectorMapLeavesFreeGrainsOut)
{
    uint64_t sectors = 4096 + 7;
    std::vector<uint8_t> raw = RandomBytes(sectors * 512, 11);  // garbage everywhere
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    OddGrainsFreeMap map(sectors);
    for (bool compressed : {false, true}) {
        std::string out = dir.file(compressed ? "c.vmdk" : "p.vmdk");
        ASSERT_EQ(WriteImage(src, sectors, out, compressed, false, &map.map), DISK_OK);
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK);
        EXPECT_TRUE(ReadAll(img.image) == OddGrainsFreeMap::Keep(raw));
        if (!compressed) {
            EXPECT_EQ(ReadFile(out).size(), (128 + 17 * 128) * 512u);
        }
    }
}

TEST_F(VmdkSparseWriter, CancelTempPairAndAllZeroSource)
{
    uint64_t sectors = 2048;
    std::string src = dir.file("zero.raw");
    WriteFile(src, std::vector<uint8_t>(sectors * 512, 0));
    std::string out = dir.file("z.vmdk");
    ASSERT_EQ(WriteImage(src, sectors, out, false, false), DISK_OK);
    VmdkSparseHeader h;
    VmdkSparse_HeaderToHost(ReadFile(out).data(), &h);
    EXPECT_EQ(ReadFile(out).size(), h.overHead * 512);  // an all-zero disk ends at overHead

    std::vector<uint8_t> raw = RandomBytes(sectors * 512, 4);
    WriteFile(src, raw);
    ProgressLog log;
    log.stopAfter = 3;
    EXPECT_EQ(WriteImage(src, sectors, out, false, false, nullptr, ProgressLog::Callback, &log),
              DISK_CANCELLED);

    OutputFile temp;
    ASSERT_EQ(WriteImage(src, sectors, out, true, false, nullptr, nullptr, nullptr, &temp),
              DISK_OK);
    EXPECT_TRUE(temp.armed);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(temp.entry.tempPath.data)), out + "_temp");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(temp.entry.finalPath.data)), out);
    ASSERT_EQ(OutputFile_Commit(&temp, Path_DeleteSuffix(TEXT_ENC_UTF8), true), DISK_OK);
    Image img;
    ASSERT_EQ(img.Open(out), DISK_OK);
    EXPECT_TRUE(ReadAll(img.image) == raw);
}

TEST_F(VmdkSparseWriter, CompactionKeepsUsedDataAndTheHeader)
{
    if (!Qemu()) GTEST_SKIP() << "qemu-img missing";
    std::string image = dir.file("c.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(image) + " 8M"), 0);
    // Data, zeros written over data, and garbage.
    ASSERT_EQ(
        Sh("qemu-io -f vmdk -c 'write -P 0xa1 0 1M' -c 'write -P 0xb2 2M 1M' -c 'write -z 2M 512k' "
           "-c 'write -P 0xc3 7M 64k' " +
           Quote(image)),
        0);
    std::string raw = dir.file("c.raw");
    ASSERT_EQ(Sh("qemu-img convert -f vmdk -O raw " + Quote(image) + " " + Quote(raw)), 0);
    uint64_t before = ReadFile(image).size();
    for (bool preallocated : {false, true}) {
        Image img;
        ASSERT_EQ(img.Open(image), DISK_OK);
        ASSERT_TRUE(Vmdk_CanCompact(img.image));
        DiskHandle h = img.Handle();
        std::string out = dir.file(preallocated ? "pre.vmdk" : "out.vmdk");
        ProgressLog log;
        ASSERT_EQ(VmdkSparse_Compact(&img.image->sparseExtents[0], out.c_str(), &h, nullptr, false,
                                     preallocated, ProgressLog::Callback, &log, img.Total()),
                  DISK_OK);
        EXPECT_EQ(log.done.back(), img.Total());
        std::vector<uint8_t> o = ReadFile(out), in = ReadFile(image);
        EXPECT_LT(o.size(), before);
        // Header and embedded descriptor byte for byte.
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + 21 * 512, o.begin()));
        Sh("qemu-img check -f vmdk " + Quote(out));
        Sh("qemu-img compare -f vmdk -F raw " + Quote(out) + " " + Quote(raw));
        Image again;
        ASSERT_EQ(again.Open(out), DISK_OK);
        EXPECT_TRUE(ReadAll(again.image) == ReadFile(raw));
    }
    // With a map: free grains are left out.
    {
        Image img;
        ASSERT_EQ(img.Open(image), DISK_OK);
        DiskHandle h = img.Handle();
        OddGrainsFreeMap map(img.Total());
        std::string out = dir.file("map.vmdk");
        ASSERT_EQ(VmdkSparse_Compact(&img.image->sparseExtents[0], out.c_str(), &h, &map.map, false,
                                     false, nullptr, nullptr, img.Total()),
                  DISK_OK);
        Image again;
        ASSERT_EQ(again.Open(out), DISK_OK);
        EXPECT_TRUE(ReadAll(again.image) == OddGrainsFreeMap::Keep(ReadFile(raw)));
    }
}

TEST_F(VmdkSparseWriter, CompactionTableSetsMustFit)
{
    if (!Qemu()) GTEST_SKIP() << "qemu-img missing";
    std::string image = dir.file("c.vmdk");
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk " + Quote(image) + " 8M"), 0);
    ASSERT_EQ(Sh("qemu-io -f vmdk -c 'write -P 0xa1 0 1M' " + Quote(image)), 0);
    std::vector<uint8_t> original = ReadFile(image);
    VmdkSparseHeader h;
    VmdkSparse_HeaderToHost(original.data(), &h);
    // Without a redundant directory nothing is written over the header; with overHead too small
    // for the tables (or a set inside the descriptor) the compaction is refused.
    struct Case {
        const char* name;
        void (*change)(VmdkSparseHeader*);
        int expected;
    };
    const Case cases[] = {
        {"no redundant set", [](VmdkSparseHeader* x) { x->rgdOffset = 0; }, DISK_OK},
        {"primary set past overHead", [](VmdkSparseHeader* x) { x->gdOffset = x->overHead - 2; },
         DISK_ERR_FORMAT},
        {"redundant set inside the descriptor", [](VmdkSparseHeader* x) { x->rgdOffset = 5; },
         DISK_ERR_FORMAT},
        {"sets overlap", [](VmdkSparseHeader* x) { x->rgdOffset = x->gdOffset; }, DISK_ERR_FORMAT},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = original;
        VmdkSparseHeader x = h;
        c.change(&x);
        PutHeader(f, x);
        WriteFile(image, f);
        Image img;
        ASSERT_EQ(img.Open(image), DISK_OK) << c.name;
        DiskHandle dh = img.Handle();
        std::string out = dir.file(std::string(c.name) + ".out");
        EXPECT_EQ(VmdkSparse_Compact(&img.image->sparseExtents[0], out.c_str(), &dh, nullptr, false,
                                     false, nullptr, nullptr, img.Total()),
                  c.expected)
            << c.name;
        if (c.expected == DISK_OK) {
            std::vector<uint8_t> o = ReadFile(out);
            EXPECT_TRUE(std::equal(f.begin(), f.begin() + 512, o.begin())) << c.name;
            Image again;
            ASSERT_EQ(again.Open(out), DISK_OK);
            EXPECT_EQ(ReadRange(again.image, 0, 512)[0], 0xa1);
            Sh("qemu-img check -f vmdk " + Quote(out));
        } else {
            EXPECT_FALSE(Os_PathExists(out.c_str())) << c.name;
        }
    }
}

TEST_F(VmdkSparseWriter, CompactionRefusesCompressedExtents)
{
    std::vector<uint8_t> raw = PatternDisk(1 << 20, 8);
    std::string src = dir.file("s.raw");
    WriteFile(src, raw);
    for (bool stream : {false, true}) {
        std::string out = dir.file("s.vmdk");
        ASSERT_EQ(WriteImage(src, 2048, out, true, stream), DISK_OK);
        Image img;
        ASSERT_EQ(img.Open(out), DISK_OK);
        EXPECT_FALSE(Vmdk_CanCompact(img.image));
        DiskHandle h = img.Handle();
        std::string compacted = dir.file("x.vmdk");
        EXPECT_EQ(VmdkSparse_Compact(&img.image->sparseExtents[0], compacted.c_str(), &h, nullptr,
                                     false, false, nullptr, nullptr, 2048),
                  DISK_ERR_FORMAT);
        EXPECT_FALSE(Os_PathExists(compacted.c_str()));
    }
}

TEST_F(VmdkSparseWriter, RewriteSwitchesCompressionAndDescriptor)
{
    std::vector<uint8_t> raw = PatternDisk((1 << 20) + 7 * 512, 12);
    uint64_t sectors = raw.size() / 512;
    std::string src = dir.file("s.raw");
    WriteFile(src, raw);
    struct Case {
        bool fromCompressed, fromStream, toCompressed;
    };
    for (Case c : {Case{false, false, true}, Case{true, false, false}, Case{true, true, false},
                   Case{true, true, true}}) {
        std::string image = dir.file("r.vmdk");
        ASSERT_EQ(WriteImage(src, sectors, image, c.fromCompressed, c.fromStream), DISK_OK);
        Image img;
        ASSERT_EQ(img.Open(image), DISK_OK);
        DiskHandle h = img.Handle();
        OutputFile temp;
        ASSERT_EQ(VmdkSparse_Rewrite(&img.image->sparseExtents[0], image.c_str(), &h, nullptr,
                                     &temp, nullptr, 0, c.toCompressed, nullptr, nullptr, sectors),
                  DISK_OK);
        ASSERT_TRUE(temp.armed);
        std::string out = image + "_temp";
        Image again;
        ASSERT_EQ(again.Open(out), DISK_OK);
        EXPECT_EQ(again.image->sparseExtents[0].compressed != 0, c.toCompressed);
        EXPECT_NE(again.image->sparseExtents[0].header.gdOffset, VMDK_GD_AT_END);
        EXPECT_TRUE(ReadAll(again.image) == raw);
        ExpectQemuAgrees(out, src);
        ASSERT_EQ(OutputFile_Rollback(&temp), DISK_OK);
        EXPECT_FALSE(Os_PathExists(out.c_str()));
    }
    // A new embedded descriptor must fit the old area.
    std::string image = dir.file("d.vmdk");
    ASSERT_EQ(WriteImage(src, sectors, image, false, false), DISK_OK);
    Image img;
    ASSERT_EQ(img.Open(image), DISK_OK);
    DiskHandle h = img.Handle();
    OutputFile temp;
    OutputFile_Init(&temp);
    std::vector<uint8_t> text(20 * 512 + 1, 'x');
    EXPECT_EQ(VmdkSparse_Rewrite(&img.image->sparseExtents[0], image.c_str(), &h, nullptr, &temp,
                                 text.data(), static_cast<uint32_t>(text.size()), false, nullptr,
                                 nullptr, sectors),
              DISK_ERR_ARG);
    EXPECT_FALSE(temp.armed);
    std::string newText =
        std::string(img.image->descriptorText.data,
                    img.image->descriptorText.data + img.image->descriptorText.length);
    newText = newText.replace(newText.find("lsilogic"), 8, "buslogic");
    ASSERT_EQ(
        VmdkSparse_Rewrite(&img.image->sparseExtents[0], image.c_str(), &h, nullptr, &temp,
                           reinterpret_cast<const uint8_t*>(newText.data()),
                           static_cast<uint32_t>(newText.size()), false, nullptr, nullptr, sectors),
        DISK_OK);
    Image again;
    ASSERT_EQ(again.Open(image + "_temp"), DISK_OK);
    EXPECT_EQ(again.image->descriptor.adapter, (uint32_t)VMDK_ADAPTER_BUSLOGIC);
    EXPECT_TRUE(ReadAll(again.image) == raw);
}

// One flipped byte anywhere inside a compressed grain of a stream-optimised file: the grain
// never reads back as data (before the end of its stream and its Adler-32 check, inflate may
// already have filled the grain with wrong bytes); every read of it fails with DISK_ERR_FORMAT
// while the other grain still reads.
TEST_F(VmdkSparseWriter, FlippedByteInACompressedGrainIsRefused)
{
    const uint64_t sectors = 256;
    std::vector<uint8_t> raw(sectors * 512);
    std::vector<uint8_t> noise = RandomBytes(raw.size(), 77);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>('a' + noise[i] % 4);  // compresses to ~1/4
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    std::string image = dir.file("stream.vmdk");
    ASSERT_EQ(WriteImage(src, sectors, image, true, true), DISK_OK);
    const std::vector<uint8_t> good = ReadFile(image);
    // The first grain follows the header area at sector 128: marker (sector, length), data.
    const uint64_t at = 128 * 512;
    ASSERT_EQ(Bytes_LoadLe64(good.data() + at), 0u);
    const uint32_t length = Bytes_LoadLe32(good.data() + at + 8);
    ASSERT_GT(length, 1000u);
    ASSERT_LT(length, 65536u);
    std::vector<uint8_t> got(65536);
    const std::vector<uint8_t> first(raw.begin(), raw.begin() + 65536);
    uint32_t refused = 0;
    std::vector<uint32_t> positions;
    for (uint32_t k = 0; k < length; k += 37) positions.push_back(k);
    for (uint32_t k = length - 8; k < length; ++k)
        positions.push_back(k);  // the end of the stream, its check
    for (uint32_t k : positions) {
        std::vector<uint8_t> f = good;
        f[at + 12 + k] ^= static_cast<uint8_t>(1u << (k % 8));
        WriteFile(image, f);
        Disk d;
        ASSERT_EQ(Disk_OpenVmdk(d.handle, image.c_str(), true), DISK_OK);
        int r = Disk_Read(d.handle, 0, 65536, got.data());
        // A flip in a bit the decoder never uses changes nothing and may read as the grain.
        if (r == DISK_OK) {
            ASSERT_TRUE(got == first)
                << "flipped byte " << k << " of " << length << ": wrong data read as good";
        } else {
            ASSERT_EQ(r, DISK_ERR_FORMAT) << "flipped byte " << k << " of " << length;
            ++refused;
        }
        ASSERT_EQ(Disk_Read(d.handle, 65536, 65536, got.data()), DISK_OK);
        EXPECT_EQ(std::memcmp(got.data(), raw.data() + 65536, 65536), 0);
    }
    EXPECT_GT(refused, positions.size() * 9 / 10);
    if (HaveTool("qemu-img")) {
        WriteFile(image, good);
        EXPECT_EQ(Sh("qemu-img compare -f vmdk -F raw " + Quote(image) + " " + Quote(src)), 0);
    }
}
