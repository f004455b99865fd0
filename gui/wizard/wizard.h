// The wizard window: header, page switcher, buttons, the conversion job and the plug-in scan.
#pragma once

#include <fx.h>

#include "gui/frame/dialogs.h"
#include "gui/job/conversion_job.h"
#include "gui/job/routing.h"

// The one main window: a modal dialog with a white header (title and description of the current
// page and a picture), a switcher holding the 34 wizard pages, and the buttons About, Back,
// Next and Cancel. It owns the ConversionJob that every page fills; the page order is the
// routing of routing.h.
class CVdxWizard : public FXDialogBox, public IPropertyPageEvent, public COutputMessage {
    FXDECLARE(CVdxWizard)
protected:
    FXLabel* titleLabel;
    FXLabel* descriptionLabel;
    FXFont* titleFont;  // bold copy of the title label's font, owned
    FXSwitcher* switcher;
    FXButton* nextButton;
    FXButton* backButton;
    FXButton* cancelButton;
    bool nextEnabled;
    bool backEnabled;
    bool cancelEnabled;
    FXIcon* miniIcon;             // 16 x 16
    FXIcon* icon;                 // 32 x 32
    FXIcon* sourceButtonPicture;  // 32 x 16, handed to the source page
    ConversionJob job;
    FXint currentPage;
    CPropertyPage* pages[WIZARD_PAGE_COUNT];

    CVdxWizard();

    // Makes page `index` current: the switcher shows it, the header takes its texts, and its
    // OnSetActive runs.
    void ShowPage(FXint index);

public:
    enum { ID_NEXT = 62, ID_ABOUT = 63, ID_BACK = 64 };
    // The result with which the wizard ends when the source page changed the font.
    enum : FXuint { RESULT_RESTART = 1365 };

    CVdxWizard(FXApp* app);
    virtual ~CVdxWizard();

    virtual void create();
    virtual void detach();
    virtual void destroy();
    virtual void layout();

    virtual int GetNextPage(int page);
    virtual int GetPrevPage(int page);
    virtual void EnableNext(bool enable);
    virtual void EnableBack(bool enable);
    virtual void EnableCancel(bool enable);

    // A message box owned by the wizard.
    int ShowMessage(int captionMessage, int textMessage, int kind, const FXString* argument = NULL);

    long onCmdAbout(FXObject*, FXSelector, void*);
    long onUpdAbout(FXObject*, FXSelector, void*);
    long onCmdNext(FXObject*, FXSelector, void*);
    long onUpdNext(FXObject*, FXSelector, void*);
    long onCmdBack(FXObject*, FXSelector, void*);
    long onUpdBack(FXObject*, FXSelector, void*);
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
    long onUpdCancel(FXObject*, FXSelector, void*);
    long onKeyPress(FXObject*, FXSelector, void*);

    // For the start-up loop and for tests.
    ConversionJob* GetJob() { return &job; }
    FXint GetCurrentPage() const { return currentPage; }
    CPropertyPage* GetPage(FXint index) const;
    FXLabel* GetTitleLabel() const { return titleLabel; }
    FXLabel* GetDescriptionLabel() const { return descriptionLabel; }
    bool IsNextEnabled() const { return nextEnabled; }
    bool IsBackEnabled() const { return backEnabled; }
    bool IsCancelEnabled() const { return cancelEnabled; }
};

// Builds a wizard owned by the application, runs it modally at the screen centre, destroys it
// and answers its modal result (the runner handed to the start-up).
FXuint Ui_RunWizard(FXApp* app);

// The plug-in scan: every plain file matching "*.vpl" in `directory` (with its trailing "/")
// is loaded; an accepted module is listed in job->plugins with the label
// "<name> Ver.<b3>.<b2>.<b1>.<b0>" and referenced from job->sourcePlugins when it reads disks
// ("_25" or "_10") and from job->destPlugins when it writes images ("_24" or "_17"). Every
// module is unloaded again; a file that fails to load or is not accepted is skipped silently.
void Ui_ScanPluginDirectory(ConversionJob* job, const FXString& directory);
// The same for the directory of the executable (nothing when its path cannot be read).
void Ui_ScanPlugins(ConversionJob* job);
// The list label of a module: the display name (cut at 255 bytes; "" without one) and the four
// version bytes from the most significant one.
FXString Ui_PluginLabel(const char* name, FXuint version);
