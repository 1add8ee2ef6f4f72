// TLS over the asynchronous socket against real peers: nginx with certificates made at test
// time, and scripted OpenSSL servers where the test must see the wire.

#include "net/tls/SslWSocket.h"
#include "support/TlsTestPki.h"

#include "support/ExternalServers.h"
#include "support/SocketPeers.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

using namespace cw;
using namespace cwtest;

namespace {

// A pattern that shows corruption or reordering.
std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// One client connection, every event journaled in order.
struct Client {
    TSslWSocket S;
    std::vector<std::string> Events;
    std::string Received;
    int ConnectedCode = -1;
    int ClosedCode = -1;
    int MaxPerRead = 16384;

    Client()
    {
        S.OnSessionConnected = [this](TObject*, std::uint16_t e) {
            ConnectedCode = e;
            Events.push_back("connected " + std::to_string(e));
        };
        S.OnSessionClosed = [this](TObject*, std::uint16_t e) {
            ClosedCode = e;
            Events.push_back("closed " + std::to_string(e));
        };
        S.OnDataAvailable = [this](TObject*, std::uint16_t) {
            std::string buf(static_cast<size_t>(MaxPerRead), '\0');
            int n = S.Receive(buf.data(), MaxPerRead);
            if (n > 0) {
                Received.append(buf.data(), static_cast<size_t>(n));
                if (Events.empty() || Events.back() != "data")
                    Events.push_back("data");
            }
        };
    }
    void Connect(const std::string& port, const std::string& serverName = "localhost")
    {
        S.SetSslEnabled(true);
        S.SetAddr("127.0.0.1");
        S.SetPort(port);
        S.SetSslServerName(serverName);
        S.Connect();
    }
    bool WaitClosed()
    {
        return WaitUntil([this] { return ClosedCode >= 0; }, 30000);
    }
    std::string Body() const
    {
        size_t p = Received.find("\r\n\r\n");
        return p == std::string::npos ? std::string() : Received.substr(p + 4);
    }
};

class SslWSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!TlsTestPki::Get().Ready())
            return;
        gRoot = std::make_unique<TempDir>("cw-tls-root");
        gRoot->Write("small.txt", "hello over TLS\n");
        gRoot->Write("big.bin", Pattern(5 * 1024 * 1024 + 123));
        for (const char* cert : {"localhost", "other", "expired", "roguehost", "roguechain"})
            gServers[cert] = std::make_unique<TlsNginx>(gRoot->Path(), cert);
    }
    static void TearDownTestSuite()
    {
        gServers.clear();
        gRoot.reset();
    }
    void SetUp() override
    {
        if (!TlsTestPki::Get().Ready())
            GTEST_SKIP() << TlsTestPki::Get().Error();
        for (auto& [name, server] : gServers)
            if (!server->Started())
                GTEST_SKIP() << "nginx with TLS did not start: " << server->Error();
    }
    static std::string PortOf(const std::string& cert) { return gServers[cert]->TlsPort(); }

    static inline std::unique_ptr<TempDir> gRoot;
    static inline std::map<std::string, std::unique_ptr<TlsNginx>> gServers;
};

std::string Get(const std::string& path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
}

TEST_F(SslWSocketTest, BodiesArriveByteIdenticalAndNothingLeavesInTheClear)
{
    // Small body, verified by host name; the request is sent the moment TCP is up, before the
    // handshake: it must wait and go out encrypted (nginx answers 400 to anything else).
    Client small;
    bool sentBeforeHandshake = false;
    small.S.OnChangeState = [&](TObject*, TSocketState, TSocketState n) {
        if (n == wsConnected && small.ConnectedCode < 0)
            sentBeforeHandshake = small.S.SendStr(Get("/small.txt")) > 0;
    };
    small.Connect(PortOf("localhost"));
    ASSERT_TRUE(small.WaitClosed());
    EXPECT_TRUE(sentBeforeHandshake);
    EXPECT_EQ(small.Body(), "hello over TLS\n") << small.Received;
    std::string journal;
    for (const auto& e : small.Events)
        journal += e + "; ";
    ASSERT_GE(small.Events.size(), 3u) << journal;
    EXPECT_EQ(small.Events.front(), "connected 0");
    EXPECT_EQ(std::count(small.Events.begin(), small.Events.end(), "connected 0"), 1);
    EXPECT_EQ(small.Events.back(), "closed 0");
    EXPECT_EQ(small.S.LastTlsError(), "");

    // Several MiB, verified by IP address, read in small pieces by a reader that pauses for a
    // while in the middle: decrypted bytes held by the layer must still be announced.
    Client big;
    big.MaxPerRead = 3000;
    std::string version, alpn;
    bool paused = false;
    int sent = 0;
    big.S.OnDataSent = [&](TObject*, std::uint16_t) { ++sent; };
    big.S.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        big.ConnectedCode = e;
        version = big.S.SslVersion();
        alpn = big.S.SslAlpn();
        big.S.SendStr(Get("/big.bin"));
    };
    auto read = big.S.OnDataAvailable;
    big.S.OnDataAvailable = [&](TObject* s, std::uint16_t e) {
        read(s, e);
        if (!paused && sent == 1 && big.Received.size() > 1024 * 1024) {
            paused = true;
            big.S.Pause();
            QTimer::singleShot(100, [&] { big.S.Resume(); });
        }
    };
    big.Connect(PortOf("localhost"), "127.0.0.1");
    ASSERT_TRUE(big.WaitClosed());
    EXPECT_EQ(big.ConnectedCode, 0);
    EXPECT_EQ(big.ClosedCode, 0);
    EXPECT_TRUE(paused);
    EXPECT_EQ(sent, 1);
    EXPECT_TRUE(version == "TLSv1.3" || version == "TLSv1.2") << version;
    EXPECT_EQ(alpn, "http/1.1");
    const std::string body = big.Body();
    EXPECT_EQ(body.size(), 5u * 1024 * 1024 + 123);
    EXPECT_TRUE(body == Pattern(5 * 1024 * 1024 + 123)) << "the large body differs";
}

TEST_F(SslWSocketTest, ServersThatCannotBeTrustedAreRefusedWithTheirReason)
{
    struct Case {
        const char* cert;
        const char* serverName;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {"roguechain", "localhost", tlsErrNotTrusted, "certificate not trusted: self-signed certificate in chain"},
        {"roguehost", "localhost", tlsErrNotTrusted, "certificate not trusted: unknown issuer"},
        {"other", "localhost", tlsErrWrongHost, "certificate is for another host: other.test"},
        {"other", "127.0.0.1", tlsErrWrongHost, "certificate is for another host: other.test"},
        {"localhost", "www.localhost", tlsErrWrongHost, "certificate is for another host: localhost, 127.0.0.1"},
        {"expired", "localhost", tlsErrExpired, "certificate has expired"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " as " + c.serverName);
        Client client;
        client.Connect(PortOf(c.cert), c.serverName);
        ASSERT_TRUE(client.WaitClosed());
        EXPECT_EQ(client.Events, (std::vector<std::string>{"connected " + std::to_string(c.code),
                                                           "closed " + std::to_string(c.code)}));
        EXPECT_EQ(client.S.LastTlsError(), c.text);
        EXPECT_EQ(client.S.State(), wsClosed);
        EXPECT_EQ(client.Received, "");
    }
    EXPECT_EQ(SslErrorText(tlsErrExpired), "certificate has expired");
    EXPECT_EQ(SslErrorText(10061), "Connection refused");
}

TEST_F(SslWSocketTest, BrokenServersEndTheHandshakeCleanly)
{
    struct Case {
        const char* what;
        ScriptedPeer::Script script;
        const char* text;
    };
    const Case cases[] = {
        {"closes after the client hello", [](int fd) { RecvExactly(fd, 10); },
         "TLS handshake failed: the server closed the connection"},
        {"answers in plain text",
         [](int fd) {
             RecvExactly(fd, 10);
             SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
             SleepMs(300);
         },
         "TLS handshake failed: the server did not answer in TLS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer(c.script);
        Client client;
        client.Connect(peer.PortStr());
        ASSERT_TRUE(client.WaitClosed());
        const std::string code = std::to_string(tlsErrHandshake);
        EXPECT_EQ(client.Events, (std::vector<std::string>{"connected " + code, "closed " + code}));
        EXPECT_EQ(client.S.LastTlsError(), c.text);
        PumpFor(100);
        EXPECT_EQ(client.Events.size(), 2u) << "late events after the failure";
    }
}

TEST_F(SslWSocketTest, OrderlyCloseInBothDirections)
{
    // Our close: the server must read a close_notify, not just the end of the stream.
    {
        ScriptedPeer peer(TlsServerScript([&peer](SSL* ssl, int) {
            char buf[64];
            int n = SSL_read(ssl, buf, sizeof buf);
            if (n > 0) {
                peer.Record("got " + std::string(buf, static_cast<size_t>(n)) + "\n");
                SSL_write(ssl, "pong", 4);
            }
            n = SSL_read(ssl, buf, sizeof buf);
            peer.Record(n == 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? "close_notify\n"
                                                                                 : "no close_notify\n");
        }));
        Client client;
        client.S.OnSessionConnected = [&](TObject*, std::uint16_t e) {
            client.ConnectedCode = e;
            client.S.SendStr("ping");
        };
        auto read = client.S.OnDataAvailable;
        client.S.OnDataAvailable = [&](TObject* s, std::uint16_t e) {
            read(s, e);
            if (client.Received == "pong")
                client.S.Close();
        };
        client.Connect(peer.PortStr());
        ASSERT_TRUE(client.WaitClosed());
        ASSERT_TRUE(WaitUntil([&] { return peer.Recorded().find("close") != std::string::npos; }));
        EXPECT_EQ(peer.Recorded(), "got ping\nclose_notify\n");
        EXPECT_EQ(client.ClosedCode, 0);
    }
    // The server's close: what it sent before its close_notify arrives, then the end, with no
    // error; the layer answers in kind.
    {
        const std::string last = Pattern(200000);
        ScriptedPeer peer(TlsServerScript([&](SSL* ssl, int) {
            SSL_write(ssl, last.data(), static_cast<int>(last.size()));
            SSL_shutdown(ssl);
            char buf[16];
            int n = SSL_read(ssl, buf, sizeof buf);
            peer.Record(n == 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? "close_notify\n"
                                                                                 : "no close_notify\n");
        }));
        Client client;
        client.MaxPerRead = 1000; // leaves decrypted bytes behind on every event
        client.Connect(peer.PortStr());
        ASSERT_TRUE(client.WaitClosed());
        EXPECT_TRUE(client.Received == last) << client.Received.size() << " bytes";
        EXPECT_EQ(client.Events.back(), "closed 0");
        EXPECT_EQ(client.S.LastTlsError(), "");
        ASSERT_TRUE(WaitUntil([&] { return !peer.Recorded().empty(); }));
        EXPECT_EQ(peer.Recorded(), "close_notify\n");
    }
}

TEST_F(SslWSocketTest, ABrokenRecordEndsTheConnectionAfterEverythingBeforeIt)
{
    // Good records, then one that cannot be decrypted, sent in one go and the connection left
    // open: a reader with a large buffer meets the broken record inside its own Receive. It gets
    // every byte before it, then the layer closes with the reason; nothing waits for the server.
    const std::string good = Pattern(150000);
    ScriptedPeer peer(TlsServerScript([&](SSL* ssl, int fd) {
        std::string broken = {'\x17', '\x03', '\x03', '\x01', '\x00'};
        broken += Pattern(256);
        SSL_write(ssl, good.data(), static_cast<int>(good.size()));
        SendAll(fd, broken);
        char buf[64];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    }));
    Client client;
    client.MaxPerRead = 1024 * 1024;
    client.Connect(peer.PortStr());
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_TRUE(client.Received == good) << client.Received.size() << " bytes";
    EXPECT_EQ(client.ClosedCode, tlsErrConnection);
    EXPECT_EQ(client.S.LastTlsError().rfind("TLS connection failed: ", 0), 0u) << client.S.LastTlsError();
    EXPECT_EQ(client.Events.back(), "closed " + std::to_string(tlsErrConnection));
}

TEST_F(SslWSocketTest, TlsStartsOnAnOpenPlainConnection)
{
    // As through a proxy tunnel: plain bytes first, then TLS on the same connection.
    ScriptedPeer peer(TlsServerScript(
        [&peer](SSL* ssl, int) {
            char buf[64];
            int n = SSL_read(ssl, buf, sizeof buf);
            if (n > 0)
                peer.Record(std::string(buf, static_cast<size_t>(n)));
            SSL_write(ssl, "secret answer", 13);
            SSL_shutdown(ssl);
        },
        "200 tunnel ready\r\n"));
    Client client;
    int handshake = -1;
    client.S.OnSslHandshakeDone = [&](TObject*, std::uint16_t e) {
        handshake = e;
        client.S.SendStr("secret question");
    };
    client.S.SetAddr("127.0.0.1");
    client.S.SetPort(peer.PortStr());
    client.S.SetSslServerName("localhost");
    client.S.Connect();
    ASSERT_TRUE(WaitUntil([&] { return client.Received.size() >= 18; }));
    EXPECT_EQ(client.Received, "200 tunnel ready\r\n");
    EXPECT_EQ(client.Events.front(), "connected 0");
    client.Received.clear();
    client.S.StartSslHandshake();
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(handshake, 0);
    EXPECT_EQ(client.Received, "secret answer");
    EXPECT_EQ(peer.Recorded(), "secret question");
    EXPECT_EQ(std::count(client.Events.begin(), client.Events.end(), "connected 0"), 1);
}

} // namespace
