// Dialog bases, the small common dialogs, message boxes, the wizard-page contract and the
// path-field helpers.
//
// Modal results: dialogs that stop their modal loop themselves end with 61 (accepted) or 60
// (cancelled); dialogs that leave accept and cancel to FXDialogBox end with 1 or 0.
#pragma once

#include <fx.h>

#include <cstdint>

// Selector numbers shared by every dialog and page: 60 cancel, 61 accept, 62 upward for a
// window's own controls.
enum : FXSelector { UI_ID_CANCEL = 60, UI_ID_ACCEPT = 61, UI_ID_FIRST = 62 };

// Modal results of the dialogs that stop their loop themselves.
enum : FXuint { UI_RESULT_CANCEL = 60, UI_RESULT_ACCEPT = 61 };

// ---- Dialog base ----------------------------------------------------------------------------
class CNDialogBase : public FXDialogBox {
    FXDECLARE(CNDialogBase)
protected:
    FXPacker* contentFrame;
    CNDialogBase() : contentFrame(NULL) {}

public:
    // Titled with a message; the size is in layout units. Resizable: title, border and resize
    // decorations, and a filling content frame with padding and spacing 4. Fixed: title,
    // close and border decorations with a fixed size, and an explicit content frame of the
    // same pixel size without padding.
    CNDialogBase(FXWindow* owner, int titleMessage, FXint width, FXint height, bool resizable);
    // Everything passed to FXDialogBox unchanged; no content frame.
    CNDialogBase(FXWindow* owner, const FXString& title, FXuint options, FXint x, FXint y, FXint w,
                 FXint h, FXint padLeft, FXint padRight, FXint padTop, FXint padBottom,
                 FXint hSpacing, FXint vSpacing);
    virtual ~CNDialogBase();

    FXPacker* GetContentFrame() const { return contentFrame; }
    // Escape with a list open closes the list only.
    long onKeyPress(FXObject*, FXSelector, void*);
    static FXint ScaleX(FXint value);
    static FXint ScaleY(FXint value);
    // Write the number in decimal into the field without notifying its target.
    static void SetFieldUInt32(FXTextField* field, uint32_t value);
    static void SetFieldUInt64(FXTextField* field, uint64_t value);

    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
};

// ---- About ------------------------------------------------------------------------------------
class CAboutDialog : public CNDialogBase {
    FXDECLARE(CAboutDialog)
protected:
    FXButton* acceptButton;
    CAboutDialog() : acceptButton(NULL) {}

public:
    CAboutDialog(FXWindow* owner, FXIcon* miniIcon, FXIcon* picture);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    long onCmdAccept(FXObject*, FXSelector, void*);
};

// ---- Yes/no question (the wizard's stop question) ---------------------------------------------
// Fixed pixel size 308 x 108 whatever the font; execute answers 1 for yes, 0 for no or closing.
// No is the default button.
class CYesNoDialog : public CNDialogBase {
    FXDECLARE(CYesNoDialog)
protected:
    CYesNoDialog() {}

public:
    CYesNoDialog(FXWindow* owner);
};

// ---- File-name input --------------------------------------------------------------------------
// Shows `prompt` over a path field preset with `path`; execute answers 1 (accepted: `path`
// holds the field's text) or 0 (path unchanged).
class CInputFileDialog : public CNDialogBase {
    FXDECLARE(CInputFileDialog)
public:
    FXString prompt;
    FXString path;
    bool existingOnly;

protected:
    FXLabel* promptLabel;
    FXTextField* pathField;
    FXButton* browseButton;
    CInputFileDialog() : existingOnly(false), promptLabel(NULL), pathField(NULL), browseButton(NULL)
    {}

public:
    enum { ID_BROWSE = UI_ID_FIRST };
    CInputFileDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    FXTextField* GetPathField() const { return pathField; }
    long onCmdBrowse(FXObject*, FXSelector, void*);
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};

// ---- Tree selector base ---------------------------------------------------------------------
// Subclasses fill the tree; accepting with a selected current item calls SetSelection with
// that item's data and ends with 61; anything else ends with 60.
class CSelectFileBaseDialog : public CNDialogBase {
    FXDECLARE(CSelectFileBaseDialog)
protected:
    FXTreeList* treeList;
    CSelectFileBaseDialog() : treeList(NULL) {}

public:
    enum { ID_TREE = UI_ID_FIRST };
    CSelectFileBaseDialog(FXWindow* owner);
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);
    virtual void SetSelection(void* itemData);
    // Widens the window so that the widest item of the tree shows whole (execute does it).
    void FitToItems();
    FXTreeList* GetTreeList() const { return treeList; }
    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};

// ---- Message boxes ----------------------------------------------------------------------------
// Box kinds: 1 yes/no, 3 OK/cancel, 4 yes/no/cancel (question icon); 2 error with OK; any other
// information with OK. Answers: 0 yes or OK, 1 no, 2 cancel. A kind-1 box closed through the
// frame answers 1, a kind-3 or kind-4 box closed answers 2. In a kind-1 box No has the focus
// and answers Enter: each such question guards replacing, removing or giving up a file.
enum : int {
    UI_MSG_INFO = 0,
    UI_MSG_YESNO = 1,
    UI_MSG_ERROR = 2,
    UI_MSG_OKCANCEL = 3,
    UI_MSG_YESNOCANCEL = 4
};

class COutputMessage {
public:
    // The text of `textMessage` with its first "%0" replaced by *argument when one is given.
    static int ShowMessage(FXWindow* owner, int captionMessage, int textMessage, int kind,
                           const FXString* argument = NULL);
    // The first "%0" replaced by the number in decimal.
    static int ShowMessageNumber(FXWindow* owner, int captionMessage, int textMessage, int kind,
                                 FXuint number);
    // As ShowMessage, then the detail in square brackets on a line of its own.
    static int ShowMessageDetail(FXWindow* owner, int captionMessage, int textMessage, int kind,
                                 const FXString& detail, const FXString* argument = NULL);
    // The text with exactly one integer put in: the first "%0", "%d", "%i" or "%u" becomes the
    // number, "%%" becomes "%", every other percent sign stays as it is.
    static int ShowMessageFormat(FXWindow* owner, int captionMessage, int textMessage, int kind,
                                 FXlong number);
    // Shows a finished text under a finished caption (never interpreted as a format).
    static int ShowText(FXWindow* owner, const FXString& caption, const FXString& text, int kind);
};

// Pieces of the message boxes, open for tests and for callers that build texts.
// The first "%0" of `text` replaced by `argument`; the text unchanged without one.
FXString Ui_ReplaceFirstPlaceholder(const FXString& text, const FXString& argument);
// The first "%0" replaced by arguments[0], the first "%1" by arguments[1], and so on for up to
// ten arguments; the arguments' own text is never searched again.
FXString Ui_ReplacePlaceholders(const FXString& text, const FXString* arguments, int count);
// The single-integer substitution of ShowMessageFormat.
FXString Ui_FormatOneInteger(const FXString& text, FXlong number);
// The text shown by ShowMessageDetail.
FXString Ui_JoinMessageDetail(const FXString& text, const FXString& detail);
// FXMessageBox buttons and icon kind for a box kind, and the answer for the toolkit's result
// (MBOX_CLICKED_* or 0 when the box was closed).
FXuint Ui_MessageBoxButtons(int kind);
int Ui_MessageBoxAnswer(int kind, FXuint clicked);

// ---- Wizard pages ----------------------------------------------------------------------------
// How a page talks to the wizard.
class IPropertyPageEvent {
public:
    virtual int GetNextPage(int page) = 0;
    virtual int GetPrevPage(int page) = 0;
    virtual void EnableNext(bool enable) = 0;
    virtual void EnableBack(bool enable) = 0;
    virtual void EnableCancel(bool enable) = 0;

protected:
    ~IPropertyPageEvent() {}
};

// A wizard page: a packer in the wizard's switcher with a title and description for the
// wizard's header and its own accelerator table.
class CPropertyPage : public FXPacker, public COutputMessage {
    FXDECLARE_ABSTRACT(CPropertyPage)
public:
    FXString title;
    FXString description;

protected:
    FXAccelTable* pageAccelTable;
    CPropertyPage() : pageAccelTable(NULL) {}

public:
    CPropertyPage(FXComposite* switcher);
    virtual ~CPropertyPage();
    static FXint ScaleX(FXint value);
    static FXint ScaleY(FXint value);

    // The page became current.
    virtual void OnSetActive() = 0;
    // Next or Back pressed: the page index to go to, or -1 to stay.
    virtual int OnWizardNext() = 0;
    virtual int OnWizardBack() = 0;
    // Whether the wizard may close now.
    virtual bool QueryCancel();
};

// ---- Path fields -----------------------------------------------------------------------------
// Shows `path` in the field; *mode becomes relativeValue for a valid relative path, else
// absoluteValue.
void Ui_ShowPathField(const FXString& path, FXTextField* field, FXuint* mode, FXuint absoluteValue,
                      FXuint relativeValue);
// After the user changed the mode: rewrites a valid path of the field into absolute form
// (mode == absoluteValue) or into the form relative to basePath; a failed conversion keeps it.
void Ui_SwitchPathFieldMode(const FXString& basePath, FXTextField* field, FXuint mode,
                            FXuint absoluteValue);
// Lets the user pick an existing file; the field receives it in the current mode (the base
// itself changes nothing; a path that cannot be made relative switches to absolute mode).
void Ui_BrowsePathField(FXWindow* owner, int patternMessage, const FXString& basePath,
                        FXTextField* field, FXuint* mode, FXuint absoluteValue);
// The pieces of the path fields: the path resolved against the directory of basePath, the path
// relative to it (false when it cannot be made), and what a browsed file puts into the field
// (false: nothing changes, the chosen file is the base itself).
bool Ui_MakeFieldPathAbsolute(const FXString& basePath, const FXString& path, FXString* out);
bool Ui_MakeFieldPathRelative(const FXString& basePath, const FXString& path, FXString* out);
bool Ui_PathFieldChoice(const FXString& basePath, const FXString& chosen, FXuint* mode,
                        FXuint absoluteValue, FXString* fieldText);
