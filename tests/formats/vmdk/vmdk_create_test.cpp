// The VMDK creator: every layout read back through our reader and checked and compared by
// qemu-img, free space with garbage left out, descriptor and header numbers, the geometry of
// small SCSI disks, refusals before anything is written, and progress.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "disk/builtin_disks.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "formats/vmdk/vmdk_writer_util.h"

using namespace vmdkwtest;

namespace {

struct ProgressLog {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    uint32_t stopAt = 0;  // answer false on this call (1-based); 0 never
};

bool LogProgress(uint64_t done, uint64_t total, void* user)
{
    ProgressLog* log = static_cast<ProgressLog*>(user);
    log->calls.push_back({done, total});
    return log->stopAt == 0 || log->calls.size() < log->stopAt;
}

class VmdkCreate : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveQemu()) GTEST_SKIP() << "qemu-img missing";
    }
    TempDir dir;
};

uint64_t HeaderField64(const std::string& path, uint32_t offset)
{
    std::vector<uint8_t> head = ReadFile(path);
    return head.size() >= 512 ? Bytes_LoadLe64(head.data() + offset) : 0;
}

std::string ReadText(const std::string& path)
{
    std::vector<uint8_t> b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

// Layout x first-track extent x size (whole grains, whole grains + 7 sectors): the output reads
// back byte for byte through our reader and through qemu-img, which also finds it clean.
// (Hardware versions from "6" on: for "3" to "5" the header capacity of each extent is rounded
// up to 128 sectors, and qemu sizes extents by the header instead of the descriptor.)
TEST_F(VmdkCreate, EveryLayoutReadsBackAndPassesQemu)
{
    const Layout layouts[] = {
        {"monolithicSparse", 0, false},
        {"monolithicFlat", 1, false},
        {"splitSparse", 0, true},
        {"splitFlat", 1, true},
        {"compressed", 2, false},
        {"streamOptimized", 3, false},
        {"vmfs", 4, true},
    };
    for (uint64_t sectors : {uint64_t(8192), uint64_t(8192 + 7)}) {
        std::vector<uint8_t> raw = PatternDisk(sectors * 512, static_cast<uint32_t>(sectors));
        std::string src = dir.file("src" + std::to_string(sectors) + ".raw");
        WriteFile(src, raw);
        Disk source;
        ASSERT_EQ(source.OpenRaw(src), DISK_OK);
        for (const Layout& l : layouts) {
            for (bool firstTrack : {false, true}) {
                SCOPED_TRACE(std::string(l.name) + (firstTrack ? " first track " : " ") +
                             std::to_string(sectors));
                TempDir out;
                std::string path = out.file("disk.vmdk");
                Options o =
                    MakeOptions(l.choice, firstTrack, sectors, l.split ? 2048 : 0,
                                VMDK_ADAPTER_LSILOGIC, 3 + static_cast<uint32_t>(sectors % 11));
                int r =
                    Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get());
                if (l.choice == 3 && firstTrack) {
                    // Stream-optimised only as one sparse extent; nothing is written.
                    EXPECT_EQ(r, DISK_ERR_ARG);
                    EXPECT_TRUE(ListDir(out.path()).empty());
                    continue;
                }
                ASSERT_EQ(r, DISK_OK);
                // File names: one file, a "-flat" file, or numbered extents.
                std::vector<std::string> files = ListDir(out.path());
                uint32_t n = o->extentCount;
                if (n == 1 && l.choice != 1 && l.choice != 4) {
                    EXPECT_EQ(files, std::vector<std::string>{"disk.vmdk"});
                } else if (n == 1) {
                    EXPECT_EQ(files, (std::vector<std::string>{"disk-flat.vmdk", "disk.vmdk"}));
                } else {
                    ASSERT_EQ(files.size(), n + 1);
                    EXPECT_EQ(files[0], "disk-s001.vmdk");
                    EXPECT_EQ(files[n - 1], "disk-s" + std::string(n < 10 ? "00" : "0") +
                                                std::to_string(n) + ".vmdk");
                }
                Disk image;
                ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
                EXPECT_EQ(image.Total(), sectors);
                EXPECT_TRUE(ReadDisk(&image.handle) == raw);
                image.Close();
                EXPECT_EQ(QemuCheck(path), "");
                EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
            }
        }
    }
}

// Layout x first-track extent x split size: when an extent other than the last is not a whole
// number of 128-sector grains (the 63-sector first track, a split of 100000), the image's
// grains shrink until every such extent ends on a grain boundary, so qemu-img, which takes a
// whole grain from the extent that holds its first sector, reads every sector as the source
// holds it, as our reader and libvmdk do.
struct ExtentCase {
    Layout layout;
    bool firstTrack;
    uint32_t split;
};

std::vector<ExtentCase> ExtentCases()
{
    const Layout layouts[] = {
        {"sparse", 0, true}, {"flat", 1, true}, {"compressed", 2, true}, {"vmfs", 4, true}};
    std::vector<ExtentCase> cases;
    for (const Layout& l : layouts)
        for (bool firstTrack : {false, true})
            for (uint32_t split : {0u, 100000u, 100096u, 131072u})
                if (firstTrack || split != 0)
                    cases.push_back(
                        {l, firstTrack, split});  // one extent: whole grains up to the disk's end
    return cases;
}

class VmdkCreateExtents : public VmdkCreate, public ::testing::WithParamInterface<ExtentCase> {};

TEST_P(VmdkCreateExtents, NotWholeGrainsReadTheSameEverywhere)
{
    if (!HaveLibvmdk()) GTEST_SKIP() << "python3-libvmdk missing";
    const uint64_t sectors = 2 * 131072 + 1000;
    // Data around every extent boundary of the table and in one 128 KiB block of every MiB,
    // each sector stamped with its number; zeros elsewhere.
    std::vector<uint8_t> raw(sectors * 512, 0);
    auto stamp = [&](uint64_t s) {
        if (s >= sectors) return;
        for (uint32_t i = 0; i < 512; i += 8)
            Bytes_StoreLe64(raw.data() + s * 512 + i, (s << 16) ^ (i + 1));
    };
    for (uint64_t s = 0; s < sectors; ++s)
        if (s % 2048 < 256) stamp(s);
    for (uint64_t split : {100000u, 100096u, 131072u})
        for (uint64_t b = split; b < sectors; b += split)
            for (uint64_t shift : {0u, 63u})
                for (uint64_t s = b + shift - 200; s < b + shift + 200; ++s) stamp(s);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    Disk source;
    ASSERT_EQ(source.OpenRaw(src), DISK_OK);
    const Layout& l = GetParam().layout;
    const bool firstTrack = GetParam().firstTrack;
    const uint32_t split = GetParam().split;
    TempDir out;
    std::string path = out.file("disk.vmdk");
    Options o = MakeOptions(l.choice, firstTrack, sectors, split, VMDK_ADAPTER_LSILOGIC, 4);
    ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
              DISK_OK);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
    ASSERT_EQ(image.Total(), sectors);
    std::vector<uint8_t> piece(1 << 20);
    for (uint64_t at = 0; at < raw.size(); at += piece.size()) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece.size(), raw.size() - at));
        ASSERT_EQ(Disk_Read(&image.handle, at, n, piece.data()), DISK_OK);
        ASSERT_TRUE(std::memcmp(piece.data(), raw.data() + at, n) == 0) << "at byte " << at;
    }
    image.Close();
    EXPECT_EQ(QemuCheck(path), "");
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    // libvmdk reads grains of one size over the whole disk, of more than 8 sectors,
    // takes compressed grains only from one-file images and no flat extent in a
    // sparse image: it refuses the first-track extent of a sparse image and split
    // images with compressed grains. It never reads other data than the source's.
    std::string said;
    int lib = LibvmdkCompare(path, src, &said);
    const bool refused = l.choice == 2 || (l.choice == 0 && firstTrack);
    EXPECT_EQ(lib, refused ? 2 : 0) << said;
}

INSTANTIATE_TEST_SUITE_P(Layouts, VmdkCreateExtents, ::testing::ValuesIn(ExtentCases()),
                         [](const ::testing::TestParamInfo<ExtentCase>& info) {
                             return std::string(info.param.layout.name) +
                                    (info.param.firstTrack ? "_first_track" : "") + "_split_" +
                                    std::to_string(info.param.split);
                         });

// A stream-optimised image names its own file on its extent line, so libvmdk opens it and reads
// every sector as the source; a file that carries the name other writers of this layout used
// still reads through our reader.
TEST_F(VmdkCreate, StreamOptimisedImageNamesItself)
{
    if (!HaveLibvmdk()) GTEST_SKIP() << "python3-libvmdk missing";
    const uint64_t sectors = 8192 + 7;
    std::vector<uint8_t> raw = PatternDisk(sectors * 512, 17);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    std::string path = dir.file("disk.vmdk");
    ASSERT_EQ(CreateImage(src, path, 3), DISK_OK);
    std::string text = ReadText(path).substr(512, 20 * 512);
    EXPECT_NE(text.find("RDONLY " + std::to_string(sectors) + " SPARSE \"disk.vmdk\"\n"),
              std::string::npos)
        << text;
    std::string said;
    EXPECT_EQ(LibvmdkCompare(path, src, &said), 0) << said;
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    // The same file with the old name on its extent line.
    std::vector<uint8_t> b = ReadFile(path);
    std::string old = text.substr(0, text.find('\0'));
    size_t at = old.find("\"disk.vmdk\"");
    ASSERT_NE(at, std::string::npos);
    old.replace(at, 11, "\"generated-stream.vmdk\"");
    ASSERT_LE(old.size(), 20u * 512);
    std::fill(b.begin() + 512, b.begin() + 512 + 20 * 512, 0);
    std::copy(old.begin(), old.end(), b.begin() + 512);
    std::string renamed = dir.file("renamed.vmdk");
    WriteFile(renamed, b);
    Disk image;
    ASSERT_EQ(image.OpenVmdk(renamed), DISK_OK);
    EXPECT_TRUE(ReadDisk(&image.handle) == raw);
}

// A FAT and an ext volume with garbage in their free blocks: with the used-sector map the
// garbage is left out (the output equals the clean disk) and the used data stays identical.
TEST_F(VmdkCreate, GarbageInFreeSpaceIsLeftOut)
{
    if (!HaveTool("mke2fs") || !HaveTool("dumpe2fs") || !HaveTool("mkfs.fat") || !HaveTool("mcopy"))
        GTEST_SKIP() << "file-system tools missing";
    for (const char* kind : {"ext", "fat"}) {
        SCOPED_TRACE(kind);
        std::string dirty, clean, log;
        ASSERT_TRUE(MakeGarbageVolume(dir.path(), kind, 49152 + 7, &dirty, &clean, &log)) << log;
        ASSERT_NE(QemuCompare(dirty, "raw", clean, "raw"), "");  // the garbage is there
        Disk source;
        ASSERT_EQ(source.OpenRaw(dirty), DISK_OK);
        Map map;
        ASSERT_EQ(map.Build(&source.handle), DISK_OK);
        ASSERT_GE(map.known, 1u);
        const Layout layouts[] = {
            {"sparse", 0, false}, {"splitFlat", 1, true}, {"stream", 3, false}};
        for (const Layout& l : layouts) {
            SCOPED_TRACE(l.name);
            std::string path = dir.file(std::string(kind) + l.name + ".vmdk");
            Options o = MakeOptions(l.choice, false, source.Total(), l.split ? 16384 : 0);
            ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, map.map, nullptr, nullptr, o.get()),
                      DISK_OK);
            EXPECT_EQ(QemuCheck(path), "");
            EXPECT_EQ(QemuCompare(clean, "raw", path, "vmdk"), "");
            Disk image;
            ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
            EXPECT_TRUE(ReadDisk(&image.handle) == ReadFile(clean));
            if (l.choice == 0) {
                // Without the map the garbage is stored; with it the file is smaller.
                std::string full = dir.file(std::string(kind) + "-nomap.vmdk");
                ASSERT_EQ(
                    Vmdk_Create(full.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
                    DISK_OK);
                EXPECT_EQ(QemuCompare(dirty, "raw", full, "vmdk"), "");
                EXPECT_LT(FileSize(path) + 4 * 1024 * 1024, FileSize(full));
            }
        }
    }
}

// A source grown past the disk its used-sector map was built for (a larger total on the
// geometry page, a capacity expansion): the sectors after the map's end count as used, and the
// writer neither fails nor leaves them out.
TEST_F(VmdkCreate, AMapOfASmallerDiskCoversTheGrownPart)
{
    if (!HaveTool("mkfs.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "file-system tools missing";
    const uint64_t sectors = 16384, grown = sectors + 8192 + 5;
    std::string src = dir.file("small.raw");
    WriteFile(src, std::vector<uint8_t>(sectors * 512, 0));
    WriteFile(dir.file("a.bin"), PatternDisk(300000, 8));
    ASSERT_EQ(Sh("mkfs.fat " + Quote(src) + " >/dev/null && mcopy -i " + Quote(src) + " " +
                 Quote(dir.file("a.bin")) + " ::/"),
              0);
    Disk source;
    ASSERT_EQ(source.OpenRaw(src), DISK_OK);
    Map map;
    ASSERT_EQ(map.Build(&source.handle), DISK_OK);
    ASSERT_GE(map.known, 1u);
    DiskHandle view;
    Disk_Init(&view);
    ASSERT_EQ(Disk_OpenResized(&view, &source.handle, false, grown), DISK_OK);
    // What the output must read as: the small disk followed by zeros.
    ASSERT_EQ(truncate(src.c_str(), grown * 512), 0);
    for (uint32_t split : {0u, 4096u}) {
        SCOPED_TRACE(split);
        std::string path = dir.file("grown" + std::to_string(split) + ".vmdk");
        Options o = MakeOptions(0, false, grown, split);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &view, map.map, nullptr, nullptr, o.get()), DISK_OK);
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
    Disk_Close(&view);
}

TEST_F(VmdkCreate, DescriptorAndHeaderNumbers)
{
    // A 10 MiB IDE disk as one sparse extent: cylinders = total / (16 x 63), descriptor
    // embedded in 20 sectors.
    {
        uint64_t sectors = 20480;
        std::string src = dir.file("ten.raw");
        WriteFile(src, PatternDisk(sectors * 512, 3));
        Disk source;
        ASSERT_EQ(source.OpenRaw(src), DISK_OK);
        std::string path = dir.file("ten.vmdk");
        Options o = MakeOptions(0, false, sectors, 0);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
                  DISK_OK);
        EXPECT_EQ(HeaderField64(path, 28), 1u);   // descriptorOffset
        EXPECT_EQ(HeaderField64(path, 36), 20u);  // descriptorSize
        std::string text = ReadText(path).substr(512, 20 * 512);
        EXPECT_NE(text.find("createType=\"monolithicSparse\""), std::string::npos);
        EXPECT_NE(text.find("ddb.geometry.cylinders = \"" + std::to_string(sectors / 1008) + "\""),
                  std::string::npos);
        EXPECT_NE(text.find("RW 20480 SPARSE \"ten.vmdk\""), std::string::npos);
    }
    // The first-track extent without split: a descriptor file of its own and two numbered
    // extents of 63 and total - 63 sectors.
    {
        uint64_t sectors = 4096;
        std::string src = dir.file("ft.raw");
        WriteFile(src, PatternDisk(sectors * 512, 5));
        Disk source;
        ASSERT_EQ(source.OpenRaw(src), DISK_OK);
        std::string path = dir.file("ft.vmdk");
        Options o = MakeOptions(0, true, sectors, 0);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
                  DISK_OK);
        std::string text = ReadText(path);
        EXPECT_NE(text.find("createType=\"twoGbMaxExtentSparse\""), std::string::npos);
        EXPECT_NE(text.find("RW 63 SPARSE \"ft-s001.vmdk\"\nRW 4033 SPARSE \"ft-s002.vmdk\"\n"),
                  std::string::npos);
        EXPECT_EQ(HeaderField64(dir.file("ft-s002.vmdk"), 28), 0u);
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
    // Hardware version "4" rounds the header capacity up to 128 sectors, "6" does not.
    for (uint32_t hw : {1u, 3u}) {
        std::string src = dir.file("k.raw");
        WriteFile(src, PatternDisk(1000 * 512, 9));
        Disk source;
        ASSERT_EQ(source.OpenRaw(src), DISK_OK);
        std::string path = dir.file("k" + std::to_string(hw) + ".vmdk");
        Options o = MakeOptions(0, false, 1000, 0, VMDK_ADAPTER_IDE, hw);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
                  DISK_OK);
        EXPECT_EQ(HeaderField64(path, 12), hw == 1 ? 1024u : 1000u);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        EXPECT_EQ(image.Total(), 1000u);
        image.Close();
        EXPECT_EQ(QemuCheck(path), "");
        EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
    }
    // An empty 1 GiB disk: 32 tables, rgdOffset 21, gdOffset 150, overHead 384, and the file
    // ends there.
    {
        Disk zero;
        DiskGeometry g{};
        Geometry_SetTotalSectors(&g, 2097152);
        g.heads = 16;
        g.sectors_per_track = 63;
        g.bytes_per_sector = 512;
        ASSERT_EQ(Disk_OpenZero(&zero.handle, &g), DISK_OK);
        std::string path = dir.file("empty.vmdk");
        Options o = MakeOptions(0, false, 2097152, 0);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &zero.handle, nullptr, nullptr, nullptr, o.get()),
                  DISK_OK);
        EXPECT_EQ(HeaderField64(path, 48), 21u);
        EXPECT_EQ(HeaderField64(path, 56), 150u);
        EXPECT_EQ(HeaderField64(path, 64), 384u);
        EXPECT_EQ(FileSize(path), 384u * 512);
        EXPECT_EQ(QemuCheck(path), "");
    }
}

// SCSI geometry of small and odd sizes keeps every sector of the source: the conversion's
// resizing view never cuts the tail.
TEST_F(VmdkCreate, ScsiGeometryKeepsTheSourcesTail)
{
    for (uint64_t bytes : {uint64_t(100 * 1024), uint64_t(1 << 20) + 7 * 512, uint64_t(3 << 20)}) {
        SCOPED_TRACE(bytes);
        std::vector<uint8_t> raw = RandomBytes(bytes, static_cast<uint32_t>(bytes));
        std::string src = dir.file("s.raw");
        WriteFile(src, raw);
        Disk source;
        ASSERT_EQ(source.OpenRaw(src), DISK_OK);
        DiskGeometry g{};
        ASSERT_TRUE(Vmdk_ComputeGeometry(bytes, true, &g));
        uint64_t total = Geometry_GetTotalSectors(&g);
        EXPECT_EQ(total, (bytes + (1 << 20) - 1) / (1 << 20) * 2048);
        EXPECT_EQ(g.heads, 64u);
        EXPECT_EQ(g.sectors_per_track, 32u);
        Disk view;
        ASSERT_EQ(Disk_OpenResized(&view.handle, &source.handle, false, total), DISK_OK);
        ResizeDisk_SetHeadsAndSectors(static_cast<ResizeView*>(view.handle.object), g.heads,
                                      g.sectors_per_track);
        std::string path = dir.file("scsi" + std::to_string(bytes) + ".vmdk");
        Options o = MakeOptions(0, false, total, 0, VMDK_ADAPTER_LSILOGIC);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &view.handle, nullptr, nullptr, nullptr, o.get()),
                  DISK_OK);
        Disk image;
        ASSERT_EQ(image.OpenVmdk(path), DISK_OK);
        std::vector<uint8_t> got = ReadDisk(&image.handle);
        ASSERT_EQ(got.size(), total * 512);
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), got.begin()));
        EXPECT_TRUE(std::all_of(got.begin() + bytes, got.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(image.Image()->geometry.heads, 64u);
        EXPECT_EQ(image.Image()->geometry.sectors_per_track, 32u);
        image.Close();
        EXPECT_EQ(QemuCheck(path), "");
    }
}

// Inconsistent options are refused before any file exists.
TEST_F(VmdkCreate, BadOptionsAreRefusedBeforeWriting)
{
    const uint64_t sectors = 8192;
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(sectors * 512, 11));
    Disk source;
    ASSERT_EQ(source.OpenRaw(src), DISK_OK);
    struct Case {
        const char* what;
        std::function<Options()> make;
        int expected;
    };
    auto twoExtents = [&](uint32_t choice) {
        Options o = MakeOptions(choice, false, sectors, 4096);
        return o;
    };
    const std::vector<Case> cases = {
        {"stream with two extents", [&] { return twoExtents(3); }, DISK_ERR_ARG},
        {"stream with a flat extent",
         [&] {
             Options o = MakeOptions(3, false, sectors, 0);
             o->flat = 1;
             return o;
         },
         DISK_ERR_ARG},
        {"stream split with one extent",
         [&] {
             Options o = MakeOptions(3, false, sectors, 0);
             o->split = 1;
             return o;
         },
         DISK_ERR_ARG},
        {"extents short of the source",
         [&] {
             Options o = MakeOptions(0, false, sectors, 0);
             Vmdk_CreateOptionsExtent(o.get(), 0)->sectors--;
             return o;
         },
         DISK_ERR_ARG},
        {"an empty extent",
         [&] {
             Options o(Vmdk_AllocCreateOptions(2));
             o->split = 1;
             Vmdk_CreateOptionsExtent(o.get(), 0)->sectors = sectors;
             return o;
         },
         DISK_ERR_ARG},
        {"flat value 3",
         [&] {
             Options o = MakeOptions(0, false, sectors, 0);
             o->flat = 3;
             return o;
         },
         DISK_ERR_ARG},
        {"one file with two extents",
         [&] {
             Options o = twoExtents(0);
             o->split = 0;
             return o;
         },
         DISK_ERR_FORMAT},
        {"an extent named like the descriptor",
         [&] {
             Options o = twoExtents(0);
             std::strcpy(Vmdk_CreateOptionsExtent(o.get(), 1)->fileName, "out.vmdk");
             return o;
         },
         DISK_ERR_ARG},
        {"two extents on one file",
         [&] {
             Options o = twoExtents(1);
             std::strcpy(Vmdk_CreateOptionsExtent(o.get(), 0)->fileName, "same.bin");
             std::strcpy(Vmdk_CreateOptionsExtent(o.get(), 1)->fileName, "elsewhere/same.bin");
             return o;
         },
         DISK_ERR_ARG},
        {"an unterminated name",
         [&] {
             Options o = twoExtents(0);
             std::memset(Vmdk_CreateOptionsExtent(o.get(), 0)->fileName, 'a', VMDK_NAME_CAPACITY);
             return o;
         },
         DISK_ERR_ARG},
        {"1001 extents",
         [&] {
             // A block of 1001 extents of 8 sectors: more than a descriptor may list.
             uint32_t n = 1001;
             uint32_t bytes = VMDK_CREATE_OPTIONS_HEADER_BYTES + VMDK_CREATE_EXTENT_BYTES * n;
             Options o(static_cast<VmdkCreateOptions*>(Mem_Alloc(bytes)));
             std::memset(o.get(), 0, bytes);
             o->split = 1;
             o->extentCount = n;
             for (uint32_t i = 0; i < n; ++i) Vmdk_CreateOptionsExtent(o.get(), i)->sectors = 8;
             return o;
         },
         DISK_ERR_ARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir out;
        Options o = c.make();
        std::string path = out.file("out.vmdk");
        EXPECT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
                  c.expected);
        EXPECT_TRUE(ListDir(out.path()).empty());
    }
    // A path that does not fit the name buffers.
    std::string longPath = dir.path() + "/" + std::string(4200, 'x') + ".vmdk";
    Options o = MakeOptions(0, false, sectors, 0);
    EXPECT_EQ(Vmdk_Create(longPath.c_str(), &source.handle, nullptr, nullptr, nullptr, o.get()),
              DISK_ERR_ARG);
    // A source whose sectors are not 512 bytes.
    Disk odd;
    DiskGeometry g{};
    Geometry_SetTotalSectors(&g, sectors / 2);
    g.heads = 8;
    g.sectors_per_track = 32;
    g.bytes_per_sector = 1024;
    ASSERT_EQ(Disk_OpenRaw(&odd.handle, src.c_str(), true, 0, &g), DISK_OK);
    Options half = MakeOptions(0, false, sectors / 2, 0);
    EXPECT_EQ(Vmdk_Create(dir.file("odd.vmdk").c_str(), &odd.handle, nullptr, nullptr, nullptr,
                          half.get()),
              DISK_ERR_ARG);
    EXPECT_FALSE(Exists(dir.file("odd.vmdk")));
}

// Progress starts at 0, never goes back or beyond the total, ends at the total; a false answer
// stops every writer with DISK_CANCELLED.
TEST_F(VmdkCreate, ProgressAndCancellation)
{
    const uint64_t sectors = 65536 * 2 + 4096 + 7;
    std::string src = dir.file("src.raw");
    WriteFile(src, PatternDisk(sectors * 512, 13));
    Disk source;
    ASSERT_EQ(source.OpenRaw(src), DISK_OK);
    for (uint32_t choice : {0u, 1u, 3u}) {
        SCOPED_TRACE(choice);
        ProgressLog log;
        std::string path = dir.file("p" + std::to_string(choice) + ".vmdk");
        Options o = MakeOptions(choice, false, sectors, choice == 1 ? 65536 : 0);
        ASSERT_EQ(Vmdk_Create(path.c_str(), &source.handle, nullptr, LogProgress, &log, o.get()),
                  DISK_OK);
        ASSERT_GE(log.calls.size(), 3u);
        EXPECT_EQ(log.calls.front().first, 0u);
        EXPECT_EQ(log.calls.back().first, sectors);
        for (size_t i = 0; i < log.calls.size(); ++i) {
            EXPECT_EQ(log.calls[i].second, sectors);
            EXPECT_LE(log.calls[i].first, sectors);
            if (i) {
                EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
            }
        }
        ProgressLog stop;
        stop.stopAt = 3;
        std::string cancelled = dir.file("c" + std::to_string(choice) + ".vmdk");
        EXPECT_EQ(
            Vmdk_Create(cancelled.c_str(), &source.handle, nullptr, LogProgress, &stop, o.get()),
            DISK_CANCELLED);
        EXPECT_EQ(stop.calls.size(), 3u);
    }
}

// The flat extent keeps zeros as holes: 4 KiB of data in every 64 KiB of a 32 MiB disk gives an
// extent that allocates about the data alone, reads back identical through qemu-img, and still
// has the extent's full length.
TEST_F(VmdkCreate, FlatExtentLeavesZerosAsHoles)
{
    const uint64_t sectors = 65536;
    std::vector<uint8_t> raw(sectors * 512, 0);
    std::vector<uint8_t> data = PatternDisk(sectors * 512, 29);
    for (uint64_t at = 0; at < raw.size(); at += 65536) std::memcpy(&raw[at], &data[at], 4096);
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    std::string path = dir.file("disk.vmdk");
    ASSERT_EQ(CreateImage(src, path, 1), DISK_OK);
    const std::string extent = dir.file("disk-flat.vmdk");
    struct stat st {};
    ASSERT_EQ(stat(extent.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), sectors * 512);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, sectors * 512 / 16 + 65536);
    EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
}

// Compressed and stream-optimised images are the same bytes whether their grains are compressed
// on one thread or on several, and read back through qemu-img (and libvmdk for the stream
// layout) as the source: grains of data, of zeros and a short last grain over several tables.
TEST_F(VmdkCreate, ParallelCompressionGivesTheSameBytes)
{
    const uint64_t sectors = 3 * 65536 + 77;  // tables of 32 MiB, and a rest
    std::vector<uint8_t> raw = PatternDisk(sectors * 512, 31);
    for (uint64_t s = 0; s < sectors; ++s) {
        if ((s / 128) % 5 == 1 || (s >= 65536 && s < 2 * 65536)) std::memset(&raw[s * 512], 0, 512);
        if ((s / 128) % 7 == 3) std::memset(&raw[s * 512], 0x5A, 512);  // compresses well
    }
    std::string src = dir.file("src.raw");
    WriteFile(src, raw);
    for (uint32_t choice : {2u, 3u}) {
        SCOPED_TRACE(choice);
        std::vector<std::vector<uint8_t>> outputs;
        for (uint32_t workers : {1u, 3u, 8u}) {
            VmdkSparse_SetCompressionWorkers(workers);
            std::string path = dir.file("w" + std::to_string(workers) + ".vmdk");
            ASSERT_EQ(CreateImage(src, path, choice), DISK_OK);
            std::vector<uint8_t> bytes = ReadFile(path);
            ASSERT_GT(bytes.size(), 512u);
            // The embedded descriptor carries a random content identifier: blank it.
            uint64_t descAt = Bytes_LoadLe64(&bytes[28]) * 512;
            uint64_t descLength = Bytes_LoadLe64(&bytes[36]) * 512;
            ASSERT_LE(descAt + descLength, bytes.size());
            std::fill(bytes.begin() + descAt, bytes.begin() + descAt + descLength, 0);
            outputs.push_back(bytes);
            EXPECT_EQ(QemuCompare(src, "raw", path, "vmdk"), "");
            if (choice == 3 && HaveLibvmdk()) {
                std::string said;
                EXPECT_EQ(LibvmdkCompare(path, src, &said), 0) << said;
            }
        }
        VmdkSparse_SetCompressionWorkers(0);
        ASSERT_GT(outputs[0].size(), 0u);
        for (size_t i = 1; i < outputs.size(); ++i) {
            ASSERT_EQ(outputs[i].size(), outputs[0].size());
            EXPECT_TRUE(outputs[i] == outputs[0]) << "workers run " << i;
        }
    }
}
