// The format rows and the tables, probe order and extension candidates the registry builds.
#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/format_registry.h"
#include "foundation/platform.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

// What every table kind offers beyond open, close, geometry, read and empty-range.
struct KindCase {
    DiskKind kind;
    bool canCompact, hasParent, unallocated;
};

const KindCase kKinds[] = {
    {DISK_KIND_VMDK, true, true, true},
    {DISK_KIND_COWD3, false, false, false},
    {DISK_KIND_COWD3_CHILD, false, false, false},
    {DISK_KIND_COWD1, false, false, false},
    {DISK_KIND_COWD1_CHILD, false, false, false},
    {DISK_KIND_VHDX, true, true, true},
    {DISK_KIND_VHD, true, true, true},
    {DISK_KIND_VHD_FIXED, false, false, true},  // the holes of its file
    {DISK_KIND_PARALLELS, true, false, false},
    {DISK_KIND_PARALLELS_BUNDLE, true, true, true},
    {DISK_KIND_BOCHS_REDOLOG, false, false, false},
    {DISK_KIND_BOCHS_SPARSE, false, false, false},
    {DISK_KIND_QCOW, false, false, false},
    {DISK_KIND_QCOW2, true, true, true},
    {DISK_KIND_VDI, true, true, true},
    {DISK_KIND_HDI, false, false, false},
    {DISK_KIND_THD, false, false, false},
    {DISK_KIND_NHD, false, false, false},
    {DISK_KIND_VHD100, false, false, false},
    {DISK_KIND_PC98E, false, false, false},
    {DISK_KIND_HDIM, false, false, false},
    {DISK_KIND_UNZ, false, false, false},
};

class KindRow : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindRow, OneCompleteRowFillsTheKindsSlots)
{
    const KindCase& c = GetParam();
    uint32_t count = 0;
    const DiskFormatRow* const* rows = DiskFormatRows_List(&count);
    int rowsOfKind = 0;
    for (uint32_t i = 0; i < count; ++i) rowsOfKind += rows[i]->kind == c.kind ? 1 : 0;
    ASSERT_EQ(rowsOfKind, 1);
    const DiskFormatRow* row = DiskRegistry_Row(c.kind);
    ASSERT_NE(row, nullptr);
    ASSERT_NE(row->name, nullptr);
    EXPECT_NE(row->open, nullptr);
    EXPECT_NE(row->openWithHandler, nullptr);
    EXPECT_NE(row->close, nullptr);
    EXPECT_NE(row->geometry, nullptr);
    EXPECT_NE(row->read, nullptr);
    EXPECT_NE(row->rangeEmpty, nullptr);
    EXPECT_EQ(row->canCompact != nullptr, c.canCompact);
    EXPECT_EQ(row->hasParent != nullptr, c.hasParent);
    EXPECT_EQ(row->rangeUnallocated != nullptr, c.unallocated);
    // A layered kind answers the per-layer question too.
    if (row->hasParent != nullptr) {
        EXPECT_NE(row->rangeUnallocated, nullptr);
    }

    const uint32_t k = static_cast<uint32_t>(c.kind);
    EXPECT_EQ(DiskOpenTable[k], row->open);
    EXPECT_EQ(DiskOpenWithHandlerTable[k], row->openWithHandler);
    EXPECT_EQ(DiskCloseTable[k], row->close);
    EXPECT_EQ(DiskGeometryTable[k], row->geometry);
    EXPECT_EQ(DiskReadTable[k], row->read);
    EXPECT_EQ(DiskRangeEmptyTable[k], row->rangeEmpty);
    EXPECT_EQ(DiskCanCompactTable[k], row->canCompact);
    EXPECT_EQ(DiskHasParentTable[k], row->hasParent);
    EXPECT_EQ(DiskRangeUnallocatedTable[k], row->rangeUnallocated);
}

std::string KindName(const ::testing::TestParamInfo<KindCase>& info)
{
    return "Kind" + std::to_string(info.param.kind);
}

INSTANTIATE_TEST_SUITE_P(EveryTableKind, KindRow, ::testing::ValuesIn(kKinds), KindName);

TEST(FormatRegistry, SlotsWithoutAKindStayEmpty)
{
    for (uint32_t k : {15u, static_cast<uint32_t>(DISK_KIND_NONE)}) {
        SCOPED_TRACE(k);
        EXPECT_EQ(DiskOpenTable[k], nullptr);
        EXPECT_EQ(DiskOpenWithHandlerTable[k], nullptr);
        EXPECT_EQ(DiskCloseTable[k], nullptr);
        EXPECT_EQ(DiskGeometryTable[k], nullptr);
        EXPECT_EQ(DiskReadTable[k], nullptr);
        EXPECT_EQ(DiskRangeEmptyTable[k], nullptr);
        EXPECT_EQ(DiskCanCompactTable[k], nullptr);
        EXPECT_EQ(DiskHasParentTable[k], nullptr);
        EXPECT_EQ(DiskRangeUnallocatedTable[k], nullptr);
    }
}

TEST(FormatRegistry, ProbeOrderAndRowFlags)
{
    uint32_t count = 0;
    const DiskFormatRow* const* probe = DiskRegistry_ProbeOrder(&count);
    std::vector<int> order;
    for (uint32_t i = 0; i < count; ++i) order.push_back(probe[i]->kind);
    // The headerless whole-MiB image only through its extensions.
    const std::vector<int> expected = {0, 5, 6, 7, 8,  9,  10, 11, 12, 13, 14, -1,
                                       1, 2, 3, 4, 16, 17, 18, 19, 21, 20, -2};
    EXPECT_EQ(order, expected);

    // Every row has a kind of its own; built-in kinds only open, through their row.
    const DiskFormatRow* const* rows = DiskFormatRows_List(&count);
    std::set<int> kinds, keyed, directories;
    for (uint32_t i = 0; i < count; ++i) {
        const DiskFormatRow* row = rows[i];
        SCOPED_TRACE(row->name);
        EXPECT_TRUE(kinds.insert(row->kind).second);
        if (row->keyed) keyed.insert(row->kind);
        if (row->directories) directories.insert(row->kind);
        if (row->kind < 0) {
            EXPECT_NE(row->openWithHandler, nullptr);
            EXPECT_EQ(row->open, nullptr);
            EXPECT_EQ(row->close, nullptr);
        }
    }
    EXPECT_EQ(keyed, (std::set<int>{DISK_KIND_QCOW, DISK_KIND_QCOW2}));
    EXPECT_EQ(directories, std::set<int>{DISK_KIND_PARALLELS_BUNDLE});
    EXPECT_EQ(DiskRegistry_Row(15), nullptr);
    EXPECT_EQ(DiskRegistry_Row(DISK_KIND_ZERO), nullptr);
}

struct ExtensionCase {
    const char* extension;
    std::vector<int> kinds;
};

class ExtensionRows : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(ExtensionRows, CandidatesInProbeListOrder)
{
    const ExtensionCase& c = GetParam();
    const DiskFormatRow* rows[DISK_TABLE_SLOTS];
    const uint32_t n = DiskRegistry_ExtensionRows(c.extension, rows, DISK_TABLE_SLOTS);
    std::vector<int> kinds;
    for (uint32_t i = 0; i < n; ++i) kinds.push_back(rows[i]->kind);
    EXPECT_EQ(kinds, c.kinds);
}

const ExtensionCase kExtensions[] = {
    {"vmdk", {0, 1, 2}}, {"VMDK", {0, 1, 2}}, {"dsk", {3, 4}}, {"vhdx", {5}},
    {"avhdx", {5}},      {"vhd", {6, 7}},     {"qcow", {12}},  {"qcow2", {13}},
    {"hdd", {8, 9, 19}}, {"vdi", {14}},       {"hdi", {16}},   {"thd", {17}},
    {"nhd", {18}},       {"slh", {21}},       {"h0", {22}},    {"H4", {22}},
    {"h5", {}},          {"img", {}},         {"", {}},        {"vhdx2", {}},
    {"vh", {}},
};

std::string ExtensionName(const ::testing::TestParamInfo<ExtensionCase>& info)
{
    std::string name = info.param.extension[0] != 0 ? info.param.extension : "empty";
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(ExtensionTable, ExtensionRows, ::testing::ValuesIn(kExtensions),
                         ExtensionName);

TEST(FormatRegistry, AnExtensionWithoutATextClaimsNothing)
{
    const DiskFormatRow* rows[1];
    EXPECT_EQ(DiskRegistry_ExtensionRows(nullptr, rows, 1), 0u);
    // More candidates than room: the count says how many there are.
    EXPECT_EQ(DiskRegistry_ExtensionRows("vmdk", rows, 1), 3u);
    EXPECT_EQ(rows[0]->kind, DISK_KIND_VMDK);
}

// ---- Marks -----------------------------------------------------------------------------------

struct MarkCase {
    const char* name;
    int kind;                   // the one kind whose mark the file carries; 23: none
    std::vector<uint8_t> head;  // written at the start of a 512-byte head
    std::vector<uint8_t> tail;  // written at the end of a 512-byte tail
    uint32_t length;            // the file's size, at most 512
};

std::vector<uint8_t> Text(const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); }

std::vector<uint8_t> At(uint32_t offset, std::vector<uint8_t> bytes)
{
    std::vector<uint8_t> v(offset, 0);
    v.insert(v.end(), bytes.begin(), bytes.end());
    return v;
}

std::vector<uint8_t> Le32(uint32_t value)
{
    std::vector<uint8_t> v(4);
    Bytes_StoreLe32(v.data(), value);
    return v;
}

// A VHD footer of a disk type: "conectix" and the type at byte 60.
std::vector<uint8_t> Footer(uint32_t type)
{
    std::vector<uint8_t> f(512, 0);
    memcpy(f.data(), "conectix", 8);
    for (int i = 0; i < 4; ++i) f[60 + i] = static_cast<uint8_t>(type >> (24 - 8 * i));
    return f;
}

// The same footer without its last byte, ending a file one byte short of whole sectors.
std::vector<uint8_t> ShortFooter(uint32_t type)
{
    std::vector<uint8_t> f = Footer(type);
    f.pop_back();
    return f;
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    if (a.size() < b.size()) a.resize(b.size(), 0);
    for (size_t i = 0; i < b.size(); ++i) a[i] = a[i] | b[i];
    return a;
}

const MarkCase kMarks[] = {
    {"VmdkSparse", DISK_KIND_VMDK, Text("KDMV", 4), {}, 512},
    {"VmdkDescriptor", DISK_KIND_VMDK, Text("# Disk DescriptorFile\n", 22), {}, 512},
    {"Vhdx", DISK_KIND_VHDX, Text("vhdxfile", 8), {}, 512},
    {"VhdCopyAtTheStart", DISK_KIND_VHD, Footer(3), {}, 512},
    {"VhdDifferencingAtTheEnd", DISK_KIND_VHD, {}, Footer(4), 512},
    {"VhdFixed", DISK_KIND_VHD_FIXED, {}, Footer(2), 512},
    {"VhdFixedShortFooter", DISK_KIND_VHD_FIXED, {}, ShortFooter(2), 512},
    {"VhdFooterOfAnotherType", 23, {}, Footer(5), 512},
    {"Nhd", DISK_KIND_NHD, Text("T98HDDIMAGE.R0\0", 15), {}, 512},
    {"Vhd100", DISK_KIND_VHD100, Text("VHD1.00\0", 8), {}, 512},
    {"Hdim", DISK_KIND_HDIM, Text("HDIM", 4), {}, 512},
    {"Overlay", DISK_KIND_OVERLAY, Text("NVT \0\0\0\0", 8), {}, 512},
    {"Qcow", DISK_KIND_QCOW, Text("QFI\xfb\0\0\0\x01", 8), {}, 512},
    {"Qcow2Version2", DISK_KIND_QCOW2, Text("QFI\xfb\0\0\0\x02", 8), {}, 512},
    {"Qcow2Version3", DISK_KIND_QCOW2, Text("QFI\xfb\0\0\0\x03", 8), {}, 512},
    {"QcowVersion4", 23, Text("QFI\xfb\0\0\0\x04", 8), {}, 512},
    {"Parallels", DISK_KIND_PARALLELS, Text("WithoutFreeSpace", 16), {}, 512},
    {"ParallelsExt", DISK_KIND_PARALLELS, Text("WithouFreSpacExt", 16), {}, 512},
    {"ParallelsBundle", DISK_KIND_PARALLELS_BUNDLE, Text("<Parallels_disk_image", 21), {}, 512},
    {"Vdi", DISK_KIND_VDI, At(64, Le32(0xBEDA107Fu)), {}, 512},
    {"VdiTooShort", 23, At(64, Le32(0xBEDA107Fu)), {}, 67},
    {"BochsRedolog",
     DISK_KIND_BOCHS_REDOLOG,
     Join(Text("Bochs Virtual HD Image", 23), At(32, Text("Redolog", 8))),
     {},
     512},
    {"BochsOtherType",
     23,
     Join(Text("Bochs Virtual HD Image", 23), At(32, Text("Growing", 8))),
     {},
     512},
    {"BochsSparse", DISK_KIND_BOCHS_SPARSE, Le32(0x02468ACEu), {}, 512},
    {"Cowd3", DISK_KIND_COWD3, Join(Text("COWD", 4), At(4, Le32(3))), {}, 512},
    {"Cowd1", DISK_KIND_COWD1, Join(Text("COWD", 4), At(4, Le32(1))), {}, 512},
    {"Cowd2", 23, Join(Text("COWD", 4), At(4, Le32(2))), {}, 512},
    {"Zeros", 23, {}, {}, 512},
    {"EmptyFile", 23, {}, {}, 0},
};

class Marks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(Marks, OnlyTheKindsOwnMarkClaimsTheFile)
{
    const MarkCase& c = GetParam();
    uint8_t head[DISK_MARK_BYTES] = {}, tail[DISK_MARK_BYTES] = {};
    ASSERT_LE(c.head.size(), sizeof head);
    ASSERT_LE(c.tail.size(), sizeof tail);
    std::copy(c.head.begin(), c.head.end(), head);
    std::copy(c.tail.begin(), c.tail.end(), tail + sizeof tail - c.tail.size());
    // A short file's tail buffer holds the file's bytes from its start.
    const DiskFileMarks marks = {head, c.length < DISK_MARK_BYTES ? head : tail, c.length};
    uint32_t count = 0;
    const DiskFormatRow* const* rows = DiskFormatRows_List(&count);
    std::set<int> claimed;
    for (uint32_t i = 0; i < count; ++i) {
        if (rows[i]->carriesMark != nullptr && rows[i]->carriesMark(&marks))
            claimed.insert(rows[i]->kind);
    }
    EXPECT_EQ(claimed, c.kind == 23 ? std::set<int>{} : std::set<int>{c.kind});
}

std::string MarkName(const ::testing::TestParamInfo<MarkCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Signatures, Marks, ::testing::ValuesIn(kMarks), MarkName);

}  // namespace
