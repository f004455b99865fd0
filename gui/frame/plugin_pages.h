// Option pages that a source plug-in builds while it opens a disk: a host dialog with two
// pages, 128 widget slots and a table of host functions the plug-in calls to create widgets,
// read and change them and end the dialog, plus the runner the plug-in reaches through the
// host dialogs record.
//
// Every function of the table runs on the GUI thread (from the build function or from the
// handlers the dialog calls); the runner itself may be called on the open's worker thread and
// then runs the dialog on the GUI thread through the wait dialog that owns it.
#pragma once

#include <fx.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "gui/frame/dialogs.h"

enum : int {
    PLUGIN_PAGE_COUNT = 2,
    PLUGIN_PAGE_SLOTS = 128,
    PLUGIN_PAGE_WIDTH = 42,  // layout units
    PLUGIN_PAGE_HEIGHT = 40,
    PLUGIN_PAGE_FIRST_ID = 62  // selector of slot 0; slot n sends 62 + n
};

class CWaitDialog;
typedef int (*UiGuiCall)(uint64_t value);

// ---- Host records -------------------------------------------------------------------------------
// The open-progress record handed to the general open behind the wait dialog: whether the user
// still waits, and a way to run a function on the GUI thread.
struct OpenProgressRecord {
    bool (*queryRunning)(void* ignored1, void* ignored2, void* user);
    void* queryUser;
    int (*callOnGui)(UiGuiCall function, uint64_t value, void* user);
    void* callUser;
};

// The dialogs a source plug-in may ask for while it opens a disk; the owner is the wait dialog.
struct PluginHostDialogs {
    void* owner;
    int (*fileSelector)(void* owner, void* fill, void* out, void* fillArgument);
    void* user;
    int (*pageDialog)(void* owner, int pageCount, int width, int height, void* build,
                      void* buildArgument);
};

// The record handed to a plug-in's extended opener: the open-progress record followed by a
// pointer to the dialogs record. Every field is pointer-sized, without gaps.
struct PluginHostCallbacks {
    OpenProgressRecord progress;
    PluginHostDialogs* dialogs;
};
static_assert(sizeof(OpenProgressRecord) == 4 * sizeof(void*), "open progress layout");
static_assert(offsetof(OpenProgressRecord, callUser) == 3 * sizeof(void*), "open progress layout");
static_assert(sizeof(PluginHostCallbacks) == 5 * sizeof(void*), "host callback layout");
static_assert(offsetof(PluginHostCallbacks, dialogs) == 4 * sizeof(void*), "host callback layout");
static_assert(sizeof(PluginHostDialogs) == 4 * sizeof(void*), "host dialog layout");
static_assert(offsetof(PluginHostDialogs, pageDialog) == 3 * sizeof(void*), "host dialog layout");

// The bridges behind the records (user = the wait dialog): whether the user has not cancelled,
// and function(value) run on the GUI thread. On the GUI thread both answer directly.
bool Ui_PluginQueryRunning(void* ignored1, void* ignored2, void* waitDialog);
int Ui_PluginCallOnGuiThread(UiGuiCall function, uint64_t value, void* waitDialog);

// ---- Option pages ---------------------------------------------------------------------------------
typedef void (*PluginPageCommandFn)(int slot, uint64_t value);
typedef void (*PluginPageEndFn)(void* user);

// The table handed to the build function: the context (the dialog), then 21 host functions.
// Every field is pointer-sized and the fields follow each other without gaps.
struct PluginPageTable {
    void* context;
    int (*createLabel)(void* context, int page, int slot, int x, int y, int w, int h,
                       const char* text);
    int (*createTextField)(void* context, int page, int slot, int x, int y, int w, int h);
    int (*createNumberField)(void* context, int page, int slot, int x, int y, int w, int h);
    int (*createButton)(void* context, int page, int slot, int x, int y, int w, int h,
                        const char* text);
    int (*createAcceptButton)(void* context, int page, int slot, int x, int y, int w, int h,
                              const char* text);
    int (*createCancelButton)(void* context, int page, int slot, int x, int y, int w, int h,
                              const char* text);
    int (*createRadioButton)(void* context, int page, int slot, int x, int y, int w, int h,
                             const char* text);
    int (*createCheckButton)(void* context, int page, int slot, int x, int y, int w, int h,
                             const char* text);
    int (*createListBox)(void* context, int page, int slot, int x, int y, int w, int h);
    int (*setText)(void* context, int slot, const char* text);
    int (*enable)(void* context, int slot, bool enable);
    int (*addListItem)(void* context, int slot, const char* text, void* data);
    int (*getListSelection)(void* context, int slot, int* index, void** data);
    int (*getRadioSelection)(void* context, int group, int* slot);
    int (*setCommandHandler)(void* context, int slot, PluginPageCommandFn function, uint64_t value);
    int (*setAcceptHandler)(void* context, PluginPageEndFn function, void* user);
    int (*setRadioGroup)(void* context, int slot, int group);
    int (*setCancelHandler)(void* context, PluginPageEndFn function, void* user);
    int (*showPage)(void* context, int page);
    int (*endAccept)(void* context);
    int (*endCancel)(void* context);
};
static_assert(sizeof(PluginPageTable) == 22 * sizeof(void*), "page table layout");
static_assert(offsetof(PluginPageTable, createLabel) == 1 * sizeof(void*), "page table layout");
static_assert(offsetof(PluginPageTable, setText) == 10 * sizeof(void*), "page table layout");
static_assert(offsetof(PluginPageTable, endCancel) == 21 * sizeof(void*), "page table layout");

typedef int (*PluginPageBuildFn)(PluginPageTable* table, void* argument);

// The page functions: -207 (DISK_ERR_ARG) for a page other than 0 or 1, a slot outside 0..127,
// an empty slot or a widget of the wrong kind, and missing out pointers; else 0.
int PluginPage_CreateLabel(void* context, int page, int slot, int x, int y, int w, int h,
                           const char* text);
int PluginPage_CreateTextField(void* context, int page, int slot, int x, int y, int w, int h);
int PluginPage_CreateNumberField(void* context, int page, int slot, int x, int y, int w, int h);
int PluginPage_CreateButton(void* context, int page, int slot, int x, int y, int w, int h,
                            const char* text);
int PluginPage_CreateAcceptButton(void* context, int page, int slot, int x, int y, int w, int h,
                                  const char* text);
int PluginPage_CreateCancelButton(void* context, int page, int slot, int x, int y, int w, int h,
                                  const char* text);
int PluginPage_CreateRadioButton(void* context, int page, int slot, int x, int y, int w, int h,
                                 const char* text);
int PluginPage_CreateCheckButton(void* context, int page, int slot, int x, int y, int w, int h,
                                 const char* text);
int PluginPage_CreateListBox(void* context, int page, int slot, int x, int y, int w, int h);
// Labels, buttons, radio and check buttons.
int PluginPage_SetText(void* context, int slot, const char* text);
int PluginPage_Enable(void* context, int slot, bool enable);
int PluginPage_AddListItem(void* context, int slot, const char* text, void* data);
// The current item and its data; an empty list answers index -1 and data NULL.
int PluginPage_GetListSelection(void* context, int slot, int* index, void** data);
// -207 when the group has no selection.
int PluginPage_GetRadioSelection(void* context, int group, int* slot);
// The first handler registered for a slot is the one called.
int PluginPage_SetCommandHandler(void* context, int slot, PluginPageCommandFn function,
                                 uint64_t value);
int PluginPage_SetAcceptHandler(void* context, PluginPageEndFn function, void* user);
// A radio button joins a group once; the first one registered in a group starts selected.
int PluginPage_SetRadioGroup(void* context, int slot, int group);
int PluginPage_SetCancelHandler(void* context, PluginPageEndFn function, void* user);
int PluginPage_ShowPage(void* context, int page);
int PluginPage_EndAccept(void* context);
int PluginPage_EndCancel(void* context);

class CPluginDiskPageDialog : public CNDialogBase {
    FXDECLARE(CPluginDiskPageDialog)
public:
    int buildResult;
    PluginPageTable table;
    enum WidgetKind {
        KIND_NONE,
        KIND_LABEL,
        KIND_TEXT,
        KIND_BUTTON,
        KIND_RADIO,
        KIND_CHECK,
        KIND_LIST
    };

protected:
    struct Handler {
        PluginPageCommandFn function;
        uint64_t value;
    };
    FXSwitcher* switcher;
    int pageCount;
    FXPacker* pages[PLUGIN_PAGE_COUNT];
    FXWindow* slots[PLUGIN_PAGE_SLOTS];
    WidgetKind kinds[PLUGIN_PAGE_SLOTS];
    std::vector<Handler> handlers;
    std::map<int, size_t> handlerOfSlot;
    std::map<int, int> groupOfSlot;
    std::map<int, int> selectedOfGroup;
    PluginPageEndFn acceptFunction;
    void* acceptUser;
    PluginPageEndFn cancelFunction;
    void* cancelUser;
    CPluginDiskPageDialog();

public:
    // The page count and size asked for are not used: two pages of 42 x 40 layout units.
    CPluginDiskPageDialog(FXWindow* owner, int pageCount, int width, int height,
                          PluginPageBuildFn build, void* buildArgument);

    // Slot access for the table functions; NULL for a bad page or slot.
    FXPacker* Page(int page) const;
    bool SlotInRange(int slot) const { return slot >= 0 && slot < PLUGIN_PAGE_SLOTS; }
    FXWindow* Widget(int slot) const { return SlotInRange(slot) ? slots[slot] : NULL; }
    int Store(int slot, FXWindow* widget, WidgetKind kind);
    bool IsKind(int slot, WidgetKind kind) const
    {
        return SlotInRange(slot) && slots[slot] && kinds[slot] == kind;
    }
    bool HasText(int slot) const;
    int AddHandler(int slot, PluginPageCommandFn function, uint64_t value);
    int JoinGroup(int slot, int group);
    int GroupSelection(int group, int* slot) const;
    void SetAccept(PluginPageEndFn function, void* user)
    {
        acceptFunction = function;
        acceptUser = user;
    }
    void SetCancel(PluginPageEndFn function, void* user)
    {
        cancelFunction = function;
        cancelUser = user;
    }
    void ShowPage(int page)
    {
        switcher->setCurrent(page);
        if (switcher->id()) switcher->layout();  // shown at once, also inside a handler
    }
    void End(FXuint code);
    FXint CurrentPage() const { return switcher->getCurrent(); }

    long onCmdAccept(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
    long onCmdWidget(FXObject*, FXSelector, void*);
    long onUpdWidget(FXObject*, FXSelector, void*);
};

// Builds the dialog and calls build(table, argument): a non-zero build result is answered at
// once. Otherwise page 0 is shown, the dialog runs at the owner's centre, and the answer is 0
// when it ended with 61, else 1. Called on another thread with a CWaitDialog as the owner, the
// whole run goes to the GUI thread through the wait dialog. -207 without an owner or build
// function.
int Ui_RunPluginPageDialog(void* owner, int pageCount, int width, int height, void* build,
                           void* buildArgument);
