// The VMDK utility dialog and the descriptor parameter dialogs.
#include "gui/utility/vmdk_utility_dialog.h"

#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "formats/vmdk/vmdk_maintain.h"
#include "foundation/output_file.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/widgets.h"
#include "gui/utility/expand_capacity_dialog.h"
#include "gui/utility/utility_common.h"
#include "volume/used_map.h"

namespace {

// What a rewrite or expansion job needs; the set is committed on the GUI thread afterwards.
struct VmdkUtilityJob {
    std::string path;
    bool embed;
    bool useMap;
    uint64_t newCapacity;
    VmdkTempFileSet set;
};

std::string BufferText(const TextBuffer& buffer)
{
    return std::string((const char*)buffer.data, buffer.length);
}

// The files a commit of the set replaces (each kept under its name + "_del").
std::vector<std::string> ReplacedFiles(const VmdkTempFileSet& set)
{
    std::vector<std::string> paths;
    if (set.descriptor.armed) paths.push_back(BufferText(set.descriptor.entry.finalPath));
    for (uint32_t i = 0; i < set.extents.count; ++i)
        if (set.extents.files[i].armed)
            paths.push_back(BufferText(set.extents.files[i].entry.finalPath));
    return paths;
}

VmdkImage* ImageOf(DiskHandle* handle)
{
    return Disk_GetKind(handle) == DISK_KIND_VMDK ? (VmdkImage*)Disk_GetObject(handle) : NULL;
}

void FillList(FXListBox* list, int first, int count)
{
    for (int i = 0; i < count; ++i) list->appendItem(Ui_MessageText(first + i));
    list->setNumVisible(count);
}

void FillEncodingList(FXListBox* list, FXuint choice)
{
    list->clearItems();
    FillList(list, MSG_ENCODING_NONE, choice == VMDK_ENCODING_OTHER ? 4 : 3);
    list->setCurrentItem(choice <= VMDK_ENCODING_OTHER ? (FXint)choice : 0);
}

}  // namespace

// ---- Utility dialog ------------------------------------------------------------------------------
FXDEFMAP(CVMwareVmdkUtilityDialog)
CVMwareVmdkUtilityDialogMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CVMwareVmdkUtilityDialog::ID_REWRITE_ONE,
               CVMwareVmdkUtilityDialog::ID_REWRITE_KEEP, CVMwareVmdkUtilityDialog::onCmdRewrite),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityDialog::ID_EXPAND,
              CVMwareVmdkUtilityDialog::onCmdExpand),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityDialog::ID_CHILD,
              CVMwareVmdkUtilityDialog::onCmdChild),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityDialog::ID_CHANGE,
              CVMwareVmdkUtilityDialog::onCmdChange),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityDialog::ID_CLOSE,
              CVMwareVmdkUtilityDialog::onCmdClose),
    FXMAPFUNC(SEL_CLOSE, 0, CVMwareVmdkUtilityDialog::onCmdClose),
};
FXIMPLEMENT(CVMwareVmdkUtilityDialog, CNDialogBase, CVMwareVmdkUtilityDialogMap,
            ARRAYNUMBER(CVMwareVmdkUtilityDialogMap))

CVMwareVmdkUtilityDialog::CVMwareVmdkUtilityDialog()
    : embed(false),
      useMap(false),
      newCapacity(0),
      pathLabel(NULL),
      rewriteOneButton(NULL),
      rewriteKeepButton(NULL),
      expandButton(NULL),
      useMapButton(NULL),
      childButton(NULL),
      changeButton(NULL)
{}

CVMwareVmdkUtilityDialog::CVMwareVmdkUtilityDialog(FXWindow* owner, const FXString& path)
    : CNDialogBase(owner, MSG_UTILITY_TITLE, 41, 25, false),
      imagePath(path),
      embed(false),
      useMap(false),
      newCapacity(0)
{
    FXPacker* frame = GetContentFrame();
    pathLabel = Ui_CreateLeftLabelText(frame, FXString(), 1, 1, 39, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPERATIONS, 1, 4, 14, 2);
    Ui_CreateLabel(frame, MSG_UTILITY_OPTIONS, 17, 4, 14, 2);
    const FXint width = Ui_ScaleX(41);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(6), width);
    rewriteOneButton = Ui_CreateButton(frame, MSG_UTILITY_COMPACT_INTO_ONE_FILE, this,
                                       ID_REWRITE_ONE, 1, 7, 14, 2);
    useMapButton = Ui_CreateCheckButton(frame, MSG_UTILITY_USE_PARTITION_INFORMATION, this,
                                        ID_USE_MAP, 17, 8, 22, 2);
    rewriteKeepButton =
        Ui_CreateButton(frame, MSG_UTILITY_COMPACT_KEEP_FILES, this, ID_REWRITE_KEEP, 1, 10, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(13), width);
    childButton = Ui_CreateButton(frame, MSG_UTILITY_CREATE_CHILD, this, ID_CHILD, 1, 14, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(17), width);
    expandButton =
        Ui_CreateButton(frame, MSG_UTILITY_EXPAND_CAPACITY, this, ID_EXPAND, 1, 18, 14, 2);
    changeButton = Ui_CreateButton(frame, MSG_UTILITY_CHANGE_LINK, this, ID_CHANGE, 16, 18, 14, 2);
    Ui_CreateSeparator(frame, 0, Ui_ScaleY(21), width);
    Ui_CreateDefaultButton(frame, MSG_UTILITY_CLOSE, this, ID_CLOSE, 33, 22, 7, 2);
}

FXButton* CVMwareVmdkUtilityDialog::GetButton(FXSelector id) const
{
    switch (id) {
    case ID_REWRITE_ONE:
        return rewriteOneButton;
    case ID_REWRITE_KEEP:
        return rewriteKeepButton;
    case ID_EXPAND:
        return expandButton;
    case ID_CHILD:
        return childButton;
    case ID_CHANGE:
        return changeButton;
    default:
        return NULL;
    }
}

FXuint CVMwareVmdkUtilityDialog::execute(FXuint placement)
{
    pathLabel->setText(imagePath);
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenEx(&disk, imagePath.text(), true, 1, NULL) != 0 || ImageOf(&disk) == NULL) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(getOwner(), MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return UI_RESULT_CANCEL;
    }
    const VmdkImage* image = ImageOf(&disk);
    if (!Vmdk_IsFlat(image)) {
        rewriteOneButton->enable();
        rewriteKeepButton->enable();
        if (Vmdk_HasParent((void*)image))
            useMapButton->disable();
        else
            useMapButton->enable();
    } else {
        rewriteOneButton->disable();
        rewriteKeepButton->disable();
        useMapButton->disable();
    }
    expandButton->enable();
    // A child's button changes its parent link; a base image's changes its descriptor settings.
    changeButton->setText(Ui_MessageText(
        Vmdk_HasParent((void*)image) ? MSG_UTILITY_CHANGE_LINK : MSG_UTILITY_CHANGE_SETTINGS));
    Disk_Close(&disk);
    return FXDialogBox::execute(placement);
}

int CVMwareVmdkUtilityDialog::RewriteJob(void* argument,
                                         bool (*progress)(uint64_t, uint64_t, void*), void* user)
{
    VmdkUtilityJob* job = (VmdkUtilityJob*)argument;
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenEx(&disk, job->path.c_str(), false, 1, NULL);
    if (r == 0 && ImageOf(&disk) == NULL) r = DISK_ERR_ARG;
    UsedSectorMap* map = NULL;
    if (r == 0 && job->useMap) {
        map = (UsedSectorMap*)Mem_Alloc(sizeof(UsedSectorMap));
        if (map == NULL)
            r = DISK_ERR_NOMEM;
        else {
            UsedMap_Init(map);
            r = UsedMap_BuildFromPartitions(map, &disk);
        }
    }
    if (r == 0)
        r = Vmdk_RewriteWithoutFreeSpace(job->path.c_str(), &disk, map, &job->set, job->embed,
                                         progress, user);
    if (map) {
        UsedMap_Destroy(map);
        Mem_Free(map);
    }
    Disk_Close(&disk);
    if (r != 0) Vmdk_DiscardTempFileSet(&job->set);
    return r;
}

int CVMwareVmdkUtilityDialog::ExpandJob(void* argument, bool (*progress)(uint64_t, uint64_t, void*),
                                        void* user)
{
    VmdkUtilityJob* job = (VmdkUtilityJob*)argument;
    DiskHandle disk;
    Disk_Init(&disk);
    int r = Disk_OpenEx(&disk, job->path.c_str(), false, 1, NULL);
    if (r == 0 && ImageOf(&disk) == NULL) r = DISK_ERR_ARG;
    if (r == 0)
        r = Vmdk_ExpandCapacity(job->path.c_str(), &disk, NULL, &job->set, job->newCapacity,
                                progress, user);
    Disk_Close(&disk);
    if (r != 0) Vmdk_DiscardTempFileSet(&job->set);
    return r;
}

int CVMwareVmdkUtilityDialog::RunRewriteOrExpand(bool expand, IoFailure* failure)
{
    VmdkUtilityJob* job = new VmdkUtilityJob;
    job->path = imagePath.text();
    job->embed = embed;
    job->useMap = useMap;
    job->newCapacity = newCapacity;
    Vmdk_InitTempFileSet(&job->set);
    int r;
    {
        CProgressDialog progress(this, expand ? ExpandJob : RewriteJob, job);
        progress.execute(PLACEMENT_OWNER);
        r = progress.result;
        *failure = progress.failure;
    }
    if (r == 0) {
        // The image is closed: its files are swapped as one, the old ones kept under "_del".
        bool replace = false;
        if (!Utility_AskReplaceBackup(this, ReplacedFiles(job->set), &replace)) {
            Vmdk_DiscardTempFileSet(&job->set);
            r = UTILITY_RESULT_BACKUP_KEPT;
        } else {
            IoFailure_Clear();
            r = Vmdk_CommitTempFileSet(&job->set, Path_DeleteSuffix(TEXT_ENC_UTF8),
                                       replace ? (uint32_t)OUTPUT_COMMIT_REPLACE_BACKUP : 0u);
            *failure = IoFailure_Get();
        }
    }
    delete job;
    return r;
}

long CVMwareVmdkUtilityDialog::onCmdRewrite(FXObject*, FXSelector sel, void*)
{
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_UTILITY_COMPACT_QUESTION,
                                    UI_MSG_YESNO) != 0)
        return 1;
    useMap = useMapButton->isEnabled() && useMapButton->getCheck() == TRUE;
    embed = FXSELID(sel) == ID_REWRITE_ONE;
    IoFailure failure = {};
    const int r = RunRewriteOrExpand(false, &failure);
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CVMwareVmdkUtilityDialog::onCmdExpand(FXObject*, FXSelector, void*)
{
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenEx(&disk, imagePath.text(), true, 1, NULL) != 0 || ImageOf(&disk) == NULL) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    const VmdkImage* image = ImageOf(&disk);
    DiskGeometry geometry;
    Disk_GetGeometry(&disk, &geometry);
    const uint64_t current = Geometry_GetTotalSectors(&geometry);
    const uint64_t maximum = Vmdk_MaxExpandCapacity(image);
    if (Vmdk_HasParent((void*)image)) {
        std::vector<uint8_t> hint(4096), work(4096), result(4096);
        TextBuffer h, w, p;
        TextBuffer_Init(&h, hint.data(), 0, 4096);
        TextBuffer_Init(&w, work.data(), 0, 4096);
        TextBuffer_Init(&p, result.data(), 0, 4096);
        const bool resolved = Vmdk_GetParentPath(image, &h, &w, &p);
        Disk_Close(&disk);
        if (!resolved) {
            COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                        UI_MSG_ERROR);
            return 1;
        }
        const std::string parentPath((const char*)p.data, p.length);
        DiskHandle parent;
        Disk_Init(&parent);
        if (Disk_OpenEx(&parent, parentPath.c_str(), true, 0, NULL) != 0) {
            Disk_Close(&parent);
            COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                        UI_MSG_ERROR);
            return 1;
        }
        DiskGeometry pg;
        Disk_GetGeometry(&parent, &pg);
        const uint64_t parentTotal = Geometry_GetTotalSectors(&pg);
        Disk_Close(&parent);
        if (parentTotal <= current) {
            COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_EXPAND_NOTHING_TO_DO,
                                        UI_MSG_ERROR);
            return 1;
        }
        if (parentTotal > maximum) {
            COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_RESULT_FAILED, UI_MSG_ERROR);
            return 1;
        }
        if (COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_EXPAND_CHILD_QUESTION,
                                        UI_MSG_YESNO) != 0)
            return 1;
        newCapacity = parentTotal;
    } else {
        Disk_Close(&disk);
        if (maximum <= current) {
            COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_RESULT_FAILED, UI_MSG_ERROR);
            return 1;
        }
        CExpandCapacityDialog dialog(this);
        dialog.capacity = current;
        dialog.maximum = maximum;
        if (dialog.execute(PLACEMENT_OWNER) != UI_RESULT_ACCEPT) return 1;
        newCapacity = dialog.capacity;
    }
    IoFailure failure = {};
    const int r = RunRewriteOrExpand(true, &failure);
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CVMwareVmdkUtilityDialog::onCmdChild(FXObject*, FXSelector, void*)
{
    FXString childPath;
    if (!Utility_ChooseChildPath(this, MSG_PATTERN_VMDK, imagePath, &childPath)) return 1;
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenEx(&disk, imagePath.text(), true, 1, NULL) != 0 || ImageOf(&disk) == NULL) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    IoFailure_Clear();
    const int r = Vmdk_CreateChild(&disk, imagePath.text(), childPath.text(), false);
    const IoFailure failure = IoFailure_Get();
    Disk_Close(&disk);
    Utility_ShowResult(this, r, &failure);
    return 1;
}

long CVMwareVmdkUtilityDialog::onCmdChange(FXObject*, FXSelector, void*)
{
    DiskHandle disk;
    Disk_Init(&disk);
    if (Disk_OpenEx(&disk, imagePath.text(), false, 1, NULL) != 0 || ImageOf(&disk) == NULL) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_RAW_CANNOT_OPEN,
                                    UI_MSG_ERROR);
        return 1;
    }
    VmdkImage* image = ImageOf(&disk);
    VmdkDescriptorSettings d;
    Vmdk_GetDescriptorSettings(image, &d);
    const TextEncoding encoding = d.textEncoding;
    const bool child = Vmdk_HasParent(image);
    const FXuint encodingChoice = d.encodingChoice;
    FXuint newChoice = encodingChoice;
    VmdkDescriptorEdits* edits = (VmdkDescriptorEdits*)Mem_Alloc(sizeof(VmdkDescriptorEdits));
    if (edits == NULL) {
        Disk_Close(&disk);
        COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_RESULT_FAILED, UI_MSG_ERROR);
        return 1;
    }
    Vmdk_ClearDescriptorEdits(edits);
    edits->extentCount = Vmdk_ExtentCount(image);
    bool changed = false;
    FXStringText uuidHolder, hintHolder;
    FXuint answer;
    if (child) {
        CVMwareVmdkUtilityDifferenceChangeParamDialog dialog(this);
        dialog.encodingChoice = encodingChoice;
        Ui_TextToFXString(&dialog.parentHint, d.parentFileNameHint, encoding);
        dialog.imagePath = imagePath;
        const FXString oldHint = dialog.parentHint;
        answer = dialog.execute(PLACEMENT_OWNER);
        if (answer == UI_RESULT_ACCEPT) {
            newChoice = dialog.encodingChoice;
            if (dialog.parentHint != oldHint) {
                Ui_InitFXStringTextUtf8(&hintHolder, dialog.parentHint);
                edits->parentFileNameHint.set = 1;
                edits->parentFileNameHint.value = hintHolder.view;
                changed = true;
            }
        }
    } else {
        CVMwareVmdkUtilityChangeParamDialog dialog(this);
        dialog.encodingChoice = encodingChoice;
        const FXuint hw = Vmdk_GetEffectiveHwVersion(image);
        dialog.hwVersionIndex = hw < VMDK_HW_VERSION_COUNT ? hw : VMDK_HW_VERSION_DEFAULT;
        dialog.adapterIndex = d.adapter <= VMDK_ADAPTER_LSILOGIC ? d.adapter : VMDK_ADAPTER_IDE;
        dialog.cylinders = d.cylinders;
        dialog.heads = d.heads;
        dialog.sectors = d.sectorsPerTrack;
        dialog.uuidFlag = d.hasUuid;
        Ui_TextToFXString(&dialog.uuidText, d.uuid, encoding);
        struct {
            FXuint hwVersionIndex, adapterIndex, cylinders, heads, sectors;
            bool uuidFlag;
            FXString uuidText;
        } before = {dialog.hwVersionIndex, dialog.adapterIndex, dialog.cylinders, dialog.heads,
                    dialog.sectors,        dialog.uuidFlag,     dialog.uuidText};
        answer = dialog.execute(PLACEMENT_OWNER);
        if (answer == UI_RESULT_ACCEPT) {
            newChoice = dialog.encodingChoice;
            if (dialog.hwVersionIndex != before.hwVersionIndex) {
                edits->hwVersionIndex.set = 1;
                edits->hwVersionIndex.value = dialog.hwVersionIndex;
            }
            if (dialog.adapterIndex != before.adapterIndex) {
                edits->adapter.set = 1;
                edits->adapter.value = dialog.adapterIndex;
            }
            if (dialog.cylinders != before.cylinders) {
                edits->cylinders.set = 1;
                edits->cylinders.value = dialog.cylinders;
            }
            if (dialog.heads != before.heads) {
                edits->heads.set = 1;
                edits->heads.value = dialog.heads;
            }
            if (dialog.sectors != before.sectors) {
                edits->sectorsPerTrack.set = 1;
                edits->sectorsPerTrack.value = dialog.sectors;
            }
            if (dialog.uuidFlag != before.uuidFlag ||
                (dialog.uuidFlag && dialog.uuidText != before.uuidText)) {
                edits->uuid.set = 1;
                if (!dialog.uuidFlag) {
                    edits->uuid.remove = 1;
                } else {
                    Ui_InitFXStringTextUtf8(&uuidHolder, dialog.uuidText);
                    edits->uuid.value = uuidHolder.view;
                }
            }
            changed = edits->hwVersionIndex.set || edits->adapter.set || edits->cylinders.set ||
                      edits->heads.set || edits->sectorsPerTrack.set || edits->uuid.set;
        }
    }
    TextEncoding output = encoding;
    if (answer == UI_RESULT_ACCEPT && newChoice != encodingChoice) {
        edits->encoding.set = 1;
        if (newChoice == VMDK_ENCODING_NONE)
            edits->encoding.remove = 1;
        else
            edits->encoding.value = newChoice;
        output = newChoice == VMDK_ENCODING_SHIFT_JIS ? TEXT_ENC_SJIS : TEXT_ENC_UTF8;
        changed = true;
    }
    // A descriptor file of its own is replaced through a rename that keeps the old one under
    // "_del" until the new one is in place.
    const bool separate = Vmdk_HasDescriptorFile(image);
    if (answer == UI_RESULT_ACCEPT && changed && separate &&
        !Utility_ReleaseBackupAsked(this, imagePath.text())) {
        changed = false;  // the user has been told why
    }
    if (answer == UI_RESULT_ACCEPT && changed) {
        IoFailure_Clear();
        const int r = Vmdk_ChangeParameters(&disk, edits, NULL, TEXT_ENC_UTF8, output);
        const IoFailure failure = IoFailure_Get();
        Utility_ShowResult(this, r, &failure);
    }
    Mem_Free(edits);
    Disk_Close(&disk);
    return 1;
}

long CVMwareVmdkUtilityDialog::onCmdClose(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

// ---- Base image parameters -------------------------------------------------------------------
FXDEFMAP(CVMwareVmdkUtilityChangeParamDialog)
CVMwareVmdkUtilityChangeParamDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityChangeParamDialog::ID_UUID,
              CVMwareVmdkUtilityChangeParamDialog::onCmdUuid),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityChangeParamDialog::ID_OK,
              CVMwareVmdkUtilityChangeParamDialog::onCmdOk),
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityChangeParamDialog::ID_CANCEL,
              CVMwareVmdkUtilityChangeParamDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CVMwareVmdkUtilityChangeParamDialog::onCmdCancel),
};
FXIMPLEMENT(CVMwareVmdkUtilityChangeParamDialog, CNDialogBase,
            CVMwareVmdkUtilityChangeParamDialogMap,
            ARRAYNUMBER(CVMwareVmdkUtilityChangeParamDialogMap))

CVMwareVmdkUtilityChangeParamDialog::CVMwareVmdkUtilityChangeParamDialog()
    : encodingChoice(0),
      hwVersionIndex(0),
      adapterIndex(0),
      cylinders(0),
      heads(0),
      sectors(0),
      uuidFlag(false),
      encodingList(NULL),
      hwList(NULL),
      adapterList(NULL),
      cylinderField(NULL),
      headField(NULL),
      sectorField(NULL),
      uuidButton(NULL),
      uuidField(NULL)
{}

CVMwareVmdkUtilityChangeParamDialog::CVMwareVmdkUtilityChangeParamDialog(FXWindow* owner)
    : CNDialogBase(owner, Ui_MessageText(MSG_SETTINGS_TITLE),
                   DECOR_TITLE | DECOR_BORDER | DECOR_CLOSE, 0, 0, Ui_ScaleX(33) - 4,
                   Ui_ScaleY(24) - 12, 0, 0, 0, 0, 0, 0),
      encodingChoice(0),
      hwVersionIndex(0),
      adapterIndex(0),
      cylinders(0),
      heads(0),
      sectors(0),
      uuidFlag(false)
{
    FXPacker* frame =
        new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(33), Ui_ScaleY(21), 0, 0, 0, 0, 0, 0);
    contentFrame = frame;
    Ui_CreateLabel(frame, MSG_SETTINGS_ENCODING, 1, 1, 6, 2);
    encodingList = Ui_CreateListBox(frame, this, ID_ENCODING, 7, 1, 12, 2);
    Ui_CreateLabel(frame, MSG_SETTINGS_HARDWARE_VERSION, 1, 4, 14, 2);
    hwList = Ui_CreateListBox(frame, this, ID_HW, 1, 6, 14, 2);
    FillList(hwList, MSG_VMDK_VERSION_3, VMDK_HW_VERSION_COUNT);
    Ui_CreateLabel(frame, MSG_SETTINGS_ADAPTER, 17, 4, 14, 2);
    adapterList = Ui_CreateListBox(frame, this, ID_ADAPTER, 17, 6, 14, 2);
    FillList(adapterList, MSG_SETTINGS_IDE, 3);
    Ui_CreateLabel(frame, MSG_SETTINGS_CYLINDERS, 1, 9, 9, 2);
    cylinderField = Ui_CreateNumberField(frame, 1, 11, 9, 2);
    Ui_CreateLabel(frame, MSG_SETTINGS_HEADS, 11, 9, 9, 2);
    headField = Ui_CreateNumberField(frame, 11, 11, 9, 2);
    Ui_CreateLabel(frame, MSG_SETTINGS_SECTORS_TRACK, 21, 9, 9, 2);
    sectorField = Ui_CreateNumberField(frame, 21, 11, 9, 2);
    Ui_CreateLabel(frame, MSG_SETTINGS_UUID, 1, 14, 9, 2);
    uuidButton = Ui_CreateCheckButton(frame, MSG_SETTINGS_WRITE_UUID, this, ID_UUID, 10, 14, 11, 2);
    uuidField = Ui_CreateTextField(frame, 1, 16, 30, 2);
    Ui_CreateDefaultButton(frame, MSG_SETTINGS_OK, this, ID_OK, 16, 19, 7, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_CANCEL, this, ID_CANCEL, 24, 19, 7, 2);
}

FXuint CVMwareVmdkUtilityChangeParamDialog::execute(FXuint placement)
{
    FillEncodingList(encodingList, encodingChoice);
    hwList->setCurrentItem(hwVersionIndex < VMDK_HW_VERSION_COUNT ? (FXint)hwVersionIndex : 0);
    adapterList->setCurrentItem(adapterIndex < 3 ? (FXint)adapterIndex : 0);
    Ui_SetFieldUInt32(cylinderField, cylinders);
    Ui_SetFieldUInt32(headField, heads);
    Ui_SetFieldUInt32(sectorField, sectors);
    uuidButton->setCheck(uuidFlag);
    uuidField->setText(uuidText);
    if (uuidFlag)
        uuidField->enable();
    else
        uuidField->disable();
    return FXDialogBox::execute(placement);
}

long CVMwareVmdkUtilityChangeParamDialog::onCmdUuid(FXObject*, FXSelector, void*)
{
    if (uuidButton->getCheck())
        uuidField->enable();
    else
        uuidField->disable();
    return 1;
}

long CVMwareVmdkUtilityChangeParamDialog::onCmdOk(FXObject*, FXSelector, void*)
{
    uint32_t c = 0, h = 0, s = 0;
    if (!Ui_GetFieldUInt32(cylinderField, &c, 1, 65536)) {
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_FIELD_CYLINDERS, UI_MSG_ERROR);
        return 1;
    }
    if (!Ui_GetFieldUInt32(headField, &h, 1, 255) || !Ui_GetFieldUInt32(sectorField, &s, 1, 255)) {
        COutputMessage::ShowMessage(this, MSG_APP_NAME, MSG_FIELD_HEADS_SECTORS, UI_MSG_ERROR);
        return 1;
    }
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_SETTINGS_WRITE_QUESTION,
                                    UI_MSG_YESNO) != 0)
        return 1;
    encodingChoice = (FXuint)encodingList->getCurrentItem();
    hwVersionIndex = (FXuint)hwList->getCurrentItem();
    adapterIndex = (FXuint)adapterList->getCurrentItem();
    cylinders = c;
    heads = h;
    sectors = s;
    uuidFlag = uuidButton->getCheck() == TRUE;
    uuidText = uuidField->getText();
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CVMwareVmdkUtilityChangeParamDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}

// ---- Child image parameters ------------------------------------------------------------------
FXDEFMAP(CVMwareVmdkUtilityDifferenceChangeParamDialog)
CVMwareVmdkUtilityDifferenceChangeParamDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, CVMwareVmdkUtilityDifferenceChangeParamDialog::ID_BROWSE,
              CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdBrowse),
    FXMAPFUNCS(SEL_COMMAND, CVMwareVmdkUtilityDifferenceChangeParamDialog::ID_ABSOLUTE,
               CVMwareVmdkUtilityDifferenceChangeParamDialog::ID_RELATIVE,
               CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdMode),
    FXMAPFUNCS(SEL_UPDATE, CVMwareVmdkUtilityDifferenceChangeParamDialog::ID_ABSOLUTE,
               CVMwareVmdkUtilityDifferenceChangeParamDialog::ID_RELATIVE,
               CVMwareVmdkUtilityDifferenceChangeParamDialog::onUpdMode),
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdOk),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL,
              CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdCancel),
};
FXIMPLEMENT(CVMwareVmdkUtilityDifferenceChangeParamDialog, CNDialogBase,
            CVMwareVmdkUtilityDifferenceChangeParamDialogMap,
            ARRAYNUMBER(CVMwareVmdkUtilityDifferenceChangeParamDialogMap))

CVMwareVmdkUtilityDifferenceChangeParamDialog::CVMwareVmdkUtilityDifferenceChangeParamDialog()
    : encodingChoice(0),
      encodingList(NULL),
      hintField(NULL),
      absoluteRadio(NULL),
      relativeRadio(NULL),
      pathMode(ID_ABSOLUTE)
{}

CVMwareVmdkUtilityDifferenceChangeParamDialog::CVMwareVmdkUtilityDifferenceChangeParamDialog(
    FXWindow* owner)
    : CNDialogBase(owner, Ui_MessageText(MSG_SETTINGS_TITLE),
                   DECOR_TITLE | DECOR_BORDER | DECOR_CLOSE, 0, 0, Ui_ScaleX(33) - 4,
                   Ui_ScaleY(24) - 12, 0, 0, 0, 0, 0, 0),
      encodingChoice(0),
      pathMode(ID_ABSOLUTE)
{
    FXPacker* frame =
        new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(33), Ui_ScaleY(21), 0, 0, 0, 0, 0, 0);
    contentFrame = frame;
    Ui_CreateLabel(frame, MSG_SETTINGS_ENCODING, 1, 1, 6, 2);
    encodingList = Ui_CreateListBox(frame, this, ID_ENCODING, 7, 1, 12, 2);
    Ui_CreateLabel(frame, MSG_SETTINGS_PARENT_FILE_NAME, 1, 4, 30, 2);
    hintField = Ui_CreateTextField(frame, 1, 6, 25, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_BROWSE, this, ID_BROWSE, 26, 6, 5, 2);
    absoluteRadio =
        Ui_CreateRadioButton(frame, MSG_PATH_FIELD_ABSOLUTE, this, ID_ABSOLUTE, 1, 8, 30, 2);
    relativeRadio =
        Ui_CreateRadioButton(frame, MSG_PATH_FIELD_RELATIVE, this, ID_RELATIVE, 1, 10, 30, 2);
    Ui_CreateDefaultButton(frame, MSG_SETTINGS_OK, this, UI_ID_ACCEPT, 16, 19, 7, 2);
    Ui_CreateButton(frame, MSG_SETTINGS_CANCEL, this, UI_ID_CANCEL, 24, 19, 7, 2);
}

FXuint CVMwareVmdkUtilityDifferenceChangeParamDialog::execute(FXuint placement)
{
    FillEncodingList(encodingList, encodingChoice);
    Ui_ShowPathField(parentHint, hintField, &pathMode, ID_ABSOLUTE, ID_RELATIVE);
    create();
    hintField->setFocus();
    return FXDialogBox::execute(placement);
}

long CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdBrowse(FXObject*, FXSelector, void*)
{
    Ui_BrowsePathField(this, MSG_PATTERN_VMDK, imagePath, hintField, &pathMode, ID_ABSOLUTE);
    return 1;
}

long CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdMode(FXObject*, FXSelector sel, void*)
{
    pathMode = FXSELID(sel);
    Ui_SwitchPathFieldMode(imagePath, hintField, pathMode, ID_ABSOLUTE);
    return 1;
}

long CVMwareVmdkUtilityDifferenceChangeParamDialog::onUpdMode(FXObject* sender, FXSelector sel,
                                                              void*)
{
    sender->handle(this, FXSEL(SEL_COMMAND, FXSELID(sel) == pathMode ? ID_CHECK : ID_UNCHECK),
                   NULL);
    return 1;
}

long CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdOk(FXObject*, FXSelector, void*)
{
    FXString hint = hintField->getText();
    if (hint.trim().empty()) {
        COutputMessage::ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_UTILITY_EMPTY_PARENT_HINT,
                                    UI_MSG_ERROR);
        hintField->setFocus();
        return 1;
    }
    if (COutputMessage::ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_SETTINGS_WRITE_QUESTION,
                                    UI_MSG_YESNO) != 0)
        return 1;
    encodingChoice = (FXuint)encodingList->getCurrentItem();
    parentHint = hintField->getText();
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CVMwareVmdkUtilityDifferenceChangeParamDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    getApp()->stopModal(this, UI_RESULT_CANCEL);
    hide();
    return 1;
}
