// The request engine over real sockets: what goes on the wire, direct and through a proxy,
// connection reuse, the failures that end a request, Abort and the busy rule.

#include "HttpTestUtil.h"
#include "support/HttpTestServer.h"
#include "support/MessageBoxRecorder.h"

#include "net/http/HttpProt.h"
#include "platform/Streams.h"

#include <gtest/gtest.h>

using namespace cw;
using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;
using httptest::RunGet;

namespace {

// The next request starts on a connection of its own.
void DropConnection(THttpCli& cli)
{
    if (cli.CtrlSocket().State() != wsClosed)
        cli.CtrlSocket().Abort();
}

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Cli.SetName("HttpCli1");
        Cli.SetRcvdStream(&Rcvd);
        // The settings the download window gives its client.
        Cli.SetAgent("Mozilla/3.0 (compatible)");
        Server.On("*", [](const HttpTestRequest&, HttpTestConnection& c) {
            c.Reply(200, "OK", {"Content-Type: text/plain"}, "body");
        });
    }

    cwtest::MessageBoxRecorder Boxes;
    cwtest::HttpTestServer Server;
    THttpCli Cli;
    TMemoryStream Rcvd;
};

} // namespace

TEST_F(RequestTest, DefaultsOfTheComponent)
{
    THttpCli c;
    EXPECT_EQ(c.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(c.ProxyPort(), "80");
    EXPECT_EQ(c.Accept(), "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    EXPECT_EQ(c.ContentTypePost(), "application/x-www-form-urlencoded");
    EXPECT_EQ(c.RequestVer(), "1.0");
    EXPECT_TRUE(c.FollowRelocation());
    EXPECT_EQ(c.LocationChangeMaxCount(), 5);
    EXPECT_EQ(c.BandwidthLimit(), 10000);
    EXPECT_EQ(c.BandwidthSampling(), 1000);
    EXPECT_TRUE(c.Options().Empty());
    EXPECT_EQ(c.State(), httpReady);
    EXPECT_EQ(c.ContentLength(), -1);
    EXPECT_FALSE(c.Agent().empty());
    EXPECT_EQ(HttpStateName(httpWaitingBody), "httpWaitingBody");
    EXPECT_EQ(HttpStateName(42), "INVALID STATE");
}

TEST_F(RequestTest, TheProgramsTransferIsFourLinesAndTheEmptyLine)
{
    Cli.SetURL(Server.Url("/get_video?video_id=x&t=abc"));
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    ASSERT_EQ(Server.RequestCount(), 1u);
    EXPECT_EQ(Server.Requests()[0].RawHeader, "GET /get_video?video_id=x&t=abc HTTP/1.0\r\n"
                                              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                                              "User-Agent: Mozilla/3.0 (compatible)\r\n"
                                              "Host: 127.0.0.1:" +
                                                  Server.PortText() +
                                                  "\r\n"
                                                  "\r\n");
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_EQ(Rcvd.DataString(), "body");
    EXPECT_EQ(Cli.DocName(), "get_video");
}

TEST_F(RequestTest, ThroughAProxyTheRequestLineCarriesTheAbsoluteAddress)
{
    Cli.SetProxy("127.0.0.1");
    Cli.SetProxyPort(Server.PortText());
    Cli.SetURL("http://www.youtube.com/get_video?video_id=x");
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    auto rq = Server.Requests().at(0);
    EXPECT_EQ(rq.RawHeader.substr(0, rq.RawHeader.find("\r\n")),
              "GET http://www.youtube.com/get_video?video_id=x HTTP/1.0");
    EXPECT_EQ(rq.Header("Host"), "www.youtube.com");

    // A port in the proxy setting wins over ProxyPort; a port in the address is kept.
    Server.ClearRequests();
    Cli.SetProxy("127.0.0.1:" + Server.PortText());
    Cli.SetProxyPort("1");
    Cli.SetURL("http://video.example.com:8080/v.flv");
    r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    rq = Server.Requests().at(0);
    EXPECT_EQ(rq.Target, "http://video.example.com:8080/v.flv");
    EXPECT_EQ(rq.Header("Host"), "video.example.com:8080");

    // An empty port counts as none: no ":" in the absolute address or the Host line.
    Server.ClearRequests();
    Cli.SetURL("http://video.example.com:/v.flv");
    r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    rq = Server.Requests().at(0);
    EXPECT_EQ(rq.Target, "http://video.example.com/v.flv");
    EXPECT_EQ(rq.Header("Host"), "video.example.com");
}

TEST_F(RequestTest, EveryOptionalLineInItsPlace)
{
    Cli.SetURL(Server.Url("/p"));
    Cli.SetSender("me@example.com");
    Cli.SetReference("http://ref.example/");
    Cli.SetConnection("Keep-Alive");
    Cli.SetAcceptLanguage("en");
    Cli.SetNoCache(true);
    Cli.SetProxyConnection("Keep-Alive");
    Cli.SetModifiedSince(46363.33756944445); // Monday 7 December 2026, 08:06:06
    Cli.SetCookie("a=1");
    Cli.SetContentRangeBegin("100");
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Server.Requests().at(0).RawHeader, "GET /p HTTP/1.0\r\n"
                                                 "From: me@example.com\r\n"
                                                 "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                                                 "Referer: http://ref.example/\r\n"
                                                 "Connection: Keep-Alive\r\n"
                                                 "Accept-Language: en\r\n"
                                                 "User-Agent: Mozilla/3.0 (compatible)\r\n"
                                                 "Host: 127.0.0.1:" +
                                                     Server.PortText() +
                                                     "\r\n"
                                                     "Pragma: no-cache\r\n"
                                                     "Proxy-Connection: Keep-Alive\r\n"
                                                     "If-Modified-Since: Mon, 07 Dec 2026 08:06:06 GMT\r\n"
                                                     "Cookie: a=1\r\n"
                                                     "Range: bytes=100-\r\n"
                                                     "\r\n");
    // The range was for that request only.
    EXPECT_EQ(Cli.ContentRangeBegin(), "");
}

TEST_F(RequestTest, HandlersMayRewriteTheHeader)
{
    Cli.SetURL(Server.Url("/p"));
    std::string method;
    Cli.OnBeforeHeaderSend = [&](TObject*, const std::string& m, std::vector<std::string>& lines) {
        method = m;
        lines.push_back("X-Extra: 1");
    };
    int commands = 0;
    Cli.OnCommand = [&](TObject*, std::string& line) {
        ++commands;
        if (line.rfind("User-Agent:", 0) == 0)
            line = "User-Agent: changed";
    };
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    auto rq = Server.Requests().at(0);
    EXPECT_EQ(method, "GET");
    EXPECT_EQ(rq.Header("User-Agent"), "changed");
    EXPECT_EQ(rq.Header("X-Extra"), "1");
    EXPECT_EQ(commands, 5 + 1); // four lines, the extra one, and the empty line
}

TEST_F(RequestTest, PostSendsTheStreamFromItsPosition)
{
    std::string body(20000, 'p');
    body += "END";
    TMemoryStream send;
    send.WriteBuffer("SKIP", 4);
    send.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
    send.SetPosition(4);
    Cli.SetSendStream(&send);
    Cli.SetURL(Server.Url("/form"));
    std::int64_t sent = 0;
    bool began = false, ended = false;
    Cli.OnSendBegin = [&](TObject*) { began = true; };
    Cli.OnSendData = [&](TObject*, const char*, int n) { sent += n; };
    Cli.OnSendEnd = [&](TObject*) { ended = true; };
    ASSERT_TRUE(httptest::RunAsync(Cli, httpPOST));
    auto rq = Server.Requests().at(0);
    EXPECT_EQ(rq.Method, "POST");
    EXPECT_EQ(rq.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(rq.Header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(rq.Body, body);
    EXPECT_TRUE(began);
    EXPECT_TRUE(ended);
    EXPECT_EQ(sent, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(Cli.StatusCode(), 200);
}

TEST_F(RequestTest, RefusedOperations)
{
    try {
        Cli.DoRequestAsync(httpPOST);
        FAIL() << "POST without a stream";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_STREQ(e.what(), "HTTP component has nothing to post or put");
    }
    try {
        Cli.SetRequestVer("2.0");
        FAIL() << "version 2.0 accepted";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
        EXPECT_STREQ(e.what(), "Insupported HTTP version");
    }
    EXPECT_EQ(Cli.RequestVer(), "1.0");
    Cli.SetRequestVer("1.1");
    EXPECT_EQ(Cli.RequestVer(), "1.1");
}

TEST_F(RequestTest, NothingThatCouldSplitTheRequestGoesOnTheWire)
{
    // An address from a page with line ends in it would add header lines, or a whole second
    // request through a proxy. It is refused before anything is sent.
    const std::vector<std::string> addresses = {"/v?t=1\r\nX-Injected: yes\r\n\r\nGET /second HTTP/1.0",
                                                "/v?t=1\nX: y",
                                                "/v?t=1\rX: y",
                                                "/v?t=\x7f",
                                                std::string("/v?t=1\0x", 8),
                                                "/v?\tx"};
    for (const std::string& bad : addresses) {
        Cli.SetURL(Server.Url(bad));
        auto r = RunGet(Cli);
        EXPECT_TRUE(r.Raised);
        EXPECT_EQ(r.Code, httperrInvalidRequest);
        EXPECT_NE(r.Message.find("control character"), std::string::npos) << r.Message;
        EXPECT_EQ(Cli.State(), httpReady);
    }
    EXPECT_EQ(Server.RequestCount(), 0u);
    EXPECT_EQ(Server.ConnectionCount(), 0);

    // The same for the values a caller sets.
    auto refused = [&](auto set, auto clear) {
        set();
        Cli.SetURL(Server.Url("/ok"));
        auto r = RunGet(Cli);
        clear();
        return r.Raised && r.Code == httperrInvalidRequest;
    };
    EXPECT_TRUE(refused([&] { Cli.SetAgent("UA\r\nX-Injected: yes"); }, [&] { Cli.SetAgent("UA"); }));
    EXPECT_TRUE(refused([&] { Cli.SetCookie("a=b\nX: y"); }, [&] { Cli.SetCookie(""); }));
    EXPECT_TRUE(refused([&] { Cli.SetReference("http://x/\r"); }, [&] { Cli.SetReference(""); }));
    EXPECT_TRUE(refused([&] { Cli.SetSender("me\r\n"); }, [&] { Cli.SetSender(""); }));
    EXPECT_TRUE(refused([&] { Cli.SetAcceptLanguage("en\n"); }, [&] { Cli.SetAcceptLanguage(""); }));
    EXPECT_EQ(Server.RequestCount(), 0u);

    // Blanks are sent as browsers send them; the request still goes out.
    Cli.SetURL(Server.Url("/a file.flv?name=my clip"));
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    ASSERT_EQ(Server.RequestCount(), 1u);
    EXPECT_EQ(Server.Requests()[0].Target, "/a%20file.flv?name=my%20clip");
    EXPECT_EQ(Server.Requests()[0].Headers.size(), 3u);
}

TEST_F(RequestTest, ASecondGetWhileOneRunsIsRefusedAndDoesNotDisturbIt)
{
    std::string big(200000, 'v');
    Server.On("/slow", [&](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n");
        c.SendSlowly(big, 50000, 50);
    });
    Cli.SetURL(Server.Url("/slow"));
    int refused = 0;
    std::string text;
    Cli.OnDocData = [&](TObject*, const char*, int) {
        if (refused)
            return;
        try {
            Cli.Get();
        } catch (const EHttpException& e) {
            ++refused;
            text = e.what();
            EXPECT_EQ(e.ErrorCode(), 1);
        }
    };
    auto r = RunGet(Cli);
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(text, "HTTP component HttpCli1 is busy");
    EXPECT_EQ(Rcvd.DataString(), big);
}

TEST_F(RequestTest, ConnectionIsReusedForTheSameServerOnly)
{
    cwtest::HttpTestServer other;
    auto keepAlive = [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(200, "OK", {"Connection: keep-alive"}, "k");
        c.KeepAlive();
    };
    Server.On("/k", keepAlive);
    other.On("/k", keepAlive);
    Cli.SetURL(Server.Url("/k"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    ASSERT_FALSE(RunGet(Cli).Raised);
    Cli.SetURL(other.Url("/k"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    Cli.SetURL(Server.Url("/k"));
    ASSERT_FALSE(RunGet(Cli).Raised);

    auto rqs = Server.Requests();
    ASSERT_EQ(rqs.size(), 3u);
    EXPECT_EQ(rqs[0].ConnectionId, rqs[1].ConnectionId);
    EXPECT_NE(rqs[1].ConnectionId, rqs[2].ConnectionId); // the connection went to the other server
    EXPECT_EQ(other.RequestCount(), 1u);

    // Without keep-alive from the server, a 1.0 request closes after each response.
    Server.ClearRequests();
    Cli.SetURL(Server.Url("/plain"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    ASSERT_FALSE(RunGet(Cli).Raised);
    rqs = Server.Requests();
    EXPECT_NE(rqs[0].ConnectionId, rqs[1].ConnectionId);
}

// A server that sends more than its answer's framing holds: the surplus is no answer of ours,
// and a request after it never takes it for its own (nor the connection it came on).
TEST_F(RequestTest, BytesPastAnAnswersEndAreNeverTheNextAnswer)
{
    const std::string fake = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfake";
    const struct {
        const char* Name;
        std::string First;
        bool NewConnection; // the surplus reached the client: its connection must not be used again
    } cases[] = {
        {"after a sized body", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok" + fake, true},
        {"after an answer without a body", "HTTP/1.1 204 No Content\r\nConnection: keep-alive\r\n\r\n" + fake, true},
        {"after a chunked body",
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
         "2\r\nok\r\n0\r\n\r\n" +
             fake,
         false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        Server.ClearRequests();
        Server.On("/first", [&](const HttpTestRequest&, HttpTestConnection& c) {
            c.Send(k.First);
            c.KeepAlive();
        });
        Server.On("/second", [](const HttpTestRequest&, HttpTestConnection& c) {
            c.Reply(200, "OK", {"Connection: keep-alive"}, "real");
            c.KeepAlive();
        });
        Cli.SetRequestVer("1.1");
        Cli.SetURL(Server.Url("/first"));
        auto r = RunGet(Cli);
        ASSERT_FALSE(r.Raised) << r.Message;
        Rcvd.Clear();
        Cli.SetURL(Server.Url("/second"));
        r = RunGet(Cli);
        EXPECT_FALSE(r.Raised) << r.Message;
        EXPECT_EQ(Rcvd.DataString(), "real");
        const auto rqs = Server.Requests();
        ASSERT_EQ(rqs.size(), 2u);
        if (k.NewConnection) {
            EXPECT_NE(rqs[0].ConnectionId, rqs[1].ConnectionId);
        }
        DropConnection(Cli);
    }
}

// The public states a request shows, in order, for each way it can go: the chain of a request
// (a relocation, an answer to a challenge, a retry on a fresh connection) never passes through
// httpReady, which comes once, at the end; and no move is one the table does not list.
TEST_F(RequestTest, EachWayARequestGoesShowsItsStatesInOrder)
{
    Server.On("/plain",
              [](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(200, "OK", {}, "body", "HTTP/1.0"); });
    Server.On("/empty", [](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(200, "OK", {}, "", "HTTP/1.0"); });
    Server.On("/kept-move", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: /kept-end", "Connection: keep-alive"}, "");
        c.KeepAlive();
    });
    Server.On("/kept-end", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(200, "OK", {"Connection: keep-alive"}, "end");
        c.KeepAlive();
    });
    Server.On("/closed-move", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(301, "Moved", {"Location: /plain", "Connection: close"}, "", "HTTP/1.0");
    });
    Server.On("/locked", [](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (rq.HasHeader("Authorization"))
            c.Reply(200, "OK", {}, "open", "HTTP/1.0");
        else
            c.Reply(401, "Unauthorized", {"WWW-Authenticate: Basic realm=\"r\""}, "", "HTTP/1.0");
    });
    Server.On("/gone", [](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (rq.IndexOnConnection == 1) {
            c.Reply(200, "OK", {"Connection: keep-alive"}, "a");
            c.KeepAlive();
        } else if (rq.IndexOnConnection == 2) {
            c.Close(); // gave the kept connection up just as the request came
        }
    });
    const std::string connect = "httpNotConnected httpDnsLookup httpDnsLookupDone httpConnected httpWaitingHeader";
    const struct {
        const char* Name;
        std::string Url;
        const char* Version;
        bool Kept; // fetched once before, to leave a kept connection behind
        std::string States;
    } cases[] = {
        {"a document", "/plain", "1.0", false, connect + " httpWaitingBody httpBodyReceived httpReady"},
        {"an empty document", "/empty", "1.0", false, connect + " httpReady"},
        {"a relocation on the kept connection", "/kept-move", "1.1", false,
         connect + " httpNotConnected httpConnected httpWaitingHeader httpWaitingBody httpBodyReceived httpReady"},
        {"a relocation on a new connection", "/closed-move", "1.0", false,
         connect + " " + connect + " httpWaitingBody httpBodyReceived httpReady"},
        {"an answered challenge", "/locked", "1.0", false,
         connect + " " + connect + " httpWaitingBody httpBodyReceived httpReady"},
        {"a kept connection gone before the answer", "/gone", "1.1", true,
         "httpNotConnected httpConnected httpWaitingHeader " + connect + " httpWaitingBody httpBodyReceived httpReady"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        Cli.SetRequestVer(k.Version);
        Cli.SetUsername("u");
        Cli.SetPassword("p");
        Cli.SetURL(Server.Url(k.Url));
        if (k.Kept) {
            const auto first = RunGet(Cli);
            ASSERT_FALSE(first.Raised) << first.Message;
        }
        std::string states;
        Cli.OnStateChange = [&](TObject*) { states += (states.empty() ? "" : " ") + HttpStateName(Cli.State()); };
        auto r = RunGet(Cli);
        Cli.OnStateChange = nullptr;
        EXPECT_FALSE(r.Raised) << r.Message;
        EXPECT_EQ(states, k.States);
        EXPECT_EQ(Cli.RefusedMoves(), 0);
        DropConnection(Cli);
    }
}

TEST_F(RequestTest, AnAddressWithoutSchemeIsFetchedOverHttp)
{
    Cli.SetURL("127.0.0.1:" + Server.PortText() + "/noscheme");
    auto r = RunGet(Cli);
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Server.Requests().at(0).Target, "/noscheme");
    EXPECT_EQ(Rcvd.DataString(), "body");
}

TEST_F(RequestTest, OtherSchemesAreRefusedAfterTheLookUp)
{
    Cli.SetURL("ftp://127.0.0.1:" + Server.PortText() + "/secure");
    std::vector<THttpState> states;
    Cli.OnStateChange = [&](TObject*) { states.push_back(Cli.State()); };
    auto r = RunGet(Cli);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrInvalidRequest);
    EXPECT_EQ(r.Message, "Protocol \"ftp\" not implemented");
    EXPECT_EQ(Server.RequestCount(), 0u);
    EXPECT_EQ(Cli.State(), httpReady);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states[0], httpNotConnected);
    EXPECT_EQ(states[1], httpDnsLookup);
    EXPECT_EQ(states[2], httpDnsLookupDone);
}

// No answer came: nothing poses as the server's status, and each failure keeps its own code.
TEST_F(RequestTest, ConnectAndLookUpFailuresEndInReadyWithTheirOwnCodes)
{
    std::uint16_t deadPort = cwtest::FreeLocalPort();
    Cli.SetURL("http://127.0.0.1:" + std::to_string(deadPort) + "/x");
    std::uint16_t err = 0;
    ASSERT_TRUE(httptest::RunAsync(Cli, httpGET, 20000, &err));
    EXPECT_EQ(Cli.StatusCode(), 0);
    EXPECT_EQ(Cli.FailureText(), "Connection refused (Error #10061)");
    EXPECT_EQ(Cli.FailureCode(), 10061);
    EXPECT_EQ(err, 10061);
    EXPECT_EQ(Cli.State(), httpReady);
    auto r = RunGet(Cli);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, 10061);

    Cli.SetURL("http://no-such-host.invalid/x");
    r = RunGet(Cli);
    EXPECT_TRUE(r.Raised);
    EXPECT_GE(r.Code, 11001); // host not found, or no name service at all
    EXPECT_LE(r.Code, 11004);
    EXPECT_EQ(Cli.StatusCode(), 0);
    EXPECT_EQ(r.Message, "can't resolve hostname to IP address");
    EXPECT_EQ(Cli.State(), httpReady);

    // A port that is no number: refused clearly, not a request that waits for ever.
    Cli.SetURL("http://127.0.0.1:notaport/x");
    r = RunGet(Cli, 5000);
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrInvalidRequest);
    EXPECT_EQ(r.Message.rfind("can't connect: ", 0), 0u) << r.Message;
}

TEST_F(RequestTest, AbortWhileIdleReportsDoneAtOnce)
{
    int done = 0;
    std::uint16_t code = 99;
    Cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t e) {
        ++done;
        code = e;
    };
    Cli.Abort();
    EXPECT_EQ(done, 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_EQ(Cli.ReasonPhrase(), "OK");
}

TEST_F(RequestTest, AbortDuringGetMakesGetRaiseAndKeepsWhatArrived)
{
    Server.On("/stream", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n");
        c.SendSlowly(std::string(300000, 's'), 1000, 5);
    });
    Cli.SetURL(Server.Url("/stream"));
    std::uint16_t doneCode = 0;
    int doneCount = 0;
    Cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t e) {
        doneCode = e;
        ++doneCount;
    };
    Cli.OnDocData = [&](TObject*, const char*, int) {
        if (Cli.RcvdCount() >= 5000)
            Cli.Abort();
    };
    auto r = RunGet(Cli);
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrAborted);
    EXPECT_EQ(r.Message, "Connection aborted on request");
    EXPECT_EQ(doneCount, 1);
    EXPECT_EQ(doneCode, 3);
    EXPECT_EQ(Cli.State(), httpReady);
    EXPECT_GE(Rcvd.Size(), 5000);
    EXPECT_EQ(Rcvd.Size(), Cli.RcvdCount());

    // The component is usable again.
    Cli.SetURL(Server.Url("/again"));
    Cli.OnDocData = nullptr;
    Rcvd.Clear();
    auto again = RunGet(Cli);
    EXPECT_FALSE(again.Raised) << again.Message;
    EXPECT_EQ(Rcvd.DataString(), "body");
}

TEST_F(RequestTest, AbortDuringTheLookUp)
{
    // A name that needs the resolver (not a dotted address), aborted at once.
    Cli.SetURL("http://localhost:" + Server.PortText() + "/x");
    Cli.OnStateChange = [&](TObject*) {
        if (Cli.State() == httpDnsLookup)
            Cli.Abort();
    };
    auto r = RunGet(Cli);
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Message, "Connection aborted on request");
    Cli.OnStateChange = nullptr;
    httptest::Pump(200); // a late answer of the look-up must not restart anything
    EXPECT_EQ(Cli.State(), httpReady);
    EXPECT_EQ(Server.RequestCount(), 0u);
}

TEST_F(RequestTest, CloseRequestClosesAKeptConnection)
{
    Server.On("/k", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(200, "OK", {"Connection: keep-alive"}, "k");
        c.KeepAlive();
    });
    Cli.SetURL(Server.Url("/k"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    EXPECT_EQ(Cli.CtrlSocket().State(), wsConnected);
    bool closed = false;
    Cli.OnSessionClosed = [&](TObject*) { closed = true; };
    ASSERT_TRUE(httptest::RunAsync(Cli, httpCLOSE));
    EXPECT_TRUE(closed);
    EXPECT_EQ(Cli.State(), httpReady);
    EXPECT_EQ(Cli.CtrlSocket().State(), wsClosed);

    // A close asked for as soon as a request shows httpReady (its OnRequestDone still on its
    // way) closes the connection and leaves that request's end as it was.
    ASSERT_FALSE(RunGet(Cli).Raised);
    ASSERT_EQ(Cli.CtrlSocket().State(), wsConnected);
    Cli.OnStateChange = [&](TObject*) {
        if (Cli.State() == httpReady)
            Cli.DoRequestAsync(httpCLOSE);
    };
    int done = 0;
    Cli.OnRequestDone = [&](TObject*, THttpRequest rq, std::uint16_t) {
        ++done;
        EXPECT_EQ(rq, httpGET);
    };
    Cli.DoRequestAsync(httpGET);
    httptest::Pump(300);
    Cli.OnStateChange = nullptr;
    EXPECT_EQ(done, 1);
    EXPECT_EQ(Cli.Outcome().Kind, hoDone);
    EXPECT_EQ(Cli.CtrlSocket().State(), wsClosed);
    EXPECT_EQ(Cli.RefusedMoves(), 0);
}

TEST_F(RequestTest, MultiThreadedWaitPumpsThroughTheSocket)
{
    Cli.SetMultiThreaded(true);
    EXPECT_TRUE(Cli.CtrlSocket().MultiThreaded());
    Cli.SetURL(Server.Url("/mt"));
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "body");
}

// Ports from an address or a server's Location: only 1..65535 written as digits. Each of these
// once reached a server ("18900abc" as 18900, "ssh" looked up as 22) or failed with "No Error".
// The server must see only the one request that relocated.
TEST_F(RequestTest, PortsThatAreNoNumberAndIPv6HostsAreRefusedBeforeConnecting)
{
    const std::string port = Server.PortText();
    const std::string good = "http://127.0.0.1:" + port;
    Server.On("/moved", [&](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: http://127.0.0.1:" + port + "abc/next", "Content-Length: 0"}, "");
    });
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://127.0.0.1:" + port + "abc/x", "invalid port"},
        {"http://127.0.0.1:-1/x", "invalid port"},
        {"http://127.0.0.1:99999/x", "invalid port"},
        {"http://127.0.0.1:ssh/x", "invalid port"},
        {"http://[::1]:" + port + "/x", "IPv6 addresses are not supported"},
        {"http://[::1]/x", "IPv6 addresses are not supported"},
        {good + "/moved", "invalid port"},
    };
    for (bool viaProxy : {false, true}) {
        Cli.SetProxy(viaProxy ? "127.0.0.1" : "");
        Cli.SetProxyPort(port);
        for (const auto& [url, expected] : cases) {
            SCOPED_TRACE(url + (viaProxy ? " through the proxy" : ""));
            const std::size_t before = Server.RequestCount();
            Cli.SetURL(url);
            auto r = RunGet(Cli, 10000);
            EXPECT_FALSE(r.WatchdogFired);
            EXPECT_TRUE(r.Raised);
            EXPECT_NE(r.Message.find(expected), std::string::npos) << r.Message;
            EXPECT_EQ(Cli.State(), httpReady);
            EXPECT_EQ(Server.RequestCount(), before + (url == good + "/moved" ? 1u : 0u));
        }
    }
    // A proxy port that is no number, or none at all, is refused the same way.
    Cli.SetProxy("127.0.0.1");
    Cli.SetURL(good + "/x");
    for (const std::string& proxyPort : {port + "x", std::string()}) {
        Cli.SetProxyPort(proxyPort);
        auto r = RunGet(Cli, 10000);
        EXPECT_TRUE(r.Raised);
        EXPECT_NE(r.Message.find("invalid port"), std::string::npos) << r.Message;
    }
}

// An address without a path still asks for "/", whatever else it has or lacks.
TEST_F(RequestTest, AnAddressWithoutAPathAsksForTheRoot)
{
    const std::string hostPort = "127.0.0.1:" + Server.PortText();
    const struct {
        const char* Name;
        std::string Url;
        bool Proxy;
        const char* Version;
        std::string Line;
    } cases[] = {
        {"host and port", "http://" + hostPort, false, "1.0", "GET / HTTP/1.0"},
        {"HTTP/1.1", "http://" + hostPort, false, "1.1", "GET / HTTP/1.1"},
        {"a query only", "http://" + hostPort + "?x=1", false, "1.0", "GET /?x=1 HTTP/1.0"},
        {"no scheme", hostPort, false, "1.0", "GET / HTTP/1.0"},
        {"through a proxy", "http://www.example.com", true, "1.0", "GET http://www.example.com/ HTTP/1.0"},
        {"through a proxy, a query only", "http://www.example.com?x=1", true, "1.1",
         "GET http://www.example.com/?x=1 HTTP/1.1"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        Server.ClearRequests();
        Cli.SetProxy(k.Proxy ? Server.Address() : std::string());
        Cli.SetRequestVer(k.Version);
        Cli.SetURL(k.Url);
        auto r = RunGet(Cli);
        EXPECT_FALSE(r.Raised) << r.Message;
        ASSERT_EQ(Server.RequestCount(), 1u);
        const std::string raw = Server.Requests()[0].RawHeader;
        EXPECT_EQ(raw.substr(0, raw.find("\r\n")), k.Line);
    }
}
