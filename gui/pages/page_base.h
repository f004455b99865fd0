// The base of every wizard page and of the destination pages that only check the geometry.
//
// A page knows three things besides its widgets: the wizard's IPropertyPageEvent (to ask for
// the previous and next page and to switch the wizard's buttons), the wizard's ConversionJob
// and its own index 0..33. Radio groups follow one pattern on every page: the page keeps the
// selector id of the chosen radio button in a member, the command handler of the group stores
// the sender's id there, and the update handler checks the button whose id is stored
// (UpdateRadio). Lists keep their selection by index; the job holds indexes, never texts.
#pragma once

#include <fx.h>

#include "gui/frame/dialogs.h"
#include "gui/job/conversion_job.h"

// Sets a label's text to a catalogue message.
void Ui_SetLabelMessage(FXLabel* label, int message);

class CVdxPropertyPageBase : public CPropertyPage {
    FXDECLARE_ABSTRACT(CVdxPropertyPageBase)
protected:
    IPropertyPageEvent* events;  // the wizard, not owned
    ConversionJob* job;          // the wizard's job, not owned
    FXint index;                 // this page's index in the wizard

    CVdxPropertyPageBase() : events(NULL), job(NULL), index(0) {}

public:
    // Builds the page inside the wizard's switcher.
    CVdxPropertyPageBase(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                         FXComposite* parent);

    // The wizard's previous page for this page's index.
    virtual int OnWizardBack();

    // EnableBack, EnableNext and EnableCancel of the wizard, in that order.
    void SetWizardButtons(bool back, bool next, bool cancel);
    void SetWizardButtons(int back, int next, int cancel);

    // The window's enable when the flag is non-zero, else its disable.
    static void EnableWindow(FXWindow* window, FXint flag);
    // The check button's state set to flag != 0 without notifying its target.
    static void SetCheck(FXCheckButton* button, FXint flag);
    static bool GetCheck(FXCheckButton* button);

    // The update answer of a radio button: checked when its selector id is `current`,
    // unchecked otherwise (the toolkit's check commands sent back to the sender).
    static long UpdateRadio(FXObject* sender, FXSelector selector, FXint current);

    // A list box's selection by index: an index outside the list selects the first item (no
    // item for an empty list); the current item, 0 without one.
    static void SetListIndex(FXListBox* list, FXint item);
    static FXint GetListIndex(FXListBox* list);

    IPropertyPageEvent* GetEvents() const { return events; }
    ConversionJob* GetJob() const { return job; }
    FXint GetIndex() const { return index; }
};

// A destination page that only checks whether its format can take the working geometry and
// shows the answer in its result label.
class CToSimplePropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToSimplePropertyPage)
protected:
    FXLabel* resultLabel;

    CToSimplePropertyPage() : resultLabel(NULL) {}

public:
    // Title and description are catalogue messages.
    CToSimplePropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                          FXComposite* parent, int titleMessage, int descriptionMessage);

    // The check decides the label and Next: -1 message 124 and Next off, 0 message 122 and
    // Next on (Back and Cancel on in both cases); any other answer changes nothing.
    virtual void OnSetActive();
    // The wizard's next page; subclasses store their geometry first.
    virtual int OnWizardNext();

    // The capability check of the destination on the job's working geometry: -1 not possible,
    // 0 possible, anything else leaves the page as it is. This base answers -1.
    virtual int CheckDestination();
    virtual FXString GetImpossibleText();
    virtual FXString GetPossibleText();

    FXLabel* GetResultLabel() const { return resultLabel; }
};
