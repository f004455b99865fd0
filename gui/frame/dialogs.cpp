// Dialog bases, common dialogs, message boxes, the page base and the path fields.
#include "gui/frame/dialogs.h"

#include "foundation/path.h"
#include "foundation/text.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"

// The toolkit's own question picture, as its message boxes show it.
namespace FX {
extern const FXuchar questionicon[];
}

static_assert((FXSelector)FXDialogBox::ID_CANCEL == (FXSelector)UI_ID_CANCEL, "cancel selector");
static_assert((FXSelector)FXDialogBox::ID_ACCEPT == (FXSelector)UI_ID_ACCEPT, "accept selector");

namespace {

// Title, border, resize and close decorations.
const FXuint kResizableOptions = DECOR_TITLE | DECOR_BORDER | DECOR_RESIZE | DECOR_CLOSE;
const FXuint kFixedOptions =
    DECOR_TITLE | DECOR_CLOSE | DECOR_BORDER | LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT;
static_assert(kResizableOptions == 15859712u, "resizable dialog options");
static_assert(kFixedOptions == 3277568u, "fixed dialog options");

// The button under `root` that sends `selector` to its message box.
FXButton* FindBoxButton(FXWindow* root, FXSelector selector)
{
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
        if (w->isMemberOf(FXMETACLASS(FXButton)) && w->getSelector() == selector)
            return static_cast<FXButton*>(w);
        if (FXButton* inner = FindBoxButton(w, selector)) return inner;
    }
    return NULL;
}

// A yes/no question: every one in the program guards replacing, removing or giving up a file,
// so No has the focus and answers Enter.
FXuint RunYesNoQuestion(FXWindow* owner, const FXString& caption, const FXString& text)
{
    FXApp* app = owner ? owner->getApp() : FXApp::instance();
    FXGIFIcon icon(app, FX::questionicon);
    const FXuint options = MBOX_YES_NO | DECOR_TITLE | DECOR_BORDER;
    FXMessageBox* box = owner ? new FXMessageBox(owner, caption, text, &icon, options)
                              : new FXMessageBox(app, caption, text, &icon, options);
    FXButton* yes = FindBoxButton(box, FXMessageBox::ID_CLICKED_YES);
    FXButton* no = FindBoxButton(box, FXMessageBox::ID_CLICKED_NO);
    if (yes && no) {
        yes->setInitial(false);
        yes->setDefault(FALSE);
        no->setInitial(true);
        no->setDefault(TRUE);
    }
    box->create();
    if (no) no->setFocus();
    FXuint clicked = box->execute(owner ? PLACEMENT_OWNER : PLACEMENT_SCREEN);
    delete box;
    return clicked;
}

TextView Utf8View(const FXString& text)
{
    TextView view = {(const uint8_t*)text.text(), (uint32_t)text.length()};
    return view;
}

const uint32_t kPathBufferSize = 4096;

}  // namespace

// ---- CNDialogBase ---------------------------------------------------------------------------------

FXDEFMAP(CNDialogBase)
CNDialogBaseMap[] = {
    FXMAPFUNC(SEL_KEYPRESS, 0, CNDialogBase::onKeyPress),
};
FXIMPLEMENT(CNDialogBase, FXDialogBox, CNDialogBaseMap, ARRAYNUMBER(CNDialogBaseMap))

long CNDialogBase::onKeyPress(FXObject* sender, FXSelector sel, void* ptr)
{
    if (Ui_EscapeClosesOpenPopup(getApp(), ptr)) return 1;
    return FXDialogBox::onKeyPress(sender, sel, ptr);
}

CNDialogBase::CNDialogBase(FXWindow* owner, int titleMessage, FXint width, FXint height,
                           bool resizable)
    : FXDialogBox(owner, Ui_MessageText(titleMessage),
                  resizable ? kResizableOptions : kFixedOptions, 0, 0, Ui_ScaleX(width),
                  Ui_ScaleY(height), 0, 0, 0, 0, 0, 0),
      contentFrame(NULL)
{
    if (resizable) {
        contentFrame = new FXPacker(this, LAYOUT_FILL, 0, 0, 0, 0, 4, 4, 4, 4, 4, 4);
    } else {
        contentFrame = new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(width),
                                    Ui_ScaleY(height), 0, 0, 0, 0, 0, 0);
    }
}

CNDialogBase::CNDialogBase(FXWindow* owner, const FXString& title, FXuint options, FXint x, FXint y,
                           FXint w, FXint h, FXint padLeft, FXint padRight, FXint padTop,
                           FXint padBottom, FXint hSpacing, FXint vSpacing)
    : FXDialogBox(owner, title, options, x, y, w, h, padLeft, padRight, padTop, padBottom, hSpacing,
                  vSpacing),
      contentFrame(NULL)
{}

CNDialogBase::~CNDialogBase() {}

FXint CNDialogBase::ScaleX(FXint value) { return Ui_ScaleX(value); }
FXint CNDialogBase::ScaleY(FXint value) { return Ui_ScaleY(value); }

void CNDialogBase::SetFieldUInt32(FXTextField* field, uint32_t value)
{
    Ui_SetFieldUInt32(field, value);
}

void CNDialogBase::SetFieldUInt64(FXTextField* field, uint64_t value)
{
    Ui_SetFieldUInt64(field, value);
}

FXuint CNDialogBase::execute(FXuint placement) { return FXDialogBox::execute(placement); }

// ---- CAboutDialog --------------------------------------------------------------------------------

FXDEFMAP(CAboutDialog)
CAboutDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CAboutDialog::onCmdAccept),
};
FXIMPLEMENT(CAboutDialog, CNDialogBase, CAboutDialogMap, ARRAYNUMBER(CAboutDialogMap))

CAboutDialog::CAboutDialog(FXWindow* owner, FXIcon* miniIcon, FXIcon* picture)
    : CNDialogBase(owner, MSG_ABOUT_TITLE, 22, 11, false), acceptButton(NULL)
{
    FXPacker* frame = GetContentFrame();
    new FXLabel(frame, FXString(), picture, LAYOUT_EXPLICIT | ICON_BEFORE_TEXT | JUSTIFY_LEFT,
                Ui_ScaleX(1), Ui_ScaleY(2), 36, 36);
    Ui_CreateLabel(frame, MSG_ABOUT_NAME, 5, 1, 16, 2);
    Ui_CreateLabel(frame, MSG_ABOUT_DISK_IMAGE_CONVERTER, 5, 3, 18, 2);
    Ui_CreateLabel(frame, MSG_ABOUT_VERSION_1_0, 5, 5, 16, 2);
    acceptButton = Ui_CreateDefaultButton(frame, MSG_ABOUT_OK, this, UI_ID_ACCEPT, 9, 8, 6, 2);
    setMiniIcon(miniIcon);
}

FXuint CAboutDialog::execute(FXuint placement)
{
    acceptButton->setFocus();
    return FXDialogBox::execute(placement);
}

long CAboutDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

// ---- CYesNoDialog ----------------------------------------------------------------------------------

FXIMPLEMENT(CYesNoDialog, CNDialogBase, NULL, 0)

CYesNoDialog::CYesNoDialog(FXWindow* owner)
    : CNDialogBase(owner, Ui_MessageText(MSG_STOP_TITLE), DECOR_TITLE | DECOR_BORDER, 0, 0,
                   26 * 12 - 4, 10 * 12 - 12, 10, 10, 10, 10, 4, 4)
{
    FXPacker* frame = new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, 312, 120, 0, 0, 0, 0, 0, 0);
    contentFrame = frame;
    // The question starts near the left edge: the dialog keeps its size at every font size.
    new FXLabel(frame, Ui_MessageText(MSG_STOP_QUESTION), NULL, LAYOUT_EXPLICIT | JUSTIFY_LEFT, 24,
                24, 270, 24);
    // Stopping gives up the output written so far: No is the default.
    new FXButton(frame, Ui_MessageText(MSG_BOX_OK), NULL, this, UI_ID_ACCEPT,
                 BUTTON_DEFAULT | FRAME_RAISED | FRAME_THICK | LAYOUT_EXPLICIT, 60, 72, 84, 24);
    new FXButton(frame, Ui_MessageText(MSG_BOX_CANCEL), NULL, this, UI_ID_CANCEL,
                 BUTTON_INITIAL | BUTTON_DEFAULT | FRAME_RAISED | FRAME_THICK | LAYOUT_EXPLICIT,
                 156, 72, 84, 24);
}

// ---- CInputFileDialog -------------------------------------------------------------------------------

FXDEFMAP(CInputFileDialog)
CInputFileDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CInputFileDialog::ID_BROWSE, CInputFileDialog::onCmdBrowse),
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CInputFileDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CInputFileDialog::onCmdCancel),
};
FXIMPLEMENT(CInputFileDialog, CNDialogBase, CInputFileDialogMap, ARRAYNUMBER(CInputFileDialogMap))

CInputFileDialog::CInputFileDialog(FXWindow* owner)
    : CNDialogBase(owner, MSG_PART_FILE_TITLE, 39, 13, false),
      existingOnly(false),
      promptLabel(NULL),
      pathField(NULL),
      browseButton(NULL)
{
    FXPacker* frame = GetContentFrame();
    promptLabel = Ui_CreateTopLabel(frame, -1, 1, 1, 37, 4);
    Ui_CreateLabel(frame, MSG_PART_FILE_LABEL, 1, 5, 37, 2);
    pathField = Ui_CreateTextField(frame, 1, 7, 31, 2);
    browseButton = Ui_CreateButton(frame, MSG_PART_FILE_BROWSE, this, ID_BROWSE, 32, 7, 6, 2);
    FXButton* accept =
        Ui_CreateDefaultButton(frame, MSG_PART_FILE_OK, this, UI_ID_ACCEPT, 23, 10, 7, 2);
    Ui_CreateButton(frame, MSG_PART_FILE_CANCEL, this, UI_ID_CANCEL, 31, 10, 7, 2);
    accept->setFocus();
}

FXuint CInputFileDialog::execute(FXuint placement)
{
    promptLabel->setText(prompt);
    pathField->setText(path);
    return FXDialogBox::execute(placement);
}

long CInputFileDialog::onCmdBrowse(FXObject*, FXSelector, void*)
{
    FXFileDialog dialog(this, Ui_MessageText(MSG_DEST_PATH_CHOOSE_FILE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(existingOnly ? SELECTFILE_EXISTING : SELECTFILE_ANY);
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (dialog.execute(PLACEMENT_CURSOR)) {
        Ui_LastDirectory() = dialog.getDirectory();
        pathField->setText(dialog.getFilename());
    }
    return 1;
}

long CInputFileDialog::onCmdAccept(FXObject* sender, FXSelector sel, void* ptr)
{
    path = pathField->getText();
    return FXDialogBox::onCmdAccept(sender, sel, ptr);
}

long CInputFileDialog::onCmdCancel(FXObject* sender, FXSelector sel, void* ptr)
{
    return FXDialogBox::onCmdCancel(sender, sel, ptr);
}

// ---- CSelectFileBaseDialog --------------------------------------------------------------------------

FXDEFMAP(CSelectFileBaseDialog)
CSelectFileBaseDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CSelectFileBaseDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CSelectFileBaseDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CSelectFileBaseDialog::onCmdCancel),
};
FXIMPLEMENT(CSelectFileBaseDialog, CNDialogBase, CSelectFileBaseDialogMap,
            ARRAYNUMBER(CSelectFileBaseDialogMap))

CSelectFileBaseDialog::CSelectFileBaseDialog(FXWindow* owner)
    : CNDialogBase(owner, MSG_SELECT_DISK_TITLE, 30, 23, true), treeList(NULL)
{
    FXPacker* frame = GetContentFrame();
    FXHorizontalFrame* buttons =
        new FXHorizontalFrame(frame, LAYOUT_SIDE_BOTTOM | LAYOUT_RIGHT | PACK_UNIFORM_WIDTH, 0, 0,
                              0, 0, 4, 4, 4, 4, 4, 4);
    new FXButton(buttons, Ui_MessageText(MSG_SELECT_DISK_OPEN), NULL, this, UI_ID_ACCEPT,
                 BUTTON_INITIAL | BUTTON_DEFAULT | FRAME_RAISED | FRAME_THICK, 0, 0, 0, 0, 20, 20,
                 2, 2);
    new FXButton(buttons, Ui_MessageText(MSG_SELECT_DISK_CANCEL), NULL, this, UI_ID_CANCEL,
                 FRAME_RAISED | FRAME_THICK, 0, 0, 0, 0, 20, 20, 2, 2);
    FXVerticalFrame* inner = new FXVerticalFrame(frame, FRAME_SUNKEN | FRAME_THICK | LAYOUT_FILL, 0,
                                                 0, 0, 0, DEFAULT_SPACING, DEFAULT_SPACING,
                                                 DEFAULT_SPACING, DEFAULT_SPACING, 4, 4);
    new FXLabel(inner, Ui_MessageText(MSG_SELECT_DISK_CHOOSE_OPEN), NULL,
                LAYOUT_FILL_X | JUSTIFY_LEFT);
    treeList = new FXTreeList(inner, this, ID_TREE,
                              TREELIST_BROWSESELECT | TREELIST_SHOWS_LINES | TREELIST_SHOWS_BOXES |
                                  TREELIST_ROOT_BOXES | FRAME_SUNKEN | FRAME_THICK | LAYOUT_FILL);
}

FXuint CSelectFileBaseDialog::execute(FXuint placement)
{
    create();
    FitToItems();
    treeList->setFocus();
    return FXDialogBox::execute(placement);
}

void CSelectFileBaseDialog::FitToItems()
{
    // Paths with their state labels are long: the window grows (up to the screen) until the
    // widest item shows whole beside a vertical scroll bar.
    const FXint missing = treeList->getContentWidth() +
                          treeList->verticalScrollBar()->getDefaultWidth() -
                          treeList->getViewportWidth();
    if (missing <= 0) return;
    const FXint screen = getRoot()->getWidth();
    FXint width = getWidth() + missing + 8;
    if (width > screen - 40) width = screen - 40;
    if (width > getWidth()) resize(width, getHeight());
}

void CSelectFileBaseDialog::SetSelection(void*) {}

long CSelectFileBaseDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    FXTreeItem* item = treeList->getCurrentItem();
    if (item && item->isSelected()) {
        SetSelection(item->getData());
        getApp()->stopModal(this, UI_RESULT_ACCEPT);
    } else {
        getApp()->stopModal(this, UI_RESULT_CANCEL);
    }
    hide();
    return 1;
}

long CSelectFileBaseDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}

// ---- Message boxes -----------------------------------------------------------------------------------

FXString Ui_ReplaceFirstPlaceholder(const FXString& text, const FXString& argument)
{
    FXint at = text.find("%0");
    if (at < 0) return text;
    FXString result = text;
    result.replace(at, 2, argument);
    return result;
}

FXString Ui_ReplacePlaceholders(const FXString& text, const FXString* arguments, int count)
{
    if (count > 10) count = 10;
    bool done[10] = {};
    FXString result;
    for (FXint i = 0; i < text.length(); ++i) {
        if (text[i] == '%' && i + 1 < text.length() && text[i + 1] >= '0' && text[i + 1] <= '9') {
            int k = text[i + 1] - '0';
            if (k < count && !done[k]) {
                result.append(arguments[k]);
                done[k] = true;
                ++i;
                continue;
            }
        }
        result.append(text[i]);
    }
    return result;
}

FXString Ui_FormatOneInteger(const FXString& text, FXlong number)
{
    FXString result;
    bool placed = false;
    for (FXint i = 0; i < text.length(); ++i) {
        char c = text[i];
        if (c == '%' && i + 1 < text.length()) {
            char next = text[i + 1];
            if (next == '%') {
                result.append('%');
                ++i;
                continue;
            }
            if (!placed && (next == '0' || next == 'd' || next == 'i' || next == 'u')) {
                result.append(FXStringVal(number));
                placed = true;
                ++i;
                continue;
            }
        }
        result.append(c);
    }
    return result;
}

FXString Ui_JoinMessageDetail(const FXString& text, const FXString& detail)
{
    return text + "\n[" + detail + "]";
}

FXuint Ui_MessageBoxButtons(int kind)
{
    switch (kind) {
    case UI_MSG_YESNO:
        return MBOX_YES_NO;
    case UI_MSG_OKCANCEL:
        return MBOX_OK_CANCEL;
    case UI_MSG_YESNOCANCEL:
        return MBOX_YES_NO_CANCEL;
    default:
        return MBOX_OK;
    }
}

int Ui_MessageBoxAnswer(int kind, FXuint clicked)
{
    switch (kind) {
    case UI_MSG_YESNO:
        return clicked == MBOX_CLICKED_YES ? 0 : 1;
    case UI_MSG_OKCANCEL:
        return clicked == MBOX_CLICKED_OK ? 0 : 2;
    case UI_MSG_YESNOCANCEL:
        if (clicked == MBOX_CLICKED_YES) return 0;
        if (clicked == MBOX_CLICKED_NO) return 1;
        return 2;
    default:
        return 0;
    }
}

int COutputMessage::ShowText(FXWindow* owner, const FXString& caption, const FXString& text,
                             int kind)
{
    FXuint buttons = Ui_MessageBoxButtons(kind);
    FXuint clicked;
    // The text is always an argument of "%s": a percent sign in it is shown as it is.
    bool question = kind == UI_MSG_YESNO || kind == UI_MSG_OKCANCEL || kind == UI_MSG_YESNOCANCEL;
    if (kind == UI_MSG_YESNO) {
        clicked = RunYesNoQuestion(owner, caption, text);
    } else if (owner) {
        if (question)
            clicked = FXMessageBox::question(owner, buttons, caption.text(), "%s", text.text());
        else if (kind == UI_MSG_ERROR)
            clicked = FXMessageBox::error(owner, buttons, caption.text(), "%s", text.text());
        else
            clicked = FXMessageBox::information(owner, buttons, caption.text(), "%s", text.text());
    } else {
        // Without an owner window the box belongs to the application.
        FXApp* app = FXApp::instance();
        if (question)
            clicked = FXMessageBox::question(app, buttons, caption.text(), "%s", text.text());
        else if (kind == UI_MSG_ERROR)
            clicked = FXMessageBox::error(app, buttons, caption.text(), "%s", text.text());
        else
            clicked = FXMessageBox::information(app, buttons, caption.text(), "%s", text.text());
    }
    return Ui_MessageBoxAnswer(kind, clicked);
}

int COutputMessage::ShowMessage(FXWindow* owner, int captionMessage, int textMessage, int kind,
                                const FXString* argument)
{
    FXString text = Ui_MessageText(textMessage);
    if (argument) text = Ui_ReplaceFirstPlaceholder(text, *argument);
    return ShowText(owner, Ui_MessageText(captionMessage), text, kind);
}

int COutputMessage::ShowMessageNumber(FXWindow* owner, int captionMessage, int textMessage,
                                      int kind, FXuint number)
{
    FXString text = Ui_ReplaceFirstPlaceholder(Ui_MessageText(textMessage), FXStringVal(number));
    return ShowText(owner, Ui_MessageText(captionMessage), text, kind);
}

int COutputMessage::ShowMessageDetail(FXWindow* owner, int captionMessage, int textMessage,
                                      int kind, const FXString& detail, const FXString* argument)
{
    FXString text = Ui_MessageText(textMessage);
    if (argument) text = Ui_ReplaceFirstPlaceholder(text, *argument);
    return ShowText(owner, Ui_MessageText(captionMessage), Ui_JoinMessageDetail(text, detail),
                    kind);
}

int COutputMessage::ShowMessageFormat(FXWindow* owner, int captionMessage, int textMessage,
                                      int kind, FXlong number)
{
    FXString text = Ui_FormatOneInteger(Ui_MessageText(textMessage), number);
    return ShowText(owner, Ui_MessageText(captionMessage), text, kind);
}

// ---- CPropertyPage ----------------------------------------------------------------------------------

FXIMPLEMENT_ABSTRACT(CPropertyPage, FXPacker, NULL, 0)

CPropertyPage::CPropertyPage(FXComposite* switcher)
    : FXPacker(switcher, 0, 0, 0, 0, 0, 4, 4, 4, 4, 4, 4), pageAccelTable(NULL)
{
    pageAccelTable = new FXAccelTable;
    setAccelTable(pageAccelTable);
}

CPropertyPage::~CPropertyPage()
{
    setAccelTable(NULL);
    delete pageAccelTable;
}

FXint CPropertyPage::ScaleX(FXint value) { return Ui_ScaleX(value); }
FXint CPropertyPage::ScaleY(FXint value) { return Ui_ScaleY(value); }

bool CPropertyPage::QueryCancel() { return true; }

// ---- Path fields ------------------------------------------------------------------------------------

void Ui_ShowPathField(const FXString& path, FXTextField* field, FXuint* mode, FXuint absoluteValue,
                      FXuint relativeValue)
{
    field->setText(path);
    TextView view = Utf8View(path);
    bool relative =
        Path_IsValid(view, TEXT_ENC_UTF8) && !Path_IsAbsoluteStyle(view, TEXT_ENC_UTF8, true);
    *mode = relative ? relativeValue : absoluteValue;
}

bool Ui_MakeFieldPathAbsolute(const FXString& basePath, const FXString& path, FXString* out)
{
    uint8_t work[kPathBufferSize];
    uint8_t result[kPathBufferSize];
    TextBuffer workBuffer, resultBuffer;
    TextBuffer_Init(&workBuffer, work, 0, kPathBufferSize);
    TextBuffer_Init(&resultBuffer, result, 0, kPathBufferSize);
    if (!Path_MakeAbsolute(Utf8View(path), Utf8View(basePath), &workBuffer, &resultBuffer,
                           TEXT_ENC_UTF8))
        return false;
    out->assign((const FXchar*)resultBuffer.data, (FXint)resultBuffer.length);
    return true;
}

bool Ui_MakeFieldPathRelative(const FXString& basePath, const FXString& path, FXString* out)
{
    uint8_t result[kPathBufferSize];
    TextBuffer resultBuffer;
    TextBuffer_Init(&resultBuffer, result, 0, kPathBufferSize);
    if (!Path_MakeRelative(Utf8View(basePath), Utf8View(path), &resultBuffer, TEXT_ENC_UTF8))
        return false;
    out->assign((const FXchar*)resultBuffer.data, (FXint)resultBuffer.length);
    return true;
}

void Ui_SwitchPathFieldMode(const FXString& basePath, FXTextField* field, FXuint mode,
                            FXuint absoluteValue)
{
    FXString text = field->getText();
    TextView view = Utf8View(text);
    if (!Path_IsValid(view, TEXT_ENC_UTF8)) return;
    bool absolute = Path_IsAbsoluteStyle(view, TEXT_ENC_UTF8, true);
    FXString converted;
    if (mode == absoluteValue) {
        if (!absolute && Ui_MakeFieldPathAbsolute(basePath, text, &converted))
            field->setText(converted);
    } else {
        if (absolute && Ui_MakeFieldPathRelative(basePath, text, &converted))
            field->setText(converted);
    }
}

bool Ui_PathFieldChoice(const FXString& basePath, const FXString& chosen, FXuint* mode,
                        FXuint absoluteValue, FXString* fieldText)
{
    if (Path_CompareUtf8(Utf8View(chosen), Utf8View(basePath)) == 0) return false;
    if (*mode == absoluteValue) {
        *fieldText = chosen;
        return true;
    }
    if (!Ui_MakeFieldPathRelative(basePath, chosen, fieldText)) {
        *mode = absoluteValue;
        *fieldText = chosen;
    }
    return true;
}

void Ui_BrowsePathField(FXWindow* owner, int patternMessage, const FXString& basePath,
                        FXTextField* field, FXuint* mode, FXuint absoluteValue)
{
    FXFileDialog dialog(owner, Ui_MessageText(MSG_SOURCE_OPEN_FILE_TITLE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_EXISTING);
    dialog.setPatternList(Ui_MessageText(patternMessage));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (!dialog.execute(PLACEMENT_CURSOR)) return;
    Ui_LastDirectory() = dialog.getDirectory();
    FXString text;
    if (Ui_PathFieldChoice(basePath, dialog.getFilename(), mode, absoluteValue, &text))
        field->setText(text);
}
