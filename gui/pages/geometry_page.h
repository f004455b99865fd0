// Page 8 of the wizard: the total sector count of the destination, and either a manual
// geometry (heads and sectors per track typed in) or an automatic one that the destination's
// option page computes.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/pages/page_base.h"

// The largest total sector count a disk with sectors of this size may have here.
uint64_t GeometryPage_MaxTotalSectors(uint32_t bytesPerSector);

class CChangeGeometryPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CChangeGeometryPropertyPage)
protected:
    FXTextField* totalField;
    FXListBox* sectorSizeList;
    FXRadioButton* manualRadio;
    FXLabel* headsLabel;
    FXTextField* headsField;
    FXLabel* sectorsLabel;
    FXTextField* sectorsField;
    FXRadioButton* automaticRadio;
    FXint currentRadio;  // ID_RADIO_MANUAL or ID_RADIO_AUTOMATIC
    uint64_t typedTotal;
    uint32_t typedHeads;
    uint32_t typedSectors;

    CChangeGeometryPropertyPage();
    void ApplyEnabling();

public:
    enum { ID_SECTOR_SIZE = 62, ID_RADIO_MANUAL = 63, ID_RADIO_AUTOMATIC = 64 };

    CChangeGeometryPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                FXComposite* parent);

    virtual void OnSetActive();
    virtual int OnWizardNext();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);

    FXint GetCurrentRadio() const { return currentRadio; }
    FXTextField* GetTotalField() const { return totalField; }
    FXTextField* GetHeadsField() const { return headsField; }
    FXTextField* GetSectorsField() const { return sectorsField; }
    FXListBox* GetSectorSizeList() const { return sectorSizeList; }
    FXRadioButton* GetManualRadio() const { return manualRadio; }
};
