// The VirtualBox machine-file picker: the disks registered in a machine description, children
// under their parents, each with the state or snapshot using it; the chosen disk opens with its
// chain of parents.
#pragma once

#include <fx.h>

#include "disk/disk.h"
#include "formats/vdi/vbox_machine.h"
#include "gui/frame/dialogs.h"

class CVirtualBoxSelectFileDialog : public CSelectFileBaseDialog {
    FXDECLARE(CVirtualBoxSelectFileDialog)
protected:
    const VBoxDiskList* entries;
    CVirtualBoxSelectFileDialog() : entries(NULL), selected(-1) {}

public:
    FXint selected;  // the chosen entry's index, -1 none
    CVirtualBoxSelectFileDialog(FXWindow* owner, const VBoxDiskList* list);
    virtual void SetSelection(void* itemData);
};

// The alternative opener of the source page: *taken = false when the file is no VirtualBox
// machine description. 0 opened, 1 cancelled, otherwise the open's failure.
int Ui_OpenVirtualBoxMachine(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                             FXWindow* owner);
