#pragma once
// Real peers on 127.0.0.1 for socket tests. A ScriptedPeer listens on a free port and runs a
// script, on its own thread with plain blocking sockets, for each connection it accepts; the
// scripts below cover echo, close after data, slow drip and draining. RefusedPort gives a port
// nobody listens on. Microsocks runs the system's SOCKS 5 server on a free port.
//
// WaitUntil pumps the application's messages until a condition holds (a generous limit only
// keeps a broken build from hanging; nothing here measures time).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QProcess;

namespace cwtest {

// Blocking helpers for scripts (fd = a connected socket).
bool SendAll(int fd, const std::string& data);
std::string RecvExactly(int fd, size_t count); // shorter when the connection ends first
std::string RecvUntilClosed(int fd);
std::string RecvUntil(int fd, const std::string& marker); // up to and including marker
void SleepMs(int ms);

class ScriptedPeer {
public:
    using Script = std::function<void(int fd)>;

    // Accepts up to maxConnections connections, one after another, each running script.
    explicit ScriptedPeer(Script script, int maxConnections = 1);
    ~ScriptedPeer(); // stops listening and joins the thread
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return FPort; }
    std::string PortStr() const { return std::to_string(FPort); }
    int Accepted() const { return FAccepted.load(); }
    // Everything scripts chose to record (thread-safe).
    void Record(const std::string& s);
    std::string Recorded();

    // Ready-made scripts.
    static Script Echo();
    static Script SendThenClose(std::string data);
    static Script Drip(std::string data, int delayMs);
    static Script Drain();      // reads until the client closes, records what came
    static Script Hold(int ms); // keeps the connection open for ms or until the client closes

private:
    void Run(Script script, int maxConnections);

    int FListenFd = -1;
    std::uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAccepted{0};
    std::mutex FLock;
    std::string FRecorded;
    std::thread FThread;
};

// A port on 127.0.0.1 with no listener: connecting is refused.
std::uint16_t RefusedPort();
// A free port on 127.0.0.1 (bound and released).
std::uint16_t FreePort();

// Pump messages until pred() is true or the limit passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int limitMs = 10000);
// Pump messages for a while (to let late, unwanted events show up).
void PumpFor(int ms);

// /usr/bin/microsocks on a free port of 127.0.0.1, stopped by the destructor.
class Microsocks {
public:
    // Empty user: no authentication. With a user, -u/-P are passed (user name and password
    // authentication required).
    explicit Microsocks(const std::string& user = std::string(), const std::string& password = std::string());
    ~Microsocks();
    Microsocks(const Microsocks&) = delete;
    Microsocks& operator=(const Microsocks&) = delete;

    bool Started() const { return FStarted; }
    std::uint16_t Port() const { return FPort; }
    std::string PortStr() const { return std::to_string(FPort); }
    std::string Error() const { return FError; }

    static const char* Path() { return "/usr/bin/microsocks"; }

private:
    QProcess* FProcess = nullptr;
    std::uint16_t FPort = 0;
    bool FStarted = false;
    std::string FError;
};

} // namespace cwtest
