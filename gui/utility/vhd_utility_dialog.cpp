// The VHD utility dialog and the parent-link dialog.
#include "gui/utility/vhd_utility_dialog.h"

#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vhd/vhd.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vhd/vhd_writer.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/widgets.h"
#include "gui/utility/expand_capacity_dialog.h"
#include "gui/utility/utility_common.h"

namespace {

struct CreatorEntry {
    int message;
    uint32_t application;
    uint32_t version;
};
const CreatorEntry kCreators[VHD_UTILITY_CREATORS] = {
    {MSG_VHD_VIRTUAL_SERVER_VS_1, VHD_CODE_VS, 0x00010000},
    {MSG_VHD_VIRTUAL_PC_2004_VPC, VHD_CODE_VPC, 0x00050000},
    {MSG_VHD_VIRTUAL_PC_2007_VPC, VHD_CODE_VPC, 0x00050003},
    {MSG_VHD_VIRTUAL_PC_EARLY_VPC, VHD_CODE_VPC, 0x00010000},
    {MSG_VHD_WINDOWS_7_WIN_6, VHD_CODE_WIN, 0x00060001},
    {MSG_VHD_WINDOWS_8_WIN_6, VHD_CODE_WIN, 0x00060002}};

struct VariantEntry {
    int message;
    uint32_t align, blockSectors, afterBat, afterBlock;
};
const VariantEntry kVariants[VHD_UTILITY_VARIANTS] = {
    {MSG_VHD_STANDARD_2_MIB_BLOCKS, 0, 4096, 1, 0}, {MSG_VHD_512_KIB_BLOCKS, 0, 1024, 1, 0},
    {MSG_VHD_16_MIB_BLOCKS_4, 0, 0x8000, 4, 0},     {MSG_VHD_16_MIB_BLOCKS_3, 0, 0x8000, 3, 0},
    {MSG_VHD_VIRTUAL_PC_EARLY_VPC, 0, 4096, 1, 0},  {MSG_VHD_WINDOWS_7_WIN_6, 0, 4096, 0, 0},
    {MSG_VHD_WINDOWS_8_WIN_6, 1, 4096, 7, 7}};

VhdImage* ImageOf(DiskHandle* handle)
{
    const DiskKind kind = Disk_GetKind(handle);
    return kind == DISK_KIND_VHD ? (VhdImage*)Disk_GetObject(handle) : NULL;
}

bool OpenImage(DiskHandle* disk, const FXString& path, bool readOnly)
{
    Disk_Init(disk);
    const int r = Disk_OpenEx(disk, path.text(), readOnly, 1, NULL);
    const DiskKind kind = Disk_GetKind(disk);
    if (r != 0 || (kind != DISK_KIND_VHD && kind != DISK_KIND_VHD_FIXED)) {
        Disk_Close(disk);
        return false;
    }
    return true;
}

struct VhdExpandJob {
    std::string path;
    uint32_t newCapacity;
    OutputFile output;
};

// The data of the first locator with the code; false when reading it fails.
bool ReadLocator(const VhdImage* image, uint32_t code, std::vector<uint8_t>* data, bool* found)
{
    data->assign(VHD_MAX_LOCATOR_READ, 0);
    uint32_t length = 0;
    if (!Vhd_ReadParentLocator(image, code, data->data(), VHD_MAX_LOCATOR_READ, &length, found))
        return false;
    data->resize(length);
    return true;
}

// Locator bytes as a text: cut at the first NUL unit.
bool LocatorText(const std::vector<uint8_t>& data, TextEncoding encoding, FXString* out)
{
    const uint32_t unit = Text_UnitSize(encoding);
    uint32_t length = 0;
    while (length + unit <= data.size()) {
        bool zero = true;
        for (uint32_t k = 0; k < unit; ++k) zero = zero && data[length + k] == 0;
        if (zero) break;
        length += unit;
    }
    *out = FXString::null;
    if (length == 0) return true;
    Ui_TextToFXString(out, TextView{data.data(), length}, encoding);
    return !out->empty();
}

VhdLocatorBytes Bytes(const FXStringText& text)
{
    VhdLocatorBytes b;
    b.present = true;
    b.data = text.view.data;
    b.length = text.view.length;  // bytes, without the terminator
    return b;
}

}  // namespace

VhdCreateOptions VhdUtility_ChildOptions(int creator, int variant)
{
    if (creator < 0 || creator >= VHD_UTILITY_CREATORS) creator = 2;
    if (variant < 0 || variant >= VHD_UTILITY_VARIANTS) variant = 0;
    VhdCreateOptions o;
    o.creatorApplication = kCreators[creator].application;
    o.creatorVersion = kCreators[creator].version;
    o.batAlignment = kVariants[variant].align;
    o.blockSectors = kVariants[variant].blockSectors;
    o.zeroSectorsAfterBat = kVariants[variant].afterBat;
    o.zeroSectorsAfterBlock = kVariants[variant].afterBlock;
    return o;
}

int VhdUtility_CreatorForVariant(int variant)
{
    switch (variant) {
    case 4:
        return 3;
    case 5:
        return 4;
    case 6:
        return 5;
    default:
        return 2;
    }
}

void VhdUtility_PresetFromLayout(bool fixed, uint32_t batAlignment, uint32_t blockSectors,
                                 uint32_t zeroSectorsAfterBat, uint32_t creatorVersion,
                                 int* variant, int* creator)
{
    if (fixed) {
        *variant = 5;
        *creator = 4;
    } else if (batAlignment) {
        *variant = 6;
        *creator = 5;
    } else if (blockSectors == 0x8000) {
        *variant = zeroSectorsAfterBat == 4 ? 2 : 3;
        *creator = 2;
    } else if (blockSectors == 1024) {
        *variant = 1;
        *creator = 2;
    } else if (zeroSectorsAfterBat != 1) {
        *variant = 5;
        *creator = 4;
    } else if (creatorVersion == 0x00010000) {
        *variant = 4;
        *creator = 3;
    } else {
        *variant = 0;
        *creator = 2;
    }
}

bool VhdUtility_RelativeParentPath(const FXString& childPath, const FXString& parentPath,
                                   FXString* out)
{
    FXString relative;
    if (!Ui_MakeFieldPathRelative(childPath, parentPath, &relative) || relative.empty())
        return false;
    relative.substitute('/', '\\');
    if (!(relative.length() >= 3 && relative.left(3) == "..\\")) relative.prepend(".\\");
    *out = relative;
    return true;
}

// ---- Utility dialog ------------------------------------------------------------------------------
FXDEFMAP(CVirtualPCVhdUtilityDialog)
CVirtualPCVhdUtilityDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_EXPAND,
              CVirtualPCVhdUtilityDialog::onCmdExpand),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_CHILD,
              CVirtualPCVhdUtilityDialog::onCmdChild),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_PARENT,
              CVirtualPCVhdUtilityDialog::onCmdParent),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_VARIANT,
              CVirtualPCVhdUtilityDialog::onCmdVariant),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDialog::ID_CLOSE,
              CVirtualPCVhdUtilityDialog::onCmdClose),
    FXMAPFUNC(SEL_CLOSE, 0, CVirtualPCVhdUtilityDialog::onCmdClose),
};
FXIMPLEMENT(CVirtualPCVhdUtilityDialog, CNDialogBase, CVirtualPCVhdUtilityDialogMap,
            ARRAYNUMBER(CVirtualPCVhdUtilityDialogMap))

CVirtualPCVhdUtilityDialog::CVirtualPCVhdUtilityDialog()
    : newCapacity(0),
      pathLabel(NULL),
      expandButton(NULL),
      childButton(NULL),
      parentButton(NULL),
      creatorLabel(NULL),
      creatorList(NULL),
      variantLabel(NULL),
      variantList(NULL)
{}

CVirtualPCVhdUtilityDialog::CVirtualPCVhdUtilityDialog(FXWindow* owner, const FXString& path)
    : CNDialogBase(owner, MSG_VHD_UTILITY_TITLE, 41, 24, false), imagePath(path), newCapacity(0)
{
    FXPacker* frame = GetContentFrame();
    const FXint width = Ui_ScaleX(41);
    pathLabel = Ui_CreateLeftLabelText(frame, FXString(), 1, 1, 39, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPERATIONS, 1, 4, 14, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPTIONS, 17, 4, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(6), width);
    childButton = Ui_CreateButton(frame, MSG_UTILITY_CREATE_CHILD, this, ID_CHILD, 1, 7, 14, 2);
    creatorLabel = Ui_CreateLabel(frame, MSG_VHD_CREATOR, 17, 7, 8, 2);
    creatorList = Ui_CreateListBox(frame, this, ID_CREATOR, 17, 9, 20, 2);
    for (int i = 0; i < VHD_UTILITY_CREATORS; ++i)
        creatorList->appendItem(Ui_MessageText(kCreators[i].message));
    creatorList->setNumVisible(VHD_UTILITY_CREATORS);
    variantLabel = Ui_CreateLabel(frame, MSG_VHD_LAYOUT, 17, 11, 10, 2);
    variantList = Ui_CreateListBox(frame, this, ID_VARIANT, 17, 13, 23, 2);
    for (int i = 0; i < VHD_UTILITY_VARIANTS; ++i)
        variantList->appendItem(Ui_MessageText(kVariants[i].message));
    variantList->setNumVisible(VHD_UTILITY_VARIANTS);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(16), width);
    expandButton =
        Ui_CreateButton(frame, MSG_UTILITY_EXPAND_CAPACITY, this, ID_EXPAND, 1, 17, 14, 2);
    parentButton = Ui_CreateButton(frame, MSG_UTILITY_CHANGE_LINK, this, ID_PARENT, 16, 17, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(20), width);
    Ui_CreateDefaultButton(frame, MSG_UTILITY_CLOSE, this, ID_CLOSE, 33, 21, 7, 2);
}

FXButton* CVirtualPCVhdUtilityDialog::GetButton(FXSelector id) const
{
    switch (id) {
    case ID_EXPAND:
        return expandButton;
    case ID_CHILD:
        return childButton;
    case ID_PARENT:
        return parentButton;
    default:
        return NULL;
    }
}

FXuint CVirtualPCVhdUtilityDialog::execute(FXuint placement)
{
    pathLabel->setText(imagePath);
    DiskHandle disk;
    if (!OpenImage(&disk, imagePath, true)) {
        COutputMessage::ShowMessage(getOwner(), MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return UI_RESULT_CANCEL;
    }
    int variant = 0, creator = 2;
    VhdImage* image = ImageOf(&disk);
    if (image == NULL) {
        expandButton->disable();
        parentButton->disable();
        VhdUtility_PresetFromLayout(true, 0, 0, 0, 0, &variant, &creator);
    } else {
        if (Vhd_HasParent(image)) {
            expandButton->disable();
            parentButton->enable();
        } else {
            expandButton->enable();
            parentButton->disable();
        }
        VhdCreateOptions layout;
        Vhd_GetLayoutOptions(image, &layout);
        VhdUtility_PresetFromLayout(false, layout.batAlignment, layout.blockSectors,
                                    layout.zeroSectorsAfterBat, layout.creatorVersion, &variant,
                                    &creator);
    }
    variantList->setCurrentItem(variant);
    creatorList->setCurrentItem(creator);
    childButton->enable();
    Disk_Close(&disk);
    return FXDialogBox::execute(placement);
}

long CVirtualPCVhdUtilityDialog::onCmdVariant(FXObject*, FXSelector, void* data)
{
    creatorList->setCurrentItem(VhdUtility_CreatorForVariant((int)(FXival)data));
    return 1;
}

int CVirtualPCVhdUtilityDialog::ExpandJob(void* argument,
                                          bool (*progress)(uint64_t, uint64_t, void*), void* user)
{
    VhdExpandJob* job = (VhdExpandJob*)argument;
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenEx(&disk, job->path.c_str(), false, 1, NULL);
    if (r == 0 && ImageOf(&disk) == NULL) r = DISK_ERR_ARG;
    if (r == 0)
        r = Vhd_ExpandCapacity(job->path.c_str(), &disk, NULL, &job->output, job->newCapacity,
                               progress, user);
    Disk_Close(&disk);
    if (r != 0) OutputFile_Rollback(&job->output);
    return r;
}

long CVirtualPCVhdUtilityDialog::onCmdExpand(FXObject*, FXSelector, void*)
{
    DiskHandle disk;
    if (!OpenImage(&disk, imagePath, true)) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    DiskGeometry geometry;
    Disk_GetGeometry(&disk, &geometry);
    const uint64_t current = Geometry_GetTotalSectors(&geometry);
    Disk_Close(&disk);
    CExpandCapacityDialog dialog(this);
    dialog.capacity = current;
    // The engine refuses anything above what a VHD holds, so the dialog offers no more.
    dialog.maximum = VHD_MAX_SECTORS;
    if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return 1;
    newCapacity = (uint32_t)dialog.capacity;
    VhdExpandJob* job = new VhdExpandJob;
    job->path = imagePath.text();
    job->newCapacity = newCapacity;
    OutputFile_Init(&job->output);
    int r;
    IoFailure failure = {};
    {
        CProgressDialog progress(this, ExpandJob, job);
        progress.execute(PLACEMENT_OWNER);
        r = progress.result;
        failure = progress.failure;
    }
    if (r == 0) {
        bool replace = false;
        if (!Utility_AskReplaceBackup(this, std::vector<std::string>{job->path}, &replace)) {
            OutputFile_Rollback(&job->output);
            r = UTILITY_RESULT_BACKUP_KEPT;
        } else {
            IoFailure_Clear();
            r = OutputFile_Commit(&job->output, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                  replace ? (uint32_t)OUTPUT_COMMIT_REPLACE_BACKUP : 0u);
            failure = IoFailure_Get();
        }
    }
    delete job;
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CVirtualPCVhdUtilityDialog::onCmdChild(FXObject*, FXSelector, void*)
{
    FXString childPath;
    if (!Utility_ChooseChildPath(this, MSG_PATTERN_VHD, imagePath, &childPath)) return 1;
    DiskHandle disk;
    if (!OpenImage(&disk, imagePath, true)) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    const VhdCreateOptions options =
        VhdUtility_ChildOptions(creatorList->getCurrentItem(), variantList->getCurrentItem());
    IoFailure_Clear();
    const int r = Vhd_CreateChild(&disk, &options, imagePath.text(), childPath.text());
    const IoFailure failure = IoFailure_Get();
    Disk_Close(&disk);
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CVirtualPCVhdUtilityDialog::onCmdParent(FXObject*, FXSelector, void*)
{
    DiskHandle disk;
    if (!OpenImage(&disk, imagePath, false)) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    VhdImage* image = ImageOf(&disk);
    if (image == NULL || !Vhd_HasParent(image)) {
        Disk_Close(&disk);
        return 1;
    }
    std::vector<uint8_t> w2ku, w2ru, wi2k, wi2r;
    bool hasW2ku, hasW2ru, hasWi2k, hasWi2r;
    if (!ReadLocator(image, VHD_CODE_W2KU, &w2ku, &hasW2ku) ||
        !ReadLocator(image, VHD_CODE_W2RU, &w2ru, &hasW2ru) ||
        !ReadLocator(image, VHD_CODE_WI2K, &wi2k, &hasWi2k) ||
        !ReadLocator(image, VHD_CODE_WI2R, &wi2r, &hasWi2r)) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_RESULT_FAILED, UI_MSG_ERROR);
        return 1;
    }
    CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog dialog(this);
    bool ok = true;
    if (hasW2ku)
        ok = ok && LocatorText(w2ku, TEXT_ENC_UTF16LE, &dialog.absolutePath);
    else if (hasWi2k)
        ok = ok && LocatorText(wi2k, TEXT_ENC_SJIS, &dialog.absolutePath);
    if (hasW2ru)
        ok = ok && LocatorText(w2ru, TEXT_ENC_UTF16LE, &dialog.relativePath);
    else if (hasWi2r)
        ok = ok && LocatorText(wi2r, TEXT_ENC_SJIS, &dialog.relativePath);
    const TextView storedName = Vhd_GetParentName(image);
    const std::vector<uint8_t> name(storedName.data, storedName.data + storedName.length);
    ok = ok && LocatorText(name, TEXT_ENC_UTF16BE, &dialog.parentName);
    dialog.childPath = imagePath;
    if (!ok) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_RESULT_FAILED, UI_MSG_ERROR);
        return 1;
    }
    if (dialog.execute(PLACEMENT_OWNER) == UI_RESULT_ACCEPT) {
        // Every text is converted before anything is written; a text that has no form in an
        // encoding changes nothing. A path given is written into both of its locators, made where
        // the image has none; an empty path leaves its locators as they are.
        FXStringText absU16, relU16, absSjis, relSjis, nameU16;
        const bool hasAbsolute = !dialog.absolutePath.empty();
        const bool hasRelative = !dialog.relativePath.empty();
        // Each refusal names its reason; the engine writes every locator it is given.
        int reason = 0;
        if (dialog.parentName.empty() ||
            !Ui_ConvertFXStringText(&nameU16, dialog.parentName, TEXT_ENC_UTF16BE) ||
            nameU16.view.length > VHD_PARENT_NAME_BYTES)
            reason = MSG_PARENT_LINK_NAME_UNUSABLE;
        else if (!hasAbsolute && !hasRelative)
            reason = MSG_PARENT_LINK_NO_PATH;
        else if ((hasAbsolute &&
                  !Ui_ConvertFXStringText(&absU16, dialog.absolutePath, TEXT_ENC_UTF16LE)) ||
                 (hasRelative &&
                  !Ui_ConvertFXStringText(&relU16, dialog.relativePath, TEXT_ENC_UTF16LE)))
            reason = MSG_RESULT_FAILED;
        else if ((hasAbsolute &&
                  !Ui_ConvertFXStringText(&absSjis, dialog.absolutePath, TEXT_ENC_SJIS)) ||
                 (hasRelative &&
                  !Ui_ConvertFXStringText(&relSjis, dialog.relativePath, TEXT_ENC_SJIS)))
            reason = MSG_PARENT_LINK_NOT_SJIS;
        bool converted = reason == 0;
        int r = DISK_ERR_ARG;
        if (converted && !Utility_ReleaseBackupAsked(this, imagePath.text())) {
            converted = false;
            r = UTILITY_RESULT_BACKUP_KEPT;  // the user has been told why
        }
        IoFailure_Clear();
        if (converted) {
            const VhdLocatorBytes none = {false, NULL, 0};
            VhdParentLocatorRequest request;
            request.w2ku = hasAbsolute ? Bytes(absU16) : none;
            request.w2ru = hasRelative ? Bytes(relU16) : none;
            request.wi2k = hasAbsolute ? Bytes(absSjis) : none;
            request.wi2r = hasRelative ? Bytes(relSjis) : none;
            request.parentName = Bytes(nameU16);
            const std::string reopen = imagePath.text();
            request.reopenPath = reopen.c_str();
            r = Vhd_ChangeParentLocators(image, &request);
            if (r == DISK_ERR_ARG)
                reason = MSG_PARENT_LINK_NO_ROOM;
            else if (r == DISK_ERR_FORMAT)
                reason = MSG_PARENT_LINK_LOOPS;
            else if (r == DISK_ERR_OPEN)
                reason = MSG_PARENT_LINK_PARENT_MISSING;
        }
        const IoFailure failure = IoFailure_Get();
        if (r != 0 && reason != 0)
            COutputMessage::ShowMessage(this, MSG_APP_NAME, reason, UI_MSG_ERROR);
        else
            Utility_ShowResult(this, r, &failure);
    }
    Disk_Close(&disk);
    return 1;
}

long CVirtualPCVhdUtilityDialog::onCmdClose(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

// ---- Parent-link dialog --------------------------------------------------------------------------
FXDEFMAP(CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog)
CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::ID_BROWSE,
              CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdBrowse),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::ID_OK,
              CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdOk),
    FXMAPFUNC(SEL_COMMAND, CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::ID_CANCEL,
              CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdCancel),
};
FXIMPLEMENT(CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog, CNDialogBase,
            CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialogMap,
            ARRAYNUMBER(CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialogMap))

CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::
    CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog()
    : absoluteField(NULL), relativeField(NULL), nameField(NULL), browseButton(NULL)
{}

CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::
    CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog(FXWindow* owner)
    : CNDialogBase(owner, Ui_MessageText(MSG_PARENT_LINK_TITLE),
                   DECOR_TITLE | DECOR_BORDER | DECOR_CLOSE, 0, 0, Ui_ScaleX(33) - 4,
                   Ui_ScaleY(21) - 12, 0, 0, 0, 0, 0, 0)
{
    FXPacker* frame =
        new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(33), Ui_ScaleY(21), 0, 0, 0, 0, 0, 0);
    contentFrame = frame;
    Ui_CreateLabel(frame, MSG_PARENT_LINK_ABSOLUTE_PATH, 1, 1, 9, 2);
    absoluteField = Ui_CreateTextField(frame, 1, 3, 25, 2);
    browseButton = Ui_CreateButton(frame, MSG_PARENT_LINK_BROWSE, this, ID_BROWSE, 26, 3, 5, 2);
    Ui_CreateLabel(frame, MSG_PARENT_LINK_RELATIVE_PATH, 1, 5, 9, 2);
    relativeField = Ui_CreateTextField(frame, 1, 7, 25, 2);
    Ui_CreateLabel(frame, MSG_PARENT_LINK_NAME, 1, 9, 9, 2);
    nameField = Ui_CreateTextField(frame, 1, 11, 25, 2);
    Ui_CreateDefaultButton(frame, MSG_SETTINGS_OK, this, ID_OK, 16, 16, 7, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_CANCEL, this, ID_CANCEL, 24, 16, 7, 2);
}

FXuint CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::execute(FXuint placement)
{
    absoluteField->setText(absolutePath);
    relativeField->setText(relativePath);
    nameField->setText(parentName);
    return FXDialogBox::execute(placement);
}

void CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::ChooseParent(const FXString& chosen)
{
    if (Utility_ClassifyChildPath(childPath, chosen) == 1 || chosen == childPath) return;
    absoluteField->setText(chosen);
    nameField->setText(FXPath::name(chosen));
    FXString relative;
    if (VhdUtility_RelativeParentPath(childPath, chosen, &relative))
        relativeField->setText(relative);
    else
        relativeField->setText(chosen);
}

long CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdBrowse(FXObject*, FXSelector,
                                                                         void*)
{
    FXFileDialog dialog(this, Ui_MessageText(MSG_SOURCE_OPEN_FILE_TITLE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_EXISTING);
    dialog.setPatternList(Ui_MessageText(MSG_PATTERN_VHD));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (!dialog.execute(PLACEMENT_OWNER)) return 1;
    Ui_LastDirectory() = dialog.getDirectory();
    ChooseParent(dialog.getFilename());
    return 1;
}

long CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdOk(FXObject*, FXSelector, void*)
{
    absolutePath = absoluteField->getText();
    relativePath = relativeField->getText();
    parentName = nameField->getText();
    // The child finds its parent through the name and a path; without them it is lost.
    if (parentName.empty() || (absolutePath.empty() && relativePath.empty())) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_UTILITY_EMPTY_PARENT_LINK,
                                    UI_MSG_ERROR);
        (parentName.empty() ? nameField : absoluteField)->setFocus();
        return 1;
    }
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_SETTINGS_WRITE_QUESTION,
                                    UI_MSG_YESNO) != 0)
        return 1;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CVirtualPCVhdUtilityDynamicDifferenceChangeParamDialog::onCmdCancel(FXObject*, FXSelector,
                                                                         void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
