#include "BenchSite.h"

#include "platform/Application.h"
#include "platform/MessageBox.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

bool SendAll(int fd, const char* data, std::size_t len)
{
    while (len > 0) {
        ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
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
        request.append(buf, static_cast<std::size_t>(n));
    }
    return request;
}

void EndAnswer(int fd)
{
    ::shutdown(fd, SHUT_WR);
    char drain[256];
    while (::recv(fd, drain, sizeof drain, 0) > 0) {
    }
    ::close(fd);
}

int ListenOnLoopback(int backlog, int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        std::perror("listen");
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

void ServeForever(int listenFd, void (*answer)(int fd))
{
    std::signal(SIGCHLD, SIG_IGN);
    for (;;) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (::fork() == 0) {
            ::close(listenFd);
            answer(fd);
            _exit(0);
        }
        ::close(fd);
        if (::getppid() == 1)
            _exit(0);
    }
}

void PrepareWindowProcess(int port, int* boxes)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), 1);
    cw::Application::SetTitle("Ostrelle Clipwarden");
    cw::SetMessageBoxHandler([boxes](const std::string& text, const std::string&, unsigned flags) {
        if (boxes)
            ++*boxes;
        std::fprintf(stderr, "box: %.200s\n", text.c_str());
        return cw::DefaultAnswer(flags);
    });
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

} // namespace bench
