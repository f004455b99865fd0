// The convert page and its worker thread.
#include "gui/pages/convert_page.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/progress_dialogs.h"
#include "gui/frame/widgets.h"

namespace {

// A progress post, on the worker's stack while it waits.
struct ProgressRequest {
    uint64_t done;
    uint64_t total;
    bool answer;
};

// A part question, on the worker's stack while it waits.
struct PartQuestion {
    ConvertPartRequest* request;
    bool answer;
};

}  // namespace

FXint CConvertPropertyPage::CWorkerThread::run() { return function(argument); }
CConvertPropertyPage::CWorkerThread::~CWorkerThread() {}

FXDEFMAP(CConvertPropertyPage)
CConvertPropertyPageMap[] = {
    FXMAPFUNC(SEL_COMMAND, CConvertPropertyPage::ID_CANCEL_RUN, CConvertPropertyPage::onCmdCancel),
    FXMAPFUNC(SEL_IO_READ, CConvertPropertyPage::ID_SIGNAL_DONE,
              CConvertPropertyPage::onSignalDone),
    FXMAPFUNC(SEL_IO_READ, CConvertPropertyPage::ID_SIGNAL_PROGRESS,
              CConvertPropertyPage::onSignalProgress),
    FXMAPFUNC(SEL_IO_READ, CConvertPropertyPage::ID_SIGNAL_SOURCE_PART,
              CConvertPropertyPage::onSignalSourcePart),
    FXMAPFUNC(SEL_IO_READ, CConvertPropertyPage::ID_SIGNAL_OUTPUT_PART,
              CConvertPropertyPage::onSignalOutputPart),
};
FXIMPLEMENT(CConvertPropertyPage, CVdxPropertyPageBase, CConvertPropertyPageMap,
            ARRAYNUMBER(CConvertPropertyPageMap))

namespace {

// The split-set reader and writer ask with their own request record, which the page's record
// mirrors field by field.
static_assert(sizeof(SplitPartRequest) == sizeof(ConvertPartRequest) &&
                  offsetof(SplitPartRequest, partIndex) ==
                      offsetof(ConvertPartRequest, partIndex) &&
                  offsetof(SplitPartRequest, path) == offsetof(ConvertPartRequest, path),
              "part request records agree");

bool SourcePartAdapter(SplitPartRequest* request, void* page)
{
    return CConvertPropertyPage::OnSourcePart(reinterpret_cast<ConvertPartRequest*>(request), page);
}

bool OutputPartAdapter(SplitPartRequest* request, void* page)
{
    return CConvertPropertyPage::OnOutputPart(reinterpret_cast<ConvertPartRequest*>(request), page);
}

}  // namespace

CConvertPropertyPage::CConvertPropertyPage()
    : worker(WorkerBody, this),
      running(false),
      questionOpen(false),
      signalDone(NULL),
      signalProgress(NULL),
      signalSourcePart(NULL),
      signalOutputPart(NULL),
      answered(0),
      stopQuestion(NULL),
      result(0),
      groupSize(0),
      progressClock(0),
      statusLabel(NULL),
      progressLabel(NULL),
      progressBar(NULL),
      workerActive(false),
      closing(false)
{}

CConvertPropertyPage::CConvertPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                           FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent),
      worker(WorkerBody, this),
      running(false),
      questionOpen(false),
      answered(0),
      result(0),
      groupSize(0),
      progressClock(0),
      workerActive(false),
      closing(false)
{
    title = Ui_MessageText(MSG_CONVERT_TITLE);
    description = Ui_MessageText(MSG_CONVERT_DESCRIPTION);
    signalDone = new FXGUISignal(getApp(), this, ID_SIGNAL_DONE);
    signalProgress = new FXGUISignal(getApp(), this, ID_SIGNAL_PROGRESS);
    signalSourcePart = new FXGUISignal(getApp(), this, ID_SIGNAL_SOURCE_PART);
    signalOutputPart = new FXGUISignal(getApp(), this, ID_SIGNAL_OUTPUT_PART);
    stopQuestion = new CYesNoDialog(this);
    groupSeparator = Ui_MessageText(MSG_DIGIT_SEPARATOR);
    groupSize = Ui_DigitGroupSize();
    // Room for three lines: a failure's two and its cause under them.
    statusLabel = Ui_CreateTopLabel(this, -1, 1, 2, 37, 5);
    progressLabel = Ui_CreateLabel(this, -1, 1, 8, 37, 2);
    progressBar = Ui_CreateProgressBar(this, NULL, 0, 1, 10, 37, 2);
    context.progress = OnProgress;
    context.user = this;
    context.progressClock = &progressClock;
    context.sourcePart.callback = SourcePartAdapter;
    context.sourcePart.user = this;
    context.outputPart.callback = OutputPartAdapter;
    context.outputPart.user = this;
}

CConvertPropertyPage::~CConvertPropertyPage()
{
    if (workerActive) {
        // A worker waiting for an answer gets "stop"; later questions are answered at once.
        mutex.lock();
        closing = true;
        running = false;
        condition.broadcast();
        mutex.unlock();
        worker.join();
        workerActive = false;
    }
    delete signalDone;
    delete signalProgress;
    delete signalSourcePart;
    delete signalOutputPart;
    delete stopQuestion;
}

FXint CConvertPropertyPage::WorkerBody(void* argument)
{
    CConvertPropertyPage* page = (CConvertPropertyPage*)argument;
    ConversionJob* job = page->job;
    int rc;
    if (job->trimInPlace) {
        // The trim's cause comes from this thread's failure record; the image is closed by
        // then, so its sector size is taken first.
        DiskGeometry geometry;
        memset(&geometry, 0, sizeof geometry);
        if (job->sourceDisk != NULL) Disk_GetGeometry(job->sourceDisk, &geometry);
        IoFailure_Clear();
        rc = ConvertRun_TrimInPlace(job, &page->context);
        if (rc != DISK_OK && rc != DISK_CANCELLED)
            page->context.cause = RunCause_OfIoFailure(IoFailure_Get(), geometry.bytes_per_sector);
    } else {
        rc = ConvertRun_WriteImage(job, &page->context);
    }
    // The result travels as the signal's value; nothing on this stack outlives the thread.
    page->signalDone->setData((void*)(FXival)rc);
    page->signalDone->signal();
    return 0;
}

void CConvertPropertyPage::OnSetActive()
{
    Ui_SetLabelMessage(statusLabel, MSG_CONVERT_WORKING);
    progressLabel->setText(FXString::null);
    progressBar->setTotal(1);
    progressBar->setProgress(0);
    SetWizardButtons(false, false, true);
    if (workerActive) return;  // a run of this visit is still going
    // A trim keeps the old image under "_del": an earlier backup there is replaced only when
    // the user says so.
    context.replaceBackups = false;
    std::string backup;
    if (job->trimInPlace && ConvertRun_ExistingTrimBackup(job, &backup)) {
        const FXString name(backup.c_str());
        if (ShowMessage(this, MSG_APP_NAME, MSG_TRIM_REPLACE_BACKUP, UI_MSG_YESNO, &name) != 0) {
            statusLabel->setText(
                Ui_ReplaceFirstPlaceholder(Ui_MessageText(MSG_TRIM_BACKUP_KEPT), name));
            result = DISK_ERR_BACKUP_EXISTS;
            running = false;
            SetWizardButtons(true, true, true);
            return;
        }
        context.replaceBackups = true;
    }
    // Split sources register their part question here when the split reader exists.
    running = true;
    questionOpen = false;
    result = 0;
    context.pluginMessage = FXString::null;
    context.cause = RunCause();
    workerActive = true;
    if (!StartWorker()) {
        // Nothing runs, so nothing will ever signal the end: report it here.
        workerActive = false;
        running = false;
        result = DISK_ERR_NOMEM;
        context.cause = RunCause();
        context.cause.kind = RUN_CAUSE_NO_THREAD;
        ShowEnd();
    }
}

bool CConvertPropertyPage::StartWorker() { return worker.start() != FALSE; }

int CConvertPropertyPage::OnWizardNext()
{
    if (workerActive) return -1;
    return events->GetNextPage(index);
}

int CConvertPropertyPage::OnWizardBack()
{
    // The worker reads the job's source: nothing may go back and release it while it runs.
    if (workerActive) return -1;
    return CVdxPropertyPageBase::OnWizardBack();
}

bool CConvertPropertyPage::QueryCancel()
{
    if (!workerActive) return true;
    if (!questionOpen) {
        questionOpen = true;
        FXuint answer = stopQuestion->execute(PLACEMENT_OWNER);
        if (answer == 1 && questionOpen) running = false;
        questionOpen = false;
    }
    return false;
}

long CConvertPropertyPage::onCmdCancel(FXObject*, FXSelector, void*)
{
    QueryCancel();
    return 1;
}

// ---- Handshake -------------------------------------------------------------------------------------

bool CConvertPropertyPage::Ask(FXGUISignal* signal, void* request)
{
    mutex.lock();
    if (closing) {
        mutex.unlock();
        return false;
    }
    answered = 0;
    signal->setData(request);
    signal->signal();
    while (!answered && !closing) condition.wait(mutex);
    const bool posted = answered != 0;
    answered = 0;
    mutex.unlock();
    return posted;
}

bool CConvertPropertyPage::OnProgress(uint64_t done, uint64_t total, void* user)
{
    CConvertPropertyPage* page = (CConvertPropertyPage*)user;
    if (!Ui_ShouldPostProgress(done, total, &page->progressClock)) return true;
    ProgressRequest request = {done, total, false};
    return page->Ask(page->signalProgress, &request) && request.answer;
}

long CConvertPropertyPage::onSignalProgress(FXObject*, FXSelector, void* ptr)
{
    ProgressRequest* request = (ProgressRequest*)ptr;
    progressLabel->setText(
        Ui_ProgressText(request->done, request->total, groupSeparator, groupSize));
    FXuint barDone, barTotal;
    Ui_ScaleProgress(request->done, request->total, &barDone, &barTotal);
    progressBar->setTotal(barTotal);
    progressBar->setProgress(barDone);
    mutex.lock();
    request->answer = running;
    answered = 1;
    condition.broadcast();
    mutex.unlock();
    return 1;
}

long CConvertPropertyPage::onSignalDone(FXObject*, FXSelector, void* ptr)
{
    if (workerActive) {
        worker.join();
        workerActive = false;
    }
    result = (FXint)(FXival)ptr;
    // An open stop question is closed as if answered No: the run has ended anyway.
    if (questionOpen) {
        questionOpen = false;
        stopQuestion->handle(this, FXSEL(SEL_COMMAND, FXDialogBox::ID_CANCEL), NULL);
    }
    running = false;
    ShowEnd();
    return 1;
}

void CConvertPropertyPage::ShowEnd()
{
    SetWizardButtons(true, true, true);
    // A trim that does not finish removes its new files and leaves the image as it was.
    const bool trim = job->trimInPlace != 0;
    const int failed = trim ? MSG_RESULT_FAILED : MSG_CONVERT_FAILED;
    if (result == DISK_OK) {
        const int note = job->trimInPlace ? RunCause_NoteMessage(context.note) : -1;
        Ui_SetLabelMessage(statusLabel, note >= MSG_APP_NAME ? note : MSG_CONVERT_FINISHED);
    } else if (result == DISK_ERR_IN_USE) {
        Ui_SetLabelMessage(statusLabel, MSG_CAUSE_IN_USE);
    } else if (result == DISK_CANCELLED) {
        Ui_SetLabelMessage(statusLabel, trim ? MSG_RESULT_CANCELLED : MSG_CONVERT_CANCELLED);
    } else if (!context.pluginMessage.empty()) {
        statusLabel->setText(Ui_JoinMessageDetail(Ui_MessageText(failed), context.pluginMessage));
    } else {
        const FXString cause = RunCause_Text(context.cause);
        if (cause.empty())
            Ui_SetLabelMessage(statusLabel, failed);
        else
            statusLabel->setText(Ui_JoinMessageDetail(Ui_MessageText(failed), cause));
    }
    progressBar->setTotal(1);
    progressBar->setProgress(result == DISK_OK ? 1 : 0);
}

// ---- Part questions ----------------------------------------------------------------------------

bool CConvertPropertyPage::AskPartWithSignal(ConvertPartRequest* request, FXGUISignal* signal)
{
    PartQuestion question = {request, false};
    return Ask(signal, &question) && question.answer;
}

bool CConvertPropertyPage::OnSourcePart(ConvertPartRequest* request, void* page)
{
    CConvertPropertyPage* p = (CConvertPropertyPage*)page;
    return p->AskPartWithSignal(request, p->signalSourcePart);
}

bool CConvertPropertyPage::OnOutputPart(ConvertPartRequest* request, void* page)
{
    CConvertPropertyPage* p = (CConvertPropertyPage*)page;
    return p->AskPartWithSignal(request, p->signalOutputPart);
}

void CConvertPropertyPage::ClosePartQuestion()
{
    if (!questionOpen) return;
    questionOpen = false;
    stopQuestion->handle(this, FXSEL(SEL_COMMAND, FXDialogBox::ID_CANCEL), NULL);
}

long CConvertPropertyPage::AnswerPart(void* ptr, bool sourcePart)
{
    PartQuestion* question = (PartQuestion*)ptr;
    ConvertPartRequest* request = question->request;
    ClosePartQuestion();
    CInputFileDialog dialog(this);
    request->path[sizeof request->path - 1] = 0;
    dialog.path = FXString(request->path);
    dialog.existingOnly = sourcePart;
    // The set's first part is the path itself; part k (from 0) is the file ".p" k: the name shown
    // is that of the file asked for, the number counts the parts from 1.
    const uint32_t number = request->partIndex + 1;
    char name[16];
    snprintf(name, sizeof name, request->partIndex < 100 ? "p%02u" : "p%u",
             (unsigned)request->partIndex);
    FXString arguments[2] = {FXStringVal((FXuint)number), FXString(name)};
    FXString prompt = Ui_ReplacePlaceholders(
        Ui_MessageText(sourcePart ? MSG_CONVERT_ASK_SOURCE_PART : MSG_CONVERT_ASK_OUTPUT_PART),
        arguments, 2);
    if (request->flag != 0) prompt = Ui_MessageText(MSG_CONVERT_PART_UNUSABLE) + "\n" + prompt;
    dialog.prompt = prompt;
    bool answer = false;
    if (dialog.execute(PLACEMENT_OWNER)) {
        const FXString& chosen = dialog.path;
        if ((size_t)chosen.length() < sizeof request->path) {
            memcpy(request->path, chosen.text(), (size_t)chosen.length());
            request->path[chosen.length()] = 0;
            answer = true;
        }
    }
    mutex.lock();
    question->answer = answer;
    answered = 1;
    condition.broadcast();
    mutex.unlock();
    return 1;
}

long CConvertPropertyPage::onSignalSourcePart(FXObject*, FXSelector, void* ptr)
{
    return AnswerPart(ptr, true);
}

long CConvertPropertyPage::onSignalOutputPart(FXObject*, FXSelector, void* ptr)
{
    return AnswerPart(ptr, false);
}
