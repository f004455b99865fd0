// Pages 1 to 6: the raw image file, the Bochs images, the block device, the split set and the
// new blank disk.
#include "gui/pages/source_info_pages.h"

#include "disk/disk_open.h"
#include "disk/split_disk.h"
#include "formats/bochs/bochs.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/sector_size.h"
#include "gui/frame/widgets.h"
#include "gui/pages/source_rules.h"

void (*SourceInfo_BochsSetGeometry)(void*, uint32_t, uint32_t) = Bochs_SetGeometry;
bool (*SourceInfo_BochsIsUndoable)(void*) = Bochs_IsUndoable;
int (*SourceInfo_BochsOpenBase)(void*, const char*) = Bochs_OpenBase;

namespace {

int SplitHeaderInfo(void* object, uint32_t* firstValue, uint32_t* cylinders, uint32_t* heads,
                    uint32_t* sectorsPerTrack)
{
    SplitDisk_GetHeaderInfo(static_cast<SplitDisk*>(object), firstValue, cylinders, heads,
                            sectorsPerTrack);
    return DISK_OK;
}

void SplitHeadsAndSectors(void* object, uint32_t heads, uint32_t sectorsPerTrack)
{
    SplitDisk_SetHeadsAndSectors(static_cast<SplitDisk*>(object), heads, sectorsPerTrack);
}

}  // namespace

int (*SourceInfo_SplitGetHeaderInfo)(void*, uint32_t*, uint32_t*, uint32_t*,
                                     uint32_t*) = SplitHeaderInfo;
void (*SourceInfo_SplitSetHeadsAndSectors)(void*, uint32_t, uint32_t) = SplitHeadsAndSectors;

void Ui_FillSectorSizeList(FXListBox* list)
{
    list->setNumVisible(10);
    for (int i = 0; i < SOURCE_SECTOR_SIZE_ITEMS; ++i) {
        FXString text;
        text.format("%u", SourceRules_SectorSizeOfItem(i));
        list->appendItem(text);
    }
}

void Ui_SetSectorSizeList(FXListBox* list, uint32_t bytesPerSector)
{
    CVdxPropertyPageBase::SetListIndex(list, SourceRules_SectorSizeItem(bytesPerSector));
}

uint32_t Ui_GetSectorSizeList(FXListBox* list)
{
    return SourceRules_SectorSizeOfItem(CVdxPropertyPageBase::GetListIndex(list));
}

namespace {

void* SourceObject(const ConversionJob* job)
{
    return job->sourceDisk != NULL ? job->sourceDisk->object : NULL;
}

void FocusAndSelect(FXTextField* field)
{
    field->setFocus();
    field->selectAll();
}

// The shared layout of the raw-image and block-device pages.
void BuildGeometryFields(FXComposite* page, FXObject* target, FXSelector sizeSelector,
                         SourceGeometryFields* fields)
{
    Ui_CreateLabel(page, MSG_RAW_START_OFFSET_BYTES, 1, 2, 12, 2);
    fields->offset = Ui_CreateNumberField(page, 13, 2, 8, 2);
    Ui_CreateLabel(page, MSG_RAW_SECTORS, 1, 5, 7, 2);
    fields->total = Ui_CreateNumberField(page, 8, 5, 8, 2);
    Ui_CreateLabel(page, MSG_RAW_HEADS, 20, 5, 7, 2);
    fields->heads = Ui_CreateNumberField(page, 27, 5, 8, 2);
    Ui_CreateLabel(page, MSG_RAW_SECT_TRACK, 1, 8, 7, 2);
    fields->sectors = Ui_CreateNumberField(page, 8, 8, 8, 2);
    Ui_CreateLabel(page, MSG_RAW_SECTOR_SIZE, 20, 8, 7, 2);
    fields->sectorSize = Ui_CreateListBox(page, target, sizeSelector, 27, 8, 8, 2);
    Ui_FillSectorSizeList(fields->sectorSize);
}

void LoadGeometryFields(const SourceGeometryFields& fields, uint64_t offset,
                        const DiskGeometry& geometry)
{
    Ui_SetFieldUInt64(fields.offset, offset);
    Ui_SetFieldUInt64(fields.total, Geometry_GetTotalSectors(&geometry));
    Ui_SetFieldUInt32(fields.heads, geometry.heads);
    Ui_SetFieldUInt32(fields.sectors, geometry.sectors_per_track);
    Ui_SetSectorSizeList(fields.sectorSize, geometry.bytes_per_sector);
}

// Reads the fields in screen order; false (with the invalid field focused) when one is out of
// range or the disk's byte size would not fit a 64-bit file offset.
bool ReadGeometryFields(const SourceGeometryFields& fields, uint64_t maxOffset, uint64_t* offset,
                        DiskGeometry* geometry)
{
    uint64_t total = 0;
    uint32_t heads = 0, sectors = 0;
    if (!Ui_GetFieldUInt64(fields.offset, offset, 0, maxOffset)) return false;
    if (!Ui_GetFieldUInt64(fields.total, &total, SOURCE_MIN_TOTAL_SECTORS,
                           SOURCE_MAX_TOTAL_SECTORS))
        return false;
    if (!Ui_GetFieldUInt32(fields.heads, &heads, 1, SOURCE_MAX_HEADS)) return false;
    if (!Ui_GetFieldUInt32(fields.sectors, &sectors, 1, SOURCE_MAX_SECTORS_PER_TRACK)) return false;
    const uint32_t bytes = Ui_GetSectorSizeList(fields.sectorSize);
    if (!SourceRules_ByteSizeFits(total, bytes)) {
        FocusAndSelect(fields.total);
        return false;
    }
    DiskGeometry g = {0, heads, sectors, bytes, 0};
    Geometry_SetTotalSectors(&g, total);
    *geometry = g;
    return true;
}

// Heads and sectors per track of the Bochs and split-set pages, 1..255 each.
bool ReadHeadsAndSectors(FXTextField* headsField, FXTextField* sectorsField, uint32_t* heads,
                         uint32_t* sectors)
{
    return Ui_GetFieldUInt32(headsField, heads, 1, SOURCE_MAX_HEADS) &&
           Ui_GetFieldUInt32(sectorsField, sectors, 1, SOURCE_MAX_SECTORS_PER_TRACK);
}

// A fresh handle in job->sourceDisk after releasing whatever was there; false when out of memory.
bool NewSourceHandle(ConversionJob* job)
{
    ConversionJob_ReleaseSource(job);
    job->sourceDisk = Disk_Alloc();
    if (job->sourceDisk == NULL) return false;
    Disk_Init(job->sourceDisk);
    return true;
}

}  // namespace

// ---- Page 1: raw image file -----------------------------------------------------------------------

FXIMPLEMENT(CInputSourceBetaInfoPropertyPage, CVdxPropertyPageBase, NULL, 0)

CInputSourceBetaInfoPropertyPage::CInputSourceBetaInfoPropertyPage()
{
    fields = SourceGeometryFields{NULL, NULL, NULL, NULL, NULL};
}

CInputSourceBetaInfoPropertyPage::CInputSourceBetaInfoPropertyPage(IPropertyPageEvent* events,
                                                                   ConversionJob* job, FXint index,
                                                                   FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_RAW_TITLE);
    description = Ui_MessageText(MSG_RAW_DESCRIPTION);
    BuildGeometryFields(this, this, ID_SECTOR_SIZE, &fields);
}

void CInputSourceBetaInfoPropertyPage::OnSetActive()
{
    LoadGeometryFields(fields, job->rawOffset, job->rawGeometry);
    SetWizardButtons(true, true, true);
    fields.offset->setFocus();
}

int CInputSourceBetaInfoPropertyPage::OnWizardNext()
{
    uint64_t offset = 0;
    DiskGeometry geometry;
    if (!ReadGeometryFields(fields, UINT64_MAX, &offset, &geometry)) return -1;
    int rc = NewSourceHandle(job)
                 ? Disk_OpenRaw(job->sourceDisk, job->sourcePath.text(), true, offset, &geometry)
                 : DISK_ERR_NOMEM;
    if (rc != DISK_OK) {
        ConversionJob_ReleaseSource(job);
        ShowMessage(this, MSG_APP_NAME, MSG_RAW_CANNOT_OPEN, UI_MSG_INFO);
        return -1;
    }
    job->rawOffset = offset;
    job->rawGeometry = geometry;
    return events->GetNextPage(index);
}

// ---- Page 2: Bochs sparse image ---------------------------------------------------------------------

FXIMPLEMENT(CInputSourceHSInfoPropertyPage, CVdxPropertyPageBase, NULL, 0)

CInputSourceHSInfoPropertyPage::CInputSourceHSInfoPropertyPage()
    : headsField(NULL), sectorsField(NULL)
{}

CInputSourceHSInfoPropertyPage::CInputSourceHSInfoPropertyPage(IPropertyPageEvent* events,
                                                               ConversionJob* job, FXint index,
                                                               FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), headsField(NULL), sectorsField(NULL)
{
    title = Ui_MessageText(MSG_BOCHS_SPARSE_SOURCE_TITLE);
    description = Ui_MessageText(MSG_BOCHS_SPARSE_SOURCE_DESCRIPTION);
    Ui_CreateLabel(this, MSG_RAW_HEADS, 1, 3, 7, 2);
    headsField = Ui_CreateNumberField(this, 8, 3, 8, 2);
    Ui_CreateLabel(this, MSG_RAW_SECT_TRACK, 20, 3, 7, 2);
    sectorsField = Ui_CreateNumberField(this, 27, 3, 8, 2);
}

void CInputSourceHSInfoPropertyPage::OnSetActive()
{
    Ui_SetFieldUInt32(headsField, job->hsHeads);
    Ui_SetFieldUInt32(sectorsField, job->hsSectors);
    SetWizardButtons(true, true, true);
    headsField->setFocus();
}

int CInputSourceHSInfoPropertyPage::OnWizardNext()
{
    uint32_t heads = 0, sectors = 0;
    if (!ReadHeadsAndSectors(headsField, sectorsField, &heads, &sectors)) return -1;
    // The format stores no geometry: the image takes the typed one.
    void* object = SourceObject(job);
    if (object != NULL && SourceInfo_BochsSetGeometry != NULL)
        SourceInfo_BochsSetGeometry(object, heads, sectors);
    job->hsHeads = heads;
    job->hsSectors = sectors;
    return events->GetNextPage(index);
}

// ---- Page 3: Bochs redolog -----------------------------------------------------------------------------

FXDEFMAP(CInputSourceBGInfoPropertyPage)
CInputSourceBGInfoPropertyPageMap[] = {
    FXMAPFUNC(SEL_COMMAND, CInputSourceBGInfoPropertyPage::ID_BROWSE,
              CInputSourceBGInfoPropertyPage::onCmdBrowse),
};
FXIMPLEMENT(CInputSourceBGInfoPropertyPage, CVdxPropertyPageBase, CInputSourceBGInfoPropertyPageMap,
            ARRAYNUMBER(CInputSourceBGInfoPropertyPageMap))

CInputSourceBGInfoPropertyPage::CInputSourceBGInfoPropertyPage()
    : headsField(NULL), sectorsField(NULL), baseLabel(NULL), baseField(NULL), browseButton(NULL)
{}

CInputSourceBGInfoPropertyPage::CInputSourceBGInfoPropertyPage(IPropertyPageEvent* events,
                                                               ConversionJob* job, FXint index,
                                                               FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent),
      headsField(NULL),
      sectorsField(NULL),
      baseLabel(NULL),
      baseField(NULL),
      browseButton(NULL)
{
    title = Ui_MessageText(MSG_BOCHS_REDOLOG_TITLE);
    description = Ui_MessageText(MSG_BOCHS_REDOLOG_DESCRIPTION);
    Ui_CreateLabel(this, MSG_RAW_HEADS, 1, 3, 7, 2);
    headsField = Ui_CreateNumberField(this, 8, 3, 8, 2);
    Ui_CreateLabel(this, MSG_RAW_SECT_TRACK, 20, 3, 7, 2);
    sectorsField = Ui_CreateNumberField(this, 27, 3, 8, 2);
    baseLabel = Ui_CreateLabel(this, MSG_BOCHS_REDOLOG_BASE_IMAGE, 1, 6, 12, 2);
    baseField = Ui_CreateTextField(this, 1, 8, 31, 2);
    browseButton = Ui_CreateButton(this, MSG_DEST_PATH_BROWSE, this, ID_BROWSE, 32, 8, 5, 2);
}

bool CInputSourceBGInfoPropertyPage::IsUndoable() const
{
    void* object = SourceObject(job);
    return object != NULL && SourceInfo_BochsIsUndoable != NULL &&
           SourceInfo_BochsIsUndoable(object);
}

void CInputSourceBGInfoPropertyPage::OnSetActive()
{
    const bool undoable = IsUndoable();
    EnableWindow(baseLabel, undoable);
    EnableWindow(baseField, undoable);
    EnableWindow(browseButton, undoable);
    Ui_SetFieldUInt32(headsField, job->bgHeads);
    Ui_SetFieldUInt32(sectorsField, job->bgSectors);
    baseField->setText(job->bgCompanionPath);
    SetWizardButtons(true, true, true);
    headsField->setFocus();
}

int CInputSourceBGInfoPropertyPage::OnWizardNext()
{
    uint32_t heads = 0, sectors = 0;
    if (!ReadHeadsAndSectors(headsField, sectorsField, &heads, &sectors)) return -1;
    void* object = SourceObject(job);
    if (IsUndoable()) {
        FXString path = baseField->getText();
        path.trim();
        if (path.empty()) {
            ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR);
            return -1;
        }
        path = FXPath::absolute(path);
        int rc = SourceInfo_BochsOpenBase != NULL ? SourceInfo_BochsOpenBase(object, path.text())
                                                  : DISK_ERR_UNSUPPORTED;
        if (rc != DISK_OK) {
            ShowMessage(this, MSG_APP_NAME, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
            return -1;
        }
    }
    if (object != NULL && SourceInfo_BochsSetGeometry != NULL)
        SourceInfo_BochsSetGeometry(object, heads, sectors);
    job->bgHeads = heads;
    job->bgSectors = sectors;
    job->bgCompanionPath = baseField->getText();
    return events->GetNextPage(index);
}

long CInputSourceBGInfoPropertyPage::onCmdBrowse(FXObject*, FXSelector, void*)
{
    FXFileDialog dialog(this, Ui_MessageText(MSG_SOURCE_OPEN_FILE_TITLE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_EXISTING);
    dialog.setPatternList(Ui_MessageText(MSG_PATTERN_SOURCE_IMAGES));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (dialog.execute(PLACEMENT_OWNER)) {
        Ui_LastDirectory() = dialog.getDirectory();
        baseField->setText(dialog.getFilename());
    }
    return 1;
}

// ---- Page 4: block device -------------------------------------------------------------------------------

FXIMPLEMENT(CInputSourceRealDiskInfoPropertyPage, CVdxPropertyPageBase, NULL, 0)

CInputSourceRealDiskInfoPropertyPage::CInputSourceRealDiskInfoPropertyPage() : warningLabel(NULL)
{
    fields = SourceGeometryFields{NULL, NULL, NULL, NULL, NULL};
}

CInputSourceRealDiskInfoPropertyPage::CInputSourceRealDiskInfoPropertyPage(
    IPropertyPageEvent* events, ConversionJob* job, FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), warningLabel(NULL)
{
    title = Ui_MessageText(MSG_DEVICE_TITLE);
    description = Ui_MessageText(MSG_DEVICE_DESCRIPTION);
    BuildGeometryFields(this, this, ID_SECTOR_SIZE, &fields);
    warningLabel = Ui_CreateLabel(this, MSG_DEVICE_READ_DIRECTLY, 1, 11, 37, 4);
    warningLabel->setTextColor(FXRGB(255, 0, 0));
}

void CInputSourceRealDiskInfoPropertyPage::OnSetActive()
{
    LoadGeometryFields(fields, job->deviceOffset, job->deviceGeometry);
    SetWizardButtons(true, true, true);
    fields.offset->setFocus();
}

int CInputSourceRealDiskInfoPropertyPage::OnWizardNext()
{
    uint64_t offset = 0;
    DiskGeometry geometry;
    if (!ReadGeometryFields(fields, SOURCE_MAX_DEVICE_OFFSET, &offset, &geometry)) return -1;
    int rc = NewSourceHandle(job) ? Disk_OpenDevice(job->sourceDisk, job->sourceDevice.text(), true,
                                                    offset, &geometry)
                                  : DISK_ERR_NOMEM;
    if (rc != DISK_OK) {
        ConversionJob_ReleaseSource(job);
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_DEVICE_CANNOT_OPEN, UI_MSG_ERROR);
        return -1;
    }
    job->deviceOffset = offset;
    job->deviceGeometry = geometry;
    return events->GetNextPage(index);
}

// ---- Page 5: split set ------------------------------------------------------------------------------------

FXIMPLEMENT(CInputSourcePSInfoPropertyPage, CVdxPropertyPageBase, NULL, 0)

CInputSourcePSInfoPropertyPage::CInputSourcePSInfoPropertyPage()
    : headsField(NULL), sectorsField(NULL)
{
    for (int i = 0; i < 4; ++i) headerFields[i] = NULL;
}

CInputSourcePSInfoPropertyPage::CInputSourcePSInfoPropertyPage(IPropertyPageEvent* events,
                                                               ConversionJob* job, FXint index,
                                                               FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent), headsField(NULL), sectorsField(NULL)
{
    title = Ui_MessageText(MSG_SPLIT_SOURCE_TITLE);
    description = Ui_MessageText(MSG_SPLIT_SOURCE_DESCRIPTION);
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_HEADER_VALUES, 1, 1, 38, 2);
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_HEADER_NOTE, 1, 3, 38, 2);
    static const int kHeaderLabels[4] = {70, 71, 72, 73};
    for (int i = 0; i < 4; ++i) {
        const FXint x = (i % 2) == 0 ? 1 : 20;
        const FXint y = i < 2 ? 5 : 7;
        Ui_CreateLabel(this, kHeaderLabels[i], x, y, 9, 2);
        headerFields[i] = Ui_CreateNumberField(this, x + 9, y, 8, 2);
        headerFields[i]->setEditable(FALSE);
    }
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_WHOLE_GEOMETRY, 1, 9, 38, 2);
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_GEOMETRY, 1, 12, 7, 2);
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_HEADS, 8, 12, 5, 2);
    headsField = Ui_CreateNumberField(this, 13, 12, 7, 2);
    Ui_CreateLabel(this, MSG_SPLIT_SOURCE_SECT_TRACK, 21, 12, 7, 2);
    sectorsField = Ui_CreateNumberField(this, 28, 12, 8, 2);
}

void CInputSourcePSInfoPropertyPage::OnSetActive()
{
    uint32_t values[4] = {0, 0, 0, 0};
    void* object = SourceObject(job);
    if (object != NULL && SourceInfo_SplitGetHeaderInfo != NULL)
        SourceInfo_SplitGetHeaderInfo(object, &values[0], &values[1], &values[2], &values[3]);
    for (int i = 0; i < 4; ++i) Ui_SetFieldUInt32(headerFields[i], values[i]);
    Ui_SetFieldUInt32(headsField, job->psHeads);
    Ui_SetFieldUInt32(sectorsField, job->psSectors);
    SetWizardButtons(true, true, true);
    headerFields[0]->setFocus();
}

int CInputSourcePSInfoPropertyPage::OnWizardNext()
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        if (!Ui_GetFieldUInt32(headerFields[i], &value, 0, 0xFFFFFFFFu)) return -1;
    uint32_t heads = 0, sectors = 0;
    if (!ReadHeadsAndSectors(headsField, sectorsField, &heads, &sectors)) return -1;
    void* object = SourceObject(job);
    if (object != NULL && SourceInfo_SplitSetHeadsAndSectors != NULL)
        SourceInfo_SplitSetHeadsAndSectors(object, heads, sectors);
    job->psHeads = heads;
    job->psSectors = sectors;
    return events->GetNextPage(index);
}

// ---- Page 6: new blank disk -------------------------------------------------------------------------------

FXDEFMAP(CInputSourceNewInfoPropertyPage)
CInputSourceNewInfoPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CInputSourceNewInfoPropertyPage::ID_UNIT_SECTORS,
               CInputSourceNewInfoPropertyPage::ID_UNIT_GIB,
               CInputSourceNewInfoPropertyPage::onCmdUnit),
    FXMAPFUNCS(SEL_UPDATE, CInputSourceNewInfoPropertyPage::ID_UNIT_SECTORS,
               CInputSourceNewInfoPropertyPage::ID_UNIT_GIB,
               CInputSourceNewInfoPropertyPage::onUpdUnit),
    FXMAPFUNC(SEL_COMMAND, CInputSourceNewInfoPropertyPage::ID_OWN_GEOMETRY,
              CInputSourceNewInfoPropertyPage::onCmdOwnGeometry),
};
FXIMPLEMENT(CInputSourceNewInfoPropertyPage, CVdxPropertyPageBase,
            CInputSourceNewInfoPropertyPageMap, ARRAYNUMBER(CInputSourceNewInfoPropertyPageMap))

CInputSourceNewInfoPropertyPage::CInputSourceNewInfoPropertyPage()
    : ownCheck(NULL),
      headsLabel(NULL),
      sectorsLabel(NULL),
      sectorSizeLabel(NULL),
      headsField(NULL),
      sectorsField(NULL),
      sectorSizeList(NULL),
      currentRadio(ID_UNIT_MIB)
{
    for (int i = 0; i < 3; ++i) sizeFields[i] = NULL;
}

CInputSourceNewInfoPropertyPage::CInputSourceNewInfoPropertyPage(IPropertyPageEvent* events,
                                                                 ConversionJob* job, FXint index,
                                                                 FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent),
      ownCheck(NULL),
      headsLabel(NULL),
      sectorsLabel(NULL),
      sectorSizeLabel(NULL),
      headsField(NULL),
      sectorsField(NULL),
      sectorSizeList(NULL),
      currentRadio(ID_UNIT_MIB)
{
    title = Ui_MessageText(MSG_NEW_DISK_TITLE);
    description = Ui_MessageText(MSG_NEW_DISK_DESCRIPTION);
    Ui_CreateLabel(this, MSG_NEW_DISK_SIZE, 1, 2, 7, 2);
    static const int kUnitLabels[3] = {42, 43, 44};
    for (int i = 0; i < 3; ++i) {
        const FXint y = 4 + 3 * i;
        Ui_CreateRadioButton(this, -1, this, ID_UNIT_SECTORS + i, 2, y, 2, 2);
        sizeFields[i] = Ui_CreateNumberField(this, 4, y, 8, 2);
        Ui_CreateLabel(this, kUnitLabels[i], 12, y, 6, 2);
    }
    ownCheck =
        Ui_CreateCheckButton(this, MSG_NEW_DISK_OWN_GEOMETRY, this, ID_OWN_GEOMETRY, 20, 2, 17, 2);
    headsLabel = Ui_CreateLabel(this, MSG_NEW_DISK_HEADS, 21, 4, 7, 2);
    headsField = Ui_CreateNumberField(this, 28, 4, 8, 2);
    sectorsLabel = Ui_CreateLabel(this, MSG_NEW_DISK_SECT_TRACK, 21, 7, 7, 2);
    sectorsField = Ui_CreateNumberField(this, 28, 7, 8, 2);
    sectorSizeLabel = Ui_CreateLabel(this, MSG_NEW_DISK_SECTOR_SIZE, 21, 10, 7, 2);
    sectorSizeList = Ui_CreateListBox(this, this, ID_SECTOR_SIZE, 28, 10, 8, 2);
    Ui_FillSectorSizeList(sectorSizeList);
    Ui_SetSectorSizeList(sectorSizeList, UI_SECTOR_BYTES);
}

void CInputSourceNewInfoPropertyPage::ApplyEnabling()
{
    for (int i = 0; i < 3; ++i) EnableWindow(sizeFields[i], currentRadio == ID_UNIT_SECTORS + i);
    const bool own = GetCheck(ownCheck);
    EnableWindow(headsLabel, own);
    EnableWindow(headsField, own);
    EnableWindow(sectorsLabel, own);
    EnableWindow(sectorsField, own);
    EnableWindow(sectorSizeLabel, own);
    EnableWindow(sectorSizeList, own);
}

void CInputSourceNewInfoPropertyPage::OnSetActive()
{
    const bool own = job->newOwnGeometry != 0;
    const uint32_t heads = own ? job->newHeads : 16;
    const uint32_t sectors = own ? job->newSectors : 63;
    const uint32_t bytes = own ? job->newSectorSize : UI_SECTOR_BYTES;
    SetCheck(ownCheck, own);
    Ui_SetFieldUInt32(headsField, heads);
    Ui_SetFieldUInt32(sectorsField, sectors);
    Ui_SetSectorSizeList(sectorSizeList, bytes);

    uint64_t mib = 0, gib = 0;
    SourceRules_NewDiskFieldValues(job->newSize, Ui_GetSectorSizeList(sectorSizeList), &mib, &gib);
    Ui_SetFieldUInt64(sizeFields[NEW_DISK_UNIT_SECTORS], job->newSize);
    Ui_SetFieldUInt64(sizeFields[NEW_DISK_UNIT_MIB], mib);
    Ui_SetFieldUInt64(sizeFields[NEW_DISK_UNIT_GIB], gib);
    switch (job->newSizeUnit) {
    case NEW_DISK_UNIT_SECTORS:
        currentRadio = ID_UNIT_SECTORS;
        break;
    case NEW_DISK_UNIT_GIB:
        currentRadio = ID_UNIT_GIB;
        break;
    default:
        currentRadio = ID_UNIT_MIB;
        break;
    }
    ApplyEnabling();
    SetWizardButtons(true, true, true);
    sizeFields[currentRadio - ID_UNIT_SECTORS]->setFocus();
}

int CInputSourceNewInfoPropertyPage::OnWizardNext()
{
    const int32_t unit = currentRadio - ID_UNIT_SECTORS;
    FXTextField* sizeField = sizeFields[unit];
    uint64_t value = 0;
    const uint64_t maxima[3] = {SOURCE_MAX_TOTAL_SECTORS, SOURCE_MAX_NEW_MIB, SOURCE_MAX_NEW_GIB};
    const uint64_t minimum =
        unit == NEW_DISK_UNIT_SECTORS ? (uint64_t)SOURCE_MIN_TOTAL_SECTORS : (uint64_t)1;
    if (!Ui_GetFieldUInt64(sizeField, &value, minimum, maxima[unit])) return -1;

    const bool own = GetCheck(ownCheck);
    uint32_t heads = 16, sectors = 63, bytes = UI_SECTOR_BYTES;
    if (own) {
        if (!Ui_GetFieldUInt32(headsField, &heads, 1, SOURCE_MAX_HEADS)) return -1;
        if (!Ui_GetFieldUInt32(sectorsField, &sectors, 1, SOURCE_MAX_SECTORS_PER_TRACK)) return -1;
        bytes = Ui_GetSectorSizeList(sectorSizeList);
    }
    uint64_t count = 0;
    if (!SourceRules_NewDiskSectors(unit, value, bytes, &count)) {
        // Small sectors make a large size in MiB or GiB more sectors than a disk may have.
        sizeField->setFocus();
        sizeField->selectAll();
        return -1;
    }

    job->newSizeUnit = unit;
    job->newOwnGeometry = own ? 1 : 0;
    job->newSize = count;
    job->newHeads = own ? heads : 0;
    job->newSectors = own ? sectors : 0;
    job->newSectorSize = own ? bytes : 0;

    DiskGeometry geometry = {0, own ? heads : 0, own ? sectors : 0, own ? bytes : UI_SECTOR_BYTES,
                             0};
    Geometry_SetTotalSectors(&geometry, count);
    int rc = NewSourceHandle(job) ? Disk_OpenZero(job->sourceDisk, &geometry) : DISK_ERR_NOMEM;
    if (rc != DISK_OK) {
        ConversionJob_ReleaseSource(job);
        ShowMessage(this, MSG_APP_NAME, MSG_RAW_CANNOT_OPEN, UI_MSG_ERROR);
        return -1;
    }
    return events->GetNextPage(index);
}

long CInputSourceNewInfoPropertyPage::onCmdUnit(FXObject*, FXSelector selector, void*)
{
    currentRadio = (FXint)FXSELID(selector);
    ApplyEnabling();
    return 1;
}

long CInputSourceNewInfoPropertyPage::onUpdUnit(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, currentRadio);
}

long CInputSourceNewInfoPropertyPage::onCmdOwnGeometry(FXObject*, FXSelector, void*)
{
    ApplyEnabling();
    return 1;
}
