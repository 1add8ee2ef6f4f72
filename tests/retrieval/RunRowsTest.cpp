// Several items at once without any window: a real pool over the sites served locally feeds the
// download window's row model, and the test answers (or holds) the pool's questions. Then the
// window itself with more than one job: its list, and the sign-in question answered by its box.

#include "DownloadWindowSupport.h"
#include "engine/RunPool.h"
#include "retrieval/RunRows.h"

#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <thread>
#include <map>
#include <optional>

using cwtest::VideoSites;
using enginetest::PumpUntil;

namespace {

void StaticPage(const std::string& html, cwtest::HttpTestConnection& c)
{
    c.Reply(200, "OK", {"Content-Type: text/html"}, html);
}

// Header and the start of a page, then nothing until the browser gives up on it.
void NeverCompletes(const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c)
{
    c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><title>YouTube - Slow");
    c.WaitForClientClose(20000);
}

void AgeCheckPage(const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c)
{
    // Not at once: the window's list is looked at before the question comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    StaticPage("<html><head><title>YouTube - Grown Up</title></head><body>Please verify you are 18 or older "
               "to see this video.</body></html>",
               c);
}

// The row model as the window feeds it, watched the way a view sees it: after each event, what
// the item's row shows. Questions are held for the test to answer.
class WatchedRows : public cw::TRunRows {
public:
    std::map<int, std::vector<std::string>> Stages; // per item, each stage its row showed
    std::map<int, std::string> LastProgress;        // per item, progress and size before it left
    std::vector<std::string> Ended;                 // "<item> done" or "<item> failed: <line>"
    std::vector<std::string> Questions;             // "<item> overwrite" / "<item> sign-in"
    std::vector<std::function<void(bool)>> HeldOverwrite;
    std::vector<std::function<void(cw::TSignInAnswer)>> HeldSignIn;
    std::optional<cw::TRunEnd> End;
    int MostRows = 0;
    double MostRunning = 0; // the running items' progress together, in items
    int EventsAfterStop = 0;
    bool Stopped = false;

    std::string Cell(int item, int column) const
    {
        const int row = RowOf(item);
        return row < 0 ? std::string() : data(index(row, column)).toString().toStdString();
    }

    void ItemStarted(int item, const std::string& address) override
    {
        Count();
        cw::TRunRows::ItemStarted(item, address);
        MostRows = std::max(MostRows, rowCount());
        NoteStage(item);
    }
    void StateChanged(int item, cw::TJobState state) override
    {
        Count();
        cw::TRunRows::StateChanged(item, state);
        NoteStage(item);
    }
    void Waiting(int item, int left, int attempt, int count) override
    {
        Count();
        cw::TRunRows::Waiting(item, left, attempt, count);
        NoteStage(item);
    }
    void TransferProgress(int item, std::int64_t bytes, std::int64_t total, const cw::TRateSample* sample) override
    {
        Count();
        cw::TRunRows::TransferProgress(item, bytes, total, sample);
        LastProgress[item] = Cell(item, rcProgress) + " " + Cell(item, rcSize);
        MostRunning = std::max(MostRunning, RunningFraction());
    }
    void ItemEnded(int item, cw::TItemOutcome outcome, const std::string& line) override
    {
        Count();
        cw::TRunRows::ItemEnded(item, outcome, line);
        EXPECT_EQ(-1, RowOf(item)) << "a finished item leaves the list";
        Ended.push_back(std::to_string(item) +
                        (outcome == cw::ioFailed ? " failed: " + line : outcome == cw::ioDone ? " done" : " skipped"));
    }
    void RunEnded(cw::TRunEnd how) override
    {
        Count();
        cw::TRunRows::RunEnded(how);
        End = how;
    }
    void AskOverwrite(int item, const std::string&, std::function<void(bool)> answer) override
    {
        Count();
        Questions.push_back(std::to_string(item) + " overwrite");
        HeldOverwrite.push_back(std::move(answer));
    }
    void AskSignIn(int item, const std::string& text, std::function<void(cw::TSignInAnswer)> answer) override
    {
        Count();
        EXPECT_NE(std::string::npos, text.find("verify you are 18 or older"));
        Questions.push_back(std::to_string(item) + " sign-in");
        HeldSignIn.push_back(std::move(answer));
    }

private:
    void Count() { EventsAfterStop += Stopped ? 1 : 0; }
    void NoteStage(int item)
    {
        const std::string stage = Cell(item, rcStage);
        auto& seen = Stages[item];
        if (!stage.empty() && (seen.empty() || seen.back() != stage))
            seen.push_back(stage);
    }
};

class RunRows : public dltest::SiteRunTest {
protected:
    std::unique_ptr<cw::TRunPool> Pool(const std::vector<std::string>& items, int jobs)
    {
        auto pool = std::make_unique<cw::TRunPool>(items, &Owner, *Rows);
        pool->SetJob(cw::jmDownload, std::string(), std::string());
        pool->SetJobs(jobs);
        pool->SetPollLimit(3000);
        return pool;
    }
    bool RunToEnd(cw::TRunPool& pool)
    {
        pool.Start();
        const bool ended = PumpUntil([&] { return Rows->End.has_value(); }, 30000);
        if (!ended)
            pool.Stop();
        return ended;
    }
    // Pumps the loop until a short timer has fired: whatever was queued has run by then.
    static void Settle()
    {
        bool fired = false;
        QTimer::singleShot(200, [&] { fired = true; });
        PumpUntil([&] { return fired; });
    }

    std::unique_ptr<WatchedRows> Rows = std::make_unique<WatchedRows>();
};

// Five items, two at a time: at most two rows, each showing its item's stages in order and its
// full size just before it leaves; every file whole.
TEST_F(RunRows, FiveItemsWithTwoJobsShowTwoRowsAndEachItsStages)
{
    std::vector<std::string> items;
    for (int k = 1; k <= 5; ++k) {
        AddYoutube("r" + std::to_string(k), "Row " + std::to_string(k));
        items.push_back(VideoSites::YoutubeAddress("r" + std::to_string(k)));
    }
    auto pool = Pool(items, 2);
    ASSERT_TRUE(RunToEnd(*pool));
    EXPECT_EQ(cw::reCompleted, *Rows->End);
    EXPECT_EQ(2, Rows->MostRows);
    EXPECT_EQ(0, Rows->rowCount());
    EXPECT_GE(Rows->MostRunning, 1.0); // a whole file, at least, before its item left
    EXPECT_LE(Rows->MostRunning, 2.0);
    EXPECT_EQ(0.0, Rows->RunningFraction());
    ASSERT_EQ(5u, Rows->Ended.size());
    for (int k = 0; k < 5; ++k) {
        const std::string id = "r" + std::to_string(k + 1);
        EXPECT_EQ((std::vector<std::string>{"Page", "Download", "Done"}), Rows->Stages[k]) << id;
        EXPECT_EQ("100% 3 KB / 3 KB", Rows->LastProgress[k]) << id;
        EXPECT_EQ(VideoSites::FileBody(id, 3000), dltest::ReadFile(Out("Row " + std::to_string(k + 1) + ".flv")));
    }
    EXPECT_EQ(5, pool->Model().CountOf(cw::ioDone));
    EXPECT_EQ("", pool->Model().FailureSummary());
    // The caption follows the item started last.
    EXPECT_EQ("T (5/5)", pool->Model().Caption("T"));
}

// A question does not hold the other items: the second item finishes while the first one's
// question waits, and the answer given afterwards still takes effect. Stop while a question
// waits ends the run at once; an answer given after it changes nothing.
TEST_F(RunRows, QuestionWaitsWhileOthersGoOnAndStopDropsItsAnswer)
{
    struct Case {
        const char* Name;
        bool StopFirst;
    };
    const Case cases[] = {{"answered", false}, {"stopped", true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        Rows = std::make_unique<WatchedRows>();
        const std::string a = std::string("qa") + k.Name;
        const std::string b = std::string("qb") + k.Name;
        AddYoutube(a, std::string("Asked ") + k.Name);
        if (k.StopFirst)
            AddYoutubePage(b, NeverCompletes);
        else
            AddYoutube(b, std::string("Other ") + k.Name);
        const std::string asked = Out(std::string("Asked ") + k.Name + ".flv");
        const std::size_t filesBefore = Sites.RequestsTo(VideoSites::FileHost).size();
        cwtest::WriteFile(asked, "old");
        auto pool = Pool({VideoSites::YoutubeAddress(a), VideoSites::YoutubeAddress(b)}, 2);
        pool->Start();
        if (!k.StopFirst) {
            ASSERT_TRUE(PumpUntil([&] { return !Rows->HeldOverwrite.empty() && !Rows->Ended.empty(); }));
            EXPECT_EQ((std::vector<std::string>{"1 done"}), Rows->Ended);
            EXPECT_EQ(1, Rows->rowCount()); // the asking item still has its row
            Rows->HeldOverwrite.front()(true);
            ASSERT_TRUE(PumpUntil([&] { return Rows->End.has_value(); }));
            EXPECT_EQ((std::vector<std::string>{"1 done", "0 done"}), Rows->Ended);
            EXPECT_EQ(VideoSites::FileBody(a, 3000), dltest::ReadFile(asked));
            EXPECT_EQ((std::vector<std::string>{"Page", "Download", "Done"}), Rows->Stages[0]);
            continue;
        }
        ASSERT_TRUE(PumpUntil([&] { return !Rows->HeldOverwrite.empty() && WatchRequests(b) > 0; }));
        pool->Stop();
        Rows->Stopped = true;
        Rows->HeldOverwrite.front()(true);
        Settle();
        EXPECT_TRUE(Rows->Ended.empty());
        EXPECT_FALSE(Rows->End.has_value());
        EXPECT_EQ(0, Rows->EventsAfterStop);
        EXPECT_EQ("old", dltest::ReadFile(asked));
        EXPECT_EQ(filesBefore, Sites.RequestsTo(VideoSites::FileHost).size());
    }
}

// A page that wants the viewer signed in asks which way to go, and the other item goes on
// meanwhile. Skip: the item fails with its line and the run goes on to the third item. Stop: the
// running item is stopped with it and the third never starts.
TEST_F(RunRows, SignInQuestionSkipsTheItemOrStopsTheRun)
{
    struct Case {
        const char* Name;
        cw::TSignInAnswer Answer;
        cw::TRunEnd End;
        std::vector<std::string> Ended;
        int ThirdRequests;
    };
    const std::string line = "0 failed: Unable get html from " + VideoSites::YoutubeAddress("agskip") +
                             ": the page asks to confirm the viewer's age";
    const Case cases[] = {
        {"skip", cw::saSkipItem, cw::reCompleted, {line, "1 done", "2 done"}, 1},
        {"stop", cw::saStopRun, cw::reStoppedByPage, {}, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        Rows = std::make_unique<WatchedRows>();
        const std::string age = std::string("ag") + k.Name;
        const std::string other = std::string("ot") + k.Name;
        const std::string third = std::string("th") + k.Name;
        AddYoutubePage(age, AgeCheckPage);
        if (k.Answer == cw::saSkipItem)
            AddYoutube(other, std::string("Other ") + k.Name);
        else
            AddYoutubePage(other, NeverCompletes);
        AddYoutube(third, std::string("Third ") + k.Name);
        auto pool = Pool({VideoSites::YoutubeAddress(age), VideoSites::YoutubeAddress(other),
                          VideoSites::YoutubeAddress(third)},
                         2);
        pool->Start();
        ASSERT_TRUE(PumpUntil([&] {
            return !Rows->HeldSignIn.empty() && (k.Answer == cw::saStopRun ? WatchRequests(other) > 0 : !Rows->Ended.empty());
        }));
        EXPECT_EQ("Question", Rows->Cell(0, cw::TRunRows::rcStage));
        Rows->HeldSignIn.front()(k.Answer);
        ASSERT_TRUE(PumpUntil([&] { return Rows->End.has_value(); }));
        EXPECT_EQ(k.End, *Rows->End);
        // The third item may end before or after the answer is taken.
        std::sort(Rows->Ended.begin(), Rows->Ended.end());
        EXPECT_EQ(k.Ended, Rows->Ended);
        EXPECT_EQ(k.ThirdRequests, WatchRequests(third));
        EXPECT_EQ(0, Rows->rowCount());
        EXPECT_EQ((std::vector<std::string>{"0 sign-in"}), Rows->Questions);
    }
}

// A page neither browser can read ends the run as it always did, but not the item beside it:
// no new item starts, the running one goes on to its end, and only then does the run end.
TEST_F(RunRows, UnreadablePageLetsTheRunningItemFinishAndStartsNoOther)
{
    AddYoutube("un", "Unreadable");
    cwtest::VideoSites::YoutubeVideo beside;
    beside.Title = "Beside";
    beside.Files[""] = VideoSites::FileBody("bs", 3000);
    beside.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        StaticPage(VideoSites::YoutubePage("Beside", "tok", true, false), c);
    };
    Sites.Youtube("bs", beside);
    AddYoutube("nx", "Never Started");
    auto pool = Pool({VideoSites::YoutubeAddress("un"), VideoSites::YoutubeAddress("bs"), VideoSites::YoutubeAddress("nx")},
                     2);
    pool->OnEngine = [](int index, cw::TRunEngine& engine) {
        if (index == 0) {
            engine.WebBrowser_1().SetMaxDocumentSize(64);
            engine.WebBrowser_2().SetMaxDocumentSize(64);
        }
    };
    ASSERT_TRUE(RunToEnd(*pool));
    EXPECT_EQ(cw::reUnreadable, *Rows->End);
    EXPECT_EQ((std::vector<std::string>{"1 done"}), Rows->Ended);
    EXPECT_EQ(VideoSites::FileBody("bs", 3000), dltest::ReadFile(Out("Beside.flv")));
    EXPECT_EQ(0, WatchRequests("nx"));
    EXPECT_EQ(0, Rows->rowCount());
    EXPECT_EQ("", pool->Model().FailureSummary()); // the unreadable item has no line, as before
}

// The window with three jobs shows the list below the panel, one row per running item; the
// sign-in question comes as a box, and its default answer ends the run as such a page always
// did (the window closes with Abort), while "Yes" skips the item and the run goes on.
TEST_F(RunRows, WindowShowsTheListAndAsksTheSignInQuestionInABox)
{
    struct Case {
        const char* Name;
        int Answer; // 0: the box's default
        int Result;
        bool OtherSaved;
    };
    const Case cases[] = {{"default", 0, cw::mrAbort, false}, {"yes", cw::IDYES, cw::mrCancel, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        Boxes.Clear();
        const std::string age = std::string("wa") + k.Name;
        const std::string other = std::string("wo") + k.Name;
        AddYoutubePage(age, AgeCheckPage);
        cwtest::VideoSites::YoutubeVideo v;
        v.Title = std::string("Window ") + k.Name;
        v.Files[""] = VideoSites::FileBody(other, 3000);
        v.Page = [title = v.Title](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
            // Slow enough that the question comes while this item still runs.
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            StaticPage(VideoSites::YoutubePage(title, "tok", true, false), c);
        };
        Sites.Youtube(other, v);
        if (k.Answer)
            Boxes.QueueAnswer(k.Answer);
        // The age page comes last, so the other item is well under way when the box opens.
        dltest::WindowRun run({VideoSites::YoutubeAddress(other), VideoSites::YoutubeAddress(age)}, cw::jmDownload,
                              Owner);
        run.Window().Jobs = 3;
        int rowsSeen = 0;
        bool listShown = false;
        run.During([&] {
            auto* list = run.Child<QTreeView>("tvItems");
            listShown = list && list->isVisible() && list->geometry().bottom() < run.Window().height();
            rowsSeen = std::max(rowsSeen, list ? list->model()->rowCount() : 0);
            return false;
        });
        run.Run(20000);
        ASSERT_FALSE(run.WatchdogFired);
        EXPECT_EQ(k.Result, run.Result);
        EXPECT_TRUE(listShown);
        EXPECT_EQ(2, rowsSeen);
        ASSERT_GE(Boxes.Count(), 1u);
        EXPECT_NE(std::string::npos, Boxes.Boxes()[0].Text.find("please verify you are 18 or older"));
        if (k.OtherSaved) {
            EXPECT_EQ(VideoSites::FileBody(other, 3000), dltest::ReadFile(Out(std::string("Window ") + k.Name + ".flv")));
        }
    }
}

} // namespace
