// Shared pieces of the GUI tests: one application per test program, the shipped catalogue,
// scheduled steps that drive modal dialogs, and screenshots into the build folder.
#pragma once

#include <fx.h>
#include <gtest/gtest.h>

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
    long onTimeout(FXObject*, FXSelector, void*) {
        std::function<void()> f = action;
        if (f) f();
        return 1;
    }
    enum { ID_RUN = 1 };
};

FXDEFMAP(Step) StepMap[] = {FXMAPFUNC(SEL_TIMEOUT, Step::ID_RUN, Step::onTimeout)};
FXIMPLEMENT(Step, FXObject, StepMap, ARRAYNUMBER(StepMap))

// The program's application object with the shipped catalogue and the default font units.
inline FXApp* App() {
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
inline FXMainWindow* Owner() {
    static FXMainWindow* window = nullptr;
    if (!window) {
        window = new FXMainWindow(App(), "owner", NULL, NULL, DECOR_ALL, 0, 0, 200, 100);
        window->create();
    }
    return window;
}

// Runs `action` after `ms` milliseconds of event processing.
inline void After(int ms, std::function<void()> action) {
    static std::vector<std::unique_ptr<Step>> steps;
    steps.emplace_back(new Step);
    steps.back()->action = std::move(action);
    App()->addTimeout(steps.back().get(), Step::ID_RUN, (FXuint)ms);
}

// Processes pending events for a while (outside any modal loop).
inline void Pump(int ms) {
    bool done = false;
    After(ms, [&] { done = true; });
    while (!done) App()->runOneEvent(true);
}

// The top modal window, or NULL.
inline FXWindow* Modal() { return App()->getModalWindow(); }

// Sends a command with a selector to a window as its own widgets would.
inline void Command(FXObject* target, FXSelector id) {
    target->handle(NULL, FXSEL(SEL_COMMAND, id), NULL);
}

// Presses and releases a key without modifiers, as the toolkit hands a window's keys to it.
inline void PressKey(FXWindow* window, FXuint key) {
    FXEvent event;
    event.code = key;
    event.state = 0;
    event.type = SEL_KEYPRESS;
    window->handle(window, FXSEL(SEL_KEYPRESS, 0), &event);
    event.type = SEL_KEYRELEASE;
    window->handle(window, FXSEL(SEL_KEYRELEASE, 0), &event);
}

// Finds the first child (depth first) of a class whose text contains `part`.
template <class T>
T* FindChild(FXWindow* root, const std::string& part = std::string()) {
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
inline std::string LabelTexts(FXWindow* root) {
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
inline void Screenshot(FXWindow* window, const std::string& name) {
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

// Every label and button under `root` shows its whole text, and every list box its longest
// item.
inline void ExpectWholeTexts(FXWindow* root, const std::string& where) {
    for (FXWindow* w = root->getFirst(); w; w = w->getNext()) {
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
        if (w->isMemberOf(FXMETACLASS(FXListBox))) {
            EXPECT_LE(w->getDefaultWidth(), w->getWidth()) << where << ": a list box";
            continue;
        }
        ExpectWholeTexts(w, where);
    }
}

}  // namespace guitest
