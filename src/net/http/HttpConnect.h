#pragma once
// How THttpCli sets up a connection: a chain of small links, each owning its own context and
// knowing nothing of the links above it. A link is started once every link below it is up:
//
//   TCP       the connection to the server, or to the proxy (the socket connects)
//   SOCKS     the SOCKS server's handshake, run by the socket inside its connect
//   tunnel    CONNECT to the HTTP proxy for an https address; its answer is read by the
//             client's header reader and handed back here
//   TLS       the handshake with the origin server, over whatever the links below carry
//
// The chain of one connection is built when its address is known (after the name look-up) and
// stays with the connection: a kept connection still knows which links it went through (a
// body ended by the close counts as whole over TLS only after the server's close_notify).

#include "net/tls/SslWSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

enum class THttpLinkKind { Tcp, Socks, Tunnel, Tls };

// "TCP", "SOCKS", "tunnel", "TLS".
const char* HttpLinkName(THttpLinkKind kind);

class THttpLink {
public:
    virtual ~THttpLink() = default;
    virtual THttpLinkKind Kind() const = 0;
    // Before the socket connects: the link sets what it needs on the socket.
    virtual void Prepare(TSslWSocket&) {}
    // Once every link below is up: the link starts its own part.
    virtual void Start(TSslWSocket& s) = 0;
    bool Up() const { return FUp; }
    void SetUp() { FUp = true; }

private:
    bool FUp = false;
};

// The TCP connection itself: address (the look-up's result), port and local address.
class THttpTcpLink : public THttpLink {
public:
    THttpTcpLink(std::string addr, std::string port, std::string localAddr)
        : FAddr(std::move(addr)), FPort(std::move(port)), FLocalAddr(std::move(localAddr))
    {
    }
    THttpLinkKind Kind() const override { return THttpLinkKind::Tcp; }
    void Prepare(TSslWSocket& s) override;
    void Start(TSslWSocket& s) override { s.Connect(); }

private:
    std::string FAddr;
    std::string FPort;
    std::string FLocalAddr;
};

struct THttpSocksSettings {
    std::string Server;
    std::string Level;
    std::string Port;
    std::string Usercode;
    std::string Password;
    TSocksAuthentication Authentication = socksNoAuthentication;
};

// A SOCKS server between us and the server: the socket runs its handshake as part of the
// connect, so starting the link is the TCP link's connect; it is up with it.
class THttpSocksLink : public THttpLink {
public:
    explicit THttpSocksLink(THttpSocksSettings settings) : FSettings(std::move(settings)) {}
    THttpLinkKind Kind() const override { return THttpLinkKind::Socks; }
    void Prepare(TSslWSocket& s) override;
    void Start(TSslWSocket&) override {}

private:
    THttpSocksSettings FSettings;
};

// CONNECT host:port to an HTTP proxy. The lines beside the request line (User-Agent,
// Proxy-Connection, Proxy-Authorization) are asked for each time it starts: a second CONNECT
// after the proxy's challenge carries the credentials.
class THttpTunnelLink : public THttpLink {
public:
    THttpTunnelLink(std::string host, std::string port, std::string version,
                    std::function<std::vector<std::string>()> extraLines)
        : FHost(std::move(host)), FPort(std::move(port)), FVersion(std::move(version)),
          FExtraLines(std::move(extraLines))
    {
    }
    THttpLinkKind Kind() const override { return THttpLinkKind::Tunnel; }
    void Start(TSslWSocket& s) override;
    // The request as it went out last, for traces.
    const std::string& RequestText() const { return FRequest; }
    const std::string& Host() const { return FHost; }
    const std::string& Port() const { return FPort; }

private:
    std::string FHost;
    std::string FPort;
    std::string FVersion;
    std::function<std::vector<std::string>()> FExtraLines;
    std::string FRequest;
};

// The TLS handshake with the origin server, whose certificate must name it. The tick it began
// at bounds the whole handshake: a peer that drips it a byte at a time is never silent.
class THttpTlsLink : public THttpLink {
public:
    explicit THttpTlsLink(std::string serverName) : FServerName(std::move(serverName)) {}
    THttpLinkKind Kind() const override { return THttpLinkKind::Tls; }
    void Start(TSslWSocket& s) override;
    std::uint32_t StartedAt() const { return FStartedAt; }

private:
    std::string FServerName;
    std::uint32_t FStartedAt = 0;
};

class THttpConnectChain {
public:
    void Clear() { FLinks.clear(); }
    void Add(std::unique_ptr<THttpLink> link) { FLinks.push_back(std::move(link)); }
    // Every link prepares the socket, lowest first.
    void Prepare(TSslWSocket& s);
    // The socket reports its connection: the TCP link and a SOCKS link are up.
    void SocketConnected();
    // The lowest link not up yet, or nullptr when the connection is ready for requests.
    THttpLink* Next() const;
    THttpLink* Find(THttpLinkKind kind) const;
    bool IsUp(THttpLinkKind kind) const
    {
        const THttpLink* l = Find(kind);
        return l && l->Up();
    }
    // "TCP > SOCKS > TLS", for traces and tests.
    std::string Describe() const;

private:
    std::vector<std::unique_ptr<THttpLink>> FLinks;
};

} // namespace cw
