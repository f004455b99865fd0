// How the Parallels writers treat their source and their output: the source is read once and only
// where it may hold data (used sectors of the map, ranges the source does not know to be zeros),
// blocks of zeros stay out of the table (our table and qemu-img map agree), a cancel or a failed
// write at any point leaves a file that neither we nor qemu-img take for an image, and a
// compacted file reaches stable storage once, when the commit syncs it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "support/test_support.h"
#include "volume/used_map.h"

using testsupport::HaveTool;
using testsupport::Quote;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

// ---- System call probes ------------------------------------------------------------------------
// This program's own pwrite64, fsync and fdatasync stand in front of the C library's for the
// engine linked into it: they count, fail a chosen write, note which files are synced, and pass
// everything else straight to the kernel.
namespace {

struct SyscallProbe {
    bool countWrites = false;
    uint64_t writes = 0;
    uint64_t failWriteAt = 0;  // 1-based; 0 fails none
    std::vector<std::pair<dev_t, ino_t>> synced;

    void Reset() { *this = SyscallProbe(); }
};
SyscallProbe g_probe;

void NoteSync(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0) g_probe.synced.emplace_back(st.st_dev, st.st_ino);
}

}  // namespace

extern "C" ssize_t pwrite64(int fd, const void* data, size_t n, off64_t offset)
{
    if (g_probe.countWrites && ++g_probe.writes == g_probe.failWriteAt) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_pwrite64, fd, data, n, offset);
}

extern "C" int fsync(int fd)
{
    NoteSync(fd);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd)
{
    NoteSync(fd);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

const std::string kGuid = "{5fbaabe3-6958-40ff-92a7-860e329aab41}";

uint32_t Get32(const std::vector<uint8_t>& f, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(f[at + i]) << (8 * i);
    return v;
}

std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, size_t n)
{
    std::vector<uint8_t> out(n, 0);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        EXPECT_EQ(pread(fd, out.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
        close(fd);
    }
    return out;
}

// The names in a directory, sorted.
std::vector<std::string> Names(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> DataFiles(const std::string& bundle)
{
    std::vector<std::string> files;
    for (const std::string& n : Names(bundle))
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".hds") == 0)
            files.push_back(bundle + "/" + n);
    return files;
}

// ---- A source that tells what was read -----------------------------------------------------------
// A disk of the empty table slot 15: every sector is one of the kinds below, and every read is
// counted per sector. Its range query reads the used sectors, as a raw disk's does; it knows its
// holes (no parent, nothing stored there). The map of the same disk (a stand-in file system over
// it) calls the "free" sectors free; they hold garbage.
enum SectorKind : uint8_t { kHole = 0, kData, kZeros, kFree };

const DiskKind kProbeKind = 15;
const FsKind kProbeFs = FS_KIND_UNSUPPORTED;

struct ProbeDisk {
    DiskGeometry geometry;
    std::vector<uint8_t> kinds;  // per sector
    std::vector<uint8_t> reads;  // per sector, saturating at 255
};

uint8_t DataByte(uint64_t sector, uint32_t i)
{
    return static_cast<uint8_t>(((sector * 131 + i * 7) & 0xFF) | 1);
}

// What a sector reads as (garbage for free sectors).
void FillSector(const ProbeDisk& p, uint64_t s, uint8_t* out)
{
    switch (p.kinds[s]) {
    case kData:
        for (uint32_t i = 0; i < 512; i++) out[i] = DataByte(s, i);
        break;
    case kFree:
        std::memset(out, 0xEE, 512);
        break;
    default:
        std::memset(out, 0, 512);
    }
}

int ProbeRead(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    ProbeDisk* p = static_cast<ProbeDisk*>(object);
    if (offset % 512 != 0 || length % 512 != 0 || (offset + length) / 512 > p->kinds.size())
        return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint64_t s = offset / 512; s < (offset + length) / 512; s++, out += 512) {
        if (p->reads[s] != 255) p->reads[s]++;
        FillSector(*p, s, out);
    }
    return DISK_OK;
}

void ProbeGeometry(void* object, DiskGeometry* out)
{
    *out = static_cast<ProbeDisk*>(object)->geometry;
}

int ProbeUsedBits(void* object, uint64_t first, uint32_t count, uint8_t* bitmap, uint32_t bitOffset)
{
    const ProbeDisk* p = static_cast<const ProbeDisk*>(object);
    for (uint32_t i = 0; i < count; i++)
        Fs_SetBits(bitmap, bitOffset + i, 1, p->kinds[first + i] != kFree);
    return DISK_OK;
}

int ProbeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
               RangeProgressAdapter, RangeProgressRecord*)
{
    *empty = true;
    uint8_t sector[512];
    for (uint64_t s = first; s < first + count; s++) {
        uint8_t bit = 1;
        if (map != nullptr && UsedMap_GetUsedBits(map, s, 1, &bit) != DISK_OK) return DISK_ERR_ARG;
        if ((bit & 1) == 0) continue;
        ProbeRead(object, s * 512, 512, sector);
        if (!Mem_IsZero(sector, 512)) {
            *empty = false;
            return DISK_OK;
        }
    }
    return DISK_OK;
}

int ProbeUnallocated(void* object, UsedSectorMap*, uint64_t first, uint32_t count, bool* out)
{
    const ProbeDisk* p = static_cast<const ProbeDisk*>(object);
    *out = std::all_of(p->kinds.begin() + first, p->kinds.begin() + first + count,
                       [](uint8_t k) { return k == kHole; });
    return DISK_OK;
}

// Puts the probe into the slots for one test and takes it out again.
class ProbeSlots {
public:
    ProbeSlots()
        : geometry_(DiskGeometryTable[kProbeKind]),
          read_(DiskReadTable[kProbeKind]),
          empty_(DiskRangeEmptyTable[kProbeKind]),
          unallocated_(DiskRangeUnallocatedTable[kProbeKind]),
          bits_(FsUsedBitsTable[kProbeFs])
    {
        DiskGeometryTable[kProbeKind] = ProbeGeometry;
        DiskReadTable[kProbeKind] = ProbeRead;
        DiskRangeEmptyTable[kProbeKind] = ProbeEmpty;
        DiskRangeUnallocatedTable[kProbeKind] = ProbeUnallocated;
        FsUsedBitsTable[kProbeFs] = ProbeUsedBits;
    }
    ~ProbeSlots()
    {
        DiskGeometryTable[kProbeKind] = geometry_;
        DiskReadTable[kProbeKind] = read_;
        DiskRangeEmptyTable[kProbeKind] = empty_;
        DiskRangeUnallocatedTable[kProbeKind] = unallocated_;
        FsUsedBitsTable[kProbeFs] = bits_;
    }

private:
    DiskGeometryFn geometry_;
    DiskReadFn read_;
    DiskRangeEmptyFn empty_;
    DiskRangeUnallocatedFn unallocated_;
    FsUsedBitsFn bits_;
};

// ---- Writers ---------------------------------------------------------------------------------------

enum Layout { kSingleFile, kDataFile, kPlainFile };

const char* LayoutName(Layout l)
{
    return l == kSingleFile ? "SingleFile" : l == kDataFile ? "DataFile" : "PlainFile";
}

int Write(Layout layout, const std::string& out, const DiskHandle* source, UsedSectorMap* map,
          ProgressCallback cb, void* user, uint32_t split = 0)
{
    if (layout == kSingleFile) return Parallels_Create(out.c_str(), source, map, cb, user, 0);
    const ParallelsBundleCreateOptions o = {static_cast<uint8_t>(layout == kDataFile ? 1 : 0),
                                            split, 0};
    return ParallelsBundle_Create(out.c_str(), source, map, cb, user, &o);
}

// The file whose blocks are checked: the single file, or the bundle's one data file.
std::string TargetFile(Layout layout, const std::string& out)
{
    if (layout == kSingleFile) return out;
    const std::vector<std::string> files = DataFiles(out);
    return files.size() == 1 ? files[0] : out + "/missing.hds";
}

// Byte ranges [start, start + length) that qemu-img map reports as data.
std::vector<std::pair<uint64_t, uint64_t>> QemuDataRanges(const std::string& image,
                                                          std::string* log)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (RunCommand("qemu-img map --output=json -f parallels " + Quote(image) + " 2>&1", log) != 0)
        return ranges;
    static const std::regex entry(
        "\"start\": ([0-9]+), \"length\": ([0-9]+),[^}]*\"data\": (true|false)");
    for (std::sregex_iterator i(log->begin(), log->end(), entry), end; i != end; ++i)
        if ((*i)[3] == "true")
            ranges.emplace_back(std::stoull((*i)[1]), std::stoull((*i)[1]) + std::stoull((*i)[2]));
    return ranges;
}

// ---- The source is read once, where it may hold data; zero blocks stay out ----------------------

struct Span {
    uint64_t first, count;
    SectorKind kind;
};

struct ReadCase {
    const char* name;
    Layout layout;
    uint32_t heads, sectorsPerTrack;
    uint64_t total;
    bool withMap;
    std::vector<Span> spans;  // everything else is a hole
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class WriterReads : public ::testing::TestWithParam<ReadCase> {
protected:
    void SetUp() override
    {
        const ReadCase& c = GetParam();
        probe_.geometry = DiskGeometry{};
        probe_.geometry.heads = c.heads;
        probe_.geometry.sectors_per_track = c.sectorsPerTrack;
        probe_.geometry.bytes_per_sector = 512;
        Geometry_SetTotalSectors(&probe_.geometry, c.total);
        probe_.kinds.assign(c.total, kHole);
        probe_.reads.assign(c.total, 0);
        for (const Span& s : c.spans)
            std::fill(probe_.kinds.begin() + s.first, probe_.kinds.begin() + s.first + s.count,
                      s.kind);
        source_ = DiskHandle{kProbeKind, &probe_};
        region_ = VolumeRegion{0, c.total, kProbeFs, &probe_};
        map_ = UsedSectorMap{512, 1, &region_};
    }

    // What the written disk holds at a sector: the data, and the free sectors' garbage only
    // when no map says they are free.
    bool Holds(uint64_t s) const
    {
        return s < probe_.kinds.size() &&
               (probe_.kinds[s] == kData || (probe_.kinds[s] == kFree && !GetParam().withMap));
    }
    void Expected(uint64_t s, uint8_t* out) const
    {
        if (Holds(s))
            FillSector(probe_, s, out);
        else
            std::memset(out, 0, 512);
    }

    // The sectors that are read and tested together: a block, or a piece of a block larger than
    // the writers' 1 MiB batch; 2 MiB pieces of a plain file.
    std::vector<std::pair<uint64_t, uint64_t>> Units(uint64_t blockSectors) const
    {
        std::vector<std::pair<uint64_t, uint64_t>> units;
        const uint64_t piece =
            GetParam().layout == kPlainFile ? 4096 : std::min<uint64_t>(blockSectors, 2048);
        const uint64_t block = GetParam().layout == kPlainFile ? GetParam().total : blockSectors;
        for (uint64_t b = 0; b < GetParam().total; b += block)
            for (uint64_t p = b; p < std::min(b + block, GetParam().total); p += piece)
                units.emplace_back(p, std::min({p + piece, b + block, GetParam().total}));
        return units;
    }

    ProbeSlots slots_;
    ProbeDisk probe_;
    DiskHandle source_;
    VolumeRegion region_;
    UsedSectorMap map_;
    TempDir dir_;
};

// Progress reports: never past the total, never going back.
struct ProgressTrace {
    uint64_t last = 0, total = 0, calls = 0;
    bool pastTotal = false, backwards = false;
    static bool Cb(uint64_t done, uint64_t total, void* user)
    {
        ProgressTrace* t = static_cast<ProgressTrace*>(user);
        t->pastTotal = t->pastTotal || done > total;
        t->backwards = t->backwards || done < t->last;
        t->last = done;
        t->total = total;
        t->calls++;
        return true;
    }
};

TEST_P(WriterReads, EachUsedSectorOnceAndBlocksOfZerosLeftOut)
{
    const ReadCase& c = GetParam();
    const std::string out = dir_.file("w.hdd");
    ProgressTrace progress;
    ASSERT_EQ(Write(c.layout, out, &source_, c.withMap ? &map_ : nullptr, ProgressTrace::Cb,
                    &progress),
              DISK_OK);
    EXPECT_GT(progress.calls, 0u);
    EXPECT_FALSE(progress.pastTotal) << "last report " << progress.last << " of " << progress.total;
    EXPECT_FALSE(progress.backwards);
    EXPECT_EQ(progress.last, progress.total);
    const std::string file = TargetFile(c.layout, out);
    const uint64_t blockSectors = c.layout == kSingleFile
                                      ? c.sectorsPerTrack
                                      : Parallels_BlockSectors(c.heads, c.sectorsPerTrack);

    // Reads: never twice, never a free sector, never a piece that the source knows holds nothing.
    for (uint64_t s = 0; s < c.total; s++) {
        ASSERT_LE(probe_.reads[s], 1) << "sector " << s << " read again";
        if (c.withMap && probe_.kinds[s] == kFree) {
            ASSERT_EQ(probe_.reads[s], 0) << "free sector " << s;
        }
        if (probe_.kinds[s] == kData || probe_.kinds[s] == kZeros) {
            ASSERT_EQ(probe_.reads[s], 1) << s;
        }
    }
    // Inside a block that holds data, a hole is read at most at its two edges, where it shares
    // a 64 KiB step of a used run with data: never more than 256 of its sectors.
    for (uint64_t s = 0; s < c.total;) {
        if (probe_.kinds[s] != kHole) {
            s++;
            continue;
        }
        uint64_t e = s, read = 0;
        for (; e < c.total && probe_.kinds[e] == kHole; e++) read += probe_.reads[e];
        EXPECT_LE(read, 256u) << "hole [" << s << ", " << e << ")";
        s = e;
    }
    for (const auto& u : Units(blockSectors)) {
        const bool hole =
            std::all_of(probe_.kinds.begin() + u.first, probe_.kinds.begin() + u.second,
                        [](uint8_t k) { return k == kHole; });
        for (uint64_t s = u.first; hole && s < u.second; s++) {
            ASSERT_EQ(probe_.reads[s], 0) << "hole sector " << s;
        }
    }

    // The disk reads back as the source with zeros for what it does not hold.
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, out.c_str(), true), DISK_OK);
    DiskGeometry g = {};
    Disk_GetGeometry(&h, &g);
    const uint64_t diskSectors = Geometry_GetTotalSectors(&g);
    ASSERT_GE(diskSectors, c.total);
    std::vector<uint8_t> got(1 << 20), want(1 << 20);
    for (uint64_t s = 0; s < diskSectors; s += got.size() / 512) {
        const uint64_t n = std::min<uint64_t>(got.size() / 512, diskSectors - s);
        ASSERT_EQ(Disk_Read(&h, s * 512, static_cast<uint32_t>(n * 512), got.data()), DISK_OK);
        for (uint64_t i = 0; i < n; i++) Expected(s + i, want.data() + i * 512);
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + n * 512, want.begin()))
            << "near sector " << s;
    }
    Disk_Close(&h);

    // The same, sparse, for qemu-img.
    const std::string reference = dir_.file("ref.raw");
    {
        const int fd = open(reference.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const uint64_t refSectors = c.layout == kSingleFile ? diskSectors : c.total;
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(refSectors * 512)), 0);
        uint8_t sector[512];
        for (uint64_t s = 0; s < c.total; s++) {
            if (!Holds(s)) continue;
            FillSector(probe_, s, sector);
            ASSERT_EQ(::pwrite(fd, sector, 512, static_cast<off_t>(s * 512)), 512);
        }
        close(fd);
    }

    if (c.layout == kPlainFile) {
        // Plain sectors: the file is the disk.
        std::vector<uint8_t> f = ReadFile(file);
        ASSERT_EQ(f.size(), c.total * 512);
        EXPECT_TRUE(f == ReadFile(reference));
        return;
    }

    // A block is in the table exactly when it holds data.
    const std::vector<uint8_t> head = ReadRange(file, 0, 64);
    const uint32_t entries = Get32(head, 32);
    ASSERT_EQ(Get32(head, 28), blockSectors);
    const std::vector<uint8_t> table = ReadRange(file, 64, entries * 4ull);
    std::vector<bool> stored(entries, false);
    for (uint32_t k = 0; k < entries; k++) {
        for (uint64_t s = k * blockSectors; s < (k + 1) * blockSectors && !stored[k]; s++)
            stored[k] = Holds(s);
        ASSERT_EQ(Get32(table, 4 * k) != 0, stored[k]) << "block " << k;
    }

    if (!HaveTool("qemu-img")) return;
    std::string log;
    EXPECT_EQ(RunCommand("qemu-img check -f parallels " + Quote(file) + " 2>&1", &log), 0) << log;
    EXPECT_EQ(RunCommand("qemu-img compare -f parallels -F raw " + Quote(file) + " " +
                             Quote(reference) + " 2>&1",
                         &log),
              0)
        << log;
    // qemu-img map shows data exactly where the table stores blocks.
    std::vector<bool> mapped(entries, false);
    for (const auto& r : QemuDataRanges(file, &log)) {
        ASSERT_EQ(r.first % (blockSectors * 512), 0u) << log;
        for (uint64_t k = r.first / (blockSectors * 512);
             k * blockSectors * 512 < r.second && k < entries; k++)
            mapped[k] = true;
    }
    for (uint32_t k = 0; k < entries; k++)
        ASSERT_EQ(mapped[k], stored[k]) << "block " << k << "\n" << log;
}

// Spans over the small geometry (4 heads, 16 sectors: single-file blocks of 16 sectors, data-file
// blocks of 32): data, a used block of zeros, free garbage, holes, a block half free and half
// data, data in a block otherwise a hole, and a total that leaves the last block partial.
std::vector<Span> SmallSpans()
{
    return {{0, 16, kData},     {16, 48, kZeros},  {64, 64, kFree}, {300, 8, kFree},
            {308, 4, kData},    {312, 36, kZeros}, {520, 3, kData}, {1024, 70, kFree},
            {2000, 200, kData}, {2560, 5, kData}};
}

// One-sector blocks: more table entries than the writers keep in memory at once, with data on
// both sides of where their window moves on.
std::vector<Span> WideTableSpans()
{
    return {{5, 4, kData},      {100, 10, kZeros},    {200000, 10, kFree},
            {262140, 8, kData}, {263000, 100, kFree}, {263143, 1, kData}};
}

// Blocks of 10000 sectors, larger than the 1 MiB batch (4 x 2048 + 1808 sectors): data only at a
// block's start; data after first pieces that are a hole (the block is placed there, those pieces
// stay unread); a block of used zeros; a free block; a partial last block.
std::vector<Span> LargeBlockSpans()
{
    return {{0, 10, kData},
            {18192, 8, kData},
            {20000, 10000, kZeros},
            {30000, 10000, kFree},
            {40000, 100, kData}};
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WriterReads,
    ::testing::Values(
        ReadCase{"SingleSmall", kSingleFile, 4, 16, 2565, true, SmallSpans()},
        ReadCase{"SingleSmallNoMap", kSingleFile, 4, 16, 2565, false, SmallSpans()},
        ReadCase{"DataSmall", kDataFile, 4, 16, 2565, true, SmallSpans()},
        ReadCase{"PlainSmall", kPlainFile, 4, 16, 2565, true, SmallSpans()},
        // A hole from the first block on to a partial last batch.
        ReadCase{"SingleTrailingHole", kSingleFile, 4, 16, 5000, true, {{0, 16, kData}}},
        ReadCase{"SingleWideTable", kSingleFile, 1, 1, 263144, true, WideTableSpans()},
        ReadCase{"DataWideTable", kDataFile, 1, 1, 263144, true, WideTableSpans()},
        ReadCase{"SingleLargeBlocks", kSingleFile, 1, 10000, 40100, true, LargeBlockSpans()},
        ReadCase{"DataLargeBlocks", kDataFile, 1, 10000, 40100, true, LargeBlockSpans()},
        ReadCase{"PlainLargeHoles",
                 kPlainFile,
                 1,
                 10000,
                 40100,
                 true,
                 {{0, 10, kData}, {16384, 4096, kZeros}, {24576, 8192, kFree}, {40099, 1, kData}}}),
    [](const ::testing::TestParamInfo<ReadCase>& i) { return std::string(i.param.name); });

// ---- A cancel or a failed write leaves no image ---------------------------------------------------

struct FaultCase {
    const char* name;
    Layout layout;
    uint32_t split;  // sectors per storage of a bundle (0: one)
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Answers "go on" until call number `stopAt` (counting from 1).
struct StopAt {
    uint32_t stopAt = 0;
    uint32_t calls = 0;
    static bool Cb(uint64_t, uint64_t, void* user)
    {
        StopAt* s = static_cast<StopAt*>(user);
        return ++s->calls != s->stopAt;
    }
};

class WriterFaults : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override
    {
        // 16 heads, 63 sectors, 20 cylinders: about 10 MiB, some batches; data everywhere.
        geometry_ = DiskGeometry{0, 16, 63, 512, 0};
        Geometry_SetTotalSectors(&geometry_, 16 * 63 * 20);
        data_ = testsupport::RandomBytes(16 * 63 * 20 * 512, 41);
        WriteFile(dir_.file("source.raw"), data_);
        Disk_Init(&source_);
        ASSERT_EQ(Disk_OpenRaw(&source_, dir_.file("source.raw").c_str(), true, 0, &geometry_),
                  DISK_OK);
    }
    void TearDown() override
    {
        g_probe.Reset();
        Disk_Close(&source_);
    }

    // Neither we nor qemu-img (for a file it reads) take what is left for an image.
    void ExpectNoImage(const std::string& out)
    {
        const FaultCase& c = GetParam();
        DiskHandle h;
        Disk_Init(&h);
        const int own = Disk_OpenByKind(
            &h, out.c_str(), true,
            c.layout == kSingleFile ? DISK_KIND_PARALLELS : DISK_KIND_PARALLELS_BUNDLE);
        EXPECT_NE(own, DISK_OK);
        Disk_Close(&h);
        Disk_Init(&h);
        EXPECT_NE(Disk_Open(&h, out.c_str(), true), DISK_OK) << "kind " << Disk_GetKind(&h);
        Disk_Close(&h);
        std::vector<std::string> files;
        if (c.layout == kSingleFile) files.push_back(out);
        // Of several storages, those written before the fault are whole; the descriptor that
        // would make them a disk is written last.
        if (c.layout == kDataFile && c.split == 0) files = DataFiles(out);
        for (const std::string& f : files) {
            ParallelsDataFile df;
            ParallelsData_Init(&df);
            if (c.layout == kDataFile) {
                EXPECT_NE(ParallelsData_Open(&df, f.c_str(), true, 0, nullptr, 0), DISK_OK);
            }
            ParallelsData_Close(&df);
            std::string log;
            if (HaveTool("qemu-img")) {
                EXPECT_NE(RunCommand("qemu-img info -f parallels " + Quote(f) + " 2>&1", &log), 0)
                    << log;
            }
        }
    }

    TempDir dir_;
    DiskGeometry geometry_;
    std::vector<uint8_t> data_;
    DiskHandle source_;
};

TEST_P(WriterFaults, CancelAtAnyProgressCallLeavesNoImage)
{
    const FaultCase& c = GetParam();
    StopAt count;
    ASSERT_EQ(
        Write(c.layout, dir_.file("whole.hdd"), &source_, nullptr, StopAt::Cb, &count, c.split),
        DISK_OK);
    ASSERT_GE(count.calls, 3u);
    for (uint32_t n = 1; n <= count.calls; n++) {
        SCOPED_TRACE("cancelled at call " + std::to_string(n));
        const std::string out = dir_.file("c" + std::to_string(n) + ".hdd");
        StopAt stop;
        stop.stopAt = n;
        ASSERT_EQ(Write(c.layout, out, &source_, nullptr, StopAt::Cb, &stop, c.split),
                  DISK_CANCELLED);
        ExpectNoImage(out);
    }
}

TEST_P(WriterFaults, FailedWriteAtAnyPointLeavesNoImage)
{
    const FaultCase& c = GetParam();
    const std::string whole = dir_.file("whole.hdd");
    g_probe.countWrites = true;
    ASSERT_EQ(Write(c.layout, whole, &source_, nullptr, nullptr, nullptr, c.split), DISK_OK);
    const uint64_t writes = g_probe.writes;
    g_probe.Reset();
    ASSERT_GE(writes, 3u);
    // The whole run reads as the source.
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, whole.c_str(), true), DISK_OK);
    std::vector<uint8_t> back(data_.size());
    ASSERT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(back.size()), back.data()), DISK_OK);
    EXPECT_TRUE(back == data_);
    Disk_Close(&h);
    for (uint64_t n = 1; n <= writes; n++) {
        SCOPED_TRACE("write " + std::to_string(n) + " of " + std::to_string(writes) + " failed");
        const std::string out = dir_.file("f" + std::to_string(n) + ".hdd");
        g_probe.countWrites = true;
        g_probe.failWriteAt = n;
        const int rc = Write(c.layout, out, &source_, nullptr, nullptr, nullptr, c.split);
        g_probe.Reset();
        ASSERT_EQ(rc, DISK_ERR_WRITE);
        ExpectNoImage(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterFaults,
                         ::testing::Values(FaultCase{"SingleFile", kSingleFile, 0},
                                           FaultCase{"BundleCompressed", kDataFile, 0},
                                           FaultCase{"BundleCompressedSplit", kDataFile, 4032},
                                           FaultCase{"BundlePlainSplit", kPlainFile, 4032}),
                         [](const ::testing::TestParamInfo<FaultCase>& i) {
                             return std::string(i.param.name);
                         });

// ---- Compaction: one sync per file, by the commit ------------------------------------------------

uint32_t TimesSynced(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return static_cast<uint32_t>(std::count(g_probe.synced.begin(), g_probe.synced.end(),
                                            std::make_pair(st.st_dev, st.st_ino)));
}

class CompactionSync : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override
    {
        // 4 heads, 16 sectors, 40 cylinders; every third block zero.
        geometry_ = DiskGeometry{0, 4, 16, 512, 0};
        Geometry_SetTotalSectors(&geometry_, 4 * 16 * 40);
        data_ = testsupport::RandomBytes(4 * 16 * 40 * 512, 7);
        for (size_t b = 0; b < data_.size() / 8192; b += 3)
            std::memset(data_.data() + b * 8192, 0, 8192);
        WriteFile(dir_.file("source.raw"), data_);
        DiskHandle raw;
        Disk_Init(&raw);
        ASSERT_EQ(Disk_OpenRaw(&raw, dir_.file("source.raw").c_str(), true, 0, &geometry_),
                  DISK_OK);
        image_ = dir_.file("img.hdd");
        ASSERT_EQ(Write(GetParam(), image_, &raw, nullptr, nullptr, nullptr), DISK_OK);
        Disk_Close(&raw);
    }
    void TearDown() override { g_probe.Reset(); }

    int Compact(const DiskHandle* h, OutputFile* file, OutputList* list)
    {
        if (GetParam() == kSingleFile)
            return Parallels_Compact(image_.c_str(), h, nullptr, file, false, nullptr, nullptr);
        return ParallelsBundle_Compact(image_.c_str(), h, nullptr, list, false, nullptr, nullptr);
    }
    int Commit(OutputFile* file, OutputList* list)
    {
        const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
        if (GetParam() == kSingleFile)
            return Parallels_CommitCompact(file, suffix, OUTPUT_COMMIT_REMOVE_REPLACED);
        return ParallelsBundle_CommitCompact(list, suffix, OUTPUT_COMMIT_REMOVE_REPLACED);
    }
    void Discard(OutputFile* file, OutputList* list)
    {
        if (GetParam() == kSingleFile)
            Parallels_DiscardCompact(file);
        else
            ParallelsBundle_DiscardCompact(list);
    }
    std::vector<std::string> Files() const
    {
        return GetParam() == kSingleFile ? std::vector<std::string>{image_} : DataFiles(image_);
    }

    TempDir dir_;
    DiskGeometry geometry_;
    std::vector<uint8_t> data_;
    std::string image_;
};

TEST_P(CompactionSync, EachNewFileIsSyncedOnceByTheCommit)
{
    DiskHandle h;
    Disk_Init(&h);
    ASSERT_EQ(Disk_Open(&h, image_.c_str(), true), DISK_OK);
    OutputFile file;
    OutputList list;
    OutputList_Init(&list);
    ASSERT_EQ(Compact(&h, &file, &list), DISK_OK);
    Disk_Close(&h);
    const std::vector<std::pair<dev_t, ino_t>> beforeCommit = g_probe.synced;
    ASSERT_EQ(Commit(&file, &list), DISK_OK);
    const std::vector<std::string> files = Files();
    ASSERT_FALSE(files.empty());
    for (const std::string& f : files) {
        EXPECT_EQ(TimesSynced(f), 1u) << f;
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0);
        EXPECT_EQ(std::count(beforeCommit.begin(), beforeCommit.end(),
                             std::make_pair(st.st_dev, st.st_ino)),
                  0)
            << f << " synced while it was written";
    }
    ASSERT_EQ(Disk_Open(&h, image_.c_str(), true), DISK_OK);
    std::vector<uint8_t> back(data_.size());
    ASSERT_EQ(Disk_Read(&h, 0, static_cast<uint32_t>(back.size()), back.data()), DISK_OK);
    EXPECT_TRUE(back == data_);
    Disk_Close(&h);
}

// A write that fails at any point of the compaction leaves the image as it was, and no
// temporary file once the operation is discarded.
TEST_P(CompactionSync, FailedWriteLeavesTheImageAsItWas)
{
    const std::string folder = GetParam() == kSingleFile ? dir_.path() : image_;
    const std::vector<std::string> names = Names(folder);
    const std::vector<std::string> files = Files();
    std::vector<std::vector<uint8_t>> before;
    for (const std::string& f : files) before.push_back(ReadFile(f));
    // failAt 0 counts the writes of a whole run.
    uint64_t writes = 0;
    for (uint64_t failAt = 0; failAt <= writes; failAt++) {
        SCOPED_TRACE("write " + std::to_string(failAt) + " of " + std::to_string(writes) +
                     " failed");
        DiskHandle h;
        Disk_Init(&h);
        ASSERT_EQ(Disk_Open(&h, image_.c_str(), true), DISK_OK);
        OutputFile file;
        OutputList list;
        OutputList_Init(&list);
        g_probe.countWrites = true;
        g_probe.failWriteAt = failAt;
        const int rc = Compact(&h, &file, &list);
        if (failAt == 0) writes = g_probe.writes;
        g_probe.Reset();
        Disk_Close(&h);
        EXPECT_EQ(rc, failAt == 0 ? DISK_OK : DISK_ERR_WRITE);
        Discard(&file, &list);
        EXPECT_EQ(Names(folder), names);
        for (size_t i = 0; i < files.size(); i++)
            EXPECT_TRUE(ReadFile(files[i]) == before[i]) << files[i];
    }
    EXPECT_GE(writes, 2u);
}

INSTANTIATE_TEST_SUITE_P(Images, CompactionSync, ::testing::Values(kSingleFile, kDataFile),
                         [](const ::testing::TestParamInfo<Layout>& i) {
                             return std::string(LayoutName(i.param));
                         });

}  // namespace
