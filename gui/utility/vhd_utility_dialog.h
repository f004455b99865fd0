// The VHD image utilities: expanding a dynamic image, creating a differencing child with a
// chosen creator and layout, and editing the parent link of a differencing image.
#pragma once

#include <fx.h>

#include <cstdint>

#include "formats/vhd/vhd_records.h"
#include "gui/frame/dialogs.h"

// The creator and layout each list item gives a child (6 creators, 7 layout variants).
enum : int { VHD_UTILITY_CREATORS = 6, VHD_UTILITY_VARIANTS = 7 };
// Options of a child from the two list choices (each clamped to its list).
VhdCreateOptions VhdUtility_ChildOptions(int creator, int variant);
// The creator the list takes when a variant is chosen.
int VhdUtility_CreatorForVariant(int variant);
// The lists' preset for an image's layout: fixed images, then the layout inferred at open.
void VhdUtility_PresetFromLayout(bool fixed, uint32_t batAlignment, uint32_t blockSectors,
                                 uint32_t zeroSectorsAfterBat, uint32_t creatorVersion,
                                 int* variant, int* creator);
// The relative form of a parent path for the link, as Windows tools read it and the child
// creator writes it: relative to the child's directory, with backslash separators and
// dot-backslash in front unless it climbs with ".."; false when none exists.
bool VhdUtility_RelativeParentPath(const FXString& childPath, const FXString& parentPath,
                                   FXString* out);

class CVirtualPCVhdUtilityDialog : public CNDialogBase {
    FXDECLARE(CVirtualPCVhdUtilityDialog)
protected:
    FXString imagePath;
    uint32_t newCapacity;
    FXLabel* pathLabel;
    FXButton* expandButton;
    FXButton* childButton;
    FXButton* parentButton;
    FXLabel* creatorLabel;
    FXListBox* creatorList;
    FXLabel* variantLabel;
    FXListBox* variantList;
    CVirtualPCVhdUtilityDialog();

public:
    enum {
        ID_CLOSE = 58,
        ID_EXPAND = 62,
        ID_CHILD = 63,
        ID_PARENT = 64,
        ID_CREATOR = 65,
        ID_VARIANT = 66
    };
    CVirtualPCVhdUtilityDialog(FXWindow* owner, const FXString& path);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXButton* GetButton(FXSelector id) const;
    FXListBox* GetCreatorList() const { return creatorList; }
    FXListBox* GetVariantList() const { return variantList; }
    long onCmdExpand(FXObject*, FXSelector, void*);
    long onCmdChild(FXObject*, FXSelector, void*);
    long onCmdParent(FXObject*, FXSelector, void*);
    long onCmdVariant(FXObject*, FXSelector, void*);
    long onCmdClose(FXObject*, FXSelector, void*);
    static int ExpandJob(void* argument, bool (*progress)(uint64_t, uint64_t, void*), void* user);
};

class CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog : public CNDialogBase {
    FXDECLARE(CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog)
public:
    FXString absolutePath;
    FXString relativePath;
    FXString parentName;
    FXString childPath;

protected:
    FXTextField* absoluteField;
    FXTextField* relativeField;
    FXTextField* nameField;
    FXButton* browseButton;
    CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog();

public:
    enum { ID_OK = 62, ID_CANCEL = 63, ID_BROWSE = 64 };
    CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    // What a browsed parent puts into the three fields (nothing when it is the child itself).
    void ChooseParent(const FXString& chosen);
    FXTextField* GetAbsoluteField() const { return absoluteField; }
    FXTextField* GetRelativeField() const { return relativeField; }
    FXTextField* GetNameField() const { return nameField; }
    long onCmdBrowse(FXObject*, FXSelector, void*);
    long onCmdOk(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
