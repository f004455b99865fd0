// Why a long operation failed, in words.
#include "gui/frame/run_cause.h"

#include <cerrno>
#include <cstring>

#include "foundation/in_place.h"
#include "gui/frame/app.h"
#include "gui/frame/dialogs.h"
#include "gui/frame/messages.h"
#include "gui/frame/sector_size.h"

int RunCause_NoteMessage(int note)
{
    switch (note) {
    case IN_PLACE_NOTE_BACKUP_LEFT:
        return MSG_NOTE_BACKUP_LEFT;
    case IN_PLACE_NOTE_REOPEN_FAILED:
        return MSG_NOTE_REOPEN_FAILED;
    default:
        return -1;
    }
}

FXString RunCause_Text(const RunCause& cause)
{
    switch (cause.kind) {
    case RUN_CAUSE_CREATE:
    case RUN_CAUSE_WRITE: {
        if (cause.kind == RUN_CAUSE_CREATE && cause.folderMissing)
            return Ui_MessageText(MSG_CAUSE_NO_FOLDER);
        switch (cause.error) {
        case ENOSPC:
        case EDQUOT:
            return Ui_MessageText(MSG_CAUSE_NO_SPACE);
        case EROFS:
            return Ui_MessageText(MSG_CAUSE_READ_ONLY);
        case EFBIG:
            return Ui_MessageText(MSG_CAUSE_TOO_LARGE);
        default:
            break;
        }
        if (cause.kind == RUN_CAUSE_CREATE) {
            if (cause.error == EACCES || cause.error == EPERM)
                return Ui_MessageText(MSG_CAUSE_NO_PERMISSION);
            // The folder exists, yet no file can be made in it (a system folder such as /proc).
            if (cause.error == ENOENT) return Ui_MessageText(MSG_CAUSE_FOLDER_REFUSES);
        }
        FXString detail(cause.error != 0 ? strerror(cause.error) : "?");
        return Ui_ReplacePlaceholders(
            Ui_MessageText(cause.kind == RUN_CAUSE_CREATE ? MSG_CAUSE_CREATE_FAILED
                                                          : MSG_CAUSE_WRITE_FAILED),
            &detail, 1);
    }
    case RUN_CAUSE_READ: {
        FXString sector;
        sector.format("%llu", (unsigned long long)cause.sector);
        return Ui_ReplacePlaceholders(Ui_MessageText(MSG_CAUSE_SOURCE_SECTOR), &sector, 1);
    }
    case RUN_CAUSE_NO_THREAD:
        return Ui_MessageText(MSG_CAUSE_NO_THREAD);
    default:
        return FXString::null;
    }
}

RunCause RunCause_OfIoFailure(const IoFailure& failure, uint32_t bytesPerSector)
{
    RunCause cause;
    switch (failure.kind) {
    case IO_FAILURE_CREATE:
        cause.kind = RUN_CAUSE_CREATE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_WRITE:
        cause.kind = RUN_CAUSE_WRITE;
        cause.error = failure.error;
        break;
    case IO_FAILURE_READ:
        cause.kind = RUN_CAUSE_READ;
        cause.sector = failure.offset / (bytesPerSector != 0 ? bytesPerSector : UI_SECTOR_BYTES);
        break;
    default:
        break;
    }
    return cause;
}
