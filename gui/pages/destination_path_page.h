// The destination path page: where the new image is written.
#pragma once

#include <fx.h>

#include "gui/pages/page_base.h"

// The pattern-list message of the browse dialog for a destination kind.
int DestPath_PatternMessage(int32_t destKind);

// Page 32. Asks for the destination path, refuses one that names a file the source is read
// from (or whose outputs would collide), asks before replacing existing files, and for a
// plug-in destination hands the path to the plug-in, which keeps an output context until the
// run.
class CInputDestPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputDestPropertyPage)
protected:
    FXLabel* pathLabel;
    FXTextField* pathField;
    FXButton* browseButton;
    FXLabel* hintLabel;

    CInputDestPropertyPage();
    int NextPlugin(const FXString& name);
    int NextFile(const FXString& name);

public:
    enum { ID_BROWSE = 62 };
    CInputDestPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                           FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdBrowse(FXObject*, FXSelector, void*);

    FXTextField* GetPathField() const { return pathField; }
    FXLabel* GetHintLabel() const { return hintLabel; }
};
