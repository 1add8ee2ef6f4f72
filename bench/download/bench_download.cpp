// bench_download [megabytes ...]   (default: 128 1024)
//
// For each size: a download-only run of one YouTube item through the real download window,
// shown offscreen, with the system proxy pointed at a local server that serves the watch page,
// relocates the direct address to another host and sends the file; then the same file fetched
// by curl -o from the same server. Prints both times, their ratio, the CPU time the run took in
// this process, and the process's peak memory after each run (flat in the file size when the
// window streams the file to disk).
//
// The server runs in a child process forked before anything else, so this process's CPU time
// and memory are the client's alone.

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
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kPage =
    "<html><head><title>YouTube - Bench Clip</title></head><body><script>"
    "var swfArgs = {\"video_id\": \"bench\", \"t\": \"benchtoken\"}; var f = {'IS_HD_AVAILABLE': false};"
    "</script></body></html>";

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

std::string ReadRequest(int fd)
{
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        request.append(buf, static_cast<size_t>(n));
    }
    return request;
}

// One connection, one answer, then close (HTTP/1.0).
void Answer(int fd)
{
    const std::string request = ReadRequest(fd);
    const std::string line = request.substr(0, request.find("\r\n"));
    std::string head;
    if (line.find("/watch?v=") != std::string::npos) {
        head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(std::strlen(kPage)) +
               "\r\n\r\n" + kPage;
        SendAll(fd, head.data(), head.size());
    } else if (line.find("/get_video") != std::string::npos) {
        head = "HTTP/1.0 302 Found\r\nLocation: http://v7.lscache.bench.example/file\r\nContent-Length: 0\r\n\r\n";
        SendAll(fd, head.data(), head.size());
    } else if (line.find("/file") != std::string::npos) {
        // The size of this round, set before the server was forked.
        long long size = std::atoll(std::getenv("BENCH_FILE_SIZE"));
        head = "HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
        if (SendAll(fd, head.data(), head.size())) {
            static std::vector<char> block(1 << 20, 'v');
            while (size > 0) {
                size_t n = static_cast<size_t>(std::min<long long>(size, static_cast<long long>(block.size())));
                if (!SendAll(fd, block.data(), n))
                    break;
                size -= static_cast<long long>(n);
            }
        }
    } else {
        head = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        SendAll(fd, head.data(), head.size());
    }
    ::shutdown(fd, SHUT_WR);
    char drain[256];
    while (::recv(fd, drain, sizeof drain, 0) > 0) {
    }
    ::close(fd);
}

// The server: accepts until the parent goes away; one child process per connection keeps it
// simple and never lets a slow reader hold up the next request.
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

long PeakKilobytes()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long long FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
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
    std::vector<long long> sizesMb;
    for (int i = 1; i < argc; ++i)
        sizesMb.push_back(std::atoll(argv[i]));
    if (sizesMb.empty())
        sizesMb = {128, 1024};

    int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd, 16) != 0) {
        std::perror("listen");
        return 1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    // Each size runs in a fresh process pair so that peak memory is per size.
    for (long long mb : sizesMb) {
        const long long size = mb * 1024 * 1024;
        setenv("BENCH_FILE_SIZE", std::to_string(size).c_str(), 1);
        pid_t server = ::fork();
        if (server == 0)
            ServeForever(listenFd);

        pid_t client = ::fork();
        if (client == 0) {
            ::close(listenFd);
            setenv("QT_QPA_PLATFORM", "offscreen", 0);
            const std::string proxy = "http://127.0.0.1:" + std::to_string(port) + "/";
            setenv("http_proxy", proxy.c_str(), 1);
            QApplication app(argc, argv);
            cw::Application::SetTitle("Ostrelle Clipwarden");
            cw::SetMessageBoxHandler([](const std::string& text, const std::string&, unsigned flags) {
                std::fprintf(stderr, "box: %s\n", text.c_str());
                return cw::DefaultAnswer(flags);
            });
            QTemporaryDir dir;
            Owner owner;
            owner.Folder = dir.path().toStdString();

            const double cpuBefore = CpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            {
                cw::TForm main;
                cw::TfrmDownload window(&main, {"http://www.youtube.com/watch?v=bench"}, &owner);
                window.JobMode = cw::jmDownload;
                window.ShowModal();
            }
            const double windowSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double cpu = CpuSeconds() - cpuBefore;
            const std::string windowFile = owner.Folder + "/Bench Clip.flv";
            const long long got = FileSize(windowFile);
            const long peak = PeakKilobytes();
            ::unlink(windowFile.c_str());

            const std::string curlFile = owner.Folder + "/curl.flv";
            const std::string cmd =
                "curl -s --noproxy '*' -o '" + curlFile + "' http://127.0.0.1:" + std::to_string(port) + "/file";
            const auto c0 = std::chrono::steady_clock::now();
            const int rc = std::system(cmd.c_str());
            const double curlSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
            const long long curlGot = FileSize(curlFile);
            ::unlink(curlFile.c_str());

            std::printf("file %lld MiB: window %.3f s (%lld bytes), curl %.3f s (%lld bytes, rc %d), ratio %.2f, "
                        "window CPU %.3f s, peak memory %.1f MiB\n",
                        mb, windowSeconds, got, curlSeconds, curlGot, rc, windowSeconds / curlSeconds, cpu,
                        static_cast<double>(peak) / 1024.0);
            // One tab-separated line for bench/run-all.sh: benchmark, ours, reference, ratio, goal.
            std::printf(
                "SUMMARY\tdownload: %lld MiB video through the window (peak %.1f MiB)\t%.3f s\tcurl %.3f s\t%.2f"
                "\t<= 1.10\n",
                mb, static_cast<double>(peak) / 1024.0, windowSeconds, curlSeconds, windowSeconds / curlSeconds);
            std::fflush(stdout);
            _exit(got == size && curlGot == size ? 0 : 2);
        }
        int status = 0;
        ::waitpid(client, &status, 0);
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run of %lld MiB failed\n", mb);
            return 1;
        }
    }
    return 0;
}
