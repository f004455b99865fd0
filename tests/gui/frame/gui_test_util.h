// Shared pieces of the GUI tests: one application per test program, the shipped catalogue,
// scheduled steps that drive modal dialogs, and screenshots into the build folder.
#pragma once

#include <fx.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/frame/app.h"
#include "support/test_support.h"

namespace guitest {

// Runs a function when a FOX timeout fires (also inside modal loops).
class Step : public FXObject {
    FXDECLARE(Step)
public:
    std::function<void()> action;
    Step() {}
    long onTimeout(FXObject*, FXSelector, void*)
    {
        std::function<void()> f = action;
        if (f) f();
        return 1;
    }
    enum { ID_RUN = 1 };
};

FXDEFMAP(Step) StepMap[] = {FXMAPFUNC(SEL_TIMEOUT, Step::ID_RUN, Step::onTimeout)};
FXIMPLEMENT(Step, FXObject, StepMap, ARRAYNUMBER(StepMap))

// The program's application object with the shipped catalogue and the default font units.
inline FXApp* App()
{
    static FXApp* app = nullptr;
    if (!app) {
        static int argc = 1;
        static char name[] = "dedezivi-test";
        static char* argv[] = {name, nullptr};
        app = new FXApp("DedeziviTest", "DidArur");
        app->init(argc, argv);
        app->create();
        std::string path = std::string(VDX_TEST_SOURCE_DIR) + "/../gui/frame/vdxmsg.txt";
        Ui_Messages().texts.clear();
        Ui_LoadMessageCatalogueFile(&Ui_Messages(), path.c_str());
        Ui_ComputeLayoutUnits(app);
    }
    return app;
}

// A main window that owns the dialogs under test.
inline FXMainWindow* Owner()
{
    static FXMainWindow* window = nullptr;
    if (!window) {
        window = new FXMainWindow(App(), "owner", NULL, NULL, DECOR_ALL, 0, 0, 200, 100);
        window->create();
    }
    return window;
}

// Runs `action` after `ms` milliseconds of event processing.
inline void After(int ms, std::function<void()> action)
{
    static std::vector<std::unique_ptr<Step>> steps;
    steps.emplace_back(new Step);
    steps.back()->action = std::move(action);
    App()->addTimeout(steps.back().get(), Step::ID_RUN, (FXuint)ms);
}

// Processes pending events for a while (outside any modal loop).
inline void Pump(int ms)
{
    bool done = false;
    After(ms, [&] { done = true; });
    while (!done) App()->runOneEvent(true);
}

// The numbers of a progress text "done / total", digits only (separators dropped).
inline uint64_t ProgressNumber(const std::string& text)
{
    uint64_t value = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}
inline uint64_t ProgressDone(const std::string& text)
{
    return ProgressNumber(text.substr(0, text.find('/')));
}
inline uint64_t ProgressTotal(const std::string& text)
{
    const size_t slash = text.find('/');
    return slash == std::string::npos ? 0 : ProgressNumber(text.substr(slash + 1));
}

// The top modal window, or NULL.
inline FXWindow* Modal() { return App()->getModalWindow(); }

// Sends a command with a selector to a window as its own widgets would.
inline void Command(FXObject* target, FXSelector id)
{
    target->handle(NULL, FXSEL(SEL_COMMAND, id), NULL);
}

// Presses and releases a key without modifiers, as the toolkit hands a window's keys to it.
inline void PressKey(FXWindow* window, FXuint key)
{
    FXEvent event;
    event.code = key;
    event.state = 0;
    event.type = SEL_KEYPRESS;
    window->handle(window, FXSEL(SEL_KEYPRESS, 0), &event);
    event.type = SEL_KEYRELEASE;
    window->handle(window, FXSEL(SEL_KEYRELEASE, 0), &event);
}

// Runs `body` once at each of the program's font sizes (9 and 12 points, given in decipoints) as
// the application's normal font, with the layout units that follow it; the stock font and its
// units are back after each run. A fatal failure in the body ends the runs.
inline void AtEachFontSize(const std::function<void(FXuint decipoints)>& body)
{
    FXFont* stock = App()->getNormalFont();
    FXFontDesc desc;
    stock->getFontDesc(desc);
    for (FXuint decipoints : {90u, 120u}) {
        desc.size = decipoints;
        FXFont* font = new FXFont(App(), desc);
        font->create();
        App()->setNormalFont(font);
        Ui_ComputeLayoutUnits(App());
        body(decipoints);
        App()->setNormalFont(stock);
        delete font;
        Ui_ComputeLayoutUnits(App());
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// Finds the first child (depth first) of a class whose text contains `part`.
template <class T>
T* FindChild(FXWindow* root, const std::string& part = std::string())
{
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
        if (w->isMemberOf(FXMETACLASS(T))) {
            T* t = static_cast<T*>(w);
            if (part.empty() || std::string(t->getText().text()).find(part) != std::string::npos)
                return t;
        }
        if (T* inner = FindChild<T>(w, part)) return inner;
    }
    return nullptr;
}

// Every label text under a window, joined by line breaks.
inline std::string LabelTexts(FXWindow* root)
{
    std::string all;
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
        if (w->isMemberOf(FXMETACLASS(FXLabel))) {
            all += static_cast<FXLabel*>(w)->getText().text();
            all += "\n";
        }
        all += LabelTexts(w);
    }
    return all;
}

// Saves a picture of a shown window as <build>/screenshots/<name>.png.
inline void Screenshot(FXWindow* window, const std::string& name)
{
    App()->forceRefresh();
    App()->repaint();
    App()->flush(true);
    std::string dir = std::string(VDX_BINARY_DIR) + "/screenshots";
    testsupport::RunCommand("mkdir -p " + testsupport::Quote(dir));
    char id[32];
    snprintf(id, sizeof id, "0x%lx", (unsigned long)window->id());
    testsupport::RunCommand("import -window " + std::string(id) + " " +
                            testsupport::Quote(dir + "/" + name + ".png") + " 2>/dev/null");
}

// The text of a widget for messages: its caption, or its class.
inline std::string WidgetName(FXWindow* w)
{
    if (w->isMemberOf(FXMETACLASS(FXLabel))) return static_cast<FXLabel*>(w)->getText().text();
    return w->getClassName();
}

// Whether a widget shows something a user reads or types into.
inline bool IsTextWidget(FXWindow* w)
{
    return (w->isMemberOf(FXMETACLASS(FXLabel)) && !static_cast<FXLabel*>(w)->getText().empty()) ||
           w->isMemberOf(FXMETACLASS(FXTextField)) || w->isMemberOf(FXMETACLASS(FXListBox));
}

// The part of a window's rectangle (in its parent's coordinates) that holds text widgets; empty
// for a composite without any.
inline bool HoldsText(FXWindow* w)
{
    if (IsTextWidget(w)) return true;
    for (FXWindow* c = w->getFirst(); c; c = c->getNext())
        if (c->shown() && HoldsText(c)) return true;
    return false;
}

// Every item of a list box's popup list fits the list without being cut.
inline void ExpectWholeListItems(FXListBox* box, const std::string& where)
{
    FXFont* font = box->getFont();
    // The popup list is as wide as the box, less its one-pixel frame and, with more items than
    // it shows, a scroll bar; an item takes 6 pixels beside its text (and 4 after an icon).
    FXint room = box->getWidth() - 2;
    if (box->getNumItems() > box->getNumVisible()) room -= 15;
    for (FXint i = 0; i < box->getNumItems(); ++i) {
        FXint width = 6 + font->getTextWidth(box->getItemText(i));
        if (box->getItemIcon(i)) width += box->getItemIcon(i)->getWidth() + 4;
        EXPECT_LE(width, room) << where << ": list item " << box->getItemText(i).text();
    }
}

// The part of a widget (in its own coordinates) that its text takes: for a label the text with
// its padding where its justification puts it, for a field or list box the whole widget.
inline void TextRect(FXWindow* w, FXint* x, FXint* y, FXint* width, FXint* height)
{
    *x = 0;
    *y = 0;
    *width = w->getWidth();
    *height = w->getHeight();
    if (!w->isMemberOf(FXMETACLASS(FXLabel))) return;
    const FXuint justify = static_cast<FXLabel*>(w)->getJustify();
    const FXint dw = FXMIN(w->getDefaultWidth(), w->getWidth());
    const FXint dh = FXMIN(w->getDefaultHeight(), w->getHeight());
    if ((justify & JUSTIFY_LEFT) && !(justify & JUSTIFY_RIGHT))
        *x = 0;
    else if ((justify & JUSTIFY_RIGHT) && !(justify & JUSTIFY_LEFT))
        *x = w->getWidth() - dw;
    else
        *x = (w->getWidth() - dw) / 2;
    if ((justify & JUSTIFY_TOP) && !(justify & JUSTIFY_BOTTOM))
        *y = 0;
    else if ((justify & JUSTIFY_BOTTOM) && !(justify & JUSTIFY_TOP))
        *y = w->getHeight() - dh;
    else
        *y = (w->getHeight() - dh) / 2;
    *width = dw;
    *height = dh;
}

// Whether a widget's text lies wholly inside each of the widget's ancestors up to `top`: what
// sticks out of one of them is cut off.
inline bool InsideAncestors(FXWindow* w, FXWindow* top)
{
    FXint rx, ry, rw, rh;
    TextRect(w, &rx, &ry, &rw, &rh);
    for (FXWindow* a = w->getParent(); a; a = a->getParent()) {
        FXint x = 0, y = 0;
        w->translateCoordinatesTo(x, y, a, rx, ry);
        if (x < 0 || y < 0 || x + rw > a->getWidth() || y + rh > a->getHeight()) return false;
        if (a == top) break;
    }
    return true;
}

inline void ExpectWholeTextsUnder(FXWindow* root, FXWindow* top, const std::string& where)
{
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
        if (!w->shown()) continue;
        if (w->isMemberOf(FXMETACLASS(FXLabel)) && !static_cast<FXLabel*>(w)->getText().empty()) {
            // A button two rows high gives up a pixel of its padding, never of its text.
            const FXint squeezable = w->isMemberOf(FXMETACLASS(FXButton))
                                         ? static_cast<FXLabel*>(w)->getPadTop() +
                                               static_cast<FXLabel*>(w)->getPadBottom()
                                         : 0;
            EXPECT_LE(w->getDefaultHeight() - squeezable, w->getHeight())
                << where << ": " << static_cast<FXLabel*>(w)->getText().text();
            EXPECT_LE(w->getDefaultWidth(), w->getWidth())
                << where << ": " << static_cast<FXLabel*>(w)->getText().text();
        }
        if (IsTextWidget(w)) {
            EXPECT_TRUE(InsideAncestors(w, top))
                << where << ": " << WidgetName(w) << " is cut by the window around it (at "
                << w->getX() << "," << w->getY() << " size " << w->getWidth() << "x"
                << w->getHeight() << ")";
        }
        if (HoldsText(w)) {
            // Clear of the text widgets beside it.
            for (FXWindow* o = w->getNext(); o; o = o->getNext()) {
                if (!o->shown() || !HoldsText(o)) continue;
                const bool apart = o->getX() >= w->getX() + w->getWidth() ||
                                   w->getX() >= o->getX() + o->getWidth() ||
                                   o->getY() >= w->getY() + w->getHeight() ||
                                   w->getY() >= o->getY() + o->getHeight();
                EXPECT_TRUE(apart)
                    << where << ": " << WidgetName(w) << " overlaps " << WidgetName(o);
            }
        }
        if (w->isMemberOf(FXMETACLASS(FXListBox))) {
            EXPECT_LE(w->getDefaultWidth(), w->getWidth()) << where << ": a list box";
            ExpectWholeListItems(static_cast<FXListBox*>(w), where);
            continue;
        }
        ExpectWholeTextsUnder(w, top, where);
    }
}

// Every label and button under `root` shows its whole text: wide and high enough for it,
// inside the windows around it, and clear of every other widget that shows text beside it;
// every list box shows its longest item, in the box and in its popup list.
inline void ExpectWholeTexts(FXWindow* root, const std::string& where)
{
    ExpectWholeTextsUnder(root, root, where);
}

}  // namespace guitest
