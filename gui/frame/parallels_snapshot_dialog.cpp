// The Parallels snapshot picker.
#include "gui/frame/parallels_snapshot_dialog.h"

#include <cstring>
#include <vector>

#include "gui/frame/widgets.h"

namespace {

const char kNullGuid[] = "{00000000-0000-0000-0000-000000000000}";
const uint32_t kMaxItemText = 128;

}  // namespace

FXIMPLEMENT(CParallelsDiskSelectorDialog, CSelectFileBaseDialog, NULL, 0)

CParallelsDiskSelectorDialog::CParallelsDiskSelectorDialog(FXWindow* owner,
                                                           const ParallelsSnapshotList* list)
    : CSelectFileBaseDialog(owner), list(list), filled(false)
{
    selected.data = NULL;
    selected.length = 0;
    TextView root = {reinterpret_cast<const uint8_t*>(kNullGuid),
                     static_cast<uint32_t>(sizeof kNullGuid - 1)};
    filled = ParallelsSnapshotList_FillTree(list, root, treeList, NULL);
}

void CParallelsDiskSelectorDialog::SetSelection(void* itemData)
{
    if (itemData != NULL) selected = *static_cast<const TextView*>(itemData);
}

bool ParallelsSnapshotList_FillTree(const ParallelsSnapshotList* list, TextView parent,
                                    FXTreeList* tree, FXTreeItem* parentItem)
{
    if (list == NULL || tree == NULL) return false;
    // Work list of (parent GUID, its item); every snapshot is placed at most once.
    struct Work {
        TextView guid;
        FXTreeItem* item;
    };
    std::vector<Work> work;
    std::vector<bool> placed(list->count, false);
    work.push_back(Work{parent, parentItem});
    for (size_t w = 0; w < work.size(); ++w) {
        const Work current = work[w];
        bool hasChildren = false;
        for (uint32_t i = 0; i < list->count; ++i) {
            if (placed[i] || !Parallels_GuidEquals(list->parents[i], current.guid)) continue;
            const TextView& g = list->guids[i];
            if (g.length > kMaxItemText) return false;
            char text[kMaxItemText + 1];
            memcpy(text, g.data, g.length);
            text[g.length] = 0;
            FXString label;
            Ui_CStringToFXString(&label, text, TEXT_ENC_UTF8);
            placed[i] = true;
            FXTreeItem* item = tree->appendItem(current.item, label, NULL, NULL,
                                                const_cast<TextView*>(&list->guids[i]));
            work.push_back(Work{g, item});
            hasChildren = true;
        }
        if (hasChildren && current.item != NULL) tree->expandTree(current.item);
    }
    return true;
}

int Ui_OpenParallelsSnapshot(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                             FXWindow* owner)
{
    *taken = false;
    ParallelsSnapshotList list;
    int rc = ParallelsBundle_ReadSnapshotList(&list, path);
    if (rc != DISK_OK) return rc;
    *taken = true;
    CParallelsDiskSelectorDialog dialog(owner, &list);
    if (dialog.execute(PLACEMENT_OWNER) != 61 || dialog.selected.data == NULL) {
        ParallelsBundle_FreeSnapshotList(&list);
        return 1;
    }
    char guid[64];
    if (dialog.selected.length >= sizeof guid) {
        ParallelsBundle_FreeSnapshotList(&list);
        return DISK_ERR_ARG;
    }
    memcpy(guid, dialog.selected.data, dialog.selected.length);
    guid[dialog.selected.length] = 0;
    ParallelsBundle_FreeSnapshotList(&list);
    return Disk_OpenParallelsSnapshot(handle, path, readOnly, guid);
}
