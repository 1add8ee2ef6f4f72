// bench_download [megabytes ...]   (default: 128 1024)
// bench_download --cut MEGABYTES   (run.sh adds: --cut 256)
//
// For each size: a download-only run of one YouTube item through the real download window,
// shown offscreen, with the system proxy pointed at a local server that serves the watch page,
// relocates the direct address to another host and sends the file; then the same file fetched
// by curl -o from the same server. Prints both times, their ratio, the CPU time the run took in
// this process, and the process's peak memory after each run (flat in the file size when the
// window streams the file to disk).
//
// With --cut: the same file of the given size twice through the window, once whole and once with
// its connection cut four times (at each fifth of the file; the window asks for the rest with a
// Range request, with its pauses between tries set to nothing so that only the transfer is
// timed). Both files are checked byte for byte; the ratio of the two times is the cost of
// resuming.
//
// The server (bench/common) runs in a child process, so the window process's CPU time and
// memory are the client's alone.

#include "BenchSite.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/Form.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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

// One connection, one answer, then close (HTTP/1.0).
void Answer(int fd)
{
    const std::string request = bench::ReadRequest(fd);
    const std::string line = request.substr(0, request.find("\r\n"));
    std::string head;
    if (line.find("/watch?v=") != std::string::npos) {
        head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(std::strlen(kPage)) +
               "\r\n\r\n" + kPage;
        bench::SendAll(fd, head.data(), head.size());
    } else if (line.find("/get_video") != std::string::npos) {
        head = "HTTP/1.0 302 Found\r\nLocation: http://v7.lscache.bench.example/file\r\nContent-Length: 0\r\n\r\n";
        bench::SendAll(fd, head.data(), head.size());
    } else if (line.find("/file") != std::string::npos && std::getenv("BENCH_CUT")) {
        // Bytes that say where they are (offset mod 251), so that a resumed file that glued
        // the wrong pieces together shows. Ranges are honoured; a cut answer stops at the next
        // fifth of the file.
        const long long size = std::atoll(std::getenv("BENCH_FILE_SIZE"));
        const bool cut = std::atoi(std::getenv("BENCH_CUT")) != 0;
        long long from = 0;
        static const std::string kRange = "\r\nRange: bytes=";
        const std::size_t range = request.find(kRange);
        if (range != std::string::npos)
            from = std::atoll(request.c_str() + range + kRange.size());
        long long end = size;
        if (cut)
            for (int k = 1; k < 5; ++k)
                if (size * k / 5 > from) {
                    end = size * k / 5;
                    break;
                }
        if (from > 0)
            head = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                   std::to_string(size - 1) + "/" + std::to_string(size) + "\r\n";
        else
            head = "HTTP/1.0 200 OK\r\n";
        head += "ETag: \"bench\"\r\nContent-Type: video/x-flv\r\nContent-Length: " + std::to_string(size - from) +
                "\r\n\r\n";
        if (bench::SendAll(fd, head.data(), head.size())) {
            static std::vector<char> block = [] {
                std::vector<char> b((1 << 20) + 251);
                for (std::size_t i = 0; i < b.size(); ++i)
                    b[i] = static_cast<char>(i % 251);
                return b;
            }();
            for (long long at = from; at < end;) {
                const long long n = std::min<long long>(end - at, 1 << 20);
                if (!bench::SendAll(fd, block.data() + at % 251, static_cast<std::size_t>(n)))
                    break;
                at += n;
            }
        }
        if (end < size) {
            // The connection ends early at the cut. An orderly close, not a reset: a reset throws
            // away what is still in flight, so the client would resume short of the cut and be cut
            // again at the same fifth, a different number of times on every run.
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
            return;
        }
    } else if (line.find("/file") != std::string::npos) {
        // The size of this round, set before the server was forked.
        long long size = std::atoll(std::getenv("BENCH_FILE_SIZE"));
        head = "HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
        if (bench::SendAll(fd, head.data(), head.size())) {
            static std::vector<char> block(1 << 20, 'v');
            while (size > 0) {
                size_t n = static_cast<size_t>(std::min<long long>(size, static_cast<long long>(block.size())));
                if (!bench::SendAll(fd, block.data(), n))
                    break;
                size -= static_cast<long long>(n);
            }
        }
    } else {
        head = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        bench::SendAll(fd, head.data(), head.size());
    }
    bench::EndAnswer(fd);
}

long long FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

} // namespace

bool PatternFileIsWhole(const std::string& path, long long size)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<unsigned char> buf(1 << 20);
    long long at = 0;
    bool ok = true;
    for (std::size_t n; ok && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;)
        for (std::size_t i = 0; i < n; ++i, ++at)
            if (buf[i] != static_cast<unsigned char>(at % 251)) {
                ok = false;
                break;
            }
    std::fclose(f);
    return ok && at == size;
}

// The --cut case, in this (client) process: seconds for the window's run, or -1 on failure.
double CutRun(long long size)
{
    QTemporaryDir dir;
    bench::FolderOwner owner;
    owner.Folder = dir.path().toStdString();
    const auto t0 = std::chrono::steady_clock::now();
    {
        cw::TForm main;
        cw::TfrmDownload window(&main, {"http://www.youtube.com/watch?v=bench"}, &owner);
        window.JobMode = cw::jmDownload;
        window.SetRetryDelays({0, 0, 0, 0, 0});
        window.ShowModal();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return PatternFileIsWhole(owner.Folder + "/Bench Clip.flv", size) ? seconds : -1;
}

// --fetch URL CONNECTIONS [EXPECTED]: one download-only run of a direct file address through the window,
// with that many connections per file and no proxy; one line with the time, the size and the
// process's peak memory. --fetch-engine: the same with the engine alone, in a process without
// widgets. (bench/download/segments.sh runs both against nginx beside curl and aria2.)
// What the engine says, for a run without any window: the end of the run ends the loop.
struct QuitAtEnd : cw::TRunEvents {
    void RunEnded(cw::TRunEnd) override { QCoreApplication::quit(); }
};

int FetchRun(int argc, char** argv, const std::string& url, int connections, const std::string& expected,
             bool withoutWindow)
{
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    cw::Application::SetTitle("Ostrelle Clipwarden");
    cw::SetMessageBoxHandler([](const std::string& text, const std::string&, unsigned flags) {
        std::fprintf(stderr, "box: %.200s\n", text.c_str());
        return cw::DefaultAnswer(flags);
    });
    // The engine alone runs in a process without widgets, as a command line would.
    std::unique_ptr<QCoreApplication> app = withoutWindow ? std::make_unique<QCoreApplication>(argc, argv)
                                                          : std::make_unique<QApplication>(argc, argv);
    QTemporaryDir dir;
    bench::FolderOwner owner;
    owner.Folder = dir.path().toStdString();
    owner.ConnectionsPerFile = connections;
    const auto t0 = std::chrono::steady_clock::now();
    if (withoutWindow) {
        QuitAtEnd events;
        cw::TRunEngine engine({url}, &owner, events);
        engine.SetJob(cw::jmDownload, std::string(), std::string());
        engine.Start();
        QCoreApplication::exec();
    } else {
        cw::TForm main;
        cw::TfrmDownload window(&main, {url}, &owner);
        window.JobMode = cw::jmDownload;
        window.ShowModal();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string name = url.substr(url.rfind('/') + 1);
    const std::string saved = owner.Folder + "/" + name;
    const long long got = FileSize(saved);
    std::printf("fetch %d connections: %.3f s, %lld bytes, peak %ld KiB\n", connections, seconds, got,
                bench::PeakKilobytes());
    if (!expected.empty() && std::system(("cmp -s '" + saved + "' '" + expected + "'").c_str()) != 0) {
        std::fprintf(stderr, "the file differs from %s\n", expected.c_str());
        return 3;
    }
    return got > 0 ? 0 : 2;
}

int main(int argc, char** argv)
{
    if ((argc == 4 || argc == 5) && (std::strcmp(argv[1], "--fetch") == 0 || std::strcmp(argv[1], "--fetch-engine") == 0))
        return FetchRun(argc, argv, argv[2], std::atoi(argv[3]), argc == 5 ? argv[4] : "",
                        std::strcmp(argv[1], "--fetch-engine") == 0);
    std::vector<long long> sizesMb;
    long long cutMb = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cut") == 0 && i + 1 < argc)
            cutMb = std::atoll(argv[++i]);
        else
            sizesMb.push_back(std::atoll(argv[i]));
    }
    if (sizesMb.empty() && cutMb == 0)
        sizesMb = {128, 1024};

    int port = 0;
    const int listenFd = bench::ListenOnLoopback(16, port);
    if (listenFd < 0)
        return 1;

    // Each size runs in a fresh process pair so that peak memory is per size.
    for (long long mb : sizesMb) {
        const long long size = mb * 1024 * 1024;
        setenv("BENCH_FILE_SIZE", std::to_string(size).c_str(), 1);
        pid_t server = ::fork();
        if (server == 0)
            bench::ServeForever(listenFd, Answer);

        pid_t client = ::fork();
        if (client == 0) {
            ::close(listenFd);
            bench::PrepareWindowProcess(port);
            QApplication app(argc, argv);
            QTemporaryDir dir;
            bench::FolderOwner owner;
            owner.Folder = dir.path().toStdString();

            const double cpuBefore = bench::CpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            {
                cw::TForm main;
                cw::TfrmDownload window(&main, {"http://www.youtube.com/watch?v=bench"}, &owner);
                window.JobMode = cw::jmDownload;
                window.ShowModal();
            }
            const double windowSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double cpu = bench::CpuSeconds() - cpuBefore;
            const std::string windowFile = owner.Folder + "/Bench Clip.flv";
            const long long got = FileSize(windowFile);
            const long peak = bench::PeakKilobytes();
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
    if (cutMb > 0) {
        const long long size = cutMb * 1024 * 1024;
        setenv("BENCH_FILE_SIZE", std::to_string(size).c_str(), 1);
        // The server reads BENCH_CUT per request from the environment it was forked with, so
        // each of the two runs gets a server of its own.
        double seconds[2] = {-1, -1};
        for (int cut = 0; cut < 2; ++cut) {
            setenv("BENCH_CUT", cut ? "1" : "0", 1);
            pid_t server = ::fork();
            if (server == 0)
                bench::ServeForever(listenFd, Answer);
            int pipeFd[2];
            if (::pipe(pipeFd) != 0)
                return 1;
            pid_t client = ::fork();
            if (client == 0) {
                ::close(listenFd);
                ::close(pipeFd[0]);
                bench::PrepareWindowProcess(port);
                QApplication app(argc, argv);
                const double s = CutRun(size);
                (void)!::write(pipeFd[1], &s, sizeof s);
                _exit(0);
            }
            ::close(pipeFd[1]);
            (void)!::read(pipeFd[0], &seconds[cut], sizeof seconds[cut]);
            ::close(pipeFd[0]);
            ::waitpid(client, nullptr, 0);
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);
        }
        if (seconds[0] < 0 || seconds[1] < 0) {
            std::fprintf(stderr, "cut run of %lld MiB failed (a file was not whole)\n", cutMb);
            return 1;
        }
        std::printf("file %lld MiB: whole %.3f s, cut four times %.3f s (byte-identical), ratio %.2f\n", cutMb,
                    seconds[0], seconds[1], seconds[1] / seconds[0]);
        std::printf("SUMMARY\tdownload: %lld MiB cut four times and resumed\t%.3f s\twhole %.3f s\t%.2f\t<= 1.30\n",
                    cutMb, seconds[1], seconds[0], seconds[1] / seconds[0]);
        std::fflush(stdout);
    }
    return 0;
}
