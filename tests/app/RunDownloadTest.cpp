// Whole download runs started with the Start button, the three sites served locally under their
// real names through the system proxy, and their files relocated to another host.

#include "RunTestSupport.h"
#include "engine/pages/PageAnalysis.h"
#include "support/ExternalServers.h"
#include "support/ServedFile.h"
#include "support/TlsTestPki.h"

#include <QDir>
#include <algorithm>
#include <chrono>
#include <thread>

using cwtest::VideoSites;
using runtest::MainRun;

namespace {

using RunDownload = runtest::RunTest;

void AddClip(VideoSites& sites, const std::string& id, const std::string& title)
{
    VideoSites::YoutubeVideo v;
    v.Title = title;
    v.Files[""] = VideoSites::FileBody(id, 4096);
    v.Files["18"] = VideoSites::FileBody(id + "-18", 4096);
    sites.Youtube(id, v);
}

int WatchRequests(VideoSites& sites, const std::string& id)
{
    int n = 0;
    for (auto& rq : sites.RequestsTo("www.youtube.com"))
        n += rq.PathOnly() == "/watch" && rq.Query("v") == id;
    return n;
}

void PlainPage(const std::string& html, cwtest::HttpTestConnection& c)
{
    c.Reply(200, "OK", {"Content-Type: text/html"}, html);
}

} // namespace

TEST_F(RunDownload, ThreeSitesSaveThreeFilesAndFailuresAreSummedUp)
{
    AddClip(Sites, "abc", "Tube Clip");
    Sites.Metacafe("123", "Cafe Clip", "Cafe_Clip.flv", VideoSites::FileBody("mc", 5000));
    Sites.Google("77", "Google Clip", VideoSites::FileBody("gv", 6000));
    VideoSites::YoutubeVideo broken;
    broken.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        PlainPage("<html>oops</html>", c);
    };
    Sites.Youtube("bad", broken);

    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownload);
    for (const std::string& a : {VideoSites::YoutubeAddress("abc"), VideoSites::MetacafeAddress("123"),
                                 VideoSites::GoogleAddress("77"), VideoSites::YoutubeAddress("bad")})
        run.Add(a);
    run.During([](cw::TfrmDownload& w) {
        w.SetPollLimit(1500); // short for the failing item, yet roomy for a loaded machine
        return true;
    });
    run.Start(30000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(VideoSites::FileBody("abc", 4096), runtest::ReadFile(Out("Tube Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("mc", 5000), runtest::ReadFile(Out("Cafe Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("gv", 6000), runtest::ReadFile(Out("Google Clip.mp4")));
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 4 items failed:\r\nUnable get html from " + VideoSites::YoutubeAddress("bad") +
                  ": no video found on the page\r\n",
              Boxes.Boxes()[0].Text);
    // Every file came from the other host, after the relocation of its direct address.
    EXPECT_EQ(3u, Sites.RequestsTo(VideoSites::FileHost).size());
    const auto& captions = run.Captions();
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (4/4)"));
}

TEST_F(RunDownload, AddressThatIsNotAVideoIsSkippedWithoutAPageLoad)
{
    AddClip(Sites, "s1", "First");
    AddClip(Sites, "s3", "Third");
    MainRun run;
    run.SetFolder(Folder);
    run.Add(VideoSites::YoutubeAddress("s1"));
    run.Add("www.example.com/channel/someone"); // no scheme: not an address the run can load
    run.Add(VideoSites::YoutubeAddress("s3"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(Sites.RequestsTo("www.example.com").empty());
    EXPECT_EQ(VideoSites::FileBody("s1", 4096), runtest::ReadFile(Out("First.flv")));
    EXPECT_EQ(VideoSites::FileBody("s3", 4096), runtest::ReadFile(Out("Third.flv")));
    const auto& captions = run.Captions();
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (3/3)"));
    // Skipped silently: no failure line, so no box.
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(RunDownload, EveryPageFailingGivesOneBoxWithALinePerItem)
{
    MainRun run;
    run.SetFolder(Folder);
    std::vector<std::string> list;
    for (const std::string id : {"n1", "n2", "n3"}) {
        VideoSites::YoutubeVideo v;
        v.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
            PlainPage("<html><head><title>Nothing to see</title></head><body>no player</body></html>", c);
        };
        Sites.Youtube(id, v);
        list.push_back(VideoSites::YoutubeAddress(id));
        run.Add(list.back());
    }
    run.During([](cw::TfrmDownload& w) {
        w.SetPollLimit(150);
        return true;
    });
    run.Start(30000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(1u, Boxes.Count());
    const std::string reason = ": no video found on the page\r\n";
    EXPECT_EQ("3 of 3 items failed:\r\nUnable get html from " + list[0] + reason + "Unable get html from " + list[1] +
                  reason + "Unable get html from " + list[2] + reason,
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("Ostrelle Clipwarden", Boxes.Boxes()[0].Caption);
    EXPECT_EQ(cw::MB_OK | cw::MB_ICONINFORMATION, Boxes.Boxes()[0].Flags);
    // Two navigations per item before it is given up; no file requested.
    for (const std::string id : {"n1", "n2", "n3"})
        EXPECT_EQ(2, WatchRequests(Sites, id)) << id;
    EXPECT_TRUE(Sites.RequestsTo(VideoSites::FileHost).empty());
}

TEST_F(RunDownload, QualityFromTheMenuChoosesTheAddressAndTheExtension)
{
    AddClip(Sites, "hq", "Quality Clip");
    MainRun run;
    run.SetFolder(Folder);
    run.SetQuality(cw::vqHQ);
    run.Add(VideoSites::YoutubeAddress("hq"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(VideoSites::FileBody("hq-18", 4096), runtest::ReadFile(Out("Quality Clip.mp4")));
    auto tube = Sites.RequestsTo("www.youtube.com");
    ASSERT_EQ(2u, tube.size());
    EXPECT_EQ("/get_video?asv=&video_id=hq&t=tok&fmt=18", tube[1].Path);
}

TEST_F(RunDownload, BestAvailableFallsBackToFlvWithoutAskingAgain)
{
    VideoSites::YoutubeVideo v;
    v.Title = "Best";
    v.Hd = true;
    v.Files[""] = "the flv";
    Sites.Youtube("best", v);
    MainRun run;
    run.SetFolder(Folder);
    run.SetQuality(cw::vqBestAvailable);
    run.Add(VideoSites::YoutubeAddress("best"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // The failed MP4 attempt leaves nothing behind, and the FLV that came is no failure.
    EXPECT_EQ("<missing>", runtest::ReadFile(Out("Best.mp4")));
    EXPECT_EQ("<missing>", runtest::ReadFile(Out("Best.mp4.part")));
    EXPECT_EQ("the flv", runtest::ReadFile(Out("Best.flv")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(RunDownload, ExistingFilesAskBeforeTheyAreReplaced)
{
    AddClip(Sites, "e1", "Kept");
    AddClip(Sites, "e2", "Replaced");
    {
        std::ofstream(Out("Kept.flv")) << "old one";
        std::ofstream(Out("Replaced.flv")) << "old two";
    }
    Boxes.QueueAnswer(cw::IDNO);
    Boxes.QueueAnswer(cw::IDYES);
    MainRun run;
    run.SetFolder(Folder);
    run.Add(VideoSites::YoutubeAddress("e1"));
    run.Add(VideoSites::YoutubeAddress("e2"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(2u, Boxes.Count());
    EXPECT_EQ(Out("Kept.flv") + " has existed,overite it?", Boxes.Boxes()[0].Text);
    EXPECT_EQ(cw::MB_YESNO | cw::MB_ICONINFORMATION | cw::MB_DEFBUTTON2, Boxes.Boxes()[0].Flags);
    EXPECT_EQ("old one", runtest::ReadFile(Out("Kept.flv")));
    EXPECT_EQ(VideoSites::FileBody("e2", 4096), runtest::ReadFile(Out("Replaced.flv")));
}

TEST_F(RunDownload, StopDuringThePageOfItemTwoOfFive)
{
    MainRun run;
    run.SetFolder(Folder);
    for (int i = 1; i <= 5; ++i) {
        const std::string id = "p" + std::to_string(i);
        if (i == 2) {
            VideoSites::YoutubeVideo slow;
            slow.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
                c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head>");
                c.WaitForClientClose(20000);
            };
            Sites.Youtube(id, slow);
        } else {
            AddClip(Sites, id, "Clip " + std::to_string(i));
        }
        run.Add(VideoSites::YoutubeAddress(id));
    }
    std::string caption;
    run.During([&](cw::TfrmDownload& w) {
        if (WatchRequests(Sites, "p2") == 0)
            return false;
        caption = w.Caption();
        w.findChild<QPushButton*>("bStop")->click();
        return true;
    });
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ("Ostrelle Clipwarden (2/5)", caption);
    EXPECT_TRUE(runtest::Exists(Out("Clip 1.flv")));
    for (const std::string id : {"p3", "p4", "p5"})
        EXPECT_EQ(0, WatchRequests(Sites, id)) << id;
    EXPECT_EQ(nullptr, run.Window());
}

// The page's note comes as a question; its default answer ends the run as such a page always did.
TEST_F(RunDownload, AgeVerificationPageStopsTheRun)
{
    VideoSites::YoutubeVideo age;
    age.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        PlainPage(
            "<html><body><form action=\"/verify_age?next_url=/watch\">Sign in to confirm your 18th birthday</form>"
            "</body></html>",
            c);
    };
    Sites.Youtube("age", age);
    AddClip(Sites, "after", "After");
    MainRun run;
    run.SetFolder(Folder);
    run.Add(VideoSites::YoutubeAddress("age"));
    run.Add(VideoSites::YoutubeAddress("after"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(std::string(cw::AgeRestrictionMessage) +
                  "\r\n\r\nSkip this video and go on with the others? (No stops the run.)",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("Ostrelle Clipwarden", Boxes.Boxes()[0].Caption);
    EXPECT_EQ(cw::MB_YESNO | cw::MB_ICONINFORMATION | cw::MB_DEFBUTTON2, Boxes.Boxes()[0].Flags);
    EXPECT_EQ(0, WatchRequests(Sites, "after"));
}

TEST_F(RunDownload, FailedDocumentReadUsesTheSecondBrowserForTheRestOfTheRun)
{
    // The first page answers after a moment, so the test can narrow the first browser first.
    VideoSites::YoutubeVideo first;
    first.Files[""] = "first file";
    first.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PlainPage(VideoSites::YoutubePage("First", "tok", true, false), c);
    };
    Sites.Youtube("b1", first);
    VideoSites::YoutubeVideo second = first;
    second.Files[""] = "second file";
    second.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PlainPage(VideoSites::YoutubePage("Second", "tok", true, false), c);
    };
    Sites.Youtube("b2", second);
    MainRun run;
    run.SetFolder(Folder);
    run.Add(VideoSites::YoutubeAddress("b1"));
    run.Add(VideoSites::YoutubeAddress("b2"));
    bool secondActive = false;
    run.During([](cw::TfrmDownload& w) {
        w.Pool().Engine(0)->WebBrowser_1().SetMaxDocumentSize(64);
        return true;
    });
    run.During([&](cw::TfrmDownload& w) {
        if (WatchRequests(Sites, "b2") == 0)
            return false;
        cw::TRunEngine* second = w.Pool().Engine(1);
        secondActive = second && second->ActiveBrowser() == &second->WebBrowser_2();
        return true;
    });
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(2, WatchRequests(Sites, "b1"));
    EXPECT_EQ(1, WatchRequests(Sites, "b2"));
    EXPECT_TRUE(secondActive);
    EXPECT_EQ("first file", runtest::ReadFile(Out("First.flv")));
    EXPECT_EQ("second file", runtest::ReadFile(Out("Second.flv")));
}

// Three videos: one whole, one that stalls (short idle limit), one cut, with Stop pressed in the
// pause before its second try. Stop ends the run at once; the two unfinished files stay as .part
// and the next run finishes them byte for byte, asking only about the file that is complete.
TEST_F(RunDownload, StopInAPauseKeepsThePartsAndTheNextRunResumesThem)
{
    auto serve = [&](const std::string& id, const std::string& title, std::size_t size) {
        VideoSites::YoutubeVideo v;
        v.Title = title;
        Sites.Youtube(id, v);
        auto file = std::make_shared<cwtest::ServedFile>();
        file->Body = VideoSites::FileBody(id, size);
        Server.On(VideoSites::FileHost, "/yt/" + id + "/",
                  [file](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) { file->Answer(rq, c); });
        return file;
    };
    auto whole = serve("w1", "Whole", 50000);
    auto stalled = serve("s1", "Stalled", 80000);
    stalled->StallAt = 20000;
    auto cut = serve("c1", "Cut", 300000);
    cut->Cuts = {120000};
    const std::vector<std::string> items = {VideoSites::YoutubeAddress("w1"), VideoSites::YoutubeAddress("s1"),
                                            VideoSites::YoutubeAddress("c1")};
    std::string label;
    std::string received;
    std::uint32_t stoppedAt = 0;
    {
        MainRun run;
        run.SetFolder(Folder);
        for (const auto& a : items)
            run.Add(a);
        run.During([](cw::TfrmDownload& w) {
            w.SetTransferIdleTimeout(300);
            w.SetRetryDelays({100, 100, 100, 100, 100});
            return true;
        });
        // Before the stalled file's last try: one long pause for the cut file.
        run.During([](cw::TfrmDownload& w) {
            if (w.findChild<QLabel*>("lFileName")->text().toStdString().find("(5/5)") == std::string::npos)
                return false;
            w.SetRetryDelays({20000});
            return true;
        });
        run.During([&](cw::TfrmDownload& w) {
            const std::string text = w.findChild<QLabel*>("lFileName")->text().toStdString();
            if (w.Run().Index() != 2 || text.rfind("Connection lost", 0) != 0)
                return false;
            label = text;
            received = w.findChild<QLabel*>("lReceiveData")->text().toStdString();
            stoppedAt = cw::GetTickCount();
            w.findChild<QPushButton*>("suiButton1")->click();
            return true;
        });
        run.Start(30000);
        ASSERT_FALSE(run.WatchdogFired);
        EXPECT_LT(cw::GetTickCount() - stoppedAt, 2000u) << "Stop did not end the run at once";
    }
    EXPECT_EQ("Connection lost, retrying in 20 s (1/1) ...", label);
    EXPECT_EQ("118 KB of 293 KB received", received);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 3 items failed:\r\nUnable download video from " + items[1] +
                  ": no data for 1 s after 20,000 of 80,000 bytes (6 tries)\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ(whole->Body, runtest::ReadFile(Out("Whole.flv")));
    EXPECT_EQ(stalled->Body.substr(0, 20000), runtest::ReadFile(Out("Stalled.flv.part")));
    EXPECT_EQ(cut->Body.substr(0, 120000), runtest::ReadFile(Out("Cut.flv.part")));
    EXPECT_EQ("<missing>", runtest::ReadFile(Out("Cut.flv")));

    stalled->StallAt = std::string::npos;
    MainRun again;
    again.SetFolder(Folder);
    for (const auto& a : items)
        again.Add(a);
    again.Start(30000);
    ASSERT_FALSE(again.WatchdogFired);
    // The complete file records its address: it is not fetched again, nor asked about.
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(stalled->Body, runtest::ReadFile(Out("Stalled.flv")));
    EXPECT_EQ(cut->Body, runtest::ReadFile(Out("Cut.flv")));
    EXPECT_EQ("<missing>", runtest::ReadFile(Out("Cut.flv.part")));
    EXPECT_EQ("<missing>", runtest::ReadFile(Out("Stalled.flv.part")));
}

TEST_F(RunDownload, OutputThatCannotBeCreatedFailsItsItemAndTheRunGoesOn)
{
    AddClip(Sites, "dir", "Blocked");
    AddClip(Sites, "ok", "Fine");
    QDir().mkpath(QString::fromStdString(Out("Blocked.flv"))); // a folder where the file should go
    MainRun run;
    run.SetFolder(Folder);
    run.Add(VideoSites::YoutubeAddress("dir"));
    run.Add(VideoSites::YoutubeAddress("ok"));
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(2u, Boxes.Count());
    // The system's error once, as it happened...
    const std::string error = Boxes.Boxes()[0].Text;
    const std::string prefix = "Cannot create file \"" + Out("Blocked.flv") + "\". ";
    EXPECT_EQ(prefix, error.substr(0, prefix.size()));
    EXPECT_GT(error.size(), prefix.size()); // with the system's reason
    EXPECT_EQ(cw::MB_ICONERROR, Boxes.Boxes()[0].Flags & cw::MB_ICONMASK);
    // ... then the next item, and the failure in the summary.
    EXPECT_EQ(VideoSites::FileBody("ok", 4096), runtest::ReadFile(Out("Fine.flv")));
    EXPECT_EQ("1 of 2 items failed:\r\nUnable to save " + VideoSites::YoutubeAddress("dir") + ": " + error + "\r\n",
              Boxes.Boxes()[1].Text);
}

// The sites as today's web serves them: watch pages and files over https only, reached through
// tinyproxy, which tunnels every https connection with CONNECT to the sites' TLS front.
class RunHttps : public runtest::RunFolderTest {
protected:
    void SetUp() override
    {
        RunFolderTest::SetUp();
        if (!cwtest::TlsTestPki::Get().Ready())
            GTEST_SKIP() << cwtest::TlsTestPki::Get().Error();
        if (!Proxy.Started())
            GTEST_SKIP() << "tinyproxy did not start: " << Proxy.Error();
    }

    cwtest::HttpTestServer Server;
    VideoSites Sites{Server, true};
    cwtest::TlsSiteFront Front{Server.Port()};
    cwtest::TinyproxyServer Proxy{"", "", Front.Address()};
    cwtest::ScopedHttpProxy ProxyVariable{"http://127.0.0.1:" + Proxy.PortText()};
};

TEST_F(RunHttps, ThreeSecureSitesThroughATunnelAndABadCertificateFailsWithItsReason)
{
    AddClip(Sites, "abc", "Tube Clip");
    Sites.Metacafe("123", "Cafe Clip", "Cafe_Clip.flv", VideoSites::FileBody("mc", 300000));
    AddClip(Sites, "def", "Second Tube Clip");
    Sites.Google("77", "Google Clip", VideoSites::FileBody("gv", 6000));
    Front.Certificate("video.google.com", "other");

    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownload);
    const std::string google = VideoSites::Https(VideoSites::GoogleAddress("77"));
    // The Metacafe address as a user may still copy it, with http: the site sends the page
    // engine on to https, as today's sites do.
    for (const std::string& a :
         {VideoSites::Https(VideoSites::YoutubeAddress("abc")), VideoSites::MetacafeAddress("123"),
          VideoSites::Https(VideoSites::YoutubeAddress("def")), google})
        run.Add(a);
    run.Start(30000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(VideoSites::FileBody("abc", 4096), runtest::ReadFile(Out("Tube Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("mc", 300000), runtest::ReadFile(Out("Cafe Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("def", 4096), runtest::ReadFile(Out("Second Tube Clip.flv")));
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 4 items failed:\r\nUnable get html from " + google +
                  ": certificate is for another host: other.test\r\n",
              Boxes.Boxes()[0].Text);
    // Nothing of the refused site was asked for; the pages and the files went through TLS
    // tunnels (a request the proxy passed on in the clear carries the absolute address), apart
    // from the one http watch address, which only got its relocation. The direct addresses are
    // written with http:// and relocate to https, as the sites do.
    EXPECT_TRUE(Sites.RequestsTo("video.google.com").empty());
    const auto files = Sites.RequestsTo(VideoSites::FileHost);
    EXPECT_EQ(5u, files.size()); // three files, and the redirector's hop for each YouTube one
    for (const auto& rq : files)
        EXPECT_FALSE(rq.Absolute) << rq.Path;
    // A YouTube file took three relocations: http -> https -> redirector -> file.
    std::vector<std::string> chain;
    for (const auto& rq : Sites.RequestsTo("www.youtube.com"))
        if (rq.PathOnly() == "/get_video" && rq.Query("video_id") == "abc")
            chain.push_back(rq.Absolute ? "http" : "https");
    for (const auto& rq : files)
        if (rq.Path.find("/abc/") != std::string::npos)
            chain.push_back(rq.Path.substr(0, 3));
    EXPECT_EQ((std::vector<std::string>{"http", "https", "/r/", "/yt"}), chain);
    std::vector<std::string> plain, secure;
    for (const char* host : {"www.youtube.com", "www.metacafe.com"})
        for (const auto& rq : Sites.RequestsTo(host))
            if (rq.PathOnly().compare(0, 6, "/watch") == 0)
                (rq.Absolute ? plain : secure).push_back(rq.Host + rq.Path);
    EXPECT_EQ(std::vector<std::string>{"www.metacafe.com/watch/123/clip/"}, plain);
    EXPECT_EQ(3u, secure.size());
    const auto tunnels = Front.Tunnels();
    for (const char* target :
         {"www.youtube.com:443", "www.metacafe.com:443", "v7.lscache.example.net:443", "video.google.com:443"})
        EXPECT_NE(tunnels.end(), std::find(tunnels.begin(), tunnels.end(), target)) << target;
}

TEST_F(RunHttps, AFileHostThatCannotBeTrustedFailsTheItemAndLeavesNothing)
{
    AddClip(Sites, "rogue", "Rogue Clip");
    Front.Certificate(VideoSites::FileHost, "roguehost");
    MainRun run;
    run.SetFolder(Folder);
    const std::string address = VideoSites::Https(VideoSites::YoutubeAddress("rogue"));
    run.Add(address);
    run.Start(30000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 1 item failed:\r\nUnable download video from " + address +
                  ": certificate not trusted: unknown issuer\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_TRUE(Sites.RequestsTo(VideoSites::FileHost).empty());
    EXPECT_TRUE(QDir(QString::fromStdString(Folder)).isEmpty()) << "a file or .part was left behind";
}

namespace {

void Html(cwtest::HttpTestServer& server, const std::string& host, const std::string& path, const std::string& html)
{
    server.On(host, path, [html](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html; charset=utf-8"}, html);
    });
}

void Media(cwtest::HttpTestServer& server, const std::string& host, const std::string& path, const std::string& body,
           std::vector<std::string> headers = {"Content-Type: video/mp4"})
{
    server.On(host, path, [body, headers](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", headers, body);
    });
}

} // namespace

// Pages of today's kind, pasted together and converted to MP3: a page with Open Graph video, one
// with schema.org JSON-LD, one with an HTML video in three sizes (Normal takes the smallest), a
// direct file address, and a short address that relocates to a file named by its answer.
TEST_F(RunDownload, PagesOfTodaysWebAreDownloadedAndConvertedUnderTheirTitles)
{
    const std::string clip = runtest::ReadFile(runtest::MakeClip(Folder + "/served.flv", 1));
    Html(Server, "news.example.org", "/2026/evening",
         "<html><head><title>News | Evening</title>\n"
         "<meta property=\"og:title\" content=\"Evening News &amp; Weather\">\n"
         "<meta property=og:video content=\"http://media.example.org/evening.mp4\">\n"
         "<meta content='video/mp4' property='og:video:type'></head><body>text</body></html>");
    Html(Server, "shows.example.org", "/episode/4",
         "<html><head><script type=\"application/ld+json\">{\"@context\":\"https://schema.org\",\"@graph\":["
         "{\"@type\":\"WebPage\",\"name\":\"Shows\"},{\"@type\":\"VideoObject\",\"name\":\"Episode Four\","
         "\"contentUrl\":\"http:\\/\\/media.example.org\\/ep4.mp4\",\"encodingFormat\":\"video/mp4\"}]}"
         "</script></head><body></body></html>");
    Html(Server, "clips.example.org", "/watch/7",
         "<html><head><title>Three Sizes</title></head><body><video controls>"
         "<source src=\"/v/1080.mp4\" type=\"video/mp4\" size=\"1080\">"
         "<source src=\"/v/360.mp4\" type=\"video/mp4\" size=\"360\">"
         "<source src=\"/v/720.mp4\" type=\"video/mp4\" size=\"720\"></video></body></html>");
    for (const char* path : {"/evening.mp4", "/ep4.mp4"})
        Media(Server, "media.example.org", path, clip);
    for (const char* path : {"/v/360.mp4", "/v/720.mp4", "/v/1080.mp4"})
        Media(Server, "clips.example.org", path, clip);
    Media(Server, "files.example.org", "/direct/Holiday.mp4", clip);
    Server.On("sho.rt", "/x1", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: http://files.example.org/dl?id=5"}, "");
    });
    Media(Server, "files.example.org", "/dl", clip,
          {"Content-Type: application/octet-stream", "Content-Disposition: attachment; filename=\"Relocated Clip.mp4\""});

    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownloadConvert);
    run.SetFormat(7); // MPEG Audio Layer 3 (MP3)
    for (const char* a : {"http://news.example.org/2026/evening", "http://shows.example.org/episode/4",
                          "http://clips.example.org/watch/7", "http://files.example.org/direct/Holiday.mp4",
                          "http://sho.rt/x1"})
        run.Add(a);
    run.Start(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(0u, Boxes.Count()) << (Boxes.Count() ? Boxes.Boxes()[0].Text : "");
    for (const char* name : {"Evening News & Weather", "Episode Four", "Three Sizes", "Holiday", "Relocated Clip"}) {
        EXPECT_TRUE(clip == runtest::ReadFile(Out(std::string(name) + ".mp4"))) << name;
        EXPECT_TRUE(runtest::Exists(Out(std::string(name) + ".mp3"))) << name;
    }
    int bigger = 0;
    for (const auto& rq : Server.Requests())
        bigger += rq.Host == "clips.example.org" && rq.PathOnly() != "/v/360.mp4" && rq.PathOnly() != "/watch/7";
    EXPECT_EQ(0, bigger) << "Normal quality takes the smallest size";
}

// Pages whose video lives in another site's player: a frame, an Open Graph video of type
// text/html, a Twitter card's player and an oEmbed answer each lead to the player's page, which
// is read by the same rules. The player's host serves its pages and files only to visitors of the
// blog (403 without its Referer). A player page that declares nothing names the player in the
// item's line, and the player it embeds in turn is not opened.
TEST_F(RunDownload, EmbeddedPlayersAreOpenedWithTheEmbeddingPageAsReferer)
{
    auto guarded = [this](const std::string& path, const std::string& type, const std::string& body) {
        Server.On("player.example.net", path,
                  [type, body](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
                      if (rq.Header("Referer").rfind("http://blog.example.org/", 0) != 0) {
                          c.Reply(403, "Forbidden", {"Content-Type: text/plain"}, "visitors of the blog only");
                      } else {
                          c.Reply(200, "OK", {"Content-Type: " + type}, body);
                      }
                  });
    };
    const struct {
        const char* Post; // the blog's page
        const char* PostHtml;
        const char* Player; // the player's page on player.example.net, and what it holds
        const char* PlayerHtml;
        const char* Name; // the file saved, "" when the item fails
    } kPosts[] = {
        {"/frame",
         "<title>Blog</title><iframe src=\"/comments\"></iframe><iframe src=\"http://player.example.net/embed/"
         "1\" allowfullscreen></iframe>",
         "/embed/1", "<title>Frame Clip</title><video src=\"/media/1.mp4\"></video>", "Frame Clip"},
        {"/og",
         "<meta property=\"og:title\" content=\"Post\"><meta property=\"og:video\" content=\"http://player."
         "example.net/embed/2\"><meta property=\"og:video:type\" content=\"text/html\">",
         "/embed/2",
         "<meta property=\"og:title\" content=\"Graph Clip\"><meta property=\"og:video\" content=\"/media"
         "/2.mp4\">",
         "Graph Clip"},
        {"/card", "<meta name=\"twitter:player\" content=\"http://player.example.net/embed/3\">", "/embed/3",
         "<script type=\"application/ld+json\">{\"@type\":\"VideoObject\",\"name\":\"Card Clip\",\"contentUrl\":"
         "\"/media/3.mp4\"}</script>",
         "Card Clip"},
        {"/oembed",
         "<link rel=\"alternate\" type=\"application/json+oembed\" href=\"http://player.example.net/oembed?"
         "id=4\">",
         "/embed/4",
         "<div itemscope itemtype=\"https://schema.org/VideoObject\"><h1 itemprop="
         "\"name\">Embed Clip</h1><link itemprop=\"contentUrl\" href=\"/media/4.mp4\"></div>",
         "Embed Clip"},
        {"/empty", "<iframe src=\"http://player.example.net/embed/5\"></iframe>", "/embed/5",
         "<title>Player</title><iframe src=\"http://deeper.example.net/embed/6\"></iframe>", ""},
    };
    std::vector<std::string> clips;
    MainRun run;
    run.SetFolder(Folder);
    for (const auto& p : kPosts) {
        Html(Server, "blog.example.org", p.Post, std::string("<html><head>") + p.PostHtml + "</head></html>");
        guarded(p.Player, "text/html", p.PlayerHtml);
        const std::string n = std::string(p.Player).substr(7);
        clips.push_back(VideoSites::FileBody("player" + n, 7000 + 10 * clips.size()));
        guarded("/media/" + n + ".mp4", "video/mp4", clips.back());
        run.Add(std::string("http://blog.example.org") + p.Post);
    }
    guarded("/oembed", "application/json",
            "{\"type\":\"video\",\"version\":\"1.0\",\"html\":\"<iframe src=\\\"http:\\/\\/player.example.net\\/"
            "embed\\/4\\\"><\\/iframe>\"}");
    Html(Server, "deeper.example.net", "/embed/6", "<video src=\"/media/6.mp4\"></video>");
    Html(Server, "blog.example.org", "/gone", "<iframe src=\"http://player.example.net/gone/7\"></iframe>");
    run.Add("http://blog.example.org/gone");
    run.Start(60000);
    ASSERT_FALSE(run.WatchdogFired);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        if (*kPosts[i].Name) {
            EXPECT_TRUE(clips[i] == runtest::ReadFile(Out(std::string(kPosts[i].Name) + ".mp4"))) << kPosts[i].Name;
        }
    }
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(
        "2 of 6 items failed:\r\nUnable get html from http://blog.example.org/empty: the page embeds a player from "
        "player.example.net; open that player's page instead\r\nUnable get html from http://blog.example.org/gone: "
        "the page embeds a player from player.example.net, whose page could not be read: the server answered 404 "
        "Not Found\r\n",
        Boxes.Boxes()[0].Text);
    EXPECT_TRUE(Sites.RequestsTo("deeper.example.net").empty()) << "a player inside a player's page was opened";
    int players = 0;
    for (const auto& rq : Sites.RequestsTo("player.example.net")) {
        ++players;
        EXPECT_EQ(rq.Header("Referer").rfind("http://blog.example.org/", 0), 0u) << rq.Path;
    }
    EXPECT_EQ(11, players) << "six player pages, four files and one oEmbed answer";
    for (const auto& rq : Sites.RequestsTo("blog.example.org"))
        EXPECT_NE(rq.Path, "/comments") << "the blog's own frame without a player's signs is not opened";
}

// An https page with Open Graph video gives its file; a page that only embeds another site's
// player and one whose only stream is live say so in their lines.
TEST_F(RunHttps, AnHttpsPageGivesItsFileAndEmbedOrStreamPagesNameTheirCause)
{
    Html(Server, VideoSites::FileHost, "/page/secure",
         "<html><head><meta property=\"og:title\" content=\"Secure Clip\">"
         "<meta property=\"og:video\" content=\"http://v7.lscache.example.net/player.swf\">"
         "<meta property=\"og:video:secure_url\" content=\"https://v7.lscache.example.net/media/secure.webm\">"
         "<meta property=\"og:video:type\" content=\"video/webm\"></head></html>");
    Media(Server, VideoSites::FileHost, "/media/secure.webm", VideoSites::FileBody("sec", 9000),
          {"Content-Type: video/webm"});
    Html(Server, "blog.example.org", "/embed",
         "<html><body><iframe src=\"http://player.example.net/embed/9\"></iframe></body></html>");
    Html(Server, "player.example.net", "/embed/9", "<html><body>Nothing to play here</body></html>");
    Html(Server, "live.example.org", "/show", "<html><body><video src=\"/dash/manifest.mpd\"></video></body></html>");
    Media(Server, "live.example.org", "/dash/manifest.mpd",
          "<?xml version=\"1.0\"?><MPD type=\"dynamic\"><Period/></MPD>", {"Content-Type: application/dash+xml"});

    MainRun run;
    run.SetFolder(Folder);
    for (const char* a : {"https://v7.lscache.example.net/page/secure", "http://blog.example.org/embed",
                          "http://live.example.org/show"})
        run.Add(a);
    run.Start(30000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(VideoSites::FileBody("sec", 9000), runtest::ReadFile(Out("Secure Clip.webm")));
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("2 of 3 items failed:\r\n"
              "Unable get html from http://blog.example.org/embed: the page embeds a player from player.example.net; "
              "open that player's page instead\r\n"
              "Unable download video from http://live.example.org/show: live streams are not supported\r\n",
              Boxes.Boxes()[0].Text);
}

// CookieFile= of the settings lends every item of a run the session a browser exported: a page
// that answers 403 without it is read and its file saved. A file that cannot be read is told
// once when the run starts, and the run goes on without it.
TEST_F(RunDownload, TheSettingsCookieFileLendsASessionOrIsToldOnce)
{
    const std::string body = VideoSites::FileBody("lent", 20000);
    auto needsLogin = [](const cwtest::HttpTestRequest& rq) {
        return rq.Header("Cookie").find("login=ok") != std::string::npos;
    };
    Server.On("www.members.test", "/watch*", [needsLogin](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        if (!needsLogin(rq))
            c.Reply(403, "Forbidden", {"Content-Type: text/html"}, "<html>sign in first</html>");
        else
            PlainPage("<html><head><title>Lent " + rq.PathOnly().substr(6) +
                          "</title></head><body><video src=\"http://media.members.test/v.mp4\"></video></body></html>",
                      c);
    });
    Server.On("media.members.test", "/v.mp4", [needsLogin, body](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        if (!needsLogin(rq))
            c.Reply(403, "Forbidden", {}, "no");
        else
            c.Reply(200, "OK", {"Content-Type: video/mp4"}, body);
    });
    const std::string cookies = Out("cookies.txt");
    std::ofstream(cookies) << "# Netscape HTTP Cookie File\n.members.test\tTRUE\t/\tFALSE\t0\tlogin\tok\n";
    const std::string settings = cw::TfrmMain::SettingsFileName();
    struct SettingsGuard {
        std::string Path;
        ~SettingsGuard() { std::remove(Path.c_str()); }
    } guard{settings};

    const struct {
        std::string CookieFile;
        bool Saved;
        std::size_t CookieBoxes;
    } rows[] = {{cookies, true, 0}, {Out("missing.txt"), false, 1}};
    int n = 0;
    for (const auto& r : rows) {
        std::remove(settings.c_str());
        std::ofstream(settings) << "[Options]\nCookieFile=" << r.CookieFile << "\n";
        Boxes.Clear();
        MainRun run;
        EXPECT_EQ(run.Main->CookieFile(), r.CookieFile);
        run.SetFolder(Folder);
        run.SetMode(cw::jmDownload);
        const std::string name = std::to_string(++n);
        run.Add("http://www.members.test/watch" + name);
        run.Add("http://www.members.test/watch" + name + "b");
        run.Start(30000);
        ASSERT_FALSE(run.WatchdogFired) << r.CookieFile;
        EXPECT_EQ(r.Saved, runtest::ReadFile(Out("Lent " + name + ".mp4")) == body) << r.CookieFile;
        std::size_t told = 0;
        for (const auto& box : Boxes.Boxes())
            told += box.Text.find("The cookies file is not used: cannot read " + r.CookieFile) != std::string::npos;
        EXPECT_EQ(told, r.CookieBoxes) << r.CookieFile;
    }
}
