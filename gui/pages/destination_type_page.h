// Page 7 of the wizard: the destination format, one of the 22 built-in kinds or a destination
// plug-in; whether the source's partitions decide which sectors are copied (a used-sector map);
// and the source geometry that the later pages start from.
#pragma once

#include <fx.h>

#include "gui/pages/page_base.h"

class CSelectDestTypePropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CSelectDestTypePropertyPage)
protected:
    FXRadioButton* builtinRadio;
    FXListBox* builtinList;
    FXRadioButton* pluginRadio;
    FXListBox* pluginList;
    FXCheckButton* partitionCheck;
    FXint currentRadio;  // ID_RADIO_BUILTIN or ID_RADIO_PLUGIN
    bool hasDestPlugins;

    CSelectDestTypePropertyPage();
    void ApplyEnabling();
    // Refuses a choice: the bell rings and the built-in list gets the focus.
    // Rings the bell, says why (the message) and puts the focus back on the list.
    void RefuseChoice(int message);

public:
    enum {
        ID_RADIO_BUILTIN = 62,
        ID_RADIO_PLUGIN = 63,
        ID_BUILTIN_LIST = 64,
        ID_PLUGIN_LIST = 65,
        ID_PARTITIONS = 66
    };

    CSelectDestTypePropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                                FXComposite* parent);

    virtual void OnSetActive();
    virtual int OnWizardNext();
    // Releases a used-sector map built here, then the wizard's previous page.
    virtual int OnWizardBack();

    long onCmdRadio(FXObject*, FXSelector, void*);
    long onUpdRadio(FXObject*, FXSelector, void*);

    FXint GetCurrentRadio() const { return currentRadio; }
    FXListBox* GetBuiltinList() const { return builtinList; }
    FXListBox* GetPluginList() const { return pluginList; }
    FXCheckButton* GetPartitionCheck() const { return partitionCheck; }
    FXRadioButton* GetPluginRadio() const { return pluginRadio; }
    // Whether item i of the built-in list can be chosen.
    bool IsBuiltinItemEnabled(FXint item) const;
};
