// Builds stand-in plug-in modules for the tests from standin_module.cpp with g++, one shared
// object per variant, all compiled at once.
#pragma once

#include <map>
#include <string>

#include "support/test_support.h"

namespace standin {

// The entries every accepted, fully featured stand-in exports.
inline const char* FullFlags()
{
    return "-DWITH_KIND=1 -DWITH_VERSION=0x600 -DWITH_INPUT -DWITH_OPEN -DWITH_OPEN_EX "
           "-DWITH_GEOMETRY64 -DWITH_READ -DWITH_READ_EX -DWITH_RANGE -DWITH_RANGE_EX "
           "-DWITH_CHECK -DWITH_CHECK64 -DWITH_OUTPUT -DWITH_WRITE -DWITH_WRITE_EX -DWITH_MESSAGE";
}

// Compiles every variant {output file -> preprocessor flags}; false (with the compiler's
// output) when any of them fails.
inline bool Build(const std::map<std::string, std::string>& variants, std::string* output)
{
    std::string source = std::string(VDX_TEST_SOURCE_DIR) + "/disk/plugins/standin_module.cpp";
    std::string script = "pids=; ";
    for (const auto& v : variants)
        script += "g++ -shared -fPIC -O0 -Wall -Werror -o " + testsupport::Quote(v.first) + " " +
                  v.second + " " + testsupport::Quote(source) + " & pids=\"$pids $!\"; ";
    script += "status=0; for p in $pids; do wait $p || status=1; done; exit $status";
    return testsupport::RunCommand("sh -c " + testsupport::Quote(script) + " 2>&1", output) == 0;
}

}  // namespace standin
