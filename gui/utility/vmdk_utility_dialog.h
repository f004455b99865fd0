// The VMDK image utilities: rewriting a sparse image without its free space, expanding the
// capacity, creating a child image and editing descriptor parameters.
#pragma once

#include <fx.h>

#include <cstdint>

#include "foundation/io_failure.h"
#include "gui/frame/dialogs.h"

class CVMwareVmdkUtilityDialog : public CNDialogBase {
    FXDECLARE(CVMwareVmdkUtilityDialog)
protected:
    FXString imagePath;
    bool embed;
    bool useMap;
    uint64_t newCapacity;
    FXLabel* pathLabel;
    FXButton* rewriteOneButton;
    FXButton* rewriteKeepButton;
    FXButton* expandButton;
    FXCheckButton* useMapButton;
    FXButton* childButton;
    FXButton* changeButton;
    CVMwareVmdkUtilityDialog();
    // Runs the job in a progress dialog and commits or discards its files; the result code.
    // The result, and in *failure the failure record of the step that failed.
    int RunRewriteOrExpand(bool expand, IoFailure* failure);

public:
    enum {
        ID_CLOSE = 62,
        ID_REWRITE_ONE = 63,
        ID_REWRITE_KEEP = 64,
        ID_EXPAND = 65,
        ID_USE_MAP = 66,
        ID_CHILD = 67,
        ID_CHANGE = 68
    };
    CVMwareVmdkUtilityDialog(FXWindow* owner, const FXString& path);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXButton* GetButton(FXSelector id) const;
    FXCheckButton* GetUseMapButton() const { return useMapButton; }
    long onCmdRewrite(FXObject*, FXSelector, void*);
    long onCmdExpand(FXObject*, FXSelector, void*);
    long onCmdChild(FXObject*, FXSelector, void*);
    long onCmdChange(FXObject*, FXSelector, void*);
    long onCmdClose(FXObject*, FXSelector, void*);

    // The jobs run in the progress dialog (argument: a VmdkUtilityJob).
    static int RewriteJob(void* argument, bool (*progress)(uint64_t, uint64_t, void*), void* user);
    static int ExpandJob(void* argument, bool (*progress)(uint64_t, uint64_t, void*), void* user);
};

// Base image parameters.
class CVMwareVmdkUtilityChangeParamDialog : public CNDialogBase {
    FXDECLARE(CVMwareVmdkUtilityChangeParamDialog)
public:
    FXuint encodingChoice;
    FXuint hwVersionIndex;
    FXuint adapterIndex;
    FXuint cylinders, heads, sectors;
    bool uuidFlag;
    FXString uuidText;

protected:
    FXListBox* encodingList;
    FXListBox* hwList;
    FXListBox* adapterList;
    FXTextField* cylinderField;
    FXTextField* headField;
    FXTextField* sectorField;
    FXCheckButton* uuidButton;
    FXTextField* uuidField;
    CVMwareVmdkUtilityChangeParamDialog();

public:
    enum {
        ID_OK = 62,
        ID_CANCEL = 63,
        ID_ENCODING = 64,
        ID_HW = 65,
        ID_ADAPTER = 66,
        ID_UUID = 67
    };
    CVMwareVmdkUtilityChangeParamDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetHeadField() const { return headField; }
    FXTextField* GetCylinderField() const { return cylinderField; }
    FXListBox* GetAdapterList() const { return adapterList; }
    FXCheckButton* GetUuidButton() const { return uuidButton; }
    long onCmdUuid(FXObject*, FXSelector, void*);
    long onCmdOk(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};

// Child image parameters: encoding and the parent hint.
class CVMwareVmdkUtilityDifferenceChangeParamDialog : public CNDialogBase {
    FXDECLARE(CVMwareVmdkUtilityDifferenceChangeParamDialog)
public:
    FXuint encodingChoice;
    FXString parentHint;
    FXString imagePath;

protected:
    FXListBox* encodingList;
    FXTextField* hintField;
    FXRadioButton* absoluteRadio;
    FXRadioButton* relativeRadio;
    FXuint pathMode;
    CVMwareVmdkUtilityDifferenceChangeParamDialog();

public:
    enum { ID_ENCODING = 62, ID_BROWSE = 63, ID_ABSOLUTE = 64, ID_RELATIVE = 65 };
    CVMwareVmdkUtilityDifferenceChangeParamDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetHintField() const { return hintField; }
    long onCmdBrowse(FXObject*, FXSelector, void*);
    long onCmdMode(FXObject*, FXSelector, void*);
    long onUpdMode(FXObject*, FXSelector, void*);
    long onCmdOk(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
