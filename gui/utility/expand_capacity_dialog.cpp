// The expand-capacity dialog.
#include "gui/utility/expand_capacity_dialog.h"

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"

ExpandCapacityBounds ExpandCapacity_Bounds(uint64_t current, uint64_t maximum)
{
    ExpandCapacityBounds b;
    const uint64_t m = maximum / 2048 + (maximum % 2048 ? 1 : 0);
    b.maxSectors = maximum;
    b.maxMiB = m ? m - 1 : 0;
    const uint64_t g = b.maxMiB / 1024 + (b.maxMiB % 1024 ? 1 : 0);
    b.maxGiB = g ? g - 1 : 0;
    // current + 1 cannot wrap: the dialog is only asked for capacities below 2^63.
    b.minSectors = current + 1;
    b.minMiB = (current >> 11) + 1;
    b.minGiB = (current >> 21) + 1;
    return b;
}

FXDEFMAP(CExpandCapacityDialog)
CExpandCapacityDialogMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CExpandCapacityDialog::ID_SECTORS, CExpandCapacityDialog::ID_GIB,
               CExpandCapacityDialog::onCmdMode),
    FXMAPFUNCS(SEL_UPDATE, CExpandCapacityDialog::ID_SECTORS, CExpandCapacityDialog::ID_GIB,
               CExpandCapacityDialog::onUpdMode),
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CExpandCapacityDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CExpandCapacityDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CExpandCapacityDialog::onCmdCancel),
};
FXIMPLEMENT(CExpandCapacityDialog, CNDialogBase, CExpandCapacityDialogMap,
            ARRAYNUMBER(CExpandCapacityDialogMap))

CExpandCapacityDialog::CExpandCapacityDialog()
    : capacity(0),
      maximum(0),
      sectorRadio(NULL),
      mibRadio(NULL),
      gibRadio(NULL),
      sectorField(NULL),
      mibField(NULL),
      gibField(NULL),
      valueMiB(0),
      valueGiB(0),
      maximumMiB(0),
      maximumGiB(0),
      minimumSectors(0),
      minimumMiB(0),
      minimumGiB(0),
      mode(ID_SECTORS)
{}

CExpandCapacityDialog::CExpandCapacityDialog(FXWindow* owner)
    : CNDialogBase(owner, MSG_EXPAND_TITLE, 21, 13, false),
      capacity(0),
      maximum(0),
      valueMiB(0),
      valueGiB(0),
      maximumMiB(0),
      maximumGiB(0),
      minimumSectors(0),
      minimumMiB(0),
      minimumGiB(0),
      mode(ID_SECTORS)
{
    FXPacker* frame = GetContentFrame();
    sectorRadio = Ui_CreateRadioButton(frame, -1, this, ID_SECTORS, 1, 1, 2, 2);
    sectorField = Ui_CreateNumberField(frame, 3, 1, 9, 2);
    Ui_CreateLabel(frame, MSG_EXPAND_SECTORS, 12, 1, 8, 2);
    mibRadio = Ui_CreateRadioButton(frame, -1, this, ID_MIB, 1, 4, 2, 2);
    mibField = Ui_CreateNumberField(frame, 3, 4, 9, 2);
    Ui_CreateLabel(frame, MSG_EXPAND_MIB, 12, 4, 8, 2);
    gibRadio = Ui_CreateRadioButton(frame, -1, this, ID_GIB, 1, 7, 2, 2);
    gibField = Ui_CreateNumberField(frame, 3, 7, 9, 2);
    Ui_CreateLabel(frame, MSG_EXPAND_GIB, 12, 7, 8, 2);
    Ui_CreateDefaultButton(frame, MSG_EXPAND_OK, this, UI_ID_ACCEPT, 4, 10, 7, 2);
    Ui_CreateButton(frame, MSG_EXPAND_CANCEL, this, UI_ID_CANCEL, 12, 10, 7, 2);
}

FXTextField* CExpandCapacityDialog::GetField(FXuint unitMode) const
{
    return unitMode == ID_MIB ? mibField : unitMode == ID_GIB ? gibField : sectorField;
}

FXRadioButton* CExpandCapacityDialog::GetRadio(FXuint unitMode) const
{
    return unitMode == ID_MIB ? mibRadio : unitMode == ID_GIB ? gibRadio : sectorRadio;
}

void CExpandCapacityDialog::EnableFields()
{
    for (FXuint id = ID_SECTORS; id <= ID_GIB; ++id) {
        if (id == mode)
            GetField(id)->enable();
        else
            GetField(id)->disable();
        GetRadio(id)->setCheck(id == mode);
    }
}

FXuint CExpandCapacityDialog::execute(FXuint placement)
{
    const ExpandCapacityBounds b = ExpandCapacity_Bounds(capacity, maximum);
    maximumMiB = b.maxMiB;
    maximumGiB = b.maxGiB;
    minimumSectors = b.minSectors;
    minimumMiB = b.minMiB;
    minimumGiB = b.minGiB;
    valueMiB = capacity >> 11;
    valueGiB = capacity >> 21;
    Ui_SetFieldUInt64(sectorField, capacity);
    Ui_SetFieldUInt64(mibField, valueMiB);
    Ui_SetFieldUInt64(gibField, valueGiB);
    mode = ID_SECTORS;
    EnableFields();
    create();
    sectorField->setFocus();
    return FXDialogBox::execute(placement);
}

long CExpandCapacityDialog::onCmdMode(FXObject*, FXSelector sel, void*)
{
    mode = FXSELID(sel);
    EnableFields();
    return 1;
}

long CExpandCapacityDialog::onUpdMode(FXObject* sender, FXSelector sel, void*)
{
    sender->handle(this, FXSEL(SEL_COMMAND, FXSELID(sel) == mode ? ID_CHECK : ID_UNCHECK), NULL);
    return 1;
}

long CExpandCapacityDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    uint64_t value = 0, chosen = 0;
    switch (mode) {
    case ID_MIB:
        if (!Ui_GetFieldUInt64(mibField, &value, minimumMiB, maximumMiB)) return 1;
        chosen = value << 11;
        break;
    case ID_GIB:
        if (!Ui_GetFieldUInt64(gibField, &value, minimumGiB, maximumGiB)) return 1;
        chosen = value << 21;
        break;
    default:
        if (!Ui_GetFieldUInt64(sectorField, &value, minimumSectors, maximum)) return 1;
        chosen = value;
        break;
    }
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_EXPAND_QUESTION, UI_MSG_YESNO) !=
        0)
        return 1;
    capacity = chosen;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CExpandCapacityDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
