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

// One connection, one answer, then close (HTTP/1.0).
void Answer(int fd)
{
    const std::string request = bench::ReadRequest(fd);
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

    pid_t server = ::fork();
    if (server == 0)
        bench::ServeForever(listenFd, Answer);
    ::close(listenFd);

    int boxes = 0;
    bench::PrepareWindowProcess(port, &boxes);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    bench::FolderOwner owner;
    owner.Folder = dir.path().toStdString();
    std::vector<std::string> addresses;
    for (int i = 0; i < items; ++i)
        addresses.push_back("http://www.youtube.com/watch?v=clip" + std::to_string(i));

    const double cpuBefore = bench::CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    {
        cw::TForm main;
        cw::TfrmDownload window(&main, addresses, &owner);
        window.JobMode = cw::jmDownload;
        window.ShowModal();
    }
    const double windowSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = bench::CpuSeconds() - cpuBefore;
    const int saved = CountFiles(owner.Folder);

    // The same requests, page and file of every item, by one curl process.
    const std::string config = owner.Folder + "/curl.cfg";
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
    const auto c0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const double curlSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();

    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);

    const double overheadMs = (windowSeconds - curlSeconds) * 1000.0 / items;
    std::printf("run100: %d items, %d saved, window %.3f s (%.1f items/s), curl %.3f s for %d addresses (rc %d), "
                "window %.2f ms/item over curl, window CPU %.2f ms/item, boxes %d\n",
                items, saved, windowSeconds, items / windowSeconds, curlSeconds, 2 * items, rc, overheadMs,
                cpu * 1000.0 / items, boxes);
    return saved == items && rc == 0 && boxes == 0 ? 0 : 2;
}
