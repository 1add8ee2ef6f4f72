// Every way a request can end gives one typed outcome, against a real peer that ends it that way:
// its kind, the status the server really sent (never one made up for a failure), the system
// error where there is one, and words for a failure line. Callers choose their texts and their
// next step from these alone.

#include "HttpTestUtil.h"
#include "support/HttpTestServer.h"
#include "support/MessageBoxRecorder.h"
#include "support/SocketPeers.h"

#include "net/http/HttpProt.h"
#include "platform/Streams.h"
#include "platform/Winsock.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace cw;
using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;

TEST(HttpOutcome, EachWayARequestEndsHasItsKind)
{
    cwtest::MessageBoxRecorder boxes;
    cwtest::HttpTestServer server;
    server.On("/ok", [](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(200, "OK", {}, "fine"); });
    server.On("/missing", [](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(404, "Not Found", {}, "no"); });
    server.On("/login", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(401, "Unauthorized", {"WWW-Authenticate: Basic realm=\"r\""}, "who?");
    });
    server.On("/loop", [&server](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: " + server.Url("/loop")}, "");
    });
    server.On("/ftp", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: ftp://127.0.0.1/file"}, "");
    });
    server.On("/cut", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        c.Close();
    });
    server.On("/slow", [](const HttpTestRequest&, HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n");
        c.SendSlowly(std::string(100000, 'x'), 100, 50);
    });
    cwtest::ScriptedPeer silent(cwtest::ScriptedPeer::Hold(10000));
    // A proxy that will not open tunnels.
    cwtest::ScriptedPeer proxy([](int fd) {
        cwtest::RecvUntil(fd, "\r\n\r\n");
        cwtest::SendAll(fd, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    // A proxy that wants other credentials than the ones it is given (it asks again each time).
    cwtest::ScriptedPeer guard(
        [](int fd) {
            cwtest::RecvUntil(fd, "\r\n\r\n");
            cwtest::SendAll(fd, "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                                "realm=\"p\"\r\nContent-Length: 0\r\n\r\n");
        },
        4);
    const std::string refused = "http://127.0.0.1:" + std::to_string(cwtest::RefusedPort()) + "/";

    const struct {
        const char* Name;
        std::string Url;
        std::function<void(THttpCli&)> Setup;
        THttpOutcomeKind Kind;
        int Status;
        int SystemError;
        const char* Words; // contained in the outcome's words ("" = no words asked)
    } cases[] = {
        {"done", server.Url("/ok"), nullptr, hoDone, 200, 0, ""},
        {"status", server.Url("/missing"), nullptr, hoStatus, 404, 0, "the server answered 404 Not Found"},
        {"authentication", server.Url("/login"), nullptr, hoAuthentication, 401, 0, "401"},
        {"relocations without end", server.Url("/loop"), nullptr, hoTooManyRelocations, 302, 0, "too many relocations"},
        {"relocation elsewhere", server.Url("/ftp"), nullptr, hoLocal, 302, 0, "relocation to an unsupported address"},
        {"cut short", server.Url("/cut"), nullptr, hoFraming, 200, 0, ""},
        {"refused", refused, nullptr, hoRefused, 0, ws::WSAECONNREFUSED, ""},
        {"name not found", "http://no-such-host.invalid/", nullptr, hoNameNotFound, 0, -1, ""},
        {"silent", "http://127.0.0.1:" + silent.PortStr() + "/", [](THttpCli& h) { h.SetIdleTimeout(300); }, hoTimeout,
         0, 0, "No data received"},
        {"proxy refuses the tunnel", "https://example.invalid/",
         [&proxy](THttpCli& h) {
             h.SetProxy("127.0.0.1");
             h.SetProxyPort(proxy.PortStr());
         },
         hoProxy, 403, 0, "127.0.0.1:"},
        // Only the proxy's credentials are set: the failure line names the proxy, not the server.
        {"proxy refuses its credentials", "http://example.invalid/file",
         [&guard](THttpCli& h) {
             h.SetProxy("127.0.0.1");
             h.SetProxyPort(guard.PortStr());
             h.SetProxyUsername("pu");
             h.SetProxyPassword("pp");
         },
         hoAuthentication, 407, 0, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        THttpCli h;
        TMemoryStream body;
        h.SetRcvdStream(&body);
        h.SetURL(k.Url);
        if (k.Setup)
            k.Setup(h);
        EXPECT_EQ(hoNone, h.Outcome().Kind);
        ASSERT_TRUE(httptest::RunAsync(h, httpGET, 20000));
        const THttpOutcome& o = h.Outcome();
        EXPECT_STREQ(OutcomeKindName(k.Kind), OutcomeKindName(o.Kind)) << o.Words;
        EXPECT_EQ(k.Status, o.Status);
        if (k.SystemError > 0) {
            EXPECT_EQ(k.SystemError, o.SystemError);
        }
        if (k.SystemError < 0) {
            EXPECT_NE(0, o.SystemError) << "a look-up failure carries the system's error";
        }
        EXPECT_EQ(o.Done(), k.Kind == hoDone);
        if (k.Kind != hoDone) {
            EXPECT_FALSE(o.Words.empty()) << "a failure without words";
        }
        EXPECT_NE(std::string::npos, o.Words.find(k.Words)) << o.Words;
        if (k.Status == 407) {
            EXPECT_EQ(o.Words,
                      "the proxy 127.0.0.1:" + guard.PortStr() + " answered 407 Proxy Authentication Required");
        }
    }

    // Stopped by its caller in the middle of a body.
    THttpCli h;
    TMemoryStream body;
    h.SetRcvdStream(&body);
    h.SetURL(server.Url("/slow"));
    h.OnDocData = [&h](TObject*, const char*, int) {
        if (h.RcvdCount() > 1000)
            h.Abort();
    };
    ASSERT_TRUE(httptest::RunAsync(h, httpGET, 20000));
    EXPECT_STREQ("stopped", OutcomeKindName(h.Outcome().Kind));
    EXPECT_EQ(200, h.Outcome().Status);
    EXPECT_EQ(0u, boxes.Count());
}
