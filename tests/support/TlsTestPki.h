#pragma once
// Certificates made with the `openssl` command when the tests start, trusted through
// SSL_CERT_FILE (the test CA only; SSL_CERT_DIR points at an empty folder), and TLS peers on
// 127.0.0.1 that use them: nginx for real transfers, and a small OpenSSL server on a
// ScriptedPeer thread where a test must see what the client did on the wire.
//
// Files in Dir(): ca.pem (trusted), localhost.pem (localhost and 127.0.0.1, by the CA),
// other.pem (other.test), expired.pem (localhost, expired in 2020), roguehost.pem (localhost by
// an untrusted CA), roguechain.pem (the same with the untrusted CA in the chain) and sites.pem
// (the video sites' host names, see VideoSites); each NAME.pem has NAME.key.

#include "support/ExternalServers.h"
#include "support/SocketPeers.h"

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;

namespace cwtest {

class TlsTestPki {
public:
    // Makes the certificates once per process and sets SSL_CERT_FILE / SSL_CERT_DIR.
    static TlsTestPki& Get();
    bool Ready() const { return FReady; }
    const std::string& Error() const { return FError; }
    std::string Dir() const { return FDir.Path(); }
    std::string Pem(const std::string& name) const { return FDir.File(name + ".pem"); }
    std::string Key(const std::string& name) const { return FDir.File(name + ".key"); }

private:
    TlsTestPki();
    TempDir FDir{"cw-tls-pki"};
    bool FReady = false;
    std::string FError;
};

// nginx serving root over TLS with the given certificate (and key of the same name), and in
// the clear on PlainPort. extraConfig goes into the server block; a test that must name the
// ports in it (redirects) picks them with FreePort and passes them.
class TlsNginx {
public:
    TlsNginx(const std::string& root, const std::string& certName, const std::string& extraConfig = "",
             std::uint16_t tlsPort = 0, std::uint16_t plainPort = 0);
    bool Started() const { return FServer && FServer->Started(); }
    std::string Error() const { return FServer ? FServer->Error() : "no server"; }
    std::string TlsPort() const { return std::to_string(FTlsPort); }
    std::string PlainPort() const { return FServer ? std::to_string(FServer->Port()) : std::string(); }

private:
    std::uint16_t FTlsPort = 0;
    std::unique_ptr<NginxServer> FServer;
};

// A blocking connection to 127.0.0.1:port, or -1.
int ConnectToLoopback(std::uint16_t port);

// Connects to 127.0.0.1:port and copies bytes both ways between it and fd until either side
// ends: the tunnel of a scripted proxy.
void RelayToLoopback(int fd, std::uint16_t port);

// A ScriptedPeer script that runs script on an accepted TLS session (certificate localhost,
// blocking I/O). With plainFirst, that text is sent in the clear before the handshake.
ScriptedPeer::Script TlsServerScript(std::function<void(ssl_st* ssl, int fd)> script,
                                     const std::string& plainFirst = std::string());

// The https side of sites served by an HttpTestServer, as a browser reaches them through a
// proxy: the front is the proxy. It answers "CONNECT host:port" with 200, takes the TLS
// handshake with the certificate chosen for that host ("sites" unless Certificate says
// otherwise) and relays the decrypted requests to the server, which routes them by their Host
// header. Any other request is relayed to the server as it came, so plain http goes through
// the same proxy. One thread per connection: the page engine and the transfer may hold
// connections at the same time.
class TlsSiteFront {
public:
    explicit TlsSiteFront(std::uint16_t sitesPort);
    ~TlsSiteFront();
    TlsSiteFront(const TlsSiteFront&) = delete;
    TlsSiteFront& operator=(const TlsSiteFront&) = delete;

    void Certificate(const std::string& host, const std::string& certName);
    std::uint16_t Port() const { return FPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
    // The targets of the CONNECT requests so far, in order ("www.youtube.com:443").
    std::vector<std::string> Tunnels() const;

private:
    void AcceptLoop();
    void Serve(int fd);
    void Tunnel(int fd, const std::string& target);
    std::string CertificateFor(const std::string& host) const;

    std::uint16_t FSitesPort;
    std::uint16_t FPort = 0;
    int FListenFd = -1;
    std::atomic<bool> FStop{false};
    mutable std::mutex FLock;
    std::map<std::string, std::string> FCertificates;
    std::vector<std::string> FTunnels;
    std::list<std::thread> FThreads;
    std::thread FAcceptThread;
};

} // namespace cwtest
