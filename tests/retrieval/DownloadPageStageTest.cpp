// The page stage of the download window against the three sites served locally: skipped
// addresses, pages that fail, build up, never complete or ask for age verification, Stop, and
// the switch to the second browser after a failed read.

#include "DownloadWindowSupport.h"
#include "engine/pages/PageAnalysis.h"

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
    cw::TRunEngine* engine = run.Window().Pool().Engine(0);
    ASSERT_NE(nullptr, engine);
    EXPECT_EQ("about:blank", engine->ActiveBrowser()->LocationURL());
    EXPECT_TRUE(engine->ActiveBrowser()->Offline());
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
        StaticPage("<html><body>This functionality is not available right now. Please try again later.</body></html>",
                   c);
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("u1")}, cw::jmDownload, Owner);
    // With the full 30 s limit: only the early end of each attempt keeps this quick.
    run.Run(15000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(2, WatchRequests("u1"));
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 1 item failed:\r\nUnable get html from " + VideoSites::YoutubeAddress("u1") +
                  ": the site says this functionality is not available right now\r\n",
              Boxes.Boxes()[0].Text);
}

TEST_F(PageStage, AddressFoundWithoutTheHdMarkerIsUsedOnceThePageHasLoaded)
{
    VideoSites::YoutubeVideo v;
    v.Title = "No Marker";
    v.Token = "tokN";
    v.HdMarker = false;
    v.Files[""] = "plain";
    Sites.Youtube("h1", v);
    dltest::WindowRun run({VideoSites::YoutubeAddress("h1")}, cw::jmDownload, Owner);
    run.Window().SetPollLimit(1500); // roomy: the page must arrive within the first attempt
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // One attempt only: the address was known when the whole page was in.
    EXPECT_EQ(1, WatchRequests("h1"));
    EXPECT_EQ("plain", dltest::ReadFile(Out("No Marker.flv")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(PageStage, SecondFailedReadInOneAttemptClosesTheWindow)
{
    AddYoutube("f1", "Fail One");
    AddYoutube("f2", "Fail Two");
    dltest::WindowRun run({VideoSites::YoutubeAddress("f1"), VideoSites::YoutubeAddress("f2")}, cw::jmDownload, Owner);
    run.Window().Pool().OnEngine = [](int, cw::TRunEngine& engine) {
        engine.WebBrowser_1().SetMaxDocumentSize(64);
        engine.WebBrowser_2().SetMaxDocumentSize(64);
    };
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
