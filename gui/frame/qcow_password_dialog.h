// The password of an encrypted qcow or qcow2 image, turned into the 16-byte key the engine's
// open operations take.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/frame/dialogs.h"

// The key of a password: its first min(length, 16) UTF-8 bytes, zero padded (no hashing).
void Ui_PasswordToKey(const FXString& password, uint8_t key[16]);

class CInputQemuQcowPasswordDialog : public CNDialogBase {
    FXDECLARE(CInputQemuQcowPasswordDialog)
public:
    uint8_t key[16];  // the result after 61
    bool verify;      // check the boot signature with the key (the check button after 61)
protected:
    FXTextField* passwordField;
    FXCheckButton* verifyButton;
    FXString password;
    CInputQemuQcowPasswordDialog();

public:
    enum { ID_VERIFY = UI_ID_FIRST };
    CInputQemuQcowPasswordDialog(FXWindow* owner);
    // Starts with an empty field and the check button set; answers 61 or 60.
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetPasswordField() const { return passwordField; }
    FXCheckButton* GetVerifyButton() const { return verifyButton; }
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
