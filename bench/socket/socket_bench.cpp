// Receives the same amount of data over loopback twice per round: through TWSocket (receive
// loop, OnDataAvailable, Receive into a buffer) and through a plain blocking recv loop. The
// sender is the same blocking thread both times. Prints both throughputs, their ratio, and the
// memory seen while a steady sender queues and sends through TWSocket.
//
//   bench_socket [MiB per run, default 1024] [rounds, default 3]

#include "net/socket/WSocketComponent.h"
#include "platform/Application.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBufSize = 64 * 1024;

using Clock = std::chrono::steady_clock;

struct Listener {
    int Fd = -1;
    std::uint16_t Port = 0;
    Listener()
    {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        ::listen(Fd, 4);
        socklen_t len = sizeof(sa);
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&sa), &len);
        Port = ntohs(sa.sin_port);
    }
    ~Listener() { ::close(Fd); }
};

// Accepts one connection and sends total bytes in blocks, then closes.
std::thread StartSender(Listener& l, size_t total)
{
    return std::thread([&l, total] {
        int fd = ::accept(l.Fd, nullptr, nullptr);
        std::vector<char> block(kBufSize, 'x');
        size_t left = total;
        while (left > 0) {
            ssize_t n = ::send(fd, block.data(), std::min(left, block.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            left -= static_cast<size_t>(n);
        }
        ::close(fd);
    });
}

double PlainRun(size_t total)
{
    Listener l;
    std::thread sender = StartSender(l, total);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(l.Port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    std::vector<char> buf(kBufSize);
    size_t got = 0;
    auto t0 = Clock::now();
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(fd);
    sender.join();
    if (got != total)
        std::fprintf(stderr, "plain loop received %zu of %zu bytes\n", got, total);
    return static_cast<double>(got) / secs;
}

double WSocketRun(size_t total)
{
    Listener l;
    std::thread sender = StartSender(l, total);
    cw::TWSocket s;
    std::vector<char> buf(kBufSize);
    size_t got = 0;
    bool done = false;
    s.OnDataAvailable = [&](cw::TObject*, std::uint16_t) {
        int n = s.Receive(buf.data(), kBufSize);
        if (n > 0)
            got += static_cast<size_t>(n);
    };
    s.OnSessionClosed = [&](cw::TObject*, std::uint16_t) { done = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(l.Port));
    auto t0 = Clock::now();
    s.Connect();
    while (!done)
        cw::Application::HandleMessage();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    sender.join();
    if (got != total)
        std::fprintf(stderr, "TWSocket received %zu of %zu bytes\n", got, total);
    return static_cast<double>(got) / secs;
}

long StatusKb(const char* key)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

// A steady sender: many small Sends through TWSocket to a draining peer. Reports resident
// memory before, after and at its highest during the run, and the largest send queue.
void SteadySender(size_t total)
{
    Listener l;
    std::thread drain([&l] {
        int fd = ::accept(l.Fd, nullptr, nullptr);
        std::vector<char> buf(kBufSize);
        while (::recv(fd, buf.data(), buf.size(), 0) > 0) {
        }
        ::close(fd);
    });
    cw::TWSocket s;
    bool connected = false;
    s.OnSessionConnected = [&](cw::TObject*, std::uint16_t) { connected = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(l.Port));
    s.Connect();
    while (!connected)
        cw::Application::HandleMessage();

    // One Send per OnDataSent, as the HTTP client sends a body.
    const std::string piece(1000, 'm');
    long before = StatusKb("VmRSS:");
    long highest = before;
    int maxChunks = 0;
    size_t sent = 0;
    bool finished = false;
    auto sendNext = [&] {
        if (sent >= total) {
            finished = true;
            return;
        }
        s.Send(piece.data(), static_cast<int>(piece.size()));
        sent += piece.size();
        maxChunks = std::max(maxChunks, s.SendQueueChunks());
        if ((sent & ((64u << 20) - 1)) < piece.size())
            highest = std::max(highest, StatusKb("VmRSS:"));
    };
    s.OnDataSent = [&](cw::TObject*, std::uint16_t) { sendNext(); };
    auto t0 = Clock::now();
    sendNext();
    while (!finished)
        cw::Application::HandleMessage();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    long after = StatusKb("VmRSS:");
    s.Close();
    drain.join();
    std::printf("steady sender: %zu MiB in 1000-byte sends, %.1f MiB/s, resident %ld kB before, %ld kB after, "
                "highest %ld kB, send queue at most %d chunk(s)\n",
                total >> 20, static_cast<double>(sent) / secs / (1 << 20), before, after, highest, maxChunks);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    size_t total = mib << 20;

    std::vector<double> plain;
    std::vector<double> wsock;
    for (int r = 0; r < rounds; ++r) {
        // Alternate the order so neither side always runs on a warmer machine.
        if (r % 2 == 0) {
            plain.push_back(PlainRun(total));
            wsock.push_back(WSocketRun(total));
        } else {
            wsock.push_back(WSocketRun(total));
            plain.push_back(PlainRun(total));
        }
        std::printf("round %d: plain recv %.1f MiB/s, TWSocket %.1f MiB/s\n", r + 1, plain.back() / (1 << 20),
                    wsock.back() / (1 << 20));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double p = median(plain);
    double w = median(wsock);
    std::printf("receive %zu MiB over loopback, %d-byte buffer, median of %d rounds:\n", mib, kBufSize, rounds);
    std::printf("  plain blocking recv loop: %.1f MiB/s\n", p / (1 << 20));
    std::printf("  TWSocket receive loop:    %.1f MiB/s\n", w / (1 << 20));
    std::printf("  ratio TWSocket / plain:   %.3f\n", w / p);
    SteadySender(std::max<size_t>(total / 4, 1u << 20));
    std::printf("peak resident memory of the run: %ld kB\n", StatusKb("VmHWM:"));
    // One tab-separated line for bench/run-all.sh: benchmark, ours, reference, ratio, goal.
    std::printf("SUMMARY\tsocket: receive %zu MiB over loopback\t%.1f MiB/s\trecv loop %.1f MiB/s\t%.3f\t>= 0.90\n",
                mib, w / (1 << 20), p / (1 << 20), w / p);
    return 0;
}
