// Every in-place operation under injected faults: the Nth write, sync, rename or link fails,
// for every N the operation reaches, and the process is killed with SIGKILL just before each
// such call. After a failure the image's files are as they were and no other file is left;
// after a kill the image's name holds the old image or the new one, whole; a run that succeeds
// despite the fault holds the new image.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include <sys/stat.h>

#include "disk/disk_open.h"
#include "formats/parallels/parallels.h"
#include "formats/qcow2/qcow2.h"
#include "formats/qcow2/qcow2_maintain.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_writer.h"
#include "formats/vhdx/vhdx_writer.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_maintain.h"
#include "foundation/in_place.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "safety/fault_runs.h"
#include "safety/fault_shim.h"

using namespace testsupport;
using namespace faultruns;
namespace fs = std::filesystem;

namespace {

// Another process, started here, that runs `first` and keeps what it holds (an operation
// waiting for its commit, a lock) until Finish() lets it run `then` and end; its exit status
// is 0 when both answered DISK_OK.
class Other {
public:
    Other(std::function<int()> first, std::function<int()> then)
    {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0) return;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(go[1]);
            const int r = first();
            const char c = r == DISK_OK ? 'y' : 'n';
            if (::write(ready[1], &c, 1) != 1) _exit(3);
            char x;
            if (read(go[0], &x, 1) != 1) _exit(3);
            const int t = r == DISK_OK ? then() : r;
            _exit(r == DISK_OK && t == DISK_OK ? 0 : 1);
        }
        close(ready[1]);
        close(go[0]);
        go_ = go[1];
        char c = 0;
        started_ = read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~Other() { Finish(); }
    // Whether `first` succeeded.
    bool Started() const { return started_; }
    // Lets the other process go on and waits for its end: its exit status.
    int Finish()
    {
        if (pid_ <= 0) return -1;
        if (::write(go_, "g", 1) != 1) {}
        close(go_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int go_ = -1;
    bool started_ = false;
    int status_ = -1;
};

// ---- The operations, each run on the files of a directory ---------------------------------

int VhdCompact(const std::string& dir)
{
    const std::string path = dir + "/a.vhd";
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenVhd(&disk, path.c_str(), false);
    if (r != DISK_OK) return r;
    OutputFile output;
    OutputFile_Init(&output);
    r = Vhd_Compact(path.c_str(), &disk, nullptr, &output, false, nullptr, nullptr);
    Disk_Close(&disk);
    if (r == DISK_OK) r = Vhd_CommitCompact(&output, Del(), false, true);
    if (r != DISK_OK) Vhd_DiscardCompact(&output);
    return r;
}

int VhdExpand(const std::string& dir)
{
    const std::string path = dir + "/a.vhd";
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenVhd(&disk, path.c_str(), false);
    if (r != DISK_OK) return r;
    OutputFile output;
    OutputFile_Init(&output);
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    r = Vhd_ExpandCapacity(path.c_str(), &disk, nullptr, &output,
                           static_cast<uint32_t>(Geometry_GetTotalSectors(&g) * 2), nullptr,
                           nullptr);
    Disk_Close(&disk);
    if (r == DISK_OK) r = OutputFile_Commit(&output, Del(), false);
    if (r != DISK_OK) OutputFile_Rollback(&output);
    return r;
}

VhdCreateOptions ChildOptions()
{
    VhdCreateOptions o{};
    o.creatorApplication = VHD_CODE_VPC;
    o.creatorVersion = 0x00050003;
    o.batAlignment = 0;
    o.blockSectors = 4096;
    o.zeroSectorsAfterBat = 1;
    o.zeroSectorsAfterBlock = 0;
    return o;
}

int VhdCreateChild(const std::string& dir)
{
    DiskHandle parent;
    Disk_Init(&parent);
    const std::string p = dir + "/a.vhd";
    int r = Disk_Open(&parent, p.c_str(), true);
    if (r != DISK_OK) return r;
    const VhdCreateOptions o = ChildOptions();
    r = Vhd_CreateChild(&parent, &o, p.c_str(), (dir + "/child.vhd").c_str());
    Disk_Close(&parent);
    return r;
}

std::vector<uint8_t> Encode16(const std::string& s, bool bigEndian)
{
    std::vector<uint8_t> v;
    for (char c : s) {
        if (bigEndian) v.push_back(0);
        v.push_back(static_cast<uint8_t>(c));
        if (!bigEndian) v.push_back(0);
    }
    return v;
}

// The child r.vhd of b.vhd is linked to b2.vhd, a copy of its parent.
int VhdRelink(const std::string& dir)
{
    const std::string child = dir + "/r.vhd";
    DiskHandle disk;
    Disk_Init(&disk);
    int r =
        Disk_OpenVhdWithHandler(&disk, nullptr, child.c_str(), false, VHD_PARENT_OPTIONAL, nullptr);
    if (r != DISK_OK) return r;
    const std::string abs = dir + "/b2.vhd";
    const std::vector<uint8_t> absU16 = Encode16(abs, false), relU16 = Encode16("./b2.vhd", false);
    const std::vector<uint8_t> absSjis(abs.begin(), abs.end());
    const std::string rel = "./b2.vhd";
    const std::vector<uint8_t> relSjis(rel.begin(), rel.end());
    const std::vector<uint8_t> name = Encode16("b2.vhd", true);
    auto bytes = [](const std::vector<uint8_t>& v) {
        return VhdLocatorBytes{true, v.data(), static_cast<uint32_t>(v.size())};
    };
    VhdParentLocatorRequest request = {bytes(absU16),  bytes(relU16), bytes(absSjis),
                                       bytes(relSjis), bytes(name),   child.c_str()};
    r = Vhd_ChangeParentLocators(static_cast<VhdImage*>(Disk_GetObject(&disk)), &request);
    Disk_Close(&disk);
    return r;
}

int OpenVmdk(DiskHandle* disk, const std::string& path, bool readOnly)
{
    Disk_Init(disk);
    return Disk_OpenVmdkWithHandler(disk, nullptr, path.c_str(), readOnly, VMDK_PARENT_OPTIONAL,
                                    nullptr);
}

int VmdkCompact(const std::string& dir, const char* name)
{
    DiskHandle disk;
    int r = OpenVmdk(&disk, dir + "/" + name, true);
    if (r != DISK_OK) return r;
    VmdkCompactSet set;
    Vmdk_InitCompactSet(&set);
    r = Vmdk_Compact(&disk, nullptr, &set, false, nullptr, nullptr);
    Disk_Close(&disk);
    if (r != DISK_OK) {
        Vmdk_DiscardCompact(&set);
        return r;
    }
    return Vmdk_CommitCompact(&set, Del(), false);
}

int VmdkMaintain(const std::string& dir, const char* name, bool expand, bool compress)
{
    const std::string path = dir + "/" + name;
    DiskHandle disk;
    int r = OpenVmdk(&disk, path, false);
    if (r != DISK_OK) return r;
    VmdkTempFileSet set;
    Vmdk_InitTempFileSet(&set);
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    if (expand)
        r = Vmdk_ExpandCapacity(path.c_str(), &disk, nullptr, &set,
                                Geometry_GetTotalSectors(&g) * 2, nullptr, nullptr);
    else
        r = Vmdk_RewriteWithoutFreeSpace(path.c_str(), &disk, nullptr, &set, compress, nullptr,
                                         nullptr);
    Disk_Close(&disk);
    if (r != DISK_OK) {
        Vmdk_DiscardTempFileSet(&set);
        return r;
    }
    return Vmdk_CommitTempFileSet(&set, Del(), false);
}

int VmdkCreateChild(const std::string& dir, const char* parent)
{
    DiskHandle disk;
    const std::string p = dir + "/" + parent;
    int r = OpenVmdk(&disk, p, true);
    if (r != DISK_OK) return r;
    r = Vmdk_CreateChild(&disk, p.c_str(), (dir + "/child.vmdk").c_str(), false);
    Disk_Close(&disk);
    return r;
}

// A descriptor change of the VMDK image `name`: the edits `fill` sets, the extent lines kept.
int VmdkEditDescriptor(const std::string& dir, const char* name,
                       const std::function<void(VmdkDescriptorEdits*)>& fill)
{
    DiskHandle disk;
    int r = OpenVmdk(&disk, dir + "/" + name, false);
    if (r != DISK_OK) return r;
    std::unique_ptr<VmdkDescriptorEdits, void (*)(void*)> edits(
        static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits))), Mem_Free);
    Vmdk_ClearDescriptorEdits(edits.get());
    edits->extentCount = static_cast<VmdkImage*>(Disk_GetObject(&disk))->descriptor.extentCount;
    fill(edits.get());
    r = Vmdk_ChangeParameters(&disk, edits.get(), nullptr, TEXT_ENC_UTF8, TEXT_ENC_UTF8);
    Disk_Close(&disk);
    return r;
}

int VmdkChangeParameters(const std::string& dir, const char* name)
{
    return VmdkEditDescriptor(dir, name, [](VmdkDescriptorEdits* edits) {
        edits->adapter.set = 1;
        edits->adapter.value = VMDK_ADAPTER_BUSLOGIC;
        edits->uuid.set = 1;
        Text_FromCStringUtf8(&edits->uuid.value, "60 00 c2 9a 11 22 33 44-55 66 77 88 99 aa bb cc");
    });
}

// The child vc.vmdk of v.vmdk is linked to v2.vmdk, a copy of its parent (a descriptor change
// of the parent hint).
int VmdkRelink(const std::string& dir)
{
    return VmdkEditDescriptor(dir, "vc.vmdk", [](VmdkDescriptorEdits* edits) {
        edits->parentFileNameHint.set = 1;
        Text_FromCStringUtf8(&edits->parentFileNameHint.value, "v2.vmdk");
    });
}

// The child `file` of qb.qcow2 is linked to qb2.qcow2, a base of other content, by a longer name.
int Qcow2Relink(const std::string& dir, const char* file)
{
    Qcow2Image* image = Qcow2_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    int r =
        Qcow2_OpenWithBackingMode(image, (dir + "/" + file).c_str(), false, QCOW2_BACKING_IGNORE);
    if (r == DISK_OK) {
        const std::string name = "qb2.qcow2";
        r = Qcow2_SetBackingName(image, TextView{reinterpret_cast<const uint8_t*>(name.data()),
                                                 static_cast<uint32_t>(name.size())});
    }
    Qcow2_Close(image);
    Mem_Free(image);
    return r;
}

// A compaction of one of the single-file formats through its compact, commit and discard entries.
typedef int (*CompactFn)(const char*, const DiskHandle*, UsedSectorMap*, OutputFile*, bool,
                         ProgressCallback, void*);
typedef int (*CommitFn)(OutputFile*, TextView, uint32_t);
typedef int (*DiscardFn)(OutputFile*);

int CompactFile(const std::string& path, CompactFn compact, CommitFn commit, DiscardFn discard)
{
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_Open(&disk, path.c_str(), false);
    if (r != DISK_OK) return r;
    OutputFile output;
    OutputFile_Init(&output);
    r = compact(path.c_str(), &disk, nullptr, &output, false, nullptr, nullptr);
    Disk_Close(&disk);
    if (r == DISK_OK) r = commit(&output, Del(), 0);
    if (r != DISK_OK) discard(&output);
    return r;
}

int Qcow2CompactNoKey(const char* path, const DiskHandle* source, UsedSectorMap* map,
                      OutputFile* output, bool preallocate, ProgressCallback progress, void* user)
{
    return Qcow2_Compact(path, source, map, output, preallocate, progress, user, nullptr);
}

// An overlay of qb.qcow2 at `file`: a new name, or one whose file it replaces.
int Qcow2Overlay(const std::string& dir, const char* file, bool replace)
{
    DiskHandle base;
    Disk_Init(&base);
    const std::string b = dir + "/qb.qcow2";
    int r = Disk_Open(&base, b.c_str(), true);
    if (r != DISK_OK) return r;
    r = Qcow2_CreateOverlay(&base, b.c_str(), (dir + "/" + file).c_str(), false, replace);
    Disk_Close(&base);
    return r;
}

struct Operation {
    const char* name;
    const char* image;  // the file whose name must always hold a whole image
    std::function<int(const std::string&)> run;
    // The operation changes several files of one image (the descriptor and the extents of a
    // split image it grows): renames cannot swap them as one, so a kill is only required to
    // leave each file whole, old or new.
    bool severalFiles = false;
    // Parts its kill and failure tables are cut into, each a test of its own.
    unsigned parts = 1;
};

// Every in-place operation, each from the images the fixture makes.
std::vector<Operation> Operations()
{
    return {
        {"vhd compaction", "a.vhd", VhdCompact},
        {"vhd expansion", "a.vhd", VhdExpand},
        {"vhd child creation", "child.vhd", VhdCreateChild},
        {"vhd relink", "r.vhd", VhdRelink},
        {"vmdk compaction", "v.vmdk",
         [](const std::string& d) { return VmdkCompact(d, "v.vmdk"); }},
        {"vmdk split compaction", "s.vmdk",
         [](const std::string& d) { return VmdkCompact(d, "s.vmdk"); }},
        {"vmdk rewrite", "v.vmdk",
         [](const std::string& d) { return VmdkMaintain(d, "v.vmdk", false, false); }},
        {"vmdk compressed rewrite", "v.vmdk",
         [](const std::string& d) { return VmdkMaintain(d, "v.vmdk", false, true); }},
        {"vmdk split rewrite into one file", "s.vmdk",
         [](const std::string& d) { return VmdkMaintain(d, "s.vmdk", false, true); }},
        {"vmdk expansion", "v.vmdk",
         [](const std::string& d) { return VmdkMaintain(d, "v.vmdk", true, false); }},
        {"vmdk split expansion", "s.vmdk",
         [](const std::string& d) { return VmdkMaintain(d, "s.vmdk", true, false); }, true},
        {"vmdk relink", "vc.vmdk", VmdkRelink},
        {"vmdk child creation", "child.vmdk",
         [](const std::string& d) { return VmdkCreateChild(d, "v.vmdk"); }},
        {"vmdk split child creation", "child.vmdk",
         [](const std::string& d) { return VmdkCreateChild(d, "s.vmdk"); }},
        {"vmdk embedded parameter change", "v.vmdk",
         [](const std::string& d) { return VmdkChangeParameters(d, "v.vmdk"); }},
        {"vmdk descriptor file parameter change", "f.vmdk",
         [](const std::string& d) { return VmdkChangeParameters(d, "f.vmdk"); }},
        {"qcow2 backing name change", "q.qcow2",
         [](const std::string& d) { return Qcow2Relink(d, "q.qcow2"); }},
        {"qcow2 backing name change far from the header", "qf.qcow2",
         [](const std::string& d) { return Qcow2Relink(d, "qf.qcow2"); }},
        {"qcow2 compaction", "qc.qcow2",
         [](const std::string& d) {
             return CompactFile(d + "/qc.qcow2", Qcow2CompactNoKey, Qcow2_CommitCompact,
                                Qcow2_DiscardCompact);
         }},
        {"vdi compaction", "c.vdi",
         [](const std::string& d) {
             return CompactFile(d + "/c.vdi", Vdi_Compact, Vdi_CommitCompact, Vdi_DiscardCompact);
         }},
        {"vhdx compaction", "c.vhdx",
         [](const std::string& d) {
             return CompactFile(d + "/c.vhdx", Vhdx_Compact, Vhdx_CommitCompact,
                                Vhdx_DiscardCompact);
         }},
        {"parallels compaction", "c.hds",
         [](const std::string& d) {
             return CompactFile(d + "/c.hds", Parallels_Compact, Parallels_CommitCompact,
                                Parallels_DiscardCompact);
         }},
        // As the dialog calls it: a file already at the name is replaced only once the user said yes.
        {"qcow2 overlay creation", "qo.qcow2",
         [](const std::string& d) {
             return Qcow2Overlay(d, "qo.qcow2", Os_PathExists((d + "/qo.qcow2").c_str()));
         }},
        {"qcow2 overlay over an existing file", "qr.qcow2",
         [](const std::string& d) { return Qcow2Overlay(d, "qr.qcow2", true); }},
    };
}

// The images every operation starts from, made once by qemu-img and qemu-io: data, a zero
// block and space never written, so that compactions drop something.
class InPlaceFaults : public TemplateImages<InPlaceFaults> {
protected:
    static void SetUpTestSuite()
    {
        if (!HaveTool("qemu-img") || !HaveTool("qemu-io")) return;
        // Thousands of runs, each syncing its files: on a memory file system where there is one.
        if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
        templateDir_ = new TempDir();
        const std::string d = templateDir_->path();
        const std::string writes =
            " -c 'write -P 0x11 0 64k' -c 'write -P 0x22 1M 8k' -c 'write -z 2M 64k'"
            " -c 'write -P 0x33 3M 512' ";
        bool ok =
            Quiet("cd " + Quote(d) +
                  " && qemu-img create -q -f vpc -o subformat=dynamic a.vhd 4M") == 0 &&
            Quiet("cd " + Quote(d) + " && qemu-io -f vpc" + writes + "a.vhd") == 0 &&
            Quiet("cd " + Quote(d) + " && qemu-img create -q -f vmdk v.vmdk 4M") == 0 &&
            Quiet("cd " + Quote(d) + " && qemu-io -f vmdk" + writes + "v.vmdk") == 0 &&
            Quiet("cd " + Quote(d) +
                  " && qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse s.vmdk 4M") ==
                0 &&
            Quiet("cd " + Quote(d) + " && qemu-io -f vmdk" + writes + "s.vmdk") == 0 &&
            Quiet("cd " + Quote(d) +
                  " && qemu-img create -q -f vmdk -o subformat=monolithicFlat f.vmdk 1M") == 0 &&
            Quiet("cd " + Quote(d) + " && qemu-io -f vmdk -c 'write -P 0x44 0 4k' f.vmdk") == 0;
        // A differencing VHD of b.vhd, and b2.vhd, a copy of b.vhd for the relink.
        ok = ok && Quiet("cd " + Quote(d) +
                         " && qemu-img create -q -f vpc b.vhd 4M && qemu-io -f vpc -c 'write -P "
                         "0x55 0 4k' b.vhd") == 0;
        if (ok) {
            DiskHandle parent;
            Disk_Init(&parent);
            const std::string p = d + "/b.vhd";
            const VhdCreateOptions o = ChildOptions();
            ok = Disk_Open(&parent, p.c_str(), true) == DISK_OK &&
                 Vhd_CreateChild(&parent, &o, p.c_str(), (d + "/r.vhd").c_str()) == DISK_OK;
            Disk_Close(&parent);
            ok = ok && Quiet("cd " + Quote(d) + " && cp b.vhd b2.vhd") == 0;
        }
        // A child vc.vmdk of v.vmdk, and v2.vmdk, a copy of v.vmdk, for the VMDK relink.
        if (ok) {
            DiskHandle parent;
            const std::string p = d + "/v.vmdk";
            ok = OpenVmdk(&parent, p, true) == DISK_OK &&
                 Vmdk_CreateChild(&parent, p.c_str(), (d + "/vc.vmdk").c_str(), false) == DISK_OK;
            Disk_Close(&parent);
            ok = ok && Quiet("cd " + Quote(d) + " && cp v.vmdk v2.vmdk") == 0;
        }
        // A qcow2 child q.qcow2 of qb.qcow2, and qb2.qcow2, a base of other content.
        ok = ok && Quiet("cd " + Quote(d) +
                         " && qemu-img create -q -f qcow2 qb.qcow2 4M &&"
                         " qemu-io -f qcow2 -c 'write -P 0x66 0 4k' qb.qcow2 &&"
                         " qemu-img create -q -f qcow2 qb2.qcow2 4M &&"
                         " qemu-io -f qcow2 -c 'write -P 0x77 0 4k' qb2.qcow2 &&"
                         " qemu-img create -q -f qcow2 -b qb.qcow2 -F qcow2 q.qcow2 &&"
                         " qemu-io -f qcow2 -c 'write -P 0x88 1M 4k' q.qcow2") == 0;
        // qr.qcow2: an image of other content that an overlay replaces.
        ok = ok && Quiet("cd " + Quote(d) + " && cp qb2.qcow2 qr.qcow2") == 0;
        // qf.qcow2: q.qcow2 with its backing name moved 4 MiB into the file, where a new name
        // is written beside the old one before the header switches to it.
        if (ok) {
            std::vector<uint8_t> bytes = ReadFile(d + "/q.qcow2");
            const uint64_t far = 0x400000;
            const std::string name = "qb.qcow2";
            ok = bytes.size() < far;
            if (ok) {
                bytes.resize(far + 65536, 0);
                std::copy(name.begin(), name.end(), bytes.begin() + far);
                for (int i = 0; i < 8; ++i)
                    bytes[8 + i] = static_cast<uint8_t>(far >> (56 - 8 * i));
                WriteFile(d + "/qf.qcow2", bytes);
            }
        }
        // Single-file images of the other formats that compact in place.
        const struct {
            const char* format;
            const char* name;
        } others[] = {
            {"qcow2", "qc.qcow2"}, {"vdi", "c.vdi"}, {"vhdx", "c.vhdx"}, {"parallels", "c.hds"}};
        for (const auto& o : others) {
            ok = ok &&
                 Quiet("cd " + Quote(d) + " && qemu-img create -q -f " + o.format + " " + o.name +
                       " 4M") == 0 &&
                 Quiet("cd " + Quote(d) + " && qemu-io -f " + o.format + writes + o.name) == 0;
        }
        if (!ok) {
            delete templateDir_;
            templateDir_ = nullptr;
        }
    }
    // What the fault-free run gives: the image's contents before and after, the files after.
    struct Baseline {
        std::optional<std::vector<uint8_t>> before, after;
        Files start, end;
        CallCounts counts;
    };

    Baseline Run(const Operation& op)
    {
        Baseline b;
        b.start = Start();
        Restore(b.start, work.path());
        b.before = ReadImage(work.file(op.image));  // nothing yet for a new child
        if (b.start.count(op.image)) {
            EXPECT_TRUE(b.before.has_value()) << op.name << ": the image does not open";
        }
        b.counts = CountCalls(
            b.start, work.path(), [&]() { return op.run(work.path()); }, op.name);
        b.end = Snapshot(work.path());
        b.after = ReadImage(work.file(op.image));
        EXPECT_TRUE(b.after.has_value()) << op.name;
        return b;
    }

    // One fault-free run: the image before and after, the files before and after.
    Baseline Once(const Operation& op)
    {
        Baseline b{};
        b.start = Start();
        Restore(b.start, work.path());
        b.before = ReadImage(work.file(op.image));
        EXPECT_EQ(op.run(work.path()), DISK_OK) << op.name;
        b.end = Snapshot(work.path());
        b.after = ReadImage(work.file(op.image));
        return b;
    }

    // The image's name holds the old image or the new one, whole; every other file of the
    // start that the operation does not replace is untouched.
    void CheckWhole(const Operation& op, const Baseline& b, const std::string& what)
    {
        if (op.severalFiles) {
            // Every file of the image's names is its old or its new self, or not there yet.
            const Files now = Snapshot(work.path());
            for (const auto& f : now) {
                const bool old = b.start.count(f.first) && b.start.at(f.first) == f.second;
                const bool fresh = b.end.count(f.first) && b.end.at(f.first) == f.second;
                const bool temporary = !b.start.count(f.first) && !b.end.count(f.first);
                EXPECT_TRUE(old || fresh || temporary)
                    << what << ": " << f.first << " is neither old nor new";
            }
            for (const auto& f : b.start)
                EXPECT_TRUE(now.count(f.first)) << what << ": " << f.first << " is gone";
            return;
        }
        std::optional<std::vector<uint8_t>> now = ReadImage(work.file(op.image));
        if (b.before.has_value())
            EXPECT_TRUE(now == b.before || now == b.after)
                << what << ": the image does not read as the old or the new one";
        else
            EXPECT_TRUE(!Os_PathExists(work.file(op.image).c_str()) || now == b.after)
                << what << ": a new file under the child's name that is not the whole child";
    }

    TempDir work;
};

// A part of an operation's table: its calls from part/parts to (part + 1)/parts of them.
struct TableRow {
    size_t op;
    unsigned part, parts;
};

void PrintTo(const TableRow& row, std::ostream* out)
{
    *out << Operations()[row.op].name << ", part " << row.part + 1 << " of " << row.parts;
}

std::vector<TableRow> TableRows() { return PartRows<TableRow>(Operations()); }

std::string TableRowName(const ::testing::TestParamInfo<TableRow>& info)
{
    return PartRowName(Operations()[info.param.op].name, info.param.part, info.param.parts);
}

class InPlaceFaultTable : public InPlaceFaults, public ::testing::WithParamInterface<TableRow> {};

TEST_P(InPlaceFaultTable, EveryFailingCallLeavesTheOriginalOrTheNewImage)
{
    const Operation op = Operations()[GetParam().op];
    SCOPED_TRACE(op.name);
    const Baseline b = Run(op);
    for (const Step& step : PartSteps(b.counts, false, GetParam().part, GetParam().parts)) {
        const unsigned kind = kKinds[step.kind];
        const uint64_t n = step.n;
        const std::string what = FailingCallText(op.name, kind, n, b.counts.calls[step.kind]);
        Restore(b.start, work.path());
        bool fired = false;
        const int r = RunFailingAt(
            kind, n, [&]() { return op.run(work.path()); }, &fired);
        EXPECT_TRUE(fired) << what;
        const Files now = Snapshot(work.path());
        if (r != DISK_OK) {
            // Failed: everything as it was, nothing left beside it.
            ExpectFilesAsAtStart(now, b.start, what);
            EXPECT_TRUE(ReadImage(work.file(op.image)) == b.before)
                << what << ": the image does not read as before";
        } else {
            // Succeeded all the same (a call whose failure is harmless): the new image,
            // and no file the fault-free run does not leave.
            EXPECT_TRUE(ReadImage(work.file(op.image)) == b.after)
                << what << ": reported success, but the image does not read as the new one";
            ExpectNoFileBeyond(now, b.end, what);
            // A replaced file kept under its name with "_del" is the original.
            for (const auto& f : now) {
                const std::string kept = f.first;
                if (kept.size() < 4 || kept.compare(kept.size() - 4, 4, "_del") != 0) continue;
                const std::string original = kept.substr(0, kept.size() - 4);
                if (b.start.count(original)) {
                    EXPECT_TRUE(f.second == b.start.at(original))
                        << what << ": " << kept << " is not the original";
                }
            }
        }
    }
}

TEST_P(InPlaceFaultTable, AKillAtAnyCallLeavesTheOldOrTheNewImageWhole)
{
    const Operation op = Operations()[GetParam().op];
    SCOPED_TRACE(op.name);
    const Baseline b = Run(op);
    const uint64_t calls = b.counts.Total();
    for (const Step& step : PartSteps(b.counts, true, GetParam().part, GetParam().parts)) {
        const uint64_t n = step.n;
        const std::string what = KilledCallText(op.name, n, calls);
        Restore(b.start, work.path());
        EXPECT_TRUE(RunKilledBefore(n, [&]() { return op.run(work.path()); }))
            << what << ": not killed";
        CheckWhole(op, b, what);
        // Files the operation only reads (parents, the other extents) are untouched.
        const Files now = Snapshot(work.path());
        for (const auto& f : b.start) {
            if (b.end.count(f.first) && b.end.at(f.first) == f.second) {
                EXPECT_TRUE(now.count(f.first) && now.at(f.first) == f.second)
                    << what << ": " << f.first << " changed";
            }
        }
        // Killed before its image changed, the operation runs again over what the killed run
        // left: a success gives the new image (a leftover file is never taken for the image),
        // a failure leaves the old one.
        // What a killed commit leaves (the image under its own kept name too) never
        // blocks the next run.
        if (!op.severalFiles && b.before.has_value() &&
            ReadImage(work.file(op.image)) == b.before) {
            // A real backup (a file of its own under a "_del" name, left by a commit killed
            // after its switch) may stop a run that keeps backups; the image itself under
            // that name may not.
            bool realBackup = false;
            for (const auto& e : fs::directory_iterator(work.path())) {
                const std::string kept = e.path().string();
                if (kept.size() < 4 || kept.compare(kept.size() - 4, 4, "_del") != 0) continue;
                const std::string base = kept.substr(0, kept.size() - 4);
                if (!Output_IsInterruptedCommitTrace(base.c_str(), kept.c_str())) realBackup = true;
            }
            const int again = op.run(work.path());
            const std::optional<std::vector<uint8_t>> now2 = ReadImage(work.file(op.image));
            if (!realBackup) {
                EXPECT_EQ(again, DISK_OK) << what << ", run again";
            }
            EXPECT_TRUE(again == DISK_OK ? now2 == b.after : now2 == b.before)
                << what << ", run again (result " << again
                << "): the image is not what it should be";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, InPlaceFaultTable, ::testing::ValuesIn(TableRows()), TableRowName);

class InPlaceOperation : public InPlaceFaults, public ::testing::WithParamInterface<size_t> {};

// Every operation on an image whose files another process holds locked (as a running
// in-place operation does) is refused before it touches anything, and runs once they are free.
TEST_P(InPlaceOperation, IsRefusedWhileAnotherHoldsTheImage)
{
    const Operation op = Operations()[GetParam()];
    SCOPED_TRACE(op.name);
    Restore(Start(), work.path());
    // A child made over an existing file: the file it replaces is there already.
    if (!Os_PathExists(work.file(op.image).c_str())) {
        ASSERT_EQ(op.run(work.path()), DISK_OK);
    }
    const Files before = Snapshot(work.path());
    std::vector<std::string> paths;
    for (const auto& f : before) paths.push_back(work.file(f.first));
    Other holder(
        [&]() {
            // Held until the process ends: one record per file, whatever their number.
            static std::vector<InPlaceLock> locks;
            locks.resize(paths.size());
            int r = DISK_OK;
            for (size_t i = 0; i < paths.size() && r == DISK_OK; ++i) {
                InPlaceLock_Init(&locks[i]);
                const char* p = paths[i].c_str();
                r = InPlaceLock_Acquire(&locks[i], &p, 1);
            }
            return r;
        },
        []() { return DISK_OK; });
    ASSERT_TRUE(holder.Started());
    EXPECT_TRUE(InPlace_IsLockedElsewhere(work.file(op.image).c_str())) << Names(before);
    EXPECT_EQ(op.run(work.path()), DISK_ERR_IN_USE);
    const Files now = Snapshot(work.path());
    EXPECT_EQ(Names(now), Names(before));
    EXPECT_TRUE(now == before) << "a file changed";
    EXPECT_EQ(holder.Finish(), 0);
    EXPECT_EQ(op.run(work.path()), DISK_OK) << "once the image is free";
}

INSTANTIATE_TEST_SUITE_P(Each, InPlaceOperation, ::testing::Range<size_t>(0, Operations().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return RowName(Operations()[info.param].name);
                         });

// Two operations started on one image at once: the second is refused while the first holds the
// image, and the first completes; nothing of either is lost.
TEST_F(InPlaceFaults, ASecondOperationOnTheSameImageIsRefused)
{
    // A VHD compaction waits for its commit in another process; an expansion comes meanwhile.
    Restore(Start(), work.path());
    const std::string vhd = work.file("a.vhd");
    const std::optional<std::vector<uint8_t>> contents = ReadImage(vhd);
    ASSERT_TRUE(contents.has_value());
    {
        OutputFile output;
        DiskHandle disk;
        Other compaction(
            [&]() {
                Disk_Init(&disk);
                OutputFile_Init(&output);
                int r = Disk_OpenVhd(&disk, vhd.c_str(), false);
                if (r == DISK_OK)
                    r = Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, nullptr, nullptr);
                Disk_Close(&disk);
                return r;
            },
            [&]() { return Vhd_CommitCompact(&output, Del(), false, true); });
        ASSERT_TRUE(compaction.Started());
        EXPECT_EQ(VhdExpand(work.path()), DISK_ERR_IN_USE);
        EXPECT_EQ(compaction.Finish(), 0);
    }
    // The compacted image, at its old size, and the original as its backup.
    EXPECT_TRUE(ReadImage(vhd) == contents);
    EXPECT_TRUE(ReadImage(vhd + "_del") == contents);
    EXPECT_FALSE(Os_PathExists((vhd + "_TEMP").c_str()));

    // A qcow2 compaction holds the image while its backing name is to change.
    const std::string q = work.file("q.qcow2");
    const std::vector<uint8_t> qBefore = ReadFile(q);
    {
        OutputFile output;
        DiskHandle disk;
        Other compaction(
            [&]() {
                Disk_Init(&disk);
                OutputFile_Init(&output);
                int r = Disk_Open(&disk, q.c_str(), false);
                if (r == DISK_OK)
                    r = Qcow2_Compact(q.c_str(), &disk, nullptr, &output, false, nullptr, nullptr,
                                      nullptr);
                Disk_Close(&disk);
                return r;
            },
            [&]() { return Qcow2_CommitCompact(&output, Del(), OUTPUT_COMMIT_REMOVE_REPLACED); });
        ASSERT_TRUE(compaction.Started());
        EXPECT_EQ(Qcow2Relink(work.path(), "q.qcow2"), DISK_ERR_IN_USE);
        EXPECT_EQ(compaction.Finish(), 0);
    }
    // The refused change was reported; made now, it holds.
    EXPECT_EQ(Qcow2Relink(work.path(), "q.qcow2"), DISK_OK);
    const std::vector<uint8_t> qAfter = ReadFile(q);
    const std::string name = "qb2.qcow2";
    EXPECT_NE(std::search(qAfter.begin(), qAfter.end(), name.begin(), name.end()), qAfter.end());
    EXPECT_NE(qAfter, qBefore);

    // Within one process too: an operation of another thread is refused.
    {
        OutputFile output;
        OutputFile_Init(&output);
        DiskHandle disk;
        Disk_Init(&disk);
        ASSERT_EQ(Disk_OpenVhd(&disk, vhd.c_str(), false), DISK_OK);
        ASSERT_EQ(Vhd_Compact(vhd.c_str(), &disk, nullptr, &output, false, nullptr, nullptr),
                  DISK_OK);
        Disk_Close(&disk);
        int second = DISK_OK;
        std::thread other([&]() { second = VhdExpand(work.path()); });
        other.join();
        EXPECT_EQ(second, DISK_ERR_IN_USE);
        EXPECT_EQ(Vhd_CommitCompact(&output, Del(), OUTPUT_COMMIT_REPLACE_BACKUP, true), DISK_OK);
        EXPECT_TRUE(ReadImage(vhd) == contents);
    }
}

// A name planted at the temporary name between its choice and the creation of the file (here a
// symbolic link to a file outside the folder) is passed over: its target stays as it was.
TEST_F(InPlaceFaults, ALinkPlantedAtTheTemporaryNameIsNeverFollowed)
{
    TempDir outside;
    const std::string victim = outside.file("victim");
    WriteText(victim, "not an image");
    struct Plant {
        std::string victim;
        int planted = 0;
    } plant{victim};
    auto hook = [](const char* tempPath, void* user) {
        Plant* p = static_cast<Plant*>(user);
        if (p->planted++ == 0 && symlink(p->victim.c_str(), tempPath) != 0) p->planted = -100;
    };
    int plantedOps = 0;
    for (const Operation& op : Operations()) {
        SCOPED_TRACE(op.name);
        const Baseline b = Once(op);
        Restore(b.start, work.path());
        plant.planted = 0;
        Output_SetCreateHook(hook, &plant);
        const int r = op.run(work.path());
        Output_SetCreateHook(nullptr, nullptr);
        EXPECT_EQ(r, DISK_OK);
        EXPECT_NE(plant.planted, -100) << "no link could be planted";
        if (plant.planted > 0) ++plantedOps;
        const std::vector<uint8_t> target = ReadFile(victim);
        EXPECT_EQ(std::string(target.begin(), target.end()), "not an image");
        EXPECT_TRUE(ReadImage(work.file(op.image)) == b.after);
        // The planted link stays where it was put (it is not this program's to remove), and the
        // image's name is never that link.
        struct stat st;
        ASSERT_EQ(lstat(work.file(op.image).c_str(), &st), 0);
        EXPECT_FALSE(S_ISLNK(st.st_mode));
        for (const auto& e : fs::directory_iterator(work.path())) {
            if (!fs::is_symlink(e.symlink_status())) continue;
            EXPECT_EQ(fs::read_symlink(e.path()).string(), victim);
            fs::remove(e.path());
        }
    }
    // Every operation that writes a temporary file met the planted link.
    EXPECT_GE(plantedOps, 10);
}

// A commit killed between keeping the image under its "_del" name and renaming the new file in
// leaves that name as a second link to the image itself (and the whole new file under its
// temporary name): the next run takes it for what it is and succeeds.
TEST_F(InPlaceFaults, TheImageUnderItsOwnKeptNameDoesNotBlockTheNextRun)
{
    for (const Operation& op : Operations()) {
        if (op.severalFiles) continue;
        SCOPED_TRACE(op.name);
        const Baseline b = Once(op);
        Restore(b.start, work.path());
        if (!b.start.count(op.image)) {
            ASSERT_EQ(op.run(work.path()), DISK_OK);
        }
        const std::string image = work.file(op.image);
        const std::vector<uint8_t> before = ReadFile(image);
        ASSERT_EQ(link(image.c_str(), (image + "_del").c_str()), 0);
        WriteText(image + "_TEMP", "a whole new file of an interrupted run");
        struct stat a0, a, d;
        ASSERT_EQ(stat(image.c_str(), &a0), 0);
        const int r = op.run(work.path());
        EXPECT_EQ(r, DISK_OK);
        EXPECT_TRUE(ReadImage(image) == b.after);
        ASSERT_EQ(stat(image.c_str(), &a), 0);
        // Where the image's file was replaced, the kept name is gone or holds a real backup of
        // the image as it was (a file of its own).
        if (a.st_ino != a0.st_ino && stat((image + "_del").c_str(), &d) == 0) {
            EXPECT_FALSE(a.st_ino == d.st_ino && a.st_dev == d.st_dev);
            EXPECT_TRUE(ReadFile(image + "_del") == before);
        }
        // The leftover is never taken for the new file.
        const std::vector<uint8_t> leftover = ReadFile(image + "_TEMP");
        EXPECT_EQ(std::string(leftover.begin(), leftover.end()),
                  "a whole new file of an interrupted run");
    }
}

// Once the new file holds the image's name the change is made: a failure to remove the kept
// file, or to open the image again, is a note beside the success, never a failure.
TEST_F(InPlaceFaults, AfterTheSwitchCleanupFailuresAreNotesBesideSuccess)
{
    const Operation relink = {"vhd relink", "r.vhd", VhdRelink};
    const Baseline b = Once(relink);
    // The kept file cannot be removed: here it turns into a non-empty folder during the commit.
    auto blockRemoval = [](const char*, const char* keptPath, void*) {
        const std::string kept = keptPath;
        if (unlink(kept.c_str()) == 0 && mkdir(kept.c_str(), 0700) == 0)
            WriteText(kept + "/x", "x");
    };
    Restore(b.start, work.path());
    InPlace_TakeNote();
    Output_SetCommitHook(blockRemoval, nullptr);
    int r = VhdRelink(work.path());
    Output_SetCommitHook(nullptr, nullptr);
    EXPECT_EQ(r, DISK_OK);
    EXPECT_EQ(InPlace_TakeNote(), IN_PLACE_NOTE_BACKUP_LEFT);
    EXPECT_TRUE(ReadImage(work.file("r.vhd")) == b.after);
    EXPECT_TRUE(ReadFile(work.file("r.vhd")) == b.end.at("r.vhd"));

    // The parent the image now names goes away before the image is opened again.
    auto moveParent = [](const char*, const char*, void* user) {
        const std::string dir = *static_cast<std::string*>(user);
        rename((dir + "/b2.vhd").c_str(), (dir + "/b2.vhd.moved").c_str());
    };
    Restore(b.start, work.path());
    std::string dir = work.path();
    Output_SetCommitHook(moveParent, &dir);
    r = VhdRelink(work.path());
    Output_SetCommitHook(nullptr, nullptr);
    EXPECT_EQ(r, DISK_OK);
    EXPECT_EQ(InPlace_TakeNote(), IN_PLACE_NOTE_REOPEN_FAILED);
    EXPECT_TRUE(ReadFile(work.file("r.vhd")) == b.end.at("r.vhd"));
    EXPECT_FALSE(Os_PathExists(work.file("r.vhd_del").c_str()));

    // The same for a parameter change of a VMDK with a descriptor file of its own: its extent
    // goes away before the image is opened again.
    const Operation change = {
        "vmdk descriptor file parameter change", "f.vmdk",
        [](const std::string& d) { return VmdkChangeParameters(d, "f.vmdk"); }};
    const Baseline c = Once(change);
    Restore(c.start, work.path());
    auto moveExtent = [](const char*, const char*, void* user) {
        const std::string d = *static_cast<std::string*>(user);
        rename((d + "/f-flat.vmdk").c_str(), (d + "/f-flat.vmdk.moved").c_str());
    };
    Output_SetCommitHook(moveExtent, &dir);
    r = VmdkChangeParameters(work.path(), "f.vmdk");
    Output_SetCommitHook(nullptr, nullptr);
    EXPECT_EQ(r, DISK_OK);
    EXPECT_EQ(InPlace_TakeNote(), IN_PLACE_NOTE_REOPEN_FAILED);
    EXPECT_TRUE(ReadFile(work.file("f.vmdk")) == c.end.at("f.vmdk"));
}

}  // namespace
