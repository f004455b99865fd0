// Pieces shared by the image utility dialogs: the result box, the choice of a child file, and
// the commit of a rewritten image with the question about an earlier "_del" backup.
#pragma once

#include <fx.h>

#include <string>
#include <vector>

#include "foundation/io_failure.h"

// A result that needs no box of its own: the user kept an earlier backup and has been told.
enum : int { UTILITY_RESULT_BACKUP_KEPT = 2 };

// Result box, caption 8: 0 success (371, or the note the operation left on this thread),
// 1 cancelled (373), DISK_ERR_IN_USE the image is in use (417), UTILITY_RESULT_BACKUP_KEPT none,
// anything else failure (372) with the cause the failure record gives under it, if any.
void Utility_ShowResult(FXWindow* owner, int result, const IoFailure* failure = NULL);

// What may be done with a chosen child path: 0 go on, 1 the path is the image itself (same
// device and inode, also through another name), 2 an existing other file (ask first).
int Utility_ClassifyChildPath(const FXString& imagePath, const FXString& childPath);

// Asks for a new child file (file dialog titled 287, 500 x 300, any name, the pattern list,
// the last directory). The image itself is refused with a message; another existing file is
// replaced only when the user says yes (288). False when nothing is to be created.
bool Utility_ChooseChildPath(FXWindow* owner, int patternMessage, const FXString& imagePath,
                             FXString* childPath);
// The checks of Utility_ChooseChildPath on a path already chosen.
bool Utility_ConfirmChildPath(FXWindow* owner, const FXString& imagePath,
                              const FXString& childPath);

// The first of the paths whose backup name (path + "_del") exists, in *which.
bool Utility_ExistingBackup(const std::vector<std::string>& paths, std::string* which);
// Before a commit that keeps replaced files under "_del": false when an earlier backup exists
// and the user keeps it (nothing may be committed; the user is told that the image was not
// changed, to keep it); *replace tells the commit to replace it.
bool Utility_AskReplaceBackup(FXWindow* owner, const std::vector<std::string>& paths,
                              bool* replace);

// For an engine operation that replaces `path` through a rename, keeping the old file under
// "_del" only until the new one is in place: an earlier backup there is given up only when the
// user says so (it is removed before the operation). False when the user keeps it (and has
// been told) or when it cannot be removed (the failure is shown with its cause).
bool Utility_ReleaseBackupAsked(FXWindow* owner, const std::string& path);
