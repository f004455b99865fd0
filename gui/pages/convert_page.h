// The convert page: runs the conversion or the in-place trim on its own worker thread and
// shows its progress, with a working stop question.
#pragma once

#include <fx.h>

#include <cstdint>

#include "gui/frame/dialogs.h"
#include "gui/job/convert_run.h"
#include "gui/pages/page_base.h"

// A question for a part file of a split set, on the worker's stack while it waits.
struct ConvertPartRequest {
    uint32_t flag;       // non-zero: the previous answer could not be used (message 310 first)
    uint32_t partIndex;  // counted from 0
    char path[4096];     // UTF-8, terminated: the suggested path, and the chosen one on return
};

// Page 33. OnSetActive starts the run; while it runs Back and Next are off and Cancel asks
// whether to stop. The worker reports progress through a blocking handshake: it raises a
// signal with a request on its own stack and waits on the page's condition until the GUI
// thread has answered. The end is posted with the result value itself; the end handler joins
// the worker and shows message 305, 306 or 307.
class CConvertPropertyPage : public CVdxPropertyPageBase {
    FXDECLARE(CConvertPropertyPage)
public:
    class CWorkerThread : public FXThread {
    public:
        typedef FXint (*Function)(void* argument);
        CWorkerThread(Function function, void* argument) : function(function), argument(argument) {}
        virtual FXint run();
        virtual ~CWorkerThread();

    private:
        Function function;
        void* argument;
    };

protected:
    CWorkerThread worker;
    bool running;       // the run may go on: the answer to every progress post
    bool questionOpen;  // the stop question is on screen
    FXGUISignal* signalDone;
    FXGUISignal* signalProgress;
    FXGUISignal* signalSourcePart;
    FXGUISignal* signalOutputPart;
    FXMutex mutex;
    FXint answered;
    FXCondition condition;
    CYesNoDialog* stopQuestion;
    FXint result;
    FXString groupSeparator;
    FXint groupSize;
    uint64_t progressClock;
    FXLabel* statusLabel;
    FXLabel* progressLabel;
    FXProgressBar* progressBar;
    ConvertRunContext context;
    bool workerActive;  // started and not joined yet
    bool closing;       // the page is being destroyed: every question is answered with stop

    CConvertPropertyPage();
    static FXint WorkerBody(void* page);
    // Worker side of the handshake: raises the signal with the request and waits; false (the
    // request unanswered) when the page is closing.
    bool Ask(FXGUISignal* signal, void* request);
    bool AskPartWithSignal(ConvertPartRequest* request, FXGUISignal* signal);
    void ClosePartQuestion();
    long AnswerPart(void* ptr, bool sourcePart);
    // Starts the worker thread; false when the system refuses a new thread.
    virtual bool StartWorker();
    // The end of a run: buttons on, status text for the result, the bar full or empty.
    void ShowEnd();

public:
    enum {
        ID_SIGNAL_DONE = 62,
        ID_SIGNAL_PROGRESS = 63,
        ID_SIGNAL_SOURCE_PART = 64,
        ID_SIGNAL_OUTPUT_PART = 65,
        ID_CANCEL_RUN = 66
    };
    CConvertPropertyPage(IPropertyPageEvent* events, ConversionJob* job, FXint index,
                         FXComposite* parent);
    virtual ~CConvertPropertyPage();

    virtual void OnSetActive();
    virtual int OnWizardNext();
    virtual int OnWizardBack();
    virtual bool QueryCancel();

    // The progress callback of the run (worker side; user = the page).
    static bool OnProgress(uint64_t done, uint64_t total, void* page);
    // The part questions of a split source (the reader asks where a part lies) and of a split
    // destination (the writer asks where a part goes); true with request->path set when the
    // user chose a path that fits (worker side; user = the page).
    static bool OnSourcePart(ConvertPartRequest* request, void* page);
    static bool OnOutputPart(ConvertPartRequest* request, void* page);

    long onCmdCancel(FXObject*, FXSelector, void*);
    long onSignalDone(FXObject*, FXSelector, void*);
    long onSignalProgress(FXObject*, FXSelector, void*);
    long onSignalSourcePart(FXObject*, FXSelector, void*);
    long onSignalOutputPart(FXObject*, FXSelector, void*);

    bool IsRunning() const { return workerActive; }
    FXint GetResult() const { return result; }
    FXLabel* GetStatusLabel() const { return statusLabel; }
    FXLabel* GetProgressLabel() const { return progressLabel; }
    FXProgressBar* GetProgressBar() const { return progressBar; }
    CYesNoDialog* GetStopQuestion() const { return stopQuestion; }
    const FXString& GetPluginMessage() const { return context.pluginMessage; }
};
