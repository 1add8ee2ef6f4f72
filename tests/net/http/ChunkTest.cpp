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

TEST(ChunkDecoder, StopsAfterTheLastChunkAndLeavesTheTrailer)
{
    const std::string in = "3\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT";
    THttpChunkDecoder d;
    std::string body;
    size_t used = d.Decode(in.data(), in.size(), [&](const char* p, size_t n) {
        body.append(p, n);
        return true;
    });
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(d.State(), THttpChunkDecoder::httpChunkDone);
    // The line after the zero chunk ends the document; the rest is not the decoder's.
    EXPECT_EQ(in.substr(used), "\r\nNEXT");
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
