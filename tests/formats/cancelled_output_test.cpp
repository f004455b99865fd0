// Every writer's output that was cancelled part way is kept, but never passes for an image: the
// bytes that make a file an image (signature, header, footer, descriptor) are written last, so
// that our open and qemu-img both refuse the partial file. The same writers run to the end give
// images that both accept, which shows that each refusal comes from the cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx_writer.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"

namespace {

using namespace testsupport;

typedef std::function<int(const char* path, DiskHandle* source, ProgressCallback callback,
                          void* user)>
    WriteFn;

struct WriterCase {
    const char* name;
    const char* file;  // the output's name (a bundle: its directory)
    DiskKind kind;     // our kind of the output
    const char* qemu;  // qemu-img's format name, or NULL where qemu does not read the format
    uint32_t heads, sectorsPerTrack, bytesPerSector, cylinders;
    WriteFn write;
    bool keyed = false;  // encrypted: a whole image opens only as far as asking for its key
};

// Test names and failure messages show the case by its name.
void PrintTo(const WriterCase& c, std::ostream* os) { *os << c.name; }

// Answers "go on" until the run has passed `percent` of its total, then "stop".
struct CancelAt {
    uint32_t percent = 60;
    bool stopped = false;
    static bool Cb(uint64_t done, uint64_t total, void* user)
    {
        CancelAt* c = static_cast<CancelAt*>(user);
        if (total != 0 && done * 100 >= total * c->percent) c->stopped = true;
        return !c->stopped;
    }
};

const uint8_t kKey[16] = {'s', 'e', 'c', 'r', 'e', 't', 0};

VhdCreateOptions VhdOptions()
{
    // "vpc " 5.3, blocks of 2 MiB, one zero sector after the table.
    return VhdCreateOptions{0x76706320u, 0x00050003u, 0, 4096, 1, 0};
}

// VMDK options of one or more extents of at most splitSectors (0: one extent).
int WriteVmdk(const char* path, DiskHandle* source, ProgressCallback cb, void* user,
              uint32_t layout, bool compressed, bool stream, uint32_t splitSectors)
{
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    const uint64_t total = Geometry_GetTotalSectors(&g);
    std::vector<uint32_t> sizes;
    for (uint64_t rest = total; rest > 0;) {
        const uint64_t n = splitSectors == 0 ? rest : std::min<uint64_t>(rest, splitSectors);
        sizes.push_back(static_cast<uint32_t>(n));
        rest -= n;
    }
    VmdkCreateOptions* o = Vmdk_AllocCreateOptions(static_cast<uint32_t>(sizes.size()));
    if (o == nullptr) return DISK_ERR_NOMEM;
    o->mode = 0;
    o->split = splitSectors != 0 ? 1 : 0;
    o->flat = layout;
    o->compressedGrains = compressed ? 1 : 0;
    o->streamOptimized = stream ? 1 : 0;
    o->adapter = VMDK_ADAPTER_IDE;
    o->hwVersionIndex = 4;
    o->encodingChoice = VMDK_ENCODING_UTF8;
    for (uint32_t i = 0; i < sizes.size(); ++i) Vmdk_CreateOptionsExtent(o, i)->sectors = sizes[i];
    const int r = Vmdk_Create(path, source, nullptr, cb, user, o);
    Mem_Free(o);
    return r;
}

// qemu-img does not read the COWD files of these writers (nor Bochs sparse images, PC-98 images
// or the bundle's descriptor): only our open judges them.
const WriterCase kCases[] = {
    {"VhdDynamic", "d.vhd", DISK_KIND_VHD, "vpc", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const VhdCreateOptions o = VhdOptions();
         return Vhd_Create(p, s, nullptr, cb, u, &o, 0);
     }},
    {"VhdFixed", "f.vhd", DISK_KIND_VHD_FIXED, "vpc", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const VhdCreateOptions o = VhdOptions();
         return VhdFixed_Create(p, s, nullptr, cb, u, &o);
     }},
    {"Vhdx", "x.vhdx", DISK_KIND_VHDX, "vhdx", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const VhdxCreateOptions o = {0, 0, 0, 0};
         return Vhdx_Create(p, s, nullptr, cb, u, &o);
     }},
    {"VmdkSparse", "s.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_SPARSE, false, false, 0);
     }},
    {"VmdkCompressed", "c.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_SPARSE, true, false, 0);
     }},
    {"VmdkStreamOptimised", "o.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_SPARSE, true, true, 0);
     }},
    {"VmdkFlat", "l.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_FLAT, false, false, 0);
     }},
    {"VmdkSplitSparse", "t.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_SPARSE, false, false, 4096);
     }},
    {"VmdkSplitFlat", "u.vmdk", DISK_KIND_VMDK, "vmdk", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return WriteVmdk(p, s, cb, u, VMDK_LAYOUT_FLAT, false, false, 4096);
     }},
    {"CowdV3", "w3.vmdk", DISK_KIND_COWD3, nullptr, 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Cowd_CreateV3(p, s, nullptr, cb, u, false);
     }},
    {"CowdV1", "w1.dsk", DISK_KIND_COWD1, nullptr, 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Cowd_CreateV1(p, s, nullptr, cb, u, false);
     }},
    {"Qcow", "q.qcow", DISK_KIND_QCOW, "qcow", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Qcow_Create(p, s, nullptr, cb, u, QCOW_STORE_PLAIN, nullptr);
     }},
    {"QcowCompressed", "qc.qcow", DISK_KIND_QCOW, "qcow", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Qcow_Create(p, s, nullptr, cb, u, QCOW_STORE_COMPRESSED_GROUPED, nullptr);
     }},
    {"Qcow2", "q.qcow2", DISK_KIND_QCOW2, "qcow2", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const Qcow2CreateOptions o = {16};
         return Qcow2_Create(p, s, nullptr, cb, u, QCOW_STORE_PLAIN, nullptr, &o);
     }},
    {"Qcow2Compressed", "qc.qcow2", DISK_KIND_QCOW2, "qcow2", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const Qcow2CreateOptions o = {16};
         return Qcow2_Create(p, s, nullptr, cb, u, QCOW_STORE_COMPRESSED, nullptr, &o);
     }},
    {"Qcow2Encrypted", "qe.qcow2", DISK_KIND_QCOW2, "qcow2", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const Qcow2CreateOptions o = {16};
         return Qcow2_Create(p, s, nullptr, cb, u, QCOW_STORE_ENCRYPTED, kKey, &o);
     },
     true},
    {"VdiDynamic", "d.vdi", DISK_KIND_VDI, "vdi", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const VdiCreateOptions o = {3, 0, 2};
         return Vdi_Create(p, s, nullptr, cb, u, &o);
     }},
    {"VdiFixed", "f.vdi", DISK_KIND_VDI, "vdi", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const VdiCreateOptions o = {3, 1, 2};
         return Vdi_Create(p, s, nullptr, cb, u, &o);
     }},
    {"Parallels", "p.hdd", DISK_KIND_PARALLELS, "parallels", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Parallels_Create(p, s, nullptr, cb, u, 0);
     }},
    // The bundle's data file of one storage is what qemu-img reads: see BundleDataFile.
    {"ParallelsBundleCompressed", "bc.hdd", DISK_KIND_PARALLELS_BUNDLE, "parallels", 16, 63, 512,
     20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const ParallelsBundleCreateOptions o = {1, 0, 0};
         return ParallelsBundle_Create(p, s, nullptr, cb, u, &o);
     }},
    {"ParallelsBundlePlainSplit", "bp.hdd", DISK_KIND_PARALLELS_BUNDLE, nullptr, 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         const ParallelsBundleCreateOptions o = {0, 4032, 0};
         return ParallelsBundle_Create(p, s, nullptr, cb, u, &o);
     }},
    {"BochsGrowing", "g.img", DISK_KIND_BOCHS_REDOLOG, "bochs", 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         BochsCreateOptions o = {BOCHS_VERSION_2};
         return Bochs_Create(p, s, nullptr, cb, u, &o);
     }},
    {"BochsSparse", "s.img", DISK_KIND_BOCHS_SPARSE, nullptr, 16, 63, 512, 20,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         BochsSparseCreateOptions o = {2};
         return BochsSparse_Create(p, s, nullptr, cb, u, &o);
     }},
    {"Hdi", "a.hdi", DISK_KIND_HDI, nullptr, 8, 17, 512, 150,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Hdi_Create(p, s, cb, u, false);
     }},
    {"Thd", "a.thd", DISK_KIND_THD, nullptr, 8, 33, 256, 150,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Thd_Create(p, s, cb, u, false);
     }},
    {"Nhd", "a.nhd", DISK_KIND_NHD, nullptr, 8, 17, 512, 150,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Nhd_Create(p, s, cb, u, false);
     }},
    {"Vhd100", "v.hdd", DISK_KIND_VHD100, nullptr, 8, 17, 512, 150,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Vhd100_Create(p, s, cb, u, false);
     }},
    {"Hdim", "a.slh", DISK_KIND_HDIM, nullptr, 8, 17, 512, 150,
     [](const char* p, DiskHandle* s, ProgressCallback cb, void* u) {
         return Hdim_Create(p, s, cb, u);
     }},
};

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The file qemu-img is given: the output, or the data file of a one-storage bundle.
std::string QemuTarget(const WriterCase& c, const std::string& out)
{
    if (c.kind != DISK_KIND_PARALLELS_BUNDLE) return out;
    for (const std::string& n : ListDir(out)) {
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".hds") == 0) return out + "/" + n;
    }
    return out + "/missing.hds";
}

int QemuInfo(const char* format, const std::string& path, std::string* text)
{
    return RunCommand("qemu-img info -f " + std::string(format) + " " + Quote(path) + " 2>&1",
                      text);
}

class CancelledOutput : public ::testing::TestWithParam<WriterCase> {
protected:
    void SetUp() override
    {
        const WriterCase& c = GetParam();
        geometry_ = DiskGeometry{0, c.heads, c.sectorsPerTrack, c.bytesPerSector, 0};
        const uint64_t total = uint64_t(c.cylinders) * c.heads * c.sectorsPerTrack;
        Geometry_SetTotalSectors(&geometry_, total);
        // Data in every sector, so that every block of every format is stored.
        data_ = RandomBytes(static_cast<size_t>(total * c.bytesPerSector), 24);
        WriteFile(dir_.file("source.raw"), data_);
        Disk_Init(&source_);
        ASSERT_EQ(Disk_OpenRaw(&source_, dir_.file("source.raw").c_str(), true, 0, &geometry_),
                  DISK_OK);
    }
    void TearDown() override { Disk_Close(&source_); }

    TempDir dir_;
    DiskGeometry geometry_;
    std::vector<uint8_t> data_;
    DiskHandle source_;
};

// Cancelled part way, and at the run's last progress call (every sector written, only what
// finishes the image left): the run answers "cancelled", and neither we nor qemu-img take what it
// left for an image of the format (nor for any other image, in our case).
TEST_P(CancelledOutput, IsRefusedByUsAndByQemu)
{
    const WriterCase& c = GetParam();
    for (uint32_t percent : {60u, 100u}) {
        SCOPED_TRACE("cancelled at " + std::to_string(percent) + " %");
        const std::string folder = dir_.file(std::to_string(percent));
        ASSERT_TRUE(Os_MakeDirectory(folder.c_str()));
        const std::string out = folder + "/" + c.file;
        CancelAt cancel;
        cancel.percent = percent;
        ASSERT_EQ(c.write(out.c_str(), &source_, CancelAt::Cb, &cancel), DISK_CANCELLED);
        ASSERT_TRUE(cancel.stopped);

        // Refused as a file that is no image, not as an image that wants its key.
        DiskHandle h;
        Disk_Init(&h);
        const int own = Disk_OpenByKind(&h, out.c_str(), true, c.kind);
        EXPECT_TRUE(own != DISK_OK && own != DISK_ERR_PASSWORD) << own;
        Disk_Close(&h);
        Disk_Init(&h);
        const int any = Disk_Open(&h, out.c_str(), true);
        EXPECT_TRUE(any != DISK_OK && any != DISK_ERR_PASSWORD)
            << any << ", kind " << Disk_GetKind(&h);
        Disk_Close(&h);

        if (c.qemu != nullptr && HaveTool("qemu-img")) {
            std::string text;
            EXPECT_NE(QemuInfo(c.qemu, QemuTarget(c, out), &text), 0) << text;
        }
    }
}

// The same run to its end: both readers take the output, which holds the source's data.
TEST_P(CancelledOutput, WholeRunIsAcceptedByUsAndByQemu)
{
    const WriterCase& c = GetParam();
    const std::string out = dir_.file(c.file);
    ASSERT_EQ(c.write(out.c_str(), &source_, nullptr, nullptr), DISK_OK);

    DiskHandle h;
    Disk_Init(&h);
    if (c.keyed) {
        EXPECT_EQ(Disk_OpenByKind(&h, out.c_str(), true, c.kind), DISK_ERR_PASSWORD);
    } else {
        ASSERT_EQ(Disk_OpenByKind(&h, out.c_str(), true, c.kind), DISK_OK);
        std::vector<uint8_t> back(data_.size());
        ASSERT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(back.size()), back.data()), DISK_OK);
        EXPECT_TRUE(back == data_);
    }
    Disk_Close(&h);

    if (c.qemu != nullptr && HaveTool("qemu-img")) {
        const std::string target = QemuTarget(c, out);
        std::string text;
        EXPECT_EQ(QemuInfo(c.qemu, target, &text), 0) << text;
        if (c.keyed) return;
        EXPECT_EQ(RunCommand("qemu-img compare -f " + std::string(c.qemu) + " -F raw " +
                                 Quote(target) + " " + Quote(dir_.file("source.raw")) + " 2>&1",
                             &text),
                  0)
            << text;
    }
}

// A COWD disk of two extent files cancelled in its second one: no file of it carries a header,
// the first one (the name the user chose, whose header names the others) included.
TEST(CancelledOutputCowd, NoExtentOfACancelledDiskHasAHeader)
{
    TempDir dir;
    DiskGeometry g = {0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, COWD_EXTENT_SECTORS + 2 * 16 * 63);
    DiskHandle zero;
    Disk_Init(&zero);
    ASSERT_EQ(Disk_OpenZero(&zero, &g), DISK_OK);
    const std::string out = dir.file("two.vmdk");
    CancelAt cancel;
    cancel.percent = 100;
    ASSERT_EQ(Cowd_CreateV3(out.c_str(), &zero, nullptr, CancelAt::Cb, &cancel, false),
              DISK_CANCELLED);
    const std::vector<std::string> files = ListDir(dir.path());
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& f : files) {
        const std::vector<uint8_t> bytes = ReadFile(dir.file(f));
        ASSERT_GE(bytes.size(), 4u) << f;
        EXPECT_TRUE(Mem_IsZero(bytes.data(), 4)) << f;
    }
    DiskHandle h;
    Disk_Init(&h);
    EXPECT_NE(Disk_OpenByKind(&h, out.c_str(), true, DISK_KIND_COWD3), DISK_OK);
    Disk_Close(&h);

    // Run to its end, the same disk opens.
    ASSERT_EQ(Cowd_CreateV3(out.c_str(), &zero, nullptr, nullptr, nullptr, false), DISK_OK);
    Disk_Init(&h);
    ASSERT_EQ(Disk_OpenByKind(&h, out.c_str(), true, DISK_KIND_COWD3), DISK_OK);
    DiskGeometry back = {};
    Disk_GetGeometry(&h, &back);
    EXPECT_EQ(Geometry_GetTotalSectors(&back), Geometry_GetTotalSectors(&g));
    Disk_Close(&h);
    Disk_Close(&zero);
}

INSTANTIATE_TEST_SUITE_P(EveryWriter, CancelledOutput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WriterCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
