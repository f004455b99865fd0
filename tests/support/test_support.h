// Helpers shared by the test programs: temporary directories, files and external commands.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);

// Runs a shell command; answers its exit status and fills *output with its standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Runs a qemu-img or qemu-io command line with its standard error joined to its output. qemu
// times its LUKS key derivation by the thread's CPU clock, which a busy machine can read as zero
// ("Unable to get accurate CPU usage"): such a run is repeated a few times before its failure
// is answered.
int RunQemu(const std::string& command, std::string* output = nullptr);
// True when a program of that name is on the PATH.
bool HaveTool(const std::string& name);
// Quotes a string for the shell.
std::string Quote(const std::string& s);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);

// Runs `body` in a child process that SIGALRM ends after `seconds`, so that a call that waits
// for ever cannot hang the test. Answers the child's exit status (body's result & 0xFF), or -1
// when the child was killed or could not be started.
int RunInChild(unsigned seconds, const std::function<int()>& body);

}  // namespace testsupport
