// How far a response header may go: a line that does not fit the line buffer is cut, and when
// the cut line is one the answer is read, framed or followed by, the answer fails; the whole
// header, interim answers and dropped bytes included, has a limit no peer can keep open.

#include "HttpTestUtil.h"
#include "support/HttpTestServer.h"
#include "support/MessageBoxRecorder.h"

#include "net/http/HttpProt.h"
#include "platform/Streams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <type_traits>

using namespace cw;
using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;
using httptest::RunGet;

namespace {

// Byte counts of a transfer larger than 2 GiB must not wrap.
static_assert(std::is_same_v<decltype(std::declval<THttpCli>().RcvdCount()), std::int64_t>);
static_assert(std::is_same_v<decltype(std::declval<THttpCli>().ContentLength()), std::int64_t>);

// The longest header line taken whole: with its CR LF it fills the line buffer exactly.
constexpr std::size_t kLimit = THttpCli::ReceiveBufferSize - 2;

// head + filler + tail, exactly length bytes long.
std::string Line(const std::string& head, char filler, const std::string& tail, std::size_t length)
{
    return head + std::string(length - head.size() - tail.size(), filler) + tail;
}

class HeaderLimitsTest : public ::testing::Test {
protected:
    void SetUp() override { Cli.SetRcvdStream(&Rcvd); }

    cwtest::MessageBoxRecorder Boxes;
    cwtest::HttpTestServer Server;
    THttpCli Cli;
    TMemoryStream Rcvd;
};

} // namespace

// Each of the lines an answer is trusted by, at exactly the longest length the buffer holds
// whole, one byte longer, and far longer with a value whose cut would read as another one
// ("5<blanks>0" as 5, "chunked<blanks>, gzip" as chunked).
TEST_F(HeaderLimitsTest, OverLongLinesThatDecideTheAnswerFailIt)
{
    Server.On("/landed", [](const HttpTestRequest&, HttpTestConnection& c) { c.Reply(200, "OK", {}, "landed"); });
    const std::string chunked = "5\r\nhello\r\n0\r\n\r\n";
    const struct {
        const char* Name;
        std::function<std::string(std::size_t)> Answer; // for a given length of the line
        std::string FarAnswer;
        const char* Range = "";    // asked for
        std::string Document;      // at the limit
        std::string Followed = ""; // at the limit: the second request's target
    } cases[] = {
        {"status line",
         [](std::size_t n) { return Line("HTTP/1.1 200 ", 'R', "", n) + "\r\nContent-Length: 5\r\n\r\nhello"; },
         "HTTP/1.1 200 " + std::string(70000, 'R') + "\r\nContent-Length: 5\r\n\r\nhello", "", "hello"},
        {"Location",
         [&](std::size_t n) {
             return "HTTP/1.1 302 Found\r\n" + Line("Location: /landed?", 'q', "", n) + "\r\nContent-Length: 0\r\n\r\n";
         },
         "HTTP/1.1 302 Found\r\nLocation: /landed?" + std::string(70000, 'q') + "\r\nContent-Length: 0\r\n\r\n", "",
         "landed", Line("/landed?", 'q', "", kLimit - 10)},
        {"Content-Length",
         [](std::size_t n) {
             return "HTTP/1.1 200 OK\r\n" + Line("Content-Length:", ' ', "10", n) + "\r\n\r\nhelloworld";
         },
         "HTTP/1.1 200 OK\r\nContent-Length: 5" + std::string(70000, ' ') + "0\r\n\r\nhelloworld", "", "helloworld"},
        {"Transfer-Encoding",
         [&](std::size_t n) {
             return "HTTP/1.1 200 OK\r\n" + Line("Transfer-Encoding:", ' ', "chunked", n) + "\r\n\r\n" + chunked;
         },
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked" + std::string(70000, ' ') + ", gzip\r\n\r\n" + chunked, "",
         "hello"},
        {"Content-Range",
         [](std::size_t n) {
             return "HTTP/1.1 206 Partial Content\r\n" + Line("Content-Range:", ' ', "bytes 5-9/10", n) +
                    "\r\nContent-Length: 5\r\n\r\nworld";
         },
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10" + std::string(70000, ' ') +
             "0\r\nContent-Length: 5\r\n\r\nworld",
         "5-", "world"},
    };
    int n = 0;
    for (const auto& k : cases) {
        const struct {
            const char* Size;
            std::string Answer;
            bool AtLimit;
            bool Split; // the line's LF comes in a later packet: the buffer is one byte short of full
        } sizes[] = {{"at the limit", k.Answer(kLimit), true, false},
                     {"at the limit, its line end later", k.Answer(kLimit), true, true},
                     {"one byte over", k.Answer(kLimit + 1), false, false},
                     {"far over", k.FarAnswer, false, false}};
        for (const auto& size : sizes) {
            const bool atLimit = size.AtLimit;
            SCOPED_TRACE(std::string(k.Name) + ", " + size.Size);
            const std::string path = "/l" + std::to_string(++n);
            const std::string answer = size.Answer;
            std::size_t split = 0;
            if (size.Split) {
                // Just before the LF that ends the line at the limit.
                for (std::size_t at = 0, next; (next = answer.find("\r\n", at)) != std::string::npos; at = next + 2)
                    if (next - at == kLimit) {
                        split = next + 1;
                        break;
                    }
                ASSERT_NE(split, 0u);
            }
            Server.On(path, [answer, split](const HttpTestRequest&, HttpTestConnection& c) {
                if (split == 0) {
                    c.Send(answer);
                    return;
                }
                c.Send(answer.substr(0, split));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                c.Send(answer.substr(split));
            });
            Server.ClearRequests();
            Rcvd.Clear();
            const std::string range = k.Range;
            Cli.SetContentRangeBegin(range.substr(0, range.find('-')));
            Cli.SetContentRangeEnd(range.empty() ? std::string() : range.substr(range.find('-') + 1));
            Cli.SetURL(Server.Url(path));
            auto r = RunGet(Cli, 10000);
            EXPECT_FALSE(r.WatchdogFired);
            if (atLimit) {
                EXPECT_FALSE(r.Raised) << r.Message;
                EXPECT_EQ(Rcvd.DataString(), k.Document);
                // Whole at the limit: a relocation asks for every byte of the address.
                if (!k.Followed.empty()) {
                    EXPECT_EQ(Server.RequestCount(), 2u);
                    EXPECT_EQ(Server.Requests().back().Target, k.Followed);
                }
            } else {
                EXPECT_TRUE(r.Raised);
                EXPECT_EQ(r.Message, "header line too long");
                EXPECT_EQ(r.Code, httperrBadResponse);
                EXPECT_EQ(Rcvd.Size(), 0) << Rcvd.DataString().substr(0, 80);
                EXPECT_EQ(Server.RequestCount(), 1u) << "nothing followed";
            }
            EXPECT_EQ(Cli.State(), httpReady);
        }
    }
}

// Peers that never end the header: interim answers without end, one endless line, endless
// blank lines before the status line. Everything read counts, and the request ends.
TEST_F(HeaderLimitsTest, NoPeerKeepsTheHeaderOpenForEver)
{
    const struct {
        const char* Name;
        std::string Start;
        std::string Repeat;
    } cases[] = {
        {"100 Continue without end", "", "HTTP/1.1 100 Continue\r\n\r\n"},
        {"interim answers with fields", "", "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n"},
        {"one endless line", "HTTP/1.1 200 OK\r\nX-Endless: ", std::string(4096, 'e')},
        {"one endless Location", "HTTP/1.1 302 Found\r\nLocation: /", std::string(4096, 'e')},
        {"endless blank lines", "", "\r\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string start = k.Start;
        std::string burst;
        while (burst.size() < 64 * 1024)
            burst += k.Repeat;
        Server.On("/endless", [start, burst](const HttpTestRequest&, HttpTestConnection& c) {
            // Until the client goes; 300 MB at most, so a client that never stops ends too.
            bool on = c.Send(start);
            for (std::size_t sent = 0; on && sent < 300u * 1024 * 1024; sent += burst.size())
                on = c.Send(burst);
        });
        Rcvd.Clear();
        Cli.SetURL(Server.Url("/endless"));
        auto r = RunGet(Cli, 20000);
        EXPECT_FALSE(r.WatchdogFired) << "ended within 20 s";
        EXPECT_TRUE(r.Raised);
        EXPECT_EQ(r.Message, "Response header too large");
        EXPECT_EQ(r.Code, httperrBadResponse);
        EXPECT_EQ(Rcvd.Size(), 0);
        EXPECT_EQ(Cli.State(), httpReady);
    }

    // Interim answers and a final header that together stay under the limit are fine.
    Server.On("/interim", [](const HttpTestRequest&, HttpTestConnection& c) {
        std::string answer;
        for (int i = 0; i < 1000; ++i)
            answer += "HTTP/1.1 100 Continue\r\n\r\n";
        c.Send(answer + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    Rcvd.Clear();
    Cli.SetURL(Server.Url("/interim"));
    auto r = RunGet(Cli);
    EXPECT_FALSE(r.Raised) << r.Message;
    EXPECT_EQ(Rcvd.DataString(), "ok");
}
