// The plug-in option-page dialog and its table of host functions.
#include "gui/frame/plugin_pages.h"

#include "disk/disk.h"
#include "gui/frame/app.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/widgets.h"

namespace {

const int kBadArgument = DISK_ERR_ARG;

CPluginDiskPageDialog* Dialog(void* context)
{
    return static_cast<CPluginDiskPageDialog*>(context);
}

FXString Text(const char* text) { return FXString(text ? text : ""); }

}  // namespace

bool Ui_PluginQueryRunning(void*, void*, void* waitDialog)
{
    return waitDialog != NULL && CWaitDialog::QueryRunning(static_cast<CWaitDialog*>(waitDialog));
}

int Ui_PluginCallOnGuiThread(UiGuiCall function, uint64_t value, void* waitDialog)
{
    if (waitDialog == NULL) return DISK_ERR_ARG;
    return CWaitDialog::CallOnGuiThread(function, value, static_cast<CWaitDialog*>(waitDialog));
}

// ---- Table functions ----------------------------------------------------------------------------
int PluginPage_CreateLabel(void* context, int page, int slot, int x, int y, int w, int h,
                           const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot, Ui_CreateLeftLabelText(d->Page(page), Text(text), x, y, w, h),
                    CPluginDiskPageDialog::KIND_LABEL);
}

int PluginPage_CreateTextField(void* context, int page, int slot, int x, int y, int w, int h)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot, Ui_CreateTextField(d->Page(page), x, y, w, h),
                    CPluginDiskPageDialog::KIND_TEXT);
}

int PluginPage_CreateNumberField(void* context, int page, int slot, int x, int y, int w, int h)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot, Ui_CreateNumberField(d->Page(page), x, y, w, h),
                    CPluginDiskPageDialog::KIND_TEXT);
}

int PluginPage_CreateButton(void* context, int page, int slot, int x, int y, int w, int h,
                            const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(
        slot,
        Ui_CreateButtonText(d->Page(page), Text(text), d, PLUGIN_PAGE_FIRST_ID + slot, x, y, w, h),
        CPluginDiskPageDialog::KIND_BUTTON);
}

int PluginPage_CreateAcceptButton(void* context, int page, int slot, int x, int y, int w, int h,
                                  const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(
        slot, Ui_CreateDefaultButtonText(d->Page(page), Text(text), d, UI_ID_ACCEPT, x, y, w, h),
        CPluginDiskPageDialog::KIND_BUTTON);
}

int PluginPage_CreateCancelButton(void* context, int page, int slot, int x, int y, int w, int h,
                                  const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    FXButton* b = Ui_CreateButtonText(d->Page(page), Text(text), d, UI_ID_CANCEL, x, y, w, h);
    b->setButtonStyle(b->getButtonStyle() | BUTTON_DEFAULT);
    return d->Store(slot, b, CPluginDiskPageDialog::KIND_BUTTON);
}

int PluginPage_CreateRadioButton(void* context, int page, int slot, int x, int y, int w, int h,
                                 const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot,
                    Ui_CreateRadioButtonText(d->Page(page), Text(text), d,
                                             PLUGIN_PAGE_FIRST_ID + slot, x, y, w, h),
                    CPluginDiskPageDialog::KIND_RADIO);
}

int PluginPage_CreateCheckButton(void* context, int page, int slot, int x, int y, int w, int h,
                                 const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot,
                    Ui_CreateCheckButtonText(d->Page(page), Text(text), d,
                                             PLUGIN_PAGE_FIRST_ID + slot, x, y, w, h),
                    CPluginDiskPageDialog::KIND_CHECK);
}

int PluginPage_CreateListBox(void* context, int page, int slot, int x, int y, int w, int h)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page) || !d->SlotInRange(slot)) return kBadArgument;
    return d->Store(slot,
                    Ui_CreateListBox(d->Page(page), d, PLUGIN_PAGE_FIRST_ID + slot, x, y, w, h),
                    CPluginDiskPageDialog::KIND_LIST);
}

int PluginPage_SetText(void* context, int slot, const char* text)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->HasText(slot)) return kBadArgument;
    static_cast<FXLabel*>(d->Widget(slot))->setText(Text(text));
    return 0;
}

int PluginPage_Enable(void* context, int slot, bool enable)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Widget(slot)) return kBadArgument;
    if (enable)
        d->Widget(slot)->enable();
    else
        d->Widget(slot)->disable();
    return 0;
}

int PluginPage_AddListItem(void* context, int slot, const char* text, void* data)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->IsKind(slot, CPluginDiskPageDialog::KIND_LIST)) return kBadArgument;
    FXListBox* list = static_cast<FXListBox*>(d->Widget(slot));
    list->appendItem(Text(text), NULL, data);
    list->setNumVisible(list->getNumItems() < 10 ? list->getNumItems() : 10);
    return 0;
}

int PluginPage_GetListSelection(void* context, int slot, int* index, void** data)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !index || !data || !d->IsKind(slot, CPluginDiskPageDialog::KIND_LIST))
        return kBadArgument;
    FXListBox* list = static_cast<FXListBox*>(d->Widget(slot));
    const FXint current = list->getNumItems() > 0 ? list->getCurrentItem() : -1;
    // The toolkit aborts on the data of a missing item.
    if (current < 0 || current >= list->getNumItems()) {
        *index = -1;
        *data = NULL;
        return 0;
    }
    *index = current;
    *data = list->getItemData(current);
    return 0;
}

int PluginPage_GetRadioSelection(void* context, int group, int* slot)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !slot) return kBadArgument;
    return d->GroupSelection(group, slot);
}

int PluginPage_SetCommandHandler(void* context, int slot, PluginPageCommandFn function,
                                 uint64_t value)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Widget(slot)) return kBadArgument;
    return d->AddHandler(slot, function, value);
}

int PluginPage_SetAcceptHandler(void* context, PluginPageEndFn function, void* user)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d) return kBadArgument;
    d->SetAccept(function, user);
    return 0;
}

int PluginPage_SetRadioGroup(void* context, int slot, int group)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->IsKind(slot, CPluginDiskPageDialog::KIND_RADIO)) return kBadArgument;
    return d->JoinGroup(slot, group);
}

int PluginPage_SetCancelHandler(void* context, PluginPageEndFn function, void* user)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d) return kBadArgument;
    d->SetCancel(function, user);
    return 0;
}

int PluginPage_ShowPage(void* context, int page)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d || !d->Page(page)) return kBadArgument;
    d->ShowPage(page);
    return 0;
}

int PluginPage_EndAccept(void* context)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d) return kBadArgument;
    d->End(UI_RESULT_ACCEPT);
    return 0;
}

int PluginPage_EndCancel(void* context)
{
    CPluginDiskPageDialog* d = Dialog(context);
    if (!d) return kBadArgument;
    d->End(UI_RESULT_CANCEL);
    return 0;
}

// ---- Dialog ---------------------------------------------------------------------------------------
FXDEFMAP(CPluginDiskPageDialog)
CPluginDiskPageDialogMap[] = {
    FXMAPFUNC(SEL_COMMAND, UI_ID_ACCEPT, CPluginDiskPageDialog::onCmdAccept),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CPluginDiskPageDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CPluginDiskPageDialog::onCmdCancel),
    FXMAPFUNCS(SEL_COMMAND, PLUGIN_PAGE_FIRST_ID, PLUGIN_PAGE_FIRST_ID + PLUGIN_PAGE_SLOTS - 1,
               CPluginDiskPageDialog::onCmdWidget),
    FXMAPFUNCS(SEL_UPDATE, PLUGIN_PAGE_FIRST_ID, PLUGIN_PAGE_FIRST_ID + PLUGIN_PAGE_SLOTS - 1,
               CPluginDiskPageDialog::onUpdWidget),
};
FXIMPLEMENT(CPluginDiskPageDialog, CNDialogBase, CPluginDiskPageDialogMap,
            ARRAYNUMBER(CPluginDiskPageDialogMap))

CPluginDiskPageDialog::CPluginDiskPageDialog()
    : buildResult(0),
      table(),
      switcher(NULL),
      pageCount(0),
      pages(),
      slots(),
      kinds(),
      acceptFunction(NULL),
      acceptUser(NULL),
      cancelFunction(NULL),
      cancelUser(NULL)
{}

CPluginDiskPageDialog::CPluginDiskPageDialog(FXWindow* owner, int, int, int,
                                             PluginPageBuildFn build, void* buildArgument)
    : CNDialogBase(owner, "TEST_NAME",
                   DECOR_TITLE | DECOR_CLOSE | DECOR_BORDER | LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT,
                   0, 0, Ui_ScaleX(PLUGIN_PAGE_WIDTH), Ui_ScaleY(PLUGIN_PAGE_HEIGHT), 0, 0, 0, 0, 0,
                   0),
      buildResult(0),
      table(),
      pageCount(PLUGIN_PAGE_COUNT),
      pages(),
      slots(),
      kinds(),
      acceptFunction(NULL),
      acceptUser(NULL),
      cancelFunction(NULL),
      cancelUser(NULL)
{
    handlers.reserve(16);
    switcher = new FXSwitcher(this, LAYOUT_FILL, 0, 0, 0, 0, 0, 0, 0, 0);
    for (int i = 0; i < PLUGIN_PAGE_COUNT; ++i)
        pages[i] = new FXPacker(switcher, LAYOUT_FILL, 0, 0, 0, 0, 4, 4, 4, 4, 4, 4);
    table.context = this;
    table.createLabel = PluginPage_CreateLabel;
    table.createTextField = PluginPage_CreateTextField;
    table.createNumberField = PluginPage_CreateNumberField;
    table.createButton = PluginPage_CreateButton;
    table.createAcceptButton = PluginPage_CreateAcceptButton;
    table.createCancelButton = PluginPage_CreateCancelButton;
    table.createRadioButton = PluginPage_CreateRadioButton;
    table.createCheckButton = PluginPage_CreateCheckButton;
    table.createListBox = PluginPage_CreateListBox;
    table.setText = PluginPage_SetText;
    table.enable = PluginPage_Enable;
    table.addListItem = PluginPage_AddListItem;
    table.getListSelection = PluginPage_GetListSelection;
    table.getRadioSelection = PluginPage_GetRadioSelection;
    table.setCommandHandler = PluginPage_SetCommandHandler;
    table.setAcceptHandler = PluginPage_SetAcceptHandler;
    table.setRadioGroup = PluginPage_SetRadioGroup;
    table.setCancelHandler = PluginPage_SetCancelHandler;
    table.showPage = PluginPage_ShowPage;
    table.endAccept = PluginPage_EndAccept;
    table.endCancel = PluginPage_EndCancel;
    if (build) buildResult = build(&table, buildArgument);
}

FXPacker* CPluginDiskPageDialog::Page(int page) const
{
    return page >= 0 && page < pageCount ? pages[page] : NULL;
}

int CPluginDiskPageDialog::Store(int slot, FXWindow* widget, WidgetKind kind)
{
    if (!SlotInRange(slot) || !widget) return kBadArgument;
    // A slot created again names the new widget; it leaves any radio group it was in.
    if (slots[slot] && kinds[slot] == KIND_RADIO) {
        std::map<int, int>::iterator g = groupOfSlot.find(slot);
        if (g != groupOfSlot.end()) {
            std::map<int, int>::iterator s = selectedOfGroup.find(g->second);
            if (s != selectedOfGroup.end() && s->second == slot) selectedOfGroup.erase(s);
            groupOfSlot.erase(g);
        }
    }
    slots[slot] = widget;
    kinds[slot] = kind;
    if (shown() || id()) widget->create();
    return 0;
}

bool CPluginDiskPageDialog::HasText(int slot) const
{
    if (!SlotInRange(slot) || !slots[slot]) return false;
    const WidgetKind k = kinds[slot];
    return k == KIND_LABEL || k == KIND_BUTTON || k == KIND_RADIO || k == KIND_CHECK;
}

int CPluginDiskPageDialog::AddHandler(int slot, PluginPageCommandFn function, uint64_t value)
{
    if (!SlotInRange(slot)) return kBadArgument;
    if (handlerOfSlot.count(slot)) return 0;  // the first registration stays
    Handler h = {function, value};
    handlers.push_back(h);
    handlerOfSlot[slot] = handlers.size() - 1;
    return 0;
}

int CPluginDiskPageDialog::JoinGroup(int slot, int group)
{
    if (groupOfSlot.count(slot)) return 0;
    groupOfSlot[slot] = group;
    if (!selectedOfGroup.count(group)) selectedOfGroup[group] = slot;
    return 0;
}

int CPluginDiskPageDialog::GroupSelection(int group, int* slot) const
{
    std::map<int, int>::const_iterator s = selectedOfGroup.find(group);
    if (s == selectedOfGroup.end()) return kBadArgument;
    *slot = s->second;
    return 0;
}

void CPluginDiskPageDialog::End(FXuint code)
{
    getApp()->stopModal(this, code);
    hide();
}

long CPluginDiskPageDialog::onCmdAccept(FXObject*, FXSelector, void*)
{
    // Without a handler of its own the dialog ends as accepted.
    if (acceptFunction)
        acceptFunction(acceptUser);
    else
        End(UI_RESULT_ACCEPT);
    return 1;
}

long CPluginDiskPageDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    if (cancelFunction)
        cancelFunction(cancelUser);
    else
        End(UI_RESULT_CANCEL);
    return 1;
}

long CPluginDiskPageDialog::onCmdWidget(FXObject*, FXSelector sel, void*)
{
    const int slot = (int)FXSELID(sel) - PLUGIN_PAGE_FIRST_ID;
    if (!SlotInRange(slot)) return 1;
    std::map<int, int>::const_iterator g = groupOfSlot.find(slot);
    if (g != groupOfSlot.end()) selectedOfGroup[g->second] = slot;
    std::map<int, size_t>::const_iterator h = handlerOfSlot.find(slot);
    if (h != handlerOfSlot.end()) {
        const Handler handler = handlers[h->second];
        if (handler.function) handler.function(slot, handler.value);
    }
    return 1;
}

long CPluginDiskPageDialog::onUpdWidget(FXObject* sender, FXSelector sel, void*)
{
    const int slot = (int)FXSELID(sel) - PLUGIN_PAGE_FIRST_ID;
    std::map<int, int>::const_iterator g = groupOfSlot.find(slot);
    if (g == groupOfSlot.end() || !sender) return 0;
    std::map<int, int>::const_iterator s = selectedOfGroup.find(g->second);
    const bool checked = s != selectedOfGroup.end() && s->second == slot;
    sender->handle(this, FXSEL(SEL_COMMAND, checked ? ID_CHECK : ID_UNCHECK), NULL);
    return 1;
}

// ---- Runner -------------------------------------------------------------------------------------
namespace {

struct PageRun {
    FXWindow* owner;
    int pageCount, width, height;
    PluginPageBuildFn build;
    void* argument;
};

int RunPageDialogHere(uint64_t value)
{
    PageRun* run = (PageRun*)(uintptr_t)value;
    CPluginDiskPageDialog dialog(run->owner, run->pageCount, run->width, run->height, run->build,
                                 run->argument);
    if (dialog.buildResult != 0) return dialog.buildResult;
    dialog.ShowPage(0);
    return dialog.execute(PLACEMENT_OWNER) == UI_RESULT_ACCEPT ? 0 : 1;
}

}  // namespace

int Ui_RunPluginPageDialog(void* owner, int pageCount, int width, int height, void* build,
                           void* buildArgument)
{
    if (!owner || !build) return DISK_ERR_ARG;
    FXWindow* window = static_cast<FXWindow*>(owner);
    PageRun run = {
        window,       pageCount, width, height, reinterpret_cast<PluginPageBuildFn>(build),
        buildArgument};
    // The wait dialog runs it on the GUI thread, directly when this is the GUI thread.
    if (window->isMemberOf(FXMETACLASS(CWaitDialog)))
        return CWaitDialog::CallOnGuiThread(RunPageDialogHere, (uint64_t)(uintptr_t)&run,
                                            static_cast<CWaitDialog*>(window));
    return RunPageDialogHere((uint64_t)(uintptr_t)&run);
}
