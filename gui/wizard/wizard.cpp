// The wizard window: header, page switcher, buttons, the conversion job and the plug-in scan.
#include "gui/wizard/wizard.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include "disk/plugin.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/pictures.h"
#include "gui/frame/widgets.h"
#include "gui/pages/convert_page.h"
#include "gui/pages/cylinder_page.h"
#include "gui/pages/destination_path_page.h"
#include "gui/pages/destination_type_page.h"
#include "gui/pages/geometry_page.h"
#include "gui/pages/option_pages.h"
#include "gui/pages/source_info_pages.h"
#include "gui/pages/source_page.h"

static_assert((FXSelector)FXDialogBox::ID_CANCEL == 60, "cancel selector");
static_assert((FXSelector)FXDialogBox::ID_ACCEPT == 61, "accept selector");

namespace {

const FXuint kWizardOptions = DECOR_TITLE | DECOR_MINIMIZE | DECOR_CLOSE | DECOR_BORDER |
                              DECOR_RESIZE | LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT;
static_assert(kWizardOptions == 16122624u, "wizard window options");

const FXColor kHeaderColor = FXRGB(255, 255, 255);
const FXushort kTitleWeight = 70;  // bold

// A fixed-size spacer in a button row.
void AddSpacer(FXComposite* parent, FXint width)
{
    new FXFrame(parent, FRAME_NONE | LAYOUT_FIX_WIDTH, 0, 0, width, 1, 0, 0, 0, 0);
}

FXButton* AddButton(FXComposite* parent, int message, FXObject* target, FXSelector selector)
{
    return new FXButton(
        parent, Ui_MessageText(message), NULL, target, selector,
        FRAME_RAISED | FRAME_THICK | LAYOUT_CENTER_Y | LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT, 0, 0,
        Ui_ScaleX(7), Ui_ScaleY(2), 2, 2, 2, 2);
}

long EnableSender(FXObject* sender, bool enabled)
{
    sender->handle(NULL, FXSEL(SEL_COMMAND, enabled ? FXWindow::ID_ENABLE : FXWindow::ID_DISABLE),
                   NULL);
    return 1;
}

}  // namespace

// ---- Window ------------------------------------------------------------------------------------

FXDEFMAP(CVdxWizard)
CVdxWizardMap[] = {
    FXMAPFUNC(SEL_COMMAND, CVdxWizard::ID_ABOUT, CVdxWizard::onCmdAbout),
    FXMAPFUNC(SEL_UPDATE, CVdxWizard::ID_ABOUT, CVdxWizard::onUpdAbout),
    FXMAPFUNC(SEL_COMMAND, CVdxWizard::ID_NEXT, CVdxWizard::onCmdNext),
    FXMAPFUNC(SEL_UPDATE, CVdxWizard::ID_NEXT, CVdxWizard::onUpdNext),
    FXMAPFUNC(SEL_COMMAND, CVdxWizard::ID_BACK, CVdxWizard::onCmdBack),
    FXMAPFUNC(SEL_UPDATE, CVdxWizard::ID_BACK, CVdxWizard::onUpdBack),
    FXMAPFUNC(SEL_COMMAND, FXDialogBox::ID_ACCEPT, CVdxWizard::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, FXDialogBox::ID_CANCEL, CVdxWizard::onCmdCancel),
    FXMAPFUNC(SEL_UPDATE, FXDialogBox::ID_CANCEL, CVdxWizard::onUpdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CVdxWizard::onCmdCancel),
    FXMAPFUNC(SEL_KEYPRESS, 0, CVdxWizard::onKeyPress),
};
FXIMPLEMENT(CVdxWizard, FXDialogBox, CVdxWizardMap, ARRAYNUMBER(CVdxWizardMap))

CVdxWizard::CVdxWizard()
    : titleLabel(NULL),
      descriptionLabel(NULL),
      titleFont(NULL),
      switcher(NULL),
      nextButton(NULL),
      backButton(NULL),
      cancelButton(NULL),
      nextEnabled(false),
      backEnabled(false),
      cancelEnabled(false),
      miniIcon(NULL),
      icon(NULL),
      sourceButtonPicture(NULL),
      currentPage(0)
{
    memset(pages, 0, sizeof pages);
}

CVdxWizard::CVdxWizard(FXApp* app)
    : FXDialogBox(app, Ui_MessageText(MSG_CAPTION_PROGRAM), kWizardOptions, 0, 0, Ui_ScaleX(42),
                  Ui_ScaleY(28), 0, 0, 0, 0, 0, 0),
      titleLabel(NULL),
      descriptionLabel(NULL),
      titleFont(NULL),
      switcher(NULL),
      nextButton(NULL),
      backButton(NULL),
      cancelButton(NULL),
      nextEnabled(false),
      backEnabled(false),
      cancelEnabled(false),
      miniIcon(NULL),
      icon(NULL),
      sourceButtonPicture(NULL),
      currentPage(0)
{
    memset(pages, 0, sizeof pages);
    // The job's construction defaults come with its constructor.

    miniIcon = new FXGIFIcon(app, Ui_WizardMiniIconGif);
    icon = new FXGIFIcon(app, Ui_WizardIconGif);
    sourceButtonPicture = new FXGIFIcon(app, Ui_FontButtonPictureGif);

    // Header: title and description of the current page, and the picture at the right.
    FXHorizontalFrame* header =
        new FXHorizontalFrame(this, LAYOUT_SIDE_TOP | LAYOUT_FILL_X, 0, 0, 0, 0, 0, 0, 0, 0, 4, 4);
    header->setBackColor(kHeaderColor);
    FXPacker* texts = new FXPacker(header, LAYOUT_FILL_X | LAYOUT_FIX_HEIGHT, 0, 0, 0, Ui_ScaleY(5),
                                   0, 0, 0, 0, 0, 0);
    texts->setBackColor(kHeaderColor);
    // No padding above or below: two lines of description fill its three units. The widths
    // are set again by layout(), up to the picture.
    titleLabel =
        new FXLabel(texts, FXString::null, NULL, LAYOUT_EXPLICIT | JUSTIFY_LEFT, Ui_ScaleX(2), 0,
                    Ui_ScaleX(33), Ui_ScaleY(2), DEFAULT_PAD, DEFAULT_PAD, 0, 0);
    titleLabel->setBackColor(kHeaderColor);
    descriptionLabel = new FXLabel(
        texts, FXString::null, NULL, LAYOUT_EXPLICIT | JUSTIFY_LEFT | JUSTIFY_TOP, Ui_ScaleX(3),
        Ui_ScaleY(2), Ui_ScaleX(33), Ui_ScaleY(3), DEFAULT_PAD, DEFAULT_PAD, 0, 0);
    descriptionLabel->setBackColor(kHeaderColor);
    FXFontDesc desc;
    titleLabel->getFont()->getFontDesc(desc);
    desc.weight = kTitleWeight;
    titleFont = new FXFont(app, desc);
    titleLabel->setFont(titleFont);
    FXLabel* picture =
        new FXLabel(header, FXString::null, icon, LAYOUT_RIGHT | LAYOUT_CENTER_Y | ICON_BEFORE_TEXT,
                    0, 0, 0, 0, DEFAULT_PAD, Ui_ScaleY(2), DEFAULT_PAD, DEFAULT_PAD);
    picture->setBackColor(kHeaderColor);

    // Buttons: About at the left; Back, Next and Cancel at the right.
    FXHorizontalFrame* row = new FXHorizontalFrame(
        this, LAYOUT_SIDE_BOTTOM | LAYOUT_FILL_X | LAYOUT_FIX_HEIGHT, 0, 0, 0, Ui_ScaleY(4));
    FXHorizontalFrame* left = new FXHorizontalFrame(
        row, PACK_UNIFORM_WIDTH | PACK_UNIFORM_HEIGHT | LAYOUT_CENTER_Y, 0, 0, 0, 0, 0, 0, 0, 0);
    AddSpacer(left, Ui_ScaleX(1));
    AddButton(left, MSG_WIZARD_ABOUT, this, ID_ABOUT);
    FXHorizontalFrame* right = new FXHorizontalFrame(
        row, PACK_UNIFORM_WIDTH | PACK_UNIFORM_HEIGHT | LAYOUT_CENTER_Y | LAYOUT_RIGHT, 0, 0, 0, 0,
        0, 0, 0, 0);
    backButton = AddButton(right, MSG_WIZARD_BACK, this, ID_BACK);
    nextButton = AddButton(right, MSG_WIZARD_NEXT, this, ID_NEXT);
    AddSpacer(right, Ui_ScaleX(1));
    cancelButton = AddButton(right, MSG_WIZARD_CANCEL, this, FXDialogBox::ID_CANCEL);
    AddSpacer(right, Ui_ScaleX(1));

    new FXHorizontalSeparator(this, SEPARATOR_GROOVE | LAYOUT_SIDE_TOP | LAYOUT_FILL_X, 0, 0, 0, 0,
                              1, 1, 0, 0);
    new FXHorizontalSeparator(this, SEPARATOR_GROOVE | LAYOUT_SIDE_BOTTOM | LAYOUT_FILL_X, 0, 0, 0,
                              0, 1, 1, 0, 0);

    switcher = new FXSwitcher(this, LAYOUT_FILL, 0, 0, 0, 0, 9, 9, 6, 6);

    setIcon(icon);
    setMiniIcon(miniIcon);

    Ui_ScanPlugins(&job);

    for (FXint i = 0; i < WIZARD_PAGE_COUNT; ++i) {
        switch (i) {
        case WIZARD_PAGE_SOURCE:
            pages[i] = new CInputSourcePropertyPage(this, &job, i, switcher, sourceButtonPicture);
            break;
        case WIZARD_PAGE_RAW_FILE:
            pages[i] = new CInputSourceBetaInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_BOCHS_SPARSE:
            pages[i] = new CInputSourceHSInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_BOCHS_REDOLOG:
            pages[i] = new CInputSourceBGInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_DEVICE:
            pages[i] = new CInputSourceRealDiskInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_SPLIT:
            pages[i] = new CInputSourcePSInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_NEW_DISK:
            pages[i] = new CInputSourceNewInfoPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_DEST_TYPE:
            pages[i] = new CSelectDestTypePropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_GEOMETRY:
            pages[i] = new CChangeGeometryPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VMDK:
            pages[i] = new CToVMwareVmdkPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_COWD3:
            pages[i] = new CToVMware3PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_COWD2:
            pages[i] = new CToVMware2PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VHDX:
            pages[i] = new CToHyperVVhdxPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VHD_DYNAMIC:
            pages[i] = new CToVirtualPCDynamicPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VHD_FIXED:
            pages[i] = new CToVirtualPCFixedPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_QCOW:
            pages[i] = new CToQemuQcowPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_QCOW2:
            pages[i] = new CToQemuQcow2PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_PARALLELS_BUNDLE:
            pages[i] = new CToParallelsPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_PARALLELS_FILE:
            pages[i] = new CToParallelsExtensiblePropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_SPLIT:
            pages[i] = new CToPartitionSavingPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_BOCHS_GROWING:
            pages[i] = new CToBochsGrowingPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_BOCHS_SPARSE:
            pages[i] = new CToBochsSparsePropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VDI:
            pages[i] = new CToVirtualBoxDynamicPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_HDI:
            pages[i] = new CToAnex86PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_THD:
            pages[i] = new CToT98PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_NHD:
            pages[i] = new CToT98NextPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_VHD100:
            pages[i] = new CToVirtual98PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_PC98E:
            pages[i] = new CToPC98EPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_HDIM:
            pages[i] = new CToSL9821PropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_UNZ:
            pages[i] = new CToUnzPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_FIRST_OPTIONS + DEST_FLAT:
            pages[i] = new CToBetaPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_CYLINDERS:
            pages[i] = new CAdjustCylinderBoundaryPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_DEST_PATH:
            pages[i] = new CInputDestPropertyPage(this, &job, i, switcher);
            break;
        case WIZARD_PAGE_CONVERT:
            pages[i] = new CConvertPropertyPage(this, &job, i, switcher);
            break;
        }
    }

    ConversionJob_Reset(&job);

    nextEnabled = backEnabled = cancelEnabled = true;
    currentPage = WIZARD_PAGE_SOURCE;
    switcher->setCurrent(WIZARD_PAGE_SOURCE, FALSE);
    titleLabel->setText(pages[WIZARD_PAGE_SOURCE]->title);
    descriptionLabel->setText(pages[WIZARD_PAGE_SOURCE]->description);
    pages[WIZARD_PAGE_SOURCE]->OnSetActive();
}

CVdxWizard::~CVdxWizard()
{
    delete miniIcon;
    delete icon;
    delete sourceButtonPicture;
    miniIcon = icon = sourceButtonPicture = NULL;
    // The pages go first: a page with a running worker stops and joins it, and only then may
    // the job that the worker reads be released.
    delete switcher;
    switcher = NULL;
    ConversionJob_Release(&job);
    delete titleFont;
    titleFont = NULL;
}

void CVdxWizard::create()
{
    FXDialogBox::create();
    if (miniIcon != NULL) miniIcon->create();
    if (icon != NULL) icon->create();
    if (sourceButtonPicture != NULL) sourceButtonPicture->create();
}

void CVdxWizard::detach()
{
    FXDialogBox::detach();
    if (miniIcon != NULL) miniIcon->detach();
    if (icon != NULL) icon->detach();
    if (sourceButtonPicture != NULL) sourceButtonPicture->detach();
}

void CVdxWizard::destroy()
{
    FXDialogBox::destroy();
    if (miniIcon != NULL) miniIcon->destroy();
    if (icon != NULL) icon->destroy();
    if (sourceButtonPicture != NULL) sourceButtonPicture->destroy();
}

void CVdxWizard::layout()
{
    FXDialogBox::layout();
    // The header's texts end where the picture begins, whatever the font size: with a larger
    // font the text grows faster than the layout units, and a fixed width ran under the picture.
    if (titleLabel == NULL || descriptionLabel == NULL) return;
    FXWindow* texts = titleLabel->getParent();
    FXLabel* labels[] = {titleLabel, descriptionLabel};
    for (FXLabel* label : labels) {
        const FXint width = texts->getWidth() - label->getX();
        if (width > 0 && width != label->getWidth()) {
            label->setWidth(width);
            label->layout();
        }
    }
}

CPropertyPage* CVdxWizard::GetPage(FXint index) const
{
    if (index < 0 || index >= WIZARD_PAGE_COUNT) return NULL;
    return pages[index];
}

void CVdxWizard::ShowPage(FXint index)
{
    currentPage = index;
    switcher->setCurrent(index, FALSE);
    titleLabel->setText(pages[index]->title);
    descriptionLabel->setText(pages[index]->description);
    pages[index]->OnSetActive();
}

// ---- Routing and buttons -----------------------------------------------------------------------

int CVdxWizard::GetNextPage(int page)
{
    int message = ROUTING_NO_MESSAGE;
    int next = Routing_GetNextPage(&job, page, &message);
    if (next < 0 && message != ROUTING_NO_MESSAGE) ShowMessage(MSG_APP_NAME, message, UI_MSG_ERROR);
    return next;
}

int CVdxWizard::GetPrevPage(int page) { return Routing_GetPrevPage(&job, page); }

void CVdxWizard::EnableNext(bool enable) { nextEnabled = enable; }
void CVdxWizard::EnableBack(bool enable) { backEnabled = enable; }
void CVdxWizard::EnableCancel(bool enable) { cancelEnabled = enable; }

int CVdxWizard::ShowMessage(int captionMessage, int textMessage, int kind, const FXString* argument)
{
    return COutputMessage::ShowMessage(this, captionMessage, textMessage, kind, argument);
}

long CVdxWizard::onCmdAbout(FXObject*, FXSelector, void*)
{
    CAboutDialog about(this, miniIcon, icon);
    about.execute(PLACEMENT_OWNER);
    return 1;
}

long CVdxWizard::onUpdAbout(FXObject* sender, FXSelector, void*)
{
    return EnableSender(sender, true);
}

// Navigation obeys the same flags as the buttons: a key press or a command that reaches the
// window before the buttons show their new state (Alt+N then Alt+B within one moment) must not
// leave a page that has switched its buttons off, such as the convert page while it runs.
long CVdxWizard::onCmdNext(FXObject*, FXSelector, void*)
{
    if (!nextEnabled) return 1;
    int next = pages[currentPage]->OnWizardNext();
    if (next >= 0 && next < WIZARD_PAGE_COUNT) ShowPage(next);
    return 1;
}

long CVdxWizard::onUpdNext(FXObject* sender, FXSelector, void*)
{
    return EnableSender(sender, nextEnabled);
}

long CVdxWizard::onCmdBack(FXObject*, FXSelector, void*)
{
    if (!backEnabled) return 1;
    int previous = pages[currentPage]->OnWizardBack();
    if (previous >= 0 && previous < WIZARD_PAGE_COUNT) ShowPage(previous);
    return 1;
}

long CVdxWizard::onUpdBack(FXObject* sender, FXSelector, void*)
{
    return EnableSender(sender, backEnabled);
}

long CVdxWizard::onCmdAccept(FXObject* sender, FXSelector sel, void* ptr)
{
    return FXDialogBox::onCmdAccept(sender, sel, ptr);
}

long CVdxWizard::onCmdCancel(FXObject* sender, FXSelector, void* ptr)
{
    if (!cancelEnabled) return 1;
    if (!pages[currentPage]->QueryCancel()) return 1;
    return FXDialogBox::onCmdCancel(sender, FXSEL(SEL_COMMAND, FXDialogBox::ID_CANCEL), ptr);
}

// Escape with a list open closes the list, not the wizard.
long CVdxWizard::onKeyPress(FXObject* sender, FXSelector sel, void* ptr)
{
    if (Ui_EscapeClosesOpenPopup(getApp(), ptr)) return 1;
    return FXDialogBox::onKeyPress(sender, sel, ptr);
}

long CVdxWizard::onUpdCancel(FXObject* sender, FXSelector, void*)
{
    return EnableSender(sender, cancelEnabled);
}

FXuint Ui_RunWizard(FXApp* app)
{
    CVdxWizard* wizard = new CVdxWizard(app);
    FXuint result = wizard->execute(PLACEMENT_SCREEN);
    delete wizard;
    return result;
}

// ---- Plug-in scan ------------------------------------------------------------------------------

FXString Ui_PluginLabel(const char* name, FXuint version)
{
    FXString text;
    if (name != NULL) text.assign(name, (FXint)strnlen(name, 255));
    FXString label;
    label.format("%s Ver.%u.%u.%u.%u", text.text(), (FXuint)Bytes_GetByte3(version),
                 (FXuint)Bytes_GetByte2(version), (FXuint)Bytes_GetByte1(version),
                 (FXuint)Bytes_GetByte0(version));
    return label;
}

void Ui_ScanPluginDirectory(ConversionJob* job, const FXString& directory)
{
    FXString* files = NULL;
    FXint count = FXDir::listFiles(files, directory, "*.vpl", FXDir::NoDirs);
    for (FXint i = 0; i < count; ++i) {
        FXString path = directory + files[i];
        PluginModule* module = Plugin_Alloc();
        if (module == NULL) break;
        Plugin_Init(module);
        if (Plugin_Load(module, path.text()) != DISK_OK) {
            Mem_Free(module);
            continue;
        }
        if (Plugin_IsAccepted(module)) {
            PluginListEntry entry;
            entry.path = path;
            entry.label = Ui_PluginLabel(Plugin_GetName(module), Plugin_GetVersion(module));
            entry.module = NULL;
            int32_t index = (int32_t)job->plugins.size();
            job->plugins.push_back(entry);
            if (Plugin_HasReadEx(module) || Plugin_HasRead(module))
                job->sourcePlugins.push_back(index);
            if (Plugin_HasWriteEx(module) || Plugin_HasWrite(module))
                job->destPlugins.push_back(index);
        }
        Plugin_Unload(module);
        Mem_Free(module);
    }
    delete[] files;
}

void Ui_ScanPlugins(ConversionJob* job)
{
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || (size_t)length >= buffer.size()) return;
    FXString path(buffer.data(), (FXint)length);
    FXint slash = path.rfind('/');
    if (slash < 0) return;
    Ui_ScanPluginDirectory(job, path.left(slash + 1));
}
