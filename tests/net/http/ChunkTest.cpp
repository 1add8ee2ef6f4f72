// The chunk decoder fed byte stream-wise: every split of the input must give the same body.

#include "net/http/HttpChunk.h"

#include <gtest/gtest.h>

using namespace cw;

namespace {
struct Result {
    std::string Body;
    bool Done = false;
    size_t Consumed = 0;
};

// Feed the input in pieces of `step` bytes.
Result Decode(const std::string& in, size_t step)
{
    THttpChunkDecoder d;
    d.Reset();
    Result r;
    for (size_t at = 0; at < in.size() && d.State() != THttpChunkDecoder::httpChunkDone; at += step) {
        std::string piece = in.substr(at, step);
        r.Consumed += d.Decode(piece.data(), piece.size(), [&](const char* p, size_t n) {
            r.Body.append(p, n);
            return true;
        });
    }
    r.Done = d.State() == THttpChunkDecoder::httpChunkDone;
    return r;
}
} // namespace

TEST(ChunkDecoder, AnySplitGivesTheSameBody)
{
    const std::string in = "5\r\nhello\r\n1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n";
    for (size_t step = 1; step <= in.size(); ++step) {
        Result r = Decode(in, step);
        EXPECT_EQ(r.Body, "helloabcdefghijklmnopqrstuvwxyz") << "step " << step;
        EXPECT_TRUE(r.Done) << "step " << step;
    }
}

TEST(ChunkDecoder, HexDigitsInEitherCaseAndBareLineFeeds)
{
    std::string body(0xAB, 'x');
    EXPECT_EQ(Decode("aB\n" + body + "\n0\n\n", 7).Body, body);
    EXPECT_EQ(Decode("Ab\r\n" + body + "\r\n0\r\n\r\n", 1000).Body, body);
}

// The body ends with the empty line after the trailer section, whatever the split: until then
// the trailer's lines are the body's, and after it nothing is.
TEST(ChunkDecoder, EndsAfterTheTrailerSectionAndLeavesWhatFollows)
{
    const struct {
        const char* Name;
        std::string In;
    } cases[] = {
        {"no trailer", "3\r\nabc\r\n0\r\n\r\nNEXT"},
        {"one field", "3\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT"},
        {"two fields", "3\r\nabc\r\n0\r\nX-A: 1\r\nX-B: 2\r\n\r\nNEXT"},
        {"bare line feeds", "3\nabc\n0\nX-A: 1\nX-B: 2\n\nNEXT"},
        {"extension on the last chunk", "3\r\nabc\r\n0;last=1\r\nX-A: 1\r\n\r\nNEXT"},
    };
    for (const auto& k : cases) {
        for (size_t step = 1; step <= k.In.size(); ++step) {
            SCOPED_TRACE(std::string(k.Name) + ", step " + std::to_string(step));
            THttpChunkDecoder d;
            std::string body;
            size_t used = 0;
            for (size_t at = 0; at < k.In.size() && d.State() != THttpChunkDecoder::httpChunkDone; at += step) {
                const std::string piece = k.In.substr(at, step);
                const size_t n = d.Decode(piece.data(), piece.size(), [&](const char* p, size_t len) {
                    body.append(p, len);
                    return true;
                });
                used = at + n;
            }
            EXPECT_EQ(body, "abc");
            EXPECT_EQ(d.State(), THttpChunkDecoder::httpChunkDone);
            EXPECT_EQ(k.In.substr(used), "NEXT");
        }
    }
    // The trailer's first line alone does not end the body.
    THttpChunkDecoder d;
    const std::string part = "3\r\nabc\r\n0\r\nX-A: 1\r\n";
    EXPECT_EQ(d.Decode(part.data(), part.size(), [](const char*, size_t) { return true; }), part.size());
    EXPECT_EQ(d.State(), THttpChunkDecoder::csTrailer);
}

// A peer that never ends a size line or a trailer section would hold the body open for ever
// while sending nothing of it.
TEST(ChunkDecoder, EndlessSizeLinesAndTrailersAreRefused)
{
    const std::string filler(THttpChunkDecoder::MaxTrailerBytes / 4, 'x');
    const struct {
        const char* Name;
        std::string Start;
        std::string Repeat;
        std::size_t Times;
    } cases[] = {
        {"extension", "5;", "x", THttpChunkDecoder::MaxSizeLineBytes},
        {"blanks after the digits", "5", " ", THttpChunkDecoder::MaxSizeLineBytes},
        {"one trailer line", "0\r\n", filler, 5},
        {"many trailer lines", "0\r\n", "X-T: 1\r\n", THttpChunkDecoder::MaxTrailerBytes / 8 + 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        THttpChunkDecoder d;
        auto none = [](const char*, size_t) { return true; };
        d.Decode(k.Start.data(), k.Start.size(), none);
        for (std::size_t i = 0; i < k.Times && d.State() != THttpChunkDecoder::csError; ++i)
            d.Decode(k.Repeat.data(), k.Repeat.size(), none);
        EXPECT_EQ(d.State(), THttpChunkDecoder::csError);
    }
    // Long, but within the bounds.
    THttpChunkDecoder d;
    const std::string in = "3;" + std::string(THttpChunkDecoder::MaxSizeLineBytes - 8, 'e') +
                           "\r\nabc\r\n0\r\nX-T: " + std::string(THttpChunkDecoder::MaxTrailerBytes - 64, 't') +
                           "\r\n\r\n";
    d.Decode(in.data(), in.size(), [](const char*, size_t) { return true; });
    EXPECT_EQ(d.State(), THttpChunkDecoder::httpChunkDone);
}

TEST(ChunkDecoder, AStopFromTheReceiverEndsDecodingAtOnce)
{
    const std::string in = "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n";
    THttpChunkDecoder d;
    int calls = 0;
    d.Decode(in.data(), in.size(), [&](const char*, size_t) {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_NE(d.State(), THttpChunkDecoder::httpChunkDone);
}

TEST(ChunkDecoder, AbsurdSizesAreRefusedWithoutOverflow)
{
    const std::string in = "FFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\nabc";
    THttpChunkDecoder d;
    std::string body;
    d.Decode(in.data(), in.size(), [&](const char* p, size_t n) {
        body.append(p, n);
        return true;
    });
    EXPECT_EQ(body, "");
    EXPECT_EQ(d.State(), THttpChunkDecoder::csError);
    // The largest size that is taken.
    THttpChunkDecoder big;
    const std::string edge = "100000000000000\r\nabc";
    big.Decode(edge.data(), edge.size(), [&](const char* p, size_t n) {
        body.append(p, n);
        return true;
    });
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(big.ChunkSize(), std::uint64_t(1) << 56);
    EXPECT_EQ(big.State(), THttpChunkDecoder::csData);
}
