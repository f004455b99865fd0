// The qcow password dialog.
#include "gui/frame/qcow_password_dialog.h"

#include <cstring>

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"

void Ui_PasswordToKey(const FXString& password, uint8_t key[16])
{
    FXStringText text;
    Ui_InitFXStringText(&text, password, TEXT_ENC_UTF8);
    memset(key, 0, 16);
    uint32_t n = text.view.length < 16 ? text.view.length : 16;
    if (n) memcpy(key, text.view.data, n);
    if (text.block) memset(text.block, 0, text.view.length);
}

FXDEFMAP(CInputQemuQcowPasswordDialog)
CInputQemuQcowPasswordDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CInputQemuQcowPasswordDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CInputQemuQcowPasswordDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CInputQemuQcowPasswordDialog::onCmdCancel),
};
FXIMPLEMENT(CInputQemuQcowPasswordDialog, CNDialogBase, CInputQemuQcowPasswordDialogMap,
            ARRAYNUMBER(CInputQemuQcowPasswordDialogMap))

CInputQemuQcowPasswordDialog::CInputQemuQcowPasswordDialog()
    : verify(true), passwordField(NULL), verifyButton(NULL)
{
    memset(key, 0, sizeof key);
}

CInputQemuQcowPasswordDialog::CInputQemuQcowPasswordDialog(FXWindow* owner)
    : CNDialogBase(owner, MSG_PASSWORD_TITLE, 26, 12, false),
      verify(true),
      passwordField(NULL),
      verifyButton(NULL)
{
    memset(key, 0, sizeof key);
    FXPacker* frame = GetContentFrame();
    Ui_CreateLabel(frame, MSG_PASSWORD_ENCRYPTED_IMAGE, 1, 1, 24, 2);
    passwordField = Ui_CreatePasswordField(frame, 1, 3, 24, 2);
    passwordField->setNumColumns(16);
    // Enter in the field answers as OK does (the field would otherwise keep the key to itself).
    passwordField->setTarget(this);
    passwordField->setSelector(UI_ID_ACCEPT);
    passwordField->setTextStyle(passwordField->getTextStyle() | TEXTFIELD_ENTER_ONLY);
    verifyButton = Ui_CreateCheckButton(frame, MSG_PASSWORD_VERIFY_BOOT_SIGNATURE, this, ID_VERIFY,
                                        1, 6, 24, 2);
    Ui_CreateDefaultButton(frame, MSG_PASSWORD_OK, this, UI_ID_ACCEPT, 10, 9, 7, 2);
    Ui_CreateButton(frame, MSG_PASSWORD_CANCEL, this, UI_ID_CANCEL, 18, 9, 7, 2);
}

FXuint CInputQemuQcowPasswordDialog::execute(FXuint placement)
{
    password = FXString();
    verify = true;
    passwordField->setText(password);
    verifyButton->setCheck(verify);
    // A text field takes the focus only once its window exists (the input method needs it).
    create();
    passwordField->setFocus();
    return FXDialogBox::execute(placement);
}

long CInputQemuQcowPasswordDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    password = passwordField->getText();
    verify = verifyButton->getCheck() == TRUE;
    Ui_PasswordToKey(password, key);
    // The password is needed only as the key; no copy of it stays behind.
    password = FXString();
    passwordField->setText(FXString());
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CInputQemuQcowPasswordDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    passwordField->setText(FXString());
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
