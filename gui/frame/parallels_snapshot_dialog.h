// The Parallels snapshot picker: the snapshots of a bundle as a tree (children under their
// parent snapshot), and the alternative opener of the source page that opens the bundle at the
// snapshot the user picks.
#pragma once

#include <fx.h>

#include "disk/disk.h"
#include "formats/parallels/parallels_bundle.h"
#include "gui/frame/dialogs.h"

class CParallelsDiskSelectorDialog : public CSelectFileBaseDialog {
    FXDECLARE(CParallelsDiskSelectorDialog)
protected:
    CParallelsDiskSelectorDialog() : list(NULL), filled(false)
    {
        selected.data = NULL;
        selected.length = 0;
    }

public:
    const ParallelsSnapshotList* list;
    TextView selected;  // the accepted snapshot's GUID (a view into the list)
    bool filled;        // every snapshot reachable from the root found its place

    CParallelsDiskSelectorDialog(FXWindow* owner, const ParallelsSnapshotList* list);
    virtual void SetSelection(void* itemData);
};

// Appends the snapshots whose parent is `parent` (letter case ignored) under parentItem, then
// theirs under them, without recursion and visiting every snapshot once (a snapshot that is its
// own parent, or a loop, ends the walk). Items with children are expanded. False when a GUID
// does not fit 128 bytes (the filling stops there).
bool ParallelsSnapshotList_FillTree(const ParallelsSnapshotList* list, TextView parent,
                                    FXTreeList* tree, FXTreeItem* parentItem);

// The alternative opener: *taken = false when the path is no bundle with a snapshot list
// (its failure is returned); otherwise the picker runs and the bundle opens at the chosen
// snapshot (0), or the user cancelled (1), or that open's failure.
int Ui_OpenParallelsSnapshot(DiskHandle* handle, const char* path, bool readOnly, bool* taken,
                             FXWindow* owner);
