#pragma once
// A scripted HTTP server on 127.0.0.1 for tests: plain POSIX sockets on its own threads,
// independent of the program's socket and HTTP code. Handlers are registered per path, or per
// host and path, and answer each request by writing to the connection: a whole response, raw
// bytes (broken status lines, over-long header lines, chunked bodies with extensions), slow
// drips, or a close or reset in the middle.
//
// It also acts as an HTTP proxy: a request line with an absolute address
// ("GET http://www.example.com/watch?v=1 HTTP/1.0") is routed by that address's host, so a
// test can point a client's proxy (or the http_proxy variable) at the server and serve any
// number of "hosts" from one port. Without an absolute address the Host header decides.
//
//   cwtest::HttpTestServer server;
//   server.On("/file", [](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
//       c.Reply(200, "OK", {"Content-Type: text/plain"}, "hello");
//   });
//   server.Serve("www.youtube.com", "/watch", pageHtml, "text/html");
//   client.SetURL(server.Url("/file"));
//
// By default a connection is closed after its handler returns; a handler that calls
// KeepAlive() gets the next request on the same connection. Requests that match nothing get a
// 404. Every request is recorded (Requests()) with its connection number, so tests can check
// what went over the wire and whether a connection was reused.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace cwtest {

struct HttpTestRequest {
    std::string Method;
    std::string Target;  // as written on the request line
    std::string Version; // "HTTP/1.0"
    bool Absolute = false; // the request line carried an absolute address (proxy style)
    std::string Scheme;  // of an absolute address
    std::string Host;    // lower-cased, without port: from the absolute address, else the Host header
    std::string Port;    // port given with that host, or ""
    std::string Path;    // path and query
    std::vector<std::pair<std::string, std::string>> Headers; // in arrival order, names as sent
    std::string RawHeader; // the request line and header lines exactly as received, blank line included
    std::string Body;      // Content-Length bytes after the header
    int ConnectionId = 0;  // requests with the same number came over the same connection
    int IndexOnConnection = 0;

    // Value of the first header with this name (any case), or "".
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    // Path without the query string.
    std::string PathOnly() const;
    // Value of a query parameter (not decoded), or "".
    std::string Query(const std::string& name) const;
};

class HttpTestConnection {
public:
    // Raw bytes to the client; false once the client has gone.
    // Both take their bytes by value: a handler often passes a string that belongs to the test
    // body, and the client may finish (ending the test) while the last write is still returning.
    bool Send(std::string bytes);
    // The bytes in pieces of pieceSize with a pause of delayMs between them.
    bool SendSlowly(std::string bytes, std::size_t pieceSize, int delayMs);
    // A whole response: status line (HTTP/1.1 unless version says otherwise), the header lines
    // given, a Content-Length line unless one of the given lines names Content-Length or
    // Transfer-Encoding, the empty line and the body.
    bool Reply(int status, const std::string& reason, const std::vector<std::string>& headers,
               const std::string& body, const std::string& version = "HTTP/1.1");
    // Chunked encoding of a body in pieces of chunkSize ("5\r\nhello\r\n...0\r\n\r\n").
    static std::string Chunked(const std::string& body, std::size_t chunkSize);

    // Keep the connection for another request after the handler returns.
    void KeepAlive(bool keep = true) { FKeepAlive = keep; }
    // Close the connection now (orderly close).
    void Close();
    // Reset the connection now (the client sees a reset, not an orderly close).
    void Reset();
    // Read up to n more bytes from the client, waiting at most timeoutMs.
    std::string Read(std::size_t n, int timeoutMs = 5000);
    // Wait until the client closes the connection (true) or timeoutMs passes (false).
    bool WaitForClientClose(int timeoutMs);
    bool Closed() const { return FFd < 0; }
    int Id() const { return FId; }

private:
    friend class HttpTestServer;
    HttpTestConnection(int fd, int id, const std::atomic<bool>& stop, std::function<void(int)> closeFd)
        : FFd(fd), FId(id), FStop(stop), FCloseFd(std::move(closeFd))
    {
    }
    int FFd;
    int FId;
    const std::atomic<bool>& FStop;
    std::function<void(int)> FCloseFd; // closes the descriptor under the server's lock
    bool FKeepAlive = false;
    std::string FPending; // bytes read past the current request
};

class HttpTestServer {
public:
    using Handler = std::function<void(const HttpTestRequest&, HttpTestConnection&)>;

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    // "127.0.0.1:port", e.g. for a proxy setting or http_proxy.
    std::string Address() const;
    // "http://127.0.0.1:port" + path.
    std::string Url(const std::string& path) const;

    // Register a handler. A path ending in "*" matches every path with that beginning; the
    // query string never takes part. Host "" matches every host. Later registrations of the
    // same key replace earlier ones; more specific keys (with a host) win.
    void On(const std::string& path, Handler handler);
    void On(const std::string& host, const std::string& path, Handler handler);
    // The handler for requests nothing else matches (default: 404 with a short body).
    void OnAny(Handler handler);
    // A fixed document: 200 with Content-Length and the given type.
    void Serve(const std::string& host, const std::string& path, const std::string& body,
               const std::string& contentType = "text/html");

    std::vector<HttpTestRequest> Requests() const;
    std::size_t RequestCount() const;
    // Number of connections accepted so far.
    int ConnectionCount() const { return FConnections.load(); }
    void ClearRequests();
    // Wait until at least n requests have arrived.
    bool WaitForRequests(std::size_t n, int timeoutMs = 5000) const;

private:
    struct Route {
        std::string Host;
        std::string Path;
        Handler Fn;
    };
    void AcceptLoop();
    void Serve(int fd, int id);
    Handler Find(const HttpTestRequest& rq) const;

    int FListenFd = -1;
    int FWakePipe[2] = {-1, -1};
    std::uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FConnections{0};
    std::thread FAcceptThread;
    mutable std::mutex FLock;
    mutable std::condition_variable FRequestArrived;
    std::vector<Route> FRoutes;
    Handler FFallback;
    std::vector<HttpTestRequest> FRequests;
    struct Worker {
        std::thread Thread;
        std::atomic<bool> Done{false};
    };
    void ReapWorkers(bool all);
    std::list<std::unique_ptr<Worker>> FWorkers;
    std::vector<int> FOpenFds;
};

// A port on 127.0.0.1 that was free a moment ago (for servers started as separate programs).
std::uint16_t FreeLocalPort();
// True once something accepts connections on 127.0.0.1:port, false after timeoutMs.
bool WaitForPort(std::uint16_t port, int timeoutMs);

} // namespace cwtest
