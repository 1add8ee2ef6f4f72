// The idle limit (a peer that goes quiet before or during the answer ends the request with a
// time-out instead of hanging it) and ranged requests (the range survives a relocation, the
// validators of the answer are kept).

#include "HttpTestUtil.h"
#include "support/HttpTestServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/SocketPeers.h"

#include "net/http/HttpProt.h"
#include "platform/Streams.h"

#include <gtest/gtest.h>

using namespace cw;
using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;
using httptest::RunGet;

namespace {

class IdleRangeTest : public ::testing::Test {
protected:
    void SetUp() override { Cli.SetRcvdStream(&Rcvd); }
    cwtest::MessageBoxRecorder Boxes;
    THttpCli Cli;
    TMemoryStream Rcvd;
};

} // namespace

TEST_F(IdleRangeTest, SilentPeersEndWithATimeOut)
{
    // Accepts and never answers: the request would otherwise wait for ever.
    {
        cwtest::ScriptedPeer mute(cwtest::ScriptedPeer::Hold(20000));
        Cli.SetIdleTimeout(300);
        Cli.SetURL("http://127.0.0.1:" + mute.PortStr() + "/x");
        auto r = RunGet(Cli, 15000);
        EXPECT_FALSE(r.WatchdogFired);
        ASSERT_TRUE(r.Raised);
        EXPECT_EQ(r.Code, httperrTimeout);
        EXPECT_EQ(Cli.State(), httpReady);
    }
    // Stops in the middle of the body: what arrived is kept, and the same code comes back, also
    // through OnRequestDone of an asynchronous request.
    cwtest::HttpTestServer server;
    server.On("/stall", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(400, 'v'));
        c.WaitForClientClose(20000);
    });
    Cli.SetURL(server.Url("/stall"));
    Rcvd.Clear();
    auto r = RunGet(Cli, 15000);
    EXPECT_FALSE(r.WatchdogFired);
    ASSERT_TRUE(r.Raised);
    EXPECT_EQ(r.Code, httperrTimeout);
    EXPECT_EQ(Rcvd.DataString(), std::string(400, 'v'));
    EXPECT_EQ(Cli.RcvdCount(), 400);

    std::uint16_t err = 0;
    ASSERT_TRUE(httptest::RunAsync(Cli, httpGET, 15000, &err));
    EXPECT_EQ(err, httperrTimeout);

    // A slow but steady answer is not idle, however long it takes as a whole; with no limit set
    // the client waits as before.
    server.On("/drip", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n");
        c.SendSlowly("abcdefghijkl", 1, 100);
    });
    Cli.SetURL(server.Url("/drip"));
    Rcvd.Clear();
    r = RunGet(Cli, 15000);
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "abcdefghijkl");
    Cli.SetIdleTimeout(0);
    Rcvd.Clear();
    r = RunGet(Cli, 15000);
    EXPECT_FALSE(r.Raised) << r.Message;
}

TEST_F(IdleRangeTest, ARangeIsAskedForAgainAfterARelocationAndTheValidatorsAreKept)
{
    cwtest::HttpTestServer server;
    server.On("/v", [&](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: " + server.Url("/file")}, "");
    });
    server.On("/file", [](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (rq.Header("Range") == "bytes=6-")
            c.Reply(206, "Partial Content",
                    {"Content-Range: bytes 6-9/10", "ETag: \"abc\"", "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT"},
                    "6789");
        else
            c.Reply(200, "OK", {"ETag: \"abc\""}, "0123456789");
    });
    Cli.SetURL(server.Url("/v"));
    Cli.SetContentRangeBegin("6");
    auto r = RunGet(Cli);
    ASSERT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Cli.StatusCode(), 206);
    EXPECT_EQ(Rcvd.DataString(), "6789");
    EXPECT_EQ(Cli.ContentRange(), "bytes 6-9/10");
    EXPECT_EQ(Cli.ETag(), "\"abc\"");
    EXPECT_EQ(Cli.LastModified(), "Mon, 01 Jan 2024 00:00:00 GMT");
    auto rqs = server.Requests();
    ASSERT_EQ(rqs.size(), 2u);
    EXPECT_EQ(rqs[0].Header("Range"), "bytes=6-");
    EXPECT_EQ(rqs[1].Header("Range"), "bytes=6-");
}
