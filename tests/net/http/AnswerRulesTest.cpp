// Answers that must never pass for the document asked for: a proxy's answer instead of a
// tunnel, broken framing, answers to questions the request did not ask, and TLS bodies whose
// end nobody vouched for. Each case names the exact failure and checks that nothing of the
// answer reached the caller's stream.

#include "HttpTestUtil.h"
#include "support/HttpTestServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/SocketPeers.h"
#include "support/TlsTestPki.h"

#include "net/http/Base64.h"
#include "net/http/HttpProt.h"
#include "platform/Streams.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace cw;
using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;
using httptest::RunGet;

namespace {

class AnswerRulesTest : public ::testing::Test {
protected:
    void SetUp() override { Cli.SetRcvdStream(&Rcvd); }

    cwtest::MessageBoxRecorder Boxes;
    THttpCli Cli;
    TMemoryStream Rcvd;
};

// Reads one request head from a TLS session (blocking).
std::string SslReadHead(SSL* ssl)
{
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &c, 1) == 1)
        head += c;
    return head;
}

void SslWriteAll(SSL* ssl, const std::string& data)
{
    if (!data.empty())
        SSL_write(ssl, data.data(), static_cast<int>(data.size()));
}

} // namespace

// Only a 2xx opens a tunnel. Whatever else the proxy says (a relocation, a refusal, a challenge
// that the credentials did not meet) ends the request as the proxy's answer: never followed,
// never handed on as the https document.
TEST_F(AnswerRulesTest, AProxyThatDoesNotOpenTheTunnelFailsTheRequest)
{
    const std::string challenge = "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                                  "realm=\"p\"\r\nContent-Length: 12\r\n\r\nlog in first";
    const std::string moved = "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\nSet-Cookie: "
                              "a=1\r\nContent-Length: 15\r\n\r\nthe proxy's own";
    const struct {
        const char* Name;
        bool Credentials;
        std::vector<std::string> Answers; // one per CONNECT, each on its own connection
        const char* Status;               // "<status> <reason>" in the failure
    } cases[] = {
        {"relocated", false, {moved}, "302 Found"},
        {"challenged without credentials", false, {challenge}, "407 Proxy Authentication Required"},
        {"challenged, then relocated", true, {challenge, moved}, "302 Found"},
        {"credentials refused", true, {challenge, challenge}, "407 Proxy Authentication Required"},
        {"forbidden", false, {"HTTP/1.1 403 Forbidden\r\nConnection: close\r\n\r\nno tunnels here"}, "403 Forbidden"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        std::mutex lock;
        std::vector<std::string> heads;
        std::size_t next = 0;
        cwtest::ScriptedPeer proxy(
            [&](int fd) {
                const std::string head = cwtest::RecvUntil(fd, "\r\n\r\n");
                std::string answer;
                {
                    std::lock_guard<std::mutex> hold(lock);
                    heads.push_back(head);
                    answer = next < k.Answers.size() ? k.Answers[next++] : std::string();
                }
                cwtest::SendAll(fd, answer);
                ::shutdown(fd, SHUT_WR);
                cwtest::RecvUntilClosed(fd);
            },
            4);
        THttpCli cli;
        TMemoryStream rcvd;
        cli.SetRcvdStream(&rcvd);
        cli.SetProxy("127.0.0.1");
        cli.SetProxyPort(proxy.PortStr());
        if (k.Credentials) {
            cli.SetProxyUsername("pu");
            cli.SetProxyPassword("pp");
        }
        int docEvents = 0;
        cli.OnDocBegin = [&](TObject*) { ++docEvents; };
        cli.OnDocData = [&](TObject*, const char*, int) { ++docEvents; };
        cli.OnHeaderEnd = [&](TObject*) { ++docEvents; };
        cli.SetURL("https://video.example:443/clip.mp4");
        auto r = RunGet(cli, 10000);
        EXPECT_FALSE(r.WatchdogFired);
        EXPECT_TRUE(r.Raised);
        EXPECT_EQ(r.Code, httperrProxyRefused);
        EXPECT_EQ(r.Message, "the proxy 127.0.0.1:" + proxy.PortStr() + " answered " + k.Status);
        EXPECT_TRUE(cli.AnsweredByProxy());
        EXPECT_EQ(rcvd.Size(), 0) << rcvd.DataString();
        EXPECT_EQ(docEvents, 0);
        EXPECT_EQ(cli.Location(), "https://video.example:443/clip.mp4");
        EXPECT_EQ(cli.State(), httpReady);
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(heads.size(), k.Answers.size());
        for (const auto& h : heads)
            EXPECT_EQ(h.rfind("CONNECT video.example:443 ", 0), 0u) << h;
        if (k.Credentials) {
            EXPECT_NE(heads.back().find("Proxy-Authorization: Basic " + Base64Encode("pu:pp")), std::string::npos);
        }
    }
}

// Framing that cannot be trusted, and answers to questions the request did not ask, are
// failures with their reason; the well-formed neighbours of each still work.
TEST_F(AnswerRulesTest, BrokenFramingAndUnaskedAnswers)
{
    cwtest::HttpTestServer server;
    const struct {
        const char* Name;
        std::string Answer;
        const char* Range = "";       // asked for with Range
        bool Conditional = false;     // asked with If-Modified-Since
        std::string Failure;          // "" = success
        int Code = httperrBadResponse;
        std::string Document = "";    // on success
    } cases[] = {
        {"list", "HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: 5, 5"},
        {"sign", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: +5"},
        {"negative", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: -5"},
        {"garbage", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: abc"},
        {"empty", "HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: "},
        {"past 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: 9223372036854775808"},
        {"far past 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 00099999999999999999999\r\n\r\nhello", "", false,
         "Invalid Content-Length in the answer: 00099999999999999999999"},
        {"blank inside", "HTTP/1.1 200 OK\r\nContent-Length: 1 0\r\n\r\nhelloworld", "", false,
         "Invalid Content-Length in the answer: 1 0"},
        {"leading zeros", "HTTP/1.1 200 OK\r\nContent-Length: 0000000000000000010\r\n\r\nhelloworldEXTRA", "", false,
         "", 0, "helloworld"},
        {"more leading zeros than 64 bits have digits",
         "HTTP/1.1 200 OK\r\nContent-Length: 000000000000000000000000000005\r\n\r\nhello!", "", false, "", 0, "hello"},
        {"differing lines", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "", false,
         "Conflicting Content-Length values in the response"},
        {"same line twice", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length:  5 \r\n\r\nhello", "", false, "",
         0, "hello"},
        {"HTTP/0.9", "<html><body>bare</body></html>\r\n", "", false,
         "No HTTP status line in the answer: <html><body>bare</body></html>"},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", "", false, "No HTTP status line in the answer: SSH-2.0-OpenSSH_9.2"},
        {"101 unasked",
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x81\x05hello", "",
         false, "Unexpected answer 101 Switching Protocols: no change of protocol was asked for"},
        {"100 and 103 skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\nContent-Length: 9\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         "", false, "", 0, "ok"},
        {"304 unasked", "HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n", "", false,
         "Unexpected answer 304 Not Modified to a request without a validator"},
        {"304 asked", "HTTP/1.1 304 Not Modified\r\n\r\n", "", true, "", 0, ""},
        {"206 unasked", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/10\r\nContent-Length: 5\r\n\r\nhello",
         "", false, "a partial answer (206) to a request for the whole document", httperrRangeMismatch},
        {"206 other range",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/10\r\nContent-Length: 5\r\n\r\nhello", "5-", false,
         "a partial answer (206) for bytes 0-4 to a request for bytes=5-", httperrRangeMismatch},
        {"206 past the end asked",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\nContent-Length: 5\r\n\r\nworld", "5-7", false,
         "a partial answer (206) for bytes 5-9 to a request for bytes=5-7", httperrRangeMismatch},
        {"206 unreadable range",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: pages 1-2\r\nContent-Length: 5\r\n\r\nworld", "5-", false,
         "a partial answer (206) without a usable Content-Range (pages 1-2)", httperrRangeMismatch},
        {"206 length disagrees",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\nContent-Length: 3\r\n\r\nwor", "5-", false,
         "a partial answer (206) whose Content-Length does not match its Content-Range", httperrRangeMismatch},
        {"206 asked", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\nContent-Length: 5\r\n\r\nworld",
         "5-", false, "", 0, "world"},
        {"206 with leading zeros",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0005-0009/00010\r\nContent-Length: 05\r\n\r\nworld",
         "5-", false, "", 0, "world"},
    };
    int n = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string path = "/a" + std::to_string(++n);
        const std::string answer = k.Answer;
        server.On(path, [answer](const HttpTestRequest&, HttpTestConnection& c) { c.Send(answer); });
        Rcvd.Clear();
        Cli.SetURL(server.Url(path));
        const std::string range = k.Range;
        Cli.SetContentRangeBegin(range.substr(0, range.find('-')));
        Cli.SetContentRangeEnd(range.empty() ? std::string() : range.substr(range.find('-') + 1));
        Cli.SetModifiedSince(k.Conditional ? 46000.5 : 0);
        auto r = RunGet(Cli, 10000);
        EXPECT_FALSE(r.WatchdogFired);
        if (k.Failure.empty()) {
            EXPECT_FALSE(r.Raised) << r.Message;
            EXPECT_EQ(Rcvd.DataString(), k.Document);
        } else {
            EXPECT_TRUE(r.Raised);
            EXPECT_EQ(r.Message, k.Failure);
            EXPECT_EQ(r.Code, k.Code);
            EXPECT_EQ(Rcvd.Size(), 0) << Rcvd.DataString();
        }
        EXPECT_EQ(Cli.State(), httpReady);
    }
}

// Over TLS a body that runs to the end of the connection is whole only when the server said
// so with close_notify; a framed body is judged by its framing, whatever the TLS ending.
TEST_F(AnswerRulesTest, TlsBodiesEndedByTheConnection)
{
    if (!cwtest::TlsTestPki::Get().Ready())
        GTEST_SKIP() << cwtest::TlsTestPki::Get().Error();
    enum Ending { CloseNotify, TcpClose, Reset, MidRecord };
    const std::string cut = "the connection ended before the TLS close (the document may be cut short)";
    const struct {
        const char* Name;
        const char* Header; // after the status line
        std::string Body;
        Ending End;
        std::string Failure; // "" = the document arrives whole
    } cases[] = {
        {"no length, close_notify", "Content-Type: text/plain\r\n", "all of it", CloseNotify, ""},
        {"no length, TCP close", "Content-Type: text/plain\r\n", "all of it?", TcpClose, cut},
        {"no length, reset", "Content-Type: text/plain\r\n", "all of it?", Reset, cut},
        {"no length, mid-record", "Content-Type: text/plain\r\n", "all of it?", MidRecord, cut},
        {"no length, nothing, TCP close", "Content-Type: text/plain\r\n", "", TcpClose, cut},
        {"length, TCP close", "Content-Length: 9\r\n", "all of it", TcpClose, ""},
        {"length, reset", "Content-Length: 9\r\n", "all of it", Reset, ""},
        {"chunked, TCP close", "Transfer-Encoding: chunked\r\n", "4\r\nall \r\n5\r\nof it\r\n0\r\n\r\n", TcpClose, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        cwtest::ScriptedPeer server(cwtest::TlsServerScript([&k](SSL* ssl, int fd) {
            SslReadHead(ssl);
            SslWriteAll(ssl, std::string("HTTP/1.1 200 OK\r\n") + k.Header + "\r\n" + k.Body);
            switch (k.End) {
            case CloseNotify:
                SSL_shutdown(ssl);
                break;
            case TcpClose:
                break;
            case Reset: {
                linger hard{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                break;
            }
            case MidRecord: {
                // One more record, of which only the first half ever leaves.
                BIO* held = BIO_new(BIO_s_mem());
                SSL_set0_wbio(ssl, held);
                SSL_write(ssl, " and more", 9);
                char* bytes = nullptr;
                const long n = BIO_get_mem_data(held, &bytes);
                cwtest::SendAll(fd, std::string(bytes, static_cast<std::size_t>(n / 2)));
                break;
            }
            }
            if (k.End != Reset)
                ::shutdown(fd, SHUT_WR);
            cwtest::SleepMs(100); // the client reads all before a reset
        }));
        Rcvd.Clear();
        Cli.SetRequestVer("1.1");
        Cli.SetURL("https://localhost:" + server.PortStr() + "/doc");
        auto r = RunGet(Cli, 10000);
        EXPECT_FALSE(r.WatchdogFired);
        if (k.Failure.empty()) {
            EXPECT_FALSE(r.Raised) << r.Message;
            EXPECT_EQ(Rcvd.DataString(), "all of it");
        } else {
            EXPECT_TRUE(r.Raised);
            EXPECT_EQ(r.Message, k.Failure);
            EXPECT_EQ(r.Code, httperrTlsTruncated);
        }
        EXPECT_EQ(Cli.State(), httpReady);
    }
}

namespace {

// A relay between the client and a TLS server that passes the server's bytes on in pieces of
// `piece` bytes with a pause of pauseMs after each; the client's bytes go through as they come.
cwtest::ScriptedPeer::Script SlowRelay(std::uint16_t serverPort, std::size_t piece, int pauseMs)
{
    return [=](int fd) {
        const int up = cwtest::ConnectToLoopback(serverPort);
        if (up < 0)
            return;
        std::thread toServer([&] {
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                cwtest::SendAll(up, std::string(buf, static_cast<std::size_t>(n)));
            ::shutdown(up, SHUT_WR);
        });
        std::string buf(piece, '\0');
        for (ssize_t n; (n = ::recv(up, buf.data(), piece, 0)) > 0;) {
            if (!cwtest::SendAll(fd, buf.substr(0, static_cast<std::size_t>(n))))
                break;
            cwtest::SleepMs(pauseMs);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::shutdown(up, SHUT_RDWR);
        toServer.join();
        ::close(up);
    };
}

} // namespace

// The idle limit bounds a TLS handshake as a whole, from its start: a silent server and one that
// drips its flight a byte at a time (never silent, never done) both end with the handshake's
// own words; a slow handshake that finishes within the limit goes on to the document.
TEST_F(AnswerRulesTest, TheIdleLimitDuringTheTlsHandshake)
{
    if (!cwtest::TlsTestPki::Get().Ready())
        GTEST_SKIP() << cwtest::TlsTestPki::Get().Error();
    cwtest::ScriptedPeer silent(cwtest::ScriptedPeer::Hold(5000));
    Cli.SetIdleTimeout(400);
    Cli.SetURL("https://localhost:" + silent.PortStr() + "/doc");
    auto r = RunGet(Cli, 10000);
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrTimeout);
    EXPECT_EQ(r.Message, "the TLS handshake did not finish within 1 s");

    auto server = [](SSL* ssl, int) {
        SslReadHead(ssl);
        SslWriteAll(ssl, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nslow");
        SSL_shutdown(ssl);
    };
    {
        // One byte every 200 ms: a byte arrives five times within each second of the limit, but
        // the server's hello alone would take minutes.
        cwtest::ScriptedPeer tls(cwtest::TlsServerScript(server));
        cwtest::ScriptedPeer drip(SlowRelay(tls.Port(), 1, 200));
        Rcvd.Clear();
        Cli.SetIdleTimeout(1000);
        Cli.SetURL("https://localhost:" + drip.PortStr() + "/doc");
        r = RunGet(Cli, 20000);
        EXPECT_FALSE(r.WatchdogFired) << "ended within 20 s";
        EXPECT_TRUE(r.Raised);
        EXPECT_EQ(r.Code, httperrTimeout);
        EXPECT_EQ(r.Message, "the TLS handshake did not finish within 1 s");
        EXPECT_EQ(Rcvd.Size(), 0);
    }

    // The server's flight trickles through in small pieces, many pauses long, and still ends
    // well within the limit.
    cwtest::ScriptedPeer tls(cwtest::TlsServerScript(server));
    cwtest::ScriptedPeer relay(SlowRelay(tls.Port(), 150, 120));
    Rcvd.Clear();
    Cli.SetIdleTimeout(15000);
    Cli.SetURL("https://localhost:" + relay.PortStr() + "/doc");
    r = RunGet(Cli, 30000);
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "slow");
}
