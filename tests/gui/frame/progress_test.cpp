// Progress and wait dialogs: grouping, bar scaling, the worker handshake, cancelling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "gui/frame/progress_dialogs.h"
#include "gui_test_util.h"

using guitest::After;
using guitest::App;
using guitest::Command;
using guitest::Owner;

namespace {

typedef std::chrono::steady_clock Clock;

TEST(ProgressText, GroupingTable)
{
    struct Case {
        uint64_t value;
        const char* separator;
        FXint group;
        const char* expected;
    } cases[] = {
        {0, ",", 3, "0"},
        {999, ",", 3, "999"},
        {1000, ",", 3, "1,000"},
        {1234567, ",", 3, "1,234,567"},
        {1234567, " ", 4, "123 4567"},
        {1234567, ",", 0, "1234567"},
        {1234567, ",", -3, "1234567"},
        {1234567, ",", 1, "1,2,3,4,5,6,7"},
        {1099511627776ull, ",", 3, "1,099,511,627,776"},
        {18446744073709551615ull, ".", 3, "18.446.744.073.709.551.615"},
        // A separator of several bytes goes in whole.
        {1234567, "\xE2\x80\x89", 3,
         "1\xE2\x80\x89"
         "234\xE2\x80\x89"
         "567"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(Ui_GroupDigits(c.value, c.separator, c.group).text(), c.expected)
            << c.value << " " << c.group;
    EXPECT_STREQ(Ui_ProgressText(1234, 1234567, ",", 3).text(), "1,234 / 1,234,567");
}

TEST(ProgressText, GroupSizeFromTheCatalogue)
{
    App();
    MessageTable& table = Ui_Messages();
    FXString saved = table.texts[7];
    struct Case {
        const char* text;
        FXint size;
    } cases[] = {{"3", 3},  {" 4 ", 4}, {"0", 0},           {"", 0},     {"x", 0},
                 {"-3", 0}, {"3a", 0},  {"99999999999", 0}, {"1000", 64}};
    for (const Case& c : cases) {
        table.texts[7] = c.text;
        EXPECT_EQ(Ui_DigitGroupSize(), c.size) << c.text;
    }
    table.texts[7] = saved;
}

TEST(ProgressText, BarScaling)
{
    struct Case {
        uint64_t done, total;
        FXuint barDone, barTotal;
    } cases[] = {
        {5, 10, 5, 10},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {1ull << 39, (1ull << 40) - 1, (FXuint)((1ull << 39) >> 8),
         (FXuint)(((1ull << 40) - 1) >> 8)},
        {1ull << 39, 1ull << 40, 1u << 30, 1u << 31},
        {UINT64_MAX, UINT64_MAX, 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        FXuint d = 1, t = 1;
        Ui_ScaleProgress(c.done, c.total, &d, &t);
        EXPECT_EQ(d, c.barDone) << c.total;
        EXPECT_EQ(t, c.barTotal) << c.total;
    }
}

// ---- The progress dialog ----------------------------------------------------------------------

// Counts the progress posts the GUI thread answers, and presses Cancel while it handles post
// number `cancelAtPost` (before that post is answered).
class CountingProgressDialog : public CProgressDialog {
    FXDECLARE(CountingProgressDialog)
public:
    size_t posts = 0;
    size_t cancelAtPost = 0;
    CountingProgressDialog() {}
    CountingProgressDialog(FXWindow* owner, UiProgressJob job, void* argument)
        : CProgressDialog(owner, job, argument)
    {}
    long onCountedProgress(FXObject* sender, FXSelector sel, void* ptr)
    {
        ++posts;
        if (posts == cancelAtPost) {
            guitest::Screenshot(this, "progress_dialog");
            Command(this, CProgressDialog::ID_CANCEL_BUTTON);
            EXPECT_FALSE(GetCancelButton()->isEnabled());
            // A second press changes nothing.
            Command(this, CProgressDialog::ID_CANCEL_BUTTON);
        }
        return CProgressDialog::onSignalProgress(sender, sel, ptr);
    }
};
FXDEFMAP(CountingProgressDialog)
CountingMap[] = {
    FXMAPFUNC(SEL_IO_READ, CProgressDialog::ID_SIGNAL_PROGRESS,
              CountingProgressDialog::onCountedProgress),
};
FXIMPLEMENT(CountingProgressDialog, CProgressDialog, CountingMap, ARRAYNUMBER(CountingMap))

struct FastJob {
    std::atomic<bool> stopped{false};
    uint64_t calls = 0;
};

// Calls progress every 10 microseconds until it is told to stop.
int FastProducer(void* argument, UiProgressCallback progress, void* user)
{
    FastJob* job = (FastJob*)argument;
    const uint64_t total = 1ull << 40;
    for (uint64_t done = 0; done < total; ++done) {
        Clock::time_point until = Clock::now() + std::chrono::microseconds(10);
        while (Clock::now() < until) {}
        ++job->calls;
        if (!progress(done, total, user)) {
            job->stopped = true;
            return 1;
        }
    }
    return 0;
}

// A producer calling far more often than once a millisecond still gets its posts through (a
// throttle that restarted its clock on every call would post nothing after the first, and the
// run would never reach its twentieth post); the post during which Cancel is pressed is
// answered with stop, and nothing is posted after it.
TEST(ProgressDialog, AFastJobKeepsPostingAndStopsAtTheFirstAnswerAfterCancel)
{
    App();
    FastJob job;
    CountingProgressDialog dialog(Owner(), FastProducer, &job);
    dialog.cancelAtPost = 20;
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.result, 1);
    ASSERT_TRUE(job.stopped);
    EXPECT_EQ(dialog.posts, 20u);
    // The throttle let most calls pass without a post.
    EXPECT_GT(job.calls, dialog.posts);
    // The label shows grouped numbers.
    std::string label = dialog.GetProgressLabel()->getText().text();
    EXPECT_NE(label.find(" / 1,099,511,627,776"), std::string::npos) << label;
}

int Immediate(void*, UiProgressCallback, void*) { return -202; }

TEST(ProgressDialog, AJobThatEndsAtOnceStillEndsTheDialog)
{
    App();
    CProgressDialog dialog(Owner(), Immediate, nullptr);
    // Let the worker finish before the loop starts.
    usleep(20000);
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.result, -202);
}

int Counting(void*, UiProgressCallback progress, void* user)
{
    // Start and end are posted however fast they come.
    if (!progress(0, 3, user)) return 1;
    if (!progress(3, 3, user)) return 1;
    return 0;
}

TEST(ProgressDialog, ShowsTextAndScaledBar)
{
    App();
    CountingProgressDialog dialog(Owner(), Counting, nullptr);
    EXPECT_EQ(dialog.execute(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.result, 0);
    EXPECT_EQ(dialog.posts, 2u);
    EXPECT_STREQ(dialog.GetProgressLabel()->getText().text(), "3 / 3");

    EXPECT_TRUE(dialog.ShowProgress(1ull << 39, (1ull << 40) - 1));
    EXPECT_STREQ(dialog.GetProgressLabel()->getText().text(),
                 "549,755,813,888 / 1,099,511,627,775");
    EXPECT_EQ(dialog.GetProgressBar()->getTotal(), (FXuint)(((1ull << 40) - 1) >> 8));
    EXPECT_EQ(dialog.GetProgressBar()->getProgress(), (FXuint)((1ull << 39) >> 8));
    // Closing the window only cancels.
    dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL);
    EXPECT_FALSE(dialog.ShowProgress(1, 2));
}

// ---- The wait dialog ------------------------------------------------------------------------------

struct WaitJob {
    FXThreadID guiThread = 0;
    FXThreadID calledOn = 0;
    int callResult = 0;
    int queries = 0;
    bool answeredDirectly = false;
};

WaitJob* g_waitJob = nullptr;

int RecordThread(uint64_t value)
{
    g_waitJob->calledOn = FXThread::current();
    return (int)value * 2;
}

int WaitUntilCancelled(void* data, CWaitDialog* dialog)
{
    WaitJob* job = (WaitJob*)data;
    job->callResult = CWaitDialog::CallOnGuiThread(RecordThread, 21, dialog);
    while (CWaitDialog::QueryRunning(dialog)) {
        ++job->queries;
        usleep(1000);
    }
    return 1;
}

TEST(WaitDialog, CallsRunOnTheGuiThreadAndCancelIsSeen)
{
    App();
    WaitJob job;
    job.guiThread = FXThread::current();
    g_waitJob = &job;
    CWaitDialog dialog(Owner(), WaitUntilCancelled, &job, Ui_MessageText(370), Ui_MessageText(380));
    After(200, [&] {
        guitest::Screenshot(&dialog, "wait_dialog");
        // Asked on the GUI thread itself, the answer comes directly.
        job.answeredDirectly = CWaitDialog::QueryRunning(&dialog);
        EXPECT_EQ(CWaitDialog::CallOnGuiThread(RecordThread, 4, &dialog), 8);
        Command(&dialog, UI_ID_CANCEL);
    });
    EXPECT_EQ(dialog.Run(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.result, 1);
    EXPECT_EQ(job.callResult, 42);
    EXPECT_EQ(job.calledOn, job.guiThread);
    EXPECT_GT(job.queries, 10);
    EXPECT_TRUE(job.answeredDirectly);
    EXPECT_STREQ(dialog.GetTextLabel()->getText().text(), Ui_MessageText(380).text());
    g_waitJob = nullptr;
}

int ReturnsAtOnce(void*, CWaitDialog*) { return -209; }

TEST(WaitDialog, AJobThatEndsAtOnce)
{
    App();
    CWaitDialog dialog(Owner(), ReturnsAtOnce, nullptr, "t", "x");
    EXPECT_EQ(dialog.Run(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_EQ(dialog.result, -209);
}

// A job that ignores the cancel request and ends only when the test lets it.
std::atomic<bool> g_mayEnd{false};
std::atomic<bool> g_ended{false};
int IgnoresCancel(void*, CWaitDialog*)
{
    while (!g_mayEnd) usleep(1000);
    g_ended = true;
    return 0;
}

TEST(WaitDialog, CancelNeverClosesTheDialogByItself)
{
    App();
    g_mayEnd = false;
    g_ended = false;
    CWaitDialog dialog(Owner(), IgnoresCancel, nullptr, "t", "x");
    bool openAfterCancel = false;
    After(20, [&] {
        Command(&dialog, UI_ID_CANCEL);
        dialog.handle(&dialog, FXSEL(SEL_CLOSE, 0), NULL);
        // Both were handled; the dialog is still the modal window.
        After(20, [&] {
            openAfterCancel = guitest::Modal() == &dialog;
            g_mayEnd = true;
        });
    });
    EXPECT_EQ(dialog.Run(PLACEMENT_OWNER), (FXuint)UI_RESULT_ACCEPT);
    EXPECT_TRUE(openAfterCancel);
    EXPECT_TRUE(g_ended);
    EXPECT_EQ(dialog.result, 0);
}

}  // namespace
