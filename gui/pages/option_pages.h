// The destination option pages: one page per built-in destination (page 9 + destination kind).
// Each checks whether its format can take the working geometry, shows the answer, lets the
// user set the format's options and on Next stores them with the destination geometry
// (option_rules.h) in the job.
//
// Every built-in destination's page is here: VMDK (9), COWD (10, 11), VHDX (12), dynamic and
// fixed VHD (13, 14), Parallels (15, 16), Bochs (17, 18), qcow and qcow2 (19, 20), VDI (21), the
// PC-98 images (22 to 28), the split set (29) and the flat raw image (30).
#pragma once

#include <fx.h>

#include "gui/pages/page_base.h"

// The message shown for a refused VMDK layout (ConvertRun_CheckVmdkLayout's answer); 124 for a
// disk the layout cannot hold at all.
int OptionPages_VmdkLayoutMessage(int layout);

// Page 9: VMDK.
class CToVMwareVmdkPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToVMwareVmdkPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* adapterLabel;
    FXRadioButton* adapterRadios[3];
    FXLabel* hardwareLabel;
    FXListBox* hardwareList;
    FXLabel* splitLabel;
    FXTextField* splitField;
    FXButton* splitButton;
    FXCheckButton* firstTrackCheck;
    FXLabel* typeLabel;
    FXListBox* typeList;
    FXLabel* encodingLabel;
    FXListBox* encodingList;
    FXMenuPane* splitMenu;
    FXint radioId;
    bool possible;

    CToVMwareVmdkPropertyPage();
    void EnableWidgets(bool enable, bool splitWidgets, bool firstTrack);

public:
    enum {
        ID_RADIO_IDE = 63,
        ID_RADIO_BUSLOGIC = 64,
        ID_RADIO_LSILOGIC = 65,
        ID_HARDWARE = 66,
        ID_SPLIT_MENU = 67,
        ID_FIRST_TRACK = 68,
        ID_TYPE = 69,
        ID_ENCODING = 70,
        ID_SPLIT_NONE = 71,
        ID_SPLIT_2GB = 72,
        ID_SPLIT_4GB = 73
    };
    CToVMwareVmdkPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                              FXComposite* parent);
    virtual ~CToVMwareVmdkPropertyPage();
    virtual void create();
    virtual void OnSetActive();
    virtual int OnWizardNext();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);
    long onCmdSplitMenu(FXObject*, FXSelector, void*);
    long onCmdSplitChoice(FXObject*, FXSelector, void*);

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXTextField* GetSplitField() const { return splitField; }
    FXCheckButton* GetFirstTrackCheck() const { return firstTrackCheck; }
    FXListBox* GetTypeList() const { return typeList; }
    FXListBox* GetHardwareList() const { return hardwareList; }
    FXListBox* GetEncodingList() const { return encodingList; }
    FXint GetRadioId() const { return radioId; }
};

// Page 12: VHDX.
class CToHyperVVhdxPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToHyperVVhdxPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* blockLabel;
    FXListBox* blockList;
    FXCheckButton* keepCheck;
    FXLabel* physicalLabel;
    FXListBox* physicalList;
    FXLabel* logicalLabel;
    FXListBox* logicalList;

    CToHyperVVhdxPropertyPage();

public:
    enum { ID_BLOCK = 62, ID_KEEP = 63, ID_PHYSICAL = 64, ID_LOGICAL = 65 };
    CToHyperVVhdxPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                              FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXListBox* GetBlockList() const { return blockList; }
    FXCheckButton* GetKeepCheck() const { return keepCheck; }
    FXListBox* GetPhysicalList() const { return physicalList; }
    FXListBox* GetLogicalList() const { return logicalList; }
};

// Page 13: dynamic VHD.
class CToVirtualPCDynamicPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToVirtualPCDynamicPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* layoutLabel;
    FXListBox* layoutList;
    FXLabel* creatorLabel;
    FXListBox* creatorList;

    CToVirtualPCDynamicPropertyPage();

public:
    enum { ID_CREATOR = 62, ID_LAYOUT = 63 };
    CToVirtualPCDynamicPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                    FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdLayout(FXObject*, FXSelector, void*);

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXListBox* GetLayoutList() const { return layoutList; }
    FXListBox* GetCreatorList() const { return creatorList; }
};

// Page 14: fixed VHD.
class CToVirtualPCFixedPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToVirtualPCFixedPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* creatorLabel;
    FXListBox* creatorList;

    CToVirtualPCFixedPropertyPage();

public:
    enum { ID_CREATOR = 62 };
    CToVirtualPCFixedPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                  FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXListBox* GetCreatorList() const { return creatorList; }
};

// Pages 10 and 11: COWD version 3 and version 1 (the adapter; version 3 also two flags).
class CToVMwareCowdPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToVMwareCowdPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* adapterLabel;
    FXRadioButton* adapterRadios[2];
    FXCheckButton* flagChecks[2];  // version 3 only
    FXint radioId;
    int32_t destKind;

    CToVMwareCowdPropertyPage();
    // The capability check with the adapter of `scsi`.
    int CheckAdapter(bool scsi);

public:
    enum { ID_RADIO_IDE = 62, ID_RADIO_SCSI = 63, ID_FLAG1 = 64, ID_FLAG2 = 65 };
    CToVMwareCowdPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                              FXComposite* parent, int32_t destKind);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXRadioButton* GetAdapterRadio(int i) const { return adapterRadios[i]; }
    FXCheckButton* GetFlagCheck(int i) const { return flagChecks[i]; }
    FXint GetRadioId() const { return radioId; }
};

class CToVMware3PropertyPage : public CToVMwareCowdPropertyPage {
    FXDECLARE(CToVMware3PropertyPage)
protected:
    CToVMware3PropertyPage() {}

public:
    CToVMware3PropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                           FXComposite* parent)
        : CToVMwareCowdPropertyPage(events, job, index, parent, 1)
    {}
};

class CToVMware2PropertyPage : public CToVMwareCowdPropertyPage {
    FXDECLARE(CToVMware2PropertyPage)
protected:
    CToVMware2PropertyPage() {}

public:
    CToVMware2PropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                           FXComposite* parent)
        : CToVMwareCowdPropertyPage(events, job, index, parent, 2)
    {}
};

// Pages 17 and 18: Bochs growing and sparse images (the header version list).
class CToBochsPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToBochsPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* versionLabel;
    FXListBox* versionList;
    int32_t destKind;

    CToBochsPropertyPage();

public:
    enum { ID_VERSION = 54 };
    CToBochsPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                         FXComposite* parent, int32_t destKind);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXListBox* GetVersionList() const { return versionList; }
};

class CToBochsGrowingPropertyPage : public CToBochsPropertyPage {
    FXDECLARE(CToBochsGrowingPropertyPage)
protected:
    CToBochsGrowingPropertyPage() {}

public:
    CToBochsGrowingPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                FXComposite* parent)
        : CToBochsPropertyPage(events, job, index, parent, 8)
    {}
};

class CToBochsSparsePropertyPage : public CToBochsPropertyPage {
    FXDECLARE(CToBochsSparsePropertyPage)
protected:
    CToBochsSparsePropertyPage() {}

public:
    CToBochsSparsePropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                               FXComposite* parent)
        : CToBochsPropertyPage(events, job, index, parent, 9)
    {}
};

// Page 21: VDI.
class CToVirtualBoxDynamicPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToVirtualBoxDynamicPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* variantLabel;
    FXListBox* variantList;
    FXCheckButton* fixedCheck;
    FXLabel* alignmentLabel;
    FXListBox* alignmentList;

    CToVirtualBoxDynamicPropertyPage();

public:
    enum { ID_VARIANT = 62, ID_FIXED = 63, ID_ALIGNMENT = 64 };
    CToVirtualBoxDynamicPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                     FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXListBox* GetVariantList() const { return variantList; }
    FXCheckButton* GetFixedCheck() const { return fixedCheck; }
    FXListBox* GetAlignmentList() const { return alignmentList; }
};

// Page 29: split set (partition saving): the five header values, the parts from a descriptor or
// of a size in MiB, and whether the parts are named without asking.
class CToPartitionSavingPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToPartitionSavingPropertyPage)
protected:
    FXLabel* resultLabel;
    FXTextField* valueFields[4];  // first value, cylinders, heads, sectors per track
    FXListBox* levelList;
    FXCheckButton* descriptorCheck;
    FXTextField* sizeField;
    FXButton* sizeButton;
    FXCheckButton* namesCheck;

    CToPartitionSavingPropertyPage();

public:
    enum { ID_LEVEL = 62, ID_DESCRIPTOR = 62, ID_SIZE_BUTTON = 63, ID_NAMES = 64 };
    CToPartitionSavingPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                   FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdDescriptor(FXObject*, FXSelector, void*);
    long onCmdSizeButton(FXObject*, FXSelector, void*);

    FXTextField* GetValueField(int i) const { return valueFields[i]; }
    FXTextField* GetSizeField() const { return sizeField; }
    FXCheckButton* GetDescriptorCheck() const { return descriptorCheck; }
    FXListBox* GetLevelList() const { return levelList; }
};

// Page 15: Parallels bundle: compressed (growing) or plain (preallocated) data files, and the
// size of each data file in sectors (empty: one data file).
class CToParallelsPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToParallelsPropertyPage)
protected:
    FXLabel* resultLabel;
    FXLabel* dataLabel;
    FXRadioButton* dataRadios[2];
    FXLabel* sizeLabel;
    FXTextField* sizeField;
    FXButton* sizeButton;
    FXint radioId;

    CToParallelsPropertyPage();

public:
    enum { ID_RADIO_COMPRESSED = 62, ID_RADIO_PLAIN = 63, ID_SIZE_BUTTON = 65 };
    CToParallelsPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                             FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);
    long onCmdSizeButton(FXObject*, FXSelector, void*);

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXRadioButton* GetDataRadio(int i) const { return dataRadios[i]; }
    FXTextField* GetSizeField() const { return sizeField; }
    FXint GetRadioId() const { return radioId; }
};

// Page 16: Parallels file: whether the header's disk size is written as 0.
class CToParallelsExtensiblePropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToParallelsExtensiblePropertyPage)
protected:
    FXLabel* resultLabel;
    FXCheckButton* noTotalCheck;

    CToParallelsExtensiblePropertyPage();

public:
    enum { ID_NO_TOTAL = 54 };
    CToParallelsExtensiblePropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                       FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXCheckButton* GetNoTotalCheck() const { return noTotalCheck; }
};

// Pages 22 to 28 and 30: the check alone; Next stores the destination geometry.
#define VDX_SIMPLE_DESTINATION_PAGE(ClassName)                                 \
    class ClassName : public CToSimplePropertyPage {                           \
        FXDECLARE(ClassName)                                                   \
    protected:                                                                 \
        ClassName() {}                                                         \
                                                                               \
    public:                                                                    \
        ClassName(IPropertyPageEvent* events, ConversionJob* job, FXint index, \
                  FXComposite* parent);                                        \
        virtual int CheckDestination();                                        \
        virtual int OnWizardNext();                                            \
    };

VDX_SIMPLE_DESTINATION_PAGE(CToAnex86PropertyPage)     // 22: HDI
VDX_SIMPLE_DESTINATION_PAGE(CToT98PropertyPage)        // 23: THD
VDX_SIMPLE_DESTINATION_PAGE(CToT98NextPropertyPage)    // 24: NHD
VDX_SIMPLE_DESTINATION_PAGE(CToVirtual98PropertyPage)  // 25: VHD1.00
VDX_SIMPLE_DESTINATION_PAGE(CToPC98EPropertyPage)      // 26: PC98E
VDX_SIMPLE_DESTINATION_PAGE(CToSL9821PropertyPage)     // 27: HDIM
VDX_SIMPLE_DESTINATION_PAGE(CToUnzPropertyPage)        // 28: Unz
VDX_SIMPLE_DESTINATION_PAGE(CToBetaPropertyPage)       // 30: flat raw image with ".txt"

#undef VDX_SIMPLE_DESTINATION_PAGE

// Page 19 (qcow) and page 20 (qcow2, with the cluster size): the storage mode radios and the
// key of an encrypted image.
class CToQemuQcowPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CToQemuQcowPropertyPage)
protected:
    FXLabel* resultLabel;
    FXRadioButton* modeRadios[4];
    FXLabel* keyLabel;
    FXTextField* keyField;
    FXint radioId;
    int32_t destKind;  // 10 qcow, 11 qcow2

    CToQemuQcowPropertyPage();
    FXString& KeyText();
    void EnableKey();

public:
    enum { ID_PLAIN = 62, ID_COMPRESSED = 63, ID_GROUPED = 64, ID_ENCRYPTED = 65, ID_CLUSTER = 66 };
    CToQemuQcowPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                            FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);

    FXLabel* GetResultLabel() const { return resultLabel; }
    FXRadioButton* GetModeRadio(int i) const { return modeRadios[i]; }
    FXTextField* GetKeyField() const { return keyField; }
    FXint GetRadioId() const { return radioId; }
};

class CToQemuQcow2PropertyPage : public CToQemuQcowPropertyPage {
    FXDECLARE(CToQemuQcow2PropertyPage)
protected:
    FXLabel* clusterLabel;
    FXListBox* clusterList;
    CToQemuQcow2PropertyPage();

public:
    CToQemuQcow2PropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                             FXComposite* parent);
    virtual void OnSetActive();
    virtual int OnWizardNext();
    FXListBox* GetClusterList() const { return clusterList; }
};
