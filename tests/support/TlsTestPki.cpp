#include "support/TlsTestPki.h"

#include "support/HttpTestServer.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cwtest {

namespace {

// EC keys: quick to make. The expired certificate needs `openssl ca` for its past dates.
const char* const kScript = R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
ca() { key "$1"; openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
         -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"; }
csr() { key "$1"; openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2"
        printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" > "$1.ext"; }
leaf() { csr "$1" "$3" "$4"
         openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 30 \
           -extfile "$1.ext" -out "$1.pem"; }
ca ca "Clipwarden Test CA"
ca rogue "Rogue Test CA"
leaf localhost ca localhost "DNS:localhost,IP:127.0.0.1"
leaf other ca other.test "DNS:other.test"
leaf sites ca www.youtube.com \
  "DNS:www.youtube.com,DNS:www.metacafe.com,DNS:v.mccont.com,DNS:video.google.com,DNS:vp.video.google.com,DNS:v7.lscache.example.net"
leaf roguehost rogue localhost "DNS:localhost,IP:127.0.0.1"
cat roguehost.pem rogue.pem > roguechain.pem
cp roguehost.key roguechain.key
csr expired localhost "DNS:localhost,IP:127.0.0.1"
: > index.txt
echo 1000 > serial
printf '[ca]\ndefault_ca=t\n[t]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' > ca.cnf
openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -extfile expired.ext
mkdir -p emptydir
)";


// Copies what either side sends to the other until one of them ends or stop is set. The
// client side goes through ssl when it is given.
void Relay(int clientFd, SSL* ssl, int serverFd, const std::atomic<bool>& stop)
{
    char buf[16384];
    while (!stop.load()) {
        pollfd p[2] = {{clientFd, POLLIN, 0}, {serverFd, POLLIN, 0}};
        // Decrypted bytes OpenSSL already holds do not show on the descriptor.
        const bool held = ssl && SSL_pending(ssl) > 0;
        if (!held && ::poll(p, 2, 100) <= 0)
            continue;
        if (held || p[0].revents) {
            const int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(clientFd, buf, sizeof buf, 0));
            if (n <= 0 || !SendAll(serverFd, std::string(buf, static_cast<std::size_t>(n))))
                return;
        }
        if (p[1].revents) {
            const ssize_t n = ::recv(serverFd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            const bool sent = ssl ? SSL_write(ssl, buf, static_cast<int>(n)) == n
                                  : SendAll(clientFd, std::string(buf, static_cast<std::size_t>(n)));
            if (!sent)
                return;
        }
    }
}

} // namespace

int ConnectToLoopback(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

TlsTestPki& TlsTestPki::Get()
{
    static TlsTestPki pki;
    return pki;
}

TlsTestPki::TlsTestPki()
{
    if (FindProgram("openssl").empty()) {
        FError = "the openssl command is not installed";
        return;
    }
    FDir.Write("make.sh", kScript);
    std::string cmd = "cd '" + FDir.Path() + "' && sh make.sh >make.log 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        FError = "making the test certificates failed: " + ReadFile(FDir.File("make.log"));
        return;
    }
    ::setenv("SSL_CERT_FILE", Pem("ca").c_str(), 1);
    ::setenv("SSL_CERT_DIR", FDir.File("emptydir").c_str(), 1);
    FReady = true;
}

TlsNginx::TlsNginx(const std::string& root, const std::string& certName, const std::string& extraConfig,
                   std::uint16_t tlsPort, std::uint16_t plainPort)
{
    TlsTestPki& pki = TlsTestPki::Get();
    FTlsPort = tlsPort ? tlsPort : FreePort();
    FServer = std::make_unique<NginxServer>(root,
                                            "    listen 127.0.0.1:" + std::to_string(FTlsPort) + " ssl;\n" +
                                                "    ssl_certificate " + pki.Pem(certName) + ";\n" +
                                                "    ssl_certificate_key " + pki.Key(certName) + ";\n" + extraConfig,
                                            plainPort);
    if (FServer->Started() && !WaitForPort(FTlsPort, 10000))
        FServer.reset();
}

ScriptedPeer::Script TlsServerScript(std::function<void(ssl_st* ssl, int fd)> script, const std::string& plainFirst)
{
    return [script, plainFirst](int fd) {
        TlsTestPki& pki = TlsTestPki::Get();
        if (!plainFirst.empty() && !SendAll(fd, plainFirst))
            return;
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, pki.Pem("localhost").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, pki.Key("localhost").c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1)
            script(ssl, fd);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    };
}

void RelayToLoopback(int fd, std::uint16_t port)
{
    const std::atomic<bool> never{false};
    if (const int up = ConnectToLoopback(port); up >= 0) {
        Relay(fd, nullptr, up, never);
        ::close(up);
    }
}

TlsSiteFront::TlsSiteFront(std::uint16_t sitesPort) : FSitesPort(sitesPort)
{
    TlsTestPki::Get(); // the certificates, and the client's trust in them, before any handshake
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(FListenFd, 16) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return; // Port() stays 0: connecting fails and the test says why
    FPort = ntohs(sa.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

TlsSiteFront::~TlsSiteFront()
{
    FStop = true;
    if (FAcceptThread.joinable())
        FAcceptThread.join();
    for (auto& t : FThreads)
        t.join();
    ::close(FListenFd);
}

void TlsSiteFront::Certificate(const std::string& host, const std::string& certName)
{
    std::lock_guard<std::mutex> lock(FLock);
    FCertificates[host] = certName;
}

std::vector<std::string> TlsSiteFront::Tunnels() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FTunnels;
}

std::string TlsSiteFront::CertificateFor(const std::string& host) const
{
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FCertificates.find(host);
    return it == FCertificates.end() ? "sites" : it->second;
}

void TlsSiteFront::AcceptLoop()
{
    while (!FStop.load()) {
        pollfd p{FListenFd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // A client that connects and says nothing must not hold the front's end for ever.
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        FThreads.emplace_back([this, fd] {
            Serve(fd);
            ::close(fd);
        });
    }
}

void TlsSiteFront::Serve(int fd)
{
    const std::string head = RecvUntil(fd, "\r\n\r\n");
    if (head.compare(0, 8, "CONNECT ") == 0) {
        const std::size_t end = head.find(' ', 8);
        return Tunnel(fd, head.substr(8, end == std::string::npos ? std::string::npos : end - 8));
    }
    const int up = ConnectToLoopback(FSitesPort);
    if (up < 0)
        return;
    if (SendAll(up, head))
        Relay(fd, nullptr, up, FStop);
    ::close(up);
}

void TlsSiteFront::Tunnel(int fd, const std::string& target)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        FTunnels.push_back(target);
    }
    if (!SendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n"))
        return;
    TlsTestPki& pki = TlsTestPki::Get();
    const std::string cert = CertificateFor(target.substr(0, target.rfind(':')));
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx, pki.Pem(cert).c_str());
    SSL_CTX_use_PrivateKey_file(ctx, pki.Key(cert).c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        if (const int up = ConnectToLoopback(FSitesPort); up >= 0) {
            Relay(fd, ssl, up, FStop);
            ::close(up);
        }
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

} // namespace cwtest
