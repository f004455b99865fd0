#include "foundation/zlib_stream.h"

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

// Text-like data that compresses well but not trivially.
Bytes CompressibleBytes(size_t n, uint32_t seed)
{
    static const char* words[] = {"sector ", "cluster ", "grain ",    "table ",
                                  "header ", "footer ",  "extent ",   "volume ",
                                  "\n",      "0x7E00 ",  "partition "};
    Bytes noise = RandomBytes(n / 4 + 16, seed);
    Bytes out;
    out.reserve(n + 16);
    size_t i = 0;
    while (out.size() < n) {
        const char* w = words[noise[i % noise.size()] % 11];
        out.insert(out.end(), w, w + strlen(w));
        if (noise[(i + 1) % noise.size()] < 40) out.push_back(noise[(i + 2) % noise.size()]);
        ++i;
    }
    out.resize(n);
    return out;
}

// Runs a python3 script (given as text) in dir; fails the test when it does not exit 0.
void RunPython(const TempDir& dir, const std::string& script)
{
    ASSERT_TRUE(HaveTool("python3"));
    std::string path = dir.file("script.py");
    WriteText(path, script);
    std::string out;
    int rc = RunCommand("cd " + Quote(dir.path()) + " && python3 " + Quote(path) + " 2>&1", &out);
    ASSERT_EQ(rc, 0) << out;
}

// Serves bytes from memory as compressed or plain input, at offsets counted from base.
struct MemInput {
    enum Behaviour {
        Exact,          // delivers exactly what is asked; asking beyond the data is a read failure
        FlagLast,       // delivers what is left and flags the last piece
        OverReport,     // delivers what is asked but reports 1000 bytes more
        ShortPieces,    // delivers at most 1000 bytes a call, without the last flag
        LastHugeLength  // flags the last piece with a length of 0xFFFFFFFF
    };
    const Bytes* data = nullptr;
    uint64_t base = 0;
    Behaviour behaviour = Exact;
    int failAtCall = -1;  // the call (from 0) that answers failCode
    int failCode = DISK_ERR_READ;
    std::vector<std::pair<uint64_t, uint32_t>> calls;

    static int Callback(void* user, uint64_t offset, uint32_t count, void* buffer, bool* last,
                        uint32_t* actual)
    {
        MemInput* in = static_cast<MemInput*>(user);
        EXPECT_FALSE(*last);
        EXPECT_EQ(*actual, count);
        in->calls.emplace_back(offset, count);
        if (static_cast<int>(in->calls.size()) - 1 == in->failAtCall) return in->failCode;
        EXPECT_LE(count, static_cast<uint32_t>(ZLIB_PIECE_BYTES));
        if (offset < in->base) return DISK_ERR_READ;
        uint64_t pos = offset - in->base;
        uint64_t left = pos < in->data->size() ? in->data->size() - pos : 0;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, count));
        switch (in->behaviour) {
        case Exact:
            if (n < count) return DISK_ERR_READ;
            break;
        case FlagLast:
            if (n < count) *last = true;
            *actual = n;
            break;
        case OverReport:
            if (n < count) return DISK_ERR_READ;
            *actual = count + 1000;
            break;
        case ShortPieces:
            n = std::min<uint32_t>(n, 1000);
            *actual = n;
            break;
        case LastHugeLength:
            if (n < count) {
                *last = true;
                *actual = 0xFFFFFFFFu;
            }
            break;
        }
        if (n != 0) memcpy(buffer, in->data->data() + pos, n);
        return 0;
    }
};

// Reads total bytes through the reader in pieces of the given sizes (used in turn).
int ReadInPieces(InflateReader* r, size_t total, const std::vector<uint32_t>& sizes, Bytes* out)
{
    out->assign(total, 0);
    size_t done = 0;
    for (size_t i = 0; done < total; ++i) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(sizes[i % sizes.size()], total - done));
        int rc = InflateReader_Read(r, n, out->data() + done);
        if (rc != 0) return rc;
        done += n;
    }
    return 0;
}

const std::vector<uint32_t> kOddReads = {1, 4093, 65537, 777777, 3u * 1024 * 1024 + 5, 511, 2};

// Compresses plain bytes with the deflate reader into pieces of at most capacity bytes;
// checks that every call before the last fills its buffer.
Bytes DeflateAll(const Bytes& plain, int level, uint32_t capacity, uint64_t base = 0)
{
    MemInput in;
    in.data = &plain;
    in.base = base;
    DeflateReader* r = DeflateReader_Alloc();
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(DeflateReader_Open(r, MemInput::Callback, &in, plain.size(), base, level), 0);
    EXPECT_EQ(DeflateReader_GetInputOffset(r), base);
    Bytes out, piece(capacity);
    bool ended = false;
    while (!ended) {
        uint32_t produced = 0;
        int rc = DeflateReader_Read(r, capacity, piece.data(), &ended, &produced);
        EXPECT_EQ(rc, 0);
        if (rc != 0) break;
        if (!ended) {
            EXPECT_EQ(produced, capacity);
        }
        out.insert(out.end(), piece.begin(), piece.begin() + produced);
        if (out.size() > plain.size() * 2 + 1024) {
            ADD_FAILURE() << "deflate reader does not end";
            break;
        }
    }
    EXPECT_EQ(DeflateReader_GetInputOffset(r), base + plain.size());
    // Once ended, further calls produce nothing and keep saying so.
    uint32_t produced = 77;
    ended = false;
    EXPECT_EQ(DeflateReader_Read(r, capacity, piece.data(), &ended, &produced), 0);
    EXPECT_TRUE(ended);
    EXPECT_EQ(produced, 0u);
    // The input was fetched at contiguous offsets, start to end.
    uint64_t expect = base;
    for (auto& c : in.calls) {
        EXPECT_EQ(c.first, expect);
        expect += c.second;
    }
    EXPECT_EQ(expect, base + plain.size());
    DeflateReader_Destroy(r);
    Mem_Free(r);
    return out;
}

}  // namespace

TEST(ZlibHooks, StreamsAllocateThroughTheEngineAllocator)
{
    z_stream* s = Zlib_AllocStream();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->zalloc, &Zlib_AllocHook);
    EXPECT_EQ(s->zfree, &Zlib_FreeHook);
    EXPECT_EQ(s->opaque, nullptr);
    Mem_Free(s);

    // items x size beyond 32 bits is refused instead of wrapping to a small block.
    EXPECT_EQ(Zlib_AllocHook(nullptr, 0x10000u, 0x10001u), nullptr);
    EXPECT_EQ(Zlib_AllocHook(nullptr, 0xFFFFFFFFu, 2u), nullptr);
    void* p = Zlib_AllocHook(nullptr, 16, 64);
    ASSERT_NE(p, nullptr);
    memset(p, 0xAB, 1024);
    Zlib_FreeHook(nullptr, p);

    InflateReader* ir = InflateReader_Alloc();
    ASSERT_NE(ir, nullptr);
    EXPECT_FALSE(ir->started);
    EXPECT_EQ(InflateReader_Open(ir, MemInput::Callback, nullptr, 0, 0), 0);
    EXPECT_TRUE(ir->started);
    EXPECT_EQ(ir->strm.zalloc, &Zlib_AllocHook);
    EXPECT_EQ(ir->strm.zfree, &Zlib_FreeHook);
    InflateReader_Destroy(ir);
    EXPECT_FALSE(ir->started);
    EXPECT_EQ(ir->window, nullptr);
    InflateReader_Destroy(ir);  // a second destroy of an empty reader is harmless
    Mem_Free(ir);
}

TEST(ZlibCrc, AgreesWithPythonAndContinuesPiecewise)
{
    TempDir dir;
    Bytes data = RandomBytes(100003, 5);
    WriteFile(dir.file("data"), data);
    RunPython(dir,
              "import zlib\n"
              "d = open('data','rb').read()\n"
              "open('crc','w').write('%u %u' % (zlib.crc32(d), zlib.crc32(d[50000:], 12345)))\n");
    std::string text(reinterpret_cast<const char*>(ReadFile(dir.file("crc")).data()),
                     ReadFile(dir.file("crc")).size());
    unsigned long whole = 0, seeded = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%lu %lu", &whole, &seeded), 2);
    EXPECT_EQ(Zlib_Crc32(0, data.data(), data.size()), whole);
    uint32_t c = Zlib_Crc32(0, data.data(), 1);
    c = Zlib_Crc32(c, data.data() + 1, 49999);
    c = Zlib_Crc32(c, data.data() + 50000, static_cast<uint32_t>(data.size() - 50000));
    EXPECT_EQ(c, whole);
    EXPECT_EQ(Zlib_Crc32(12345, data.data() + 50000, static_cast<uint32_t>(data.size() - 50000)),
              seeded);
    // An empty update keeps the running value, with or without a buffer.
    EXPECT_EQ(Zlib_Crc32(0xDEADBEEF, nullptr, 0), 0xDEADBEEFu);
    EXPECT_EQ(Zlib_Crc32(0xDEADBEEF, data.data(), 0), 0xDEADBEEFu);
}

// Python compresses more than 2 MiB; the inflate reader returns it in odd-sized reads, and
// the deflate reader's output in odd-sized pieces decompresses in Python and in the reader.
TEST(ZlibRoundTrip, OddPiecesOverTwoMiBAgainstPython)
{
    struct Case {
        const char* name;
        Bytes plain;
        int level;
        uint32_t capacity;
    };
    const size_t size = 5u * 1024 * 1024 + 12345;
    std::vector<Case> cases = {{"incompressible", RandomBytes(size, 11), 6, 65521},
                               {"compressible", CompressibleBytes(size, 12), 9, 4099},
                               {"compressible-fast", CompressibleBytes(size, 13), 1, 1000003}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir.file("plain"), c.plain);
        RunPython(dir,
                  "import zlib\n"
                  "d = open('plain','rb').read()\n"
                  "open('py.z','wb').write(zlib.compress(d, 6))\n");
        Bytes pyz = ReadFile(dir.file("py.z"));
        ASSERT_GT(pyz.size(), 0u);

        // Python's stream through the inflate reader, stored at a non-zero offset.
        const uint64_t base = 0x1234567890ull;
        MemInput in;
        in.data = &pyz;
        in.base = base;
        InflateReader r;
        InflateReader_Init(&r);
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, pyz.size(), base), 0);
        Bytes got;
        ASSERT_EQ(ReadInPieces(&r, c.plain.size(), kOddReads, &got), 0);
        EXPECT_TRUE(got == c.plain);
        uint64_t expect = base;
        for (auto& call : in.calls) {
            EXPECT_EQ(call.first, expect);
            expect += call.second;
        }
        EXPECT_EQ(expect, base + pyz.size());
        // The data are used up: one byte more is a format failure.
        uint8_t extra = 0;
        EXPECT_EQ(InflateReader_Read(&r, 1, &extra), DISK_ERR_FORMAT);
        InflateReader_Destroy(&r);

        // The deflate reader's stream, checked by Python and read back by the inflate reader.
        Bytes ours = DeflateAll(c.plain, c.level, c.capacity, 4096);
        ASSERT_FALSE(ours.empty());
        WriteFile(dir.file("ours.z"), ours);
        RunPython(
            dir,
            "import zlib\n"
            "assert zlib.decompress(open('ours.z','rb').read()) == open('plain','rb').read()\n");
        MemInput in2;
        in2.data = &ours;
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in2, ours.size(), 0), 0);
        ASSERT_EQ(ReadInPieces(&r, c.plain.size(), {999999, 3, 2u * 1024 * 1024}, &got), 0);
        EXPECT_TRUE(got == c.plain);
        InflateReader_Destroy(&r);
    }
}

// However the callback reports its lengths, the reader never takes more than it asked for,
// and a shorter piece moves the next offset by what was really delivered.
TEST(InflateReaderTest, CallbackLengthsAreClamped)
{
    const Bytes plain = RandomBytes(3u * 1024 * 1024 + 77, 21);
    Bytes z(compressBound(plain.size()));
    uLongf zlen = z.size();
    ASSERT_EQ(compress2(z.data(), &zlen, plain.data(), plain.size(), 6), Z_OK);
    z.resize(zlen);

    struct Case {
        MemInput::Behaviour behaviour;
        uint64_t length;  // compressed length given at open
    };
    const Case cases[] = {{MemInput::Exact, z.size()},
                          {MemInput::FlagLast, UINT64_MAX},
                          {MemInput::OverReport, z.size()},
                          {MemInput::ShortPieces, z.size()},
                          {MemInput::LastHugeLength, UINT64_MAX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.behaviour));
        MemInput in;
        in.data = &z;
        in.behaviour = c.behaviour;
        InflateReader r;
        InflateReader_Init(&r);
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, c.length, 0), 0);
        Bytes got;
        ASSERT_EQ(ReadInPieces(&r, plain.size(), {1u << 20}, &got), 0);
        EXPECT_TRUE(got == plain);
        uint8_t extra = 0;
        EXPECT_EQ(InflateReader_Read(&r, 1, &extra), DISK_ERR_FORMAT);
        // Offsets follow the bytes really taken: contiguous, never past the data's end + 1 call.
        uint64_t expect = 0;
        for (size_t i = 0; i + 1 < in.calls.size(); ++i) {
            EXPECT_EQ(in.calls[i].first, expect);
            expect += std::min<uint64_t>(in.calls[i].second,
                                         c.behaviour == MemInput::ShortPieces ? 1000 : UINT32_MAX);
        }
        EXPECT_LE(in.calls.back().first, z.size());
        InflateReader_Destroy(&r);
    }
}

TEST(InflateReaderTest, ConcatenatedStreamsReadAsOneAndLeftoversNeedNoInput)
{
    TempDir dir;
    RunPython(dir,
              "import zlib, random\n"
              "r = random.Random(7)\n"
              "a = bytes(r.getrandbits(8) for _ in range(300000))\n"
              "b = b'stream two ' * 250000\n"
              "c = bytes(r.getrandbits(8) for _ in range(1000))\n"
              "open('plain','wb').write(a + b + c)\n"
              "z = zlib.compress(a, 9) + zlib.compress(b'', 6) + zlib.compress(b, 1) + "
              "zlib.compress(c, 0)\n"
              "open('cat.z','wb').write(z)\n");
    Bytes plain = ReadFile(dir.file("plain"));
    Bytes z = ReadFile(dir.file("cat.z"));
    ASSERT_GT(plain.size(), 2u * 1024 * 1024);

    MemInput in;
    in.data = &z;
    InflateReader r;
    InflateReader_Init(&r);
    ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, z.size(), 0), 0);
    // A small read fills the window ahead; the next reads inside it fetch nothing more.
    Bytes got(plain.size());
    ASSERT_EQ(InflateReader_Read(&r, 10, got.data()), 0);
    size_t callsAfterFirst = in.calls.size();
    ASSERT_EQ(InflateReader_Read(&r, 100000, got.data() + 10), 0);
    ASSERT_EQ(InflateReader_Read(&r, 99990, got.data() + 100010), 0);
    EXPECT_EQ(in.calls.size(), callsAfterFirst);
    Bytes rest;
    ASSERT_EQ(ReadInPieces(&r, plain.size() - 200000, kOddReads, &rest), 0);
    std::copy(rest.begin(), rest.end(), got.begin() + 200000);
    EXPECT_TRUE(got == plain);
    uint8_t extra = 0;
    EXPECT_EQ(InflateReader_Read(&r, 1, &extra), DISK_ERR_FORMAT);
    InflateReader_Destroy(&r);
}

TEST(InflateReaderTest, TruncatedCorruptAndFailingInputFailCleanly)
{
    const Bytes plain = CompressibleBytes(6u * 1024 * 1024 + 1000, 31);
    Bytes z(compressBound(plain.size()));
    uLongf zlen = z.size();
    ASSERT_EQ(compress2(z.data(), &zlen, plain.data(), plain.size(), 6), Z_OK);
    z.resize(zlen);

    // Truncated: the stored data end early, with the length told honestly or not.
    for (size_t cut : {size_t(1), size_t(2), z.size() / 2, z.size() - 20}) {
        for (bool flagLast : {false, true}) {
            SCOPED_TRACE(cut);
            Bytes part(z.begin(), z.begin() + cut);
            MemInput in;
            in.data = &part;
            in.behaviour = flagLast ? MemInput::FlagLast : MemInput::Exact;
            InflateReader r;
            InflateReader_Init(&r);
            ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, flagLast ? z.size() : cut, 0),
                      0);
            Bytes got;
            Refusal_Clear();
            EXPECT_EQ(ReadInPieces(&r, plain.size(), {65536}, &got), DISK_ERR_FORMAT);
            EXPECT_STREQ(Refusal_Get(), "compressed data: ends early");
            uint8_t b = 0;
            EXPECT_EQ(InflateReader_Read(&r, 1, &b), DISK_ERR_FORMAT);  // stays failed
            InflateReader_Destroy(&r);
        }
    }

    // The bytes that precede the cut are still served.
    {
        Bytes part(z.begin(), z.begin() + z.size() / 2);
        MemInput in;
        in.data = &part;
        InflateReader r;
        InflateReader_Init(&r);
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, part.size(), 0), 0);
        Bytes got(100000);
        ASSERT_EQ(InflateReader_Read(&r, 100000, got.data()), 0);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), plain.begin()));
        InflateReader_Destroy(&r);
    }

    // Corrupt header, corrupt data and garbage after the end.
    struct Damage {
        size_t at;
        uint8_t value;
    };
    for (Damage d : {Damage{0, 0x00}, Damage{1, 0x00}, Damage{z.size() - 1, 0x55}}) {
        SCOPED_TRACE(d.at);
        Bytes bad = z;
        bad[d.at] ^= d.value == 0 ? 0xFF : d.value;
        MemInput in;
        in.data = &bad;
        InflateReader r;
        InflateReader_Init(&r);
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, bad.size(), 0), 0);
        Bytes got;
        Refusal_Clear();
        EXPECT_EQ(ReadInPieces(&r, plain.size(), {1u << 20}, &got), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), "compressed data: malformed");
        InflateReader_Destroy(&r);
    }
    {
        Bytes trailing = z;
        trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6, 7});
        MemInput in;
        in.data = &trailing;
        InflateReader r;
        InflateReader_Init(&r);
        ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, trailing.size(), 0), 0);
        Bytes got;
        ASSERT_EQ(ReadInPieces(&r, plain.size(), {1u << 20}, &got), 0);
        EXPECT_TRUE(got == plain);
        uint8_t b = 0;
        Refusal_Clear();
        EXPECT_EQ(InflateReader_Read(&r, 1, &b), DISK_ERR_FORMAT);
        EXPECT_STREQ(Refusal_Get(), "compressed data: malformed");
        InflateReader_Destroy(&r);
    }

    // The callback's own failure codes come back unchanged, and the reader stays failed.
    const Bytes noise = RandomBytes(5u * 1024 * 1024, 32);
    Bytes nz(compressBound(noise.size()));
    zlen = nz.size();
    ASSERT_EQ(compress2(nz.data(), &zlen, noise.data(), noise.size(), 6), Z_OK);
    nz.resize(zlen);
    for (int code : {int(DISK_ERR_READ), int(DISK_CANCELLED), -215}) {
        for (int call : {0, 1, 2}) {
            MemInput in;
            in.data = &nz;
            in.failAtCall = call;
            in.failCode = code;
            InflateReader r;
            InflateReader_Init(&r);
            ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, nz.size(), 0), 0);
            Bytes got;
            EXPECT_EQ(ReadInPieces(&r, noise.size(), {3u << 20}, &got), code);
            EXPECT_EQ(in.calls.size(), static_cast<size_t>(call) + 1);
            uint8_t b = 0;
            EXPECT_EQ(InflateReader_Read(&r, 1, &b), code);
            InflateReader_Destroy(&r);
        }
    }

    // Reads on a reader that was never opened are refused.
    InflateReader r;
    InflateReader_Init(&r);
    uint8_t b = 0;
    EXPECT_EQ(InflateReader_Read(&r, 1, &b), DISK_ERR_ARG);
    EXPECT_EQ(InflateReader_Read(&r, 0, nullptr), 0);
}

// With a small capacity many calls follow the fetch of the last input piece; each of them must
// go on finishing the stream.
TEST(DeflateReaderTest, SmallCapacityRoundTrips)
{
    TempDir dir;
    struct Case {
        Bytes plain;
        int level;
        uint32_t capacity;
    };
    std::vector<Case> cases = {
        {RandomBytes(2u * 1024 * 1024 + 1, 41), 6, 1},
        {RandomBytes(3u * 1024 * 1024 + 333, 42), Z_DEFAULT_COMPRESSION, 4099},
        {CompressibleBytes(4u * 1024 * 1024, 43), 0, 65535},
        {CompressibleBytes(1000, 44), 9, 7},
        {Bytes(), 6, 1}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        if (c.capacity == 1 && c.plain.size() > 1000000) {
            // Byte-by-byte output of 2 MiB: check the few calls around the last piece only.
            MemInput in;
            in.data = &c.plain;
            DeflateReader r;
            DeflateReader_Init(&r);
            ASSERT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, c.plain.size(), 0, c.level),
                      0);
            Bytes out, big(1u << 20);
            bool ended = false;
            uint32_t produced = 0;
            // Larger reads until the second (last) piece has been fetched, then single bytes.
            while (in.calls.size() < 2 && !ended) {
                ASSERT_EQ(DeflateReader_Read(&r, 4096, big.data(), &ended, &produced), 0);
                out.insert(out.end(), big.begin(), big.begin() + produced);
            }
            EXPECT_EQ(DeflateReader_GetInputOffset(&r), c.plain.size());
            EXPECT_FALSE(ended);
            size_t singles = 0;
            while (!ended) {
                ++singles;
                uint8_t one = 0;
                ASSERT_EQ(DeflateReader_Read(&r, 1, &one, &ended, &produced), 0);
                ASSERT_EQ(produced, ended ? produced : 1u);
                out.insert(out.end(), &one, &one + produced);
                ASSERT_LT(out.size(), c.plain.size() + 4096);
            }
            EXPECT_GT(singles, 100u);
            DeflateReader_Destroy(&r);
            WriteFile(dir.file("plain"), c.plain);
            WriteFile(dir.file("ours.z"), out);
        } else {
            Bytes out = DeflateAll(c.plain, c.level, c.capacity);
            WriteFile(dir.file("plain"), c.plain);
            WriteFile(dir.file("ours.z"), out);
            if (!c.plain.empty()) {
                MemInput in;
                in.data = &out;
                InflateReader r;
                InflateReader_Init(&r);
                ASSERT_EQ(InflateReader_Open(&r, MemInput::Callback, &in, out.size(), 0), 0);
                Bytes got;
                ASSERT_EQ(ReadInPieces(&r, c.plain.size(), kOddReads, &got), 0);
                EXPECT_TRUE(got == c.plain);
                InflateReader_Destroy(&r);
            }
        }
        RunPython(dir,
                  "import zlib\n"
                  "d = zlib.decompressobj()\n"
                  "out = d.decompress(open('ours.z','rb').read())\n"
                  "assert d.eof and d.unused_data == b''\n"
                  "assert out == open('plain','rb').read()\n");
    }
}

TEST(DeflateReaderTest, FailuresAndBadArguments)
{
    const Bytes plain = RandomBytes(5u * 1024 * 1024, 51);
    Bytes buf(1u << 20);
    bool ended = false;
    uint32_t produced = 0;

    for (int code : {int(DISK_ERR_READ), int(DISK_CANCELLED)}) {
        for (int call : {0, 2}) {
            MemInput in;
            in.data = &plain;
            in.failAtCall = call;
            in.failCode = code;
            DeflateReader r;
            DeflateReader_Init(&r);
            ASSERT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, plain.size(), 0, 6), 0);
            int rc = 0;
            while (rc == 0 && !ended)
                rc = DeflateReader_Read(&r, buf.size(), buf.data(), &ended, &produced);
            EXPECT_EQ(rc, code);
            EXPECT_FALSE(ended);
            EXPECT_EQ(DeflateReader_Read(&r, buf.size(), buf.data(), &ended, &produced), code);
            DeflateReader_Destroy(&r);
        }
    }

    // A callback that delivers less than asked is a read failure, not stale data.
    {
        MemInput in;
        in.data = &plain;
        in.behaviour = MemInput::ShortPieces;
        DeflateReader r;
        DeflateReader_Init(&r);
        ASSERT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, plain.size(), 0, 6), 0);
        EXPECT_EQ(DeflateReader_Read(&r, buf.size(), buf.data(), &ended, &produced), DISK_ERR_READ);
        DeflateReader_Destroy(&r);
    }

    DeflateReader r;
    DeflateReader_Init(&r);
    MemInput in;
    in.data = &plain;
    EXPECT_EQ(DeflateReader_Read(&r, buf.size(), buf.data(), &ended, &produced), DISK_ERR_ARG);
    EXPECT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, 10, 0, 10), DISK_ERR_ARG);
    EXPECT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, 10, 0, -2), DISK_ERR_ARG);
    EXPECT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, 10, UINT64_MAX - 5, 6), DISK_ERR_ARG);
    EXPECT_EQ(DeflateReader_Open(&r, nullptr, &in, 10, 0, 6), DISK_ERR_ARG);
    ASSERT_EQ(DeflateReader_Open(&r, MemInput::Callback, &in, 10, 0, 6), 0);
    EXPECT_EQ(DeflateReader_Read(&r, 0, buf.data(), &ended, &produced), DISK_ERR_ARG);
    EXPECT_EQ(DeflateReader_Read(&r, buf.size(), buf.data(), &ended, &produced), 0);
    EXPECT_TRUE(ended);
    DeflateReader_Destroy(&r);
    DeflateReader_Destroy(&r);
}

// One-shot helpers: mode 0 is raw deflate with a 4 KiB window, mode 1 the zlib format, both
// checked in both directions against Python.
TEST(ZlibBuffers, ModesAgainstPython)
{
    TempDir dir;
    // Blocks that repeat at a distance of 8 KiB: a 32 KiB window would reach back to them.
    Bytes far = RandomBytes(8192, 61);
    Bytes farTwice = far;
    farTwice.insert(farTwice.end(), far.begin(), far.end());
    std::vector<Bytes> inputs = {Bytes(), Bytes{0x42}, RandomBytes(65536, 62),
                                 CompressibleBytes(65536, 63), farTwice};
    z_stream* s = Zlib_AllocStream();
    ASSERT_NE(s, nullptr);

    for (size_t i = 0; i < inputs.size(); ++i) {
        const Bytes& in = inputs[i];
        SCOPED_TRACE(i);
        const uint32_t cap = static_cast<uint32_t>(in.size() + in.size() / 8 + 64);
        Bytes raw(cap), zl(cap);
        uint32_t rawLen = 0, zlLen = 0;
        ASSERT_TRUE(Zlib_DeflateBuffer(s, in.data(), in.size(), raw.data(), cap, &rawLen, 0));
        ASSERT_TRUE(Zlib_DeflateBuffer(s, in.data(), in.size(), zl.data(), cap, &zlLen, 1));
        raw.resize(rawLen);
        zl.resize(zlLen);
        uint32_t rawLen2 = 0;
        Bytes raw2(cap);
        ASSERT_TRUE(Zlib_DeflateRawBuffer(s, in.data(), in.size(), raw2.data(), cap, &rawLen2));
        raw2.resize(rawLen2);
        EXPECT_TRUE(raw2 == raw);

        // Our output decodes in Python (raw with wbits -12 and zlib); Python makes streams of
        // the same kinds for us to decode.
        WriteFile(dir.file("plain"), in);
        WriteFile(dir.file("ours.raw"), raw);
        WriteFile(dir.file("ours.zl"), zl);
        // Python inflates in steps of at most 100 bytes, so that every longer distance must come
        // from the 4 KiB window; a stream made with a 32 KiB window shows that this catches them.
        RunPython(dir,
                  "import zlib\n"
                  "def small_steps(data, wbits):\n"
                  "    d = zlib.decompressobj(wbits)\n"
                  "    out = d.decompress(data, 100)\n"
                  "    while d.unconsumed_tail:\n"
                  "        out += d.decompress(d.unconsumed_tail, 100)\n"
                  "    return out + d.flush()\n"
                  "p = open('plain','rb').read()\n"
                  "assert small_steps(open('ours.raw','rb').read(), -12) == p\n"
                  "assert zlib.decompress(open('ours.zl','rb').read()) == p\n"
                  "c = zlib.compressobj(9, zlib.DEFLATED, -12)\n"
                  "open('py.raw','wb').write(c.compress(p) + c.flush())\n"
                  "open('py.zl','wb').write(zlib.compress(p, 6))\n"
                  "c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
                  "far = c.compress(p) + c.flush()\n"
                  "if len(p) == 16384:\n"
                  "    try:\n"
                  "        small_steps(far, -12)\n"
                  "        raise SystemExit('a 32 KiB window stream passed the 4 KiB check')\n"
                  "    except zlib.error:\n"
                  "        pass\n");
        struct Decode {
            const char* file;
            int mode;
        };
        for (Decode d : {Decode{"ours.raw", 0}, Decode{"ours.zl", 1}, Decode{"py.raw", 0},
                         Decode{"py.zl", 1}}) {
            SCOPED_TRACE(d.file);
            Bytes src = ReadFile(dir.file(d.file));
            Bytes out(in.size() + 1, 0xCC);
            EXPECT_TRUE(
                Zlib_InflateBuffer(s, src.data(), src.size(), out.data(), in.size(), d.mode));
            EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
            EXPECT_EQ(out[in.size()], 0xCC);  // nothing written past the expected length
            if (d.mode == 0) {
                std::fill(out.begin(), out.end(), 0);
                EXPECT_TRUE(
                    Zlib_InflateRawBuffer(s, src.data(), src.size(), out.data(), in.size()));
                EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
            }
            // Fewer bytes than expected, the other mode, and an unknown mode all fail.
            EXPECT_FALSE(
                Zlib_InflateBuffer(s, src.data(), src.size(), out.data(), in.size() + 1, d.mode));
            if (!in.empty()) {
                EXPECT_FALSE(Zlib_InflateBuffer(s, src.data(), src.size(), out.data(), in.size(),
                                                1 - d.mode));
            }
            EXPECT_FALSE(Zlib_InflateBuffer(s, src.data(), src.size(), out.data(), in.size(), 2));
            // Input cut short fails when it no longer yields every byte.
            if (in.size() > 1000) {
                EXPECT_FALSE(Zlib_InflateBuffer(s, src.data(), src.size() / 2, out.data(),
                                                in.size(), d.mode));
            }
        }
        // Output room too small for the whole stream fails.
        if (!in.empty()) {
            Bytes small(std::max(rawLen, zlLen));
            uint32_t n = 0;
            EXPECT_FALSE(
                Zlib_DeflateBuffer(s, in.data(), in.size(), small.data(), rawLen - 1, &n, 0));
            EXPECT_FALSE(
                Zlib_DeflateBuffer(s, in.data(), in.size(), small.data(), zlLen - 1, &n, 1));
        }
    }
    uint32_t n = 0;
    uint8_t b[16];
    EXPECT_FALSE(Zlib_DeflateBuffer(s, b, 1, b, sizeof b, &n, 3));
    const uint8_t garbage[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(Zlib_InflateBuffer(s, garbage, sizeof garbage, b, sizeof b, 0));
    EXPECT_FALSE(Zlib_InflateBuffer(s, garbage, sizeof garbage, b, sizeof b, 1));
    Mem_Free(s);
}
