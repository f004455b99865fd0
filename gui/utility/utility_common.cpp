// Pieces shared by the image utility dialogs.
#include "gui/utility/utility_common.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk/disk.h"
#include "foundation/in_place.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "gui/frame/app.h"
#include "gui/frame/dialogs.h"
#include "gui/frame/messages.h"
#include "gui/frame/run_cause.h"
#include "gui/frame/sector_size.h"

void Utility_ShowResult(FXWindow* owner, int result, const IoFailure* failure)
{
    // A success may carry a note of the operation just run on this thread.
    const int note = result == 0 ? RunCause_NoteMessage(InPlace_TakeNote()) : -1;
    if (note >= 0) {
        COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, note, UI_MSG_INFO);
    } else if (result == 0) {
        COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, MSG_RESULT_SUCCESS, UI_MSG_INFO);
    } else if (result == DISK_ERR_IN_USE) {
        COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, MSG_CAUSE_IN_USE, UI_MSG_ERROR);
    } else if (result == 1) {
        COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, MSG_RESULT_CANCELLED, UI_MSG_INFO);
    } else if (result != UTILITY_RESULT_BACKUP_KEPT) {
        const FXString cause = failure
                                   ? RunCause_Text(RunCause_OfIoFailure(*failure, UI_SECTOR_BYTES))
                                   : FXString::null;
        if (cause.empty())
            COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, MSG_RESULT_FAILED,
                                        UI_MSG_ERROR);
        else
            COutputMessage::ShowMessageDetail(owner, MSG_CAPTION_PROGRAM, MSG_RESULT_FAILED,
                                              UI_MSG_ERROR, cause);
    }
}

int Utility_ClassifyChildPath(const FXString& imagePath, const FXString& childPath)
{
    struct stat child;
    if (stat(childPath.text(), &child) != 0) return 0;
    struct stat image;
    if (stat(imagePath.text(), &image) == 0 && image.st_dev == child.st_dev &&
        image.st_ino == child.st_ino)
        return 1;
    return 2;
}

bool Utility_ConfirmChildPath(FXWindow* owner, const FXString& imagePath, const FXString& childPath)
{
    switch (Utility_ClassifyChildPath(imagePath, childPath)) {
    case 1:
        COutputMessage::ShowMessage(owner, MSG_CAPTION_DISK_IMAGE, MSG_UTILITY_CHILD_IS_IMAGE,
                                    UI_MSG_ERROR);
        return false;
    case 2:
        return COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM,
                                           MSG_DEST_PATH_REPLACE_QUESTION, UI_MSG_YESNO) == 0;
    default:
        return true;
    }
}

bool Utility_ChooseChildPath(FXWindow* owner, int patternMessage, const FXString& imagePath,
                             FXString* childPath)
{
    FXFileDialog dialog(owner, Ui_MessageText(MSG_DEST_PATH_CHOOSE_FILE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_ANY);
    dialog.setPatternList(Ui_MessageText(patternMessage));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (!dialog.execute(PLACEMENT_OWNER)) return false;
    Ui_LastDirectory() = dialog.getDirectory();
    const FXString chosen = dialog.getFilename();
    if (chosen.empty()) return false;
    if (!Utility_ConfirmChildPath(owner, imagePath, chosen)) return false;
    *childPath = chosen;
    return true;
}

bool Utility_ExistingBackup(const std::vector<std::string>& paths, std::string* which)
{
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    for (const std::string& path : paths) {
        const std::string backup = path + std::string((const char*)suffix.data, suffix.length);
        struct stat st;
        // The image itself under the backup name is an interrupted commit's trace, not a backup.
        if (lstat(backup.c_str(), &st) == 0 &&
            !Output_IsInterruptedCommitTrace(path.c_str(), backup.c_str())) {
            if (which) *which = backup;
            return true;
        }
    }
    return false;
}

bool Utility_AskReplaceBackup(FXWindow* owner, const std::vector<std::string>& paths, bool* replace)
{
    *replace = false;
    std::string backup;
    if (!Utility_ExistingBackup(paths, &backup)) return true;
    const FXString name(backup.c_str());
    if (COutputMessage::ShowMessage(owner, MSG_APP_NAME, MSG_TRIM_REPLACE_BACKUP, UI_MSG_YESNO,
                                    &name) != 0) {
        COutputMessage::ShowMessage(owner, MSG_CAPTION_PROGRAM, MSG_UTILITY_BACKUP_KEPT,
                                    UI_MSG_INFO, &name);
        return false;
    }
    *replace = true;
    return true;
}

bool Utility_ReleaseBackupAsked(FXWindow* owner, const std::string& path)
{
    bool replace = false;
    if (!Utility_AskReplaceBackup(owner, std::vector<std::string>{path}, &replace)) return false;
    if (!replace) return true;
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    const std::string backup = path + std::string((const char*)suffix.data, suffix.length);
    if (unlink(backup.c_str()) == 0) return true;
    IoFailure failure = {IO_FAILURE_WRITE, errno, 0, 0};
    Utility_ShowResult(owner, DISK_ERR_CREATE, &failure);
    return false;
}
