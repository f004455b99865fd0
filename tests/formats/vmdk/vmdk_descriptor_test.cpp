// VMDK descriptor texts: reading, parsing, writing, rewriting, names and the default geometry.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/vmdk/vmdk_descriptor.h"
#include "formats/vmdk/vmdk_sparse.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

struct DescriptorDeleter {
    void operator()(VmdkDescriptor* d) const { Mem_Free(d); }
};
using DescriptorPtr = std::unique_ptr<VmdkDescriptor, DescriptorDeleter>;

DescriptorPtr NewDescriptor()
{
    return DescriptorPtr(static_cast<VmdkDescriptor*>(Mem_Alloc(sizeof(VmdkDescriptor))));
}

struct EditsDeleter {
    void operator()(VmdkDescriptorEdits* e) const { Mem_Free(e); }
};
using EditsPtr = std::unique_ptr<VmdkDescriptorEdits, EditsDeleter>;

EditsPtr NewEdits()
{
    EditsPtr e(static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits))));
    Vmdk_ClearDescriptorEdits(e.get());
    return e;
}

TextView View(const std::string& s)
{
    return TextView{reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size())};
}

std::string Str(TextView v) { return std::string(reinterpret_cast<const char*>(v.data), v.length); }

bool Parse(VmdkDescriptor* d, const std::string& text)
{
    return Vmdk_ParseDescriptor(d, View(text));
}

struct BlockDeleter {
    void operator()(uint8_t* p) const { Mem_Free(p); }
};
using Block = std::unique_ptr<uint8_t, BlockDeleter>;

// Reads the descriptor of a file; a copy of the text goes to *text, and the block the views
// point into is kept in *keep (freed at once without one).
int ReadDescriptorFile(const std::string& path, VmdkDescriptor* d, std::string* text = nullptr,
                       Block* keep = nullptr)
{
    ByteStream* s = nullptr;
    if (!Stream_OpenFile(path.c_str(), true, &s)) return -1;
    TextBuffer buffer;
    int r = Vmdk_ReadDescriptor(s, d, &buffer);
    Stream_Close(s);
    if (r == DISK_OK) {
        if (text) *text = std::string(reinterpret_cast<const char*>(buffer.data), buffer.length);
        if (keep)
            keep->reset(buffer.data);
        else
            Mem_Free(buffer.data);
    }
    return r;
}

const std::string kBase =
    "# Disk DescriptorFile\n"
    "version=1\n"
    "CID=12345678\n"
    "parentCID=ffffffff\n"
    "createType=\"monolithicSparse\"\n"
    "\n"
    "# Extent description\n"
    "RW 20480 SPARSE \"disk.vmdk\"\n"
    "\n"
    "# The Disk Data Base \n"
    "#DDB\n"
    "\n"
    "ddb.virtualHWVersion = \"4\"\n"
    "ddb.geometry.cylinders = \"20\"\n"
    "ddb.geometry.heads = \"16\"\n"
    "ddb.geometry.sectors = \"63\"\n"
    "ddb.adapterType = \"ide\"\n";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

// ---- Parsing -----------------------------------------------------------------------------------

TEST(VmdkDescriptorParse, BaseDescriptorFields)
{
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(d.get(), kBase));
    EXPECT_EQ(d->split, 0u);
    EXPECT_EQ(d->flat, 0u);
    EXPECT_EQ(d->isChild, 0u);
    ASSERT_EQ(d->extentCount, 1u);
    EXPECT_EQ(d->extents[0].sectors, 20480u);
    EXPECT_EQ(d->extents[0].type, (uint32_t)VMDK_EXTENT_SPARSE);
    EXPECT_EQ(d->extents[0].offset, 0u);
    EXPECT_EQ(Str(d->extents[0].fileName), "disk.vmdk");
    EXPECT_EQ(Str(d->cid), "12345678");
    EXPECT_EQ(Str(d->parentCid), "ffffffff");
    EXPECT_EQ(Str(d->createType), "monolithicSparse");
    EXPECT_EQ(d->createTypeIndex, (uint32_t)VMDK_CREATE_MONOLITHIC_SPARSE);
    EXPECT_EQ(d->hwVersionIndex, 1u);
    EXPECT_EQ(d->hwVersionAbsent, 0);
    EXPECT_EQ(d->cylinders, 20u);
    EXPECT_EQ(d->heads, 16u);
    EXPECT_EQ(d->sectorsPerTrack, 63u);
    EXPECT_EQ(d->adapter, (uint32_t)VMDK_ADAPTER_IDE);
    EXPECT_EQ(d->encodingAbsent, 1);
    EXPECT_EQ(d->encodingChoice, (uint32_t)VMDK_ENCODING_NONE);
    EXPECT_EQ(d->uuidAbsent, 1);
    EXPECT_EQ(d->textEncoding, (uint32_t)TEXT_ENC_UTF8);
}

TEST(VmdkDescriptorParse, DefaultsAndLenientLines)
{
    auto d = NewDescriptor();
    // No geometry and no version key: 0 cylinders, 16 heads, 63 sectors, hardware version "12".
    std::string text =
        "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"MONOLITHICsparse\"\n"
        "unknownKey = \"whatever\"\n"
        "this line fits nothing\n"
        "key with blanks = 1\n"
        "   # indented comment\n"
        "rw 100 sparse \"a b.vmdk\"   # trailing comment\n"
        "DDB.ADAPTERTYPE=\"LsiLogic\"\n"
        "ddb.uuid = \"60 00 C2 9a\"\n";
    ASSERT_TRUE(Parse(d.get(), text));
    EXPECT_EQ(d->cylinders, 0u);
    EXPECT_EQ(d->heads, 16u);
    EXPECT_EQ(d->sectorsPerTrack, 63u);
    EXPECT_EQ(d->hwVersionIndex, (uint32_t)VMDK_HW_VERSION_DEFAULT);
    EXPECT_EQ(d->hwVersionAbsent, 1);
    EXPECT_EQ(d->adapter, (uint32_t)VMDK_ADAPTER_LSILOGIC);
    EXPECT_EQ(d->uuidAbsent, 0);
    EXPECT_EQ(Str(d->uuid), "60 00 C2 9a");
    EXPECT_EQ(Str(d->extents[0].fileName), "a b.vmdk");
    EXPECT_EQ(d->createTypeIndex, (uint32_t)VMDK_CREATE_MONOLITHIC_SPARSE);
}

TEST(VmdkDescriptorParse, HardwareVersionTable)
{
    struct Case {
        const char* value;
        bool ok;
        uint32_t index;
    };
    const Case cases[] = {{"3", true, 0},   {"4", true, 1},   {"12", true, 9},  {"13", true, 11},
                          {"14", true, 10}, {"15", true, 11}, {"16", true, 11}, {"17", true, 12},
                          {"18", true, 13}, {"19", true, 11}, {"1", true, 11},  {"0", false, 0},
                          {"x", false, 0}};
    for (const Case& c : cases) {
        auto d = NewDescriptor();
        std::string text = Replace(kBase, "ddb.virtualHWVersion = \"4\"",
                                   std::string("ddb.virtualHWVersion = \"") + c.value + "\"");
        EXPECT_EQ(Parse(d.get(), text), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(d->hwVersionIndex, c.index) << c.value;
        }
    }
    EXPECT_STREQ(Vmdk_HwVersionName(11), "16");
    EXPECT_STREQ(Vmdk_HwVersionName(0), "3");
    EXPECT_STREQ(Vmdk_HwVersionName(13), "18");
    EXPECT_STREQ(Vmdk_HwVersionName(99), "16");
}

TEST(VmdkDescriptorParse, RefusedTexts)
{
    const std::string base = kBase;
    struct Case {
        const char* name;
        std::string text;
    };
    std::string tooMany =
        Replace(base, "createType=\"monolithicSparse\"", "createType=\"twoGbMaxExtentSparse\"");
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "RW 1 SPARSE \"e" + std::to_string(i) + ".vmdk\"\n";
    std::string thousand = Replace(tooMany, "RW 20480 SPARSE \"disk.vmdk\"\n", lines);
    std::string thousandOne =
        Replace(tooMany, "RW 20480 SPARSE \"disk.vmdk\"\n", lines + "RW 1 SPARSE \"x.vmdk\"\n");
    auto ok = NewDescriptor();
    ASSERT_TRUE(Parse(ok.get(), thousand));
    EXPECT_EQ(ok->extentCount, 1000u);
    const Case cases[] = {
        {"extent before version", "RW 1 SPARSE \"a.vmdk\"\n" + base},
        {"key before version", "CID=1\n" + Replace(base, "CID=12345678\n", "")},
        {"version 2", Replace(base, "version=1", "version=2")},
        {"version twice", Replace(base, "CID=12345678", "version=1\nCID=12345678")},
        {"key twice", base + "ddb.geometry.heads = \"16\"\n"},
        {"flat with two extents",
         Replace(Replace(base, "monolithicSparse", "monolithicFlat"),
                 "RW 20480 SPARSE \"disk.vmdk\"", "RW 10 FLAT \"a\" 0\nRW 10 FLAT \"b\" 0")},
        {"flat child", Replace(Replace(base, "monolithicSparse", "monolithicFlat"),
                               "RW 20480 SPARSE \"disk.vmdk\"",
                               "RW 10 FLAT \"a\" 0\nparentFileNameHint=\"p.vmdk\"")},
        {"split sparse with offset",
         Replace(Replace(base, "monolithicSparse", "twoGbMaxExtentSparse"), "\"disk.vmdk\"",
                 "\"disk.vmdk\" 5")},
        {"stream with two extents",
         Replace(Replace(base, "monolithicSparse", "streamOptimized"),
                 "RW 20480 SPARSE \"disk.vmdk\"", "RW 10 SPARSE \"a\"\nRW 10 SPARSE \"b\"")},
        {"unknown create type", Replace(base, "monolithicSparse", "fullDevice")},
        {"no create type", Replace(base, "createType=\"monolithicSparse\"\n", "")},
        {"no extent", Replace(base, "RW 20480 SPARSE \"disk.vmdk\"\n", "")},
        {"bad access", Replace(base, "RW 20480", "NOACCESS 20480")},
        {"bad size", Replace(base, "RW 20480", "RW 99999999999")},
        {"bad type", Replace(base, "SPARSE \"disk", "ZERO \"disk")},
        {"bad adapter", Replace(base, "\"ide\"", "\"pvscsi\"")},
        {"base without adapter", Replace(base, "ddb.adapterType = \"ide\"\n", "")},
        {"empty hint", Replace(base, "createType=\"monolithicSparse\"\n",
                               "createType=\"monolithicSparse\"\nparentFileNameHint=\"  \"\n")},
        {"bad cylinders", Replace(base, "\"20\"", "\"twenty\"")},
        {"1001 extents", thousandOne},
    };
    for (const Case& c : cases) {
        auto d = NewDescriptor();
        EXPECT_FALSE(Parse(d.get(), c.text)) << c.name;
    }
}

TEST(VmdkDescriptorParse, ChildForms)
{
    auto d = NewDescriptor();
    // The child form of the format: the hint and no ddb keys.
    std::string child =
        "version=1\nCID=2\nparentCID=1\ncreateType=\"twoGbMaxExtentSparse\"\n"
        "parentFileNameHint=\"  ../base.vmdk  \"\nRW 10 SPARSE \"c-s001.vmdk\"\nRW 5 SPARSE "
        "\"c-s002.vmdk\"\n";
    ASSERT_TRUE(Parse(d.get(), child));
    EXPECT_EQ(d->isChild, 1u);
    EXPECT_EQ(d->split, 1u);
    EXPECT_EQ(Str(d->parentFileNameHint), "../base.vmdk");
    EXPECT_EQ(d->heads, 0u);
    EXPECT_EQ(d->adapter, (uint32_t)VMDK_ADAPTER_UNSET);
    // A child written by other tools carries geometry and adapter keys as well: still a child.
    std::string withDdb =
        Replace(kBase, "createType=\"monolithicSparse\"\n",
                "createType=\"monolithicSparse\"\nparentFileNameHint=\"base.vmdk\"\n");
    ASSERT_TRUE(Parse(d.get(), withDdb));
    EXPECT_EQ(d->isChild, 1u);
    EXPECT_EQ(d->heads, 16u);
}

TEST(VmdkDescriptorParse, ShiftJisNamesAfterEncodingLine)
{
    // "ディスク" in Shift_JIS.
    const std::string sjisName = "\x83\x66\x83\x42\x83\x58\x83\x4e.vmdk";
    std::string text = Replace(kBase, "version=1\n", "version=1\nencoding=\"shift_jis\"\n");
    text = Replace(text, "\"disk.vmdk\"", "\"" + sjisName + "\"");
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(d.get(), text));
    EXPECT_EQ(d->encodingChoice, (uint32_t)VMDK_ENCODING_SHIFT_JIS);
    EXPECT_EQ(d->textEncoding, (uint32_t)TEXT_ENC_SJIS);
    EXPECT_EQ(Str(d->encoding), "shift_jis");
    EXPECT_EQ(Str(d->extents[0].fileName), sjisName);
    std::string other = Replace(kBase, "version=1\n", "version=1\nencoding=\"windows-1252\"\n");
    ASSERT_TRUE(Parse(d.get(), other));
    EXPECT_EQ(d->encodingChoice, (uint32_t)VMDK_ENCODING_OTHER);
    EXPECT_EQ(d->textEncoding, (uint32_t)TEXT_ENC_UTF8);
}

TEST(VmdkDescriptorParse, CreateTypesDecideSplitAndFlat)
{
    struct Case {
        const char* createType;
        const char* extents;
        uint32_t split, flat;
    };
    const Case cases[] = {
        {"monolithicSparse", "RW 8 SPARSE \"a\"\n", 0, 0},
        {"twoGbMaxExtentSparse", "RW 8 SPARSE \"a\"\nRW 8 SPARSE \"b\"\n", 1, 0},
        {"monolithicFlat", "RW 8 FLAT \"a\" 0\n", 0, 1},
        {"twoGbMaxExtentFlat", "RW 8 FLAT \"a\" 0\nRDONLY 8 VMFS \"b\" 16\n", 1, 1},
        {"streamOptimized", "RDONLY 8 SPARSE \"a\"\n", 0, 0},
        {"VMFS", "RW 8 VMFS \"a\"\n", 1, 1},
    };
    for (const Case& c : cases) {
        std::string text = std::string("version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"") +
                           c.createType + "\"\n" + c.extents + "ddb.adapterType=ide\n";
        auto d = NewDescriptor();
        ASSERT_TRUE(Parse(d.get(), text)) << c.createType;
        EXPECT_EQ(d->split, c.split) << c.createType;
        EXPECT_EQ(d->flat, c.flat) << c.createType;
    }
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(
        d.get(),
        std::string("version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentFlat\"\n"
                    "RW 8 FLAT \"a\" 0\nRDONLY 8 VMFS \"b\" 16\nddb.adapterType=ide\n")));
    EXPECT_EQ(d->extents[1].offset, 16u);
}

// ---- Reading from streams ---------------------------------------------------------------------------

TEST(VmdkDescriptorRead, TextFilesAndRefusals)
{
    TempDir dir;
    auto d = NewDescriptor();
    WriteText(dir.file("ok.vmdk"), kBase);
    std::string text;
    ASSERT_EQ(ReadDescriptorFile(dir.file("ok.vmdk"), d.get(), &text), DISK_OK);
    EXPECT_EQ(text, kBase);

    // Text stops at the first NUL.
    std::vector<uint8_t> nul(kBase.begin(), kBase.end());
    nul.push_back(0);
    nul.insert(nul.end(), {0xff, 0xfe, 'x'});
    WriteFile(dir.file("nul.vmdk"), nul);
    ASSERT_EQ(ReadDescriptorFile(dir.file("nul.vmdk"), d.get(), &text), DISK_OK);
    EXPECT_EQ(text, kBase);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::string big = kBase;
    big += "#" + std::string(131072 - big.size() - 1, 'x');
    std::vector<uint8_t> exact(big.begin(), big.end());
    WriteFile(dir.file("exact.vmdk"), exact);
    EXPECT_EQ(ReadDescriptorFile(dir.file("exact.vmdk"), d.get()), DISK_OK);
    std::string invalid = kBase + "# \xff\xff\n";
    std::vector<Case> cases = {
        {"131073 bytes", std::vector<uint8_t>(exact.begin(), exact.end())},
        {"not text", std::vector<uint8_t>(invalid.begin(), invalid.end())},
        {"does not parse", {'h', 'e', 'l', 'l', 'o', '\n'}},
        {"empty", {}},
    };
    cases[0].bytes.push_back('\n');
    for (const Case& c : cases) {
        WriteFile(dir.file("bad.vmdk"), c.bytes);
        EXPECT_EQ(ReadDescriptorFile(dir.file("bad.vmdk"), d.get()), DISK_ERR_FORMAT) << c.name;
    }
}

TEST(VmdkDescriptorRead, EmbeddedDescriptors)
{
    TempDir dir;
    auto d = NewDescriptor();
    VmdkSparseHeader h;
    VmdkSparse_BuildHeader(&h, 20480, 20, 1, false, false);
    std::vector<uint8_t> file(512 * 200, 0);
    VmdkSparse_HeaderToDisk(&h, file.data());
    std::memcpy(file.data() + 512, kBase.data(), kBase.size());
    WriteFile(dir.file("embedded.vmdk"), file);
    std::string text;
    ASSERT_EQ(ReadDescriptorFile(dir.file("embedded.vmdk"), d.get(), &text), DISK_OK);
    EXPECT_EQ(text, kBase);

    // An embedded descriptor of a split image is refused.
    std::vector<uint8_t> split = file;
    std::string splitText = Replace(kBase, "monolithicSparse", "twoGbMaxExtentSparse");
    std::memcpy(split.data() + 512, splitText.data(), splitText.size());
    WriteFile(dir.file("split.vmdk"), split);
    EXPECT_EQ(ReadDescriptorFile(dir.file("split.vmdk"), d.get()), DISK_ERR_FORMAT);

    // A sparse extent without an embedded descriptor, or a header that fails its checks.
    VmdkSparseHeader noDesc;
    VmdkSparse_BuildHeader(&noDesc, 20480, 0, 1, false, false);
    std::vector<uint8_t> bare(512 * 200, 0);
    VmdkSparse_HeaderToDisk(&noDesc, bare.data());
    WriteFile(dir.file("bare.vmdk"), bare);
    EXPECT_EQ(ReadDescriptorFile(dir.file("bare.vmdk"), d.get()), DISK_ERR_FORMAT);
    std::vector<uint8_t> broken = file;
    broken[72] = 1;  // unclean shutdown
    WriteFile(dir.file("broken.vmdk"), broken);
    EXPECT_EQ(ReadDescriptorFile(dir.file("broken.vmdk"), d.get()), DISK_ERR_FORMAT);
    // A header whose embedded descriptor lies past the end of the file.
    std::vector<uint8_t> shortFile(file.begin(), file.begin() + 1024);
    WriteFile(dir.file("short.vmdk"), shortFile);
    EXPECT_EQ(ReadDescriptorFile(dir.file("short.vmdk"), d.get()), DISK_ERR_READ);
}

TEST(VmdkDescriptorRead, QemuDescriptors)
{
    if (!HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
    TempDir dir;
    struct Case {
        const char* subformat;
        const char* adapter;
        uint32_t createType, split, flat, extents;
        const char* descriptorFile;
    };
    const Case cases[] = {
        {"monolithicSparse", "ide", VMDK_CREATE_MONOLITHIC_SPARSE, 0, 0, 1, "d.vmdk"},
        {"monolithicFlat", "lsilogic", VMDK_CREATE_MONOLITHIC_FLAT, 0, 1, 1, "d.vmdk"},
        {"twoGbMaxExtentSparse", "buslogic", VMDK_CREATE_SPLIT_SPARSE, 1, 0, 3, "d.vmdk"},
        {"twoGbMaxExtentFlat", "ide", VMDK_CREATE_SPLIT_FLAT, 1, 1, 3, "d.vmdk"},
        {"streamOptimized", "lsilogic", VMDK_CREATE_STREAM_OPTIMIZED, 0, 0, 1, "d.vmdk"},
    };
    for (const Case& c : cases) {
        TempDir sub;
        std::string path = sub.file(c.descriptorFile);
        std::string cmd = std::string("qemu-img create -q -f vmdk -o subformat=") + c.subformat +
                          ",adapter_type=" + c.adapter + " " + Quote(path) + " 4100M";
        ASSERT_EQ(RunCommand(cmd), 0) << cmd;
        auto d = NewDescriptor();
        ASSERT_EQ(ReadDescriptorFile(path, d.get()), DISK_OK) << c.subformat;
        EXPECT_EQ(d->createTypeIndex, c.createType) << c.subformat;
        EXPECT_EQ(d->split, c.split) << c.subformat;
        EXPECT_EQ(d->flat, c.flat) << c.subformat;
        EXPECT_EQ(d->extentCount, c.extents) << c.subformat;
        uint64_t sum = 0;
        for (uint32_t i = 0; i < d->extentCount; ++i) sum += d->extents[i].sectors;
        EXPECT_EQ(sum, 4100ull * 2048) << c.subformat;
        uint32_t adapter = 0;
        ASSERT_TRUE(std::string(c.adapter) == "ide" || std::string(c.adapter) == "buslogic" ||
                    std::string(c.adapter) == "lsilogic");
        adapter = std::string(c.adapter) == "ide"        ? 0
                  : std::string(c.adapter) == "buslogic" ? 1
                                                         : 2;
        EXPECT_EQ(d->adapter, adapter) << c.subformat;
        EXPECT_EQ(d->isChild, 0u);
    }
    // A child made by qemu-img carries geometry and adapter keys beside its hint.
    std::string base = dir.file("base.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk " + Quote(base) + " 10M"), 0);
    std::string child = dir.file("child.vmdk");
    ASSERT_EQ(RunCommand("qemu-img create -q -f vmdk -b base.vmdk -F vmdk " + Quote(child)), 0);
    auto d = NewDescriptor();
    Block keep;
    ASSERT_EQ(ReadDescriptorFile(child, d.get(), nullptr, &keep), DISK_OK);
    EXPECT_EQ(d->isChild, 1u);
    EXPECT_EQ(Str(d->parentFileNameHint), "base.vmdk");
}

// ---- Writing ------------------------------------------------------------------------------------------

namespace {

struct OptionsDeleter {
    void operator()(VmdkCreateOptions* o) const { Mem_Free(o); }
};
using OptionsPtr = std::unique_ptr<VmdkCreateOptions, OptionsDeleter>;

OptionsPtr MakeOptions(uint32_t split, uint32_t flat, bool stream, std::vector<uint32_t> sectors,
                       std::vector<std::string> names)
{
    OptionsPtr o(Vmdk_AllocCreateOptions(static_cast<uint32_t>(sectors.size())));
    o->split = split;
    o->flat = flat;
    o->compressedGrains = stream ? 1 : 0;
    o->streamOptimized = stream ? 1 : 0;
    o->adapter = VMDK_ADAPTER_LSILOGIC;
    o->hwVersionIndex = 4;
    for (size_t i = 0; i < sectors.size(); ++i) {
        VmdkCreateExtent* x = Vmdk_CreateOptionsExtent(o.get(), static_cast<uint32_t>(i));
        x->sectors = sectors[i];
        std::snprintf(x->fileName, sizeof x->fileName, "%s", names[i].c_str());
    }
    return o;
}

DiskGeometry Geometry(uint64_t total, uint32_t heads, uint32_t spt)
{
    DiskGeometry g{};
    Geometry_SetTotalSectors(&g, total);
    g.heads = heads;
    g.sectors_per_track = spt;
    g.bytes_per_sector = 512;
    return g;
}

std::string Write(const VmdkCreateOptions* o, const DiskGeometry& g, TextEncoding enc,
                  uint32_t capacity = 20000)
{
    std::vector<uint8_t> out(capacity);
    uint32_t n = Vmdk_WriteDescriptor(out.data(), capacity, o, &g, enc);
    return std::string(reinterpret_cast<const char*>(out.data()), n);
}

}  // namespace

TEST(VmdkDescriptorWrite, ExactTextOfAMonolithicSparseDisk)
{
    OptionsPtr o = MakeOptions(0, VMDK_LAYOUT_SPARSE, false, {20160}, {"/some/dir/out.vmdk"});
    o->adapter = VMDK_ADAPTER_IDE;
    o->hwVersionIndex = 1;
    std::string text = Write(o.get(), Geometry(20160, 16, 63), TEXT_ENC_UTF8);
    EXPECT_EQ(
        text,
        "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
        "createType=\"monolithicSparse\"\n\n# Extent description\nRW 20160 SPARSE \"out.vmdk\"\n\n"
        "# The Disk Data Base \n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
        "ddb.geometry.cylinders = \"20\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = "
        "\"63\"\n"
        "ddb.adapterType = \"ide\"\n");
}

TEST(VmdkDescriptorWrite, RoundTripPerLayoutAndEncoding)
{
    struct Case {
        uint32_t split, flat;
        bool stream;
        std::vector<uint32_t> sectors;
        uint32_t createType;
        const char* type;
    };
    const Case cases[] = {
        {0, VMDK_LAYOUT_SPARSE, false, {4096}, VMDK_CREATE_MONOLITHIC_SPARSE, "SPARSE"},
        {1, VMDK_LAYOUT_SPARSE, false, {63, 4033}, VMDK_CREATE_SPLIT_SPARSE, "SPARSE"},
        {0, VMDK_LAYOUT_FLAT, false, {4096}, VMDK_CREATE_MONOLITHIC_FLAT, "FLAT"},
        {1, VMDK_LAYOUT_FLAT, false, {2048, 2048}, VMDK_CREATE_SPLIT_FLAT, "FLAT"},
        {1, VMDK_LAYOUT_VMFS, false, {4096}, VMDK_CREATE_VMFS, "VMFS"},
        {0, VMDK_LAYOUT_SPARSE, true, {4096}, VMDK_CREATE_STREAM_OPTIMIZED, "SPARSE"},
    };
    const std::string sjisStem = "\x83\x66\x83\x42\x83\x58\x83\x4e";  // Shift_JIS
    const std::string utf8Stem =
        "\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf";  // the same in UTF-8
    for (const Case& c : cases) {
        for (uint32_t choice : {VMDK_ENCODING_NONE, VMDK_ENCODING_SHIFT_JIS, VMDK_ENCODING_UTF8}) {
            std::vector<std::string> names;
            for (size_t i = 0; i < c.sectors.size(); ++i)
                names.push_back("/d/" + utf8Stem + std::to_string(i) + ".vmdk");
            OptionsPtr o = MakeOptions(c.split, c.flat, c.stream, c.sectors, names);
            o->encodingChoice = choice;
            TextEncoding enc = choice == VMDK_ENCODING_SHIFT_JIS ? TEXT_ENC_SJIS : TEXT_ENC_UTF8;
            std::string text = Write(o.get(), Geometry(4096, 64, 32), enc);
            ASSERT_FALSE(text.empty()) << c.createType << " " << choice;
            auto d = NewDescriptor();
            ASSERT_TRUE(Parse(d.get(), text)) << text;
            EXPECT_EQ(d->createTypeIndex, c.createType);
            EXPECT_EQ(d->encodingChoice, choice);
            EXPECT_EQ(d->adapter, (uint32_t)VMDK_ADAPTER_LSILOGIC);
            EXPECT_EQ(d->hwVersionIndex, 4u);
            EXPECT_EQ(d->cylinders, 2u);
            EXPECT_EQ(d->heads, 64u);
            EXPECT_EQ(d->sectorsPerTrack, 32u);
            ASSERT_EQ(d->extentCount, c.sectors.size());
            for (size_t i = 0; i < c.sectors.size(); ++i) {
                EXPECT_EQ(d->extents[i].sectors, c.sectors[i]);
                const std::string& stem = choice == VMDK_ENCODING_SHIFT_JIS ? sjisStem : utf8Stem;
                EXPECT_EQ(Str(d->extents[i].fileName), stem + std::to_string(i) + ".vmdk");
            }
            EXPECT_NE(text.find(std::string(" ") + c.type + " \""), std::string::npos);
            EXPECT_EQ(text.find("ddb.thinProvisioned") != std::string::npos,
                      c.flat == VMDK_LAYOUT_VMFS);
            EXPECT_EQ(text.find("RDONLY") != std::string::npos, c.stream);
        }
    }
}

TEST(VmdkDescriptorWrite, CylindersAndRefusals)
{
    // An IDE disk of 20 GiB with 16 heads and 63 sectors has 0x3FFF cylinders; SCSI is not capped.
    OptionsPtr o = MakeOptions(0, VMDK_LAYOUT_SPARSE, false, {41943040}, {"x.vmdk"});
    o->adapter = VMDK_ADAPTER_IDE;
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(d.get(), Write(o.get(), Geometry(41943040, 16, 63), TEXT_ENC_UTF8)));
    EXPECT_EQ(d->cylinders, 0x3FFFu);
    o->adapter = VMDK_ADAPTER_BUSLOGIC;
    ASSERT_TRUE(Parse(d.get(), Write(o.get(), Geometry(41943040, 16, 63), TEXT_ENC_UTF8)));
    EXPECT_EQ(d->cylinders, 41610u);

    // Not split with two extents; stream-optimised with two extents; a buffer too small;
    // a geometry without heads.
    OptionsPtr two = MakeOptions(0, VMDK_LAYOUT_SPARSE, false, {10, 10}, {"a", "b"});
    EXPECT_EQ(Write(two.get(), Geometry(20, 16, 63), TEXT_ENC_UTF8), "");
    OptionsPtr stream = MakeOptions(1, VMDK_LAYOUT_SPARSE, true, {10, 10}, {"a", "b"});
    EXPECT_EQ(Write(stream.get(), Geometry(20, 16, 63), TEXT_ENC_UTF8), "");
    OptionsPtr one = MakeOptions(0, VMDK_LAYOUT_SPARSE, false, {10}, {"a"});
    EXPECT_EQ(Write(one.get(), Geometry(10, 16, 63), TEXT_ENC_UTF8, 100), "");
    EXPECT_EQ(Write(one.get(), Geometry(10, 0, 63), TEXT_ENC_UTF8), "");
    EXPECT_EQ(Vmdk_AllocCreateOptions(1001), nullptr);
    EXPECT_EQ(Vmdk_CreateOptionsSize(3), 36u + 3 * 4100u);
    OptionsPtr copy(Vmdk_CopyCreateOptions(two.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(std::memcmp(copy.get(), two.get(), Vmdk_CreateOptionsSize(2)), 0);
}

// ---- Rewriting -----------------------------------------------------------------------------------------

namespace {

std::string Rewrite(const std::string& old, const VmdkDescriptorEdits* e,
                    TextEncoding oldEnc = TEXT_ENC_UTF8, TextEncoding outEnc = TEXT_ENC_UTF8,
                    uint32_t capacity = 0x8000, bool* ok = nullptr)
{
    std::vector<uint8_t> storage(capacity);
    TextBuffer out;
    TextBuffer_Init(&out, storage.data(), 0, capacity);
    bool done =
        Vmdk_RewriteDescriptor(View(old), oldEnc, &out, outEnc, e, TEXT_ENC_UTF8, TEXT_ENC_UTF8);
    if (ok) *ok = done;
    if (!done) return "<failed>";
    EXPECT_EQ(storage[out.length], 0);
    return std::string(reinterpret_cast<const char*>(storage.data()), out.length);
}

void SetText(VmdkEditText* item, const char* value)
{
    item->set = 1;
    item->value = TextView{reinterpret_cast<const uint8_t*>(value),
                           static_cast<uint32_t>(std::strlen(value))};
}

void SetExtent(VmdkExtentEdit* x, uint32_t sectors, const char* name, bool sparse)
{
    x->set = 1;
    x->sectors = sectors;
    std::snprintf(x->fileNameStorage, sizeof x->fileNameStorage, "%s", name);
    x->fileName = TextView{reinterpret_cast<const uint8_t*>(x->fileNameStorage),
                           static_cast<uint32_t>(std::strlen(name))};
    x->makeSparse = sparse ? 1 : 0;
}

}  // namespace

TEST(VmdkDescriptorRewrite, NoEditsKeepsEveryLine)
{
    auto e = NewEdits();
    e->extentCount = 1;
    std::string old = kBase + "weird line \"\n  # comment with = sign\nddb.toolsVersion = \"1\"";
    // Line breaks become LF; everything else stays byte for byte.
    std::string crlf;
    for (char ch : old) {
        if (ch == '\n')
            crlf += "\r\n";
        else
            crlf += ch;
    }
    EXPECT_EQ(Rewrite(old, e.get()), old + "\n");
    EXPECT_EQ(Rewrite(crlf, e.get()), old + "\n");
}

TEST(VmdkDescriptorRewrite, EditsKeepTheLineAroundTheValue)
{
    auto e = NewEdits();
    e->extentCount = 1;
    std::string old =
        Replace(kBase, "ddb.adapterType = \"ide\"", "  ddb.adapterType   =  ide   # old adapter");
    e->adapter.set = 1;
    e->adapter.value = VMDK_ADAPTER_LSILOGIC;
    e->heads.set = 1;
    e->heads.value = 255;
    SetText(&e->cid, "abcdef01");
    e->hwVersionIndex.set = 1;
    e->hwVersionIndex.value = 11;
    e->cylinders.set = 1;
    e->cylinders.remove = 1;
    std::string expected = Replace(old, "  ddb.adapterType   =  ide   # old adapter",
                                   "  ddb.adapterType   =  \"lsilogic\"   # old adapter");
    expected = Replace(expected, "ddb.geometry.heads = \"16\"", "ddb.geometry.heads = \"255\"");
    expected = Replace(expected, "CID=12345678", "CID=abcdef01");
    expected = Replace(expected, "ddb.virtualHWVersion = \"4\"", "ddb.virtualHWVersion = \"16\"");
    expected = Replace(expected, "ddb.geometry.cylinders = \"20\"\n", "");
    EXPECT_EQ(Rewrite(old, e.get()), expected);

    bool ok = true;
    e->adapter.value = 3;
    Rewrite(old, e.get(), TEXT_ENC_UTF8, TEXT_ENC_UTF8, 0x8000, &ok);
    EXPECT_FALSE(ok);
    e->adapter.value = 0;
    Rewrite(old, e.get(), TEXT_ENC_UTF8, TEXT_ENC_UTF8, 100, &ok);
    EXPECT_FALSE(ok);
}

TEST(VmdkDescriptorRewrite, InsertionsAndAppends)
{
    auto e = NewEdits();
    e->extentCount = 1;
    e->encoding.set = 1;
    e->encoding.value = VMDK_ENCODING_UTF8;
    SetText(&e->parentFileNameHint, "base.vmdk");
    SetText(&e->uuid, "60 00");
    std::string expected = Replace(kBase, "version=1\n", "version=1\nencoding=\"UTF-8\"\n");
    expected = Replace(expected, "createType=\"monolithicSparse\"\n",
                       "createType=\"monolithicSparse\"\nparentFileNameHint=\"base.vmdk\"\n");
    expected = Replace(expected, "ddb.virtualHWVersion = \"4\"\n",
                       "ddb.virtualHWVersion = \"4\"\nddb.uuid = \"60 00\"\n");
    EXPECT_EQ(Rewrite(kBase, e.get()), expected);

    // Keys absent from a minimal text are appended in their fixed order.
    std::string minimal = "# nothing here\n";
    auto a = NewEdits();
    a->version.set = 1;
    a->version.value = 1;
    SetText(&a->cid, "1");
    SetText(&a->parentCid, "ffffffff");
    SetText(&a->createType, "twoGbMaxExtentSparse");
    a->adapter.set = 1;
    a->adapter.value = 0;
    a->extentCount = 2;
    SetExtent(&a->extents[0], 10, "a.vmdk", false);
    SetExtent(&a->extents[1], 20, "b.vmdk", false);
    std::string text = Rewrite(minimal, a.get());
    EXPECT_EQ(text,
              "# nothing "
              "here\nversion=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
              "ddb.adapterType = \"ide\"\nRW 10 SPARSE \"a.vmdk\"\nRW 20 SPARSE \"b.vmdk\"\n");
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(d.get(), text));
    EXPECT_EQ(d->extentCount, 2u);
}

TEST(VmdkDescriptorRewrite, ExtentLines)
{
    std::string old =
        "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentFlat\"\n"
        "RW 100 FLAT \"f-f001.vmdk\" 0\n"
        "RDONLY  200\tVMFS \"f-f002.vmdk\" 128 # second\n"
        "RW 300 FLAT \"f-f003.vmdk\" 0\n"
        "ddb.adapterType = \"ide\"\n";
    // A child: every extent made sparse, the offsets dropped, names replaced; the third extent
    // is left out, a fourth added after the last old extent line.
    auto e = NewEdits();
    e->extentCount = 4;
    SetExtent(&e->extents[0], 100, "c-s001.vmdk", true);
    SetExtent(&e->extents[1], 250, "c-s002.vmdk", true);
    e->extents[2].set = 0;
    SetExtent(&e->extents[3], 50, "c-s004.vmdk", false);
    SetText(&e->createType, "twoGbMaxExtentSparse");
    e->dropDdbLines = 1;
    std::string text = Rewrite(old, e.get());
    EXPECT_EQ(text,
              "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
              "RW 100 SPARSE \"c-s001.vmdk\"\n"
              "RW  250\tSPARSE \"c-s002.vmdk\" # second\n"
              "RW 300 FLAT \"f-f003.vmdk\" 0\n"
              "RW 50 SPARSE \"c-s004.vmdk\"\n");
    e->extentCount = 1;
    text = Rewrite(old, e.get());
    EXPECT_EQ(text,
              "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
              "RW 100 SPARSE \"c-s001.vmdk\"\n");
}

TEST(VmdkDescriptorRewrite, EncodingsConvertLinesAndNames)
{
    const std::string sjis = "\x83\x66\x83\x42\x83\x58\x83\x4e";
    const std::string utf8 = "\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf";
    std::string old = Replace(kBase, "\"disk.vmdk\"", "\"" + sjis + ".vmdk\"");
    old = Replace(old, "version=1\n", "version=1\nencoding=\"Shift_JIS\"\n# " + sjis + "\n");
    auto e = NewEdits();
    e->extentCount = 1;
    e->encoding.set = 1;
    e->encoding.value = VMDK_ENCODING_UTF8;
    std::string text = Rewrite(old, e.get(), TEXT_ENC_SJIS, TEXT_ENC_UTF8);
    std::string expected = Replace(old, "encoding=\"Shift_JIS\"", "encoding=\"UTF-8\"");
    expected = Replace(expected, "# " + sjis, "# " + utf8);
    expected = Replace(expected, sjis + ".vmdk", utf8 + ".vmdk");
    EXPECT_EQ(text, expected);
    auto d = NewDescriptor();
    ASSERT_TRUE(Parse(d.get(), text));
    EXPECT_EQ(Str(d->extents[0].fileName), utf8 + ".vmdk");
    // A new UTF-8 file name written into a Shift_JIS text.
    auto n = NewEdits();
    n->extentCount = 1;
    SetExtent(&n->extents[0], 20480, (utf8 + "2.vmdk").c_str(), false);
    text = Rewrite(old, n.get(), TEXT_ENC_SJIS, TEXT_ENC_SJIS);
    ASSERT_TRUE(Parse(d.get(), text));
    EXPECT_EQ(Str(d->extents[0].fileName), sjis + "2.vmdk");
}

// ---- Names and geometry ----------------------------------------------------------------------------------

TEST(VmdkDescriptorNames, Tables)
{
    EXPECT_STREQ(Vmdk_EncodingName(1), "Shift_JIS");
    EXPECT_STREQ(Vmdk_EncodingName(0), "UTF-8");
    EXPECT_STREQ(Vmdk_EncodingName(2), "UTF-8");
    EXPECT_STREQ(Vmdk_AdapterName(0), "ide");
    EXPECT_STREQ(Vmdk_AdapterName(1), "buslogic");
    EXPECT_STREQ(Vmdk_AdapterName(2), "lsilogic");
    EXPECT_STREQ(Vmdk_AdapterName(7), "lsilogic");
    TextView v{reinterpret_cast<const uint8_t*>("MonolithicFLAT"), 14};
    EXPECT_EQ(Vmdk_CreateTypeIndex(v, TEXT_ENC_UTF8), (uint32_t)VMDK_CREATE_MONOLITHIC_FLAT);
    EXPECT_STREQ(Vmdk_CreateTypeName(VMDK_CREATE_VMFS), "vmfs");
    EXPECT_EQ(Vmdk_CreateTypeName(9), nullptr);
}

TEST(VmdkDescriptorGeometry, DefaultGeometryNeverDropsTheTail)
{
    struct Case {
        uint64_t bytes;
        bool scsi;
        uint64_t total;
        uint32_t heads, spt;
    };
    const Case cases[] = {
        {1048576, true, 2048, 64, 32},
        {1048576 + 512, true, 4096, 64, 32},  // rounded up to whole MiB
        {1000 * 512, true, 2048, 64, 32},     // below 1 MiB: one MiB, never 0
        {1023ull * 1048576, true, 1023ull * 2048, 64, 32},
        {1024ull * 1048576, true, 1024ull * 2048, 255, 63},
        {0, true, 0, 64, 32},
        {1000, false, 2, 16, 63},
        {10ull << 30, false, 20971520, 16, 63},
    };
    for (const Case& c : cases) {
        DiskGeometry g{};
        EXPECT_TRUE(Vmdk_ComputeGeometry(c.bytes, c.scsi, &g));
        EXPECT_EQ(Geometry_GetTotalSectors(&g), c.total) << c.bytes;
        EXPECT_GE(Geometry_GetTotalSectors(&g) * 512, c.bytes);
        EXPECT_EQ(g.heads, c.heads);
        EXPECT_EQ(g.sectors_per_track, c.spt);
        EXPECT_EQ(g.bytes_per_sector, 512u);
        DiskGeometry d{};
        EXPECT_TRUE(Vmdk_GetDefaultGeometry(c.bytes, c.scsi, &d));
        EXPECT_EQ(std::memcmp(&g, &d, sizeof g), 0);
    }
}
