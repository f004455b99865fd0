// The qcow2 snapshot picker: lists the current state and the internal snapshots of a qcow2
// image, and opens the image at the state the user picks (asking for its password when it is
// encrypted).
#pragma once

#include <fx.h>

#include "disk/disk.h"
#include "formats/qcow2/qcow2.h"
#include "gui/frame/dialogs.h"

class CQemuQcow2DiskSelectorDialog : public CSelectFileBaseDialog {
    FXDECLARE(CQemuQcow2DiskSelectorDialog)
protected:
    const Qcow2SnapshotList* list;
    CQemuQcow2DiskSelectorDialog() : list(NULL), selected(-1) {}

public:
    FXint selected;  // -1 the current state, else the snapshot's index
    CQemuQcow2DiskSelectorDialog(FXWindow* owner, const Qcow2SnapshotList* snapshots);
    virtual void SetSelection(void* itemData);
};

// The row text of a snapshot: identifier, name and local date, the texts built by their
// lengths (they are not terminated).
FXString Ui_Qcow2SnapshotText(const Qcow2Snapshot& snapshot);

// Opens a qcow2 image (at a snapshot when useSnapshot) with a key; with `verify` the first
// sector must carry the boot signature, else the handle is closed and DISK_ERR_KEY_LENGTH
// answered.
int Ui_OpenDiskCheckKey(DiskHandle* handle, const char* path, bool readOnly, const uint8_t* key,
                        uint32_t keyLength, bool verify, bool refuseSnapshots, bool useSnapshot,
                        uint32_t snapshotIndex, int backingMode);

// The alternative opener of the source page: *taken = false when the file is no qcow2 image.
// 0 opened, 1 cancelled, otherwise the open's failure.
int Ui_OpenQcow2Snapshot(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                         FXWindow* owner);
