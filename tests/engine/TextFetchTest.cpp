// The bounded text fetch of playlists, manifests, keys, indexes and subtitles against servers
// that misbehave: one table, each case a real server on 127.0.0.1 (and a proxy that should see
// only what no_proxy leaves it), checked by what arrived, how it failed, how often each address
// was asked for, and how long the run's pauses and rate cap held it.

#include "engine/TextFetch.h"
#include "engine/EngineRunSupport.h"
#include "engine/core/RateLimit.h"
#include "net/http/HttpProt.h"
#include "support/Files.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;

namespace {

// Sets no_proxy (and clears NO_PROXY) for the life of the object.
class ScopedNoProxy {
public:
    explicit ScopedNoProxy(const char* value)
    {
        for (const char* name : {"no_proxy", "NO_PROXY"})
            if (const char* old = std::getenv(name))
                FOld.emplace_back(name, old);
        ::unsetenv("NO_PROXY");
        ::setenv("no_proxy", value, 1);
    }
    ~ScopedNoProxy()
    {
        ::unsetenv("no_proxy");
        for (const auto& [name, value] : FOld)
            ::setenv(name.c_str(), value.c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::string>> FOld;
};

std::string Digits(std::size_t n)
{
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += static_cast<char>('0' + i % 10);
    return s;
}

using THandler = std::function<void(const HttpTestRequest&, HttpTestConnection&, int nth)>;

THandler Status(int status, const char* reason, std::string body = "an error page")
{
    return [=](const HttpTestRequest&, HttpTestConnection& c, int) { c.Reply(status, reason, {}, body); };
}

THandler Text(std::string body)
{
    return [=](const HttpTestRequest&, HttpTestConnection& c, int) {
        c.Reply(200, "OK", {"Content-Type: application/vnd.apple.mpegurl"}, body);
    };
}

} // namespace

namespace {

struct TCase {
    const char* Name;
    THandler Serve;
    std::vector<std::uint32_t> Delays;
    std::int64_t Offset = -1, Length = -1;
    std::size_t Limit = 64u << 20;
    std::int64_t Rate = 0;  // the run's cap, 0 none
    bool OtherHost = false; // served by name through the proxy
    // What comes out.
    bool Ok;
    std::string Body;
    cw::TFailKind Fail;
    int Status;
    const char* Words;
    int Asked;     // requests for the address
    int MinMs = 0; // the pauses or the cap at least
    int Waits = 0; // pauses announced
};

struct TWorld {
    cwtest::HttpTestServer Server;
    cwtest::HttpTestServer Proxy;
    cw::THttpCli Settings;
};

cw::TTextRequest RequestOf(const TCase& c, const std::string& url)
{
    cw::TTextRequest rq;
    rq.What = "the playlist";
    rq.Url = url;
    rq.Limit = c.Limit;
    rq.LimitWords = std::to_string(c.Limit) + " bytes";
    rq.Offset = c.Offset;
    rq.Length = c.Length;
    return rq;
}

void RunCase(const TCase& c, TWorld& w)
{
    SCOPED_TRACE(c.Name);
    const std::string path = std::string("/t/") + c.Name;
    auto asked = std::make_shared<std::atomic<int>>(0);
    auto handler = [asked, serve = c.Serve](const HttpTestRequest& rq, HttpTestConnection& conn) {
        serve(rq, conn, ++*asked);
    };
    if (c.OtherHost)
        w.Proxy.On("texts.example", path, handler);
    else
        w.Server.On(path, handler);
    w.Server.ClearRequests();
    w.Proxy.ClearRequests();

    cw::TTextFetch fetch(w.Settings, "_text");
    fetch.SetRetryDelays(c.Delays);
    std::unique_ptr<cw::TRateLimit> cap = c.Rate ? std::make_unique<cw::TRateLimit>(c.Rate) : nullptr;
    fetch.SetRateLimit(cap.get());
    int ended = 0, waits = 0, retries = 0;
    cw::TTextResult result;
    fetch.OnEnded = [&](const cw::TTextResult& r) { ++ended, result = r; };
    fetch.OnWaiting = [&](int, int attempt, int count) {
        ++waits;
        EXPECT_EQ(waits, attempt);
        EXPECT_EQ(static_cast<int>(c.Delays.size()), count);
    };
    fetch.OnRetry = [&] { ++retries; };
    QElapsedTimer clock;
    clock.start();
    fetch.Start(RequestOf(c, c.OtherHost ? "http://texts.example" + path : w.Server.Url(path)));
    EXPECT_EQ(0, ended) << "never inside Start";
    ASSERT_TRUE(enginetest::PumpUntil([&] { return ended > 0; }, 30000));
    const qint64 ms = clock.elapsed();
    cw::Application::ProcessMessages();

    EXPECT_EQ(1, ended);
    EXPECT_EQ(c.Ok, result.Ok) << result.Words;
    EXPECT_EQ(c.Body.size(), result.Body.size());
    EXPECT_TRUE(c.Body == result.Body);
    EXPECT_EQ(c.Ok ? cw::fkNone : c.Fail, result.Fail);
    EXPECT_EQ(c.Status, result.Status);
    std::string words = c.Words;
    if (const std::size_t at = words.find("PORT"); at != std::string::npos)
        words.replace(at, 4, w.Server.PortText());
    EXPECT_NE(std::string::npos, result.Words.find(words)) << result.Words;
    EXPECT_EQ(c.Asked, asked->load());
    EXPECT_EQ(c.OtherHost ? c.Asked : 0, static_cast<int>(w.Proxy.RequestCount()));
    EXPECT_EQ(c.OtherHost ? 0 : c.Asked, static_cast<int>(w.Server.RequestCount()));
    EXPECT_GE(ms, c.MinMs * 9 / 10) << "timers may fire a little early";
    EXPECT_EQ(c.Waits, waits);
    EXPECT_EQ(c.Waits, retries);
    if (c.Offset >= 0 && !w.Server.Requests().empty()) {
        EXPECT_EQ("bytes=" + std::to_string(c.Offset) + "-" + std::to_string(c.Offset + c.Length - 1),
                  w.Server.Requests().front().Header("Range"));
    }
}

} // namespace

TEST(TextFetch, EachTextEndsOnceWithItsBodyOrAnHonestFailure)
{
    const std::string big = Digits(3 << 20);
    const std::string sidx = Digits(5000);
    const TCase cases[] = {
        {"404-no-retries",
         Status(404, "Not Found"),
         {},
         -1,
         -1,
         64u << 20,
         0,
         false,
         false,
         "",
         cw::fkServer,
         404,
         "the playlist http://127.0.0.1:PORT/t/404-no-retries: the server answered 404 Not Found",
         1},
        {"404-with-retries",
         Status(404, "Not Found"),
         {50, 50},
         -1,
         -1,
         64u << 20,
         0,
         false,
         false,
         "",
         cw::fkServer,
         404,
         "answered 404 Not Found",
         1},
        {"503-then-ok",
         [](const HttpTestRequest&, HttpTestConnection& c, int nth) {
             c.Reply(nth < 3 ? 503 : 200, nth < 3 ? "Service Unavailable" : "OK", {}, nth < 3 ? "busy" : "#EXTM3U\n");
         },
         {300, 600},
         -1,
         -1,
         64u << 20,
         0,
         false,
         true,
         "#EXTM3U\n",
         cw::fkNone,
         200,
         "",
         3,
         900,
         2},
        {"503-always",
         Status(503, "Service Unavailable"),
         {100, 100},
         -1,
         -1,
         64u << 20,
         0,
         false,
         false,
         "",
         cw::fkServer,
         503,
         "answered 503 Service Unavailable",
         3,
         200,
         2},
        {"reset-then-ok",
         [](const HttpTestRequest&, HttpTestConnection& c, int nth) {
             if (nth < 2)
                 return c.Reset();
             c.Reply(200, "OK", {}, "#EXTM3U\n");
         },
         {100},
         -1,
         -1,
         64u << 20,
         0,
         false,
         true,
         "#EXTM3U\n",
         cw::fkNone,
         200,
         "",
         2,
         100,
         1},
        // An index range: a 403 page is a refusal, never the index's bytes.
        {"index-403",
         Status(403, "Forbidden", std::string(4000, 'x')),
         {100},
         100,
         2000,
         64u << 20,
         0,
         false,
         false,
         "",
         cw::fkServer,
         403,
         "the playlist http://127.0.0.1:PORT/t/index-403: the server answered 403",
         1},
        {"index-206",
         [&sidx](const HttpTestRequest& rq, HttpTestConnection& c, int) {
             c.Reply(206, "Partial Content", {"Content-Range: bytes 100-2099/5000"}, sidx.substr(100, 2000));
             (void)rq;
         },
         {},
         100,
         2000,
         64u << 20,
         0,
         false,
         true,
         sidx.substr(100, 2000),
         cw::fkNone,
         206,
         "",
         1},
        {"index-range-ignored",
         Text(sidx),
         {},
         100,
         2000,
         64u << 20,
         0,
         false,
         true,
         sidx.substr(100, 2000),
         cw::fkNone,
         200,
         "",
         1},
        {"past-the-limit",
         Text(std::string(5000, '#')),
         {100},
         -1,
         -1,
         1000,
         0,
         false,
         false,
         "",
         cw::fkMedia,
         200,
         "t/past-the-limit: larger than 1000 bytes",
         1},
        {"error-page-past-the-limit",
         Status(404, "Not Found", std::string(5000, 'x')),
         {100},
         -1,
         -1,
         1000,
         0,
         false,
         false,
         "",
         cw::fkServer,
         404,
         "answered 404",
         1},
        // no_proxy names 127.0.0.1: the proxy set for other hosts sees none of these; a host it
        // does not name goes through the proxy.
        {"other-host", Text("#EXTM3U\n"), {}, -1, -1, 64u << 20, 0, true, true, "#EXTM3U\n", cw::fkNone, 200, "", 1},
        // 3 MiB at 2 MiB/s with a burst of half a second's worth: a second at least.
        {"rate-capped", Text(big), {}, -1, -1, 64u << 20, 2 << 20, false, true, big, cw::fkNone, 200, "", 1, 1000},
    };

    TWorld world;
    cwtest::ScopedHttpProxy viaProxy("http://" + world.Proxy.Address() + "/");
    ScopedNoProxy direct("127.0.0.1");
    world.Settings.SetIdleTimeout(10000);
    for (const TCase& c : cases)
        RunCase(c, world);
}

// A stream's own address is read once: the page engine's look at it is the stream's playlist,
// and a refusal is final at once when the run allows no retries.
TEST(TextFetch, AStreamsAddressIsAskedForOnce)
{
    const struct {
        const char* Name;
        THandler Serve;
        const char* Ends; // the item's line holds this
    } cases[] = {
        {"/live.m3u8", Text("#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\nseg0.ts\n"),
         "live streams are not supported"},
        {"/live.mpd",
         [](const HttpTestRequest&, HttpTestConnection& c, int) {
             c.Reply(200, "OK", {"Content-Type: application/dash+xml"},
                     "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"dynamic\">"
                     "<Period/></MPD>\n");
         },
         "live"},
        {"/gone.m3u8", Status(404, "Not Found"), "404"},
    };
    cwtest::ScopedHttpProxy direct("");
    cwtest::TempDir dir("cw-text");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        cwtest::HttpTestServer server;
        std::atomic<int> asked{0};
        server.On(c.Name, [&](const HttpTestRequest& rq, HttpTestConnection& conn) { c.Serve(rq, conn, ++asked); });
        enginetest::TestRunOwner owner;
        owner.Folder = dir.Path();
        enginetest::EngineRun run({server.Url(c.Name)}, cw::jmDownload, owner);
        run.Engine().SetRetryDelays({});
        ASSERT_TRUE(run.Run());
        ASSERT_EQ(1u, run.Events.Ended.size());
        EXPECT_NE(std::string::npos, run.Events.Ended[0].find(c.Ends)) << run.Events.Ended[0];
        EXPECT_EQ(1, asked.load());
    }
}
