// The qcow2 image utilities: creating a child (overlay) image whose backing file is the image,
// and editing the backing file name of a child in place.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/frame/dialogs.h"

struct DiskHandle;

class CQemuQcow2UtilityDialog : public CNDialogBase {
    FXDECLARE(CQemuQcow2UtilityDialog)
protected:
    FXString imagePath;
    uint8_t key[16];
    uint32_t keyLength;  // 16 with a key, else 0
    FXLabel* pathLabel;
    FXButton* childButton;
    FXButton* changeButton;
    FXButton* closeButton;
    CQemuQcow2UtilityDialog();
    // Opens the image with the key (backing file optional); false, handle closed, on failure.
    bool OpenImage(DiskHandle* disk, bool readOnly) const;

public:
    enum { ID_CLOSE = 60, ID_CHILD = 62, ID_CHANGE = 63 };
    CQemuQcow2UtilityDialog(FXWindow* owner, const FXString& path);
    // The key of an encrypted image (16 bytes); NULL forgets it.
    void SetKey(const uint8_t* newKey);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXButton* GetButton(FXSelector id) const;
    long onCmdChild(FXObject*, FXSelector, void*);
    long onCmdChange(FXObject*, FXSelector, void*);
    long onCmdClose(FXObject*, FXSelector, void*);
};

class CQemuQcow2UtilityDifferenceChangeParamDialog : public CNDialogBase {
    FXDECLARE(CQemuQcow2UtilityDifferenceChangeParamDialog)
public:
    FXString backingName;  // in: the present name; out after 61: the new one (never empty)
    FXString imagePath;    // the base of relative names
protected:
    FXTextField* nameField;
    FXRadioButton* absoluteRadio;
    FXRadioButton* relativeRadio;
    FXuint pathMode;
    CQemuQcow2UtilityDifferenceChangeParamDialog();

public:
    enum { ID_CANCEL = 60, ID_OK = 61, ID_BROWSE = 62, ID_ABSOLUTE = 63, ID_RELATIVE = 64 };
    CQemuQcow2UtilityDifferenceChangeParamDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetNameField() const { return nameField; }
    FXuint GetPathMode() const { return pathMode; }
    long onCmdBrowse(FXObject*, FXSelector, void*);
    long onCmdMode(FXObject*, FXSelector, void*);
    long onUpdMode(FXObject*, FXSelector, void*);
    long onCmdOk(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
