// The transfer stage at the window's level: names without a title, no retry below Best
// Available, responses without a usable length, the progress texts, the proxy, and closing the
// window in the middle of a file.

#include "DownloadWindowSupport.h"

#include <QLabel>
#include <chrono>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <vector>

using cwtest::VideoSites;

namespace {

using Transfer = dltest::SiteRunTest;

} // namespace

TEST_F(Transfer, GoogleVideoWithoutTitleGetsANumberedNameWithoutExtension)
{
    Sites.Google("9", "", "untitled file");
    dltest::WindowRun run({VideoSites::GoogleAddress("9")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    const QStringList files = QDir(Dir.path()).entryList(QDir::Files);
    ASSERT_EQ(1, files.size());
    const std::string name = files[0].toStdString();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(name, m, std::regex("GoogleVideo([0-9]+)"))) << name;
    EXPECT_LE(std::stoi(m[1]), 255);
    EXPECT_EQ("untitled file", dltest::ReadFile(Out(name)));
}

TEST_F(Transfer, OtherQualityLevelsDoNotRetryAFailedRequest)
{
    VideoSites::YoutubeVideo v;
    v.Title = "Only Flv";
    v.Files[""] = "plain flv";
    Sites.Youtube("hq", v);
    Owner.QualityLevel = cw::vqHQ;
    dltest::WindowRun run({VideoSites::YoutubeAddress("hq")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // The error page is not kept as the video; the failure is reported at the end.
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Only Flv.mp4")));
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Only Flv.mp4.part")));
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Only Flv.flv")));
    EXPECT_EQ(1u, Sites.RequestsTo(VideoSites::FileHost).size());
    EXPECT_EQ(std::vector<std::string>{"Unable download video from " + VideoSites::YoutubeAddress("hq") +
                                       ": the server answered 404 Not Found"},
              run.Window().Run().FailureLines());
    EXPECT_EQ(1u, Boxes.Count());
}

TEST_F(Transfer, ResponseWithoutContentLengthKeepsThePreviousSize)
{
    AddYoutube("cl", "With Length");
    VideoSites::YoutubeVideo v;
    v.Title = "No Length";
    Sites.Youtube("nl", v);
    // The second item's file comes without a Content-Length, ended by the close.
    Server.On(VideoSites::FileHost, "/yt/nl/", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\n\r\n" + std::string(2000, 'n'));
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("cl"), VideoSites::YoutubeAddress("nl")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(std::string(2000, 'n'), dltest::ReadFile(Out("No Length.flv")));
    EXPECT_EQ(3000, run.Window().ProgressMaximum());
    EXPECT_EQ("2 KB of 3 KB received", run.Text("lReceiveData"));
}

TEST_F(Transfer, FirstResponseWithoutContentLengthShowsTheStartingValues)
{
    VideoSites::YoutubeVideo v;
    v.Title = "No Length";
    Sites.Youtube("n1", v);
    Server.On(VideoSites::FileHost, "/yt/n1/", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        // No length: the body ends with the connection, and nothing may stall on the size.
        c.Send("HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'n'));
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("n1")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(std::string(5000, 'n'), dltest::ReadFile(Out("No Length.flv")));
    EXPECT_EQ(100, run.Window().ProgressMaximum());
    EXPECT_EQ("5 KB of  received", run.Text("lReceiveData"));
}

TEST_F(Transfer, ProgressPanelShowsSizeSpeedAndTimeWhileTheFileArrives)
{
    VideoSites::YoutubeVideo v;
    v.Title = "Slow";
    Sites.Youtube("sl", v);
    const std::string body = VideoSites::FileBody("sl", 60000);
    Server.On(VideoSites::FileHost, "/yt/sl/", [&](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 60000\r\n\r\n");
        c.SendSlowly(body, 2000, 100); // about 3 s
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("sl")}, cw::jmDownload, Owner);
    std::string speed, remaining, received, fileLabel, fileHint;
    bool panel2 = false;
    run.During([&] {
        if (run.Text("lReceiveSpeed").empty())
            return false;
        speed = run.Text("lReceiveSpeed");
        remaining = run.Text("lEstimateTime");
        received = run.Text("lReceiveData");
        fileLabel = run.Text("lFileName");
        fileHint = run.Child<QLabel>("lFileName")->toolTip().toStdString();
        panel2 = run.Child<QFrame>("Panel2")->isVisible() && !run.Child<QFrame>("Panel1")->isVisible();
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(panel2);
    EXPECT_EQ("Downloading: Slow.flv ...", fileLabel);
    EXPECT_EQ(fileLabel, fileHint);
    EXPECT_TRUE(std::regex_match(speed, std::regex("[0-9]+[.,][0-9] KB/S"))) << speed;
    EXPECT_TRUE(std::regex_match(remaining, std::regex("00:00:0[0-9]"))) << remaining;
    EXPECT_TRUE(std::regex_match(received, std::regex("[0-9]+ KB of 59 KB received"))) << received;
    EXPECT_EQ(body, dltest::ReadFile(Out("Slow.flv")));
    EXPECT_EQ(60000, run.Window().ProgressPosition());
}

TEST_F(Transfer, SystemProxyIsGivenToTheClientAndStays)
{
    AddYoutube("px", "Proxied");
    dltest::WindowRun run({VideoSites::YoutubeAddress("px")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    cw::TRunEngine* engine = run.Window().Pool().Engine(0);
    ASSERT_NE(nullptr, engine);
    EXPECT_EQ("127.0.0.1", engine->HttpCli1().Proxy());
    EXPECT_EQ(Server.PortText(), engine->HttpCli1().ProxyPort());
    // Requests went through the proxy: absolute addresses on the request line.
    for (auto& rq : Server.Requests())
        EXPECT_TRUE(rq.Absolute) << rq.Target;
}

TEST_F(Transfer, ClosingTheWindowDuringATransferEndsItAtOnce)
{
    VideoSites::YoutubeVideo v;
    v.Title = "Closed";
    Sites.Youtube("cl2", v);
    Server.On(VideoSites::FileHost, "/yt/cl2/", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(5000, 'c'));
        c.WaitForClientClose(20000);
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("cl2")}, cw::jmDownload, Owner);
    run.During([&] {
        if (run.Window().ProgressPosition() < 5000)
            return false;
        run.Window().close(); // the title bar's close button
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(cw::mrCancel, run.Result);
    // What arrived stays as the unfinished file, to be continued by a later run.
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Closed.flv")));
    EXPECT_EQ(std::string(5000, 'c'), dltest::ReadFile(Out("Closed.flv.part")));
}

TEST_F(Transfer, BytesOfAnotherEncodingReachTheNameAndTheAddressUnchanged)
{
    // A Latin-1 page: the title and the link carry a byte that is not valid UTF-8.
    Sites.Google("8", "", "latin file", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html; charset=iso-8859-1"},
                "<html><head><title>Caf\xe9</title></head><body><a href=\"http://vp.video.google.com/"
                "videodownload?docid=8&n=\xe9\">this link</a></body></html>");
    });
    dltest::WindowRun run({VideoSites::GoogleAddress("8")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    auto requests = Sites.RequestsTo("vp.video.google.com");
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/videodownload?docid=8&n=\xe9", requests[0].Path);
    EXPECT_EQ("latin file", dltest::ReadFile(Out("Caf\xc3\xa9.mp4"))); // the name is UTF-8
}

TEST_F(Transfer, AnAddressWithLineEndsFromThePageIsNeverRequested)
{
    // The page's token carries a line end and a header of its own: requested as it stands,
    // the proxy would get an extra header line, or a second request.
    VideoSites::YoutubeVideo v;
    v.Title = "Injected";
    v.Token = "tok\r\nX-Injected: yes\r\n\r\nGET http://www.youtube.com/second HTTP/1.0";
    v.Files[""] = VideoSites::FileBody("inj", 3000);
    Sites.Youtube("inj", v);
    dltest::WindowRun run({VideoSites::YoutubeAddress("inj")}, cw::jmDownload, Owner);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // The watch page only: no video request, nothing injected.
    const auto requests = Server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/watch", requests[0].PathOnly());
    EXPECT_FALSE(requests[0].HasHeader("X-Injected"));
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Injected.flv")));
    ASSERT_EQ(1u, Boxes.Count());
    const std::string expected = "1 of 1 item failed:\r\nUnable download video from " +
                                 VideoSites::YoutubeAddress("inj") +
                                 ": Address refused: it contains the control character 0x0D";
    EXPECT_EQ(expected, Boxes.Boxes()[0].Text.substr(0, expected.size()));
}

TEST_F(Transfer, AnAbsurdLengthTricklingInShowsTheClockCeiling)
{
    VideoSites::YoutubeVideo v;
    v.Title = "Endless";
    Sites.Youtube("end", v);
    Server.On(VideoSites::FileHost, "/yt/end/", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 999999999999999999\r\n\r\n");
        c.SendSlowly(std::string(3000, 'e'), 100, 100); // about 3 s
    });
    dltest::WindowRun run({VideoSites::YoutubeAddress("end")}, cw::jmDownload, Owner);
    // The body can never be whole; without pauses and new attempts the item ends when the
    // server closes.
    run.Window().SetRetryDelays({});
    std::string remaining, received;
    run.During([&] {
        if (run.Text("lEstimateTime").empty())
            return false;
        remaining = run.Text("lEstimateTime");
        received = run.Text("lReceiveData");
        return true;
    });
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ("99:59:59", remaining);
    EXPECT_TRUE(std::regex_match(received, std::regex("[0-9] KB of 976,562,500,000,000 KB received"))) << received;
    EXPECT_EQ(999999999999999999, run.Window().ProgressMaximum());
    // An unfinished file never takes the final name; its bytes stay for a later run.
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Endless.flv")));
    EXPECT_EQ(std::string(3000, 'e'), dltest::ReadFile(Out("Endless.flv.part")));
    EXPECT_EQ(
        std::vector<std::string>{"Unable download video from " + VideoSites::YoutubeAddress("end") +
                                 ": the connection closed after 3,000 of 999,999,999,999,999,999 bytes (1 try)"},
        run.Window().Run().FailureLines());
}
