// The wizard page base and the simple destination page.
#include "gui/pages/page_base.h"

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"

void Ui_SetLabelMessage(FXLabel* label, int message) { label->setText(Ui_MessageText(message)); }

// ---- CVdxPropertyPageBase ----------------------------------------------------------------------

FXIMPLEMENT_ABSTRACT(CVdxPropertyPageBase, CPropertyPage, NULL, 0)

CVdxPropertyPageBase::CVdxPropertyPageBase(IPropertyPageEvent* events, ConversionJob* job,
                                           FXint index, FXComposite* parent)
    : CPropertyPage(parent), events(events), job(job), index(index)
{}

int CVdxPropertyPageBase::OnWizardBack() { return events->GetPrevPage(index); }

void CVdxPropertyPageBase::SetWizardButtons(bool back, bool next, bool cancel)
{
    events->EnableBack(back);
    events->EnableNext(next);
    events->EnableCancel(cancel);
}

void CVdxPropertyPageBase::SetWizardButtons(int back, int next, int cancel)
{
    SetWizardButtons(back != 0, next != 0, cancel != 0);
}

void CVdxPropertyPageBase::EnableWindow(FXWindow* window, FXint flag)
{
    if (flag)
        window->enable();
    else
        window->disable();
}

void CVdxPropertyPageBase::SetCheck(FXCheckButton* button, FXint flag)
{
    button->setCheck(flag != 0 ? TRUE : FALSE, FALSE);
}

bool CVdxPropertyPageBase::GetCheck(FXCheckButton* button) { return button->getCheck() == TRUE; }

long CVdxPropertyPageBase::UpdateRadio(FXObject* sender, FXSelector selector, FXint current)
{
    FXint id = (FXint)FXSELID(selector);
    sender->handle(
        NULL, FXSEL(SEL_COMMAND, id == current ? FXWindow::ID_CHECK : FXWindow::ID_UNCHECK), NULL);
    return 1;
}

void CVdxPropertyPageBase::SetListIndex(FXListBox* list, FXint item)
{
    FXint count = list->getNumItems();
    if (count <= 0) return;
    if (item < 0 || item >= count) item = 0;
    list->setCurrentItem(item);
}

FXint CVdxPropertyPageBase::GetListIndex(FXListBox* list)
{
    FXint item = list->getCurrentItem();
    return item < 0 ? 0 : item;
}

// ---- CToSimplePropertyPage -----------------------------------------------------------------------

FXIMPLEMENT(CToSimplePropertyPage, CVdxPropertyPageBase, NULL, 0)

CToSimplePropertyPage::CToSimplePropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                             FXint index, FXComposite* parent, int titleMessage,
                                             int descriptionMessage)
    : CVdxPropertyPageBase(events, job, index, parent), resultLabel(NULL)
{
    title = Ui_MessageText(titleMessage);
    description = Ui_MessageText(descriptionMessage);
    // Three lines of text need five units.
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 5);
}

void CToSimplePropertyPage::OnSetActive()
{
    int result = CheckDestination();
    bool next;
    if (result == -1) {
        resultLabel->setText(GetImpossibleText());
        next = false;
    } else if (result == 0) {
        resultLabel->setText(GetPossibleText());
        next = true;
    } else {
        return;
    }
    SetWizardButtons(true, next, true);
}

int CToSimplePropertyPage::OnWizardNext() { return events->GetNextPage(index); }

int CToSimplePropertyPage::CheckDestination() { return -1; }

FXString CToSimplePropertyPage::GetImpossibleText()
{
    return Ui_MessageText(MSG_OPTIONS_CANNOT_HOLD);
}

FXString CToSimplePropertyPage::GetPossibleText() { return Ui_MessageText(MSG_OPTIONS_CAN_HOLD); }
