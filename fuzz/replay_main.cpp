// Runs a fuzz target over files without libFuzzer: every file named, and every file of every
// directory named (a directory that does not exist holds none). The test suite replays the
// findings kept in tests/fuzz/<target>/ this way; a finding that comes back aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
    fflush(stdout);
    // A copy of exactly the input's size, so that a read past its end is seen.
    uint8_t* exact = new uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), exact);
    LLVMFuzzerTestOneInput(exact, bytes.size());
    delete[] exact;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) continue;
        if (!S_ISDIR(st.st_mode)) {
            if (!RunFile(argv[i])) return 1;
            ++files;
            continue;
        }
        std::vector<std::string> names;
        if (DIR* d = opendir(argv[i])) {
            while (struct dirent* e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!RunFile(std::string(argv[i]) + "/" + name)) return 1;
            ++files;
        }
    }
    printf("%d inputs replayed\n", files);
    return 0;
}
