// Drives single wizard pages outside the wizard: a window with a switcher holding the page, an
// IPropertyPageEvent that records what the page asks and routes like the wizard, and a watcher
// that answers every message box and keeps its text.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../frame/gui_test_util.h"
#include "gui/frame/app.h"
#include "gui/job/routing.h"
#include "gui/pages/page_base.h"

namespace pagetest {

class RecordingEvents : public IPropertyPageEvent {
public:
    ConversionJob* job = nullptr;
    std::vector<std::string> log;  // "next", "prev", "B+", "N-", "C+"...
    bool next = false, back = false, cancel = false;
    int lastMessage = ROUTING_NO_MESSAGE;

    int GetNextPage(int page) override
    {
        log.push_back("next");
        int message = ROUTING_NO_MESSAGE;
        int q = Routing_GetNextPage(job, page, &message);
        lastMessage = message;
        return q;
    }
    int GetPrevPage(int page) override
    {
        log.push_back("prev");
        return Routing_GetPrevPage(job, page);
    }
    void EnableNext(bool e) override
    {
        log.push_back(e ? "N+" : "N-");
        next = e;
    }
    void EnableBack(bool e) override
    {
        log.push_back(e ? "B+" : "B-");
        back = e;
    }
    void EnableCancel(bool e) override
    {
        log.push_back(e ? "C+" : "C-");
        cancel = e;
    }
    std::string Buttons() const
    {
        return std::string(back ? "B" : "b") + (next ? "N" : "n") + (cancel ? "C" : "c");
    }
};

// Answers every message box with its first button (OK or Yes) and keeps its texts; polls from
// the event loop, so it also works inside the modal loops of wait dialogs.
class BoxWatcher {
public:
    std::vector<std::string> texts;
    std::function<bool(FXWindow*)> other;  // gets any other modal window; true when handled

    static BoxWatcher& Instance()
    {
        static BoxWatcher watcher;
        return watcher;
    }
    void Start()
    {
        texts.clear();
        other = nullptr;
        if (!armed_) {
            armed_ = true;
            Arm();
        }
    }
    // The texts seen since Start, joined.
    std::string All() const
    {
        std::string all;
        for (const std::string& t : texts) all += t + "|";
        return all;
    }
    // Whether a box showed catalogue message `n` (its first line).
    bool Saw(int n) const
    {
        std::string text = Ui_MessageText(n).text();
        std::string first = text.substr(0, text.find('\n'));
        // A placeholder is replaced in the box: look for what follows it.
        size_t placeholder = first.find("%0");
        if (placeholder != std::string::npos) first = first.substr(placeholder + 2);
        return All().find(first) != std::string::npos;
    }

private:
    bool armed_ = false;
    void Arm()
    {
        guitest::After(20, [this] { Poll(); });
    }
    void Poll()
    {
        FXWindow* modal = guitest::Modal();
        if (modal != nullptr && modal->shown()) {
            if (modal->isMemberOf(FXMETACLASS(FXMessageBox))) {
                texts.push_back(guitest::LabelTexts(modal));
                guitest::Command(modal, FXMessageBox::ID_CLICKED_OK);
            } else if (other) {
                std::function<bool(FXWindow*)> handler = other;
                if (handler(modal)) other = nullptr;
            }
        }
        Arm();
    }
};

// A window holding one page in a switcher, of the size the wizard gives its pages.
template <class Page>
class Host {
public:
    ConversionJob job;
    RecordingEvents events;
    FXMainWindow* window = nullptr;
    Page* page = nullptr;

    Host() { events.job = &job; }
    ~Host()
    {
        delete window;
        ConversionJob_Release(&job);
    }
    template <class Make>
    Page* Build(Make make)
    {
        window = new FXMainWindow(guitest::App(), "page", NULL, NULL, DECOR_ALL, 0, 0,
                                  Ui_ScaleX(42) + 18, Ui_ScaleY(19) + 12);
        FXSwitcher* switcher = new FXSwitcher(window, LAYOUT_FILL, 0, 0, 0, 0, 9, 9, 6, 6);
        page = make(switcher);
        window->create();
        window->show(PLACEMENT_SCREEN);
        guitest::App()->flush(true);
        return page;
    }
};

inline void Type(FXTextField* field, const std::string& text) { field->setText(text.c_str()); }

// The focused child of the page (the page's own focus chain).
inline FXWindow* Focused(FXComposite* page) { return page->getFocus(); }

}  // namespace pagetest
