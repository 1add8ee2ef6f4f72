// Takes the README's picture of the download window in the middle of a transfer: a real run of
// the program's windows against the three sites served on 127.0.0.1 (the system proxy pointed
// at them), the video file dripping out slowly so that size, speed and time remaining show.
//
//   xvfb-run -s "-screen 0 1024x768x24" build/test/tests/docs_download_shot docs/download-window.png
#include "app/RunTestSupport.h"

#include <QScreen>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const std::string output = argv[1];
    static int qtArgc = 1;
    static char name[] = "clipwarden";
    static char* qtArgv[] = {name, nullptr};
    new QApplication(qtArgc, qtArgv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("clipwarden"));
    runtest::UseProductTitle();

    QTemporaryDir dir;
    cwtest::HttpTestServer server;
    cwtest::VideoSites sites(server);
    const std::string file = cwtest::VideoSites::FileBody("harbour", 24 * 1024 * 1024);
    cwtest::VideoSites::YoutubeVideo video;
    video.Title = "Harbour lights at dusk";
    video.Files[""] = file;
    sites.Youtube("Xy12AbCdEfG", video);
    // The file a little at a time: about 400 kB/s, so the picture catches it well under way.
    server.On(cwtest::VideoSites::FileHost, "/yt/Xy12AbCdEfG/*",
              [&file](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
                  c.Send("HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " +
                         std::to_string(file.size()) + "\r\n\r\n");
                  c.SendSlowly(file, 16 * 1024, 40);
              });
    cwtest::ScopedHttpProxy proxy("http://" + server.Address() + "/");
    cwtest::MessageBoxRecorder boxes;

    runtest::MainRun run;
    run.SetFolder(dir.path().toStdString());
    run.SetMode(cw::jmDownload);
    run.Add(cwtest::VideoSites::YoutubeAddress("Xy12AbCdEfG"));
    run.Add(cwtest::VideoSites::MetacafeAddress("4711"));
    bool saved = false;
    const std::uint32_t shown = cw::GetTickCount();
    run.During([&](cw::TfrmDownload& w) {
        if (cw::GetTickCount() - shown < 6000)
            return false;
        saved = w.grab().save(QString::fromStdString(output));
        w.bStopClick(nullptr);
        return true;
    });
    run.Start(60000);
    std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save", output.c_str());
    return saved ? 0 : 1;
}
