#include "foundation/random_id.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

// The UUID generator reads the system's entropy through getrandom(). This definition takes the
// place of the C library's in this test program, so that a failing entropy source can be
// simulated; otherwise it forwards to the system call.
static std::atomic<bool> g_entropyFails{false};

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags)
{
    if (g_entropyFails.load()) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_getrandom, buffer, length, flags);
}

namespace {

std::string Hex(const uint8_t* bytes)
{
    std::string s;
    char b[3];
    for (int i = 0; i < 16; i++) {
        snprintf(b, sizeof b, "%02x", bytes[i]);
        s += b;
    }
    return s;
}

}  // namespace

TEST(Uuid, VersionAndVariantBitsAndDistinctDraws)
{
    std::set<std::array<uint8_t, 16>> seen;
    const int draws = 10000;
    for (int i = 0; i < draws; i++) {
        std::array<uint8_t, 16> u;
        u.fill(0xEE);
        ASSERT_TRUE(Uuid_Generate(u.data()));
        ASSERT_EQ(u[6] & 0xF0, 0x40) << Hex(u.data());
        ASSERT_EQ(u[8] & 0xC0, 0x80) << Hex(u.data());
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), size_t(draws));

    // Every bit outside the version and variant fields varies across the draws.
    std::array<uint8_t, 16> ored{}, anded;
    anded.fill(0xFF);
    for (const auto& u : seen)
        for (int i = 0; i < 16; i++) {
            ored[i] |= u[i];
            anded[i] &= u[i];
        }
    for (int i = 0; i < 16; i++) {
        uint8_t fixedMask = i == 6 ? 0xF0 : (i == 8 ? 0xC0 : 0x00);
        EXPECT_EQ(ored[i] & ~fixedMask & 0xFF, ~fixedMask & 0xFF) << "byte " << i;
        EXPECT_EQ(anded[i] & ~fixedMask & 0xFF, 0) << "byte " << i;
    }
}

TEST(Uuid, PythonReadsVersionFourRfcVariant)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    std::ostringstream list;
    for (int i = 0; i < 50; i++) {
        uint8_t u[16];
        ASSERT_TRUE(Uuid_GenerateRandom(u));
        list << Hex(u) << ' ';
    }
    std::string out;
    ASSERT_EQ(RunCommand("python3 -c 'import sys, uuid\n"
                         "for h in sys.argv[1:]:\n"
                         "    u = uuid.UUID(hex=h)\n"
                         "    print(u.version, u.variant == uuid.RFC_4122)' " +
                             list.str(),
                         &out),
              0);
    std::istringstream lines(out);
    int count = 0, version = 0;
    std::string rfc;
    while (lines >> version >> rfc) {
        EXPECT_EQ(version, 4);
        EXPECT_EQ(rfc, "True");
        count++;
    }
    EXPECT_EQ(count, 50);
}

TEST(Uuid, FailingEntropySourceAnswersFalse)
{
    uint8_t u[16];
    memset(u, 0xEE, sizeof u);
    g_entropyFails = true;
    bool generated = Uuid_Generate(u);
    bool generatedRandom = Uuid_GenerateRandom(u);
    g_entropyFails = false;
    EXPECT_FALSE(generated);
    EXPECT_FALSE(generatedRandom);
    for (uint8_t b : u) EXPECT_EQ(b, 0);  // no half-made identifier is handed out
    EXPECT_TRUE(Uuid_Generate(u));
    EXPECT_EQ(u[6] & 0xF0, 0x40);
}

TEST(RandomId32, SameSecondGivesSameValue)
{
    // The value depends only on the current second; retry when a second boundary falls
    // between the two calls.
    for (int attempt = 0; attempt < 5; attempt++) {
        time_t before = time(nullptr);
        uint32_t a = Random_NewId32();
        uint32_t b = Random_NewId32();
        if (time(nullptr) != before) continue;
        EXPECT_EQ(a, b);
        return;
    }
    GTEST_SKIP() << "clock kept crossing second boundaries";
}
