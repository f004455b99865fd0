// Safe replacement of output files: commit and rollback of single outputs and of lists,
// including failures injected through missing files and directories (the tests may run as
// root, so permissions cannot make a rename fail).
#include "foundation/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/in_place.h"
#include "foundation/result_codes.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

TextView View(const std::string& s)
{
    TextView v;
    v.data = reinterpret_cast<const uint8_t*>(s.data());
    v.length = static_cast<uint32_t>(s.size());
    return v;
}

const std::string kDel = "_del";

void SetPath(TextBuffer* buffer, const std::string& path)
{
    ASSERT_TRUE(TextBuffer_Set(buffer, View(path)));
    ASSERT_TRUE(TextBuffer_TerminateUtf8(buffer));
}

void SetPaths(OutputEntry* entry, const std::string& finalPath, const std::string& tempPath)
{
    SetPath(&entry->finalPath, finalPath);
    SetPath(&entry->tempPath, tempPath);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Content(const std::string& path)
{
    if (!Exists(path)) return "<missing>";
    std::vector<uint8_t> bytes = testsupport::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void MakeDir(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }

// A three-file image with its rewritten members under "_temp" names.
struct ThreeFiles {
    std::string finals[3];
    std::string temps[3];
};

ThreeFiles MakeThreeFiles(const TempDir& dir, bool withOriginals)
{
    ThreeFiles f;
    for (int i = 0; i < 3; ++i) {
        f.finals[i] = dir.file("part" + std::to_string(i));
        f.temps[i] = f.finals[i] + "_temp";
        if (withOriginals) testsupport::WriteText(f.finals[i], "old" + std::to_string(i));
        testsupport::WriteText(f.temps[i], "new" + std::to_string(i));
    }
    return f;
}

void FillList(OutputList* list, const ThreeFiles& f)
{
    OutputList_Init(list);
    ASSERT_TRUE(OutputList_Alloc(list, 3));
    for (int i = 0; i < 3; ++i) SetPaths(&list->entries[i], f.finals[i], f.temps[i]);
    list->count = 3;
}

TEST(OutputFileTest, CommitReplacesExistingFileAndKeepsOrRemovesTheOld)
{
    for (bool removeReplaced : {false, true}) {
        TempDir dir;
        std::string finalPath = dir.file("img.vmdk");
        std::string tempPath = finalPath + "_temp";
        testsupport::WriteText(finalPath, "old");
        testsupport::WriteText(tempPath, "new");

        OutputFile out;
        OutputFile_Init(&out);
        SetPaths(&out.entry, finalPath, tempPath);
        out.armed = true;
        EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View(kDel), removeReplaced));
        EXPECT_FALSE(out.armed);
        EXPECT_EQ("new", Content(finalPath));
        EXPECT_FALSE(Exists(tempPath));
        if (removeReplaced)
            EXPECT_FALSE(Exists(finalPath + kDel));
        else
            EXPECT_EQ("old", Content(finalPath + kDel));

        // A second commit does nothing.
        testsupport::WriteText(tempPath, "stray");
        EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View(kDel), removeReplaced));
        EXPECT_EQ("new", Content(finalPath));
        EXPECT_EQ("stray", Content(tempPath));
    }
}

TEST(OutputFileTest, CommitWithoutExistingFinalFileOnlyRenames)
{
    for (bool removeReplaced : {false, true}) {
        TempDir dir;
        std::string finalPath = dir.file("img.vhd");
        std::string tempPath = finalPath + "_temp";
        testsupport::WriteText(tempPath, "new");
        // A kept file of an earlier run must survive: nothing was replaced this time.
        testsupport::WriteText(finalPath + kDel, "older");

        OutputEntry entry;
        OutputEntry_Init(&entry);
        SetPaths(&entry, finalPath, tempPath);
        EXPECT_EQ(DISK_OK, OutputEntry_Commit(&entry, View(kDel), removeReplaced));
        EXPECT_EQ("new", Content(finalPath));
        EXPECT_FALSE(Exists(tempPath));
        EXPECT_EQ("older", Content(finalPath + kDel));
    }
}

TEST(OutputFileTest, UnarmedOutputAndEmptyFinalPathTouchNothing)
{
    TempDir dir;
    std::string finalPath = dir.file("img");
    std::string tempPath = finalPath + "_temp";
    testsupport::WriteText(finalPath, "old");
    testsupport::WriteText(tempPath, "new");

    OutputFile out;
    OutputFile_Init(&out);
    SetPaths(&out.entry, finalPath, tempPath);
    EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View(kDel), true));
    EXPECT_EQ(DISK_OK, OutputFile_Rollback(&out));
    EXPECT_EQ("old", Content(finalPath));
    EXPECT_EQ("new", Content(tempPath));

    OutputEntry entry;
    OutputEntry_Init(&entry);
    SetPath(&entry.tempPath, tempPath);
    EXPECT_EQ(DISK_OK, OutputEntry_Commit(&entry, View(kDel), true));
    EXPECT_EQ("new", Content(tempPath));
}

TEST(OutputFileTest, FailingFinalRenameKeepsOriginalUnderItsName)
{
    TempDir dir;
    // The temporary "file" is a directory holding the final file: the final file can be moved
    // aside, but the directory cannot be renamed into itself.
    std::string tempPath = dir.file("img_temp");
    MakeDir(tempPath);
    std::string finalPath = tempPath + "/img";
    testsupport::WriteText(finalPath, "old");

    OutputFile out;
    OutputFile_Init(&out);
    SetPaths(&out.entry, finalPath, tempPath);
    out.armed = true;
    EXPECT_EQ(DISK_ERR_CREATE, OutputFile_Commit(&out, View(kDel), true));
    EXPECT_EQ("old", Content(finalPath));
    EXPECT_FALSE(Exists(finalPath + kDel));
}

TEST(OutputFileTest, RollbackAfterFailedCommitRemovesTheTemporaryFile)
{
    TempDir dir;
    std::string finalPath = dir.file("img");
    std::string tempPath = dir.file("img_TEMP");
    testsupport::WriteText(finalPath, "old");
    testsupport::WriteText(tempPath, "new");
    // The kept name is taken by an earlier backup, which may not be replaced.
    MakeDir(finalPath + kDel);
    testsupport::WriteText(finalPath + kDel + "/inner", "x");

    OutputFile out;
    OutputFile_Init(&out);
    SetPaths(&out.entry, finalPath, tempPath);
    out.armed = true;
    EXPECT_EQ(DISK_ERR_BACKUP_EXISTS, OutputFile_Commit(&out, View(kDel), false));
    EXPECT_EQ("old", Content(finalPath));
    EXPECT_TRUE(Exists(tempPath));
    EXPECT_EQ(DISK_OK, OutputFile_Rollback(&out));
    EXPECT_FALSE(Exists(tempPath));
    EXPECT_EQ("old", Content(finalPath));
    EXPECT_EQ(DISK_OK, OutputFile_Rollback(&out));  // once only
}

TEST(OutputFileTest, MissingTemporaryFileKeepsOriginal)
{
    TempDir dir;
    std::string finalPath = dir.file("img");
    testsupport::WriteText(finalPath, "old");

    OutputEntry entry;
    OutputEntry_Init(&entry);
    SetPaths(&entry, finalPath, finalPath + "_temp");
    EXPECT_EQ(DISK_ERR_CREATE, OutputEntry_Commit(&entry, View(kDel), false));
    EXPECT_EQ("old", Content(finalPath));
    EXPECT_FALSE(Exists(finalPath + kDel));
}

TEST(OutputFileTest, KeptFileThatCannotBeRemovedIsANoteBesideSuccess)
{
    TempDir dir;
    // The final "file" is a non-empty directory: it moves aside, but cannot be removed.
    std::string finalPath = dir.file("img");
    MakeDir(finalPath);
    testsupport::WriteText(finalPath + "/inner", "x");
    std::string tempPath = dir.file("img_temp");
    testsupport::WriteText(tempPath, "new");

    OutputEntry entry;
    OutputEntry_Init(&entry);
    SetPaths(&entry, finalPath, tempPath);
    InPlace_SetNote(IN_PLACE_NOTE_NONE);
    EXPECT_EQ(DISK_OK, OutputEntry_Commit(&entry, View(kDel), true));
    EXPECT_EQ(IN_PLACE_NOTE_BACKUP_LEFT, InPlace_TakeNote());
    EXPECT_EQ(IN_PLACE_NOTE_NONE, InPlace_TakeNote());
    EXPECT_EQ("new", Content(finalPath));
    EXPECT_EQ("x", Content(finalPath + kDel + "/inner"));
}

TEST(OutputFileTest, NamesThatDoNotFitAnswerArgWithoutRenaming)
{
    // Padding with extra slashes keeps the path valid for the platform at any length.
    struct Case {
        size_t finalLength;
        int expected;
    } cases[] = {{4091, DISK_OK}, {4092, DISK_ERR_ARG}, {4093, DISK_ERR_ARG}};
    for (const Case& c : cases) {
        TempDir dir;
        std::string plain = dir.file("img");
        std::string finalPath =
            dir.path() + std::string(c.finalLength - dir.path().size() - 3, '/') + "img";
        ASSERT_EQ(c.finalLength, finalPath.size());
        std::string tempPath = plain + "_temp";
        testsupport::WriteText(plain, "old");
        testsupport::WriteText(tempPath, "new");

        OutputFile out;
        OutputFile_Init(&out);
        SetPaths(&out.entry, finalPath, tempPath);
        out.armed = true;
        EXPECT_EQ(c.expected, OutputFile_Commit(&out, View(kDel), false)) << c.finalLength;
        if (c.expected == DISK_OK) {
            EXPECT_EQ("new", Content(plain));
            EXPECT_EQ("old", Content(plain + kDel));
        } else {
            // A failed commit takes its temporary file with it.
            EXPECT_EQ("old", Content(plain));
            EXPECT_FALSE(Exists(tempPath));
            EXPECT_FALSE(Exists(plain + kDel));
        }
    }

    // A temporary path that fills its buffer leaves no room for the terminator.
    TempDir dir;
    OutputEntry entry;
    OutputEntry_Init(&entry);
    SetPath(&entry.finalPath, dir.file("img"));
    std::string full(OUTPUT_PATH_CAPACITY, 'a');
    ASSERT_TRUE(TextBuffer_Set(&entry.tempPath, View(full)));
    EXPECT_EQ(DISK_ERR_ARG, OutputEntry_Commit(&entry, View(kDel), false));
}

TEST(OutputFileTest, RollbackRemovesTemporaryFileOnce)
{
    TempDir dir;
    std::string tempPath = dir.file("img_TEMP");
    testsupport::WriteText(tempPath, "new");
    OutputEntry entry;
    OutputEntry_Init(&entry);
    SetPaths(&entry, dir.file("img"), tempPath);
    EXPECT_EQ(DISK_OK, OutputEntry_Rollback(&entry));
    EXPECT_FALSE(Exists(tempPath));
    EXPECT_EQ(DISK_ERR_CREATE, OutputEntry_Rollback(&entry));

    // Nothing written under a temporary name: nothing to remove.
    OutputEntry_Init(&entry);
    SetPath(&entry.finalPath, dir.file("img"));
    EXPECT_EQ(DISK_OK, OutputEntry_Rollback(&entry));
}

TEST(OutputFileTest, ListCommitSwapsEveryEntry)
{
    for (bool removeReplaced : {false, true}) {
        TempDir dir;
        ThreeFiles f = MakeThreeFiles(dir, true);
        OutputList list;
        FillList(&list, f);
        EXPECT_EQ(DISK_OK, OutputList_Commit(&list, View(kDel), removeReplaced));
        EXPECT_EQ(0u, list.count);
        EXPECT_EQ(nullptr, list.entries);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ("new" + std::to_string(i), Content(f.finals[i]));
            EXPECT_FALSE(Exists(f.temps[i]));
            if (removeReplaced)
                EXPECT_FALSE(Exists(f.finals[i] + kDel));
            else
                EXPECT_EQ("old" + std::to_string(i), Content(f.finals[i] + kDel));
        }
    }
}

// Ways to make the middle entry of a three-entry list fail.
enum class MiddleFault { MissingTemporary, MissingDirectory, KeptNameIsDirectory, FinalRename };

TEST(OutputFileTest, FailingMiddleEntryKeepsEveryOriginal)
{
    for (MiddleFault fault : {MiddleFault::MissingTemporary, MiddleFault::MissingDirectory,
                              MiddleFault::KeptNameIsDirectory, MiddleFault::FinalRename}) {
        SCOPED_TRACE(static_cast<int>(fault));
        TempDir dir;
        ThreeFiles f = MakeThreeFiles(dir, true);
        std::string middleFinal = f.finals[1];
        std::string middleTemp = f.temps[1];
        switch (fault) {
        case MiddleFault::MissingTemporary:
            ASSERT_EQ(0, remove(f.temps[1].c_str()));
            break;
        case MiddleFault::MissingDirectory:
            middleFinal = dir.file("gone/part1");
            break;
        case MiddleFault::KeptNameIsDirectory:
            MakeDir(f.finals[1] + kDel);
            testsupport::WriteText(f.finals[1] + kDel + "/inner", "x");
            break;
        case MiddleFault::FinalRename:
            // The temporary directory holds the final file and cannot be renamed into itself.
            ASSERT_EQ(0, remove(f.temps[1].c_str()));
            MakeDir(f.temps[1]);
            ASSERT_EQ(0, remove(f.finals[1].c_str()));
            middleFinal = f.temps[1] + "/part1";
            testsupport::WriteText(middleFinal, "old1");
            break;
        }

        OutputList list;
        FillList(&list, f);
        SetPaths(&list.entries[1], middleFinal, middleTemp);
        // With the remove flag no original may be dropped before the whole list is in. A
        // backup in the way is refused (without the remove flag, which would use a free name)
        // before anything is touched.
        if (fault == MiddleFault::KeptNameIsDirectory)
            EXPECT_EQ(DISK_ERR_BACKUP_EXISTS, OutputList_Commit(&list, View(kDel), false));
        else
            EXPECT_EQ(DISK_ERR_CREATE, OutputList_Commit(&list, View(kDel), true));
        EXPECT_EQ(0u, list.count);
        EXPECT_EQ(nullptr, list.entries);

        // Every original in place; the failed commit removed the new files.
        for (int i = 0; i < 3; i += 2) {
            EXPECT_EQ("old" + std::to_string(i), Content(f.finals[i])) << i;
            EXPECT_FALSE(Exists(f.temps[i])) << i;
            EXPECT_FALSE(Exists(f.finals[i] + kDel)) << i;
        }
        bool missingDir = fault == MiddleFault::MissingDirectory;
        EXPECT_EQ("old1", Content(missingDir ? f.finals[1] : middleFinal));
        if (fault != MiddleFault::FinalRename) {
            EXPECT_FALSE(Exists(middleTemp));
        }
        if (fault == MiddleFault::KeptNameIsDirectory) {
            EXPECT_EQ("x", Content(f.finals[1] + kDel + "/inner"));
        } else {
            EXPECT_FALSE(Exists(middleFinal + kDel));
        }
    }
}

TEST(OutputFileTest, FailingLastEntryOfLongListUndoesAllOthers)
{
    // More entries than the commit keeps track of on its stack.
    const uint32_t n = 70;
    TempDir dir;
    OutputFileList list;
    OutputFileList_Init(&list);
    ASSERT_TRUE(OutputFileList_Alloc(&list, n));
    for (uint32_t i = 0; i < n; ++i) {
        std::string finalPath = dir.file("e" + std::to_string(i));
        testsupport::WriteText(finalPath, "old");
        testsupport::WriteText(finalPath + "_temp", "new");
        SetPaths(&list.files[i].entry, finalPath, finalPath + "_temp");
        list.files[i].armed = true;
    }
    // The last entry's temporary "file" is a directory holding its final file: it cannot be
    // renamed into itself.
    ASSERT_EQ(0, remove(dir.file("e69").c_str()));
    ASSERT_EQ(0, remove(dir.file("e69_temp").c_str()));
    MakeDir(dir.file("e69_temp"));
    testsupport::WriteText(dir.file("e69_temp/e69"), "old");
    SetPaths(&list.files[n - 1].entry, dir.file("e69_temp/e69"), dir.file("e69_temp"));
    list.count = n;

    EXPECT_EQ(DISK_ERR_CREATE, OutputFileList_Commit(&list, View(kDel), false));
    EXPECT_EQ(0u, list.count);
    for (uint32_t i = 0; i + 1 < n; ++i) {
        std::string finalPath = dir.file("e" + std::to_string(i));
        EXPECT_EQ("old", Content(finalPath)) << i;
        EXPECT_FALSE(Exists(finalPath + "_temp")) << i;
        EXPECT_FALSE(Exists(finalPath + kDel)) << i;
    }
    EXPECT_EQ("old", Content(dir.file("e69_temp/e69")));
    EXPECT_FALSE(Exists(dir.file("e69_temp/e69") + kDel));
}

TEST(OutputFileTest, EntryWithoutTemporaryRetiresItsFileAndIsUndoneOnFailure)
{
    TempDir dir;
    std::string retired = dir.file("old.vmdk");
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        testsupport::WriteText(retired, "extent");
        std::string finalPath = dir.file("img");
        testsupport::WriteText(finalPath, "old");
        testsupport::WriteText(finalPath + "_temp", "new");

        OutputList list;
        OutputList_Init(&list);
        ASSERT_TRUE(OutputList_Alloc(&list, 2));
        SetPath(&list.entries[0].finalPath, retired);
        // The second entry fails when its final directory does not exist.
        SetPaths(&list.entries[1], fail ? dir.file("missing/img") : finalPath, finalPath + "_temp");
        list.count = 2;
        EXPECT_EQ(fail ? DISK_ERR_CREATE : DISK_OK, OutputList_Commit(&list, View(kDel), false));
        if (fail) {
            EXPECT_EQ("extent", Content(retired));
            EXPECT_FALSE(Exists(retired + kDel));
            EXPECT_FALSE(Exists(finalPath + "_temp"));
        } else {
            EXPECT_FALSE(Exists(retired));
            EXPECT_EQ("extent", Content(retired + kDel));
            EXPECT_EQ("new", Content(finalPath));
            ASSERT_EQ(0, remove((retired + kDel).c_str()));
            ASSERT_EQ(0, remove((finalPath + kDel).c_str()));
        }
    }
}

TEST(OutputFileTest, FileListCommitSkipsUnarmedOutputs)
{
    TempDir dir;
    ThreeFiles f = MakeThreeFiles(dir, true);
    OutputFileList list;
    OutputFileList_Init(&list);
    ASSERT_TRUE(OutputFileList_Alloc(&list, 3));
    EXPECT_EQ(0u, list.count);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(list.files[i].armed);
        SetPaths(&list.files[i].entry, f.finals[i], f.temps[i]);
        list.files[i].armed = i != 1;
    }
    list.count = 3;
    EXPECT_EQ(DISK_OK, OutputFileList_Commit(&list, View(kDel), false));
    EXPECT_EQ("new0", Content(f.finals[0]));
    EXPECT_EQ("old1", Content(f.finals[1]));
    EXPECT_EQ("new1", Content(f.temps[1]));
    EXPECT_EQ("new2", Content(f.finals[2]));
}

TEST(OutputFileTest, RollbackGoesOnPastFailureAndRemovesEveryTemporary)
{
    TempDir dir;
    ThreeFiles f = MakeThreeFiles(dir, true);
    ASSERT_EQ(0, remove(f.temps[0].c_str()));

    OutputList list;
    FillList(&list, f);
    EXPECT_EQ(DISK_ERR_CREATE, OutputList_Rollback(&list));
    EXPECT_EQ(0u, list.count);
    EXPECT_EQ(nullptr, list.entries);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(Exists(f.temps[i])) << i;
        EXPECT_EQ("old" + std::to_string(i), Content(f.finals[i])) << i;
    }

    // The same for a file list; an unarmed output keeps its file.
    ThreeFiles g = MakeThreeFiles(dir, false);
    ASSERT_EQ(0, remove(g.temps[1].c_str()));
    testsupport::WriteText(dir.file("unarmed_temp"), "keep");
    OutputFileList files;
    OutputFileList_Init(&files);
    ASSERT_TRUE(OutputFileList_Alloc(&files, 4));
    for (int i = 0; i < 3; ++i) {
        SetPaths(&files.files[i].entry, g.finals[i], g.temps[i]);
        files.files[i].armed = true;
    }
    SetPaths(&files.files[3].entry, dir.file("unarmed"), dir.file("unarmed_temp"));
    files.count = 4;
    EXPECT_EQ(DISK_ERR_CREATE, OutputFileList_Rollback(&files));
    EXPECT_EQ(0u, files.count);
    EXPECT_FALSE(Exists(g.temps[0]));
    EXPECT_FALSE(Exists(g.temps[2]));
    EXPECT_EQ("keep", Content(dir.file("unarmed_temp")));
}

TEST(OutputFileTest, AllocReplacesHeldBlockAndResetsCount)
{
    // Run under the leak checker: a block held by the list must be freed by the next Alloc.
    OutputList list;
    OutputList_Init(&list);
    ASSERT_TRUE(OutputList_Alloc(&list, 4));
    list.count = 4;
    ASSERT_TRUE(OutputList_Alloc(&list, 2));
    EXPECT_EQ(0u, list.count);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0u, list.entries[i].finalPath.length);
        EXPECT_EQ(OUTPUT_PATH_CAPACITY, list.entries[i].tempPath.capacity);
        EXPECT_EQ(list.entries[i].tempStorage, list.entries[i].tempPath.data);
    }
    EXPECT_FALSE(OutputList_Alloc(&list, 0xFFFFFFFFu));
    EXPECT_EQ(nullptr, list.entries);
    EXPECT_EQ(DISK_OK, OutputList_Rollback(&list));

    OutputFileList files;
    OutputFileList_Init(&files);
    ASSERT_TRUE(OutputFileList_Alloc(&files, 3));
    ASSERT_TRUE(OutputFileList_Alloc(&files, 1));
    EXPECT_EQ(DISK_OK, OutputFileList_Commit(&files, View(kDel), false));
    EXPECT_EQ(nullptr, files.files);
}

}  // namespace

// Commit hook for the order test: records what lay under both names at the moment between
// keeping the replaced file and moving the new one in.
struct SwapMoment {
    std::vector<std::string> finals;
    std::vector<std::string> atFinal;
    std::vector<std::string> atKept;
};

void RecordSwapMoment(const char* finalPath, const char* keptPath, void* user)
{
    SwapMoment* moment = static_cast<SwapMoment*>(user);
    moment->finals.push_back(finalPath);
    moment->atFinal.push_back(Content(finalPath));
    moment->atKept.push_back(Content(keptPath));
}

TEST(OutputFileTest, TheFinalNameHoldsTheOldOrTheNewFileThroughoutTheSwap)
{
    for (bool list : {false, true}) {
        SCOPED_TRACE(list);
        TempDir dir;
        ThreeFiles f = MakeThreeFiles(dir, true);
        SwapMoment moment;
        Output_SetCommitHook(RecordSwapMoment, &moment);
        if (list) {
            OutputList entries;
            FillList(&entries, f);
            EXPECT_EQ(DISK_OK, OutputList_Commit(&entries, View(kDel), false));
        } else {
            OutputFile out;
            OutputFile_Init(&out);
            SetPaths(&out.entry, f.finals[0], f.temps[0]);
            out.armed = true;
            EXPECT_EQ(DISK_OK, OutputFile_Commit(&out, View(kDel), false));
        }
        Output_SetCommitHook(nullptr, nullptr);
        const size_t n = list ? 3 : 1;
        ASSERT_EQ(n, moment.finals.size());
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(f.finals[i], moment.finals[i]);
            EXPECT_EQ("old" + std::to_string(i), moment.atFinal[i]) << i;
            EXPECT_EQ("old" + std::to_string(i), moment.atKept[i]) << i;
            EXPECT_EQ("new" + std::to_string(i), Content(f.finals[i])) << i;
            EXPECT_EQ("old" + std::to_string(i), Content(f.finals[i] + kDel)) << i;
        }
    }
}

// A file already under the kept name is an earlier backup: refused without leave (nothing
// touched), replaced with leave; a commit that removes its kept files uses a free name instead
// and leaves the earlier file alone.
TEST(OutputFileTest, AnEarlierBackupIsReplacedOnlyWithLeave)
{
    struct Case {
        uint32_t flags;
        int result;
        const char* atFinal;
        const char* atDel;
    } cases[] = {
        {0, DISK_ERR_BACKUP_EXISTS, "old", "earlier"},
        {OUTPUT_COMMIT_REPLACE_BACKUP, DISK_OK, "new", "old"},
        {OUTPUT_COMMIT_REMOVE_REPLACED, DISK_OK, "new", "earlier"},
        {OUTPUT_COMMIT_REMOVE_REPLACED | OUTPUT_COMMIT_REPLACE_BACKUP, DISK_OK, "new", "earlier"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        TempDir dir;
        std::string finalPath = dir.file("img");
        testsupport::WriteText(finalPath, "old");
        testsupport::WriteText(finalPath + "_TEMP", "new");
        testsupport::WriteText(finalPath + kDel, "earlier");
        testsupport::WriteText(finalPath + kDel + "1", "taken");
        OutputFile out;
        OutputFile_Init(&out);
        SetPaths(&out.entry, finalPath, finalPath + "_TEMP");
        out.armed = true;
        EXPECT_EQ(c.result, OutputFile_Commit(&out, View(kDel), c.flags));
        EXPECT_EQ(c.atFinal, Content(finalPath));
        EXPECT_EQ(c.atDel, Content(finalPath + kDel));
        EXPECT_EQ("taken", Content(finalPath + kDel + "1"));
        EXPECT_FALSE(Exists(finalPath + kDel + "2"));
        EXPECT_EQ(c.result == DISK_OK ? "<missing>" : "new", Content(finalPath + "_TEMP"));
        // A refused commit stays armed, so that the rollback removes the new file.
        EXPECT_EQ(DISK_OK, OutputFile_Rollback(&out));
        EXPECT_FALSE(Exists(finalPath + "_TEMP"));
    }
}

TEST(OutputFileTest, TemporaryNamesAreNeverAnExistingFileNorAFileOfTheImage)
{
    TempDir dir;
    const std::string image = dir.file("c.vhd");
    const std::string parent = dir.file("p.vhd");
    testsupport::WriteText(image, "child");
    testsupport::WriteText(parent, "parent");
    const char* files[] = {image.c_str(), parent.c_str()};
    const std::string temp = "_TEMP";
    OutputEntry entry;
    auto chosen = [&]() {
        return std::string(reinterpret_cast<const char*>(entry.tempPath.data),
                           entry.tempPath.length);
    };

    // Free: the plain name. A file (here the parent under another name), a dangling symbolic
    // link and a directory are skipped.
    ASSERT_EQ(DISK_OK,
              OutputEntry_ChooseNames(&entry, image.c_str(), View(temp), View(kDel), files, 2));
    EXPECT_EQ(image + "_TEMP", chosen());
    EXPECT_EQ(image, std::string(reinterpret_cast<const char*>(entry.finalPath.data)));
    // The temporary file is made right away, new and empty; a rollback removes it.
    EXPECT_EQ("", Content(image + "_TEMP"));
    EXPECT_EQ(DISK_OK, OutputEntry_Rollback(&entry));
    EXPECT_FALSE(Exists(image + "_TEMP"));
    ASSERT_EQ(0, link(parent.c_str(), (image + "_TEMP").c_str()));
    ASSERT_EQ(0, symlink("nowhere", (image + "_TEMP1").c_str()));
    MakeDir(image + "_TEMP2");
    ASSERT_EQ(DISK_OK,
              OutputEntry_ChooseNames(&entry, image.c_str(), View(temp), View(kDel), files, 2));
    EXPECT_EQ(image + "_TEMP3", chosen());
    EXPECT_EQ("parent", Content(image + "_TEMP"));
    EXPECT_EQ(DISK_OK, OutputEntry_Rollback(&entry));

    // Every name taken: no temporary name at all.
    for (int i = 3; i < 100; ++i) testsupport::WriteText(image + "_TEMP" + std::to_string(i), "x");
    EXPECT_EQ(DISK_ERR_CREATE,
              OutputEntry_ChooseNames(&entry, image.c_str(), View(temp), View(kDel), files, 2));
    EXPECT_EQ(0u, entry.tempPath.length);

    // A backup name that is a file of the image (through a symbolic link too) is refused; one
    // that is merely taken is left to the commit.
    ASSERT_EQ(0, symlink(parent.c_str(), (image + kDel).c_str()));
    EXPECT_TRUE(Output_IsFileOf((image + kDel).c_str(), files, 2));
    EXPECT_EQ(DISK_ERR_ARG, Output_CheckBackupName(image.c_str(), View(kDel), files, 2));
    EXPECT_EQ(DISK_ERR_ARG,
              OutputEntry_ChooseNames(&entry, image.c_str(), View(temp), View(kDel), files, 2));
    ASSERT_EQ(0, remove((image + kDel).c_str()));
    testsupport::WriteText(image + kDel, "earlier");
    EXPECT_FALSE(Output_IsFileOf((image + kDel).c_str(), files, 2));
    EXPECT_EQ(DISK_OK, Output_CheckBackupName(image.c_str(), View(kDel), files, 2));
    // A path that does not exist matches only itself.
    const char* missing[] = {"/no/such/file"};
    EXPECT_TRUE(Output_IsFileOf("/no/such/file", missing, 1));
    EXPECT_FALSE(Output_IsFileOf("/no/such/other", missing, 1));
}
