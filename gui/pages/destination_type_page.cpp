// Page 7: the destination type.
#include "gui/pages/destination_type_page.h"

#include "disk/plugin.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"
#include "gui/pages/source_rules.h"

namespace {

// A list box whose items can be greyed out (the toolkit keeps its list to itself).
class CItemListBox : public FXListBox {
public:
    CItemListBox(FXComposite* parent, FXObject* target, FXSelector selector, FXint x, FXint y,
                 FXint w, FXint h)
        : FXListBox(parent, target, selector, LAYOUT_EXPLICIT | FRAME_SUNKEN | FRAME_THICK,
                    Ui_ScaleX(x), Ui_ScaleY(y), Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2)
    {}
    FXList* GetList() const { return list; }
};

}  // namespace

FXDEFMAP(CSelectDestTypePropertyPage)
CSelectDestTypePropertyPageMap[] = {
    FXMAPFUNCS(SEL_COMMAND, CSelectDestTypePropertyPage::ID_RADIO_BUILTIN,
               CSelectDestTypePropertyPage::ID_RADIO_PLUGIN,
               CSelectDestTypePropertyPage::onCmdRadio),
    FXMAPFUNCS(SEL_UPDATE, CSelectDestTypePropertyPage::ID_RADIO_BUILTIN,
               CSelectDestTypePropertyPage::ID_RADIO_PLUGIN,
               CSelectDestTypePropertyPage::onUpdRadio),
};
FXIMPLEMENT(CSelectDestTypePropertyPage, CVdxPropertyPageBase, CSelectDestTypePropertyPageMap,
            ARRAYNUMBER(CSelectDestTypePropertyPageMap))

CSelectDestTypePropertyPage::CSelectDestTypePropertyPage()
    : builtinRadio(NULL),
      builtinList(NULL),
      pluginRadio(NULL),
      pluginList(NULL),
      partitionCheck(NULL),
      currentRadio(ID_RADIO_BUILTIN),
      hasDestPlugins(false)
{}

CSelectDestTypePropertyPage::CSelectDestTypePropertyPage(IPropertyPageEvent* events,
                                                         ConversionJob* job, FXint index,
                                                         FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent),
      builtinRadio(NULL),
      builtinList(NULL),
      pluginRadio(NULL),
      pluginList(NULL),
      partitionCheck(NULL),
      currentRadio(ID_RADIO_BUILTIN),
      hasDestPlugins(false)
{
    title = Ui_MessageText(MSG_DEST_TYPE_TITLE);
    description = Ui_MessageText(MSG_DEST_TYPE_DESCRIPTION);
    Ui_CreateLabel(this, MSG_DEST_TYPE_CONVERT_TO, 1, 2, 13, 2);
    builtinRadio =
        Ui_CreateRadioButton(this, MSG_DEST_TYPE_FORMAT, this, ID_RADIO_BUILTIN, 1, 4, 8, 2);
    CItemListBox* builtin = new CItemListBox(this, this, ID_BUILTIN_LIST, 10, 4, 23, 2);
    builtinList = builtin;
    builtinList->setNumVisible(10);
    for (FXint i = 0; i < DEST_BUILTIN_COUNT; ++i) {
        builtinList->appendItem(Ui_MessageText(Destination_Row(i)->nameMessage));
        // A format this build cannot check or write is listed but cannot be chosen.
        if (!SourceRules_DestinationAvailable(i)) builtin->GetList()->disableItem(i);
    }
    pluginRadio =
        Ui_CreateRadioButton(this, MSG_DEST_TYPE_PLUGIN, this, ID_RADIO_PLUGIN, 1, 7, 8, 2);
    pluginList = Ui_CreateListBox(this, this, ID_PLUGIN_LIST, 10, 7, 23, 2);
    pluginList->setNumVisible(10);
    for (size_t i = 0; i < job->destPlugins.size(); ++i) {
        int32_t entry = job->destPlugins[i];
        FXString label;
        if (entry >= 0 && (size_t)entry < job->plugins.size()) label = job->plugins[entry].label;
        pluginList->appendItem(label);
    }
    hasDestPlugins = !job->destPlugins.empty();
    partitionCheck =
        Ui_CreateCheckButton(this, MSG_DEST_TYPE_USE_PARTITIONS, this, ID_PARTITIONS, 1, 10, 37, 2);
}

bool CSelectDestTypePropertyPage::IsBuiltinItemEnabled(FXint item) const
{
    const FXList* list = static_cast<CItemListBox*>(builtinList)->GetList();
    return item >= 0 && item < list->getNumItems() && list->isItemEnabled(item);
}

void CSelectDestTypePropertyPage::ApplyEnabling()
{
    EnableWindow(builtinList, currentRadio == ID_RADIO_BUILTIN);
    EnableWindow(pluginList, currentRadio == ID_RADIO_PLUGIN && hasDestPlugins);
}

void CSelectDestTypePropertyPage::OnSetActive()
{
    SetWizardButtons(true, true, true);
    EnableWindow(pluginRadio, hasDestPlugins);
    EnableWindow(pluginList, hasDestPlugins);
    if (job->destKind == DEST_PLUGIN) {
        currentRadio = ID_RADIO_PLUGIN;
        SetListIndex(builtinList, 0);
        SetListIndex(pluginList, job->destPluginIndex);
    } else {
        currentRadio = ID_RADIO_BUILTIN;
        SetListIndex(builtinList, job->destKind);
        if (hasDestPlugins) SetListIndex(pluginList, 0);
    }
    ApplyEnabling();

    bool mapPossible = job->sourceKind != JOB_SOURCE_NEW_DISK && job->sourceDisk != NULL &&
                       Disk_GetKind(job->sourceDisk) != DISK_KIND_SPLIT;
    EnableWindow(partitionCheck, mapPossible);
    SetCheck(partitionCheck, mapPossible && job->volumeList != NULL);
    builtinList->setFocus();
}

void CSelectDestTypePropertyPage::RefuseChoice(int message)
{
    getApp()->beep();
    ShowMessage(this, MSG_APP_NAME, message, UI_MSG_ERROR);
    builtinList->setFocus();
}

int CSelectDestTypePropertyPage::OnWizardNext()
{
    const int32_t d = currentRadio == ID_RADIO_BUILTIN ? GetListIndex(builtinList) : DEST_PLUGIN;
    if (d != DEST_PLUGIN && !IsBuiltinItemEnabled(d)) {
        RefuseChoice(MSG_DEST_TYPE_NOT_IN_BUILD);
        return -1;
    }
    if (job->sourceKind == JOB_SOURCE_NEW_DISK && SourceRules_DestinationRefusedForNewDisk(d)) {
        RefuseChoice(MSG_DEST_TYPE_NEEDS_SOURCE_DISK);
        return -1;
    }

    const bool wanted = partitionCheck->isEnabled() && GetCheck(partitionCheck);
    uint32_t known = 0;
    switch (SourceRules_ApplyPartitionChoice(job, wanted, &known)) {
    case SOURCE_PARTITIONS_BUILT:
        ShowMessageFormat(this, MSG_CAPTION_PARTITIONS, MSG_DEST_TYPE_FILE_SYSTEMS_FOUND,
                          UI_MSG_INFO, (FXlong)known);
        break;
    case SOURCE_PARTITIONS_NOTHING:
        ShowMessage(this, MSG_CAPTION_PARTITIONS, MSG_DEST_TYPE_NO_FILE_SYSTEM, UI_MSG_INFO);
        break;
    case SOURCE_PARTITIONS_FAILED:
        ShowMessage(this, MSG_CAPTION_DISK_IMAGE, MSG_DEST_TYPE_NO_PARTITIONS, UI_MSG_ERROR);
        return -1;
    default:
        break;
    }

    if (d == DEST_PLUGIN) {
        FXint k = GetListIndex(pluginList);
        PluginListEntry* entry = NULL;
        if (k >= 0 && (size_t)k < job->destPlugins.size()) {
            int32_t e = job->destPlugins[k];
            if (e >= 0 && (size_t)e < job->plugins.size()) entry = &job->plugins[e];
        }
        if (entry == NULL) {
            ShowMessage(this, MSG_APP_NAME, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
            return -1;
        }
        if (entry->module == NULL) {
            PluginModule* module = Plugin_Alloc();
            if (module != NULL) {
                Plugin_Init(module);
                if (Plugin_Load(module, entry->path.text()) != DISK_OK) {
                    Mem_Free(module);
                    module = NULL;
                }
            }
            if (module == NULL) {
                ShowMessage(this, MSG_APP_NAME, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
                return -1;
            }
            entry->module = module;
        }
        job->destPluginIndex = k;
    }

    const bool automatic = SourceRules_DestinationForcesAutoGeometry(d);
    job->geometryForcedAuto = automatic ? 1 : 0;
    job->geometryRecompute = automatic ? 1 : 0;
    job->destKind = d;

    DiskGeometry geometry = {0, 0, 0, 0, 0};
    if (job->sourceDisk != NULL) Disk_GetGeometry(job->sourceDisk, &geometry);
    job->sourceGeometry = geometry;
    job->workGeometry = geometry;
    return events->GetNextPage(index);
}

int CSelectDestTypePropertyPage::OnWizardBack()
{
    ConversionJob_ReleaseMap(job);
    return CVdxPropertyPageBase::OnWizardBack();
}

long CSelectDestTypePropertyPage::onCmdRadio(FXObject*, FXSelector selector, void*)
{
    currentRadio = (FXint)FXSELID(selector);
    ApplyEnabling();
    return 1;
}

long CSelectDestTypePropertyPage::onUpdRadio(FXObject* sender, FXSelector selector, void*)
{
    return UpdateRadio(sender, selector, currentRadio);
}
