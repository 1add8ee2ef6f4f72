// bench_run100 [items]   (default: 100)
//
// A download-only run of many small YouTube items through the real download window, shown
// offscreen, with the system proxy pointed at a local server whose watch pages are complete at
// once (no build-up time) and whose direct addresses answer with a small file. Then the same
// addresses (every page and every file) fetched by one curl process from the same server.
// Prints items per second, and the window's time per item on top of curl's, next to the CPU
// time the window process spent per item.
//
// The server (bench/common) runs in a child process, so the window process's CPU time is the
// program's own.
//
// Then the command line's round: the server waits 50 ms before every answer, as a distant host
// does; the window, `clipwarden get --jobs 1` and `--jobs 4` (the real executable, addresses on
// standard input) and curl fetch the same items. Prints each time, the speed-up of four jobs
// over one, and the per-item cost of the window and of the command line over curl's. The
// SUMMARY line for bench/run-all.sh sets four jobs against one: the items wait on the host, not
// on the processor, so four at once should take little more than a quarter of the time; the
// goal, at most 0.40 of it, leaves room for each item's own start and end.

#include "BenchSite.h"
#include "platform/gui/Form.h"

#include <QApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kFileSize = 16 * 1024;

std::string Page(const std::string& id)
{
    return "<html><head><title>YouTube - Clip " + id + "</title></head><body><script>var swfArgs = {\"video_id\": \"" +
           id + "\", \"t\": \"tok\"}; var f = {'IS_HD_AVAILABLE': false};</script></body></html>";
}

int gAnswerDelayMs = 0;

// One connection, one answer, then close (HTTP/1.0).
void Answer(int fd)
{
    const std::string request = bench::ReadRequest(fd);
    if (gAnswerDelayMs > 0)
        ::usleep(static_cast<useconds_t>(gAnswerDelayMs) * 1000);
    const std::string line = request.substr(0, request.find("\r\n"));
    std::string answer;
    if (const std::size_t at = line.find("/watch?v="); at != std::string::npos) {
        const std::size_t start = at + 9;
        const std::string id = line.substr(start, line.find(' ', start) - start);
        const std::string page = Page(id);
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
    double CpuSeconds = 0;
    int Saved = 0;
    int Status = 0;
};

std::vector<std::string> Addresses(int items)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < items; ++i)
        addresses.push_back("http://www.youtube.com/watch?v=clip" + std::to_string(i));
    return addresses;
}

Round WindowRound(int items, bench::FolderOwner& owner)
{
    Round r;
    const double cpuBefore = bench::CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    {
        cw::TForm main;
        cw::TfrmDownload window(&main, Addresses(items), &owner);
        window.JobMode = cw::jmDownload;
        window.ShowModal();
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.CpuSeconds = bench::CpuSeconds() - cpuBefore;
    r.Saved = CountFiles(owner.Folder);
    return r;
}

double ChildCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The real program's command line with the addresses on standard input.
Round CommandLineRound(int items, int jobs, const std::string& folder, const std::string& proxy)
{
    const std::string list = folder + ".list";
    {
        std::ofstream out(list);
        for (const std::string& a : Addresses(items))
            out << a << "\n";
    }
    const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY http_proxy=http://" + proxy + "/ '" CW_CLIPWARDEN_EXE
                            "' get --quiet -x 1 -j " + std::to_string(jobs) + " -P '" + folder + "' - < '" + list + "'";
    Round r;
    const double cpuBefore = ChildCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    r.Status = std::system(cmd.c_str());
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.CpuSeconds = ChildCpuSeconds() - cpuBefore;
    r.Saved = CountFiles(folder);
    return r;
}

// The same requests, page and file of every item, by one curl process.
Round CurlRound(int items, const std::string& base, const std::string& config)
{
    {
        std::ofstream out(config);
        for (int i = 0; i < items; ++i) {
            const std::string id = "clip" + std::to_string(i);
            out << "url = \"http://" << base << "/watch?v=" << id << "\"\noutput = \"/dev/null\"\n";
            out << "url = \"http://" << base << "/get_video?asv=&video_id=" << id
                << "&t=tok\"\noutput = \"/dev/null\"\n";
        }
    }
    const std::string cmd = "curl -s --noproxy '*' -K '" + config + "'";
    Round r;
    const auto c0 = std::chrono::steady_clock::now();
    r.Status = std::system(cmd.c_str());
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
    return r;
}

pid_t StartServer(int listenFd, int delayMs)
{
    gAnswerDelayMs = delayMs;
    pid_t server = ::fork();
    if (server == 0)
        bench::ServeForever(listenFd, Answer);
    return server;
}

void StopServer(pid_t server)
{
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    const int items = argc > 1 ? std::atoi(argv[1]) : 100;
    if (items <= 0)
        return 1;

    int port = 0;
    const int listenFd = bench::ListenOnLoopback(64, port);
    if (listenFd < 0)
        return 1;
    const std::string base = "127.0.0.1:" + std::to_string(port);

    pid_t server = StartServer(listenFd, 0);
    int boxes = 0;
    bench::PrepareWindowProcess(port, &boxes);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    auto folder = [&root](const std::string& name) {
        const std::string path = root + "/" + name;
        ::mkdir(path.c_str(), 0755);
        return path;
    };

    bench::FolderOwner owner;
    owner.Folder = folder("window");
    const Round window = WindowRound(items, owner);
    const Round curl = CurlRound(items, base, root + "/curl.cfg");
    StopServer(server);

    const double overheadMs = (window.Seconds - curl.Seconds) * 1000.0 / items;
    std::printf("run100: %d items, %d saved, window %.3f s (%.1f items/s), curl %.3f s for %d addresses (rc %d), "
                "window %.2f ms/item over curl, window CPU %.2f ms/item, boxes %d\n",
                items, window.Saved, window.Seconds, items / window.Seconds, curl.Seconds, 2 * items, curl.Status,
                overheadMs, window.CpuSeconds * 1000.0 / items, boxes);
    bool ok = window.Saved == items && curl.Status == 0 && boxes == 0;

    // The command line against a host that waits before every answer.
    constexpr int kDelayMs = 50;
    server = StartServer(listenFd, kDelayMs);
    bench::FolderOwner slowOwner;
    slowOwner.Folder = folder("window-slow");
    const Round slowWindow = WindowRound(items, slowOwner);
    const Round one = CommandLineRound(items, 1, folder("cli-1"), base);
    const Round four = CommandLineRound(items, 4, folder("cli-4"), base);
    const Round slowCurl = CurlRound(items, base, root + "/curl-slow.cfg");
    StopServer(server);
    ::close(listenFd);

    std::printf("run100 command line (server waits %d ms per answer): --jobs 1 %.3f s (%d saved, CPU %.2f ms/item), "
                "--jobs 4 %.3f s (%d saved, CPU %.2f ms/item), %.2fx faster; window %.3f s; curl %.3f s for %d "
                "addresses\n",
                kDelayMs, one.Seconds, one.Saved, one.CpuSeconds * 1000.0 / items, four.Seconds, four.Saved,
                four.CpuSeconds * 1000.0 / items, one.Seconds / four.Seconds, slowWindow.Seconds, slowCurl.Seconds,
                2 * items);
    std::printf("run100 per item over curl: window %.2f ms, command line --jobs 1 %.2f ms\n",
                (slowWindow.Seconds - slowCurl.Seconds) * 1000.0 / items, (one.Seconds - slowCurl.Seconds) * 1000.0 / items);
    std::printf("SUMMARY\trun100: %d items, --jobs 4 against --jobs 1 (server waits %d ms per answer)\t%.3f s\t"
                "--jobs 1 %.3f s\t%.2f\t<= 0.40\n",
                items, kDelayMs, four.Seconds, one.Seconds, four.Seconds / one.Seconds);
    ok = ok && one.Saved == items && four.Saved == items && one.Status == 0 && four.Status == 0 && slowCurl.Status == 0;
    return ok ? 0 : 2;
}
