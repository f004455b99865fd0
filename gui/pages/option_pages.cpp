// The destination option pages of VMDK, dynamic and fixed VHD, and the check-only pages.
#include "gui/pages/option_pages.h"

#include "disk/split_disk.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/qcow_password_dialog.h"
#include "gui/frame/widgets.h"
#include "gui/job/convert_run.h"
#include "gui/job/option_rules.h"

namespace {

// Above this many sectors a VMDK image is always split, into extents of kForcedSplitSectors.
const uint64_t kForcedSplitAbove = 0xFF000000ull;
const uint32_t kForcedSplitSectors = 0xFE000000u;
const uint64_t kFirstTrackSectors = 63;

void FillList(FXListBox* list, int firstMessage, int count)
{
    for (int i = 0; i < count; ++i) list->appendItem(Ui_MessageText(firstMessage + i));
    list->setNumVisible(count);
}

// The capability check of the page's destination on the geometry its rule gives.
int CheckWork(ConversionJob* job, int32_t destKind)
{
    return OptionRules_CheckDestination(job, destKind);
}

void FocusField(FXTextField* field)
{
    field->setFocus();
    field->selectAll();
}

// The page's geometry rule gave no geometry: the format cannot hold this disk.
int RefuseGeometry(CPropertyPage* page)
{
    COutputMessage::ShowMessage(page, MSG_APP_NAME, MSG_OPTIONS_CANNOT_HOLD, UI_MSG_ERROR);
    return -1;
}

}  // namespace

int OptionPages_VmdkLayoutMessage(int layout)
{
    switch (layout) {
    case VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL:
        return MSG_VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL;
    case VMDK_LAYOUT_STREAM_NOT_SINGLE:
        return MSG_VMDK_LAYOUT_STREAM_NOT_SINGLE;
    case VMDK_LAYOUT_TOO_MANY_EXTENTS:
        return MSG_VMDK_LAYOUT_TOO_MANY_EXTENTS;
    case VMDK_LAYOUT_EXTENT_TOO_LARGE:
        return MSG_VMDK_LAYOUT_EXTENT_TOO_LARGE;
    default:
        return MSG_OPTIONS_CANNOT_HOLD;
    }
}

// ---- Page 9: VMDK ---------------------------------------------------------------------------------

FXDEFMAP(CToVMwareVmdkPropertyPage)
CToVMwareVmdkPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_RADIO_IDE,
               CToVMwareVmdkPropertyPage::ID_RADIO_LSILOGIC, CToVMwareVmdkPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CToVMwareVmdkPropertyPage::ID_RADIO_IDE,
               CToVMwareVmdkPropertyPage::ID_RADIO_LSILOGIC, CToVMwareVmdkPropertyPage::onUpdRadio),
    FXMAPFUNC(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_SPLIT_MENU,
              CToVMwareVmdkPropertyPage::onCmdSplitMenu),
    FXMAPFUNCS(SEL_COMMAND, CToVMwareVmdkPropertyPage::ID_SPLIT_NONE,
               CToVMwareVmdkPropertyPage::ID_SPLIT_4GB,
               CToVMwareVmdkPropertyPage::onCmdSplitChoice),
};
FXIMPLEMENT(CToVMwareVmdkPropertyPage, CVdxPropertyPageBase, CToVMwareVmdkPropertyPageMap,
            ARRAYNUMBER(CToVMwareVmdkPropertyPageMap))

CToVMwareVmdkPropertyPage::CToVMwareVmdkPropertyPage()
    : resultLabel(NULL),
      adapterLabel(NULL),
      hardwareLabel(NULL),
      hardwareList(NULL),
      splitLabel(NULL),
      splitField(NULL),
      splitButton(NULL),
      firstTrackCheck(NULL),
      typeLabel(NULL),
      typeList(NULL),
      encodingLabel(NULL),
      encodingList(NULL),
      splitMenu(NULL),
      radioId(ID_RADIO_IDE),
      possible(false)
{
    adapterRadios[0] = adapterRadios[1] = adapterRadios[2] = NULL;
}

CToVMwareVmdkPropertyPage::CToVMwareVmdkPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                     FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), radioId(ID_RADIO_IDE), possible(false)
{
    title = Ui_MessageText(MSG_VMDK_TITLE);
    description = Ui_MessageText(MSG_VMDK_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 3);
    adapterLabel = Ui_CreateLabel(this, MSG_VMDK_ADAPTER, 1, 5, 20, 2);
    for (int i = 0; i < 3; ++i)
        adapterRadios[i] =
            Ui_CreateRadioButton(this, 131 + i, this, ID_RADIO_IDE + i, 1, 7 + 2 * i, 20, 2);
    hardwareLabel = Ui_CreateLabel(this, MSG_VMDK_VIRTUAL_HARDWARE, 23, 5, 15, 2);
    hardwareList = Ui_CreateListBox(this, this, ID_HARDWARE, 23, 7, 15, 2);
    FillList(hardwareList, MSG_VMDK_VERSION_3, 14);
    splitLabel = Ui_CreateLabel(this, MSG_VMDK_SPLIT_SIZE_SECTORS, 23, 9, 15, 2);
    splitField = Ui_CreateNumberField(this, 23, 11, 10, 2);
    splitButton = Ui_CreateButton(this, MSG_VMDK_SPLIT_MENU, this, ID_SPLIT_MENU, 33, 11, 5, 2);
    firstTrackCheck = Ui_CreateCheckButton(this, MSG_VMDK_FIRST_63_SECTORS_APART, this,
                                           ID_FIRST_TRACK, 24, 13, 14, 2);
    typeLabel = Ui_CreateLabel(this, MSG_VMDK_DISK_TYPE, 1, 13, 18, 2);
    typeList = Ui_CreateListBox(this, this, ID_TYPE, 1, 15, 18, 2);
    FillList(typeList, MSG_VMDK_GROWING_SPARSE, 4);
    encodingLabel = Ui_CreateLabel(this, MSG_VMDK_ENCODING, 20, 15, 6, 2);
    encodingList = Ui_CreateListBox(this, this, ID_ENCODING, 26, 15, 12, 2);
    FillList(encodingList, MSG_ENCODING_NONE, 3);
    splitMenu = new FXMenuPane(this);
    new FXMenuCommand(splitMenu, Ui_MessageText(MSG_VMDK_DO_NOT_SPLIT), NULL, this, ID_SPLIT_NONE);
    new FXMenuCommand(splitMenu, Ui_MessageText(MSG_VMDK_PARTS_ABOUT_2_GB), NULL, this,
                      ID_SPLIT_2GB);
    new FXMenuCommand(splitMenu, Ui_MessageText(MSG_VMDK_PARTS_ABOUT_4_GB), NULL, this,
                      ID_SPLIT_4GB);
}

CToVMwareVmdkPropertyPage::~CToVMwareVmdkPropertyPage() { delete splitMenu; }

void CToVMwareVmdkPropertyPage::create()
{
    CVdxPropertyPageBase::create();
    splitMenu->create();
}

void CToVMwareVmdkPropertyPage::EnableWidgets(bool enable, bool splitWidgets, bool firstTrack)
{
    FXWindow* always[] = {adapterLabel,  adapterRadios[0], adapterRadios[1], adapterRadios[2],
                          hardwareLabel, hardwareList,     typeLabel,        typeList,
                          encodingLabel, encodingList};
    for (FXWindow* w : always) EnableWindow(w, enable);
    EnableWindow(splitLabel, enable && splitWidgets);
    EnableWindow(splitField, enable && splitWidgets);
    EnableWindow(splitButton, enable && splitWidgets);
    EnableWindow(firstTrackCheck, enable && firstTrack);
}

void CToVMwareVmdkPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 0);
    if (r == -1) {
        possible = false;
        Ui_SetLabelMessage(resultLabel, MSG_OPTIONS_CANNOT_HOLD);
        EnableWidgets(false, false, false);
        SetWizardButtons(true, false, true);
        return;
    }
    if (r != 0) return;
    possible = true;
    Ui_SetLabelMessage(resultLabel, MSG_OPTIONS_CAN_HOLD);
    const uint64_t total = Geometry_GetTotalSectors(&job->workGeometry);
    job->vmdkSplit = total > kForcedSplitAbove ? 1 : 0;
    job->vmdkSplitSectors = job->vmdkSplit ? kForcedSplitSectors : 0;
    const bool splitWidgets = total <= kForcedSplitAbove;
    // A first extent of 63 sectors of its own needs a disk with sectors after it.
    const bool firstTrack = splitWidgets && total > kFirstTrackSectors;
    if (!firstTrack && total <= kFirstTrackSectors) job->vmdkCheck = 0;
    EnableWidgets(true, splitWidgets, firstTrack);
    radioId = ID_RADIO_IDE + (FXint)(job->vmdkRadio > 2 ? 2 : job->vmdkRadio);
    SetListIndex(hardwareList, (FXint)job->vmdkList14);
    SetListIndex(typeList, (FXint)job->vmdkList4);
    SetListIndex(encodingList, (FXint)job->vmdkList3);
    SetCheck(firstTrackCheck, job->vmdkCheck);
    if (job->vmdkSplit)
        Ui_SetFieldUInt32(splitField, job->vmdkSplitSectors);
    else
        splitField->setText(FXString::null, FALSE);
    SetWizardButtons(true, true, true);
    adapterRadios[0]->setFocus();
}

int CToVMwareVmdkPropertyPage::OnWizardNext()
{
    if (!possible) return -1;
    uint8_t split = 0;
    uint32_t splitSectors = 0;
    FXString text = splitField->getText();
    if (!text.trim().empty()) {
        if (!Ui_GetFieldUInt32(splitField, &splitSectors, 1, 0xFFFFFFFEu)) {
            ShowMessage(this, MSG_APP_NAME, MSG_FIELD_VMDK_SPLIT, UI_MSG_ERROR);
            return -1;
        }
        split = 1;
    }
    const uint32_t radio = (uint32_t)(radioId - ID_RADIO_IDE);
    const uint32_t type = (uint32_t)GetListIndex(typeList);
    const uint8_t firstTrack = GetCheck(firstTrackCheck) ? 1 : 0;

    // The destination geometry with the adapter chosen here decides the extents.
    const uint32_t savedRadio = job->vmdkRadio;
    job->vmdkRadio = radio;
    DiskGeometry geometry;
    uint8_t based = 0;
    bool ok = OptionRules_DestinationGeometry(job, 0, &geometry, &based);
    job->vmdkRadio = savedRadio;
    if (!ok) return RefuseGeometry(this);
    const int layout = ConvertRun_CheckVmdkLayout(Geometry_GetTotalSectors(&geometry), type,
                                                  firstTrack != 0, split != 0, splitSectors);
    if (layout != VMDK_LAYOUT_OK) {
        ShowMessage(this, MSG_APP_NAME, OptionPages_VmdkLayoutMessage(layout), UI_MSG_ERROR);
        if (layout == VMDK_LAYOUT_FIRST_TRACK_TOO_SMALL)
            firstTrackCheck->setFocus();
        else if (layout == VMDK_LAYOUT_STREAM_NOT_SINGLE)
            typeList->setFocus();
        else if (splitField->isEnabled())
            FocusField(splitField);
        return -1;
    }
    // A split size that is not whole grains is rounded, shown and said; the next Next takes it.
    if (split && OptionRules_RoundVmdkSplit(splitSectors) != splitSectors) {
        const uint32_t rounded = OptionRules_RoundVmdkSplit(splitSectors);
        Ui_SetFieldUInt32(splitField, rounded);
        const FXString note = Ui_FormatOneInteger(
            Ui_MessageText(rounded > splitSectors ? MSG_VMDK_SPLIT_ROUNDED_UP
                                                  : MSG_VMDK_SPLIT_ROUNDED_DOWN),
            rounded);
        resultLabel->setText(Ui_MessageText(MSG_OPTIONS_CAN_HOLD) + "\n" + note);
        FocusField(splitField);
        return -1;
    }
    job->vmdkRadio = radio;
    job->vmdkList14 = (uint32_t)GetListIndex(hardwareList);
    job->vmdkList4 = type;
    job->vmdkList3 = (uint32_t)GetListIndex(encodingList);
    job->vmdkCheck = firstTrack;
    job->vmdkSplit = split;
    job->vmdkSplitSectors = splitSectors;
    job->destGeometry = geometry;
    job->finalGeometry = geometry;
    job->cylinderBased = based;
    return events->GetNextPage(index);
}

long CToVMwareVmdkPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    radioId = (FXint)FXSELID(selector);
    return 1;
}

long CToVMwareVmdkPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, radioId);
}

long CToVMwareVmdkPropertyPage::onCmdSplitMenu(FXObject*, FXSelector, void*)
{
    FXint x = 0, y = 0;
    splitButton->translateCoordinatesTo(x, y, getRoot(), 0, splitButton->getHeight());
    splitMenu->popup(NULL, x, y);
    return 1;
}

long CToVMwareVmdkPropertyPage::onCmdSplitChoice(FXObject*, FXSelector selector, void*)
{
    switch (FXSELID(selector)) {
    case ID_SPLIT_NONE:
        splitField->setText(FXString::null, FALSE);
        break;
    case ID_SPLIT_2GB:
        splitField->setText("4192256", FALSE);
        break;
    case ID_SPLIT_4GB:
        splitField->setText("8304640", FALSE);
        break;
    default:
        break;
    }
    splitMenu->popdown();
    return 1;
}

// ---- Page 12: VHDX ---------------------------------------------------------------------------------

FXIMPLEMENT(CToHyperVVhdxPropertyPage, CVdxPropertyPageBase, NULL, 0)

CToHyperVVhdxPropertyPage::CToHyperVVhdxPropertyPage()
    : resultLabel(NULL),
      blockLabel(NULL),
      blockList(NULL),
      keepCheck(NULL),
      physicalLabel(NULL),
      physicalList(NULL),
      logicalLabel(NULL),
      logicalList(NULL)
{}

CToHyperVVhdxPropertyPage::CToHyperVVhdxPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                     FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_VHDX_TITLE);
    description = Ui_MessageText(MSG_VHDX_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 3);
    blockLabel = Ui_CreateLabel(this, MSG_VHDX_BLOCK_SIZE, 1, 6, 17, 2);
    blockList = Ui_CreateListBox(this, this, ID_BLOCK, 1, 8, 15, 2);
    // Block sizes of 1 MiB shifted left by 0 to 8.
    for (int i = 0; i <= 8; ++i)
        blockList->appendItem(
            Ui_FormatOneInteger(Ui_MessageText(MSG_VHDX_BLOCK_MIB), (FXlong)1 << i));
    blockList->setNumVisible(9);
    keepCheck = Ui_CreateCheckButton(this, MSG_VHDX_WRITE_EVERY_BLOCK, this, ID_KEEP, 19, 8, 19, 2);
    physicalLabel = Ui_CreateLabel(this, MSG_VHDX_PHYSICAL_SECTOR_SIZE, 1, 11, 17, 2);
    physicalList = Ui_CreateListBox(this, this, ID_PHYSICAL, 1, 13, 15, 2);
    FillList(physicalList, MSG_VHDX_512_BYTES, 2);
    logicalLabel = Ui_CreateLabel(this, MSG_VHDX_LOGICAL_SECTOR_SIZE, 19, 11, 19, 2);
    logicalList = Ui_CreateListBox(this, this, ID_LOGICAL, 19, 13, 15, 2);
    FillList(logicalList, MSG_VHDX_512_BYTES, 2);
}

void CToHyperVVhdxPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 3);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    FXWindow* widgets[] = {blockLabel,   blockList,    keepCheck,  physicalLabel,
                           physicalList, logicalLabel, logicalList};
    for (FXWindow* w : widgets) EnableWindow(w, ok);
    if (ok) {
        SetListIndex(blockList, (FXint)job->vhdxBlockIndex);
        SetCheck(keepCheck, job->vhdxCheck);
        SetListIndex(physicalList, (FXint)job->vhdxList2);
        SetListIndex(logicalList, (FXint)job->vhdxList1);
        blockList->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToHyperVVhdxPropertyPage::OnWizardNext()
{
    if (CheckWork(job, 3) != 0) return -1;
    job->vhdxBlockIndex = (uint32_t)GetListIndex(blockList);
    job->vhdxCheck = GetCheck(keepCheck) ? 1 : 0;
    job->vhdxList2 = (uint32_t)GetListIndex(physicalList);
    job->vhdxList1 = (uint32_t)GetListIndex(logicalList);
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

// ---- Page 13: dynamic VHD ---------------------------------------------------------------------

FXDEFMAP(CToVirtualPCDynamicPropertyPage)
CToVirtualPCDynamicPropertyPageMap[] = {
    FXMAPFUNC(SEL_COMMAND, CToVirtualPCDynamicPropertyPage::ID_LAYOUT,
              CToVirtualPCDynamicPropertyPage::onCmdLayout),
};
FXIMPLEMENT(CToVirtualPCDynamicPropertyPage, CVdxPropertyPageBase,
            CToVirtualPCDynamicPropertyPageMap, ARRAYNUMBER(CToVirtualPCDynamicPropertyPageMap))

CToVirtualPCDynamicPropertyPage::CToVirtualPCDynamicPropertyPage()
    : resultLabel(NULL), layoutLabel(NULL), layoutList(NULL), creatorLabel(NULL), creatorList(NULL)
{}

CToVirtualPCDynamicPropertyPage::CToVirtualPCDynamicPropertyPage(IPropertyPageEvent* events,
                                                                 ConversionJob* job, FXint index,
                                                                 FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_VHD_TITLE);
    description = Ui_MessageText(MSG_VHD_DESCRIPTION);
    // The result takes up to three lines; the layout names are long, so the creator goes
    // below the layout rather than beside it.
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 5);
    layoutLabel = Ui_CreateLabel(this, MSG_VHD_LAYOUT, 1, 7, 20, 2);
    layoutList = Ui_CreateListBox(this, this, ID_LAYOUT, 1, 9, 30, 2);
    const int layoutMessages[] = {MSG_VHD_STANDARD_2_MIB_BLOCKS, MSG_VHD_512_KIB_BLOCKS,
                                  MSG_VHD_16_MIB_BLOCKS_4,       MSG_VHD_16_MIB_BLOCKS_3,
                                  MSG_VHD_VIRTUAL_PC_EARLY_VPC,  MSG_VHD_WINDOWS_7_WIN_6,
                                  MSG_VHD_WINDOWS_8_WIN_6};
    for (int m : layoutMessages) layoutList->appendItem(Ui_MessageText(m));
    layoutList->setNumVisible(7);
    creatorLabel = Ui_CreateLabel(this, MSG_VHD_CREATOR, 1, 12, 20, 2);
    creatorList = Ui_CreateListBox(this, this, ID_CREATOR, 1, 14, 20, 2);
    FillList(creatorList, MSG_VHD_VIRTUAL_SERVER_VS_1, 6);
}

void CToVirtualPCDynamicPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 4);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    FXWindow* widgets[] = {layoutLabel, layoutList, creatorLabel, creatorList};
    for (FXWindow* w : widgets) EnableWindow(w, ok);
    if (ok) {
        SetListIndex(layoutList, (FXint)job->vhdLayoutIndex);
        SetListIndex(creatorList, (FXint)job->vhdCreatorIndex);
        layoutList->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToVirtualPCDynamicPropertyPage::OnWizardNext()
{
    if (CheckWork(job, 4) != 0) return -1;
    job->vhdLayoutIndex = (uint32_t)GetListIndex(layoutList);
    job->vhdCreatorIndex = (uint32_t)GetListIndex(creatorList);
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

long CToVirtualPCDynamicPropertyPage::onCmdLayout(FXObject*, FXSelector, void*)
{
    // The later Windows layouts belong to their own creators.
    FXint layout = GetListIndex(layoutList);
    FXint creator = layout >= 4 && layout <= 6 ? layout - 1 : 2;
    SetListIndex(creatorList, creator);
    return 1;
}

// ---- Page 14: fixed VHD ---------------------------------------------------------------------------

FXIMPLEMENT(CToVirtualPCFixedPropertyPage, CVdxPropertyPageBase, NULL, 0)

CToVirtualPCFixedPropertyPage::CToVirtualPCFixedPropertyPage()
    : resultLabel(NULL), creatorLabel(NULL), creatorList(NULL)
{}

CToVirtualPCFixedPropertyPage::CToVirtualPCFixedPropertyPage(IPropertyPageEvent* events,
                                                             ConversionJob* job, FXint index,
                                                             FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_VHD_FIXED_TITLE);
    description = Ui_MessageText(MSG_VHD_FIXED_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 5);
    creatorLabel = Ui_CreateLabel(this, MSG_VHD_CREATOR, 1, 7, 20, 2);
    creatorList = Ui_CreateListBox(this, this, ID_CREATOR, 1, 9, 20, 2);
    FillList(creatorList, MSG_VHD_VIRTUAL_SERVER_VS_1, 6);
}

void CToVirtualPCFixedPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 5);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    EnableWindow(creatorLabel, ok);
    EnableWindow(creatorList, ok);
    if (ok) {
        SetListIndex(creatorList, (FXint)job->vhdFixedCreatorIndex);
        creatorList->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToVirtualPCFixedPropertyPage::OnWizardNext()
{
    if (CheckWork(job, 5) != 0) return -1;
    job->vhdFixedCreatorIndex = (uint32_t)GetListIndex(creatorList);
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

// ---- Page 29: split set ----------------------------------------------------------------------------

FXDEFMAP(CToPartitionSavingPropertyPage)
CToPartitionSavingPropertyPageMap[] = {
    FXMAPFUNC(SEL_COMMAND, CToPartitionSavingPropertyPage::ID_DESCRIPTOR,
              CToPartitionSavingPropertyPage::onCmdDescriptor),
    FXMAPFUNC(SEL_COMMAND, CToPartitionSavingPropertyPage::ID_SIZE_BUTTON,
              CToPartitionSavingPropertyPage::onCmdSizeButton),
};
FXIMPLEMENT(CToPartitionSavingPropertyPage, CVdxPropertyPageBase, CToPartitionSavingPropertyPageMap,
            ARRAYNUMBER(CToPartitionSavingPropertyPageMap))

CToPartitionSavingPropertyPage::CToPartitionSavingPropertyPage()
    : resultLabel(NULL),
      levelList(NULL),
      descriptorCheck(NULL),
      sizeField(NULL),
      sizeButton(NULL),
      namesCheck(NULL)
{
    for (FXTextField*& f : valueFields) f = NULL;
}

CToPartitionSavingPropertyPage::CToPartitionSavingPropertyPage(IPropertyPageEvent* events,
                                                               ConversionJob* job, FXint index,
                                                               FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_PARTITION_SAVING_TITLE);
    description = Ui_MessageText(MSG_PARTITION_SAVING_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 3);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_HEADER_VALUE, 2, 5, 9, 2);
    valueFields[0] = Ui_CreateNumberField(this, 11, 5, 6, 2);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_COMPRESSION, 23, 5, 8, 2);
    levelList = Ui_CreateListBox(this, NULL, 0, 31, 5, 6, 2);
    for (int i = 0; i < 10; ++i) levelList->appendItem(FXStringVal(i));
    levelList->setNumVisible(10);
    // The stored geometry on a line of its own, its three values under it.
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_STORED_GEOMETRY, 2, 7, 36, 2);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_CYL, 3, 9, 4, 2);
    valueFields[1] = Ui_CreateNumberField(this, 7, 9, 7, 2);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_HEADS, 15, 9, 5, 2);
    valueFields[2] = Ui_CreateNumberField(this, 20, 9, 6, 2);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_SECT, 27, 9, 4, 2);
    valueFields[3] = Ui_CreateNumberField(this, 31, 9, 7, 2);
    descriptorCheck = Ui_CreateCheckButton(this, MSG_PARTITION_SAVING_DESCRIPTOR_FILE, this,
                                           ID_DESCRIPTOR, 2, 11, 36, 2);
    Ui_CreateLabel(this, MSG_PARTITION_SAVING_PART_SIZE_MIB, 3, 13, 10, 2);
    sizeField = Ui_CreateNumberField(this, 13, 13, 10, 2);
    sizeButton =
        Ui_CreateButton(this, MSG_PARTITION_SAVING_DEFAULT, this, ID_SIZE_BUTTON, 23, 13, 8, 2);
    namesCheck = Ui_CreateCheckButton(this, MSG_PARTITION_SAVING_NAME_WITHOUT_ASKING, this,
                                      ID_NAMES, 3, 15, 35, 2);
}

void CToPartitionSavingPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 20);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    if (ok) {
        for (int i = 0; i < 4; ++i) Ui_SetFieldUInt32(valueFields[i], job->splitValues[i]);
        SetListIndex(levelList, (FXint)(job->splitValues[4] <= 9 ? job->splitValues[4] : 0));
        descriptorCheck->setCheck(job->splitCheck1 != 0);
        Ui_SetFieldUInt32(sizeField, job->splitNumber);
        namesCheck->setCheck(job->splitCheck2 != 0);
        onCmdDescriptor(NULL, 0, NULL);
        valueFields[0]->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

long CToPartitionSavingPropertyPage::onCmdDescriptor(FXObject*, FXSelector, void*)
{
    // Parts listed by a descriptor bring their own sizes and names.
    const bool own = descriptorCheck->getCheck() != TRUE;
    EnableWindow(sizeField, own);
    EnableWindow(sizeButton, own);
    EnableWindow(namesCheck, own);
    return 1;
}

long CToPartitionSavingPropertyPage::onCmdSizeButton(FXObject*, FXSelector, void*)
{
    sizeField->setText("2048");
    return 1;
}

int CToPartitionSavingPropertyPage::OnWizardNext()
{
    if (CheckWork(job, DEST_SPLIT) != 0) return -1;
    uint32_t values[4];
    for (int i = 0; i < 4; ++i) {
        if (!Ui_GetFieldUInt32(valueFields[i], &values[i], 0, 0xFFFFFFFEu)) {
            ShowMessage(this, MSG_APP_NAME, MSG_FIELD_PART_HEADER_VALUES, UI_MSG_ERROR);
            return -1;
        }
    }
    const bool fromDescriptor = descriptorCheck->getCheck() == TRUE;
    uint32_t size = job->splitNumber;
    // A part holds whole MiB whose byte count fits the header's 32-bit field.
    if (!fromDescriptor && !Ui_GetFieldUInt32(sizeField, &size, 1, SPLIT_MAX_PART_MIB)) {
        FXString largest;
        largest.format("%u", (unsigned)SPLIT_MAX_PART_MIB);
        ShowMessage(this, MSG_APP_NAME, MSG_FIELD_PART_SIZE, UI_MSG_ERROR, &largest);
        return -1;
    }
    for (int i = 0; i < 4; ++i) job->splitValues[i] = values[i];
    job->splitValues[4] = (uint32_t)GetListIndex(levelList);
    job->splitCheck1 = fromDescriptor ? 1 : 0;
    job->splitNumber = size;
    job->splitCheck2 = namesCheck->getCheck() == TRUE ? 1 : 0;
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

// ---- Bochs ---------------------------------------------------------------------------------------

// ---- Pages 10 and 11: COWD ---------------------------------------------------------------------

FXDEFMAP(CToVMwareCowdPropertyPage)
CToVMwareCowdPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CToVMwareCowdPropertyPage::ID_RADIO_IDE,
               CToVMwareCowdPropertyPage::ID_RADIO_SCSI, CToVMwareCowdPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CToVMwareCowdPropertyPage::ID_RADIO_IDE,
               CToVMwareCowdPropertyPage::ID_RADIO_SCSI, CToVMwareCowdPropertyPage::onUpdRadio),
};
FXIMPLEMENT(CToVMwareCowdPropertyPage, CVdxPropertyPageBase, CToVMwareCowdPropertyPageMap,
            ARRAYNUMBER(CToVMwareCowdPropertyPageMap))
FXIMPLEMENT(CToVMware3PropertyPage, CToVMwareCowdPropertyPage, NULL, 0)
FXIMPLEMENT(CToVMware2PropertyPage, CToVMwareCowdPropertyPage, NULL, 0)

CToVMwareCowdPropertyPage::CToVMwareCowdPropertyPage()
    : resultLabel(NULL), adapterLabel(NULL), radioId(ID_RADIO_IDE), destKind(DEST_COWD3)
{
    adapterRadios[0] = adapterRadios[1] = NULL;
    flagChecks[0] = flagChecks[1] = NULL;
}

CToVMwareCowdPropertyPage::CToVMwareCowdPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                     FXint index, FXComposite* parent,
                                                     int32_t destKind)
    : CVdxPropertyPageBase(events, job, index, parent), radioId(ID_RADIO_IDE), destKind(destKind)
{
    const bool v3 = destKind == DEST_COWD3;
    title = Ui_MessageText(v3 ? MSG_COWD3_TITLE : MSG_COWD2_TITLE);
    description = Ui_MessageText(v3 ? MSG_COWD3_DESCRIPTION : MSG_COWD2_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 4);
    adapterLabel = Ui_CreateLabel(this, v3 ? MSG_COWD3_ADAPTER : MSG_COWD2_ADAPTER, 1, 6, 28, 2);
    adapterRadios[0] = Ui_CreateRadioButton(this, v3 ? MSG_COWD3_IDE : MSG_COWD2_IDE, this,
                                            ID_RADIO_IDE, 1, 8, 28, 2);
    adapterRadios[1] = Ui_CreateRadioButton(this, v3 ? MSG_COWD3_SCSI : MSG_COWD2_SCSI, this,
                                            ID_RADIO_SCSI, 1, 10, 28, 2);
    flagChecks[0] = flagChecks[1] = NULL;
    if (v3) {
        flagChecks[0] =
            Ui_CreateCheckButton(this, MSG_COWD3_HEADER_FLAG_1, this, ID_FLAG1, 29, 8, 10, 2);
        flagChecks[1] =
            Ui_CreateCheckButton(this, MSG_COWD3_HEADER_FLAG_2, this, ID_FLAG2, 29, 10, 10, 2);
    }
}

int CToVMwareCowdPropertyPage::CheckAdapter(bool scsi)
{
    // The adapter is part of the check (SCSI disks are whole cylinders of a size class, and
    // version 3 has a SCSI size limit): checked with the adapter asked for, the job kept.
    const uint32_t kept = job->formatFlags;
    job->formatFlags =
        destKind == DEST_COWD3 ? ((kept & ~1u) | (scsi ? 1u : 0u)) : (scsi ? 1u : 0u);
    const int r = CheckWork(job, destKind);
    job->formatFlags = kept;
    return r;
}

void CToVMwareCowdPropertyPage::OnSetActive()
{
    const bool stored =
        destKind == DEST_COWD3 ? (job->formatFlags & 1u) != 0 : job->formatFlags == 1;
    // The page opens when either adapter can take the disk; the adapter that cannot is disabled.
    const bool ide = CheckAdapter(false) == 0;
    const bool scsi = CheckAdapter(true) == 0;
    const bool ok = ide || scsi;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    EnableWindow(adapterLabel, ok);
    EnableWindow(adapterRadios[0], ide);
    EnableWindow(adapterRadios[1], scsi);
    for (FXCheckButton* c : flagChecks)
        if (c != NULL) EnableWindow(c, ok);
    if (ok) {
        radioId = (stored && scsi) || !ide ? ID_RADIO_SCSI : ID_RADIO_IDE;
        if (flagChecks[0] != NULL) {
            flagChecks[0]->setCheck((job->formatFlags & 2u) != 0);
            flagChecks[1]->setCheck((job->formatFlags & 4u) != 0);
        }
        adapterRadios[radioId == ID_RADIO_SCSI ? 1 : 0]->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToVMwareCowdPropertyPage::OnWizardNext()
{
    const bool scsi = radioId == ID_RADIO_SCSI;
    if (CheckAdapter(scsi) != 0) return -1;
    uint32_t flags = scsi ? 1u : 0u;
    if (destKind == DEST_COWD3) {
        if (flagChecks[0]->getCheck() == TRUE) flags |= 2u;
        if (flagChecks[1]->getCheck() == TRUE) flags |= 4u;
    }
    job->formatFlags = flags;
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

long CToVMwareCowdPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    radioId = (FXint)FXSELID(selector);
    return 1;
}

long CToVMwareCowdPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, radioId);
}

FXIMPLEMENT(CToBochsPropertyPage, CVdxPropertyPageBase, NULL, 0)
FXIMPLEMENT(CToBochsGrowingPropertyPage, CToBochsPropertyPage, NULL, 0)
FXIMPLEMENT(CToBochsSparsePropertyPage, CToBochsPropertyPage, NULL, 0)

CToBochsPropertyPage::CToBochsPropertyPage()
    : resultLabel(NULL), versionLabel(NULL), versionList(NULL), destKind(DEST_BOCHS_GROWING)
{}

CToBochsPropertyPage::CToBochsPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                           FXint index, FXComposite* parent, int32_t destKind)
    : CVdxPropertyPageBase(events, job, index, parent), destKind(destKind)
{
    const bool growing = destKind == DEST_BOCHS_GROWING;
    title = Ui_MessageText(growing ? MSG_BOCHS_GROWING_TITLE : MSG_BOCHS_SPARSE_TITLE);
    description =
        Ui_MessageText(growing ? MSG_BOCHS_GROWING_DESCRIPTION : MSG_BOCHS_SPARSE_DESCRIPTION);
    // Five rows: message 122 and the three-line note below it.
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 5);
    versionLabel = Ui_CreateLabel(
        this, growing ? MSG_BOCHS_GROWING_HEADER_VERSION : MSG_BOCHS_SPARSE_HEADER_VERSION, 1, 7,
        30, 2);
    versionList = Ui_CreateListBox(this, this, ID_VERSION, 1, 9, 20, 2);
    FillList(versionList, MSG_BOCHS_GROWING_VERSION_1_OLDER, 2);
}

void CToBochsPropertyPage::OnSetActive()
{
    int r = CheckWork(job, destKind);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    if (ok) {
        // The image keeps no geometry of its own: the note says where it is given.
        Ui_SetLabelText(resultLabel, (Ui_MessageText(MSG_OPTIONS_CAN_HOLD) + "\n" +
                                      Ui_MessageText(MSG_BOCHS_GROWING_NO_GEOMETRY_NOTE))
                                         .text());
    } else {
        Ui_SetLabelMessage(resultLabel, MSG_OPTIONS_CANNOT_HOLD);
    }
    EnableWindow(versionLabel, ok);
    EnableWindow(versionList, ok);
    if (ok) {
        SetListIndex(versionList, (FXint)(destKind == DEST_BOCHS_GROWING ? job->bochsGrowingList
                                                                         : job->bochsSparseList));
        versionList->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToBochsPropertyPage::OnWizardNext()
{
    if (CheckWork(job, destKind) != 0) return -1;
    const uint32_t version = (uint32_t)GetListIndex(versionList);
    if (destKind == DEST_BOCHS_GROWING)
        job->bochsGrowingList = version;
    else
        job->bochsSparseList = version;
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

// ---- VDI -------------------------------------------------------------------------------------------

FXIMPLEMENT(CToVirtualBoxDynamicPropertyPage, CVdxPropertyPageBase, NULL, 0)

CToVirtualBoxDynamicPropertyPage::CToVirtualBoxDynamicPropertyPage()
    : resultLabel(NULL),
      variantLabel(NULL),
      variantList(NULL),
      fixedCheck(NULL),
      alignmentLabel(NULL),
      alignmentList(NULL)
{}

CToVirtualBoxDynamicPropertyPage::CToVirtualBoxDynamicPropertyPage(IPropertyPageEvent* events,
                                                                   ConversionJob* job, FXint index,
                                                                   FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_VDI_TITLE);
    description = Ui_MessageText(MSG_VDI_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 4);
    // The header list is as wide as its longest item.
    variantLabel = Ui_CreateLabel(this, MSG_VHD_CREATOR, 1, 7, 10, 2);
    variantList = Ui_CreateListBox(this, this, ID_VARIANT, 11, 7, 21, 2);
    FillList(variantList, MSG_VDI_OLDEST_HEADER_384_BYTES, 4);
    alignmentLabel = Ui_CreateLabel(this, MSG_VDI_DATA_ALIGNMENT, 1, 10, 10, 2);
    alignmentList = Ui_CreateListBox(this, this, ID_ALIGNMENT, 11, 10, 16, 2);
    fixedCheck =
        Ui_CreateCheckButton(this, MSG_VDI_FIXED_SIZE_PREALLOCATED, this, ID_FIXED, 1, 13, 24, 2);
    FillList(alignmentList, MSG_VDI_512_BYTES, 3);
}

void CToVirtualBoxDynamicPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 12);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    EnableWindow(variantLabel, ok);
    EnableWindow(variantList, ok);
    EnableWindow(fixedCheck, ok);
    EnableWindow(alignmentLabel, ok);
    EnableWindow(alignmentList, ok);
    if (ok) {
        SetListIndex(variantList, (FXint)job->vdiList4);
        fixedCheck->setCheck(job->vdiCheck != 0);
        SetListIndex(alignmentList, (FXint)job->vdiList3);
        variantList->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToVirtualBoxDynamicPropertyPage::OnWizardNext()
{
    if (CheckWork(job, 12) != 0) return -1;
    job->vdiList4 = (uint32_t)GetListIndex(variantList);
    job->vdiCheck = fixedCheck->getCheck() ? 1 : 0;
    job->vdiList3 = (uint32_t)GetListIndex(alignmentList);
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

// ---- Page 15: Parallels bundle ---------------------------------------------------------------------

FXDEFMAP(CToParallelsPropertyPage)
CToParallelsPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CToParallelsPropertyPage::ID_RADIO_COMPRESSED,
               CToParallelsPropertyPage::ID_RADIO_PLAIN, CToParallelsPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CToParallelsPropertyPage::ID_RADIO_COMPRESSED,
               CToParallelsPropertyPage::ID_RADIO_PLAIN, CToParallelsPropertyPage::onUpdRadio),
    FXMAPFUNC(SEL_COMMAND, CToParallelsPropertyPage::ID_SIZE_BUTTON,
              CToParallelsPropertyPage::onCmdSizeButton),
};
FXIMPLEMENT(CToParallelsPropertyPage, CVdxPropertyPageBase, CToParallelsPropertyPageMap,
            ARRAYNUMBER(CToParallelsPropertyPageMap))

CToParallelsPropertyPage::CToParallelsPropertyPage()
    : resultLabel(NULL),
      dataLabel(NULL),
      sizeLabel(NULL),
      sizeField(NULL),
      sizeButton(NULL),
      radioId(ID_RADIO_COMPRESSED)
{
    dataRadios[0] = dataRadios[1] = NULL;
}

CToParallelsPropertyPage::CToParallelsPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                   FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), radioId(ID_RADIO_COMPRESSED)
{
    title = Ui_MessageText(MSG_PARALLELS_TITLE);
    description = Ui_MessageText(MSG_PARALLELS_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 4);
    dataLabel = Ui_CreateLabel(this, MSG_PARALLELS_DATA_FILES, 1, 6, 20, 2);
    dataRadios[0] = Ui_CreateRadioButton(this, MSG_PARALLELS_COMPRESSED_GROWING, this,
                                         ID_RADIO_COMPRESSED, 2, 8, 19, 2);
    dataRadios[1] = Ui_CreateRadioButton(this, MSG_PARALLELS_PLAIN_PREALLOCATED, this,
                                         ID_RADIO_PLAIN, 2, 10, 19, 2);
    // The size label's text is longer than the field and button under it.
    sizeLabel = Ui_CreateLabel(this, MSG_PARALLELS_SIZE_EACH_DATA_FILE, 21, 6, 18, 2);
    sizeField = Ui_CreateNumberField(this, 23, 8, 10, 2);
    sizeButton = Ui_CreateButton(this, MSG_PARALLELS_DEFAULT, this, ID_SIZE_BUTTON, 33, 8, 5, 2);
}

void CToParallelsPropertyPage::OnSetActive()
{
    int r = CheckWork(job, 6);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    FXWindow* widgets[] = {dataLabel, dataRadios[0], dataRadios[1],
                           sizeLabel, sizeField,     sizeButton};
    for (FXWindow* w : widgets) EnableWindow(w, ok);
    if (ok) {
        radioId = job->parallelsRadio != 0 ? ID_RADIO_PLAIN : ID_RADIO_COMPRESSED;
        if (job->parallelsFlag != 0)
            Ui_SetFieldUInt32(sizeField, job->parallelsNumber);
        else
            sizeField->setText(FXString::null);
        dataRadios[radioId == ID_RADIO_PLAIN ? 1 : 0]->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToParallelsPropertyPage::OnWizardNext()
{
    if (CheckWork(job, 6) != 0) return -1;
    // An empty field: the whole disk in one data file.
    uint32_t size = 0;
    const bool sized = !sizeField->getText().trim().empty();
    if (sized && !Ui_GetFieldUInt32(sizeField, &size, 1, 0xFFFFFFFEu)) {
        ShowMessage(this, MSG_APP_NAME, MSG_FIELD_PARALLELS_DATA_FILE, UI_MSG_ERROR);
        return -1;
    }
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    if (sized) {
        // A data file holds whole blocks: a smaller size could not cut the disk.
        const DiskGeometry& g = job->finalGeometry;
        const uint64_t block = Parallels_BlockSectors(g.heads, g.sectors_per_track);
        if (block == 0 || size < block) {
            COutputMessage::ShowMessageNumber(this, MSG_APP_NAME, MSG_PARALLELS_DATA_FILE_TOO_SMALL,
                                              UI_MSG_ERROR, (FXuint)block);
            FocusField(sizeField);
            return -1;
        }
        // The bundle's descriptor lists every data file, and its reader keeps all of them open.
        const uint64_t storage = size / block * block;
        const uint64_t total = Geometry_GetTotalSectors(&g);
        if ((total + storage - 1) / storage > PARALLELS_BUNDLE_MAX_STORAGES) {
            COutputMessage::ShowMessageNumber(this, MSG_APP_NAME, MSG_PARALLELS_TOO_MANY_DATA_FILES,
                                              UI_MSG_ERROR, (FXuint)PARALLELS_BUNDLE_MAX_STORAGES);
            FocusField(sizeField);
            return -1;
        }
    }
    job->parallelsRadio = radioId == ID_RADIO_PLAIN ? 1 : 0;
    job->parallelsFlag = sized ? 1 : 0;
    job->parallelsNumber = sized ? size : 0;
    return events->GetNextPage(index);
}

long CToParallelsPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    radioId = (FXint)FXSELID(selector);
    return 1;
}

long CToParallelsPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, radioId);
}

long CToParallelsPropertyPage::onCmdSizeButton(FXObject*, FXSelector, void*)
{
    sizeField->setText("3989160");
    return 1;
}

// ---- Page 16: Parallels file --------------------------------------------------------------------

FXIMPLEMENT(CToParallelsExtensiblePropertyPage, CVdxPropertyPageBase, NULL, 0)

CToParallelsExtensiblePropertyPage::CToParallelsExtensiblePropertyPage()
    : resultLabel(NULL), noTotalCheck(NULL)
{}

CToParallelsExtensiblePropertyPage::CToParallelsExtensiblePropertyPage(IPropertyPageEvent* events,
                                                                       ConversionJob* job,
                                                                       FXint index,
                                                                       FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_PARALLELS_TITLE);
    description = Ui_MessageText(MSG_PARALLELS_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 4);
    noTotalCheck =
        Ui_CreateCheckButton(this, MSG_PARALLELS_WRITE_DISK_SIZE_0, this, ID_NO_TOTAL, 1, 6, 36, 2);
}

void CToParallelsExtensiblePropertyPage::OnSetActive()
{
    int r = CheckWork(job, 7);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    EnableWindow(noTotalCheck, ok);
    if (ok) {
        noTotalCheck->setCheck((job->formatFlags & PARALLELS_FLAG_NO_TOTAL) != 0);
        noTotalCheck->setFocus();
    }
    SetWizardButtons(true, ok, true);
}

int CToParallelsExtensiblePropertyPage::OnWizardNext()
{
    if (CheckWork(job, 7) != 0) return -1;
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    job->formatFlags = noTotalCheck->getCheck() == TRUE ? (uint32_t)PARALLELS_FLAG_NO_TOTAL : 0u;
    return events->GetNextPage(index);
}

// ---- Check-only pages ------------------------------------------------------------------------------

#define VDX_SIMPLE_DESTINATION_PAGE_IMPL(ClassName, destKind, titleMessage)                 \
    FXIMPLEMENT(ClassName, CToSimplePropertyPage, NULL, 0)                                  \
    ClassName::ClassName(IPropertyPageEvent* events, ConversionJob* job, FXint index,       \
                         FXComposite* parent)                                               \
        : CToSimplePropertyPage(events, job, index, parent, titleMessage, titleMessage + 1) \
    {}                                                                                      \
    int ClassName::CheckDestination() { return CheckWork(job, destKind); }                  \
    int ClassName::OnWizardNext()                                                           \
    {                                                                                       \
        if (CheckWork(job, destKind) != 0) return -1;                                       \
        if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);                   \
        return CToSimplePropertyPage::OnWizardNext();                                       \
    }

VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToAnex86PropertyPage, 13, 245)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToT98PropertyPage, 14, 247)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToT98NextPropertyPage, 15, 249)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToVirtual98PropertyPage, 16, 251)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToPC98EPropertyPage, 17, 253)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToSL9821PropertyPage, 18, 255)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToUnzPropertyPage, 19, 257)
VDX_SIMPLE_DESTINATION_PAGE_IMPL(CToBetaPropertyPage, 21, 271)

// ---- Pages 19 and 20: qcow and qcow2 -----------------------------------------------------------

FXDEFMAP(CToQemuQcowPropertyPage)
CToQemuQcowPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CToQemuQcowPropertyPage::ID_PLAIN,
               CToQemuQcowPropertyPage::ID_ENCRYPTED, CToQemuQcowPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CToQemuQcowPropertyPage::ID_PLAIN, CToQemuQcowPropertyPage::ID_ENCRYPTED,
               CToQemuQcowPropertyPage::onUpdRadio),
};
FXIMPLEMENT(CToQemuQcowPropertyPage, CVdxPropertyPageBase, CToQemuQcowPropertyPageMap,
            ARRAYNUMBER(CToQemuQcowPropertyPageMap))

CToQemuQcowPropertyPage::CToQemuQcowPropertyPage()
    : resultLabel(NULL), keyLabel(NULL), keyField(NULL), radioId(ID_PLAIN), destKind(DEST_QCOW)
{
    for (FXRadioButton*& r : modeRadios) r = NULL;
}

CToQemuQcowPropertyPage::CToQemuQcowPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                 FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), radioId(ID_PLAIN), destKind(DEST_QCOW)
{
    title = Ui_MessageText(MSG_QCOW_TITLE);
    description = Ui_MessageText(MSG_QCOW_DESCRIPTION);
    resultLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 4);
    modeRadios[0] = Ui_CreateRadioButton(this, MSG_QCOW_PLAIN, this, ID_PLAIN, 1, 6, 18, 2);
    modeRadios[1] =
        Ui_CreateRadioButton(this, MSG_QCOW_COMPRESSED, this, ID_COMPRESSED, 1, 8, 18, 2);
    modeRadios[2] =
        Ui_CreateRadioButton(this, MSG_QCOW_COMPRESSED_GROUPED, this, ID_GROUPED, 1, 10, 18, 2);
    modeRadios[3] =
        Ui_CreateRadioButton(this, MSG_QCOW_ENCRYPTED, this, ID_ENCRYPTED, 20, 6, 18, 2);
    keyLabel = Ui_CreateLabel(this, MSG_QCOW_KEY, 21, 8, 7, 2);
    keyField = Ui_CreatePasswordField(this, 28, 8, 10, 2);
    keyField->setNumColumns(16);
}

FXString& CToQemuQcowPropertyPage::KeyText()
{
    return destKind == DEST_QCOW2 ? job->qcow2KeyText : job->qcowKeyText;
}

void CToQemuQcowPropertyPage::EnableKey()
{
    const bool on = radioId == ID_ENCRYPTED && modeRadios[3]->isEnabled();
    EnableWindow(keyLabel, on);
    EnableWindow(keyField, on);
}

void CToQemuQcowPropertyPage::OnSetActive()
{
    int r = CheckWork(job, destKind);
    if (r != -1 && r != 0) return;
    const bool ok = r == 0;
    Ui_SetLabelMessage(resultLabel, ok ? MSG_OPTIONS_CAN_HOLD : MSG_OPTIONS_CANNOT_HOLD);
    EnableWindow(modeRadios[0], ok);
    EnableWindow(modeRadios[1], ok);
    // Grouping reads every cluster twice: not from a split set.
    EnableWindow(modeRadios[2], ok && (job->sourceDisk == NULL ||
                                       Disk_GetKind(job->sourceDisk) != DISK_KIND_SPLIT));
    EnableWindow(modeRadios[3], ok);
    if (ok) {
        const uint32_t f = job->formatFlags;
        radioId = f == 0 ? ID_PLAIN : f == 1 ? ID_COMPRESSED : f == 2 ? ID_GROUPED : ID_ENCRYPTED;
        keyField->setText(KeyText());
    }
    EnableKey();
    SetWizardButtons(true, ok, true);
}

int CToQemuQcowPropertyPage::OnWizardNext()
{
    if (CheckWork(job, destKind) != 0) return -1;
    const FXString text = keyField->getText();
    if (radioId == ID_ENCRYPTED) {
        FXStringText utf8;
        Ui_InitFXStringTextUtf8(&utf8, text);
        // An empty key would encrypt with sixteen zero bytes; a longer one would be cut.
        if (utf8.view.length == 0 || utf8.view.length > 16) {
            ShowMessageNumber(this, MSG_APP_NAME, MSG_FIELD_KEY_LENGTH, UI_MSG_ERROR,
                              (FXuint)utf8.view.length);
            FocusField(keyField);
            return -1;
        }
    }
    KeyText() = FXString::null;
    job->formatFlags = (uint32_t)(radioId - ID_PLAIN);
    if (radioId == ID_ENCRYPTED) {
        Ui_PasswordToKey(text, job->encryptionKey);
        KeyText() = text;
    }
    if (!OptionRules_StoreGeometry(job)) return RefuseGeometry(this);
    return events->GetNextPage(index);
}

long CToQemuQcowPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    radioId = (FXint)FXSELID(selector);
    EnableKey();
    return 1;
}

long CToQemuQcowPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, radioId);
}

FXIMPLEMENT(CToQemuQcow2PropertyPage, CToQemuQcowPropertyPage, NULL, 0)

CToQemuQcow2PropertyPage::CToQemuQcow2PropertyPage() : clusterLabel(NULL), clusterList(NULL) {}

CToQemuQcow2PropertyPage::CToQemuQcow2PropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                                   FXint index, FXComposite* parent)
    : CToQemuQcowPropertyPage(events, job, index, parent)
{
    destKind = DEST_QCOW2;
    title = Ui_MessageText(MSG_QCOW2_TITLE);
    description = Ui_MessageText(MSG_QCOW2_DESCRIPTION);
    clusterLabel = Ui_CreateLabel(this, MSG_QCOW_CLUSTER_SIZE, 20, 11, 18, 2);
    clusterList = Ui_CreateListBox(this, this, ID_CLUSTER, 20, 13, 12, 2);
    const char* sizes[] = {"512 B", "1 KB",   "2 KB",   "4 KB",   "8 KB", "16 KB", "32 KB",
                           "64 KB", "128 KB", "256 KB", "512 KB", "1 MB", "2 MB"};
    for (const char* s : sizes) clusterList->appendItem(s);
    clusterList->setNumVisible(13);
}

void CToQemuQcow2PropertyPage::OnSetActive()
{
    CToQemuQcowPropertyPage::OnSetActive();
    const bool ok = modeRadios[0]->isEnabled();
    EnableWindow(clusterLabel, ok);
    EnableWindow(clusterList, ok);
    if (ok) SetListIndex(clusterList, (FXint)job->qcow2ClusterIndex);
}

int CToQemuQcow2PropertyPage::OnWizardNext()
{
    // The writer lays out only so many L2 tables: small clusters hold a smaller disk.
    DiskGeometry g;
    uint8_t cylinderBased = 0;
    uint64_t largest = 0;
    const FXint chosen = GetListIndex(clusterList);
    if (chosen >= 0 && OptionRules_DestinationGeometry(job, destKind, &g, &cylinderBased) &&
        OptionRules_CheckQcow2Clusters(&g, (uint32_t)chosen, &largest) != 0) {
        COutputMessage::ShowMessageNumber(this, MSG_APP_NAME, MSG_QCOW2_CLUSTERS_TOO_SMALL,
                                          UI_MSG_ERROR, (FXuint)largest);
        clusterList->setFocus();
        return -1;
    }
    const uint32_t saved = job->qcow2ClusterIndex;
    job->qcow2ClusterIndex = (uint32_t)GetListIndex(clusterList);
    int r = CToQemuQcowPropertyPage::OnWizardNext();
    if (r == -1) job->qcow2ClusterIndex = saved;
    return r;
}
