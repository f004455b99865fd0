// Opening by extension and probing: candidate order, probe order, stop rules, handle state.
#include "disk/builtin_disks.h"
#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "formats/vhd/vhd.h"
#include "formats/vmdk/vmdk.h"
#include "foundation/refusal.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "support/test_support.h"
#include "disk/saved_table.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

// Stand-in openers installed in every slot of the caller's-opener table. Each records its kind
// and answers what the test chose for it; kUseOpener means "open the file through the caller's
// opener, then refuse it as not this format", as a real handler does.
const int kUseOpener = 12345;
const int kNdi = -1;

struct ProbeLog {
    std::vector<int> kinds;  // kinds tried, in order; kNdi for a descriptor lookup
    int answer[DISK_TABLE_SLOTS];
    int openerCalls;
    int lastParentMode;
    void* lastOpenProgress;
};
ProbeLog g_log;

template <int K>
int FakeOpen(DiskHandle* handle, const FileOpener* opener, const char* path, bool readOnly,
             int parentMode, void* openProgress)
{
    g_log.kinds.push_back(K);
    g_log.lastParentMode = parentMode;
    g_log.lastOpenProgress = openProgress;
    int answer = g_log.answer[K];
    // Each stand-in names itself as the check that refused.
    static const std::string reason = "stand-in kind " + std::to_string(K) + " refused";
    if (answer == DISK_ERR_FORMAT) return Refusal_Record(reason.c_str());
    if (answer == kUseOpener) {
        ByteStream* s = nullptr;
        int r = FileOpener_Open(opener, path, readOnly, &s);
        if (r != DISK_OK) return r;
        Stream_Close(s);
        return DISK_ERR_FORMAT;
    }
    if (answer == DISK_OK) {
        handle->kind = K;
        handle->object = Mem_Alloc(8);
    }
    return answer;
}

template <size_t... K>
void InstallFakes(std::index_sequence<K...>)
{
    ((DiskOpenWithHandlerTable[K] = (K == 15 || K == 23) ? nullptr : FakeOpen<static_cast<int>(K)>),
     ...);
}

int CountingOpen(const char* path, bool readOnly, ByteStream** out, void*)
{
    ++g_log.openerCalls;
    size_t n = strlen(path);
    if (n >= 4 && strcmp(path + n - 4, ".ndi") == 0) g_log.kinds.push_back(kNdi);
    return FileOpener_DefaultOpen(path, readOnly, out, nullptr);
}

const FileOpener kCountingOpener = {CountingOpen, nullptr};

const std::vector<int> kProbeOrder = {0,  5, 6, 7, 8, 9,  10, 11, 12, 13, 14,
                                      -1, 1, 2, 3, 4, 16, 17, 18, 19, 21, 20};

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The extension's candidates, then the probe order without them: no kind is tried twice.
std::vector<int> ThenTheRest(const std::vector<int>& candidates)
{
    std::vector<int> tried = candidates;
    for (int kind : kProbeOrder) {
        bool seen = false;
        for (int c : candidates) seen = seen || c == kind;
        if (!seen) tried.push_back(kind);
    }
    return tried;
}

class DiskProbe : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_log = ProbeLog{};
        for (int& a : g_log.answer) a = DISK_ERR_FORMAT;
        InstallFakes(std::make_index_sequence<DISK_TABLE_SLOTS>());
        Disk_Init(&handle_);
    }
    void TearDown() override
    {
        // Objects of stand-in kinds are plain blocks: free them without running any close.
        if (handle_.object != nullptr) Mem_Free(handle_.object);
    }
    int Open(const std::string& path)
    {
        return Disk_OpenWithHandler(&handle_, &kCountingOpener, path.c_str(), true, 0, nullptr);
    }

    TempDir dir_;
    DiskHandle handle_;

private:
    SavedTable<DiskOpenWithHandlerFn> savedWith_{DiskOpenWithHandlerTable};
    SavedTable<DiskOpenFn> savedOpen_{DiskOpenTable};
};

}  // namespace

TEST_F(DiskProbe, ExtensionCandidatesThenTheRestOfTheProbeOrder)
{
    struct Row {
        const char* name;
        std::vector<int> candidates;
    } rows[] = {
        {"a.vmdk", {0, 1, 2}},
        {"a.VMDK", {0, 1, 2}},
        {"a.dsk", {3, 4}},
        {"a.vhdx", {5}},
        {"a.AVHDX", {5}},
        {"a.vhd", {6, 7}},
        {"a.qcow", {12}},
        {"a.qcow2", {13}},
        {"a.Hdd", {8, 9, 19}},
        {"a.vdi", {14}},
        {"a.HDI", {16}},
        {"a.thd", {17}},
        {"a.nhd", {18}},
        {"a.slh", {21}},
        {"a.h0", {22}},
        {"a.H2", {22}},
        {"a.h4", {22}},
        {"a.h5", {}},  // kind 22 is reached only through h0..h4
        {"a.img", {}},
        {"a", {}},
        {"a.", {}},
        {"x.vmdk.img", {}},  // only the last extension counts
        {"x.tar.qcow2", {13}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string path = dir_.file(r.name);
        WriteFile(path, std::vector<uint8_t>(4096, 0));
        g_log.kinds.clear();
        EXPECT_EQ(Open(path), DISK_ERR_ARG);
        EXPECT_EQ(g_log.kinds, ThenTheRest(r.candidates));
        EXPECT_EQ(handle_.kind, DISK_KIND_NONE);
        EXPECT_EQ(handle_.object, nullptr);
    }
    // The extension is the file name's, not a directory's.
    std::string sub = dir_.file("d.vmdk");
    ASSERT_EQ(RunCommand("mkdir " + Quote(sub)), 0);
    WriteFile(sub + "/plain", std::vector<uint8_t>(512, 0));
    g_log.kinds.clear();
    EXPECT_EQ(Open(sub + "/plain"), DISK_ERR_ARG);
    EXPECT_EQ(g_log.kinds, kProbeOrder);
}

TEST_F(DiskProbe, StopRules)
{
    struct Row {
        const char* name;
        int kind;      // the kind that answers
        int answer;    // its answer
        int expected;  // result of the open
        std::vector<int> tried;
        int storedKind;
        bool object;
    } rows[] = {
        {"a.img", 8, DISK_OK, DISK_OK, {0, 5, 6, 7, 8}, 8, true},
        {"a.hdd", 19, DISK_OK, DISK_OK, {8, 9, 19}, 19, true},
        {"a.img", 6, DISK_CANCELLED, DISK_CANCELLED, {0, 5, 6}, DISK_KIND_NONE, false},
        {"a.img", 0, DISK_ERR_OPEN, DISK_ERR_OPEN, {0}, DISK_KIND_NONE, false},
        {"a.qcow", 12, DISK_ERR_PASSWORD, DISK_ERR_PASSWORD, {12}, 12, false},
        {"a.img",
         13,
         DISK_ERR_PASSWORD,
         DISK_ERR_PASSWORD,
         {0, 5, 6, 7, 8, 9, 10, 11, 12, 13},
         13,
         false},
        // Only qcow and qcow2 may ask for a password; other failures go on.
        {"a.img", 5, DISK_ERR_PASSWORD, DISK_ERR_ARG, kProbeOrder, DISK_KIND_NONE, false},
        {"a.img", 20, DISK_ERR_NOMEM, DISK_ERR_ARG, kProbeOrder, DISK_KIND_NONE, false},
        {"a.hdi", 16, DISK_ERR_READ, DISK_ERR_ARG, ThenTheRest({16}), DISK_KIND_NONE, false},
        // A candidate's failure still lets the probe order find the file.
        {"a.vhd", 19, DISK_OK, DISK_OK,
         Concat({6, 7}, {0, 5, 8, 9, 10, 11, 12, 13, 14, -1, 1, 2, 3, 4, 16, 17, 18, 19}), 19,
         true},
        // Kind 22 found through its extension.
        {"a.h3", 22, DISK_OK, DISK_OK, {22}, 22, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " kind " + std::to_string(r.kind));
        for (int& a : g_log.answer) a = DISK_ERR_FORMAT;
        g_log.answer[r.kind] = r.answer;
        g_log.kinds.clear();
        std::string path = dir_.file(r.name);
        WriteFile(path, std::vector<uint8_t>(512, 0));
        EXPECT_EQ(Open(path), r.expected);
        EXPECT_EQ(g_log.kinds, r.tried);
        EXPECT_EQ(handle_.kind, r.storedKind);
        EXPECT_EQ(handle_.object != nullptr, r.object);
        if (handle_.object != nullptr) Mem_Free(handle_.object);
        Disk_Init(&handle_);
    }
}

TEST_F(DiskProbe, MissingFileEndsAfterOneOpenerCall)
{
    for (int& a : g_log.answer) a = kUseOpener;
    for (const char* name : {"missing.img", "MISSING.HDI", "missing.vmdk"}) {
        SCOPED_TRACE(name);
        g_log.openerCalls = 0;
        g_log.kinds.clear();
        EXPECT_EQ(Open(dir_.file(name)), DISK_ERR_OPEN);
        EXPECT_EQ(g_log.openerCalls, 1);
        EXPECT_EQ(g_log.kinds.size(), 1u);
        EXPECT_EQ(handle_.kind, DISK_KIND_NONE);
    }
    // Disk_OpenEx stops there too, without trying the file as a split set.
    EXPECT_EQ(Disk_OpenEx(&handle_, dir_.file("missing.img").c_str(), true, 0, nullptr),
              DISK_ERR_OPEN);
    EXPECT_EQ(handle_.kind, DISK_KIND_NONE);
}

TEST_F(DiskProbe, ParentModeAndOpenProgressReachTheHandlers)
{
    int progressRecord = 0;
    std::string path = dir_.file("a.img");
    WriteFile(path, std::vector<uint8_t>(512, 0));
    g_log.answer[0] = DISK_OK;
    ASSERT_EQ(Disk_OpenEx(&handle_, path.c_str(), true, 2, &progressRecord), DISK_OK);
    EXPECT_EQ(g_log.lastParentMode, 2);
    EXPECT_EQ(g_log.lastOpenProgress, &progressRecord);
}

TEST_F(DiskProbe, OpenOverAnOpenObjectIsRefused)
{
    std::string path = dir_.file("a.img");
    WriteFile(path, std::vector<uint8_t>(512, 0));
    g_log.answer[0] = DISK_OK;
    ASSERT_EQ(Open(path), DISK_OK);
    void* object = handle_.object;
    g_log.kinds.clear();
    g_log.openerCalls = 0;
    EXPECT_EQ(Open(path), DISK_ERR_ARG);
    EXPECT_EQ(
        Disk_OpenKindWithHandler(&handle_, nullptr, path.c_str(), true, DISK_KIND_VMDK, 0, nullptr),
        DISK_ERR_ARG);
    EXPECT_TRUE(g_log.kinds.empty());
    EXPECT_EQ(g_log.openerCalls, 0);
    EXPECT_EQ(handle_.object, object);
}

TEST_F(DiskProbe, OneKindWithHandler)
{
    std::string path = dir_.file("enc.qcow2");
    WriteFile(path, std::vector<uint8_t>(512, 0));
    struct Row {
        int kind;
        int answer;
        int expected;
        int storedKind;
    } rows[] = {
        {DISK_KIND_QCOW2, DISK_ERR_PASSWORD, DISK_ERR_PASSWORD, DISK_KIND_QCOW2},
        {DISK_KIND_QCOW, DISK_ERR_PASSWORD, DISK_ERR_PASSWORD, DISK_KIND_QCOW},
        {DISK_KIND_QCOW2, DISK_ERR_FORMAT, DISK_ERR_FORMAT, DISK_KIND_NONE},
        {DISK_KIND_VMDK, DISK_OK, DISK_OK, DISK_KIND_VMDK},
        {DISK_KIND_VHD_FIXED, DISK_OK, DISK_ERR_ARG, DISK_KIND_NONE},  // only 0, 12 and 13
        {DISK_KIND_HDI, DISK_OK, DISK_ERR_ARG, DISK_KIND_NONE},
        {DISK_KIND_RAW, DISK_OK, DISK_ERR_ARG, DISK_KIND_NONE},
        {DISK_KIND_NONE, DISK_OK, DISK_ERR_ARG, DISK_KIND_NONE},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.kind);
        for (int& a : g_log.answer) a = DISK_ERR_FORMAT;
        if (r.kind >= 0 && r.kind < 24) g_log.answer[r.kind] = r.answer;
        EXPECT_EQ(Disk_OpenKindWithHandler(&handle_, &kCountingOpener, path.c_str(), true, r.kind,
                                           0, nullptr),
                  r.expected);
        EXPECT_EQ(handle_.kind, r.storedKind);
        if (r.expected == DISK_ERR_PASSWORD) {
            EXPECT_EQ(handle_.object, nullptr);
            // Every dispatch on the password-needed state is refused, and close clears it.
            uint8_t sector[512];
            EXPECT_EQ(Disk_Read(&handle_, 0, 512, sector), DISK_ERR_ARG);
            Disk_Close(&handle_);
            EXPECT_EQ(handle_.kind, DISK_KIND_NONE);
        }
        if (handle_.object != nullptr) Mem_Free(handle_.object);
        Disk_Init(&handle_);
    }
}

namespace {
int g_byKindCalls;
int CountingByKind(DiskHandle*, const char*, bool)
{
    ++g_byKindCalls;
    return DISK_ERR_FORMAT;
}
}  // namespace

TEST_F(DiskProbe, OpenByKind)
{
    std::string path = dir_.file("a.img");
    WriteFile(path, std::vector<uint8_t>(512, 0));
    for (int kind : {-1, -2, -6, 15, 23, 24, 1000}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(Disk_OpenByKind(&handle_, path.c_str(), true, kind), DISK_ERR_ARG);
    }
    g_byKindCalls = 0;
    DiskOpenTable[DISK_KIND_VDI] = CountingByKind;
    EXPECT_EQ(Disk_OpenByKind(&handle_, path.c_str(), true, DISK_KIND_VDI), DISK_ERR_FORMAT);
    EXPECT_EQ(g_byKindCalls, 1);
    DiskOpenTable[DISK_KIND_VDI] = nullptr;
    EXPECT_EQ(Disk_OpenByKind(&handle_, path.c_str(), true, DISK_KIND_VDI), DISK_ERR_ARG);
}

// ---- Refusals of a kind whose own marks the file carries ---------------------------------------

namespace {

std::vector<uint8_t> Marked(size_t size, size_t at, const std::string& mark)
{
    std::vector<uint8_t> bytes(size, 0);
    memcpy(bytes.data() + at, mark.data(), mark.size());
    return bytes;
}

// A VHD footer ("conectix", disk type big-endian at byte 60) at `at`.
std::vector<uint8_t> VhdFooterAt(size_t size, size_t at, uint8_t type)
{
    std::vector<uint8_t> bytes = Marked(size, at, "conectix");
    bytes[at + 63] = type;
    return bytes;
}

}  // namespace

TEST_F(DiskProbe, RefusalOfAKindThatKnowsTheFileIsAnswered)
{
    const char* const kMarkedButRefused =
        "image: carries a format's signature but that format refuses it";
    const std::vector<uint8_t> dynamicVhd = VhdFooterAt(4096, 0, 3);  // the footer copy
    const std::vector<uint8_t> childVhd = VhdFooterAt(4096, 4096 - 512, 4);
    const std::vector<uint8_t> fixedVhd = VhdFooterAt(4096, 4096 - 512, 2);
    const std::vector<uint8_t> fixedVhd511 = VhdFooterAt(4095, 4095 - 511, 2);
    const std::vector<uint8_t> sparseVmdk = Marked(2048, 0, "KDMV");
    const std::vector<uint8_t> textVmdk = Marked(200, 0, "# Disk DescriptorFile\nversion=1\n");
    const std::vector<uint8_t> nhd = Marked(1024, 0, std::string("T98HDDIMAGE.R0\0", 15));
    const std::vector<uint8_t> vhd100 = Marked(1024, 0, std::string("VHD1.00\0", 8));
    const std::vector<uint8_t> hdim = Marked(1024, 0, "HDIM");
    const std::vector<uint8_t> plain(4096, 0);
    struct Row {
        const char* what;
        const char* name;
        const std::vector<uint8_t>* bytes;
        std::vector<std::pair<int, int>> answers;  // kind, answer; every other kind -206
        int expected;
        int storedKind;
        const char* reason = nullptr;  // recorded for a refused image
    } rows[] = {
        {"dynamic VHD refused",
         "a.img",
         &dynamicVhd,
         {},
         DISK_ERR_FORMAT,
         DISK_KIND_NONE,
         "stand-in kind 6 refused"},
        {"its real failure",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_READ}},
         DISK_ERR_READ,
         DISK_KIND_NONE},
        {"child VHD, footer at the end",
         "a.img",
         &childVhd,
         {{6, DISK_ERR_NOMEM}},
         DISK_ERR_NOMEM,
         DISK_KIND_NONE},
        // Never "nothing recognised", never a password the format cannot want.
        {"-207 kept as -206",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_ARG}},
         DISK_ERR_FORMAT,
         DISK_KIND_NONE,
         kMarkedButRefused},
        {"-210 kept as -206",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_PASSWORD}},
         DISK_ERR_FORMAT,
         DISK_KIND_NONE,
         kMarkedButRefused},
        // The probe order and its stop rules stand.
        {"a later kind accepts",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_READ}, {19, DISK_OK}},
         DISK_OK,
         19},
        {"a later password",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_READ}, {13, DISK_ERR_PASSWORD}},
         DISK_ERR_PASSWORD,
         13},
        {"a later open failure",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_READ}, {8, DISK_ERR_OPEN}},
         DISK_ERR_OPEN,
         DISK_KIND_NONE},
        {"a later cancel",
         "a.img",
         &dynamicVhd,
         {{6, DISK_ERR_READ}, {9, DISK_CANCELLED}},
         DISK_CANCELLED,
         DISK_KIND_NONE},
        // A fixed footer is no mark of the dynamic kind.
        {"fixed VHD",
         "a.img",
         &fixedVhd,
         {{6, DISK_ERR_READ}, {7, DISK_ERR_SIZE}},
         DISK_ERR_SIZE,
         DISK_KIND_NONE},
        {"fixed VHD, 511-byte footer",
         "a.img",
         &fixedVhd511,
         {{7, DISK_ERR_NOMEM}},
         DISK_ERR_NOMEM,
         DISK_KIND_NONE},
        {"extension candidates first",
         "a.vhd",
         &fixedVhd,
         {{7, DISK_ERR_SIZE}},
         DISK_ERR_SIZE,
         DISK_KIND_NONE},
        {"sparse VMDK",
         "a.img",
         &sparseVmdk,
         {{0, DISK_ERR_NOMEM}, {7, DISK_ERR_SIZE}},
         DISK_ERR_NOMEM,
         DISK_KIND_NONE},
        {"VMDK descriptor",
         "a.vmdk",
         &textVmdk,
         {},
         DISK_ERR_FORMAT,
         DISK_KIND_NONE,
         "stand-in kind 0 refused"},
        {"NHD", "a.img", &nhd, {{18, DISK_ERR_READ}}, DISK_ERR_READ, DISK_KIND_NONE},
        {"VHD1.00", "a.hdd", &vhd100, {{19, DISK_ERR_SIZE}}, DISK_ERR_SIZE, DISK_KIND_NONE},
        {"HDIM", "a.img", &hdim, {{21, DISK_ERR_READ}}, DISK_ERR_READ, DISK_KIND_NONE},
        // Without a mark, refusals are only "not this kind".
        {"no marks",
         "a.img",
         &plain,
         {{0, DISK_ERR_NOMEM}, {6, DISK_ERR_READ}, {18, DISK_ERR_READ}, {21, DISK_ERR_SIZE}},
         DISK_ERR_ARG,
         DISK_KIND_NONE},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        for (int& a : g_log.answer) a = DISK_ERR_FORMAT;
        for (const auto& a : r.answers) g_log.answer[a.first] = a.second;
        std::string path = dir_.file(r.name);
        WriteFile(path, *r.bytes);
        // The reason answered is the refusal of the kind that knows the file, not the one of a
        // kind tried after it.
        Refusal_Clear();
        EXPECT_EQ(Open(path), r.expected);
        if (r.reason != nullptr) {
            EXPECT_STREQ(Refusal_Get(), r.reason);
        }
        EXPECT_EQ(handle_.kind, r.storedKind);
        if (handle_.object != nullptr) Mem_Free(handle_.object);
        Disk_Init(&handle_);
        // The general open with the default opener answers the same.
        if (r.expected != DISK_OK && r.expected != DISK_ERR_PASSWORD) {
            Refusal_Clear();
            EXPECT_EQ(Disk_OpenEx(&handle_, path.c_str(), true, 0, nullptr), r.expected);
            // Nor the split set's, tried after the probe.
            if (r.reason != nullptr) {
                EXPECT_STREQ(Refusal_Get(), r.reason);
            }
            EXPECT_EQ(handle_.kind, DISK_KIND_NONE);
            EXPECT_EQ(handle_.object, nullptr);
        }
        Disk_Init(&handle_);
    }
}

// The real tables, without stand-ins: files that nothing recognises.
TEST(DiskOpenReal, UnrecognisedFilesLeaveTheHandleUnchanged)
{
    TempDir dir;
    const std::pair<const char*, std::vector<uint8_t>> files[] = {
        {"garbage.bin", RandomBytes(70000, 11)},  {"garbage.vhd", RandomBytes(4096 + 511, 12)},
        {"GARBAGE.HDI", RandomBytes(5000, 13)},   {"garbage.hdd", RandomBytes(8192 + 7, 14)},
        {"garbage.h1", RandomBytes(1048577, 15)}, {"empty.img", {}},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.first);
        std::string path = dir.file(f.first);
        WriteFile(path, f.second);
        DiskHandle h;
        Disk_Init(&h);
        EXPECT_EQ(Disk_Open(&h, path.c_str(), true), DISK_ERR_ARG);
        EXPECT_EQ(h.kind, DISK_KIND_NONE);
        EXPECT_EQ(h.object, nullptr);
        EXPECT_EQ(Disk_OpenWithHandler(&h, nullptr, path.c_str(), true, 0, nullptr), DISK_ERR_ARG);
        EXPECT_EQ(h.kind, DISK_KIND_NONE);
        EXPECT_EQ(h.object, nullptr);
    }
}

TEST(DiskOpenReal, RawOpenStoresTheRawKind)
{
    TempDir dir;
    std::string path = dir.file("r.bin");
    WriteFile(path, RandomBytes(10 * 512, 2));
    DiskHandle h;
    Disk_Init(&h);
    DiskGeometry g{10, 1, 10, 512, 0};
    EXPECT_EQ(Disk_OpenRaw(&h, path.c_str(), true, 512, &g), DISK_ERR_FORMAT);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
    EXPECT_EQ(h.object, nullptr);
    ASSERT_EQ(Disk_OpenRawWithHandler(&h, &kCountingOpener, path.c_str(), true, 0, &g), DISK_OK);
    EXPECT_EQ(h.kind, DISK_KIND_RAW);
    EXPECT_NE(h.object, nullptr);
    Disk_Close(&h);
    EXPECT_EQ(h.kind, DISK_KIND_NONE);
}

// The real tables on images of every fixed-header kind built by probe_fixtures.py.
namespace {

struct RealOpenCounter {
    int calls;
};

int RealCountingOpen(const char* path, bool readOnly, ByteStream** out, void* user)
{
    ++static_cast<RealOpenCounter*>(user)->calls;
    return FileOpener_DefaultOpen(path, readOnly, out, nullptr);
}

}  // namespace

TEST(DiskOpenReal, ProbingTable)
{
    TempDir dir;
    ASSERT_EQ(RunCommand("python3 " +
                         Quote(std::string(VDX_TEST_SOURCE_DIR) + "/disk/probe_fixtures.py") + " " +
                         Quote(dir.path())),
              0);
    const bool haveQemu = HaveTool("qemu-img");
    if (haveQemu) {
        ASSERT_EQ(RunCommand("qemu-img convert -f raw -O vpc -o subformat=fixed " +
                             Quote(dir.file("img.unz")) + " " + Quote(dir.file("img.vhdfixed"))),
                  0);
    }

    struct Row {
        const char* fixture;  // img.<fixture>, or NULL for random bytes
        const char* name;     // the name it is opened under
        int expected;
        DiskKind kind;
    } rows[] = {
        {"hdi", "a.hdi", DISK_OK, DISK_KIND_HDI},
        {"hdi", "A.HDI", DISK_OK, DISK_KIND_HDI},
        {"hdi", "renamed.img", DISK_OK, DISK_KIND_HDI},
        {"hdi", "wrong.nhd", DISK_OK, DISK_KIND_HDI},  // the wrong extension only costs a try
        {"thd", "b.thd", DISK_OK, DISK_KIND_THD},
        {"thd", "b.img", DISK_OK, DISK_KIND_THD},
        {"nhd", "c.NHD", DISK_OK, DISK_KIND_NHD},
        {"nhd", "c.img", DISK_OK, DISK_KIND_NHD},
        {"vhd100", "d.hdd", DISK_OK, DISK_KIND_VHD100},
        {"vhd100", "d.img", DISK_OK, DISK_KIND_VHD100},
        {"hdim", "e.slh", DISK_OK, DISK_KIND_HDIM},
        {"hdim", "e.dat", DISK_OK, DISK_KIND_HDIM},
        {"pc98e", "f.img", DISK_OK, DISK_KIND_PC98E},
        {"unz", "u.h2", DISK_OK, DISK_KIND_UNZ},
        {"unz", "U.H0", DISK_OK, DISK_KIND_UNZ},
        {"unz", "u.h4", DISK_OK, DISK_KIND_UNZ},
        {"unz", "u.img", DISK_ERR_ARG, DISK_KIND_NONE},  // whole MiB only through h0..h4
        {"unz", "u.h5", DISK_ERR_ARG, DISK_KIND_NONE},
        {"vhdfixed", "v.vhd", DISK_OK, DISK_KIND_VHD_FIXED},
        {"vhdfixed", "V.VHD", DISK_OK, DISK_KIND_VHD_FIXED},
        {"vhdfixed", "v.bin", DISK_OK, DISK_KIND_VHD_FIXED},
        {"ndiimage", "n.img", DISK_OK, DISK_KIND_RAW},
        {"ndiimage", "n.HDI", DISK_OK, DISK_KIND_RAW},
        {nullptr, "g.bin", DISK_ERR_ARG, DISK_KIND_NONE},
        {nullptr, "g.hdi", DISK_ERR_ARG, DISK_KIND_NONE},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.fixture != nullptr && std::string(r.fixture) == "vhdfixed" && !haveQemu) {
            printf("qemu-img not found: skipping %s\n", r.name);
            continue;
        }
        std::string path = dir.file(r.name);
        std::string dataPath;
        if (r.fixture == nullptr) {
            WriteFile(path, RandomBytes(200000, 77));
        } else {
            std::string fixture = dir.file(std::string("img.") + r.fixture);
            ASSERT_EQ(RunCommand("cp --sparse=always " + Quote(fixture) + " " + Quote(path)), 0);
            dataPath =
                dir.file(std::string("img.") +
                         (std::string(r.fixture) == "vhdfixed" ? "unz" : r.fixture) + ".data");
            if (std::string(r.fixture) == "ndiimage") {
                std::string stem = path.substr(0, path.rfind('.'));
                ASSERT_EQ(
                    RunCommand("cp " + Quote(dir.file("img.ndi")) + " " + Quote(stem + ".ndi")), 0);
            }
        }
        DiskHandle h;
        Disk_Init(&h);
        RealOpenCounter counter{0};
        FileOpener opener{RealCountingOpen, &counter};
        EXPECT_EQ(Disk_OpenWithHandler(&h, &opener, path.c_str(), true, 0, nullptr), r.expected);
        EXPECT_EQ(Disk_GetKind(&h), r.kind);
        if (r.expected != DISK_OK) {
            EXPECT_EQ(Disk_GetObject(&h), nullptr);
            continue;
        }
        // The disk presents the fixture's sectors from its data offset on.
        std::vector<uint8_t> expected = ReadFile(dataPath);
        DiskGeometry g{};
        Disk_GetGeometry(&h, &g);
        ASSERT_GT(g.bytes_per_sector, 0u);
        EXPECT_GE(Geometry_GetTotalSectors(&g) * g.bytes_per_sector, expected.size());
        std::vector<uint8_t> got(expected.size());
        ASSERT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(got.size()), got.data()), DISK_OK);
        EXPECT_TRUE(got == expected);
        Disk_Close(&h);
        EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_NONE);
    }
}

TEST(DiskOpenReal, MissingFileStopsAtTheFirstOpenerCall)
{
    TempDir dir;
    for (const char* name : {"none.img", "none.HDI", "none.h2", "none.vmdk", "none"}) {
        SCOPED_TRACE(name);
        DiskHandle h;
        Disk_Init(&h);
        RealOpenCounter counter{0};
        FileOpener opener{RealCountingOpen, &counter};
        EXPECT_EQ(Disk_OpenWithHandler(&h, &opener, dir.file(name).c_str(), true, 0, nullptr),
                  DISK_ERR_OPEN);
        EXPECT_EQ(counter.calls, 1);
        EXPECT_EQ(Disk_GetKind(&h), DISK_KIND_NONE);
        EXPECT_EQ(Disk_GetObject(&h), nullptr);
        EXPECT_EQ(Disk_Open(&h, dir.file(name).c_str(), true), DISK_ERR_OPEN);
    }
}

// ---- Damaged images of known formats, made with qemu-img ---------------------------------------

TEST(DiskOpenReal, DamagedImagesAreNotTakenForUnknownFiles)
{
    if (!HaveTool("qemu-img") || !HaveTool("qemu-io"))
        GTEST_SKIP() << "qemu-img or qemu-io missing";
    TempDir dir;
    ASSERT_EQ(RunCommand("python3 " +
                         Quote(std::string(VDX_TEST_SOURCE_DIR) + "/disk/damaged_fixtures.py") +
                         " " + Quote(dir.path())),
              0);
    struct Row {
        const char* name;
        bool damaged;  // else sound (opens) or of no format (nothing recognises it)
        DiskKind kind;
    } rows[] = {
        {"sound.vhd", false, DISK_KIND_VHD},        {"sound.vmdk", false, DISK_KIND_VMDK},
        {"truncated.vhd", true, DISK_KIND_NONE},    {"cut-footer.vhd", true, DISK_KIND_NONE},
        {"bat-past-end.vhd", true, DISK_KIND_NONE}, {"zero-gte.vmdk", true, DISK_KIND_NONE},
        {"zero-grain.vmdk", true, DISK_KIND_NONE},  {"bad-descriptor.vmdk", true, DISK_KIND_NONE},
        {"bad-checksum.vhd", true, DISK_KIND_NONE}, {"nodata.bin", false, DISK_KIND_NONE},
    };
    for (const Row& r : rows) {
        const std::string original = dir.file(r.name);
        // The marks decide, not the name: each file is also opened under a neutral one.
        const std::string renamed = dir.file(std::string("renamed-") + r.name + ".img");
        ASSERT_EQ(RunCommand("cp " + Quote(original) + " " + Quote(renamed)), 0);
        for (const std::string& path : {original, renamed}) {
            SCOPED_TRACE(path);
            DiskHandle h;
            Disk_Init(&h);
            const int result = Disk_OpenEx(&h, path.c_str(), true, 0, nullptr);
            if (r.damaged) {
                // A refusal of the format's own: neither "nothing recognised" (which would
                // make it a raw image) nor one of the answers that end probing early.
                EXPECT_LT(result, 0);
                EXPECT_NE(result, DISK_ERR_ARG);
                EXPECT_NE(result, DISK_ERR_OPEN);
                EXPECT_NE(result, DISK_ERR_PASSWORD);
            } else if (r.kind == DISK_KIND_NONE) {
                EXPECT_EQ(result, DISK_ERR_ARG);
            } else {
                EXPECT_EQ(result, DISK_OK);
            }
            EXPECT_EQ(Disk_GetKind(&h), r.kind);
            Disk_Close(&h);
        }
    }
}

// ---- Files that are not regular files or block devices ------------------------------------------

TEST(DiskOpenReal, FifosAndOtherNodesAreRefusedWithoutWaiting)
{
    TempDir dir;
    const std::string fifoVmdk = dir.file("x.vmdk"), fifoImg = dir.file("y.img");
    const std::string folder = dir.file("d.vhd");
    ASSERT_EQ(RunCommand("mkfifo " + Quote(fifoVmdk) + " " + Quote(fifoImg) + " && mkdir " +
                         Quote(folder)),
              0);
    const DiskGeometry g{2048, 16, 63, 512, 0};
    for (const std::string& path : {fifoVmdk, fifoImg, folder, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        // The opens run in a child that an alarm ends: a FIFO opened the plain way waits for a
        // writer for ever, and must not hang the test. Each refusal sets its bit.
        const int refusals = RunInChild(20, [&] {
            int bits = 0;
            DiskHandle h;
            Disk_Init(&h);
            if (Disk_OpenEx(&h, path.c_str(), true, 0, nullptr) == DISK_ERR_OPEN) bits |= 1;
            if (Disk_OpenEx(&h, path.c_str(), false, 0, nullptr) == DISK_ERR_OPEN) bits |= 2;
            if (Disk_OpenRaw(&h, path.c_str(), true, 0, &g) == DISK_ERR_OPEN) bits |= 4;
            // The block-device source refuses them too, and proposes no geometry for them.
            if (Disk_OpenDevice(&h, path.c_str(), true, 0, &g) == DISK_ERR_DEVICE) bits |= 8;
            DiskGeometry q{};
            if (!DeviceDisk_QueryGeometry(path.c_str(), &q)) bits |= 16;
            return bits;
        });
        EXPECT_EQ(refusals, 31);
    }
}

// ---- One-kind opens over a handle that holds an object ---------------------------------------

TEST(DiskOpenReal, OneKindOpensRefuseAHandleThatHoldsAnObject)
{
    TempDir dir;
    const std::string image = dir.file("u.h0");
    WriteFile(image, RandomBytes(1 << 20, 5));
    const DiskGeometry g{2048, 16, 63, 512, 0};
    DiskHandle other;
    Disk_Init(&other);
    ASSERT_EQ(Disk_OpenZero(&other, &g), DISK_OK);

    const std::string vhdPath = dir.file("v.vhd"), vmdkPath = dir.file("v.vmdk");
    const bool haveQemu = HaveTool("qemu-img");
    if (haveQemu) {
        ASSERT_EQ(RunCommand("qemu-img create -q -f vpc " + Quote(vhdPath) + " 4M && " +
                             "qemu-img create -q -f vmdk " + Quote(vmdkPath) + " 4M"),
                  0);
    }
    struct Row {
        const char* what;
        bool needsQemu;
        std::function<int(DiskHandle*)> open;
    } rows[] = {
        {"by kind", false,
         [&](DiskHandle* h) { return Disk_OpenByKind(h, image.c_str(), true, DISK_KIND_UNZ); }},
        {"kind with handler", true,
         [&](DiskHandle* h) {
             return Disk_OpenKindWithHandler(h, nullptr, vmdkPath.c_str(), true, DISK_KIND_VMDK, 0,
                                             nullptr);
         }},
        {"raw", false, [&](DiskHandle* h) { return Disk_OpenRaw(h, image.c_str(), true, 0, &g); }},
        {"raw with handler", false,
         [&](DiskHandle* h) {
             return Disk_OpenRawWithHandler(h, nullptr, image.c_str(), true, 0, &g);
         }},
        {"resized", false, [&](DiskHandle* h) { return Disk_OpenResized(h, &other, false, 4096); }},
        {"zero", false, [&](DiskHandle* h) { return Disk_OpenZero(h, &g); }},
        {"device", false,
         [&](DiskHandle* h) { return Disk_OpenDevice(h, image.c_str(), true, 0, &g); }},
        {"general", false, [&](DiskHandle* h) { return Disk_Open(h, image.c_str(), true); }},
        // The kinds' own entries, as the tables hold them.
        {"UNZ entry", false, [&](DiskHandle* h) { return Disk_OpenUnz(h, image.c_str(), true); }},
        {"VHD entry", true, [&](DiskHandle* h) { return Disk_OpenVhd(h, vhdPath.c_str(), true); }},
        {"VMDK entry", true,
         [&](DiskHandle* h) { return Disk_OpenVmdk(h, vmdkPath.c_str(), true); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.needsQemu && !haveQemu) continue;
        DiskHandle h;
        Disk_Init(&h);
        // Each open works on an empty handle ...
        ASSERT_EQ(r.open(&h), DISK_OK);
        // ... and refuses one that holds an object, which stays as it was (the sanitizer
        // build's leak check sees any object that an open dropped).
        const DiskKind kind = h.kind;
        void* object = h.object;
        EXPECT_EQ(r.open(&h), DISK_ERR_ARG);
        EXPECT_EQ(h.kind, kind);
        EXPECT_EQ(h.object, object);
        Disk_Close(&h);
    }
    // A view over its own handle would close its own source.
    DiskHandle self;
    Disk_Init(&self);
    EXPECT_EQ(Disk_OpenResized(&self, &self, true, 4096), DISK_ERR_ARG);
    Disk_Close(&other);
}
