// The cylinder-boundary page.
#include "gui/pages/cylinder_page.h"

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"
#include "gui/job/option_rules.h"

FXDEFMAP(CAdjustCylinderBoundaryPropertyPage)
CAdjustCylinderBoundaryPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CAdjustCylinderBoundaryPropertyPage::ID_KEEP,
               CAdjustCylinderBoundaryPropertyPage::ID_DOWN,
               CAdjustCylinderBoundaryPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CAdjustCylinderBoundaryPropertyPage::ID_KEEP,
               CAdjustCylinderBoundaryPropertyPage::ID_DOWN,
               CAdjustCylinderBoundaryPropertyPage::onUpdRadio),
};
FXIMPLEMENT(CAdjustCylinderBoundaryPropertyPage, CVdxPropertyPageBase,
            CAdjustCylinderBoundaryPropertyPageMap,
            ARRAYNUMBER(CAdjustCylinderBoundaryPropertyPageMap))

CAdjustCylinderBoundaryPropertyPage::CAdjustCylinderBoundaryPropertyPage()
    : topLabel(NULL),
      keepRadio(NULL),
      upRadio(NULL),
      downRadio(NULL),
      noteLabel(NULL),
      radioId(ID_KEEP)
{}

CAdjustCylinderBoundaryPropertyPage::CAdjustCylinderBoundaryPropertyPage(IPropertyPageEvent* events,
                                                                         ConversionJob* job,
                                                                         FXint index,
                                                                         FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), radioId(ID_KEEP)
{
    title = Ui_MessageText(MSG_CYLINDERS_TITLE);
    description = Ui_MessageText(MSG_CYLINDERS_DESCRIPTION);
    topLabel = Ui_CreateLabel(this, MSG_CYLINDERS_CHOOSE, 1, 1, 37, 2);
    keepRadio = Ui_CreateRadioButton(this, MSG_CYLINDERS_KEEP_SIZE, this, ID_KEEP, 1, 3, 37, 2);
    upRadio = Ui_CreateRadioButton(this, MSG_CYLINDERS_ROUND_UP_WHOLE, this, ID_UP, 1, 5, 37, 2);
    downRadio =
        Ui_CreateRadioButton(this, MSG_CYLINDERS_ROUND_DOWN_WHOLE, this, ID_DOWN, 1, 7, 37, 2);
    noteLabel = Ui_CreateTopLabel(this, MSG_CYLINDERS_NOTE, 1, 10, 37, 5);
}

void CAdjustCylinderBoundaryPropertyPage::OnSetActive()
{
    if (job->cylinderBased) {
        EnableWindow(keepRadio, 0);
        if (job->cylinderRounding == 0) job->cylinderRounding = 1;
    } else {
        EnableWindow(keepRadio, 1);
    }
    int32_t rounding = job->cylinderRounding;
    radioId = rounding == 1 ? ID_UP : rounding == 2 ? ID_DOWN : ID_KEEP;
    SetWizardButtons(true, true, true);
}

int CAdjustCylinderBoundaryPropertyPage::OnWizardNext()
{
    const int32_t rounding = radioId == ID_UP ? 1 : radioId == ID_DOWN ? 2 : 0;
    DiskGeometry g;
    if (OptionRules_RoundToCylinders(job, rounding, &g) != CYLINDER_OK) {
        // No disk of no sectors, and nothing the destination cannot hold.
        ShowMessage(this, MSG_APP_NAME, MSG_OPTIONS_CANNOT_HOLD, UI_MSG_ERROR);
        return -1;
    }
    job->cylinderRounding = rounding;
    job->finalGeometry = g;
    return events->GetNextPage(index);
}

long CAdjustCylinderBoundaryPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    radioId = (FXint)FXSELID(selector);
    return 1;
}

long CAdjustCylinderBoundaryPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, radioId);
}
