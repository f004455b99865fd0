#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "support/test_support.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

TEST(PlatformFile, ReadWriteAtFiveGibInSparseFile)
{
    TempDir dir;
    std::string p = dir.file("big.img");
    FILE* f = nullptr;
    ASSERT_TRUE(File_Create(p.c_str(), &f));
    const uint64_t off = 5ull << 30;
    const char data[] = "far away";
    ASSERT_TRUE(File_WriteAt(f, off, sizeof data, data));
    char back[sizeof data] = {};
    ASSERT_TRUE(File_ReadAt(f, off, sizeof back, back));
    EXPECT_STREQ(back, data);
    uint64_t size = 0;
    ASSERT_TRUE(File_GetSize(f, &size));
    EXPECT_EQ(size, off + sizeof data);
    EXPECT_TRUE(File_Close(f));
    ASSERT_TRUE(File_GetSizeByPath(p.c_str(), &size));
    EXPECT_EQ(size, off + sizeof data);
}

// Large writes go to the kernel in pieces: every byte lands in its place, the uneven tail too,
// through the buffered file and through the descriptor.
TEST(PlatformFile, LargeWritesLandWhole)
{
    TempDir dir;
    const std::vector<uint8_t> data = RandomBytes((3u << 19) + 3, 7);  // 1.5 MiB and 3 bytes
    // At an odd place, and across the 64 MiB mark where the device writing of the stretch
    // before it is started.
    for (const uint64_t at : {uint64_t{4097}, uint64_t{(64u << 20) - (700u << 10) + 1}}) {
        SCOPED_TRACE(at);
        const std::string a = dir.file("buffered");
        FILE* f = nullptr;
        ASSERT_TRUE(File_Create(a.c_str(), &f));
        ASSERT_TRUE(File_WriteAt(f, at, static_cast<uint32_t>(data.size()), data.data()));
        ASSERT_TRUE(File_Close(f));
        const std::string b = dir.file("descriptor");
        const int fd = File_CreateWriteOnly(b.c_str());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(File_WriteAllAt(fd, at, static_cast<uint32_t>(data.size()), data.data()));
        ASSERT_EQ(close(fd), 0);
        for (const std::string& p : {a, b}) {
            const std::vector<uint8_t> back = ReadFile(p);
            ASSERT_EQ(back.size(), at + data.size()) << p;
            EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + at)) << p;
            EXPECT_TRUE(
                std::all_of(back.begin(), back.begin() + at, [](uint8_t c) { return c == 0; }));
        }
    }
}

TEST(PlatformFile, ShortReadAtEndFailsAndKeepsTail)
{
    TempDir dir;
    std::string p = dir.file("f");
    WriteFile(p, RandomBytes(1000, 1));
    FILE* f = nullptr;
    ASSERT_TRUE(File_Open(p.c_str(), true, &f));
    uint8_t buf[100];
    memset(buf, 0xEE, sizeof buf);
    EXPECT_FALSE(File_ReadAt(f, 960, 100, buf));
    auto all = ReadFile(p);
    EXPECT_EQ(0, memcmp(buf, all.data() + 960, 40));
    EXPECT_TRUE(File_ReadAt(f, 999, 0, buf));
    EXPECT_TRUE(File_ReadAt(f, 5000, 0, buf));
    // A read-only handle refuses writes (the failure shows at the latest when flushed).
    bool wrote = File_WriteAt(f, 0, 4, "abcd");
    EXPECT_FALSE(wrote && File_Close(f));
    if (!wrote) File_Close(f);
}

TEST(PlatformFile, OpenAndCreateRules)
{
    TempDir dir;
    FILE* f = nullptr;
    EXPECT_FALSE(File_Open(dir.file("missing").c_str(), false, &f));
    EXPECT_FALSE(File_Open(dir.file("missing").c_str(), true, &f));
    EXPECT_EQ(f, nullptr);
    WriteText(dir.file("x"), "hello");
    ASSERT_TRUE(File_Create(dir.file("x").c_str(), &f));
    uint64_t size = 99;
    ASSERT_TRUE(File_GetSize(f, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(File_Close(f));
}

TEST(PlatformFile, PreallocatedFileTruncatedToWrittenLength)
{
    TempDir dir;
    std::string p = dir.file("pre");
    FILE* f = nullptr;
    ASSERT_TRUE(File_CreatePreallocated(p.c_str(), 1 << 20, &f));
    uint64_t size = 0;
    ASSERT_TRUE(File_GetSizeByPath(p.c_str(), &size));
    EXPECT_EQ(size, 1u << 20);
    ASSERT_TRUE(File_WriteAt(f, 0, 10, "0123456789"));
    EXPECT_TRUE(File_TruncateAndClose(f, 10));
    ASSERT_TRUE(File_GetSizeByPath(p.c_str(), &size));
    EXPECT_EQ(size, 10u);

    // A size of 0 is a valid empty output.
    ASSERT_TRUE(File_CreatePreallocated(dir.file("zero").c_str(), 0, &f));
    EXPECT_TRUE(File_TruncateAndClose(f, 0));
    ASSERT_TRUE(File_GetSizeByPath(dir.file("zero").c_str(), &size));
    EXPECT_EQ(size, 0u);
}

TEST(PlatformFile, FailedPreallocationLeavesNoFile)
{
    TempDir dir;
    std::string p = dir.file("huge");
    FILE* f = nullptr;
    // No file system here holds an exabyte.
    EXPECT_FALSE(File_CreatePreallocated(p.c_str(), 1ull << 60, &f));
    EXPECT_FALSE(Os_PathExists(p.c_str()));
}

TEST(PlatformFile, BufferedWriteErrorSurfacesAtClose)
{
    // The full device stands in for a full disk; it is created like an output file (opening
    // an existing file is for regular files and block devices only).
    FILE* f = nullptr;
    ASSERT_TRUE(File_Create("/dev/full", &f));
    // The write stays in the stream's buffer; only the flush meets the full device.
    ASSERT_TRUE(File_WriteAt(f, 0, 512, std::string(512, 'x').c_str()));
    EXPECT_FALSE(File_Close(f));

    ASSERT_TRUE(File_Create("/dev/full", &f));
    ASSERT_TRUE(File_WriteAt(f, 0, 512, std::string(512, 'x').c_str()));
    EXPECT_FALSE(File_TruncateAndClose(f, 512));

    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_CreateFile("/dev/full", &s));
    ASSERT_TRUE(Stream_WriteAt(s, 0, 512, std::string(512, 'y').c_str()));
    EXPECT_FALSE(Stream_Close(s));
}

TEST(PlatformFile, OpensOnlyRegularFilesAndBlockDevices)
{
    TempDir dir;
    std::string file = dir.file("disk.img"), fifo = dir.file("x.vmdk"), sub = dir.file("d.vhd");
    WriteFile(file, std::vector<uint8_t>(4096, 7));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);

    for (bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "read-only" : "read-write");
        FILE* f = nullptr;
        ASSERT_TRUE(File_Open(file.c_str(), readOnly, &f));
        uint8_t byte = 0;
        EXPECT_TRUE(File_ReadAt(f, 4095, 1, &byte));
        EXPECT_EQ(byte, 7);
        File_Close(f);
        int fd = File_OpenDiskDescriptor(file.c_str(), readOnly);
        ASSERT_GE(fd, 0);
        // Reads on the descriptor wait as usual: the open's no-wait flag is gone again.
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        close(fd);

        // A FIFO without a writer would make a plain open wait for ever: the open runs in a
        // child that an alarm ends, so that the test itself cannot hang.
        for (const std::string& path :
             {fifo, sub, std::string("/dev/null"), std::string("/dev/zero")}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(RunInChild(20,
                                 [&] {
                                     FILE* g = nullptr;
                                     ByteStream* s = nullptr;
                                     int refused = 0;
                                     if (!File_Open(path.c_str(), readOnly, &g)) refused |= 1;
                                     if (File_OpenDiskDescriptor(path.c_str(), readOnly) < 0)
                                         refused |= 2;
                                     if (!Stream_OpenFile(path.c_str(), readOnly, &s)) refused |= 4;
                                     if (FileOpener_DefaultOpen(path.c_str(), readOnly, &s,
                                                                nullptr) == -1)
                                         refused |= 8;
                                     return refused;
                                 }),
                      15);
        }
    }
    FILE* f = nullptr;
    EXPECT_FALSE(File_Open(dir.file("missing").c_str(), true, &f));
    EXPECT_EQ(File_OpenDiskDescriptor(dir.file("missing").c_str(), true), -1);

    // A block device opens wherever the platform lets this process open it at all.
    for (const char* node : {"/dev/loop0", "/dev/vda", "/dev/sda"}) {
        struct stat st;
        if (stat(node, &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        int plain = open(node, O_RDONLY | O_CLOEXEC);
        if (plain < 0) continue;
        close(plain);
        SCOPED_TRACE(node);
        int fd = File_OpenDiskDescriptor(node, true);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
        ASSERT_TRUE(File_Open(node, true, &f));
        File_Close(f);
        break;
    }
}

TEST(PlatformFile, FileSystemCalls)
{
    TempDir dir;
    std::string a = dir.file("a"), b = dir.file("b"), d = dir.file("d");
    WriteText(a, "1");
    EXPECT_TRUE(Os_PathExists(a.c_str()));
    EXPECT_TRUE(Os_RenameFile(a.c_str(), b.c_str()));
    EXPECT_FALSE(Os_PathExists(a.c_str()));
    EXPECT_TRUE(Os_MakeDirectory(d.c_str()));
    EXPECT_FALSE(Os_MakeDirectory(d.c_str()));
    EXPECT_TRUE(Os_RemoveFile(b.c_str()));
    EXPECT_FALSE(Os_RemoveFile(b.c_str()));
}

// The cores counted are those the process may run on: a process limited to one core (as by
// taskset) counts one, and the count never exceeds the machine's.
TEST(PlatformCores, UsableCoresFollowTheAffinityMask)
{
    const uint32_t all = Os_UsableCores();
    EXPECT_GE(all, 1u);
    EXPECT_LE(all, static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(2);
        _exit(Os_UsableCores() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformPath, SplitCStr)
{
    struct Case {
        const char* path;
        const char* dir;
        const char* stem;
        const char* ext;
    };
    const Case cases[] = {
        {"dir/sub/name.tar.gz", "dir/sub/", "name.tar", "gz"},
        {"a.b/name", "a.b/", "name", ""},
        {"name", "", "name", ""},
        {"/root.img", "/", "root", "img"},
        {"dir/", "dir/", "", ""},
        {".hidden", "", "", "hidden"},
    };
    for (const Case& c : cases) {
        char dir[64], stem[64], ext[64];
        Path_SplitCStr(c.path, dir, stem, ext);
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(stem, c.stem) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
        Path_SplitCStr(c.path, nullptr, stem, nullptr);
        EXPECT_STREQ(stem, c.stem);
    }
}

TEST(PlatformTime, Since2000CountsFromUtc)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    for (const char* tz : {"UTC", "Asia/Tokyo", "America/New_York"}) {
        setenv("TZ", tz, 1);
        tzset();
        EXPECT_EQ(Time_Since2000FromTime(946684800 + 30), 30) << tz;
        EXPECT_EQ(Time_Since2000FromTime(946684800 - 1), -1) << tz;
        int32_t now = Time_NowSince2000();
        EXPECT_NEAR(static_cast<double>(now), static_cast<double>(time(nullptr) - 946684800), 2.0);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(PlatformTime, ModTimeSince2000)
{
    TempDir dir;
    std::string p = dir.file("t");
    WriteText(p, "x");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    int32_t s = 0;
    ASSERT_TRUE(File_GetModTimeSince2000(p.c_str(), &s));
    EXPECT_EQ(s, static_cast<int32_t>(st.st_mtime - 946684800));
    EXPECT_FALSE(File_GetModTimeSince2000(dir.file("none").c_str(), &s));
}

TEST(PlatformTime, FatDateTimeIsLocal)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    // 2024-03-05 13:07:09 in Tokyo is 04:07:09 UTC.
    time_t t = 1709611629;
    uint32_t expect = (44u << 25) + (3u << 21) + (5u << 16) + 13 * 2048 + 7 * 32 + 4;
    EXPECT_EQ(Time_FatDateTimeFromTime(t), expect);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    TimeParts p;
    Time_GetUtcParts(&p);
    EXPECT_GE(p.year, 2024);
    EXPECT_EQ(p.millisecond, 0);
    uint16_t month = 0, ms = 9;
    Time_GetLocalParts(nullptr, &month, nullptr, nullptr, nullptr, nullptr, nullptr, &ms);
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    EXPECT_EQ(ms, 0);
}

TEST(PlatformBytes, AgreeWithPythonStruct)
{
    std::string out;
    ASSERT_EQ(RunCommand("python3 -c \"import struct,sys; sys.stdout.write((struct.pack('>HIQ', "
                         "0x1234, 0x89ABCDEF, 0x0102030405060708) + struct.pack('<HIQ', 0x1234, "
                         "0x89ABCDEF, 0x0102030405060708)).hex())\"",
                         &out),
              0);
    uint8_t buf[28];
    Bytes_WriteU16Be(0x1234, buf);
    Bytes_WriteU32Be(0x89ABCDEF, buf + 2);
    Bytes_WriteU64Be(0x0102030405060708ull, buf + 6);
    Bytes_StoreLe16(buf + 14, 0x1234);
    Bytes_StoreLe32(buf + 16, 0x89ABCDEF);
    Bytes_StoreLe64(buf + 20, 0x0102030405060708ull);
    std::string hex;
    for (uint8_t b : buf) {
        char h[3];
        snprintf(h, sizeof h, "%02x", b);
        hex += h;
    }
    EXPECT_EQ(hex, out);
    EXPECT_EQ(Bytes_LoadBe16(buf), 0x1234);
    EXPECT_EQ(Bytes_LoadBe32(buf + 2), 0x89ABCDEFu);
    EXPECT_EQ(Bytes_LoadBe64(buf + 6), 0x0102030405060708ull);
    EXPECT_EQ(Bytes_LoadLe32(buf + 16), 0x89ABCDEFu);
    EXPECT_EQ(Bytes_LoadLe64(buf + 20), 0x0102030405060708ull);
    EXPECT_EQ(Bytes_BeToHost32(Bytes_LoadLe32(buf + 2)), 0x89ABCDEFu);
    EXPECT_EQ(Bytes_HostToBe16(0x1234), 0x3412);
    EXPECT_EQ(Bytes_HostToBe64(0x0102030405060708ull), 0x0807060504030201ull);

    uint8_t three[3];
    Bytes_WriteUIntBe(0x102030405ull, three, 3);
    EXPECT_EQ(three[0], 3);
    EXPECT_EQ(three[1], 4);
    EXPECT_EQ(three[2], 5);
    EXPECT_EQ(Bytes_GetByte0(0x11223344), 0x44);
    EXPECT_EQ(Bytes_GetByte3(0x11223344), 0x11);

    uint16_t a16[3] = {0x0102, 0x0304, 0x0506};
    Bytes_HostToBeArray16(a16, a16, 3);
    EXPECT_EQ(a16[2], 0x0605);
    Bytes_BeToHostArray16(a16, a16, 3);
    EXPECT_EQ(a16[2], 0x0506);
    uint64_t a64[2] = {1, 2};
    Bytes_HostToBeArray64(a64, a64, 2);
    EXPECT_EQ(a64[1], 2ull << 56);
}

TEST(PlatformMath, CeilingRoundingAndPowers)
{
    EXPECT_EQ(Math_DivCeilU32(0, 512), 0u);
    EXPECT_EQ(Math_DivCeilU32(1, 512), 1u);
    EXPECT_EQ(Math_DivCeilU32(UINT32_MAX, 2), 0x80000000u);
    EXPECT_EQ(Math_DivCeilU32(UINT32_MAX, UINT32_MAX), 1u);
    EXPECT_EQ(Math_DivCeilU64(UINT64_MAX, 512), (UINT64_MAX >> 9) + 1);
    EXPECT_EQ(Math_DivCeilU64(5, 0), 0u);
    EXPECT_EQ(Math_DivCeilI64(INT64_MAX, 2), INT64_MAX / 2 + 1);
    EXPECT_EQ(Math_DivCeilI64(-7, 2), -3);
    EXPECT_EQ(Math_DivCeilI64(7, 2), 4);
    EXPECT_EQ(Math_RoundUpU32(513, 512), 1024u);
    EXPECT_EQ(Math_RoundUpU32(512, 512), 512u);
    EXPECT_EQ(Math_RoundUpU32(UINT32_MAX, 512), 0u);
    EXPECT_TRUE(Math_IsPowerOfTwo(0));
    EXPECT_TRUE(Math_IsPowerOfTwo(1));
    EXPECT_TRUE(Math_IsPowerOfTwo(1 << 30));
    EXPECT_FALSE(Math_IsPowerOfTwo(6));
    EXPECT_FALSE(Math_IsPowerOfTwo(INT_MIN));
    EXPECT_FALSE(Math_IsPowerOfTwo(-4));
    uint64_t r;
    EXPECT_FALSE(Math_MulU64(1ull << 40, 1ull << 30, &r));
    EXPECT_TRUE(Math_MulU64(1ull << 40, 1ull << 20, &r));
    EXPECT_FALSE(Math_AddU64(UINT64_MAX, 1, &r));
    uint32_t r32;
    EXPECT_FALSE(Math_MulU32(65536, 65536, &r32));
}

TEST(PlatformMemory, ZeroAndFill)
{
    uint8_t z[37] = {};
    EXPECT_TRUE(Mem_IsZero(z, 0));
    EXPECT_TRUE(Mem_IsZero(z, sizeof z));
    z[36] = 1;
    EXPECT_FALSE(Mem_IsZero(z, sizeof z));
    EXPECT_TRUE(Mem_IsZero(z, 36));
    // One set bit anywhere in a range is seen, whatever the range's start and length (the wide
    // steps, the word steps and the byte tail); a bit just outside it is not.
    std::vector<uint8_t> big(1024 + 64, 0);
    for (uint32_t start : {0u, 1u, 7u, 16u, 33u}) {
        for (uint32_t length : {127u, 128u, 129u, 300u, 1024u}) {
            uint8_t* range = big.data() + start;
            EXPECT_TRUE(Mem_IsZero(range, length));
            for (uint32_t i = 0; i < length; i++) {
                range[i] = 0x80;
                EXPECT_FALSE(Mem_IsZero(range, length)) << start << " " << length << " " << i;
                range[i] = 0;
            }
            range[length] = 1;
            EXPECT_TRUE(Mem_IsZero(range, length));
            range[length] = 0;
        }
    }
    uint16_t a[5] = {};
    Mem_Fill16(a, 0xBEEF, 4);
    EXPECT_EQ(a[3], 0xBEEF);
    EXPECT_EQ(a[4], 0);
    uint64_t b[3] = {};
    Mem_Fill64(b, ~0ull, 3);
    EXPECT_EQ(b[2], ~0ull);
    void* m = Mem_Alloc(0);
    EXPECT_NE(m, nullptr);
    Mem_Free(m);
    Mem_Free(nullptr);
}

// ---- Streams --------------------------------------------------------------

TEST(Streams, PreallocatedStreamKeepsLogicalEnd)
{
    TempDir dir;
    std::string p = dir.file("out");
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_CreatePreallocated(p.c_str(), 1 << 20, &s));
    std::string block(512, 'a');
    ASSERT_TRUE(Stream_WriteAt(s, 4096, 512, block.data()));
    ASSERT_TRUE(Stream_WriteAt(s, 0, 512, block.data()));
    uint64_t size = 0;
    ASSERT_TRUE(Stream_GetSize(s, &size));
    EXPECT_EQ(size, 4608u);
    uint8_t buf[512];
    memset(buf, 0xCC, sizeof buf);
    ASSERT_TRUE(Stream_ReadAt(s, 8192, 512, buf));
    EXPECT_TRUE(Mem_IsZero(buf, sizeof buf));
    EXPECT_TRUE(Stream_ClosePreallocated(s));
    ASSERT_TRUE(File_GetSizeByPath(p.c_str(), &size));
    EXPECT_EQ(size, 4608u);

    ASSERT_TRUE(Stream_CreatePreallocated(p.c_str(), 1 << 20, &s));
    EXPECT_TRUE(Stream_Close(s));
    ASSERT_TRUE(File_GetSizeByPath(p.c_str(), &size));
    EXPECT_EQ(size, 0u);
}

TEST(Streams, FileStreamsAndOpener)
{
    TempDir dir;
    std::string p = dir.file("img");
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_CreateFile(p.c_str(), &s));
    ASSERT_TRUE(Stream_WriteAt(s, 100, 4, "data"));
    EXPECT_TRUE(Stream_Close(s));

    ASSERT_EQ(FileOpener_Open(nullptr, p.c_str(), true, &s), DISK_OK);
    uint64_t size = 0;
    ASSERT_TRUE(Stream_GetSize(s, &size));
    EXPECT_EQ(size, 104u);
    char buf[4];
    EXPECT_TRUE(Stream_ReadAt(s, 100, 4, buf));
    EXPECT_FALSE(Stream_ReadAt(s, 101, 4, buf));
    bool wrote = Stream_WriteAt(s, 0, 4, "xxxx");
    bool closed = Stream_Close(s);
    EXPECT_FALSE(wrote && closed) << "a read-only stream accepted a write";
    EXPECT_EQ(ReadFile(p)[0], 0);

    EXPECT_EQ(FileOpener_DefaultOpen(dir.file("missing").c_str(), true, &s, nullptr), -1);
    EXPECT_EQ(FileOpener_Open(&FileOpener_Default, dir.file("missing").c_str(), true, &s),
              DISK_ERR_OPEN);

    FileOpener cancel = {[](const char*, bool, ByteStream**, void*) { return 1; }, nullptr};
    EXPECT_EQ(FileOpener_Open(&cancel, p.c_str(), true, &s), DISK_CANCELLED);
    FileOpener failing = {[](const char*, bool, ByteStream**, void*) { return -77; }, nullptr};
    EXPECT_EQ(FileOpener_Open(&failing, p.c_str(), true, &s), DISK_ERR_OPEN);
}

// The write-only output: positioned writes, no reads, holes where nothing was written, the
// length named at creation (or the furthest write) at close; preallocation reserves it; a
// failing write or create is a failure.
TEST(Streams, WriteOnlyStreamLeavesHolesAndSetsItsLength)
{
    TempDir dir;
    const std::string path = dir.file("w.bin");
    ByteStream* s = nullptr;
    ASSERT_TRUE(Stream_CreateWriteOnly(path.c_str(), 64ull << 20, false, &s));
    const std::string data(8192, 'x');
    ASSERT_TRUE(Stream_WriteAt(s, 32ull << 20, 8192, data.data()));
    char back[16];
    EXPECT_FALSE(Stream_ReadAt(s, 32ull << 20, 16, back));
    uint64_t size = 0;
    EXPECT_TRUE(Stream_GetSize(s, &size));
    EXPECT_EQ(size, 64ull << 20);
    EXPECT_TRUE(Stream_Sync(s));
    ASSERT_TRUE(Stream_Close(s));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 64ull << 20);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 1u << 20);
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char got[8192];
    ASSERT_TRUE(File_ReadAt(f, 32ull << 20, 8192, got));
    EXPECT_EQ(std::string(got, 8192), data);
    ASSERT_TRUE(File_ReadAt(f, 1000, 16, got));
    EXPECT_EQ(std::string(got, 16), std::string(16, '\0'));
    fclose(f);

    // A write past the named length extends it.
    ASSERT_TRUE(Stream_CreateWriteOnly(path.c_str(), 100, false, &s));
    ASSERT_TRUE(Stream_WriteAt(s, 5000, 10, data.data()));
    ASSERT_TRUE(Stream_Close(s));
    uint64_t length = 0;
    ASSERT_TRUE(File_GetSizeByPath(path.c_str(), &length));
    EXPECT_EQ(length, 5010u);

    // Preallocated: the length is allocated at once.
    ASSERT_TRUE(Stream_CreateWriteOnly(path.c_str(), 4u << 20, true, &s));
    ASSERT_TRUE(stat(path.c_str(), &st) == 0);
    EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, 4u << 20);
    ASSERT_TRUE(Stream_Close(s));

    EXPECT_FALSE(Stream_CreateWriteOnly(dir.file("no/such/dir").c_str(), 10, false, &s));
    if (Os_PathExists("/dev/full")) {
        const int fd = open("/dev/full", O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(File_WriteAllAt(fd, 0, 10, data.data()));
        close(fd);
    }
    EXPECT_FALSE(File_WriteAllAt(-1, 0, 1, data.data()));
    EXPECT_FALSE(File_WriteAllAt(3, UINT64_MAX - 4, 10, data.data()));
}
