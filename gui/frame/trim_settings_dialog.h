// The in-place trim option, with an explanation and a picture.
#pragma once

#include <fx.h>

#include "gui/frame/dialogs.h"

class CTrimSettingDialog : public CNDialogBase {
    FXDECLARE(CTrimSettingDialog)
public:
    bool option;  // set by the caller before execute, read after 61 (unchanged after 60)
protected:
    FXIcon* picture;
    FXCheckButton* optionButton;
    CTrimSettingDialog() : option(false), picture(NULL), optionButton(NULL) {}

public:
    enum { ID_OPTION = UI_ID_FIRST };
    CTrimSettingDialog(FXWindow* owner);
    virtual ~CTrimSettingDialog();
    virtual void create();
    virtual void detach();
    virtual void destroy();
    // The check button takes the option; answers 61 or 60.
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXCheckButton* GetOptionButton() const { return optionButton; }
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
