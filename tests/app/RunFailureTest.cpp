// Runs whose items fail: each failure line says why, an item whose page cannot give a video
// ends without waiting out the poll limit, and a long list of failures stays readable.

#include "RunTestSupport.h"
#include "platform/gui/MessageBoxDialog.h"

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>

using cwtest::VideoSites;
using runtest::MainRun;

namespace {

using RunFailure = runtest::RunTest;

int WatchRequests(VideoSites& sites, const std::string& id)
{
    int n = 0;
    for (auto& rq : sites.RequestsTo("www.youtube.com"))
        n += rq.PathOnly() == "/watch" && rq.Query("v") == id;
    return n;
}

} // namespace

// The full 30 s poll limit stays in force: each item must end because its load ended, and the
// watchdog (well below two limits) stops a run that waits instead.
TEST_F(RunFailure, PagesThatCannotGiveAVideoEndAtOnceWithTheirReason)
{
    VideoSites::YoutubeVideo missing;
    missing.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(404, "Not Found", {"Content-Type: text/html"}, "<html><body>No such video</body></html>");
    };
    Sites.Youtube("gone", missing);
    VideoSites::YoutubeVideo plain;
    plain.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html"}, "<html><head><title>Hi</title></head><body>hi</body></html>");
    };
    Sites.Youtube("plain", plain);
    // The site server, standing in as the proxy, refuses the tunnel an https page needs.
    const std::string secure = "https://www.youtube.com/watch?v=tls";
    {
        MainRun run;
        run.SetFolder(Folder);
        for (const std::string& a : {VideoSites::YoutubeAddress("gone"), VideoSites::YoutubeAddress("plain"), secure})
            run.Add(a);
        run.Start(25000);
        ASSERT_FALSE(run.WatchdogFired);
    }
    // A page the server says is not there is asked once; one that gave no video is navigated
    // twice, as any such page; nothing more.
    EXPECT_EQ(1, WatchRequests(Sites, "gone"));
    EXPECT_EQ(2, WatchRequests(Sites, "plain"));
    EXPECT_EQ(0, WatchRequests(Sites, "tls"));

    const int port = cwtest::FreeLocalPort();
    const std::string refusedProxy = "127.0.0.1:" + std::to_string(port);
    const std::size_t servedBefore = Server.RequestCount();
    {
        cwtest::ScopedHttpProxy proxy("http://" + refusedProxy + "/");
        MainRun run;
        run.SetFolder(Folder);
        run.Add(VideoSites::YoutubeAddress("refused"));
        run.Start(25000);
        ASSERT_FALSE(run.WatchdogFired);
    }
    const std::string unknown = "http://www.youtube.com.invalid/watch?v=nowhere";
    {
        cwtest::ScopedHttpProxy noProxy("");
        MainRun run;
        run.SetFolder(Folder);
        run.Add(unknown);
        run.Start(25000);
        ASSERT_FALSE(run.WatchdogFired);
    }
    EXPECT_EQ(servedBefore, Server.RequestCount());

    ASSERT_EQ(3u, Boxes.Count());
    EXPECT_EQ("3 of 3 items failed:\r\n"
              "Unable get html from " +
                  VideoSites::YoutubeAddress("gone") + ": the server answered 404 Not Found\r\n" +
                  "Unable get html from " + VideoSites::YoutubeAddress("plain") + ": no video found on the page\r\n" +
                  "Unable get html from " + secure + ": the proxy " + Server.Address() +
                  " answered 404 Not Found\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("1 of 1 item failed:\r\nUnable get html from " + VideoSites::YoutubeAddress("refused") + ": the proxy " +
                  refusedProxy + " refused the connection\r\n",
              Boxes.Boxes()[1].Text);
    EXPECT_EQ("1 of 1 item failed:\r\nUnable get html from " + unknown + ": host not found\r\n", Boxes.Boxes()[2].Text);
}

TEST_F(RunFailure, HundredFailuresFitOnTheScreenInAScrollingList)
{
    MainRun run;
    run.SetFolder(Folder);
    for (int i = 0; i < 100; ++i)
        run.Add("https://www.youtube.com/watch?v=many" + std::to_string(i));

    // The summary goes through the hook as always; here the hook shows the real box and looks
    // at it before pressing OK.
    std::string text;
    QSize boxSize;
    int listedLines = 0;
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    auto previous = cw::SetMessageBoxHandler([&](const std::string& t, const std::string& caption, unsigned flags) {
        text = t;
        QTimer::singleShot(50, [&] {
            QWidget* box = QApplication::activeModalWidget();
            if (!box)
                return;
            boxSize = box->frameGeometry().size();
            if (auto* lines = box->findChild<QPlainTextEdit*>())
                listedLines = lines->blockCount();
            box->close();
        });
        return cw::ShowMessageBoxDialog(t, caption, flags);
    });
    run.Start(60000);
    cw::SetMessageBoxHandler(previous);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(0u,
              text.find("100 of 100 items failed:\r\nUnable get html from https://www.youtube.com/watch?v=many0: "));
    EXPECT_EQ(100, listedLines);
    ASSERT_TRUE(boxSize.isValid());
    EXPECT_LE(boxSize.height(), screen.height());
    EXPECT_LE(boxSize.width(), screen.width());
}
