// Response handling over real sockets: status line, header fields, the three kinds of body,
// interim responses, over-long lines, short and broken answers, and the event order.

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

class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Cli.SetName("HttpCli1");
        Cli.SetRcvdStream(&Rcvd);
    }
    // Serve one scripted answer at /r and fetch it.
    httptest::GetOutcome Fetch(std::function<void(HttpTestConnection&)> script, const std::string& path = "/r")
    {
        Server.On(path, [script](const HttpTestRequest&, HttpTestConnection& c) { script(c); });
        Cli.SetURL(Server.Url(path));
        return RunGet(Cli);
    }

    cwtest::MessageBoxRecorder Boxes;
    cwtest::HttpTestServer Server;
    THttpCli Cli;
    TMemoryStream Rcvd;
};

// A stream whose writes fail, like a full disk.
class FailingStream : public TMemoryStream {
public:
    std::int64_t Write(const void*, std::int64_t) override { throw EWriteError("Disk full"); }
};

} // namespace

TEST_F(ResponseTest, EventOrderOfAGetAndTheHeaderSeenWhileItArrives)
{
    httptest::EventLog log;
    log.Attach(Cli);
    bool lengthSeenDuringHeader = false;
    auto headerData = Cli.OnHeaderData;
    Cli.OnHeaderData = [&](TObject* s) {
        headerData(s);
        for (const auto& l : Cli.RcvdHeader())
            if (l.rfind("Content-Length:", 0) == 0 && Cli.State() == httpWaitingHeader)
                lengthSeenDuringHeader = true;
    };
    auto r = Fetch([](HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: Video/X-FLV\r\nContent-Length: 11\r\nX-Other: y\r\n\r\nhello world");
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(log.Folded(), "HeaderBegin HeaderData HeaderEnd DocBegin DocData DocEnd RequestDone");
    EXPECT_TRUE(lengthSeenDuringHeader);
    EXPECT_EQ(Cli.RcvdHeader().size(), 4u);
    EXPECT_EQ(Cli.RcvdHeader()[0], "HTTP/1.0 200 OK");
    EXPECT_EQ(Cli.ReplyVer(), "1.0");
    EXPECT_EQ(Cli.ReasonPhrase(), "OK");
    EXPECT_EQ(Cli.ContentType(), "video/x-flv");
    EXPECT_EQ(Cli.ContentLength(), 11);
    EXPECT_EQ(Cli.RcvdCount(), 11);
    EXPECT_EQ(Rcvd.DataString(), "hello world");
}

TEST_F(ResponseTest, EachBlockIsWrittenAndCountedBeforeOnDocData)
{
    std::vector<std::int64_t> counts;
    std::vector<std::int64_t> streamSizes;
    Cli.OnDocData = [&](TObject*, const char*, int) {
        counts.push_back(Cli.RcvdCount());
        streamSizes.push_back(Rcvd.Size());
    };
    auto r = Fetch([](HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        c.Send(std::string(300, 'a'));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        c.Send(std::string(300, 'b'));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        c.Send(std::string(400, 'c'));
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(counts, (std::vector<std::int64_t>{300, 600, 1000}));
    EXPECT_EQ(streamSizes, counts);
}

TEST_F(ResponseTest, BytesBeyondTheLengthAreNotWritten)
{
    auto r = Fetch([](HttpTestConnection& c) { c.Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA"); });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "hello");
}

TEST_F(ResponseTest, AFollowingResponseOnAKeptConnectionIsReadInTurn)
{
    // The second answer arrives glued to the first; it must serve the second request.
    Server.On("/one", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\none");
        c.KeepAlive();
    });
    Server.On("/two", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\ntwo");
        c.KeepAlive();
    });
    Cli.SetURL(Server.Url("/one"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    EXPECT_EQ(Rcvd.DataString(), "one");
    Rcvd.Clear();
    Cli.SetURL(Server.Url("/two"));
    ASSERT_FALSE(RunGet(Cli).Raised);
    EXPECT_EQ(Rcvd.DataString(), "two");
    auto rq = Server.Requests();
    EXPECT_EQ(rq[0].ConnectionId, rq[1].ConnectionId);
}

TEST_F(ResponseTest, ChunkedBodiesWithExtensionsAndBothHexCases)
{
    std::string big(0x1AF, 'z');
    auto r = Fetch([&](HttpTestConnection& c) {
        c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
               "5;ext=1\r\nhello\r\n"
               "1af\r\n" +
               big +
               "\r\n"
               "1AF\r\n" +
               big +
               "\r\n"
               "0\r\nX-Trailer: t\r\n\r\n");
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Cli.TransferEncoding(), "chunked");
    EXPECT_EQ(Rcvd.DataString(), "hello" + big + big);
    EXPECT_EQ(Cli.RcvdCount(), static_cast<std::int64_t>(5 + 2 * big.size()));
}

TEST_F(ResponseTest, ChunkedBodyDrippedByteByByte)
{
    std::string body = "The quick brown fox jumps over the lazy dog";
    auto r = Fetch([&](HttpTestConnection& c) {
        c.SendSlowly("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + HttpTestConnection::Chunked(body, 7), 1,
                     1);
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), body);
}

TEST_F(ResponseTest, WhichResponsesHaveABody)
{
    Cli.SetFollowRelocation(false);
    // A 302 without length has no body: the request ends without waiting for the close.
    auto r = Fetch([](HttpTestConnection& c) {
        c.Send("HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\nConnection: keep-alive\r\n\r\n");
        c.KeepAlive(); // the server holds the connection open
    });
    EXPECT_FALSE(r.Raised) << r.Message; // a 3xx that is not followed is no failure
    EXPECT_EQ(Cli.StatusCode(), 302);
    EXPECT_EQ(Cli.CtrlSocket().State(), wsConnected);
    EXPECT_EQ(Rcvd.Size(), 0);

    // A 303 without length is read until the connection closes.
    Rcvd.Clear();
    r = Fetch([](HttpTestConnection& c) { c.Send("HTTP/1.0 303 See Other\r\n\r\nuntil close"); }, "/303");
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "until close");

    // 204 and 304 never have one, whatever Content-Length says.
    Rcvd.Clear();
    r = Fetch(
        [](HttpTestConnection& c) {
            c.Send("HTTP/1.0 304 Not Modified\r\nContent-Length: 100\r\nConnection: keep-alive\r\n\r\n");
            c.KeepAlive();
        },
        "/304");
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_EQ(Cli.StatusCode(), 304);

    // HEAD: the length describes the document that is not sent.
    Server.On("/head", [](const HttpTestRequest& rq, HttpTestConnection& c) {
        EXPECT_EQ(rq.Method, "HEAD");
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n");
    });
    Cli.SetURL(Server.Url("/head"));
    ASSERT_TRUE(httptest::RunAsync(Cli, httpHEAD));
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_EQ(Cli.ContentLength(), 5000);
    EXPECT_EQ(Cli.RcvdCount(), 0);
}

TEST_F(ResponseTest, InterimContinueIsInvisibleExceptThroughHeaderData)
{
    Cli.SetRequestVer("1.1");
    int headerData = 0, headerBegin = 0;
    Cli.OnHeaderData = [&](TObject*) { ++headerData; };
    Cli.OnHeaderBegin = [&](TObject*) { ++headerBegin; };
    auto r = Fetch([](HttpTestConnection& c) {
        c.Send("HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(headerBegin, 1);
    EXPECT_EQ(headerData, 2 + 3);
    ASSERT_EQ(Cli.RcvdHeader().size(), 3u);
    EXPECT_EQ(Cli.RcvdHeader()[0], "HTTP/1.1 200 OK");
    EXPECT_EQ(Rcvd.DataString(), "ok");
}

TEST_F(ResponseTest, AHeaderLineLongerThanTheBufferIsCut)
{
    std::string longLine = "X-Long: " + std::string(20000, 'L');
    auto r = Fetch([&](HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\n" + longLine + "\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello");
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "hello");
    EXPECT_EQ(Cli.ContentType(), "text/plain");
    ASSERT_EQ(Cli.RcvdHeader().size(), 4u);
    EXPECT_LT(Cli.RcvdHeader()[1].size(), 8190u);
    EXPECT_EQ(Cli.RcvdHeader()[1].rfind("X-Long: LLL", 0), 0u);
}

TEST_F(ResponseTest, ErrorStatusKeepsItsBodyAndRaisesAfterwards)
{
    auto r = Fetch([](HttpTestConnection& c) { c.Reply(404, "Not Found", {}, "missing page", "HTTP/1.0"); });
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, 404);
    EXPECT_EQ(r.Message, "Not Found");
    EXPECT_EQ(Rcvd.DataString(), "missing page");

    r = Fetch([](HttpTestConnection& c) { c.Reply(401, "Unauthorized", {}, "", "HTTP/1.0"); }, "/401");
    EXPECT_FALSE(r.Raised);
    EXPECT_EQ(Cli.StatusCode(), 401);
}

TEST_F(ResponseTest, ContentRangeIsAskedForAgainOnTheNextRequest)
{
    Cli.SetContentRangeBegin("100");
    Cli.SetContentRangeEnd("199");
    auto r = Fetch([](HttpTestConnection& c) {
        c.Reply(206, "Partial Content", {"Content-Range: bytes 100-199/1000", "Accept-Ranges: bytes"},
                std::string(100, 'r'), "HTTP/1.0");
    });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Cli.ContentRangeBegin(), "100");
    EXPECT_EQ(Cli.ContentRangeEnd(), "199");
    EXPECT_EQ(Cli.AcceptRanges(), "bytes");
    ASSERT_FALSE(RunGet(Cli).Raised);
    EXPECT_EQ(Server.Requests().at(0).Header("Range"), "bytes=100-199");
    EXPECT_EQ(Server.Requests().at(1).Header("Range"), "bytes=100-199");
}

TEST_F(ResponseTest, CookiesAndDocumentNames)
{
    std::vector<std::string> cookies;
    Cli.OnCookie = [&](TObject*, const std::string& v, bool& accept) {
        EXPECT_TRUE(accept);
        cookies.push_back(v);
    };
    auto r = Fetch(
        [](HttpTestConnection& c) {
            c.Reply(200, "OK", {"Set-Cookie: a=1; path=/", "Set-Cookie:b=2", "Content-Type: text/html"}, "<p>",
                    "HTTP/1.0");
        },
        "/dir/setup.exe");
    ASSERT_FALSE(r.Raised);
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; path=/", "b=2"}));
    EXPECT_EQ(Cli.DocName(), "setup.htm");

    r = Fetch([](HttpTestConnection& c) { c.Reply(200, "OK", {"Content-Type: text/html"}, "<p>", "HTTP/1.0"); },
              "/dir/page");
    EXPECT_EQ(Cli.DocName(), "page.htm");
    r = Fetch([](HttpTestConnection& c) { c.Reply(200, "OK", {"Content-Type: video/flv"}, "x", "HTTP/1.0"); },
              "/dir/clip.flv");
    EXPECT_EQ(Cli.DocName(), "clip.flv");
}

TEST_F(ResponseTest, ShortAndBrokenAnswersAreFailures)
{
    // Closed before the announced end: what arrived stays, but Get does not pretend success.
    int docEnd = 0;
    Cli.OnDocEnd = [&](TObject*) { ++docEnd; };
    auto r = Fetch([](HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(500, 'h'));
    });
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrBadResponse);
    EXPECT_NE(r.Message.find("500 of 1000"), std::string::npos) << r.Message;
    EXPECT_EQ(docEnd, 1);
    EXPECT_EQ(Rcvd.Size(), 500);
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_EQ(Cli.State(), httpReady);

    // A chunked body that stops before its last chunk.
    r = Fetch([](HttpTestConnection& c) { c.Send("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"); },
              "/chunkcut");
    EXPECT_TRUE(r.Raised);

    // Closed in the middle of the header.
    r = Fetch([](HttpTestConnection& c) { c.Send("HTTP/1.0 200 OK\r\nContent-Le"); }, "/headercut");
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrBadResponse);

    // Nothing at all.
    r = Fetch([](HttpTestConnection& c) { c.Close(); }, "/nothing");
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(Cli.StatusCode(), 0);

    // Not HTTP.
    r = Fetch([](HttpTestConnection& c) { c.Send("SSH-2.0-OpenSSH\r\n\r\n"); }, "/ssh");
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(Cli.StatusCode(), 0);

    // A reset in the middle of the body.
    r = Fetch(
        [](HttpTestConnection& c) {
            c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            c.Reset();
        },
        "/reset");
    EXPECT_TRUE(r.Raised);
    EXPECT_FALSE(r.WatchdogFired);
}

TEST_F(ResponseTest, BrokenFramingEndsAsABadResponseKeepingWhatArrived)
{
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const struct {
        const char* Name;
        std::string Answer;
        std::string Kept; // what the stream holds afterwards
    } cases[] = {
        {"size not hexadecimal", chunked + "5\r\nhello\r\nzz\r\nworld\r\n0\r\n\r\n", "hello"},
        {"negative size", chunked + "5\r\nhello\r\n-5\r\nworld\r\n0\r\n\r\n", "hello"},
        {"text after the digits", chunked + "5\r\nhello\r\n5 5\r\nworld\r\n0\r\n\r\n", "hello"},
        {"chunk longer than its size", chunked + "5\r\nhello world\r\n0\r\n\r\n", "hello"},
        {"absurd size", chunked + "5\r\nhello\r\n1000000000000000\r\nabc", "hello"},
        {"four-digit status", "HTTP/1.1 2000 OK\r\nContent-Length: 5\r\n\r\nhello", ""},
        {"status glued to text", "HTTP/1.1 200OK\r\nContent-Length: 5\r\n\r\nhello", ""},
        {"coding not implemented", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         ""},
        {"coding on two lines",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", ""},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 11\r\n\r\nhello world", ""},
    };
    int n = 0;
    for (const auto& k : cases) {
        Rcvd.Clear();
        const std::string answer = k.Answer;
        auto r = Fetch([answer](HttpTestConnection& c) { c.Send(answer); }, "/frame" + std::to_string(n++));
        EXPECT_TRUE(r.Raised) << k.Name;
        EXPECT_EQ(r.Code, httperrBadResponse) << k.Name << ": " << r.Message;
        EXPECT_FALSE(r.WatchdogFired) << k.Name;
        EXPECT_EQ(Cli.State(), httpReady) << k.Name;
        EXPECT_EQ(Rcvd.DataString(), k.Kept) << k.Name;
    }

    // What stays accepted: the same length twice, blanks before an extension, and codings
    // that change nothing.
    for (const std::string& answer :
         {std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello"),
          chunked + "5 ;ext=1\r\nhello\r\n0\r\n\r\n",
          std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked \r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
          std::string("HTTP/1.0 200 OK\r\nTransfer-Encoding: identity\r\n\r\nhello")}) {
        Rcvd.Clear();
        auto r = Fetch([answer](HttpTestConnection& c) { c.Send(answer); }, "/frame" + std::to_string(n++));
        EXPECT_FALSE(r.Raised) << answer << ": " << r.Message;
        EXPECT_EQ(Rcvd.DataString(), "hello") << answer;
    }
}

TEST_F(ResponseTest, AFailingStreamEndsTheRequestAndGetRaisesItsError)
{
    FailingStream disk;
    Cli.SetRcvdStream(&disk);
    auto big = std::string(100000, 'd');
    Server.On("/big", [&](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(200, "OK", {}, big, "HTTP/1.0"); });
    Cli.SetURL(Server.Url("/big"));
    bool raised = false;
    try {
        Cli.Get();
    } catch (const EWriteError& e) {
        raised = true;
        EXPECT_STREQ(e.what(), "Disk full");
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(Cli.State(), httpReady);
    EXPECT_EQ(Boxes.Count(), 0u);

    // In the asynchronous form the error reaches the standard handler and the request ends.
    std::uint16_t err = 0;
    ASSERT_TRUE(httptest::RunAsync(Cli, httpGET, 10000, &err));
    EXPECT_EQ(err, httperrBadResponse);
    ASSERT_EQ(Boxes.Count(), 1u);
    EXPECT_EQ(Boxes.Boxes()[0].Text, "Disk full");
}

TEST_F(ResponseTest, AHeaderFloodIsCutShort)
{
    auto r = Fetch([](HttpTestConnection& c) {
        std::string flood = "HTTP/1.0 200 OK\r\n";
        for (int i = 0; i < 20000; ++i)
            flood += "X-Flood-" + std::to_string(i) + ": yes\r\n";
        c.Send(flood);
        c.Send("\r\nbody");
    });
    EXPECT_FALSE(r.WatchdogFired);
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Message, "Response header too large");
    EXPECT_LE(Cli.RcvdHeader().size(), 10000u);
}

TEST_F(ResponseTest, AStrayLineEndBeforeTheStatusLineIsSkipped)
{
    auto r = Fetch([](HttpTestConnection& c) { c.Send("\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"); });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_EQ(Rcvd.DataString(), "ok");
}

TEST_F(ResponseTest, BandwidthControlStillDeliversEverything)
{
    Cli.SetOptions({httpoBandwidthControl});
    Cli.SetBandwidthLimit(200000);
    Cli.SetBandwidthSampling(100);
    std::string body(60000, 'w');
    auto r = Fetch([&](HttpTestConnection& c) { c.Reply(200, "OK", {}, body, "HTTP/1.0"); });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), body);
}

TEST_F(ResponseTest, ContentCodingPassesKnownCodingsThrough)
{
    Cli.SetOptions({httpoEnableContentCoding, httpoUseQuality});
    EXPECT_TRUE(Cli.Options().Contains(httpoEnableContentCoding));
    auto r =
        Fetch([](HttpTestConnection& c) { c.Reply(200, "OK", {"Content-Encoding: identity"}, "plain", "HTTP/1.0"); });
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Server.Requests().at(0).Header("Accept-Encoding"), "identity;q=0, *;q=0");
    EXPECT_EQ(Rcvd.DataString(), "plain");

    // Without quality values, codings of quality 0 are not announced at all.
    Cli.SetOptions({httpoEnableContentCoding});
    r = Fetch([](HttpTestConnection& c) { c.Reply(200, "OK", {"Content-Encoding: gzip"}, "zzz", "HTTP/1.0"); }, "/gz");
    EXPECT_FALSE(Server.Requests().at(1).HasHeader("Accept-Encoding"));
    EXPECT_EQ(Rcvd.DataString(), "plainzzz"); // an unknown coding: the body passes unchanged
}

TEST_F(ResponseTest, AbortFromOnDocDataInsideTheCodingChain)
{
    Cli.SetOptions({httpoEnableContentCoding});
    Cli.OnDocData = [&](TObject*, const char*, int) { Cli.Abort(); };
    auto r = Fetch([](HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Encoding: identity, identity"}, std::string(50000, 'i'), "HTTP/1.0");
    });
    EXPECT_TRUE(r.Raised);
    EXPECT_EQ(r.Message, "Connection aborted on request");
    EXPECT_EQ(Cli.State(), httpReady);
    EXPECT_GT(Rcvd.Size(), 0);
}
