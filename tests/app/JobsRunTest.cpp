// Several items at once through the real main and download windows (also run under a real X
// server by the app_jobs_xvfb test): nine watch pages that each take a second to arrive, with
// Jobs=3 chosen in the menu, and a video whose server sends its header and then nothing. The
// pages come three at a time, the silent video holds only its own item, and every file is whole.

#include "RunTestSupport.h"
#include "retrieval/RunRows.h"

#include <QAbstractItemModel>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

using cwtest::VideoSites;
using runtest::MainRun;

namespace {

using JobsRun = runtest::RunTest;

constexpr int kItems = 9;
constexpr std::size_t kFileSize = 200 * 1024;

std::string ClipPage(const std::string& title, const std::string& file)
{
    return "<html><head><title>" + title + "</title><meta property=\"og:title\" content=\"" + title +
           "\"><meta property=\"og:video\" content=\"" + file +
           "\"><meta property=\"og:video:type\" content=\"video/mp4\"></head><body>clip</body></html>";
}

TEST_F(JobsRun, NinePagesComeThreeAtATimeAndASilentVideoHoldsOnlyItself)
{
    std::atomic<int> pagesNow{0};
    std::atomic<int> mostPages{0};
    // Each page arrives a second after it was asked for; the count says how many were being
    // fetched at once.
    Server.On("clips.example", "/p/*", [&](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        const int now = ++pagesNow;
        int most = mostPages.load();
        while (now > most && !mostPages.compare_exchange_weak(most, now)) {
        }
        const std::string id = rq.PathOnly().substr(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        --pagesNow;
        c.Reply(200, "OK", {"Content-Type: text/html"}, ClipPage("Clip " + id, "http://files.example/f/" + id + ".mp4"));
    });
    Server.On("files.example", "/f/*", [&](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        const std::string name = rq.PathOnly().substr(3);
        if (name == "silent.mp4") {
            c.Send("HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 100000\r\n\r\n");
            c.WaitForClientClose(60000);
            return;
        }
        c.Reply(200, "OK", {"Content-Type: video/mp4"}, VideoSites::FileBody(name, kFileSize));
    });

    MainRun run;
    run.SetFolder(Folder);
    run.SetJobs(3);
    run.Add("http://clips.example/p/silent");
    for (int k = 1; k <= kItems; ++k)
        run.Add("http://clips.example/p/c" + std::to_string(k));

    int mostRows = 0;
    bool othersDoneWhileSilentRuns = false;
    run.During([&](cw::TfrmDownload& w) {
        if (auto* list = w.findChild<QTreeView*>("tvItems"); list && list->isVisible())
            mostRows = std::max(mostRows, list->model()->rowCount());
        if (w.Run().CountOf(cw::ioDone) < kItems)
            return false;
        // Every other item is done; the silent one still has its row.
        othersDoneWhileSilentRuns = w.Run().Item(0).Outcome == cw::ioPending && w.Rows().RowOf(0) >= 0;
        w.bStopClick(nullptr);
        return true;
    });
    run.Start(90000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(othersDoneWhileSilentRuns);
    EXPECT_EQ(3, mostPages.load());
    EXPECT_EQ(3, mostRows);
    for (int k = 1; k <= kItems; ++k) {
        const std::string id = "c" + std::to_string(k);
        EXPECT_EQ(VideoSites::FileBody(id + ".mp4", kFileSize), runtest::ReadFile(Out("Clip " + id + ".mp4"))) << id;
    }
    // The silent video is left as a partial file to continue later, never as a finished one.
    EXPECT_FALSE(runtest::Exists(Out("Clip silent.mp4")));
}

} // namespace
