// Line mode: lines offered one at a time, the partial last line at close, the line limit,
// editing and echo, switching the mode with bytes buffered, and the plain pass-through.

#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace cw;
using namespace cwtest;

namespace {

// Collects what each OnDataAvailable call could take with Receive.
struct LineReader {
    std::vector<std::string> Offers;
    explicit LineReader(TWSocket& s) : FSocket(s)
    {
        s.OnDataAvailable = [this](TObject*, std::uint16_t) {
            char buf[256];
            int n = FSocket.Receive(buf, sizeof(buf));
            if (n > 0)
                Offers.emplace_back(buf, static_cast<size_t>(n));
        };
    }
    TWSocket& FSocket;
};

void Open(TWSocket& s, const ScriptedPeer& peer)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
}

} // namespace

TEST(WSocketLine, LineIsOfferedWholeAndTheRestWaitsForItsEnd)
{
    std::atomic<bool> more{false};
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, "a\r\nb");
        while (!more)
            SleepMs(2);
        SendAll(fd, "c\r\nd");
        ::shutdown(fd, SHUT_WR);
        RecvUntilClosed(fd);
    });
    TWSocket s;
    s.SetLineMode(true);
    LineReader r(s);
    bool closed = false;
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return r.Offers.size() == 1; }));
    EXPECT_EQ(r.Offers[0], "a\r\n");
    PumpFor(50);
    EXPECT_EQ(r.Offers.size(), 1u) << "b has no line end yet";
    EXPECT_EQ(s.LineBufferCount(), 1);
    more = true;
    ASSERT_TRUE(WaitUntil([&] { return closed; }));
    EXPECT_EQ(r.Offers, (std::vector<std::string>{"a\r\n", "bc\r\n", "d"})) << "d is the last line, at close";
}

TEST(WSocketLine, ManyLinesInOneReadComeOneByOne)
{
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += "line " + std::to_string(i) + "\n";
    ScriptedPeer peer(ScriptedPeer::SendThenClose(text));
    TWSocket s;
    s.SetLineMode(true);
    s.SetLineEnd("\n");
    LineReader r(s);
    std::vector<int> counts;
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    ASSERT_EQ(r.Offers.size(), 500u);
    EXPECT_EQ(r.Offers[0], "line 0\n");
    EXPECT_EQ(r.Offers[499], "line 499\n");
}

TEST(WSocketLine, HandlerMayTakeALineInPiecesAndSeesItsLength)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("hello world\r\nnext\r\n"));
    TWSocket s;
    s.SetLineMode(true);
    std::vector<std::string> pieces;
    std::vector<int> lengths;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        lengths.push_back(s.RcvdCount());
        char buf[5];
        int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            pieces.emplace_back(buf, static_cast<size_t>(n));
    };
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(pieces, (std::vector<std::string>{"hello", " worl", "d\r\n", "next\r", "\n"}));
    EXPECT_EQ(lengths, (std::vector<int>{13, 8, 3, 6, 1}));
}

TEST(WSocketLine, LimitExceededDropsTheBytesUnlessKept)
{
    for (bool keep : {false, true}) {
        std::atomic<bool> more{false};
        ScriptedPeer peer([&](int fd) {
            SendAll(fd, "0123456789A");
            while (!more)
                SleepMs(2);
            SendAll(fd, "\r\n");
            RecvUntilClosed(fd);
        });
        TWSocket s;
        s.SetLineMode(true);
        s.SetLineLimit(10);
        LineReader r(s);
        std::vector<std::string> limits;
        s.OnLineLimitExceeded = [&](TObject* sender, int count, bool& clear) {
            EXPECT_EQ(sender, &s);
            limits.push_back(std::to_string(count) + (clear ? " true" : " false"));
            clear = !keep;
        };
        Open(s, peer);
        ASSERT_TRUE(WaitUntil([&] { return !limits.empty(); }));
        EXPECT_EQ(limits[0], "11 true");
        EXPECT_EQ(s.LineBufferCount(), keep ? 11 : 0);
        more = true;
        ASSERT_TRUE(WaitUntil([&] { return !r.Offers.empty(); }));
        EXPECT_EQ(r.Offers[0], keep ? "0123456789A\r\n" : "\r\n");
        s.Close();
    }
}

TEST(WSocketLine, EditingAppliesBackspaceAndTabs)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("abx\bc\tZ\r\n\bq\r\n"));
    TWSocket s;
    s.SetLineMode(true);
    s.SetLineEdit(true);
    LineReader r(s);
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(r.Offers, (std::vector<std::string>{"abc     Z\r\n", "q\r\n"}));
}

TEST(WSocketLine, EchoSendsBackWhatArrives)
{
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, "echo me\r\n");
        peer.Record(RecvExactly(fd, 9));
    });
    TWSocket s;
    s.SetLineMode(true);
    s.SetLineEcho(true);
    LineReader r(s);
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return !peer.Recorded().empty(); }));
    EXPECT_EQ(peer.Recorded(), "echo me\r\n");
}

TEST(WSocketLine, SwitchingOffInAHandlerHandsTheRestOutAsPlainData)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("first\r\nsecond\r\nthird"));
    TWSocket s;
    s.SetLineMode(true);
    std::vector<std::string> offers;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char buf[256];
        int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            offers.emplace_back(buf, static_cast<size_t>(n));
        s.SetLineMode(false);
    };
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    std::string all;
    for (const auto& o : offers)
        all += o;
    ASSERT_FALSE(offers.empty());
    EXPECT_EQ(offers[0], "first\r\n");
    EXPECT_EQ(all, "first\r\nsecond\r\nthird") << "nothing lost, nothing twice";
}

TEST(WSocketLine, ChangingTheModeWithBytesBufferedReplaysThem)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "one\r\npartial");
        RecvUntilClosed(fd);
    });
    TWSocket s;
    s.SetLineMode(true);
    LineReader r(s);
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return r.Offers.size() == 1 && s.LineBufferCount() == 7; }));
    // No more data will come: only the replay message can hand out the held bytes.
    s.SetLineMode(false);
    EXPECT_EQ(r.Offers.size(), 1u) << "the replay runs from the loop, not inside the setter";
    ASSERT_TRUE(WaitUntil([&] { return r.Offers.size() == 2; }));
    EXPECT_EQ(r.Offers[1], "partial");
    EXPECT_EQ(s.LineBufferCount(), 0);
}

TEST(WSocketLine, WithoutHandlerLinesAreDropped)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("x\r\ny\r\n"));
    TWSocket s;
    s.SetLineMode(true);
    bool closed = false;
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return closed; }));
    EXPECT_EQ(s.LineBufferCount(), 0);
}

TEST(WSocketLine, SendLineAddsTheLineEnd)
{
    ScriptedPeer peer([&](int fd) { peer.Record(RecvUntil(fd, "\n")); });
    TWSocket s;
    s.SetLineEnd("\n");
    bool connected = false;
    s.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return connected; }));
    EXPECT_EQ(s.SendLine("QUIT"), 5);
    ASSERT_TRUE(WaitUntil([&] { return !peer.Recorded().empty(); }));
    EXPECT_EQ(peer.Recorded(), "QUIT\n");
}

TEST(WSocketLine, DefaultSocketPassesDataThroughUntouched)
{
    std::string data = "no\r\nlines\r\nhere" + Pattern(100000);
    ScriptedPeer peer(ScriptedPeer::SendThenClose(data));
    TWSocket s;
    EventLog log(s, true);
    Open(s, peer);
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); }));
    EXPECT_TRUE(log.Received == data);
    EXPECT_EQ(s.LineBufferCount(), 0);
}
