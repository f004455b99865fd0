// Page 0: the source of the conversion.
#include "gui/pages/source_page.h"

#include <cstring>

#include "disk/disk_open.h"
#include "disk/plugin.h"
#include "formats/qcow2/qcow2.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/plugin_pages.h"
#include "gui/frame/parallels_snapshot_dialog.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/qcow2_snapshot_dialog.h"
#include "gui/frame/vbox_machine_dialog.h"
#include "gui/frame/qcow_password_dialog.h"
#include "gui/frame/trim_settings_dialog.h"
#include "gui/frame/widgets.h"
#include "gui/pages/source_rules.h"
#include "gui/utility/qcow2_utility_dialog.h"
#include "gui/utility/vhd_utility_dialog.h"
#include "gui/utility/vmdk_utility_dialog.h"

namespace {

// Shown under message 29 when the path names a FIFO, a socket, a directory or a character
// device: only regular files and block devices are opened.
const int kNotADiskFileDetail = 449;

struct OpenFileJob {
    DiskHandle* handle;
    const char* path;
    bool readOnly;
    int parentMode;
    const char* refusal;  // the reason recorded by the open, taken on its thread
};

// The refusal record belongs to the thread that opens: it is cleared and read here, on the
// wait dialog's worker, and carried back in the job.
int RunOpenFile(void* data, CWaitDialog* dialog)
{
    OpenFileJob* job = static_cast<OpenFileJob*>(data);
    OpenProgressRecord record = {Ui_PluginQueryRunning, dialog, Ui_PluginCallOnGuiThread, dialog};
    Refusal_Clear();
    const int rc = Disk_OpenEx(job->handle, job->path, job->readOnly, job->parentMode, &record);
    job->refusal = Refusal_Get();
    return rc;
}

struct OpenPluginJob {
    DiskHandle* handle;
    PluginModule* module;
    const char* path;
};

int RunOpenPlugin(void* data, CWaitDialog* dialog)
{
    OpenPluginJob* job = static_cast<OpenPluginJob*>(data);
    PluginHostDialogs dialogs = {dialog, Ui_RunPluginDiskSelector, dialog, Ui_RunPluginPageDialog};
    PluginHostCallbacks callbacks = {
        {Ui_PluginQueryRunning, dialog, Ui_PluginCallOnGuiThread, dialog}, &dialogs};
    return Disk_OpenPlugin(job->handle, job->module, job->path, true, NULL, &callbacks);
}

}  // namespace

int Ui_OpenDiskWaiting(FXWindow* owner, DiskHandle* handle, const char* path, bool readOnly,
                       int parentMode, int titleMessage, int textMessage, const char** refusal)
{
    OpenFileJob job = {handle, path, readOnly, parentMode, NULL};
    CWaitDialog dialog(owner, RunOpenFile, &job, Ui_MessageText(titleMessage),
                       Ui_MessageText(textMessage));
    dialog.Run(PLACEMENT_OWNER);
    if (refusal != NULL) *refusal = job.refusal;
    return dialog.result;
}

// ---- Disk picker of a source plug-in --------------------------------------------------------------

FXIMPLEMENT(CPluginDiskSelectorDialog, CSelectFileBaseDialog, NULL, 0)

CPluginDiskSelectorDialog::CPluginDiskSelectorDialog(FXWindow* owner, PluginFillFn fill,
                                                     void* argument)
    : CSelectFileBaseDialog(owner), fillResult(0), selected(NULL)
{
    fillResult = fill != NULL ? fill(treeList, AddItem, argument) : DISK_ERR_ARG;
}

void CPluginDiskSelectorDialog::SetSelection(void* itemData) { selected = itemData; }

void* CPluginDiskSelectorDialog::AddItem(void* tree, void* parent, const char* text, void* data)
{
    if (tree == NULL) return NULL;
    FXString label;
    if (text != NULL) Ui_CStringToFXString(&label, text, TEXT_ENC_UTF8);
    return static_cast<FXTreeList*>(tree)->appendItem(static_cast<FXTreeItem*>(parent), label, NULL,
                                                      NULL, data);
}

namespace {

struct SelectorRun {
    FXWindow* owner;
    void* fill;
    void* out;
    void* fillArgument;
};

int RunSelectorHere(uint64_t value)
{
    SelectorRun* run = (SelectorRun*)(uintptr_t)value;
    CPluginDiskSelectorDialog dialog(run->owner, reinterpret_cast<PluginFillFn>(run->fill),
                                     run->fillArgument);
    if (dialog.fillResult != 0) return dialog.fillResult;
    if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return 1;
    if (run->out != NULL) *static_cast<void**>(run->out) = dialog.selected;
    return 0;
}

}  // namespace

int Ui_RunPluginDiskSelector(void* owner, void* fill, void* out, void* fillArgument)
{
    if (owner == NULL || fill == NULL) return DISK_ERR_ARG;
    FXWindow* window = static_cast<FXWindow*>(owner);
    SelectorRun run = {window, fill, out, fillArgument};
    // A plug-in asks from the open's worker thread: the wait dialog runs the selector on the
    // GUI thread (directly when this is the GUI thread).
    if (window->isMemberOf(FXMETACLASS(CWaitDialog)))
        return CWaitDialog::CallOnGuiThread(RunSelectorHere, (uint64_t)(uintptr_t)&run,
                                            static_cast<CWaitDialog*>(window));
    return RunSelectorHere((uint64_t)(uintptr_t)&run);
}

// ---- Page ----------------------------------------------------------------------------------------

FXDEFMAP(CInputSourcePropertyPage)
CInputSourcePropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CInputSourcePropertyPage::ID_RADIO_IMAGE,
               CInputSourcePropertyPage::ID_RADIO_NEW_DISK,
               CInputSourcePropertyPage::onCmdSourceRadio),
    FXMAPFUNCS(SEL_UPDATE, CInputSourcePropertyPage::ID_RADIO_IMAGE,
               CInputSourcePropertyPage::ID_RADIO_NEW_DISK,
               CInputSourcePropertyPage::onUpdSourceRadio),
    FXMAPFUNC(SEL_COMMAND, CInputSourcePropertyPage::ID_BROWSE,
              CInputSourcePropertyPage::onCmdBrowse),
    FXMAPFUNC(SEL_COMMAND, CInputSourcePropertyPage::ID_FONT, CInputSourcePropertyPage::onCmdFont),
    FXMAPFUNC(SEL_COMMAND, CInputSourcePropertyPage::ID_UTILITY,
              CInputSourcePropertyPage::onCmdUtility),
};
FXIMPLEMENT(CInputSourcePropertyPage, CVdxPropertyPageBase, CInputSourcePropertyPageMap,
            ARRAYNUMBER(CInputSourcePropertyPageMap))

CInputSourcePropertyPage::CInputSourcePropertyPage()
    : imageRadio(NULL),
      pathLabel(NULL),
      trimCheck(NULL),
      utilityButton(NULL),
      pathField(NULL),
      browseButton(NULL),
      listLabel(NULL),
      sourceList(NULL),
      deviceRadio(NULL),
      deviceLabel(NULL),
      deviceField(NULL),
      newDiskRadio(NULL),
      fontButton(NULL),
      currentRadio(ID_RADIO_IMAGE),
      hasSourcePlugins(false),
      deviceAllowed(true)
{}

CInputSourcePropertyPage::CInputSourcePropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                   FXint index, FXComposite* parent,
                                                   FXIcon* fontIcon)
    : CVdxPropertyPageBase(events, job, index, parent),
      imageRadio(NULL),
      pathLabel(NULL),
      trimCheck(NULL),
      utilityButton(NULL),
      pathField(NULL),
      browseButton(NULL),
      listLabel(NULL),
      sourceList(NULL),
      deviceRadio(NULL),
      deviceLabel(NULL),
      deviceField(NULL),
      newDiskRadio(NULL),
      fontButton(NULL),
      currentRadio(ID_RADIO_IMAGE),
      hasSourcePlugins(false),
      deviceAllowed(true)
{
    title = Ui_MessageText(MSG_SOURCE_TITLE);
    description = Ui_MessageText(MSG_SOURCE_DESCRIPTION);

    imageRadio =
        Ui_CreateRadioButton(this, MSG_SOURCE_IMAGE_FILE, this, ID_RADIO_IMAGE, 1, 1, 13, 2);
    pathLabel = Ui_CreateLabel(this, MSG_SOURCE_IMAGE_FILE_LABEL, 2, 3, 12, 2);
    trimCheck = Ui_CreateCheckButton(this, MSG_SOURCE_TRIM_IN_PLACE, this, ID_TRIM, 14, 3, 15, 2);
    utilityButton = Ui_CreateButton(this, MSG_SOURCE_UTILITIES, this, ID_UTILITY, 29, 3, 9, 2);
    pathField = Ui_CreateTextField(this, 2, 5, 31, 2);
    browseButton = Ui_CreateButton(this, MSG_SOURCE_BROWSE, this, ID_BROWSE, 33, 5, 5, 2);
    listLabel = Ui_CreateLabel(this, MSG_SOURCE_OPEN_WITH, 2, 7, 12, 2);
    sourceList = Ui_CreateListBox(this, this, ID_LIST, 14, 7, 21, 2);
    sourceList->setNumVisible(10);
    sourceList->appendItem(" ");
    for (size_t i = 0; i < job->sourcePlugins.size(); ++i) {
        int32_t entry = job->sourcePlugins[i];
        FXString label;
        if (entry >= 0 && (size_t)entry < job->plugins.size()) label = job->plugins[entry].label;
        sourceList->appendItem(label);
    }
    hasSourcePlugins = !job->sourcePlugins.empty();
    deviceRadio =
        Ui_CreateRadioButton(this, MSG_SOURCE_BLOCK_DEVICE, this, ID_RADIO_DEVICE, 1, 10, 13, 2);
    deviceLabel = Ui_CreateLabel(this, MSG_SOURCE_DEVICE_PATH, 2, 12, 11, 2);
    deviceField = Ui_CreateTextField(this, 14, 12, 21, 2);
    newDiskRadio = Ui_CreateRadioButton(this, MSG_SOURCE_NEW_BLANK_DISK, this, ID_RADIO_NEW_DISK,
                                        26, 0, 13, 2);
    fontButton = Ui_CreateButton(this, MSG_FONT_BUTTON, this, ID_FONT, 1, 15, 9, 2);
    if (fontIcon != NULL) fontButton->setIcon(fontIcon);
}

void CInputSourcePropertyPage::ApplyEnabling()
{
    const bool image = currentRadio == ID_RADIO_IMAGE;
    const bool device = currentRadio == ID_RADIO_DEVICE && deviceAllowed;
    EnableWindow(pathLabel, image);
    EnableWindow(pathField, image);
    EnableWindow(browseButton, image);
    EnableWindow(trimCheck, image);
    EnableWindow(utilityButton, image);
    EnableWindow(listLabel, image && hasSourcePlugins);
    EnableWindow(sourceList, image && hasSourcePlugins);
    EnableWindow(deviceLabel, device);
    EnableWindow(deviceField, device);
}

void CInputSourcePropertyPage::OnSetActive()
{
    switch (job->sourceChoice) {
    case 1:
        currentRadio = ID_RADIO_DEVICE;
        break;
    case 2:
        currentRadio = ID_RADIO_NEW_DISK;
        break;
    default:
        currentRadio = ID_RADIO_IMAGE;
        break;
    }
    ApplyEnabling();
    SetCheck(trimCheck, job->trimInPlace);
    SetListIndex(sourceList, job->sourceListIndex);
    deviceField->setText(job->sourceDevice);
    pathField->setText(job->sourcePath);
    SetWizardButtons(false, true, true);
    imageRadio->setFocus();
}

int CInputSourcePropertyPage::OnWizardNext()
{
    switch (currentRadio) {
    case ID_RADIO_IMAGE:
        if (!OpenListChoice()) return -1;
        break;
    case ID_RADIO_DEVICE: {
        FXString text = deviceField->getText();
        text.trim();
        if (text.empty()) {
            ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_SOURCE_DEVICE_HINT, UI_MSG_ERROR);
            return -1;
        }
        ReleaseChoice();
        job->sourceDevice = text;
        job->sourceKind = JOB_SOURCE_DEVICE;
        job->sourceChoice = 1;
        job->sourceText = FXString::null;
        job->sourceListIndex = 0;
        break;
    }
    default:
        ReleaseChoice();
        job->sourceKind = JOB_SOURCE_NEW_DISK;
        job->sourceChoice = 2;
        job->sourceText = FXString::null;
        job->sourceListIndex = 0;
        break;
    }
    return events->GetNextPage(index);
}

void CInputSourcePropertyPage::ReleaseChoice()
{
    // Whatever an earlier choice left open goes first: a new source never overwrites one.
    ConversionJob_ReleaseMap(job);
    ConversionJob_ReleaseSource(job);
    ConversionJob_ReleasePluginOutput(job);
    job->trimInPlace = 0;
}

bool CInputSourcePropertyPage::OpenListChoice()
{
    FXint item = GetListIndex(sourceList);
    if (item < 0 || (size_t)item > job->sourcePlugins.size()) item = 0;

    ReleaseChoice();
    job->keySet = 0;

    if (item > 0) {
        job->sourcePath = pathField->getText();
    } else {
        FXString text = pathField->getText();
        text.trim();
        if (text.empty()) {
            ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR);
            return false;
        }
        job->sourcePath = FXPath::absolute(text);
    }

    job->sourceKind = JOB_SOURCE_IMAGE;
    job->sourceDisk = Disk_Alloc();
    if (job->sourceDisk == NULL) {
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
        return false;
    }
    Disk_Init(job->sourceDisk);

    bool opened = item > 0 ? OpenPluginDisk(item - 1) : OpenImageFile();
    if (!opened) {
        ConversionJob_ReleaseSource(job);
        return false;
    }
    if (!CheckTrim()) {
        ConversionJob_ReleaseMap(job);
        ConversionJob_ReleaseSource(job);
        return false;
    }
    job->sourceChoice = 0;
    job->sourceListIndex = item;
    job->sourceText = FXString::null;
    return true;
}

void CInputSourcePropertyPage::TakeAsRawImage()
{
    job->sourceKind = JOB_SOURCE_RAW_FILE;
    ConversionJob_ReleaseSource(job);
}

bool CInputSourcePropertyPage::OpenImageFile()
{
    const char* refusal = NULL;
    int rc = Ui_OpenDiskWaiting(this, job->sourceDisk, job->sourcePath.text(), true, 0,
                                MSG_WAIT_TITLE, MSG_WAIT_OPENING_IMAGE, &refusal);
    int message = 0;
    switch (SourceRules_ClassifyOpenResult(rc, &message)) {
    case SOURCE_OPEN_DONE:
        return true;
    case SOURCE_OPEN_STAY:
        return false;
    case SOURCE_OPEN_PASSWORD:
        return OpenWithPassword();
    case SOURCE_OPEN_MESSAGE:
        // A bundle with several snapshots needs one chosen before it opens.
        if (rc == DISK_ERR_FORMAT) {
            int taken = TryParallelsSnapshot();
            if (taken >= 0) return taken != 0;
        }
        if (rc == DISK_ERR_UNSUPPORTED) {
            // A valid qcow2 image using a feature this program does not read: name it.
            const int feature = Qcow2_FindUnsupportedFeature(job->sourcePath.text());
            if (feature != QCOW2_FEATURE_NONE) {
                const FXString name = Ui_MessageText(MSG_QCOW2_UNREAD_FEATURE + feature);
                COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_QCOW2_UNREAD_FEATURE,
                                            UI_MSG_ERROR, &name);
                return false;
            }
        }
        if (rc == DISK_ERR_OPEN && SourceRules_IsUnusableFileKind(job->sourcePath.text())) {
            ShowMessageDetail(this, MSG_CAPTION_DISK_IMAGE, message, UI_MSG_ERROR,
                              Ui_MessageText(kNotADiskFileDetail));
            return false;
        }
        // A damaged image: the check that refused it is named under the message.
        if (rc == DISK_ERR_FORMAT && refusal != NULL) {
            ShowMessageDetail(this, MSG_CAPTION_DISK_IMAGE, message, UI_MSG_ERROR,
                              Ui_ReplaceFirstPlaceholder(Ui_MessageText(MSG_SOURCE_REFUSAL_DETAIL),
                                                         FXString(refusal)));
            return false;
        }
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, message, UI_MSG_ERROR);
        return false;
    case SOURCE_OPEN_RAW:
    default: {
        // A VirtualBox machine file lets the user pick a disk; a Parallels snapshot tree, then
        // a qcow2 image that has snapshots, let the user pick a state; a file none of the
        // alternative openers takes is a raw image.
        bool vboxTaken = false;
        int vbox = Ui_OpenVirtualBoxMachine(job->sourceDisk, job->sourcePath.text(), true,
                                            &vboxTaken, this);
        if (vboxTaken) {
            if (vbox == DISK_OK) return true;
            if (vbox != DISK_CANCELLED)
                ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
            return false;
        }
        int taken = TryParallelsSnapshot();
        if (taken >= 0) return taken != 0;
        bool qcow2Taken = false;
        int alt =
            Ui_OpenQcow2Snapshot(job->sourceDisk, job->sourcePath.text(), true, &qcow2Taken, this);
        if (qcow2Taken) {
            if (alt == DISK_OK) return true;
            if (alt == DISK_ERR_KEY_LENGTH)
                ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_PASSWORD_WRONG, UI_MSG_ERROR);
            else if (alt != DISK_CANCELLED)
                ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
            return false;
        }
        TakeAsRawImage();
        return true;
    }
    }
}

int CInputSourcePropertyPage::TryParallelsSnapshot()
{
    bool taken = false;
    int rc = Ui_OpenParallelsSnapshot(job->sourceDisk, job->sourcePath.text(), true, &taken, this);
    if (!taken) return -1;
    if (rc == DISK_OK) return 1;
    if (rc != 1) ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
    return 0;
}

bool CInputSourcePropertyPage::OpenWithPassword()
{
    DiskKind kind = Disk_GetKind(job->sourceDisk);
    if (kind != DISK_KIND_QCOW && kind != DISK_KIND_QCOW2) {
        TakeAsRawImage();
        return true;
    }
    CInputQemuQcowPasswordDialog dialog(this);
    if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return false;
    int message = MSG_SOURCE_FILE_UNUSABLE;
    if (SourceRules_OpenWithPassword(job, dialog.key, dialog.verify, &message) != DISK_OK) {
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, message, UI_MSG_ERROR);
        return false;
    }
    return true;
}

int CInputSourcePropertyPage::OpenPluginSourceWaiting(ConversionJob* job, PluginListEntry* entry)
{
    OpenPluginJob data = {job->sourceDisk, entry->module, job->sourcePath.text()};
    CWaitDialog dialog(this, RunOpenPlugin, &data, Ui_MessageText(MSG_WAIT_TITLE),
                       Ui_MessageText(MSG_WAIT_OPENING_IMAGE));
    dialog.Run(PLACEMENT_OWNER);
    return dialog.result;
}

bool CInputSourcePropertyPage::OpenPluginDisk(FXint listEntry)
{
    int32_t entryIndex = job->sourcePlugins[listEntry];
    if (entryIndex < 0 || (size_t)entryIndex >= job->plugins.size()) {
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
        return false;
    }
    PluginListEntry* entry = &job->plugins[entryIndex];
    if (entry->module == NULL) {
        PluginModule* module = Plugin_Alloc();
        if (module == NULL) {
            ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
            return false;
        }
        Plugin_Init(module);
        if (Plugin_Load(module, entry->path.text()) != DISK_OK) {
            Mem_Free(module);
            ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
            return false;
        }
        entry->module = module;
    }

    int rc;
    if (Plugin_HasOpenEx(entry->module)) {
        rc = OpenPluginSourceWaiting(job, entry);
    } else if (!Plugin_HasOpen(entry->module)) {
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
        return false;
    } else {
        rc = Disk_OpenPlugin(job->sourceDisk, entry->module, job->sourcePath.text(), true, NULL,
                             NULL);
    }
    if (rc == DISK_OK) return true;
    if (rc == DISK_CANCELLED) return false;
    if (rc == DISK_ERR_PLUGIN) {
        char buffer[256];
        int encoding = -1;
        FXString detail;
        if (Plugin_FetchErrorMessage(entry->module, buffer, sizeof buffer, &encoding) &&
            encoding == 0) {
            buffer[sizeof buffer - 1] = '\0';
            Ui_CStringToFXString(&detail, buffer, TEXT_ENC_UTF8);
        }
        if (!detail.empty()) {
            ShowMessageDetail(this, MSG_CAPTION_DISK_IMAGE, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR,
                              detail);
            return false;
        }
    }
    ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR);
    return false;
}

bool CInputSourcePropertyPage::CheckTrim()
{
    UsedSectorMap* map = NULL;
    int message = 0;
    switch (SourceRules_PrepareTrim(job, GetCheck(trimCheck), &map, &message)) {
    case SOURCE_TRIM_OFF:
        return true;
    case SOURCE_TRIM_ASK: {
        CTrimSettingDialog dialog(this);
        dialog.option = job->trimOption != 0;
        if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) {
            SourceRules_FreeMap(map);
            ConversionJob_ReleaseSource(job);
            return false;
        }
        job->trimInPlace = 1;
        job->volumeList = map;
        job->trimOption = dialog.option ? 1 : 0;
        return true;
    }
    default:
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, message, UI_MSG_ERROR);
        return false;
    }
}

long CInputSourcePropertyPage::onCmdSourceRadio(FXObject*, FXSelector selector, void*)
{
    currentRadio = (FXint)FXSELID(selector);
    ApplyEnabling();
    return 1;
}

long CInputSourcePropertyPage::onUpdSourceRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, currentRadio);
}

long CInputSourcePropertyPage::onCmdBrowse(FXObject*, FXSelector, void*)
{
    FXFileDialog dialog(this, Ui_MessageText(MSG_SOURCE_OPEN_FILE_TITLE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_EXISTING);
    dialog.setPatternList(Ui_MessageText(MSG_PATTERN_SOURCE_IMAGES));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (dialog.execute(PLACEMENT_OWNER)) {
        Ui_LastDirectory() = dialog.getDirectory();
        pathField->setText(dialog.getFilename());
    }
    return 1;
}

long CInputSourcePropertyPage::onCmdFont(FXObject*, FXSelector, void*)
{
    FXFontDialog dialog(this, Ui_MessageText(MSG_FONT_TITLE), 0, 0, 0, 600, 380);
    FXFontDesc desc;
    getApp()->getNormalFont()->getFontDesc(desc);
    dialog.setFontSelection(desc);
    if (!dialog.execute(PLACEMENT_OWNER)) return 1;
    dialog.getFontSelection(desc);
    // The previous normal font stays: the wizard's widgets use it until the wizard is rebuilt.
    FXFont* font = new FXFont(getApp(), desc);
    font->create();
    FXString chosen = font->getFont();
    FXFileStream stream;
    if (stream.open(Ui_FontFilePath(), FXStreamSave, 8192)) {
        stream << chosen;
        stream.close();
    }
    getApp()->setNormalFont(font);
    getApp()->stopModal(getShell(), UI_RESULT_RESTART);
    return 1;
}

long CInputSourcePropertyPage::onCmdUtility(FXObject*, FXSelector, void*)
{
    FXString text = pathField->getText();
    text.trim();
    if (text.empty()) {
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR);
        return 1;
    }
    const FXString path = FXPath::absolute(text);
    DiskHandle disk;
    Disk_Init(&disk);
    const int rc = Ui_OpenDiskWaiting(this, &disk, path.text(), false, 1, MSG_WAIT_TITLE,
                                      MSG_WAIT_OPENING_IMAGE);
    const DiskKind kind = Disk_GetKind(&disk);
    Disk_Close(&disk);
    if (rc == 1) return 1;
    uint8_t key[16];
    bool keyed = false;
    if (rc == DISK_ERR_PASSWORD) {
        // Only qcow2 has utilities for encrypted images: they need the key.
        if (kind != DISK_KIND_QCOW2) {
            ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_NO_UTILITIES, UI_MSG_ERROR);
            return 1;
        }
        CInputQemuQcowPasswordDialog password(this);
        if (password.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return 1;
        DiskHandle keyedDisk;
        Disk_Init(&keyedDisk);
        int r = Disk_OpenQcow2WithKey(&keyedDisk, path.text(), true, password.key,
                                      sizeof password.key, QCOW2_BACKING_OPTIONAL);
        bool present = true;
        if (r == DISK_OK && password.verify) r = Ui_HasBootSignature(&keyedDisk, &present);
        Disk_Close(&keyedDisk);
        if (r == DISK_OK && !present) {
            ShowMessage(this, MSG_APP_NAME, MSG_PASSWORD_WRONG, UI_MSG_ERROR);
            return 1;
        }
        if (r != DISK_OK) {
            ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_CANNOT_OPEN, UI_MSG_ERROR);
            return 1;
        }
        memcpy(key, password.key, sizeof key);
        keyed = true;
    } else if (rc != DISK_OK) {
        ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_CANNOT_OPEN, UI_MSG_ERROR);
        return 1;
    }
    switch (kind) {
    case DISK_KIND_VMDK: {
        CVMwareVmdkUtilityDialog dialog(this, path);
        dialog.execute(PLACEMENT_OWNER);
        break;
    }
    case DISK_KIND_VHD:
    case DISK_KIND_VHD_FIXED: {
        CVirtualPCVhdUtilityDialog dialog(this, path);
        dialog.execute(PLACEMENT_OWNER);
        break;
    }
    case DISK_KIND_QCOW2: {
        CQemuQcow2UtilityDialog dialog(this, path);
        if (keyed) dialog.SetKey(key);
        dialog.execute(PLACEMENT_OWNER);
        break;
    }
    default:
        ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_NO_UTILITIES, UI_MSG_ERROR);
        break;
    }
    return 1;
}
