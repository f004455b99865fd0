// The VirtualBox machine-file picker.
#include "gui/frame/vbox_machine_dialog.h"

#include <cstdint>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vdi/vdi.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"

FXIMPLEMENT(CVirtualBoxSelectFileDialog, CSelectFileBaseDialog, NULL, 0)

CVirtualBoxSelectFileDialog::CVirtualBoxSelectFileDialog(FXWindow* owner, const VBoxDiskList* list)
    : CSelectFileBaseDialog(owner), entries(list), selected(-1)
{
    if (entries == NULL) return;
    // Parents always precede their children in the list, so each parent's item exists.
    std::vector<FXTreeItem*> items(entries->size(), NULL);
    for (size_t i = 0; i < entries->size(); ++i) {
        const VBoxDiskEntry& e = (*entries)[i];
        FXString text(e.path);
        if (e.hasLabel) text += FXString(" (") + FXString(e.label.c_str()) + ")";
        FXTreeItem* parent = NULL;
        if (e.parent >= 0 && (size_t)e.parent < i) parent = items[(size_t)e.parent];
        items[i] = treeList->appendItem(parent, text, NULL, NULL, (void*)(intptr_t)i);
        if (parent != NULL) treeList->expandTree(parent);
    }
    for (FXTreeItem* item : items)
        if (item != NULL) treeList->expandTree(item);
    FXTreeItem* first = treeList->getFirstItem();
    if (first != NULL) {
        treeList->setCurrentItem(first);
        treeList->selectItem(first);
    }
}

void CVirtualBoxSelectFileDialog::SetSelection(void* itemData)
{
    selected = (FXint)(intptr_t)itemData;
}

int Ui_OpenVirtualBoxMachine(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                             FXWindow* owner)
{
    *taken = false;
    const FXString label = Ui_MessageText(MSG_SELECT_DISK_CURRENT_STATE);
    VBoxDiskList list;
    if (!VBoxMachine_ReadDisks(path, label.text(), &list)) return DISK_ERR_FORMAT;
    *taken = true;
    if (list.empty()) return DISK_ERR_FORMAT;
    CVirtualBoxSelectFileDialog dialog(owner, &list);
    if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return DISK_CANCELLED;
    if (dialog.selected < 0 || (size_t)dialog.selected >= list.size()) return DISK_CANCELLED;
    const VBoxDiskEntry& chosen = list[(size_t)dialog.selected];
    // Parents nearest first; parent indexes always point backwards, so the walk ends.
    std::vector<const char*> parents;
    int32_t p = chosen.parent;
    while (p >= 0 && (size_t)p < list.size() && parents.size() < list.size()) {
        parents.push_back(list[(size_t)p].path);
        const int32_t next = list[(size_t)p].parent;
        if (next >= p) break;
        p = next;
    }
    int r = Disk_OpenVdiWithParents(handle, chosen.path, readOnly, (uint32_t)parents.size(),
                                    parents.data());
    if (r == DISK_OK) return r;
    Disk_Init(handle);
    return Disk_Open(handle, chosen.path, readOnly);
}
