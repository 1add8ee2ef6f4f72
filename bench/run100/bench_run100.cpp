// bench_run100 [items]   (default: 100)
//
// A download-only run of many small YouTube items through the real download window, shown
// offscreen, with the system proxy pointed at a local server whose watch pages are complete at
// once (no build-up time) and whose direct addresses answer with a small file. Then the same
// addresses (every page and every file) fetched by one curl process from the same server.
// Prints items per second, and the window's time per item on top of curl's, next to the CPU
// time the window process spent per item.
//
// The server runs in a child process forked before anything else, so the window process's CPU
// time is the program's own.

#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/Form.h"
#include "retrieval/Download.h"

#include <QApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
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

bool SendAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One connection, one answer, then close (HTTP/1.0).
void Answer(int fd)
{
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        request.append(buf, static_cast<size_t>(n));
    }
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
    SendAll(fd, answer.data(), answer.size());
    ::shutdown(fd, SHUT_WR);
    char drain[256];
    while (::recv(fd, drain, sizeof drain, 0) > 0) {
    }
    ::close(fd);
}

[[noreturn]] void ServeForever(int listenFd)
{
    std::signal(SIGCHLD, SIG_IGN);
    for (;;) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (::fork() == 0) {
            ::close(listenFd);
            Answer(fd);
            _exit(0);
        }
        ::close(fd);
        if (::getppid() == 1)
            _exit(0);
    }
}

double CpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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

struct Owner : cw::TRunOwner {
    std::string Folder;
    std::string OutputFolderText() const override { return Folder; }
    int Quality() const override { return cw::vqNormal; }
    cw::TConvertProcess* ConvertRunner() const override { return nullptr; }
};

} // namespace

int main(int argc, char** argv)
{
    const int items = argc > 1 ? std::atoi(argv[1]) : 100;
    if (items <= 0)
        return 1;

    int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd, 64) != 0) {
        std::perror("listen");
        return 1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string base = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    pid_t server = ::fork();
    if (server == 0)
        ServeForever(listenFd);
    ::close(listenFd);

    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("http_proxy", ("http://" + base + "/").c_str(), 1);
    QApplication app(argc, argv);
    cw::Application::SetTitle("Ostrelle Clipwarden");
    int boxes = 0;
    cw::SetMessageBoxHandler([&](const std::string& text, const std::string&, unsigned flags) {
        ++boxes;
        std::fprintf(stderr, "box: %.200s\n", text.c_str());
        return cw::DefaultAnswer(flags);
    });
    QTemporaryDir dir;
    Owner owner;
    owner.Folder = dir.path().toStdString();
    std::vector<std::string> addresses;
    for (int i = 0; i < items; ++i)
        addresses.push_back("http://www.youtube.com/watch?v=clip" + std::to_string(i));

    const double cpuBefore = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    {
        cw::TForm main;
        cw::TfrmDownload window(&main, addresses, &owner);
        window.JobMode = cw::jmDownload;
        window.ShowModal();
    }
    const double windowSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpuBefore;
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
