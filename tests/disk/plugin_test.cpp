// Plug-in modules: loading and acceptance, plug-in disks and the output side, against stand-in
// modules built here with g++ from tests/disk/plugins/standin_module.cpp.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <string>

#include "disk/disk_open.h"
#include "disk/plugin.h"
#include "foundation/platform.h"
#include "disk/plugins/standin_build.h"
#include "disk/plugins/standin_state.h"
#include "support/test_support.h"
#include "volume/used_map.h"

namespace {

// Variant name -> the entries it exports.
const std::map<std::string, std::string>& Variants()
{
    static const std::map<std::string, std::string> variants = {
        {"full", standin::FullFlags()},
        {"name_only", ""},
        {"no_name", "-DNO_NAME -DWITH_KIND=1 -DWITH_VERSION=0x600"},
        {"no_kind", "-DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_OPEN"},
        {"no_version", "-DWITH_KIND=1 -DWITH_INPUT -DWITH_OPEN"},
        {"version7", "-DWITH_KIND=1 -DWITH_VERSION=0x700"},
        {"version_high", "-DWITH_KIND=1 -DWITH_VERSION=0x01000600"},
        {"version_byte2", "-DWITH_KIND=1 -DWITH_VERSION=0x00020600"},
        {"version_byte0", "-DWITH_KIND=1 -DWITH_VERSION=0x6FF"},
        {"kind2", "-DWITH_KIND=2 -DWITH_VERSION=0x600"},
        {"unresolved", "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DNEEDS_MISSING"},
        {"bool_read",
         "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_OPEN -DWITH_READ "
         "-DWITH_RANGE"},
        {"no_read", "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_OPEN"},
        {"open_ex_only",
         "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_OPEN_EX "
         "-DWITH_READ_EX"},
        {"writer32",
         "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_OUTPUT -DWITH_WRITE "
         "-DWITH_CHECK -DWITH_MESSAGE"},
    };
    return variants;
}

class PluginTest : public ::testing::Test {
protected:
    static testsupport::TempDir* dir;

    // Built once for the whole program, removed when it ends.
    static void SetUpTestSuite()
    {
        if (dir != nullptr) return;
        static testsupport::TempDir modules;
        dir = &modules;
        std::map<std::string, std::string> files;
        for (const auto& v : Variants()) files[dir->file(v.first + ".vpl")] = v.second;
        std::string output;
        ASSERT_TRUE(standin::Build(files, &output)) << output;
    }

    static std::string Path(const std::string& variant) { return dir->file(variant + ".vpl"); }

    PluginModule module;

    void SetUp() override { Plugin_Init(&module); }
    void TearDown() override { Plugin_Unload(&module); }

    // Loads a variant and resets its steering record to a well-behaved module.
    StandinState* Load(const std::string& variant)
    {
        EXPECT_EQ(Plugin_Load(&module, Path(variant).c_str()), DISK_OK) << variant;
        if (module.library == nullptr) return nullptr;
        StandinState* s = static_cast<StandinState*>(dlsym(module.library, "standin"));
        EXPECT_NE(s, nullptr);
        memset(s, 0, sizeof(*s));
        s->sectors = 2048;
        s->heads = 16;
        s->sectorsPerTrack = 63;
        s->bytesPerSector = 512;
        s->readAnswer = 1;
        s->setPathAnswer = 1;
        return s;
    }
};

testsupport::TempDir* PluginTest::dir = nullptr;

// ---- Loading and acceptance ----------------------------------------------------------------

TEST_F(PluginTest, LoadAndAcceptanceTable)
{
    struct Case {
        const char* variant;
        int load;
        bool accepted;
    } cases[] = {
        {"full", DISK_OK, true},
        {"name_only", DISK_OK, false},  // loads, but lacks "_2" and "_3"
        {"no_kind", DISK_OK, false},
        {"no_version", DISK_OK, false},
        {"version7", DISK_OK, false},
        {"version_high", DISK_OK, false},
        {"version_byte2", DISK_OK, false},
        {"version_byte0", DISK_OK, true},  // byte 0 is free
        {"kind2", DISK_OK, false},
        {"no_name", DISK_ERR_ARG, false},
        {"unresolved", DISK_ERR_ARG, false},
        {"does_not_exist", DISK_ERR_ARG, false},
    };
    for (const Case& c : cases) {
        PluginModule m;
        Plugin_Init(&m);
        EXPECT_EQ(Plugin_Load(&m, Path(c.variant).c_str()), c.load) << c.variant;
        EXPECT_EQ(Plugin_IsAccepted(&m), c.accepted) << c.variant;
        if (c.load != DISK_OK) {
            PluginModule cleared;
            memset(&cleared, 0, sizeof cleared);
            EXPECT_EQ(memcmp(&m, &cleared, sizeof m), 0) << c.variant;
        } else {
            EXPECT_STREQ(Plugin_GetName(&m), "Stand-in");
        }
        Plugin_Unload(&m);
        EXPECT_EQ(m.library, nullptr);
    }
    EXPECT_EQ(Plugin_Load(&module, nullptr), DISK_ERR_ARG);
}

TEST_F(PluginTest, VersionWordRule)
{
    EXPECT_TRUE(Plugin_IsAcceptedVersion(0x00000600));
    EXPECT_TRUE(Plugin_IsAcceptedVersion(0x000006AB));
    EXPECT_FALSE(Plugin_IsAcceptedVersion(0x00000500));
    EXPECT_FALSE(Plugin_IsAcceptedVersion(0x00010600));
    EXPECT_FALSE(Plugin_IsAcceptedVersion(0x06000600));
}

TEST_F(PluginTest, FullModuleExportsEveryEntry)
{
    ASSERT_NE(Load("full"), nullptr);
    EXPECT_TRUE(Plugin_HasOpen(&module) && Plugin_HasOpenEx(&module) &&
                Plugin_HasGetGeometry64(&module) && Plugin_HasRead(&module) &&
                Plugin_HasReadEx(&module) && Plugin_HasRangeQuery(&module) &&
                Plugin_HasRangeQueryEx(&module) && Plugin_HasCheckGeometry64(&module) &&
                Plugin_HasSetOutputPath(&module) && Plugin_HasSetOutputPathEx(&module) &&
                Plugin_HasWrite(&module) && Plugin_HasWriteEx(&module));
    EXPECT_EQ(Plugin_GetInterfaceKind(&module), 1);
    EXPECT_EQ(Plugin_GetVersion(&module), 0x600u);
}

// A module with nothing but its name: every wrapper answers without calling a missing entry.
TEST_F(PluginTest, MissingEntriesAreNeverCalled)
{
    ASSERT_EQ(Plugin_Load(&module, Path("name_only").c_str()), DISK_OK);
    EXPECT_FALSE(Plugin_HasOpen(&module) || Plugin_HasOpenEx(&module) ||
                 Plugin_HasGetGeometry64(&module) || Plugin_HasRead(&module) ||
                 Plugin_HasReadEx(&module) || Plugin_HasRangeQuery(&module) ||
                 Plugin_HasRangeQueryEx(&module) || Plugin_HasCheckGeometry64(&module) ||
                 Plugin_HasSetOutputPath(&module) || Plugin_HasSetOutputPathEx(&module) ||
                 Plugin_HasWrite(&module) || Plugin_HasWriteEx(&module));
    int dummy = 0;
    EXPECT_EQ(Plugin_GetInterfaceKind(&module), 0);
    EXPECT_EQ(Plugin_GetVersion(&module), 0u);
    EXPECT_EQ(Plugin_CreateInput(&module), nullptr);
    Plugin_InitInput(&module, &dummy);
    Plugin_CloseInput(&module, &dummy);
    Plugin_FreeInput(&module, &dummy);
    EXPECT_EQ(Plugin_Open(&module, &dummy, "x", true, nullptr), DISK_ERR_ARG);
    EXPECT_EQ(Plugin_OpenEx(&module, &dummy, "x", true, nullptr), DISK_ERR_ARG);
    PluginGeometry32 g32;
    memset(&g32, 0xAA, sizeof g32);
    Plugin_GetGeometry(&module, &dummy, &g32);
    EXPECT_EQ(g32.sectors | g32.heads | g32.sectorsPerTrack | g32.bytesPerSector, 0u);
    uint64_t s = 1;
    uint32_t h = 1, t = 1, b = 1;
    Plugin_GetGeometry64(&module, &dummy, &s, &h, &t, &b);
    EXPECT_EQ(s + h + t + b, 0u);
    uint8_t buffer[16];
    EXPECT_FALSE(Plugin_Read(&module, &dummy, 0, 16, buffer));
    EXPECT_EQ(Plugin_ReadEx(&module, &dummy, 0, 16, buffer), DISK_ERR_ARG);
    bool empty = false;
    EXPECT_EQ(Plugin_RangeQuery(&module, &dummy, nullptr, 0, 1, &empty, nullptr, nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_EQ(Plugin_RangeQueryEx(&module, &dummy, nullptr, 0, 1, &empty, nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_NE(Plugin_CheckGeometry(&module, &g32), 0);
    EXPECT_NE(Plugin_CheckGeometry64(&module, 1, 1, 1, 512), 0);
    EXPECT_EQ(Plugin_CreateOutputContext(&module), nullptr);
    EXPECT_FALSE(Plugin_SetOutputPathBool(&module, &dummy, "x", nullptr));
    EXPECT_EQ(Plugin_SetOutputPathInt(&module, &dummy, "x", nullptr), DISK_ERR_ARG);
    Plugin_DestroyOutputContext(&module, &dummy);
    char message[8] = "garbage";
    int encoding = 5;
    EXPECT_FALSE(Plugin_FetchErrorMessage(&module, message, sizeof message, &encoding));
    EXPECT_EQ(message[0], '\0');
    PluginDisk disk;
    PluginDisk_Init(&disk);
    EXPECT_EQ(PluginDisk_Open(&disk, &module, "x", true, nullptr), DISK_ERR_ARG);
    EXPECT_EQ(PluginDisk_OpenEx(&disk, &module, "x", true, nullptr), DISK_ERR_ARG);
}

TEST_F(PluginTest, ForeignResultCodesBecomePluginFailures)
{
    struct Case {
        int in, out;
    } cases[] = {
        {0, 0},       {1, 1},       {-201, -201},       {-210, -210},
        {-217, -217}, {-215, -215}, {2, -215},          {-1, -215},
        {-200, -215}, {-218, -215}, {0x7FFFFFFF, -215}, {(int)0x80000000, -215},
    };
    for (const Case& c : cases) EXPECT_EQ(Plugin_MapResult(c.in), c.out) << c.in;
}

// ---- Plug-in disks ---------------------------------------------------------------------------

TEST_F(PluginTest, DiskOpensWith64BitGeometryAndReadsThroughTheResultEntry)
{
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    s->sectors = 0x100000010ull;
    PluginDisk disk;
    PluginDisk_Init(&disk);
    int host = 0;
    ASSERT_EQ(PluginDisk_Open(&disk, &module, "disk", true, &host), DISK_OK);
    EXPECT_EQ(s->opens, 1);
    EXPECT_EQ(s->lastHostArgument, &host);
    EXPECT_EQ(s->created, 1);
    EXPECT_EQ(s->inited, 1);
    DiskGeometry g;
    PluginDisk_GetGeometry(&disk, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 0x100000010ull);
    EXPECT_EQ(g.sectors32, 0u);
    EXPECT_EQ(disk.readMode, PLUGIN_READ_RESULT);
    EXPECT_EQ(disk.rangeMode, PLUGIN_RANGE_MAP);

    uint8_t buffer[512];
    ASSERT_EQ(PluginDisk_Read(&disk, 1024, 512, buffer), DISK_OK);
    EXPECT_EQ(buffer[0], static_cast<uint8_t>(1024 * 7 + 1));
    EXPECT_EQ(s->readExs, 1);
    EXPECT_EQ(s->reads, 0);
    s->readExResult = 42;  // not a result code of the engine
    EXPECT_EQ(PluginDisk_Read(&disk, 0, 512, buffer), DISK_ERR_PLUGIN);
    s->readExResult = DISK_CANCELLED;
    EXPECT_EQ(PluginDisk_Read(&disk, 0, 512, buffer), DISK_CANCELLED);
    // Past the end: refused without asking the module.
    int before = s->readExs;
    EXPECT_EQ(PluginDisk_Read(&disk, 0x100000010ull * 512 - 256, 512, buffer), DISK_ERR_ARG);
    EXPECT_EQ(s->readExs, before);

    PluginDisk_Close(&disk);
    EXPECT_EQ(s->closed, 1);
    EXPECT_EQ(s->freed, 1);
    EXPECT_EQ(disk.context, nullptr);
    EXPECT_EQ(disk.module, nullptr);
}

TEST_F(PluginTest, ThirtyTwoBitGeometryAndBooleanRead)
{
    StandinState* s = Load("bool_read");
    ASSERT_NE(s, nullptr);
    s->sectors = 1000;
    PluginDisk disk;
    PluginDisk_Init(&disk);
    ASSERT_EQ(PluginDisk_Open(&disk, &module, "disk", true, nullptr), DISK_OK);
    EXPECT_EQ(disk.readMode, PLUGIN_READ_BOOL);
    EXPECT_EQ(disk.rangeMode, PLUGIN_RANGE_BITS);
    EXPECT_EQ(disk.geometry.sectors32, 1000u);
    uint8_t buffer[512];
    EXPECT_EQ(PluginDisk_Read(&disk, 0, 512, buffer), DISK_OK);
    EXPECT_EQ(s->reads, 1);
    s->readAnswer = 0;
    EXPECT_EQ(PluginDisk_Read(&disk, 0, 512, buffer), DISK_ERR_READ);
    PluginDisk_Close(&disk);
}

TEST_F(PluginTest, FailedOpenReleasesTheContext)
{
    struct Case {
        int moduleAnswer;
        int expected;
    } cases[] = {{DISK_ERR_FORMAT, DISK_ERR_FORMAT},
                 {DISK_CANCELLED, DISK_CANCELLED},
                 {5, DISK_ERR_PLUGIN},
                 {-3, DISK_ERR_PLUGIN}};
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    for (const Case& c : cases) {
        s->created = s->closed = s->freed = 0;
        s->openResult = c.moduleAnswer;
        PluginDisk disk;
        PluginDisk_Init(&disk);
        EXPECT_EQ(PluginDisk_Open(&disk, &module, "disk", true, nullptr), c.expected);
        EXPECT_EQ(s->created, 1);
        EXPECT_EQ(s->freed, 1) << c.moduleAnswer;
        EXPECT_EQ(s->closed, 1);
        EXPECT_EQ(disk.context, nullptr);
    }
}

TEST_F(PluginTest, GeometryWithoutSizesIsRefused)
{
    struct Case {
        uint64_t sectors;
        uint32_t heads, spt, bps;
        int expected;
    } cases[] = {
        {2048, 16, 63, 0, DISK_ERR_ARG},
        {2048, 0, 63, 512, DISK_ERR_ARG},
        {2048, 16, 0, 512, DISK_ERR_ARG},
        {0xFFFFFFFFFFFFull, 16, 63, 0x80000000u, DISK_ERR_ARG},  // byte size beyond 63 bits
        {2048, 16, 63, 4096, DISK_OK},
    };
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    for (const Case& c : cases) {
        s->created = s->closed = s->freed = 0;
        s->sectors = c.sectors;
        s->heads = c.heads;
        s->sectorsPerTrack = c.spt;
        s->bytesPerSector = c.bps;
        PluginDisk disk;
        PluginDisk_Init(&disk);
        EXPECT_EQ(PluginDisk_OpenEx(&disk, &module, "disk", true, nullptr), c.expected);
        EXPECT_EQ(s->openExs > 0, true);
        if (c.expected != DISK_OK) {
            EXPECT_EQ(s->freed, 1);
            EXPECT_EQ(disk.context, nullptr);
        }
        PluginDisk_Close(&disk);
        EXPECT_EQ(s->created, s->freed);
    }
}

TEST_F(PluginTest, WithoutReadOrRangeEntriesTheDiskAnswersUnsupported)
{
    StandinState* s = Load("no_read");
    ASSERT_NE(s, nullptr);
    PluginDisk disk;
    PluginDisk_Init(&disk);
    ASSERT_EQ(PluginDisk_Open(&disk, &module, "disk", true, nullptr), DISK_OK);
    uint8_t buffer[512];
    bool empty = false;
    EXPECT_EQ(PluginDisk_Read(&disk, 0, 512, buffer), DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 0, 8, &empty, nullptr, nullptr),
              DISK_ERR_UNSUPPORTED);
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 2040, 9, &empty, nullptr, nullptr),
              DISK_ERR_ARG);
    PluginDisk_Close(&disk);
}

TEST_F(PluginTest, RangeQueries)
{
    // "_19": the used bits of the range are fetched from the map when there is one.
    StandinState* s = Load("bool_read");
    ASSERT_NE(s, nullptr);
    PluginDisk disk;
    PluginDisk_Init(&disk);
    ASSERT_EQ(PluginDisk_Open(&disk, &module, "disk", true, nullptr), DISK_OK);
    bool empty = false;
    s->rangeEmpty = 2;  // any non-zero byte is true
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 0, 8, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(s->lastUsedBitsNull, 1);
    UsedSectorMap map;
    UsedMap_Init(&map);  // no regions: every sector used
    s->rangeEmpty = 0;
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, &map, 8, 12, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_FALSE(empty);
    EXPECT_EQ(s->lastUsedBitsNull, 0);
    EXPECT_EQ(s->usedBitsCopy[0], 0xFF);
    s->rangeResult = 99;
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 0, 8, &empty, nullptr, nullptr),
              DISK_ERR_PLUGIN);
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 2048, 1, &empty, nullptr, nullptr),
              DISK_ERR_ARG);
    PluginDisk_Close(&disk);
    Plugin_Unload(&module);

    // "_23" is preferred; its map record works without a map (all used).
    s = Load("full");
    ASSERT_NE(s, nullptr);
    PluginDisk_Init(&disk);
    ASSERT_EQ(PluginDisk_Open(&disk, &module, "disk", true, nullptr), DISK_OK);
    s->rangeEmpty = 1;
    EXPECT_EQ(PluginDisk_IsRangeEmpty(&disk, nullptr, 0, 8, &empty, nullptr, nullptr), DISK_OK);
    EXPECT_TRUE(empty);
    EXPECT_EQ(s->rangeExs, 1);
    EXPECT_EQ(s->ranges, 0);
    EXPECT_EQ(s->mapBitsResult, DISK_OK);
    EXPECT_EQ(s->mapBitsFirst, 0xFF);
    PluginDisk_Close(&disk);
}

// ---- Output side -----------------------------------------------------------------------------

class PluginOutputTest : public PluginTest {
protected:
    testsupport::TempDir files;
    DiskHandle source;

    void SetUp() override
    {
        PluginTest::SetUp();
        std::vector<uint8_t> bytes(512 * 64, 0);
        bytes[0] = 0x5A;
        testsupport::WriteFile(files.file("source.img"), bytes);
        Disk_Init(&source);
        DiskGeometry g = {64, 1, 64, 512, 0};
        ASSERT_EQ(Disk_OpenRaw(&source, files.file("source.img").c_str(), true, 0, &g), DISK_OK);
    }
    void TearDown() override
    {
        Disk_Close(&source);
        PluginTest::TearDown();
    }
};

static bool StopAtOnce(uint64_t, uint64_t, void*) { return false; }
static bool GoOn(uint64_t, uint64_t, void*) { return true; }

TEST_F(PluginOutputTest, ExtendedWriterIsPreferredAndGetsTheSourceRecord)
{
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    int host = 0;
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, GoOn, nullptr, &host), DISK_OK);
    EXPECT_EQ(s->writeExs, 1);
    EXPECT_EQ(s->writes, 0);
    EXPECT_EQ(s->writtenSectors, 64u);
    EXPECT_EQ(s->writtenFirstByte, 0x5A);
    EXPECT_EQ(s->lastHostArgument, &host);
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, StopAtOnce, nullptr, nullptr),
              DISK_CANCELLED);
    s->writeResult = 3;
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, GoOn, nullptr, nullptr),
              DISK_ERR_PLUGIN);
}

TEST_F(PluginOutputTest, ThirtyTwoBitWriter)
{
    StandinState* s = Load("writer32");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, GoOn, nullptr, nullptr), DISK_OK);
    EXPECT_EQ(s->writes, 1);
    EXPECT_EQ(s->writtenSectors, 64u);
    EXPECT_EQ(s->writtenFirstByte, 0x5A);
    EXPECT_EQ(s->writerCancelled, 0);
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, StopAtOnce, nullptr, nullptr),
              DISK_OK);
    EXPECT_EQ(s->writerCancelled, 1);

    // A disk of 2^32 sectors cannot be described to it.
    DiskHandle big;
    Disk_Init(&big);
    DiskGeometry g = {0, 16, 63, 512, 0x100000000ull};
    ASSERT_EQ(Disk_OpenZero(&big, &g), DISK_OK);
    int before = s->writes;
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &big, nullptr, GoOn, nullptr, nullptr),
              DISK_ERR_ARG);
    EXPECT_EQ(s->writes, before);
    Disk_Close(&big);
}

TEST_F(PluginOutputTest, ModuleWithoutWriter)
{
    ASSERT_NE(Load("bool_read"), nullptr);
    EXPECT_EQ(Plugin_WriteImage(&module, "out", &source, nullptr, GoOn, nullptr, nullptr),
              DISK_ERR_ARG);
}

TEST_F(PluginTest, DestinationGeometryCheck)
{
    DiskGeometry small = {1000, 16, 63, 512, 0};
    DiskGeometry big = {0, 16, 63, 512, 0x100000005ull};

    StandinState* s = Load("full");  // with "_29"
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Plugin_CheckDestinationGeometry(&module, &big), 0);
    EXPECT_EQ(s->check64s, 1);
    EXPECT_EQ(s->checkedSectors, 0x100000005ull);
    s->checkAnswer = 1;
    EXPECT_NE(Plugin_CheckDestinationGeometry(&module, &small), 0);
    Plugin_Unload(&module);

    s = Load("writer32");  // "_13" only
    ASSERT_NE(s, nullptr);
    EXPECT_NE(Plugin_CheckDestinationGeometry(&module, &big), 0);
    EXPECT_EQ(s->checks, 0);  // never shown a truncated total
    EXPECT_EQ(Plugin_CheckDestinationGeometry(&module, &small), 0);
    EXPECT_EQ(s->checks, 1);
    EXPECT_EQ(s->checkedSectors, 1000u);
    Plugin_Unload(&module);

    ASSERT_EQ(Plugin_Load(&module, Path("name_only").c_str()), DISK_OK);
    EXPECT_NE(Plugin_CheckDestinationGeometry(&module, &small), 0);
}

TEST_F(PluginTest, OutputContextsAndPaths)
{
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    void* context = Plugin_CreateOutputContext(&module);
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(Plugin_SetOutputPathBool(&module, context, "out", nullptr));
    s->setPathAnswer = 0;
    EXPECT_FALSE(Plugin_SetOutputPathBool(&module, context, "out", nullptr));
    struct Case {
        int answer, expected;
    } cases[] = {{0, 0}, {1, 1}, {-208, -208}, {9, DISK_ERR_PLUGIN}};
    for (const Case& c : cases) {
        s->setPathExResult = c.answer;
        EXPECT_EQ(Plugin_SetOutputPathInt(&module, context, "out", nullptr), c.expected);
    }
    Plugin_DestroyOutputContext(&module, context);
    EXPECT_EQ(s->outputsFreed, 1);
}

TEST_F(PluginTest, ErrorMessageIsAlwaysTerminated)
{
    StandinState* s = Load("full");
    ASSERT_NE(s, nullptr);
    char buffer[256];
    int encoding = -1;
    s->messageAnswer = 1;
    ASSERT_TRUE(Plugin_FetchErrorMessage(&module, buffer, sizeof buffer, &encoding));
    EXPECT_STREQ(buffer, "stand-in failure");
    EXPECT_EQ(encoding, 0);
    s->messageFill = 1;  // fills every byte without a terminator
    ASSERT_TRUE(Plugin_FetchErrorMessage(&module, buffer, sizeof buffer, &encoding));
    EXPECT_EQ(strlen(buffer), sizeof buffer - 1);
    s->messageAnswer = 0;
    EXPECT_FALSE(Plugin_FetchErrorMessage(&module, buffer, sizeof buffer, &encoding));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_FALSE(Plugin_FetchErrorMessage(&module, buffer, 0, &encoding));
}

}  // namespace

namespace {

// ---- Through the disk handle -------------------------------------------------------------------

TEST_F(PluginTest, HandleOfKindPlugin)
{
    // The extended opener is chosen when exported and gets the callback record.
    StandinState* s = Load("open_ex_only");
    ASSERT_NE(s, nullptr);
    DiskHandle handle;
    Disk_Init(&handle);
    int argument = 0, callbacks = 0;
    ASSERT_EQ(Disk_OpenPlugin(&handle, &module, "disk", true, &argument, &callbacks), DISK_OK);
    EXPECT_EQ(Disk_GetKind(&handle), DISK_KIND_PLUGIN);
    EXPECT_EQ(s->openExs, 1);
    EXPECT_EQ(s->lastHostArgument, &callbacks);
    DiskGeometry g;
    memset(&g, 0, sizeof g);
    Disk_GetGeometry(&handle, &g);
    EXPECT_EQ(Geometry_GetTotalSectors(&g), 2048u);
    EXPECT_EQ(g.heads, 16u);
    uint8_t buffer[512];
    ASSERT_EQ(Disk_Read(&handle, 512, 512, buffer), DISK_OK);
    EXPECT_EQ(buffer[1], static_cast<uint8_t>(513 * 7 + 1));
    bool empty = false;
    EXPECT_EQ(Disk_IsRangeEmpty(&handle, nullptr, 0, 8, &empty, nullptr, nullptr),
              DISK_ERR_UNSUPPORTED);
    EXPECT_FALSE(Disk_CanCompact(&handle));
    // A second open over the open disk is refused: the module is not asked again, and the disk
    // it serves stays the handle's.
    void* object = handle.object;
    EXPECT_EQ(Disk_OpenPlugin(&handle, &module, "disk", true, &argument, &callbacks), DISK_ERR_ARG);
    EXPECT_EQ(s->openExs, 1);
    EXPECT_EQ(handle.object, object);
    Disk_Close(&handle);
    EXPECT_EQ(handle.object, nullptr);
    EXPECT_EQ(s->closed, 1);
    EXPECT_EQ(s->freed, 1);

    // A failed open leaves the handle as it was.
    s->openResult = DISK_ERR_FORMAT;
    Disk_Init(&handle);
    EXPECT_EQ(Disk_OpenPlugin(&handle, &module, "disk", true, nullptr, nullptr), DISK_ERR_FORMAT);
    EXPECT_EQ(Disk_GetKind(&handle), DISK_KIND_NONE);
    EXPECT_EQ(handle.object, nullptr);
    EXPECT_EQ(s->created, s->freed);
    Plugin_Unload(&module);

    // The plain opener gets the host argument.
    s = Load("bool_read");
    ASSERT_NE(s, nullptr);
    Disk_Init(&handle);
    ASSERT_EQ(Disk_OpenPlugin(&handle, &module, "disk", true, &argument, &callbacks), DISK_OK);
    EXPECT_EQ(s->opens, 1);
    EXPECT_EQ(s->lastHostArgument, &argument);
    Disk_Close(&handle);
    Plugin_Unload(&module);

    // Neither opener.
    ASSERT_EQ(Plugin_Load(&module, Path("name_only").c_str()), DISK_OK);
    Disk_Init(&handle);
    EXPECT_EQ(Disk_OpenPlugin(&handle, &module, "disk", true, nullptr, nullptr), DISK_ERR_ARG);
    EXPECT_EQ(Disk_GetKind(&handle), DISK_KIND_NONE);
}

}  // namespace
