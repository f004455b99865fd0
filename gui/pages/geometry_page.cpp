// Page 8: the destination's total and geometry mode.
#include "gui/pages/geometry_page.h"

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/sector_size.h"
#include "gui/frame/widgets.h"
#include "gui/pages/source_info_pages.h"
#include "gui/pages/source_rules.h"

uint64_t GeometryPage_MaxTotalSectors(uint32_t bytesPerSector)
{
    // The later pages multiply the total by the bytes per sector: it must stay a file size.
    const uint64_t bps = bytesPerSector != 0 ? bytesPerSector : UI_SECTOR_BYTES;
    const uint64_t bySize = static_cast<uint64_t>(INT64_MAX) / bps;
    return bySize < SOURCE_MAX_TOTAL_SECTORS ? bySize : SOURCE_MAX_TOTAL_SECTORS;
}

FXDEFMAP(CChangeGeometryPropertyPage)
CChangeGeometryPropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CChangeGeometryPropertyPage::ID_RADIO_MANUAL,
               CChangeGeometryPropertyPage::ID_RADIO_AUTOMATIC,
               CChangeGeometryPropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CChangeGeometryPropertyPage::ID_RADIO_MANUAL,
               CChangeGeometryPropertyPage::ID_RADIO_AUTOMATIC,
               CChangeGeometryPropertyPage::onUpdRadio),
};
FXIMPLEMENT(CChangeGeometryPropertyPage, CVdxPropertyPageBase, CChangeGeometryPropertyPageMap,
            ARRAYNUMBER(CChangeGeometryPropertyPageMap))

CChangeGeometryPropertyPage::CChangeGeometryPropertyPage()
    : totalField(NULL),
      sectorSizeList(NULL),
      manualRadio(NULL),
      headsLabel(NULL),
      headsField(NULL),
      sectorsLabel(NULL),
      sectorsField(NULL),
      automaticRadio(NULL),
      currentRadio(ID_RADIO_MANUAL),
      typedTotal(0),
      typedHeads(0),
      typedSectors(0)
{}

CChangeGeometryPropertyPage::CChangeGeometryPropertyPage(IPropertyPageEvent* events,
                                                         ConversionJob* job, FXint index,
                                                         FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent),
      totalField(NULL),
      sectorSizeList(NULL),
      manualRadio(NULL),
      headsLabel(NULL),
      headsField(NULL),
      sectorsLabel(NULL),
      sectorsField(NULL),
      automaticRadio(NULL),
      currentRadio(ID_RADIO_MANUAL),
      typedTotal(0),
      typedHeads(0),
      typedSectors(0)
{
    title = Ui_MessageText(MSG_GEOMETRY_TITLE);
    description = Ui_MessageText(MSG_GEOMETRY_DESCRIPTION);
    Ui_CreateLabel(this, MSG_GEOMETRY_TOTAL_SECTORS, 1, 1, 8, 2);
    totalField = Ui_CreateNumberField(this, 9, 1, 12, 2);
    Ui_CreateLabel(this, MSG_GEOMETRY_SECTOR_SIZE, 23, 1, 7, 2);
    sectorSizeList = Ui_CreateListBox(this, this, ID_SECTOR_SIZE, 30, 1, 8, 2);
    Ui_FillSectorSizeList(sectorSizeList);
    // It only shows the bytes per sector of the source.
    sectorSizeList->disable();
    Ui_CreateLabel(this, MSG_GEOMETRY_CHS, 1, 4, 37, 2);
    manualRadio =
        Ui_CreateRadioButton(this, MSG_GEOMETRY_MANUAL, this, ID_RADIO_MANUAL, 2, 6, 36, 2);
    headsLabel = Ui_CreateLabel(this, MSG_GEOMETRY_HEADS, 3, 8, 7, 2);
    headsField = Ui_CreateNumberField(this, 10, 8, 8, 2);
    sectorsLabel = Ui_CreateLabel(this, MSG_GEOMETRY_SECT_TRACK, 23, 8, 7, 2);
    sectorsField = Ui_CreateNumberField(this, 30, 8, 8, 2);
    automaticRadio =
        Ui_CreateRadioButton(this, MSG_GEOMETRY_AUTOMATIC, this, ID_RADIO_AUTOMATIC, 2, 11, 36, 2);
    Ui_CreateTopLabel(this, MSG_GEOMETRY_TOTAL_HINT, 2, 13, 36, 4);
}

void CChangeGeometryPropertyPage::ApplyEnabling()
{
    const bool manual = currentRadio == ID_RADIO_MANUAL;
    EnableWindow(headsLabel, manual);
    EnableWindow(headsField, manual);
    EnableWindow(sectorsLabel, manual);
    EnableWindow(sectorsField, manual);
}

void CChangeGeometryPropertyPage::OnSetActive()
{
    typedTotal = job->manualTotalSectors;
    typedHeads = job->manualHeads;
    typedSectors = job->manualSectors;
    Ui_SetFieldUInt64(totalField, typedTotal);
    if (job->geometryForcedAuto) {
        // The destination computes heads and sectors itself.
        manualRadio->disable();
        currentRadio = ID_RADIO_AUTOMATIC;
        headsField->setText(FXString::null);
        sectorsField->setText(FXString::null);
    } else {
        manualRadio->enable();
        currentRadio = job->geometryManual ? ID_RADIO_MANUAL : ID_RADIO_AUTOMATIC;
        Ui_SetFieldUInt32(headsField, typedHeads);
        Ui_SetFieldUInt32(sectorsField, typedSectors);
    }
    Ui_SetSectorSizeList(sectorSizeList, job->manualSectorSize);
    ApplyEnabling();
    SetWizardButtons(true, true, true);
    totalField->setFocus();
}

int CChangeGeometryPropertyPage::OnWizardNext()
{
    uint64_t total = 0;
    const uint64_t maxTotal = GeometryPage_MaxTotalSectors(job->sourceGeometry.bytes_per_sector);
    if (!Ui_GetFieldUInt64(totalField, &total, SOURCE_MIN_TOTAL_SECTORS, maxTotal)) {
        FXString largest;
        largest.format("%llu", (unsigned long long)maxTotal);
        ShowMessage(this, MSG_APP_NAME, MSG_FIELD_TOTAL_SECTORS, UI_MSG_ERROR, &largest);
        return -1;
    }
    const bool manual = currentRadio == ID_RADIO_MANUAL;
    uint32_t heads = 0, sectors = 0;
    if (manual) {
        if (!Ui_GetFieldUInt32(headsField, &heads, 1, SOURCE_MAX_HEADS) ||
            !Ui_GetFieldUInt32(sectorsField, &sectors, 1, SOURCE_MAX_SECTORS_PER_TRACK)) {
            ShowMessage(this, MSG_APP_NAME, MSG_FIELD_HEADS_SECTORS, UI_MSG_ERROR);
            return -1;
        }
    }
    typedTotal = total;
    typedHeads = heads;
    typedSectors = sectors;
    SourceRules_ApplyGeometry(job, total, manual, heads, sectors);
    return events->GetNextPage(index);
}

long CChangeGeometryPropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    currentRadio = (FXint)FXSELID(selector);
    ApplyEnabling();
    return 1;
}

long CChangeGeometryPropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, currentRadio);
}
