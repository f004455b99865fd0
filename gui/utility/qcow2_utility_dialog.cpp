// The qcow2 utility dialog and the backing-name dialog.
#include "gui/utility/qcow2_utility_dialog.h"

#include <sys/stat.h>

#include <cstring>

#include "disk/disk.h"
#include "formats/qcow2/qcow2.h"
#include "formats/qcow2/qcow2_maintain.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"
#include "gui/utility/utility_common.h"

// ---- Utility dialog ------------------------------------------------------------------------------
FXDEFMAP(CQemuQcow2UtilityDialog)
CQemuQcow2UtilityDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDialog::ID_CHILD, CQemuQcow2UtilityDialog::onCmdChild),
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDialog::ID_CHANGE,
              CQemuQcow2UtilityDialog::onCmdChange),
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDialog::ID_CLOSE, CQemuQcow2UtilityDialog::onCmdClose),
    FXMAPFUNC(SEL_CLOSE, 0, CQemuQcow2UtilityDialog::onCmdClose),
};
FXIMPLEMENT(CQemuQcow2UtilityDialog, CNDialogBase, CQemuQcow2UtilityDialogMap,
            ARRAYNUMBER(CQemuQcow2UtilityDialogMap))

CQemuQcow2UtilityDialog::CQemuQcow2UtilityDialog()
    : keyLength(0), pathLabel(NULL), childButton(NULL), changeButton(NULL), closeButton(NULL)
{
    memset(key, 0, sizeof key);
}

CQemuQcow2UtilityDialog::CQemuQcow2UtilityDialog(FXWindow* owner, const FXString& path)
    : CNDialogBase(owner, MSG_UTILITY_TITLE, 41, 18, false), imagePath(path), keyLength(0)
{
    memset(key, 0, sizeof key);
    FXPacker* frame = GetContentFrame();
    const FXint width = Ui_ScaleX(41);
    pathLabel = Ui_CreateLeftLabelText(frame, FXString(), 1, 1, 39, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPERATIONS, 1, 4, 14, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPTIONS, 17, 4, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(6), width);
    childButton = Ui_CreateButton(frame, MSG_UTILITY_CREATE_CHILD, this, ID_CHILD, 1, 7, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(10), width);
    changeButton = Ui_CreateButton(frame, MSG_UTILITY_CHANGE_LINK, this, ID_CHANGE, 1, 11, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(14), width);
    closeButton = Ui_CreateDefaultButton(frame, MSG_UTILITY_CLOSE, this, ID_CLOSE, 33, 15, 7, 2);
}

void CQemuQcow2UtilityDialog::SetKey(const uint8_t* newKey)
{
    if (newKey) {
        memcpy(key, newKey, sizeof key);
        keyLength = sizeof key;
    } else {
        memset(key, 0, sizeof key);
        keyLength = 0;
    }
}

FXButton* CQemuQcow2UtilityDialog::GetButton(FXSelector id) const
{
    switch (id) {
    case ID_CHILD:
        return childButton;
    case ID_CHANGE:
        return changeButton;
    case ID_CLOSE:
        return closeButton;
    default:
        return NULL;
    }
}

bool CQemuQcow2UtilityDialog::OpenImage(DiskHandle* disk, bool readOnly) const
{
    Disk_Init(disk);
    const uint8_t* k = keyLength ? key : NULL;
    const int r = readOnly ? Disk_OpenQcow2Snapshot(disk, imagePath.text(), true, k, keyLength,
                                                    false, false, 0, QCOW2_BACKING_OPTIONAL)
                           : Disk_OpenQcow2WithKey(disk, imagePath.text(), false, k, keyLength,
                                                   QCOW2_BACKING_OPTIONAL);
    if (r != DISK_OK || Disk_GetKind(disk) != DISK_KIND_QCOW2 || Disk_GetObject(disk) == NULL) {
        Disk_Close(disk);
        return false;
    }
    return true;
}

FXuint CQemuQcow2UtilityDialog::execute(FXuint placement)
{
    pathLabel->setText(imagePath);
    DiskHandle disk;
    if (!OpenImage(&disk, true)) {
        COutputMessage::ShowMessage(getOwner(), MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return UI_RESULT_CANCEL;
    }
    if (Qcow2_HasParent(Disk_GetObject(&disk)))
        changeButton->enable();
    else
        changeButton->disable();
    childButton->enable();
    Disk_Close(&disk);
    create();
    closeButton->setFocus();
    return FXDialogBox::execute(placement);
}

// The question before a file is replaced by the child (288), with "No" as the button that has
// the focus and answers Enter. True for yes.
namespace {
class ReplaceQuestion : public FXMessageBox {
public:
    explicit ReplaceQuestion(FXWindow* owner)
        : FXMessageBox(owner, Ui_MessageText(MSG_CAPTION_PROGRAM),
                       Ui_MessageText(MSG_DEST_PATH_REPLACE_QUESTION), NULL, MBOX_YES_NO),
          noButton(Find(this))
    {}
    // Showing gives the focus to the box's first button: it moves to "No" afterwards.
    virtual void show(FXuint placement)
    {
        FXMessageBox::show(placement);
        if (noButton != NULL) noButton->setFocus();
    }

private:
    FXWindow* noButton;
    // The "No" button, somewhere among the box's frames.
    static FXWindow* Find(FXWindow* parent)
    {
        for (FXWindow* w = parent->getFirst(); w != NULL; w = w->getNext()) {
            if (w->isMemberOf(FXMETACLASS(FXButton)) && w->getSelector() == ID_CLICKED_NO) return w;
            if (FXWindow* inner = Find(w)) return inner;
        }
        return NULL;
    }
};
}  // namespace

static bool AskReplaceFile(FXWindow* owner)
{
    ReplaceQuestion box(owner);
    return box.execute(PLACEMENT_OWNER) == MBOX_CLICKED_YES;
}

long CQemuQcow2UtilityDialog::onCmdChild(FXObject*, FXSelector, void*)
{
    FXFileDialog fileDialog(this, Ui_MessageText(MSG_DEST_PATH_CHOOSE_FILE), 0, 0, 0, 500, 300);
    fileDialog.setSelectMode(SELECTFILE_ANY);
    fileDialog.setPatternList(Ui_MessageText(MSG_PATTERN_QCOW2));
    if (!Ui_LastDirectory().empty()) fileDialog.setDirectory(Ui_LastDirectory());
    if (!fileDialog.execute(PLACEMENT_OWNER)) return 1;
    Ui_LastDirectory() = fileDialog.getDirectory();
    const FXString childPath = fileDialog.getFilename();
    if (childPath.empty()) return 1;
    DiskHandle disk;
    if (!OpenImage(&disk, true)) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    // Never the image or a file below it; anything else at the name only when the user says so.
    int refusal = 0;
    if (Utility_ClassifyChildPath(imagePath, childPath) == 1)
        refusal = MSG_UTILITY_CHILD_IS_IMAGE;
    else if (Qcow2_IsFileOfChain(&disk, childPath.text()))
        refusal = MSG_UTILITY_CHILD_IS_BACKING;
    if (refusal != 0) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, refusal, UI_MSG_ERROR);
        return 1;
    }
    struct stat existing;
    const bool replace = lstat(childPath.text(), &existing) == 0;
    if (replace && !AskReplaceFile(this)) {
        Disk_Close(&disk);
        return 1;
    }
    IoFailure_Clear();
    const int r = Qcow2_CreateOverlay(&disk, imagePath.text(), childPath.text(), false, replace);
    const IoFailure failure = IoFailure_Get();
    Disk_Close(&disk);
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CQemuQcow2UtilityDialog::onCmdChange(FXObject*, FXSelector, void*)
{
    DiskHandle disk;
    if (!OpenImage(&disk, false)) {
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_RAW_CANNOT_OPEN, UI_MSG_INFO);
        return 1;
    }
    Qcow2Image* image = (Qcow2Image*)Disk_GetObject(&disk);
    Qcow2NameBuffer name = {NULL, 0, 0};
    if (!Qcow2_HasParent(image) || Qcow2_ReadBackingName(image, &name) != DISK_OK) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_RAW_CANNOT_OPEN, UI_MSG_INFO);
        return 1;
    }
    CQemuQcow2UtilityDifferenceChangeParamDialog dialog(this);
    Ui_TextToFXString(&dialog.backingName, TextView{name.data, name.length}, TEXT_ENC_UTF8);
    Mem_Free(name.data);
    dialog.imagePath = imagePath;
    if (dialog.execute(PLACEMENT_OWNER) == UI_RESULT_ACCEPT) {
        // An empty name would leave the image without its base: never written.
        FXStringText text;
        int r = DISK_ERR_ARG;
        FXString trimmed = dialog.backingName;
        trimmed.trim();
        IoFailure_Clear();
        if (!trimmed.empty() && Ui_ConvertFXStringText(&text, dialog.backingName, TEXT_ENC_UTF8) &&
            text.view.length != 0)
            r = Qcow2_SetBackingName(image, text.view);
        else
            r = DISK_ERR_FORMAT;
        const IoFailure failure = IoFailure_Get();
        // The engine refuses a name that does not fit (nothing written): say so.
        if (r == DISK_ERR_ARG)
            COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_UTILITY_BACKING_NAME_NO_ROOM,
                                        UI_MSG_ERROR);
        else
            Utility_ShowResult(this, r, &failure);
    }
    Disk_Close(&disk);
    return 1;
}

long CQemuQcow2UtilityDialog::onCmdClose(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

// ---- Backing-name dialog -------------------------------------------------------------------------
FXDEFMAP(CQemuQcow2UtilityDifferenceChangeParamDialog)
CQemuQcow2UtilityDifferenceChangeParamDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_BROWSE,
              CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdBrowse),
    FXMAPFUNCS(SEL_COMMAND, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_ABSOLUTE,
               CQemuQcow2UtilityDifferenceChangeParamDialog::ID_RELATIVE,
               CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdMode),
    FXMAPFUNCS(SEL_UPDATE, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_ABSOLUTE,
               CQemuQcow2UtilityDifferenceChangeParamDialog::ID_RELATIVE,
               CQemuQcow2UtilityDifferenceChangeParamDialog::onUpdMode),
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_OK,
              CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdOk),
    FXMAPFUNC(SEL_COMMAND, CQemuQcow2UtilityDifferenceChangeParamDialog::ID_CANCEL,
              CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdCancel),
};
FXIMPLEMENT(CQemuQcow2UtilityDifferenceChangeParamDialog, CNDialogBase,
            CQemuQcow2UtilityDifferenceChangeParamDialogMap,
            ARRAYNUMBER(CQemuQcow2UtilityDifferenceChangeParamDialogMap))

CQemuQcow2UtilityDifferenceChangeParamDialog::CQemuQcow2UtilityDifferenceChangeParamDialog()
    : nameField(NULL), absoluteRadio(NULL), relativeRadio(NULL), pathMode(ID_ABSOLUTE)
{}

CQemuQcow2UtilityDifferenceChangeParamDialog::CQemuQcow2UtilityDifferenceChangeParamDialog(
    FXWindow* owner)
    : CNDialogBase(owner, MSG_SETTINGS_TITLE, 32, 22, false), pathMode(ID_ABSOLUTE)
{
    FXPacker* frame = GetContentFrame();
    Ui_CreateLabel(frame, MSG_SETTINGS_PARENT_FILE_NAME, 1, 1, 30, 2);
    nameField = Ui_CreateTextField(frame, 1, 3, 25, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_BROWSE, this, ID_BROWSE, 26, 3, 5, 2);
    absoluteRadio =
        Ui_CreateRadioButton(frame, MSG_PATH_FIELD_ABSOLUTE, this, ID_ABSOLUTE, 1, 5, 30, 2);
    relativeRadio =
        Ui_CreateRadioButton(frame, MSG_PATH_FIELD_RELATIVE, this, ID_RELATIVE, 1, 7, 30, 2);
    Ui_CreateDefaultButton(frame, MSG_SETTINGS_OK, this, ID_OK, 16, 19, 7, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_CANCEL, this, ID_CANCEL, 24, 19, 7, 2);
}

FXuint CQemuQcow2UtilityDifferenceChangeParamDialog::execute(FXuint placement)
{
    Ui_ShowPathField(backingName, nameField, &pathMode, ID_ABSOLUTE, ID_RELATIVE);
    absoluteRadio->setCheck(pathMode == ID_ABSOLUTE);
    relativeRadio->setCheck(pathMode == ID_RELATIVE);
    create();
    nameField->setFocus();
    return FXDialogBox::execute(placement);
}

long CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdMode(FXObject*, FXSelector sel, void*)
{
    pathMode = FXSELID(sel);
    Ui_SwitchPathFieldMode(imagePath, nameField, pathMode, ID_ABSOLUTE);
    return 1;
}

long CQemuQcow2UtilityDifferenceChangeParamDialog::onUpdMode(FXObject* sender, FXSelector sel,
                                                             void*)
{
    sender->handle(this, FXSEL(SEL_COMMAND, FXSELID(sel) == pathMode ? ID_CHECK : ID_UNCHECK),
                   NULL);
    return 1;
}

long CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdBrowse(FXObject*, FXSelector, void*)
{
    Ui_BrowsePathField(this, MSG_PATTERN_QCOW2, imagePath, nameField, &pathMode, ID_ABSOLUTE);
    return 1;
}

long CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdOk(FXObject*, FXSelector, void*)
{
    FXString name = nameField->getText();
    FXString trimmed = name;
    trimmed.trim();
    if (trimmed.empty()) {
        // Without a name the image would no longer read its base.
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_UTILITY_EMPTY_BACKING_NAME,
                                    UI_MSG_ERROR);
        nameField->setFocus();
        return 1;
    }
    // A name is read relative to the image's folder; naming the image itself would make the
    // image its own base, which no reader can open.
    const FXString named = FXPath::absolute(FXPath::directory(FXPath::absolute(imagePath)), name);
    if (Utility_ClassifyChildPath(imagePath, named) == 1) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_UTILITY_BACKING_IS_IMAGE,
                                    UI_MSG_ERROR);
        nameField->setFocus();
        return 1;
    }
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_SETTINGS_WRITE_QUESTION,
                                    UI_MSG_YESNO) != 0)
        return 1;
    backingName = name;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CQemuQcow2UtilityDifferenceChangeParamDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
