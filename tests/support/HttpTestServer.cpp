#include "support/HttpTestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace cwtest {
namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Wait for the descriptor to become readable, in short slices so that a stopping server is
// noticed. Returns false on time-out or stop.
bool WaitReadable(int fd, int timeoutMs, const std::atomic<bool>& stop)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        int slice = std::min(MsLeft(deadline), 100);
        int r = ::poll(&p, 1, slice);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        if (MsLeft(deadline) == 0)
            return false;
    }
    return false;
}

void SplitHostPort(const std::string& authority, std::string& host, std::string& port)
{
    std::string a = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    size_t colon = a.rfind(':');
    if (colon != std::string::npos) {
        host = a.substr(0, colon);
        port = a.substr(colon + 1);
    } else {
        host = a;
        port.clear();
    }
    host = Lower(host);
}

} // namespace

// ---- HttpTestRequest ------------------------------------------------------------------------

std::string HttpTestRequest::Header(const std::string& name) const
{
    std::string n = Lower(name);
    for (const auto& h : Headers)
        if (Lower(h.first) == n)
            return h.second;
    return "";
}

bool HttpTestRequest::HasHeader(const std::string& name) const
{
    std::string n = Lower(name);
    for (const auto& h : Headers)
        if (Lower(h.first) == n)
            return true;
    return false;
}

std::string HttpTestRequest::PathOnly() const
{
    return Path.substr(0, Path.find('?'));
}

std::string HttpTestRequest::Query(const std::string& name) const
{
    size_t q = Path.find('?');
    if (q == std::string::npos)
        return "";
    std::string query = Path.substr(q + 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string::npos ? "" : pair.substr(eq + 1);
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    return "";
}

// ---- HttpTestConnection ---------------------------------------------------------------------

bool HttpTestConnection::Send(std::string bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (FFd < 0 || FStop.load())
            return false;
        ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{FFd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool HttpTestConnection::SendSlowly(std::string bytes, std::size_t pieceSize, int delayMs)
{
    if (pieceSize == 0)
        pieceSize = 1;
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        if (at > 0) {
            auto until = Clock::now() + std::chrono::milliseconds(delayMs);
            while (Clock::now() < until && !FStop.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min(delayMs, 20)));
        }
        if (!Send(bytes.substr(at, pieceSize)))
            return false;
    }
    return true;
}

bool HttpTestConnection::Reply(int status, const std::string& reason, const std::vector<std::string>& headers,
                               const std::string& body, const std::string& version)
{
    std::string out = version + " " + std::to_string(status) + " " + reason + "\r\n";
    bool lengthGiven = false;
    for (const auto& h : headers) {
        std::string name = Lower(h.substr(0, h.find(':')));
        if (name == "content-length" || name == "transfer-encoding")
            lengthGiven = true;
        out += h + "\r\n";
    }
    if (!lengthGiven)
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "\r\n";
    out += body;
    return Send(out);
}

std::string HttpTestConnection::Chunked(const std::string& body, std::size_t chunkSize)
{
    if (chunkSize == 0)
        chunkSize = body.size() ? body.size() : 1;
    std::string out;
    char size[32];
    for (size_t at = 0; at < body.size(); at += chunkSize) {
        std::string piece = body.substr(at, chunkSize);
        std::snprintf(size, sizeof size, "%zx", piece.size());
        out += size;
        out += "\r\n" + piece + "\r\n";
    }
    out += "0\r\n\r\n";
    return out;
}

void HttpTestConnection::Close()
{
    if (FFd < 0)
        return;
    ::shutdown(FFd, SHUT_WR);
    // Read what the client still sends until it closes too, so our close never turns into a
    // reset that could destroy data the client has not read yet.
    WaitForClientClose(3000);
    FCloseFd(FFd);
    FFd = -1;
}

void HttpTestConnection::Reset()
{
    if (FFd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    FCloseFd(FFd);
    FFd = -1;
}

std::string HttpTestConnection::Read(std::size_t n, int timeoutMs)
{
    std::string out;
    size_t take = std::min(n, FPending.size());
    out = FPending.substr(0, take);
    FPending.erase(0, take);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && FFd >= 0) {
        if (!WaitReadable(FFd, MsLeft(deadline), FStop))
            break;
        char buf[65536];
        ssize_t r = ::recv(FFd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

bool HttpTestConnection::WaitForClientClose(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FFd >= 0) {
        if (!WaitReadable(FFd, MsLeft(deadline), FStop))
            return false;
        char buf[4096];
        ssize_t r = ::recv(FFd, buf, sizeof buf, 0);
        if (r == 0)
            return true;
        if (r < 0 && errno != EINTR && errno != EAGAIN)
            return true; // reset: gone as well
    }
    return true;
}

// ---- HttpTestServer -------------------------------------------------------------------------

HttpTestServer::HttpTestServer()
{
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListenFd < 0)
        throw std::runtime_error("HttpTestServer: socket failed");
    int one = 1;
    ::setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListenFd, 64) != 0)
        throw std::runtime_error("HttpTestServer: bind/listen failed");
    socklen_t len = sizeof a;
    ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    if (::pipe2(FWakePipe, O_CLOEXEC) != 0)
        throw std::runtime_error("HttpTestServer: pipe failed");
    FFallback = [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(404, "Not Found", {"Content-Type: text/plain"}, "not found");
    };
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer()
{
    FStop = true;
    char b = 0;
    if (::write(FWakePipe[1], &b, 1) < 0) {
    }
    if (FAcceptThread.joinable())
        FAcceptThread.join();
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (int fd : FOpenFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    ReapWorkers(true);
    ::close(FListenFd);
    ::close(FWakePipe[0]);
    ::close(FWakePipe[1]);
}

std::string HttpTestServer::Address() const
{
    return "127.0.0.1:" + std::to_string(FPort);
}

std::string HttpTestServer::Url(const std::string& path) const
{
    return "http://" + Address() + path;
}

void HttpTestServer::On(const std::string& path, Handler handler)
{
    On("", path, std::move(handler));
}

void HttpTestServer::On(const std::string& host, const std::string& path, Handler handler)
{
    std::lock_guard<std::mutex> lock(FLock);
    std::string h = Lower(host);
    for (auto& r : FRoutes)
        if (r.Host == h && r.Path == path) {
            r.Fn = std::move(handler);
            return;
        }
    FRoutes.push_back({h, path, std::move(handler)});
}

void HttpTestServer::OnAny(Handler handler)
{
    std::lock_guard<std::mutex> lock(FLock);
    FFallback = std::move(handler);
}

void HttpTestServer::Serve(const std::string& host, const std::string& path, const std::string& body,
                           const std::string& contentType)
{
    On(host, path, [body, contentType](const HttpTestRequest& rq, HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: " + contentType}, rq.Method == "HEAD" ? std::string() : body);
    });
}

std::vector<HttpTestRequest> HttpTestServer::Requests() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FRequests;
}

std::size_t HttpTestServer::RequestCount() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FRequests.size();
}

void HttpTestServer::ClearRequests()
{
    std::lock_guard<std::mutex> lock(FLock);
    FRequests.clear();
}

bool HttpTestServer::WaitForRequests(std::size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(FLock);
    return FRequestArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FRequests.size() >= n; });
}

HttpTestServer::Handler HttpTestServer::Find(const HttpTestRequest& rq) const
{
    std::lock_guard<std::mutex> lock(FLock);
    std::string path = rq.PathOnly();
    const Route* best = nullptr;
    int bestScore = -1;
    for (const auto& r : FRoutes) {
        if (!r.Host.empty() && r.Host != rq.Host)
            continue;
        bool match;
        int score;
        if (!r.Path.empty() && r.Path.back() == '*') {
            std::string prefix = r.Path.substr(0, r.Path.size() - 1);
            match = path.compare(0, prefix.size(), prefix) == 0;
            score = static_cast<int>(prefix.size());
        } else {
            match = r.Path == path;
            score = 100000;
        }
        if (!r.Host.empty())
            score += 1000000;
        if (match && score > bestScore) {
            best = &r;
            bestScore = score;
        }
    }
    return best ? best->Fn : FFallback;
}

void HttpTestServer::AcceptLoop()
{
    while (!FStop.load()) {
        pollfd p[2] = {{FListenFd, POLLIN, 0}, {FWakePipe[0], POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents || FStop.load())
            break;
        if (!(p[0].revents & POLLIN))
            continue;
        int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int id = ++FConnections;
        ReapWorkers(false);
        std::lock_guard<std::mutex> lock(FLock);
        FOpenFds.push_back(fd);
        auto w = std::make_unique<Worker>();
        Worker* wp = w.get();
        w->Thread = std::thread([this, fd, id, wp] {
            Serve(fd, id);
            wp->Done = true;
        });
        FWorkers.push_back(std::move(w));
    }
}

void HttpTestServer::ReapWorkers(bool all)
{
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (auto it = FWorkers.begin(); it != FWorkers.end();) {
            if (all || (*it)->Done.load()) {
                finished.push_back(std::move(*it));
                it = FWorkers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& w : finished)
        if (w->Thread.joinable())
            w->Thread.join();
}

void HttpTestServer::Serve(int fd, int id)
{
    HttpTestConnection conn(fd, id, FStop, [this](int f) {
        // Forget the descriptor and close it in one step, so the destructor can never shut
        // down a number the system has already handed to someone else.
        std::lock_guard<std::mutex> lock(FLock);
        for (auto it = FOpenFds.begin(); it != FOpenFds.end(); ++it)
            if (*it == f) {
                FOpenFds.erase(it);
                break;
            }
        ::close(f);
    });
    int index = 0;
    while (!FStop.load() && !conn.Closed()) {
        // Read one request header.
        std::string& data = conn.FPending;
        size_t end;
        while ((end = data.find("\r\n\r\n")) == std::string::npos) {
            if (data.size() > 1024 * 1024 || !WaitReadable(fd, 30000, FStop))
                goto done;
            char buf[8192];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                goto done;
            data.append(buf, static_cast<size_t>(n));
        }
        {
            HttpTestRequest rq;
            rq.RawHeader = data.substr(0, end + 4);
            data.erase(0, end + 4);
            rq.ConnectionId = id;
            rq.IndexOnConnection = ++index;

            std::vector<std::string> lines;
            size_t start = 0;
            while (start < rq.RawHeader.size()) {
                size_t eol = rq.RawHeader.find("\r\n", start);
                if (eol == std::string::npos || eol == start)
                    break;
                lines.push_back(rq.RawHeader.substr(start, eol - start));
                start = eol + 2;
            }
            if (lines.empty())
                goto done;
            {
                const std::string& rl = lines[0];
                size_t s1 = rl.find(' ');
                size_t s2 = rl.rfind(' ');
                rq.Method = rl.substr(0, s1);
                if (s1 != std::string::npos && s2 > s1) {
                    rq.Target = rl.substr(s1 + 1, s2 - s1 - 1);
                    rq.Version = rl.substr(s2 + 1);
                }
            }
            for (size_t i = 1; i < lines.size(); ++i) {
                size_t colon = lines[i].find(':');
                if (colon == std::string::npos)
                    continue;
                rq.Headers.emplace_back(lines[i].substr(0, colon), Trim(lines[i].substr(colon + 1)));
            }
            size_t sep = rq.Target.find("://");
            if (sep != std::string::npos && rq.Target[0] != '/') {
                rq.Absolute = true;
                rq.Scheme = Lower(rq.Target.substr(0, sep));
                std::string rest = rq.Target.substr(sep + 3);
                size_t slash = rest.find_first_of("/?");
                SplitHostPort(rest.substr(0, slash), rq.Host, rq.Port);
                rq.Path = slash == std::string::npos ? "/" : rest.substr(slash);
                if (!rq.Path.empty() && rq.Path[0] == '?')
                    rq.Path = "/" + rq.Path;
            } else {
                rq.Path = rq.Target;
                SplitHostPort(rq.Header("Host"), rq.Host, rq.Port);
            }
            std::string cl = rq.Header("Content-Length");
            if (!cl.empty()) {
                size_t want = std::strtoull(cl.c_str(), nullptr, 10);
                rq.Body = conn.Read(want, 10000);
            }

            Handler h = Find(rq);
            {
                std::lock_guard<std::mutex> lock(FLock);
                FRequests.push_back(rq);
            }
            FRequestArrived.notify_all();
            conn.FKeepAlive = false;
            h(rq, conn);
            if (!conn.FKeepAlive)
                break;
        }
    }
done:
    if (!conn.Closed())
        conn.Close();
}

// ---- helpers --------------------------------------------------------------------------------

std::uint16_t FreeLocalPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool WaitForPort(std::uint16_t port, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::close(fd);
        if (r == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace cwtest
