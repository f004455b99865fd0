// Page 0 of the wizard: what to convert. An image file (or a disk served by a source plug-in),
// a block device named by its path, or a new blank disk. Choosing an image file opens and
// probes it at once behind a wait dialog, asks for the password of an encrypted image, and
// offers to trim the image in place instead of converting it. The page also changes the
// program's font.
#pragma once

#include <fx.h>

#include "disk/disk.h"
#include "gui/pages/page_base.h"

class CWaitDialog;

// Opens `path` with probing (Disk_OpenEx) into the handle as the job of a wait dialog titled
// and worded by two catalogue messages, run at the owner's centre; answers the open's result
// (1 when the user cancelled in the wait dialog and the open gave up). `refusal` (may be NULL)
// receives the reason that the check which refused the image recorded on the opening thread,
// or NULL when none was recorded.
int Ui_OpenDiskWaiting(FXWindow* owner, DiskHandle* handle, const char* path, bool readOnly,
                       int parentMode, int titleMessage, int textMessage,
                       const char** refusal = NULL);

// ---- Disk picker of a source plug-in -------------------------------------------------------------
// A plug-in that serves several disks lets the user pick one from a tree it fills: it is given a
// function that appends an item (tree list, parent item or NULL, NUL-terminated UTF-8 text,
// item data) and answers the new item.
typedef void* (*PluginAddItemFn)(void* tree, void* parent, const char* text, void* data);
typedef int (*PluginFillFn)(void* tree, PluginAddItemFn addItem, void* argument);

class CPluginDiskSelectorDialog : public CSelectFileBaseDialog {
    FXDECLARE(CPluginDiskSelectorDialog)
public:
    FXint fillResult;  // the fill function's answer
    void* selected;    // data of the item chosen on acceptance
protected:
    CPluginDiskSelectorDialog() : fillResult(0), selected(NULL) {}

public:
    // Builds the picker and lets the plug-in fill its tree.
    CPluginDiskSelectorDialog(FXWindow* owner, PluginFillFn fill, void* argument);
    virtual void SetSelection(void* itemData);
    // The item-adding function handed to plug-ins.
    static void* AddItem(void* tree, void* parent, const char* text, void* data);
};

// The picker run for a plug-in (GUI thread): a non-zero fill answer is returned at once;
// otherwise the dialog runs at the owner's centre, and acceptance with a chosen item stores its
// data through `out` (a void**) and answers 0; anything else answers 1.
int Ui_RunPluginDiskSelector(void* owner, void* fill, void* out, void* fillArgument);

class CInputSourcePropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourcePropertyPage)
protected:
    FXRadioButton* imageRadio;
    FXLabel* pathLabel;
    FXCheckButton* trimCheck;
    FXButton* utilityButton;
    FXTextField* pathField;
    FXButton* browseButton;
    FXLabel* listLabel;
    FXListBox* sourceList;
    FXRadioButton* deviceRadio;
    FXLabel* deviceLabel;
    FXTextField* deviceField;
    FXRadioButton* newDiskRadio;
    FXButton* fontButton;
    FXint currentRadio;     // ID_RADIO_IMAGE, ID_RADIO_DEVICE or ID_RADIO_NEW_DISK
    bool hasSourcePlugins;  // the list offers source plug-ins
    bool deviceAllowed;     // the device choice is offered (always)

    CInputSourcePropertyPage();

    // Enables the widgets of the chosen radio button.
    void ApplyEnabling();
    // Releases the map, the source disk and the plug-in output of an earlier choice.
    void ReleaseChoice();
    // Next with the list choice: opens the image file or the plug-in disk and runs the trim
    // check. False keeps the page; the job then holds no source disk and no map.
    bool OpenListChoice();
    bool OpenImageFile();
    bool OpenWithPassword();
    bool OpenPluginDisk(FXint entry);
    // The file is taken as a raw image: no disk, source kind 0.
    void TakeAsRawImage();
    // The Parallels snapshot picker as alternative opener: -1 when it does not take the file,
    // 1 when the bundle opened at the chosen snapshot, 0 when the page stays (cancelled, or the
    // failure was shown).
    int TryParallelsSnapshot();
    bool CheckTrim();

public:
    enum {
        ID_RADIO_IMAGE = 62,
        ID_RADIO_DEVICE = 63,
        ID_RADIO_NEW_DISK = 64,
        ID_BROWSE = 65,
        ID_TRIM = 66,
        ID_LIST = 67,
        ID_UTILITY = 68,
        ID_FONT = 69
    };

    // `fontIcon` is the picture of the font button (owned by the wizard).
    CInputSourcePropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                             FXComposite* parent, FXIcon* fontIcon);

    virtual void OnSetActive();
    virtual int OnWizardNext();

    // Opens the plug-in disk of the entry into job->sourceDisk behind a wait dialog, handing
    // the plug-in the host callbacks of the wait dialog.
    int OpenPluginSourceWaiting(ConversionJob* job, PluginListEntry* entry);

    long onCmdSourceRadio(FXObject*, FXSelector, void*);
    long onUpdSourceRadio(FXObject*, FXSelector, void*);
    long onCmdBrowse(FXObject*, FXSelector, void*);
    long onCmdFont(FXObject*, FXSelector, void*);
    // The utility dialog of the typed image (VMDK or VHD).
    long onCmdUtility(FXObject*, FXSelector, void*);

    FXint GetCurrentRadio() const { return currentRadio; }
    FXTextField* GetPathField() const { return pathField; }
    FXTextField* GetDeviceField() const { return deviceField; }
    FXCheckButton* GetTrimCheck() const { return trimCheck; }
    FXListBox* GetSourceList() const { return sourceList; }
    FXButton* GetUtilityButton() const { return utilityButton; }
    FXButton* GetBrowseButton() const { return browseButton; }
    FXButton* GetFontButton() const { return fontButton; }
};
