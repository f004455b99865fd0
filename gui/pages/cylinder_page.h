// The cylinder-boundary page: keeps the destination's total or rounds it to whole cylinders.
#pragma once

#include <fx.h>

#include "gui/pages/page_base.h"

// Page 31. The wizard shows it only when the destination geometry is not a whole number of
// cylinders. A cylinder-based destination cannot keep a partial cylinder. A rounding that
// leaves no sector, or a rounded geometry the destination cannot hold, keeps the page with
// message 124.
class CAdjustCylinderBoundaryPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CAdjustCylinderBoundaryPropertyPage)
protected:
    FXLabel* topLabel;
    FXRadioButton* keepRadio;
    FXRadioButton* upRadio;
    FXRadioButton* downRadio;
    FXLabel* noteLabel;
    FXint radioId;

    CAdjustCylinderBoundaryPropertyPage();

public:
    enum { ID_KEEP = 62, ID_UP = 63, ID_DOWN = 64 };
    CAdjustCylinderBoundaryPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                        FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);

    FXint GetRadioId() const { return radioId; }
    FXRadioButton* GetKeepRadio() const { return keepRadio; }
};
