// The page stage of the download window against the three sites served locally: skipped
// addresses, pages that fail, build up, never complete or ask for age verification, Stop, and
// the switch to the second browser after a failed read.

#include "DownloadWindowSupport.h"
#include "retrieval/PageAnalysis.h"

#include <algorithm>
#include <chrono>
#include <thread>

using cwtest::VideoSites;

namespace {

using PageStage = dltest::SiteRunTest;

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

} // namespace

TEST_F(PageStage, AddressThatIsNotAVideoIsSkippedWithoutAPageLoad)
{
    AddYoutube("a1", "First Clip");
    Sites.Metacafe("m3", "Third Clip", "Third_Clip.flv", VideoSites::FileBody("m3", 2500));
    dltest::WindowRun run({VideoSites::YoutubeAddress("a1"), "http://www.example.com/channel/x",
                           VideoSites::MetacafeAddress("m3")},
                          cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(0u, Sites.RequestsTo("www.example.com").size());
    EXPECT_EQ(VideoSites::FileBody("a1", 3000), dltest::ReadFile(Out("First Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("m3", 2500), dltest::ReadFile(Out("Third Clip.flv")));
    const auto& captions = run.Captions();
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (1/3)"));
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (3/3)"));
    // The skipped item leaves no failure line behind: no box at the end.
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, EveryPageFailingGivesOneBoxWithOneLinePerItem)
{
    std::vector<std::string> list;
    for (const std::string id : {"n1", "n2", "n3"}) {
        AddYoutubePage(id, [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
            StaticPage("<html><head><title>Nothing to see</title></head><body>no player</body></html>", c);
        });
        list.push_back(VideoSites::YoutubeAddress(id));
    }
    dltest::WindowRun run(list, cw::jmDownload, Owner);
    run.Window().SetPollLimit(150);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);

    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("Unable get html from " + list[0] + "\r\nUnable get html from " + list[1] +
                  "\r\nUnable get html from " + list[2] + "\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("Ostrelle Clipwarden", Boxes.Boxes()[0].Caption);
    EXPECT_EQ(cw::MB_OK | cw::MB_ICONINFORMATION, Boxes.Boxes()[0].Flags);
    // Two navigations per item before it is given up.
    for (const std::string id : {"n1", "n2", "n3"})
        EXPECT_EQ(2, WatchRequests(id)) << id;
    EXPECT_TRUE(Sites.RequestsTo(VideoSites::FileHost).empty());
}

TEST_F(PageStage, StopDuringThePageOfItemTwoOfFiveEndsTheRun)
{
    std::vector<std::string> list;
    for (int i = 1; i <= 5; ++i) {
        const std::string id = "s" + std::to_string(i);
        if (i == 2)
            AddYoutubePage(id, NeverCompletes);
        else
            AddYoutube(id, "Clip " + std::to_string(i));
        list.push_back(VideoSites::YoutubeAddress(id));
    }
    dltest::WindowRun run(list, cw::jmDownload, Owner);
    std::string captionAtStop;
    run.During([&] {
        if (WatchRequests("s2") == 0)
            return false;
        captionAtStop = run.Window().Caption();
        run.Click("bStop");
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(cw::mrAbort, run.Result);
    EXPECT_EQ("Ostrelle Clipwarden (2/5)", captionAtStop);
    EXPECT_EQ("s1", dltest::ReadFile(Out("Clip 1.flv")).substr(1, 2));
    for (const std::string id : {"s3", "s4", "s5"})
        EXPECT_EQ(0, WatchRequests(id)) << id;
    EXPECT_EQ(1u, Sites.RequestsTo(VideoSites::FileHost).size());
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, StopWhileThePageHasNotAnsweredYet)
{
    AddYoutubePage("w1", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.WaitForClientClose(20000); // not even a status line
    });
    AddYoutube("w2", "Never reached");
    dltest::WindowRun run({VideoSites::YoutubeAddress("w1"), VideoSites::YoutubeAddress("w2")}, cw::jmDownload, Owner);
    run.During([&] {
        if (WatchRequests("w1") == 0)
            return false;
        run.Click("bStop");
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(cw::mrAbort, run.Result);
    EXPECT_EQ(0, WatchRequests("w2"));
    // Stop left the browser on a blank page, offline.
    EXPECT_EQ("about:blank", run.Window().ActiveBrowser->LocationURL());
    EXPECT_TRUE(run.Window().ActiveBrowser->Offline());
}

TEST_F(PageStage, AgeVerificationPageShowsTheMessageAndStopsTheRun)
{
    AddYoutubePage("g1", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        StaticPage("<html><head><title>YouTube - Broadcast Yourself.</title></head><body>"
                   "Please verify you are 18 or older to view this video.</body></html>",
                   c);
    });
    AddYoutube("g2", "Second");
    dltest::WindowRun run({VideoSites::YoutubeAddress("g1"), VideoSites::YoutubeAddress("g2")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(cw::mrAbort, run.Result);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(cw::AgeRestrictionMessage, Boxes.Boxes()[0].Text);
    EXPECT_EQ(0, WatchRequests("g2"));
    EXPECT_TRUE(Sites.RequestsTo(VideoSites::FileHost).empty());
}

TEST_F(PageStage, PageThatShowsItsMarkersLaterCompletesInTheFirstAttempt)
{
    VideoSites::YoutubeVideo v;
    v.Files[""] = "built up file";
    v.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        const std::string page = VideoSites::YoutubePage("Built Up", "tokB", true, false);
        const std::size_t cut = page.find("<script>");
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + page.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        c.Send(page.substr(cut));
    };
    Sites.Youtube("b1", v);
    dltest::WindowRun run({VideoSites::YoutubeAddress("b1")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(1, WatchRequests("b1"));
    EXPECT_EQ("built up file", dltest::ReadFile(Out("Built Up.flv")));
    auto requests = Sites.RequestsTo("www.youtube.com");
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("/get_video?asv=&video_id=b1&t=tokB", requests[1].Path);
}

TEST_F(PageStage, UnavailablePageEndsEachAttemptAtOnce)
{
    AddYoutubePage("u1", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        StaticPage("<html><body>This functionality is not available right now. Please try again later.</body></html>", c);
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("u1")}, cw::jmDownload, Owner);
    // With the full 30 s limit: only the early end of each attempt keeps this quick.
    run.Run(15000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(2, WatchRequests("u1"));
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("Unable get html from " + VideoSites::YoutubeAddress("u1") + "\r\n", Boxes.Boxes()[0].Text);
}

TEST_F(PageStage, AddressFoundWithoutTheHdMarkerIsUsedAfterTheTimeLimit)
{
    VideoSites::YoutubeVideo v;
    v.Title = "No Marker";
    v.Token = "tokN";
    v.HdMarker = false;
    v.Files[""] = "plain";
    Sites.Youtube("h1", v);
    dltest::WindowRun run({VideoSites::YoutubeAddress("h1")}, cw::jmDownload, Owner);
    run.Window().SetPollLimit(300);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // One attempt only: the address was known when the time ran out.
    EXPECT_EQ(1, WatchRequests("h1"));
    EXPECT_EQ("plain", dltest::ReadFile(Out("No Marker.flv")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, FailedReadSwitchesToTheSecondBrowserForTheRestOfTheRun)
{
    AddYoutube("r1", "Read One");
    AddYoutube("r2", "Read Two");
    dltest::WindowRun run({VideoSites::YoutubeAddress("r1"), VideoSites::YoutubeAddress("r2")}, cw::jmDownload, Owner);
    // The first browser cannot keep pages of this size; the second can.
    run.Window().WebBrowser_1().SetMaxDocumentSize(64);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(2, WatchRequests("r1"));
    EXPECT_EQ(1, WatchRequests("r2"));
    EXPECT_EQ(&run.Window().WebBrowser_2(), run.Window().ActiveBrowser);
    EXPECT_EQ(VideoSites::FileBody("r1", 3000), dltest::ReadFile(Out("Read One.flv")));
    EXPECT_EQ(VideoSites::FileBody("r2", 3000), dltest::ReadFile(Out("Read Two.flv")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, SecondFailedReadInOneAttemptClosesTheWindow)
{
    AddYoutube("f1", "Fail One");
    AddYoutube("f2", "Fail Two");
    dltest::WindowRun run({VideoSites::YoutubeAddress("f1"), VideoSites::YoutubeAddress("f2")}, cw::jmDownload, Owner);
    run.Window().WebBrowser_1().SetMaxDocumentSize(64);
    run.Window().WebBrowser_2().SetMaxDocumentSize(64);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(cw::mrCancel, run.Result);
    EXPECT_EQ(2, WatchRequests("f1"));
    EXPECT_EQ(0, WatchRequests("f2"));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, ClosingTheWindowDuringThePageStageEndsItAtOnce)
{
    AddYoutubePage("c1", NeverCompletes);
    AddYoutube("c2", "Never reached");
    dltest::WindowRun run({VideoSites::YoutubeAddress("c1"), VideoSites::YoutubeAddress("c2")}, cw::jmDownload, Owner);
    run.During([&] {
        if (WatchRequests("c1") == 0)
            return false;
        run.Window().close(); // the title bar's close button
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(cw::mrCancel, run.Result);
    EXPECT_EQ(0, WatchRequests("c2"));
}
