// The qcow2 snapshot picker.
#include "gui/frame/qcow2_snapshot_dialog.h"

#include <cstdint>
#include <ctime>

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/qcow_password_dialog.h"

FXIMPLEMENT(CQemuQcow2DiskSelectorDialog, CSelectFileBaseDialog, NULL, 0)

FXString Ui_Qcow2SnapshotText(const Qcow2Snapshot& s)
{
    FXString id(reinterpret_cast<const FXchar*>(s.id), (FXint)s.idLength);
    FXString name(reinterpret_cast<const FXchar*>(s.name), (FXint)s.nameLength);
    char date[64] = "";
    time_t seconds = (time_t)s.dateSeconds;
    struct tm local;
    if (localtime_r(&seconds, &local) != NULL)
        strftime(date, sizeof date, "%Y/%m/%d %H:%M:%S", &local);
    return id + " " + name + " " + date;
}

CQemuQcow2DiskSelectorDialog::CQemuQcow2DiskSelectorDialog(FXWindow* owner,
                                                           const Qcow2SnapshotList* snapshots)
    : CSelectFileBaseDialog(owner), list(snapshots), selected(-1)
{
    treeList->appendItem(NULL, Ui_MessageText(MSG_QCOW2_SNAPSHOT_CURRENT_STATE), NULL, NULL,
                         (void*)(intptr_t)-1);
    for (uint32_t i = 0; list != NULL && i < list->count; ++i)
        treeList->appendItem(NULL, Ui_Qcow2SnapshotText(list->entries[i]), NULL, NULL,
                             (void*)(intptr_t)i);
    treeList->setCurrentItem(treeList->getFirstItem());
    treeList->selectItem(treeList->getFirstItem());
}

void CQemuQcow2DiskSelectorDialog::SetSelection(void* itemData)
{
    selected = (FXint)(intptr_t)itemData;
}

int Ui_OpenDiskCheckKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                        uint32_t keyLength, bool verify, bool refuseSnapshots, bool useSnapshot,
                        uint32_t snapshotIndex, int backingMode)
{
    int r = Disk_OpenQcow2Snapshot(handle, path, readOnly, key, keyLength, refuseSnapshots,
                                   useSnapshot, snapshotIndex, backingMode);
    if (r != DISK_OK || !verify) return r;
    uint8_t bytes[2] = {0, 0};
    r = Disk_Read(handle, 510, 2, bytes);
    if (r == DISK_OK && (bytes[0] != 0x55 || bytes[1] != 0xAA)) r = DISK_ERR_KEY_LENGTH;
    if (r != DISK_OK) Disk_Close(handle);
    return r;
}

int Ui_OpenQcow2Snapshot(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                         FXWindow* owner)
{
    *taken = false;
    Qcow2SnapshotList list;
    Qcow2_InitSnapshotList(&list);
    int r = Qcow2_ReadSnapshotList(&list, path);
    if (r != DISK_OK) return r;
    *taken = true;
    CQemuQcow2DiskSelectorDialog dialog(owner, &list);
    if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) {
        Qcow2_FreeSnapshotList(&list);
        return DISK_CANCELLED;
    }
    const bool useSnapshot = dialog.selected >= 0;
    const uint32_t index = useSnapshot ? (uint32_t)dialog.selected : 0;
    Qcow2_FreeSnapshotList(&list);
    // An image with snapshots is opened read-only here, so that the state picked is the one read.
    r = Disk_OpenQcow2Snapshot(handle, path, readOnly, NULL, 0, false, useSnapshot, index, 0);
    if (r != DISK_ERR_PASSWORD) return r;
    Disk_Init(handle);
    CInputQemuQcowPasswordDialog password(owner);
    if (password.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return DISK_CANCELLED;
    return Ui_OpenDiskCheckKey(handle, path, readOnly, password.key, 16, password.verify, false,
                               useSnapshot, index, 0);
}
