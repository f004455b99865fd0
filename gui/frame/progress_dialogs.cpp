// Progress and wait dialogs with their worker threads.
#include "gui/frame/progress_dialogs.h"

#include <type_traits>

#include "disk/disk.h"
#include "foundation/text.h"
#include "foundation/text_ops.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"

// Jobs hand the dialog's callback straight to the engine.
static_assert(std::is_same<UiProgressCallback, ProgressCallback>::value,
              "the progress callback is the engine's");

namespace {

// A worker's question, on the worker's stack while it waits for the answer.
struct WorkerRequest {
    uint64_t first;   // done, or the function to call
    uint64_t second;  // total, or the value to call it with
    int answer;
};

// Group sizes above this are as good as none.
const FXint kMaxGroupSize = 64;

}  // namespace

// ---- Progress text helpers --------------------------------------------------------------------

FXString Ui_GroupDigits(uint64_t value, const FXString& separator, FXint groupSize)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    // Built from the most significant digit; a separator (kept whole, whatever its bytes)
    // goes after every digit that has a multiple of groupSize digits to its right.
    FXString text;
    for (int i = count - 1; i >= 0; --i) {
        text.append(digits[i]);
        if (groupSize >= 1 && i > 0 && i % groupSize == 0) text.append(separator);
    }
    return text;
}

FXint Ui_DigitGroupSize()
{
    const FXString& text = Ui_MessageText(MSG_DIGIT_GROUP_SIZE);
    TextView view = {(const uint8_t*)text.text(), (uint32_t)text.length()};
    uint32_t size = 0;
    if (!Num_ParseU32Utf8(view, &size)) return 0;
    return size > (uint32_t)kMaxGroupSize ? kMaxGroupSize : (FXint)size;
}

FXString Ui_ProgressText(uint64_t done, uint64_t total, const FXString& separator, FXint groupSize)
{
    return Ui_GroupDigits(done, separator, groupSize) + " / " +
           Ui_GroupDigits(total, separator, groupSize);
}

void Ui_ScaleProgress(uint64_t done, uint64_t total, FXuint* barDone, FXuint* barTotal)
{
    while (total > 0xFFFFFFFFu) {
        total >>= 1;
        done >>= 1;
    }
    *barTotal = (FXuint)total;
    *barDone = done > 0xFFFFFFFFu ? 0xFFFFFFFFu : (FXuint)done;
}

// ---- CProgressDialog ---------------------------------------------------------------------------

FXint CProgressDialog::CWorkerThread::run() { return function(argument); }
CProgressDialog::CWorkerThread::~CWorkerThread() {}

FXDEFMAP(CProgressDialog)
CProgressDialogMap[] = {
    FXMAPFUNC(SEL_IO_READ, CProgressDialog::ID_SIGNAL_PROGRESS, CProgressDialog::onSignalProgress),
    FXMAPFUNC(SEL_IO_READ, CProgressDialog::ID_SIGNAL_DONE, CProgressDialog::onSignalDone),
    FXMAPFUNC(SEL_COMMAND, CProgressDialog::ID_CANCEL_BUTTON, CProgressDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CProgressDialog::onCmdCancel),
    // Escape and the frame's cancel do not close the dialog either.
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CProgressDialog::onCmdCancel),
};
FXIMPLEMENT(CProgressDialog, CNDialogBase, CProgressDialogMap, ARRAYNUMBER(CProgressDialogMap))

CProgressDialog::CProgressDialog()
    : result(0),
      failure(),
      job(NULL),
      jobArgument(NULL),
      worker(WorkerBody, this),
      continueFlag(true),
      signalUnused(NULL),
      signalDone(NULL),
      signalProgress(NULL),
      answered(false),
      progressLabel(NULL),
      progressBar(NULL),
      cancelButton(NULL),
      groupSize(0),
      clock(0),
      workerStarted(false),
      workerJoined(false)
{}

CProgressDialog::CProgressDialog(FXWindow* owner, UiProgressJob job, void* jobArgument)
    : CNDialogBase(owner, MSG_PROGRESS_TITLE, 26, 9, false),
      result(0),
      failure(),
      job(job),
      jobArgument(jobArgument),
      worker(WorkerBody, this),
      continueFlag(true),
      signalUnused(NULL),
      signalDone(NULL),
      signalProgress(NULL),
      answered(false),
      progressLabel(NULL),
      progressBar(NULL),
      cancelButton(NULL),
      groupSize(0),
      clock(0),
      workerStarted(false),
      workerJoined(false)
{
    signalUnused = new FXGUISignal(getApp(), this, ID_SIGNAL_UNUSED);
    signalDone = new FXGUISignal(getApp(), this, ID_SIGNAL_DONE);
    signalProgress = new FXGUISignal(getApp(), this, ID_SIGNAL_PROGRESS);
    FXPacker* frame = GetContentFrame();
    cancelButton = Ui_CreateButton(frame, MSG_PROGRESS_CANCEL, this, ID_CANCEL_BUTTON, 18, 6, 7, 2);
    // Wide enough for two grouped numbers of a large disk, short of the button.
    progressLabel = Ui_CreateLabel(frame, -1, 2, 5, 16, 2);
    progressBar = Ui_CreateProgressBar(frame, NULL, 0, 1, 2, 24, 2);
    groupSeparator = Ui_MessageText(MSG_DIGIT_SEPARATOR);
    groupSize = Ui_DigitGroupSize();
    // Everything the worker touches exists now: start it last.
    worker.start();
    workerStarted = true;
}

CProgressDialog::~CProgressDialog()
{
    if (workerStarted && !workerJoined) worker.join();
    delete signalUnused;
    delete signalDone;
    delete signalProgress;
}

FXint CProgressDialog::WorkerBody(void* argument)
{
    CProgressDialog* dialog = (CProgressDialog*)argument;
    IoFailure_Clear();
    FXint rc = dialog->job ? dialog->job(dialog->jobArgument, OnProgress, dialog) : -207;
    dialog->failure = IoFailure_Get();
    dialog->signalDone->setData((void*)(FXival)rc);
    dialog->signalDone->signal();
    return rc;
}

FXuint CProgressDialog::execute(FXuint placement)
{
    // A job that ended while the dialog was being prepared has already been joined.
    if (workerJoined) return UI_RESULT_ACCEPT;
    return FXDialogBox::execute(placement);
}

bool CProgressDialog::OnProgress(uint64_t done, uint64_t total, void* user)
{
    CProgressDialog* dialog = (CProgressDialog*)user;
    if (!Ui_ShouldPostProgress(done, total, &dialog->clock)) return true;
    WorkerRequest request = {done, total, 1};
    dialog->mutex.lock();
    dialog->answered = false;
    dialog->signalProgress->setData(&request);
    dialog->signalProgress->signal();
    while (!dialog->answered) dialog->condition.wait(dialog->mutex);
    dialog->answered = false;
    dialog->mutex.unlock();
    return request.answer != 0;
}

bool CProgressDialog::ShowProgress(uint64_t done, uint64_t total)
{
    progressLabel->setText(Ui_ProgressText(done, total, groupSeparator, groupSize));
    FXuint barDone, barTotal;
    Ui_ScaleProgress(done, total, &barDone, &barTotal);
    progressBar->setTotal(barTotal);
    progressBar->setProgress(barDone);
    return continueFlag;
}

long CProgressDialog::onSignalProgress(FXObject*, FXSelector, void* ptr)
{
    WorkerRequest* request = (WorkerRequest*)ptr;
    bool answer = ShowProgress(request->first, request->second);
    mutex.lock();
    request->answer = answer ? 1 : 0;
    answered = true;
    condition.broadcast();
    mutex.unlock();
    return 1;
}

long CProgressDialog::onSignalDone(FXObject*, FXSelector, void* ptr)
{
    if (!workerJoined) {
        worker.join();
        workerJoined = true;
    }
    result = (FXint)(FXival)ptr;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CProgressDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    if (continueFlag) continueFlag = false;
    cancelButton->disable();
    return 1;
}

// ---- CWaitDialog --------------------------------------------------------------------------------

FXint CWaitDialog::CWorkerThread::run() { return function(argument); }
CWaitDialog::CWorkerThread::~CWorkerThread() {}

FXDEFMAP(CWaitDialog)
CWaitDialogMap[] = {
    FXMAPFUNC(SEL_IO_READ, CWaitDialog::ID_SIGNAL_QUERY, CWaitDialog::onSignalQueryRunning),
    FXMAPFUNC(SEL_IO_READ, CWaitDialog::ID_SIGNAL_DONE, CWaitDialog::onSignalDone),
    FXMAPFUNC(SEL_IO_READ, CWaitDialog::ID_SIGNAL_CALL, CWaitDialog::onSignalCall),
    FXMAPFUNC(SEL_COMMAND, UI_ID_CANCEL, CWaitDialog::onCmdCancel),
    FXMAPFUNC(SEL_CLOSE, 0, CWaitDialog::onCmdCancel),
};
FXIMPLEMENT(CWaitDialog, CNDialogBase, CWaitDialogMap, ARRAYNUMBER(CWaitDialogMap))

CWaitDialog::CWaitDialog()
    : job(NULL),
      jobData(NULL),
      running(false),
      result(0),
      worker(WorkerBody, this),
      signalQuery(NULL),
      signalDone(NULL),
      signalCall(NULL),
      answered(false),
      textLabel(NULL),
      cancelButton(NULL),
      workerStarted(false),
      workerJoined(false),
      guiThread(FXThread::current())
{}

CWaitDialog::CWaitDialog(FXWindow* owner, UiWaitJob job, void* jobData, const FXString& title,
                         const FXString& text)
    : CNDialogBase(owner, title,
                   DECOR_TITLE | DECOR_CLOSE | DECOR_BORDER | LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT,
                   0, 0, Ui_ScaleX(23), Ui_ScaleY(10), 0, 0, 0, 0, 0, 0),
      job(job),
      jobData(jobData),
      title(title),
      text(text),
      running(false),
      result(0),
      worker(WorkerBody, this),
      signalQuery(NULL),
      signalDone(NULL),
      signalCall(NULL),
      answered(false),
      textLabel(NULL),
      cancelButton(NULL),
      workerStarted(false),
      workerJoined(false),
      guiThread(FXThread::current())
{
    signalQuery = new FXGUISignal(getApp(), this, ID_SIGNAL_QUERY);
    signalDone = new FXGUISignal(getApp(), this, ID_SIGNAL_DONE);
    signalCall = new FXGUISignal(getApp(), this, ID_SIGNAL_CALL);
    FXPacker* frame =
        new FXPacker(this, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(27), Ui_ScaleY(13), 0, 0, 0, 0, 0, 0);
    contentFrame = frame;
    textLabel = Ui_CreateLabelText(frame, text, JUSTIFY_LEFT | JUSTIFY_TOP, 1, 1, 21, 4);
    cancelButton = Ui_CreateButton(frame, MSG_PROGRESS_CANCEL, this, UI_ID_CANCEL, 15, 7, 7, 2);
}

CWaitDialog::~CWaitDialog()
{
    if (workerStarted && !workerJoined) worker.join();
    delete signalQuery;
    delete signalDone;
    delete signalCall;
}

FXint CWaitDialog::WorkerBody(void* argument)
{
    CWaitDialog* dialog = (CWaitDialog*)argument;
    FXint rc = dialog->job ? dialog->job(dialog->jobData, dialog) : -207;
    dialog->signalDone->setData((void*)(FXival)rc);
    dialog->signalDone->signal();
    return rc;
}

FXuint CWaitDialog::Run(FXuint placement)
{
    running = true;
    worker.start();
    workerStarted = true;
    cancelButton->setFocus();
    return FXDialogBox::execute(placement);
}

int CWaitDialog::Ask(FXGUISignal* signal, uint64_t first, uint64_t second)
{
    WorkerRequest request = {first, second, 0};
    mutex.lock();
    answered = false;
    signal->setData(&request);
    signal->signal();
    while (!answered) condition.wait(mutex);
    answered = false;
    mutex.unlock();
    return request.answer;
}

void CWaitDialog::Answer(void* ptr, int answer)
{
    WorkerRequest* request = (WorkerRequest*)ptr;
    mutex.lock();
    request->answer = answer;
    answered = true;
    condition.broadcast();
    mutex.unlock();
}

bool CWaitDialog::QueryRunning(CWaitDialog* dialog)
{
    // Asked on the GUI thread (a handler of the dialog itself), waiting for the GUI thread
    // would never end: answer directly.
    if (FXThread::current() == dialog->guiThread) return dialog->running;
    return dialog->Ask(dialog->signalQuery, 0, 0) != 0;
}

int CWaitDialog::CallOnGuiThread(UiGuiCall function, uint64_t value, CWaitDialog* dialog)
{
    if (!function) return -207;
    if (FXThread::current() == dialog->guiThread) return function(value);
    return dialog->Ask(dialog->signalCall, (uint64_t)(uintptr_t)function, value);
}

long CWaitDialog::onSignalQueryRunning(FXObject*, FXSelector, void* ptr)
{
    Answer(ptr, running ? 1 : 0);
    return 1;
}

long CWaitDialog::onSignalCall(FXObject*, FXSelector, void* ptr)
{
    WorkerRequest* request = (WorkerRequest*)ptr;
    UiGuiCall function = (UiGuiCall)(uintptr_t)request->first;
    int answer = function(request->second);
    Answer(ptr, answer);
    return 1;
}

long CWaitDialog::onSignalDone(FXObject*, FXSelector, void* ptr)
{
    if (!workerJoined) {
        worker.join();
        workerJoined = true;
    }
    result = (FXint)(FXival)ptr;
    getApp()->stopModal(this, UI_RESULT_ACCEPT);
    hide();
    return 1;
}

long CWaitDialog::onCmdCancel(FXObject*, FXSelector, void*)
{
    running = false;
    return 1;
}
