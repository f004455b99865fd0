// Locks of in-place operations: refused to another thread and to another process, nested within
// one thread, released with the last holder; and the temporary files of the output kit, made as
// new files and written only through themselves.
#include "foundation/in_place.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/output_file.h"
#include "foundation/platform.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = testsupport::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TextView View(const std::string& s)
{
    return TextView{reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size())};
}

int AcquireOne(InPlaceLock* lock, const std::string& path)
{
    const char* p = path.c_str();
    return InPlaceLock_Acquire(lock, &p, 1);
}

int TryInOtherThread(const std::string& path)
{
    int r = DISK_OK;
    std::thread t([&]() {
        InPlaceLock lock;
        InPlaceLock_Init(&lock);
        r = AcquireOne(&lock, path);
        InPlaceLock_Release(&lock);
    });
    t.join();
    return r;
}

// Exit status 0 when another process is refused the lock.
int TryInOtherProcess(const std::string& path)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        InPlaceLock lock;
        InPlaceLock_Init(&lock);
        _exit(AcquireOne(&lock, path) == DISK_ERR_IN_USE ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InPlaceLockTest, HeldUntilTheLastHolderOfTheThreadLetsGo)
{
    TempDir dir;
    const std::string image = dir.file("img");
    const std::string link = dir.file("other-name");
    testsupport::WriteText(image, "x");
    ASSERT_EQ(0, ::link(image.c_str(), link.c_str()));

    InPlaceLock outer, inner;
    InPlaceLock_Init(&outer);
    InPlaceLock_Init(&inner);
    // Missing files are nothing to lock; the same file under two names counts once.
    const char* paths[] = {image.c_str(), link.c_str(), nullptr, "/no/such/file"};
    ASSERT_EQ(DISK_OK, InPlaceLock_Acquire(&outer, paths, 4));
    EXPECT_EQ(1u, outer.count);
    EXPECT_EQ(DISK_OK, AcquireOne(&inner, link));  // nested, same thread
    EXPECT_EQ(DISK_ERR_IN_USE, TryInOtherThread(image));
    EXPECT_EQ(0, TryInOtherProcess(image));
    EXPECT_FALSE(InPlace_IsLockedElsewhere(image.c_str()));  // this thread holds it

    InPlaceLock_Release(&inner);
    EXPECT_EQ(DISK_ERR_IN_USE, TryInOtherThread(image));
    InPlaceLock_Release(&outer);
    EXPECT_EQ(0u, outer.count);
    EXPECT_EQ(DISK_OK, TryInOtherThread(image));
    EXPECT_EQ(1, TryInOtherProcess(image));
}

TEST(InPlaceLockTest, ARefusalLeavesNothingLocked)
{
    TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    testsupport::WriteText(a, "a");
    testsupport::WriteText(b, "b");
    int r = DISK_OK;
    InPlaceLock held;
    InPlaceLock_Init(&held);
    ASSERT_EQ(DISK_OK, AcquireOne(&held, b));
    std::thread t([&]() {
        InPlaceLock lock;
        InPlaceLock_Init(&lock);
        const char* both[] = {a.c_str(), b.c_str()};
        r = InPlaceLock_Acquire(&lock, both, 2);
        EXPECT_EQ(0u, lock.count);
    });
    t.join();
    EXPECT_EQ(DISK_ERR_IN_USE, r);
    // "a" was let go with the refusal.
    EXPECT_EQ(0, TryInOtherProcess(b));
    EXPECT_EQ(1, TryInOtherProcess(a));
    InPlaceLock_Release(&held);
}

// The output kit makes the temporary file at once, locks it and the replaced file, and the
// writer's create of that name opens the very file it made: a file put under the name since
// is refused, never written, and never renamed in.
TEST(InPlaceOutputTest, TheTemporaryFileIsWrittenOnlyThroughItself)
{
    TempDir dir;
    const std::string image = dir.file("img");
    const std::string elsewhere = dir.file("elsewhere");
    testsupport::WriteText(image, "old");
    testsupport::WriteText(elsewhere, "someone else's");
    const std::string temp = image + "_TEMP";

    OutputFile out;
    OutputFile_Init(&out);
    ASSERT_EQ(DISK_OK, OutputEntry_ChooseNames(&out.entry, image.c_str(), View("_TEMP"),
                                               View("_del"), nullptr, 0));
    struct stat st;
    ASSERT_EQ(0, lstat(temp.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(DISK_ERR_IN_USE, TryInOtherThread(image));
    EXPECT_EQ(DISK_ERR_IN_USE, TryInOtherThread(temp));

    // The name now holds a symbolic link to another file: opening it for writing fails.
    ASSERT_EQ(0, rename(temp.c_str(), (temp + ".moved").c_str()));
    ASSERT_EQ(0, symlink(elsewhere.c_str(), temp.c_str()));
    FILE* f = nullptr;
    EXPECT_FALSE(File_Create(temp.c_str(), &f));
    EXPECT_EQ(-1, File_CreateWriteOnly(temp.c_str()));
    out.armed = true;
    EXPECT_EQ(DISK_ERR_CREATE, OutputFile_Commit(&out, View("_del"), 0));
    EXPECT_EQ("old", ReadText(image));
    EXPECT_EQ("someone else's", ReadText(elsewhere));
    // The link is not this program's file: it stays, and so does the moved file.
    EXPECT_EQ(0, lstat(temp.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(DISK_OK, OutputFile_Rollback(&out));
    EXPECT_EQ(DISK_OK, TryInOtherThread(image));

    // Unhindered, the writer's file is the one renamed in.
    OutputFile_Init(&out);
    ASSERT_EQ(0, unlink(temp.c_str()));
    ASSERT_EQ(DISK_OK, OutputEntry_ChooseNames(&out.entry, image.c_str(), View("_TEMP"),
                                               View("_del"), nullptr, 0));
    ASSERT_TRUE(File_Create(temp.c_str(), &f));
    ASSERT_TRUE(File_WriteAt(f, 0, 3, "new"));
    ASSERT_TRUE(File_Close(f));
    out.armed = true;
    EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View("_del"), OUTPUT_COMMIT_REMOVE_REPLACED));
    EXPECT_EQ("new", ReadText(image));
    EXPECT_EQ(DISK_OK, TryInOtherThread(image));
}

// A commit killed between linking the image to its kept name and renaming the new file in
// leaves the image under both names: the next commit removes the second name and goes on.
TEST(InPlaceOutputTest, TheImageUnderItsOwnKeptNameIsNoBackup)
{
    for (uint32_t flags : {0u, static_cast<uint32_t>(OUTPUT_COMMIT_REMOVE_REPLACED)}) {
        SCOPED_TRACE(flags);
        TempDir dir;
        const std::string image = dir.file("img");
        testsupport::WriteText(image, "old");
        ASSERT_EQ(0, link(image.c_str(), (image + "_del").c_str()));
        EXPECT_TRUE(Output_IsInterruptedCommitTrace(image.c_str(), (image + "_del").c_str()));
        const char* files[] = {image.c_str()};
        OutputFile out;
        OutputFile_Init(&out);
        ASSERT_EQ(DISK_OK, OutputEntry_ChooseNames(&out.entry, image.c_str(), View("_TEMP"),
                                                   View("_del"), files, 1));
        testsupport::WriteText(image + "_TEMP", "new");
        out.armed = true;
        EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View("_del"), flags));
        EXPECT_EQ("new", ReadText(image));
        if (flags == 0)
            EXPECT_EQ("old", ReadText(image + "_del"));
        else
            EXPECT_FALSE(Os_PathExists((image + "_del").c_str()));
    }
    // A separate file under the kept name is a backup all the same.
    TempDir dir;
    const std::string image = dir.file("img");
    testsupport::WriteText(image, "old");
    testsupport::WriteText(image + "_del", "old");
    EXPECT_FALSE(Output_IsInterruptedCommitTrace(image.c_str(), (image + "_del").c_str()));
}

}  // namespace
