#include "support/SocketPeers.h"

#include "platform/Application.h"

#include <QProcess>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cwtest {

namespace {

int ListenOnLoopback(std::uint16_t& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof(sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

} // namespace

bool SendAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string RecvExactly(int fd, size_t count)
{
    std::string out;
    char buf[65536];
    while (out.size() < count) {
        ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), count - out.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string RecvUntilClosed(int fd)
{
    // No count is ever reached: only the end of the connection stops the reading.
    return RecvExactly(fd, std::numeric_limits<size_t>::max());
}

std::string RecvUntil(int fd, const std::string& marker)
{
    std::string out;
    char c;
    while (out.size() < marker.size() || out.compare(out.size() - marker.size(), marker.size(), marker) != 0) {
        ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out += c;
    }
    return out;
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- ScriptedPeer ----------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(Script script, int maxConnections)
{
    FListenFd = ListenOnLoopback(FPort);
    FThread = std::thread([this, script = std::move(script), maxConnections] { Run(script, maxConnections); });
}

ScriptedPeer::~ScriptedPeer()
{
    FStop = true;
    FThread.join();
    if (FListenFd >= 0)
        ::close(FListenFd);
}

void ScriptedPeer::Run(Script script, int maxConnections)
{
    for (int i = 0; i < maxConnections && !FStop;) {
        pollfd p{FListenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++FAccepted;
        ++i;
        script(fd);
        ::close(fd);
    }
}

void ScriptedPeer::Record(const std::string& s)
{
    std::lock_guard<std::mutex> lock(FLock);
    FRecorded += s;
}

std::string ScriptedPeer::Recorded()
{
    std::lock_guard<std::mutex> lock(FLock);
    return FRecorded;
}

ScriptedPeer::Script ScriptedPeer::Echo()
{
    return [](int fd) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || !SendAll(fd, std::string(buf, static_cast<size_t>(n))))
                break;
        }
    };
}

ScriptedPeer::Script ScriptedPeer::SendThenClose(std::string data)
{
    return [data](int fd) {
        SendAll(fd, data);
        ::shutdown(fd, SHUT_WR);
        // Linger until the client has closed too, so the close is a clean end, not a reset.
        RecvUntilClosed(fd);
    };
}

ScriptedPeer::Script ScriptedPeer::Drip(std::string data, int delayMs)
{
    return [data, delayMs](int fd) {
        for (char c : data) {
            if (!SendAll(fd, std::string(1, c)))
                return;
            SleepMs(delayMs);
        }
        ::shutdown(fd, SHUT_WR);
        RecvUntilClosed(fd);
    };
}

ScriptedPeer::Script ScriptedPeer::Drain()
{
    return [](int fd) { RecvUntilClosed(fd); };
}

ScriptedPeer::Script ScriptedPeer::Hold(int ms)
{
    // Keeps the connection open for ms, or until the client closes it (then the peer's thread
    // is free at once).
    return [ms](int fd) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[4096];
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && ::recv(fd, buf, sizeof(buf), 0) <= 0)
                return;
        }
    };
}

std::uint16_t FreePort()
{
    std::uint16_t port = 0;
    int fd = ListenOnLoopback(port);
    ::close(fd);
    return port;
}

std::uint16_t RefusedPort()
{
    return FreePort();
}

bool WaitUntil(const std::function<bool()>& pred, int limitMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        cw::Application::WaitMessage(20);
    }
    return true;
}

void PumpFor(int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end)
        cw::Application::WaitMessage(10);
}

// ---- Microsocks ------------------------------------------------------------------------------

Microsocks::Microsocks(const std::string& user, const std::string& password)
{
    if (::access(Path(), X_OK) != 0) {
        FError = std::string(Path()) + " is not installed";
        return;
    }
    FPort = FreePort();
    QStringList args{"-i", "127.0.0.1", "-p", QString::number(FPort)};
    if (!user.empty())
        args << "-u" << QString::fromStdString(user) << "-P" << QString::fromStdString(password);
    FProcess = new QProcess();
    FProcess->setStandardOutputFile(QProcess::nullDevice());
    FProcess->setStandardErrorFile(QProcess::nullDevice());
    FProcess->start(Path(), args);
    if (!FProcess->waitForStarted(5000)) {
        FError = "microsocks did not start: " + FProcess->errorString().toStdString();
        return;
    }
    // Ready when it accepts a connection.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(FPort);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        ::close(fd);
        if (ok) {
            FStarted = true;
            return;
        }
        if (FProcess->state() != QProcess::Running)
            break;
        SleepMs(20);
    }
    FError = "microsocks does not accept connections on port " + std::to_string(FPort);
}

Microsocks::~Microsocks()
{
    if (!FProcess)
        return;
    if (FProcess->state() != QProcess::NotRunning) {
        FProcess->terminate();
        if (!FProcess->waitForFinished(3000)) {
            FProcess->kill();
            FProcess->waitForFinished(3000);
        }
    }
    delete FProcess;
}

} // namespace cwtest
