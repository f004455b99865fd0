// Progress and wait dialogs: a job runs on a worker thread while a modal dialog keeps the GUI
// thread responsive.
//
// Handshake: the worker clears the dialog's answered flag, puts a request record that lives on
// its own stack into an FXGUISignal and raises it, then waits on the dialog's condition (with
// its mutex) until the GUI thread has answered, set the flag under the mutex and broadcast.
// The job's end is posted with a last signal; the GUI thread joins the worker, keeps the result
// and ends the modal loop with 61. Cancelling never closes a dialog: it only changes the answer
// the job receives next.
#pragma once

#include <fx.h>

#include <cstdint>

#include "foundation/io_failure.h"
#include "gui/frame/dialogs.h"

// ---- Progress text helpers (also used by the convert page) ----------------------------------
// Decimal digits of value with `separator` put in front of every group of `groupSize` digits
// counted from the right; a group size below 1 means no grouping.
FXString Ui_GroupDigits(uint64_t value, const FXString& separator, FXint groupSize);
// The group size of message 7: its decimal value, or 0 (no grouping) when it is no number or 0.
FXint Ui_DigitGroupSize();
// "done / total", both grouped.
FXString Ui_ProgressText(uint64_t done, uint64_t total, const FXString& separator, FXint groupSize);
// Scales both numbers down together (right shifts) until total fits 32 bits.
void Ui_ScaleProgress(uint64_t done, uint64_t total, FXuint* barDone, FXuint* barTotal);

// ---- Progress dialog --------------------------------------------------------------------------
// Job: (argument, progress callback, callback user) -> result code. The callback answers false
// once the user has cancelled; the job then returns (normally 1).
typedef bool (*UiProgressCallback)(uint64_t done, uint64_t total, void* user);
typedef int (*UiProgressJob)(void* argument, UiProgressCallback progress, void* user);

class CProgressDialog : public CNDialogBase {
    FXDECLARE(CProgressDialog)
public:
    // Runs the dialog's worker body: the job with the dialog's OnProgress.
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

    FXint result;       // the job's result, valid after execute
    IoFailure failure;  // the worker's failure record when the job ended, valid after execute
protected:
    UiProgressJob job;
    void* jobArgument;
    CWorkerThread worker;
    bool continueFlag;
    FXGUISignal* signalUnused;
    FXGUISignal* signalDone;
    FXGUISignal* signalProgress;
    FXMutex mutex;
    bool answered;
    FXCondition condition;
    FXLabel* progressLabel;
    FXProgressBar* progressBar;
    FXButton* cancelButton;
    FXString groupSeparator;
    FXint groupSize;
    uint64_t clock;
    bool workerStarted;
    bool workerJoined;

    CProgressDialog();
    static FXint WorkerBody(void* dialog);

public:
    enum {
        ID_SIGNAL_UNUSED = 62,
        ID_SIGNAL_DONE = 63,
        ID_CANCEL_BUTTON = 64,
        ID_SIGNAL_PROGRESS = 65
    };
    // Builds the dialog and starts the worker (last).
    CProgressDialog(FXWindow* owner, UiProgressJob job, void* jobArgument);
    virtual ~CProgressDialog();
    // Runs until the job has ended; answers 61, the job's result is in `result`.
    virtual FXuint execute(FXuint placement = PLACEMENT_CURSOR);

    // The progress callback handed to the job (worker side); user = the dialog.
    static bool OnProgress(uint64_t done, uint64_t total, void* dialog);
    // The GUI side of a progress post: shows text and bar, answers the continue flag.
    bool ShowProgress(uint64_t done, uint64_t total);

    FXLabel* GetProgressLabel() const { return progressLabel; }
    FXProgressBar* GetProgressBar() const { return progressBar; }
    FXButton* GetCancelButton() const { return cancelButton; }

    long onSignalProgress(FXObject*, FXSelector, void*);
    long onSignalDone(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};

// ---- Wait dialog ---------------------------------------------------------------------------------
class CWaitDialog;
// Job: (data, the dialog) -> result code. It may ask CWaitDialog::QueryRunning and use
// CWaitDialog::CallOnGuiThread.
typedef int (*UiWaitJob)(void* data, CWaitDialog* dialog);
// A function run on the GUI thread through CallOnGuiThread.
typedef int (*UiGuiCall)(uint64_t value);

class CWaitDialog : public CNDialogBase {
    FXDECLARE(CWaitDialog)
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
    UiWaitJob job;
    void* jobData;
    FXString title;
    FXString text;
    bool running;

public:
    FXint result;  // the job's result, valid after Run
protected:
    CWorkerThread worker;
    FXGUISignal* signalQuery;
    FXGUISignal* signalDone;
    FXGUISignal* signalCall;
    FXMutex mutex;
    bool answered;
    FXCondition condition;
    FXLabel* textLabel;
    FXButton* cancelButton;
    bool workerStarted;
    bool workerJoined;
    FXThreadID guiThread;

    CWaitDialog();
    static FXint WorkerBody(void* dialog);
    // Worker side of the handshake: raises the signal with a request and waits for the answer.
    int Ask(FXGUISignal* signal, uint64_t first, uint64_t second);
    // GUI side: stores the answer and wakes the worker.
    void Answer(void* request, int answer);

public:
    enum { ID_SIGNAL_QUERY = 62, ID_SIGNAL_DONE = 63, ID_SIGNAL_CALL = 64 };
    CWaitDialog(FXWindow* owner, UiWaitJob job, void* jobData, const FXString& title,
                const FXString& text);
    virtual ~CWaitDialog();
    // Starts the worker and runs the modal loop until the job has ended; answers 61, the job's
    // result is in `result`.
    FXuint Run(FXuint placement = PLACEMENT_OWNER);

    // Worker side: whether the user has not cancelled. On the GUI thread it answers directly.
    static bool QueryRunning(CWaitDialog* dialog);
    // Worker side: function(value) run on the GUI thread; its result. On the GUI thread the
    // function is called directly.
    static int CallOnGuiThread(UiGuiCall function, uint64_t value, CWaitDialog* dialog);

    FXLabel* GetTextLabel() const { return textLabel; }
    FXButton* GetCancelButton() const { return cancelButton; }

    long onSignalQueryRunning(FXObject*, FXSelector, void*);
    long onSignalDone(FXObject*, FXSelector, void*);
    long onSignalCall(FXObject*, FXSelector, void*);
    long onCmdCancel(FXObject*, FXSelector, void*);
};
