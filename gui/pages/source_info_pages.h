// Pages 1 to 6 of the wizard: what the source itself does not tell. The layout of a raw image
// file, the geometry of Bochs images and of split sets, the start and geometry of a block
// device, and the size and geometry of a new blank disk. Every page loads its fields from the
// job, checks them on Next in screen order (the first invalid field gets the focus with its
// text selected and the page stays) and goes on to the destination-type page.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/pages/page_base.h"

// Fills a list box with the nine sector sizes 128 .. 32768 ("%u").
void Ui_FillSectorSizeList(FXListBox* list);
// Selects the item of a byte count (the first size at least as large; the first item when
// none is).
void Ui_SetSectorSizeList(FXListBox* list, uint32_t bytesPerSector);
// The bytes of the selected item.
uint32_t Ui_GetSectorSizeList(FXListBox* list);

// Operations of the Bochs images and split sets on their open objects. The split-set pair is set
// to the split-set handler; the Bochs handlers set theirs when they exist (until then those kinds
// never open and their pages are never reached). Tests may substitute them.
extern void (*SourceInfo_BochsSetGeometry)(void* object, uint32_t heads, uint32_t sectorsPerTrack);
extern bool (*SourceInfo_BochsIsUndoable)(void* object);
extern int (*SourceInfo_BochsOpenBase)(void* object, const char* path);
extern int (*SourceInfo_SplitGetHeaderInfo)(void* object, uint32_t* firstValue, uint32_t* cylinders,
                                            uint32_t* heads, uint32_t* sectorsPerTrack);
extern void (*SourceInfo_SplitSetHeadsAndSectors)(void* object, uint32_t heads,
                                                  uint32_t sectorsPerTrack);

// Offset and geometry fields shared by the raw-image and block-device pages.
struct SourceGeometryFields {
    FXTextField* offset;
    FXTextField* total;
    FXTextField* heads;
    FXTextField* sectors;
    FXListBox* sectorSize;
};

// Page 1: a raw image file (source kind 0).
class CInputSourceBetaInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourceBetaInfoPropertyPage)
protected:
    SourceGeometryFields fields;
    CInputSourceBetaInfoPropertyPage();

public:
    enum { ID_SECTOR_SIZE = 62 };
    CInputSourceBetaInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                     FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    const SourceGeometryFields& GetFields() const { return fields; }
};

// Page 2: a Bochs sparse image (disk kind 11).
class CInputSourceHSInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourceHSInfoPropertyPage)
protected:
    FXTextField* headsField;
    FXTextField* sectorsField;
    CInputSourceHSInfoPropertyPage();

public:
    CInputSourceHSInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                   FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    FXTextField* GetHeadsField() const { return headsField; }
    FXTextField* GetSectorsField() const { return sectorsField; }
};

// Page 3: a Bochs redolog (disk kind 10), with the base image of an undoable one.
class CInputSourceBGInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourceBGInfoPropertyPage)
protected:
    FXTextField* headsField;
    FXTextField* sectorsField;
    FXLabel* baseLabel;
    FXTextField* baseField;
    FXButton* browseButton;
    CInputSourceBGInfoPropertyPage();
    bool IsUndoable() const;

public:
    enum { ID_BROWSE = 62 };
    CInputSourceBGInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                   FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdBrowse(FXObject*, FXSelector, void*);
    FXTextField* GetHeadsField() const { return headsField; }
    FXTextField* GetSectorsField() const { return sectorsField; }
    FXTextField* GetBaseField() const { return baseField; }
};

// Page 4: a block device (source kind 1).
class CInputSourceRealDiskInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourceRealDiskInfoPropertyPage)
protected:
    SourceGeometryFields fields;
    FXLabel* warningLabel;
    CInputSourceRealDiskInfoPropertyPage();

public:
    enum { ID_SECTOR_SIZE = 62 };
    CInputSourceRealDiskInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                         FXint index, FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    const SourceGeometryFields& GetFields() const { return fields; }
};

// Page 5: a split set (disk kind -3).
class CInputSourcePSInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourcePSInfoPropertyPage)
protected:
    FXTextField* headerFields[4];  // first value, cylinders, heads, sectors per track as stored
    FXTextField* headsField;
    FXTextField* sectorsField;
    CInputSourcePSInfoPropertyPage();

public:
    CInputSourcePSInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                   FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    FXTextField* GetHeaderField(int i) const { return headerFields[i]; }
    FXTextField* GetHeadsField() const { return headsField; }
    FXTextField* GetSectorsField() const { return sectorsField; }
};

// Page 6: a new blank disk (source kind 2).
class CInputSourceNewInfoPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CInputSourceNewInfoPropertyPage)
protected:
    FXTextField* sizeFields[3];  // sectors, MiB, GiB
    FXCheckButton* ownCheck;
    FXLabel* headsLabel;
    FXLabel* sectorsLabel;
    FXLabel* sectorSizeLabel;
    FXTextField* headsField;
    FXTextField* sectorsField;
    FXListBox* sectorSizeList;
    FXint currentRadio;  // ID_UNIT_SECTORS, ID_UNIT_MIB or ID_UNIT_GIB
    CInputSourceNewInfoPropertyPage();
    void ApplyEnabling();

public:
    enum {
        ID_UNIT_SECTORS = 62,
        ID_UNIT_MIB = 63,
        ID_UNIT_GIB = 64,
        ID_OWN_GEOMETRY = 65,
        ID_SECTOR_SIZE = 66
    };
    CInputSourceNewInfoPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                    FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdUnit(FXObject*, FXSelector, void*);
    long onUpdUnit(FXObject*, FXSelector, void*);
    long onCmdOwnGeometry(FXObject*, FXSelector, void*);
    FXTextField* GetSizeField(int unit) const { return sizeFields[unit]; }
    FXCheckButton* GetOwnCheck() const { return ownCheck; }
    FXTextField* GetHeadsField() const { return headsField; }
    FXTextField* GetSectorsField() const { return sectorsField; }
    FXListBox* GetSectorSizeList() const { return sectorSizeList; }
    FXint GetCurrentRadio() const { return currentRadio; }
};
