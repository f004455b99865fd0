// What the fault-injection tables of this folder share: folder snapshots, the probing read of a
// whole image, the fault-free count of an operation's calls, one run with its Nth call failing
// or killed, and the naming of table rows.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "foundation/path.h"
#include "safety/fault_shim.h"
#include "support/test_support.h"

namespace faultruns {

// Files of a folder by relative name; a folder is an entry of its own (its name ending in "/"),
// so that one left behind shows.
typedef std::map<std::string, std::vector<uint8_t>> Files;

inline Files Snapshot(const std::string& dir)
{
    namespace fs = std::filesystem;
    Files files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(e.path(), dir).string();
        if (e.is_directory() && !e.is_symlink())
            files[name + "/"] = {};
        else
            files[name] = testsupport::ReadFile(e.path().string());
    }
    return files;
}

// Makes the folder hold exactly `files`.
inline void Restore(const Files& files, const std::string& dir)
{
    namespace fs = std::filesystem;
    for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
    for (const auto& f : files) {
        const std::string path = dir + "/" + f.first;
        if (!f.first.empty() && f.first.back() == '/') {
            fs::create_directories(path);
            continue;
        }
        fs::create_directories(fs::path(path).parent_path());
        testsupport::WriteFile(path, f.second);
    }
}

inline std::string Names(const Files& files)
{
    std::string s;
    for (const auto& f : files) s += f.first + " ";
    return s;
}

// The whole virtual disk through the probing open (parents required); nothing when it does not
// open or cannot be read completely.
inline std::optional<std::vector<uint8_t>> ReadImage(const std::string& path)
{
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_Open(&disk, path.c_str(), true) != DISK_OK) return std::nullopt;
    DiskGeometry g{};
    Disk_GetGeometry(&disk, &g);
    std::vector<uint8_t> bytes(Geometry_GetTotalSectors(&g) * g.bytes_per_sector);
    int r = bytes.empty() ? DISK_OK
                          : Disk_Read(&disk, 0, static_cast<uint32_t>(bytes.size()), bytes.data());
    Disk_Close(&disk);
    if (r != DISK_OK) return std::nullopt;
    return bytes;
}

// A shell command, its output dropped: its exit status.
inline int Quiet(const std::string& command)
{
    return testsupport::RunCommand(command + " >/dev/null 2>&1");
}

inline TextView Del() { return Path_DeleteSuffix(TEXT_ENC_UTF8); }

// The kinds of calls a table fails one by one, in the order of CallCounts.
constexpr unsigned kKinds[4] = {faultshim::kWrite, faultshim::kSync, faultshim::kRename,
                                faultshim::kLink};

struct CallCounts {
    uint64_t calls[4];  // per kind of kKinds
    uint64_t Total() const { return calls[0] + calls[1] + calls[2] + calls[3]; }
};

// Runs the operation once per kind from the files `start` in `dir`, counting the calls of that
// kind; every such fault-free run must succeed.
inline CallCounts CountCalls(const Files& start, const std::string& dir,
                             const std::function<int()>& run, const std::string& name)
{
    CallCounts c{};
    for (int k = 0; k < 4; ++k) {
        Restore(start, dir);
        faultshim::Arm(kKinds[k], 0);
        const int r = run();
        c.calls[k] = faultshim::Disarm();
        EXPECT_EQ(r, DISK_OK) << name;
    }
    return c;
}

// The run of the operation whose call `n` of kind `kind` fails: its result; *fired tells
// whether that call was reached.
inline int RunFailingAt(unsigned kind, uint64_t n, const std::function<int()>& run, bool* fired)
{
    faultshim::Arm(kind, n);
    const int r = run();
    faultshim::Disarm();
    *fired = faultshim::Fired();
    return r;
}

// Runs the operation in a child process killed with SIGKILL just before its call `n` of any
// kind: whether it was killed so.
inline bool RunKilledBefore(uint64_t n, const std::function<int()>& run)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == -1) return false;
    if (pid == 0) {
        faultshim::Arm(faultshim::kAll, n, faultshim::kKill);
        const int r = run();
        _exit(r == DISK_OK ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// A step of a table: call `n` of kind kKinds[kind] (kind 4: of any kind, counted together).
struct Step {
    int kind;
    uint64_t n;
};

// The steps of part `part` (0-based) of `parts` equal runs of consecutive steps: every call of
// every kind in turn, or every call of any kind when `anyKind`.
inline std::vector<Step> PartSteps(const CallCounts& c, bool anyKind, unsigned part, unsigned parts)
{
    std::vector<Step> all;
    if (anyKind) {
        for (uint64_t n = 1; n <= c.Total(); ++n) all.push_back({4, n});
    } else {
        for (int k = 0; k < 4; ++k)
            for (uint64_t n = 1; n <= c.calls[k]; ++n) all.push_back({k, n});
    }
    const size_t from = all.size() * part / parts, to = all.size() * (part + 1) / parts;
    return std::vector<Step>(all.begin() + static_cast<std::ptrdiff_t>(from),
                             all.begin() + static_cast<std::ptrdiff_t>(to));
}

// A row name of letters, digits and underscores from a readable name.
inline std::string RowName(const std::string& readable)
{
    std::string name;
    for (char c : readable) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// A fixture whose starting images are made once for its suite into a template folder (the
// suite's SetUpTestSuite fills templateDir_, and leaves it NULL when they cannot be made, so
// that every test is skipped); each test restores them into a folder of its own.
template <class Suite>
class TemplateImages : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        delete templateDir_;
        templateDir_ = nullptr;
    }
    void SetUp() override
    {
        if (templateDir_ == nullptr)
            GTEST_SKIP() << "qemu-img or qemu-io missing, or the images could not be made";
    }
    // Files of every operation's starting point.
    static Files Start() { return Snapshot(templateDir_->path()); }

    static testsupport::TempDir* templateDir_;
};
template <class Suite>
testsupport::TempDir* TemplateImages<Suite>::templateDir_ = nullptr;

// The rows of an operation table: each operation's calls cut into its `parts` parts.
template <class Row, class Operation>
std::vector<Row> PartRows(const std::vector<Operation>& ops)
{
    std::vector<Row> rows;
    for (size_t i = 0; i < ops.size(); ++i)
        for (unsigned part = 0; part < ops[i].parts; ++part)
            rows.push_back({i, part, ops[i].parts});
    return rows;
}

// A row's test name: the operation's, with the part when its calls are cut into several.
inline std::string PartRowName(const std::string& operation, unsigned part, unsigned parts)
{
    std::string name = operation;
    if (parts > 1)
        name += " calls part " + std::to_string(part + 1) + " of " + std::to_string(parts);
    return RowName(name);
}

// What a step is called in the messages: call `n` of `calls` of the kind failing, or the run
// killed before call `n` of `calls`.
inline std::string FailingCallText(const std::string& operation, unsigned kind, uint64_t n,
                                   uint64_t calls)
{
    return operation + ", " + faultshim::KindName(kind) + " " + std::to_string(n) + " of " +
           std::to_string(calls) + " fails";
}
inline std::string KilledCallText(const std::string& operation, uint64_t n, uint64_t calls)
{
    return operation + ", killed before call " + std::to_string(n) + " of " + std::to_string(calls);
}

// After a failed run: the folder holds the files of the start, each as it was, nothing beside.
inline void ExpectFilesAsAtStart(const Files& now, const Files& start, const std::string& what)
{
    EXPECT_EQ(Names(now), Names(start)) << what;
    for (const auto& f : start)
        EXPECT_TRUE(now.count(f.first) && now.at(f.first) == f.second)
            << what << ": " << f.first << " changed";
}

// After a run that succeeded: no file that the fault-free run does not leave.
inline void ExpectNoFileBeyond(const Files& now, const Files& end, const std::string& what)
{
    for (const auto& f : now) EXPECT_TRUE(end.count(f.first)) << what << ": " << f.first << " left";
}

}  // namespace faultruns
