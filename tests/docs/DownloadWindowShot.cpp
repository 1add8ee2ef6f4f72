// Takes the README's pictures of the download window in the middle of a transfer: a real run of
// the program's windows against the three sites served on 127.0.0.1 (the system proxy pointed
// at them), the video files dripping out slowly so that size, speed and time remaining show.
// With a number of jobs, that many videos run at once and the list below the panel shows them.
//
//   xvfb-run -s "-screen 0 1024x768x24" build/test/tests/docs_download_shot docs/download-window.png
//   xvfb-run -s "-screen 0 1024x768x24" build/test/tests/docs_download_shot docs/download-window-jobs.png 3
#include "app/RunTestSupport.h"

#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [JOBS]\n", argv[0]);
        return 2;
    }
    const std::string output = argv[1];
    const int jobs = argc == 3 ? std::atoi(argv[2]) : 1;
    if (jobs < 1 || jobs > 8) {
        std::fprintf(stderr, "JOBS: 1 to 8\n");
        return 2;
    }
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
    struct Clip {
        const char* Id;
        const char* Title;
        int ChunkKb; // a chunk each 40 ms: about 400 kB/s for 16
    };
    const Clip clips[] = {{"Xy12AbCdEfG", "Harbour lights at dusk", 16},
                          {"Qm34GhIjKlM", "Lighthouse keeper's morning", 10},
                          {"Rt56NoPqRsT", "Ferry crossing in fog", 22}};
    for (int k = 0; k < (jobs > 1 ? 3 : 1); ++k) {
        const Clip& clip = clips[k];
        auto file = std::make_shared<std::string>(cwtest::VideoSites::FileBody(clip.Id, 24 * 1024 * 1024));
        cwtest::VideoSites::YoutubeVideo video;
        video.Title = clip.Title;
        video.Files[""] = *file;
        sites.Youtube(clip.Id, video);
        // The file a little at a time, so the picture catches it well under way.
        server.On(cwtest::VideoSites::FileHost, std::string("/yt/") + clip.Id + "/*",
                  [file, chunk = clip.ChunkKb * 1024](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
                      c.Send("HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " +
                             std::to_string(file->size()) + "\r\n\r\n");
                      c.SendSlowly(*file, static_cast<std::size_t>(chunk), 40);
                  });
    }
    cwtest::ScopedHttpProxy proxy("http://" + server.Address() + "/");
    cwtest::MessageBoxRecorder boxes;

    runtest::MainRun run;
    run.SetFolder(dir.path().toStdString());
    run.SetMode(cw::jmDownload);
    run.SetJobs(jobs);
    for (int k = 0; k < (jobs > 1 ? 3 : 1); ++k)
        run.Add(cwtest::VideoSites::YoutubeAddress(clips[k].Id));
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
