// bench_jobs [items] [delay-ms]   (default: 9 1000)
//
// Download-only runs of a few YouTube items through the real download window, shown offscreen,
// with the system proxy pointed at a local server (a child process) that waits delay-ms before
// every watch page, as a slow site does; the files come at once. The same items run with
// Jobs=1 and with Jobs=3. Prints both times and their ratio; the SUMMARY line for
// bench/run-all.sh sets three jobs against one. Nine pages of a second each take nine seconds
// one after the other and three seconds three at a time, so the goal, at most half, leaves
// room for each item's own start and end.

#include "BenchSite.h"
#include "platform/gui/Form.h"
#include "retrieval/Download.h"

#include <QApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kFileSize = 64 * 1024;
int gPageDelayMs = 1000;

std::string Page(const std::string& id)
{
    return "<html><head><title>YouTube - Clip " + id + "</title></head><body><script>var swfArgs = {\"video_id\": \"" +
           id + "\", \"t\": \"tok\"}; var f = {'IS_HD_AVAILABLE': false};</script></body></html>";
}

// One connection, one answer, then close (HTTP/1.0). Each connection has a process of its own,
// so a waiting page holds nobody else.
void Answer(int fd)
{
    const std::string request = bench::ReadRequest(fd);
    const std::string line = request.substr(0, request.find("\r\n"));
    std::string answer;
    if (const std::size_t at = line.find("/watch?v="); at != std::string::npos) {
        ::usleep(static_cast<useconds_t>(gPageDelayMs) * 1000);
        const std::size_t start = at + 9;
        const std::string page = Page(line.substr(start, line.find(' ', start) - start));
        answer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
                 "\r\n\r\n" + page;
    } else if (line.find("/get_video") != std::string::npos) {
        answer = "HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " + std::to_string(kFileSize) +
                 "\r\n\r\n" + std::string(kFileSize, 'v');
    } else {
        answer = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }
    bench::SendAll(fd, answer);
    bench::EndAnswer(fd);
}

int CountFiles(const std::string& folder)
{
    int n = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

struct Round {
    double Seconds = 0;
    int Saved = 0;
};

Round WindowRound(int items, int jobs, bench::FolderOwner& owner)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < items; ++i)
        addresses.push_back("http://www.youtube.com/watch?v=j" + std::to_string(jobs) + "clip" + std::to_string(i));
    Round r;
    const auto t0 = std::chrono::steady_clock::now();
    {
        cw::TForm main;
        cw::TfrmDownload window(&main, addresses, &owner);
        window.JobMode = cw::jmDownload;
        window.Jobs = jobs;
        window.ShowModal();
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.Saved = CountFiles(owner.Folder);
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    const int items = argc > 1 ? std::atoi(argv[1]) : 9;
    gPageDelayMs = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (items <= 0 || gPageDelayMs < 0)
        return 1;

    int port = 0;
    const int listenFd = bench::ListenOnLoopback(64, port);
    if (listenFd < 0)
        return 1;
    const pid_t server = ::fork();
    if (server == 0)
        bench::ServeForever(listenFd, Answer);
    int boxes = 0;
    bench::PrepareWindowProcess(port, &boxes);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();

    Round rounds[2];
    const int jobs[2] = {1, 3};
    for (int k = 0; k < 2; ++k) {
        bench::FolderOwner owner;
        owner.Folder = root + "/jobs" + std::to_string(jobs[k]);
        ::mkdir(owner.Folder.c_str(), 0755);
        rounds[k] = WindowRound(items, jobs[k], owner);
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    ::close(listenFd);

    const double ratio = rounds[1].Seconds / rounds[0].Seconds;
    std::printf("jobs: %d items, pages wait %d ms: Jobs=1 %.3f s (%d saved), Jobs=3 %.3f s (%d saved), "
                "%.2fx faster, boxes %d\n",
                items, gPageDelayMs, rounds[0].Seconds, rounds[0].Saved, rounds[1].Seconds, rounds[1].Saved,
                rounds[0].Seconds / rounds[1].Seconds, boxes);
    std::printf("SUMMARY\tjobs: %d slow pages, window Jobs=3 against Jobs=1\t%.3f s\tJobs=1 %.3f s\t%.2f\t<= 0.50\n",
                items, rounds[1].Seconds, rounds[0].Seconds, ratio);
    return rounds[0].Saved == items && rounds[1].Saved == items && boxes == 0 ? 0 : 2;
}
