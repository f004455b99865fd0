// The trim settings dialog.
#include "gui/frame/trim_settings_dialog.h"

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/pictures.h"
#include "gui/frame/widgets.h"

FXDEFMAP(CTrimSettingDialog)
CTrimSettingDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CTrimSettingDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CTrimSettingDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CTrimSettingDialog::onCmdCancel),
};
FXIMPLEMENT(CTrimSettingDialog, CNDialogBase, CTrimSettingDialogMap,
            ARRAYNUMBER(CTrimSettingDialogMap))

CTrimSettingDialog::CTrimSettingDialog(FXWindow* owner)
    : CNDialogBase(owner, MSG_TRIM_SETTINGS_TITLE, 40, 12, false),
      option(false),
      picture(NULL),
      optionButton(NULL)
{
    picture = new FXGIFIcon(getApp(), Ui_TrimPictureGif);
    FXPacker* frame = GetContentFrame();
    new FXLabel(frame, FXString(), picture,
                LAYOUT_EXPLICIT | ICON_BEFORE_TEXT | JUSTIFY_LEFT | JUSTIFY_TOP, Ui_ScaleX(1),
                Ui_ScaleY(1), 36, 36);
    Ui_CreateTopLabel(frame, MSG_TRIM_SETTINGS_TEXT, 6, 1, 33, 4);
    optionButton = Ui_CreateCheckButton(frame, MSG_TRIM_SETTINGS_RESERVE_WHOLE_FILE_SIZE, this,
                                        ID_OPTION, 1, 6, 38, 2);
    Ui_CreateDefaultButton(frame, MSG_BOX_OK, this, UI_ID_ACCEPT, 24, 9, 7, 2);
    Ui_CreateButton(frame, MSG_BOX_CANCEL, this, UI_ID_CANCEL, 32, 9, 7, 2);
}

CTrimSettingDialog::~CTrimSettingDialog()
{
    delete picture;
    picture = (FXIcon*)-1L;
}

void CTrimSettingDialog::create()
{
    CNDialogBase::create();
    picture->create();
}

void CTrimSettingDialog::detach()
{
    CNDialogBase::detach();
    picture->detach();
}

void CTrimSettingDialog::destroy()
{
    CNDialogBase::destroy();
    picture->destroy();
}

FXuint CTrimSettingDialog::execute(FXuint placement)
{
    optionButton->setCheck(option);
    optionButton->setFocus();
    return FXDialogBox::execute(placement);
}

long CTrimSettingDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    option = optionButton->getCheck() == TRUE;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CTrimSettingDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
